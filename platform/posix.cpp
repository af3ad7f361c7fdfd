#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"

namespace trellick::platform {
namespace {

std::mutex terminalMutex;
bool terminalChanged = false;
termios savedTerminal{};

// Puts the terminal back as it was before readHiddenLine, if it changed it.
void restoreTerminal() {
  std::lock_guard lock(terminalMutex);
  if (!terminalChanged) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalChanged = false;
}

}  // namespace

bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool errorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool readHiddenLine(const std::string& prompt, std::string& line) {
  // Echo goes off before the prompt shows: nothing typed after it appears.
  {
    std::lock_guard lock(terminalMutex);
    if (tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
      termios quiet = savedTerminal;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0) terminalChanged = true;
    }
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  const bool ok = static_cast<bool>(std::getline(std::cin, line));
  restoreTerminal();
  std::fputs("\n", stderr);
  return ok;
}

namespace {
std::atomic<int> lastSignal{0};
}  // namespace

void watchInterrupts(std::function<void()> pressed) {
  // SIGINT is blocked in this thread and every thread started after it,
  // and taken by one watcher with sigwait.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  // A service manager's stop and a closed SSH session stop a run the same
  // way, its summary told.
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // Detached: the process ends while it waits.
  std::thread([set, pressed = std::move(pressed)] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      lastSignal.store(sig);
      pressed();
    }
  }).detach();
}

void quitNow(int code) {
  restoreTerminal();
  std::fflush(nullptr);
  ::_exit(code);
}

std::string canonicalPath(const std::string& path) {
  if (char* full = ::realpath(path.c_str(), nullptr)) {
    std::string out(full);
    std::free(full);
    return out;
  }
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

std::string userDataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return data;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share";
}

void makePrivateDirectories(const std::string& dir) {
  std::string partial;
  size_t at = 0;
  while (at != std::string::npos) {
    at = dir.find('/', at + 1);
    partial = dir.substr(0, at);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot create " + partial + ": " + std::strerror(errno));
  }
  // The folder itself is ours alone even when it was made before, by us
  // or by hand; the folders above it are the user's business.
  // A folder shared by design (sticky or open to all, as /tmp) is left as
  // it is: closing it would lock every other user out of it.
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0 &&
      (st.st_mode & (S_ISVTX | S_IWOTH)) == 0 && ::chmod(dir.c_str(), 0700) != 0)
    throw std::runtime_error("cannot make " + dir + " private: " + std::strerror(errno));
}

void makePrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  ::fchmod(fd, 0600);
  ::close(fd);
}

void setUpConsole() {}

std::vector<std::string> arguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::tm utcTime(std::time_t t) {
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  return tm;
}

std::string parentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<SocketId> openSockets() {
  std::vector<SocketId> sockets;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return sockets;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode))
      sockets.push_back({fd, static_cast<unsigned long long>(st.st_ino)});
  }
  ::closedir(dir);
  return sockets;
}

void shutdownSocket(const SocketId& socket) {
  const int fd = static_cast<int>(socket.descriptor);
  struct stat st {};
  // Shut down, not closed: the descriptor stays the driver's to close, and
  // cannot be handed to anything else meanwhile.
  if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
      static_cast<unsigned long long>(st.st_ino) == socket.identity)
    ::shutdown(fd, SHUT_RDWR);
}

std::string lastInterrupt() {
  switch (lastSignal.load()) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "Ctrl-C";
  }
}

}  // namespace trellick::platform
