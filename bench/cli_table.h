// trellick-cli measured from outside, as a process, against each engine's
// own client (sqlite3, psql, mariadb) sending the same statements in one
// session: find, find on two connections, replace with and without the
// journal, undo, many small tables and the time to the first line of
// `tables`, each ratio with its target.
#pragma once

namespace trellick::bench {

// trellick-bench --cli-table [--cli PATH] [--engines sqlite,postgresql,mariadb]
//   [--sizes TABLES ROWS SMALLTABLES] [--reps N] [--dir DIR] [--quick]
//   [--window-bench PATH | --no-window]
// The window's rows come from `--window` of the trellick-bench at
// --window-bench (this one by default). Returns the exit status: non-zero when a run failed or its
// results were wrong, never for a target missed.
int cliTableMain(int argc, char** argv);

// trellick-bench --engine-replace SERVER DATABASE USER (internal): the
// engine's replace of every table without a journal, in a process of its
// own as the command line's is; the password in TRELLICK_BENCH_PASSWORD.
// Prints "REPLACED records failed".
int engineReplaceMain(int argc, char** argv);

}  // namespace trellick::bench
