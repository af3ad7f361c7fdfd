// What trellick-cli writes: a readable table or JSON lines on standard
// output, a progress line on standard error while it is a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace trellick::cli {

// Columns a terminal gives the text (East Asian wide characters take two).
size_t displayWidth(std::string_view text);

// Everything written goes through here, one writer at a time, and the
// progress line is wiped before anything else reaches the terminal.
class Console {
 public:
  Console();
  void out(const std::string& text);  // standard output
  void err(const std::string& text);  // standard error

  // The progress line (only while standard error is a terminal).
  bool progressShown() const { return progress_; }
  void startProgress(size_t total);
  void progress(size_t done, const std::string& current);
  void endProgress();
  // Rows done of the current table's, inside it (a batched replace); reset
  // by the next progress().
  void tableRows(long long done, long long total);

  // A write to standard output or error failed (a full disk, a closed
  // pipe): which one and why, empty while none has. The run then stops
  // after the table under way.
  std::string failedWrite() const;

 private:
  void noteFailure(FILE* stream, const char* name);
  void wipeLocked();
  void drawLocked();

  mutable std::mutex mutex_;
  bool progress_ = false;
  bool drawn_ = false;
  size_t total_ = 0;
  size_t done_ = 0;
  std::string current_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  long long rowsDone_ = 0;
  long long rowsTotal_ = 0;
  std::chrono::steady_clock::time_point tableStart_;
  std::string failedWrite_;
};

// The readable table: a header, then one row per table as it finishes.
class TextTable {
 public:
  explicit TextTable(const std::vector<engine::Table>& tables);
  std::string header() const;
  std::string row(const engine::TableResult& result) const;

 private:
  size_t nameWidth_ = 5;
};

std::string padRight(std::string text, size_t width);

// What an operator should know of a replaced table: no key, rows the server
// kept, triggers of its own. Empty when nothing, or not replaced.
std::string replaceNotes(const engine::TableResult& result);

}  // namespace trellick::cli
