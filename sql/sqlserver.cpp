// SQL Server, through FreeTDS.
#include <algorithm>
#include <array>

#include "common/utf8.h"
#include "sql/engines.h"

namespace trellick::sql {
namespace {

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

class SqlServerSql final : public EngineSql {
  static Capabilities ownCapabilities() {
    Capabilities c;
    c.updateCountIncludesTriggers = true;
    c.rowValues = false;
    return c;
  }

 public:
  SqlServerSql() : EngineSql(Dialect::SqlServer, ownCapabilities()) {}

  std::string quotedName(std::string_view name) const override {
    return "[" + doubled(name, ']') + "]";
  }

  // Control characters, a line feed among them, as char() (nchar()): a
  // script's client reads it by lines, a carriage return may not come back
  // and a line reading "GO" would end its batch. Concatenation cuts at
  // 8000 bytes unless a (max) type leads it.
  std::string literal(std::string_view text, bool national, Syntax) const override {
    const auto control = [](unsigned char c) { return c < 0x20 && c != '\t'; };
    if (std::none_of(text.begin(), text.end(), control)) return stringLiteral(text, national);
    std::string out = "(";
    if (text.size() > 4000)
      out += national ? "cast(N'' as nvarchar(max))" : "cast('' as varchar(max))";
    bool first = text.size() <= 4000;
    auto add = [&](const std::string& piece) {
      if (!first) out += "+";
      out += piece;
      first = false;
    };
    size_t start = 0;
    for (size_t k = 0; k <= text.size(); ++k) {
      const bool end = k == text.size();
      if (!end && !control(static_cast<unsigned char>(text[k]))) continue;
      if (k > start) add(stringLiteral(text.substr(start, k - start), national));
      if (!end)
        add((national ? "nchar(" : "char(") + std::to_string(static_cast<unsigned char>(text[k])) +
            ")");
      start = k + 1;
    }
    return out + ")";
  }

  bool needsNational(std::string_view find, std::string_view replace) const override {
    return hasNonAscii(find) || hasNonAscii(replace);
  }

  std::string_view likeSpecials() const override { return "%_["; }

  std::string subject(std::string_view column, int typeCode, long long definedSize,
                      bool national) const override {
    if (isLongText(typeCode)) return longTextCast(column, typeCode);
    // Replace returns at most 8000 bytes unless its input is a (max) type:
    // 8000 characters of varchar, 4000 of nvarchar, which an N'' literal
    // makes of a varchar column too. A column that can hold that much
    // would silently keep the cut value.
    const bool wideResult = national || typeCode == adWChar || typeCode == adVarWChar;
    const long long limit = wideResult ? 4000 : 8000;
    std::string subject = quotedName(column);
    if (definedSize >= limit)
      subject = "cast(" + subject + " as " + (wideResult ? "nvarchar(max)" : "varchar(max)") + ")";
    // char and nchar as the text they hold: the padding is no part of it,
    // and the server pads what is assigned again.
    if (typeCode == adChar || typeCode == adWChar) return "rtrim(" + subject + ")";
    return subject;
  }

  std::string columnFactsQuery(const TableRef& table) const override {
    return "select name, is_computed from sys.columns where object_id = object_id(" +
           stringLiteral(objectName(table), true) + ") and is_computed = 1";
  }

  std::string uniqueKeysQuery(const TableRef& table, Syntax) const override {
    // Included columns have no key ordinal.
    return "select i.name, c.name, case when c.is_nullable = 0 then 1 else 0 end from sys.indexes "
           "i join sys.index_columns ic on ic.object_id = i.object_id and ic.index_id = "
           "i.index_id join sys.columns c on c.object_id = ic.object_id and c.column_id = "
           "ic.column_id where i.object_id = object_id(" +
           stringLiteral(objectName(table), true) +
           ") and i.is_unique = 1 and i.has_filter = 0 and i.is_disabled = 0 and "
           "i.is_hypothetical = 0 and ic.key_ordinal > 0 order by i.name, ic.key_ordinal";
  }

  std::string sessionQuery() const override { return "select schema_name()"; }

  std::string selectLimit(long long limit) const override {
    return "top " + std::to_string(limit) + " ";
  }
  std::string trailingLimit(long long) const override { return {}; }
  // Held to the end of the transaction, and the range too: a row that
  // comes to match meanwhile would be changed without being journaled.
  std::string lockHint() const override { return " with (updlock, holdlock)"; }

  // Its usual collations ignore case and trailing spaces; text and ntext
  // are read as UTF-16 so.
  std::string textAsBytes(const std::string& expression) const override {
    return "cast(cast(" + expression + " as nvarchar(max)) as varbinary(max))";
  }

  // A value as its text, compared by its bytes; binary columns (a
  // rowversion among them) are left out of a row's image.
  std::string imageOf(std::string_view expression, int typeCode) const override {
    if (isBinary(typeCode)) return {};
    return "cast(" + std::string(expression) + " as nvarchar(max))";
  }
  std::string imageEquals(const std::string& image, const std::string& value) const override {
    return textAsBytes(image) + " = " + textAsBytes(value);
  }

  std::vector<std::string> maintenanceStatements(std::string_view database,
                                                 const std::vector<TableRef>&) const override {
    const bool bare = isRegularIdentifier(database);
    const std::string name = bare ? std::string(database) : quotedName(database);
    const std::string asString =
        bare ? std::string(database) : stringLiteral(database, hasNonAscii(database));
    return {"dump transaction " + name + " with no_log", "backup log " + name + " with no_log",
            "dbcc shrinkdatabase(" + name + ")", "select * from sysfiles DBCC SHRINKFILE(1)",
            "EXEC sp_dboption " + asString + ", 'autoshrink', 'TRUE'"};
  }

 protected:
  // varchar(8000) would cut longer values and drop the characters of ntext
  // that its code page lacks.
  std::string longTextCast(std::string_view column, int typeCode) const override {
    return "cast(" + quotedName(column) + " as " +
           (typeCode == adLongVarWChar ? "nvarchar(max)" : "varchar(max)") + ")";
  }

 private:
  // The table as object_id() reads it.
  std::string objectName(const TableRef& table) const {
    return table.schema.empty() ? quotedName(table.name)
                                : quotedName(table.schema) + "." + quotedName(table.name);
  }

 public:
  std::string ownTriggersQuery(const TableRef& table) const override {
    return "select name from sys.triggers where parent_id = object_id(" +
           stringLiteral(objectName(table), true) + ")";
  }

  // The server's own name, and the database's creation: a database dropped
  // and made again under its old name is another one.
  std::vector<std::string> databaseIdentityQueries() const override {
    return {"select @@servername, name, create_date from sys.databases where name = db_name()"};
  }

  // A table without a key is undone through a temporary table of its
  // images, found by a hash of the whole row: one pass over the table.
  std::string rowHash(const std::vector<std::string>& columns) const override {
    std::string parts;
    for (const auto& c : columns)
      parts += std::string(parts.empty() ? "" : ", N',', ") + "coalesce(N'v' + cast(" + c +
               " as nvarchar(max)), N'n')";
    return "hashbytes('SHA2_256', concat(" + parts + "))";
  }
  // A name starting with "#" is a temporary table's, never a user table's.
  std::string imagesTableName() const override { return "#trellick_undo_images"; }
  // Each column in its own type; the union leaves an identity column's
  // property behind, so that the images can be inserted.
  std::vector<std::string> makeImagesTable(const std::string& name, const std::string& hash,
                                           const std::string& list,
                                           const std::string& source) const override {
    const std::string select = "select " + list + ", cast(null as varbinary(32)) as " + hash;
    return {"drop table if exists " + name,
            select + " into " + name + " from " + source + " where 1 = 0 union all " + select +
                " from " + source + " where 1 = 0",
            "create index " + hash + " on " + name + " (" + hash + ")"};
  }
  // An alias type by the system type it stands on; lengths in characters,
  // NULL for the (max) forms and text and ntext.
  std::string columnTypesQuery(const TableRef& table) const override {
    const std::string base = "type_name(c.system_type_id)";
    const std::string length = "case when c.max_length = -1 or " + base +
                               " in ('text', 'ntext', 'xml') then null when " + base +
                               " in ('nchar', 'nvarchar') then c.max_length / 2 else "
                               "c.max_length end";
    return "select c.name, concat(type_name(c.user_type_id), case when c.user_type_id = "
           "c.system_type_id and " +
           base +
           " in ('char', 'varchar', 'nchar', 'nvarchar', 'binary', 'varbinary') then concat('(', "
           "coalesce(cast(" +
           length + " as varchar(10)), 'max'), ')') else '' end) as shown, " + base +
           " as base, case when " + base + " in ('char', 'varchar', 'nchar', 'nvarchar') then " +
           length + " end as length from sys.columns c where c.object_id = object_id(" +
           stringLiteral(objectName(table), true) + ") order by c.column_id";
  }
  std::string notSearchedType(std::string_view base) const override {
    if (base == "char" || base == "varchar" || base == "nchar" || base == "nvarchar" ||
        base == "text" || base == "ntext")
      return {};
    if (base == "xml") return notSearchedReason(TypeFamily::Structured);
    if (base == "binary" || base == "varbinary" || base == "image" || base == "timestamp")
      return notSearchedReason(TypeFamily::Binary);
    return notSearchedReason(TypeFamily::Other);
  }
  // char and nchar are compared and read as their text, as they are
  // searched and replaced.
  std::string valueRead(const std::string& quotedColumn, int typeCode) const override {
    return typeCode == adChar || typeCode == adWChar ? "rtrim(" + quotedColumn + ")" : quotedColumn;
  }
  std::string exactColumn(const std::string& quotedColumn, int typeCode) const override {
    return textAsBytes(valueRead(quotedColumn, typeCode));
  }
  std::string exactValue(const std::string& value, int typeCode) const override {
    return textAsBytes(valueRead(value, typeCode));
  }

  std::string oneRowAfter(long long skip) const override {
    return " offset " + std::to_string(skip) + " rows fetch next 1 rows only";
  }
};

}  // namespace

bool isTransactSqlReserved(std::string_view lower) {
  return std::find(kSqlServerReserved.begin(), kSqlServerReserved.end(), lower) !=
         kSqlServerReserved.end();
}

const EngineSql& sqlServer() {
  static const SqlServerSql engine;
  return engine;
}

}  // namespace trellick::sql
