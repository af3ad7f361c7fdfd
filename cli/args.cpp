#include "cli/args.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

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
  -s, --server SERVER  sqlite, dsn:NAME, SQL Server as host or host,port,
                       postgresql:HOST[:PORT], mariadb:HOST[:PORT], or a URI
                       postgresql://USER@HOST:PORT/DATABASE (also postgres,
                       mysql, mariadb, sqlserver), sqlite:///PATH
  -d, --database NAME  the database; for sqlite the path of its file
  -U, --user NAME      the login (not needed for sqlite)
  --password-env VAR   take the password from the environment variable VAR
  --password-stdin     read the password from the first line of standard input
                       Otherwise: a password in the URI, then PGPASSWORD,
                       MYSQL_PWD or SQLCMDPASSWORD, then ~/.pgpass or
                       ~/.my.cnf [client], then the terminal, without echo.
                       It is never an argument.
  --timeout SECONDS    time-out of every statement (0: none; default none
                       for replace, preview and undo, 10 for the others)
  --connect-timeout SECONDS
                       how long connecting may wait for the server
                       (default 15, 0: as long as the driver waits)

What to find:
  -f, --find TEXT      the text to find, exactly as given (spaces included;
                       --find=-x and --find -x both take "-x")
  -r, --replace TEXT   the replacement, exactly as given (may be empty)
                       Repeated --find/--replace are pairs, applied in the
                       order given to each value, in one run and one undo
  --find-file FILE     the text to find is FILE's whole content, exactly as
                       stored (for long texts and any bytes a shell mangles)
  --replace-file FILE  the replacement is FILE's whole content
  --trim-newline       take one line end off the end of those files' texts
                       Texts must be valid UTF-8, and a replacement may not
                       be the text to find itself
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
  -t, --tables PATTERNS
                       only the tables matching these shell patterns
  -T, --skip-tables PATTERNS
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
  -j, --jobs N         find, replace: run N tables at once, each on a
                       connection of its own; results still come in the
                       table list's order. A replace keeps each table one
                       transaction and journals one table at a time while
                       the others count; on SQLite it runs one table at a
                       time (one writer)
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
  -y, --yes            replace or undo without asking
  --batch-rows N       replace: change each table in batches of at most N
                       rows in the key's order, each journaled and committed
                       on its own (a table without a key: one statement);
                       a stopped table is told partly replaced, with its count
  --resume [RUN]       replace: go on with a run cut short (the last by
                       default; --resume=RUN) from its first table and batch
                       not done, with its own texts and options, in the same
                       run: one undo takes it all back
  --progress-json      with --json: progress events on standard error
  -h, --help           this text; trellick-cli COMMAND --help or
                       trellick-cli help COMMAND: that command's options
  --version            the version

Ctrl-C, SIGTERM or SIGHUP stops after the table under way and tells which
tables were done; a second Ctrl-C cancels the statement under way.

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

bool validUtf8(const std::string& s) {
  for (size_t k = 0; k < s.size();) {
    const auto c = static_cast<unsigned char>(s[k]);
    size_t extra = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      ++k;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (k + extra >= s.size()) return false;
    for (size_t e = 1; e <= extra; ++e) {
      const auto b = static_cast<unsigned char>(s[k + e]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    k += extra + 1;
  }
  return true;
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
  const std::map<std::string, std::string*> strings{{"--server", &a.server},
                                                    {"-s", &a.server},
                                                    {"--database", &a.database},
                                                    {"-d", &a.database},
                                                    {"--user", &a.user},
                                                    {"-U", &a.user},
                                                    {"--password-env", &a.passwordEnv},
                                                    {"--sql", &a.sqlFile},
                                                    {"--journal", &a.journalPath}};
  // Texts read from --find-file and --replace-file: where they went in
  // finds and replaces, for --trim-newline.
  std::vector<std::pair<std::vector<std::string>*, size_t>> fileTexts;
  bool trimNewline = false;
  bool optionsEnd = false;
  bool timeoutGiven = false;
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
    // A text with invalid UTF-8 would be matched byte by byte against
    // columns that hold none, or written raw into them.
    auto takeText = [&]() -> std::optional<std::string> {
      auto v = takeValue();
      if (v && !validUtf8(*v)) {
        fail(name + " is not valid UTF-8");
        return std::nullopt;
      }
      return v;
    };
    // A text exactly as the file stores it, line ends included.
    auto takeFileText = [&]() -> std::optional<std::string> {
      auto path = takeValue();
      if (!path) return std::nullopt;
      std::ifstream in(*path, std::ios::binary);
      std::ostringstream text;
      if (!in || !(text << in.rdbuf()) || in.bad()) {
        // An empty file leaves the stream failed with nothing read.
        if (in && !in.bad() && text.str().empty()) return std::string();
        fail(name + " " + *path + ": cannot be read");
        return std::nullopt;
      }
      if (!validUtf8(text.str())) {
        fail(name + " " + *path + ": the text is not valid UTF-8");
        return std::nullopt;
      }
      return text.str();
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
      // Paths are the system's bytes; the rest are texts.
      const bool path =
          name == "--sql" || name == "--journal" || name == "--database" || name == "-d";
      if (auto v = path ? takeValue() : takeText()) *it->second = *v;
    } else if (name == "--find" || name == "-f" || name == "--find-file") {
      if (auto v = name == "--find-file" ? takeFileText() : takeText()) {
        a.finds.push_back(*v);
        if (name == "--find-file") fileTexts.emplace_back(&a.finds, a.finds.size() - 1);
      }
    } else if (name == "--replace" || name == "-r" || name == "--replace-file") {
      if (auto v = name == "--replace-file" ? takeFileText() : takeText()) {
        a.replaces.push_back(*v);
        if (name == "--replace-file") fileTexts.emplace_back(&a.replaces, a.replaces.size() - 1);
      }
    } else if (name == "--trim-newline") {
      noValue();
      trimNewline = true;
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
    } else if (name == "--tables" || name == "-t") {
      if (auto v = takeText()) a.tables.push_back(*v);
    } else if (name == "--skip-tables" || name == "-T") {
      if (auto v = takeText()) a.skipTables.push_back(*v);
    } else if (name == "--jobs" || name == "-j") {
      if (auto v = takeValue(); v && !parseInt(*v, 1, 64, a.jobs))
        fail("--jobs takes a number from 1 to 64, not \"" + *v + "\"");
    } else if (name == "--limit") {
      if (auto v = takeValue(); v && !parseInt(*v, 1, 1000000, a.limit))
        fail("--limit takes a number from 1 to 1000000, not \"" + *v + "\"");
    } else if (name == "--timeout") {
      timeoutGiven = true;
      if (auto v = takeValue(); v && !parseInt(*v, 0, 86400, a.timeoutSeconds))
        fail("--timeout takes a number of seconds from 0 to 86400, not \"" + *v + "\"");
    } else if (name == "--connect-timeout") {
      if (auto v = takeValue(); v && !parseInt(*v, 0, 86400, a.connectTimeoutSeconds))
        fail("--connect-timeout takes a number of seconds from 0 to 86400, not \"" + *v + "\"");
    } else if (name == "--batch-rows") {
      int rows = 0;
      if (auto v = takeValue(); v && !parseInt(*v, 1, 100000000, rows))
        fail("--batch-rows takes a number of rows from 1 to 100000000, not \"" + *v + "\"");
      a.batchRows = rows;
    } else if (name == "--resume") {
      a.resume = true;
      int run = 0;
      if (value && !parseInt(*value, 1, 2147483647, run))
        fail("--resume takes the number of a run (see trellick-cli runs), not \"" + *value + "\"");
      a.run = run;
    } else if (name == "--progress-json") {
      noValue();
      a.progressJson = true;
    } else {
      fail("unknown option " + name);
    }
  }
  // An editor ends a file with a line end the text did not mean: taken
  // away only when asked, one line end, from the texts read from files.
  for (const auto& [texts, at] : fileTexts) {
    std::string& text = (*texts)[at];
    if (!trimNewline || text.empty() || text.back() != '\n') continue;
    text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  // find and replace keep the first of each.
  if (!a.finds.empty()) a.find = a.finds.front();
  if (!a.replaces.empty()) a.replace = a.replaces.front();
  a.tables = splitPatterns(a.tables);
  a.skipTables = splitPatterns(a.skipTables);
  a.columnPatterns = splitPatterns(a.columnPatterns);
  a.skipColumnPatterns = splitPatterns(a.skipColumnPatterns);
  a.json = a.format == Format::Json;
  command = positional.empty() ? std::string() : positional[0];
  // "help COMMAND" and "COMMAND --help": that command's options.
  if (command == "help") {
    a.help = true;
    if (positional.size() > 1) a.helpTopic = positional[1];
  } else if (a.help) {
    a.helpTopic = command;
  }
  if (a.help || a.version) return p;
  if (!p.error.empty()) return p;

  if (positional.empty()) {
    fail("no command given (find, replace, preview, undo, runs, shrink or tables)");
    return p;
  }
  const bool runNamed = positional.size() == 2 &&
                        (positional[0] == "undo" || (positional[0] == "replace" && a.resume));
  if (positional.size() > 1 && !runNamed) {
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

  if (a.resume && a.command != Command::Replace) fail("--resume works for replace only");
  if (a.batchRows > 0 && a.command != Command::Replace) fail("--batch-rows works for replace only");
  if (a.resume && (!a.finds.empty() || a.replace || !a.pairsFile.empty()))
    fail("--resume goes on with the run's own texts: it takes no --find, --replace or --pairs");
  // A resume takes its texts and options from the run.
  if (a.resume) return p;
  // runs reads the journal only; undo connects where the run was made
  // unless told otherwise.
  const bool connects = a.command != Command::Runs && a.command != Command::Undo;
  if (connects && a.server.empty()) fail("--server is required");
  // A URI in --server may name the database instead.
  if (connects && a.database.empty() && a.server.find("://") == std::string::npos)
    fail("--database is required");
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
  if (a.command != Command::Find && a.command != Command::Replace && a.jobs > 1)
    fail(std::string("--jobs works for find and replace only; ") + commandName(a.command) +
         " runs one table at a time");
  if (a.columns && a.command != Command::Tables) fail("--columns works for tables only");
  if (!searching && (a.find || a.replace))
    fail(std::string(commandName(a.command)) + " takes no --find or --replace");
  if (!timeoutGiven && (a.command == Command::Replace || a.command == Command::Preview ||
                        a.command == Command::Undo))
    a.timeoutSeconds = 0;
  // A pair that changes nothing would still be counted, journaled and
  // reported as replaced. A pattern or a caseless text may still change
  // what it matches.
  if (!a.regex && !a.ignoreCase && a.command != Command::Find)
    for (size_t k = 0; k < a.finds.size() && k < a.replaces.size(); ++k)
      if (a.finds[k] == a.replaces[k])
        fail("the replacement is the text to find itself (\"" + a.finds[k] +
             "\"): nothing would change");
  // A database name is a text; a SQLite file's path is the system's bytes.
  std::string server = a.server;
  for (char& c : server)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (!validUtf8(a.database) && server != "sqlite" && server.rfind("sqlite:", 0) != 0)
    fail("--database is not valid UTF-8");
  return p;
}

}  // namespace

std::vector<std::string> splitPatterns(const std::vector<std::string>& given) {
  std::vector<std::string> out;
  for (const std::string& g : given) {
    size_t from = 0;
    while (from <= g.size()) {
      const size_t comma = g.find(',', from);
      std::string part =
          g.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      // "t1, t2" as written in a shell: the spaces are not the names'.
      part.erase(0, part.find_first_not_of(" \t"));
      part.erase(part.find_last_not_of(" \t") + 1);
      if (!part.empty()) out.push_back(part);
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return out;
}

bool matchesAny(const std::vector<std::string>& patterns, const std::string& name,
                const std::string& schema, bool ignoreCase) {
  auto folded = [ignoreCase](std::string s) {
    if (ignoreCase)
      for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  };
  const std::string bare = folded(name);
  const std::string qualified = folded(schema.empty() ? name : schema + "." + name);
  for (const std::string& p : patterns)
    if (platform::matchesPattern(folded(p), bare) || platform::matchesPattern(folded(p), qualified))
      return true;
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

namespace trellick::cli {
namespace {

// The commands each option is for, by how its entry in the general help
// begins; an option not listed here is for every command.
struct OptionUse {
  const char* entry;
  std::vector<Command> commands;
};

const std::vector<OptionUse>& optionUses() {
  using C = Command;
  static const std::vector<C> reaching{C::Find, C::Replace, C::Preview,
                                       C::Undo, C::Shrink,  C::Tables};
  static const std::vector<C> searching{C::Find, C::Replace, C::Preview};
  static const std::vector<C> changing{C::Replace, C::Preview};
  static const std::vector<OptionUse> uses{
      {"-s, --server", reaching},
      {"-d, --database", reaching},
      {"-U, --user", reaching},
      {"--password-env", reaching},
      {"--password-stdin", reaching},
      {"--timeout", reaching},
      {"--connect-timeout", reaching},
      {"-f, --find ", searching},
      {"--find-file", searching},
      {"-r, --replace ", changing},
      {"--replace-file", changing},
      {"--trim-newline", searching},
      {"--regex", searching},
      {"--ignore-case", searching},
      {"--also-encoded", searching},
      {"--no-serialized", searching},
      {"--serialized-keys", searching},
      {"--json-values", searching},
      {"--json-keys", searching},
      {"--pairs", searching},
      {"--columns PATTERNS", searching},
      {"--skip-columns", searching},
      {"-t, --tables", reaching},
      {"-T, --skip-tables", reaching},
      {"--changed-only", searching},
      {"-j, --jobs", {C::Find, C::Replace}},
      {"--limit", {C::Preview}},
      {"--columns ", {C::Tables}},
      {"--sql", {C::Preview, C::Undo}},
      {"--journal", {C::Replace, C::Undo, C::Runs}},
      {"-y, --yes", {C::Replace, C::Undo}},
      {"--encrypt", reaching},
      {"--trust-server-certificate", reaching},
      {"--batch-rows", {C::Replace}},
      {"--resume", {C::Replace}},
      {"--progress-json", {C::Replace}},
      {"--version", {}},
  };
  return uses;
}

bool optionFor(const std::string& entry, Command command) {
  for (const OptionUse& use : optionUses())
    if (entry.rfind(use.entry, 0) == 0)
      return std::find(use.commands.begin(), use.commands.end(), command) != use.commands.end();
  return true;
}

std::optional<Command> commandNamed(const std::string& name) {
  for (Command c : {Command::Find, Command::Replace, Command::Shrink, Command::Tables,
                    Command::Preview, Command::Undo, Command::Runs})
    if (name == commandName(c)) return c;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> commandHelp(const std::string& name) {
  const std::optional<Command> command = commandNamed(name);
  if (!command) return std::nullopt;
  std::istringstream help(kHelp);
  std::vector<std::string> lines;
  for (std::string line; std::getline(help, line);) lines.push_back(line);
  // The command's own paragraph of the general help: its line under
  // "Commands:" and the lines that go on from it.
  std::string about;
  size_t k = 0;
  while (k < lines.size() && lines[k] != "Commands:") ++k;
  for (++k; k < lines.size() && !lines[k].empty(); ++k) {
    const std::string& line = lines[k];
    const bool starts = line.size() > 2 && line[2] != ' ';
    if (starts && !about.empty()) break;
    if (starts && line.rfind("  " + name + " ", 0) != 0) continue;
    if (!starts && about.empty()) continue;
    size_t from = starts ? 2 + name.size() : 0;
    if (starts && line.compare(from, 6, " [RUN]") == 0) from += 6;
    about += "  " + line.substr(line.find_first_not_of(' ', from)) + "\n";
  }
  const bool connects = *command != Command::Runs;
  std::string out =
      "Usage: trellick-cli " + name + (*command == Command::Undo ? " [RUN]" : "") +
      (connects && *command != Command::Undo ? " --server SERVER --database DATABASE" : "") +
      " [options]\n\n" + about + "\nOptions:\n";
  // Each option's entry: its first line and the more deeply indented ones
  // that follow, in the sections of options.
  bool inOptions = false, taken = false;
  for (const std::string& line : lines) {
    if (line == "Connection:") inOptions = true;
    if (line.rfind("Ctrl-C", 0) == 0) break;
    if (!inOptions) continue;
    if (line.rfind("  -", 0) == 0)
      taken = line.rfind("  -h, --help", 0) == 0 || optionFor(line.substr(2), *command);
    else if (line.rfind("   ", 0) != 0)
      taken = false;
    if (taken) out += line + "\n";
  }
  out +=
      "\nSee trellick-cli --help for every command. Exit status: 0 when everything ran,\n"
      "1 when a table failed or the run was stopped, 2 for bad usage or no connection.\n";
  return out;
}

}  // namespace trellick::cli
