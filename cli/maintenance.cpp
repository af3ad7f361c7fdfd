// shrink and tables.
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
  for (const auto& t : tables)
    console_.out(args_.json
                     ? jsonLine(Json{{"type", "table"}, {"schema", t.schema}, {"table", t.name}})
                     : engine::displayName(t) + "\n");
  return kAllRan;
}

}  // namespace trellick::cli
