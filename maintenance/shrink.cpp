#include "maintenance/shrink.h"

#include "db/utf8.h"

namespace trellick::maintenance {

std::vector<std::string> shrinkStatements(std::string_view database, search::Engine engine) {
  // In WAL mode VACUUM writes through the log, so a second checkpoint
  // brings the smaller file home and empties the log again.
  if (engine == search::Engine::SQLite)
    return {"pragma wal_checkpoint(TRUNCATE)", "vacuum", "pragma wal_checkpoint(TRUNCATE)"};
  const bool bare = search::isRegularIdentifier(database, search::Engine::SqlServer);
  const std::string name = bare ? std::string(database) : search::bracketed(database);
  const std::string asString =
      bare ? std::string(database) : search::stringLiteral(database, db::hasNonAscii(database));
  return {"dump transaction " + name + " with no_log", "backup log " + name + " with no_log",
          "dbcc shrinkdatabase(" + name + ")", "select * from sysfiles DBCC SHRINKFILE(1)",
          "EXEC sp_dboption " + asString + ", 'autoshrink', 'TRUE'"};
}

}  // namespace trellick::maintenance
