#include "sql/engine_sql.h"

#include <algorithm>
#include <cctype>

#include "common/utf8.h"
#include "sql/engines.h"

namespace trellick::sql {
namespace {

// Letters outside ASCII that identifiers commonly use; anything else
// outside ASCII is taken as needing quotes, which is always safe.
bool isWideLetter(char32_t cp) {
  return (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) || (cp >= 0x370 && cp <= 0x3FF) ||
         (cp >= 0x400 && cp <= 0x4FF) || (cp >= 0x3040 && cp <= 0x30FF) ||
         (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
         (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFF21 && cp <= 0xFF3A) || (cp >= 0xFF41 && cp <= 0xFF5A);
}

}  // namespace

std::string doubled(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  return out;
}

std::string stringLiteral(std::string_view text, bool national) {
  return (national ? "N'" : "'") + doubled(text, '\'') + "'";
}

bool hasControl(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 && c != '\t' && c != '\n') return true;
  return false;
}

std::string withControls(std::string_view text, std::string (*plain)(std::string_view),
                         std::string (*control)(unsigned char), std::string_view joiner) {
  std::string out = "(";
  bool first = true;
  auto add = [&](const std::string& piece) {
    if (!first) out += joiner;
    out += piece;
    first = false;
  };
  size_t start = 0;
  for (size_t k = 0; k <= text.size(); ++k) {
    const bool end = k == text.size();
    const unsigned char c = end ? 0 : static_cast<unsigned char>(text[k]);
    if (!end && !(c < 0x20 && c != '\t' && c != '\n')) continue;
    if (k > start) add(plain(text.substr(start, k - start)));
    if (!end) add(control(c));
    start = k + 1;
  }
  return out + ")";
}

bool isLongText(int typeCode) { return typeCode == adLongVarChar || typeCode == adLongVarWChar; }

bool isText(int typeCode) {
  switch (typeCode) {
    case adChar:
    case adWChar:
    case adVarChar:
    case adLongVarChar:
    case adVarWChar:
    case adLongVarWChar:
      return true;
    default:
      return false;
  }
}

bool isBinary(int typeCode) {
  return typeCode == adBinary || typeCode == adVarBinary || typeCode == adLongVarBinary;
}

bool isNumeric(int typeCode) {
  switch (typeCode) {
    case adSmallInt:
    case adInteger:
    case adSingle:
    case adDouble:
    case adCurrency:
    case adTinyInt:
    case adUnsignedTinyInt:
    case adBigInt:
    case adNumeric:
    case adVarNumeric:
      return true;
    default:
      return false;
  }
}

const EngineSql& forDialect(Dialect dialect) {
  switch (dialect) {
    case Dialect::SqlServer:
      return sqlServer();
    case Dialect::SQLite:
      return sqlite();
    case Dialect::PostgreSQL:
      return postgresql();
    case Dialect::MariaDB:
      return mariadb();
  }
  return sqlServer();
}

bool EngineSql::isReserved(std::string_view lower) const { return isTransactSqlReserved(lower); }

bool EngineSql::isRegularIdentifier(std::string_view name) const {
  if (name.empty() || name.size() > 128 * 4) return false;
  size_t k = 0;
  bool first = true;
  while (k < name.size()) {
    const char32_t cp = nextCodePoint(name, k);
    const bool letter = (cp < 0x80 && std::isalpha(static_cast<int>(cp))) || isWideLetter(cp);
    const bool ok = first ? (letter || cp == '_')
                          : (letter || cp == '_' || cp == '@' || cp == '$' || cp == '#' ||
                             (cp < 0x80 && std::isdigit(static_cast<int>(cp))));
    if (!ok) return false;
    first = false;
  }
  if (name.find_first_of(notInBareNames()) != std::string_view::npos) return false;
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return !isReserved(lower);
}

std::string EngineSql::tableReference(std::string_view table) const {
  return isRegularIdentifier(table) ? std::string(table) : quotedName(table);
}

std::string EngineSql::qualifiedReference(const TableRef& table) const {
  if (table.schema.empty()) return tableReference(table.name);
  return quotedName(table.schema) + "." + quotedName(table.name);
}

std::string EngineSql::updateTarget(const TableRef& table) const {
  const std::string only(table.hasChildren ? onlyKeyword() : std::string_view());
  return only + (table.schema.empty() ? quotedName(table.name) : qualifiedReference(table));
}

std::string EngineSql::selectTarget(const TableRef& table) const {
  const std::string only(table.hasChildren ? onlyKeyword() : std::string_view());
  return only + qualifiedReference(table);
}

std::string EngineSql::literal(std::string_view text, bool /*national*/, Syntax /*syntax*/) const {
  return stringLiteral(text, false);
}

std::string EngineSql::longTextCast(std::string_view column, int /*typeCode*/) const {
  return quotedName(column);
}

std::string EngineSql::subject(std::string_view column, int typeCode, long long /*definedSize*/,
                               bool /*national*/) const {
  if (isLongText(typeCode)) return longTextCast(column, typeCode);
  return quotedName(column);
}

std::string EngineSql::matchTerm(std::string_view column, int typeCode, long long definedSize,
                                 bool national, std::string_view likeTail) const {
  return subject(column, typeCode, definedSize, national) + " " + std::string(likeTail);
}

std::string EngineSql::newValue(std::string_view column, int typeCode, long long definedSize,
                                bool national, std::string_view findLiteral,
                                std::string_view replaceLiteral) const {
  return "Replace(" + subject(column, typeCode, definedSize, national) + "," +
         std::string(findLiteral) + "," + std::string(replaceLiteral) + ")";
}

std::string EngineSql::columnQuery(const TableRef& table) const {
  return "select * from " + qualifiedReference(table);
}

std::string EngineSql::trailingLimit(long long limit) const {
  return " limit " + std::to_string(limit);
}

std::string RowCapture::read(long long skip, long long limit) const {
  return "select " + columnList + " from " + table + " where seq > " + std::to_string(skip) +
         " order by seq limit " + std::to_string(limit);
}

std::vector<std::string> identityFields(std::string_view identity) {
  std::vector<std::string> fields;
  if (identity.empty()) return fields;
  size_t from = 0;
  for (;;) {
    const size_t at = identity.find(kIdentitySeparator, from);
    fields.emplace_back(identity.substr(from, at == std::string_view::npos ? at : at - from));
    if (at == std::string_view::npos) return fields;
    from = at + 1;
  }
}

EngineSql::Sameness EngineSql::sameDatabase(std::string_view recorded, std::string_view now) const {
  if (recorded.empty() || now.empty()) return Sameness::Unknown;
  return recorded == now ? Sameness::Same : Sameness::Different;
}

}  // namespace trellick::sql

namespace trellick::sql {

int EngineSql::searchedTypeCode(std::string_view /*baseType*/, int driverCode) const {
  return isText(driverCode) ? driverCode : adLongVarChar;
}

std::string notSearchedReason(TypeFamily family) {
  switch (family) {
    case TypeFamily::Text:
      return {};
    case TypeFamily::Binary:
      return "binary";
    case TypeFamily::Members:
      return "holds only its members";
    case TypeFamily::Structured:
      return "structured text, left whole";
    case TypeFamily::Array:
      return "an array";
    case TypeFamily::Cutting:
      return "cuts what it is given";
    case TypeFamily::Other:
      break;
  }
  return "not text";
}

}  // namespace trellick::sql

namespace trellick::sql {

std::string EngineSql::rowsExistQuery(const std::vector<TableRef>& tables) const {
  const std::string stamp = schemaStamp();
  std::string query = "select " + (stamp.empty() ? std::string("null") : stamp);
  // As the column query reads it: a table with children with their rows.
  for (const TableRef& t : tables) {
    const std::string tableStamped = tableStamp(t);
    query += ", case when exists (select 1 from " + qualifiedReference(t) +
             ") then 1 else 0 end, " + (tableStamped.empty() ? std::string("null") : tableStamped);
  }
  return query;
}

}  // namespace trellick::sql
