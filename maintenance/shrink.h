// The statements that clear the transaction log and shrink the database.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "search/statements.h"

namespace trellick::maintenance {

// In the order they are sent; each is sent whatever became of the others.
// SQL Server: the five log and shrink statements, the database name bare
// when it is a regular identifier, bracketed (or quoted, in the last)
// otherwise. SQLite: truncate the write-ahead log, VACUUM, truncate again.
// PostgreSQL: CHECKPOINT, then VACUUM. MariaDB: each listed table rebuilt
// (ALTER TABLE ... FORCE); its binary log is never purged, since replicas
// and point-in-time backups read it.
std::vector<std::string> shrinkStatements(std::string_view database, search::Engine engine,
                                          const std::vector<search::TableRef>& tables = {});

}  // namespace trellick::maintenance
