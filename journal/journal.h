// What every replace changed, kept so that it can be taken back: per run
// (its connection without the password, its texts, its time) and per
// table, each changed row's identity with the values before and after, in a
// SQLite file readable by its owner only. A table's rows are on disk before
// the server's update commits; the table is marked done after.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "search/changes.h"

namespace trellick::journal {

using Value = std::optional<std::string>;
using Values = std::vector<Value>;

struct RunInfo {
  std::string kind = "replace";  // "replace" or "undo"
  std::string server;
  std::string database;
  std::string user;
  std::string find;
  std::string replace;
  long long undoes = 0;  // the run an undo takes back
  // The database as its server names it (db::Connection::DatabaseIdentity());
  // empty for runs journaled before it was recorded.
  std::string identity;
};

enum class TableState { Journaling, Journaled, Done, Failed };

struct TableEntry {
  long long id = 0;
  long long run = 0;
  search::TableRef table{""};
  std::vector<search::ChangeColumn> identity;  // key columns, or every column
  bool byValue = false;
  std::vector<search::ChangeColumn> changed;  // the columns the update assigns
  TableState state = TableState::Journaling;
  long long rows = 0;
  // Every column of the table, whose images each row keeps as the run left
  // it; empty for a run journaled without images.
  std::vector<search::ChangeColumn> imageColumns;
  // The identity values are literals of the engine (images), written into
  // the statements that find the rows again.
  bool literalKeys = false;
  // A batch of a table's replace: its number (1 the first; 0 for a table
  // replaced whole) and the key of its last row, which the next batch
  // starts after (none: the batch took every row left).
  long long batch = 0;
  std::optional<Values> bound;
};

struct RunEntry {
  long long id = 0;
  RunInfo info;
  std::string started;   // UTC, ISO 8601
  std::string finished;  // empty while running or when the run was cut short
  std::vector<TableEntry> tables;
  // The undo that took this run back and is not itself taken back; 0 when
  // none did.
  long long undoneBy = 0;

  // What the run was asked, for a resume to go on with the same (a JSON
  // object of the front end's; empty for runs made before it was kept).
  std::string options;

  // Rows the run changed: those of the tables the server committed.
  long long rowsChanged() const;
};

struct Row {
  Values identity;
  Values before;  // one per changed column
  Values after;
  Values image = {};  // one per image column: the whole row as the run left it
};

// How a table's rows are journaled beyond their identity and changes.
struct TableImages {
  std::vector<search::ChangeColumn> columns;  // empty: no images
  bool literalKeys = false;
};

class Journal {
 public:
  // $XDG_DATA_HOME/Trellick/journal.db, or ~/.local/share/Trellick/journal.db.
  static std::string defaultPath();

  // Opens (creating it and its directory, owner-only) the journal at path.
  // Throws std::runtime_error.
  explicit Journal(const std::string& path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& path() const { return path_; }

  // Several journals on one file written at once, one per worker: each
  // table's rows are gathered apart, in this connection's temporary store,
  // and go into the file at its seal in one short write transaction. That
  // and every other write of this journal is made holding `writers`, which
  // the others hold for theirs (none: rows go straight into the file
  // again). No write transaction of the file then stays open while a
  // server works: a worker never waits on another's table, and SQLite's
  // busy wait never runs out behind one. Set between tables only.
  void shareWriting(std::mutex* writers);

  long long beginRun(const RunInfo& info);
  void finishRun(long long run);

  // One table: its rows go in one transaction of the journal, made durable
  // by seal(); until then a cut-short table leaves nothing behind.
  long long beginTable(long long run, const search::TableRef& table,
                       const std::vector<search::ChangeColumn>& identity, bool byValue,
                       const std::vector<search::ChangeColumn>& changed,
                       const TableImages& images = {});
  void addRow(long long table, const Row& row);
  // Rows added to the table being journaled so far, less those dropped.
  long long rowsOf(long long /*table*/) const { return seq_ - dropped_; }
  // Before the seal: the rows numbered from..to (1 is the first added),
  // each with its number; one of them written anew, or dropped.
  std::vector<std::pair<long long, Row>> rowsBetween(long long table, long long from, long long to);
  void rewriteRow(long long table, long long seq, const Row& row);
  void dropRow(long long table, long long seq);
  void seal(long long table);
  // Drops a table that was begun but not sealed.
  void abandon(long long table);
  void mark(long long table, TableState state);
  // Before the seal: the table is one batch of its replace (TableEntry).
  void setBatch(long long table, long long batch, const std::optional<Values>& bound);
  // The run's options, for a resume.
  void setOptions(long long run, const std::string& options);

  // Runs, newest first, each with the undo that took it back.
  std::vector<RunEntry> runs();
  std::optional<RunEntry> run(long long id);
  // The newest run, whatever its kind.
  std::optional<RunEntry> lastRun();
  // The rows of a table, in the order they were written, one at a time.
  void forEachRow(long long table, const std::function<void(const Row&)>& visit);
  // What SQLite's integrity check finds wrong with the file; nullopt when
  // nothing.
  std::optional<std::string> damage();
  // What is wrong with a sealed table's rows: one not matching its
  // checksum or unreadable, or fewer or more rows than were sealed.
  std::optional<std::string> damage(const TableEntry& table);

 private:
  void exec(const char* sql);
  // The tables, and the columns added to them since the first journals.
  void makeSchema();
  // Journals made before a column was added get it, empty.
  void addColumnIfMissing(const char* table, const char* column, const char* declaration);
  sqlite3_stmt* prepare(const char* sql);
  std::vector<TableEntry> tablesOf(long long run);

  // Where a table's rows are until its seal: the file's own table, or the
  // temporary store's for a table gathered apart (a negative number).
  static bool gathered(long long table) { return table < 0; }
  // Held for a write of the file where it is shared (shareWriting).
  std::unique_lock<std::mutex> writing();
  // A sealed table's number in the file, for one gathered apart.
  long long filed(long long table) const;

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insertRow_ = nullptr;
  std::mutex* writers_ = nullptr;
  // The table being gathered apart: its row of `tables`, written at the seal.
  struct Gathering {
    long long run = 0;
    search::TableRef table{""};
    std::string identity, changed, imageColumns;
    bool byValue = false, literalKeys = false;
    long long batch = 0;
    std::optional<Values> bound;
  };
  std::optional<Gathering> gathering_;
  long long lastGathered_ = 0;
  std::map<long long, long long> filed_;  // gathered number -> the file's
  long long seq_ = 0;
  long long dropped_ = 0;

  // The statements a table's journaling sends again and again, prepared
  // once for this connection to the file, each reset after its use.
  enum Cached {
    kBeginTable,
    kRowsBetween,
    kRewriteRow,
    kDropRow,
    kSeal,
    kMark,
    kGatheredInsert,
    kGatheredRowsBetween,
    kGatheredRewriteRow,
    kGatheredDropRow,
    kFileTable,
    kFileRows,
    kCachedCount
  };
  sqlite3_stmt* cached(Cached which, const char* sql);
  sqlite3_stmt* cached_[kCachedCount] = {};
};

// The rows' value lists as stored: each value a tag (0 NULL, 1 text), a
// 4-byte little-endian length and the bytes.
std::string encodeValues(const Values& values);
Values decodeValues(const void* data, size_t size);

const char* stateName(TableState state);

}  // namespace trellick::journal
