// trellick-cli: the engine of the window on the command line, for scheduled
// clean-ups, SSH sessions and deployment scripts.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "db/connection.h"
#include "db/target.h"
#include "engine/engine.h"
#include "journal/changes.h"
#include "journal/journal.h"
#include "maintenance/shrink.h"

#ifndef TRELLICK_VERSION
#define TRELLICK_VERSION "unknown"
#endif

namespace trellick::cli {
namespace {

constexpr int kAllRan = 0;
constexpr int kNotAllRan = 1;
constexpr int kBadUsage = 2;

int usage(const std::string& message) {
  std::fprintf(stderr, "trellick-cli: %s\nTry 'trellick-cli --help'.\n", message.c_str());
  return kBadUsage;
}

std::string counted(long long n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Shows what a walk tells: a row or a JSON line per table in the list's
// order, and the progress line.
class Reporter : public engine::Observer {
 public:
  Reporter(Console& console, const TextTable& table, bool json, const Interrupts& interrupts)
      : console_(console), table_(table), json_(json), interrupts_(interrupts) {}

  void tableStarting(size_t index, size_t, const engine::Table& table) override {
    console_.progress(index, engine::displayName(table));
  }
  void tableFinished(const engine::TableResult& result) override {
    console_.out(json_ ? tableJson(result, reported_) + "\n" : table_.row(result));
    ++reported_;
  }
  void tableWalked(size_t index) override { console_.progress(index + 1, {}); }
  bool stopRequested() override { return interrupts_.stopRequested(); }

 private:
  Console& console_;
  const TextTable& table_;
  bool json_;
  const Interrupts& interrupts_;
  size_t reported_ = 0;
};

class Cli {
 public:
  explicit Cli(const Args& args)
      : args_(args), interrupts_([this](const std::string& line) { console_.err(line); }) {}

  int run() {
    if (args_.command == Command::Runs) return listRuns();
    if (args_.command == Command::Undo) {
      if (int rc = chooseRun(); rc != kAllRan) return rc;
    }
    const bool writes = args_.command == Command::Replace ||
                        (args_.command == Command::Undo && args_.sqlFile.empty());
    if (writes && !args_.yes && ::isatty(STDIN_FILENO) != 1)
      return usage(std::string(commandName(args_.command)) +
                   " asks before it writes, and standard input is not a terminal; add --yes to " +
                   commandName(args_.command) + " without asking");
    if (int rc = readPassword(); rc != kAllRan) return rc;
    drivers_ = db::installedDrivers();
    try {
      conn_ = connect();
    } catch (const std::exception& e) {
      return failed("cannot connect to " + args_.server + ": " + describe(e));
    }
    std::vector<engine::Table> tables;
    try {
      tables = chosenTables(engine::userTables(*conn_));
    } catch (const std::exception& e) {
      return failed("cannot list the tables of " + args_.database + ": " + describe(e));
    }
    switch (args_.command) {
      case Command::Runs:
        return kAllRan;
      case Command::Undo:
        return undo();
      case Command::Preview:
        return preview(tables);
      case Command::Tables:
        return listTables(tables);
      case Command::Shrink:
        return shrink(tables);
      case Command::Find:
      case Command::Replace:
        return walk(tables);
    }
    return kAllRan;
  }

 private:
  static std::string describe(const std::exception& e) {
    const auto* dbError = dynamic_cast<const db::DbError*>(&e);
    return engine::oneLine(dbError ? dbError->description() : e.what());
  }

  int failed(const std::string& message) {
    console_.err("trellick-cli: " + message + "\n");
    return kBadUsage;
  }

  // An undo reaches the database its run changed unless told otherwise.
  std::string server() const {
    return args_.server.empty() && undoing_ ? undoing_->info.server : args_.server;
  }
  std::string database() const {
    return args_.database.empty() && undoing_ ? undoing_->info.database : args_.database;
  }
  std::string user() const {
    return args_.user.empty() && undoing_ ? undoing_->info.user : args_.user;
  }

  bool needsPassword() const { return lower(server()) != "sqlite"; }

  journal::Journal& journalFile() {
    if (!journal_)
      journal_ = std::make_unique<journal::Journal>(
          args_.journalPath.empty() ? journal::Journal::defaultPath() : args_.journalPath);
    return *journal_;
  }

  journal::RunInfo runInfo(const std::string& kind) {
    journal::RunInfo info;
    info.kind = kind;
    info.server = server();
    info.database = database();
    // A SQLite file is named so that an undo from elsewhere finds it.
    if (lower(info.server) == "sqlite") {
      if (char* full = ::realpath(info.database.c_str(), nullptr)) {
        info.database = full;
        std::free(full);
      }
    }
    info.user = user();
    info.find = args_.find.value_or("");
    info.replace = args_.replace.value_or("");
    return info;
  }

  static std::string runLine(const journal::RunEntry& r) {
    long long rows = 0;
    size_t done = 0;
    for (const auto& t : r.tables) {
      rows += t.rows;
      done += t.state == journal::TableState::Done;
    }
    std::string what = r.info.kind == "undo"
                           ? "undo of run " + std::to_string(r.info.undoes)
                           : "replace \"" + r.info.find + "\" by \"" + r.info.replace + "\"";
    return "run " + std::to_string(r.id) + "  " + r.started + "  " + what + " in " +
           r.info.database + " on " + r.info.server +
           (r.info.user.empty() ? "" : " as " + r.info.user) + ": " + counted(done, "table") +
           ", " + counted(rows, "row") + (r.finished.empty() ? " (cut short)" : "");
  }

  int listRuns() {
    std::vector<journal::RunEntry> runs;
    try {
      runs = journalFile().runs();
    } catch (const std::exception& e) {
      return failed(describe(e));
    }
    for (const auto& r : runs) {
      if (!args_.json) {
        console_.out(runLine(r) + "\n");
        continue;
      }
      std::string tables = "[";
      for (size_t k = 0; k < r.tables.size(); ++k)
        tables += std::string(k ? "," : "") +
                  "{\"schema\":" + jsonString(r.tables[k].table.schema) +
                  ",\"table\":" + jsonString(r.tables[k].table.name) +
                  ",\"rows\":" + std::to_string(r.tables[k].rows) + ",\"state\":\"" +
                  journal::stateName(r.tables[k].state) +
                  "\",\"by_value\":" + (r.tables[k].byValue ? "true" : "false") + "}";
      tables += "]";
      console_.out(
          "{\"type\":\"run\",\"run\":" + std::to_string(r.id) +
          ",\"kind\":" + jsonString(r.info.kind) +
          ",\"undoes\":" + (r.info.undoes ? std::to_string(r.info.undoes) : std::string("null")) +
          ",\"started\":" + jsonString(r.started) +
          ",\"finished\":" + (r.finished.empty() ? std::string("null") : jsonString(r.finished)) +
          ",\"server\":" + jsonString(r.info.server) +
          ",\"database\":" + jsonString(r.info.database) + ",\"user\":" + jsonString(r.info.user) +
          ",\"find\":" + jsonString(r.info.find) + ",\"replace\":" + jsonString(r.info.replace) +
          ",\"tables\":" + tables + "}\n");
    }
    return kAllRan;
  }

  int chooseRun() {
    try {
      undoing_ = args_.run ? journalFile().run(args_.run) : journalFile().lastRun();
    } catch (const std::exception& e) {
      return failed(describe(e));
    }
    if (!undoing_)
      return failed(args_.run ? "the journal holds no run " + std::to_string(args_.run)
                              : std::string("the journal holds no run to undo"));
    return kAllRan;
  }

  int undo() {
    const journal::RunEntry& run = *undoing_;
    std::ofstream script;
    if (!args_.sqlFile.empty()) {
      script.open(args_.sqlFile, std::ios::binary | std::ios::trunc);
      if (!script) return failed("cannot write " + args_.sqlFile);
    } else if (!args_.yes) {
      console_.err("Undo " + runLine(run) + "? [y/N] ");
      std::string answer;
      if (!std::getline(std::cin, answer) || (lower(answer) != "y" && lower(answer) != "yes")) {
        console_.err("Nothing was changed.\n");
        return kNotAllRan;
      }
    }
    journal::UndoResult result;
    try {
      result = journal::undo(*conn_, journalFile(), run, runInfo("undo"),
                             script.is_open() ? &script : nullptr);
    } catch (const std::exception& e) {
      return failed(describe(e));
    }
    bool complete = true;
    long long restored = 0;
    for (const auto& t : result.tables) {
      restored += t.restored;
      complete = complete && !t.failure && t.conflicts.empty();
      std::string keys;
      for (const auto& k : t.conflicts) {
        std::string key;
        for (const auto& v : k) key += (key.empty() ? "" : ", ") + (v ? *v : std::string("NULL"));
        keys += (keys.empty() ? "" : "; ") + key;
      }
      if (args_.json) {
        std::string list = "[";
        for (size_t n = 0; n < t.conflicts.size(); ++n) {
          list += n ? ",[" : "[";
          for (size_t m = 0; m < t.conflicts[n].size(); ++m)
            list += (m ? "," : "") +
                    (t.conflicts[n][m] ? jsonString(*t.conflicts[n][m]) : std::string("null"));
          list += "]";
        }
        list += "]";
        console_.out("{\"type\":\"undo\",\"schema\":" + jsonString(t.table.schema) + ",\"table\":" +
                     jsonString(t.table.name) + ",\"restored\":" + std::to_string(t.restored) +
                     ",\"already\":" + std::to_string(t.alreadyBefore) +
                     ",\"by_value\":" + (t.byValue ? "true" : "false") + ",\"conflicts\":" + list +
                     ",\"failure\":" + (t.failure ? jsonString(*t.failure) : std::string("null")) +
                     "}\n");
      } else {
        console_.out(
            engine::displayName(t.table) + ": " +
            (script.is_open() ? counted(t.restored, "statement") + " written"
                              : counted(t.restored, "row") + " restored") +
            (t.alreadyBefore ? ", " + std::to_string(t.alreadyBefore) + " already so" : "") +
            (t.byValue ? " (no key: matched by value)" : "") +
            (t.conflicts.empty()
                 ? ""
                 : "; " + counted(static_cast<long long>(t.conflicts.size()), "conflict") +
                       " changed since, left alone: " + keys) +
            (t.failure ? "; failed: " + engine::oneLine(*t.failure) : "") + "\n");
      }
    }
    const int rc = complete ? kAllRan : kNotAllRan;
    if (args_.json)
      console_.out("{\"type\":\"summary\",\"command\":\"undo\",\"run\":" + std::to_string(run.id) +
                   ",\"undo_run\":" +
                   (result.undoRun ? std::to_string(result.undoRun) : std::string("null")) +
                   ",\"restored\":" + std::to_string(restored) + ",\"exit\":" + std::to_string(rc) +
                   "}\n");
    else
      console_.out(
          "\nundo of run " + std::to_string(run.id) + ": " +
          (script.is_open() ? "statements written to " + args_.sqlFile
                            : counted(restored, "row") + " restored") +
          (result.undoRun ? " (journaled as run " + std::to_string(result.undoRun) + ")" : "") +
          ".\n");
    return rc;
  }

  int preview(const std::vector<engine::Table>& tables) {
    std::ofstream script;
    if (!args_.sqlFile.empty()) {
      script.open(args_.sqlFile, std::ios::binary | std::ios::trunc);
      if (!script) return failed("cannot write " + args_.sqlFile);
    }
    const search::Texts texts{*args_.find, *args_.replace};
    size_t failures = 0;
    long long total = 0;
    for (const auto& table : tables) {
      if (interrupts_.stopRequested()) break;
      journal::Preview p;
      std::string error;
      try {
        p = engine::previewTable(*conn_, table, texts, args_.limit);
      } catch (const std::exception& e) {
        error = describe(e);
        ++failures;
      }
      total += p.total;
      if (script.is_open() && !p.update.empty()) script << p.update << ";\n";
      if (args_.json) {
        std::string rows = "[";
        for (size_t n = 0; n < p.rows.size(); ++n) {
          std::string key = "[";
          for (size_t m = 0; m < p.rows[n].identity.size(); ++m)
            key += (m ? "," : "") + (p.rows[n].identity[m] ? jsonString(*p.rows[n].identity[m])
                                                           : std::string("null"));
          std::string changes = "[";
          for (size_t m = 0; m < p.rows[n].changes.size(); ++m) {
            const auto& c = p.rows[n].changes[m];
            changes += std::string(m ? "," : "") + "{\"column\":" + jsonString(c.column) +
                       ",\"before\":" + jsonString(c.before) + ",\"after\":" + jsonString(c.after) +
                       "}";
          }
          rows += std::string(n ? "," : "") + "{\"key\":" + key + "],\"changes\":" + changes + "]}";
        }
        rows += "]";
        std::string identity = "[";
        for (size_t m = 0; m < p.identityColumns.size(); ++m)
          identity += (m ? "," : "") + jsonString(p.identityColumns[m]);
        identity += "]";
        console_.out(
            "{\"type\":\"preview\",\"schema\":" + jsonString(table.schema) +
            ",\"table\":" + jsonString(table.name) + ",\"total\":" + std::to_string(p.total) +
            ",\"shown\":" + std::to_string(p.rows.size()) + ",\"key\":" + identity +
            ",\"by_value\":" + (p.byValue ? "true" : "false") + ",\"rows\":" + rows +
            ",\"update\":" + (p.update.empty() ? std::string("null") : jsonString(p.update)) +
            ",\"failure\":" + (error.empty() ? std::string("null") : jsonString(error)) + "}\n");
        continue;
      }
      if (!error.empty()) {
        console_.out(engine::displayName(table) + ": failed: " + error + "\n");
        continue;
      }
      if (p.total == 0) continue;
      std::string head =
          "== " + engine::displayName(table) + ": " + counted(p.total, "record") + " would change";
      if (static_cast<long long>(p.rows.size()) < p.total)
        head += ", the first " + std::to_string(p.rows.size()) + " shown";
      if (p.byValue) head += "; no key: an undo matches these rows by value";
      console_.out(head + "\n");
      for (const auto& row : p.rows) {
        std::string key;
        if (p.byValue) {
          key = "(by value)";
        } else {
          for (size_t m = 0; m < row.identity.size(); ++m)
            key += (m ? ", " : "") + p.identityColumns[m] + "=" +
                   (row.identity[m] ? *row.identity[m] : std::string("NULL"));
        }
        for (const auto& c : row.changes)
          console_.out("  " + key + "  " + c.column + "\n    before: " +
                       engine::oneLine(journal::excerpt(c.before, *args_.find)) + "\n    after:  " +
                       engine::oneLine(journal::excerpt(c.after, *args_.replace)) + "\n");
      }
    }
    const int rc = failures == 0 ? kAllRan : kNotAllRan;
    if (args_.json)
      console_.out("{\"type\":\"summary\",\"command\":\"preview\",\"tables\":" +
                   std::to_string(tables.size()) + ",\"records\":" + std::to_string(total) +
                   ",\"failed\":" + std::to_string(failures) + ",\"exit\":" + std::to_string(rc) +
                   "}\n");
    else
      console_.out("\npreview: " + counted(total, "record") + " would change" +
                   (script.is_open() ? "; update statements written to " + args_.sqlFile : "") +
                   ".\n");
    return rc;
  }

  int readPassword() {
    if (!args_.passwordEnv.empty()) {
      const char* value = std::getenv(args_.passwordEnv.c_str());
      if (!value) return usage("the environment variable " + args_.passwordEnv + " is not set");
      password_ = value;
    } else if (args_.passwordStdin) {
      if (!std::getline(std::cin, password_)) password_.clear();
      if (!password_.empty() && password_.back() == '\r') password_.pop_back();
    } else if (needsPassword() && ::isatty(STDIN_FILENO) == 1) {
      const std::string who = args_.user.empty() ? args_.server : args_.user + "@" + args_.server;
      if (!readHiddenLine("Password for " + who + ": ", password_)) password_.clear();
    }
    return kAllRan;
  }

  std::unique_ptr<db::Connection> connect() {
    auto conn = std::make_unique<db::Connection>();
    conn->SetCommandTimeout(args_.timeoutSeconds);
    conn->Open(
        db::makeTarget({server(), user(), password_, database()}, drivers_, args_.timeoutSeconds));
    interrupts_.watch(*conn);
    return conn;
  }

  std::vector<engine::Table> chosenTables(const std::vector<engine::Table>& all) {
    std::vector<engine::Table> chosen;
    for (const auto& t : all) {
      if (!args_.tables.empty() && !matchesAny(args_.tables, t.name, t.schema)) continue;
      if (matchesAny(args_.skipTables, t.name, t.schema)) continue;
      chosen.push_back(t);
    }
    for (const auto& pattern : args_.tables) {
      bool any = false;
      for (const auto& t : all) any = any || matchesAny({pattern}, t.name, t.schema);
      if (!any) console_.err("trellick-cli: no table matches \"" + pattern + "\"\n");
    }
    return chosen;
  }

  int listTables(const std::vector<engine::Table>& tables) {
    for (const auto& t : tables)
      console_.out(args_.json ? "{\"type\":\"table\",\"schema\":" + jsonString(t.schema) +
                                    ",\"table\":" + jsonString(t.name) + "}\n"
                              : engine::displayName(t) + "\n");
    return kAllRan;
  }

  int shrink(const std::vector<engine::Table>& tables) {
    const auto statements = maintenance::shrinkStatements(args_.database, conn_->dialect(), tables);
    size_t failures = 0;
    interrupts_.setWalking(true);
    for (size_t k = 0; k < statements.size(); ++k) {
      // Every statement is sent whatever became of the others.
      std::string error;
      try {
        conn_->ExecuteAll(statements[k]);
      } catch (const std::exception& e) {
        error = describe(e);
        ++failures;
      }
      if (args_.json)
        console_.out("{\"type\":\"statement\",\"index\":" + std::to_string(k) + ",\"statement\":" +
                     jsonString(statements[k]) + ",\"ok\":" + (error.empty() ? "true" : "false") +
                     ",\"message\":" + (error.empty() ? "null" : jsonString(error)) + "}\n");
      else
        console_.out((error.empty() ? "ok      " : "failed  ") + statements[k] + "\n" +
                     (error.empty() ? "" : "        " + error + "\n"));
      if (interrupts_.stopRequested()) break;
    }
    interrupts_.setWalking(false);
    const int rc = failures == 0 ? kAllRan : kNotAllRan;
    if (args_.json)
      console_.out("{\"type\":\"summary\",\"command\":\"shrink\",\"statements\":" +
                   std::to_string(statements.size()) + ",\"failed\":" + std::to_string(failures) +
                   ",\"exit\":" + std::to_string(rc) + "}\n");
    else if (failures > 0)
      console_.err("trellick-cli: " + std::to_string(failures) + " of " +
                   std::to_string(statements.size()) + " statements failed\n");
    return rc;
  }

  bool confirmed(size_t tableCount) {
    if (args_.yes) return true;
    console_.err("Replace \"" + *args_.find + "\" by \"" + *args_.replace + "\" in " +
                 std::to_string(tableCount) + " tables of " + args_.database +
                 "? trellick-cli undo takes it back. [y/N] ");
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    answer = lower(answer);
    return answer == "y" || answer == "yes";
  }

  int walk(const std::vector<engine::Table>& tables) {
    const bool replacing = args_.command == Command::Replace;
    if (replacing && !confirmed(tables.size())) {
      console_.err("Nothing was changed.\n");
      return kNotAllRan;
    }
    engine::Options options{replacing ? engine::Mode::Replace : engine::Mode::Count,
                            {*args_.find, args_.replace.value_or("")}};
    long long journalRun = 0;
    if (replacing) {
      // Nothing is written without its journal.
      try {
        journalRun = journalFile().beginRun(runInfo("replace"));
      } catch (const std::exception& e) {
        return failed("cannot keep the journal: " + describe(e));
      }
      options.journal = journal_.get();
      options.journalRun = journalRun;
    }
    TextTable table(tables);
    if (!args_.json) console_.out(table.header());
    Reporter reporter(console_, table, args_.json, interrupts_);
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
        Cli& cli;
        explicit Source(Cli& c) : cli(c) {}
        db::Connection& current() override { return *cli.conn_; }
        void reconnect() override {
          cli.conn_.reset();
          cli.conn_ = cli.connect();
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

  int summarise(const std::vector<engine::Table>& tables, const engine::WalkResult& walk) {
    size_t found = 0, replaced = 0, failedTables = 0, columns = 0;
    long long records = 0;
    std::string manual;
    for (const auto& r : walk.results) {
      columns += static_cast<size_t>(r.searchableCount());
      if (r.status == engine::Status::Found || r.status == engine::Status::Replaced) {
        ++found;
        records += r.records;
      }
      if (r.status == engine::Status::Replaced) ++replaced;
      if (r.status == engine::Status::Failed) {
        ++failedTables;
        manual += engine::failureText(r, "\n");
      }
    }
    const size_t notRun = tables.size() - walk.results.size();
    const bool complete = !walk.stopped && !walk.connectionFailure && failedTables == 0;
    const int rc = complete ? kAllRan : kNotAllRan;
    const bool replacing = args_.command == Command::Replace;

    std::string done;
    for (const auto& r : walk.results) done += (done.empty() ? "" : ", ") + displayName(r.table);
    if (walk.stopped) {
      std::string left;
      for (size_t k = walk.results.size(); k < tables.size(); ++k)
        left += (left.empty() ? "" : ", ") + displayName(tables[k]);
      console_.err("Stopped by Ctrl-C after " + std::to_string(walk.results.size()) + " of " +
                   std::to_string(tables.size()) +
                   " tables. Done (each as its row says): " + (done.empty() ? "none" : done) +
                   ". Not run: " + (left.empty() ? "none" : left) + ".\n");
    }
    if (walk.connectionFailure)
      console_.err("trellick-cli: the connection was lost and could not be made again (" +
                   engine::oneLine(walk.connectionFailure->description) + "); " +
                   std::to_string(notRun) + " tables were not run.\n");

    if (args_.json) {
      std::string doneList = "[";
      for (size_t k = 0; k < walk.results.size(); ++k)
        doneList += (k ? "," : "") + jsonString(displayName(walk.results[k].table));
      doneList += "]";
      console_.out(std::string("{\"type\":\"summary\",\"command\":\"") +
                   commandName(args_.command) + "\",\"tables\":" + std::to_string(tables.size()) +
                   ",\"run\":" + std::to_string(walk.results.size()) + ",\"found\":" +
                   std::to_string(found) + ",\"replaced\":" + std::to_string(replaced) +
                   ",\"failed\":" + std::to_string(failedTables) + ",\"records\":" +
                   std::to_string(records) + ",\"columns\":" + std::to_string(columns) +
                   ",\"stopped\":" + (walk.stopped ? "true" : "false") + ",\"not_run\":" +
                   std::to_string(notRun) + ",\"done\":" + doneList + ",\"connection_failure\":" +
                   (walk.connectionFailure ? jsonString(walk.connectionFailure->description)
                                           : std::string("null")) +
                   ",\"exit\":" + std::to_string(rc) + "}\n");
      return rc;
    }
    std::string line = "\n" + std::string(commandName(args_.command)) + ": ";
    if (replacing)
      line += "replaced in " + std::to_string(replaced) + " of " +
              std::to_string(walk.results.size()) + " tables, " + counted(records, "record");
    else
      line += std::to_string(found) + " of " + std::to_string(walk.results.size()) +
              " tables hold the text, " + counted(records, "record");
    if (failedTables > 0) line += "; " + std::to_string(failedTables) + " failed";
    if (notRun > 0) line += "; " + std::to_string(notRun) + " not run";
    console_.out(line + ".\n");
    if (!manual.empty())
      console_.out("\nWhat failed, ready to run by hand once the cause is mended:\n\n" + manual);
    return rc;
  }

  static std::string displayName(const engine::Table& t) { return engine::displayName(t); }

  const Args& args_;
  Console console_;
  Interrupts interrupts_;
  db::DriverNames drivers_;
  std::string password_;
  std::unique_ptr<db::Connection> conn_;
  std::unique_ptr<journal::Journal> journal_;
  std::optional<journal::RunEntry> undoing_;
};

}  // namespace
}  // namespace trellick::cli

int main(int argc, char* argv[]) {
  using namespace trellick::cli;
  const Parsed parsed = parseArgs(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.args.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (parsed.args.version) {
    std::printf("trellick-cli %s\n", TRELLICK_VERSION);
    return 0;
  }
  if (!parsed.error.empty()) return usage(parsed.error);
  return Cli(parsed.args).run();
}
