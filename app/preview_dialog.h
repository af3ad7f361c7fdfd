// The rows a replace of one table would change, before anything is
// written: each changed column's value before and after, long values
// around each occurrence, the occurrence highlighted.
#pragma once

#include <QDialog>
#include <QString>

#include "journal/changes.h"

class QLabel;
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
  // An excerpt's "[[...]]" marks as highlighted HTML, the rest escaped.
  static QString highlighted(const QString& excerpt);

 private:
  QTableWidget* rows_ = nullptr;
  QLabel* summary_ = nullptr;
};

}  // namespace trellick::app
