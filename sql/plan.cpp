#include "sql/plan.h"

namespace trellick::sql {
namespace {

template <class Item, class Text>
std::string joined(const std::vector<Item>& items, std::string_view separator, Text text) {
  std::string out;
  for (const Item& item : items) out += (out.empty() ? "" : std::string(separator)) + text(item);
  return out;
}

}  // namespace

std::vector<ChangeColumn> TablePlan::searchedColumns() const {
  std::vector<ChangeColumn> out;
  for (const auto& s : searched) out.push_back(s.column);
  return out;
}

TablePlan TablePlan::textOnly() const {
  const EngineSql& sql = forDialect(engine);
  TablePlan out = *this;
  for (auto& s : out.searched) {
    s.match = sql.textOnlyMatch(s.column.name, s.match);
    s.newValue = sql.textOnlyValue(s.column.name, s.newValue);
  }
  return out;
}

std::string TablePlan::condition() const {
  const std::string terms =
      joined(searched, " or ", [](const SearchedColumn& s) { return s.match; });
  return range.empty() ? terms : "(" + terms + ") and " + range;
}

std::string TablePlan::countStatement() const {
  return "select count(*) from " + forDialect(engine).selectTarget(table) + " where " + condition();
}

std::string TablePlan::updateStatement() const {
  const EngineSql& sql = forDialect(engine);
  return "Update " + sql.updateTarget(table) + " set " +
         joined(searched, ",",
                [&](const SearchedColumn& s) {
                  return sql.quotedName(s.column.name) + "=" + s.newValue;
                }) +
         " where " + condition();
}

std::string TablePlan::changesQuery(long long limit, bool lockRows,
                                    std::optional<std::string_view> after) const {
  std::vector<std::string> ids = key;
  if (ids.empty())
    for (const auto& c : columns) ids.push_back(c.name);
  std::vector<ColumnChange> changes;
  const EngineSql& sql = forDialect(engine);
  for (const auto& s : searched)
    changes.push_back(
        {s.column.name, s.newValue, sql.valueRead(sql.quotedName(s.column.name), s.column.type)});
  const std::string where = after ? "(" + condition() + ")" + std::string(*after) : condition();
  std::vector<int> types;
  for (const auto& id : ids) {
    int type = 0;
    for (const auto& c : columns)
      if (c.name == id) type = c.type;
    types.push_back(type);
  }
  return sql::changesQuery(forDialect(engine), table, ids, !key.empty(), changes, where, limit,
                           lockRows, key.empty() ? std::vector<int>{} : types);
}

std::string TablePlan::changesPageByContent(long long limit, const std::string& from,
                                            long long skip) const {
  const EngineSql& sql = forDialect(engine);
  std::vector<std::string> names;
  for (const auto& c : columns) names.push_back(sql.quotedName(c.name));
  const std::string order = sql.rowOrderText(names);
  // The page's own end and order after the query's: nothing cut from it.
  std::string list;
  for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
  for (const auto& s : searched)
    list += ", " + sql.valueRead(sql.quotedName(s.column.name), s.column.type) + ", " + s.newValue;
  std::string out = "select " + list + ", " + order + " from " + sql.selectTarget(table) +
                    sql.lockHint() + " where (" + condition() + ")";
  if (!from.empty()) out += " and " + order + " >= " + sql.literal(from, false, syntax);
  return out + " order by " + order + sql.pageLimit(limit, skip) + sql.lockClause();
}

std::string changesQuery(const EngineSql& engine, const TableRef& table,
                         const std::vector<std::string>& ids, bool orderByIds,
                         const std::vector<ColumnChange>& columns, std::string_view condition,
                         long long limit, bool lockRows, const std::vector<int>& idTypes) {
  auto quoted = [&](const std::string& name) { return engine.quotedName(name); };
  std::string list;
  for (size_t k = 0; k < ids.size(); ++k)
    list += (k ? ", " : "") +
            (k < idTypes.size() ? engine.keyRead(quoted(ids[k]), idTypes[k]) : quoted(ids[k]));
  for (const auto& c : columns)
    list += (list.empty() ? "" : ", ") + (c.before.empty() ? quoted(c.name) : c.before) + ", " +
            c.newValue;
  std::string sql = "select " + (limit > 0 ? engine.selectLimit(limit) : std::string()) + list +
                    " from " + engine.selectTarget(table);
  if (lockRows) sql += engine.lockHint();
  sql += " where " + std::string(condition);
  if (orderByIds) sql += " order by " + joined(ids, ", ", quoted);
  if (limit > 0) sql += engine.trailingLimit(limit);
  if (lockRows) sql += engine.lockClause();
  return sql;
}

}  // namespace trellick::sql
