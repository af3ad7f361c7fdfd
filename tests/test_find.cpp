// The engine and the find command through the real window, on real SQLite
// files; counts and data are checked by reading the files directly.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "find_fixture.h"

using namespace trellick::app;

namespace {

const char* kArticle =
    "create table Article(Id int, Title varchar(100), Body text);"
    "insert into Article values(1, 'foo one', 'body');"
    "insert into Article values(2, 'two', 'has foo inside');"
    "insert into Article values(3, 'three', null);";

}  // namespace

class TestFind : public QObject {
  Q_OBJECT

 private slots:
  void workedExampleThroughTheEngine() {
    FindFixture fx(std::string(kArticle) +
                   "create trigger keep before update on Article begin "
                   "select raise(abort, 'kept'); end;");
    auto& form = fx.openWith("foo", "bar");
    QVERIFY(form.LinkConn());
    form.RunSearch("Article", 0);
    QCOMPARE(form.Text1->toPlainText(),
             QStringLiteral("select count(*) from Article where [Title] like '%foo%' or "
                            "cast([Body] as varchar(8000)) like '%foo%'"));
    QCOMPARE(form.FindRsCount, 2);
    QCOMPARE(form.FieldCount, 2);
    QCOMPARE(items(form.List5), QStringList{"Article"});
    QCOMPARE(form.LabFind->text(), QStringLiteral("表：1 记录：2"));
    QCOMPARE(form.Frame3->title(), QStringLiteral("处理进程: Article -> Body"));
    QCOMPARE(form.ProA->value(), 3);
    QVERIFY(!form.framefind->isHidden());
    QVERIFY(form.noRunSQL.isEmpty());
    // The trigger refuses the update: why, then the statement, runnable.
    form.RunSearch("Article", -1);
    QCOMPARE(form.noRunSQL,
             QStringLiteral("-- Article: HY000 [SQLite]kept (19)\r\n"
                            "Update [Article] set [Title]=Replace([Title],'foo','bar'),[Body]="
                            "Replace(cast([Body] as varchar(8000)),'foo','bar') where [Title] "
                            "like '%foo%' or cast([Body] as varchar(8000)) like "
                            "'%foo%'\r\n\r\n"));
    QCOMPARE(testdb::query(fx.path, "select Title from Article where Id=1")[0][0],
             std::string("foo one"));
    // updateYN other than -1 only counts.
    form.noRunSQL.clear();
    form.RunSearch("Article", 1);
    QVERIFY(form.noRunSQL.isEmpty());
    QCOMPARE(items(form.List5), (QStringList{"Article", "Article", "Article"}));
  }

  void sizeTestAndSpacesOnly() {
    FindFixture fx(
        "create table s(id int, short varchar(3), other nvarchar(50), n int);"
        "insert into s values(1, 'abc', 'xabcdx', 1);"
        "insert into s values(2, 'zzz', null, 2);"
        "insert into s values(3, null, null, 3);");
    auto& form = fx.openWith("abc");
    QVERIFY(form.LinkConn());
    form.RunSearch("s", 0);
    QCOMPARE(form.FieldCount, 2);
    QCOMPARE(form.FindRsCount, 1);
    form.txt1->setText("abcd");
    form.FindRsCount = 0;
    form.RunSearch("s", 0);
    // SQLite keeps no length a type declares: varchar(3) is searched for
    // four characters too.
    QCOMPARE(form.FieldCount, 4);
    QCOMPARE(form.Text1->toPlainText(),
             QStringLiteral("select count(*) from s where [short] like '%abcd%' or [other] like "
                            "'%abcd%'"));
    // Spaces only are searched as typed: three spaces fit varchar(3), and
    // no value holds them.
    form.txt1->setText("   ");
    form.FindRsCount = 0;
    form.RunSearch("s", 0);
    QCOMPARE(form.Text1->toPlainText(),
             QStringLiteral("select count(*) from s where [short] like '%   %' or [other] like "
                            "'%   %'"));
    QCOMPARE(form.FindRsCount, 0);
  }

  void emptyTablesAndTablesWithoutText() {
    FindFixture fx(
        "create table e(a text);"
        "create table nums(id int, q real); insert into nums values(1, 2.5);");
    auto& form = fx.openWith("x", "y");
    QVERIFY(form.LinkConn());
    form.Frame3->setTitle("before");
    form.ProA->setRange(0, 50);
    form.ProA->setValue(7);
    const QString text1 = form.Text1->toPlainText();
    form.RunSearch("e", -1);
    QCOMPARE(form.Frame3->title(), QStringLiteral("before"));
    QCOMPARE(form.ProA->value(), 7);
    QCOMPARE(form.FieldCount, 0);
    QCOMPARE(form.List5->count(), 0);
    QCOMPARE(form.LabFind->text(), QStringLiteral("表：0  记录：0"));
    QVERIFY(form.framefind->isHidden());
    QVERIFY(form.noRunSQL.isEmpty());
    form.RunSearch("nums", -1);
    QCOMPARE(form.Text1->toPlainText(), text1);
    QCOMPARE(form.ProA->maximum(), 2);
    QCOMPARE(form.ProA->value(), 2);
    QCOMPARE(form.Frame3->title(), QStringLiteral("处理进程: nums -> q"));
    QCOMPARE(form.FieldCount, 0);
    QVERIFY(form.noRunSQL.isEmpty());
    QVERIFY(fx.ui.boxes.isEmpty());
  }

  void optBCountsWithoutListing() {
    FindFixture fx{std::string(kArticle)};
    auto& form = fx.openWith("foo");
    form.OptB->setChecked(true);
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(form.List5->count(), 0);
    QCOMPARE(form.FindRsCount, 2);
    QVERIFY(!form.framefind->isHidden());
    QCOMPARE(form.LabFind->text(), QStringLiteral("表：0 记录：2"));
    // The report tells what this run found, not the untouched result list.
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(1, 2));
  }

  void twoTablesAndTheFinalMessages() {
    FindFixture fx(
        "create table a(t varchar(20));"
        "insert into a values('x1'),('x2'),('x3'),('no');"
        "create table a_table_whose_name_is_long(t nvarchar(20), u text);"
        "insert into a_table_whose_name_is_long values('x','x'),('x',null),(null,'ax'),"
        "('x','b'),('bx','');");
    auto& form = fx.openWith("x");
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, found(2, 8));
    QCOMPARE(fx.ui.boxes[0].style, 0);
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("Trellick"));
    QCOMPARE(form.LabFind->text(), QStringLiteral("表：2 记录：8"));
    // A name of 20 characters or more is searched like any other.
    QCOMPARE(items(form.List5), (QStringList{"a", "a_table_whose_name_is_long"}));
    QCOMPARE(form.TabCount, 2);
    QCOMPARE(form.FieldCount, 3);
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：2"));
    QCOMPARE(form.ProB->value(), 2);
    QCOMPARE(form.Frame3->title(), QStringLiteral("处理进程"));
    QVERIFY(form.Command6->isHidden());
    QVERIFY(!form.conn.present());  // closed and released
    QVERIFY(!QApplication::overrideCursor());

    form.txt1->setText("nowhere");
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(1).prompt, QStringLiteral("在所有表中没有找到相关字符"));
    QVERIFY(form.List5->count() == 0);
  }

  void emptySearchTextWarnsAndKeepsTheConnection() {
    FindFixture fx{std::string(kArticle)};
    auto& form = fx.openWith("");
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.List5->addItem("old");
    form.FindRsCount = 9;
    QStringList saved;
    fx.settings->onSaved = [&](const QString&, const QString& key, const QString&) {
      saved << key;
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, QStringLiteral("查找内容不能为空！"));
    QCOMPARE(fx.ui.boxes[0].style, 48);
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("Trellick"));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.txt1));
    QCOMPARE(form.List5->count(), 0);
    QCOMPARE(form.FindRsCount, 0);
    QCOMPARE(form.LabFind->text(), QString());
    QVERIFY(form.Command6->isHidden());
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(form.conn->State(), int(trellick::db::adStateOpen));
    QVERIFY(saved.isEmpty());
    // Spaces only is not empty: the run goes ahead and searches them.
    form.txt1->setText("  ");
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(1).prompt, QStringLiteral("在所有表中没有找到相关字符"));
  }

  void settingsAreSavedInOrderAsTyped() {
    FindFixture fx{std::string(kArticle)};
    auto& form = fx.openWith(" foo ", QStringLiteral(" 新 "));
    form.txtUsername->setText(" tester ");
    form.txtPassword->setText(" p;w ");
    QList<QPair<QString, QString>> saved;
    fx.settings->onSaved = [&](const QString& section, const QString& key, const QString& v) {
      QCOMPARE(section, QStringLiteral("MYDATA"));
      saved.append({key, v});
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    const QList<QPair<QString, QString>> expected{
        {"txtServerName", "sqlite"}, {"txtUsername", " tester "},
        {"txtPassword", " p;w "},    {"txtDatabaseName", QString::fromStdString(fx.path)},
        {"txt1", " foo "},           {"txt2", QStringLiteral(" 新 ")}};
    QCOMPARE(saved, expected);
    QCOMPARE(fx.settings->GetSetting("MYDATA", "txt2"), QStringLiteral(" 新 "));
  }

  void stopDuringTableK() {
    std::string sql;
    for (int t = 0; t < 5; ++t)
      sql += "create table t" + std::to_string(t) + "(a text); insert into t" + std::to_string(t) +
             " values('hit'),('miss');";
    FindFixture fx(sql);
    auto& form = fx.openWith("hit");
    bool pressed = false;
    fx.ui.onYield = [&](int) {
      if (!pressed && form.Frame3->title().startsWith(QStringLiteral("处理进程: t2 ->"))) {
        pressed = true;
        QTest::mouseClick(form.Command6, Qt::LeftButton);
        QVERIFY(form.Command6->isHidden());
      }
    };
    QStringList saved;
    fx.settings->onSaved = [&](const QString&, const QString& key, const QString&) {
      saved << key;
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QVERIFY(pressed);
    QCOMPARE(items(form.List5), (QStringList{"t0", "t1", "t2"}));  // t2 finished, then stop
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：2"));     // not updated for t2
    QCOMPARE(form.TabCount, 5);
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(3, 3, true));
    QCOMPARE(saved.size(), 6);
    QVERIFY(!form.conn.present());
    QVERIFY(form.uStop);

    // The next run starts afresh and walks everything.
    fx.ui.onYield = nullptr;
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(1).prompt, found(5, 5));
    QVERIFY(!form.uStop);

    // Stopped before anything was found.
    form.txt1->setText("nothing here");
    fx.ui.onYield = [&](int) {
      if (form.Command6->isVisible()) QTest::mouseClick(form.Command6, Qt::LeftButton);
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(2).prompt,
             QStringLiteral("用户中止，在已经检索的表中没有找到相关字符"));
  }

  void otherCommandsWaitForTheRun() {
    FindFixture fx(std::string(kArticle) +
                   "create table more(a text); insert into more "
                   "values('foo');");
    auto& form = fx.openWith("foo");
    int clicks = 0;
    fx.ui.onYield = [&](int) {
      if (clicks++ == 0) {
        QTest::mouseClick(form.cmdFind, Qt::LeftButton);
        QTest::mouseClick(form.Command5, Qt::LeftButton);
        QTest::mouseClick(form.cmdSQLlog, Qt::LeftButton);
      }
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QVERIFY(clicks > 0);
    QCOMPARE(fx.ui.boxes.size(), 1);
    QCOMPARE(fx.ui.boxes[0].prompt, found(2, 3));
    QVERIFY(form.noRunSQL.isEmpty());
  }

  void closingTheWindowDuringARunEndsTheProgram() {
    FindFixture fx{std::string(kArticle)};
    auto& form = fx.openWith("foo");
    fx.ui.onYield = [&](int) {
      if (fx.ui.endCalls == 0) form.close();
    };
    fx.ui.failOnUnexpected = false;
    form.cmdFind_Click();
    QCOMPARE(fx.ui.endCalls, 1);
  }

  void failuresAreNamedNotSkipped() {
    FindFixture fx{std::string(kArticle)};
    auto& form = fx.openWith("foo", "bar");
    QVERIFY(form.LinkConn());
    form.RunSearch("NoSuchTable", 0);
    QVERIFY2(form.noRunSQL.startsWith(QStringLiteral("-- NoSuchTable: HY000 ")),
             qPrintable(form.noRunSQL));
    QVERIFY(form.noRunSQL.endsWith(QStringLiteral("\r\n\r\n")));
    QCOMPARE(form.noRunSQL.count(QStringLiteral("\r\n")), 2);  // one comment line
    // Nothing carries over from a table whose count was 0.
    form.noRunSQL.clear();
    form.txt1->setText("absent");
    form.RunSearch("Article", -1);
    QVERIFY(!form.upSQL.isEmpty());
    form.RunSearch("NoSuchTable", -1);
    QVERIFY2(form.noRunSQL.startsWith(QStringLiteral("-- NoSuchTable: ")),
             qPrintable(form.noRunSQL));
    QVERIFY(!form.noRunSQL.contains(QStringLiteral("Update")));
    // On a connection that is not open.
    form.conn->Close();
    form.noRunSQL.clear();
    form.RunSearch("Article", -1);
    QVERIFY(form.noRunSQL.startsWith(QStringLiteral("-- Article: 3709 ")));
  }

  void decidedFaultsWithDataThatWouldExposeThem() {
    const std::string big = std::string(20000, 'y') + "尾foo" + std::string(100, 'z');
    FindFixture fx(
        "create table q(v varchar(50));"
        "insert into q values('it''s here'), ('its'), ('it''s it''s'), ('{fn ucase(''x'')}?');"
        "create table pct(v varchar(20));"
        "insert into pct values('100%'), ('1000'), ('100% and 100%'), ('x_y'), ('xay');"
        "create table \"order details\"(\"a]b\" varchar(20), c text);"
        "insert into \"order details\" values('旧域名/a', 'x'), ('b', '旧域名旧域名'), ('c', "
        "null);"
        "create table big(t text);"
        "insert into big values('" +
        big +
        "');"
        "create table many(id integer primary key, v varchar(20));"
        "with recursive n(x) as (select 1 union all select x+1 from n where x < 40000) "
        "insert into many(v) select 'mark' || x from n;"
        "insert into many(v) values('other');"
        "create table aaaaaaaaaaaaaaaaaaaaaaaaa(v text); insert into aaaaaaaaaaaaaaaaaaaaaaaaa "
        "values('long name it''s 100% foo');"
        "create table cases(v text); insert into cases values('FOO'), ('Foo'), ('foo');");
    auto& form = fx.openWith("it's");
    QVERIFY(form.LinkConn());
    auto countOf = [&](const QString& table, const QString& f) {
      form.txt1->setText(f);
      form.FindRsCount = 0;
      form.RunSearch(table, 0);
      return form.FindRsCount;
    };
    QCOMPARE(countOf("q", "it's"), fx.countContaining("q", {"v"}, "it's"));
    QCOMPARE(countOf("q", "{fn ucase('x')}?"), 1ll);  // no ODBC escapes, no markers
    QCOMPARE(countOf("pct", "100%"), 2ll);
    QCOMPARE(countOf("pct", "x_y"), 1ll);
    QCOMPARE(countOf("order details", QStringLiteral("旧域名")), 2ll);
    QCOMPARE(countOf("big", "尾foo"), 1ll);
    QCOMPARE(countOf("many", "mark"), 40000ll);
    QCOMPARE(countOf("aaaaaaaaaaaaaaaaaaaaaaaaa", "100%"), 1ll);
    QCOMPARE(countOf("cases", "foo"), 1ll);  // as the replace will see it
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));

    // Replace mode: only the occurrences change.
    const auto before = fx.dump();
    auto replace = [&](const QString& table, const QString& f, const QString& r) {
      form.txt1->setText(f);
      form.txt2->setText(r);
      form.RunSearch(table, -1);
    };
    replace("q", "it's", "it''s");
    replace("q", "{fn ucase('x')}?", "{d '2020-01-01'}");
    replace("pct", "100%", "50%");
    replace("order details", QStringLiteral("旧域名"), QStringLiteral("新域名"));
    replace("big", "尾foo", "bar");
    replace("many", "mark", "m");
    replace("cases", "foo", "bar");
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    auto expected = expectedAfterReplace(before, {{"q", {{"v", 0}}}}, "it's", "it''s");
    expected =
        expectedAfterReplace(expected, {{"q", {{"v", 0}}}}, "{fn ucase('x')}?", "{d '2020-01-01'}");
    expected = expectedAfterReplace(expected, {{"pct", {{"v", 0}}}}, "100%", "50%");
    expected = expectedAfterReplace(expected, {{"order details", {{"a]b", 0}, {"c", 1}}}}, "旧域名",
                                    "新域名");
    expected = expectedAfterReplace(expected, {{"big", {{"t", 0}}}}, "尾foo", "bar");
    expected = expectedAfterReplace(expected, {{"many", {{"v", 1}}}}, "mark", "m");
    expected = expectedAfterReplace(expected, {{"cases", {{"v", 0}}}}, "foo", "bar");
    const auto after = fx.dump();
    QVERIFY(after == expected);
    QCOMPARE(testdb::query(fx.path, "select length(t) from big")[0][0], std::string("20103"));
    QCOMPARE(testdb::query(fx.path, "select v from pct where rowid=3")[0][0],
             std::string("50% and 50%"));
    QCOMPARE(testdb::query(fx.path, "select group_concat(v) from cases")[0][0],
             std::string("FOO,Foo,bar"));
  }

  void generatedDatabaseGivesTrueTotals() {
    // Many tables of mixed shapes; the expected totals come from instr().
    std::string sql;
    std::vector<std::pair<std::string, std::vector<std::string>>> tables;
    for (int t = 0; t < 12; ++t) {
      const std::string name = t % 4 == 0 ? "表 " + std::to_string(t) : "tab" + std::to_string(t);
      sql += "create table \"" + name +
             "\"(id integer, a varchar(40), b nvarchar(8), c text, "
             "d ntext, n int);";
      for (int r = 0; r < 30 + t * 7; ++r) {
        auto val = [&](int salt) -> std::string {
          switch ((r * 7 + t * 3 + salt) % 6) {
            case 0:
              return "'http://old.example.com/" + std::to_string(r) + "'";
            case 1:
              return "null";
            case 2:
              return "'OLD.EXAMPLE.COM'";
            case 3:
              return "'old.example.co'";
            case 4:
              return "'<b>old.example.com</b> old.example.com'";
            default:
              return "'其他 text'";
          }
        };
        sql += "insert into \"" + name + "\" values(" + std::to_string(r) + ", " + val(0) + ", " +
               val(1) + ", " + val(2) + ", " + val(3) + ", " + std::to_string(r) + ");";
      }
      // b is nvarchar(8), which SQLite does not hold to eight characters.
      tables.push_back({name, {"a", "b", "c", "d"}});
    }
    sql += "create table empty(a text); create table nums(n int);";
    FindFixture fx(sql);
    const std::string f = "old.example.com";
    long long records = 0;
    int hitTables = 0;
    for (const auto& [name, columns] : tables) {
      const long long n = fx.countContaining(name, columns, f);
      records += n;
      hitTables += n > 0 ? 1 : 0;
    }
    QVERIFY(records > 100);
    auto& form = fx.openWith(QString::fromStdString(f), "new.example.org");
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(hitTables, records));
    QCOMPARE(form.LabFind->text(), QStringLiteral("表：%1 记录：%2").arg(hitTables).arg(records));

    // The engine in replace mode, table by table, then the whole dump.
    const auto before = fx.dump();
    QVERIFY(form.LinkConn());
    for (const auto& [name, columns] : tables) form.RunSearch(QString::fromStdString(name), -1);
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    std::map<std::string, std::map<std::string, int>> indexes;
    for (const auto& [name, columns] : tables)
      indexes[name] = {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}};
    QVERIFY(fx.dump() == expectedAfterReplace(before, indexes, f, "new.example.org"));
    for (const auto& [name, columns] : tables) QCOMPARE(fx.countContaining(name, columns, f), 0ll);
  }
};

QTEST_MAIN(TestFind)
#include "test_find.moc"
