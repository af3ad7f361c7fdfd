// The window's boxes answered for a benchmark: yes to every question,
// events processed when the window yields, as the desktop's Ui takes them.
// Each yield and box is timed, and a yield that painted anything is marked,
// for the account of where the window's time goes.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QStringList>
#include <vector>

#include "app/ui.h"
#include "bench/timing.h"

namespace trellick::bench {

struct Yield {
  Clock::time_point start, end;
  bool painted = false;
};

class BenchUi : public trellick::app::DesktopUi {
 public:
  BenchUi() { QCoreApplication::instance()->installEventFilter(&paints_); }
  ~BenchUi() override { QCoreApplication::instance()->removeEventFilter(&paints_); }
  int MsgBox(QWidget*, const QString& prompt, int style, const QString&) override {
    prompts.append(prompt);
    boxes.push_back(Clock::now());
    return (style & 7) == trellick::app::vbYesNo ? trellick::app::vbYes : trellick::app::vbOK;
  }
  void ShellOpen(const QString&) override {}
  void DoEvents() override {
    const long before = paints_.paints;
    const Clock::time_point start = Clock::now();
    // As the desktop takes them, which also times its DoEventsSoon.
    DesktopUi::DoEvents();
    yields.push_back({start, Clock::now(), paints_.paints != before});
  }
  void End() override {}
  QStringList prompts;
  std::vector<Yield> yields;
  std::vector<Clock::time_point> boxes;  // when each was shown

 private:
  struct PaintCount : QObject {
    long paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++paints;
      return false;
    }
  } paints_;
};

}  // namespace trellick::bench
