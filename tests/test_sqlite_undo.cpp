// Undo on SQLite files as the command line runs it, where SQLite's dynamic
// typing and rowids could name the wrong row: values and keys keep their
// storage class, a renumbered rowid is a conflict, a blob is never turned
// into text. Judged by typed dumps read with the SQLite C library.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/files.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::CliRun;
using testsupport::TempDir;
using Args = std::vector<std::string>;
using Dump = std::vector<std::vector<std::string>>;

// Every row with each value's storage class: 1 and '1' differ here.
Dump typed(const std::string& path, const std::string& table, const std::string& columns) {
  std::string list;
  for (size_t at = 0; at < columns.size();) {
    const size_t comma = columns.find(',', at);
    const std::string c = columns.substr(at, comma - at);
    list += (list.empty() ? "" : ", ") + ("typeof(" + c + ") || ':' || quote(" + c + ")");
    at = comma == std::string::npos ? columns.size() : comma + 1;
  }
  return testdb::query(path, "select _rowid_, " + list + " from " + table + " order by 1");
}

class SqliteUndo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.valid()) << dir_.error();
    db_ = dir_.file("t.db");
    journal_ = dir_.file("journal.db");
  }

  CliRun replace(const std::string& find, const std::string& by) {
    return testsupport::runCli({"replace", "--server", "sqlite", "--database", db_, "--find", find,
                                "--replace", by, "--yes", "--journal", journal_});
  }
  CliRun undo() {
    return testsupport::runCli(
        {"undo", "--server", "sqlite", "--database", db_, "--yes", "--journal", journal_});
  }

  TempDir dir_;
  std::string db_, journal_;
};

// Keys of every storage class name exactly their own row: a REAL key is
// not found by its rounded text, an integer key not by the text of its
// digits, and a user column called rowid is not taken for the rowid.
TEST_F(SqliteUndo, keysNameTheirOwnRowWhateverTheirStorageClass) {
  testdb::exec(db_,
               "create table r(k real primary key, v text);"
               "insert into r values(0.1 + 0.2, 'a.com'), (0.3, 'b.org');"
               "create table u(k primary key, v text);"
               "insert into u values(1, 'a.com'), ('1', 'b.org');"
               "create table w(rowid integer, v text);"
               "insert into w values(7, 'a.com'), (7, 'b.org');");
  const Dump r = typed(db_, "r", "k,v"), u = typed(db_, "u", "k,v"), w = typed(db_, "w", "rowid,v");

  const CliRun replaced = replace("a.com", "b.org");
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  ASSERT_NE(typed(db_, "r", "k,v"), r);
  const CliRun undone = undo();
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(typed(db_, "r", "k,v"), r);
  EXPECT_EQ(typed(db_, "u", "k,v"), u);
  EXPECT_EQ(typed(db_, "w", "rowid,v"), w);
}

// A blob in a text column is bytes, not text: the replace leaves it as it
// is, whether it holds the search text or sits beside a column that does,
// and the undo gives every value back with its class.
TEST_F(SqliteUndo, blobsInTextColumnsAreNeverTouched) {
  testdb::exec(db_,
               "create table t(id integer primary key, v text, w text, x);"
               "insert into t values(1, 'a.com', X'00610062', 12);"
               "insert into t values(2, X'612E636F6D', 'none', 3.5);"
               "insert into t values(3, 'also a.com', 'a.com' || char(0) || 'tail', X'');");
  const Dump before = typed(db_, "t", "v,w,x");

  const CliRun replaced = replace("a.com", "b.org");
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  const Dump after = typed(db_, "t", "v,w,x");
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0],
            (std::vector<std::string>{"1", "text:'b.org'", "blob:X'00610062'", "integer:12"}));
  EXPECT_EQ(after[1], before[1]);  // the blob holding the text's bytes
  EXPECT_EQ(after[2][1], "text:'also b.org'");
  EXPECT_EQ(after[2][3], "blob:X''");

  const CliRun undone = undo();
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(typed(db_, "t", "v,w,x"), before);
}

// VACUUM renumbers the rowids of a table without an INTEGER PRIMARY KEY:
// the rowid the run journaled now names another row, which the undo must
// not write.
TEST_F(SqliteUndo, aRowidRenumberedByShrinkIsAConflictNotAWrite) {
  testdb::exec(db_,
               "create table t(v text, w text);"
               "insert into t values('gone', 'Z'), ('foo', 'B'), ('bar', 'C');");
  const CliRun replaced = replace("foo", "bar");
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  testdb::exec(db_, "delete from t where v = 'gone';");
  const CliRun shrunk =
      testsupport::runCli({"shrink", "--server", "sqlite", "--database", db_, "--yes"});
  ASSERT_EQ(shrunk.exitCode, 0) << shrunk.describe();
  const Dump renumbered = typed(db_, "t", "v,w");
  ASSERT_EQ(renumbered, (Dump{{"1", "text:'bar'", "text:'B'"}, {"2", "text:'bar'", "text:'C'"}}));

  const CliRun undone = undo();
  EXPECT_NE(undone.exitCode, 0) << undone.describe();
  EXPECT_NE(undone.out.find("conflict"), std::string::npos) << undone.describe();
  EXPECT_EQ(typed(db_, "t", "v,w"), renumbered);
}

// A row edited since, even in a column the run did not change, is a
// conflict: only the whole row as the run left it is given back.
TEST_F(SqliteUndo, aRowChangedElsewhereSinceIsAConflict) {
  testdb::exec(db_,
               "create table t(id integer primary key, v text, note text);"
               "insert into t values(1, 'a.com', 'n1'), (2, 'a.com', 'n2');");
  const Dump before = typed(db_, "t", "v,note");
  ASSERT_EQ(replace("a.com", "b.org").exitCode, 0);
  testdb::exec(db_, "update t set note = 'edited' where id = 2;");
  const CliRun undone = undo();
  EXPECT_NE(undone.exitCode, 0) << undone.describe();
  const Dump now = typed(db_, "t", "v,note");
  EXPECT_EQ(now[0], before[0]);
  EXPECT_EQ(now[1], (std::vector<std::string>{"2", "text:'b.org'", "text:'edited'"}));
}

}  // namespace
