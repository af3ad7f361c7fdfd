// The column list and the record-wise replace of one table, through the
// real window on real SQLite files.
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include "find_fixture.h"

using namespace trellick::app;

namespace {

void select(QListWidget* list, const QString& text) {
  const auto found = list->findItems(text, Qt::MatchExactly);
  QVERIFY(!found.isEmpty());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(found.first()).center());
}

const char* kTables =
    "create table articles(id integer, title varchar(100), body text);"
    "insert into articles values(1, 'abcab', 'long'), (2, 'abcab', 'x');"
    "create table \"order details\"(qty int, remark nvarchar(20), note ntext, c char(4));"
    // Reading any row of this view fails; describing it does not.
    "create view boom as select id, abs(-9223372036854775807 - 1) as y from articles;"
    "create table noRows(id integer, t varchar(10));";

}  // namespace

class TestTable : public QObject {
  Q_OBJECT

 private slots:
  void columnListOfTheClickedTable() {
    FindFixture fx{std::string(kTables)};
    auto& form = fx.openWith("b");
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QVERIFY(form.LinkConn());
    select(form.List1, "articles");
    QCOMPARE(items(form.List2), (QStringList{"id_3", "title_200", "body_201"}));
    QCOMPARE(form.j, 3);
    QVERIFY(!form.rs.present());
    QCOMPARE(form.SQL, QStringLiteral("select * from articles"));
    // Another table replaces the whole list; a spaced name is listed too.
    select(form.List1, "order details");
    QCOMPARE(items(form.List2), (QStringList{"qty_3", "remark_202", "note_203", "c_129"}));
    QCOMPARE(form.SQL, QStringLiteral("select * from [order details]"));
    QVERIFY(fx.ui.boxes.isEmpty());
  }

  void columnListReadsNoRow() {
    FindFixture fx{std::string(kTables)};
    auto& form = fx.openWith("b");
    QVERIFY(form.LinkConn());
    form.LoadTable("boom");
    QCOMPARE(form.List2->count(), 2);  // an expression column has no declared type
    QCOMPARE(form.List2->item(0)->text(), QStringLiteral("id_3"));
    QVERIFY(form.List2->item(1)->text().startsWith(QStringLiteral("y_")));
    // And a missing table leaves the list empty, even after rs held a
    // record set of another table.
    form.rs->Open("select * from noRows", *form.conn, trellick::db::adOpenForwardOnly,
                  trellick::db::adLockReadOnly);
    QCOMPARE(form.rs->State(), int(trellick::db::adStateOpen));
    form.LoadTable("missing");
    QCOMPARE(form.List2->count(), 0);
    QVERIFY(fx.ui.boxes.isEmpty());
  }

  void columnListAfterARunIsEmpty() {
    FindFixture fx{std::string(kTables)};
    auto& form = fx.openWith("nothing to find");
    QVERIFY(QTest::qWaitForWindowActive(&form));
    fx.ui.expectBox();
    form.cmdFind_Click();
    QVERIFY(!form.conn.present());
    form.List2->addItem("stale");
    select(form.List1, "articles");
    QCOMPARE(form.List2->count(), 0);
    QCOMPARE(fx.ui.boxes.size(), 1);
  }

  void recordWiseReplaceOfTheFirstRow() {
    FindFixture fx(
        "create table t(n int, s varchar(20), l text);"
        "insert into t values(1, 'abcab', 'bbb'), (2, 'abcab', 'bbb');");
    auto& form = fx.openWith(" b ", "");
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QVERIFY(form.LinkConn());
    select(form.List1, "t");
    for (int k = 0; k < 5; ++k) fx.ui.expectBox();
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QCOMPARE(items(form.List2),
             (QStringList{"n_3", QStringLiteral("字段 n 跳过"), "s_200",
                          QStringLiteral("字段 s=aca"), "l_201", QStringLiteral("字段 l 跳过")}));
    QStringList prompts;
    for (const auto& b : fx.ui.boxes) {
      prompts << b.prompt;
      QCOMPARE(b.style, 0);
      QCOMPARE(b.title, QStringLiteral("Trellick"));
    }
    QCOMPARE(prompts, (QStringList{"3", "200", "ivalue=abcab;nvalue=aca", "ivalue=abcab;nvalue=aca",
                                   "201"}));
    QCOMPARE(testdb::query(fx.path, "select n, s, l from t order by n"),
             (std::vector<std::vector<std::string>>{{"1", "aca", "bbb"}, {"2", "abcab", "bbb"}}));
    QCOMPARE(form.rs->State(), int(trellick::db::adStateClosed));
    QVERIFY(form.rs.present());  // closed, not released
  }

  void removalRules_data() {
    QTest::addColumn<QString>("find");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("middle");
    QTest::newRow("exact case") << "B"
                                << ""
                                << "abc"
                                << "abc"
                                << "abc";
    QTest::newRow("empty search text") << ""
                                       << "x"
                                       << "xyx"
                                       << "y"
                                       << "xyx";
    QTest::newRow("both empty") << ""
                                << "" << QStringLiteral("不变") << QStringLiteral("不变")
                                << QStringLiteral("不变");
    QTest::newRow("both removed") << "ab"
                                  << "c"
                                  << "abcabd"
                                  << "d"
                                  << "cd";
  }
  void removalRules() {
    QFETCH(QString, find);
    QFETCH(QString, replacement);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(QString, middle);
    FindFixture fx("create table t(s nvarchar(20)); insert into t values('" + before.toStdString() +
                   "');");
    auto& form = fx.openWith(find, replacement);
    QVERIFY(form.LinkConn());
    for (int k = 0; k < 3; ++k) fx.ui.expectBox();
    form.UpdateTable("t");
    QCOMPARE(fx.ui.boxes.size(), 3);
    QCOMPARE(fx.ui.boxes[1].prompt, "ivalue=" + before + ";nvalue=" + middle);
    QCOMPARE(fx.ui.boxes[2].prompt, "ivalue=" + before + ";nvalue=" + after);
    QCOMPARE(QString::fromStdString(testdb::query(fx.path, "select s from t")[0][0]), after);
    QCOMPARE(items(form.List2), (QStringList{"s_202", QStringLiteral("字段 s=") + after}));
  }

  void nullEmptyAndNoRows() {
    FindFixture fx(
        "create table t(a varchar(10), b varchar(10), c int);"
        "insert into t values(null, '', 7);"
        "create table none(a varchar(10), b int);");
    auto& form = fx.openWith("x", "y");
    QVERIFY(form.LinkConn());
    for (int k = 0; k < 3; ++k) fx.ui.expectBox();
    form.UpdateTable("t");
    QCOMPARE(items(form.List2),
             (QStringList{"a_200", QStringLiteral("字段 a="), "b_200", QStringLiteral("字段 b="),
                          "c_3", QStringLiteral("字段 c 跳过")}));
    QCOMPARE(fx.ui.boxes.size(), 3);  // the type codes only
    QCOMPARE(testdb::query(fx.path, "select quote(a), quote(b), c from t")[0],
             (std::vector<std::string>{"NULL", "''", "7"}));
    for (int k = 0; k < 2; ++k) fx.ui.expectBox();
    form.UpdateTable("none");
    QCOMPARE(items(form.List2), (QStringList{"a_200", QStringLiteral("字段 a="), "b_3",
                                             QStringLiteral("字段 b 跳过")}));
    QCOMPARE(fx.ui.boxes.size(), 5);
    QCOMPARE(testdb::query(fx.path, "select count(*) from none")[0][0], std::string("0"));
  }

  void unopenableTableWritesNothing() {
    FindFixture fx(
        "create table t(s varchar(10)); insert into t values('abc');"
        "create table e(s varchar(10));");
    auto& form = fx.openWith("b", "");
    QVERIFY(form.LinkConn());
    form.RunSearch("e", 0);  // leaves rs open on another table
    form.List2->addItem("stale");
    form.UpdateTable("");
    QCOMPARE(form.List2->count(), 0);
    form.UpdateTable("missing");
    QCOMPARE(form.List2->count(), 0);
    QVERIFY(fx.ui.boxes.isEmpty());
    QCOMPARE(testdb::query(fx.path, "select s from t")[0][0], std::string("abc"));
    // With nothing selected the button opens nothing either.
    form.List1->clearSelection();
    form.Command2_Click();
    QVERIFY(fx.ui.boxes.isEmpty());
    // A spaced name now opens, bracketed.
    testdb::exec(fx.path,
                 "create table \"my t\"(s varchar(10)); insert into \"my t\" "
                 "values('abc');");
    for (int k = 0; k < 3; ++k) fx.ui.expectBox();
    form.UpdateTable("my t");
    QCOMPARE(testdb::query(fx.path, "select s from \"my t\"")[0][0], std::string("ac"));
  }
};

QTEST_MAIN(TestTable)
#include "test_table.moc"
