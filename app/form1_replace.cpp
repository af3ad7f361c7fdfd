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
  // Every statement is sent whatever became of the ones before.
  try {
    // VACUUM refuses to run while a statement of the connection is open.
    if (engine == search::Engine::SQLite) {
      if (rs.present() && rs->State() == db::adStateOpen) rs->Close();
      if (frs.present() && frs->State() == db::adStateOpen) frs->Close();
    }
  } catch (...) {
  }
  for (const std::string& statement : maintenance::shrinkStatements(utf8(databaseName), engine)) {
    try {
      conn->ExecuteAll(statement);
    } catch (...) {
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
  ShrinkLog(txtDatabaseName->text());
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
    runFoundTables_ = 0;
    SetBusyPointer();
    if (txt1->text().isEmpty()) {
      MsgBox(QStringLiteral("查找内容不能为空！"), vbExclamation);
      txt1->setFocus();
      SetDefaultPointer();
      return;
    }
    const QString prompt = QStringLiteral("您确定要开始批量替换数据吗?此操作将不可恢复.") +
                           QStringLiteral("\r\r") +
                           QStringLiteral("您可以选择否，然后手动双击要处理的数据表。");
    if (MsgBox(prompt, vbYesNo | vbQuestion, QStringLiteral("注意:")) == vbNo) {
      SetDefaultPointer();
      return;
    }
    uStop = false;
    Command6->show();
    ShrinkLog(txtDatabaseName->text());

    int n = 0;
    if (!resultMode) {
      n = List1->count();
      ProB->setMaximum(n - 1);
      ProB->setMinimum(0);
      ProB->setValue(1);
      FieldCount = 0;
      for (int k = 0; k < n; ++k) {
        // Every table is replaced, whatever the length of its name.
        RunSearch(List1->item(k)->text(), -1);
        ProB->setValue(k);
        DoEvents();
        if (uStop) break;
        Label2(1)->setText(QStringLiteral("表：") + QString::number(k + 1));
      }
    } else {
      n = List5->count();
      ProB->setMaximum(n);
      ProB->setMinimum(0);
      ProB->setValue(1);
      FieldCount = 0;
      for (int k = 1; k <= n; ++k) {
        RunSearch(List5->item(k - 1)->text(), -1);
        ProB->setValue(k - 1);
        DoEvents();
        if (uStop) break;
        Label2(1)->setText(QStringLiteral("表：") + QString::number(k));
      }
    }
    ProB->setValue(ProB->maximum());
    TabCount = n;
    SaveFields();
    MsgBox(QStringLiteral("任务完成!共检索数据表:") + QString::number(TabCount) +
               QStringLiteral(",字段:") + QString::number(FieldCount) + QStringLiteral("; 替换：") +
               QString::number(List5->count()) + QStringLiteral(" 个表, ") +
               QString::number(FindRsCount) + QStringLiteral(" 条记录."),
           vbInformation, QStringLiteral("信息"));
    if (!noRunSQL.isEmpty()) {
      Text2->setPlainText(noRunSQL);
      FrameSQL->show();
    }
    Command6->hide();
    ShrinkLog(txtDatabaseName->text());
    Frame3->setTitle(QStringLiteral("处理进程"));
    SetDefaultPointer();
    conn->Close();
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
  auto selected = [list] {
    const auto items = list->selectedItems();
    return items.isEmpty() ? QString() : items.first()->text();
  };
  const QString table = selected();
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
      const auto again = List1->findItems(table, Qt::MatchExactly);
      if (!again.isEmpty()) again.first()->setSelected(true);
    }
  }
  const qsizetype failedBefore = noRunSQL.size();
  RunSearch(table, -1);
  const QString failed = noRunSQL.mid(failedBefore);
  if (failed.isEmpty()) {
    MsgBox(QStringLiteral("数据表 ") + table + QStringLiteral(" 批量替换完成."), vbInformation);
    return;
  }
  // A failure is shown as one, with the statement ready to copy.
  Text2->setPlainText(noRunSQL);
  FrameSQL->show();
  MsgBox(QStringLiteral("数据表 ") + table + QStringLiteral(" 替换未完成：\r\n") + failed.trimmed(),
         vbCritical);
}

void Form1::List1_DblClick() { ReplaceOneTable(List1); }

void Form1::List5_DblClick() { ReplaceOneTable(List5); }

}  // namespace trellick::app
