// The one database connection of the program, shaped after the operations
// its callers use: State, Close, CommandTimeout, Open, OpenSchema, Execute.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/dialect.h"
#include "db/odbc.h"
#include "db/target.h"
#include "db/watchdog.h"
#include "search/statements.h"

namespace trellick::db {

class Recordset;
struct OpenOptions;

enum ObjectState : int { adStateClosed = 0, adStateOpen = 1 };

// What the statements may assume about the server behind the connection.
using Dialect = trellick::Dialect;

struct StatementCore;

// Shared by the connection and its record sets, so a record set never
// outlives the handle its statement belongs to.
struct ConnectionCore : std::enable_shared_from_this<ConnectionCore> {
  OdbcHandle dbc;
  bool connected = false;
  Dialect dialect = Dialect::SQLite;
  // Unicode driver: statement text, names, values and diagnostics go
  // through the wide calls as UTF-16, whatever the process locale.
  bool wide = false;
  // Where a bare table name resolves ("dbo" on SQL Server); empty where
  // the engine has no schemas.
  std::string defaultSchema;
  // How string literals must be written for this server's settings.
  search::Syntax syntax;
  int commandTimeout = 30;
  bool inTransaction = false;
  Watchdog watchdog;
  // The statement under way, for a cancel from another thread; cleared
  // under the lock before its handle can be freed.
  std::mutex runningMutex;
  SQLHSTMT running = SQL_NULL_HSTMT;
  std::vector<std::weak_ptr<StatementCore>> statements;

  ~ConnectionCore();
  std::shared_ptr<StatementCore> newStatement(const std::string& context);
  void freeStatements();
};

struct StatementCore {
  OdbcHandle stmt;
  std::shared_ptr<ConnectionCore> conn;
  SQLHSTMT handle() const { return static_cast<SQLHSTMT>(stmt.get()); }
  bool wide() const { return conn && conn->wide; }
  // Throws DbError with this statement's diagnostics unless rc succeeded.
  void check(SQLRETURN rc, const std::string& context) const;
};

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int State() const;
  void Close();

  int CommandTimeout() const { return core_->commandTimeout; }
  void SetCommandTimeout(int seconds) { core_->commandTimeout = seconds; }

  // Throws DbError; after a failure the connection is closed.
  void Open(const ConnectTarget& target);

  // The user tables ("TABLE" type): one row each, columns TABLE_SCHEM and
  // TABLE_NAME among others. The SQLite engine's own sqlite_ tables and the
  // tables that virtual tables keep their data in are not user tables.
  std::unique_ptr<Recordset> OpenSchemaTables();

  // Whether the driver says the connection is gone (a lost socket).
  bool IsDead() const;

  // Cancels the statement under way, if any; safe from any thread. The
  // statement then fails with the driver's message.
  void Cancel();

  // Runs a statement; the record set is open on the first row of its first
  // result, or closed when the statement returns no rows.
  std::unique_ptr<Recordset> Execute(const std::string& sql);
  std::unique_ptr<Recordset> Execute(const std::string& sql, const OpenOptions& options);

  // Runs a statement and reads through every result it returns, rows
  // dropped, so that a batch of several statements runs to its end.
  void ExecuteAll(const std::string& sql);

  // Runs sql with its "?" markers bound to text values (nullopt: NULL);
  // returns the number of rows it affected.
  long long ExecuteParams(const std::string& sql,
                          const std::vector<std::optional<std::string>>& values);

  // Until CommitTrans or RollbackTrans, statements run in one transaction.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction() const { return core_->inTransaction; }

  // The columns that tell a row of the table apart: its primary key, else
  // a unique key whose columns are all not null (the fewest columns, then
  // the first by name); on SQLite "rowid" for a table without either;
  // empty when there is none.
  std::vector<std::string> RowKey(const std::string& schema, const std::string& table);

  Dialect dialect() const { return core_->dialect; }
  const std::string& DefaultSchema() const { return core_->defaultSchema; }
  search::Syntax syntax() const { return core_->syntax; }
  const std::shared_ptr<ConnectionCore>& core() const { return core_; }

 private:
  std::shared_ptr<ConnectionCore> core_;
};

// Cancels the statement under way on the connection, if any; safe from any
// thread while the core is held.
void cancelRunning(ConnectionCore& core);

// A new statement of the connection, with the query time-out set where the
// driver honours it.
std::shared_ptr<StatementCore> newTimedStatement(ConnectionCore& core, const std::string& context);

// Sends sql on s, seen by the statement observer and under the command
// time-out; throws DbError on failure (SQL_NO_DATA is not one).
SQLRETURN execDirect(StatementCore& s, const std::string& sql, const std::string& context);

// Runs `call` on `stmt` with the connection's command time-out enforced;
// a time-out becomes a DbError with SQLSTATE HYT00.
SQLRETURN runTimed(StatementCore& stmt, const std::string& context,
                   const std::function<SQLRETURN()>& call);

// Sees the text of every statement sent, for measurements; empty: none.
using StatementObserver = std::function<void(const std::string& sql)>;
void setStatementObserver(StatementObserver observer);
void notifyStatement(const std::string& sql);

// The engine behind a driver's SQL_DBMS_NAME; nullopt for an engine the
// statements are not written for.
std::optional<Dialect> dialectOfDbms(std::string_view dbmsName);

// Registered driver name, or the library path when not registered.
DriverNames installedDrivers();

}  // namespace trellick::db
