// trellick-cli: the engine of the window on the command line, for scheduled
// clean-ups, SSH sessions and deployment scripts. This file reads the
// arguments and hands them to their command.
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/command.h"
#include "platform/platform.h"

#ifndef TRELLICK_VERSION
#define TRELLICK_VERSION "unknown"
#endif

int main(int argc, char* argv[]) {
  using namespace trellick::cli;
  trellick::platform::setUpConsole();
  // SQLite's memory statistics take a lock on every allocation, the
  // driver's reading of a large schema included; nothing here reads them.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  const Parsed parsed = parseArgs(trellick::platform::arguments(argc, argv));
  if (parsed.args.help) {
    if (parsed.args.helpTopic.empty()) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    const std::optional<std::string> help = commandHelp(parsed.args.helpTopic);
    if (!help)
      return usage("unknown command \"" + parsed.args.helpTopic +
                   "\" (find, replace, preview, undo, runs, shrink or tables)");
    std::fputs(help->c_str(), stdout);
    return 0;
  }
  if (parsed.args.version) {
    std::printf("trellick-cli %s\n", TRELLICK_VERSION);
    return 0;
  }
  if (!parsed.error.empty()) return usage(parsed.error);
  Console console;
  // Before any other thread: Ctrl-C is taken by the watcher alone.
  Interrupts interrupts([&console](const std::string& line) { console.err(line); });
  Context context{parsed.args, console, interrupts};
  const int rc = Subcommand::make(context)->run();
  // Results that did not arrive are no success: said on the stream that
  // still works.
  if (const std::string failed = console.failedWrite(); !failed.empty()) {
    const std::string line =
        "trellick-cli: cannot write to " + failed + "; the run stopped after the table under way\n";
    std::fputs(line.c_str(), failed.rfind("standard output", 0) == 0 ? stderr : stdout);
    std::fflush(stdout);
    return rc == kBadUsage ? rc : kNotAllRan;
  }
  return rc;
}
