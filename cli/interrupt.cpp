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

Interrupts::Interrupts(std::function<void(const std::string&)> say)
    : state_(std::make_shared<State>()) {
  state_->say = std::move(say);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // Detached: the process ends while it waits.
  std::thread([state = state_] { run(state); }).detach();
}

Interrupts::~Interrupts() {
  std::lock_guard lock(state_->mutex);
  state_->say = nullptr;
}

void Interrupts::watch(const db::Connection& conn) {
  std::lock_guard lock(state_->mutex);
  std::erase_if(state_->watched, [](const auto& w) { return w.expired(); });
  state_->watched.push_back(conn.core());
}

void Interrupts::run(const std::shared_ptr<State>& state) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    std::unique_lock lock(state->mutex);
    // The program is ending: nothing left to stop.
    if (!state->say) continue;
    const int presses = ++state->presses;
    const bool walking = state->walking.load();
    if (!walking || presses >= 3) {
      restoreTerminal();
      state->say(walking ? "Quit before the table under way ended.\n" : "Interrupted.\n");
      std::fflush(nullptr);
      ::_exit(1);
    }
    if (presses == 1) {
      state->say("Stopping after the table under way (Ctrl-C again cancels its statement).\n");
      continue;
    }
    state->say("Cancelling the statement under way (Ctrl-C again quits at once).\n");
    std::vector<std::shared_ptr<db::ConnectionCore>> cores;
    for (const auto& w : state->watched)
      if (auto core = w.lock()) cores.push_back(std::move(core));
    lock.unlock();
    for (const auto& core : cores) db::cancelRunning(*core);
  }
}

}  // namespace trellick::cli
