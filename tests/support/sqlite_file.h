// Test databases: SQLite files made and read with the SQLite C library
// directly, so that checks do not go through the code under test.
#pragma once

#include <string>
#include <vector>

namespace testdb {

// Runs a script of statements on the file (creating it); aborts the test
// program on a SQL error, since the fixture itself is then broken.
void exec(const std::string& path, const std::string& sql);

// Every row of a query, values as text ("<NULL>" for null).
std::vector<std::vector<std::string>> query(const std::string& path, const std::string& sql);

// A count read from a file another process is writing, read-only and
// waiting a second at most for its lock: 0 while it cannot be read yet.
long long countWhileWritten(const std::string& path, const std::string& sql);

}  // namespace testdb
