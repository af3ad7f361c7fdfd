// trellick-cli: the engine of the window on the command line, for scheduled
// clean-ups, SSH sessions and deployment scripts. This file reads the
// arguments and hands them to their command.
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
  const Parsed parsed = parseArgs(trellick::platform::arguments(argc, argv));
  if (parsed.args.help) {
    std::fputs(kHelp, stdout);
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
  return Subcommand::make(context)->run();
}
