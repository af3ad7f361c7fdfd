// The SQLite test files (support/sqlite_file.h) with a Qt temporary directory,
// for the Qt tests.
#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <string>

#include "support/sqlite_file.h"

namespace testdb {

// Sends a signal to the child while it runs. Once it has ended its pid is
// 0, and kill(0, ...) would signal the whole process group: the test and
// whatever runs it. Returns whether the signal was sent.
bool signalChild(const QProcess& child, int signal);

// A fresh directory for one test's files.
class Dir {
 public:
  Dir();
  std::string file(const std::string& name) const;
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
};

}  // namespace testdb
