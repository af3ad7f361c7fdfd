// A text box that, without the focus, shows a text too long for it with its
// middle left out (a path's start and its file name both stay in view), and
// the whole text in its tool tip. With the focus it edits as any other.
#pragma once

#include <QLineEdit>
#include <QString>

namespace trellick::app {

class FieldEdit : public QLineEdit {
 public:
  explicit FieldEdit(QWidget* parent = nullptr);

  // The tool tip while the whole text fits; under a cut text's whole text
  // otherwise.
  void setHelp(const QString& help);
  const QString& help() const { return help_; }
  // What the box shows while it does not have the focus.
  QString shownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  QRect textArea() const;
  bool cut() const;
  void updateTip();

  QString help_;
};

}  // namespace trellick::app
