#include "cli/args.h"

#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/platform.h"

namespace trellick::cli {

const char* const kHelp =
    R"(Usage: trellick-cli COMMAND --server SERVER --database DATABASE [options]

Finds a text in the text columns of every table of a database, or replaces
it, one update statement per table, as the Trellick window does.

Commands:
  find       count, per table, the records that hold the --find text
  replace    replace the --find text by the --replace text in every table;
             asks first on a terminal, needs --yes otherwise
  shrink     clear the transaction log and shrink the database; every
             statement is sent whatever became of the others
  tables     list the user tables (schema.name outside the default schema);
             with --columns each column's type as the engine names it and
             whether it is searched, or why not
  preview    show, per table, the rows replace would change: key, column,
             value before and after (computed by the server), around each
             occurrence; --limit rows per table, with the total
  undo [RUN] take back a replace (the last run by default): old values go
             back where the value is still what the run wrote; rows changed
             since are conflicts, left alone and listed. Journaled itself.
  runs       list the runs the journal holds, newest first

Every replace keeps, before each table's update commits, the key and old
values of the rows it changes in the journal ($XDG_DATA_HOME/Trellick/
journal.db, readable by you only); undo works from it.

Connection:
  --server SERVER      sqlite, dsn:NAME, SQL Server as host or host,port,
                       postgresql:HOST[:PORT], mariadb:HOST[:PORT]
  --database NAME      the database; for sqlite the path of its file
  --user NAME          the login (not needed for sqlite)
  --password-env VAR   take the password from the environment variable VAR
  --password-stdin     read the password from the first line of standard input
                       Otherwise it is asked on the terminal, without echo,
                       when the server needs one. It is never an argument.
  --timeout SECONDS    time-out of every statement (default 10, 0: none)

What to find:
  --find TEXT          the text to find, exactly as given (spaces included;
                       --find=-x and --find -x both take "-x")
  --replace TEXT       the replacement, exactly as given (may be empty)
                       Repeated --find/--replace are pairs, applied in the
                       order given to each value, in one run and one undo
  --regex              the texts to find are patterns (PCRE2, UTF-8); the
                       replacement takes $1..$9, ${name} and $$ for a dollar
  --ignore-case        match without regard to case (texts and patterns)
  --also-encoded       also find each text in its JSON-escaped (\/, \uXXXX),
                       URL-encoded and HTML-entity forms, and replace it by
                       the replacement encoded alike
  --no-serialized      rewrite PHP-serialized values as plain text; by default
                       their strings are rewritten and their lengths mended,
                       and one that does not parse is left alone and told
  --serialized-keys    rewrite the keys of serialized arrays too
  --json-values        text columns hold JSON documents: only their string
                       values are rewritten and the document written back
                       valid; one that does not parse is left alone and told.
                       JSON columns (PostgreSQL json/jsonb, MariaDB JSON) are
                       always rewritten so, and only row by row
  --json-keys          rewrite the keys of JSON documents too
                       Any of these, several pairs or --pairs rewrite row by
                       row (see --pairs)
  --pairs FILE         more pairs, one a line: the text, a tab, its
                       replacement; applied in order after those given as
                       options. Several pairs are rewritten row by row: the
                       rows that may match are read by key, rewritten, and
                       written back by key (a table without a key is left
                       alone and told)
  --columns PATTERNS   find, replace, preview: only the columns matching
                       these patterns, written table.column (e.g. '*.note',
                       'posts.body', or schema.table.column)
  --skip-columns PATTERNS
                       leave out the columns matching these patterns
  --tables PATTERNS    only the tables matching these shell patterns
  --skip-tables PATTERNS
                       leave out the tables matching these patterns
                       Patterns are comma-separated or repeated options and
                       match the bare name or schema.name (e.g. 'log_*').

Output and running:
  --format FORMAT      table: a line per table, then the totals (default);
                       json: one JSON object per line for each table, then a
                       summary object (see README.md);
                       count (find, replace, preview): one line of totals,
                       "tables T, records R, found|replaced|changing N,
                       failed F": tables chosen, records that hold the
                       text (replaced, would change), tables that hold it
                       (were replaced, would change), tables that failed
  --json               the same as --format json
  --changed-only       find, replace, preview: list only the tables that
                       hold the text (were replaced, would change) and those
                       that failed; the totals still count every table
  --jobs N             find: search N tables at once, each on a connection of
                       its own; results still come in the table list's
                       order. replace always runs one table at a time.
  --limit N            preview: rows shown per table (default 100)
  --columns            tables: list each table's columns too (find, replace
                       and preview take patterns instead, see above)
  --sql FILE           preview: write the update statements to FILE;
                       undo: write the restoring statements to FILE instead
                       of running them
  --journal FILE       use this journal instead of the user's
  --encrypt yes|no|strict
                       SQL Server: whether the connection is encrypted
                       (the driver's default when not given)
  --trust-server-certificate
                       SQL Server: take the server's certificate unchecked
  --yes                replace or undo without asking
  -h, --help           this text
  --version            the version

Ctrl-C stops after the table under way and tells which tables were done; a
second Ctrl-C cancels the statement under way.

Exit status: 0 when every table ran, 1 when a table failed or the run was
stopped, 2 for bad usage or a connection that could not be made.
)";

const char* commandName(Command command) {
  switch (command) {
    case Command::Find:
      return "find";
    case Command::Replace:
      return "replace";
    case Command::Shrink:
      return "shrink";
    case Command::Tables:
      return "tables";
    case Command::Preview:
      return "preview";
    case Command::Undo:
      return "undo";
    case Command::Runs:
      return "runs";
  }
  return "";
}

namespace {

bool parseInt(const std::string& text, int low, int high, int& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

namespace {

// columnPatterns: --columns takes a pattern (find, replace, preview) rather
// than standing alone (tables). `command` gets the first positional word.
Parsed parseWith(const std::vector<std::string>& argv, bool columnPatterns, std::string& command);

}  // namespace

Parsed parseArgs(const std::vector<std::string>& argv) {
  // --columns PATTERN chooses the searched columns, bare --columns lists
  // them: which one the command decides, wherever it stands.
  std::string command;
  Parsed withPatterns = parseWith(argv, true, command);
  if (command == "find" || command == "replace" || command == "preview") return withPatterns;
  return parseWith(argv, false, command);
}

namespace {

Parsed parseWith(const std::vector<std::string>& argv, bool columnPatterns, std::string& command) {
  Parsed p;
  Args& a = p.args;
  std::vector<std::string> positional;
  auto fail = [&](std::string message) {
    if (p.error.empty()) p.error = std::move(message);
  };
  const std::map<std::string, std::string*> strings{
      {"--server", &a.server}, {"--database", &a.database},
      {"--user", &a.user},     {"--password-env", &a.passwordEnv},
      {"--sql", &a.sqlFile},   {"--journal", &a.journalPath}};
  bool optionsEnd = false;
  for (size_t k = 0; k < argv.size(); ++k) {
    const std::string& arg = argv[k];
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    // An option's value is the next argument whatever it looks like, so a
    // text that starts with "-" is taken as it is.
    auto takeValue = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (k + 1 >= argv.size()) {
        fail(name + " needs a value");
        return std::nullopt;
      }
      return argv[++k];
    };
    auto noValue = [&] {
      if (value) fail(name + " takes no value");
    };
    if (name == "-h" || name == "--help") {
      noValue();
      a.help = true;
    } else if (name == "--version") {
      noValue();
      a.version = true;
    } else if (name == "--json") {
      noValue();
      a.format = Format::Json;
    } else if (name == "--format") {
      if (auto v = takeValue()) {
        if (*v == "table")
          a.format = Format::Table;
        else if (*v == "json")
          a.format = Format::Json;
        else if (*v == "count")
          a.format = Format::Count;
        else
          fail("--format takes table, json or count, not \"" + *v + "\"");
      }
    } else if (name == "--changed-only") {
      noValue();
      a.changedOnly = true;
    } else if (name == "--yes" || name == "-y") {
      noValue();
      a.yes = true;
    } else if (name == "--regex") {
      noValue();
      a.regex = true;
    } else if (name == "--ignore-case") {
      noValue();
      a.ignoreCase = true;
    } else if (name == "--also-encoded") {
      noValue();
      a.alsoEncoded = true;
    } else if (name == "--no-serialized") {
      noValue();
      a.serialized = false;
    } else if (name == "--serialized-keys") {
      noValue();
      a.serializedKeys = true;
    } else if (name == "--json-values") {
      noValue();
      a.jsonValues = true;
    } else if (name == "--json-keys") {
      noValue();
      a.jsonKeys = true;
    } else if (name == "--columns" && columnPatterns) {
      if (auto v = takeValue()) a.columnPatterns.push_back(*v);
    } else if (name == "--skip-columns") {
      if (auto v = takeValue()) a.skipColumnPatterns.push_back(*v);
    } else if (name == "--columns") {
      noValue();
      a.columns = true;
    } else if (name == "--password-stdin") {
      noValue();
      a.passwordStdin = true;
    } else if (name == "--password" || name == "-p") {
      fail(
          "the password is never taken as an argument (other users can read those); use "
          "--password-env VAR, --password-stdin, or answer the question on the terminal");
      if (!value && k + 1 < argv.size()) ++k;
    } else if (auto it = strings.find(name); it != strings.end()) {
      if (auto v = takeValue()) *it->second = *v;
    } else if (name == "--find") {
      if (auto v = takeValue()) {
        if (!a.find) a.find = *v;
        a.finds.push_back(*v);
      }
    } else if (name == "--replace") {
      if (auto v = takeValue()) {
        if (!a.replace) a.replace = *v;
        a.replaces.push_back(*v);
      }
    } else if (name == "--encrypt") {
      if (auto v = takeValue()) {
        if (*v == "yes" || *v == "no" || *v == "strict")
          a.encrypt = *v;
        else
          fail("--encrypt takes yes, no or strict, not \"" + *v + "\"");
      }
    } else if (name == "--trust-server-certificate") {
      noValue();
      a.trustServerCertificate = true;
    } else if (name == "--pairs") {
      if (auto v = takeValue()) a.pairsFile = *v;
    } else if (name == "--tables") {
      if (auto v = takeValue()) a.tables.push_back(*v);
    } else if (name == "--skip-tables") {
      if (auto v = takeValue()) a.skipTables.push_back(*v);
    } else if (name == "--jobs" || name == "-j") {
      if (auto v = takeValue(); v && !parseInt(*v, 1, 64, a.jobs))
        fail("--jobs takes a number from 1 to 64, not \"" + *v + "\"");
    } else if (name == "--limit") {
      if (auto v = takeValue(); v && !parseInt(*v, 1, 1000000, a.limit))
        fail("--limit takes a number from 1 to 1000000, not \"" + *v + "\"");
    } else if (name == "--timeout") {
      if (auto v = takeValue(); v && !parseInt(*v, 0, 86400, a.timeoutSeconds))
        fail("--timeout takes a number of seconds from 0 to 86400, not \"" + *v + "\"");
    } else {
      fail("unknown option " + name);
    }
  }
  a.tables = splitPatterns(a.tables);
  a.skipTables = splitPatterns(a.skipTables);
  a.columnPatterns = splitPatterns(a.columnPatterns);
  a.skipColumnPatterns = splitPatterns(a.skipColumnPatterns);
  a.json = a.format == Format::Json;
  command = positional.empty() ? std::string() : positional[0];
  if (a.help || a.version) return p;
  if (!p.error.empty()) return p;

  if (positional.empty()) {
    fail("no command given (find, replace, shrink or tables)");
    return p;
  }
  if (positional.size() > 1 && !(positional[0] == "undo" && positional.size() == 2)) {
    fail("unexpected argument \"" + positional.back() + "\"");
    return p;
  }
  if (positional.size() == 2) {
    int run = 0;
    if (!parseInt(positional[1], 1, 2147483647, run)) {
      fail("undo takes the number of a run (see trellick-cli runs), not \"" + positional[1] + "\"");
      return p;
    }
    a.run = run;
  }
  const std::string& c = positional[0];
  if (c == "find")
    a.command = Command::Find;
  else if (c == "replace")
    a.command = Command::Replace;
  else if (c == "shrink")
    a.command = Command::Shrink;
  else if (c == "tables")
    a.command = Command::Tables;
  else if (c == "preview")
    a.command = Command::Preview;
  else if (c == "undo")
    a.command = Command::Undo;
  else if (c == "runs")
    a.command = Command::Runs;
  else
    fail("unknown command \"" + c + "\" (find, replace, preview, undo, runs, shrink or tables)");

  // runs reads the journal only; undo connects where the run was made
  // unless told otherwise.
  const bool connects = a.command != Command::Runs && a.command != Command::Undo;
  if (connects && a.server.empty()) fail("--server is required");
  if (connects && a.database.empty()) fail("--database is required");
  if (!a.passwordEnv.empty() && a.passwordStdin)
    fail("--password-env and --password-stdin exclude each other");
  const bool searching =
      a.command == Command::Find || a.command == Command::Replace || a.command == Command::Preview;
  const bool fileOnly = a.finds.empty() && !a.pairsFile.empty();
  if (searching && !fileOnly && (!a.find || a.find->empty()))
    fail("--find TEXT is required and not empty");
  for (const std::string& f : a.finds)
    if (searching && f.empty()) fail("--find TEXT is required and not empty");
  if ((a.command == Command::Replace || a.command == Command::Preview) && !a.replace && !fileOnly)
    fail(std::string(commandName(a.command)) + " needs --replace TEXT (--replace= for nothing)");
  // Several pairs go in order: the n-th --replace replaces the n-th --find.
  if ((a.command == Command::Replace || a.command == Command::Preview) && a.rewriting() &&
      a.replaces.size() != a.finds.size())
    fail("each --find needs its --replace when several pairs are given (" +
         std::to_string(a.finds.size()) + " --find, " + std::to_string(a.replaces.size()) +
         " --replace)");
  if (!searching && !a.skipColumnPatterns.empty())
    fail(std::string(commandName(a.command)) + " takes no --skip-columns");
  if (!searching && a.format == Format::Count)
    fail(std::string(commandName(a.command)) + " takes no --format count");
  if (!searching && a.changedOnly)
    fail(std::string(commandName(a.command)) + " takes no --changed-only");
  if (!searching && !a.pairsFile.empty())
    fail(std::string(commandName(a.command)) + " takes no --pairs");
  if (!a.sqlFile.empty() && a.command != Command::Preview && a.command != Command::Undo)
    fail("--sql works for preview and undo only");
  if (a.command == Command::Find && a.replace)
    fail("find replaces nothing; use the replace command");
  if (a.command != Command::Find && a.jobs > 1)
    fail(std::string("--jobs works for find only; ") + commandName(a.command) +
         " runs one table at a time");
  if (a.columns && a.command != Command::Tables) fail("--columns works for tables only");
  if (!searching && (a.find || a.replace))
    fail(std::string(commandName(a.command)) + " takes no --find or --replace");
  return p;
}

}  // namespace

std::vector<std::string> splitPatterns(const std::vector<std::string>& given) {
  std::vector<std::string> out;
  for (const std::string& g : given) {
    size_t from = 0;
    while (from <= g.size()) {
      const size_t comma = g.find(',', from);
      const std::string part =
          g.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (!part.empty()) out.push_back(part);
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return out;
}

bool matchesAny(const std::vector<std::string>& patterns, const std::string& name,
                const std::string& schema) {
  const std::string qualified = schema.empty() ? name : schema + "." + name;
  for (const std::string& p : patterns)
    if (platform::matchesPattern(p, name) || platform::matchesPattern(p, qualified)) return true;
  return false;
}

bool columnChosen(const std::vector<std::string>& chosen, const std::vector<std::string>& skipped,
                  const std::string& schema, const std::string& table, const std::string& column) {
  const std::string name = table + "." + column;
  auto any = [&](const std::vector<std::string>& patterns) {
    for (const std::string& p : patterns)
      if (platform::matchesPattern(p, name) ||
          (!schema.empty() && platform::matchesPattern(p, schema + "." + name)))
        return true;
    return false;
  };
  return (chosen.empty() || any(chosen)) && !any(skipped);
}

}  // namespace trellick::cli
