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
  // Our own messages are in the window's language; the command line
  // speaks English and is given `english` for the one record.
  DbError(std::string context, std::vector<DiagRecord> records, std::string english);
  const std::vector<DiagRecord>& records() const { return records_; }
  const std::string& description() const { return description_; }
  bool hasSqlState(const std::string& state) const;
  // description() with the English of our own messages, each record once
  // (FreeTDS gives the same record more than once).
  std::string englishDescription() const;
  // The records as englishDescription() says them.
  std::vector<DiagRecord> englishRecords() const;

 private:
  std::vector<DiagRecord> records_;
  std::string description_;
  std::string english_;
};

std::string formatDescription(const std::string& context, const std::vector<DiagRecord>& records);

// Throws an error of our own, not the driver's, with its SQLSTATE.
[[noreturn]] void fail(const std::string& state, const std::string& message);
// The same with the message's English for the command line.
[[noreturn]] void fail(const std::string& state, const std::string& message,
                       const std::string& english);

// Throws the error of using a connection that is not open.
[[noreturn]] void failConnectionNotOpen();

// Whether the error says the connection itself is gone (SQLSTATE class 08,
// or the server ending the session: 57P01, 57P02, 57P03).
bool isConnectionLost(const DbError& error);

}  // namespace trellick::db
