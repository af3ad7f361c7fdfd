// The rows a replace of one table would change, before anything is
// written: each changed column's value before and after, long values
// around each occurrence, the occurrence highlighted, and the whole value
// of the current row below the table.
#pragma once

#include <QDialog>
#include <QList>
#include <QPoint>
#include <QString>
#include <vector>

#include "journal/changes.h"

class QLabel;
class QPlainTextEdit;
class QTableWidget;

namespace trellick::app {

class PreviewDialog : public QDialog {
 public:
  PreviewDialog(QWidget* parent, const QString& tableName, const journal::Preview& preview,
                const QString& find, const QString& replace);

  QTableWidget* rows() const { return rows_; }
  QLabel* summary() const { return summary_; }

  // The summary line: how many records the replace changes, how many are
  // shown, and whether the table is undone by value.
  static QString summaryText(const journal::Preview& preview);

  // The before and after cells hold the excerpt as the command line prints
  // it (display role); what is drawn is the excerpt without its marks, on
  // one line, with the occurrences as (start, length) ranges.
  static constexpr int kPlainRole = Qt::UserRole + 1;
  static constexpr int kMarksRole = Qt::UserRole + 2;
  // An excerpt of `mark` read back: the text without the "[[mark]]" marks
  // (line breaks and tabs shown as one character each) and the ranges the
  // occurrences take in it.
  static QString plainExcerpt(const QString& excerpt, const QString& mark, QList<QPoint>* ranges);

  QPlainTextEdit* before() const { return before_; }
  QPlainTextEdit* after() const { return after_; }

 private:
  // The whole values of a table row in the detail pane.
  void showDetail(int row);

  QTableWidget* rows_ = nullptr;
  QLabel* summary_ = nullptr;
  QPlainTextEdit* before_ = nullptr;
  QPlainTextEdit* after_ = nullptr;
  QString find_, replace_;
  // Per table row, the whole values before and after.
  std::vector<std::pair<QString, QString>> values_;
};

}  // namespace trellick::app
