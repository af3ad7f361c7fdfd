// What a value becomes: the row rewriter's side of a replace, where one
// literal text in one UPDATE is not enough (patterns, several pairs, encoded
// forms, serialized data, JSON). Pure functions of a value: no database.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellick::transform {

// One rewrite of one value.
struct Rewritten {
  std::string value;               // the new value
  long long occurrences = 0;       // matches replaced in it
  std::vector<std::string> forms;  // which forms matched ("plain", "json", "url", "html")
};

// Why a value was left as it was although it looked like it needed work.
struct Untouched {
  std::string reason;  // e.g. "could not be parsed as serialized data"
};

class Rewriter {
 public:
  virtual ~Rewriter() = default;
  // The value rewritten; nullopt when nothing in it matches. A value that
  // looks like structured data (serialized, JSON) but does not parse is
  // left alone: nullopt, with `untouched` set when given.
  virtual std::optional<Rewritten> rewrite(std::string_view value,
                                           Untouched* untouched = nullptr) const = 0;
  // Texts every matching value holds at least one of, for the server to
  // choose the rows that may match (a LIKE each); empty when nothing
  // literal is known and every row must be read.
  virtual std::vector<std::string> literalHints() const = 0;
  // Whether the hints are matched without regard to case.
  virtual bool ignoreCase() const { return false; }
  // PCRE2 patterns one of which every matching value holds a match of, for
  // an engine with regular expressions of its own to choose the rows by;
  // empty when there are none (literal texts, case ignored, JSON documents,
  // whose strings are held escaped).
  virtual std::vector<std::string> patternHints() const { return {}; }
};

}  // namespace trellick::transform
