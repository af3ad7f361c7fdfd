// Measures the find and the replace against what the database itself
// needs for the same statements, and against the usual hand-written
// alternative; the find also through the engine alone, without a window,
// and on two connections at once. Prints a table of medians and ratios.
//
//   trellick-bench [--quick] [--reps N] [--dir DIR] [--sizes TABLES ROWS BIGROWS]
//   trellick-bench --peak DB   (internal: one find over DB, prints memory)
//   trellick-bench --journal-peak DB JOURNAL
//                              (internal: one journaled replace over DB, prints memory)
//   trellick-bench --rewriter-peak DB JOURNAL
//                              (internal: one journaled replace by the row
//                              rewriter over DB, prints memory)
//   trellick-bench --window [--reps N] [--dir DIR] [--sizes TABLES ROWS BIGROWS]
//                              (only the window's find and batch replace
//                              against their floors)
//   trellick-bench --servers [--quick] [--reps N] [--sizes TABLES ROWS BIGROWS]
//                              (the same on PostgreSQL and MariaDB: bench/servers.cpp)
//   trellick-bench --batches [ROWS] [--reps N] [--dir DIR]
//                              (a journaled replace of one SQLite table of ROWS
//                              rows, 5% matching, in batches of 1,000, 10,000
//                              and 100,000 rows and in one statement)
//   trellick-bench --rewriter-only [--reps N] [--sizes TABLES ROWS BIGROWS]
//                             (PostgreSQL's row rewriter measures of --servers alone)
//   trellick-bench --cli-table [--cli PATH] [--engines sqlite,postgresql,mariadb]
//                  [--sizes TABLES ROWS SMALLTABLES] [--reps N] [--dir DIR] [--quick]
//                  [--window-bench PATH | --no-window]
//                             (trellick-cli as a process against each engine's own
//                             client: bench/cli_table.cpp)
#include <sqlite3.h>
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "bench/bench_ui.h"
#include "bench/cli_table.h"
#include "bench/data.h"
#include "bench/servers.h"
#include "bench/timing.h"
#include "bench/window_share.h"
#include "db/connection.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "transform/make_rewriter.h"

namespace {

const std::string kFind = "old.example.com";
const std::string kReplace = "new.example.org";

struct Sizes {
  int tablesA = 200;
  int rowsA = 5000;
  int rowsB = 1000000;
  int reps = 5;
  int rowsJ = 1000000;  // every one holding the search text
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "trellick-bench: %s\n", what.c_str());
  std::exit(1);
}

// ---- deterministic data ----

using trellick::bench::BenchUi;
using trellick::bench::Clock;
using trellick::bench::Lcg;
using trellick::bench::machineDescription;
using trellick::bench::median;
using trellick::bench::msSince;
using trellick::bench::words;

// About 1% of the values hold the search text.
std::string value(Lcg& r, size_t length) {
  std::string v = words(r, length);
  if (r.next() % 100 == 0) v.insert(v.size() / 2, " http://" + kFind + "/p ");
  return v;
}

void sqliteExec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK)
    die("sqlite: " + std::string(err ? err : "?") + " in " + sql.substr(0, 80));
}

void fillTable(sqlite3* db, const std::string& name, int rows, Lcg& r) {
  sqliteExec(db, "create table " + name +
                     "(id integer primary key, v varchar(200), nv nvarchar(100), t text, "
                     "c char(20))");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, ("insert into " + name + " values(?,?,?,?,?)").c_str(), -1, &st, nullptr);
  for (int i = 1; i <= rows; ++i) {
    const std::string v = value(r, 60), nv = value(r, 30), t = value(r, 120), c = value(r, 12);
    sqlite3_bind_int(st, 1, i);
    sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, nv.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 4, t.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 5, c.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) != SQLITE_DONE) die("insert failed");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
}

void generate(const std::string& path, const std::function<void(sqlite3*, Lcg&)>& fill) {
  if (std::filesystem::exists(path)) return;
  const std::string partial = path + ".partial";
  std::filesystem::remove(partial);
  sqlite3* db = nullptr;
  if (sqlite3_open(partial.c_str(), &db) != SQLITE_OK) die("cannot create " + partial);
  sqliteExec(db, "pragma journal_mode=off; pragma synchronous=off; begin");
  Lcg r{20261207};
  fill(db, r);
  sqliteExec(db, "commit");
  sqlite3_close(db);
  std::filesystem::rename(partial, path);
}

// ---- the window, scripted ----

struct Window {
  BenchUi ui;
  trellick::app::SettingsStore settings;
  trellick::app::Form1 form{ui, settings};
  explicit Window(const std::string& db) {
    form.show();
    form.txtServerName->setText("sqlite");
    form.txtUsername->setText("bench");
    form.txtDatabaseName->setText(QString::fromStdString(db));
    form.txt1->setText(QString::fromStdString(kFind));
    form.txt2->setText(QString::fromStdString(kReplace));
    QCoreApplication::processEvents();
  }
};

// Runs f while recording the statements the layer sends.
std::vector<std::string> recording(const std::function<void()>& f) {
  std::vector<std::string> sent;
  trellick::db::setStatementObserver([&](const std::string& s) { sent.push_back(s); });
  f();
  trellick::db::setStatementObserver(nullptr);
  return sent;
}

// The same, with the moment each was sent.
trellick::bench::Sent recordingTimed(const std::function<void()>& f) {
  trellick::bench::Sent sent;
  trellick::db::setStatementObserver([&](const std::string& s) {
    sent.at.push_back(Clock::now());
    sent.text.push_back(s);
  });
  f();
  trellick::db::setStatementObserver(nullptr);
  return sent;
}

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// Executes statements through the SQLite library; returns the sum of the
// first column of the count statements. Each statement's time goes to
// `shares` when given.
long long runDirect(const std::string& path, const std::vector<std::string>& statements,
                    trellick::bench::Shares* shares = nullptr) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("cannot open " + path);
  // The same settings as the driver's connection: LIKE as the find uses it,
  // and the driver's default synchronous mode.
  sqliteExec(db, "pragma case_sensitive_like = on; pragma synchronous = normal");
  long long total = 0;
  for (const auto& sql : statements) {
    const auto start = Clock::now();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      die(std::string("floor statement failed: ") + sqlite3_errmsg(db));
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW && startsWith(sql, "select count(*)"))
      total += sqlite3_column_int64(st, 0);
    while (rc == SQLITE_ROW) rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (shares) shares->add(trellick::bench::statementKind(sql), msSince(start));
  }
  sqlite3_close(db);
  return total;
}

std::vector<std::string> databaseWork(const std::vector<std::string>& sent) {
  // The column queries read at most one row; what costs is the rest.
  std::vector<std::string> out;
  for (const auto& s : sent)
    if (!startsWith(s, "select * from ") && !startsWith(s, "pragma case_sensitive_like"))
      out.push_back(s);
  return out;
}

// The engine's find over a file without a window: one connection, or
// `jobs` at once. Returns the records counted.
std::unique_ptr<trellick::db::Connection> openSqlite(const std::string& db) {
  auto c = std::make_unique<trellick::db::Connection>();
  c->SetCommandTimeout(10);
  c->Open(trellick::db::makeTarget({"sqlite", "", "", db}, trellick::db::installedDrivers(), 10));
  return c;
}

// The engine's walk over one connection that is never replaced.
struct OneConnection : trellick::engine::ConnectionSource {
  trellick::db::Connection& conn;
  explicit OneConnection(trellick::db::Connection& c) : conn(c) {}
  trellick::db::Connection& current() override { return conn; }
  void reconnect() override { die("the engine lost its connection"); }
};

long long engineFind(const std::string& db, int jobs) {
  namespace engine = trellick::engine;
  auto first = openSqlite(db);
  const auto tables = engine::userTables(*first);
  const engine::Options options{engine::Mode::Count, {kFind, kReplace}};
  engine::Observer quiet;
  engine::WalkResult walk;
  if (jobs > 1) {
    walk = engine::countConcurrently(
        [&]() -> std::unique_ptr<trellick::db::Connection> {
          // Asked from the workers' threads; only the first takes `first`.
          static std::mutex handOver;
          {
            std::lock_guard lock(handOver);
            if (first) return std::move(first);
          }
          return openSqlite(db);
        },
        tables, options, quiet, jobs);
  } else {
    OneConnection source(*first);
    walk = engine::runTables(source, tables, options, quiet);
  }
  long long records = 0;
  for (const auto& r : walk.results) {
    if (r.failure) die("the engine failed on " + r.table.name + ": " + r.failure->description);
    records += r.records;
  }
  return records;
}

// The engine's replace over a file, with a journal when one is given.
// Returns the records replaced.
struct Replaced {
  long long records = 0;
  long long journaled = 0;  // rows the journal holds for the run
};

// The engine's replace of the tables on one connection, journaled when a
// journal is given.
// The row rewriter for the same literal pair the plain update replaces.
std::shared_ptr<const trellick::transform::Rewriter> literalRewriter() {
  trellick::transform::Options options;
  options.pairs.push_back({kFind, kReplace});
  return trellick::transform::makeRewriter(options);
}

Replaced engineReplace(trellick::db::Connection& conn,
                       const std::vector<trellick::engine::Table>& tables,
                       trellick::journal::Journal* journal,
                       std::shared_ptr<const trellick::transform::Rewriter> rewriter = nullptr,
                       long long batchRows = 0) {
  namespace engine = trellick::engine;
  engine::Options options{engine::Mode::Replace, {kFind, kReplace}};
  options.rewriter = std::move(rewriter);
  options.batchRows = batchRows;
  if (journal) {
    options.journal = journal;
    options.journalRun = journal->beginRun({});
  }
  // As the command line and the window walk: every table's columns from the
  // catalog.
  options.catalog = engine::readCatalog(conn, tables);
  OneConnection source(conn);
  engine::Observer quiet;
  const auto walk = engine::runTables(source, tables, options, quiet);
  Replaced out;
  for (const auto& r : walk.results) {
    if (r.failure) die("the replace failed on " + r.table.name + ": " + r.failure->description);
    if (r.status == engine::Status::Replaced) out.records += r.records;
  }
  if (journal) {
    journal->finishRun(options.journalRun);
    const auto run = journal->run(options.journalRun);
    if (!run) die("the journal lost its run");
    for (const auto& t : run->tables) out.journaled += t.rows;
  }
  return out;
}

Replaced engineReplace(const std::string& db, const std::string& journalPath,
                       std::shared_ptr<const trellick::transform::Rewriter> rewriter = nullptr) {
  auto conn = openSqlite(db);
  const auto tables = trellick::engine::userTables(*conn);
  std::unique_ptr<trellick::journal::Journal> journal;
  if (!journalPath.empty()) journal = std::make_unique<trellick::journal::Journal>(journalPath);
  return engineReplace(*conn, tables, journal.get(), std::move(rewriter));
}

void removeSqlite(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"})
    std::filesystem::remove(path + suffix);
}

long kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (startsWith(line, field)) return std::stol(line.substr(std::string(field).size()));
  return -1;
}

int peakMode(const std::string& db) {
  Window w(db);
  QCoreApplication::processEvents();
  // Forget the peak so far: what counts is the find's.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long idle = kib("VmRSS:");
  w.form.cmdFind_Click();
  const long peak = kib("VmHWM:");
  std::printf("PEAK %ld %ld %lld\n", idle, peak, static_cast<long long>(w.form.FindRsCount));
  return 0;
}

// One journaled replace through the engine over a table where every row
// holds the search text: what the journal holds in memory while it streams.
// With `rewriter`, the row rewriter's replace instead of the one update.
int journalPeakMode(const std::string& db, const std::string& journalPath, bool rewriter) {
  auto conn = openSqlite(db);
  // Made before the idle mark: its compiled texts are not the replace's.
  const auto rewriting = rewriter ? literalRewriter() : nullptr;
  const auto tables = trellick::engine::userTables(*conn);
  // Forget the peak so far: what counts is the replace's.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long idle = kib("VmRSS:");
  trellick::journal::Journal journal(journalPath);
  const Replaced done = engineReplace(*conn, tables, &journal, rewriting);
  const long peak = kib("VmHWM:");
  std::printf("JPEAK %ld %ld %lld %lld\n", idle, peak, done.records, done.journaled);
  return 0;
}

std::string machine() { return machineDescription() + ", SQLite " + sqlite3_libversion(); }

// The processor time of the process so far, user and system: on a loaded
// machine it varies far less than the time on the clock.
double cpuMs() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(use.ru_utime) + ms(use.ru_stime);
}

// The window's find over db, each rep followed by its count statements
// straight into SQLite.
struct WindowFind {
  std::vector<double> ms, floorMs, cpuMs, floorCpuMs;
  long long records = 0, floorRecords = 0;
  trellick::bench::Shares shares, floorShares;  // where the time went
};

WindowFind windowFind(const std::string& db, int reps) {
  WindowFind out;
  for (int rep = 0; rep < reps; ++rep) {
    Window w(db);
    w.ui.yields.clear();
    auto start = Clock::now();
    double cpu = cpuMs();
    const auto timed = recordingTimed([&] { w.form.cmdFind_Click(); });
    out.ms.push_back(msSince(start));
    out.cpuMs.push_back(cpuMs() - cpu);
    trellick::bench::windowShares(out.shares, timed, w.ui, start, Clock::now());
    out.records = w.form.FindRsCount;
    const auto counts = databaseWork(timed.text);
    start = Clock::now();
    cpu = cpuMs();
    out.floorRecords = runDirect(db, counts, &out.floorShares);
    out.floorMs.push_back(msSince(start));
    out.floorCpuMs.push_back(cpuMs() - cpu);
  }
  return out;
}

// The window's batch replace over a fresh copy of db, each rep followed by
// its statements, and its update statements alone, on fresh copies again.
struct WindowReplace {
  std::vector<double> ms, floorMs, updatesMs, cpuMs, floorCpuMs;
  trellick::bench::Shares shares, floorShares;
};

WindowReplace windowReplace(const std::string& dir, const std::string& db, int reps) {
  WindowReplace out;
  for (int rep = 0; rep < reps; ++rep) {
    const std::string copy = dir + "/A-replace.db", floorCopy = dir + "/A-floor.db";
    std::filesystem::copy_file(db, copy, std::filesystem::copy_options::overwrite_existing);
    trellick::bench::Sent timed;
    {
      Window w(copy);
      w.ui.yields.clear();
      const auto start = Clock::now();
      const double cpu = cpuMs();
      timed = recordingTimed([&] { w.form.Command5_Click(); });
      out.ms.push_back(msSince(start));
      out.cpuMs.push_back(cpuMs() - cpu);
      trellick::bench::windowShares(out.shares, timed, w.ui, start, Clock::now());
      if (!w.form.noRunSQL.isEmpty()) die("the replace collected failures");
    }
    const auto work = databaseWork(timed.text);
    std::filesystem::copy_file(db, floorCopy, std::filesystem::copy_options::overwrite_existing);
    auto start = Clock::now();
    const double cpu = cpuMs();
    runDirect(floorCopy, work, &out.floorShares);
    out.floorMs.push_back(msSince(start));
    out.floorCpuMs.push_back(cpuMs() - cpu);
    std::vector<std::string> updates;
    for (const auto& s : work)
      if (startsWith(s, "Update ")) updates.push_back(s);
    std::filesystem::copy_file(db, floorCopy, std::filesystem::copy_options::overwrite_existing);
    start = Clock::now();
    runDirect(floorCopy, updates);
    out.updatesMs.push_back(msSince(start));
    std::filesystem::remove(copy);
    std::filesystem::remove(floorCopy);
  }
  return out;
}

// --window: only the window's find and batch replace against their floors.
int windowMode(const std::string& dir, const std::string& db, int tables, int rows, int reps) {
  const WindowFind found = windowFind(db, reps);
  const WindowReplace replaced = windowReplace(dir, db, reps);
  const double find = median(found.ms), floor = median(found.floorMs);
  const double replace = median(replaced.ms), replaceFloor = median(replaced.floorMs);
  std::printf("\nTrellick benchmark, the window only: %s; median of %d\n", machine().c_str(), reps);
  std::printf("A: %d tables x %d rows\n\n", tables, rows);
  std::printf("| measure | ms |\n|---|---:|\n");
  std::printf("| find over A (window, ODBC) | %.1f |\n", find);
  std::printf("| floor: its count statements in SQLite | %.1f |\n", floor);
  std::printf("| batch replace over a copy of A | %.1f |\n", replace);
  std::printf("| floor: its statements in SQLite | %.1f |\n", replaceFloor);
  std::printf("| (of which the update statements) | %.1f |\n\n", median(replaced.updatesMs));
  // The same in processor time: what the window adds, without the waits
  // for the other programs of a shared machine (nor for the disk).
  const double findCpu = median(found.cpuMs) / median(found.floorCpuMs);
  const double replaceCpu = median(replaced.cpuMs) / median(replaced.floorCpuMs);
  std::printf("| processor ms | window | floor | ratio |\n|---|---:|---:|---:|\n");
  std::printf("| find | %.1f | %.1f | %.3f |\n", median(found.cpuMs), median(found.floorCpuMs),
              findCpu);
  std::printf("| batch replace | %.1f | %.1f | %.3f |\n\n", median(replaced.cpuMs),
              median(replaced.floorCpuMs), replaceCpu);
  // Where the rest goes.
  std::printf("Find, where the time goes (mean of the repetitions):\n\n");
  trellick::bench::printShares(found.shares, found.floorShares, reps);
  std::printf("Batch replace, where the time goes (mean of the repetitions):\n\n");
  trellick::bench::printShares(replaced.shares, replaced.floorShares, reps);
  std::printf("| ratio | value | target | |\n|---|---:|---|---|\n");
  std::printf("| find / floor | %.3f | <= 1.10 | %s |\n", find / floor,
              find / floor <= 1.10 ? "met" : "MISSED");
  std::printf("| replace / floor | %.3f | <= 1.10 | %s |\n", replace / replaceFloor,
              replace / replaceFloor <= 1.10 ? "met" : "MISSED");
  if (found.records != found.floorRecords) {
    std::fprintf(stderr, "find counted %lld records, the floor %lld\n", found.records,
                 found.floorRecords);
    return 1;
  }
  std::printf("\nfind and floor both counted %lld records\n", found.records);
  return 0;
}

}  // namespace

// ---- a replace in batches ----

// One table of `rows` rows, every twentieth holding the text: a journaled
// replace in batches of each size against the same in one statement.
int batchesMode(const std::string& dir, int rows, int reps) {
  std::filesystem::create_directories(dir);
  const std::string source = dir + "/batches-" + std::to_string(rows) + ".db";
  generate(source, [&](sqlite3* db, Lcg&) {
    sqliteExec(db,
               "create table t(id integer primary key, v text, w text);"
               "insert into t with recursive n(i) as (select 1 union all select i + 1 from n "
               "where i < " +
                   std::to_string(rows) +
                   ") select i, case when i % 20 = 0 then 'row ' || i || ' at " + kFind +
                   "/x' else 'row ' || i || ' nothing here' end, 'w' from n;");
  });
  const std::string copy = dir + "/batches-copy.db", journalPath = dir + "/batches-journal.db";
  const std::vector<long long> sizes{0, 1000, 10000, 100000};
  std::vector<std::vector<double>> ms(sizes.size());
  for (int rep = 0; rep < reps; ++rep)
    for (size_t k = 0; k < sizes.size(); ++k) {
      removeSqlite(copy);
      removeSqlite(journalPath);
      std::filesystem::copy_file(source, copy);
      auto conn = openSqlite(copy);
      const auto tables = trellick::engine::userTables(*conn);
      trellick::journal::Journal journal(journalPath);
      const auto start = Clock::now();
      const Replaced done = engineReplace(*conn, tables, &journal, nullptr, sizes[k]);
      ms[k].push_back(msSince(start));
      if (done.records != rows / 20 || done.journaled != done.records)
        die("the replace in batches of " + std::to_string(sizes[k]) + " changed " +
            std::to_string(done.records) + " records and journaled " +
            std::to_string(done.journaled) + " of " + std::to_string(rows / 20));
    }
  removeSqlite(copy);
  removeSqlite(journalPath);
  const double whole = median(ms[0]);
  std::printf(
      "\nTrellick benchmark, batches: %s; one SQLite table of %d rows, %d matching; "
      "median of %d\n\n",
      machine().c_str(), rows, rows / 20, reps);
  std::printf(
      "| replace (engine, journal) | ms | / one statement | target |\n"
      "|---|---:|---:|---|\n");
  std::printf("| one statement | %.1f | 1.000 | |\n", whole);
  for (size_t k = 1; k < sizes.size(); ++k) {
    const double ratio = median(ms[k]) / whole;
    std::printf("| batches of %lld rows | %.1f | %.3f | <= 1.3 %s |\n", sizes[k], median(ms[k]),
                ratio, ratio <= 1.3 ? "met" : "MISSED");
  }
  return 0;
}

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The command line measured from outside, and the engine's replace it
  // runs as a process: no window in either.
  if (argc > 1 && std::string(argv[1]) == "--engine-replace")
    return trellick::bench::engineReplaceMain(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--cli-table") return trellick::bench::cliTableMain(argc, argv);
  Sizes sizes;
  std::string dir = "bench-data";
  std::string peakDb, journalPeakDb, journalPeakFile;
  bool quick = false;
  bool servers = false;
  bool rewriterPeak = false;
  int batchRows = 0;  // --batches: the table's rows
  bool rewriterOnly = false;
  bool windowOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      quick = true;
      sizes = {6, 300, 3000, 3, 20000};
    } else if (a == "--sizes" && i + 3 < argc) {
      sizes.tablesA = std::atoi(argv[++i]);
      sizes.rowsA = std::atoi(argv[++i]);
      sizes.rowsB = std::atoi(argv[++i]);
    } else if (a == "--reps" && i + 1 < argc) {
      sizes.reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--window") {
      windowOnly = true;
    } else if (a == "--servers") {
      servers = true;
    } else if (a == "--batches") {
      batchRows = quick ? 200000 : 2000000;
      if (i + 1 < argc && argv[i + 1][0] != '-') batchRows = std::max(20, std::atoi(argv[++i]));
    } else if (a == "--rewriter-only") {
      servers = true;
      rewriterOnly = true;
    } else if (a == "--peak" && i + 1 < argc) {
      peakDb = argv[++i];
    } else if ((a == "--journal-peak" || a == "--rewriter-peak") && i + 2 < argc) {
      rewriterPeak = a == "--rewriter-peak";
      journalPeakDb = argv[++i];
      journalPeakFile = argv[++i];
    } else {
      die("unknown argument " + a);
    }
  }
  // No window: the engine alone.
  if (batchRows > 0) return batchesMode(dir, batchRows, std::max(1, std::min(sizes.reps, 3)));
  QApplication app(argc, argv);
  // The operator's own settings stay untouched.
  QTemporaryDir settingsDir;
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
  // Nor their journal: the window's replace journals into a fresh one.
  qputenv("XDG_DATA_HOME", settingsDir.path().toLocal8Bit());
  if (!peakDb.empty()) return peakMode(peakDb);
  if (!journalPeakDb.empty()) return journalPeakMode(journalPeakDb, journalPeakFile, rewriterPeak);
  if (servers)
    return trellick::bench::runServerBenchmark(
        {sizes.tablesA, sizes.rowsA, sizes.reps, rewriterOnly}, quick);

  std::filesystem::create_directories(dir);
  const std::string tag = std::to_string(sizes.tablesA) + "x" + std::to_string(sizes.rowsA);
  const std::string dbA = dir + "/A-" + tag + ".db";
  const std::string dbB = dir + "/B-" + std::to_string(sizes.rowsB) + ".db";
  std::printf("Generating the databases in %s ...\n", dir.c_str());
  std::fflush(stdout);
  generate(dbA, [&](sqlite3* db, Lcg& r) {
    for (int t = 0; t < sizes.tablesA; ++t) fillTable(db, "t" + std::to_string(t), sizes.rowsA, r);
  });
  if (windowOnly) return windowMode(dir, dbA, sizes.tablesA, sizes.rowsA, sizes.reps);
  generate(dbB, [&](sqlite3* db, Lcg& r) {
    fillTable(db, "big", sizes.rowsB, r);
    fillTable(db, "small", 10, r);
  });
  const std::string dbJ = dir + "/J-" + std::to_string(sizes.rowsJ) + ".db";
  generate(dbJ, [&](sqlite3* db, Lcg& r) {
    sqliteExec(db, "create table every(id integer primary key, v varchar(200), n integer)");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "insert into every values(?,?,?)", -1, &st, nullptr);
    for (int i = 1; i <= sizes.rowsJ; ++i) {
      const std::string v = words(r, 20) + " http://" + kFind + "/p" + std::to_string(i);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(st, 3, i);
      if (sqlite3_step(st) != SQLITE_DONE) die("insert failed");
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  });

  // 1 and 2: the find, and its count statements straight into SQLite.
  const WindowFind windowFound = windowFind(dbA, sizes.reps);
  const std::vector<double>&findMs = windowFound.ms, &floorMs = windowFound.floorMs;
  const long long findRecords = windowFound.records, floorRecords = windowFound.floorRecords;

  // 2b: the same find through the engine alone, and on two connections;
  // its statements straight into SQLite again.
  std::vector<double> engineMs, engineFloorMs, jobsMs;
  long long engineRecords = 0, jobsRecords = 0;
  for (int rep = 0; rep < sizes.reps; ++rep) {
    auto start = Clock::now();
    auto sent = recording([&] { engineRecords = engineFind(dbA, 1); });
    engineMs.push_back(msSince(start));
    const auto engineCounts = databaseWork(sent);
    start = Clock::now();
    if (runDirect(dbA, engineCounts) != engineRecords) die("the engine and its floor disagree");
    engineFloorMs.push_back(msSince(start));
    start = Clock::now();
    jobsRecords = engineFind(dbA, 2);
    jobsMs.push_back(msSince(start));
  }

  // 3: one count per searchable column, through the same layer.
  std::vector<double> perColumnMs;
  long long perColumnSum = 0;
  for (int rep = 0; rep < sizes.reps; ++rep) {
    trellick::db::Connection c;
    c.SetCommandTimeout(0);
    c.Open(trellick::db::makeTarget({"sqlite", "", "", dbA}, trellick::db::installedDrivers(), 0));
    perColumnSum = 0;
    const auto start = Clock::now();
    for (int t = 0; t < sizes.tablesA; ++t)
      for (const char* column : {"v", "nv", "t", "c"})
        perColumnSum += c.Execute("select count(*) from t" + std::to_string(t) + " where [" +
                                  column + "] like '%" + kFind + "%'")
                            ->Fields()
                            .Item(0)
                            .Value()
                            .toInt64();
    perColumnMs.push_back(msSince(start));
  }

  // 4: the engine's column query on a large and a small table.
  auto columnQuery = [&](const std::string& table) {
    trellick::db::Connection c;
    c.SetCommandTimeout(10);
    c.Open(trellick::db::makeTarget({"sqlite", "", "", dbB}, trellick::db::installedDrivers(), 10));
    std::vector<double> each;
    for (int k = 0; k < 20 * sizes.reps; ++k) {
      const auto start = Clock::now();
      trellick::db::Recordset rs;
      // Opened as the engine opens it.
      rs.Open("select * from " + table, c, trellick::db::adOpenForwardOnly,
              trellick::db::adLockReadOnly, -1, trellick::db::OpenOptions{1});
      long long sum = 0;
      for (int j = 0; j < rs.Fields().Count(); ++j)
        sum += rs.Fields().Item(j).Type() + rs.Fields().Item(j).DefinedSize();
      if (rs.Eof() || sum == 0) die("column query saw no row");
      rs.Close();
      each.push_back(msSince(start));
    }
    return median(each);
  };
  const double metaBig = columnQuery("big");
  const double metaSmall = columnQuery("small");

  // 5: peak memory of a find over B, in a process of its own.
  QProcess child;
  child.start(QString::fromLocal8Bit(argv[0]), {"--peak", QString::fromStdString(dbB)});
  child.waitForFinished(-1);
  long idleKib = 0, peakKib = 0;
  long long peakRecords = 0;
  if (std::sscanf(child.readAllStandardOutput().constData(), "PEAK %ld %ld %lld", &idleKib,
                  &peakKib, &peakRecords) != 3)
    die("the memory measurement did not report");

  // 6: the batch replace on a fresh copy, and its statements into SQLite.
  const WindowReplace windowReplaced = windowReplace(dir, dbA, sizes.reps);
  const std::vector<double>&replaceMs = windowReplaced.ms, &replaceFloorMs = windowReplaced.floorMs,
        &updatesOnlyMs = windowReplaced.updatesMs;

  // 7: the engine's replace with its journal and without, each rep on a
  // fresh copy of A; the order alternates so that neither always goes first.
  std::vector<double> journaledMs, plainMs;
  Replaced journaled, plain;
  const std::string journalPath = dir + "/journal-run.db";
  for (int rep = 0; rep < sizes.reps; ++rep) {
    for (int k = 0; k < 2; ++k) {
      const bool withJournal = (rep + k) % 2 == 0;
      const std::string copy = dir + "/A-journal.db";
      std::filesystem::copy_file(dbA, copy, std::filesystem::copy_options::overwrite_existing);
      removeSqlite(journalPath);
      const auto start = Clock::now();
      const Replaced done = engineReplace(copy, withJournal ? journalPath : "");
      (withJournal ? journaledMs : plainMs).push_back(msSince(start));
      (withJournal ? journaled : plain) = done;
      const long long left = engineFind(copy, 1);
      if (left != 0) die(std::to_string(left) + " records still hold the text after a replace");
      removeSqlite(copy);
    }
  }
  removeSqlite(journalPath);
  if (journaled.records != plain.records || journaled.journaled != journaled.records)
    die("the replace with the journal changed " + std::to_string(journaled.records) +
        " records and journaled " + std::to_string(journaled.journaled) + ", without it " +
        std::to_string(plain.records));

  // 8: peak memory of a journaled replace over J, in a process of its own,
  // on a copy: J stays as generated for the next run.
  const std::string copyJ = dir + "/J-replace.db", journalJ = dir + "/journal-peak.db";
  std::filesystem::copy_file(dbJ, copyJ, std::filesystem::copy_options::overwrite_existing);
  removeSqlite(journalJ);
  QProcess journalChild;
  journalChild.start(
      QString::fromLocal8Bit(argv[0]),
      {"--journal-peak", QString::fromStdString(copyJ), QString::fromStdString(journalJ)});
  journalChild.waitForFinished(-1);
  long jIdleKib = 0, jPeakKib = 0;
  long long jRecords = 0, jJournaled = 0;
  if (std::sscanf(journalChild.readAllStandardOutput().constData(), "JPEAK %ld %ld %lld %lld",
                  &jIdleKib, &jPeakKib, &jRecords, &jJournaled) != 4)
    die("the journal's memory measurement did not report");
  removeSqlite(copyJ);
  removeSqlite(journalJ);
  if (jRecords != sizes.rowsJ || jJournaled != jRecords)
    die("the journaled replace over J changed " + std::to_string(jRecords) +
        " records and journaled " + std::to_string(jJournaled) + " of " +
        std::to_string(sizes.rowsJ));
  const double journalPeakMiB = (jPeakKib - jIdleKib) / 1024.0;

  // 9: the row rewriter against the one update, both journaled, on the
  // same rows with the same literal text; each rep on fresh copies of A,
  // the order alternating.
  std::vector<double> rewriterMs, updateMs;
  Replaced rewritten, updated;
  const auto rewriter = literalRewriter();
  for (int rep = 0; rep < sizes.reps; ++rep) {
    for (int k = 0; k < 2; ++k) {
      const bool rewriting = (rep + k) % 2 == 0;
      const std::string copy = dir + "/A-rewriter.db";
      std::filesystem::copy_file(dbA, copy, std::filesystem::copy_options::overwrite_existing);
      removeSqlite(journalPath);
      const auto start = Clock::now();
      const Replaced done = engineReplace(copy, journalPath, rewriting ? rewriter : nullptr);
      (rewriting ? rewriterMs : updateMs).push_back(msSince(start));
      (rewriting ? rewritten : updated) = done;
      const long long left = engineFind(copy, 1);
      if (left != 0)
        die(std::to_string(left) + " records still hold the text after the " +
            (rewriting ? "rewriter's" : "update's") + " replace");
      removeSqlite(copy);
    }
  }
  removeSqlite(journalPath);
  if (rewritten.records != updated.records || rewritten.journaled != rewritten.records)
    die("the rewriter changed " + std::to_string(rewritten.records) + " records and journaled " +
        std::to_string(rewritten.journaled) + ", the update changed " +
        std::to_string(updated.records));

  // 10: peak memory of the rewriter's journaled replace over J, as in 8.
  std::filesystem::copy_file(dbJ, copyJ, std::filesystem::copy_options::overwrite_existing);
  removeSqlite(journalJ);
  QProcess rewriterChild;
  rewriterChild.start(
      QString::fromLocal8Bit(argv[0]),
      {"--rewriter-peak", QString::fromStdString(copyJ), QString::fromStdString(journalJ)});
  rewriterChild.waitForFinished(-1);
  long rIdleKib = 0, rPeakKib = 0;
  long long rRecords = 0, rJournaled = 0;
  if (std::sscanf(rewriterChild.readAllStandardOutput().constData(), "JPEAK %ld %ld %lld %lld",
                  &rIdleKib, &rPeakKib, &rRecords, &rJournaled) != 4)
    die("the rewriter's memory measurement did not report");
  removeSqlite(copyJ);
  removeSqlite(journalJ);
  if (rRecords != sizes.rowsJ || rJournaled != rRecords)
    die("the rewriter's replace over J changed " + std::to_string(rRecords) +
        " records and journaled " + std::to_string(rJournaled) + " of " +
        std::to_string(sizes.rowsJ));
  const double rewriterPeakMiB = (rPeakKib - rIdleKib) / 1024.0;

  const double find = median(findMs), floor = median(floorMs), perColumn = median(perColumnMs);
  const double replace = median(replaceMs), replaceFloor = median(replaceFloorMs);
  const double peakMiB = (peakKib - idleKib) / 1024.0;
  auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
  std::printf("\nTrellick benchmark%s: %s; median of %d\n", quick ? " (quick sizes)" : "",
              machine().c_str(), sizes.reps);
  std::printf("A: %d tables x %d rows; B: one table of %d rows and one of 10\n\n", sizes.tablesA,
              sizes.rowsA, sizes.rowsB);
  std::printf("| measure | ms |\n|---|---:|\n");
  std::printf("| find over A (window, ODBC) | %.1f |\n", find);
  std::printf("| floor: its count statements in SQLite | %.1f |\n", floor);
  std::printf("| find over A (engine, no window) | %.1f |\n", median(engineMs));
  std::printf("| floor: its count statements in SQLite | %.1f |\n", median(engineFloorMs));
  std::printf("| find over A (engine, 2 connections) | %.1f |\n", median(jobsMs));
  std::printf("| per column: one count per text column | %.1f |\n", perColumn);
  std::printf("| column query, %d rows | %.3f |\n", sizes.rowsB, metaBig);
  std::printf("| column query, 10 rows | %.3f |\n", metaSmall);
  std::printf("| batch replace over a copy of A | %.1f |\n", replace);
  std::printf("| floor: its statements in SQLite | %.1f |\n", replaceFloor);
  std::printf("| (of which the update statements) | %.1f |\n", median(updatesOnlyMs));
  std::printf("| replace over a copy of A (engine, journal) | %.1f |\n", median(journaledMs));
  std::printf("| replace over a copy of A (engine, no journal) | %.1f |\n", median(plainMs));
  std::printf("| replace over a copy of A (row rewriter, journal) | %.1f |\n", median(rewriterMs));
  std::printf("| replace over a copy of A (one update, journal) | %.1f |\n\n", median(updateMs));
  std::printf("| ratio | value | target | |\n|---|---:|---|---|\n");
  std::printf("| find / floor | %.3f | <= 1.10 | %s |\n", find / floor,
              verdict(find / floor <= 1.10));
  const double engineRatio = median(engineMs) / median(engineFloorMs);
  const double jobsSpeedUp = median(engineFloorMs) / median(jobsMs);
  std::printf("| engine / floor | %.3f | <= 1.05 | %s |\n", engineRatio,
              verdict(engineRatio <= 1.05));
  std::printf("| floor / engine on 2 connections | %.2f | >= 1.6 | %s |\n", jobsSpeedUp,
              verdict(jobsSpeedUp >= 1.6));
  std::printf("| per column / find | %.2f | >= 2 | %s |\n", perColumn / find,
              verdict(perColumn / find >= 2));
  std::printf("| column query %d rows / 10 rows | %.2f | <= 2 | %s |\n", sizes.rowsB,
              metaBig / metaSmall, verdict(metaBig / metaSmall <= 2));
  std::printf("| replace / floor | %.3f | <= 1.10 | %s |\n", replace / replaceFloor,
              verdict(replace / replaceFloor <= 1.10));
  std::printf("| peak memory of a find over B above the idle window | %.1f MiB | < 64 MiB | %s |\n",
              peakMiB, verdict(peakMiB < 64));
  const double journalRatio = median(journaledMs) / median(plainMs);
  std::printf("| replace with the journal / without | %.3f | <= 1.6 | %s |\n", journalRatio,
              verdict(journalRatio <= 1.6));
  std::printf(
      "| peak memory of a journaled replace of %d rows above idle | %.1f MiB | < 64 MiB | "
      "%s |\n",
      sizes.rowsJ, journalPeakMiB, verdict(journalPeakMiB < 64));
  const double rewriterRatio = median(rewriterMs) / median(updateMs);
  std::printf("| row rewriter / one update (literal text, journaled) | %.3f | <= 2 | %s |\n",
              rewriterRatio, verdict(rewriterRatio <= 2));
  std::printf(
      "| peak memory of a row rewriter's replace of %d rows above idle | %.1f MiB | < 64 MiB | "
      "%s |\n",
      sizes.rowsJ, rewriterPeakMiB, verdict(rewriterPeakMiB < 64));

  // The find must count what the database counts. A record holding the
  // text in two columns counts twice per column, so that sum is a bound.
  if (findRecords != floorRecords) {
    std::fprintf(stderr, "find counted %lld records, the floor %lld\n", findRecords, floorRecords);
    return 1;
  }
  if (engineRecords != findRecords || jobsRecords != findRecords) {
    std::fprintf(stderr,
                 "the window counted %lld records, the engine %lld, on 2 connections %lld\n",
                 findRecords, engineRecords, jobsRecords);
    return 1;
  }
  if (perColumnSum < findRecords) {
    std::fprintf(stderr, "per-column counts (%lld) below the find's (%lld)\n", perColumnSum,
                 findRecords);
    return 1;
  }
  std::printf("\nfind, engine, 2 connections and floor all counted %lld records\n", findRecords);
  std::printf(
      "the replace with and without the journal changed %lld records, the journal holds "
      "%lld rows; none left holding the text\n",
      journaled.records, journaled.journaled);
  std::printf("the journaled replace of %d rows changed %lld records and journaled %lld rows\n",
              sizes.rowsJ, jRecords, jJournaled);
  std::printf(
      "the rewriter and the one update each changed %lld records; the rewriter's replace of %d "
      "rows changed %lld records and journaled %lld rows\n",
      rewritten.records, sizes.rowsJ, rRecords, rJournaled);
  return 0;
}
