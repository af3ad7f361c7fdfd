// The per-table engine and the find command.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include "app/form1.h"
#include "app/text.h"
#include "search/statements.h"

namespace trellick::app {
namespace {

// A SQL comment must stay on one line.
QString oneLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return text;
}

}  // namespace

void Form1::RunSearch(const QString& tabname, int16_t updateYN) {
  const bool replacing = updateYN == -1;
  // Only what really failed is collected: nothing carries over from the
  // previous table, and a table that fails before its update statement is
  // complete is named in a comment instead.
  upSQL.clear();
  bool updateComplete = false;
  try {
    const QString F = TrimSpaces(txt1->text());
    const QString R = TrimSpaces(txt2->text());
    const long long L = search::characterCount(utf8(F));

    if (rs.present() && rs->State() == db::adStateOpen) {
      rs->Close();
      rs.release();
    }
    const search::StatementBuilder statements(StatementEngine(), {utf8(F), utf8(R)});
    const std::string table = utf8(tabname);

    SQL = fromUtf8(statements.columnQuery(table));
    // One row at most: the columns and whether a row exists, without the
    // driver reading the table. Nothing is written through this record set,
    // so it is read-only and forward-only: an updatable keyset cursor would
    // have SQL Server build the key set of the whole table first.
    rs->Open(utf8(SQL), *conn, db::adOpenForwardOnly, db::adLockReadOnly, -1, db::OpenOptions{1});
    if (rs->Eof() || rs->Bof()) return;

    std::string where;
    std::string set;
    SQL.clear();
    upSQL.clear();
    const int count = rs->Fields().Count();
    ProA->setMaximum(count);
    ProA->setMinimum(0);
    for (j = 0; j < count; ++j) {
      db::Field field = rs->Fields().Item(j);
      iname = fromUtf8(field.Name());
      itype = static_cast<int16_t>(field.Type());
      const long long size = field.DefinedSize();
      Frame3->setTitle(QStringLiteral("处理进程: ") + tabname + QStringLiteral(" -> ") + iname);
      if (search::isSearchable(itype, size, L)) {
        where += statements.whereTerm(field.Name(), itype);
        if (replacing) set += statements.assignment(field.Name(), itype);
        SQL = fromUtf8(where);
        upSQL = fromUtf8(set);
        ++FieldCount;
      }
      ProA->setValue(j);
      DoEvents();
    }

    if (!where.empty()) {
      const std::string w = where.substr(4);  // without the leading " or "
      if (replacing) {
        upSQL = fromUtf8(statements.updateStatement(table, set.substr(1), w));
        updateComplete = true;
      }
      SQL = fromUtf8(statements.countStatement(table, w));
      SetText1(SQL);
      if (frs.present() && frs->State() == db::adStateOpen) frs->Close();
      frs.reset(conn->Execute(utf8(SQL)));
      const long long found = frs->Fields().Item(0).Value().toInt64();
      if (found > 0) {
        if (framefind->isHidden()) framefind->show();
        if (!OptB->isChecked()) List5->addItem(tabname);
        ++runFoundTables_;
        FindRsCount += found;
        LabFind->setText(QStringLiteral("表：") + QString::number(List5->count()) +
                         QStringLiteral(" 记录：") + QString::number(FindRsCount));
        DoEvents();
        if (replacing) {
          conn->Execute(utf8(upSQL));
          upSQL.clear();
        }
      }
      frs->Close();
      frs.release();
    }
    ProA->setValue(count);
    rs->Close();
    rs.release();
  } catch (const std::exception& e) {
    SetDefaultPointer();
    if (replacing && updateComplete && !upSQL.isEmpty())
      noRunSQL += upSQL;
    else
      noRunSQL += QStringLiteral("-- ") + oneLine(tabname) + QStringLiteral(": ") +
                  oneLine(DescriptionOf(e));
    noRunSQL += QStringLiteral("\r\n\r\n");
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
    runFoundTables_ = 0;
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
    for (int k = 0; k < n; ++k) {
      // Every table is searched, whatever the length of its name.
      RunSearch(List1->item(k)->text(), 0);
      ProB->setValue(k);
      DoEvents();
      if (uStop) break;
      Label2(1)->setText(QStringLiteral("表：") + QString::number(k + 1));
    }
    ProB->setValue(n);
    TabCount = n;
    SaveFields();
    // The report goes by what was found in this run, so it is true also
    // while the result list is not being filled.
    if (runFoundTables_ == 0) {
      MsgBox(uStop ? QStringLiteral("用户中止，在已经检索的表中没有找到相关字符")
                   : QStringLiteral("在所有表中没有找到相关字符"),
             vbOKOnly);
    } else {
      framefind->show();
      MsgBox((uStop ? QStringLiteral("用户中止!共找到 ") : QStringLiteral("任务完成!共找到 ")) +
                 QString::number(runFoundTables_) + QStringLiteral(" 个表, ") +
                 QString::number(FindRsCount) + QStringLiteral(" 条记录 中包含查找的字符。"),
             vbOKOnly);
    }
    SetDefaultPointer();
    Command6->hide();
    Frame3->setTitle(QStringLiteral("处理进程"));
    conn->Close();
    conn.release();
  } catch (const std::exception& e) {
    Command6->hide();
    MsgBox(DescriptionOf(e), vbCritical, QStringLiteral("信息"));
  }
}

}  // namespace trellick::app
