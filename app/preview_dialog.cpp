#include "app/preview_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

namespace trellick::app {
namespace {

QString fromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Excerpts keep this many characters either side of an occurrence.
constexpr int kContext = 30;

}  // namespace

QString PreviewDialog::summaryText(const journal::Preview& preview) {
  QString text = QStringLiteral("共 %1 条记录将被替换").arg(preview.total);
  if (static_cast<long long>(preview.rows.size()) < preview.total)
    text += QStringLiteral("，显示前 %1 条").arg(preview.rows.size());
  text += QStringLiteral("。");
  if (preview.byValue) text += QStringLiteral("此表没有主键，撤销时按值匹配。");
  if (preview.hasTriggers) text += QStringLiteral("此表有触发器，触发器所做的修改不会被撤销。");
  return text;
}

QString PreviewDialog::highlighted(const QString& excerpt) {
  QString html;
  qsizetype at = 0;
  while (true) {
    const qsizetype open = excerpt.indexOf(QStringLiteral("[["), at);
    const qsizetype close = open < 0 ? -1 : excerpt.indexOf(QStringLiteral("]]"), open + 2);
    if (open < 0 || close < 0) {
      html += excerpt.mid(at).toHtmlEscaped();
      break;
    }
    html += excerpt.mid(at, open - at).toHtmlEscaped();
    html += QStringLiteral("<span style=\"background-color:#ffd54f\">") +
            excerpt.mid(open + 2, close - open - 2).toHtmlEscaped() + QStringLiteral("</span>");
    at = close + 2;
  }
  return html;
}

PreviewDialog::PreviewDialog(QWidget* parent, const QString& tableName,
                             const journal::Preview& preview, const QString& find,
                             const QString& replace)
    : QDialog(parent) {
  setObjectName(QStringLiteral("PreviewDialog"));
  setWindowTitle(QStringLiteral("预览替换 - ") + tableName);
  auto* layout = new QVBoxLayout(this);
  summary_ = new QLabel(summaryText(preview), this);
  summary_->setObjectName(QStringLiteral("PreviewSummary"));
  layout->addWidget(summary_);
  rows_ = new QTableWidget(this);
  rows_->setObjectName(QStringLiteral("PreviewRows"));
  rows_->setColumnCount(4);
  rows_->setHorizontalHeaderLabels({QStringLiteral("主键"), QStringLiteral("字段"),
                                    QStringLiteral("替换前"), QStringLiteral("替换后")});
  rows_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  const std::string f = find.toStdString(), r = replace.toStdString();
  for (const auto& row : preview.rows) {
    QStringList key;
    for (const auto& v : row.identity) key << (v ? fromUtf8(*v) : QStringLiteral("NULL"));
    const QString keyText =
        preview.byValue ? QStringLiteral("(按值)") : key.join(QStringLiteral(", "));
    for (const auto& change : row.changes) {
      const int at = rows_->rowCount();
      rows_->insertRow(at);
      rows_->setItem(at, 0, new QTableWidgetItem(keyText));
      rows_->setItem(at, 1, new QTableWidgetItem(fromUtf8(change.column)));
      const QString before = fromUtf8(journal::excerpt(change.before, f, kContext));
      const QString after = fromUtf8(journal::excerpt(change.after, r, kContext));
      int column = 2;
      for (const QString& text : {before, after}) {
        auto* item = new QTableWidgetItem(text);
        rows_->setItem(at, column, item);
        auto* label = new QLabel(highlighted(text));
        label->setTextFormat(Qt::RichText);
        rows_->setCellWidget(at, column, label);
        ++column;
      }
    }
  }
  rows_->horizontalHeader()->setStretchLastSection(true);
  rows_->resizeColumnsToContents();
  layout->addWidget(rows_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(900, 480);
}

}  // namespace trellick::app
