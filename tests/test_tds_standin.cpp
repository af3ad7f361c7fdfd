// The SQL Server stand-in, proved through the real FreeTDS ODBC driver with raw
// ODBC calls: rows and their types, counts, errors, the driver's own refusals,
// catalog calls, parameters, text encodings, REPLACE's truncation and time-outs.
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <clocale>
#include <memory>
#include <string>

#include "db/connection.h"
#include "tds_standin.h"

namespace {

const QString kEmoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // U+1F600, a surrogate pair
const QString kChinese = QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87");

bool runSql(const QString& file, const QString& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.toUtf8().constData(), &db) != SQLITE_OK) return false;
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error);
  if (error) qWarning("%s", error);
  sqlite3_free(error);
  sqlite3_close(db);
  return rc == SQLITE_OK;
}

// One value read from the file directly, past the stand-in; "<none>" if no row.
QString fileValue(const QString& file, const QString& sql) {
  sqlite3* db = nullptr;
  QString out = QStringLiteral("<none>");
  if (sqlite3_open_v2(file.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      out = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

QString longText(int n) {
  QString s;
  s.reserve(n);
  for (int i = 0; i < n; ++i) s.append(QChar(u'a' + i % 26));
  return s;
}

const SQLWCHAR* wide(const QString& s) { return reinterpret_cast<const SQLWCHAR*>(s.utf16()); }

struct Diag {
  QString state;
  long native = 0;
  QString message;
};

QList<Diag> diagnostics(SQLSMALLINT type, SQLHANDLE h) {
  QList<Diag> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR text[2048];
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, h, i, state, &native, text, 2048, &len))) break;
    out.append({QString::fromUtf16(reinterpret_cast<char16_t*>(state), 5), long(native),
                QString::fromUtf16(reinterpret_cast<char16_t*>(text), len)});
  }
  return out;
}

QString describe(const QList<Diag>& d) {
  QStringList lines;
  for (const Diag& x : d) lines << x.state + ' ' + QString::number(x.native) + ' ' + x.message;
  return lines.join('\n');
}

bool hasState(const QList<Diag>& d, const QString& state, const QString& text = {}) {
  for (const Diag& x : d)
    if (x.state == state && x.message.contains(text)) return true;
  return false;
}

// One ODBC connection to the stand-in, through the installed FreeTDS driver.
class Link {
 public:
  explicit Link(const TdsStandin& server) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    const QString driver = QString::fromStdString(trellick::db::installedDrivers().tds);
    const QString cs = server.connectionString(driver);
    const SQLRETURN rc =
        SQLDriverConnectW(dbc_, nullptr, const_cast<SQLWCHAR*>(wide(cs)), SQLSMALLINT(cs.size()),
                          nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(rc);
    if (!connected_) error_ = describe(diagnostics(SQL_HANDLE_DBC, dbc_));
  }
  ~Link() {
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  bool connected() const { return connected_; }
  const QString& error() const { return error_; }
  SQLHDBC dbc() const { return dbc_; }

 private:
  SQLHENV env_ = SQL_NULL_HANDLE;
  SQLHDBC dbc_ = SQL_NULL_HANDLE;
  bool connected_ = false;
  QString error_;
};

class Stmt {
 public:
  explicit Stmt(const Link& link) { SQLAllocHandle(SQL_HANDLE_STMT, link.dbc(), &h_); }
  ~Stmt() { SQLFreeHandle(SQL_HANDLE_STMT, h_); }
  SQLHSTMT h() const { return h_; }
  SQLRETURN exec(const QString& sql) {
    return SQLExecDirectW(h_, const_cast<SQLWCHAR*>(wide(sql)), SQL_NTS);
  }
  QList<Diag> diag() const { return diagnostics(SQL_HANDLE_STMT, h_); }
  // A column as text, null QString for NULL; long values arrive in pieces.
  QString text(SQLUSMALLINT col) {
    QString out;
    SQLWCHAR buf[4096];
    for (;;) {
      SQLLEN ind = 0;
      const SQLRETURN rc = SQLGetData(h_, col, SQL_C_WCHAR, buf, sizeof buf, &ind);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) return QStringLiteral("<error %1>").arg(describe(diag()));
      if (ind == SQL_NULL_DATA) return {};
      if (out.isNull()) out = QLatin1String("");
      const SQLLEN room = SQLLEN(sizeof buf / sizeof buf[0]) - 1;
      const SQLLEN chars = (ind == SQL_NO_TOTAL || ind / 2 > room) ? room : ind / 2;
      out += QString::fromUtf16(reinterpret_cast<char16_t*>(buf), chars);
      if (rc == SQL_SUCCESS) break;
    }
    return out;
  }
  qlonglong integer(SQLUSMALLINT col, bool* isNull = nullptr) {
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    SQLGetData(h_, col, SQL_C_SBIGINT, &v, 0, &ind);
    if (isNull) *isNull = ind == SQL_NULL_DATA;
    return v;
  }
  struct Column {
    QString name;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
  };
  Column column(SQLUSMALLINT col) {
    SQLWCHAR name[256];
    SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeColW(h_, col, name, 256, &len, &type, &size, &digits, &nullable);
    return {QString::fromUtf16(reinterpret_cast<char16_t*>(name), len), type, size};
  }
  QList<QStringList> rows(int columns) {
    QList<QStringList> out;
    while (SQL_SUCCEEDED(SQLFetch(h_))) {
      QStringList row;
      for (int c = 1; c <= columns; ++c) row << text(SQLUSMALLINT(c));
      out << row;
    }
    return out;
  }

 private:
  SQLHSTMT h_ = SQL_NULL_HANDLE;
};

}  // namespace

class TestTdsStandin : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<TdsStandin> server_;
  QString main_, sales_;
  QString long_ = longText(100000);

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    main_ = dir_->filePath("shop.db");
    sales_ = dir_->filePath("sales.db");
    // varchar(-1) is how a SQLite file declares varchar(max).
    QVERIFY(runSql(main_,
                   "create table Orders(id integer primary key, v varchar(5000), n nvarchar(50), "
                   "c char(4), t text, nt ntext, m varchar(-1), k int, "
                   "g varchar(10) generated always as (upper(substr(v, 1, 3))) virtual);"
                   "create view OrdersView as select id, v from Orders;"
                   "create table Guarded(id integer primary key, s varchar(10));"
                   "insert into Guarded values (1, 'kept');"
                   "create trigger GuardedReadOnly before update on Guarded "
                   "begin select raise(abort, 'Guarded rows are read-only'); end;"
                   "create table Notes(id integer primary key, v varchar(5000));"
                   "create table Checked(x int check (x > 0));"));
    QVERIFY(runSql(main_, QStringLiteral("insert into Orders(id, v, n, c, t, nt, m, k) values "
                                         "(1, 'abc', '%1%2', 'ab', 'plain text', 'wide %1', "
                                         "'%3', 7), (2, 'x', null, null, null, null, null, null);"
                                         "insert into Notes values (1, '%4');")
                              .arg(kChinese, kEmoji, long_, QString(4500, u'a'))));
    QVERIFY(runSql(sales_,
                   "create table Orders(oid integer primary key, note varchar(10));"
                   "insert into Orders values (1, 'sold');"));
    server_ = std::make_unique<TdsStandin>(main_, QList<TdsStandin::Schema>{{"sales", sales_}});
    QVERIFY2(server_->port() > 0, qPrintable(server_->errorText()));
  }

  void cleanup() {
    if (server_) {
      const QString errors = server_->errorText();
      server_.reset();
      QVERIFY2(errors.isEmpty(), qPrintable(errors));
    }
    dir_.reset();
  }

  void loginIsLogged() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    const QJsonObject login = server_->log().value(0);
    QCOMPARE(login.value("type").toString(), QString("login"));
    QCOMPARE(login.value("user").toString(), QString("sa"));
    QCOMPARE(login.value("password").toString(), QString("x"));
    QCOMPARE(login.value("database").toString(), QString("shop"));
    QCOMPARE(login.value("app").toString(), QString("Trellick"));
    QCOMPARE(server_->serverField(), QStringLiteral("127.0.0.1,%1").arg(server_->port()));
  }

  void selectReturnsTypedRows() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    QVERIFY2(SQL_SUCCEEDED(s.exec("select * from Orders order by id")),
             qPrintable(describe(s.diag())));
    SQLSMALLINT columns = 0;
    SQLNumResultCols(s.h(), &columns);
    QCOMPARE(columns, SQLSMALLINT(9));  // the generated column too, as select * on the server

    // The driver's ODBC types follow the TDS types the server announced; FreeTDS
    // shows varchar(max) as SQL_VARCHAR of unlimited (0) size
    // (data_generic_set_type_info() in odbc_data.c).
    const QList<QPair<QString, SQLSMALLINT>> expected{
        {"id", SQL_INTEGER}, {"v", SQL_VARCHAR},     {"n", SQL_WVARCHAR},
        {"c", SQL_CHAR},     {"t", SQL_LONGVARCHAR}, {"nt", SQL_WLONGVARCHAR},
        {"m", SQL_VARCHAR},  {"k", SQL_INTEGER},     {"g", SQL_VARCHAR}};
    for (int i = 0; i < expected.size(); ++i) {
      const Stmt::Column c = s.column(SQLUSMALLINT(i + 1));
      QCOMPARE(c.name, expected[i].first);
      QCOMPARE(c.type, expected[i].second);
    }
    QCOMPARE(s.column(2).size, SQLULEN(5000));
    QCOMPARE(s.column(3).size, SQLULEN(50));
    QCOMPARE(s.column(4).size, SQLULEN(4));
    QCOMPARE(s.column(7).size, SQLULEN(0));

    QVERIFY(SQL_SUCCEEDED(SQLFetch(s.h())));
    QCOMPARE(s.integer(1), 1LL);
    QCOMPARE(s.text(2), QString("abc"));
    QCOMPARE(s.text(3), kChinese + kEmoji);
    QCOMPARE(s.text(4), QString("ab  "));  // char(4) is padded
    QCOMPARE(s.text(5), QString("plain text"));
    QCOMPARE(s.text(6), "wide " + kChinese);
    const QString m = s.text(7);
    QCOMPARE(m.size(), long_.size());
    QVERIFY(m == long_);
    QCOMPARE(s.integer(8), 7LL);
    QCOMPARE(s.text(9), QString("ABC"));

    QVERIFY(SQL_SUCCEEDED(SQLFetch(s.h())));
    QCOMPARE(s.integer(1), 2LL);
    QVERIFY(s.text(3).isNull());
    QVERIFY(s.text(7).isNull());
    bool isNull = false;
    s.integer(8, &isNull);
    QVERIFY(isNull);
    QCOMPARE(SQLFetch(s.h()), SQLRETURN(SQL_NO_DATA));
  }

  void countsAndRowCounts() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    QVERIFY(SQL_SUCCEEDED(s.exec("select count(*) from Orders")));
    QCOMPARE(s.column(1).type, SQLSMALLINT(SQL_INTEGER));  // count(*) is int
    QVERIFY(SQL_SUCCEEDED(SQLFetch(s.h())));
    QCOMPARE(s.integer(1), 2LL);
    SQLCloseCursor(s.h());

    QVERIFY(SQL_SUCCEEDED(s.exec("update Orders set k = 5")));
    SQLLEN count = -1;
    SQLRowCount(s.h(), &count);
    QCOMPARE(count, SQLLEN(2));
    QVERIFY(SQL_SUCCEEDED(s.exec("update Orders set k = 6 where id = 2")));
    SQLRowCount(s.h(), &count);
    QCOMPARE(count, SQLLEN(1));
    QVERIFY(SQL_SUCCEEDED(s.exec("select k from Orders order by id")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"5"}, {"6"}}));
  }

  void errorsComeBackAsTheServersErrors() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    QCOMPARE(s.exec("select * from Nowhere"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "42S02", "Invalid object name 'Nowhere'"),
             qPrintable(describe(s.diag())));
    QCOMPARE(s.diag().value(0).native, 208L);

    QCOMPARE(s.exec("selec 1"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "42000", "Incorrect syntax near"), qPrintable(describe(s.diag())));
    QCOMPARE(s.diag().value(0).native, 102L);

    QCOMPARE(s.exec("update Guarded set s = 'changed'"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "42000", "Guarded rows are read-only"),
             qPrintable(describe(s.diag())));

    // A value longer than the declared size is refused, not stored.
    QCOMPARE(s.exec("update Guarded set s = 'x' where id = 2"), SQLRETURN(SQL_SUCCESS));
    QCOMPARE(s.exec("insert into Guarded values (3, 'eleven char')"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "22001", "String or binary data would be truncated"),
             qPrintable(describe(s.diag())));
    QVERIFY(SQL_SUCCEEDED(s.exec("select count(*) from Guarded")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"1"}}));

    QCOMPARE(s.exec("insert into Checked values (-1)"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "23000", "CHECK constraint failed"),
             qPrintable(describe(s.diag())));

    const QList<QJsonObject> log = server_->log();
    QStringList numbers;
    for (const QJsonObject& e : log)
      if (e.value("type") == "error") numbers << QString::number(e.value("number").toInt());
    QCOMPARE(numbers, (QStringList{"208", "102", "50000", "8152", "547"}));
  }

  void secondStatementWhileResultsPendingIsRefusedByTheDriver() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt first(link), second(link);
    QVERIFY(SQL_SUCCEEDED(first.exec("select * from Orders")));
    QVERIFY(SQL_SUCCEEDED(SQLFetch(first.h())));
    // Without MARS one connection carries one pending result: odbc_lock_statement()
    // in FreeTDS's odbc.c refuses another statement with 24000.
    QCOMPARE(second.exec("select count(*) from Guarded"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(second.diag(), "24000", "Invalid cursor state"),
             qPrintable(describe(second.diag())));
    QVERIFY(!server_->batches().contains("select count(*) from Guarded"));
    // Closing with rows unread makes FreeTDS cancel; the stand-in acknowledges.
    SQLCloseCursor(first.h());
    QCOMPARE(server_->log().last().value("type").toString(), QString("attention"));
    QVERIFY(SQL_SUCCEEDED(second.exec("select count(*) from Guarded")));
    QCOMPARE(second.rows(1), (QList<QStringList>{{"1"}}));
  }

  void catalogCalls() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    const QString type = "TABLE";
    QVERIFY(SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0,
                                     const_cast<SQLWCHAR*>(wide(type)), SQL_NTS)));
    QCOMPARE(s.column(2).name, QString("TABLE_SCHEM"));
    QList<QStringList> tables;
    for (const QStringList& r : s.rows(4)) tables << QStringList{r[1], r[2], r[3]};
    QCOMPARE(tables, (QList<QStringList>{{"dbo", "Checked", "TABLE"},
                                         {"dbo", "Guarded", "TABLE"},
                                         {"dbo", "Notes", "TABLE"},
                                         {"dbo", "Orders", "TABLE"},
                                         {"sales", "Orders", "TABLE"}}));
    // FreeTDS sends SQLTables as an RPC to sp_tables with the type quoted.
    const QJsonObject call = server_->log().last();
    QCOMPARE(call.value("type").toString(), QString("rpc"));
    QCOMPARE(call.value("proc").toString(), QString("sp_tables"));
    QVERIFY(call.value("params").toArray().contains(QString("'TABLE'")));

    const QString views = "VIEW";
    QVERIFY(SQL_SUCCEEDED(SQLTablesW(s.h(), nullptr, 0, nullptr, 0, nullptr, 0,
                                     const_cast<SQLWCHAR*>(wide(views)), SQL_NTS)));
    QCOMPARE(s.rows(4), (QList<QStringList>{{"shop", "dbo", "OrdersView", "VIEW"}}));

    const QString orders = "Orders", sales = "sales";
    QVERIFY(SQL_SUCCEEDED(SQLPrimaryKeysW(s.h(), nullptr, 0, const_cast<SQLWCHAR*>(wide(sales)),
                                          SQL_NTS, const_cast<SQLWCHAR*>(wide(orders)), SQL_NTS)));
    QCOMPARE(s.rows(6), (QList<QStringList>{{"shop", "sales", "Orders", "oid", "1", "PK_Orders"}}));
    QCOMPARE(server_->log().last().value("proc").toString(), QString("sp_pkeys"));

    QVERIFY(
        SQL_SUCCEEDED(s.exec("select name, is_computed from sys.columns where object_id = "
                             "object_id(N'[dbo].[Orders]') order by column_id")));
    QCOMPARE(s.rows(2), (QList<QStringList>{{"id", "0"},
                                            {"v", "0"},
                                            {"n", "0"},
                                            {"c", "0"},
                                            {"t", "0"},
                                            {"nt", "0"},
                                            {"m", "0"},
                                            {"k", "0"},
                                            {"g", "1"}}));
    QVERIFY(
        SQL_SUCCEEDED(s.exec("select count(*) from sys.columns where object_id = "
                             "object_id(N'[sales].[Orders]')")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"2"}}));
    QVERIFY(SQL_SUCCEEDED(s.exec("select object_id(N'[sales].[Nothing]')")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{QString()}}));

    // The indexes: the clustered primary key or a heap, then the others,
    // a unique constraint's named by the server. SQL Server has no index on
    // an expression.
    QVERIFY(runSql(main_,
                   "create table Codes(code varchar(20) not null unique, alt int, part int);"
                   "create unique index CodesAlt on Codes(alt desc, code);"
                   "create unique index CodesPart on Codes(part) where part > 0;"
                   "create index CodesLower on Codes(lower(code));"));
    QVERIFY(SQL_SUCCEEDED(s.exec(
        "select i.name, i.index_id, i.type_desc, i.is_unique, i.is_primary_key, "
        "i.is_unique_constraint, i.has_filter, c.name, ic.key_ordinal, ic.is_descending_key, "
        "ic.is_included_column from sys.indexes i left join sys.index_columns ic on "
        "ic.object_id = i.object_id and ic.index_id = i.index_id left join sys.columns c on "
        "c.object_id = ic.object_id and c.column_id = ic.column_id where i.object_id in "
        "(object_id(N'[dbo].[Orders]'), object_id(N'Codes')) order by i.object_id, i.index_id, "
        "ic.key_ordinal")));
    auto indexes = s.rows(11);
    QCOMPARE(indexes.size(), 6);
    QVERIFY2(indexes[2][0].startsWith("UQ__Codes__"), qPrintable(indexes[2][0]));
    indexes[2][0] = "UQ";
    QCOMPARE(indexes,
             (QList<QStringList>{
                 {"PK_Orders", "1", "CLUSTERED", "1", "1", "0", "0", "id", "1", "0", "0"},
                 {{}, "0", "HEAP", "0", "0", "0", "0", {}, {}, {}, {}},
                 {"UQ", "2", "NONCLUSTERED", "1", "0", "1", "0", "code", "1", "0", "0"},
                 {"CodesAlt", "3", "NONCLUSTERED", "1", "0", "0", "0", "alt", "1", "1", "0"},
                 {"CodesAlt", "3", "NONCLUSTERED", "1", "0", "0", "0", "code", "2", "0", "0"},
                 {"CodesPart", "4", "NONCLUSTERED", "1", "0", "0", "1", "part", "1", "0", "0"}}));
  }

  void boundParameters() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    const QString value = kChinese + kEmoji;
    SQLLEN len = value.size() * 2;
    QVERIFY(SQL_SUCCEEDED(SQLBindParameter(s.h(), 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 50,
                                           0, const_cast<ushort*>(value.utf16()), len, &len)));
    QVERIFY2(SQL_SUCCEEDED(s.exec("select id from Orders where n = ?")),
             qPrintable(describe(s.diag())));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"1"}}));
    QJsonObject call = server_->log().last();
    QCOMPARE(call.value("proc").toString(), QString("sp_executesql"));
    QCOMPARE(call.value("params").toArray().at(0).toString(),
             QString("select id from Orders where n = @P1"));
    QCOMPARE(call.value("params").toArray().at(2).toString(), value);

    // SQLPrepare then SQLExecute: sp_prepexec first, then sp_execute with the handle.
    SQLFreeStmt(s.h(), SQL_CLOSE);
    SQLINTEGER key = 2;
    SQLLEN keyLen = 0;
    QVERIFY(SQL_SUCCEEDED(SQLBindParameter(s.h(), 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0,
                                           0, &key, 0, &keyLen)));
    const QString q = "select v from Orders where id = ?";
    QVERIFY(SQL_SUCCEEDED(SQLPrepareW(s.h(), const_cast<SQLWCHAR*>(wide(q)), SQL_NTS)));
    QVERIFY2(SQL_SUCCEEDED(SQLExecute(s.h())), qPrintable(describe(s.diag())));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"x"}}));
    key = 1;
    QVERIFY2(SQL_SUCCEEDED(SQLExecute(s.h())), qPrintable(describe(s.diag())));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"abc"}}));
    QCOMPARE(server_->batches().last(), QString("select v from Orders where id = @P1"));

    // Asking for the columns before the first SQLExecute makes FreeTDS prepare
    // alone (odbc_update_ird() -> odbc_prepare() -> sp_prepare with
    // RETURN_METADATA), then execute by handle.
    Stmt p(link);
    QVERIFY(SQL_SUCCEEDED(SQLBindParameter(p.h(), 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0,
                                           0, &key, 0, &keyLen)));
    const QString q2 = "select count(*), max(v) from Orders where id >= ?";
    QVERIFY(SQL_SUCCEEDED(SQLPrepareW(p.h(), const_cast<SQLWCHAR*>(wide(q2)), SQL_NTS)));
    SQLSMALLINT columns = 0;
    QVERIFY2(SQL_SUCCEEDED(SQLNumResultCols(p.h(), &columns)), qPrintable(describe(p.diag())));
    QCOMPARE(columns, SQLSMALLINT(2));
    QCOMPARE(p.column(1).type, SQLSMALLINT(SQL_INTEGER));
    QVERIFY2(SQL_SUCCEEDED(SQLExecute(p.h())), qPrintable(describe(p.diag())));
    QCOMPARE(p.rows(2), (QList<QStringList>{{"2", "x"}}));
    key = 2;
    QVERIFY2(SQL_SUCCEEDED(SQLExecute(p.h())), qPrintable(describe(p.diag())));
    QCOMPARE(p.rows(2), (QList<QStringList>{{"1", "x"}}));

    QStringList procs;
    for (const QJsonObject& e : server_->log())
      if (e.value("type") == "rpc") procs << e.value("proc").toString();
    QCOMPARE(procs, (QStringList{"sp_executesql", "sp_prepexec", "sp_execute", "sp_prepare",
                                 "sp_execute", "sp_execute"}));
    // Preparing again on the same statement gives the old handle back first
    // (odbc_free_dynamic() -> tds_submit_unprepare()).
    const QString q3 = "select count(*) from Guarded";
    QVERIFY(SQL_SUCCEEDED(SQLFreeStmt(p.h(), SQL_RESET_PARAMS)));
    QVERIFY(SQL_SUCCEEDED(SQLPrepareW(p.h(), const_cast<SQLWCHAR*>(wide(q3)), SQL_NTS)));
    QVERIFY2(SQL_SUCCEEDED(SQLExecute(p.h())), qPrintable(describe(p.diag())));
    QCOMPARE(p.rows(1), (QList<QStringList>{{"1"}}));
    QList<QJsonObject> calls;
    for (const QJsonObject& e : server_->log())
      if (e.value("type") == "rpc") calls << e;
    QCOMPARE(calls.size(), 8);
    QCOMPARE(calls[6].value("proc").toString(), QString("sp_unprepare"));
    // The handle sp_prepare gave out is the one returned.
    QCOMPARE(calls[6].value("params").toArray().at(0).toString(), QString("2"));
    QCOMPARE(calls[7].value("proc").toString(), QString("sp_prepexec"));
  }

  void wideTextArrivesIntactNarrowTextUnderCLocaleDoesNot() {
    // unixODBC picks the character set of narrow calls when the connection opens
    // (unicode_setup() from nl_langinfo(CODESET)): open it in the C locale.
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    Link link(*server_);
    std::setlocale(LC_ALL, previous.c_str());
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    const QString wideSql = "select N'" + kEmoji + "'";
    QVERIFY(SQL_SUCCEEDED(s.exec(wideSql)));
    QCOMPARE(s.rows(1), (QList<QStringList>{{kEmoji}}));
    QCOMPARE(server_->batches().last(), wideSql);

    // The same text through the narrow entry point. The connection was opened with
    // SQLDriverConnectW, so unixODBC passes the narrow call to the driver's wide one
    // (SQLExecDirect.c, unicode_driver), converting with ansi_to_unicode_copy(): iconv
    // from ASCII fails on the UTF-8 bytes and the fallback widens each byte on its own.
    // The server sees four Latin-1 characters, not the emoji.
    QByteArray narrow = wideSql.toUtf8();
    const SQLRETURN rc = SQLExecDirect(s.h(), reinterpret_cast<SQLCHAR*>(narrow.data()), SQL_NTS);
    QVERIFY2(SQL_SUCCEEDED(rc), qPrintable(describe(s.diag())));
    const QString arrived = server_->batches().last();
    QVERIFY(arrived != wideSql);
    QVERIFY(!arrived.contains(kEmoji));
    QCOMPARE(arrived,
             QString("select N'") + QString::fromLatin1(QByteArray("\xF0\x9F\x98\x80")) + "'");
  }

  void literalsAndFunctions() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    // Only an N right before a literal's quote goes; doubled quotes stay literal.
    QVERIFY2(SQL_SUCCEEDED(s.exec("select N'it''s', 'say N''hi''', N'N''', 'N' as [colN]")),
             qPrintable(describe(s.diag())));
    QCOMPARE(s.column(4).name, QString("colN"));
    QCOMPARE(s.rows(4), (QList<QStringList>{{"it's", "say N'hi'", "N'", "N"}}));
    QVERIFY(
        SQL_SUCCEEDED(s.exec("select schema_name(), db_name(), len('ab  '), "
                             "replace('aAbA', 'a', 'x'), replace(null, 'a', 'b'), "
                             "replace('abc', '', 'x')")));
    QCOMPARE(s.rows(6), (QList<QStringList>{{"dbo", "shop", "2", "xxbx", QString(), "abc"}}));
    QVERIFY(SQL_SUCCEEDED(s.exec("select count(*) from [dbo].[Orders] where v like 'ABC'")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"1"}}));
    QVERIFY(SQL_SUCCEEDED(s.exec("select note from [sales].[Orders]")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"sold"}}));
    // A varchar column holds CP1252: other characters come back as '?'.
    QVERIFY(SQL_SUCCEEDED(s.exec("update Orders set v = N'" + kChinese + "é' where id = 2")));
    QVERIFY(SQL_SUCCEEDED(s.exec("select v, n from Orders where id = 2")));
    QCOMPARE(s.rows(2), (QList<QStringList>{{"??é", QString()}}));
  }

  void replaceTruncatesLikeTheServer() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    // varchar(5000) with N'' arguments: REPLACE's result is nvarchar(4000).
    QVERIFY(SQL_SUCCEEDED(s.exec("Update Notes set v=Replace(v,N'a',N'b')")));
    QVERIFY(SQL_SUCCEEDED(s.exec("select v from Notes")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{QString(4000, u'b')}}));

    QVERIFY(SQL_SUCCEEDED(
        s.exec(QStringLiteral("update Notes set v = '%1'").arg(QString(4500, u'a')))));
    QVERIFY(SQL_SUCCEEDED(s.exec("Update Notes set v=Replace(cast(v as varchar(max)),N'A',N'b')")));
    QVERIFY(SQL_SUCCEEDED(s.exec("select len(v), v from Notes")));
    QCOMPARE(s.rows(2), (QList<QStringList>{{"4500", QString(4500, u'b')}}));
  }

  void maintenanceStatements() {
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    QCOMPARE(s.exec("dump transaction shop with no_log"), SQLRETURN(SQL_ERROR));
    QCOMPARE(s.diag().value(0).native, 102L);
    QCOMPARE(s.exec("backup log shop with no_log"), SQLRETURN(SQL_ERROR));
    QVERIFY2(
        hasState(s.diag(), s.diag().value(0).state, "'no_log' is not a recognized BACKUP option."),
        qPrintable(describe(s.diag())));
    QCOMPARE(s.diag().value(0).native, 155L);
    QVERIFY(SQL_SUCCEEDED(s.exec("dbcc shrinkdatabase(shop)")));
    SQLFreeStmt(s.h(), SQL_CLOSE);

    // Two statements, two results.
    QVERIFY(SQL_SUCCEEDED(s.exec("select * from sysfiles DBCC SHRINKFILE(1)")));
    QCOMPARE(s.column(1).name, QString("fileid"));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"1"}, {"2"}}));
    QVERIFY(SQL_SUCCEEDED(SQLMoreResults(s.h())));
    QCOMPARE(s.column(1).name, QString("DbId"));
    QCOMPARE(s.rows(2), (QList<QStringList>{{"5", "1"}}));
    // The DBCC's closing message comes after its rows: the driver shows it as one
    // more result without columns.
    QCOMPARE(SQLMoreResults(s.h()), SQLRETURN(SQL_SUCCESS_WITH_INFO));
    QVERIFY2(hasState(s.diag(), "01000", "DBCC execution completed."),
             qPrintable(describe(s.diag())));
    SQLSMALLINT columns = -1;
    SQLNumResultCols(s.h(), &columns);
    QCOMPARE(columns, SQLSMALLINT(0));
    QCOMPARE(SQLMoreResults(s.h()), SQLRETURN(SQL_NO_DATA));

    QCOMPARE(s.exec("EXEC sp_dboption 'shop', 'autoshrink', 'TRUE'"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), s.diag().value(0).state,
                      "Could not find stored procedure 'sp_dboption'."),
             qPrintable(describe(s.diag())));
    QCOMPARE(s.diag().value(0).native, 2812L);
  }

  void rejectedByTheControlFile() {
    server_->setControl(QJsonObject{{"reject", QJsonArray{"Guarded"}}});
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    QCOMPARE(s.exec("select * from Guarded"), SQLRETURN(SQL_ERROR));
    QVERIFY(hasState(s.diag(), "42000", "rejected by the test"));
    QVERIFY(SQL_SUCCEEDED(s.exec("select count(*) from Orders")));
  }

  void transactionsEndAsTheDriverAsks() {
    const QString guarded = "select group_concat(id || ':' || s, ',') from Guarded";
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    auto trans = [&] {
      QList<QJsonObject> out;
      for (const QJsonObject& e : server_->log())
        if (e.value("type") == "tran") out << e;
      return out;
    };
    auto lastBatch = [&] {
      QJsonObject out;
      for (const QJsonObject& e : server_->log())
        if (e.value("type") == "batch") out = e;
      return out;
    };
    const QString none = "0000000000000000";
    Stmt s(link);
    QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (2, 'auto')")));
    // Outside a transaction FreeTDS sends a zero descriptor (tds_start_query_head()).
    QCOMPARE(lastBatch().value("descriptor").toString(), none);
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto"));

    // Autocommit off is a begin request (change_autocommit() -> tds_submit_begin_tran()).
    QVERIFY(SQL_SUCCEEDED(SQLSetConnectAttr(link.dbc(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
    QCOMPARE(trans().size(), 1);
    QCOMPARE(trans().last().value("op").toString(), QString("begin"));
    QVERIFY2(SQL_SUCCEEDED(s.exec("insert into Guarded values (3, 'undone')")),
             qPrintable(describe(s.diag())));
    // The request carries the descriptor the begin's ENVCHANGE gave
    // (tds_process_env_chg() keeps it in tds72_transaction).
    const QString first = lastBatch().value("descriptor").toString();
    QVERIFY2(first != none && !first.isEmpty(), qPrintable(first));
    // Not committed: another reader does not see it.
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto"));

    // SQLEndTran is a rollback request with cont 1 (change_transaction()):
    // a new transaction begins at once.
    QVERIFY2(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link.dbc(), SQL_ROLLBACK)),
             qPrintable(describe(diagnostics(SQL_HANDLE_DBC, link.dbc()))));
    QCOMPARE(trans().size(), 2);
    QCOMPARE(trans().last().value("op").toString(), QString("rollback"));
    QCOMPARE(trans().last().value("cont").toBool(), true);
    QCOMPARE(trans().last().value("descriptor").toString(), first);
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto"));

    QVERIFY2(SQL_SUCCEEDED(s.exec("insert into Guarded values (4, 'kept too')")),
             qPrintable(describe(s.diag())));
    const QString second = lastBatch().value("descriptor").toString();
    QVERIFY2(second != none && second != first, qPrintable(second));
    QVERIFY(SQL_SUCCEEDED(s.exec("select count(*) from Guarded")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"3"}}));  // its own insert, seen in it
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto"));
    QVERIFY2(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link.dbc(), SQL_COMMIT)),
             qPrintable(describe(diagnostics(SQL_HANDLE_DBC, link.dbc()))));
    QCOMPARE(trans().last().value("op").toString(), QString("commit"));
    QCOMPARE(trans().last().value("cont").toBool(), true);
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto,4:kept too"));

    // Autocommit back on rolls back the transaction the commit began
    // (change_autocommit() -> tds_submit_rollback(tds, 0)).
    QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (5, 'dropped')")));
    QVERIFY(SQL_SUCCEEDED(SQLSetConnectAttr(link.dbc(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0)));
    QCOMPARE(trans().last().value("op").toString(), QString("rollback"));
    QCOMPARE(trans().last().value("cont").toBool(), false);
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto,4:kept too"));
    QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (6, 'auto too')")));
    QCOMPARE(lastBatch().value("descriptor").toString(), none);
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,2:auto,4:kept too,6:auto too"));
    // Committing in autocommit mode sends nothing (change_transaction()).
    QVERIFY(SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link.dbc(), SQL_COMMIT)));
    QCOMPARE(trans().size(), 4);
  }

  void transactionStatementsInABatch() {
    // Before TDS 7.2 FreeTDS ends a transaction with these batches
    // (tds_submit_commit() and tds_submit_rollback() in query.c); a batch that
    // begins or ends one is answered with the same ENVCHANGE as the requests,
    // so the driver's descriptor follows it.
    const QString guarded = "select group_concat(id || ':' || s, ',') from Guarded";
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    auto descriptors = [&] {
      QStringList out;
      for (const QJsonObject& e : server_->log())
        if (e.value("type") == "batch") out << e.value("descriptor").toString();
      return out;
    };
    Stmt s(link);
    // No rows and no count: the driver says SQL_NO_DATA.
    QCOMPARE(s.exec("BEGIN TRANSACTION"), SQLRETURN(SQL_NO_DATA));
    QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (2, 'undone')")));
    QCOMPARE(s.exec("IF @@TRANCOUNT > 0 ROLLBACK BEGIN TRANSACTION"), SQLRETURN(SQL_NO_DATA));
    QCOMPARE(fileValue(main_, guarded), QString("1:kept"));
    QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (3, 'kept too')")));
    QVERIFY(SQL_SUCCEEDED(s.exec("select @@trancount")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"1"}}));
    QCOMPARE(fileValue(main_, guarded), QString("1:kept"));
    QCOMPARE(s.exec("IF @@TRANCOUNT > 0 COMMIT"), SQLRETURN(SQL_NO_DATA));
    QCOMPARE(fileValue(main_, guarded), QString("1:kept,3:kept too"));
    // Nothing open: nothing done.
    QCOMPARE(s.exec("IF @@TRANCOUNT > 0 COMMIT"), SQLRETURN(SQL_NO_DATA));
    QVERIFY(SQL_SUCCEEDED(s.exec("select @@trancount")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"0"}}));
    QCOMPARE(s.exec("COMMIT TRANSACTION"), SQLRETURN(SQL_ERROR));
    QCOMPARE(s.diag().value(0).native, 3902L);

    const QStringList d = descriptors();
    QCOMPARE(d.size(), 9);
    const QString none = "0000000000000000";
    QCOMPARE(d[0], none);
    QVERIFY(d[1] != none);
    QCOMPARE(d[2], d[1]);
    QVERIFY(d[3] != none && d[3] != d[1]);
    QCOMPARE(d[4], d[3]);
    QCOMPARE(d[5], d[3]);
    QCOMPARE(d.mid(6), (QStringList{none, none, none}));
  }

  void aSessionThatEndsTakesItsTransactionWithIt() {
    auto rolledBackOnDisconnect = [&](int wait) {
      QDeadlineTimer deadline(wait);
      do {
        for (const QJsonObject& e : server_->log())
          if (e.value("type") == "tran" && e.value("cause") == "disconnect") return true;
        QThread::msleep(50);
      } while (!deadline.hasExpired());
      return false;
    };
    {
      Link link(*server_);
      QVERIFY2(link.connected(), qPrintable(link.error()));
      QVERIFY(SQL_SUCCEEDED(SQLSetConnectAttr(
          link.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
      Stmt s(link);
      QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (5, 'lost')")));
      QVERIFY(SQL_SUCCEEDED(s.exec("update Notes set v = 'lost'")));
      // SQLDisconnect sends no commit: it closes the socket (tds_close_socket()).
    }
    QVERIFY(rolledBackOnDisconnect(5000));
    QCOMPARE(fileValue(main_, "select count(*) from Guarded"), QString("1"));
    QCOMPARE(fileValue(main_, "select v from Notes"), QString(4500, u'a'));

    // The driver gives up on a server that does not answer its cancel and
    // drops the socket (see unacknowledgedCancelKillsTheConnection).
    server_->setControl(
        QJsonObject{{"delays", QJsonObject{{"Orders", 10.0}}}, {"attention_delay", 5.0}});
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    QVERIFY(SQL_SUCCEEDED(SQLSetConnectAttr(link.dbc(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
    Stmt s(link);
    QVERIFY(SQL_SUCCEEDED(s.exec("insert into Guarded values (6, 'cut')")));
    SQLSetStmtAttr(s.h(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
    QCOMPARE(s.exec("select * from Orders"), SQLRETURN(SQL_ERROR));
    QCOMPARE(s.exec("select 1"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "08S01"), qPrintable(describe(s.diag())));
    int disconnects = 0;
    QDeadlineTimer deadline(10000);
    while (disconnects < 2 && !deadline.hasExpired()) {
      disconnects = 0;
      for (const QJsonObject& e : server_->log())
        disconnects += e.value("type") == "tran" && e.value("cause") == "disconnect";
      QThread::msleep(50);
    }
    QCOMPARE(disconnects, 2);
    QCOMPARE(fileValue(main_, "select count(*) from Guarded"), QString("1"));
  }

  void queryTimeoutCancelsAndTheConnectionSurvives() {
    server_->setControl(
        QJsonObject{{"delays", QJsonObject{{"Orders", 10.0}}}, {"attention_delay", 0}});
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    SQLSetStmtAttr(s.h(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(s.exec("update Orders set k = 99"), SQLRETURN(SQL_ERROR));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(hasState(s.diag(), "HYT00"), qPrintable(describe(s.diag())));
    QVERIFY2(elapsed >= 1800 && elapsed < 3500, qPrintable(QString::number(elapsed)));
    QCOMPARE(server_->log().last().value("type").toString(), QString("attention"));

    // Acknowledged at once: the connection carries on, and the update never ran.
    QVERIFY2(SQL_SUCCEEDED(s.exec("select s from Guarded")), qPrintable(describe(s.diag())));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"kept"}}));
    server_->setControl({});
    QVERIFY(SQL_SUCCEEDED(s.exec("select count(*) from Orders where k = 99")));
    QCOMPARE(s.rows(1), (QList<QStringList>{{"0"}}));
  }

  void unacknowledgedCancelKillsTheConnection() {
    // After a time-out FreeTDS sends the cancel and waits one more query time-out
    // for its acknowledgement (odbc_errmsg_handler() in odbc.c returns
    // TDS_INT_TIMEOUT the first time, tdserror() in util.c sends the cancel and
    // reads on; the second time-out, with in_cancel set, closes the socket).
    server_->setControl(
        QJsonObject{{"delays", QJsonObject{{"Orders", 10.0}}}, {"attention_delay", 5.0}});
    Link link(*server_);
    QVERIFY2(link.connected(), qPrintable(link.error()));
    Stmt s(link);
    SQLSetStmtAttr(s.h(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(s.exec("select * from Orders"), SQLRETURN(SQL_ERROR));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(hasState(s.diag(), "HYT00"), qPrintable(describe(s.diag())));
    QVERIFY2(elapsed >= 3800 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    QCOMPARE(s.exec("select s from Guarded"), SQLRETURN(SQL_ERROR));
    QVERIFY2(hasState(s.diag(), "08S01"), qPrintable(describe(s.diag())));
  }
};

QTEST_GUILESS_MAIN(TestTdsStandin)
#include "test_tds_standin.moc"
