#include "app/field_edit.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace trellick::app {
namespace {

// The line edit's own space between its contents rectangle and the text.
constexpr int kTextMargin = 2;
// A tool tip is a window on the screen: a longer text is shown with its
// middle left out there too.
constexpr qsizetype kTipMax = 2000;

}  // namespace

FieldEdit::FieldEdit(QWidget* parent) : QLineEdit(parent) {
  connect(this, &QLineEdit::textChanged, this, [this] { updateTip(); });
}

void FieldEdit::setHelp(const QString& help) {
  help_ = help;
  updateTip();
}

QRect FieldEdit::textArea() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  return style()
      ->subElementRect(QStyle::SE_LineEditContents, &option, this)
      .marginsRemoved(textMargins())
      .adjusted(kTextMargin, 0, -kTextMargin, 0);
}

bool FieldEdit::cut() const {
  if (echoMode() != QLineEdit::Normal) return false;
  return fontMetrics().horizontalAdvance(text()) > textArea().width();
}

QString FieldEdit::shownText() const {
  if (hasFocus() || !cut()) return text();
  return fontMetrics().elidedText(text(), Qt::ElideMiddle, textArea().width());
}

void FieldEdit::updateTip() {
  if (!cut()) {
    setToolTip(help_);
    return;
  }
  QString whole = text();
  if (whole.size() > kTipMax)
    whole = whole.left(kTipMax / 2) + QStringLiteral("…") + whole.right(kTipMax / 2);
  setToolTip(help_.isEmpty() ? whole : whole + QStringLiteral("\n\n") + help_);
}

void FieldEdit::paintEvent(QPaintEvent* event) {
  const QString shown = shownText();
  if (shown == text()) {
    QLineEdit::paintEvent(event);
    return;
  }
  // Drawn as the line edit draws itself, with the shortened text.
  QPainter painter(this);
  QStyleOptionFrame option;
  initStyleOption(&option);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
  const QRect area = textArea();
  painter.setClipRect(area);
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, shown);
}

void FieldEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  updateTip();
}

void FieldEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  update();
}

void FieldEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  update();
}

}  // namespace trellick::app
