// The table patterns are matched by the program's own glob on every system;
// on Linux it must say what the C library's fnmatch says, bytes in the C
// locale, flags none.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

using trellick::platform::matchesPattern;

namespace {

bool libc(const std::string& pattern, const std::string& text) {
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

}  // namespace

TEST(PlatformGlob, ChosenPatternsAsFnmatch) {
  const std::vector<std::string> patterns = {"",
                                             "*",
                                             "?",
                                             "dbo.*",
                                             "*.users",
                                             "wp_*",
                                             "wp_?osts",
                                             "[abc]*",
                                             "[!abc]*",
                                             "[^abc]*",
                                             "[a-c]x",
                                             "[]]",
                                             "[!]]",
                                             "[]a]",
                                             "[",
                                             "[a",
                                             "a[",
                                             "[!",
                                             "[]",
                                             "\\*",
                                             "a\\",
                                             "\\[a]",
                                             "[\\]]",
                                             "[a\\-z]",
                                             "[-a]",
                                             "[a-]",
                                             "[z-a]",
                                             "**a**",
                                             "*a*b*c*",
                                             "[[:digit:]]*",
                                             "[[:alpha:]_]*",
                                             "[![:space:]]",
                                             "[[:bogus:]]",
                                             "[[:]",
                                             "[[:a]",
                                             "*/*",
                                             "?.?",
                                             "Olé*",
                                             "[é]",
                                             "[[:upper:]][[:lower:]]*"};
  const std::vector<std::string> texts = {
      "",         "a",        "b",     "x",     "ax",     "bx",    "]",         "[",
      "a[",       "*",        "a\\",   "\\",    "-",      "z",     "dbo.users", "main.users",
      "wp_posts", "wp_costs", "abc",   "aXbYc", "9lives", "_tmp",  " ",         "s/t",
      "a.b",      "Olé",      "Olé_2", "é",     "Users",  "USERS", "[a]",       "a-z"};
  for (const auto& p : patterns)
    for (const auto& t : texts)
      EXPECT_EQ(matchesPattern(p, t), libc(p, t)) << "pattern \"" << p << "\" text \"" << t << '"';
}

TEST(PlatformGlob, RandomPatternsAsFnmatch) {
  // Patterns and texts of the characters the syntax gives meaning to.
  const std::string patternChars = "ab*?[]!^-\\:/.";
  const std::string textChars = "ab]-[\\/.:!";
  std::mt19937 random(20261208);
  auto make = [&random](const std::string& from, size_t most) {
    std::string s(std::uniform_int_distribution<size_t>(0, most)(random), ' ');
    for (char& c : s) c = from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
    return s;
  };
  int matched = 0;
  for (int k = 0; k < 30000; ++k) {
    const std::string p = make(patternChars, 7), t = make(textChars, 6);
    const bool ours = matchesPattern(p, t);
    ASSERT_EQ(ours, libc(p, t)) << "pattern \"" << p << "\" text \"" << t << '"';
    matched += ours;
  }
  // Both answers occur: the comparison is not of two constant results.
  EXPECT_GT(matched, 1000);
}

TEST(PlatformGlob, WhatAnOperatorExpects) {
  EXPECT_TRUE(matchesPattern("wp_*", "wp_posts"));
  EXPECT_FALSE(matchesPattern("wp_*", "xwp_posts"));
  EXPECT_TRUE(matchesPattern("*", "dbo.a/b"));
  EXPECT_TRUE(matchesPattern("t?", "t1"));
  EXPECT_FALSE(matchesPattern("t?", "t12"));
  EXPECT_TRUE(matchesPattern("log_[0-9][0-9]", "log_07"));
  EXPECT_FALSE(matchesPattern("log_[!0-9]*", "log_07"));
  EXPECT_TRUE(matchesPattern("a\\*", "a*"));
  EXPECT_FALSE(matchesPattern("a\\*", "ab"));
}
