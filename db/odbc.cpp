#include "db/odbc.h"

#include <algorithm>
#include <utility>

#include "common/utf8.h"

namespace trellick::db {

std::string formatDescription(const std::string& context, const std::vector<DiagRecord>& records) {
  if (records.empty()) return context + ": no diagnostic from the driver";
  std::string text;
  for (const auto& r : records) {
    if (!text.empty()) text += "\n";
    text += r.sqlstate + " " + r.message;
  }
  return text;
}

DbError::DbError(std::string context, std::vector<DiagRecord> records)
    : std::runtime_error(formatDescription(context, records)),
      records_(std::move(records)),
      description_(std::runtime_error::what()) {}

DbError::DbError(std::string context, std::vector<DiagRecord> records, std::string english)
    : DbError(std::move(context), std::move(records)) {
  english_ = std::move(english);
}

std::string DbError::englishDescription() const {
  const std::vector<DiagRecord> records = englishRecords();
  return records.empty() ? description_ : formatDescription({}, records);
}

std::vector<DiagRecord> DbError::englishRecords() const {
  if (!english_.empty() && records_.size() == 1)
    return {{records_[0].sqlstate, records_[0].nativeError, english_}};
  std::vector<DiagRecord> records;
  for (const DiagRecord& r : records_) {
    const bool seen = std::any_of(records.begin(), records.end(), [&](const DiagRecord& o) {
      return o.sqlstate == r.sqlstate && o.message == r.message;
    });
    if (!seen) records.push_back(r);
  }
  return records;
}

bool DbError::hasSqlState(const std::string& state) const {
  for (const auto& r : records_)
    if (r.sqlstate == state) return true;
  return false;
}

std::vector<DiagRecord> readDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, bool wide) {
  std::vector<DiagRecord> out;
  if (handle == SQL_NULL_HANDLE) return out;
  for (SQLSMALLINT i = 1;; ++i) {
    DiagRecord r;
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLRETURN rc;
    if (wide) {
      SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {0};
      std::u16string msg(1024, u'\0');
      auto call = [&] {
        return SQLGetDiagRecW(handleType, handle, i, state, &native,
                              reinterpret_cast<SQLWCHAR*>(msg.data()),
                              static_cast<SQLSMALLINT>(msg.size()), &len);
      };
      rc = call();
      if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(msg.size())) {
        msg.assign(static_cast<size_t>(len) + 1, u'\0');
        rc = call();
      }
      if (!SQL_SUCCEEDED(rc)) break;
      msg.resize(std::min<size_t>(static_cast<size_t>(len), msg.size() - 1));
      for (SQLWCHAR c : state)
        if (c) r.sqlstate += static_cast<char>(c);
      r.message = utf16ToUtf8(msg);
    } else {
      SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {0};
      std::vector<SQLCHAR> msg(1024);
      rc = SQLGetDiagRec(handleType, handle, i, state, &native, msg.data(),
                         static_cast<SQLSMALLINT>(msg.size()), &len);
      if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(msg.size())) {
        msg.resize(static_cast<size_t>(len) + 1);
        rc = SQLGetDiagRec(handleType, handle, i, state, &native, msg.data(),
                           static_cast<SQLSMALLINT>(msg.size()), &len);
      }
      if (!SQL_SUCCEEDED(rc)) break;
      r.sqlstate = reinterpret_cast<const char*>(state);
      r.message.assign(reinterpret_cast<const char*>(msg.data()),
                       std::min<size_t>(static_cast<size_t>(len), msg.size() - 1));
    }
    r.nativeError = native;
    out.push_back(std::move(r));
  }
  return out;
}

bool isConnectionLost(const DbError& error) {
  // PostgreSQL ends a session itself with class 57 states, closing it as
  // it tells: terminated by an operator or a fast shutdown (57P01), ended
  // for another backend's crash (57P02), or not taken while the server
  // starts or stops (57P03).
  for (const auto& r : error.records())
    if (r.sqlstate.rfind("08", 0) == 0 || r.sqlstate == "57P01" || r.sqlstate == "57P02" ||
        r.sqlstate == "57P03")
      return true;
  return false;
}

void fail(const std::string& state, const std::string& message) {
  throw DbError(message, {{state, 0, message}});
}

void fail(const std::string& state, const std::string& message, const std::string& english) {
  throw DbError(message, {{state, 0, message}}, english);
}

void failConnectionNotOpen() {
  fail("3709",
       "The connection cannot be used to perform this operation. It is either closed or invalid "
       "in this context.");
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context,
           bool wide) {
  if (SQL_SUCCEEDED(rc)) return;
  auto records = readDiagnostics(handleType, handle, wide);
  if (rc == SQL_INVALID_HANDLE) records.push_back({"HY000", 0, context + ": invalid handle"});
  throw DbError(context, std::move(records));
}

OdbcHandle::OdbcHandle(SQLSMALLINT type, SQLHANDLE parent, const std::string& context)
    : type_(type) {
  SQLRETURN rc = SQLAllocHandle(type, parent, &handle_);
  if (!SQL_SUCCEEDED(rc)) {
    handle_ = SQL_NULL_HANDLE;
    SQLSMALLINT parentType = type == SQL_HANDLE_STMT ? SQL_HANDLE_DBC : SQL_HANDLE_ENV;
    throw DbError(context, readDiagnostics(parentType, parent));
  }
}

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
  if (this != &other) {
    reset();
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void OdbcHandle::reset() {
  if (handle_ != SQL_NULL_HANDLE) {
    SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
  }
}

WideText::WideText(std::string_view utf8) : units_(utf8ToUtf16(utf8)), size_(units_.size()) {
  const auto miscounted = std::count_if(units_.begin(), units_.end(),
                                        [](char16_t unit) { return (unit & 0xFC) == 0xD8; });
  units_.append(static_cast<size_t>(miscounted), u'\0');
}

SQLHENV environment() {
  static OdbcHandle env = [] {
    OdbcHandle h(SQL_HANDLE_ENV, SQL_NULL_HANDLE, "allocate the ODBC environment");
    check(SQLSetEnvAttr(h.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                        0),
          SQL_HANDLE_ENV, h.get(), "set ODBC version 3");
    return h;
  }();
  return static_cast<SQLHENV>(env.get());
}

}  // namespace trellick::db
