#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

#include "app/clicklabel.h"
#include "app/text.h"
#include "db/tablelist.h"

namespace trellick::app {
QString TrimSpaces(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin) == QLatin1Char(' ')) ++begin;
  while (end > begin && text.at(end - 1) == QLatin1Char(' ')) --end;
  return text.mid(begin, end - begin);
}

Form1::Form1(Ui& ui, SettingsStore& settings, QWidget* parent)
    : QWidget(parent), ui_(ui), settings_(settings) {
  buildControls();
  connectSignals();
  Form_Load();
  txtServerName->setFocus();
}

Form1::~Form1() = default;

QString Form1::WebLink() {
  return QStringLiteral("http://") + kWebHost + QStringLiteral("/?d=Trellick1.2");
}

void Form1::connectSignals() {
  // The table lists' context menus: see a table's replace before it is
  // made, make it, and take back the last one.
  for (QListWidget* list : {List1, List5}) {
    list->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* preview = new QAction(QStringLiteral("预览替换..."), list);
    preview->setObjectName(list->objectName() + QStringLiteral("_Preview"));
    connect(preview, &QAction::triggered, this, [this, list] { PreviewReplace(list); });
    auto* replace = new QAction(QStringLiteral("替换此表"), list);
    replace->setObjectName(list->objectName() + QStringLiteral("_Replace"));
    connect(replace, &QAction::triggered, this, [this, list] { ReplaceOneTable(list); });
    auto* undo = new QAction(QStringLiteral("撤销上次替换..."), list);
    undo->setObjectName(list->objectName() + QStringLiteral("_Undo"));
    connect(undo, &QAction::triggered, this, [this] { UndoLastReplace(); });
    list->addActions({preview, replace, undo});
  }
  connect(Command4, &QPushButton::clicked, this, [this] { Command4_Click(); });
  connect(Command6, &QPushButton::clicked, this, [this] { Command6_Click(); });
  connect(cmdHelp, &QPushButton::clicked, this, [this] { cmdHelp_Click(); });
  connect(LabCloseFind, &ClickLabel::clicked, this, [this] { LabCloseFind_Click(); });
  connect(LabCloseSQL, &ClickLabel::clicked, this, [this] { LabCloseSQL_Click(); });
  connect(mywebsite, &ClickLabel::clicked, this, [this] { mywebsite_Click(); });
  connect(cmdFind, &QPushButton::clicked, this, [this] { cmdFind_Click(); });
  connect(cmdSQLlog, &QPushButton::clicked, this, [this] { cmdSQLlog_Click(); });
  connect(Command5, &QPushButton::clicked, this, [this] { Command5_Click(); });
  connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
  // The operator's change of selection; the program's own refills are
  // made with the list's signals blocked.
  connect(List1, &QListWidget::itemSelectionChanged, this, [this] { List1_Click(); });
  // A double-click anywhere on a list counts, as on its items.
  List1->viewport()->installEventFilter(this);
  List5->viewport()->installEventFilter(this);
}

// ---- Toolkit operations ----

int Form1::MsgBox(const QString& prompt, int style, const QString& title) {
  PaintNow();
  return ui_.MsgBox(this, prompt, style, title.isEmpty() ? AppTitle() : title);
}

void Form1::DoEvents(bool paint) {
  if (!runActive_) {
    ui_.DoEvents();
    return;
  }
  // Between frames the changes of the progress and result frames are not
  // painted; enabling them again queues one repaint of each.
  const bool frame = paint || !paintTimer_.isValid() || paintTimer_.elapsed() >= kFrameMs;
  if (frame) {
    Frame3->setUpdatesEnabled(true);
    framefind->setUpdatesEnabled(true);
    FlushText1();
    paintTimer_.restart();
  }
  // A frame is painted by the events taken now.
  if (columnYield_ && !frame)
    ui_.DoEventsSoon();
  else
    ui_.DoEvents();
  if (runActive_) {
    Frame3->setUpdatesEnabled(false);
    framefind->setUpdatesEnabled(false);
  }
}

void Form1::SetText1(const QString& text) {
  pendingText1_ = text;
  text1Pending_ = true;
  if (!runActive_) FlushText1();
}

void Form1::FlushText1() {
  if (!text1Pending_) return;
  Text1->setPlainText(pendingText1_);
  text1Pending_ = false;
}

void Form1::EndRun() {
  runActive_ = false;
  EndJournalRun();
  FlushText1();
  Frame3->setUpdatesEnabled(true);
  framefind->setUpdatesEnabled(true);
}

void Form1::SetBusyPointer() {
  if (!QApplication::overrideCursor()) QApplication::setOverrideCursor(Qt::WaitCursor);
}

void Form1::SetDefaultPointer() {
  while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
}

// ---- Shell handlers ----

void Form1::Form_Load() {
  txtServerName->setText(settings_.GetSetting(kSettingsSection, QStringLiteral("txtServerName")));
  txtUsername->setText(settings_.GetSetting(kSettingsSection, QStringLiteral("txtUsername")));
  txtPassword->setText(settings_.GetSetting(kSettingsSection, QStringLiteral("txtPassword")));
  txtDatabaseName->setText(
      settings_.GetSetting(kSettingsSection, QStringLiteral("txtDatabaseName")));
  txt1->setText(settings_.GetSetting(kSettingsSection, QStringLiteral("txt1")));
  txt2->setText(settings_.GetSetting(kSettingsSection, QStringLiteral("txt2")));
  uStop = false;
}

void Form1::Command4_Click() { ui_.End(); }

void Form1::Command6_Click() {
  uStop = true;
  Command6->hide();
}

void Form1::cmdHelp_Click() { FrameHelp->setVisible(!FrameHelp->isVisible()); }

void Form1::LabCloseFind_Click() { framefind->hide(); }

void Form1::LabCloseSQL_Click() { FrameSQL->hide(); }

void Form1::mywebsite_Click() { ui_.ShellOpen(WebLink()); }

void Form1::closeEvent(QCloseEvent* event) {
  // A run in progress sits in a nested yield; ending the program is the
  // only way out that does not finish the table under way.
  if (runActive_) ui_.End();
  event->accept();
}

QString Form1::DescriptionOf(const std::exception& e) const {
  const auto* dbError = dynamic_cast<const db::DbError*>(&e);
  return fromUtf8(dbError ? dbError->description() : e.what());
}

search::Engine Form1::StatementEngine() { return conn->dialect(); }

void Form1::SaveFields() {
  const std::pair<const char*, QLineEdit*> fields[] = {{"txtServerName", txtServerName},
                                                       {"txtUsername", txtUsername},
                                                       {"txtPassword", txtPassword},
                                                       {"txtDatabaseName", txtDatabaseName},
                                                       {"txt1", txt1},
                                                       {"txt2", txt2}};
  std::vector<std::pair<QString, QString>> values;
  for (const auto& [key, box] : fields) values.emplace_back(QString::fromLatin1(key), box->text());
  settings_.SaveSettings(kSettingsSection, values);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    QListWidget* list = watched == List1->viewport()   ? List1
                        : watched == List5->viewport() ? List5
                                                       : nullptr;
    if (list) {
      // The item double-clicked is the one meant (a real first click has
      // selected it already).
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (QListWidgetItem* item = list->itemAt(mouse->position().toPoint())) {
        list->setCurrentItem(item);
        item->setSelected(true);
      }
      if (list == List1)
        List1_DblClick();
      else
        List5_DblClick();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

// ---- Connection and table list ----

bool Form1::LinkConn() {
  txtServer = TrimSpaces(txtServerName->text());
  txtUser = TrimSpaces(txtUsername->text());
  txtPass = TrimSpaces(txtPassword->text());
  txtData = TrimSpaces(txtDatabaseName->text());
  if (txtUser.isEmpty() || txtServer.isEmpty() || txtData.isEmpty()) {
    MsgBox(QStringLiteral("服务器名称，用户名，数据库名称为必填项．"), vbCritical);
    txtServerName->setFocus();
    return false;
  }
  try {
    Label3->setText(QStringLiteral("正在连接数据库,请稍等..."));
    Label3->show();
    Frame5->show();
    DoEvents(true);
    SetBusyPointer();

    cn = fromUtf8(db::buildConnectionString(utf8(txtUser), utf8(txtPassword->text()), utf8(txtData),
                                            utf8(txtServer)));
    if (conn.present() && conn->State() == db::adStateOpen) {
      conn->Close();
      conn.release();
    }
    // The driver gets the fields themselves, never a re-parse of cn.
    session::Session session(session::ServerSpec::parse(utf8(txtServer), utf8(txtData)),
                             utf8(txtUser), utf8(txtPassword->text()), 10);
    session.open(*conn);
    session_ = std::move(session);

    const QSignalBlocker quiet(List1);
    List1->clear();
    // The list shows bare names; a table outside the default schema keeps
    // its schema, so that two tables of one name stay two.
    for (const engine::Table& t : session::Session::tables(*conn))
      List1->addItem(TableItem(fromUtf8(t.name), fromUtf8(t.schema)));
    Frame4->setTitle(QStringLiteral("数据表[") + QString::number(List1->count()) +
                     QStringLiteral("]"));
    SetDefaultPointer();
    Frame5->hide();
    return true;
  } catch (const std::exception& e) {
    const QString description = DescriptionOf(e);
    Label3->setText(QStringLiteral("数据库连接失败，请检查"));
    SetDefaultPointer();
    MsgBox(description, vbCritical, QStringLiteral("数据库连接错误，请检查"));
    Frame5->hide();
    return false;
  }
}

void Form1::PaintNow() {
  // A box or dialog stands in front of the window until it is answered: the
  // window behind it must show what it reports, not the last frame a run
  // happened to paint.
  Frame3->setUpdatesEnabled(true);
  framefind->setUpdatesEnabled(true);
  FlushText1();
  if (runActive_) paintTimer_.restart();
  // What changed is painted now; the rest of the window is on the screen as
  // it stands already (repainting all of it costs more than a small table).
  if (isVisible()) {
    QEvent paintChanged(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(this, &paintChanged);
  }
}

int Form1::ExecDialog(QDialog& dialog) {
  PaintNow();
  return ui_.Exec(dialog);
}

void Form1::YieldAfterColumn() {
  columnYield_ = true;
  DoEvents();
  columnYield_ = false;
}

}  // namespace trellick::app
