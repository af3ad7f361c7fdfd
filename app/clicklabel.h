// A label that reports clicks, for the close crosses and the web link.
#pragma once

#include <QLabel>
#include <QMouseEvent>

namespace trellick::app {

class ClickLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
      emit clicked();
    QLabel::mouseReleaseEvent(event);
  }
};

}  // namespace trellick::app
