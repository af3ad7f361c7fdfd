// The journal's read of a table without a key on MariaDB, whose driver
// reads a whole result before the first row: in pages, memory flat, every
// row journaled once though many rows are alike; judged by the server's
// dump through its own client and the journal read with SQLite's library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::Engine;
using testsupport::Rows;
using Args = std::vector<std::string>;

using testsupport::operator+;

constexpr int kRows = 25000;  // every row matches
constexpr int kKinds = 7;     // rows alike: pages end among them
constexpr int kWidth = 1000;  // bytes of each value

// Peak resident memory of a running process, in KiB (0 once it is gone).
long long peakKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  return 0;
}

class KeylessRead : public testsupport::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    ASSERT_TRUE(dir_.valid()) << dir_.error();
    setup("create table t (v longtext, w int);");
    setup("insert into t select concat(repeat('x', " + std::to_string(kWidth) +
          "), ' a.com ', seq % " + std::to_string(kKinds) + "), seq % " + std::to_string(kKinds) +
          " from seq_1_to_" + std::to_string(kRows) + ";");
  }
  Args connection() {
    const auto& f = fields();
    return {"--server", f.server, "--database", f.database,       "--journal",
            journal(),  "--user", f.user,       "--password-env", "TRELLICK_TEST_PW"};
  }
  std::vector<std::string> environment() {
    return testsupport::environmentWith({{"TRELLICK_TEST_PW", fields().password}});
  }
  std::string journal() { return dir_.file("journal.db"); }
  Rows rows() { return dump("t", {"v", "w"}, "w, v"); }
  testsupport::TempDir dir_;
};

// Every row journaled once, rows alike as many times as the table holds
// them, and the whole table replaced, with the command line's memory well
// under the size of the rows read.
TEST_P(KeylessRead, readsInPagesWithFlatMemoryAndJournalsEveryRowOnce) {
  Args args{"replace", "--find", "a.com", "--replace", "b.org", "--yes"};
  testsupport::ProcessOptions options;
  options.environment = environment();
  testsupport::CliProcess p(args + connection(), options);
  ASSERT_TRUE(p.started());
  long long peak = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (p.running() && std::chrono::steady_clock::now() < deadline) {
    peak = std::max(peak, peakKiB(p.pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(p.waitFor(20000));
  ASSERT_EQ(p.exitCode(), 0) << p.err() << p.out();
  // Each row read holds its value three times (the row, the value before
  // and after): read whole, the program held more than all of them.
  const long long readKiB = 3LL * kRows * kWidth / 1024;
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, readKiB * 3 / 4) << "peak " << peak << " KiB for " << readKiB << " KiB read";

  const Rows now = rows();
  ASSERT_EQ(now.size(), static_cast<size_t>(kRows));
  for (const auto& row : now) ASSERT_EQ(*row[0], std::string(kWidth, 'x') + " b.org " + *row[1]);
  // The journal holds each kind of row as often as the table did.
  std::vector<std::string> expected;
  for (int kind = 0; kind < kKinds; ++kind)
    expected.push_back(std::to_string(kRows / kKinds + (kind >= 1 && kind <= kRows % kKinds)));
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> journaled;
  for (const auto& r : testdb::query(journal(), "select count(*) from rows group by identity"))
    journaled.push_back(r[0]);
  std::sort(journaled.begin(), journaled.end());
  EXPECT_EQ(journaled, expected);
  EXPECT_EQ(testdb::query(journal(), "select state, rows from tables"),
            (std::vector<std::vector<std::string>>{{"done", std::to_string(kRows)}}));
}

INSTANTIATE_TEST_SUITE_P(Servers, KeylessRead, testing::Values(Engine::MariaDB),
                         testsupport::EngineParamName());

// A table with a key on MariaDB: each page of rows is held until its
// update has run and journaled once, whole, as the update left the rows,
// with the command line's memory well under the size of the rows read. A
// row a trigger of the table keeps as it was is no row of the run, and the
// undo gives the table back as it was.
class KeyedRead : public KeylessRead {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    ASSERT_TRUE(dir_.valid()) << dir_.error();
    setup("create table k (id int primary key, v longtext, w int);");
    setup("insert into k select seq, concat(repeat('x', " + std::to_string(kWidth) +
          "), ' a.com ', seq), seq from seq_1_to_" + std::to_string(kRows) + ";");
    setup(
        "create trigger k_keeps before update on k for each row "
        "set new.v = if(old.id = 4321, old.v, new.v);");
  }
  Rows keyed() { return dump("k", {"id", "v", "w"}, "id"); }
};

TEST_P(KeyedRead, journalsEachRowOnceAsTheUpdateLeftIt) {
  const Rows before = keyed();
  Args args{"replace", "--find", "a.com", "--replace", "b.org", "--yes"};
  testsupport::ProcessOptions options;
  options.environment = environment();
  testsupport::CliProcess p(args + connection(), options);
  ASSERT_TRUE(p.started());
  long long peak = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (p.running() && std::chrono::steady_clock::now() < deadline) {
    peak = std::max(peak, peakKiB(p.pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(p.waitFor(20000));
  ASSERT_EQ(p.exitCode(), 0) << p.err() << p.out();
  const long long readKiB = 3LL * kRows * kWidth / 1024;
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, readKiB * 3 / 4) << "peak " << peak << " KiB for " << readKiB << " KiB read";

  const Rows now = keyed();
  ASSERT_EQ(now.size(), static_cast<size_t>(kRows));
  for (const auto& row : now) {
    const std::string mark = *row[0] == "4321" ? " a.com " : " b.org ";
    ASSERT_EQ(*row[1], std::string(kWidth, 'x') + mark + *row[0]);
  }
  // Every changed row once, numbered without a gap, each with its image;
  // the row the trigger kept not at all.
  const auto counted =
      testdb::query(journal(),
                    "select count(*), min(seq), max(seq), sum(length(image) > 0), "
                    "sum(instr(after, 'b.org') > 0), sum(instr(before, 'a.com') > 0) from rows");
  const std::string changed = std::to_string(kRows - 1);
  EXPECT_EQ(
      counted,
      (std::vector<std::vector<std::string>>{{changed, "1", changed, changed, changed, changed}}));
  EXPECT_EQ(testdb::query(journal(), "select state, rows from tables"),
            (std::vector<std::vector<std::string>>{{"done", changed}}));

  const auto undone = testsupport::runCli(Args{"undo", "--yes"} + connection(), {}, environment());
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(keyed(), before);
}

INSTANTIATE_TEST_SUITE_P(Servers, KeyedRead, testing::Values(Engine::MariaDB),
                         testsupport::EngineParamName());

// Ctrl-C twice while the journal reads a large table: the statement under
// way is cancelled and the program ends within about a second, the table
// untouched and nothing of it sealed in the journal.
class StoppedRead : public testsupport::EngineFixture {
 protected:
  static constexpr int kLarge = 60000;

  void SetUp() override {
    EngineFixture::SetUp();
    ASSERT_TRUE(dir_.valid()) << dir_.error();
  }
  // `keyed`: with a primary key; otherwise a table without one.
  void makeTable(bool keyed) {
    const std::string n = std::to_string(kLarge);
    const std::string pad = std::string(600, 'p');
    setup("create table t (id int" + std::string(keyed ? " primary key" : "") + ", v " +
          testsupport::longText(engine()) + ");");
    switch (engine()) {
      case Engine::PostgreSQL:
        setup("insert into t select g, 'row ' || g || ' at a.com " + pad +
              "' from generate_series(1, " + n + ") g;");
        break;
      case Engine::MariaDB:
        setup("insert into t select seq, concat('row ', seq, ' at a.com " + pad +
              "') from seq_1_to_" + n + ";");
        break;
      default:  // SQLite, and the stand-in's SQLite file
        setup(
            "insert into t with recursive s(g) as (select 1 union all select g + 1 from s "
            "where g < " +
            n + ") select g, 'row ' || g || ' at a.com " + pad + "' from s;");
    }
  }
  Args connection() { return cliConnection() + Args{"--journal", journal()}; }
  std::string journal() { return dir_.file("journal.db"); }
  // Whether a run is well into journaling a table: its rows have spilled
  // into the journal's write-ahead log, read without taking a lock.
  bool journaling() {
    struct stat st {};
    return ::stat((journal() + "-wal").c_str(), &st) == 0 && st.st_size > (4 << 20);
  }
  void stopWhileReading(bool keyed) {
    makeTable(keyed);
    if (HasFailure()) return;
    const Rows original = dump("t", {"id", "v"}, "id, v");
    ASSERT_EQ(original.size(), static_cast<size_t>(kLarge));
    Args args{"replace", "--find", "a.com", "--replace", "b.org", "--yes"};
    args = args + connection();
    testsupport::ProcessOptions options;
    options.environment = cliEnvironment();
    testsupport::CliProcess p(args, options);
    ASSERT_TRUE(p.started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!journaling() && p.running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(p.running()) << "ended before its read: " << p.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(p.signal(SIGINT));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto cancelled = std::chrono::steady_clock::now();
    ASSERT_TRUE(p.signal(SIGINT));
    ASSERT_TRUE(p.waitFor(20000));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - cancelled)
                          .count();
    EXPECT_LT(took, 1500) << p.err();
    ASSERT_TRUE(p.exitedNormally()) << p.err();
    EXPECT_NE(p.exitCode(), 0) << p.err() << p.out();
    EXPECT_TRUE(dump("t", {"id", "v"}, "id, v") == original) << "the table was changed";
    EXPECT_EQ(
        testdb::query(journal(),
                      "select count(*) from tables where state in ('journaled', 'done')")[0][0],
        "0");
  }
  testsupport::TempDir dir_;
};

TEST_P(StoppedRead, keyedTableCancelledAtOnceAndUntouched) { stopWhileReading(true); }
TEST_P(StoppedRead, keylessTableCancelledAtOnceAndUntouched) { stopWhileReading(false); }

INSTANTIATE_TEST_SUITE_P(Engines, StoppedRead,
                         testing::Values(Engine::SQLite, Engine::PostgreSQL, Engine::MariaDB,
                                         Engine::SqlServer),
                         testsupport::EngineParamName());

}  // namespace
