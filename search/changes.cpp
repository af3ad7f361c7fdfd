#include "search/changes.h"

#include <algorithm>

#include "common/utf8.h"
#include "sql/plan.h"

namespace trellick::search {
namespace {

// The column as an equality reads it exactly, whatever its collation says
// of case, accents or trailing spaces.
std::string comparable(const sql::EngineSql& engine, const ChangeColumn& column) {
  const std::string name = engine.quotedName(column.name);
  return sql::isText(column.type) ? engine.exactColumn(name, column.type) : name;
}

// The value side of the same comparison.
std::string comparableValue(const sql::EngineSql& engine, const ChangeColumn& column,
                            const std::string& value) {
  return sql::isText(column.type) ? engine.exactValue(value, column.type) : value;
}

}  // namespace

std::string changesQuery(const StatementBuilder& builder, const TableRef& table,
                         const RowIdentity& identity, const std::vector<std::string>& allColumns,
                         const std::vector<ChangeColumn>& columns, std::string_view where,
                         long long limit, bool lockRows) {
  std::vector<sql::ColumnChange> changes;
  const sql::EngineSql& engine = sql::forDialect(builder.engine());
  for (const auto& c : columns)
    changes.push_back({c.name, builder.newValue(c.name, c.type, c.size),
                       engine.valueRead(engine.quotedName(c.name), c.type)});
  return sql::changesQuery(sql::forDialect(builder.engine()), table,
                           identity.byValue() ? allColumns : identity.keys, !identity.byValue(),
                           changes, where, limit, lockRows);
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
    names += (k ? ", " : "") + sql::forDialect(engine).quotedName(keys[k]);
    const auto& v = values.at(k);
    std::string literal = "null";
    if (v)
      literal = k < numeric.size() && numeric[k] && isNumberText(*v)
                    ? *v
                    : literalFor(*v, engine, hasNonAscii(*v), syntax);
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
  const sql::EngineSql& dialect = sql::forDialect(engine);
  BoundStatement out;
  auto value = [&](const std::optional<std::string>& v) -> std::string {
    if (!inlineValues) {
      out.params.push_back(v);
      return "?";
    }
    if (!v) return "null";
    return dialect.literal(*v, hasNonAscii(*v), syntax);
  };
  std::string statement = "update " + dialect.updateTarget(table) + " set ";
  for (size_t k = 0; k < changed.size(); ++k)
    statement +=
        (k ? ", " : "") + dialect.quotedName(changed[k].name) + " = " + value(oldValues[k]);
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
      term = dialect.quotedName(c.name) + " = " + value(v);
    } else {
      const std::string lhs = comparable(dialect, c);
      if (!v) {
        term = dialect.quotedName(c.name) + " is null";
      } else {
        term = lhs + " = " + comparableValue(dialect, c, value(v));
      }
    }
    where += (where.empty() ? "" : " and ") + term;
  }
  for (size_t k = 0; k < changed.size(); ++k)
    where += (where.empty() ? "" : " and ") + comparable(dialect, changed[k]) + " = " +
             comparableValue(dialect, changed[k], value(newValues[k]));
  out.sql = statement + " where " + where;
  out.condition = std::move(where);
  return out;
}

namespace {

// Where an image has characters a script's client would not read back, the
// column's image is compared instead of the column itself.
std::string keyTerm(const sql::EngineSql& dialect, const ChangeColumn& column,
                    const std::string& literalImage, bool inScript, Syntax syntax) {
  const std::string name = dialect.quotedName(column.name);
  // A key may hold NULL (SQLite's primary keys but INTEGER): its image is
  // the literal NULL, which no equality holds.
  if (literalImage == "NULL") return name + " is null";
  if (inScript && sql::hasControl(literalImage))
    return dialect.imageOf(name) + " = " +
           dialect.literal(literalImage, hasNonAscii(literalImage), syntax);
  return name + " = " + literalImage;
}

}  // namespace

std::string keyLiteral(const sql::EngineSql& dialect, const ChangeColumn& column,
                       const std::string& value, Syntax syntax) {
  if (sql::isNumeric(column.type) && !value.empty() &&
      value.find_first_not_of("0123456789+-.eE") == std::string::npos &&
      value.find_first_of("0123456789") != std::string::npos)
    return dialect.typedValue(value, column.type);
  return dialect.typedValue(dialect.literal(value, hasNonAscii(value), syntax), column.type);
}

namespace {

// (k1, k2) <op> (v1, v2), op ">" or "<=", each value written as its
// column's literal (as it is with literalBounds). Where the engine has no
// row values, or the key may hold NULLs (literal bounds: SQLite, whose
// order puts them first), spelled out column by column. firstBatch: the
// range starts at the first row, NULLs among them.
std::string keyCompared(Engine engine, Syntax syntax, const std::vector<ChangeColumn>& keys,
                        const std::vector<std::optional<std::string>>& values, std::string_view op,
                        bool literalBounds = false, bool firstBatch = false) {
  const sql::EngineSql& dialect = sql::forDialect(engine);
  std::vector<std::string> names, literals;
  std::vector<bool> nulls;
  bool anyNull = false;
  for (size_t k = 0; k < keys.size(); ++k) {
    const auto& v = values.at(k);
    const bool null = !v || (literalBounds && *v == "NULL");
    names.push_back(dialect.quotedName(keys[k].name));
    literals.push_back(null            ? std::string("null")
                       : literalBounds ? *v
                                       : keyLiteral(dialect, keys[k], *v, syntax));
    nulls.push_back(null);
    anyNull = anyNull || null;
  }
  const bool after = op == ">";
  auto join = [](const std::vector<std::string>& list) {
    std::string out;
    for (const auto& s : list) out += (out.empty() ? "" : ", ") + s;
    return out;
  };
  if (dialect.capabilities().rowValues &&
      (!literalBounds || (keys.size() == 1 && !anyNull && (after || !firstBatch))))
    return "(" + join(names) + ") " + std::string(op) + " (" + join(literals) + ")";
  // Spelled out: past the bound in its first differing column, or (for
  // "<=") before it there or equal in all.
  const bool nullsFirst = literalBounds;
  auto equal = [&](size_t k) {
    return nulls[k] ? names[k] + " is null" : names[k] + " = " + literals[k];
  };
  auto past = [&](size_t k) -> std::string {
    if (nulls[k]) return names[k] + " is not null";
    return names[k] + " > " + literals[k];
  };
  auto before = [&](size_t k) -> std::string {
    if (nulls[k]) return {};  // nothing sorts before a NULL
    const std::string less = names[k] + " < " + literals[k];
    return nullsFirst ? "(" + names[k] + " is null or " + less + ")" : less;
  };
  std::vector<std::string> terms;
  for (size_t k = 0; k < keys.size(); ++k) {
    const bool last = k + 1 == keys.size();
    std::string term = after ? past(k) : before(k);
    if (!after && last) {
      term = nulls[k]     ? equal(k)
             : nullsFirst ? "(" + names[k] + " is null or " + names[k] + " <= " + literals[k] + ")"
                          : names[k] + " <= " + literals[k];
    }
    if (term.empty()) continue;
    for (size_t j = k; j-- > 0;) term = equal(j) + " and " + term;
    terms.push_back(term);
  }
  if (terms.empty()) return "1 = 0";
  std::string out;
  for (const auto& t : terms)
    out += (out.empty() ? "" : " or ") + (terms.size() > 1 ? "(" + t + ")" : t);
  return "(" + out + ")";
}

}  // namespace

std::string pastKey(Engine engine, Syntax syntax, const std::vector<ChangeColumn>& keys,
                    const std::vector<std::optional<std::string>>& values) {
  const sql::EngineSql& dialect = sql::forDialect(engine);
  if (!dialect.capabilities().rowValues) return keyCompared(engine, syntax, keys, values, ">");
  std::string names, literals;
  for (size_t k = 0; k < keys.size(); ++k) {
    names += (k ? ", " : "") + dialect.quotedName(keys[k].name);
    const auto& v = values.at(k);
    literals += (k ? ", " : "") + (v ? keyLiteral(dialect, keys[k], *v, syntax) : "null");
  }
  return "(" + names + ") > (" + literals + ")";
}

std::string rowsByKeyQuery(Engine engine, Syntax syntax, const TableRef& table,
                           const std::vector<ChangeColumn>& keyColumns,
                           const std::vector<std::vector<std::optional<std::string>>>& keys,
                           const std::vector<ChangeColumn>& read,
                           const std::vector<ChangeColumn>& imageColumns) {
  const sql::EngineSql& dialect = sql::forDialect(engine);
  std::string list;
  auto column = [&](const std::string& expression) {
    list += (list.empty() ? "" : ", ") + expression;
  };
  for (const auto& k : keyColumns) column(dialect.keyRead(dialect.quotedName(k.name), k.type));
  for (const auto& c : read) column(dialect.quotedName(c.name));
  for (const auto& c : imageColumns) column(dialect.imageOf(dialect.quotedName(c.name), c.type));
  std::string where;
  for (const auto& values : keys) {
    std::string one;
    for (size_t k = 0; k < keyColumns.size(); ++k) {
      const std::string name = dialect.quotedName(keyColumns[k].name);
      one += (k ? " and " : "") +
             (values[k] ? name + " = " + keyLiteral(dialect, keyColumns[k], *values[k], syntax)
                        : name + " is null");
    }
    where += (where.empty() ? "" : " or ") + (keyColumns.size() > 1 ? "(" + one + ")" : one);
  }
  return "select " + list + " from " + dialect.selectTarget(table) + " where " +
         (where.empty() ? "1 = 0" : where);
}

BoundStatement undoImagedRow(Engine engine, Syntax syntax, const TableRef& table,
                             const ImagedRow& row, bool inlineValues) {
  const sql::EngineSql& dialect = sql::forDialect(engine);
  BoundStatement out;
  auto value = [&](const std::optional<std::string>& v) -> std::string {
    if (!inlineValues) {
      out.params.push_back(v);
      return "?";
    }
    if (!v) return "null";
    return dialect.literal(*v, hasNonAscii(*v), syntax);
  };
  std::string statement = "update " + dialect.updateTarget(table) + " set ";
  for (size_t k = 0; k < row.changed.size(); ++k)
    statement +=
        (k ? ", " : "") + dialect.quotedName(row.changed[k].name) + " = " + value(row.oldValues[k]);
  std::string where;
  auto add = [&](const std::string& term) { where += (where.empty() ? "" : " and ") + term; };
  // The key by its value as the run left it: an index finds the row.
  for (size_t k = 0; k < row.keyColumns.size(); ++k) {
    const ChangeColumn& key = row.keyColumns[k];
    const std::optional<std::string>& left = row.keyValues[k];
    if (!left)
      add(dialect.quotedName(key.name) + " is null");
    else if (row.literalKeys)
      add(keyTerm(dialect, key, *left, inlineValues, syntax));
    else
      add(dialect.quotedName(key.name) + " = " + dialect.typedValue(value(left), key.type));
  }
  for (size_t i = 0; i < row.imageColumns.size(); ++i) {
    const std::string image =
        dialect.imageOf(dialect.quotedName(row.imageColumns[i].name), row.imageColumns[i].type);
    add(row.images[i] ? dialect.imageEquals(image, value(row.images[i])) : image + " is null");
  }
  out.sql = statement + " where " + where;
  out.condition = std::move(where);
  return out;
}

BoundStatement heldBefore(Engine engine, Syntax syntax, const ImagedRow& row, bool inlineValues) {
  const sql::EngineSql& dialect = sql::forDialect(engine);
  BoundStatement out;
  std::string where;
  auto add = [&](const std::string& term) { where += (where.empty() ? "" : " and ") + term; };
  auto bound = [&](const std::string& v) {
    out.params.push_back(v);
    return std::string("?");
  };
  for (size_t k = 0; k < row.keyColumns.size(); ++k) {
    const auto& v = row.keyValues[k];
    const std::string name = dialect.quotedName(row.keyColumns[k].name);
    if (!v)
      add(name + " is null");
    else if (row.literalKeys)
      add(keyTerm(dialect, row.keyColumns[k], *v, true, syntax));
    else if (!inlineValues)
      add(name + " = " + dialect.typedValue(bound(*v), row.keyColumns[k].type));
    else
      add(name + " = " + keyLiteral(dialect, row.keyColumns[k], *v, syntax));
  }
  for (size_t k = 0; k < row.changed.size(); ++k)
    add(comparable(dialect, row.changed[k]) + " = " +
        comparableValue(
            dialect, row.changed[k],
            inlineValues ? dialect.literal(row.oldValues[k], hasNonAscii(row.oldValues[k]), syntax)
                         : bound(row.oldValues[k])));
  out.condition = std::move(where);
  return out;
}

}  // namespace trellick::search

namespace trellick::search {

sql::TablePlan readingPlan(const sql::TablePlan& plan, const std::vector<std::string>& hints,
                           const std::vector<std::string>& patterns) {
  const sql::EngineSql& dialect = sql::forDialect(plan.engine);
  sql::TablePlan out = plan;
  std::vector<StatementBuilder> builders;
  for (const auto& hint : hints) builders.emplace_back(plan.engine, Texts{hint, hint}, plan.syntax);
  for (auto& s : out.searched) {
    const ChangeColumn& c = s.column;
    std::string match;
    for (const auto& b : builders)
      match += (match.empty() ? "" : " or ") + b.matchTerm(c.name, c.type, c.size);
    if (builders.empty())
      match = dialect.quotedName(c.name) + " is not null";
    else if (builders.size() > 1)
      match = "(" + match + ")";
    // Where no literal run is known the engine's expressions spare reading
    // every row; beside a LIKE they only cost (a pattern is slower to test,
    // and a planner that guesses it rare scans the table for every page).
    if (builders.empty() && !patterns.empty())
      if (std::string filter = dialect.patternFilter(c.name, c.type, patterns, plan.syntax);
          !filter.empty())
        match = std::move(filter);
    s.match = std::move(match);
    s.newValue = dialect.quotedName(c.name);
  }
  return out;
}

BoundStatement writeRowByKey(Engine engine, Syntax syntax, const TableRef& table,
                             const std::vector<ChangeColumn>& keyColumns,
                             const std::vector<std::optional<std::string>>& keyValues,
                             const std::vector<ChangeColumn>& changed,
                             const std::vector<std::string>& newValues,
                             const std::vector<std::string>& readValues) {
  // The guarded restore of an undo is this very statement: set the given
  // values where the key and the values last read still hold.
  return undoRow(engine, syntax, table, keyColumns, keyValues, changed, newValues, readValues,
                 false, false);
}

BoundStatement writeRowsByKey(Engine engine, const TableRef& table,
                              const std::vector<ChangeColumn>& keyColumns,
                              const std::vector<ChangeColumn>& changed,
                              const std::vector<RowWrite>& rows,
                              const std::vector<ChangeColumn>& returned,
                              const std::vector<ChangeColumn>& imaged) {
  auto typed = [](const std::vector<ChangeColumn>& list) {
    std::vector<std::pair<std::string, int>> out;
    for (const auto& c : list) out.emplace_back(c.name, c.type);
    return out;
  };
  std::vector<std::string> keys;
  for (const auto& k : keyColumns) keys.push_back(k.name);
  std::vector<std::pair<std::string, int>> columns;
  for (const auto& c : changed) columns.emplace_back(c.name, c.type);
  std::vector<std::vector<std::optional<std::string>>> values;
  for (const auto& row : rows) {
    auto& v = values.emplace_back(row.keyValues);
    v.insert(v.end(), row.newValues.begin(), row.newValues.end());
    v.insert(v.end(), row.readValues.begin(), row.readValues.end());
  }
  auto [sql, params] = sql::forDialect(engine).rowsWriteByKey(table, keys, columns, values,
                                                              typed(returned), typed(imaged));
  BoundStatement out;
  out.sql = std::move(sql);
  out.params = std::move(params);
  return out;
}

}  // namespace trellick::search

namespace trellick::search {

bool batchable(const sql::TablePlan& plan, const std::vector<ChangeColumn>& keys) {
  if (keys.empty()) return false;
  for (const auto& k : keys)
    for (const auto& s : plan.searched)
      if (s.column.name == k.name) return false;
  return true;
}

std::string batchEndQuery(const sql::TablePlan& plan, const std::vector<ChangeColumn>& keys,
                          const std::optional<std::vector<std::optional<std::string>>>& after,
                          long long batchRows, bool literalBounds) {
  const sql::EngineSql& dialect = sql::forDialect(plan.engine);
  std::string list, order;
  for (const auto& k : keys) {
    const std::string name = dialect.quotedName(k.name);
    list += (list.empty() ? "" : ", ") +
            (literalBounds ? dialect.imageOf(name, k.type) : dialect.keyRead(name, k.type));
    order += (order.empty() ? "" : ", ") + name;
  }
  std::string where = plan.condition();
  if (after)
    where = "(" + where + ") and " +
            keyCompared(plan.engine, plan.syntax, keys, *after, ">", literalBounds);
  return "select " + list + " from " + dialect.selectTarget(plan.table) + " where " + where +
         " order by " + order + dialect.oneRowAfter(std::max(0LL, batchRows - 1));
}

sql::TablePlan batchPlan(const sql::TablePlan& plan, const std::vector<ChangeColumn>& keys,
                         const std::optional<std::vector<std::optional<std::string>>>& after,
                         const std::optional<std::vector<std::optional<std::string>>>& upTo,
                         bool literalBounds) {
  sql::TablePlan out = plan;
  std::string range;
  if (after) range = keyCompared(plan.engine, plan.syntax, keys, *after, ">", literalBounds);
  if (upTo)
    range += (range.empty() ? "" : " and ") + keyCompared(plan.engine, plan.syntax, keys, *upTo,
                                                          "<=", literalBounds, !after.has_value());
  out.range = range;
  return out;
}

}  // namespace trellick::search
