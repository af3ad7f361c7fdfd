// Column data-type codes as the rest of the program knows them, and the
// mapping from what an ODBC driver reports onto them.
#pragma once

#include <string>
#include <string_view>

namespace trellick::db {

enum DataTypeCode : int {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adBoolean = 11,
  adVariant = 12,
  adUnsignedTinyInt = 17,
  adBigInt = 20,
  adGUID = 72,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adVarNumeric = 139,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
};

// Declared size of the long text types, in characters.
inline constexpr long long kLongTextSize = 2147483647;      // text, varchar(max)
inline constexpr long long kLongWideTextSize = 1073741823;  // ntext, nvarchar(max)

struct ColumnType {
  int code = adEmpty;
  long long definedSize = 0;
};

// sqlType and columnSize as SQLDescribeCol gives them, typeName as
// SQL_DESC_TYPE_NAME gives it. Drivers disagree on the SQL type of the
// character types (the SQLite driver calls char, nchar, nvarchar and ntext
// all SQL_VARCHAR), so within the character family the declared type name
// decides.
ColumnType mapColumnType(int sqlType, unsigned long long columnSize, std::string_view typeName);

// "VARCHAR (20)" -> "varchar"; lower case, length and extra spaces removed.
std::string normalizeTypeName(std::string_view typeName);

}  // namespace trellick::db
