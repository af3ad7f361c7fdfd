#include "cli_run.h"

#include "files.h"
#include "process.h"

namespace testsupport {

std::vector<nlohmann::json> CliRun::lines() const {
  std::vector<nlohmann::json> objects;
  for (const std::string& line : splitLines(out)) {
    if (line.empty()) continue;
    nlohmann::json doc = nlohmann::json::parse(line, nullptr, false);
    objects.push_back(doc.is_object() ? std::move(doc) : nlohmann::json());
  }
  return objects;
}

std::string CliRun::describe() const {
  return "exit " + std::to_string(exitCode) + "\nstdout:\n" + out + "\nstderr:\n" + err;
}

std::string cliProgram() { return TRELLICK_CLI; }

CliRun runCli(const std::vector<std::string>& args, const std::string& input,
              const std::optional<std::vector<std::string>>& environment) {
  std::vector<std::string> argv{cliProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.input = input;
  options.timeoutMs = 120000;
  options.environment = environment;
  const ProcessResult r = runProcess(argv, options);
  CliRun run;
  if (!r.started) return run;
  run.exitCode = r.exitedNormally ? r.exitCode : -1;
  run.out = r.out;
  run.err = r.err;
  return run;
}

}  // namespace testsupport
