// UTF-8, the text of the whole program below the window, and the UTF-16
// that wide ODBC calls take.
#pragma once

#include <string>
#include <string_view>

namespace trellick {

// Decodes the code point at s[k] and moves k past it; a malformed sequence
// gives U+FFFD and leaves the offending byte to the next call.
inline char32_t nextCodePoint(std::string_view s, size_t& k) {
  const unsigned char c = static_cast<unsigned char>(s[k++]);
  if (c < 0x80) return c;
  const int extra = (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
  if (extra < 0) return 0xFFFD;
  char32_t cp = c & (0x3F >> extra);
  for (int e = 0; e < extra; ++e) {
    if (k >= s.size() || (static_cast<unsigned char>(s[k]) >> 6) != 0x2) return 0xFFFD;
    cp = (cp << 6) | (static_cast<unsigned char>(s[k++]) & 0x3F);
  }
  return cp;
}

// Equal but for the case of ASCII letters.
inline bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

inline bool hasNonAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

inline std::u16string utf8ToUtf16(std::string_view in) {
  std::u16string out;
  for (size_t k = 0; k < in.size();) {
    char32_t cp = nextCodePoint(in, k);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

inline void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A lone surrogate becomes U+FFFD.
inline std::string utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t k = 0; k < in.size(); ++k) {
    // A run of ASCII, most of what a database holds, is copied at once
    // instead of a character at a time.
    if (in[k] < 0x80) {
      size_t end = k + 1;
      while (end < in.size() && in[end] < 0x80) ++end;
      const size_t at = out.size();
      out.resize(at + (end - k));
      for (size_t j = k; j < end; ++j) out[at + (j - k)] = static_cast<char>(in[j]);
      k = end - 1;
      continue;
    }
    char32_t cp = in[k];
    if (cp >= 0xD800 && cp <= 0xDBFF && k + 1 < in.size() && in[k + 1] >= 0xDC00 &&
        in[k + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[k + 1] - 0xDC00);
      ++k;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    appendUtf8(out, cp);
  }
  return out;
}

}  // namespace trellick
