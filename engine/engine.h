// The per-table search and replace engine, for every front end: over one
// open connection it learns a table's columns, counts the records that hold
// the search text with one statement and, when replacing, changes them with
// one update statement. It paints nothing and asks nobody: what happens is
// told to an observer as it happens and returned as a result per table.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "journal/changes.h"
#include "search/statements.h"
#include "transform/rewriter.h"

namespace trellick::engine {

using Table = search::TableRef;

enum class Mode { Count, Replace };

// PartlyReplaced: a replace in batches that stopped, or failed, after
// committing some of them.
enum class Status { NoSearchableColumn, NotFound, Found, Replaced, Failed, PartlyReplaced };

// Where a table's run failed.
enum class Stage { Connect, ColumnQuery, ColumnFacts, Count, Update };

struct Column {
  std::string name;
  int type = 0;
  // Declared size in characters; SQLite's columns without a declared
  // length count as long text.
  long long size = 0;
  // Computed or generated: read, never searched or assigned.
  bool computed = false;
  bool searchable = false;
  // The type as the engine's own catalog shows it ("character(10)", a
  // domain's name); empty where the driver's type code decides.
  std::string engineType;
  // Why the column is not searched: its type ("not text", "binary", ...),
  // "computed", or "shorter than the search text". Empty when searched.
  std::string notSearched;
  // A JSON column searched by the JSON rewriter (Options::jsonRewriter).
  bool json = false;
};

struct Failure {
  Stage stage = Stage::ColumnQuery;
  // What an operator reads: every diagnostic record, one per line.
  std::string description;
  std::vector<db::DiagRecord> records;
  // The connection went with it (SQLSTATE class 08, or the driver says so).
  bool connectionLost = false;
  // The same for the command line: our own messages in English, the
  // server's and the driver's as they came, each record once.
  std::string englishDescription;
  std::vector<db::DiagRecord> englishRecords;
};

struct TableResult {
  Table table{""};
  Status status = Status::NotFound;
  // False for a table without a single row: nothing else was done for it.
  bool hasRows = false;
  std::vector<Column> columns;  // every column, in the table's order
  long long records = 0;        // records holding the search text
  std::string countStatement;   // once a column is searchable
  std::string updateStatement;  // replace mode, once a column is searchable
  std::optional<Failure> failure;
  // A replace with a journal: what it did, once the server committed.
  std::optional<journal::Replaced> journaled;
  // Learned before a replace: the table has triggers of its own, whose
  // side effects an undo does not take back.
  bool hasTriggers = false;
  // The rewriter's: values it left alone although they looked like they
  // needed work (structured data that does not parse), counted by reason.
  std::map<std::string, long long> untouched = {};
  // A replace in batches: those committed, and whether the table was
  // replaced in one statement instead (no key to batch by).
  long long batches = 0;
  bool unbatched = false;

  std::vector<std::string> searchableColumns() const;
  int searchableCount() const;
};

// "schema.table", or the bare name in the default schema.
std::string displayName(const Table& table);

// Lower-case word for a status: "no searchable column", "not found",
// "found", "replaced", "failed".
const char* statusName(Status status);
// The status as an operator reads it: "replaced; journal incomplete" for a
// table committed on the server whose journal could not be marked done.
std::string statusText(const TableResult& result);
const char* stageName(Stage stage);

// Line breaks of a text replaced by spaces: a SQL comment stays on one line.
std::string oneLine(std::string text);

// A failed table as an operator runs it by hand: "-- table: why" and, when
// an update was planned but not done, the update statement; then an empty
// line. Lines end with eol. Empty for a table that did not fail.
std::string failureText(const TableResult& result, const std::string& eol);

class Catalog;

struct Options {
  Mode mode = Mode::Count;
  search::Texts texts;  // exactly as typed
  // Where a replace keeps what it changes, so that it can be taken back:
  // each table's rows are in the journal before its update commits. None:
  // the update alone.
  journal::Journal* journal = nullptr;
  long long journalRun = 0;
  // Learn the columns only, of an empty table too: nothing is counted.
  bool describeOnly = false;
  // The row rewriter: when set, the rows that may match (its literal hints)
  // are read by key and their values rewritten in the program, counted as
  // the records whose values it would change, and written back row by row
  // in replace mode. `texts` then only name the run. A table without a key is
  // not rewritten: it fails, told why.
  std::shared_ptr<const transform::Rewriter> rewriter = nullptr;
  // Which columns may be searched, by table and name; not set: every one
  // that can be. A column left out is told as "not chosen".
  std::function<bool(const Table&, const std::string&)> columnChosen = nullptr;
  // The rewriter of JSON columns (PostgreSQL json/jsonb, MariaDB JSON),
  // with `rewriter`: those columns are searched only then, every row that
  // holds a document read (an escaped form would slip past a LIKE).
  std::shared_ptr<const transform::Rewriter> jsonRewriter = nullptr;
  // A journaled replace changes each table in batches of at most this many
  // rows, each committed with its journal (journal::batchedReplace); 0:
  // one update. A stop asked for between batches ends the table partly
  // replaced.
  long long batchRows = 0;
  // Where a table's batches start: past a cut-short run's (a resume).
  std::function<journal::BatchStart(const Table&)> batchStart = nullptr;
  // Every table's columns read at once (readCatalog): a table it answers
  // for is run without its own column and catalog queries. None: each
  // table asks for its own.
  std::shared_ptr<Catalog> catalog = nullptr;
};

// What a run tells as it goes. Every call is made on the thread that runs
// the table; the default of each does nothing (and never asks to stop).
class Observer {
 public:
  virtual ~Observer() = default;

  // One table, in this order.
  virtual void tableOpened(const Table& /*table*/, int /*columnCount*/) {}
  virtual void columnVisited(const Table& /*table*/, int /*j*/, const Column& /*column*/) {}
  virtual void countStatement(const std::string& /*sql*/) {}
  // Before the update, in replace mode.
  virtual void matchesFound(const Table& /*table*/, long long /*records*/) {}
  virtual void beforeWrite(const Table& /*table*/, const std::string& /*plannedUpdate*/) {}
  virtual void tableFinished(const TableResult& /*result*/) {}

  // A walk over a list of tables: before each table, and after it (and a
  // reconnection it needed) before the walk yields and asks whether to stop.
  virtual void tableStarting(size_t /*index*/, size_t /*total*/, const Table& /*table*/) {}
  virtual void tableWalked(size_t /*index*/) {}
  // The walk goes on past the stop test: `done` tables are behind it.
  virtual void walkContinues(size_t /*done*/) {}

  // After each column, after a positive count before the update, and after
  // each table of a walk.
  virtual void yield() {}
  // Asked between tables, and between the batches of a batched replace.
  virtual bool stopRequested() { return false; }

  // A batched replace: rows changed so far in the table, of those found.
  virtual void rowsDone(const Table& /*table*/, long long /*done*/, long long /*found*/) {}
};

// Runs one table. Never throws: a failure is in the result, with every
// diagnostic record. Texts and the table name are used exactly as given.
TableResult runTable(db::Connection& conn, const Table& table, const Options& options,
                     Observer& observer);

// Where a walk gets its connection, and a new one once it was lost.
class ConnectionSource {
 public:
  virtual ~ConnectionSource() = default;
  virtual db::Connection& current() = 0;
  // Makes the lost connection again; throws when it cannot.
  virtual void reconnect() = 0;
};

struct WalkResult {
  std::vector<TableResult> results;  // in the list's order, one per table run
  bool stopped = false;
  // The connection was lost and could not be made again: the walk ended
  // and `notRun` tables after the last result were never run.
  std::optional<Failure> connectionFailure;
  size_t notRun = 0;
};

// Runs the tables in order on one connection. A table that takes the
// connection down is reported failed and the connection made again once;
// the observer is asked to stop after each table.
WalkResult runTables(ConnectionSource& source, const std::vector<Table>& tables,
                     const Options& options, Observer& observer);
// The same, with the options taken anew as each table starts (the window
// reads its text boxes for every table).
WalkResult runTables(ConnectionSource& source, const std::vector<Table>& tables,
                     const std::function<Options()>& optionsNow, Observer& observer);

// A new open connection, for each worker of a concurrent walk; throws when
// it cannot be made.
using ConnectionFactory = std::function<std::unique_ptr<db::Connection>()>;

// runConcurrently in count mode, whatever the options ask.
WalkResult countConcurrently(const ConnectionFactory& connect, const std::vector<Table>& tables,
                             const Options& options, Observer& observer, int jobs);

// The rows a replace of the table would change (at most `limit`; 0: all),
// before and after as the server computes them. Throws on failure.
journal::Preview previewTable(db::Connection& conn, const Table& table, const search::Texts& texts,
                              long long limit);

// Whether the table has triggers of its own; false where the engine
// cannot tell or the catalog refuses to say.
bool hasOwnTriggers(db::Connection& conn, const Table& table);

// The user tables of the connected database as the window lists them: the
// schema's own tables left out, schema empty for the default schema.
std::vector<Table> userTables(db::Connection& conn);

// The rows the rewriter would change (at most `limit`; 0: all), each
// changed value before and after as the program rewrites it. Throws on
// failure.
journal::Preview previewTable(db::Connection& conn, const Table& table,
                              const std::shared_ptr<const transform::Rewriter>& rewriter,
                              long long limit);

// The preview of a table under the options' texts or rewriter and their
// choice of columns (the mode and journal are not used). Throws on failure.
journal::Preview previewTable(db::Connection& conn, const Table& table, const Options& options,
                              long long limit);

// failureText in the command line's English.
std::string failureTextEnglish(const TableResult& result, const std::string& eol);

// The columns of every table of the database, read in one query, for a
// walk to run each table with its count alone. A table the catalog does not
// answer for (made after it was read, a virtual table, a type whose driver
// description is not yet known, a schema changed since) runs its own
// queries; those teach the catalog how the driver describes each type.
// Shared by the workers of a walk: every call is made under its lock, which
// is let go while hasRows() asks the server.
class Catalog {
 public:
  struct ColumnRow {
    std::string name;
    // Columns of equal signatures are described alike by the driver;
    // empty where its description may depend on the rows.
    std::string signature;
    bool computed = false;
    std::optional<std::string> declared;  // SQLite's declared type
    // What columnTypesQuery() gives, where the engine has it.
    bool typed = false;
    std::string shown, base;
    std::optional<long long> length;
  };
  struct TableRows {
    std::vector<ColumnRow> columns;
    bool hasChildren = false;
    std::string stamp;  // EngineSql::tableStamp()'s value
  };
  struct DriverColumn {
    int type = 0;
    long long size = 0;
  };

  // The table's rows and its columns as the driver describes them, where
  // every one of those descriptions is known and the schema is as it was
  // read.
  std::optional<std::pair<TableRows, std::vector<DriverColumn>>> ready(const Table& table);
  // Whether the table holds a row, asked with the tables after it in the
  // walk in one statement; nullopt where that could not be learned.
  std::optional<bool> hasRows(db::Connection& conn, const Table& table);
  // The driver's description of the table's columns from its column query,
  // in its order: kept by signature where the table was found as the
  // catalog read it (hasRows() asked) and the names are the catalog's.
  void learn(const Table& table, const std::vector<DriverColumn>& driver,
             const std::vector<std::string>& names);

 private:
  friend std::shared_ptr<Catalog> readCatalog(db::Connection& conn, const std::vector<Table>& walk);
  using Key = std::pair<std::string, std::string>;  // schema, name
  void askedAlone(const Key& key);
  std::mutex mutex_;
  // Tables in a question under way (hasRows()), told when it is answered.
  std::set<Key> asking_;
  std::condition_variable answered_;
  size_t askedSoFar_ = 0;
  std::map<Key, TableRows> tables_;
  std::map<std::string, std::optional<DriverColumn>> described_;  // nullopt: told apart
  std::vector<Table> walk_;
  std::map<Key, size_t> place_;
  std::map<Key, std::optional<bool>> rows_;  // asked; nullopt: the question failed
  std::set<Key> verified_;                   // found as read by the last answer taken
  std::string stamp_;
  bool valid_ = true;
  // A question for several tables failed: each table asks for itself.
  bool askAlone_ = false;
};

// The catalog of the connected database for a walk over `walk`; nullptr
// where the engine has no such query or it fails.
std::shared_ptr<Catalog> readCatalog(db::Connection& conn, const std::vector<Table>& walk);
// Runs the tables on `jobs` connections at once, one per worker thread,
// each table on one of them. Observer calls are made one at a time under a
// lock, from the workers' threads; tableFinished and tableWalked come in the
// list's order. The stop is asked whenever a worker is between tables (and
// between a batched table's batches); the tables under way then finish. No
// yields. A worker whose connection is lost makes it again once; one that
// cannot leaves its share to the others.
// A replace: each table is still one transaction on its worker's
// connection. Each worker keeps a journal::Journal of its own on the file of
// options.journal (the first worker that one), sharing its writing
// (Journal::shareWriting): the servers read, update and commit several
// tables at once, and only the seals and done marks of the file go one at
// a time. A table the server rolled back in a deadlock with another's runs
// again once, alone. An engine whose database takes one writer at a time
// (Capabilities::oneWriter) replaces on the first worker alone.
WalkResult runConcurrently(const ConnectionFactory& connect, const std::vector<Table>& tables,
                           const Options& options, Observer& observer, int jobs);

// The tables userTables() lists, in its order, each given as its row is
// read. `take` must not use the connection.
void forEachUserTable(db::Connection& conn, const std::function<void(Table&&)>& take);

}  // namespace trellick::engine
