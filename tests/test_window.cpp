// The window as built: every control's geometry, caption, visibility,
// overlay order, colours, fonts and tab order, and the shell's handlers.
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "app/clicklabel.h"
#include "window_fixture.h"

using namespace trellick::app;

namespace {

QString captionOf(QWidget* w) {
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText();
  return QString();
}

QRect inTwips(QWidget* w) {
  const QRect g = w->geometry();
  return QRect(g.x() * 15, g.y() * 15, g.width() * 15, g.height() * 15);
}

// Position of w among its parent's children: later ones are in front.
int stackIndex(QWidget* w) { return w->parentWidget()->children().indexOf(w); }

}  // namespace

class TestWindow : public QObject {
  Q_OBJECT

 private slots:
  void controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("shown");
    auto row = [](const char* name, const char* kind, const char* parent, int l, int t, int w,
                  int h, const QString& caption, bool shown = true) {
      QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                          << QString::fromLatin1(parent) << QRect(l, t, w, h) << caption << shown;
    };
    row("Frame1", "QGroupBox", "Form1", 120, 120, 6855, 1215, QStringLiteral("数据库连接"));
    row("txtServerName", "QLineEdit", "Frame1", 1320, 240, 2175, 285, "");
    row("txtDatabaseName", "QLineEdit", "Frame1", 1320, 720, 2175, 285, "");
    row("txtUsername", "QLineEdit", "Frame1", 4440, 240, 2175, 285, "");
    row("txtPassword", "QLineEdit", "Frame1", 4440, 720, 2175, 285, "");
    row("lblServerName", "QLabel", "Frame1", 240, 360, 810, 180, QStringLiteral("服务器IP:"));
    row("lblDatabaseName", "QLabel", "Frame1", 240, 720, 990, 180, QStringLiteral("数据库名称:"));
    row("lblUsername", "QLabel", "Frame1", 3720, 360, 630, 180, QStringLiteral("用户名:"));
    row("lblPassword", "QLabel", "Frame1", 3720, 840, 630, 180, QStringLiteral("密  码:"));
    row("Frame2", "QGroupBox", "Form1", 120, 1440, 6855, 1935, QStringLiteral("查找替换"));
    row("txt1", "QLineEdit", "Frame2", 1320, 360, 5295, 375, "");
    row("txt2", "QLineEdit", "Frame2", 1320, 960, 5295, 375, "");
    row("OptA", "QRadioButton", "Frame2", 1320, 1560, 1215, 255, QStringLiteral("所有表"));
    row("OptB", "QRadioButton", "Frame2", 3240, 1560, 2175, 255, QStringLiteral("查询结果中的表"));
    row("Frame3", "QGroupBox", "Form1", 120, 3480, 6855, 975, QStringLiteral("处理进程"));
    row("Frame5", "QFrame", "Frame3", 120, 240, 6615, 615, "", false);
    row("Label3", "QLabel", "Frame5", 2040, 120, 2655, 495,
        QStringLiteral("正在连接数据库,请稍等..."));
    row("ProA", "QProgressBar", "Frame3", 1080, 240, 5535, 255, "");
    row("ProB", "QProgressBar", "Frame3", 1080, 600, 5535, 255, "");
    row("Frame4", "QGroupBox", "Form1", 7080, 120, 2655, 4335, QStringLiteral("数据表"));
    row("List1", "QListWidget", "Frame4", 120, 240, 2415, 4020, "");
    row("framefind", "QGroupBox", "Form1", 7080, 120, 2655, 4335, QStringLiteral("查找结果："),
        false);
    row("List5", "QListWidget", "framefind", 120, 240, 2415, 3660, "");
    row("LabCloseFind", "trellick::app::ClickLabel", "framefind", 2400, 0, 255, 255,
        QStringLiteral("×"));
    row("LabFind", "QLabel", "framefind", 120, 4020, 2415, 255, QStringLiteral("表：0  记录：0"));
    row("FrameHelp", "QGroupBox", "Form1", 120, 120, 6855, 4335, QStringLiteral("帮助信息"), false);
    row("Label4", "QLabel", "FrameHelp", 840, 480, 4455, 615,
        QStringLiteral("说明: 程序将替换的目标字段为:char、varchar、text和nchar、nvarchar、ntext "
                       "其中如有替换ntext字段将转换为nvarchar(8000)处理。"));
    row("Label8", "QLabel", "FrameHelp", 840, 1200, 4455, 615,
        QStringLiteral("程序在进行替换操作时将自动对数据库日志进行清理并压缩。您也可以直接按“清除日"
                       "志并压缩库”按钮进行单独的操作。"));
    row("Label5", "QLabel", "FrameHelp", 840, 2040, 4455, 495,
        QStringLiteral("注意: 操作前请做好数据库备份！如发生超时现象，可能是数据量过大或网速慢。"));
    row("mywebsite", "trellick::app::ClickLabel", "FrameHelp", 1440, 3720, 3375, 255,
        QStringLiteral("访问：trellick.example 下载最新版！"));
    row("FrameSQL", "QGroupBox", "Form1", 120, 120, 6855, 4335, "SQL", false);
    row("Label6", "QLabel", "FrameSQL", 120, 240, 6615, 255,
        QStringLiteral(
            "以下是未能正常执行替换数据的SQL语句，您可以复制到SQL查询分析器中手动执行。"));
    row("Text2", "QPlainTextEdit", "FrameSQL", 120, 480, 6615, 3735, "Text2");
    row("LabCloseSQL", "trellick::app::ClickLabel", "FrameSQL", 6600, 0, 255, 255,
        QStringLiteral("×"));
    row("cmdHelp", "QPushButton", "Form1", 120, 4560, 1215, 495, QStringLiteral("帮 助(&H)"));
    row("cmdSQLlog", "QPushButton", "Form1", 1440, 4560, 2055, 495,
        QStringLiteral("清除日志并压缩库(&C)"));
    row("cmdFind", "QPushButton", "Form1", 5640, 4560, 1335, 495, QStringLiteral("查 找(&F)"));
    row("Command6", "QPushButton", "Form1", 7080, 4560, 1335, 495, QStringLiteral("停 止(&S)"),
        false);
    row("Command5", "QPushButton", "Form1", 7080, 4560, 1335, 495,
        QStringLiteral("查找并替换(&R)"));
    row("Command4", "QPushButton", "Form1", 8520, 4560, 1215, 495, QStringLiteral("退 出(&Q)"));
    row("List2", "QListWidget", "Form1", 12120, 240, 1815, 4020, "");
    // Set as "SQL" CR LF; the text box keeps line breaks as "\n".
    row("Text1", "QPlainTextEdit", "Form1", 120, 5400, 9615, 1215, "SQL\n");
    row("Command2", "QPushButton", "Form1", 3840, 7440, 1815, 495,
        QStringLiteral("逐条处理当前表"));
    row("List3", "QListWidget", "Form1", 12120, 5040, 1815, 3480, "");
    row("List4", "QListWidget", "Form1", 6600, 7200, 3615, 240, "");
    row("Command3", "QPushButton", "Form1", 7680, 7440, 1215, 495, QStringLiteral("处理所有表"));
    row("Command1", "QPushButton", "Form1", 480, 7440, 1815, 495, QStringLiteral("连接数据库"),
        false);
  }
  void controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, parent);
    QFETCH(QRect, twips);
    QFETCH(QString, caption);
    QFETCH(bool, shown);
    WindowFixture fx;
    auto& form = fx.open();
    auto* w = form.findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
    QCOMPARE(w->parentWidget()->objectName(), parent);
    QCOMPARE(inTwips(w), twips);
    QCOMPARE(captionOf(w), caption);
    QCOMPARE(!w->isHidden(), shown);
  }

  void windowAndControlArrays() {
    WindowFixture fx;
    auto& form = fx.open();
    QCOMPARE(form.windowTitle(), QStringLiteral("Trellick V1.2"));
    QCOMPARE(form.width() * 15, 9870);
    QCOMPARE(form.height() * 15, 5175);
    QCOMPARE(form.Label1.members().size(), size_t(2));
    QCOMPARE(form.Label1(1)->text(), QStringLiteral("查找内容:"));
    QCOMPARE(inTwips(form.Label1(1)), QRect(240, 480, 975, 255));
    QCOMPARE(form.Label1(3)->text(), QStringLiteral("替 换 为:"));
    QCOMPARE(inTwips(form.Label1(3)), QRect(240, 960, 975, 255));
    QCOMPARE(form.Label2.members().size(), size_t(2));
    QCOMPARE(form.Label2(0)->text(), QStringLiteral("字段："));
    QCOMPARE(inTwips(form.Label2(0)), QRect(240, 240, 1215, 375));
    QCOMPARE(form.Label2(1)->text(), QStringLiteral("表："));
    QCOMPARE(inTwips(form.Label2(1)), QRect(240, 600, 1215, 255));
    // Both arrays go by their control name, members told apart by Index.
    QList<int> indexes;
    for (auto* l : form.findChildren<QLabel*>(QStringLiteral("Label2")))
      indexes << l->property("Index").toInt();
    std::sort(indexes.begin(), indexes.end());
    QCOMPARE(indexes, (QList<int>{0, 1}));
    QVERIFY(form.OptA->isChecked());
    QVERIFY(!form.OptB->isChecked());
    form.OptB->click();
    QVERIFY(!form.OptA->isChecked());  // one group
    QCOMPARE(form.txtPassword->echoMode(), QLineEdit::Password);
    QVERIFY(
        form.txtPassword->styleSheet().contains(QStringLiteral("lineedit-password-character: 42")));
    QVERIFY(qobject_cast<QPlainTextEdit*>(form.Text2)->verticalScrollBarPolicy() ==
            Qt::ScrollBarAlwaysOn);
    // Outside the client area: present, but out of view.
    for (QWidget* w : {static_cast<QWidget*>(form.List2), static_cast<QWidget*>(form.Text1),
                       static_cast<QWidget*>(form.Command2)})
      QVERIFY(!form.rect().contains(w->geometry()));
  }

  void overlayOrderColoursFontsTips() {
    WindowFixture fx;
    auto& form = fx.open();
    QVERIFY(stackIndex(form.framefind) > stackIndex(form.Frame4));
    QVERIFY(stackIndex(form.FrameHelp) > stackIndex(form.Frame1));
    QVERIFY(stackIndex(form.FrameHelp) > stackIndex(form.Frame3));
    QVERIFY(stackIndex(form.FrameSQL) > stackIndex(form.FrameHelp));
    QVERIFY(stackIndex(form.Command6) > stackIndex(form.Command5));
    QVERIFY(stackIndex(form.Frame5) > stackIndex(form.ProA));
    QVERIFY(stackIndex(form.Frame5) > stackIndex(form.ProB));

    const QColor blue(0, 0, 255);
    QCOMPARE(form.LabCloseFind->palette().color(QPalette::WindowText), blue);
    QCOMPARE(form.LabCloseSQL->palette().color(QPalette::WindowText), blue);
    QCOMPARE(form.mywebsite->palette().color(QPalette::WindowText), blue);
    QCOMPARE(form.Label5->palette().color(QPalette::WindowText), QColor(192, 0, 0));
    QCOMPARE(form.Label7->palette().color(QPalette::WindowText), QColor(128, 128, 128));
    QVERIFY(form.framefind->styleSheet().contains(QStringLiteral("#0000ff")));
    for (QLabel* l :
         {static_cast<QLabel*>(form.LabCloseFind), static_cast<QLabel*>(form.LabCloseSQL)}) {
      QCOMPARE(l->font().pointSizeF(), 10.5);
      QCOMPARE(l->font().families().value(0), QStringLiteral("宋体"));
    }
    QCOMPARE(form.mywebsite->font().pointSizeF(), 9.0);
    QVERIFY(form.mywebsite->font().underline());
    QCOMPARE(form.mywebsite->font().families().value(0), QStringLiteral("宋体"));
    QVERIFY(!form.Label7->text().isEmpty());

    QCOMPARE(form.List1->toolTip(), QStringLiteral("双击替换指定表"));
    QCOMPARE(form.List5->toolTip(), QStringLiteral("双击替换选中表"));
    QCOMPARE(form.LabCloseFind->toolTip(), QStringLiteral("关闭查询结果"));
    QCOMPARE(form.LabCloseSQL->toolTip(), QStringLiteral("关闭"));
  }

  void tabOrderAndFirstFocus() {
    WindowFixture fx;
    auto& form = fx.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.txtServerName));
    const QStringList expected{
        "txtServerName", "txtDatabaseName", "txtUsername", "txtPassword", "txt1",     "txt2",
        "List1",         "Command5",        "Command1",    "List2",       "Command2", "Command3",
        "Command4",      "List3",           "Command6",    "Text1",       "List4",    "cmdFind",
        "List5",         "cmdHelp",         "OptB",        "OptA",        "Text2",    "cmdSQLlog"};
    QStringList chain;
    QWidget* w = form.txtServerName;
    do {
      if (expected.contains(w->objectName()) && !chain.contains(w->objectName()))
        chain << w->objectName();
      w = w->nextInFocusChain();
    } while (w != form.txtServerName);
    QCOMPARE(chain, expected);
    // Tab skips hidden controls and controls in hidden frames.
    form.Command4->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("List3"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Text1"));  // not Command6
  }

  void acceleratorsPressTheirButtons() {
    WindowFixture fx;
    auto& form = fx.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // A mnemonic presses its button with a short animation.
    QTest::keyClick(form.windowHandle(), Qt::Key_H, Qt::AltModifier);
    QTRY_VERIFY(form.FrameHelp->isVisible());
    QTest::keyClick(form.windowHandle(), Qt::Key_Q, Qt::AltModifier);
    QTRY_COMPARE(fx.ui.endCalls, 1);
    const QStringList keys{
        form.cmdHelp->shortcut().toString(),  form.cmdSQLlog->shortcut().toString(),
        form.cmdFind->shortcut().toString(),  form.Command6->shortcut().toString(),
        form.Command5->shortcut().toString(), form.Command4->shortcut().toString()};
    QCOMPARE(keys, (QStringList{"Alt+H", "Alt+C", "Alt+F", "Alt+S", "Alt+R", "Alt+Q"}));
  }

  void firstStartAndRestoredSettings() {
    {
      WindowFixture fx;
      auto& form = fx.open();
      for (auto* e : {form.txtServerName, form.txtUsername, form.txtPassword, form.txtDatabaseName,
                      form.txt1, form.txt2})
        QCOMPARE(e->text(), QString());
      QVERIFY(form.List1->count() == 0);
      QCOMPARE(form.Frame4->title(), QStringLiteral("数据表"));
      QVERIFY(!form.uStop);
      QVERIFY(!form.conn.present());
      QStringList onScreen;
      for (auto* c : form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (c->isVisible() && form.rect().intersects(c->geometry())) onScreen << c->objectName();
      onScreen.sort();
      QCOMPARE(onScreen, (QStringList{"Command4", "Command5", "Frame1", "Frame2", "Frame3",
                                      "Frame4", "cmdFind", "cmdHelp", "cmdSQLlog"}));
    }
    WindowFixture fx;
    fx.save("txtServerName", " sqlite ");
    fx.save("txtUsername", "sa  ");
    fx.save("txtPassword", " p;w=\"x\" ");
    fx.save("txtDatabaseName", QStringLiteral("/tmp/演示.db"));
    fx.save("txt1", QStringLiteral("  旧域名 "));
    fx.save("txt2", "");
    auto& form = fx.open();
    QCOMPARE(form.txtServerName->text(), QStringLiteral(" sqlite "));
    QCOMPARE(form.txtUsername->text(), QStringLiteral("sa  "));
    QCOMPARE(form.txtPassword->text(), QStringLiteral(" p;w=\"x\" "));
    QCOMPARE(form.txtDatabaseName->text(), QStringLiteral("/tmp/演示.db"));
    QCOMPARE(form.txt1->text(), QStringLiteral("  旧域名 "));
    QCOMPARE(form.txt2->text(), QString());
  }

  void settingsFileIsOwnerOnly() {
    const mode_t old = ::umask(022);
    WindowFixture fx;
    fx.save("txtPassword", "secret");
    const QByteArray file = QFile::encodeName(fx.settings->fileName());
    QVERIFY(file.startsWith(QFile::encodeName(fx.configDir.path())));
    QVERIFY(file.endsWith("ZUZIDEREZ.ini"));
    struct stat st {};
    QCOMPARE(::stat(file.constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    // Widened by someone else, narrowed again by the next write.
    ::chmod(file.constData(), 0644);
    fx.save("txt1", "again");
    QCOMPARE(::stat(file.constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    QCOMPARE(fx.settings->GetSetting(kSettingsSection, "txtPassword"), QStringLiteral("secret"));
    QCOMPARE(fx.settings->GetSetting(kSettingsSection, "missing"), QString());
    QFile ini(QString::fromLocal8Bit(file));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("[MYDATA]"));
    ::umask(old);
  }

  void shellHandlers() {
    WindowFixture fx;
    auto& form = fx.open();
    form.Command6->show();
    QTest::mouseClick(form.Command6, Qt::LeftButton);
    QVERIFY(form.uStop);
    QVERIFY(form.Command6->isHidden());

    QTest::mouseClick(form.cmdHelp, Qt::LeftButton);
    QVERIFY(form.FrameHelp->isVisible());
    form.FrameSQL->show();
    QVERIFY(stackIndex(form.FrameSQL) > stackIndex(form.FrameHelp));
    QTest::mouseClick(form.LabCloseSQL, Qt::LeftButton);
    QVERIFY(form.FrameSQL->isHidden());
    QTest::mouseClick(form.cmdHelp, Qt::LeftButton);
    QVERIFY(form.FrameHelp->isHidden());

    form.framefind->show();
    QTest::mouseClick(form.LabCloseFind, Qt::LeftButton);
    QVERIFY(form.framefind->isHidden());

    form.FrameHelp->show();
    QTest::mouseClick(form.mywebsite, Qt::LeftButton);
    QCOMPARE(fx.ui.urls, QStringList{"http://trellick.example/?d=Trellick1.2"});

    QCOMPARE(fx.ui.endCalls, 0);
    QTest::mouseClick(form.Command4, Qt::LeftButton);
    QCOMPARE(fx.ui.endCalls, 1);
    // Closing while idle is an ordinary close.
    form.close();
    QCOMPARE(fx.ui.endCalls, 1);
    QVERIFY(fx.ui.boxes.isEmpty());
  }

  void pointerIsOneStateNotAStack() {
    WindowFixture fx;
    auto& form = fx.open();
    form.SetBusyPointer();
    form.SetBusyPointer();
    form.SetBusyPointer();
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    form.SetDefaultPointer();
    QVERIFY(!QApplication::overrideCursor());
  }

  void boxesGetTheApplicationTitle() {
    WindowFixture fx;
    auto& form = fx.open();
    fx.ui.expectBox(vbNo);
    QCOMPARE(form.MsgBox("q?", vbYesNo | vbQuestion), int(vbNo));
    fx.ui.failOnUnexpected = false;
    form.MsgBox("plain");
    QCOMPARE(fx.ui.boxes.size(), 2);
    QCOMPARE(fx.ui.boxes[0].title, QStringLiteral("Trellick"));
    QCOMPARE(fx.ui.boxes[0].style, 36);
    QCOMPARE(fx.ui.boxes[1].style, 0);
    QCOMPARE(fx.ui.unexpected.size(), 1);  // the second was not scripted
  }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
