// The one database connection of the program, shaped after the operations
// its callers use: State, Close, CommandTimeout, Open, OpenSchema, Execute.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/dialect.h"
#include "db/driver_facts.h"
#include "db/error.h"
#include "db/target.h"
#include "sql/engine_sql.h"

namespace trellick::db {

class Recordset;
class Variant;
struct OpenOptions;

enum ObjectState : int { adStateClosed = 0, adStateOpen = 1 };

// What the statements may assume about the server behind the connection.
using Dialect = trellick::Dialect;

struct ConnectionCore;
struct StatementCore;

// Cancels the statement under way on a connection, from any thread, for
// as long as the token is held; after the connection has gone it does
// nothing.
class CancelToken {
 public:
  CancelToken() = default;
  void cancel() const;
  // Whether the connection has gone, so that a holder can drop the token.
  bool expired() const { return core_.expired(); }

 private:
  friend class Connection;
  explicit CancelToken(std::weak_ptr<ConnectionCore> core) : core_(std::move(core)) {}
  std::weak_ptr<ConnectionCore> core_;
};

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int State() const;
  void Close();

  int CommandTimeout() const;
  void SetCommandTimeout(int seconds);

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
  bool InTransaction() const;

  // The columns that tell a row of the table apart: its primary key, else
  // a unique key whose columns are all not null (the fewest columns, then
  // the first by name); on SQLite "rowid" for a table without either;
  // empty when there is none.
  std::vector<std::string> RowKey(const std::string& schema, const std::string& table);

  // What the driver does, learned when the connection opened.
  const DriverFacts& facts() const;
  Dialect dialect() const { return facts().engine; }
  const std::string& DefaultSchema() const { return facts().defaultSchema; }
  sql::Syntax syntax() const { return facts().syntax; }
  // The database as its server names it, read now (a file's schema cookie
  // and size change): sql::EngineSql::sameDatabase() compares two. Empty
  // where it cannot be read.
  std::string DatabaseIdentity();
  // The statements of the connection's engine.
  const sql::EngineSql& engineSql() const { return sql::forDialect(dialect()); }

  // For a cancel from another thread.
  CancelToken cancelToken() const { return CancelToken(core_); }

  // Runs a query with its "?" markers bound to text values (nullopt:
  // NULL), as ExecuteParams binds them; the record set is open on its first
  // row, or closed when the statement returns none.
  std::unique_ptr<Recordset> ExecuteQuery(const std::string& sql,
                                          const std::vector<std::optional<std::string>>& values);

  // Seconds Open may wait for the server (default 15); 0: as long as the
  // driver waits.
  int ConnectTimeout() const;
  void SetConnectTimeout(int seconds);

  // How many cancels the connection was sent, a statement running or not:
  // work of many statements compares it to end at a cancel that fell
  // between them.
  unsigned long long Cancels() const;

  // The rows OpenSchemaTables() lists, in its order, each given as soon as
  // nothing read later can leave it out. `take` must not use the
  // connection: its list is still being read.
  void ForEachSchemaTable(const std::function<void(std::vector<Variant>&&)>& take);

 private:
  // A record set shares the connection's state, so that it never outlives
  // the handle its statement belongs to.
  friend class Recordset;
  std::shared_ptr<ConnectionCore> core_;
};

// Sees the text of every statement sent, for measurements; empty: none.
using StatementObserver = std::function<void(const std::string& sql)>;
void setStatementObserver(StatementObserver observer);
void notifyStatement(const std::string& sql);

// The engine behind a driver's SQL_DBMS_NAME; nullopt for an engine the
// statements are not written for.
std::optional<Dialect> dialectOfDbms(std::string_view dbmsName);

// Registered driver name, or the library path when not registered.
DriverNames installedDrivers();

// Words added to the time-out messages, telling how to change the limit
// (the command line names its options); empty: the messages alone.
void setTimeoutAdvice(std::string statement, std::string connect);

}  // namespace trellick::db
