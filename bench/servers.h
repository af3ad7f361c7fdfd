// Find and replace on throwaway PostgreSQL and MariaDB servers, measured
// against the same statements sent by each engine's own client library.
#pragma once

namespace trellick::bench {

struct ServerSizes {
  int tables = 200;  // tables of database A
  int rows = 5000;   // rows of each table
  int reps = 5;      // the median is taken over this many runs
  // PostgreSQL's row rewriter measures alone: no window, no MariaDB.
  bool rewriterOnly = false;
};

// Starts both servers, loads database A on each, prints the table of
// medians and ratios, and stops the servers. Needs a QApplication. Returns
// the exit status: non-zero when a server could not be used or when the
// window's results differ from the floor's.
int runServerBenchmark(const ServerSizes& sizes, bool quick);

}  // namespace trellick::bench
