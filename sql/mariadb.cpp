// MariaDB (and MySQL), through MariaDB Connector/ODBC.
#include <array>
#include <cstdint>

#include "sql/engines.h"

namespace trellick::sql {
namespace {

// A value of more bytes than this is known by its SHA-256 in an image:
// hex() of it could outgrow the server's packet, and is then NULL.
constexpr long long kHexImageBytes = 65536;

// The SHA-256 of `data` in lower-case hex digits, as the server's sha2()
// gives it.
std::string sha256Hex(std::string_view data) {
  static constexpr std::array<uint32_t, 64> k{
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::array<uint32_t, 8> h{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  auto block = [&](const unsigned char* p) {
    std::array<uint32_t, 64> w{};
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 |
             uint32_t(p[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 =
          hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  size_t whole = data.size() / 64 * 64;
  for (size_t at = 0; at < whole; at += 64) block(bytes + at);
  // The tail, a 1 bit, zeros, and the length in bits.
  std::array<unsigned char, 128> tail{};
  const size_t rest = data.size() - whole;
  for (size_t i = 0; i < rest; ++i) tail[i] = bytes[whole + i];
  tail[rest] = 0x80;
  const size_t tailSize = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (size_t at = 0; at < tailSize; at += 64) block(tail.data() + at);
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint32_t word : h)
    for (int shift = 28; shift >= 0; shift -= 4) out += digits[(word >> shift) & 15];
  return out;
}

// A name as a literal that reads the same whether backslashes escape or
// not, for the queries written without the session's sql_mode: each
// backslash as char(92).
std::string nameLiteral(std::string_view name) {
  if (name.find('\\') == std::string_view::npos) return stringLiteral(name, false);
  std::string out = "concat(";
  size_t from = 0;
  for (size_t at = name.find('\\'); at != std::string_view::npos; at = name.find('\\', from)) {
    out += stringLiteral(name.substr(from, at - from), false) + ", char(92), ";
    from = at + 1;
  }
  return out + stringLiteral(name.substr(from), false) + ")";
}

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
           nameLiteral(table.name) +
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
  // Strict for every table, whatever the server's default: a value that
  // no longer fits its column, or a Replace result over the packet (NULL
  // otherwise), fails the statement instead of being cut. The rest of the
  // mode stays, NO_BACKSLASH_ESCAPES included, as sessionQuery() read it.
  std::vector<std::string> sessionSetUp() const override {
    return {
        "set session sql_mode = concat_ws(',', nullif(@@session.sql_mode, ''), "
        "'STRICT_ALL_TABLES')"};
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
  // times by their text. A long value of the long types by its digest:
  // the hex digits of a value over half the packet would not fit one.
  std::string imageOf(std::string_view expression, int typeCode) const override {
    const std::string e(expression);
    if (isNumeric(typeCode) || typeCode == adDBDate || typeCode == adDBTime ||
        typeCode == adDBTimeStamp)
      return "cast(" + e + " as char)";
    if (typeCode == adLongVarChar || typeCode == adLongVarWChar || typeCode == adLongVarBinary)
      return "if(octet_length(" + e + ") > " + std::to_string(kHexImageBytes) +
             ", concat('sha2:', sha2(" + e + ", 256)), hex(" + e + "))";
    return "hex(" + e + ")";
  }
  // The image of a text in utf8mb4, as imageOf() gives it for a column
  // that may hold a long one.
  std::string textImage(std::string_view text) const override {
    if (static_cast<long long>(text.size()) > kHexImageBytes) return "sha2:" + sha256Hex(text);
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
        table.schema.empty() ? std::string("database()") : nameLiteral(table.schema);
    return "select 1 from information_schema.triggers where event_object_schema = " + schema +
           " and event_object_table = binary " + nameLiteral(table.name) + " limit 1";
  }

  // The server by its host, port and id, the database by its name.
  std::vector<std::string> databaseIdentityQueries() const override {
    return {"select @@hostname, @@port, @@server_id, database()"};
  }

  std::string updateRowLimit(long long rows) const override {
    return " limit " + std::to_string(rows);
  }
  // Each column by its own digest: hex() of a value over half the packet
  // would be NULL.
  std::string rowHash(const std::vector<std::string>& columns) const override {
    std::string parts;
    for (const auto& c : columns)
      parts += std::string(parts.empty() ? "" : ", ',', ") + "coalesce(concat('v', md5(" + c +
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

  // A temporary table hides a table of its name: the caller finds a free
  // one.
  std::string tableNamedQuery(const std::string& name) const override {
    return "select 1 from information_schema.tables where table_schema = database() and "
           "table_name = " +
           literal(name, false, {});
  }
  // The hash and its index are declared with the table: an alter would end
  // the transaction.
  std::vector<std::string> makeImagesTable(const std::string& name, const std::string& hash,
                                           const std::string& list,
                                           const std::string& source) const override {
    return {"drop temporary table if exists " + name,
            "create temporary table " + name + " (" + hash + " binary(16), index (" + hash +
                ")) select " + list + " from " + source + " where 1 = 0"};
  }
  std::string dropImagesTable(const std::string& name) const override {
    return "drop temporary table " + name;
  }
  // Both tables have the columns' names.
  std::string joinedAssignment(const std::string& target, const std::string& column,
                               const std::string& value) const override {
    return target + "." + column + " = " + value;
  }
  // A JSON column is longtext to MariaDB, told by the json_valid() check
  // the server gives it; a character column of the binary character set
  // is binary.
  std::string columnTypesQuery(const TableRef& table) const override {
    return columnTypes(table, true);
  }
  // MySQL's JSON is a type of its own, and its catalog of checks names no
  // table.
  std::string columnTypesFallbackQuery(const TableRef& table) const override {
    return columnTypes(table, false);
  }
  std::string notSearchedType(std::string_view base) const override {
    if (base == "char" || base == "varchar" || base == "tinytext" || base == "text" ||
        base == "mediumtext" || base == "longtext")
      return {};
    if (base == "enum" || base == "set") return notSearchedReason(TypeFamily::Members);
    if (base == "json") return notSearchedReason(TypeFamily::Structured);
    if (base == "binary" || base == "varbinary" || base.ends_with("blob"))
      return notSearchedReason(TypeFamily::Binary);
    return notSearchedReason(TypeFamily::Other);
  }
  bool jsonType(std::string_view base) const override { return base == "json"; }
  // The row's hash in hexadecimal: its text orders as its bytes.
  std::string rowOrderText(const std::vector<std::string>& columns) const override {
    return "hex(" + rowHash(columns) + ")";
  }

 private:
  // The tables userTablesQuery() lists, their columns as columnFactsQuery()
  // and columnTypesQuery() give them; the driver describes a column by its
  // type, character set and collation. The catalog's views are read once
  // each: asked per row they would open every table again.
  std::string catalogQuery() const override {
    return "select c.table_schema, c.table_name, c.column_name, concat('type ', c.column_type, "
           "' ', coalesce(c.character_set_name, ''), ' ', coalesce(c.collation_name, '')), case "
           "when c.is_generated = 'ALWAYS' or c.data_type in ('enum', 'set') then 1 else 0 end, "
           "null, c.column_type, case when c.data_type in ('char', 'varchar') and "
           "c.character_set_name = 'binary' then 'binary' when j.constraint_name is not null then "
           "'json' else c.data_type end, case when c.data_type in ('char', 'varchar') then "
           "c.character_maximum_length end, 0, concat(s.columns, ' ', coalesce(n.checks, 0)) from "
           "information_schema.columns c join information_schema.tables t on t.table_schema = "
           "c.table_schema and t.table_name = binary c.table_name join (select table_name, " +
           std::string(kStampColumns) +
           " as columns from information_schema.columns where table_schema = database() group "
           "by binary table_name) s on s.table_name = binary c.table_name left join (select "
           "table_name, "
           "count(*) as checks from information_schema.check_constraints where "
           "constraint_schema = database() group by binary table_name) n on n.table_name = binary "
           "c.table_name left join (select table_name, constraint_name from "
           "information_schema.check_constraints where constraint_schema = database() and "
           "left(check_clause, 11) = 'json_valid(') j on j.table_name = binary c.table_name and "
           "j.constraint_name = c.column_name where c.table_schema = database() and t.table_type "
           "in ('BASE TABLE', 'SYSTEM VERSIONED') order by c.table_name, c.ordinal_position";
  }
  std::string tableStamp(const TableRef& table) const override {
    return "(select concat(" + std::string(kStampColumns) +
           ", ' ', (select count(*) from information_schema.check_constraints where "
           "constraint_schema = database() and table_name = binary " +
           nameLiteral(table.name) +
           ")) from information_schema.columns where table_schema = database() and table_name = "
           "binary " +
           nameLiteral(table.name) + ")";
  }
  // Whatever of a table's columns the catalog's rows depend on.
  static constexpr const char* kStampColumns =
      "group_concat(concat_ws(' ', column_name, column_type, coalesce(character_set_name, ''), "
      "coalesce(collation_name, ''), is_generated) order by ordinal_position separator ',')";

  std::string columnTypes(const TableRef& table, bool jsonChecks) const {
    const std::string schema =
        table.schema.empty() ? std::string("database()") : nameLiteral(table.schema);
    // The constraint's table named by literals: matched to the outer row's
    // columns, the server opens every table of the database for each column,
    // one connection after another.
    const std::string json =
        jsonChecks ? "when exists (select 1 from information_schema.check_constraints k where "
                     "k.constraint_schema = " +
                         schema + " and k.table_name = binary " + nameLiteral(table.name) +
                         " and k.constraint_name = c.column_name and left(k.check_clause, 11) = "
                         "'json_valid(') then 'json' "
                   : "";
    return "select c.column_name, c.column_type, case when c.data_type in ('char', 'varchar') "
           "and c.character_set_name = 'binary' then 'binary' " +
           json +
           "else c.data_type end, case when c.data_type in ('char', 'varchar') then "
           "c.character_maximum_length end from information_schema.columns c where "
           "c.table_schema = " +
           schema + " and c.table_name = binary " + nameLiteral(table.name) +
           " order by c.ordinal_position";
  }
};

}  // namespace

const EngineSql& mariadb() {
  static const MariadbSql engine;
  return engine;
}

}  // namespace trellick::sql
