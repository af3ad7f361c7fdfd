// The window's boxes answered for a benchmark: yes to every question,
// events processed when the window yields.
#pragma once

#include <QCoreApplication>
#include <QStringList>

#include "app/ui.h"

namespace trellick::bench {

class BenchUi : public trellick::app::Ui {
 public:
  int MsgBox(QWidget*, const QString& prompt, int style, const QString&) override {
    prompts.append(prompt);
    return (style & 7) == trellick::app::vbYesNo ? trellick::app::vbYes : trellick::app::vbOK;
  }
  void ShellOpen(const QString&) override {}
  void DoEvents() override { QCoreApplication::processEvents(); }
  void End() override {}
  QStringList prompts;
};

}  // namespace trellick::bench
