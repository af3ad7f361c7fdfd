// The per-table engine and the find command.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <set>
#include <string>
#include <vector>

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

void Form1::RunSearch(const QString& tabname, int16_t updateYN, const QString& schema) {
  const bool replacing = updateYN == -1;
  // Only what really failed is collected: nothing carries over from the
  // previous table, and a table that fails before its update statement is
  // complete is named in a comment alone.
  upSQL.clear();
  bool updateComplete = false;
  lastTableFailed_ = false;
  lastConnectionLost_ = false;
  try {
    // The texts exactly as typed: a space around a word is part of what
    // the operator asked for.
    const QString F = txt1->text();
    const QString R = txt2->text();
    const long long L = search::characterCount(utf8(F));

    if (rs.present() && rs->State() == db::adStateOpen) {
      rs->Close();
      rs.release();
    }
    const search::Engine engine = StatementEngine();
    const search::StatementBuilder statements(engine, {utf8(F), utf8(R)}, conn->syntax());
    const search::TableRef table(utf8(tabname), utf8(schema));

    SQL = fromUtf8(statements.columnQuery(table));
    // One row at most where the driver honours it: the columns and whether
    // a row exists. Read-only and forward-only: an updatable keyset cursor
    // would have SQL Server build the key set of the whole table first.
    rs->Open(utf8(SQL), *conn, db::adOpenForwardOnly, db::adLockReadOnly, -1, db::OpenOptions{1});
    if (rs->Eof() || rs->Bof()) return;

    struct Column {
      std::string name;
      int type;
      long long size;
    };
    std::vector<Column> columns;
    for (int k = 0, n = rs->Fields().Count(); k < n; ++k) {
      db::Field field = rs->Fields().Item(k);
      columns.push_back({field.Name(), field.Type(), field.DefinedSize()});
    }
    // The connection serves one result at a time (FreeTDS refuses the next
    // statement while rows are pending): the column query is done with.
    rs->Close();
    rs.release();

    // Computed and generated columns can be read but never assigned; a
    // SQLite column without a declared length holds text of any length.
    std::set<std::string> computed;
    std::set<std::string> unlimited;
    {
      auto facts = conn->Execute(search::columnFactsQuery(table, engine));
      while (facts->State() == db::adStateOpen && !facts->Eof()) {
        auto fields = facts->Fields();
        const std::string name = fields.Item(0).Value().text();
        if (fields.Item(1).Value().text() == "1") computed.insert(name);
        if (fields.Count() > 2 && !search::declaresLength(fields.Item(2).Value().text()))
          unlimited.insert(name);
        facts->MoveNext();
      }
    }
    for (Column& column : columns)
      if (unlimited.contains(column.name) && search::searchGroup(column.type))
        column.size = db::kLongTextSize;

    std::string where;
    std::string set;
    SQL.clear();
    upSQL.clear();
    const int count = static_cast<int>(columns.size());
    ProA->setMaximum(count);
    ProA->setMinimum(0);
    for (j = 0; j < count; ++j) {
      const Column& column = columns[static_cast<size_t>(j)];
      iname = fromUtf8(column.name);
      itype = static_cast<int16_t>(column.type);
      Frame3->setTitle(QStringLiteral("处理进程: ") + tabname + QStringLiteral(" -> ") + iname);
      if (search::isSearchable(itype, column.size, L) && !computed.contains(column.name)) {
        where += statements.whereTerm(column.name, itype, column.size);
        if (replacing) set += statements.assignment(column.name, itype, column.size);
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
      // Closed before the update, for the same one-result reason.
      frs->Close();
      frs.release();
      if (found > 0) {
        if (framefind->isHidden()) framefind->show();
        if (!OptB->isChecked()) List5->addItem(TableItem(tabname, schema));
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
    }
    ProA->setValue(count);
  } catch (const std::exception& e) {
    SetDefaultPointer();
    lastTableFailed_ = true;
    const auto* dbError = dynamic_cast<const db::DbError*>(&e);
    lastConnectionLost_ = (dbError && db::isConnectionLost(*dbError)) ||
                          (conn.present() && conn->State() == db::adStateOpen && conn->IsDead());
    // Why it failed, then the statement ready to run by hand once the
    // cause is mended.
    const QString name = schema.isEmpty() ? tabname : schema + QLatin1Char('.') + tabname;
    noRunSQL += QStringLiteral("-- ") + oneLine(name) + QStringLiteral(": ") +
                oneLine(DescriptionOf(e)) + QStringLiteral("\r\n");
    if (replacing && updateComplete && !upSQL.isEmpty()) noRunSQL += upSQL + QStringLiteral("\r\n");
    noRunSQL += QStringLiteral("\r\n");
  }
}

QListWidgetItem* Form1::TableItem(const QString& name, const QString& schema) {
  auto* item = new QListWidgetItem(name);
  if (!schema.isEmpty()) item->setData(Qt::UserRole, schema);
  return item;
}

QString Form1::SchemaOf(const QListWidgetItem* item) {
  return item ? item->data(Qt::UserRole).toString() : QString();
}

void Form1::StartRunTally() {
  runFoundTables_ = 0;
  runFailedTables_ = 0;
  runFailuresFrom_ = noRunSQL.size();
}

bool Form1::WalkTable(const QListWidgetItem* item, int16_t updateYN, int remaining) {
  RunSearch(item->text(), updateYN, SchemaOf(item));
  if (!lastTableFailed_) return true;
  ++runFailedTables_;
  if (!lastConnectionLost_) return true;
  // The table that took the connection down is reported above; the rest of
  // the run goes on over a new connection.
  try {
    conn.release();
    conn->SetCommandTimeout(10);
    conn->Open(db::makeTarget(linkFields_, db::installedDrivers(), conn->CommandTimeout()));
    return true;
  } catch (const std::exception& e) {
    noRunSQL += QStringLiteral("-- 数据库连接中断，重新连接失败，其余的表未处理：") +
                oneLine(DescriptionOf(e)) + QStringLiteral("\r\n\r\n");
    // Without a connection the tables left cannot be searched.
    runFailedTables_ += remaining;
    return false;
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
    for (int k = 0; k < n; ++k) {
      // Every table is searched, whatever the length of its name.
      if (!WalkTable(List1->item(k), 0, n - k - 1)) break;
      ProB->setValue(k);
      DoEvents();
      if (uStop) break;
      Label2(1)->setText(QStringLiteral("表：") + QString::number(k + 1));
    }
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
