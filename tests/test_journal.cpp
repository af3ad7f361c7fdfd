// The journal of what replaces changed, on real files: what goes in comes
// back byte for byte, it is its owner's alone, and a table that was not
// sealed leaves nothing behind, even when the process dies mid-table.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "journal/journal.h"
#include "support/files.h"

using namespace trellick::journal;

namespace {

TEST(Journal, valuesComeBackByteForByte) {
  const Values values{std::nullopt, std::string(), std::string("a\0b", 3), std::string("汉😀'\\\""),
                      std::string(100000, 'x')};
  const std::string encoded = encodeValues(values);
  ASSERT_TRUE(decodeValues(encoded.data(), encoded.size()) == values);
  // A cut-off row is refused, never read as shorter values.
  ASSERT_THROW(decodeValues(encoded.data(), encoded.size() - 1), std::runtime_error);
}

TEST(Journal, theFileIsItsOwnersAlone) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("deep/er/journal.db");
  Journal journal(path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  ASSERT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.file("deep/er").c_str(), &st), 0);
  ASSERT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Journal, theDefaultPathFollowsXdgDataHome) {
  ::setenv("XDG_DATA_HOME", "/srv/data", 1);
  ASSERT_EQ(Journal::defaultPath(), "/srv/data/Trellick/journal.db");
  ::setenv("XDG_DATA_HOME", "", 1);
  ::setenv("HOME", "/home/op", 1);
  ASSERT_EQ(Journal::defaultPath(), "/home/op/.local/share/Trellick/journal.db");
}

TEST(Journal, runsTablesAndRowsComeBack) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("journal.db");
  long long runId = 0;
  {
    Journal journal(path);
    RunInfo info;
    info.server = "sqlite";
    info.database = "/data/shop.db";
    info.user = "op";
    info.find = "a.com";
    info.replace = "b.org";
    runId = journal.beginRun(info);
    const long long t = journal.beginTable(runId, {"Orders", "sales"}, {{"id", 3, 10}}, false,
                                           {{"note", 200, 100}, {"body", 201, 0}});
    journal.addRow(t, {{"1"}, {"x a.com", std::nullopt}, {"x b.org", std::nullopt}});
    journal.addRow(t, {{"2"}, {"a.com", "a.com!"}, {"b.org", "b.org!"}});
    journal.seal(t);
    journal.mark(t, TableState::Done);
    journal.finishRun(runId);
  }
  Journal journal(path);
  const auto run = journal.lastRun();
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->id, runId);
  ASSERT_EQ(run->info.database, "/data/shop.db");
  ASSERT_EQ(run->info.replace, "b.org");
  ASSERT_FALSE(run->finished.empty());
  ASSERT_EQ(run->tables.size(), size_t(1));
  const TableEntry& t = run->tables[0];
  ASSERT_EQ(t.table.schema, "sales");
  ASSERT_EQ(t.state, TableState::Done);
  ASSERT_EQ(t.rows, 2ll);
  ASSERT_EQ(t.changed.size(), size_t(2));
  ASSERT_EQ(t.changed[1].name, "body");
  ASSERT_EQ(t.changed[1].type, 201);
  std::vector<Row> rows;
  journal.forEachRow(t.id, [&](const Row& r) { rows.push_back(r); });
  ASSERT_EQ(rows.size(), size_t(2));
  ASSERT_TRUE(rows[0].before[1] == std::nullopt);
  ASSERT_EQ(*rows[1].after[1], "b.org!");
}

// A process killed while it journals a table leaves no part of it.
TEST(Journal, aTableCutShortLeavesNothing) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("journal.db");
  long long runId = 0;
  {
    Journal journal(path);
    runId = journal.beginRun({});
  }
  const pid_t child = fork();
  if (child == 0) {
    Journal journal(path);
    const long long t = journal.beginTable(runId, {"T"}, {{"rowid", 0, 0}}, false, {{"v", 200, 9}});
    for (int k = 0; k < 1000; ++k) journal.addRow(t, {{std::to_string(k)}, {"a"}, {"b"}});
    ::kill(::getpid(), SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  Journal journal(path);
  ASSERT_TRUE(journal.run(runId)->tables.empty());
  // And the journal takes the next table as usual.
  const long long t = journal.beginTable(runId, {"T"}, {{"rowid", 0, 0}}, false, {{"v", 200, 9}});
  journal.addRow(t, {{"1"}, {"a"}, {"b"}});
  journal.seal(t);
  ASSERT_EQ(journal.run(runId)->tables.at(0).rows, 1ll);
}

// Another connection to the file (a worker of --jobs opens its own) opens
// while the first is in the middle of a table, without waiting for its
// seal; it sees the table once sealed, and journals its own after it.
TEST(Journal, aSecondConnectionOpensWhileATableIsUnsealed) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("journal.db");
  Journal first(path);
  const long long runId = first.beginRun({});
  const long long t = first.beginTable(runId, {"T"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
  for (int k = 0; k < 100; ++k) first.addRow(t, {{std::to_string(k)}, {"a"}, {"b"}});
  Journal second(path);
  EXPECT_TRUE(second.run(runId)->tables.empty());
  first.seal(t);
  first.mark(t, TableState::Done);
  const auto seen = second.run(runId);
  ASSERT_EQ(seen->tables.size(), 1u);
  EXPECT_EQ(seen->tables[0].rows, 100);
  EXPECT_EQ(seen->tables[0].state, TableState::Done);
  EXPECT_FALSE(second.damage(seen->tables[0]));
  const long long u = second.beginTable(runId, {"U"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
  second.addRow(u, {{"1"}, {"a"}, {"b"}});
  second.seal(u);
  ASSERT_EQ(first.run(runId)->tables.size(), 2u);
  EXPECT_EQ(first.run(runId)->tables[1].rows, 1);
}

// The page size of a journal's file: a new one gets larger pages, an older
// one keeps those it was made with.
long long pageSizeOf(const std::string& path) {
  sqlite3* db = nullptr;
  long long size = 0;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "pragma page_size", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
      size = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return size;
}

// Two front ends started together (a window and a scheduled command line)
// may both be first to a journal file: each must open it, whichever makes
// the schema.
TEST(Journal, connectionsOpeningANewFileAtOnceAllOpenIt) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  constexpr int kOpeners = 4;
  int failed = 0;
  std::string why;
  for (int round = 0; round < 25; ++round) {
    const std::string path = dir.file("at-once-" + std::to_string(round) + ".db");
    std::mutex m;
    std::condition_variable cv;
    int ready = 0;
    std::vector<std::thread> openers;
    for (int k = 0; k < kOpeners; ++k)
      openers.emplace_back([&] {
        {
          std::unique_lock lock(m);
          ++ready;
          cv.notify_all();
          cv.wait(lock, [&] { return ready == kOpeners; });
        }
        try {
          Journal journal(path);
          const long long run = journal.beginRun({});
          EXPECT_TRUE(journal.run(run).has_value());
        } catch (const std::exception& e) {
          std::lock_guard lock(m);
          ++failed;
          why = e.what();
        }
      });
    for (auto& t : openers) t.join();
    Journal after(path);
    EXPECT_EQ(after.runs().size(), size_t(kOpeners)) << path;
  }
  EXPECT_EQ(failed, 0) << "last: " << why;
}

TEST(Journal, aNewFileHasLargePagesAndSealsRowsThatComeBackWhole) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("journal.db");
  long long runId = 0, t = 0;
  const std::string longValue(40000, 'x');
  {
    Journal journal(path);
    runId = journal.beginRun({});
    t = journal.beginTable(runId, {"T"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
    for (int k = 0; k < 300; ++k)
      journal.addRow(t, {{std::to_string(k)}, {longValue + std::to_string(k)}, {"b"}});
    journal.seal(t);
  }
  EXPECT_EQ(pageSizeOf(path), 16384);
  Journal again(path);
  const auto run = again.run(runId);
  ASSERT_EQ(run->tables.size(), 1u);
  EXPECT_FALSE(again.damage());
  EXPECT_FALSE(again.damage(run->tables[0]));
  long long k = 0;
  again.forEachRow(t, [&](const Row& row) {
    EXPECT_EQ(row.before.at(0), longValue + std::to_string(k));
    ++k;
  });
  EXPECT_EQ(k, 300);
}

}  // namespace

namespace {

// A journal made before batches and run options were kept opens as it was,
// its tables whole-table replaces; the batches and options written then come
// back.
TEST(Journal, anOlderJournalOpensAndKeepsBatchesFromThen) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("journal.db");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    // The layout before batches: no batch, bound or options columns.
    ASSERT_EQ(sqlite3_exec(db,
                           "create table runs(id integer primary key, kind text not null, server "
                           "text, database text, user text, find text, replace text, undoes "
                           "integer, started text, finished text, identity text);"
                           "create table tables(id integer primary key, run integer not null, "
                           "schema text, name text, identity text, by_value integer, changed "
                           "text, state text, rows integer, image_columns text, literal_keys "
                           "integer, checksums integer);"
                           "create table rows(tbl integer not null, seq integer not null, "
                           "identity blob, before blob, after blob, image blob, checksum integer, "
                           "primary key(tbl, seq)) without rowid;"
                           "insert into runs(id, kind, find, replace) values(1, 'replace', 'a', "
                           "'b');"
                           "insert into tables values(1, 1, 'main', 'T', 'id\t3\t4\n', 0, "
                           "'v\t200\t9\n', 'done', 0, '', 0, 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  Journal journal(path);
  EXPECT_EQ(pageSizeOf(path), 4096);
  const auto old = journal.run(1);
  ASSERT_TRUE(old.has_value());
  ASSERT_EQ(old->tables.size(), 1u);
  ASSERT_EQ(old->tables[0].batch, 0);
  ASSERT_FALSE(old->tables[0].bound.has_value());
  ASSERT_EQ(old->options, "");

  const long long run = journal.beginRun({});
  journal.setOptions(run, "{\"batch_rows\":100}");
  for (long long batch : {1, 2}) {
    const long long t =
        journal.beginTable(run, {"T", "main"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
    journal.addRow(t, {{std::to_string(batch)}, {"a"}, {"b"}});
    // The last batch took every row left: no bound.
    journal.setBatch(t, batch,
                     batch == 1 ? std::optional<Values>(Values{"7", std::nullopt}) : std::nullopt);
    journal.seal(t);
    journal.mark(t, TableState::Done);
  }
  const auto now = Journal(path).run(run);
  ASSERT_TRUE(now.has_value());
  ASSERT_EQ(now->options, "{\"batch_rows\":100}");
  ASSERT_EQ(now->tables.size(), 2u);
  ASSERT_EQ(now->tables[0].batch, 1);
  ASSERT_EQ(now->tables[0].bound, std::optional<Values>(Values{"7", std::nullopt}));
  ASSERT_EQ(now->tables[1].batch, 2);
  ASSERT_FALSE(now->tables[1].bound.has_value());
  ASSERT_EQ(now->rowsChanged(), 2);
}

}  // namespace

namespace {

// Journals sharing one file, one per worker of a walk: each table's rows are
// gathered apart while its server works and filed at its seal, so another
// journal seals and marks its tables meanwhile, and nobody finds the file
// held for writing. What is filed is what a journal alone keeps: rows
// rewritten and dropped before the seal, batches, images, checksums; a
// table abandoned leaves nothing, not even in the next table.
TEST(Journal, journalsSharingTheFileGatherEachTableApartAndFileItAtItsSeal) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string path = dir.file("journal.db");
  std::mutex writers;
  Journal a(path), b(path);
  a.shareWriting(&writers);
  b.shareWriting(&writers);
  const long long run = a.beginRun({});
  const TableImages images{{{"id", 3, 4}, {"v", 200, 9}}, true};

  const long long ta =
      a.beginTable(run, {"A", "s"}, {{"id", 3, 4}}, false, {{"v", 200, 9}}, images);
  for (int k = 1; k <= 3; ++k)
    a.addRow(ta, {{std::to_string(k)}, {"old"}, {"new"}, {std::to_string(k), "new"}});
  ASSERT_EQ(a.rowsBetween(ta, 1, 3).size(), 3u);
  a.rewriteRow(ta, 2, {{"2"}, {"old"}, {"newer"}, {"2", "newer"}});
  a.dropRow(ta, 3);
  ASSERT_EQ(a.rowsOf(ta), 2);

  // Meanwhile the file is free: another journal files a whole table, and
  // a writer that would not wait at all finds no write under way.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw, "begin immediate; rollback;", nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(raw);
  sqlite3_close(raw);
  const long long tb = b.beginTable(run, {"B"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
  b.addRow(tb, {{"9"}, {"old"}, {"new"}});
  b.setBatch(tb, 1, Values{"9"});
  b.seal(tb);
  b.mark(tb, TableState::Done);
  ASSERT_EQ(Journal(path).run(run)->tables.size(), 1u) << "a table was filed before its seal";

  a.seal(ta);
  a.mark(ta, TableState::Done);
  const long long cut = a.beginTable(run, {"C"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
  a.addRow(cut, {{"5"}, {"old"}, {"new"}});
  a.abandon(cut);
  const long long td = a.beginTable(run, {"D"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
  a.addRow(td, {{"6"}, {"old"}, {"new"}});
  a.seal(td);

  Journal reader(path);
  const auto filed = reader.run(run);
  ASSERT_TRUE(filed.has_value());
  ASSERT_EQ(filed->tables.size(), 3u);
  const TableEntry& fb = filed->tables[0];
  const TableEntry& fa = filed->tables[1];
  const TableEntry& fd = filed->tables[2];
  EXPECT_EQ(fb.table.name, "B");
  EXPECT_EQ(fb.state, TableState::Done);
  EXPECT_EQ(fb.batch, 1);
  EXPECT_EQ(fb.bound, std::optional<Values>(Values{"9"}));
  EXPECT_EQ(fa.table.name, "A");
  EXPECT_EQ(fa.table.schema, "s");
  EXPECT_EQ(fa.state, TableState::Done);
  EXPECT_EQ(fa.rows, 2);
  EXPECT_EQ(fa.batch, 0);
  EXPECT_FALSE(fa.bound.has_value());
  EXPECT_EQ(fa.imageColumns.size(), 2u);
  EXPECT_TRUE(fa.literalKeys);
  EXPECT_EQ(fd.table.name, "D");
  EXPECT_EQ(fd.state, TableState::Journaled);
  EXPECT_EQ(fd.rows, 1);
  for (const TableEntry& t : filed->tables)
    EXPECT_EQ(reader.damage(t), std::nullopt) << t.table.name;
  std::vector<Row> rows;
  reader.forEachRow(fa.id, [&](const Row& r) { rows.push_back(r); });
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].after, (Values{"newer"}));
  EXPECT_EQ(rows[1].image, (Values{"2", "newer"}));
  rows.clear();
  reader.forEachRow(fd.id, [&](const Row& r) { rows.push_back(r); });
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].identity, (Values{"6"}));
  // A filed table is read by its number in the file, as a resume reads it.
  ASSERT_EQ(a.rowsBetween(fa.id, 1, 1).size(), 1u);

  // Alone again, the journal writes straight into the file.
  a.shareWriting(nullptr);
  const long long te = a.beginTable(run, {"E"}, {{"id", 3, 4}}, false, {{"v", 200, 9}});
  EXPECT_GT(te, 0);
  a.addRow(te, {{"7"}, {"old"}, {"new"}});
  a.seal(te);
  EXPECT_EQ(Journal(path).run(run)->tables.size(), 4u);
}

}  // namespace
