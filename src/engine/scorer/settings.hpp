#pragma once
// Rebuilds an empty scorer from the settings a scorer reported through settings_json().

#include <memory>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "scorer/scorer.hpp"

namespace kova {

// Kinds "tfidf", "bm25" (members missing from the object take their defaults; unknown
// members are ignored) and "hybrid" (its parts rebuilt the same way). Fails with a text for
// text that is not such an object, an unknown kind, an invalid setting, or a hybrid with a
// host part: a host scorer cannot be rebuilt from a file and has to be passed again.
Result<std::unique_ptr<Scorer>, std::string> scorer_from_settings(std::string_view json);

}  // namespace kova
