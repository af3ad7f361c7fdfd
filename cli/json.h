// trellick-cli's JSON lines: one object per table, run or statement, then
// a summary object, keys in the order they are documented.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "engine/engine.h"
#include "journal/changes.h"
#include "journal/journal.h"

namespace trellick::cli {

using Json = nlohmann::ordered_json;

// The object as one line; malformed UTF-8 becomes U+FFFD.
std::string jsonLine(const Json& object);

// A text, or null when absent (or, for `orNull`, empty).
Json textOrNull(const std::optional<std::string>& text);
Json textOrNull(const std::string& text);

// A key's values: text, or null for NULL.
Json valuesJson(const journal::Values& values);

Json tableJson(const engine::TableResult& result, size_t index);
Json runJson(const journal::RunEntry& run);
Json undoJson(const journal::UndoTable& table);
Json previewJson(const engine::Table& table, const journal::Preview& preview,
                 const std::string& failure);

}  // namespace trellick::cli
