// The statements of the per-table search and replace, built as plain text
// from the table name, its columns and the operator's two texts. For
// ordinary input the text is exactly the template's; quotes, brackets,
// LIKE wildcards, non-ASCII text and irregular names are protected only
// where they occur.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/dialect.h"
#include "sql/engine_sql.h"

namespace trellick::search {

// Which server the statements are written for.
using Engine = trellick::Dialect;

enum class Group { Plain, LongText };

// The searchable type codes: char, nchar, variable numeric, varchar and
// nvarchar are plain; text and ntext are long text.
std::optional<Group> searchGroup(int typeCode);

// A column takes part when its type is searchable and it can hold the
// search text (definedSize at least the text's length in characters).
bool isSearchable(int typeCode, long long definedSize, long long searchLength);

// Length in characters (code points) of UTF-8 text.
long long characterCount(std::string_view utf8);

// Whether the name can stand bare: a regular identifier that is not a
// reserved word of the engine.
bool isRegularIdentifier(std::string_view name, Engine engine);

// "[name]" with "]" doubled.
std::string bracketed(std::string_view name);

// The name in brackets; on SQLite, whose brackets cannot hold a "]", a name
// with one goes in double quotes instead. PostgreSQL: "name", MariaDB:
// `name`, the quote doubled inside.
std::string quotedName(std::string_view name, Engine engine);

// The table name where the templates have it bare: bare when regular,
// quoted as quotedName() otherwise. Always quoted on PostgreSQL (a bare
// name is folded to lower case) and MariaDB.
std::string tableReference(std::string_view table, Engine engine);

// A string literal with its quotes doubled; N'...' when national.
std::string stringLiteral(std::string_view text, bool national);

// "select * from " + the table, quoted as tableReference() does.
std::string columnQuery(std::string_view table, Engine engine);

using TableRef = sql::TableRef;

// Where the templates have the name bare: bare or quoted as
// tableReference(); outside the default schema "[schema].[table]".
std::string qualifiedReference(const TableRef& table, Engine engine);

// "select * from " + qualifiedReference().
std::string columnQueryOf(const TableRef& table, Engine engine);

// A query for what the column descriptions do not tell: each row holds a
// column's name, whether it is computed (generated: it can be read but
// never assigned) and, on SQLite, its declared type. On the servers only
// the computed columns come back; on MariaDB also ENUM and SET columns,
// which its driver describes as char but which can only hold their members.
std::string columnFactsQuery(const TableRef& table, Engine engine);

// SQLite stores text of any length in any column: only a length that the
// declared type states ("varchar(40)") limits what the column holds.
bool declaresLength(std::string_view declaredType);

struct Texts {
  std::string find;     // F, as typed
  std::string replace;  // R, as typed
};

using Syntax = sql::Syntax;

// A string literal as the engine reads it: quotes doubled; N'...' when
// national (SQL Server); a backslash doubled on MariaDB while it escapes,
// and E'...' on PostgreSQL for text holding one, which reads the same
// whatever standard_conforming_strings says.
std::string literalFor(std::string_view text, Engine engine, bool national = false,
                       Syntax syntax = {});

// The unique indexes and constraints of a table that could name its rows:
// one row per key column, by index and then key order, holding the index's
// name, the column's name and 1 where the column is declared not null (0
// otherwise, and for an expression). Partial (filtered) indexes, which
// leave rows outside them free to repeat, and indexes the server does not
// enforce are left out. The schema is the MariaDB database; empty: the
// connection's.
std::string uniqueKeysQuery(const TableRef& table, Engine engine, Syntax syntax = {});

// The user tables of the connected database, one row each: schema, name.
// PostgreSQL: every schema but the system ones; MariaDB: the current
// database only. Empty for the engines that list them otherwise.
std::string userTablesQuery(Engine engine);

class StatementBuilder {
 public:
  StatementBuilder(Engine engine, Texts texts, Syntax syntax = {});

  // "select * from " + T
  std::string columnQuery(const TableRef& table) const;
  // " or [C] like '%F%'" (or its cast form for long text). definedSize is
  // the column's declared size in characters.
  std::string whereTerm(std::string_view column, int typeCode, long long definedSize = 0) const;
  // ",[C]=Replace([C],'F','R')" (or its cast form for long text)
  std::string assignment(std::string_view column, int typeCode, long long definedSize = 0) const;
  // The same without the leading " or ": the column's match term.
  std::string matchTerm(std::string_view column, int typeCode, long long definedSize = 0) const;
  // Replace([C],'F','R') (or its cast form): the column's new value.
  std::string newValue(std::string_view column, int typeCode, long long definedSize = 0) const;
  // where and set are the lists without their leading " or " and ",".
  std::string updateStatement(const TableRef& table, std::string_view set,
                              std::string_view where) const;
  std::string countStatement(const TableRef& table, std::string_view where) const;

  Engine engine() const { return engine_; }
  Syntax syntax() const { return syntax_; }

 private:
  std::string literal(std::string_view text) const;

  Engine engine_;
  Texts texts_;
  Syntax syntax_;
  const sql::EngineSql& sql_;
  bool national_ = false;  // N'...' literals on SQL Server
  std::string likeTail_;   // "like '%F%'" plus the ESCAPE clause when needed
};

}  // namespace trellick::search
