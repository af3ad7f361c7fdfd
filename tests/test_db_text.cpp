// The text-only pieces of connecting: connection strings, the table filter,
// and the mapping of driver-reported column types onto our type codes.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <string>

#include "common/utf8.h"
#include "db/odbc.h"
#include "db/tablelist.h"
#include "db/target.h"
#include "db/types.h"

using namespace trellick::db;

namespace {

TEST(DbText, connectionStringKeepsValuesAsGiven) {
  ASSERT_EQ(buildConnectionString("sa", "", "shop", "srv"),
            "Provider=SQLOLEDB.1;Persist Security Info=True;User "
            "ID=sa;Password=;Initial Catalog=shop;Data Source=srv");
  // No quoting: the record keeps exactly what was typed.
  ASSERT_EQ(buildConnectionString("u", " p;w ", "d", "s"),
            "Provider=SQLOLEDB.1;Persist Security Info=True;User "
            "ID=u;Password= p;w ;Initial Catalog=d;Data Source=s");
}

struct TableCase {
  const char* name;
  bool listed;
};

class TableFilter : public testing::TestWithParam<TableCase> {};

TEST_P(TableFilter, tableFilter) {
  ASSERT_EQ(isListedTable(GetParam().name), GetParam().listed) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(DbText, TableFilter,
                         testing::Values(TableCase{"MSysObjects", false}, TableCase{"msys", false},
                                         TableCase{"Switchboard", false},
                                         TableCase{"SWITCHBOARD Items", false},
                                         TableCase{"MySys", true}, TableCase{"Switch", true},
                                         TableCase{"xMSYS", true},
                                         // shorter than the prefix
                                         TableCase{"MSY", true}, TableCase{"文章", true}));

// What the wide calls read comes back as the same UTF-8: runs of ASCII
// beside two-, three- and four-byte characters, at either end and alone,
// NUL and DEL included; a lone surrogate becomes U+FFFD.
TEST(DbText, wideTextComesBackAsTheSameUtf8) {
  const std::string texts[] = {"",
                               "a",
                               "\xC3\xA9",
                               "plain ascii only, a whole sentence of it",
                               std::string("nul\0inside", 10),
                               "\x7F\xC2\x80\x7F",
                               "caf\xC3\xA9 au lait",
                               "\xE4\xB8\xAD\xE6\x96\x87 and ascii \xF0\x9F\x98\x80 end",
                               "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
                               "ab\xF0\x9F\x98\x80"};
  for (const std::string& text : texts)
    EXPECT_EQ(trellick::utf16ToUtf8(trellick::utf8ToUtf16(text)), text) << text;
  const std::u16string lone{u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(trellick::utf16ToUtf8(lone),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  const std::u16string lastHigh{u'x', 0xD83D};
  EXPECT_EQ(trellick::utf16ToUtf8(lastHigh), "x\xEF\xBF\xBD");
}

// A wide call's text is followed by a NUL for each unit a driver may take
// for the first of a surrogate pair, whatever else is around it; the size
// handed over stays the text's own.
TEST(DbText, wideTextKeepsNulsWhereADriverReadsPastIt) {
  struct Case {
    std::string text;
    size_t units, nuls;
  };
  const Case cases[] = {{"", 0, 0},
                        {"select 1", 8, 0},
                        {"站", 1, 1},                         // U+7AD9
                        {"'站仙' 他点", 7, 2},                // U+4ED9 is one, U+4ED6, U+70B9 not
                        {"\xF0\x9F\x98\x80", 2, 0},           // U+1F600: D83D DE00
                        {"\xF0\x9F\x9B\x98", 2, 1},           // U+1F6D8: D83D DED8
                        {"\xEF\xBF\x98\xEF\xBF\x9B", 2, 2}};  // U+FFD8, U+FFDB
  for (const Case& k : cases) {
    const WideText wide(k.text);
    EXPECT_EQ(wide.size(), k.units) << k.text;
    EXPECT_EQ(wide.buffer().size(), k.units + k.nuls) << k.text;
    EXPECT_EQ(wide.buffer().substr(0, k.units), trellick::utf8ToUtf16(k.text)) << k.text;
    EXPECT_EQ(wide.buffer().find_first_not_of(u'\0', k.units), std::u16string::npos) << k.text;
    EXPECT_EQ(wide.buffer().c_str()[wide.buffer().size()], u'\0');
  }
}

TEST(DbText, bracesOnlyWhereNeeded) {
  EXPECT_EQ(quoteOdbcValue("plain"), "plain");
  EXPECT_EQ(quoteOdbcValue(""), "");
  EXPECT_EQ(quoteOdbcValue("a;b"), "{a;b}");
  EXPECT_EQ(quoteOdbcValue("x=y"), "{x=y}");
  EXPECT_EQ(quoteOdbcValue("{p}"), "{{p}}}");
  EXPECT_EQ(quoteOdbcValue("a}b"), "{a}}b}");
  EXPECT_EQ(quoteOdbcValue(" pad "), "{ pad }");
}

TEST(DbText, targets) {
  DriverNames d{"SQLite3", "FreeTDS"};
  auto sqlite = makeTarget({"SQLite", "u", "pw", "/tmp/a b.db"}, d, 10);
  ASSERT_EQ(int(sqlite.kind), int(TargetKind::SQLite));
  ASSERT_EQ(sqlite.sqlitePath, "/tmp/a b.db");
  ASSERT_EQ(sqlite.connectionString, "Driver=SQLite3;Database=/tmp/a b.db;NoCreat=1;Timeout=5000;");

  auto dsn = makeTarget({"dsn:Sales", "ann", "p;w", "crm"}, d, 10);
  ASSERT_EQ(int(dsn.kind), int(TargetKind::Dsn));
  ASSERT_EQ(dsn.connectionString, "DSN=Sales;UID=ann;PWD={p;w};Database=crm;");

  auto host = makeTarget({"db.local", "sa", "", "shop"}, d, 10);
  ASSERT_EQ(host.connectionString,
            "Driver=FreeTDS;Server=db.local;Database=shop;UID=sa;PWD=;"
            "ClientCharset=UTF-8;APP=Trellick;");
  auto port = makeTarget({"10.0.0.5,1433", "sa", "x", "shop"}, d, 10);
  ASSERT_EQ(port.connectionString,
            "Driver=FreeTDS;Server=10.0.0.5;Port=1433;Database=shop;UID=sa;PWD=x;"
            "ClientCharset=UTF-8;APP=Trellick;");
  auto instance = makeTarget({"srv\\SQLEXPRESS", "sa", "x", "shop"}, d, 10);
  ASSERT_EQ(instance.connectionString,
            "Driver=FreeTDS;Server=srv\\SQLEXPRESS;Database=shop;UID=sa;PWD=x;"
            "ClientCharset=UTF-8;APP=Trellick;");
  // Every password reaches the driver: the delimiters are protected.
  auto hard = makeTarget({"srv", "sa", "a;b}c=}", "shop"}, d, 10);
  ASSERT_NE(hard.connectionString.find(";PWD={a;b}c=}};"), std::string::npos);
  ASSERT_TRUE(hard.problem.empty());
  // FreeTDS has no way to take "};" inside a value: refused, not mangled.
  auto impossible = makeTarget({"srv", "sa", "x};y", "shop"}, d, 10);
  ASSERT_NE(impossible.problem.find("密码"), std::string::npos);
  ASSERT_EQ(impossible.connectionString.find("x};y"), std::string::npos);
}

struct TypeCase {
  const char* label;
  int sqlType;
  unsigned long long size;
  const char* typeName;
  int code;
  long long definedSize;
};

class TypeCodes : public testing::TestWithParam<TypeCase> {};

TEST_P(TypeCodes, typeCodes) {
  const TypeCase& c = GetParam();
  ColumnType t = mapColumnType(c.sqlType, c.size, c.typeName);
  EXPECT_EQ(t.code, c.code) << c.label;
  EXPECT_EQ(t.definedSize, c.definedSize) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    DbText, TypeCodes,
    testing::Values(
        // As the SQLite driver reports them.
        TypeCase{"sqlite char(20)", SQL_VARCHAR, 20, "char", 129, 20},
        TypeCase{"sqlite nchar(10)", SQL_VARCHAR, 10, "nchar", 130, 10},
        TypeCase{"sqlite varchar(100)", SQL_VARCHAR, 100, "varchar", 200, 100},
        TypeCase{"sqlite nvarchar(50)", SQL_VARCHAR, 50, "nvarchar", 202, 50},
        TypeCase{"sqlite text", SQL_LONGVARCHAR, 65536, "TEXT", 201, 2147483647},
        TypeCase{"sqlite ntext", SQL_VARCHAR, 255, "ntext", 203, 1073741823},
        TypeCase{"sqlite integer", SQL_INTEGER, 10, "INTEGER", 3, 10},
        TypeCase{"sqlite decimal", SQL_VARCHAR, 10, "decimal", 131, 10},
        TypeCase{"sqlite datetime", SQL_TYPE_TIMESTAMP, 32, "datetime", 135, 32},
        TypeCase{"sqlite blob", SQL_BINARY, 255, "BLOB", 128, 255},
        // As FreeTDS reports SQL Server's types.
        TypeCase{"mssql varchar(max)", SQL_LONGVARCHAR, 2147483647, "varchar", 201, 2147483647},
        TypeCase{"mssql nvarchar(max)", SQL_WLONGVARCHAR, 1073741823, "nvarchar", 203, 1073741823},
        TypeCase{"mssql nvarchar(40)", SQL_WVARCHAR, 40, "nvarchar", 202, 40},
        TypeCase{"mssql nchar(5)", SQL_WCHAR, 5, "nchar", 130, 5},
        TypeCase{"mssql ntext", SQL_WLONGVARCHAR, 1073741823, "ntext", 203, 1073741823},
        TypeCase{"mssql text", SQL_LONGVARCHAR, 2147483647, "text", 201, 2147483647},
        TypeCase{"mssql char(8)", SQL_CHAR, 8, "char", 129, 8},
        TypeCase{"mssql int", SQL_INTEGER, 10, "int", 3, 10},
        TypeCase{"mssql bit", SQL_BIT, 1, "bit", 11, 1},
        TypeCase{"unknown character name", SQL_VARCHAR, 30, "string", 200, 30}));

}  // namespace
