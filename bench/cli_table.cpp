// trellick-cli as a process against each engine's own client doing the
// same statements in one session. The statements are those this build's
// engine sends for the same work, recorded in this process and untimed;
// so a command line of another build (an older one, for "before" figures)
// is measured against the same floor. Every run's result is checked against
// the database, read through the engine's own client library, so that a
// run that failed is never timed as a fast one.
#include "bench/cli_table.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/clients.h"
#include "bench/data.h"
#include "bench/timing.h"
#include "db/connection.h"
#include "db/target.h"
#include "engine/engine.h"
#include "support/mariadb_server.h"
#include "support/pg_server.h"
#include "support/process.h"

extern char** environ;

namespace trellick::bench {
namespace {

namespace fs = std::filesystem;

const std::string kFind = "old.example.com";
const std::string kReplace = "new.example.org";
// The command line and the engine's replace take the password from here.
const char* const kPasswordVariable = "TRELLICK_BENCH_PASSWORD";

// A measure that cannot be made with this command line (an option it does
// not have): told "n/a", never a failure.
struct NotAvailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

Clock::time_point g_start;

void progress(const std::string& what) {
  std::fprintf(stderr, "[%7.1f s] %s\n", msSince(g_start) / 1000, what.c_str());
}

// ---- programs run as processes ----

using Env = std::vector<std::pair<std::string, std::string>>;

struct Ran {
  int exitCode = -1;          // -1: killed by a signal, or never started
  double ms = 0;              // from before the fork to the end of its output and exit
  double firstOutputMs = -1;  // to the first byte on standard output
  std::string out, err;
  std::string firstErrLine() const {
    const std::string line = err.substr(0, err.find('\n'));
    return line.empty() ? "exit status " + std::to_string(exitCode) : line;
  }
};

// Runs argv[0] with its standard input from `inputFile` (or /dev/null), its
// outputs read through pipes as they come.
Ran runProgram(const std::vector<std::string>& argv, const Env& env,
               const std::string& inputFile = {}) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (std::none_of(env.begin(), env.end(), [&](const auto& kv) { return kv.first == key; }))
      envStrings.push_back(entry);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string input = inputFile.empty() ? "/dev/null" : inputFile;

  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
    throw Failure("no pipe for " + argv[0]);
  Ran ran;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw Failure("cannot fork for " + argv[0]);
  if (pid == 0) {
    const int in = open(input.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&ran.out, &ran.err};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        if (k == 0 && ran.firstOutputMs < 0) ran.firstOutputMs = msSince(start);
        sinks[k]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ran.ms = msSince(start);
  if (WIFEXITED(status)) ran.exitCode = WEXITSTATUS(status);
  if (ran.exitCode == 127 || ran.exitCode == 126)
    throw Failure("cannot run " + argv[0] + ": " + ran.firstErrLine());
  return ran;
}

std::string writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

void removeSqlite(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(path + suffix);
}

// ---- the data: 4 text columns, 5% of the rows holding the text ----

struct Shape {
  int tables = 0;
  int rows = 0;
  std::string tag() const { return std::to_string(tables) + "x" + std::to_string(rows); }
};

struct Row {
  std::string v, w, t, c;
};

// The same rows on every engine, table after table from one generator. One
// row in twenty holds the text once, in one of its columns, never inside
// a character.
Row makeRow(Lcg& r) {
  Row row{words(r, 40), words(r, 40), words(r, 80), words(r, 20)};
  if (r.next() % 20 == 0) {
    std::string* columns[] = {&row.v, &row.w, &row.t, &row.c};
    std::string& s = *columns[r.next() % 4];
    size_t at = s.size() / 2;
    while (at > 0 && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) --at;
    s.insert(at, " http://" + kFind + "/p ");
  }
  return row;
}

const uint64_t kSeed = 20261208;

// ---- the engines ----

class Target {
 public:
  virtual ~Target() = default;
  virtual std::string key() const = 0;
  virtual std::string title() const = 0;
  virtual db::ConnectFields fields(const std::string& db) const = 0;
  virtual std::vector<std::string> cliConnection(const std::string& db) const = 0;
  virtual Env env() const { return {}; }
  // The engine's own client reading a script from standard input; `echo`:
  // each statement written before its result.
  virtual std::vector<std::string> client(const std::string& db, bool echo) const = 0;
  // What the script starts with: the settings the driver's session has.
  virtual std::string scriptStart(bool echo) const = 0;
  // Makes the database `name` of `shape` (a file kept for the next run on
  // SQLite); returns what names it.
  virtual std::string load(const std::string& name, const Shape& shape) = 0;
  // `name` as `from` again; returns what names it.
  virtual std::string restore(const std::string& from, const std::string& name,
                              const Shape& shape) = 0;
  virtual void drop(const std::string& db) = 0;
  // The rows holding `text` in a text column, compared byte for byte.
  virtual long long holding(const std::string& db, const Shape& shape, const std::string& text) = 0;
  virtual bool server() const { return true; }
};

class SqliteTarget : public Target {
 public:
  SqliteTarget(std::string dir, std::string program)
      : dir_(std::move(dir)), program_(std::move(program)) {}
  std::string key() const override { return "sqlite"; }
  std::string title() const override { return std::string("SQLite ") + sqlite3_libversion(); }
  bool server() const override { return false; }
  db::ConnectFields fields(const std::string& db) const override { return {"sqlite", "", "", db}; }
  std::vector<std::string> cliConnection(const std::string& db) const override {
    return {"--server", "sqlite", "--database", db};
  }
  std::vector<std::string> client(const std::string& db, bool) const override {
    return {program_, "-batch", "-bail", db};
  }
  // The driver's session: LIKE as the engine sets it (a statement of its
  // own, recorded), and the driver's synchronous mode.
  std::string scriptStart(bool echo) const override {
    return std::string(echo ? ".echo on\n" : "") + "pragma synchronous = normal;\n";
  }
  std::string load(const std::string& name, const Shape& shape) override {
    const std::string path = dir_ + "/cli-" + name + "-" + shape.tag() + ".db";
    if (fs::exists(path)) return path;
    const std::string partial = path + ".partial";
    removeSqlite(partial);
    sqlite3* db = nullptr;
    if (sqlite3_open(partial.c_str(), &db) != SQLITE_OK) throw Failure("cannot create " + partial);
    exec(db, "pragma journal_mode=off; pragma synchronous=off; begin");
    Lcg r{kSeed};
    for (int k = 0; k < shape.tables; ++k) {
      exec(db, "create table " + tableName(k) +
                   " (id integer primary key, v varchar(200), w varchar(200), t text, "
                   "c varchar(100))");
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, ("insert into " + tableName(k) + " values(?,?,?,?,?)").c_str(), -1,
                         &st, nullptr);
      for (int i = 1; i <= shape.rows; ++i) {
        const Row row = makeRow(r);
        sqlite3_bind_int(st, 1, i);
        sqlite3_bind_text(st, 2, row.v.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, row.w.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 4, row.t.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 5, row.c.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) != SQLITE_DONE) throw Failure("sqlite: insert failed");
        sqlite3_reset(st);
      }
      sqlite3_finalize(st);
    }
    exec(db, "commit");
    sqlite3_close(db);
    fs::rename(partial, path);
    return path;
  }
  std::string restore(const std::string& from, const std::string& name, const Shape&) override {
    const std::string path = dir_ + "/cli-" + name + ".db";
    removeSqlite(path);
    fs::copy_file(from, path);
    return path;
  }
  void drop(const std::string& db) override { removeSqlite(db); }
  long long holding(const std::string& path, const Shape& shape, const std::string& text) override {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      throw Failure("cannot open " + path);
    long long total = 0;
    for (int k = 0; k < shape.tables; ++k) {
      sqlite3_stmt* st = nullptr;
      const std::string sql = "select count(*) from " + tableName(k) +
                              " where instr(v, ?1) or instr(w, ?1) or instr(t, ?1) or "
                              "instr(c, ?1)";
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        const std::string error = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw Failure("sqlite: " + error);
      }
      sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(st) == SQLITE_ROW) total += sqlite3_column_int64(st, 0);
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return total;
  }

 private:
  static void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string what = err ? err : "?";
      sqlite3_free(err);
      throw Failure("sqlite: " + what);
    }
  }
  std::string dir_, program_;
};

// A server the benchmark starts: the engine and the command line log in as
// its user, the password handed over in the environment, as it is to the
// server's own client under `clientVariable`.
template <class Server>
class ServerTarget : public Target {
 public:
  explicit ServerTarget(std::string clientVariable) : clientVariable_(std::move(clientVariable)) {}
  db::ConnectFields fields(const std::string& db) const override {
    return {server_.serverField(), server_.user(), server_.password(), db};
  }
  std::vector<std::string> cliConnection(const std::string& db) const override {
    return {"--server", server_.serverField(), "--database",     db,
            "--user",   server_.user(),        "--password-env", kPasswordVariable};
  }
  Env env() const override {
    return {{kPasswordVariable, server_.password()}, {clientVariable_, server_.password()}};
  }

 protected:
  // Its own defaults for memory and durability, as a server runs in use:
  // each commit waits for its disk as the journal's seal waits for its own.
  Server server_{testsupport::ServerSettings::ServerDefaults};

 private:
  std::string clientVariable_;
};

class PgTarget : public ServerTarget<testsupport::PgServer> {
 public:
  explicit PgTarget(std::string program)
      : ServerTarget("PGPASSWORD"), program_(std::move(program)) {
    if (!server_.ok()) throw Failure("PostgreSQL: " + server_.errorText());
    admin_ = std::make_unique<PgClient>(server_.host(), server_.port(), "postgres",
                                        server_.superuser(), server_.superuserPassword());
    // Nothing runs behind the measurements' backs.
    admin_->run("alter system set autovacuum = off");
    admin_->run("select pg_reload_conf()");
    const int v = admin_->serverVersion();
    title_ = "PostgreSQL " + std::to_string(v / 10000) + "." + std::to_string(v % 10000);
  }
  std::string key() const override { return "postgresql"; }
  std::string title() const override { return title_; }
  std::vector<std::string> client(const std::string& db, bool echo) const override {
    std::vector<std::string> argv{program_, "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1"};
    if (echo) argv.push_back("-e");
    for (const std::string& a :
         {std::string("-h"), server_.host(), std::string("-p"), std::to_string(server_.port()),
          std::string("-U"), server_.user(), std::string("-d"), db})
      argv.push_back(a);
    return argv;
  }
  std::string scriptStart(bool) const override { return {}; }
  std::string load(const std::string& name, const Shape& shape) override {
    drop(name);
    admin_->run("create database \"" + name + "\" owner " + server_.user());
    PgClient c(server_.host(), server_.port(), name, server_.user(), server_.password());
    Lcg r{kSeed};
    for (int k = 0; k < shape.tables; ++k) {
      c.run("create table " + tableName(k) +
            " (id integer primary key, v varchar(200), w varchar(200), t text, c varchar(100))");
      std::string data;
      for (int i = 1; i <= shape.rows; ++i) {
        const Row row = makeRow(r);
        data +=
            std::to_string(i) + '\t' + row.v + '\t' + row.w + '\t' + row.t + '\t' + row.c + '\n';
      }
      c.copyIn("copy " + tableName(k) + " from stdin", data);
    }
    c.run("vacuum analyze");
    return name;
  }
  std::string restore(const std::string& from, const std::string& name, const Shape&) override {
    drop(name);
    // A file copy: no WAL for the whole database.
    admin_->run("create database \"" + name + "\" template \"" + from + "\" owner " +
                server_.user() + " strategy file_copy");
    return name;
  }
  void drop(const std::string& db) override {
    admin_->run("drop database if exists \"" + db + "\" with (force)");
  }
  long long holding(const std::string& db, const Shape& shape, const std::string& text) override {
    PgClient c(server_.host(), server_.port(), db, server_.user(), server_.password());
    long long total = 0;
    for (int k = 0; k < shape.tables; ++k)
      total += c.run("select count(*) from " + tableName(k) +
                     " where strpos(concat_ws(' ', v, w, t, c), '" + text + "') > 0")
                   .value_or(0);
    return total;
  }

 private:
  std::unique_ptr<PgClient> admin_;
  std::string program_, title_;
};

class MariaTarget : public ServerTarget<testsupport::MariaDbServer> {
 public:
  explicit MariaTarget(std::string program)
      : ServerTarget("MYSQL_PWD"), program_(std::move(program)) {
    if (!server_.ok()) throw Failure("MariaDB: " + server_.errorText());
    admin_ =
        std::make_unique<MariaClient>("", 0, "", "root", "", server_.directory() + "/mariadb.sock");
    title_ = "MariaDB " + admin_->serverInfo();
    if (const size_t dash = title_.find('-'); dash != std::string::npos) title_.resize(dash);
  }
  std::string key() const override { return "mariadb"; }
  std::string title() const override { return title_; }
  std::vector<std::string> client(const std::string& db, bool echo) const override {
    std::vector<std::string> argv{program_, "--no-defaults", "--batch", "--skip-column-names"};
    if (echo) argv.push_back("--verbose");
    for (const std::string& a :
         {std::string("--protocol=tcp"), std::string("-h"), server_.host(), std::string("-P"),
          std::to_string(server_.port()), std::string("-u"), server_.user(),
          std::string("--default-character-set=utf8mb4"), db})
      argv.push_back(a);
    return argv;
  }
  std::string scriptStart(bool) const override { return {}; }
  std::string load(const std::string& name, const Shape& shape) override {
    create(name);
    Lcg r{kSeed};
    for (int k = 0; k < shape.tables; ++k) {
      const std::string t = "`" + name + "`." + tableName(k);
      admin_->run("create table " + t +
                  " (id int primary key, v varchar(200), w varchar(200), t text, c varchar(100))");
      MariaInsert insert(*admin_, t);
      for (int i = 1; i <= shape.rows; ++i) {
        const Row row = makeRow(r);
        insert.add(i, {row.v, row.w, row.t, row.c});
      }
      insert.finish();
    }
    admin_->run("analyze table " + tableList(name, shape));
    return name;
  }
  // Copying takes long here: a copy made once gets back only the rows that
  // differ from `from` afterwards.
  std::string restore(const std::string& from, const std::string& name,
                      const Shape& shape) override {
    if (!copies_.contains(name)) {
      create(name);
      mariaCopyTables(*admin_, from, name, shape.tables);
      copies_.insert(name);
      return name;
    }
    mariaRestoreRows(*admin_, from, name, shape.tables, {"v", "w", "t", "c"});
    return name;
  }
  void drop(const std::string& db) override {
    copies_.erase(db);
    admin_->run("drop database if exists `" + db + "`");
  }
  long long holding(const std::string& db, const Shape& shape, const std::string& text) override {
    MariaClient c(server_.host(), server_.port(), db, server_.user(), server_.password());
    return mariaHolding(c, shape.tables, "v, w, t, c", text);
  }

 private:
  static std::string tableList(const std::string& db, const Shape& shape) {
    std::string out;
    for (int k = 0; k < shape.tables; ++k) out += (k ? ", `" : "`") + db + "`." + tableName(k);
    return out;
  }
  void create(const std::string& db) {
    drop(db);
    admin_->run("create database `" + db + "` character set utf8mb4");
    admin_->run("grant all privileges on `" + db + "`.* to '" + server_.user() + "'@'%'");
  }
  std::unique_ptr<MariaClient> admin_;
  std::set<std::string> copies_;
  std::string program_, title_;
};

// ---- the statements this build's engine sends ----

struct OneConnection : engine::ConnectionSource {
  db::Connection& conn;
  explicit OneConnection(db::Connection& c) : conn(c) {}
  db::Connection& current() override { return conn; }
  void reconnect() override { throw Failure("the engine lost its connection"); }
};

enum class Work { Tables, Find, Replace };

// Connects as the command line does and sends what `work` needs, recording
// every statement; the result of the find or replace is checked by the
// caller against the database.
std::vector<std::string> recorded(const db::ConnectFields& fields, Work work,
                                  long long* records = nullptr) {
  std::vector<std::string> sent;
  db::setStatementObserver([&](const std::string& s) { sent.push_back(s); });
  try {
    db::Connection c;
    c.SetCommandTimeout(0);
    c.Open(db::makeTarget(fields, db::installedDrivers(), 0, 15));
    const auto tables = engine::userTables(c);
    if (work != Work::Tables) {
      OneConnection source(c);
      engine::Observer quiet;
      const engine::Options options{
          work == Work::Find ? engine::Mode::Count : engine::Mode::Replace, {kFind, kReplace}};
      const auto walk = engine::runTables(source, tables, options, quiet);
      long long total = 0;
      for (const auto& r : walk.results) {
        if (r.failure)
          throw Failure("the engine failed on " + r.table.name + ": " +
                        r.failure->englishDescription);
        total += r.records;
      }
      if (records) *records = total;
    }
  } catch (...) {
    db::setStatementObserver(nullptr);
    throw;
  }
  db::setStatementObserver(nullptr);
  return sent;
}

bool isCount(const std::string& s) { return startsWith(s, "select count(*)"); }

// The statements as the client is given them. Where the engine leaves the
// column query's row limit to the driver (SQLite, MariaDB), the driver reads
// one row and no more; the client is told so in the statement.
std::vector<std::string> forClient(std::vector<std::string> sent) {
  for (std::string& s : sent)
    if (startsWith(s, "select * from ") && s.find(" limit ") == std::string::npos) s += " limit 1";
  return sent;
}

std::string script(const Target& target, const std::vector<std::string>& statements, bool echo) {
  std::string out = target.scriptStart(echo);
  for (const std::string& s : statements) {
    out += s;
    out += ";\n";
  }
  return out;
}

// The count statements' results in the client's echoed output: each
// statement is written before its result, which is one line.
long long countedInEcho(const std::string& out, const std::vector<std::string>& statements) {
  long long total = 0;
  size_t at = 0;
  for (const std::string& s : statements) {
    if (!isCount(s)) continue;
    const size_t found = out.find(s, at);
    if (found == std::string::npos) throw Failure("the client did not echo " + s.substr(0, 80));
    size_t line = out.find('\n', found + s.size());
    if (line == std::string::npos)
      throw Failure("the client gave no result for " + s.substr(0, 80));
    // The MariaDB client frames its echo with rules of dashes.
    std::string value;
    while (line != std::string::npos) {
      ++line;
      const size_t end = out.find('\n', line);
      value = out.substr(line, end == std::string::npos ? end : end - line);
      if (!value.empty() && value.find_first_not_of('-') != std::string::npos) break;
      line = end;
    }
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
      throw Failure("the client's result of " + s.substr(0, 60) + " is \"" + value + "\"");
    total += std::stoll(value);
    at = line;
  }
  return total;
}

// ---- one engine's measures ----

struct Options {
  std::string cli;
  std::string self;
  std::string windowBench;  // the trellick-bench whose --window is run
  std::string odbcFloor;    // trellick-odbc-floor: the driver manager and driver alone
  std::string dir;
  std::vector<std::string> engines{"sqlite", "postgresql", "mariadb"};
  Shape big{200, 20000};
  int smallTables = 10000;
  int reps = 5;
  bool quick = false;
  bool window = true;
};

struct CliFeatures {
  bool findJobs = false;
  bool replaceJobs = false;
};

CliFeatures featuresOf(const std::string& cli) {
  CliFeatures f;
  f.findJobs = runProgram({cli, "find", "--help"}, {}).out.find("--jobs") != std::string::npos;
  f.replaceJobs =
      runProgram({cli, "replace", "--help"}, {}).out.find("--jobs") != std::string::npos;
  return f;
}

// The medians, by measure, and why a measure is missing.
struct Measures {
  std::map<std::string, std::vector<double>> ms;
  std::map<std::string, std::string> missing;  // "n/a: ..." or "FAILED: ..."
  bool failed = false;
  std::optional<double> median(const std::string& id) const {
    const auto it = ms.find(id);
    if (missing.contains(id) || it == ms.end() || it->second.empty()) return std::nullopt;
    return trellick::bench::median(it->second);
  }
  // Runs f (which returns the time measured) unless the measure is already
  // missing; what goes wrong makes it missing.
  bool take(const std::string& engine, const std::string& id, const std::function<double()>& f) {
    if (missing.contains(id)) return false;
    try {
      ms[id].push_back(f());
      return true;
    } catch (const NotAvailable& e) {
      missing[id] = std::string("n/a: ") + e.what();
      progress(engine + ": " + id + " n/a: " + e.what());
    } catch (const std::exception& e) {
      missing[id] = std::string("FAILED: ") + e.what();
      failed = true;
      progress(engine + ": " + id + " FAILED: " + e.what());
    }
    return false;
  }
};

// The statements of a walk in two halves, the tables taken in turn: each
// table's statements go with its count; what comes before the first count
// (the session's and the first table's) goes to both.
std::array<std::vector<std::string>, 2> splitBetweenTwo(const std::vector<std::string>& sent) {
  std::array<std::vector<std::string>, 2> halves;
  std::vector<std::string> pending;
  size_t counts = 0;
  for (const std::string& s : sent) {
    pending.push_back(s);
    if (!isCount(s)) continue;
    if (counts == 0) {
      halves[1] = pending;
      halves[1].pop_back();
    }
    auto& half = halves[counts % 2];
    half.insert(half.end(), pending.begin(), pending.end());
    pending.clear();
    ++counts;
  }
  return halves;
}

// How often a round times `tables` and its two floors.
constexpr int kTablesSamples = 7;

class EngineRun {
 public:
  EngineRun(Target& target, const Options& options, const CliFeatures& features, Measures& m)
      : t_(target), o_(options), f_(features), m_(m) {
    small_ = {options.smallTables, 5};
    journal_ = options.dir + "/cli-journal-" + target.key() + ".db";
    env_ = target.env();
    env_.push_back({"XDG_DATA_HOME", options.dir + "/xdg"});
  }

  void run() {
    const std::string e = t_.key();
    progress(e + ": loading " + o_.big.tag());
    a_ = t_.load("a", o_.big);
    expected_ = t_.holding(a_, o_.big, kFind);
    if (expected_ == 0 || t_.holding(a_, o_.big, kReplace) != 0)
      throw Failure(e + ": the generated database holds the text in " + std::to_string(expected_) +
                    " rows");
    const bool smallRows = e != "mariadb";
    if (smallRows) {
      progress(e + ": loading " + small_.tag());
      s_ = t_.load("s", small_);
      expectedSmall_ = t_.holding(s_, small_, kFind);
    }

    progress(e + ": recording the engine's statements");
    long long records = 0;
    findStatements_ = forClient(recorded(t_.fields(a_), Work::Find, &records));
    if (records != expected_)
      throw Failure(e + ": this build's engine counted " + std::to_string(records) + " of " +
                    std::to_string(expected_) + " records");
    const std::string work = t_.restore(a_, "work", o_.big);
    replaceStatements_ = forClient(recorded(t_.fields(work), Work::Replace, &records));
    checkReplaced(work, records, "this build's engine");
    if (smallRows) {
      smallStatements_ = forClient(recorded(t_.fields(s_), Work::Find, &records));
      if (records != expectedSmall_)
        throw Failure(e + ": this build's engine counted " + std::to_string(records) + " of " +
                      std::to_string(expectedSmall_) + " records in the small tables");
    }
    if (e == "sqlite") tablesStatements_ = forClient(recorded(t_.fields(s_), Work::Tables));

    for (int rep = 0; rep < o_.reps; ++rep) {
      progress(e + ": round " + std::to_string(rep + 1) + " of " + std::to_string(o_.reps));
      // Each group in another order every round, so that none always runs
      // on the cache another left.
      std::vector<std::function<void()>> finds{
          [&] { m_.take(e, "find.cli", [&] { return cliFind(a_, expected_, 1); }); },
          [&] {
            m_.take(e, "find.floor", [&] { return floor(a_, findStatements_, expected_, "find"); });
          }};
      if (t_.server()) {
        finds.push_back([&] {
          m_.take(e, "find.jobs2", [&] {
            if (!f_.findJobs) throw NotAvailable("this trellick-cli has no find --jobs");
            return cliFind(a_, expected_, 2);
          });
        });
        // What two sessions gain on this machine with nothing of ours: the
        // ceiling of --jobs 2.
        finds.push_back([&] { m_.take(e, "find.floor2", [&] { return floorInTwo(); }); });
      }
      rotated(finds, rep);

      std::vector<std::function<void()>> replaces{
          [&] { replaceAndUndo(); },
          [&] { m_.take(e, "replace.plain", [&] { return engineReplace(); }); }};
      if (e != "mariadb")
        replaces.push_back([&] { m_.take(e, "replace.floor", [&] { return floorReplace(); }); });
      if (t_.server())
        replaces.push_back([&] {
          m_.take(e, "replace.jobs2", [&] {
            if (!f_.replaceJobs) throw NotAvailable("this trellick-cli has no replace --jobs");
            return cliReplace(2);
          });
        });
      rotated(replaces, rep);

      if (smallRows) {
        std::vector<std::function<void()>> smalls{
            [&] { m_.take(e, "small.cli", [&] { return cliFind(s_, expectedSmall_, 1); }); },
            [&] {
              m_.take(e, "small.floor",
                      [&] { return floor(s_, smallStatements_, expectedSmall_, "small"); });
            }};
        if (e == "sqlite") {
          // Some 20 ms each, where a process's start moves by several:
          // a round takes each of the three kTablesSamples times, in turn.
          smalls.push_back([&] {
            for (int k = 0; k < kTablesSamples; ++k) {
              m_.take(e, "tables.cli", [&] { return cliTables(); });
              m_.take(e, "tables.floor", [&] { return floorTables(); });
              m_.take(e, "tables.odbc", [&] { return odbcTables(); });
            }
          });
        }
        rotated(smalls, rep);
      }
    }
    t_.drop(work);
    if (t_.server()) {
      t_.drop(a_);
      if (smallRows) t_.drop(s_);
    }
    removeSqlite(journal_);
    progress(e + ": done");
  }

  long long expected() const { return expected_; }
  long long expectedSmall() const { return expectedSmall_; }
  size_t findStatements() const { return findStatements_.size(); }
  size_t replaceStatements() const { return replaceStatements_.size(); }
  size_t smallStatements() const { return smallStatements_.size(); }

 private:
  static void rotated(std::vector<std::function<void()>>& steps, int rep) {
    for (size_t k = 0; k < steps.size(); ++k)
      steps[(k + static_cast<size_t>(rep)) % steps.size()]();
  }

  // The command line with its connection; exit status 2 is what an
  // option it lacks ends with.
  Ran cli(const std::string& command, const std::string& db,
          const std::vector<std::string>& extra) {
    std::vector<std::string> argv{o_.cli, command};
    for (const auto& a : t_.cliConnection(db)) argv.push_back(a);
    for (const auto& a : extra) argv.push_back(a);
    Ran ran = runProgram(argv, env_);
    if (ran.exitCode == 2) throw NotAvailable(command + ": " + ran.firstErrLine());
    if (ran.exitCode != 0)
      throw Failure(command + " ended with " + std::to_string(ran.exitCode) + ": " +
                    ran.firstErrLine());
    return ran;
  }

  // "tables T, records R, found|replaced N, failed F"
  static long long recordsOf(const Ran& ran) {
    static const std::regex line(
        "tables ([0-9]+), records ([0-9]+), [a-z]+ ([0-9]+), failed ([0-9]+)");
    std::smatch m;
    if (!std::regex_search(ran.out, m, line))
      throw Failure("no totals in the output: " + ran.out.substr(0, 200));
    if (m[4] != "0") throw Failure(m[4].str() + " tables failed");
    return std::stoll(m[2]);
  }

  double cliFind(const std::string& db, long long expected, int jobs) {
    std::vector<std::string> extra{"--find", kFind, "--format", "count"};
    if (jobs > 1) {
      extra.push_back("--jobs");
      extra.push_back(std::to_string(jobs));
    }
    const Ran ran = cli("find", db, extra);
    const long long records = recordsOf(ran);
    if (records != expected)
      throw Failure("find counted " + std::to_string(records) + " of " + std::to_string(expected) +
                    " records");
    return ran.ms;
  }

  // The client sending the statements in one session; the sum of its
  // counts must be the records expected.
  double floor(const std::string& db, const std::vector<std::string>& statements,
               long long expected, const std::string& kind) {
    const std::string file = writeFile(o_.dir + "/cli-floor-" + t_.key() + "-" + kind + ".sql",
                                       script(t_, statements, true));
    const Ran ran = runProgram(t_.client(db, true), env_, file);
    if (ran.exitCode != 0)
      throw Failure("the client ended with " + std::to_string(ran.exitCode) + ": " +
                    ran.firstErrLine());
    const long long counted = countedInEcho(ran.out, statements);
    if (counted != expected)
      throw Failure("the client counted " + std::to_string(counted) + " of " +
                    std::to_string(expected) + " records");
    return ran.ms;
  }

  void checkReplaced(const std::string& db, long long told, const std::string& who) {
    const long long left = t_.holding(db, o_.big, kFind);
    const long long now = t_.holding(db, o_.big, kReplace);
    if (told != expected_ || left != 0 || now != expected_)
      throw Failure(who + " replaced " + std::to_string(told) + " records; the database holds " +
                    "the text in " + std::to_string(left) + " rows and the replacement in " +
                    std::to_string(now) + " of " + std::to_string(expected_));
  }

  std::string fresh() {
    const std::string db = t_.restore(a_, "work", o_.big);
    ::sync();
    return db;
  }

  double cliReplace(int jobs) {
    const std::string db = fresh();
    removeSqlite(journal_);
    std::vector<std::string> extra{"--find",    kFind,    "--replace", kReplace, "--yes",
                                   "--journal", journal_, "--format",  "count"};
    if (jobs > 1) {
      extra.push_back("--jobs");
      extra.push_back(std::to_string(jobs));
    }
    const Ran ran = cli("replace", db, extra);
    checkReplaced(db, recordsOf(ran), "replace");
    return ran.ms;
  }

  // The journaled replace, then the undo that takes it back.
  void replaceAndUndo() {
    const std::string e = t_.key();
    if (!m_.take(e, "replace.journal", [&] { return cliReplace(1); })) return;
    m_.take(e, "undo", [&] {
      std::vector<std::string> argv{o_.cli, "undo", "--journal", journal_, "--yes"};
      if (t_.server()) {
        argv.push_back("--password-env");
        argv.push_back(kPasswordVariable);
      }
      const Ran ran = runProgram(argv, env_);
      if (ran.exitCode == 2) throw NotAvailable("undo: " + ran.firstErrLine());
      if (ran.exitCode != 0)
        throw Failure("undo ended with " + std::to_string(ran.exitCode) + ": " +
                      ran.firstErrLine());
      const std::string db = t_.key() == "sqlite" ? workPath() : "work";
      const long long back = t_.holding(db, o_.big, kFind);
      const long long left = t_.holding(db, o_.big, kReplace);
      if (back != expected_ || left != 0)
        throw Failure("after the undo the database holds the text in " + std::to_string(back) +
                      " rows of " + std::to_string(expected_) + " and the replacement in " +
                      std::to_string(left));
      return ran.ms;
    });
  }

  std::string workPath() const { return o_.dir + "/cli-work.db"; }

  // The engine's replace without a journal, in a process of its own.
  double engineReplace() {
    const std::string db = fresh();
    const db::ConnectFields f = t_.fields(db);
    Env env = env_;
    env.push_back({kPasswordVariable, f.password});
    const Ran ran = runProgram({o_.self, "--engine-replace", f.server, f.database, f.user}, env);
    long long records = -1, failed = -1;
    if (ran.exitCode != 0 ||
        std::sscanf(ran.out.c_str(), "REPLACED %lld %lld", &records, &failed) != 2 || failed != 0)
      throw Failure("the engine's replace: " + ran.firstErrLine() + ran.out.substr(0, 200));
    checkReplaced(db, records, "the engine's replace without a journal");
    return ran.ms;
  }

  double floorReplace() {
    const std::string db = fresh();
    const std::string file = writeFile(o_.dir + "/cli-floor-" + t_.key() + "-replace.sql",
                                       script(t_, replaceStatements_, false));
    const Ran ran = runProgram(t_.client(db, false), env_, file);
    if (ran.exitCode != 0)
      throw Failure("the client ended with " + std::to_string(ran.exitCode) + ": " +
                    ran.firstErrLine());
    checkReplaced(db, expected_, "the client");
    return ran.ms;
  }

  // Time to the first line of the list, every table listed.
  double cliTables() {
    const Ran ran = cli("tables", s_, {});
    const long long lines = std::count(ran.out.begin(), ran.out.end(), '\n');
    if (lines != small_.tables || ran.firstOutputMs < 0)
      throw Failure("tables listed " + std::to_string(lines) + " of " +
                    std::to_string(small_.tables));
    return ran.firstOutputMs;
  }

  double floorTables() {
    const std::string file = writeFile(o_.dir + "/cli-floor-" + t_.key() + "-tables.sql",
                                       script(t_, tablesStatements_, false));
    const Ran ran = runProgram(t_.client(s_, false), env_, file);
    const long long lines = std::count(ran.out.begin(), ran.out.end(), '\n');
    if (ran.exitCode != 0 || lines < small_.tables || ran.firstOutputMs < 0)
      throw Failure("the client listed " + std::to_string(lines) + " lines: " + ran.firstErrLine());
    return ran.firstOutputMs;
  }

  // The find's statements in two sessions of the client at once, the
  // tables shared between them as the command line's two connections
  // share them; both ended, their counts must make the records expected.
  double floorInTwo() {
    const auto halves = splitBetweenTwo(findStatements_);
    std::vector<std::string> files;
    for (size_t k = 0; k < 2; ++k)
      files.push_back(
          writeFile(o_.dir + "/cli-floor-" + t_.key() + "-find-" + std::to_string(k + 1) + ".sql",
                    script(t_, halves[k], true)));
    const auto start = Clock::now();
    auto second = std::async(std::launch::async,
                             [&] { return runProgram(t_.client(a_, true), env_, files[1]); });
    const Ran one = runProgram(t_.client(a_, true), env_, files[0]);
    const Ran two = second.get();
    const double ms = msSince(start);
    long long counted = 0;
    for (const auto& [ran, half] : {std::pair{&one, &halves[0]}, std::pair{&two, &halves[1]}}) {
      if (ran->exitCode != 0)
        throw Failure("the client ended with " + std::to_string(ran->exitCode) + ": " +
                      ran->firstErrLine());
      counted += countedInEcho(ran->out, *half);
    }
    if (counted != expected_)
      throw Failure("the two sessions counted " + std::to_string(counted) + " of " +
                    std::to_string(expected_) + " records");
    return ms;
  }

  // The list through the driver manager and the driver alone, the
  // command line's statements and connection string.
  double odbcTables() {
    if (!fs::exists(o_.odbcFloor)) throw NotAvailable("no " + o_.odbcFloor);
    std::string lines;
    for (std::string s : tablesStatements_) {
      std::replace(s.begin(), s.end(), '\n', ' ');
      lines += s + "\n";
    }
    const std::string file = writeFile(o_.dir + "/cli-odbc-" + t_.key() + "-tables.sql", lines);
    const std::string connection =
        db::makeTarget(t_.fields(s_), db::installedDrivers(), 0, 15).connectionString;
    const Ran ran = runProgram({o_.odbcFloor, connection}, env_, file);
    const long long listed = std::count(ran.out.begin(), ran.out.end(), '\n');
    if (ran.exitCode != 0 || listed < small_.tables || ran.firstOutputMs < 0)
      throw Failure("the bare ODBC client listed " + std::to_string(listed) +
                    " lines: " + ran.firstErrLine());
    return ran.firstOutputMs;
  }

  Target& t_;
  const Options& o_;
  const CliFeatures& f_;
  Measures& m_;
  Shape small_;
  std::string a_, s_, journal_;
  Env env_;
  long long expected_ = 0, expectedSmall_ = 0;
  std::vector<std::string> findStatements_, replaceStatements_, smallStatements_, tablesStatements_;
};

// ---- the window, from --window in a process of its own ----

struct WindowRatios {
  std::optional<double> find, findMs, findFloorMs, replace, replaceMs, replaceFloorMs;
  std::string missing;
};

WindowRatios windowRatios(const Options& o) {
  WindowRatios w;
  std::vector<std::string> argv{o.windowBench,     "--window", "--dir",
                                o.dir + "/window", "--reps",   std::to_string(o.reps)};
  if (o.quick)
    for (const std::string& a : {std::string("--sizes"), std::to_string(o.big.tables),
                                 std::to_string(o.big.rows), std::string("1000")})
      argv.push_back(a);
  progress("the window: " + o.windowBench + " --window");
  const Ran ran = runProgram(argv, {});
  auto number = [&](const std::string& label) -> std::optional<double> {
    const std::regex line("\\| " + label + " \\| ([0-9.]+) \\|");
    std::smatch m;
    if (!std::regex_search(ran.out, m, line)) return std::nullopt;
    return std::stod(m[1]);
  };
  if (ran.exitCode != 0) {
    w.missing = "FAILED: " + ran.firstErrLine();
    return w;
  }
  w.find = number("find / floor");
  w.replace = number("replace / floor");
  w.findMs = number("find over A \\(window, ODBC\\)");
  w.findFloorMs = number("floor: its count statements in SQLite");
  w.replaceMs = number("batch replace over a copy of A");
  w.replaceFloorMs = number("floor: its statements in SQLite");
  if (!w.find || !w.replace) w.missing = "FAILED: no ratios in its output";
  return w;
}

// ---- the table ----

struct Printer {
  void row(const std::string& work, const std::string& engine, std::optional<double> ms,
           std::optional<double> againstMs, const std::string& missing, bool faster,
           double target) {
    const std::string goal = (faster ? ">= " : "<= ") + fixed(target, 2);
    if (!ms || !againstMs) {
      std::printf("| %s | %s | - | - | - | %s | %s |\n", work.c_str(), engine.c_str(), goal.c_str(),
                  missing.empty() ? "n/a" : missing.c_str());
      return;
    }
    const double ratio = faster ? *againstMs / *ms : *ms / *againstMs;
    const bool met = faster ? ratio >= target : ratio <= target;
    std::printf("| %s | %s | %.1f | %.1f | %.3f | %s | %s |\n", work.c_str(), engine.c_str(), *ms,
                *againstMs, ratio, goal.c_str(), met ? "met" : "missed");
  }
  // A row without a target; its ratio "times faster" unless !faster.
  void info(const std::string& work, const std::string& engine, std::optional<double> ms,
            std::optional<double> againstMs, const std::string& missing, bool faster = true) {
    if (!ms || !againstMs) {
      std::printf("| %s | %s | - | - | - | (none) | %s |\n", work.c_str(), engine.c_str(),
                  missing.empty() ? "n/a" : missing.c_str());
      return;
    }
    std::printf("| %s | %s | %.1f | %.1f | %.3f | (none) | |\n", work.c_str(), engine.c_str(), *ms,
                *againstMs, faster ? *againstMs / *ms : *ms / *againstMs);
  }
  static std::string fixed(double v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
  }
};

[[noreturn]] void usage(const std::string& what) {
  std::fprintf(stderr,
               "trellick-bench: %s\nusage: trellick-bench --cli-table [--cli PATH] [--engines "
               "sqlite,postgresql,mariadb] [--sizes TABLES ROWS SMALLTABLES] [--reps N] "
               "[--dir DIR] [--quick] [--window-bench PATH | --no-window]\n",
               what.c_str());
  std::exit(2);
}

}  // namespace

int engineReplaceMain(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: trellick-bench --engine-replace SERVER DATABASE USER\n");
    return 2;
  }
  const char* password = std::getenv(kPasswordVariable);
  const db::ConnectFields fields{argv[2], argv[4], password ? password : "", argv[3]};
  try {
    db::Connection c;
    c.SetCommandTimeout(0);
    c.Open(db::makeTarget(fields, db::installedDrivers(), 0, 15));
    const auto tables = engine::userTables(c);
    OneConnection source(c);
    engine::Observer quiet;
    // As the command line walks: every table's columns from the catalog.
    engine::Options options{engine::Mode::Replace, {kFind, kReplace}};
    options.catalog = engine::readCatalog(c, tables);
    const auto walk = engine::runTables(source, tables, options, quiet);
    long long records = 0, failed = 0;
    for (const auto& r : walk.results) {
      if (r.failure) {
        ++failed;
        std::fprintf(stderr, "%s: %s\n", r.table.name.c_str(),
                     r.failure->englishDescription.c_str());
      }
      if (r.status == engine::Status::Replaced) records += r.records;
    }
    std::printf("REPLACED %lld %lld\n", records, failed);
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "trellick-bench: %s\n", e.what());
    return 1;
  }
}

int cliTableMain(int argc, char** argv) {
  g_start = Clock::now();
  Options o;
  o.self = testsupport::selfExecutable();
  o.cli = (fs::path(o.self).parent_path() / "trellick-cli").string();
  o.odbcFloor = (fs::path(o.self).parent_path() / "trellick-odbc-floor").string();
  o.dir = "bench-data";
  bool sized = false, repsGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--cli-table") continue;
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--cli" && i + 1 < argc) {
      o.cli = argv[++i];
    } else if (a == "--engines" && i + 1 < argc) {
      o.engines.clear();
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        const size_t comma = std::min(list.find(',', at), list.size());
        if (comma > at) o.engines.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
      for (const auto& e : o.engines)
        if (e != "sqlite" && e != "postgresql" && e != "mariadb") usage("unknown engine " + e);
    } else if (a == "--sizes" && i + 3 < argc) {
      o.big = {std::atoi(argv[i + 1]), std::atoi(argv[i + 2])};
      o.smallTables = std::atoi(argv[i + 3]);
      i += 3;
      sized = true;
      if (o.big.tables < 1 || o.big.rows < 20 || o.smallTables < 1) usage("sizes too small");
    } else if (a == "--reps" && i + 1 < argc) {
      o.reps = std::max(1, std::atoi(argv[++i]));
      repsGiven = true;
    } else if (a == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else if (a == "--window-bench" && i + 1 < argc) {
      o.windowBench = fs::absolute(argv[++i]).string();
    } else if (a == "--no-window") {
      o.window = false;
    } else {
      usage("unknown argument " + a);
    }
  }
  if (o.quick && !sized) {
    o.big = {8, 2000};
    o.smallTables = 300;
  }
  if (o.quick && !repsGiven) o.reps = 3;
  o.cli = fs::absolute(o.cli).string();
  if (o.windowBench.empty()) o.windowBench = o.self;
  if (!fs::exists(o.cli)) usage("no trellick-cli at " + o.cli + " (give --cli PATH)");
  fs::create_directories(o.dir + "/xdg");
  o.dir = fs::absolute(o.dir).string();

  const CliFeatures features = featuresOf(o.cli);
  std::vector<std::pair<std::string, Measures>> results;
  std::map<std::string, std::string> titles;
  std::map<std::string, std::string> notes;
  int rc = 0;
  for (const std::string& e : o.engines) {
    Measures m;
    try {
      const std::string program = testsupport::findExecutable(e == "sqlite"       ? "sqlite3"
                                                              : e == "postgresql" ? "psql"
                                                                                  : "mariadb");
      if (program.empty()) throw Failure("the engine's own client is not installed");
      progress(e + ": starting");
      std::unique_ptr<Target> target;
      if (e == "sqlite") target = std::make_unique<SqliteTarget>(o.dir, program);
      if (e == "postgresql") target = std::make_unique<PgTarget>(program);
      if (e == "mariadb") target = std::make_unique<MariaTarget>(program);
      titles[e] = target->title();
      EngineRun run(*target, o, features, m);
      run.run();
      notes[e] =
          std::to_string(run.expected()) + " records found and replaced" +
          (e == "mariadb" ? std::string()
                          : ", " + std::to_string(run.expectedSmall()) + " in the small tables") +
          "; the floor sent " + std::to_string(run.findStatements()) + " statements (find), " +
          std::to_string(run.replaceStatements()) + " (replace)" +
          (e == "mariadb" ? std::string()
                          : ", " + std::to_string(run.smallStatements()) + " (small tables)");
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "trellick-bench: %s: %s\n", e.c_str(), ex.what());
      m.failed = true;
      notes[e] = std::string("not measured: ") + ex.what();
    }
    if (m.failed) rc = 1;
    results.emplace_back(e, std::move(m));
  }
  const bool sqlite = std::find(o.engines.begin(), o.engines.end(), "sqlite") != o.engines.end();
  WindowRatios window;
  if (o.window && sqlite) {
    window = windowRatios(o);
    if (!window.missing.empty()) rc = 1;
  } else {
    window.missing = o.window ? "n/a: SQLite not measured" : "n/a: --no-window";
  }

  auto of = [&](const std::string& e) -> const Measures* {
    for (const auto& [k, m] : results)
      if (k == e) return &m;
    return nullptr;
  };
  auto title = [&](const std::string& e) { return titles.contains(e) ? titles[e] : e; };
  Printer p;
  const Measures none;
  auto rowOf = [&](const std::string& work, const std::string& e, const std::string& id,
                   const std::string& against, bool faster, double target) {
    const Measures* m = of(e);
    if (!m) m = &none;
    std::string missing;
    if (m->missing.contains(id))
      missing = m->missing.at(id);
    else if (m->missing.contains(against))
      missing = m->missing.at(against);
    else if (!of(e))
      missing = "n/a: not run (--engines)";
    else if (!m->median(id) || !m->median(against))
      missing = "not measured";
    p.row(work, title(e), m->median(id), m->median(against), missing, faster, target);
  };

  std::printf("\nTrellick command-line benchmark%s: %s; median of %d (of %d for tables)\n",
              o.quick ? " (quick sizes)" : "", machineDescription().c_str(), o.reps,
              o.reps * kTablesSamples);
  std::printf("trellick-cli: %s\n", o.cli.c_str());
  if (o.window && sqlite) std::printf("the window: %s --window\n", o.windowBench.c_str());
  std::printf(
      "A: %d tables x %d rows, 4 text columns, 5%% of rows holding the text; S: %d tables x 5 "
      "rows. Floor: the engine's own client (sqlite3, psql, mariadb) sending the statements "
      "this build's engine sends, in one session. Times in ms, process start to exit.\n\n",
      o.big.tables, o.big.rows, o.smallTables);
  std::printf("| work | engine | ms | against, ms | ratio | target | |\n");
  std::printf("|---|---|---:|---:|---:|---|---|\n");
  for (const char* e : {"sqlite", "postgresql", "mariadb"})
    rowOf("find / floor (A)", e, "find.cli", "find.floor", false, 1.10);
  for (const char* e : {"postgresql", "mariadb"})
    rowOf("find --jobs 2 against --jobs 1 (A), times faster", e, "find.jobs2", "find.cli", true,
          1.6);
  for (const char* e : {"sqlite", "postgresql", "mariadb"})
    rowOf("replace with the journal / without (A)", e, "replace.journal", "replace.plain", false,
          1.3);
  for (const char* e : {"sqlite", "postgresql"})
    rowOf("replace without the journal / floor (A)", e, "replace.plain", "replace.floor", false,
          1.10);
  for (const char* e : {"sqlite", "postgresql"})
    rowOf("undo / the replace it takes back (A)", e, "undo", "replace.journal", false, 1.0);
  for (const char* e : {"sqlite", "postgresql"})
    rowOf("find / floor, " + std::to_string(o.smallTables) + " small tables (S)", e, "small.cli",
          "small.floor", false, 1.5);
  p.row("the window's find / floor (trellick-bench --window)",
        titles.contains("sqlite") ? titles["sqlite"] : "SQLite",
        window.find ? window.findMs : std::nullopt, window.find ? window.findFloorMs : std::nullopt,
        window.missing, false, 1.10);
  p.row("the window's batch replace / floor (trellick-bench --window)",
        titles.contains("sqlite") ? titles["sqlite"] : "SQLite",
        window.replace ? window.replaceMs : std::nullopt,
        window.replace ? window.replaceFloorMs : std::nullopt, window.missing, false, 1.10);
  rowOf("tables, time to first output / the client's (S)", "sqlite", "tables.cli", "tables.floor",
        false, 1.2);
  // Rows without a target: what the machine and the driver allow the rows
  // above, and what --jobs gives replace.
  auto infoOf = [&](const std::string& work, const std::string& e, const std::string& id,
                    const std::string& against, bool faster) {
    const Measures* m = of(e);
    if (!m) m = &none;
    const std::string missing =
        m->missing.contains(id) ? m->missing.at(id) : (of(e) ? "" : "n/a: not run");
    p.info(work, title(e), m->median(id), m->median(against), missing, faster);
  };
  infoOf("tables, a bare ODBC client's first output / the client's (S)", "sqlite", "tables.odbc",
         "tables.floor", false);
  for (const char* e : {"postgresql", "mariadb"})
    infoOf("find's floor in two sessions against one (A), times faster", e, "find.floor2",
           "find.floor", true);
  for (const char* e : {"postgresql", "mariadb"})
    infoOf("replace --jobs 2 against --jobs 1 (A), times faster", e, "replace.jobs2",
           "replace.journal", true);
  std::printf("\n");
  for (const char* e : {"sqlite", "postgresql", "mariadb"})
    if (notes.contains(e)) std::printf("%s: %s\n", title(e).c_str(), notes[e].c_str());
  std::printf("total %.1f s\n", msSince(g_start) / 1000);
  return rc;
}

}  // namespace trellick::bench
