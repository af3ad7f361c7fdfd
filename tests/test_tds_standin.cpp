// The SQL Server stand-in, proved through the real FreeTDS ODBC driver with raw
// ODBC calls: rows and their types, counts, errors, the driver's own refusals,
// catalog calls, parameters, text encodings, REPLACE's truncation and time-outs.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "support/files.h"
#include "support/odbc_text.h"
#include "support/tds_standin.h"

namespace {

using json = nlohmann::json;
using testsupport::fromWide;
using testsupport::Wide;
// A value as text; nullopt for NULL.
using Text = std::optional<std::string>;
using Row = std::vector<Text>;
using Rows = std::vector<Row>;
using Clock = std::chrono::steady_clock;

const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair
const std::string kChinese = "\xE4\xB8\xAD\xE6\x96\x87";

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool runSql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return false;
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  if (error) std::fprintf(stderr, "%s\n", error);
  sqlite3_free(error);
  sqlite3_close(db);
  return rc == SQLITE_OK;
}

// One value read from the file directly, past the stand-in; "<none>" if no row.
std::string fileValue(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out = "<none>";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* v = sqlite3_column_text(st, 0);
      out = v ? reinterpret_cast<const char*>(v) : "";
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

std::string longText(int n) {
  std::string s;
  s.reserve(n);
  for (int i = 0; i < n; ++i) s += char('a' + i % 26);
  return s;
}

// Each byte taken for the Latin-1 character of that code, in UTF-8.
std::string latin1ToUtf8(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += testsupport::toUtf8(std::u16string(1, char16_t(c)));
  return out;
}

struct Diag {
  std::string state;
  long native = 0;
  std::string message;
};

std::vector<Diag> diagnostics(SQLSMALLINT type, SQLHANDLE h) {
  std::vector<Diag> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR text[2048];
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, h, i, state, &native, text, 2048, &len))) break;
    out.push_back({fromWide(state, 5), long(native), fromWide(text, len)});
  }
  return out;
}

// The first record, or an empty one.
Diag first(const std::vector<Diag>& d) { return d.empty() ? Diag{} : d.front(); }

std::string describe(const std::vector<Diag>& d) {
  std::string lines;
  for (const Diag& x : d) {
    if (!lines.empty()) lines += '\n';
    lines += x.state + ' ' + std::to_string(x.native) + ' ' + x.message;
  }
  return lines;
}

bool hasState(const std::vector<Diag>& d, const std::string& state, const std::string& text = {}) {
  for (const Diag& x : d)
    if (x.state == state && x.message.find(text) != std::string::npos) return true;
  return false;
}

// A string member of a log entry, empty when it is missing or not a string.
std::string str(const json& e, const char* key) {
  const auto it = e.find(key);
  return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A boolean member of a log entry, false when it is missing or not a boolean.
bool flag(const json& e, const char* key) {
  const auto it = e.find(key);
  return it != e.end() && it->is_boolean() && it->get<bool>();
}

// A number member of a log entry, 0 when it is missing or not a number.
int integer(const json& e, const char* key) {
  const auto it = e.find(key);
  return it != e.end() && it->is_number() ? it->get<int>() : 0;
}

// The i-th parameter of a logged call as text, empty when it is not one.
std::string param(const json& call, size_t i) {
  const auto it = call.find("params");
  if (it == call.end() || !it->is_array() || i >= it->size()) return {};
  return (*it)[i].is_string() ? (*it)[i].get<std::string>() : std::string();
}

json lastOf(const std::vector<json>& entries) {
  return entries.empty() ? json::object() : entries.back();
}

std::string lastOf(const std::vector<std::string>& texts) {
  return texts.empty() ? std::string() : texts.back();
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// One ODBC connection to the stand-in, through the installed FreeTDS driver.
class Link {
 public:
  explicit Link(const testsupport::TdsStandin& server) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    Wide cs(server.connectionString(trellick::db::installedDrivers().tds));
    const SQLRETURN rc =
        SQLDriverConnectW(dbc_, nullptr, cs, cs.units(), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(rc);
    if (!connected_) error_ = describe(diagnostics(SQL_HANDLE_DBC, dbc_));
  }
  ~Link() {
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  bool connected() const { return connected_; }
  const std::string& error() const { return error_; }
  SQLHDBC dbc() const { return dbc_; }

 private:
  SQLHENV env_ = SQL_NULL_HANDLE;
  SQLHDBC dbc_ = SQL_NULL_HANDLE;
  bool connected_ = false;
  std::string error_;
};

class Stmt {
 public:
  explicit Stmt(const Link& link) { SQLAllocHandle(SQL_HANDLE_STMT, link.dbc(), &h_); }
  ~Stmt() { SQLFreeHandle(SQL_HANDLE_STMT, h_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  SQLHSTMT h() const { return h_; }
  SQLRETURN exec(const std::string& sql) { return SQLExecDirectW(h_, Wide(sql), SQL_NTS); }
  std::vector<Diag> diag() const { return diagnostics(SQL_HANDLE_STMT, h_); }
  // A column as text, nullopt for NULL; long values arrive in pieces.
  Text text(SQLUSMALLINT col) {
    std::u16string out;
    bool any = false;
    SQLWCHAR buf[4096];
    for (;;) {
      SQLLEN ind = 0;
      const SQLRETURN rc = SQLGetData(h_, col, SQL_C_WCHAR, buf, sizeof buf, &ind);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) return "<error " + describe(diag()) + ">";
      if (ind == SQL_NULL_DATA) return std::nullopt;
      any = true;
      const SQLLEN room = SQLLEN(sizeof buf / sizeof buf[0]) - 1;
      const SQLLEN chars = (ind == SQL_NO_TOTAL || ind / 2 > room) ? room : ind / 2;
      out += testsupport::utf16(buf, size_t(chars));
      if (rc == SQL_SUCCESS) break;
    }
    if (!any) return std::nullopt;
    return testsupport::toUtf8(out);
  }
  long long integer(SQLUSMALLINT col, bool* isNull = nullptr) {
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    SQLGetData(h_, col, SQL_C_SBIGINT, &v, 0, &ind);
    if (isNull) *isNull = ind == SQL_NULL_DATA;
    return v;
  }
  struct Column {
    std::string name;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
  };
  Column column(SQLUSMALLINT col) {
    SQLWCHAR name[256];
    SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeColW(h_, col, name, 256, &len, &type, &size, &digits, &nullable);
    return {fromWide(name, len), type, size};
  }
  Rows rows(int columns) {
    Rows out;
    while (SQL_SUCCEEDED(SQLFetch(h_))) {
      Row row;
      for (int c = 1; c <= columns; ++c) row.push_back(text(SQLUSMALLINT(c)));
      out.push_back(row);
    }
    return out;
  }

 private:
  SQLHSTMT h_ = SQL_NULL_HANDLE;
};

class TdsStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<testsupport::TempDir>();
    ASSERT_TRUE(dir_->valid()) << dir_->error();
    main_ = dir_->file("shop.db");
    sales_ = dir_->file("sales.db");
    // varchar(-1) is how a SQLite file declares varchar(max).
    ASSERT_TRUE(runSql(main_,
                       "create table Orders(id integer primary key, v varchar(5000), n "
                       "nvarchar(50), c char(4), t text, nt ntext, m varchar(-1), k int, "
                       "g varchar(10) generated always as (upper(substr(v, 1, 3))) virtual);"
                       "create view OrdersView as select id, v from Orders;"
                       "create table Guarded(id integer primary key, s varchar(10));"
                       "insert into Guarded values (1, 'kept');"
                       "create trigger GuardedReadOnly before update on Guarded "
                       "begin select raise(abort, 'Guarded rows are read-only'); end;"
                       "create table Notes(id integer primary key, v varchar(5000));"
                       "create table Checked(x int check (x > 0));"));
    ASSERT_TRUE(runSql(main_, "insert into Orders(id, v, n, c, t, nt, m, k) values (1, 'abc', '" +
                                  kChinese + kEmoji + "', 'ab', 'plain text', 'wide " + kChinese +
                                  "', '" + long_ +
                                  "', 7), (2, 'x', null, null, null, null, null, null);"
                                  "insert into Notes values (1, '" +
                                  std::string(4500, 'a') + "');"));
    ASSERT_TRUE(runSql(sales_,
                       "create table Orders(oid integer primary key, note varchar(10));"
                       "insert into Orders values (1, 'sold');"));
    server_ = std::make_unique<testsupport::TdsStandin>(
        main_, std::vector<testsupport::TdsStandin::Schema>{{"sales", sales_}});
    ASSERT_TRUE(server_->port() > 0) << server_->errorText();
  }

  void TearDown() override {
    if (server_) {
      const std::string errors = server_->errorText();
      server_.reset();
      EXPECT_TRUE(errors.empty()) << errors;
    }
    dir_.reset();
  }

  std::unique_ptr<testsupport::TempDir> dir_;
  std::unique_ptr<testsupport::TdsStandin> server_;
  std::string main_, sales_;
  std::string long_ = longText(100000);
};

TEST_F(TdsStandinTest, loginIsLogged) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  const std::vector<json> log = server_->log();
  ASSERT_FALSE(log.empty());
  const json login = log[0];
  ASSERT_EQ(str(login, "type"), "login");
  ASSERT_EQ(str(login, "user"), "sa");
  ASSERT_EQ(str(login, "password"), "x");
  ASSERT_EQ(str(login, "database"), "shop");
  ASSERT_EQ(str(login, "app"), "Trellick");
  ASSERT_EQ(server_->serverField(), "127.0.0.1," + std::to_string(server_->port()));
}

TEST_F(TdsStandinTest, selectReturnsTypedRows) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select * from Orders order by id"))) << describe(s.diag());
  SQLSMALLINT columns = 0;
  SQLNumResultCols(s.h(), &columns);
  ASSERT_EQ(columns, SQLSMALLINT(9));  // the generated column too, as select * on the server

  // The driver's ODBC types follow the TDS types the server announced; FreeTDS
  // shows varchar(max) as SQL_VARCHAR of unlimited (0) size
  // (data_generic_set_type_info() in odbc_data.c).
  const std::vector<std::pair<std::string, SQLSMALLINT>> expected{
      {"id", SQL_INTEGER}, {"v", SQL_VARCHAR},     {"n", SQL_WVARCHAR},
      {"c", SQL_CHAR},     {"t", SQL_LONGVARCHAR}, {"nt", SQL_WLONGVARCHAR},
      {"m", SQL_VARCHAR},  {"k", SQL_INTEGER},     {"g", SQL_VARCHAR}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const Stmt::Column c = s.column(SQLUSMALLINT(i + 1));
    ASSERT_EQ(c.name, expected[i].first);
    ASSERT_EQ(c.type, expected[i].second);
  }
  ASSERT_EQ(s.column(2).size, SQLULEN(5000));
  ASSERT_EQ(s.column(3).size, SQLULEN(50));
  ASSERT_EQ(s.column(4).size, SQLULEN(4));
  ASSERT_EQ(s.column(7).size, SQLULEN(0));

  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s.h())));
  ASSERT_EQ(s.integer(1), 1LL);
  ASSERT_EQ(s.text(2), "abc");
  ASSERT_EQ(s.text(3), kChinese + kEmoji);
  ASSERT_EQ(s.text(4), "ab  ");  // char(4) is padded
  ASSERT_EQ(s.text(5), "plain text");
  ASSERT_EQ(s.text(6), "wide " + kChinese);
  const Text m = s.text(7);
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->size(), long_.size());
  ASSERT_TRUE(*m == long_);
  ASSERT_EQ(s.integer(8), 7LL);
  ASSERT_EQ(s.text(9), "ABC");

  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s.h())));
  ASSERT_EQ(s.integer(1), 2LL);
  ASSERT_FALSE(s.text(3).has_value());
  ASSERT_FALSE(s.text(7).has_value());
  bool isNull = false;
  s.integer(8, &isNull);
  ASSERT_TRUE(isNull);
  ASSERT_EQ(SQLFetch(s.h()), SQLRETURN(SQL_NO_DATA));
}

TEST_F(TdsStandinTest, countsAndRowCounts) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select count(*) from Orders")));
  ASSERT_EQ(s.column(1).type, SQLSMALLINT(SQL_INTEGER));  // count(*) is int
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s.h())));
  ASSERT_EQ(s.integer(1), 2LL);
  SQLCloseCursor(s.h());

  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("update Orders set k = 5")));
  SQLLEN count = -1;
  SQLRowCount(s.h(), &count);
  ASSERT_EQ(count, SQLLEN(2));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("update Orders set k = 6 where id = 2")));
  SQLRowCount(s.h(), &count);
  ASSERT_EQ(count, SQLLEN(1));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select k from Orders order by id")));
  ASSERT_EQ(s.rows(1), (Rows{{"5"}, {"6"}}));
}

TEST_F(TdsStandinTest, errorsComeBackAsTheServersErrors) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  ASSERT_EQ(s.exec("select * from Nowhere"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "42S02", "Invalid object name 'Nowhere'")) << describe(s.diag());
  ASSERT_EQ(first(s.diag()).native, 208L);

  ASSERT_EQ(s.exec("selec 1"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "42000", "Incorrect syntax near")) << describe(s.diag());
  ASSERT_EQ(first(s.diag()).native, 102L);

  ASSERT_EQ(s.exec("update Guarded set s = 'changed'"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "42000", "Guarded rows are read-only")) << describe(s.diag());

  // A value longer than the declared size is refused, not stored.
  ASSERT_EQ(s.exec("update Guarded set s = 'x' where id = 2"), SQLRETURN(SQL_SUCCESS));
  ASSERT_EQ(s.exec("insert into Guarded values (3, 'eleven char')"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "22001", "String or binary data would be truncated"))
      << describe(s.diag());
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select count(*) from Guarded")));
  ASSERT_EQ(s.rows(1), (Rows{{"1"}}));

  ASSERT_EQ(s.exec("insert into Checked values (-1)"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "23000", "CHECK constraint failed")) << describe(s.diag());

  std::vector<std::string> numbers;
  for (const json& e : server_->log())
    if (str(e, "type") == "error") numbers.push_back(std::to_string(integer(e, "number")));
  ASSERT_EQ(numbers, (std::vector<std::string>{"208", "102", "50000", "8152", "547"}));
}

TEST_F(TdsStandinTest, secondStatementWhileResultsPendingIsRefusedByTheDriver) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt first(link), second(link);
  ASSERT_TRUE(SQL_SUCCEEDED(first.exec("select * from Orders")));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(first.h())));
  // Without MARS one connection carries one pending result: odbc_lock_statement()
  // in FreeTDS's odbc.c refuses another statement with 24000.
  ASSERT_EQ(second.exec("select count(*) from Guarded"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(second.diag(), "24000", "Invalid cursor state")) << describe(second.diag());
  ASSERT_FALSE(contains(server_->batches(), "select count(*) from Guarded"));
  // Closing with rows unread makes FreeTDS cancel; the stand-in acknowledges.
  SQLCloseCursor(first.h());
  ASSERT_EQ(str(lastOf(server_->log()), "type"), "attention");
  ASSERT_TRUE(SQL_SUCCEEDED(second.exec("select count(*) from Guarded")));
  ASSERT_EQ(second.rows(1), (Rows{{"1"}}));
}

TEST_F(TdsStandinTest, catalogCalls) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0, Wide("TABLE"), SQL_NTS)));
  ASSERT_EQ(s.column(2).name, "TABLE_SCHEM");
  Rows tables;
  for (const Row& r : s.rows(4)) tables.push_back({r[1], r[2], r[3]});
  ASSERT_EQ(tables, (Rows{{"dbo", "Checked", "TABLE"},
                          {"dbo", "Guarded", "TABLE"},
                          {"dbo", "Notes", "TABLE"},
                          {"dbo", "Orders", "TABLE"},
                          {"sales", "Orders", "TABLE"}}));
  // FreeTDS sends SQLTables as an RPC to sp_tables with the type quoted.
  const json call = lastOf(server_->log());
  ASSERT_EQ(str(call, "type"), "rpc");
  ASSERT_EQ(str(call, "proc"), "sp_tables");
  ASSERT_TRUE(call.contains("params") && call["params"].is_array());
  ASSERT_TRUE(std::find(call["params"].begin(), call["params"].end(), json("'TABLE'")) !=
              call["params"].end())
      << call.dump();

  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0, Wide("VIEW"), SQL_NTS)));
  ASSERT_EQ(s.rows(4), (Rows{{"shop", "dbo", "OrdersView", "VIEW"}}));

  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLPrimaryKeysW(s.h(), nullptr, 0, Wide("sales"), SQL_NTS, Wide("Orders"), SQL_NTS)));
  ASSERT_EQ(s.rows(6), (Rows{{"shop", "sales", "Orders", "oid", "1", "PK_Orders"}}));
  ASSERT_EQ(str(lastOf(server_->log()), "proc"), "sp_pkeys");

  ASSERT_TRUE(
      SQL_SUCCEEDED(s.exec("select name, is_computed from sys.columns where object_id = "
                           "object_id(N'[dbo].[Orders]') order by column_id")));
  ASSERT_EQ(s.rows(2), (Rows{{"id", "0"},
                             {"v", "0"},
                             {"n", "0"},
                             {"c", "0"},
                             {"t", "0"},
                             {"nt", "0"},
                             {"m", "0"},
                             {"k", "0"},
                             {"g", "1"}}));
  ASSERT_TRUE(
      SQL_SUCCEEDED(s.exec("select count(*) from sys.columns where object_id = "
                           "object_id(N'[sales].[Orders]')")));
  ASSERT_EQ(s.rows(1), (Rows{{"2"}}));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select object_id(N'[sales].[Nothing]')")));
  ASSERT_EQ(s.rows(1), (Rows{{std::nullopt}}));

  // The indexes: the clustered primary key or a heap, then the others,
  // a unique constraint's named by the server. SQL Server has no index on
  // an expression.
  ASSERT_TRUE(runSql(main_,
                     "create table Codes(code varchar(20) not null unique, alt int, part int);"
                     "create unique index CodesAlt on Codes(alt desc, code);"
                     "create unique index CodesPart on Codes(part) where part > 0;"
                     "create index CodesLower on Codes(lower(code));"));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec(
      "select i.name, i.index_id, i.type_desc, i.is_unique, i.is_primary_key, "
      "i.is_unique_constraint, i.has_filter, c.name, ic.key_ordinal, ic.is_descending_key, "
      "ic.is_included_column from sys.indexes i left join sys.index_columns ic on "
      "ic.object_id = i.object_id and ic.index_id = i.index_id left join sys.columns c on "
      "c.object_id = ic.object_id and c.column_id = ic.column_id where i.object_id in "
      "(object_id(N'[dbo].[Orders]'), object_id(N'Codes')) order by i.object_id, i.index_id, "
      "ic.key_ordinal")));
  Rows indexes = s.rows(11);
  ASSERT_EQ(indexes.size(), 6u);
  ASSERT_TRUE(indexes[2][0].value_or("").rfind("UQ__Codes__", 0) == 0)
      << indexes[2][0].value_or("<NULL>");
  indexes[2][0] = "UQ";
  const Text null;
  ASSERT_EQ(indexes,
            (Rows{{"PK_Orders", "1", "CLUSTERED", "1", "1", "0", "0", "id", "1", "0", "0"},
                  {null, "0", "HEAP", "0", "0", "0", "0", null, null, null, null},
                  {"UQ", "2", "NONCLUSTERED", "1", "0", "1", "0", "code", "1", "0", "0"},
                  {"CodesAlt", "3", "NONCLUSTERED", "1", "0", "0", "0", "alt", "1", "1", "0"},
                  {"CodesAlt", "3", "NONCLUSTERED", "1", "0", "0", "0", "code", "2", "0", "0"},
                  {"CodesPart", "4", "NONCLUSTERED", "1", "0", "0", "1", "part", "1", "0", "0"}}));
}

TEST_F(TdsStandinTest, boundParameters) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  const std::string value = kChinese + kEmoji;
  Wide wideValue(value);
  SQLLEN len = wideValue.bytes();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(s.h(), 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                             50, 0, wideValue, len, &len)));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select id from Orders where n = ?"))) << describe(s.diag());
  ASSERT_EQ(s.rows(1), (Rows{{"1"}}));
  json call = lastOf(server_->log());
  ASSERT_EQ(str(call, "proc"), "sp_executesql");
  ASSERT_EQ(param(call, 0), "select id from Orders where n = @P1");
  ASSERT_EQ(param(call, 2), value);

  // SQLPrepare then SQLExecute: sp_prepexec first, then sp_execute with the handle.
  SQLFreeStmt(s.h(), SQL_CLOSE);
  SQLINTEGER key = 2;
  SQLLEN keyLen = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(s.h(), 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0,
                                             0, &key, 0, &keyLen)));
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLPrepareW(s.h(), Wide("select v from Orders where id = ?"), SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(s.h()))) << describe(s.diag());
  ASSERT_EQ(s.rows(1), (Rows{{"x"}}));
  key = 1;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(s.h()))) << describe(s.diag());
  ASSERT_EQ(s.rows(1), (Rows{{"abc"}}));
  ASSERT_EQ(lastOf(server_->batches()), "select v from Orders where id = @P1");

  // Asking for the columns before the first SQLExecute makes FreeTDS prepare
  // alone (odbc_update_ird() -> odbc_prepare() -> sp_prepare with
  // RETURN_METADATA), then execute by handle.
  Stmt p(link);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(p.h(), 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0,
                                             0, &key, 0, &keyLen)));
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLPrepareW(p.h(), Wide("select count(*), max(v) from Orders where id >= ?"), SQL_NTS)));
  SQLSMALLINT columns = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLNumResultCols(p.h(), &columns))) << describe(p.diag());
  ASSERT_EQ(columns, SQLSMALLINT(2));
  ASSERT_EQ(p.column(1).type, SQLSMALLINT(SQL_INTEGER));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(p.h()))) << describe(p.diag());
  ASSERT_EQ(p.rows(2), (Rows{{"2", "x"}}));
  key = 2;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(p.h()))) << describe(p.diag());
  ASSERT_EQ(p.rows(2), (Rows{{"1", "x"}}));

  std::vector<std::string> procs;
  for (const json& e : server_->log())
    if (str(e, "type") == "rpc") procs.push_back(str(e, "proc"));
  ASSERT_EQ(procs, (std::vector<std::string>{"sp_executesql", "sp_prepexec", "sp_execute",
                                             "sp_prepare", "sp_execute", "sp_execute"}));
  // Preparing again on the same statement gives the old handle back first
  // (odbc_free_dynamic() -> tds_submit_unprepare()).
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFreeStmt(p.h(), SQL_RESET_PARAMS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepareW(p.h(), Wide("select count(*) from Guarded"), SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(p.h()))) << describe(p.diag());
  ASSERT_EQ(p.rows(1), (Rows{{"1"}}));
  std::vector<json> calls;
  for (const json& e : server_->log())
    if (str(e, "type") == "rpc") calls.push_back(e);
  ASSERT_EQ(calls.size(), 8u);
  ASSERT_EQ(str(calls[6], "proc"), "sp_unprepare");
  // The handle sp_prepare gave out is the one returned.
  ASSERT_EQ(param(calls[6], 0), "2");
  ASSERT_EQ(str(calls[7], "proc"), "sp_prepexec");
}

TEST_F(TdsStandinTest, wideTextArrivesIntactNarrowTextUnderCLocaleDoesNot) {
  // unixODBC picks the character set of narrow calls when the connection opens
  // (unicode_setup() from nl_langinfo(CODESET)): open it in the C locale.
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");
  Link link(*server_);
  std::setlocale(LC_ALL, previous.c_str());
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  const std::string wideSql = "select N'" + kEmoji + "'";
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec(wideSql)));
  ASSERT_EQ(s.rows(1), (Rows{{kEmoji}}));
  ASSERT_EQ(lastOf(server_->batches()), wideSql);

  // The same text through the narrow entry point. The connection was opened with
  // SQLDriverConnectW, so unixODBC passes the narrow call to the driver's wide one
  // (SQLExecDirect.c, unicode_driver), converting with ansi_to_unicode_copy(): iconv
  // from ASCII fails on the UTF-8 bytes and the fallback widens each byte on its own.
  // The server sees four Latin-1 characters, not the emoji.
  std::string narrow = wideSql;
  const SQLRETURN rc = SQLExecDirect(s.h(), reinterpret_cast<SQLCHAR*>(narrow.data()), SQL_NTS);
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << describe(s.diag());
  const std::string arrived = lastOf(server_->batches());
  ASSERT_TRUE(arrived != wideSql);
  ASSERT_TRUE(arrived.find(kEmoji) == std::string::npos);
  ASSERT_EQ(arrived, "select N'" + latin1ToUtf8("\xF0\x9F\x98\x80") + "'");
}

TEST_F(TdsStandinTest, literalsAndFunctions) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  // Only an N right before a literal's quote goes; doubled quotes stay literal.
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select N'it''s', 'say N''hi''', N'N''', 'N' as [colN]")))
      << describe(s.diag());
  ASSERT_EQ(s.column(4).name, "colN");
  ASSERT_EQ(s.rows(4), (Rows{{"it's", "say N'hi'", "N'", "N"}}));
  ASSERT_TRUE(
      SQL_SUCCEEDED(s.exec("select schema_name(), db_name(), len('ab  '), "
                           "replace('aAbA', 'a', 'x'), replace(null, 'a', 'b'), "
                           "replace('abc', '', 'x')")));
  ASSERT_EQ(s.rows(6), (Rows{{"dbo", "shop", "2", "xxbx", std::nullopt, "abc"}}));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select count(*) from [dbo].[Orders] where v like 'ABC'")));
  ASSERT_EQ(s.rows(1), (Rows{{"1"}}));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select note from [sales].[Orders]")));
  ASSERT_EQ(s.rows(1), (Rows{{"sold"}}));
  // A varchar column holds CP1252: other characters come back as '?'.
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("update Orders set v = N'" + kChinese + "é' where id = 2")));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select v, n from Orders where id = 2")));
  ASSERT_EQ(s.rows(2), (Rows{{"??é", std::nullopt}}));
}

TEST_F(TdsStandinTest, replaceTruncatesLikeTheServer) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  // varchar(5000) with N'' arguments: REPLACE's result is nvarchar(4000).
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("Update Notes set v=Replace(v,N'a',N'b')")));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select v from Notes")));
  ASSERT_EQ(s.rows(1), (Rows{{std::string(4000, 'b')}}));

  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("update Notes set v = '" + std::string(4500, 'a') + "'")));
  ASSERT_TRUE(
      SQL_SUCCEEDED(s.exec("Update Notes set v=Replace(cast(v as varchar(max)),N'A',N'b')")));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select len(v), v from Notes")));
  ASSERT_EQ(s.rows(2), (Rows{{"4500", std::string(4500, 'b')}}));
}

TEST_F(TdsStandinTest, maintenanceStatements) {
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  ASSERT_EQ(s.exec("dump transaction shop with no_log"), SQLRETURN(SQL_ERROR));
  ASSERT_EQ(first(s.diag()).native, 102L);
  ASSERT_EQ(s.exec("backup log shop with no_log"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(
      hasState(s.diag(), first(s.diag()).state, "'no_log' is not a recognized BACKUP option."))
      << describe(s.diag());
  ASSERT_EQ(first(s.diag()).native, 155L);
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("dbcc shrinkdatabase(shop)")));
  SQLFreeStmt(s.h(), SQL_CLOSE);

  // Two statements, two results.
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select * from sysfiles DBCC SHRINKFILE(1)")));
  ASSERT_EQ(s.column(1).name, "fileid");
  ASSERT_EQ(s.rows(1), (Rows{{"1"}, {"2"}}));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLMoreResults(s.h())));
  ASSERT_EQ(s.column(1).name, "DbId");
  ASSERT_EQ(s.rows(2), (Rows{{"5", "1"}}));
  // The DBCC's closing message comes after its rows: the driver shows it as one
  // more result without columns.
  ASSERT_EQ(SQLMoreResults(s.h()), SQLRETURN(SQL_SUCCESS_WITH_INFO));
  ASSERT_TRUE(hasState(s.diag(), "01000", "DBCC execution completed.")) << describe(s.diag());
  SQLSMALLINT columns = -1;
  SQLNumResultCols(s.h(), &columns);
  ASSERT_EQ(columns, SQLSMALLINT(0));
  ASSERT_EQ(SQLMoreResults(s.h()), SQLRETURN(SQL_NO_DATA));

  ASSERT_EQ(s.exec("EXEC sp_dboption 'shop', 'autoshrink', 'TRUE'"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(
      hasState(s.diag(), first(s.diag()).state, "Could not find stored procedure 'sp_dboption'."))
      << describe(s.diag());
  ASSERT_EQ(first(s.diag()).native, 2812L);
}

TEST_F(TdsStandinTest, rejectedByTheControlFile) {
  server_->setControl(json{{"reject", json::array({"Guarded"})}});
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  ASSERT_EQ(s.exec("select * from Guarded"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "42000", "rejected by the test"));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select count(*) from Orders")));
}

TEST_F(TdsStandinTest, transactionsEndAsTheDriverAsks) {
  const std::string guarded = "select group_concat(id || ':' || s, ',') from Guarded";
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  auto trans = [&] {
    std::vector<json> out;
    for (const json& e : server_->log())
      if (str(e, "type") == "tran") out.push_back(e);
    return out;
  };
  auto lastBatch = [&] {
    json out = json::object();
    for (const json& e : server_->log())
      if (str(e, "type") == "batch") out = e;
    return out;
  };
  const std::string none = "0000000000000000";
  Stmt s(link);
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (2, 'auto')")));
  // Outside a transaction FreeTDS sends a zero descriptor (tds_start_query_head()).
  ASSERT_EQ(str(lastBatch(), "descriptor"), none);
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto");

  // Autocommit off is a begin request (change_autocommit() -> tds_submit_begin_tran()).
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(
      link.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  ASSERT_EQ(trans().size(), 1u);
  ASSERT_EQ(str(lastOf(trans()), "op"), "begin");
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (3, 'undone')")))
      << describe(s.diag());
  // The request carries the descriptor the begin's ENVCHANGE gave
  // (tds_process_env_chg() keeps it in tds72_transaction).
  const std::string firstDescriptor = str(lastBatch(), "descriptor");
  ASSERT_TRUE(firstDescriptor != none && !firstDescriptor.empty()) << firstDescriptor;
  // Not committed: another reader does not see it.
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto");

  // SQLEndTran is a rollback request with cont 1 (change_transaction()):
  // a new transaction begins at once.
  ASSERT_TRUE(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link.dbc(), SQL_ROLLBACK)))
      << describe(diagnostics(SQL_HANDLE_DBC, link.dbc()));
  ASSERT_EQ(trans().size(), 2u);
  ASSERT_EQ(str(lastOf(trans()), "op"), "rollback");
  ASSERT_EQ(flag(lastOf(trans()), "cont"), true);
  ASSERT_EQ(str(lastOf(trans()), "descriptor"), firstDescriptor);
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto");

  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (4, 'kept too')")))
      << describe(s.diag());
  const std::string secondDescriptor = str(lastBatch(), "descriptor");
  ASSERT_TRUE(secondDescriptor != none && secondDescriptor != firstDescriptor) << secondDescriptor;
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select count(*) from Guarded")));
  ASSERT_EQ(s.rows(1), (Rows{{"3"}}));  // its own insert, seen in it
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link.dbc(), SQL_COMMIT)))
      << describe(diagnostics(SQL_HANDLE_DBC, link.dbc()));
  ASSERT_EQ(str(lastOf(trans()), "op"), "commit");
  ASSERT_EQ(flag(lastOf(trans()), "cont"), true);
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto,4:kept too");

  // Autocommit back on rolls back the transaction the commit began
  // (change_autocommit() -> tds_submit_rollback(tds, 0)).
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (5, 'dropped')")));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(link.dbc(), SQL_ATTR_AUTOCOMMIT,
                                              reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0)));
  ASSERT_EQ(str(lastOf(trans()), "op"), "rollback");
  ASSERT_EQ(flag(lastOf(trans()), "cont"), false);
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto,4:kept too");
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (6, 'auto too')")));
  ASSERT_EQ(str(lastBatch(), "descriptor"), none);
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,2:auto,4:kept too,6:auto too");
  // Committing in autocommit mode sends nothing (change_transaction()).
  ASSERT_TRUE(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link.dbc(), SQL_COMMIT)));
  ASSERT_EQ(trans().size(), 4u);
}

TEST_F(TdsStandinTest, transactionStatementsInABatch) {
  // Before TDS 7.2 FreeTDS ends a transaction with these batches
  // (tds_submit_commit() and tds_submit_rollback() in query.c); a batch that
  // begins or ends one is answered with the same ENVCHANGE as the requests,
  // so the driver's descriptor follows it.
  const std::string guarded = "select group_concat(id || ':' || s, ',') from Guarded";
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  auto descriptors = [&] {
    std::vector<std::string> out;
    for (const json& e : server_->log())
      if (str(e, "type") == "batch") out.push_back(str(e, "descriptor"));
    return out;
  };
  Stmt s(link);
  // No rows and no count: the driver says SQL_NO_DATA.
  ASSERT_EQ(s.exec("BEGIN TRANSACTION"), SQLRETURN(SQL_NO_DATA));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (2, 'undone')")));
  ASSERT_EQ(s.exec("IF @@TRANCOUNT > 0 ROLLBACK BEGIN TRANSACTION"), SQLRETURN(SQL_NO_DATA));
  ASSERT_EQ(fileValue(main_, guarded), "1:kept");
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (3, 'kept too')")));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select @@trancount")));
  ASSERT_EQ(s.rows(1), (Rows{{"1"}}));
  ASSERT_EQ(fileValue(main_, guarded), "1:kept");
  ASSERT_EQ(s.exec("IF @@TRANCOUNT > 0 COMMIT"), SQLRETURN(SQL_NO_DATA));
  ASSERT_EQ(fileValue(main_, guarded), "1:kept,3:kept too");
  // Nothing open: nothing done.
  ASSERT_EQ(s.exec("IF @@TRANCOUNT > 0 COMMIT"), SQLRETURN(SQL_NO_DATA));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select @@trancount")));
  ASSERT_EQ(s.rows(1), (Rows{{"0"}}));
  ASSERT_EQ(s.exec("COMMIT TRANSACTION"), SQLRETURN(SQL_ERROR));
  ASSERT_EQ(first(s.diag()).native, 3902L);

  const std::vector<std::string> d = descriptors();
  ASSERT_EQ(d.size(), 9u);
  const std::string none = "0000000000000000";
  ASSERT_EQ(d[0], none);
  ASSERT_TRUE(d[1] != none);
  ASSERT_EQ(d[2], d[1]);
  ASSERT_TRUE(d[3] != none && d[3] != d[1]);
  ASSERT_EQ(d[4], d[3]);
  ASSERT_EQ(d[5], d[3]);
  ASSERT_EQ(std::vector<std::string>(d.begin() + 6, d.end()),
            (std::vector<std::string>{none, none, none}));
}

TEST_F(TdsStandinTest, aSessionThatEndsTakesItsTransactionWithIt) {
  auto rolledBackOnDisconnect = [&](int wait) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait);
    do {
      for (const json& e : server_->log())
        if (str(e, "type") == "tran" && str(e, "cause") == "disconnect") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return false;
  };
  {
    Link link(*server_);
    ASSERT_TRUE(link.connected()) << link.error();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(
        link.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
    Stmt s(link);
    ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (5, 'lost')")));
    ASSERT_TRUE(SQL_SUCCEEDED(s.exec("update Notes set v = 'lost'")));
    // SQLDisconnect sends no commit: it closes the socket (tds_close_socket()).
  }
  ASSERT_TRUE(rolledBackOnDisconnect(5000));
  ASSERT_EQ(fileValue(main_, "select count(*) from Guarded"), "1");
  ASSERT_EQ(fileValue(main_, "select v from Notes"), std::string(4500, 'a'));

  // The driver gives up on a server that does not answer its cancel and
  // drops the socket (see unacknowledgedCancelKillsTheConnection).
  server_->setControl(json{{"delays", {{"Orders", 10.0}}}, {"attention_delay", 5.0}});
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(
      link.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  Stmt s(link);
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("insert into Guarded values (6, 'cut')")));
  SQLSetStmtAttr(s.h(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
  ASSERT_EQ(s.exec("select * from Orders"), SQLRETURN(SQL_ERROR));
  ASSERT_EQ(s.exec("select 1"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "08S01")) << describe(s.diag());
  int disconnects = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (disconnects < 2 && Clock::now() < deadline) {
    disconnects = 0;
    for (const json& e : server_->log())
      disconnects += str(e, "type") == "tran" && str(e, "cause") == "disconnect";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(disconnects, 2);
  ASSERT_EQ(fileValue(main_, "select count(*) from Guarded"), "1");
}

TEST_F(TdsStandinTest, queryTimeoutCancelsAndTheConnectionSurvives) {
  server_->setControl(json{{"delays", {{"Orders", 10.0}}}, {"attention_delay", 0}});
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  SQLSetStmtAttr(s.h(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
  const auto start = Clock::now();
  ASSERT_EQ(s.exec("update Orders set k = 99"), SQLRETURN(SQL_ERROR));
  const long long elapsed = msSince(start);
  ASSERT_TRUE(hasState(s.diag(), "HYT00")) << describe(s.diag());
  ASSERT_TRUE(elapsed >= 1800 && elapsed < 3500) << elapsed;
  ASSERT_EQ(str(lastOf(server_->log()), "type"), "attention");

  // Acknowledged at once: the connection carries on, and the update never ran.
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select s from Guarded"))) << describe(s.diag());
  ASSERT_EQ(s.rows(1), (Rows{{"kept"}}));
  server_->setControl(json::object());
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select count(*) from Orders where k = 99")));
  ASSERT_EQ(s.rows(1), (Rows{{"0"}}));
}

TEST_F(TdsStandinTest, unacknowledgedCancelKillsTheConnection) {
  // After a time-out FreeTDS sends the cancel and waits one more query time-out
  // for its acknowledgement (odbc_errmsg_handler() in odbc.c returns
  // TDS_INT_TIMEOUT the first time, tdserror() in util.c sends the cancel and
  // reads on; the second time-out, with in_cancel set, closes the socket).
  server_->setControl(json{{"delays", {{"Orders", 10.0}}}, {"attention_delay", 5.0}});
  Link link(*server_);
  ASSERT_TRUE(link.connected()) << link.error();
  Stmt s(link);
  SQLSetStmtAttr(s.h(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
  const auto start = Clock::now();
  ASSERT_EQ(s.exec("select * from Orders"), SQLRETURN(SQL_ERROR));
  const long long elapsed = msSince(start);
  ASSERT_TRUE(hasState(s.diag(), "HYT00")) << describe(s.diag());
  ASSERT_TRUE(elapsed >= 3800 && elapsed < 5500) << elapsed;
  ASSERT_EQ(s.exec("select s from Guarded"), SQLRETURN(SQL_ERROR));
  ASSERT_TRUE(hasState(s.diag(), "08S01")) << describe(s.diag());
}

}  // namespace
