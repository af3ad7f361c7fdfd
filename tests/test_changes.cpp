// Preview, journaled replace and undo over real SQLite files through the
// real ODBC driver, judged by reading the files directly: what only SQLite
// has (its choice among unique indexes, its triggers) and the excerpts of
// long values. What holds on every engine is in test_engine_bodies.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/connection.h"
#include "db/recordset.h"
#include "journal/changes.h"
#include "support/files.h"
#include "support/sqlite_file.h"

using namespace trellick;
using journal::Journal;

namespace {

const std::string kFind = "a.com";
// Holds the search text: a row replaced twice, or undone wrongly, shows.
const std::string kReplace = "www.a.com/'站😀";

std::vector<std::vector<std::string>> dump(const std::string& file) {
  return testdb::query(file, "select id, quote(note), quote(body), quote(code) from t order by id");
}

class Changes : public testing::Test {
 protected:
  testsupport::TempDir dir;
  std::string file = dir.file("data.db");
  std::string journalPath = dir.file("journal.db");
  db::Connection conn;
  search::StatementBuilder builder{search::Engine::SQLite, {kFind, kReplace}};
  journal::Plan plan;

  void SetUp() override {
    ASSERT_TRUE(dir.valid()) << dir.error();
    testdb::exec(
        file,
        "create table t(id integer primary key, note varchar(200), body text, code int);"
        "insert into t values(1, 'see a.com', 'x' || printf('%.60000c', 'y') || 'a.com', 1);"
        "insert into t values(2, 'none', null, 2);"
        "insert into t values(3, 'A.COM caps', '汉😀 a.com a.com', 3);"
        "insert into t values(4, null, 'a.com', 4);"
        "insert into t values(5, '', 'a.co m', 5);");
    conn.SetCommandTimeout(10);
    conn.Open(db::makeTarget({"sqlite", "", "", file}, db::installedDrivers(), 10));
    plan = journal::makePlan(
        builder, {"t"}, {{"note", 200, 200}, {"body", 201, 2147483647}},
        {{"id", 3, 10}, {"note", 200, 200}, {"body", 201, 2147483647}, {"code", 3, 10}});
  }
};

// Without a primary key, a unique key of not-null columns names the rows,
// even one the replace changes; a nullable one does not, nor a partial or
// an expression index: then the rowid does.
TEST_F(Changes, aTableWithoutAPrimaryKeyIsKnownByAUniqueKey) {
  testdb::exec(file,
               "create table u(code varchar(40) not null, note varchar(200), alt int not null, "
               "pa int not null, pb int not null, maybe int, unique(pa, pb));"
               "create unique index [0_maybe] on u(maybe);"
               "create unique index [0_part] on u(alt) where alt > 0;"
               "create unique index [0_expr] on u(lower(code));"
               "create unique index a_code on u(code);"
               "create unique index b_alt on u(alt);"
               "insert into u values('a.com/1', 'see a.com', 1, 1, 1, null);"
               "insert into u values('plain', 'at a.com', 2, 1, 2, null);"
               "insert into u values('a.com/3', 'none', 3, 2, 1, 3);"
               "insert into u values('other', 'none', 4, 2, 2, 4);"
               "create table n(maybe varchar(40) unique, note varchar(200));"
               "insert into n values('a.com', 'a.com'), (null, 'a.com'), (null, 'a.com');");
  const std::vector<search::ChangeColumn> searched{{"code", 200, 40}, {"note", 200, 200}};
  const auto uniquePlan = journal::makePlan(builder, {"u"}, searched,
                                            {{"code", 200, 40},
                                             {"note", 200, 200},
                                             {"alt", 3, 10},
                                             {"pa", 3, 10},
                                             {"pb", 3, 10},
                                             {"maybe", 3, 10}});
  const auto preview = journal::preview(conn, uniquePlan, 0);
  ASSERT_EQ(preview.identityColumns, std::vector<std::string>{"code"});
  ASSERT_FALSE(preview.byValue);
  ASSERT_EQ(preview.rows.size(), size_t(3));
  ASSERT_EQ(*preview.rows[0].identity[0], std::string("a.com/1"));

  const std::string all = "select quote(code), quote(note), alt from u order by rowid";
  const auto before = testdb::query(file, all);
  Journal journal(journalPath);
  const long long run = journal.beginRun({});
  ASSERT_EQ(journal::journaledReplace(conn, journal, run, uniquePlan).changed, 3ll);
  ASSERT_EQ(testdb::query(file, "select code from u where alt = 3")[0][0], kReplace + "/3");
  const auto undone = journal::undo(conn, journal, *journal.run(run), {});
  ASSERT_EQ(undone.tables.at(0).restored, 3ll);
  ASSERT_TRUE(undone.tables.at(0).conflicts.empty());
  ASSERT_EQ(testdb::query(file, all), before);

  const auto nullable =
      journal::preview(conn,
                       journal::makePlan(builder, {"n"}, {{"note", 200, 200}},
                                         {{"maybe", 200, 40}, {"note", 200, 200}}),
                       0);
  ASSERT_EQ(nullable.identityColumns, std::vector<std::string>{"rowid"});
  ASSERT_FALSE(nullable.byValue);
  ASSERT_EQ(nullable.rows.size(), size_t(3));
}

// A row the table's own trigger rewrites during the update is kept too,
// and the undo gives it back.
TEST_F(Changes, aRowATriggerChangesIsJournaledWithTheRest) {
  testdb::exec(file,
               "create trigger cascade after update of note on t when new.id = 1 begin "
               "update t set note = 'moved ' || new.note where id = 2; end;");
  const auto before = dump(file);
  Journal journal(journalPath);
  const long long run = journal.beginRun({});
  ASSERT_EQ(journal::journaledReplace(conn, journal, run, plan).changed, 3ll);
  ASSERT_EQ(testdb::query(file, "select note from t where id = 2")[0][0], "moved see " + kReplace);
  testdb::exec(file, "drop trigger cascade;");
  const auto undone = journal::undo(conn, journal, *journal.run(run), {});
  ASSERT_TRUE(undone.tables.at(0).conflicts.empty());
  ASSERT_EQ(dump(file), before);
}

TEST_F(Changes, aFailedUpdateLeavesTheTableAndTheJournalUnchanged) {
  testdb::exec(
      file, "create trigger guard before update on t begin select raise(abort, 'refused'); end;");
  const auto before = dump(file);
  Journal journal(journalPath);
  const long long run = journal.beginRun({});
  ASSERT_THROW(journal::journaledReplace(conn, journal, run, plan), db::DbError);
  ASSERT_EQ(dump(file), before);
  // The update failed before the journal was sealed: nothing was kept.
  ASSERT_TRUE(journal.run(run)->tables.empty());
  // Nothing to give back, and the connection goes on.
  ASSERT_EQ(journal::undo(conn, journal, *journal.run(run), {}).tables.size(), size_t(0));
  ASSERT_EQ(conn.Execute("select count(*) from t")->Fields().Item(0).Value().toInt64(), 5ll);
}

// A user table may carry the name of the temporary table that keeps an
// update's rows: its own rows are replaced and undone, and the update never
// reaches the temporary one instead.
TEST_F(Changes, aTableNamedLikeTheRowCaptureIsItselfReplaced) {
  testdb::exec(file,
               "create table trellick_kept(id integer primary key, note varchar(200));"
               "insert into trellick_kept values(1, 'at a.com'), (2, 'a.com/2'), (3, 'none');");
  const std::string all = "select id, quote(note) from trellick_kept order by id";
  const auto before = testdb::query(file, all);
  const auto kept = journal::makePlan(builder, {"trellick_kept"}, {{"note", 200, 200}},
                                      {{"id", 3, 10}, {"note", 200, 200}});
  Journal journal(journalPath);
  const long long run = journal.beginRun({});
  ASSERT_EQ(journal::journaledReplace(conn, journal, run, kept).changed, 2ll);
  ASSERT_EQ(testdb::query(file, all), (std::vector<std::vector<std::string>>{
                                          {"1", "'at " + std::string("www.a.com/''站😀") + "'"},
                                          {"2", "'www.a.com/''站😀/2'"},
                                          {"3", "'none'"}}));
  const auto undone = journal::undo(conn, journal, *journal.run(run), {});
  ASSERT_EQ(undone.tables.at(0).restored, 2ll);
  ASSERT_TRUE(undone.tables.at(0).conflicts.empty());
  ASSERT_EQ(testdb::query(file, all), before);
}

TEST(Excerpt, longValuesAreShownAroundEachOccurrence) {
  const std::string value =
      std::string(100, 'x') + "a.com" + std::string(10, 'y') + "a.com" + std::string(100, 'z');
  ASSERT_EQ(journal::excerpt(value, "a.com", 5),
            std::string("…xxxxx[[a.com]]yyyyyyyyyy[[a.com]]zzzzz…"));
  ASSERT_EQ(journal::excerpt("汉字a.com汉字", "a.com", 1), std::string("…字[[a.com]]汉…"));
  ASSERT_EQ(journal::excerpt("short", "a.com", 30), std::string("short"));
}

}  // namespace
