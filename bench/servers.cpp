// The find and the batch replace on real PostgreSQL and MariaDB servers,
// each against its floor: the statements the window sent, run by the
// engine's own client library (libpq, libmariadb) with no ODBC and no
// window in between. The floor connects, lists the tables, reads each
// table's columns and counts, as the window must.
#include "bench/servers.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "bench/bench_ui.h"
#include "bench/clients.h"
#include "bench/data.h"
#include "bench/timing.h"
#include "db/connection.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/journal.h"
#include "maintenance/shrink.h"
#include "tests/mariadb_server.h"
#include "tests/pg_server.h"
#include "transform/make_rewriter.h"

namespace trellick::bench {
namespace {

const std::string kFind = "old.example.com";
const std::string kReplace = "new.example.org";

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// ---- the data of database A, as the SQLite measurement generates it ----

using trellick::bench::Lcg;
using trellick::bench::words;

// About 1% of the values hold the search text, put in the middle but never
// inside a character: the servers take only well-formed UTF-8.
std::string value(Lcg& r, size_t length) {
  std::string v = words(r, length);
  if (r.next() % 100 == 0) {
    size_t at = v.size() / 2;
    while (at > 0 && (static_cast<unsigned char>(v[at]) & 0xC0) == 0x80) --at;
    v.insert(at, " http://" + kFind + "/p ");
  }
  return v;
}

struct Row {
  std::string v, nv, t, c;
};

// One table's rows; the generator runs on from table to table.
std::vector<Row> tableRows(Lcg& r, int rows) {
  std::vector<Row> out;
  out.reserve(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    Row row;
    row.v = value(r, 60);
    row.nv = value(r, 30);
    row.t = value(r, 120);
    row.c = value(r, 12);
    out.push_back(std::move(row));
  }
  return out;
}

// The product's own ODBC layer, without the window.
class OdbcClient : public Client {
 public:
  explicit OdbcClient(const db::ConnectFields& fields) {
    try {
      conn_.SetCommandTimeout(10);
      conn_.Open(db::makeTarget(fields, db::installedDrivers(), conn_.CommandTimeout()));
    } catch (const std::exception& e) {
      throw Failure(std::string("ODBC: ") + e.what());
    }
  }
  std::optional<long long> run(const std::string& sql) override {
    try {
      std::optional<long long> first;
      if (startsWith(sql, "select * from ")) {
        // Opened as the window opens it.
        db::Recordset rs;
        rs.Open(sql, conn_, db::adOpenForwardOnly, db::adLockReadOnly, -1, db::OpenOptions{1});
        if (rs.State() == db::adStateOpen) rs.Close();
        return first;
      }
      auto rs = conn_.Execute(sql);
      if (rs->State() == db::adStateOpen) {
        if (!rs->Eof() && startsWith(sql, "select count(*)"))
          first = rs->Fields().Item(0).Value().toInt64();
        rs->Close();
      }
      return first;
    } catch (const std::exception& e) {
      throw Failure(std::string("ODBC: ") + e.what());
    }
  }

 private:
  db::Connection conn_;
};

// ---- the two servers ----

class Server {
 public:
  virtual ~Server() = default;
  virtual std::string name() const = 0;
  virtual QString field() const = 0;
  virtual QString user() const = 0;
  virtual QString password() const = 0;
  virtual search::Engine engine() const = 0;
  // A connection as the window's: the product's login, over TCP.
  virtual std::unique_ptr<Client> login(const std::string& database) = 0;
  std::unique_ptr<Client> odbc(const std::string& database) const {
    return std::make_unique<OdbcClient>(db::ConnectFields{
        field().toStdString(), user().toStdString(), password().toStdString(), database});
  }
  virtual void load(const std::string& database, int tables, int rows) = 0;
  virtual void copy(const std::string& from, const std::string& to, int tables) = 0;
  // Makes to hold from's rows again after a replace on a copy of from.
  virtual void refresh(const std::string& from, const std::string& to, int tables) {
    copy(from, to, tables);
  }
  virtual void drop(const std::string& database) = 0;
  // How many rows of the tables hold text in one of their text columns,
  // compared byte for byte.
  virtual long long holding(const std::string& database, int tables, const std::string& text) = 0;
};

class PostgreSQL : public Server {
 public:
  PostgreSQL() {
    if (!server_.ok()) throw Failure("PostgreSQL: " + server_.errorText().toStdString());
    admin_ = std::make_unique<PgClient>(server_.host().toStdString(), server_.port(), "postgres",
                                        server_.superuser().toStdString(),
                                        server_.superuserPassword().toStdString());
    // Nothing runs behind the measurements' backs; the replace vacuums itself.
    admin_->run("alter system set autovacuum = off");
    admin_->run("select pg_reload_conf()");
    const int v = admin_->serverVersion();
    name_ = "PostgreSQL " + std::to_string(v / 10000) + "." + std::to_string(v % 10000);
  }
  std::string name() const override { return name_; }
  QString field() const override { return server_.serverField(); }
  QString user() const override { return server_.user(); }
  QString password() const override { return server_.password(); }
  search::Engine engine() const override { return search::Engine::PostgreSQL; }
  std::unique_ptr<Client> login(const std::string& database) override {
    return std::make_unique<PgClient>(server_.host().toStdString(), server_.port(), database,
                                      user().toStdString(), password().toStdString());
  }
  void load(const std::string& database, int tables, int rows) override {
    drop(database);
    admin_->run("create database \"" + database + "\" owner " + user().toStdString());
    auto c = std::make_unique<PgClient>(server_.host().toStdString(), server_.port(), database,
                                        user().toStdString(), password().toStdString());
    Lcg r{20261207};
    for (int k = 0; k < tables; ++k) {
      const std::string t = tableName(k);
      // char(80): the generated short values run to 65 characters.
      c->run("create table " + t +
             " (id integer primary key, v varchar(200), nv varchar(100), t text, c char(80))");
      std::string data;
      int id = 0;
      for (const Row& row : tableRows(r, rows))
        data += std::to_string(++id) + '\t' + row.v + '\t' + row.nv + '\t' + row.t + '\t' + row.c +
                '\n';
      c->copyIn("copy " + t + " from stdin", data);
    }
    c->run("vacuum analyze");
  }
  void copy(const std::string& from, const std::string& to, int) override {
    drop(to);
    // A file copy: no WAL for the whole database.
    admin_->run("create database \"" + to + "\" template \"" + from + "\" owner " +
                user().toStdString() + " strategy file_copy");
  }
  void drop(const std::string& database) override {
    admin_->run("drop database if exists \"" + database + "\" with (force)");
  }
  long long holding(const std::string& database, int tables, const std::string& text) override {
    auto c = login(database);
    long long total = 0;
    for (int k = 0; k < tables; ++k)
      total += c->run("select count(*) from " + tableName(k) +
                      " where strpos(concat_ws(' ', v, nv, t, c), '" + text + "') > 0")
                   .value_or(0);
    return total;
  }
  // One table rx(id, v) of `rows` rows, every twentieth holding
  // "http://old.example.com/p<id>" amid words.
  void loadRegexTable(const std::string& database, int rows) {
    drop(database);
    admin_->run("create database \"" + database + "\" owner " + user().toStdString());
    auto c = std::make_unique<PgClient>(server_.host().toStdString(), server_.port(), database,
                                        user().toStdString(), password().toStdString());
    c->run("create table rx (id integer primary key, v text)");
    Lcg r{20261208};
    std::string data;
    for (int id = 1; id <= rows; ++id) {
      std::string v = words(r, 80);
      if (id % 20 == 0) {
        // Never inside a character.
        size_t at = v.size() / 2;
        while (at > 0 && (static_cast<unsigned char>(v[at]) & 0xC0) == 0x80) --at;
        v.insert(at, " http://" + kFind + "/p" + std::to_string(id) + " ");
      }
      data += std::to_string(id) + '\t' + v + '\n';
    }
    c->copyIn("copy rx from stdin", data);
    c->run("vacuum analyze");
  }

 private:
  PgServer server_;
  std::unique_ptr<PgClient> admin_;
  std::string name_;
};

class MariaDB : public Server {
 public:
  MariaDB() {
    if (!server_.ok()) throw Failure("MariaDB: " + server_.errorText().toStdString());
    admin_ = std::make_unique<MariaClient>("", 0, "", "root", "",
                                           server_.directory().toStdString() + "/mariadb.sock");
    name_ = "MariaDB " + admin_->serverInfo();
    if (const size_t dash = name_.find('-'); dash != std::string::npos) name_.resize(dash);
  }
  std::string name() const override { return name_; }
  QString field() const override { return server_.serverField(); }
  QString user() const override { return server_.user(); }
  QString password() const override { return server_.password(); }
  search::Engine engine() const override { return search::Engine::MariaDB; }
  std::unique_ptr<Client> login(const std::string& database) override {
    return std::make_unique<MariaClient>(server_.host().toStdString(), server_.port(), database,
                                         user().toStdString(), password().toStdString());
  }
  void load(const std::string& database, int tables, int rows) override {
    create(database);
    Lcg r{20261207};
    const std::string db = "`" + database + "`.";
    for (int k = 0; k < tables; ++k) {
      const std::string t = db + tableName(k);
      // nvarchar is the national (three-byte) character set here: one
      // column whose text is converted for the comparison.
      admin_->run("create table " + t +
                  " (id int primary key, v varchar(200), nv nvarchar(100), t text, c char(80))");
      MariaInsert insert(*admin_, t);
      int id = 0;
      for (const Row& row : tableRows(r, rows)) insert.add(++id, {row.v, row.nv, row.t, row.c});
      insert.finish();
    }
  }
  void copy(const std::string& from, const std::string& to, int tables) override {
    create(to);
    mariaCopyTables(*admin_, from, to, tables);
  }
  // Copying A takes long here; a replaced copy gets back the rows the
  // replace changed instead. It is as fresh as a copy where it matters: the
  // replace starts by rebuilding every table.
  void refresh(const std::string& from, const std::string& to, int tables) override {
    if (!copies_.contains(to)) {
      copy(from, to, tables);
      copies_.insert(to);
      return;
    }
    mariaRestoreRows(*admin_, from, to, tables, {"v", "nv", "t", "c"});
  }
  void drop(const std::string& database) override {
    copies_.erase(database);
    admin_->run("drop database if exists `" + database + "`");
  }
  long long holding(const std::string& database, int tables, const std::string& text) override {
    return mariaHolding(*login(database), tables, "v, nv, t, c", text);
  }

 private:
  void create(const std::string& database) {
    drop(database);
    admin_->run("create database `" + database + "` character set utf8mb4");
    admin_->run("grant all privileges on `" + database + "`.* to 'trellick'@'%'");
  }

  MariaDbServer server_;
  std::unique_ptr<MariaClient> admin_;
  std::set<std::string> copies_;
  std::string name_;
};

// ---- the window, scripted ----

struct Window {
  BenchUi ui;
  trellick::app::SettingsStore settings;
  trellick::app::Form1 form{ui, settings};
  Window(const Server& server, const std::string& database) {
    form.show();
    form.txtServerName->setText(server.field());
    form.txtUsername->setText(server.user());
    form.txtPassword->setText(server.password());
    form.txtDatabaseName->setText(QString::fromStdString(database));
    form.txt1->setText(QString::fromStdString(kFind));
    form.txt2->setText(QString::fromStdString(kReplace));
    QCoreApplication::processEvents();
  }
  // The run went through every table without a failure.
  void checkClean(const std::string& what) const {
    if (!form.noRunSQL.isEmpty())
      throw Failure(what + " collected failures:\n" + form.noRunSQL.toStdString());
  }
};

// Runs f while recording the statements the layer sends.
std::vector<std::string> recording(const std::function<void()>& f) {
  std::vector<std::string> sent;
  db::setStatementObserver([&](const std::string& s) { sent.push_back(s); });
  try {
    f();
  } catch (...) {
    db::setStatementObserver(nullptr);
    throw;
  }
  db::setStatementObserver(nullptr);
  return sent;
}

// ---- the floor ----

struct Floor {
  // The window's statements, in order.
  std::vector<std::string> sent;
  // Maintenance statements the window sends whatever becomes of them (a
  // checkpoint needs more than the product's login on PostgreSQL).
  std::set<std::string> tolerated;
};

Floor floorOf(std::vector<std::string> sent, const Server& server, const std::string& database,
              int tables) {
  Floor f;
  f.sent = std::move(sent);
  std::vector<search::TableRef> refs;
  for (int k = 0; k < tables; ++k) refs.emplace_back(tableName(k));
  for (std::string& s : maintenance::shrinkStatements(database, server.engine(), refs))
    f.tolerated.insert(std::move(s));
  return f;
}

struct FloorRun {
  double ms = 0;
  double updateMs = 0;    // of which the update statements
  long long counted = 0;  // the sum of the count statements
  int updates = 0;
};

// Connects and sends every statement in order, timed from the connect to
// the last result. The window reads one row of "select * from" (its
// columns, and whether a row exists) and tells the driver to fetch no more;
// a client library is told so in the statement.
FloorRun runFloor(const std::function<std::unique_ptr<Client>()>& connect, const Floor& floor,
                  bool /*native*/) {
  FloorRun out;
  const auto start = Clock::now();
  {
    auto c = connect();
    for (const std::string& sql : floor.sent) {
      // A journaled replace on PostgreSQL updates inside a with clause that
      // hands the rows back to the journal.
      const bool update =
          startsWith(sql, "Update ") ||
          (startsWith(sql, "with ") && sql.find(" as (update ") != std::string::npos);
      const auto t0 = Clock::now();
      try {
        // The statements as the window sent them: its column query already
        // asks for one row.
        const auto first = c->run(sql);
        if (startsWith(sql, "select count(*)")) out.counted += first.value_or(0);
      } catch (const Failure&) {
        if (!floor.tolerated.contains(sql)) throw;
      }
      if (update) {
        out.updateMs += msSince(t0);
        ++out.updates;
      }
    }
  }
  out.ms = msSince(start);
  return out;
}

// Writes back what making a copy left dirty, so that it does not land
// inside a timed run.
void settle() { ::sync(); }

Clock::time_point g_start;

// A line of progress on standard error, so a long run shows where it is.
void progress(const std::string& what) {
  std::fprintf(stderr, "[%6.1f s] %s\n", msSince(g_start) / 1000, what.c_str());
}

struct Result {
  std::string engine;
  // PostgreSQL only: the engine's replace by the row rewriter against its
  // one update (both journaled, literal text), and a pattern matching 5%
  // of a table's rows against the server's own regexp_replace update.
  bool rewriter = false;
  double rewriterMs = 0, updateMs = 0;
  double regexMs = 0, regexNativeMs = 0;
  int regexRows = 0;
  long long regexMatched = 0;
  double find = 0, findFloor = 0, findOdbc = 0;
  double replace = 0, replaceFloor = 0, replaceOdbc = 0, updatesOnly = 0;
  long long records = 0;
  size_t findStatements = 0, replaceStatements = 0;
  double loadMs = 0;
  std::string replaceFailure;  // why the replace was not measured
};

// A replace round on MariaDB rebuilds every table four times (the window's
// and the floor's, before and after): at full size three rounds keep the
// run within minutes.
int replaceReps(const ServerSizes& sizes) { return std::min(sizes.reps, 3); }

// The engine's replace of every table of `database` through the product's
// ODBC layer, journaled in a file of its own; by the row rewriter when one
// is given. Returns the records replaced.
long long engineReplace(const Server& server, const std::string& database,
                        std::shared_ptr<const transform::Rewriter> rewriter) {
  db::Connection conn;
  conn.SetCommandTimeout(0);
  const db::ConnectFields fields{server.field().toStdString(), server.user().toStdString(),
                                 server.password().toStdString(), database};
  conn.Open(db::makeTarget(fields, db::installedDrivers(), 0));
  const auto tables = engine::userTables(conn);
  QTemporaryDir dir;
  journal::Journal journal(dir.filePath("journal.db").toStdString());
  engine::Options options{engine::Mode::Replace, {kFind, kReplace}};
  options.rewriter = std::move(rewriter);
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  struct One : engine::ConnectionSource {
    db::Connection& conn;
    explicit One(db::Connection& c) : conn(c) {}
    db::Connection& current() override { return conn; }
    void reconnect() override { throw Failure("the engine lost its connection"); }
  } source(conn);
  engine::Observer quiet;
  const auto walk = engine::runTables(source, tables, options, quiet);
  long long records = 0;
  for (const auto& r : walk.results) {
    if (r.failure)
      throw Failure("the engine failed on " + r.table.name + ": " + r.failure->description);
    if (r.status == engine::Status::Replaced) records += r.records;
  }
  journal.finishRun(options.journalRun);
  return records;
}

// The pattern of the regex measure, as PCRE2 and PostgreSQL both read it.
const std::string kPattern = "http://old\\.example\\.com/p([0-9]+)";

void measureRewriter(PostgreSQL& server, const ServerSizes& sizes, Result& res,
                     const std::string& dbA) {
  transform::Options literal;
  literal.pairs.push_back({kFind, kReplace});
  const std::shared_ptr<const transform::Rewriter> rewriter = transform::makeRewriter(literal);
  std::vector<double> rewriterMs, updateMs;
  const std::string rewritten = "a_rewriter", updated = "a_update";
  for (int rep = 0; rep < replaceReps(sizes); ++rep) {
    progress(res.engine + ": rewriter and update " + std::to_string(rep + 1));
    server.copy(dbA, rewritten, sizes.tables);
    server.copy(dbA, updated, sizes.tables);
    settle();
    for (int k = 0; k < 2; ++k) {
      const bool rewriting = (rep + k) % 2 == 0;
      const std::string db = rewriting ? rewritten : updated;
      const auto t0 = Clock::now();
      const long long replaced = engineReplace(server, db, rewriting ? rewriter : nullptr);
      (rewriting ? rewriterMs : updateMs).push_back(msSince(t0));
      const long long left = server.holding(db, sizes.tables, kFind);
      const long long now = server.holding(db, sizes.tables, kReplace);
      if (replaced != res.records || left != 0 || now != res.records)
        throw Failure(res.engine + ": the " + (rewriting ? "rewriter" : "update") + " replaced " +
                      std::to_string(replaced) + " records; " + db + " holds the search text in " +
                      std::to_string(left) + " rows and the replacement in " + std::to_string(now) +
                      " of " + std::to_string(res.records));
    }
  }
  server.drop(rewritten);
  server.drop(updated);
  res.rewriterMs = median(rewriterMs);
  res.updateMs = median(updateMs);

  // The pattern over a table where one row in twenty matches.
  res.regexRows = std::min(sizes.tables * sizes.rows, 200000);
  const std::string source = "r", mine = "r_rewriter", theirs = "r_native";
  progress(res.engine + ": loading the regex table");
  server.loadRegexTable(source, res.regexRows);
  transform::Options pattern;
  pattern.regex = true;
  pattern.pairs.push_back({kPattern, "https://" + kReplace + "/q$1"});
  const std::shared_ptr<const transform::Rewriter> regex = transform::makeRewriter(pattern);
  const std::string native = "update rx set v = regexp_replace(v, '" + kPattern + "', 'https://" +
                             kReplace + "/q\\1', 'g') where v ~ '" + kPattern + "'";
  std::vector<double> regexMs, nativeMs;
  for (int rep = 0; rep < replaceReps(sizes); ++rep) {
    progress(res.engine + ": regex " + std::to_string(rep + 1));
    server.copy(source, mine, 1);
    server.copy(source, theirs, 1);
    settle();
    long long replaced = 0;
    for (int k = 0; k < 2; ++k) {
      const auto t0 = Clock::now();
      if ((rep + k) % 2 == 0) {
        replaced = engineReplace(server, mine, regex);
        regexMs.push_back(msSince(t0));
      } else {
        server.login(theirs)->run(native);
        nativeMs.push_back(msSince(t0));
      }
    }
    // Both end alike: the same rows rewritten, nothing of the pattern left.
    const std::string left = "select count(*) from rx where v ~ '" + kPattern + "'";
    const std::string now =
        "select count(*) from rx where strpos(v, 'https://" + kReplace + "/q') > 0";
    const std::string digest = "select sum(hashtext(v)::bigint) from rx";
    const long long mineLeft = server.login(mine)->run(left).value_or(-1);
    const long long theirsLeft = server.login(theirs)->run(left).value_or(-1);
    const long long mineNow = server.login(mine)->run(now).value_or(-1);
    const long long theirsNow = server.login(theirs)->run(now).value_or(-1);
    const bool alike = server.login(mine)->run(digest) == server.login(theirs)->run(digest);
    if (!alike || mineLeft != 0 || theirsLeft != 0 || mineNow != theirsNow || replaced != mineNow ||
        mineNow != res.regexRows / 20)
      throw Failure(res.engine + ": the regex replace " +
                    (alike ? "" : "left other values than regexp_replace; it ") + "left " +
                    std::to_string(mineLeft) + " matching rows (regexp_replace " +
                    std::to_string(theirsLeft) + ") and " + std::to_string(mineNow) +
                    " rewritten (regexp_replace " + std::to_string(theirsNow) +
                    ", the engine told " + std::to_string(replaced) + ", expected " +
                    std::to_string(res.regexRows / 20) + ")");
    res.regexMatched = mineNow;
  }
  server.drop(mine);
  server.drop(theirs);
  server.drop(source);
  res.regexMs = median(regexMs);
  res.regexNativeMs = median(nativeMs);
  res.rewriter = true;
}

Result measure(Server& server, const ServerSizes& sizes) {
  Result res;
  res.engine = server.name();
  const std::string dbA = "a";
  progress(res.engine + ": loading A");
  auto start = Clock::now();
  server.load(dbA, sizes.tables, sizes.rows);
  res.loadMs = msSince(start);
  settle();
  if (sizes.rewriterOnly) {
    res.records = server.holding(dbA, sizes.tables, kFind);
    if (auto* pg = dynamic_cast<PostgreSQL*>(&server)) measureRewriter(*pg, sizes, res, dbA);
    server.drop(dbA);
    return res;
  }
  auto native = [&](const std::string& db) { return [&server, db] { return server.login(db); }; };
  auto odbc = [&](const std::string& db) {
    return [&server, db]() -> std::unique_ptr<Client> { return server.odbc(db); };
  };

  // The find over A; its statements through the client library, and
  // through the product's own ODBC layer without the window (where the
  // difference lies). The order alternates, so that no side always runs on
  // another's cache; a floor that runs first sends the previous find's
  // statements.
  std::vector<double> findMs, floorMs, odbcMs;
  Floor floor;
  for (int rep = 0; rep < sizes.reps; ++rep) {
    progress(res.engine + ": find " + std::to_string(rep + 1));
    long long found = 0;
    auto window = [&] {
      Window w(server, dbA);
      const auto t0 = Clock::now();
      auto sent = recording([&] { w.form.cmdFind_Click(); });
      findMs.push_back(msSince(t0));
      w.checkClean("the find");
      found = w.form.FindRsCount;
      floor = floorOf(std::move(sent), server, dbA, sizes.tables);
    };
    if (rep % 2 == 0) window();
    const FloorRun run = runFloor(native(dbA), floor, true);
    floorMs.push_back(run.ms);
    const FloorRun layer = runFloor(odbc(dbA), floor, false);
    odbcMs.push_back(layer.ms);
    if (rep % 2 == 1) window();
    if (found != run.counted || found != layer.counted)
      throw Failure(res.engine + ": the find counted " + std::to_string(found) +
                    " records, the floor " + std::to_string(run.counted) + ", the ODBC layer " +
                    std::to_string(layer.counted));
    if (found == 0) throw Failure(res.engine + ": nothing found in A");
    res.records = found;
    res.findStatements = floor.sent.size();
  }
  res.find = median(findMs);
  res.findFloor = median(floorMs);
  res.findOdbc = median(odbcMs);

  // The row rewriter first: a replace that cannot be measured below
  // leaves it measured.
  if (auto* pg = dynamic_cast<PostgreSQL*>(&server)) measureRewriter(*pg, sizes, res, dbA);
  try {
    // The batch replace on a fresh copy of A, its statements on another, in
    // alternating order as above; in the first round also through the ODBC
    // layer on a third (a copy for every round would double a long run).
    std::vector<double> replaceMs, replaceFloorMs, updatesMs;
    const std::string mine = "a_window", theirs = "a_floor", layers = "a_odbc";
    for (int rep = 0; rep < replaceReps(sizes); ++rep) {
      progress(res.engine + ": replace " + std::to_string(rep + 1));
      std::vector<std::string> copies{mine, theirs};
      if (rep == 0) copies.push_back(layers);
      for (const std::string& db : copies) {
        server.refresh(dbA, db, sizes.tables);
        if (rep > 0 && (server.holding(db, sizes.tables, kFind) != res.records ||
                        server.holding(db, sizes.tables, kReplace) != 0))
          throw Failure(res.engine + ": " + db + " is not A again");
      }
      settle();
      long long replaced = 0;
      auto window = [&] {
        Window w(server, mine);
        const auto t0 = Clock::now();
        auto sent = recording([&] { w.form.Command5_Click(); });
        replaceMs.push_back(msSince(t0));
        w.checkClean("the replace");
        replaced = w.form.FindRsCount;
        floor = floorOf(std::move(sent), server, mine, sizes.tables);
      };
      if (rep % 2 == 0) window();
      const FloorRun run = runFloor(native(theirs), floor, true);
      replaceFloorMs.push_back(run.ms);
      updatesMs.push_back(run.updateMs);
      if (rep == 0) res.replaceOdbc = runFloor(odbc(layers), floor, false).ms;
      if (rep % 2 == 1) window();
      res.replaceStatements = floor.sent.size();
      if (run.updates == 0) throw Failure(res.engine + ": the replace sent no update");
      // Every copy must end alike: nothing of the search text left, each
      // found record holding the replacement.
      for (const std::string& db : copies) {
        const long long left = server.holding(db, sizes.tables, kFind);
        const long long now = server.holding(db, sizes.tables, kReplace);
        if (left != 0 || now != res.records || replaced != res.records)
          throw Failure(res.engine + ": after the replace " + db + " holds the search text in " +
                        std::to_string(left) + " rows and the replacement in " +
                        std::to_string(now) + "; the window replaced " + std::to_string(replaced) +
                        ", the find found " + std::to_string(res.records));
      }
      if (rep == 0) server.drop(layers);
    }
    server.drop(mine);
    server.drop(theirs);
    res.replace = median(replaceMs);
    res.replaceFloor = median(replaceFloorMs);
    res.updatesOnly = median(updatesMs);
  } catch (const Failure& e) {
    // Told with the results, and the run ends non-zero.
    res.replaceFailure = e.what();
    progress(res.engine + ": replace not measured: " + res.replaceFailure);
    for (const char* db : {"a_window", "a_floor", "a_odbc"}) server.drop(db);
  }
  server.drop(dbA);
  progress(res.engine + ": done");
  return res;
}

}  // namespace

int runServerBenchmark(const ServerSizes& sizes, bool quick) {
  g_start = Clock::now();
  std::vector<Result> results;
  try {
    // One server at a time: the two never compete for the cores.
    {
      progress("starting PostgreSQL");
      PostgreSQL pg;
      results.push_back(measure(pg, sizes));
    }
    if (!sizes.rewriterOnly) {
      progress("starting MariaDB");
      MariaDB maria;
      results.push_back(measure(maria, sizes));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "trellick-bench: %s\n", e.what());
    return 1;
  }

  std::printf("\nTrellick server benchmark%s: %s; median of %d (replace: %d)\n",
              quick ? " (quick sizes)" : "", machineDescription().c_str(), sizes.reps,
              replaceReps(sizes));
  std::printf(
      "A: %d tables x %d rows; floor: the window's statements through libpq / "
      "libmariadb\n\n",
      sizes.tables, sizes.rows);
  std::printf("| engine | measure | median ms | floor ms | ratio | target | |\n");
  std::printf("|---|---|---:|---:|---:|---|---|\n");
  for (const Result& r : results) {
    auto row = [&](const char* what, double ms, double floor) {
      const double ratio = ms / floor;
      std::printf("| %s | %s | %.1f | %.1f | %.3f | <= 1.10 | %s |\n", r.engine.c_str(), what, ms,
                  floor, ratio, ratio <= 1.10 ? "PASS" : "MISS");
    };
    if (!sizes.rewriterOnly) {
      row("find / floor", r.find, r.findFloor);
      if (r.replaceFailure.empty())
        row("replace / floor", r.replace, r.replaceFloor);
      else
        std::printf("| %s | replace / floor | - | - | - | <= 1.10 | NOT MEASURED |\n",
                    r.engine.c_str());
    }
    if (!r.rewriter) continue;
    auto bounded = [&](const char* what, double ms, double floor, double target) {
      const double ratio = ms / floor;
      std::printf("| %s | %s | %.1f | %.1f | %.3f | <= %.2f | %s |\n", r.engine.c_str(), what, ms,
                  floor, ratio, target, ratio <= target ? "PASS" : "MISS");
    };
    bounded("row rewriter / one update (engine, journaled, literal text)", r.rewriterMs, r.updateMs,
            2.0);
    bounded("regex rewriter (5% of rows) / regexp_replace update", r.regexMs, r.regexNativeMs, 1.5);
  }
  // Where a difference lies: the same statements through the product's
  // ODBC layer without the window.
  std::printf(
      "\n| engine | run | statements | window ms | ODBC layer ms | floor ms | "
      "floor's updates ms |\n|---|---|---:|---:|---:|---:|---:|\n");
  for (const Result& r : results) {
    std::printf("| %s | find | %zu | %.1f | %.1f | %.1f | |\n", r.engine.c_str(), r.findStatements,
                r.find, r.findOdbc, r.findFloor);
    std::printf("| %s | replace | %zu | %.1f | %.1f | %.1f | %.1f |\n", r.engine.c_str(),
                r.replaceStatements, r.replace, r.replaceOdbc, r.replaceFloor, r.updatesOnly);
  }
  std::printf("(the replace through the ODBC layer: one run, in the first round)\n\n");
  for (const Result& r : results)
    std::printf("%s: A loaded in %.1f s; find and floor both counted %lld records, %s\n",
                r.engine.c_str(), r.loadMs / 1000, r.records,
                r.replaceFailure.empty() ? "all replaced" : "the replace not measured");
  for (const Result& r : results)
    if (r.rewriter)
      std::printf(
          "%s: the row rewriter and the one update each replaced %lld records of A; the regex "
          "rewrote %lld of %d rows, as regexp_replace did\n",
          r.engine.c_str(), r.records, r.regexMatched, r.regexRows);
  std::printf("total %.1f s\n", msSince(g_start) / 1000);
  int rc = 0;
  for (const Result& r : results)
    if (!r.replaceFailure.empty()) {
      std::fprintf(stderr, "trellick-bench: %s: the replace was not measured: %s\n",
                   r.engine.c_str(), r.replaceFailure.c_str());
      rc = 1;
    }
  return rc;
}

}  // namespace trellick::bench
