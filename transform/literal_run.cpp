#include "transform/literal_run.h"

#include <vector>

namespace trellick::transform {

namespace {

bool isAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t charLength(std::string_view p, std::size_t i) {
  const auto b = static_cast<unsigned char>(p[i]);
  std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 4;
  return i + n > p.size() ? p.size() - i : n;
}

// Past the bracket that closes the one at `i`, or the end.
std::size_t skipTo(std::string_view p, std::size_t i, char close) {
  const std::size_t e = p.find(close, i);
  return e == std::string_view::npos ? p.size() : e + 1;
}

// Past a backslash escape that is not a literal character.
std::size_t skipEscape(std::string_view p, std::size_t i) {
  const char e = p[i + 1];
  std::size_t j = i + 2;
  auto at = [&](char c) { return j < p.size() && p[j] == c; };
  switch (e) {
    case 'x':
      if (at('{')) return skipTo(p, j, '}');
      for (int k = 0; k < 2 && j < p.size() && isAlnum(p[j]); ++k) ++j;
      return j;
    case 'o':
    case 'N':
    case 'p':
    case 'P':
      if (at('{')) return skipTo(p, j, '}');
      return (e == 'p' || e == 'P') && j < p.size() ? j + 1 : j;
    case 'g':
    case 'k':
      if (at('{')) return skipTo(p, j, '}');
      if (at('<')) return skipTo(p, j, '>');
      if (at('\'')) return skipTo(p, j + 1, '\'');
      if (at('+') || at('-')) ++j;
      while (j < p.size() && isDigit(p[j])) ++j;
      return j;
    case 'c':
      return j < p.size() ? j + 1 : j;
    default:
      while (isDigit(e) && j < p.size() && isDigit(p[j])) ++j;
      return j;
  }
}

std::size_t skipQuoted(std::string_view p, std::size_t i) {  // at \Q
  const std::size_t e = p.find("\\E", i + 2);
  return e == std::string_view::npos ? p.size() : e + 2;
}

std::size_t skipClass(std::string_view p, std::size_t i) {
  std::size_t j = i + 1;
  if (j < p.size() && p[j] == '^') ++j;
  if (j < p.size() && p[j] == ']') ++j;
  while (j < p.size()) {
    if (p[j] == '\\' && j + 1 < p.size() && p[j + 1] == 'Q') {
      j = skipQuoted(p, j);
    } else if (p[j] == '\\') {
      j += 2;
    } else if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
      const std::size_t e = p.find(":]", j + 2);
      j = e == std::string_view::npos ? p.size() : e + 2;
    } else if (p[j] == ']') {
      return j + 1;
    } else {
      ++j;
    }
  }
  return p.size();
}

std::size_t skipGroup(std::string_view p, std::size_t i) {
  int depth = 0;
  std::size_t j = i;
  while (j < p.size()) {
    const char c = p[j];
    if (c == '\\' && j + 1 < p.size() && p[j + 1] == 'Q') {
      j = skipQuoted(p, j);
    } else if (c == '\\') {
      j += 2;
    } else if (c == '[') {
      j = skipClass(p, j);
    } else if (c == '(' && p.substr(j, 3) == "(?#") {
      j = skipTo(p, j, ')');
    } else if (c == '(') {
      ++depth, ++j;
    } else if (c == ')') {
      ++j;
      if (--depth == 0) return j;
    } else {
      ++j;
    }
  }
  return p.size();
}

// "(?i)", "(?-x)", "(?^)": options for the rest of the pattern.
bool setsOptions(std::string_view p, std::size_t i) {
  if (p.substr(i, 2) != "(?") return false;
  std::size_t j = i + 2;
  while (j < p.size() && ((p[j] >= 'a' && p[j] <= 'z') || (p[j] >= 'A' && p[j] <= 'Z') ||
                          p[j] == '-' || p[j] == '^'))
    ++j;
  return j > i + 2 && j < p.size() && p[j] == ')';
}

// A counted repeat at `i` ("{2}", "{2,}", "{2,5}", "{,5}"): its minimum.
bool countedRepeat(std::string_view p, std::size_t i, std::size_t& end, unsigned long& min) {
  std::size_t j = i + 1;
  min = 0;
  bool digits = false;
  while (j < p.size() && isDigit(p[j])) min = min * 10 + (p[j++] - '0'), digits = true;
  if (j < p.size() && p[j] == ',') {
    ++j;
    while (j < p.size() && isDigit(p[j])) ++j, digits = true;
  }
  if (!digits || j >= p.size() || p[j] != '}') return false;
  end = j + 1;
  return true;
}

}  // namespace

std::string longestLiteralRun(std::string_view p) {
  std::string best;
  std::vector<std::string_view> run;  // one character each
  bool lastLiteral = false;
  auto flush = [&] {
    std::string s;
    for (const auto a : run) s += a;
    if (s.size() > best.size()) best = s;
    run.clear();
    lastLiteral = false;
  };
  auto literal = [&](std::size_t at) {
    const std::size_t n = charLength(p, at);
    run.push_back(p.substr(at, n));
    lastLiteral = true;
    return at + n;
  };
  auto repeat = [&](unsigned long min) {
    if (lastLiteral && min == 0) run.pop_back();
    flush();
  };
  std::size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    if (c == '|') return {};
    if (c == '\\') {
      if (i + 1 >= p.size()) break;
      const char e = p[i + 1];
      if (!isAlnum(e)) {
        i = literal(i + 1);
      } else if (e == 'Q') {
        const std::size_t end = skipQuoted(p, i);
        i += 2;
        while (i < end && p.substr(i, 2) != "\\E") i = literal(i);
        i = end;
      } else {
        flush();
        i = skipEscape(p, i);
      }
    } else if (c == '[') {
      flush();
      i = skipClass(p, i);
    } else if (c == '(') {
      if (setsOptions(p, i)) break;  // case or spacing may change from here
      flush();
      i = skipGroup(p, i);
    } else if (c == '*' || c == '+' || c == '?' || c == '{') {
      std::size_t end = i + 1;
      unsigned long min = c == '+' ? 1 : 0;
      if (c == '{' && !countedRepeat(p, i, end, min)) {
        flush();
        ++i;
        continue;
      }
      repeat(min);
      i = end;
      if (i < p.size() && (p[i] == '?' || p[i] == '+')) ++i;
    } else if (c == '.' || c == '^' || c == '$' || c == ')') {
      flush();
      ++i;
    } else {
      i = literal(i);
    }
  }
  flush();
  return best;
}

}  // namespace trellick::transform
