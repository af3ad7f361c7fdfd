// The failures of the database layer: every diagnostic record the driver
// gave, as an operator reads them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace trellick::db {

struct DiagRecord {
  std::string sqlstate;
  long nativeError = 0;
  std::string message;
};

// A failed database operation. description() is the text an operator sees:
// every diagnostic record of the driver, SQLSTATE first, one per line.
class DbError : public std::runtime_error {
 public:
  DbError(std::string context, std::vector<DiagRecord> records);
  const std::vector<DiagRecord>& records() const { return records_; }
  const std::string& description() const { return description_; }
  bool hasSqlState(const std::string& state) const;

 private:
  std::vector<DiagRecord> records_;
  std::string description_;
};

std::string formatDescription(const std::string& context, const std::vector<DiagRecord>& records);

// Throws an error of our own, not the driver's, with its SQLSTATE.
[[noreturn]] void fail(const std::string& state, const std::string& message);

// Throws the error of using a connection that is not open.
[[noreturn]] void failConnectionNotOpen();

// Whether the error says the connection itself is gone (SQLSTATE class 08).
bool isConnectionLost(const DbError& error);

}  // namespace trellick::db
