// Connecting and listing tables through the real window: real SQLite files
// through the SQLite driver, and the real FreeTDS driver against a closed
// port and against a stand-in server that records what it receives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QtTest>
#include <filesystem>

#include "session/session.h"
#include "tds_standin.h"
#include "testdb.h"
#include "window_fixture.h"

using namespace trellick::app;

namespace {

// A loopback port on which nothing listens.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

void fill(Form1& f, const QString& server, const QString& user, const QString& password,
          const QString& database) {
  f.txtServerName->setText(server);
  f.txtUsername->setText(user);
  f.txtPassword->setText(password);
  f.txtDatabaseName->setText(database);
}

}  // namespace

class TestLinkConn : public QObject {
  Q_OBJECT

 private slots:
  void requiredFields_data() {
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("database");
    QTest::newRow("server empty") << ""
                                  << "sa"
                                  << "db";
    QTest::newRow("server spaces") << "   "
                                   << "sa"
                                   << "db";
    QTest::newRow("user spaces") << "sqlite"
                                 << "  "
                                 << "db";
    QTest::newRow("database empty") << "sqlite"
                                    << "sa"
                                    << "";
  }
  void requiredFields() {
    QFETCH(QString, server);
    QFETCH(QString, user);
    QFETCH(QString, database);
    WindowFixture fx;
    auto& form = fx.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.List1->addItem("kept");
    fill(form, server, user, "", database);
    form.txt2->setFocus();
    fx.ui.expectBox();
    QVERIFY(!form.LinkConn());
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, QStringLiteral("服务器名称，用户名，数据库名称为必填项．"));
    QCOMPARE(fx.ui.boxes[0].style, 16);
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("Trellick"));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.txtServerName));
    QCOMPARE(items(form.List1), QStringList{"kept"});
    QCOMPARE(form.Frame4->title(), QStringLiteral("数据表"));
    QVERIFY(!form.conn.present());
    QVERIFY(form.Frame5->isHidden());
  }

  void listsExactlyTheUserTables() {
    testdb::Dir dir;
    const std::string path = dir.file("shop 店.db");
    testdb::exec(path,
                 "create table Article(id integer primary key autoincrement, Title varchar(100));"
                 "insert into Article(Title) values('a');"
                 "create table \"order details\"(a text);"
                 "create table \"文章\"(a text);"
                 "create table MSysObjects(a text); create table msys(a text);"
                 "create table Switchboard(a text); create table \"SWITCHBOARD Items\"(a text);"
                 "create table MySys(a text); create table Switch(a text);"
                 "create table xMSYS(a text);"
                 "create view ArticleView as select * from Article;");
    WindowFixture fx;
    auto& form = fx.open();
    const QString db = QString::fromStdString(path);
    fill(form, " SQLite ", " sa ", " pw ", "  " + db + " ");
    int shownWhileYielding = 0;
    fx.ui.onYield = [&](int) {
      if (form.Frame5->isVisible() &&
          form.Label3->text() == QStringLiteral("正在连接数据库,请稍等..."))
        ++shownWhileYielding;
    };
    QVERIFY(form.LinkConn());
    QCOMPARE(shownWhileYielding, 1);
    QVERIFY2(fx.ui.boxes.isEmpty(), qPrintable(fx.ui.describe()));
    QStringList listed = items(form.List1);
    listed.sort();
    QStringList expected{"Article",       "MySys", "Switch",
                         "order details", "xMSYS", QStringLiteral("文章")};
    expected.sort();
    QCOMPARE(listed, expected);
    QCOMPARE(form.Frame4->title(), QStringLiteral("数据表[6]"));
    QVERIFY(form.Frame5->isHidden());
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(form.txtServer, QStringLiteral("SQLite"));
    QCOMPARE(form.txtUser, QStringLiteral("sa"));
    QCOMPARE(form.txtPass, QStringLiteral("pw"));
    QCOMPARE(form.txtData, db);
    QCOMPARE(form.cn, QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=True;User ID=sa;"
                                     "Password= pw ;Initial Catalog=") +
                          db + QStringLiteral(";Data Source=SQLite"));
    QCOMPARE(form.conn->State(), int(trellick::db::adStateOpen));
    QCOMPARE(form.conn->CommandTimeout(), 10);
  }

  void emptyDatabaseAndTwoCallsInARow() {
    testdb::Dir dir;
    const std::string path = dir.file("empty.db");
    testdb::exec(path, "pragma user_version = 1;");
    WindowFixture fx;
    auto& form = fx.open();
    fill(form, "sqlite", "sa", "", QString::fromStdString(path));
    QVERIFY(form.LinkConn());
    QCOMPARE(form.List1->count(), 0);
    QCOMPARE(form.Frame4->title(), QStringLiteral("数据表[0]"));
    QCOMPARE(form.cn, QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=True;User ID=sa;"
                                     "Password=;Initial Catalog=") +
                          QString::fromStdString(path) + QStringLiteral(";Data Source=sqlite"));

    // A record set on the first connection is closed by the second call,
    // which lists the tables afresh.
    trellick::db::Recordset held;
    held.Open("select 1", *form.conn, trellick::db::adOpenForwardOnly,
              trellick::db::adLockReadOnly);
    QCOMPARE(held.State(), int(trellick::db::adStateOpen));
    testdb::exec(path, "create table later(a text);");
    QVERIFY(form.LinkConn());
    QCOMPARE(held.State(), int(trellick::db::adStateClosed));
    QCOMPARE(items(form.List1), QStringList{"later"});
    QCOMPARE(form.Frame4->title(), QStringLiteral("数据表[1]"));
    QVERIFY(fx.ui.boxes.isEmpty());
  }

  void unreachableServerShowsTheDriversText() {
    WindowFixture fx;
    auto& form = fx.open();
    form.List1->addItem("old");
    fill(form, QStringLiteral("127.0.0.1,%1").arg(closedPort()), "sa", "pw", "shop");
    bool failureShownBehindBox = false;
    fx.ui.onBox = [&](const RecordedBox&) {
      failureShownBehindBox = form.Frame5->isVisible() &&
                              form.Label3->text() == QStringLiteral("数据库连接失败，请检查") &&
                              !QApplication::overrideCursor();
    };
    fx.ui.expectBox();
    QVERIFY(!form.LinkConn());
    QCOMPARE(fx.ui.boxes.size(), 1);
    const RecordedBox& box = fx.ui.boxes[0];
    QCOMPARE(box.title, QStringLiteral("数据库连接错误，请检查"));
    QCOMPARE(box.style, 16);
    QVERIFY2(box.prompt.contains(QStringLiteral("08001 [FreeTDS][SQL Server]Unable to connect")),
             qPrintable(box.prompt));
    QVERIFY(failureShownBehindBox);
    QVERIFY(form.Frame5->isHidden());
    QCOMPARE(form.Label3->text(), QStringLiteral("数据库连接失败，请检查"));
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(form.conn->State(), int(trellick::db::adStateClosed));
    QCOMPARE(items(form.List1), QStringList{"old"});  // failed before the list was cleared
    QCOMPARE(form.Frame4->title(), QStringLiteral("数据表"));
  }

  void missingSqliteFileIsNamed() {
    testdb::Dir dir;
    const std::string path = dir.file("nope.db");
    WindowFixture fx;
    auto& form = fx.open();
    fill(form, "sqlite", "sa", "", QString::fromStdString(path));
    fx.ui.expectBox();
    QVERIFY(!form.LinkConn());
    QCOMPARE(fx.ui.boxes.size(), 1);
    QVERIFY(fx.ui.boxes[0].prompt.contains(QString::fromStdString(path)));
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("数据库连接错误，请检查"));
    QVERIFY(!QFile::exists(QString::fromStdString(path)));
  }

  void odbcDataSourceByName() {
    testdb::Dir dir;
    const std::string path = dir.file("dsn.db");
    testdb::exec(path, "create table viaDsn(a text);");
    const QString ini = dir.path() + "/odbc.ini";
    QFile f(ini);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[TrellickTest]\nDriver=SQLite3\nDatabase=/nonexistent.db\nNoCreat=1\n");
    f.close();
    qputenv("ODBCINI", ini.toLocal8Bit());
    WindowFixture fx;
    auto& form = fx.open();
    fill(form, "dsn:TrellickTest", "someone", "pw", QString::fromStdString(path));
    const bool ok = form.LinkConn();
    qunsetenv("ODBCINI");
    QVERIFY2(ok, qPrintable(fx.ui.describe()));
    QCOMPARE(items(form.List1), QStringList{"viaDsn"});
    QCOMPARE(int(form.conn->dialect()), int(trellick::db::Dialect::SQLite));
  }

  void freeTdsGetsEveryPasswordAndUnicodeIntact() {
    testdb::Dir dir;
    const auto path = dir.file("main.db");
    testdb::exec(path,
                 "create table [文章]([标题] nvarchar(20)); insert into [文章] values('旧');"
                 "create table [a?b{fn x}]([c?] nvarchar(20));");
    TdsStandin server(QString::fromStdString(path));
    QVERIFY2(server.port() > 0, qPrintable(server.errorText()));
    WindowFixture fx;
    auto& form = fx.open();
    const QString password = QStringLiteral(" a;b}c{=d}} 密 ");
    fill(form, QStringLiteral(" %1 ").arg(server.serverField()), QStringLiteral("用户"), password,
         QStringLiteral("商店;库"));
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    QJsonObject login;
    for (const auto& entry : server.log())
      if (entry["type"].toString() == "login") login = entry;
    QCOMPARE(login["password"].toString(), password);
    QCOMPARE(login["user"].toString(), QStringLiteral("用户"));
    QCOMPARE(login["database"].toString(), QStringLiteral("商店;库"));
    QCOMPARE(login["app"].toString(), QStringLiteral("Trellick"));
    QCOMPARE(items(form.List1), (QStringList{"a?b{fn x}", "文章"}));
    // Statement text reaches the server as the characters we wrote.
    const QString sql = QStringLiteral("Update [文章] set [标题]=Replace([标题],N'旧','新')");
    form.conn->Execute(sql.toStdString());
    QVERIFY2(server.batches().contains(sql), qPrintable(server.batches().join("\n")));
    QCOMPARE(testdb::query(path, "select [标题] from [文章]")[0][0], std::string("新"));
    // Question marks and braces in names and literals are text, not
    // parameter markers or escape sequences.
    const QString marks =
        QStringLiteral("select count(*) from [a?b{fn x}] where [c?] like N'%{fn ucase(''?'')}%'");
    form.conn->Execute(marks.toStdString());
    QVERIFY2(server.batches().contains(marks), qPrintable(server.batches().join("\n")));
  }

  // One SQLite file, however it is reached, is one database to the
  // journal; a run made elsewhere is not taken back here.
  void aSqliteFileHasOneNameWhicheverPathReachesIt() {
    using trellick::session::ServerSpec;
    testdb::Dir dir;
    const std::string file = dir.file("shop.db");
    testdb::exec(file, "create table t(v text);");
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(file, dir.file("sub/link.db"));
    const std::string real = std::filesystem::canonical(file).string();
    const ServerSpec direct = ServerSpec::parse("sqlite", file);
    QCOMPARE(direct.identity, real);
    QVERIFY(direct.isSqlite());
    QVERIFY(!direct.needsPassword());
    for (const std::string& other : {dir.file("sub/link.db"), dir.file("sub/../shop.db")}) {
      const ServerSpec place = ServerSpec::parse("SQLite", other);
      QCOMPARE(place.identity, real);
      QCOMPARE(place.database, other);
      trellick::journal::RunInfo run;
      run.server = "sqlite";
      run.database = other;  // as an older journal may hold it
      QVERIFY(direct.holds(run));
    }
    trellick::journal::RunInfo elsewhere;
    elsewhere.server = "sqlite";
    elsewhere.database = dir.file("other.db");
    QVERIFY(!direct.holds(elsewhere));

    // A server's database by its name on the same server field.
    const ServerSpec shop = ServerSpec::parse("srv,1433", "shop");
    QVERIFY(shop.needsPassword());
    QCOMPARE(shop.parts.host, std::string("srv"));
    QCOMPARE(shop.parts.port, std::string("1433"));
    trellick::journal::RunInfo run;
    run.server = " srv,1433 ";
    run.database = "shop";
    QVERIFY(shop.holds(run));
    run.database = "shop2";
    QVERIFY(!shop.holds(run));
    run.database = "shop";
    run.server = "other,1433";
    QVERIFY(!shop.holds(run));
    run.server = "sqlite";
    QVERIFY(!shop.holds(run));
  }
};

QTEST_MAIN(TestLinkConn)
#include "test_linkconn.moc"
