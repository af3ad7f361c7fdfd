// What the real psqlodbc driver does against a real PostgreSQL 15 server started
// by the test, through raw wide ODBC calls. Each case pins one behaviour the
// database layer relies on, so a driver upgrade that changes it fails here.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <sqlucode.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/md5.h"
#include "support/odbc_driver.h"
#include "support/odbc_text.h"
#include "support/pg_server.h"
#include "support/process.h"

namespace {

using testsupport::fromWide;
using testsupport::Wide;
// A value as text; nullopt for NULL.
using Text = std::optional<std::string>;
using Row = std::vector<Text>;
using Rows = std::vector<Row>;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// s with every `from` replaced by `to`.
std::string replaced(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string hexUtf8(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 0xf];
  }
  return out;
}

struct Diag {
  std::string state;
  std::string message;
  std::string text() const { return state + ' ' + message; }
};

Diag firstDiag(SQLSMALLINT type, SQLHANDLE h) {
  SQLWCHAR state[6] = {};
  SQLWCHAR msg[1024] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  Diag d;
  if (SQL_SUCCEEDED(SQLGetDiagRecW(type, h, 1, state, &native, msg, 1024, &len))) {
    d.state = fromWide(state, 5);
    d.message = fromWide(msg, std::min<size_t>(len, 1023));
  }
  return d;
}

SQLHENV env() {
  static SQLHENV h = [] {
    SQLHENV e = SQL_NULL_HENV;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e);
    SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return e;
  }();
  return h;
}

class Conn {
 public:
  Conn() { SQLAllocHandle(SQL_HANDLE_DBC, env(), &h_); }
  ~Conn() {
    if (connected_) SQLDisconnect(h_);
    SQLFreeHandle(SQL_HANDLE_DBC, h_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  bool connect(const std::string& cs) {
    SQLWCHAR out[1024];
    SQLSMALLINT outLen = 0;
    const SQLRETURN rc =
        SQLDriverConnectW(h_, nullptr, Wide(cs), SQL_NTS, out, 1024, &outLen, SQL_DRIVER_NOPROMPT);
    rc_ = rc;
    connected_ = SQL_SUCCEEDED(rc);
    diag_ = connected_ ? Diag{} : firstDiag(SQL_HANDLE_DBC, h_);
    return connected_;
  }
  std::string info(SQLUSMALLINT what) {
    SQLWCHAR buf[256] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(h_, what, buf, sizeof buf, &len))) return "?";
    return fromWide(buf, size_t(len) / 2);
  }
  SQLHDBC h() const { return h_; }
  Diag diag() const { return diag_; }
  SQLRETURN rc() const { return rc_; }

 private:
  SQLHDBC h_ = SQL_NULL_HDBC;
  SQLRETURN rc_ = SQL_SUCCESS;
  bool connected_ = false;
  Diag diag_;
};

class Stmt {
 public:
  explicit Stmt(Conn& c) { SQLAllocHandle(SQL_HANDLE_STMT, c.h(), &h_); }
  ~Stmt() { SQLFreeHandle(SQL_HANDLE_STMT, h_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  SQLRETURN exec(const std::string& sql) {
    SQLFreeStmt(h_, SQL_CLOSE);
    last_ = SQLExecDirectW(h_, Wide(sql), SQL_NTS);
    diag_ = SQL_SUCCEEDED(last_) ? Diag{} : firstDiag(SQL_HANDLE_STMT, h_);
    return last_;
  }
  bool ok(const std::string& sql) { return SQL_SUCCEEDED(exec(sql)) || last_ == SQL_NO_DATA; }
  bool fetch() { return SQL_SUCCEEDED(SQLFetch(h_)); }
  // The whole value of column col as UTF-16, read in pieces of chunkChars
  // UTF-16 units; nullopt for NULL, "<error ...>" when the driver fails.
  std::optional<std::u16string> getWide(int col, int chunkChars = 4096) {
    std::u16string value;
    std::vector<SQLWCHAR> buf(chunkChars + 1);
    while (true) {
      SQLLEN ind = 0;
      const SQLRETURN rc =
          SQLGetData(h_, col, SQL_C_WCHAR, buf.data(), buf.size() * sizeof(SQLWCHAR), &ind);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) {
        diag_ = firstDiag(SQL_HANDLE_STMT, h_);
        return testsupport::toUtf16("<error " + diag_.text() + ">");
      }
      if (ind == SQL_NULL_DATA) return std::nullopt;
      ++pieces_;
      // A truncated piece fills the buffer up to its terminator.
      size_t got = 0;
      if (rc == SQL_SUCCESS_WITH_INFO)
        while (got < size_t(chunkChars) && buf[got] != 0) ++got;
      else
        got = size_t(ind / 2);
      value += testsupport::utf16(buf.data(), got);
      if (rc == SQL_SUCCESS) break;
    }
    return value;
  }
  // The same in UTF-8.
  Text get(int col, int chunkChars = 4096) {
    const std::optional<std::u16string> v = getWide(col, chunkChars);
    if (!v) return std::nullopt;
    return testsupport::toUtf8(*v);
  }
  // First column of the first row, or "<error ...>".
  Text scalar(const std::string& sql) {
    if (!SQL_SUCCEEDED(exec(sql))) return "<error " + diag_.text() + ">";
    if (!fetch()) return "<no row>";
    const Text v = get(1);
    SQLFreeStmt(h_, SQL_CLOSE);
    return v;
  }
  Rows rows(int columns, const std::string& sql) {
    if (!SQL_SUCCEEDED(exec(sql))) return {{"<error " + diag_.text() + ">"}};
    return rows(columns);
  }
  Rows rows(int columns) {
    Rows out;
    while (fetch()) {
      Row r;
      for (int c = 1; c <= columns; ++c) r.push_back(get(c));
      out.push_back(r);
    }
    SQLFreeStmt(h_, SQL_CLOSE);
    return out;
  }
  void setTimeout(SQLULEN seconds) {
    SQLSetStmtAttr(h_, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  }
  SQLHSTMT h() const { return h_; }
  Diag diag() const { return diag_; }
  int pieces() const { return pieces_; }

 private:
  SQLHSTMT h_ = SQL_NULL_HSTMT;
  SQLRETURN last_ = SQL_SUCCESS;
  Diag diag_;
  int pieces_ = 0;
};

struct ColumnFacts {
  SQLSMALLINT type = 0;
  SQLULEN size = 0;
  std::string typeName;
};

// The described type of every column of "select * from table".
std::vector<ColumnFacts> describe(Conn& c, const std::string& table) {
  Stmt s(c);
  std::vector<ColumnFacts> out;
  if (!SQL_SUCCEEDED(s.exec("select * from " + table))) return out;
  SQLSMALLINT n = 0;
  SQLNumResultCols(s.h(), &n);
  for (SQLUSMALLINT i = 1; i <= n; ++i) {
    SQLWCHAR name[128];
    SQLSMALLINT nameLen = 0, decimals = 0, nullable = 0;
    ColumnFacts f;
    SQLDescribeColW(s.h(), i, name, 128, &nameLen, &f.type, &f.size, &decimals, &nullable);
    SQLWCHAR tn[128] = {};
    SQLSMALLINT tnLen = 0;
    SQLColAttributeW(s.h(), i, SQL_DESC_TYPE_NAME, tn, sizeof tn, &tnLen, nullptr);
    f.typeName = fromWide(tn, size_t(tnLen) / 2);
    out.push_back(f);
  }
  return out;
}

// The child-process side of probe(): a fresh process connects once, with the
// environment it was given before any ODBC call, and prints the DBMS name.
int probeConnect(const char* connectionString) {
  Conn c;
  if (!c.connect(connectionString)) {
    std::printf("ERROR %d %s\n", int(c.rc()), c.diag().text().c_str());
    return 1;
  }
  std::printf("DBMS %s\n", c.info(SQL_DBMS_NAME).c_str());
  return 0;
}

struct Probe {
  std::string output;  // "DBMS <name>" or "ERROR <return code> <state> <message>"
  std::string errors;  // what the child wrote on stderr
  pid_t pid = 0;
};

// Runs this test program as a child that connects with connectionString,
// with the environment changed as `options` says.
Probe probe(const std::string& connectionString, testsupport::ProcessOptions options = {}) {
  options.timeoutMs = 30000;
  const testsupport::ProcessResult p = testsupport::runProcess(
      {testsupport::selfExecutable(), "--probe-connect", connectionString}, options);
  Probe r;
  if (!p.started) return r;
  r.pid = p.pid;
  r.output = trimmed(p.out);
  r.errors = trimmed(p.err);
  return r;
}

// The driver's log files of the process pid of this program. The driver
// takes the program's name from readlink("/proc/self/exe") without ending
// the string (GetExeProgramName in misc.c), so bytes left on the stack may
// follow the name: the files are found by their start and their end.
std::vector<std::string> commLogsOf(pid_t pid) {
  const passwd* pw = getpwuid(geteuid());
  const std::string head = "psqlodbc_test_pg_driver";
  const std::string tail = "_" + std::string(pw ? pw->pw_name : "") + std::to_string(pid) + ".log";
  std::vector<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp", error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= head.size() + tail.size() && startsWith(name, head) &&
        name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      out.push_back(entry.path().string());
  }
  return out;
}

class PgDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto start = Clock::now();
    pg_ = new testsupport::PgServer();
    ASSERT_TRUE(pg_->ok()) << pg_->errorText();
    std::printf("server up on port %d in %lld ms\n", pg_->port(), msSince(start));
    ASSERT_EQ(pg_->serverField(), "postgresql:127.0.0.1:" + std::to_string(pg_->port()));
    ASSERT_EQ(pg_->psql("select current_setting('server_encoding')"), "UTF8");
    // psql itself reports what it could not do.
    ASSERT_FALSE(pg_->psqlOk("select * from no_such_table"));
    ASSERT_TRUE(contains(pg_->lastError(), "no_such_table"));
    ready_ = true;
  }

  static void TearDownTestSuite() {
    delete pg_;
    pg_ = nullptr;
    // This process's own driver log (see commLogFromOdbcinst).
    for (const std::string& log : commLogsOf(getpid())) std::remove(log.c_str());
  }

  void SetUp() override { ASSERT_TRUE(ready_) << "the server did not start"; }

  static std::string cs(const std::string& extra = {}, const std::string& database = {}) {
    return pg_->odbcConnectionString(database, extra);
  }
  static ::testing::AssertionResult psqlDone(const std::string& sql,
                                             const std::string& database = {}) {
    if (pg_->psqlOk(sql, database)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << pg_->lastError();
  }

  static testsupport::PgServer* pg_;
  static bool ready_;
};

testsupport::PgServer* PgDriverTest::pg_ = nullptr;
bool PgDriverTest::ready_ = false;

// The keys, and how psqlodbc takes a braced value (dconn_get_attributes
// in drvconn.c: "}}" inside braces stands for one "}").
TEST_F(PgDriverTest, connectionStringKeys) {
  ASSERT_EQ(testsupport::PgServer::odbcDriver(), "PostgreSQL Unicode");
  {
    Conn c;
    ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  }
  {  // The library path serves as Driver too.
    Conn c;
    const std::string byPath =
        "Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so;Server=127.0.0.1;Port=" +
        std::to_string(pg_->port()) + ";Database=shop;UID=trellick;PWD=" + pg_->password() + ";";
    ASSERT_TRUE(c.connect(byPath)) << c.diag().text();
  }
  {  // psqlodbc's own long names serve as well.
    Conn c;
    const std::string longNames =
        "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + std::to_string(pg_->port()) +
        ";Database=shop;Username=trellick;Password=" + pg_->password() + ";";
    ASSERT_TRUE(c.connect(longNames)) << c.diag().text();
  }
  {  // A wrong password: refused with 08001 and the server's message.
    Conn c;
    ASSERT_FALSE(c.connect(replaced(cs(), pg_->password(), "wrong")));
    std::printf("wrong password: %s\n", c.diag().text().c_str());
    ASSERT_EQ(c.diag().state, "08001");
    ASSERT_TRUE(contains(c.diag().message, "password authentication failed"));
  }
  {  // Nobody listening: 08001 as well.
    Conn c;
    ASSERT_FALSE(c.connect(replaced(cs(), "Port=" + std::to_string(pg_->port()), "Port=1")));
    std::printf("no listener: %s\n", c.diag().text().c_str());
    ASSERT_EQ(c.diag().state, "08001");
  }

  ASSERT_TRUE(psqlDone("create role odd login password 'p;w}d=x';"));
  const std::string base =
      "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(pg_->port()) +
      ";Database=shop;UID=odd;";
  {  // Braced, with the "}" doubled: the password arrives intact.
    Conn c;
    ASSERT_TRUE(c.connect(base + "PWD={p;w}}d=x};")) << c.diag().text();
  }
  {  // Braced at the end of the string, no trailing ";".
    Conn c;
    ASSERT_TRUE(c.connect(base + "PWD={p;w}}d=x}")) << c.diag().text();
  }
  {  // A lone "}" inside braces ends the value early: no connection.
    Conn c;
    ASSERT_FALSE(c.connect(base + "PWD={p;w}d=x};"));
    std::printf("single brace: %s\n", c.diag().text().c_str());
  }
  {  // Unbraced, ";" splits the password.
    Conn c;
    ASSERT_FALSE(c.connect(base + "PWD=p;w}d=x;"));
  }
}

// The names the driver gives for itself and for the server.
TEST_F(PgDriverTest, dbmsAndDriverNames) {
  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  std::printf("DBMS_NAME=%s DRIVER_NAME=%s DBMS_VER=%s DRIVER_VER=%s\n",
              c.info(SQL_DBMS_NAME).c_str(), c.info(SQL_DRIVER_NAME).c_str(),
              c.info(SQL_DBMS_VER).c_str(), c.info(SQL_DRIVER_VER).c_str());
  ASSERT_EQ(c.info(SQL_DBMS_NAME), "PostgreSQL");
  ASSERT_EQ(c.info(SQL_DRIVER_NAME), "psqlodbcw.so");
  ASSERT_TRUE(startsWith(c.info(SQL_DBMS_VER), "15."));
  ASSERT_EQ(c.info(SQL_IDENTIFIER_QUOTE_CHAR), "\"");
}

// The Debian odbcinst.ini registers the driver with CommLog=1. CommLog=0 in
// the connection string does not keep the log file away: at disconnect the
// driver falls back to the odbcinst.ini setting (logs_on_off in mylog.c) and
// writes "PQfinish: <address>" to /tmp/psqlodbc_<program>_<user><pid>.log
// (generate_filename). The log is opened once per process, hence a child.
TEST_F(PgDriverTest, commLogFromOdbcinst) {
  const Probe quiet = probe(cs("CommLog=0;"));
  ASSERT_EQ(quiet.output, "DBMS PostgreSQL");
  const std::vector<std::string> logs = commLogsOf(quiet.pid);
  ASSERT_EQ(logs.size(), 1u) << "/tmp/psqlodbc_test_pg_driver*_*" << quiet.pid << ".log";
  const std::string logFile = logs[0];
  ASSERT_TRUE(::access(logFile.c_str(), R_OK) == 0) << logFile;
  const std::vector<std::string> lines =
      testsupport::splitLines(trimmed(testsupport::readFile(logFile)));
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) ASSERT_TRUE(startsWith(line, "PQfinish: ")) << line;
  std::remove(logFile.c_str());
}

// SQLTables with type TABLE and no catalog or schema lists the user
// tables of every schema of the connected database only: no views, no
// pg_catalog/information_schema, nothing of another database, and tables
// the user may not read are listed as well.
TEST_F(PgDriverTest, tablesOfAllSchemas) {
  ASSERT_TRUE(
      psqlDone("create schema sales authorization trellick;\n"
               "set role trellick;\n"
               "create table public.customers(id integer primary key, name text);\n"
               "create table sales.orders(id integer primary key, note varchar(40));\n"
               "create view public.v_customers as select * from public.customers;\n"
               "reset role;\n"
               "create table public.secret(id integer, s text);\n"
               "revoke all on public.secret from public;\n"));
  ASSERT_TRUE(pg_->createDatabase("archive")) << pg_->lastError();
  ASSERT_TRUE(psqlDone("create table old_orders(id integer, note text);", "archive"));

  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  const std::string type = "TABLE";
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0, Wide(type), SQL_NTS)));
  Rows rows = s.rows(4);
  for (const Row& r : rows) {
    std::string line;
    for (const Text& v : r) line += (line.empty() ? "" : "|") + v.value_or("");
    std::printf("%s\n", line.c_str());
  }
  // TABLE_CAT is the database, TABLE_SCHEM the schema; ordered by schema, name.
  const Rows expected{
      {"shop", "public", "customers", type},
      {"shop", "public", "secret", type},
      {"shop", "sales", "orders", type},
  };
  ASSERT_EQ(rows, expected);

  // Asked for views as well, the view comes with type VIEW.
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0, Wide("TABLE,VIEW"), SQL_NTS)));
  rows = s.rows(4);
  ASSERT_EQ(rows.size(), 4u);
  ASSERT_TRUE(std::find(rows.begin(), rows.end(), Row{"shop", "public", "v_customers", "VIEW"}) !=
              rows.end());

  // The unreadable table is listed but refuses a read.
  ASSERT_FALSE(SQL_SUCCEEDED(s.exec("select * from public.secret")));
  std::printf("unreadable: %s\n", s.diag().text().c_str());
  ASSERT_EQ(s.diag().state, "42501");
}

// Described types and sizes per column type and driver option
// (pgtype_attr_to_concise_type and getCharColumnSizeX in pgtypes.c). char(n)
// and varchar(n) are SQL_WCHAR/SQL_WVARCHAR of n while n <= MaxVarcharSize
// (default 255), SQL_WLONGVARCHAR beyond it; varchar without a length is
// SQL_WVARCHAR of MaxVarcharSize whatever UnknownSizes or
// UnknownsAsLongVarchar say; text is SQL_WLONGVARCHAR of MaxLongVarcharSize
// (default 8190) while that exceeds MaxVarcharSize, else SQL_WVARCHAR, and
// TextAsLongVarchar=0 makes it SQL_WVARCHAR of MaxVarcharSize. A generated
// column is described like any other of its type.
TEST_F(PgDriverTest, columnTypesAndSizes) {
  ASSERT_TRUE(psqlDone(
      "set role trellick;\n"
      "create table coltypes(c char(10), vc varchar(40), vn varchar, t text, v10 varchar(10),"
      " i integer, g text generated always as (t || '!') stored, v300 varchar(300),"
      " c300 char(300));\n"));
  struct Case {
    std::string options;
    std::vector<SQLSMALLINT> types;
    std::vector<SQLULEN> sizes;
  };
  const SQLSMALLINT ch = SQL_WCHAR, vc = SQL_WVARCHAR, lv = SQL_WLONGVARCHAR, in = SQL_INTEGER;
  const std::vector<Case> cases{
      {"", {ch, vc, vc, lv, vc, in, lv, lv, lv}, {10, 40, 255, 8190, 10, 10, 8190, 300, 300}},
      {"TextAsLongVarchar=0;",
       {ch, vc, vc, vc, vc, in, vc, lv, lv},
       {10, 40, 255, 255, 10, 10, 255, 300, 300}},
      {"UnknownSizes=2;UnknownsAsLongVarchar=1;",
       {ch, vc, vc, lv, vc, in, lv, lv, lv},
       {10, 40, 255, 8190, 10, 10, 8190, 300, 300}},
      {"MaxLongVarcharSize=1073741823;",
       {ch, vc, vc, lv, vc, in, lv, lv, lv},
       {10, 40, 255, 1073741823, 10, 10, 1073741823, 300, 300}},
      // text is long only while MaxLongVarcharSize exceeds MaxVarcharSize.
      {"MaxVarcharSize=65535;",
       {ch, vc, vc, vc, vc, in, vc, vc, ch},
       {10, 40, 65535, 8190, 10, 10, 8190, 300, 300}},
      {"TextAsLongVarchar=0;MaxVarcharSize=65535;",
       {ch, vc, vc, vc, vc, in, vc, vc, ch},
       {10, 40, 65535, 65535, 10, 10, 65535, 300, 300}},
      {"MaxVarcharSize=65535;MaxLongVarcharSize=1073741823;",
       {ch, vc, vc, lv, vc, in, lv, vc, ch},
       {10, 40, 65535, 1073741823, 10, 10, 1073741823, 300, 300}},
  };
  const std::vector<std::string> typeNames{"char", "varchar", "varchar", "text", "varchar",
                                           "int4", "text",    "varchar", "char"};
  for (const Case& k : cases) {
    Conn c;
    ASSERT_TRUE(c.connect(cs(k.options))) << c.diag().text();
    const std::vector<ColumnFacts> cols = describe(c, "coltypes");
    ASSERT_EQ(cols.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
      const std::string where = "[" + k.options + "] column " + std::to_string(i + 1);
      ASSERT_TRUE(cols[i].type == k.types[i]) << where << " type " << cols[i].type;
      ASSERT_TRUE(cols[i].size == k.sizes[i]) << where << " size " << cols[i].size;
      ASSERT_EQ(cols[i].typeName, typeNames[i]);
    }
  }

  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  {  // SQLColumns agrees on DATA_TYPE and COLUMN_SIZE; its TYPE_NAME for char is bpchar.
    ASSERT_TRUE(SQL_SUCCEEDED(
        SQLColumnsW(s.h(), nullptr, 0, nullptr, 0, Wide("coltypes"), SQL_NTS, nullptr, 0)));
    std::vector<std::string> got;
    while (s.fetch()) {
      const Text name = s.get(4), type = s.get(5), typeName = s.get(6), size = s.get(7);
      got.push_back(name.value_or("") + ":" + type.value_or("") + "/" + size.value_or("") + "/" +
                    typeName.value_or(""));
    }
    SQLFreeStmt(s.h(), SQL_CLOSE);
    ASSERT_EQ(got, (std::vector<std::string>{"c:-8/10/bpchar", "vc:-9/40/varchar",
                                             "vn:-9/255/varchar", "t:-10/8190/text",
                                             "v10:-9/10/varchar", "i:4/10/int4", "g:-10/8190/text",
                                             "v300:-10/300/varchar", "c300:-10/300/bpchar"}));
  }
  // Generated columns are told by the catalogue, not by the description.
  ASSERT_EQ(s.rows(1,
                   "select column_name from information_schema.columns "
                   "where table_schema = 'public' and table_name = 'coltypes' "
                   "and is_generated = 'ALWAYS'"),
            Rows{{"g"}});
  ASSERT_EQ(s.rows(1,
                   "select attname from pg_attribute "
                   "where attrelid = 'public.coltypes'::regclass "
                   "and attgenerated = 's'"),
            Rows{{"g"}});
  // Writing one is refused with 428C9.
  ASSERT_FALSE(SQL_SUCCEEDED(s.exec("update coltypes set g = 'x'")));
  ASSERT_EQ(s.diag().state, "428C9");
  std::printf("generated column update: %s\n", s.diag().text().c_str());
}

// The wide calls carry characters outside the BMP both ways, and a long
// value read with SQLGetData in pieces comes back whole.
TEST_F(PgDriverTest, wideTextBothWays) {
  ASSERT_TRUE(psqlDone("set role trellick; create table wide(id integer, s text);"));
  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  const std::string text = "汉字😀 ok";
  ASSERT_TRUE(s.ok("insert into wide values (1, '" + text + "')")) << s.diag().text();
  ASSERT_EQ(pg_->psql("select encode(convert_to(s, 'UTF8'), 'hex') from wide where id = 1"),
            hexUtf8(text));
  ASSERT_EQ(s.scalar("select s from wide where id = 1"), text);

  // 100,000 characters, a fifth of them outside the BMP, read 1000 units at a
  // time so that pieces end inside surrogate pairs.
  std::u16string big;
  const std::u16string pattern = testsupport::toUtf16("ab汉😀c");
  while (big.size() < 100000 + 20000) big += pattern;
  big.resize(100000 + 20000);  // 100,000 code points, 120,000 UTF-16 units
  ASSERT_EQ(
      std::count_if(big.begin(), big.end(), [](char16_t u) { return u < 0xDC00 || u > 0xDFFF; }),
      100000);
  const std::string bigUtf8 = testsupport::toUtf8(big);
  ASSERT_TRUE(s.ok("insert into wide values (2, '" + bigUtf8 + "')")) << s.diag().text();
  ASSERT_EQ(pg_->psql("select length(s) || ' ' || md5(convert_to(s, 'UTF8')) "
                      "from wide where id = 2"),
            "100000 " + testsupport::md5Hex(bigUtf8));
  ASSERT_TRUE(SQL_SUCCEEDED(s.exec("select s from wide where id = 2")));
  ASSERT_TRUE(s.fetch());
  const std::optional<std::u16string> back = s.getWide(1, 1000);
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->size(), big.size());
  ASSERT_TRUE(*back == big);
  ASSERT_TRUE(s.pieces() >= 120) << s.pieces();
}

// SQL_ATTR_QUERY_TIMEOUT is carried out by the server: before the
// statement the driver sends "SET statement_timeout = <ms>" when it differs
// from what is in effect (SC_execute in statement.c), so the server ends the
// statement with 57014 and the connection stays usable.
TEST_F(PgDriverTest, queryTimeout) {
  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  s.setTimeout(2);
  const auto start = Clock::now();
  ASSERT_EQ(s.exec("select pg_sleep(20)"), SQLRETURN(SQL_ERROR));
  const long long ms = msSince(start);
  std::printf("time-out after %lld ms: %s\n", ms, s.diag().text().c_str());
  ASSERT_TRUE(ms >= 1900 && ms < 5000) << ms;
  ASSERT_EQ(s.diag().state, "57014");
  ASSERT_TRUE(contains(s.diag().message, "canceling statement due to statement timeout"));
  // The same statement handle, and a fresh one without a time-out, go on.
  ASSERT_EQ(s.scalar("select 1"), "1");
  Stmt plain(c);
  ASSERT_EQ(plain.scalar("show statement_timeout"), "0");
  ASSERT_EQ(s.scalar("show statement_timeout"), "2s");
}

// SQLCancel from another thread while the statement runs: the driver sends a
// cancel request (CC_send_cancel_request in connection.c, libpq PQcancel); the statement fails
// with 57014 at once and the connection goes on.
TEST_F(PgDriverTest, cancelFromAnotherThread) {
  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  std::atomic<SQLRETURN> cancelResult{-99};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    cancelResult = SQLCancel(s.h());
  });
  const auto start = Clock::now();
  const SQLRETURN rc = s.exec("select pg_sleep(20)");
  const long long ms = msSince(start);
  canceller.join();
  std::printf("cancel: rc %d after %lld ms, SQLCancel gave %d: %s\n", rc, ms, int(cancelResult),
              s.diag().text().c_str());
  ASSERT_EQ(rc, SQLRETURN(SQL_ERROR));
  ASSERT_EQ(cancelResult.load(), SQLRETURN(SQL_SUCCESS));
  ASSERT_TRUE(ms >= 900 && ms < 4000) << ms;
  ASSERT_EQ(s.diag().state, "57014");
  ASSERT_TRUE(contains(s.diag().message, "canceling statement due to user request"));
  ASSERT_EQ(s.scalar("select 2"), "2");
}

// An UPDATE waiting on a row lock is ended by the same statement_timeout: an
// error, never a success, and nothing written.
TEST_F(PgDriverTest, timeoutOnRowLock) {
  ASSERT_TRUE(
      psqlDone("set role trellick; create table locked(id integer primary key, "
               "v text); insert into locked values (1, 'before');"));
  Conn holder;
  ASSERT_TRUE(holder.connect(cs())) << holder.diag().text();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(
      holder.h(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  Stmt hs(holder);
  ASSERT_TRUE(hs.ok("update locked set v = 'holder' where id = 1"));

  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  s.setTimeout(2);
  const auto start = Clock::now();
  const SQLRETURN rc = s.exec("update locked set v = 'waiter' where id = 1");
  const long long ms = msSince(start);
  std::printf("lock wait: rc %d after %lld ms: %s\n", rc, ms, s.diag().text().c_str());
  ASSERT_EQ(rc, SQLRETURN(SQL_ERROR));
  ASSERT_EQ(s.diag().state, "57014");
  ASSERT_TRUE(ms >= 1900 && ms < 5000) << ms;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, holder.h(), SQL_ROLLBACK)));
  ASSERT_EQ(pg_->psql("select v from locked where id = 1"), "before");
  ASSERT_EQ(s.scalar("select 3"), "3");
}

// Without UseDeclareFetch the driver reads a whole result at execute,
// so a second statement runs while the first one's rows are still unread; and
// a connection starts in autocommit.
TEST_F(PgDriverTest, severalActiveStatementsAndAutocommit) {
  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  SQLULEN autocommit = 99;
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLGetConnectAttr(c.h(), SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr)));
  ASSERT_EQ(autocommit, SQLULEN(SQL_AUTOCOMMIT_ON));

  Stmt first(c);
  ASSERT_TRUE(SQL_SUCCEEDED(first.exec("select generate_series(1, 50000)")));
  ASSERT_TRUE(first.fetch());
  ASSERT_EQ(first.get(1), "1");
  Stmt second(c);
  ASSERT_TRUE(second.ok("create table mars(n integer)")) << second.diag().text();
  ASSERT_TRUE(second.ok("insert into mars values (7)")) << second.diag().text();
  // Committed already: another session sees the row.
  ASSERT_EQ(pg_->psql("select n from mars"), "7");
  ASSERT_TRUE(first.fetch());
  ASSERT_EQ(first.get(1), "2");

  // With UseDeclareFetch=1 the first result is a cursor fetched in pieces;
  // the second statement still runs on the same connection.
  Conn d;
  ASSERT_TRUE(d.connect(cs("UseDeclareFetch=1;Fetch=100;"))) << d.diag().text();
  Stmt a(d), b(d);
  ASSERT_TRUE(SQL_SUCCEEDED(a.exec("select generate_series(1, 50000)")));
  ASSERT_TRUE(a.fetch());
  ASSERT_EQ(b.scalar("select count(*) from mars"), "1");
  int n = 1;
  while (a.fetch()) ++n;
  ASSERT_EQ(n, 50000);
}

// standard_conforming_strings is on, a backslash in a literal is itself.
TEST_F(PgDriverTest, backslashIsLiteral) {
  Conn c;
  ASSERT_TRUE(c.connect(cs())) << c.diag().text();
  Stmt s(c);
  ASSERT_EQ(s.scalar("show standard_conforming_strings"), "on");
  ASSERT_EQ(s.scalar("select 'a\\b'"), "a\\b");
  ASSERT_EQ(s.scalar("select length('a\\b')"), "3");
}

// The Access driver (odbc-mdbtools) is registered, loads, and refuses
// anything that is not a Jet file; no Debian package ships an .mdb/.accdb and
// mdbtools cannot create one, so it cannot be connected to anything here.
// Run in a child: the driver prints its complaints on stderr.
TEST_F(PgDriverTest, accessDriverHasNothingToOpen) {
  const std::string driver = testsupport::iniValue("/etc/odbcinst.ini", "MDBTools", "Driver");
  ASSERT_EQ(driver.substr(driver.rfind('/') + 1), "libmdbodbc.so");
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  // It fails without a diagnostic record; its reasons go to stderr only.
  const std::string none = dir.file("none.mdb");
  const Probe missing = probe("Driver={MDBTools};DBQ=" + none);
  std::printf("missing file: %s / %s\n", missing.output.c_str(), missing.errors.c_str());
  ASSERT_EQ(missing.output, "ERROR -1");
  ASSERT_TRUE(contains(missing.errors, "Unable to locate database " + none));
  const std::string fake = dir.file("fake.mdb");
  ASSERT_TRUE(testsupport::writeFile(fake, std::string(8192, 'x')));
  const Probe notJet = probe("Driver={MDBTools};DBQ=" + fake);
  std::printf("not a Jet file: %s / %s\n", notJet.output.c_str(), notJet.errors.c_str());
  ASSERT_EQ(notJet.output, "ERROR -1");
}

// unixODBC reads odbcinst.ini from $ODBCSYSINI and odbc.ini from
// $ODBCINI when they are set before the process's first ODBC call; a data
// source's name tells nothing of its engine, SQL_DBMS_NAME does.
TEST_F(PgDriverTest, dataSourcesFromOwnIniFiles) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string dbFile = dir.file("warehouse.db");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbFile.c_str(), &db), SQLITE_OK);
    const int rc = sqlite3_exec(db, "create table stock(item text); insert into stock values('x');",
                                nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK);
  }
  ASSERT_TRUE(testsupport::writeFile(
      dir.file("odbcinst.ini"),
      "[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n\n"
      "[PostgreSQL Unicode]\n"
      "Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so\n"));
  ASSERT_TRUE(testsupport::writeFile(
      dir.file("odbc.ini"), "[Warehouse]\nDriver=SQLite3\nDatabase=" + dbFile +
                                "\n\n"
                                "[Accounts]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\n"
                                "Port=" +
                                std::to_string(pg_->port()) + "\nDatabase=shop\nUsername=" +
                                pg_->user() + "\nPassword=" + pg_->password() + "\n"));
  testsupport::ProcessOptions env;
  env.setEnv = {{"ODBCSYSINI", dir.path()}, {"ODBCINI", dir.file("odbc.ini")}};

  const Probe warehouse = probe("DSN=Warehouse", env);
  ASSERT_EQ(warehouse.output, "DBMS SQLite");
  const Probe accounts = probe("DSN=Accounts", env);
  ASSERT_EQ(accounts.output, "DBMS PostgreSQL");

  // Without the variables the names are unknown: the ini files above were read.
  testsupport::ProcessOptions plain;
  plain.unsetEnv = {"ODBCSYSINI", "ODBCINI"};
  const Probe unknown = probe("DSN=Warehouse", plain);
  std::printf("unknown DSN: %s\n", unknown.output.c_str());
  ASSERT_TRUE(startsWith(unknown.output, "ERROR -1 IM002 "));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--probe-connect") == 0) return probeConnect(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
