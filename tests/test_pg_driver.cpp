// What the real psqlodbc driver does against a real PostgreSQL 15 server started
// by the test, through raw wide ODBC calls. Each case pins one behaviour the
// database layer relies on, so a driver upgrade that changes it fails here.
#include <pwd.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <sqlucode.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "pg_server.h"

namespace {

const SQLWCHAR* W(const QString& s) { return reinterpret_cast<const SQLWCHAR*>(s.utf16()); }

struct Diag {
  QString state;
  QString message;
  QString text() const { return state + QLatin1Char(' ') + message; }
};

Diag firstDiag(SQLSMALLINT type, SQLHANDLE h) {
  SQLWCHAR state[6] = {};
  SQLWCHAR msg[1024] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  Diag d;
  if (SQL_SUCCEEDED(SQLGetDiagRecW(type, h, 1, state, &native, msg, 1024, &len))) {
    d.state = QString::fromUtf16(reinterpret_cast<const char16_t*>(state), 5);
    d.message = QString::fromUtf16(reinterpret_cast<const char16_t*>(msg), qMin<int>(len, 1023));
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

  bool connect(const QString& cs) {
    SQLWCHAR out[1024];
    SQLSMALLINT outLen = 0;
    const SQLRETURN rc = SQLDriverConnectW(h_, nullptr, const_cast<SQLWCHAR*>(W(cs)), SQL_NTS, out,
                                           1024, &outLen, SQL_DRIVER_NOPROMPT);
    rc_ = rc;
    connected_ = SQL_SUCCEEDED(rc);
    diag_ = connected_ ? Diag{} : firstDiag(SQL_HANDLE_DBC, h_);
    return connected_;
  }
  QString info(SQLUSMALLINT what) {
    SQLWCHAR buf[256] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(h_, what, buf, sizeof buf, &len))) return QStringLiteral("?");
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(buf), len / 2);
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

  SQLRETURN exec(const QString& sql) {
    SQLFreeStmt(h_, SQL_CLOSE);
    last_ = SQLExecDirectW(h_, const_cast<SQLWCHAR*>(W(sql)), SQL_NTS);
    diag_ = SQL_SUCCEEDED(last_) ? Diag{} : firstDiag(SQL_HANDLE_STMT, h_);
    return last_;
  }
  bool ok(const QString& sql) { return SQL_SUCCEEDED(exec(sql)) || last_ == SQL_NO_DATA; }
  bool fetch() { return SQL_SUCCEEDED(SQLFetch(h_)); }
  // The whole value of column col as text, read in pieces of chunkChars
  // UTF-16 units; null reads as a null QString.
  QString get(int col, int chunkChars = 4096) {
    QString value;
    std::vector<SQLWCHAR> buf(chunkChars + 1);
    while (true) {
      SQLLEN ind = 0;
      const SQLRETURN rc =
          SQLGetData(h_, col, SQL_C_WCHAR, buf.data(), buf.size() * sizeof(SQLWCHAR), &ind);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) {
        diag_ = firstDiag(SQL_HANDLE_STMT, h_);
        return QStringLiteral("<error %1>").arg(diag_.text());
      }
      if (ind == SQL_NULL_DATA) return {};
      ++pieces_;
      // A truncated piece fills the buffer up to its terminator.
      qsizetype got = 0;
      if (rc == SQL_SUCCESS_WITH_INFO)
        while (got < chunkChars && buf[got] != 0) ++got;
      else
        got = ind / 2;
      value += QString::fromUtf16(reinterpret_cast<const char16_t*>(buf.data()), got);
      if (rc == SQL_SUCCESS) break;
    }
    return value;
  }
  // First column of the first row, or "<error ...>".
  QString scalar(const QString& sql) {
    if (!SQL_SUCCEEDED(exec(sql))) return QStringLiteral("<error %1>").arg(diag_.text());
    if (!fetch()) return QStringLiteral("<no row>");
    const QString v = get(1);
    SQLFreeStmt(h_, SQL_CLOSE);
    return v;
  }
  QList<QStringList> rows(int columns, const QString& sql) {
    if (!SQL_SUCCEEDED(exec(sql))) return {{QStringLiteral("<error %1>").arg(diag_.text())}};
    return rows(columns);
  }
  QList<QStringList> rows(int columns) {
    QList<QStringList> out;
    while (fetch()) {
      QStringList r;
      for (int c = 1; c <= columns; ++c) r << get(c);
      out << r;
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
  QString typeName;
};

// The described type of every column of "select * from table".
QList<ColumnFacts> describe(Conn& c, const QString& table) {
  Stmt s(c);
  QList<ColumnFacts> out;
  if (!SQL_SUCCEEDED(s.exec(QStringLiteral("select * from ") + table))) return out;
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
    f.typeName = QString::fromUtf16(reinterpret_cast<const char16_t*>(tn), tnLen / 2);
    out << f;
  }
  return out;
}

QString hexUtf8(const QString& s) { return QString::fromLatin1(s.toUtf8().toHex()); }

// The child-process side of probe(): a fresh process connects once, with the
// environment it was given before any ODBC call, and prints the DBMS name.
int probeConnect(const char* connectionString) {
  Conn c;
  if (!c.connect(QString::fromUtf8(connectionString))) {
    std::printf("ERROR %d %s\n", int(c.rc()), qPrintable(c.diag().text()));
    return 1;
  }
  std::printf("DBMS %s\n", qPrintable(c.info(SQL_DBMS_NAME)));
  return 0;
}

struct Probe {
  QString output;  // "DBMS <name>" or "ERROR <return code> <state> <message>"
  QString errors;  // what the child wrote on stderr
  qint64 pid = 0;
};

// Runs this test binary as a child that connects with connectionString.
Probe probe(const QString& connectionString,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QCoreApplication::applicationFilePath(),
          {QStringLiteral("--probe-connect"), connectionString});
  Probe r;
  if (!p.waitForStarted(10000)) return r;
  r.pid = p.processId();
  if (!p.waitForFinished(30000)) p.kill();
  r.output = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
  r.errors = QString::fromUtf8(p.readAllStandardError()).trimmed();
  return r;
}

}  // namespace

class TestPgDriver : public QObject {
  Q_OBJECT

  std::unique_ptr<PgServer> pg_;

  QString cs(const QString& extra = {}, const QString& database = {}) const {
    return pg_->odbcConnectionString(database, extra);
  }
  void psqlOrFail(const QString& sql, const QString& database = {}) {
    QVERIFY2(pg_->psqlOk(sql, database), qPrintable(pg_->lastError()));
  }

 private slots:
  void initTestCase() {
    QElapsedTimer t;
    t.start();
    pg_ = std::make_unique<PgServer>();
    QVERIFY2(pg_->ok(), qPrintable(pg_->errorText()));
    qInfo("server up on port %d in %lld ms", pg_->port(), t.elapsed());
    QCOMPARE(pg_->serverField(), QStringLiteral("postgresql:127.0.0.1:%1").arg(pg_->port()));
    QCOMPARE(pg_->psql(QStringLiteral("select current_setting('server_encoding')")),
             QStringLiteral("UTF8"));
    // psql itself reports what it could not do.
    QVERIFY(!pg_->psqlOk(QStringLiteral("select * from no_such_table")));
    QVERIFY(pg_->lastError().contains(QStringLiteral("no_such_table")));
  }

  void cleanupTestCase() {
    pg_.reset();
    // This process's own driver log (see commLogFromOdbcinst).
    const passwd* pw = getpwuid(geteuid());
    QFile::remove(QStringLiteral("/tmp/psqlodbc_test_pg_driver_%1%2.log")
                      .arg(QString::fromLocal8Bit(pw ? pw->pw_name : ""))
                      .arg(QCoreApplication::applicationPid()));
  }

  // The keys, and how psqlodbc takes a braced value (dconn_get_attributes
  // in drvconn.c: "}}" inside braces stands for one "}").
  void connectionStringKeys() {
    QCOMPARE(PgServer::odbcDriver(), QStringLiteral("PostgreSQL Unicode"));
    {
      Conn c;
      QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    }
    {  // The library path serves as Driver too.
      Conn c;
      const QString byPath =
          QStringLiteral(
              "Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so;Server=127.0.0.1;"
              "Port=%1;Database=shop;UID=trellick;PWD=%2;")
              .arg(pg_->port())
              .arg(pg_->password());
      QVERIFY2(c.connect(byPath), qPrintable(c.diag().text()));
    }
    {  // psqlodbc's own long names serve as well.
      Conn c;
      const QString longNames = QStringLiteral(
                                    "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=%1;"
                                    "Database=shop;Username=trellick;Password=%2;")
                                    .arg(pg_->port())
                                    .arg(pg_->password());
      QVERIFY2(c.connect(longNames), qPrintable(c.diag().text()));
    }
    {  // A wrong password: refused with 08001 and the server's message.
      Conn c;
      QVERIFY(!c.connect(cs().replace(pg_->password(), QStringLiteral("wrong"))));
      qInfo("wrong password: %s", qPrintable(c.diag().text()));
      QCOMPARE(c.diag().state, QStringLiteral("08001"));
      QVERIFY(c.diag().message.contains(QStringLiteral("password authentication failed")));
    }
    {  // Nobody listening: 08001 as well.
      Conn c;
      QVERIFY(!c.connect(
          cs().replace(QStringLiteral("Port=%1").arg(pg_->port()), QStringLiteral("Port=1"))));
      qInfo("no listener: %s", qPrintable(c.diag().text()));
      QCOMPARE(c.diag().state, QStringLiteral("08001"));
    }

    psqlOrFail(QStringLiteral("create role odd login password 'p;w}d=x';"));
    const QString base = QStringLiteral(
                             "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;"
                             "Database=shop;UID=odd;")
                             .arg(pg_->port());
    {  // Braced, with the "}" doubled: the password arrives intact.
      Conn c;
      QVERIFY2(c.connect(base + QStringLiteral("PWD={p;w}}d=x};")), qPrintable(c.diag().text()));
    }
    {  // Braced at the end of the string, no trailing ";".
      Conn c;
      QVERIFY2(c.connect(base + QStringLiteral("PWD={p;w}}d=x}")), qPrintable(c.diag().text()));
    }
    {  // A lone "}" inside braces ends the value early: no connection.
      Conn c;
      QVERIFY(!c.connect(base + QStringLiteral("PWD={p;w}d=x};")));
      qInfo("single brace: %s", qPrintable(c.diag().text()));
    }
    {  // Unbraced, ";" splits the password.
      Conn c;
      QVERIFY(!c.connect(base + QStringLiteral("PWD=p;w}d=x;")));
    }
  }

  // The names the driver gives for itself and for the server.
  void dbmsAndDriverNames() {
    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    qInfo("DBMS_NAME=%s DRIVER_NAME=%s DBMS_VER=%s DRIVER_VER=%s",
          qPrintable(c.info(SQL_DBMS_NAME)), qPrintable(c.info(SQL_DRIVER_NAME)),
          qPrintable(c.info(SQL_DBMS_VER)), qPrintable(c.info(SQL_DRIVER_VER)));
    QCOMPARE(c.info(SQL_DBMS_NAME), QStringLiteral("PostgreSQL"));
    QCOMPARE(c.info(SQL_DRIVER_NAME), QStringLiteral("psqlodbcw.so"));
    QVERIFY(c.info(SQL_DBMS_VER).startsWith(QStringLiteral("15.")));
    QCOMPARE(c.info(SQL_IDENTIFIER_QUOTE_CHAR), QStringLiteral("\""));
  }

  // The Debian odbcinst.ini registers the driver with CommLog=1. CommLog=0 in
  // the connection string does not keep the log file away: at disconnect the
  // driver falls back to the odbcinst.ini setting (logs_on_off in mylog.c) and
  // writes "PQfinish: <address>" to /tmp/psqlodbc_<program>_<user><pid>.log
  // (generate_filename). The log is opened once per process, hence a child.
  void commLogFromOdbcinst() {
    const passwd* pw = getpwuid(geteuid());
    const Probe quiet = probe(cs(QStringLiteral("CommLog=0;")));
    QCOMPARE(quiet.output, QStringLiteral("DBMS PostgreSQL"));
    QFile log(QStringLiteral("/tmp/psqlodbc_test_pg_driver_%1%2.log")
                  .arg(QString::fromLocal8Bit(pw ? pw->pw_name : ""))
                  .arg(quiet.pid));
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(log.fileName()));
    const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
    QVERIFY(!lines.isEmpty());
    for (const QByteArray& line : lines) QVERIFY2(line.startsWith("PQfinish: "), line.constData());
    log.remove();
  }

  // SQLTables with type TABLE and no catalog or schema lists the user
  // tables of every schema of the connected database only: no views, no
  // pg_catalog/information_schema, nothing of another database, and tables
  // the user may not read are listed as well.
  void tablesOfAllSchemas() {
    psqlOrFail(
        QStringLiteral("create schema sales authorization trellick;\n"
                       "set role trellick;\n"
                       "create table public.customers(id integer primary key, name text);\n"
                       "create table sales.orders(id integer primary key, note varchar(40));\n"
                       "create view public.v_customers as select * from public.customers;\n"
                       "reset role;\n"
                       "create table public.secret(id integer, s text);\n"
                       "revoke all on public.secret from public;\n"));
    QVERIFY2(pg_->createDatabase(QStringLiteral("archive")), qPrintable(pg_->lastError()));
    psqlOrFail(QStringLiteral("create table old_orders(id integer, note text);"),
               QStringLiteral("archive"));

    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    const QString type = QStringLiteral("TABLE");
    QVERIFY(SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0,
                                     const_cast<SQLWCHAR*>(W(type)), SQL_NTS)));
    QList<QStringList> rows = s.rows(4);
    for (const QStringList& r : rows) qInfo("%s", qPrintable(r.join(QLatin1Char('|'))));
    // TABLE_CAT is the database, TABLE_SCHEM the schema; ordered by schema, name.
    const QList<QStringList> expected{
        {QStringLiteral("shop"), QStringLiteral("public"), QStringLiteral("customers"), type},
        {QStringLiteral("shop"), QStringLiteral("public"), QStringLiteral("secret"), type},
        {QStringLiteral("shop"), QStringLiteral("sales"), QStringLiteral("orders"), type},
    };
    QCOMPARE(rows, expected);

    // Asked for views as well, the view comes with type VIEW.
    const QString both = QStringLiteral("TABLE,VIEW");
    QVERIFY(SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0,
                                     const_cast<SQLWCHAR*>(W(both)), SQL_NTS)));
    rows = s.rows(4);
    QCOMPARE(rows.size(), 4);
    QVERIFY(rows.contains(QStringList{QStringLiteral("shop"), QStringLiteral("public"),
                                      QStringLiteral("v_customers"), QStringLiteral("VIEW")}));

    // The unreadable table is listed but refuses a read.
    QVERIFY(!SQL_SUCCEEDED(s.exec(QStringLiteral("select * from public.secret"))));
    qInfo("unreadable: %s", qPrintable(s.diag().text()));
    QCOMPARE(s.diag().state, QStringLiteral("42501"));
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
  void columnTypesAndSizes() {
    psqlOrFail(QStringLiteral(
        "set role trellick;\n"
        "create table coltypes(c char(10), vc varchar(40), vn varchar, t text, v10 varchar(10),"
        " i integer, g text generated always as (t || '!') stored, v300 varchar(300),"
        " c300 char(300));\n"));
    struct Case {
      QString options;
      QList<SQLSMALLINT> types;
      QList<SQLULEN> sizes;
    };
    const SQLSMALLINT ch = SQL_WCHAR, vc = SQL_WVARCHAR, lv = SQL_WLONGVARCHAR, in = SQL_INTEGER;
    const QList<Case> cases{
        {QString(),
         {ch, vc, vc, lv, vc, in, lv, lv, lv},
         {10, 40, 255, 8190, 10, 10, 8190, 300, 300}},
        {QStringLiteral("TextAsLongVarchar=0;"),
         {ch, vc, vc, vc, vc, in, vc, lv, lv},
         {10, 40, 255, 255, 10, 10, 255, 300, 300}},
        {QStringLiteral("UnknownSizes=2;UnknownsAsLongVarchar=1;"),
         {ch, vc, vc, lv, vc, in, lv, lv, lv},
         {10, 40, 255, 8190, 10, 10, 8190, 300, 300}},
        {QStringLiteral("MaxLongVarcharSize=1073741823;"),
         {ch, vc, vc, lv, vc, in, lv, lv, lv},
         {10, 40, 255, 1073741823, 10, 10, 1073741823, 300, 300}},
        // text is long only while MaxLongVarcharSize exceeds MaxVarcharSize.
        {QStringLiteral("MaxVarcharSize=65535;"),
         {ch, vc, vc, vc, vc, in, vc, vc, ch},
         {10, 40, 65535, 8190, 10, 10, 8190, 300, 300}},
        {QStringLiteral("TextAsLongVarchar=0;MaxVarcharSize=65535;"),
         {ch, vc, vc, vc, vc, in, vc, vc, ch},
         {10, 40, 65535, 65535, 10, 10, 65535, 300, 300}},
        {QStringLiteral("MaxVarcharSize=65535;MaxLongVarcharSize=1073741823;"),
         {ch, vc, vc, lv, vc, in, lv, vc, ch},
         {10, 40, 65535, 1073741823, 10, 10, 1073741823, 300, 300}},
    };
    const QStringList typeNames{"char", "varchar", "varchar", "text", "varchar",
                                "int4", "text",    "varchar", "char"};
    for (const Case& k : cases) {
      Conn c;
      QVERIFY2(c.connect(cs(k.options)), qPrintable(c.diag().text()));
      const QList<ColumnFacts> cols = describe(c, QStringLiteral("coltypes"));
      QCOMPARE(cols.size(), 9);
      for (int i = 0; i < 9; ++i) {
        const QString where = QStringLiteral("[%1] column %2").arg(k.options).arg(i + 1);
        QVERIFY2(cols[i].type == k.types[i],
                 qPrintable(where + QStringLiteral(" type %1").arg(cols[i].type)));
        QVERIFY2(cols[i].size == k.sizes[i],
                 qPrintable(where + QStringLiteral(" size %1").arg(cols[i].size)));
        QCOMPARE(cols[i].typeName, typeNames[i]);
      }
    }

    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    {  // SQLColumns agrees on DATA_TYPE and COLUMN_SIZE; its TYPE_NAME for char is bpchar.
      const QString table = QStringLiteral("coltypes");
      QVERIFY(SQL_SUCCEEDED(SQLColumnsW(s.h(), nullptr, 0, nullptr, 0,
                                        const_cast<SQLWCHAR*>(W(table)), SQL_NTS, nullptr, 0)));
      QStringList got;
      while (s.fetch())
        got << QStringLiteral("%1:%2/%3/%4").arg(s.get(4), s.get(5), s.get(7), s.get(6));
      SQLFreeStmt(s.h(), SQL_CLOSE);
      QCOMPARE(got,
               QStringList({"c:-8/10/bpchar", "vc:-9/40/varchar", "vn:-9/255/varchar",
                            "t:-10/8190/text", "v10:-9/10/varchar", "i:4/10/int4",
                            "g:-10/8190/text", "v300:-10/300/varchar", "c300:-10/300/bpchar"}));
    }
    // Generated columns are told by the catalogue, not by the description.
    QCOMPARE(s.rows(1, QStringLiteral("select column_name from information_schema.columns "
                                      "where table_schema = 'public' and table_name = 'coltypes' "
                                      "and is_generated = 'ALWAYS'")),
             QList<QStringList>{{QStringLiteral("g")}});
    QCOMPARE(s.rows(1, QStringLiteral("select attname from pg_attribute "
                                      "where attrelid = 'public.coltypes'::regclass "
                                      "and attgenerated = 's'")),
             QList<QStringList>{{QStringLiteral("g")}});
    // Writing one is refused with 428C9.
    QVERIFY(!SQL_SUCCEEDED(s.exec(QStringLiteral("update coltypes set g = 'x'"))));
    QCOMPARE(s.diag().state, QStringLiteral("428C9"));
    qInfo("generated column update: %s", qPrintable(s.diag().text()));
  }

  // The wide calls carry characters outside the BMP both ways, and a long
  // value read with SQLGetData in pieces comes back whole.
  void wideTextBothWays() {
    psqlOrFail(QStringLiteral("set role trellick; create table wide(id integer, s text);"));
    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    const QString text = QStringLiteral("汉字😀 ok");
    QVERIFY2(s.ok(QStringLiteral("insert into wide values (1, '%1')").arg(text)),
             qPrintable(s.diag().text()));
    QCOMPARE(pg_->psql(QStringLiteral(
                 "select encode(convert_to(s, 'UTF8'), 'hex') from wide where id = 1")),
             hexUtf8(text));
    QCOMPARE(s.scalar(QStringLiteral("select s from wide where id = 1")), text);

    // 100,000 characters, a fifth of them outside the BMP, read 1000 units at a
    // time so that pieces end inside surrogate pairs.
    QString big;
    const QString pattern = QStringLiteral("ab汉😀c");
    while (big.size() < 100000 + 20000) big += pattern;
    big.truncate(100000 + 20000);  // 100,000 code points, 120,000 UTF-16 units
    QCOMPARE(big.toUcs4().size(), 100000);
    QVERIFY2(s.ok(QStringLiteral("insert into wide values (2, '%1')").arg(big)),
             qPrintable(s.diag().text()));
    QCOMPARE(pg_->psql(QStringLiteral("select length(s) || ' ' || md5(convert_to(s, 'UTF8')) "
                                      "from wide where id = 2")),
             QStringLiteral("100000 ") +
                 QString::fromLatin1(
                     QCryptographicHash::hash(big.toUtf8(), QCryptographicHash::Md5).toHex()));
    QVERIFY(SQL_SUCCEEDED(s.exec(QStringLiteral("select s from wide where id = 2"))));
    QVERIFY(s.fetch());
    const QString back = s.get(1, 1000);
    QCOMPARE(back.size(), big.size());
    QVERIFY(back == big);
    QVERIFY2(s.pieces() >= 120, qPrintable(QString::number(s.pieces())));
  }

  // SQL_ATTR_QUERY_TIMEOUT is carried out by the server: before the
  // statement the driver sends "SET statement_timeout = <ms>" when it differs
  // from what is in effect (SC_execute in statement.c), so the server ends the
  // statement with 57014 and the connection stays usable.
  void queryTimeout() {
    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    s.setTimeout(2);
    QElapsedTimer t;
    t.start();
    QCOMPARE(s.exec(QStringLiteral("select pg_sleep(20)")), SQLRETURN(SQL_ERROR));
    const qint64 ms = t.elapsed();
    qInfo("time-out after %lld ms: %s", ms, qPrintable(s.diag().text()));
    QVERIFY2(ms >= 1900 && ms < 5000, qPrintable(QString::number(ms)));
    QCOMPARE(s.diag().state, QStringLiteral("57014"));
    QVERIFY(
        s.diag().message.contains(QStringLiteral("canceling statement due to statement timeout")));
    // The same statement handle, and a fresh one without a time-out, go on.
    QCOMPARE(s.scalar(QStringLiteral("select 1")), QStringLiteral("1"));
    Stmt plain(c);
    QCOMPARE(plain.scalar(QStringLiteral("show statement_timeout")), QStringLiteral("0"));
    QCOMPARE(s.scalar(QStringLiteral("show statement_timeout")), QStringLiteral("2s"));
  }

  // SQLCancel from another thread while the statement runs: the driver sends a
  // cancel request (CC_send_cancel_request in connection.c, libpq PQcancel); the statement fails
  // with 57014 at once and the connection goes on.
  void cancelFromAnotherThread() {
    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    std::atomic<SQLRETURN> cancelResult{-99};
    std::thread canceller([&] {
      QThread::msleep(1000);
      cancelResult = SQLCancel(s.h());
    });
    QElapsedTimer t;
    t.start();
    const SQLRETURN rc = s.exec(QStringLiteral("select pg_sleep(20)"));
    const qint64 ms = t.elapsed();
    canceller.join();
    qInfo("cancel: rc %d after %lld ms, SQLCancel gave %d: %s", rc, ms, int(cancelResult),
          qPrintable(s.diag().text()));
    QCOMPARE(rc, SQLRETURN(SQL_ERROR));
    QCOMPARE(cancelResult.load(), SQLRETURN(SQL_SUCCESS));
    QVERIFY2(ms >= 900 && ms < 4000, qPrintable(QString::number(ms)));
    QCOMPARE(s.diag().state, QStringLiteral("57014"));
    QVERIFY(s.diag().message.contains(QStringLiteral("canceling statement due to user request")));
    QCOMPARE(s.scalar(QStringLiteral("select 2")), QStringLiteral("2"));
  }

  // An UPDATE waiting on a row lock is ended by the same statement_timeout: an
  // error, never a success, and nothing written.
  void timeoutOnRowLock() {
    psqlOrFail(
        QStringLiteral("set role trellick; create table locked(id integer primary key, "
                       "v text); insert into locked values (1, 'before');"));
    Conn holder;
    QVERIFY2(holder.connect(cs()), qPrintable(holder.diag().text()));
    QVERIFY(SQL_SUCCEEDED(SQLSetConnectAttr(holder.h(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
    Stmt hs(holder);
    QVERIFY(hs.ok(QStringLiteral("update locked set v = 'holder' where id = 1")));

    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    s.setTimeout(2);
    QElapsedTimer t;
    t.start();
    const SQLRETURN rc = s.exec(QStringLiteral("update locked set v = 'waiter' where id = 1"));
    const qint64 ms = t.elapsed();
    qInfo("lock wait: rc %d after %lld ms: %s", rc, ms, qPrintable(s.diag().text()));
    QCOMPARE(rc, SQLRETURN(SQL_ERROR));
    QCOMPARE(s.diag().state, QStringLiteral("57014"));
    QVERIFY2(ms >= 1900 && ms < 5000, qPrintable(QString::number(ms)));
    QVERIFY(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, holder.h(), SQL_ROLLBACK)));
    QCOMPARE(pg_->psql(QStringLiteral("select v from locked where id = 1")),
             QStringLiteral("before"));
    QCOMPARE(s.scalar(QStringLiteral("select 3")), QStringLiteral("3"));
  }

  // Without UseDeclareFetch the driver reads a whole result at execute,
  // so a second statement runs while the first one's rows are still unread; and
  // a connection starts in autocommit.
  void severalActiveStatementsAndAutocommit() {
    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    SQLULEN autocommit = 99;
    QVERIFY(SQL_SUCCEEDED(SQLGetConnectAttr(c.h(), SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr)));
    QCOMPARE(autocommit, SQLULEN(SQL_AUTOCOMMIT_ON));

    Stmt first(c);
    QVERIFY(SQL_SUCCEEDED(first.exec(QStringLiteral("select generate_series(1, 50000)"))));
    QVERIFY(first.fetch());
    QCOMPARE(first.get(1), QStringLiteral("1"));
    Stmt second(c);
    QVERIFY2(second.ok(QStringLiteral("create table mars(n integer)")),
             qPrintable(second.diag().text()));
    QVERIFY2(second.ok(QStringLiteral("insert into mars values (7)")),
             qPrintable(second.diag().text()));
    // Committed already: another session sees the row.
    QCOMPARE(pg_->psql(QStringLiteral("select n from mars")), QStringLiteral("7"));
    QVERIFY(first.fetch());
    QCOMPARE(first.get(1), QStringLiteral("2"));

    // With UseDeclareFetch=1 the first result is a cursor fetched in pieces;
    // the second statement still runs on the same connection.
    Conn d;
    QVERIFY2(d.connect(cs(QStringLiteral("UseDeclareFetch=1;Fetch=100;"))),
             qPrintable(d.diag().text()));
    Stmt a(d), b(d);
    QVERIFY(SQL_SUCCEEDED(a.exec(QStringLiteral("select generate_series(1, 50000)"))));
    QVERIFY(a.fetch());
    QCOMPARE(b.scalar(QStringLiteral("select count(*) from mars")), QStringLiteral("1"));
    int n = 1;
    while (a.fetch()) ++n;
    QCOMPARE(n, 50000);
  }

  // standard_conforming_strings is on, a backslash in a literal is itself.
  void backslashIsLiteral() {
    Conn c;
    QVERIFY2(c.connect(cs()), qPrintable(c.diag().text()));
    Stmt s(c);
    QCOMPARE(s.scalar(QStringLiteral("show standard_conforming_strings")), QStringLiteral("on"));
    QCOMPARE(s.scalar(QStringLiteral("select 'a\\b'")), QStringLiteral("a\\b"));
    QCOMPARE(s.scalar(QStringLiteral("select length('a\\b')")), QStringLiteral("3"));
  }

  // The Access driver (odbc-mdbtools) is registered, loads, and refuses
  // anything that is not a Jet file; no Debian package ships an .mdb/.accdb and
  // mdbtools cannot create one, so it cannot be connected to anything here.
  // Run in a child: the driver prints its complaints on stderr.
  void accessDriverHasNothingToOpen() {
    QSettings ini(QStringLiteral("/etc/odbcinst.ini"), QSettings::IniFormat);
    QCOMPARE(QFileInfo(ini.value(QStringLiteral("MDBTools/Driver")).toString()).fileName(),
             QStringLiteral("libmdbodbc.so"));
    QTemporaryDir dir;
    // It fails without a diagnostic record; its reasons go to stderr only.
    const QString none = dir.filePath(QStringLiteral("none.mdb"));
    const Probe missing = probe(QStringLiteral("Driver={MDBTools};DBQ=%1").arg(none));
    qInfo("missing file: %s / %s", qPrintable(missing.output), qPrintable(missing.errors));
    QCOMPARE(missing.output, QStringLiteral("ERROR -1"));
    QVERIFY(missing.errors.contains(QStringLiteral("Unable to locate database ") + none));
    QFile fake(dir.filePath(QStringLiteral("fake.mdb")));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write(QByteArray(8192, 'x'));
    fake.close();
    const Probe notJet = probe(QStringLiteral("Driver={MDBTools};DBQ=%1").arg(fake.fileName()));
    qInfo("not a Jet file: %s / %s", qPrintable(notJet.output), qPrintable(notJet.errors));
    QCOMPARE(notJet.output, QStringLiteral("ERROR -1"));
  }

  // unixODBC reads odbcinst.ini from $ODBCSYSINI and odbc.ini from
  // $ODBCINI when they are set before the process's first ODBC call; a data
  // source's name tells nothing of its engine, SQL_DBMS_NAME does.
  void dataSourcesFromOwnIniFiles() {
    QTemporaryDir dir;
    const QString dbFile = dir.filePath(QStringLiteral("warehouse.db"));
    {
      sqlite3* db = nullptr;
      QCOMPARE(sqlite3_open(QFile::encodeName(dbFile).constData(), &db), SQLITE_OK);
      QCOMPARE(sqlite3_exec(db, "create table stock(item text); insert into stock values('x');",
                            nullptr, nullptr, nullptr),
               SQLITE_OK);
      sqlite3_close(db);
    }
    const auto write = [&](const QString& name, const QString& text) {
      QFile f(dir.filePath(name));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(text.toUtf8());
    };
    write(QStringLiteral("odbcinst.ini"),
          QStringLiteral("[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n\n"
                         "[PostgreSQL Unicode]\n"
                         "Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so\n"));
    write(QStringLiteral("odbc.ini"),
          QStringLiteral("[Warehouse]\nDriver=SQLite3\nDatabase=%1\n\n"
                         "[Accounts]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\n"
                         "Port=%2\nDatabase=shop\nUsername=%3\nPassword=%4\n")
              .arg(dbFile)
              .arg(pg_->port())
              .arg(pg_->user(), pg_->password()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ODBCSYSINI"), dir.path());
    env.insert(QStringLiteral("ODBCINI"), dir.filePath(QStringLiteral("odbc.ini")));

    const Probe warehouse = probe(QStringLiteral("DSN=Warehouse"), env);
    QCOMPARE(warehouse.output, QStringLiteral("DBMS SQLite"));
    const Probe accounts = probe(QStringLiteral("DSN=Accounts"), env);
    QCOMPARE(accounts.output, QStringLiteral("DBMS PostgreSQL"));

    // Without the variables the names are unknown: the ini files above were read.
    QProcessEnvironment plain = QProcessEnvironment::systemEnvironment();
    plain.remove(QStringLiteral("ODBCSYSINI"));
    plain.remove(QStringLiteral("ODBCINI"));
    const Probe unknown = probe(QStringLiteral("DSN=Warehouse"), plain);
    qInfo("unknown DSN: %s", qPrintable(unknown.output));
    QVERIFY(unknown.output.startsWith(QStringLiteral("ERROR -1 IM002 ")));
  }
};

int main(int argc, char** argv) {
  if (argc == 3 && qstrcmp(argv[1], "--probe-connect") == 0) return probeConnect(argv[2]);
  QCoreApplication app(argc, argv);
  TestPgDriver tc;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&tc, argc, argv);
}

#include "test_pg_driver.moc"
