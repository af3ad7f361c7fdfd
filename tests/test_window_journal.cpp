// The table lists' context menus on a real SQLite file: a preview of the
// replace in its dialog, the replace of one table, and the undo of the last
// replace with its confirmation, judged by reading the file. A run made in
// the window is taken back from the command line and the other way round.
#include <QAction>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QtTest>
#include <filesystem>

#include "app/preview_dialog.h"
#include "cli_run.h"
#include "find_fixture.h"
#include "journal/journal.h"

using trellick::app::vbYes;

namespace {

QAction* action(QListWidget* list, const QString& name) {
  for (QAction* a : list->actions())
    if (a->objectName() == name) return a;
  return nullptr;
}

const char* const kLinkSetup =
    "create table t(id integer primary key, v varchar(200));"
    "insert into t values(1, 'see a.com'), (2, 'none'), (3, 'a.com and 汉😀');";

std::vector<std::vector<std::string>> rowsOf(const std::string& path) {
  return testdb::query(path, "select id, v from t order by id");
}

// The fixture's file, and a symbolic link to it in another directory.
struct LinkedFile {
  std::string real;
  std::string link;
  explicit LinkedFile(const FindFixture& fx, const testdb::Dir& elsewhere)
      : real(std::filesystem::canonical(fx.path).string()), link(elsewhere.file("link.db")) {
    std::filesystem::create_symlink(real, link);
  }
};

// Undoes the last run from the window's context menu, confirming it.
void undoInWindow(FindFixture& fx) {
  fx.ui.boxes.clear();
  fx.ui.expectBox(trellick::app::vbYes);
  fx.ui.expectBox();
  action(fx.form->List1, QStringLiteral("List1_Undo"))->trigger();
}

}  // namespace

class TestWindowJournal : public QObject {
  Q_OBJECT

 private slots:
  void previewReplaceAndUndoFromTheContextMenu() {
    FindFixture fx(
        "create table t(id integer primary key, v varchar(200), w text);"
        "insert into t values(1, 'see a.com', printf('%.200c', 'x') || 'a.com' || "
        "printf('%.200c', 'y'));"
        "insert into t values(2, 'none', null);"
        "insert into t values(3, 'a.com and 汉😀', 'a.com');");
    const auto before = testdb::query(fx.path, "select id, v, w from t order by id");
    auto& form = fx.openWith(QStringLiteral("a.com"), QStringLiteral("b.org"));
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    QStringList texts;
    for (QAction* a : form.List1->actions()) texts << a->text();
    QCOMPARE(texts, (QStringList{"预览替换...", "替换此表", "撤销上次替换..."}));
    QCOMPARE(form.List1->contextMenuPolicy(), Qt::ActionsContextMenu);
    form.List1->item(0)->setSelected(true);

    // The preview: every changed column of every row, before and after,
    // long values around the occurrence, which is highlighted.
    QStringList cells;
    QString summary;
    bool highlighted = false;
    fx.ui.onDialog = [&](QDialog& dialog) {
      auto* rows = dialog.findChild<QTableWidget*>(QStringLiteral("PreviewRows"));
      summary = dialog.findChild<QLabel*>(QStringLiteral("PreviewSummary"))->text();
      for (int r = 0; r < rows->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < 4; ++c) row << rows->item(r, c)->text();
        cells << row.join(QLatin1Char('|'));
        // Drawn once, by the cell itself, with the occurrence's range.
        const QVariantList marks =
            rows->item(r, 3)->data(trellick::app::PreviewDialog::kMarksRole).toList();
        highlighted = highlighted || (!rows->cellWidget(r, 3) && !marks.isEmpty());
      }
    };
    action(form.List1, QStringLiteral("List1_Preview"))->trigger();
    QCOMPARE(fx.ui.dialogTitles, QStringList{"预览替换 - t"});
    QCOMPARE(summary, QStringLiteral("共 2 条记录将被替换。"));
    const QString xs(30, QLatin1Char('x')), ys(30, QLatin1Char('y'));
    QCOMPARE(cells,
             (QStringList{"1|v|see [[a.com]]|see [[b.org]]",
                          "1|w|…" + xs + "[[a.com]]" + ys + "…|…" + xs + "[[b.org]]" + ys + "…",
                          "3|v|[[a.com]] and 汉😀|[[b.org]] and 汉😀", "3|w|[[a.com]]|[[b.org]]"}));
    QVERIFY(highlighted);
    // Nothing was written.
    QCOMPARE(testdb::query(fx.path, "select id, v, w from t order by id"), before);

    // 替换此表 does what the double-click does.
    fx.ui.expectBox();
    action(form.List1, QStringLiteral("List1_Replace"))->trigger();
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("数据表 t 批量替换完成."));
    QCOMPARE(testdb::query(fx.path, "select v from t where id = 1")[0][0],
             std::string("see b.org"));

    // Edited by hand before the undo: a conflict, left alone. The list of
    // runs is accepted as it opens, on the run just made.
    fx.ui.onDialog = nullptr;
    testdb::exec(fx.path, "update t set w = 'by hand' where id = 3;");
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    action(form.List5, QStringLiteral("List5_Undo"))->trigger();
    const QString confirm = fx.ui.boxes.value(1).prompt;
    QVERIFY2(confirm.startsWith(QStringLiteral("撤销第 1 次运行：把“a.com”替换为“b.org”？")),
             qPrintable(confirm));
    QVERIFY2(confirm.contains(QString::fromStdString(fx.path)), qPrintable(confirm));
    QCOMPARE(fx.ui.boxes.value(2).prompt,
             QStringLiteral(
                 "撤销完成，共恢复 1 条记录。\r\nt：恢复 1 条，1 条记录此后已被修改，未恢复"));
    QCOMPARE(fx.ui.boxes.value(2).style, 48);
    auto expected = before;
    expected[2] = {"3", "b.org and 汉😀", "by hand"};
    QCOMPARE(testdb::query(fx.path, "select id, v, w from t order by id"), expected);
    QVERIFY(fx.ui.unexpected.isEmpty());
  }

  // Replaced in the window through a symbolic link: the journal names the
  // file itself, the command line takes the run back through the real
  // path, and the window, still on the link, takes back that undo.
  void aRunMadeThroughALinkIsTheSameFileToTheCommandLine() {
    FindFixture fx(kLinkSetup);
    testdb::Dir elsewhere;
    const LinkedFile file(fx, elsewhere);
    const auto before = rowsOf(file.real);
    auto& form = fx.openWith(QStringLiteral("a.com"), QStringLiteral("b.org"));
    form.txtDatabaseName->setText(QString::fromStdString(file.link));
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    form.List1->item(0)->setSelected(true);
    fx.ui.expectBox();
    action(form.List1, QStringLiteral("List1_Replace"))->trigger();
    auto replaced = before;
    replaced[0][1] = "see b.org";
    replaced[2][1] = "b.org and 汉😀";
    QCOMPARE(rowsOf(file.real), replaced);

    const Run undone = cli(
        {"undo", "--yes", "--server", "sqlite", "--database", QString::fromStdString(file.real)});
    QVERIFY2(undone.exitCode == 0, qPrintable(undone.describe()));
    QCOMPARE(rowsOf(file.real), before);

    // The command line's undo is the last run; the window on the link
    // knows its database and takes it back in turn when it is chosen.
    fx.ui.onDialog = [](QDialog& dialog) {
      auto* runs = dialog.findChild<QTableWidget*>(QStringLiteral("UndoRuns"));
      for (int r = 0; r < runs->rowCount(); ++r)
        if (runs->item(r, 0)->text() == QStringLiteral("2")) runs->selectRow(r);
    };
    undoInWindow(fx);
    QCOMPARE(rowsOf(file.real), replaced);
    QVERIFY2(fx.ui.boxes.value(0).prompt.startsWith(
                 QStringLiteral("撤销第 2 次运行（撤销第 1 次运行）")),
             qPrintable(fx.ui.describe()));
    QCOMPARE(fx.ui.boxes.value(1).prompt,
             QStringLiteral("撤销完成，共恢复 2 条记录。\r\nt：恢复 2 条"));
    QVERIFY(fx.ui.unexpected.isEmpty());
    // Every run names the file itself.
    for (const QJsonObject& run : cli({"runs", "--json"}).lines())
      QCOMPARE(run["database"].toString(), QString::fromStdString(file.real));
  }

  // The undo list offers this database's runs that changed rows, newest
  // first, the newest one not undone selected; the run chosen is undone.
  void theUndoListOffersRunsThatChangedRowsAndUndoesTheChosenOne() {
    FindFixture fx(kLinkSetup);
    testdb::Dir elsewhere;
    const std::string other = elsewhere.file("other.db");
    testdb::exec(other, kLinkSetup);
    const auto original = rowsOf(fx.path);
    const QString path = QString::fromStdString(fx.path);
    auto replace = [&](const QString& file, const QString& find, const QString& by) {
      return cli({"replace", "--yes", "--server", "sqlite", "--database", file, "--find", find,
                  "--replace", by});
    };
    // 1 changes rows; 2 is refused by a trigger on every row; 3 is in
    // another database; 4 changes rows and 5 undoes it.
    const Run first = replace(path, QStringLiteral("a.com"), QStringLiteral("b.org"));
    QVERIFY2(first.exitCode == 0, qPrintable(first.describe()));
    const auto afterFirst = rowsOf(fx.path);
    testdb::exec(fx.path,
                 "create trigger no before update on t begin select raise(abort, 'no'); end;");
    QVERIFY(replace(path, QStringLiteral("b.org"), QStringLiteral("c.net")).exitCode != 0);
    testdb::exec(fx.path, "drop trigger no;");
    QCOMPARE(rowsOf(fx.path), afterFirst);
    QCOMPARE(replace(QString::fromStdString(other), QStringLiteral("a.com"), QStringLiteral("x"))
                 .exitCode,
             0);
    QCOMPARE(replace(path, QStringLiteral("none"), QStringLiteral("some")).exitCode, 0);
    const Run undone = cli({"undo", "4", "--yes"});
    QVERIFY2(undone.exitCode == 0, qPrintable(undone.describe()));
    QCOMPARE(rowsOf(fx.path), afterFirst);

    fx.openWith(QStringLiteral("a.com"), QStringLiteral("b.org"));
    QStringList listed;
    QString selected;
    fx.ui.onDialog = [&](QDialog& dialog) {
      auto* runs = dialog.findChild<QTableWidget*>(QStringLiteral("UndoRuns"));
      QVERIFY(runs);
      for (int r = 0; r < runs->rowCount(); ++r) {
        QStringList row;
        for (int c : {0, 2, 3, 4, 5}) row << runs->item(r, c)->text();
        listed << row.join(QLatin1Char('|'));
      }
      const auto rows = runs->selectionModel()->selectedRows();
      if (rows.size() == 1) selected = runs->item(rows.first().row(), 0)->text();
    };
    undoInWindow(fx);
    QCOMPARE(fx.ui.dialogTitles, QStringList{"撤销上次替换"});
    QCOMPARE(listed, (QStringList{"5|撤销第 4 次运行|1|1|未撤销",
                                  "4|把“none”替换为“some”|1|1|已由第 5 次运行撤销",
                                  "1|把“a.com”替换为“b.org”|1|2|未撤销"}));
    QCOMPARE(selected, QStringLiteral("1"));
    QVERIFY2(fx.ui.boxes.value(0).prompt.startsWith(
                 QStringLiteral("撤销第 1 次运行：把“a.com”替换为“b.org”？")),
             qPrintable(fx.ui.describe()));
    QCOMPARE(rowsOf(fx.path), original);
    QVERIFY(fx.ui.unexpected.isEmpty());

    // Chosen in the list, the undo of run 4 is taken back: run 4's rows
    // are replaced again.
    fx.ui.onDialog = [](QDialog& dialog) {
      auto* runs = dialog.findChild<QTableWidget*>(QStringLiteral("UndoRuns"));
      for (int r = 0; r < runs->rowCount(); ++r)
        if (runs->item(r, 0)->text() == QStringLiteral("5")) runs->selectRow(r);
    };
    undoInWindow(fx);
    auto expected = original;
    expected[1][1] = "some";
    QCOMPARE(rowsOf(fx.path), expected);
    QVERIFY(fx.ui.unexpected.isEmpty());
  }

  // Replaced on the command line through one name of the file, taken back
  // in the window connected through the other.
  void aRunMadeOnTheCommandLineIsUndoneInTheWindowThroughTheOtherName() {
    for (const bool cliOnLink : {false, true}) {
      FindFixture fx(kLinkSetup);
      testdb::Dir elsewhere;
      const LinkedFile file(fx, elsewhere);
      const auto before = rowsOf(file.real);
      const Run replaced = cli({"replace", "--yes", "--server", "sqlite", "--database",
                                QString::fromStdString(cliOnLink ? file.link : file.real), "--find",
                                "a.com", "--replace", "b.org"});
      QVERIFY2(replaced.exitCode == 0, qPrintable(replaced.describe()));
      QCOMPARE(rowsOf(file.real)[0][1], std::string("see b.org"));

      auto& form = fx.openWith(QStringLiteral("a.com"), QStringLiteral("b.org"));
      form.txtDatabaseName->setText(QString::fromStdString(cliOnLink ? file.real : file.link));
      undoInWindow(fx);
      QCOMPARE(rowsOf(file.real), before);
      QVERIFY2(
          fx.ui.boxes.value(1).prompt.startsWith(QStringLiteral("撤销完成，共恢复 2 条记录。")),
          qPrintable(fx.ui.describe()));
      QVERIFY(fx.ui.unexpected.isEmpty());
    }
  }

  // A table with a trigger of its own: the preview and the undo's result
  // say so. A table the server committed whose journal could not mark it
  // done (the journal's file refuses that write, as a full disk would) is
  // reported replaced with a note, is not among the failures, and the undo
  // still takes it back.
  void triggersAndAnIncompleteJournalAreTold() {
    FindFixture fx(
        "create table t(id integer primary key, v varchar(200));"
        "create table audit(what text);"
        "create trigger watch after update on t begin insert into audit values(old.v); end;"
        "insert into t values(1, 'see a.com'), (2, 'none');");
    const auto before = rowsOf(fx.path);
    const std::string journal = trellick::journal::Journal::defaultPath();
    { trellick::journal::Journal made(journal); }
    testdb::exec(journal,
                 "create trigger full_disk before update of state on tables when new.state = "
                 "'done' begin select raise(abort, 'database or disk is full'); end;");
    auto& form = fx.openWith(QStringLiteral("a.com"), QStringLiteral("b.org"));
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    const auto found = form.List1->findItems(QStringLiteral("t"), Qt::MatchExactly);
    QCOMPARE(found.size(), 1);
    found.first()->setSelected(true);

    QString summary;
    fx.ui.onDialog = [&](QDialog& dialog) {
      summary = dialog.findChild<QLabel*>(QStringLiteral("PreviewSummary"))->text();
    };
    action(form.List1, QStringLiteral("List1_Preview"))->trigger();
    QCOMPARE(summary,
             QStringLiteral("共 1 条记录将被替换。此表有触发器，触发器所做的修改不会被撤销。"));
    fx.ui.onDialog = nullptr;

    fx.ui.expectBox();
    action(form.List1, QStringLiteral("List1_Replace"))->trigger();
    QCOMPARE(fx.ui.boxes.value(0).prompt,
             QStringLiteral("数据表 t 批量替换完成.\r\n其中 1 个表已替换，但撤销日志未能标记完成"
                            "（replaced; journal incomplete），仍可撤销。"));
    QCOMPARE(fx.ui.boxes.value(0).style, 64);
    QVERIFY2(!form.Text2->toPlainText().contains(QStringLiteral("Update [t]")),
             qPrintable(form.Text2->toPlainText()));
    QCOMPARE(rowsOf(fx.path)[0][1], std::string("see b.org"));

    testdb::exec(journal, "drop trigger full_disk;");
    // The list of runs says the journal is incomplete.
    QString state;
    fx.ui.onDialog = [&](QDialog& dialog) {
      auto* runs = dialog.findChild<QTableWidget*>(QStringLiteral("UndoRuns"));
      if (runs && runs->rowCount() > 0) state = runs->item(0, 5)->text();
    };
    undoInWindow(fx);
    QCOMPARE(state, QStringLiteral("未撤销（日志不完整）"));
    QCOMPARE(rowsOf(fx.path), before);
    QCOMPARE(fx.ui.boxes.value(1).prompt,
             QStringLiteral("撤销完成，共恢复 1 条记录。\r\nt：恢复 1 "
                            "条（此表有触发器，触发器所做的修改未撤销）"));
    QCOMPARE(testdb::query(fx.path, "select what from audit order by rowid"),
             (std::vector<std::vector<std::string>>{{"see a.com"}, {"see b.org"}}));
    QVERIFY(fx.ui.unexpected.isEmpty());
  }
};

QTEST_MAIN(TestWindowJournal)
#include "test_window_journal.moc"
