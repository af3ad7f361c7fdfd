#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <new>

#include "transform/encoded.h"
#include "transform/literal_run.h"
#include "transform/make_rewriter.h"
#include "transform/structured.h"

namespace trellick::transform {

namespace {

// Serialized strings holding serialized data, this deep at most.
constexpr int kMaxNesting = 64;

// Thrown while rewriting one value; the value is then left untouched.
struct LeftUntouched {
  std::string reason;
};

std::string pcreMessage(int code) {
  PCRE2_UCHAR buffer[256];
  const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
  return n < 0 ? "error " + std::to_string(code) : reinterpret_cast<const char*>(buffer);
}

struct CodeFree {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct ContextFree {
  void operator()(pcre2_match_context* c) const { pcre2_match_context_free(c); }
};
using Code = std::unique_ptr<pcre2_code, CodeFree>;
using MatchContext = std::unique_ptr<pcre2_match_context, ContextFree>;

// One per thread, grown to the largest pattern seen, so a value costs no
// allocation for its matches.
pcre2_match_data* matchData(std::uint32_t pairs) {
  struct Cache {
    pcre2_match_data* data = nullptr;
    std::uint32_t pairs = 0;
    ~Cache() { pcre2_match_data_free(data); }
  };
  thread_local Cache cache;
  if (cache.pairs < pairs) {
    pcre2_match_data_free(cache.data);
    cache.data = pcre2_match_data_create(pairs, nullptr);
    cache.pairs = cache.data ? pairs : 0;
    if (!cache.data) throw std::bad_alloc();
  }
  return cache.data;
}

// One pair, ready to apply: writes `in` with its matches replaced to `out`
// and returns how many it replaced; leaves `out` alone when none.
class PairMatcher {
 public:
  virtual ~PairMatcher() = default;
  virtual long long apply(std::string_view in, std::string& out, unsigned& forms) const = 0;
};

// Case-sensitive literal texts: the standard library's search, no PCRE2.
class LiteralMatcher final : public PairMatcher {
 public:
  explicit LiteralMatcher(std::vector<EncodedForm> forms) : forms_(std::move(forms)) {}

  long long apply(std::string_view in, std::string& out, unsigned& forms) const override {
    constexpr auto npos = std::string_view::npos;
    if (forms_.size() == 1) return applyOne(in, out, forms);
    std::vector<std::size_t> next(forms_.size());
    for (std::size_t k = 0; k < forms_.size(); ++k) next[k] = in.find(forms_[k].find);
    long long n = 0;
    std::size_t last = 0;
    for (;;) {
      // The leftmost match; at one place the longest form, then the first.
      std::size_t best = npos;
      for (std::size_t k = 0; k < forms_.size(); ++k) {
        if (next[k] == npos) continue;
        if (best == npos || next[k] < next[best] ||
            (next[k] == next[best] && forms_[k].find.size() > forms_[best].find.size()))
          best = k;
      }
      if (best == npos) break;
      if (n++ == 0) {
        out.clear();
        out.reserve(in.size() + forms_[best].replace.size());
      }
      out.append(in.substr(last, next[best] - last));
      out += forms_[best].replace;
      forms |= forms_[best].form;
      last = next[best] + forms_[best].find.size();
      for (std::size_t k = 0; k < forms_.size(); ++k)
        if (next[k] != npos && next[k] < last) next[k] = in.find(forms_[k].find, last);
    }
    if (n > 0) out.append(in.substr(last));
    return n;
  }

 private:
  // The common case, without the bookkeeping of several forms.
  long long applyOne(std::string_view in, std::string& out, unsigned& forms) const {
    const EncodedForm& f = forms_.front();
    std::size_t at = in.find(f.find);
    if (at == std::string_view::npos) return 0;
    out.clear();
    out.reserve(in.size() + f.replace.size());
    long long n = 0;
    std::size_t last = 0;
    for (; at != std::string_view::npos; at = in.find(f.find, last), ++n) {
      out.append(in.substr(last, at - last));
      out += f.replace;
      last = at + f.find.size();
    }
    out.append(in.substr(last));
    forms |= f.form;
    return n;
  }

  std::vector<EncodedForm> forms_;
};

// What a replacement is made of: text, and groups of the match.
struct Piece {
  std::string text;
  std::uint32_t group = 0;
  bool isGroup = false;
};

// Patterns, and literal texts matched without regard to case.
class PcreMatcher final : public PairMatcher {
 public:
  // A pattern and its replacement.
  PcreMatcher(const Pair& pair, std::size_t index, bool caseless,
              const pcre2_match_context* context)
      : context_(context), notEmpty_(PCRE2_NOTEMPTY) {
    compile(pair.find, index, caseless);
    std::size_t minLength = 0;
    pcre2_pattern_info(code_.get(), PCRE2_INFO_MINLENGTH, &minLength);
    if (minLength == 0)
      throw PatternError("pattern \"" + pair.find +
                             "\" can match an empty text: make it match at least one character",
                         index, 0);
    parseReplacement(pair, index);
  }

  // Literal forms, one capture group each, longest first so that at one
  // place the longest form wins.
  PcreMatcher(std::vector<EncodedForm> forms, std::size_t index, const pcre2_match_context* context)
      : context_(context), notEmpty_(0), forms_(std::move(forms)) {
    std::stable_sort(forms_.begin(), forms_.end(),
                     [](const auto& a, const auto& b) { return a.find.size() > b.find.size(); });
    std::string pattern;
    for (const EncodedForm& f : forms_) {
      if (!pattern.empty()) pattern += '|';
      pattern += '(';
      for (const char c : f.find) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                          (c >= 'A' && c <= 'Z') || c == '_'))
          pattern += '\\';
        pattern += c;
      }
      pattern += ')';
    }
    compile(pattern, index, true);
  }

  long long apply(std::string_view in, std::string& out, unsigned& forms) const override {
    pcre2_match_data* data = matchData(groups_ + 1);
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(in.data());
    long long n = 0;
    std::size_t start = 0;
    std::size_t last = 0;
    while (start <= in.size()) {
      auto* context = const_cast<pcre2_match_context*>(context_);
      int rc = pcre2_match(code_.get(), subject, in.size(), start, notEmpty_, data, context);
      // The compiled code's small stack is no reason to give up: the
      // interpreter, under the same limits, has its own.
      if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
        rc = pcre2_match(code_.get(), subject, in.size(), start, notEmpty_ | PCRE2_NO_JIT, data,
                         context);
      if (rc == PCRE2_ERROR_NOMATCH) break;
      if (rc == PCRE2_ERROR_MATCHLIMIT) throw LeftUntouched{std::string(kMatchLimit)};
      if (rc < 0) throw LeftUntouched{"pattern matching failed: " + pcreMessage(rc)};
      const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
      const std::size_t begin = std::max<std::size_t>(ov[0], last);
      const std::size_t end = std::max<std::size_t>(ov[1], begin);
      if (n++ == 0) {
        out.clear();
        out.reserve(in.size() + 16);
      }
      out.append(in.substr(last, begin - last));
      if (forms_.empty()) {
        forms |= kPlainBit;
        for (const Piece& p : pieces_) {
          if (!p.isGroup) {
            out += p.text;
          } else if (p.group < static_cast<std::uint32_t>(rc) && ov[2 * p.group] != PCRE2_UNSET) {
            out.append(in.substr(ov[2 * p.group], ov[2 * p.group + 1] - ov[2 * p.group]));
          }
        }
      } else {
        for (std::uint32_t g = 1; g < static_cast<std::uint32_t>(rc); ++g) {
          if (ov[2 * g] == PCRE2_UNSET) continue;
          out += forms_[g - 1].replace;
          forms |= forms_[g - 1].form;
          break;
        }
      }
      last = end;
      // An empty match cannot come (refused, and PCRE2_NOTEMPTY), but
      // never search from the same place twice.
      if (end > start) {
        start = end;
      } else {
        ++start;
        while (start < in.size() && (static_cast<unsigned char>(in[start]) & 0xC0) == 0x80) ++start;
      }
    }
    if (n > 0) out.append(in.substr(last));
    return n;
  }

 private:
  void compile(const std::string& pattern, std::size_t index, bool caseless) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    // \C could cut a character in two and leave text that is not UTF-8.
    const std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF |
                                  PCRE2_NEVER_BACKSLASH_C | (caseless ? PCRE2_CASELESS : 0);
    code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                              &error, &offset, nullptr));
    if (!code_)
      throw PatternError("pattern \"" + pattern + "\" does not compile at offset " +
                             std::to_string(offset) + ": " + pcreMessage(error),
                         index, offset);
    pcre2_jit_compile(code_.get(), PCRE2_JIT_COMPLETE);  // falls back to the interpreter
    pcre2_pattern_info(code_.get(), PCRE2_INFO_CAPTURECOUNT, &groups_);
  }

  void parseReplacement(const Pair& pair, std::size_t index) {
    const std::string& r = pair.replace;
    auto fail = [&](std::size_t at, const std::string& why) {
      throw PatternError("replacement \"" + r + "\" at offset " + std::to_string(at) + ": " + why,
                         index, at);
    };
    auto addGroup = [&](std::uint32_t g, std::size_t at) {
      if (g > groups_)
        fail(at, "the pattern has no group " + std::to_string(g) + " (it has " +
                     std::to_string(groups_) + ")");
      pieces_.push_back({{}, g, true});
    };
    std::string text;
    for (std::size_t i = 0; i < r.size(); ++i) {
      if (r[i] != '$') {
        text += r[i];
        continue;
      }
      const std::size_t at = i;
      if (i + 1 < r.size() && r[i + 1] == '$') {
        text += '$';
        ++i;
        continue;
      }
      if (!text.empty()) pieces_.push_back({std::move(text), 0, false});
      text.clear();
      if (i + 1 < r.size() && r[i + 1] >= '0' && r[i + 1] <= '9') {
        addGroup(static_cast<std::uint32_t>(r[++i] - '0'), at);
      } else if (i + 1 < r.size() && r[i + 1] == '{') {
        const std::size_t close = r.find('}', i + 2);
        if (close == std::string::npos) fail(at, "\"${\" is not closed by \"}\"");
        const std::string name = r.substr(i + 2, close - i - 2);
        if (name.empty()) fail(at, "\"${}\" names no group");
        if (std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
          addGroup(name.size() > 5 ? groups_ + 1 : static_cast<std::uint32_t>(std::stoul(name)),
                   at);
        } else {
          const int g = pcre2_substring_number_from_name(
              code_.get(), reinterpret_cast<PCRE2_SPTR>(name.c_str()));
          if (g < 0) fail(at, "the pattern has no group named \"" + name + "\"");
          addGroup(static_cast<std::uint32_t>(g), at);
        }
        i = close;
      } else {
        fail(at, "\"$\" must be followed by a group number, {name} or another \"$\"");
      }
    }
    if (!text.empty()) pieces_.push_back({std::move(text), 0, false});
  }

  Code code_;
  const pcre2_match_context* context_;
  std::uint32_t notEmpty_;
  std::uint32_t groups_ = 0;
  std::vector<Piece> pieces_;
  std::vector<EncodedForm> forms_;
};

std::vector<std::string> formNames(unsigned bits) {
  std::vector<std::string> names;
  if (bits & kPlainBit) names.emplace_back(kFormPlain);
  if (bits & kJsonBit) names.emplace_back(kFormJson);
  if (bits & kUrlBit) names.emplace_back(kFormUrl);
  if (bits & kHtmlBit) names.emplace_back(kFormHtml);
  return names;
}

// Hints that hold another hint add nothing: a value holding them holds the
// shorter one too.
std::vector<std::string> minimalHints(std::vector<std::string> hints) {
  std::sort(hints.begin(), hints.end(), [](const auto& a, const auto& b) {
    return a.size() < b.size() || (a.size() == b.size() && a < b);
  });
  hints.erase(std::unique(hints.begin(), hints.end()), hints.end());
  std::vector<std::string> kept;
  for (const std::string& h : hints) {
    if (std::none_of(kept.begin(), kept.end(),
                     [&](const std::string& k) { return h.find(k) != std::string::npos; }))
      kept.push_back(h);
  }
  return kept;
}

class RewriterImpl final : public Rewriter {
 public:
  explicit RewriterImpl(const Options& options) : options_(options) {
    if (options.pairs.empty()) throw std::invalid_argument("no text to find");
    if (options.regex && options.alsoEncoded)
      throw std::invalid_argument(
          "encoded forms are looked for with literal texts only, not patterns");
    context_.reset(pcre2_match_context_create(nullptr));
    if (!context_) throw std::bad_alloc();
    pcre2_set_match_limit(context_.get(), options.matchLimit);
    std::vector<std::string> hints;
    bool everyRow = false;
    for (std::size_t k = 0; k < options.pairs.size(); ++k) {
      const Pair& pair = options.pairs[k];
      if (pair.find.empty())
        throw std::invalid_argument(options.pairs.size() == 1
                                        ? std::string("the text to find is empty")
                                        : "the text to find of pair " + std::to_string(k + 1) +
                                              " is empty");
      std::vector<std::string> texts;
      if (options.regex) {
        matchers_.push_back(
            std::make_unique<PcreMatcher>(pair, k, options.ignoreCase, context_.get()));
        const std::string run = longestLiteralRun(pair.find);
        if (run.empty()) everyRow = true;
        texts.push_back(run);
      } else {
        auto forms = encodedForms(pair.find, pair.replace, options.alsoEncoded, options.ignoreCase);
        for (const EncodedForm& f : forms) texts.push_back(f.find);
        if (options.ignoreCase)
          matchers_.push_back(std::make_unique<PcreMatcher>(std::move(forms), k, context_.get()));
        else
          matchers_.push_back(std::make_unique<LiteralMatcher>(std::move(forms)));
      }
      for (const std::string& t : texts) {
        hints.push_back(t);
        // A JSON document holds its strings escaped.
        if (options.json)
          for (std::string& v : jsonVariants(t)) hints.push_back(std::move(v));
      }
    }
    if (!everyRow) hints_ = minimalHints(std::move(hints));
    if (options.regex && !options.ignoreCase && !options.json)
      for (const Pair& pair : options.pairs) patterns_.push_back(pair.find);
  }

  std::optional<Rewritten> rewrite(std::string_view value, Untouched* untouched) const override {
    if (untouched) untouched->reason.clear();  // one object may serve many values
    Tally tally;
    std::string out;
    try {
      bool hit = false;
      if (options_.json) {
        const StringEdit values = [&](std::string_view in, std::string& o) {
          return editString(in, o, tally, 0);
        };
        switch (rewriteJsonStrings(value, values, options_.jsonKeys ? &values : nullptr, out)) {
          case Structured::Changed:
            hit = true;
            break;
          case Structured::Unchanged:
            break;
          case Structured::Invalid:
            if (plainMatches(value)) throw LeftUntouched{std::string(kNotJson)};
            break;
          case Structured::Unwritable:
            throw LeftUntouched{std::string(kJsonNotWritable)};
        }
      } else {
        hit = editString(value, out, tally, 0);
      }
      if (!hit) return std::nullopt;
    } catch (const LeftUntouched& e) {
      if (untouched) untouched->reason = e.reason;
      return std::nullopt;
    }
    return Rewritten{std::move(out), tally.occurrences, formNames(tally.forms)};
  }

  std::vector<std::string> literalHints() const override { return hints_; }
  bool ignoreCase() const override { return options_.ignoreCase; }
  std::vector<std::string> patternHints() const override { return patterns_; }

 private:
  struct Tally {
    long long occurrences = 0;
    unsigned forms = 0;
  };

  // Every pair in order over a plain text.
  bool applyPairs(std::string_view in, std::string& out, Tally& tally) const {
    std::string current;
    std::string next;
    std::string_view source = in;
    bool any = false;
    for (const auto& m : matchers_) {
      const long long n = m->apply(source, next, tally.forms);
      if (n == 0) continue;
      tally.occurrences += n;
      current.swap(next);
      source = current;
      any = true;
    }
    if (any) out = std::move(current);
    return any;
  }

  bool plainMatches(std::string_view in) const {
    Tally ignored;
    std::string scratch;
    return applyPairs(in, scratch, ignored);
  }

  // A plain value, or a string inside structured data, which may itself
  // hold serialized data.
  bool editString(std::string_view in, std::string& out, Tally& tally, int depth) const {
    if (!options_.serialized || !looksSerialized(in)) return applyPairs(in, out, tally);
    const StringEdit values = [&](std::string_view s, std::string& o) {
      return editString(s, o, tally, depth + 1);
    };
    const Structured r =
        depth > kMaxNesting
            ? Structured::Invalid
            : rewriteSerialized(in, values, options_.serializedKeys ? &values : nullptr, out);
    if (r == Structured::Changed) return true;
    // Rewriting it as plain text would break it for good: only tell.
    if (r != Structured::Unchanged && plainMatches(in))
      throw LeftUntouched{std::string(kNotSerialized)};
    return false;
  }

  Options options_;
  MatchContext context_;
  std::vector<std::unique_ptr<PairMatcher>> matchers_;
  std::vector<std::string> hints_;
  std::vector<std::string> patterns_;
};

}  // namespace

std::unique_ptr<Rewriter> makeRewriter(const Options& options) {
  return std::make_unique<RewriterImpl>(options);
}

}  // namespace trellick::transform
