#include "search/statements.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "db/utf8.h"

namespace trellick::search {
namespace {

constexpr int adChar = 129, adWChar = 130, adVarNumeric = 139, adVarChar = 200, adLongVarChar = 201,
              adVarWChar = 202, adLongVarWChar = 203;

// Reserved words of Transact-SQL.
constexpr std::array<std::string_view, 185> kSqlServerReserved{"add",
                                                               "all",
                                                               "alter",
                                                               "and",
                                                               "any",
                                                               "as",
                                                               "asc",
                                                               "authorization",
                                                               "backup",
                                                               "begin",
                                                               "between",
                                                               "break",
                                                               "browse",
                                                               "bulk",
                                                               "by",
                                                               "cascade",
                                                               "case",
                                                               "check",
                                                               "checkpoint",
                                                               "close",
                                                               "clustered",
                                                               "coalesce",
                                                               "collate",
                                                               "column",
                                                               "commit",
                                                               "compute",
                                                               "constraint",
                                                               "contains",
                                                               "containstable",
                                                               "continue",
                                                               "convert",
                                                               "create",
                                                               "cross",
                                                               "current",
                                                               "current_date",
                                                               "current_time",
                                                               "current_timestamp",
                                                               "current_user",
                                                               "cursor",
                                                               "database",
                                                               "dbcc",
                                                               "deallocate",
                                                               "declare",
                                                               "default",
                                                               "delete",
                                                               "deny",
                                                               "desc",
                                                               "disk",
                                                               "distinct",
                                                               "distributed",
                                                               "double",
                                                               "drop",
                                                               "dump",
                                                               "else",
                                                               "end",
                                                               "errlvl",
                                                               "escape",
                                                               "except",
                                                               "exec",
                                                               "execute",
                                                               "exists",
                                                               "exit",
                                                               "external",
                                                               "fetch",
                                                               "file",
                                                               "fillfactor",
                                                               "for",
                                                               "foreign",
                                                               "freetext",
                                                               "freetexttable",
                                                               "from",
                                                               "full",
                                                               "function",
                                                               "goto",
                                                               "grant",
                                                               "group",
                                                               "having",
                                                               "holdlock",
                                                               "identity",
                                                               "identity_insert",
                                                               "identitycol",
                                                               "if",
                                                               "in",
                                                               "index",
                                                               "inner",
                                                               "insert",
                                                               "intersect",
                                                               "into",
                                                               "is",
                                                               "join",
                                                               "key",
                                                               "kill",
                                                               "left",
                                                               "like",
                                                               "lineno",
                                                               "load",
                                                               "merge",
                                                               "national",
                                                               "nocheck",
                                                               "nonclustered",
                                                               "not",
                                                               "null",
                                                               "nullif",
                                                               "of",
                                                               "off",
                                                               "offsets",
                                                               "on",
                                                               "open",
                                                               "opendatasource",
                                                               "openquery",
                                                               "openrowset",
                                                               "openxml",
                                                               "option",
                                                               "or",
                                                               "order",
                                                               "outer",
                                                               "over",
                                                               "percent",
                                                               "pivot",
                                                               "plan",
                                                               "precision",
                                                               "primary",
                                                               "print",
                                                               "proc",
                                                               "procedure",
                                                               "public",
                                                               "raiserror",
                                                               "read",
                                                               "readtext",
                                                               "reconfigure",
                                                               "references",
                                                               "replication",
                                                               "restore",
                                                               "restrict",
                                                               "return",
                                                               "revert",
                                                               "revoke",
                                                               "right",
                                                               "rollback",
                                                               "rowcount",
                                                               "rowguidcol",
                                                               "rule",
                                                               "save",
                                                               "schema",
                                                               "securityaudit",
                                                               "select",
                                                               "semantickeyphrasetable",
                                                               "semanticsimilaritydetailstable",
                                                               "semanticsimilaritytable",
                                                               "session_user",
                                                               "set",
                                                               "setuser",
                                                               "shutdown",
                                                               "some",
                                                               "statistics",
                                                               "system_user",
                                                               "table",
                                                               "tablesample",
                                                               "textsize",
                                                               "then",
                                                               "to",
                                                               "top",
                                                               "tran",
                                                               "transaction",
                                                               "trigger",
                                                               "truncate",
                                                               "try_convert",
                                                               "tsequal",
                                                               "union",
                                                               "unique",
                                                               "unpivot",
                                                               "update",
                                                               "updatetext",
                                                               "use",
                                                               "user",
                                                               "values",
                                                               "varying",
                                                               "view",
                                                               "waitfor",
                                                               "when",
                                                               "where",
                                                               "while",
                                                               "with",
                                                               "within",
                                                               "writetext"};

// Keywords of SQLite.
constexpr std::array<std::string_view, 147> kSqliteKeywords{"abort",
                                                            "action",
                                                            "add",
                                                            "after",
                                                            "all",
                                                            "alter",
                                                            "always",
                                                            "analyze",
                                                            "and",
                                                            "as",
                                                            "asc",
                                                            "attach",
                                                            "autoincrement",
                                                            "before",
                                                            "begin",
                                                            "between",
                                                            "by",
                                                            "cascade",
                                                            "case",
                                                            "cast",
                                                            "check",
                                                            "collate",
                                                            "column",
                                                            "commit",
                                                            "conflict",
                                                            "constraint",
                                                            "create",
                                                            "cross",
                                                            "current",
                                                            "current_date",
                                                            "current_time",
                                                            "current_timestamp",
                                                            "database",
                                                            "default",
                                                            "deferrable",
                                                            "deferred",
                                                            "delete",
                                                            "desc",
                                                            "detach",
                                                            "distinct",
                                                            "do",
                                                            "drop",
                                                            "each",
                                                            "else",
                                                            "end",
                                                            "escape",
                                                            "except",
                                                            "exclude",
                                                            "exclusive",
                                                            "exists",
                                                            "explain",
                                                            "fail",
                                                            "filter",
                                                            "first",
                                                            "following",
                                                            "for",
                                                            "foreign",
                                                            "from",
                                                            "full",
                                                            "generated",
                                                            "glob",
                                                            "group",
                                                            "groups",
                                                            "having",
                                                            "if",
                                                            "ignore",
                                                            "immediate",
                                                            "in",
                                                            "index",
                                                            "indexed",
                                                            "initially",
                                                            "inner",
                                                            "insert",
                                                            "instead",
                                                            "intersect",
                                                            "into",
                                                            "is",
                                                            "isnull",
                                                            "join",
                                                            "key",
                                                            "last",
                                                            "left",
                                                            "like",
                                                            "limit",
                                                            "match",
                                                            "materialized",
                                                            "natural",
                                                            "no",
                                                            "not",
                                                            "nothing",
                                                            "notnull",
                                                            "null",
                                                            "nulls",
                                                            "of",
                                                            "offset",
                                                            "on",
                                                            "or",
                                                            "order",
                                                            "others",
                                                            "outer",
                                                            "over",
                                                            "partition",
                                                            "plan",
                                                            "pragma",
                                                            "preceding",
                                                            "primary",
                                                            "query",
                                                            "raise",
                                                            "range",
                                                            "recursive",
                                                            "references",
                                                            "regexp",
                                                            "reindex",
                                                            "release",
                                                            "rename",
                                                            "replace",
                                                            "restrict",
                                                            "returning",
                                                            "right",
                                                            "rollback",
                                                            "row",
                                                            "rows",
                                                            "savepoint",
                                                            "select",
                                                            "set",
                                                            "table",
                                                            "temp",
                                                            "temporary",
                                                            "then",
                                                            "ties",
                                                            "to",
                                                            "transaction",
                                                            "trigger",
                                                            "unbounded",
                                                            "union",
                                                            "unique",
                                                            "update",
                                                            "using",
                                                            "vacuum",
                                                            "values",
                                                            "view",
                                                            "virtual",
                                                            "when",
                                                            "where",
                                                            "window",
                                                            "with",
                                                            "without"};

// Letters outside ASCII that identifiers commonly use; anything else
// outside ASCII is taken as needing brackets, which is always safe.
bool isWideLetter(char32_t cp) {
  return (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) || (cp >= 0x370 && cp <= 0x3FF) ||
         (cp >= 0x400 && cp <= 0x4FF) || (cp >= 0x3040 && cp <= 0x30FF) ||
         (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
         (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFF21 && cp <= 0xFF3A) || (cp >= 0xFF41 && cp <= 0xFF5A);
}

bool isReserved(std::string_view name, Engine engine) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (engine == Engine::SQLite)
    return std::find(kSqliteKeywords.begin(), kSqliteKeywords.end(), lower) !=
           kSqliteKeywords.end();
  return std::find(kSqlServerReserved.begin(), kSqlServerReserved.end(), lower) !=
         kSqlServerReserved.end();
}

std::string doubled(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  return out;
}

}  // namespace

std::optional<Group> searchGroup(int typeCode) {
  switch (typeCode) {
    case adChar:
    case adWChar:
    case adVarNumeric:
    case adVarChar:
    case adVarWChar:
      return Group::Plain;
    case adLongVarChar:
    case adLongVarWChar:
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
  for (size_t k = 0; k < utf8.size(); ++n) db::nextCodePoint(utf8, k);
  return n;
}

bool isRegularIdentifier(std::string_view name, Engine engine) {
  if (name.empty() || name.size() > 128 * 4) return false;
  size_t k = 0;
  bool first = true;
  while (k < name.size()) {
    const char32_t cp = db::nextCodePoint(name, k);
    const bool letter = (cp < 0x80 && std::isalpha(static_cast<int>(cp))) || isWideLetter(cp);
    const bool ok = first ? (letter || cp == '_')
                          : (letter || cp == '_' || cp == '@' || cp == '$' || cp == '#' ||
                             (cp < 0x80 && std::isdigit(static_cast<int>(cp))));
    if (!ok) return false;
    first = false;
  }
  // SQLite takes "$" and "@" as parameter markers inside a name.
  if (engine == Engine::SQLite && name.find_first_of("$@#") != std::string_view::npos) return false;
  return !isReserved(name, engine);
}

std::string bracketed(std::string_view name) { return "[" + doubled(name, ']') + "]"; }

std::string quotedName(std::string_view name, Engine engine) {
  switch (engine) {
    case Engine::PostgreSQL:
      return "\"" + doubled(name, '"') + "\"";
    case Engine::MariaDB:
      return "`" + doubled(name, '`') + "`";
    case Engine::SQLite:
      if (name.find(']') != std::string_view::npos) return "\"" + doubled(name, '"') + "\"";
      break;
    case Engine::SqlServer:
      break;
  }
  return bracketed(name);
}

std::string tableReference(std::string_view table, Engine engine) {
  const bool bare = (engine == Engine::SqlServer || engine == Engine::SQLite) &&
                    isRegularIdentifier(table, engine);
  return bare ? std::string(table) : quotedName(table, engine);
}

std::string literalFor(std::string_view text, Engine engine, bool national, Syntax syntax) {
  const bool backslash = text.find('\\') != std::string_view::npos;
  if (engine == Engine::PostgreSQL && backslash)
    return "E'" + doubled(doubled(text, '\''), '\\') + "'";
  if (engine == Engine::MariaDB && backslash && syntax.backslashEscapes)
    return "'" + doubled(doubled(text, '\''), '\\') + "'";
  return stringLiteral(text, national && engine == Engine::SqlServer);
}

StatementBuilder::StatementBuilder(Engine engine, Texts texts, Syntax syntax)
    : engine_(engine), texts_(std::move(texts)), syntax_(syntax) {
  national_ = engine_ == Engine::SqlServer &&
              (db::hasNonAscii(texts_.find) || db::hasNonAscii(texts_.replace));
  // LIKE takes "%" and "_" (and on SQL Server "[") as wildcards; when the
  // search text holds one, it is escaped with "\" and the term says so.
  // PostgreSQL and MariaDB also take a bare "\" as their escape character.
  const bool server = engine_ == Engine::PostgreSQL || engine_ == Engine::MariaDB;
  const std::string_view wild = engine_ == Engine::SqlServer ? "%_[" : server ? "%_\\" : "%_";
  const bool escape = texts_.find.find_first_of(wild) != std::string::npos;
  std::string pattern = "%";
  for (char c : texts_.find) {
    if (escape && (c == '\\' || wild.find(c) != std::string_view::npos)) pattern += '\\';
    pattern += c;
  }
  pattern += '%';
  likeTail_ = "like " + literalFor(pattern, engine_, national_, syntax_);
  if (escape) likeTail_ += " escape " + literalFor("\\", engine_, false, syntax_);
}

std::string stringLiteral(std::string_view text, bool national) {
  return (national ? "N'" : "'") + doubled(text, '\'') + "'";
}

std::string columnQuery(std::string_view table, Engine engine) {
  return "select * from " + tableReference(table, engine);
}

std::string qualifiedReference(const TableRef& table, Engine engine) {
  if (table.schema.empty()) return tableReference(std::string_view(table.name), engine);
  return quotedName(table.schema, engine) + "." + quotedName(table.name, engine);
}

std::string columnQueryOf(const TableRef& table, Engine engine) {
  return "select * from " + qualifiedReference(table, engine);
}

bool declaresLength(std::string_view declaredType) {
  const size_t open = declaredType.find('(');
  if (open == std::string_view::npos) return false;
  size_t k = open + 1;
  while (k < declaredType.size() && declaredType[k] == ' ') ++k;
  return k < declaredType.size() && std::isdigit(static_cast<unsigned char>(declaredType[k]));
}

std::string columnFactsQuery(const TableRef& table, Engine engine) {
  if (engine == Engine::SQLite)
    return "select name, hidden in (2, 3), type from pragma_table_xinfo(" +
           stringLiteral(table.name, false) + ")";
  if (engine == Engine::PostgreSQL)
    return "select attname, 1 from pg_attribute where attrelid = " +
           literalFor(qualifiedReference(table, engine), engine) +
           "::regclass and attnum > 0 and not attisdropped and attgenerated <> ''";
  if (engine == Engine::MariaDB)
    return "select column_name, 1 from information_schema.columns where table_schema = "
           "database() and table_name = binary " +
           literalFor(table.name, engine) +
           " and (is_generated = 'ALWAYS' or data_type in ('enum', 'set'))";
  const std::string name = table.schema.empty() ? quotedName(table.name, engine)
                                                : quotedName(table.schema, engine) + "." +
                                                      quotedName(table.name, engine);
  return "select name, is_computed from sys.columns where object_id = object_id(" +
         stringLiteral(name, true) + ") and is_computed = 1";
}

std::string uniqueKeysQuery(const TableRef& table, Engine engine, Syntax syntax) {
  if (engine == Engine::SQLite) {
    // index_info names no column for an expression.
    const std::string name = stringLiteral(table.name, false);
    return "select l.name, i.name, coalesce(t.\"notnull\", 0) from pragma_index_list(" + name +
           ") l join pragma_index_info(l.name) i left join pragma_table_info(" + name +
           ") t on t.name = i.name where l.\"unique\" and not l.partial order by l.name, i.seqno";
  }
  if (engine == Engine::PostgreSQL) {
    // Included columns follow the key's in indkey; they do not make it unique.
    const std::string schema =
        table.schema.empty() ? std::string("current_schema()") : literalFor(table.schema, engine);
    return "select i.relname, a.attname, case when a.attnotnull then 1 else 0 end from pg_index x "
           "join pg_class i on i.oid = x.indexrelid join pg_class t on t.oid = x.indrelid join "
           "pg_namespace n on n.oid = t.relnamespace cross join lateral unnest(x.indkey::int2[]) "
           "with ordinality k(attnum, position) left join pg_attribute a on a.attrelid = "
           "x.indrelid and a.attnum = k.attnum where n.nspname = " +
           schema + " and t.relname = " + literalFor(table.name, engine) +
           " and x.indisunique and x.indisvalid and x.indpred is null and x.indexprs is null and "
           "k.position <= x.indnkeyatts order by i.relname, k.position";
  }
  if (engine == Engine::MariaDB) {
    const std::string schema = table.schema.empty()
                                   ? std::string("database()")
                                   : literalFor(table.schema, engine, false, syntax);
    return "select index_name, column_name, case when nullable = '' then 1 else 0 end from "
           "information_schema.statistics where table_schema = " +
           schema + " and table_name = binary " + literalFor(table.name, engine, false, syntax) +
           " and non_unique = 0 order by index_name, seq_in_index";
  }
  // Included columns have no key ordinal.
  const std::string name = table.schema.empty() ? quotedName(table.name, engine)
                                                : quotedName(table.schema, engine) + "." +
                                                      quotedName(table.name, engine);
  return "select i.name, c.name, case when c.is_nullable = 0 then 1 else 0 end from sys.indexes i "
         "join sys.index_columns ic on ic.object_id = i.object_id and ic.index_id = i.index_id "
         "join sys.columns c on c.object_id = ic.object_id and c.column_id = ic.column_id where "
         "i.object_id = object_id(" +
         stringLiteral(name, true) +
         ") and i.is_unique = 1 and i.has_filter = 0 and i.is_disabled = 0 and "
         "i.is_hypothetical = 0 and ic.key_ordinal > 0 order by i.name, ic.key_ordinal";
}

std::string StatementBuilder::literal(std::string_view text) const {
  return literalFor(text, engine_, national_, syntax_);
}

std::string userTablesQuery(Engine engine) {
  if (engine == Engine::PostgreSQL)
    // Ordinary tables and partitions; a partitioned table's rows are its
    // partitions', which would otherwise be searched twice.
    return "select n.nspname, c.relname from pg_class c join pg_namespace n on n.oid = "
           "c.relnamespace where c.relkind = 'r' and n.nspname not in ('pg_catalog', "
           "'information_schema') and n.nspname not like 'pg\\_toast%' and n.nspname not "
           "like 'pg\\_temp%' order by n.nspname, c.relname";
  if (engine == Engine::MariaDB)
    return "select table_schema, table_name from information_schema.tables where table_schema "
           "= database() and table_type in ('BASE TABLE', 'SYSTEM VERSIONED') order by "
           "table_name";
  return {};
}

std::string StatementBuilder::castOf(std::string_view column, int typeCode) const {
  // PostgreSQL's text and MariaDB's long texts go to Replace whole.
  if (engine_ == Engine::PostgreSQL || engine_ == Engine::MariaDB)
    return quotedName(column, engine_);
  // SQL Server's varchar(8000) cuts longer values and drops the characters
  // of ntext that its code page lacks; SQLite neither cuts nor knows "max".
  std::string target = "varchar(8000)";
  if (engine_ == Engine::SqlServer)
    target = typeCode == adLongVarWChar ? "nvarchar(max)" : "varchar(max)";
  return "cast(" + quotedName(column, engine_) + " as " + target + ")";
}

std::string StatementBuilder::columnQuery(const TableRef& table) const {
  // The columns and whether a row exists: one row is enough, and the
  // PostgreSQL driver would otherwise read the whole result first (the
  // MariaDB driver adds the limit itself from the row limit).
  if (engine_ == Engine::PostgreSQL) return columnQueryOf(table, engine_) + " limit 1";
  return columnQueryOf(table, engine_);
}

std::string StatementBuilder::subjectOf(std::string_view column, int typeCode,
                                        long long definedSize) const {
  if (searchGroup(typeCode) == Group::LongText) return castOf(column, typeCode);
  if (engine_ == Engine::SqlServer) {
    // Replace returns at most 8000 bytes unless its input is a (max) type:
    // 8000 characters of varchar, 4000 of nvarchar, which an N'' literal
    // makes of a varchar column too. A column that can hold that much
    // would silently keep the cut value.
    const bool wideResult = national_ || typeCode == adWChar || typeCode == adVarWChar;
    const long long limit = wideResult ? 4000 : 8000;
    if (definedSize >= limit)
      return "cast(" + quotedName(column, engine_) + " as " +
             (wideResult ? "nvarchar(max)" : "varchar(max)") + ")";
  }
  return quotedName(column, engine_);
}

std::string StatementBuilder::whereTerm(std::string_view column, int typeCode,
                                        long long definedSize) const {
  // MariaDB's LIKE follows the column's collation, mostly blind to case and
  // accents, while its Replace is not: compared character by character in
  // the binary collation (a latin1 column converted first), a count is the
  // number of records a replace changes.
  if (engine_ == Engine::MariaDB)
    return " or convert(" + quotedName(column, engine_) + " using utf8mb4) collate utf8mb4_bin " +
           likeTail_;
  return " or " + subjectOf(column, typeCode, definedSize) + " " + likeTail_;
}

std::string StatementBuilder::assignment(std::string_view column, int typeCode,
                                         long long definedSize) const {
  return "," + quotedName(column, engine_) + "=Replace(" +
         subjectOf(column, typeCode, definedSize) + "," + literal(texts_.find) + "," +
         literal(texts_.replace) + ")";
}

std::string StatementBuilder::updateStatement(const TableRef& table, std::string_view set,
                                              std::string_view where) const {
  const std::string name =
      table.schema.empty() ? quotedName(table.name, engine_) : qualifiedReference(table, engine_);
  return "Update " + name + " set " + std::string(set) + " where " + std::string(where);
}

std::string StatementBuilder::countStatement(const TableRef& table, std::string_view where) const {
  return "select count(*) from " + qualifiedReference(table, engine_) + " where " +
         std::string(where);
}

}  // namespace trellick::search
