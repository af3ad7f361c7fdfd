// Rewriting the strings inside structured values (PHP-serialized data,
// JSON documents) and nothing else, so the structure stays valid.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace trellick::transform {

// Edits one string: true, with `out` set, when it matched.
using StringEdit = std::function<bool(std::string_view in, std::string& out)>;

enum class Structured {
  Unchanged,   // parsed, no string matched
  Changed,     // `out` holds the value rewritten
  Invalid,     // does not parse
  Unwritable,  // parsed, but the rewritten value would not be valid
};

// Whether a value starts like PHP-serialized data: a type letter, a colon
// and what that type takes next (a digit, a sign), or "N;".
bool looksSerialized(std::string_view value);
// Strings are written back with their byte lengths; everything else is
// kept byte for byte. Keys are edited only when `keys` is given.
Structured rewriteSerialized(std::string_view value, const StringEdit& values,
                             const StringEdit* keys, std::string& out);
// Strings are decoded, edited and encoded again in the style they were
// written in (escaped slashes, \u escapes); everything else is kept byte
// for byte.
Structured rewriteJsonStrings(std::string_view document, const StringEdit& values,
                              const StringEdit* keys, std::string& out);

}  // namespace trellick::transform
