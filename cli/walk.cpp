// find and replace: the walk over the chosen tables.
#include <algorithm>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

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
                   " failed: " + engine::oneLine(result.failure->englishDescription) + "\n");
  }
  void tableWalked(size_t index) override { console_.progress(index + 1, {}); }
  void rowsDone(const engine::Table& table, long long done, long long found) override {
    console_.tableRows(done, found);
    if (args_.json && args_.progressJson)
      console_.err(jsonLine(Json{{"type", "progress"},
                                 {"table", engine::displayName(table)},
                                 {"rows_done", done},
                                 {"rows_total", std::max(done, found)}}));
  }
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

namespace {

// The journaled table of a run that is `table` (the journal keeps the
// default schema by its name).
bool sameTable(const journal::TableEntry& entry, const engine::Table& table) {
  return entry.table.name == table.name &&
         (table.schema.empty() || entry.table.schema == table.schema);
}

}  // namespace

namespace {

// The run's "jobs" among its kept options; 1 where none is kept.
long long jobsOf(const std::string& options) {
  try {
    return nlohmann::json::parse(options).value("jobs", 1LL);
  } catch (const std::exception&) {
    return 1;
  }
}

}  // namespace

bool WalkCommand::ranSeveralAtOnce(long long run) {
  const auto entry = journalFile().run(run);
  return entry && jobsOf(entry->options) > 1;
}

int WalkCommand::execute(const std::vector<engine::Table>& chosen) {
  std::vector<engine::Table> tables = chosen;
  std::map<size_t, journal::BatchStart> batchStarts;  // by place in `tables`
  if (resumeRun_) {
    // Into the run it goes on with, and only where that run was made.
    try {
      const auto run = journalFile().run(resumeRun_);
      if (const auto why = session::notMadeHere(run->info, session_->place(), *conn_))
        return failed("run " + std::to_string(resumeRun_) + " is not this database's: " + *why +
                      "; nothing was replaced");
      // What the run cut short between its journal and its commit is
      // settled by the server's rows first.
      journal::settleCutShort(*conn_, journalFile(), *run);
      resumedTables_ = journalFile().run(resumeRun_)->tables;
    } catch (const std::exception& e) {
      return failed("cannot resume run " + std::to_string(resumeRun_) + ": " + describe(e));
    }
    // From the last table the run journaled: the tables before it were
    // walked; a table replaced whole, or whose last batch took every row
    // left, is done. A run of several tables at once may have been cut
    // short with a table before that one under way: every table not done
    // is walked again.
    size_t from = 0;
    if (!ranSeveralAtOnce(resumeRun_))
      for (size_t k = 0; k < tables.size(); ++k)
        for (const auto& e : resumedTables_)
          if (sameTable(e, tables[k])) from = k;
    std::vector<engine::Table> left;
    for (size_t k = from; k < tables.size(); ++k) {
      bool done = false;
      journal::BatchStart start;
      for (const auto& e : resumedTables_) {
        if (!sameTable(e, tables[k])) continue;
        if (e.state != journal::TableState::Done && e.state != journal::TableState::Journaled)
          continue;
        if (e.batch == 0 || !e.bound) done = true;
        if (e.batch > start.batch) start = {e.batch, e.bound};
      }
      if (done) continue;
      if (start.batch > 0) batchStarts[left.size()] = start;
      left.push_back(tables[k]);
    }
    tables = std::move(left);
  }
  // Several pairs are named by all their texts.
  const auto [findText, replaceText] =
      rewriter_ ? pairsText(args_) : std::pair{args_.find.value_or(""), args_.replace.value_or("")};
  const std::string question =
      resumeRun_
          ? "Resume run " + std::to_string(resumeRun_) + " (replace \"" + findText + "\" by \"" +
                replaceText + "\") in the " + std::to_string(tables.size()) + " tables of " +
                args_.database + " not done? trellick-cli undo takes the whole run back. [y/N] "
          : "Replace \"" + findText + "\" by \"" + replaceText + "\" in " +
                std::to_string(tables.size()) + " tables of " + args_.database +
                "? trellick-cli undo takes it back. [y/N] ";
  if (replacing() && !(args_.yes || askYes(question))) {
    console_.err("Nothing was changed.\n");
    return kNotAllRan;
  }
  engine::Options options{replacing() ? engine::Mode::Replace : engine::Mode::Count,
                          {findText, replaceText}};
  options.rewriter = rewriter_;
  options.jsonRewriter = jsonRewriter_;
  options.columnChosen = columnsOf(args_);
  options.batchRows = args_.batchRows;

  if (!batchStarts.empty())
    options.batchStart = [&](const engine::Table& t) {
      for (const auto& [k, start] : batchStarts)
        if (tables[k].name == t.name && tables[k].schema == t.schema) return start;
      return journal::BatchStart{};
    };
  int jobs = args_.jobs;
  if (replacing() && jobs > 1 && conn_->engineSql().capabilities().oneWriter) {
    console_.err(
        "trellick-cli: this database takes one writer at a time: replace runs one "
        "table at a time, not " +
        std::to_string(jobs) + ".\n");
    jobs = 1;
  }
  // The other workers' connections are made while this one reads the
  // catalog and the journal begins the run: a walk's start does not wait
  // for them.
  std::vector<std::future<std::unique_ptr<db::Connection>>> early;
  if (jobs > 1 && tables.size() > 1)
    for (int w = 1; w < jobs && static_cast<size_t>(w) < tables.size(); ++w)
      early.push_back(std::async(std::launch::async, [this] { return connect(); }));
  // A walk over many tables asks the catalog once instead of each table.
  options.catalog = engine::readCatalog(*conn_, tables);
  long long journalRun = 0;
  if (replacing()) {
    // Nothing is written without its journal.
    try {
      if (resumeRun_) {
        journalRun = resumeRun_;
        // A resume of several tables at once is itself resumed as one.
        const auto run = journalFile().run(resumeRun_);
        if (jobs > 1 && run && jobsOf(run->options) <= 1) {
          auto kept = nlohmann::json::parse(run->options);
          kept["jobs"] = jobs;
          journalFile().setOptions(
              journalRun, kept.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
      } else {
        journalRun =
            journalFile().beginRun(session_->runInfo(*conn_, "replace", findText, replaceText));
        // The jobs that run, for a resume to know whether the tables went
        // one after another.
        Args kept = args_;
        kept.jobs = jobs;
        journalFile().setOptions(journalRun, runOptions(kept, tables));
      }
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
  if (jobs > 1) {
    std::mutex handOver;
    walk = engine::runConcurrently(
        [&]() -> std::unique_ptr<db::Connection> {
          std::future<std::unique_ptr<db::Connection>> made;
          {
            // The first worker takes the connection already made, the next
            // ones those made early; one lost is made again.
            std::lock_guard lock(handOver);
            if (conn_) return std::move(conn_);
            if (!early.empty()) {
              made = std::move(early.back());
              early.pop_back();
            }
          }
          return made.valid() ? made.get() : connect();
        },
        tables, options, reporter, jobs);
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
  size_t found = 0, replaced = 0, failedTables = 0, columns = 0, journalIncomplete = 0, partly = 0;
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
    if (r.status == engine::Status::PartlyReplaced) {
      ++partly;
      records += r.records;
    }
    if (r.unbatched)
      console_.err("trellick-cli: " + engine::displayName(r.table) +
                   " has no key to batch by (or the replace changes it): replaced in one "
                   "statement.\n");
    if (r.journaled && !r.journaled->journalComplete) ++journalIncomplete;
    if (r.status == engine::Status::Failed) {
      ++failedTables;
      manual += engine::failureTextEnglish(r, "\n");
    }
  }
  const size_t ran = walk.results.size();
  const size_t notRun = tables.size() - ran;
  const bool complete =
      !walk.stopped && !walk.connectionFailure && failedTables == 0 && partly == 0;
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
    for (const auto& r : walk.results)
      if (r.status == engine::Status::PartlyReplaced)
        console_.err(engine::displayName(r.table) +
                     " is partly replaced: " + counted(r.records, "record") + " in " +
                     std::to_string(r.batches) + (r.batches == 1 ? " batch" : " batches") +
                     " committed and journaled; trellick-cli replace --resume goes on.\n");
  }
  if (walk.connectionFailure)
    console_.err("trellick-cli: the connection was lost and could not be made again (" +
                 engine::oneLine(walk.connectionFailure->englishDescription) + "); " +
                 std::to_string(notRun) + " tables were not run.\n");

  if (args_.json) {
    Json done = Json::array();
    for (const auto& r : walk.results) done.push_back(engine::displayName(r.table));
    Json left = Json::array();
    for (size_t k = ran; k < tables.size(); ++k) left.push_back(engine::displayName(tables[k]));
    Json summary = Json{
        {"type", "summary"},
        {"command", commandName(args_.command)},
        {"tables", tables.size()},
        {"run", ran},
        {"found", found},
        {"replaced", replaced},
        {"failed", failedTables},
        {"partly_replaced", partly},
        {"journal_incomplete", journalIncomplete},
        {"records", records},
        {"columns", columns},
        {"stopped", walk.stopped},
        {"not_run", notRun},
        {"done", done},
        {"not_run_tables", left},
        {"connection_failure",
         walk.connectionFailure ? Json(walk.connectionFailure->englishDescription) : Json(nullptr)},
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
  if (partly > 0)
    line += "; " + std::to_string(partly) +
            " partly replaced (trellick-cli replace --resume goes on with the run)";
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
