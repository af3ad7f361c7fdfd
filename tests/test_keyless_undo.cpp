// The undo of a table without a key: rows are found again by their whole
// row, never more of them than the run changed. Judged by dumps read past
// the connection under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "db/connection.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "support/engine_fixture.h"
#include "support/files.h"

namespace {

using namespace trellick;
using testsupport::Engine;
using testsupport::Rows;
using testsupport::Value;

class KeylessUndo : public testsupport::EngineFixture {
 protected:
  testsupport::TempDir files;
  journal::Journal journal{files.file("journal.db")};

  // The plan of replacing "foo" with "bar" in every text column of k, as a
  // run makes it from the columns the engine learns.
  journal::Plan planOfK(const std::string& table = "k") {
    engine::Options options;
    options.texts = {"foo", "bar"};
    engine::Observer quiet;
    const engine::TableResult counted = engine::runTable(conn(), {table}, options, quiet);
    EXPECT_FALSE(counted.failure);
    std::vector<search::ChangeColumn> all, searched;
    for (const engine::Column& c : counted.columns) {
      all.push_back({c.name, c.type, c.size});
      if (c.searchable) searched.push_back({c.name, c.type, c.size});
    }
    const search::StatementBuilder builder(conn().dialect(), options.texts, conn().syntax());
    return journal::makePlan(builder, {table}, searched, all);
  }

  // Replaces "foo" with "bar" in every text column of k, journaled.
  journal::UndoResult replaceThen(const std::string& meanwhile, long long expected) {
    const auto plan = planOfK();
    const long long run = journal.beginRun({});
    EXPECT_EQ(journal::journaledReplace(conn(), journal, run, plan).changed, expected);
    journal.finishRun(run);
    if (!meanwhile.empty()) setup(meanwhile);
    const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
    EXPECT_TRUE(undone.tables.at(0).byValue) << "k has no key";
    EXPECT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
    return undone;
  }
  Rows rows() { return dump("k", {"a", "b"}, "a, b"); }
  // One of two identical rows, deleted the engine's way.
  std::string deleteOne(const std::string& a) const {
    if (engine() == Engine::PostgreSQL)
      return "delete from k where ctid = (select min(ctid) from k where a = '" + a + "');";
    if (engine() == Engine::SqlServer)  // made on the stand-in's file
      return "delete from k where rowid = (select min(rowid) from k where a = '" + a + "');";
    return "delete from k where a = '" + a + "' limit 1;";
  }
};

// A row equal to the one the run changed, added after it: nobody can tell
// which of them the run wrote, so neither is written.
TEST_P(KeylessUndo, rowsEqualToAChangedOneAreAmbiguousAndLeftAlone) {
  setup(
      "create table k(a varchar(20), b varchar(20));"
      "insert into k values ('foo', 'same'), ('bar', 'same'), ('foo', 'one');");
  const auto undone = replaceThen("insert into k values ('bar', 'same');", 2);
  const auto& t = undone.tables.at(0);
  EXPECT_EQ(t.restored, 1) << "foo|one";
  EXPECT_EQ(t.alreadyBefore, 0);
  EXPECT_TRUE(t.conflicts.empty());
  ASSERT_EQ(t.ambiguous.size(), 1u);
  EXPECT_EQ(t.ambiguous[0].at(0), Value("foo"));
  EXPECT_EQ(rows(), (Rows{{"bar", "same"}, {"bar", "same"}, {"bar", "same"}, {"foo", "one"}}));
}

// Two identical rows both changed: both go back, neither is "already so";
// the undo is journaled, and undoing it puts the run's values back.
TEST_P(KeylessUndo, identicalRowsBothChangedAreBothRestored) {
  setup(
      "create table k(a varchar(20), b varchar(20));"
      "insert into k values ('foo', 'same'), ('foo', 'same'), ('baz', 'same');");
  const auto undone = replaceThen("", 2);
  EXPECT_EQ(undone.tables.at(0).restored, 2);
  EXPECT_EQ(undone.tables.at(0).alreadyBefore, 0);
  EXPECT_TRUE(undone.tables.at(0).ambiguous.empty());
  EXPECT_EQ(rows(), (Rows{{"baz", "same"}, {"foo", "same"}, {"foo", "same"}}));
  const auto again = journal::undo(conn(), journal, *journal.run(undone.undoRun), {});
  EXPECT_EQ(again.tables.at(0).restored, 2);
  EXPECT_EQ(rows(), (Rows{{"bar", "same"}, {"bar", "same"}, {"baz", "same"}}));
}

// One of two identical changed rows deleted since: the other is restored,
// the deleted one is a conflict, not "already so".
TEST_P(KeylessUndo, aDeletedRowIsAConflict) {
  setup(
      "create table k(a varchar(20), b varchar(20));"
      "insert into k values ('foo', 'same'), ('foo', 'same');");
  const auto undone = replaceThen(deleteOne("bar"), 2);
  const auto& t = undone.tables.at(0);
  EXPECT_EQ(t.restored, 1);
  EXPECT_EQ(t.alreadyBefore, 0);
  EXPECT_EQ(t.conflicts.size(), 1u);
  EXPECT_EQ(rows(), (Rows{{"foo", "same"}}));
}

// NULL equals NULL only as both null; an empty text is not NULL.
TEST_P(KeylessUndo, nullsMatchOnlyNulls) {
  setup(
      "create table k(a varchar(20), b varchar(20));"
      "insert into k values ('foo', null), ('foo', ''), (null, 'foo');");
  const auto undone = replaceThen("insert into k values ('bar', null);", 3);
  const auto& t = undone.tables.at(0);
  EXPECT_EQ(t.restored, 2);
  ASSERT_EQ(t.ambiguous.size(), 1u) << "bar|NULL is now two rows";
  EXPECT_EQ(t.ambiguous[0].at(1), std::nullopt);
  Rows expected{{"bar", std::nullopt}, {"bar", std::nullopt}, {"foo", ""}, {std::nullopt, "foo"}};
  Rows got = rows();
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
}

// The undo written as a script and run by the engine's own client gives
// the rows back; on MariaDB each statement restores at most one row, so a
// row equal to a changed one, added since, stays as it is.
TEST_P(KeylessUndo, aScriptGivesTheRowsBack) {
  setup(
      "create table k(a varchar(20), b varchar(20));"
      "insert into k values ('foo', 'same'), ('foo', 'same'), ('foo', 'one');");
  const long long run = journal.beginRun({});
  ASSERT_EQ(journal::journaledReplace(conn(), journal, run, planOfK()).changed, 3);
  journal.finishRun(run);
  const bool limited = engine() == Engine::MariaDB;
  if (limited) setup("insert into k values ('bar', 'same');");
  std::ostringstream script;
  const auto scripted = journal::undo(conn(), journal, *journal.run(run), {}, &script);
  EXPECT_EQ(scripted.tables.at(0).restored, 3);
  replay(script.str());
  Rows expected{{"foo", "one"}, {"foo", "same"}, {"foo", "same"}};
  if (limited) expected.insert(expected.begin(), {"bar", "same"});
  EXPECT_EQ(rows(), expected) << script.str();
}

// Eight thousand keyless rows, each different, are undone in one pass:
// a statement per row that scans the table would take near a minute.
TEST_P(KeylessUndo, manyRowsAreUndoneInOnePass) {
  std::string values;
  for (int k = 0; k < 8000; ++k)
    values += std::string(k ? ", " : "") + "('foo" + std::to_string(k) + "', 'row " +
              std::to_string(k) + "')";
  setup("create table k(a varchar(20), b varchar(20)); insert into k values " + values + ";");
  const size_t sentBefore = serverStatements().size();
  const auto started = std::chrono::steady_clock::now();
  const auto undone = replaceThen("", 8000);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(undone.tables.at(0).restored, 8000);
  EXPECT_LT(seconds, 10.0) << "replace and undo of 8,000 rows";
  if (engine() == Engine::SqlServer) {
    // The stand-in's own table scans are quick: what shows a pass per image
    // is the statements sent. The replace and the undo each write k once.
    const auto sent = serverStatements();
    long long updates = 0;
    for (size_t n = sentBefore; n < sent.size(); ++n)
      updates += sent[n].rfind("update [k]", 0) == 0 || sent[n].rfind("update k", 0) == 0 ||
                 sent[n].rfind("Update [k]", 0) == 0 || sent[n].rfind("Update k", 0) == 0;
    EXPECT_LE(updates, 2) << "statements updating k";
  }
  const Rows back = rows();
  ASSERT_EQ(back.size(), 8000u);
  for (const auto& row : back) EXPECT_EQ(row.at(0)->substr(0, 3), "foo");
}

// A user's table named as Trellick's own temporary table of images is
// undone like any other, and one of that name beside the table undone is
// left as it was.
TEST_P(KeylessUndo, tablesNamedLikeTrellicksOwnAreOnlyUserTables) {
  setup(
      "create table trellick_undo_images(a varchar(20), b varchar(20));"
      "insert into trellick_undo_images values ('foo', 'one'), ('foo', 'two');"
      "create table k(a varchar(20), b varchar(20));"
      "insert into k values ('foo', 'k');");
  const Rows before = dump("trellick_undo_images", {"a", "b"}, "a, b");
  for (const std::string table : {"trellick_undo_images", "k"}) {
    SCOPED_TRACE(table);
    const long long run = journal.beginRun({});
    ASSERT_EQ(journal::journaledReplace(conn(), journal, run, planOfK(table)).changed,
              table == "k" ? 1 : 2);
    journal.finishRun(run);
    const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
    ASSERT_FALSE(undone.tables.at(0).failure) << *undone.tables.at(0).failure;
    EXPECT_EQ(undone.tables.at(0).restored, table == "k" ? 1 : 2);
    EXPECT_EQ(dump("trellick_undo_images", {"a", "b"}, "a, b"), before);
  }
  EXPECT_EQ(rows(), (Rows{{"foo", "k"}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, KeylessUndo,
                         testing::Values(Engine::SqlServer, Engine::PostgreSQL, Engine::MariaDB),
                         testsupport::EngineParamName());

}  // namespace

namespace {

// A SQLite table whose columns take every name of the rowid has no key:
// its undo goes by whole rows too.
class KeylessUndoSqlite : public KeylessUndo {};

// A trigger that keeps rows from being written back: the undo restores
// fewer rows than it counted, rolls the table back and says so, in the
// window's words and, beside them, in the command line's English.
TEST_P(KeylessUndoSqlite, fewerRowsRestoredThanCountedIsToldInBothLanguages) {
  setup(
      "create table k(rowid text, oid text, _rowid_ text, a varchar(20), b varchar(20));"
      "insert into k values ('1', '1', '1', 'foo', 'same'), ('2', '2', '2', 'foo', 'one');");
  const auto plan = planOfK();
  const long long run = journal.beginRun({});
  ASSERT_EQ(journal::journaledReplace(conn(), journal, run, plan).changed, 2);
  journal.finishRun(run);
  setup("create trigger kept before update on k begin select raise(ignore); end;");
  const auto undone = journal::undo(conn(), journal, *journal.run(run), {});
  const auto& t = undone.tables.at(0);
  EXPECT_TRUE(t.byValue);
  EXPECT_EQ(t.restored, 0);
  ASSERT_TRUE(t.failure && t.failureEnglish);
  EXPECT_EQ(*t.failure, "HY000 [Trellick]恢复了 0 条记录，应为 1 条，已撤回此表的恢复");
  EXPECT_EQ(*t.failureEnglish,
            "HY000 [Trellick]restored 0 records where 1 were expected; the table's restore was "
            "rolled back");
  EXPECT_EQ(rows(), (Rows{{"bar", "one"}, {"bar", "same"}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, KeylessUndoSqlite, testing::Values(Engine::SQLite),
                         testsupport::EngineParamName());

}  // namespace
