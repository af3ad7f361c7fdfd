// The database layer against real SQLite files through the real SQLite
// ODBC driver; the checks read the files with the SQLite library directly.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/recordset.h"
#include "support/files.h"
#include "support/sqlite_file.h"

using namespace trellick::db;

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

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

// Each case in a fresh folder of its own.
class OdbcLayer : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.valid()) << dir.error(); }
  testsupport::TempDir dir;
};

TEST_F(OdbcLayer, typeCodesAndSizes) {
  auto path = dir.file("types.db");
  testdb::exec(path,
               "create table t(id integer, a char(20), b nchar(10), c varchar(100), "
               "d nvarchar(50), e text, f ntext, g int, h datetime);");
  auto c = openSqlite(path);
  Recordset rs;
  rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
  ASSERT_TRUE(rs.Eof() && rs.Bof());  // no rows
  auto f = rs.Fields();
  ASSERT_EQ(f.Count(), 9);
  const int codes[] = {3, 129, 130, 200, 202, 201, 203, 3, 135};
  const long long sizes[] = {10, 20, 10, 100, 50, 2147483647, 1073741823, 10, 32};
  for (int k = 0; k < 9; ++k) {
    ASSERT_EQ(f.Item(k).Type(), codes[k]) << "column " << k;
    ASSERT_EQ(f.Item(k).DefinedSize(), sizes[k]) << "column " << k;
  }
  ASSERT_EQ(f.Item("C").Name(), std::string("c"));  // by name, any case
  const std::string d = descriptionOf([&] { f.Item("nosuch"); });
  ASSERT_NE(d.find("3265"), std::string::npos) << d;
}

TEST_F(OdbcLayer, rowsValuesNullsAndUnicode) {
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
  ASSERT_TRUE(!rs.Eof() && !rs.Bof());
  ASSERT_EQ(rs.Fields().Item(0).Name(), std::string("标题"));
  ASSERT_EQ(rs.Fields().Item("标题").Value().text(), std::string("汉字测试"));
  ASSERT_EQ(rs.Fields().Item(1).Value().text(), big);  // read in chunks, intact
  ASSERT_EQ(rs.Fields().Item(2).Value().toInt64(), 2 - 1);
  rs.MoveNext();
  ASSERT_TRUE(!rs.Eof() && !rs.Bof());
  ASSERT_TRUE(rs.Fields().Item(0).Value().IsNull());
  ASSERT_FALSE(rs.Fields().Item(1).Value().IsNull());
  ASSERT_EQ(rs.Fields().Item(1).Value().text(), std::string());
  rs.MoveNext();
  ASSERT_TRUE(rs.Eof() && !rs.Bof());
  const std::string past = descriptionOf([&] { rs.Fields().Item(0).Value(); });
  ASSERT_NE(past.find("3021"), std::string::npos) << past;
  rs.Close();
  ASSERT_EQ(rs.State(), int(adStateClosed));

  // Chinese in statement text reaches the file unchanged.
  c->Execute("insert into [文章 表] values('新的值「」', 'b', 3)");
  auto rows = testdb::query(path, "select \"标题\" from \"文章 表\" where n = 3");
  ASSERT_EQ(rows.size(), size_t(1));
  ASSERT_EQ(rows[0][0], std::string("新的值「」"));

  auto count = c->Execute("select count(*) from [文章 表] where [标题] like '%汉字%'");
  ASSERT_EQ(count->Fields().Item(0).Value().toInt64(), 1ll);
  // A statement without rows gives a closed record set.
  ASSERT_EQ(c->Execute("update [文章 表] set n = n")->State(), int(adStateClosed));
}

TEST_F(OdbcLayer, failuresCarryTheDriversDiagnostics) {
  auto path = dir.file("f.db");
  testdb::exec(path, "create table t(a text);");
  auto c = openSqlite(path);
  std::string d = descriptionOf([&] { c->Execute("select * from nosuch"); });
  ASSERT_EQ(d.find("HY000"), 0u) << d;
  ASSERT_NE(d.find("no such table: nosuch"), std::string::npos) << d;
  Recordset rs;
  d = descriptionOf([&] { rs.Open("select * from", *c, adOpenKeyset, adLockOptimistic); });
  ASSERT_EQ(d.find("HY000 [SQLite]incomplete input"), 0u) << d;
  ASSERT_EQ(rs.State(), int(adStateClosed));
  // The connection is still usable after failures.
  ASSERT_EQ(c->Execute("select 1")->Fields().Item(0).Value().toInt64(), 1ll);
}

TEST_F(OdbcLayer, missingFileIsAnErrorAndNothingIsCreated) {
  auto path = dir.file("absent.db");
  Connection c;
  std::string d = descriptionOf([&] {
    c.Open(makeTarget({"SQLITE", "", "", path}, installedDrivers(), 10));
  });
  ASSERT_NE(d.find(path), std::string::npos) << d;
  ASSERT_EQ(c.State(), int(adStateClosed));
  ASSERT_FALSE(std::filesystem::exists(path));
}

TEST_F(OdbcLayer, longStatementFailsAtTheCommandTimeout) {
  auto path = dir.file("slow.db");
  testdb::exec(path, "create table t(a text);");
  auto c = openSqlite(path, 1);
  const auto start = Clock::now();
  std::string d = descriptionOf([&] {
    c->Execute(
        "with recursive n(x) as (select 1 union all select x+1 from n "
        "where x < 2000000000) select count(*) from n");
  });
  const long long ms = msSince(start);
  ASSERT_EQ(d.find("HYT00"), 0u) << d;
  ASSERT_TRUE(ms >= 900 && ms < 4000) << ms << " ms";
  // Short statements on the same connection are unaffected.
  ASSERT_EQ(c->Execute("select 2")->Fields().Item(0).Value().toInt64(), 2ll);
}

TEST_F(OdbcLayer, lockedDatabaseFailsWithinTheTimeout) {
  auto path = dir.file("locked.db");
  testdb::exec(path, "create table t(a text); insert into t values('old');");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  // Closed however the case ends, so a failure leaves no lock behind.
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closeOther(other, &sqlite3_close);
  ASSERT_EQ(
      sqlite3_exec(other, "begin exclusive; update t set a='held';", nullptr, nullptr, nullptr),
      SQLITE_OK);
  auto c = openSqlite(path, 1);
  const auto start = Clock::now();
  std::string d = descriptionOf([&] { c->Execute("update t set a = 'new'"); });
  const long long ms = msSince(start);
  ASSERT_FALSE(d.empty()) << "the update went through a lock";
  ASSERT_LT(ms, 4000) << ms << " ms";
  sqlite3_exec(other, "rollback;", nullptr, nullptr, nullptr);
  closeOther.reset();
  ASSERT_EQ(testdb::query(path, "select a from t")[0][0], std::string("old"));
}

TEST_F(OdbcLayer, maxRowsStopsAfterTheFirstRow) {
  auto path = dir.file("many.db");
  testdb::exec(path,
               "create table t(a text);"
               "with recursive n(x) as (select 1 union all select x+1 from n where x<50)"
               " insert into t select 'v' || x from n;");
  auto c = openSqlite(path);
  Recordset rs;
  rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic, -1, OpenOptions{1});
  ASSERT_FALSE(rs.Eof());
  ASSERT_EQ(rs.Fields().Item(0).Value().text(), std::string("v1"));
  rs.MoveNext();
  ASSERT_TRUE(rs.Eof());
}

TEST_F(OdbcLayer, updateWritesOnlyTheCurrentRow) {
  auto path = dir.file("upd.db");
  testdb::exec(path,
               "create table t(id integer, a varchar(20), b text);"
               "insert into t values(1, 'abcab', 'x');"
               "insert into t values(2, 'abcab', 'y');");
  auto c = openSqlite(path);
  Recordset rs;
  rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
  ASSERT_EQ(rs.Fields().Count(), 3);  // the rowid used for writing stays hidden
  rs.Fields().Item("a").SetValue("aca 改");
  ASSERT_EQ(rs.Fields().Item("a").Value().text(), std::string("aca 改"));
  rs.Update();
  rs.Close();
  auto rows = testdb::query(path, "select id, a, b from t order by id");
  ASSERT_EQ(rows.size(), size_t(2));
  ASSERT_EQ(rows[0], (std::vector<std::string>{"1", "aca 改", "x"}));
  ASSERT_EQ(rows[1], (std::vector<std::string>{"2", "abcab", "y"}));
}

TEST_F(OdbcLayer, updateFindsTheRowEvenWithAColumnNamedRowid) {
  auto path = dir.file("shadow.db");
  // "rowid" here is an ordinary column holding the same value twice.
  testdb::exec(path,
               "create table t(rowid int, a varchar(10));"
               "insert into t values(7, 'first'), (7, 'second');");
  auto c = openSqlite(path);
  Recordset rs;
  rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
  ASSERT_EQ(rs.Fields().Count(), 2);
  ASSERT_EQ(rs.Fields().Item(1).Value().text(), std::string("first"));
  rs.Fields().Item("a").SetValue("changed");
  rs.Update();
  rs.Close();
  ASSERT_EQ(testdb::query(path, "select a from t order by _rowid_"),
            (std::vector<std::vector<std::string>>{{"changed"}, {"second"}}));
}

TEST_F(OdbcLayer, schemaListsUserTablesOnly) {
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
  ASSERT_EQ(names, (std::vector<std::string>{"Article", "order details", "文章"}));
}

TEST_F(OdbcLayer, closingTheConnectionClosesItsRecordsets) {
  auto path = dir.file("close.db");
  testdb::exec(path, "create table t(a text); insert into t values('1');");
  auto c = openSqlite(path);
  Recordset rs;
  rs.Open("select * from t", *c, adOpenKeyset, adLockOptimistic);
  ASSERT_EQ(rs.State(), int(adStateOpen));
  c->Close();
  ASSERT_EQ(c->State(), int(adStateClosed));
  ASSERT_EQ(rs.State(), int(adStateClosed));
  ASSERT_FALSE(descriptionOf([&] { rs.Close(); }).empty());
  ASSERT_FALSE(descriptionOf([&] { c->Execute("select 1"); }).empty());
  c.reset();  // the record set outlives the connection object safely
  ASSERT_EQ(rs.State(), int(adStateClosed));
  // And the connection object opens again.
  auto again = openSqlite(path);
  ASSERT_EQ(again->Execute("select count(*) from t")->Fields().Item(0).Value().toInt64(), 1ll);
}

}  // namespace
