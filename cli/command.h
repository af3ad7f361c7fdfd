// trellick-cli's commands: one class each over the session. A command
// that reaches the database is run the same way by all: ask before
// writing, read the password, connect, list and choose the tables, then
// its own work.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "db/connection.h"
#include "engine/engine.h"
#include "journal/journal.h"
#include "session/session.h"
#include "transform/rewriter.h"

namespace trellick::cli {

constexpr int kAllRan = 0;
constexpr int kNotAllRan = 1;
constexpr int kBadUsage = 2;

int usage(const std::string& message);
std::string counted(long long n, const std::string& noun);
std::string lower(std::string s);

// What every command is given: the arguments and the program's one
// console and interrupt watcher.
struct Context {
  const Args& args;
  Console& console;
  Interrupts& interrupts;
};

class Subcommand {
 public:
  explicit Subcommand(Context& cx);
  virtual ~Subcommand() = default;
  Subcommand(const Subcommand&) = delete;
  Subcommand& operator=(const Subcommand&) = delete;

  virtual int run();

  // The command the arguments name.
  static std::unique_ptr<Subcommand> make(Context& cx);

 protected:
  // Before anything is asked or connected; non-zero ends the command.
  virtual int prepare() { return kAllRan; }
  // Whether the command changes the database (it then asks first).
  virtual bool writes() const { return false; }
  // The login to connect with.
  virtual session::Login login() const { return {args_.server, args_.database, args_.user}; }
  // The command's own work, on the chosen tables.
  virtual int execute(const std::vector<engine::Table>& tables) = 0;

  static std::string describe(const std::exception& e);
  int failed(const std::string& message);
  // A yes-or-no question on standard error; true for "y" or "yes".
  bool askYes(const std::string& question);
  journal::Journal& journalFile();
  // A further connection of the session, watched for Ctrl-C.
  std::unique_ptr<db::Connection> connect();

  const Args& args_;
  Console& console_;
  Interrupts& interrupts_;
  std::optional<session::Session> session_;
  std::unique_ptr<db::Connection> conn_;
  std::unique_ptr<journal::Journal> journal_;

  // The command's work done as the table list is read, in place of
  // execute() (its exit code); nullopt where the list is needed whole.
  virtual std::optional<int> executeAsListed() { return std::nullopt; }

 private:
  std::string readPassword(const session::ServerSpec& place, const std::string& user, int& rc);
  // The tables the patterns choose; rc kNotAllRan when a pattern matches
  // none or nothing is left.
  std::vector<engine::Table> chosenTables(const std::vector<engine::Table>& all, int& rc);
};

// find and replace: the walk over the tables, a row or a JSON line each.
class WalkCommand : public Subcommand {
 public:
  using Subcommand::Subcommand;

 protected:
  bool writes() const override { return replacing(); }
  int execute(const std::vector<engine::Table>& tables) override;

 private:
  bool replacing() const { return args_.command == Command::Replace; }
  int summarise(const std::vector<engine::Table>& tables, const engine::WalkResult& walk);
  // Whether the journal's run was made with several tables at once.
  bool ranSeveralAtOnce(long long run);

 protected:
  int prepare() override;
  // A resume: the run gone on with, and where each of its tables stands.
  long long resumeRun_ = 0;
  std::vector<journal::TableEntry> resumedTables_;

 private:
  std::shared_ptr<const transform::Rewriter> rewriter_;      // several pairs
  std::shared_ptr<const transform::Rewriter> jsonRewriter_;  // JSON columns'
};

class PreviewCommand : public Subcommand {
 public:
  using Subcommand::Subcommand;

 protected:
  int execute(const std::vector<engine::Table>& tables) override;
  int prepare() override;

 private:
  std::shared_ptr<const transform::Rewriter> rewriter_;      // several pairs
  std::shared_ptr<const transform::Rewriter> jsonRewriter_;  // JSON columns'
};

class UndoCommand : public Subcommand {
 public:
  using Subcommand::Subcommand;

 protected:
  int prepare() override;
  bool writes() const override { return args_.sqlFile.empty(); }
  session::Login login() const override;
  int execute(const std::vector<engine::Table>& tables) override;

 private:
  std::optional<journal::RunEntry> undoing_;
};

// Reads the journal only.
class RunsCommand : public Subcommand {
 public:
  using Subcommand::Subcommand;
  int run() override;

 protected:
  int execute(const std::vector<engine::Table>&) override { return kAllRan; }
};

class ShrinkCommand : public Subcommand {
 public:
  using Subcommand::Subcommand;

 protected:
  int execute(const std::vector<engine::Table>& tables) override;
};

class TablesCommand : public Subcommand {
 public:
  using Subcommand::Subcommand;

 protected:
  int execute(const std::vector<engine::Table>& tables) override;

 private:
  // --columns: each table's columns, their types and whether searched.
  int listColumns(const std::vector<engine::Table>& tables);

 protected:
  std::optional<int> executeAsListed() override;
};

// A run's line in the list of runs and in the undo's question.
std::string runLine(const journal::RunEntry& run);

// The row rewriters the arguments ask for, made from the --find/--replace
// pairs in order, then those of --pairs FILE: one for the values, one for
// JSON columns (only the documents' strings, and keys with --json-keys).
// Both null for one text and the one update. Throws std::runtime_error for
// a pairs file that cannot be read or holds a bad line.
struct Rewriters {
  std::shared_ptr<const transform::Rewriter> values;
  std::shared_ptr<const transform::Rewriter> json;
};
Rewriters rewritersOf(const Args& args);

// The pairs as the journal's run names them: finds and replacements each
// joined by " | " (a label for runs and undo, never parsed).
// The texts of a run made by the rewriter: its finds and replacements, each
// joined by " | ".
std::pair<std::string, std::string> pairsText(const Args& args);

// The columns --columns and --skip-columns choose; not set when neither
// is given.
std::function<bool(const engine::Table&, const std::string&)> columnsOf(const Args& args);

// --changed-only: whether a table of find or replace is listed (it holds
// the text, was replaced, or failed).
bool listedWhenChangedOnly(const engine::TableResult& result);

// --format count's one line: "tables 3, records 17, replaced 2, failed 0",
// the third item named by what it counts (found, replaced, changing).
std::string countLine(size_t tables, long long records, const std::string& what, size_t tablesDoing,
                      size_t failed);

// replace --resume: a cut-short run gone on with, its texts and options
// taken from the journal (kept there by the run as a JSON object).
struct ResumedArgs {
  ResumedArgs(const Args& given, Context& cx)
      : resumed(given), context{resumed, cx.console, cx.interrupts} {}
  Args resumed;
  Context context;
};
class ResumeCommand : private ResumedArgs, public WalkCommand {
 public:
  explicit ResumeCommand(Context& cx);

 protected:
  int prepare() override;
  session::Login login() const override;

 private:
  std::optional<journal::RunEntry> run_;
};

// What a replace run keeps for a resume: its pairs, flags, batch size,
// columns and tables.
std::string runOptions(const Args& args, const std::vector<engine::Table>& tables);

}  // namespace trellick::cli
