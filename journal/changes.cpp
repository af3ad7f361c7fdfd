#include "journal/changes.h"

#include <algorithm>
#include <ostream>

#include "db/recordset.h"
#include "db/utf8.h"

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

struct Identity {
  std::vector<ChangeColumn> columns;
  bool byValue = false;
};

Identity identityOf(db::Connection& conn, const Plan& plan) {
  Identity id;
  for (const auto& k : conn.RowKey(plan.table.schema, plan.table.name)) id.columns.push_back({k});
  if (id.columns.empty()) {
    id.columns = plan.allColumns;
    id.byValue = true;
  }
  return id;
}

std::string changesSql(const search::StatementBuilder& builder, const Plan& plan,
                       const Identity& id, long long limit) {
  search::RowIdentity identity;
  if (!id.byValue) identity.keys = namesOf(id.columns);
  return search::changesQuery(builder, plan.table, identity, namesOf(plan.allColumns), plan.columns,
                              plan.where, limit);
}

// Reads every row of a changes query: identity values, then each column's
// value before and after.
// identityTypes, when given, receives the identity columns' types.
template <class Visit>
void readChanges(db::Connection& conn, const std::string& sql, size_t identityCount,
                 size_t columnCount, Visit visit, std::vector<int>* identityTypes = nullptr) {
  auto rs = conn.Execute(sql);
  if (identityTypes && rs->State() == db::adStateOpen) {
    identityTypes->clear();
    for (size_t k = 0; k < identityCount; ++k)
      identityTypes->push_back(rs->Fields().Item(static_cast<int>(k)).Type());
  }
  while (rs->State() == db::adStateOpen && !rs->Eof()) {
    Row row;
    int i = 0;
    for (size_t k = 0; k < identityCount; ++k) row.identity.push_back(valueOf(*rs, i++));
    for (size_t k = 0; k < columnCount; ++k) {
      row.before.push_back(valueOf(*rs, i++));
      row.after.push_back(valueOf(*rs, i++));
    }
    visit(row);
    rs->MoveNext();
  }
  if (rs->State() == db::adStateOpen) rs->Close();
}

bool isNumber(int type) {
  switch (type) {
    case db::adSmallInt:
    case db::adInteger:
    case db::adSingle:
    case db::adDouble:
    case db::adUnsignedTinyInt:
    case db::adBigInt:
    case db::adNumeric:
    case db::adVarNumeric:
      return true;
    default:
      return false;
  }
}

bool isVirtual(db::Connection& conn, const search::TableRef& table) {
  auto rs = conn.Execute(search::sqliteVirtualTableQuery(table));
  const bool found = rs->State() == db::adStateOpen && !rs->Eof();
  if (rs->State() == db::adStateOpen) rs->Close();
  return found;
}

void rollbackQuietly(db::Connection& conn) {
  try {
    if (conn.InTransaction()) conn.RollbackTrans();
  } catch (...) {
  }
}

}  // namespace

Plan makePlan(const search::StatementBuilder& builder, const search::TableRef& table,
              const std::vector<ChangeColumn>& columns,
              const std::vector<ChangeColumn>& allColumns) {
  Plan plan;
  plan.table = table;
  plan.columns = columns;
  plan.allColumns = allColumns;
  std::string where, set;
  for (const auto& c : columns) {
    where += builder.whereTerm(c.name, c.type, c.size);
    set += builder.assignment(c.name, c.type, c.size);
  }
  if (!where.empty()) {
    plan.where = where.substr(4);
    plan.update = builder.updateStatement(table, set.substr(1), plan.where);
  }
  return plan;
}

Preview preview(db::Connection& conn, const search::StatementBuilder& builder, const Plan& plan,
                long long limit) {
  Preview out;
  if (plan.columns.empty()) return out;
  const Identity id = identityOf(conn, plan);
  out.identityColumns = namesOf(id.columns);
  out.byValue = id.byValue;
  {
    auto count = conn.Execute(builder.countStatement(plan.table, plan.where));
    out.total = count->Fields().Item(0).Value().toInt64();
    count->Close();
  }
  out.query = changesSql(builder, plan, id, limit);
  out.update = plan.update;
  readChanges(conn, out.query, id.columns.size(), plan.columns.size(), [&](const Row& row) {
    PreviewRow p;
    p.identity = row.identity;
    for (size_t k = 0; k < plan.columns.size(); ++k)
      if (row.before[k] && row.after[k] && *row.before[k] != *row.after[k])
        p.changes.push_back({plan.columns[k].name, *row.before[k], *row.after[k]});
    out.rows.push_back(std::move(p));
  });
  return out;
}

long long journaledReplace(db::Connection& conn, Journal& journal, long long run,
                           const search::StatementBuilder& builder, const Plan& plan) {
  const Identity id = identityOf(conn, plan);
  long long table = 0;
  bool sealed = false;
  try {
    conn.BeginTrans();
    const Engine engine = builder.engine();
    // Read under lock: nobody changes the rows between their reading and
    // the update.
    search::RowIdentity identity;
    if (!id.byValue) identity.keys = namesOf(id.columns);
    const std::string sql = search::changesQuery(
        builder, plan.table, identity, namesOf(plan.allColumns), plan.columns, plan.where, 0, true);
    table = journal.beginTable(run, plan.table, id.columns, id.byValue, plan.columns);
    long long changed = -1;  // until the update has run
    auto keep = [&](const Row& row) { journal.addRow(table, row); };
    if (engine == Engine::PostgreSQL) {
      // Its driver reads a whole result before the first row: through a
      // cursor of the transaction, the rows come a thousand at a time.
      conn.ExecuteAll("declare trellick_rows no scroll cursor for " + sql);
      size_t before = 0;
      size_t seen = 0;
      do {
        before = seen;
        readChanges(conn, "fetch forward 1000 from trellick_rows", id.columns.size(),
                    plan.columns.size(), [&](const Row& row) {
                      ++seen;
                      keep(row);
                    });
      } while (seen - before == 1000);
      conn.ExecuteAll("close trellick_rows");
    } else if (engine == Engine::SQLite && !id.byValue && !isVirtual(conn, plan.table)) {
      // The update keeps its own rows as it writes them, through a trigger
      // of this connection: the table is read once, not twice, and the
      // journal holds exactly the rows written. None of it is committed
      // before the journal is sealed.
      const auto capture = search::sqliteRowCapture(plan.table, identity.keys, plan.columns);
      for (const auto& statement : capture.setUp) conn.ExecuteAll(statement);
      changed = conn.ExecuteParams(plan.update, {});
      // Its driver reads a whole result before the first row: in pages.
      constexpr long long kPage = 10000;
      long long seen = 0, got = 0;
      do {
        got = 0;
        readChanges(conn, capture.read(seen, kPage), id.columns.size(), plan.columns.size(),
                    [&](const Row& row) {
                      ++got;
                      keep(row);
                    });
        seen += got;
      } while (got == kPage);
      for (const auto& statement : capture.tearDown) conn.ExecuteAll(statement);
    } else if ((engine == Engine::MariaDB || engine == Engine::SQLite) && !id.byValue) {
      // The driver reads a whole result before the first row: the rows
      // come in pages of the key's order, each after the last key read.
      constexpr long long kPage = 10000;
      std::string after;
      std::vector<int> keyTypes;
      long long got = 0;
      do {
        got = 0;
        Values last;
        const std::string page =
            search::changesQuery(builder, plan.table, identity, {}, plan.columns,
                                 "(" + plan.where + ")" + after, kPage, true);
        readChanges(
            conn, page, id.columns.size(), plan.columns.size(),
            [&](const Row& row) {
              ++got;
              last = row.identity;
              keep(row);
            },
            &keyTypes);
        if (got == kPage) {
          std::vector<bool> numeric;
          for (int type : keyTypes) numeric.push_back(isNumber(type));
          after = " and " + search::pastKey(engine, builder.syntax(), identity.keys, last, numeric);
        }
      } while (got == kPage);
    } else {
      readChanges(conn, sql, id.columns.size(), plan.columns.size(), keep);
    }
    const long long journaled = journal.rowsOf(table);
    journal.seal(table);
    sealed = true;
    if (changed < 0) changed = conn.ExecuteParams(plan.update, {});
    // Every row the update changed must be in the journal, or the run could
    // not be taken back: otherwise nothing is written. (On PostgreSQL a row
    // that came to match after the read is changed too. SQL Server holds
    // the range instead, and its count may include a trigger's rows.)
    if (engine != Engine::SqlServer && changed > journaled)
      throw db::DbError("replace", {{"HY000", 0,
                                     "[Trellick]更新了 " + std::to_string(changed) +
                                         " 条记录，但替换前的内容只记录了 " +
                                         std::to_string(journaled) + " 条，已撤回此表的替换"}});
    conn.CommitTrans();
    journal.mark(table, TableState::Done);
    return changed;
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

UndoResult undo(db::Connection& conn, Journal& journal, const RunEntry& run, RunInfo info,
                std::ostream* script) {
  UndoResult out;
  const Engine engine = conn.dialect();
  const search::Syntax syntax = conn.syntax();
  info.kind = "undo";
  info.undoes = run.id;
  if (!script) out.undoRun = journal.beginRun(info);
  for (const TableEntry& entry : run.tables) {
    // A table whose rows never reached the journal was never changed.
    if (entry.state != TableState::Journaled && entry.state != TableState::Done) continue;
    UndoTable result;
    result.table = entry.table;
    result.byValue = entry.byValue;
    long long undoTable = 0;
    bool sealed = false;
    try {
      if (!script) {
        conn.BeginTrans();
        undoTable = journal.beginTable(out.undoRun, entry.table, entry.identity, entry.byValue,
                                       entry.changed);
      }
      journal.forEachRow(entry.id, [&](const Row& row) {
        std::vector<ChangeColumn> changed;
        std::vector<std::string> oldValues, newValues;
        for (size_t k = 0; k < entry.changed.size(); ++k) {
          if (!row.before[k] || !row.after[k] || *row.before[k] == *row.after[k]) continue;
          changed.push_back(entry.changed[k]);
          oldValues.push_back(*row.before[k]);
          newValues.push_back(*row.after[k]);
        }
        if (changed.empty()) return;
        if (script) {
          *script << search::undoRow(engine, syntax, entry.table, entry.identity, row.identity,
                                     changed, oldValues, newValues, true, entry.byValue)
                         .sql
                  << ";\n";
          ++result.restored;
          return;
        }
        const auto restore =
            search::undoRow(engine, syntax, entry.table, entry.identity, row.identity, changed,
                            oldValues, newValues, false, entry.byValue);
        const long long n = conn.ExecuteParams(restore.sql, restore.params);
        if (n > 0) {
          result.restored += n;
          // Journaled the other way round: undoing this undo puts the
          // run's values back.
          Row back{row.identity, {}, {}};
          for (size_t k = 0; k < entry.changed.size(); ++k) {
            back.before.push_back(row.after[k]);
            back.after.push_back(row.before[k]);
          }
          journal.addRow(undoTable, back);
          return;
        }
        // Not what the run wrote: already the old value again, or changed
        // since (a conflict, left alone).
        const auto same = search::undoRow(engine, syntax, entry.table, entry.identity, row.identity,
                                          changed, oldValues, oldValues, true, entry.byValue);
        const std::string target = entry.table.schema.empty()
                                       ? search::quotedName(entry.table.name, engine)
                                       : search::qualifiedReference(entry.table, engine);
        auto rs = conn.Execute("select count(*) from " + target + " where " +
                               same.sql.substr(same.sql.find(" where ") + 7));
        const bool holdsOld = rs->Fields().Item(0).Value().toInt64() > 0;
        rs->Close();
        if (holdsOld)
          ++result.alreadyBefore;
        else
          result.conflicts.push_back(row.identity);
      });
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
      result.restored = 0;
    }
    out.tables.push_back(std::move(result));
  }
  if (!script) journal.finishRun(out.undoRun);
  return out;
}

std::string excerpt(const std::string& value, const std::string& mark, int context) {
  // Positions in code points, so a cut never splits a character.
  std::vector<size_t> starts;
  for (size_t k = 0; k < value.size();) {
    starts.push_back(k);
    db::nextCodePoint(value, k);
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

}  // namespace trellick::journal
