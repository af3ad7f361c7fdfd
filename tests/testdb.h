// Test databases: SQLite files made and read with the SQLite C library
// directly, so that checks do not go through the code under test.
#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace testdb {

// Runs a script of statements on the file (creating it); aborts the test
// program on a SQL error, since the fixture itself is then broken.
void exec(const std::string& path, const std::string& sql);

// Every row of a query, values as text ("<NULL>" for null).
std::vector<std::vector<std::string>> query(const std::string& path, const std::string& sql);

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
