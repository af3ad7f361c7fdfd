// A record set over one statement's result: the current row, its columns
// with their names, type codes, sizes and values, and writing the current
// row back.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/types.h"

namespace trellick::db {

enum CursorType : int {
  adOpenForwardOnly = 0,
  adOpenKeyset = 1,
  adOpenDynamic = 2,
  adOpenStatic = 3
};
enum LockType : int {
  adLockReadOnly = 1,
  adLockPessimistic = 2,
  adLockOptimistic = 3,
  adLockBatchOptimistic = 4
};

// A column value: null or text (numbers come as their decimal text).
class Variant {
 public:
  Variant() = default;
  static Variant null() {
    Variant v;
    v.null_ = true;
    return v;
  }
  static Variant text(std::string s) {
    Variant v;
    v.text_ = std::move(s);
    return v;
  }
  bool IsNull() const { return null_; }
  const std::string& text() const { return text_; }
  // Throws DbError when the value is null or not an integer.
  long long toInt64() const;

 private:
  bool null_ = false;
  std::string text_;
};

struct ColumnInfo {
  std::string name;
  int type = adEmpty;
  long long definedSize = 0;
  int sqlType = 0;
  std::string typeName;
};

class Recordset;

class Field {
 public:
  const std::string& Name() const;
  int Type() const;
  long long DefinedSize() const;
  // Throws DbError when there is no current row.
  Variant Value() const;
  // A pending change of the current row, stored by Update().
  void SetValue(const std::string& text);

 private:
  friend class Recordset;
  friend class FieldList;
  Field(Recordset* rs, int index) : rs_(rs), index_(index) {}
  Recordset* rs_;
  int index_;
};

class FieldList {
 public:
  int Count() const;
  Field Item(int index) const;              // throws DbError when out of range
  Field Item(std::string_view name) const;  // case-insensitive; throws

 private:
  friend class Recordset;
  explicit FieldList(Recordset* rs) : rs_(rs) {}
  Recordset* rs_;
};

struct OpenOptions {
  OpenOptions() = default;
  explicit OpenOptions(long rows) : maxRows(rows) {}
  // Rows the driver may fetch at most (0: all). 1 learns the columns and
  // whether a row exists without reading the table.
  long maxRows = 0;
  // Prepare and describe only: the columns, and no row read at all (the
  // record set is open with EOF and BOF both true).
  bool describeOnly = false;
  // The table behind "select * from ...", for writing a row back where the
  // row is named by its primary key (SQL Server).
  std::string schema;
  std::string table;
};

class Recordset {
 public:
  Recordset() = default;
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Throws DbError. options is accepted for shape only (-1: unspecified).
  void Open(const std::string& source, Connection& conn, int cursorType, int lockType,
            int options = -1, OpenOptions extra = {});
  int State() const;
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  void MoveNext();
  FieldList Fields() { return FieldList(this); }
  // Stores the pending changes of the current row; throws DbError.
  void Update();
  void Close();

  // Used by Connection.
  void attachResult(std::shared_ptr<StatementCore> stmt, const std::string& context);
  void attachPrepared(std::shared_ptr<StatementCore> stmt, const std::string& context);
  void attachRows(std::vector<ColumnInfo> columns, std::vector<std::vector<Variant>> rows);

 private:
  friend class Field;
  friend class FieldList;

  void takeStatement(std::shared_ptr<StatementCore> stmt, const std::string& context);
  void describeColumns();
  void describeTypes();
  void fetch();
  void loadRow();
  void requireRow() const;
  int columnCount() const { return static_cast<int>(columns_.size()); }
  int odbcColumn(int index) const { return index + 1 + hiddenColumns_; }
  void updateSqliteRow();
  void updatePositioned();
  void updateByKey();

  std::shared_ptr<StatementCore> stmt_;
  std::string context_;
  bool open_ = false;
  bool eof_ = true;
  bool bof_ = true;
  std::vector<ColumnInfo> columns_;
  // Whether columns_ holds the types beside the names.
  bool typed_ = false;
  // The current row, read on first use.
  bool rowLoaded_ = false;
  std::vector<Variant> row_;
  std::map<int, std::string> pending_;
  // Materialized rows (schema record sets).
  bool materialized_ = false;
  std::vector<std::vector<Variant>> rows_;
  size_t rowIndex_ = 0;
  // SQLite writes the current row back by its rowid, read as a hidden first
  // column.
  int hiddenColumns_ = 0;
  std::string updateTarget_;
  std::string rowidName_;
  std::string rowid_;
  // SQL Server: the current row only, held after the select was closed.
  bool currentRowOnly_ = false;
  std::shared_ptr<ConnectionCore> keyConnection_;
  std::string keySchema_;
  std::string keyTable_;
};

}  // namespace trellick::db
