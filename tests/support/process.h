// Programs run by the tests and their servers, without Qt: fork and exec with
// pipes, a deadline, and children that outlive a crashed test.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessOptions {
  std::string input;      // written to standard input, which is then closed
  int timeoutMs = 60000;  // the child is killed after this
  std::string workingDirectory;
  bool mergeOutput = false;  // standard error into standard output
  // The whole environment ("KEY=value"); unset: this process's, changed by
  // setEnv and unsetEnv.
  std::optional<std::vector<std::string>> environment;
  std::vector<std::pair<std::string, std::string>> setEnv;
  std::vector<std::string> unsetEnv;
};

struct ProcessResult {
  bool started = false;
  bool timedOut = false;
  bool exitedNormally = false;  // false when killed by a signal
  int exitCode = -1;
  pid_t pid = 0;  // the child's, e.g. to find a file it named after itself
  std::string out;
  std::string err;
  bool ok() const { return started && !timedOut && exitedNormally && exitCode == 0; }
};

// Runs argv[0] (a path) with the rest as its arguments and waits for it.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program left running: standard input from /dev/null, its output to files
// (or /dev/null when empty; the same file appends both).
class Child {
 public:
  Child() = default;
  Child(const std::vector<std::string>& argv, const std::string& outFile,
        const std::string& errFile);
  // With the environment and working directory of `options` (its input and
  // time-out are not used); a terminal, when given, is the program's
  // standard input and error instead.
  Child(const std::vector<std::string>& argv, const std::string& outFile,
        const std::string& errFile, const ProcessOptions& options, int terminal = -1);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Whether the program itself was executed (false when exec failed).
  bool started() const { return started_; }
  bool running();
  // Waits up to ms for it to end; true once it has.
  bool waitFor(int ms);
  // Sends the signal while it runs; whether it was sent. Once it has ended
  // nothing is sent: its pid may belong to another process by then.
  bool signal(int sig);
  // Terminates, then kills what does not end in time.
  void stop(int termMs = 3000);
  // Once it has ended and been waited for: whether it exited rather than
  // being killed by a signal, and its exit code (-1 when killed).
  bool exitedNormally() const { return exitedNormally_; }
  int exitCode() const { return exitCode_; }

 private:
  void reaped(int status);

  pid_t pid_ = 0;
  bool started_ = false;
  bool reaped_ = false;
  bool exitedNormally_ = false;
  int exitCode_ = -1;
};

// This process's environment ("KEY=value") with `set` added or replacing.
std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& set);

// Starts a program in its own session, not a child of this process: it keeps
// running when this process dies. Returns its pid, or 0.
pid_t startDetached(const std::vector<std::string>& argv);

// The first executable named `name` on PATH, then in extraDirs; empty if none.
std::string findExecutable(const std::string& name, const std::vector<std::string>& extraDirs = {});

// The path of this process's own program, to run it again as a child.
std::string selfExecutable();

// Quotes a word for /bin/sh.
std::string shellQuote(const std::string& s);

}  // namespace testsupport
