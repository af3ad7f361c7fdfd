// What only PostgreSQL has, on a server the test starts, judged by psql:
// a type whose equality ignores case (citext), a type that cuts what it is
// given (name), and tables that inherit from others.
#include <algorithm>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "transform/make_rewriter.h"

namespace {

using namespace trellick;
using testsupport::Engine;
using testsupport::Rows;
using testsupport::Value;

class PostgresqlChanges : public testsupport::EngineFixture {
 protected:
  testsupport::TempDir files;
  std::string journalPath() const { return files.file("journal.db"); }

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
};

// A citext value edited since the run only in case is not what the run
// wrote: the undo leaves it, and tells it.
TEST_P(PostgresqlChanges, aCitextValueEditedInCaseIsAConflict) {
  setup(
      "create extension if not exists citext;"
      "create table c(id int primary key, note citext);"
      "insert into c values(1, 'see foo'), (2, 'foo too');");
  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  const auto replaced = run("c", {"foo", "bar"}, engine::Mode::Replace, &journal, id);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  journal.finishRun(id);
  ASSERT_EQ(dump("c", {"id", "note"}, "id"), (Rows{{"1", "see bar"}, {"2", "bar too"}}));
  setup("update c set note = 'SEE BAR' where id = 1;");
  const auto undone = journal::undo(conn(), journal, *journal.run(id), {});
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_EQ(undone.tables[0].restored, 1);
  ASSERT_EQ(undone.tables[0].conflicts.size(), 1u);
  EXPECT_EQ(*undone.tables[0].conflicts[0].at(0), std::string("1"));
  EXPECT_EQ(dump("c", {"id", "note"}, "id"), (Rows{{"1", "SEE BAR"}, {"2", "foo too"}}));
}

// A name column keeps 63 bytes of whatever it is given: it is not searched,
// so no value is cut and reported replaced.
TEST_P(PostgresqlChanges, aNameColumnIsNotSearched) {
  setup(
      "create table n(id int primary key, label name, note text);"
      "insert into n values(1, 'foo', 'foo');");
  const std::string longer(80, 'x');
  const auto counted = run("n", {"foo", longer}, engine::Mode::Count);
  ASSERT_FALSE(counted.failure) << counted.failure->description;
  for (const auto& c : counted.columns) EXPECT_FALSE(c.name == "label" && c.searchable);
  const auto replaced = run("n", {"foo", longer}, engine::Mode::Replace);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  EXPECT_EQ(dump("n", {"id", "label", "note"}, "id"), (Rows{{"1", "foo", longer}}));
}

// A table another inherits from: each row is counted, replaced and undone
// through its own table, once. The child's row carries the parent's key,
// so a statement on the parent that reached it would show.
TEST_P(PostgresqlChanges, inheritedRowsAreTheirOwnTablesOnly) {
  setup(
      "create table parent(id int primary key, note text);"
      "create table child(extra int) inherits (parent);"
      "insert into parent values(1, 'see foo'), (2, 'none');"
      "insert into child values(1, 'foo child', 7);");
  const auto counted = run("parent", {"foo", "bar"}, engine::Mode::Count);
  ASSERT_FALSE(counted.failure) << counted.failure->description;
  EXPECT_EQ(counted.records, 1);

  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  for (const std::string table : {"parent", "child"}) {
    const auto replaced = run(table, {"foo", "bar"}, engine::Mode::Replace, &journal, id);
    ASSERT_FALSE(replaced.failure) << replaced.failure->description;
    EXPECT_EQ(replaced.records, 1) << table;
    EXPECT_EQ(replaced.status, engine::Status::Replaced) << table;
  }
  journal.finishRun(id);
  ASSERT_EQ(dump("only parent", {"id", "note"}, "id"), (Rows{{"1", "see bar"}, {"2", "none"}}));
  ASSERT_EQ(dump("child", {"id", "note", "extra"}, "id"), (Rows{{"1", "bar child", "7"}}));

  // The parent's undo alone: the child's row stays as the run left it.
  const auto entry = journal.run(id);
  journal::RunEntry parentOnly = *entry;
  parentOnly.tables = {entry->tables.front()};
  ASSERT_EQ(parentOnly.tables[0].table.name, "parent");
  const auto undone = journal::undo(conn(), journal, parentOnly, {});
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_EQ(undone.tables[0].restored, 1);
  EXPECT_TRUE(undone.tables[0].conflicts.empty());
  EXPECT_EQ(dump("only parent", {"id", "note"}, "id"), (Rows{{"1", "see foo"}, {"2", "none"}}));
  EXPECT_EQ(dump("child", {"id", "note", "extra"}, "id"), (Rows{{"1", "bar child", "7"}}));

  // The whole run: the child's row too, through its own table.
  parentOnly.tables = {entry->tables.back()};
  const auto rest = journal::undo(conn(), journal, parentOnly, {});
  EXPECT_EQ(rest.tables.at(0).restored, 1);
  EXPECT_EQ(dump("child", {"id", "note", "extra"}, "id"), (Rows{{"1", "foo child", "7"}}));
  EXPECT_EQ(dump("only parent", {"id", "note"}, "id"), (Rows{{"1", "see foo"}, {"2", "none"}}));
}

// A trigger that gives a row its old value back: the server counts it
// updated, the journal has nothing of it, and the table's replace is rolled
// back, told in the window's words and, beside them, in English.
TEST_P(PostgresqlChanges, aReplaceTheJournalCannotTakeBackFailsInBothLanguages) {
  setup(
      "create table k(id int primary key, v text);"
      "insert into k values (1, 'see foo'), (2, 'foo');"
      "create function keep() returns trigger language plpgsql as $$ begin "
      "  if old.id = 2 then new.v := old.v; end if; return new; end $$;"
      "create trigger kept before update on k for each row execute function keep();");
  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  const auto replaced = run("k", {"foo", "bar"}, engine::Mode::Replace, &journal, id);
  ASSERT_TRUE(replaced.failure);
  EXPECT_EQ(replaced.failure->description,
            "HY000 [Trellick]更新了 2 条记录，但替换前的内容只记录了 1 条，已撤回此表的替换");
  EXPECT_EQ(replaced.failure->englishDescription,
            "HY000 [Trellick]updated 2 records, but the journal holds the old values of only 1; "
            "the table's replace was rolled back");
  ASSERT_EQ(replaced.failure->englishRecords.size(), 1u);
  EXPECT_EQ(replaced.failure->englishRecords[0].sqlstate, "HY000");
  EXPECT_EQ(dump("k", {"id", "v"}, "id"), (Rows{{"1", "see foo"}, {"2", "foo"}}));
}

// The statements sent while `work` runs.
template <class Work>
std::vector<std::string> sentBy(Work work) {
  std::vector<std::string> sent;
  db::setStatementObserver([&](const std::string& sql) { sent.push_back(sql); });
  try {
    work();
  } catch (...) {
    db::setStatementObserver({});
    throw;
  }
  db::setStatementObserver({});
  return sent;
}

long long countOf(const std::vector<std::string>& sent, const std::string& start) {
  long long n = 0;
  for (const auto& s : sent) n += s.rfind(start, 0) == 0 ? 1 : 0;
  return n;
}

// A table without triggers of its own is journaled by the update itself:
// each page of 10,000 rows in the key's order is written by one statement
// that hands the rows back with their values before and as it left them,
// and no statement reads the table again. The next page starts past the
// last key: rows that still match once replaced are not replaced twice.
// The undo gives them back many to a statement.
TEST_P(PostgresqlChanges, aJournaledReplaceIsReadFromItsOwnUpdateAndUndoneInBatches) {
  setup(
      "create table p(id int primary key, note text, other varchar(20));"
      "insert into p select i, 'a foo ' || i, 'x' from generate_series(1, 10003) i;"
      "insert into p values (20000, 'nothing', 'foo'), (20001, 'none', 'x');");
  const Rows before = dump("p", {"id", "note", "other"}, "id");
  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  engine::TableResult replaced;
  const auto sent = sentBy([&] {
    replaced = run("p", {"foo", "foo2"}, engine::Mode::Replace, &journal, id);
  });
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  journal.finishRun(id);
  EXPECT_EQ(replaced.records, 10004);
  const Rows after = dump("p", {"id", "note", "other"}, "id");
  ASSERT_EQ(after.size(), before.size());
  for (size_t k = 0; k < after.size(); ++k) {
    Rows::value_type expected = before[k];
    for (size_t c = 1; c < 3; ++c)
      if (expected[c] && expected[c]->find("foo") != std::string::npos)
        expected[c]->replace(expected[c]->find("foo"), 3, "foo2");
    ASSERT_EQ(after[k], expected) << k;
  }
  // Two pages, each one statement; no cursor, no plain update, no reading
  // again by key.
  EXPECT_EQ(countOf(sent, "with \"trellick_x\""), 2) << testing::PrintToString(sent);
  EXPECT_EQ(countOf(sent, "declare"), 0);
  EXPECT_EQ(countOf(sent, "Update"), 0);
  EXPECT_EQ(countOf(sent, "select \"id\""), 0);
  const auto run = journal.run(id);
  ASSERT_TRUE(run);
  ASSERT_EQ(run->tables.size(), 1u);
  EXPECT_EQ(run->tables[0].rows, 10004);
  EXPECT_EQ(run->tables[0].state, journal::TableState::Done);

  journal::UndoResult undone;
  const auto undoSent = sentBy([&] { undone = journal::undo(conn(), journal, *run, {}); });
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_FALSE(undone.tables[0].failure) << *undone.tables[0].failure;
  EXPECT_EQ(undone.tables[0].restored, 10004);
  EXPECT_TRUE(undone.tables[0].conflicts.empty());
  EXPECT_EQ(dump("p", {"id", "note", "other"}, "id"), before);
  // 500 rows to a statement: 21 for the notes, one for the other column.
  EXPECT_EQ(countOf(undoSent, "with \"trellick_r\""), 22) << undoSent.size();
  EXPECT_EQ(countOf(undoSent, "update"), 0);
}

// Each value after as the driver reads the row the update left, of every
// kind of text: varying, unbounded, through a domain, blank-padded (its
// image loses the padding, its value keeps it), case-blind, JSON; NULLs
// and values the run left alone beside them. The undo gives back all.
TEST_P(PostgresqlChanges, aJournaledValueAfterIsTheValueTheTableHolds) {
  setup(
      "create extension if not exists citext;"
      "create domain vtext as varchar(30);"
      "create table a(id int primary key, v varchar(20), t text, c char(12), d vtext, "
      "i citext, j json);"
      "insert into a values (1, 'foo', 'a foo', 'foo', 'foo d', 'Foo foo', '{\"k\": \"foo\"}'),"
      "(2, null, 'foo', null, null, null, null), (3, 'x', 'y', 'z ', 'w', 'v', '[]'),"
      "(4, ' foo ', null, ' foo', 'foofoo', 'foo', '\"foo\"');");
  const Rows before = dump("a", {"id", "v", "t", "c", "d", "i", "j"}, "id");
  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  const auto replaced = run("a", {"foo", "ba"}, engine::Mode::Replace, &journal, id);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  EXPECT_EQ(replaced.records, 3);
  journal.finishRun(id);
  const auto entry = journal.run(id);
  ASSERT_TRUE(entry);
  ASSERT_EQ(entry->tables.size(), 1u);
  const auto& table = entry->tables[0];
  // The rows as the driver reads them now, by key.
  std::vector<std::pair<std::string, std::vector<Value>>> held;
  {
    std::string list;
    for (const auto& c : table.changed) list += ", " + conn().engineSql().quotedName(c.name);
    auto rs = conn().Execute("select cast(id as text)" + list + " from a order by id");
    while (!rs->Eof()) {
      std::vector<Value> values;
      for (size_t k = 0; k < table.changed.size(); ++k) {
        const auto v = rs->Fields().Item(static_cast<int>(k + 1)).Value();
        values.push_back(v.IsNull() ? std::nullopt : Value(v.text()));
      }
      held.emplace_back(rs->Fields().Item(0).Value().text(), values);
      rs->MoveNext();
    }
    rs->Close();
  }
  long long rows = 0;
  journal.forEachRow(table.id, [&](const journal::Row& row) {
    ++rows;
    ASSERT_EQ(row.after.size(), table.changed.size());
    const auto it = std::find_if(held.begin(), held.end(),
                                 [&](const auto& h) { return Value(h.first) == row.identity[0]; });
    ASSERT_NE(it, held.end());
    for (size_t k = 0; k < table.changed.size(); ++k)
      EXPECT_EQ(row.after[k], it->second[k]) << table.changed[k].name << " of " << it->first;
  });
  EXPECT_EQ(rows, 3);
  const auto undone = journal::undo(conn(), journal, *entry, {});
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_FALSE(undone.tables[0].failure) << *undone.tables[0].failure;
  EXPECT_EQ(undone.tables[0].restored, 3);
  EXPECT_EQ(dump("a", {"id", "v", "t", "c", "d", "i", "j"}, "id"), before);
}

// The undo's batches write a row only where its whole image is still the
// run's: a row edited since, one edited in a column the run left alone and
// one deleted are conflicts, one put back by hand is already as before,
// each told as the undo of one row at a time tells it; the rest are given
// back.
TEST_P(PostgresqlChanges, anUndoInBatchesWritesOnlyRowsStillAsTheRunLeftThem) {
  setup(
      "create table q(id int primary key, note text, n int);"
      "insert into q select i, 'foo ' || i, i from generate_series(1, 6) i;");
  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  const auto replaced = run("q", {"foo", "bar"}, engine::Mode::Replace, &journal, id);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  journal.finishRun(id);
  setup(
      "update q set note = 'edited' where id = 2;"
      "update q set note = 'foo 3' where id = 3;"
      "update q set n = 40 where id = 4;"
      "delete from q where id = 5;");
  journal::UndoResult undone;
  const auto sent = sentBy([&] { undone = journal::undo(conn(), journal, *journal.run(id), {}); });
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_FALSE(undone.tables[0].failure) << *undone.tables[0].failure;
  EXPECT_EQ(undone.tables[0].restored, 2);
  EXPECT_EQ(undone.tables[0].alreadyBefore, 1);
  std::vector<std::string> conflicts;
  for (const auto& c : undone.tables[0].conflicts) conflicts.push_back(c.at(0).value_or("NULL"));
  EXPECT_EQ(conflicts, (std::vector<std::string>{"2", "4", "5"}));
  EXPECT_EQ(dump("q", {"id", "note", "n"}, "id"), (Rows{{"1", "foo 1", "1"},
                                                        {"2", "edited", "2"},
                                                        {"3", "foo 3", "3"},
                                                        {"4", "bar 4", "40"},
                                                        {"6", "foo 6", "6"}}));
  // One statement for the six, then one for each row it left.
  EXPECT_EQ(countOf(sent, "with \"trellick_r\""), 1) << testing::PrintToString(sent);
  EXPECT_EQ(countOf(sent, "update"), 4);
}

// A batch none of whose rows is still as the run left them: each row is
// then told by itself, and nothing is written.
TEST_P(PostgresqlChanges, anUndoBatchThatWritesNoRowTellsEachConflict) {
  setup(
      "create table r(id int primary key, note text);"
      "insert into r values (1, 'foo 1'), (2, 'foo 2');");
  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  const auto replaced = run("r", {"foo", "bar"}, engine::Mode::Replace, &journal, id);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  journal.finishRun(id);
  setup("update r set note = note || ' edited';");
  const auto undone = journal::undo(conn(), journal, *journal.run(id), {});
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_FALSE(undone.tables[0].failure) << *undone.tables[0].failure;
  EXPECT_EQ(undone.tables[0].restored, 0);
  EXPECT_EQ(undone.tables[0].conflicts.size(), 2u);
  EXPECT_EQ(dump("r", {"id", "note"}, "id"), (Rows{{"1", "bar 1 edited"}, {"2", "bar 2 edited"}}));
}

// A batch of the row rewriter whose update writes none of the rows its read
// locked (here a policy lets only statements other than the batch's write):
// the write is still read as a result, and each row is then written by
// itself; the journal holds what was written and gives it back.
TEST_P(PostgresqlChanges, aRewriterBatchThatWritesNoRowWritesEachByItself) {
  setup(
      "create table s(id int primary key, note text);"
      "insert into s values (1, 'foo 1'), (2, 'foo 2'), (3, 'none');"
      "alter table s enable row level security;"
      "alter table s force row level security;"
      "create policy s_read on s for select using (true);"
      "create policy s_write on s for update"
      " using (current_query() not like '%jsonb_populate_recordset%');");
  const Rows before = dump("s", {"id", "note"}, "id");
  transform::Options pairs;
  pairs.pairs = {{"foo", "bar"}, {"bar", "baz"}};
  engine::Options options;
  options.texts = {"foo", "bar"};
  options.mode = engine::Mode::Replace;
  options.rewriter = transform::makeRewriter(pairs);
  journal::Journal journal(journalPath());
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  engine::Observer quiet;
  const auto replaced = engine::runTable(conn(), {"s"}, options, quiet);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  journal.finishRun(options.journalRun);
  ASSERT_TRUE(replaced.journaled);
  EXPECT_EQ(replaced.journaled->changed, 2);
  EXPECT_EQ(replaced.journaled->kept, 0);
  EXPECT_EQ(dump("s", {"id", "note"}, "id"), (Rows{{"1", "baz 1"}, {"2", "baz 2"}, {"3", "none"}}));
  const auto run = journal.run(options.journalRun);
  ASSERT_TRUE(run);
  ASSERT_EQ(run->tables.size(), 1u);
  EXPECT_EQ(run->tables[0].rows, 2);
  EXPECT_EQ(run->tables[0].state, journal::TableState::Done);

  const auto undone = journal::undo(conn(), journal, *run, {});
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_FALSE(undone.tables[0].failure) << *undone.tables[0].failure;
  EXPECT_EQ(undone.tables[0].restored, 2);
  EXPECT_EQ(dump("s", {"id", "note"}, "id"), before);
}

// Two schemas hold tables of the same name with different keys: each
// table's key is its own schema's, and a journaled replace asks the catalog
// for it with one statement of its own, not the driver's catalog call with
// the statement time-out set around it.
TEST_P(PostgresqlChanges, aTablesKeyIsAskedOfItsOwnSchemaWithOneStatement) {
  setup(
      "create schema other;"
      "create table t(a int, b int, v text, primary key (b, a));"
      "create table other.t(id int primary key, a int, b int, v text);"
      "create table other.u(x int not null unique, y int unique, v text);"
      "create table other.\"Odd \"\"t\"(\"k \"\"ey\" text primary key, v text);"
      "create table other.w(v text);"
      "create table other.\"Dot.ted\"(\"K\" int primary key);"
      "create table \"pg_class\"(mine int primary key);"
      "insert into t values (1, 2, 'foo');"
      "insert into other.t values (7, 1, 2, 'a foo');");
  using Key = std::vector<std::string>;
  Key key;
  const auto asked = sentBy([&] { key = conn().RowKey("other", "t"); });
  EXPECT_EQ(key, Key{"id"});
  EXPECT_EQ(asked.size(), 1u) << testing::PrintToString(asked);
  EXPECT_EQ(conn().RowKey("", "t"), (Key{"b", "a"}));
  EXPECT_EQ(conn().RowKey("public", "t"), (Key{"b", "a"}));
  EXPECT_EQ(conn().RowKey("other", "u"), Key{"x"});
  EXPECT_EQ(conn().RowKey("other", "Odd \"t"), Key{"k \"ey"});
  EXPECT_EQ(conn().RowKey("other", "w"), Key{});
  EXPECT_EQ(conn().RowKey("other", "Dot.ted"), Key{"K"});
  EXPECT_EQ(conn().RowKey("other", "dot.ted"), Key{});
  EXPECT_EQ(conn().RowKey("other", "missing"), Key{});
  // The default schema's table, not the system catalog's of the same name.
  EXPECT_EQ(conn().RowKey("", "pg_class"), Key{"mine"});

  journal::Journal journal(journalPath());
  const long long id = journal.beginRun({});
  engine::Options options;
  options.texts = {"foo", "bar"};
  options.mode = engine::Mode::Replace;
  options.journal = &journal;
  options.journalRun = id;
  engine::Observer quiet;
  engine::TableResult replaced;
  const auto sent = sentBy([&] {
    replaced = engine::runTable(conn(), {"t", "other"}, options, quiet);
  });
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  journal.finishRun(id);
  EXPECT_EQ(replaced.records, 1);
  long long keyQueries = 0;
  for (const auto& s : sent) keyQueries += s.find("indisprimary") != std::string::npos ? 1 : 0;
  EXPECT_EQ(keyQueries, 1) << testing::PrintToString(sent);
  EXPECT_EQ(dump("other.t", {"id", "v"}, "id"), (Rows{{"7", "a bar"}}));
  EXPECT_EQ(dump("public.t", {"a", "b", "v"}, "a"), (Rows{{"1", "2", "foo"}}));
  // The journal names the row by the other schema's key.
  const auto run = journal.run(id);
  ASSERT_TRUE(run);
  journal::UndoResult undone = journal::undo(conn(), journal, *run, {});
  ASSERT_EQ(undone.tables.size(), 1u);
  EXPECT_FALSE(undone.tables[0].failure) << *undone.tables[0].failure;
  EXPECT_EQ(undone.tables[0].restored, 1);
  EXPECT_EQ(dump("other.t", {"id", "v"}, "id"), (Rows{{"7", "a foo"}}));

  // The server still ends a statement at the command time-out, set again
  // only when it changes.
  auto setting = [&] {
    auto rs = conn().Execute("show statement_timeout");
    return rs->Fields().Item(0).Value().text();
  };
  EXPECT_EQ(setting(), std::to_string(conn().CommandTimeout()) + "s");
  conn().SetCommandTimeout(7);
  const auto changed = sentBy([&] {
    EXPECT_EQ(setting(), "7s");
    EXPECT_EQ(setting(), "7s");
  });
  EXPECT_EQ(countOf(changed, "set statement_timeout"), 1) << testing::PrintToString(changed);
  conn().SetCommandTimeout(1);
  try {
    conn().Execute("select pg_sleep(10)");
    ADD_FAILURE() << "the statement outlived the time-out";
  } catch (const db::DbError& e) {
    EXPECT_TRUE(e.hasSqlState("57014")) << e.description();
  }
  EXPECT_EQ(setting(), "1s");
}

// Asked a result column's type, the driver looks the column's table up in
// the catalog with a query of its own. A run reads its rows as text and asks
// no type: a journaled replace, the rewriter's replace and the undo send
// the server nothing of the driver's; a type asked is still the catalog's.
TEST_P(PostgresqlChanges, readingRowsSendsNoColumnLookupOfTheDriver) {
  setup(
      "create domain short_text as varchar(30);"
      "create table a(id int primary key, note text, other varchar(20), d short_text);"
      "insert into a values (1, 'a foo', 'foo', 'foo d'), (2, 'none', 'x', null);"
      "create table b(note text, other varchar(20));"
      "insert into b values ('b foo', 'x'), ('b foo', 'x');"
      "create table c(id int, note text, other varchar(20), d short_text);"
      "insert into c values (1, 'x', 'y', 'z');");
  logServerStatements();
  // The driver's column queries (none of Trellick's names this column)
  // but those for a table's columns described on purpose, whose types the
  // catalog learns from the driver once for each kind of column.
  auto lookups = [](const std::vector<std::string>& statements) {
    long long n = 0;
    for (size_t k = 0; k < statements.size(); ++k)
      n += statements[k].find("relhasrules") != std::string::npos &&
                   (k == 0 || statements[k - 1].rfind("select * from ", 0) != 0)
               ? 1
               : 0;
    return n;
  };

  journal::Journal journal(journalPath());
  engine::Options options;
  options.texts = {"foo", "bar"};
  options.mode = engine::Mode::Replace;
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  // The columns from the catalog, as the command line and the window read
  // them: no table's columns are described by a query of their own.
  options.catalog = engine::readCatalog(conn(), engine::userTables(conn()));
  ASSERT_TRUE(options.catalog);
  engine::Observer quiet;
  for (const char* table : {"a", "b"}) {
    const auto replaced = engine::runTable(conn(), {table}, options, quiet);
    ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  }
  journal.finishRun(options.journalRun);
  EXPECT_EQ(dump("a", {"id", "note", "other", "d"}, "id"),
            (Rows{{"1", "a bar", "bar", "bar d"}, {"2", "none", "x", std::nullopt}}));
  const auto run = journal.run(options.journalRun);
  ASSERT_TRUE(run);
  const auto undone = journal::undo(conn(), journal, *run, {});
  ASSERT_EQ(undone.tables.size(), 2u);
  for (const auto& t : undone.tables) EXPECT_FALSE(t.failure) << *t.failure;
  EXPECT_EQ(dump("a", {"id", "note", "other", "d"}, "id"),
            (Rows{{"1", "a foo", "foo", "foo d"}, {"2", "none", "x", std::nullopt}}));

  transform::Options pairs;
  pairs.pairs = {{"foo", "bar"}};
  options.rewriter = transform::makeRewriter(pairs);
  options.journalRun = journal.beginRun({});
  const auto rewritten = engine::runTable(conn(), {"a"}, options, quiet);
  ASSERT_FALSE(rewritten.failure) << rewritten.failure->description;
  journal.finishRun(options.journalRun);
  EXPECT_EQ(dump("a", {"id", "note"}, "id"), (Rows{{"1", "a bar"}, {"2", "none"}}));

  const auto received = serverStatements();
  long long journaledUpdates = 0;
  for (const auto& s : received)
    journaledUpdates += s.find("\"trellick_x\"") != std::string::npos ? 1 : 0;
  EXPECT_GE(journaledUpdates, 1) << testing::PrintToString(received);
  EXPECT_EQ(lookups(received), 0) << testing::PrintToString(received);

  // Types asked of a result: the driver's, through its lookup (of a table
  // it has not looked up before), asked once the rows are read too.
  auto rs = conn().Execute("select id, note, other, d from c");
  while (!rs->Eof()) rs->MoveNext();
  auto fields = rs->Fields();
  EXPECT_EQ(fields.Item(1).Name(), "note");
  EXPECT_EQ(lookups(serverStatements()), 0);
  EXPECT_EQ(fields.Item(0).Type(), db::adInteger);
  EXPECT_EQ(fields.Item(1).Type(), db::adLongVarChar);
  EXPECT_EQ(fields.Item(2).Type(), db::adVarChar);
  EXPECT_EQ(fields.Item(2).DefinedSize(), 20);
  EXPECT_EQ(fields.Item(3).Type(), db::adVarChar);
  EXPECT_EQ(fields.Item(3).DefinedSize(), 30);
  EXPECT_EQ(lookups(serverStatements()), 1);
  rs->Close();
  EXPECT_THROW(fields.Item(0).Type(), db::DbError);
}

INSTANTIATE_TEST_SUITE_P(Engines, PostgresqlChanges, testing::Values(Engine::PostgreSQL),
                         testsupport::EngineParamName());

}  // namespace
