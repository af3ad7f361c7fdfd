#include "journal/changes.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <set>

#include "common/utf8.h"
#include "db/recordset.h"
#include "journal/undo_by_value.h"
#include "transform/rewriter.h"

namespace trellick::journal {
namespace {

using search::ChangeColumn;
using search::Engine;

std::vector<std::string> namesOf(const std::vector<ChangeColumn>& columns) {
  std::vector<std::string> out;
  for (const auto& c : columns) out.push_back(c.name);
  return out;
}

Value valueOf(db::Recordset& rs, int index) {
  db::Variant v = rs.Fields().Item(index).Value();
  return v.IsNull() ? std::nullopt : Value(v.text());
}

// The schema a bare name reaches on this connection: the login's default
// (SQLite's is "main").
std::string defaultSchemaOf(const db::Connection& conn) {
  const std::string& schema = conn.DefaultSchema();
  return schema.empty() && conn.dialect() == Engine::SQLite ? "main" : schema;
}

// A table as the journal keeps it: by its real schema, so that an undo
// by a login whose default schema differs reaches the same table.
search::TableRef resolved(const db::Connection& conn, search::TableRef table) {
  if (table.schema.empty()) table.schema = defaultSchemaOf(conn);
  return table;
}

// A journaled table as the statements name it: bare where the bare name
// reaches it, as the replace named it; runs journaled without a schema
// (before it was recorded) are named bare too, as they always were.
search::TableRef addressed(const db::Connection& conn, search::TableRef table) {
  if (table.schema == defaultSchemaOf(conn)) table.schema.clear();
  return table;
}

struct Identity {
  std::vector<ChangeColumn> columns;
  bool byValue = false;
};

Identity identityOf(db::Connection& conn, const Plan& plan) {
  Identity id;
  for (const auto& k : conn.RowKey(plan.table.schema, plan.table.name)) {
    // With its type, for its values to be written back as the column's.
    ChangeColumn key{k};
    for (const auto& c : plan.columns)
      if (c.name == k) key = c;
    id.columns.push_back(key);
  }
  if (id.columns.empty()) {
    id.columns = plan.columns;
    id.byValue = true;
  }
  return id;
}

// The plan with the rows' names it is read by.
Plan keyedBy(const Plan& plan, const Identity& id) {
  Plan keyed = plan;
  keyed.key = id.byValue ? std::vector<std::string>{} : namesOf(id.columns);
  return keyed;
}

// Reads every row of a changes query: identity values, then each column's
// value before and after.
// imageCount: each row's images follow.
template <class Visit>
// `fromImage`: for each changed column, the image that is its value after,
// which the statement then does not hand again (-1: it does).
void readChanges(db::Connection& conn, const std::string& sql, size_t identityCount,
                 size_t columnCount, Visit visit, size_t imageCount = 0,
                 const std::vector<int>& fromImage = {}) {
  auto rs = conn.Execute(sql);
  while (rs->State() == db::adStateOpen && !rs->Eof()) {
    Row row;
    int i = 0;
    for (size_t k = 0; k < identityCount; ++k) row.identity.push_back(valueOf(*rs, i++));
    for (size_t k = 0; k < columnCount; ++k) {
      row.before.push_back(valueOf(*rs, i++));
      row.after.push_back(k < fromImage.size() && fromImage[k] >= 0 ? Value() : valueOf(*rs, i++));
    }
    for (size_t k = 0; k < imageCount; ++k) row.image.push_back(valueOf(*rs, i++));
    for (size_t k = 0; k < fromImage.size() && k < columnCount; ++k)
      if (fromImage[k] >= 0) row.after[k] = row.image.at(static_cast<size_t>(fromImage[k]));
    visit(row);
    rs->MoveNext();
  }
  if (rs->State() == db::adStateOpen) rs->Close();
}

bool isVirtual(db::Connection& conn, const sql::EngineSql& statements,
               const search::TableRef& table) {
  auto rs = conn.Execute(statements.virtualTableQuery(table));
  const bool found = rs->State() == db::adStateOpen && !rs->Eof();
  if (rs->State() == db::adStateOpen) rs->Close();
  return found;
}

}  // namespace

bool hasOwnTriggers(db::Connection& conn, const search::TableRef& table) {
  const std::string query = conn.engineSql().ownTriggersQuery(table);
  if (query.empty()) return false;
  try {
    auto rs = conn.Execute(query);
    const bool found = rs->State() == db::adStateOpen && !rs->Eof();
    if (rs->State() == db::adStateOpen) rs->Close();
    return found;
  } catch (const std::exception&) {
    // Only told, never a reason for the table to fail.
    return false;
  }
}

namespace {

// Whether a row of the table meets the condition, its "?" markers bound
// to `params`.
bool holds(db::Connection& conn, Engine engine, const search::TableRef& table,
           const std::string& condition, const Values& params = {}) {
  const std::string sql =
      "select count(*) from " + sql::forDialect(engine).updateTarget(table) + " where " + condition;
  auto rs = params.empty() ? conn.Execute(sql) : conn.ExecuteQuery(sql, params);
  const bool found = rs->Fields().Item(0).Value().toInt64() > 0;
  rs->Close();
  return found;
}

// Whether the values fit a statement as literals: a longer one goes as a
// parameter in pieces where the driver sends such values so, for the
// statement to stay within the server's packet.
bool fitInline(const db::Connection& conn, const std::vector<std::string>& values) {
  const long long longBytes = conn.facts().longValueBytes;
  for (const auto& v : values)
    if (longBytes > 0 && static_cast<long long>(v.size()) > longBytes) return false;
  return true;
}

// A row's key as the run left it: a key column the run changed holds its
// value after.
Values keyLeft(const std::vector<ChangeColumn>& keys, const std::vector<ChangeColumn>& changed,
               const Row& row) {
  Values out = row.identity;
  for (size_t k = 0; k < keys.size() && k < out.size(); ++k)
    for (size_t j = 0; j < changed.size(); ++j)
      if (changed[j].name == keys[k].name && j < row.after.size()) out[k] = row.after[j];
  return out;
}

// A restored row journaled the other way round: undoing the undo puts the
// run's values back. It has no image: the undo's rows are found by their
// changed values.
Row reversed(const sql::EngineSql& statements, const TableEntry& entry, const Row& row) {
  Row back{row.identity, {}, {}, {}};
  for (size_t k = 0; k < entry.changed.size(); ++k) {
    back.before.push_back(row.after[k]);
    back.after.push_back(row.before[k]);
  }
  if (entry.imageColumns.empty()) return back;
  // With images: the row as the undo leaves it, found by the key as the
  // run left it.
  back.image = row.image;
  for (size_t i = 0; i < entry.imageColumns.size() && i < back.image.size(); ++i) {
    for (size_t k = 0; k < entry.changed.size(); ++k)
      if (entry.changed[k].name == entry.imageColumns[i].name && row.before[k] && row.after[k] &&
          *row.before[k] != *row.after[k])
        back.image[i] = statements.textImage(*row.before[k]);
    if (entry.literalKeys)
      for (size_t k = 0; k < entry.identity.size() && k < back.identity.size(); ++k)
        if (entry.identity[k].name == entry.imageColumns[i].name) back.identity[k] = row.image[i];
  }
  if (!entry.literalKeys) back.identity = keyLeft(entry.identity, entry.changed, row);
  return back;
}

// A cancel sent since `since`, while a statement ran or between two, ends
// the work of many statements at once.
void failIfCancelled(const db::Connection& conn, unsigned long long since) {
  if (conn.Cancels() != since)
    db::fail("HY008", "[Trellick]操作已取消", "[Trellick]Operation cancelled");
}

// After the update, before the journal is sealed: each journaled row read
// again by its key, its changed columns and the image of every column as
// the update left them (a trigger may have written more, or kept the row
// from the update: then it is no row of the run). Returns the rows kept.
// Rows the update wrote, each as read before it with the values it
// computed, as the update left them: read again by their keys, 500 to a
// statement, each then with its values after and its image. A row left as
// it was is no row of the run; one not found by its key (a trigger moved
// it) stays as computed, without an image, and is guarded by its changed
// columns. Hands each row of the run to `keep`, in order, and returns how
// many were left as they were.
template <typename Keep>
long long settleRows(db::Connection& conn, const Plan& plan, const std::vector<ChangeColumn>& keys,
                     const std::vector<ChangeColumn>& changed,
                     const std::vector<ChangeColumn>& imageColumns, unsigned long long cancels,
                     std::vector<Row>& rows, Keep keep) {
  constexpr size_t kBatch = 500;
  long long kept = 0;
  for (size_t from = 0; from < rows.size(); from += kBatch) {
    failIfCancelled(conn, cancels);
    const size_t to = std::min(rows.size(), from + kBatch);
    std::vector<Values> wanted;
    for (size_t n = from; n < to; ++n) wanted.push_back(keyLeft(keys, changed, rows[n]));
    struct Found {
      Values now;
      Values image;
    };
    std::map<std::string, Found> found;
    auto rs = conn.Execute(search::rowsByKeyQuery(plan.engine, plan.syntax, plan.table, keys,
                                                  wanted, changed, imageColumns));
    while (rs->State() == db::adStateOpen && !rs->Eof()) {
      int i = 0;
      Values key;
      Found f;
      for (size_t k = 0; k < keys.size(); ++k) key.push_back(valueOf(*rs, i++));
      for (size_t k = 0; k < changed.size(); ++k) f.now.push_back(valueOf(*rs, i++));
      for (size_t k = 0; k < imageColumns.size(); ++k) f.image.push_back(valueOf(*rs, i++));
      found.emplace(encodeValues(key), std::move(f));
      rs->MoveNext();
    }
    if (rs->State() == db::adStateOpen) rs->Close();
    for (size_t n = from; n < to; ++n) {
      Row& row = rows[n];
      const auto it = found.find(encodeValues(wanted[n - from]));
      if (it != found.end()) {
        if (it->second.now == row.before) {
          ++kept;
          continue;
        }
        row.after = std::move(it->second.now);
        row.image = std::move(it->second.image);
      }
      keep(row);
    }
  }
  return kept;
}

// settleRows() for the rows of a table already in the journal, which are
// written anew or dropped there.
long long settle(db::Connection& conn, Journal& journal, long long table, const Plan& plan,
                 const std::vector<ChangeColumn>& keys, const std::vector<ChangeColumn>& changed,
                 const std::vector<ChangeColumn>& imageColumns, unsigned long long cancels) {
  constexpr long long kBatch = 500;
  const long long total = journal.rowsOf(table);
  long long kept = 0;
  for (long long from = 1; from <= total; from += kBatch) {
    auto batch = journal.rowsBetween(table, from, from + kBatch - 1);
    std::vector<Row> rows;
    for (const auto& [seq, row] : batch) rows.push_back(row);
    size_t n = 0;
    auto seqOf = [&](const Row& row) {
      // Rows come back in order: the one handed over is found from the last.
      while (&rows[n] != &row) journal.dropRow(table, batch[n++].first);
      return batch[n++].first;
    };
    kept += settleRows(conn, plan, keys, changed, imageColumns, cancels, rows, [&](const Row& row) {
      const long long seq = seqOf(row);
      if (row.image != batch[n - 1].second.image || row.after != batch[n - 1].second.after)
        journal.rewriteRow(table, seq, row);
    });
    while (n < rows.size()) journal.dropRow(table, batch[n++].first);
  }
  return kept;
}

// The plan's update of only the rows with these keys (each as the read
// gave it), which the read has locked.
std::string updateOfKeys(const Plan& plan, const std::vector<ChangeColumn>& keyColumns,
                         const std::vector<Values>& keys) {
  const sql::EngineSql& dialect = sql::forDialect(plan.engine);
  std::string rows;
  const bool list =
      keyColumns.size() == 1 &&
      std::all_of(keys.begin(), keys.end(), [](const Values& k) { return bool(k[0]); });
  for (const auto& key : keys) {
    if (list) {
      rows += (rows.empty() ? "" : ", ") +
              search::keyLiteral(dialect, keyColumns[0], *key[0], plan.syntax);
      continue;
    }
    std::string one;
    for (size_t k = 0; k < keyColumns.size(); ++k) {
      const std::string name = dialect.quotedName(keyColumns[k].name);
      one +=
          (k ? " and " : "") +
          (key[k] ? name + " = " + search::keyLiteral(dialect, keyColumns[k], *key[k], plan.syntax)
                  : name + " is null");
    }
    rows += (rows.empty() ? "" : " or ") + (keyColumns.size() > 1 ? "(" + one + ")" : one);
  }
  if (list) rows = dialect.quotedName(keyColumns[0].name) + " in (" + rows + ")";
  Plan only = plan;
  only.range = (plan.range.empty() ? "" : "(" + plan.range + ") and ") + "(" + rows + ")";
  return only.updateStatement();
}

void rollbackQuietly(db::Connection& conn) {
  try {
    if (conn.InTransaction()) conn.RollbackTrans();
  } catch (...) {
  }
}

}  // namespace

search::TableRef withChildrenKnown(db::Connection& conn, search::TableRef table) {
  const std::string query = conn.engineSql().childrenQuery(table);
  if (query.empty()) return table;
  auto rs = conn.Execute(query);
  table.hasChildren = rs->State() == db::adStateOpen && !rs->Eof();
  rs->Close();
  return table;
}

Plan makePlan(const search::StatementBuilder& builder, const search::TableRef& table,
              const std::vector<ChangeColumn>& columns,
              const std::vector<ChangeColumn>& allColumns) {
  Plan plan;
  plan.engine = builder.engine();
  plan.syntax = builder.syntax();
  plan.table = table;
  plan.columns = allColumns;
  for (const auto& c : columns)
    plan.searched.push_back(
        {c, builder.matchTerm(c.name, c.type, c.size), builder.newValue(c.name, c.type, c.size)});
  return plan;
}

Preview preview(db::Connection& conn, const Plan& plan, long long limit) {
  Preview out;
  if (plan.empty()) return out;
  const Identity id = identityOf(conn, plan);
  out.identityColumns = namesOf(id.columns);
  out.byValue = id.byValue;
  out.hasTriggers = plan.hasTriggers;
  {
    auto count = conn.Execute(plan.countStatement());
    out.total = count->Fields().Item(0).Value().toInt64();
    count->Close();
  }
  out.query = keyedBy(plan, id).changesQuery(limit);
  out.update = plan.updateStatement();
  const std::vector<ChangeColumn> searched = plan.searchedColumns();
  readChanges(conn, out.query, id.columns.size(), searched.size(), [&](const Row& row) {
    PreviewRow p;
    p.identity = row.identity;
    for (size_t k = 0; k < searched.size(); ++k)
      if (row.before[k] && row.after[k] && *row.before[k] != *row.after[k])
        p.changes.push_back({searched[k].name, *row.before[k], *row.after[k]});
    out.rows.push_back(std::move(p));
  });
  return out;
}

namespace {

// The journaled replace of a table, or of one batch of it (batch > 0,
// journaled with its number and bound).
Replaced replaceJournaled(db::Connection& conn, Journal& journal, long long run, const Plan& plan,
                          long long batch, const std::optional<Values>& bound) {
  const Identity id = identityOf(conn, plan);
  const Plan keyed = keyedBy(plan, id);
  const std::vector<ChangeColumn> searched = plan.searchedColumns();
  const std::string update = plan.updateStatement();
  long long table = 0;
  bool sealed = false;
  const unsigned long long cancels = conn.Cancels();
  try {
    conn.BeginTrans();
    const db::DriverFacts& facts = conn.facts();
    const sql::EngineSql& statements = sql::forDialect(plan.engine);
    // Read under lock: nobody changes the rows between their reading and
    // the update.
    const std::string sql = keyed.changesQuery(0, true);
    // The update keeps its own rows as it writes them, through a trigger
    // of this connection, with every column's image as it left them.
    const bool capturing = statements.capabilities().rowCapture && !id.byValue &&
                           !isVirtual(conn, statements, plan.table);
    TableImages images;
    if (!id.byValue) {
      for (const auto& c : plan.columns)
        if (!statements.imageOf(statements.quotedName(c.name), c.type).empty())
          images.columns.push_back(c);
      images.literalKeys = capturing && statements.imagesAreLiterals();
    }
    table = journal.beginTable(run, resolved(conn, plan.table), id.columns, id.byValue, searched,
                               images);
    if (batch > 0) journal.setBatch(table, batch, bound);
    long long changed = -1;  // until the update has run
    long long capturedKept = 0;
    bool settled = false;  // the rows journaled as the update left them
    auto keep = [&](const Row& row) {
      failIfCancelled(conn, cancels);
      journal.addRow(table, row);
    };
    // Where the engine has it and no trigger of the table's own can write
    // more than the update: one statement per page that updates the rows
    // and hands each back with its values before and its image after, the
    // table read once and nothing read again.
    constexpr long long kReturningPage = 10000;
    std::vector<std::pair<ChangeColumn, std::string>> assigned;
    for (const auto& s : plan.searched) assigned.emplace_back(s.column, s.newValue);
    auto returningPage = [&](const std::string& after) {
      const std::string condition =
          after.empty() ? plan.condition() : "(" + plan.condition() + ")" + after;
      return statements.updateReturningChanges(plan.table, id.columns, assigned, condition,
                                               images.columns, kReturningPage);
    };
    const bool returning = !id.byValue && !capturing && !images.columns.empty() &&
                           !returningPage({}).empty() &&
                           !plan.ownTriggers([&] { return hasOwnTriggers(conn, plan.table); });
    if (returning) {
      std::string after;
      long long got = 0;
      changed = 0;
      do {
        failIfCancelled(conn, cancels);
        got = 0;
        Values last;
        readChanges(
            conn, returningPage(after), id.columns.size(), searched.size(),
            [&](const Row& row) {
              ++got;
              last = row.identity;
              // Left as it was: no row of the run.
              if (row.after == row.before)
                ++capturedKept;
              else
                keep(row);
            },
            images.columns.size(), statements.afterFromImage(assigned, images.columns));
        changed += got;
        if (got == kReturningPage)
          after = " and " + search::pastKey(plan.engine, plan.syntax, id.columns, last);
      } while (got == kReturningPage);
    } else if (facts.readsWholeResult && statements.capabilities().cursors) {
      // The driver reads a whole result before the first row: through a
      // cursor of the transaction, the rows come a thousand at a time.
      conn.ExecuteAll(statements.declareCursor("trellick_rows", sql));
      size_t before = 0;
      size_t seen = 0;
      do {
        before = seen;
        readChanges(conn, statements.fetchCursor("trellick_rows", 1000), id.columns.size(),
                    searched.size(), [&](const Row& row) {
                      ++seen;
                      keep(row);
                    });
      } while (seen - before == 1000);
      conn.ExecuteAll(statements.closeCursor("trellick_rows"));
    } else if (capturing) {
      // The table is read once, not twice, and the journal holds exactly
      // the rows written. None of it is committed before the journal is
      // sealed.
      // Only a trigger of the table's own can keep a row from the update:
      // the rows tried are counted where it has one.
      const auto capture =
          statements.rowCapture(plan.table, keyed.key, searched, images.columns,
                                plan.ownTriggers([&] { return hasOwnTriggers(conn, plan.table); }));
      for (const auto& statement : capture.setUp) conn.ExecuteAll(statement);
      changed = conn.ExecuteParams(update, {});
      // Its driver reads a whole result before the first row: in pages.
      constexpr long long kPage = 10000;
      long long seen = 0, got = 0;
      do {
        got = 0;
        readChanges(
            conn, capture.read(seen, kPage), id.columns.size(), searched.size(),
            [&](const Row& row) {
              ++got;
              keep(row);
            },
            images.columns.size());
        seen += got;
      } while (got == kPage);
      if (!capture.tried.empty()) {
        auto rs = conn.Execute(capture.tried);
        const long long tried = rs->Eof() ? 0 : std::stoll(rs->Fields().Item(0).Value().text());
        rs->Close();
        capturedKept = std::max(0LL, tried - changed);
      }
      for (const auto& statement : capture.tearDown) conn.ExecuteAll(statement);
    } else if (facts.readsWholeResult && !id.byValue) {
      // The driver reads a whole result before the first row: the rows
      // come in pages of the key's order, each after the last key read.
      // Each page is then updated by its keys: the table is scanned once,
      // by the read, and the update finds its rows by the key's index.
      // Where rows keep images, a page's rows wait in memory for the update
      // and are read again by their keys as it left them, then journaled
      // once, whole: a smaller page, for the rows held to stay few.
      const bool byKeys = !images.columns.empty();
      const long long kPage = byKeys ? 2000 : 10000;
      std::string after;
      long long got = 0;
      if (byKeys) {
        changed = 0;
        settled = true;
        capturedKept = 0;
      }
      do {
        got = 0;
        Values last;
        std::vector<Values> keys;
        std::vector<Row> rows;
        const std::string page = keyed.changesQuery(kPage, true, after);
        readChanges(conn, page, id.columns.size(), searched.size(), [&](const Row& row) {
          ++got;
          last = row.identity;
          if (!byKeys) return keep(row);
          failIfCancelled(conn, cancels);
          keys.push_back(row.identity);
          rows.push_back(row);
        });
        if (byKeys && !keys.empty()) {
          failIfCancelled(conn, cancels);
          changed += conn.ExecuteParams(updateOfKeys(plan, id.columns, keys), {});
          capturedKept +=
              settleRows(conn, plan, id.columns, searched, images.columns, cancels, rows, keep);
        }
        if (got == kPage)
          after = " and " + search::pastKey(plan.engine, plan.syntax, id.columns, last);
      } while (got == kPage);
    } else if (facts.readsWholeResult && id.byValue &&
               !statements.rowOrderText({statements.quotedName(plan.columns.front().name)})
                    .empty()) {
      // The driver reads a whole result before the first row, and the rows
      // have no key: pages in the order of their content, each from the
      // last order text read. Rows alike in it are alike in every column:
      // a page that ends among them passes over as many as were read.
      constexpr long long kPage = 10000;
      std::string from;
      long long skip = 0, got = 0;
      do {
        got = 0;
        std::string last;
        long long lastRun = 0;
        readChanges(
            conn, keyed.changesPageByContent(kPage, from, skip), id.columns.size(), searched.size(),
            [&](const Row& read) {
              ++got;
              const std::string order = read.image.empty() ? "" : read.image.front().value_or("");
              lastRun = order == last ? lastRun + 1 : 1;
              last = order;
              Row row = read;
              row.image.clear();
              keep(row);
            },
            1);
        if (got < kPage) break;
        if (last == from) {
          skip += lastRun;
        } else {
          from = last;
          skip = lastRun;
        }
      } while (true);
    } else {
      readChanges(conn, sql, id.columns.size(), searched.size(), keep);
    }
    long long kept = capturedKept;
    if (!images.columns.empty() && !capturing && !returning && !settled) {
      // The rows as the update left them: read again by their keys, before
      // anything is committed.
      if (changed < 0) changed = conn.ExecuteParams(update, {});
      kept = settle(conn, journal, table, plan, id.columns, searched, images.columns, cancels);
    }
    failIfCancelled(conn, cancels);
    const long long journaled = journal.rowsOf(table);
    journal.seal(table);
    sealed = true;
    if (changed < 0) changed = conn.ExecuteParams(update, {});
    // Every row the update changed must be in the journal, or the run could
    // not be taken back: otherwise nothing is written. (On PostgreSQL a row
    // that came to match after the read is changed too. SQL Server holds
    // the range instead, and its count may include a trigger's rows.)
    if (!statements.capabilities().updateCountIncludesTriggers && changed > journaled)
      throw db::DbError(
          "replace",
          {{"HY000", 0,
            "[Trellick]更新了 " + std::to_string(changed) + " 条记录，但替换前的内容只记录了 " +
                std::to_string(journaled) + " 条，已撤回此表的替换"}},
          "[Trellick]updated " + std::to_string(changed) +
              " records, but the journal holds the old values of only " +
              std::to_string(journaled) + "; the table's replace was rolled back");
    conn.CommitTrans();
    Replaced out;
    out.changed = changed;
    out.kept = kept;
    out.byValue = id.byValue;
    // The server has committed: whatever befalls the mark, the table was
    // replaced, and its sealed rows still take it back.
    try {
      journal.mark(table, TableState::Done);
    } catch (...) {
      out.journalComplete = false;
    }
    return out;
  } catch (...) {
    rollbackQuietly(conn);
    try {
      if (table && !sealed) journal.abandon(table);
      if (table && sealed) journal.mark(table, TableState::Failed);
    } catch (...) {
    }
    throw;
  }
}

// An undo's imaged rows gathered by the columns they give back and given
// back many to a statement (EngineSql::rowsRestore).
class RestoreBatches {
 public:
  using Single = std::function<void(const Row&, const std::vector<ChangeColumn>&,
                                    const std::vector<std::string>&)>;
  using Done = std::function<void(const Row&)>;

  RestoreBatches(db::Connection& conn, const TableEntry& entry, const search::TableRef& table,
                 Single single)
      : conn_(conn), entry_(entry), table_(table), single_(std::move(single)) {}

  // Asks the server whether the table's rows can go many to a statement,
  // and its columns' types for them.
  void prepare() {
    const sql::EngineSql& statements = conn_.engineSql();
    const std::string elsewhere = statements.writesElsewhereQuery(table_);
    if (elsewhere.empty()) return;
    {
      auto rs = conn_.Execute(elsewhere);
      const bool found = rs->State() == db::adStateOpen && !rs->Eof();
      if (rs->State() == db::adStateOpen) rs->Close();
      if (found) return;
    }
    auto rs = conn_.Execute(statements.columnTypesQuery(table_));
    while (rs->State() == db::adStateOpen && !rs->Eof()) {
      types_.emplace_back(rs->Fields().Item(0).Value().text(), rs->Fields().Item(1).Value().text());
      rs->MoveNext();
    }
    if (rs->State() == db::adStateOpen) rs->Close();
    on_ = !types_.empty();
  }

  // Takes the row into its batch; false where it must go by itself.
  bool add(const Row& row, const std::vector<ChangeColumn>& changed,
           const std::vector<std::string>& oldValues, Done done) {
    if (!on_) return false;
    std::string names;
    for (const auto& c : changed) {
      for (const auto& key : entry_.identity)
        if (key.name == c.name) return false;
      names += c.name + '\x1f';
    }
    Batch& batch = batches_[names];
    batch.columns = changed;
    batch.rows.push_back({row, oldValues});
    done_ = std::move(done);
    if (batch.rows.size() >= kRows) flush(batch);
    return true;
  }

  void flushAll() {
    for (auto& [names, batch] : batches_) flush(batch);
  }

 private:
  static constexpr size_t kRows = 500;
  struct Pending {
    Row row;
    std::vector<std::string> oldValues;
  };
  struct Batch {
    std::vector<ChangeColumn> columns;
    std::vector<Pending> rows;
  };

  void flush(Batch& batch) {
    if (batch.rows.empty()) return;
    std::vector<Values> values;
    for (const auto& p : batch.rows) {
      Values v = keyLeft(entry_.identity, entry_.changed, p.row);
      for (const auto& old : p.oldValues) v.emplace_back(old);
      v.insert(v.end(), p.row.image.begin(), p.row.image.end());
      values.push_back(std::move(v));
    }
    const auto [sql, params] = conn_.engineSql().rowsRestore(table_, entry_.identity, batch.columns,
                                                             entry_.imageColumns, types_, values);
    std::vector<bool> written(batch.rows.size(), false);
    if (!sql.empty()) {
      auto rs = conn_.ExecuteQuery(sql, params);
      while (rs->State() == db::adStateOpen && !rs->Eof()) {
        const long long place = rs->Fields().Item(0).Value().toInt64();
        if (place >= 1 && place <= static_cast<long long>(written.size()))
          written[static_cast<size_t>(place - 1)] = true;
        rs->MoveNext();
      }
      if (rs->State() == db::adStateOpen) rs->Close();
    }
    for (size_t n = 0; n < batch.rows.size(); ++n) {
      const Pending& p = batch.rows[n];
      if (written[n])
        done_(p.row);
      else
        single_(p.row, batch.columns, p.oldValues);
    }
    batch.rows.clear();
  }

  db::Connection& conn_;
  const TableEntry& entry_;
  const search::TableRef& table_;
  Single single_;
  Done done_;
  bool on_ = false;
  std::vector<std::pair<std::string, std::string>> types_;
  std::map<std::string, Batch> batches_;
};

}  // namespace

Replaced journaledReplace(db::Connection& conn, Journal& journal, long long run, const Plan& plan) {
  return replaceJournaled(conn, journal, run, plan, 0, std::nullopt);
}

UndoResult undo(db::Connection& conn, Journal& journal, const RunEntry& run, RunInfo info,
                std::ostream* script) {
  UndoResult out;
  const Engine engine = conn.dialect();
  const search::Syntax syntax = conn.syntax();
  info.kind = "undo";
  info.undoes = run.id;
  // A damaged journal could hand back damaged old values: nothing is
  // written from it.
  if (const auto damage = journal.damage())
    throw std::runtime_error("the journal " + journal.path() + " is damaged (" + *damage +
                             "); nothing was undone");
  if (!script) out.undoRun = journal.beginRun(info);
  if (script)
    for (const std::string& statement : scriptSetUp(conn)) *script << statement << ";\n";
  // Last changed, first given back: a key the run changed in one table may
  // have cascaded into rows of a table changed after it, which are as the
  // run left them only once those are given back.
  for (auto at = run.tables.rbegin(); at != run.tables.rend(); ++at) {
    const TableEntry& entry = *at;
    // A table whose rows never reached the journal was never changed.
    if (entry.state != TableState::Journaled && entry.state != TableState::Done) continue;
    const search::TableRef target = addressed(conn, entry.table);
    UndoTable result;
    result.table = target;
    search::TableRef table = target;
    result.byValue = entry.byValue;
    // Every row is checked before the first is written: a table is given
    // back whole or not at all.
    if (const auto damage = journal.damage(entry)) {
      result.damaged = true;
      result.failure = "the journal's rows of this table are damaged (" + *damage +
                       "); nothing of it was written";
      result.failureEnglish = result.failure;
      out.tables.push_back(std::move(result));
      continue;
    }
    long long undoTable = 0;
    bool sealed = false;
    try {
      table = withChildrenKnown(conn, target);
      if (!script) {
        conn.BeginTrans();
        undoTable = journal.beginTable(out.undoRun, entry.table, entry.identity, entry.byValue,
                                       entry.changed, {entry.imageColumns, entry.literalKeys});
      }
      // A row journaled with its image: given back only where the whole
      // row is still as the run left it.
      auto restoreImaged = [&](const Row& row, const std::vector<ChangeColumn>& changed,
                               const std::vector<std::string>& oldValues) {
        search::ImagedRow imaged{entry.identity,     row.identity, entry.literalKeys,
                                 entry.imageColumns, row.image,    changed,
                                 oldValues};
        // The key as the run left it: an image where images are literals of
        // the engine, the value written where the run changed it.
        imaged.keyValues = keyLeft(entry.identity, entry.changed, row);
        if (entry.literalKeys)
          for (size_t k = 0; k < entry.identity.size(); ++k)
            for (size_t i = 0; i < entry.imageColumns.size(); ++i)
              if (entry.imageColumns[i].name == entry.identity[k].name)
                imaged.keyValues[k] = row.image[i];
        if (imaged.images.size() != imaged.imageColumns.size())
          throw std::runtime_error("journal: a row without its image");
        const auto restore =
            search::undoImagedRow(engine, syntax, table, imaged, script != nullptr);
        if (script) {
          *script << restore.sql << ";\n";
          ++result.restored;
          return;
        }
        const long long n = conn.ExecuteParams(restore.sql, restore.params);
        if (n > 0) {
          result.restored += n;
          journal.addRow(undoTable, reversed(sql::forDialect(engine), entry, row));
          return;
        }
        imaged.keyValues = row.identity;
        const auto held =
            search::heldBefore(engine, syntax, imaged, fitInline(conn, imaged.oldValues));
        if (holds(conn, engine, table, held.condition, held.params))
          ++result.alreadyBefore;
        else
          result.conflicts.push_back(row.identity);
      };
      if (entry.byValue) undoByValue(conn, journal, entry, table, undoTable, result, script);
      // Rows that give back the same columns, none of them a key, go many
      // to a statement where the engine has one and writing a row writes
      // nothing else; a row the statement leaves is given back by itself,
      // which tells a row already as before from a conflict.
      RestoreBatches restoring{conn, entry, table, restoreImaged};
      if (!script && !entry.byValue && !entry.imageColumns.empty() && !entry.literalKeys)
        restoring.prepare();
      journal.forEachRow(entry.id, [&](const Row& row) {
        if (entry.byValue) return;  // taken back above, the table as a whole
        std::vector<ChangeColumn> changed;
        std::vector<std::string> oldValues, newValues;
        for (size_t k = 0; k < entry.changed.size(); ++k) {
          if (!row.before[k] || !row.after[k] || *row.before[k] == *row.after[k]) continue;
          changed.push_back(entry.changed[k]);
          oldValues.push_back(*row.before[k]);
          newValues.push_back(*row.after[k]);
        }
        if (changed.empty()) return;
        if (!entry.imageColumns.empty() && row.image.size() == entry.imageColumns.size()) {
          if (restoring.add(row, changed, oldValues, [&](const Row& done) {
                ++result.restored;
                journal.addRow(undoTable, reversed(sql::forDialect(engine), entry, done));
              }))
            return;
          restoreImaged(row, changed, oldValues);
          return;
        }
        if (script) {
          *script << search::undoRow(engine, syntax, table, entry.identity, row.identity, changed,
                                     oldValues, newValues, true, entry.byValue)
                         .sql
                  << ";\n";
          ++result.restored;
          return;
        }
        const auto restore = search::undoRow(engine, syntax, table, entry.identity, row.identity,
                                             changed, oldValues, newValues, false, entry.byValue);
        const long long n = conn.ExecuteParams(restore.sql, restore.params);
        if (n > 0) {
          result.restored += n;
          journal.addRow(undoTable, reversed(sql::forDialect(engine), entry, row));
          return;
        }
        // Not what the run wrote: already the old value again, or changed
        // since (a conflict, left alone).
        const auto same =
            search::undoRow(engine, syntax, table, entry.identity, row.identity, changed, oldValues,
                            oldValues, fitInline(conn, oldValues), entry.byValue);
        // Its condition's markers follow those of its assignments.
        const size_t assigned = std::min(same.params.size(), changed.size());
        const Values conditionParams(same.params.begin() + static_cast<std::ptrdiff_t>(assigned),
                                     same.params.end());
        if (holds(conn, engine, table, same.condition, conditionParams))
          ++result.alreadyBefore;
        else
          result.conflicts.push_back(row.identity);
      });
      restoring.flushAll();
      if (!script) {
        journal.seal(undoTable);
        sealed = true;
        conn.CommitTrans();
        journal.mark(undoTable, TableState::Done);
      }
    } catch (const std::exception& e) {
      if (!script) {
        rollbackQuietly(conn);
        try {
          if (undoTable && !sealed) journal.abandon(undoTable);
          if (undoTable && sealed) journal.mark(undoTable, TableState::Failed);
        } catch (...) {
        }
      }
      const auto* dbError = dynamic_cast<const db::DbError*>(&e);
      result.failure = dbError ? dbError->description() : e.what();
      result.failureEnglish = dbError ? dbError->englishDescription() : e.what();
      result.restored = 0;
    }
    out.tables.push_back(std::move(result));
  }
  if (!script) journal.finishRun(out.undoRun);
  // Told in the run's order.
  std::reverse(out.tables.begin(), out.tables.end());
  return out;
}

std::string excerpt(const std::string& value, const std::string& mark, int context) {
  // Positions in code points, so a cut never splits a character.
  std::vector<size_t> starts;
  for (size_t k = 0; k < value.size();) {
    starts.push_back(k);
    nextCodePoint(value, k);
  }
  const size_t total = starts.size();
  starts.push_back(value.size());
  const size_t c = static_cast<size_t>(std::max(0, context));
  auto charAt = [&](size_t byte) {
    return static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), byte) -
                               starts.begin());
  };
  std::vector<std::pair<size_t, size_t>> found;  // character ranges
  if (!mark.empty())
    for (size_t at = value.find(mark); at != std::string::npos;
         at = value.find(mark, at + mark.size()))
      found.emplace_back(charAt(at), charAt(at + mark.size()));
  if (found.empty()) return total > 2 * c ? value.substr(0, starts[2 * c]) + "…" : value;
  auto text = [&](size_t from, size_t to) {
    return value.substr(starts[from], starts[to] - starts[from]);
  };
  std::string out;
  size_t shown = 0;  // characters written so far
  for (size_t k = 0; k < found.size(); ++k) {
    const auto [first, last] = found[k];
    const size_t from = first > c ? first - c : 0;
    if (from > shown) out += "…";
    out += text(std::max(from, shown), first) + "[[" + text(first, last) + "]]";
    const size_t next = k + 1 < found.size() ? found[k + 1].first : total;
    const size_t to = std::min({total, last + c, next});
    out += text(last, to);
    shown = to;
  }
  if (shown < total) out += "…";
  return out;
}

std::vector<std::string> scriptSetUp(db::Connection& conn) {
  const sql::EngineSql& statements = conn.engineSql();
  std::vector<std::string> out = statements.scriptSetUp();
  if (const std::string query = statements.declaresForeignKeysQuery(); !query.empty()) {
    auto rs = conn.Execute(query);
    const bool declares = rs->State() == db::adStateOpen && !rs->Eof();
    if (rs->State() == db::adStateOpen) rs->Close();
    if (declares) out.push_back(statements.enforceForeignKeys());
  }
  return out;
}

}  // namespace trellick::journal

namespace trellick::journal {
namespace {

// One row read by the rewriter: before is each searched value as read,
// after what the rewriter made of it (the same where nothing changed).
struct Rewrite {
  Row row;
  bool matched = false;                         // the rewriter found something in a value
  bool changes = false;                         // and a value comes out different
  std::vector<std::vector<std::string>> forms;  // per column, the forms that matched
};

// SQLite keeps each value in its own storage class whatever the column
// declares: a key read as text and written back as its column's literal
// names no row stored as another class (5 is not '5'), and its next page
// would start past a bound of the wrong class. Such a table is refused
// before anything is read or written, rather than told as done.
void refuseMixedKeys(db::Connection& conn, const Plan& plan, const Identity& id) {
  if (plan.engine != Engine::SQLite || id.byValue) return;
  const sql::EngineSql& statements = sql::forDialect(plan.engine);
  for (const auto& key : id.columns) {
    const std::string name = statements.quotedName(key.name);
    // The rowid a table without a key is named by holds integers only.
    std::string lower = key.name;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const bool rowid = lower == "rowid" || lower == "oid" || lower == "_rowid_";
    const std::string classes = rowid || sql::isNumeric(key.type) ? "'integer', 'real'" : "'text'";
    auto rs =
        conn.Execute("select typeof(" + name + ") from " + statements.selectTarget(plan.table) +
                     " where typeof(" + name + ") not in (" + classes + ") limit 1");
    const bool other = rs->State() == db::adStateOpen && !rs->Eof();
    const std::string found = other ? rs->Fields().Item(0).Value().text() : "";
    if (rs->State() == db::adStateOpen) rs->Close();
    if (other)
      throw NoUsableKey("the key column " + key.name + " holds values of another storage class (" +
                        found + ") than its literals name: the row rewriter leaves it untouched");
  }
}

// Reads the rows that may match, page by page in the key's order (a table
// without a key at once), and hands each to `visit` rewritten, a page at a
// time once its result is closed: the connection may write in between.
template <class Visit>
void rewritePages(db::Connection& conn, const Plan& plan, const Identity& id,
                  const transform::Rewriter& rewriter, bool lockRows, Visit visit,
                  std::map<std::string, long long>& untouched, std::string* firstQuery = nullptr,
                  const transform::Rewriter* jsonRewriter = nullptr) {
  constexpr long long kPage = 1000;
  refuseMixedKeys(conn, plan, id);
  const Plan keyed = keyedBy(plan, id);
  const size_t columnCount = plan.searched.size();
  // Each column's rewriter: a JSON column's is the JSON one.
  std::vector<const transform::Rewriter*> rewriters(columnCount, &rewriter);
  if (jsonRewriter)
    for (size_t k = 0; k < columnCount; ++k)
      for (const auto& name : plan.jsonColumns)
        if (name == plan.searched[k].column.name) rewriters[k] = jsonRewriter;
  std::string after;
  for (;;) {
    const long long limit = id.byValue ? 0 : kPage;
    const std::string query =
        keyed.changesQuery(limit, lockRows, after.empty() ? std::nullopt : std::optional(after));
    if (firstQuery && firstQuery->empty()) *firstQuery = query;
    std::vector<Row> page;
    readChanges(conn, query, id.columns.size(), columnCount,
                [&](const Row& row) { page.push_back(row); });
    // The next page starts past the last key as read, whatever the rewrite
    // makes of it.
    const Values last = page.empty() ? Values{} : page.back().identity;
    for (Row& row : page) {
      Rewrite r;
      r.row = std::move(row);
      r.forms.resize(columnCount);
      for (size_t k = 0; k < columnCount; ++k) {
        r.row.after[k] = r.row.before[k];
        if (!r.row.before[k]) continue;
        transform::Untouched left;
        const auto rewritten = rewriters[k]->rewrite(*r.row.before[k], &left);
        if (!left.reason.empty()) ++untouched[left.reason];
        if (!rewritten) continue;
        r.matched = true;
        if (rewritten->value == *r.row.before[k]) continue;
        r.changes = true;
        r.row.after[k] = rewritten->value;
        r.forms[k] = rewritten->forms;
      }
      visit(r);
    }
    if (id.byValue || static_cast<long long>(page.size()) < kPage) return;
    after = " and " + search::pastKey(plan.engine, plan.syntax, id.columns, last);
  }
}

}  // namespace

long long rewrittenCount(db::Connection& conn, const Plan& plan,
                         const transform::Rewriter& rewriter,
                         std::map<std::string, long long>* untouched,
                         const transform::Rewriter* jsonRewriter) {
  if (plan.empty()) return 0;
  long long records = 0;
  std::map<std::string, long long> left;
  rewritePages(
      conn, plan, identityOf(conn, plan), rewriter, false,
      [&](const Rewrite& r) {
        if (r.changes) ++records;
      },
      left, nullptr, jsonRewriter);
  if (untouched) *untouched = std::move(left);
  return records;
}

Preview rewrittenPreview(db::Connection& conn, const Plan& plan,
                         const transform::Rewriter& rewriter, long long limit,
                         const transform::Rewriter* jsonRewriter) {
  Preview out;
  if (plan.empty()) return out;
  const Identity id = identityOf(conn, plan);
  out.identityColumns = namesOf(id.columns);
  out.byValue = id.byValue;
  out.hasTriggers = plan.hasTriggers;
  const std::vector<ChangeColumn> searched = plan.searchedColumns();
  rewritePages(
      conn, plan, id, rewriter, false,
      [&](const Rewrite& r) {
        if (!r.changes) return;
        ++out.total;
        if (limit > 0 && static_cast<long long>(out.rows.size()) >= limit) return;
        PreviewRow p;
        p.identity = r.row.identity;
        for (size_t k = 0; k < searched.size(); ++k)
          if (r.row.before[k] && *r.row.before[k] != *r.row.after[k])
            p.changes.push_back({searched[k].name, *r.row.before[k], *r.row.after[k], r.forms[k]});
        out.rows.push_back(std::move(p));
      },
      out.untouched, &out.query, jsonRewriter);
  return out;
}

Replaced rewrittenReplace(db::Connection& conn, Journal* journal, long long run, const Plan& plan,
                          const transform::Rewriter& rewriter,
                          const transform::Rewriter* jsonRewriter, long long batchRows,
                          const BatchStart& start) {
  const Identity id = identityOf(conn, plan);
  if (!id.byValue && !search::batchable(plan, id.columns)) batchRows = 0;
  if (!id.byValue && start.after) {
    // Gone on with past a cut-short run's last batch.
    Plan rest = search::batchPlan(plan, id.columns, start.after, std::nullopt);
    return rewrittenReplace(conn, journal, run, rest, rewriter, jsonRewriter, batchRows,
                            {start.batch, std::nullopt});
  }
  long long batch = start.batch, inBatch = 0;
  if (id.byValue)
    throw NoUsableKey(
        "no primary or unique key names its rows: the row rewriter leaves it untouched");
  const std::vector<ChangeColumn> searched = plan.searchedColumns();
  const sql::EngineSql& statements = sql::forDialect(plan.engine);
  long long table = 0;
  bool sealed = false;
  try {
    conn.BeginTrans();
    TableImages images;
    for (const auto& c : plan.columns)
      if (!statements.imageOf(statements.quotedName(c.name), c.type).empty())
        images.columns.push_back(c);
    if (journal)
      table =
          journal->beginTable(run, resolved(conn, plan.table), id.columns, false, searched, images);
    Replaced out;
    // A row whose key the rewrite changed may come again later in the
    // key's order: it is not rewritten twice.
    std::set<std::string> moved;
    auto written = [&](const Row& row) {
      ++out.changed;
      const Values left = keyLeft(id.columns, searched, row);
      if (left != row.identity) moved.insert(encodeValues(left));
      if (journal) journal->addRow(table, row);
    };
    // Rows that change the same columns and not the key go back in one
    // statement where the engine has one, a round trip for many rows.
    // Where the table has triggers of its own, a row's write may change
    // another row: each is written by itself, in the order read.
    const std::vector<ChangeColumn> someColumn(searched.begin(), searched.begin() + 1);
    const bool batching =
        !searched.empty() &&
        !search::writeRowsByKey(plan.engine, plan.table, id.columns, someColumn, {}).sql.empty() &&
        !plan.hasTriggers && !hasOwnTriggers(conn, plan.table);
    constexpr size_t kBatchRows = 500;
    // One batch for each set of columns changed, each written when full,
    // all before a row written by itself and at the end.
    struct Batch {
      std::vector<ChangeColumn> columns;
      std::vector<Row> rows;
      std::vector<search::RowWrite> writes;
    };
    std::map<std::string, Batch> batches;
    // Whether every row journaled came with its image from its batch: then
    // none is read again.
    bool imaged = true;
    // A row written by itself, as it is where the engine has no batch.
    auto writeOne = [&](const Row& row, const std::vector<ChangeColumn>& changed,
                        const std::vector<std::string>& newValues,
                        const std::vector<std::string>& readValues) {
      const auto write = search::writeRowByKey(plan.engine, plan.syntax, plan.table, id.columns,
                                               row.identity, changed, newValues, readValues);
      if (conn.ExecuteParams(write.sql, write.params) == 0) {
        ++out.kept;
      } else {
        written(row);
        imaged = false;
      }
    };
    auto flush = [&](Batch& batch) {
      if (batch.rows.empty()) return;
      const auto write = search::writeRowsByKey(plan.engine, plan.table, id.columns, batch.columns,
                                                batch.writes, searched, images.columns);
      // Each row written comes back as the write left it, as settle()
      // would read it again.
      std::vector<bool> done(batch.rows.size(), false);
      auto rs = conn.ExecuteQuery(write.sql, write.params);
      while (rs->State() == db::adStateOpen && !rs->Eof()) {
        const long long place = rs->Fields().Item(0).Value().toInt64();
        if (place >= 1 && place <= static_cast<long long>(done.size())) {
          const auto n = static_cast<size_t>(place - 1);
          done[n] = true;
          Row& row = batch.rows[n];
          int i = 1;
          Values now;
          for (size_t k = 0; k < searched.size(); ++k) now.push_back(valueOf(*rs, i++));
          row.image.clear();
          for (size_t k = 0; k < images.columns.size(); ++k) row.image.push_back(valueOf(*rs, i++));
          if (!images.columns.empty()) row.after = std::move(now);
        }
        rs->MoveNext();
      }
      if (rs->State() == db::adStateOpen) rs->Close();
      // A row the batch left is tried again by itself: whatever kept it
      // (its values changed, a key the batch read otherwise) decides there.
      for (size_t n = 0; n < batch.rows.size(); ++n) {
        const Row& row = batch.rows[n];
        if (!done[n]) {
          writeOne(row, batch.columns, batch.writes[n].newValues, batch.writes[n].readValues);
        } else if (!images.columns.empty() && row.after == row.before) {
          // Written but left as it was: no row of the run.
          ++out.changed;
          ++out.kept;
        } else {
          written(row);
        }
      }
      batch.rows.clear();
      batch.writes.clear();
    };
    auto flushAll = [&] {
      for (auto& [columns, batch] : batches) flush(batch);
    };
    // The rows written so far as the writes left them (every column's image
    // with them), journaled up to `bound` (the last batch: every row left)
    // and sealed, then committed and marked done.
    auto sealAndCommit = [&](const std::optional<Values>& bound) {
      flushAll();
      if (journal) {
        if (!images.columns.empty() && !imaged)
          out.kept += settle(conn, *journal, table, plan, id.columns, searched, images.columns,
                             conn.Cancels());
        if (batchRows > 0) journal->setBatch(table, ++batch, bound);
        journal->seal(table);
        sealed = true;
      }
      conn.CommitTrans();
      if (journal) {
        try {
          journal->mark(table, TableState::Done);
        } catch (...) {
          out.journalComplete = false;
        }
      }
    };
    // In batches (--batch-rows): every batchRows rows given to a write are
    // written and committed, with their journal, up to this row's key.
    auto commitBatchAt = [&](const Row& row) {
      if (batchRows <= 0 || ++inBatch < batchRows) return;
      inBatch = 0;
      sealAndCommit(row.identity);
      conn.BeginTrans();
      imaged = true;
      if (journal) {
        table = journal->beginTable(run, resolved(conn, plan.table), id.columns, false, searched,
                                    images);
        sealed = false;
      }
    };
    rewritePages(
        conn, plan, id, rewriter, true,
        [&](const Rewrite& r) {
          if (!r.changes || moved.contains(encodeValues(r.row.identity))) return;
          std::vector<ChangeColumn> changed;
          std::vector<std::string> newValues, readValues;
          // A changed key or JSON document goes by itself: the batch reads
          // its values by the column's type, a document as a JSON string.
          bool alone = false;
          for (size_t k = 0; k < searched.size(); ++k) {
            if (!r.row.before[k] || *r.row.before[k] == *r.row.after[k]) continue;
            changed.push_back(searched[k]);
            newValues.push_back(*r.row.after[k]);
            readValues.push_back(*r.row.before[k]);
            for (const auto& key : id.columns) alone |= key.name == searched[k].name;
            for (const auto& json : plan.jsonColumns) alone |= json == searched[k].name;
          }
          if (batching && !alone) {
            std::string names;
            for (const auto& c : changed) names += c.name + '\x1f';
            Batch& batch = batches[names];
            batch.columns = changed;
            batch.rows.push_back(r.row);
            batch.writes.push_back({r.row.identity, std::move(newValues), std::move(readValues)});
            if (batch.rows.size() == kBatchRows) flush(batch);
            commitBatchAt(r.row);
            return;
          }
          flushAll();
          writeOne(r.row, changed, newValues, readValues);
          commitBatchAt(r.row);
        },
        out.untouched, nullptr, jsonRewriter);
    sealAndCommit(std::nullopt);
    return out;
  } catch (...) {
    rollbackQuietly(conn);
    try {
      if (journal && table && !sealed) journal->abandon(table);
      if (journal && table && sealed) journal->mark(table, TableState::Failed);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace trellick::journal

namespace trellick::journal {

Batched batchedReplace(db::Connection& conn, Journal& journal, long long run, const Plan& plan,
                       long long batchRows, const BatchStart& start, const BatchSteps& steps) {
  Batched out;
  const Identity id = identityOf(conn, plan);
  if (id.byValue || !search::batchable(plan, id.columns)) {
    out.unbatched = true;
    out.replaced = journaledReplace(conn, journal, run, plan);
    out.finished = true;
    return out;
  }
  // Bounds as the engine's literals of the keys where it has them: a key's
  // text alone may name another value of another class (SQLite).
  const bool literalBounds = conn.engineSql().imagesAreLiterals();
  // The key of the row `rows` on past `after` that matches, if any.
  auto endOf = [&](const std::optional<Values>& after, long long rows) -> std::optional<Values> {
    auto rs = conn.Execute(search::batchEndQuery(plan, id.columns, after, rows, literalBounds));
    std::optional<Values> end;
    if (rs->State() == db::adStateOpen && !rs->Eof()) {
      end.emplace();
      for (size_t k = 0; k < id.columns.size(); ++k)
        end->push_back(valueOf(*rs, static_cast<int>(k)));
    }
    if (rs->State() == db::adStateOpen) rs->Close();
    return end;
  };
  long long number = start.batch;
  std::optional<Values> after = start.after;
  for (;;) {
    if (out.batches > 0 && steps.stop && steps.stop()) return out;
    try {
      const std::optional<Values> upTo = endOf(after, batchRows);
      // The last batch takes what is left: nothing, once the one before
      // ended at the last matching row.
      if (!upTo && !endOf(after, 1)) {
        out.finished = true;
        return out;
      }
      const Replaced done = replaceJournaled(
          conn, journal, run, search::batchPlan(plan, id.columns, after, upTo, literalBounds),
          number + 1, upTo);
      ++number;
      ++out.batches;
      out.replaced.changed += done.changed;
      out.replaced.kept += done.kept;
      out.replaced.journalComplete = out.replaced.journalComplete && done.journalComplete;
      if (steps.committed) steps.committed(out.replaced.changed);
      if (!upTo) {
        out.finished = true;
        return out;
      }
      after = upTo;
    } catch (...) {
      // A resumed table has batches of the run before: it stays partly
      // replaced, never failed.
      if (out.batches == 0 && start.batch == 0) throw;
      out.error = std::current_exception();
      return out;
    }
  }
}

}  // namespace trellick::journal

namespace trellick::journal {

void settleCutShort(db::Connection& conn, Journal& journal, const RunEntry& run) {
  const sql::EngineSql& dialect = conn.engineSql();
  for (const TableEntry& entry : run.tables) {
    if (entry.state != TableState::Journaled || entry.byValue) continue;
    const auto first = journal.rowsBetween(entry.id, 1, 1);
    // Sealed without rows (a last batch begun after the last row): it wrote
    // nothing, committed or not, and has nothing to give back.
    if (first.empty()) {
      journal.mark(entry.id, TableState::Done);
      continue;
    }
    const Row& row = first[0].second;
    // Found by its key as the run found it: uncommitted, the row kept it.
    std::string list, where;
    for (const auto& c : entry.changed)
      list += (list.empty() ? "" : ", ") + dialect.valueRead(dialect.quotedName(c.name), c.type);
    for (size_t k = 0; k < entry.identity.size() && k < row.identity.size(); ++k) {
      const std::string name = dialect.quotedName(entry.identity[k].name);
      const auto& v = row.identity[k];
      where +=
          std::string(k ? " and " : "") +
          // A literal key image NULL (SQLite's keys may hold it) is no
          // value an equality finds.
          (!v || (entry.literalKeys && *v == "NULL") ? name + " is null"
           : entry.literalKeys
               ? name + " = " + *v
               : name + " = " + search::keyLiteral(dialect, entry.identity[k], *v, conn.syntax()));
    }
    auto rs = conn.Execute("select " + list + " from " +
                           dialect.selectTarget(addressed(conn, entry.table)) + " where " + where);
    Values now;
    const bool found = rs->State() == db::adStateOpen && !rs->Eof();
    if (found)
      for (size_t k = 0; k < entry.changed.size(); ++k)
        now.push_back(valueOf(*rs, static_cast<int>(k)));
    if (rs->State() == db::adStateOpen) rs->Close();
    journal.mark(entry.id, found && now == row.before ? TableState::Failed : TableState::Done);
  }
}

}  // namespace trellick::journal
