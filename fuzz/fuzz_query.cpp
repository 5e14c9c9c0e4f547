// Query construction, copying, rendering and evaluation. Trees are built by a small stack
// machine from the input and evaluated against a scorer that returns junk (NaN, infinities,
// negatives, duplicates, unknown names) or fails; the engine's evaluation must agree with a
// direct recursive reading of the rules, call the scorer exactly as often, and a deep copy
// must behave like the original.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/lsh.hpp"
#include "fuzz_support.hpp"
#include "query/query.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::array kValues{0.0, 0.5, 1.0, -0.3, kNaN, kInf, -kInf, 1e-300, 0.9999, 2.0, 0.25};
constexpr std::array kWeights{1.0, 2.0, 0.5, 0.0, -1.0, kNaN, kInf, 1e308, -0.0, 3.0};

class JunkScorer final : public kova::Scorer {
 public:
  void index(std::string_view, const kova::AgentTexts&, std::uint32_t) override {}
  void remove_agent(std::string_view) override {}
  std::optional<std::string> score_into(const kova::ScoreRequest& request,
                                        kova::ScoreList& list) const override {
    const std::string_view query = request.text;
    ++calls;
    const std::uint64_t h = kova::xxhash_with_seed(query, 7);
    if (h % 11 == 0) {
      std::string message = "boom: ";
      message.append(query);
      return message;
    }
    const std::size_t n = (h >> 4) % 7;
    for (std::size_t i = 0; i < n; ++i) {
      std::string name = "a";
      name += std::to_string((h >> (8 + 3 * i)) % 5);
      list.add_owned(std::move(name), kValues[(h >> (30 + 4 * i)) % kValues.size()]);
    }
    return std::nullopt;
  }
  mutable std::size_t calls = 0;
};

using Map = kova::ScoreMap;
using Eval = std::optional<Map>;  // nullopt: failed (the error text is checked separately)

double get(const Map& m, const std::string& k) {
  const auto it = m.find(k);
  return it == m.end() ? 0.0 : it->second;
}

// The rules read directly, recursively; `error` receives the first failure's text.
Eval reference(const kova::Query& q, const kova::Scorer& scorer, std::string& error) {
  using Q = kova::Query;
  const auto& node = q.node();
  if (const auto* t = std::get_if<Q::Text>(&node)) {
    auto r = scorer.score(t->text);
    if (!r) {
      error = r.error();
      return std::nullopt;
    }
    Map m;
    for (const auto& [a, s] : r.value().pairs) m.insert_or_assign(std::string(a), s);
    return m;
  }
  if (const auto* all = std::get_if<Q::All>(&node)) {
    std::vector<Map> maps;
    for (const Q& part : all->parts) {
      auto m = reference(part, scorer, error);
      if (!m) return std::nullopt;
      maps.push_back(std::move(*m));
    }
    Map out;
    if (maps.empty()) return out;
    for (const auto& [agent, s] : maps[0]) {
      double v = s;
      for (std::size_t j = 1; j < maps.size(); ++j) v = std::fmin(v, get(maps[j], agent));
      if (v > 0.0) out.emplace(agent, v);
    }
    return out;
  }
  if (const auto* any = std::get_if<Q::Any>(&node)) {
    Map out;
    for (const Q& part : any->parts) {
      auto m = reference(part, scorer, error);
      if (!m) return std::nullopt;
      for (const auto& [agent, s] : *m) {
        double& v = out.try_emplace(agent, 0.0).first->second;
        v = std::fmax(s, v);
      }
    }
    return out;
  }
  if (const auto* ex = std::get_if<Q::Exclude>(&node)) {
    auto base = reference(*ex->base, scorer, error);
    if (!base) return std::nullopt;
    auto exclusion = reference(*ex->exclusion, scorer, error);
    if (!exclusion) return std::nullopt;
    Map out;
    for (const auto& [agent, s] : *base) {
      const double v = s * (1.0 - get(*exclusion, agent));
      if (v > 0.0) out.emplace(agent, v);
    }
    return out;
  }
  const auto& weighted = std::get<Q::Weighted>(node);
  Map out;
  // Finite weights whose sum overflows average by their ratios: all are scaled by 2^-64.
  double scale = 1.0;
  double total = -0.0;
  for (const auto& part : weighted.parts) total += part.second;
  if (std::isinf(total) && std::all_of(weighted.parts.begin(), weighted.parts.end(),
                                       [](const auto& p) { return std::isfinite(p.second); })) {
    scale = 0x1p-64;
    total = -0.0;
    for (const auto& part : weighted.parts) total += part.second * scale;
  }
  if (weighted.parts.empty() || total <= 0.0) return out;
  for (const auto& [child, w] : weighted.parts) {
    auto m = reference(child, scorer, error);
    if (!m) return std::nullopt;
    for (const auto& [agent, s] : *m) out.try_emplace(agent, 0.0).first->second += s * (w * scale);
  }
  for (auto& entry : out) entry.second /= total;
  std::erase_if(out, [](const auto& e) { return !(e.second > 0.0); });
  return out;
}

std::optional<std::string_view> reference_primary(const kova::Query& q) {
  using Q = kova::Query;
  const auto& node = q.node();
  if (const auto* t = std::get_if<Q::Text>(&node)) return std::string_view(t->text);
  if (const auto* ex = std::get_if<Q::Exclude>(&node)) return reference_primary(*ex->base);
  auto first_of = [](const auto& parts, auto project) -> std::optional<std::string_view> {
    for (const auto& p : parts) {
      if (auto t = reference_primary(project(p))) return t;
    }
    return std::nullopt;
  };
  auto self = [](const Q& p) -> const Q& { return p; };
  if (const auto* all = std::get_if<Q::All>(&node)) return first_of(all->parts, self);
  if (const auto* any = std::get_if<Q::Any>(&node)) return first_of(any->parts, self);
  return first_of(std::get<Q::Weighted>(node).parts,
                  [](const std::pair<Q, double>& p) -> const Q& { return p.first; });
}

bool same_maps(const Map& a, const Map& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [k, v] : a) {
    const auto it = b.find(k);
    if (it == b.end()) return false;
    if (!(v == it->second || (std::isnan(v) && std::isnan(it->second)))) return false;
  }
  return true;
}

struct Built {
  kova::Query query;
  std::size_t nodes;
  std::size_t depth;
};

}  // namespace

KOVA_FUZZ_TARGET(fuzz_query) {
  kova::fuzz::Input in(data, size);
  constexpr std::size_t kMaxNodes = 20000;
  std::vector<Built> stack;
  std::size_t total_nodes = 0;
  while (in.remaining() > 0) {
    const int op = in.in_range<int>(0, 6);
    if (op == 0 || stack.empty()) {
      std::string text = in.string(12);
      stack.push_back({kova::Query::text(std::move(text)), 1, 1});
      ++total_nodes;
      continue;
    }
    if (op == 5) {  // duplicate the top through a deep copy
      if (total_nodes + stack.back().nodes > kMaxNodes) continue;
      Built copy{kova::Query(stack.back().query), stack.back().nodes, stack.back().depth};
      total_nodes += copy.nodes;
      stack.push_back(std::move(copy));
      continue;
    }
    if (op == 6) {  // copy-assign over a moved-from value
      kova::Query moved = std::move(stack.back().query);
      stack.back().query = moved;
      continue;
    }
    const std::size_t k = std::min<std::size_t>(in.in_range<std::size_t>(0, 4), stack.size());
    if (op == 4 && stack.size() < 2) continue;
    std::size_t nodes = 1;
    std::size_t depth = 1;
    const std::size_t take = op == 4 ? 2 : k;
    for (std::size_t i = stack.size() - take; i < stack.size(); ++i) {
      nodes += stack[i].nodes;
      depth = std::max(depth, stack[i].depth + 1);
    }
    std::vector<kova::Query> parts;
    for (std::size_t i = stack.size() - take; i < stack.size(); ++i) {
      parts.push_back(std::move(stack[i].query));
    }
    stack.erase(stack.end() - static_cast<std::ptrdiff_t>(take), stack.end());
    ++total_nodes;
    if (op == 1) {
      stack.push_back({kova::Query::all(std::move(parts)), nodes, depth});
    } else if (op == 2) {
      stack.push_back({kova::Query::any(std::move(parts)), nodes, depth});
    } else if (op == 3) {
      std::vector<std::pair<kova::Query, double>> weighted;
      for (auto& p : parts) {
        weighted.emplace_back(std::move(p),
                              kWeights[in.in_range<std::size_t>(0, kWeights.size() - 1)]);
      }
      stack.push_back({kova::Query::weighted(std::move(weighted)), nodes, depth});
    } else {
      stack.push_back(
          {kova::Query::exclude(std::move(parts[0]), std::move(parts[1])), nodes, depth});
    }
  }
  if (stack.empty()) return 0;

  JunkScorer scorer;
  for (const Built& b : stack) {
    const kova::Query copy(b.query);
    KOVA_FUZZ_CHECK(copy.debug() == b.query.debug());
    KOVA_FUZZ_CHECK(copy.primary_text() == b.query.primary_text());

    scorer.calls = 0;
    auto result = b.query.evaluate(scorer);
    const std::size_t calls = scorer.calls;
    scorer.calls = 0;
    auto again = copy.evaluate(scorer);
    KOVA_FUZZ_CHECK(scorer.calls == calls);
    KOVA_FUZZ_CHECK(result.has_value() == again.has_value());
    if (result) {
      KOVA_FUZZ_CHECK(same_maps(result.value(), again.value()));
    } else {
      KOVA_FUZZ_CHECK(result.error() == again.error());
    }

    // Deep trees are left to the engine's own walks; the recursive model would need the stack.
    if (b.depth > 400) continue;
    KOVA_FUZZ_CHECK(reference_primary(b.query) == b.query.primary_text());
    std::string error;
    scorer.calls = 0;
    const Eval expected = reference(b.query, scorer, error);
    KOVA_FUZZ_CHECK(scorer.calls == calls);
    KOVA_FUZZ_CHECK(expected.has_value() == result.has_value());
    if (expected) {
      KOVA_FUZZ_CHECK(same_maps(*expected, result.value()));
    } else {
      KOVA_FUZZ_CHECK(error == result.error());
    }
  }
  return 0;
}
