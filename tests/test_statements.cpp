// The search and replace statements as text, without a database.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "search/changes.h"
#include "search/statements.h"

using namespace trellick::search;

namespace {

struct Built {
  std::string count;
  std::string update;
};

// Builds the statements the engine would for one table.
Built build(Engine engine, const std::string& table,
            const std::vector<std::pair<std::string, int>>& columns, const std::string& f,
            const std::string& r) {
  StatementBuilder b(engine, {f, r});
  std::string where, set;
  for (const auto& [name, type] : columns) {
    where += b.whereTerm(name, type);
    set += b.assignment(name, type);
  }
  return {b.countStatement(table, where.substr(4)),
          b.updateStatement(table, set.substr(1), where.substr(4))};
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// A row label as a test name: letters, digits and underscores only.
std::string testName(std::string label) {
  for (char& ch : label)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return label;
}

const std::vector<std::pair<std::string, int>> kArticle{{"Title", 200}, {"Body", 201}};

}  // namespace

TEST(Statements, workedExampleComesOutExactly) {
  StatementBuilder b(Engine::SQLite, {"foo", "bar"});
  ASSERT_EQ(b.columnQuery("Article"), std::string("select * from Article"));
  Built s = build(Engine::SQLite, "Article", kArticle, "foo", "bar");
  ASSERT_EQ(s.count, std::string("select count(*) from Article where [Title] like '%foo%' or "
                                 "cast([Body] as varchar(8000)) like '%foo%'"));
  ASSERT_EQ(s.update,
            std::string("Update [Article] set [Title]=Replace([Title],'foo','bar'),[Body]="
                        "Replace(cast([Body] as varchar(8000)),'foo','bar') where [Title] like "
                        "'%foo%' or cast([Body] as varchar(8000)) like '%foo%'"));
  // On SQL Server the long-text cast keeps values beyond 8000 characters;
  // nothing else differs.
  Built m = build(Engine::SqlServer, "Article", kArticle, "foo", "bar");
  ASSERT_EQ(replaceAll(m.count, "varchar(max)", "varchar(8000)"), s.count);
  ASSERT_EQ(replaceAll(m.update, "varchar(max)", "varchar(8000)"), s.update);
  ASSERT_NE(m.update.find("cast([Body] as varchar(max))"), std::string::npos) << m.update;
  Built nt = build(Engine::SqlServer, "Article", {{"Note", 203}}, "foo", "bar");
  ASSERT_EQ(nt.update, std::string("Update [Article] set [Note]=Replace(cast([Note] as "
                                   "nvarchar(max)),'foo','bar') where cast([Note] as "
                                   "nvarchar(max)) like '%foo%'"));
}

TEST(Statements, quotesAndBracketsAreDoubled) {
  Built s = build(Engine::SqlServer, "t]x", {{"a]b", 200}}, "it's", "a'b");
  ASSERT_EQ(s.count, std::string("select count(*) from [t]]x] where [a]]b] like '%it''s%'"));
  ASSERT_EQ(s.update, std::string("Update [t]]x] set [a]]b]=Replace([a]]b],'it''s','a''b') "
                                  "where [a]]b] like '%it''s%'"));
  // SQLite's brackets end at the first "]": such names go in double quotes.
  Built lite = build(Engine::SQLite, "t]x", {{"a]b\"c", 200}}, "f", "r");
  ASSERT_EQ(lite.update, std::string("Update \"t]x\" set \"a]b\"\"c\"=Replace(\"a]b\"\"c\","
                                     "'f','r') where \"a]b\"\"c\" like '%f%'"));
  // Text written as SQL stays inside its literal.
  Built inj = build(Engine::SqlServer, "t", {{"c", 200}}, "x'; drop table t; --", "");
  ASSERT_EQ(inj.count,
            std::string("select count(*) from t where [c] like '%x''; drop table t; --%'"));
}

struct TableNameCase {
  const char* label;
  std::string name;
  std::string sqlServer;
  std::string sqlite;
};

void PrintTo(const TableNameCase& c, std::ostream* os) { *os << c.label; }

class TableNames : public testing::TestWithParam<TableNameCase> {};

TEST_P(TableNames, tableNamesBracketedOnlyWhenIrregular) {
  const TableNameCase& c = GetParam();
  ASSERT_EQ(tableReference(c.name, Engine::SqlServer), c.sqlServer);
  ASSERT_EQ(tableReference(c.name, Engine::SQLite), c.sqlite);
  // The update statement always quotes.
  StatementBuilder b(Engine::SqlServer, {"f", "r"});
  ASSERT_EQ(b.updateStatement(c.name, "S", "W"), "Update " + bracketed(c.name) + " set S where W");
}

INSTANTIATE_TEST_SUITE_P(
    Statements, TableNames,
    testing::Values(TableNameCase{"plain", "Article", "Article", "Article"},
                    TableNameCase{"underscore digits", "_tbl_2", "_tbl_2", "_tbl_2"},
                    TableNameCase{"chinese", "文章", "文章", "文章"},
                    TableNameCase{"space", "order details", "[order details]", "[order details]"},
                    TableNameCase{"reserved", "Order", "[Order]", "[Order]"},
                    TableNameCase{"reserved in SQL Server only", "browse", "[browse]", "browse"},
                    TableNameCase{"reserved in SQLite only", "pragma", "pragma", "[pragma]"},
                    TableNameCase{"leading digit", "1abc", "[1abc]", "[1abc]"},
                    TableNameCase{"bracket", "a]b", "[a]]b]", "\"a]b\""},
                    TableNameCase{"dash", "a-b", "[a-b]", "[a-b]"},
                    TableNameCase{"dollar", "a$b", "a$b", "[a$b]"},
                    TableNameCase{"fullwidth punctuation", "表。", "[表。]", "[表。]"}),
    [](const testing::TestParamInfo<TableNameCase>& info) { return testName(info.param.label); });

TEST(Statements, wildcardsAreMatchedLiterally) {
  StatementBuilder pct(Engine::SQLite, {"100%", "x"});
  ASSERT_EQ(pct.whereTerm("c", 200), std::string(" or [c] like '%100\\%%' escape '\\'"));
  // Replace takes the text literally already.
  ASSERT_EQ(pct.assignment("c", 200), std::string(",[c]=Replace([c],'100%','x')"));
  StatementBuilder under(Engine::SqlServer, {"a_b\\c", "x"});
  ASSERT_EQ(under.whereTerm("c", 200), std::string(" or [c] like '%a\\_b\\\\c%' escape '\\'"));
  StatementBuilder bracket(Engine::SqlServer, {"[x]", "x"});
  ASSERT_EQ(bracket.whereTerm("c", 200), std::string(" or [c] like '%\\[x]%' escape '\\'"));
  // "[" is no wildcard in SQLite's LIKE; a backslash alone needs nothing.
  StatementBuilder plainBracket(Engine::SQLite, {"[x] c:\\d", "x"});
  ASSERT_EQ(plainBracket.whereTerm("c", 200), std::string(" or [c] like '%[x] c:\\d%'"));
  StatementBuilder both(Engine::SQLite, {"it's 5%", "x"});
  ASSERT_EQ(both.whereTerm("b", 201),
            std::string(" or cast([b] as varchar(8000)) like '%it''s 5\\%%' escape '\\'"));
}

TEST(Statements, nonAsciiLiteralsAreNationalOnSqlServer) {
  Built m = build(Engine::SqlServer, "t", {{"c", 202}}, "旧域名", "新");
  ASSERT_EQ(m.update, std::string("Update [t] set [c]=Replace([c],N'旧域名',N'新') where [c] "
                                  "like N'%旧域名%'"));
  Built onlyR = build(Engine::SqlServer, "t", {{"c", 200}}, "old", "新");
  ASSERT_EQ(onlyR.update,
            std::string("Update [t] set [c]=Replace([c],N'old',N'新') where [c] like N'%old%'"));
  Built lite = build(Engine::SQLite, "t", {{"c", 200}}, "旧", "新");
  ASSERT_EQ(lite.update,
            std::string("Update [t] set [c]=Replace([c],'旧','新') where [c] like '%旧%'"));
}

// Replace returns 8000 bytes at most unless its input is a (max) type:
// 8000 characters of varchar, 4000 of nvarchar, which an N'' literal
// makes of a varchar column. A column that can hold as much is cast.
struct CutCase {
  const char* label;
  int type;
  long long size;
  std::string replacement;
  std::string subject;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.label; }

class ReplaceCuts : public testing::TestWithParam<CutCase> {};

TEST_P(ReplaceCuts, replaceNeverCutsWhatTheColumnCanHold) {
  const CutCase& c = GetParam();
  StatementBuilder b(Engine::SqlServer, {"old", c.replacement});
  const std::string lit = c.replacement == "new" ? "'" : "N'";
  ASSERT_EQ(b.assignment("c", c.type, c.size),
            ",[c]=Replace(" + c.subject + "," + lit + "old'," + lit + c.replacement + "')");
  ASSERT_EQ(b.whereTerm("c", c.type, c.size), " or " + c.subject + " like " + lit + "%old%'");
  // SQLite neither cuts nor knows (max): the template's text stays.
  StatementBuilder lite(Engine::SQLite, {"old", "new"});
  ASSERT_EQ(lite.assignment("c", 200, 8000), std::string(",[c]=Replace([c],'old','new')"));
}

INSTANTIATE_TEST_SUITE_P(
    Statements, ReplaceCuts,
    testing::Values(
        CutCase{"varchar(100)", 200, 100, "new", "[c]"},
        CutCase{"varchar(7999)", 200, 7999, "new", "[c]"},
        CutCase{"varchar(8000)", 200, 8000, "new", "cast([c] as varchar(max))"},
        CutCase{"varchar(3999), N''", 200, 3999, "新", "[c]"},
        CutCase{"varchar(5000), N''", 200, 5000, "新", "cast([c] as nvarchar(max))"},
        CutCase{"char(8000)", 129, 8000, "new", "rtrim(cast([c] as varchar(max)))"},
        CutCase{"char(4000), N''", 129, 4000, "新", "rtrim(cast([c] as nvarchar(max)))"},
        CutCase{"nvarchar(3999)", 202, 3999, "new", "[c]"},
        CutCase{"nvarchar(4000)", 202, 4000, "new", "cast([c] as nvarchar(max))"},
        CutCase{"nchar(4000), N''", 130, 4000, "新", "rtrim(cast([c] as nvarchar(max)))"},
        CutCase{"text", 201, 2147483647, "new", "cast([c] as varchar(max))"},
        CutCase{"ntext, N''", 203, 1073741823, "新", "cast([c] as nvarchar(max))"}),
    [](const testing::TestParamInfo<CutCase>& info) { return testName(info.param.label); });

TEST(Statements, tablesOutsideTheDefaultSchemaAreQualified) {
  StatementBuilder b(Engine::SqlServer, {"a", "b"});
  ASSERT_EQ(b.columnQuery(TableRef("Orders", "sales")),
            std::string("select * from [sales].[Orders]"));
  ASSERT_EQ(b.columnQuery(TableRef("Orders")), std::string("select * from Orders"));
  ASSERT_EQ(b.countStatement(TableRef("x]y", "s]t"), "w"),
            std::string("select count(*) from [s]]t].[x]]y] where w"));
  ASSERT_EQ(b.updateStatement(TableRef("Orders", "sales"), "s", "w"),
            std::string("Update [sales].[Orders] set s where w"));
  ASSERT_EQ(b.updateStatement(TableRef("Orders"), "s", "w"),
            std::string("Update [Orders] set s where w"));
  ASSERT_EQ(columnFactsQuery(TableRef("O'x", "sales"), Engine::SqlServer),
            std::string("select name, is_computed from sys.columns where object_id = "
                        "object_id(N'[sales].[O''x]') and is_computed = 1"));
  ASSERT_EQ(columnFactsQuery(TableRef("O'x"), Engine::SQLite),
            std::string("select name, hidden in (2, 3), type from pragma_table_xinfo('O''x')"));
  ASSERT_TRUE(declaresLength("varchar(40)"));
  ASSERT_TRUE(declaresLength("VARCHAR ( 12 )"));
  ASSERT_FALSE(declaresLength("VARCHAR"));
  ASSERT_FALSE(declaresLength("nvarchar(max)"));
  ASSERT_FALSE(declaresLength(""));
}

// The same statements on the servers, each quoting and escaping as it
// reads them.
TEST(Statements, serverEnginesQuoteAndEscapeTheirOwnWay) {
  const auto pg = build(Engine::PostgreSQL, "Art\"icle", kArticle, "a.com", "b.org");
  ASSERT_EQ(pg.update,
            std::string("Update \"Art\"\"icle\" set \"Title\"=Replace(\"Title\",'a.com','b.org'),"
                        "\"Body\"=Replace(\"Body\",'a.com','b.org') where \"Title\" like "
                        "'%a.com%' or \"Body\" like '%a.com%'"));
  ASSERT_EQ(pg.count, std::string("select count(*) from \"Art\"\"icle\" where \"Title\" like "
                                  "'%a.com%' or \"Body\" like '%a.com%'"));
  // MariaDB compares as binary strings: its LIKE would ignore case where
  // Replace does not.
  const auto maria = build(Engine::MariaDB, "Art`icle", kArticle, "a.com", "b.org");
  ASSERT_EQ(maria.count,
            std::string("select count(*) from `Art``icle` where convert(`Title` using utf8mb4) "
                        "collate utf8mb4_bin like '%a.com%' or convert(`Body` using utf8mb4) "
                        "collate utf8mb4_bin like '%a.com%'"));
  ASSERT_EQ(maria.update.substr(0, 55),
            std::string("Update `Art``icle` set `Title`=Replace(`Title`,'a.com',"));

  // A backslash is LIKE's default escape on both, so it is always escaped
  // in the pattern; in literals it is doubled where the server reads it
  // as an escape (E'' on PostgreSQL reads the same whatever
  // standard_conforming_strings says).
  StatementBuilder p(Engine::PostgreSQL, {R"(a\b')", "c"});
  ASSERT_EQ(p.whereTerm("v", 200), std::string(R"( or "v" like E'%a\\\\b''%' escape E'\\')"));
  ASSERT_EQ(p.assignment("v", 200), std::string(R"(,"v"=Replace("v",E'a\\b''','c'))"));
  StatementBuilder m(Engine::MariaDB, {R"(50%\)", "x"});
  ASSERT_EQ(
      m.whereTerm("v", 200),
      std::string(
          R"( or convert(`v` using utf8mb4) collate utf8mb4_bin like '%50\\%\\\\%' escape '\\')"));
  StatementBuilder plain(Engine::MariaDB, {R"(50%\)", "x"}, Syntax{false});
  ASSERT_EQ(
      plain.whereTerm("v", 200),
      std::string(
          R"( or convert(`v` using utf8mb4) collate utf8mb4_bin like '%50\%\\%' escape '\')"));
  ASSERT_EQ(plain.assignment("v", 200), std::string(R"(,`v`=Replace(`v`,'50%\','x'))"));

  // Long texts go to Replace whole, never cast.
  ASSERT_EQ(StatementBuilder(Engine::PostgreSQL, {"a", "b"}).whereTerm("t", 201, 2147483647),
            std::string(R"( or "t" like '%a%')"));
  ASSERT_EQ(StatementBuilder(Engine::MariaDB, {"a", "b"}).assignment("t", 201, 2147483647),
            std::string(",`t`=Replace(`t`,'a','b')"));

  // Schemas on PostgreSQL as on SQL Server.
  ASSERT_EQ(columnQueryOf({"Orders", "sales"}, Engine::PostgreSQL),
            std::string(R"(select * from "sales"."Orders")"));
  ASSERT_EQ(
      columnFactsQuery({"O'rders", "sales"}, Engine::PostgreSQL),
      std::string(
          R"(select attname, 1 from pg_attribute where attrelid = '"sales"."O''rders"'::regclass and attnum > 0 and not attisdropped and (attgenerated <> '' or atttypid in ('name'::regtype, '"char"'::regtype)))"));
  const std::string mariaFacts = columnFactsQuery({"t"}, Engine::MariaDB);
  ASSERT_NE(mariaFacts.find("table_name = binary 't'"), std::string::npos) << mariaFacts;
  ASSERT_FALSE(userTablesQuery(Engine::PostgreSQL).empty());
  ASSERT_TRUE(userTablesQuery(Engine::SqlServer).empty());
}

// What a preview reads and an undo writes: the update's own expressions,
// and a restore guarded by what the run wrote.
TEST(Statements, previewAndUndoStatements) {
  using Params = std::vector<std::optional<std::string>>;
  const StatementBuilder b(Engine::SqlServer, {"a.com", "站"});
  const std::vector<ChangeColumn> cols{{"note", 202, 200}, {"body", 203, 1073741823}};
  ASSERT_EQ(
      changesQuery(b, {"Orders"}, RowIdentity{{"id"}}, {}, cols, "[note] like N'%a.com%'", 100),
      std::string("select top 100 [id], [note], Replace([note],N'a.com',N'站'), [body], "
                  "Replace(cast([body] as nvarchar(max)),N'a.com',N'站') from Orders where "
                  "[note] like N'%a.com%' order by [id]"));
  const StatementBuilder p(Engine::PostgreSQL, {"a", "b"});
  ASSERT_EQ(changesQuery(p, {"t", "s"}, RowIdentity{}, {"x", "y"}, {{"y", 200, 9}}, "w", 0),
            std::string(R"(select "x", "y", "y", Replace("y",'a','b') from "s"."t" where w)"));

  // By key: set the old values where the key matches and the value is
  // still what the run wrote.
  auto key = undoRow(Engine::MariaDB, {}, {"t"}, {{"id", 3, 10}}, {{"7"}}, {{"v", 200, 9}},
                     {"o'ld"}, {"new"}, false, false);
  // Text compares as its bytes: the usual collations ignore case and
  // trailing spaces, and a row edited since that way is not the run's.
  ASSERT_EQ(key.sql, std::string("update `t` set `v` = ? where `id` = ? and cast(convert(`v` "
                                 "using utf8mb4) as binary) = cast(convert(? using utf8mb4) as "
                                 "binary)"));
  ASSERT_EQ(key.params, (Params{{"o'ld"}, {"7"}, {"new"}}));
  // A key column the run changed holds what it wrote, which names the row.
  auto changedKey =
      undoRow(Engine::SQLite, {}, {"t"}, {{"k", 200, 9}, {"n", 3, 10}}, {{"a.com"}, {"2"}},
              {{"k", 200, 9}}, {"a.com"}, {"b.org"}, false, false);
  ASSERT_EQ(changedKey.sql,
            std::string("update [t] set [k] = ? where [n] = ? and [k] collate binary = ?"));
  ASSERT_EQ(changedKey.params, (Params{{"a.com"}, {"2"}, {"b.org"}}));
  // By value, a NULL compares with "is null"; written in for a script.
  auto lite = undoRow(Engine::SQLite, {}, {"t"}, {{"a", 200, 9}, {"v", 200, 9}},
                      {std::nullopt, {"x"}}, {{"v", 200, 9}}, {"o'ld"}, {"new"}, true, true);
  // The changed column is matched by what the run wrote, not its old value.
  ASSERT_EQ(lite.sql, std::string("update [t] set [v] = 'o''ld' where [a] is null and [v] "
                                  "collate binary = 'new'"));
  ASSERT_TRUE(lite.params.empty());
  auto mssql = undoRow(Engine::SqlServer, {}, {"t"}, {{"a", 201, 0}}, {std::nullopt},
                       {{"a", 201, 0}}, {"旧"}, {"new"}, true, true);
  ASSERT_EQ(mssql.sql, std::string("update [t] set [a] = N'旧' where cast(cast([a] as "
                                   "nvarchar(max)) as varbinary(max)) = cast(cast('new' as "
                                   "nvarchar(max)) as varbinary(max))"));
  auto pg = undoRow(Engine::PostgreSQL, {}, {"t"}, {{"a", 200, 9}, {"n", 3, 10}},
                    {std::nullopt, {"5"}}, {{"b", 200, 9}}, {"x"}, {"y"}, false, true);
  // Compared by bytes whatever the type (citext) or collation.
  ASSERT_EQ(pg.sql, std::string(R"(update "t" set "b" = ? where "a" is null and "n" = ? and )"
                                R"(cast("b" as text) collate "C" = ?)"));
  ASSERT_EQ(pg.params, (Params{{"x"}, {"5"}, {"y"}}));

  // The journal's read holds the rows (and on SQL Server the range) to
  // the update, and comes in pages past the last key read.
  const std::string locked =
      changesQuery(b, {"Orders"}, RowIdentity{{"id"}}, {}, cols, "w", 0, true);
  ASSERT_NE(locked.find("from Orders with (updlock, holdlock) where w order by [id]"),
            std::string::npos)
      << locked;
  const StatementBuilder m(Engine::MariaDB, {"a", "b"});
  const std::string paged =
      changesQuery(m, {"t"}, RowIdentity{{"id"}}, {}, {{"v", 200, 9}}, "w", 10, true);
  ASSERT_TRUE(paged.ends_with(" where w order by `id` limit 10 for update")) << paged;
  const std::string byValue =
      changesQuery(p, {"t"}, RowIdentity{}, {"v"}, {{"v", 200, 9}}, "w", 0, true);
  ASSERT_TRUE(byValue.ends_with(" where w for update")) << byValue;
  ASSERT_EQ(pastKey(Engine::MariaDB, {}, {"id", "k"}, {{"18446744073709551615"}, {"x'\\"}},
                    {true, false}),
            std::string("(`id`, `k`) > (18446744073709551615, 'x''\\\\')"));
  // A number column's value that is not a number is quoted all the same.
  ASSERT_EQ(pastKey(Engine::SQLite, {}, {"a"}, {{"1); drop"}}, {true}),
            std::string("([a]) > ('1); drop')"));
}

TEST(Statements, searchableTypesAndSizes) {
  for (int code : {129, 130, 139, 200, 202}) ASSERT_TRUE(searchGroup(code) == Group::Plain) << code;
  for (int code : {201, 203}) ASSERT_TRUE(searchGroup(code) == Group::LongText) << code;
  for (int code : {3, 5, 11, 131, 135, 128, 0}) ASSERT_FALSE(searchGroup(code)) << code;
  ASSERT_TRUE(isSearchable(200, 3, 3));
  ASSERT_FALSE(isSearchable(200, 3, 4));
  ASSERT_TRUE(isSearchable(201, 2147483647, 100000));
  ASSERT_FALSE(isSearchable(3, 10, 1));
  ASSERT_EQ(characterCount("汉字ab"), 4ll);
  ASSERT_EQ(characterCount(""), 0ll);
}

// The SQLite driver reads quotes, "?", ";" and "{" inside brackets as its
// own (a string, a parameter, the statement's end, an escape) but skips
// them inside double quotes: such names go there. Other names keep their
// brackets.
TEST(Statements, sqliteNamesItsDriverWouldMisreadGoInDoubleQuotes) {
  for (const auto& [name, quoted] :
       std::vector<std::pair<std::string, std::string>>{{"a'b", "\"a'b\""},
                                                        {"a?b", "\"a?b\""},
                                                        {"a;b", "\"a;b\""},
                                                        {"a{fn b}", "\"a{fn b}\""},
                                                        {"a\"b", "\"a\"\"b\""},
                                                        {"a.b\"c;d?e'f", "\"a.b\"\"c;d?e'f\""},
                                                        {"a.b", "[a.b]"},
                                                        {"order details", "[order details]"}})
    ASSERT_EQ(tableReference(name, Engine::SQLite), quoted) << name;
  Built lite = build(Engine::SQLite, "t?", {{"c'd", 200}}, "f", "r");
  ASSERT_EQ(lite.update, std::string("Update \"t?\" set \"c'd\"=Replace(\"c'd\",'f','r') "
                                     "where \"c'd\" like '%f%'"));
}

namespace {

// A table's batches as statements, read without a database: where each
// batch ends (the key of its last matching row, found past the bound before
// it) and the plan of one batch (its matching rows in (after, upTo] of the
// key's order), the same condition in its count, update and journal read.
TEST(BatchStatements, boundsAndRangesInTheKeysOrder) {
  using trellick::sql::adInteger;
  using trellick::sql::adVarChar;
  struct Case {
    Engine engine;
    std::string end;
    std::string update;
    // How the range's ends read: row values, or spelled out column by
    // column where the engine has none (SQL Server).
    std::string past7 = " > (7, ";
    std::string upTo9 = " <= (9, ";
    std::string past9 = " > (9, ";
  };
  const std::vector<Case> cases{
      {Engine::SQLite,
       "select [id], [k] from t where ([v] like '%a.com%') and ([id], [k]) > (7, 'x''y') order "
       "by [id], [k] limit 1 offset 999",
       "Update [t] set [v]=Replace([v],'a.com','b') where ([v] like '%a.com%') and ([id], [k]) > "
       "(7, 'x''y') and ([id], [k]) <= (9, 'z')"},
      {Engine::SqlServer, "order by [id], [k] offset 999 rows fetch next 1 rows only",
       "Update [t] set [v]=Replace([v],'a.com','b') where ([v] like '%a.com%') and (([id] > 7) "
       "or ([id] = 7 and [k] > 'x''y')) and (([id] < 9) or ([id] = 9 and [k] <= 'z'))",
       "([id] > 7) or ([id] = 7 and [k] > 'x''y')", "([id] < 9) or ([id] = 9 and [k] <= 'z')",
       "([id] > 9) or ([id] = 9 and [k] > 'z')"},
      {Engine::PostgreSQL, "order by \"id\", \"k\" limit 1 offset 999", ""},
      {Engine::MariaDB, "order by `id`, `k` limit 1 offset 999", ""},
  };
  for (const auto& c : cases) {
    StatementBuilder b(c.engine, {"a.com", "b"});
    const std::vector<ChangeColumn> all{
        {"id", adInteger, 4}, {"k", adVarChar, 10}, {"v", adVarChar, 100}};
    trellick::sql::TablePlan plan;
    plan.engine = c.engine;
    plan.table = TableRef("t");
    plan.columns = all;
    plan.searched.push_back(
        {all[2], b.matchTerm("v", adVarChar, 100), b.newValue("v", adVarChar, 100)});
    const std::vector<ChangeColumn> key{all[0], all[1]};
    const std::vector<std::optional<std::string>> after{"7", "x'y"}, upTo{"9", "z"};

    const std::string end = batchEndQuery(plan, key, after, 1000);
    EXPECT_NE(end.find(c.end), std::string::npos) << end;
    // The first batch starts at the first row; a batch of one row ends at it.
    EXPECT_EQ(batchEndQuery(plan, key, std::nullopt, 1).find(") > ("), std::string::npos);
    EXPECT_NE(batchEndQuery(plan, key, std::nullopt, 1).find("offset 0"), std::string::npos);

    const auto batch = batchPlan(plan, key, after, upTo);
    if (!c.update.empty()) {
      EXPECT_EQ(batch.updateStatement(), c.update);
    }
    // The same range in every statement made from the batch's plan; the
    // whole table's are as they were.
    for (const std::string& s :
         {batch.countStatement(), batch.updateStatement(), batch.changesQuery(0, true)}) {
      EXPECT_NE(s.find(c.past7), std::string::npos) << s;
      EXPECT_NE(s.find(c.upTo9), std::string::npos) << s;
    }
    EXPECT_EQ(plan.updateStatement().find(" > ("), std::string::npos);
    EXPECT_EQ(batchPlan(plan, key, std::nullopt, std::nullopt).updateStatement(),
              plan.updateStatement());
    // The last batch: past the bound, to the end.
    const auto last = batchPlan(plan, key, upTo, std::nullopt).updateStatement();
    EXPECT_NE(last.find(c.past9), std::string::npos) << last;
    EXPECT_EQ(last.find(" <= "), std::string::npos) << last;

    // A key the replace changes, or none, is no key to batch by.
    EXPECT_TRUE(batchable(plan, key));
    EXPECT_FALSE(batchable(plan, {all[2]}));
    EXPECT_FALSE(batchable(plan, {}));
  }
}

}  // namespace
