#include "cli/interrupt.h"

#include "platform/platform.h"

namespace trellick::cli {

Interrupts::Interrupts(std::function<void(const std::string&)> say)
    : state_(std::make_shared<State>()) {
  state_->say = std::move(say);
  platform::watchInterrupts([state = state_] { pressed(state); });
}

Interrupts::~Interrupts() {
  std::lock_guard lock(state_->mutex);
  state_->say = nullptr;
}

std::string Interrupts::stopCause() const { return platform::lastInterrupt(); }

void Interrupts::watch(const db::Connection& conn) {
  std::lock_guard lock(state_->mutex);
  std::erase_if(state_->watched, [](const db::CancelToken& t) { return t.expired(); });
  state_->watched.push_back(conn.cancelToken());
}

void Interrupts::pressed(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  // The program is ending: nothing left to stop.
  if (!state->say) return;
  const int presses = ++state->presses;
  const bool walking = state->walking.load();
  if (!walking || presses >= 3) {
    state->say(walking ? "Quit before the table under way ended.\n" : "Interrupted.\n");
    platform::quitNow(1);
  }
  if (presses == 1) {
    const std::string cause = platform::lastInterrupt();
    state->say((cause == "Ctrl-C" ? std::string() : cause + ": ") +
               "Stopping after the table under way (Ctrl-C again cancels its statement).\n");
    return;
  }
  state->say("Cancelling the statement under way (Ctrl-C again quits at once).\n");
  // Cancelled outside the lock: a cancel may wait on the driver.
  const std::vector<db::CancelToken> tokens = state->watched;
  lock.unlock();
  for (const auto& token : tokens) token.cancel();
}

}  // namespace trellick::cli
