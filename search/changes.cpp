#include "search/changes.h"

#include "db/utf8.h"

namespace trellick::search {
namespace {

bool isText(int type) {
  switch (type) {
    case 129:  // char
    case 130:  // nchar
    case 200:  // varchar
    case 201:  // text
    case 202:  // nvarchar
    case 203:  // ntext
      return true;
    default:
      return false;
  }
}

// Text as its bytes: SQL Server's and MariaDB's usual collations ignore
// case and trailing spaces (SQL Server reads text and ntext as UTF-16 so).
std::string asBytes(Engine engine, const std::string& expression) {
  switch (engine) {
    case Engine::SqlServer:
      return "cast(cast(" + expression + " as nvarchar(max)) as varbinary(max))";
    case Engine::MariaDB:
      return "cast(convert(" + expression + " using utf8mb4) as binary)";
    case Engine::SQLite:
    case Engine::PostgreSQL:
      return expression;
  }
  return expression;
}

// The column as an equality reads it exactly; a SQLite column may declare
// NOCASE.
std::string comparable(Engine engine, const ChangeColumn& column) {
  const std::string name = quotedName(column.name, engine);
  if (!isText(column.type)) return name;
  if (engine == Engine::SQLite) return name + " collate binary";
  return asBytes(engine, name);
}

// The value side of the same comparison.
std::string comparableValue(Engine engine, const ChangeColumn& column, const std::string& value) {
  return isText(column.type) ? asBytes(engine, value) : value;
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
                         long long limit, bool lockRows) {
  const Engine engine = builder.engine();
  const std::vector<std::string>& ids = identity.byValue() ? allColumns : identity.keys;
  std::string select = "select ";
  if (limit > 0 && engine == Engine::SqlServer) select += "top " + std::to_string(limit) + " ";
  std::string list;
  for (const auto& id : ids) list += (list.empty() ? "" : ", ") + quotedName(id, engine);
  for (const auto& c : columns)
    list += (list.empty() ? "" : ", ") + quotedName(c.name, engine) + ", " +
            replacedExpression(builder, c);
  std::string sql = select + list + " from " + qualifiedReference(table, engine);
  // Held to the end of the transaction, and the range too: a row that
  // comes to match meanwhile would be changed without being journaled.
  if (lockRows && engine == Engine::SqlServer) sql += " with (updlock, holdlock)";
  sql += " where " + std::string(where);
  if (!identity.byValue()) {
    std::string order;
    for (const auto& k : identity.keys)
      order += (order.empty() ? "" : ", ") + quotedName(k, engine);
    sql += " order by " + order;
  }
  if (limit > 0 && engine != Engine::SqlServer) sql += " limit " + std::to_string(limit);
  if (lockRows && (engine == Engine::PostgreSQL || engine == Engine::MariaDB)) sql += " for update";
  return sql;
}

std::string sqliteVirtualTableQuery(const TableRef& table) {
  return "select 1 from " +
         quotedName(table.schema.empty() ? "main" : table.schema, Engine::SQLite) +
         ".sqlite_master where type = 'table' and name = " +
         literalFor(table.name, Engine::SQLite) +
         " and upper(substr(sql, 1, 20)) = 'CREATE VIRTUAL TABLE'";
}

RowCapture sqliteRowCapture(const TableRef& table, const std::vector<std::string>& keys,
                            const std::vector<ChangeColumn>& columns) {
  constexpr const char* kTable = "temp.trellick_kept";
  constexpr const char* kTrigger = "temp.trellick_keep";
  RowCapture out;
  std::string values;
  int n = 0;
  auto add = [&](const std::string& expression) {
    out.columnList += (n ? ", v" : "v") + std::to_string(n + 1);
    values += ", " + expression;
    ++n;
  };
  for (const auto& k : keys) add("old." + quotedName(k, Engine::SQLite));
  for (const auto& c : columns) {
    add("old." + quotedName(c.name, Engine::SQLite));
    add("new." + quotedName(c.name, Engine::SQLite));
  }
  // Left by a run that could not end its own: its rows are not this one's.
  out.setUp.push_back(std::string("drop trigger if exists ") + kTrigger);
  out.setUp.push_back(std::string("drop table if exists ") + kTable);
  // Columns without a type keep each value as it was, text or number.
  out.setUp.push_back(std::string("create table ") + kTable + "(seq integer primary key, " +
                      out.columnList + ")");
  const std::string schema = table.schema.empty() ? "main" : table.schema;
  out.setUp.push_back(std::string("create temp trigger trellick_keep after update on ") +
                      quotedName(schema, Engine::SQLite) + "." +
                      quotedName(table.name, Engine::SQLite) +
                      // A trigger's statements take no schema: the temporary
                      // table comes first by name.
                      " begin insert into trellick_kept values(null" + values + "); end");
  out.tearDown = {std::string("drop trigger ") + kTrigger, std::string("drop table ") + kTable};
  return out;
}

std::string RowCapture::read(long long skip, long long limit) const {
  return "select " + columnList + " from temp.trellick_kept where seq > " + std::to_string(skip) +
         " order by seq limit " + std::to_string(limit);
}

std::string pastKey(Engine engine, Syntax syntax, const std::vector<std::string>& keys,
                    const std::vector<std::optional<std::string>>& values,
                    const std::vector<bool>& numeric) {
  auto isNumberText = [](const std::string& v) {
    return !v.empty() && v.find_first_not_of("0123456789+-.eE") == std::string::npos &&
           v.find_first_of("0123456789") != std::string::npos;
  };
  std::string names, literals;
  for (size_t k = 0; k < keys.size(); ++k) {
    names += (k ? ", " : "") + quotedName(keys[k], engine);
    const auto& v = values.at(k);
    std::string literal = "null";
    if (v)
      literal = k < numeric.size() && numeric[k] && isNumberText(*v)
                    ? *v
                    : literalFor(*v, engine, db::hasNonAscii(*v), syntax);
    literals += (k ? ", " : "") + literal;
  }
  return "(" + names + ") > (" + literals + ")";
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
      if (!v) {
        term = quotedName(c.name, engine) + " is null";
      } else {
        term = lhs + " = " + comparableValue(engine, c, value(v));
      }
    }
    where += (where.empty() ? "" : " and ") + term;
  }
  for (size_t k = 0; k < changed.size(); ++k)
    where += (where.empty() ? "" : " and ") + comparable(engine, changed[k]) + " = " +
             comparableValue(engine, changed[k], value(newValues[k]));
  sql += " where " + where;
  out.sql = std::move(sql);
  return out;
}

}  // namespace trellick::search
