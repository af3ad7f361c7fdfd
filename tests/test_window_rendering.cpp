// What the operator sees, read back as pixels from the rendered widgets on
// a real SQLite file: the preview dialog draws each cell once and keeps
// both values in view, the table list draws names whole (underscores
// included), the window behind a box shows what the box reports; and what
// the window tells a newcomer about connecting, in Chinese throughout.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryFile>
#include <QTextBrowser>
#include <QThread>
#include <QtTest>

#include "app/clicklabel.h"
#include "app/field_edit.h"
#include "app/preview_dialog.h"
#include "app/translations.h"
#include "db/target.h"
#include "find_fixture.h"

using namespace trellick::app;

namespace {

// How much of a glyph's stroke a pixel holds: its darkness, where it is
// darker than the occurrence's yellow (and the rows measured are never
// selected), so only text counts.
int ink(QRgb p) {
  const int grey = qGray(p);
  return grey < 170 ? 255 - grey : 0;
}

int inkIn(const QImage& image, const QRect& rect) {
  int n = 0;
  const QRect r = rect.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) n += ink(image.pixel(x, y));
  return n;
}

const QColor kOccurrence(0xff, 0xd5, 0x4f);

// The text drawn once, black on white, the ranges on the occurrence's
// yellow, in `font`: the ink a single run of it leaves.
int inkOfOneRun(const QString& text, const QList<QPoint>& ranges, const QFont& font) {
  const QFontMetrics fm(font);
  QImage image(fm.horizontalAdvance(text) + 8, fm.height() + 8, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font);
  for (const QPoint& r : ranges)
    p.fillRect(QRect(4 + fm.horizontalAdvance(text.left(r.x())), 4,
                     fm.horizontalAdvance(text.mid(r.x(), r.y())), fm.height()),
               kOccurrence);
  p.setPen(Qt::black);
  p.drawText(QPoint(4, 4 + fm.ascent()), text);
  p.end();
  return inkIn(image, image.rect());
}

// Whether a pixel of the colour appears in the rectangle.
bool holdsColour(const QImage& image, const QRect& rect, const QColor& colour) {
  const QRect r = rect.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x)
      if (image.pixelColor(x, y) == colour) return true;
  return false;
}

QAction* action(QListWidget* list, const QString& name) {
  for (QAction* a : list->actions())
    if (a->objectName() == name) return a;
  return nullptr;
}

// Where the images the README shows are written, when asked for.
void keep(const QImage& image, const char* name) {
  const QByteArray dir = qgetenv("TRELLICK_SCREENSHOT_DIR");
  if (!dir.isEmpty()) image.save(QDir(QString::fromLocal8Bit(dir)).filePath(name), "PNG");
}

// A face every machine that builds the window has (fonts-noto-cjk), so the
// pixels measured do not depend on the desktop's choice.
QFont fixedFont() {
  QFont f(QStringLiteral("Noto Sans CJK SC"));
  f.setPixelSize(13);
  return f;
}

}  // namespace

class TestWindowRendering : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY2(QFontDatabase::families().contains(QStringLiteral("Noto Sans CJK SC")),
             "the fixed face of these tests is missing (scripts/install-deps.sh installs it)");
  }

  // The standard buttons in Chinese from Qt's own translations; English
  // where they cannot be found.
  void standardButtonsInChinese() {
    const auto yes = [] {
      QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("p"),
                      QMessageBox::Yes | QMessageBox::No);
      return box.button(QMessageBox::Yes)->text() + QLatin1Char('|') +
             box.button(QMessageBox::No)->text();
    };
    QCOMPARE(yes(), QStringLiteral("&Yes|&No"));
    QVERIFY(!InstallQtTranslations(QStringLiteral("/nonexistent")));
    QCOMPARE(yes(), QStringLiteral("&Yes|&No"));
    QVERIFY2(InstallQtTranslations(),
             "Qt's Chinese translations are missing "
             "(qt6-translations-l10n, scripts/install-deps.sh)");
    QCOMPARE(yes(), QStringLiteral("是(&Y)|否(&N)"));
    QMessageBox ok(QMessageBox::Information, QStringLiteral("t"), QStringLiteral("p"),
                   QMessageBox::Ok | QMessageBox::Close);
    QCOMPARE(ok.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(ok.button(QMessageBox::Close)->text(), QStringLiteral("关闭"));
  }

  // One drawing per cell, the occurrence on its highlight; a value with
  // thousands of occurrences does not push "替换后" out of view; the whole
  // values below, wrapped, following the keyboard.
  void previewDialogDrawsEachCellOnceAndKeepsBothValuesInView() {
    FindFixture fx(
        "create table pages(id integer primary key, url text, body text);"
        "insert into pages values(1, 'http://old.example.com/about', null);"
        "insert into pages values(2, 'see old.example.com', "
        "  replace(printf('%.3000c', 'x'), 'x', 'old.example.com '));"
        "insert into pages values(3, 'a_b old.example.com', 'nothing');");
    auto& form = fx.openWith(QStringLiteral("old.example.com"), QStringLiteral("new.example.org"));
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    form.List1->item(0)->setSelected(true);

    bool ran = false;
    fx.ui.onDialog = [&](QDialog& dialog) {
      ran = true;
      dialog.setFont(fixedFont());
      dialog.resize(900, 560);
      dialog.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dialog));
      auto* rows = dialog.findChild<QTableWidget*>(QStringLiteral("PreviewRows"));
      auto* summary = dialog.findChild<QLabel*>(QStringLiteral("PreviewSummary"));
      QVERIFY(rows && summary);
      QCOMPARE(summary->text(), QStringLiteral("共 3 条记录将被替换。"));
      QCOMPARE(rows->rowCount(), 4);  // 1 url, 2 url, 2 body, 3 url

      // No row selected: the cells are read against white.
      const int current = rows->currentRow();
      rows->clearSelection();
      rows->setCurrentIndex(QModelIndex());
      QCoreApplication::processEvents();
      const QImage shot = dialog.grab().toImage();
      const QFont font = rows->font();
      const QFontMetrics fm(font);
      for (int r : {0, 1, 3}) {
        for (int c : {2, 3}) {
          QRect cell = rows->visualRect(rows->model()->index(r, c));
          cell.translate(rows->viewport()->mapTo(&dialog, QPoint(0, 0)));
          const QString mark =
              c == 2 ? QStringLiteral("old.example.com") : QStringLiteral("new.example.org");
          const QString excerpt = rows->item(r, c)->text();
          QString text = excerpt;
          text.replace(QStringLiteral("[[") + mark + QStringLiteral("]]"), mark);
          const qsizetype at = text.indexOf(mark);
          QVERIFY(at >= 0);
          QVERIFY2(fm.horizontalAdvance(text) < cell.width() - 8, qPrintable(text));
          // One run of the excerpt's text: a second drawing of it (or of
          // the marked text) would about double the ink.
          const int drawn = inkIn(shot, cell);
          const int once = inkOfOneRun(text, {QPoint(int(at), int(mark.size()))}, font);
          QVERIFY2(drawn > once * 8 / 10 && drawn < once * 12 / 10,
                   qPrintable(QStringLiteral("row %1 column %2 \"%3\": ink %4, one run leaves %5")
                                  .arg(r)
                                  .arg(c)
                                  .arg(excerpt)
                                  .arg(drawn)
                                  .arg(once)));
          // The occurrence on its highlight where it stands in the text,
          // and nothing highlighted before it.
          const int x = cell.left() + fm.horizontalAdvance(text.left(at));
          QVERIFY2(
              holdsColour(shot,
                          QRect(x + 2, cell.top(), fm.horizontalAdvance(mark) - 4, cell.height()),
                          kOccurrence),
              qPrintable(excerpt));
          QVERIFY2(
              !holdsColour(shot, QRect(cell.left(), cell.top(), x - cell.left() - 2, cell.height()),
                           kOccurrence),
              qPrintable(excerpt));
        }
      }
      // The long value's cells are drawn in their columns, highlights and
      // all.
      for (int c : {2, 3}) {
        QRect cell = rows->visualRect(rows->model()->index(2, c));
        cell.translate(rows->viewport()->mapTo(&dialog, QPoint(0, 0)));
        QVERIFY(inkIn(shot, cell) > 1000);
        QVERIFY(holdsColour(shot, cell, kOccurrence));
      }
      // No widget lies over any cell.
      for (int r = 0; r < rows->rowCount(); ++r)
        for (int c = 0; c < 4; ++c) QVERIFY(!rows->cellWidget(r, c));

      // The two values share the width left by the key and the column,
      // both wholly in view, whatever the length of a value.
      const int viewport = rows->viewport()->width();
      QVERIFY2(std::abs(rows->columnWidth(2) - rows->columnWidth(3)) <= 1,
               qPrintable(
                   QStringLiteral("%1 vs %2").arg(rows->columnWidth(2)).arg(rows->columnWidth(3))));
      QVERIFY(rows->columnViewportPosition(3) + rows->columnWidth(3) <= viewport);
      QVERIFY(rows->columnWidth(3) >= viewport / 4);

      // The whole values of the current row below, wrapped (no sideways
      // scroll), scrollable; the keyboard moves through the rows and
      // reaches them.
      auto* before = dialog.findChild<QPlainTextEdit*>(QStringLiteral("PreviewBefore"));
      auto* after = dialog.findChild<QPlainTextEdit*>(QStringLiteral("PreviewAfter"));
      QVERIFY(before && after);
      QCOMPARE(current, 0);
      rows->setCurrentCell(0, 2);
      QCOMPARE(before->toPlainText(), QStringLiteral("http://old.example.com/about"));
      QCOMPARE(after->toPlainText(), QStringLiteral("http://new.example.org/about"));
      QTest::keyClick(rows, Qt::Key_Down);
      QTest::keyClick(rows, Qt::Key_Down);
      QCOMPARE(rows->currentRow(), 2);
      const QString body = QStringLiteral("old.example.com ").repeated(3000);
      QCOMPARE(before->toPlainText(), body);
      QCOMPARE(after->extraSelections().size(), 3000);
      QCOMPARE(before->lineWrapMode(), QPlainTextEdit::WidgetWidth);
      QCoreApplication::processEvents();
      QCOMPARE(before->horizontalScrollBar()->maximum(), 0);
      QVERIFY(before->verticalScrollBar()->maximum() > 0);
      QVERIFY(before->isReadOnly() && after->isReadOnly());
      QTest::keyClick(rows, Qt::Key_Up);
      QTest::keyClick(rows, Qt::Key_Up);
      QCOMPARE(rows->currentRow(), 0);
      QCOMPARE(before->toPlainText(), QStringLiteral("http://old.example.com/about"));
      rows->setFocus();
      QTest::keyClick(rows, Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), before);
      QTest::keyClick(before, Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), after);

      rows->setFocus();
      QTest::keyClick(rows, Qt::Key_Down);
      QCoreApplication::processEvents();
      keep(dialog.grab().toImage(), "preview.png");
    };
    action(form.List1, QStringLiteral("List1_Preview"))->trigger();
    QVERIFY(ran);
    QVERIFY(fx.ui.unexpected.isEmpty());
  }

  // The excerpt read back: only "[[mark]]" is an occurrence, and the ranges
  // are those of the text as drawn.
  void excerptMarksReadBack() {
    QList<QPoint> ranges;
    QCOMPARE(PreviewDialog::plainExcerpt(QStringLiteral("…x [[a.b]] y[[a.b]]…"),
                                         QStringLiteral("a.b"), &ranges),
             QStringLiteral("…x a.b ya.b…"));
    QCOMPARE(ranges, (QList<QPoint>{{3, 3}, {8, 3}}));
    ranges.clear();
    // The value's own brackets stay text.
    QCOMPARE(PreviewDialog::plainExcerpt(QStringLiteral("[[[[a.b]]]]\n[[c]]"),
                                         QStringLiteral("a.b"), &ranges),
             QStringLiteral("[[a.b]]\u21b5[[c]]"));
    QCOMPARE(ranges, (QList<QPoint>{{2, 3}}));
  }

  // Names whole in the window's own face, in the table list and the result
  // list: the underscore's stroke is drawn below the glyphs, inside the row.
  void tableListsDrawUnderscores() {
    FindFixture fx(
        "create table wp_options(v text); create table \"wp options\"(v text);"
        "create table x_____y(v text); create table \"x     y\"(v text);"
        "insert into wp_options values('old'); insert into \"wp options\" values('old');"
        "insert into x_____y values('old'); insert into \"x     y\" values('old');");
    auto& form = fx.openWith(QStringLiteral("old"));
    fx.ui.expectBox();
    form.cmdFind_Click();
    const QStringList names{"wp_options", "wp options", "x_____y", "x     y"};
    QCOMPARE(items(form.List1), names);
    QCOMPARE(items(form.List5), names);
    for (QListWidget* list : {form.List1, form.List5}) {
      list->clearSelection();
      list->setCurrentRow(-1);
      QCoreApplication::processEvents();
      const QImage shot = list->grab().toImage();
      if (list == form.List1) keep(list->parentWidget()->grab().toImage(), "table-list.png");
      const auto rowOf = [&](int k) {
        return list->visualItemRect(list->item(k))
            .translated(list->viewport()->mapTo(list, QPoint(0, 0)));
      };
      const QString where = list->objectName();
      // The underscore's ink, compared with the same name spaced.
      QVERIFY2(inkIn(shot, rowOf(0)) > inkIn(shot, rowOf(1)),
               qPrintable(QStringLiteral("%1: %2 vs %3")
                              .arg(where)
                              .arg(inkIn(shot, rowOf(0)))
                              .arg(inkIn(shot, rowOf(1)))));
      QVERIFY2(inkIn(shot, rowOf(2)) >= inkIn(shot, rowOf(3)) + 10, qPrintable(where));
      // Its pixel row: under the baseline, inside the item, a line as long
      // as the underscores.
      const QFontMetrics fm(list->font());
      const QRect row = rowOf(2);
      const int baseline = row.top() + (row.height() - fm.height()) / 2 + fm.ascent();
      const int x0 = row.left() + 3 + fm.horizontalAdvance(QStringLiteral("x"));
      const int width = fm.horizontalAdvance(QStringLiteral("_____"));
      bool stroke = false;
      for (int y = baseline; y <= row.bottom(); ++y) {
        int marked = 0;
        for (int x = x0 + 1; x < x0 + width - 1; ++x) marked += qGray(shot.pixel(x, y)) < 225;
        stroke = stroke || marked >= (width - 2) * 8 / 10;
      }
      QVERIFY2(stroke, qPrintable(QStringLiteral("%1: no underscore stroke between the "
                                                 "baseline %2 and the row's bottom %3")
                                      .arg(where)
                                      .arg(baseline)
                                      .arg(row.bottom())));
    }
  }

  // Behind every box the window shows what the box reports: the result
  // list's totals, the progress frame's caption, no connecting notice;
  // read from what was last painted to the screen, against the window as
  // it stands.
  void windowBehindABoxIsCurrent() {
    FindFixture fx(
        "create table a(v text); insert into a values('old'), ('old old');"
        "create table b(v text); insert into b values('x');"
        "create table c(v text); insert into c values('old');");
    auto& form = fx.openWith(QStringLiteral("old"), QStringLiteral("new"));
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QStringList stale;
    int boxes = 0;
    fx.ui.onBox = [&](const RecordedBox& box) {
      ++boxes;
      const QImage onScreen = form.screen()->grabWindow(form.winId()).toImage();
      const QImage now = form.grab().toImage();
      QCOMPARE(onScreen.size(), now.size());
      for (QWidget* w : std::initializer_list<QWidget*>{form.LabFind, form.List5, form.Frame3,
                                                        form.Frame5, form.Label2(1)}) {
        if (!w->isVisibleTo(&form)) continue;
        const QRect r(w->mapTo(&form, QPoint(0, 0)), w->size());
        if (onScreen.copy(r) != now.copy(r))
          stale << w->objectName() + QStringLiteral(" behind \"") + box.prompt +
                       QStringLiteral("\"");
      }
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(2, 3));
    // The undo's boxes: its confirmation and its result, after connecting.
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    action(form.List1, QStringLiteral("List1_Undo"))->trigger();
    QCOMPARE(boxes, 5);
    QVERIFY2(stale.isEmpty(), qPrintable(stale.join(QLatin1Char('\n'))));
    QVERIFY2(fx.ui.unexpected.isEmpty(), qPrintable(fx.ui.describe()));
  }

  // The batch replace's confirmation: the specified text, then one line
  // naming the texts and the database and, while the journal can be kept,
  // the undo.
  void replaceConfirmationNamesWhatAndWhere() {
    const QString specified = QStringLiteral(
        "您确定要开始批量替换数据吗?此操作将不可恢复."
        "\r\r您可以选择否，然后手动双击要处理的数据表。");
    FindFixture fx("create table a(v text); insert into a values('old');");
    auto& form = fx.openWith(QStringLiteral("old"), QStringLiteral("new"));
    fx.ui.expectBox(vbNo);
    form.Command5_Click();
    const QString path = QString::fromStdString(fx.path);
    QCOMPARE(fx.ui.boxes.value(0).prompt,
             specified + QStringLiteral("\r将把“old”替换为“new”，数据库：") + path +
                 QStringLiteral("（sqlite）。替换后可在数据表上右击“撤销上次替换...”恢复。"));
    QCOMPARE(fx.ui.boxes.value(0).style, vbYesNo | vbQuestion);
    QCOMPARE(fx.ui.boxes.value(0).title, QStringLiteral("注意:"));

    // Where the journal cannot be kept no undo is offered (and a replace
    // then writes nothing).
    FindFixture nowhere("create table a(v text); insert into a values('old');");
    QTemporaryFile notADirectory;
    QVERIFY(notADirectory.open());
    qputenv("XDG_DATA_HOME", (notADirectory.fileName() + QStringLiteral("/data")).toLocal8Bit());
    auto& second = nowhere.openWith(QStringLiteral("old"), QStringLiteral("new"));
    nowhere.ui.expectBox(vbNo);
    second.Command5_Click();
    QCOMPARE(nowhere.ui.boxes.value(0).prompt,
             specified + QStringLiteral("\r将把“old”替换为“new”，数据库：") +
                 QString::fromStdString(nowhere.path) + QStringLiteral("（sqlite）。"));
    QCOMPARE(testdb::query(nowhere.path, "select v from a")[0][0], std::string("old"));
  }

  // What a newcomer learns about connecting: the server field's forms (each
  // one the server field really takes), long fields cut in the middle with
  // the whole in the tip, the help frame's added paragraph beside the
  // specified ones.
  void connectingIsExplained() {
    WindowFixture fx;
    auto& form = fx.open();
    QVERIFY(!form.txtServerName->placeholderText().isEmpty());
    QVERIFY(!form.txtDatabaseName->placeholderText().isEmpty());
    const QString tip = form.txtServerName->toolTip();
    using trellick::db::TargetKind;
    const std::pair<const char*, const char*> listed[] = {
        {"主机,端口", "db.example,1433"},
        {"主机\\实例", "db.example\\SQLEXPRESS"},
        {"sqlite", "SQLite"},
        {"postgresql:主机[:端口]", "postgresql:db.example:5432"},
        {"mariadb:主机[:端口]", "mariadb:db.example"},
        {"mysql:主机[:端口]", "mysql:db.example:3306"},
        {"dsn:名称", "dsn:Shop"},
        {"postgresql:[::1]:5432", "postgresql:[::1]:5432"}};
    const TargetKind kinds[] = {TargetKind::SqlServer,  TargetKind::SqlServer, TargetKind::SQLite,
                                TargetKind::PostgreSQL, TargetKind::MariaDB,   TargetKind::MariaDB,
                                TargetKind::Dsn,        TargetKind::PostgreSQL};
    for (size_t k = 0; k < std::size(listed); ++k) {
      QVERIFY2(tip.contains(QString::fromUtf8(listed[k].first)), listed[k].first);
      const auto parts = trellick::db::parseServer(listed[k].second);
      QVERIFY2(parts.kind == kinds[k] && parts.problem.empty(), listed[k].second);
    }

    // Cut in the middle without the focus, whole with it; the tip says it all.
    const QString path =
        QStringLiteral("/srv/data/customers/2026/archive/a/rather/long/folder/name/shop.db");
    form.txtDatabaseName->setText(path);
    form.txt1->setFocus();
    auto* field = dynamic_cast<FieldEdit*>(form.txtDatabaseName);
    QVERIFY(field);
    const QString shown = field->shownText();
    QVERIFY2(shown.startsWith(QStringLiteral("/srv/")) &&
                 shown.endsWith(QStringLiteral("shop.db")) && shown.contains(QStringLiteral("…")),
             qPrintable(shown));
    QVERIFY(field->toolTip().startsWith(path));
    // What is drawn is that text: the field's pixels as the shortened text
    // drawn in its place, not the path's end scrolled into view.
    QCoreApplication::processEvents();
    const QImage drawn = field->grab().toImage();
    const int ink = inkIn(drawn, field->rect().adjusted(3, 3, -3, -3));
    const int once = inkOfOneRun(shown, {}, field->font());
    QVERIFY2(ink > once * 8 / 10 && ink < once * 12 / 10,
             qPrintable(QStringLiteral("ink %1, the shortened text once %2").arg(ink).arg(once)));
    field->setFocus();
    QCOMPARE(field->shownText(), path);
    for (QLineEdit* e : {form.txtServerName, form.txtUsername, form.txt1, form.txt2})
      QVERIFY2(dynamic_cast<FieldEdit*>(e), qPrintable(e->objectName()));
    // The password is never shown, in the box or in a tip.
    QVERIFY(!dynamic_cast<FieldEdit*>(form.txtPassword));
    form.txtPassword->setText(path);
    QVERIFY(form.txtPassword->toolTip().isEmpty());

    // The help frame's paragraph: the forms, preview and undo; clear of
    // every specified label, inside the frame, out of the tab order.
    const QString more = form.HelpMore->toPlainText();
    for (const char* word :
         {"sqlite", "postgresql:", "mariadb:", "dsn:", "预览替换...", "撤销上次替换..."})
      QVERIFY2(more.contains(QString::fromUtf8(word)), word);
    QCOMPARE(form.HelpMore->parentWidget(), form.FrameHelp);
    QVERIFY(form.FrameHelp->rect().contains(form.HelpMore->geometry()));
    for (QWidget* w : std::initializer_list<QWidget*>{form.Label4, form.Label8, form.Label5,
                                                      form.Label7, form.mywebsite})
      QVERIFY2(!w->geometry().intersects(form.HelpMore->geometry()), qPrintable(w->objectName()));
    QCOMPARE(form.HelpMore->focusPolicy(), Qt::NoFocus);
  }

  // During a run the screen follows the walk a frame at a time: with the
  // yields half a frame apart, no two yields in a row paint the progress
  // bar and no two in a row leave it unpainted; after each painted yield
  // the screen shows the progress frame and the result frame as they stand;
  // and a stop clicked during the run ends it after the table under way.
  void runPaintsOncePerFrameAndStopsWhenClicked() {
    std::string sql;
    for (int t = 0; t < 6; ++t)
      sql += "create table t" + std::to_string(t) + "(v text); insert into t" + std::to_string(t) +
             " values('old'), ('x');";
    FindFixture fx(sql);
    auto& form = fx.openWith(QStringLiteral("old"));
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    struct PaintCounter : QObject {
      int paints = 0;
      bool counting = true;
      bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && counting) ++paints;
        return false;
      }
    } counter;
    form.ProB->installEventFilter(&counter);
    QList<bool> painted;  // per yield of the walk
    QStringList stale;
    bool pressed = false;
    int paintsBefore = 0;
    fx.ui.onYield = [&](int) {
      if (!form.Frame3->title().startsWith(QStringLiteral("处理进程: "))) return;
      const bool paintedNow = counter.paints > paintsBefore;
      painted.append(paintedNow);
      if (paintedNow) {
        counter.counting = false;
        const QImage onScreen = form.screen()->grabWindow(form.winId()).toImage();
        const QImage now = form.grab().toImage();
        counter.counting = true;
        for (QWidget* w : std::initializer_list<QWidget*>{form.Frame3, form.framefind}) {
          const QRect r(w->mapTo(&form, QPoint(0, 0)), w->size());
          if (onScreen.copy(r) != now.copy(r))
            stale << w->objectName() + QStringLiteral(" at ") + form.Frame3->title();
        }
      }
      paintsBefore = counter.paints;
      if (!pressed && form.Frame3->title().startsWith(QStringLiteral("处理进程: t3 ->"))) {
        pressed = true;
        QTest::mouseClick(form.Command6, Qt::LeftButton);
      }
      QThread::msleep(Form1::kFrameMs / 2 + 10);
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QVERIFY(pressed);
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(4, 4, true));
    QCOMPARE(items(form.List5), (QStringList{"t0", "t1", "t2", "t3"}));
    QVERIFY2(painted.size() >= 8, qPrintable(QString::number(painted.size())));
    QString pattern;
    for (bool p : painted) pattern += p ? QLatin1Char('P') : QLatin1Char('.');
    QVERIFY2(!pattern.contains(QStringLiteral("PP")), qPrintable(pattern));
    QVERIFY2(!pattern.mid(1).contains(QStringLiteral("..")), qPrintable(pattern));
    QVERIFY2(stale.isEmpty(), qPrintable(stale.join(QLatin1Char('\n'))));
  }
};

QTEST_MAIN(TestWindowRendering)
#include "test_window_rendering.moc"
