// The engine without a window: real SQLite files through the real ODBC
// driver, and the SQL Server stand-in through the real FreeTDS driver. Every
// outcome is judged by reading the files directly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/target.h"
#include "db/types.h"
#include "engine/engine.h"
#include "support/files.h"
#include "support/sqlite_file.h"
#include "support/tds_standin.h"

using namespace trellick;
using engine::Mode;
using engine::Status;
using testsupport::TdsStandin;

namespace {

const char* const kTables =
    "create table articles(id integer primary key, title varchar(100), body text);"
    "insert into articles values(1, 'see old.example.com', 'body old.example.com'),"
    "  (2, 'nothing', 'here'), (3, null, 'old.example.com/x');"
    "create table numbers(id integer primary key, n integer, r real);"
    "insert into numbers values(1, 5, 1.5);"
    "create table notes(id integer primary key, note text, tag char(8));"
    "insert into notes values(1, 'plain note', 'a');"
    "create table guarded(id integer primary key, v varchar(50));"
    "insert into guarded values(1, 'old.example.com'), (2, 'old.example.com too');"
    "create trigger guard before update on guarded begin "
    "  select raise(abort, 'guarded rows stay'); end;"
    "create table blank(t text);"
    "create table links(id integer primary key, url text,"
    "  shown text generated always as ('<' || url || '>') virtual);"
    "insert into links values(1, 'http://old.example.com/'), (2, 'http://other/');";

std::unique_ptr<db::Connection> openSqlite(const std::string& path) {
  auto conn = std::make_unique<db::Connection>();
  conn->SetCommandTimeout(10);
  conn->Open(db::makeTarget({"sqlite", "tester", "", path}, db::installedDrivers(), 10));
  return conn;
}

std::unique_ptr<db::Connection> openServer(const std::string& serverField) {
  auto conn = std::make_unique<db::Connection>();
  conn->SetCommandTimeout(10);
  conn->Open(db::makeTarget({serverField, "sa", "pw", "shop"}, db::installedDrivers(), 10));
  return conn;
}

std::unique_ptr<db::Connection> openServer(const TdsStandin& server) {
  return openServer(server.serverField());
}

std::string scalar(const std::string& path, const std::string& sql) {
  return testdb::query(path, sql).at(0).at(0);
}

// Every call, as one line each, in order.
class Recording : public engine::Observer {
 public:
  std::vector<std::string> events;
  // Asked to stop when this many tables are done.
  size_t stopAfter = SIZE_MAX;
  size_t finished = 0;
  bool stopNow = false;
  std::function<void(size_t index)> onStarting;

  void tableOpened(const engine::Table& t, int n) override {
    events.push_back("opened " + t.name + " " + std::to_string(n));
  }
  void columnVisited(const engine::Table& t, int j, const engine::Column& c) override {
    events.push_back("column " + t.name + " " + std::to_string(j) + " " + c.name +
                     (c.searchable ? " searched" : ""));
  }
  void countStatement(const std::string& sql) override { events.push_back("count " + sql); }
  void matchesFound(const engine::Table& t, long long n) override {
    events.push_back("found " + t.name + " " + std::to_string(n));
  }
  void beforeWrite(const engine::Table& t, const std::string& update) override {
    events.push_back("write " + t.name + " " + update);
  }
  void tableFinished(const engine::TableResult& r) override {
    ++finished;
    events.push_back("finished " + r.table.name + " " + engine::statusName(r.status));
  }
  void tableStarting(size_t index, size_t total, const engine::Table& t) override {
    events.push_back("starting " + std::to_string(index) + "/" + std::to_string(total) + " " +
                     t.name);
    if (onStarting) onStarting(index);
  }
  void tableWalked(size_t index) override { events.push_back("walked " + std::to_string(index)); }
  void walkContinues(size_t done) override { events.push_back("on " + std::to_string(done)); }
  void yield() override { events.push_back("yield"); }
  bool stopRequested() override {
    events.push_back("stop?");
    return stopNow || finished >= stopAfter;
  }
};

class Source : public engine::ConnectionSource {
 public:
  explicit Source(std::function<std::unique_ptr<db::Connection>()> connect)
      : connect_(std::move(connect)), conn_(connect_()) {}
  db::Connection& current() override { return *conn_; }
  void reconnect() override {
    ++reconnects;
    conn_.reset();
    conn_ = connect_();
  }
  int reconnects = 0;

 private:
  std::function<std::unique_ptr<db::Connection>()> connect_;
  std::unique_ptr<db::Connection> conn_;
};

std::vector<engine::Table> tablesOf(std::initializer_list<const char*> names) {
  std::vector<engine::Table> out;
  for (const char* n : names) out.emplace_back(n);
  return out;
}

// Each case in a fresh folder of its own.
class Engine : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.valid()) << dir.error(); }
  testsupport::TempDir dir;
};

TEST_F(Engine, everyStatusOfAFind) {
  const std::string path = dir.file("data.db");
  testdb::exec(path, kTables);
  auto conn = openSqlite(path);
  ASSERT_EQ(engine::userTables(*conn).size(), size_t(6));
  Source source([&] { return openSqlite(path); });
  Recording rec;
  const auto walk = engine::runTables(source, engine::userTables(*conn),
                                      {Mode::Count, {"old.example.com", "x"}}, rec);
  ASSERT_FALSE(walk.stopped);
  ASSERT_FALSE(walk.connectionFailure);
  ASSERT_EQ(walk.results.size(), size_t(6));
  const auto& r = walk.results;
  ASSERT_EQ(r[0].table.name, std::string("articles"));
  ASSERT_EQ(r[0].status, Status::Found);
  ASSERT_EQ(r[0].records, std::stoll(scalar(path,
                                            "select count(*) from articles where "
                                            "instr(title, 'old.example.com') or "
                                            "instr(body, 'old.example.com')")));
  ASSERT_EQ(r[0].records, 2ll);
  ASSERT_EQ(r[0].searchableColumns(), (std::vector<std::string>{"title", "body"}));
  ASSERT_TRUE(r[0].updateStatement.empty());  // a find plans no update
  ASSERT_EQ(r[1].status, Status::NoSearchableColumn);
  ASSERT_TRUE(r[1].hasRows);
  ASSERT_TRUE(r[1].countStatement.empty());
  ASSERT_EQ(r[2].status, Status::NotFound);
  // SQLite keeps no length a type declares: char(8) holds longer text too.
  ASSERT_EQ(r[2].searchableColumns(), (std::vector<std::string>{"note", "tag"}));
  ASSERT_EQ(r[3].status, Status::Found);  // the trigger only refuses updates
  ASSERT_EQ(r[3].records, 2ll);
  ASSERT_EQ(r[4].status, Status::NotFound);
  ASSERT_FALSE(r[4].hasRows);
  ASSERT_TRUE(r[4].columns.empty());
  // The generated column is read but never searched; text has no length.
  ASSERT_EQ(r[5].status, Status::Found);
  ASSERT_EQ(r[5].columns.size(), size_t(3));
  ASSERT_TRUE(r[5].columns[2].computed);
  ASSERT_FALSE(r[5].columns[2].searchable);
  ASSERT_EQ(r[5].columns[1].size, db::kLongTextSize);
  ASSERT_EQ(r[5].countStatement,
            std::string("select count(*) from links where cast([url] as varchar(8000)) like "
                        "'%old.example.com%'"));
  // Nothing was written.
  ASSERT_EQ(scalar(path, "select count(*) from links where instr(url, 'old.example.com')"),
            std::string("1"));
}

TEST_F(Engine, theObserverSeesTheYieldsWhereTheWindowHasThem) {
  const std::string path = dir.file("data.db");
  testdb::exec(path, kTables);
  Source source([&] { return openSqlite(path); });
  Recording rec;
  engine::runTables(source, tablesOf({"guarded", "blank", "numbers"}),
                    {Mode::Replace, {"old.example.com", "new"}}, rec);
  const std::vector<std::string> expected{
      "starting 0/3 guarded",
      "opened guarded 2",
      "column guarded 0 id",
      "yield",
      "column guarded 1 v searched",
      "yield",
      "count select count(*) from guarded where [v] like '%old.example.com%'",
      "found guarded 2",
      "yield",
      "write guarded Update [guarded] set [v]=Replace([v],'old.example.com','new') where [v] "
      "like '%old.example.com%'",
      "finished guarded failed",
      "walked 0",
      "yield",
      "stop?",
      "on 1",
      "starting 1/3 blank",
      "finished blank not found",
      "walked 1",
      "yield",
      "stop?",
      "on 2",
      "starting 2/3 numbers",
      "opened numbers 3",
      "column numbers 0 id",
      "yield",
      "column numbers 1 n",
      "yield",
      "column numbers 2 r",
      "yield",
      "finished numbers no searchable column",
      "walked 2",
      "yield",
      "stop?",
      "on 3",
  };
  ASSERT_EQ(rec.events, expected);
}

TEST_F(Engine, replaceWritesAndTellsWhatFailed) {
  const std::string path = dir.file("data.db");
  testdb::exec(path, kTables);
  Source source([&] { return openSqlite(path); });
  Recording rec;
  const auto walk = engine::runTables(source, tablesOf({"articles", "notes", "guarded", "links"}),
                                      {Mode::Replace, {"old.example.com", "new.example.org"}}, rec);
  const auto& r = walk.results;
  ASSERT_EQ(r.size(), size_t(4));
  ASSERT_EQ(r[0].status, Status::Replaced);
  ASSERT_EQ(r[0].records, 2ll);
  ASSERT_EQ(testdb::query(path, "select title, body from articles order by id"),
            (std::vector<std::vector<std::string>>{{"see new.example.org", "body new.example.org"},
                                                   {"nothing", "here"},
                                                   {"<NULL>", "new.example.org/x"}}));
  ASSERT_EQ(r[1].status, Status::NotFound);
  ASSERT_FALSE(r[1].updateStatement.empty());  // planned, never sent
  ASSERT_EQ(r[2].status, Status::Failed);
  ASSERT_EQ(r[2].records, 2ll);
  ASSERT_TRUE(r[2].failure);
  ASSERT_EQ(r[2].failure->stage, engine::Stage::Update);
  ASSERT_FALSE(r[2].failure->connectionLost);
  ASSERT_EQ(r[2].failure->records.size(), size_t(1));
  ASSERT_EQ(r[2].failure->records[0].sqlstate, std::string("HY000"));
  ASSERT_EQ(r[2].failure->description, std::string("HY000 [SQLite]guarded rows stay (19)"));
  ASSERT_EQ(engine::failureText(r[2], "\n"),
            std::string("-- guarded: HY000 [SQLite]guarded rows stay (19)\n"
                        "Update [guarded] set [v]=Replace([v],'old.example.com',"
                        "'new.example.org') where [v] like '%old.example.com%'\n\n"));
  ASSERT_EQ(scalar(path, "select count(*) from guarded where instr(v, 'old.example.com')"),
            std::string("2"));
  ASSERT_EQ(r[3].status, Status::Replaced);
  ASSERT_EQ(testdb::query(path, "select url, shown from links order by id"),
            (std::vector<std::vector<std::string>>{
                {"http://new.example.org/", "<http://new.example.org/>"},
                {"http://other/", "<http://other/>"}}));
  ASSERT_TRUE(engine::failureText(r[3], "\n").empty());
}

TEST_F(Engine, textsAreTakenExactlyAsGiven) {
  const std::string path = dir.file("data.db");
  testdb::exec(path,
               "create table t(v text); insert into t values('a foo b'), ('afoob'), "
               "('it''s -x'), ('100%'), ('1000');");
  auto conn = openSqlite(path);
  Recording rec;
  auto counted = [&](const std::string& find) {
    return engine::runTable(*conn, {"t"}, {Mode::Count, {find, ""}}, rec).records;
  };
  ASSERT_EQ(counted(" foo "), 1ll);
  ASSERT_EQ(counted("foo"), 2ll);
  ASSERT_EQ(counted("it's -x"), 1ll);
  ASSERT_EQ(counted("100%"), 1ll);  // the percent sign is no wildcard
  const auto r = engine::runTable(*conn, {"t"}, {Mode::Replace, {"'s -", " is -"}}, rec);
  ASSERT_EQ(r.status, Status::Replaced);
  ASSERT_EQ(scalar(path, "select count(*) from t where v = 'it is -x'"), std::string("1"));
}

TEST_F(Engine, failuresBeforeTheCountAreNamed) {
  const std::string path = dir.file("data.db");
  testdb::exec(path, kTables);
  auto conn = openSqlite(path);
  Recording rec;
  auto r = engine::runTable(*conn, {"missing"}, {Mode::Replace, {"x", "y"}}, rec);
  ASSERT_EQ(r.status, Status::Failed);
  ASSERT_TRUE(r.failure);
  ASSERT_EQ(r.failure->stage, engine::Stage::ColumnQuery);
  ASSERT_TRUE(r.updateStatement.empty());
  ASSERT_NE(r.failure->description.find("no such table"), std::string::npos)
      << r.failure->description;
  ASSERT_EQ(engine::failureText(r, "\r\n"), "-- missing: " + r.failure->description + "\r\n\r\n");
  // Only the table's own events, then its end.
  ASSERT_EQ(rec.events, std::vector<std::string>{"finished missing failed"});

  // A connection that is not open fails as the window's did.
  db::Connection closed;
  r = engine::runTable(closed, {"articles"}, {Mode::Count, {"x", ""}}, rec);
  ASSERT_EQ(r.status, Status::Failed);
  ASSERT_TRUE(r.failure);
  ASSERT_EQ(r.failure->records.at(0).sqlstate, std::string("3709"));
  ASSERT_FALSE(r.failure->connectionLost);
}

TEST_F(Engine, stopComesBetweenTablesOnly) {
  const std::string path = dir.file("data.db");
  std::string sql;
  for (int t = 0; t < 4; ++t)
    sql += "create table t" + std::to_string(t) + "(v text); insert into t" + std::to_string(t) +
           " values('hit'), ('miss');";
  testdb::exec(path, sql);
  Source source([&] { return openSqlite(path); });
  Recording rec;
  rec.stopAfter = 2;
  const auto walk = engine::runTables(source, tablesOf({"t0", "t1", "t2", "t3"}),
                                      {Mode::Replace, {"hit", "HIT"}}, rec);
  ASSERT_TRUE(walk.stopped);
  ASSERT_EQ(walk.results.size(), size_t(2));
  ASSERT_EQ(rec.events.back(), std::string("stop?"));
  for (int t = 0; t < 4; ++t)
    ASSERT_EQ(scalar(path, "select count(*) from t" + std::to_string(t) + " where v = 'HIT'"),
              std::string(t < 2 ? "1" : "0"))
        << "t" << t;
}

TEST_F(Engine, concurrentCountsMatchTheSequentialOnesInOrder) {
  const std::string path = dir.file("data.db");
  std::string sql;
  std::vector<engine::Table> tables;
  for (int t = 0; t < 12; ++t) {
    const std::string name = "t" + std::to_string(t);
    sql += "create table " + name + "(v text, w varchar(30)); insert into " + name +
           " values('hit', 'x'), ('x', 'hit hit'), ('none', null);";
    for (int k = 0; k < t % 3; ++k) sql += "insert into " + name + " values('more hit', '');";
    tables.emplace_back(name);
  }
  tables.emplace_back("missing");
  testdb::exec(path, sql);
  Source source([&] { return openSqlite(path); });
  Recording sequential;
  const auto one = engine::runTables(source, tables, {Mode::Count, {"hit", ""}}, sequential);
  ASSERT_EQ(one.results.size(), tables.size());
  for (int jobs : {1, 2, 4}) {
    SCOPED_TRACE("jobs " + std::to_string(jobs));
    Recording rec;
    std::atomic<int> connections = 0;
    const auto many = engine::countConcurrently(
        [&] {
          ++connections;
          return openSqlite(path);
        },
        tables, {Mode::Replace, {"hit", "changed"}}, rec, jobs);
    ASSERT_EQ(connections.load(), jobs);
    ASSERT_EQ(many.results.size(), tables.size());
    for (size_t k = 0; k < tables.size(); ++k) {
      ASSERT_EQ(many.results[k].table.name, tables[k].name);
      ASSERT_EQ(many.results[k].status, one.results[k].status) << tables[k].name;
      ASSERT_EQ(many.results[k].records, one.results[k].records) << tables[k].name;
    }
    std::vector<std::string> finished;
    for (const auto& e : rec.events)
      if (e.rfind("finished ", 0) == 0) finished.push_back(e);
    ASSERT_EQ(finished.size(), tables.size());
    ASSERT_EQ(finished.front(), std::string("finished t0 found"));
    ASSERT_EQ(finished.back(), std::string("finished missing failed"));
  }
  // Count mode whatever was asked: nothing was replaced.
  ASSERT_EQ(scalar(path, "select count(*) from t5 where v like '%changed%'"), std::string("0"));

  // A stop: the tables under way finish, none is taken after.
  Recording rec;
  rec.onStarting = [&](size_t index) {
    if (index == 2) rec.stopNow = true;
  };
  const auto stopped = engine::countConcurrently([&] { return openSqlite(path); }, tables,
                                                 {Mode::Count, {"hit", ""}}, rec, 2);
  ASSERT_TRUE(stopped.stopped);
  ASSERT_EQ(stopped.results.size(), size_t(3));
  ASSERT_EQ(stopped.results[2].table.name, std::string("t2"));
  ASSERT_FALSE(stopped.connectionFailure);
}

TEST_F(Engine, serverFailuresCarryEveryRecord) {
  const std::string main = dir.file("main.db");
  testdb::exec(main,
               "create table Orders(id int primary key, note nvarchar(200));"
               "insert into Orders values(1, 'see a.com'), (2, 'none');"
               "create table Kept(id int primary key, v nvarchar(50));"
               "insert into Kept values(1, 'a.com');"
               "create trigger k before update on Kept begin select raise(abort, 'kept'); end;");
  TdsStandin server(main);
  ASSERT_GT(server.port(), 0) << server.errorText();
  auto conn = openServer(server);
  ASSERT_EQ(engine::userTables(*conn).size(), size_t(2));
  Recording rec;
  auto r = engine::runTable(*conn, {"Kept"}, {Mode::Replace, {"a.com", "b.org"}}, rec);
  ASSERT_EQ(r.status, Status::Failed);
  ASSERT_TRUE(r.failure);
  ASSERT_EQ(r.failure->stage, engine::Stage::Update);
  ASSERT_EQ(r.failure->records.size(), size_t(2));
  ASSERT_EQ(r.failure->records[0].nativeError, 50000l);
  ASSERT_NE(r.failure->records[0].message.find("kept"), std::string::npos)
      << r.failure->records[0].message;
  ASSERT_EQ(r.failure->records[1].nativeError, 3609l);
  // One line per record.
  ASSERT_NE(r.failure->description.find('\n'), std::string::npos) << r.failure->description;
  ASSERT_EQ(scalar(main, "select v from Kept"), std::string("a.com"));

  // A count the server refuses: the planned update is kept to run by hand.
  server.setControl(
      nlohmann::json{{"reject", nlohmann::json::array({"select count(*) from Orders"})}});
  r = engine::runTable(*conn, {"Orders"}, {Mode::Replace, {"a.com", "b.org"}}, rec);
  ASSERT_EQ(r.status, Status::Failed);
  ASSERT_TRUE(r.failure);
  ASSERT_EQ(r.failure->stage, engine::Stage::Count);
  ASSERT_EQ(r.failure->records.at(0).nativeError, 50000l);
  const std::string text = engine::failureText(r, "\n");
  ASSERT_NE(text.find("\nUpdate [Orders] set "), std::string::npos) << text;
  server.setControl(nlohmann::json::object());
  r = engine::runTable(*conn, {"Orders"}, {Mode::Replace, {"a.com", "b.org"}}, rec);
  ASSERT_EQ(r.status, Status::Replaced);
  ASSERT_EQ(scalar(main, "select note from Orders where id = 1"), std::string("see b.org"));
}

TEST_F(Engine, aLostConnectionIsMadeAgainOnce) {
  const std::string main = dir.file("main.db");
  testdb::exec(main,
               "create table A(id int primary key, v nvarchar(50)); insert into A values(1, "
               "'a.com');"
               "create table B(id int primary key, v nvarchar(50)); insert into B values(1, "
               "'a.com');"
               "create table C(id int primary key, v nvarchar(50)); insert into C values(1, "
               "'a.com');");
  auto first = std::make_unique<TdsStandin>(main);
  TdsStandin second(main);
  ASSERT_TRUE(first->port() > 0 && second.port() > 0) << first->errorText() << second.errorText();
  // The walk starts on the first server; it goes away before table B,
  // and the connection is made again on the second.
  bool useSecond = false;
  Source source([&] { return openServer(useSecond ? second : *first); });
  Recording rec;
  rec.onStarting = [&](size_t index) {
    if (index == 1) {
      first.reset();
      useSecond = true;
    }
  };
  auto walk = engine::runTables(source, tablesOf({"A", "B", "C"}),
                                {Mode::Replace, {"a.com", "b.org"}}, rec);
  ASSERT_EQ(source.reconnects, 1);
  ASSERT_EQ(walk.results.size(), size_t(3));
  ASSERT_EQ(walk.results[0].status, Status::Replaced);
  ASSERT_EQ(walk.results[1].status, Status::Failed);
  ASSERT_TRUE(walk.results[1].failure);
  ASSERT_TRUE(walk.results[1].failure->connectionLost);
  ASSERT_EQ(walk.results[2].status, Status::Replaced);
  ASSERT_FALSE(walk.connectionFailure);
  ASSERT_EQ(scalar(main, "select v from A"), std::string("b.org"));
  ASSERT_EQ(scalar(main, "select v from B"), std::string("a.com"));
  ASSERT_EQ(scalar(main, "select v from C"), std::string("b.org"));

  // When it cannot be made again the walk ends and says how many tables
  // were never run.
  testdb::exec(main, "update A set v = 'a.com'; update C set v = 'a.com';");
  auto only = std::make_unique<TdsStandin>(main);
  ASSERT_GT(only->port(), 0) << only->errorText();
  const std::string field = only->serverField();
  Source dying([&] { return openServer(field); });
  Recording gone;
  gone.onStarting = [&](size_t index) {
    if (index == 1) only.reset();
  };
  walk = engine::runTables(dying, tablesOf({"A", "B", "C"}), {Mode::Replace, {"a.com", "b.org"}},
                           gone);
  ASSERT_EQ(dying.reconnects, 1);
  ASSERT_EQ(walk.results.size(), size_t(2));
  ASSERT_TRUE(walk.results[1].failure);
  ASSERT_TRUE(walk.results[1].failure->connectionLost);
  ASSERT_TRUE(walk.connectionFailure);
  ASSERT_EQ(walk.connectionFailure->stage, engine::Stage::Connect);
  ASSERT_FALSE(walk.connectionFailure->description.empty());
  ASSERT_EQ(walk.notRun, size_t(1));
  ASSERT_FALSE(walk.stopped);
  // The walk ended at once: no yield or stop test after the lost table.
  ASSERT_EQ(gone.events.back(), std::string("finished B failed"));
  ASSERT_EQ(scalar(main, "select v from A"), std::string("b.org"));
  ASSERT_EQ(scalar(main, "select v from C"), std::string("a.com"));
}

}  // namespace
