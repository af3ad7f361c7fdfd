// A replace in batches through the command line, run as a process on a
// SQLite file, the SQL Server stand-in, PostgreSQL and MariaDB: killed at
// random moments between and inside batches, stopped between batches with
// Ctrl-C, its connection lost, resumed into the same run and undone; judged
// by dumps read with each engine's own client and by the journal read with
// SQLite's library. The progress line on a terminal, and as JSON events.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/connection.h"
#include "db/recordset.h"
#include "db/target.h"
#include "db/types.h"
#include "journal/changes.h"
#include "journal/journal.h"
#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "support/sqlite_file.h"
#include "support/terminal.h"

namespace {

using testsupport::Engine;
using testsupport::md5Of;
using testsupport::Rows;
using testsupport::Value;
using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

using testsupport::operator+;

constexpr int kRows = 6000;  // every third row matches: 2,000 rows
constexpr int kMatching = 2000;
constexpr int kBatch = 100;  // 20 batches
const char* const kFind = "a.com";
// Holds the text it replaces: a batch applied twice would show.
const char* const kReplace = "a.com.b'站";

std::string replacedOnce(const std::string& v, const std::string& by = kReplace) {
  return testsupport::replacedEach(v, kFind, by);
}

std::string valueOf(int id) {
  return id % 3 == 0 ? "row " + std::to_string(id) + " at a.com/x" : "row " + std::to_string(id);
}

class Batches : public testsupport::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    ASSERT_TRUE(dir_.valid()) << dir_.error();
    const std::string t = testsupport::clientName(engine(), "t");
    setup("create table " + t + "(id int primary key, v " + testsupport::longText(engine()) +
          ", w " + testsupport::shortText(engine(), 20) + ");");
    std::string sql;
    for (int id = 1; id <= kRows; ++id) {
      sql += (sql.empty() ? "insert into " + t + " values" : std::string(",")) + "(" +
             std::to_string(id) + ", " + testsupport::clientLiteral(engine(), valueOf(id)) +
             ", 'w')";
      if (id % 1000 == 0) {
        setup(sql + ";");
        sql.clear();
      }
    }
  }

  Args connection() {
    Args args = cliConnection();
    args.insert(args.end(), {"--journal", journal()});
    return args;
  }
  std::vector<std::string> environment() { return cliEnvironment(); }
  testsupport::CliRun cli(Args args) {
    const Args c = connection();
    args.insert(args.end(), c.begin(), c.end());
    return testsupport::runCli(args, {}, environment());
  }
  std::unique_ptr<testsupport::CliProcess> start(Args args, int terminal = -1) {
    const Args c = connection();
    args.insert(args.end(), c.begin(), c.end());
    testsupport::ProcessOptions options;
    options.environment = environment();
    return std::make_unique<testsupport::CliProcess>(args, options, terminal);
  }
  Args replaceArgs() {
    return {"replace", "--find", kFind,          "--replace",
            kReplace,  "--yes",  "--batch-rows", std::to_string(kBatch)};
  }

  Rows rows() { return dump(testsupport::clientName(engine(), "t"), {"id", "v", "w"}, "id"); }
  std::string journal() { return dir_.file("journal.db"); }
  // Batches committed so far, read from the journal as the run writes it
  // (0 until it can be read).
  long long batchesJournaled() {
    return testdb::countWhileWritten(
        journal(),
        "select count(*) from tables where batch > 0 and state in ('journaled', 'done')");
  }

  // The table as whole batches left it: the rows changed are the first
  // matching rows in the key's order, each changed once, as many as the
  // journal's committed batches hold, batch by batch. Returns them.
  long long checkWholeBatches(const Rows& original, bool settled = false) {
    const std::string by = replacement_;
    const Rows now = rows();
    EXPECT_EQ(now.size(), original.size());
    long long changed = 0;
    bool past = false;  // a matching row left unchanged was seen
    for (size_t k = 0; k < now.size() && k < original.size(); ++k) {
      const std::string before = original[k][1].value_or("");
      const std::string after = now[k][1].value_or("");
      if (before == after) {
        past = past || before.find(kFind) != std::string::npos;
        continue;
      }
      EXPECT_FALSE(past) << "row " << *now[k][0] << " changed past an unchanged one";
      EXPECT_EQ(after, replacedOnce(before, by)) << "row " << *now[k][0];
      ++changed;
    }
    // Each batch done in the journal is in the table; a kill between a
    // batch's sealed journal and its commit (or its done mark) leaves at
    // most one batch "journaled", committed or not.
    const auto done = testdb::query(journal(),
                                    "select coalesce(sum(rows), 0), count(*) from tables where "
                                    "batch > 0 and state = 'done'");
    const auto open = testdb::query(journal(),
                                    "select coalesce(sum(rows), 0), count(*) from tables where "
                                    "batch > 0 and state = 'journaled'");
    const long long doneRows = std::stoll(done[0][0]), doneBatches = std::stoll(done[0][1]);
    const long long openRows = std::stoll(open[0][0]), openBatches = std::stoll(open[0][1]);
    EXPECT_LE(openBatches, settled ? 0 : 1);
    EXPECT_TRUE(changed == doneRows || changed == doneRows + openRows)
        << changed << " rows changed, " << doneRows << " done in the journal, " << openRows
        << " sealed";
    const long long batches = doneBatches + (changed == doneRows ? 0 : openBatches);
    EXPECT_EQ(changed, std::min<long long>(batches * kBatch, kMatching));
    // One run, whatever was resumed.
    EXPECT_EQ(testdb::query(journal(), "select count(*) from runs")[0][0], "1");
    return changed;
  }

  // Killed at random moments, resumed until done, then undone.
  void killResumeUndo(const Args& replace);
  std::string replacement_ = kReplace;  // what the run replaces by

  testsupport::TempDir dir_;
};

// Killed at random moments, inside a batch and between batches, then resumed
// (and killed again) until done: only whole batches are ever in the table,
// each in the journal; the resumed run ends with every matching row replaced
// once, and one undo gives back the table byte for byte.
TEST_P(Batches, killedAtRandomMomentsResumedAndUndone) { killResumeUndo(replaceArgs()); }

// The same through the row rewriter (several pairs): a commit with its
// journal every batch of rows written.
// A last batch begun after the last row is sealed without rows. Cut short
// before its done mark, a resume's settling marks it done: it wrote
// nothing, and nothing of the run is left sealed but unsettled.
TEST_P(Batches, aLastBatchSealedWithoutRowsIsSettledDone) {
  namespace journal = trellick::journal;
  const Rows original = rows();
  journal::Journal store(this->journal());
  const long long run = store.beginRun({});
  const long long table = store.beginTable(run, {"t"}, {{"id", trellick::db::adInteger, 0}}, false,
                                           {{"v", trellick::db::adLongVarWChar, 0}});
  store.setBatch(table, 1, std::nullopt);
  store.seal(table);
  journal::settleCutShort(conn(), store, *store.run(run));
  const auto settled = store.run(run);
  ASSERT_TRUE(settled);
  ASSERT_EQ(settled->tables.size(), 1u);
  EXPECT_EQ(settled->tables[0].state, journal::TableState::Done);
  EXPECT_EQ(rows(), original);
}

TEST_P(Batches, rewriterKilledResumedAndUndone) {
  killResumeUndo({"replace", "--find", kFind, "--replace", replacement_, "--find", "zzz",
                  "--replace", "y", "--yes", "--batch-rows", std::to_string(kBatch)});
}

void Batches::killResumeUndo(const Args& replace) {
  const Rows original = rows();
  const std::string before = md5Of(original);
  std::mt19937 random(std::random_device{}());
  int midway = 0;
  bool complete = false;
  for (int round = 0; round < 6 && !complete; ++round) {
    const long long had = batchesJournaled();
    auto p = start(round == 0 ? replace : Args{"replace", "--resume", "--yes"});
    ASSERT_TRUE(p->started());
    // A few batches more, then a moment that falls anywhere in the next.
    const long long wanted = had + 1 + static_cast<long long>(random() % 3);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (batchesJournaled() < wanted && p->running() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 25));
    p->signal(SIGKILL);
    ASSERT_TRUE(p->waitFor(20000));
    complete = p->exitedNormally();
    if (complete) {
      ASSERT_EQ(p->exitCode(), 0) << p->err() << p->out();
    }
    const long long changed = checkWholeBatches(original);
    if (HasFailure()) return;
    midway += changed > 0 && changed < kMatching;
  }
  ASSERT_GT(midway, 0);
  if (!complete) {
    const auto done = cli({"replace", "--resume", "--yes"});
    ASSERT_EQ(done.exitCode, 0) << done.describe();
  }
  ASSERT_EQ(checkWholeBatches(original, true), kMatching);
  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  ASSERT_EQ(md5Of(rows()), before);
}

// Ctrl-C between batches: the table is told partly replaced with the exact
// count of rows its committed batches changed; a resume finishes the run.
TEST_P(Batches, stoppedBetweenBatchesToldPartlyReplacedWithItsCount) {
  const Rows original = rows();
  auto p = start(replaceArgs() + Args{"--json"});
  ASSERT_TRUE(p->started());
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (batchesJournaled() < 2 && p->running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(p->signal(SIGINT));
  ASSERT_TRUE(p->waitFor(30000));
  ASSERT_TRUE(p->exitedNormally());
  ASSERT_EQ(p->exitCode(), 1) << p->err();
  const long long changed = checkWholeBatches(original);
  ASSERT_GT(changed, 0);
  ASSERT_LT(changed, kMatching);
  nlohmann::json table, summary;
  std::istringstream out(p->out());
  for (std::string line; std::getline(out, line);) {
    const auto o = nlohmann::json::parse(line, nullptr, false);
    if (o.is_object() && o.value("type", "") == "table") table = o;
    if (o.is_object() && o.value("type", "") == "summary") summary = o;
  }
  ASSERT_EQ(table.value("status", ""), "partly_replaced") << p->out();
  ASSERT_EQ(table.value("records", -1LL), changed);
  ASSERT_EQ(summary.value("partly_replaced", -1), 1);
  ASSERT_TRUE(summary.value("stopped", false));
  ASSERT_NE(p->err().find("partly replaced: " + std::to_string(changed) + " records in " +
                          std::to_string(changed / kBatch) + " batches"),
            std::string::npos)
      << p->err();

  const auto done = cli({"replace", "--resume", "--yes", "--json"});
  ASSERT_EQ(done.exitCode, 0) << done.describe();
  ASSERT_EQ(checkWholeBatches(original, true), kMatching);
  // One run of one table, however many batches.
  const auto runs = testsupport::runCli({"runs", "--journal", journal()});
  ASSERT_NE(runs.out.find(": 1 table, 2000 rows"), std::string::npos) << runs.describe();
  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  ASSERT_EQ(rows(), original);
}

// The connection lost in the middle of a batch: that batch is rolled back
// by the server, the table told partly replaced with the count of the
// batches before it, and a resume finishes the run.
using BatchesLost = Batches;
TEST_P(BatchesLost, aConnectionLostMidBatchLeavesWholeBatchesAndResumes) {
  const Rows original = rows();
  // A row of the tenth batch held by another session: the run cannot end
  // before its connection is taken, however fast its batches go.
  trellick::db::Connection locker;
  locker.Open(trellick::db::makeTarget(fields(), trellick::db::installedDrivers(), 10));
  locker.BeginTrans();
  locker.Execute("select id from t where id = " + std::to_string(10 * kBatch * 3) + " for update")
      ->Close();
  auto p = start(replaceArgs() + Args{"--json"});
  ASSERT_TRUE(p->started());
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (batchesJournaled() < 3 && p->running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(p->running()) << p->err();
  // Every other session on the database is ended by the server, the
  // locker's with the run's.
  setup(
      "select pg_terminate_backend(pid) from pg_stat_activity where datname = "
      "current_database() and pid <> pg_backend_pid();");
  ASSERT_TRUE(p->waitFor(30000));
  ASSERT_EQ(p->exitCode(), 1) << p->err();
  const long long changed = checkWholeBatches(original);
  ASSERT_GT(changed, 0);
  ASSERT_LT(changed, kMatching);
  nlohmann::json table;
  std::istringstream out(p->out());
  for (std::string line; std::getline(out, line);) {
    const auto o = nlohmann::json::parse(line, nullptr, false);
    if (o.is_object() && o.value("type", "") == "table") table = o;
  }
  ASSERT_EQ(table.value("status", ""), "partly_replaced") << p->out();
  ASSERT_EQ(table.value("records", -1LL), changed);

  const auto done = cli({"replace", "--resume", "--yes"});
  ASSERT_EQ(done.exitCode, 0) << done.describe();
  ASSERT_EQ(checkWholeBatches(original, true), kMatching);
  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  ASSERT_EQ(rows(), original);
}

INSTANTIATE_TEST_SUITE_P(Servers, BatchesLost, testing::Values(Engine::PostgreSQL),
                         testsupport::EngineParamName());

INSTANTIATE_TEST_SUITE_P(Engines, Batches,
                         testing::Values(Engine::SQLite, Engine::PostgreSQL, Engine::MariaDB,
                                         Engine::SqlServer),
                         testsupport::EngineParamName());

}  // namespace

namespace {

using testsupport::Terminal;

class BatchProgress : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.valid()) << dir.error();
    testdb::exec(path,
                 "create table big(id integer primary key, v text);"
                 "insert into big with recursive n(i) as (select 1 union all select i + 1 from n "
                 "where i < 30000) select i, case when i % 3 = 0 then 'at a.com ' || i else 'x' "
                 "end from n;");
  }
  Args replace() {
    return {"replace",      "--server",  "sqlite", "--database", path,        "--find",
            kFind,          "--replace", "b.org",  "--yes",      "--journal", dir.file("j.db"),
            "--batch-rows", "500"};
  }
  testsupport::TempDir dir;
  const std::string path = dir.file("big.db");
};

// On a terminal the progress line counts the rows of the one table as its
// batches commit, with the time left.
TEST_F(BatchProgress, theLineAdvancesInsideOneTable) {
  Terminal terminal;
  ASSERT_TRUE(terminal.ok());
  testsupport::CliProcess p(replace(), {}, terminal.slave());
  ASSERT_TRUE(p.started());
  const std::string shown = terminal.readWhile([&] { return p.running(); });
  ASSERT_TRUE(p.waitFor(10000));
  ASSERT_EQ(p.exitCode(), 0) << shown;
  std::vector<long long> seen;
  const std::regex rows("rows ([0-9]+)/10000");
  for (auto it = std::sregex_iterator(shown.begin(), shown.end(), rows);
       it != std::sregex_iterator(); ++it)
    seen.push_back(std::stoll((*it)[1]));
  ASSERT_GE(seen.size(), 3u) << shown;
  std::set<long long> inside;
  for (size_t k = 0; k < seen.size(); ++k) {
    if (k > 0) {
      EXPECT_GE(seen[k], seen[k - 1]);
    }
    if (seen[k] > 0 && seen[k] < 10000) inside.insert(seen[k]);
  }
  ASSERT_GE(inside.size(), 3u) << shown;
  ASSERT_NE(shown.find("left"), std::string::npos);
}

// Progress events go to standard error as JSON lines when asked for, and
// never otherwise.
TEST_F(BatchProgress, jsonProgressEventsOnlyWhenAsked) {
  const auto quiet = testsupport::runCli(replace() + Args{"--json"});
  ASSERT_EQ(quiet.exitCode, 0) << quiet.describe();
  ASSERT_EQ(quiet.err.find("progress"), std::string::npos) << quiet.err;
  testdb::exec(path, "update big set v = 'at a.com again' where id % 3 = 0;");
  const auto told = testsupport::runCli(replace() + Args{"--json", "--progress-json"});
  ASSERT_EQ(told.exitCode, 0) << told.describe();
  std::vector<long long> done;
  std::istringstream err(told.err);
  for (std::string line; std::getline(err, line);) {
    const auto o = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(o.is_object()) << line;
    ASSERT_EQ(o.value("type", ""), "progress");
    ASSERT_EQ(o.value("table", ""), "big");
    ASSERT_EQ(o.value("rows_total", -1LL), 10000);
    done.push_back(o.value("rows_done", -1LL));
  }
  ASSERT_EQ(done.size(), 20u) << told.err;
  for (size_t k = 0; k < done.size(); ++k) ASSERT_EQ(done[k], 500LL * (long long)(k + 1));
  // Standard output stays the table lines and the summary.
  for (const auto& line : told.lines())
    ASSERT_FALSE(line.is_object() && line.value("type", "") == "progress");
}

}  // namespace
