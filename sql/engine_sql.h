// What each database engine's SQL looks like: one object per engine behind
// one interface. Every statement piece that differs between SQL Server,
// SQLite, PostgreSQL and MariaDB is written here and nowhere else; the
// callers build their statements from these pieces and ask capabilities()
// where an engine needs a different way, never which engine it is.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/dialect.h"

namespace trellick::sql {

// A table and the schema it lives in; schema is empty for a table of the
// connection's default schema, which is named as the templates name it.
struct TableRef {
  TableRef(std::string_view tableName, std::string_view schemaName = {})
      : name(tableName), schema(schemaName) {}
  TableRef(const char* tableName) : name(tableName) {}
  TableRef(const std::string& tableName) : name(tableName) {}
  std::string name;
  std::string schema;
  // Other tables inherit from it (PostgreSQL): a statement naming it would
  // reach their rows too, so statements name it alone. Learned from the
  // server (childrenQuery()) by whoever sends them.
  bool hasChildren = false;
};

// What the server's settings change in how a statement must be written.
struct Syntax {
  // MariaDB: a backslash inside a string literal starts an escape unless
  // sql_mode holds NO_BACKSLASH_ESCAPES.
  bool backslashEscapes = true;
};

// A column as the statements about it need it: its name, type code and
// declared size in characters.
struct ChangeColumn {
  std::string name;
  int type = 0;
  long long size = 0;
};

// SQLite: a temporary table and trigger of this connection that keep, as
// the update writes them, each row's key and its columns' values before and
// after, so that the journal need not read the table a second time.
struct RowCapture {
  std::vector<std::string> setUp;     // run in order, before the update
  std::vector<std::string> tearDown;  // run in order, after the reading
  // What was kept, in the order written: key values, then each column's
  // before and after; the rows after the first `skip`.
  std::string read(long long skip, long long limit) const;
  std::string columnList;
  std::string table;  // the temporary table, its schema named
  // One row, one number: how many rows the update tried to write, those a
  // trigger kept from it (RAISE(IGNORE)) included. Empty: not counted.
  std::string tried;
};

// What the engine can do where the callers choose a way.
struct Capabilities {
  // Tables live in schemas (databases on MariaDB) that a name may carry.
  bool schemas = true;
  // A server-side cursor can hand a transaction's rows over in batches.
  bool cursors = false;
  // An update can keep the rows it writes through a temporary trigger of
  // the connection (a virtual table takes no trigger).
  bool rowCapture = false;
  // The journal's read holds the range, and an update's row count may
  // include the rows its triggers change: it is not compared with the
  // journal's.
  bool updateCountIncludesTriggers = false;
  // Every ordinary table has a rowid that names its rows when nothing
  // else does.
  bool rowid = false;
  // The maintenance statements refuse to run while a statement of the
  // connection is open.
  bool maintenanceNeedsIdleConnection = false;
  // Virtual tables keep their data in tables named after them, which must
  // never be written directly: userTablesQuery() gives each table's name
  // and type ("table", "virtual", ...) for them to be told apart.
  bool shadowTables = false;
  // A condition may compare row values, (a, b) > (1, 2).
  bool rowValues = true;
  // The database takes one writing transaction at a time: tables are
  // replaced one after another, never on several connections at once.
  bool oneWriter = false;
};

class EngineSql {
 public:
  virtual ~EngineSql() = default;

  EngineSql(Dialect dialect, Capabilities capabilities)
      : dialect_(dialect), capabilities_(capabilities) {}

  Dialect dialect() const { return dialect_; }
  const Capabilities& capabilities() const { return capabilities_; }

  // -- names
  // Whether the name can stand bare: a regular identifier that is not a
  // reserved word of the engine.
  bool isRegularIdentifier(std::string_view name) const;
  // The name quoted as the engine quotes names, the quote doubled inside.
  virtual std::string quotedName(std::string_view name) const = 0;
  // The table name where the templates have it bare: bare when regular,
  // quoted otherwise.
  virtual std::string tableReference(std::string_view table) const;
  // tableReference(); outside the default schema "[schema].[table]".
  std::string qualifiedReference(const TableRef& table) const;
  // The table an update names: always quoted in the default schema.
  std::string updateTarget(const TableRef& table) const;
  // The table a select names: qualifiedReference(), alone where it has
  // children.
  std::string selectTarget(const TableRef& table) const;

  // -- literals
  // A string literal as the engine reads it, quotes doubled; `national`
  // asks for N'...' where the engine has it.
  virtual std::string literal(std::string_view text, bool national, Syntax syntax) const;
  // Whether literals of these texts must be national (N'...').
  virtual bool needsNational(std::string_view /*find*/, std::string_view /*replace*/) const {
    return false;
  }
  // The characters LIKE takes as wildcards or as its own escape.
  virtual std::string_view likeSpecials() const { return "%_"; }

  // -- a searched column: what matches and what it becomes
  // The column as Replace and LIKE see it: cast where Replace could
  // otherwise cut a value that the column can hold.
  virtual std::string subject(std::string_view column, int typeCode, long long definedSize,
                              bool national) const;
  // The condition that the column holds the text: subject + " " + likeTail,
  // likeTail being "like '%F%'" with its ESCAPE clause.
  virtual std::string matchTerm(std::string_view column, int typeCode, long long definedSize,
                                bool national, std::string_view likeTail) const;
  // The expression an update assigns: Replace(subject, F, R), the texts
  // given as literals.
  std::string newValue(std::string_view column, int typeCode, long long definedSize, bool national,
                       std::string_view findLiteral, std::string_view replaceLiteral) const;

  // -- catalog queries
  // "select * from " + the table: its columns and whether a row exists.
  std::string columnQuery(const TableRef& table) const;
  // Each row: a column's name, whether it is computed and, on SQLite, its
  // declared type (see search::columnFactsQuery).
  virtual std::string columnFactsQuery(const TableRef& table) const = 0;
  // One row per key column of the unique keys that could name a row.
  virtual std::string uniqueKeysQuery(const TableRef& table, Syntax syntax) const = 0;
  // The user tables, one row each: schema, name (name, type where
  // capabilities().shadowTables); empty where the driver's catalog lists
  // them.
  virtual std::string userTablesQuery() const { return {}; }
  // One row where other tables inherit from the table; empty where the
  // engine has no inheritance.
  virtual std::string childrenQuery(const TableRef& /*table*/) const { return {}; }
  // The primary key's columns in key order, one per row; empty where the
  // driver's catalog is asked instead.
  virtual std::string primaryKeyQuery(const TableRef& /*table*/) const { return {}; }
  // One row: the default schema, then what sessionSyntax() reads; empty
  // where the engine has no schemas.
  virtual std::string sessionQuery() const { return {}; }
  // How literals must be written, from the second column of
  // sessionQuery()'s row.
  virtual Syntax sessionSyntax(std::string_view /*setting*/) const { return {}; }
  // Sent once after connecting, each one required to succeed.
  virtual std::vector<std::string> sessionSetUp() const { return {}; }
  // What a script of statements for the engine's own client begins with,
  // for the client's session to read and match as Trellick's does.
  virtual std::vector<std::string> scriptSetUp() const { return {}; }
  // Sent once after connecting where the server ends a statement at the
  // time-out itself; its failure is ignored. Empty: none.
  virtual std::string serverTimeout(int /*seconds*/) const { return {}; }

  // -- the rows a replace changes, and their restore
  // "top N " after "select", where the engine limits there.
  virtual std::string selectLimit(long long /*limit*/) const { return {}; }
  // " limit N" at the end, where the engine limits there.
  virtual std::string trailingLimit(long long limit) const;
  // After the table: held to the end of the transaction, with its range.
  virtual std::string lockHint() const { return {}; }
  // At the end: the rows read stay locked until the transaction ends.
  virtual std::string lockClause() const { return {}; }
  // Text as its bytes, for a comparison that no collation bends.
  virtual std::string textAsBytes(const std::string& expression) const { return expression; }
  // A text column of this type code as an equality reads it exactly.
  virtual std::string exactColumn(const std::string& quotedColumn, int /*typeCode*/) const {
    return textAsBytes(quotedColumn);
  }
  // Server cursors: declare one over a query, fetch from it, close it.
  virtual std::string declareCursor(std::string_view /*name*/, std::string_view /*query*/) const {
    return {};
  }
  virtual std::string fetchCursor(std::string_view /*name*/, long long /*rows*/) const {
    return {};
  }
  virtual std::string closeCursor(std::string_view /*name*/) const { return {}; }
  // SQLite: whether the table is virtual (one row if so).
  virtual std::string virtualTableQuery(const TableRef& /*table*/) const { return {}; }
  // SQLite: the capture of the rows an update writes: each row's key, the
  // changed columns before and after, and the image of every column of
  // `all` as the update left it; with countTried, also how many rows the
  // update tried (RowCapture::tried).
  virtual RowCapture rowCapture(const TableRef& /*table*/, const std::vector<std::string>& /*keys*/,
                                const std::vector<ChangeColumn>& /*columns*/,
                                const std::vector<ChangeColumn>& /*all*/,
                                bool /*countTried*/ = false) const {
    return {};
  }
  // A value as the journal keeps it to know the row again: its exact text
  // on the server, telling apart what an equality could confuse (SQLite's
  // quote(): 1, '1', 0.30000000000000004 and X'00' each their own). Empty
  // where the engine keeps no images.
  virtual std::string imageOf(std::string_view /*expression*/, int /*typeCode*/ = 0) const {
    return {};
  }
  // A value of a column of this type as the driver reads it into text
  // (binary as hex digits), made a value of the column's own type again:
  // `value` is a literal or a parameter marker.
  virtual std::string typedValue(std::string_view value, int /*typeCode*/) const {
    return std::string(value);
  }
  // A key column as the journal reads it, for its driver to give back
  // every byte (MariaDB's reads binary as text that ends at a NUL).
  virtual std::string keyRead(const std::string& quotedName, int /*typeCode*/) const {
    return quotedName;
  }
  // The condition that a column's image (imageOf()) equals a value.
  virtual std::string imageEquals(const std::string& image, const std::string& value) const {
    return image + " = " + value;
  }
  // An image is itself a literal of the value, written into a statement to
  // name a key by its exact value and class.
  virtual bool imagesAreLiterals() const { return false; }
  // The image a text value has once stored in a text column.
  virtual std::string textImage(std::string_view text) const { return std::string(text); }

  // -- values of another kind in a text column (SQLite's dynamic typing)
  // One row when a row the condition matches holds a value that is not text
  // in one of the columns: Replace would turn it into text. Empty where a
  // column holds only its own type.
  virtual std::string nonTextQuery(const TableRef& /*table*/,
                                   const std::vector<std::string>& /*columns*/,
                                   std::string_view /*condition*/) const {
    return {};
  }
  // The match term and the new value of a column that such a table needs:
  // only text values match, every other value is written back as it was.
  virtual std::string textOnlyMatch(std::string_view /*column*/, const std::string& match) const {
    return match;
  }
  virtual std::string textOnlyValue(std::string_view /*column*/,
                                    const std::string& newValue) const {
    return newValue;
  }

  // -- maintenance: clearing the log and shrinking, in the order sent.
  virtual std::vector<std::string> maintenanceStatements(
      std::string_view database, const std::vector<TableRef>& tables) const = 0;

 protected:
  // Before a table with children, for the statement to reach its own rows
  // only.
  virtual std::string_view onlyKeyword() const { return {}; }
  // The lower-case name is a reserved word (Transact-SQL's by default).
  virtual bool isReserved(std::string_view lower) const;
  // Characters that may not stand in a bare name although they may in a
  // Transact-SQL identifier.
  virtual std::string_view notInBareNames() const { return {}; }
  // The cast a long text column goes through to Replace.
  virtual std::string longTextCast(std::string_view column, int typeCode) const;

 private:
  Dialect dialect_;
  Capabilities capabilities_;

 public:
  // One row when the table has triggers of its own (not the server's
  // internal ones, nor Trellick's temporary ones): what they do is not
  // undone. Empty where the engine cannot tell.
  virtual std::string ownTriggersQuery(const TableRef& /*table*/) const { return {}; }
  // A column naming one row for the length of a transaction, where the
  // engine has one beside a key; empty where it has none.
  virtual std::string rowLocator() const { return {}; }
  // The condition that finds the row a locator value, given as the one
  // parameter, names.
  virtual std::string rowLocatorEquals(const std::string& locator) const {
    return locator + " = ?";
  }
  // " limit N" after an update, where the engine limits an update so.
  virtual std::string updateRowLimit(long long /*rows*/) const { return {}; }
  // A hash of the whole row's bytes, NULLs told from every value, for a
  // join on the whole row; empty where the engine joins otherwise.
  virtual std::string rowHash(const std::vector<std::string>& /*columns*/) const { return {}; }
  // Equal, or both NULL.
  virtual std::string nullSafeEquals(const std::string& a, const std::string& b) const {
    return "(" + a + " = " + b + " or (" + a + " is null and " + b + " is null))";
  }
  // update <target> joined to <other> on <on> set <assignments>, reading
  // the target once.
  virtual std::string joinedUpdate(const std::string& target, const std::string& other,
                                   const std::string& on, const std::string& assignments) const {
    return "update " + target + " set " + assignments + " from " + other + " where " + on;
  }

  // -- which database this is, as the server knows it
  // Queries tried in order until one answers: its one row names the
  // database whatever the client typed to reach it (a server's own name,
  // a cluster's identifier, a file's path). Empty where the engine cannot
  // tell.
  virtual std::vector<std::string> databaseIdentityQueries() const { return {}; }
  enum class Sameness { Same, Different, Unknown };
  // Whether two identities, each the engine's name then the answering
  // query's columns joined by kIdentitySeparator, name one database;
  // Unknown where either is empty or they were read in ways that cannot be
  // compared.
  virtual Sameness sameDatabase(std::string_view recorded, std::string_view now) const;

  // -- a temporary table of row images, joined to a table in one update
  // (where rowHash() is not empty)
  // Its name where no table of the database can have it; empty where the
  // caller must find one no table has (tableNamedQuery()).
  virtual std::string imagesTableName() const { return {}; }
  // One row when a table of the connection's database has this name.
  virtual std::string tableNamedQuery(const std::string& /*name*/) const { return {}; }
  // Run in order: the table `name` made anew with the columns `list`
  // selects from `source` (none of its rows, each column's own type) and a
  // binary column `hash` with an index.
  virtual std::vector<std::string> makeImagesTable(const std::string& /*name*/,
                                                   const std::string& /*hash*/,
                                                   const std::string& /*list*/,
                                                   const std::string& /*source*/) const {
    return {};
  }
  virtual std::string dropImagesTable(const std::string& name) const {
    return "drop table " + name;
  }
  // A joined update's assignment to a column of the target.
  virtual std::string joinedAssignment(const std::string& /*target*/, const std::string& column,
                                       const std::string& value) const {
    return column + " = " + value;
  }
  // Whether the driver may give a column of this name another name as a
  // field of a result (SQLite's keeps what follows a "."): then the
  // names are read with fieldNamesQuery() instead.
  virtual bool fieldNameMayDiffer(std::string_view /*name*/) const { return false; }
  // One row per column that columnQuery() gives, in its order: the column's
  // own name. Empty where the driver's field names are the columns'.
  virtual std::string fieldNamesQuery(const TableRef& /*table*/) const { return {}; }
  // Opens a transaction by statement, which fails where one is open; empty
  // where the database layer never needs to.
  virtual std::string beginTransaction() const { return {}; }

  // -- which columns are searched, by the engine's own catalog
  // One row per column of the table: its name, its type as the catalog
  // shows it ("character(10)", "enum('a','b')", a domain's name), the type
  // it stands on with domains and alias types resolved, in the catalog's
  // own spelling ("bpchar", "varchar", "nvarchar"), and its length in
  // characters (NULL where unlimited or none). Empty where the driver's
  // type codes decide.
  virtual std::string columnTypesQuery(const TableRef& /*table*/) const { return {}; }
  // Why a column standing on this base type (columnTypesQuery()'s third
  // column) is never searched; empty for the text types that are.
  virtual std::string notSearchedType(std::string_view /*baseType*/) const { return {}; }
  // The type code the statements take for a searched column: the driver's
  // where it reports text of the kind the base type is, else what the base
  // type is to Replace and LIKE (a domain, citext).
  virtual int searchedTypeCode(std::string_view baseType, int driverCode) const;
  // A searched column's value as the preview and the journal read it, to
  // be compared with its new value: a fixed-length value without the
  // padding its new value has not.
  virtual std::string valueRead(const std::string& quotedColumn, int /*typeCode*/) const {
    return quotedColumn;
  }
  // The value side of exactColumn()'s equality, for a column of this type.
  virtual std::string exactValue(const std::string& value, int /*typeCode*/) const {
    return textAsBytes(value);
  }
  // Asked where columnTypesQuery() fails: the same rows from what every
  // version of the engine has. Empty: none.
  virtual std::string columnTypesFallbackQuery(const TableRef& /*table*/) const { return {}; }

  // -- which columns are searched, where the declared type decides
  // Whether a column declared so (columnFactsQuery()'s third field) is
  // searched, as text of any length whatever the driver makes of its first
  // value; nullopt where the driver's type code and size decide.
  virtual std::optional<bool> searchedByDeclaredType(std::string_view /*declared*/) const {
    return std::nullopt;
  }

  // -- foreign keys the server leaves to the connection (SQLite's)
  // Sent after connecting, for the connection to enforce the foreign keys
  // the database declares; empty where the server does by itself.
  virtual std::string enforceForeignKeys() const { return {}; }
  // One row where the database declares a foreign key: a script for the
  // engine's client then enforces them too.
  virtual std::string declaresForeignKeysQuery() const { return {}; }

  // The maintenance is done only when every one of its statements went
  // through; otherwise one is enough (the servers refuse some of them by
  // design).
  virtual bool maintenanceNeedsEveryStatement() const { return false; }

  // Whether a column of this base type (columnTypesQuery()'s third column)
  // holds JSON documents, which the row rewriter reads as text and writes
  // back with only their strings rewritten.
  virtual bool jsonType(std::string_view /*baseType*/) const { return false; }

  // After "order by": only the row `skip` rows on, where a batch of
  // skip + 1 rows ends.
  virtual std::string oneRowAfter(long long skip) const {
    return " limit 1 offset " + std::to_string(skip);
  }

  // The row rewriter's choice of rows by its PCRE2 patterns: the engine's
  // own regular expressions over the column (as the rewriter reads it),
  // where they can be made to take every value one of the patterns matches
  // (they may take more). Empty where they cannot: the caller keeps its
  // LIKE of the patterns' literal runs, or reads every row.
  virtual std::string patternFilter(std::string_view /*column*/, int /*typeCode*/,
                                    const std::vector<std::string>& /*patterns*/,
                                    Syntax /*syntax*/) const {
    return {};
  }
  // One update of several rows by key; each row gives its key values, the
  // changed columns' new values, then the values they were read with. A
  // row is written only where its changed columns still hold what was
  // read, and the statement returns, for each row written, its 1-based
  // place among the rows, then the `returned` columns as it left them and
  // the imageOf() of the `imaged` ones. The statement and its parameters; an
  // empty statement where the engine has none: each row is then written by
  // itself.
  virtual std::pair<std::string, std::vector<std::optional<std::string>>> rowsWriteByKey(
      const TableRef& /*table*/, const std::vector<std::string>& /*keys*/,
      const std::vector<std::pair<std::string, int>>& /*changed*/,
      const std::vector<std::vector<std::optional<std::string>>>& /*rows*/,
      const std::vector<std::pair<std::string, int>>& /*returned*/,
      const std::vector<std::pair<std::string, int>>& /*imaged*/) const {
    return {};
  }

  // -- a table without a key read in pages, where the driver reads a whole
  // result first and the engine has no server cursor
  // Text that orders the rows by their whole content: rows alike in it are
  // alike in every column, so any of them may stand for another. Empty:
  // the engine reads such a table otherwise.
  virtual std::string rowOrderText(const std::vector<std::string>& /*columns*/) const { return {}; }
  // " limit N offset K" at the end: `limit` rows after the first `skip`.
  virtual std::string pageLimit(long long limit, long long skip) const {
    return trailingLimit(limit) + " offset " + std::to_string(skip);
  }

  // -- every table's columns in one query, for a walk over many tables
  // One row per column of every table, each table's columns in the column
  // query's order: schema (empty where the engine has none), table, column,
  // its type's signature (columns of one signature are described alike by
  // the driver; empty where the driver's description may depend on the
  // rows), whether it is computed (1 or 0; what columnFactsQuery() says),
  // its declared type (SQLite; else NULL), the three columns of
  // columnTypesQuery() after the name (NULL where that has no row or the
  // engine no such query), and whether other tables inherit from the table
  // (1 or 0), then the table's tableStamp() (where the engine has one).
  // Empty where each table is asked by itself.
  virtual std::string catalogQuery() const { return {}; }
  // An expression whose value changes with every change of the table's
  // columns; empty where schemaStamp() tells.
  virtual std::string tableStamp(const TableRef& /*table*/) const { return {}; }
  // An expression whose value changes with every change of the schema;
  // empty where the engine has none.
  virtual std::string schemaStamp() const { return {}; }
  // One row: schemaStamp() (NULL where empty), then for each table 1 where
  // the column query would find a row, else 0, and its tableStamp() (NULL
  // where empty).
  std::string rowsExistQuery(const std::vector<TableRef>& tables) const;

  // -- the journaled replace of a keyed table in one statement
  // The update of the first `limit` rows in the key's order that meet
  // `condition` (each searched column given with its new value), which
  // locks them, writes them and hands each back, in the key's order: its
  // key as keyRead() reads it, each searched column's valueRead() before
  // and its value after, then the imageOf() of every `imaged` column as
  // the update left it (but for afterFromImage()'s columns). The table is
  // read once and nothing is read again. Empty where the engine has no
  // such statement.
  // Where a searched column's value after is handed back only once, as
  // its image (imageReadsAsValue()): for each searched column, the place
  // of that image among `imaged`; -1 where the value comes itself, after
  // the value before.
  std::vector<int> afterFromImage(const std::vector<std::pair<ChangeColumn, std::string>>& searched,
                                  const std::vector<ChangeColumn>& imaged) const {
    std::vector<int> out;
    for (const auto& [c, value] : searched) {
      int at = -1;
      if (imageReadsAsValue(c.type))
        for (size_t i = 0; i < imaged.size(); ++i)
          if (imaged[i].name == c.name && imaged[i].type == c.type) at = static_cast<int>(i);
      out.push_back(at);
    }
    return out;
  }
  // Whether imageOf() a column of this type reads as the column's value
  // read itself does.
  virtual bool imageReadsAsValue(int /*typeCode*/) const { return false; }
  virtual std::string updateReturningChanges(
      const TableRef& /*table*/, const std::vector<ChangeColumn>& /*keys*/,
      const std::vector<std::pair<ChangeColumn, std::string>>& /*searched*/,
      std::string_view /*condition*/, const std::vector<ChangeColumn>& /*imaged*/,
      long long /*limit*/) const {
    return {};
  }

  // -- an undo's rows given back many to a statement
  // One row when writing a row of the table may write other rows of it or
  // elsewhere (a trigger of any kind, a foreign key's action included):
  // then its rows are given back one at a time, in order. Empty where the
  // engine has no rowsRestore().
  virtual std::string writesElsewhereQuery(const TableRef& /*table*/) const { return {}; }
  // One update that gives several rows their old values back, each only
  // where its key finds it and every imaged column's image (imageOf()) is
  // still the one given. Each row gives its key values, the changed
  // columns' old values, then the images; `types` names each column's type
  // as the catalog writes it (columnTypesQuery()'s second column). The
  // statement returns the 1-based place of each row written; with its
  // parameters. Empty where the engine has none.
  virtual std::pair<std::string, std::vector<std::optional<std::string>>> rowsRestore(
      const TableRef& /*table*/, const std::vector<ChangeColumn>& /*keys*/,
      const std::vector<ChangeColumn>& /*changed*/, const std::vector<ChangeColumn>& /*imaged*/,
      const std::vector<std::pair<std::string, std::string>>& /*types*/,
      const std::vector<std::vector<std::optional<std::string>>>& /*rows*/) const {
    return {};
  }
};

inline constexpr char kIdentitySeparator = '\x1f';
std::vector<std::string> identityFields(std::string_view identity);

// The engine's object; lives as long as the program.
const EngineSql& forDialect(Dialect dialect);

// The text type codes of the database access layer.
inline constexpr int adChar = 129, adWChar = 130, adVarNumeric = 139, adVarChar = 200,
                     adLongVarChar = 201, adVarWChar = 202, adLongVarWChar = 203;
// And the others the statements tell apart.
inline constexpr int adSmallInt = 2, adInteger = 3, adSingle = 4, adDouble = 5, adCurrency = 6,
                     adBoolean = 11, adTinyInt = 16, adUnsignedTinyInt = 17, adBigInt = 20,
                     adBinary = 128, adNumeric = 131, adDBDate = 133, adDBTime = 134,
                     adDBTimeStamp = 135, adVarBinary = 204, adLongVarBinary = 205;
bool isBinary(int typeCode);
// Character data of any length.
bool isText(int typeCode);
// Numbers, whose text is written bare.
bool isNumeric(int typeCode);

// Shared by the engines' files.
std::string doubled(std::string_view text, char quote);
std::string stringLiteral(std::string_view text, bool national);
// Whether the text holds a control character a client reading a script may
// not give back byte for byte (a tab and a line feed it does).
bool hasControl(std::string_view text);
// The text as literals of its runs of other characters and, between them,
// `control`'s expression of each control character, joined by `joiner` and
// parenthesised.
std::string withControls(std::string_view text, std::string (*plain)(std::string_view),
                         std::string (*control)(unsigned char), std::string_view joiner);
bool isLongText(int typeCode);

// What a type is to a search, and why a column of it is not searched
// (empty for text).
enum class TypeFamily { Text, Binary, Members, Structured, Array, Cutting, Other };
std::string notSearchedReason(TypeFamily family);

}  // namespace trellick::sql
