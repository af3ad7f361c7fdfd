// The four engines' objects, for forDialect() alone.
#pragma once

#include <string_view>

#include "sql/engine_sql.h"

namespace trellick::sql {

const EngineSql& sqlServer();
const EngineSql& sqlite();
const EngineSql& postgresql();
const EngineSql& mariadb();

// Transact-SQL's reserved words, which also keep a name from standing bare
// on the servers that quote every name anyway.
bool isTransactSqlReserved(std::string_view lower);

}  // namespace trellick::sql
