#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// The argument and environment arrays execve takes, built before fork: the
// child may only make async-signal-safe calls.
struct ExecArgs {
  std::vector<std::string> envStrings;
  std::vector<char*> argv;
  std::vector<char*> envp;

  ExecArgs(const std::vector<std::string>& args, const ProcessOptions& options) {
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (options.environment) {
      envStrings = *options.environment;
    } else {
      for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    }
    auto drop = [&](const std::string& key) {
      std::erase_if(envStrings, [&](const std::string& kv) {
        return kv.size() > key.size() && kv.compare(0, key.size(), key) == 0 &&
               kv[key.size()] == '=';
      });
    };
    for (const std::string& key : options.unsetEnv) drop(key);
    for (const auto& [key, value] : options.setEnv) {
      drop(key);
      envStrings.push_back(key + "=" + value);
    }
    for (std::string& kv : envStrings) envp.push_back(kv.data());
    envp.push_back(nullptr);
  }
};

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Waits for the child up to the deadline: 0 once it has ended (its status in
// *status), 1 when it is no child to wait for, -1 if it is still running.
int waitUntil(pid_t pid, Clock::time_point deadline, int* status) {
  while (true) {
    const pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return 0;
    if (r < 0 && errno != EINTR) return 1;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  if (argv.empty()) return result;
  // A child that stops reading its input must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  ExecArgs exec(argv, options);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return result;
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  if (::pipe2(err, O_CLOEXEC) != 0) return result;
  // Reports a failed exec to the parent; closed by a successful one.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return result;

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(options.mergeOutput ? out[1] : err[1], 2);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
      const int e = errno;
      (void)!::write(report[1], &e, sizeof e);
      ::_exit(127);
    }
    ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    const int e = errno;
    (void)!::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  closeFd(report[1]);
  if (pid < 0) {
    closeFd(in[1]);
    closeFd(out[0]);
    closeFd(err[0]);
    closeFd(report[0]);
    return result;
  }
  int execError = 0;
  const bool execFailed = ::read(report[0], &execError, sizeof execError) == sizeof execError;
  closeFd(report[0]);
  result.started = !execFailed;
  result.pid = pid;
  if (execFailed) result.err = argv[0] + ": " + std::strerror(execError);

  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  size_t written = 0;
  if (options.input.empty()) closeFd(in[1]);
  while ((out[0] >= 0 || err[0] >= 0 || in[1] >= 0) && Clock::now() < deadline) {
    pollfd fds[3];
    int n = 0;
    if (in[1] >= 0) fds[n++] = {in[1], POLLOUT, 0};
    if (out[0] >= 0) fds[n++] = {out[0], POLLIN, 0};
    if (err[0] >= 0) fds[n++] = {err[0], POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (::poll(fds, n, static_cast<int>(std::max<long long>(1, left))) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < n; ++k) {
      if (!fds[k].revents) continue;
      if (fds[k].fd == in[1]) {
        const ssize_t w =
            ::write(in[1], options.input.data() + written, options.input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == options.input.size()) closeFd(in[1]);
        continue;
      }
      char buf[65536];
      const ssize_t r = ::read(fds[k].fd, buf, sizeof buf);
      if (r > 0) {
        (fds[k].fd == out[0] ? result.out : result.err).append(buf, static_cast<size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        closeFd(fds[k].fd == out[0] ? out[0] : err[0]);
      }
    }
  }
  closeFd(in[1]);
  closeFd(out[0]);
  closeFd(err[0]);
  int status = 0;
  if (waitUntil(pid, deadline, &status) < 0) {
    result.timedOut = true;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
  }
  result.exitedNormally = WIFEXITED(status);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Child::Child(const std::vector<std::string>& argv, const std::string& outFile,
             const std::string& errFile)
    : Child(argv, outFile, errFile, ProcessOptions{}) {}

Child::Child(const std::vector<std::string>& argv, const std::string& outFile,
             const std::string& errFile, const ProcessOptions& options, int terminal) {
  if (argv.empty()) return;
  ExecArgs exec(argv, options);
  const std::string out = outFile.empty() ? "/dev/null" : outFile;
  const std::string err = errFile.empty() ? "/dev/null" : errFile;
  const bool same = out == err;
  // Reports a failed start to the parent; closed by a successful exec.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    auto fail = [&] {
      const int e = errno;
      (void)!::write(report[1], &e, sizeof e);
      ::_exit(127);
    };
    const int in = terminal >= 0 ? terminal : ::open("/dev/null", O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int e = terminal >= 0 ? terminal
                  : same        ? o
                                : ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || o < 0 || e < 0) fail();
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) fail();
    ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    fail();
  }
  ::close(report[1]);
  if (pid_ < 0) {
    pid_ = 0;
  } else {
    int execError = 0;
    started_ = ::read(report[0], &execError, sizeof execError) != sizeof execError;
  }
  ::close(report[0]);
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) stop();
}

void Child::reaped(int status) {
  reaped_ = true;
  exitedNormally_ = WIFEXITED(status);
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Child::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) reaped(status);
  if (r < 0 && errno == ECHILD) reaped_ = true;
  return !reaped_;
}

bool Child::waitFor(int ms) {
  if (pid_ <= 0 || reaped_) return true;
  int status = 0;
  const int r = waitUntil(pid_, Clock::now() + std::chrono::milliseconds(ms), &status);
  if (r < 0) return false;
  if (r == 0)
    reaped(status);
  else
    reaped_ = true;
  return true;
}

bool Child::signal(int sig) {
  // Never kill(0, ...): that would signal the whole process group. running()
  // reaps an ended child, so the pid signalled is still this child's.
  return running() && pid_ > 0 && ::kill(pid_, sig) == 0;
}

void Child::stop(int termMs) {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (waitFor(termMs)) return;
  ::kill(pid_, SIGKILL);
  waitFor(5000);
}

std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& set) {
  ProcessOptions options;
  options.setEnv = set;
  return ExecArgs({}, options).envStrings;
}

pid_t startDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return 0;
  ExecArgs exec(argv, {});
  int pidPipe[2];
  if (::pipe2(pidPipe, O_CLOEXEC) != 0) return 0;
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      const int devnull = ::open("/dev/null", O_RDWR);
      if (devnull >= 0) {
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
      }
      if (::chdir("/") != 0) ::_exit(127);
      ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
      ::_exit(127);
    }
    (void)!::write(pidPipe[1], &grandchild, sizeof grandchild);
    ::_exit(0);
  }
  ::close(pidPipe[1]);
  pid_t pid = 0;
  if (middle > 0) {
    if (::read(pidPipe[0], &pid, sizeof pid) != sizeof pid) pid = 0;
    ::waitpid(middle, nullptr, 0);
  }
  ::close(pidPipe[0]);
  return pid > 0 ? pid : 0;
}

std::string selfExecutable() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  path.resize(n > 0 ? size_t(n) : 0);
  return path;
}

std::string findExecutable(const std::string& name, const std::vector<std::string>& extraDirs) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::string p = path;
    size_t start = 0;
    while (start <= p.size()) {
      const size_t end = p.find(':', start);
      dirs.push_back(p.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  dirs.insert(dirs.end(), extraDirs.begin(), extraDirs.end());
  for (const std::string& d : dirs) {
    if (d.empty()) continue;
    const std::string candidate = d + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

}  // namespace testsupport
