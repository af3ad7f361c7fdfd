#include "db/types.h"

#ifdef _WIN32
#include <windows.h>  // <sql.h> takes its types from it
#endif

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <cctype>
#include <utility>

namespace trellick::db {
namespace {

bool isCharacterFamily(int sqlType) {
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return true;
    default:
      return false;
  }
}

bool isLongSqlType(int sqlType) {
  return sqlType == SQL_LONGVARCHAR || sqlType == SQL_WLONGVARCHAR;
}

int codeFromSqlType(int sqlType) {
  switch (sqlType) {
    case SQL_CHAR:
      return adChar;
    case SQL_VARCHAR:
      return adVarChar;
    case SQL_LONGVARCHAR:
      return adLongVarChar;
    case SQL_WCHAR:
      return adWChar;
    case SQL_WVARCHAR:
      return adVarWChar;
    case SQL_WLONGVARCHAR:
      return adLongVarWChar;
    case SQL_INTEGER:
      return adInteger;
    case SQL_SMALLINT:
      return adSmallInt;
    case SQL_TINYINT:
      return adUnsignedTinyInt;
    case SQL_BIGINT:
      return adBigInt;
    case SQL_REAL:
      return adSingle;
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return adDouble;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return adNumeric;
    case SQL_BIT:
      return adBoolean;
    case SQL_DATE:
    case SQL_TYPE_DATE:
      return adDBDate;
    case SQL_TIME:
    case SQL_TYPE_TIME:
      return adDBTime;
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
      return adDBTimeStamp;
    case SQL_BINARY:
      return adBinary;
    case SQL_VARBINARY:
      return adVarBinary;
    case SQL_LONGVARBINARY:
      return adLongVarBinary;
    case SQL_GUID:
      return adGUID;
    default:
      return adVariant;
  }
}

constexpr std::array<std::pair<std::string_view, int>, 38> kNames{{
    {"char", adChar},
    {"character", adChar},
    {"nchar", adWChar},
    {"national char", adWChar},
    {"national character", adWChar},
    {"varchar", adVarChar},
    {"character varying", adVarChar},
    {"varchar2", adVarChar},
    {"nvarchar", adVarWChar},
    {"national varchar", adVarWChar},
    {"national character varying", adVarWChar},
    {"sysname", adVarWChar},
    {"text", adLongVarChar},
    {"clob", adLongVarChar},
    {"long varchar", adLongVarChar},
    {"longtext", adLongVarChar},
    {"mediumtext", adLongVarChar},
    {"ntext", adLongVarWChar},
    {"nclob", adLongVarWChar},
    {"int", adInteger},
    {"integer", adInteger},
    {"smallint", adSmallInt},
    {"tinyint", adUnsignedTinyInt},
    {"bigint", adBigInt},
    {"real", adSingle},
    {"float", adDouble},
    {"double", adDouble},
    {"decimal", adNumeric},
    {"numeric", adNumeric},
    {"money", adCurrency},
    {"smallmoney", adCurrency},
    {"bit", adBoolean},
    {"boolean", adBoolean},
    {"date", adDBDate},
    {"time", adDBTime},
    {"datetime", adDBTimeStamp},
    {"datetime2", adDBTimeStamp},
    {"timestamp", adDBTimeStamp},
}};

int codeFromName(const std::string& name) {
  for (const auto& [n, code] : kNames)
    if (n == name) return code;
  return adEmpty;
}

}  // namespace

std::string normalizeTypeName(std::string_view typeName) {
  std::string out;
  bool pendingSpace = false;
  for (char c : typeName) {
    if (c == '(') break;
    // A declared type may be quoted: "[nvarchar(max)]".
    if (c == '[' || c == ']' || c == '"' || c == '`') continue;
    if (std::isspace(static_cast<unsigned char>(c))) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

ColumnType mapColumnType(int sqlType, unsigned long long columnSize, std::string_view typeName) {
  ColumnType t;
  t.code = codeFromSqlType(sqlType);
  if (isCharacterFamily(sqlType)) {
    int byName = codeFromName(normalizeTypeName(typeName));
    if (byName != adEmpty) t.code = byName;
    // varchar(max) and nvarchar(max) are long text whatever the name says;
    // a long SQL type keeps a declared length that its name states (the
    // PostgreSQL driver calls varchar(300) long).
    const bool namedBounded =
        byName == adChar || byName == adVarChar || byName == adWChar || byName == adVarWChar;
    bool unbounded = (isLongSqlType(sqlType) && !namedBounded) || columnSize == 0 ||
                     columnSize >= static_cast<unsigned long long>(kLongWideTextSize);
    if (unbounded && (t.code == adVarChar || t.code == adChar)) t.code = adLongVarChar;
    if (unbounded && (t.code == adVarWChar || t.code == adWChar)) t.code = adLongVarWChar;
  }
  if (t.code == adLongVarChar)
    t.definedSize = kLongTextSize;
  else if (t.code == adLongVarWChar)
    t.definedSize = kLongWideTextSize;
  else
    t.definedSize = static_cast<long long>(columnSize);
  return t;
}

}  // namespace trellick::db
