#include "find_fixture.h"

namespace {

// text between two quote characters, the quote doubled inside.
std::string quoted(const std::string& text, char quote) {
  std::string out(1, quote);
  for (char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  return out + quote;
}

std::string quoteIdent(const std::string& name) { return quoted(name, '"'); }

std::string quoteText(const std::string& text) { return quoted(text, '\''); }

// SQLite's quote() of a text value.
std::string unquote(const std::string& quoted) {
  std::string out;
  for (size_t k = 1; k + 1 < quoted.size(); ++k) {
    out += quoted[k];
    if (quoted[k] == '\'') ++k;
  }
  return out;
}

}  // namespace

std::string replaceAllText(const std::string& s, const std::string& find,
                           const std::string& replace) {
  if (find.empty()) return s;
  std::string out;
  size_t from = 0;
  for (size_t at = s.find(find); at != std::string::npos; at = s.find(find, from)) {
    out.append(s, from, at - from);
    out += replace;
    from = at + find.size();
  }
  out.append(s, from, std::string::npos);
  return out;
}

long long FindFixture::countContaining(const std::string& table,
                                       const std::vector<std::string>& columns,
                                       const std::string& text) const {
  std::string where;
  for (const auto& c : columns) {
    if (!where.empty()) where += " or ";
    where += "instr(" + quoteIdent(c) + ", " + quoteText(text) + ") > 0";
  }
  auto rows = testdb::query(path, "select count(*) from " + quoteIdent(table) + " where " + where);
  return std::stoll(rows.at(0).at(0));
}

FindFixture::Dump FindFixture::dump() const {
  Dump out;
  for (const auto& t :
       testdb::query(path,
                     "select name from sqlite_master where type='table' and name not "
                     "like 'sqlite_%'")) {
    const std::string& table = t[0];
    std::string columns;
    for (const auto& c : testdb::query(
             path, "select name from pragma_table_info(" + quoteText(table) + ") order by cid")) {
      if (!columns.empty()) columns += ", ";
      columns += "quote(" + quoteIdent(c[0]) + ")";
    }
    for (auto& row :
         testdb::query(path, "select rowid, " + columns + " from " + quoteIdent(table))) {
      std::string rowid = row[0];
      row.erase(row.begin());
      out[table][rowid] = std::move(row);
    }
  }
  return out;
}

FindFixture::Dump expectedAfterReplace(
    const FindFixture::Dump& before,
    const std::map<std::string, std::map<std::string, int>>& columnIndexes, const std::string& find,
    const std::string& replace) {
  FindFixture::Dump after = before;
  for (auto& [table, rows] : after) {
    auto it = columnIndexes.find(table);
    if (it == columnIndexes.end()) continue;
    for (auto& [rowid, values] : rows) {
      bool matches = false;
      for (const auto& [name, index] : it->second) {
        const std::string& v = values.at(static_cast<size_t>(index));
        if (v != "NULL" && unquote(v).find(find) != std::string::npos) matches = true;
      }
      if (!matches) continue;
      for (const auto& [name, index] : it->second) {
        std::string& v = values.at(static_cast<size_t>(index));
        if (v == "NULL") continue;
        v = quoteText(replaceAllText(unquote(v), find, replace));
      }
    }
  }
  return after;
}
