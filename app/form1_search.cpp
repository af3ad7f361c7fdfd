// The window on the engine: what it paints and keeps of each table, the
// one table walk, and the find command.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <utility>
#include <vector>

#include "app/form1.h"
#include "app/text.h"
#include "search/statements.h"

namespace trellick::app {

// Paints what the engine tells, in the order it tells it, on the controls
// the operator watches, and folds each table's result into the window
// state. The same painter serves one table (RunSearch) and a walk.
class Form1::EnginePainter : public engine::Observer {
 public:
  explicit EnginePainter(Form1& form) : f_(form) {}

  void tableOpened(const engine::Table&, int columnCount) override {
    f_.SQL.clear();
    f_.upSQL.clear();
    columnCount_ = columnCount;
    f_.ProA->setMaximum(columnCount);
    f_.ProA->setMinimum(0);
  }

  void columnVisited(const engine::Table& table, int j, const engine::Column& column) override {
    f_.j = j;
    f_.iname = fromUtf8(column.name);
    f_.itype = static_cast<int16_t>(column.type);
    f_.Frame3->setTitle(QStringLiteral("处理进程: ") + fromUtf8(table.name) +
                        QStringLiteral(" -> ") + f_.iname);
    if (column.searchable) ++f_.FieldCount;
    f_.ProA->setValue(j);
    columnYield_ = true;
  }

  void countStatement(const std::string& sql) override {
    f_.SQL = fromUtf8(sql);
    f_.SetText1(f_.SQL);
  }

  void matchesFound(const engine::Table& table, long long records) override {
    if (f_.framefind->isHidden()) f_.framefind->show();
    if (!f_.OptB->isChecked())
      f_.List5->addItem(TableItem(fromUtf8(table.name), fromUtf8(table.schema)));
    ++f_.runFoundTables_;
    f_.FindRsCount += records;
    f_.LabFind->setText(QStringLiteral("表：") + QString::number(f_.List5->count()) +
                        QStringLiteral(" 记录：") + QString::number(f_.FindRsCount));
  }

  void tableFinished(const engine::TableResult& result) override {
    if (result.hasRows && result.status != engine::Status::Failed) {
      f_.j = columnCount_;
      f_.ProA->setValue(columnCount_);
    }
    // An update that was planned but not done stays in upSQL.
    if (result.status != engine::Status::Replaced) f_.upSQL = fromUtf8(result.updateStatement);
    if (result.journaled && !result.journaled->journalComplete) ++f_.journalIncompleteTables_;
    if (!result.failure) return;
    f_.SetDefaultPointer();
    ++f_.runFailedTables_;
    // Why it failed, then the statement ready to run by hand once the
    // cause is mended.
    f_.noRunSQL += fromUtf8(engine::failureText(result, "\r\n"));
  }

  void tableWalked(size_t index) override { f_.ProB->setValue(static_cast<int>(index)); }

  void walkContinues(size_t done) override {
    f_.Label2(1)->setText(QStringLiteral("表：") + QString::number(done));
  }

  void yield() override {
    if (std::exchange(columnYield_, false))
      f_.YieldAfterColumn();
    else
      f_.DoEvents();
  }

  bool stopRequested() override { return f_.uStop; }

 private:
  Form1& f_;
  int columnCount_ = 0;
  // The next yield is the one after a column.
  bool columnYield_ = false;
};

engine::Options Form1::EngineOptions(int16_t updateYN) {
  // The texts exactly as typed: a space around a word is part of what the
  // operator asked for.
  engine::Options options{updateYN == -1 ? engine::Mode::Replace : engine::Mode::Count,
                          {utf8(txt1->text()), utf8(txt2->text())}};
  if (updateYN == -1) {
    options.journalRun = JournalRun();
    options.journal = journal_.get();
  }
  return options;
}

long long Form1::JournalRun() {
  if (journalRun_) return journalRun_;
  const std::string path = journal::Journal::defaultPath();
  try {
    if (!journal_) journal_ = std::make_unique<journal::Journal>(path);
    journalRun_ = journal_->beginRun(
        session_ && conn.present()
            ? session_->runInfo(*conn, "replace", utf8(txt1->text()), utf8(txt2->text()))
            : journal::RunInfo{});
  } catch (const db::DbError&) {
    throw;
  } catch (const std::exception& e) {
    throw db::DbError(
        "journal",
        {{"HY000", 0, "[Trellick]无法记录替换前的内容，未做任何替换：" + std::string(e.what())}});
  }
  return journalRun_;
}

void Form1::EndJournalRun() {
  if (!journalRun_) return;
  try {
    journal_->finishRun(journalRun_);
  } catch (...) {
  }
  journalRun_ = 0;
}

void Form1::RunSearch(const QString& tabname, int16_t updateYN, const QString& schema) {
  // Only what really failed is collected: nothing carries over from the
  // previous table.
  upSQL.clear();
  const engine::Table table(utf8(tabname), utf8(schema));
  // A record set left open elsewhere would keep the connection's one result
  // busy.
  if (rs.present() && rs->State() == db::adStateOpen) {
    rs->Close();
    rs.release();
  }
  SQL = fromUtf8(search::columnQueryOf(table, StatementEngine()));
  engine::Options options;
  try {
    options = EngineOptions(updateYN);
  } catch (const std::exception& e) {
    // Nothing is written without its journal: the table is told as failed.
    const QString name = schema.isEmpty() ? tabname : schema + QLatin1Char('.') + tabname;
    noRunSQL += QStringLiteral("-- ") + fromUtf8(engine::oneLine(utf8(name))) +
                QStringLiteral(": ") + fromUtf8(engine::oneLine(utf8(DescriptionOf(e)))) +
                QStringLiteral("\r\n\r\n");
    return;
  }
  EnginePainter painter(*this);
  engine::runTable(*conn, table, options, painter);
}

QListWidgetItem* Form1::TableItem(const QString& name, const QString& schema) {
  auto* item = new QListWidgetItem(name);
  if (!schema.isEmpty()) item->setData(Qt::UserRole, schema);
  return item;
}

std::vector<QListWidgetItem*> Form1::EntriesOf(const QListWidget* list) {
  std::vector<QListWidgetItem*> entries;
  for (int k = 0; k < list->count(); ++k) entries.push_back(list->item(k));
  return entries;
}

QString Form1::SchemaOf(const QListWidgetItem* item) {
  return item ? item->data(Qt::UserRole).toString() : QString();
}

void Form1::StartRunTally() {
  runFoundTables_ = 0;
  runFailedTables_ = 0;
  runFailuresFrom_ = noRunSQL.size();
}

namespace {

// The walk's connection is the window's; made again by the last successful
// connection's session.
class WindowConnection : public engine::ConnectionSource {
 public:
  WindowConnection(db::Handle<db::Connection>& conn, const session::Session& session)
      : conn_(conn), session_(session) {}
  db::Connection& current() override { return *conn_; }
  void reconnect() override {
    conn_.release();
    session_.open(*conn_);
  }

 private:
  db::Handle<db::Connection>& conn_;
  const session::Session& session_;
};

}  // namespace

void Form1::WalkTables(const std::vector<QListWidgetItem*>& entries, int16_t updateYN) {
  std::vector<engine::Table> tables;
  for (const QListWidgetItem* item : entries)
    tables.emplace_back(utf8(item->text()), utf8(SchemaOf(item)));
  // As RunSearch does before each table.
  if (rs.present() && rs->State() == db::adStateOpen) {
    rs->Close();
    rs.release();
  }
  // Every table's columns from one catalog query where the engine has it:
  // each table then costs its count (and its update) alone.
  const std::shared_ptr<engine::Catalog> catalog = engine::readCatalog(*conn, tables);
  WindowConnection source(conn, *session_);
  EnginePainter painter(*this);
  const engine::WalkResult walk = engine::runTables(
      source, tables,
      [&] {
        upSQL.clear();
        engine::Options options = EngineOptions(updateYN);
        options.catalog = catalog;
        return options;
      },
      painter);
  if (walk.connectionFailure) {
    noRunSQL += QStringLiteral("-- 数据库连接中断，重新连接失败，其余的表未处理：") +
                fromUtf8(engine::oneLine(walk.connectionFailure->description)) +
                QStringLiteral("\r\n\r\n");
    // Without a connection the tables left cannot be searched.
    runFailedTables_ += static_cast<int64_t>(walk.notRun);
  }
}

void Form1::cmdFind_Click() {
  if (runActive_) return;
  RunScope run(*this);
  try {
    if (!LinkConn()) return;
    Command6->show();
    uStop = false;
    LabFind->setText(QString());
    List5->clear();
    FindRsCount = 0;
    StartRunTally();
    SetBusyPointer();
    if (txt1->text().isEmpty()) {
      MsgBox(QStringLiteral("查找内容不能为空！"), vbExclamation);
      txt1->setFocus();
      Command6->hide();
      SetDefaultPointer();
      return;
    }
    SetDefaultPointer();
    const int n = List1->count();
    ProB->setMaximum(n);
    ProB->setMinimum(0);
    ProB->setValue(1);
    FieldCount = 0;
    // Every table is searched, whatever the length of its name.
    WalkTables(EntriesOf(List1), 0);
    ProB->setValue(n);
    TabCount = n;
    SaveFields();
    // The report goes by what was found in this run, so it is true also
    // while the result list is not being filled; tables that could not be
    // searched are never counted as holding nothing.
    const int64_t failed = runFailedTables_;
    const QString failedLine = QStringLiteral("另有 ") + QString::number(failed) +
                               QStringLiteral(" 个表未能检索，详见SQL窗口。");
    if (runFoundTables_ == 0) {
      if (failed > 0)
        MsgBox(QStringLiteral("在已经检索的表中没有找到相关字符，") + failedLine, vbExclamation);
      else
        MsgBox(uStop ? QStringLiteral("用户中止，在已经检索的表中没有找到相关字符")
                     : QStringLiteral("在所有表中没有找到相关字符"),
               vbOKOnly);
    } else {
      framefind->show();
      QString text =
          (uStop ? QStringLiteral("用户中止!共找到 ") : QStringLiteral("任务完成!共找到 ")) +
          QString::number(runFoundTables_) + QStringLiteral(" 个表, ") +
          QString::number(FindRsCount) + QStringLiteral(" 条记录 中包含查找的字符。");
      if (failed > 0) text += QStringLiteral("\r\n") + failedLine;
      MsgBox(text, failed > 0 ? vbExclamation : vbOKOnly);
    }
    if (failed > 0) {
      Text2->setPlainText(noRunSQL.mid(runFailuresFrom_));
      FrameSQL->show();
    }
    SetDefaultPointer();
    Command6->hide();
    Frame3->setTitle(QStringLiteral("处理进程"));
    // Closed unless a lost connection could not be made again.
    if (conn->State() == db::adStateOpen) conn->Close();
    conn.release();
  } catch (const std::exception& e) {
    Command6->hide();
    MsgBox(DescriptionOf(e), vbCritical, QStringLiteral("信息"));
  }
}

}  // namespace trellick::app
