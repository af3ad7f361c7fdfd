// Nothing waits without end: a server that takes the connection and never
// answers ends the command line's connect at --connect-timeout, on every
// server form, with a message that names the option.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_run.h"
#include "support/free_port.h"

namespace {

using testsupport::CliRun;
using Clock = std::chrono::steady_clock;

// Takes every connection on a loopback port and never says a word.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
          const int taken = ::accept(fd_, nullptr, nullptr);
          if (taken >= 0) taken_.push_back(taken);
        }
      }
    });
  }
  ~SilentListener() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : taken_) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }
  size_t taken() const { return taken_.size(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::vector<int> taken_;
  std::thread thread_;
};

TEST(ConnectTimeout, SilentServerEndsTheConnectOnEveryServerForm) {
  SilentListener listener;
  ASSERT_NE(listener.port(), 0);
  const std::string port = std::to_string(listener.port());
  ::setenv("TRELLICK_TEST_PW", "pw", 1);
  for (const std::string& server :
       {"postgresql:127.0.0.1:" + port, "mariadb:127.0.0.1:" + port, "127.0.0.1," + port}) {
    SCOPED_TRACE(server);
    const auto started = Clock::now();
    const CliRun run = testsupport::runCli(
        {"find", "--server", server, "--database", "shop", "--user", "u", "--password-env",
         "TRELLICK_TEST_PW", "--find", "a", "--timeout", "30", "--connect-timeout", "2"});
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(run.exitCode, 2) << run.describe();
    // Two seconds, a second's grace where the driver does not keep it
    // itself, and the program's start.
    EXPECT_GE(seconds, 1.5) << run.describe();
    EXPECT_LT(seconds, 8) << run.describe();
    EXPECT_NE(run.err.find("cannot connect to " + server), std::string::npos) << run.describe();
    EXPECT_NE(run.err.find("Login timeout expired (2 s); raise it with --connect-timeout SECONDS"),
              std::string::npos)
        << run.describe();
  }
  EXPECT_GE(listener.taken(), 3u);
}

}  // namespace
