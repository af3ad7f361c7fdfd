// The text-only pieces of connecting: connection strings, the table filter,
// and the mapping of driver-reported column types onto our type codes.
#include <sql.h>
#include <sqlext.h>

#include <QtTest>

#include "db/tablelist.h"
#include "db/target.h"
#include "db/types.h"

using namespace trellick::db;

class TestDbText : public QObject {
  Q_OBJECT

 private slots:
  void connectionStringKeepsValuesAsGiven() {
    QCOMPARE(QString::fromStdString(buildConnectionString("sa", "", "shop", "srv")),
             QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=True;User "
                            "ID=sa;Password=;Initial Catalog=shop;Data Source=srv"));
    // No quoting: the record keeps exactly what was typed.
    QCOMPARE(QString::fromStdString(buildConnectionString("u", " p;w ", "d", "s")),
             QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=True;User "
                            "ID=u;Password= p;w ;Initial Catalog=d;Data Source=s"));
  }

  void tableFilter_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("listed");
    QTest::newRow("MSysObjects") << "MSysObjects" << false;
    QTest::newRow("msys") << "msys" << false;
    QTest::newRow("Switchboard") << "Switchboard" << false;
    QTest::newRow("SWITCHBOARD Items") << "SWITCHBOARD Items" << false;
    QTest::newRow("MySys") << "MySys" << true;
    QTest::newRow("Switch") << "Switch" << true;
    QTest::newRow("xMSYS") << "xMSYS" << true;
    QTest::newRow("MSY shorter than prefix") << "MSY" << true;
    QTest::newRow("chinese") << QStringLiteral("文章") << true;
  }
  void tableFilter() {
    QFETCH(QString, name);
    QFETCH(bool, listed);
    QCOMPARE(isListedTable(name.toStdString()), listed);
  }

  void bracesOnlyWhereNeeded() {
    QCOMPARE(quoteOdbcValue("plain"), std::string("plain"));
    QCOMPARE(quoteOdbcValue(""), std::string(""));
    QCOMPARE(quoteOdbcValue("a;b"), std::string("{a;b}"));
    QCOMPARE(quoteOdbcValue("x=y"), std::string("{x=y}"));
    QCOMPARE(quoteOdbcValue("{p}"), std::string("{{p}}}"));
    QCOMPARE(quoteOdbcValue("a}b"), std::string("{a}}b}"));
    QCOMPARE(quoteOdbcValue(" pad "), std::string("{ pad }"));
  }

  void targets() {
    DriverNames d{"SQLite3", "FreeTDS"};
    auto sqlite = makeTarget({"SQLite", "u", "pw", "/tmp/a b.db"}, d, 10);
    QCOMPARE(int(sqlite.kind), int(TargetKind::SQLite));
    QCOMPARE(sqlite.sqlitePath, std::string("/tmp/a b.db"));
    QCOMPARE(sqlite.connectionString,
             std::string("Driver=SQLite3;Database=/tmp/a b.db;NoCreat=1;Timeout=5000;"));

    auto dsn = makeTarget({"dsn:Sales", "ann", "p;w", "crm"}, d, 10);
    QCOMPARE(int(dsn.kind), int(TargetKind::Dsn));
    QCOMPARE(dsn.connectionString, std::string("DSN=Sales;UID=ann;PWD={p;w};Database=crm;"));

    auto host = makeTarget({"db.local", "sa", "", "shop"}, d, 10);
    QCOMPARE(host.connectionString,
             std::string("Driver=FreeTDS;Server=db.local;Database=shop;UID=sa;PWD=;"
                         "ClientCharset=UTF-8;APP=Trellick;"));
    auto port = makeTarget({"10.0.0.5,1433", "sa", "x", "shop"}, d, 10);
    QCOMPARE(port.connectionString,
             std::string("Driver=FreeTDS;Server=10.0.0.5;Port=1433;Database=shop;UID=sa;PWD=x;"
                         "ClientCharset=UTF-8;APP=Trellick;"));
    auto instance = makeTarget({"srv\\SQLEXPRESS", "sa", "x", "shop"}, d, 10);
    QCOMPARE(instance.connectionString,
             std::string("Driver=FreeTDS;Server=srv\\SQLEXPRESS;Database=shop;UID=sa;PWD=x;"
                         "ClientCharset=UTF-8;APP=Trellick;"));
    // Every password reaches the driver: the delimiters are protected.
    auto hard = makeTarget({"srv", "sa", "a;b}c=}", "shop"}, d, 10);
    QVERIFY(hard.connectionString.find(";PWD={a;b}c=}};") != std::string::npos);
    QVERIFY(hard.problem.empty());
    // FreeTDS has no way to take "};" inside a value: refused, not mangled.
    auto impossible = makeTarget({"srv", "sa", "x};y", "shop"}, d, 10);
    QVERIFY(impossible.problem.find("密码") != std::string::npos);
    QVERIFY(impossible.connectionString.find("x};y") == std::string::npos);
  }

  void typeCodes_data() {
    QTest::addColumn<int>("sqlType");
    QTest::addColumn<qulonglong>("size");
    QTest::addColumn<QString>("typeName");
    QTest::addColumn<int>("code");
    QTest::addColumn<qlonglong>("definedSize");
    // As the SQLite driver reports them.
    QTest::newRow("sqlite char(20)") << SQL_VARCHAR << 20ull << "char" << 129 << 20ll;
    QTest::newRow("sqlite nchar(10)") << SQL_VARCHAR << 10ull << "nchar" << 130 << 10ll;
    QTest::newRow("sqlite varchar(100)") << SQL_VARCHAR << 100ull << "varchar" << 200 << 100ll;
    QTest::newRow("sqlite nvarchar(50)") << SQL_VARCHAR << 50ull << "nvarchar" << 202 << 50ll;
    QTest::newRow("sqlite text") << SQL_LONGVARCHAR << 65536ull << "TEXT" << 201 << 2147483647ll;
    QTest::newRow("sqlite ntext") << SQL_VARCHAR << 255ull << "ntext" << 203 << 1073741823ll;
    QTest::newRow("sqlite integer") << SQL_INTEGER << 10ull << "INTEGER" << 3 << 10ll;
    QTest::newRow("sqlite decimal") << SQL_VARCHAR << 10ull << "decimal" << 131 << 10ll;
    QTest::newRow("sqlite datetime") << SQL_TYPE_TIMESTAMP << 32ull << "datetime" << 135 << 32ll;
    QTest::newRow("sqlite blob") << SQL_BINARY << 255ull << "BLOB" << 128 << 255ll;
    // As FreeTDS reports SQL Server's types.
    QTest::newRow("mssql varchar(max)")
        << SQL_LONGVARCHAR << 2147483647ull << "varchar" << 201 << 2147483647ll;
    QTest::newRow("mssql nvarchar(max)")
        << SQL_WLONGVARCHAR << 1073741823ull << "nvarchar" << 203 << 1073741823ll;
    QTest::newRow("mssql nvarchar(40)") << SQL_WVARCHAR << 40ull << "nvarchar" << 202 << 40ll;
    QTest::newRow("mssql nchar(5)") << SQL_WCHAR << 5ull << "nchar" << 130 << 5ll;
    QTest::newRow("mssql ntext") << SQL_WLONGVARCHAR << 1073741823ull << "ntext" << 203
                                 << 1073741823ll;
    QTest::newRow("mssql text") << SQL_LONGVARCHAR << 2147483647ull << "text" << 201
                                << 2147483647ll;
    QTest::newRow("mssql char(8)") << SQL_CHAR << 8ull << "char" << 129 << 8ll;
    QTest::newRow("mssql int") << SQL_INTEGER << 10ull << "int" << 3 << 10ll;
    QTest::newRow("mssql bit") << SQL_BIT << 1ull << "bit" << 11 << 1ll;
    QTest::newRow("unknown character name") << SQL_VARCHAR << 30ull << "string" << 200 << 30ll;
  }
  void typeCodes() {
    QFETCH(int, sqlType);
    QFETCH(qulonglong, size);
    QFETCH(QString, typeName);
    QFETCH(int, code);
    QFETCH(qlonglong, definedSize);
    ColumnType t = mapColumnType(sqlType, size, typeName.toStdString());
    QCOMPARE(t.code, code);
    QCOMPARE(t.definedSize, definedSize);
  }
};

QTEST_APPLESS_MAIN(TestDbText)
#include "test_db_text.moc"
