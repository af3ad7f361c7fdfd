#include "maintenance/shrink.h"

namespace trellick::maintenance {

std::vector<std::string> shrinkStatements(std::string_view database, search::Engine engine,
                                          const std::vector<search::TableRef>& tables) {
  return sql::forDialect(engine).maintenanceStatements(database, tables);
}

}  // namespace trellick::maintenance
