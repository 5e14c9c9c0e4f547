#pragma once
// Composable query expressions evaluated against the active scorer.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/result.hpp"
#include "scorer/scorer.hpp"

namespace kova {

// Agent name -> score; no defined order.
using ScoreMap = std::unordered_map<std::string, double>;

class Query {
 public:
  struct Text { std::string text; };
  struct All { std::vector<Query> parts; };
  struct Any { std::vector<Query> parts; };
  struct Exclude { std::unique_ptr<Query> base; std::unique_ptr<Query> exclusion; };
  struct Weighted { std::vector<std::pair<Query, double>> parts; };
  using Variant = std::variant<Text, All, Any, Exclude, Weighted>;

  static Query text(std::string t);
  static Query all(std::vector<Query> parts);
  static Query any(std::vector<Query> parts);
  static Query weighted(std::vector<std::pair<Query, double>> parts);
  // An Exclude node owning both; chaining nests the earlier exclusion inside `base`.
  static Query exclude(Query base, Query exclusion);

  Query(const Query& other);  // deep copy
  Query& operator=(const Query& other);
  Query(Query&&) noexcept;
  Query& operator=(Query&&) noexcept;
  ~Query();

  const Variant& node() const { return node_; }

  // Score map, or the error text of the first failing scorer call.
  Result<ScoreMap, std::string> evaluate(const Scorer& scorer) const;
  // First Text in depth-first, left-to-right order, never entering an exclusion.
  std::optional<std::string_view> primary_text() const;
  // Debug rendering, e.g. All([Text("a"), Text("b")]) or
  // Exclude { base: Text("a"), exclusion: Text("b") }.
  std::string debug() const;

 private:
  explicit Query(Variant node);
  Variant node_;
};

}  // namespace kova
