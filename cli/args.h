// The command line of trellick-cli: what was asked, read without touching
// anything outside the argument list.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace trellick::cli {

enum class Command { Find, Replace, Shrink, Tables, Preview, Undo, Runs };

// How find, replace and preview write their results: the readable table,
// JSON lines, or one line of totals.
enum class Format { Table, Json, Count };

struct Args {
  Command command = Command::Find;
  std::string server;
  std::string database;
  std::string user;
  std::string passwordEnv;  // the variable's name
  bool passwordStdin = false;
  std::optional<std::string> find;     // exactly as given
  std::optional<std::string> replace;  // exactly as given
  std::vector<std::string> tables;     // shell patterns
  std::vector<std::string> skipTables;
  bool json = false;
  bool yes = false;
  int jobs = 1;
  // Seconds a statement may take, 0: no limit. Unless given: none for
  // replace, preview and undo (a table's work may take minutes), 10 for
  // the others.
  int timeoutSeconds = 10;
  // Seconds a connect may wait for the server, 0: as long as the driver
  // waits (--connect-timeout).
  int connectTimeoutSeconds = 15;
  int limit = 100;          // preview: rows per table
  std::string sqlFile;      // preview, undo: write statements here instead
  std::string journalPath;  // empty: the user's journal
  long long run = 0;        // undo: the run to take back (0: the last)
  bool help = false;
  bool version = false;
  bool columns = false;  // tables: each table's columns too
  // Every --find and --replace in the order given (find and replace keep
  // the first), paired by their order; and --pairs FILE.
  std::vector<std::string> finds;
  std::vector<std::string> replaces;
  std::string pairsFile;
  // find, replace, preview: the columns searched, as table.column patterns
  // (--columns PATTERN; bare --columns is the tables listing's).
  std::vector<std::string> columnPatterns;
  std::vector<std::string> skipColumnPatterns;

  // --format (--json is --format json); json stays set for that format.
  Format format = Format::Table;
  // find, replace, preview: list only the tables that hold the text or
  // change (and those that failed); the totals still count every table.
  bool changedOnly = false;

  // The finds are patterns; matched without regard to case; also found in
  // their JSON-escaped, URL-encoded and HTML-entity forms; PHP-serialized
  // values rewritten with their lengths (on unless --no-serialized), keys
  // too with --serialized-keys.
  bool regex = false;
  bool ignoreCase = false;
  bool alsoEncoded = false;
  bool serialized = true;
  bool serializedKeys = false;
  // Text columns' values are JSON documents too: only their strings are
  // rewritten (keys too with --json-keys, which JSON columns also take).
  bool jsonValues = false;
  bool jsonKeys = false;

  // replace: tables changed in batches of at most this many rows (0: one
  // update each); --resume goes on with a cut-short run (`run`, or the
  // last), its texts and options taken from the journal; --progress-json
  // writes progress events on standard error with --json.
  long long batchRows = 0;
  bool resume = false;
  bool progressJson = false;
  // help COMMAND or COMMAND --help: the command whose options are asked.
  std::string helpTopic;
  // SQL Server: --encrypt yes|no|strict and --trust-server-certificate.
  std::string encrypt;
  bool trustServerCertificate = false;

  // Several pairs, a pairs file, or anything a plain literal text cannot
  // do: the row rewriter, not the one update.
  bool rewriting() const {
    return finds.size() > 1 || !pairsFile.empty() || regex || ignoreCase || alsoEncoded ||
           jsonValues || jsonKeys;
  }
};

struct Parsed {
  Args args;
  std::string error;  // non-empty: bad usage
};

Parsed parseArgs(const std::vector<std::string>& argv);

// Patterns given as "a*,b" or repeated, split at commas; empty ones dropped.
std::vector<std::string> splitPatterns(const std::vector<std::string>& given);

// Whether a table, by its bare name or as "schema.name", matches a pattern;
// ASCII letters' case ignored with ignoreCase.
bool matchesAny(const std::vector<std::string>& patterns, const std::string& name,
                const std::string& schema, bool ignoreCase = false);

const char* commandName(Command command);

extern const char* const kHelp;

// Whether s is UTF-8: no overlong forms, surrogates or code points past
// U+10FFFF.
bool validUtf8(const std::string& s);

// One command's usage and the options it takes, from the general help;
// nullopt when no command has that name.
std::optional<std::string> commandHelp(const std::string& command);

// Whether a column is searched under the patterns: "table.column" or
// "schema.table.column" matches one of `chosen` (when any is given) and
// none of `skipped`.
bool columnChosen(const std::vector<std::string>& chosen, const std::vector<std::string>& skipped,
                  const std::string& schema, const std::string& table, const std::string& column);

}  // namespace trellick::cli
