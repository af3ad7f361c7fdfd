// Thin RAII wrappers over ODBC handles and the diagnostic records that
// every failure carries.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
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

// All diagnostic records attached to a handle. wide: read them through the
// wide call, which a Unicode driver answers without the driver manager's
// conversion to the process locale.
std::vector<DiagRecord> readDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle,
                                        bool wide = false);

// Throws an error of our own, not the driver's, with its SQLSTATE.
[[noreturn]] void fail(const std::string& state, const std::string& message);

// Throws the error of using a connection that is not open.
[[noreturn]] void failConnectionNotOpen();

// Throws DbError with the handle's diagnostics unless rc succeeded.
void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context,
           bool wide = false);

// Whether the error says the connection itself is gone (SQLSTATE class 08).
bool isConnectionLost(const DbError& error);

// Owns one ODBC handle and frees it on every path.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  OdbcHandle(SQLSMALLINT type, SQLHANDLE parent, const std::string& context);
  ~OdbcHandle() { reset(); }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;
  OdbcHandle(OdbcHandle&& other) noexcept;
  OdbcHandle& operator=(OdbcHandle&& other) noexcept;

  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
  void reset();

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// The process-wide ODBC 3 environment.
SQLHENV environment();

}  // namespace trellick::db
