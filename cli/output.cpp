#include "cli/output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/utf8.h"
#include "platform/platform.h"

namespace trellick::cli {

size_t displayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t k = 0; k < text.size();) {
    const char32_t c = nextCodePoint(text, k);
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
    width += wide ? 2 : 1;
  }
  return width;
}

std::string padRight(std::string text, size_t width) {
  const size_t w = displayWidth(text);
  if (w < width) text.append(width - w, ' ');
  return text;
}

Console::Console() : progress_(platform::errorIsTerminal()) {}

void Console::out(const std::string& text) {
  std::lock_guard lock(mutex_);
  wipeLocked();
  errno = 0;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  noteFailure(stdout, "standard output");
  drawLocked();
}

void Console::err(const std::string& text) {
  std::lock_guard lock(mutex_);
  wipeLocked();
  errno = 0;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  noteFailure(stderr, "standard error");
  drawLocked();
}

void Console::noteFailure(FILE* stream, const char* name) {
  if (!std::ferror(stream) || !failedWrite_.empty()) return;
  failedWrite_ = std::string(name) + (errno ? std::string(" (") + std::strerror(errno) + ")" : "");
}

std::string Console::failedWrite() const {
  std::lock_guard lock(mutex_);
  return failedWrite_;
}

void Console::startProgress(size_t total) {
  std::lock_guard lock(mutex_);
  total_ = total;
  done_ = 0;
  start_ = std::chrono::steady_clock::now();
  drawn_ = progress_;
  drawLocked();
}

void Console::progress(size_t done, const std::string& current) {
  std::lock_guard lock(mutex_);
  done_ = done;
  current_ = current;
  rowsDone_ = rowsTotal_ = 0;
  tableStart_ = std::chrono::steady_clock::now();
  drawLocked();
}

void Console::tableRows(long long done, long long total) {
  std::lock_guard lock(mutex_);
  rowsDone_ = done;
  rowsTotal_ = std::max(total, done);
  drawLocked();
}

void Console::endProgress() {
  std::lock_guard lock(mutex_);
  wipeLocked();
  drawn_ = false;
}

void Console::wipeLocked() {
  if (!progress_ || !drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

void Console::drawLocked() {
  if (!progress_ || !drawn_ || total_ == 0) return;
  const auto now = std::chrono::steady_clock::now();
  lastDraw_ = now;
  constexpr size_t kBar = 24;
  const size_t filled = done_ * kBar / total_;
  std::string line = "\r\033[K[" + std::string(filled, '#') + std::string(kBar - filled, '.') +
                     "] " + std::to_string(done_) + "/" + std::to_string(total_);
  // The time the rate since `since` leaves for what is not done yet.
  auto left = [&](std::chrono::steady_clock::time_point since, long long done, long long all,
                  const char* format) {
    if (done <= 0 || done >= all) return;
    const double elapsed = std::chrono::duration<double>(now - since).count();
    const long seconds =
        static_cast<long>(elapsed / static_cast<double>(done) * static_cast<double>(all - done));
    char buf[32];
    std::snprintf(buf, sizeof buf, format, seconds / 60, seconds % 60);
    line += buf;
  };
  left(start_, static_cast<long long>(done_), static_cast<long long>(total_), "  ~%ld:%02ld left");
  if (rowsTotal_ > 0) {
    // Inside one table: its rows, and the time its rate leaves.
    line += "  rows " + std::to_string(rowsDone_) + "/" + std::to_string(rowsTotal_);
    left(tableStart_, rowsDone_, rowsTotal_, " ~%ld:%02ld left");
  }
  if (!current_.empty()) {
    std::string name = current_;
    if (displayWidth(name) > 40) {
      name = name.substr(0, 37);
      // Not in the middle of a character.
      while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
        name.pop_back();
      if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
      name += "...";
    }
    line += "  " + name;
  }
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

TextTable::TextTable(const std::vector<engine::Table>& tables) {
  for (const auto& t : tables)
    nameWidth_ = std::max(nameWidth_, std::min<size_t>(48, displayWidth(engine::displayName(t))));
}

std::string TextTable::header() const {
  return padRight("TABLE", nameWidth_) + "  " + padRight("STATUS", 20) + "  " +
         padRight("RECORDS", 8) + "  COLUMNS\n";
}

std::string TextTable::row(const engine::TableResult& r) const {
  const std::string status = r.hasRows || r.failure ? engine::statusText(r) : "empty";
  const bool counted = r.status == engine::Status::Found || r.status == engine::Status::Replaced ||
                       r.status == engine::Status::NotFound ||
                       r.status == engine::Status::PartlyReplaced;
  std::string records = counted && r.hasRows ? std::to_string(r.records) : "-";
  records = std::string(records.size() < 8 ? 8 - records.size() : 0, ' ') + records;
  std::string columns;
  for (const auto& c : r.searchableColumns()) columns += (columns.empty() ? "" : ", ") + c;
  std::string line = padRight(engine::displayName(r.table), nameWidth_) + "  " +
                     padRight(status, 20) + "  " + records + "  " + columns;
  const std::string notes = replaceNotes(r);
  if (!notes.empty()) line += "  (" + notes + ")";
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line + "\n";
}

std::string replaceNotes(const engine::TableResult& r) {
  std::vector<std::string> notes;
  if (r.status == engine::Status::PartlyReplaced)
    notes.push_back(std::to_string(r.records) + (r.records == 1 ? " record" : " records") + " in " +
                    std::to_string(r.batches) + (r.batches == 1 ? " batch" : " batches") +
                    " committed, each journaled");
  // A table left as it was has nothing to undo.
  if (r.status != engine::Status::Replaced && notes.empty()) return {};
  if (r.journaled && r.journaled->byValue)
    notes.push_back("no key: an undo finds its rows by value");
  if (r.journaled && r.journaled->kept > 0)
    notes.push_back(std::to_string(r.journaled->kept) + " kept unchanged by the server");
  if (r.hasTriggers) notes.push_back("has triggers: what they did is not undone");
  std::string out;
  for (const auto& n : notes) out += (out.empty() ? "" : "; ") + n;
  return out;
}

}  // namespace trellick::cli
