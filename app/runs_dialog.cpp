#include "app/runs_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "session/session.h"

namespace trellick::app {
namespace {

QString fromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

}  // namespace

RunsDialog::RunsDialog(QWidget* parent, const std::vector<journal::RunEntry>& runs)
    : QDialog(parent) {
  setObjectName(QStringLiteral("RunsDialog"));
  setWindowTitle(QStringLiteral("撤销上次替换"));
  auto* layout = new QVBoxLayout(this);
  runs_ = new QTableWidget(this);
  runs_->setObjectName(QStringLiteral("UndoRuns"));
  runs_->setColumnCount(6);
  runs_->setHorizontalHeaderLabels({QStringLiteral("运行"), QStringLiteral("时间"),
                                    QStringLiteral("内容"), QStringLiteral("表"),
                                    QStringLiteral("记录"), QStringLiteral("状态")});
  runs_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  runs_->setSelectionBehavior(QAbstractItemView::SelectRows);
  runs_->setSelectionMode(QAbstractItemView::SingleSelection);
  runs_->verticalHeader()->hide();
  int selected = -1;
  for (const auto& run : runs) {
    const long long rows = run.rowsChanged();
    if (rows <= 0) continue;
    int tables = 0;
    for (const auto& t : run.tables)
      tables += t.rows > 0 &&
                (t.state == journal::TableState::Journaled || t.state == journal::TableState::Done);
    const QString what = run.info.kind == "undo"
                             ? QStringLiteral("撤销第 %1 次运行").arg(run.info.undoes)
                             : QStringLiteral("把“%1”替换为“%2”")
                                   .arg(fromUtf8(run.info.find), fromUtf8(run.info.replace));
    QString state = run.undoneBy ? QStringLiteral("已由第 %1 次运行撤销").arg(run.undoneBy)
                                 : QStringLiteral("未撤销");
    // A table whose done mark was never written: replaced or not, its rows
    // are in the journal and the undo takes them back.
    for (const auto& t : run.tables)
      if (t.state == journal::TableState::Journaled) {
        state += QStringLiteral("（日志不完整）");
        break;
      }
    const int at = runs_->rowCount();
    runs_->insertRow(at);
    const QStringList cells{QString::number(run.id), fromUtf8(run.started), what,
                            QString::number(tables), QString::number(rows), state};
    for (int c = 0; c < cells.size(); ++c) runs_->setItem(at, c, new QTableWidgetItem(cells[c]));
    ids_.push_back(run.id);
    if (selected < 0 && session::undoable(run)) selected = at;
  }
  runs_->resizeColumnsToContents();
  if (selected >= 0) runs_->selectRow(selected);
  layout->addWidget(runs_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("撤销"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto enable = [this, buttons] {
    buttons->button(QDialogButtonBox::Ok)->setEnabled(chosen() != 0);
  };
  connect(runs_, &QTableWidget::itemSelectionChanged, this, enable);
  enable();
  layout->addWidget(buttons);
  resize(720, 320);
}

long long RunsDialog::chosen() const {
  const auto rows = runs_->selectionModel()->selectedRows();
  if (rows.isEmpty()) return 0;
  const int row = rows.first().row();
  return row >= 0 && row < static_cast<int>(ids_.size()) ? ids_[static_cast<size_t>(row)] : 0;
}

bool RunsDialog::empty() const { return ids_.empty(); }

}  // namespace trellick::app
