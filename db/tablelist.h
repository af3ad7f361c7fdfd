// The pieces of connecting that are plain text: the connection string kept
// for the record, and which listed tables the operator gets to see.
#pragma once

#include <string>
#include <string_view>

namespace trellick::db {

// The provider-style connection string, values inserted as given.
std::string buildConnectionString(std::string_view user, std::string_view passwordAsTyped,
                                  std::string_view database, std::string_view server);

// False for the desktop database's system and switchboard tables
// ("MSYS..." and "SWITCHBOARD..." in any case).
bool isListedTable(std::string_view name);

}  // namespace trellick::db
