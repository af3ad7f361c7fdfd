// PostgreSQL, through psqlODBC.
#include "sql/engines.h"

namespace trellick::sql {
namespace {

class PostgresqlSql final : public EngineSql {
  static Capabilities ownCapabilities() {
    Capabilities c;
    c.cursors = true;
    return c;
  }

 public:
  PostgresqlSql() : EngineSql(Dialect::PostgreSQL, ownCapabilities()) {}

  std::string quotedName(std::string_view name) const override {
    return "\"" + doubled(name, '"') + "\"";
  }

  // A bare name would be folded to lower case.
  std::string tableReference(std::string_view table) const override { return quotedName(table); }

  // E'...' for text holding a backslash, which reads the same whatever
  // standard_conforming_strings says, or a control character, written as
  // its escape so that psql reads it back as it was.
  std::string literal(std::string_view text, bool, Syntax) const override {
    if (text.find('\\') == std::string_view::npos && !hasControl(text))
      return stringLiteral(text, false);
    static const char* hex = "0123456789abcdef";
    std::string out = "E'";
    for (char c : text) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '\'' || c == '\\')
        out += std::string(2, c);
      else if (u < 0x20 && c != '\t' && c != '\n')
        out += std::string("\\x") + hex[u >> 4] + hex[u & 15];
      else
        out += c;
    }
    return out + "'";
  }

  // A bare "\" is LIKE's own escape character.
  std::string_view likeSpecials() const override { return "%_\\"; }

  // Generated columns, and the types that silently cut what they are
  // given (name keeps 63 bytes, "char" one): neither is searched.
  std::string columnFactsQuery(const TableRef& table) const override {
    return "select attname, 1 from pg_attribute where attrelid = " +
           literal(qualifiedReference(table), false, {}) +
           "::regclass and attnum > 0 and not attisdropped and (attgenerated <> '' or atttypid in "
           "('name'::regtype, '\"char\"'::regtype))";
  }

  std::string uniqueKeysQuery(const TableRef& table, Syntax) const override {
    // Included columns follow the key's in indkey; they do not make it unique.
    const std::string schema =
        table.schema.empty() ? std::string("current_schema()") : literal(table.schema, false, {});
    return "select i.relname, a.attname, case when a.attnotnull then 1 else 0 end from pg_index x "
           "join pg_class i on i.oid = x.indexrelid join pg_class t on t.oid = x.indrelid join "
           "pg_namespace n on n.oid = t.relnamespace cross join lateral unnest(x.indkey::int2[]) "
           "with ordinality k(attnum, position) left join pg_attribute a on a.attrelid = "
           "x.indrelid and a.attnum = k.attnum where n.nspname = " +
           schema + " and t.relname = " + literal(table.name, false, {}) +
           " and x.indisunique and x.indisvalid and x.indpred is null and x.indexprs is null and "
           "k.position <= x.indnkeyatts order by i.relname, k.position";
  }

  std::string userTablesQuery() const override {
    // Ordinary tables and partitions; a partitioned table's rows are its
    // partitions', which would otherwise be searched twice.
    return "select n.nspname, c.relname from pg_class c join pg_namespace n on n.oid = "
           "c.relnamespace where c.relkind = 'r' and n.nspname not in ('pg_catalog', "
           "'information_schema') and n.nspname not like 'pg\\_toast%' and n.nspname not "
           "like 'pg\\_temp%' order by n.nspname, c.relname";
  }

  std::string childrenQuery(const TableRef& table) const override {
    return "select 1 from pg_inherits where inhparent = " +
           literal(qualifiedReference(table), false, {}) + "::regclass limit 1";
  }

  std::string sessionQuery() const override { return "select current_schema()"; }

  std::string lockClause() const override { return " for update"; }

  // Text by its bytes: citext's equality ignores case, a nondeterministic
  // collation more. char(n) keeps its own equality: its trailing spaces are
  // padding, which its value as text (what Replace wrote) has not.
  std::string exactColumn(const std::string& quotedColumn, int typeCode) const override {
    if (typeCode == adChar || typeCode == adWChar) return quotedColumn;
    return "cast(" + quotedColumn + " as text) collate \"C\"";
  }

  std::string declareCursor(std::string_view name, std::string_view query) const override {
    return "declare " + std::string(name) + " no scroll cursor for " + std::string(query);
  }
  std::string fetchCursor(std::string_view name, long long rows) const override {
    return "fetch forward " + std::to_string(rows) + " from " + std::string(name);
  }
  std::string closeCursor(std::string_view name) const override {
    return "close " + std::string(name);
  }

  // Inherited tables' rows are their own tables' to search and restore.
  std::string_view onlyKeyword() const override { return "only "; }

  // The write-ahead log is recycled once a checkpoint has written what it
  // holds; VACUUM frees dead rows' space for reuse without locking tables
  // the way VACUUM FULL would.
  std::vector<std::string> maintenanceStatements(std::string_view,
                                                 const std::vector<TableRef>&) const override {
    return {"checkpoint", "vacuum"};
  }
  // Every type has its text: compared as text, by its bytes.
  std::string imageOf(std::string_view expression, int) const override {
    return "cast(" + std::string(expression) + " as text)";
  }
  std::string typedValue(std::string_view value, int typeCode) const override {
    if (isBinary(typeCode)) return "decode(" + std::string(value) + ", 'hex')";
    return std::string(value);
  }

  // A foreign key's constraint triggers are the server's own.
  std::string ownTriggersQuery(const TableRef& table) const override {
    return "select 1 from pg_trigger where tgrelid = " +
           literal(qualifiedReference(table), false, {}) +
           "::regclass and not tgisinternal limit 1";
  }

  // A row's place in its table: it holds while the transaction keeps the
  // row locked.
  std::string rowLocator() const override { return "ctid"; }
  std::string rowLocatorEquals(const std::string& locator) const override {
    return locator + " = cast(? as tid)";
  }

  // The cluster by its system identifier (by its data directory where the
  // login may not read that), the database by its oid: a database renamed
  // is the same one, one dropped and made again under its name is not.
  std::vector<std::string> databaseIdentityQueries() const override {
    const std::string database =
        ", d.oid::text, d.datname from pg_database d where d.datname = current_database()";
    return {"select 'system ' || (select system_identifier from pg_control_system())" + database,
            "select 'directory ' || current_setting('data_directory')" + database,
            "select 'unknown'" + database};
  }
  Sameness sameDatabase(std::string_view recorded, std::string_view now) const override {
    const auto was = identityFields(recorded), is = identityFields(now);
    if (was.size() != 4 || is.size() != 4) return EngineSql::sameDatabase(recorded, now);
    if (was[0] != is[0] || was[2] != is[2]) return Sameness::Different;
    // Two clusters may both have a database of that oid: where one side
    // could not read the cluster's identity, or read another kind of it,
    // the oid alone proves nothing.
    const auto kind = [](const std::string& cluster) {
      return cluster.substr(0, cluster.find(' '));
    };
    if (kind(was[1]) == "unknown" || kind(was[1]) != kind(is[1])) return Sameness::Unknown;
    return was[1] == is[1] ? Sameness::Same : Sameness::Different;
  }

  // Domains resolved to the type they stand on, however deep; enums,
  // ranges and arrays by their kind, a type outside the system schema by
  // its schema too (an extension's citext wherever it was installed).
  std::string columnTypesQuery(const TableRef& table) const override {
    return "with recursive d(attnum, typ, typmod) as (select attnum, atttypid, atttypmod from "
           "pg_attribute where attrelid = " +
           literal(qualifiedReference(table), false, {}) +
           "::regclass and attnum > 0 and not attisdropped union all select d.attnum, "
           "t.typbasetype, t.typtypmod from d join pg_type t on t.oid = d.typ where t.typtype = "
           "'d') select a.attname, format_type(a.atttypid, a.atttypmod), case when b.typtype = "
           "'e' then 'enum' when b.typtype in ('r', 'm') then 'range' when b.typtype = 'c' then "
           "'composite' when b.typcategory = 'A' then 'array' when n.nspname = 'pg_catalog' then "
           "b.typname else n.nspname || '.' || b.typname end, case when b.typname in ('bpchar', "
           "'varchar') and d.typmod >= 4 then d.typmod - 4 end from pg_attribute a join d on "
           "d.attnum = a.attnum join pg_type b on b.oid = d.typ join pg_namespace n on n.oid = "
           "b.typnamespace where a.attrelid = " +
           literal(qualifiedReference(table), false, {}) +
           "::regclass and b.typtype <> 'd' order by a.attnum";
  }
  std::string notSearchedType(std::string_view base) const override {
    return notSearchedReason(family(base));
  }
  // char(n) as char: its own LIKE sees the padding, which its text has not.
  int searchedTypeCode(std::string_view base, int driverCode) const override {
    if (base == "bpchar") return driverCode == adWChar ? adWChar : adChar;
    if (driverCode == adChar || driverCode == adWChar)
      return driverCode == adWChar ? adVarWChar : adVarChar;
    return EngineSql::searchedTypeCode(base, driverCode);
  }
  // char(n) matched as the text its Replace and strpos() see, the padding
  // left out; every other type as it is.
  std::string matchTerm(std::string_view column, int typeCode, long long definedSize, bool national,
                        std::string_view likeTail) const override {
    if (typeCode == adChar || typeCode == adWChar)
      return "cast(" + quotedName(column) + " as text) " + std::string(likeTail);
    return EngineSql::matchTerm(column, typeCode, definedSize, national, likeTail);
  }
  std::string valueRead(const std::string& quotedColumn, int typeCode) const override {
    return typeCode == adChar || typeCode == adWChar ? "cast(" + quotedColumn + " as text)"
                                                     : quotedColumn;
  }
  bool jsonType(std::string_view base) const override { return base == "json" || base == "jsonb"; }

 private:
  static TypeFamily family(std::string_view base) {
    const size_t dot = base.rfind('.');
    const std::string_view bare = dot == std::string_view::npos ? base : base.substr(dot + 1);
    if (base == "text" || base == "varchar" || base == "bpchar" || bare == "citext")
      return TypeFamily::Text;
    if (base == "bytea") return TypeFamily::Binary;
    if (base == "enum") return TypeFamily::Members;
    if (base == "json" || base == "jsonb" || base == "xml") return TypeFamily::Structured;
    if (base == "array") return TypeFamily::Array;
    // name keeps 63 bytes, "char" one.
    if (base == "name" || base == "char") return TypeFamily::Cutting;
    return TypeFamily::Other;
  }
};

}  // namespace

const EngineSql& postgresql() {
  static const PostgresqlSql engine;
  return engine;
}

}  // namespace trellick::sql
