#include "journal/journal.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "platform/platform.h"

namespace trellick::journal {
namespace {

std::string nowUtc() {
  const std::time_t t = std::time(nullptr);
  const std::tm tm = platform::utcTime(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// A name that would break its line (a line feed), or be read as one so
// kept, is stored as this mark and its bytes in hex digits; any other name
// as it is, as journals have always kept names.
constexpr char kHexName = '\x01';

std::string storedName(const std::string& name) {
  if (name.find('\n') == std::string::npos && (name.empty() || name[0] != kHexName)) return name;
  static const char* digits = "0123456789abcdef";
  std::string out(1, kHexName);
  for (unsigned char c : name) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string nameFromStored(const std::string& stored) {
  if (stored.empty() || stored[0] != kHexName) return stored;
  std::string out;
  for (size_t k = 1; k + 1 < stored.size(); k += 2)
    out += static_cast<char>(std::stoi(stored.substr(k, 2), nullptr, 16));
  return out;
}

// Column lists as stored: "name\ttype\tsize" lines.
std::string encodeColumns(const std::vector<search::ChangeColumn>& columns) {
  std::string out;
  for (const auto& c : columns)
    out +=
        storedName(c.name) + '\t' + std::to_string(c.type) + '\t' + std::to_string(c.size) + '\n';
  return out;
}

std::vector<search::ChangeColumn> decodeColumns(const std::string& text) {
  std::vector<search::ChangeColumn> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    const size_t a = line.rfind('\t');
    const size_t b = line.rfind('\t', a - 1);
    out.push_back({nameFromStored(line.substr(0, b)), std::stoi(line.substr(b + 1, a - b - 1)),
                   std::stoll(line.substr(a + 1))});
  }
  return out;
}

std::string columnText(sqlite3_stmt* s, int i) {
  const auto* p = sqlite3_column_text(s, i);
  return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(s, i))
           : std::string();
}

TableState stateFrom(const std::string& name) {
  if (name == "journaled") return TableState::Journaled;
  if (name == "done") return TableState::Done;
  if (name == "failed") return TableState::Failed;
  return TableState::Journaling;
}

}  // namespace

const char* stateName(TableState state) {
  switch (state) {
    case TableState::Journaling:
      return "journaling";
    case TableState::Journaled:
      return "journaled";
    case TableState::Done:
      return "done";
    case TableState::Failed:
      return "failed";
  }
  return "";
}

std::string encodeValues(const Values& values) {
  std::string out;
  for (const auto& v : values) {
    out += static_cast<char>(v ? 1 : 0);
    const uint32_t n = v ? static_cast<uint32_t>(v->size()) : 0;
    for (int k = 0; k < 4; ++k) out += static_cast<char>((n >> (8 * k)) & 0xFF);
    if (v) out += *v;
  }
  return out;
}

Values decodeValues(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  Values out;
  size_t at = 0;
  while (at + 5 <= size) {
    const bool present = p[at] != 0;
    uint32_t n = 0;
    for (int k = 0; k < 4; ++k) n |= static_cast<uint32_t>(p[at + 1 + k]) << (8 * k);
    at += 5;
    if (at + n > size) throw std::runtime_error("journal: a damaged row");
    out.push_back(present ? Value(std::string(reinterpret_cast<const char*>(p + at), n))
                          : std::nullopt);
    at += n;
  }
  return out;
}

namespace {

// FNV-1a, 64 bits, over the row's number and each value list with its
// length: a flipped byte or a value moved to another row changes it.
long long rowChecksum(long long seq, const std::string& identity, const std::string& before,
                      const std::string& after, const std::string& image) {
  uint64_t h = 14695981039346656037ull;
  auto add = [&](const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t k = 0; k < n; ++k) {
      h ^= p[k];
      h *= 1099511628211ull;
    }
  };
  add(&seq, sizeof seq);
  for (const std::string* part : {&identity, &before, &after, &image}) {
    const uint64_t n = part->size();
    add(&n, sizeof n);
    add(part->data(), part->size());
  }
  return static_cast<long long>(h);
}

std::string blobOf(sqlite3_stmt* s, int column) {
  const void* p = sqlite3_column_blob(s, column);
  return p ? std::string(static_cast<const char*>(p), size_t(sqlite3_column_bytes(s, column)))
           : std::string();
}

}  // namespace

std::string Journal::defaultPath() { return platform::userDataFolder() + "/Trellick/journal.db"; }

namespace {

// Changing the file's journal mode is refused at once, the busy wait not
// asked, while another connection is first to the same new file; waited
// for here as any other lock is.
void execWhileBusy(sqlite3* db, const char* sql) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc == SQLITE_OK) return;
    const std::string why = error ? error : "unknown error";
    sqlite3_free(error);
    if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= until)
      throw std::runtime_error("journal: " + why);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

Journal::Journal(const std::string& path) : path_(path) {
  if (const std::string folder = platform::parentFolder(path); !folder.empty())
    platform::makePrivateDirectories(folder);
  // Created owner-only before SQLite opens it: old values are the
  // database's own data.
  platform::makePrivateFile(path);
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open " + path + ": " + why);
  }
  sqlite3_busy_timeout(db_, 10000);
  // A new file's pages: a table's seal writes its rows' pages to the log
  // and a checkpoint copies them on, at a quarter of the calls of the
  // default's. A file made before keeps its own.
  execWhileBusy(db_, "pragma page_size = 16384");
  // A sealed table must survive a crash of the machine, not only of us.
  execWhileBusy(db_, "pragma journal_mode = wal");
  exec("pragma synchronous = full");
  // The schema made or brought up to date in one transaction: one wait for
  // the disk instead of one a statement, none when nothing changes.
  // Deferred: a schema already whole is only read, so another connection
  // to the file (a worker of --jobs) in the middle of a table's rows is not
  // waited for.
  // Two connections both first to a new file, each reading then making the
  // schema, would deadlock: SQLite gives one of them up at once, without
  // its busy wait. That one tries again as a writer from the start.
  for (const char* begin : {"begin", "begin immediate"}) {
    try {
      exec(begin);
      makeSchema();
      exec("commit");
      break;
    } catch (...) {
      sqlite3_exec(db_, "rollback", nullptr, nullptr, nullptr);
      if (std::string_view(begin) == "begin") continue;
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }
  insertRow_ = prepare(
      "insert into rows(tbl, seq, identity, before, after, image, checksum) "
      "values(?,?,?,?,?,?,?)");
}

void Journal::makeSchema() {
  exec(
      "create table if not exists runs(id integer primary key, kind text not null, server text, "
      "database text, user text, find text, replace text, undoes integer, started text, "
      "finished text);"
      "create table if not exists tables(id integer primary key, run integer not null, schema "
      "text, name text, identity text, by_value integer, changed text, state text, rows "
      "integer);"
      "create table if not exists rows(tbl integer not null, seq integer not null, identity "
      "blob, before blob, after blob, primary key(tbl, seq)) without rowid;");
  addColumnIfMissing("tables", "image_columns", "text");
  addColumnIfMissing("tables", "literal_keys", "integer");
  addColumnIfMissing("rows", "image", "blob");
  addColumnIfMissing("runs", "identity", "text");
  // Each row's checksum; a table journaled with them has one on every row.
  addColumnIfMissing("rows", "checksum", "integer");
  addColumnIfMissing("tables", "checksums", "integer");
  // Batches of a table's replace, and what a run was asked, for a resume.
  addColumnIfMissing("tables", "batch", "integer");
  addColumnIfMissing("tables", "bound", "blob");
  addColumnIfMissing("runs", "options", "text");
}

Journal::~Journal() {
  for (sqlite3_stmt* s : cached_) sqlite3_finalize(s);
  sqlite3_finalize(insertRow_);
  sqlite3_close(db_);
}

void Journal::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("journal: " + why);
  }
}

void Journal::addColumnIfMissing(const char* table, const char* column, const char* declaration) {
  sqlite3_stmt* s = prepare((std::string("select 1 from pragma_table_info('") + table +
                             "') where name = '" + column + "'")
                                .c_str());
  const bool present = sqlite3_step(s) == SQLITE_ROW;
  sqlite3_finalize(s);
  if (!present)
    exec((std::string("alter table ") + table + " add column " + column + " " + declaration)
             .c_str());
}

sqlite3_stmt* Journal::prepare(const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("journal: ") + sqlite3_errmsg(db_));
  return s;
}

sqlite3_stmt* Journal::cached(Cached which, const char* sql) {
  if (!cached_[which]) cached_[which] = prepare(sql);
  return cached_[which];
}

namespace {

struct Statement {
  sqlite3_stmt* s;
  ~Statement() { sqlite3_finalize(s); }
  void text(int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void integer(int i, long long v) { sqlite3_bind_int64(s, i, v); }
};

// A prepared statement of the journal's own, kept: reset and cleared when
// done with, so that it holds no read open and no value it was given.
struct Kept : Statement {
  explicit Kept(sqlite3_stmt* statement) : Statement{statement} {}
  ~Kept() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    s = nullptr;
  }
};

void stepDone(sqlite3* db, sqlite3_stmt* s) {
  if (sqlite3_step(s) != SQLITE_DONE)
    throw std::runtime_error(std::string("journal: ") + sqlite3_errmsg(db));
}

}  // namespace

void Journal::shareWriting(std::mutex* writers) {
  // Like the file's own table, in the temporary store: nothing in it is
  // kept past the connection, and it is written without taking the file.
  if (writers) {
    // Kept in memory up to a size most tables' rows fit in, and its undo
    // too: gathering writes no temporary file but a large table's.
    exec("pragma temp.cache_size = -16384");
    exec("pragma temp.journal_mode = memory");
    exec(
        "create temp table if not exists gathered_rows(tbl integer not null, seq integer not "
        "null, identity blob, before blob, after blob, image blob, checksum integer, primary "
        "key(tbl, seq)) without rowid");
  }
  writers_ = writers;
}

std::unique_lock<std::mutex> Journal::writing() {
  return writers_ ? std::unique_lock(*writers_) : std::unique_lock<std::mutex>();
}

long long Journal::filed(long long table) const {
  if (!gathered(table)) return table;
  const auto it = filed_.find(table);
  if (it == filed_.end()) throw std::runtime_error("journal: a table that was never sealed");
  return it->second;
}

long long Journal::beginRun(const RunInfo& info) {
  const auto lock = writing();
  Statement st{
      prepare("insert into runs(kind, server, database, user, find, replace, undoes, started, "
              "identity) values(?,?,?,?,?,?,?,?,?)")};
  st.text(1, info.kind);
  st.text(2, info.server);
  st.text(3, info.database);
  st.text(4, info.user);
  st.text(5, info.find);
  st.text(6, info.replace);
  if (info.undoes) st.integer(7, info.undoes);
  st.text(8, nowUtc());
  st.text(9, info.identity);
  stepDone(db_, st.s);
  return sqlite3_last_insert_rowid(db_);
}

void Journal::finishRun(long long run) {
  const auto lock = writing();
  Statement st{prepare("update runs set finished = ? where id = ?")};
  st.text(1, nowUtc());
  st.integer(2, run);
  stepDone(db_, st.s);
}

long long Journal::beginTable(long long run, const search::TableRef& table,
                              const std::vector<search::ChangeColumn>& identity, bool byValue,
                              const std::vector<search::ChangeColumn>& changed,
                              const TableImages& images) {
  if (writers_) {
    // Its row of `tables` is written at the seal, with its rows; until then
    // only the temporary store is written, in one transaction of its own.
    Gathering g;
    g.run = run;
    g.table = table;
    g.identity = encodeColumns(identity);
    g.changed = encodeColumns(changed);
    g.imageColumns = encodeColumns(images.columns);
    g.byValue = byValue;
    g.literalKeys = images.literalKeys;
    exec("begin");
    gathering_ = std::move(g);
    seq_ = 0;
    dropped_ = 0;
    return -++lastGathered_;
  }
  exec("begin immediate");
  try {
    Kept st{cached(kBeginTable,
                   "insert into tables(run, schema, name, identity, by_value, changed, state, "
                   "rows, image_columns, literal_keys, checksums) "
                   "values(?,?,?,?,?,?,'journaling',0,?,?,1)")};
    st.integer(1, run);
    st.text(2, table.schema);
    st.text(3, table.name);
    st.text(4, encodeColumns(identity));
    st.integer(5, byValue ? 1 : 0);
    st.text(6, encodeColumns(changed));
    st.text(7, encodeColumns(images.columns));
    st.integer(8, images.literalKeys ? 1 : 0);
    stepDone(db_, st.s);
  } catch (...) {
    exec("rollback");
    throw;
  }
  seq_ = 0;
  dropped_ = 0;
  return sqlite3_last_insert_rowid(db_);
}

void Journal::addRow(long long table, const Row& row) {
  const std::string a = encodeValues(row.identity), b = encodeValues(row.before),
                    c = encodeValues(row.after), d = encodeValues(row.image);
  sqlite3_stmt* s =
      gathered(table) ? cached(kGatheredInsert,
                               "insert into temp.gathered_rows(tbl, seq, identity, before, after, "
                               "image, checksum) values(?,?,?,?,?,?,?)")
                      : insertRow_;
  sqlite3_reset(s);
  sqlite3_bind_int64(s, 1, table);
  sqlite3_bind_int64(s, 2, ++seq_);
  // The strings outlive the step: SQLite need not copy them.
  sqlite3_bind_blob(s, 3, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
  sqlite3_bind_blob(s, 4, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
  sqlite3_bind_blob(s, 5, c.data(), static_cast<int>(c.size()), SQLITE_STATIC);
  sqlite3_bind_blob(s, 6, d.data(), static_cast<int>(d.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s, 7, rowChecksum(seq_, a, b, c, d));
  stepDone(db_, s);
  sqlite3_clear_bindings(s);
}

std::vector<std::pair<long long, Row>> Journal::rowsBetween(long long table, long long from,
                                                            long long to) {
  std::vector<std::pair<long long, Row>> out;
  Kept st{gathered(table)
              ? cached(kGatheredRowsBetween,
                       "select seq, identity, before, after, image from temp.gathered_rows where "
                       "tbl = ? and seq between ? and ? order by seq")
              : cached(kRowsBetween,
                       "select seq, identity, before, after, image from rows where tbl = ? and "
                       "seq between ? and ? order by seq")};
  st.integer(1, table);
  st.integer(2, from);
  st.integer(3, to);
  while (sqlite3_step(st.s) == SQLITE_ROW) {
    Row row;
    row.identity = decodeValues(sqlite3_column_blob(st.s, 1), sqlite3_column_bytes(st.s, 1));
    row.before = decodeValues(sqlite3_column_blob(st.s, 2), sqlite3_column_bytes(st.s, 2));
    row.after = decodeValues(sqlite3_column_blob(st.s, 3), sqlite3_column_bytes(st.s, 3));
    row.image = decodeValues(sqlite3_column_blob(st.s, 4), sqlite3_column_bytes(st.s, 4));
    out.emplace_back(sqlite3_column_int64(st.s, 0), std::move(row));
  }
  return out;
}

void Journal::rewriteRow(long long table, long long seq, const Row& row) {
  Kept st{gathered(table) ? cached(kGatheredRewriteRow,
                                   "update temp.gathered_rows set after = ?, image = ?, checksum "
                                   "= ? where tbl = ? and seq = ?")
                          : cached(kRewriteRow,
                                   "update rows set after = ?, image = ?, checksum = ? where tbl "
                                   "= ? and seq = ?")};
  const std::string a = encodeValues(row.after), b = encodeValues(row.image);
  sqlite3_bind_blob(st.s, 1, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
  sqlite3_bind_blob(st.s, 2, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st.s, 3,
                     rowChecksum(seq, encodeValues(row.identity), encodeValues(row.before), a, b));
  st.integer(4, table);
  st.integer(5, seq);
  stepDone(db_, st.s);
}

void Journal::dropRow(long long table, long long seq) {
  Kept st{gathered(table)
              ? cached(kGatheredDropRow, "delete from temp.gathered_rows where tbl = ? and seq = ?")
              : cached(kDropRow, "delete from rows where tbl = ? and seq = ?")};
  st.integer(1, table);
  st.integer(2, seq);
  stepDone(db_, st.s);
  if (sqlite3_changes(db_) > 0) ++dropped_;
}

void Journal::seal(long long table) {
  if (gathered(table)) {
    if (!gathering_ || table != -lastGathered_)
      throw std::runtime_error("journal: a table sealed that is not being journaled");
    // The gathered rows are whole: they go into the file with the table's
    // row, in one write transaction that waits on no server.
    exec("commit");
    auto lock = writing();
    exec("begin immediate");
    try {
      {
        Kept st{cached(kFileTable,
                       "insert into tables(run, schema, name, identity, by_value, changed, "
                       "state, rows, image_columns, literal_keys, checksums, batch, bound) "
                       "values(?,?,?,?,?,?,'journaled',?,?,?,1,?,?)")};
        const Gathering& g = *gathering_;
        st.integer(1, g.run);
        st.text(2, g.table.schema);
        st.text(3, g.table.name);
        st.text(4, g.identity);
        st.integer(5, g.byValue ? 1 : 0);
        st.text(6, g.changed);
        st.integer(7, seq_ - dropped_);
        st.text(8, g.imageColumns);
        st.integer(9, g.literalKeys ? 1 : 0);
        const std::string bound = g.bound ? encodeValues(*g.bound) : std::string();
        if (g.batch > 0) st.integer(10, g.batch);
        if (g.bound)
          sqlite3_bind_blob(st.s, 11, bound.data(), static_cast<int>(bound.size()),
                            SQLITE_TRANSIENT);
        stepDone(db_, st.s);
      }
      const long long id = sqlite3_last_insert_rowid(db_);
      {
        Kept st{cached(kFileRows,
                       "insert into rows(tbl, seq, identity, before, after, image, checksum) "
                       "select ?, seq, identity, before, after, image, checksum from "
                       "temp.gathered_rows where tbl = ? order by seq")};
        st.integer(1, id);
        st.integer(2, table);
        stepDone(db_, st.s);
      }
      // With synchronous = full the commit is on disk when it returns.
      exec("commit");
      filed_[table] = id;
    } catch (...) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "rollback", nullptr, nullptr, nullptr);
      throw;
    }
    // The file is the others' again while the temporary store is emptied.
    if (lock.owns_lock()) lock.unlock();
    gathering_.reset();
    // Only the temporary store: a failure here loses nothing sealed.
    sqlite3_exec(db_, "delete from temp.gathered_rows", nullptr, nullptr, nullptr);
    return;
  }
  Kept st{cached(kSeal, "update tables set state = 'journaled', rows = ? where id = ?")};
  st.integer(1, seq_ - dropped_);
  st.integer(2, table);
  stepDone(db_, st.s);
  // With synchronous = full the commit is on disk when it returns.
  exec("commit");
}

void Journal::abandon(long long table) {
  if (!sqlite3_get_autocommit(db_)) exec("rollback");
  if (gathered(table)) {
    gathering_.reset();
    // Rows kept past a seal that failed.
    exec("delete from temp.gathered_rows");
  }
}

void Journal::mark(long long table, TableState state) {
  // A mark lost with the machine leaves the table "journaled", which undo
  // takes as it takes "done": this write need not wait for the disk.
  const long long id = filed(table);
  const auto lock = writing();
  const bool alone = sqlite3_get_autocommit(db_) != 0;
  if (alone) exec("pragma synchronous = normal");
  Kept st{cached(kMark, "update tables set state = ? where id = ?")};
  st.text(1, stateName(state));
  st.integer(2, id);
  try {
    stepDone(db_, st.s);
  } catch (...) {
    if (alone) exec("pragma synchronous = full");
    throw;
  }
  if (alone) exec("pragma synchronous = full");
}

void Journal::setBatch(long long table, long long batch, const std::optional<Values>& bound) {
  if (gathered(table)) {
    if (!gathering_) throw std::runtime_error("journal: a batch of a table not being journaled");
    gathering_->batch = batch;
    gathering_->bound = bound;
    return;
  }
  const auto lock = writing();
  Statement st{prepare("update tables set batch = ?, bound = ? where id = ?")};
  st.integer(1, batch);
  const std::string encoded = bound ? encodeValues(*bound) : std::string();
  if (bound)
    sqlite3_bind_blob(st.s, 2, encoded.data(), static_cast<int>(encoded.size()), SQLITE_STATIC);
  st.integer(3, table);
  stepDone(db_, st.s);
}

void Journal::setOptions(long long run, const std::string& options) {
  const auto lock = writing();
  Statement st{prepare("update runs set options = ? where id = ?")};
  st.text(1, options);
  st.integer(2, run);
  stepDone(db_, st.s);
}

std::vector<TableEntry> Journal::tablesOf(long long run) {
  std::vector<TableEntry> out;
  Statement st{
      prepare("select id, schema, name, identity, by_value, changed, state, rows, image_columns, "
              "literal_keys, batch, bound from tables where run = ? order by id")};
  st.integer(1, run);
  while (sqlite3_step(st.s) == SQLITE_ROW) {
    TableEntry t;
    t.id = sqlite3_column_int64(st.s, 0);
    t.run = run;
    t.table = search::TableRef(columnText(st.s, 2), columnText(st.s, 1));
    t.identity = decodeColumns(columnText(st.s, 3));
    t.byValue = sqlite3_column_int(st.s, 4) != 0;
    t.changed = decodeColumns(columnText(st.s, 5));
    t.state = stateFrom(columnText(st.s, 6));
    t.rows = sqlite3_column_int64(st.s, 7);
    t.imageColumns = decodeColumns(columnText(st.s, 8));
    t.literalKeys = sqlite3_column_int(st.s, 9) != 0;
    t.batch = sqlite3_column_int64(st.s, 10);
    if (sqlite3_column_type(st.s, 11) != SQLITE_NULL)
      t.bound = decodeValues(sqlite3_column_blob(st.s, 11), sqlite3_column_bytes(st.s, 11));
    out.push_back(std::move(t));
  }
  return out;
}

std::vector<RunEntry> Journal::runs() {
  std::vector<RunEntry> out;
  {
    Statement st{prepare(
        "select id, kind, server, database, user, find, replace, undoes, started, finished, "
        "identity, options from runs order by id desc")};
    while (sqlite3_step(st.s) == SQLITE_ROW) {
      RunEntry r;
      r.id = sqlite3_column_int64(st.s, 0);
      r.info.kind = columnText(st.s, 1);
      r.info.server = columnText(st.s, 2);
      r.info.database = columnText(st.s, 3);
      r.info.user = columnText(st.s, 4);
      r.info.find = columnText(st.s, 5);
      r.info.replace = columnText(st.s, 6);
      r.info.undoes = sqlite3_column_int64(st.s, 7);
      r.started = columnText(st.s, 8);
      r.finished = columnText(st.s, 9);
      r.info.identity = columnText(st.s, 10);
      r.options = columnText(st.s, 11);
      out.push_back(std::move(r));
    }
  }
  for (auto& r : out) r.tables = tablesOf(r.id);
  // A run is undone by its newest undo that changed rows and was not
  // undone in turn: undoing an undo gives the run its replaced rows back.
  // Undos are newer than what they undo, so each is settled first.
  for (size_t k = 0; k < out.size(); ++k)
    for (size_t u = 0; u < k && !out[k].undoneBy; ++u)
      if (out[u].info.kind == "undo" && out[u].info.undoes == out[k].id && !out[u].undoneBy &&
          out[u].rowsChanged() > 0)
        out[k].undoneBy = out[u].id;
  return out;
}

long long RunEntry::rowsChanged() const {
  long long n = 0;
  for (const auto& t : tables)
    if (t.state == TableState::Journaled || t.state == TableState::Done) n += t.rows;
  return n;
}

std::optional<RunEntry> Journal::run(long long id) {
  for (auto& r : runs())
    if (r.id == id) return r;
  return std::nullopt;
}

std::optional<RunEntry> Journal::lastRun() {
  auto all = runs();
  if (all.empty()) return std::nullopt;
  return all.front();
}

void Journal::forEachRow(long long table, const std::function<void(const Row&)>& visit) {
  Statement st{
      prepare("select identity, before, after, image from rows where tbl = ? order by seq")};
  st.integer(1, table);
  int rc;
  while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    Row row;
    row.identity = decodeValues(sqlite3_column_blob(st.s, 0), sqlite3_column_bytes(st.s, 0));
    row.before = decodeValues(sqlite3_column_blob(st.s, 1), sqlite3_column_bytes(st.s, 1));
    row.after = decodeValues(sqlite3_column_blob(st.s, 2), sqlite3_column_bytes(st.s, 2));
    row.image = decodeValues(sqlite3_column_blob(st.s, 3), sqlite3_column_bytes(st.s, 3));
    visit(row);
  }
  // A damaged page ends the reading early: never taken for the last row.
  if (rc != SQLITE_DONE) throw std::runtime_error("journal: " + std::string(sqlite3_errmsg(db_)));
}

std::optional<std::string> Journal::damage() {
  Statement st{prepare("pragma integrity_check(1)")};
  const int rc = sqlite3_step(st.s);
  if (rc != SQLITE_ROW) return std::string(sqlite3_errmsg(db_));
  const std::string answer = columnText(st.s, 0);
  if (answer == "ok") return std::nullopt;
  return answer;
}

std::optional<std::string> Journal::damage(const TableEntry& table) {
  Statement flag{prepare("select checksums from tables where id = ?")};
  flag.integer(1, table.id);
  const bool checksums = sqlite3_step(flag.s) == SQLITE_ROW && sqlite3_column_int(flag.s, 0) != 0;
  Statement st{prepare(
      "select seq, identity, before, after, image, checksum from rows where tbl = ? order by "
      "seq")};
  st.integer(1, table.id);
  long long rows = 0;
  int rc;
  while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    ++rows;
    const long long seq = sqlite3_column_int64(st.s, 0);
    const std::string a = blobOf(st.s, 1), b = blobOf(st.s, 2), c = blobOf(st.s, 3),
                      d = blobOf(st.s, 4);
    if (checksums && (sqlite3_column_type(st.s, 5) != SQLITE_INTEGER ||
                      sqlite3_column_int64(st.s, 5) != rowChecksum(seq, a, b, c, d)))
      return "row " + std::to_string(seq) + " does not match its checksum";
    try {
      for (const std::string* part : {&a, &b, &c, &d}) decodeValues(part->data(), part->size());
    } catch (const std::exception&) {
      return "row " + std::to_string(seq) + " cannot be read";
    }
  }
  if (rc != SQLITE_DONE) return std::string(sqlite3_errmsg(db_));
  if (rows != table.rows)
    return std::to_string(rows) + " rows where " + std::to_string(table.rows) + " were journaled";
  return std::nullopt;
}

}  // namespace trellick::journal
