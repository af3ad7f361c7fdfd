#include "maintenance/shrink.h"

#include "db/utf8.h"

namespace trellick::maintenance {

std::vector<std::string> shrinkStatements(std::string_view database, search::Engine engine,
                                          const std::vector<search::TableRef>& tables) {
  // The write-ahead log is recycled once a checkpoint has written what it
  // holds; VACUUM frees dead rows' space for reuse without locking tables
  // the way VACUUM FULL would.
  if (engine == search::Engine::PostgreSQL) return {"checkpoint", "vacuum"};
  if (engine == search::Engine::MariaDB) {
    // A rebuilt table gives back the space of deleted and shortened rows.
    std::vector<std::string> out;
    for (const auto& table : tables)
      out.push_back("alter table " + search::qualifiedReference(table, engine) + " force");
    return out;
  }
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
