// Everything modal or outside the window goes through this interface:
// message boxes, the web-link opener, yielding and ending the program.
// Tests replace it to script the answers and see every box.
#pragma once

#include <QElapsedTimer>
#include <QString>

class QDialog;
class QWidget;

namespace trellick::app {

// Message box styles: buttons in the low bits, the icon above them.
enum MsgBoxStyle : int {
  vbOKOnly = 0,
  vbOKCancel = 1,
  vbYesNoCancel = 3,
  vbYesNo = 4,
  vbCritical = 16,
  vbQuestion = 32,
  vbExclamation = 48,
  vbInformation = 64,
};

enum MsgBoxResult : int { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

class Ui {
 public:
  virtual ~Ui() = default;
  // title is never empty here: the window puts in the application's title.
  virtual int MsgBox(QWidget* parent, const QString& prompt, int style, const QString& title) = 0;
  virtual void ShellOpen(const QString& url) = 0;
  // Processes all pending window events, clicks included.
  virtual void DoEvents() = 0;
  // Terminates the program at once.
  virtual void End() = 0;
  // Shows a dialog of the window modally; its result.
  virtual int Exec(QDialog& dialog);
  // A yield that follows another by a moment, with nothing done between
  // but the window's own captions (the yields after each column of a
  // table): the events may be left to the next yield. Processes them here.
  virtual void DoEventsSoon() { DoEvents(); }
};

class DesktopUi : public Ui {
 public:
  int MsgBox(QWidget* parent, const QString& prompt, int style, const QString& title) override;
  void ShellOpen(const QString& url) override;
  void DoEvents() override;
  void End() override;
  // Takes the events unless a yield took them less than kSoonMs ago: each
  // call costs about as much as the database's work for a column of a
  // small table, and the yield after the table, which always takes them,
  // follows within the table's count.
  void DoEventsSoon() override;
  static constexpr qint64 kSoonMs = 5;

 private:
  QElapsedTimer lastTaken_;
};

}  // namespace trellick::app
