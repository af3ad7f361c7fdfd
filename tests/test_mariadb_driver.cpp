// What the MariaDB Connector/ODBC driver (Debian's odbc-mariadb) and a real
// MariaDB server do, proven with raw ODBC calls. The product's MariaDB
// support relies on each of these; a driver or server upgrade that changes
// one fails here first.
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <cstring>
#include <memory>
#include <thread>

#include "mariadb_server.h"

namespace {

SQLWCHAR* W(const QString& s) {
  return const_cast<SQLWCHAR*>(reinterpret_cast<const SQLWCHAR*>(s.utf16()));
}

QString fromW(const SQLWCHAR* s, int chars = -1) {
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(s), chars);
}

struct DiagRecord {
  QString state;
  int native = 0;
  QString message;
};

QList<DiagRecord> diagnostics(SQLSMALLINT type, SQLHANDLE h) {
  QList<DiagRecord> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR msg[2048] = {};
    SQLSMALLINT len = 0;
    const SQLRETURN r = SQLGetDiagRecW(type, h, i, state, &native, msg, 2048, &len);
    if (!SQL_SUCCEEDED(r)) break;
    out.append({fromW(state, 5), static_cast<int>(native), fromW(msg)});
  }
  return out;
}

QString diagText(SQLSMALLINT type, SQLHANDLE h) {
  QStringList parts;
  for (const DiagRecord& d : diagnostics(type, h)) {
    parts << QStringLiteral("%1 (%2): %3").arg(d.state).arg(d.native).arg(d.message);
  }
  return parts.join(QStringLiteral("; "));
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

  bool connect(const QString& connectionString) {
    SQLWCHAR out[2048];
    SQLSMALLINT outLen = 0;
    result = SQLDriverConnectW(dbc, nullptr, W(connectionString), SQL_NTS, out, 2048, &outLen,
                               SQL_DRIVER_NOPROMPT);
    connected = SQL_SUCCEEDED(result);
    error = connected ? QString() : diagText(SQL_HANDLE_DBC, dbc);
    return connected;
  }

  QString info(SQLUSMALLINT type) const {
    SQLWCHAR buf[512] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, type, buf, sizeof buf, &len))) return QString();
    return fromW(buf);
  }

  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  SQLRETURN result = SQL_SUCCESS;
  QString error;
};

DiagRecord firstDiag(const Connection& c) {
  const QList<DiagRecord> d = diagnostics(SQL_HANDLE_DBC, c.dbc);
  return d.isEmpty() ? DiagRecord{} : d.first();
}

class Statement {
 public:
  explicit Statement(const Connection& c) { SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &h); }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLRETURN exec(const QString& sql) {
    SQLFreeStmt(h, SQL_CLOSE);
    return SQLExecDirectW(h, W(sql), SQL_NTS);
  }
  QString error() const { return diagText(SQL_HANDLE_STMT, h); }
  DiagRecord firstDiag() const {
    const QList<DiagRecord> d = diagnostics(SQL_HANDLE_STMT, h);
    return d.isEmpty() ? DiagRecord{} : d.first();
  }

  // Reads one column as UTF-16 in pieces of chunkChars code units (the last
  // one holds the terminator). Null for SQL NULL.
  QString text(SQLUSMALLINT col, int chunkChars = 4096) {
    QString value;
    std::vector<SQLWCHAR> buf(chunkChars);
    const SQLLEN bytes = static_cast<SQLLEN>(buf.size() * sizeof(SQLWCHAR));
    for (;;) {
      SQLLEN ind = 0;
      const SQLRETURN r = SQLGetData(h, col, SQL_C_WCHAR, buf.data(), bytes, &ind);
      if (r == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(r)) return QStringLiteral("<error: %1>").arg(error());
      if (ind == SQL_NULL_DATA) return QString();
      const bool more = r == SQL_SUCCESS_WITH_INFO &&
                        (ind == SQL_NO_TOTAL || ind >= bytes - SQLLEN(sizeof(SQLWCHAR)));
      const int chars = more ? chunkChars - 1 : static_cast<int>(ind / sizeof(SQLWCHAR));
      value += fromW(buf.data(), chars);
      if (value.isNull()) value = QStringLiteral("");
      if (!more) break;
    }
    return value;
  }

  QList<QStringList> rows() {
    QList<QStringList> out;
    SQLSMALLINT cols = 0;
    SQLNumResultCols(h, &cols);
    while (SQL_SUCCEEDED(SQLFetch(h))) {
      QStringList row;
      for (SQLUSMALLINT c = 1; c <= cols; ++c) row << text(c);
      out << row;
    }
    return out;
  }

  SQLHSTMT h = SQL_NULL_HSTMT;
};

// The single value of a one-row, one-column query, or "<error: ...>".
QString scalar(const Connection& c, const QString& sql) {
  Statement st(c);
  const SQLRETURN r = st.exec(sql);
  if (!SQL_SUCCEEDED(r)) return QStringLiteral("<error: %1>").arg(st.error());
  if (!SQL_SUCCEEDED(SQLFetch(st.h))) return QStringLiteral("<no row: %1>").arg(st.error());
  return st.text(1);
}

// The driver library itself, for connection strings and odbcinst.ini
// files that name it by path.
QString driverLibrary() {
  for (const char* d :
       {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc", "/usr/lib/odbc"}) {
    const QString path = QString::fromLatin1(d) + QStringLiteral("/libmaodbc.so");
    if (QFileInfo::exists(path)) return path;
  }
  return QString();
}

// What a statement returned, how long it took, and its first value.
struct Timed {
  SQLRETURN result = SQL_SUCCESS;
  qint64 ms = 0;
  DiagRecord diag;
  QString value;
};

Timed timedQuery(Statement& st, const QString& sql) {
  QElapsedTimer clock;
  clock.start();
  Timed out;
  out.result = st.exec(sql);
  out.diag = st.firstDiag();
  if (SQL_SUCCEEDED(out.result) && SQL_SUCCEEDED(SQLFetch(st.h))) out.value = st.text(1);
  out.ms = clock.elapsed();
  return out;
}

// SQLTablesW rows as (TABLE_CAT, TABLE_SCHEM, TABLE_NAME, TABLE_TYPE), SQL NULL
// shown as "<null>". A failure returns no rows and sets *error.
QList<QStringList> tables(const Connection& c, const QString* catalog, const QString* schema,
                          const QString& type, bool metadataId = false, QString* error = nullptr) {
  Statement st(c);
  if (metadataId) {
    SQLSetStmtAttr(st.h, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_TRUE), 0);
  }
  QString t = type;
  const SQLRETURN r =
      SQLTablesW(st.h, catalog ? W(*catalog) : nullptr, catalog ? SQL_NTS : 0,
                 schema ? W(*schema) : nullptr, schema ? SQL_NTS : 0, nullptr, 0, W(t), SQL_NTS);
  if (error) error->clear();
  if (!SQL_SUCCEEDED(r)) {
    if (error) *error = st.error();
    return {};
  }
  QList<QStringList> out;
  for (QStringList row : st.rows()) {
    for (QString& v : row) {
      if (v.isNull()) v = QStringLiteral("<null>");
    }
    out << row.mid(0, 4);
  }
  return out;
}

QStringList row(const char* cat, const char* name, const char* type = "TABLE") {
  return {QString::fromUtf8(cat), QStringLiteral("<null>"), QString::fromUtf8(name),
          QString::fromUtf8(type)};
}

// Child mode: connects through a DSN that only ODBCSYSINI/ODBCINI (set by
// the parent before this process made any ODBC call) can resolve, and prints
// what it saw.
int dsnProbe(const char* dsn) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &g_env);
  SQLSetEnvAttr(g_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  QStringList sources;
  SQLWCHAR name[256], desc[256];
  SQLSMALLINT nameLen, descLen;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (
      SQL_SUCCEEDED(SQLDataSourcesW(g_env, direction, name, 256, &nameLen, desc, 256, &descLen))) {
    sources << fromW(name);
    direction = SQL_FETCH_NEXT;
  }
  QTextStream out(stdout);
  out << "sources=" << sources.join(QLatin1Char(',')) << "\n";
  Connection c;
  if (!c.connect(QStringLiteral("DSN=") + QString::fromUtf8(dsn) + QLatin1Char(';'))) {
    out << "error=" << c.error << "\n";
    return 1;
  }
  out << "dbms=" << c.info(SQL_DBMS_NAME) << "\n";
  out << "database=" << scalar(c, QStringLiteral("select database()")) << "\n";
  return 0;
}

// Child mode: starts a server, says where it is, and waits to be killed.
int serveUntilKilled(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  MariaDbServer server;
  QTextStream out(stdout);
  if (!server.ok()) {
    out << "error=" << server.errorText() << "\n";
    return 1;
  }
  out << "pid=" << server.serverPid() << "\ndir=" << server.directory()
      << "\nport=" << server.port() << "\n";
  out.flush();
  QThread::sleep(120);
  return 0;
}

}  // namespace

class TestMariaDbDriver : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();

  void serverIsPrivateAndUtf8mb4();
  void serverGoesAwayWhenTheTestProcessIsKilled();
  void connectionStringKeys();
  void connectionFailures();
  void bracedPasswordWithSemicolonAndBrace();
  void dbmsAndDriverNames();
  void tablesListsEveryVisibleDatabase();
  void tablesRestrictedToTheCurrentCatalog();
  void tablesCatalogIsAPattern();
  void describedTypesAndSizes();
  void columnsTypeNames();
  void generatedColumnsInInformationSchema();
  void wideStatementsStoreUtf8mb4();
  void longValueReadInPieces();
  void sqlModeAndBackslashes();
  void likeIsCaseInsensitiveWhereReplaceIsNot();
  void caseSensitiveLikeForms_data();
  void caseSensitiveLikeForms();
  void replaceIsCaseAndAccentSensitive();
  void queryTimeoutAttributeIsIgnored();
  void maxStatementTimeEndsAStatementWithAnError();
  void setStatementPrefixLosesTheResult();
  void cancelFromAnotherThreadKillsTheQuery();
  void rowLockWaits();
  void secondStatementWhileFirstResultPending();
  void autocommitIsOnByDefault();
  void dsnWithoutMariaDbInItsName();

 private:
  QString lab() const { return server_->odbcConnectionString(QStringLiteral("lab")); }
  std::unique_ptr<MariaDbServer> server_;
};

void TestMariaDbDriver::initTestCase() {
  server_ = std::make_unique<MariaDbServer>();
  QVERIFY2(server_->ok(), qPrintable(server_->errorText()));
  QString err;
  // "shop" holds two tables and a view, "other" one table: what SQLTables
  // sees. my_shop and myXshop differ only where '_' matches any character.
  // Everything else happens in "lab".
  for (const char* db : {"other", "lab", "my_shop", "myXshop"}) {
    QVERIFY2(server_->createDatabase(QString::fromLatin1(db), &err), qPrintable(err));
  }
  server_->client(
      QStringLiteral("create table shop.customers (id int primary key, name varchar(40));"
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
                     "(7, 'x_y', 'x_y'), (8, 'xzy', 'xzy');"),
      {}, &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  QVERIFY(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &g_env)));
  SQLSetEnvAttr(g_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

void TestMariaDbDriver::cleanupTestCase() {
  if (g_env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, g_env);
  g_env = SQL_NULL_HENV;
  server_.reset();
}

void TestMariaDbDriver::serverIsPrivateAndUtf8mb4() {
  QString err;
  const QString out = server_->client(
      QStringLiteral("select @@port, @@bind_address, @@datadir, @@character_set_server, "
                     "@@collation_server, @@skip_grant_tables, @@log_bin, "
                     "default_character_set_name, default_collation_name "
                     "from information_schema.schemata where schema_name = 'shop'"),
      {}, &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  const QStringList f = out.split(QLatin1Char('\t'));
  QCOMPARE(f.size(), 9);
  QCOMPARE(f[0].toInt(), server_->port());
  QCOMPARE(f[1], QStringLiteral("127.0.0.1"));
  QVERIFY2(f[2].startsWith(server_->directory()), qPrintable(f[2]));
  QCOMPARE(f.mid(3), (QStringList{"utf8mb4", "utf8mb4_general_ci", "0", "0", "utf8mb4",
                                  "utf8mb4_general_ci"}));
  QCOMPARE(server_->serverField(), QStringLiteral("mariadb:127.0.0.1:%1").arg(server_->port()));
  // The client reports failures instead of output.
  QVERIFY(
      server_->client(QStringLiteral("select * from no_such_table"), QStringLiteral("shop"), &err)
          .isNull());
  QVERIFY2(err.contains(QStringLiteral("1146")), qPrintable(err));
}

void TestMariaDbDriver::serverGoesAwayWhenTheTestProcessIsKilled() {
  QProcess child;
  child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve-until-killed")});
  QVERIFY(child.waitForStarted(5000));
  QMap<QString, QString> seen;
  QDeadlineTimer deadline(60000);
  while (!seen.contains(QStringLiteral("port")) && !seen.contains(QStringLiteral("error")) &&
         !deadline.hasExpired() && child.state() == QProcess::Running) {
    child.waitForReadyRead(500);
    while (child.canReadLine()) {
      const QString line = QString::fromUtf8(child.readLine()).trimmed();
      seen.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    }
  }
  QVERIFY2(seen.contains(QStringLiteral("port")), qPrintable(seen.value(QStringLiteral("error"))));
  const pid_t serverPid = seen.value(QStringLiteral("pid")).toInt();
  const QString dir = seen.value(QStringLiteral("dir"));
  QVERIFY(serverPid > 0);
  QVERIFY(QFileInfo::exists(dir));
  QCOMPARE(::kill(serverPid, 0), 0);

  // Its pid is 0 once ended, and kill(0, ...) would take this test's group.
  QVERIFY(child.processId() > 0);
  ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
  QVERIFY(child.waitForFinished(5000));
  // The watcher polls once a second, then waits for the server to stop.
  QTRY_VERIFY_WITH_TIMEOUT(::kill(serverPid, 0) != 0 && !QFileInfo::exists(dir), 20000);
}

void TestMariaDbDriver::connectionStringKeys() {
  // The odbc-mariadb package registers the driver under this name.
  QCOMPARE(MariaDbServer::odbcDriver(), QStringLiteral("MariaDB Unicode"));
  QVERIFY2(!driverLibrary().isEmpty(), "libmaodbc.so not found (package odbc-mariadb)");
  const QString rest = QStringLiteral("Server=127.0.0.1;Port=%1;Database=shop;UID=trellick;PWD=%2;")
                           .arg(server_->port())
                           .arg(server_->password());
  const QString who = QStringLiteral(
      "select concat_ws(' ', database(), current_user(), @@character_set_client, "
      "@@character_set_results, @@collation_connection)");
  const QString utf8mb4 = QStringLiteral("shop trellick@% utf8mb4 utf8mb4 utf8mb4_general_ci");
  for (const QString& cs :
       {server_->odbcConnectionString(), QStringLiteral("Driver=MariaDB Unicode;") + rest,
        QStringLiteral("DRIVER={MariaDB Unicode};") + rest + QStringLiteral("CHARSET=utf8mb4;"),
        QStringLiteral("Driver=") + driverLibrary() + QLatin1Char(';') + rest,
        // Aliases the driver accepts (ma_dsn.c, DsnKeys).
        QStringLiteral("Driver={MariaDB Unicode};SERVERNAME=127.0.0.1;PORT=%1;DB=shop;"
                       "USER=trellick;PASSWORD=%2")
            .arg(server_->port())
            .arg(server_->password())}) {
    Connection c;
    QVERIFY2(c.connect(cs), qPrintable(cs + QStringLiteral(": ") + c.error));
    // A Unicode connection talks utf8mb4 unless told otherwise.
    QCOMPARE(scalar(c, who), utf8mb4);
  }
  // CHARSET is obeyed: anything but utf8mb4 would lose characters.
  Connection latin1;
  QVERIFY2(latin1.connect(server_->odbcConnectionString() + QStringLiteral("CHARSET=latin1;")),
           qPrintable(latin1.error));
  QCOMPARE(scalar(latin1, QStringLiteral("select @@character_set_client")),
           QStringLiteral("latin1"));
  // Without Database the connection has no current database.
  Connection none;
  QVERIFY2(none.connect(QStringLiteral("Driver={MariaDB Unicode};Server=127.0.0.1;Port=%1;"
                                       "UID=trellick;PWD=%2;")
                            .arg(server_->port())
                            .arg(server_->password())),
           qPrintable(none.error));
  QVERIFY(scalar(none, QStringLiteral("select database()")).isNull());
}

void TestMariaDbDriver::connectionFailures() {
  const QString head = QStringLiteral("Driver={MariaDB Unicode};Server=127.0.0.1;");
  {
    Connection c;
    QVERIFY(!c.connect(
        head +
        QStringLiteral("Port=%1;Database=shop;UID=trellick;PWD=wrong;").arg(server_->port())));
    QCOMPARE(c.result, SQLRETURN(SQL_ERROR));
    const DiagRecord d = firstDiag(c);
    QCOMPARE(d.state, QStringLiteral("28000"));
    QCOMPARE(d.native, 1045);
    QVERIFY2(d.message.startsWith(QStringLiteral("[ma-")), qPrintable(d.message));
    QVERIFY2(d.message.endsWith(QStringLiteral(
                 "Access denied for user 'trellick'@'127.0.0.1' (using password: YES)")),
             qPrintable(d.message));
  }
  {
    Connection c;
    QVERIFY(!c.connect(head + QStringLiteral("Port=%1;Database=nosuch;UID=trellick;PWD=%2;")
                                  .arg(server_->port())
                                  .arg(server_->password())));
    const DiagRecord d = firstDiag(c);
    QCOMPARE(d.state, QStringLiteral("42000"));
    QCOMPARE(d.native, 1044);
    QVERIFY2(d.message.endsWith(
                 QStringLiteral("Access denied for user 'trellick'@'%' to database 'nosuch'")),
             qPrintable(d.message));
  }
  {
    Connection c;
    QVERIFY(!c.connect(head + QStringLiteral("Port=1;Database=shop;UID=trellick;PWD=x;")));
    const DiagRecord d = firstDiag(c);
    QCOMPARE(d.state, QStringLiteral("HY000"));
    QCOMPARE(d.native, 2002);
    QVERIFY2(d.message.contains(QStringLiteral("Can't connect to server on '127.0.0.1'")),
             qPrintable(d.message));
  }
}

void TestMariaDbDriver::bracedPasswordWithSemicolonAndBrace() {
  QString err;
  server_->client(QStringLiteral("create user 'braces'@'%' identified by 'a;b}c{d=e';"
                                 "grant all on shop.* to 'braces'@'%';"),
                  {}, &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  const QString head =
      QStringLiteral("Driver={MariaDB Unicode};Server=127.0.0.1;Port=%1;Database=shop;UID=braces;")
          .arg(server_->port());
  // Braces around the value, '}' doubled inside (MADB_ParseConnString); spaces
  // around the braces are trimmed.
  for (const char* pwd : {"PWD={a;b}}c{d=e};", "PWD={a;b}}c{d=e}", "PWD= {a;b}}c{d=e} ;"}) {
    Connection c;
    QVERIFY2(c.connect(head + QString::fromLatin1(pwd)), qPrintable(c.error));
    QCOMPARE(scalar(c, QStringLiteral("select current_user()")), QStringLiteral("braces@%"));
  }
  // Unbraced, ';' ends the value; braced with a single '}', the value ends there.
  for (const char* pwd : {"PWD=a;b}c{d=e;", "PWD={a;b}c{d=e};"}) {
    Connection c;
    QVERIFY(!c.connect(head + QString::fromLatin1(pwd)));
    QCOMPARE(firstDiag(c).state, QStringLiteral("28000"));
  }
}

void TestMariaDbDriver::dbmsAndDriverNames() {
  Connection c;
  QVERIFY2(c.connect(server_->odbcConnectionString()), qPrintable(c.error));
  // SQL_DBMS_NAME is what the server calls itself (mysql_get_server_name).
  QCOMPARE(c.info(SQL_DBMS_NAME), QStringLiteral("MariaDB"));
  QVERIFY2(c.info(SQL_DBMS_VER).startsWith(QStringLiteral("10.11.")),
           qPrintable(c.info(SQL_DBMS_VER)));
  QCOMPARE(c.info(SQL_DRIVER_NAME), QStringLiteral("libmaodbc.so"));
  QVERIFY2(c.info(SQL_DRIVER_VER).startsWith(QStringLiteral("03.01.")),
           qPrintable(c.info(SQL_DRIVER_VER)));
  QCOMPARE(c.info(SQL_IDENTIFIER_QUOTE_CHAR), QStringLiteral("`"));
  QCOMPARE(c.info(SQL_CATALOG_TERM), QStringLiteral("database"));
  QCOMPARE(c.info(SQL_SCHEMA_TERM), QStringLiteral(""));
  QCOMPARE(c.info(SQL_SEARCH_PATTERN_ESCAPE), QStringLiteral("\\"));
}

void TestMariaDbDriver::tablesListsEveryVisibleDatabase() {
  Connection c;
  QVERIFY2(c.connect(server_->odbcConnectionString()), qPrintable(c.error));
  // With a null catalog the driver lists information_schema.tables of every
  // database the user can see (MADB_StmtTables): other databases, and the
  // performance_schema tables open to everyone. Views and information_schema
  // ("SYSTEM VIEW") are left out by type "TABLE"; TABLE_SCHEM is NULL.
  const QList<QStringList> expected{row("lab", "kinds"),
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
  QCOMPARE(tables(c, nullptr, nullptr, QStringLiteral("TABLE")), expected);
  QCOMPARE(tables(c, nullptr, nullptr, QStringLiteral("VIEW")),
           (QList<QStringList>{row("shop", "open_orders", "VIEW")}));

  // A user with global privileges sees the system databases' tables too.
  Connection root;
  QVERIFY2(root.connect(QStringLiteral("Driver={MariaDB Unicode};Server=127.0.0.1;Port=%1;"
                                       "Database=shop;UID=root;PWD=;")
                            .arg(server_->port())),
           qPrintable(root.error));
  QSet<QString> catalogs;
  for (const QStringList& r : tables(root, nullptr, nullptr, QStringLiteral("TABLE"))) {
    catalogs.insert(r[0]);
  }
  QCOMPARE(catalogs, (QSet<QString>{"lab", "mysql", "myXshop", "my_shop", "other",
                                    "performance_schema", "shop", "sys"}));
}

void TestMariaDbDriver::tablesRestrictedToTheCurrentCatalog() {
  Connection c;
  QVERIFY2(c.connect(server_->odbcConnectionString()), qPrintable(c.error));
  const QString current = scalar(c, QStringLiteral("select database()"));
  QCOMPARE(current, QStringLiteral("shop"));
  const QList<QStringList> shop{row("shop", "customers"), row("shop", "orders")};
  QCOMPARE(tables(c, &current, nullptr, QStringLiteral("TABLE")), shop);
  const QString all = QStringLiteral("%");
  QCOMPARE(tables(c, &current, &all, QStringLiteral("TABLE")), shop);

  // An empty catalog or an empty schema matches nothing, without an error.
  QString err;
  const QString empty = QStringLiteral("");
  QCOMPARE(tables(c, &empty, nullptr, QStringLiteral("TABLE"), false, &err).size(), 0);
  QVERIFY(err.isEmpty());
  QCOMPARE(tables(c, nullptr, &empty, QStringLiteral("TABLE"), false, &err).size(), 0);
  QVERIFY(err.isEmpty());
  // A database name given as schema is refused.
  QCOMPARE(tables(c, nullptr, &current, QStringLiteral("TABLE"), false, &err).size(), 0);
  QVERIFY2(err.startsWith(QStringLiteral("HYC00")), qPrintable(err));
  QVERIFY2(err.contains(QStringLiteral("Schemas are not supported")), qPrintable(err));
}

void TestMariaDbDriver::tablesCatalogIsAPattern() {
  Connection c;
  QVERIFY2(c.connect(server_->odbcConnectionString(QStringLiteral("my_shop"))),
           qPrintable(c.error));
  // The catalog goes into "TABLE_SCHEMA LIKE '...'" (AddPvCondition): '_' in a
  // database name matches any character unless escaped with '\'.
  const QString plain = QStringLiteral("my_shop");
  QCOMPARE(tables(c, &plain, nullptr, QStringLiteral("TABLE")),
           (QList<QStringList>{row("myXshop", "b"), row("my_shop", "a")}));
  const QString escaped = QStringLiteral("my\\_shop");
  QCOMPARE(tables(c, &escaped, nullptr, QStringLiteral("TABLE")),
           (QList<QStringList>{row("my_shop", "a")}));
  // SQL_ATTR_METADATA_ID is broken: the name becomes a backquoted column
  // (AddIdCondition), and the server rejects it.
  QString err;
  QCOMPARE(tables(c, &plain, nullptr, QStringLiteral("TABLE"), true, &err).size(), 0);
  QVERIFY2(err.startsWith(QStringLiteral("42S22 (1054)")), qPrintable(err));
}

void TestMariaDbDriver::describedTypesAndSizes() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  QVERIFY2(SQL_SUCCEEDED(st.exec(QStringLiteral("select * from kinds"))), qPrintable(st.error()));
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
  QCOMPARE(cols, SQLSMALLINT(std::size(expected)));
  for (SQLUSMALLINT i = 1; i <= cols; ++i) {
    const Expect& e = expected[i - 1];
    SQLWCHAR name[128];
    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    QVERIFY(SQL_SUCCEEDED(
        SQLDescribeColW(st.h, i, name, 128, &nameLen, &type, &size, &digits, &nullable)));
    SQLWCHAR typeName[128] = {};
    SQLSMALLINT typeNameLen = 0;
    QVERIFY(SQL_SUCCEEDED(SQLColAttributeW(st.h, i, SQL_DESC_TYPE_NAME, typeName, sizeof typeName,
                                           &typeNameLen, nullptr)));
    SQLLEN octets = 0, concise = 0;
    SQLColAttributeW(st.h, i, SQL_DESC_OCTET_LENGTH, nullptr, 0, nullptr, &octets);
    SQLColAttributeW(st.h, i, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &concise);
    const QByteArray where = QByteArray("column ") + e.name;
    QVERIFY2(fromW(name) == QLatin1String(e.name), where);
    QVERIFY2(type == e.type, where + " type " + QByteArray::number(type));
    QVERIFY2(size == e.size, where + " size " + QByteArray::number(qulonglong(size)));
    QVERIFY2(fromW(typeName) == QLatin1String(e.typeName), where + " " + fromW(typeName).toUtf8());
    QVERIFY2(octets == e.octets, where + " octets " + QByteArray::number(qlonglong(octets)));
    // SQL_DESC_CONCISE_TYPE disagrees with SQLDescribeCol for CHAR, VARCHAR
    // and the TEXT kinds: it reports the narrow codes.
    const SQLLEN narrow = type == SQL_WCHAR          ? SQL_CHAR
                          : type == SQL_WVARCHAR     ? SQL_VARCHAR
                          : type == SQL_WLONGVARCHAR ? SQL_LONGVARCHAR
                                                     : type;
    QVERIFY2(concise == narrow, where + " concise " + QByteArray::number(qlonglong(concise)));
  }
}

void TestMariaDbDriver::columnsTypeNames() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  QString labName = QStringLiteral("lab"), kinds = QStringLiteral("kinds");
  QVERIFY(SQL_SUCCEEDED(
      SQLColumnsW(st.h, W(labName), SQL_NTS, nullptr, 0, W(kinds), SQL_NTS, nullptr, 0)));
  // SQLColumns names the declared type (ENUM, SET, TINYTEXT, LONGTEXT for
  // JSON) and gives LONGTEXT its full 4 GiB size, unlike SQLDescribeCol.
  QStringList seen;
  for (const QStringList& r : st.rows()) {
    seen << QStringLiteral("%1 %2 %3 %4 %5").arg(r[3], r[4], r[5], r[6], r[15]);
  }
  QCOMPARE(seen,
           (QStringList{"c -8 CHAR 10 40", "vc -9 VARCHAR 40 160", "tt -10 TINYTEXT 255 1020",
                        "t -10 TEXT 65535 262140", "mt -10 MEDIUMTEXT 16777215 67108860",
                        "lt -10 LONGTEXT 4294967295 17179869180", "e -8 ENUM 1 4", "s -8 SET 3 12",
                        "v10 -9 VARCHAR 10 40", "i 4 INT 10 2", "gv -9 VARCHAR 60 240",
                        "gs -9 VARCHAR 60 240", "l1 -9 VARCHAR 20 80", "b -3 VARBINARY 20 20",
                        "bl -4 BLOB 65535 65535", "j -10 LONGTEXT 4294967295 17179869180"}));
}

void TestMariaDbDriver::generatedColumnsInInformationSchema() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  QVERIFY2(SQL_SUCCEEDED(st.exec(QStringLiteral(
               "select column_name, extra, is_generated, generation_expression, "
               "character_set_name, collation_name from information_schema.columns "
               "where table_schema = database() and table_name = 'kinds' "
               "and column_name in ('vc', 'gv', 'gs', 'l1', 'j') order by ordinal_position"))),
           qPrintable(st.error()));
  const QList<QStringList> expected{
      {"vc", "", "NEVER", QString(), "utf8mb4", "utf8mb4_general_ci"},
      {"gv", "VIRTUAL GENERATED", "ALWAYS", "concat(`vc`,'!')", "utf8mb4", "utf8mb4_general_ci"},
      {"gs", "STORED GENERATED", "ALWAYS", "ucase(`vc`)", "utf8mb4", "utf8mb4_general_ci"},
      {"l1", "", "NEVER", QString(), "latin1", "latin1_swedish_ci"},
      {"j", "", "NEVER", QString(), "utf8mb4", "utf8mb4_bin"}};
  const QList<QStringList> got = st.rows();
  QCOMPARE(got, expected);
  QVERIFY(got[0][3].isNull());  // GENERATION_EXPRESSION is NULL, not empty
  // Writing a generated column is refused under the default sql_mode.
  Statement w(c);
  QVERIFY(SQL_SUCCEEDED(w.exec(QStringLiteral("insert into kinds (vc) values ('x')"))));
  QCOMPARE(w.exec(QStringLiteral("update kinds set gs = 'y'")), SQLRETURN(SQL_ERROR));
  QCOMPARE(w.firstDiag().state, QStringLiteral("HY000"));
  QCOMPARE(w.firstDiag().native, 1906);
  QCOMPARE(w.exec(QStringLiteral("update kinds set gv = 'y'")), SQLRETURN(SQL_ERROR));
  QCOMPARE(scalar(c, QStringLiteral("select concat(gv, gs) from kinds")), QStringLiteral("x!X"));
}

void TestMariaDbDriver::wideStatementsStoreUtf8mb4() {
  QString err;
  server_->client(QStringLiteral("create table lab.wide (id int primary key, v varchar(100));"), {},
                  &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  const QString text = QStringLiteral("中文😀");
  QVERIFY2(SQL_SUCCEEDED(st.exec(QStringLiteral("insert into wide values (1, '") + text +
                                 QStringLiteral("')"))),
           qPrintable(st.error()));
  // A bound wide parameter arrives as UTF-8 too.
  Statement ins(c);
  QString param = QStringLiteral("ÉtéB😀");
  SQLLEN ind = param.size() * SQLLEN(sizeof(SQLWCHAR));
  QVERIFY(SQL_SUCCEEDED(SQLBindParameter(ins.h, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 100,
                                         0, W(param), ind, &ind)));
  QVERIFY2(SQL_SUCCEEDED(ins.exec(QStringLiteral("insert into wide values (2, ?)"))),
           qPrintable(ins.error()));
  QCOMPARE(server_->client(QStringLiteral(
               "select hex(v), char_length(v), length(v) from lab.wide order by id")),
           QStringLiteral("E4B8ADE69687F09F9880\t3\t10\nC38974C3A942F09F9880\t5\t10"));
  QCOMPARE(scalar(c, QStringLiteral("select v from wide where id = 1")), text);
  QCOMPARE(scalar(c, QStringLiteral("select v from wide where id = 2")), param);
  // The client reads back what ODBC wrote, and ODBC what the client wrote.
  QCOMPARE(server_->client(QStringLiteral("select v from lab.wide where id = 1")), text);
  server_->client(QStringLiteral("insert into lab.wide values (3, 'ß😁');"), {}, &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  QCOMPARE(scalar(c, QStringLiteral("select v from wide where id = 3")), QStringLiteral("ß😁"));
}

void TestMariaDbDriver::longValueReadInPieces() {
  QString err;
  server_->client(QStringLiteral("create table lab.longs (id int primary key, v longtext);"), {},
                  &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  // 100,000 characters, 125,000 UTF-16 code units: every fifth unit starts
  // a surrogate pair, so most piece boundaries fall inside one somewhere.
  QString value;
  for (int i = 0; i < 25000; ++i) value += QStringLiteral("ab中😀");
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  QVERIFY2(SQL_SUCCEEDED(st.exec(QStringLiteral("insert into longs values (1, '") + value +
                                 QStringLiteral("'), (2, '😀😀😀')"))),
           qPrintable(st.error()));
  QCOMPARE(server_->client(QStringLiteral("select char_length(v), length(v), md5(v) from lab.longs "
                                          "where id = 1")),
           QStringLiteral("100000\t225000\t") +
               QString::fromLatin1(
                   QCryptographicHash::hash(value.toUtf8(), QCryptographicHash::Md5).toHex()));
  for (int chunk : {4097, 1000, 2}) {
    for (int id : {1, 2}) {
      Statement rd(c);
      QVERIFY(SQL_SUCCEEDED(rd.exec(QStringLiteral("select v from longs where id = %1").arg(id))));
      QVERIFY(SQL_SUCCEEDED(SQLFetch(rd.h)));
      if (id == 1 && chunk == 2) continue;  // one unit a call: only the short value
      const QString back = rd.text(1, chunk);
      QVERIFY2(
          back == (id == 1 ? value : QStringLiteral("😀😀😀")),
          qPrintable(
              QStringLiteral("chunk %1, id %2, %3 units").arg(chunk).arg(id).arg(back.size())));
    }
  }
}

void TestMariaDbDriver::sqlModeAndBackslashes() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  QCOMPARE(scalar(c, QStringLiteral("select @@sql_mode")),
           QStringLiteral("STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,"
                          "NO_ENGINE_SUBSTITUTION"));
  // Each query below is written with single backslashes in SQL: 'a\\b' is
  // a, two backslashes, b.
  const QString twoBackslashes = QStringLiteral("select length('a\\\\b')");
  const QString newline = QStringLiteral("select hex('a\\nb')");
  const QString likeEscapes = QStringLiteral(
      "select concat(('axb' like 'a\\_b'), ('a_b' like 'a\\_b'), "
      "('axb' like 'a!_b' escape '!'), ('a_b' like 'a!_b' escape '!'))");
  // By default a backslash in a literal escapes the next character.
  QCOMPARE(scalar(c, twoBackslashes), QStringLiteral("3"));
  QCOMPARE(scalar(c, newline), QStringLiteral("610A62"));
  QCOMPARE(scalar(c, likeEscapes), QStringLiteral("0101"));

  Statement st(c);
  QVERIFY(SQL_SUCCEEDED(st.exec(
      QStringLiteral("set session sql_mode = concat(@@sql_mode, ',NO_BACKSLASH_ESCAPES')"))));
  // Now a backslash is an ordinary character in literals, yet LIKE still
  // takes it as its escape character.
  QCOMPARE(scalar(c, twoBackslashes), QStringLiteral("4"));
  QCOMPARE(scalar(c, newline), QStringLiteral("615C6E62"));
  QCOMPARE(scalar(c, likeEscapes), QStringLiteral("0101"));
}

void TestMariaDbDriver::likeIsCaseInsensitiveWhereReplaceIsNot() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  QCOMPARE(scalar(c, QStringLiteral("select @@collation_database")),
           QStringLiteral("utf8mb4_general_ci"));
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
    QCOMPARE(scalar(c, QStringLiteral("select ") + QString::fromUtf8(k.like)), QStringLiteral("1"));
    QCOMPARE(scalar(c, QStringLiteral("select ") + QString::fromUtf8(k.replace)),
             QString::fromUtf8(k.replaced));
  }
  QCOMPARE(scalar(c, QStringLiteral("select replace('中文😀', '😀', 'x')")), QStringLiteral("中文x"));
}

void TestMariaDbDriver::caseSensitiveLikeForms_data() {
  QTest::addColumn<QString>("form");
  QTest::addColumn<QString>("column");
  QTest::addColumn<QStringList>("expected");
  // Rows: 1 ABC, 2 abc, 3 É, 4 é, 5 中😀, 6 a😁, 7 x_y, 8 xzy. The latin1
  // column holds NULL where latin1 has no such character. Each result is the
  // ids matching, for these patterns in order:
  //   %b%  %é%  %😀%  中_  a_  %\_%  x_y
  const QString collateBin = QStringLiteral("%1 collate utf8mb4_bin like '%2'");
  const QString convert = QStringLiteral("convert(%1 using utf8mb4) collate utf8mb4_bin like '%2'");
  const QString likeCollate = QStringLiteral("%1 like '%2' collate utf8mb4_bin");
  const QString likeBinary = QStringLiteral("%1 like binary '%2'");
  const QString binaryColumn = QStringLiteral("binary %1 like '%2'");
  const QStringList exactChars{"2", "4", "5", "5", "6", "7", "7,8"};
  const QStringList exactBytes{"2", "4", "5", "", "", "7", "7,8"};
  // The default collation: case- and accent-blind, and all emoji are equal.
  QTest::newRow("plain utf8mb4") << QStringLiteral("%1 like '%2'") << "u"
                                 << QStringList{"1,2", "3,4", "5,6", "5", "6", "7", "7,8"};
  // Character-wise and exact: agrees with REPLACE.
  QTest::newRow("collate bin utf8mb4") << collateBin << "u" << exactChars;
  QTest::newRow("convert utf8mb4") << convert << "u" << exactChars;
  QTest::newRow("like collate utf8mb4") << likeCollate << "u" << exactChars;
  // Byte-wise: exact, but '_' matches one byte of a multi-byte character.
  QTest::newRow("like binary utf8mb4") << likeBinary << "u" << exactBytes;
  QTest::newRow("binary column utf8mb4") << binaryColumn << "u" << exactBytes;
  // On latin1, COLLATE utf8mb4_bin on the column is an error; converting
  // works; the byte forms compare latin1 bytes with UTF-8 ones.
  QTest::newRow("collate bin latin1") << collateBin << "l" << QStringList{"error 1253"};
  QTest::newRow("convert latin1") << convert << "l"
                                  << QStringList{"2", "4", "", "", "", "7", "7,8"};
  QTest::newRow("like collate latin1")
      << likeCollate << "l" << QStringList{"2", "4", "", "", "", "7", "7,8"};
  QTest::newRow("like binary latin1")
      << likeBinary << "l" << QStringList{"2", "", "", "", "", "7", "7,8"};
  QTest::newRow("binary column latin1")
      << binaryColumn << "l" << QStringList{"2", "", "", "", "", "7", "7,8"};
  // A pattern with a character latin1 lacks cannot even be compared.
  QTest::newRow("plain latin1") << QStringLiteral("%1 like '%2'") << "l"
                                << QStringList{"1,2", "3,4", "error 1267"};
}

void TestMariaDbDriver::caseSensitiveLikeForms() {
  QFETCH(QString, form);
  QFETCH(QString, column);
  QFETCH(QStringList, expected);
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  const QStringList patterns{"%b%", "%é%", "%😀%", "中_", "a_", "%\\_%", "x_y"};
  QStringList got;
  for (const QString& p : patterns) {
    Statement st(c);
    if (!SQL_SUCCEEDED(
            st.exec(QStringLiteral("select group_concat(id order by id) from texts where ") +
                    form.arg(column, p)))) {
      got << QStringLiteral("error %1").arg(st.firstDiag().native);
      break;
    }
    QVERIFY(SQL_SUCCEEDED(SQLFetch(st.h)));
    got << st.text(1);  // NULL (no match) reads as empty
  }
  QCOMPARE(got, expected);
}

void TestMariaDbDriver::replaceIsCaseAndAccentSensitive() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  // The rows REPLACE changes are exactly those the utf8mb4_bin forms count.
  const auto changed = [&](const QString& col, const QString& what) {
    return scalar(c, QStringLiteral("select group_concat(id order by id) from texts "
                                    "where replace(%1, '%2', '#') <> %1")
                         .arg(col, what));
  };
  QCOMPARE(changed(QStringLiteral("u"), QStringLiteral("b")), QStringLiteral("2"));
  QCOMPARE(changed(QStringLiteral("u"), QStringLiteral("é")), QStringLiteral("4"));
  QCOMPARE(changed(QStringLiteral("u"), QStringLiteral("😀")), QStringLiteral("5"));
  QCOMPARE(changed(QStringLiteral("l"), QStringLiteral("b")), QStringLiteral("2"));
  QCOMPARE(changed(QStringLiteral("l"), QStringLiteral("é")), QStringLiteral("4"));
  // On a latin1 column a character latin1 lacks makes REPLACE an error.
  QVERIFY2(changed(QStringLiteral("l"), QStringLiteral("😀")).contains(QStringLiteral("(1270)")),
           qPrintable(changed(QStringLiteral("l"), QStringLiteral("😀"))));
}

void TestMariaDbDriver::queryTimeoutAttributeIsIgnored() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  // The driver keeps no query time-out (MADB_StmtSetAttr): it answers 01S02
  // and reads back 0.
  QCOMPARE(SQLSetStmtAttr(st.h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0),
           SQLRETURN(SQL_SUCCESS_WITH_INFO));
  const DiagRecord d = st.firstDiag();
  QCOMPARE(d.state, QStringLiteral("01S02"));
  QVERIFY2(d.message.endsWith(QStringLiteral("Option value changed to default (no timeout)")),
           qPrintable(d.message));
  SQLULEN value = 99;
  QVERIFY(SQL_SUCCEEDED(SQLGetStmtAttr(st.h, SQL_ATTR_QUERY_TIMEOUT, &value, 0, nullptr)));
  QCOMPARE(value, SQLULEN(0));
  const Timed t = timedQuery(st, QStringLiteral("select sleep(3)"));
  QCOMPARE(t.result, SQLRETURN(SQL_SUCCESS));
  QCOMPARE(t.value, QStringLiteral("0"));  // slept its full time
  QVERIFY2(t.ms >= 2900, qPrintable(QString::number(t.ms)));
}

void TestMariaDbDriver::maxStatementTimeEndsAStatementWithAnError() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  QVERIFY(SQL_SUCCEEDED(st.exec(QStringLiteral("set session max_statement_time = 1.5"))));
  // The server ends the statement; the driver reports an error, also for
  // SLEEP, never a result.
  for (const QString& q : {QStringLiteral("select sleep(20)"),
                           QStringLiteral("select count(*) from numbers a, numbers b, numbers c "
                                          "where a.n + b.n + c.n = 7")}) {
    const Timed t = timedQuery(st, q);
    QCOMPARE(t.result, SQLRETURN(SQL_ERROR));
    QCOMPARE(t.diag.state, QStringLiteral("HY018"));
    QCOMPARE(t.diag.native, 1969);
    QVERIFY2(t.diag.message.endsWith(
                 QStringLiteral("Query execution was interrupted (max_statement_time exceeded)")),
             qPrintable(t.diag.message));
    QVERIFY2(t.ms >= 1400 && t.ms < 6000, qPrintable(QString::number(t.ms)));
    // The same connection goes on.
    QCOMPARE(scalar(c, QStringLiteral("select 1")), QStringLiteral("1"));
  }
  QVERIFY(SQL_SUCCEEDED(st.exec(QStringLiteral("set session max_statement_time = 0"))));
  QCOMPARE(scalar(c, QStringLiteral("select sleep(0.1)")), QStringLiteral("0"));
}

void TestMariaDbDriver::setStatementPrefixLosesTheResult() {
  // A statement starting with SET is taken for one without a result
  // (MADB_GetQueryType, MADB_StmtPrepare) and its result is never read: no rows, and the
  // connection is out of step afterwards. Session variables are the way.
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  QCOMPARE(st.exec(QStringLiteral("set statement max_statement_time = 5 for select 42")),
           SQLRETURN(SQL_SUCCESS));
  SQLSMALLINT cols = -1;
  SQLNumResultCols(st.h, &cols);
  QCOMPARE(cols, SQLSMALLINT(0));
  QCOMPARE(SQLFetch(st.h), SQLRETURN(SQL_ERROR));
  QCOMPARE(st.firstDiag().state, QStringLiteral("24000"));
  QVERIFY2(scalar(c, QStringLiteral("select 1")).contains(QStringLiteral("(2014)")),
           "expected: Commands out of sync");
  // Statements without a result are not affected.
  Connection d;
  QVERIFY2(d.connect(lab()), qPrintable(d.error));
  Statement up(d);
  QCOMPARE(up.exec(QStringLiteral(
               "set statement max_statement_time = 5 for update numbers set n = n where n = 1")),
           SQLRETURN(SQL_SUCCESS));
  QCOMPARE(scalar(d, QStringLiteral("select 1")), QStringLiteral("1"));
}

void TestMariaDbDriver::cancelFromAnotherThreadKillsTheQuery() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  Statement st(c);
  // While a statement runs, SQLCancel opens a second connection and sends
  // KILL QUERY (MA_SQLCancel); the statement then fails.
  SQLRETURN cancel = 99;
  std::thread canceller([&] {
    QThread::msleep(1500);
    cancel = SQLCancel(st.h);
  });
  const Timed t = timedQuery(st, QStringLiteral("select sleep(20)"));
  canceller.join();
  QCOMPARE(cancel, SQLRETURN(SQL_SUCCESS));
  QCOMPARE(t.result, SQLRETURN(SQL_ERROR));
  QCOMPARE(t.diag.state, QStringLiteral("HY018"));
  QCOMPARE(t.diag.native, 1317);
  QVERIFY2(t.diag.message.endsWith(QStringLiteral("Query execution was interrupted")),
           qPrintable(t.diag.message));
  QVERIFY2(t.ms >= 1400 && t.ms < 5000, qPrintable(QString::number(t.ms)));
  QCOMPARE(scalar(c, QStringLiteral("select 1")), QStringLiteral("1"));
  // On an idle statement SQLCancel just closes the cursor.
  Statement idle(c);
  QCOMPARE(SQLCancel(idle.h), SQLRETURN(SQL_SUCCESS));
}

void TestMariaDbDriver::rowLockWaits() {
  QString err;
  server_->client(QStringLiteral("create table lab.locked (id int primary key, v varchar(20));"
                                 "insert into lab.locked values (1, 'a');"),
                  {}, &err);
  QVERIFY2(err.isEmpty(), qPrintable(err));
  Connection holder, waiter;
  QVERIFY2(holder.connect(lab()), qPrintable(holder.error));
  QVERIFY2(waiter.connect(lab()), qPrintable(waiter.error));
  QVERIFY(SQL_SUCCEEDED(SQLSetConnectAttr(holder.dbc, SQL_ATTR_AUTOCOMMIT,
                                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  Statement h(holder), w(waiter);
  QVERIFY(SQL_SUCCEEDED(w.exec(QStringLiteral("set session innodb_lock_wait_timeout = 100"))));

  // QUERY_TIMEOUT does not end the wait: the update goes through once the
  // lock is released 3 s later.
  QVERIFY(SQL_SUCCEEDED(h.exec(QStringLiteral("update locked set v = 'held' where id = 1"))));
  SQLSetStmtAttr(w.h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
  std::thread releaser([&] {
    QThread::msleep(3000);
    SQLEndTran(SQL_HANDLE_DBC, holder.dbc, SQL_ROLLBACK);
  });
  Timed t = timedQuery(w, QStringLiteral("update locked set v = 'waited' where id = 1"));
  releaser.join();
  QCOMPARE(t.result, SQLRETURN(SQL_SUCCESS));
  QVERIFY2(t.ms >= 2900, qPrintable(QString::number(t.ms)));

  // max_statement_time ends a lock wait with the time-out error.
  QVERIFY(SQL_SUCCEEDED(h.exec(QStringLiteral("update locked set v = 'held' where id = 1"))));
  QVERIFY(SQL_SUCCEEDED(w.exec(QStringLiteral("set session max_statement_time = 1.5"))));
  t = timedQuery(w, QStringLiteral("update locked set v = 'timed out' where id = 1"));
  QCOMPARE(t.result, SQLRETURN(SQL_ERROR));
  QCOMPARE(t.diag.state, QStringLiteral("HY018"));
  QCOMPARE(t.diag.native, 1969);
  QVERIFY2(t.ms >= 1400 && t.ms < 6000, qPrintable(QString::number(t.ms)));
  QVERIFY(SQL_SUCCEEDED(w.exec(QStringLiteral("set session max_statement_time = 0"))));

  // innodb_lock_wait_timeout gives its own error.
  QVERIFY(SQL_SUCCEEDED(w.exec(QStringLiteral("set session innodb_lock_wait_timeout = 1"))));
  t = timedQuery(w, QStringLiteral("update locked set v = 'lock timeout' where id = 1"));
  QCOMPARE(t.result, SQLRETURN(SQL_ERROR));
  QCOMPARE(t.diag.state, QStringLiteral("HY000"));
  QCOMPARE(t.diag.native, 1205);
  QVERIFY2(t.diag.message.endsWith(
               QStringLiteral("Lock wait timeout exceeded; try restarting transaction")),
           qPrintable(t.diag.message));
  QVERIFY(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, holder.dbc, SQL_ROLLBACK)));
  QCOMPARE(scalar(waiter, QStringLiteral("select v from locked")), QStringLiteral("waited"));
}

void TestMariaDbDriver::secondStatementWhileFirstResultPending() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  // The driver reads a whole result at execution (MADB_StmtExecute,
  // mysql_stmt_store_result), so the connection is free for another
  // statement while the first is being fetched.
  Statement first(c), second(c);
  QVERIFY(SQL_SUCCEEDED(first.exec(QStringLiteral("select n from numbers order by n"))));
  QVERIFY(SQL_SUCCEEDED(SQLFetch(first.h)));
  QCOMPARE(first.text(1), QStringLiteral("1"));
  QCOMPARE(second.exec(QStringLiteral("select count(*) from numbers")), SQLRETURN(SQL_SUCCESS));
  QVERIFY(SQL_SUCCEEDED(SQLFetch(second.h)));
  QCOMPARE(second.text(1), QStringLiteral("1000"));
  QVERIFY(SQL_SUCCEEDED(second.exec(QStringLiteral("update numbers set n = n where n = 2"))));
  int rest = 0, last = 0;
  while (SQL_SUCCEEDED(SQLFetch(first.h))) {
    ++rest;
    last = first.text(1).toInt();
  }
  QCOMPARE(rest, 999);
  QCOMPARE(last, 1000);
  SQLUSMALLINT maxActive = 99;
  QVERIFY(SQL_SUCCEEDED(
      SQLGetInfoW(c.dbc, SQL_MAX_CONCURRENT_ACTIVITIES, &maxActive, sizeof maxActive, nullptr)));
  QCOMPARE(maxActive, SQLUSMALLINT(0));  // no stated limit
}

void TestMariaDbDriver::autocommitIsOnByDefault() {
  Connection c;
  QVERIFY2(c.connect(lab()), qPrintable(c.error));
  SQLULEN autocommit = 99;
  QVERIFY(SQL_SUCCEEDED(SQLGetConnectAttr(c.dbc, SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr)));
  QCOMPARE(autocommit, SQLULEN(SQL_AUTOCOMMIT_ON));
  QCOMPARE(scalar(c, QStringLiteral("select @@autocommit")), QStringLiteral("1"));
  QCOMPARE(scalar(c, QStringLiteral("select @@tx_isolation")), QStringLiteral("REPEATABLE-READ"));
  // A write is visible to another session at once.
  Statement st(c);
  QVERIFY(SQL_SUCCEEDED(st.exec(QStringLiteral("create table autocommitted (n int)"))));
  QVERIFY(SQL_SUCCEEDED(st.exec(QStringLiteral("insert into autocommitted values (7)"))));
  QCOMPARE(server_->client(QStringLiteral("select n from lab.autocommitted")), QStringLiteral("7"));
}

void TestMariaDbDriver::dsnWithoutMariaDbInItsName() {
  // The DSN names a driver only the private odbcinst.ini knows, and lives in
  // the private user odbc.ini: connecting proves both variables are read.
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const auto write = [&](const QString& name, const QByteArray& text) {
    QFile f(dir.filePath(name));
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
  };
  const QString driverPath = driverLibrary();
  QVERIFY2(!driverPath.isEmpty(), "libmaodbc.so not found (package odbc-mariadb)");
  QVERIFY(write(QStringLiteral("odbcinst.ini"),
                ("[Ledger Driver]\nDriver=" + driverPath + "\n").toUtf8()));
  QVERIFY(write(QStringLiteral("odbc.ini"), QByteArray()));
  QVERIFY(write(QStringLiteral("user-odbc.ini"),
                QStringLiteral("[Accounts]\nDriver=Ledger Driver\nServer=127.0.0.1\nPort=%1\n"
                               "Database=shop\nUID=trellick\nPWD=%2\n")
                    .arg(server_->port())
                    .arg(server_->password())
                    .toUtf8()));
  // unixODBC reads the variables once per process, so a fresh process tries it.
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("ODBCSYSINI"), dir.path());
  env.insert(QStringLiteral("ODBCINI"), dir.filePath(QStringLiteral("user-odbc.ini")));
  p.setProcessEnvironment(env);
  p.start(QCoreApplication::applicationFilePath(),
          {QStringLiteral("--dsn-probe"), QStringLiteral("Accounts")});
  QVERIFY(p.waitForFinished(30000));
  const QString out = QString::fromUtf8(p.readAllStandardOutput());
  QCOMPARE(out, QStringLiteral("sources=Accounts\ndbms=MariaDB\ndatabase=shop\n"));
  QCOMPARE(p.exitCode(), 0);

  // This process never saw the variables: the DSN does not exist here.
  Connection c;
  QVERIFY(!c.connect(QStringLiteral("DSN=Accounts;")));
  QCOMPARE(firstDiag(c).state, QStringLiteral("IM002"));
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--dsn-probe") == 0) return dsnProbe(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--serve-until-killed") == 0) {
    return serveUntilKilled(argc, argv);
  }
  QCoreApplication app(argc, argv);
  TestMariaDbDriver test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_mariadb_driver.moc"
