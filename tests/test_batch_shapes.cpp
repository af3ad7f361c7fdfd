// A replace in small batches (three rows, so that bounds fall everywhere)
// and its undo, through the command line run as a process, over tables the
// batch bounds can trip on: keys of several columns, text keys the
// collation orders by case, accents and trailing spaces, date and decimal
// keys, odd names, columns of other types, SQLite's dynamic typing, an
// update trigger, NULLs, a replace that changes the key, and a run stopped
// mid-table then resumed. Judged by dumps read with each engine's own
// client (the SQLite library on a file): every matching value replaced
// exactly once ("a" by "aa": a row done twice would show), the counts told
// and journaled right, and after the undo every table as it was.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_run.h"
#include "support/engine_fixture.h"
#include "support/files.h"
#include "support/sqlite_file.h"

namespace {

using testsupport::Engine;
using testsupport::md5Of;
using testsupport::Rows;
using testsupport::Value;
using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr long long kBatch = 3;
const std::string kFind = "a";
const std::string kReplace = "aa";  // holds what it replaces

std::string replacedOnce(const std::string& v) {
  return testsupport::replacedEach(v, kFind, kReplace);
}

// Padded with spaces to n characters.
std::string padded(const std::string& text, size_t n) {
  size_t chars = 0;
  for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
  return text + std::string(n > chars ? n - chars : 0, ' ');
}

std::string show(const std::vector<Value>& row) {
  std::string out;
  for (const auto& v : row) out += (out.empty() ? "" : " | ") + (v ? "'" + *v + "'" : "NULL");
  return out;
}

// A table as the checks see it.
struct Shape {
  std::string name;                  // as the engine names it
  std::vector<std::string> columns;  // dumped, in the client's syntax
  std::string orderBy;               // the key, in the client's syntax
  std::vector<size_t> searched;      // the dumped columns the replace may change
  // Whether a searched value of this row is one the replace takes (SQLite:
  // text, not a number or a blob).
  std::function<bool(const std::vector<Value>& row, size_t column)> takes = nullptr;
};

class BatchShapes : public testsupport::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    ASSERT_TRUE(dir_.valid()) << dir_.error();
  }

  std::string q(const std::string& name) { return testsupport::clientName(engine(), name); }
  std::string lit(const Value& v) { return testsupport::clientLiteral(engine(), v); }
  // Text of a declared length; a key of it is ordered as the server's
  // default collation orders (the stand-in's SQLite file: without case).
  std::string text(int n) { return testsupport::shortText(engine(), n); }
  std::string keyText(int n) {
    return text(n) + (engine() == Engine::SqlServer ? " collate nocase" : "");
  }
  std::string longText() { return testsupport::longText(engine()); }
  std::string intType() { return "int"; }

  Args connection() {
    Args args = cliConnection();
    args.insert(args.end(), {"--journal", journal()});
    return args;
  }
  std::unique_ptr<testsupport::CliProcess> start(Args args) {
    const Args c = connection();
    args.insert(args.end(), c.begin(), c.end());
    testsupport::ProcessOptions options;
    options.environment = cliEnvironment();
    return std::make_unique<testsupport::CliProcess>(args, options);
  }
  struct Ran {
    int exitCode = -1;
    std::string out, err;
  };
  // The command run to its end, killed if it outlasts half a minute (a
  // batch loop that never ends).
  Ran run(const Args& args) {
    auto p = start(args);
    Ran r;
    if (!p->started()) return r;
    if (!p->waitFor(30000)) {
      p->signal(SIGKILL);
      p->waitFor(10000);
      r.err = "still running after 30 s; killed\n" + p->err();
      return r;
    }
    r.exitCode = p->exitedNormally() ? p->exitCode() : -1;
    r.out = p->out();
    r.err = p->err();
    return r;
  }
  Args replaceArgs(const Args& extra) {
    Args a{"replace", "--find", kFind,          "--replace",           kReplace,
           "--yes",   "--json", "--batch-rows", std::to_string(kBatch)};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }

  Rows rows(const Shape& s) { return dump(q(s.name), s.columns, s.orderBy); }
  // Batches done so far, read from the journal as the run writes it (0
  // until it can be read).
  long long batchesDone() {
    return testdb::countWhileWritten(
        journal(), "select count(*) from tables where batch > 0 and state = 'done'");
  }
  std::string journal() { return dir_.file("journal.db"); }

  // Each searched value the replace takes, replaced once; all else as it was.
  Rows expected(const Shape& s, const Rows& before) {
    Rows out = before;
    for (auto& row : out)
      for (size_t c : s.searched)
        if (row[c] && (!s.takes || s.takes(row, c))) row[c] = replacedOnce(*row[c]);
    return out;
  }
  long long matching(const Shape& s, const Rows& before) {
    long long n = 0;
    for (const auto& row : before) {
      bool any = false;
      for (size_t c : s.searched)
        any |= row[c] && (!s.takes || s.takes(row, c)) && row[c]->find(kFind) != std::string::npos;
      n += any;
    }
    return n;
  }
  // The table lines of a --json run, by table name.
  std::map<std::string, nlohmann::json> tableLines(const std::string& out) {
    std::map<std::string, nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      const auto o = nlohmann::json::parse(line, nullptr, false);
      if (o.is_object() && o.value("type", "") == "table") lines[o.value("table", "")] = o;
    }
    return lines;
  }
  // The journal's batches of a table: how many, and the rows they hold.
  std::pair<long long, long long> journaled(const std::string& table, bool batchesOnly) {
    std::string name;
    for (char c : table) name += c == '\'' ? std::string("''") : std::string(1, c);
    const auto r =
        testdb::query(journal(),
                      "select count(*), coalesce(sum(rows), 0) from tables "
                      "where name = '" +
                          name + "' and state = 'done'" + (batchesOnly ? " and batch > 0" : ""));
    return {std::stoll(r.at(0).at(0)), std::stoll(r.at(0).at(1))};
  }

  // The table after the replace: every value the replace takes replaced
  // once, the others as they were; told and journaled with its count, in
  // batches of at most kBatch rows (or in one statement when !batched).
  void checkReplaced(const Shape& s, const Rows& before, const Ran& ran, bool batched = true) {
    const Rows now = rows(s);
    const Rows want = expected(s, before);
    EXPECT_EQ(now.size(), want.size()) << s.name;
    for (size_t k = 0; k < now.size() && k < want.size(); ++k)
      EXPECT_EQ(now[k], want[k]) << s.name << " row " << k << "\n   now: " << show(now[k])
                                 << "\n  want: " << show(want[k])
                                 << "\n  was:  " << show(before[k]);
    const long long n = matching(s, before);
    ASSERT_GT(n, 2 * kBatch) << s.name << ": too few rows to cross batches";
    const auto lines = tableLines(ran.out);
    ASSERT_TRUE(lines.contains(s.name)) << s.name << "\n" << ran.out << ran.err;
    EXPECT_EQ(lines.at(s.name).value("status", ""), "replaced") << lines.at(s.name).dump();
    EXPECT_EQ(lines.at(s.name).value("records", -1LL), n) << lines.at(s.name).dump();
    const auto [batches, journaledRows] = journaled(s.name, batched);
    EXPECT_EQ(journaledRows, n) << s.name;
    if (batched) {
      EXPECT_EQ(batches, (n + kBatch - 1) / kBatch) << s.name;
      EXPECT_EQ(ran.err.find("replaced in one statement"), std::string::npos) << ran.err;
    } else {
      EXPECT_EQ(batches, 1) << s.name;
      EXPECT_EQ(journaled(s.name, true).first, 0) << s.name;
      EXPECT_NE(ran.err.find("replaced in one statement"), std::string::npos) << ran.err;
    }
  }

  // Replaced in batches, checked, undone, checked against the dumps from
  // before.
  void replaceAndUndo(const std::vector<Shape>& shapes, const Args& extra = {},
                      bool batched = true) {
    std::vector<Rows> before;
    for (const auto& s : shapes) before.push_back(rows(s));
    const Ran ran = run(replaceArgs(extra));
    ASSERT_EQ(ran.exitCode, 0) << ran.err << ran.out;
    for (size_t k = 0; k < shapes.size(); ++k) checkReplaced(shapes[k], before[k], ran, batched);
    if (HasFailure()) return;
    const Ran undone = run({"undo", "--yes"});
    ASSERT_EQ(undone.exitCode, 0) << undone.err << undone.out;
    for (size_t k = 0; k < shapes.size(); ++k) {
      const Rows now = rows(shapes[k]);
      EXPECT_EQ(md5Of(now), md5Of(before[k])) << shapes[k].name;
      for (size_t r = 0; r < now.size() && r < before[k].size(); ++r)
        EXPECT_EQ(now[r], before[k][r])
            << shapes[k].name << " row " << r << " after the undo\n   now: " << show(now[r])
            << "\n  was:  " << show(before[k][r]);
    }
  }

  // insert into T values (...), (...): one statement.
  void insert(const std::string& table, const std::vector<std::vector<std::string>>& values) {
    std::string sql;
    for (const auto& row : values) {
      std::string one;
      for (const auto& v : row) one += (one.empty() ? "" : ", ") + v;
      sql +=
          (sql.empty() ? "insert into " + table + " values " : std::string(", ")) + "(" + one + ")";
    }
    setup(sql + ";");
  }

  // Searched values: most hold the text, some several times, some not at
  // all, some NULL or empty.
  Value valueFor(int i) {
    switch (i % 7) {
      case 0:
        return "banana " + std::to_string(i);
      case 1:
        return "kiwi " + std::to_string(i);
      case 2:
        return "façade 站 " + std::to_string(i);
      case 3:
        return std::nullopt;
      case 4:
        return "a";
      case 5:
        return "";
      default:
        return "ma'am \\ " + std::to_string(i);
    }
  }

  testsupport::TempDir dir_;
};

// A key of an integer and a text, the integer repeated across batches: a
// bound falls inside a run of rows sharing their first part.
TEST_P(BatchShapes, compositeKeyWithRepeatedLeadingParts) {
  const std::string t = q("pairs");
  setup("create table " + t + "(g int not null, n " + keyText(20) + " not null, v " + longText() +
        ", w " + text(40) + ", primary key (g, n));");
  const std::vector<std::string> names{"ab", "b", "C", "d  ", "é", "Zz", "日本"};
  std::vector<std::vector<std::string>> values;
  int i = 0;
  for (int g = 1; g <= 4; ++g)
    for (const auto& n : names) {
      values.push_back({std::to_string(g), lit(n), lit(valueFor(i)), lit(valueFor(i + 3))});
      ++i;
    }
  insert(t, values);
  replaceAndUndo({{"pairs", {q("g"), q("n"), q("v"), q("w")}, q("g") + ", " + q("n"), {2, 3}}},
                 {"--skip-columns", "*.n"});
}

// A text key in mixed case, with trailing spaces, quotes, a backslash,
// LIKE's wildcards and characters beyond ASCII, ordered by each server's
// collation (case- and accent-blind, trailing spaces ignored on SQL Server
// and MariaDB): each bound compared as the order sorts it.
TEST_P(BatchShapes, textKeyInMixedCaseWithTrailingSpacesAndNonAscii) {
  const std::string t = q("words");
  setup("create table " + t + "(k " + keyText(30) + " not null primary key, v " + longText() +
        ");");
  const std::vector<std::string> keys{
      "apple",  "Banana", "cherry ",     "Date", "éclair", "fig  ",  "Grape", "ärger",
      "Ölfass", "zebra",  "Zoo",         "日本", "中文",   "x y",    "x",     "x-y",
      "x_y",    "it's",   "back\\slash", "a%b",  "Éa",     "mañana", "ß",     "Q "};
  std::vector<std::vector<std::string>> values;
  for (size_t i = 0; i < keys.size(); ++i)
    values.push_back({lit(keys[i]), lit(i % 4 == 3 ? Value("kiwi") : Value("a " + keys[i]))});
  insert(t, values);
  replaceAndUndo({{"words", {q("k"), q("v")}, q("k"), {1}}}, {"--skip-columns", "*.k"});
}

// Keys of a date and time with fractions of a second, of a decimal with
// negative and trailing-zero values, and of fixed-length text.
TEST_P(BatchShapes, dateTimeDecimalAndFixedTextKeys) {
  const Engine e = engine();
  const std::string when = e == Engine::SQLite       ? "datetime"
                           : e == Engine::SqlServer  ? "datetime2"
                           : e == Engine::PostgreSQL ? "timestamp(3)"
                                                     : "datetime(3)";
  setup("create table " + q("at") + "(d " + when + " not null primary key, v " + longText() + ");" +
        "create table " + q("priced") + "(p decimal(12,3) not null primary key, v " + longText() +
        ");" + "create table " + q("coded") + "(c " +
        (e == Engine::SqlServer ? "nchar(6) collate nocase" : "char(6)") +
        " not null primary key, v " + longText() + ");");
  std::vector<std::vector<std::string>> at, priced, coded;
  const std::vector<std::string> codes{"ab", "B", "c d", "é", "ZZ", "x", "y ", "Ω", "q1", "Q2"};
  for (int i = 0; i < 20; ++i) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "'20%02d-0%d-2%d %02d:%02d:%02d.%03d'", 10 + i % 3,
                  1 + i % 9, i % 8, i, (i * 7) % 60, (i * 13) % 60, (i * 137) % 1000);
    at.push_back({stamp, lit(valueFor(i))});
    priced.push_back({std::to_string((i - 10) * 125) + "." + std::to_string(i % 2 ? 5 : 0) +
                          std::to_string(i % 3),
                      lit(valueFor(i + 1))});
    // The server keeps fixed-length text padded: so does the stand-in's file.
    if (static_cast<size_t>(i) < codes.size())
      coded.push_back({lit(e == Engine::SqlServer ? padded(codes[i], 6) : codes[i]),
                       lit(valueFor(i % 3 == 1 ? 0 : i + 2))});
  }
  insert(q("at"), at);
  insert(q("priced"), priced);
  insert(q("coded"), coded);
  const Shape a{"at", {q("d"), q("v")}, q("d"), {1}};
  const Shape p{"priced", {q("p"), q("v")}, q("p"), {1}};
  const Shape c{"coded", {q("c"), q("v")}, q("c"), {1}};
  replaceAndUndo({a, p, c}, {"--skip-columns", "*.c"});
}

// Keys of floating point numbers that the driver's text of them may round:
// thirds, tenths, the very small and the very large, negative and zero.
TEST_P(BatchShapes, floatingPointKeys) {
  const Engine e = engine();
  const std::string real = e == Engine::SQLite       ? "real"
                           : e == Engine::SqlServer  ? "float"
                           : e == Engine::PostgreSQL ? "double precision"
                                                     : "double";
  setup("create table " + q("measured") + "(f " + real + " not null primary key, v " + longText() +
        ");");
  std::vector<std::vector<std::string>> values;
  const std::vector<std::string> keys{"0.1",
                                      "0.2",
                                      "0.30000000000000004",
                                      "0.3",
                                      "1e-300",
                                      "-1e-300",
                                      "2.5e300",
                                      "-2.5e300",
                                      "0",
                                      "1.0000000000000002",
                                      "1",
                                      "-0.1",
                                      "3.141592653589793",
                                      "123456789.123456789",
                                      "1e15",
                                      "1e16",
                                      "1e16 + 2",
                                      "0.7",
                                      "0.70000000000000007"};
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string key = keys[i] == "1e16 + 2" ? "10000000000000002" : keys[i];
    values.push_back({key, lit(valueFor(static_cast<int>(i % 3 == 1 ? 0 : i)))});
  }
  insert(q("measured"), values);
  replaceAndUndo({{"measured", {q("v")}, q("f"), {0}}});
}

// Table and column names with spaces, quotes, brackets, reserved words and
// characters beyond ASCII, the key among them.
TEST_P(BatchShapes, oddTableAndColumnNames) {
  const std::string table = "od d \"q\" [b] sélect";
  const std::string t = q(table);
  setup("create table " + t + "(" + q("order") + " int not null, " + q("k \"ey\" [x]") + " " +
        keyText(10) + " not null, " + q("va lue") + " " + longText() + ", " + q("wé\"i]rd") + " " +
        text(30) + ", primary key (" + q("order") + ", " + q("k \"ey\" [x]") + "));");
  std::vector<std::vector<std::string>> values;
  for (int i = 0; i < 20; ++i)
    values.push_back({std::to_string(i / 3),
                      lit(std::string(i % 2 ? "Ü" : "u") + std::to_string(i)), lit(valueFor(i)),
                      lit(valueFor(i + 4))});
  insert(t, values);
  replaceAndUndo({{table,
                   {q("order"), q("k \"ey\" [x]"), q("va lue"), q("wé\"i]rd")},
                   q("order") + ", " + q("k \"ey\" [x]"),
                   {2, 3}}},
                 {"--skip-columns", "*.k*"});
}

// Columns of other types beside the text ones, and NULLs in the searched
// columns: only the text changes, only where it holds the text.
TEST_P(BatchShapes, otherTypesAndNullsBesideTheText) {
  const Engine e = engine();
  const std::string real = e == Engine::SQLite       ? "real"
                           : e == Engine::SqlServer  ? "float"
                           : e == Engine::PostgreSQL ? "double precision"
                                                     : "double";
  const std::string bytes = e == Engine::SQLite       ? "blob"
                            : e == Engine::PostgreSQL ? "bytea"
                                                      : "varbinary(16)";
  const std::string t = q("mixed");
  setup("create table " + t + "(id int not null primary key, n int, f " + real + ", b " + bytes +
        ", d date, v " + longText() + ", w " + text(40) + ");");
  std::vector<std::vector<std::string>> values;
  for (int i = 0; i < 25; ++i) {
    const std::string blob = e == Engine::PostgreSQL
                                 ? "decode('613" + std::to_string(i % 10) + "0a', 'hex')"
                                 : "x'613" + std::to_string(i % 10) + "0a'";
    values.push_back({std::to_string(i * 10), i % 5 ? std::to_string(i * i) : "null",
                      std::to_string(i) + ".25", i % 6 ? blob : "null",
                      i % 4 ? "'2024-02-" + std::to_string(10 + i % 19) + "'" : "null",
                      lit(valueFor(i)), lit(i % 3 ? valueFor(i + 2) : Value())});
  }
  insert(t, values);
  replaceAndUndo(
      {{"mixed", {q("id"), q("n"), q("f"), q("b"), q("d"), q("v"), q("w")}, q("id"), {5, 6}}});
}

// A table with an update trigger of its own that logs each row updated:
// each row is updated once by the replace and once by the undo.
TEST_P(BatchShapes, tableWithAnUpdateTrigger) {
  const Engine e = engine();
  const std::string t = q("logged");
  setup("create table " + t + "(id int not null primary key, v " + longText() + ", w " + text(30) +
        ");" + "create table " + q("log") + "(id int);");
  switch (e) {
    case Engine::SQLite:
    case Engine::SqlServer:
      setup(
          "create trigger logged_update after update on logged begin insert into log "
          "values (new.id); end;");
      break;
    case Engine::PostgreSQL:
      setup(
          "create function log_update() returns trigger language plpgsql as $$ begin insert "
          "into log values (new.id); return null; end $$;"
          "create trigger logged_update after update on logged for each row execute function "
          "log_update();");
      break;
    case Engine::MariaDB:
      setup(
          "create trigger logged_update after update on logged for each row insert into log "
          "values (new.id);");
      break;
  }
  std::vector<std::vector<std::string>> values;
  for (int i = 0; i < 25; ++i)
    values.push_back({std::to_string(i), lit(valueFor(i)), lit(valueFor(i + 1))});
  insert(t, values);
  const Shape s{"logged", {q("id"), q("v"), q("w")}, q("id"), {1, 2}};
  const Rows before = rows(s);
  std::vector<std::vector<Value>> once;
  for (const auto& row : before)
    if (expected(s, {row}) != Rows{row}) once.push_back({row[0]});
  replaceAndUndo({s});
  if (HasFailure()) return;
  // Each changed row logged twice (the replace, the undo), no other row.
  Rows twice;
  for (const auto& r : once) {
    twice.push_back(r);
    twice.push_back(r);
  }
  EXPECT_EQ(dump(q("log"), {q("id")}, q("id")), twice);
}

// A replace that would change the key cannot go by the key's ranges: one
// statement, said so, replaced and undone all the same.
TEST_P(BatchShapes, aReplaceThatChangesTheKeyGoesInOneStatement) {
  const std::string t = q("named");
  setup("create table " + t + "(k " + keyText(30) + " not null primary key, v " + longText() +
        ");");
  std::vector<std::vector<std::string>> values;
  for (int i = 0; i < 15; ++i)
    values.push_back({lit((i % 2 ? "na" : "ko") + std::to_string(i)), lit(valueFor(i))});
  insert(t, values);
  replaceAndUndo({{"named", {q("k"), q("v")}, q("k"), {0, 1}}}, {}, false);
}

// Stopped with Ctrl-C mid-table, then resumed from the journal's bound (a
// key of a repeated integer and a text in mixed case, with trailing spaces
// and characters beyond ASCII): every matching row replaced once, one undo
// takes the whole run back.
TEST_P(BatchShapes, stoppedMidTableAndResumed) {
  const std::string t = q("long");
  setup("create table " + t + "(g int not null, n " + keyText(20) + " not null, v " + longText() +
        ", primary key (g, n));");
  const std::vector<std::string> names{"ab", "b", "C", "d  ", "é", "Zz", "日本", "x'y"};
  std::vector<std::vector<std::string>> values;
  for (int g = 0; g < 40; ++g)
    for (size_t k = 0; k < names.size(); ++k)
      values.push_back({std::to_string(g), lit(names[k]),
                        lit((g + k) % 3 ? "a " + names[k] : "none " + names[k])});
  insert(t, values);
  const Shape s{"long", {q("g"), q("n"), q("v")}, q("g") + ", " + q("n"), {2}};
  const Rows before = rows(s);
  const long long n = matching(s, before);

  auto p = start(replaceArgs({"--skip-columns", "*.n"}));
  ASSERT_TRUE(p->started());
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (batchesDone() < 4 && p->running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(p->signal(SIGINT)) << "ended before it could be stopped\n" << p->err();
  ASSERT_TRUE(p->waitFor(30000));
  ASSERT_EQ(p->exitCode(), 1) << p->err() << p->out();
  const auto stopped = tableLines(p->out());
  ASSERT_TRUE(stopped.contains("long")) << p->out();
  EXPECT_EQ(stopped.at("long").value("status", ""), "partly_replaced");
  const long long first = stopped.at("long").value("records", -1LL);
  ASSERT_GT(first, 0);
  ASSERT_LT(first, n);
  // The rows changed so far are the first matching ones in the key's order.
  {
    const Rows now = rows(s);
    const Rows want = expected(s, before);
    long long changed = 0;
    for (size_t k = 0; k < now.size(); ++k) {
      if (now[k] == before[k]) continue;
      EXPECT_EQ(now[k], want[k]) << show(now[k]);
      ++changed;
    }
    EXPECT_EQ(changed, first);
    EXPECT_EQ(first % kBatch, 0);
  }

  const Ran resumed = run({"replace", "--resume", "--yes", "--json"});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err << resumed.out;
  EXPECT_EQ(rows(s), expected(s, before));
  EXPECT_EQ(batchesDone(), (n + kBatch - 1) / kBatch);
  EXPECT_EQ(journaled("long", true).second, n);
  EXPECT_EQ(testdb::query(journal(), "select count(*) from runs")[0][0], "1");
  const Ran undone = run({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.err << undone.out;
  EXPECT_EQ(md5Of(rows(s)), md5Of(before));
}

// The row rewriter (two pairs) in batches over a key of two columns, more
// rows than one page of its read: the next page starts past the last key.
TEST_P(BatchShapes, rewriterOverAKeyOfTwoColumnsPastOnePage) {
  const std::string t = q("paged");
  setup("create table " + t + "(g int not null, n " + keyText(10) + " not null, v " + text(40) +
        ", primary key (g, n));");
  std::vector<std::vector<std::string>> values;
  for (int i = 0; i < 1100; ++i)
    values.push_back({std::to_string(i / 4),
                      lit(std::string(i % 2 ? "B" : "a") + std::to_string(i % 4)),
                      lit(i % 5 ? "banana " + std::to_string(i) : "zzz " + std::to_string(i))});
  insert(t, values);
  const Shape shape{"paged", {q("g"), q("n"), q("v")}, q("g") + ", " + q("n"), {2}};
  const Rows before = rows(shape);
  const Ran ran =
      run({"replace", "--find", kFind, "--replace", kReplace, "--find", "zzz", "--replace", "y",
           "--yes", "--json", "--batch-rows", "400", "--skip-columns", "*.n"});
  ASSERT_EQ(ran.exitCode, 0) << ran.err << ran.out;
  Rows want = before;
  long long changed = 0;
  for (auto& row : want) {
    const std::string v = *row[2];
    row[2] = v.rfind("zzz", 0) == 0 ? "y" + v.substr(3) : replacedOnce(v);
    ++changed;
  }
  const Rows now = rows(shape);
  ASSERT_EQ(now.size(), want.size());
  for (size_t k = 0; k < now.size(); ++k) EXPECT_EQ(now[k], want[k]) << "was: " << show(before[k]);
  const auto lines = tableLines(ran.out);
  ASSERT_TRUE(lines.contains("paged")) << ran.out;
  EXPECT_EQ(lines.at("paged").value("records", -1LL), changed);
  EXPECT_EQ(journaled("paged", true).second, changed);
  const Ran undone = run({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.err << undone.out;
  EXPECT_EQ(md5Of(rows(shape)), md5Of(before));
}

INSTANTIATE_TEST_SUITE_P(Engines, BatchShapes, testsupport::allEngines(),
                         testsupport::EngineParamName());

// SQLite's own typing: a key column without a type that holds integers,
// reals, texts, blobs and NULLs, and searched columns that hold numbers
// and blobs beside text (only the text is replaced).
using SqliteBatchShapes = BatchShapes;

bool isText(const std::vector<Value>& row, size_t column) {
  return row[column - 1] && *row[column - 1] == "text";
}

TEST_P(SqliteBatchShapes, aKeyAndColumnsOfMixedTypes) {
  setup(
      "create table loose(k primary key, v, w text);"
      "insert into loose values (1, 'banana', 'a'), (2, 5, 'ma''am'), (2.5, x'6161', 'kiwi'),"
      " (3, 'a', 7), ('10', 'papaya', x'61'), ('b', 1.5, 'java'), ('A', 'lava', null),"
      " (x'00ff', 'alpha', 'a'), (x'61', 'gamma', 'beta'), ('a b', 'kiwi', 'data'),"
      " (-7, 'delta', 'a a'), (100, null, 'zeta'), (x'6161', 'nada', 'a'),"
      " (null, 'omega', 'salsa'), (null, 'sigma', 'a'), ('', 'pasta', 'a'), (0.5, 'a', 'a');");
  const Shape s{
      "loose", {"typeof(k)", "k", "typeof(v)", "v", "typeof(w)", "w"}, "k, rowid", {3, 5}, isText};
  replaceAndUndo({s}, {"--skip-columns", "*.k"});
}

// The same key stopped mid-table and resumed from the journal's bound.
TEST_P(SqliteBatchShapes, aKeyOfMixedTypesStoppedAndResumed) {
  std::string sql = "create table loose(k primary key, v);";
  for (int i = 0; i < 120; ++i) {
    const std::string value = i % 3 ? "'a " + std::to_string(i) + "'" : "'none'";
    std::string key;
    switch (i % 4) {
      case 0:
        key = std::to_string(i);
        break;
      case 1:
        key = "'" + std::to_string(i) + "'";
        break;
      case 2:
        key = "x'" + testsupport::hexOf(std::to_string(i)) + "'";
        break;
      default:
        key = std::to_string(i) + ".5";
    }
    sql += "insert into loose values (" + key + ", " + value + ");";
  }
  setup(sql);
  const Shape s{"loose", {"typeof(k)", "k", "v"}, "k", {2}};
  const Rows before = rows(s);
  const long long n = matching(s, before);
  auto p = start(replaceArgs({"--skip-columns", "*.k"}));
  ASSERT_TRUE(p->started());
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (batchesDone() < 4 && p->running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(p->signal(SIGINT)) << "ended before it could be stopped\n" << p->err();
  ASSERT_TRUE(p->waitFor(30000));
  ASSERT_EQ(p->exitCode(), 1) << p->err() << p->out();
  const Ran resumed = run({"replace", "--resume", "--yes", "--json"});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err << resumed.out;
  const Rows now = rows(s);
  const Rows want = expected(s, before);
  ASSERT_EQ(now.size(), want.size());
  for (size_t k = 0; k < now.size(); ++k) EXPECT_EQ(now[k], want[k]) << show(before[k]);
  EXPECT_EQ(journaled("loose", true).second, n);
  const Ran undone = run({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.err << undone.out;
  EXPECT_EQ(md5Of(rows(s)), md5Of(before));
}

// A first batch of NULL keys killed between its journal's seal and its
// commit (the table as it was, the batch alone in the journal, sealed, not
// marked done): the resume finds its rows unchanged and does it again.
TEST_P(SqliteBatchShapes, aBatchOfNullKeysSealedButNotCommittedIsDoneAgain) {
  std::string sql = "create table loose(k primary key, v);";
  for (int i = 0; i < 12; ++i)
    sql += "insert into loose values (" + (i < 3 ? std::string("null") : std::to_string(i)) +
           ", 'a " + std::to_string(i) + "');";
  setup(sql);
  const Shape s{"loose", {"rowid", "typeof(k)", "k", "v"}, "k, rowid", {3}};
  const Rows before = rows(s);
  const Ran ran = run(replaceArgs({"--skip-columns", "*.k"}));
  ASSERT_EQ(ran.exitCode, 0) << ran.err << ran.out;
  ASSERT_EQ(rows(s), expected(s, before));
  std::string restore;
  for (const auto& row : before)
    restore += "update loose set v = '" + *row[3] + "' where rowid = " + *row[0] + ";";
  testdb::exec(fields().database, restore);
  testdb::exec(journal(),
               "delete from rows where tbl in (select id from tables where batch > 1);"
               "delete from tables where batch > 1;"
               "update tables set state = 'journaled' where batch = 1;"
               "update runs set finished = null;");
  ASSERT_EQ(rows(s), before);

  const Ran resumed = run({"replace", "--resume", "--yes", "--json"});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err << resumed.out;
  const Rows now = rows(s);
  const Rows want = expected(s, before);
  ASSERT_EQ(now.size(), want.size());
  for (size_t k = 0; k < now.size(); ++k) EXPECT_EQ(now[k], want[k]) << "was: " << show(before[k]);
  const Ran undone = run({"undo", "--yes"});
  ASSERT_EQ(undone.exitCode, 0) << undone.err << undone.out;
  EXPECT_EQ(md5Of(rows(s)), md5Of(before));
}

INSTANTIATE_TEST_SUITE_P(SQLite, SqliteBatchShapes, testing::Values(Engine::SQLite),
                         testsupport::EngineParamName());

}  // namespace

namespace {

// The row rewriter (two pairs) over a key without a type that holds
// integers and texts, past its first page: each row it counts is one it
// wrote, exactly once. Where it cannot name such rows it leaves the table
// untouched and says why; it never tells a count it did not write.
TEST_P(SqliteBatchShapes, rewriterOverAKeyOfIntegersAndTextsPastOnePage) {
  std::string sql = "create table loose(k primary key, v);insert into loose values ";
  for (int i = 0; i < 1500; ++i) {
    // The first page ends among the integers.
    const std::string key = i < 1200 ? std::to_string(i) : "'t" + std::to_string(i) + "'";
    const std::string value = i % 5 == 0   ? "'a " + std::to_string(i) + "'"
                              : i % 5 == 1 ? "'zzz " + std::to_string(i) + "'"
                                           : "'none " + std::to_string(i) + "'";
    sql += (i ? ", (" : "(") + key + ", " + value + ")";
  }
  setup(sql + ";");
  const Shape s{"loose", {"typeof(k)", "k", "v"}, "k", {2}};
  const Rows before = rows(s);
  auto rewritten = [](const std::string& v) {
    return v.rfind("zzz", 0) == 0 ? "y" + v.substr(3) : replacedOnce(v);
  };
  long long matching = 0;
  for (const auto& row : before) matching += rewritten(*row[2]) != *row[2];
  ASSERT_EQ(matching, 600);
  const Ran ran = run({"replace", "--find", kFind, "--replace", kReplace, "--find", "zzz",
                       "--replace", "y", "--yes", "--json", "--skip-columns", "*.k"});
  const Rows now = rows(s);
  ASSERT_EQ(now.size(), before.size());
  long long changed = 0;
  for (size_t k = 0; k < now.size(); ++k) {
    EXPECT_EQ(now[k][1], before[k][1]);
    if (now[k] == before[k]) continue;
    ++changed;
    EXPECT_EQ(*now[k][2], rewritten(*before[k][2])) << "was: " << show(before[k]);
  }
  const auto lines = tableLines(ran.out);
  ASSERT_TRUE(lines.contains("loose")) << ran.out << ran.err;
  const auto& line = lines.at("loose");
  if (line["failure"].is_null()) {
    EXPECT_EQ(ran.exitCode, 0) << ran.err << ran.out;
    EXPECT_EQ(changed, matching) << line.dump();
    EXPECT_EQ(line.value("records", -1LL), changed) << line.dump();
    EXPECT_EQ(line.value("kept", -1LL), 0) << line.dump();
  } else {
    // Refused before anything was written, and told why.
    EXPECT_EQ(changed, 0) << line.dump();
    EXPECT_NE(line["failure"].value("message", "").find("storage class"), std::string::npos)
        << line.dump();
  }
  const Ran undone = run({"undo", "--yes"});
  EXPECT_EQ(md5Of(rows(s)), md5Of(before));
}

}  // namespace
