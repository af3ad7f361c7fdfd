// The command line's literal replace and its undo on every engine, with a
// text and a table name that are not ASCII: the dump read with the engine's
// own client has the same MD5 after the undo as before the replace. Run
// against the Linux program and, with TRELLICK_CLI, the Windows one under
// wine. A SQLite file whose path is not ASCII besides.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "support/md5.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::Engine;

std::string md5Of(const testsupport::Rows& rows) {
  std::string bytes;
  for (const auto& row : rows) {
    for (const auto& value : row)
      bytes += value ? "v" + std::to_string(value->size()) + ":" + *value : "null";
    bytes += '\n';
  }
  return testsupport::md5Hex(bytes);
}

class CliEngines : public testsupport::EngineFixture {
 protected:
  testsupport::CliRun cli(std::vector<std::string> args) {
    const auto connection = cliConnection();
    args.insert(args.end(), connection.begin(), connection.end());
    args.insert(args.end(), {"--journal", dir_.file("journal.db"), "--json"});
    return testsupport::runCli(args, {}, cliEnvironment());
  }
  testsupport::TempDir dir_;
};

TEST_P(CliEngines, replaceThenUndoGivesBackTheSameDumpWithTextsBeyondAscii) {
  const std::string table = "顧客_Olé";
  const std::string name = testsupport::clientName(engine(), table);
  const std::string text = testsupport::shortText(engine(), 80);
  setup("create table " + name + "(id int primary key, note " + text + ");");
  setup("insert into " + name + " values(1, " +
        testsupport::clientLiteral(engine(), "Olé 汉字 Olé") + ");");
  setup("insert into " + name + " values(2, " + testsupport::clientLiteral(engine(), "ole, OLÉ") +
        ");");
  const auto before = dump(name, {"id", "note"}, "id");

  const auto replaced = cli({"replace", "--yes", "--find", "Olé", "--replace", "Ωμέγα"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  const auto after = dump(name, {"id", "note"}, "id");
  ASSERT_EQ(after.size(), 2u);
  // Only the exact bytes of "Olé" changed; "OLÉ" and "ole" did not.
  EXPECT_EQ(after[0][1], std::optional<std::string>("Ωμέγα 汉字 Ωμέγα"));
  EXPECT_EQ(after[1][1], std::optional<std::string>("ole, OLÉ"));
  bool named = false;
  for (const auto& line : replaced.lines())
    if (line.is_object() && line.value("table", "").find(table) != std::string::npos) named = true;
  EXPECT_TRUE(named) << replaced.describe();

  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(md5Of(dump(name, {"id", "note"}, "id")), md5Of(before));
}

INSTANTIATE_TEST_SUITE_P(Engines, CliEngines,
                         testing::Values(Engine::SQLite, Engine::SqlServer, Engine::PostgreSQL,
                                         Engine::MariaDB),
                         testsupport::EngineParamName());

TEST(CliSqlitePath, aDatabaseWhosePathIsNotAsciiIsReplacedAndUndone) {
  testsupport::TempDir dir;
  const std::string path = dir.file("données_数据.db");
  testdb::exec(path,
               "create table t(id integer primary key, note text);"
               "insert into t values(1, 'café');");
  const auto env = testsupport::environmentWith({});
  const std::vector<std::string> where{"--server", "sqlite",    "--database",
                                       path,       "--journal", dir.file("journal.db")};
  auto with = [&where](std::vector<std::string> args) {
    args.insert(args.end(), where.begin(), where.end());
    return args;
  };
  const auto replaced = testsupport::runCli(
      with({"replace", "--yes", "--find", "café", "--replace", "thé"}), {}, env);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  EXPECT_EQ(testdb::query(path, "select note from t"),
            (std::vector<std::vector<std::string>>{{"thé"}}));
  const auto undone = testsupport::runCli(with({"undo", "--yes"}), {}, env);
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(testdb::query(path, "select note from t"),
            (std::vector<std::vector<std::string>>{{"café"}}));
}

}  // namespace
