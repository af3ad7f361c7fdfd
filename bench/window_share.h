// Where the window's time goes against its floor's: each kind of statement
// as the window spent it (from its sending to the next one's, less the
// yields between: the statement, the reading of its result and what the
// window did with it) and as the floor did; the yields, those that painted
// apart; the time before the first statement; and the stretches in which
// a box was shown (the settings saved, the window painted behind it).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_ui.h"
#include "bench/timing.h"

namespace trellick::bench {

inline std::string statementKind(const std::string& s) {
  const auto starts = [&](const char* p) { return s.rfind(p, 0) == 0; };
  const auto has = [&](const char* p) { return s.find(p) != std::string::npos; };
  if (starts("select * from ")) return "column query";
  if (has("pragma_table_xinfo")) return "column facts";
  if (starts("select 1 from") && has("typeof(")) return "values of another kind";
  if (starts("select count(*)")) return "count";
  if (starts("Update ")) return "update";
  if (has("trellick_kept") || has("trellick_keep")) return "journal capture";
  if (starts("vacuum") || has("wal_checkpoint")) return "shrink";
  if (has("sqlite_master") || has("pragma_table_info") || has("pragma_database_list"))
    return "catalog";
  return "other";
}

// Milliseconds by part, summed over the repetitions.
struct Shares {
  std::map<std::string, double> ms;
  std::map<std::string, long> count;
  void add(const std::string& part, double v, long n = 1) {
    ms[part] += v;
    count[part] += n;
  }
};

// The statements of one run with the moments they were sent.
struct Sent {
  std::vector<std::string> text;
  std::vector<Clock::time_point> at;
};

inline double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// The window's run from `start` to `end`, told by its statements, yields
// and boxes.
inline void windowShares(Shares& out, const Sent& sent, const BenchUi& ui, Clock::time_point start,
                         Clock::time_point end) {
  // The yields' time inside [a, b), counted once, under their own names.
  size_t next = 0;
  const auto yieldsIn = [&](Clock::time_point a, Clock::time_point b) {
    double ms = 0;
    for (; next < ui.yields.size() && ui.yields[next].start < b; ++next) {
      const Yield& y = ui.yields[next];
      if (y.start < a) continue;
      const double d = msBetween(y.start, y.end);
      out.add(y.painted ? "yields that painted" : "yields", d);
      ms += d;
    }
    return ms;
  };
  const auto boxIn = [&](Clock::time_point a, Clock::time_point b) {
    for (const auto& t : ui.boxes)
      if (t >= a && t < b) return true;
    return false;
  };
  const size_t n = sent.at.size();
  const Clock::time_point first = n ? sent.at[0] : end;
  const double before = msBetween(start, first) - yieldsIn(start, first);
  out.add(boxIn(start, first) ? "around the boxes" : "connecting, before the first statement",
          before);
  for (size_t k = 0; k < n; ++k) {
    const Clock::time_point a = sent.at[k], b = k + 1 < n ? sent.at[k + 1] : end;
    const double ms = msBetween(a, b) - yieldsIn(a, b);
    out.add(boxIn(a, b) ? "around the boxes" : statementKind(sent.text[k]), ms);
  }
}

// What the floor spent on each kind; its statements are timed one by one.
inline void printShares(const Shares& window, const Shares& floor, int reps) {
  std::map<std::string, bool> parts;
  for (const auto& [k, v] : window.ms) parts[k] = true;
  for (const auto& [k, v] : floor.ms) parts[k] = true;
  std::printf("| part (ms a run) | window | times | floor | window - floor |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  double wTotal = 0, fTotal = 0;
  for (const auto& [part, _] : parts) {
    const auto w = window.ms.find(part), f = floor.ms.find(part);
    const double wm = w == window.ms.end() ? 0 : w->second / reps;
    const double fm = f == floor.ms.end() ? 0 : f->second / reps;
    const auto c = window.count.find(part);
    const long times = c == window.count.end() ? 0 : c->second / reps;
    wTotal += wm;
    fTotal += fm;
    std::printf("| %s | %.1f | %ld | %.1f | %+.1f |\n", part.c_str(), wm, times, fm, wm - fm);
  }
  std::printf("| all | %.1f | | %.1f | %+.1f |\n\n", wTotal, fTotal, wTotal - fTotal);
}

}  // namespace trellick::bench
