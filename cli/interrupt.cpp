#include "cli/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <thread>

namespace trellick::cli {
namespace {

std::mutex terminalMutex;
bool terminalChanged = false;
termios savedTerminal{};

}  // namespace

void restoreTerminal() {
  std::lock_guard lock(terminalMutex);
  if (!terminalChanged) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalChanged = false;
}

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

Interrupts::Interrupts(std::function<void(const std::string&)> say) : say_(std::move(say)) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // The watcher outlives nothing it needs: it is detached and the process
  // ends while it waits.
  std::thread([this] { run(); }).detach();
}

Interrupts::~Interrupts() = default;

void Interrupts::watch(const db::Connection& conn) {
  std::lock_guard lock(mutex_);
  std::erase_if(watched_, [](const auto& w) { return w.expired(); });
  watched_.push_back(conn.core());
}

void Interrupts::cancelAll() {
  std::vector<std::shared_ptr<db::ConnectionCore>> cores;
  {
    std::lock_guard lock(mutex_);
    for (const auto& w : watched_)
      if (auto core = w.lock()) cores.push_back(std::move(core));
  }
  for (const auto& core : cores) db::cancelRunning(*core);
}

void Interrupts::run() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    const int presses = ++presses_;
    if (!walking_.load() || presses >= 3) {
      restoreTerminal();
      say_(walking_.load() ? "Quit before the table under way ended.\n" : "Interrupted.\n");
      std::fflush(nullptr);
      ::_exit(1);
    }
    if (presses == 1)
      say_("Stopping after the table under way (Ctrl-C again cancels its statement).\n");
    else
      say_("Cancelling the statement under way (Ctrl-C again quits at once).\n");
    if (presses == 2) cancelAll();
  }
}

}  // namespace trellick::cli
