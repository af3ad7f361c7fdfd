// A Ui whose answers a test queues in advance. Every box is recorded; a box
// that no answer was queued for is recorded as unexpected and answered OK,
// so the test fails instead of hanging.
#pragma once

#include <QList>
#include <QString>
#include <functional>

#include "app/ui.h"

struct RecordedBox {
  QString prompt;
  int style = 0;
  QString title;
};

class ScriptedUi : public trellick::app::Ui {
 public:
  int MsgBox(QWidget* parent, const QString& prompt, int style, const QString& title) override;
  void ShellOpen(const QString& url) override { urls.append(url); }
  void DoEvents() override;
  void End() override { ++endCalls; }
  // Records the dialog as shown and closes it at once.
  int Exec(QDialog& dialog) override;

  // Queue the answer (vbOK, vbYes, vbNo ...) of the next box.
  void expectBox(int answer = trellick::app::vbOK) { answers.append(answer); }
  // Describes every box as "style|title|prompt", one per line, for messages.
  QString describe() const;

  QList<int> answers;
  QList<RecordedBox> boxes;
  QList<RecordedBox> unexpected;
  QList<QString> urls;
  // Every dialog shown, in order, and what each showed.
  QList<QString> dialogTitles;
  std::function<void(QDialog&)> onDialog;
  int endCalls = 0;
  // An unscripted box fails the running test (and is answered OK).
  bool failOnUnexpected = true;
  int yields = 0;
  // Runs at every yield, after pending events are processed.
  std::function<void(int yieldNumber)> onYield;
  // Runs while a box is "open", before it is answered.
  std::function<void(const RecordedBox&)> onBox;
};
