// Taking back the rows of a table without a usable key, found again by
// the values of their whole row.
#pragma once

#include <iosfwd>

#include "db/connection.h"
#include "journal/changes.h"
#include "journal/journal.h"

namespace trellick::journal {

// Gives back the journaled rows of `entry` in `table`, inside the caller's
// transaction, journaling each restored row into `undoTable`. A row is
// restored only where it equals, column by column, what the run left, and
// for each such image at most as many rows as the run journaled; where more
// rows equal it, none of them is written and the journaled rows are told
// ambiguous. The table is read once. With a script stream, the statements
// are written there instead.
void undoByValue(db::Connection& conn, Journal& journal, const TableEntry& entry,
                 const search::TableRef& table, long long undoTable, UndoTable& result,
                 std::ostream* script);

}  // namespace trellick::journal
