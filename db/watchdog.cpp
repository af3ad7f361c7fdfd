#include "db/watchdog.h"

#include <sqlext.h>

#include <utility>

namespace trellick::db {

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

Watchdog::Guard::Guard(Guard&& other) noexcept
    : dog_(std::exchange(other.dog_, nullptr)),
      fired_(other.fired_),
      abandoned_(other.abandoned_) {}

Watchdog::Guard::~Guard() { finish(); }

bool Watchdog::Guard::finish() {
  if (dog_) {
    dog_->disarm(*this);
    dog_ = nullptr;
  }
  return fired_;
}

Watchdog::Guard Watchdog::arm(SQLHSTMT stmt, int seconds) {
  return arm(stmt, seconds, true, 0, {});
}

Watchdog::Guard Watchdog::arm(SQLHSTMT stmt, int seconds, bool cancels, int abandonAfter,
                              std::function<void()> abandon) {
  if (seconds <= 0 || (!cancels && !abandon)) return Guard();
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    const auto now = std::chrono::steady_clock::now();
    stmt_ = stmt;
    armed_ = true;
    fired_ = abandoned_ = false;
    cancels_ = cancels;
    deadline_ = now + std::chrono::seconds(seconds);
    abandon_ = std::move(abandon);
    abandonAt_ = abandon_ ? now + std::chrono::seconds(abandonAfter)
                          : std::chrono::steady_clock::time_point::max();
    // The thread is woken only when it would sleep past the new deadline:
    // once per time-out at most while statements follow one another, not
    // twice per statement.
    wake = std::min(cancels_ ? deadline_ : abandonAt_, abandonAt_) < waitingUntil_;
  }
  if (wake) cv_.notify_all();
  return Guard(this);
}

void Watchdog::disarm(Guard& guard) {
  // Waiting for a cancel under way keeps the statement handle from being
  // freed while SQLCancel uses it; a connection given up keeps its handles.
  // The thread finds the statement gone when it wakes.
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return !shared_->cancelling || abandoned_; });
  armed_ = false;
  stmt_ = SQL_NULL_HSTMT;
  abandon_ = nullptr;
  guard.fired_ = std::exchange(fired_, false);
  guard.abandoned_ = std::exchange(abandoned_, false);
}

void Watchdog::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    const bool cancelDue = armed_ && cancels_ && !fired_;
    const bool abandonDue = (armed_ || shared_->cancelling) && abandon_ && !abandoned_;
    if (!cancelDue && !abandonDue) {
      waitingUntil_ = std::chrono::steady_clock::time_point::max();
      cv_.wait(lock);
      continue;
    }
    const auto next = cancelDue ? std::min(deadline_, abandonAt_) : abandonAt_;
    waitingUntil_ = next;
    cv_.wait_until(lock, next);
    if (stop_) break;
    const auto now = std::chrono::steady_clock::now();
    if (armed_ && cancels_ && !fired_ && now >= deadline_) {
      fired_ = shared_->cancelling = true;
      // On a thread of its own: a driver may cancel through a connection of
      // its own to a server that no longer answers, and the connection must
      // still be given up in time.
      std::thread([shared = shared_, stmt = stmt_] {
        SQLCancel(stmt);
        std::lock_guard done(shared->mutex);
        shared->cancelling = false;
        shared->cv.notify_all();
      }).detach();
    }
    if ((armed_ || shared_->cancelling) && abandon_ && !abandoned_ && now >= abandonAt_) {
      abandoned_ = true;
      abandon_();
      cv_.notify_all();
    }
  }
}

}  // namespace trellick::db
