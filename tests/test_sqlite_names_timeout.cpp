// SQLite through its ODBC driver, where the driver itself stands between a
// statement and the file: its scanner reads quotes, "?" and ";" inside
// names, it cuts field names at a ".", and it keeps its own record of the
// transaction that a time-out ends. The command line is run as a process
// on real files, judged by dumps read with the SQLite C library.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/files.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::CliRun;
using testsupport::TempDir;
using Rows = std::vector<std::vector<std::string>>;

std::string named(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> tablesOf(const std::string& path) {
  std::vector<std::string> out;
  for (const auto& row :
       testdb::query(path, "select name from sqlite_master where type = 'table' order by rowid"))
    out.push_back(row[0]);
  return out;
}

std::vector<std::string> columnsOf(const std::string& path, const std::string& table) {
  std::vector<std::string> out;
  for (const auto& row :
       testdb::query(path, "select name from pragma_table_info(" + literal(table) + ")"))
    out.push_back(row[0]);
  return out;
}

// Every table, each row with every value's storage class and bytes, by
// rowid where a name still reaches it, sorted otherwise.
Rows dump(const std::string& path) {
  Rows out;
  for (const std::string& table : tablesOf(path)) {
    const std::vector<std::string> columns = columnsOf(path, table);
    std::set<std::string> lower;
    for (std::string c : columns) {
      for (char& ch : c) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      lower.insert(c);
    }
    std::string row;
    for (const char* name : {"_rowid_", "rowid", "oid"})
      if (!lower.contains(name)) {
        row = name;
        break;
      }
    for (const auto& c : columns)
      row += std::string(row.empty() ? "" : " || '|' || ") + "typeof(" + named(c) +
             ") || ':' || quote(" + named(c) + ")";
    out.push_back({"table " + table});
    for (auto& r : testdb::query(path, "select " + row + " from " + named(table) + " order by 1"))
      out.push_back(r);
  }
  return out;
}

// The rows of the table holding the text, as SQLite itself counts them.
long long trueCount(const std::string& path, const std::string& table, const std::string& text) {
  std::string where;
  for (const auto& c : columnsOf(path, table))
    where += std::string(where.empty() ? "" : " or ") + "instr(" + named(c) + ", " + literal(text) +
             ") > 0";
  return std::stoll(
      testdb::query(path, "select count(*) from " + named(table) + " where " + where)[0][0]);
}

// The file as a replace should leave it, the replace done by SQLite.
Rows replacedBySqlite(const std::string& path, const std::string& copy, const std::string& find,
                      const std::string& by) {
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
  std::string script;
  for (const std::string& table : tablesOf(copy))
    for (const auto& c : columnsOf(copy, table))
      script += "update " + named(table) + " set " + named(c) + " = replace(" + named(c) + ", " +
                literal(find) + ", " + literal(by) + ") where typeof(" + named(c) + ") = 'text';";
  testdb::exec(copy, script);
  return dump(copy);
}

// Each table line of a --json run, by table name.
std::map<std::string, nlohmann::json> tableLines(const CliRun& run, const std::string& type) {
  std::map<std::string, nlohmann::json> out;
  for (const auto& line : run.lines())
    if (line.is_object() && line.value("type", "") == type) out[line.value("table", "")] = line;
  return out;
}

class SqliteDriverEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.valid()) << dir_.error();
    db_ = dir_.file("t.db");
    journal_ = dir_.file("journal.db");
  }

  CliRun run(const std::string& command, std::vector<std::string> more = {}) {
    std::vector<std::string> args{command, "--server",  "sqlite", "--database",
                                  db_,     "--journal", journal_, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    return testsupport::runCli(args);
  }

  TempDir dir_;
  std::string db_, journal_;
};

// Each character the driver's scanner or its field names misread, alone
// and all together, in a table's name and a column's, with every kind of
// key: an integer key, a text key the replace changes, the rowid, and no
// key at all (the rowid's names taken by columns). Every table is found
// with SQLite's own count, previewed, replaced as SQLite replaces, and
// given back byte for byte.
TEST_F(SqliteDriverEdges, oddNamesAreFoundReplacedAndUndone) {
  const std::vector<std::string> odd{"\"", "'", ";", "?", ".", "a.b\"c;d?e'f"};
  const std::vector<std::string> oddColumn{"\"", "'", ";", "?", ".", "x'y?z.w;\"v"};
  std::string script;
  for (size_t k = 0; k < odd.size(); ++k) {
    const std::string t = "t" + odd[k], c = named("c" + oddColumn[k]);
    const std::string c2 = named("c" + oddColumn[k] + "2"), key = named("k" + odd[k]);
    script += "create table " + named(t + " int") + "(id integer primary key, " + c + " text);" +
              "insert into " + named(t + " int") + " values(1, 'foo one'), (2, 'bar'), " +
              "(3, 'foo foo');" + "create table " + named(t + " text") + "(" + key +
              " text primary key, " + c + " text);" + "insert into " + named(t + " text") +
              " values('foo1', 'foo one'), ('b', 'bar'), ('foo3', 'x');" + "create table " +
              named(t + " rowid") + "(" + c + " text, " + c2 + " text);" + "insert into " +
              named(t + " rowid") + " values('foo', 'x'), ('y', 'foo'), ('foo', 'foo');" +
              "create table " + named(t + " none") + "(rowid text, oid text, _rowid_ text, " + c +
              " text);" + "insert into " + named(t + " none") +
              " values('1', '2', '3', 'foo'), ('1', '2', '3', 'foo'), ('a', 'b', 'c', 'bar'), " +
              "('foo', '2', '3', 'zfoo');";
  }
  // A column whose name ends like another's: the driver names both "y".
  script +=
      "create table \"p.q\"(\"x.y\" text, y text, \"a.b.y\" text);"
      "insert into \"p.q\" values('foo', 'bar', 'baz'), ('bar', 'bar', 'foo');";
  testdb::exec(db_, script);
  const Rows before = dump(db_);
  const std::vector<std::string> tables = tablesOf(db_);
  ASSERT_EQ(tables.size(), odd.size() * 4 + 1);

  const CliRun found = run("find", {"--find", "foo"});
  EXPECT_EQ(found.exitCode, 0) << found.describe();
  const auto counted = tableLines(found, "table");
  for (const std::string& table : tables) {
    SCOPED_TRACE(table);
    ASSERT_TRUE(counted.contains(table)) << found.describe();
    EXPECT_EQ(counted.at(table)["failure"], nullptr);
    EXPECT_EQ(counted.at(table)["records"], trueCount(db_, table, "foo"));
  }

  const CliRun previewed = run("preview", {"--find", "foo", "--replace", "zz"});
  EXPECT_EQ(previewed.exitCode, 0) << previewed.describe();
  const auto shown = tableLines(previewed, "preview");
  for (const std::string& table : tables) {
    SCOPED_TRACE(table);
    ASSERT_TRUE(shown.contains(table)) << previewed.describe();
    EXPECT_EQ(shown.at(table)["failure"], nullptr);
    EXPECT_EQ(shown.at(table)["total"], trueCount(db_, table, "foo"));
  }
  EXPECT_EQ(dump(db_), before);

  const Rows expected = replacedBySqlite(db_, dir_.file("expected.db"), "foo", "zz");
  ASSERT_NE(expected, before);
  const CliRun replaced = run("replace", {"--find", "foo", "--replace", "zz", "--yes"});
  EXPECT_EQ(replaced.exitCode, 0) << replaced.describe();
  EXPECT_EQ(dump(db_), expected);

  const CliRun undone = run("undo", {"--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dump(db_), before);
}

// A statement that times out inside a table's transaction has SQLite roll
// that transaction back by itself. The tables after it are still replaced
// each in a transaction of its own, journaled, and given back by the undo;
// the table that timed out is left as it was.
TEST_F(SqliteDriverEdges, aTimeOutLeavesTheNextTablesReplacedAndJournaled) {
  // Big enough for its update to outlast a second by far; its count stays
  // well within one.
  testdb::exec(db_,
               "create table big(id integer primary key, v text);"
               "with recursive r(i) as (select 1 union all select i + 1 from r where i < 2000000)"
               " insert into big select i, 'row ' || i || ' foo' from r;"
               "create table small(id integer primary key, v text);"
               "insert into small values(1, 'foo'), (2, 'bar'), (3, 'a foo b');"
               "create table loose(v text, w text);"
               "insert into loose values('foo', 'x'), ('y', 'foo');");
  const std::string untouched = "select count(*), sum(instr(v, 'zz') > 0) from big";
  const Rows bigBefore = testdb::query(db_, untouched);
  ASSERT_EQ(bigBefore, (Rows{{"2000000", "0"}}));
  const Rows small = testdb::query(db_, "select id, quote(v) from small order by id");
  const Rows loose = testdb::query(db_, "select rowid, quote(v), quote(w) from loose order by 1");

  const CliRun replaced =
      run("replace", {"--find", "foo", "--replace", "zz", "--yes", "--timeout", "1"});
  const auto results = tableLines(replaced, "table");
  ASSERT_TRUE(results.contains("big")) << replaced.describe();
  // The case at hand: the time-out ended the update, inside the transaction.
  ASSERT_EQ(results.at("big")["status"], "failed") << replaced.describe();
  ASSERT_EQ(results.at("big")["failure"]["stage"], "update") << replaced.describe();
  EXPECT_EQ(replaced.exitCode, 1) << replaced.describe();
  for (const char* table : {"small", "loose"}) {
    SCOPED_TRACE(table);
    ASSERT_TRUE(results.contains(table)) << replaced.describe();
    EXPECT_EQ(results.at(table)["status"], "replaced") << replaced.describe();
    EXPECT_EQ(results.at(table)["failure"], nullptr) << replaced.describe();
  }
  EXPECT_EQ(testdb::query(db_, untouched), bigBefore);
  EXPECT_EQ(testdb::query(db_, "select id, quote(v) from small order by id"),
            (Rows{{"1", "'zz'"}, {"2", "'bar'"}, {"3", "'a zz b'"}}));
  EXPECT_EQ(testdb::query(db_, "select rowid, quote(v), quote(w) from loose order by 1"),
            (Rows{{"1", "'zz'", "'x'"}, {"2", "'y'", "'zz'"}}));

  const CliRun undone = run("undo", {"--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(testdb::query(db_, "select id, quote(v) from small order by id"), small);
  EXPECT_EQ(testdb::query(db_, "select rowid, quote(v), quote(w) from loose order by 1"), loose);
  EXPECT_EQ(testdb::query(db_, untouched), bigBefore);
}

}  // namespace
