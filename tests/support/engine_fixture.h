// One test body, run on every engine: a value-parameterised GoogleTest
// fixture that opens a trellick::db::Connection on a fresh database of the
// engine, sets tables up and reads them back past the code under test (the
// SQLite library on a file; psql and the mariadb client on the servers).
// The servers are started once per test program, on first use.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "db/connection.h"

namespace testsupport {

enum class Engine { SQLite, SqlServer, PostgreSQL, MariaDB };

// Every engine, for INSTANTIATE_TEST_SUITE_P.
inline auto allEngines() {
  return testing::Values(Engine::SQLite, Engine::SqlServer, Engine::PostgreSQL, Engine::MariaDB);
}
std::string engineName(Engine engine);
inline void PrintTo(Engine engine, std::ostream* os) { *os << engineName(engine); }
// Names each instance after its engine.
struct EngineParamName {
  std::string operator()(const testing::TestParamInfo<Engine>& info) const {
    return engineName(info.param);
  }
};

using Value = std::optional<std::string>;  // nullopt: NULL
using Rows = std::vector<std::vector<Value>>;

// How each engine's own client is told a name, a value and a text type
// (the stand-in's tables are made on its SQLite file directly).
// The name quoted, its quote doubled.
std::string clientName(Engine engine, const std::string& name);
// A value the client cannot misread: the server's text from bytes where it
// knows escapes; digits alone as a number (PostgreSQL takes no text for an
// integer column).
std::string clientLiteral(Engine engine, const Value& value);
// Text of a declared length that holds any character.
std::string shortText(Engine engine, int length);
// Text of any length.
std::string longText(Engine engine);

// A digest of rows, NULL told from empty, to compare whole dumps.
std::string md5Of(const Rows& rows);

class EngineFixture : public testing::TestWithParam<Engine> {
 protected:
  EngineFixture();
  ~EngineFixture() override;
  void SetUp() override;
  void TearDown() override;

  Engine engine() const { return GetParam(); }
  trellick::db::Connection& conn() { return *conn_; }

  // Runs statements on the test's database past the connection under test
  // (the SQLite library; psql; the mariadb client). A failure fails the test.
  void setup(const std::string& sql);
  // Runs a script as an operator would, through the engine's own client
  // with its defaults (the sqlite3 shell, psql, mariadb; FreeTDS's tsql on
  // the SQL Server stand-in). A failure fails
  // the test.
  void replay(const std::string& script);
  // The listed columns of every row, in `orderBy` order, read past the
  // connection under test, byte for byte.
  Rows dump(const std::string& table, const std::vector<std::string>& columns,
            const std::string& orderBy);
  // SQL Server: every statement the stand-in has been sent so far, in order
  // (the whole program's). PostgreSQL: every statement the server ran for
  // the test's login on the test's database since logServerStatements(),
  // in order, the driver's own among them. Empty on the other engines.
  std::vector<std::string> serverStatements() const;
  // PostgreSQL: the server logs each statement of the test's login on the
  // test's database from here on; the connection is opened again to take
  // the setting. Nothing elsewhere.
  void logServerStatements();
  // What the connection was opened with: an operator's fields.
  const trellick::db::ConnectFields& fields() const;
  // The command line's options for the test's database; on a server its
  // password is read from the environment cliEnvironment() gives.
  std::vector<std::string> cliConnection() const;
  // This process's environment, with the password on a server.
  std::vector<std::string> cliEnvironment() const;
  // Drops the test's database and makes an empty one under the same name
  // (the same path, for a file), the connection reopened on it.
  void recreateDatabase();

 private:
  void reconnect();
  struct Database;
  std::unique_ptr<Database> db_;
  // Where the server's log stood when logServerStatements() was called.
  size_t logFrom_ = std::string::npos;
  std::unique_ptr<trellick::db::Connection> conn_;
};

}  // namespace testsupport
