#include "cli/json.h"

#include <algorithm>

namespace trellick::cli {
namespace {

std::string statusWord(engine::Status status) {
  std::string s = engine::statusName(status);
  std::replace(s.begin(), s.end(), ' ', '_');
  return s;
}

// Triggers are asked for just before a table's update.
bool triggersLearned(const engine::TableResult& r) {
  return r.status == engine::Status::Replaced || r.status == engine::Status::PartlyReplaced ||
         (r.failure && r.failure->stage == engine::Stage::Update);
}

}  // namespace

std::string jsonLine(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json textOrNull(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

Json textOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json valuesJson(const journal::Values& values) {
  Json out = Json::array();
  for (const auto& v : values) out.push_back(textOrNull(v));
  return out;
}

Json tableJson(const engine::TableResult& r, size_t index) {
  Json out{{"type", "table"},
           {"index", index},
           {"schema", r.table.schema},
           {"table", r.table.name},
           {"status", statusWord(r.status)},
           {"has_rows", r.hasRows},
           {"columns", r.searchableColumns()},
           {"records", r.records},
           {"count_statement", textOrNull(r.countStatement)},
           {"update_statement", textOrNull(r.updateStatement)},
           {"kept", r.journaled ? r.journaled->kept : 0},
           {"journal_complete", r.journaled ? Json(r.journaled->journalComplete) : Json(nullptr)},
           {"by_value", r.journaled ? Json(r.journaled->byValue) : Json(nullptr)},
           {"has_triggers", triggersLearned(r) ? Json(r.hasTriggers) : Json(nullptr)},
           {"failure", nullptr}};
  // The rewriter's values left alone, by reason: only where there are some.
  if (!r.untouched.empty()) out["untouched"] = r.untouched;
  if (!r.failure) return out;
  const engine::Failure& f = *r.failure;
  Json records = Json::array();
  for (const db::DiagRecord& d : f.englishRecords)
    records.push_back(
        Json{{"sqlstate", d.sqlstate}, {"native", d.nativeError}, {"message", d.message}});
  out["failure"] = Json{{"stage", engine::stageName(f.stage)},
                        {"message", f.englishDescription},
                        {"connection_lost", f.connectionLost},
                        {"records", records},
                        {"manual", engine::failureTextEnglish(r, "\n")}};
  return out;
}

Json runJson(const journal::RunEntry& r) {
  Json tables = Json::array();
  for (const auto& t : r.tables) {
    tables.push_back(Json{{"schema", t.table.schema},
                          {"table", t.table.name},
                          {"rows", t.rows},
                          {"state", journal::stateName(t.state)},
                          {"by_value", t.byValue}});
    // One batch of a table's replace: its number (1 the first).
    if (t.batch > 0) tables.back()["batch"] = t.batch;
  }
  return Json{{"type", "run"},
              {"run", r.id},
              {"kind", r.info.kind},
              {"undoes", r.info.undoes ? Json(r.info.undoes) : Json(nullptr)},
              {"started", r.started},
              {"finished", textOrNull(r.finished)},
              {"server", r.info.server},
              {"database", r.info.database},
              {"user", r.info.user},
              {"find", r.info.find},
              {"replace", r.info.replace},
              {"tables", tables},
              {"undone_by", r.undoneBy ? Json(r.undoneBy) : Json(nullptr)}};
}

Json undoJson(const journal::UndoTable& t) {
  Json conflicts = Json::array();
  for (const auto& key : t.conflicts) conflicts.push_back(valuesJson(key));
  Json ambiguous = Json::array();
  for (const auto& key : t.ambiguous) ambiguous.push_back(valuesJson(key));
  return Json{{"type", "undo"},
              {"schema", t.table.schema},
              {"table", t.table.name},
              {"restored", t.restored},
              {"already", t.alreadyBefore},
              {"by_value", t.byValue},
              {"conflicts", conflicts},
              {"ambiguous", ambiguous},
              {"failure", textOrNull(t.failureEnglish)},
              {"journal_damaged", t.damaged},
              {"has_triggers", t.hasTriggers}};
}

Json previewJson(const engine::Table& table, const journal::Preview& p,
                 const std::string& failure) {
  Json rows = Json::array();
  for (const auto& row : p.rows) {
    Json changes = Json::array();
    for (const auto& c : row.changes) {
      Json change{{"column", c.column}, {"before", c.before}, {"after", c.after}};
      if (!c.forms.empty()) change["forms"] = c.forms;
      changes.push_back(std::move(change));
    }
    rows.push_back(Json{{"key", valuesJson(row.identity)}, {"changes", changes}});
  }
  Json out{{"type", "preview"},
           {"schema", table.schema},
           {"table", table.name},
           {"total", p.total},
           {"shown", p.rows.size()},
           {"key", p.identityColumns},
           {"by_value", p.byValue},
           {"has_triggers", p.hasTriggers},
           {"rows", rows},
           {"update", textOrNull(p.update)},
           {"failure", textOrNull(failure)}};
  if (!p.untouched.empty()) out["untouched"] = p.untouched;
  return out;
}

}  // namespace trellick::cli
