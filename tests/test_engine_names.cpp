// Every name a table or a column can have on each engine, in one body run
// per engine: quotes of every kind, brackets, backticks, statement
// punctuation, LIKE's wildcards, spaces, leading digits, reserved words,
// Chinese, emoji where the engine takes them, and the longest name it
// takes. The find, the preview, the journaled replace, the undo and the
// undo's script replayed through the engine's own client, all judged by
// dumps read past the code under test.
#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "support/engine_fixture.h"
#include "support/files.h"

namespace {

using namespace trellick;
using testsupport::Engine;
using testsupport::Rows;
using testsupport::Value;

const std::string kFind = "o'k\\%_汉😀";
const std::string kReplace = "<o'k\\%_汉😀|新>";

using testsupport::hexOf;

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int k = 0; k < times; ++k) out += piece;
  return out;
}

std::string replaced(std::string s) {
  for (size_t at = s.find(kFind); at != std::string::npos; at = s.find(kFind, at + kReplace.size()))
    s.replace(at, kFind.size(), kReplace);
  return s;
}

// A table as the test makes it: its name, its key column (none: the first
// column is a number that tells the rows apart), its text columns.
struct Shape {
  std::string name;
  std::string key;
  std::vector<std::string> texts;
  std::vector<std::string> all() const {
    std::vector<std::string> out{key};
    out.insert(out.end(), texts.begin(), texts.end());
    return out;
  }
};

class EngineNames : public testsupport::EngineFixture {
 protected:
  testsupport::TempDir files;
  std::string journalPath() const { return files.file("journal.db"); }

  // A name as the engine's own client reads it; the stand-in's tables are
  // made on its SQLite file.
  std::string q(const std::string& name) const {
    if (engine() == Engine::MariaDB) {
      std::string out = "`";
      for (char c : name) out += c == '`' ? std::string("``") : std::string(1, c);
      return out + "`";
    }
    std::string out = "\"";
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  }

  std::string literal(const Value& value) const {
    if (!value) return "null";
    switch (engine()) {
      case Engine::SQLite:
      case Engine::SqlServer: {
        std::string out = "'";
        for (char c : *value) out += c == '\'' ? std::string("''") : std::string(1, c);
        return out + "'";
      }
      case Engine::PostgreSQL:
        return "convert_from(decode('" + hexOf(*value) + "', 'hex'), 'UTF8')";
      case Engine::MariaDB:
        return "convert(unhex('" + hexOf(*value) + "') using utf8mb4)";
    }
    return {};
  }

  std::string textType() const {
    return engine() == Engine::SqlServer ? "nvarchar(200)" : "varchar(200)";
  }

  // Every kind of name the engine takes.
  std::vector<std::string> oddNames() const {
    std::vector<std::string> names{"it's",    "say \"hi\"", "`tick`", "[br]]ack]",   "a;b",
                                   "a?b",     "a.b",        "100%",   "_x_",         "a b",
                                   "1st",     "select",     "from",   "列名",        "‘c’ “d”",
                                   "a\\b",    "MixedCase",  "{fn x}", "%s @p :q $1", "-- c",
                                   "/* c */", "a,b",        "# h",    "t\tab",       "l\nf"};
    // MariaDB takes no character outside the BMP in a name.
    if (engine() != Engine::MariaDB) names.push_back("😀 e");
    return names;
  }

  // The longest name: PostgreSQL's 63 bytes, MariaDB's 64 characters, SQL
  // Server's 128; SQLite sets no limit.
  std::string longName(const std::string& letter) const {
    switch (engine()) {
      case Engine::PostgreSQL:
        return repeated(letter, 21);  // three bytes each
      case Engine::MariaDB:
        return repeated(letter, 64);
      case Engine::SqlServer:
        return repeated(letter, 128);
      case Engine::SQLite:
        return repeated(letter, 300);
    }
    return {};
  }

  // MariaDB keeps a table in files named after it, each character outside
  // ASCII taking five bytes of the file name's 255.
  std::string longTableName() const {
    if (engine() == Engine::MariaDB) return repeated("l", 56) + repeated("长", 8);
    return longName("长");
  }

  std::string trapName() const {
    return std::string("T'\"[]`;?.%_\\ 表") + (engine() == Engine::MariaDB ? "" : "😀");
  }

  std::vector<Shape> shapes() const {
    const std::string trap = trapName();
    // Its name matches the other's as a LIKE pattern would: a catalog asked
    // by pattern would mix their columns up.
    std::string decoy = trap;
    decoy.replace(decoy.find('_'), 1, "x");
    decoy.replace(decoy.find('%'), 1, "%zz");
    return {{trap, "key's \"id\" [k]", oddNames()},
            {decoy, "id", {"decoy only"}},
            {longTableName(), "n", {longName("列"), "other"}},
            {"Order", "Select", {"from", "User", "group by"}}};
  }

  static constexpr const char* kGenerated = "gen'd \"col\"";
  std::string generatedAs(const std::string& column) const {
    switch (engine()) {
      case Engine::SQLite:
      case Engine::SqlServer:  // made on the stand-in's file
        return "text generated always as (" + column + ") virtual";
      case Engine::PostgreSQL:
        return "text generated always as (" + column + ") stored";
      case Engine::MariaDB:
        return textType() + " as (" + column + ") virtual";
    }
    return {};
  }

  void makeTables() {
    std::string sql;
    const auto tables = shapes();
    for (size_t t = 0; t < tables.size(); ++t) {
      const Shape& s = tables[t];
      // The long-named table has no key.
      sql += "create table " + q(s.name) + "(" + q(s.key) + " int" +
             (t == 2 ? std::string() : std::string(" primary key"));
      std::string list = q(s.key);
      for (const auto& c : s.texts) {
        sql += ", " + q(c) + " " + textType();
        list += ", " + q(c);
      }
      // Computed from a text column: read, never searched or assigned.
      if (t == 0) sql += ", " + q(kGenerated) + " " + generatedAs(q(s.texts[0]));
      sql += ");";
      for (int row = 1; row <= 5; ++row) {
        sql += "insert into " + q(s.name) + "(" + list + ") values(" + std::to_string(row);
        for (size_t c = 0; c < s.texts.size(); ++c) {
          Value v;
          // Row 1 holds the text everywhere, row 2 in every other column,
          // row 3 twice in its first, row 4 nowhere, row 5 only NULLs.
          if (row == 1) v = "v" + std::to_string(c) + " " + kFind;
          if (row == 2) v = c % 2 ? Value(kFind + " odd") : Value("even " + std::to_string(c));
          if (row == 3) v = c == 0 ? Value(kFind + kFind) : Value("o'k\\%_汉 😀");
          if (row == 4) v = "plain " + std::to_string(c);
          sql += ", " + literal(v);
        }
        sql += ");";
      }
    }
    // A trigger of the table's own, which does nothing.
    const std::string trap = q(tables[0].name);
    switch (engine()) {
      case Engine::SQLite:
        sql += "create trigger quiet after update on " + trap + " begin select 1; end;";
        break;
      case Engine::PostgreSQL:
        sql +=
            "create function quiet() returns trigger language plpgsql as $$begin return new; "
            "end$$; create trigger quiet before update on " +
            trap + " for each row execute function quiet();";
        break;
      case Engine::MariaDB:
        sql += "create trigger quiet before update on " + trap + " for each row set @quiet = 1;";
        break;
      case Engine::SqlServer:  // the stand-in runs no triggers of SQL Server
        break;
    }
    setup(sql);
  }

  Rows dumpOf(const Shape& s) {
    std::vector<std::string> columns;
    for (const auto& c : s.all()) columns.push_back(q(c));
    return dump(q(s.name), columns, q(s.key));
  }

  // Records holding the text, counted in the dump.
  static long long holding(const Rows& rows) {
    long long n = 0;
    for (const auto& row : rows)
      n += std::any_of(row.begin() + 1, row.end(),
                       [](const Value& v) { return v && v->find(kFind) != std::string::npos; });
    return n;
  }

  void findReplaceAndUndoAll();

  static Rows replacedRows(Rows rows) {
    for (auto& row : rows)
      for (size_t c = 1; c < row.size(); ++c)
        if (row[c]) row[c] = replaced(*row[c]);
    return rows;
  }
};

// The tables made, then found, previewed, replaced and undone, and replaced
// again and undone by the script replayed through the engine's own client.
void EngineNames::findReplaceAndUndoAll() {
  makeTables();
  const std::vector<Shape> tables = shapes();
  std::vector<Rows> before;
  for (const auto& s : tables) before.push_back(dumpOf(s));
  ASSERT_EQ(before[0].size(), 5u);
  ASSERT_EQ(before[0][0].size(), tables[0].texts.size() + 1);

  if (engine() == Engine::SqlServer) {
    // One character more than the server's names hold fails the statement
    // there, as on the server.
    const std::string tooLong = tables[2].name + "x";
    setup("create table " + q(tooLong) + "(x int);");
    EXPECT_THROW(conn().Execute("select * from [" + tooLong + "]"), db::DbError);
    setup("drop table " + q(tooLong) + ";");
  }

  // Listed under their own names.
  const std::vector<engine::Table> listed = engine::userTables(conn());
  for (const auto& s : tables)
    EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [&](const engine::Table& t) {
      return t.name == s.name;
    })) << s.name;

  if (engine() != Engine::SqlServer) {
    EXPECT_TRUE(engine::hasOwnTriggers(conn(), {tables[0].name}));
  }
  EXPECT_FALSE(engine::hasOwnTriggers(conn(), {tables[1].name}));

  engine::Options options;
  options.texts = {kFind, kReplace};
  engine::Observer quiet;
  // The preview's update statements, as the command line writes them out.
  std::string updates;
  for (const std::string& statement : conn().engineSql().scriptSetUp())
    updates += statement + ";\n";
  for (size_t t = 0; t < tables.size(); ++t) {
    SCOPED_TRACE(tables[t].name);
    const auto counted = engine::runTable(conn(), {tables[t].name}, options, quiet);
    ASSERT_FALSE(counted.failure) << engine::stageName(counted.failure->stage) << ": "
                                  << counted.failure->description << "\n"
                                  << counted.countStatement;
    EXPECT_EQ(counted.searchableColumns(), tables[t].texts);
    EXPECT_EQ(counted.records, holding(before[t]));
    EXPECT_GT(counted.records, 0);

    try {
      const auto preview = engine::previewTable(conn(), {tables[t].name}, options.texts, 0);
      EXPECT_EQ(preview.total, holding(before[t]));
      updates += preview.update + ";\n";
      ASSERT_EQ(preview.rows.size(), size_t(holding(before[t])));
      const Rows after = replacedRows(before[t]);
      for (const auto& row : preview.rows) {
        // The key, the row's number, or (by value) its first column: each
        // tells the row.
        ASSERT_FALSE(row.identity.empty());
        ASSERT_TRUE(row.identity[0]);
        const size_t at = std::stoul(*row.identity[0]) - 1;
        ASSERT_LT(at, after.size());
        for (const auto& change : row.changes) {
          const auto& texts = tables[t].texts;
          const auto column = std::find(texts.begin(), texts.end(), change.column);
          ASSERT_NE(column, texts.end()) << change.column;
          EXPECT_EQ(change.after, after[at][1 + (column - texts.begin())]) << change.column;
          EXPECT_EQ(change.before, before[t][at][1 + (column - texts.begin())]) << change.column;
        }
      }
    } catch (const db::DbError& err) {
      FAIL() << err.description();
    }
  }

  journal::Journal journal(journalPath());
  journal::RunInfo info;
  info.server = testsupport::engineName(engine());
  info.database = "names";
  info.find = kFind;
  info.replace = kReplace;
  auto replaceAll = [&] {
    const long long run = journal.beginRun(info);
    engine::Options replacing = options;
    replacing.mode = engine::Mode::Replace;
    replacing.journal = &journal;
    replacing.journalRun = run;
    for (const auto& s : tables) {
      const auto result = engine::runTable(conn(), {s.name}, replacing, quiet);
      EXPECT_FALSE(result.failure) << s.name << ": " << result.failure->description;
      EXPECT_EQ(result.status, engine::Status::Replaced) << s.name;
    }
    journal.finishRun(run);
    for (size_t t = 0; t < tables.size(); ++t)
      EXPECT_EQ(dumpOf(tables[t]), replacedRows(before[t])) << tables[t].name;
    return run;
  };

  // The undo itself.
  const long long first = replaceAll();
  const auto undone = journal::undo(conn(), journal, *journal.run(first), info);
  ASSERT_EQ(undone.tables.size(), tables.size());
  for (const auto& table : undone.tables) {
    SCOPED_TRACE(table.table.name);
    EXPECT_FALSE(table.failure) << *table.failure;
    EXPECT_TRUE(table.conflicts.empty());
    EXPECT_TRUE(table.ambiguous.empty());
  }
  for (size_t t = 0; t < tables.size(); ++t) {
    EXPECT_EQ(dumpOf(tables[t]), before[t]) << tables[t].name;
    for (const auto& table : undone.tables) {
      if (table.table.name == tables[t].name) {
        EXPECT_EQ(table.restored, holding(before[t]));
      }
    }
  }

  // The undo as a script, replayed by the engine's own client.
  const long long second = replaceAll();
  std::ostringstream script;
  const auto scripted = journal::undo(conn(), journal, *journal.run(second), {}, &script);
  for (const auto& table : scripted.tables)
    EXPECT_FALSE(table.failure) << table.table.name << ": " << *table.failure;
  replay(script.str());
  for (size_t t = 0; t < tables.size(); ++t)
    EXPECT_EQ(dumpOf(tables[t]), before[t]) << tables[t].name << "\n" << script.str();

  // The preview's statements, replayed by the client, make the replace.
  replay(updates);
  for (size_t t = 0; t < tables.size(); ++t)
    EXPECT_EQ(dumpOf(tables[t]), replacedRows(before[t])) << tables[t].name << "\n" << updates;
}

TEST_P(EngineNames, everyNameWorksInTheFindPreviewReplaceUndoAndScript) { findReplaceAndUndoAll(); }

// The same where the server reads text otherwise: MariaDB with
// NO_BACKSLASH_ESCAPES and ANSI_QUOTES, PostgreSQL with backslashes
// escaping in every literal. Each session, Trellick's and the client's,
// takes the server's setting.
TEST_P(EngineNames, everyNameWorksUnderTheServersOtherQuotingRules) {
  std::string set, reset;
  switch (engine()) {
    case Engine::MariaDB:
      set = "set global sql_mode = concat(@@global.sql_mode, ',NO_BACKSLASH_ESCAPES,ANSI_QUOTES');";
      reset = "set global sql_mode = default;";
      break;
    case Engine::PostgreSQL:
      set =
          "reset role; alter role \"" + fields().user + "\" set standard_conforming_strings = off;";
      reset = "reset role; alter role \"" + fields().user + "\" reset standard_conforming_strings;";
      break;
    default:
      GTEST_SKIP() << "its literals read one way only";
  }
  setup(set);
  // Undone whatever happens to the test.
  struct Reset {
    std::function<void()> run;
    ~Reset() { run(); }
  } resetting{[this, reset] { setup(reset); }};
  // Connected again, to take it.
  recreateDatabase();
  if (engine() == Engine::MariaDB) {
    EXPECT_FALSE(conn().syntax().backslashEscapes);
  }
  findReplaceAndUndoAll();
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineNames, testsupport::allEngines(),
                         testsupport::EngineParamName());

}  // namespace
