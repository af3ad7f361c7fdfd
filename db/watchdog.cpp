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
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    stmt_ = stmt;
    armed_ = true;
    fired_ = false;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  }
  cv_.notify_all();
  return Guard(this);
}

bool Watchdog::disarm() {
  // Taking the mutex also waits for a cancel that is under way, so the
  // statement handle is never freed while SQLCancel uses it.
  std::lock_guard lock(mutex_);
  armed_ = false;
  stmt_ = SQL_NULL_HSTMT;
  cv_.notify_all();
  return std::exchange(fired_, false);
}

void Watchdog::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (!armed_) {
      cv_.wait(lock);
      continue;
    }
    auto deadline = deadline_;
    cv_.wait_until(lock, deadline);
    if (armed_ && !stop_ && std::chrono::steady_clock::now() >= deadline_) {
      SQLCancel(stmt_);
      fired_ = true;
      armed_ = false;
    }
  }
}

}  // namespace trellick::db
