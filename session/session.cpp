#include "session/session.h"

#include <algorithm>

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
  place.server = server;
  place.database = database;
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

Session::Session(ServerSpec place, std::string user, std::string password, int timeoutSeconds)
    : place_(std::move(place)),
      user_(std::move(user)),
      password_(std::move(password)),
      timeoutSeconds_(timeoutSeconds),
      drivers_(db::installedDrivers()) {}

void Session::open(db::Connection& conn) const {
  conn.SetCommandTimeout(timeoutSeconds_);
  conn.Open(db::makeTarget(place_.parts, {place_.server, user_, password_, place_.database},
                           drivers_, timeoutSeconds_, {encrypt_, trustServerCertificate_}));
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

}  // namespace trellick::session
