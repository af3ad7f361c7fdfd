// trellick-cli run as a process by the tests: its exit code and output.
#pragma once

#include <sys/types.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"

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

// Arguments one list after another: args + Args{"--json"}. A test takes it
// with `using testsupport::operator+;`.
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);

// Reading the JSON lines without tripping on what a line lacks:
// a member of a JSON object, null when it is absent or `o` is no object;
const nlohmann::json& get(const nlohmann::json& o, const std::string& key);
// an element of a JSON array (or of a list of lines), null when absent.
const nlohmann::json& item(const nlohmann::json& a, size_t k);
const nlohmann::json& item(const std::vector<nlohmann::json>& a, size_t k);

// Runs the command line with `input` on its standard input; environment
// "KEY=value" entries, or this process's when not given.
CliRun runCli(const std::vector<std::string>& args, const std::string& input = {},
              const std::optional<std::vector<std::string>>& environment = std::nullopt);

// The command line left running, to be read while it works, typed at or
// interrupted. Its standard output and error go to files read as they grow,
// so it never blocks on a pipe nobody reads.
class CliProcess {
 public:
  // Starts it with `options`' environment; a terminal, when given, is its
  // standard input and error.
  explicit CliProcess(const std::vector<std::string>& args, const ProcessOptions& options = {},
                      int terminal = -1);
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Whether the program was executed.
  bool started() const { return child_ && child_->started(); }
  pid_t pid() const { return child_ ? child_->pid() : 0; }
  bool running() { return child_ && child_->running(); }
  // Sends the signal while it runs (never to an ended child or pid 0);
  // whether it was sent.
  bool signal(int sig) { return child_ && child_->signal(sig); }
  // Waits up to ms for it to end; true once it has.
  bool waitFor(int ms) { return !child_ || child_->waitFor(ms); }
  bool exitedNormally() const { return child_ && child_->exitedNormally(); }
  int exitCode() const { return child_ ? child_->exitCode() : -1; }

  // All it wrote so far.
  std::string out() const;
  std::string err() const;
  // The next line of standard output not read yet, without its line end,
  // waiting up to ms for it; nothing at the deadline or once it has ended
  // with every line read. A last line without a line end counts once it
  // has ended.
  std::optional<std::string> readLine(int ms);

 private:
  TempDir dir_;
  std::unique_ptr<Child> child_;
  size_t read_ = 0;  // bytes of standard output handed out as lines
};

}  // namespace testsupport
