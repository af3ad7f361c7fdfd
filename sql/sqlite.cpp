// SQLite, through its ODBC driver on a database file.
#include <algorithm>
#include <array>
#include <bit>

#include "sql/engines.h"

namespace trellick::sql {
namespace {

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

// A column's affinity by SQLite's own rules on its declared type, taken in
// their order: "charint" is an integer column, "blobtext" a text one.
enum class Affinity { Integer, Text, Blob, Real, Numeric };

Affinity affinityOf(std::string_view declared) {
  std::string upper(declared);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  const auto holds = [&](std::string_view part) { return upper.find(part) != std::string::npos; };
  if (holds("INT")) return Affinity::Integer;
  if (holds("CHAR") || holds("CLOB") || holds("TEXT")) return Affinity::Text;
  if (holds("BLOB") || upper.empty()) return Affinity::Blob;
  if (holds("REAL") || holds("FLOA") || holds("DOUB")) return Affinity::Real;
  return Affinity::Numeric;
}

class SqliteSql final : public EngineSql {
  static Capabilities ownCapabilities() {
    Capabilities c;
    c.schemas = false;
    c.rowCapture = true;
    c.rowid = true;
    c.maintenanceNeedsIdleConnection = true;
    c.shadowTables = true;
    c.oneWriter = true;
    return c;
  }

 public:
  SqliteSql() : EngineSql(Dialect::SQLite, ownCapabilities()) {}

  // Brackets, which cannot hold a "]": a name with one goes in double
  // quotes instead. So does a name the driver's scanner would misread
  // inside brackets, which it does not know: a quote would open a string
  // there, a "?" count as a parameter, a ";" end the statement and a "{"
  // open an escape. Inside double quotes it skips them all.
  std::string quotedName(std::string_view name) const override {
    if (name.find_first_of("]\"'?;{") != std::string_view::npos)
      return "\"" + doubled(name, '"') + "\"";
    return "[" + doubled(name, ']') + "]";
  }

  std::string columnFactsQuery(const TableRef& table) const override {
    return "select name, hidden in (2, 3), type from pragma_table_xinfo(" +
           stringLiteral(table.name, false) + ")";
  }

  std::string uniqueKeysQuery(const TableRef& table, Syntax) const override {
    // index_info names no column for an expression.
    const std::string name = stringLiteral(table.name, false);
    return "select l.name, i.name, coalesce(t.\"notnull\", 0) from pragma_index_list(" + name +
           ") l join pragma_index_info(l.name) i left join pragma_table_info(" + name +
           ") t on t.name = i.name where l.\"unique\" and not l.partial order by l.name, i.seqno";
  }

  // Read from the schema itself, so that a file that is not a database or
  // is locked fails here instead of listing nothing. In the order the
  // tables were made, as the driver's own list gives them. The pragma is
  // read once: asked again for every table it would make listing a
  // database of n tables cost n squared. Without a virtual table there is
  // no shadow table either, and the pragma is not read at all. The third
  // column, the count of virtual tables, tells a reader whether a row can
  // be listed before the rest are read. A virtual table is the one table
  // without a root page: counted without reading each table's statement.
  std::string userTablesQuery() const override {
    return "with l as materialized (select name, type from pragma_table_list where schema = "
           "'main'), v(n) as (select count(*) from sqlite_master where type = 'table' and "
           "coalesce(rootpage, 0) = 0) select m.name, case when v.n = 0 "
           "then 'table' else (select l.type from l where l.name = m.name) end, v.n from "
           "sqlite_master m, v where m.type = 'table' order by m.rowid";
  }

  std::string primaryKeyQuery(const TableRef& table) const override {
    return "select name from pragma_table_info(" + literal(table.name, false, {}) +
           ") where pk > 0 order by pk";
  }

  // Its LIKE ignores ASCII case while its Replace does not; made
  // case-sensitive, a count is the number of records a replace changes.
  std::vector<std::string> sessionSetUp() const override {
    return {"pragma case_sensitive_like = on"};
  }
  // The shell's LIKE, too, must count what the update changes.
  std::vector<std::string> scriptSetUp() const override { return sessionSetUp(); }

  // A carriage return and the like as char(): the shell drops a carriage
  // return before a line feed.
  std::string literal(std::string_view text, bool, Syntax) const override {
    if (!hasControl(text)) return stringLiteral(text, false);
    return withControls(
        text, [](std::string_view p) { return stringLiteral(p, false); },
        [](unsigned char c) { return "char(" + std::to_string(c) + ")"; }, "||");
  }

  std::string exactColumn(const std::string& quotedColumn, int) const override {
    return quotedColumn + " collate binary";
  }

  std::string virtualTableQuery(const TableRef& table) const override {
    return "select 1 from " + quotedName(table.schema.empty() ? "main" : table.schema) +
           ".sqlite_master where type = 'table' and name = " + literal(table.name, false, {}) +
           " and upper(substr(sql, 1, 20)) = 'CREATE VIRTUAL TABLE'";
  }

  RowCapture rowCapture(const TableRef& table, const std::vector<std::string>& keys,
                        const std::vector<ChangeColumn>& columns,
                        const std::vector<ChangeColumn>& all, bool countTried) const override {
    // The update names its table without a schema, and a temporary table
    // of the same name would come first: the capture's name is never the
    // updated table's.
    std::string lower = table.name;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    const std::string kept = lower == "trellick_kept" ? "trellick_kept2" : "trellick_kept";
    const std::string kTable = "temp." + kept;
    constexpr const char* kTrigger = "temp.trellick_keep";
    RowCapture out;
    out.table = kTable;
    std::string values;
    int n = 0;
    auto add = [&](const std::string& expression) {
      out.columnList += (n ? ", v" : "v") + std::to_string(n + 1);
      values += ", " + expression;
      ++n;
    };
    // Keys and images as literals: a key is found again by its exact
    // value and class.
    for (const auto& k : keys) add(imageOf("old." + quotedName(k)));
    for (const auto& c : columns) {
      add("old." + quotedName(c.name));
      add("new." + quotedName(c.name));
    }
    for (const auto& c : all) add(imageOf("new." + quotedName(c.name)));
    // Left by a run that could not end its own: its rows are not this one's.
    out.setUp.push_back(std::string("drop trigger if exists ") + kTrigger);
    out.setUp.push_back(std::string("drop table if exists ") + kTable);
    // Columns without a type keep each value as it was, text or number.
    out.setUp.push_back(std::string("create table ") + kTable + "(seq integer primary key, " +
                        out.columnList + ")");
    const std::string schema = table.schema.empty() ? "main" : table.schema;
    out.setUp.push_back(std::string("create temp trigger trellick_keep after update on ") +
                        quotedName(schema) + "." + quotedName(table.name) +
                        // A trigger's statements take no schema: the temporary
                        // table comes first by name.
                        " begin insert into " + kept + " values(null" + values + "); end");
    out.tearDown = {std::string("drop trigger ") + kTrigger, std::string("drop table ") + kTable};
    // Every row the update tries, counted before the table's own triggers
    // (a temporary trigger fires first) may keep it from the update.
    if (!countTried) return out;
    const std::string tried = lower == "trellick_tried" ? "trellick_tried2" : "trellick_tried";
    out.setUp.push_back("drop trigger if exists temp.trellick_try");
    out.setUp.push_back("drop table if exists temp." + tried);
    out.setUp.push_back("create table temp." + tried + "(n integer)");
    out.setUp.push_back("insert into temp." + tried + " values(0)");
    out.setUp.push_back("create temp trigger trellick_try before update on " + quotedName(schema) +
                        "." + quotedName(table.name) + " begin update " + tried +
                        " set n = n + 1; end");
    out.tried = "select n from temp." + tried;
    out.tearDown.push_back("drop trigger temp.trellick_try");
    out.tearDown.push_back("drop table temp." + tried);
    return out;
  }

  std::string imageOf(std::string_view expression, int = 0) const override {
    return "quote(" + std::string(expression) + ")";
  }
  bool imagesAreLiterals() const override { return true; }
  // quote() stops at a NUL.
  std::string textImage(std::string_view text) const override {
    return "'" + doubled(text.substr(0, text.find('\0')), '\'') + "'";
  }

  std::string nonTextQuery(const TableRef& table, const std::vector<std::string>& columns,
                           std::string_view condition) const override {
    std::string other;
    for (const auto& c : columns)
      other +=
          (other.empty() ? "" : " or ") + ("typeof(" + quotedName(c) + ") not in ('text', 'null')");
    // The storage class first: a table of text is read without a LIKE.
    return "select 1 from " + selectTarget(table) + " where (" + other + ") and (" +
           std::string(condition) + ") limit 1";
  }
  std::string textOnlyMatch(std::string_view column, const std::string& match) const override {
    return "(typeof(" + quotedName(column) + ") = 'text' and " + match + ")";
  }
  std::string textOnlyValue(std::string_view column, const std::string& newValue) const override {
    const std::string c = quotedName(column);
    return "case when typeof(" + c + ") = 'text' then " + newValue + " else " + c + " end";
  }

  // In WAL mode VACUUM writes through the log, so a second checkpoint
  // brings the smaller file home and empties the log again.
  std::vector<std::string> maintenanceStatements(std::string_view,
                                                 const std::vector<TableRef>&) const override {
    return {"pragma wal_checkpoint(TRUNCATE)", "vacuum", "pragma wal_checkpoint(TRUNCATE)"};
  }

 protected:
  bool isReserved(std::string_view lower) const override {
    return std::find(kSqliteKeywords.begin(), kSqliteKeywords.end(), lower) !=
           kSqliteKeywords.end();
  }
  // Parameter markers inside a name.
  std::string_view notInBareNames() const override { return "$@#"; }
  // Neither cuts nor knows "max".
  std::string longTextCast(std::string_view column, int) const override {
    return "cast(" + quotedName(column) + " as varchar(8000))";
  }

 public:
  // Trellick's own capture trigger is temporary: it is not listed here.
  std::string ownTriggersQuery(const TableRef& table) const override {
    return "select 1 from " + quotedName(table.schema.empty() ? "main" : table.schema) +
           ".sqlite_master where type = 'trigger' and tbl_name = " +
           literal(table.name, false, {}) + " collate nocase limit 1";
  }

  // The file by its path as SQLite resolved it, with what tells a file put
  // in its place: the schema cookie, which only grows (every change of the
  // schema and every vacuum adds to it), and the file's size.
  std::vector<std::string> databaseIdentityQueries() const override {
    return {
        "select file, (select schema_version from pragma_schema_version), (select page_count "
        "from pragma_page_count) * (select page_size from pragma_page_size) from "
        "pragma_database_list where name = 'main'"};
  }
  Sameness sameDatabase(std::string_view recorded, std::string_view now) const override {
    const auto was = identityFields(recorded), is = identityFields(now);
    if (was.size() != 4 || is.size() != 4 || was[1].empty() || is[1].empty())
      return EngineSql::sameDatabase(recorded, now);
    if (was[0] != is[0] || was[1] != is[1]) return Sameness::Different;
    const auto number = [](const std::string& text) {
      try {
        return std::stoll(text);
      } catch (const std::exception&) {
        return -1LL;
      }
    };
    if (number(is[2]) < number(was[2])) return Sameness::Different;
    // Deleting and vacuuming may shrink a file a good deal; a file that is
    // now about an eighth of its size at the run or less is taken for another
    // one.
    const auto sizeClass = [&](const std::string& bytes) {
      const long long n = number(bytes);
      return n > 0 ? std::bit_width(static_cast<unsigned long long>(n)) : 0;
    };
    return sizeClass(is[3]) + 3 <= sizeClass(was[3]) ? Sameness::Different : Sameness::Same;
  }
  // The driver takes "a.b" for a column b of a table a and names the field
  // b; and it cuts a long name to the caller's buffer without saying so.
  bool fieldNameMayDiffer(std::string_view name) const override {
    return name.find('.') != std::string_view::npos || name.size() > 255;
  }
  // "select *" leaves out a virtual table's hidden columns only.
  std::string fieldNamesQuery(const TableRef& table) const override {
    return "select name from pragma_table_xinfo(" + literal(table.name, false, {}) +
           ") where hidden <> 1 order by cid";
  }
  std::string beginTransaction() const override { return "begin"; }

  // A text column keeps text as text and a column without a type keeps
  // every value as it came; any other affinity may make a number of the
  // text a replace leaves. The driver's type code says only what the
  // first row holds, and SQLite keeps no length a type declares.
  std::optional<bool> searchedByDeclaredType(std::string_view declared) const override {
    return declared.empty() || affinityOf(declared) == Affinity::Text;
  }

  // A key changed by a replace then cascades as the schema says, or the
  // table fails whole.
  std::string declaresForeignKeysQuery() const override {
    return "select 1 from sqlite_master m join pragma_foreign_key_list(m.name) where m.type = "
           "'table' limit 1";
  }
  std::string enforceForeignKeys() const override { return "pragma foreign_keys = on"; }

  // The checkpoints go through even on a file that cannot be written: only
  // the vacuum between them says whether the database was compacted.
  bool maintenanceNeedsEveryStatement() const override { return true; }

  // The driver describes a column by its declared type, and one without a
  // type by the value its first row holds: that one has no signature. A
  // virtual table's columns are its module's to say: not listed. Hidden
  // columns are left out as "select *" leaves them.
  std::string catalogQuery() const override {
    return "select '', m.name, x.name, case when x.type = '' then '' else 'declared ' || x.type "
           "end, x.hidden in (2, 3), x.type from sqlite_master m join "
           "pragma_table_xinfo(m.name) x where m.type = 'table' and upper(substr(m.sql, 1, 20)) "
           "<> 'CREATE VIRTUAL TABLE' and x.hidden <> 1 order by m.rowid, x.cid";
  }
  std::string schemaStamp() const override {
    return "(select schema_version from pragma_schema_version)";
  }
};

}  // namespace

const EngineSql& sqlite() {
  static const SqliteSql engine;
  return engine;
}

}  // namespace trellick::sql
