#include "cli/command.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/platform.h"
#include "transform/make_rewriter.h"
#include "transform/pairs.h"

namespace trellick::cli {

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

Subcommand::Subcommand(Context& cx)
    : args_(cx.args), console_(cx.console), interrupts_(cx.interrupts) {}

std::unique_ptr<Subcommand> Subcommand::make(Context& cx) {
  switch (cx.args.command) {
    case Command::Find:
    case Command::Replace:
      if (cx.args.resume) return std::make_unique<ResumeCommand>(cx);
      return std::make_unique<WalkCommand>(cx);
    case Command::Preview:
      return std::make_unique<PreviewCommand>(cx);
    case Command::Undo:
      return std::make_unique<UndoCommand>(cx);
    case Command::Runs:
      return std::make_unique<RunsCommand>(cx);
    case Command::Shrink:
      return std::make_unique<ShrinkCommand>(cx);
    case Command::Tables:
      return std::make_unique<TablesCommand>(cx);
  }
  return nullptr;
}

int Subcommand::run() {
  if (int rc = prepare(); rc != kAllRan) return rc;
  const char* name = commandName(args_.command);
  if (writes() && !args_.yes && !platform::inputIsTerminal())
    return usage(std::string(name) +
                 " asks before it writes, and standard input is not a terminal; add --yes to " +
                 name + " without asking");
  const session::Login to = login();
  session::ServerSpec place = session::ServerSpec::parse(to.server, to.database);
  // A field the drivers would misread is refused before anything is asked.
  if (!place.parts.problemEnglish.empty())
    return usage(place.parts.problemEnglish.substr(place.parts.problemEnglish.find(']') + 1));
  if (place.database.empty())
    return usage("--database is required (or the database named in the --server URI)");
  const std::string user = to.user.empty() ? place.parts.user : to.user;
  int rc = kAllRan;
  std::string password = readPassword(place, user, rc);
  if (rc != kAllRan) return rc;
  // A time-out's message names the option that changes it.
  db::setTimeoutAdvice("raise it with --timeout SECONDS or 0 for none",
                       "raise it with --connect-timeout SECONDS or 0 for none");
  session_.emplace(std::move(place), user, std::move(password), args_.timeoutSeconds,
                   args_.connectTimeoutSeconds);
  session_->setEncryption(args_.encrypt, args_.trustServerCertificate);
  try {
    conn_ = connect();
  } catch (const std::exception& e) {
    return failed("cannot connect to " + session_->place().server + ": " + describe(e));
  }
  if (const auto listed = executeAsListed()) return *listed;
  std::vector<engine::Table> tables;
  try {
    tables = chosenTables(session::Session::tables(*conn_), rc);
  } catch (const std::exception& e) {
    return failed("cannot list the tables of " + to.database + ": " + describe(e));
  }
  if (rc != kAllRan) return rc;
  return execute(tables);
}

std::string Subcommand::describe(const std::exception& e) {
  const auto* dbError = dynamic_cast<const db::DbError*>(&e);
  return engine::oneLine(dbError ? dbError->englishDescription() : e.what());
}

int Subcommand::failed(const std::string& message) {
  console_.err("trellick-cli: " + message + "\n");
  return kBadUsage;
}

bool Subcommand::askYes(const std::string& question) {
  console_.err(question);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  answer = lower(answer);
  return answer == "y" || answer == "yes";
}

journal::Journal& Subcommand::journalFile() {
  if (!journal_)
    journal_ = std::make_unique<journal::Journal>(
        args_.journalPath.empty() ? journal::Journal::defaultPath() : args_.journalPath);
  return *journal_;
}

std::unique_ptr<db::Connection> Subcommand::connect() {
  auto conn = session_->connect();
  interrupts_.watch(*conn);
  return conn;
}

std::string Subcommand::readPassword(const session::ServerSpec& place, const std::string& user,
                                     int& rc) {
  std::string password;
  if (args_.passwordStdin) {
    if (!std::getline(std::cin, password)) password.clear();
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (!args_.passwordEnv.empty()) {
    const char* value = std::getenv(args_.passwordEnv.c_str());
    if (!value) {
      rc = usage("the environment variable " + args_.passwordEnv + " is not set");
      return {};
    }
    password = value;
  } else if (place.parts.password) {
    // The operator wrote it there; anyone listing the processes reads it.
    console_.err(
        "trellick-cli: warning: the password in --server can be read by other users of this "
        "machine; use --password-env, --password-stdin or the engine's own password file\n");
    password = *place.parts.password;
  } else if (auto kept = session::keptPassword(place, user)) {
    password = *kept;
  } else if (place.needsPassword() && platform::inputIsTerminal()) {
    const std::string who = user.empty() ? place.server : user + "@" + place.server;
    if (!platform::readHiddenLine("Password for " + who + ": ", password)) password.clear();
  }
  return password;
}

std::vector<engine::Table> Subcommand::chosenTables(const std::vector<engine::Table>& all,
                                                    int& rc) {
  if (args_.tables.empty() && args_.skipTables.empty()) return all;
  const bool caseless = session::tableNamesIgnoreCase(*conn_);
  std::vector<engine::Table> chosen;
  for (const auto& t : all) {
    if (!args_.tables.empty() && !matchesAny(args_.tables, t.name, t.schema, caseless)) continue;
    if (matchesAny(args_.skipTables, t.name, t.schema, caseless)) continue;
    chosen.push_back(t);
  }
  // A mistyped pattern would leave out what the operator meant to reach:
  // nothing is done.
  for (const auto& pattern : args_.tables) {
    bool any = false;
    for (const auto& t : all) any = any || matchesAny({pattern}, t.name, t.schema, caseless);
    if (!any) {
      console_.err("trellick-cli: no table matches \"" + pattern + "\"; nothing was done\n");
      rc = kNotAllRan;
    }
  }
  if (rc == kAllRan && chosen.empty() && !all.empty()) {
    console_.err(
        "trellick-cli: no table is left once --skip-tables is applied; nothing was done\n");
    rc = kNotAllRan;
  }
  return chosen;
}

namespace {

std::vector<transform::LiteralPair> pairsOf(const Args& args) {
  std::vector<transform::LiteralPair> pairs;
  for (size_t k = 0; k < args.finds.size(); ++k)
    pairs.push_back({args.finds[k], k < args.replaces.size() ? args.replaces[k] : std::string()});
  if (!args.pairsFile.empty()) {
    size_t line = 0;
    for (auto& p : transform::readPairsFile(args.pairsFile)) {
      ++line;
      if (!validUtf8(p.find) || !validUtf8(p.replace))
        throw std::runtime_error("--pairs " + args.pairsFile + ": pair " + std::to_string(line) +
                                 " is not valid UTF-8");
      pairs.push_back(std::move(p));
    }
  }
  if (pairs.empty()) throw std::runtime_error(args.pairsFile + " holds no pair");
  return pairs;
}

}  // namespace

Rewriters rewritersOf(const Args& args) {
  if (!args.rewriting()) return {};
  transform::Options options;
  for (auto& p : pairsOf(args)) options.pairs.push_back({std::move(p.find), std::move(p.replace)});
  options.regex = args.regex;
  options.ignoreCase = args.ignoreCase;
  options.alsoEncoded = args.alsoEncoded;
  options.serialized = args.serialized;
  options.serializedKeys = args.serializedKeys;
  options.json = args.jsonValues;
  options.jsonKeys = args.jsonKeys;
  // A pattern that does not compile throws, naming where: a usage error.
  Rewriters out;
  out.values = transform::makeRewriter(options);
  options.json = true;
  out.json = transform::makeRewriter(options);
  return out;
}

std::pair<std::string, std::string> pairsText(const Args& args) {
  std::pair<std::string, std::string> out;
  for (const auto& p : pairsOf(args)) {
    out.first += (out.first.empty() ? "" : " | ") + p.find;
    out.second += (out.second.empty() ? "" : " | ") + p.replace;
  }
  return out;
}

namespace {

// Both rewriters the options ask for; a pattern that does not compile or a
// bad pairs file is a usage error.
int makeRewriters(const Args& args, std::shared_ptr<const transform::Rewriter>& values,
                  std::shared_ptr<const transform::Rewriter>& json) {
  try {
    Rewriters made = rewritersOf(args);
    values = std::move(made.values);
    json = std::move(made.json);
  } catch (const std::exception& e) {
    return usage(e.what());
  }
  return kAllRan;
}

}  // namespace

int WalkCommand::prepare() { return makeRewriters(args_, rewriter_, jsonRewriter_); }

int PreviewCommand::prepare() { return makeRewriters(args_, rewriter_, jsonRewriter_); }

std::function<bool(const engine::Table&, const std::string&)> columnsOf(const Args& args) {
  if (args.columnPatterns.empty() && args.skipColumnPatterns.empty()) return nullptr;
  return [chosen = args.columnPatterns, skipped = args.skipColumnPatterns](
             const engine::Table& table, const std::string& column) {
    return columnChosen(chosen, skipped, table.schema, table.name, column);
  };
}

std::string countLine(size_t tables, long long records, const std::string& what, size_t tablesDoing,
                      size_t failed) {
  return "tables " + std::to_string(tables) + ", records " + std::to_string(records) + ", " + what +
         " " + std::to_string(tablesDoing) + ", failed " + std::to_string(failed) + "\n";
}

}  // namespace trellick::cli
