// Seeing a replace before it is made, making it with a journal, and taking
// it back: over an open connection, for one table whose searchable columns
// the caller has found (the engine's column analysis).
#pragma once

#include <exception>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/connection.h"
#include "journal/journal.h"
#include "search/changes.h"
#include "sql/plan.h"

namespace trellick::journal {

// What the replace of one table will do.
using Plan = sql::TablePlan;

// The plan for the given searchable columns, each with its match term and
// new value as the builder writes them.
Plan makePlan(const search::StatementBuilder& builder, const search::TableRef& table,
              const std::vector<search::ChangeColumn>& columns,
              const std::vector<search::ChangeColumn>& allColumns);

// The table with whether other tables inherit from it, asked of the server
// where the engine has inheritance.
search::TableRef withChildrenKnown(db::Connection& conn, search::TableRef table);

// Whether the table has triggers of its own (not the server's internal
// ones, nor Trellick's temporary ones): what they do is not undone, and
// they may keep rows from an update. False where the engine cannot tell or
// the question fails: it is only told.
bool hasOwnTriggers(db::Connection& conn, const search::TableRef& table);

struct ColumnChange {
  std::string column;
  std::string before;
  std::string after;
  // The rewriter's: which forms matched ("plain", "json", ...); empty for
  // the one update.
  std::vector<std::string> forms = {};
};

struct PreviewRow {
  Values identity;
  std::vector<ColumnChange> changes;
};

struct Preview {
  std::vector<std::string> identityColumns;  // the key, or every column
  bool byValue = false;                      // no key: undone by value
  long long total = 0;                       // every record the replace changes
  std::vector<PreviewRow> rows;              // at most the limit
  std::string query;                         // what computed them
  std::string update;                        // what the replace will send
  bool hasTriggers = false;                  // its own triggers' effects stay
  // The rewriter's: values it left alone although they looked like they
  // needed work, counted by reason.
  std::map<std::string, long long> untouched = {};
};

// The rows the replace would change, their values before and after as the
// server computes them with the update's own expressions.
Preview preview(db::Connection& conn, const Plan& plan, long long limit);

// What the journaled replace of one table did.
struct Replaced {
  long long changed = 0;  // records the update changed
  long long kept = 0;     // matching rows the server kept unchanged
  // Committed on the server, but the table's done mark could not be
  // written: its rows are in the journal, the table stays "journaled".
  bool journalComplete = true;
  bool byValue = false;  // no key: an undo finds its rows by value
  // The rewriter's values left alone, counted by reason (Preview::untouched).
  std::map<std::string, long long> untouched = {};
};

// The replace of one table with its journal: in one transaction of the
// server, the rows it changes are read (locked where the engine can) into
// the journal, which is made durable, and then the update runs and
// commits. On failure the server rolls back and the journal keeps no rows
// of the table; once the server has committed it never throws.
Replaced journaledReplace(db::Connection& conn, Journal& journal, long long run, const Plan& plan);

struct UndoTable {
  search::TableRef table{""};
  bool byValue = false;
  long long restored = 0;         // rows given back their old values
  long long alreadyBefore = 0;    // rows that already held them
  std::vector<Values> conflicts;  // identities of rows changed since
  // Journaled rows (no key) that more rows now equal than the run changed:
  // none of those is written.
  std::vector<Values> ambiguous;
  std::optional<std::string> failure;
  bool hasTriggers = false;  // its own triggers' effects are not undone
  // Its journaled rows do not verify: refused, nothing written.
  bool damaged = false;
  // `failure` for the command line: our own messages in English.
  std::optional<std::string> failureEnglish;
};

struct UndoResult {
  long long undoRun = 0;  // the journal's entry for this undo (0 for a script)
  std::vector<UndoTable> tables;
};

// Gives back the old values of a run where the current value is still
// what the run wrote; rows changed since are conflicts, left alone. The
// undo is itself a journaled run. With a script stream, the restoring
// statements are written there instead of run.
UndoResult undo(db::Connection& conn, Journal& journal, const RunEntry& run, RunInfo info,
                std::ostream* script = nullptr);

// A long value around each occurrence of `mark`: `context` characters
// either side, the occurrence between "[[" and "]]", "…" where text was
// left out.
std::string excerpt(const std::string& value, const std::string& mark, int context = 30);

// What a script of statements for the engine's own client begins with, for
// its session to match this connection's: the engine's set-up and, where
// the database declares foreign keys, their enforcement.
std::vector<std::string> scriptSetUp(db::Connection& conn);

}  // namespace trellick::journal

namespace trellick::transform {
class Rewriter;
}

namespace trellick::journal {

// The row rewriter: a table's values rewritten in the program (patterns,
// several pairs, encoded forms) rather than by one update. `plan` is a
// reading plan (search::readingPlan): its condition chooses the rows that
// may match, its searched columns are what is rewritten. The rows are read
// in pages of the key's order. The plan's JSON columns are rewritten by
// `jsonRewriter` where given.

// A table whose rows no key names: the rewriter does not write it.
class NoUsableKey : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Records (rows) where the rewriter would change a searched value.
// Values left alone are counted by reason in `untouched` when given.
long long rewrittenCount(db::Connection& conn, const Plan& plan,
                         const transform::Rewriter& rewriter,
                         std::map<std::string, long long>* untouched = nullptr,
                         const transform::Rewriter* jsonRewriter = nullptr);

// The rows the rewriter would change, each changed value before and after
// (at most `limit` rows; 0: all), with the total.
Preview rewrittenPreview(db::Connection& conn, const Plan& plan,
                         const transform::Rewriter& rewriter, long long limit,
                         const transform::Rewriter* jsonRewriter = nullptr);

// The rewrite of one table in one transaction of the server: each changed
// row written back by its key with a parameterised update that also checks
// the values read, and journaled (without a journal: written only) with its
// image as the update left it, sealed before the commit, so that undo takes
// it back as it does a replace. Throws NoUsableKey, before writing anything,
// for a table without a key; on failure the server rolls back and the
// journal keeps no rows of the table.
// With batchRows > 0 (and a key the rewrite leaves alone), a commit with
// its journal every batchRows rows written, each a batch (TableEntry::batch)
// bounded by its last row's key; `start`: past a cut-short run's batches.
// Where a batched replace starts: past a cut-short run's last committed
// batch, or at the first.
struct BatchStart {
  long long batch = 0;          // the last batch done (0: none)
  std::optional<Values> after;  // its bound
};
Replaced rewrittenReplace(db::Connection& conn, Journal* journal, long long run, const Plan& plan,
                          const transform::Rewriter& rewriter,
                          const transform::Rewriter* jsonRewriter = nullptr,
                          long long batchRows = 0, const BatchStart& start = {});

}  // namespace trellick::journal

namespace trellick::journal {

// A replace in batches of at most `batchRows` rows, each the matching rows
// of a range of the key's order (search::batchEndQuery, batchPlan) and each
// journaled and committed as a table of its own (TableEntry::batch), so
// that a stop or a kill leaves whole batches, each taken back by an undo.

// Asked before each batch after the first; told after each commit with
// the rows changed so far. Either may be empty.
struct BatchSteps {
  std::function<bool()> stop;
  std::function<void(long long changed)> committed;
};

struct Batched {
  Replaced replaced;         // summed over the batches this call committed
  long long batches = 0;     // committed by this call
  bool finished = false;     // no row left (false: stopped, or `error`)
  std::exception_ptr error;  // what failed the batch after the committed ones
  // No key names its rows, or the replace changes the key: replaced in one
  // statement as without batches.
  bool unbatched = false;
};

// Never throws once a batch has committed: a later failure is `error`.
// Before that it throws as journaledReplace does.
Batched batchedReplace(db::Connection& conn, Journal& journal, long long run, const Plan& plan,
                       long long batchRows, const BatchStart& start = {},
                       const BatchSteps& steps = {});

}  // namespace trellick::journal

namespace trellick::journal {

// A cut-short run's tables (or batches) whose journal was sealed but never
// marked done: each marked done where the server committed it (its first
// row no longer holds what the run found) and failed where it did not, so
// that a resume goes on after exactly what was committed.
void settleCutShort(db::Connection& conn, Journal& journal, const RunEntry& run);

}  // namespace trellick::journal
