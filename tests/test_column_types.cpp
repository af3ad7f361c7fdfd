// Real schemas: a table per family of column types, each with a text column
// beside it, on every engine. Which columns are searched is the engine's
// catalog's to say: the others are read, never searched or assigned, and
// never fail the table. Counts are judged by the engine's own strpos(),
// instr() or charindex() and dumps by its own client, never by Trellick.
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "journal/changes.h"
#include "journal/journal.h"
#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "support/process.h"

namespace {

using namespace trellick;
using testsupport::Engine;
using testsupport::Rows;
using testsupport::Value;

// A table of one family: its name, the type of its other column and three
// values of it (SQL as the engine's client reads it).
struct Family {
  std::string table;
  std::string type;
  std::vector<std::string> values;
};

// In every family the values' text holds the search text where the type
// can, so a column searched by mistake shows.
const std::string kFind = "ru";
const std::string kReplace = "R!";

std::vector<Family> families(Engine engine) {
  switch (engine) {
    case Engine::PostgreSQL:
      return {
          {"f_bool", "boolean", {"true", "false", "null"}},
          {"f_enum", "mood", {"'ru'", "'no'", "'ru'"}},
          {"f_json", "json", {"'{\"k\": \"ru\"}'", "'[\"ru\"]'", "'1'"}},
          {"f_jsonb", "jsonb", {"'{\"k\": \"ru\"}'", "'[\"ru\"]'", "'1'"}},
          {"f_xml", "xml", {"'<ru>ru</ru>'", "'<a/>'", "null"}},
          {"f_textarr", "text[]", {"'{ru,x}'", "'{}'", "'{\"ru ru\"}'"}},
          {"f_intarr", "int[]", {"'{1,2}'", "'{}'", "null"}},
          {"f_inet", "inet", {"'10.0.0.1'", "'::1'", "null"}},
          {"f_cidr", "cidr", {"'10.0.0.0/8'", "'::/0'", "null"}},
          {"f_macaddr", "macaddr", {"'08:00:2b:01:02:03'", "null", "null"}},
          {"f_interval", "interval", {"'1 day'", "'2 hours'", "null"}},
          {"f_tsvector", "tsvector", {"'ru rum'", "'x'", "null"}},
          {"f_range", "int4range", {"'[1,5)'", "'empty'", "null"}},
          {"f_bit", "bit(3)", {"B'101'", "B'000'", "null"}},
          {"f_varbit", "varbit", {"B'1'", "B'0101'", "null"}},
          {"f_point", "point", {"'(1,2)'", "'(0,0)'", "null"}},
      };
    case Engine::MariaDB:
      return {
          {"f_enum", "enum('ru','no')", {"'ru'", "'no'", "'ru'"}},
          {"f_set", "set('ru','no')", {"'ru,no'", "'no'", "''"}},
          {"f_json", "json", {"'{\"k\": \"ru\"}'", "'[\"ru\"]'", "'1'"}},
          {"f_binary", "binary(4)", {"'ru'", "'xru'", "null"}},
          {"f_varbinary", "varbinary(10)", {"'ru'", "'ruru'", "null"}},
          {"f_blob", "blob", {"'ru'", "'a ru'", "null"}},
          {"f_charbin", "varchar(10) character set binary", {"'ru'", "'x'", "null"}},
          {"f_bool", "boolean", {"true", "false", "null"}},
          {"f_date", "date", {"'2024-01-02'", "null", "null"}},
          {"f_uuid", "uuid", {"'123e4567-e89b-12d3-a456-426614174000'", "null", "null"}},
      };
    case Engine::SqlServer:
      // Made on the stand-in's file, whose catalog and wire take the
      // declared type for the server's.
      return {
          {"f_xml", "xml", {"'<ru>ru</ru>'", "'<a/>'", "null"}},
          {"f_variant", "sql_variant", {"'ru'", "'no ru'", "7"}},
          {"f_varbinary", "varbinary(10)", {"x'7275'", "x'007275'", "null"}},
          {"f_bit", "bit", {"1", "0", "null"}},
          {"f_uuid",
           "uniqueidentifier",
           {"'6F9619FF-8B86-D011-B42D-00C04FC964FF'", "null", "null"}},
      };
    case Engine::SQLite:
      return {};
  }
  return {};
}

class ColumnTypes : public testsupport::EngineFixture {
 protected:
  testsupport::TempDir files;
  std::string journalPath() const { return files.file("journal.db"); }

  std::string q(const std::string& name) const {
    return engine() == Engine::MariaDB ? "`" + name + "`" : "\"" + name + "\"";
  }
  std::string textType() const {
    return engine() == Engine::SqlServer ? "nvarchar(100)" : "varchar(100)";
  }
  // The engine's own test for "holds the text".
  std::string holds(const std::string& expression, const std::string& text) const {
    const std::string literal = "'" + text + "'";
    switch (engine()) {
      case Engine::PostgreSQL:
        return "strpos(" + expression + ", " + literal + ") > 0";
      case Engine::MariaDB:
        // Byte for byte, as the search compares.
        return "instr(binary " + expression + ", " + literal + ") > 0";
      default:
        return "instr(" + expression + ", " + literal + ") > 0";
    }
  }
  // Counted past the code under test.
  long long independentCount(const std::string& table, const std::string& condition) {
    const Rows rows = dump(q(table) + " where " + condition, {"count(*)"}, "1");
    EXPECT_EQ(rows.size(), 1u);
    return rows.empty() || !rows[0][0] ? -1 : std::stoll(*rows[0][0]);
  }

  engine::TableResult run(const std::string& table, const search::Texts& texts, engine::Mode mode,
                          journal::Journal* journal = nullptr, long long journalRun = 0) {
    engine::Options options;
    options.texts = texts;
    options.mode = mode;
    options.journal = journal;
    options.journalRun = journalRun;
    engine::Observer quiet;
    return engine::runTable(conn(), {table}, options, quiet);
  }

  static const engine::Column* column(const engine::TableResult& r, const std::string& name) {
    for (const auto& c : r.columns)
      if (c.name == name) return &c;
    return nullptr;
  }
};

std::string replaced(std::string s, const std::string& find, const std::string& by) {
  for (size_t at = s.find(find); at != std::string::npos; at = s.find(find, at + by.size()))
    s.replace(at, find.size(), by);
  return s;
}

// Beside a column of each type, the text column is found, counted as the
// engine's own function counts, replaced and undone; the other column keeps
// every byte and the table never fails.
TEST_P(ColumnTypes, everyTypeBesideATextColumnIsReadAndNeverSearched) {
  const std::vector<Family> all = families(engine());
  if (all.empty()) GTEST_SKIP() << "no catalog of types on this engine";
  std::string sql;
  if (engine() == Engine::PostgreSQL) sql += "create type mood as enum ('ru', 'no');";
  const std::vector<std::string> notes{"'guru'", "'none'", "'ru and ru'"};
  for (const Family& f : all) {
    sql += "create table " + q(f.table) + "(id int primary key, note " + textType() + ", v " +
           f.type + ");";
    for (size_t k = 0; k < 3; ++k)
      sql += "insert into " + q(f.table) + " values(" + std::to_string(k + 1) + ", " + notes[k] +
             ", " + f.values[k] + ");";
  }
  setup(sql);

  journal::Journal journal(journalPath());
  const long long runId = journal.beginRun({});
  for (const Family& f : all) {
    SCOPED_TRACE(f.table + " " + f.type);
    const Rows before = dump(q(f.table), {"id", "note", "v"}, "id");
    ASSERT_EQ(before.size(), 3u);
    const engine::TableResult counted = run(f.table, {kFind, kReplace}, engine::Mode::Count);
    ASSERT_FALSE(counted.failure) << counted.failure->description;
    ASSERT_NE(column(counted, "v"), nullptr);
    EXPECT_FALSE(column(counted, "v")->searchable);
    EXPECT_FALSE(column(counted, "v")->notSearched.empty());
    EXPECT_TRUE(column(counted, "note")->searchable);
    EXPECT_EQ(counted.records, independentCount(f.table, holds("note", kFind)));
    EXPECT_EQ(counted.records, 2);

    const engine::TableResult done =
        run(f.table, {kFind, kReplace}, engine::Mode::Replace, &journal, runId);
    ASSERT_FALSE(done.failure) << done.failure->description;
    EXPECT_EQ(done.status, engine::Status::Replaced);
    Rows expected = before;
    for (auto& row : expected)
      if (row[1]) row[1] = replaced(*row[1], kFind, kReplace);
    EXPECT_EQ(dump(q(f.table), {"id", "note", "v"}, "id"), expected);

    journal::RunEntry one = *journal.run(runId);
    one.tables = {one.tables.back()};
    const auto undone = journal::undo(conn(), journal, one, {});
    EXPECT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
    EXPECT_EQ(undone.tables.at(0).restored, 2);
    EXPECT_EQ(dump(q(f.table), {"id", "note", "v"}, "id"), before);
  }
}

// The engine's own text types are searched, whatever the driver calls them
// (PostgreSQL's citext and domains over text, however deep); a fixed-length
// column is its text without the padding: a search text that only the
// padding holds counts nothing, and the count, the preview and the replace
// agree.
TEST_P(ColumnTypes, theEnginesTextTypesAreSearchedAndPaddingIsNoText) {
  if (engine() == Engine::SQLite) GTEST_SKIP() << "no fixed-length type on this engine";
  std::vector<std::string> columns;  // the searched ones
  std::string sql;
  switch (engine()) {
    case Engine::PostgreSQL:
      sql =
          "create extension if not exists citext; create domain dtext as varchar(30); "
          "create domain ddtext as dtext; create table p(id int primary key, c char(10), "
          "ci citext, d dtext, dd ddtext, t text);";
      columns = {"c", "ci", "d", "dd", "t"};
      break;
    case Engine::MariaDB:
      sql = "create table p(id int primary key, c char(10), tt tinytext, mt mediumtext);";
      columns = {"c", "tt", "mt"};
      break;
    case Engine::SqlServer:
      sql = "create table p(id int primary key, c char(10), nc nchar(10), x text, nx ntext);";
      columns = {"c", "nc", "x", "nx"};
      break;
    case Engine::SQLite:
      break;
  }
  // Short values pad a fixed-length column: two spaces are in its padding
  // in every row, in its text in the fourth only.
  const std::vector<std::string> values{"ab", "ru", "x ru", "a  ru"};
  for (size_t k = 0; k < values.size(); ++k) {
    sql += "insert into p values(" + std::to_string(k + 1);
    for (size_t c = 0; c < columns.size(); ++c) {
      std::string v = values[k];
      // The stand-in's file holds a fixed-length value as the server keeps
      // it: padded.
      if (engine() == Engine::SqlServer && c < 2) v += std::string(10 - v.size(), ' ');
      sql += ", '" + v + "'";
    }
    sql += ");";
  }
  setup(sql);
  // A fixed-length value as the engine's own client reads its text.
  std::vector<std::string> read{"id"};
  for (size_t c = 0; c < columns.size(); ++c)
    read.push_back(engine() == Engine::SqlServer && c < 2 ? "rtrim(" + columns[c] + ")"
                                                          : columns[c]);

  journal::Journal journal(journalPath());
  for (const std::string& find : std::vector<std::string>{kFind, "  "}) {
    SCOPED_TRACE("find '" + find + "'");
    const Rows before = dump("p", read, "id");
    std::string any;
    for (size_t c = 1; c < read.size(); ++c)
      any += (any.empty() ? "" : " or ") + holds(read[c], find);
    const engine::TableResult counted = run("p", {find, "_"}, engine::Mode::Count);
    ASSERT_FALSE(counted.failure) << counted.failure->description;
    for (const std::string& c : columns) {
      ASSERT_NE(column(counted, c), nullptr) << c;
      EXPECT_TRUE(column(counted, c)->searchable) << c << ": " << column(counted, c)->notSearched;
    }
    const long long independent = independentCount("p", any);
    EXPECT_EQ(counted.records, independent);
    EXPECT_EQ(counted.records, find == kFind ? 3 : 1);

    engine::Observer quiet;
    const journal::Preview preview =
        engine::previewTable(conn(), {"p"}, search::Texts{find, "_"}, 0);
    EXPECT_EQ(preview.total, independent);

    const long long runId = journal.beginRun({});
    const engine::TableResult done = run("p", {find, "_"}, engine::Mode::Replace, &journal, runId);
    ASSERT_FALSE(done.failure) << done.failure->description;
    Rows expected = before;
    for (auto& row : expected)
      for (size_t c = 1; c < row.size(); ++c)
        if (row[c]) row[c] = replaced(*row[c], find, "_");
    const Rows after = dump("p", read, "id");
    EXPECT_EQ(after, expected);
    // And kept padded, as the server keeps a fixed-length value.
    if (engine() == Engine::SqlServer) {
      EXPECT_EQ(independentCount("p", "length(c) <> 10 or length(nc) <> 10"), 0);
    }
    // Every value the preview showed is the one now stored.
    ASSERT_EQ(preview.rows.size(), size_t(independent));
    for (const auto& row : preview.rows) {
      const size_t id = std::stoul(*row.identity.at(0));
      for (const auto& change : row.changes) {
        size_t c = 0;
        while (c < columns.size() && columns[c] != change.column) ++c;
        ASSERT_LT(c, columns.size()) << change.column;
        const Value stored = after.at(id - 1).at(c + 1);
        ASSERT_TRUE(stored);
        // A fixed-length value is its text: the padding is the engine's.
        std::string shown = change.after;
        while (!shown.empty() && shown.back() == ' ') shown.pop_back();
        std::string kept = *stored;
        while (!kept.empty() && kept.back() == ' ') kept.pop_back();
        EXPECT_EQ(kept, shown) << "row " << id << " " << change.column;
      }
    }
    const auto undone = journal::undo(conn(), journal, *journal.run(runId), {});
    EXPECT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
    EXPECT_EQ(dump("p", read, "id"), before);
  }
}

// tables --columns: each column's type as the engine names it and whether
// it is searched, and why not, in text and in JSON.
TEST_P(ColumnTypes, tablesListsEachColumnsTypeAndWhetherItIsSearched) {
  std::string sql, boolShown, textShown;
  switch (engine()) {
    case Engine::PostgreSQL:
      sql = "create table t(id int primary key, flag boolean, note varchar(40), code char(5));";
      boolShown = "boolean", textShown = "character varying(40)";
      break;
    case Engine::MariaDB:
      sql =
          "create table t(id int primary key, flag enum('a','b'), note varchar(40), code "
          "char(5));";
      boolShown = "enum('a','b')", textShown = "varchar(40)";
      break;
    case Engine::SqlServer:
      sql = "create table t(id int primary key, flag xml, note nvarchar(40), code nchar(5));";
      boolShown = "xml", textShown = "nvarchar(40)";
      break;
    case Engine::SQLite:
      sql = "create table t(id int primary key, flag blob, note varchar(40), code char(5));";
      boolShown = "BLOB", textShown = "varchar(40)";  // as its catalog spells them
      break;
  }
  setup(sql + "create table " + q("empty one") + "(x " + textType() + ");");
  std::vector<std::string> args{"tables", "--columns"};
  const auto connection = cliConnection();
  args.insert(args.end(), connection.begin(), connection.end());
  args.push_back("--json");
  const testsupport::CliRun json = testsupport::runCli(args, {}, cliEnvironment());
  ASSERT_EQ(json.exitCode, 0) << json.describe();
  const auto lines = json.lines();
  ASSERT_EQ(lines.size(), 2u) << json.out;
  const auto& t = lines[0]["table"] == "t" ? lines[0] : lines[1];
  const auto& e = lines[0]["table"] == "t" ? lines[1] : lines[0];
  ASSERT_EQ(t["columns"].size(), 4u) << t.dump();
  EXPECT_EQ(t["columns"][0]["name"], "id");
  EXPECT_EQ(t["columns"][0]["searched"], false);
  EXPECT_EQ(t["columns"][1]["name"], "flag");
  EXPECT_EQ(t["columns"][1]["searched"], false);
  EXPECT_TRUE(t["columns"][1]["reason"].is_string()) << t.dump();
  if (!boolShown.empty()) {
    EXPECT_EQ(t["columns"][1]["type"], boolShown);
  }
  EXPECT_EQ(t["columns"][2]["searched"], true);
  EXPECT_TRUE(t["columns"][2]["reason"].is_null());
  EXPECT_EQ(t["columns"][2]["type"], textShown);
  EXPECT_EQ(t["columns"][3]["searched"], true);
  // An empty table's columns are listed too.
  ASSERT_EQ(e["columns"].size(), 1u) << e.dump();
  EXPECT_EQ(e["columns"][0]["searched"], true);

  args.pop_back();
  const testsupport::CliRun text = testsupport::runCli(args, {}, cliEnvironment());
  ASSERT_EQ(text.exitCode, 0) << text.describe();
  EXPECT_NE(text.out.find("\n  flag  " + (boolShown.empty() ? std::string() : boolShown)),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("not searched: " + t["columns"][1]["reason"].get<std::string>()),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("  note  " + textShown), std::string::npos) << text.out;
}

INSTANTIATE_TEST_SUITE_P(Engines, ColumnTypes, testsupport::allEngines(),
                         testsupport::EngineParamName());

}  // namespace
