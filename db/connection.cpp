#include "db/connection.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/utf8.h"
#include "db/core.h"
#include "db/recordset.h"
#include "platform/platform.h"

#ifdef _WIN32
// What the drivers' installers name them, for a driver manager that lists
// none.
#define TRELLICK_SQLITE_DRIVER_PATH "SQLite3 ODBC Driver"
#define TRELLICK_TDS_DRIVER_PATH "SQL Server"
#define TRELLICK_PSQL_DRIVER_PATH "PostgreSQL Unicode(x64)"
#define TRELLICK_MARIADB_DRIVER_PATH "MariaDB ODBC 3.1 Driver"
#endif
#ifndef TRELLICK_SQLITE_DRIVER_PATH
#define TRELLICK_SQLITE_DRIVER_PATH "libsqlite3odbc.so"
#endif
#ifndef TRELLICK_TDS_DRIVER_PATH
#define TRELLICK_TDS_DRIVER_PATH "libtdsodbc.so"
#endif
#ifndef TRELLICK_PSQL_DRIVER_PATH
#define TRELLICK_PSQL_DRIVER_PATH "psqlodbcw.so"
#endif
#ifndef TRELLICK_MARIADB_DRIVER_PATH
#define TRELLICK_MARIADB_DRIVER_PATH "libmaodbc.so"
#endif

namespace trellick::db {
namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::string dbmsName(SQLHDBC dbc) {
  SQLCHAR buf[256] = {0};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DBMS_NAME, buf, sizeof buf, &len))) return {};
  return reinterpret_cast<const char*>(buf);
}

// Connects go one at a time, so that the sockets that appear meanwhile are
// the connection's own.
std::mutex& connectingMutex() {
  static std::mutex m;
  return m;
}

// Holds a connect to its time-out where the driver does not: FreeTDS keeps
// waiting for a login answer whatever SQL_ATTR_LOGIN_TIMEOUT says. Past
// the time-out (and a second for the driver's own to come first), the
// sockets opened since the connect began are shut down, and the driver's
// call returns with its connection lost.
class ConnectWatch {
 public:
  explicit ConnectWatch(int seconds)
      : lock_(connectingMutex()),
        before_(platform::openSockets()),
        started_(std::chrono::steady_clock::now()),
        seconds_(seconds) {
    if (seconds > 0) thread_ = std::thread([this] { run(); });
  }
  ~ConnectWatch() { finish(); }
  ConnectWatch(const ConnectWatch&) = delete;
  ConnectWatch& operator=(const ConnectWatch&) = delete;

  // Ends the watch; whether the connect took its whole time-out.
  bool finish() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (lock_.owns_lock()) {
      opened_ = fresh();
      lock_.unlock();
    }
    return seconds_ > 0 &&
           (fired_ || std::chrono::steady_clock::now() - started_ >=
                          std::chrono::seconds(seconds_) - std::chrono::milliseconds(500));
  }

  // The sockets the connect opened, once finished.
  const std::vector<platform::SocketId>& opened() const { return opened_; }

 private:
  std::vector<platform::SocketId> fresh() const {
    std::vector<platform::SocketId> fresh;
    for (const platform::SocketId& s : platform::openSockets())
      if (std::find(before_.begin(), before_.end(), s) == before_.end()) fresh.push_back(s);
    return fresh;
  }

  void run() {
    std::unique_lock lock(mutex_);
    if (cv_.wait_until(lock, started_ + std::chrono::seconds(seconds_ + 1),
                       [this] { return done_; }))
      return;
    fired_ = true;
    for (const platform::SocketId& s : fresh()) platform::shutdownSocket(s);
  }

  std::unique_lock<std::mutex> lock_;
  const std::vector<platform::SocketId> before_;
  std::vector<platform::SocketId> opened_;
  const std::chrono::steady_clock::time_point started_;
  const int seconds_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

}  // namespace

const std::string kAbandoned =
    "The server answered neither the statement nor its cancel in time; the connection was given up";

std::optional<Dialect> dialectOfDbms(std::string_view name) {
  if (name == "SQLite") return Dialect::SQLite;
  if (name.find("SQL Server") != std::string_view::npos) return Dialect::SqlServer;
  if (name == "PostgreSQL") return Dialect::PostgreSQL;
  if (name == "MariaDB" || name == "MySQL") return Dialect::MariaDB;
  return std::nullopt;
}

DriverFacts driverFactsFor(Dialect engine) {
  DriverFacts facts;
  facts.engine = engine;
  switch (engine) {
    case Dialect::SqlServer:
      // FreeTDS ends a statement at the query time-out itself and cancels
      // it on the wire; it serves one result at a time.
      facts.wide = facts.takesQueryTimeout = facts.honoursQueryTimeout = true;
      facts.honoursRowLimit = true;
      facts.severalActiveResults = false;
      break;
    case Dialect::SQLite:
      // No wide entry points; forward-only is what it does best.
      facts.honoursRowLimit = facts.readsWholeResult = true;
      facts.cursorTypes = false;
      facts.serverEndsInterruptedTransaction = true;
      break;
    case Dialect::PostgreSQL:
      // The server ends a statement (statement_timeout); the row limit does
      // not reach it. Given a query time-out, the driver would set the
      // server's around every catalog call, which runs without one: the
      // connection sets it once instead (serverTimeout()).
      facts.wide = facts.honoursQueryTimeout = true;
      facts.readsWholeResult = facts.catalogNeedsSchema = true;
      break;
    case Dialect::MariaDB:
      // It ignores the query time-out; it turns the row limit into a LIMIT
      // of its own.
      facts.wide = facts.takesQueryTimeout = true;
      facts.honoursRowLimit = facts.readsWholeResult = facts.catalogByDatabase = true;
      // The statement and its parameters travel in one packet, at most
      // max_allowed_packet; a long value goes ahead of it in pieces.
      facts.longValueBytes = 64 * 1024;
      facts.narrowParameters = true;
      break;
  }
  return facts;
}

namespace {

StatementObserver& observer() {
  static StatementObserver o;
  return o;
}

}  // namespace

void setStatementObserver(StatementObserver o) { observer() = std::move(o); }

namespace {

struct TimeoutAdvice {
  std::string statement;
  std::string connect;
};

TimeoutAdvice& timeoutAdvice() {
  static TimeoutAdvice advice;
  return advice;
}

std::string advised(std::string message, const std::string& advice) {
  return advice.empty() ? message : message + "; " + advice;
}

}  // namespace

void setTimeoutAdvice(std::string statement, std::string connect) {
  timeoutAdvice() = {std::move(statement), std::move(connect)};
}

void notifyStatement(const std::string& sql) {
  if (observer()) observer()(sql);
}

ConnectionCore::~ConnectionCore() {
  if (abandoned) {
    dbc.forget();
    return;
  }
  freeStatements();
  if (connected) SQLDisconnect(static_cast<SQLHDBC>(dbc.get()));
}

void ConnectionCore::abandon() {
  abandoned = true;
  for (const platform::SocketId& s : sockets) platform::shutdownSocket(s);
}

StatementCore::~StatementCore() {
  if (conn && conn->abandoned) stmt.forget();
}

std::shared_ptr<StatementCore> ConnectionCore::newStatement(const std::string& context) {
  if (abandoned) fail("08S01", "[Trellick]" + kAbandoned);
  std::erase_if(statements, [](const auto& w) { return w.expired(); });
  auto s = std::make_shared<StatementCore>();
  s->stmt = OdbcHandle(SQL_HANDLE_STMT, dbc.get(), context);
  s->conn = shared_from_this();
  // Statement text is ours and operator input: no ODBC escape sequences.
  SQLSetStmtAttr(s->handle(), SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
  statements.push_back(s);
  return s;
}

void ConnectionCore::freeStatements() {
  if (abandoned) {
    statements.clear();
    return;
  }
  for (auto& w : statements)
    if (auto s = w.lock()) s->stmt.reset();
  statements.clear();
}

Connection::Connection() : core_(std::make_shared<ConnectionCore>()) {}

Connection::~Connection() = default;

int Connection::CommandTimeout() const { return core_->commandTimeout; }
void Connection::SetCommandTimeout(int seconds) { core_->commandTimeout = seconds; }
bool Connection::InTransaction() const { return core_->inTransaction; }
int Connection::ConnectTimeout() const { return core_->connectTimeout; }
void Connection::SetConnectTimeout(int seconds) { core_->connectTimeout = seconds; }
const DriverFacts& Connection::facts() const { return core_->facts; }

void CancelToken::cancel() const {
  if (auto core = core_.lock()) cancelRunning(*core);
}

int Connection::State() const { return core_->connected ? adStateOpen : adStateClosed; }

void Connection::Close() {
  if (!core_->connected) fail("3704", "Operation is not allowed when the object is closed.");
  core_->freeStatements();
  if (!core_->abandoned) SQLDisconnect(static_cast<SQLHDBC>(core_->dbc.get()));
  core_->connected = false;
}

void Connection::Open(const ConnectTarget& target) {
  if (core_->connected) fail("3705", "Operation is not allowed when the object is open.");
  if (!target.problem.empty()) fail("08001", target.problem, target.problemEnglish);
  if (core_->abandoned) {
    // The handles of a connection given up stay with it; opening again
    // starts afresh.
    const int timeout = core_->commandTimeout, connectTimeout = core_->connectTimeout;
    core_ = std::make_shared<ConnectionCore>();
    core_->commandTimeout = timeout;
    core_->connectTimeout = connectTimeout;
  }
  core_->sockets.clear();
  if (target.kind == TargetKind::SQLite) {
    const std::string& path = target.sqlitePath;
    if (!platform::isRegularFile(path))
      fail("08001", "[Trellick][SQLite]找不到数据库文件: " + path,
           "[Trellick][SQLite]no database file at " + path);
    if (path.find(';') != std::string::npos)
      fail("08001", "[Trellick][SQLite]数据库文件的路径不能包含 \";\": " + path,
           "[Trellick][SQLite]the path of the database file may not hold \";\": " + path);
  }
  if (!core_->dbc) core_->dbc = OdbcHandle(SQL_HANDLE_DBC, environment(), "allocate a connection");
  auto dbc = static_cast<SQLHDBC>(core_->dbc.get());
  const int connectTimeout = core_->connectTimeout;
  if (connectTimeout > 0)
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(connectTimeout)), 0);
  std::optional<ConnectWatch> watch;
  if (target.kind != TargetKind::SQLite) watch.emplace(connectTimeout);
  SQLRETURN rc;
  if (target.kind != TargetKind::SQLite && target.kind != TargetKind::Dsn) {
    // FreeTDS reads the login values of a narrow connection string as
    // Latin-1 whatever the client character set; the wide call keeps a
    // Chinese user name or password intact.
    WideText cs(target.connectionString);
    rc = SQLDriverConnectW(dbc, nullptr, cs.data(), static_cast<SQLSMALLINT>(cs.size()), nullptr, 0,
                           nullptr, SQL_DRIVER_NOPROMPT);
  } else {
    // The SQLite driver has no wide entry points: narrow calls carry UTF-8
    // through unchanged, the driver manager's wide conversion does not.
    std::string cs = target.connectionString;
    rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()),
                          static_cast<SQLSMALLINT>(cs.size()), nullptr, 0, nullptr,
                          SQL_DRIVER_NOPROMPT);
  }
  const bool wide = target.kind != TargetKind::SQLite && target.kind != TargetKind::Dsn;
  if (watch) {
    const bool timedOut = watch->finish();
    if (!SQL_SUCCEEDED(rc) && timedOut) {
      // Whichever gave up first, the driver or the watch, the operator
      // reads that it was the time-out.
      auto records = readDiagnostics(SQL_HANDLE_DBC, dbc, wide);
      records.insert(records.begin(), {"HYT00", 0,
                                       advised("[Trellick]Login timeout expired (" +
                                                   std::to_string(connectTimeout) + " s)",
                                               timeoutAdvice().connect)});
      throw DbError("connect", std::move(records));
    }
    core_->sockets = watch->opened();
  }
  check(rc, SQL_HANDLE_DBC, dbc, "connect", wide);
  core_->connected = true;
  core_->serverTimeout = -1;
  core_->serverTimeoutInTransaction = false;
  Dialect engine = Dialect::SQLite;
  if (target.kind != TargetKind::SQLite) {
    // The driver says what it reached; the data source's name may say
    // anything. Nothing is sent to an engine the statements are not
    // written for.
    const std::string name = dbmsName(dbc);
    const std::optional<Dialect> dialect = dialectOfDbms(name);
    if (!dialect) {
      Close();
      fail("HY000",
           "[Trellick]不支持的数据库：" + (name.empty() ? std::string("(未知)") : name) +
               "。支持的数据库：SQL Server、SQLite、PostgreSQL、MariaDB/MySQL。",
           "[Trellick]not a supported database: " +
               (name.empty() ? std::string("(unknown)") : name) +
               " (supported: SQL Server, SQLite, PostgreSQL, MariaDB/MySQL)");
    }
    engine = *dialect;
  }
  core_->facts = driverFactsFor(engine);
  const sql::EngineSql& statements = sql::forDialect(engine);
  try {
    // Bare names resolve to the login's default schema (the current
    // database on MariaDB); tables elsewhere must be named with theirs.
    if (const std::string query = statements.sessionQuery(); !query.empty()) {
      auto rs = Execute(query);
      auto fields = rs->Fields();
      core_->facts.defaultSchema = fields.Item(0).Value().text();
      if (fields.Count() > 1)
        core_->facts.syntax = statements.sessionSyntax(fields.Item(1).Value().text());
      rs->Close();
    }
    for (const std::string& statement : statements.sessionSetUp()) Execute(statement);
    // Without a schema read, which a lock would hold up: where the database
    // declares no foreign key this changes nothing.
    if (const std::string keys = statements.enforceForeignKeys(); !keys.empty()) Execute(keys);
  } catch (...) {
    Close();
    throw;
  }
  if (const std::string timeout = statements.serverTimeout(core_->commandTimeout);
      !timeout.empty() && core_->commandTimeout > 0 &&
      core_->serverTimeout != core_->commandTimeout) {
    // The driver's own time-out does not reach the statement: the server
    // ends it. Where the server has no such setting, the watchdog's cancel
    // is left.
    try {
      ExecuteAll(timeout);
    } catch (const DbError&) {
    }
    core_->serverTimeout = core_->commandTimeout;
  }
}

void StatementCore::check(SQLRETURN rc, const std::string& context) const {
  db::check(rc, SQL_HANDLE_STMT, handle(), context, wide());
}

bool Connection::IsDead() const {
  if (!core_->connected || core_->abandoned) return true;
  SQLUINTEGER dead = SQL_CD_FALSE;
  SQLRETURN rc = SQLGetConnectAttr(static_cast<SQLHDBC>(core_->dbc.get()), SQL_ATTR_CONNECTION_DEAD,
                                   &dead, 0, nullptr);
  return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

void cancelRunning(ConnectionCore& core) {
  ++core.cancels;
  std::lock_guard lock(core.runningMutex);
  if (core.running != SQL_NULL_HSTMT) SQLCancel(core.running);
}

void Connection::Cancel() { cancelRunning(*core_); }

SQLRETURN runTimed(StatementCore& s, const std::string& context,
                   const std::function<SQLRETURN()>& call, bool readingRows) {
  // FreeTDS ends a statement at the query time-out itself and cancels it on
  // the wire; a second cancel from here would race its own.
  // PostgreSQL's driver has the server end it (statement_timeout).
  const bool driverTimesOut = s.conn && s.conn->facts.honoursQueryTimeout;
  const int seconds = s.conn && !driverTimesOut ? s.conn->commandTimeout : 0;
  const int limit = s.conn ? s.conn->commandTimeout : 0;
  // A server that stops answering answers no cancel either, nor ends the
  // statement at its own time-out: well past the time-out the connection
  // is given up, its sockets shut down under the driver. FreeTDS, which
  // closes the connection itself a time-out after its unanswered cancel,
  // comes first. Without sockets (SQLite) there is nothing to give up.
  Watchdog::Guard guard = [&] {
    if (!s.conn) return Watchdog::Guard();
    if (s.conn->sockets.empty()) return s.conn->watchdog.arm(s.handle(), seconds);
    return s.conn->watchdog.arm(s.handle(), limit, !driverTimesOut, 2 * limit + 2,
                                [core = s.conn.get()] { core->abandon(); });
  }();
  const bool cancellable = s.conn && !(readingRows && s.conn->facts.readsWholeResult);
  if (cancellable) {
    std::lock_guard lock(s.conn->runningMutex);
    s.conn->running = s.handle();
  }
  const auto started = std::chrono::steady_clock::now();
  SQLRETURN rc = call();
  if (cancellable) {
    std::lock_guard lock(s.conn->runningMutex);
    s.conn->running = SQL_NULL_HSTMT;
  }
  const bool fired = guard.finish();
  if (guard.abandoned()) {
    auto records = readDiagnostics(SQL_HANDLE_STMT, s.handle(), s.wide());
    records.insert(records.begin(),
                   {{"HYT00", 0,
                     advised("[Trellick]Query timeout expired (" + std::to_string(limit) + " s)",
                             timeoutAdvice().statement)},
                    {"08S01", 0, "[Trellick]" + kAbandoned}});
    throw DbError(context, std::move(records));
  }
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA || (!fired && rc != SQL_ERROR)) return rc;
  auto records = readDiagnostics(SQL_HANDLE_STMT, s.handle(), s.wide());
  // Where the driver or the server ended the statement at its time-out,
  // the message is told the same way as the watchdog's.
  const bool endedAtLimit =
      driverTimesOut && limit > 0 &&
      std::chrono::steady_clock::now() - started >=
          std::chrono::seconds(limit) - std::chrono::milliseconds(250) &&
      std::any_of(records.begin(), records.end(), [](const DiagRecord& r) {
        return r.sqlstate == "HYT00" || r.sqlstate == "HYT01" || r.sqlstate == "57014";
      });
  if (fired || (endedAtLimit && !timeoutAdvice().statement.empty())) {
    records.insert(records.begin(), {"HYT00", 0,
                                     advised("[Trellick]Query timeout expired (" +
                                                 std::to_string(fired ? seconds : limit) + " s)",
                                             timeoutAdvice().statement)});
    throw DbError(context, std::move(records));
  }
  return rc;
}

std::unique_ptr<Recordset> Connection::Execute(const std::string& sql) {
  return Execute(sql, OpenOptions{});
}

std::shared_ptr<StatementCore> newTimedStatement(ConnectionCore& core, const std::string& context) {
  if (core.facts.honoursQueryTimeout && core.serverTimeout != core.commandTimeout &&
      (core.serverTimeout > 0 || core.commandTimeout > 0)) {
    // Where the server ends a statement, its setting follows the command
    // time-out; set only when it differs, each setting costs a round trip.
    if (const std::string timeout =
            sql::forDialect(core.facts.engine).serverTimeout(std::max(core.commandTimeout, 0));
        !timeout.empty()) {
      try {
        auto set = core.newStatement(context);
        execDirect(*set, timeout, context);
      } catch (const DbError&) {
        // As at connecting: without it the watchdog's cancel is left.
      }
      core.serverTimeoutInTransaction = core.inTransaction;
    }
    core.serverTimeout = core.commandTimeout;
  }
  auto s = core.newStatement(context);
  if (core.facts.takesQueryTimeout && core.commandTimeout > 0)
    SQLSetStmtAttr(s->handle(), SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(core.commandTimeout)), 0);
  return s;
}

SQLRETURN execDirect(StatementCore& s, const std::string& sql, const std::string& context,
                     const DataFeed& feed) {
  notifyStatement(sql);
  SQLRETURN rc;
  // The values bound for data at execution are given under the same time
  // limit as the statement they belong to.
  auto fed = [&](SQLRETURN r) { return r == SQL_NEED_DATA && feed ? feed() : r; };
  if (s.wide()) {
    WideText text(sql);
    rc = runTimed(s, context, [&] {
      return fed(SQLExecDirectW(s.handle(), text.data(), static_cast<SQLINTEGER>(text.size())));
    });
  } else {
    std::string text = sql;
    rc = runTimed(s, context, [&] {
      return fed(SQLExecDirect(s.handle(), reinterpret_cast<SQLCHAR*>(text.data()),
                               static_cast<SQLINTEGER>(text.size())));
    });
  }
  if (rc != SQL_NO_DATA) s.check(rc, context);
  return rc;
}

std::unique_ptr<Recordset> Connection::Execute(const std::string& sql, const OpenOptions& options) {
  if (!core_->connected) failConnectionNotOpen();
  auto s = newTimedStatement(*core_, "execute");
  SQLHSTMT h = s->handle();
  if (options.maxRows > 0)
    SQLSetStmtAttr(h, SQL_ATTR_MAX_ROWS,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(options.maxRows)), 0);
  auto rs = std::make_unique<Recordset>();
  if (options.describeOnly) {
    notifyStatement(sql);
    std::string text = sql;
    WideText wideText(sql);
    SQLRETURN rc = runTimed(*s, "execute", [&] {
      return s->wide() ? SQLPrepareW(h, wideText.data(), static_cast<SQLINTEGER>(wideText.size()))
                       : SQLPrepare(h, reinterpret_cast<SQLCHAR*>(text.data()),
                                    static_cast<SQLINTEGER>(text.size()));
    });
    s->check(rc, "execute");
    rs->attachPrepared(std::move(s), "execute");
    return rs;
  }
  execDirect(*s, sql, "execute");
  rs->attachResult(std::move(s), "execute");
  return rs;
}

void Connection::ExecuteAll(const std::string& sql) {
  if (!core_->connected) failConnectionNotOpen();
  auto s = newTimedStatement(*core_, "execute");
  SQLHSTMT h = s->handle();
  SQLRETURN rc = execDirect(*s, sql, "execute");
  while (rc != SQL_NO_DATA) {
    rc = runTimed(*s, "execute", [&] { return SQLMoreResults(h); });
    if (rc != SQL_NO_DATA) s->check(rc, "execute");
  }
}

namespace {

std::vector<ColumnInfo> tableListColumns() {
  std::vector<ColumnInfo> columns;
  for (const char* name : {"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE", "REMARKS"}) {
    ColumnInfo c;
    c.name = name;
    c.type = adVarWChar;
    columns.push_back(c);
  }
  return columns;
}

// Tables that virtual tables of the built-in modules keep their data in,
// named after the virtual table. Writing them directly corrupts it.
bool isShadowName(const std::string& name, const std::vector<std::string>& virtualTables) {
  static const char* const kSuffixes[] = {"_content", "_data",     "_idx",    "_config",
                                          "_docsize", "_segments", "_segdir", "_stat",
                                          "_node",    "_rowid",    "_parent"};
  for (const auto& v : virtualTables)
    for (const char* suffix : kSuffixes)
      if (equalsNoCase(name, v + suffix)) return true;
  return false;
}

}  // namespace

std::unique_ptr<Recordset> Connection::OpenSchemaTables() {
  std::vector<std::vector<Variant>> rows;
  ForEachSchemaTable([&](std::vector<Variant>&& row) { rows.push_back(std::move(row)); });
  auto list = std::make_unique<Recordset>();
  list->attachRows(tableListColumns(), std::move(rows));
  return list;
}

DriverNames installedDrivers() {
  DriverNames names{TRELLICK_SQLITE_DRIVER_PATH, TRELLICK_TDS_DRIVER_PATH,
                    TRELLICK_PSQL_DRIVER_PATH, TRELLICK_MARIADB_DRIVER_PATH};
  SQLHENV env = environment();
  SQLCHAR desc[256];
  SQLSMALLINT descLen = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  std::vector<std::string> listed;
  // Names only: unixODBC reads the driver file again for each driver's
  // attributes.
  while (
      SQL_SUCCEEDED(SQLDrivers(env, direction, desc, sizeof desc, &descLen, nullptr, 0, nullptr))) {
    direction = SQL_FETCH_NEXT;
    listed.emplace_back(reinterpret_cast<const char*>(desc));
  }
  return chooseDrivers(listed, names);
}

}  // namespace trellick::db

namespace trellick::db {

long long executeBound(ConnectionCore& core, const std::string& sql,
                       const std::vector<std::optional<std::string>>& values,
                       const std::string& context);
std::shared_ptr<StatementCore> runBound(ConnectionCore& core, const std::string& sql,
                                        const std::vector<std::optional<std::string>>& values,
                                        const std::string& context);
std::vector<std::string> primaryKey(ConnectionCore& core, const std::string& schema,
                                    const std::string& table);

long long Connection::ExecuteParams(const std::string& sql,
                                    const std::vector<std::optional<std::string>>& values) {
  if (!core_->connected) failConnectionNotOpen();
  return executeBound(*core_, sql, values, "execute");
}

void Connection::BeginTrans() {
  if (!core_->connected) failConnectionNotOpen();
  if (core_->abandoned) fail("08S01", "[Trellick]" + kAbandoned);
  auto dbc = static_cast<SQLHDBC>(core_->dbc.get());
  check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
        SQL_HANDLE_DBC, dbc, "begin a transaction", core_->facts.wide);
  core_->inTransaction = true;
}

namespace {

// A rollback the driver could not do because the server had already ended
// the transaction: a transaction opened here, which the server allows only
// when it has none, is one the driver can end, and its record of an open
// transaction goes with it. False where the server still had one.
bool endEndedTransaction(ConnectionCore& core) {
  const std::string begin = sql::forDialect(core.facts.engine).beginTransaction();
  if (begin.empty()) return false;
  try {
    auto s = core.newStatement("roll back");
    execDirect(*s, begin, "roll back");
  } catch (const DbError&) {
    return false;
  }
  core.freeStatements();
  return SQL_SUCCEEDED(
      SQLEndTran(SQL_HANDLE_DBC, static_cast<SQLHDBC>(core.dbc.get()), SQL_ROLLBACK));
}

void endTransaction(ConnectionCore& core, SQLSMALLINT how, const char* context) {
  auto dbc = static_cast<SQLHDBC>(core.dbc.get());
  core.inTransaction = false;
  SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, how);
  if (!SQL_SUCCEEDED(rc) && how == SQL_COMMIT) {
    // A commit refused (SQLite's deferred foreign keys) may leave the
    // transaction open, for the next statement's commit to take along:
    // nothing of it stays.
    auto records = readDiagnostics(SQL_HANDLE_DBC, dbc, core.facts.wide);
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    throw DbError(context, std::move(records));
  }
  if (!SQL_SUCCEEDED(rc) && how == SQL_ROLLBACK && core.facts.serverEndsInterruptedTransaction) {
    auto records = readDiagnostics(SQL_HANDLE_DBC, dbc, core.facts.wide);
    if (endEndedTransaction(core)) {
      // As asked, nothing of the transaction stays.
      rc = SQL_SUCCESS;
    } else {
      SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                        0);
      throw DbError(context, std::move(records));
    }
  }
  // Back to one transaction per statement, whatever became of this one.
  SQLRETURN back = SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  check(rc, SQL_HANDLE_DBC, dbc, context, core.facts.wide);
  check(back, SQL_HANDLE_DBC, dbc, context, core.facts.wide);
}

}  // namespace

void Connection::CommitTrans() {
  if (!core_->connected) failConnectionNotOpen();
  if (core_->abandoned) {
    // The server ends the transaction with the connection, uncommitted.
    core_->inTransaction = false;
    fail("08S01", "[Trellick]" + kAbandoned);
  }
  // Open results would keep some drivers from ending the transaction.
  core_->freeStatements();
  try {
    endTransaction(*core_, SQL_COMMIT, "commit");
  } catch (const DbError&) {
    // Refused, the transaction was rolled back, its setting with it.
    if (core_->serverTimeoutInTransaction) core_->serverTimeout = -1;
    core_->serverTimeoutInTransaction = false;
    throw;
  }
  core_->serverTimeoutInTransaction = false;
}

void Connection::RollbackTrans() {
  if (!core_->connected) failConnectionNotOpen();
  if (core_->abandoned) {
    // The server rolls it back when it sees the connection gone.
    core_->inTransaction = false;
    return;
  }
  core_->freeStatements();
  if (core_->serverTimeoutInTransaction) core_->serverTimeout = -1;
  core_->serverTimeoutInTransaction = false;
  endTransaction(*core_, SQL_ROLLBACK, "roll back");
}

namespace {

// The key that names a row among a table's unique keys (rows as
// uniqueKeysQuery() gives them): one whose every column is declared not
// null, since a unique column may hold NULL in several rows; of several,
// the one of fewest columns, then the first by name. Empty if none.
std::vector<std::string> usableUniqueKey(Connection& conn, const sql::TableRef& table) {
  struct Index {
    std::vector<std::string> columns;
    bool usable = true;
  };
  std::map<std::string, Index> indexes;
  auto rs = conn.Execute(conn.engineSql().uniqueKeysQuery(table, conn.syntax()));
  while (rs->State() == adStateOpen && !rs->Eof()) {
    auto fields = rs->Fields();
    Index& index = indexes[fields.Item(0).Value().text()];
    const Variant column = fields.Item(1).Value();
    index.usable = index.usable && !column.IsNull() && fields.Item(2).Value().toInt64() == 1;
    index.columns.push_back(column.text());
    rs->MoveNext();
  }
  if (rs->State() == adStateOpen) rs->Close();
  const std::vector<std::string>* best = nullptr;
  for (const auto& [name, index] : indexes)  // by name
    if (index.usable && (!best || index.columns.size() < best->size())) best = &index.columns;
  return best ? *best : std::vector<std::string>{};
}

}  // namespace

std::vector<std::string> Connection::RowKey(const std::string& schema, const std::string& table) {
  if (!core_->connected) failConnectionNotOpen();
  const sql::EngineSql& statements = engineSql();
  // PostgreSQL's catalog answers for every schema unless told which.
  const std::string& where =
      schema.empty() && core_->facts.catalogNeedsSchema ? core_->facts.defaultSchema : schema;
  // The engine's own catalog query costs one round trip where the driver's
  // catalog call costs more.
  if (const std::string query = statements.primaryKeyQuery({table, where}); !query.empty()) {
    std::vector<std::string> keys;
    auto rs = Execute(query);
    while (rs->State() == adStateOpen && !rs->Eof()) {
      keys.push_back(rs->Fields().Item(0).Value().text());
      rs->MoveNext();
    }
    if (rs->State() == adStateOpen) rs->Close();
    // VACUUM may renumber the rowids of a table without an INTEGER PRIMARY
    // KEY: a unique key of its own is the steadier name. A WITHOUT ROWID
    // table always has a primary key; any other has a rowid.
    if (keys.empty()) keys = usableUniqueKey(*this, {table, where});
    if (keys.empty() && statements.capabilities().rowid) {
      // A column of the table may take a rowid's name: then that name is
      // the column, and another of the rowid's names is used.
      std::set<std::string> taken;
      auto rs = Execute(statements.columnFactsQuery({table}));
      while (rs->State() == adStateOpen && !rs->Eof()) {
        std::string name = rs->Fields().Item(0).Value().text();
        for (char& c : name)
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        taken.insert(name);
        rs->MoveNext();
      }
      if (rs->State() == adStateOpen) rs->Close();
      for (const char* alias : {"rowid", "oid", "_rowid_"})
        if (!taken.contains(alias)) {
          keys.push_back(alias);
          break;
        }
    }
    return keys;
  }
  auto keys = primaryKey(*core_, where, table);
  if (keys.empty()) keys = usableUniqueKey(*this, {table, where});
  return keys;
}

std::string Connection::DatabaseIdentity() {
  const sql::EngineSql& statements = sql::forDialect(dialect());
  for (const std::string& query : statements.databaseIdentityQueries()) {
    try {
      auto rs = Execute(query);
      if (rs->Eof()) continue;
      std::string identity(dialectName(dialect()));
      auto fields = rs->Fields();
      for (int i = 0; i < fields.Count(); ++i)
        identity += sql::kIdentitySeparator + fields.Item(i).Value().text();
      rs->Close();
      return identity;
    } catch (const DbError&) {
      // The login may not read this: the next way is tried.
    }
  }
  return {};
}

std::unique_ptr<Recordset> Connection::ExecuteQuery(
    const std::string& sql, const std::vector<std::optional<std::string>>& values) {
  if (!core_->connected) failConnectionNotOpen();
  auto rs = std::make_unique<Recordset>();
  rs->attachResult(runBound(*core_, sql, values, "execute"), "execute");
  return rs;
}

unsigned long long Connection::Cancels() const { return core_->cancels.load(); }

void Connection::ForEachSchemaTable(const std::function<void(std::vector<Variant>&&)>& take) {
  if (!core_->connected) failConnectionNotOpen();
  const sql::EngineSql& statements = engineSql();
  const std::string query = statements.userTablesQuery();
  if (statements.capabilities().shadowTables) {
    // "shadow" marks the tables behind virtual tables.
    auto rs = Execute(query);
    std::vector<std::pair<std::string, std::string>> all;
    std::vector<std::string> virtualTables;
    const auto listed = [&](const std::string& name) {
      take({Variant::null(), Variant::null(), Variant::text(name), Variant::text("TABLE"),
            Variant::null()});
    };
    while (rs->State() == adStateOpen && !rs->Eof()) {
      auto fields = rs->Fields();
      std::string name = fields.Item(0).Value().text();
      std::string type = fields.Item(1).Value().text();
      // Without a virtual table nothing read later can hide this one: it is
      // given as it is read.
      if (fields.Count() > 2 && fields.Item(2).Value().text() == "0") {
        if (type == "table" && !startsWithNoCase(name, "sqlite_")) listed(name);
        rs->MoveNext();
        continue;
      }
      if (type == "virtual") virtualTables.push_back(name);
      all.emplace_back(std::move(name), std::move(type));
      rs->MoveNext();
    }
    if (rs->State() == adStateOpen) rs->Close();
    for (auto& [name, type] : all) {
      if (type != "table" && type != "virtual") continue;
      if (startsWithNoCase(name, "sqlite_") || isShadowName(name, virtualTables)) continue;
      listed(name);
    }
  } else if (!query.empty()) {
    // The drivers' catalogs list views, system tables and other databases'
    // tables alike: the catalog is asked for what can be searched.
    auto rs = Execute(query);
    while (rs->State() == adStateOpen && !rs->Eof()) {
      auto fields = rs->Fields();
      take({Variant::null(), fields.Item(0).Value(), fields.Item(1).Value(), Variant::text("TABLE"),
            Variant::null()});
      rs->MoveNext();
    }
    if (rs->State() == adStateOpen) rs->Close();
  } else {
    auto s = core_->newStatement("open the table list");
    std::u16string wideType = u"TABLE";
    SQLCHAR type[] = "TABLE";
    SQLRETURN rc = runTimed(*s, "open the table list", [&] {
      return s->wide() ? SQLTablesW(s->handle(), nullptr, 0, nullptr, 0, nullptr, 0,
                                    reinterpret_cast<SQLWCHAR*>(wideType.data()), SQL_NTS)
                       : SQLTables(s->handle(), nullptr, 0, nullptr, 0, nullptr, 0, type, SQL_NTS);
    });
    if (rc != SQL_NO_DATA) s->check(rc, "open the table list");
    auto rs = std::make_unique<Recordset>();
    if (rc != SQL_NO_DATA) rs->attachResult(s, "open the table list");
    while (rs->State() == adStateOpen && !rs->Eof()) {
      auto fields = rs->Fields();
      std::vector<Variant> row;
      for (int i = 0; i < 5 && i < fields.Count(); ++i) row.push_back(fields.Item(i).Value());
      row.resize(5, Variant::null());
      take(std::move(row));
      rs->MoveNext();
    }
    if (rs->State() == adStateOpen) rs->Close();
  }
}

}  // namespace trellick::db
