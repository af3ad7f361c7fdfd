// Find, preview, journaled replace and undo on every engine, one body each:
// a SQLite file, the SQL Server stand-in, PostgreSQL and MariaDB. Tables
// are made and read back past the code under test, byte for byte.
#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "session/session.h"
#include "support/engine_fixture.h"
#include "support/files.h"

namespace {

using namespace trellick;
using testsupport::Engine;
using testsupport::Rows;
using testsupport::Value;

// One search text with every trap at once: a quote, a backslash, both LIKE
// wildcards, Chinese and an emoji. The replacement holds it again, so a
// value replaced twice, or undone wrongly, shows.
const std::string kFind = "o'k\\%_汉😀";
const std::string kReplace = "<o'k\\%_汉😀|新>";
// The same letters in upper case.
const std::string kCaseTrap = "O'K\\%_汉😀";

using testsupport::hexOf;
using testsupport::longText;
using testsupport::shortText;
std::string q(Engine engine, const std::string& name) {
  return testsupport::clientName(engine, name);
}
std::string literal(Engine engine, const Value& value) {
  return testsupport::clientLiteral(engine, value);
}

std::string fixedText(Engine engine, int length) {
  return (engine == Engine::SqlServer ? "nchar(" : "char(") + std::to_string(length) + ")";
}

std::string insert(Engine engine, const std::string& table, const std::vector<Value>& values) {
  std::string sql = "insert into " + q(engine, table) + " values(";
  for (size_t k = 0; k < values.size(); ++k) sql += (k ? ", " : "") + literal(engine, values[k]);
  return sql + ");";
}

std::string asciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// Every occurrence of find replaced; with ignoreCase, ASCII letters of
// either case match.
std::string replaceAll(std::string s, const std::string& find, const std::string& replace,
                       bool ignoreCase) {
  const std::string needle = ignoreCase ? asciiLower(find) : find;
  for (size_t at = (ignoreCase ? asciiLower(s) : s).find(needle); at != std::string::npos;
       at = (ignoreCase ? asciiLower(s) : s).find(needle, at + replace.size()))
    s.replace(at, find.size(), replace);
  return s;
}

// The rows with the search text replaced in the given columns, as a
// replace must leave them.
Rows replacedIn(Rows rows, const std::vector<size_t>& columns, bool ignoreCase = false) {
  for (auto& row : rows)
    for (size_t c : columns)
      if (row.at(c)) row[c] = replaceAll(*row[c], kFind, kReplace, ignoreCase);
  return rows;
}

std::string show(const Value& v) {
  if (!v) return "NULL";
  return v->size() > 80 ? "'" + v->substr(0, 40) + "...' (" + std::to_string(v->size()) + " bytes)"
                        : "'" + *v + "'";
}

class EngineBodies : public testsupport::EngineFixture {
 protected:
  testsupport::TempDir files;
  std::string journalPath() const { return files.file("journal.db"); }

  std::string name(const std::string& n) const { return q(engine(), n); }
  // SQL Server's collation (and so the stand-in) ignores case, in its LIKE
  // and its Replace alike; the others' searches are exact.
  bool ignoresCase() const { return engine() == Engine::SqlServer; }

  // The plan of a table for the texts, made from the columns the engine
  // learns of it, as a run makes it.
  journal::Plan planFor(const std::string& table, const search::Texts& texts) {
    engine::Options options;
    options.texts = texts;
    engine::Observer quiet;
    const engine::TableResult counted = engine::runTable(conn(), {table}, options, quiet);
    EXPECT_FALSE(counted.failure) << counted.failure->description;
    std::vector<search::ChangeColumn> all, searched;
    for (const engine::Column& c : counted.columns) {
      all.push_back({c.name, c.type, c.size});
      if (c.searchable) searched.push_back({c.name, c.type, c.size});
    }
    const search::StatementBuilder builder(conn().dialect(), texts, conn().syntax());
    return journal::makePlan(builder, {table}, searched, all);
  }

  // A table of ids, short and long text and a number, five rows: three
  // hold the search text (the first in two columns, one in a value longer
  // than 60,000 characters), one only in upper case, one nearly.
  void makeNotes() {
    const Engine e = engine();
    setup("create table t(id int primary key, note " + shortText(e, 200) + ", body " + longText(e) +
          ", code int);" +
          insert(e, "t", {"1", "see " + kFind, "x" + std::string(60000, 'y') + kFind, "1"}) +
          insert(e, "t", {"2", "none", std::nullopt, "2"}) +
          insert(e, "t", {"3", kCaseTrap + " caps", "汉😀 " + kFind + " " + kFind, "3"}) +
          insert(e, "t", {"4", std::nullopt, kFind, "4"}) +
          insert(e, "t", {"5", "", "o'k\\%_汉 😀", "5"}));
  }
  Rows notes() { return dump(name("t"), {"id", "note", "body", "code"}, "id"); }
};

// What the preview shows is what the replace then writes.
TEST_P(EngineBodies, previewShowsWhatTheReplaceThenWrites) {
  makeNotes();
  const journal::Plan plan = planFor("t", {kFind, kReplace});
  const auto preview = journal::preview(conn(), plan, 2);
  EXPECT_EQ(preview.total, 3);
  EXPECT_EQ(preview.identityColumns, std::vector<std::string>{"id"});
  EXPECT_FALSE(preview.byValue);
  EXPECT_EQ(preview.rows.size(), 2u);  // the limit
  const auto full = journal::preview(conn(), plan, 0);
  ASSERT_EQ(full.rows.size(), 3u);

  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  ASSERT_EQ(journal::journaledReplace(conn(), journal, run, plan).changed, 3);
  // Row for row, the preview's after values are what is now stored.
  const Rows stored = notes();
  for (const auto& row : full.rows) {
    const size_t id = std::stoul(*row.identity.at(0));
    for (const auto& change : row.changes) {
      const size_t column = change.column == "note" ? 1 : change.column == "body" ? 2 : 0;
      ASSERT_NE(column, 0u) << change.column;
      EXPECT_EQ(stored.at(id - 1).at(column), change.after) << "row " << id << " " << change.column;
    }
  }
  ASSERT_EQ(full.rows[0].changes.size(), 2u);
  EXPECT_EQ(full.rows[0].changes[0].after, "see " + kReplace);
}

TEST_P(EngineBodies, replaceThenUndoGivesBackEveryByte) {
  makeNotes();
  const Rows before = notes();
  journal::Journal journal(journalPath());
  journal::RunInfo info;
  info.server = testsupport::engineName(engine());
  info.database = "t";
  info.find = kFind;
  info.replace = kReplace;
  const long long run = journal.beginRun(info);
  ASSERT_EQ(
      journal::journaledReplace(conn(), journal, run, planFor("t", {kFind, kReplace})).changed, 3);
  journal.finishRun(run);
  ASSERT_NE(notes(), before);
  const auto entry = journal.run(run);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->tables.at(0).rows, 3);
  EXPECT_EQ(entry->tables.at(0).state, journal::TableState::Done);

  // The undo as a script first: nothing is run.
  std::ostringstream script;
  const auto scripted = journal::undo(conn(), journal, *entry, {}, &script);
  EXPECT_EQ(scripted.tables.at(0).restored, 3);
  const std::string expected = [&]() -> std::string {
    switch (engine()) {
      case Engine::SQLite:
        return "update [t] set [note] = 'see o''k\\%_汉😀'";
      case Engine::SqlServer:
        return "update [t] set [note] = N'see o''k\\%_汉😀'";
      case Engine::PostgreSQL:
        return "update \"t\" set \"note\" = E'see o''k\\\\%_汉😀'";
      case Engine::MariaDB:
        return "update `t` set `note` = 'see o''k\\\\%_汉😀'";
    }
    return "?";
  }();
  EXPECT_NE(script.str().find(expected), std::string::npos) << script.str();
  EXPECT_NE(notes(), before);

  const auto undone = journal::undo(conn(), journal, *entry, info);
  EXPECT_EQ(undone.tables.at(0).restored, 3);
  EXPECT_TRUE(undone.tables.at(0).conflicts.empty());
  EXPECT_EQ(notes(), before);

  // The undo is a run of its own: undoing it writes the replace again.
  const auto again = journal::undo(conn(), journal, *journal.run(undone.undoRun), {});
  EXPECT_EQ(again.tables.at(0).restored, 3);
  EXPECT_EQ(notes().at(0).at(1), "see " + kReplace);
}

// The undo's script, run by the engine's own client as an operator would,
// gives back every byte: carriage returns (before a line feed too), other
// control characters, a line reading "go" (a SQL Server client's batch
// end), Chinese and an emoji.
TEST_P(EngineBodies, anUndoScriptReplayedByTheClientGivesBackEveryByte) {
  const Engine e = engine();
  setup("create table t(id int primary key, note " + longText(e) + ");" +
        insert(e, "t", {"1", "a " + kFind + "\r\nnext\r"}) +
        insert(e, "t", {"2", "\x01" + kFind + "\x1b[0m\x1a\b\tend\n"}) +
        insert(e, "t", {"3", "none\r"}) + insert(e, "t", {"4", "x " + kFind + "\ngo\nexit\n"}));
  const Rows before = dump(name("t"), {"id", "note"}, "id");
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  ASSERT_EQ(
      journal::journaledReplace(conn(), journal, run, planFor("t", {kFind, kReplace})).changed, 3);
  journal.finishRun(run);
  const Rows after = dump(name("t"), {"id", "note"}, "id");
  ASSERT_EQ(after, replacedIn(before, {1}));
  std::ostringstream script;
  const auto scripted = journal::undo(conn(), journal, *journal.run(run), {}, &script);
  ASSERT_EQ(scripted.tables.at(0).restored, 3);
  replay(script.str());
  EXPECT_EQ(dump(name("t"), {"id", "note"}, "id"), before) << script.str();
}

// A row edited by hand between the replace and the undo is a conflict: it
// keeps every value it has now, the one edited and the ones the replace
// wrote; the other rows are given back.
TEST_P(EngineBodies, aRowEditedSinceIsAConflictAndKeepsItsValue) {
  makeNotes();
  const Rows before = notes();
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  ASSERT_EQ(
      journal::journaledReplace(conn(), journal, run, planFor("t", {kFind, kReplace})).changed, 3);
  const Rows after = notes();
  setup("update " + name("t") + " set note = 'edited by hand' where id = 1;");
  const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
  EXPECT_EQ(undone.tables.at(0).restored, 2);
  ASSERT_EQ(undone.tables.at(0).conflicts.size(), 1u);
  EXPECT_EQ(*undone.tables.at(0).conflicts[0].at(0), std::string("1"));
  const Rows restored = notes();
  EXPECT_EQ(restored.at(0).at(1), std::string("edited by hand"));
  EXPECT_EQ(restored.at(0).at(2), after.at(0).at(2)) << "the row is left alone";
  EXPECT_EQ(restored.at(3).at(2), kFind);
  for (size_t k = 1; k < before.size(); ++k) EXPECT_EQ(restored[k], before[k]) << "row " << k + 1;
  // A second undo finds the rows already as they were.
  const auto twice = journal::undo(conn(), journal, *journal.run(run), {});
  EXPECT_EQ(twice.tables.at(0).restored, 0);
  EXPECT_EQ(twice.tables.at(0).alreadyBefore, 2);
}

// A journaled replace and its undo give back every byte with a primary key,
// without any key (then by value, or by SQLite's rowid), and with a unique
// key that names the rows: not the nullable one, nor one the engine keeps
// only for some rows or for an expression. A row edited in between is a
// conflict.
TEST_P(EngineBodies, everyKindOfTableIsUndoneByteForByte) {
  const Engine e = engine();
  const std::string big = std::string(70000, 'x') + kFind + std::string(30000, 'y');
  // SQL Server keeps a fixed-length value padded to its length; the
  // stand-in's file is written past it, so it is written padded.
  const std::string zz = e == Engine::SqlServer ? "zz" + std::string(38, ' ') : "zz";
  const std::vector<std::vector<Value>> rows{
      {"1", "see " + kFind, big, std::nullopt, std::nullopt},
      {"2", std::nullopt, "汉😀 " + kFind, zz, std::nullopt},
      {"3", kCaseTrap, std::nullopt, std::nullopt, std::nullopt},
      {"4", kFind, kFind + kFind, std::nullopt, std::nullopt}};
  auto table = [&](const std::string& t, const std::string& id, const std::string& constraints) {
    std::string sql = "create table " + name(t) + "(id " + id + ", note " + shortText(e, 200) +
                      ", body " + longText(e) + ", code " + fixedText(e, 40) + ", tiny " +
                      shortText(e, 3) + constraints + ");";
    for (const auto& row : rows) sql += insert(e, t, row);
    return sql;
  };
  std::string unique = table("unique", "int not null",
                             ", constraint a_tiny unique(tiny), constraint b_id unique(id)");
  switch (e) {
    case Engine::SQLite:
    case Engine::PostgreSQL:
      unique +=
          "alter table \"unique\" add n int not null default 0;"
          "create unique index a_part on \"unique\"(n) where n > 0;"
          "create unique index a_expr on \"unique\"((id + 0));";
      break;
    case Engine::SqlServer:
      // A filtered index holds only some rows.
      unique +=
          "alter table \"unique\" add n int not null default 0;"
          "create unique index a_part on \"unique\"(n) where n > 0;";
      break;
    case Engine::MariaDB:
      // Its driver reports a not-null unique key as the primary key, but not
      // one kept by a hash: that one only the catalog names.
      unique.replace(unique.find("unique(id)"), 10, "unique(id) using hash");
      break;
  }
  setup(table("keyed", "int primary key", "") + table("keyless", "int", "") + unique);

  const std::vector<std::string> columns{"id", "note", "body", "code", "tiny"};
  // The upper-case row changes too where the search ignores case.
  const long long changed = ignoresCase() ? 4 : 3;
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  for (const std::string t : {"keyed", "keyless", "unique"}) {
    SCOPED_TRACE(t);
    const Rows before = dump(name(t), columns, "id");
    ASSERT_EQ(before.size(), rows.size());
    const journal::Plan plan = planFor(t, {kFind, kReplace});
    const auto preview = journal::preview(conn(), plan, 0);
    if (t == "keyless" && e == Engine::SQLite) {
      EXPECT_FALSE(preview.byValue);
      EXPECT_EQ(preview.identityColumns, std::vector<std::string>{"rowid"});
    } else {
      EXPECT_EQ(preview.byValue, t == "keyless");
      if (!preview.byValue) {
        EXPECT_EQ(preview.identityColumns, std::vector<std::string>{"id"});
      }
    }
    ASSERT_EQ(journal::journaledReplace(conn(), journal, run, plan).changed, changed);
    const Rows after = dump(name(t), columns, "id");
    ASSERT_EQ(after.size(), rows.size());
    EXPECT_EQ(after, replacedIn(before, {1, 2, 3}, ignoresCase()));
    // The preview's after values are what the replace wrote.
    ASSERT_EQ(preview.rows.size(), size_t(changed));
    for (const auto& p : preview.rows) {
      for (const auto& change : p.changes) {
        const size_t column = change.column == "note" ? 1 : change.column == "body" ? 2 : 3;
        // Rows by rowid or by value name a row other than by its id.
        const size_t row = p.identity.size() == 1 ? std::stoul(*p.identity[0]) - 1 : [&] {
          for (size_t k = 0; k < before.size(); ++k)
            if (before[k].at(0) == p.identity.at(0)) return k;
          return before.size();
        }();
        ASSERT_LT(row, after.size());
        EXPECT_EQ(after[row].at(column), change.after) << show(change.after);
      }
    }
    if (t == "keyed") {
      // Edited by hand between the replace and the undo.
      setup("update " + name("keyed") + " set note = 'by hand' where id = 4;");
    }
    const auto entry = journal.run(run);
    journal::RunEntry one = *entry;
    one.tables = {entry->tables.back()};
    const auto undone = journal::undo(conn(), journal, one, {});
    const Rows restored = dump(name(t), columns, "id");
    ASSERT_EQ(restored.size(), rows.size());
    if (t == "keyed") {
      EXPECT_EQ(undone.tables.at(0).restored, changed - 1);
      EXPECT_EQ(undone.tables.at(0).conflicts.size(), 1u);
      EXPECT_EQ(restored[3].at(1), std::string("by hand"));
      EXPECT_EQ(restored[3].at(2), after[3].at(2));  // the row is left alone
      for (size_t k = 0; k < 3; ++k) EXPECT_EQ(restored[k], before[k]) << "row " << k + 1;
    } else {
      EXPECT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
      EXPECT_EQ(undone.tables.at(0).restored, changed);
      EXPECT_TRUE(undone.tables.at(0).conflicts.empty());
      EXPECT_EQ(restored, before);
    }
  }
}

// A name is only a name, whatever statement words it holds: columns named
// "a=b" and "x where y", a table named "a=b" (keyed) and one without a key.
// The find counts, the preview shows, the replace writes and the undo gives
// back, read past the connection under test.
TEST_P(EngineBodies, namesHoldingStatementWordsAreOnlyNames) {
  const Engine e = engine();
  const std::string ab = name("a=b"), xy = name("x where y");
  setup("create table " + ab + "(id int primary key, " + ab + " " + shortText(e, 100) + ", " + xy +
        " " + longText(e) + ", n int);" +
        insert(e, "a=b", {"1", "see " + kFind, kFind + " x where y " + kFind, "1"}) +
        insert(e, "a=b", {"2", "none", std::nullopt, "2"}) +
        insert(e, "a=b", {"3", std::nullopt, "b=" + kFind, "3"}) + "create table t(code " +
        shortText(e, 40) + ", " + ab + " " + longText(e) + ", " + xy + " " + shortText(e, 40) +
        ");" + insert(e, "t", {"k1", kFind + "=b", "x where " + kFind}) +
        insert(e, "t", {"k2", "no", "no"}));
  auto dumpBoth = [&] {
    Rows rows = dump(ab, {"id", ab, xy, "n"}, "id");
    for (auto& row : dump(name("t"), {"code", ab, xy}, "code")) rows.push_back(row);
    return rows;
  };
  const Rows before = dumpBoth();
  ASSERT_EQ(before.size(), 5u);

  const std::vector<engine::Table> tables{{"a=b"}, {"t"}};
  engine::Options options;
  options.texts = {kFind, kReplace};
  engine::Observer quiet;
  const auto countA = engine::runTable(conn(), tables[0], options, quiet);
  ASSERT_FALSE(countA.failure) << countA.failure->description;
  EXPECT_EQ(countA.records, 2);
  const auto countT = engine::runTable(conn(), tables[1], options, quiet);
  ASSERT_FALSE(countT.failure) << countT.failure->description;
  EXPECT_EQ(countT.records, 1);

  try {
    const auto preview = engine::previewTable(conn(), tables[0], options.texts, 0);
    EXPECT_EQ(preview.total, 2);
    ASSERT_EQ(preview.rows.size(), 2u);
    ASSERT_EQ(preview.rows[0].changes.size(), 2u);
    EXPECT_EQ(preview.rows[0].changes[0].column, std::string("a=b"));
    EXPECT_EQ(preview.rows[0].changes[0].after, "see " + kReplace);
    EXPECT_EQ(preview.rows[0].changes[1].column, std::string("x where y"));
    EXPECT_EQ(preview.rows[1].changes.at(0).after, "b=" + kReplace);
    const auto previewT = engine::previewTable(conn(), tables[1], options.texts, 0);
    ASSERT_EQ(previewT.rows.size(), 1u);
    EXPECT_EQ(previewT.rows[0].changes.size(), 2u);
  } catch (const db::DbError& err) {
    FAIL() << err.description();
  }

  journal::Journal journal(journalPath());
  journal::RunInfo info;
  info.server = testsupport::engineName(e);
  info.database = "names";
  const long long run = journal.beginRun(info);
  options.mode = engine::Mode::Replace;
  options.journal = &journal;
  options.journalRun = run;
  for (const auto& table : tables) {
    const auto replaced = engine::runTable(conn(), table, options, quiet);
    ASSERT_FALSE(replaced.failure) << replaced.failure->description;
    EXPECT_EQ(replaced.status, engine::Status::Replaced);
  }
  journal.finishRun(run);
  EXPECT_EQ(dumpBoth(), replacedIn(before, {1, 2}));

  const auto undone = journal::undo(conn(), journal, *journal.run(run), info);
  ASSERT_EQ(undone.tables.size(), 2u);
  for (const auto& table : undone.tables) {
    EXPECT_FALSE(table.failure) << *table.failure;
    EXPECT_TRUE(table.conflicts.empty());
  }
  EXPECT_EQ(undone.tables[0].restored + undone.tables[1].restored, 3);
  EXPECT_EQ(dumpBoth(), before);
}

// The undo compares the whole row as the run left it: a row edited since
// in a column the run never changed is a conflict, left as it is.
TEST_P(EngineBodies, aRowEditedSinceInAnotherColumnIsAConflict) {
  const Engine e = engine();
  setup("create table t(id int primary key, note " + shortText(e, 50) + ", other " +
        shortText(e, 50) + ", n int);" + insert(e, "t", {"1", kFind, "o1", "1"}) +
        insert(e, "t", {"2", "x " + kFind, "o2", "2"}));
  const std::vector<std::string> columns{"id", "note", "other", "n"};
  const Rows before = dump(name("t"), columns, "id");
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  ASSERT_EQ(
      journal::journaledReplace(conn(), journal, run, planFor("t", {kFind, kReplace})).changed, 2);
  setup("update " + name("t") + " set n = 20 where id = 2;");
  const Rows edited = dump(name("t"), columns, "id");
  const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
  ASSERT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
  EXPECT_EQ(undone.tables.at(0).restored, 1);
  ASSERT_EQ(undone.tables.at(0).conflicts.size(), 1u);
  EXPECT_EQ(*undone.tables.at(0).conflicts[0].at(0), std::string("2"));
  const Rows now = dump(name("t"), columns, "id");
  EXPECT_EQ(now.at(0), before.at(0));
  EXPECT_EQ(now.at(1), edited.at(1));
}

// What the table's own trigger writes into a row with the update, in the
// changed column too, is part of the row as the run left it: no conflict
// that nobody made. Rows the
// trigger keeps from the update are no rows of the run.
TEST_P(EngineBodies, triggersThatAlterOrKeepRowsMakeNoFalseConflicts) {
  const Engine e = engine();
  if (e == Engine::SqlServer) GTEST_SKIP() << "the stand-in runs no triggers of SQL Server";
  std::string triggers;
  switch (e) {
    case Engine::PostgreSQL:
      triggers =
          "create function t_touch() returns trigger language plpgsql as $$ begin "
          "if new.note like '%keep%' then return null; end if; "
          "if new.note like '%新%' then new.note := new.note || '!'; end if; "
          "new.n := coalesce(old.n, 0) + 100; new.other := new.other || '!'; return new; end $$;"
          "create trigger t_touch before update on t for each row execute function t_touch();";
      break;
    case Engine::MariaDB:
      // MariaDB's triggers cannot keep a row from its update.
      triggers =
          "create trigger t_touch before update on t for each row set new.n = old.n + 100, "
          "new.other = concat(new.other, '!'), new.note = if(new.note like '%新%', "
          "concat(new.note, '!'), new.note);";
      break;
    case Engine::SQLite:
      triggers =
          "create trigger t_keep before update on t when new.note like '%keep%' "
          "begin select raise(ignore); end;";
      break;
    case Engine::SqlServer:
      break;
  }
  setup("create table t(id int primary key, note " + shortText(e, 50) + ", other " +
        shortText(e, 50) + ", n int);" + insert(e, "t", {"1", kFind, "o1", "1"}) +
        insert(e, "t", {"2", "keep " + kFind, "o2", "2"}) +
        insert(e, "t", {"3", kFind + " 3", "o3", "3"}) + triggers);
  const bool keeps = e != Engine::MariaDB;
  const std::vector<std::string> columns{"id", "note", "other", "n"};
  const Rows before = dump(name("t"), columns, "id");
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  const journal::Replaced replaced =
      journal::journaledReplace(conn(), journal, run, planFor("t", {kFind, kReplace}));
  EXPECT_EQ(replaced.changed, keeps ? 2 : 3);
  EXPECT_EQ(replaced.kept, keeps ? 1 : 0) << "matching rows the trigger kept from the update";
  const auto entry = journal.run(run);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->tables.at(0).rows, keeps ? 2 : 3) << "the journal holds the rows changed";
  const Rows after = dump(name("t"), columns, "id");
  if (keeps) {
    EXPECT_EQ(after.at(1), before.at(1));
  }

  const auto undone = journal::undo(conn(), journal, *entry, {});
  ASSERT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
  EXPECT_TRUE(undone.tables.at(0).conflicts.empty());
  EXPECT_EQ(undone.tables.at(0).restored, keeps ? 2 : 3);
  const Rows now = dump(name("t"), columns, "id");
  for (size_t k = 0; k < now.size(); ++k) EXPECT_EQ(now[k].at(1), before[k].at(1)) << k + 1;
}

// Keys of every type name their own row: a FLOAT key is no double, a binary
// key with NUL bytes is no text.
TEST_P(EngineBodies, keysOfEveryTypeNameTheirRow) {
  const Engine e = engine();
  std::string sql;
  switch (e) {
    case Engine::MariaDB:
      sql =
          "create table f(k float primary key, v varchar(20));"
          "insert into f values(0.1, 'a.com'), (0.2, 'a.com');"
          "create table b(k varbinary(8) primary key, v varchar(20));"
          "insert into b values(unhex('00610062'), 'a.com'), (unhex('0061'), 'a.com');";
      break;
    case Engine::PostgreSQL:
      sql =
          "create table f(k real primary key, v varchar(20));"
          "insert into f values(0.1, 'a.com'), (0.2, 'a.com');"
          "create table b(k bytea primary key, v varchar(20));"
          "insert into b values('\\x00610062', 'a.com'), ('\\x0061', 'a.com');";
      break;
    default:
      GTEST_SKIP() << "covered on SQLite by the storage-class tests of the command line";
  }
  setup(sql);
  const Rows f = dump(name("f"), {"v"}, "k"), b = dump(name("b"), {"v"}, "k");
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  for (const char* t : {"f", "b"})
    ASSERT_EQ(
        journal::journaledReplace(conn(), journal, run, planFor(t, {"a.com", "b.org"})).changed, 2);
  ASSERT_NE(dump(name("f"), {"v"}, "k"), f);
  const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
  for (const auto& table : undone.tables) {
    SCOPED_TRACE(table.table.name);
    ASSERT_FALSE(table.failure) << *table.failure;
    EXPECT_TRUE(table.conflicts.empty());
    EXPECT_EQ(table.restored, 2);
  }
  EXPECT_EQ(dump(name("f"), {"v"}, "k"), f);
  EXPECT_EQ(dump(name("b"), {"v"}, "k"), b);
}

// Replace and undo of a database of hostile values under every kind of
// key: none, a nullable unique one (no key then), composite, real, and a
// text key the replace changes. Rows inserted, edited and deleted between
// the two are told and kept; every other row comes back byte for byte.
TEST_P(EngineBodies, undoGivesBackEveryRowItChangedAndOnlyThose) {
  const Engine e = engine();
  const std::string s50 = shortText(e, 50), s100 = shortText(e, 100);
  const std::string ctl = "\r\n\t" + kFind + "\\";
  setup("create table nokey(note " + s100 + ", body " + longText(e) + ");" +
        insert(e, "nokey", {kFind, "x"}) + insert(e, "nokey", {"y " + kFind, std::nullopt}) +
        insert(e, "nokey", {"same", ctl}) + "create table nullu(u int null unique, note " + s100 +
        ");" + insert(e, "nullu", {std::nullopt, kFind}) + insert(e, "nullu", {"1", "a" + kFind}) +
        insert(e, "nullu", {"2", "plain"}) + "create table comp(a int not null, b " + s50 +
        " not null, note " + s100 + ", primary key(a, b));" +
        insert(e, "comp", {"1", "k1", kFind}) + insert(e, "comp", {"1", "k2", kFind + "!"}) +
        insert(e, "comp", {"2", "k1", "none"}) + "create table realk(k real primary key, note " +
        s100 + ");insert into realk values(1.5, " + literal(e, kFind) + ");" +
        "insert into realk values(0.25, " + literal(e, "z" + kFind) + ");" +
        "insert into realk values(3, 'none');" + "create table textk(k " + s100 +
        " not null primary key, note " + s100 + ");" + insert(e, "textk", {kFind, "n1"}) +
        insert(e, "textk", {"x" + kFind, ctl}) + insert(e, "textk", {"plain", "n3"}));
  struct Table {
    std::string name;
    std::vector<std::string> columns;
  };
  const std::vector<Table> tables{{"nokey", {"note", "body"}},
                                  {"nullu", {"u", "note"}},
                                  {"comp", {"a", "b", "note"}},
                                  {"realk", {"k", "note"}},
                                  {"textk", {"k", "note"}}};
  auto dumpOf = [&](const Table& t) {
    std::string order;
    for (const auto& c : t.columns) order += (order.empty() ? "" : ", ") + c;
    return dump(name(t.name), t.columns, order);
  };
  std::map<std::string, Rows> before;
  for (const auto& t : tables) before[t.name] = dumpOf(t);

  journal::Journal journal(journalPath());
  const long long run = journal.beginRun({});
  for (const auto& t : tables) {
    SCOPED_TRACE(t.name);
    journal::journaledReplace(conn(), journal, run, planFor(t.name, {kFind, kReplace}));
    ASSERT_NE(dumpOf(t), before[t.name]);
  }
  // Between the replace and the undo: a row like one the run wrote, an
  // edit, a deletion and a new row.
  setup(insert(e, "nokey", {kReplace, "x"}) + "update comp set note = 'edited' where b = 'k2';" +
        "delete from realk where k = 0.25;" + insert(e, "textk", {"fresh", kReplace}));
  std::map<std::string, Rows> between;
  for (const auto& t : tables) between[t.name] = dumpOf(t);

  const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
  std::map<std::string, const journal::UndoTable*> result;
  for (const auto& t : undone.tables) result[t.table.name] = &t;
  for (const auto& t : tables) {
    SCOPED_TRACE(t.name);
    ASSERT_TRUE(result.contains(t.name));
    ASSERT_FALSE(result[t.name]->failure) << *result[t.name]->failure;
  }
  // Untouched since: back byte for byte.
  EXPECT_EQ(dumpOf(tables[1]), before["nullu"]);
  EXPECT_TRUE(result["nullu"]->conflicts.empty());
  // The edited row keeps its edit, the deleted row stays deleted, each told.
  Rows comp = before["comp"];
  comp[1] = between["comp"][1];
  EXPECT_EQ(dumpOf(tables[2]), comp);
  EXPECT_EQ(result["comp"]->conflicts.size(), 1u);
  Rows realk = before["realk"];
  realk.erase(realk.begin());  // 0.25 sorts first
  EXPECT_EQ(dumpOf(tables[3]), realk);
  EXPECT_EQ(result["realk"]->conflicts.size(), 1u);
  // A new row is nobody's to undo; the changed key is given back.
  Rows textk = before["textk"];
  for (const auto& row : between["textk"])
    if (row.at(0) == Value("fresh")) textk.push_back(row);
  ASSERT_EQ(textk.size(), 4u);
  std::sort(textk.begin(), textk.end());
  Rows textkNow = dumpOf(tables[4]);
  std::sort(textkNow.begin(), textkNow.end());
  EXPECT_EQ(textkNow, textk);
  EXPECT_TRUE(result["textk"]->conflicts.empty());
  // Without a key, a row like the one the run wrote makes that image
  // ambiguous: neither is written. SQLite names the rows by their rowid.
  Rows nokey = before["nokey"];
  const Value replaced = kReplace;
  if (e == Engine::SQLite) {
    nokey.push_back({replaced, Value("x")});
  } else {
    for (auto& row : nokey)
      if (row.at(0) == Value(kFind)) row.at(0) = replaced;
    nokey.push_back({replaced, Value("x")});
  }
  std::sort(nokey.begin(), nokey.end());
  Rows nokeyNow = dumpOf(tables[0]);
  std::sort(nokeyNow.begin(), nokeyNow.end());
  EXPECT_EQ(nokeyNow, nokey);
}

// A table with a trigger of its own is told by the preview and by the
// replace; one without (a foreign key's internal triggers are the
// server's, not the table's) is not. What the trigger wrote is there.
TEST_P(EngineBodies, tablesWithTriggersOfTheirOwnAreTold) {
  const Engine e = engine();
  std::string trigger;
  switch (e) {
    case Engine::SQLite:
    case Engine::SqlServer:  // made on the stand-in's file
      trigger =
          "create trigger watch after update on \"Watched\" begin insert into audit "
          "values(old.v); end;";
      break;
    case Engine::PostgreSQL:
      trigger =
          "create function keep() returns trigger language plpgsql as $$begin insert into audit "
          "values(old.v); return new; end$$;"
          "create trigger watch after update on \"Watched\" for each row execute function "
          "keep();";
      break;
    case Engine::MariaDB:
      trigger =
          "create trigger watch after update on `Watched` for each row insert into audit "
          "values(old.v);";
      break;
  }
  setup("create table " + name("Watched") + "(id int primary key, v " + shortText(e, 100) + ");" +
        "create table audit(what " + shortText(e, 100) + ");" + "create table plain(id " +
        "int primary key, w int references " + name("Watched") + "(id), v " + shortText(e, 100) +
        ");" + insert(e, "Watched", {"1", "see a.com"}) + insert(e, "plain", {"1", "1", "a.com"}) +
        trigger);
  const search::Texts texts{"a.com", "b.org"};
  try {
    EXPECT_TRUE(engine::previewTable(conn(), {"Watched"}, texts, 0).hasTriggers);
    EXPECT_FALSE(engine::previewTable(conn(), {"plain"}, texts, 0).hasTriggers);
  } catch (const db::DbError& err) {
    FAIL() << err.description();
  }

  journal::Journal journal(journalPath());
  engine::Options options;
  options.texts = texts;
  options.mode = engine::Mode::Replace;
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  engine::Observer quiet;
  const auto watched = engine::runTable(conn(), {"Watched"}, options, quiet);
  ASSERT_FALSE(watched.failure) << watched.failure->description;
  EXPECT_EQ(watched.status, engine::Status::Replaced);
  EXPECT_TRUE(watched.hasTriggers);
  const auto plain = engine::runTable(conn(), {"plain"}, options, quiet);
  ASSERT_FALSE(plain.failure) << plain.failure->description;
  EXPECT_EQ(plain.status, engine::Status::Replaced);
  EXPECT_FALSE(plain.hasTriggers);
  EXPECT_EQ(dump(name("audit"), {"what"}, "what"), (Rows{{"see a.com"}}));
  EXPECT_EQ(dump(name("Watched"), {"id", "v"}, "id"), (Rows{{"1", "see b.org"}}));
}

// A run names its database as the server knows it. An undo reaches it
// again however the operator spells the server; a database of the same
// name made again since (a file put in the file's place) is another one,
// refused before anything is written; a script is still written for it.
TEST_P(EngineBodies, aRunIsUndoneOnlyInTheDatabaseItWasMadeIn) {
  const Engine e = engine();
  // A schema changed before the run: a file made again later by the same
  // script has a shorter history than the run's.
  setup("create table scratch(x int); drop table scratch;");
  setup("create table t(id int primary key, note " + shortText(e, 100) + ");" +
        insert(e, "t", {"1", "see " + kFind}));
  const session::ServerSpec place = session::ServerSpec::parse(fields().server, fields().database);
  const session::Session session(place, fields().user, fields().password, 10);
  journal::Journal journal(journalPath());
  const long long run = journal.beginRun(session.runInfo(conn(), "replace", kFind, kReplace));
  ASSERT_EQ(
      journal::journaledReplace(conn(), journal, run, planFor("t", {kFind, kReplace})).changed, 1);
  const journal::RunInfo made = journal.run(run)->info;
  ASSERT_FALSE(made.identity.empty());
  SCOPED_TRACE(made.identity);
  EXPECT_EQ(session::notMadeHere(made, place, conn()), std::nullopt);

  // The server field spelled otherwise reaches the same database.
  if (e == Engine::PostgreSQL || e == Engine::MariaDB) {
    std::string other = fields().server;
    const size_t at = other.find("127.0.0.1");
    ASSERT_NE(at, std::string::npos) << other;
    other.replace(at, 9, "localhost");
    db::ConnectFields spelled = fields();
    spelled.server = other;
    db::Connection again;
    again.Open(db::makeTarget(spelled, db::installedDrivers(), 10));
    EXPECT_EQ(
        session::notMadeHere(made, session::ServerSpec::parse(other, fields().database), again),
        std::nullopt);
  }

  if (e == Engine::MariaDB) {
    // MariaDB keeps nothing that tells a schema made again under its name
    // from the old one; another server answering at the run's address is
    // told by its id.
    setup("set global server_id = @@server_id + 1000;");
    db::Connection other;
    other.Open(db::makeTarget(fields(), db::installedDrivers(), 10));
    const auto why = session::notMadeHere(made, place, other);
    setup("set global server_id = @@server_id - 1000;");
    EXPECT_TRUE(why.has_value()) << "another server taken for the run's";
    return;
  }
  recreateDatabase();
  setup("create table t(id int primary key, note " + shortText(e, 100) + ");" +
        insert(e, "t", {"1", "see " + kReplace}));
  const auto why = session::notMadeHere(made, place, conn());
  ASSERT_TRUE(why.has_value()) << "a database made again under the run's name taken for the run's";
  // The command line and the window refuse on this answer; the script is
  // still there for wherever the operator means to run it.
  std::ostringstream script;
  journal::undo(conn(), journal, *journal.run(run), {}, &script);
  EXPECT_NE(script.str().find("see "), std::string::npos);
  EXPECT_EQ(dump(name("t"), {"id", "note"}, "id"), (Rows{{"1", "see " + kReplace}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineBodies, testsupport::allEngines(),
                         testsupport::EngineParamName());

}  // namespace
