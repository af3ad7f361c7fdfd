// SQLite files as real schemas make them: columns of every declared type,
// values of every storage class in any column, foreign keys, a file that
// cannot be written. The command line is run as a process on real files,
// judged by counts with instr() and dumps with typeof(), read with the
// SQLite C library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/files.h"
#include "support/process.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::CliRun;
using testsupport::TempDir;
using Args = std::vector<std::string>;
using Rows = std::vector<std::vector<std::string>>;

// Every row of every table, each value with its storage class.
Rows typedDump(const std::string& path) {
  Rows out;
  for (const auto& table :
       testdb::query(path, "select name from sqlite_master where type = 'table' order by name")) {
    std::string list;
    for (const auto& column :
         testdb::query(path, "select name from pragma_table_info('" + table[0] + "') order by cid"))
      list += " || ' ' || typeof(" + column[0] + ") || ':' || quote(" + column[0] + ")";
    for (auto& row : testdb::query(
             path, "select '" + table[0] + "'" + list + " from " + table[0] + " order by rowid"))
      out.push_back(row);
  }
  return out;
}

// Rows of the table where one of the columns holds the text as text.
long long textHolding(const std::string& path, const std::string& table,
                      const std::vector<std::string>& columns, const std::string& text) {
  std::string where;
  for (const auto& c : columns)
    where += (where.empty() ? "" : " or ") +
             ("(typeof(" + c + ") = 'text' and instr(" + c + ", '" + text + "') > 0)");
  return std::stoll(testdb::query(path, "select count(*) from " + table + " where " + where)[0][0]);
}

// The JSON line of a table in a run's output.
nlohmann::json tableLine(const CliRun& run, const std::string& table) {
  for (const auto& line : run.lines())
    if (line.is_object() && line.value("type", "") == "table" && line.value("table", "") == table)
      return line;
  return {};
}

std::set<std::string> columnsOf(const nlohmann::json& line) {
  std::set<std::string> out;
  if (line.contains("columns"))
    for (const auto& c : line["columns"]) out.insert(c.get<std::string>());
  return out;
}

class SqliteSchemas : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.valid()) << dir_.error();
    db_ = dir_.file("t.db");
    journal_ = dir_.file("journal.db");
  }

  CliRun find(const std::string& text, const Args& more = {}) {
    Args args{"find", "--server", "sqlite", "--database", db_, "--find", text, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    return testsupport::runCli(args);
  }
  CliRun replace(const std::string& text, const std::string& by, const Args& more = {}) {
    Args args{"replace",   "--server", "sqlite", "--database", db_,      "--find", text,
              "--replace", by,         "--yes",  "--journal",  journal_, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    return testsupport::runCli(args);
  }
  CliRun undo() {
    return testsupport::runCli(
        {"undo", "--server", "sqlite", "--database", db_, "--yes", "--journal", journal_});
  }

  TempDir dir_;
  std::string db_, journal_;
};

// The columns searched are those whose declared type gives text affinity
// (SQLite's own rules: "charint" is an integer column) or that have no
// type at all, whatever the first row holds and whatever length the type
// declares; only text values are counted, never a number or a blob that
// LIKE would read as text.
TEST_F(SqliteSchemas, columnsOfTextAffinityOrNoTypeAreSearchedAndTextValuesCounted) {
  testdb::exec(db_,
               "create table kinds(id integer primary key, c_text text, c_varchar3 varchar(3), "
               "c_nchar nchar(2), c_clob clob, c_none, c_blobtext blobtext, c_string string, "
               "c_json json, c_charint charint, c_int int, c_real real, c_blob blob, c_date "
               "date);"
               "insert into kinds values(1, 'see a.com', 'see a.com', 'see a.com', 'see a.com', "
               "12, 'see a.com', 'see a.com', 'see a.com', 'see a.com', 'see a.com', "
               "'see a.com', 'see a.com', 'see a.com');"
               "insert into kinds(id, c_none) values(2, 'a.com here');"
               "insert into kinds(id, c_none, c_text) values(3, 2.5, X'612E636F6D');"
               "insert into kinds(id, c_none, c_varchar3) values(4, X'612E636F6D', 'a.com!');"
               "insert into kinds(id, c_string, c_json, c_int) values(5, 'a.com', 'a.com', "
               "'a.com');"
               "insert into kinds(id, c_charint) values(6, 'a.com');");
  const std::vector<std::string> searched{"c_text", "c_varchar3", "c_nchar",
                                          "c_clob", "c_none",     "c_blobtext"};
  const long long expected = textHolding(db_, "kinds", searched, "a.com");
  ASSERT_EQ(expected, 3);

  const CliRun found = find("a.com");
  ASSERT_EQ(found.exitCode, 0) << found.describe();
  const nlohmann::json line = tableLine(found, "kinds");
  ASSERT_TRUE(line.is_object()) << found.describe();
  EXPECT_EQ(columnsOf(line), std::set<std::string>(searched.begin(), searched.end()));
  EXPECT_EQ(line.value("records", -1LL), expected) << line.dump();

  // A number is found by no text: 12 and 2.5 are numbers, not text.
  const CliRun numbers = find("2.5");
  ASSERT_EQ(numbers.exitCode, 0) << numbers.describe();
  EXPECT_EQ(tableLine(numbers, "kinds").value("records", -1LL), 0) << numbers.describe();
}

// A replace writes text where text holds the search text, at any length
// the file holds; every other value of a matching row keeps its bytes and
// its storage class (a REAL, an integer, a blob), and the undo gives back
// the file as it was, class for class. A table of text alone is updated by
// the same statement as ever.
TEST_F(SqliteSchemas, replaceChangesOnlyTextAndUndoGivesBackEveryStorageClass) {
  testdb::exec(db_,
               "create table t(id integer primary key, a text, x, v varchar(3));"
               "insert into t values(1, 'a.com', 12, 'a.com+');"
               "insert into t values(2, 'none', 'x a.com', 'abc');"
               "insert into t values(3, 'a.com', 2.5, X'00');"
               "insert into t values(4, X'612E636F6D', X'612E636F6D', 'a.com');"
               "insert into t values(5, 'a.com', null, 'zz');"
               "create table plain(v text);"
               "insert into plain values('a.com'), ('b');");
  const Rows before = typedDump(db_);
  const long long expected = textHolding(db_, "t", {"a", "x", "v"}, "a.com");
  ASSERT_EQ(expected, 5);

  const CliRun replaced = replace("a.com", "b.org");
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  EXPECT_EQ(tableLine(replaced, "t").value("records", -1LL), expected) << replaced.describe();
  EXPECT_EQ(tableLine(replaced, "plain").value("update_statement", ""),
            "Update [plain] set [v]=Replace(cast([v] as varchar(8000)),'a.com','b.org') where "
            "cast([v] as varchar(8000)) like '%a.com%'");
  const Rows after = typedDump(db_);
  const Rows wanted{
      {"plain text:'b.org'"},
      {"plain text:'b'"},
      {"t integer:1 text:'b.org' integer:12 text:'b.org+'"},
      {"t integer:2 text:'none' text:'x b.org' text:'abc'"},
      {"t integer:3 text:'b.org' real:2.5 blob:X'00'"},
      {"t integer:4 blob:X'612E636F6D' blob:X'612E636F6D' text:'b.org'"},
      {"t integer:5 text:'b.org' null:NULL text:'zz'"},
  };
  EXPECT_EQ(after, wanted);

  const CliRun undone = undo();
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(typedDump(db_), before);
}

// The connection enforces the foreign keys the file declares: a key a
// replace changes cascades into the rows that reference it where the schema
// says ON UPDATE CASCADE, and the undo takes it back the same way; where
// the schema forbids the change, at once or at the commit, the table fails
// with the reason and nothing of it stays, though a table after it in the
// run commits. The undo gives back the last table changed first, so that
// rows a key cascaded into are found as the run left them.
TEST_F(SqliteSchemas, foreignKeysTheFileDeclaresCascadeOrFailTheTableWhole) {
  testdb::exec(db_,
               "create table parent(k text primary key, note text);"
               "create table child(id integer primary key, pk text references parent(k) "
               "on update cascade, note text);"
               "insert into parent values('a.com', 'p'), ('x', 'a.com');"
               "insert into child values(1, 'a.com', 'a.com'), (2, 'x', 'c');"
               "create table p2(k text primary key);"
               "create table c2(id integer primary key, pk text references p2(k));"
               "insert into p2 values('a.com'); insert into c2 values(1, 'a.com');"
               "create table p3(k text primary key);"
               "create table c3(id integer primary key, pk text references p3(k) "
               "deferrable initially deferred);"
               "insert into p3 values('a.com'); insert into c3 values(1, 'a.com');"
               "create table notes(v text); insert into notes values('a.com');");
  const Rows before = typedDump(db_);

  const CliRun cascaded = replace("a.com", "b.org", {"--tables", "parent"});
  ASSERT_EQ(cascaded.exitCode, 0) << cascaded.describe();
  EXPECT_EQ(testdb::query(db_, "select k, note from parent order by rowid"),
            (Rows{{"b.org", "p"}, {"x", "b.org"}}));
  EXPECT_EQ(testdb::query(db_, "select id, pk, note from child order by id"),
            (Rows{{"1", "b.org", "a.com"}, {"2", "x", "c"}}));
  EXPECT_TRUE(testdb::query(db_, "pragma foreign_key_check").empty());
  const CliRun undone = undo();
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(typedDump(db_), before);

  // Refused at once (p2) and at the commit (p3): both fail whole; the
  // table after them is replaced.
  const CliRun refused = replace("a.com", "b.org", {"--tables", "p2,p3,notes"});
  EXPECT_NE(refused.exitCode, 0) << refused.describe();
  for (const char* table : {"p2", "p3"}) {
    const nlohmann::json line = tableLine(refused, table);
    EXPECT_EQ(line.value("status", ""), "failed") << refused.describe();
    EXPECT_NE(line.dump().find("FOREIGN KEY constraint failed"), std::string::npos) << line.dump();
  }
  EXPECT_EQ(tableLine(refused, "notes").value("status", ""), "replaced") << refused.describe();
  EXPECT_EQ(testdb::query(db_, "select k from p2"), (Rows{{"a.com"}}));
  EXPECT_EQ(testdb::query(db_, "select k from p3"), (Rows{{"a.com"}}));
  EXPECT_EQ(testdb::query(db_, "select v from notes"), (Rows{{"b.org"}}));
  EXPECT_TRUE(testdb::query(db_, "pragma foreign_key_check").empty());
  ASSERT_EQ(undo().exitCode, 0);
  EXPECT_EQ(typedDump(db_), before);

  // The child's rows, cascaded into by the parent's replace, then replaced
  // in a column of their own: the undo gives back both.
  const CliRun both = replace("a.com", "b.org", {"--tables", "parent,child"});
  ASSERT_EQ(both.exitCode, 0) << both.describe();
  EXPECT_EQ(testdb::query(db_, "select id, pk, note from child order by id"),
            (Rows{{"1", "b.org", "b.org"}, {"2", "x", "c"}}));
  const CliRun bothUndone = undo();
  EXPECT_EQ(bothUndone.exitCode, 0) << bothUndone.describe();
  EXPECT_EQ(typedDump(db_), before);
}

// The scripts for the sqlite3 shell enforce the foreign keys as the
// connection does: the preview's script cascades a key into the rows that
// reference it, and the undo's script, replayed after a replace, takes it
// back; a file without foreign keys gets the scripts it always got.
TEST_F(SqliteSchemas, scriptsForTheShellCascadeAsTheConnectionDoes) {
  testdb::exec(db_,
               "create table parent(k text primary key);"
               "create table child(id integer primary key, pk text references parent(k) "
               "on update cascade);"
               "insert into parent values('a.com'); insert into child values(1, 'a.com');");
  const Rows before = typedDump(db_);
  const auto shell = [&](const std::string& script) {
    testsupport::ProcessOptions options;
    options.input = testsupport::readFile(script);
    const auto ran = testsupport::runProcess({"/usr/bin/sqlite3", "-bail", db_}, options);
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
  };
  const Args on{"--server", "sqlite", "--database", db_, "--journal", journal_};

  const std::string previewScript = dir_.file("preview.sql");
  Args preview{"preview", "--find",      "a.com",    "--replace", "b.org",
               "--sql",   previewScript, "--tables", "parent"};
  preview.insert(preview.end(), on.begin(), on.end());
  const CliRun previewed = testsupport::runCli(preview);
  ASSERT_EQ(previewed.exitCode, 0) << previewed.describe();
  shell(previewScript);
  EXPECT_EQ(testdb::query(db_, "select k from parent"), (Rows{{"b.org"}}));
  EXPECT_EQ(testdb::query(db_, "select pk from child"), (Rows{{"b.org"}}));
  testdb::exec(db_, "pragma foreign_keys = on; update parent set k = 'a.com';");
  ASSERT_EQ(typedDump(db_), before);

  const CliRun replaced = replace("a.com", "b.org", {"--tables", "parent"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  const std::string undoScript = dir_.file("undo.sql");
  Args undo{"undo", "--sql", undoScript};
  undo.insert(undo.end(), on.begin(), on.end());
  const CliRun scripted = testsupport::runCli(undo);
  ASSERT_EQ(scripted.exitCode, 0) << scripted.describe();
  shell(undoScript);
  EXPECT_EQ(typedDump(db_), before);

  // Without foreign keys the scripts begin as they always did.
  const std::string plainDb = dir_.file("plain.db");
  testdb::exec(plainDb, "create table t(v text); insert into t values('a.com');");
  const std::string plainScript = dir_.file("plain.sql");
  const CliRun plain =
      testsupport::runCli({"preview", "--server", "sqlite", "--database", plainDb, "--find",
                           "a.com", "--replace", "b.org", "--sql", plainScript});
  ASSERT_EQ(plain.exitCode, 0) << plain.describe();
  EXPECT_EQ(testsupport::readFile(plainScript).find("foreign_keys"), std::string::npos);
}

// Clearing the log and compacting a file that cannot be written: the
// checkpoints go through, the vacuum does not, and the command says so
// with the reason and fails. Run as an ordinary user where the tests run
// as root, who writes whatever the permission bits say.
TEST_F(SqliteSchemas, shrinkOnAReadOnlyFileFailsWithTheReason) {
  testdb::exec(db_,
               "create table big(v text);"
               "with recursive n(x) as (select 1 union all select x+1 from n where x < 2000) "
               "insert into big select hex(randomblob(100)) from n;"
               "delete from big where rowid > 10;");
  const std::string bytes = testsupport::readFile(db_);
  ASSERT_EQ(::chmod(db_.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  Args argv;
  if (::geteuid() == 0)
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.push_back(testsupport::cliProgram());
  for (const char* a : {"shrink", "--server", "sqlite", "--database", db_.c_str(), "--yes"})
    argv.push_back(a);
  const testsupport::ProcessResult shrunk = testsupport::runProcess(argv);
  ASSERT_TRUE(shrunk.started && shrunk.exitedNormally) << shrunk.err;
  EXPECT_NE(shrunk.exitCode, 0) << shrunk.out << shrunk.err;
  EXPECT_NE(shrunk.out.find("failed  vacuum\n        HY000 [SQLite]attempt to write a readonly "
                            "database"),
            std::string::npos)
      << shrunk.out;
  EXPECT_EQ(testsupport::readFile(db_), bytes);
}

}  // namespace
