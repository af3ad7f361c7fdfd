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
    : dog_(std::exchange(other.dog_, nullptr)), fired_(other.fired_) {}

Watchdog::Guard::~Guard() { finish(); }

bool Watchdog::Guard::finish() {
  if (dog_) {
    fired_ = dog_->disarm();
    dog_ = nullptr;
  }
  return fired_;
}

Watchdog::Guard Watchdog::arm(SQLHSTMT stmt, int seconds) {
  if (seconds <= 0) return Guard();
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    stmt_ = stmt;
    armed_ = true;
    fired_ = false;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // The thread is woken only when it would sleep past the new deadline:
    // once per time-out at most while statements follow one another, not
    // twice per statement.
    wake = deadline_ < waitingUntil_;
  }
  if (wake) cv_.notify_all();
  return Guard(this);
}

bool Watchdog::disarm() {
  // Taking the mutex also waits for a cancel that is under way, so the
  // statement handle is never freed while SQLCancel uses it. The thread
  // finds the statement gone when it wakes.
  std::lock_guard lock(mutex_);
  armed_ = false;
  stmt_ = SQL_NULL_HSTMT;
  return std::exchange(fired_, false);
}

void Watchdog::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (!armed_) {
      waitingUntil_ = std::chrono::steady_clock::time_point::max();
      cv_.wait(lock);
      continue;
    }
    auto deadline = deadline_;
    waitingUntil_ = deadline;
    cv_.wait_until(lock, deadline);
    if (armed_ && !stop_ && std::chrono::steady_clock::now() >= deadline_) {
      SQLCancel(stmt_);
      fired_ = true;
      armed_ = false;
    }
  }
}

}  // namespace trellick::db
