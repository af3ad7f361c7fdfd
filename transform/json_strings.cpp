#include <nlohmann/json.hpp>

#include "common/utf8.h"
#include "transform/encoded.h"
#include "transform/structured.h"

namespace trellick::transform {

namespace {

unsigned hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

// The text of a string token of a valid document (quotes excluded), and
// the style it was written in, so an edited string reads like its
// neighbours.
std::string decode(std::string_view token, JsonStyle& style) {
  std::string out;
  out.reserve(token.size());
  bool lowerHex = false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '\\') {
      out += token[i];
      continue;
    }
    const char e = token[++i];
    switch (e) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '/':
        style.slash = true;
        out += '/';
        break;
      case 'u': {
        auto unit = [&](std::size_t at) {
          unsigned v = 0;
          for (std::size_t k = 0; k < 4; ++k) {
            const char h = token[at + k];
            if (h >= 'a' && h <= 'f') lowerHex = true;
            if (h >= 'A' && h <= 'F') style.upperHex = true;
            v = v * 16 + hexValue(h);
          }
          return v;
        };
        char32_t cp = unit(i + 1);
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {  // the parser checked the pair
          cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 3) - 0xDC00);
          i += 6;
        }
        if (cp >= 0x80) style.unicode = true;
        appendUtf8(out, cp);
        break;
      }
      default:
        out += e;  // " and backslash
    }
  }
  if (lowerHex) style.upperHex = false;
  return out;
}

}  // namespace

Structured rewriteJsonStrings(std::string_view document, const StringEdit& values,
                              const StringEdit* keys, std::string& out) {
  if (!nlohmann::json::accept(document.begin(), document.end())) return Structured::Invalid;
  std::string result;
  std::size_t copied = 0;
  std::string edited;
  bool changed = false;
  for (std::size_t i = 0; i < document.size(); ++i) {
    if (document[i] != '"') continue;
    std::size_t end = i + 1;
    while (document[end] != '"') end += document[end] == '\\' ? 2 : 1;
    std::size_t after = end + 1;
    while (after < document.size() && (document[after] == ' ' || document[after] == '\t' ||
                                       document[after] == '\n' || document[after] == '\r'))
      ++after;
    const bool key = after < document.size() && document[after] == ':';
    const std::size_t begin = i;
    i = end;
    if (key && !keys) continue;
    JsonStyle style;
    const std::string text = decode(document.substr(begin + 1, end - begin - 1), style);
    edited.clear();
    if (!(key ? *keys : values)(text, edited)) continue;
    const auto encoded = jsonEscape(edited, style);
    if (!encoded) return Structured::Unwritable;
    changed = true;
    result.append(document.substr(copied, begin + 1 - copied));
    result += *encoded;
    copied = end;
  }
  if (!changed) return Structured::Unchanged;
  result.append(document.substr(copied));
  if (!nlohmann::json::accept(result)) return Structured::Unwritable;
  out = std::move(result);
  return Structured::Changed;
}

}  // namespace trellick::transform
