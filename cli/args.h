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
  int timeoutSeconds = 10;
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

// Whether a table, by its bare name or as "schema.name", matches a pattern.
bool matchesAny(const std::vector<std::string>& patterns, const std::string& name,
                const std::string& schema);

const char* commandName(Command command);

extern const char* const kHelp;

// Whether a column is searched under the patterns: "table.column" or
// "schema.table.column" matches one of `chosen` (when any is given) and
// none of `skipped`.
bool columnChosen(const std::vector<std::string>& chosen, const std::vector<std::string>& skipped,
                  const std::string& schema, const std::string& table, const std::string& column);

}  // namespace trellick::cli
