#include "app/preview_dialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QVBoxLayout>

namespace trellick::app {
namespace {

QString fromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Excerpts keep this many characters either side of an occurrence.
constexpr int kContext = 30;
// The key and column name never take more than this of the width: the
// values need it.
constexpr int kNarrowColumnMax = 160;
const QColor kOccurrence(0xff, 0xd5, 0x4f);

// Draws a before or after cell once: its excerpt on one line, the
// occurrences on a highlight, cut with "…" where the cell ends. The item's
// own text is not drawn, so nothing is painted over anything else.
class ExcerptDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    opt.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const QString text = index.data(PreviewDialog::kPlainRole).toString();
    const QVariantList marks = index.data(PreviewDialog::kMarksRole).toList();
    QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    area.adjust(margin, 0, -margin, 0);
    if (area.width() <= 0) return;

    painter->save();
    painter->setClipRect(area);
    painter->setFont(opt.font);
    const QFontMetrics fm(opt.font);
    const QPalette::ColorGroup group =
        opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    const QColor ink = opt.palette.color(
        group, opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text);
    const int top = area.top() + (area.height() - fm.height()) / 2;
    const int baseline = top + fm.ascent();

    // Plain and highlighted runs in order.
    struct Run {
      qsizetype from, length;
      bool occurrence;
    };
    std::vector<Run> runs;
    qsizetype at = 0;
    for (const QVariant& m : marks) {
      const QPoint range = m.toPoint();
      if (range.x() > at) runs.push_back({at, range.x() - at, false});
      runs.push_back({range.x(), range.y(), true});
      at = range.x() + range.y();
    }
    if (at < text.size()) runs.push_back({at, text.size() - at, false});

    int x = area.left();
    const int right = area.right() + 1;
    for (const Run& run : runs) {
      QString piece = text.mid(run.from, run.length);
      int width = fm.horizontalAdvance(piece);
      const bool cut = x + width > right;
      if (cut) {
        piece = fm.elidedText(piece, Qt::ElideRight, right - x);
        width = fm.horizontalAdvance(piece);
      }
      if (run.occurrence && !piece.isEmpty()) {
        painter->fillRect(QRect(x, top, width, fm.height()), kOccurrence);
        painter->setPen(Qt::black);
      } else {
        painter->setPen(ink);
      }
      if (!piece.isEmpty()) painter->drawText(QPoint(x, baseline), piece);
      x += width;
      if (cut) break;
    }
    painter->restore();
  }
};

// A read-only, wrapped, scrollable view of one whole value.
QPlainTextEdit* valueView(QWidget* parent, const char* name) {
  auto* view = new QPlainTextEdit(parent);
  view->setObjectName(QString::fromLatin1(name));
  view->setReadOnly(true);
  view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  view->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  return view;
}

// The value whole in `view`, every occurrence of `mark` highlighted.
void showValue(QPlainTextEdit* view, const QString& value, const QString& mark) {
  view->setPlainText(value);
  QList<QTextEdit::ExtraSelection> found;
  if (!mark.isEmpty()) {
    QTextDocument* doc = view->document();
    QTextCharFormat format;
    format.setBackground(kOccurrence);
    format.setForeground(Qt::black);
    for (QTextCursor c = doc->find(mark, 0, QTextDocument::FindCaseSensitively); !c.isNull();
         c = doc->find(mark, c, QTextDocument::FindCaseSensitively))
      found.append({c, format});
  }
  view->setExtraSelections(found);
  view->moveCursor(QTextCursor::Start);
}

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

QString PreviewDialog::plainExcerpt(const QString& excerpt, const QString& mark,
                                    QList<QPoint>* ranges) {
  // Only "[[" mark "]]" is an occurrence: brackets of the value itself stay
  // text.
  const QString marked = QStringLiteral("[[") + mark + QStringLiteral("]]");
  QString out;
  out.reserve(excerpt.size());
  qsizetype at = 0;
  while (at < excerpt.size()) {
    if (!mark.isEmpty() && excerpt.mid(at, marked.size()) == marked) {
      if (ranges) ranges->append(QPoint(int(out.size()), int(mark.size())));
      out += mark;
      at += marked.size();
      continue;
    }
    out += excerpt.at(at);
    ++at;
  }
  // One line per cell; each break or tab stays one character, so the
  // ranges hold.
  for (QChar& c : out) {
    if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
      c = QChar(0x21B5);
    else if (c == QLatin1Char('\t'))
      c = QLatin1Char(' ');
  }
  return out;
}

PreviewDialog::PreviewDialog(QWidget* parent, const QString& tableName,
                             const journal::Preview& preview, const QString& find,
                             const QString& replace)
    : QDialog(parent), find_(find), replace_(replace) {
  setObjectName(QStringLiteral("PreviewDialog"));
  setWindowTitle(QStringLiteral("预览替换 - ") + tableName);
  auto* layout = new QVBoxLayout(this);
  summary_ = new QLabel(summaryText(preview), this);
  summary_->setObjectName(QStringLiteral("PreviewSummary"));
  summary_->setWordWrap(true);
  layout->addWidget(summary_);

  rows_ = new QTableWidget(this);
  rows_->setObjectName(QStringLiteral("PreviewRows"));
  rows_->setColumnCount(4);
  rows_->setHorizontalHeaderLabels({QStringLiteral("主键"), QStringLiteral("字段"),
                                    QStringLiteral("替换前"), QStringLiteral("替换后")});
  rows_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  rows_->setSelectionBehavior(QAbstractItemView::SelectRows);
  rows_->setSelectionMode(QAbstractItemView::SingleSelection);
  rows_->setWordWrap(false);
  rows_->setTextElideMode(Qt::ElideRight);
  // Tab leaves the table for the whole values; arrows move in it.
  rows_->setTabKeyNavigation(false);
  rows_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  auto* excerpts = new ExcerptDelegate(rows_);
  rows_->setItemDelegateForColumn(2, excerpts);
  rows_->setItemDelegateForColumn(3, excerpts);

  const std::string f = find.toStdString(), r = replace.toStdString();
  for (const auto& row : preview.rows) {
    QStringList key;
    for (const auto& v : row.identity) key << (v ? fromUtf8(*v) : QStringLiteral("NULL"));
    const QString keyText =
        preview.byValue ? QStringLiteral("(按值)") : key.join(QStringLiteral(", "));
    for (const auto& change : row.changes) {
      const int at = rows_->rowCount();
      rows_->insertRow(at);
      auto* keyItem = new QTableWidgetItem(keyText);
      keyItem->setToolTip(keyText);
      rows_->setItem(at, 0, keyItem);
      rows_->setItem(at, 1, new QTableWidgetItem(fromUtf8(change.column)));
      const std::pair<std::string, const QString*> sides[] = {
          {journal::excerpt(change.before, f, kContext), &find},
          {journal::excerpt(change.after, r, kContext), &replace}};
      int column = 2;
      for (const auto& [text, mark] : sides) {
        const QString shown = fromUtf8(text);
        QList<QPoint> ranges;
        const QString plain = plainExcerpt(shown, *mark, &ranges);
        QVariantList marks;
        for (const QPoint& p : ranges) marks.append(p);
        auto* item = new QTableWidgetItem(shown);
        item->setData(kPlainRole, plain);
        item->setData(kMarksRole, marks);
        rows_->setItem(at, column++, item);
      }
      values_.emplace_back(fromUtf8(change.before), fromUtf8(change.after));
    }
  }
  // The values share what the key and column name leave.
  QHeaderView* header = rows_->horizontalHeader();
  for (int c : {0, 1}) {
    rows_->resizeColumnToContents(c);
    header->setSectionResizeMode(c, QHeaderView::Interactive);
    rows_->setColumnWidth(c, std::min(rows_->columnWidth(c), kNarrowColumnMax));
  }
  header->setSectionResizeMode(2, QHeaderView::Stretch);
  header->setSectionResizeMode(3, QHeaderView::Stretch);

  // Below the table, the current row's whole values side by side.
  auto* detail = new QWidget(this);
  detail->setObjectName(QStringLiteral("PreviewDetail"));
  auto* sides = new QHBoxLayout(detail);
  sides->setContentsMargins(0, 0, 0, 0);
  before_ = valueView(detail, "PreviewBefore");
  after_ = valueView(detail, "PreviewAfter");
  for (auto [caption, view] : {std::pair{QStringLiteral("替换前"), before_},
                               std::pair{QStringLiteral("替换后"), after_}}) {
    auto* column = new QVBoxLayout;
    auto* label = new QLabel(caption, detail);
    label->setBuddy(view);
    column->addWidget(label);
    column->addWidget(view);
    sides->addLayout(column, 1);
  }
  auto* split = new QSplitter(Qt::Vertical, this);
  split->setObjectName(QStringLiteral("PreviewSplit"));
  split->addWidget(rows_);
  split->addWidget(detail);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  split->setChildrenCollapsible(false);
  layout->addWidget(split, 1);

  connect(rows_, &QTableWidget::currentCellChanged, this,
          [this](int row, int, int, int) { showDetail(row); });

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  setTabOrder(rows_, before_);
  setTabOrder(before_, after_);
  setTabOrder(after_, buttons);

  if (rows_->rowCount() > 0) rows_->setCurrentCell(0, 2);
  rows_->setFocus();
  resize(900, 560);
}

void PreviewDialog::showDetail(int row) {
  if (row < 0 || row >= static_cast<int>(values_.size())) {
    before_->clear();
    after_->clear();
    return;
  }
  showValue(before_, values_[size_t(row)].first, find_);
  showValue(after_, values_[size_t(row)].second, replace_);
}

}  // namespace trellick::app
