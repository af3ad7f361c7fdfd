// Enforces a statement time-out by cancelling the statement from a helper
// thread, for drivers that ignore SQL_ATTR_QUERY_TIMEOUT (the SQLite driver
// does once a query is running).
#pragma once

#ifdef _WIN32
#include <windows.h>  // <sql.h> takes its types from it
#endif

#include <sql.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace trellick::db {

class Watchdog {
 public:
  Watchdog() = default;
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // While a Guard lives, the statement is cancelled once `seconds` pass.
  class Guard {
   public:
    Guard() = default;
    Guard(Guard&& other) noexcept;
    Guard& operator=(Guard&&) = delete;
    ~Guard();
    // Disarms and tells whether the time-out cancelled the statement.
    bool finish();

   private:
    friend class Watchdog;
    explicit Guard(Watchdog* dog) : dog_(dog) {}
    Watchdog* dog_ = nullptr;
    bool fired_ = false;
  };

  // seconds <= 0 means no limit.
  Guard arm(SQLHSTMT stmt, int seconds);

 private:
  bool disarm();
  void run();

  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread thread_;
  bool stop_ = false;
  bool armed_ = false;
  bool fired_ = false;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  std::chrono::steady_clock::time_point deadline_;
  // When the thread wakes next by itself (max: only when woken).
  std::chrono::steady_clock::time_point waitingUntil_ =
      std::chrono::steady_clock::time_point::max();
};

}  // namespace trellick::db
