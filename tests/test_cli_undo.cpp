// Preview, journal and undo from the command line, run as a process on
// real SQLite files, judged by reading the files; a replace killed in the
// middle leaves the journal and the database in agreement.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_run.h"
#include "support/files.h"
#include "support/pg_server.h"
#include "support/process.h"
#include "support/sqlite_file.h"

namespace {

using nlohmann::json;
using testsupport::CliProcess;
using testsupport::CliRun;
using testsupport::TempDir;
using Args = std::vector<std::string>;

Args on(const std::string& command, const std::string& path) {
  return {command, "--server", "sqlite", "--database", path};
}

using testsupport::operator+;

CliRun cli(const Args& args) { return testsupport::runCli(args); }

using testsupport::get;
using testsupport::item;

using Dump = std::vector<std::vector<std::string>>;

Dump dump(const std::string& path, const std::string& table) {
  return testdb::query(path, "select rowid, * from " + table + " order by rowid");
}

const char* const kFind = "a.com";
const char* const kReplace = "www.a.com/'站😀";

class CliUndo : public ::testing::Test {
 protected:
  // Replaces keep their journal under the data directory: a private one.
  static void SetUpTestSuite() {
    data_ = new TempDir;
    ASSERT_TRUE(data_->valid()) << data_->error();
    ::setenv("XDG_DATA_HOME", data_->path().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete data_;
    data_ = nullptr;
  }

 private:
  static TempDir* data_;
};

TempDir* CliUndo::data_ = nullptr;

TEST_F(CliUndo, previewReplaceAndUndoWithAConflict) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db");
  testdb::exec(path,
               "create table t(id integer primary key, v varchar(100), w text);"
               "insert into t values(1, 'see a.com', printf('%.50000c', 'x') || 'a.com');"
               "insert into t values(2, 'none', null), (3, 'a.com', '汉😀a.com'), (4, null, "
               "'A.COM');");
  const Dump before = dump(path, "t");

  // What preview shows is what replace then writes, row for row.
  const CliRun preview = cli(
      on("preview", path) + Args{"--find", kFind, "--replace", kReplace, "--json", "--limit", "1"});
  ASSERT_EQ(preview.exitCode, 0);
  const json table = item(preview.lines(), 0);
  ASSERT_EQ(get(table, "total"), 2);
  ASSERT_TRUE(get(table, "rows").is_array());
  ASSERT_EQ(get(table, "rows").size(), 1u);  // the limit
  const json first = item(get(table, "rows"), 0);
  ASSERT_EQ(item(get(first, "key"), 0), "1");

  const CliRun replaced =
      cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace, "--yes"});
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  const json& changes = get(first, "changes");
  ASSERT_TRUE(changes.is_array() && !changes.empty()) << first.dump();
  for (const auto& c : changes) {
    const json& column = get(c, "column");
    const json& after = get(c, "after");
    ASSERT_TRUE(column.is_string() && after.is_string()) << c.dump();
    ASSERT_EQ(
        testdb::query(path, "select " + column.get<std::string>() + " from t where id = 1")[0][0],
        after.get<std::string>());
  }

  const CliRun runs = cli({"runs", "--json"});
  ASSERT_EQ(get(item(runs.lines(), 0), "kind"), "replace");
  ASSERT_EQ(get(item(runs.lines(), 0), "replace"), kReplace);

  // Undo as a script changes nothing.
  const std::string script = dir.file("undo.sql");
  const CliRun scripted = cli({"undo", "--sql", script});
  ASSERT_TRUE(scripted.exitCode == 0) << scripted.describe();
  std::ifstream sql(script, std::ios::binary);
  ASSERT_TRUE(sql.is_open());
  const std::string written{std::istreambuf_iterator<char>(sql), std::istreambuf_iterator<char>()};
  ASSERT_NE(written.find("update [t] set [v] = 'see a.com'"), std::string::npos);
  ASSERT_TRUE(dump(path, "t") != before);

  // Without --yes and without a terminal, nothing is undone.
  ASSERT_EQ(cli({"undo"}).exitCode, 2);

  testdb::exec(path, "update t set v = 'by hand' where id = 3;");
  const CliRun undone = cli({"undo", "--yes", "--json"});
  ASSERT_EQ(undone.exitCode, 1);  // a conflict remains
  const json result = item(undone.lines(), 0);
  ASSERT_EQ(get(result, "restored"), 1);
  ASSERT_TRUE(get(result, "conflicts").is_array());
  ASSERT_EQ(get(result, "conflicts").size(), 1u);
  ASSERT_EQ(item(item(get(result, "conflicts"), 0), 0), "3");
  Dump expected = before;
  expected[2] = dump(path, "t")[2];  // the conflicting row keeps its values
  ASSERT_EQ(dump(path, "t"), expected);
  ASSERT_EQ(expected[2][2], std::string("by hand"));

  // The undo is a run of its own, and can be undone in turn by its number.
  const json undoRun = get(item(undone.lines(), 1), "undo_run");
  ASSERT_TRUE(undoRun.is_number()) << undone.describe();
  const CliRun again = cli({"undo", std::to_string(undoRun.get<long long>()), "--yes"});
  ASSERT_TRUE(again.exitCode == 0) << again.describe();
  ASSERT_EQ(testdb::query(path, "select v from t where id = 1")[0][0],
            std::string("see ") + kReplace);
}

// The runs a journal lists, by number.
std::map<long long, json> runsOf(const std::string& journal) {
  std::map<long long, json> out;
  for (const auto& r : cli({"runs", "--json", "--journal", journal}).lines())
    if (get(r, "run").is_number()) out[get(r, "run").get<long long>()] = r;
  return out;
}

// An undo given no number takes the newest replace that changed rows: a
// run whose every table failed is passed over.
TEST_F(CliUndo, undoPassesOverARunThatChangedNothing) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db"), journal = dir.file("journal.db");
  testdb::exec(path,
               "create table t(id integer primary key, v text);"
               "insert into t values(1, 'see a.com'), (2, 'none');");
  const Dump before = dump(path, "t");
  const Args j{"--journal", journal};
  ASSERT_EQ(cli(on("replace", path) + Args{"--find", "a.com", "--replace", "b.org", "--yes"} + j)
                .exitCode,
            0);
  const Dump replaced = dump(path, "t");
  ASSERT_NE(replaced, before);
  testdb::exec(path,
               "create trigger no before update on t begin select raise(abort, 'refused'); end;");
  const CliRun failed =
      cli(on("replace", path) + Args{"--find", "b.org", "--replace", "c.net", "--yes"} + j);
  ASSERT_NE(failed.exitCode, 0) << failed.describe();
  ASSERT_EQ(dump(path, "t"), replaced);
  testdb::exec(path, "drop trigger no;");

  const CliRun undone = cli({"undo", "--yes", "--journal", journal});
  ASSERT_TRUE(undone.exitCode == 0) << undone.describe();
  ASSERT_EQ(dump(path, "t"), before);
}

// Undo twice takes back the next older replace, never the undo just made;
// an undo is taken back by its number; runs tells which undo took a run back.
TEST_F(CliUndo, undoTwiceTakesTheOlderRunAndAnUndoIsUndoneByNumber) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db"), journal = dir.file("journal.db");
  testdb::exec(path,
               "create table t(id integer primary key, v text);"
               "insert into t values(1, 'see a.com'), (2, 'x.com y');");
  const Dump original = dump(path, "t");
  const Args j{"--journal", journal};
  ASSERT_EQ(cli(on("replace", path) + Args{"--find", "a.com", "--replace", "b.org", "--yes"} + j)
                .exitCode,
            0);
  const Dump afterFirst = dump(path, "t");
  ASSERT_EQ(cli(on("replace", path) + Args{"--find", "x.com", "--replace", "z.net", "--yes"} + j)
                .exitCode,
            0);
  ASSERT_NE(dump(path, "t"), afterFirst);

  const CliRun first = cli({"undo", "--yes", "--journal", journal});
  ASSERT_TRUE(first.exitCode == 0) << first.describe();
  ASSERT_EQ(dump(path, "t"), afterFirst);
  const CliRun second = cli({"undo", "--yes", "--json", "--journal", journal});
  ASSERT_TRUE(second.exitCode == 0) << second.describe();
  ASSERT_EQ(dump(path, "t"), original);
  // Nothing is left to take back: the undos are not taken as runs to undo.
  const CliRun third = cli({"undo", "--yes", "--journal", journal});
  ASSERT_EQ(third.exitCode, 2) << third.describe();
  ASSERT_EQ(dump(path, "t"), original);

  // The runs: 1 and 2 replaces, 3 undid 2, 4 undid 1.
  auto runs = runsOf(journal);
  ASSERT_EQ(runs.size(), 4u);
  ASSERT_EQ(get(runs[2], "undone_by"), 3);
  ASSERT_EQ(get(runs[1], "undone_by"), 4);
  ASSERT_TRUE(get(runs[3], "undone_by").is_null());
  ASSERT_EQ(get(runs[3], "undoes"), 2);
  const std::string listed = cli({"runs", "--journal", journal}).out;
  ASSERT_NE(listed.find("(undone by run 4)"), std::string::npos) << listed;

  // Undoing the undo of run 1 by its number gives run 1's values back, and
  // run 1 is then no longer undone: a plain undo takes it again.
  const CliRun redo = cli({"undo", "4", "--yes", "--journal", journal});
  ASSERT_TRUE(redo.exitCode == 0) << redo.describe();
  ASSERT_EQ(dump(path, "t"), afterFirst);
  runs = runsOf(journal);
  ASSERT_EQ(get(runs[4], "undone_by"), 5);
  ASSERT_TRUE(get(runs[1], "undone_by").is_null());
  const CliRun again = cli({"undo", "--yes", "--journal", journal});
  ASSERT_TRUE(again.exitCode == 0) << again.describe();
  ASSERT_EQ(dump(path, "t"), original);
}

// Killed at any moment, a replace leaves every table either unchanged or
// with its journal entry complete, and undo gives back the file's values.
// The scripts run as the sqlite3 shell reads them: a carriage return before
// a line feed comes back, and the preview's update touches only the rows
// the replace changes (its LIKE as case-sensitive as Trellick's), as the
// table's trigger tells.
TEST_F(CliUndo, scriptsReplayExactlyThroughTheSqliteShell) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("lines.db");
  testdb::exec(path,
               "create table t(id integer primary key, v text);"
               "create table touched(id int);"
               "create trigger seen after update on t begin insert into touched values(new.id); "
               "end;"
               "insert into t values(1, 'at a.com' || char(13, 10) || 'next' || char(13));"
               "insert into t values(2, 'A.COM only'), (3, 'none');");
  const Dump before = dump(path, "t");
  auto shell = [&](const std::string& script) {
    testsupport::ProcessOptions options;
    std::ifstream in(script, std::ios::binary);
    options.input.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const auto ran = testsupport::runProcess({"/usr/bin/sqlite3", "-bail", path}, options);
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
  };

  const std::string previewScript = dir.file("preview.sql");
  const CliRun preview = cli(on("preview", path) +
                             Args{"--find", kFind, "--replace", kReplace, "--sql", previewScript});
  ASSERT_EQ(preview.exitCode, 0) << preview.describe();
  shell(previewScript);
  ASSERT_EQ(testdb::query(path, "select id from touched order by id"), (Dump{{"1"}}));
  testdb::exec(path, "delete from touched;");
  testdb::exec(path,
               "update t set v = 'at a.com' || char(13, 10) || 'next' || char(13) where id = 1");
  ASSERT_EQ(dump(path, "t"), before);

  const CliRun replaced =
      cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace, "--yes"});
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  ASSERT_EQ(testdb::query(path, "select v from t where id = 1")[0][0],
            std::string("at ") + kReplace + "\r\nnext\r");
  const std::string undoScript = dir.file("undo.sql");
  const CliRun scripted = cli({"undo", "--sql", undoScript});
  ASSERT_TRUE(scripted.exitCode == 0) << scripted.describe();
  shell(undoScript);
  ASSERT_EQ(dump(path, "t"), before);
}

TEST_F(CliUndo, aReplaceKilledMidwayLeavesJournalAndDatabaseInAgreement) {
  // Kills that left some tables replaced and others not: the test is
  // about those.
  int midway = 0;
  for (int delayMs : {150, 400, 900, 1600}) {
    TempDir dir;
    ASSERT_TRUE(dir.valid()) << dir.error();
    const std::string path = dir.file("big.db");
    std::string setup;
    for (int k = 0; k < 8; ++k)
      setup += "create table t" + std::to_string(k) +
               "(id integer primary key, v text);"
               "insert into t" +
               std::to_string(k) +
               " with recursive n(value) as (select 1 union all select value + 1 from n "
               "where value < 40000) select value, 'x a.com ' || value from n;";
    testdb::exec(path, setup);
    std::vector<Dump> before;
    for (int k = 0; k < 8; ++k) before.push_back(dump(path, "t" + std::to_string(k)));

    TempDir journalDir;
    ASSERT_TRUE(journalDir.valid()) << journalDir.error();
    const std::string journal = journalDir.file("journal.db");
    CliProcess p(on("replace", path) +
                 Args{"--find", kFind, "--replace", kReplace, "--yes", "--journal", journal});
    ASSERT_TRUE(p.started());
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    // A run already ended is no kill midway.
    p.signal(SIGKILL);
    p.waitFor(10000);

    int replacedTables = 0;
    for (int k = 0; k < 8; ++k) {
      const Dump now = dump(path, "t" + std::to_string(k));
      // Each table wholly replaced or untouched.
      const auto replacedRows = testdb::query(
          path, "select count(*) from t" + std::to_string(k) + " where v like '%站%'")[0][0];
      ASSERT_TRUE(now == before[static_cast<size_t>(k)] || replacedRows == "40000")
          << "t" << k << " after " << delayMs << " ms: " << replacedRows << " rows replaced";
      replacedTables += replacedRows == "40000";
    }
    midway += replacedTables > 0 && replacedTables < 8;
    // A table the database shows replaced is complete in the journal.
    const CliRun runs = cli({"runs", "--json", "--journal", journal});
    const json& listed = get(item(runs.lines(), 0), "tables");
    const json tables = listed.is_array() ? listed : json::array();
    for (const auto& o : tables) {
      const json& name = get(o, "table");
      const auto replacedRows = testdb::query(
          path, "select count(*) from " + (name.is_string() ? name.get<std::string>() : "") +
                    " where v like '%站%'")[0][0];
      if (replacedRows == "40000") {
        ASSERT_EQ(get(o, "rows"), 40000);
      }
    }
    const CliRun undone = cli({"undo", "--yes", "--journal", journal});
    ASSERT_TRUE(undone.exitCode == 0 || tables.empty()) << undone.describe();
    for (int k = 0; k < 8; ++k)
      ASSERT_TRUE(dump(path, "t" + std::to_string(k)) == before[static_cast<size_t>(k)])
          << "t" << k << " after " << delayMs << " ms";
  }
  ASSERT_TRUE(midway > 0);
}

}  // namespace

namespace {

// The journal's own folder is its owner's alone, even when it was there
// before with wider rights.
TEST_F(CliUndo, anExistingJournalFolderIsMadeOwnerOnly) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string folder = dir.file("journal");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  const CliRun runs = cli({"runs", "--journal", folder + "/journal.db"});
  ASSERT_TRUE(runs.exitCode == 0) << runs.describe();
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  ASSERT_EQ(st.st_mode & 0777, 0700u);
}

// runs counts the rows a run changed: a table that failed changed none,
// whatever the journal read of it before its update failed.
TEST_F(CliUndo, runsCountsOnlyTheRowsChanged) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db");
  const std::string journal = dir.file("journal.db");
  testdb::exec(path,
               "create table t(id integer primary key, v text);"
               "insert into t values(1, 'a.com'), (2, 'a.com');");
  const CliRun replaced = cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace,
                                                         "--yes", "--journal", journal});
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  // A table whose rows were journaled and whose update the server then
  // refused, as a server-side failure after the read leaves it.
  testdb::exec(journal,
               "insert into tables(run, schema, name, identity, by_value, changed, state, rows) "
               "select run, schema, 'u', identity, by_value, changed, 'failed', 5 from tables;");
  const CliRun runs = cli({"runs", "--journal", journal});
  ASSERT_TRUE(runs.exitCode == 0) << runs.describe();
  ASSERT_NE(runs.out.find(": 1 table, 2 rows"), std::string::npos) << runs.out;
}

// An undo that reaches the run's server by itself names it when it
// cannot connect.
TEST_F(CliUndo, aFailedConnectionNamesTheJournalsServer) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string folder = dir.file("gone");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string path = folder + "/shop.db";
  const std::string journal = dir.file("journal.db");
  testdb::exec(path,
               "create table t(id integer primary key, v text); insert into t values(1, 'a.com');");
  const CliRun replaced = cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace,
                                                         "--yes", "--journal", journal});
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::rmdir(folder.c_str()), 0);
  const CliRun undone = cli({"undo", "--yes", "--journal", journal});
  ASSERT_EQ(undone.exitCode, 2);
  ASSERT_NE(undone.err.find("cannot connect to sqlite: "), std::string::npos) << undone.err;
}

}  // namespace

namespace {

// Undo writes only into the database the run changed: another file, or a
// copy of the file elsewhere, is refused with nothing written; a script
// is still written for wherever the operator means to run it.
TEST_F(CliUndo, undoRefusesADatabaseThatIsNotTheRuns) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db");
  const std::string other = dir.file("other.db");
  const std::string copy = dir.file("copy.db");
  const std::string journal = dir.file("journal.db");
  const char* const setup =
      "create table t(id integer primary key, v text); insert into t values(1, 'a.com');";
  testdb::exec(path, setup);
  testdb::exec(other, setup);
  testdb::exec(other, "update t set v = 'www.a.com/''站😀';");
  const CliRun replaced = cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace,
                                                         "--yes", "--journal", journal});
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  {
    std::ifstream from(path, std::ios::binary);
    std::ofstream to(copy, std::ios::binary);
    to << from.rdbuf();
  }
  const Dump replacedDump = dump(path, "t");
  ASSERT_EQ(replacedDump, dump(copy, "t"));
  ASSERT_EQ(replacedDump, dump(other, "t"));
  for (const std::string& elsewhere : {other, copy}) {
    const CliRun undone =
        cli({"undo", "--yes", "--journal", journal, "--server", "sqlite", "--database", elsewhere});
    ASSERT_EQ(undone.exitCode, 2) << elsewhere << ": " << undone.describe();
    ASSERT_EQ(dump(elsewhere, "t"), replacedDump) << elsewhere;
  }
  const std::string script = dir.file("undo.sql");
  const CliRun scripted = cli(
      {"undo", "--sql", script, "--journal", journal, "--server", "sqlite", "--database", other});
  ASSERT_TRUE(scripted.exitCode == 0) << scripted.describe();
  std::ifstream sql(script, std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(sql), std::istreambuf_iterator<char>()};
  ASSERT_NE(written.find("update [t] set [v] = 'a.com'"), std::string::npos) << written;
  // The run's own file is still undone.
  const CliRun undone = cli({"undo", "--yes", "--journal", journal});
  ASSERT_TRUE(undone.exitCode == 0) << undone.describe();
  ASSERT_EQ(testdb::query(path, "select v from t")[0][0], std::string("a.com"));
}

// A file put in the run's file's place, at the same path, is another
// database: refused with nothing written. The run's file put back is
// undone.
TEST_F(CliUndo, undoRefusesAFilePutInTheRunsPlace) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db");
  const std::string aside = dir.file("shop.before-restore.db");
  const std::string journal = dir.file("journal.db");
  const char* const setup =
      "create table t(id integer primary key, v text); insert into t values(1, 'a.com');";
  // The run's file has a history of schema changes, as a used file does.
  testdb::exec(path, "create table t0(x); create index i0 on t0(x); drop index i0; drop table t0;");
  testdb::exec(path, setup);
  const CliRun replaced = cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace,
                                                         "--yes", "--journal", journal});
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  const Dump replacedDump = dump(path, "t");
  ASSERT_EQ(std::rename(path.c_str(), aside.c_str()), 0);
  // The same rows as the run left them, in a file made afresh.
  testdb::exec(path, setup);
  testdb::exec(path, "update t set v = 'www.a.com/''站😀';");
  ASSERT_EQ(dump(path, "t"), replacedDump);
  const CliRun refused = cli({"undo", "--yes", "--journal", journal});
  EXPECT_EQ(refused.exitCode, 2) << refused.describe();
  EXPECT_NE(refused.err.find("nothing was undone"), std::string::npos) << refused.describe();
  EXPECT_EQ(dump(path, "t"), replacedDump);

  ASSERT_EQ(std::rename(aside.c_str(), path.c_str()), 0);
  const CliRun undone = cli({"undo", "--yes", "--journal", journal});
  ASSERT_TRUE(undone.exitCode == 0) << undone.describe();
  EXPECT_EQ(testdb::query(path, "select v from t")[0][0], std::string("a.com"));
}

// The journal checks itself. A flipped byte in one journaled old value
// makes its table refused whole, nothing written to it, while the other
// table is given back; a page overwritten with rubbish makes the whole
// journal refused. Both exit 2 and say so.
TEST_F(CliUndo, aDamagedJournalIsRefusedNotWrittenBack) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db");
  const std::string journal = dir.file("journal.db");
  std::string rows =
      "create table t1(id integer primary key, v text);"
      "create table t2(id integer primary key, v text);"
      "insert into t1 values(1, 'marker-one a.com');";
  // Enough rows for the journal to span pages of its own.
  for (int k = 2; k <= 400; ++k)
    rows += "insert into t2 values(" + std::to_string(k) + ", 'row " + std::to_string(k) + " " +
            std::string(60, 'x') + " a.com');";
  testdb::exec(path, rows);
  const Dump before1 = dump(path, "t1"), before2 = dump(path, "t2");
  auto replace = [&] {
    const CliRun replaced = cli(on("replace", path) + Args{"--find", kFind, "--replace", kReplace,
                                                           "--yes", "--journal", journal});
    ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  };
  auto fileBytes = [&] {
    std::ifstream in(journal, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  };
  auto writeBytes = [&](const std::string& bytes) {
    std::ofstream out(journal, std::ios::binary | std::ios::trunc);
    out << bytes;
  };

  // One byte of t1's old value flipped where it lies in the file.
  replace();
  const Dump replaced1 = dump(path, "t1");
  ASSERT_NE(replaced1, before1);
  std::string bytes = fileBytes();
  size_t at = bytes.find("marker-one");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'M';
  writeBytes(bytes);
  const CliRun flipped = cli({"undo", "--yes", "--journal", journal});
  EXPECT_EQ(flipped.exitCode, 2) << flipped.describe();
  EXPECT_NE(flipped.out.find("damaged"), std::string::npos) << flipped.describe();
  EXPECT_EQ(dump(path, "t1"), replaced1) << "a damaged old value was written back";
  EXPECT_EQ(dump(path, "t2"), before2);

  // A page of the rows overwritten.
  std::filesystem::remove(journal);
  testdb::exec(path, "update t1 set v = 'marker-one a.com';");
  replace();
  const Dump replaced2 = dump(path, "t2");
  bytes = fileBytes();
  at = bytes.find("row 200 ");
  ASSERT_NE(at, std::string::npos);
  const size_t page = 4096 * (at / 4096);
  ASSERT_LE(page + 4096, bytes.size());
  for (size_t k = page; k < page + 4096; ++k) bytes[k] = static_cast<char>(0xA5);
  writeBytes(bytes);
  const CliRun overwritten = cli({"undo", "--yes", "--journal", journal});
  EXPECT_EQ(overwritten.exitCode, 2) << overwritten.describe();
  EXPECT_NE(overwritten.err.find("damaged"), std::string::npos) << overwritten.describe();
  EXPECT_EQ(dump(path, "t1"), replaced1);
  EXPECT_EQ(dump(path, "t2"), replaced2);
}

}  // namespace

namespace {

// On a real PostgreSQL server: a run is undone in its own table, whatever
// schema bare names reach for the login that undoes it, and never in
// another database.
TEST(CliUndoPostgreSQL, undoReachesTheRunsSchemaAndNoOtherDatabase) {
  testsupport::PgServer pg;
  ASSERT_TRUE(pg.ok()) << pg.errorText();
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string journal = dir.file("journal.db");
  // ua's bare names reach ua.t; trellick's reach public.t.
  ASSERT_TRUE(
      pg.psqlOk("create role ua login password 'ua-pw';"
                "create schema ua authorization ua;"
                "create table ua.t(id int primary key, v text);"
                "insert into ua.t values(1, 'foo');"
                "alter table ua.t owner to ua;"
                "create table public.t(id int primary key, v text);"
                "insert into public.t values(1, 'bar');"
                "alter table public.t owner to trellick;"
                "grant select, update on public.t to ua;"
                "grant usage on schema ua to trellick;"
                "grant select, update on ua.t to trellick;"))
      << pg.lastError();
  ASSERT_TRUE(pg.createDatabase("other")) << pg.lastError();
  ASSERT_TRUE(
      pg.psqlOk("create table public.t(id int primary key, v text);"
                "insert into public.t values(1, 'bar');"
                "alter table public.t owner to trellick;",
                "other"))
      << pg.lastError();
  const auto env = testsupport::environmentWith({{"PW", pg.password()}, {"UAPW", "ua-pw"}});
  const Args asUa{"--server", pg.serverField(), "--database", pg.database(), "--user",
                  "ua",       "--password-env", "UAPW",       "--journal",   journal};
  const CliRun replaced = testsupport::runCli(
      Args{"replace", "--find", "foo", "--replace", "bar", "--yes", "--tables", "t"} + asUa, {},
      env);
  ASSERT_TRUE(replaced.exitCode == 0) << replaced.describe();
  ASSERT_EQ(pg.psql("select v from ua.t"), "bar");

  // Another database holding the run's values is refused, untouched.
  const CliRun elsewhere =
      testsupport::runCli({"undo", "--yes", "--journal", journal, "--server", pg.serverField(),
                           "--database", "other", "--user", pg.user(), "--password-env", "PW"},
                          {}, env);
  ASSERT_EQ(elsewhere.exitCode, 2) << elsewhere.describe();
  ASSERT_EQ(pg.psql("select v from public.t", "other"), "bar");

  // Undone by trellick, whose bare t is public.t: ua.t is given back.
  const CliRun undone = testsupport::runCli(
      {"undo", "--yes", "--journal", journal, "--user", pg.user(), "--password-env", "PW"}, {},
      env);
  ASSERT_TRUE(undone.exitCode == 0) << undone.describe();
  ASSERT_EQ(pg.psql("select v from public.t"), "bar");
  ASSERT_EQ(pg.psql("select v from ua.t"), "foo");
}

// A table the server committed is replaced even when the journal cannot
// mark it done (here the journal's own file refuses that one write, as a
// full disk would): it is not reported failed, its statement is not offered
// to run again, and its rows, sealed before the commit, still undo it.
TEST_F(CliUndo, aTableCommittedWithoutItsDoneMarkIsReplacedWithTheJournalIncomplete) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db"), journal = dir.file("journal.db");
  testdb::exec(path,
               "create table t(id integer primary key, v text);"
               "insert into t values(1, 'see a.com'), (2, 'none'), (3, 'a.com');");
  const Dump before = dump(path, "t");
  const Args j{"--journal", journal};
  ASSERT_EQ(cli(Args{"runs"} + j).exitCode, 0);  // makes the journal
  testdb::exec(journal,
               "create trigger full_disk before update of state on tables when new.state = "
               "'done' begin select raise(abort, 'database or disk is full'); end;");

  const CliRun replaced =
      cli(on("replace", path) + Args{"--find", "a.com", "--replace", "b.org", "--yes"} + j);
  EXPECT_EQ(replaced.exitCode, 0) << replaced.describe();
  EXPECT_NE(replaced.out.find("replaced; journal incomplete"), std::string::npos)
      << replaced.describe();
  EXPECT_NE(replaced.out.find("replaced in 1 of 1 tables, 2 records; 1 replaced with the journal "
                              "incomplete."),
            std::string::npos)
      << replaced.describe();
  EXPECT_EQ(replaced.out.find("failed"), std::string::npos) << replaced.describe();
  EXPECT_EQ(replaced.out.find("Update"), std::string::npos) << replaced.describe();
  const Dump after = dump(path, "t");
  EXPECT_EQ(after, (Dump{{"1", "1", "see b.org"}, {"2", "2", "none"}, {"3", "3", "b.org"}}));

  // The same in JSON, on a second file.
  const std::string other = dir.file("other.db");
  testdb::exec(other,
               "create table u(id integer primary key, v text); insert into u values(1, 'a.com');");
  const CliRun lines = cli(on("replace", other) +
                           Args{"--find", "a.com", "--replace", "b.org", "--yes", "--json"} + j);
  EXPECT_EQ(lines.exitCode, 0) << lines.describe();
  const json table = item(lines.lines(), 0);
  EXPECT_EQ(get(table, "status"), "replaced") << lines.describe();
  EXPECT_EQ(get(table, "journal_complete"), false) << lines.describe();
  EXPECT_TRUE(get(table, "failure").is_null()) << lines.describe();
  const json summary = item(lines.lines(), 1);
  EXPECT_EQ(get(summary, "replaced"), 1) << lines.describe();
  EXPECT_EQ(get(summary, "failed"), 0) << lines.describe();
  EXPECT_EQ(get(summary, "journal_incomplete"), 1) << lines.describe();
  EXPECT_EQ(testdb::query(other, "select v from u"), (Dump{{"b.org"}}));

  // The journal holds the table as journaled, not failed, and the disk
  // once freed, the undo gives every row back.
  const auto runs = runsOf(journal);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(get(item(get(runs.begin()->second, "tables"), 0), "state"), "journaled");
  const CliRun listed = cli(Args{"runs"} + j);
  EXPECT_NE(listed.out.find("1 table, 2 rows (journal incomplete)\n"), std::string::npos)
      << listed.describe();
  testdb::exec(journal, "drop trigger full_disk;");
  const CliRun undone = cli(Args{"undo", "1", "--yes"} + j);
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dump(path, "t"), before);
}

// Tables by their name's start on the lines of a JSON output of one type.
std::map<std::string, json> byTable(const CliRun& run, const std::string& type) {
  std::map<std::string, json> out;
  for (const auto& o : run.lines())
    if (get(o, "type") == type && get(o, "table").is_string())
      out[get(o, "table").get<std::string>()] = o;
  return out;
}

// The readable line of a table in a replace's output, empty if none.
std::string lineOf(const CliRun& run, const std::string& table) {
  for (const std::string& line : testsupport::splitLines(run.out))
    if (line.rfind(table + " ", 0) == 0) return line;
  return {};
}

// The preview, the replace and the undo tell which tables have triggers of
// their own, whose side effects are not undone.
TEST_F(CliUndo, tablesWithTriggersOfTheirOwnAreTold) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db"), journal = dir.file("journal.db");
  testdb::exec(path,
               "create table keyed(id integer primary key, v text);"
               "create table watched(id integer primary key, v text);"
               "create table audit(what text);"
               "create trigger Watch after update on WATCHED begin insert into audit "
               "values(old.v); end;"
               "insert into keyed values(1, 'a.com'); insert into watched values(1, 'a.com');");
  const Args j{"--journal", journal};
  const Args texts{"--find", "a.com", "--replace", "b.org", "--tables", "keyed,watched"};

  const CliRun preview = cli(on("preview", path) + texts + Args{"--json"});
  ASSERT_EQ(preview.exitCode, 0) << preview.describe();
  auto previews = byTable(preview, "preview");
  EXPECT_EQ(get(previews["keyed"], "has_triggers"), false) << preview.describe();
  EXPECT_EQ(get(previews["watched"], "has_triggers"), true) << preview.describe();
  const CliRun previewText = cli(on("preview", path) + texts);
  EXPECT_NE(previewText.out.find("== watched: 1 record would change; has triggers: what they do is "
                                 "not undone\n"),
            std::string::npos)
      << previewText.describe();
  EXPECT_NE(previewText.out.find("== keyed: 1 record would change\n"), std::string::npos)
      << previewText.describe();

  const CliRun replaced = cli(on("replace", path) + texts + Args{"--yes", "--json"} + j);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  auto tables = byTable(replaced, "table");
  EXPECT_EQ(get(tables["keyed"], "has_triggers"), false) << replaced.describe();
  EXPECT_EQ(get(tables["keyed"], "by_value"), false) << replaced.describe();
  EXPECT_EQ(get(tables["keyed"], "journal_complete"), true) << replaced.describe();
  EXPECT_EQ(get(tables["watched"], "has_triggers"), true) << replaced.describe();
  EXPECT_EQ(testdb::query(path, "select what from audit"), (Dump{{"a.com"}}));

  // The undo gives the values back; what the trigger wrote stays, and
  // the trigger writes again.
  const CliRun undone = cli(Args{"undo", "--yes"} + j);
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_NE(undone.out.find("watched: 1 row restored (has triggers: what they did is not undone)"),
            std::string::npos)
      << undone.describe();
  EXPECT_NE(undone.out.find("keyed: 1 row restored\n"), std::string::npos) << undone.describe();
  EXPECT_EQ(testdb::query(path, "select v from watched"), (Dump{{"a.com"}}));
  EXPECT_EQ(testdb::query(path, "select what from audit"), (Dump{{"a.com"}, {"b.org"}}));

  // The readable replace says it on the table's line; the undo's JSON too.
  const CliRun text = cli(on("replace", path) + texts + Args{"--yes"} + j);
  ASSERT_EQ(text.exitCode, 0) << text.describe();
  EXPECT_NE(lineOf(text, "watched").find("(has triggers: what they did is not undone)"),
            std::string::npos)
      << text.describe();
  EXPECT_EQ(lineOf(text, "keyed").find('('), std::string::npos) << text.describe();
  const CliRun undoJson = cli(Args{"undo", "--yes", "--json"} + j);
  auto undoTables = byTable(undoJson, "undo");
  EXPECT_EQ(get(undoTables["watched"], "has_triggers"), true) << undoJson.describe();
  EXPECT_EQ(get(undoTables["keyed"], "has_triggers"), false) << undoJson.describe();
}

// On a real PostgreSQL server: a table without a key is told by the
// replace; a trigger of the table's own is told, a foreign key's internal
// triggers are not.
TEST_F(CliUndo, postgresqlTablesWithoutAKeyOrWithTriggersAreTold) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string journal = dir.file("journal.db");
  testsupport::PgServer pg;
  ASSERT_TRUE(pg.ok()) << pg.errorText();
  ASSERT_TRUE(
      pg.psqlOk("create table parent(id int primary key, v text);"
                "create table child(id int primary key, p int references parent(id), v text);"
                "create table loose(v text, w text);"
                "create table watched(id int primary key, v text);"
                "create table audit(what text);"
                "create function keep() returns trigger language plpgsql as "
                "$$begin insert into audit values(old.v); return new; end$$;"
                "create trigger watch after update on watched for each row execute function keep();"
                "insert into parent values(1, 'a.com'); insert into child values(1, 1, 'a.com');"
                "insert into loose values('a.com', 'x'), ('none', 'y');"
                "insert into watched values(1, 'a.com');"
                "alter table parent owner to trellick; alter table child owner to trellick;"
                "alter table loose owner to trellick; alter table watched owner to trellick;"
                "alter table audit owner to trellick;"))
      << pg.lastError();
  const auto env = testsupport::environmentWith({{"PW", pg.password()}});
  const Args at{"--server", pg.serverField(), "--database", pg.database(), "--user",
                pg.user(),  "--password-env", "PW",         "--journal",   journal};
  const Args texts{"--find", "a.com",    "--replace",
                   "b.org",  "--tables", "parent,child,loose,watched"};

  const CliRun preview = testsupport::runCli(Args{"preview", "--json"} + texts + at, {}, env);
  ASSERT_EQ(preview.exitCode, 0) << preview.describe();
  auto previews = byTable(preview, "preview");
  EXPECT_EQ(get(previews["watched"], "has_triggers"), true) << preview.describe();
  EXPECT_EQ(get(previews["parent"], "has_triggers"), false) << preview.describe();
  EXPECT_EQ(get(previews["child"], "has_triggers"), false) << preview.describe();
  EXPECT_EQ(get(previews["loose"], "by_value"), true) << preview.describe();

  const CliRun replaced =
      testsupport::runCli(Args{"replace", "--yes", "--json"} + texts + at, {}, env);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  auto tables = byTable(replaced, "table");
  EXPECT_EQ(get(tables["loose"], "by_value"), true) << replaced.describe();
  EXPECT_EQ(get(tables["parent"], "by_value"), false) << replaced.describe();
  EXPECT_EQ(get(tables["watched"], "has_triggers"), true) << replaced.describe();
  EXPECT_EQ(get(tables["parent"], "has_triggers"), false) << replaced.describe();
  EXPECT_EQ(get(tables["child"], "has_triggers"), false) << replaced.describe();
  EXPECT_EQ(pg.psql("select v from loose order by w"), "b.org\nnone");

  const CliRun undone = testsupport::runCli({"undo", "--yes", "--json", "--journal", journal,
                                             "--user", pg.user(), "--password-env", "PW"},
                                            {}, env);
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  auto undoTables = byTable(undone, "undo");
  EXPECT_EQ(get(undoTables["watched"], "has_triggers"), true) << undone.describe();
  EXPECT_EQ(get(undoTables["loose"], "by_value"), true) << undone.describe();
  EXPECT_EQ(pg.psql("select v from loose order by w"), "a.com\nnone");
  EXPECT_EQ(pg.psql("select what from audit order by what"), "a.com\nb.org");

  // The readable replace tells the keyless table on its line.
  const CliRun text = testsupport::runCli(Args{"replace", "--yes"} + texts + at, {}, env);
  ASSERT_EQ(text.exitCode, 0) << text.describe();
  EXPECT_NE(lineOf(text, "loose").find("(no key: an undo finds its rows by value)"),
            std::string::npos)
      << text.describe();
  EXPECT_NE(lineOf(text, "watched").find("(has triggers: what they did is not undone)"),
            std::string::npos)
      << text.describe();
  EXPECT_EQ(lineOf(text, "parent").find('('), std::string::npos) << text.describe();
}

}  // namespace

namespace {

// A table without a key on a real PostgreSQL server: a row equal to the one
// the run changed, added after it, makes both ambiguous; neither is written
// and the undo exits 1.
TEST(CliUndoPostgreSQL, rowsEqualToAChangedKeylessRowAreToldAmbiguous) {
  testsupport::PgServer pg;
  ASSERT_TRUE(pg.ok()) << pg.errorText();
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string journal = dir.file("journal.db");
  ASSERT_TRUE(
      pg.psqlOk("create table k(a text, b text); alter table k owner to trellick;"
                "insert into k values ('foo', 'same'), ('bar', 'same'), ('foo', 'one');"))
      << pg.lastError();
  const auto env = testsupport::environmentWith({{"PW", pg.password()}});
  const Args login{"--server", pg.serverField(), "--database", pg.database(), "--user",
                   pg.user(),  "--password-env", "PW",         "--journal",   journal};
  const CliRun replaced = testsupport::runCli(
      Args{"replace", "--find", "foo", "--replace", "bar", "--yes", "--tables", "k"} + login, {},
      env);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  ASSERT_TRUE(pg.psqlOk("insert into k values ('bar', 'same');")) << pg.lastError();

  const CliRun undone = testsupport::runCli(Args{"undo", "--yes", "--json"} + login, {}, env);
  EXPECT_EQ(undone.exitCode, 1) << undone.describe();
  EXPECT_NE(undone.out.find("\"ambiguous\":[[\"foo\",\"same\"]]"), std::string::npos) << undone.out;
  EXPECT_NE(undone.out.find("\"restored\":1"), std::string::npos) << undone.out;
  EXPECT_EQ(pg.psql("select a || '|' || b from k order by 1"),
            "bar|same\nbar|same\nbar|same\nfoo|one");
}

}  // namespace

namespace {

// A journal named inside a folder shared by design (as /tmp) leaves the
// folder open to the others who use it; the journal file is still private.
TEST_F(CliUndo, aSharedFolderOfTheJournalIsLeftAsItWas) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  for (const mode_t mode : {mode_t(01777), mode_t(0777)}) {
    const std::string folder = dir.file("shared" + std::to_string(mode));
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
    const CliRun runs = cli({"runs", "--journal", folder + "/journal.db"});
    ASSERT_TRUE(runs.exitCode == 0) << runs.describe();
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    ASSERT_EQ(::stat((folder + "/journal.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

}  // namespace

namespace {

// The bytes of a text at or above 0x80: none where the data is ASCII.
std::string nonAscii(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    if (c >= 0x80) out += static_cast<char>(c);
  return out;
}

// Failures of a table, the server's and Trellick's own, told in English in
// every form the command line has: its lines, its JSON and the statements
// left to run by hand. The data is ASCII: any other byte would be a
// message in another language.
TEST_F(CliUndo, tableFailuresAreToldInEnglish) {
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("shop.db");
  // `loose` takes every name of the rowid: no key names its rows, and its
  // undo goes by whole rows.
  testdb::exec(path,
               "create table refused(id integer primary key, v text check (v not like '%b.org%'));"
               "insert into refused values(1, 'see a.com');"
               "create table loose(rowid text, oid text, _rowid_ text, v text);"
               "insert into loose values('1', '1', '1', 'see a.com'), ('2', '2', '2', 'a.com');");
  const Args texts{"--find", "a.com", "--replace", "b.org", "--yes"};

  // The server refuses the update of one table: its own words, in English.
  const CliRun said = cli(on("replace", path) + texts + Args{"--tables", "refused"});
  EXPECT_EQ(said.exitCode, 1) << said.describe();
  EXPECT_NE(said.out.find("CHECK constraint failed"), std::string::npos) << said.describe();
  EXPECT_EQ(nonAscii(said.out + said.err), "") << said.describe();

  const CliRun replaced = cli(on("replace", path) + texts + Args{"--json"});
  EXPECT_EQ(replaced.exitCode, 1) << replaced.describe();
  bool refusedSeen = false, looseReplaced = false;
  for (const json& line : replaced.lines()) {
    if (get(line, "table") == "loose") looseReplaced = get(line, "status") == "replaced";
    if (get(line, "table") != "refused") continue;
    refusedSeen = true;
    const json& failure = get(line, "failure");
    EXPECT_NE(get(failure, "message").dump().find("CHECK constraint failed"), std::string::npos)
        << line.dump();
    EXPECT_NE(get(failure, "manual").dump().find("CHECK constraint failed"), std::string::npos)
        << line.dump();
  }
  EXPECT_TRUE(refusedSeen && looseReplaced) << replaced.describe();
  EXPECT_EQ(nonAscii(replaced.out + replaced.err), "") << replaced.describe();
  ASSERT_EQ(testdb::query(path, "select v from loose order by v"),
            (Dump{{"b.org"}, {"see b.org"}}));

  // A trigger keeps the rows from being written back: the undo restores
  // none of the rows it counted, and says so in English.
  testdb::exec(path, "create trigger kept before update on loose begin select raise(ignore); end;");
  const CliRun undone = cli(on("undo", path) + Args{"--yes", "--json"});
  EXPECT_EQ(undone.exitCode, 1) << undone.describe();
  bool looseSeen = false;
  for (const json& line : undone.lines())
    if (get(line, "table") == "loose") {
      looseSeen = true;
      EXPECT_NE(get(line, "failure").dump().find("restored 0 records where 1 were expected"),
                std::string::npos)
          << line.dump();
    }
  EXPECT_TRUE(looseSeen) << undone.describe();
  EXPECT_EQ(nonAscii(undone.out + undone.err), "") << undone.describe();
  // Nothing was restored: the run is still there to undo, told in lines.
  const CliRun again = cli(on("undo", path) + Args{"--yes"});
  EXPECT_EQ(again.exitCode, 1) << again.describe();
  EXPECT_NE(again.out.find("failed: HY000 [Trellick]restored 0 records where 1 were expected"),
            std::string::npos)
      << again.describe();
  EXPECT_EQ(nonAscii(again.out + again.err), "") << again.describe();
  EXPECT_EQ(testdb::query(path, "select v from loose order by v"),
            (Dump{{"b.org"}, {"see b.org"}}));
}

}  // namespace

namespace {

// A trigger that gives a row its old value back: the server counts it
// updated, the journal has nothing of it to take back, and the table's
// replace is rolled back, told in English with the statement to run by
// hand.
TEST(CliUndoPostgreSQL, aReplaceTheJournalCannotTakeBackIsToldInEnglish) {
  testsupport::PgServer pg;
  ASSERT_TRUE(pg.ok()) << pg.errorText();
  TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string journal = dir.file("journal.db");
  ASSERT_TRUE(
      pg.psqlOk("create table k(id int primary key, v text); alter table k owner to trellick;"
                "insert into k values (1, 'see a.com'), (2, 'a.com');"
                "create function keep() returns trigger language plpgsql as $$ begin "
                "  if old.id = 2 then new.v := old.v; end if; return new; end $$;"
                "create trigger kept before update on k for each row execute function keep();"))
      << pg.lastError();
  const auto env = testsupport::environmentWith({{"PW", pg.password()}});
  const Args login{"--server", pg.serverField(), "--database", pg.database(), "--user",
                   pg.user(),  "--password-env", "PW",         "--journal",   journal};
  const Args replace{"replace", "--find", "a.com", "--replace", "b.org", "--yes", "--tables", "k"};
  const std::string english =
      "[Trellick]updated 2 records, but the journal holds the old values "
      "of only 1; the table's replace was rolled back";
  const CliRun said = testsupport::runCli(replace + login, {}, env);
  EXPECT_EQ(said.exitCode, 1) << said.describe();
  EXPECT_NE(said.out.find("-- k: HY000 " + english), std::string::npos) << said.describe();
  EXPECT_EQ(nonAscii(said.out + said.err), "") << said.describe();

  const CliRun lines = testsupport::runCli(replace + login + Args{"--json"}, {}, env);
  EXPECT_EQ(lines.exitCode, 1) << lines.describe();
  const std::vector<json> told = lines.lines();
  const json& failure = get(item(told, 0), "failure");
  EXPECT_EQ(get(failure, "message"), "HY000 " + english) << lines.out;
  EXPECT_EQ(get(item(get(failure, "records"), 0), "message"), english) << lines.out;
  EXPECT_NE(get(failure, "manual").dump().find(english), std::string::npos) << lines.out;
  EXPECT_EQ(nonAscii(lines.out + lines.err), "") << lines.describe();
  EXPECT_EQ(pg.psql("select id || '|' || v from k order by id"), "1|see a.com\n2|a.com");
}

}  // namespace
