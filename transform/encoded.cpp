#include "transform/encoded.h"

#include <algorithm>
#include <array>

namespace trellick::transform {

bool nextCodePoint(std::string_view s, std::size_t& i, char32_t& cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  char32_t min = 0;
  if (b < 0x80) {
    cp = b;
    ++i;
    return true;
  } else if ((b & 0xE0) == 0xC0) {
    n = 1, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 2, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 3, cp = b & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (i + n >= s.size()) return false;
  for (std::size_t k = 1; k <= n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += n + 1;
  return true;
}

namespace {

void appendHex(std::string& out, unsigned value, int digits, bool upper) {
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int d = digits - 1; d >= 0; --d) out += hex[(value >> (4 * d)) & 0xF];
}

}  // namespace

std::optional<std::string> jsonEscape(std::string_view text, JsonStyle style) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      if (!style.unicode) {
        out += c;
        ++i;
        continue;
      }
      char32_t cp = 0;
      if (!nextCodePoint(text, i, cp)) return std::nullopt;
      auto unit = [&](unsigned v) {
        out += "\\u";
        appendHex(out, v, 4, style.upperHex);
      };
      if (cp >= 0x10000) {
        const char32_t v = cp - 0x10000;
        unit(0xD800 + (v >> 10));
        unit(0xDC00 + (v & 0x3FF));
      } else {
        unit(cp);
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '/':
        out += style.slash ? "\\/" : "/";
        break;
      default:
        if (u < 0x20) {
          out += "\\u";
          appendHex(out, u, 4, style.upperHex);
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string urlEncode(std::string_view text, bool plusForSpace, bool upperHex) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += c;
    } else if (c == ' ' && plusForSpace) {
      out += '+';
    } else {
      out += '%';
      appendHex(out, u, 2, upperHex);
    }
  }
  return out;
}

std::optional<std::string> htmlEscape(std::string_view text, std::string_view apostrophe,
                                      bool numericNonAscii) {
  std::string out;
  out.reserve(text.size() + 16);
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (numericNonAscii && static_cast<unsigned char>(c) >= 0x80) {
      char32_t cp = 0;
      if (!nextCodePoint(text, i, cp)) return std::nullopt;
      out += "&#" + std::to_string(static_cast<unsigned long>(cp)) + ";";
      continue;
    }
    ++i;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += apostrophe;
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// The JSON styles applications write: PHP's default first, then with
// unescaped unicode, unescaped slashes, neither; upper-case hex last.
constexpr std::array<JsonStyle, 6> kJsonStyles = {{{true, true, false},
                                                   {true, false, false},
                                                   {false, true, false},
                                                   {false, false, false},
                                                   {true, true, true},
                                                   {false, true, true}}};

}  // namespace

std::vector<EncodedForm> encodedForms(std::string_view find, std::string_view replace, bool encoded,
                                      bool caseless) {
  std::vector<EncodedForm> forms{{kPlainBit, std::string(find), std::string(replace)}};
  if (!encoded) return forms;
  auto add = [&](FormBit bit, const std::optional<std::string>& f,
                 const std::optional<std::string>& r) {
    if (!f || !r) return;
    const bool known =
        std::any_of(forms.begin(), forms.end(), [&](const EncodedForm& e) { return e.find == *f; });
    if (!known) forms.push_back({bit, *f, *r});
  };
  for (const JsonStyle& s : kJsonStyles) {
    if (caseless && s.upperHex) continue;
    add(kJsonBit, jsonEscape(find, s), jsonEscape(replace, s));
  }
  for (const bool upper : {true, false}) {
    if (caseless && !upper) continue;
    for (const bool plus : {false, true})
      add(kUrlBit, urlEncode(find, plus, upper), urlEncode(replace, plus, upper));
  }
  for (const bool numeric : {false, true}) {
    for (const std::string_view apos : {"&#039;", "&#39;", "&apos;"})
      add(kHtmlBit, htmlEscape(find, apos, numeric), htmlEscape(replace, apos, numeric));
  }
  return forms;
}

std::vector<std::string> jsonVariants(std::string_view text) {
  std::vector<std::string> out;
  for (const JsonStyle& s : kJsonStyles) {
    const auto v = jsonEscape(text, s);
    if (v && *v != text && std::find(out.begin(), out.end(), *v) == out.end()) out.push_back(*v);
  }
  return out;
}

}  // namespace trellick::transform
