// Several literal pairs applied in order to each value: the first pair's
// find text is replaced everywhere by its replacement, then the second
// pair's in the result, and so on, so a move of a site (scheme, host,
// path) is one pass. Plain and case-sensitive, byte for byte.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "transform/rewriter.h"

namespace trellick::transform {

struct LiteralPair {
  std::string find;  // never empty
  std::string replace;
};

class LiteralPairsRewriter : public Rewriter {
 public:
  // Throws std::invalid_argument for a pair whose find text is empty.
  explicit LiteralPairsRewriter(std::vector<LiteralPair> pairs);

  // A value where some pair's text occurs, rewritten; the value may come
  // out the same (a pair whose replacement is its own text, or a later
  // pair putting back what an earlier one took).
  std::optional<Rewritten> rewrite(std::string_view value,
                                   Untouched* untouched = nullptr) const override;
  // The find texts: a value some pair changes holds the first such pair's
  // text as it was read.
  std::vector<std::string> literalHints() const override;

  const std::vector<LiteralPair>& pairs() const { return pairs_; }

 private:
  std::vector<LiteralPair> pairs_;
};

// The pairs of a file: one a line, the find text and the replacement
// separated by a tab; a line end ("\n" or "\r\n") is not part of either.
// Empty lines are skipped. Throws std::runtime_error naming the line for a
// line without a tab or with an empty find text.
std::vector<LiteralPair> readPairsFile(const std::string& path);

}  // namespace trellick::transform
