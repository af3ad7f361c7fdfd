// The deterministic text both benchmarks generate their databases from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trellick::bench {

// The benchmarks' tables are t0, t1, ...
inline std::string tableName(int k) { return "t" + std::to_string(k); }

struct Lcg {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
};

// Words, Chinese among them, until the text is at least `length` bytes.
inline std::string words(Lcg& r, size_t length) {
  static const char* pool[] = {"lorem",
                               "ipsum",
                               "数据",
                               "dolor",
                               "sit",
                               "amet",
                               "链接",
                               "example",
                               "page",
                               "内容",
                               "http://partner.example.org/"};
  std::string out;
  while (out.size() < length) {
    if (!out.empty()) out += ' ';
    out += pool[r.next() % (sizeof pool / sizeof *pool)];
  }
  return out;
}

}  // namespace trellick::bench
