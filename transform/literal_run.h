#pragma once

#include <string>
#include <string_view>

namespace trellick::transform {

// The longest text every match of a PCRE2 pattern holds, found by reading
// the pattern's top level only; empty when there is none or the pattern
// has an alternative at its top level. Anything not understood ends a run,
// so the answer may be short but never wrong.
std::string longestLiteralRun(std::string_view pattern);

}  // namespace trellick::transform
