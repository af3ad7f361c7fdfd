// Preview, journaled replace and undo over real SQLite files through the
// real ODBC driver, judged by reading the files directly.
#include <QtTest>
#include <sstream>

#include "db/connection.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "testdb.h"

using namespace trellick;
using journal::Journal;

namespace {

const std::string kFind = "a.com";
// Holds the search text: a row replaced twice, or undone wrongly, shows.
const std::string kReplace = "www.a.com/'站😀";

std::vector<std::vector<std::string>> dump(const std::string& file) {
  return testdb::query(file, "select id, quote(note), quote(body), quote(code) from t order by id");
}

// Every text of a dump with the search text replaced, as a replace must
// leave it.
std::vector<std::vector<std::string>> replacedIn(std::vector<std::vector<std::string>> rows) {
  for (auto& row : rows)
    for (auto& value : row)
      for (size_t at = value.find(kFind); at != std::string::npos;
           at = value.find(kFind, at + kReplace.size()))
        value.replace(at, kFind.size(), kReplace);
  return rows;
}

struct Fixture {
  testdb::Dir dir;
  std::string file = dir.file("data.db");
  std::string journalPath = dir.file("journal.db");
  db::Connection conn;
  search::StatementBuilder builder{search::Engine::SQLite, {kFind, kReplace}};
  journal::Plan plan;

  Fixture() {
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

}  // namespace

class TestChanges : public QObject {
  Q_OBJECT

 private slots:
  void previewShowsWhatTheReplaceThenWrites() {
    Fixture fx;
    const auto preview = journal::preview(fx.conn, fx.plan, 2);
    QCOMPARE(preview.total, 3ll);
    QCOMPARE(preview.identityColumns, std::vector<std::string>{"id"});
    QVERIFY(!preview.byValue);
    QCOMPARE(preview.rows.size(), size_t(2));  // the limit
    const auto full = journal::preview(fx.conn, fx.plan, 0);
    QCOMPARE(full.rows.size(), size_t(3));

    Journal journal(fx.journalPath);
    const long long run = journal.beginRun({});
    QCOMPARE(journal::journaledReplace(fx.conn, journal, run, fx.plan), 3ll);
    // Row for row, the preview's after values are what is now stored.
    for (const auto& row : full.rows) {
      for (const auto& change : row.changes) {
        const auto stored = testdb::query(
            fx.file, "select " + change.column + " from t where id = " + *row.identity[0]);
        QCOMPARE(stored.at(0).at(0), change.after);
      }
    }
    QCOMPARE(full.rows[0].changes.size(), size_t(2));
    QCOMPARE(full.rows[0].changes[0].after, "see " + kReplace);
  }

  void replaceThenUndoGivesBackEveryByte() {
    Fixture fx;
    const auto before = dump(fx.file);
    Journal journal(fx.journalPath);
    journal::RunInfo info;
    info.server = "sqlite";
    info.database = fx.file;
    info.find = kFind;
    info.replace = kReplace;
    const long long run = journal.beginRun(info);
    journal::journaledReplace(fx.conn, journal, run, fx.plan);
    journal.finishRun(run);
    QVERIFY(dump(fx.file) != before);
    const auto entry = journal.run(run);
    QCOMPARE(entry->tables.at(0).rows, 3ll);
    QCOMPARE(entry->tables.at(0).state, journal::TableState::Done);

    // The undo as a script first: nothing is run.
    std::ostringstream script;
    const auto scripted = journal::undo(fx.conn, journal, *entry, {}, &script);
    QCOMPARE(scripted.tables.at(0).restored, 3ll);
    QVERIFY(script.str().find("update [t] set [note] = 'see a.com'") != std::string::npos);
    QVERIFY(dump(fx.file) != before);

    const auto undone = journal::undo(fx.conn, journal, *entry, info);
    QCOMPARE(undone.tables.at(0).restored, 3ll);
    QVERIFY(undone.tables.at(0).conflicts.empty());
    QCOMPARE(dump(fx.file), before);

    // The undo is a run of its own: undoing it writes the replace again.
    const auto again = journal::undo(fx.conn, journal, *journal.run(undone.undoRun), {});
    QCOMPARE(again.tables.at(0).restored, 3ll);
    QCOMPARE(testdb::query(fx.file, "select note from t where id = 1")[0][0], "see " + kReplace);
  }

  // Without a primary key, a unique key of not-null columns names the rows,
  // even one the replace changes; a nullable one does not, nor a partial or
  // an expression index: then the rowid does.
  void aTableWithoutAPrimaryKeyIsKnownByAUniqueKey() {
    Fixture fx;
    testdb::exec(fx.file,
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
    const auto plan = journal::makePlan(fx.builder, {"u"}, searched,
                                        {{"code", 200, 40},
                                         {"note", 200, 200},
                                         {"alt", 3, 10},
                                         {"pa", 3, 10},
                                         {"pb", 3, 10},
                                         {"maybe", 3, 10}});
    const auto preview = journal::preview(fx.conn, plan, 0);
    QCOMPARE(preview.identityColumns, std::vector<std::string>{"code"});
    QVERIFY(!preview.byValue);
    QCOMPARE(preview.rows.size(), size_t(3));
    QCOMPARE(*preview.rows[0].identity[0], std::string("a.com/1"));

    const std::string all = "select quote(code), quote(note), alt from u order by rowid";
    const auto before = testdb::query(fx.file, all);
    Journal journal(fx.journalPath);
    const long long run = journal.beginRun({});
    QCOMPARE(journal::journaledReplace(fx.conn, journal, run, plan), 3ll);
    QCOMPARE(testdb::query(fx.file, "select code from u where alt = 3")[0][0], kReplace + "/3");
    const auto undone = journal::undo(fx.conn, journal, *journal.run(run), {});
    QCOMPARE(undone.tables.at(0).restored, 3ll);
    QVERIFY(undone.tables.at(0).conflicts.empty());
    QCOMPARE(testdb::query(fx.file, all), before);

    const auto nullable =
        journal::preview(fx.conn,
                         journal::makePlan(fx.builder, {"n"}, {{"note", 200, 200}},
                                           {{"maybe", 200, 40}, {"note", 200, 200}}),
                         0);
    QCOMPARE(nullable.identityColumns, std::vector<std::string>{"rowid"});
    QVERIFY(!nullable.byValue);
    QCOMPARE(nullable.rows.size(), size_t(3));
  }

  void aRowEditedSinceIsAConflictAndKeepsItsValue() {
    Fixture fx;
    Journal journal(fx.journalPath);
    const long long run = journal.beginRun({});
    journal::journaledReplace(fx.conn, journal, run, fx.plan);
    testdb::exec(fx.file, "update t set note = 'edited by hand' where id = 1;");
    const auto undone = journal::undo(fx.conn, journal, *journal.run(run), {});
    QCOMPARE(undone.tables.at(0).restored, 2ll);
    QCOMPARE(undone.tables.at(0).conflicts.size(), size_t(1));
    QCOMPARE(*undone.tables.at(0).conflicts[0].at(0), std::string("1"));
    QCOMPARE(testdb::query(fx.file, "select note from t where id = 1")[0][0],
             std::string("edited by hand"));
    QCOMPARE(testdb::query(fx.file, "select body from t where id = 4")[0][0], std::string("a.com"));
    // A second undo finds the rows already as they were.
    const auto twice = journal::undo(fx.conn, journal, *journal.run(run), {});
    QCOMPARE(twice.tables.at(0).restored, 0ll);
    QCOMPARE(twice.tables.at(0).alreadyBefore, 2ll);
  }

  // A row the table's own trigger rewrites during the update is kept too,
  // and the undo gives it back.
  void aRowATriggerChangesIsJournaledWithTheRest() {
    Fixture fx;
    testdb::exec(fx.file,
                 "create trigger cascade after update of note on t when new.id = 1 begin "
                 "update t set note = 'moved ' || new.note where id = 2; end;");
    const auto before = dump(fx.file);
    Journal journal(fx.journalPath);
    const long long run = journal.beginRun({});
    QCOMPARE(journal::journaledReplace(fx.conn, journal, run, fx.plan), 3ll);
    QCOMPARE(testdb::query(fx.file, "select note from t where id = 2")[0][0],
             "moved see " + kReplace);
    testdb::exec(fx.file, "drop trigger cascade;");
    const auto undone = journal::undo(fx.conn, journal, *journal.run(run), {});
    QVERIFY(undone.tables.at(0).conflicts.empty());
    QCOMPARE(dump(fx.file), before);
  }

  void aFailedUpdateLeavesTheTableAndTheJournalUnchanged() {
    Fixture fx;
    testdb::exec(
        fx.file,
        "create trigger guard before update on t begin select raise(abort, 'refused'); end;");
    const auto before = dump(fx.file);
    Journal journal(fx.journalPath);
    const long long run = journal.beginRun({});
    QVERIFY_THROWS_EXCEPTION(db::DbError,
                             journal::journaledReplace(fx.conn, journal, run, fx.plan));
    QCOMPARE(dump(fx.file), before);
    // The update failed before the journal was sealed: nothing was kept.
    QVERIFY(journal.run(run)->tables.empty());
    // Nothing to give back, and the connection goes on.
    QCOMPARE(journal::undo(fx.conn, journal, *journal.run(run), {}).tables.size(), size_t(0));
    QCOMPARE(fx.conn.Execute("select count(*) from t")->Fields().Item(0).Value().toInt64(), 5ll);
  }

  void longValuesAreShownAroundEachOccurrence() {
    const std::string value =
        std::string(100, 'x') + "a.com" + std::string(10, 'y') + "a.com" + std::string(100, 'z');
    QCOMPARE(journal::excerpt(value, "a.com", 5),
             std::string("…xxxxx[[a.com]]yyyyyyyyyy[[a.com]]zzzzz…"));
    QCOMPARE(journal::excerpt("汉字a.com汉字", "a.com", 1), std::string("…字[[a.com]]汉…"));
    QCOMPARE(journal::excerpt("short", "a.com", 30), std::string("short"));
  }

  // A name is only a name, whatever statement words it holds: columns named
  // "a=b" and "x where y", a table named "a=b". The find counts, the
  // preview shows, the replace writes and the undo gives back, read from
  // the file itself.
  void namesHoldingStatementWordsAreOnlyNames() {
    testdb::Dir dir;
    const std::string file = dir.file("names.db");
    testdb::exec(file,
                 "create table [a=b](id integer primary key, [a=b] varchar(100), [x where y] text, "
                 "n int);"
                 "insert into [a=b] values(1, 'see a.com', 'a.com x where y a.com', 1);"
                 "insert into [a=b] values(2, 'none', null, 2);"
                 "insert into [a=b] values(3, null, 'b=a.com', 3);"
                 "create table t(code varchar(40), [a=b] text, [x where y] varchar(40));"
                 "insert into t values('k1', 'a.com=b', 'x where a.com');"
                 "insert into t values('k2', 'no', 'no');");
    auto dumpBoth = [&] {
      auto rows = testdb::query(file, "select id, [a=b], [x where y], n from [a=b] order by id");
      for (auto& row : testdb::query(file, "select code, [a=b], [x where y] from t order by code"))
        rows.push_back(row);
      return rows;
    };
    const auto before = dumpBoth();
    db::Connection conn;
    conn.SetCommandTimeout(10);
    conn.Open(db::makeTarget({"sqlite", "", "", file}, db::installedDrivers(), 10));
    const std::vector<engine::Table> tables{{"a=b"}, {"t"}};

    engine::Options options;
    options.texts = {kFind, kReplace};
    engine::Observer quiet;
    const auto countA = engine::runTable(conn, tables[0], options, quiet);
    QVERIFY2(!countA.failure, countA.failure ? countA.failure->description.c_str() : "");
    QCOMPARE(countA.records, 2ll);
    QCOMPARE(engine::runTable(conn, tables[1], options, quiet).records, 1ll);

    try {
      const auto preview = engine::previewTable(conn, tables[0], options.texts, 0);
      QCOMPARE(preview.total, 2ll);
      QCOMPARE(preview.rows.size(), size_t(2));
      QCOMPARE(preview.rows[0].changes.size(), size_t(2));
      QCOMPARE(preview.rows[0].changes[0].column, std::string("a=b"));
      QCOMPARE(preview.rows[0].changes[0].after, "see " + kReplace);
      QCOMPARE(preview.rows[0].changes[1].column, std::string("x where y"));
      QCOMPARE(preview.rows[1].changes.at(0).after, "b=" + kReplace);
      const auto previewT = engine::previewTable(conn, tables[1], options.texts, 0);
      QCOMPARE(previewT.rows.size(), size_t(1));
      QCOMPARE(previewT.rows[0].changes.size(), size_t(2));
    } catch (const db::DbError& e) {
      QFAIL(e.description().c_str());
    }

    Journal journal(dir.file("journal.db"));
    journal::RunInfo info;
    info.server = "sqlite";
    info.database = file;
    const long long run = journal.beginRun(info);
    options.mode = engine::Mode::Replace;
    options.journal = &journal;
    options.journalRun = run;
    for (const auto& table : tables) {
      const auto replaced = engine::runTable(conn, table, options, quiet);
      QVERIFY2(!replaced.failure, replaced.failure ? replaced.failure->description.c_str() : "");
      QCOMPARE(replaced.status, engine::Status::Replaced);
    }
    journal.finishRun(run);
    QCOMPARE(dumpBoth(), replacedIn(before));

    const auto undone = journal::undo(conn, journal, *journal.run(run), info);
    QCOMPARE(undone.tables.size(), size_t(2));
    for (const auto& table : undone.tables) {
      QVERIFY2(!table.failure, table.failure ? table.failure->c_str() : "");
      QVERIFY(table.conflicts.empty());
    }
    QCOMPARE(undone.tables[0].restored + undone.tables[1].restored, 3ll);
    QCOMPARE(dumpBoth(), before);
  }
};

QTEST_MAIN(TestChanges)
#include "test_changes.moc"
