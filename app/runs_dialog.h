// The runs of one database an undo can take back, newest first, to choose
// one: when, what it replaced, how many tables and rows it changed, and
// whether it was undone and by which run.
#pragma once

#include <QDialog>
#include <vector>

#include "journal/journal.h"

class QTableWidget;

namespace trellick::app {

class RunsDialog : public QDialog {
 public:
  // `runs` newest first; a run that changed no rows is not listed. The
  // newest run an undo takes by default is selected.
  RunsDialog(QWidget* parent, const std::vector<journal::RunEntry>& runs);

  QTableWidget* runs() const { return runs_; }
  // The run of the selected row; 0 when none is selected.
  long long chosen() const;
  // Whether any run is listed.
  bool empty() const;

 private:
  QTableWidget* runs_ = nullptr;
  std::vector<long long> ids_;
};

}  // namespace trellick::app
