// The database engines Trellick speaks. Decided once per connection, from
// what the driver says the server is; every statement is written for one.
#pragma once

#include <string_view>

namespace trellick {

enum class Dialect { SqlServer, SQLite, PostgreSQL, MariaDB };

// The engine's name as an operator knows it.
constexpr std::string_view dialectName(Dialect dialect) {
  switch (dialect) {
    case Dialect::SqlServer:
      return "SQL Server";
    case Dialect::SQLite:
      return "SQLite";
    case Dialect::PostgreSQL:
      return "PostgreSQL";
    case Dialect::MariaDB:
      return "MariaDB/MySQL";
  }
  return "";
}

}  // namespace trellick
