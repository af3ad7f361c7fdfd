// What the driver behind a connection does, learned once when it opens.
// The callers that must work around a driver ask these facts, never its
// name; the statements' own differences are the engine's (sql/).
#pragma once

#include <string>

#include "common/dialect.h"
#include "sql/engine_sql.h"

namespace trellick::db {

struct DriverFacts {
  // The engine the driver reached.
  Dialect engine = Dialect::SQLite;
  // Statement text, names, values and diagnostics go through the wide
  // calls as UTF-16, whatever the process locale; narrow calls carry UTF-8
  // through unchanged.
  bool wide = false;
  // The statement takes a query time-out.
  bool takesQueryTimeout = false;
  // The driver (or the server for it) ends a statement at the query
  // time-out itself; otherwise a watchdog cancels it.
  bool honoursQueryTimeout = false;
  // A row limit on the statement keeps the driver from reading more rows.
  bool honoursRowLimit = false;
  // The driver reads a whole result before handing over its first row.
  bool readsWholeResult = false;
  // Several statements of the connection may have results pending; where
  // not, a pending result is cancelled on the wire when its statement goes.
  bool severalActiveResults = true;
  // The driver takes the cursor type and concurrency a caller asks for.
  bool cursorTypes = true;
  // Its catalog answers for every schema unless told which.
  bool catalogNeedsSchema = false;
  // Its catalog takes the database as the catalog and refuses a schema.
  bool catalogByDatabase = false;
  // Where a bare table name resolves; empty where the engine has no
  // schemas.
  std::string defaultSchema;
  // How literals must be written for the server's settings.
  sql::Syntax syntax;
  // The server rolls a transaction back by itself when a statement of it
  // is interrupted (a time-out, a cancel) while the driver still holds it
  // open: the driver's own rollback then fails and, left so, it would run
  // every later transaction as statements committed one by one.
  bool serverEndsInterruptedTransaction = false;
  // A parameter value of more bytes than this is handed to the driver in
  // pieces at execution (data at execution), which the driver sends on its
  // own: the server takes the whole statement in one packet of limited
  // size, but each such value apart. 0: every value is bound whole.
  long long longValueBytes = 0;
  // Parameters are bound as UTF-8 text (SQL_C_CHAR) even on a wide
  // connection: MariaDB's driver turns a wide value holding a three-byte
  // character into its UTF-8 with a NUL byte after it. Values are read as
  // UTF-8 too: its wide read of one comes a unit short.
  bool narrowParameters = false;
};

// The facts of the driver for an engine, before the session's own (default
// schema, syntax) are read.
DriverFacts driverFactsFor(Dialect engine);

}  // namespace trellick::db
