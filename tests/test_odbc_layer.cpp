// The database layer against real SQLite files through the real SQLite
// ODBC driver; the checks read the files with the SQLite library directly.
#include <sqlite3.h>

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include "db/connection.h"
#include "db/recordset.h"
#include "testdb.h"

using namespace trellick::db;

namespace {

std::unique_ptr<Connection> openSqlite(const std::string& path, int timeout = 10) {
  auto c = std::make_unique<Connection>();
  c->SetCommandTimeout(timeout);
  c->Open(makeTarget({"sqlite", "", "", path}, installedDrivers(), timeout));
  return c;
}

std::string descriptionOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const DbError& e) {
    return e.description();
  }
  return {};
}

}  // namespace

class TestOdbcLayer : public QObject {
  Q_OBJECT

 private slots:
  void typeCodesAndSizes() {
    testdb::Dir dir;
    auto path = dir.file("types.db");
    testdb::exec(path,
                 "create table t(id integer, a char(20), b nchar(10), c varchar(100), "
                 "d nvarchar(50), e text, f ntext, g int, h datetime);");
    auto c = openSqlite(path);
    Recordset rs;
    rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
    QVERIFY(rs.Eof() && rs.Bof());  // no rows
    auto f = rs.Fields();
    QCOMPARE(f.Count(), 9);
    const int codes[] = {3, 129, 130, 200, 202, 201, 203, 3, 135};
    const long long sizes[] = {10, 20, 10, 100, 50, 2147483647, 1073741823, 10, 32};
    for (int k = 0; k < 9; ++k) {
      QCOMPARE(f.Item(k).Type(), codes[k]);
      QCOMPARE(f.Item(k).DefinedSize(), sizes[k]);
    }
    QCOMPARE(f.Item("C").Name(), std::string("c"));  // by name, any case
    QVERIFY(descriptionOf([&] { f.Item("nosuch"); }).find("3265") != std::string::npos);
  }

  void rowsValuesNullsAndUnicode() {
    testdb::Dir dir;
    auto path = dir.file("u.db");
    std::string big(20000, 'x');
    big += "尾";
    testdb::exec(path,
                 "create table \"文章 表\"(\"标题\" nvarchar(20), body text, n integer);"
                 "insert into \"文章 表\" values('汉字测试', '" +
                     big +
                     "', 1);"
                     "insert into \"文章 表\" values(null, '', 2);");
    auto c = openSqlite(path);
    Recordset rs;
    rs.Open("select * from [文章 表]", *c, adOpenKeyset, adLockOptimistic);
    QVERIFY(!rs.Eof() && !rs.Bof());
    QCOMPARE(rs.Fields().Item(0).Name(), std::string("标题"));
    QCOMPARE(rs.Fields().Item("标题").Value().text(), std::string("汉字测试"));
    QCOMPARE(rs.Fields().Item(1).Value().text(), big);  // read in chunks, intact
    QCOMPARE(rs.Fields().Item(2).Value().toInt64(), 2 - 1);
    rs.MoveNext();
    QVERIFY(!rs.Eof() && !rs.Bof());
    QVERIFY(rs.Fields().Item(0).Value().IsNull());
    QVERIFY(!rs.Fields().Item(1).Value().IsNull());
    QCOMPARE(rs.Fields().Item(1).Value().text(), std::string());
    rs.MoveNext();
    QVERIFY(rs.Eof() && !rs.Bof());
    QVERIFY(descriptionOf([&] { rs.Fields().Item(0).Value(); }).find("3021") != std::string::npos);
    rs.Close();
    QCOMPARE(rs.State(), int(adStateClosed));

    // Chinese in statement text reaches the file unchanged.
    c->Execute("insert into [文章 表] values('新的值「」', 'b', 3)");
    auto rows = testdb::query(path, "select \"标题\" from \"文章 表\" where n = 3");
    QCOMPARE(rows.size(), size_t(1));
    QCOMPARE(rows[0][0], std::string("新的值「」"));

    auto count = c->Execute("select count(*) from [文章 表] where [标题] like '%汉字%'");
    QCOMPARE(count->Fields().Item(0).Value().toInt64(), 1ll);
    // A statement without rows gives a closed record set.
    QCOMPARE(c->Execute("update [文章 表] set n = n")->State(), int(adStateClosed));
  }

  void failuresCarryTheDriversDiagnostics() {
    testdb::Dir dir;
    auto path = dir.file("f.db");
    testdb::exec(path, "create table t(a text);");
    auto c = openSqlite(path);
    std::string d = descriptionOf([&] { c->Execute("select * from nosuch"); });
    QVERIFY2(d.find("HY000") == 0, d.c_str());
    QVERIFY2(d.find("no such table: nosuch") != std::string::npos, d.c_str());
    Recordset rs;
    d = descriptionOf([&] { rs.Open("select * from", *c, adOpenKeyset, adLockOptimistic); });
    QVERIFY2(d.find("HY000 [SQLite]incomplete input") == 0, d.c_str());
    QCOMPARE(rs.State(), int(adStateClosed));
    // The connection is still usable after failures.
    QCOMPARE(c->Execute("select 1")->Fields().Item(0).Value().toInt64(), 1ll);
  }

  void missingFileIsAnErrorAndNothingIsCreated() {
    testdb::Dir dir;
    auto path = dir.file("absent.db");
    Connection c;
    std::string d = descriptionOf([&] {
      c.Open(makeTarget({"SQLITE", "", "", path}, installedDrivers(), 10));
    });
    QVERIFY2(d.find(path) != std::string::npos, d.c_str());
    QCOMPARE(c.State(), int(adStateClosed));
    QVERIFY(!QFile::exists(QString::fromStdString(path)));
  }

  void longStatementFailsAtTheCommandTimeout() {
    testdb::Dir dir;
    auto path = dir.file("slow.db");
    testdb::exec(path, "create table t(a text);");
    auto c = openSqlite(path, 1);
    QElapsedTimer timer;
    timer.start();
    std::string d = descriptionOf([&] {
      c->Execute(
          "with recursive n(x) as (select 1 union all select x+1 from n "
          "where x < 2000000000) select count(*) from n");
    });
    const qint64 ms = timer.elapsed();
    QVERIFY2(d.find("HYT00") == 0, d.c_str());
    QVERIFY2(ms >= 900 && ms < 4000, QByteArray::number(ms).constData());
    // Short statements on the same connection are unaffected.
    QCOMPARE(c->Execute("select 2")->Fields().Item(0).Value().toInt64(), 2ll);
  }

  void lockedDatabaseFailsWithinTheTimeout() {
    testdb::Dir dir;
    auto path = dir.file("locked.db");
    testdb::exec(path, "create table t(a text); insert into t values('old');");
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    QCOMPARE(
        sqlite3_exec(other, "begin exclusive; update t set a='held';", nullptr, nullptr, nullptr),
        SQLITE_OK);
    auto c = openSqlite(path, 1);
    QElapsedTimer timer;
    timer.start();
    std::string d = descriptionOf([&] { c->Execute("update t set a = 'new'"); });
    const qint64 ms = timer.elapsed();
    QVERIFY2(!d.empty(), "the update went through a lock");
    QVERIFY2(ms < 4000, QByteArray::number(ms).constData());
    sqlite3_exec(other, "rollback;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    QCOMPARE(testdb::query(path, "select a from t")[0][0], std::string("old"));
  }

  void maxRowsStopsAfterTheFirstRow() {
    testdb::Dir dir;
    auto path = dir.file("many.db");
    testdb::exec(path,
                 "create table t(a text);"
                 "with recursive n(x) as (select 1 union all select x+1 from n where x<50)"
                 " insert into t select 'v' || x from n;");
    auto c = openSqlite(path);
    Recordset rs;
    rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic, -1, OpenOptions{1});
    QVERIFY(!rs.Eof());
    QCOMPARE(rs.Fields().Item(0).Value().text(), std::string("v1"));
    rs.MoveNext();
    QVERIFY(rs.Eof());
  }

  void updateWritesOnlyTheCurrentRow() {
    testdb::Dir dir;
    auto path = dir.file("upd.db");
    testdb::exec(path,
                 "create table t(id integer, a varchar(20), b text);"
                 "insert into t values(1, 'abcab', 'x');"
                 "insert into t values(2, 'abcab', 'y');");
    auto c = openSqlite(path);
    Recordset rs;
    rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
    QCOMPARE(rs.Fields().Count(), 3);  // the rowid used for writing stays hidden
    rs.Fields().Item("a").SetValue("aca 改");
    QCOMPARE(rs.Fields().Item("a").Value().text(), std::string("aca 改"));
    rs.Update();
    rs.Close();
    auto rows = testdb::query(path, "select id, a, b from t order by id");
    QCOMPARE(rows.size(), size_t(2));
    QCOMPARE(rows[0], (std::vector<std::string>{"1", "aca 改", "x"}));
    QCOMPARE(rows[1], (std::vector<std::string>{"2", "abcab", "y"}));
  }

  void updateFindsTheRowEvenWithAColumnNamedRowid() {
    testdb::Dir dir;
    auto path = dir.file("shadow.db");
    // "rowid" here is an ordinary column holding the same value twice.
    testdb::exec(path,
                 "create table t(rowid int, a varchar(10));"
                 "insert into t values(7, 'first'), (7, 'second');");
    auto c = openSqlite(path);
    Recordset rs;
    rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
    QCOMPARE(rs.Fields().Count(), 2);
    QCOMPARE(rs.Fields().Item(1).Value().text(), std::string("first"));
    rs.Fields().Item("a").SetValue("changed");
    rs.Update();
    rs.Close();
    QCOMPARE(testdb::query(path, "select a from t order by _rowid_"),
             (std::vector<std::vector<std::string>>{{"changed"}, {"second"}}));
  }

  void schemaListsUserTablesOnly() {
    testdb::Dir dir;
    auto path = dir.file("schema.db");
    testdb::exec(path,
                 "create table Article(id integer primary key autoincrement, t text);"
                 "insert into Article(t) values('x');"  // creates sqlite_sequence
                 "create table \"order details\"(a text);"
                 "create table \"文章\"(a text);"
                 "create view v as select * from Article;"
                 "create index ix on Article(t); analyze;");
    auto c = openSqlite(path);
    auto rs = c->OpenSchemaTables();
    std::vector<std::string> names;
    while (!rs->Eof()) {
      names.push_back(rs->Fields().Item("Table_name").Value().text());
      rs->MoveNext();
    }
    std::sort(names.begin(), names.end());
    QCOMPARE(names, (std::vector<std::string>{"Article", "order details", "文章"}));
  }

  void closingTheConnectionClosesItsRecordsets() {
    testdb::Dir dir;
    auto path = dir.file("close.db");
    testdb::exec(path, "create table t(a text); insert into t values('1');");
    auto c = openSqlite(path);
    Recordset rs;
    rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
    QCOMPARE(rs.State(), int(adStateOpen));
    c->Close();
    QCOMPARE(c->State(), int(adStateClosed));
    QCOMPARE(rs.State(), int(adStateClosed));
    QVERIFY(!descriptionOf([&] { rs.Close(); }).empty());
    QVERIFY(!descriptionOf([&] { c->Execute("select 1"); }).empty());
    c.reset();  // the record set outlives the connection object safely
    QCOMPARE(rs.State(), int(adStateClosed));
    // And the connection object opens again.
    auto again = openSqlite(path);
    QCOMPARE(again->Execute("select count(*) from t")->Fields().Item(0).Value().toInt64(), 1ll);
  }
};

QTEST_GUILESS_MAIN(TestOdbcLayer)
#include "test_odbc_layer.moc"
