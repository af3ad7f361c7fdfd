// The row rewriter through the command line, run as a process on a SQLite
// file, the SQL Server stand-in, PostgreSQL and MariaDB: several literal
// pairs applied in order by find, preview, replace and undo, judged by dumps
// read with each engine's own client; and the engine's rewriter path with a
// rewriter that leaves values alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "transform/make_rewriter.h"

namespace {

using testsupport::Engine;
using testsupport::longText;
using testsupport::Rows;
using testsupport::shortText;
using testsupport::Value;
std::string q(Engine engine, const std::string& name) {
  return testsupport::clientName(engine, name);
}
std::string literal(Engine engine, const Value& value) {
  return testsupport::clientLiteral(engine, value);
}

// The pairs applied in order, each everywhere in what the ones before left:
// computed here, apart from the program.
std::string applyPairs(std::string s,
                       const std::vector<std::pair<std::string, std::string>>& pairs) {
  for (const auto& [find, by] : pairs) {
    std::string out;
    size_t from = 0;
    for (size_t at = s.find(find); at != std::string::npos; at = s.find(find, from)) {
      out += s.substr(from, at - from) + by;
      from = at + find.size();
    }
    s = out + s.substr(from);
  }
  return s;
}

class Rewriter : public testsupport::EngineFixture {
 protected:
  // Runs trellick-cli on the test's database with its journal.
  testsupport::CliRun cli(std::vector<std::string> args) {
    const auto connection = cliConnection();
    args.insert(args.end(), connection.begin(), connection.end());
    args.insert(args.end(), {"--journal", dir_.file("journal.db")});
    return testsupport::runCli(args, {}, cliEnvironment());
  }

  std::string insert(const std::string& table, const std::vector<Value>& values) {
    std::string sql = "insert into " + q(engine(), table) + " values(";
    for (size_t k = 0; k < values.size(); ++k)
      sql += (k ? ", " : "") + literal(engine(), values[k]);
    return sql + ");";
  }

  // The rows as the dump shows values: the same query over a table made
  // from the expected values, so that each engine's dump form is its own.
  Rows expectedDump(const std::vector<std::vector<Value>>& rows) {
    setup("create table expected(id int primary key, note " + longText(engine()) + ", title " +
          shortText(engine(), 60) + ");");
    std::string sql;
    for (const auto& r : rows) sql += insert("expected", r);
    setup(sql);
    Rows out = dump(q(engine(), "expected"), {"id", "note", "title"}, "id");
    setup("drop table " + q(engine(), "expected") + ";");
    return out;
  }

  Rows notes() { return dump(q(engine(), "t"), {"id", "note", "title"}, "id"); }

  testsupport::TempDir dir_;
};

const std::vector<std::pair<std::string, std::string>> kPairs{
    {"http://old.example.com", "https://old.example.com"},
    {"a", "b"},
    {"b", "c"},
    {"old.example.com", "new.example.org"}};

// The rows the tests start from: quotes, Chinese and an emoji beside the
// texts, a NULL, and rows no pair touches.
const std::vector<std::vector<Value>> kRows{
    {"1", "a-b-c o'k 汉😀 see http://old.example.com/x", "abba"},
    {"2", "nothing here", "none"},
    {"3", std::nullopt, "b only"},
    {"4", "old.example.com and http://old.example.com", std::nullopt},
    {"5", "ccc", "ddd"}};

std::vector<std::string> pairArgs() {
  std::vector<std::string> args;
  for (const auto& [find, by] : kPairs) args.insert(args.end(), {"--find", find, "--replace", by});
  return args;
}

std::vector<std::vector<Value>> rewritten(std::vector<std::vector<Value>> rows) {
  for (auto& r : rows)
    for (size_t k = 1; k < r.size(); ++k)
      if (r[k]) r[k] = applyPairs(*r[k], kPairs);
  return rows;
}

// Several pairs where order matters, given as options and as a file: one
// run writes what the pairs applied in order give, one undo gives every
// byte back; find and preview count and show the same rows first.
TEST_P(Rewriter, severalPairsInOrderAreOneRunAndOneUndo) {
  const Engine e = engine();
  std::string sql = "create table t(id int primary key, note " + longText(e) + ", title " +
                    shortText(e, 60) + ");";
  for (const auto& r : kRows) sql += insert("t", r);
  setup(sql);
  const Rows before = notes();
  const Rows expected = expectedDump(rewritten(kRows));
  ASSERT_NE(expected, before);

  // find counts the rows whose values the pairs change: 1, 3 and 4.
  std::vector<std::string> findArgs{"find", "--json", "--tables", "t"};
  for (const auto& [find, by] : kPairs) findArgs.insert(findArgs.end(), {"--find", find});
  const auto found = cli(findArgs);
  ASSERT_EQ(found.exitCode, 0) << found.describe();
  ASSERT_GE(found.lines().size(), 2u) << found.out;
  EXPECT_EQ(found.lines()[0]["records"], 3) << found.out;

  // preview: before and after of each changed value, nothing written.
  std::vector<std::string> previewArgs{"preview", "--json", "--tables", "t"};
  for (const auto& a : pairArgs()) previewArgs.push_back(a);
  const auto previewed = cli(previewArgs);
  ASSERT_EQ(previewed.exitCode, 0) << previewed.describe();
  const auto p = previewed.lines().at(0);
  EXPECT_EQ(p["total"], 3) << p.dump();
  ASSERT_EQ(p["rows"].size(), 3u) << p.dump();
  EXPECT_EQ(p["rows"][0]["key"][0], "1");
  ASSERT_EQ(p["rows"][0]["changes"].size(), 2u) << p.dump();
  EXPECT_EQ(p["rows"][0]["changes"][0]["column"], "note");
  EXPECT_EQ(p["rows"][0]["changes"][0]["before"], *kRows[0][1]);
  EXPECT_EQ(p["rows"][0]["changes"][0]["after"], applyPairs(*kRows[0][1], kPairs));
  EXPECT_EQ(p["rows"][0]["changes"][1]["after"], "cccc");
  EXPECT_EQ(p["rows"][0]["changes"][1]["forms"], nlohmann::json::array({"plain"}));
  EXPECT_EQ(notes(), before) << "a preview writes nothing";

  // The same pairs, the last two from a file: one run.
  const std::string file = dir_.file("pairs.tsv");
  ASSERT_TRUE(testsupport::writeFile(file, kPairs[2].first + "\t" + kPairs[2].second + "\r\n\n" +
                                               kPairs[3].first + "\t" + kPairs[3].second + "\n"));
  const auto replaced = cli({"replace", "--yes", "--json", "--tables", "t", "--find",
                             kPairs[0].first, "--replace", kPairs[0].second, "--find",
                             kPairs[1].first, "--replace", kPairs[1].second, "--pairs", file});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  EXPECT_EQ(replaced.lines().at(0)["status"], "replaced") << replaced.out;
  EXPECT_EQ(notes(), expected);

  const auto runs = cli({"runs", "--json"});
  ASSERT_EQ(runs.exitCode, 0) << runs.describe();
  ASSERT_EQ(runs.lines().size(), 1u) << runs.out << " one run";

  const auto undone = cli({"undo", "--yes", "--json"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(undone.lines().at(0)["restored"], 3) << undone.out;
  EXPECT_EQ(notes(), before);
}

// A row edited by hand between the replace and the undo is a conflict: it
// keeps the edit; the other rows are given back.
TEST_P(Rewriter, aRowEditedSinceTheRewriteIsAConflictAndKeepsItsEdit) {
  const Engine e = engine();
  std::string sql = "create table t(id int primary key, note " + longText(e) + ", title " +
                    shortText(e, 60) + ");";
  for (const auto& r : kRows) sql += insert("t", r);
  setup(sql);
  const Rows before = notes();
  std::vector<std::string> args{"replace", "--yes", "--json", "--tables", "t"};
  for (const auto& a : pairArgs()) args.push_back(a);
  const auto replaced = cli(args);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  // Only the title of row 1: its note stays as the run wrote it.
  setup("update " + q(e, "t") + " set title = 'edited by hand' where id = 1;");
  const Rows edited = notes();

  const auto undone = cli({"undo", "--yes", "--json"});
  EXPECT_EQ(undone.exitCode, 1) << undone.describe();
  const auto t = undone.lines().at(0);
  EXPECT_EQ(t["restored"], 2) << t.dump();
  ASSERT_EQ(t["conflicts"].size(), 1u) << t.dump();
  EXPECT_EQ(t["conflicts"][0][0], "1");
  const Rows now = notes();
  EXPECT_EQ(now.at(0), edited.at(0)) << "the edited row is left alone";
  for (size_t k = 1; k < before.size(); ++k) EXPECT_EQ(now[k], before[k]) << "row " << k + 1;
}

// A table without a key is not rewritten: its row says why, the run does
// not end well, and it keeps every byte; the keyed table beside it is
// rewritten. On SQLite its rowid names its rows: rewritten, and undone.
TEST_P(Rewriter, aTableWithoutAKeyIsToldAndUntouched) {
  const Engine e = engine();
  setup("create table k(note " + longText(e) + ");" + insert("k", {"a and b"}) +
        "create table t(id int primary key, note " + longText(e) + ", title " + shortText(e, 60) +
        ");" + insert("t", kRows[0]));
  const Rows keyless = dump(q(e, "k"), {"note"}, "note");
  const Rows keyed = notes();
  std::vector<std::string> args{"replace", "--yes", "--json"};
  for (const auto& a : pairArgs()) args.push_back(a);
  const auto replaced = cli(args);
  EXPECT_EQ(notes(), expectedDump(rewritten({kRows[0]})));
  if (e == Engine::SQLite) {
    ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
    EXPECT_NE(dump(q(e, "k"), {"note"}, "note"), keyless);
    EXPECT_EQ(dump(q(e, "k"), {"note"}, "note"), (Rows{{Value(applyPairs("a and b", kPairs))}}));
    const auto undone = cli({"undo", "--yes"});
    ASSERT_EQ(undone.exitCode, 0) << undone.describe();
    EXPECT_EQ(dump(q(e, "k"), {"note"}, "note"), keyless);
    EXPECT_EQ(notes(), keyed);
    return;
  }
  EXPECT_EQ(replaced.exitCode, 1) << replaced.describe();
  bool told = false;
  for (const auto& line : replaced.lines())
    if (line["type"] == "table" && line["table"] == "k") {
      told = true;
      EXPECT_EQ(line["status"], "failed") << line.dump();
      EXPECT_NE(line["failure"]["message"].get<std::string>().find("key"), std::string::npos)
          << line.dump();
    }
  EXPECT_TRUE(told) << replaced.out;
  EXPECT_EQ(dump(q(e, "k"), {"note"}, "note"), keyless);
}

}  // namespace

namespace {

// More rows than a page, in two tables: one whose matching rows are spread
// over the pages, one whose text key the pairs lengthen, so each row moves
// past the page being read (a row read again there must not be rewritten
// twice). Counted, written and undone whole.
TEST_P(Rewriter, rowsOverManyPagesAreEachRewrittenOnce) {
  const Engine e = engine();
  const int n = 2500;
  std::string spread = "create table t(id int primary key, note " + longText(e) + ", title " +
                       shortText(e, 60) + ");insert into " + q(e, "t") + " values";
  std::string moving = "create table m(code " + shortText(e, 40) + " primary key, note " +
                       shortText(e, 40) + ");insert into " + q(e, "m") + " values";
  std::vector<std::vector<Value>> spreadRows;
  for (int k = 1; k <= n; ++k) {
    const std::string id = std::to_string(k);
    const Value note = k % 7 == 0 ? Value("row " + id + " a") : Value("row " + id);
    spreadRows.push_back({id, note, std::nullopt});
    spread += std::string(k > 1 ? "," : "") + "(" + id + ", '" + *note + "', null)";
    char code[16];
    std::snprintf(code, sizeof code, "a%04d", k);
    moving += std::string(k > 1 ? "," : "") + "('" + code + "', 'x')";
  }
  setup(spread + ";" + moving + ";");
  const Rows before = notes();
  const Rows movingBefore = dump(q(e, "m"), {"code", "note"}, "code");
  const std::vector<std::pair<std::string, std::string>> pairs{{"a", "aa"}, {"zzz", "y"}};

  const auto found = cli({"find", "--json", "--find", "a", "--find", "zzz"});
  ASSERT_EQ(found.exitCode, 0) << found.describe();
  long long tRecords = -1, mRecords = -1;
  for (const auto& line : found.lines()) {
    // The summary line names no table.
    if (line.value("table", "") == "t") tRecords = line["records"];
    if (line.value("table", "") == "m") mRecords = line["records"];
  }
  EXPECT_EQ(tRecords, n / 7);
  EXPECT_EQ(mRecords, n);

  const auto replaced = cli({"replace", "--yes", "--json", "--find", "a", "--replace", "aa",
                             "--find", "zzz", "--replace", "y"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  std::vector<std::vector<Value>> expectedRows = spreadRows;
  for (auto& r : expectedRows) r[1] = applyPairs(*r[1], pairs);
  EXPECT_EQ(notes(), expectedDump(expectedRows));
  // Each key lengthened once: "aa0001" .. "aa2500".
  const Rows moved = dump(q(e, "m"), {"code"}, "code");
  ASSERT_EQ(moved.size(), static_cast<size_t>(n));
  const Rows firstCode = dump(q(e, "m") + " where code = 'aa0001'", {"count(*)"}, "1");
  const Rows twice = dump(q(e, "m") + " where code like 'aaa%'", {"count(*)"}, "1");
  EXPECT_EQ(firstCode, dump(q(e, "t") + " where id = 1", {"count(*)"}, "1"));
  EXPECT_EQ(twice, dump(q(e, "t") + " where id = 0", {"count(*)"}, "1"));

  const auto undone = cli({"undo", "--yes", "--json"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(notes(), before);
  EXPECT_EQ(dump(q(e, "m"), {"code", "note"}, "code"), movingBefore);
}

}  // namespace

namespace {

// --columns and --skip-columns choose the searched columns as table.column
// patterns, on the one update's path and on the rewriter's: the columns
// left out keep every byte; find counts only what the chosen ones hold.
TEST_P(Rewriter, chosenColumnsAloneAreSearchedOnBothPaths) {
  const Engine e = engine();
  std::string sql = "create table t(id int primary key, note " + longText(e) + ", title " +
                    shortText(e, 60) + ");";
  for (const auto& r : kRows) sql += insert("t", r);
  setup(sql);
  std::vector<std::vector<Value>> rows = kRows;

  // One text, the one update: the title left out.
  const auto counted = cli({"find", "--json", "--find", "b", "--skip-columns", "t.title"});
  ASSERT_EQ(counted.exitCode, 0) << counted.describe();
  EXPECT_EQ(counted.lines().at(0)["records"], 1) << counted.out;
  EXPECT_EQ(counted.lines().at(0)["columns"], nlohmann::json::array({"note"})) << counted.out;
  const auto plain = cli(
      {"replace", "--yes", "--json", "--find", "b", "--replace", "B", "--skip-columns", "t.title"});
  ASSERT_EQ(plain.exitCode, 0) << plain.describe();
  for (auto& r : rows)
    if (r[1]) r[1] = applyPairs(*r[1], {{"b", "B"}});
  EXPECT_EQ(notes(), expectedDump(rows));

  // Several pairs, the rewriter: the title alone.
  const auto pairs = cli({"replace", "--yes", "--json", "--find", "a", "--replace", "b", "--find",
                          "b", "--replace", "c", "--columns", "*.title"});
  ASSERT_EQ(pairs.exitCode, 0) << pairs.describe();
  for (auto& r : rows)
    if (r[2]) r[2] = applyPairs(*r[2], {{"a", "b"}, {"b", "c"}});
  EXPECT_EQ(notes(), expectedDump(rows));

  // The preview of the same choice shows the chosen column only.
  const auto previewed = cli({"preview", "--json", "--find", "c", "--replace", "x", "--find", "o",
                              "--replace", "y", "--columns", "t.note"});
  ASSERT_EQ(previewed.exitCode, 0) << previewed.describe();
  const auto p = previewed.lines().at(0);
  ASSERT_FALSE(p["rows"].empty()) << p.dump();
  for (const auto& row : p["rows"])
    for (const auto& c : row["changes"]) EXPECT_EQ(c["column"], "note") << p.dump();
}

}  // namespace

namespace {

// A rewriter that leaves values alone the way a structured one does: a
// value starting "s:" it cannot parse is told and never rewritten; elsewhere
// "x" becomes "y".
class LeavesBroken : public trellick::transform::Rewriter {
 public:
  std::optional<trellick::transform::Rewritten> rewrite(
      std::string_view value, trellick::transform::Untouched* untouched) const override {
    if (value.substr(0, 2) == "s:") {
      if (untouched) untouched->reason = "could not be parsed as serialized data";
      return std::nullopt;
    }
    if (value.find('x') == std::string_view::npos) return std::nullopt;
    return trellick::transform::Rewritten{
        applyPairs(std::string(value), {{"x", "y"}}), 1, {"plain"}};
  }
  std::vector<std::string> literalHints() const override { return {"x"}; }
};

// The engine's rewriter path with a rewriter of another kind than pairs:
// values it leaves alone are counted by reason, in count and replace, and
// stay as they were; the rest is written, journaled and undone.
TEST_P(Rewriter, valuesTheRewriterLeavesAloneAreToldAndKept) {
  using namespace trellick;
  const Engine e = engine();
  setup("create table t(id int primary key, note " + longText(e) + ", title " + shortText(e, 60) +
        ");" + insert("t", {"1", "s:5:\"x", "x x"}) + insert("t", {"2", "box", std::nullopt}) +
        insert("t", {"3", "none", "s:x"}));
  const Rows before = notes();
  engine::Options options;
  options.rewriter = std::make_shared<LeavesBroken>();
  engine::Observer quiet;
  const auto counted = engine::runTable(conn(), engine::Table("t"), options, quiet);
  ASSERT_FALSE(counted.failure) << counted.failure->description;
  EXPECT_EQ(counted.records, 2);
  EXPECT_EQ(counted.untouched,
            (std::map<std::string, long long>{{"could not be parsed as serialized data", 2}}));

  journal::Journal journal(dir_.file("engine-journal.db"));
  options.mode = engine::Mode::Replace;
  options.journal = &journal;
  options.journalRun = journal.beginRun({});
  const auto replaced = engine::runTable(conn(), engine::Table("t"), options, quiet);
  ASSERT_FALSE(replaced.failure) << replaced.failure->description;
  EXPECT_EQ(replaced.status, engine::Status::Replaced);
  ASSERT_TRUE(replaced.journaled);
  EXPECT_EQ(replaced.journaled->changed, 2);
  EXPECT_EQ(replaced.untouched.at("could not be parsed as serialized data"), 2);
  journal.finishRun(options.journalRun);
  EXPECT_EQ(
      notes(),
      expectedDump({{"1", "s:5:\"x", "y y"}, {"2", "boy", std::nullopt}, {"3", "none", "s:x"}}));
  const auto undone = journal::undo(conn(), journal, *journal.run(options.journalRun), {});
  EXPECT_EQ(undone.tables.at(0).restored, 2);
  EXPECT_EQ(notes(), before);
}

}  // namespace

namespace {

INSTANTIATE_TEST_SUITE_P(Engines, Rewriter,
                         testing::Values(Engine::SQLite, Engine::SqlServer, Engine::PostgreSQL,
                                         Engine::MariaDB),
                         testsupport::EngineParamName());

}  // namespace

namespace {

// Patterns, case, encoded forms and PHP-serialized values through find,
// replace and undo: a serialized string gets its new length in bytes, a
// value that only looks serialized is left alone and told, the JSON-escaped
// form is found with --also-encoded; each run is taken back byte for byte.
TEST_P(Rewriter, patternsEncodedFormsAndSerializedValuesAreRewrittenAndUndone) {
  const Engine e = engine();
  const std::vector<std::vector<Value>> rows{
      {"1", "a:2:{s:3:\"url\";s:22:\"http://old.example.com\";i:0;s:6:\"h\xc3\xa9llo\";}", "s"},
      {"2", "{\"u\":\"http:\\/\\/old.example.com\\/p\"}", "json"},
      {"3", "s:99:\"http://old.example.com\";", "broken"},
      {"4", "see http://old.example.com/path and HTTP://OLD.EXAMPLE.COM", "plain"},
      {"5", "nothing", "none"}};
  std::string sql = "create table t(id int primary key, note " + longText(e) + ", title " +
                    shortText(e, 60) + ");";
  for (const auto& r : rows) sql += insert("t", r);
  setup(sql);
  const Rows before = notes();

  // A pattern with a group, case-sensitive.
  const auto patterned =
      cli({"replace", "--yes", "--json", "--regex", "--find", "http://old\\.example\\.com(/\\w*)?",
           "--replace", "https://new.example.org$1"});
  EXPECT_EQ(patterned.exitCode, 0) << patterned.describe();
  auto expected = rows;
  expected[0][1] = "a:2:{s:3:\"url\";s:23:\"https://new.example.org\";i:0;s:6:\"h\xc3\xa9llo\";}";
  expected[3][1] = "see https://new.example.org/path and HTTP://OLD.EXAMPLE.COM";
  EXPECT_EQ(notes(), expectedDump(expected));
  EXPECT_NE(patterned.out.find("could not be parsed as serialized data"), std::string::npos)
      << patterned.out;
  auto undone = cli({"undo", "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(notes(), before);

  // A literal text in any case and in its JSON-escaped form.
  const auto encoded = cli({"replace", "--yes", "--also-encoded", "--ignore-case", "--find",
                            "http://old.example.com", "--replace", "https://new.example.org"});
  EXPECT_EQ(encoded.exitCode, 0) << encoded.describe();
  expected[1][1] = "{\"u\":\"https:\\/\\/new.example.org\\/p\"}";
  expected[3][1] = "see https://new.example.org/path and https://new.example.org";
  EXPECT_EQ(notes(), expectedDump(expected));
  undone = cli({"undo", "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(notes(), before);

  // A pattern that does not compile is told with its place; nothing runs.
  const auto bad = cli({"replace", "--yes", "--regex", "--find", "ab(cd", "--replace", "x"});
  EXPECT_EQ(bad.exitCode, 2) << bad.describe();
  EXPECT_NE(bad.err.find("offset"), std::string::npos) << bad.err;
  EXPECT_EQ(notes(), before);
}

// Pairs that cannot be used are bad usage, told before anything is
// connected or written: a file line without a tab or with an empty text
// (named by its line), a file that cannot be read, a --find without its
// --replace among several pairs.
TEST(RewriterUsage, badPairsAreToldBeforeConnecting) {
  testsupport::TempDir dir;
  const std::string db = dir.file("never.db");
  const std::string file = dir.file("pairs.tsv");
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--server", "sqlite", "--database", db, "--journal",
                             dir.file("journal.db"), "--yes"});
    return testsupport::runCli(args, {}, testsupport::environmentWith({}));
  };
  ASSERT_TRUE(testsupport::writeFile(file, "old\tnew\nno tab here\n"));
  auto r = run({"replace", "--pairs", file});
  EXPECT_EQ(r.exitCode, 2) << r.describe();
  EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  ASSERT_TRUE(testsupport::writeFile(file, "\tnew\n"));
  r = run({"preview", "--pairs", file});
  EXPECT_EQ(r.exitCode, 2) << r.describe();
  EXPECT_NE(r.err.find("line 1"), std::string::npos) << r.err;
  r = run({"find", "--pairs", dir.file("missing.tsv")});
  EXPECT_EQ(r.exitCode, 2) << r.describe();
  EXPECT_NE(r.err.find("missing.tsv"), std::string::npos) << r.err;
  r = run({"replace", "--find", "a", "--replace", "b", "--find", "c"});
  EXPECT_EQ(r.exitCode, 2) << r.describe();
  EXPECT_NE(r.err.find("each --find needs its --replace"), std::string::npos) << r.err;
  EXPECT_FALSE(testsupport::readFile(db).size()) << "nothing was made";
}

}  // namespace

namespace {

// JSON documents: an escaped slash, a \u escape, a nested object whose key
// holds the text, a number written its own way. Only strings are rewritten
// (keys with --json-keys), each kept in its own style.
const std::string kDocument =
    R"({"old.example.com": {"u": "http:\/\/old.example.com\/p", "list": [1, null, )"
    R"("caf\u00e9 old.example.com"]}, "n": 1.50e3})";
const std::string kValuesRewritten =
    R"({"old.example.com": {"u": "http:\/\/new.example.org\/p", "list": [1, null, )"
    R"("caf\u00e9 new.example.org"]}, "n": 1.50e3})";
const std::string kKeysRewritten =
    R"({"new.example.org": {"u": "http:\/\/new.example.org\/p", "list": [1, null, )"
    R"("caf\u00e9 new.example.org"]}, "n": 1.50e3})";

// --json-values: text columns' documents have only their strings rewritten
// (keys with --json-keys); a value that is no document is told and left
// whole; each run is undone byte for byte.
TEST_P(Rewriter, jsonValuesInTextColumnsRewriteOnlyTheirStrings) {
  const Engine e = engine();
  const std::vector<std::vector<Value>> rows{{"1", kDocument, "doc"},
                                             {"2", R"({"u": "old.example.com")", "broken"},
                                             {"3", "plain old.example.com", "plain"}};
  std::string sql = "create table t(id int primary key, note " + longText(e) + ", title " +
                    shortText(e, 60) + ");";
  for (const auto& r : rows) sql += insert("t", r);
  setup(sql);
  const Rows before = notes();

  auto run = cli({"replace", "--yes", "--json-values", "--find", "old.example.com", "--replace",
                  "new.example.org"});
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  auto expected = rows;
  expected[0][1] = kValuesRewritten;
  EXPECT_EQ(notes(), expectedDump(expected));
  EXPECT_NE(run.out.find("could not be parsed as JSON"), std::string::npos) << run.out;
  auto undone = cli({"undo", "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(notes(), before);

  run = cli({"replace", "--yes", "--json-values", "--json-keys", "--find", "old.example.com",
             "--replace", "new.example.org"});
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  expected[0][1] = kKeysRewritten;
  EXPECT_EQ(notes(), expectedDump(expected));
  undone = cli({"undo", "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(notes(), before);
}

// The engine's JSON columns (PostgreSQL jsonb and json, MariaDB JSON) are
// searched by the row rewriter: their strings only, keys with --json-keys,
// written back as documents of their type; the plain one update leaves
// them whole. A jsonb document the server normalised is still undone.
TEST_P(Rewriter, jsonColumnsAreRewrittenByTheRowRewriterAndUndone) {
  const Engine e = engine();
  if (e != Engine::PostgreSQL && e != Engine::MariaDB)
    GTEST_SKIP() << "no JSON column type of its own";
  const bool pg = e == Engine::PostgreSQL;
  const std::string types = pg ? "doc jsonb, raw json" : "doc json, raw json";
  auto make = [&](const std::string& table, const std::vector<std::vector<Value>>& rows) {
    std::string sql = "create table " + q(e, table) + "(id int primary key, " + types + ");";
    // PostgreSQL takes a document from text by a cast only.
    for (const auto& r : rows)
      sql += "insert into " + q(e, table) + " values(" + r[0].value() + ", " +
             (pg ? "cast(" + literal(e, r[1]) + " as jsonb)" : literal(e, r[1])) + ", " +
             (pg ? "cast(" + literal(e, r[2]) + " as json)" : literal(e, r[2])) + ");";
    setup(sql);
  };
  auto docs = [&](const std::string& table) {
    return dump(q(e, table), {"id", "doc", "raw"}, "id");
  };
  // The dump of the same documents stored by the server itself.
  auto expectedDocs = [&](const std::vector<std::vector<Value>>& rows) {
    make("expected", rows);
    Rows out = docs("expected");
    setup("drop table " + q(e, "expected") + ";");
    return out;
  };
  const std::vector<std::vector<Value>> rows{{"1", kDocument, kDocument},
                                             {"2", R"({"x": "nothing"})", std::nullopt}};
  make("t", rows);
  const Rows before = docs("t");

  // The plain path keeps its one update for text columns only, and says so.
  auto run = cli({"replace", "--yes", "--find", "old.example.com", "--replace", "new.example.org"});
  EXPECT_EQ(docs("t"), before) << run.describe();
  const auto listed = cli({"tables", "--columns"});
  EXPECT_NE(listed.out.find("JSON, searched only by the row rewriter"), std::string::npos)
      << listed.describe();
  const auto previewed =
      cli({"preview", "--json-keys", "--find", "old.example.com", "--replace", "new.example.org"});
  EXPECT_EQ(previewed.exitCode, 0) << previewed.describe();
  EXPECT_NE(previewed.out.find(R"("new.example.org": {"u": "http:\/\/new.example.org\/p")"),
            std::string::npos)
      << previewed.describe();
  EXPECT_EQ(docs("t"), before);

  run = cli({"replace", "--yes", "--regex", "--find", "old\\.example\\.com", "--replace",
             "new.example.org"});
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  auto expected = rows;
  expected[0][1] = expected[0][2] = kValuesRewritten;
  EXPECT_EQ(docs("t"), expectedDocs(expected));
  auto undone = cli({"undo", "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(docs("t"), before);

  run = cli({"replace", "--yes", "--json-keys", "--find", "old.example.com", "--replace",
             "new.example.org"});
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  expected[0][1] = expected[0][2] = kKeysRewritten;
  EXPECT_EQ(docs("t"), expectedDocs(expected));
  undone = cli({"undo", "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(docs("t"), before);
}

}  // namespace

namespace {

// What real tables hold around the text: a name with quotes, ; ? . and a
// space, a number and a flag beside the text column, and a trigger of the
// table's own. The rewriter changes only the text, the other values keep
// their bytes, the trigger's rows stay, and one undo gives the text back.
TEST_P(Rewriter, oddNamesOtherTypesAndATriggerAroundTheText) {
  const Engine e = engine();
  const std::string table = "o'd \"n;a?m.e";
  const std::string note = "n o\"t'e";
  const std::string flag = e == Engine::PostgreSQL ? "boolean" : "smallint";
  std::string trigger;
  switch (e) {
    case Engine::SQLite:
      trigger = "create trigger watch after update on " + q(e, table) +
                " begin insert into audit values(old.id); end;";
      break;
    case Engine::PostgreSQL:
      trigger =
          "create function watch() returns trigger language plpgsql as $$begin insert into audit "
          "values(old.id); return new; end$$;"
          "create trigger watch after update on " +
          q(e, table) + " for each row execute function watch();";
      break;
    case Engine::MariaDB:
      trigger = "create trigger watch after update on " + q(e, table) +
                " for each row insert into audit values(old.id);";
      break;
    case Engine::SqlServer:  // the stand-in runs no triggers of SQL Server
      break;
  }
  const std::string t = q(e, table);
  setup(
      "create table audit(id int);"
      "create table " +
      t + "(id int primary key, " + q(e, note) + " " + longText(e) +
      ", amount decimal(10,2), flag " + flag + ");" + "insert into " + t + " values(1, " +
      literal(e, "a-b see http://old.example.com") + ", 12.50, " +
      (e == Engine::PostgreSQL ? "true" : "1") + ");" + "insert into " + t + " values(2, " +
      literal(e, "none") + ", 0.10, " + (e == Engine::PostgreSQL ? "false" : "0") + ");" + trigger);
  const std::vector<std::string> columns{"id", q(e, note), "amount", "flag"};
  const Rows before = dump(t, columns, "id");

  std::vector<std::string> args{"replace", "--yes", "--json", "--tables", "o*"};
  for (const auto& a : pairArgs()) args.push_back(a);
  const auto replaced = cli(args);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  Rows expected = before;
  expected[0][1] = applyPairs(*before[0][1], kPairs);
  EXPECT_EQ(dump(t, columns, "id"), expected);
  if (!trigger.empty()) {
    EXPECT_EQ(dump("audit", {"id"}, "id"), (Rows{{"1"}}));
  }

  const auto undone = cli({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dump(t, columns, "id"), before);
}

}  // namespace

namespace {

// Patterns whose parts the engines' own regular expressions read otherwise
// (Unicode digits and letters for \d and \w, "$" before a final newline,
// back references, lookarounds, word boundaries, long counted repeats), and
// patterns without a literal part. Whatever rows the server is asked for,
// the rewriter finds every row it changes, and replaces and undoes them;
// on PostgreSQL, where its own expressions choose the rows, a pattern
// without a literal part is not every row read.
TEST_P(Rewriter, theServersChoiceByAPatternKeepsEveryRowThePatternChanges) {
  const Engine e = engine();
  const std::vector<std::string> notes{
      "call 555-1234 now",
      "call ٥٥٥-١٢٣٤ now",  // Arabic-Indic digits: \d with Unicode classes
      "café au lait",       // é: \w with Unicode classes
      "ends with foo\n",    // PCRE's "$" before a final newline
      "abcabc twice",      "foobar and foobaz", "xy after x",
      "naïve words",       "tab\there",         std::string(300, 'a'),
      "CASE matters",      "nothing to see",    "",
  };
  const std::vector<std::string> patterns{
      "\\d{3}-\\d{4}", "\\w+é\\b", "foo$",      "(abc)\\1",          "foo(?=baz)",  "(?<=x)y",
      "\\bnaïve\\b",   "a{300}",   "\\s+here$", "[0-9]{3}-[0-9]{4}", "C[A-Z]SE\\s", "(?i)case"};
  std::string sql = "create table t(id int primary key, note " + longText(e) + ");";
  for (size_t k = 0; k < notes.size(); ++k) sql += insert("t", {std::to_string(k + 1), notes[k]});
  // Rows no pattern touches, for a choice to be seen narrowing.
  for (size_t k = notes.size() + 1; k <= 60; ++k) sql += insert("t", {std::to_string(k), "filler"});
  setup(sql);
  const Rows all = dump(q(e, "t"), {"id", "note"}, "id");
  ASSERT_EQ(all.size(), 60u);

  for (const std::string& pattern : patterns) {
    SCOPED_TRACE(pattern);
    trellick::transform::Options options;
    options.regex = true;
    options.pairs.push_back({pattern, "<$0>"});
    const std::shared_ptr<const trellick::transform::Rewriter> rewriter =
        trellick::transform::makeRewriter(options);
    // The rows it changes, every value read past the server's choice.
    std::vector<std::string> expected;
    for (const auto& row : all)
      if (row[1])
        if (const auto r = rewriter->rewrite(*row[1]); r && r->value != *row[1])
          expected.push_back(*row[0]);
    ASSERT_FALSE(expected.empty());

    const auto preview = trellick::engine::previewTable(conn(), "t", rewriter, 0);
    std::vector<std::string> previewed;
    for (const auto& row : preview.rows) previewed.push_back(*row.identity.at(0));
    EXPECT_EQ(previewed, expected);
    EXPECT_EQ(preview.total, static_cast<long long>(expected.size()));

    if (e == Engine::PostgreSQL) {
      // The rows the server chose: more than those changed at most, and
      // far fewer than the table's where the pattern reads alike.
      auto chosen = conn().Execute("select count(*) from (" + preview.query + ") s");
      const long long n = chosen->Fields().Item(0).Value().toInt64();
      chosen->Close();
      EXPECT_GE(n, static_cast<long long>(expected.size()));
      if (pattern != "(?i)case" && pattern != "a{300}") {
        EXPECT_LT(n, 20) << preview.query;
      }
    }
  }

  // One pattern without a literal part, replaced and undone.
  const Rows before = dump(q(e, "t"), {"id", "note"}, "id");
  const auto replaced = cli(
      {"replace", "--yes", "--json", "--regex", "--find", "\\d{3}-\\d{4}", "--replace", "<$0>"});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.describe();
  Rows expected = before;
  expected[0][1] = "call <555-1234> now";
  expected[1][1] = "call <٥٥٥-١٢٣٤> now";
  EXPECT_EQ(dump(q(e, "t"), {"id", "note"}, "id"), expected);
  const auto undone = cli({"undo", "--yes", "--json"});
  ASSERT_EQ(undone.exitCode, 0) << undone.describe();
  EXPECT_EQ(dump(q(e, "t"), {"id", "note"}, "id"), before);
}

}  // namespace
