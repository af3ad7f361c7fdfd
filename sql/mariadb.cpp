// MariaDB (and MySQL), through MariaDB Connector/ODBC.
#include "sql/engines.h"

namespace trellick::sql {
namespace {

class MariadbSql final : public EngineSql {
 public:
  MariadbSql() : EngineSql(Dialect::MariaDB, Capabilities{}) {}

  std::string quotedName(std::string_view name) const override {
    return "`" + doubled(name, '`') + "`";
  }

  std::string tableReference(std::string_view table) const override { return quotedName(table); }

  // A backslash starts an escape unless sql_mode holds NO_BACKSLASH_ESCAPES.
  // A carriage return (which the client would drop), a backspace and a
  // ^Z as their escapes while backslashes escape, as char() otherwise.
  std::string literal(std::string_view text, bool, Syntax syntax) const override {
    const bool controls = hasControl(text);
    if (!syntax.backslashEscapes) {
      if (!controls) return stringLiteral(text, false);
      return "concat" +
             withControls(
                 text, [](std::string_view p) { return stringLiteral(p, false); },
                 [](unsigned char c) { return "char(" + std::to_string(c) + " using utf8mb4)"; },
                 ", ");
    }
    if (text.find('\\') == std::string_view::npos && !controls) return stringLiteral(text, false);
    std::string out = "'";
    for (char c : text) {
      if (c == '\'' || c == '\\')
        out += std::string(2, c);
      else if (c == '\r')
        out += "\\r";
      else if (c == '\b')
        out += "\\b";
      else if (c == 26)
        out += "\\Z";
      else if (c == 0)
        out += "\\0";
      else
        out += c;
    }
    return out + "'";
  }

  // The stock client speaks latin1 and stops at the first character
  // outside it.
  std::vector<std::string> scriptSetUp() const override { return {"SET NAMES utf8mb4"}; }

  std::string_view likeSpecials() const override { return "%_\\"; }

  // Its LIKE follows the column's collation, mostly blind to case and
  // accents, while its Replace is not: compared character by character in
  // the binary collation (a latin1 column converted first), a count is the
  // number of records a replace changes.
  std::string matchTerm(std::string_view column, int, long long, bool,
                        std::string_view likeTail) const override {
    return "convert(" + quotedName(column) + " using utf8mb4) collate utf8mb4_bin " +
           std::string(likeTail);
  }

  // Also ENUM and SET columns, which its driver describes as char but which
  // can only hold their members.
  std::string columnFactsQuery(const TableRef& table) const override {
    return "select column_name, 1 from information_schema.columns where table_schema = "
           "database() and table_name = binary " +
           literal(table.name, false, {}) +
           " and (is_generated = 'ALWAYS' or data_type in ('enum', 'set'))";
  }

  std::string uniqueKeysQuery(const TableRef& table, Syntax syntax) const override {
    const std::string schema =
        table.schema.empty() ? std::string("database()") : literal(table.schema, false, syntax);
    return "select index_name, column_name, case when nullable = '' then 1 else 0 end from "
           "information_schema.statistics where table_schema = " +
           schema + " and table_name = binary " + literal(table.name, false, syntax) +
           " and non_unique = 0 order by index_name, seq_in_index";
  }

  std::string userTablesQuery() const override {
    return "select table_schema, table_name from information_schema.tables where table_schema "
           "= database() and table_type in ('BASE TABLE', 'SYSTEM VERSIONED') order by "
           "table_name";
  }

  // Databases stand where the others have schemas.
  std::string sessionQuery() const override { return "select database(), @@sql_mode"; }
  Syntax sessionSyntax(std::string_view sqlMode) const override {
    return Syntax{sqlMode.find("NO_BACKSLASH_ESCAPES") == std::string_view::npos};
  }
  // A cancel does not reach a statement waiting inside a trigger: the
  // server ends it instead. MySQL has no such variable.
  std::string serverTimeout(int seconds) const override {
    return "set session max_statement_time = " + std::to_string(seconds);
  }

  std::string lockClause() const override { return " for update"; }

  std::string textAsBytes(const std::string& expression) const override {
    return "cast(convert(" + expression + " using utf8mb4) as binary)";
  }

  // A rebuilt table gives back the space of deleted and shortened rows; the
  // binary log is never purged, since replicas and point-in-time backups
  // read it.
  std::vector<std::string> maintenanceStatements(
      std::string_view, const std::vector<TableRef>& tables) const override {
    std::vector<std::string> out;
    for (const auto& table : tables)
      out.push_back("alter table " + qualifiedReference(table) + " force");
    return out;
  }
  // Text and bytes by their bytes, whatever the collation; numbers and
  // times by their text.
  std::string imageOf(std::string_view expression, int typeCode) const override {
    const std::string e(expression);
    if (isNumeric(typeCode) || typeCode == adDBDate || typeCode == adDBTime ||
        typeCode == adDBTimeStamp)
      return "cast(" + e + " as char)";
    return "hex(" + e + ")";
  }
  // hex() of a text in utf8mb4.
  std::string textImage(std::string_view text) const override {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
      out += digits[c >> 4];
      out += digits[c & 15];
    }
    return out;
  }
  std::string keyRead(const std::string& quotedName, int typeCode) const override {
    return isBinary(typeCode) ? "hex(" + quotedName + ")" : quotedName;
  }
  // A float key compared with a double would never be equal.
  std::string typedValue(std::string_view value, int typeCode) const override {
    const std::string v(value);
    if (isBinary(typeCode)) return "unhex(" + v + ")";
    if (typeCode == adSingle) return "cast(" + v + " as float)";
    if (typeCode == adDouble) return "cast(" + v + " as double)";
    return v;
  }

  std::string ownTriggersQuery(const TableRef& table) const override {
    const std::string schema =
        table.schema.empty() ? std::string("database()") : literal(table.schema, false, {});
    return "select 1 from information_schema.triggers where event_object_schema = " + schema +
           " and event_object_table = binary " + literal(table.name, false, {}) + " limit 1";
  }

  // The server by its host, port and id, the database by its name.
  std::vector<std::string> databaseIdentityQueries() const override {
    return {"select @@hostname, @@port, @@server_id, database()"};
  }

  std::string updateRowLimit(long long rows) const override {
    return " limit " + std::to_string(rows);
  }
  std::string rowHash(const std::vector<std::string>& columns) const override {
    std::string parts;
    for (const auto& c : columns)
      parts += std::string(parts.empty() ? "" : ", ',', ") + "coalesce(concat('v', hex(" + c +
               ")), 'n')";
    return "unhex(md5(concat(" + parts + ")))";
  }
  std::string nullSafeEquals(const std::string& a, const std::string& b) const override {
    return a + " <=> " + b;
  }
  // The target first, each of its rows finding its image by the index.
  std::string joinedUpdate(const std::string& target, const std::string& other,
                           const std::string& on, const std::string& assignments) const override {
    return "update " + target + " straight_join " + other + " on " + on + " set " + assignments;
  }
};

}  // namespace

const EngineSql& mariadb() {
  static const MariadbSql engine;
  return engine;
}

}  // namespace trellick::sql
