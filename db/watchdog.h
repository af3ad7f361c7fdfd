// Enforces a statement time-out by cancelling the statement from a helper
// thread, for drivers that ignore SQL_ATTR_QUERY_TIMEOUT (the SQLite driver
// does once a query is running); and gives the connection up when a server
// that stopped answering lets the statement outlast its time-out by far.
#pragma once

#ifdef _WIN32
#include <windows.h>  // <sql.h> takes its types from it
#endif

#include <sql.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
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
    // Whether the connection was given up; once finished.
    bool abandoned() const { return abandoned_; }

   private:
    friend class Watchdog;
    explicit Guard(Watchdog* dog) : dog_(dog) {}
    Watchdog* dog_ = nullptr;
    bool fired_ = false;
    bool abandoned_ = false;
  };

  // seconds <= 0 means no limit.
  Guard arm(SQLHSTMT stmt, int seconds);

  // The same, where the statement may outlast its time-out only so long:
  // cancelled once `seconds` pass if `cancels` (where the driver or the
  // server does not end it itself), and once `abandonAfter` pass, the
  // server is taken to have stopped answering and `abandon` gives the
  // connection up, so that the call waiting on it returns. A cancel that
  // blocks as well is left behind: the caller no longer waits for it.
  Guard arm(SQLHSTMT stmt, int seconds, bool cancels, int abandonAfter,
            std::function<void()> abandon);

 private:
  void disarm(Guard& guard);
  void run();

  // Shared with a cancel's own thread, which may outlive the watchdog when
  // the cancel never returns.
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    // A cancel under way, which the statement handle must outlive unless
    // the connection was given up.
    bool cancelling = false;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::mutex& mutex_ = shared_->mutex;
  std::condition_variable& cv_ = shared_->cv;
  std::thread thread_;
  bool stop_ = false;
  bool armed_ = false;
  bool fired_ = false;
  bool cancels_ = true;
  bool abandoned_ = false;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::steady_clock::time_point abandonAt_ = std::chrono::steady_clock::time_point::max();
  std::function<void()> abandon_;
  // When the thread wakes next by itself (max: only when woken).
  std::chrono::steady_clock::time_point waitingUntil_ =
      std::chrono::steady_clock::time_point::max();
};

}  // namespace trellick::db
