#include "journal/undo_by_value.h"

#include <cctype>
#include <ostream>
#include <unordered_map>

#include "db/recordset.h"
#include "search/changes.h"

namespace trellick::journal {
namespace {

using search::ChangeColumn;

// One journaled row with what the run left in it and what it had.
struct Journaled {
  Row row;
  std::vector<ChangeColumn> changed;
  std::vector<std::string> oldValues, newValues;
  std::string beforeImage;  // the whole row as it was, encoded
};

// The journaled rows that the run left equal: the rows of the table that
// equal them, counted in one read.
struct Image {
  std::vector<size_t> rows;     // indexes into the journaled rows
  long long found = 0;          // rows of the table equal to it
  std::vector<Value> locators;  // theirs, where the engine names rows
};

// An undo that restored another number of rows than it counted first:
// the table's restore is rolled back.
db::DbError restoredOtherThan(long long n, long long expected) {
  return db::DbError("undo",
                     {{"HY000", 0,
                       "[Trellick]恢复了 " + std::to_string(n) + " 条记录，应为 " +
                           std::to_string(expected) + " 条，已撤回此表的恢复"}},
                     "[Trellick]restored " + std::to_string(n) + " records where " +
                         std::to_string(expected) +
                         " were expected; the table's restore was rolled back");
}

Value valueOf(db::Recordset& rs, int index) {
  db::Variant v = rs.Fields().Item(index).Value();
  return v.IsNull() ? std::nullopt : Value(v.text());
}

// Restores every row equal to one of the images in one update joined to a
// temporary table of them.
void restoreJoined(db::Connection& conn, const sql::EngineSql& statements, const TableEntry& entry,
                   const search::TableRef& table, const std::vector<std::string>& names,
                   const std::vector<Journaled>& rows, const std::vector<const Image*>& joined,
                   long long expected) {
  // A name no table of the database has, nor the one undone: a temporary
  // table hides a table of its name, and a join cannot name two alike.
  std::string images = statements.imagesTableName();
  for (int k = 2; images.empty(); ++k) {
    const std::string name =
        "trellick_undo_images" + (k > 2 ? "_" + std::to_string(k - 1) : std::string());
    std::string lowered = table.name;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered == name) continue;
    auto taken = conn.Execute(statements.tableNamedQuery(name));
    const bool free = taken->Eof();
    taken->Close();
    if (free) images = name;
  }
  const std::string target = statements.updateTarget(table);
  // The temporary table takes the columns' own types: the image's values
  // and the old values of the columns the run changed.
  std::string list;
  for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
  std::vector<std::string> oldNames;
  for (size_t k = 0; k < entry.changed.size(); ++k) {
    oldNames.push_back("trellick_old_" + std::to_string(k));
    list += ", " + statements.quotedName(entry.changed[k].name) + " as " + oldNames.back();
  }
  for (const std::string& statement :
       statements.makeImagesTable(images, "trellick_hash", list, statements.selectTarget(table)))
    conn.ExecuteAll(statement);
  std::string marks;
  for (size_t k = 0; k < names.size() + oldNames.size(); ++k) marks += k ? ", ?" : "?";
  std::string columns;
  for (const auto& n : names) columns += (columns.empty() ? "" : ", ") + n;
  for (const auto& n : oldNames) columns += ", " + n;
  const std::string insert = "insert into " + images + " (" + columns + ") values (" + marks + ")";
  for (const Image* image : joined) {
    const Journaled& j = rows[image->rows[0]];
    // The image: the row's values with the changed ones as the run left them.
    Values params = j.row.identity;
    for (size_t k = 0; k < entry.changed.size(); ++k) {
      const Value& before = j.row.before[k];
      const Value& after = j.row.after[k];
      const bool changed = before && after && *before != *after;
      for (size_t i = 0; i < entry.identity.size(); ++i)
        if (changed && entry.identity[i].name == entry.changed[k].name) params[i] = after;
    }
    for (size_t k = 0; k < entry.changed.size(); ++k) {
      const Value& before = j.row.before[k];
      const Value& after = j.row.after[k];
      const bool changed = before && after && *before != *after;
      Value old;
      for (size_t i = 0; i < entry.identity.size(); ++i)
        if (entry.identity[i].name == entry.changed[k].name) old = params[i];
      params.push_back(changed ? before : old);
    }
    conn.ExecuteParams(insert, params);
  }
  std::vector<std::string> imageNames;
  for (const auto& n : names) imageNames.push_back(images + "." + n);
  conn.ExecuteAll("update " + images + " set trellick_hash = " + statements.rowHash(imageNames));
  std::vector<std::string> tableNames;
  for (const auto& n : names) tableNames.push_back(target + "." + n);
  std::string on = images + ".trellick_hash = " + statements.rowHash(tableNames);
  for (size_t i = 0; i < names.size(); ++i) {
    const int type = entry.identity[i].type;
    const std::string mine =
        sql::isText(type) ? statements.exactColumn(tableNames[i], type) : tableNames[i];
    const std::string theirs =
        sql::isText(type) ? statements.exactColumn(imageNames[i], type) : imageNames[i];
    on += " and " + statements.nullSafeEquals(mine, theirs);
  }
  std::string set;
  for (size_t k = 0; k < entry.changed.size(); ++k)
    set += (k ? ", " : "") +
           statements.joinedAssignment(target, statements.quotedName(entry.changed[k].name),
                                       images + "." + oldNames[k]);
  const long long n = conn.ExecuteParams(statements.joinedUpdate(target, images, on, set), {});
  conn.ExecuteAll(statements.dropImagesTable(images));
  if (n != expected) throw restoredOtherThan(n, expected);
}

}  // namespace

void undoByValue(db::Connection& conn, Journal& journal, const TableEntry& entry,
                 const search::TableRef& table, long long undoTable, UndoTable& result,
                 std::ostream* script) {
  const search::Engine engine = conn.dialect();
  const search::Syntax syntax = conn.syntax();
  const sql::EngineSql& statements = sql::forDialect(engine);

  // A whole row as a key. A fixed-length column holds its value padded
  // with spaces to its length, which the run's journaled value may not
  // show: there trailing spaces are the type's, not the value's.
  auto imageKey = [&](Values values) {
    for (size_t i = 0; i < values.size() && i < entry.identity.size(); ++i) {
      const int type = entry.identity[i].type;
      if ((type == sql::adChar || type == sql::adWChar) && values[i])
        values[i]->erase(values[i]->find_last_not_of(' ') + 1);
    }
    return encodeValues(values);
  };
  std::vector<Journaled> rows;
  std::unordered_map<std::string, Image> images;  // by the encoded after-image
  std::vector<std::string> order;                 // images in journal order
  journal.forEachRow(entry.id, [&](const Row& row) {
    Journaled j{row, {}, {}, {}, {}};
    Values after = row.identity, before = row.identity;
    for (size_t k = 0; k < entry.changed.size(); ++k) {
      if (!row.before[k] || !row.after[k] || *row.before[k] == *row.after[k]) continue;
      j.changed.push_back(entry.changed[k]);
      j.oldValues.push_back(*row.before[k]);
      j.newValues.push_back(*row.after[k]);
      for (size_t i = 0; i < entry.identity.size(); ++i)
        if (entry.identity[i].name == entry.changed[k].name) {
          after[i] = row.after[k];
          before[i] = row.before[k];
        }
    }
    if (j.changed.empty()) return;
    if (script) {
      // A script cannot count the rows first: each statement restores at
      // most one row where the engine can limit an update.
      *script << search::undoRow(engine, syntax, table, entry.identity, row.identity, j.changed,
                                 j.oldValues, j.newValues, true, true)
                     .sql
              << statements.updateRowLimit(1) << ";\n";
      ++result.restored;
      return;
    }
    j.beforeImage = imageKey(before);
    const std::string key = imageKey(after);
    auto [it, fresh] = images.try_emplace(key);
    if (fresh) order.push_back(key);
    it->second.rows.push_back(rows.size());
    rows.push_back(std::move(j));
  });
  if (script || rows.empty()) return;

  // One read of the table: how many rows equal each image, and how many
  // already hold a row's old values.
  std::unordered_map<std::string, long long> beforeFound;
  for (const auto& j : rows) beforeFound.try_emplace(j.beforeImage, 0);
  const std::string locator = statements.rowLocator();
  std::string list = locator;
  for (const auto& c : entry.identity)
    list += (list.empty() ? "" : ", ") + statements.quotedName(c.name);
  {
    auto rs = conn.Execute("select " + list + " from " + statements.selectTarget(table) +
                           statements.lockHint() + " where 1 = 1" + statements.lockClause());
    const int first = locator.empty() ? 0 : 1;
    while (rs->State() == db::adStateOpen && !rs->Eof()) {
      Values values;
      for (size_t k = 0; k < entry.identity.size(); ++k)
        values.push_back(valueOf(*rs, first + static_cast<int>(k)));
      const std::string key = imageKey(values);
      if (auto it = images.find(key); it != images.end()) {
        ++it->second.found;
        if (!locator.empty()) it->second.locators.push_back(valueOf(*rs, 0));
      }
      if (auto it = beforeFound.find(key); it != beforeFound.end()) ++it->second;
      rs->MoveNext();
    }
    if (rs->State() == db::adStateOpen) rs->Close();
  }

  auto journalBack = [&](const Row& row) {
    // Journaled the other way round: undoing this undo puts the run's
    // values back.
    Row back{row.identity, {}, {}};
    for (size_t k = 0; k < entry.changed.size(); ++k) {
      back.before.push_back(row.after[k]);
      back.after.push_back(row.before[k]);
    }
    journal.addRow(undoTable, back);
  };
  auto notRestored = [&](const Journaled& j) {
    long long& already = beforeFound[j.beforeImage];
    if (already > 0) {
      --already;
      ++result.alreadyBefore;
    } else {
      result.conflicts.push_back(j.row.identity);
    }
  };

  // Without a row's locator, the images to restore go into a temporary
  // table indexed by a hash of the whole row, and one update joins the
  // table to it: one pass, not one per image.
  const std::vector<std::string> names = [&] {
    std::vector<std::string> out;
    for (const auto& c : entry.identity) out.push_back(statements.quotedName(c.name));
    return out;
  }();
  const std::string hash = locator.empty() ? statements.rowHash(names) : std::string();
  std::vector<const Image*> joined;
  long long joinedRows = 0;
  auto sameOldValues = [&](const Image& image, size_t restoring) {
    for (size_t n = 1; n < restoring; ++n)
      if (rows[image.rows[n]].beforeImage != rows[image.rows[0]].beforeImage) return false;
    return true;
  };

  for (const std::string& key : order) {
    const Image& image = images[key];
    const long long journaled = static_cast<long long>(image.rows.size());
    if (image.found > journaled) {
      // More rows are so than the run changed: which of them it changed
      // cannot be told.
      for (size_t r : image.rows) result.ambiguous.push_back(rows[r].row.identity);
      continue;
    }
    const size_t restoring = static_cast<size_t>(image.found);
    if (!locator.empty()) {
      for (size_t n = 0; n < restoring; ++n) {
        const Journaled& j = rows[image.rows[n]];
        std::string sql = "update " + statements.updateTarget(table) + " set ";
        std::vector<Value> params;
        for (size_t k = 0; k < j.changed.size(); ++k) {
          sql += (k ? ", " : "") + statements.quotedName(j.changed[k].name) + " = ?";
          params.push_back(j.oldValues[k]);
        }
        sql += " where " + statements.rowLocatorEquals(locator);
        params.push_back(image.locators[n]);
        if (conn.ExecuteParams(sql, params) != 1)
          throw db::DbError("undo", {{"HY000", 0, "[Trellick]已锁定的记录未能恢复"}},
                            "[Trellick]a locked row could not be restored");
        journalBack(j.row);
      }
    } else if (restoring > 0 && !sameOldValues(image, restoring)) {
      // Without telling the rows apart, one statement gives each the same
      // old values: rows that had different ones are not told apart.
      for (size_t r : image.rows) result.ambiguous.push_back(rows[r].row.identity);
      continue;
    } else if (restoring > 0 && !hash.empty()) {
      // Joined in one update below.
      joined.push_back(&image);
      joinedRows += image.found;
    } else if (restoring > 0) {
      // Every row equal to the image is one the run changed: one update
      // restores them all.
      const Journaled& j = rows[image.rows[0]];
      const auto restore = search::undoRow(engine, syntax, table, entry.identity, j.row.identity,
                                           j.changed, j.oldValues, j.newValues, false, true);
      const long long n = conn.ExecuteParams(restore.sql, restore.params);
      if (n != image.found) throw restoredOtherThan(n, image.found);
      for (size_t m = 0; m < restoring; ++m) journalBack(rows[image.rows[m]].row);
    }
    result.restored += image.found;
    for (size_t n = restoring; n < image.rows.size(); ++n) notRestored(rows[image.rows[n]]);
  }
  if (!joined.empty())
    restoreJoined(conn, statements, entry, table, names, rows, joined, joinedRows);
  for (const Image* image : joined)
    for (size_t n = 0; n < static_cast<size_t>(image->found); ++n)
      journalBack(rows[image->rows[n]].row);
}

}  // namespace trellick::journal
