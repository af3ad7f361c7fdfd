// Ctrl-C for trellick-cli. Interrupts reach no thread of the program but
// the platform's watcher, so no driver call is ever cut by a handler: the
// first Ctrl-C asks the walk to stop between tables, the second cancels
// the statements under way, the third ends the program.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/connection.h"

namespace trellick::cli {

class Interrupts {
 public:
  // Starts watching for Ctrl-C. Call before any other thread exists.
  // `say` writes a line to the operator.
  explicit Interrupts(std::function<void(const std::string&)> say);
  ~Interrupts();
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;

  // Between tables: whether Ctrl-C was pressed.
  bool stopRequested() const { return state_->presses.load() > 0; }

  // While a walk runs, Ctrl-C stops it; outside one it ends the program
  // at once (nothing is under way that a stop could finish).
  void setWalking(bool walking) { state_->walking.store(walking); }

  // What stopped the walk: "Ctrl-C", "SIGTERM" or "SIGHUP".
  std::string stopCause() const;

  // Connections whose statement a second Ctrl-C cancels.
  void watch(const db::Connection& conn);

 private:
  // Shared with the watcher thread, which outlives this object until the
  // process ends.
  struct State {
    std::function<void(const std::string&)> say;  // empty once closed
    std::atomic<int> presses{0};
    std::atomic<bool> walking{false};
    std::mutex mutex;
    std::vector<db::CancelToken> watched;
  };
  static void pressed(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
};

}  // namespace trellick::cli
