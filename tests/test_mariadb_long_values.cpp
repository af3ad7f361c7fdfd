// Values near the server's packet limit, replaced and undone from the
// command line run as a process on a real MariaDB server, judged by
// checksums the mariadb client reads.
#include <gtest/gtest.h>

#include <cctype>
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

class MariaDbLongValues : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new testsupport::MariaDbServer();
    if (!server->ok()) return;
    // Connections opened from here on take the smaller packet, which keeps
    // the values (and the test) small.
    std::string error;
    if (!server->client("set global max_allowed_packet = " + std::to_string(kPacket), "", nullptr,
                        &error))
      ADD_FAILURE() << error;
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->ok()) << server->errorText();
    sql("drop table if exists keyed, keyless");
  }

  std::string sql(const std::string& statements) {
    std::string out, error;
    EXPECT_TRUE(server->client(statements, "shop", &out, &error)) << error;
    return out;
  }
  // Every row's length and checksum, read by the client.
  std::string sums(const std::string& table) {
    return sql(
        "select count(*), coalesce(sum(length(v)), 0), group_concat(id, ':', length(v), "
        "':', md5(v) order by id, md5(v) separator ' ') from " +
        table);
  }
  CliRun cli(const Args& args) {
    return testsupport::runCli(
        args + Args{"--server", server->serverField(), "--database", "shop", "--user",
                    server->user(), "--password-env", "TRELLICK_TEST_PW", "--journal", journal,
                    "--timeout", "120"},
        {}, testsupport::environmentWith({{"TRELLICK_TEST_PW", server->password()}}));
  }

  static testsupport::MariaDbServer* server;
  testsupport::TempDir files;
  std::string journal = files.file("journal.db");
};

testsupport::MariaDbServer* MariaDbLongValues::server = nullptr;

// A value over half the packet (its hex image alone is larger than a
// packet) among small rows, in a table with a key and one without: the
// undo gives every row back byte for byte. Another long value's characters
// outside the BMP straddle the pieces it is sent in.
TEST_F(MariaDbLongValues, aValueOverHalfThePacketIsUndoneWithTheSmallRows) {
  const std::string big = "concat('head foo ', repeat('x', 3000000), ' foo', repeat('y', 7))";
  const std::string wide = "concat('x foo ', repeat('中😀', 300000))";
  const std::string rows =
      "(1, 'a foo'), (2, " + big + "), (3, 'foo b'), (4, 'none'), (5, " + wide + ")";
  sql("create table keyed(id int primary key, v longtext);"
      "insert into keyed values " +
      rows +
      ";"
      "create table keyless(id int, v longtext);"
      "insert into keyless values " +
      rows + ";");
  const std::string keyedBefore = sums("keyed"), keylessBefore = sums("keyless");
  ASSERT_NE(keyedBefore.find(" 2:3000020:"), std::string::npos) << keyedBefore;
  ASSERT_NE(keyedBefore.find(" 5:2100006:"), std::string::npos) << keyedBefore;

  const CliRun replaced = cli({"replace", "--find", "foo", "--replace", "bar", "--yes", "--json"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  ASSERT_EQ(sql("select count(*) from keyed where v like '%foo%'"), "0");
  ASSERT_EQ(sql("select count(*) from keyless where v like '%foo%'"), "0");
  ASSERT_EQ(sql("select count(*) from keyed where v like 'head bar %' and v like '% bar%'"), "1");

  const std::string keyedAfter = sums("keyed"), keylessAfter = sums("keyless");

  const CliRun undone = cli({"undo", "--yes", "--json"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(sums("keyed"), keyedBefore);
  EXPECT_EQ(sums("keyless"), keylessBefore);

  // The undo's own journal, the long row's whole-row guard included,
  // takes the undo back.
  const std::vector<json> lines = undone.lines();
  ASSERT_FALSE(lines.empty()) << undone.describe();
  const json& summary = lines.back();
  ASSERT_TRUE(summary.contains("undo_run")) << undone.describe();
  const CliRun again =
      cli({"undo", std::to_string(summary["undo_run"].get<long long>()), "--yes", "--json"});
  EXPECT_EQ(again.exitCode, 0) << again.describe();
  EXPECT_EQ(sums("keyed"), keyedAfter);
  EXPECT_EQ(sums("keyless"), keylessAfter);
}

// A row the server refuses fails the undo of its own table, told as
// failed with nothing of that table written, while the other table, its
// long value included, is given back.
TEST_F(MariaDbLongValues, aRefusedRowFailsItsTableToldAndTheOtherTableIsRestored) {
  const std::string big = "concat('head foo ', repeat('x', 3000000), ' foo', repeat('y', 7))";
  sql("create table keyed(id int primary key, v longtext);"
      "insert into keyed values (1, 'a foo'), (2, " +
      big +
      "), (3, 'foo b');"
      "create table keyless(id int, v longtext);"
      "insert into keyless values (1, 'a foo'), (2, " +
      big + "), (3, 'foo b');");
  const std::string keylessBefore = sums("keyless");

  const CliRun replaced = cli({"replace", "--find", "foo", "--replace", "bar", "--yes", "--json"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  // From now on the server refuses one of keyed's old values.
  sql("alter table keyed add constraint no_a_foo check (v <> 'a foo')");
  const std::string keyedAfter = sums("keyed");

  const CliRun undone = cli({"undo", "--yes", "--json"});
  EXPECT_NE(undone.exitCode, 0) << undone.describe();
  const std::vector<json> lines = undone.lines();
  ASSERT_EQ(lines.size(), 3u) << undone.describe();
  for (const json& line : {lines[0], lines[1]}) {
    ASSERT_TRUE(line.is_object()) << undone.describe();
    if (line["table"] == "keyed") {
      EXPECT_TRUE(line["failure"].is_string()) << undone.describe();
      EXPECT_EQ(line["restored"], 0) << undone.describe();
    } else {
      EXPECT_EQ(line["table"], "keyless") << undone.describe();
      EXPECT_TRUE(line["failure"].is_null()) << undone.describe();
      EXPECT_EQ(line["restored"], 3) << undone.describe();
    }
  }
  EXPECT_EQ(lines[2]["restored"], 3) << undone.describe();
  EXPECT_EQ(sums("keyed"), keyedAfter);
  EXPECT_EQ(sums("keyless"), keylessBefore);
}

// A long row put back by hand since the run is already so, one edited
// since is a conflict: each told as such, with the other rows restored,
// though the old value written out as a literal (its backslashes doubled)
// would outgrow the packet.
TEST_F(MariaDbLongValues, longRowsChangedSinceAreToldAlreadySoOrConflicts) {
  const std::string slashes = "concat('foo ', repeat('\\\\', 2500000))";
  sql("create table keyed(id int primary key, v longtext);"
      "insert into keyed values (1, 'a foo'), (2, " +
      slashes + "), (3, " + slashes + ");");
  const std::string before = sums("keyed");
  ASSERT_NE(before.find(" 2:2500004:"), std::string::npos) << before;

  const CliRun replaced = cli({"replace", "--find", "foo", "--replace", "bar", "--yes", "--json"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  sql("update keyed set v = " + slashes + " where id = 2;" +
      "update keyed set v = concat('edited ', v) where id = 3;");
  const std::string edited = sql("select md5(v) from keyed where id = 3");

  const CliRun undone = cli({"undo", "--yes", "--json"});
  const std::vector<json> lines = undone.lines();
  ASSERT_EQ(lines.size(), 2u) << undone.describe();
  const json& table = lines[0];
  EXPECT_TRUE(table["failure"].is_null()) << undone.describe();
  EXPECT_EQ(table["restored"], 1) << undone.describe();
  EXPECT_EQ(table["already"], 1) << undone.describe();
  EXPECT_EQ(table["conflicts"].size(), 1u) << undone.describe();
  EXPECT_EQ(sql("select id, md5(v) from keyed where id < 3 order by id"),
            sql("select 1, md5('a foo') union all select 2, md5(" + slashes + ")"));
  EXPECT_EQ(sql("select md5(v) from keyed where id = 3"), edited);
}

}  // namespace

namespace {

// The row rewriter writes its values as bound wide parameters: a value
// whose UTF-8 is longer than its UTF-16 (three-byte characters) arrives
// with exactly its own bytes, nothing after them.
TEST_F(MariaDbLongValues, boundValuesWithThreeByteCharactersKeepTheirLength) {
  sql("create table keyed(id int primary key, v text) character set utf8mb4;"
      "insert into keyed values (1, 'row 1 at a.com/x'), (2, 'a.com'), (3, 'é a.com 😀');");
  const CliRun replaced = cli({"replace", "--yes", "--tables", "keyed", "--find", "a.com",
                               "--replace", "a.com.b'站", "--find", "zzz", "--replace", "y"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  auto hex = [](const std::string& text) {
    std::string h = testsupport::hexOf(text);
    for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return h;
  };
  EXPECT_EQ(sql("select id, hex(v) from keyed order by id"), "1\t" + hex("row 1 at a.com.b'站/x") +
                                                                 "\n2\t" + hex("a.com.b'站") +
                                                                 "\n3\t" + hex("é a.com.b'站 😀"));
}

}  // namespace
