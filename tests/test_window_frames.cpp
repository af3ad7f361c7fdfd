// What a run costs the operator's machine besides the database, without
// changing what the operator sees: the six fields reach the settings file
// in one write, each as typed, and not at all when the file holds them
// already; behind the final box the whole window shows what it holds,
// painted where it changed and nowhere else; the desktop's yields after a
// table's columns leave the events to a later yield, never past the
// table's end.
#include <sys/inotify.h>
#include <unistd.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QtTest>
#include <cerrno>
#include <functional>

#include "find_fixture.h"

using namespace trellick::app;

namespace {

// Counts the files moved into place under a folder, by name, as the kernel
// tells them: a settings write lands as its file renamed into place.
class MovesInto {
 public:
  explicit MovesInto(const QString& folder) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Moves out of the temporary names are watched too: the kernel merges
    // an event into the one queued just before it when they read alike.
    if (fd_ >= 0)
      inotify_add_watch(fd_, QFile::encodeName(folder).constData(), IN_MOVED_FROM | IN_MOVED_TO);
  }
  ~MovesInto() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int count(const QString& name) {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((e->mask & IN_MOVED_TO) && e->len > 0 && QFile::decodeName(e->name) == name) ++counted_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
    return counted_;
  }

 private:
  int fd_ = -1;
  int counted_ = 0;
};

struct PaintCount : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// The operator's own Ui, its boxes recorded and answered: the yields are
// taken as the desktop takes them.
class AnsweringDesktopUi : public DesktopUi {
 public:
  int MsgBox(QWidget*, const QString& prompt, int style, const QString&) override {
    prompts << prompt;
    return (style & 7) == vbYesNo ? vbYes : vbOK;
  }
  void ShellOpen(const QString&) override {}
  void End() override {}
  void DoEvents() override {
    DesktopUi::DoEvents();
    if (afterEvents) afterEvents();
  }
  QStringList prompts;
  // Runs after each yield's events were taken.
  std::function<void()> afterEvents;
};

// A click as the operator's: queued, taken with the window's events.
void queueClick(QWidget* button) {
  const QPointF at = QRectF(button->rect()).center();
  const QPointF global = button->mapToGlobal(at);
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier));
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                              Qt::NoModifier));
}

// Five tables of five text columns, one row of each holding "old".
std::string fiveByFive() {
  std::string sql;
  for (int t = 0; t < 5; ++t)
    sql += "create table t" + std::to_string(t) + "(a text, b text, c text, d text, e text);" +
           "insert into t" + std::to_string(t) + " values('old', 'x', 'y', 'z', 'w'), " +
           "('p', 'q', 'r', 's', 'u');";
  return sql;
}

}  // namespace

class TestWindowFrames : public QObject {
  Q_OBJECT

 private slots:
  void theSixFieldsAreWrittenOnceEachAsTyped() {
    FindFixture fx("create table a(v text); insert into a values('old');");
    auto& form = fx.openWith(QStringLiteral(" old "), QStringLiteral(" 新 "));
    form.txtUsername->setText(QStringLiteral(" tester "));
    form.txtPassword->setText(QStringLiteral(" p;w=1 "));
    QStringList order;
    fx.settings->onSaved = [&](const QString&, const QString& key, const QString&) {
      order << key;
    };
    const QString file = fx.settings->fileName();
    MovesInto moves(QFileInfo(file).absolutePath());
    QVERIFY(moves.ok());
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("在所有表中没有找到相关字符"));
    QCOMPARE(order, (QStringList{"txtServerName", "txtUsername", "txtPassword", "txtDatabaseName",
                                 "txt1", "txt2"}));
    QCOMPARE(moves.count(QFileInfo(file).fileName()), 1);
    // Read back by Qt's own reader, not through the store.
    QSettings read(file, QSettings::IniFormat);
    QCOMPARE(read.value("MYDATA/txtServerName").toString(), QStringLiteral("sqlite"));
    QCOMPARE(read.value("MYDATA/txtUsername").toString(), QStringLiteral(" tester "));
    QCOMPARE(read.value("MYDATA/txtPassword").toString(), QStringLiteral(" p;w=1 "));
    QCOMPARE(read.value("MYDATA/txtDatabaseName").toString(), QString::fromStdString(fx.path));
    QCOMPARE(read.value("MYDATA/txt1").toString(), QStringLiteral(" old "));
    QCOMPARE(read.value("MYDATA/txt2").toString(), QStringLiteral(" 新 "));
    QCOMPARE(QFile::permissions(file) & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());

    // The batch replace saves them the same way.
    form.txt1->setText(QStringLiteral("old"));
    order.clear();
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(order.size(), 6);
    QCOMPARE(moves.count(QFileInfo(file).fileName()), 2);
    QSettings again(file, QSettings::IniFormat);
    QCOMPARE(again.value("MYDATA/txt1").toString(), QStringLiteral("old"));

    // Nothing typed since: the file holds every value already and is left
    // as it is, while the store still tells each of the six as saved.
    const QDateTime written = QFileInfo(file).lastModified();
    order.clear();
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(order.size(), 6);
    QCOMPARE(moves.count(QFileInfo(file).fileName()), 2);
    QCOMPARE(QFileInfo(file).lastModified(), written);

    // One field back to a value it held before: all six written again.
    form.txtUsername->setText(QStringLiteral("tester"));
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(moves.count(QFileInfo(file).fileName()), 3);
    QSettings third(file, QSettings::IniFormat);
    QCOMPARE(third.value("MYDATA/txtUsername").toString(), QStringLiteral("tester"));
    QCOMPARE(third.value("MYDATA/txt1").toString(), QStringLiteral("old"));
    QCOMPARE(third.value("MYDATA/txtPassword").toString(), QStringLiteral(" p;w=1 "));
    QVERIFY2(fx.ui.unexpected.isEmpty(), qPrintable(fx.ui.describe()));
  }

  // A machine-wide settings file holding the same texts is no save of the
  // operator's: the operator's own file is written.
  void aMachineWideDefaultIsNotTheOperatorsSave() {
    QTemporaryDir machine;
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, machine.path());
    FindFixture fx("create table a(v text); insert into a values('old');");
    auto& form = fx.openWith(QStringLiteral("old"));
    {
      QSettings wide(QSettings::IniFormat, QSettings::SystemScope, kSettingsApp);
      const std::pair<const char*, QLineEdit*> fields[] = {
          {"txtServerName", form.txtServerName},
          {"txtUsername", form.txtUsername},
          {"txtPassword", form.txtPassword},
          {"txtDatabaseName", form.txtDatabaseName},
          {"txt1", form.txt1},
          {"txt2", form.txt2}};
      for (const auto& [key, box] : fields)
        wide.setValue(kSettingsSection + QLatin1Char('/') + QLatin1String(key), box->text());
      wide.sync();
      QCOMPARE(wide.status(), QSettings::NoError);
    }
    const QString file = fx.settings->fileName();
    QVERIFY(!QFile::exists(file));
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(1, 1));
    QVERIFY(QFile::exists(file));
    QSettings read(file, QSettings::IniFormat);
    QCOMPARE(read.value("MYDATA/txtDatabaseName").toString(), QString::fromStdString(fx.path));
    QCOMPARE(read.value("MYDATA/txt1").toString(), QStringLiteral("old"));
    QVERIFY2(fx.ui.unexpected.isEmpty(), qPrintable(fx.ui.describe()));
  }

  // Behind the box that ends a find, every pixel of the window is the
  // window as it stands; the exit button, unchanged since the walk's last
  // yield, is not painted again for it.
  void behindTheBoxTheWindowIsCurrentPaintedWhereItChanged() {
    std::string sql;
    for (int t = 0; t < 4; ++t)
      sql += "create table t" + std::to_string(t) + "(v text, w text); insert into t" +
             std::to_string(t) + " values('old', 'x'), ('y', 'z');";
    FindFixture fx(sql);
    auto& form = fx.openWith(QStringLiteral("old"));
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    PaintCount exitButton;
    form.Command4->installEventFilter(&exitButton);
    int atLastYield = -1;
    fx.ui.onYield = [&](int) { atLastYield = exitButton.paints; };
    QStringList differences;
    int forTheBox = -1;
    fx.ui.onBox = [&](const RecordedBox&) {
      forTheBox = exitButton.paints - atLastYield;
      const QImage onScreen = form.screen()->grabWindow(form.winId()).toImage();
      const QImage now = form.grab().toImage();
      if (onScreen.size() != now.size()) {
        differences << QStringLiteral("size");
        return;
      }
      for (QWidget* w : form.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&form) || w->parentWidget() != &form) continue;
        const QRect r(w->mapTo(&form, QPoint(0, 0)), w->size());
        if (onScreen.copy(r) != now.copy(r)) differences << w->objectName();
      }
      if (onScreen != now) differences << QStringLiteral("the window");
    };
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(4, 4));
    QCOMPARE(items(form.List5), (QStringList{"t0", "t1", "t2", "t3"}));
    QVERIFY(atLastYield >= 0);
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char(' '))));
    QCOMPARE(forTheBox, 0);
  }

  // The desktop's yields after a table's columns may leave the events to
  // the next yield, never past the table: a stop queued while the columns
  // go by, or just before the table ends, ends the walk after that table.
  void aStopQueuedDuringATableEndsTheWalkAfterIt() {
    FindFixture fx(fiveByFive());
    AnsweringDesktopUi ui;
    Form1 form(ui, *fx.settings);
    form.show();
    form.txtServerName->setText(QStringLiteral("sqlite"));
    form.txtUsername->setText(QStringLiteral("tester"));
    form.txtDatabaseName->setText(QString::fromStdString(fx.path));
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    // Queued at the first yield that takes events once t0 is behind (the
    // one before its stop test), with nothing found anywhere: t1's columns
    // and its end go by before the next stop test, whichever of their
    // yields take the events.
    form.txt1->setText(QStringLiteral("nothing here"));
    bool queued = false;
    QStringList captions;
    ui.afterEvents = [&] {
      captions << form.Frame3->title();
      if (!queued && form.Frame3->title().startsWith(QStringLiteral("处理进程: t")) &&
          form.ProB->value() == 0) {
        queued = true;
        queueClick(form.Command6);
      }
    };
    form.cmdFind_Click();
    QVERIFY(queued);
    QCOMPARE(ui.prompts.value(0), QStringLiteral("用户中止，在已经检索的表中没有找到相关字符"));
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：1"));
    for (const QString& caption : captions)
      QVERIFY2(!caption.contains(QStringLiteral(" t2 ")), qPrintable(caption));

    // Queued right after t2's records were counted: the yield that ends
    // the table takes it.
    form.txt1->setText(QStringLiteral("old"));
    queued = false;
    ui.afterEvents = [&] {
      if (!queued && items(form.List5).contains(QStringLiteral("t2"))) {
        queued = true;
        queueClick(form.Command6);
      }
    };
    form.cmdFind_Click();
    QVERIFY(queued);
    QCOMPARE(ui.prompts.value(1), found(3, 3, true));
    QCOMPARE(items(form.List5), (QStringList{"t0", "t1", "t2"}));
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：2"));

    // Unstopped, every table and column is walked and told.
    ui.afterEvents = nullptr;
    form.cmdFind_Click();
    QCOMPARE(ui.prompts.value(2), found(5, 5));
    QCOMPARE(form.FieldCount, 25);
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表：5"));
    QCOMPARE(form.ProA->value(), 5);
    QCOMPARE(form.ProB->value(), 5);
  }
};

QTEST_MAIN(TestWindowFrames)
#include "test_window_frames.moc"
