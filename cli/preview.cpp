// preview: the rows a replace would change, before and after.
#include <fstream>

#include "cli/command.h"
#include "cli/json.h"
#include "journal/changes.h"

namespace trellick::cli {
namespace {

// The key as "column=value, ...", or "(by value)" for a table without one.
std::string keyText(const journal::Preview& p, const journal::PreviewRow& row) {
  if (p.byValue) return "(by value)";
  std::string key;
  for (size_t m = 0; m < row.identity.size(); ++m)
    key += (m ? ", " : "") + p.identityColumns[m] + "=" +
           (row.identity[m] ? *row.identity[m] : std::string("NULL"));
  return key;
}

}  // namespace

int PreviewCommand::execute(const std::vector<engine::Table>& tables) {
  std::ofstream script;
  if (!args_.sqlFile.empty()) {
    script.open(args_.sqlFile, std::ios::binary | std::ios::trunc);
    if (!script) return failed("cannot write " + args_.sqlFile);
    for (const std::string& statement : journal::scriptSetUp(*conn_)) script << statement << ";\n";
  }
  engine::Options options;
  options.texts = {args_.find.value_or(""), args_.replace.value_or("")};
  options.rewriter = rewriter_;
  options.jsonRewriter = jsonRewriter_;
  options.columnChosen = columnsOf(args_);
  size_t failures = 0, changing = 0;
  long long total = 0;
  for (const auto& table : tables) {
    if (interrupts_.stopRequested()) break;
    journal::Preview p;
    std::string error;
    try {
      p = engine::previewTable(*conn_, table, options, args_.limit);
    } catch (const std::exception& e) {
      error = describe(e);
      ++failures;
    }
    total += p.total;
    if (p.total > 0) ++changing;
    if (script.is_open() && !p.update.empty()) script << p.update << ";\n";
    // A failure is never left out: the totals alone would hide which table.
    if (args_.changedOnly && p.total == 0 && error.empty()) continue;
    if (args_.format == Format::Count) {
      if (!error.empty())
        console_.err("trellick-cli: " + engine::displayName(table) + " failed: " + error + "\n");
      continue;
    }
    if (args_.json) {
      console_.out(jsonLine(previewJson(table, p, error)));
      continue;
    }
    if (!error.empty()) {
      console_.out(engine::displayName(table) + ": failed: " + error + "\n");
      continue;
    }
    // Values the rewriter left alone are told even where nothing changes.
    for (const auto& [reason, n] : p.untouched)
      console_.out(engine::displayName(table) + ": " + counted(n, "value") + " " + reason + "\n");
    if (p.total == 0) continue;
    std::string head =
        "== " + engine::displayName(table) + ": " + counted(p.total, "record") + " would change";
    if (static_cast<long long>(p.rows.size()) < p.total)
      head += ", the first " + std::to_string(p.rows.size()) + " shown";
    if (p.byValue) head += "; no key: an undo matches these rows by value";
    if (p.hasTriggers) head += "; has triggers: what they do is not undone";
    console_.out(head + "\n");
    for (const auto& row : p.rows) {
      const std::string key = keyText(p, row);
      for (const auto& c : row.changes) {
        // The rewriter's values are shown whole: its matches are its own.
        const std::string before = rewriter_ ? c.before : journal::excerpt(c.before, *args_.find);
        const std::string after = rewriter_ ? c.after : journal::excerpt(c.after, *args_.replace);
        std::string forms;
        for (const auto& f : c.forms) forms += (forms.empty() ? "" : ", ") + f;
        console_.out("  " + key + "  " + c.column + "\n    before: " + engine::oneLine(before) +
                     "\n    after:  " + engine::oneLine(after) + "\n" +
                     (forms.empty() ? "" : "    matched: " + forms + "\n"));
      }
    }
  }
  const int rc = failures == 0 ? kAllRan : kNotAllRan;
  if (args_.json)
    console_.out(jsonLine(Json{{"type", "summary"},
                               {"command", "preview"},
                               {"tables", tables.size()},
                               {"records", total},
                               {"failed", failures},
                               {"exit", rc}}));
  else if (args_.format == Format::Count)
    console_.out(countLine(tables.size(), total, "changing", changing, failures));
  else
    console_.out("\npreview: " + counted(total, "record") + " would change" +
                 (script.is_open() ? "; update statements written to " + args_.sqlFile : "") +
                 ".\n");
  return rc;
}

}  // namespace trellick::cli
