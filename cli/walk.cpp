// find and replace: the walk over the chosen tables.
#include <algorithm>
#include <map>
#include <mutex>

#include "cli/command.h"
#include "cli/json.h"

namespace trellick::cli {
namespace {

// Shows what a walk tells: a row or a JSON line per table in the list's
// order, and the progress line.
class Reporter : public engine::Observer {
 public:
  Reporter(Console& console, const TextTable& table, const Args& args, const Interrupts& interrupts)
      : console_(console), table_(table), args_(args), interrupts_(interrupts) {}

  void tableStarting(size_t index, size_t, const engine::Table& table) override {
    console_.progress(index, engine::displayName(table));
  }
  void tableFinished(const engine::TableResult& result) override {
    // The index stays the table's place in the list, listed or not.
    const size_t index = reported_++;
    if (args_.changedOnly && !listedWhenChangedOnly(result)) return;
    if (args_.format == Format::Json)
      console_.out(jsonLine(tableJson(result, index)));
    else if (args_.format == Format::Table)
      console_.out(table_.row(result));
    else if (result.failure)
      // The one line of totals stays alone on standard output.
      console_.err("trellick-cli: " + engine::displayName(result.table) +
                   " failed: " + engine::oneLine(result.failure->description) + "\n");
  }
  void tableWalked(size_t index) override { console_.progress(index + 1, {}); }
  bool stopRequested() override {
    return interrupts_.stopRequested() || !console_.failedWrite().empty();
  }

 private:
  Console& console_;
  const TextTable& table_;
  const Args& args_;
  const Interrupts& interrupts_;
  size_t reported_ = 0;
};

// A list's count and at most its first ten names: a stop among thousands
// of tables stays readable (--json gives them all).
std::string namesOf(const std::vector<engine::Table>& tables, size_t from) {
  constexpr size_t kShown = 10;
  const size_t n = tables.size() - std::min(from, tables.size());
  if (n == 0) return "none";
  std::string out = std::to_string(n) + " (";
  for (size_t k = from; k < tables.size() && k < from + kShown; ++k)
    out += (k == from ? "" : ", ") + engine::displayName(tables[k]);
  if (n > kShown) out += ", and " + std::to_string(n - kShown) + " more";
  return out + ")";
}

}  // namespace

bool listedWhenChangedOnly(const engine::TableResult& result) {
  // A failure is never left out: the totals alone would hide which table.
  return result.status == engine::Status::Found || result.status == engine::Status::Replaced ||
         result.status == engine::Status::Failed;
}

int WalkCommand::execute(const std::vector<engine::Table>& tables) {
  // Several pairs are named by all their texts.
  const auto [findText, replaceText] =
      rewriter_ ? pairsText(args_) : std::pair{args_.find.value_or(""), args_.replace.value_or("")};
  if (replacing() &&
      !(args_.yes || askYes("Replace \"" + findText + "\" by \"" + replaceText + "\" in " +
                            std::to_string(tables.size()) + " tables of " + args_.database +
                            "? trellick-cli undo takes it back. [y/N] "))) {
    console_.err("Nothing was changed.\n");
    return kNotAllRan;
  }
  engine::Options options{replacing() ? engine::Mode::Replace : engine::Mode::Count,
                          {findText, replaceText}};
  options.rewriter = rewriter_;
  options.jsonRewriter = jsonRewriter_;
  options.columnChosen = columnsOf(args_);
  long long journalRun = 0;
  if (replacing()) {
    // Nothing is written without its journal.
    try {
      journalRun =
          journalFile().beginRun(session_->runInfo(*conn_, "replace", findText, replaceText));
    } catch (const std::exception& e) {
      return failed("cannot keep the journal: " + describe(e));
    }
    options.journal = journal_.get();
    options.journalRun = journalRun;
  }
  TextTable table(tables);
  if (args_.format == Format::Table) console_.out(table.header());
  Reporter reporter(console_, table, args_, interrupts_);
  console_.startProgress(tables.size());
  interrupts_.setWalking(true);
  engine::WalkResult walk;
  if (args_.jobs > 1) {
    std::mutex handOver;
    walk = engine::countConcurrently(
        [&]() -> std::unique_ptr<db::Connection> {
          {
            // The first worker takes the connection already made.
            std::lock_guard lock(handOver);
            if (conn_) return std::move(conn_);
          }
          return connect();
        },
        tables, options, reporter, args_.jobs);
  } else {
    struct Source : engine::ConnectionSource {
      WalkCommand& command;
      explicit Source(WalkCommand& c) : command(c) {}
      db::Connection& current() override { return *command.conn_; }
      void reconnect() override {
        command.conn_.reset();
        command.conn_ = command.connect();
      }
    } source(*this);
    walk = engine::runTables(source, tables, options, reporter);
  }
  interrupts_.setWalking(false);
  console_.endProgress();
  if (journalRun) {
    try {
      journal_->finishRun(journalRun);
    } catch (...) {
    }
  }
  return summarise(tables, walk);
}

int WalkCommand::summarise(const std::vector<engine::Table>& tables,
                           const engine::WalkResult& walk) {
  size_t found = 0, replaced = 0, failedTables = 0, columns = 0, journalIncomplete = 0;
  long long records = 0;
  std::string manual;
  std::map<std::string, long long> untouched;
  for (const auto& r : walk.results) {
    for (const auto& [reason, n] : r.untouched) untouched[reason] += n;
    columns += static_cast<size_t>(r.searchableCount());
    if (r.status == engine::Status::Found || r.status == engine::Status::Replaced) {
      ++found;
      records += r.records;
    }
    if (r.status == engine::Status::Replaced) ++replaced;
    if (r.journaled && !r.journaled->journalComplete) ++journalIncomplete;
    if (r.status == engine::Status::Failed) {
      ++failedTables;
      manual += engine::failureText(r, "\n");
    }
  }
  const size_t ran = walk.results.size();
  const size_t notRun = tables.size() - ran;
  const bool complete = !walk.stopped && !walk.connectionFailure && failedTables == 0;
  const int rc = complete ? kAllRan : kNotAllRan;

  if (walk.stopped) {
    std::vector<engine::Table> walked;
    for (const auto& r : walk.results) walked.push_back(r.table);
    const std::string cause = console_.failedWrite().empty()
                                  ? interrupts_.stopCause()
                                  : "a failed write to " + console_.failedWrite();
    console_.err("Stopped by " + cause + " after " + std::to_string(ran) + " of " +
                 std::to_string(tables.size()) + " tables. Done (each as its row says): " +
                 namesOf(walked, 0) + ". Not run: " + namesOf(tables, ran) + ".\n");
  }
  if (walk.connectionFailure)
    console_.err("trellick-cli: the connection was lost and could not be made again (" +
                 engine::oneLine(walk.connectionFailure->description) + "); " +
                 std::to_string(notRun) + " tables were not run.\n");

  if (args_.json) {
    Json done = Json::array();
    for (const auto& r : walk.results) done.push_back(engine::displayName(r.table));
    Json left = Json::array();
    for (size_t k = ran; k < tables.size(); ++k) left.push_back(engine::displayName(tables[k]));
    Json summary =
        Json{{"type", "summary"},
             {"command", commandName(args_.command)},
             {"tables", tables.size()},
             {"run", ran},
             {"found", found},
             {"replaced", replaced},
             {"failed", failedTables},
             {"journal_incomplete", journalIncomplete},
             {"records", records},
             {"columns", columns},
             {"stopped", walk.stopped},
             {"not_run", notRun},
             {"done", done},
             {"not_run_tables", left},
             {"connection_failure",
              walk.connectionFailure ? Json(walk.connectionFailure->description) : Json(nullptr)},
             {"exit", rc}};
    if (!untouched.empty()) summary["untouched"] = untouched;
    console_.out(jsonLine(summary));
    return rc;
  }
  if (args_.format == Format::Count) {
    console_.out(countLine(tables.size(), records, replacing() ? "replaced" : "found",
                           replacing() ? replaced : found, failedTables));
    return rc;
  }
  std::string line = "\n" + std::string(commandName(args_.command)) + ": ";
  if (replacing())
    line += "replaced in " + std::to_string(replaced) + " of " + std::to_string(ran) + " tables, " +
            counted(records, "record");
  else
    line += std::to_string(found) + " of " + std::to_string(ran) + " tables hold the text, " +
            counted(records, "record");
  if (failedTables > 0) line += "; " + std::to_string(failedTables) + " failed";
  // Committed, and still taken back by an undo: only the done mark is missing.
  if (journalIncomplete > 0)
    line += "; " + std::to_string(journalIncomplete) + " replaced with the journal incomplete";
  if (notRun > 0) line += "; " + std::to_string(notRun) + " not run";
  for (const auto& [reason, n] : untouched) line += "; " + counted(n, "value") + " " + reason;
  console_.out(line + ".\n");
  if (!manual.empty())
    console_.out("\nWhat failed, ready to run by hand once the cause is mended:\n\n" + manual);
  return rc;
}

}  // namespace trellick::cli
