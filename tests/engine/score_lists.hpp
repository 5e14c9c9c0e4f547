#pragma once
// Reading a scorer's results in tests.

#include <cstdint>
#include <map>
#include <string>

#include "scorer/scorer.hpp"

namespace kova::test_support {

// The key each listed agent was reported with; the list must carry keys.
inline std::map<std::string, std::uint32_t> keys_by_name(const ScoreList& list) {
  std::map<std::string, std::uint32_t> keys;
  for (std::size_t i = 0; i < list.pairs.size() && i < list.keys.size(); ++i) {
    keys[std::string(list.pairs[i].first)] = list.keys[i];
  }
  return keys;
}

}  // namespace kova::test_support
