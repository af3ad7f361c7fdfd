// The database layer's own side of a connection and its statements: the
// ODBC handles, which no header outside db/ shows.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/odbc.h"
#include "db/watchdog.h"
#include "platform/platform.h"

namespace trellick::db {

// Shared by the connection and its record sets, so a record set never
// outlives the handle its statement belongs to.
struct ConnectionCore : std::enable_shared_from_this<ConnectionCore> {
  OdbcHandle dbc;
  bool connected = false;
  DriverFacts facts;
  int commandTimeout = 30;
  bool inTransaction = false;
  Watchdog watchdog;
  // The statement under way, for a cancel from another thread; cleared
  // under the lock before its handle can be freed.
  std::mutex runningMutex;
  SQLHSTMT running = SQL_NULL_HSTMT;
  // Cancels sent so far, running statement or not: a reader between its
  // statements sees one that came while no statement ran.
  std::atomic<unsigned long long> cancels = 0;
  std::vector<std::weak_ptr<StatementCore>> statements;
  // Seconds a connect may take; 0: as long as the driver waits.
  int connectTimeout = 15;
  // The sockets the driver opened for the connection, for giving it up
  // when the server stops answering.
  std::vector<platform::SocketId> sockets;
  // Given up: the server stopped answering past a time-out. Its sockets
  // are shut down, every later use fails at once, and its handles are
  // never freed (a cancel left behind may still hold them).
  std::atomic<bool> abandoned = false;
  void abandon();

  ~ConnectionCore();
  std::shared_ptr<StatementCore> newStatement(const std::string& context);
  void freeStatements();

  // The command time-out last set on the server for this connection, in
  // seconds; -1: none yet. Set inside a transaction, a rollback takes it
  // back.
  int serverTimeout = -1;
  bool serverTimeoutInTransaction = false;
};

struct StatementCore {
  ~StatementCore();
  OdbcHandle stmt;
  std::shared_ptr<ConnectionCore> conn;
  SQLHSTMT handle() const { return static_cast<SQLHSTMT>(stmt.get()); }
  bool wide() const { return conn && conn->facts.wide; }
  // Throws DbError with this statement's diagnostics unless rc succeeded.
  void check(SQLRETURN rc, const std::string& context) const;
};

// Cancels the statement under way on the connection, if any; safe from any
// thread while the core is held.
void cancelRunning(ConnectionCore& core);

// A new statement of the connection, with the query time-out set where the
// driver honours it.
std::shared_ptr<StatementCore> newTimedStatement(ConnectionCore& core, const std::string& context);

// Gives the driver the values bound for data at execution once it asks
// for them (SQL_NEED_DATA); returns the statement's own result.
using DataFeed = std::function<SQLRETURN()>;

// Sends sql on s, seen by the statement observer and under the command
// time-out; throws DbError on failure (SQL_NO_DATA is not one). `feed`
// answers a statement with values bound for data at execution.
SQLRETURN execDirect(StatementCore& s, const std::string& sql, const std::string& context,
                     const DataFeed& feed = {});

// Runs `call` on `stmt` with the connection's command time-out enforced;
// a time-out becomes a DbError with SQLSTATE HYT00. readingRows: a fetch
// or a value's read, which a driver that reads a whole result first does
// from its memory: no cancel is sent into it (MariaDB's closes the cursor
// under the read); the connection still counts it.
SQLRETURN runTimed(StatementCore& stmt, const std::string& context,
                   const std::function<SQLRETURN()>& call, bool readingRows = false);

// A value's read from the row fetched. A driver that reads a whole result
// first serves it from its memory, where nothing waits on the server: it
// is called straight. Arming the watchdog for each value cost more than
// reading it. Fetches stay timed: a driver set to fetch from the server
// as it goes (a data source's own options) waits on it there.
template <class Call>
SQLRETURN readValueTimed(StatementCore& stmt, const char* context, Call&& call) {
  if (stmt.conn && stmt.conn->facts.readsWholeResult) return call();
  return runTimed(stmt, context, call, true);
}

}  // namespace trellick::db
