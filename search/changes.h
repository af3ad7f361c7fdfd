// The statements that show a replace before it is made and take it back
// after: the rows it changes with their values before and after (computed
// by the server with the update's own expressions), and the guarded
// updates that restore them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "search/statements.h"
#include "sql/plan.h"

namespace trellick::search {

// A column the replace may change, as the update statement names it.
using ChangeColumn = sql::ChangeColumn;

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
// `allColumns`. lockRows: the rows read stay locked against other writers
// until the transaction ends, and on SQL Server no new row can come to
// match (for the journal, which reads the rows its update then changes).
std::string changesQuery(const StatementBuilder& builder, const TableRef& table,
                         const RowIdentity& identity, const std::vector<std::string>& allColumns,
                         const std::vector<ChangeColumn>& columns, std::string_view where,
                         long long limit, bool lockRows = false);

// The condition of the next page of a read in the key's order:
// (k1, k2) > (v1, v2), numbers written as numbers (MariaDB would compare a
// number with a quoted one as floating point).
std::string pastKey(Engine engine, Syntax syntax, const std::vector<std::string>& keys,
                    const std::vector<std::optional<std::string>>& values,
                    const std::vector<bool>& numeric);

struct BoundStatement {
  std::string sql;
  std::vector<std::optional<std::string>> params;  // for each "?", in order
  std::string condition;                           // what follows its " where "
};

// Puts one row back: update T set c=old ... where <identity> and each c
// still holds what the run wrote. Key columns compare with "="; by value,
// every column that the row's change leaves alone compares too (a NULL as
// "is null"). A key column the run changed is found by what it wrote.
// Text compares exactly, whatever the column's collation says of case,
// accents or trailing spaces. Values go as parameters, or written in as
// literals (inlineValues) for a script an operator hands on.
BoundStatement undoRow(Engine engine, Syntax syntax, const TableRef& table,
                       const std::vector<ChangeColumn>& identityColumns,
                       const std::vector<std::optional<std::string>>& identityValues,
                       const std::vector<ChangeColumn>& changed,
                       const std::vector<std::string>& oldValues,
                       const std::vector<std::string>& newValues, bool inlineValues, bool byValue);

// A key value as the driver read it, written back as a literal of the
// column's type (numbers bare, binary from its hex digits).
std::string keyLiteral(const sql::EngineSql& dialect, const ChangeColumn& column,
                       const std::string& value, Syntax syntax);

// The same from the key columns' types: each value written back as its
// column's (keyLiteral()).
std::string pastKey(Engine engine, Syntax syntax, const std::vector<ChangeColumn>& keys,
                    const std::vector<std::optional<std::string>>& values);

// select <keys>, <read columns>, <images of imageColumns> from T where the
// key is one of `keys`: rows found again by their keys, in any order.
std::string rowsByKeyQuery(Engine engine, Syntax syntax, const TableRef& table,
                           const std::vector<ChangeColumn>& keyColumns,
                           const std::vector<std::vector<std::optional<std::string>>>& keys,
                           const std::vector<ChangeColumn>& read,
                           const std::vector<ChangeColumn>& imageColumns);

// A row to put back where the whole row is still as the run left it.
struct ImagedRow {
  // The key: its columns and its values as the run left the row (for
  // heldBefore: as the run found it); with literalKeys, each value is the
  // engine's literal of it (an image).
  std::vector<ChangeColumn> keyColumns;
  std::vector<std::optional<std::string>> keyValues;
  bool literalKeys = false;
  // Every column, each with its image as the run left it.
  std::vector<ChangeColumn> imageColumns;
  std::vector<std::optional<std::string>> images;
  // The columns to give back, and their values before the run.
  std::vector<ChangeColumn> changed;
  std::vector<std::string> oldValues;
};

// update T set c=old ... where each key column equals its value as the run
// left it (its image) and every column's image is still the run's: a row
// changed since in any column, or another row now under the same rowid,
// is not written.
BoundStatement undoImagedRow(Engine engine, Syntax syntax, const TableRef& table,
                             const ImagedRow& row, bool inlineValues);

// The condition that the row, found by the key it had before the run,
// holds its old values again. Values go as parameters unless inlineValues
// (a literal key image always stays a literal).
BoundStatement heldBefore(Engine engine, Syntax syntax, const ImagedRow& row,
                          bool inlineValues = true);

}  // namespace trellick::search

namespace trellick::search {

// The plan a row rewriter reads by: each searched column matches where it
// holds one of the hints (a LIKE each, or-ed; every row when there is no
// hint), and its "new value" is the column itself, the rewriting being
// done in the program. The columns, key and table are the plan's. Without
// hints, the rewriter's patterns choose the rows by the engine's own regular
// expressions where it can make them (EngineSql::patternFilter).
sql::TablePlan readingPlan(const sql::TablePlan& plan, const std::vector<std::string>& hints,
                           const std::vector<std::string>& patterns = {});

// update T set c = ? ... where <key> and each c still holds what was read:
// one rewritten row written back by its key, its values as parameters. A
// row changed since the read is not written.
BoundStatement writeRowByKey(Engine engine, Syntax syntax, const TableRef& table,
                             const std::vector<ChangeColumn>& keyColumns,
                             const std::vector<std::optional<std::string>>& keyValues,
                             const std::vector<ChangeColumn>& changed,
                             const std::vector<std::string>& newValues,
                             const std::vector<std::string>& readValues);

// One rewritten row to write back: its key values as read, and for each
// changed column its new value and the value it was read with.
struct RowWrite {
  std::vector<std::optional<std::string>> keyValues;
  std::vector<std::string> newValues;
  std::vector<std::string> readValues;
};

// Several rows that change the same columns written back by their keys in
// one statement, each only where its changed columns still hold what was
// read; the statement returns the 1-based place of each row it wrote, the
// `returned` columns as it left them and the images of `imaged`, as
// rowsByKeyQuery() reads them. sql is empty where the engine has no such
// statement.
BoundStatement writeRowsByKey(Engine engine, const TableRef& table,
                              const std::vector<ChangeColumn>& keyColumns,
                              const std::vector<ChangeColumn>& changed,
                              const std::vector<RowWrite>& rows,
                              const std::vector<ChangeColumn>& returned = {},
                              const std::vector<ChangeColumn>& imaged = {});

}  // namespace trellick::search

namespace trellick::search {

// A table's replace in batches, each the matching rows of a range of the
// key's order: the rows a batch changes are exactly those its range holds,
// whatever else happens to the table meanwhile.

// Whether the table can be batched by `keys`: a key that names every row
// and that the replace leaves alone (a key it changed would move a row
// into a later batch, to be replaced twice).
bool batchable(const sql::TablePlan& plan, const std::vector<ChangeColumn>& keys);

// select <keys> from T where <condition> [and past `after`] order by
// <keys>, only the row batchRows - 1 on: the key of the batch's last row.
// No row: the batch takes every matching row left.
// literalBounds: the keys are read, and `after` given, as the engine's
// literal images of them (EngineSql::imagesAreLiterals(): SQLite, where 1,
// '1' and X'31' are three keys of one column and a key may be NULL).
std::string batchEndQuery(const sql::TablePlan& plan, const std::vector<ChangeColumn>& keys,
                          const std::optional<std::vector<std::optional<std::string>>>& after,
                          long long batchRows, bool literalBounds = false);

// The plan of one batch: its rows past `after` (from the first when none),
// up to and including `upTo` (to the last when none).
sql::TablePlan batchPlan(const sql::TablePlan& plan, const std::vector<ChangeColumn>& keys,
                         const std::optional<std::vector<std::optional<std::string>>>& after,
                         const std::optional<std::vector<std::optional<std::string>>>& upTo,
                         bool literalBounds = false);

}  // namespace trellick::search
