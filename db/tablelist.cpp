#include "db/tablelist.h"

#include <cctype>

namespace trellick::db {
namespace {

// Compares the first prefix.size() characters of name (or all of a
// shorter name) with prefix, ignoring ASCII case.
bool hasPrefixNoCase(std::string_view name, std::string_view upperPrefix) {
  std::string_view head = name.substr(0, upperPrefix.size());
  if (head.size() != upperPrefix.size()) return false;
  for (size_t i = 0; i < head.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(head[i])) != upperPrefix[i]) return false;
  return true;
}

}  // namespace

std::string buildConnectionString(std::string_view user, std::string_view passwordAsTyped,
                                  std::string_view database, std::string_view server) {
  std::string cn = "Provider=SQLOLEDB.1;Persist Security Info=True;User ID=";
  cn += user;
  cn += ";Password=";
  cn += passwordAsTyped;
  cn += ";Initial Catalog=";
  cn += database;
  cn += ";Data Source=";
  cn += server;
  return cn;
}

bool isListedTable(std::string_view name) {
  return !hasPrefixNoCase(name, "MSYS") && !hasPrefixNoCase(name, "SWITCHBOARD");
}

}  // namespace trellick::db
