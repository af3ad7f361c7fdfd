#include "session/session.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "db/recordset.h"
#include "journal/changes.h"
#include "platform/platform.h"

namespace trellick::session {
namespace {

std::string trimSpaces(std::string_view text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(' ') - begin + 1));
}

}  // namespace

ServerSpec ServerSpec::parse(std::string_view server, std::string_view database) {
  ServerSpec place;
  place.parts = db::parseServer(server);
  // Kept and shown trimmed, without a password a URI held.
  place.server = place.parts.shown;
  place.database = database;
  // A URI may name the database; named twice, the two must agree.
  if (place.database.empty()) {
    place.database = place.parts.database;
  } else if (!place.parts.database.empty() && place.parts.database != place.database &&
             place.parts.problem.empty()) {
    place.parts.problem = "[Trellick]服务器 URI 中的数据库 " + place.parts.database +
                          " 与数据库字段 " + place.database + " 不同";
    place.parts.problemEnglish = "[Trellick]the server URI names the database " +
                                 place.parts.database + ", and the database field " +
                                 place.database;
  }
  // A file reached through a link, a relative path or ".." is still the
  // one file, so that an undo from elsewhere finds its run.
  place.identity = place.isSqlite() ? platform::canonicalPath(place.database) : place.database;
  return place;
}

bool ServerSpec::holds(const journal::RunInfo& run) const {
  const ServerSpec made = parse(run.server, run.database);
  // Any spelling of "sqlite" names the same engine; a server by its field.
  if (isSqlite() || made.isSqlite())
    return isSqlite() && made.isSqlite() && identity == made.identity;
  return identity == made.identity && trimSpaces(server) == trimSpaces(run.server);
}

Session::Session(ServerSpec place, std::string user, std::string password, int timeoutSeconds,
                 int connectTimeoutSeconds)
    : place_(std::move(place)),
      user_(std::move(user)),
      password_(std::move(password)),
      timeoutSeconds_(timeoutSeconds),
      drivers_(db::installedDrivers()),
      connectTimeoutSeconds_(connectTimeoutSeconds) {}

void Session::open(db::Connection& conn) const {
  conn.SetCommandTimeout(timeoutSeconds_);
  conn.SetConnectTimeout(connectTimeoutSeconds_);
  conn.Open(db::makeTarget(place_.parts, {place_.server, user_, password_, place_.database},
                           drivers_, timeoutSeconds_, connectTimeoutSeconds_,
                           {encrypt_, trustServerCertificate_}));
}

std::unique_ptr<db::Connection> Session::connect() const {
  auto conn = std::make_unique<db::Connection>();
  open(*conn);
  return conn;
}

journal::RunInfo Session::runInfo(db::Connection& conn, const std::string& kind,
                                  const std::string& find, const std::string& replace) const {
  journal::RunInfo info;
  info.identity = conn.DatabaseIdentity();
  info.kind = kind;
  info.server = place_.server;
  info.database = place_.identity;
  info.user = user_;
  info.find = find;
  info.replace = replace;
  return info;
}

std::optional<std::string> notMadeHere(const journal::RunInfo& run, const ServerSpec& place,
                                       Dialect dialect, const std::string& now) {
  const std::string there = run.database + " on " + run.server;
  const std::string here = place.identity + " on " + place.server;
  const auto& engine = sql::forDialect(dialect);
  switch (engine.sameDatabase(run.identity, now)) {
    case sql::EngineSql::Sameness::Same:
      return std::nullopt;
    case sql::EngineSql::Sameness::Different: {
      // Say what differs in the server's own words.
      std::string was = run.identity, is = now;
      std::replace(was.begin(), was.end(), sql::kIdentitySeparator, ' ');
      std::replace(is.begin(), is.end(), sql::kIdentitySeparator, ' ');
      return "it was made in " + there + " (" + was + "), and this is " + here + " (" + is + ")";
    }
    case sql::EngineSql::Sameness::Unknown:
      break;
  }
  if (!place.holds(run)) return "it was made in " + there + ", not in " + here;
  return std::nullopt;
}

bool undoable(const journal::RunEntry& run) {
  return run.info.kind != "undo" && !run.undoneBy && run.rowsChanged() > 0;
}

std::optional<journal::RunEntry> chooseRun(journal::Journal& journal, long long id) {
  if (id) return journal.run(id);
  for (auto& run : journal.runs())
    if (undoable(run)) return run;
  return std::nullopt;
}

Login undoLogin(const journal::RunEntry& run, Login given) {
  if (given.server.empty()) given.server = run.info.server;
  if (given.database.empty()) given.database = run.info.database;
  if (given.user.empty()) given.user = run.info.user;
  return given;
}

journal::UndoResult undoRun(db::Connection& conn, journal::Journal& journal,
                            const journal::RunEntry& run, const Session& session,
                            std::ostream* script) {
  journal::UndoResult result =
      journal::undo(conn, journal, run, session.runInfo(conn, "undo"), script);
  // What a table's own triggers did when the run or the undo wrote is not
  // given back: the operator is told which tables have them.
  for (journal::UndoTable& table : result.tables)
    table.hasTriggers = engine::hasOwnTriggers(conn, table.table);
  return result;
}

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string homeFile(const char* name) {
  const std::string home = environment("HOME");
  return home.empty() ? std::string() : home + "/" + name;
}

// The fields of a .pgpass line, "\:" and "\\" taken as the characters.
std::vector<std::string> pgpassFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (size_t k = 0; k < line.size(); ++k) {
    if (line[k] == '\\' && k + 1 < line.size()) {
      fields.back() += line[++k];
    } else if (line[k] == ':' && fields.size() < 5) {
      fields.emplace_back();
    } else {
      fields.back() += line[k];
    }
  }
  return fields;
}

std::optional<std::string> fromPgpass(const ServerSpec& place, const std::string& user) {
  std::string path = environment("PGPASSFILE");
  if (path.empty()) path = homeFile(".pgpass");
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::is_regular_file(status)) return std::nullopt;
  // As PostgreSQL's own client: a file others can read is not used.
  using std::filesystem::perms;
  if ((status.permissions() & (perms::group_all | perms::others_all)) != perms::none)
    return std::nullopt;
  std::ifstream in(path);
  const std::string host = place.parts.host.empty() ? "localhost" : place.parts.host;
  const std::string port = place.parts.port.empty() ? "5432" : place.parts.port;
  std::string login = user;
  if (login.empty()) login = environment("PGUSER");
  if (login.empty()) login = environment("USER");
  const std::string wanted[4] = {host, port, place.database, login};
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = pgpassFields(line);
    if (f.size() != 5) continue;
    bool match = true;
    for (int k = 0; k < 4; ++k) match = match && (f[k] == "*" || f[k] == wanted[k]);
    if (match) return f[4];
  }
  return std::nullopt;
}

std::optional<std::string> fromMyCnf() {
  std::ifstream in(homeFile(".my.cnf"));
  bool client = false;
  std::optional<std::string> found;
  for (std::string line; std::getline(in, line);) {
    const size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos) continue;
    line = line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
    if (line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      client = line == "[client]" || line == "[client-mariadb]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!client || eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key != "password") continue;
    std::string value = line.substr(eq + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    if (value.size() >= 2 && (value[0] == '\'' || value[0] == '"') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    found = value;  // the last one counts, as for the server's own client
  }
  return found;
}

}  // namespace

std::optional<std::string> keptPassword(const ServerSpec& place, const std::string& user,
                                        std::string* source) {
  auto from = [&](std::optional<std::string> value, const char* where) {
    if (value && source) *source = where;
    return value;
  };
  auto variable = [&](const char* name) -> std::optional<std::string> {
    if (const char* value = std::getenv(name)) return from(std::string(value), name);
    return std::nullopt;
  };
  switch (place.parts.kind) {
    case db::TargetKind::PostgreSQL:
      if (auto v = variable("PGPASSWORD")) return v;
      return from(fromPgpass(place, user), "~/.pgpass");
    case db::TargetKind::MariaDB:
      if (auto v = variable("MYSQL_PWD")) return v;
      return from(fromMyCnf(), "~/.my.cnf");
    case db::TargetKind::SqlServer:
      return variable("SQLCMDPASSWORD");
    case db::TargetKind::SQLite:
    case db::TargetKind::Dsn:
      break;
  }
  return std::nullopt;
}

bool tableNamesIgnoreCase(db::Connection& conn) {
  switch (conn.dialect()) {
    case Dialect::SQLite:
    case Dialect::SqlServer:
      return true;
    case Dialect::PostgreSQL:
      return false;
    case Dialect::MariaDB:
      break;
  }
  auto rs = conn.Execute("select @@lower_case_table_names");
  const std::string value = rs->Fields().Item(0).Value().text();
  rs->Close();
  return value != "0";
}

}  // namespace trellick::session
