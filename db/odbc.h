// Thin RAII wrappers over ODBC handles, and reading their diagnostic
// records. Only the database layer's own sources include it.
#pragma once

#ifdef _WIN32
#include <windows.h>  // <sql.h> takes its types from it
#endif

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>
#include <vector>

#include "db/error.h"

namespace trellick::db {

// All diagnostic records attached to a handle. wide: read them through the
// wide call, which a Unicode driver answers without the driver manager's
// conversion to the process locale.
std::vector<DiagRecord> readDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle,
                                        bool wide = false);

// Throws DbError with the handle's diagnostics unless rc succeeded.
void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context,
           bool wide = false);

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
  // Forgets the handle without freeing it: a connection given up while a
  // cancel may still use its handles keeps them.
  void forget() { handle_ = SQL_NULL_HANDLE; }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// A text for a wide call: its UTF-16, of size() units, and past them in its
// buffer a NUL unit for each unit a driver may take for two. MariaDB's
// driver measures a wide text by the low byte of each unit: one of 0xD8 to
// 0xDB (站 is U+7AD9) it takes for the first of a surrogate pair, and it
// reads a unit past the given length for each. What lies there would go
// with the text: a lone surrogate fails the statement (22018), other
// memory may reach the server. NULs end it where it ends; a driver that
// measures rightly never reads them.
class WideText {
 public:
  explicit WideText(std::string_view utf8);
  SQLWCHAR* data() { return reinterpret_cast<SQLWCHAR*>(units_.data()); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The units handed over, the NULs past them included.
  const std::u16string& buffer() const { return units_; }

 private:
  std::u16string units_;
  size_t size_ = 0;
};

// The process-wide ODBC 3 environment.
SQLHENV environment();

}  // namespace trellick::db
