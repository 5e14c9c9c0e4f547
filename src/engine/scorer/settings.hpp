#pragma once
// Rebuilding an empty scorer from the settings a state file recorded.

#include <memory>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "scorer/scorer.hpp"

namespace kova {

// `json` is what Scorer::settings_json wrote. An error text when the kind is unknown or
// cannot be rebuilt (a host scorer).
Result<std::unique_ptr<Scorer>, std::string> scorer_from_settings(std::string_view json);

}  // namespace kova
