// A table's search and replace as data: made once per table, from the
// columns the engine found searchable, and handed between the layers as it
// is. The count, update and changes statements are made from it where they
// are sent; nobody cuts a statement apart to find its pieces again.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sql/engine_sql.h"

namespace trellick::sql {

// One searched column: the condition that it holds the search text, and
// the expression its new value is.
struct SearchedColumn {
  ChangeColumn column;
  std::string match;     // "[C] like '%F%'" or the engine's form
  std::string newValue;  // "Replace([C],'F','R')" or the engine's form
};

struct TablePlan {
  Dialect engine = Dialect::SQLite;
  Syntax syntax;
  TableRef table{""};
  std::vector<ChangeColumn> columns;  // every column, in the table's order
  std::vector<SearchedColumn> searched;
  // The columns that name a row (primary key, a not-null unique key or
  // SQLite's rowid); empty: rows are named by the values of every column.
  // Learned where rows must be named: by the preview and the journal.
  std::vector<std::string> key;
  // The table has triggers of its own, whose side effects an undo does not
  // take back. Learned where a replace is shown or made.
  bool hasTriggers = false;
  // The searched columns the engine keeps as JSON documents, for the row
  // rewriter to rewrite as such.
  std::vector<std::string> jsonColumns;
  // A batch's key range ("(k) > (v) and (k) <= (w)"), joined to the
  // condition with " and "; empty: the whole table.
  std::string range;

  bool empty() const { return searched.empty(); }
  // The same plan where only text values match and are replaced, for a
  // table whose text columns hold values of other kinds.
  TablePlan textOnly() const;
  std::vector<ChangeColumn> searchedColumns() const;

  // The match terms joined by " or ", and the batch's range after them.
  std::string condition() const;
  // "select count(*) from T where <condition>"
  std::string countStatement() const;
  // "Update T set [C]=<new value>,... where <condition>"
  std::string updateStatement() const;

  // select <key or every column>, c1, <new value of c1>, ... from T where
  // <condition><after> [order by the key]: the rows the update changes,
  // each column's value before and after as the server computes them; at
  // most `limit` rows when limit > 0. lockRows: the rows read stay locked
  // to the end of the transaction (SQL Server also holds the range). A
  // page of a read in the key's order: the condition parenthesised, then
  // `after` (" and <past the last key>", empty for the first page).
  std::string changesQuery(long long limit, bool lockRows = false,
                           std::optional<std::string_view> after = std::nullopt) const;
  // A page of the changes query of a table without a key, in the order of
  // EngineSql::rowOrderText(), which each row ends with: `limit` rows from
  // the first whose order text is at least `from` (every row when empty),
  // the first `skip` of them passed over; the rows stay locked.
  std::string changesPageByContent(long long limit, const std::string& from, long long skip) const;

  // hasTriggers was asked of the server for this plan: it need not be
  // asked again.
  bool triggersKnown = false;
  // Whether the table has triggers of its own: hasTriggers where known,
  // otherwise `ask`'s answer.
  template <class Ask>
  bool ownTriggers(Ask ask) const {
    return hasTriggers || (!triggersKnown && ask());
  }
};

// The changes query from its pieces: `ids` name each row (ordered by them
// when orderByIds), each column comes with its new value, `condition` is
// the whole condition.
struct ColumnChange {
  std::string name;
  std::string newValue;
  // The value before as read (EngineSql::valueRead()); empty: the column.
  std::string before;
};
std::string changesQuery(const EngineSql& engine, const TableRef& table,
                         const std::vector<std::string>& ids, bool orderByIds,
                         const std::vector<ColumnChange>& columns, std::string_view condition,
                         long long limit, bool lockRows, const std::vector<int>& idTypes = {});

}  // namespace trellick::sql
