// Seeing a table's replace before it is made, and taking back the last
// replace, from the table lists' context menus.
#include <QLineEdit>
#include <QListWidget>

#include "app/form1.h"
#include "app/preview_dialog.h"
#include "app/runs_dialog.h"
#include "app/text.h"
#include "journal/changes.h"

namespace trellick::app {

void Form1::PreviewReplace(QListWidget* list) {
  if (runActive_) return;
  RunScope run(*this);
  const auto items = list->selectedItems();
  if (items.isEmpty()) {
    MsgBox(QStringLiteral("请先选择要预览的表"), vbExclamation);
    return;
  }
  if (txt1->text().isEmpty()) {
    MsgBox(QStringLiteral("查找内容不能为空！"), vbExclamation);
    return;
  }
  const QString table = items.first()->text();
  const QString schema = SchemaOf(items.first());
  if (!(conn.present() && conn->State() == db::adStateOpen) && !LinkConn()) return;
  try {
    const journal::Preview preview = engine::previewTable(
        *conn, {utf8(table), utf8(schema)}, {utf8(txt1->text()), utf8(txt2->text())}, 100);
    PreviewDialog dialog(this, table, preview, txt1->text(), txt2->text());
    ExecDialog(dialog);
  } catch (const std::exception& e) {
    MsgBox(DescriptionOf(e), vbCritical, QStringLiteral("预览替换"));
  }
}

void Form1::UndoLastReplace() {
  if (runActive_) return;
  RunScope run(*this);
  std::vector<journal::RunEntry> runs;
  try {
    if (!journal_) journal_ = std::make_unique<journal::Journal>(journal::Journal::defaultPath());
    runs = journal_->runs();
  } catch (const std::exception& e) {
    MsgBox(DescriptionOf(e), vbCritical, QStringLiteral("撤销上次替换"));
    return;
  }
  // Only this database's runs are offered: connected first to know it.
  if (!LinkConn()) return;
  const std::string here = conn->DatabaseIdentity();
  std::erase_if(runs, [&](const journal::RunEntry& r) {
    return session::notMadeHere(r.info, session_->place(), conn->dialect(), here).has_value();
  });
  RunsDialog dialog(this, runs);
  if (dialog.empty()) {
    MsgBox(QStringLiteral("没有可以撤销的替换。"), vbInformation);
    return;
  }
  if (ExecDialog(dialog) != QDialog::Accepted || !dialog.chosen()) return;
  std::optional<journal::RunEntry> last;
  for (auto& r : runs)
    if (r.id == dialog.chosen()) last = std::move(r);
  if (!last) return;
  // What the run changed: the tables the server committed.
  const long long rows = last->rowsChanged();
  long long tables = 0;
  for (const auto& t : last->tables)
    tables += t.rows > 0 &&
              (t.state == journal::TableState::Journaled || t.state == journal::TableState::Done);
  const QString what =
      last->info.kind == "undo"
          ? QStringLiteral("第 %1 次运行（撤销第 %2 次运行）").arg(last->id).arg(last->info.undoes)
          : QStringLiteral("第 %1 次运行：把“%2”替换为“%3”")
                .arg(last->id)
                .arg(fromUtf8(last->info.find), fromUtf8(last->info.replace));
  const QString prompt =
      QStringLiteral("撤销%1？\r\n数据库：%2（%3）\r\n时间：%4，%5 个表，%6 条记录")
          .arg(what, fromUtf8(last->info.database), fromUtf8(last->info.server),
               fromUtf8(last->started))
          .arg(tables)
          .arg(rows);
  if (MsgBox(prompt, vbYesNo | vbQuestion, QStringLiteral("撤销上次替换")) != vbYes) return;
  // Old values go back only into the database they came from.
  if (session::notMadeHere(last->info, session_->place(), *conn)) {
    MsgBox(QStringLiteral("这次替换是在 %1（%2）中做的，与当前连接的数据库不同，未撤销。")
               .arg(fromUtf8(last->info.database), fromUtf8(last->info.server)),
           vbExclamation);
    return;
  }
  journal::UndoResult result;
  try {
    result = session::undoRun(*conn, *journal_, *last, *session_);
  } catch (const std::exception& e) {
    MsgBox(DescriptionOf(e), vbCritical, QStringLiteral("撤销上次替换"));
    return;
  }
  long long restored = 0;
  QString details;
  bool complete = true;
  for (const auto& t : result.tables) {
    restored += t.restored;
    const QString name =
        fromUtf8(t.table.schema.empty() ? t.table.name : t.table.schema + "." + t.table.name);
    details += QStringLiteral("\r\n%1：恢复 %2 条").arg(name).arg(t.restored);
    if (!t.conflicts.empty()) {
      complete = false;
      details += QStringLiteral("，%1 条记录此后已被修改，未恢复").arg(t.conflicts.size());
    }
    if (!t.ambiguous.empty()) {
      complete = false;
      details +=
          QStringLiteral("，%1 条记录无法与表中相同的记录区分，未恢复").arg(t.ambiguous.size());
    }
    if (t.failure) {
      complete = false;
      details += QStringLiteral("，失败：") + fromUtf8(*t.failure);
    }
    if (t.hasTriggers) details += QStringLiteral("（此表有触发器，触发器所做的修改未撤销）");
  }
  MsgBox(QStringLiteral("撤销完成，共恢复 %1 条记录。").arg(restored) + details,
         complete ? vbInformation : vbExclamation, QStringLiteral("撤销上次替换"));
}

}  // namespace trellick::app
