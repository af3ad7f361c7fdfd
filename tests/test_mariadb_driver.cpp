// What the MariaDB Connector/ODBC driver (Debian's odbc-mariadb) and a real
// MariaDB server do, proven with raw ODBC calls. The product's MariaDB
// support relies on each of these; a driver or server upgrade that changes
// one fails here first.
#include <gtest/gtest.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/mariadb_server.h"
#include "support/md5.h"
#include "support/odbc_text.h"
#include "support/process.h"

namespace {

using testsupport::fromWide;
using testsupport::Wide;
// A value as text; nullopt for NULL.
using Text = std::optional<std::string>;
using Row = std::vector<Text>;
using Rows = std::vector<Row>;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}
bool contains(const Text& s, const std::string& part) { return s && contains(*s, part); }

std::string join(const Strings& parts, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
  return out;
}

Strings split(const std::string& s, char separator) {
  Strings out(1);
  for (char c : s) {
    if (c == separator)
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

// form with %1 and %2 replaced by a and b in one pass.
std::string fill(const std::string& form, const std::string& a, const std::string& b) {
  std::string out;
  for (size_t i = 0; i < form.size(); ++i) {
    if (form[i] == '%' && i + 1 < form.size() && (form[i + 1] == '1' || form[i + 1] == '2')) {
      out += form[i + 1] == '1' ? a : b;
      ++i;
    } else {
      out += form[i];
    }
  }
  return out;
}

struct DiagRecord {
  std::string state;
  int native = 0;
  std::string message;
};

std::vector<DiagRecord> diagnostics(SQLSMALLINT type, SQLHANDLE h) {
  std::vector<DiagRecord> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR msg[2048] = {};
    SQLSMALLINT len = 0;
    const SQLRETURN r = SQLGetDiagRecW(type, h, i, state, &native, msg, 2048, &len);
    if (!SQL_SUCCEEDED(r)) break;
    out.push_back({fromWide(state, 5), static_cast<int>(native), fromWide(msg)});
  }
  return out;
}

std::string diagText(SQLSMALLINT type, SQLHANDLE h) {
  Strings parts;
  for (const DiagRecord& d : diagnostics(type, h))
    parts.push_back(d.state + " (" + std::to_string(d.native) + "): " + d.message);
  return join(parts, "; ");
}

SQLHENV g_env = SQL_NULL_HENV;

class Connection {
 public:
  Connection() { SQLAllocHandle(SQL_HANDLE_DBC, g_env, &dbc); }
  ~Connection() {
    if (connected) SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connect(const std::string& connectionString) {
    SQLWCHAR out[2048];
    SQLSMALLINT outLen = 0;
    result = SQLDriverConnectW(dbc, nullptr, Wide(connectionString), SQL_NTS, out, 2048, &outLen,
                               SQL_DRIVER_NOPROMPT);
    connected = SQL_SUCCEEDED(result);
    error = connected ? std::string() : diagText(SQL_HANDLE_DBC, dbc);
    return connected;
  }

  std::string info(SQLUSMALLINT type) const {
    SQLWCHAR buf[512] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, type, buf, sizeof buf, &len))) return std::string();
    return fromWide(buf);
  }

  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  SQLRETURN result = SQL_SUCCESS;
  std::string error;
};

DiagRecord firstDiag(const Connection& c) {
  const std::vector<DiagRecord> d = diagnostics(SQL_HANDLE_DBC, c.dbc);
  return d.empty() ? DiagRecord{} : d.front();
}

class Statement {
 public:
  explicit Statement(const Connection& c) { SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &h); }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLRETURN exec(const std::string& sql) {
    SQLFreeStmt(h, SQL_CLOSE);
    return SQLExecDirectW(h, Wide(sql), SQL_NTS);
  }
  std::string error() const { return diagText(SQL_HANDLE_STMT, h); }
  DiagRecord firstDiag() const {
    const std::vector<DiagRecord> d = diagnostics(SQL_HANDLE_STMT, h);
    return d.empty() ? DiagRecord{} : d.front();
  }

  // Reads one column as UTF-16 in pieces of chunkChars code units (the last
  // one holds the terminator). nullopt for SQL NULL.
  std::optional<std::u16string> textWide(SQLUSMALLINT col, int chunkChars = 4096) {
    std::u16string value;
    std::vector<SQLWCHAR> buf(chunkChars);
    const SQLLEN bytes = static_cast<SQLLEN>(buf.size() * sizeof(SQLWCHAR));
    for (;;) {
      SQLLEN ind = 0;
      const SQLRETURN r = SQLGetData(h, col, SQL_C_WCHAR, buf.data(), bytes, &ind);
      if (r == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(r)) return testsupport::toUtf16("<error: " + error() + ">");
      if (ind == SQL_NULL_DATA) return std::nullopt;
      const bool more = r == SQL_SUCCESS_WITH_INFO &&
                        (ind == SQL_NO_TOTAL || ind >= bytes - SQLLEN(sizeof(SQLWCHAR)));
      const size_t chars = more ? size_t(chunkChars - 1) : size_t(ind / sizeof(SQLWCHAR));
      value += testsupport::utf16(buf.data(), chars);
      if (!more) break;
    }
    return value;
  }
  // The same in UTF-8.
  Text text(SQLUSMALLINT col, int chunkChars = 4096) {
    const std::optional<std::u16string> v = textWide(col, chunkChars);
    if (!v) return std::nullopt;
    return testsupport::toUtf8(*v);
  }

  Rows rows() {
    Rows out;
    SQLSMALLINT cols = 0;
    SQLNumResultCols(h, &cols);
    while (SQL_SUCCEEDED(SQLFetch(h))) {
      Row row;
      for (SQLUSMALLINT c = 1; c <= cols; ++c) row.push_back(text(c));
      out.push_back(row);
    }
    return out;
  }

  SQLHSTMT h = SQL_NULL_HSTMT;
};

// The single value of a one-row, one-column query, or "<error: ...>".
Text scalar(const Connection& c, const std::string& sql) {
  Statement st(c);
  const SQLRETURN r = st.exec(sql);
  if (!SQL_SUCCEEDED(r)) return "<error: " + st.error() + ">";
  if (!SQL_SUCCEEDED(SQLFetch(st.h))) return "<no row: " + st.error() + ">";
  return st.text(1);
}

// The driver library itself, for connection strings and odbcinst.ini
// files that name it by path.
std::string driverLibrary() {
  for (const char* d :
       {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc", "/usr/lib/odbc"}) {
    const std::string path = std::string(d) + "/libmaodbc.so";
    if (std::filesystem::exists(path)) return path;
  }
  return std::string();
}

// What a statement returned, how long it took, and its first value.
struct Timed {
  SQLRETURN result = SQL_SUCCESS;
  long long ms = 0;
  DiagRecord diag;
  Text value;
};

Timed timedQuery(Statement& st, const std::string& sql) {
  const auto start = Clock::now();
  Timed out;
  out.result = st.exec(sql);
  out.diag = st.firstDiag();
  if (SQL_SUCCEEDED(out.result) && SQL_SUCCEEDED(SQLFetch(st.h))) out.value = st.text(1);
  out.ms = msSince(start);
  return out;
}

// SQLTablesW rows as (TABLE_CAT, TABLE_SCHEM, TABLE_NAME, TABLE_TYPE), SQL NULL
// shown as "<null>". A failure returns no rows and sets *error.
std::vector<Strings> tables(const Connection& c, const std::string* catalog,
                            const std::string* schema, const std::string& type,
                            bool metadataId = false, std::string* error = nullptr) {
  Statement st(c);
  if (metadataId) {
    SQLSetStmtAttr(st.h, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_TRUE), 0);
  }
  const SQLRETURN r =
      SQLTablesW(st.h, catalog ? static_cast<SQLWCHAR*>(Wide(*catalog)) : nullptr,
                 catalog ? SQL_NTS : 0, schema ? static_cast<SQLWCHAR*>(Wide(*schema)) : nullptr,
                 schema ? SQL_NTS : 0, nullptr, 0, Wide(type), SQL_NTS);
  if (error) error->clear();
  if (!SQL_SUCCEEDED(r)) {
    if (error) *error = st.error();
    return {};
  }
  std::vector<Strings> out;
  for (const Row& row : st.rows()) {
    Strings values;
    for (size_t i = 0; i < row.size() && i < 4; ++i) values.push_back(row[i].value_or("<null>"));
    out.push_back(values);
  }
  return out;
}

Strings row(const char* cat, const char* name, const char* type = "TABLE") {
  return {cat, "<null>", name, type};
}

// Child mode: connects through a DSN that only ODBCSYSINI/ODBCINI (set by
// the parent before this process made any ODBC call) can resolve, and prints
// what it saw.
int dsnProbe(const char* dsn) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &g_env);
  SQLSetEnvAttr(g_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  Strings sources;
  SQLWCHAR name[256], desc[256];
  SQLSMALLINT nameLen, descLen;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (
      SQL_SUCCEEDED(SQLDataSourcesW(g_env, direction, name, 256, &nameLen, desc, 256, &descLen))) {
    sources.push_back(fromWide(name));
    direction = SQL_FETCH_NEXT;
  }
  std::printf("sources=%s\n", join(sources, ",").c_str());
  Connection c;
  if (!c.connect("DSN=" + std::string(dsn) + ";")) {
    std::printf("error=%s\n", c.error.c_str());
    return 1;
  }
  std::printf("dbms=%s\n", c.info(SQL_DBMS_NAME).c_str());
  std::printf("database=%s\n", scalar(c, "select database()").value_or("").c_str());
  return 0;
}

// Child mode: starts a server, says where it is, and waits to be killed.
int serveUntilKilled() {
  testsupport::MariaDbServer server;
  if (!server.ok()) {
    std::printf("error=%s\n", server.errorText().c_str());
    return 1;
  }
  std::printf("pid=%lld\ndir=%s\nport=%d\n", static_cast<long long>(server.serverPid()),
              server.directory().c_str(), server.port());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(120));
  return 0;
}

// One server for the whole program: the plain cases and the table-driven
// ones share it.
class MariaDbDriverTest : public ::testing::Test {
 public:
  static void startServer() {
    server_ = new testsupport::MariaDbServer();
    ASSERT_TRUE(server_->ok()) << server_->errorText();
    std::string err;
    // "shop" holds two tables and a view, "other" one table: what SQLTables
    // sees. my_shop and myXshop differ only where '_' matches any character.
    // Everything else happens in "lab".
    for (const char* db : {"other", "lab", "my_shop", "myXshop"}) {
      ASSERT_TRUE(server_->createDatabase(db, &err)) << err;
    }
    ASSERT_TRUE(
        server_->client("create table shop.customers (id int primary key, name varchar(40));"
                        "create table shop.orders (id int primary key, note text);"
                        "create view shop.open_orders as select id, note from shop.orders;"
                        "create table other.accounts (id int primary key, owner varchar(40));"
                        "create table my_shop.a (id int); create table myXshop.b (id int);"
                        "create table lab.numbers (n int primary key);"
                        "insert into lab.numbers select seq from lab.seq_1_to_1000;"
                        // Every kind of column the type tests describe.
                        "create table lab.kinds (c char(10), vc varchar(40), tt tinytext, t text, "
                        "mt mediumtext, lt longtext, e enum('a','b'), s set('x','y'), "
                        "v10 varchar(10), i int, gv varchar(60) as (concat(vc, '!')) virtual, "
                        "gs varchar(60) as (upper(vc)) stored, "
                        "l1 varchar(20) character set latin1, b varbinary(20), bl blob, j json);"
                        // The rows the LIKE and REPLACE tests match; latin1 holds NULL
                        // where it lacks the character.
                        "create table lab.texts (id int primary key, u varchar(50), "
                        "l varchar(50) character set latin1);"
                        "insert into lab.texts values (1, 'ABC', 'ABC'), (2, 'abc', 'abc'), "
                        "(3, 'É', 'É'), (4, 'é', 'é'), (5, '中😀', NULL), (6, 'a😁', NULL), "
                        "(7, 'x_y', 'x_y'), (8, 'xzy', 'xzy');",
                        "", nullptr, &err))
        << err;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &g_env)));
    SQLSetEnvAttr(g_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    ready_ = true;
  }

  static void stopServer() {
    if (g_env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, g_env);
    g_env = SQL_NULL_HENV;
    delete server_;
    server_ = nullptr;
  }

 protected:
  void SetUp() override { ASSERT_TRUE(ready_) << "the server did not start"; }

  static std::string lab() { return server_->odbcConnectionString("lab"); }
  // What the command-line client printed, or why it failed.
  static std::string client(const std::string& sql) {
    std::string out, err;
    if (!server_->client(sql, "", &out, &err)) return "<client failed: " + err + ">";
    return out;
  }

  static testsupport::MariaDbServer* server_;
  static bool ready_;
};

testsupport::MariaDbServer* MariaDbDriverTest::server_ = nullptr;
bool MariaDbDriverTest::ready_ = false;

class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { MariaDbDriverTest::startServer(); }
  void TearDown() override { MariaDbDriverTest::stopServer(); }
};

TEST_F(MariaDbDriverTest, serverIsPrivateAndUtf8mb4) {
  std::string out, err;
  ASSERT_TRUE(
      server_->client("select @@port, @@bind_address, @@datadir, @@character_set_server, "
                      "@@collation_server, @@skip_grant_tables, @@log_bin, "
                      "default_character_set_name, default_collation_name "
                      "from information_schema.schemata where schema_name = 'shop'",
                      "", &out, &err))
      << err;
  const Strings f = split(out, '\t');
  ASSERT_EQ(f.size(), 9u);
  ASSERT_EQ(std::atoi(f[0].c_str()), server_->port());
  ASSERT_EQ(f[1], "127.0.0.1");
  ASSERT_TRUE(startsWith(f[2], server_->directory())) << f[2];
  ASSERT_EQ(Strings(f.begin() + 3, f.end()),
            (Strings{"utf8mb4", "utf8mb4_general_ci", "0", "0", "utf8mb4", "utf8mb4_general_ci"}));
  ASSERT_EQ(server_->serverField(), "mariadb:127.0.0.1:" + std::to_string(server_->port()));
  // The client reports failures instead of output.
  ASSERT_FALSE(server_->client("select * from no_such_table", "shop", nullptr, &err));
  ASSERT_TRUE(contains(err, "1146")) << err;
}

TEST_F(MariaDbDriverTest, serverGoesAwayWhenTheTestProcessIsKilled) {
  testsupport::TempDir out;
  ASSERT_TRUE(out.valid()) << out.error();
  const std::string said = out.file("child.out");
  testsupport::Child child({testsupport::selfExecutable(), "--serve-until-killed"}, said,
                           out.file("child.err"));
  ASSERT_GT(child.pid(), 0);
  std::map<std::string, std::string> seen;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!seen.count("port") && !seen.count("error") && Clock::now() < deadline &&
         child.running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (const std::string& line : testsupport::splitLines(testsupport::readFile(said))) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) seen[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  ASSERT_TRUE(seen.count("port")) << seen["error"] << testsupport::readFile(out.file("child.err"));
  const pid_t serverPid = std::atoi(seen["pid"].c_str());
  const std::string dir = seen["dir"];
  ASSERT_TRUE(serverPid > 0);
  ASSERT_TRUE(std::filesystem::exists(dir));
  ASSERT_EQ(::kill(serverPid, 0), 0);

  // Its pid is 0 once ended, and kill(0, ...) would take this test's group.
  ASSERT_TRUE(child.pid() > 0);
  ::kill(child.pid(), SIGKILL);
  ASSERT_TRUE(child.waitFor(5000));
  // The watcher polls once a second, then waits for the server to stop.
  const auto gone = [&] { return ::kill(serverPid, 0) != 0 && !std::filesystem::exists(dir); };
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (!gone() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(gone());
}

TEST_F(MariaDbDriverTest, connectionStringKeys) {
  // The odbc-mariadb package registers the driver under this name.
  ASSERT_EQ(testsupport::MariaDbServer::odbcDriver(), "MariaDB Unicode");
  ASSERT_TRUE(!driverLibrary().empty()) << "libmaodbc.so not found (package odbc-mariadb)";
  const std::string rest = "Server=127.0.0.1;Port=" + std::to_string(server_->port()) +
                           ";Database=shop;UID=trellick;PWD=" + server_->password() + ";";
  const std::string who =
      "select concat_ws(' ', database(), current_user(), @@character_set_client, "
      "@@character_set_results, @@collation_connection)";
  const std::string utf8mb4 = "shop trellick@% utf8mb4 utf8mb4 utf8mb4_general_ci";
  for (const std::string& cs :
       {server_->odbcConnectionString(), "Driver=MariaDB Unicode;" + rest,
        "DRIVER={MariaDB Unicode};" + rest + "CHARSET=utf8mb4;",
        "Driver=" + driverLibrary() + ";" + rest,
        // Aliases the driver accepts (ma_dsn.c, DsnKeys).
        "Driver={MariaDB Unicode};SERVERNAME=127.0.0.1;PORT=" + std::to_string(server_->port()) +
            ";DB=shop;USER=trellick;PASSWORD=" + server_->password()}) {
    Connection c;
    ASSERT_TRUE(c.connect(cs)) << cs << ": " << c.error;
    // A Unicode connection talks utf8mb4 unless told otherwise.
    ASSERT_EQ(scalar(c, who), utf8mb4);
  }
  // CHARSET is obeyed: anything but utf8mb4 would lose characters.
  Connection latin1;
  ASSERT_TRUE(latin1.connect(server_->odbcConnectionString() + "CHARSET=latin1;")) << latin1.error;
  ASSERT_EQ(scalar(latin1, "select @@character_set_client"), "latin1");
  // Without Database the connection has no current database.
  Connection none;
  ASSERT_TRUE(none.connect(
      "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" + std::to_string(server_->port()) +
      ";UID=trellick;PWD=" + server_->password() + ";"))
      << none.error;
  ASSERT_FALSE(scalar(none, "select database()").has_value());
}

TEST_F(MariaDbDriverTest, connectionFailures) {
  const std::string head = "Driver={MariaDB Unicode};Server=127.0.0.1;";
  const std::string port = std::to_string(server_->port());
  {
    Connection c;
    ASSERT_FALSE(c.connect(head + "Port=" + port + ";Database=shop;UID=trellick;PWD=wrong;"));
    ASSERT_EQ(c.result, SQLRETURN(SQL_ERROR));
    const DiagRecord d = firstDiag(c);
    ASSERT_EQ(d.state, "28000");
    ASSERT_EQ(d.native, 1045);
    ASSERT_TRUE(startsWith(d.message, "[ma-")) << d.message;
    ASSERT_TRUE(
        endsWith(d.message, "Access denied for user 'trellick'@'127.0.0.1' (using password: YES)"))
        << d.message;
  }
  {
    Connection c;
    ASSERT_FALSE(c.connect(head + "Port=" + port +
                           ";Database=nosuch;UID=trellick;PWD=" + server_->password() + ";"));
    const DiagRecord d = firstDiag(c);
    ASSERT_EQ(d.state, "42000");
    ASSERT_EQ(d.native, 1044);
    ASSERT_TRUE(endsWith(d.message, "Access denied for user 'trellick'@'%' to database 'nosuch'"))
        << d.message;
  }
  {
    Connection c;
    ASSERT_FALSE(c.connect(head + "Port=1;Database=shop;UID=trellick;PWD=x;"));
    const DiagRecord d = firstDiag(c);
    ASSERT_EQ(d.state, "HY000");
    ASSERT_EQ(d.native, 2002);
    ASSERT_TRUE(contains(d.message, "Can't connect to server on '127.0.0.1'")) << d.message;
  }
}

TEST_F(MariaDbDriverTest, bracedPasswordWithSemicolonAndBrace) {
  std::string err;
  ASSERT_TRUE(
      server_->client("create user 'braces'@'%' identified by 'a;b}c{d=e';"
                      "grant all on shop.* to 'braces'@'%';",
                      "", nullptr, &err))
      << err;
  const std::string head =
      "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" + std::to_string(server_->port()) +
      ";Database=shop;UID=braces;";
  // Braces around the value, '}' doubled inside (MADB_ParseConnString); spaces
  // around the braces are trimmed.
  for (const char* pwd : {"PWD={a;b}}c{d=e};", "PWD={a;b}}c{d=e}", "PWD= {a;b}}c{d=e} ;"}) {
    Connection c;
    ASSERT_TRUE(c.connect(head + pwd)) << c.error;
    ASSERT_EQ(scalar(c, "select current_user()"), "braces@%");
  }
  // Unbraced, ';' ends the value; braced with a single '}', the value ends there.
  for (const char* pwd : {"PWD=a;b}c{d=e;", "PWD={a;b}c{d=e};"}) {
    Connection c;
    ASSERT_FALSE(c.connect(head + pwd));
    ASSERT_EQ(firstDiag(c).state, "28000");
  }
}

TEST_F(MariaDbDriverTest, dbmsAndDriverNames) {
  Connection c;
  ASSERT_TRUE(c.connect(server_->odbcConnectionString())) << c.error;
  // SQL_DBMS_NAME is what the server calls itself (mysql_get_server_name).
  ASSERT_EQ(c.info(SQL_DBMS_NAME), "MariaDB");
  ASSERT_TRUE(startsWith(c.info(SQL_DBMS_VER), "10.11.")) << c.info(SQL_DBMS_VER);
  ASSERT_EQ(c.info(SQL_DRIVER_NAME), "libmaodbc.so");
  ASSERT_TRUE(startsWith(c.info(SQL_DRIVER_VER), "03.01.")) << c.info(SQL_DRIVER_VER);
  ASSERT_EQ(c.info(SQL_IDENTIFIER_QUOTE_CHAR), "`");
  ASSERT_EQ(c.info(SQL_CATALOG_TERM), "database");
  ASSERT_EQ(c.info(SQL_SCHEMA_TERM), "");
  ASSERT_EQ(c.info(SQL_SEARCH_PATTERN_ESCAPE), "\\");
}

TEST_F(MariaDbDriverTest, tablesListsEveryVisibleDatabase) {
  Connection c;
  ASSERT_TRUE(c.connect(server_->odbcConnectionString())) << c.error;
  // With a null catalog the driver lists information_schema.tables of every
  // database the user can see (MADB_StmtTables): other databases, and the
  // performance_schema tables open to everyone. Views and information_schema
  // ("SYSTEM VIEW") are left out by type "TABLE"; TABLE_SCHEM is NULL.
  const std::vector<Strings> expected{row("lab", "kinds"),
                                      row("lab", "numbers"),
                                      row("lab", "texts"),
                                      row("myXshop", "b"),
                                      row("my_shop", "a"),
                                      row("other", "accounts"),
                                      row("performance_schema", "global_status"),
                                      row("performance_schema", "session_account_connect_attrs"),
                                      row("performance_schema", "session_status"),
                                      row("shop", "customers"),
                                      row("shop", "orders")};
  ASSERT_EQ(tables(c, nullptr, nullptr, "TABLE"), expected);
  ASSERT_EQ(tables(c, nullptr, nullptr, "VIEW"),
            (std::vector<Strings>{row("shop", "open_orders", "VIEW")}));

  // A user with global privileges sees the system databases' tables too.
  Connection root;
  ASSERT_TRUE(root.connect("Driver={MariaDB Unicode};Server=127.0.0.1;Port=" +
                           std::to_string(server_->port()) + ";Database=shop;UID=root;PWD=;"))
      << root.error;
  std::set<std::string> catalogs;
  for (const Strings& r : tables(root, nullptr, nullptr, "TABLE")) catalogs.insert(r[0]);
  ASSERT_EQ(catalogs, (std::set<std::string>{"lab", "mysql", "myXshop", "my_shop", "other",
                                             "performance_schema", "shop", "sys"}));
}

TEST_F(MariaDbDriverTest, tablesRestrictedToTheCurrentCatalog) {
  Connection c;
  ASSERT_TRUE(c.connect(server_->odbcConnectionString())) << c.error;
  const Text currentValue = scalar(c, "select database()");
  ASSERT_EQ(currentValue, "shop");
  const std::string current = *currentValue;
  const std::vector<Strings> shop{row("shop", "customers"), row("shop", "orders")};
  ASSERT_EQ(tables(c, &current, nullptr, "TABLE"), shop);
  const std::string all = "%";
  ASSERT_EQ(tables(c, &current, &all, "TABLE"), shop);

  // An empty catalog or an empty schema matches nothing, without an error.
  std::string err;
  const std::string empty;
  ASSERT_EQ(tables(c, &empty, nullptr, "TABLE", false, &err).size(), 0u);
  ASSERT_TRUE(err.empty());
  ASSERT_EQ(tables(c, nullptr, &empty, "TABLE", false, &err).size(), 0u);
  ASSERT_TRUE(err.empty());
  // A database name given as schema is refused.
  ASSERT_EQ(tables(c, nullptr, &current, "TABLE", false, &err).size(), 0u);
  ASSERT_TRUE(startsWith(err, "HYC00")) << err;
  ASSERT_TRUE(contains(err, "Schemas are not supported")) << err;
}

TEST_F(MariaDbDriverTest, tablesCatalogIsAPattern) {
  Connection c;
  ASSERT_TRUE(c.connect(server_->odbcConnectionString("my_shop"))) << c.error;
  // The catalog goes into "TABLE_SCHEMA LIKE '...'" (AddPvCondition): '_' in a
  // database name matches any character unless escaped with '\'.
  const std::string plain = "my_shop";
  ASSERT_EQ(tables(c, &plain, nullptr, "TABLE"),
            (std::vector<Strings>{row("myXshop", "b"), row("my_shop", "a")}));
  const std::string escaped = "my\\_shop";
  ASSERT_EQ(tables(c, &escaped, nullptr, "TABLE"), (std::vector<Strings>{row("my_shop", "a")}));
  // SQL_ATTR_METADATA_ID is broken: the name becomes a backquoted column
  // (AddIdCondition), and the server rejects it.
  std::string err;
  ASSERT_EQ(tables(c, &plain, nullptr, "TABLE", true, &err).size(), 0u);
  ASSERT_TRUE(startsWith(err, "42S22 (1054)")) << err;
}

TEST_F(MariaDbDriverTest, describedTypesAndSizes) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("select * from kinds"))) << st.error();
  // Text comes back as the wide kinds; sizes count characters, octet lengths
  // are four bytes a character (utf8mb4 connection), whatever the column's
  // own character set. ENUM and SET look like CHAR of their longest member.
  struct Expect {
    const char* name;
    SQLSMALLINT type;
    SQLULEN size;
    const char* typeName;
    SQLLEN octets;
  };
  const Expect expected[] = {
      {"c", SQL_WCHAR, 10, "char", 40},
      {"vc", SQL_WVARCHAR, 40, "varchar", 160},
      {"tt", SQL_WLONGVARCHAR, 255, "text", 1020},
      {"t", SQL_WLONGVARCHAR, 65535, "text", 262140},
      {"mt", SQL_WLONGVARCHAR, 16777215, "text", 67108860},
      {"lt", SQL_WLONGVARCHAR, 1073741823, "text", 2147483647},
      {"e", SQL_WCHAR, 1, "char", 4},
      {"s", SQL_WCHAR, 3, "char", 12},
      {"v10", SQL_WVARCHAR, 10, "varchar", 40},
      {"i", SQL_INTEGER, 10, "integer", 4},
      {"gv", SQL_WVARCHAR, 60, "varchar", 240},
      {"gs", SQL_WVARCHAR, 60, "varchar", 240},
      {"l1", SQL_WVARCHAR, 20, "varchar", 80},
      {"b", SQL_VARBINARY, 20, "varbinary", 20},
      {"bl", SQL_LONGVARBINARY, 65535, "blob", 65535},
      {"j", SQL_WLONGVARCHAR, 1073741823, "text", 2147483647},
  };
  SQLSMALLINT cols = 0;
  SQLNumResultCols(st.h, &cols);
  ASSERT_EQ(cols, SQLSMALLINT(std::size(expected)));
  for (SQLUSMALLINT i = 1; i <= cols; ++i) {
    const Expect& e = expected[i - 1];
    SQLWCHAR name[128];
    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(
        SQLDescribeColW(st.h, i, name, 128, &nameLen, &type, &size, &digits, &nullable)));
    SQLWCHAR typeName[128] = {};
    SQLSMALLINT typeNameLen = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLColAttributeW(st.h, i, SQL_DESC_TYPE_NAME, typeName,
                                               sizeof typeName, &typeNameLen, nullptr)));
    SQLLEN octets = 0, concise = 0;
    SQLColAttributeW(st.h, i, SQL_DESC_OCTET_LENGTH, nullptr, 0, nullptr, &octets);
    SQLColAttributeW(st.h, i, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &concise);
    const std::string where = std::string("column ") + e.name;
    ASSERT_TRUE(fromWide(name) == e.name) << where;
    ASSERT_TRUE(type == e.type) << where << " type " << type;
    ASSERT_TRUE(size == e.size) << where << " size " << size;
    ASSERT_TRUE(fromWide(typeName) == e.typeName) << where << " " << fromWide(typeName);
    ASSERT_TRUE(octets == e.octets) << where << " octets " << octets;
    // SQL_DESC_CONCISE_TYPE disagrees with SQLDescribeCol for CHAR, VARCHAR
    // and the TEXT kinds: it reports the narrow codes.
    const SQLLEN narrow = type == SQL_WCHAR          ? SQL_CHAR
                          : type == SQL_WVARCHAR     ? SQL_VARCHAR
                          : type == SQL_WLONGVARCHAR ? SQL_LONGVARCHAR
                                                     : type;
    ASSERT_TRUE(concise == narrow) << where << " concise " << concise;
  }
}

TEST_F(MariaDbDriverTest, columnsTypeNames) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLColumnsW(st.h, Wide("lab"), SQL_NTS, nullptr, 0, Wide("kinds"), SQL_NTS, nullptr, 0)));
  // SQLColumns names the declared type (ENUM, SET, TINYTEXT, LONGTEXT for
  // JSON) and gives LONGTEXT its full 4 GiB size, unlike SQLDescribeCol.
  Strings seen;
  for (const Row& r : st.rows()) {
    ASSERT_GE(r.size(), 16u);
    seen.push_back(join({r[3].value_or(""), r[4].value_or(""), r[5].value_or(""), r[6].value_or(""),
                         r[15].value_or("")},
                        " "));
  }
  ASSERT_EQ(seen,
            (Strings{"c -8 CHAR 10 40", "vc -9 VARCHAR 40 160", "tt -10 TINYTEXT 255 1020",
                     "t -10 TEXT 65535 262140", "mt -10 MEDIUMTEXT 16777215 67108860",
                     "lt -10 LONGTEXT 4294967295 17179869180", "e -8 ENUM 1 4", "s -8 SET 3 12",
                     "v10 -9 VARCHAR 10 40", "i 4 INT 10 2", "gv -9 VARCHAR 60 240",
                     "gs -9 VARCHAR 60 240", "l1 -9 VARCHAR 20 80", "b -3 VARBINARY 20 20",
                     "bl -4 BLOB 65535 65535", "j -10 LONGTEXT 4294967295 17179869180"}));
}

TEST_F(MariaDbDriverTest, generatedColumnsInInformationSchema) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  ASSERT_TRUE(SQL_SUCCEEDED(
      st.exec("select column_name, extra, is_generated, generation_expression, "
              "character_set_name, collation_name from information_schema.columns "
              "where table_schema = database() and table_name = 'kinds' "
              "and column_name in ('vc', 'gv', 'gs', 'l1', 'j') order by ordinal_position")))
      << st.error();
  const Text null;
  const Rows expected{
      {"vc", "", "NEVER", null, "utf8mb4", "utf8mb4_general_ci"},
      {"gv", "VIRTUAL GENERATED", "ALWAYS", "concat(`vc`,'!')", "utf8mb4", "utf8mb4_general_ci"},
      {"gs", "STORED GENERATED", "ALWAYS", "ucase(`vc`)", "utf8mb4", "utf8mb4_general_ci"},
      {"l1", "", "NEVER", null, "latin1", "latin1_swedish_ci"},
      {"j", "", "NEVER", null, "utf8mb4", "utf8mb4_bin"}};
  const Rows got = st.rows();
  ASSERT_EQ(got, expected);
  ASSERT_FALSE(got[0][3].has_value());  // GENERATION_EXPRESSION is NULL, not empty
  // Writing a generated column is refused under the default sql_mode.
  Statement w(c);
  ASSERT_TRUE(SQL_SUCCEEDED(w.exec("insert into kinds (vc) values ('x')")));
  ASSERT_EQ(w.exec("update kinds set gs = 'y'"), SQLRETURN(SQL_ERROR));
  ASSERT_EQ(w.firstDiag().state, "HY000");
  ASSERT_EQ(w.firstDiag().native, 1906);
  ASSERT_EQ(w.exec("update kinds set gv = 'y'"), SQLRETURN(SQL_ERROR));
  ASSERT_EQ(scalar(c, "select concat(gv, gs) from kinds"), "x!X");
}

TEST_F(MariaDbDriverTest, wideStatementsStoreUtf8mb4) {
  std::string err;
  ASSERT_TRUE(server_->client("create table lab.wide (id int primary key, v varchar(100));", "",
                              nullptr, &err))
      << err;
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  const std::string text = "中文😀";
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("insert into wide values (1, '" + text + "')"))) << st.error();
  // A bound wide parameter arrives as UTF-8 too.
  Statement ins(c);
  const std::string param = "ÉtéB😀";
  Wide wideParam(param);
  SQLLEN ind = wideParam.bytes();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(ins.h, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                             100, 0, wideParam, ind, &ind)));
  ASSERT_TRUE(SQL_SUCCEEDED(ins.exec("insert into wide values (2, ?)"))) << ins.error();
  ASSERT_EQ(client("select hex(v), char_length(v), length(v) from lab.wide order by id"),
            "E4B8ADE69687F09F9880\t3\t10\nC38974C3A942F09F9880\t5\t10");
  ASSERT_EQ(scalar(c, "select v from wide where id = 1"), text);
  ASSERT_EQ(scalar(c, "select v from wide where id = 2"), param);
  // The client reads back what ODBC wrote, and ODBC what the client wrote.
  ASSERT_EQ(client("select v from lab.wide where id = 1"), text);
  ASSERT_TRUE(server_->client("insert into lab.wide values (3, 'ß😁');", "", nullptr, &err)) << err;
  ASSERT_EQ(scalar(c, "select v from wide where id = 3"), "ß😁");
}

// The driver measures a wide text by the low byte of each unit: a unit
// whose low byte is 0xD8 to 0xDB (站 is U+7AD9, 仙 U+4ED9) it takes for the
// first of a surrogate pair, and for each it reads one unit past the length
// it is given. What lies there is converted with the statement: a lone
// surrogate fails it with 22018, NUL units end it where it ends.
TEST_F(MariaDbDriverTest, wideStatementReadPastItsLengthAfterSomeCharacters) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  const char16_t lone = 0xDC00;
  struct Case {
    std::u16string literal, after;
    bool runs;
    std::string hex;
  };
  const Case cases[] = {
      {u"ab", {lone}, true, "6162"},           // nothing miscounted: never read
      {u"站", {lone}, false, ""},              // one unit read past it
      {u"站", {u'\0', lone}, true, "E7AB99"},  // ... a NUL, where it stops
      {u"站-仙", {u'\0', lone}, false, ""},    // two units read past it
      {u"站-仙", {u'\0', u'\0', lone}, true, "E7AB992DE4BB99"},
      // One read past 站 passes over 仙 unmeasured.
      {u"站仙", {u'\0', lone}, true, "E7AB99E4BB99"},
      {u"点", {lone}, true, "E782B9"},  // U+70B9: its low byte is not one of them
  };
  for (const Case& k : cases) {
    const std::u16string statement = u"select hex('" + k.literal + u"')";
    std::u16string buffer = statement + k.after;
    Statement st(c);
    const SQLRETURN r = SQLExecDirectW(st.h, reinterpret_cast<SQLWCHAR*>(buffer.data()),
                                       static_cast<SQLINTEGER>(statement.size()));
    const std::string shown = testsupport::toUtf8(statement);
    if (!k.runs) {
      EXPECT_EQ(r, SQLRETURN(SQL_ERROR)) << shown;
      EXPECT_EQ(st.firstDiag().state, "22018") << shown;
      continue;
    }
    ASSERT_TRUE(SQL_SUCCEEDED(r)) << shown << ": " << st.error();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(st.h))) << shown;
    EXPECT_EQ(st.text(1), k.hex) << shown;
  }
}

TEST_F(MariaDbDriverTest, longValueReadInPieces) {
  std::string err;
  ASSERT_TRUE(server_->client("create table lab.longs (id int primary key, v longtext);", "",
                              nullptr, &err))
      << err;
  // 100,000 characters, 125,000 UTF-16 code units: every fifth unit starts
  // a surrogate pair, so most piece boundaries fall inside one somewhere.
  std::string value;
  for (int i = 0; i < 25000; ++i) value += "ab中😀";
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("insert into longs values (1, '" + value + "'), (2, '😀😀😀')")))
      << st.error();
  ASSERT_EQ(client("select char_length(v), length(v), md5(v) from lab.longs where id = 1"),
            "100000\t225000\t" + testsupport::md5Hex(value));
  const std::u16string longValue = testsupport::toUtf16(value);
  const std::u16string shortValue = testsupport::toUtf16("😀😀😀");
  for (int chunk : {4097, 1000, 2}) {
    for (int id : {1, 2}) {
      Statement rd(c);
      ASSERT_TRUE(SQL_SUCCEEDED(rd.exec("select v from longs where id = " + std::to_string(id))));
      ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(rd.h)));
      if (id == 1 && chunk == 2) continue;  // one unit a call: only the short value
      const std::optional<std::u16string> back = rd.textWide(1, chunk);
      ASSERT_TRUE(back == (id == 1 ? longValue : shortValue))
          << "chunk " << chunk << ", id " << id << ", "
          << (back ? std::to_string(back->size()) : std::string("NULL")) << " units";
    }
  }
}

TEST_F(MariaDbDriverTest, sqlModeAndBackslashes) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  ASSERT_EQ(scalar(c, "select @@sql_mode"),
            "STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,"
            "NO_ENGINE_SUBSTITUTION");
  // Each query below is written with single backslashes in SQL: 'a\\b' is
  // a, two backslashes, b.
  const std::string twoBackslashes = "select length('a\\\\b')";
  const std::string newline = "select hex('a\\nb')";
  const std::string likeEscapes =
      "select concat(('axb' like 'a\\_b'), ('a_b' like 'a\\_b'), "
      "('axb' like 'a!_b' escape '!'), ('a_b' like 'a!_b' escape '!'))";
  // By default a backslash in a literal escapes the next character.
  ASSERT_EQ(scalar(c, twoBackslashes), "3");
  ASSERT_EQ(scalar(c, newline), "610A62");
  ASSERT_EQ(scalar(c, likeEscapes), "0101");

  Statement st(c);
  ASSERT_TRUE(
      SQL_SUCCEEDED(st.exec("set session sql_mode = concat(@@sql_mode, ',NO_BACKSLASH_ESCAPES')")));
  // Now a backslash is an ordinary character in literals, yet LIKE still
  // takes it as its escape character.
  ASSERT_EQ(scalar(c, twoBackslashes), "4");
  ASSERT_EQ(scalar(c, newline), "615C6E62");
  ASSERT_EQ(scalar(c, likeEscapes), "0101");
}

TEST_F(MariaDbDriverTest, likeIsCaseInsensitiveWhereReplaceIsNot) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  ASSERT_EQ(scalar(c, "select @@collation_database"), "utf8mb4_general_ci");
  // utf8mb4_general_ci folds case and accents, and weighs every character
  // outside the BMP the same; REPLACE matches exactly.
  const struct {
    const char* like;
    const char* replace;
    const char* replaced;
  } cases[] = {
      {"'ABC' like '%b%'", "replace('ABC', 'b', 'x')", "ABC"},
      {"'É' like '%é%'", "replace('É', 'é', 'x')", "É"},
      {"'E' like '%é%'", "replace('E', 'é', 'x')", "E"},
      {"'a😀' like '%😁%'", "replace('a😀', '😁', 'x')", "a😀"},
  };
  for (const auto& k : cases) {
    ASSERT_EQ(scalar(c, std::string("select ") + k.like), "1");
    ASSERT_EQ(scalar(c, std::string("select ") + k.replace), k.replaced);
  }
  ASSERT_EQ(scalar(c, "select replace('中文😀', '😀', 'x')"), "中文x");
}

// One way of writing a case-sensitive LIKE, on one column of lab.texts, and
// the ids it matches for each pattern.
struct LikeForm {
  const char* name;
  std::string form;
  std::string column;
  Strings expected;
};

// Rows: 1 ABC, 2 abc, 3 É, 4 é, 5 中😀, 6 a😁, 7 x_y, 8 xzy. The latin1
// column holds NULL where latin1 has no such character. Each result is the
// ids matching, for these patterns in order:
//   %b%  %é%  %😀%  中_  a_  %\_%  x_y
std::vector<LikeForm> likeForms() {
  const std::string collateBin = "%1 collate utf8mb4_bin like '%2'";
  const std::string convert = "convert(%1 using utf8mb4) collate utf8mb4_bin like '%2'";
  const std::string likeCollate = "%1 like '%2' collate utf8mb4_bin";
  const std::string likeBinary = "%1 like binary '%2'";
  const std::string binaryColumn = "binary %1 like '%2'";
  const Strings exactChars{"2", "4", "5", "5", "6", "7", "7,8"};
  const Strings exactBytes{"2", "4", "5", "", "", "7", "7,8"};
  return {
      // The default collation: case- and accent-blind, and all emoji are equal.
      {"plain utf8mb4", "%1 like '%2'", "u", {"1,2", "3,4", "5,6", "5", "6", "7", "7,8"}},
      // Character-wise and exact: agrees with REPLACE.
      {"collate bin utf8mb4", collateBin, "u", exactChars},
      {"convert utf8mb4", convert, "u", exactChars},
      {"like collate utf8mb4", likeCollate, "u", exactChars},
      // Byte-wise: exact, but '_' matches one byte of a multi-byte character.
      {"like binary utf8mb4", likeBinary, "u", exactBytes},
      {"binary column utf8mb4", binaryColumn, "u", exactBytes},
      // On latin1, COLLATE utf8mb4_bin on the column is an error; converting
      // works; the byte forms compare latin1 bytes with UTF-8 ones.
      {"collate bin latin1", collateBin, "l", {"error 1253"}},
      {"convert latin1", convert, "l", {"2", "4", "", "", "", "7", "7,8"}},
      {"like collate latin1", likeCollate, "l", {"2", "4", "", "", "", "7", "7,8"}},
      {"like binary latin1", likeBinary, "l", {"2", "", "", "", "", "7", "7,8"}},
      {"binary column latin1", binaryColumn, "l", {"2", "", "", "", "", "7", "7,8"}},
      // A pattern with a character latin1 lacks cannot even be compared.
      {"plain latin1", "%1 like '%2'", "l", {"1,2", "3,4", "error 1267"}},
  };
}

class CaseSensitiveLikeForms : public MariaDbDriverTest,
                               public ::testing::WithParamInterface<LikeForm> {};

TEST_P(CaseSensitiveLikeForms, caseSensitiveLikeForms) {
  const LikeForm& k = GetParam();
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  const Strings patterns{"%b%", "%é%", "%😀%", "中_", "a_", "%\\_%", "x_y"};
  Strings got;
  for (const std::string& p : patterns) {
    Statement st(c);
    if (!SQL_SUCCEEDED(st.exec("select group_concat(id order by id) from texts where " +
                               fill(k.form, k.column, p)))) {
      got.push_back("error " + std::to_string(st.firstDiag().native));
      break;
    }
    ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(st.h)));
    got.push_back(st.text(1).value_or(""));  // NULL (no match) reads as empty
  }
  ASSERT_EQ(got, k.expected);
}

INSTANTIATE_TEST_SUITE_P(MariaDbDriver, CaseSensitiveLikeForms, ::testing::ValuesIn(likeForms()),
                         [](const ::testing::TestParamInfo<LikeForm>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (ch == ' ') ch = '_';
                           return name;
                         });

TEST_F(MariaDbDriverTest, replaceIsCaseAndAccentSensitive) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  // The rows REPLACE changes are exactly those the utf8mb4_bin forms count.
  const auto changed = [&](const std::string& col, const std::string& what) {
    return scalar(c, "select group_concat(id order by id) from texts where replace(" + col + ", '" +
                         what + "', '#') <> " + col);
  };
  ASSERT_EQ(changed("u", "b"), "2");
  ASSERT_EQ(changed("u", "é"), "4");
  ASSERT_EQ(changed("u", "😀"), "5");
  ASSERT_EQ(changed("l", "b"), "2");
  ASSERT_EQ(changed("l", "é"), "4");
  // On a latin1 column a character latin1 lacks makes REPLACE an error.
  ASSERT_TRUE(contains(changed("l", "😀"), "(1270)")) << changed("l", "😀").value_or("NULL");
}

TEST_F(MariaDbDriverTest, queryTimeoutAttributeIsIgnored) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  // The driver keeps no query time-out (MADB_StmtSetAttr): it answers 01S02
  // and reads back 0.
  ASSERT_EQ(SQLSetStmtAttr(st.h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0),
            SQLRETURN(SQL_SUCCESS_WITH_INFO));
  const DiagRecord d = st.firstDiag();
  ASSERT_EQ(d.state, "01S02");
  ASSERT_TRUE(endsWith(d.message, "Option value changed to default (no timeout)")) << d.message;
  SQLULEN value = 99;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetStmtAttr(st.h, SQL_ATTR_QUERY_TIMEOUT, &value, 0, nullptr)));
  ASSERT_EQ(value, SQLULEN(0));
  const Timed t = timedQuery(st, "select sleep(3)");
  ASSERT_EQ(t.result, SQLRETURN(SQL_SUCCESS));
  ASSERT_EQ(t.value, "0");  // slept its full time
  ASSERT_TRUE(t.ms >= 2900) << t.ms;
}

TEST_F(MariaDbDriverTest, maxStatementTimeEndsAStatementWithAnError) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("set session max_statement_time = 1.5")));
  // The server ends the statement; the driver reports an error, also for
  // SLEEP, never a result.
  for (const std::string& q : {std::string("select sleep(20)"),
                               std::string("select count(*) from numbers a, numbers b, numbers c "
                                           "where a.n + b.n + c.n = 7")}) {
    const Timed t = timedQuery(st, q);
    ASSERT_EQ(t.result, SQLRETURN(SQL_ERROR));
    ASSERT_EQ(t.diag.state, "HY018");
    ASSERT_EQ(t.diag.native, 1969);
    ASSERT_TRUE(
        endsWith(t.diag.message, "Query execution was interrupted (max_statement_time exceeded)"))
        << t.diag.message;
    ASSERT_TRUE(t.ms >= 1400 && t.ms < 6000) << t.ms;
    // The same connection goes on.
    ASSERT_EQ(scalar(c, "select 1"), "1");
  }
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("set session max_statement_time = 0")));
  ASSERT_EQ(scalar(c, "select sleep(0.1)"), "0");
}

TEST_F(MariaDbDriverTest, setStatementPrefixLosesTheResult) {
  // A statement starting with SET is taken for one without a result
  // (MADB_GetQueryType, MADB_StmtPrepare) and its result is never read: no rows, and the
  // connection is out of step afterwards. Session variables are the way.
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  ASSERT_EQ(st.exec("set statement max_statement_time = 5 for select 42"), SQLRETURN(SQL_SUCCESS));
  SQLSMALLINT cols = -1;
  SQLNumResultCols(st.h, &cols);
  ASSERT_EQ(cols, SQLSMALLINT(0));
  ASSERT_EQ(SQLFetch(st.h), SQLRETURN(SQL_ERROR));
  ASSERT_EQ(st.firstDiag().state, "24000");
  ASSERT_TRUE(contains(scalar(c, "select 1"), "(2014)")) << "expected: Commands out of sync";
  // Statements without a result are not affected.
  Connection d;
  ASSERT_TRUE(d.connect(lab())) << d.error;
  Statement up(d);
  ASSERT_EQ(
      up.exec("set statement max_statement_time = 5 for update numbers set n = n where n = 1"),
      SQLRETURN(SQL_SUCCESS));
  ASSERT_EQ(scalar(d, "select 1"), "1");
}

TEST_F(MariaDbDriverTest, cancelFromAnotherThreadKillsTheQuery) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  Statement st(c);
  // While a statement runs, SQLCancel opens a second connection and sends
  // KILL QUERY (MA_SQLCancel); the statement then fails.
  SQLRETURN cancel = 99;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    cancel = SQLCancel(st.h);
  });
  const Timed t = timedQuery(st, "select sleep(20)");
  canceller.join();
  ASSERT_EQ(cancel, SQLRETURN(SQL_SUCCESS));
  ASSERT_EQ(t.result, SQLRETURN(SQL_ERROR));
  ASSERT_EQ(t.diag.state, "HY018");
  ASSERT_EQ(t.diag.native, 1317);
  ASSERT_TRUE(endsWith(t.diag.message, "Query execution was interrupted")) << t.diag.message;
  ASSERT_TRUE(t.ms >= 1400 && t.ms < 5000) << t.ms;
  ASSERT_EQ(scalar(c, "select 1"), "1");
  // On an idle statement SQLCancel just closes the cursor.
  Statement idle(c);
  ASSERT_EQ(SQLCancel(idle.h), SQLRETURN(SQL_SUCCESS));
}

TEST_F(MariaDbDriverTest, rowLockWaits) {
  std::string err;
  ASSERT_TRUE(
      server_->client("create table lab.locked (id int primary key, v varchar(20));"
                      "insert into lab.locked values (1, 'a');",
                      "", nullptr, &err))
      << err;
  Connection holder, waiter;
  ASSERT_TRUE(holder.connect(lab())) << holder.error;
  ASSERT_TRUE(waiter.connect(lab())) << waiter.error;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(
      holder.dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  Statement h(holder), w(waiter);
  ASSERT_TRUE(SQL_SUCCEEDED(w.exec("set session innodb_lock_wait_timeout = 100")));

  // QUERY_TIMEOUT does not end the wait: the update goes through once the
  // lock is released 3 s later.
  ASSERT_TRUE(SQL_SUCCEEDED(h.exec("update locked set v = 'held' where id = 1")));
  SQLSetStmtAttr(w.h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    SQLEndTran(SQL_HANDLE_DBC, holder.dbc, SQL_ROLLBACK);
  });
  Timed t = timedQuery(w, "update locked set v = 'waited' where id = 1");
  releaser.join();
  ASSERT_EQ(t.result, SQLRETURN(SQL_SUCCESS));
  ASSERT_TRUE(t.ms >= 2900) << t.ms;

  // max_statement_time ends a lock wait with the time-out error.
  ASSERT_TRUE(SQL_SUCCEEDED(h.exec("update locked set v = 'held' where id = 1")));
  ASSERT_TRUE(SQL_SUCCEEDED(w.exec("set session max_statement_time = 1.5")));
  t = timedQuery(w, "update locked set v = 'timed out' where id = 1");
  ASSERT_EQ(t.result, SQLRETURN(SQL_ERROR));
  ASSERT_EQ(t.diag.state, "HY018");
  ASSERT_EQ(t.diag.native, 1969);
  ASSERT_TRUE(t.ms >= 1400 && t.ms < 6000) << t.ms;
  ASSERT_TRUE(SQL_SUCCEEDED(w.exec("set session max_statement_time = 0")));

  // innodb_lock_wait_timeout gives its own error.
  ASSERT_TRUE(SQL_SUCCEEDED(w.exec("set session innodb_lock_wait_timeout = 1")));
  t = timedQuery(w, "update locked set v = 'lock timeout' where id = 1");
  ASSERT_EQ(t.result, SQLRETURN(SQL_ERROR));
  ASSERT_EQ(t.diag.state, "HY000");
  ASSERT_EQ(t.diag.native, 1205);
  ASSERT_TRUE(endsWith(t.diag.message, "Lock wait timeout exceeded; try restarting transaction"))
      << t.diag.message;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, holder.dbc, SQL_ROLLBACK)));
  ASSERT_EQ(scalar(waiter, "select v from locked"), "waited");
}

TEST_F(MariaDbDriverTest, secondStatementWhileFirstResultPending) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  // The driver reads a whole result at execution (MADB_StmtExecute,
  // mysql_stmt_store_result), so the connection is free for another
  // statement while the first is being fetched.
  Statement first(c), second(c);
  ASSERT_TRUE(SQL_SUCCEEDED(first.exec("select n from numbers order by n")));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(first.h)));
  ASSERT_EQ(first.text(1), "1");
  ASSERT_EQ(second.exec("select count(*) from numbers"), SQLRETURN(SQL_SUCCESS));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(second.h)));
  ASSERT_EQ(second.text(1), "1000");
  ASSERT_TRUE(SQL_SUCCEEDED(second.exec("update numbers set n = n where n = 2")));
  int rest = 0, last = 0;
  while (SQL_SUCCEEDED(SQLFetch(first.h))) {
    ++rest;
    last = std::atoi(first.text(1).value_or("").c_str());
  }
  ASSERT_EQ(rest, 999);
  ASSERT_EQ(last, 1000);
  SQLUSMALLINT maxActive = 99;
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLGetInfoW(c.dbc, SQL_MAX_CONCURRENT_ACTIVITIES, &maxActive, sizeof maxActive, nullptr)));
  ASSERT_EQ(maxActive, SQLUSMALLINT(0));  // no stated limit
}

TEST_F(MariaDbDriverTest, autocommitIsOnByDefault) {
  Connection c;
  ASSERT_TRUE(c.connect(lab())) << c.error;
  SQLULEN autocommit = 99;
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLGetConnectAttr(c.dbc, SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr)));
  ASSERT_EQ(autocommit, SQLULEN(SQL_AUTOCOMMIT_ON));
  ASSERT_EQ(scalar(c, "select @@autocommit"), "1");
  ASSERT_EQ(scalar(c, "select @@tx_isolation"), "REPEATABLE-READ");
  // A write is visible to another session at once.
  Statement st(c);
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("create table autocommitted (n int)")));
  ASSERT_TRUE(SQL_SUCCEEDED(st.exec("insert into autocommitted values (7)")));
  ASSERT_EQ(client("select n from lab.autocommitted"), "7");
}

TEST_F(MariaDbDriverTest, dsnWithoutMariaDbInItsName) {
  // The DSN names a driver only the private odbcinst.ini knows, and lives in
  // the private user odbc.ini: connecting proves both variables are read.
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid()) << dir.error();
  const std::string driverPath = driverLibrary();
  ASSERT_TRUE(!driverPath.empty()) << "libmaodbc.so not found (package odbc-mariadb)";
  ASSERT_TRUE(testsupport::writeFile(dir.file("odbcinst.ini"),
                                     "[Ledger Driver]\nDriver=" + driverPath + "\n"));
  ASSERT_TRUE(testsupport::writeFile(dir.file("odbc.ini"), ""));
  ASSERT_TRUE(testsupport::writeFile(
      dir.file("user-odbc.ini"), "[Accounts]\nDriver=Ledger Driver\nServer=127.0.0.1\nPort=" +
                                     std::to_string(server_->port()) +
                                     "\nDatabase=shop\nUID=trellick\nPWD=" + server_->password() +
                                     "\n"));
  // unixODBC reads the variables once per process, so a fresh process tries it.
  testsupport::ProcessOptions options;
  options.timeoutMs = 30000;
  options.setEnv = {{"ODBCSYSINI", dir.path()}, {"ODBCINI", dir.file("user-odbc.ini")}};
  const testsupport::ProcessResult p =
      testsupport::runProcess({testsupport::selfExecutable(), "--dsn-probe", "Accounts"}, options);
  ASSERT_TRUE(p.started && !p.timedOut) << p.err;
  ASSERT_EQ(p.out, "sources=Accounts\ndbms=MariaDB\ndatabase=shop\n");
  ASSERT_EQ(p.exitCode, 0);

  // This process never saw the variables: the DSN does not exist here.
  Connection c;
  ASSERT_FALSE(c.connect("DSN=Accounts;"));
  ASSERT_EQ(firstDiag(c).state, "IM002");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--dsn-probe") == 0) return dsnProbe(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--serve-until-killed") == 0) return serveUntilKilled();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new ServerEnvironment);
  return RUN_ALL_TESTS();
}
