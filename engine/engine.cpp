#include "engine/engine.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "db/recordset.h"
#include "db/tablelist.h"

namespace trellick::engine {

std::vector<std::string> TableResult::searchableColumns() const {
  std::vector<std::string> names;
  for (const Column& c : columns)
    if (c.searchable) names.push_back(c.name);
  return names;
}

int TableResult::searchableCount() const {
  int n = 0;
  for (const Column& c : columns) n += c.searchable ? 1 : 0;
  return n;
}

std::string displayName(const Table& table) {
  return table.schema.empty() ? table.name : table.schema + "." + table.name;
}

const char* statusName(Status status) {
  switch (status) {
    case Status::NoSearchableColumn:
      return "no searchable column";
    case Status::NotFound:
      return "not found";
    case Status::Found:
      return "found";
    case Status::Replaced:
      return "replaced";
    case Status::Failed:
      return "failed";
    case Status::PartlyReplaced:
      return "partly replaced";
  }
  return "";
}

const char* stageName(Stage stage) {
  switch (stage) {
    case Stage::Connect:
      return "connect";
    case Stage::ColumnQuery:
      return "column query";
    case Stage::ColumnFacts:
      return "column facts";
    case Stage::Count:
      return "count";
    case Stage::Update:
      return "update";
  }
  return "";
}

std::string statusText(const TableResult& result) {
  if (result.status == Status::Replaced && result.journaled && !result.journaled->journalComplete)
    return "replaced; journal incomplete";
  return statusName(result.status);
}

bool hasOwnTriggers(db::Connection& conn, const Table& table) {
  return journal::hasOwnTriggers(conn, table);
}

std::string oneLine(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n') {
      out += ' ';
      ++k;
    } else if (text[k] == '\r' || text[k] == '\n') {
      out += ' ';
    } else {
      out += text[k];
    }
  }
  return out;
}

namespace {

std::string failureTextOf(const TableResult& result, const std::string& why,
                          const std::string& eol) {
  // Why it failed, then the statement ready to run by hand once the cause
  // is mended. An update that was never complete is not offered.
  std::string text = "-- " + oneLine(displayName(result.table)) + ": " + oneLine(why) + eol;
  if (!result.updateStatement.empty()) text += result.updateStatement + eol;
  return text + eol;
}

}  // namespace

std::string failureText(const TableResult& result, const std::string& eol) {
  if (!result.failure) return {};
  return failureTextOf(result, result.failure->description, eol);
}

namespace {

// conn: the connection the failure happened on, asked whether it is gone.
Failure failureOf(const std::exception& e, Stage stage, db::Connection* conn) {
  Failure f;
  f.stage = stage;
  const auto* dbError = dynamic_cast<const db::DbError*>(&e);
  f.description = dbError ? dbError->description() : e.what();
  f.englishDescription = dbError ? dbError->englishDescription() : e.what();
  if (dbError) {
    f.records = dbError->records();
    f.englishRecords = dbError->englishRecords();
  }
  f.connectionLost = (dbError && db::isConnectionLost(*dbError)) ||
                     (conn && conn->State() == db::adStateOpen && conn->IsDead());
  return f;
}

// The columns named as the catalog names them, in the column query's
// order, where the driver's field names may not be theirs.
void renameFromCatalog(db::Connection& conn, const Table& table, std::vector<Column>& columns) {
  const std::string query = conn.engineSql().fieldNamesQuery(table);
  if (query.empty()) return;
  std::vector<std::string> names;
  auto rs = conn.Execute(query);
  while (rs->State() == db::adStateOpen && !rs->Eof()) {
    names.push_back(rs->Fields().Item(0).Value().text());
    rs->MoveNext();
  }
  if (rs->State() == db::adStateOpen) rs->Close();
  // A name taken by position from a list of another length could be any
  // column's.
  if (names.size() != columns.size())
    db::fail("HY000", "[Trellick]the columns of " + displayName(table) +
                          " could not be named: the catalog lists " + std::to_string(names.size()) +
                          ", the table gives " + std::to_string(columns.size()));
  for (size_t k = 0; k < names.size(); ++k) columns[k].name = names[k];
}

// A column's type as the engine's catalog names it (columnTypesQuery()).
struct TypeRow {
  std::string shown, base;
  std::optional<long long> length;
};
using TypeRows = std::map<std::string, TypeRow>;

TypeRows readTypeRows(db::Connection& conn, const Table& table) {
  const sql::EngineSql& engineSql = conn.engineSql();
  const std::string query = engineSql.columnTypesQuery(table);
  TypeRows rows;
  if (!query.empty()) {
    std::unique_ptr<db::Recordset> rs;
    try {
      rs = conn.Execute(query);
    } catch (const db::DbError&) {
      const std::string fallback = engineSql.columnTypesFallbackQuery(table);
      if (fallback.empty()) throw;
      rs = conn.Execute(fallback);
    }
    while (rs->State() == db::adStateOpen && !rs->Eof()) {
      auto fields = rs->Fields();
      TypeRow row{fields.Item(1).Value().text(), fields.Item(2).Value().text(), std::nullopt};
      const db::Variant length = fields.Item(3).Value();
      if (!length.IsNull()) row.length = length.toInt64();
      rows[fields.Item(0).Value().text()] = std::move(row);
      rs->MoveNext();
    }
    if (rs->State() == db::adStateOpen) rs->Close();
  }
  return rows;
}

// Which columns are searched, where the engine's catalog says: a column
// the driver calls text may be a boolean, an enum or json to the engine,
// and a domain over text may not look like text to the driver. Each
// column's type as the engine names it, and why it is not searched.
void typesFromCatalog(const sql::EngineSql& engineSql, const TypeRows& rows,
                      std::vector<Column>& columns, long long searchLength, bool jsonSearched) {
  for (Column& column : columns) {
    const auto it = rows.find(column.name);
    if (it != rows.end()) {
      const TypeRow& row = it->second;
      column.engineType = row.shown;
      column.notSearched = engineSql.notSearchedType(row.base);
      column.json = jsonSearched && engineSql.jsonType(row.base);
      if (column.json) {
        // Read as text, whatever its length: the document is rewritten whole.
        column.notSearched.clear();
        column.type = sql::adLongVarChar;
        column.size = db::kLongTextSize;
        column.searchable = !column.computed;
      } else if (column.notSearched.empty()) {
        const int code = engineSql.searchedTypeCode(row.base, column.type);
        if (!sql::isText(column.type))
          column.size = row.length                    ? *row.length
                        : code == sql::adLongVarWChar ? db::kLongWideTextSize
                                                      : db::kLongTextSize;
        column.type = code;
        column.searchable =
            search::isSearchable(column.type, column.size, searchLength) && !column.computed;
      } else {
        column.searchable = false;
        if (engineSql.jsonType(row.base))
          column.notSearched = "JSON, searched only by the row rewriter";
      }
    }
    if (column.notSearched.empty() && !column.searchable)
      column.notSearched = column.computed                    ? "computed"
                           : search::searchGroup(column.type) ? "shorter than the search text"
                                                              : "not text";
  }
}

}  // namespace

namespace {

// Runs one table; the plan it made, when asked for.
TableResult runTable(db::Connection& conn, const Table& table, const Options& options,
                     Observer& observer, journal::Plan* planOut);

}  // namespace

journal::Preview previewTable(db::Connection& conn, const Table& table, const search::Texts& texts,
                              long long limit) {
  Options options;
  options.texts = texts;
  return previewTable(conn, table, options, limit);
}

TableResult runTable(db::Connection& conn, const Table& table, const Options& options,
                     Observer& observer) {
  return runTable(conn, table, options, observer, nullptr);
}

namespace {

TableResult runTable(db::Connection& conn, const Table& table, const Options& options,
                     Observer& observer, journal::Plan* planOut) {
  const bool replacing = options.mode == Mode::Replace;
  TableResult result;
  result.table = table;
  Stage stage = Stage::ColumnQuery;
  try {
    // The rewriter's columns are those that can hold its shortest hint.
    long long L = search::characterCount(options.texts.find);
    std::vector<std::string> hints;
    if (options.rewriter) {
      // Without regard to case LIKE cannot choose the rows alike on every
      // engine: every row is read.
      if (!options.rewriter->ignoreCase()) hints = options.rewriter->literalHints();
      L = 0;
      for (size_t k = 0; k < hints.size(); ++k) {
        const long long n = search::characterCount(hints[k]);
        L = k == 0 ? n : std::min(L, n);
      }
    }
    const search::Engine engine = conn.dialect();
    const search::StatementBuilder statements(engine, options.texts, conn.syntax());

    // Computed and generated columns can be read but never assigned; a
    // SQLite column without a declared length holds text of any length.
    std::set<std::string> computed;
    std::set<std::string> unlimited;
    // Where the declared type decides (SQLite): whether the column is searched.
    std::map<std::string, bool> byDeclaredType;
    std::map<std::string, std::string> declaredTypes;  // as the schema spells them
    const auto noteFacts = [&](const std::string& name, bool isComputed,
                               const std::optional<std::string>& declared) {
      if (isComputed) computed.insert(name);
      if (!declared) return;
      if (!search::declaresLength(*declared)) unlimited.insert(name);
      if (const auto searched = conn.engineSql().searchedByDeclaredType(*declared)) {
        byDeclaredType[name] = *searched;
        declaredTypes[name] = *declared;
      }
    };
    Table target = table;
    TypeRows typeRows;
    Catalog* catalog = options.catalog.get();
    // Asked for every table: one the catalog cannot answer for yet teaches
    // it once found as it was read.
    const std::optional<bool> rows = catalog ? catalog->hasRows(conn, table) : std::nullopt;
    auto known = rows ? catalog->ready(table) : std::nullopt;
    if (known && rows) {
      // The catalog read for the walk says it all: the count is the
      // table's only statement.
      result.hasRows = *rows;
      if (!result.hasRows && !options.describeOnly) {
        observer.tableFinished(result);
        return result;
      }
      stage = Stage::ColumnFacts;
      const auto& [catalogRows, driver] = *known;
      for (size_t k = 0; k < catalogRows.columns.size(); ++k) {
        const Catalog::ColumnRow& c = catalogRows.columns[k];
        result.columns.push_back(
            {c.name, driver[k].type, driver[k].size, false, false, {}, {}, false});
        noteFacts(c.name, c.computed, c.declared);
        if (c.typed) typeRows[c.name] = {c.shown, c.base, c.length};
      }
      if (!conn.engineSql().childrenQuery(table).empty())
        target.hasChildren = catalogRows.hasChildren;
    } else {
      {
        // The columns and whether a row exists: one row is enough. A driver
        // that reads the whole result first and ignores the row limit is
        // asked for one row by the statement itself. Read-only and
        // forward-only: an updatable keyset cursor would have SQL Server
        // build the key set of the whole table first.
        const db::DriverFacts& facts = conn.facts();
        std::string columnQuery = statements.columnQuery(table);
        if (facts.readsWholeResult && !facts.honoursRowLimit)
          columnQuery += conn.engineSql().trailingLimit(1);
        db::Recordset rs;
        rs.Open(columnQuery, conn, db::adOpenForwardOnly, db::adLockReadOnly, -1,
                db::OpenOptions{1});
        result.hasRows = !(rs.Eof() || rs.Bof());
        if (!result.hasRows && !options.describeOnly) {
          observer.tableFinished(result);
          return result;
        }
        for (int k = 0, n = rs.Fields().Count(); k < n; ++k) {
          db::Field field = rs.Fields().Item(k);
          result.columns.push_back(
              {field.Name(), field.Type(), field.DefinedSize(), false, false, {}, {}, false});
        }
        // The connection serves one result at a time (FreeTDS refuses the
        // next statement while rows are pending): the column query is done.
        rs.Close();
      }

      stage = Stage::ColumnFacts;
      bool namesMayDiffer = false;
      {
        auto facts = conn.Execute(search::columnFactsQuery(table, engine));
        while (facts->State() == db::adStateOpen && !facts->Eof()) {
          auto fields = facts->Fields();
          const std::string name = fields.Item(0).Value().text();
          noteFacts(
              name, fields.Item(1).Value().text() == "1",
              fields.Count() > 2 ? std::optional(fields.Item(2).Value().text()) : std::nullopt);
          namesMayDiffer = namesMayDiffer || conn.engineSql().fieldNameMayDiffer(name);
          facts->MoveNext();
        }
      }
      if (namesMayDiffer) renameFromCatalog(conn, table, result.columns);
      if (catalog) {
        // How the driver describes each type, for the tables after it.
        std::vector<Catalog::DriverColumn> driver;
        std::vector<std::string> names;
        for (const Column& c : result.columns) {
          driver.push_back({c.type, c.size});
          names.push_back(c.name);
        }
        catalog->learn(table, driver, names);
      }
      // Tables inheriting from this one hold rows of their own, searched
      // through them.
      target = journal::withChildrenKnown(conn, table);
      typeRows = readTypeRows(conn, table);
    }
    for (Column& column : result.columns) {
      if (unlimited.contains(column.name) && search::searchGroup(column.type))
        column.size = db::kLongTextSize;
      column.computed = computed.contains(column.name);
      const auto declared = byDeclaredType.find(column.name);
      if (declared != byDeclaredType.end()) {
        const std::string& spelled = declaredTypes[column.name];
        column.engineType = spelled.empty() ? "(no type)" : spelled;
      }
      if (declared != byDeclaredType.end() && declared->second) {
        // Text of any length, read as text whatever the first row holds.
        if (!search::searchGroup(column.type)) column.type = sql::adVarChar;
        column.size = db::kLongTextSize;
      }
      column.searchable = search::isSearchable(column.type, column.size, L) && !column.computed &&
                          (declared == byDeclaredType.end() || declared->second);
    }
    typesFromCatalog(conn.engineSql(), typeRows, result.columns, L,
                     options.rewriter != nullptr && options.jsonRewriter != nullptr);
    if (options.columnChosen)
      for (Column& column : result.columns)
        if (column.searchable && !options.columnChosen(table, column.name)) {
          column.searchable = false;
          column.notSearched = "not chosen";
        }

    // The plan: every column, and for each searchable one its match term
    // and its new value. The statements are made from it.
    std::vector<search::ChangeColumn> all, searched;
    for (const Column& c : result.columns) {
      all.push_back({c.name, c.type, c.size});
      if (c.searchable) searched.push_back({c.name, c.type, c.size});
    }
    journal::Plan plan = journal::makePlan(statements, target, searched, all);
    if (options.rewriter) {
      plan = search::readingPlan(plan, hints,
                                 options.rewriter->ignoreCase() ? std::vector<std::string>{}
                                                                : options.rewriter->patternHints());
      // A JSON document may hold the text escaped ("\/", "\u"), and a
      // jsonb column has no LIKE: every document is read.
      for (auto& s : plan.searched)
        for (const Column& c : result.columns)
          if (c.json && c.name == s.column.name) {
            s.match = conn.engineSql().quotedName(c.name) + " is not null";
            plan.jsonColumns.push_back(c.name);
          }
    }
    // Replace would turn a value of another kind in a text column (a SQLite
    // blob or number) into text, and LIKE reads it as text: where the table
    // holds one, only text values are matched, counted and replaced.
    const auto holdsOtherKinds = [&] {
      std::vector<std::string> names;
      for (const auto& c : searched) names.push_back(c.name);
      const std::string query = conn.engineSql().nonTextQuery(plan.table, names, plan.condition());
      if (query.empty()) return false;
      auto rs = conn.Execute(query);
      const bool found = rs->State() == db::adStateOpen && !rs->Eof();
      if (rs->State() == db::adStateOpen) rs->Close();
      return found;
    };
    // A count from the catalog's columns asks only where it found records:
    // a row of another kind is looked for among the rows the condition
    // matches, so where it matches none the plan stays as it is.
    const bool countFirst =
        known && rows && !options.rewriter && !replacing && !options.describeOnly && !planOut;
    if (!plan.empty() && !countFirst && holdsOtherKinds()) plan = plan.textOnly();
    if (planOut) *planOut = plan;
    if (options.describeOnly) {
      result.status = plan.empty() ? Status::NoSearchableColumn : Status::NotFound;
      observer.tableFinished(result);
      return result;
    }
    const int count = static_cast<int>(result.columns.size());
    observer.tableOpened(table, count);
    for (int j = 0; j < count; ++j) {
      observer.columnVisited(table, j, result.columns[static_cast<size_t>(j)]);
      observer.yield();
    }

    if (plan.empty()) {
      result.status = Status::NoSearchableColumn;
    } else {
      stage = Stage::Count;
      // The rewriter writes row by row: no one update to offer by hand.
      if (replacing && !options.rewriter) result.updateStatement = plan.updateStatement();
      result.countStatement = plan.countStatement();
      observer.countStatement(result.countStatement);
      if (options.rewriter) {
        result.records = journal::rewrittenCount(conn, plan, *options.rewriter, &result.untouched,
                                                 options.jsonRewriter.get());
      } else {
        auto counted = conn.Execute(result.countStatement);
        result.records = counted->Fields().Item(0).Value().toInt64();
        // Closed before the update, for the same one-result reason.
        counted->Close();
        if (countFirst && result.records > 0 && holdsOtherKinds()) {
          plan = plan.textOnly();
          result.countStatement = plan.countStatement();
          observer.countStatement(result.countStatement);
          auto recounted = conn.Execute(result.countStatement);
          result.records = recounted->Fields().Item(0).Value().toInt64();
          recounted->Close();
        }
      }
      result.status = result.records > 0 ? Status::Found : Status::NotFound;
      if (result.records > 0) {
        observer.matchesFound(table, result.records);
        observer.yield();
        if (replacing) {
          stage = Stage::Update;
          observer.beforeWrite(table, result.updateStatement);
          plan.hasTriggers = hasOwnTriggers(conn, plan.table);
          plan.triggersKnown = true;
          result.hasTriggers = plan.hasTriggers;
          if (options.rewriter) {
            result.journaled = journal::rewrittenReplace(
                conn, options.journal, options.journalRun, plan, *options.rewriter,
                options.jsonRewriter.get(), options.journal ? options.batchRows : 0,
                options.batchStart ? options.batchStart(table) : journal::BatchStart{});
            result.untouched = result.journaled->untouched;
          } else if (options.journal && options.batchRows > 0) {
            const journal::BatchStart start =
                options.batchStart ? options.batchStart(table) : journal::BatchStart{};
            journal::BatchSteps steps;
            steps.stop = [&] { return observer.stopRequested(); };
            steps.committed = [&, found = result.records](long long changed) {
              observer.rowsDone(table, changed, found);
            };
            const journal::Batched batched = journal::batchedReplace(
                conn, *options.journal, options.journalRun, plan, options.batchRows, start, steps);
            result.journaled = batched.replaced;
            result.batches = batched.batches;
            result.unbatched = batched.unbatched;
            // Gone on with from a cut-short run: what this run changed.
            if (start.batch > 0) result.records = batched.replaced.changed;
            if (!batched.finished) {
              // Its committed batches stay, journaled: the count is theirs.
              result.status = Status::PartlyReplaced;
              result.records = batched.replaced.changed;
              if (batched.error) try {
                  std::rethrow_exception(batched.error);
                } catch (const std::exception& e) {
                  result.failure = failureOf(e, stage, &conn);
                }
              observer.tableFinished(result);
              return result;
            }
          } else if (options.journal)
            result.journaled =
                journal::journaledReplace(conn, *options.journal, options.journalRun, plan);
          else
            conn.Execute(result.updateStatement);
          result.status = Status::Replaced;
        }
      }
    }
  } catch (const std::exception& e) {
    result.status = Status::Failed;
    result.failure = failureOf(e, stage, &conn);
  }
  observer.tableFinished(result);
  return result;
}

}  // namespace

WalkResult runTables(ConnectionSource& source, const std::vector<Table>& tables,
                     const Options& options, Observer& observer) {
  return runTables(
      source, tables, [&] { return options; }, observer);
}

WalkResult runTables(ConnectionSource& source, const std::vector<Table>& tables,
                     const std::function<Options()>& optionsNow, Observer& observer) {
  WalkResult walk;
  for (size_t k = 0; k < tables.size(); ++k) {
    observer.tableStarting(k, tables.size(), tables[k]);
    walk.results.push_back(runTable(source.current(), tables[k], optionsNow(), observer));
    const TableResult& done = walk.results.back();
    if (done.failure && done.failure->connectionLost) {
      // The table that took the connection down is reported; the rest of
      // the walk goes on over a new connection, or ends without one.
      try {
        source.reconnect();
      } catch (const std::exception& e) {
        Failure f = failureOf(e, Stage::Connect, nullptr);
        f.connectionLost = true;
        walk.connectionFailure = std::move(f);
        walk.notRun = tables.size() - k - 1;
        return walk;
      }
    }
    observer.tableWalked(k);
    observer.yield();
    if (observer.stopRequested()) {
      walk.stopped = true;
      return walk;
    }
    observer.walkContinues(k + 1);
  }
  return walk;
}

namespace {

// Serialises a shared observer for the workers of a concurrent walk.
class LockedObserver : public Observer {
 public:
  LockedObserver(Observer& inner, std::mutex& mutex) : inner_(inner), mutex_(mutex) {}
  void tableOpened(const Table& t, int n) override {
    std::lock_guard lock(mutex_);
    inner_.tableOpened(t, n);
  }
  void columnVisited(const Table& t, int j, const Column& c) override {
    std::lock_guard lock(mutex_);
    inner_.columnVisited(t, j, c);
  }
  void countStatement(const std::string& sql) override {
    std::lock_guard lock(mutex_);
    inner_.countStatement(sql);
  }
  void matchesFound(const Table& t, long long records) override {
    std::lock_guard lock(mutex_);
    inner_.matchesFound(t, records);
  }
  void beforeWrite(const Table& t, const std::string& update) override {
    std::lock_guard lock(mutex_);
    inner_.beforeWrite(t, update);
  }
  // Between a batched table's batches.
  bool stopRequested() override {
    std::lock_guard lock(mutex_);
    return inner_.stopRequested();
  }
  void rowsDone(const Table& t, long long done, long long found) override {
    std::lock_guard lock(mutex_);
    inner_.rowsDone(t, done, found);
  }
  // Delivered in order by the walk itself.
  void tableFinished(const TableResult&) override {}

 private:
  Observer& inner_;
  std::mutex& mutex_;
};

// Several tables written at once, or one alone: a table whose write the
// server gave up in a deadlock with another's (a foreign key, a trigger
// writing the other table) runs again alone, as it would have one table at
// a time.
class WriteTurns {
 public:
  void together() {
    std::unique_lock lock(mutex_);
    turn_.wait(lock, [&] { return waiting_ == 0 && !alone_; });
    ++together_;
  }
  void doneTogether() {
    std::lock_guard lock(mutex_);
    --together_;
    turn_.notify_all();
  }
  void alone() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    turn_.wait(lock, [&] { return together_ == 0 && !alone_; });
    --waiting_;
    alone_ = true;
  }
  void doneAlone() {
    std::lock_guard lock(mutex_);
    alone_ = false;
    turn_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  int together_ = 0, waiting_ = 0;
  bool alone_ = false;
};

// Rolled back whole by the server for another transaction's sake: nothing
// of the table was committed, and it may well pass on its own.
bool gaveWay(const TableResult& r) {
  if (r.status != Status::Failed || !r.failure || r.failure->connectionLost) return false;
  for (const auto& record : r.failure->records)
    if (record.sqlstate == "40001" || record.sqlstate == "40P01") return true;
  return false;
}

}  // namespace

WalkResult countConcurrently(const ConnectionFactory& connect, const std::vector<Table>& tables,
                             const Options& options, Observer& observer, int jobs) {
  Options counting = options;
  counting.mode = Mode::Count;
  return runConcurrently(connect, tables, counting, observer, jobs);
}

WalkResult runConcurrently(const ConnectionFactory& connect, const std::vector<Table>& tables,
                           const Options& options, Observer& observer, int jobs) {
  const bool replacing = options.mode == Mode::Replace;
  const size_t n = tables.size();
  std::mutex mutex;
  std::mutex journalWriters;
  WriteTurns turns;
  LockedObserver locked(observer, mutex);
  // Tables are taken in the list's order and every table taken gets a
  // result, so the results always make a prefix of the list.
  std::vector<std::optional<TableResult>> results(n);
  size_t nextTable = 0;
  size_t nextReport = 0;
  bool stopped = false;
  std::optional<Failure> connectionFailure;

  // Both with the lock held.
  auto askStop = [&] {
    if (!stopped && observer.stopRequested()) stopped = true;
    return stopped;
  };
  auto report = [&] {
    while (nextReport < n && results[nextReport]) {
      observer.tableFinished(*results[nextReport]);
      observer.tableWalked(nextReport);
      ++nextReport;
      if (!askStop()) observer.walkContinues(nextReport);
    }
  };

  auto worker = [&](int w) {
    auto goHome = [&](const std::exception& e) {
      std::lock_guard lock(mutex);
      if (!connectionFailure) {
        connectionFailure = failureOf(e, Stage::Connect, nullptr);
        connectionFailure->connectionLost = true;
      }
    };
    std::unique_ptr<db::Connection> conn;
    try {
      conn = connect();
    } catch (const std::exception& e) {
      goHome(e);
      return;
    }
    Options mine = options;
    std::unique_ptr<journal::Journal> ownJournal;
    if (replacing) {
      // One writer at a time: the first worker replaces every table.
      if (w > 0 && conn->engineSql().capabilities().oneWriter) return;
      if (options.journal) {
        if (w > 0) {
          // A journal that cannot be opened leaves this worker's share to
          // the others: nothing is written unjournaled.
          try {
            ownJournal = std::make_unique<journal::Journal>(options.journal->path());
          } catch (const std::exception&) {
            return;
          }
          mine.journal = ownJournal.get();
        }
        // Every worker writes the one file: each table's rows go in at its
        // seal, one worker's at a time, while the servers work on.
        if (jobs > 1 && !conn->engineSql().capabilities().oneWriter) {
          try {
            mine.journal->shareWriting(&journalWriters);
          } catch (const std::exception& e) {
            goHome(e);
            return;
          }
        }
      }
    }
    for (;;) {
      size_t k;
      {
        std::lock_guard lock(mutex);
        if (nextTable >= n || askStop()) return;
        k = nextTable++;
        observer.tableStarting(k, n, tables[k]);
      }
      if (replacing) turns.together();
      TableResult r = runTable(*conn, tables[k], mine, locked);
      if (replacing) turns.doneTogether();
      if (replacing && gaveWay(r)) {
        turns.alone();
        r = runTable(*conn, tables[k], mine, locked);
        turns.doneAlone();
      }
      const bool lost = r.failure && r.failure->connectionLost;
      {
        std::lock_guard lock(mutex);
        results[k] = std::move(r);
        report();
      }
      if (!lost) continue;
      // Made again once; a worker that cannot goes home and the others
      // take its share.
      try {
        conn.reset();
        conn = connect();
      } catch (const std::exception& e) {
        goHome(e);
        return;
      }
    }
  };

  std::vector<std::thread> threads;
  for (int w = 1; w < jobs; ++w) threads.emplace_back(worker, w);
  worker(0);
  for (auto& t : threads) t.join();
  // The caller's journal, the first worker's, writes alone again.
  if (replacing && options.journal) options.journal->shareWriting(nullptr);

  WalkResult walk;
  walk.stopped = stopped;
  for (size_t k = 0; k < n && results[k]; ++k) walk.results.push_back(std::move(*results[k]));
  if (walk.results.size() < n && !stopped) {
    walk.connectionFailure = connectionFailure;
    walk.notRun = n - walk.results.size();
  }
  return walk;
}

std::vector<Table> userTables(db::Connection& conn) {
  std::vector<Table> tables;
  forEachUserTable(conn, [&](Table&& t) { tables.push_back(std::move(t)); });
  return tables;
}

journal::Preview previewTable(db::Connection& conn, const Table& table,
                              const std::shared_ptr<const transform::Rewriter>& rewriter,
                              long long limit) {
  Options options;
  options.rewriter = rewriter;
  return previewTable(conn, table, options, limit);
}

journal::Preview previewTable(db::Connection& conn, const Table& table, const Options& given,
                              long long limit) {
  Options options = given;
  options.mode = Mode::Count;
  options.journal = nullptr;
  options.describeOnly = false;
  Observer quiet;
  journal::Plan plan;
  const TableResult counted = runTable(conn, table, options, quiet, &plan);
  if (counted.failure) {
    const Failure& f = *counted.failure;
    auto records = f.records;
    if (records.empty()) records.push_back({"HY000", 0, f.description});
    // Our own message keeps its English for the command line.
    std::string english;
    if (records.size() == 1 && f.englishRecords.size() == 1) english = f.englishRecords[0].message;
    throw db::DbError("preview", std::move(records), std::move(english));
  }
  journal::Preview out;
  if (counted.status != Status::Found) return out;
  plan.hasTriggers = hasOwnTriggers(conn, plan.table);
  return options.rewriter ? journal::rewrittenPreview(conn, plan, *options.rewriter, limit,
                                                      options.jsonRewriter.get())
                          : journal::preview(conn, plan, limit);
}

}  // namespace trellick::engine

namespace trellick::engine {

std::string failureTextEnglish(const TableResult& result, const std::string& eol) {
  if (!result.failure) return {};
  return failureTextOf(result, result.failure->englishDescription, eol);
}

}  // namespace trellick::engine

namespace trellick::engine {

namespace {

// Tables asked at once whether they hold a row: the longer the list, the
// older its answer when the last of them is counted.
constexpr size_t kRowsAskedAtOnce = 64;

}  // namespace

std::optional<std::pair<Catalog::TableRows, std::vector<Catalog::DriverColumn>>> Catalog::ready(
    const Table& table) {
  std::lock_guard lock(mutex_);
  if (!valid_) return std::nullopt;
  const auto it = tables_.find({table.schema, table.name});
  if (it == tables_.end()) return std::nullopt;
  std::vector<DriverColumn> driver;
  for (const ColumnRow& c : it->second.columns) {
    const auto d = described_.find(c.signature);
    if (c.signature.empty() || d == described_.end() || !d->second) return std::nullopt;
    driver.push_back(*d->second);
  }
  return std::pair{it->second, std::move(driver)};
}

void Catalog::askedAlone(const Key& key) {
  // One of the tables asked cannot be read (locked, dropped since, or
  // refused): this table runs its own queries and tells why, and each
  // next one asks for itself, never again waiting on another's lock.
  askAlone_ = true;
  rows_[key] = std::nullopt;
}

std::optional<bool> Catalog::hasRows(db::Connection& conn, const Table& table) {
  std::unique_lock lock(mutex_);
  const Key key{table.schema, table.name};
  // Asked by another worker just now: its answer comes with that question's.
  answered_.wait(lock, [&] { return !asking_.contains(key); });
  if (!valid_) return std::nullopt;
  // Each answer is used once: a walk again asks again.
  const auto take = [&]() -> std::optional<bool> {
    const auto it = rows_.find(key);
    if (it == rows_.end()) return std::nullopt;  // not in the catalog
    const std::optional<bool> answer = it->second;
    rows_.erase(it);
    if (answer) verified_.insert(key);
    return answer;
  };
  if (rows_.contains(key)) return take();
  const auto from = place_.find(key);
  if (from == place_.end() || !tables_.contains(key)) return std::nullopt;
  // This table and the next ones of the walk nobody has asked about, in one
  // statement.
  std::vector<Key> asked;
  std::vector<sql::TableRef> refs;
  std::vector<std::string> stamps;
  // The first questions are short, each as long as all before it, so that
  // the walk starts without waiting for a long one, and several workers
  // soon each ask about tables of their own.
  const size_t most = askAlone_ ? 1 : std::clamp<size_t>(askedSoFar_, 1, kRowsAskedAtOnce);
  for (size_t k = from->second; k < walk_.size() && asked.size() < most; ++k) {
    const Key next{walk_[k].schema, walk_[k].name};
    if (rows_.contains(next) || asking_.contains(next) || !tables_.contains(next) ||
        std::find(asked.begin(), asked.end(), next) != asked.end())
      continue;
    asked.push_back(next);
    refs.push_back(walk_[k]);
    stamps.push_back(tables_[next].stamp);
  }
  // The question goes without the lock: the other workers meanwhile take
  // the answers they have, or ask about tables further on.
  asking_.insert(asked.begin(), asked.end());
  askedSoFar_ += asked.size();
  const std::string walkStamp = stamp_;
  lock.unlock();
  bool stampChanged = false;
  std::vector<std::optional<bool>> answers;
  std::exception_ptr failed;
  try {
    auto rs = conn.Execute(conn.engineSql().rowsExistQuery(refs));
    auto fields = rs->Fields();
    stampChanged = fields.Item(0).Value().text() != walkStamp;
    for (size_t k = 0; !stampChanged && k < asked.size(); ++k) {
      // A table altered since it was read asks for its own columns.
      const bool same = fields.Item(static_cast<int>(2 * k + 2)).Value().text() == stamps[k];
      answers.push_back(
          same ? std::optional(fields.Item(static_cast<int>(2 * k + 1)).Value().text() == "1")
               : std::nullopt);
    }
    rs->Close();
  } catch (...) {
    failed = std::current_exception();
  }
  lock.lock();
  for (const Key& k : asked) asking_.erase(k);
  answered_.notify_all();
  if (failed) {
    try {
      std::rethrow_exception(failed);
    } catch (const db::DbError& e) {
      // A connection given up or lost fails the table as its own statement
      // would, with the reason; so does the time-out of its question alone.
      const bool timedOut =
          e.hasSqlState("HYT00") || e.hasSqlState("HYT01") || e.hasSqlState("57014");
      if (db::isConnectionLost(e) || (timedOut && refs.size() == 1)) throw;
      askedAlone(key);
    } catch (const std::exception&) {
      askedAlone(key);
    }
    return take();
  }
  if (stampChanged) {
    // The schema changed since the catalog was read: every table from here
    // on asks for its own columns.
    valid_ = false;
    return std::nullopt;
  }
  for (size_t k = 0; k < asked.size(); ++k) rows_[asked[k]] = answers[k];
  return take();
}

void Catalog::learn(const Table& table, const std::vector<DriverColumn>& driver,
                    const std::vector<std::string>& names) {
  std::lock_guard lock(mutex_);
  const auto it = tables_.find({table.schema, table.name});
  if (!verified_.erase({table.schema, table.name}) || !valid_ || it == tables_.end()) return;
  const auto& columns = it->second.columns;
  // A table whose columns are not the ones the catalog lists (altered
  // since) teaches nothing.
  if (columns.size() != names.size()) return;
  for (size_t k = 0; k < names.size(); ++k)
    if (columns[k].name != names[k]) return;
  for (size_t k = 0; k < names.size(); ++k) {
    const std::string& signature = columns[k].signature;
    if (signature.empty()) continue;
    const auto [d, added] = described_.try_emplace(signature, driver[k]);
    // Described two ways: never taken from the catalog again.
    if (!added && d->second &&
        (d->second->type != driver[k].type || d->second->size != driver[k].size))
      d->second.reset();
  }
}

std::shared_ptr<Catalog> readCatalog(db::Connection& conn, const std::vector<Table>& walk) {
  const sql::EngineSql& engineSql = conn.engineSql();
  const std::string query = engineSql.catalogQuery();
  if (query.empty()) return nullptr;
  auto catalog = std::make_shared<Catalog>();
  try {
    // Read before the catalog: a change in between is taken as one after it.
    if (const std::string stamp = engineSql.schemaStamp(); !stamp.empty()) {
      auto rs = conn.Execute("select " + stamp);
      catalog->stamp_ = rs->Fields().Item(0).Value().text();
      rs->Close();
    }
    auto rs = conn.Execute(query);
    while (rs->State() == db::adStateOpen && !rs->Eof()) {
      auto fields = rs->Fields();
      std::string schema = fields.Item(0).Value().text();
      if (schema == conn.DefaultSchema()) schema.clear();
      Catalog::ColumnRow c;
      c.name = fields.Item(2).Value().text();
      c.signature = fields.Item(3).Value().text();
      c.computed = fields.Item(4).Value().text() == "1";
      if (const db::Variant declared = fields.Item(5).Value(); !declared.IsNull())
        c.declared = declared.text();
      const bool typed = fields.Count() > 9;
      if (const db::Variant shown = typed ? fields.Item(6).Value() : db::Variant::null();
          !shown.IsNull()) {
        c.typed = true;
        c.shown = shown.text();
        c.base = fields.Item(7).Value().text();
        if (const db::Variant length = fields.Item(8).Value(); !length.IsNull())
          c.length = length.toInt64();
      }
      auto& rows = catalog->tables_[{schema, fields.Item(1).Value().text()}];
      rows.columns.push_back(std::move(c));
      rows.hasChildren = typed && fields.Item(9).Value().text() == "1";
      if (fields.Count() > 10) rows.stamp = fields.Item(10).Value().text();
      rs->MoveNext();
    }
    if (rs->State() == db::adStateOpen) rs->Close();
  } catch (const std::exception&) {
    return nullptr;
  }
  catalog->walk_ = walk;
  for (size_t k = 0; k < walk.size(); ++k)
    catalog->place_.try_emplace({walk[k].schema, walk[k].name}, k);
  return catalog;
}

void forEachUserTable(db::Connection& conn, const std::function<void(Table&&)>& take) {
  const std::string defaultSchema = conn.DefaultSchema();
  conn.ForEachSchemaTable([&](std::vector<db::Variant>&& row) {
    const std::string& name = row[2].text();
    // A table outside the default schema keeps its schema, so that two
    // tables of one name stay two.
    std::string owner = row[1].text();
    if (owner == defaultSchema) owner.clear();
    if (db::isListedTable(name)) take(Table(name, owner));
  });
}

}  // namespace trellick::engine
