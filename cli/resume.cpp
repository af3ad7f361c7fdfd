// replace --resume: a run cut short (stopped, killed, its connection lost)
// gone on with from its first table and batch not done, into the same
// journal run, so that one undo takes the whole run back.
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "transform/pairs.h"

namespace trellick::cli {

std::string runOptions(const Args& args, const std::vector<engine::Table>& tables) {
  nlohmann::json pairs = nlohmann::json::array();
  if (args.rewriting()) {
    const auto [finds, replaces] = std::pair{args.finds, args.replaces};
    for (size_t k = 0; k < finds.size(); ++k)
      pairs.push_back({finds[k], k < replaces.size() ? replaces[k] : std::string()});
    if (!args.pairsFile.empty())
      for (const auto& p : transform::readPairsFile(args.pairsFile))
        pairs.push_back({p.find, p.replace});
  } else {
    pairs.push_back({args.find.value_or(""), args.replace.value_or("")});
  }
  nlohmann::json names = nlohmann::json::array();
  for (const auto& t : tables) names.push_back({t.schema, t.name});
  const nlohmann::json o{{"pairs", pairs},
                         {"rewrite", args.rewriting()},
                         {"regex", args.regex},
                         {"ignore_case", args.ignoreCase},
                         {"also_encoded", args.alsoEncoded},
                         {"serialized", args.serialized},
                         {"serialized_keys", args.serializedKeys},
                         {"json_values", args.jsonValues},
                         {"json_keys", args.jsonKeys},
                         {"batch_rows", args.batchRows},
                         {"jobs", args.jobs},
                         {"columns", args.columnPatterns},
                         {"skip_columns", args.skipColumnPatterns},
                         {"tables", names}};
  return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ResumeCommand::ResumeCommand(Context& cx) : ResumedArgs(cx.args, cx), WalkCommand(context) {}

int ResumeCommand::prepare() {
  try {
    if (args_.run)
      run_ = journalFile().run(args_.run);
    else
      for (auto& r : journalFile().runs())
        if (r.info.kind == "replace") {
          run_ = std::move(r);
          break;
        }
  } catch (const std::exception& e) {
    return failed(describe(e));
  }
  if (!run_ || run_->info.kind != "replace")
    return failed(args_.run ? "the journal holds no replace run " + std::to_string(args_.run)
                            : std::string("the journal holds no replace run to resume"));
  if (run_->undoneBy)
    return failed("run " + std::to_string(run_->id) + " was undone by run " +
                  std::to_string(run_->undoneBy) + ": there is nothing to resume");
  nlohmann::json o;
  try {
    o = nlohmann::json::parse(run_->options);
    resumed.finds.clear();
    resumed.replaces.clear();
    for (const auto& p : o.at("pairs")) {
      resumed.finds.push_back(p.at(0).get<std::string>());
      resumed.replaces.push_back(p.at(1).get<std::string>());
    }
    resumed.find = resumed.finds.at(0);
    resumed.replace = resumed.replaces.at(0);
    resumed.regex = o.at("regex").get<bool>();
    resumed.ignoreCase = o.at("ignore_case").get<bool>();
    resumed.alsoEncoded = o.at("also_encoded").get<bool>();
    resumed.serialized = o.at("serialized").get<bool>();
    resumed.serializedKeys = o.at("serialized_keys").get<bool>();
    resumed.jsonValues = o.at("json_values").get<bool>();
    resumed.jsonKeys = o.at("json_keys").get<bool>();
    // A batch size given now goes for the batches left.
    if (resumed.batchRows == 0) resumed.batchRows = o.at("batch_rows").get<long long>();
    resumed.columnPatterns = o.at("columns").get<std::vector<std::string>>();
    resumed.skipColumnPatterns = o.at("skip_columns").get<std::vector<std::string>>();
    resumed.tables.clear();
    resumed.skipTables.clear();
    for (const auto& t : o.at("tables")) {
      const std::string schema = t.at(0).get<std::string>(), name = t.at(1).get<std::string>();
      resumed.tables.push_back(schema.empty() ? name : schema + "." + name);
    }
  } catch (const std::exception&) {
    return failed("run " + std::to_string(run_->id) +
                  " was made without its options kept in the journal: it cannot be resumed");
  }
  // One pair that went row by row (a pairs file) goes so again.
  if (o.value("rewrite", false) != resumed.rewriting())
    return failed("run " + std::to_string(run_->id) +
                  " rewrote one pair row by row: resume it with the same --pairs instead");
  resumeRun_ = run_->id;
  resumedTables_ = run_->tables;
  return WalkCommand::prepare();
}

session::Login ResumeCommand::login() const {
  return session::undoLogin(*run_, Subcommand::login());
}

}  // namespace trellick::cli
