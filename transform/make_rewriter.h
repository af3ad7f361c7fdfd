// Building a Rewriter from what the operator asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "transform/rewriter.h"

namespace trellick::transform {

// One text to find and what it becomes.
struct Pair {
  std::string find;
  std::string replace;
};

struct Options {
  // Applied in order to each value (and to each string of structured data).
  std::vector<Pair> pairs;
  // Finds are PCRE2 patterns (UTF-8, Unicode classes, \w and \b Unicode
  // too); replacements take $0..$9, ${n}, ${name} and $$ for a dollar. An
  // empty match is never taken, so a pattern that needs a character to be
  // there but matches none ("(?=a)") replaces nothing.
  bool regex = false;
  bool ignoreCase = false;
  // Literal finds only: also find the JSON-escaped, URL-encoded and HTML
  // entity forms, each replaced by the replacement encoded the same way.
  bool alsoEncoded = false;
  // A value that starts like PHP-serialized data is rewritten inside it.
  bool serialized = true;
  bool serializedKeys = false;
  // Each value is a JSON document: only its strings are rewritten.
  bool json = false;
  bool jsonKeys = false;
  // PCRE2's match limit per search, so a pattern that backtracks without
  // end is stopped and told instead of hanging. PCRE2's own default.
  std::uint32_t matchLimit = 10'000'000;
};

// A pattern or a replacement that cannot be used: where and why.
class PatternError : public std::invalid_argument {
 public:
  PatternError(const std::string& what, std::size_t pair, std::size_t offset)
      : std::invalid_argument(what), pair_(pair), offset_(offset) {}
  std::size_t pair() const { return pair_; }      // 0-based index into Options::pairs
  std::size_t offset() const { return offset_; }  // bytes into the pattern or replacement

 private:
  std::size_t pair_;
  std::size_t offset_;
};

// Throws PatternError for a pattern that does not compile, a pattern that
// matches an empty subject's worth of text (PCRE2's minimum subject length
// 0: "x*", "^", "\b"; refused, it would put the replacement between every
// two characters), or a replacement naming a group the pattern lacks;
// std::invalid_argument for an empty find, no pairs, or encoded forms asked
// for with patterns.
// rewrite() gives a value whenever something matched, even when the
// replacement left it as it was; it may be called from several threads at
// once. Patterns apply to each string of structured data on its own, so
// "^" and "$" are that string's ends.
std::unique_ptr<Rewriter> makeRewriter(const Options& options);

// The reasons a value is left untouched, as Untouched::reason holds them.
inline constexpr std::string_view kNotSerialized = "could not be parsed as serialized data";
inline constexpr std::string_view kNotJson = "could not be parsed as JSON";
inline constexpr std::string_view kJsonNotWritable = "would not be valid JSON after the replace";
inline constexpr std::string_view kMatchLimit = "pattern match limit reached";

// The forms Rewritten::forms names.
inline constexpr std::string_view kFormPlain = "plain";
inline constexpr std::string_view kFormJson = "json";
inline constexpr std::string_view kFormUrl = "url";
inline constexpr std::string_view kFormHtml = "html";

}  // namespace trellick::transform
