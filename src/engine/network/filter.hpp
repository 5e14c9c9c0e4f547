#pragma once
// Metadata filter conditions.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "network/agent_record.hpp"

namespace kova {

struct FilterValue {
  struct Exact {
    std::string value;
  };
  struct Contains {
    std::string substring;
  };
  struct OneOf {
    std::vector<std::string> options;
  };
  struct LessThan {
    double threshold;
  };
  struct GreaterThan {
    double threshold;
  };
  using Variant = std::variant<Exact, Contains, OneOf, LessThan, GreaterThan>;
  Variant condition;

  bool matches(std::string_view value) const;
};

// Parses a metadata value with the standard decimal float syntax (optional sign, digits with
// optional fraction and exponent, or inf / infinity / nan in any case; nothing around it).
std::optional<double> parse_decimal(std::string_view text);

// One condition per metadata key.
using FilterMap = std::map<std::string, FilterValue, std::less<>>;

// True when every condition's key is present in `metadata` and matches. nullptr or an
// empty map means no condition.
bool passes_filters(const FilterMap* filters, const Metadata& metadata);

}  // namespace kova
