// The encoded forms a text takes when applications store it inside JSON,
// URLs or HTML.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellick::transform {

struct JsonStyle {
  bool slash = false;     // "/" written "\/"
  bool unicode = false;   // non-ASCII written "\uXXXX"
  bool upperHex = false;  // "\u00E9" rather than "\u00e9"
};

// The text as the inside of a JSON string; nullopt when `unicode` is asked
// for and the text is not valid UTF-8.
std::optional<std::string> jsonEscape(std::string_view text, JsonStyle style);
// Percent-encoding of every byte but A-Z a-z 0-9 - _ . ~
std::string urlEncode(std::string_view text, bool plusForSpace, bool upperHex);
// & < > " and ' as entities; non-ASCII as decimal entities when asked for
// (nullopt then when the text is not valid UTF-8).
std::optional<std::string> htmlEscape(std::string_view text, std::string_view apostrophe,
                                      bool numericNonAscii);

enum FormBit : unsigned { kPlainBit = 1, kJsonBit = 2, kUrlBit = 4, kHtmlBit = 8 };

struct EncodedForm {
  FormBit form;
  std::string find;
  std::string replace;
};

// The plain pair first, then (with `encoded`) each encoded form whose find
// differs from those before it. Upper- and lower-case hex variants are both
// given unless the search ignores case anyway.
std::vector<EncodedForm> encodedForms(std::string_view find, std::string_view replace, bool encoded,
                                      bool caseless);
// The JSON-escaped variants of a text (not the text itself), as found in
// the raw text of JSON documents.
std::vector<std::string> jsonVariants(std::string_view text);

// Decodes one UTF-8 code point at `i`, advancing it; false on a bad sequence.
bool nextCodePoint(std::string_view s, std::size_t& i, char32_t& cp);

}  // namespace trellick::transform
