#include "db/recordset.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "common/utf8.h"
#include "db/core.h"

namespace trellick::db {
namespace {

[[noreturn]] void failNoRow() {
  fail("3021",
       "Either BOF or EOF is True, or the current record has been deleted. Requested "
       "operation requires a current record.");
}

// SQLite's brackets cannot hold a "]"; its double quotes hold anything.
std::string sqliteQuoted(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// A value read as C type `cType` in units of Char; nullopt for NULL. The
// first read goes to a short buffer on the stack, which most values fit;
// the rest of a long one comes in large chunks, allocated once for the
// value. Buffers are filled by the driver, so left uninitialised.
template <class Char>
std::optional<std::basic_string<Char>> readPieces(StatementCore& s, SQLUSMALLINT column,
                                                  SQLSMALLINT cType) {
  // The SQLite driver copies with strncpy, which pads the whole buffer: a
  // short first buffer costs a short value little.
  constexpr size_t kFirst = 512 / sizeof(Char), kChunk = 64 * 1024 / sizeof(Char);
  std::basic_string<Char> out;
  Char first[kFirst];
  std::unique_ptr<Char[]> chunk;
  for (size_t room = kFirst;; room = kChunk) {
    if (room == kChunk && !chunk) chunk = std::make_unique_for_overwrite<Char[]>(kChunk);
    Char* buf = room == kFirst ? first : chunk.get();
    SQLLEN indicator = 0;
    SQLRETURN rc = readValueTimed(s, "read a value", [&] {
      return SQLGetData(s.handle(), column, cType, buf, static_cast<SQLLEN>(room * sizeof(Char)),
                        &indicator);
    });
    if (rc == SQL_NO_DATA) break;
    s.check(rc, "read a value");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    // The driver ends each piece with a NUL unit.
    const bool truncated =
        rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>((room - 1) * sizeof(Char)));
    out.append(buf, truncated ? room - 1 : static_cast<size_t>(indicator) / sizeof(Char));
    if (!truncated) break;
  }
  return out;
}

Variant readColumn(StatementCore& s, SQLUSMALLINT column) {
  // MariaDB's driver gives a value's UTF-16 one unit short where a
  // three-byte character stands before its end: its values are read as
  // the UTF-8 they are, as its parameters are bound.
  if (s.wide() && !s.conn->facts.narrowParameters) {
    // UTF-16 from a Unicode driver; a character split between two reads
    // is joined before conversion.
    auto v = readPieces<char16_t>(s, column, SQL_C_WCHAR);
    return v ? Variant::text(utf16ToUtf8(*v)) : Variant::null();
  }
  auto v = readPieces<char>(s, column, SQL_C_CHAR);
  return v ? Variant::text(std::move(*v)) : Variant::null();
}

// The describing calls in a Unicode driver's wide form or in the narrow
// one, chosen by the character type of the buffer.
SQLRETURN describeCol(SQLHSTMT h, SQLUSMALLINT i, char16_t* name, SQLSMALLINT units,
                      SQLSMALLINT* nameLen, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits) {
  return SQLDescribeColW(h, i, reinterpret_cast<SQLWCHAR*>(name), units, nameLen, type, size,
                         digits, nullptr);
}
SQLRETURN describeCol(SQLHSTMT h, SQLUSMALLINT i, char* name, SQLSMALLINT units,
                      SQLSMALLINT* nameLen, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits) {
  return SQLDescribeCol(h, i, reinterpret_cast<SQLCHAR*>(name), units, nameLen, type, size, digits,
                        nullptr);
}
SQLRETURN colAttribute(SQLHSTMT h, SQLUSMALLINT i, SQLUSMALLINT field, char16_t* text,
                       SQLSMALLINT bytes, SQLSMALLINT* length) {
  return SQLColAttributeW(h, i, field, text, bytes, length, nullptr);
}
SQLRETURN colAttribute(SQLHSTMT h, SQLUSMALLINT i, SQLUSMALLINT field, char* text,
                       SQLSMALLINT bytes, SQLSMALLINT* length) {
  return SQLColAttribute(h, i, field, text, bytes, length, nullptr);
}
std::string asUtf8(const std::u16string& text) { return utf16ToUtf8(text); }
std::string asUtf8(std::string&& text) { return std::move(text); }

// A column's SQL type, size and declared type name.
struct Description {
  std::string typeName;
  SQLSMALLINT sqlType = 0;
  SQLULEN size = 0;
};

template <class Char>
Description describeType(StatementCore& s, SQLUSMALLINT i) {
  SQLHSTMT h = s.handle();
  Description d;
  // Nullability is not asked for: the PostgreSQL driver would look it up in
  // the catalog with statements of its own for every result. The name is
  // not wanted either, but the PostgreSQL driver fails without a buffer.
  Char name[128];
  SQLSMALLINT nameLen = 0, digits = 0;
  s.check(describeCol(h, i, name, 128, &nameLen, &d.sqlType, &d.size, &digits),
          "describe a column");
  Char typeName[256] = {0};
  SQLSMALLINT typeBytes = -1;
  colAttribute(h, i, SQL_DESC_TYPE_NAME, typeName, sizeof typeName, &typeBytes);
  std::basic_string<Char> type(
      typeName,
      typeBytes < 0 ? 255 : std::min<size_t>(static_cast<size_t>(typeBytes) / sizeof(Char), 255));
  type.resize(std::min(type.find(Char{}), type.size()));
  d.typeName = asUtf8(std::move(type));
  return d;
}

Description describeType(StatementCore& s, SQLUSMALLINT i) {
  return s.wide() ? describeType<char16_t>(s, i) : describeType<char>(s, i);
}

// A column's name alone. Asked for a column's type, the PostgreSQL driver
// looks the column's table up in the catalog with a statement of its own
// (once a table and connection): a round trip for every table a run reads
// rows of, whose values are read as text whatever their types.
template <class Char>
std::basic_string<Char> describeName(StatementCore& s, SQLUSMALLINT i) {
  std::basic_string<Char> name(256, Char{});
  SQLSMALLINT nameLen = 0;
  auto call = [&] {
    return describeCol(s.handle(), i, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLen,
                       nullptr, nullptr, nullptr);
  };
  SQLRETURN rc = call();
  if (rc == SQL_SUCCESS_WITH_INFO && nameLen >= static_cast<SQLSMALLINT>(name.size())) {
    name.assign(static_cast<size_t>(nameLen) + 1, Char{});
    rc = call();
  }
  s.check(rc, "describe a column");
  name.resize(std::min<size_t>(static_cast<size_t>(nameLen), name.size() - 1));
  return name;
}

std::string describeName(StatementCore& s, SQLUSMALLINT i) {
  return s.wide() ? asUtf8(describeName<char16_t>(s, i)) : describeName<char>(s, i);
}

// Whether a result column after the first is called name.
bool hasColumnNamed(StatementCore& s, std::string_view name) {
  SQLSMALLINT n = 0;
  SQLNumResultCols(s.handle(), &n);
  for (SQLSMALLINT i = 2; i <= n; ++i)
    if (equalsNoCase(describeName(s, static_cast<SQLUSMALLINT>(i)), name)) return true;
  return false;
}

}  // namespace

long long Variant::toInt64() const {
  if (null_) fail("22018", "Invalid use of Null");
  long long v = 0;
  const char* begin = text_.data();
  const char* end = begin + text_.size();
  auto [ptr, ec] = std::from_chars(begin, end, v);
  if (ec == std::errc::result_out_of_range) fail("22003", "Overflow: " + text_);
  if (ec != std::errc() || ptr != end) fail("22018", "Type mismatch: " + text_);
  return v;
}

// ---- Field ----

const std::string& Field::Name() const { return rs_->columns_.at(index_).name; }
int Field::Type() const {
  rs_->describeTypes();
  return rs_->columns_.at(index_).type;
}
long long Field::DefinedSize() const {
  rs_->describeTypes();
  return rs_->columns_.at(index_).definedSize;
}

Variant Field::Value() const {
  rs_->requireRow();
  if (auto it = rs_->pending_.find(index_); it != rs_->pending_.end())
    return Variant::text(it->second);
  if (rs_->materialized_) return rs_->rows_.at(rs_->rowIndex_).at(index_);
  if (!rs_->rowLoaded_) rs_->loadRow();
  return rs_->row_.at(index_);
}

void Field::SetValue(const std::string& text) {
  rs_->requireRow();
  rs_->pending_[index_] = text;
}

// ---- FieldList ----

int FieldList::Count() const {
  if (!rs_->open_) fail("3704", "Operation is not allowed when the object is closed.");
  return rs_->columnCount();
}

Field FieldList::Item(int index) const {
  if (index < 0 || index >= Count())
    fail("3265",
         "Item cannot be found in the collection corresponding to the requested "
         "name or ordinal.");
  return Field(rs_, index);
}

Field FieldList::Item(std::string_view name) const {
  for (int i = 0; i < Count(); ++i)
    if (equalsNoCase(rs_->columns_[i].name, name)) return Field(rs_, i);
  fail("3265",
       "Item cannot be found in the collection corresponding to the requested "
       "name or ordinal: " +
           std::string(name));
}

// ---- Recordset ----

Recordset::~Recordset() = default;

int Recordset::State() const {
  if (!open_) return adStateClosed;
  if (materialized_) return adStateOpen;
  return stmt_ && stmt_->stmt ? adStateOpen : adStateClosed;
}

void Recordset::Open(const std::string& source, Connection& conn, int cursorType, int lockType,
                     int /*options*/, OpenOptions extra) {
  if (State() == adStateOpen) fail("3705", "Operation is not allowed when the object is open.");
  if (conn.State() != adStateOpen) failConnectionNotOpen();
  auto core = conn.core_;
  const DriverFacts& facts = core->facts;
  const bool byRowid = sql::forDialect(facts.engine).capabilities().rowid;
  const std::string prefix = "select * from ";
  const bool selectAll = source.size() > prefix.size() &&
                         equalsNoCase(std::string_view(source).substr(0, prefix.size()), prefix);
  bool updatable = lockType != adLockReadOnly;
  currentRowOnly_ = false;
  // A server that serves one result at a time (FreeTDS) cannot run the
  // row's update while this select still has rows pending, and its keyset
  // cursors update through every bound column. The current row is read and
  // the select closed; Update() then names the row by its primary key.
  const bool byKey = !byRowid && updatable && selectAll;
  if (byKey) {
    cursorType = adOpenForwardOnly;
    lockType = adLockReadOnly;
    updatable = false;
  }

  auto run = [&](const std::string& text) {
    auto s = newTimedStatement(*core, "open a record set");
    SQLHSTMT h = s->handle();
    if (facts.cursorTypes) {
      // Ask for the cursor the caller wants, for positioned updates (the
      // SQLite driver does best forward-only).
      SQLULEN cursor = cursorType == adOpenKeyset    ? SQL_CURSOR_KEYSET_DRIVEN
                       : cursorType == adOpenDynamic ? SQL_CURSOR_DYNAMIC
                       : cursorType == adOpenStatic  ? SQL_CURSOR_STATIC
                                                     : SQL_CURSOR_FORWARD_ONLY;
      SQLULEN concurrency = lockType == adLockPessimistic ? SQL_CONCUR_LOCK
                            : updatable                   ? SQL_CONCUR_VALUES
                                                          : SQL_CONCUR_READ_ONLY;
      SQLSetStmtAttr(h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(cursor), 0);
      SQLSetStmtAttr(h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(concurrency), 0);
    }
    if (extra.maxRows > 0)
      SQLSetStmtAttr(h, SQL_ATTR_MAX_ROWS,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(extra.maxRows)), 0);
    execDirect(*s, text, "open a record set");
    return s;
  };

  hiddenColumns_ = 0;
  updateTarget_.clear();
  std::shared_ptr<StatementCore> s;
  if (byRowid && updatable && selectAll) {
    const std::string target = source.substr(prefix.size());
    // A table may have a real column of one of these names, which then
    // stands for that column instead of the rowid: take the first free one.
    for (const char* alias : {"rowid", "_rowid_", "oid"}) {
      try {
        s = run(std::string("select ") + alias + ", * from " + target);
      } catch (const DbError& e) {
        // Views and WITHOUT ROWID tables have no rowid; they open read-only.
        if (e.description().find(alias) == std::string::npos) throw;
        break;
      }
      if (!hasColumnNamed(*s, alias)) {
        hiddenColumns_ = 1;
        updateTarget_ = target;
        rowidName_ = alias;
        break;
      }
      s.reset();
    }
  }
  // Only the current row is read where the row is written back by its key,
  // where the driver would read the whole table first: by the row limit
  // where it honours one, else by the statement's own.
  const bool oneRow = byKey && facts.readsWholeResult;
  if (oneRow && facts.honoursRowLimit) extra.maxRows = 1;
  if (!s)
    s = run(oneRow && !facts.honoursRowLimit
                ? source + sql::forDialect(facts.engine).trailingLimit(1)
                : source);
  attachResult(std::move(s), "open a record set");
  if (byKey) {
    std::vector<std::vector<Variant>> rows;
    if (!eof_) {
      loadRow();
      rows.push_back(row_);
    }
    // The statement goes: the columns' types are asked while it is here.
    describeTypes();
    std::vector<ColumnInfo> columns = columns_;
    attachRows(std::move(columns), std::move(rows));
    currentRowOnly_ = true;
    keyConnection_ = core;
    updateTarget_ = source.substr(prefix.size());
    keySchema_ = extra.schema;
    keyTable_ = extra.table;
  }
}

void Recordset::takeStatement(std::shared_ptr<StatementCore> stmt, const std::string& context) {
  stmt_ = std::move(stmt);
  context_ = context;
  materialized_ = false;
  pending_.clear();
  rowLoaded_ = false;
  columns_.clear();
}

void Recordset::attachResult(std::shared_ptr<StatementCore> stmt, const std::string& context) {
  takeStatement(std::move(stmt), context);
  SQLSMALLINT n = 0;
  stmt_->check(SQLNumResultCols(stmt_->handle(), &n), context);
  if (n <= 0) {
    // A statement without rows: the record set is closed at once.
    stmt_.reset();
    open_ = false;
    eof_ = bof_ = true;
    return;
  }
  describeColumns();
  open_ = true;
  fetch();
  bof_ = eof_;
}

void Recordset::attachPrepared(std::shared_ptr<StatementCore> stmt, const std::string& context) {
  takeStatement(std::move(stmt), context);
  hiddenColumns_ = 0;
  describeColumns();
  open_ = true;
  eof_ = bof_ = true;
}

void Recordset::attachRows(std::vector<ColumnInfo> columns,
                           std::vector<std::vector<Variant>> rows) {
  stmt_.reset();
  materialized_ = true;
  columns_ = std::move(columns);
  rows_ = std::move(rows);
  typed_ = true;
  rowIndex_ = 0;
  open_ = true;
  eof_ = bof_ = rows_.empty();
  pending_.clear();
}

void Recordset::describeColumns() {
  SQLHSTMT h = stmt_->handle();
  SQLSMALLINT n = 0;
  stmt_->check(SQLNumResultCols(h, &n), context_);
  // Names now; types when first asked, which most results never are.
  typed_ = false;
  for (SQLSMALLINT i = static_cast<SQLSMALLINT>(1 + hiddenColumns_); i <= n; ++i) {
    ColumnInfo c;
    c.name = describeName(*stmt_, static_cast<SQLUSMALLINT>(i));
    columns_.push_back(std::move(c));
  }
}

void Recordset::describeTypes() {
  if (typed_) return;
  if (!stmt_ || !stmt_->stmt) fail("3704", "Operation is not allowed when the object is closed.");
  for (int k = 0; k < columnCount(); ++k) {
    Description d = describeType(*stmt_, static_cast<SQLUSMALLINT>(odbcColumn(k)));
    ColumnInfo& c = columns_[static_cast<size_t>(k)];
    c.sqlType = d.sqlType;
    c.typeName = std::move(d.typeName);
    const ColumnType t = mapColumnType(d.sqlType, d.size, c.typeName);
    c.type = t.code;
    c.definedSize = t.definedSize;
  }
  typed_ = true;
}

void Recordset::fetch() {
  rowLoaded_ = false;
  pending_.clear();
  row_.clear();
  rowid_.clear();
  SQLHSTMT h = stmt_->handle();
  SQLRETURN rc = runTimed(
      *stmt_, "fetch a row", [&] { return SQLFetch(h); }, true);
  if (rc == SQL_NO_DATA) {
    eof_ = true;
    return;
  }
  stmt_->check(rc, "fetch a row");
  eof_ = false;
}

void Recordset::loadRow() {
  if (!stmt_ || !stmt_->stmt) fail("3704", "Operation is not allowed when the object is closed.");
  row_.clear();
  const int total = hiddenColumns_ + columnCount();
  for (int c = 1; c <= total; ++c) {
    Variant v = readColumn(*stmt_, static_cast<SQLUSMALLINT>(c));
    if (c <= hiddenColumns_)
      rowid_ = v.text();
    else
      row_.push_back(std::move(v));
  }
  rowLoaded_ = true;
}

void Recordset::requireRow() const {
  if (State() != adStateOpen) fail("3704", "Operation is not allowed when the object is closed.");
  if (eof_ || bof_) failNoRow();
}

void Recordset::MoveNext() {
  if (State() != adStateOpen) fail("3704", "Operation is not allowed when the object is closed.");
  if (eof_) failNoRow();
  bof_ = false;
  if (currentRowOnly_)
    fail("3251", "This record set holds its current row only; it cannot move to the next.");
  if (materialized_) {
    ++rowIndex_;
    eof_ = rowIndex_ >= rows_.size();
    return;
  }
  fetch();
}

void Recordset::Update() {
  requireRow();
  if (materialized_ && !currentRowOnly_)
    fail("3251", "Current Recordset does not support updating.");
  if (pending_.empty()) return;
  if (currentRowOnly_) {
    updateByKey();
    for (auto& [index, text] : pending_) rows_.at(rowIndex_).at(index) = Variant::text(text);
    pending_.clear();
    return;
  }
  if (!rowLoaded_) loadRow();
  if (stmt_->conn && sql::forDialect(stmt_->conn->facts.engine).capabilities().rowid)
    updateSqliteRow();
  else
    updatePositioned();
  for (auto& [index, text] : pending_) row_.at(index) = Variant::text(text);
  pending_.clear();
}

namespace {

// A piece of a value given at execution: far below any packet a server
// takes, even once the driver has converted it to UTF-8.
constexpr size_t kPieceBytes = 256 * 1024;

// Where the piece of `v` from `from` ends: at most `limit` units on, never
// inside a character, which a driver converting piece by piece would break.
size_t pieceEnd(const std::u16string& v, size_t from, size_t limit) {
  size_t end = std::min(v.size(), from + limit);
  if (end < v.size() && end > from + 1 && v[end - 1] >= 0xD800 && v[end - 1] <= 0xDBFF) --end;
  return end;
}
size_t pieceEnd(const std::string& v, size_t from, size_t limit) {
  size_t end = std::min(v.size(), from + limit);
  while (end < v.size() && end > from + 1 && (static_cast<unsigned char>(v[end]) & 0xC0) == 0x80)
    --end;
  return end;
}

// Hands the driver a value in pieces.
template <class Text>
SQLRETURN putInPieces(SQLHSTMT h, const Text& v) {
  constexpr size_t unit = sizeof(typename Text::value_type);
  for (size_t at = 0; at < v.size();) {
    const size_t end = pieceEnd(v, at, kPieceBytes / unit);
    const SQLRETURN rc = SQLPutData(h, const_cast<typename Text::value_type*>(v.data() + at),
                                    static_cast<SQLLEN>((end - at) * unit));
    if (!SQL_SUCCEEDED(rc)) return rc;
    at = end;
  }
  return SQL_SUCCESS;
}

}  // namespace

// Runs sql with its "?" markers bound to values as text (nullopt: NULL);
// returns its statement, run. A value longer than the driver's facts allow
// in one piece is bound for data at execution and given in pieces.
std::shared_ptr<StatementCore> runBound(ConnectionCore& core, const std::string& sql,
                                        const std::vector<std::optional<std::string>>& values,
                                        const std::string& context) {
  auto s = newTimedStatement(core, context);
  SQLHSTMT h = s->handle();
  const bool wide = s->wide() && !core.facts.narrowParameters;
  const long long longBytes = core.facts.longValueBytes;
  auto inPieces = [&](bool null, size_t bytes) {
    return !null && longBytes > 0 && bytes > static_cast<size_t>(longBytes);
  };
  std::vector<std::u16string> wideValues(values.size());
  std::vector<std::string> narrowValues(values.size());
  std::vector<SQLLEN> lengths(values.size());
  bool anyInPieces = false;
  for (size_t i = 0; i < values.size(); ++i) {
    SQLRETURN rc;
    const bool null = !values[i].has_value();
    const auto number = static_cast<SQLUSMALLINT>(i + 1);
    // The token the driver names the value by when it asks for it.
    const auto token = reinterpret_cast<SQLPOINTER>(i + 1);
    if (wide) {
      if (!null) wideValues[i] = utf8ToUtf16(*values[i]);
      auto& v = wideValues[i];
      const size_t bytes = v.size() * sizeof(char16_t);
      if (inPieces(null, bytes)) {
        anyInPieces = true;
        lengths[i] = SQL_LEN_DATA_AT_EXEC(static_cast<SQLLEN>(bytes));
        rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WLONGVARCHAR, v.size(),
                              0, token, 0, &lengths[i]);
      } else {
        lengths[i] = null ? SQL_NULL_DATA : static_cast<SQLLEN>(bytes);
        rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_WCHAR,
                              v.size() > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR,
                              std::max<SQLULEN>(1, v.size()), 0, v.data(),
                              static_cast<SQLLEN>(bytes), &lengths[i]);
      }
    } else {
      if (!null) narrowValues[i] = *values[i];
      auto& v = narrowValues[i];
      if (inPieces(null, v.size())) {
        anyInPieces = true;
        lengths[i] = SQL_LEN_DATA_AT_EXEC(static_cast<SQLLEN>(v.size()));
        rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR, v.size(), 0,
                              token, 0, &lengths[i]);
      } else {
        lengths[i] = null ? SQL_NULL_DATA : static_cast<SQLLEN>(v.size());
        rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                              std::max<SQLULEN>(1, v.size()), 0, v.data(),
                              static_cast<SQLLEN>(v.size()), &lengths[i]);
      }
    }
    s->check(rc, context);
  }
  // The driver asks for each value bound for data at execution by its
  // token, until the statement has run.
  auto feed = [&]() -> SQLRETURN {
    SQLPOINTER asked = nullptr;
    SQLRETURN rc = SQLParamData(h, &asked);
    while (rc == SQL_NEED_DATA) {
      const size_t i = reinterpret_cast<size_t>(asked) - 1;
      if (i >= values.size()) return SQL_ERROR;
      rc = wide ? putInPieces(h, wideValues[i]) : putInPieces(h, narrowValues[i]);
      if (!SQL_SUCCEEDED(rc)) return rc;
      rc = SQLParamData(h, &asked);
    }
    return rc;
  };
  execDirect(*s, sql, context, anyInPieces ? DataFeed(feed) : DataFeed());
  return s;
}

// The same, returning the rows it affected.
long long executeBound(ConnectionCore& core, const std::string& sql,
                       const std::vector<std::optional<std::string>>& values,
                       const std::string& context) {
  auto s = runBound(core, sql, values, context);
  SQLLEN count = 0;
  SQLRowCount(s->handle(), &count);
  return count;
}

namespace {

// Exactly one row must change.
void runRowUpdate(ConnectionCore& core, const std::string& sql,
                  const std::vector<std::string>& values) {
  std::vector<std::optional<std::string>> bound(values.begin(), values.end());
  if (executeBound(core, sql, bound, "update the current row") != 1)
    fail("3020", "The row to update was changed or deleted by another user.");
}

}  // namespace

// The primary key's columns in key order, from the driver's catalog.
std::vector<std::string> primaryKey(ConnectionCore& core, const std::string& schema,
                                    const std::string& table) {
  auto s = newTimedStatement(core, "read the primary key");
  // MariaDB has databases where others have schemas, and its driver refuses
  // a schema: the database goes as the catalog, or a table of the same name
  // elsewhere would lend its key.
  const bool byCatalog = core.facts.catalogByDatabase;
  WideText catalog(byCatalog ? (schema.empty() ? core.facts.defaultSchema : schema) : "");
  WideText wideSchema(byCatalog ? "" : schema), wideTable(table);
  std::string narrowSchema = byCatalog ? "" : schema, narrowTable = table;
  SQLRETURN rc = runTimed(*s, "read the primary key", [&] {
    if (s->wide())
      return SQLPrimaryKeysW(s->handle(), catalog.empty() ? nullptr : catalog.data(),
                             static_cast<SQLSMALLINT>(catalog.size()),
                             wideSchema.empty() ? nullptr : wideSchema.data(),
                             static_cast<SQLSMALLINT>(wideSchema.size()), wideTable.data(),
                             static_cast<SQLSMALLINT>(wideTable.size()));
    return SQLPrimaryKeys(
        s->handle(), nullptr, 0,
        narrowSchema.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(narrowSchema.data()),
        static_cast<SQLSMALLINT>(narrowSchema.size()),
        reinterpret_cast<SQLCHAR*>(narrowTable.data()),
        static_cast<SQLSMALLINT>(narrowTable.size()));
  });
  std::vector<std::pair<long long, std::string>> keys;
  if (rc != SQL_NO_DATA) {
    s->check(rc, "read the primary key");
    Recordset rs;
    rs.attachResult(s, "read the primary key");
    while (rs.State() == adStateOpen && !rs.Eof()) {
      auto fields = rs.Fields();
      keys.emplace_back(fields.Item(4).Value().toInt64(), fields.Item(3).Value().text());
      rs.MoveNext();
    }
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::string> names;
  for (auto& k : keys) names.push_back(std::move(k.second));
  return names;
}

void Recordset::updateSqliteRow() {
  if (hiddenColumns_ == 0 || rowid_.empty())
    fail("3251", "Current Recordset does not support updating.");
  std::string sql = "update " + updateTarget_ + " set ";
  std::vector<std::string> values;
  for (const auto& [index, text] : pending_) {
    if (!values.empty()) sql += ",";
    sql += sqliteQuoted(columns_.at(index).name) + "=?";
    values.push_back(text);
  }
  sql += " where " + rowidName_ + "=?";
  values.push_back(rowid_);
  runRowUpdate(*stmt_->conn, sql, values);
}

void Recordset::updateByKey() {
  if (!keyConnection_ || keyTable_.empty())
    fail("3251", "Current Recordset does not support updating.");
  // PostgreSQL's catalog answers for every schema unless told which.
  const DriverFacts& facts = keyConnection_->facts;
  const std::string& schema =
      keySchema_.empty() && facts.catalogNeedsSchema ? facts.defaultSchema : keySchema_;
  const auto keys = primaryKey(*keyConnection_, schema, keyTable_);
  if (keys.empty())
    fail("3251", "The table has no primary key, so its current row cannot be told apart.");
  std::string sql = "update " + updateTarget_ + " set ";
  std::vector<std::string> values;
  for (const auto& [index, text] : pending_) {
    if (!values.empty()) sql += ",";
    sql += sql::forDialect(facts.engine).quotedName(columns_.at(index).name) + "=?";
    values.push_back(text);
  }
  const auto& row = rows_.at(rowIndex_);
  for (size_t k = 0; k < keys.size(); ++k) {
    int column = -1;
    for (int c = 0; c < columnCount(); ++c)
      if (equalsNoCase(columns_[c].name, keys[k])) column = c;
    if (column < 0 || row.at(column).IsNull())
      fail("3251", "The current row's key is not readable: " + keys[k]);
    sql +=
        (k == 0 ? " where " : " and ") + sql::forDialect(facts.engine).quotedName(keys[k]) + "=?";
    values.push_back(row.at(column).text());
  }
  runRowUpdate(*keyConnection_, sql, values);
}

void Recordset::updatePositioned() {
  SQLHSTMT h = stmt_->handle();
  std::vector<std::string> buffers;
  std::vector<SQLLEN> lengths;
  buffers.reserve(pending_.size());
  lengths.reserve(pending_.size());
  for (const auto& [index, text] : pending_) {
    buffers.push_back(text);
    lengths.push_back(static_cast<SQLLEN>(text.size()));
    // Unbound columns keep their values; only the changed ones are bound.
    stmt_->check(SQLBindCol(h, static_cast<SQLUSMALLINT>(odbcColumn(index)), SQL_C_CHAR,
                            buffers.back().data(), static_cast<SQLLEN>(buffers.back().size() + 1),
                            &lengths.back()),
                 "update the current row");
  }
  SQLRETURN rc = runTimed(*stmt_, "update the current row",
                          [&] { return SQLSetPos(h, 1, SQL_UPDATE, SQL_LOCK_NO_CHANGE); });
  SQLFreeStmt(h, SQL_UNBIND);
  stmt_->check(rc, "update the current row");
}

void Recordset::Close() {
  if (State() != adStateOpen) fail("3704", "Operation is not allowed when the object is closed.");
  if (!materialized_ && stmt_ && stmt_->conn && !stmt_->conn->facts.severalActiveResults) {
    // Freeing a statement with its result still pending makes the driver
    // cancel it on the wire, a round trip that a busy server answers late.
    // A result at its end (one value, a short list) is read out instead;
    // only a long one is cancelled.
    SQLHSTMT h = stmt_->handle();
    SQLRETURN rc = eof_ ? SQL_NO_DATA : SQLFetch(h);
    if (rc == SQL_NO_DATA)
      while (SQL_SUCCEEDED(SQLMoreResults(h))) {
      }
  }
  stmt_.reset();
  open_ = false;
  eof_ = bof_ = true;
  materialized_ = false;
  currentRowOnly_ = false;
  rows_.clear();
  row_.clear();
  pending_.clear();
  columns_.clear();
  rowLoaded_ = false;
}

}  // namespace trellick::db
