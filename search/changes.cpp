#include "search/changes.h"

#include "db/utf8.h"

namespace trellick::search {
namespace {

constexpr int adLongVarChar = 201, adLongVarWChar = 203;

// The column as an equality reads it exactly: SQL Server cannot compare
// text and ntext, MariaDB's usual collations ignore case.
std::string comparable(Engine engine, const ChangeColumn& column) {
  const std::string name = quotedName(column.name, engine);
  if (engine == Engine::SqlServer &&
      (column.type == adLongVarChar || column.type == adLongVarWChar))
    return "cast(" + name + " as nvarchar(max))";
  if (engine == Engine::MariaDB) return "convert(" + name + " using utf8mb4) collate utf8mb4_bin";
  return name;
}

}  // namespace

std::string replacedExpression(const StatementBuilder& builder, const ChangeColumn& column) {
  // The assignment is ",[C]=Replace(...)": its right-hand side.
  const std::string assignment = builder.assignment(column.name, column.type, column.size);
  return assignment.substr(assignment.find('=') + 1);
}

std::string changesQuery(const StatementBuilder& builder, const TableRef& table,
                         const RowIdentity& identity, const std::vector<std::string>& allColumns,
                         const std::vector<ChangeColumn>& columns, std::string_view where,
                         long long limit) {
  const Engine engine = builder.engine();
  const std::vector<std::string>& ids = identity.byValue() ? allColumns : identity.keys;
  std::string select = "select ";
  if (limit > 0 && engine == Engine::SqlServer) select += "top " + std::to_string(limit) + " ";
  std::string list;
  for (const auto& id : ids) list += (list.empty() ? "" : ", ") + quotedName(id, engine);
  for (const auto& c : columns)
    list += (list.empty() ? "" : ", ") + quotedName(c.name, engine) + ", " +
            replacedExpression(builder, c);
  std::string sql =
      select + list + " from " + qualifiedReference(table, engine) + " where " + std::string(where);
  if (!identity.byValue()) {
    std::string order;
    for (const auto& k : identity.keys)
      order += (order.empty() ? "" : ", ") + quotedName(k, engine);
    sql += " order by " + order;
  }
  if (limit > 0 && engine != Engine::SqlServer) sql += " limit " + std::to_string(limit);
  return sql;
}

BoundStatement undoRow(Engine engine, Syntax syntax, const TableRef& table,
                       const std::vector<ChangeColumn>& identityColumns,
                       const std::vector<std::optional<std::string>>& identityValues,
                       const std::vector<ChangeColumn>& changed,
                       const std::vector<std::string>& oldValues,
                       const std::vector<std::string>& newValues, bool inlineValues, bool byValue) {
  BoundStatement out;
  auto value = [&](const std::optional<std::string>& v) -> std::string {
    if (!inlineValues) {
      out.params.push_back(v);
      return "?";
    }
    if (!v) return "null";
    return literalFor(*v, engine, db::hasNonAscii(*v), syntax);
  };
  const std::string target =
      table.schema.empty() ? quotedName(table.name, engine) : qualifiedReference(table, engine);
  std::string sql = "update " + target + " set ";
  for (size_t k = 0; k < changed.size(); ++k)
    sql += (k ? ", " : "") + quotedName(changed[k].name, engine) + " = " + value(oldValues[k]);
  std::string where;
  for (size_t k = 0; k < identityColumns.size(); ++k) {
    const ChangeColumn& c = identityColumns[k];
    const std::optional<std::string>& v = identityValues[k];
    // A changed column is matched by what the run wrote (below), not by the
    // value it had: a key column the replace changed holds the new value,
    // which names the row as well.
    bool isChanged = false;
    for (const auto& ch : changed) isChanged |= ch.name == c.name;
    if (isChanged) continue;
    std::string term;
    if (!byValue) {
      term = quotedName(c.name, engine) + " = " + value(v);
    } else {
      const std::string lhs = comparable(engine, c);
      switch (engine) {
        case Engine::SQLite:
          term = lhs + " is " + value(v);
          break;
        case Engine::PostgreSQL:
          term = lhs + " is not distinct from " + value(v);
          break;
        case Engine::MariaDB:
          term = lhs + " <=> " + value(v);
          break;
        case Engine::SqlServer:
          term = v ? lhs + " = " + value(v) : quotedName(c.name, engine) + " is null";
          break;
      }
    }
    where += (where.empty() ? "" : " and ") + term;
  }
  for (size_t k = 0; k < changed.size(); ++k)
    where += (where.empty() ? "" : " and ") + comparable(engine, changed[k]) + " = " +
             value(newValues[k]);
  sql += " where " + where;
  out.sql = std::move(sql);
  return out;
}

}  // namespace trellick::search
