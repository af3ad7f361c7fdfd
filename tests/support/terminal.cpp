#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace testsupport {

using Clock = std::chrono::steady_clock;

Terminal::Terminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
  slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

Terminal::~Terminal() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

bool Terminal::readSome(std::string& into, int ms) {
  pollfd fd{master_, POLLIN, 0};
  if (::poll(&fd, 1, ms) <= 0 || !(fd.revents & POLLIN)) return false;
  char buf[4096];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  if (n > 0) into.append(buf, static_cast<size_t>(n));
  return true;
}

std::string Terminal::readUntil(const std::string& text, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (shown_.find(text) == std::string::npos && Clock::now() < deadline) readSome(shown_, 50);
  return shown_;
}

std::string Terminal::readWhile(const std::function<bool()>& running) {
  std::string shown;
  auto quietSince = Clock::now();
  while (running() || Clock::now() - quietSince < std::chrono::milliseconds(300))
    if (!readSome(shown, 50) && !running()) quietSince = std::min(quietSince, Clock::now());
  shown_ += shown;
  return shown;
}

bool Terminal::type(const std::string& keys) {
  return ::write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

}  // namespace testsupport
