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
#include <QTextBrowser>
#include <QtTest>

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
      if (list == form.List1) keep(shot, "table-list.png");
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
};

QTEST_MAIN(TestWindowRendering)
#include "test_window_rendering.moc"
