// trellick-cli: the engine of the window on the command line, for scheduled
// clean-ups, SSH sessions and deployment scripts.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "db/connection.h"
#include "db/target.h"
#include "engine/engine.h"
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
    if (args_.command == Command::Replace && !args_.yes && ::isatty(STDIN_FILENO) != 1)
      return usage(
          "replace asks before it writes, and standard input is not a terminal; add --yes to "
          "replace without asking");
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

  bool needsPassword() const { return lower(args_.server) != "sqlite"; }

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
    conn->Open(db::makeTarget({args_.server, args_.user, password_, args_.database}, drivers_,
                              args_.timeoutSeconds));
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
                 "? Nothing can undo it. [y/N] ");
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
    const engine::Options options{replacing ? engine::Mode::Replace : engine::Mode::Count,
                                  {*args_.find, args_.replace.value_or("")}};
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
