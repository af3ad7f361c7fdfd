// The rewriter on values alone: serialized data, JSON documents, patterns,
// several pairs and encoded forms. Expected serialized values come from the
// small serializer below, not from the code under test.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "transform/make_rewriter.h"

namespace tt = trellick::transform;

namespace {

// PHP's serialize(), written from its format: lengths are bytes.
std::string S(const std::string& s) { return "s:" + std::to_string(s.size()) + ":\"" + s + "\";"; }
std::string I(long long i) { return "i:" + std::to_string(i) + ";"; }
std::string B(bool b) { return b ? "b:1;" : "b:0;"; }
std::string Nul() { return "N;"; }
using Members = std::vector<std::pair<std::string, std::string>>;
std::string members(const Members& m) {
  std::string out = std::to_string(m.size()) + ":{";
  for (const auto& [k, v] : m) out += k + v;
  return out + "}";
}
std::string A(const Members& m) { return "a:" + members(m); }
std::string O(const std::string& cls, const Members& m) {
  return "O:" + std::to_string(cls.size()) + ":\"" + cls + "\":" + members(m);
}

tt::Options literal(std::string find, std::string replace) {
  tt::Options o;
  o.pairs = {{std::move(find), std::move(replace)}};
  return o;
}
tt::Options pattern(std::string find, std::string replace) {
  tt::Options o = literal(std::move(find), std::move(replace));
  o.regex = true;
  return o;
}

// The value rewritten, or "<none>" with the reason it was left alone.
std::string run(const tt::Options& o, std::string_view value) {
  tt::Untouched why;
  const auto r = tt::makeRewriter(o)->rewrite(value, &why);
  return r ? r->value : "<none:" + why.reason + ">";
}
std::string untouched(std::string_view reason) { return "<none:" + std::string(reason) + ">"; }

const std::string kOld = "http://old.example.com";
const std::string kNew = "https://new.example.org";

}  // namespace

TEST(TransformSerialized, NestedArraysAndObjectsGetTheirLengthsAgain) {
  auto value = [](const std::string& host) {
    return A({{S("siteurl"), S(host + "/")},
              {S("count"), I(3)},
              {S("flags"), A({{I(0), B(true)}, {I(1), Nul()}, {I(2), "d:0.5;"}})},
              {S("post"), O("WP_Post", {{S("guid"), S(host + "/?p=1")},
                                        {S(std::string("\0*\0meta", 8)), A({{I(0), S(host)}})}})}});
  };
  const auto r = tt::makeRewriter(literal(kOld, kNew))->rewrite(value(kOld));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, value(kNew));
  EXPECT_EQ(r->occurrences, 3);
  EXPECT_EQ(r->forms, std::vector<std::string>{"plain"});
  // Without serialized data the text is replaced as it is, lengths stale.
  tt::Options plain = literal(kOld, kNew);
  plain.serialized = false;
  EXPECT_EQ(run(plain, S(kOld)), "s:22:\"" + kNew + "\";");
  EXPECT_EQ(run(literal(kOld, kNew), S(kOld)), S(kNew));
}

TEST(TransformSerialized, QuotesMultiByteTextAndChangedLengths) {
  // Quotes and the format's own signs inside a string are just bytes.
  const std::string tricky = "say \"" + kOld + "\"; s:3:\"x\";}";
  EXPECT_EQ(run(literal(kOld, kNew), A({{I(0), S(tricky)}})),
            A({{I(0), S("say \"" + kNew + "\"; s:3:\"x\";}")}}));
  // Lengths count bytes: "café" is 5 bytes, "théâtre" 10.
  EXPECT_EQ(run(literal("café", "théâtre"), A({{S("lieu"), S("au café ☕")}})),
            A({{S("lieu"), S("au théâtre ☕")}}));
  // Shorter, to nothing, and longer.
  EXPECT_EQ(run(literal("old.example.com", "x.io"), S(kOld)), S("http://x.io"));
  EXPECT_EQ(run(literal("old.", ""), S(kOld)), S("http://example.com"));
  EXPECT_EQ(run(literal("€", "EUR €"), S("5€ or 6€")), S("5EUR € or 6EUR €"));
}

TEST(TransformSerialized, SerializedTwiceIsRewrittenInside) {
  auto widget = [](const std::string& host) {
    return A({{S("widget_text"), S(A({{S("title"), S("Links")}, {S("url"), S(host + "/a")}}))},
              {S("plain"), S(host)}});
  };
  const auto r = tt::makeRewriter(literal(kOld, kNew))->rewrite(widget(kOld));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, widget(kNew));
  EXPECT_EQ(r->occurrences, 2);
  // Three levels deep: a serialized string holding one.
  EXPECT_EQ(run(literal(kOld, kNew), S(S(S(kOld)))), S(S(S(kNew))));
}

TEST(TransformSerialized, KeysOnlyWhenAsked) {
  const std::string value = A({{S(kOld), S(kOld)}, {I(7), S("x")}});
  EXPECT_EQ(run(literal(kOld, kNew), value), A({{S(kOld), S(kNew)}, {I(7), S("x")}}));
  tt::Options keys = literal(kOld, kNew);
  keys.serializedKeys = true;
  EXPECT_EQ(run(keys, value), A({{S(kNew), S(kNew)}, {I(7), S("x")}}));
  // Class names and non-string scalars are never text.
  EXPECT_EQ(run(literal("Post", "Page"), O("Post", {{S("k"), S("Post")}})),
            O("Post", {{S("k"), S("Page")}}));
  EXPECT_EQ(run(literal("5", "6"), A({{I(5), I(5)}, {I(1), "d:5.5;"}})), "<none:>");
}

TEST(TransformSerialized, TruncatedAndCorruptDataIsLeftAndTold) {
  const std::string good = A({{S("url"), S(kOld)}, {S("list"), A({{I(0), S(kOld + "/x")}})}});
  ASSERT_EQ(run(literal(kOld, kNew), good),
            A({{S("url"), S(kNew)}, {S("list"), A({{I(0), S(kNew + "/x")}})}}));
  // Every cut that still holds the text, and one byte too many.
  const std::size_t first = good.find(kOld) + kOld.size();
  for (std::size_t cut = first; cut < good.size(); ++cut)
    EXPECT_EQ(run(literal(kOld, kNew), good.substr(0, cut)), untouched(tt::kNotSerialized))
        << good.substr(0, cut);
  EXPECT_EQ(run(literal(kOld, kNew), good + ";"), untouched(tt::kNotSerialized));
  const std::vector<std::string> corrupt = {
      "s:21:\"" + kOld + "\";",                        // length one short
      "s:23:\"" + kOld + "\";",                        // one long
      "a:2:{i:0;" + S(kOld) + "}",                     // fewer members than counted
      "a:1:{i:0;" + S(kOld) + "i:1;" + S(kOld) + "}",  // more
      "a:1:{i:0;s:22:\"" + kOld + "\"}",               // no ";"
      "a:1:{d:0.5;" + S(kOld) + "}",                   // a key that cannot be one
      "O:4:\"Post\":1:{" + S("u") + S(kOld),           // no "}"
      "s:-1:\"" + kOld + "\";",                        // a length below nothing
      "s:99999999999999999999:\"" + kOld + "\";",
  };
  for (const std::string& c : corrupt)
    EXPECT_EQ(run(literal(kOld, kNew), c), untouched(tt::kNotSerialized)) << c;
  // A string of good data that holds something looking serialized but broken:
  // the whole value is left, never that string rewritten as plain text.
  EXPECT_EQ(run(literal(kOld, kNew), A({{I(0), S("s:99:\"" + kOld + "\";")}, {I(1), S(kOld)}})),
            untouched(tt::kNotSerialized));
  // Broken data without the text is no news: nothing to tell, and a reason
  // told before is not told again.
  const auto r = tt::makeRewriter(literal(kOld, kNew));
  tt::Untouched why;
  EXPECT_FALSE(r->rewrite(S(kOld).substr(0, 29), &why));
  EXPECT_EQ(why.reason, tt::kNotSerialized);
  EXPECT_FALSE(r->rewrite("a:2:{i:0;s:3:\"abc\";", &why));
  EXPECT_EQ(why.reason, "");
  // Text that only starts with a letter and a colon is plain text.
  EXPECT_EQ(run(literal(kOld, kNew), "a: see " + kOld), "a: see " + kNew);
}

TEST(TransformSerialized, ClassDataEnumerationsAndReferences) {
  auto custom = [](const std::string& cls, const std::string& data) {
    return "C:" + std::to_string(cls.size()) + ":\"" + cls + "\":" + std::to_string(data.size()) +
           ":{" + data + "}";
  };
  const std::string e = "E:11:\"Suit:Hearts\";";
  // References and enumeration cases are kept; strings beside them rewritten.
  EXPECT_EQ(
      run(literal(kOld, kNew), A({{I(0), S(kOld)}, {I(1), "r:2;"}, {I(2), e}, {I(3), "R:2;"}})),
      A({{I(0), S(kNew)}, {I(1), "r:2;"}, {I(2), e}, {I(3), "R:2;"}}));
  // A class's own data that is serialized data is rewritten inside, with
  // its length; any other format of its own is left and told.
  EXPECT_EQ(run(literal(kOld, kNew), A({{I(0), custom("Links", A({{I(0), S(kOld)}}))}})),
            A({{I(0), custom("Links", A({{I(0), S(kNew)}}))}}));
  EXPECT_EQ(run(literal(kOld, kNew),
                custom("ArrayObject", "x:i:0;" + A({{I(0), S(kOld)}}) + ";m:a:0:{}")),
            untouched(tt::kNotSerialized));
  EXPECT_EQ(run(literal(kOld, kNew), A({{I(0), custom("Other", "plain")}, {I(1), S(kOld)}})),
            A({{I(0), custom("Other", "plain")}, {I(1), S(kNew)}}));
}

TEST(TransformJson, EscapesAreReadAndWrittenInTheDocumentsStyle) {
  tt::Options o = literal(kOld, kNew);
  o.json = true;
  // Escaped slashes stay escaped; other strings and spacing stay byte for byte.
  EXPECT_EQ(run(o, R"({"url": "http:\/\/old.example.com\/a",  "n": 1.50e3, "x": "a\/b"})"),
            R"({"url": "https:\/\/new.example.org\/a",  "n": 1.50e3, "x": "a\/b"})");
  EXPECT_EQ(run(o, R"(["http://old.example.com"])"), R"(["https://new.example.org"])");
  // \u escapes are decoded for the search, and the style kept.
  tt::Options cafe = literal("café", "théâtre €");
  cafe.json = true;
  EXPECT_EQ(run(cafe, R"({"t":"au caf\u00e9"})"), R"({"t":"au th\u00e9\u00e2tre \u20ac"})");
  EXPECT_EQ(run(cafe, R"({"t":"au caf\u00E9"})"), R"({"t":"au th\u00E9\u00E2tre \u20AC"})");
  EXPECT_EQ(run(cafe, R"({"t":"au café"})"), R"({"t":"au théâtre €"})");
  // Quotes and backslashes in the replacement are escaped.
  tt::Options quote = literal("old", "say \"hi\" \\o/");
  quote.json = true;
  const std::string written = run(quote, R"({"a":"old"})");
  EXPECT_EQ(nlohmann::json::parse(written)["a"], "say \"hi\" \\o/");
}

TEST(TransformJson, NestedDocumentsAndKeys) {
  tt::Options o = literal(kOld, kNew);
  o.json = true;
  const std::string doc =
      R"({"http://old.example.com": {"list": [1, null, true, "http://old.example.com/x",)"
      R"( {"deep": ["http://old.example.com"]}]}})";
  const auto r = tt::makeRewriter(o)->rewrite(doc);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->occurrences, 2);
  const auto parsed = nlohmann::json::parse(r->value);
  EXPECT_EQ(parsed[kOld]["list"][3], kNew + "/x");
  EXPECT_EQ(parsed[kOld]["list"][4]["deep"][0], kNew);
  o.jsonKeys = true;
  const auto keyed = nlohmann::json::parse(run(o, doc));
  EXPECT_TRUE(keyed.contains(kNew));
  EXPECT_FALSE(keyed.contains(kOld));
  // Serialized data inside a JSON string gets its lengths too.
  EXPECT_EQ(nlohmann::json::parse(run(o, nlohmann::json{{"opt", S(kOld)}}.dump()))["opt"], S(kNew));
}

TEST(TransformJson, InvalidDocumentsAreLeftAndTold) {
  tt::Options o = literal(kOld, kNew);
  o.json = true;
  for (const std::string doc :
       {R"({"u": "http://old.example.com")", R"({'u': 'http://old.example.com'})",
        R"(["http://old.example.com",])", R"("http://old.example.com" x)", "http://old.example.com",
        R"(["http://old.example.com\x"])"})
    EXPECT_EQ(run(o, doc), untouched(tt::kNotJson)) << doc;
  EXPECT_EQ(run(o, R"({"u": "other")"), "<none:>");
  EXPECT_EQ(run(o, R"({"u": "other"})"), "<none:>");
}

TEST(TransformRegex, GroupsNamedGroupsAndDollars) {
  EXPECT_EQ(run(pattern(R"((\w+)@old\.example\.com)", "$1@new.example.org"),
                "ann@old.example.com, bob@old.example.com"),
            "ann@new.example.org, bob@new.example.org");
  EXPECT_EQ(run(pattern(R"((?<user>\w+)@(?<host>[a-z.]+))", "${host}/~${user} $$5 $0 ${1}"),
                "mail ann@x.org"),
            "mail x.org/~ann $5 ann@x.org ann");
  // An optional group that did not take part gives nothing.
  EXPECT_EQ(run(pattern("a(b)?c", "[$1]"), "ac abc"), "[] [b]");
  for (const std::string bad : {"$2", "${nope}", "$x", "${1", "${}"}) {
    try {
      tt::makeRewriter(pattern("(a)", bad));
      ADD_FAILURE() << bad << " was taken";
    } catch (const tt::PatternError& e) {
      EXPECT_NE(std::string(e.what()).find("replacement"), std::string::npos) << e.what();
    }
  }
}

TEST(TransformRegex, AnchorsUnicodeClassesAndCase) {
  EXPECT_EQ(run(pattern("^http:", "https:"), "http://a http://b"), "https://a http://b");
  EXPECT_EQ(run(pattern(R"(\.com$)", ".org"), "a.com b.com"), "a.com b.org");
  // Each string of serialized data is a subject of its own.
  EXPECT_EQ(run(pattern("^x", "y"), A({{I(0), S("xx")}, {I(1), S("ax")}})),
            A({{I(0), S("yx")}, {I(1), S("ax")}}));
  EXPECT_EQ(run(pattern(R"(\p{Greek}+)", "[greek]"), "alpha αβγ omega ω"),
            "alpha [greek] omega [greek]");
  EXPECT_EQ(run(pattern(R"(\w+)", "w"), "élan über"), "w w");
  EXPECT_EQ(run(pattern("caf.", "bar"), "un café"), "un bar");
  EXPECT_EQ(run(pattern("OLD", "new"), "old Old"), "<none:>");
  tt::Options caseless = pattern("ÉTÉ|old", "x");
  caseless.ignoreCase = true;
  EXPECT_EQ(run(caseless, "été Old OLD"), "x x x");
  EXPECT_TRUE(tt::makeRewriter(caseless)->ignoreCase());
  tt::Options lit = literal("OLD.EXAMPLE.COM", "new.example.org");
  lit.ignoreCase = true;
  EXPECT_EQ(run(lit, "http://old.example.com and Old.Example.Com; oldxexample"),
            "http://new.example.org and new.example.org; oldxexample");
  tt::Options accents = literal("CAFÉ", "bar");
  accents.ignoreCase = true;
  EXPECT_EQ(run(accents, "un café"), "un bar");
}

TEST(TransformRegex, BadAndEmptyMatchingPatternsAreRefused) {
  try {
    tt::makeRewriter(pattern("ab(cd", "x"));
    ADD_FAILURE() << "compiled";
  } catch (const tt::PatternError& e) {
    EXPECT_EQ(e.offset(), 5u);
    EXPECT_EQ(e.pair(), 0u);
    EXPECT_NE(std::string(e.what()).find("missing closing parenthesis"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("offset 5"), std::string::npos) << e.what();
  }
  // Matching single bytes would cut characters in two.
  EXPECT_THROW(tt::makeRewriter(pattern(R"(caf\C)", "x")), tt::PatternError);
  tt::Options second = pattern("ok", "x");
  second.pairs.push_back({"a[", "y"});
  try {
    tt::makeRewriter(second);
    ADD_FAILURE() << "compiled";
  } catch (const tt::PatternError& e) {
    EXPECT_EQ(e.pair(), 1u);
  }
  // An empty match would put the replacement between every two characters.
  for (const std::string empty : {"x*", "^", "$", R"(\b)", "a?|b", "()"})
    EXPECT_THROW(tt::makeRewriter(pattern(empty, "y")), tt::PatternError) << empty;
  // One that needs a character to be there but matches none is taken; its
  // empty matches never are.
  EXPECT_EQ(run(pattern("(?=a)", "y"), "aaa"), "<none:>");
  EXPECT_EQ(run(pattern("(?=a)|b", "y"), "aba"), "aya");
  EXPECT_THROW(tt::makeRewriter(literal("", "y")), std::invalid_argument);
  EXPECT_THROW(tt::makeRewriter(tt::Options{}), std::invalid_argument);
  tt::Options both = pattern("a", "b");
  both.alsoEncoded = true;
  EXPECT_THROW(tt::makeRewriter(both), std::invalid_argument);
}

TEST(TransformRegex, CatastrophicBacktrackingStopsAndIsTold) {
  const std::string value = std::string(40, 'a') + "!";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run(pattern("(a+)+$", "x"), value), untouched(tt::kMatchLimit));
  EXPECT_EQ(run(pattern("(a|aa)+b", "x"), A({{I(0), S(value + "b")}})), untouched(tt::kMatchLimit));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The same pattern on a value it matches quickly.
  EXPECT_EQ(run(pattern("(a+)+$", "x"), "aaa"), "x");
  // The limit is the one asked for.
  tt::Options low = pattern("(a|aa)+b", "x");
  const std::string twenty = std::string(20, 'a') + "!b";
  EXPECT_EQ(run(low, twenty), "<none:>");
  low.matchLimit = 1000;
  EXPECT_EQ(run(low, twenty), untouched(tt::kMatchLimit));
}

TEST(TransformRegex, BytesThatAreNotUtf8AreSteppedOver) {
  const std::string latin1 = "caf\xe9 old \xff";
  EXPECT_EQ(run(pattern("o\\w+", "new"), latin1), "caf\xe9 new \xff");
  tt::Options caseless = literal("OLD", "new");
  caseless.ignoreCase = true;
  EXPECT_EQ(run(caseless, latin1), "caf\xe9 new \xff");
  EXPECT_EQ(run(literal("old", "new"), latin1), "caf\xe9 new \xff");
}

TEST(TransformPairs, AppliedInOrderToEachValue) {
  tt::Options o;
  o.pairs = {{"a", "b"}, {"b", "c"}};
  auto r = tt::makeRewriter(o)->rewrite("ab");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, "cc");
  EXPECT_EQ(r->occurrences, 3);
  o.pairs = {{"b", "c"}, {"a", "b"}};
  EXPECT_EQ(run(o, "ab"), "bc");
  // A site move in one pass, into serialized data as well.
  tt::Options move;
  move.pairs = {{"http://", "https://"}, {"old.example.com", "new.example.org"}, {"/blog/", "/"}};
  EXPECT_EQ(run(move, A({{I(0), S("http://old.example.com/blog/post")}})),
            A({{I(0), S("https://new.example.org/post")}}));
  // Patterns in order too.
  tt::Options re = pattern(R"((\d+))", "<$1>");
  re.pairs.push_back({"<(\\d)>", "$1"});
  EXPECT_EQ(run(re, "7 42"), "7 <42>");
}

TEST(TransformEncoded, EachFormFoundAndReplacedByItsEncoding) {
  tt::Options o = literal(kOld, kNew);
  o.alsoEncoded = true;
  struct Case {
    std::string before, after, form;
  };
  const std::vector<Case> cases = {
      {R"({"u":"http:\/\/old.example.com\/x"})", R"({"u":"https:\/\/new.example.org\/x"})", "json"},
      {"?r=http%3A%2F%2Fold.example.com%2Fx", "?r=https%3A%2F%2Fnew.example.org%2Fx", "url"},
      {"?r=http%3a%2f%2fold.example.com", "?r=https%3a%2f%2fnew.example.org", "url"},
      {"see http://old.example.com", "see https://new.example.org", "plain"},
  };
  for (const Case& c : cases) {
    const auto r = tt::makeRewriter(o)->rewrite(c.before);
    ASSERT_TRUE(r) << c.before;
    EXPECT_EQ(r->value, c.after);
    EXPECT_EQ(r->forms, std::vector<std::string>{c.form});
  }
  // Texts whose HTML and \u forms differ from them.
  tt::Options t = literal("Tom & \"Jerry\" café", "T & J's");
  t.alsoEncoded = true;
  EXPECT_EQ(run(t, "<p>Tom &amp; &quot;Jerry&quot; café</p>"), "<p>T &amp; J&#039;s</p>");
  EXPECT_EQ(run(t, "<p>Tom &amp; &quot;Jerry&quot; caf&#233;</p>"), "<p>T &amp; J&#039;s</p>");
  EXPECT_EQ(run(t, R"(["Tom & \"Jerry\" caf\u00e9"])"), R"(["T & J's"])");
  EXPECT_EQ(run(t, "Tom+%26+%22Jerry%22+caf%C3%A9"), "T+%26+J%27s");
  // Where a form begins with another, the longer one is what was meant.
  tt::Options amp = literal("&", "+");
  amp.alsoEncoded = true;
  EXPECT_EQ(run(amp, "a &amp; b & c"), "a + b + c");
  amp.ignoreCase = true;
  EXPECT_EQ(run(amp, "a &AMP; b & c"), "a + b + c");
  // All forms in one value, named once each in a fixed order.
  const auto all = tt::makeRewriter(o)->rewrite(
      "a http%3A%2F%2Fold.example.com b http:\\/\\/old.example.com c " + kOld);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->value, "a https%3A%2F%2Fnew.example.org b https:\\/\\/new.example.org c " + kNew);
  EXPECT_EQ(all->forms, (std::vector<std::string>{"plain", "json", "url"}));
  // Caseless, the encoded forms too.
  o.ignoreCase = true;
  EXPECT_EQ(run(o, "HTTP%3A%2F%2FOLD.example.com"), "https%3A%2F%2Fnew.example.org");
  // Not asked for, not found.
  EXPECT_EQ(run(literal(kOld, kNew), "http:\\/\\/old.example.com"), "<none:>");
}

TEST(TransformHints, LiteralTextsTheirFormsAndRunsOfPatterns) {
  EXPECT_EQ(tt::makeRewriter(literal(kOld, kNew))->literalHints(), std::vector<std::string>{kOld});
  tt::Options enc = literal(kOld, kNew);
  enc.alsoEncoded = true;
  const auto hints = tt::makeRewriter(enc)->literalHints();
  for (const std::string& h : {kOld, std::string("http:\\/\\/old.example.com"),
                               std::string("http%3A%2F%2Fold.example.com")})
    EXPECT_NE(std::find(hints.begin(), hints.end(), h), hints.end()) << h;
  // A JSON document holds its strings escaped.
  tt::Options json = literal(kOld, kNew);
  json.json = true;
  const auto jh = tt::makeRewriter(json)->literalHints();
  EXPECT_NE(std::find(jh.begin(), jh.end(), "http:\\/\\/old.example.com"), jh.end());
  // Hints holding another hint add nothing.
  tt::Options pairs;
  pairs.pairs = {{"old.example.com", "x"}, {kOld, "y"}};
  EXPECT_EQ(tt::makeRewriter(pairs)->literalHints(), std::vector<std::string>{"old.example.com"});

  // Each pattern's hint, and a subject it matches: the hint is in it.
  struct Case {
    std::string pattern, hint, subject;
  };
  const std::vector<Case> cases = {
      {R"((\w+)@old\.example\.com)", "@old.example.com", "ann@old.example.com"},
      {"colou?r", "colo", "color"},
      {"ab+cdef", "cdef", "abbbcdef"},
      {"xy{0,3}zz", "zz", "xzz"},
      {R"(\x41bcde)", "bcde", "Abcde"},
      {R"(id=\d{2,}; path=\Q/a.b\E)", "; path=/a.b", "id=12; path=/a.b"},
      {R"(\p{Lu}ÉTÉ?x)", "ÉT", "AÉTx"},
      {"[abc]+ (?:foo|bar) tail", " tail", "a bar tail"},
      {"abc(?i)DEFGH", "abc", "abcdefgh"},
      {"a|bcdef", "", "a"},
      {R"(\d+)", "", "1"},
  };
  for (const Case& c : cases) {
    tt::Options o = pattern(c.pattern, "r");
    const auto r = tt::makeRewriter(o);
    const auto h = r->literalHints();
    EXPECT_EQ(h, c.hint.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.hint})
        << c.pattern;
    EXPECT_TRUE(r->rewrite(c.subject)) << c.pattern;
    EXPECT_NE(c.subject.find(c.hint), std::string::npos) << c.pattern;
  }
  // One pair without a hint: every row must be read.
  tt::Options mixed = pattern(R"(old\.example)", "x");
  mixed.pairs.push_back({R"(\d+)", "n"});
  EXPECT_TRUE(tt::makeRewriter(mixed)->literalHints().empty());
}

TEST(TransformRegex, LongValuesAreMatchedWhole) {
  // Deep enough to outgrow the compiled pattern's own small stack.
  const std::string value = "<" + std::string(200000, 'a') + "b>";
  EXPECT_EQ(run(pattern("<(a|b)*>", "[$1]"), value + value), "[b][b]");
}
