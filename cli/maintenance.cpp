// shrink and tables.
#include <algorithm>

#include "cli/command.h"
#include "cli/json.h"
#include "maintenance/shrink.h"

namespace trellick::cli {

int ShrinkCommand::execute(const std::vector<engine::Table>& tables) {
  const auto statements = maintenance::shrinkStatements(args_.database, conn_->dialect(), tables);
  size_t failures = 0;
  interrupts_.setWalking(true);
  for (size_t k = 0; k < statements.size(); ++k) {
    // Every statement is sent whatever became of the others.
    std::string error;
    try {
      conn_->ExecuteAll(statements[k]);
    } catch (const std::exception& e) {
      error = describe(e);
      ++failures;
    }
    if (args_.json)
      console_.out(jsonLine(Json{{"type", "statement"},
                                 {"index", k},
                                 {"statement", statements[k]},
                                 {"ok", error.empty()},
                                 {"message", textOrNull(error)}}));
    else
      console_.out((error.empty() ? "ok      " : "failed  ") + statements[k] + "\n" +
                   (error.empty() ? "" : "        " + error + "\n"));
    if (interrupts_.stopRequested()) break;
  }
  interrupts_.setWalking(false);
  const int rc = failures == 0 ? kAllRan : kNotAllRan;
  if (args_.json)
    console_.out(jsonLine(Json{{"type", "summary"},
                               {"command", "shrink"},
                               {"statements", statements.size()},
                               {"failed", failures},
                               {"exit", rc}}));
  else if (failures > 0)
    console_.err("trellick-cli: " + std::to_string(failures) + " of " +
                 std::to_string(statements.size()) + " statements failed\n");
  return rc;
}

int TablesCommand::execute(const std::vector<engine::Table>& tables) {
  if (args_.columns) return listColumns(tables);
  for (const auto& t : tables)
    console_.out(args_.json
                     ? jsonLine(Json{{"type", "table"}, {"schema", t.schema}, {"table", t.name}})
                     : engine::displayName(t) + "\n");
  return kAllRan;
}

namespace {

// A type the engine's catalog did not name, as the driver describes it.
std::string driverTypeName(const engine::Column& c) {
  const auto sized = [&](const char* name) {
    return std::string(name) + "(" + std::to_string(c.size) + ")";
  };
  switch (c.type) {
    case sql::adChar:
      return sized("char");
    case sql::adWChar:
      return sized("nchar");
    case sql::adVarChar:
      return sized("varchar");
    case sql::adVarWChar:
      return sized("nvarchar");
    case sql::adLongVarChar:
    case sql::adLongVarWChar:
      return "text";
    default:
      break;
  }
  if (sql::isBinary(c.type)) return "binary";
  if (sql::isNumeric(c.type)) return "number";
  return "type " + std::to_string(c.type);
}

}  // namespace

int TablesCommand::listColumns(const std::vector<engine::Table>& tables) {
  engine::Options options;
  options.describeOnly = true;
  // Every table's columns from one catalog query where the engine has it.
  options.catalog = engine::readCatalog(*conn_, tables);
  engine::Observer quiet;
  size_t failures = 0;
  interrupts_.setWalking(true);
  for (const auto& t : tables) {
    const engine::TableResult r = engine::runTable(*conn_, t, options, quiet);
    if (r.failure) ++failures;
    if (args_.json) {
      Json columns = Json::array();
      for (const auto& c : r.columns)
        columns.push_back(Json{{"name", c.name},
                               {"type", c.engineType.empty() ? driverTypeName(c) : c.engineType},
                               {"searched", c.searchable},
                               {"reason", textOrNull(c.notSearched)}});
      console_.out(
          jsonLine(Json{{"type", "table"},
                        {"schema", t.schema},
                        {"table", t.name},
                        {"columns", columns},
                        {"error", textOrNull(r.failure ? r.failure->englishDescription : "")}}));
    } else {
      std::string text = engine::displayName(t) + "\n";
      if (r.failure) text += "  failed: " + engine::oneLine(r.failure->englishDescription) + "\n";
      size_t nameWidth = 0, typeWidth = 0;
      for (const auto& c : r.columns) {
        nameWidth = std::max(nameWidth, c.name.size());
        typeWidth =
            std::max(typeWidth, (c.engineType.empty() ? driverTypeName(c) : c.engineType).size());
      }
      for (const auto& c : r.columns)
        text += "  " + padRight(c.name, nameWidth) + "  " +
                padRight(c.engineType.empty() ? driverTypeName(c) : c.engineType, typeWidth) +
                "  " + (c.searchable ? std::string("searched") : "not searched: " + c.notSearched) +
                "\n";
      console_.out(text);
    }
    if (interrupts_.stopRequested()) break;
  }
  interrupts_.setWalking(false);
  return failures == 0 ? kAllRan : kNotAllRan;
}

std::optional<int> TablesCommand::executeAsListed() {
  // The plain list needs a table's name only: each line goes out as its
  // row is read. Patterns need the whole list (a pattern matching none is
  // refused), --json and --columns keep their own way.
  if (args_.json || args_.columns || !args_.tables.empty() || !args_.skipTables.empty())
    return std::nullopt;
  std::string pending;
  size_t lines = 0;
  const auto write = [&] {
    if (!pending.empty()) console_.out(pending);
    pending.clear();
  };
  try {
    engine::forEachUserTable(*conn_, [&](engine::Table&& t) {
      pending += engine::displayName(t) + "\n";
      // The first line at once, then in blocks: a write a line would cost
      // more than reading the list.
      if (++lines == 1 || lines % 256 == 0) write();
    });
  } catch (const std::exception& e) {
    write();
    return failed("cannot list the tables of " + login().database + ": " + describe(e));
  }
  write();
  return kAllRan;
}

}  // namespace trellick::cli
