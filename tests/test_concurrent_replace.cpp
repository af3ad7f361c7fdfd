// Replace on several connections at once, on PostgreSQL and MariaDB: the
// command line run as a process with --jobs 2 leaves the dumps (read with
// psql and the mariadb client) that --jobs 1 leaves, in batches and row by
// row too; one undo takes the whole run back; the journal (read with
// SQLite's library) holds every table; a table that fails among others is
// told failed and the others are replaced. The engine's walk: a stop
// between tables and connections lost under way. A SQLite file, which takes
// one writer, is replaced one table at a time, and the program says so.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "db/connection.h"
#include "db/recordset.h"
#include "db/target.h"
#include "engine/engine.h"
#include "journal/journal.h"
#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "support/md5.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::Engine;
using testsupport::Rows;
using Args = std::vector<std::string>;

constexpr int kTables = 6;

std::string nameOf(int k) { return "t" + std::to_string(k); }

std::string md5Of(const Rows& rows) {
  std::string text;
  for (const auto& r : rows) {
    for (const auto& v : r) text += (v ? "1" + *v : "0") + std::string(1, '\x1f');
    text += '\n';
  }
  return testsupport::md5Hex(text);
}

class TwoJobs : public testsupport::EngineFixture {
 protected:
  // Tables t1..t6 of a few rows, some holding "old" and some not; t3 has
  // no key. `failing`: t4's short column cannot take the replacement.
  void makeTables(bool failing = false) {
    const std::string shortText = testsupport::shortText(engine(), failing ? 12 : 80);
    const std::string longText = testsupport::longText(engine());
    for (int k = 1; k <= kTables; ++k) {
      const std::string t = nameOf(k);
      const bool keyed = k != 3;
      std::string sql = "create table " + t + "(id int" + (keyed ? " primary key" : "") +
                        ", note " + (k == 4 ? shortText : testsupport::shortText(engine(), 80)) +
                        ", body " + longText + ");";
      for (int r = 1; r <= 5 + k; ++r) {
        const std::string note = r % 2 ? "x old " + std::to_string(r) : "x " + std::to_string(r);
        const std::string body =
            "row " + std::to_string(r) + (r % 3 ? " old and old again in " + t : " nothing");
        sql += "insert into " + t + " values(" + std::to_string(r) + ", " +
               testsupport::clientLiteral(engine(), note) + ", " +
               testsupport::clientLiteral(engine(), body) + ");";
      }
      setup(sql);
    }
  }

  std::vector<std::string> dumps() {
    std::vector<std::string> out;
    for (int k = 1; k <= kTables; ++k)
      out.push_back(md5Of(dump(nameOf(k), {"id", "note", "body"}, "id, note, body")));
    return out;
  }

  testsupport::CliRun cli(Args args) {
    const auto& f = fields();
    args.insert(args.end(), {"--server", f.server, "--database", f.database, "--journal",
                             journalPath(), "--json"});
    if (engine() != Engine::SQLite)
      args.insert(args.end(), {"--user", f.user, "--password-env", "TRELLICK_TEST_PW"});
    return testsupport::runCli(args, {},
                               testsupport::environmentWith({{"TRELLICK_TEST_PW", f.password}}));
  }

  testsupport::CliRun replace(const std::string& jobs, Args more = {}) {
    Args args{"replace", "--yes", "--jobs", jobs};
    if (more.empty()) more = {"--find", "old", "--replace", "new-and-longer"};
    args.insert(args.end(), more.begin(), more.end());
    return cli(args);
  }

  // The tables of a command's JSON lines, in their order, each with its
  // status.
  static std::vector<std::string> tablesTold(const testsupport::CliRun& run) {
    std::vector<std::string> out;
    for (const auto& line : run.lines())
      if (line.is_object() && line.value("type", "") == "table")
        out.push_back(line.value("table", "") + " " + line.value("status", ""));
    return out;
  }

  std::string journalPath() const { return dir_.file("journal.db"); }

  // The journal's newest run's tables, read with SQLite's library: name
  // and state, by name.
  std::set<std::string> journaledTables() const {
    std::set<std::string> out;
    for (const auto& row : testdb::query(journalPath(),
                                         "select name, state from tables where run = "
                                         "(select max(id) from runs where kind = 'replace')"))
      out.insert(row[0] + " " + row[1]);
    return out;
  }

  std::unique_ptr<trellick::db::Connection> connect() {
    auto conn = std::make_unique<trellick::db::Connection>();
    conn->Open(trellick::db::makeTarget(fields(), trellick::db::installedDrivers(), 10));
    return conn;
  }

  testsupport::TempDir dir_;
};

// What every engine that takes several writers at once does alike: SQL
// Server's stand-in too, whose sessions wait for each other's writes as the
// server's wait for its locks.
class EveryWriterTwoJobs : public TwoJobs {};

TEST_P(EveryWriterTwoJobs, replaceOnTwoConnectionsLeavesTheDumpsOfOneAndOneUndoTakesTheRunBack) {
  makeTables();
  const auto before = dumps();

  const auto two = replace("2");
  ASSERT_EQ(two.exitCode, 0) << two.describe();
  const auto afterTwo = dumps();
  for (int k = 0; k < kTables; ++k) EXPECT_NE(afterTwo[k], before[k]) << nameOf(k + 1);
  // Every table journaled and marked done, in one run.
  std::set<std::string> done;
  for (int k = 1; k <= kTables; ++k) done.insert(nameOf(k) + " done");
  EXPECT_EQ(journaledTables(), done);

  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dumps(), before);

  const auto one = replace("1");
  ASSERT_EQ(one.exitCode, 0) << one.describe();
  EXPECT_EQ(dumps(), afterTwo);
  // Told in the list's order, as one connection tells them.
  EXPECT_EQ(tablesTold(two), tablesTold(one));
  EXPECT_EQ(tablesTold(two).size(), static_cast<size_t>(kTables));
}

TEST_P(EveryWriterTwoJobs, batchesAndTheRowRewriterGoOnTwoConnectionsAsOnOne) {
  makeTables();
  const auto before = dumps();
  const std::string pairs = dir_.file("pairs.txt");
  std::ofstream(pairs) << "old\tnew-and-longer\nagain\tonce more\n";

  for (const Args& more :
       {Args{"--find", "old", "--replace", "new-and-longer", "--batch-rows", "2"},
        Args{"--pairs", pairs}}) {
    SCOPED_TRACE(more[0]);
    // The row rewriter leaves t3, without a key, failed: on both alike.
    const auto one = replace("1", more);
    ASSERT_EQ(one.exitCode, more[0] == "--pairs" ? 1 : 0) << one.describe();
    const auto afterOne = dumps();
    ASSERT_NE(afterOne, before);
    ASSERT_EQ(cli({"undo", "--yes"}).exitCode, 0);
    ASSERT_EQ(dumps(), before);

    const auto two = replace("2", more);
    ASSERT_EQ(two.exitCode, one.exitCode) << two.describe();
    EXPECT_EQ(dumps(), afterOne);
    EXPECT_EQ(tablesTold(two), tablesTold(one));
    const auto undone = cli({"undo", "--yes"});
    ASSERT_EQ(undone.exitCode, 0) << undone.describe();
    EXPECT_EQ(dumps(), before);
  }
}

TEST_P(EveryWriterTwoJobs, aTableThatFailsAmongOthersIsToldFailedAndTheOthersAreReplaced) {
  makeTables(true);
  const auto before = dumps();

  const auto run = replace("2");
  EXPECT_EQ(run.exitCode, 1) << run.describe();
  const auto after = dumps();
  std::vector<std::string> told;
  for (int k = 1; k <= kTables; ++k) {
    told.push_back(nameOf(k) + (k == 4 ? " failed" : " replaced"));
    if (k == 4)
      EXPECT_EQ(after[k - 1], before[k - 1]) << "the failed table was written";
    else
      EXPECT_NE(after[k - 1], before[k - 1]) << nameOf(k) << " was not replaced";
  }
  EXPECT_EQ(tablesTold(run), told);
  // The failed table left nothing in the journal to take back.
  std::set<std::string> done;
  for (int k = 1; k <= kTables; ++k)
    if (k != 4) done.insert(nameOf(k) + " done");
  EXPECT_EQ(journaledTables(), done);

  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dumps(), before);
}

// A run of two jobs may end with a table before the last journaled one not
// done: its resume walks every table not done, and one undo takes back the
// run and its resume together.
TEST_P(TwoJobs, aRunOfTwoJobsIsResumedOverEveryTableNotDone) {
  makeTables(true);
  const auto before = dumps();
  const auto run = replace("2");
  ASSERT_EQ(run.exitCode, 1) << run.describe();
  const auto cut = dumps();
  ASSERT_EQ(cut[3], before[3]);
  // Mended: t4's column takes the replacement now.
  setup(engine() == Engine::PostgreSQL ? "alter table t4 alter column note type varchar(80);"
                                       : "alter table t4 modify note varchar(80);");

  const auto resumed = cli({"replace", "--resume", "--yes", "--jobs", "2"});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.describe();
  const auto after = dumps();
  for (int k = 1; k <= kTables; ++k) {
    if (k == 4)
      EXPECT_NE(after[k - 1], before[k - 1]) << "t4 was not resumed";
    else
      EXPECT_EQ(after[k - 1], cut[k - 1]) << nameOf(k) << " was replaced twice";
  }
  // Every table done in the one run.
  std::set<std::string> done;
  for (int k = 1; k <= kTables; ++k) done.insert(nameOf(k) + " done");
  EXPECT_EQ(journaledTables(), done);

  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dumps(), before);
}

// The engine's own walk: a stop asked while the third table starts lets
// the tables under way finish and takes none after them.
TEST_P(EveryWriterTwoJobs, aStopBetweenTablesEndsTheConcurrentReplaceWithTheTablesUnderWayDone) {
  makeTables();
  const auto before = dumps();
  struct Stopping : trellick::engine::Observer {
    std::atomic<bool> stop{false};
    void tableStarting(size_t index, size_t, const trellick::engine::Table&) override {
      if (index == 2) stop = true;
    }
    bool stopRequested() override { return stop; }
  } observer;
  trellick::journal::Journal journal(journalPath());
  trellick::engine::Options options{trellick::engine::Mode::Replace, {"old", "new-and-longer"}};
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  std::vector<trellick::engine::Table> tables;
  for (int k = 1; k <= kTables; ++k) tables.emplace_back(nameOf(k));
  const auto walk =
      trellick::engine::runConcurrently([&] { return connect(); }, tables, options, observer, 2);
  ASSERT_TRUE(walk.stopped);
  // Tables are taken in the list's order: the first two were under way or
  // done when the third was taken.
  ASSERT_EQ(walk.results.size(), 3u);
  const auto after = dumps();
  for (size_t k = 0; k < tables.size(); ++k) {
    if (k < walk.results.size()) {
      EXPECT_EQ(walk.results[k].status, trellick::engine::Status::Replaced) << tables[k].name;
      EXPECT_NE(after[k], before[k]) << tables[k].name;
    } else {
      EXPECT_EQ(after[k], before[k]) << tables[k].name << " was written after the stop";
    }
  }
}

// Every connection of the walk cut by the server as the third table starts:
// the tables it cut are told failed and left as they were, each worker
// connects again and the rest are replaced.
TEST_P(TwoJobs, connectionsLostUnderWayAreMadeAgainAndTheRestIsReplaced) {
  makeTables();
  const auto before = dumps();
  auto killer = connect();
  const std::string others =
      engine() == Engine::PostgreSQL
          ? "select pg_backend_pid(), pid from pg_stat_activity where datname = "
            "current_database() and pid <> pg_backend_pid()"
          : "select connection_id(), id from information_schema.processlist where db = "
            "database() and id <> connection_id()";
  struct Cutting : trellick::engine::Observer {
    std::function<void()> cut;
    void tableStarting(size_t index, size_t, const trellick::engine::Table&) override {
      if (index == 2) cut();
    }
  } observer;
  int cuts = 0;
  observer.cut = [&] {
    std::vector<std::string> ids;
    auto rs = killer->Execute(others);
    while (!rs->Eof()) {
      ids.push_back(rs->Fields().Item(1).Value().text());
      rs->MoveNext();
    }
    rs->Close();
    for (const auto& id : ids) {
      killer->Execute(engine() == Engine::PostgreSQL ? "select pg_terminate_backend(" + id + ")"
                                                     : "kill connection " + id);
      ++cuts;
    }
  };
  trellick::journal::Journal journal(journalPath());
  trellick::engine::Options options{trellick::engine::Mode::Replace, {"old", "new-and-longer"}};
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  std::vector<trellick::engine::Table> tables;
  for (int k = 1; k <= kTables; ++k) tables.emplace_back(nameOf(k));
  const auto walk =
      trellick::engine::runConcurrently([&] { return connect(); }, tables, options, observer, 2);
  ASSERT_GE(cuts, 1);
  ASSERT_FALSE(walk.connectionFailure);
  ASSERT_EQ(walk.results.size(), tables.size());
  const auto after = dumps();
  for (size_t k = 0; k < tables.size(); ++k) {
    const auto& r = walk.results[k];
    if (r.status == trellick::engine::Status::Failed)
      EXPECT_EQ(after[k], before[k]) << tables[k].name << " failed and was written";
    else
      EXPECT_NE(after[k], before[k]) << tables[k].name;
  }
  // The third table's connection was cut as it started; both connections
  // were, and the last table went on a connection made again.
  ASSERT_TRUE(walk.results[2].failure && walk.results[2].failure->connectionLost)
      << (walk.results[2].failure ? walk.results[2].failure->englishDescription : "not failed");
  EXPECT_EQ(walk.results.back().status, trellick::engine::Status::Replaced);
}

INSTANTIATE_TEST_SUITE_P(Servers, TwoJobs, testing::Values(Engine::PostgreSQL, Engine::MariaDB),
                         testsupport::EngineParamName());
INSTANTIATE_TEST_SUITE_P(Servers, EveryWriterTwoJobs,
                         testing::Values(Engine::SqlServer, Engine::PostgreSQL, Engine::MariaDB),
                         testsupport::EngineParamName());

// Two tables whose own triggers take the same two rows of a third in
// opposite orders, slowly: written at once they deadlock, and the server
// rolls one of them back. That table runs again alone and is replaced, as
// on one connection; the undo gives every row back.
TEST_P(TwoJobs, aTableRolledBackInADeadlockWithTheOtherRunsAgainAlone) {
  const std::string text = testsupport::shortText(engine(), 80);
  std::string sql = "create table x(id int primary key, n int);insert into x values(1, 0), (2, 0);";
  for (const char* t : {"a1", "a2"})
    sql += std::string("create table ") + t + "(id int primary key, note " + text + ");" +
           "insert into " + t + " values(1, 'an old one'), (2, 'kept');";
  setup(sql);
  for (const auto& [t, first, second] : {std::tuple{"a1", "1", "2"}, std::tuple{"a2", "2", "1"}}) {
    const std::string bump =
        std::string("update x set n = n + 1 where id = ") + first + "; " +
        (engine() == Engine::PostgreSQL ? "perform pg_sleep(0.5); " : "do sleep(0.5); ") +
        "update x set n = n + 1 where id = " + second + ";";
    if (engine() == Engine::PostgreSQL)
      setup(std::string("create function bump_") + t +
            "() returns trigger language plpgsql as $$ begin " + bump +
            " return null; end $$; create trigger " + t + "_bump after update on " + t +
            " for each row execute function bump_" + t + "();");
    else
      setup(std::string("delimiter //\ncreate trigger ") + t + "_bump after update on " + t +
            " for each row begin " + bump + " end//\ndelimiter ;\n");
  }
  auto notes = [&] {
    return std::vector<Rows>{dump("a1", {"id", "note"}, "id"), dump("a2", {"id", "note"}, "id")};
  };
  const auto before = notes();

  const auto two = replace("2");
  ASSERT_EQ(two.exitCode, 0) << two.describe();
  EXPECT_EQ(tablesTold(two),
            (std::vector<std::string>{"a1 replaced", "a2 replaced", "x no_searchable_column"}));
  const auto afterTwo = notes();
  EXPECT_NE(afterTwo[0], before[0]);
  EXPECT_NE(afterTwo[1], before[1]);
  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  ASSERT_EQ(notes(), before);

  const auto one = replace("1");
  ASSERT_EQ(one.exitCode, 0) << one.describe();
  EXPECT_EQ(notes(), afterTwo);
  EXPECT_EQ(tablesTold(two), tablesTold(one));
}

// What databases hold, on two connections as on one: a table without a key
// whose rows come in alike pairs and more, names with spaces, quotes,
// backticks, ";", "?" and ".", a table whose own trigger writes another
// table; each between plain tables, so that the two workers write at once.
// --jobs 2 leaves what --jobs 1 leaves, and each run's undo gives back
// exactly the rows there were. SQLite, taking one writer, runs its tables
// one after another.
class RealTablesTwoJobs : public TwoJobs {
 protected:
  struct Shape {
    std::string table;
    std::vector<std::string> columns;  // quoted for the client
    std::string order;
  };

  std::string q(const std::string& name) const { return testsupport::clientName(engine(), name); }

  void makeRealTables() {
    const std::string shortText = testsupport::shortText(engine(), 80);
    const std::string longText = testsupport::longText(engine());
    auto lit = [&](const std::string& v) { return testsupport::clientLiteral(engine(), v); };
    const std::string odd = "we \"ir`d;?.t";
    const std::string oddNote = "no te\"";
    const std::string oddBody = "b`q;?.x";
    std::string sql = "create table dup(note " + shortText + ", body " + longText + ");" +
                      "create table " + q(odd) + "(id int primary key, " + q(oddNote) + " " +
                      shortText + ", " + q(oddBody) + " " + longText + ");" +
                      "create table logged(id int primary key, note " + shortText + ");" +
                      "create table log(id int); insert into log values(0);";
    for (int k = 1; k <= 3; ++k)
      sql += "create table plain" + std::to_string(k) + "(id int primary key, note " + shortText +
             ");";
    for (int r = 1; r <= 12; ++r) {
      const std::string n = std::to_string(r);
      // Alike three by three, some holding the text, one pair of NULLs.
      const std::string note = r % 4 == 0 ? "null" : lit(r % 3 ? "old one" : "kept one");
      sql += "insert into dup values(" + note + ", " + lit(r % 2 ? "old and old" : "none") + ");";
      sql += "insert into " + q(odd) + " values(" + n + ", " + lit("x old " + n) + ", " +
             lit(r % 3 ? "row " + n + " old" : "row " + n) + ");";
      sql += "insert into logged values(" + n + ", " + lit(r % 2 ? "old " + n : "new " + n) + ");";
      for (int k = 1; k <= 3; ++k)
        sql += "insert into plain" + std::to_string(k) + " values(" + n + ", " +
               lit(r % 2 ? "an old " + n : "a " + n) + ");";
    }
    // Beside the text, what else a row holds: an amount, a day, bytes.
    std::string binary = "varbinary(8)", bytes = "x'00ff10'", hexOf = "hex(raw)";
    if (engine() == Engine::SQLite) binary = "blob";
    if (engine() == Engine::PostgreSQL) {
      binary = "bytea";
      bytes = "'\\x00ff10'";
      hexOf = "encode(raw, 'hex')";
    }
    sql += "create table typed(id int primary key, amount decimal(10,2), seen date, raw " + binary +
           ", note " + shortText + ");";
    for (int r = 1; r <= 6; ++r)
      sql += "insert into typed values(" + std::to_string(r) + ", " + std::to_string(r) +
             ".25, '2024-02-29', " + bytes + ", " +
             lit(r % 2 ? "typed old " + std::to_string(r) : "typed") + ");";
    // SQLite keeps what each value is, whatever its column says: an integer
    // and bytes in a text column, text and a number in one without a type.
    if (engine() == Engine::SQLite)
      sql +=
          "create table dyn(id integer primary key, v text, w);"
          "insert into dyn values(1, 42, 'an old w'), (2, 'old v', 7), (3, x'6f6c64', 2.5), "
          "(4, 'plain', x'6f6c6421'), (5, null, 'old');";
    setup(sql);
    switch (engine()) {
      case Engine::SQLite:
      case Engine::SqlServer:
        setup(
            "create trigger logged_update after update on logged begin insert into log values "
            "(new.id); end;");
        break;
      case Engine::PostgreSQL:
        setup(
            "create function log_update() returns trigger language plpgsql as $$ begin insert "
            "into log values (new.id); return null; end $$;"
            "create trigger logged_update after update on logged for each row execute function "
            "log_update();");
        break;
      case Engine::MariaDB:
        setup(
            "create trigger logged_update after update on logged for each row insert into log "
            "values (new.id);");
        break;
    }
    shapes_ = {{"plain1", {"id", "note"}, "id"},
               {"dup", {"note", "body"}, "note, body"},
               {"plain2", {"id", "note"}, "id"},
               {q(odd), {"id", q(oddNote), q(oddBody)}, "id"},
               {"logged", {"id", "note"}, "id"},
               {"plain3", {"id", "note"}, "id"},
               {"typed", {"id", "amount", "seen", hexOf, "note"}, "id"}};
    if (engine() == Engine::SQLite)
      shapes_.push_back({"dyn", {"id", "v", "typeof(v)", "w", "typeof(w)"}, "id"});
  }

  std::vector<Rows> rows() {
    std::vector<Rows> out;
    for (const auto& s : shapes_) out.push_back(dump(s.table, s.columns, s.order));
    return out;
  }

  long long logged() {
    const Rows n = dump("log", {"count(*)"}, "1");
    return n.size() == 1 && n[0].size() == 1 && n[0][0] ? std::stoll(*n[0][0]) : -1;
  }

  std::vector<Shape> shapes_;
};

TEST_P(RealTablesTwoJobs, keylessOddlyNamedAndTriggeredTablesGoOnTwoConnectionsAsOnOne) {
  makeRealTables();
  const auto before = rows();
  ASSERT_EQ(before[1].size(), 12u);
  // One row already: the table is walked alike by every run.
  ASSERT_EQ(logged(), 1);

  const auto one = replace("1");
  ASSERT_EQ(one.exitCode, 0) << one.describe();
  const auto afterOne = rows();
  for (size_t k = 0; k < shapes_.size(); ++k)
    EXPECT_NE(afterOne[k], before[k]) << shapes_[k].table << " was not replaced";
  // The trigger wrote a row for each row the replace changed.
  const long long loggedByOne = logged() - 1;
  EXPECT_EQ(loggedByOne, 6);
  const auto undoneOne = cli({"undo", "--yes"});
  ASSERT_EQ(undoneOne.exitCode, 0) << undoneOne.describe();
  ASSERT_EQ(rows(), before);

  const auto two = replace("2");
  ASSERT_EQ(two.exitCode, 0) << two.describe();
  EXPECT_EQ(rows(), afterOne);
  EXPECT_EQ(tablesTold(two), tablesTold(one));
  EXPECT_EQ(tablesTold(two).size(), shapes_.size() + 1);
  // Once per row again by the undo, and once per row by this replace.
  EXPECT_EQ(logged(), 1 + 3 * loggedByOne);
  const auto undoneTwo = cli({"undo", "--yes"});
  ASSERT_EQ(undoneTwo.exitCode, 0) << undoneTwo.describe();
  EXPECT_EQ(rows(), before);
  if (engine() == Engine::SQLite) {
    EXPECT_NE(two.err.find("one writer at a time"), std::string::npos) << two.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, RealTablesTwoJobs, testsupport::allEngines(),
                         testsupport::EngineParamName());

// MariaDB: learning one table's columns opens that table's definition, not
// every table's of the database (the JSON check named its table by the
// outer row: each connection opened them all for each column, one after
// another).
class MariaDbCatalog : public testsupport::EngineFixture {};

TEST_P(MariaDbCatalog, learningATablesColumnsOpensNoOtherTable) {
  constexpr int kOthers = 40;
  std::string sql;
  for (int k = 0; k < kOthers; ++k)
    sql += "create table other" + std::to_string(k) + "(id int primary key, note varchar(20));";
  setup(sql +
        "create table t1(id int primary key, note varchar(20), j json);"
        "insert into t1 values(1, 'old', '{\"a\": \"old\"}');");
  auto opened = [&] {
    auto rs = conn().Execute("show session status like 'Opened_table_definitions'");
    const long long n = std::stoll(rs->Fields().Item(1).Value().text());
    rs->Close();
    return n;
  };
  setup("flush tables");
  const long long before = opened();
  trellick::engine::Observer quiet;
  const auto r = trellick::engine::runTable(conn(), trellick::engine::Table("t1"),
                                            {trellick::engine::Mode::Count, {"old", ""}}, quiet);
  ASSERT_FALSE(r.failure) << r.failure->englishDescription;
  ASSERT_EQ(r.records, 1);
  EXPECT_LT(opened() - before, 5) << "definitions opened to learn one table's columns";
  // The JSON column is still told apart.
  ASSERT_EQ(r.columns.size(), 3u);
  EXPECT_EQ(r.columns[2].notSearched, "JSON, searched only by the row rewriter");
}

INSTANTIATE_TEST_SUITE_P(Server, MariaDbCatalog, testing::Values(Engine::MariaDB),
                         testsupport::EngineParamName());

// SQLite takes one writer: --jobs 2 replaces one table at a time, said so,
// and every table is replaced.
TEST(TwoJobsSqlite, aReplaceOnSqliteGoesOneTableAtATimeAndSaysSo) {
  testsupport::TempDir dir;
  const std::string path = dir.file("data.db");
  std::string sql;
  for (int k = 1; k <= kTables; ++k)
    sql += "create table " + nameOf(k) + "(id integer primary key, note text); insert into " +
           nameOf(k) + " values(1, 'old " + std::to_string(k) + "'), (2, 'kept');";
  testdb::exec(path, sql);
  const auto run = testsupport::runCli(
      {"replace", "--yes", "--jobs", "2", "--find", "old", "--replace", "new", "--server", "sqlite",
       "--database", path, "--journal", dir.file("journal.db")},
      {}, testsupport::environmentWith({}));
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  EXPECT_NE(run.err.find("one writer at a time: replace runs one table at a time, not 2"),
            std::string::npos)
      << run.err;
  for (int k = 1; k <= kTables; ++k)
    EXPECT_EQ(testdb::query(path, "select note from " + nameOf(k) + " order by id"),
              (std::vector<std::vector<std::string>>{{"new " + std::to_string(k)}, {"kept"}}));
}

}  // namespace
