// A PostgreSQL server that ends the command line's session itself (an
// operator's pg_terminate_backend, a shutdown, a crash of another backend):
// the session is gone as surely as a cut cable, so the table fails with the
// server's reason, the run does not count as done, and the walk goes on
// over a new connection. On a server the test starts, with the real driver.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/error.h"
#include "support/cli_run.h"
#include "support/pg_server.h"
#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

// The states a server sends as it ends a session of its own accord are a
// lost connection; a cancelled statement or a refused one is not.
TEST(LostConnectionStates, TheServerEndingTheSessionIsALostConnection) {
  using trellick::db::DbError;
  using trellick::db::isConnectionLost;
  for (const char* state : {"57P01", "57P02", "57P03", "08S01", "08006"}) {
    SCOPED_TRACE(state);
    EXPECT_TRUE(isConnectionLost(DbError("find", {{"01000", 0, "a notice"}, {state, 7, "gone"}})));
  }
  for (const char* state : {"57014", "57000", "42P01", "HYT00", "40001"}) {
    SCOPED_TRACE(state);
    EXPECT_FALSE(isConnectionLost(DbError("find", {{state, 7, "refused"}})));
  }
}

// The command line's session ended by pg_terminate_backend while its
// statement on the first table waits for a lock the test holds; a table
// without a key and with an odd name, and a keyed one, come after it.
TEST(LostConnection, TerminatedSessionFailsTheTableAndTheWalkGoesOn) {
  testsupport::PgServer server;
  ASSERT_TRUE(server.ok()) << server.errorText();
  ASSERT_TRUE(
      server.psqlOk("create table aa_held(id int primary key, v text);"
                    "insert into aa_held values (1, 'a needle');"
                    "create table \"mm no key\"(v varchar(20), n int);"
                    "insert into \"mm no key\" values ('needle', 1), ('needle', 1), (null, 2);"
                    "create table zz_free(id int primary key, v text);"
                    "insert into zz_free values (1, 'needle'), (2, 'x'), (3, 'needle too');"
                    "grant all on aa_held, \"mm no key\", zz_free to trellick;"))
      << server.lastError();

  // The lock, held by a session of the superuser's until it is ended.
  testsupport::ProcessOptions holderOptions;
  holderOptions.setEnv = {{"PGPASSWORD", server.superuserPassword()}};
  testsupport::Child holder(
      {"/usr/lib/postgresql/15/bin/psql", "-X", "-q", "-h", server.host(), "-p",
       std::to_string(server.port()), "-U", server.superuser(), "-d", server.database(), "-c",
       "begin; lock table aa_held in access exclusive mode; select pg_sleep(600);"},
      "", "", holderOptions);
  ASSERT_TRUE(holder.started());
  const auto holding = [&] {
    return server.psql(
               "select count(*) from pg_locks l join pg_class c on c.oid = l.relation "
               "where c.relname = 'aa_held' and l.mode = 'AccessExclusiveLock' and "
               "l.granted") == "1";
  };
  const auto lockHeld = Clock::now();
  while (!holding() && Clock::now() - lockHeld < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(holding()) << server.lastError();

  testsupport::ProcessOptions options;
  options.environment = testsupport::environmentWith({{"TRELLICK_TEST_PW", server.password()}});
  testsupport::CliProcess cli(
      {"find", "--server", server.serverField(), "--database", server.database(), "--user",
       server.user(), "--password-env", "TRELLICK_TEST_PW", "--find", "needle", "--timeout", "0",
       "--format", "json"},
      options);
  ASSERT_TRUE(cli.started());
  const std::string waiting =
      "from pg_stat_activity where usename = 'trellick' and wait_event_type = 'Lock'";
  const auto started = Clock::now();
  while (server.psql("select count(*) " + waiting) != "1" && cli.running() &&
         Clock::now() - started < std::chrono::seconds(30))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(server.psql("select count(pg_terminate_backend(pid)) " + waiting), "1")
      << cli.err() << cli.out();

  ASSERT_TRUE(cli.waitFor(30000)) << cli.err();
  // Ended for good: the walk's new connection finds no lock left behind.
  server.psql(
      "select pg_terminate_backend(pid) from pg_stat_activity where usename = "
      "'postgres' and pid <> pg_backend_pid() and query like '%pg_sleep%'");
  EXPECT_EQ(cli.exitCode(), 1) << cli.err();
  std::optional<nlohmann::json> held, keyless, free, summary;
  while (const std::optional<std::string> line = cli.readLine(1000)) {
    const nlohmann::json j = nlohmann::json::parse(*line, nullptr, false);
    if (!j.is_object()) continue;
    if (j.value("table", "") == "aa_held") held = j;
    if (j.value("table", "") == "mm no key") keyless = j;
    if (j.value("table", "") == "zz_free") free = j;
    if (j.value("type", "") == "summary") summary = j;
  }
  ASSERT_TRUE(held) << cli.out() << cli.err();
  EXPECT_EQ((*held)["status"], "failed") << held->dump();
  EXPECT_EQ((*held)["failure"]["connection_lost"], true) << held->dump();
  EXPECT_NE((*held)["failure"]["message"].get<std::string>().find(
                "terminating connection due to administrator command"),
            std::string::npos)
      << held->dump();
  // The next tables went on over a connection made again.
  ASSERT_TRUE(keyless) << cli.out() << cli.err();
  EXPECT_EQ((*keyless)["status"], "found") << keyless->dump();
  EXPECT_EQ((*keyless)["records"], 2) << keyless->dump();
  ASSERT_TRUE(free) << cli.out() << cli.err();
  EXPECT_EQ((*free)["status"], "found") << free->dump();
  EXPECT_EQ((*free)["records"], 2) << free->dump();
  ASSERT_TRUE(summary) << cli.out();
  EXPECT_EQ((*summary)["failed"], 1) << summary->dump();
  EXPECT_EQ((*summary)["run"], 3) << summary->dump();
}

}  // namespace
