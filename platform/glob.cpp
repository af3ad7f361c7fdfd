// Shell patterns matched here rather than by the C library, so that a
// pattern picks the same tables on every system. Bytes, as fnmatch without
// flags in the C locale: "*" and "?" match "/" too, a backslash takes the
// next character as it is, a trailing backslash matches nothing.
#include <bitset>
#include <cctype>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace trellick::platform {
namespace {

struct Token {
  enum Kind { Star, One } kind = One;
  std::bitset<256> accepts;  // One: the bytes it matches
};

bool addClass(std::bitset<256>& set, const std::string& name) {
  int (*test)(int) = nullptr;
  static const std::pair<const char*, int (*)(int)> classes[] = {
      {"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank}, {"cntrl", iscntrl},
      {"digit", isdigit}, {"graph", isgraph}, {"lower", islower}, {"print", isprint},
      {"punct", ispunct}, {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit}};
  for (const auto& [n, f] : classes)
    if (name == n) test = f;
  if (!test) return false;
  // Classes are the C locale's: ASCII only.
  for (int c = 0; c < 128; ++c)
    if (test(c)) set.set(size_t(c));
  return true;
}

enum class Bracket { Read, Literal, Invalid };

// The bracket expression whose "[" is at p[at]; its end (past "]") in
// `end`. Literal when it is not one (no closing "]"): the "[" is then an
// ordinary character; Invalid for an unknown class name, which makes the
// pattern match nothing.
Bracket readBracket(const std::string& p, size_t at, std::bitset<256>& set, size_t& end) {
  size_t j = at + 1;
  bool negate = false;
  if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
    negate = true;
    ++j;
  }
  bool first = true;
  for (;;) {
    if (j >= p.size()) return Bracket::Literal;
    unsigned char c = static_cast<unsigned char>(p[j]);
    if (c == ']' && !first) break;
    first = false;
    if (c == '[' && j + 1 < p.size() && p[j + 1] == ':') {
      // A class name is lower-case letters up to ":]"; anything else there
      // leaves the "[" an ordinary member.
      size_t k = j + 2;
      while (k < p.size() && p[k] >= 'a' && p[k] < 'z') ++k;
      if (k + 1 < p.size() && p[k] == ':' && p[k + 1] == ']') {
        if (!addClass(set, p.substr(j + 2, k - j - 2))) return Bracket::Invalid;
        j = k + 2;
        continue;
      }
    }
    if (c == '\\') {
      if (++j >= p.size()) return Bracket::Literal;
      c = static_cast<unsigned char>(p[j]);
    }
    ++j;
    if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
      size_t k = j + 1;
      if (p[k] == '\\' && ++k >= p.size()) return Bracket::Literal;
      const unsigned char last = static_cast<unsigned char>(p[k]);
      for (unsigned v = c; v <= last; ++v) set.set(v);
      j = k + 1;
      continue;
    }
    set.set(c);
  }
  if (negate) set.flip();
  end = j + 1;
  return Bracket::Read;
}

}  // namespace

bool matchesPattern(const std::string& pattern, const std::string& text) {
  std::vector<Token> tokens;
  for (size_t i = 0; i < pattern.size();) {
    Token t;
    const unsigned char c = static_cast<unsigned char>(pattern[i]);
    if (c == '*') {
      t.kind = Token::Star;
      ++i;
    } else if (c == '?') {
      t.accepts.set();
      ++i;
    } else if (c == '[') {
      std::bitset<256> set;
      size_t end = 0;
      const Bracket b = readBracket(pattern, i, set, end);
      if (b == Bracket::Invalid) return false;
      if (b == Bracket::Read) {
        t.accepts = set;
        i = end;
      } else {
        t.accepts.set('[');
        ++i;
      }
    } else if (c == '\\') {
      if (i + 1 >= pattern.size()) return false;
      t.accepts.set(static_cast<unsigned char>(pattern[i + 1]));
      i += 2;
    } else {
      t.accepts.set(c);
      ++i;
    }
    tokens.push_back(t);
  }
  // Every token but "*" takes one byte, so going back to the last "*" and
  // letting it take one byte more is enough.
  size_t ti = 0, si = 0, starToken = std::string::npos, starText = 0;
  while (si < text.size()) {
    if (ti < tokens.size() && tokens[ti].kind == Token::Star) {
      starToken = ti++;
      starText = si;
    } else if (ti < tokens.size() &&
               tokens[ti].accepts.test(static_cast<unsigned char>(text[si]))) {
      ++ti;
      ++si;
    } else if (starToken != std::string::npos) {
      ti = starToken + 1;
      si = ++starText;
    } else {
      return false;
    }
  }
  while (ti < tokens.size() && tokens[ti].kind == Token::Star) ++ti;
  return ti == tokens.size();
}

}  // namespace trellick::platform
