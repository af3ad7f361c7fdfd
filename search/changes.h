// The statements that show a replace before it is made and take it back
// after: the rows it changes with their values before and after (computed
// by the server with the update's own expressions), and the guarded
// updates that restore them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "search/statements.h"

namespace trellick::search {

// A column the replace may change, as the update statement names it.
struct ChangeColumn {
  std::string name;
  int type = 0;
  long long size = 0;
};

// How a changed row is found again: by its key columns (primary or unique
// key; "rowid" on SQLite), or, for a table without one, by the values of
// every column it had.
struct RowIdentity {
  std::vector<std::string> keys;
  bool byValue() const { return keys.empty(); }
};

// select <identity columns>, c1, Replace(c1,...), c2, Replace(c2,...), ...
// from T where <where>, the rows in the order of the identity; at most
// `limit` rows when limit > 0. By value, the identity columns are
// `allColumns`.
std::string changesQuery(const StatementBuilder& builder, const TableRef& table,
                         const RowIdentity& identity, const std::vector<std::string>& allColumns,
                         const std::vector<ChangeColumn>& columns, std::string_view where,
                         long long limit);

// The expression an update assigns to a column: Replace(subject, F, R).
std::string replacedExpression(const StatementBuilder& builder, const ChangeColumn& column);

struct BoundStatement {
  std::string sql;
  std::vector<std::optional<std::string>> params;  // for each "?", in order
};

// Puts one row back: update T set c=old ... where <identity> and each c
// still holds what the run wrote. Key columns compare with "="; by value,
// every column that the row's change leaves alone compares null-safely as
// the engine spells it. A key column the run changed is found by what it
// wrote. Values go as parameters, or written in as literals (inlineValues)
// for a script an operator hands on.
BoundStatement undoRow(Engine engine, Syntax syntax, const TableRef& table,
                       const std::vector<ChangeColumn>& identityColumns,
                       const std::vector<std::optional<std::string>>& identityValues,
                       const std::vector<ChangeColumn>& changed,
                       const std::vector<std::string>& oldValues,
                       const std::vector<std::string>& newValues, bool inlineValues, bool byValue);

}  // namespace trellick::search
