// The database layer on every engine, through one body each: text of every
// text type comes back as it went in, a failing statement carries the
// server's own diagnostics, and a rolled-back transaction changes nothing.
// What went in is read back past the layer as well.
#include <algorithm>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/recordset.h"
#include "support/engine_fixture.h"

namespace {

using testsupport::Engine;
using testsupport::Rows;
using testsupport::Value;

struct TextType {
  std::string declaration;
  bool unicode;  // holds any character (an n-type on SQL Server)
  bool holdsLong;
};

std::vector<TextType> textTypes(Engine engine) {
  switch (engine) {
    case Engine::SQLite:
      return {{"varchar(200)", true, false},
              {"nvarchar(200)", true, false},
              {"text", true, true},
              {"ntext", true, true}};
    case Engine::SqlServer:
      // The stand-in's files declare varchar(max) as varchar(-1).
      return {{"varchar(200)", false, false}, {"nvarchar(200)", true, false},
              {"text", false, true},          {"ntext", true, true},
              {"varchar(-1)", false, true},   {"nvarchar(-1)", true, true}};
    case Engine::PostgreSQL:
      return {{"varchar(200)", true, false}, {"varchar", true, true}, {"text", true, true}};
    case Engine::MariaDB:
      return {{"varchar(200)", true, false},
              {"tinytext", true, false},
              {"text", true, false},
              {"mediumtext", true, true},
              {"longtext", true, true}};
  }
  return {};
}

// Longer than 64 KiB, with multi-byte characters at its end where a
// buffer boundary would cut them.
std::string longValue(bool unicode) {
  std::string s;
  for (int k = 0; k < 70000; ++k) s += char('a' + k % 26);
  return unicode ? s + "末尾😀" : s + "end";
}

std::vector<Value> valuesFor(const TextType& type) {
  std::vector<Value> values{std::nullopt, std::string(), std::string("it's \"q\" \\ `b`; --x")};
  if (type.unicode) {
    values.push_back(std::string("中文汉字"));
    values.push_back(std::string("😀 and 𝄞"));
  }
  if (type.holdsLong) {
    values.push_back(longValue(type.unicode));
    // About the end of a value's first read (512 bytes, or 256 UTF-16
    // units): just short of it, at it, past it, and a character split
    // across it.
    for (size_t n : {510, 511, 512, 513}) values.push_back(std::string(n, 'r'));
    if (type.unicode) {
      values.push_back(std::string(254, 'x') + "😀" + std::string(300, 'y'));
      values.push_back(std::string(255, 'x') + "😀" + std::string(300, 'y'));
      values.push_back(std::string(509, 'x') + "中文" + std::string(20, 'y'));
      values.push_back(std::string(510, 'x') + "😀" + std::string(20, 'y'));
    }
  }
  return values;
}

std::string show(const Value& v) {
  if (!v) return "NULL";
  return v->size() > 80 ? "'" + v->substr(0, 40) + "...' (" + std::to_string(v->size()) + " bytes)"
                        : "'" + *v + "'";
}

// The first column of every row, read through the layer under test.
std::vector<Value> readThroughLayer(trellick::db::Connection& conn, const std::string& sql) {
  std::vector<Value> out;
  auto rs = conn.Execute(sql);
  while (rs->State() == trellick::db::adStateOpen && !rs->Eof()) {
    const trellick::db::Variant v = rs->Fields().Item(0).Value();
    out.push_back(v.IsNull() ? Value() : Value(v.text()));
    rs->MoveNext();
  }
  return out;
}

class DbEngines : public testsupport::EngineFixture {};

TEST_P(DbEngines, everyTextTypeKeepsItsValues) {
  const std::vector<TextType> types = textTypes(engine());
  for (size_t t = 0; t < types.size(); ++t) {
    const std::string table = "texts" + std::to_string(t);
    SCOPED_TRACE(types[t].declaration);
    setup("create table " + table + "(id int primary key, v " + types[t].declaration + ");");
    const std::vector<Value> values = valuesFor(types[t]);
    for (size_t k = 0; k < values.size(); ++k) {
      ASSERT_EQ(conn().ExecuteParams(
                    "insert into " + table + "(id, v) values (" + std::to_string(k) + ", ?)",
                    {values[k]}),
                1);
    }
    const Rows stored = dump(table, {"v"}, "id");
    const std::vector<Value> read =
        readThroughLayer(conn(), "select v from " + table + " order by id");
    ASSERT_EQ(stored.size(), values.size());
    ASSERT_EQ(read.size(), values.size());
    for (size_t k = 0; k < values.size(); ++k) {
      EXPECT_EQ(stored[k].at(0), values[k])
          << "stored " << show(stored[k].at(0)) << ", sent " << show(values[k]);
      EXPECT_EQ(read[k], values[k]) << "read " << show(read[k]) << ", stored " << show(values[k]);
    }
  }
}

TEST_P(DbEngines, aFailingStatementCarriesTheServersDiagnostics) {
  setup("create table present(id int);");
  try {
    conn().Execute("select id from no_such_table");
    FAIL() << "a statement on a missing table succeeded";
  } catch (const trellick::db::DbError& e) {
    ASSERT_FALSE(e.records().empty());
    const std::string expected = [&] {
      switch (engine()) {
        case Engine::SQLite:
          return "HY000";
        case Engine::PostgreSQL:
          return "42P01";
        case Engine::SqlServer:
        case Engine::MariaDB:
          return "42S02";
      }
      return "";
    }();
    EXPECT_TRUE(e.hasSqlState(expected)) << e.description();
    const bool named =
        std::any_of(e.records().begin(), e.records().end(), [](const trellick::db::DiagRecord& r) {
          return r.message.find("no_such_table") != std::string::npos;
        });
    EXPECT_TRUE(named) << e.description();
    // What the operator sees holds the server's message.
    EXPECT_NE(e.description().find("no_such_table"), std::string::npos) << e.description();
  }
  // The connection stays usable after the failure.
  EXPECT_EQ(readThroughLayer(conn(), "select count(*) from present"),
            std::vector<Value>{std::string("0")});
}

TEST_P(DbEngines, aRolledBackTransactionLeavesTheDataUnchanged) {
  setup(
      "create table ledger(id int primary key, v varchar(50));"
      "insert into ledger(id, v) values (1, 'before'), (2, 'kept');");
  const Rows before = dump("ledger", {"id", "v"}, "id");
  ASSERT_EQ(before.size(), 2u);
  conn().BeginTrans();
  ASSERT_TRUE(conn().InTransaction());
  ASSERT_EQ(conn().ExecuteParams("update ledger set v = ? where id = 1", {std::string("after")}),
            1);
  ASSERT_EQ(conn().ExecuteParams("delete from ledger where id = 2", {}), 1);
  // The transaction itself sees its changes.
  ASSERT_EQ(readThroughLayer(conn(), "select v from ledger order by id"),
            std::vector<Value>{std::string("after")});
  conn().RollbackTrans();
  EXPECT_FALSE(conn().InTransaction());
  EXPECT_EQ(dump("ledger", {"id", "v"}, "id"), before);
  EXPECT_EQ(readThroughLayer(conn(), "select v from ledger order by id"),
            (std::vector<Value>{std::string("before"), std::string("kept")}));
}

// Statements and names holding characters a driver may measure wrongly in
// UTF-16 (a low byte of 0xD8 to 0xDB: 站 U+7AD9, 仙 U+4ED9; 他 U+4ED6 is
// not one) run as written, every time: a statement with hundreds, a
// literal ending in one, and a table named with them keeps its key, read
// through the catalog where the engine has no query of its own for it.
TEST_P(DbEngines, textOfEveryLowByteRunsAsWritten) {
  std::string many;
  for (int k = 0; k < 300; ++k) many += k % 3 ? "站" : "仙他";
  const std::string table = testsupport::clientName(engine(), "站仙");
  setup("create table " + table + "(id int primary key, v " + testsupport::shortText(engine(), 20) +
        ");");
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const std::string tail = round % 2 ? "站" : "a站仙";
    ASSERT_EQ(
        conn().ExecuteParams("insert into " + table + "(id, v) values (" + std::to_string(round) +
                                 ", " + testsupport::clientLiteral(engine(), tail) + ")",
                             {}),
        1);
    ASSERT_EQ(readThroughLayer(conn(), "select count(*) from " + table + " where v = " +
                                           testsupport::clientLiteral(engine(), tail) +
                                           " or v = " + testsupport::clientLiteral(engine(), many)),
              std::vector<Value>{std::to_string(round / 2 + 1)});
  }
  EXPECT_EQ(dump(table, {"v"}, "id").at(1).at(0), Value("站"));
  EXPECT_EQ(conn().RowKey("", "站仙"), std::vector<std::string>{"id"});
}

INSTANTIATE_TEST_SUITE_P(Engines, DbEngines, testsupport::allEngines(),
                         testsupport::EngineParamName());

}  // namespace
