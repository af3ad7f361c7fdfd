#include <cstddef>
#include <vector>

#include "transform/structured.h"

namespace trellick::transform {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Deeper nesting than this is not data an application wrote.
constexpr int kMaxDepth = 512;

// A string, or the data of a class that serializes itself ("C:"), whose
// length is written back when it changes.
struct StringToken {
  std::size_t begin;    // at the "s", or at the data's length
  std::size_t end;      // after the ";" or the "}"
  std::size_t content;  // first byte of the string or the data
  std::size_t length;
  bool key;
  bool classData;
};

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  bool parse() { return value(0, false) && p_ == s_.size(); }
  const std::vector<StringToken>& strings() const { return strings_; }

 private:
  bool literal(std::string_view t) {
    if (s_.substr(p_, t.size()) != t) return false;
    p_ += t.size();
    return true;
  }
  bool number(std::size_t& n) {
    const std::size_t start = p_;
    n = 0;
    while (p_ < s_.size() && isDigit(s_[p_]) && p_ - start < 18) n = n * 10 + (s_[p_++] - '0');
    return p_ > start && !(p_ < s_.size() && isDigit(s_[p_]));
  }
  bool signedNumber() {
    if (p_ < s_.size() && (s_[p_] == '-' || s_[p_] == '+')) ++p_;
    std::size_t n = 0;
    return number(n);
  }
  bool bytes(std::size_t n) {
    if (n > s_.size() - p_) return false;
    p_ += n;
    return true;
  }
  // "N:" count ":" '"' N bytes '"'
  bool quoted(std::size_t& begin, std::size_t& length) {
    if (!number(length) || !literal(":\"")) return false;
    begin = p_;
    return bytes(length) && literal("\"");
  }
  bool members(int depth, std::size_t count) {
    if (!literal("{")) return false;
    for (std::size_t k = 0; k < count; ++k) {
      if (p_ >= s_.size() || (s_[p_] != 'i' && s_[p_] != 's')) return false;
      if (!value(depth + 1, true) || !value(depth + 1, false)) return false;
    }
    return literal("}");
  }
  bool value(int depth, bool key) {
    if (depth > kMaxDepth || p_ + 1 >= s_.size()) return false;
    const std::size_t begin = p_;
    const char type = s_[p_];
    if (type == 'N') return !key && literal("N;");
    if (s_[p_ + 1] != ':') return false;
    p_ += 2;
    std::size_t n = 0;
    std::size_t content = 0;
    switch (type) {
      case 'b':
        if (key || p_ >= s_.size() || (s_[p_] != '0' && s_[p_] != '1')) return false;
        ++p_;
        return literal(";");
      case 'i':
        return signedNumber() && literal(";");
      case 'd': {
        if (key) return false;
        const std::size_t start = p_;
        while (p_ < s_.size() && s_[p_] != ';') {
          const char c = s_[p_++];
          if (!isDigit(c) && c != '-' && c != '+' && c != '.' && c != 'e' && c != 'E' && c != 'N' &&
              c != 'A' && c != 'I' && c != 'F')
            return false;
        }
        return p_ > start && literal(";");
      }
      case 's':
        if (!quoted(content, n) || !literal(";")) return false;
        strings_.push_back({begin, p_, content, n, key, false});
        return true;
      case 'a':
        return !key && number(n) && literal(":") && members(depth, n);
      case 'O':
        return !key && quoted(content, n) && literal(":") && number(n) && literal(":") &&
               members(depth, n);
      case 'C': {
        if (key || !quoted(content, n) || !literal(":")) return false;
        const std::size_t length = p_;
        if (!number(n) || !literal(":{")) return false;
        content = p_;
        if (!bytes(n) || !literal("}")) return false;
        strings_.push_back({length, p_, content, n, false, true});
        return true;
      }
      case 'E':  // an enumeration case
        return !key && quoted(content, n) && literal(";");
      case 'r':
      case 'R':  // a reference to an earlier value
        return !key && depth > 0 && number(n) && literal(";");
      default:
        return false;
    }
  }

  std::string_view s_;
  std::size_t p_ = 0;
  std::vector<StringToken> strings_;
};

}  // namespace

bool looksSerialized(std::string_view v) {
  if (v.size() < 2) return false;
  if (v[0] == 'N') return v[1] == ';';
  if (v.size() < 3 || v[1] != ':') return false;
  const char t = v[0];
  const char next = v[2];
  switch (t) {
    case 's':
    case 'a':
    case 'O':
    case 'C':
    case 'E':
    case 'i':
      return isDigit(next) || next == '-' || next == '+';
    case 'b':
      return isDigit(next);
    case 'd':
      return isDigit(next) || next == '-' || next == '+' || next == '.' || next == 'N' ||
             next == 'I';
    default:
      return false;
  }
}

Structured rewriteSerialized(std::string_view value, const StringEdit& values,
                             const StringEdit* keys, std::string& out) {
  Parser parser(value);
  if (!parser.parse()) return Structured::Invalid;
  std::string result;
  std::size_t copied = 0;
  std::string edited;
  bool changed = false;
  for (const StringToken& t : parser.strings()) {
    if (t.key && !keys) continue;
    const StringEdit& edit = t.key ? *keys : values;
    edited.clear();
    const std::string_view content = value.substr(t.content, t.length);
    if (!edit(content, edited)) continue;
    // A class's data is its own format: rewritten only when it is
    // serialized data itself, else not at all.
    if (t.classData && !looksSerialized(content)) return Structured::Invalid;
    if (!changed) result.reserve(value.size() + edited.size());
    changed = true;
    result.append(value.substr(copied, t.begin - copied));
    if (t.classData) {
      result += std::to_string(edited.size()) + ":{" + edited + "}";
    } else {
      result += "s:" + std::to_string(edited.size()) + ":\"";
      result += edited;
      result += "\";";
    }
    copied = t.end;
  }
  if (!changed) return Structured::Unchanged;
  result.append(value.substr(copied));
  out = std::move(result);
  return Structured::Changed;
}

}  // namespace trellick::transform
