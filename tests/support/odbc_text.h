// Text for and from the wide ODBC calls: the tests keep their text in UTF-8
// and hand the driver UTF-16.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>

#include "common/utf8.h"

namespace testsupport {

// The product's own conversions, named once here for the tests.
inline std::u16string toUtf16(std::string_view utf8) { return trellick::utf8ToUtf16(utf8); }
inline std::string toUtf8(std::u16string_view utf16) { return trellick::utf16ToUtf8(utf16); }

// UTF-8 made into a NUL-terminated SQLWCHAR buffer; a temporary lives until
// the end of the call it is passed to.
class Wide {
 public:
  explicit Wide(std::string_view utf8) : text_(toUtf16(utf8)) {}
  explicit Wide(std::u16string text) : text_(std::move(text)) {}
  operator SQLWCHAR*() { return reinterpret_cast<SQLWCHAR*>(text_.data()); }
  // Length in UTF-16 code units.
  SQLSMALLINT units() const { return SQLSMALLINT(text_.size()); }
  SQLLEN bytes() const { return SQLLEN(text_.size() * sizeof(SQLWCHAR)); }

 private:
  std::u16string text_;
};

inline std::u16string utf16(const SQLWCHAR* s, size_t units) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), units);
}

// The first `units` UTF-16 code units (up to the terminator when npos) as UTF-8.
inline std::string fromWide(const SQLWCHAR* s, size_t units = std::u16string::npos) {
  if (units == std::u16string::npos) {
    units = 0;
    while (s[units] != 0) ++units;
  }
  return toUtf8(utf16(s, units));
}

}  // namespace testsupport
