#include "cli_run.h"

#include "process.h"

namespace testsupport {

std::vector<nlohmann::json> CliRun::lines() const {
  std::vector<nlohmann::json> objects;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
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
