// Nothing waits without end: a server that takes the connection and never
// answers ends the command line's connect at --connect-timeout, on every
// server form, with a message that names the option; a server that stops
// answering in the middle of a statement fails that table at the statement
// time-out and a little more, and the walk goes on over a new connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_run.h"
#include "support/files.h"
#include "support/free_port.h"
#include "support/mariadb_server.h"
#include "support/pg_server.h"

namespace {

using testsupport::CliRun;
using Clock = std::chrono::steady_clock;

// Takes every connection on a loopback port and never says a word.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
          const int taken = ::accept(fd_, nullptr, nullptr);
          if (taken >= 0) taken_.push_back(taken);
        }
      }
    });
  }
  ~SilentListener() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : taken_) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }
  size_t taken() const { return taken_.size(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::vector<int> taken_;
  std::thread thread_;
};

TEST(ConnectTimeout, SilentServerEndsTheConnectOnEveryServerForm) {
  SilentListener listener;
  ASSERT_NE(listener.port(), 0);
  const std::string port = std::to_string(listener.port());
  ::setenv("TRELLICK_TEST_PW", "pw", 1);
  for (const std::string& server :
       {"postgresql:127.0.0.1:" + port, "mariadb:127.0.0.1:" + port, "127.0.0.1," + port}) {
    SCOPED_TRACE(server);
    const auto started = Clock::now();
    const CliRun run = testsupport::runCli(
        {"find", "--server", server, "--database", "shop", "--user", "u", "--password-env",
         "TRELLICK_TEST_PW", "--find", "a", "--timeout", "30", "--connect-timeout", "2"});
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(run.exitCode, 2) << run.describe();
    // Two seconds, a second's grace where the driver does not keep it
    // itself, and the program's start.
    EXPECT_GE(seconds, 1.5) << run.describe();
    EXPECT_LT(seconds, 8) << run.describe();
    EXPECT_NE(run.err.find("cannot connect to " + server), std::string::npos) << run.describe();
    EXPECT_NE(run.err.find("Login timeout expired (2 s); raise it with --connect-timeout SECONDS"),
              std::string::npos)
        << run.describe();
  }
  EXPECT_GE(listener.taken(), 3u);
}

// A connection of the test's own, holding a lock for as long as it lives.
class LockHolder {
 public:
  LockHolder(const std::string& connectionString, const std::vector<std::string>& statements) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string cs = connectionString;
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()),
                                        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
      error_ = "cannot connect: " + cs;
      return;
    }
    connected_ = true;
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                      0);
    for (std::string sql : statements) {
      SQLHSTMT stmt = SQL_NULL_HSTMT;
      SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
      if (!SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)))
        error_ = "failed: " + sql;
      SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
  }
  ~LockHolder() {
    if (connected_) {
      SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      SQLDisconnect(dbc_);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  const std::string& error() const { return error_; }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
  std::string error_;
};

// The parent of a process, from /proc.
pid_t parentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 2));
  char state = 0;
  pid_t parent = 0;
  rest >> state >> parent;
  return parent;
}

// A server process and every process it started, stopped or continued
// together (PostgreSQL serves each connection from a process of its own).
void signalServer(pid_t server, int sig) {
  ::kill(server, sig);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (parentOf(pid) == server) ::kill(pid, sig);
  }
}

// What each server engine needs for the case: its field, login, the
// locking statements, the question whether a statement waits on the lock,
// and the process to stop.
struct PausedServer {
  std::string server, user, password, connectionString;
  std::vector<std::string> lock;
  std::function<bool()> statementWaits;
  pid_t process = 0;
  // aa_held's value, read with the engine's own client.
  std::function<std::string()> heldValue;
};

void stopsAnsweringMidStatement(const PausedServer& db) {
  ::setenv("TRELLICK_TEST_PW", db.password.c_str(), 1);
  std::optional<LockHolder> holder;
  holder.emplace(db.connectionString, db.lock);
  ASSERT_EQ(holder->error(), "");
  testsupport::CliProcess cli({"find", "--server", db.server, "--database", "shop", "--user",
                               db.user, "--password-env", "TRELLICK_TEST_PW", "--find", "needle",
                               "--tables", "aa_held,zz_free", "--timeout", "2", "--format",
                               "json"});
  ASSERT_TRUE(cli.started());
  const auto waitStarted = Clock::now();
  while (!db.statementWaits() && Clock::now() - waitStarted < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(db.statementWaits()) << cli.err();
  signalServer(db.process, SIGSTOP);
  const auto paused = Clock::now();
  const std::optional<std::string> first = cli.readLine(30000);
  const double failedAfter = std::chrono::duration<double>(Clock::now() - paused).count();
  // The walk reconnects once, to the server answering again.
  signalServer(db.process, SIGCONT);
  ASSERT_TRUE(first) << cli.err();
  // Two seconds of time-out, its cancel unanswered as long again, and two
  // more: then the connection is given up.
  EXPECT_LT(failedAfter, 12) << *first;
  const nlohmann::json held = nlohmann::json::parse(*first);
  EXPECT_EQ(held["table"], "aa_held");
  EXPECT_EQ(held["status"], "failed") << held.dump();
  EXPECT_EQ(held["failure"]["connection_lost"], true) << held.dump();
  const std::string message = held["failure"]["message"];
  EXPECT_NE(message.find("Query timeout expired (2 s); raise it with --timeout SECONDS"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("the connection was given up"), std::string::npos) << message;

  ASSERT_TRUE(cli.waitFor(30000)) << cli.err();
  EXPECT_EQ(cli.exitCode(), 1) << cli.err();
  std::optional<nlohmann::json> free;
  while (const std::optional<std::string> line = cli.readLine(1000)) {
    const nlohmann::json j = nlohmann::json::parse(*line, nullptr, false);
    if (j.is_object() && j.value("table", "") == "zz_free") free = j;
  }
  ASSERT_TRUE(free) << cli.out() << cli.err();
  EXPECT_EQ((*free)["status"], "found") << free->dump();
  EXPECT_EQ((*free)["records"], 2) << free->dump();

  // A server that answers ends the statement at the time-out; the message
  // names the option.
  const CliRun timedOut =
      testsupport::runCli({"find", "--server", db.server, "--database", "shop", "--user", db.user,
                           "--password-env", "TRELLICK_TEST_PW", "--find", "needle", "--tables",
                           "aa_held", "--timeout", "1", "--format", "json"});
  EXPECT_EQ(timedOut.exitCode, 1) << timedOut.describe();
  ASSERT_FALSE(timedOut.lines().empty()) << timedOut.describe();
  const nlohmann::json line = timedOut.lines().front();
  EXPECT_EQ(line["status"], "failed") << line.dump();
  EXPECT_EQ(line["failure"]["connection_lost"], false) << line.dump();
  EXPECT_NE(line["failure"]["message"].get<std::string>().find(
                "Query timeout expired (1 s); raise it with --timeout SECONDS or 0 for none"),
            std::string::npos)
      << line.dump();

  // replace has no time-out unless given: it waits for the lock as long as
  // it is held, past the ten seconds of the other commands.
  testsupport::TempDir dir;
  testsupport::CliProcess replace({"replace",
                                   "--server",
                                   db.server,
                                   "--database",
                                   "shop",
                                   "--user",
                                   db.user,
                                   "--password-env",
                                   "TRELLICK_TEST_PW",
                                   "--find",
                                   "needle",
                                   "--replace",
                                   "pin",
                                   "--tables",
                                   "aa_held",
                                   "--yes",
                                   "--format",
                                   "json",
                                   "--journal",
                                   dir.file("journal.db")});
  ASSERT_TRUE(replace.started());
  std::this_thread::sleep_for(std::chrono::seconds(11));
  EXPECT_TRUE(replace.running()) << replace.out() << replace.err();
  holder.reset();
  ASSERT_TRUE(replace.waitFor(30000)) << replace.err();
  EXPECT_EQ(replace.exitCode(), 0) << replace.out() << replace.err();
  EXPECT_EQ(db.heldValue(), "a pin");
}

TEST(StatementTimeout, PausedMariaDbFailsTheTableAndTheWalkGoesOn) {
  testsupport::MariaDbServer server;
  ASSERT_TRUE(server.ok()) << server.errorText();
  std::string error;
  ASSERT_TRUE(
      server.client("create table aa_held(id int primary key, v text);"
                    "insert into aa_held values (1, 'a needle');"
                    "create table zz_free(id int primary key, v text);"
                    "insert into zz_free values (1, 'needle'), (2, 'x'), (3, 'needle too');",
                    "shop", nullptr, &error))
      << error;
  PausedServer db{server.serverField(),
                  server.user(),
                  server.password(),
                  server.odbcConnectionString(),
                  {"lock tables aa_held write"},
                  {},
                  0,
                  {}};
  db.statementWaits = [&] {
    std::string out;
    server.client(
        "select count(*) from information_schema.processlist where user = 'trellick'"
        " and state like '%lock%'",
        "", &out);
    return out == "1";
  };
  db.process = server.serverPid();
  db.heldValue = [&] {
    std::string out;
    server.client("select v from aa_held", "shop", &out);
    return out;
  };
  stopsAnsweringMidStatement(db);
}

TEST(StatementTimeout, PausedPostgreSqlFailsTheTableAndTheWalkGoesOn) {
  testsupport::PgServer server;
  ASSERT_TRUE(server.ok()) << server.errorText();
  ASSERT_TRUE(
      server.psqlOk("create table aa_held(id int primary key, v text);"
                    "insert into aa_held values (1, 'a needle');"
                    "create table zz_free(id int primary key, v text);"
                    "insert into zz_free values (1, 'needle'), (2, 'x'), (3, 'needle too');"
                    "grant all on aa_held, zz_free to trellick;"))
      << server.lastError();
  PausedServer db{server.serverField(),
                  server.user(),
                  server.password(),
                  server.odbcConnectionString(),
                  {"lock table aa_held in access exclusive mode"},
                  {},
                  0,
                  {}};
  db.statementWaits = [&] {
    return server.psql(
               "select count(*) from pg_stat_activity where usename = 'trellick'"
               " and wait_event_type = 'Lock'") == "1";
  };
  std::ifstream pidFile(server.psql("show data_directory") + "/postmaster.pid");
  pidFile >> db.process;
  db.heldValue = [&] { return server.psql("select v from aa_held"); };
  ASSERT_GT(db.process, 1);
  stopsAnsweringMidStatement(db);
}

}  // namespace
