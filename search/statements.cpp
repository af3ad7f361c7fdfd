#include "search/statements.h"

#include <cctype>

#include "common/utf8.h"

namespace trellick::search {

std::optional<Group> searchGroup(int typeCode) {
  switch (typeCode) {
    case sql::adChar:
    case sql::adWChar:
    case sql::adVarNumeric:
    case sql::adVarChar:
    case sql::adVarWChar:
      return Group::Plain;
    case sql::adLongVarChar:
    case sql::adLongVarWChar:
      return Group::LongText;
    default:
      return std::nullopt;
  }
}

bool isSearchable(int typeCode, long long definedSize, long long searchLength) {
  return searchGroup(typeCode).has_value() && definedSize >= searchLength;
}

long long characterCount(std::string_view utf8) {
  long long n = 0;
  for (size_t k = 0; k < utf8.size(); ++n) nextCodePoint(utf8, k);
  return n;
}

bool isRegularIdentifier(std::string_view name, Engine engine) {
  return sql::forDialect(engine).isRegularIdentifier(name);
}

std::string bracketed(std::string_view name) {
  return sql::forDialect(Engine::SqlServer).quotedName(name);
}

std::string quotedName(std::string_view name, Engine engine) {
  return sql::forDialect(engine).quotedName(name);
}

std::string tableReference(std::string_view table, Engine engine) {
  return sql::forDialect(engine).tableReference(table);
}

std::string literalFor(std::string_view text, Engine engine, bool national, Syntax syntax) {
  return sql::forDialect(engine).literal(text, national, syntax);
}

std::string stringLiteral(std::string_view text, bool national) {
  return sql::stringLiteral(text, national);
}

std::string columnQuery(std::string_view table, Engine engine) {
  return "select * from " + tableReference(table, engine);
}

std::string qualifiedReference(const TableRef& table, Engine engine) {
  return sql::forDialect(engine).qualifiedReference(table);
}

std::string columnQueryOf(const TableRef& table, Engine engine) {
  return sql::forDialect(engine).columnQuery(table);
}

bool declaresLength(std::string_view declaredType) {
  const size_t open = declaredType.find('(');
  if (open == std::string_view::npos) return false;
  size_t k = open + 1;
  while (k < declaredType.size() && declaredType[k] == ' ') ++k;
  return k < declaredType.size() && std::isdigit(static_cast<unsigned char>(declaredType[k]));
}

std::string columnFactsQuery(const TableRef& table, Engine engine) {
  return sql::forDialect(engine).columnFactsQuery(table);
}

std::string uniqueKeysQuery(const TableRef& table, Engine engine, Syntax syntax) {
  return sql::forDialect(engine).uniqueKeysQuery(table, syntax);
}

std::string userTablesQuery(Engine engine) { return sql::forDialect(engine).userTablesQuery(); }

StatementBuilder::StatementBuilder(Engine engine, Texts texts, Syntax syntax)
    : engine_(engine), texts_(std::move(texts)), syntax_(syntax), sql_(sql::forDialect(engine)) {
  national_ = sql_.needsNational(texts_.find, texts_.replace);
  // LIKE takes "%" and "_" (and on SQL Server "[") as wildcards; when the
  // search text holds one, it is escaped with "\" and the term says so.
  // PostgreSQL and MariaDB also take a bare "\" as their escape character.
  const std::string_view wild = sql_.likeSpecials();
  const bool escape = texts_.find.find_first_of(wild) != std::string::npos;
  std::string pattern = "%";
  for (char c : texts_.find) {
    if (escape && (c == '\\' || wild.find(c) != std::string_view::npos)) pattern += '\\';
    pattern += c;
  }
  pattern += '%';
  likeTail_ = "like " + sql_.literal(pattern, national_, syntax_);
  if (escape) likeTail_ += " escape " + sql_.literal("\\", false, syntax_);
}

std::string StatementBuilder::literal(std::string_view text) const {
  return sql_.literal(text, national_, syntax_);
}

std::string StatementBuilder::columnQuery(const TableRef& table) const {
  return sql_.columnQuery(table);
}

std::string StatementBuilder::matchTerm(std::string_view column, int typeCode,
                                        long long definedSize) const {
  return sql_.matchTerm(column, typeCode, definedSize, national_, likeTail_);
}

std::string StatementBuilder::newValue(std::string_view column, int typeCode,
                                       long long definedSize) const {
  return sql_.newValue(column, typeCode, definedSize, national_, literal(texts_.find),
                       literal(texts_.replace));
}

std::string StatementBuilder::whereTerm(std::string_view column, int typeCode,
                                        long long definedSize) const {
  return " or " + matchTerm(column, typeCode, definedSize);
}

std::string StatementBuilder::assignment(std::string_view column, int typeCode,
                                         long long definedSize) const {
  return "," + sql_.quotedName(column) + "=" + newValue(column, typeCode, definedSize);
}

std::string StatementBuilder::updateStatement(const TableRef& table, std::string_view set,
                                              std::string_view where) const {
  return "Update " + sql_.updateTarget(table) + " set " + std::string(set) + " where " +
         std::string(where);
}

std::string StatementBuilder::countStatement(const TableRef& table, std::string_view where) const {
  return "select count(*) from " + sql_.selectTarget(table) + " where " + std::string(where);
}

}  // namespace trellick::search
