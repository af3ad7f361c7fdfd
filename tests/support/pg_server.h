// A throwaway PostgreSQL 15 server for one test process: initdb and pg_ctl in a
// fresh temporary directory, listening on 127.0.0.1 on a free port with password
// authentication. Nothing depends on a system service, a cluster under
// /etc/postgresql or an odbc.ini. As root the server runs as "nobody", since
// PostgreSQL refuses to run as root. A detached watcher stops the server if the
// test process dies without running the destructor.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "server_settings.h"

namespace testsupport {

class PgServer {
 public:
  // Starts the server and creates the login role user() and the database
  // database() owned by it. ok() is false if any step failed; errorText() says
  // which (a missing PostgreSQL binary is named there).
  explicit PgServer(ServerSettings settings = ServerSettings::ForTests);
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  bool ok() const { return ok_; }
  const std::string& errorText() const { return error_; }

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  // The login role and database the product connects with.
  std::string user() const { return "trellick"; }
  std::string password() const { return "tr3llick-pw"; }
  std::string database() const { return "shop"; }
  // The bootstrap superuser, for set-up the test role may not do.
  std::string superuser() const { return "postgres"; }
  std::string superuserPassword() const { return "su-pw-7"; }
  // "postgresql:127.0.0.1:PORT": host and port as the product's server field takes them.
  std::string serverField() const;

  // Runs sql through the real psql client as the superuser (-X -A -t -q,
  // ON_ERROR_STOP), on database() unless one is named. Returns its standard
  // output without the final newline; lastError() has stderr and the exit
  // status when it failed.
  std::string psql(const std::string& sql, const std::string& database = {}) const;
  // The same, saying whether psql succeeded; the output goes to *out if given.
  bool psqlOk(const std::string& sql, const std::string& database = {},
              std::string* out = nullptr) const;
  const std::string& lastError() const { return lastError_; }

  // Creates a database owned by user(); false (and lastError()) on failure.
  bool createDatabase(const std::string& name) const;

  // The name under which the Unicode psqlodbc driver is registered in
  // /etc/odbcinst.ini, or its library path when it is not registered.
  static std::string odbcDriver();
  // A connection string for the Unicode psqlodbc driver as user(); extra is
  // appended as is ("Key=value;...").
  std::string odbcConnectionString(const std::string& database = {},
                                   const std::string& extra = {}) const;

  // The server's own log, for a failure message.
  std::string serverLog() const;

 private:
  bool start();
  bool runStep(const std::string& program, const std::vector<std::string>& args, int timeoutMs);
  void startWatcher();
  void stop();
  std::vector<std::string> asServerUser(const std::string& program,
                                        const std::vector<std::string>& args) const;

  std::unique_ptr<TempDir> dir_;
  bool ok_ = false;
  bool started_ = false;
  bool dropPrivileges_ = false;
  ServerSettings settings_ = ServerSettings::ForTests;
  int port_ = 0;
  std::string error_;
  mutable std::string lastError_;
};

}  // namespace testsupport
