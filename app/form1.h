// The one window of the program: its controls, the state every procedure
// shares, and the handlers.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <map>
#include <vector>

#include "app/settings.h"
#include "app/ui.h"
#include "db/connection.h"
#include "db/handle.h"
#include "db/recordset.h"
#include "engine/engine.h"
#include "journal/journal.h"
#include "search/statements.h"
#include "session/session.h"

class QDialog;
class QGroupBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTextBrowser;

namespace trellick::app {

class ClickLabel;

// The forms the server field takes, in its tool tip; the help frame's
// paragraph on them, preview and undo.
extern const QString kServerForms;
extern const QString kHelpMore;

// Host of the product web site, shown in the help frame and opened by it.
inline const QString kWebHost = QStringLiteral("trellick.example");

// A control array: members addressed by their index.
template <class W>
class ControlArray {
 public:
  W* operator()(int index) const { return members_.at(index); }
  void add(int index, W* w) { members_[index] = w; }
  const std::map<int, W*>& members() const { return members_; }

 private:
  std::map<int, W*> members_;
};

class Form1 : public QWidget {
  Q_OBJECT

 public:
  Form1(Ui& ui, SettingsStore& settings, QWidget* parent = nullptr);
  ~Form1() override;

  // ---- Controls ----
  QGroupBox* Frame1 = nullptr;
  QLineEdit* txtServerName = nullptr;
  QLineEdit* txtDatabaseName = nullptr;
  QLineEdit* txtUsername = nullptr;
  QLineEdit* txtPassword = nullptr;
  QLabel* lblServerName = nullptr;
  QLabel* lblDatabaseName = nullptr;
  QLabel* lblUsername = nullptr;
  QLabel* lblPassword = nullptr;

  QGroupBox* Frame2 = nullptr;
  QLineEdit* txt1 = nullptr;
  QLineEdit* txt2 = nullptr;
  ControlArray<QLabel> Label1;
  QRadioButton* OptA = nullptr;
  QRadioButton* OptB = nullptr;

  QGroupBox* Frame3 = nullptr;
  QFrame* Frame5 = nullptr;
  QLabel* Label3 = nullptr;
  ControlArray<QLabel> Label2;
  QProgressBar* ProA = nullptr;
  QProgressBar* ProB = nullptr;

  QGroupBox* Frame4 = nullptr;
  QListWidget* List1 = nullptr;

  QGroupBox* framefind = nullptr;
  QListWidget* List5 = nullptr;
  ClickLabel* LabCloseFind = nullptr;
  QLabel* LabFind = nullptr;

  QGroupBox* FrameHelp = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label8 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label7 = nullptr;
  ClickLabel* mywebsite = nullptr;
  // How to connect to each engine, preview and undo.
  QTextBrowser* HelpMore = nullptr;

  QGroupBox* FrameSQL = nullptr;
  QLabel* Label6 = nullptr;
  QPlainTextEdit* Text2 = nullptr;
  ClickLabel* LabCloseSQL = nullptr;

  QPushButton* cmdHelp = nullptr;
  QPushButton* cmdSQLlog = nullptr;
  QPushButton* cmdFind = nullptr;
  QPushButton* Command6 = nullptr;
  QPushButton* Command5 = nullptr;
  QPushButton* Command4 = nullptr;

  // Outside the client area.
  QListWidget* List2 = nullptr;
  QPlainTextEdit* Text1 = nullptr;
  QPushButton* Command2 = nullptr;
  QListWidget* List3 = nullptr;
  QListWidget* List4 = nullptr;
  QPushButton* Command3 = nullptr;
  QPushButton* Command1 = nullptr;

  // ---- Window state ----
  QString txtServer;
  QString txtUser;
  QString txtPass;
  QString txtData;
  db::Handle<db::Connection> conn;
  QString cn;
  db::Handle<db::Recordset> rs;
  db::Handle<db::Recordset> frs;
  QString cuTable;
  QString SQL;
  QString upSQL;
  int32_t i = 0;
  int32_t j = 0;
  QString iname;
  int16_t itype = 0;
  db::Variant ivalue;
  QString nvalue;
  // 64-bit: a table may hold far more than 32767 matching records.
  int64_t TabCount = 0;
  int64_t FieldCount = 0;
  int64_t FindRsCount = 0;
  QString noRunSQL;
  bool uStop = false;

  // ---- Procedures ----
  bool LinkConn();
  // The per-table engine: counts the records of tabname that contain the
  // search text and, when updateYN is -1, replaces it. schema is empty for
  // a table of the connection's default schema. Never throws.
  void RunSearch(const QString& tabname, int16_t updateYN, const QString& schema = QString());
  // Lists the columns of tabname in List2 as "name_code".
  void LoadTable(const QString& tabname, const QString& schema = QString());
  // Removes both texts from the plain text values of the table's current
  // row and stores the row, tracing each column in List2.
  void UpdateTable(const QString& tabname, const QString& schema = QString());
  // Clears the transaction log and shrinks the database; reports nothing.
  void ShrinkLog(const QString& databaseName);

  // ---- Handlers ----
  void Form_Load();
  void Command4_Click();
  void Command6_Click();
  void cmdHelp_Click();
  void LabCloseFind_Click();
  void LabCloseSQL_Click();
  void mywebsite_Click();
  void cmdFind_Click();
  void cmdSQLlog_Click();
  void Command5_Click();
  void List1_DblClick();
  // The table lists' context menus.
  void PreviewReplace(QListWidget* list);
  void UndoLastReplace();
  void List5_DblClick();
  void List1_Click();
  void Command2_Click();

  // ---- Toolkit operations ----
  // A box without a title of its own shows the application's title.
  int MsgBox(const QString& prompt, int style = vbOKOnly, const QString& title = QString());
  // Processes pending events. During a run the progress and result frames
  // are painted once per kFrameMs (a frame per column would cost more than
  // the database's scan of a small table); paint forces a frame.
  void DoEvents(bool paint = false);
  // The pointer is one application-wide state: busy or default.
  void SetBusyPointer();
  void SetDefaultPointer();

  // True while a find or replace run walks the tables.
  bool RunActive() const { return runActive_; }

  static QString AppTitle() { return QStringLiteral("Trellick"); }
  static QString WebLink();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildControls();
  void connectSignals();
  void SaveFields();
  // The server the statements are written for, from the open connection.
  search::Engine StatementEngine();
  void ReplaceOneTable(QListWidget* list);
  // A line for the replace's message when tables were replaced with their
  // journal incomplete; empty when none.
  static QString JournalIncompleteNote(int64_t tables);
  // A table list entry: the bare name shows, the schema rides along.
  static QListWidgetItem* TableItem(const QString& name, const QString& schema);
  static QString SchemaOf(const QListWidgetItem* item);
  static std::vector<QListWidgetItem*> EntriesOf(const QListWidget* list);
  // The one table walk of the find and the batch replace: the entries in
  // order through the engine, ProB and the table counter following, the
  // stop tested after each, a lost connection made again once. When it
  // cannot be, the entries left count as failed too.
  void WalkTables(const std::vector<QListWidgetItem*>& entries, int16_t updateYN);
  // Paints what the engine tells on the window and folds its results into
  // the window state.
  class EnginePainter;
  // The texts as the boxes hold them now; only -1 replaces, and keeps
  // what it changes in the journal of this run.
  engine::Options EngineOptions(int16_t updateYN);
  // The journal's entry for the replace under way, begun with its first
  // table; throws when the journal cannot be kept (nothing is then written).
  long long JournalRun();
  void EndJournalRun();
  // What the walk could not do, for the run's final box.
  void StartRunTally();
  int64_t FailedTables() const { return runFailedTables_; }
  QString DescriptionOf(const std::exception& e) const;

  // Marks a find or replace run for its lifetime.
  class RunScope {
   public:
    explicit RunScope(Form1& form) : form_(form) { form_.runActive_ = true; }
    ~RunScope() { form_.EndRun(); }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

   private:
    Form1& form_;
  };
  void EndRun();
  // Text1 is never in view; during a run its text reaches the widget with
  // the next painted frame (its layout costs more than a small table).
  void SetText1(const QString& text);
  void FlushText1();

  Ui& ui_;
  SettingsStore& settings_;
  bool runActive_ = false;
  QElapsedTimer paintTimer_;
  QString pendingText1_;
  bool text1Pending_ = false;
  // Tables in which the engine found the search text during this run
  // (the result list misses them while "查询结果中的表" is selected).
  int64_t runFoundTables_ = 0;
  // Tables of this run whose search or replace failed.
  int64_t runFailedTables_ = 0;
  qsizetype runFailuresFrom_ = 0;
  // Tables replaced on the server whose journal could not be marked done
  // (counted over the window's life; a run reads the difference).
  int64_t journalIncompleteTables_ = 0;
  // The last successful connection's database and login, for
  // reconnecting, the journal and the undo.
  std::optional<session::Session> session_;
  std::unique_ptr<journal::Journal> journal_;
  long long journalRun_ = 0;
  // ShrinkLog's outcome: statements that succeeded, the first failure.
  int shrinkSucceeded_ = 0;
  QString shrinkFirstFailure_;

  // The window painted as it stands now (throttled frames included), before
  // something modal goes in front of it.
  void PaintNow();
  // A dialog of the window, shown modally through the Ui.
  int ExecDialog(QDialog& dialog);
  // The line under the batch replace's confirmation: what is replaced by
  // what, where, and how to take it back when the journal can be kept.
  QString ReplaceNote();

 public:
  // The least time between two frames of a run. Events are still taken at
  // every yield (a stop is seen at once); only the painting waits. Five
  // frames a second keep the bars moving, and on a loaded machine, where a
  // frame costs several milliseconds, keep the painting near 2% of the run.
  static constexpr int kFrameMs = 200;

  // The yield after a column: as DoEvents, but the Ui may leave the events
  // to the next yield when one came a moment before (never when a frame is
  // due, nor for the yields after a table, before the stop is asked).
  void YieldAfterColumn();

 private:
  bool columnYield_ = false;
};

// Leading and trailing spaces removed (spaces only, as the fields expect).
QString TrimSpaces(const QString& text);

}  // namespace trellick::app
