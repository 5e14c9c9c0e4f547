#pragma once
// Result objects handed back by discovery. Functions returning Ref give an empty Ref with a
// Python exception set on failure.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"

namespace kova::py {

// One ranked result as a response keeps it: the engine's fields plus the agent's callable
// (empty when none was registered).
struct StoredResult {
  DiscoveryResult result;
  Ref invoke;
};

// Everything a DiscoveryResponse shows, already in host terms.
struct ResponseData {
  std::vector<StoredResult> results;
  const char* confidence = "none";               // static text
  std::optional<std::string> dissenting_kernel;  // majority only
  std::vector<std::string> alternative_agents;   // split only
  std::size_t recommended_parallelism = 1;
  std::optional<std::pair<std::string, double>> best_below_threshold;
};

// Wrap engine values without converting their fields; attributes are made on each read.
Ref make_discovery_result(DiscoveryResult&& result, Ref invoke);
Ref make_discovery_result(const StoredResult& stored);
Ref make_explained_result(ExplainedResult&& result);
Ref make_discovery_response(ResponseData&& data);

}  // namespace kova::py
