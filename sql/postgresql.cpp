// PostgreSQL, through psqlODBC.
#include <cctype>
#include <optional>

#include "sql/engines.h"

namespace trellick::sql {
namespace {

// A PCRE2 pattern (UTF-8, Unicode classes, as the row rewriter compiles it)
// as one of PostgreSQL's regular expressions that matches every text the
// pattern matches somewhere, and may match more: a filter of the rows to
// read, never the judge of a match. What the two read alike is kept (text,
// groups, alternatives, counted repeats, plain ASCII classes); what they
// may read apart is widened: every other class or escape of one character
// to ".", which here takes any character, a newline too; a back reference
// to any text; anchors, word boundaries and lookarounds dropped (a pattern
// without an assertion matches wherever it matched with it, and a string
// inside serialized data is matched apart from the value around it).
// nullopt where a part is not understood: options, verbs, quoting, octal
// escapes, recursion, conditions.
std::optional<std::string> widenedPattern(std::string_view p) {
  std::string out;
  size_t i = 0;
  int depth = 0;
  bool atom = false;  // whether the last thing written takes a quantifier
  auto isAsciiAlnum = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  auto skipGroup = [&](size_t from) -> std::optional<size_t> {
    // Past the ")" closing the group whose contents start at `from`.
    int level = 1;
    for (size_t j = from; j < p.size(); ++j) {
      if (p[j] == '\\') {
        ++j;
      } else if (p[j] == '[') {
        size_t k = j + 1;
        if (k < p.size() && p[k] == '^') ++k;
        if (k < p.size() && p[k] == ']') ++k;
        for (; k < p.size() && p[k] != ']'; ++k)
          if (p[k] == '\\') ++k;
        if (k >= p.size()) return std::nullopt;
        j = k;
      } else if (p[j] == '(') {
        ++level;
      } else if (p[j] == ')' && --level == 0) {
        return j + 1;
      }
    }
    return std::nullopt;
  };
  while (i < p.size()) {
    const char c = p[i];
    if (c == '\\') {
      if (i + 1 >= p.size()) return std::nullopt;
      const char e = p[i + 1];
      i += 2;
      if (static_cast<unsigned char>(e) >= 0x80) return std::nullopt;
      if (!isAsciiAlnum(e)) {
        out += '\\';
        out += e;
        atom = true;
        continue;
      }
      switch (e) {
        case 'd':
        case 'D':
        case 'w':
        case 'W':
        case 's':
        case 'S':
        case 'h':
        case 'H':
        case 'v':
        case 'V':
        case 'N':
          out += '.';
          atom = true;
          break;
        case 't':
        case 'n':
        case 'r':
        case 'f':
        case 'e':
        case 'a':
          out += '\\';
          out += e;
          atom = true;
          break;
        case 'x':
          // \xhh or \x{h...}: one character.
          if (i < p.size() && p[i] == '{') {
            const size_t close = p.find('}', i);
            if (close == std::string_view::npos) return std::nullopt;
            i = close + 1;
          } else {
            for (int n = 0;
                 n < 2 && i < p.size() && std::isxdigit(static_cast<unsigned char>(p[i])); ++n)
              ++i;
          }
          out += '.';
          atom = true;
          break;
        case 'p':
        case 'P':
          // \pL or \p{...}: one character of a property.
          if (i < p.size() && p[i] == '{') {
            const size_t close = p.find('}', i);
            if (close == std::string_view::npos) return std::nullopt;
            i = close + 1;
          } else if (i < p.size()) {
            ++i;
          } else {
            return std::nullopt;
          }
          out += '.';
          atom = true;
          break;
        case 'b':
        case 'B':
        case 'A':
        case 'z':
        case 'Z':
        case 'G':
          atom = false;
          break;
        default:
          // \1..\9 alone: a back reference, any text; \10 and more may be octal.
          if (e >= '1' && e <= '9' &&
              (i >= p.size() || !std::isdigit(static_cast<unsigned char>(p[i])))) {
            out += "(?:.*)";
            atom = true;
            break;
          }
          return std::nullopt;
      }
      continue;
    }
    if (c == '[') {
      size_t j = i + 1;
      const bool negated = j < p.size() && p[j] == '^';
      if (negated) ++j;
      const size_t first = j;
      if (j < p.size() && p[j] == ']') ++j;
      bool plain = true;
      for (; j < p.size() && p[j] != ']'; ++j) {
        if (p[j] == '\\') {
          plain = false;
          ++j;
        } else if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
          const size_t close = p.find(":]", j + 2);
          if (close == std::string_view::npos) return std::nullopt;
          plain = false;
          j = close + 1;
        }
      }
      if (j >= p.size()) return std::nullopt;
      const std::string_view inside = p.substr(first, j - first);
      // Letters, digits, "_" and ranges of one kind read alike in both.
      for (size_t k = 0; plain && k < inside.size(); ++k) {
        const char x = inside[k];
        if (x == '-') {
          const bool range = k > 0 && k + 1 < inside.size() && isAsciiAlnum(inside[k - 1]) &&
                             isAsciiAlnum(inside[k + 1]) && inside[k - 1] <= inside[k + 1] &&
                             std::isdigit(static_cast<unsigned char>(inside[k - 1])) ==
                                 std::isdigit(static_cast<unsigned char>(inside[k + 1])) &&
                             std::islower(static_cast<unsigned char>(inside[k - 1])) ==
                                 std::islower(static_cast<unsigned char>(inside[k + 1]));
          plain = range;
        } else {
          plain = isAsciiAlnum(x) || x == '_';
        }
      }
      out += plain && !inside.empty()
                 ? "[" + std::string(negated ? "^" : "") + std::string(inside) + "]"
                 : std::string(".");
      i = j + 1;
      atom = true;
      continue;
    }
    if (c == '(') {
      if (i + 1 < p.size() && p[i + 1] == '*') return std::nullopt;
      if (i + 1 < p.size() && p[i + 1] == '?') {
        const std::string_view rest = p.substr(i + 2);
        auto starts = [&](std::string_view s) { return rest.substr(0, s.size()) == s; };
        if (starts("=") || starts("!") || starts("<=") || starts("<!")) {
          const auto end = skipGroup(i + 1);
          if (!end) return std::nullopt;
          i = *end;
          atom = false;
          continue;
        }
        if (starts(":") || starts(">")) {
          i += 3;
        } else if (starts("P<") || starts("<") || starts("'")) {
          const char close = starts("'") ? '\'' : '>';
          const size_t end = p.find(close, i + (starts("P<") ? 4 : 3));
          if (end == std::string_view::npos) return std::nullopt;
          i = end + 1;
        } else {
          return std::nullopt;
        }
      } else {
        ++i;
      }
      out += "(?:";
      ++depth;
      atom = false;
      continue;
    }
    if (c == ')') {
      if (--depth < 0) return std::nullopt;
      out += ')';
      ++i;
      atom = true;
      continue;
    }
    if (c == '|') {
      out += '|';
      ++i;
      atom = false;
      continue;
    }
    if (c == '^' || c == '$') {
      ++i;
      atom = false;
      continue;
    }
    if (c == '*' || c == '+' || c == '?' || c == '{') {
      std::string quantifier(1, c);
      size_t next = i + 1;
      if (c == '{') {
        // {n}, {n,} or {n,m}; anything else is a literal "{".
        size_t j = i + 1;
        std::string low, high;
        while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) low += p[j++];
        bool comma = false;
        if (j < p.size() && p[j] == ',') {
          comma = true;
          ++j;
          while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) high += p[j++];
        }
        const bool valid = !low.empty() && j < p.size() && p[j] == '}';
        if (!valid) {
          if (low.empty() && comma) return std::nullopt;  // {,n}: read apart by versions
          out += "\\{";
          ++i;
          atom = true;
          continue;
        }
        next = j + 1;
        // Beyond 255 the engine refuses a bound: any number of repeats.
        if (low.size() > 3 || std::stoi(low) > 255 || high.size() > 3 ||
            (!high.empty() && std::stoi(high) > 255))
          quantifier = "*";
        else
          quantifier = "{" + low + (comma ? "," : "") + high + "}";
      }
      if (!atom) return std::nullopt;
      if (next < p.size() && p[next] == '?') {
        quantifier += '?';
        ++next;
      } else if (next < p.size() && p[next] == '+') {
        ++next;  // possessive: only ever matches less
      }
      out += quantifier;
      i = next;
      atom = false;
      continue;
    }
    if (c == '.') {
      out += '.';
      ++i;
      atom = true;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      // A whole character, as the engine reads it.
      size_t n = u >= 0xF0 ? 4 : u >= 0xE0 ? 3 : u >= 0xC0 ? 2 : 1;
      if (i + n > p.size()) return std::nullopt;
      out.append(p.substr(i, n));
      i += n;
    } else if (isAsciiAlnum(c) || c == ' ' || c == '_') {
      out += c;
      ++i;
    } else if (u < 0x20 || u == 0x7F) {
      return std::nullopt;
    } else {
      out += '\\';
      out += c;
      ++i;
    }
    atom = true;
  }
  if (depth != 0) return std::nullopt;
  // A long expression may be too complex for the engine to compile.
  if (out.empty() || out.size() > 1000) return std::nullopt;
  return out;
}

// A JSON string: quotes, backslashes and control characters escaped, the
// rest (UTF-8) as it is.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      static const char* hex = "0123456789abcdef";
      out += "\\u00";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// An element of an array literal, quoted whatever it holds.
std::string arrayElement(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

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
  // A varying text is its own text; a blank-padded one loses its padding.
  bool imageReadsAsValue(int typeCode) const override {
    return typeCode == adVarChar || typeCode == adVarWChar || typeCode == adLongVarChar ||
           typeCode == adLongVarWChar;
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

  // The tables userTablesQuery() lists, their columns as columnFactsQuery()
  // and columnTypesQuery() give them; the driver describes a column by its
  // type and modifier.
  std::string catalogQuery() const override {
    return "with recursive t as (select c.oid, n.nspname, c.relname from pg_class c join "
           "pg_namespace n on n.oid = c.relnamespace where c.relkind = 'r' and n.nspname not in "
           "('pg_catalog', 'information_schema') and n.nspname not like 'pg\\_toast%' and "
           "n.nspname not like 'pg\\_temp%'), d(attrelid, attnum, typ, typmod) as (select "
           "a.attrelid, a.attnum, a.atttypid, a.atttypmod from pg_attribute a join t on t.oid = "
           "a.attrelid where a.attnum > 0 and not a.attisdropped union all select d.attrelid, "
           "d.attnum, y.typbasetype, y.typtypmod from d join pg_type y on y.oid = d.typ where "
           "y.typtype = 'd') select t.nspname, t.relname, a.attname, 'type ' || a.atttypid || ' ' "
           "|| a.atttypmod, case when a.attgenerated <> '' or a.atttypid in ('name'::regtype, "
           "'\"char\"'::regtype) then 1 else 0 end, null, format_type(a.atttypid, a.atttypmod), "
           "case when b.typtype = 'e' then 'enum' when b.typtype in ('r', 'm') then 'range' when "
           "b.typtype = 'c' then 'composite' when b.typcategory = 'A' then 'array' when "
           "m.nspname = 'pg_catalog' then b.typname else m.nspname || '.' || b.typname end, case "
           "when b.typname in ('bpchar', 'varchar') and d.typmod >= 4 then d.typmod - 4 end, case "
           "when exists (select 1 from pg_inherits i where i.inhparent = t.oid) then 1 else 0 "
           "end, " +
           tableStampOf("t.oid") +
           " from t join pg_attribute a on a.attrelid = t.oid and a.attnum > 0 and not "
           "a.attisdropped join d on d.attrelid = a.attrelid and d.attnum = a.attnum join pg_type "
           "b on b.oid = d.typ and b.typtype <> 'd' join pg_namespace m on m.oid = b.typnamespace "
           "order by t.nspname, t.relname, a.attnum";
  }
  std::string tableStamp(const TableRef& table) const override {
    return tableStampOf(literal(qualifiedReference(table), false, {}) + "::regclass");
  }
  // The value as the rewriter reads it, matched by the patterns widened.
  std::string patternFilter(std::string_view column, int typeCode,
                            const std::vector<std::string>& patterns,
                            Syntax syntax) const override {
    std::string out;
    for (const auto& pattern : patterns) {
      const auto widened = widenedPattern(pattern);
      if (!widened) return {};
      out += (out.empty() ? "" : " or ") + valueRead(quotedName(column), typeCode) + " ~ " +
             literal(*widened, false, syntax);
    }
    return patterns.size() > 1 ? "(" + out + ")" : out;
  }
  // The keys and new values come as one JSON array of objects made rows of
  // the table's own type (jsonb_populate_recordset: each value read by its
  // column's type, as a parameter compared with the column is), zipped with
  // the rows' places and one array of the values read per changed column.
  // A few parameters however many rows: the statement is planned at once.
  std::pair<std::string, std::vector<std::optional<std::string>>> rowsWriteByKey(
      const TableRef& table, const std::vector<std::string>& keys,
      const std::vector<std::pair<std::string, int>>& changed,
      const std::vector<std::vector<std::optional<std::string>>>& rows,
      const std::vector<std::pair<std::string, int>>& returned,
      const std::vector<std::pair<std::string, int>>& imaged) const override {
    const std::string w = "\"trellick_w\"", x = "\"trellick_x\"";
    std::string set, where, columns = "\"trellick_i\"", zipped;
    std::vector<std::string> read(changed.size(), "{");
    std::string json = "[";
    for (size_t r = 0; r < rows.size(); ++r) {
      const auto& row = rows[r];
      if (row.size() != keys.size() + 2 * changed.size()) return {};
      json += r ? ",{" : "{";
      for (size_t k = 0; k < keys.size() + changed.size(); ++k) {
        const std::string& name = k < keys.size() ? keys[k] : changed[k - keys.size()].first;
        json += (k ? "," : "") + jsonString(name) + ":" + (row[k] ? jsonString(*row[k]) : "null");
      }
      json += "}";
      for (size_t k = 0; k < changed.size(); ++k) {
        const auto& value = row[keys.size() + changed.size() + k];
        if (!value) return {};
        read[k] += (r ? "," : "") + arrayElement(*value);
      }
    }
    json += "]";
    for (size_t k = 0; k < keys.size(); ++k)
      where += (k ? " and " : "") + w + "." + quotedName(keys[k]) + " = " + x + "." +
               quotedName(keys[k]);
    std::vector<std::optional<std::string>> params;
    for (size_t k = 0; k < changed.size(); ++k) {
      const std::string name = quotedName(changed[k].first);
      const std::string o = quotedName("trellick_o" + std::to_string(k));
      set += (k ? ", " : "") + name + " = " + x + "." + name;
      columns += ", " + o;
      zipped += ", unnest(cast(? as text[]))";
      params.push_back(read[k] + "}");
      const std::string column = w + "." + name;
      where += " and " +
               (isText(changed[k].second) ? exactColumn(column, changed[k].second)
                                          : "cast(" + column + " as text)") +
               " = " + x + "." + o;
    }
    params.push_back(json);
    // Each column named apart, so that the query over the rows can take them all.
    std::string returning = x + ".\"trellick_i\"";
    int n = 0;
    auto named = [&] { return " as " + quotedName("trellick_c" + std::to_string(n++)); };
    for (const auto& [name, type] : returned)
      returning += ", " + w + "." + quotedName(name) + named();
    for (const auto& [name, type] : imaged)
      returning += ", " + imageOf(w + "." + quotedName(name), type) + named();
    // Its rows as a query's, so that none written is still a result.
    return {"with \"trellick_b\" as (update " + updateTarget(table) + " as " + w + " set " + set +
                " from rows from (generate_series(1, " + std::to_string(rows.size()) + ")" +
                zipped + ", jsonb_populate_recordset(cast(null as " + qualifiedReference(table) +
                "), cast(? as jsonb))) as " + x + " (" + columns + ") where " + where +
                " returning " + returning + ") select * from \"trellick_b\"",
            std::move(params)};
  }

  // The rows chosen and locked by a query of their own, found again by
  // their place (tableoid and ctid: a place is unique across a partitioned
  // table's partitions only with its partition), so that each comes back
  // with its values before beside the row as the update left it.
  std::string updateReturningChanges(
      const TableRef& table, const std::vector<ChangeColumn>& keys,
      const std::vector<std::pair<ChangeColumn, std::string>>& searched, std::string_view condition,
      const std::vector<ChangeColumn>& imaged, long long limit) const override {
    // The subquery's names are Trellick's own: a column of the table named
    // so would be taken for one of them inside the new values.
    auto ours = [](const std::string& name) { return name.rfind("trellick_", 0) == 0; };
    for (const auto& k : keys)
      if (ours(k.name)) return {};
    for (const auto& [c, value] : searched)
      if (ours(c.name)) return {};
    for (const auto& c : imaged)
      if (ours(c.name)) return {};
    if (keys.empty() || searched.empty()) return {};
    const std::string w = "\"trellick_w\"", x = "\"trellick_x\"";
    auto name = [](const char* stem, size_t k) {
      return "\"trellick_" + std::string(stem) + std::to_string(k) + "\"";
    };
    std::string chosen = "tableoid as \"trellick_o\", ctid as \"trellick_t\"", order, set, back,
                raw;
    for (size_t k = 0; k < keys.size(); ++k) {
      const std::string key = quotedName(keys[k].name);
      chosen += ", " + keyRead(key, keys[k].type) + " as " + name("k", k) + ", " + key + " as " +
                name("j", k);
      order += (k ? ", " : "") + key;
      back += (k ? ", " : "") + x + "." + name("k", k);
      raw += (k ? ", " : "") + name("j", k);
    }
    const std::vector<int> fromImage = afterFromImage(searched, imaged);
    size_t handed = keys.size() + imaged.size();
    for (size_t k = 0; k < searched.size(); ++k) {
      const auto& [c, value] = searched[k];
      chosen += ", " + valueRead(quotedName(c.name), c.type) + " as " + name("b", k);
      set += (k ? ", " : "") + quotedName(c.name) + " = " + value;
      back += ", " + x + "." + name("b", k);
      ++handed;
      if (fromImage[k] >= 0) continue;
      back += ", " + w + "." + quotedName(c.name);
      ++handed;
    }
    for (const auto& c : imaged) back += ", " + imageOf(w + "." + quotedName(c.name), c.type);
    std::string list;
    for (size_t k = 0; k < handed; ++k) list += (k ? ", " : "") + name("r", k);
    std::string named;
    for (size_t k = 0; k < keys.size(); ++k) named += ", " + x + "." + name("j", k);
    // The rows read are named again by their places, which the update
    // fetches by themselves: joined to the read alone, the planner scans
    // the whole table a second time to hash it. Named twice, the read is
    // made once on every version of the server.
    return "with " + x + " as (select " + chosen + " from " + selectTarget(table) + " where " +
           std::string(condition) + " order by " + order +
           (limit > 0 ? trailingLimit(limit) : std::string()) + " for update), \"trellick_u\"(" +
           list + ", " + raw + ") as (update " + updateTarget(table) + " as " + w + " set " + set +
           " from " + x + " where " + w + ".tableoid = " + x + ".\"trellick_o\" and " + w +
           ".ctid = " + x + ".\"trellick_t\" and " + w + ".ctid = any(array(select " + x +
           ".\"trellick_t\" from " + x + ")) returning " + back + named + ") select " + list +
           " from \"trellick_u\" order by " + raw;
  }

  std::string writesElsewhereQuery(const TableRef& table) const override {
    return "select 1 from pg_trigger where tgrelid = " +
           literal(qualifiedReference(table), false, {}) + "::regclass limit 1";
  }

  // Each column's values as one text array, zipped with the rows' places;
  // each value made its column's type by the column's own input (a key's
  // binary from the driver's hex): a few parameters however many rows.
  std::pair<std::string, std::vector<std::optional<std::string>>> rowsRestore(
      const TableRef& table, const std::vector<ChangeColumn>& keys,
      const std::vector<ChangeColumn>& changed, const std::vector<ChangeColumn>& imaged,
      const std::vector<std::pair<std::string, std::string>>& types,
      const std::vector<std::vector<std::optional<std::string>>>& rows) const override {
    auto typeOf = [&](const std::string& column) -> std::string {
      for (const auto& [name, type] : types)
        if (name == column) return type;
      return {};
    };
    const size_t width = keys.size() + changed.size() + imaged.size();
    if (rows.empty() || keys.empty() || changed.empty()) return {};
    std::vector<std::string> arrays(width, "{");
    for (size_t r = 0; r < rows.size(); ++r) {
      if (rows[r].size() != width) return {};
      for (size_t k = 0; k < width; ++k) {
        const auto& v = rows[r][k];
        // A key is found by its value: a NULL finds nothing.
        if (!v && k < keys.size()) return {};
        arrays[k] += (r ? "," : "") + (v ? arrayElement(*v) : std::string("NULL"));
      }
    }
    const std::string w = "\"trellick_w\"", x = "\"trellick_x\"";
    auto name = [](const char* stem, size_t k) {
      return "\"trellick_" + std::string(stem) + std::to_string(k) + "\"";
    };
    std::string zipped, columns, set, where;
    std::vector<std::optional<std::string>> params;
    for (size_t k = 0; k < width; ++k) {
      zipped += (k ? ", " : "") + std::string("cast(? as text[])");
      params.push_back(arrays[k] + "}");
    }
    for (size_t k = 0; k < keys.size(); ++k) {
      const std::string type = typeOf(keys[k].name);
      if (type.empty()) return {};
      columns += name("k", k) + ", ";
      const std::string value = x + "." + name("k", k);
      where += (k ? " and " : "") + w + "." + quotedName(keys[k].name) + " = " +
               (isBinary(keys[k].type) ? typedValue(value, keys[k].type)
                                       : "cast(" + value + " as " + type + ")");
    }
    for (size_t k = 0; k < changed.size(); ++k) {
      const std::string type = typeOf(changed[k].name);
      if (type.empty() || isBinary(changed[k].type)) return {};
      columns += name("o", k) + ", ";
      set += (k ? ", " : "") + quotedName(changed[k].name) + " = cast(" + x + "." + name("o", k) +
             " as " + type + ")";
    }
    for (size_t k = 0; k < imaged.size(); ++k) {
      columns += name("i", k) + ", ";
      where += " and " + imageOf(w + "." + quotedName(imaged[k].name), imaged[k].type) +
               " is not distinct from " + x + "." + name("i", k);
    }
    // Its rows as a query's, so that none written is still a result.
    return {"with \"trellick_r\" as (update " + updateTarget(table) + " as " + w + " set " + set +
                " from unnest(" + zipped + ") with ordinality as " + x + " (" + columns +
                "\"trellick_n\") where " + where + " returning " + x +
                ".\"trellick_n\") select \"trellick_n\" from \"trellick_r\"",
            std::move(params)};
  }

  // The key's columns in key order, from the table in the schema named.
  // The table found by its own number: joining the catalog's classes and
  // schemas by name cost several times as much to plan as to run.
  std::string primaryKeyQuery(const TableRef& table) const override {
    const std::string schema =
        table.schema.empty() ? std::string("current_schema()") : literal(table.schema, false, {});
    return "select a.attname from pg_index x cross join lateral unnest(x.indkey::int2[]) with "
           "ordinality k(attnum, position) join pg_attribute a on a.attrelid = x.indrelid and "
           "a.attnum = k.attnum where x.indrelid = to_regclass(quote_ident(" +
           schema + ") || '.' || quote_ident(" + literal(table.name, false, {}) +
           ")) and x.indisprimary and k.position <= x.indnkeyatts order by k.position";
  }

  std::string serverTimeout(int seconds) const override {
    return "set statement_timeout = " + std::to_string(seconds * 1000LL);
  }

 private:
  // Whatever of a table's columns and children the catalog's rows depend on.
  static std::string tableStampOf(const std::string& oid) {
    return "(select string_agg(attname || ' ' || atttypid || ' ' || atttypmod || ' ' || "
           "attgenerated::text, ',' order by attnum) || (select count(*) from pg_inherits where "
           "inhparent = " +
           oid + ") from pg_attribute where attrelid = " + oid +
           " and attnum > 0 and not attisdropped)";
  }
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
