// The search and replace statements as text, without a database.
#include <QtTest>

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

const std::vector<std::pair<std::string, int>> kArticle{{"Title", 200}, {"Body", 201}};

}  // namespace

class TestStatements : public QObject {
  Q_OBJECT

 private slots:
  void workedExampleComesOutExactly() {
    StatementBuilder b(Engine::SQLite, {"foo", "bar"});
    QCOMPARE(b.columnQuery("Article"), std::string("select * from Article"));
    Built s = build(Engine::SQLite, "Article", kArticle, "foo", "bar");
    QCOMPARE(s.count, std::string("select count(*) from Article where [Title] like '%foo%' or "
                                  "cast([Body] as varchar(8000)) like '%foo%'"));
    QCOMPARE(s.update,
             std::string("Update [Article] set [Title]=Replace([Title],'foo','bar'),[Body]="
                         "Replace(cast([Body] as varchar(8000)),'foo','bar') where [Title] like "
                         "'%foo%' or cast([Body] as varchar(8000)) like '%foo%'"));
    // On SQL Server the long-text cast keeps values beyond 8000 characters;
    // nothing else differs.
    Built m = build(Engine::SqlServer, "Article", kArticle, "foo", "bar");
    QCOMPARE(replaceAll(m.count, "varchar(max)", "varchar(8000)"), s.count);
    QCOMPARE(replaceAll(m.update, "varchar(max)", "varchar(8000)"), s.update);
    QVERIFY(m.update.find("cast([Body] as varchar(max))") != std::string::npos);
    Built nt = build(Engine::SqlServer, "Article", {{"Note", 203}}, "foo", "bar");
    QCOMPARE(nt.update, std::string("Update [Article] set [Note]=Replace(cast([Note] as "
                                    "nvarchar(max)),'foo','bar') where cast([Note] as "
                                    "nvarchar(max)) like '%foo%'"));
  }

  void quotesAndBracketsAreDoubled() {
    Built s = build(Engine::SqlServer, "t]x", {{"a]b", 200}}, "it's", "a'b");
    QCOMPARE(s.count, std::string("select count(*) from [t]]x] where [a]]b] like '%it''s%'"));
    QCOMPARE(s.update, std::string("Update [t]]x] set [a]]b]=Replace([a]]b],'it''s','a''b') "
                                   "where [a]]b] like '%it''s%'"));
    // SQLite's brackets end at the first "]": such names go in double quotes.
    Built lite = build(Engine::SQLite, "t]x", {{"a]b\"c", 200}}, "f", "r");
    QCOMPARE(lite.update, std::string("Update \"t]x\" set \"a]b\"\"c\"=Replace(\"a]b\"\"c\","
                                      "'f','r') where \"a]b\"\"c\" like '%f%'"));
    // Text written as SQL stays inside its literal.
    Built inj = build(Engine::SqlServer, "t", {{"c", 200}}, "x'; drop table t; --", "");
    QCOMPARE(inj.count,
             std::string("select count(*) from t where [c] like '%x''; drop table t; --%'"));
  }

  void tableNamesBracketedOnlyWhenIrregular_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sqlServer");
    QTest::addColumn<QString>("sqlite");
    QTest::newRow("plain") << "Article"
                           << "Article"
                           << "Article";
    QTest::newRow("underscore digits") << "_tbl_2"
                                       << "_tbl_2"
                                       << "_tbl_2";
    QTest::newRow("chinese") << QStringLiteral("文章") << QStringLiteral("文章")
                             << QStringLiteral("文章");
    QTest::newRow("space") << "order details"
                           << "[order details]"
                           << "[order details]";
    QTest::newRow("reserved") << "Order"
                              << "[Order]"
                              << "[Order]";
    QTest::newRow("reserved in SQL Server only") << "browse"
                                                 << "[browse]"
                                                 << "browse";
    QTest::newRow("reserved in SQLite only") << "pragma"
                                             << "pragma"
                                             << "[pragma]";
    QTest::newRow("leading digit") << "1abc"
                                   << "[1abc]"
                                   << "[1abc]";
    QTest::newRow("bracket") << "a]b"
                             << "[a]]b]"
                             << "\"a]b\"";
    QTest::newRow("dash") << "a-b"
                          << "[a-b]"
                          << "[a-b]";
    QTest::newRow("dollar") << "a$b"
                            << "a$b"
                            << "[a$b]";
    QTest::newRow("fullwidth punctuation")
        << QStringLiteral("表。") << QStringLiteral("[表。]") << QStringLiteral("[表。]");
  }
  void tableNamesBracketedOnlyWhenIrregular() {
    QFETCH(QString, name);
    QFETCH(QString, sqlServer);
    QFETCH(QString, sqlite);
    QCOMPARE(QString::fromStdString(tableReference(name.toStdString(), Engine::SqlServer)),
             sqlServer);
    QCOMPARE(QString::fromStdString(tableReference(name.toStdString(), Engine::SQLite)), sqlite);
    // The update statement always quotes.
    StatementBuilder b(Engine::SqlServer, {"f", "r"});
    QCOMPARE(QString::fromStdString(b.updateStatement(name.toStdString(), "S", "W")),
             "Update " + QString::fromStdString(bracketed(name.toStdString())) + " set S where W");
  }

  void wildcardsAreMatchedLiterally() {
    StatementBuilder pct(Engine::SQLite, {"100%", "x"});
    QCOMPARE(pct.whereTerm("c", 200), std::string(" or [c] like '%100\\%%' escape '\\'"));
    // Replace takes the text literally already.
    QCOMPARE(pct.assignment("c", 200), std::string(",[c]=Replace([c],'100%','x')"));
    StatementBuilder under(Engine::SqlServer, {"a_b\\c", "x"});
    QCOMPARE(under.whereTerm("c", 200), std::string(" or [c] like '%a\\_b\\\\c%' escape '\\'"));
    StatementBuilder bracket(Engine::SqlServer, {"[x]", "x"});
    QCOMPARE(bracket.whereTerm("c", 200), std::string(" or [c] like '%\\[x]%' escape '\\'"));
    // "[" is no wildcard in SQLite's LIKE; a backslash alone needs nothing.
    StatementBuilder plainBracket(Engine::SQLite, {"[x] c:\\d", "x"});
    QCOMPARE(plainBracket.whereTerm("c", 200), std::string(" or [c] like '%[x] c:\\d%'"));
    StatementBuilder both(Engine::SQLite, {"it's 5%", "x"});
    QCOMPARE(both.whereTerm("b", 201),
             std::string(" or cast([b] as varchar(8000)) like '%it''s 5\\%%' escape '\\'"));
  }

  void nonAsciiLiteralsAreNationalOnSqlServer() {
    Built m = build(Engine::SqlServer, "t", {{"c", 202}}, "旧域名", "新");
    QCOMPARE(m.update, std::string("Update [t] set [c]=Replace([c],N'旧域名',N'新') where [c] "
                                   "like N'%旧域名%'"));
    Built onlyR = build(Engine::SqlServer, "t", {{"c", 200}}, "old", "新");
    QCOMPARE(onlyR.update,
             std::string("Update [t] set [c]=Replace([c],N'old',N'新') where [c] like N'%old%'"));
    Built lite = build(Engine::SQLite, "t", {{"c", 200}}, "旧", "新");
    QCOMPARE(lite.update,
             std::string("Update [t] set [c]=Replace([c],'旧','新') where [c] like '%旧%'"));
  }

  // Replace returns 8000 bytes at most unless its input is a (max) type:
  // 8000 characters of varchar, 4000 of nvarchar, which an N'' literal
  // makes of a varchar column. A column that can hold as much is cast.
  void replaceNeverCutsWhatTheColumnCanHold_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<qlonglong>("size");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("subject");
    const QString ascii = "new", wide = QStringLiteral("新");
    QTest::newRow("varchar(100)") << 200 << 100ll << ascii << "[c]";
    QTest::newRow("varchar(7999)") << 200 << 7999ll << ascii << "[c]";
    QTest::newRow("varchar(8000)") << 200 << 8000ll << ascii << "cast([c] as varchar(max))";
    QTest::newRow("varchar(3999), N''") << 200 << 3999ll << wide << "[c]";
    QTest::newRow("varchar(5000), N''") << 200 << 5000ll << wide << "cast([c] as nvarchar(max))";
    QTest::newRow("char(8000)") << 129 << 8000ll << ascii << "cast([c] as varchar(max))";
    QTest::newRow("char(4000), N''") << 129 << 4000ll << wide << "cast([c] as nvarchar(max))";
    QTest::newRow("nvarchar(3999)") << 202 << 3999ll << ascii << "[c]";
    QTest::newRow("nvarchar(4000)") << 202 << 4000ll << ascii << "cast([c] as nvarchar(max))";
    QTest::newRow("nchar(4000), N''") << 130 << 4000ll << wide << "cast([c] as nvarchar(max))";
    QTest::newRow("text") << 201 << 2147483647ll << ascii << "cast([c] as varchar(max))";
    QTest::newRow("ntext, N''") << 203 << 1073741823ll << wide << "cast([c] as nvarchar(max))";
  }
  void replaceNeverCutsWhatTheColumnCanHold() {
    QFETCH(int, type);
    QFETCH(qlonglong, size);
    QFETCH(QString, replacement);
    QFETCH(QString, subject);
    StatementBuilder b(Engine::SqlServer, {"old", replacement.toStdString()});
    const std::string lit = replacement == "new" ? "'" : "N'";
    QCOMPARE(QString::fromStdString(b.assignment("c", type, size)),
             ",[c]=Replace(" + subject + "," + QString::fromStdString(lit) + "old'," +
                 QString::fromStdString(lit) + replacement + "')");
    QCOMPARE(QString::fromStdString(b.whereTerm("c", type, size)),
             " or " + subject + " like " + QString::fromStdString(lit) + "%old%'");
    // SQLite neither cuts nor knows (max): the template's text stays.
    StatementBuilder lite(Engine::SQLite, {"old", "new"});
    QCOMPARE(lite.assignment("c", 200, 8000), std::string(",[c]=Replace([c],'old','new')"));
  }

  void tablesOutsideTheDefaultSchemaAreQualified() {
    StatementBuilder b(Engine::SqlServer, {"a", "b"});
    QCOMPARE(b.columnQuery(TableRef("Orders", "sales")),
             std::string("select * from [sales].[Orders]"));
    QCOMPARE(b.columnQuery(TableRef("Orders")), std::string("select * from Orders"));
    QCOMPARE(b.countStatement(TableRef("x]y", "s]t"), "w"),
             std::string("select count(*) from [s]]t].[x]]y] where w"));
    QCOMPARE(b.updateStatement(TableRef("Orders", "sales"), "s", "w"),
             std::string("Update [sales].[Orders] set s where w"));
    QCOMPARE(b.updateStatement(TableRef("Orders"), "s", "w"),
             std::string("Update [Orders] set s where w"));
    QCOMPARE(columnFactsQuery(TableRef("O'x", "sales"), Engine::SqlServer),
             std::string("select name, is_computed from sys.columns where object_id = "
                         "object_id(N'[sales].[O''x]') and is_computed = 1"));
    QCOMPARE(columnFactsQuery(TableRef("O'x"), Engine::SQLite),
             std::string("select name, hidden in (2, 3), type from pragma_table_xinfo('O''x')"));
    QVERIFY(declaresLength("varchar(40)"));
    QVERIFY(declaresLength("VARCHAR ( 12 )"));
    QVERIFY(!declaresLength("VARCHAR"));
    QVERIFY(!declaresLength("nvarchar(max)"));
    QVERIFY(!declaresLength(""));
  }

  // The same statements on the servers, each quoting and escaping as it
  // reads them.
  void serverEnginesQuoteAndEscapeTheirOwnWay() {
    const auto pg = build(Engine::PostgreSQL, "Art\"icle", kArticle, "a.com", "b.org");
    QCOMPARE(pg.update,
             std::string("Update \"Art\"\"icle\" set \"Title\"=Replace(\"Title\",'a.com','b.org'),"
                         "\"Body\"=Replace(\"Body\",'a.com','b.org') where \"Title\" like "
                         "'%a.com%' or \"Body\" like '%a.com%'"));
    QCOMPARE(pg.count, std::string("select count(*) from \"Art\"\"icle\" where \"Title\" like "
                                   "'%a.com%' or \"Body\" like '%a.com%'"));
    // MariaDB compares as binary strings: its LIKE would ignore case where
    // Replace does not.
    const auto maria = build(Engine::MariaDB, "Art`icle", kArticle, "a.com", "b.org");
    QCOMPARE(maria.count,
             std::string("select count(*) from `Art``icle` where convert(`Title` using utf8mb4) "
                         "collate utf8mb4_bin like '%a.com%' or convert(`Body` using utf8mb4) "
                         "collate utf8mb4_bin like '%a.com%'"));
    QCOMPARE(maria.update.substr(0, 55),
             std::string("Update `Art``icle` set `Title`=Replace(`Title`,'a.com',"));

    // A backslash is LIKE's default escape on both, so it is always escaped
    // in the pattern; in literals it is doubled where the server reads it
    // as an escape (E'' on PostgreSQL reads the same whatever
    // standard_conforming_strings says).
    StatementBuilder p(Engine::PostgreSQL, {R"(a\b')", "c"});
    QCOMPARE(p.whereTerm("v", 200), std::string(R"( or "v" like E'%a\\\\b''%' escape E'\\')"));
    QCOMPARE(p.assignment("v", 200), std::string(R"(,"v"=Replace("v",E'a\\b''','c'))"));
    StatementBuilder m(Engine::MariaDB, {R"(50%\)", "x"});
    QCOMPARE(
        m.whereTerm("v", 200),
        std::string(
            R"( or convert(`v` using utf8mb4) collate utf8mb4_bin like '%50\\%\\\\%' escape '\\')"));
    StatementBuilder plain(Engine::MariaDB, {R"(50%\)", "x"}, Syntax{false});
    QCOMPARE(
        plain.whereTerm("v", 200),
        std::string(
            R"( or convert(`v` using utf8mb4) collate utf8mb4_bin like '%50\%\\%' escape '\')"));
    QCOMPARE(plain.assignment("v", 200), std::string(R"(,`v`=Replace(`v`,'50%\','x'))"));

    // Long texts go to Replace whole, never cast.
    QCOMPARE(StatementBuilder(Engine::PostgreSQL, {"a", "b"}).whereTerm("t", 201, 2147483647),
             std::string(R"( or "t" like '%a%')"));
    QCOMPARE(StatementBuilder(Engine::MariaDB, {"a", "b"}).assignment("t", 201, 2147483647),
             std::string(",`t`=Replace(`t`,'a','b')"));

    // Schemas on PostgreSQL as on SQL Server.
    QCOMPARE(columnQueryOf({"Orders", "sales"}, Engine::PostgreSQL),
             std::string(R"(select * from "sales"."Orders")"));
    QCOMPARE(
        columnFactsQuery({"O'rders", "sales"}, Engine::PostgreSQL),
        std::string(
            R"(select attname, 1 from pg_attribute where attrelid = '"sales"."O''rders"'::regclass and attnum > 0 and not attisdropped and attgenerated <> '')"));
    QVERIFY(columnFactsQuery({"t"}, Engine::MariaDB).find("table_name = binary 't'") !=
            std::string::npos);
    QVERIFY(!userTablesQuery(Engine::PostgreSQL).empty());
    QVERIFY(userTablesQuery(Engine::SqlServer).empty());
  }

  // What a preview reads and an undo writes: the update's own expressions,
  // and a restore guarded by what the run wrote.
  void previewAndUndoStatements() {
    const StatementBuilder b(Engine::SqlServer, {"a.com", "站"});
    const std::vector<ChangeColumn> cols{{"note", 202, 200}, {"body", 203, 1073741823}};
    QCOMPARE(
        changesQuery(b, {"Orders"}, RowIdentity{{"id"}}, {}, cols, "[note] like N'%a.com%'", 100),
        std::string("select top 100 [id], [note], Replace([note],N'a.com',N'站'), [body], "
                    "Replace(cast([body] as nvarchar(max)),N'a.com',N'站') from Orders where "
                    "[note] like N'%a.com%' order by [id]"));
    const StatementBuilder p(Engine::PostgreSQL, {"a", "b"});
    QCOMPARE(changesQuery(p, {"t", "s"}, RowIdentity{}, {"x", "y"}, {{"y", 200, 9}}, "w", 0),
             std::string(R"(select "x", "y", "y", Replace("y",'a','b') from "s"."t" where w)"));

    // By key: set the old values where the key matches and the value is
    // still what the run wrote.
    auto key = undoRow(Engine::MariaDB, {}, {"t"}, {{"id", 3, 10}}, {{"7"}}, {{"v", 200, 9}},
                       {"o'ld"}, {"new"}, false, false);
    // Text compares as its bytes: the usual collations ignore case and
    // trailing spaces, and a row edited since that way is not the run's.
    QCOMPARE(key.sql, std::string("update `t` set `v` = ? where `id` = ? and cast(convert(`v` "
                                  "using utf8mb4) as binary) = cast(convert(? using utf8mb4) as "
                                  "binary)"));
    QVERIFY(key.params == (std::vector<std::optional<std::string>>{{"o'ld"}, {"7"}, {"new"}}));
    // A key column the run changed holds what it wrote, which names the row.
    auto changedKey =
        undoRow(Engine::SQLite, {}, {"t"}, {{"k", 200, 9}, {"n", 3, 10}}, {{"a.com"}, {"2"}},
                {{"k", 200, 9}}, {"a.com"}, {"b.org"}, false, false);
    QCOMPARE(changedKey.sql,
             std::string("update [t] set [k] = ? where [n] = ? and [k] collate binary = ?"));
    QVERIFY(changedKey.params ==
            (std::vector<std::optional<std::string>>{{"a.com"}, {"2"}, {"b.org"}}));
    // By value, a NULL compares with "is null"; written in for a script.
    auto lite = undoRow(Engine::SQLite, {}, {"t"}, {{"a", 200, 9}, {"v", 200, 9}},
                        {std::nullopt, {"x"}}, {{"v", 200, 9}}, {"o'ld"}, {"new"}, true, true);
    // The changed column is matched by what the run wrote, not its old value.
    QCOMPARE(lite.sql, std::string("update [t] set [v] = 'o''ld' where [a] is null and [v] "
                                   "collate binary = 'new'"));
    QVERIFY(lite.params.empty());
    auto mssql = undoRow(Engine::SqlServer, {}, {"t"}, {{"a", 201, 0}}, {std::nullopt},
                         {{"a", 201, 0}}, {"旧"}, {"new"}, true, true);
    QCOMPARE(mssql.sql, std::string("update [t] set [a] = N'旧' where cast(cast([a] as "
                                    "nvarchar(max)) as varbinary(max)) = cast(cast('new' as "
                                    "nvarchar(max)) as varbinary(max))"));
    auto pg = undoRow(Engine::PostgreSQL, {}, {"t"}, {{"a", 200, 9}, {"n", 3, 10}},
                      {std::nullopt, {"5"}}, {{"b", 200, 9}}, {"x"}, {"y"}, false, true);
    QCOMPARE(pg.sql, std::string(R"(update "t" set "b" = ? where "a" is null and "n" = ? and )"
                                 R"("b" = ?)"));
    QVERIFY(pg.params == (std::vector<std::optional<std::string>>{{"x"}, {"5"}, {"y"}}));

    // The journal's read holds the rows (and on SQL Server the range) to
    // the update, and comes in pages past the last key read.
    QVERIFY(changesQuery(b, {"Orders"}, RowIdentity{{"id"}}, {}, cols, "w", 0, true)
                .find("from Orders with (updlock, holdlock) where w order by [id]") !=
            std::string::npos);
    const StatementBuilder m(Engine::MariaDB, {"a", "b"});
    QVERIFY(changesQuery(m, {"t"}, RowIdentity{{"id"}}, {}, {{"v", 200, 9}}, "w", 10, true)
                .ends_with(" where w order by `id` limit 10 for update"));
    QVERIFY(changesQuery(p, {"t"}, RowIdentity{}, {"v"}, {{"v", 200, 9}}, "w", 0, true)
                .ends_with(" where w for update"));
    QCOMPARE(pastKey(Engine::MariaDB, {}, {"id", "k"}, {{"18446744073709551615"}, {"x'\\"}},
                     {true, false}),
             std::string("(`id`, `k`) > (18446744073709551615, 'x''\\\\')"));
    // A number column's value that is not a number is quoted all the same.
    QCOMPARE(pastKey(Engine::SQLite, {}, {"a"}, {{"1); drop"}}, {true}),
             std::string("([a]) > ('1); drop')"));
  }

  void searchableTypesAndSizes() {
    for (int code : {129, 130, 139, 200, 202}) QVERIFY(searchGroup(code) == Group::Plain);
    for (int code : {201, 203}) QVERIFY(searchGroup(code) == Group::LongText);
    for (int code : {3, 5, 11, 131, 135, 128, 0}) QVERIFY(!searchGroup(code));
    QVERIFY(isSearchable(200, 3, 3));
    QVERIFY(!isSearchable(200, 3, 4));
    QVERIFY(isSearchable(201, 2147483647, 100000));
    QVERIFY(!isSearchable(3, 10, 1));
    QCOMPARE(characterCount("汉字ab"), 4ll);
    QCOMPARE(characterCount(""), 0ll);
  }
};

QTEST_APPLESS_MAIN(TestStatements)
#include "test_statements.moc"
