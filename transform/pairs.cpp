#include "transform/pairs.h"

#include <fstream>
#include <stdexcept>

namespace trellick::transform {

LiteralPairsRewriter::LiteralPairsRewriter(std::vector<LiteralPair> pairs)
    : pairs_(std::move(pairs)) {
  for (const auto& p : pairs_)
    if (p.find.empty()) throw std::invalid_argument("a pair's find text is empty");
}

std::optional<Rewritten> LiteralPairsRewriter::rewrite(std::string_view value,
                                                       Untouched* /*untouched*/) const {
  std::string current(value);
  long long occurrences = 0;
  for (const auto& p : pairs_) {
    size_t at = current.find(p.find);
    if (at == std::string::npos) continue;
    std::string next;
    next.reserve(current.size());
    size_t from = 0;
    for (; at != std::string::npos; at = current.find(p.find, from)) {
      next.append(current, from, at - from);
      next += p.replace;
      from = at + p.find.size();
      ++occurrences;
    }
    next.append(current, from, std::string::npos);
    current = std::move(next);
  }
  if (occurrences == 0) return std::nullopt;
  return Rewritten{std::move(current), occurrences, {"plain"}};
}

std::vector<std::string> LiteralPairsRewriter::literalHints() const {
  std::vector<std::string> out;
  for (const auto& p : pairs_) out.push_back(p.find);
  return out;
}

std::vector<LiteralPair> readPairsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<LiteralPair> out;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos)
      throw std::runtime_error(path + " line " + std::to_string(number) +
                               ": no tab between the find text and the replacement");
    if (tab == 0)
      throw std::runtime_error(path + " line " + std::to_string(number) +
                               ": the find text is empty");
    out.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  return out;
}

}  // namespace trellick::transform
