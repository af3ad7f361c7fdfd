// The work both front ends share between the operator's fields and the
// engine: what the server field names, connecting, listing the tables,
// what the journal calls a run's database, and which run an undo takes
// back and whether it may be taken back here. Front ends ask this layer,
// never the engine kind.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/target.h"
#include "engine/engine.h"
#include "journal/journal.h"

namespace trellick::session {

// The server and database fields, read once.
struct ServerSpec {
  db::ServerParts parts;  // engine, host, port
  std::string server;     // the field as given (without a URI's password)
  std::string database;   // as given: a SQLite file's path as typed
  // What names the database in the journal, the same whichever front end
  // or path reached it: a SQLite file's one path (symbolic links
  // resolved), otherwise the database's name.
  std::string identity;

  static ServerSpec parse(std::string_view server, std::string_view database);

  bool isSqlite() const { return parts.kind == db::TargetKind::SQLite; }
  // A SQLite file has no login.
  bool needsPassword() const { return !isSqlite(); }
  // Whether `run` was made in this database.
  bool holds(const journal::RunInfo& run) const;
};

// How long both front ends wait for a server to answer a connect.
constexpr int kConnectTimeoutSeconds = 15;

// One database as the operator named it, with the login.
class Session {
 public:
  // connectTimeoutSeconds: how long a connect may wait (0: as long as the
  // driver waits).
  Session(ServerSpec place, std::string user, std::string password, int timeoutSeconds,
          int connectTimeoutSeconds = kConnectTimeoutSeconds);

  const ServerSpec& place() const { return place_; }
  const std::string& user() const { return user_; }

  // Opens `conn` (closed) with the session's time-out.
  void open(db::Connection& conn) const;
  std::unique_ptr<db::Connection> connect() const;

  // The database's user tables, in the order the server gives them.
  static std::vector<engine::Table> tables(db::Connection& conn) {
    return engine::userTables(conn);
  }

  // The journal's record of a run made here, through `conn`.
  journal::RunInfo runInfo(db::Connection& conn, const std::string& kind,
                           const std::string& find = {}, const std::string& replace = {}) const;

  // SQL Server's encryption: the driver's Encrypt ("yes", "no", "strict";
  // "" its default) and whether the server's certificate goes unchecked.
  void setEncryption(std::string encrypt, bool trustServerCertificate) {
    encrypt_ = std::move(encrypt);
    trustServerCertificate_ = trustServerCertificate;
  }

 private:
  ServerSpec place_;
  std::string user_;
  std::string password_;
  int timeoutSeconds_;
  db::DriverNames drivers_;
  int connectTimeoutSeconds_;
  std::string encrypt_;
  bool trustServerCertificate_ = false;
};

// Why `run` was not made in the database `conn` reached through `place`
// (its server's own name for it is another, or where that is unknown, the
// fields name another); nullopt when it was made there.
// `now` is conn.DatabaseIdentity(), read once for several runs.
std::optional<std::string> notMadeHere(const journal::RunInfo& run, const ServerSpec& place,
                                       Dialect engine, const std::string& now);
inline std::optional<std::string> notMadeHere(const journal::RunInfo& run, const ServerSpec& place,
                                              db::Connection& conn) {
  return notMadeHere(run, place, conn.dialect(), conn.DatabaseIdentity());
}

// Whether an undo given no run number takes `run`: a replace that changed
// rows and is not undone. An undo is taken back only by its number.
bool undoable(const journal::RunEntry& run);

// The run an undo takes back: `id`, or when 0 the newest undoable one;
// nullopt when the journal holds no such run.
std::optional<journal::RunEntry> chooseRun(journal::Journal& journal, long long id = 0);

// The login an undo of `run` connects with: what was given, each empty
// field taken from the run.
struct Login {
  std::string server;
  std::string database;
  std::string user;
};
Login undoLogin(const journal::RunEntry& run, Login given);

// Takes `run` back on `conn`, which `session` opened; the undo is
// journaled as a run of this session. With `script`, the statements are
// written there instead.
journal::UndoResult undoRun(db::Connection& conn, journal::Journal& journal,
                            const journal::RunEntry& run, const Session& session,
                            std::ostream* script = nullptr);

// A password the operator keeps for this server outside the program:
// the engine's own variable (PGPASSWORD, MYSQL_PWD, SQLCMDPASSWORD), then
// its own file (~/.pgpass or PGPASSFILE, the first line matching host,
// port, database and user; the [client] section of ~/.my.cnf). Says where
// it came from in `source`; nullopt when there is none.
std::optional<std::string> keptPassword(const ServerSpec& place, const std::string& user,
                                        std::string* source = nullptr);

// Whether the database's table names ignore case (SQLite; SQL Server's
// default collation; MariaDB where lower_case_table_names is set), so that
// patterns choosing tables ignore it too.
bool tableNamesIgnoreCase(db::Connection& conn);

}  // namespace trellick::session
