// A MariaDB server whose sql_mode is not strict: a value that no longer
// fits its column, or a Replace result larger than the packet, fails its
// table whole with the server's reason; nothing is cut or turned NULL.
// The command line is run as a process; the rows are judged by checksums
// the mariadb client reads.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/files.h"
#include "support/mariadb_server.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using testsupport::CliRun;
using Args = std::vector<std::string>;

using testsupport::operator+;

constexpr long long kPacket = 4 * 1024 * 1024;

class MariaDbNotStrict : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new testsupport::MariaDbServer();
    if (!server->ok()) return;
    // Connections opened from here on take these.
    std::string error;
    if (!server->client(
            "set global sql_mode = ''; set global max_allowed_packet = " + std::to_string(kPacket),
            "", nullptr, &error))
      ADD_FAILURE() << error;
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->ok()) << server->errorText();
    sql("drop table if exists fixed, vary, tiny, medium, huge, fits");
    // A connection of the operator's sees the server's mode.
    ASSERT_EQ(sql("select @@sql_mode"), "");
  }

  std::string sql(const std::string& statements) {
    std::string out, error;
    EXPECT_TRUE(server->client(statements, "shop", &out, &error)) << error;
    return out;
  }
  // Every row's length and checksum, read by the client.
  std::string sums(const std::string& table) {
    return sql(
        "select count(*), group_concat(id, ':', coalesce(length(v), 'null'), ':', "
        "coalesce(md5(v), 'null') order by id separator ' ') from " +
        table);
  }
  CliRun cli(const Args& args) {
    return testsupport::runCli(
        args + Args{"--server", server->serverField(), "--database", "shop", "--user",
                    server->user(), "--password-env", "TRELLICK_TEST_PW", "--journal", journal,
                    "--timeout", "120"},
        {}, testsupport::environmentWith({{"TRELLICK_TEST_PW", server->password()}}));
  }
  // The table lines of a run's JSON output, by table.
  static std::map<std::string, json> byTable(const CliRun& run) {
    std::map<std::string, json> out;
    for (const json& line : run.lines())
      if (line.is_object() && line.contains("table") && line["table"].is_string())
        out[line["table"].get<std::string>()] = line;
    return out;
  }

  static testsupport::MariaDbServer* server;
  testsupport::TempDir files;
  std::string journal = files.file("journal.db");
};

testsupport::MariaDbServer* MariaDbNotStrict::server = nullptr;

// Each table holds a row whose new value fits beside one whose new value
// does not: char(3) and varchar(3) 'abc' made longer, TINYTEXT and TEXT
// values pushed past their byte limits. Each fails whole with the server's
// reason, nothing written; a table whose values all fit is replaced.
TEST_F(MariaDbNotStrict, aValueThatNoLongerFitsFailsItsTableWhole) {
  sql("create table fixed(id int primary key, v char(3));"
      "insert into fixed values (1, 'b'), (2, 'abc');"
      "create table vary(id int primary key, v varchar(3));"
      "insert into vary values (1, 'b'), (2, 'abc');"
      "create table tiny(id int primary key, v tinytext);"
      "insert into tiny values (1, 'b'), (2, concat(repeat('x', 254), 'b'));"
      "create table medium(id int primary key, v text);"
      "insert into medium values (1, 'b'), (2, concat(repeat('x', 65534), 'b'));"
      "create table fits(id int primary key, v varchar(10));"
      "insert into fits values (1, 'b'), (2, 'abc');");
  const std::vector<std::string> failing{"fixed", "vary", "tiny", "medium"};
  std::map<std::string, std::string> before;
  for (const auto& t : failing) before[t] = sums(t);

  const CliRun replaced = cli({"replace", "--find", "b", "--replace", "bb", "--yes", "--json"});
  EXPECT_NE(replaced.exitCode, 0) << replaced.describe();
  auto tables = byTable(replaced);
  for (const auto& t : failing) {
    SCOPED_TRACE(t);
    EXPECT_EQ(sums(t), before[t]) << replaced.describe();
    ASSERT_TRUE(tables.contains(t)) << replaced.describe();
    EXPECT_EQ(tables[t]["status"], "failed") << replaced.describe();
    EXPECT_TRUE(tables[t]["failure"].is_object()) << replaced.describe();
    EXPECT_NE(tables[t]["failure"].dump().find("Data too long"), std::string::npos)
        << replaced.describe();
  }
  EXPECT_EQ(sql("select group_concat(v order by id) from fits"), "bb,abbc");

  // The undo has only the table that was replaced to give back.
  const CliRun undone = cli({"undo", "--yes", "--json"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  for (const auto& t : failing) EXPECT_EQ(sums(t), before[t]) << t;
  EXPECT_EQ(sql("select group_concat(v order by id) from fits"), "b,abc");
}

// A Replace result larger than max_allowed_packet is NULL to the server,
// with a warning: the table fails and says why, nothing written, the long
// value kept; the undo finds nothing of it to give back.
TEST_F(MariaDbNotStrict, aResultLargerThanThePacketFailsItsTableAndIsNeverNull) {
  // Few occurrences: the server's Replace copies the rest of the value at
  // each one.
  sql("create table huge(id int primary key, v longtext);"
      "insert into huge values (1, 'a b'), (2, concat('head ', repeat(concat('b', "
      "repeat('x', 15000)), 200))), (3, 'none');");
  const std::string before = sums("huge");
  ASSERT_NE(before.find(" 2:3000205:"), std::string::npos) << before;

  const CliRun replaced =
      cli({"replace", "--find", "b", "--replace", std::string(7000, 'B'), "--yes", "--json"});
  EXPECT_NE(replaced.exitCode, 0) << replaced.describe();
  auto tables = byTable(replaced);
  ASSERT_TRUE(tables.contains("huge")) << replaced.describe();
  EXPECT_EQ(tables["huge"]["status"], "failed") << replaced.describe();
  EXPECT_TRUE(tables["huge"]["failure"].is_object()) << replaced.describe();
  EXPECT_NE(tables["huge"]["failure"].dump().find("max_allowed_packet"), std::string::npos)
      << replaced.describe();
  EXPECT_EQ(sums("huge"), before);
  EXPECT_EQ(sql("select count(*) from huge where v is null"), "0");

  const CliRun undone = cli({"undo", "--yes", "--json"});
  EXPECT_EQ(sums("huge"), before) << undone.describe();
}

}  // namespace
