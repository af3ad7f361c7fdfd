// Starts tests/tds_standin.py, a SQL Server stand-in that runs what it receives on
// SQLite files, and reads what it logged. The real FreeTDS driver connects to it on
// a loopback port, so a test sees rows, errors, counts and time-outs as the product
// would from a server.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"

namespace testsupport {

class TdsStandin {
 public:
  struct Schema {
    std::string name;  // e.g. "sales": [sales].[Orders] reads this file
    std::string file;
  };

  // mainFile plays schema dbo. Waits up to 10 s for the server to listen;
  // port() is 0 if it did not (errorText() says why).
  explicit TdsStandin(const std::string& mainFile, const std::vector<Schema>& schemas = {});
  ~TdsStandin();
  TdsStandin(const TdsStandin&) = delete;
  TdsStandin& operator=(const TdsStandin&) = delete;

  int port() const { return port_; }
  // "127.0.0.1,PORT": host and port as the product's server field takes them.
  std::string serverField() const;
  // A FreeTDS connection string for this server, as the product builds one.
  std::string connectionString(const std::string& driver,
                               const std::string& database = "shop") const;

  // Replaces the control file the server reads before each request:
  // {"delays": {"Orders": 12.0}, "attention_delay": 0, "reject": ["text"]},
  // "held": {"Update [Orders]": 30.0} (the statement runs, its reply waits).
  void setControl(const nlohmann::json& control);

  // Every logged entry, oldest first: login, batch, rpc, attention, error, and
  // tran (op begin/commit/rollback, cont, or cause "disconnect"). Batches, calls
  // and tran requests carry the transaction descriptor the client sent, as
  // 16 hex digits ("0000000000000000" outside a transaction).
  std::vector<nlohmann::json> log() const;
  // Statement texts in order: batches, and the statements of sp_executesql,
  // sp_prepare and sp_prepexec calls.
  std::vector<std::string> batches() const;
  // What the server wrote on stderr (empty while all is well).
  std::string errorText() const;

 private:
  TempDir dir_;
  std::unique_ptr<Child> process_;
  int port_ = 0;
};

}  // namespace testsupport
