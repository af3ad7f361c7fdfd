// undo and runs: taking a run back, and the list of runs.
#include <fstream>
#include <set>
#include <utility>

#include "cli/command.h"
#include "cli/json.h"
#include "journal/changes.h"

namespace trellick::cli {

std::string runLine(const journal::RunEntry& r) {
  long long rows = 0;
  size_t done = 0;
  bool incomplete = false;
  // A table replaced in batches is one table of the run.
  std::set<std::pair<std::string, std::string>> seen;
  for (const auto& t : r.tables) {
    incomplete = incomplete || t.state == journal::TableState::Journaled;
    // A failed table's rows were journaled but the server kept them as
    // they were; a "journaled" table is one whose done mark was lost, and
    // counts as the undo takes it.
    if (t.state == journal::TableState::Done || t.state == journal::TableState::Journaled) {
      rows += t.rows;
      if (seen.insert({t.table.schema, t.table.name}).second) ++done;
    }
  }
  std::string what = r.info.kind == "undo"
                         ? "undo of run " + std::to_string(r.info.undoes)
                         : "replace \"" + r.info.find + "\" by \"" + r.info.replace + "\"";
  return "run " + std::to_string(r.id) + "  " + r.started + "  " + what + " in " + r.info.database +
         " on " + r.info.server + (r.info.user.empty() ? "" : " as " + r.info.user) + ": " +
         counted(done, "table") + ", " + counted(rows, "row") +
         (r.finished.empty() ? " (cut short)" : "") + (incomplete ? " (journal incomplete)" : "") +
         (r.undoneBy ? " (undone by run " + std::to_string(r.undoneBy) + ")" : "");
}

int RunsCommand::run() {
  std::vector<journal::RunEntry> runs;
  try {
    runs = journalFile().runs();
  } catch (const std::exception& e) {
    return failed(describe(e));
  }
  for (const auto& r : runs) console_.out(args_.json ? jsonLine(runJson(r)) : runLine(r) + "\n");
  // Said on standard error: JSON lines stay none.
  if (runs.empty())
    console_.err("The journal " +
                 (args_.journalPath.empty() ? journal::Journal::defaultPath() : args_.journalPath) +
                 " holds no run yet.\n");
  return kAllRan;
}

int UndoCommand::prepare() {
  try {
    undoing_ = session::chooseRun(journalFile(), args_.run);
  } catch (const std::exception& e) {
    return failed(describe(e));
  }
  if (!undoing_)
    return failed(args_.run ? "the journal holds no run " + std::to_string(args_.run)
                            : std::string("the journal holds no run to undo"));
  return kAllRan;
}

// An undo reaches the database its run changed unless told otherwise.
session::Login UndoCommand::login() const {
  return session::undoLogin(*undoing_, Subcommand::login());
}

namespace {

// A table's line: what was restored, and what was not and why.
std::string rowsText(const std::vector<journal::Values>& rows) {
  std::string keys;
  for (const auto& k : rows) {
    std::string key;
    for (const auto& v : k) key += (key.empty() ? "" : ", ") + (v ? *v : std::string("NULL"));
    keys += (keys.empty() ? "" : "; ") + key;
  }
  return keys;
}

std::string undoLine(const journal::UndoTable& t, bool scripted) {
  const std::string keys = rowsText(t.conflicts);
  return engine::displayName(t.table) + ": " +
         (scripted ? counted(t.restored, "statement") + " written"
                   : counted(t.restored, "row") + " restored") +
         (t.alreadyBefore ? ", " + std::to_string(t.alreadyBefore) + " already so" : "") +
         (t.byValue ? " (no key: matched by value)" : "") +
         (t.hasTriggers ? " (has triggers: what they did is not undone)" : "") +
         (t.conflicts.empty()
              ? ""
              : "; " + counted(static_cast<long long>(t.conflicts.size()), "conflict") +
                    " changed since, left alone: " + keys) +
         (t.ambiguous.empty()
              ? ""
              : "; " + counted(static_cast<long long>(t.ambiguous.size()), "ambiguous row") +
                    " (more rows equal them than were changed), left alone: " +
                    rowsText(t.ambiguous)) +
         (t.failure ? "; failed: " + engine::oneLine(*t.failureEnglish) : "") + "\n";
}

}  // namespace

int UndoCommand::execute(const std::vector<engine::Table>&) {
  const journal::RunEntry& run = *undoing_;
  std::ofstream script;
  // Old values go back only into the database they came from; a script
  // is for wherever the operator means to run it.
  if (args_.sqlFile.empty())
    if (const auto why = session::notMadeHere(run.info, session_->place(), *conn_))
      return failed("run " + std::to_string(run.id) + " is not this database's: " + *why +
                    "; nothing was undone");
  if (!args_.sqlFile.empty()) {
    script.open(args_.sqlFile, std::ios::binary | std::ios::trunc);
    if (!script) return failed("cannot write " + args_.sqlFile);
  } else if (!args_.yes && !askYes("Undo " + runLine(run) + "? [y/N] ")) {
    console_.err("Nothing was changed.\n");
    return kNotAllRan;
  }
  journal::UndoResult result;
  try {
    result = session::undoRun(*conn_, journalFile(), run, *session_,
                              script.is_open() ? &script : nullptr);
  } catch (const std::exception& e) {
    return failed(describe(e));
  }
  bool complete = true, damaged = false;
  long long restored = 0;
  for (const auto& t : result.tables) {
    restored += t.restored;
    damaged = damaged || t.damaged;
    complete = complete && !t.failure && t.conflicts.empty() && t.ambiguous.empty();
    console_.out(args_.json ? jsonLine(undoJson(t)) : undoLine(t, script.is_open()));
  }
  // A table refused for a damaged journal is not a conflict to look at but
  // a journal that cannot be trusted.
  const int rc = damaged ? kBadUsage : complete ? kAllRan : kNotAllRan;
  if (args_.json)
    console_.out(jsonLine(Json{{"type", "summary"},
                               {"command", "undo"},
                               {"run", run.id},
                               {"undo_run", result.undoRun ? Json(result.undoRun) : Json(nullptr)},
                               {"restored", restored},
                               {"exit", rc}}));
  else
    console_.out(
        "\nundo of run " + std::to_string(run.id) + ": " +
        (script.is_open() ? "statements written to " + args_.sqlFile
                          : counted(restored, "row") + " restored") +
        (result.undoRun ? " (journaled as run " + std::to_string(result.undoRun) + ")" : "") +
        ".\n");
  return rc;
}

}  // namespace trellick::cli
