// trellick-cli run as a process by the tests: its exit code and output.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct CliRun {
  int exitCode = -1;  // -1 when it did not start or did not end normally
  std::string out;
  std::string err;
  // The JSON lines of standard output, in order; a line that is not a JSON
  // object is kept as null, so a count of lines still sees it.
  std::vector<nlohmann::json> lines() const;
  std::string describe() const;
};

// The command line the tests run.
std::string cliProgram();

// Runs the command line with `input` on its standard input; environment
// "KEY=value" entries, or this process's when not given.
CliRun runCli(const std::vector<std::string>& args, const std::string& input = {},
              const std::optional<std::vector<std::string>>& environment = std::nullopt);

}  // namespace testsupport
