// Log clearing, the batch replace and the double-click replace through the
// real window: real SQLite files (checked by reading them directly) and the
// real FreeTDS driver against a stand-in server.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QJsonArray>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "find_fixture.h"
#include "maintenance/shrink.h"
#include "tds_standin.h"

using namespace trellick::app;
using trellick::maintenance::shrinkStatements;
using trellick::search::Engine;

namespace {

const QString kConfirm = QStringLiteral(
    "您确定要开始批量替换数据吗?此操作将不可恢复.\r\r您可以选择否，然后手动双击要处理的数据表。");

const char* kShop =
    "create table pages(id integer primary key, title nvarchar(50), body text, views int);"
    "insert into pages values(1, '旧站 old.example.com', '<a href=\"http://old.example.com/\">"
    "it''s old.example.com</a>', 5);"
    "insert into pages values(2, 'untouched', 'nothing here', 6);"
    "insert into pages values(3, null, null, null);"
    "create table links(url varchar(100), note ntext);"
    "insert into links values('http://old.example.com/a', 'old.example.com old.example.com');"
    "insert into links values('http://other.example.org/', null);"
    "create table a_table_whose_name_is_long(v varchar(40));"
    "insert into a_table_whose_name_is_long values('old.example.com');"
    "create table nums(n int); insert into nums values(1);"
    "create table empty(v text);";

const std::map<std::string, std::map<std::string, int>> kShopColumns{
    {"pages", {{"title", 1}, {"body", 2}}},
    {"links", {{"url", 0}, {"note", 1}}},
    {"a_table_whose_name_is_long", {{"v", 0}}}};

void clickItem(QListWidget* list, const QString& text, bool doubleClick) {
  const auto found = list->findItems(text, Qt::MatchExactly);
  QVERIFY(!found.isEmpty());
  const QPoint at = list->visualItemRect(found.first()).center();
  if (doubleClick)
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  else
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
}

}  // namespace

class TestReplace : public QObject {
  Q_OBJECT

 private slots:
  void shrinkStatementsProtectOnlyIrregularNames() {
    QCOMPARE(shrinkStatements("shop", Engine::SqlServer),
             (std::vector<std::string>{"dump transaction shop with no_log",
                                       "backup log shop with no_log", "dbcc shrinkdatabase(shop)",
                                       "select * from sysfiles DBCC SHRINKFILE(1)",
                                       "EXEC sp_dboption shop, 'autoshrink', 'TRUE'"}));
    QCOMPARE(shrinkStatements("my o'db]", Engine::SqlServer),
             (std::vector<std::string>{
                 "dump transaction [my o'db]]] with no_log", "backup log [my o'db]]] with no_log",
                 "dbcc shrinkdatabase([my o'db]]])", "select * from sysfiles DBCC SHRINKFILE(1)",
                 "EXEC sp_dboption 'my o''db]', 'autoshrink', 'TRUE'"}));
    QCOMPARE(shrinkStatements("商店", Engine::SqlServer).front(),
             std::string("dump transaction 商店 with no_log"));
    QCOMPARE(shrinkStatements("商 店", Engine::SqlServer).back(),
             std::string("EXEC sp_dboption N'商 店', 'autoshrink', 'TRUE'"));
    QCOMPARE(shrinkStatements("/any/path.db", Engine::SQLite),
             (std::vector<std::string>{"pragma wal_checkpoint(TRUNCATE)", "vacuum",
                                       "pragma wal_checkpoint(TRUNCATE)"}));
    // Nothing that would purge a log that replicas or backups still read.
    QCOMPARE(shrinkStatements("shop", Engine::PostgreSQL),
             (std::vector<std::string>{"checkpoint", "vacuum"}));
    QCOMPARE(shrinkStatements("shop", Engine::MariaDB, {{"a`b"}, {"c"}}),
             (std::vector<std::string>{"alter table `a``b` force", "alter table `c` force"}));
  }

  void logCommandOnSqlServerSendsAllFive() {
    testdb::Dir dir;
    const auto path = dir.file("main.db");
    testdb::exec(path, "create table t(v text);");
    TdsStandin server(QString::fromStdString(path));
    QVERIFY2(server.port() > 0, qPrintable(server.errorText()));
    WindowFixture fx;
    auto& form = fx.open();
    form.txtServerName->setText(server.serverField());
    form.txtUsername->setText("sa");
    form.txtDatabaseName->setText("my shop");
    int panelYields = 0;
    fx.ui.onYield = [&](int) {
      if (form.Frame5->isVisible() &&
          form.Label3->text() == QStringLiteral("清空SQL日志并压缩数据库") &&
          QApplication::overrideCursor())
        ++panelYields;
    };
    fx.ui.expectBox();
    form.cmdSQLlog_Click();
    const QStringList five{"dump transaction [my shop] with no_log",
                           "backup log [my shop] with no_log", "dbcc shrinkdatabase([my shop])",
                           "select * from sysfiles DBCC SHRINKFILE(1)",
                           "EXEC sp_dboption 'my shop', 'autoshrink', 'TRUE'"};
    QStringList sent = server.batches();
    sent.removeIf([&](const QString& b) { return !five.contains(b); });
    // The server refuses the first two and the last; the others run.
    QCOMPARE(sent, five);
    QCOMPARE(panelYields, 1);
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, QStringLiteral("已经清除日志并压缩数据库"));
    QCOMPARE(fx.ui.boxes[0].style, 64);
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("Trellick"));
    QVERIFY(form.Frame5->isHidden());
    QVERIFY(form.Label3->isHidden());
    QCOMPARE(form.Label3->text(), QStringLiteral("清空SQL日志并压缩数据库"));
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(form.conn->State(), int(trellick::db::adStateOpen));
    QVERIFY(form.noRunSQL.isEmpty());

    // An empty name sends nothing and changes nothing on screen.
    const int before = server.batches().size();
    const int yields = fx.ui.yields;
    form.ShrinkLog(QString());
    QCOMPARE(server.batches().size(), before);
    QCOMPARE(fx.ui.yields, yields);

    // When the server takes none of them, the box says so with the first
    // refusal instead of claiming the log was cleared.
    server.setControl(QJsonObject{{"reject", QJsonArray{"dbcc", "sysfiles"}}});
    fx.ui.expectBox();
    form.cmdSQLlog_Click();
    QCOMPARE(fx.ui.boxes.size(), 2);
    QVERIFY2(fx.ui.boxes[1].prompt.startsWith(QStringLiteral("清除日志并压缩数据库未能完成：")),
             qPrintable(fx.ui.boxes[1].prompt));
    QVERIFY(fx.ui.boxes[1].prompt.contains(QStringLiteral("transaction")));
    QCOMPARE(fx.ui.boxes[1].style, 48);
  }

  void logCommandOnSqliteTruncatesTheLogAndShrinks() {
    FindFixture fx(
        "create table big(v text);"
        "with recursive n(x) as (select 1 union all select x+1 from n where x < 3000) "
        "insert into big select hex(randomblob(200)) from n;");
    // Another connection leaves a filled write-ahead log and many free pages.
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(fx.path.c_str(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other,
                          "pragma journal_mode=wal; pragma wal_autocheckpoint=0;"
                          "delete from big where rowid > 10; insert into big values('kept');",
                          nullptr, nullptr, nullptr),
             SQLITE_OK);
    const QString wal = QString::fromStdString(fx.path) + "-wal";
    QVERIFY(QFileInfo(wal).size() > 0);
    const qint64 sizeBefore = QFileInfo(QString::fromStdString(fx.path)).size();
    auto& form = fx.openWith("x");
    fx.ui.expectBox();
    form.cmdSQLlog_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("已经清除日志并压缩数据库"));
    QCOMPARE(QFileInfo(wal).size(), 0);
    QVERIFY(QFileInfo(QString::fromStdString(fx.path)).size() < sizeBefore / 4);
    QCOMPARE(form.conn->State(), int(trellick::db::adStateOpen));
    sqlite3_close(other);
    QCOMPARE(testdb::query(fx.path, "select count(*) from big")[0][0], std::string("11"));
  }

  void batchReplaceChangesExactlyTheOccurrences() {
    FindFixture fx{std::string(kShop)};
    const auto before = fx.dump();
    auto& form = fx.openWith("old.example.com", QStringLiteral("新.example.org"));
    form.List2->addItem("x");
    int shrinkPanels = 0;
    fx.ui.onYield = [&](int) {
      if (form.Frame5->isVisible() &&
          form.Label3->text() == QStringLiteral("清空SQL日志并压缩数据库"))
        ++shrinkPanels;
    };
    QList<QString> saved;
    fx.settings->onSaved = [&](const QString&, const QString& key, const QString&) {
      saved << key;
    };
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(fx.ui.boxes.size(), 2);
    // The confirmation as specified, then one line of what and where.
    QCOMPARE(fx.ui.boxes[0].prompt.section(QLatin1Char('\r'), 0, 2), kConfirm);
    QCOMPARE(fx.ui.boxes[0].prompt.count(QLatin1Char('\r')), 3);
    QCOMPARE(fx.ui.boxes[0].style, 36);
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("注意:"));
    // pages: title, body; links: url, note; the long name: v.
    QCOMPARE(fx.ui.boxes[1].prompt, totals(5, 5, 3, 3));
    QCOMPARE(fx.ui.boxes[1].style, 64);
    QCOMPARE(fx.ui.boxes[1].title, QStringLiteral("信息"));
    QCOMPARE(shrinkPanels, 2);
    QCOMPARE(saved.size(), 6);
    QVERIFY(form.FrameSQL->isHidden());
    QVERIFY(form.noRunSQL.isEmpty());
    QVERIFY(!form.conn.present());
    QVERIFY(form.Command6->isHidden());
    QCOMPARE(form.Frame3->title(), QStringLiteral("处理进程"));
    QCOMPARE(form.ProB->value(), form.ProB->maximum());
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：5"));
    QVERIFY(fx.dump() ==
            expectedAfterReplace(before, kShopColumns, "old.example.com", "新.example.org"));
    QCOMPARE(testdb::query(fx.path, "select body from pages where id=1")[0][0],
             std::string("<a href=\"http://新.example.org/\">it's 新.example.org</a>"));
  }

  void longValuesQuotesChineseAndNullsSurvive() {
    const std::string big = std::string(9000, 'a') + "OLD" + std::string(500, 'b') + "OLD";
    FindFixture fx(
        "create table t(id integer primary key, v text, w nvarchar(30), x varchar(10));"
        "insert into t values(1, '" +
        big +
        "', 'it''s OLD 旧', null);"
        "insert into t values(2, null, null, 'OLD');"
        "insert into t values(3, 'no', '汉字', '');");
    const auto before = fx.dump();
    auto& form = fx.openWith("OLD", QStringLiteral("新'的"));
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    QVERIFY(fx.dump() ==
            expectedAfterReplace(before, {{"t", {{"v", 1}, {"w", 2}, {"x", 3}}}}, "OLD", "新'的"));
    QCOMPARE(testdb::query(fx.path, "select length(v) from t where id=1")[0][0],
             std::to_string(9000 + 3 + 500 + 3));
  }

  void refusedStatementIsShownRunnable() {
    FindFixture fx(std::string(kShop) +
                   "create trigger guard before update on links begin "
                   "select raise(abort, 'links are frozen'); end;");
    auto& form = fx.openWith("old.example.com", "new.example.org");
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    const QString statement = QStringLiteral(
        "Update [links] set [url]=Replace([url],'old.example.com','new.example.org'),[note]="
        "Replace(cast([note] as varchar(8000)),'old.example.com','new.example.org') where [url] "
        "like '%old.example.com%' or cast([note] as varchar(8000)) like '%old.example.com%'");
    // Why it failed, then the statement as it stands.
    QCOMPARE(form.Text2->toPlainText(),
             "-- links: HY000 [SQLite]links are frozen (19)\n" + statement + "\n\n");
    QVERIFY(!form.FrameSQL->isHidden());
    // The totals say that one table was not replaced.
    QCOMPARE(fx.ui.boxes.value(1).prompt,
             totals(5, 5, 3, 3) + QStringLiteral("\r\n其中 1 个表替换失败，详见SQL窗口。"));
    QCOMPARE(fx.ui.boxes.value(1).style, 48);
    QCOMPARE(testdb::query(fx.path, "select count(*) from links where url like '%new%'")[0][0],
             std::string("0"));
    // The other tables were replaced all the same.
    QCOMPARE(testdb::query(fx.path, "select count(*) from pages where body like '%new%'")[0][0],
             std::string("1"));
    // Run by hand once the obstacle is gone, the statement completes the job.
    testdb::exec(fx.path, "drop trigger guard; " + statement.toStdString() + ";");
    QCOMPARE(fx.countContaining("links", {"url", "note"}, "old.example.com"), 0ll);
    QCOMPARE(testdb::query(fx.path, "select note from links where rowid=1")[0][0],
             std::string("new.example.org new.example.org"));
  }

  void lockedDatabaseFailsInTimeAndTheRunGoesOn() {
    FindFixture fx(
        "create table alpha(v text); insert into alpha values('old one');"
        "create table beta(v text); insert into beta values('old two');");
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(fx.path.c_str(), &other), SQLITE_OK);
    auto& form = fx.openWith("old", "new");
    bool locked = false;
    bool released = false;
    QElapsedTimer timer;
    qint64 failedAfter = -1;
    fx.ui.onYield = [&](int) {
      // Lock once the first table's count is done; release after it failed.
      if (!locked && form.FindRsCount == 1) {
        QCOMPARE(sqlite3_exec(other, "begin immediate; insert into beta values('x');", nullptr,
                              nullptr, nullptr),
                 SQLITE_OK);
        locked = true;
        timer.start();
      }
      if (locked && !released && !form.noRunSQL.isEmpty()) {
        failedAfter = timer.elapsed();
        sqlite3_exec(other, "rollback;", nullptr, nullptr, nullptr);
        released = true;
      }
    };
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    sqlite3_close(other);
    QVERIFY(released);
    // The replace reads the rows for its journal in the same transaction
    // as its update: the write lock is then asked for once, and SQLite gives
    // up after its busy time-out (half the statement time-out) instead of
    // the statement time-out itself.
    QVERIFY2(failedAfter >= 4500 && failedAfter < 14000,
             QByteArray::number(failedAfter) + form.noRunSQL.toUtf8());
    const QString failed = form.Text2->toPlainText();
    QVERIFY2(failed.startsWith(QStringLiteral("-- alpha: HYT00 ")) ||
                 failed.startsWith(QStringLiteral("-- alpha: HY000 [SQLite]database is locked")),
             qPrintable(failed));
    QVERIFY2(failed.endsWith(QStringLiteral(
                 "\nUpdate [alpha] set [v]=Replace(cast([v] as varchar(8000)),'old','new') "
                 "where cast([v] as varchar(8000)) like '%old%'\n\n")),
             qPrintable(failed));
    QCOMPARE(testdb::query(fx.path, "select v from alpha")[0][0], std::string("old one"));
    QCOMPARE(testdb::query(fx.path, "select group_concat(v) from beta")[0][0],
             std::string("new two"));
  }

  void stopAfterTheFirstTable() {
    FindFixture fx(
        "create table t1(v text); insert into t1 values('a old');"
        "create table t2(v text); insert into t2 values('b old');"
        "create table t3(v text); insert into t3 values('c old');");
    auto& form = fx.openWith("old", "new");
    int shrinkPanels = 0;
    fx.ui.onYield = [&](int) {
      if (form.Frame5->isVisible() &&
          form.Label3->text() == QStringLiteral("清空SQL日志并压缩数据库"))
        ++shrinkPanels;
      if (form.Frame3->title().startsWith(QStringLiteral("处理进程: t1")) &&
          form.Command6->isVisible())
        QTest::mouseClick(form.Command6, Qt::LeftButton);
    };
    QStringList saved;
    fx.settings->onSaved = [&](const QString&, const QString& key, const QString&) {
      saved << key;
    };
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(form.TabCount, 3);
    QCOMPARE(form.ProB->value(), 2);  // jumps to its maximum, N - 1
    QCOMPARE(form.ProB->maximum(), 2);
    QCOMPARE(saved.size(), 6);
    QCOMPARE(fx.ui.boxes.value(1).prompt, totals(3, 1, 1, 1, true));
    QCOMPARE(shrinkPanels, 2);
    QCOMPARE(testdb::query(fx.path, "select v from t1")[0][0], std::string("a new"));
    QCOMPARE(testdb::query(fx.path, "select v from t2")[0][0], std::string("b old"));
    // The next run is not stopped.
    fx.ui.onYield = nullptr;
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(fx.ui.boxes.value(3).prompt, totals(3, 3, 2, 2));
  }

  void answeringNoChangesNothing() {
    FindFixture fx{std::string(kShop)};
    const auto before = fx.dump();
    auto& form = fx.openWith("old.example.com", "x");
    form.List5->addItem("stale");
    form.framefind->show();
    fx.ui.expectBox(vbNo);
    form.Command5_Click();
    QCOMPARE(fx.ui.boxes.size(), 1);
    QVERIFY(fx.dump() == before);
    QVERIFY(form.framefind->isHidden());  // cleared and hidden before the question
    QCOMPARE(form.List5->count(), 0);
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(form.conn->State(), int(trellick::db::adStateOpen));
    // The connection left open serves a double-click.
    form.List1->findItems("links", Qt::MatchExactly).first()->setSelected(true);
    fx.ui.expectBox();
    form.List1_DblClick();
    QCOMPARE(fx.ui.boxes.value(1).prompt, QStringLiteral("数据表 links 批量替换完成."));
    QCOMPARE(fx.countContaining("links", {"url", "note"}, "old.example.com"), 0ll);
  }

  void resultModeWalksTheFoundTables() {
    FindFixture fx{std::string(kShop)};
    auto& form = fx.openWith("old.example.com", "new");
    form.OptB->setChecked(true);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, QStringLiteral("查询结果中没有包含相关字符的表可替换。"));
    QCOMPARE(fx.ui.boxes[0].style, 0);
    QVERIFY(!form.framefind->isHidden());

    form.OptA->setChecked(true);
    fx.ui.expectBox();
    form.cmdFind_Click();  // lists pages, links, the long name
    QCOMPARE(form.List5->count(), 3);
    delete form.List5->takeItem(0);  // the operator keeps links and the long name only
    form.OptB->setChecked(true);
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(fx.ui.boxes.value(3).prompt, totals(2, 3, 2, 2));
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：2"));
    QCOMPARE(fx.countContaining("links", {"url", "note"}, "old.example.com"), 0ll);
    QCOMPARE(fx.countContaining("pages", {"title", "body"}, "old.example.com"), 1ll);
  }

  void emptySearchTextWarns() {
    FindFixture fx{std::string(kShop)};
    auto& form = fx.openWith("");
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, QStringLiteral("查找内容不能为空！"));
    QCOMPARE(fx.ui.boxes[0].style, 48);
    QVERIFY(!QApplication::overrideCursor());
  }

  void doubleClickReplacesOneTable() {
    FindFixture fx(std::string(kShop) +
                   "create table frozen(v text); insert into frozen "
                   "values('old.example.com'); create trigger f before "
                   "update on frozen begin select raise(abort, 'no'); end;");
    auto& form = fx.openWith("old.example.com", "new.example.org");
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // Nothing selected.
    fx.ui.expectBox();
    form.List1_DblClick();
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("没有表可以替换"));
    QCOMPARE(fx.ui.boxes.value(0).style, 48);

    // After a finished find the connection is closed: the double-click
    // connects first, and long names are processed too.
    fx.ui.expectBox();
    form.cmdFind_Click();
    QVERIFY(!form.conn.present());
    fx.ui.expectBox();
    clickItem(form.List5, "a_table_whose_name_is_long", true);
    QCOMPARE(fx.ui.boxes.value(2).prompt,
             QStringLiteral("数据表 a_table_whose_name_is_long 批量替换完成."));
    QCOMPARE(fx.ui.boxes.value(2).style, 64);
    QCOMPARE(testdb::query(fx.path, "select v from a_table_whose_name_is_long")[0][0],
             std::string("new.example.org"));

    // A refused update is reported as a failure, with the statement shown.
    form.List1->clearSelection();
    fx.ui.expectBox();
    clickItem(form.List1, "frozen", true);
    QCOMPARE(fx.ui.boxes.size(), 4);
    QVERIFY2(fx.ui.boxes[3].prompt.startsWith(QStringLiteral("数据表 frozen 替换未完成：")),
             qPrintable(fx.ui.boxes[3].prompt));
    QVERIFY(fx.ui.boxes[3].prompt.contains(QStringLiteral("Update [frozen] set")));
    QCOMPARE(fx.ui.boxes[3].style, 16);
    QVERIFY(!form.FrameSQL->isHidden());
    QVERIFY(form.Text2->toPlainText().startsWith(QStringLiteral("-- frozen: ")));
    QVERIFY(form.Text2->toPlainText().contains(QStringLiteral("\nUpdate [frozen] set")));
    QCOMPARE(testdb::query(fx.path, "select v from frozen")[0][0], std::string("old.example.com"));
  }

  void otherCommandsWaitForTheReplace() {
    FindFixture fx{std::string(kShop)};
    auto& form = fx.openWith("old.example.com", "new");
    bool clicked = false;
    fx.ui.onYield = [&](int) {
      if (!clicked && form.Command6->isVisible()) {
        clicked = true;
        QTest::mouseClick(form.cmdFind, Qt::LeftButton);
        QTest::mouseClick(form.cmdSQLlog, Qt::LeftButton);
        QTest::mouseClick(form.Command5, Qt::LeftButton);
        form.List1->item(0)->setSelected(true);
        QTest::mouseDClick(form.List1->viewport(), Qt::LeftButton, {},
                           form.List1->visualItemRect(form.List1->item(0)).center());
        QTest::mouseClick(form.List1->viewport(), Qt::LeftButton, {},
                          form.List1->visualItemRect(form.List1->item(1)).center());
        QTest::mouseClick(form.Command2, Qt::LeftButton);
      }
    };
    form.List2->addItem("marker");
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QVERIFY(clicked);
    QCOMPARE(fx.ui.boxes.size(), 2);
    QCOMPARE(fx.ui.boxes[1].prompt, totals(5, 5, 3, 3));
    QCOMPARE(form.List2->count(), 1);  // neither the column list nor the row replace ran
    QCOMPARE(form.List2->item(0)->text(), QStringLiteral("marker"));
  }

  // A SQLite file that cannot be written: its checkpoints go through, its
  // vacuum does not, and the box says the work was not done, with the
  // reason, instead of claiming it was.
  void logCommandOnAReadOnlySqliteFileSaysItFailed() {
    FindFixture fx(
        "create table big(v text);"
        "with recursive n(x) as (select 1 union all select x+1 from n where x < 2000) "
        "insert into big select hex(randomblob(100)) from n;"
        "delete from big where rowid > 10;");
    QFile file(QString::fromStdString(fx.path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    QCOMPARE(::chmod(fx.path.c_str(), 0444), 0);
    QCOMPARE(::chmod(fx.dir.path().toLocal8Bit().constData(), 0755), 0);
    auto& form = fx.openWith("x");
    fx.ui.expectBox();
    {
      // Root writes whatever the permission bits say: the file system sees
      // an ordinary user while the window connects and compacts.
      const int previous = ::geteuid() == 0 ? ::setfsuid(65534) : -1;
      const int fd = ::open(fx.path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
      form.cmdSQLlog_Click();
      if (previous >= 0) ::setfsuid(static_cast<uid_t>(previous));
      QVERIFY2(fd < 0, "the file must not be writable during the run");
    }
    QCOMPARE(fx.ui.boxes.size(), 1);
    QVERIFY2(fx.ui.boxes[0].prompt.startsWith(QStringLiteral("清除日志并压缩数据库未能完成：")),
             qPrintable(fx.ui.boxes[0].prompt));
    QVERIFY2(fx.ui.boxes[0].prompt.contains(QStringLiteral("readonly")),
             qPrintable(fx.ui.boxes[0].prompt));
    QCOMPARE(fx.ui.boxes[0].style, 48);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == bytes);
  }
};

QTEST_MAIN(TestReplace)
#include "test_replace.moc"
