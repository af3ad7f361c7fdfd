// A throwaway MariaDB server for one test process: its own data directory,
// socket and port in a fresh temporary directory, no configuration files read,
// real password logins. The server goes away with the object, and with the
// test process if that dies first.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"
#include "server_settings.h"

namespace testsupport {

class MariaDbServer {
 public:
  // Creates the data directory, starts the server on a free loopback port and
  // waits until it accepts; then creates database "shop" (utf8mb4, the
  // server's case-insensitive default collation) and user "trellick" with all
  // privileges on it. ok() is false if any of that failed; errorText() says
  // what, naming a missing program.
  explicit MariaDbServer(ServerSettings settings = ServerSettings::ForTests);
  ~MariaDbServer();
  MariaDbServer(const MariaDbServer&) = delete;
  MariaDbServer& operator=(const MariaDbServer&) = delete;

  bool ok() const { return ok_; }
  const std::string& errorText() const { return error_; }

  std::string host() const { return "127.0.0.1"; }
  int port() const { return port_; }
  std::string user() const { return "trellick"; }
  std::string password() const { return "Tr3llick-pw"; }
  std::string database() const { return "shop"; }
  // "mariadb:127.0.0.1:PORT": the server as the product's server field takes it.
  std::string serverField() const;

  // Runs sql through the real command-line client, connected as root over the
  // server's socket, with utf8mb4 and tab-separated raw output without column
  // names. On success *out (if given) is standard output without its last
  // newline; on failure *error (if given) is the client's message.
  bool client(const std::string& sql, const std::string& database, std::string* out,
              std::string* error = nullptr) const;
  // The same with the client's own character set, as an operator runs a
  // script with it.
  bool stockClient(const std::string& sql, const std::string& database,
                   std::string* error = nullptr) const;

  // Creates a utf8mb4 database with the server's default collation and gives
  // user() all privileges on it.
  bool createDatabase(const std::string& name, std::string* error = nullptr) const;

  // The name under which the MariaDB Unicode driver is registered in the
  // system odbcinst.ini, or the driver library's path when it is not.
  static std::string odbcDriver();
  // A connection string for user() through that driver.
  std::string odbcConnectionString(const std::string& database = "shop") const;

  // The server's error log, for messages when something went wrong.
  std::string serverLog() const;
  // The temporary directory holding data, socket and logs; gone after stop.
  std::string directory() const { return dir_.path(); }
  pid_t serverPid() const { return server_ ? server_->pid() : 0; }

 private:
  bool start();
  bool runProgram(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
                  std::string* output, const std::string& input = {}) const;
  void stop();

  TempDir dir_;
  ServerSettings settings_ = ServerSettings::ForTests;
  std::unique_ptr<Child> server_;
  pid_t watcherPid_ = 0;
  int port_ = 0;
  bool ok_ = false;
  std::string error_;
  std::string mariadbd_, installDb_, admin_, clientProgram_;
};

}  // namespace testsupport
