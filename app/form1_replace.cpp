// Replacing: log clearing and shrink, the batch replace, and replacing in
// one table on double-click.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

#include "app/form1.h"
#include "app/text.h"
#include "maintenance/shrink.h"

namespace trellick::app {

void Form1::ShrinkLog(const QString& databaseName) {
  if (databaseName.isEmpty()) return;
  SetBusyPointer();
  Frame5->show();
  Label3->show();
  Label3->setText(QStringLiteral("清空SQL日志并压缩数据库"));
  DoEvents(true);
  const search::Engine engine = StatementEngine();
  shrinkSucceeded_ = 0;
  shrinkFirstFailure_.clear();
  // Every statement is sent whatever became of the ones before.
  try {
    // VACUUM refuses to run while a statement of the connection is open.
    if (sql::forDialect(engine).capabilities().maintenanceNeedsIdleConnection) {
      if (rs.present() && rs->State() == db::adStateOpen) rs->Close();
      if (frs.present() && frs->State() == db::adStateOpen) frs->Close();
    }
  } catch (...) {
  }
  std::vector<search::TableRef> tables;
  for (int k = 0; k < List1->count(); ++k)
    tables.emplace_back(utf8(List1->item(k)->text()), utf8(SchemaOf(List1->item(k))));
  for (const std::string& statement :
       maintenance::shrinkStatements(utf8(databaseName), engine, tables)) {
    try {
      conn->ExecuteAll(statement);
      ++shrinkSucceeded_;
    } catch (const std::exception& e) {
      if (shrinkFirstFailure_.isEmpty()) shrinkFirstFailure_ = DescriptionOf(e);
    }
  }
  Label3->hide();
  Frame5->hide();
  SetDefaultPointer();
}

void Form1::cmdSQLlog_Click() {
  if (runActive_) return;
  RunScope run(*this);
  if (!LinkConn()) return;
  shrinkSucceeded_ = 0;
  shrinkFirstFailure_.clear();
  ShrinkLog(txtDatabaseName->text());
  // Done only when the server took at least one of the statements, or all
  // of them where each one counts.
  const bool everyOne = sql::forDialect(StatementEngine()).maintenanceNeedsEveryStatement();
  if (!shrinkFirstFailure_.isEmpty() && (shrinkSucceeded_ == 0 || everyOne)) {
    MsgBox(QStringLiteral("清除日志并压缩数据库未能完成：") + shrinkFirstFailure_, vbExclamation);
    return;
  }
  MsgBox(QStringLiteral("已经清除日志并压缩数据库"), vbInformation);
}

void Form1::Command5_Click() {
  if (runActive_) return;
  RunScope run(*this);
  try {
    if (!LinkConn()) return;
    const bool resultMode = OptB->isChecked();
    if (!resultMode) {
      framefind->hide();
      List5->clear();
    } else {
      framefind->show();
      if (List5->count() == 0) {
        MsgBox(QStringLiteral("查询结果中没有包含相关字符的表可替换。"), vbOKOnly);
        return;
      }
    }
    FindRsCount = 0;
    noRunSQL.clear();
    StartRunTally();
    SetBusyPointer();
    if (txt1->text().isEmpty()) {
      MsgBox(QStringLiteral("查找内容不能为空！"), vbExclamation);
      txt1->setFocus();
      SetDefaultPointer();
      return;
    }
    const QString prompt = QStringLiteral("您确定要开始批量替换数据吗?此操作将不可恢复.") +
                           QStringLiteral("\r\r") +
                           QStringLiteral("您可以选择否，然后手动双击要处理的数据表。") +
                           QStringLiteral("\r") + ReplaceNote();
    if (MsgBox(prompt, vbYesNo | vbQuestion, QStringLiteral("注意:")) == vbNo) {
      SetDefaultPointer();
      return;
    }
    uStop = false;
    Command6->show();
    ShrinkLog(txtDatabaseName->text());

    // All tables, or the entries of the result list at the start (the walk
    // may add to it).
    QListWidget* walked = resultMode ? List5 : List1;
    const int n = walked->count();
    ProB->setMaximum(resultMode ? n : n - 1);
    ProB->setMinimum(0);
    ProB->setValue(1);
    FieldCount = 0;
    // Every table is replaced, whatever the length of its name.
    const int64_t incompleteBefore = journalIncompleteTables_;
    WalkTables(EntriesOf(walked), -1);
    ProB->setValue(ProB->maximum());
    TabCount = n;
    SaveFields();
    // The totals say what was found; a stop and the tables whose replace
    // failed are said too, so the box never reads as more done than was.
    const int64_t failed = runFailedTables_;
    QString totals =
        (uStop ? QStringLiteral("用户中止!") : QStringLiteral("任务完成!")) +
        QStringLiteral("共检索数据表:") + QString::number(TabCount) + QStringLiteral(",字段:") +
        QString::number(FieldCount) + QStringLiteral("; 替换：") + QString::number(List5->count()) +
        QStringLiteral(" 个表, ") + QString::number(FindRsCount) + QStringLiteral(" 条记录.");
    if (failed > 0)
      totals += QStringLiteral("\r\n其中 ") + QString::number(failed) +
                QStringLiteral(" 个表替换失败，详见SQL窗口。");
    totals += JournalIncompleteNote(journalIncompleteTables_ - incompleteBefore);
    MsgBox(totals, failed > 0 ? vbExclamation : vbInformation, QStringLiteral("信息"));
    if (!noRunSQL.isEmpty()) {
      Text2->setPlainText(noRunSQL);
      FrameSQL->show();
    }
    Command6->hide();
    ShrinkLog(txtDatabaseName->text());
    Frame3->setTitle(QStringLiteral("处理进程"));
    SetDefaultPointer();
    // Closed unless a lost connection could not be made again.
    if (conn->State() == db::adStateOpen) conn->Close();
    conn.release();
  } catch (const std::exception& e) {
    Command6->hide();
    SetDefaultPointer();
    MsgBox(DescriptionOf(e), vbCritical, QStringLiteral("信息"));
  }
}

void Form1::ReplaceOneTable(QListWidget* list) {
  if (runActive_) return;
  RunScope run(*this);
  const auto items = list->selectedItems();
  const QString table = items.isEmpty() ? QString() : items.first()->text();
  const QString schema = items.isEmpty() ? QString() : SchemaOf(items.first());
  if (table.isEmpty()) {
    MsgBox(QStringLiteral("没有表可以替换"), vbExclamation);
    return;
  }
  // After a finished run the connection is closed; replacing on it could
  // only fail.
  if (!(conn.present() && conn->State() == db::adStateOpen)) {
    if (!LinkConn()) return;
    if (list == List1) {
      const QSignalBlocker quiet(List1);
      for (auto* again : List1->findItems(table, Qt::MatchExactly))
        if (SchemaOf(again) == schema) {
          again->setSelected(true);
          break;
        }
    }
  }
  const qsizetype failedBefore = noRunSQL.size();
  const int64_t incompleteBefore = journalIncompleteTables_;
  RunSearch(table, -1, schema);
  const QString failed = noRunSQL.mid(failedBefore);
  if (failed.isEmpty()) {
    MsgBox(QStringLiteral("数据表 ") + table + QStringLiteral(" 批量替换完成.") +
               JournalIncompleteNote(journalIncompleteTables_ - incompleteBefore),
           vbInformation);
    return;
  }
  // A failure is shown as one, with the statement ready to copy.
  Text2->setPlainText(noRunSQL);
  FrameSQL->show();
  MsgBox(QStringLiteral("数据表 ") + table + QStringLiteral(" 替换未完成：\r\n") + failed.trimmed(),
         vbCritical);
}

QString Form1::JournalIncompleteNote(int64_t tables) {
  // Replaced and committed: only the done mark is missing, and the undo
  // still takes the rows back.
  if (tables <= 0) return {};
  return QStringLiteral("\r\n其中 ") + QString::number(tables) +
         QStringLiteral(
             " 个表已替换，但撤销日志未能标记完成（replaced; journal incomplete），仍可撤销。");
}

void Form1::List1_DblClick() { ReplaceOneTable(List1); }

void Form1::List5_DblClick() { ReplaceOneTable(List5); }

namespace {

// A text as one short line of a box: breaks shown, a long one's middle
// left out.
QString inBox(const QString& text) {
  constexpr qsizetype kMax = 60;
  QString line = text;
  line.replace(QStringLiteral("\r\n"), QStringLiteral("\u21b5"));
  line.replace(QLatin1Char('\r'), QChar(0x21B5));
  line.replace(QLatin1Char('\n'), QChar(0x21B5));
  if (line.size() > kMax) line = line.left(kMax / 2) + QStringLiteral("…") + line.right(kMax / 2);
  return line;
}

}  // namespace

QString Form1::ReplaceNote() {
  const QString place = session_ ? fromUtf8(session_->place().database) : txtData;
  const QString server = session_ ? fromUtf8(session_->place().server) : txtServer;
  QString note = QStringLiteral("将把“%1”替换为“%2”，数据库：%3（%4）。")
                     .arg(inBox(txt1->text()), inBox(txt2->text()), inBox(place), inBox(server));
  // The journal is where the undo takes the old values from: without it
  // there is nothing to offer.
  bool kept = false;
  try {
    if (!journal_) journal_ = std::make_unique<journal::Journal>(journal::Journal::defaultPath());
    kept = true;
  } catch (const std::exception&) {
  }
  if (kept) note += QStringLiteral("替换后可在数据表上右击“撤销上次替换...”恢复。");
  return note;
}

}  // namespace trellick::app
