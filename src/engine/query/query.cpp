// Every walk over a query tree (copy, destruction, evaluation, rendering, primary text) keeps
// its own explicit stack, so a tree nested far deeper than any real use cannot exhaust the
// C++ call stack.

#include "query/query.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <variant>

#include "core/format.hpp"

namespace kova {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

double value_or_zero(const ScoreMap& map, const std::string& agent) {
  const auto it = map.find(agent);
  return it == map.end() ? 0.0 : it->second;
}

void keep_positive(ScoreMap& map) {
  std::erase_if(map, [](const auto& e) { return !(e.second > 0.0); });
}

}  // namespace

Query::Query(Variant node) : node_(std::move(node)) {}

Query Query::text(std::string t) {
  return Query(Variant(Text{std::move(t)}));
}
Query Query::all(std::vector<Query> parts) {
  return Query(Variant(All{std::move(parts)}));
}
Query Query::any(std::vector<Query> parts) {
  return Query(Variant(Any{std::move(parts)}));
}
Query Query::weighted(std::vector<std::pair<Query, double>> parts) {
  return Query(Variant(Weighted{std::move(parts)}));
}
Query Query::exclude(Query base, Query exclusion) {
  return Query(Variant(Exclude{std::make_unique<Query>(std::move(base)),
                               std::make_unique<Query>(std::move(exclusion))}));
}

Query::Query(Query&& other) noexcept : node_(std::move(other.node_)) {
  // The moved-from alternative holds no children any more; replacing it is cheap.
  other.node_.emplace<Text>();
}

Query& Query::operator=(Query&& other) noexcept {
  if (this != &other) {
    Query old(std::move(other));
    node_.swap(old.node_);
  }  // `old` takes the previous tree down with it
  return *this;
}

Query::Query(const Query& other) : node_(Text{}) {
  std::vector<std::pair<Query*, const Query*>> work{{this, &other}};
  while (!work.empty()) {
    // Plain variables rather than a structured binding, which older compilers cannot capture.
    Query* const dst = work.back().first;
    const Query* const src = work.back().second;
    work.pop_back();
    // Children are first created as empty texts, then filled in from the work list; the
    // containers are complete before any pointer into them is taken.
    std::visit(Overloaded{
                   [&](const Text& t) { dst->node_.emplace<Text>(Text{t.text}); },
                   [&](const All& a) {
                     auto& parts = dst->node_.emplace<All>().parts;
                     parts.reserve(a.parts.size());
                     for (std::size_t i = 0; i < a.parts.size(); ++i)
                       parts.push_back(Query::text({}));
                     for (std::size_t i = 0; i < a.parts.size(); ++i)
                       work.emplace_back(&parts[i], &a.parts[i]);
                   },
                   [&](const Any& a) {
                     auto& parts = dst->node_.emplace<Any>().parts;
                     parts.reserve(a.parts.size());
                     for (std::size_t i = 0; i < a.parts.size(); ++i)
                       parts.push_back(Query::text({}));
                     for (std::size_t i = 0; i < a.parts.size(); ++i)
                       work.emplace_back(&parts[i], &a.parts[i]);
                   },
                   [&](const Exclude& e) {
                     auto& out = dst->node_.emplace<Exclude>();
                     out.base = std::make_unique<Query>(Query::text({}));
                     out.exclusion = std::make_unique<Query>(Query::text({}));
                     if (e.base) work.emplace_back(out.base.get(), e.base.get());
                     if (e.exclusion) work.emplace_back(out.exclusion.get(), e.exclusion.get());
                   },
                   [&](const Weighted& w) {
                     auto& parts = dst->node_.emplace<Weighted>().parts;
                     parts.reserve(w.parts.size());
                     for (const auto& [q, weight] : w.parts)
                       parts.emplace_back(Query::text({}), weight);
                     for (std::size_t i = 0; i < w.parts.size(); ++i) {
                       work.emplace_back(&parts[i].first, &w.parts[i].first);
                     }
                   },
               },
               src->node_);
  }
}

Query& Query::operator=(const Query& other) {
  if (this != &other) *this = Query(other);
  return *this;
}

namespace {

// Moves a node's children onto `out` and leaves the node childless.
void take_children(Query::Variant& node, std::vector<Query>& out) {
  std::visit(Overloaded{
                 [](Query::Text&) {},
                 [&](Query::All& a) {
                   for (Query& q : a.parts) out.push_back(std::move(q));
                   a.parts.clear();
                 },
                 [&](Query::Any& a) {
                   for (Query& q : a.parts) out.push_back(std::move(q));
                   a.parts.clear();
                 },
                 [&](Query::Exclude& e) {
                   if (e.base) out.push_back(std::move(*e.base));
                   if (e.exclusion) out.push_back(std::move(*e.exclusion));
                   e.base.reset();
                   e.exclusion.reset();
                 },
                 [&](Query::Weighted& w) {
                   for (auto& part : w.parts) out.push_back(std::move(part.first));
                   w.parts.clear();
                 },
             },
             node);
}

bool has_children(const Query::Variant& node) {
  return std::visit(Overloaded{
                        [](const Query::Text&) { return false; },
                        [](const Query::All& a) { return !a.parts.empty(); },
                        [](const Query::Any& a) { return !a.parts.empty(); },
                        [](const Query::Exclude& e) { return e.base || e.exclusion; },
                        [](const Query::Weighted& w) { return !w.parts.empty(); },
                    },
                    node);
}

}  // namespace

Query::~Query() {
  if (!has_children(node_)) return;
  std::vector<Query> pending;
  take_children(node_, pending);
  while (!pending.empty()) {
    Query q = std::move(pending.back());
    pending.pop_back();
    take_children(q.node_, pending);
  }  // each `q` dies childless
}

namespace {

// A node whose evaluation is under way, with what its finished children have given so far.
struct EvalFrame {
  explicit EvalFrame(const Query* q) : query(q) {}
  const Query* query;
  std::size_t next = 0;  // children started so far
  ScoreMap acc;
  ScoreMap base;       // Exclude: the base's scores
  double total = 0.0;  // Weighted: the sum of the weights
  double scale = 1.0;  // Weighted: what every weight is multiplied by
};

// Combines the scores of the child `f` started last with what `f` holds.
void absorb_child(EvalFrame& f, ScoreMap child) {
  using Text = Query::Text;
  using All = Query::All;
  using Any = Query::Any;
  using Exclude = Query::Exclude;
  using Weighted = Query::Weighted;
  const std::size_t index = f.next - 1;
  std::visit(Overloaded{
                 [](const Text&) {},
                 [&](const All&) {
                   if (index == 0) {
                     f.acc = std::move(child);
                   } else {
                     for (auto& [agent, v] : f.acc) v = std::fmin(v, value_or_zero(child, agent));
                   }
                 },
                 [&](const Any&) {
                   for (const auto& [agent, s] : child) {
                     double& v = f.acc.try_emplace(agent, 0.0).first->second;
                     v = std::fmax(s, v);
                   }
                 },
                 [&](const Exclude&) {
                   if (index == 0) {
                     f.base = std::move(child);
                     return;
                   }
                   for (const auto& [agent, s] : f.base) {
                     const double reduced = s * (1.0 - value_or_zero(child, agent));
                     if (reduced > 0.0) f.acc.emplace(agent, reduced);
                   }
                   f.base.clear();
                 },
                 [&](const Weighted& w) {
                   const double weight = w.parts[index].second * f.scale;
                   for (const auto& [agent, s] : child)
                     f.acc.try_emplace(agent, 0.0).first->second += s * weight;
                 },
             },
             f.query->node());
}

// The next child of `f` to evaluate; nullptr once `f`'s scores are complete, or when a scorer
// call failed and `error` says why.
const Query* advance(EvalFrame& f, const Scorer& scorer, std::optional<std::string>& error) {
  using Text = Query::Text;
  using All = Query::All;
  using Any = Query::Any;
  using Exclude = Query::Exclude;
  using Weighted = Query::Weighted;
  const Query* next_child = nullptr;
  std::visit(Overloaded{
                 [&](const Text& t) {
                   ScoreResult scored = scorer.score(t.text);
                   if (!scored) {
                     error = std::move(scored).error();
                     return;
                   }
                   for (const auto& [agent, s] : scored.value().pairs) {
                     f.acc.insert_or_assign(std::string(agent), s);
                   }
                 },
                 [&](const All& a) {
                   if (f.next < a.parts.size()) {
                     next_child = &a.parts[f.next++];
                   } else {
                     keep_positive(f.acc);
                   }
                 },
                 [&](const Any& a) {
                   if (f.next < a.parts.size()) next_child = &a.parts[f.next++];
                 },
                 [&](const Exclude& e) {
                   if (f.next == 0) {
                     ++f.next;
                     next_child = e.base.get();
                   } else if (f.next == 1) {
                     ++f.next;
                     next_child = e.exclusion.get();
                   }
                 },
                 [&](const Weighted& w) {
                   if (f.next == 0) {
                     double total = -0.0;
                     for (const auto& part : w.parts) total += part.second;
                     // Finite weights whose sum overflows are scaled by a power of two, which
                     // leaves the average as it is: a few huge weights must not drop every
                     // agent as NaN. Weights that sum to a finite number are used as given.
                     if (std::isinf(total) &&
                         std::all_of(w.parts.begin(), w.parts.end(),
                                     [](const auto& part) { return std::isfinite(part.second); })) {
                       f.scale = 0x1p-64;
                       total = -0.0;
                       for (const auto& part : w.parts) total += part.second * f.scale;
                     }
                     // Zero, negative or no weights: nothing to average. A NaN total is
                     // let through; every value then turns NaN and is dropped below.
                     if (total <= 0.0) return;
                     f.total = total;
                   }
                   if (f.next < w.parts.size()) {
                     next_child = &w.parts[f.next++].first;
                     return;
                   }
                   for (auto& entry : f.acc) entry.second /= f.total;
                   keep_positive(f.acc);
                 },
             },
             f.query->node());
  return next_child;
}

}  // namespace

Result<ScoreMap, std::string> Query::evaluate(const Scorer& scorer) const {
  using R = Result<ScoreMap, std::string>;
  std::vector<EvalFrame> stack;
  stack.push_back(EvalFrame{this});
  std::optional<ScoreMap> delivered;  // the scores of the child that has just finished

  while (true) {
    EvalFrame& f = stack.back();
    if (delivered) {
      absorb_child(f, std::move(*delivered));
      delivered.reset();
    }
    std::optional<std::string> error;
    const Query* next_child = advance(f, scorer, error);
    if (error) return R::err(std::move(*error));
    if (next_child != nullptr) {
      stack.push_back(EvalFrame{next_child});
      continue;
    }
    ScoreMap done = std::move(f.acc);
    stack.pop_back();
    if (stack.empty()) return R::ok(std::move(done));
    delivered = std::move(done);
  }
}

std::optional<std::string_view> Query::primary_text() const {
  // Depth-first, left to right; an exclusion is never entered.
  std::vector<const Query*> stack{this};
  while (!stack.empty()) {
    const Query* q = stack.back();
    stack.pop_back();
    if (const auto* t = std::get_if<Text>(&q->node_)) return std::string_view(t->text);
    std::visit(Overloaded{
                   [](const Text&) {},
                   [&](const All& a) {
                     for (auto it = a.parts.rbegin(); it != a.parts.rend(); ++it)
                       stack.push_back(&*it);
                   },
                   [&](const Any& a) {
                     for (auto it = a.parts.rbegin(); it != a.parts.rend(); ++it)
                       stack.push_back(&*it);
                   },
                   [&](const Exclude& e) {
                     if (e.base) stack.push_back(e.base.get());
                   },
                   [&](const Weighted& w) {
                     for (auto it = w.parts.rbegin(); it != w.parts.rend(); ++it)
                       stack.push_back(&it->first);
                   },
               },
               q->node_);
  }
  return std::nullopt;
}

std::string Query::debug() const {
  // Work items: a node to render, a literal to append or a weight to format, taken from the
  // back; a node's pieces are pushed in reverse.
  using Item = std::variant<const Query*, std::string_view, double>;
  std::vector<Item> stack{this};
  std::string out;
  auto push_list = [&](std::string_view open, const auto& parts, auto push_part) {
    stack.emplace_back(std::string_view("])"));
    for (std::size_t i = parts.size(); i-- > 0;) {
      push_part(parts[i]);
      if (i > 0) stack.emplace_back(std::string_view(", "));
    }
    stack.emplace_back(open);
  };
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (const auto* literal = std::get_if<std::string_view>(&item)) {
      out += *literal;
      continue;
    }
    if (const auto* weight = std::get_if<double>(&item)) {
      out += format_debug(*weight);
      continue;
    }
    const Query* q = std::get<const Query*>(item);
    std::visit(Overloaded{
                   [&](const Text& t) {
                     out += "Text(";
                     out += debug_quote(t.text);
                     out += ')';
                   },
                   [&](const All& a) {
                     push_list("All([", a.parts, [&](const Query& p) { stack.emplace_back(&p); });
                   },
                   [&](const Any& a) {
                     push_list("Any([", a.parts, [&](const Query& p) { stack.emplace_back(&p); });
                   },
                   [&](const Exclude& e) {
                     stack.emplace_back(std::string_view(" }"));
                     if (e.exclusion) stack.emplace_back(e.exclusion.get());
                     stack.emplace_back(std::string_view(", exclusion: "));
                     if (e.base) stack.emplace_back(e.base.get());
                     stack.emplace_back(std::string_view("Exclude { base: "));
                   },
                   [&](const Weighted& w) {
                     push_list("Weighted([", w.parts, [&](const std::pair<Query, double>& p) {
                       stack.emplace_back(std::string_view(")"));
                       stack.emplace_back(p.second);
                       stack.emplace_back(std::string_view(", "));
                       stack.emplace_back(&p.first);
                       stack.emplace_back(std::string_view("("));
                     });
                   },
               },
               q->node_);
  }
  return out;
}

}  // namespace kova
