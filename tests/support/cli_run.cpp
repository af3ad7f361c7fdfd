#include "cli_run.h"

#include <chrono>
#include <cstdlib>
#include <thread>

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

// TRELLICK_CLI names another program to run in its place: the Windows
// build under wine (tests/wine-cli.sh).
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const nlohmann::json& get(const nlohmann::json& o, const std::string& key) {
  static const nlohmann::json none;
  if (!o.is_object()) return none;
  const auto it = o.find(key);
  return it == o.end() ? none : *it;
}

const nlohmann::json& item(const nlohmann::json& a, size_t k) {
  static const nlohmann::json none;
  return a.is_array() && k < a.size() ? a[k] : none;
}

const nlohmann::json& item(const std::vector<nlohmann::json>& a, size_t k) {
  static const nlohmann::json none;
  return k < a.size() ? a[k] : none;
}

std::string cliProgram() {
  const char* other = std::getenv("TRELLICK_CLI");
  return other && *other ? other : TRELLICK_CLI;
}

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

CliProcess::CliProcess(const std::vector<std::string>& args, const ProcessOptions& options,
                       int terminal)
    : dir_("trellick-cli-XXXXXX") {
  if (!dir_.valid()) return;
  std::vector<std::string> argv{cliProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  child_ = std::make_unique<Child>(argv, dir_.file("out"), dir_.file("err"), options, terminal);
}

std::string CliProcess::out() const { return readFile(dir_.file("out")); }

std::string CliProcess::err() const { return readFile(dir_.file("err")); }

std::optional<std::string> CliProcess::readLine(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    // Asked first: once it has ended, the file holds all it wrote.
    const bool ended = !running();
    const std::string text = out();
    const size_t end = text.find('\n', read_);
    if (end != std::string::npos) {
      std::string line = text.substr(read_, end - read_);
      read_ = end + 1;
      return line;
    }
    if (ended) {
      if (read_ >= text.size()) return std::nullopt;
      std::string line = text.substr(read_);
      read_ = text.size();
      return line;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace testsupport
