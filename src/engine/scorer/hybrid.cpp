#include "scorer/hybrid.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "core/format.hpp"
#include "log/log.hpp"

namespace kova {

namespace {

using Slot = std::uint32_t;

// The usual constant of reciprocal-rank fusion: large enough that the first few ranks of one
// part do not outweigh agreement between parts.
constexpr double kRankConstant = 60.0;

// Scores this close are one score: a part that sums the same terms in another order (after a
// load, say) differs in the last bits, and rescaling that difference, or ranking by it, would
// hand a part's whole weight to whichever agent the rounding favoured.
bool same_score(double a, double b) {
  return a == b || (std::isfinite(a) && std::isfinite(b) &&
                    std::fabs(a - b) <= 1e-9 * std::max(std::fabs(a), std::fabs(b)));
}

}  // namespace

std::string_view fusion_name(Fusion fusion) {
  return fusion == Fusion::MinMax ? "minmax" : "rrf";
}

struct HybridScorer::Impl {
  struct Agent {
    std::string name;
    std::vector<std::string> capabilities;
    std::vector<std::string> remembered;  // oldest first
    std::uint32_t key = 0;                // the engine's
  };

  std::vector<HybridPart> parts;
  // Each part's weight over their sum: what the fusion adds with, so that no weight the
  // constructor accepts, however large or small, overflows or vanishes in the sums.
  std::vector<double> shares;
  Fusion fusion = Fusion::MinMax;
  // A part knows an agent by slot + 1; names are the map's keys, so slots stay put.
  std::deque<Agent> agents;
  std::vector<Slot> free_slots;
  std::unordered_map<std::string_view, Slot> slot_by_name;
  // The parts' capability epochs when `epoch` was last handed out.
  std::vector<std::uint64_t> part_epochs;
  std::uint64_t epoch = 0;

  Slot slot_for(std::string_view name) {
    if (auto it = slot_by_name.find(name); it != slot_by_name.end()) return it->second;
    Slot slot;
    if (free_slots.empty()) {
      slot = static_cast<Slot>(agents.size());
      agents.emplace_back();
    } else {
      slot = free_slots.back();
      free_slots.pop_back();
    }
    agents[slot].name.assign(name);
    slot_by_name.emplace(agents[slot].name, slot);
    return slot;
  }

  const Agent* live(Slot slot) const {
    return slot < agents.size() && !agents[slot].name.empty() ? &agents[slot] : nullptr;
  }

  void reindex(Scorer& part, Slot slot) const {
    const Agent& agent = agents[slot];
    std::vector<std::string> texts = agent.capabilities;
    texts.insert(texts.end(), agent.remembered.begin(), agent.remembered.end());
    part.index(agent.name, texts, slot + 1);
  }

  // The fused similarity of every slot, or the first part's error when every part failed.
  Result<std::vector<double>, std::string> fuse(std::string_view query,
                                                bool capabilities_only) const {
    using R = Result<std::vector<double>, std::string>;
    std::vector<double> fused(agents.size(), 0.0);
    std::vector<double> value(agents.size(), 0.0);
    std::vector<std::uint8_t> listed(agents.size(), 0);
    std::vector<Slot> touched;
    double answered = 0.0;  // the shares of the parts that answered
    bool any_answered = false;
    std::string first_error;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      const HybridPart& part = parts[p];
      if (part.weight == 0.0) continue;
      ScoreList list;
      if (const auto error = part.scorer->score_into({query, 0.0, capabilities_only}, list)) {
        log::event(log::Level::Warn, log::kTargetScorer, "hybrid scorer part failed", [&] {
          return std::vector<log::Field>{{"part", std::to_string(p)}, {"error", *error}};
        });
        if (first_error.empty()) first_error = *error;
        continue;
      }
      const double share = shares[p];
      answered += share;
      any_answered = true;
      // Built-in parts report the slot + 1 they were indexed with; host parts only names.
      // A name listed twice takes its later value; unknown names are dropped.
      touched.clear();
      for (std::size_t i = 0; i < list.pairs.size(); ++i) {
        Slot slot;
        if (list.keys[i] != 0) {
          slot = list.keys[i] - 1;
        } else {
          const auto it = slot_by_name.find(list.pairs[i].first);
          if (it == slot_by_name.end()) continue;
          slot = it->second;
        }
        if (!live(slot)) continue;
        if (!listed[slot]) {
          listed[slot] = 1;
          touched.push_back(slot);
        }
        value[slot] = list.pairs[i].second;
      }
      if (fusion == Fusion::MinMax) {
        add_min_max(share, touched, value, fused);
      } else {
        add_reciprocal_ranks(share, touched, value, fused);
      }
      for (const Slot slot : touched) listed[slot] = 0;
    }
    if (!any_answered && !first_error.empty()) return R::err(std::move(first_error));
    if (answered > 0.0) {
      for (double& f : fused) f = std::clamp(f / answered, 0.0, 1.0);
    }
    return R::ok(std::move(fused));
  }

  // Adds one part's scores rescaled by their range: the best finite score 1, the worst 0
  // (unlisted agents count as 0). Infinities are the ends of the range (a lone finite score
  // lies below a +inf, above a -inf) and NaN stays NaN, so that it ranks last as it would from
  // the part alone. Where every agent scored alike there is no range, and they keep the
  // part's own similarity.
  void add_min_max(double weight, const std::vector<Slot>& touched,
                   const std::vector<double>& value, std::vector<double>& fused) const {
    if (touched.empty()) return;
    const bool some_unlisted = touched.size() < slot_by_name.size();
    double lo = some_unlisted ? 0.0 : std::numeric_limits<double>::infinity();
    double hi = some_unlisted ? 0.0 : -std::numeric_limits<double>::infinity();
    bool top = false;     // a +inf listed
    bool bottom = false;  // a -inf listed
    for (const Slot slot : touched) {
      const double v = value[slot];
      if (std::isfinite(v)) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
      top = top || v == std::numeric_limits<double>::infinity();
      bottom = bottom || v == -std::numeric_limits<double>::infinity();
    }
    const bool one_finite_score = !(hi > lo) || same_score(hi, lo);
    // Halved only where the difference overflows (-1e308 to 1e308): exactly 1 at `hi` either way.
    const double span = hi - lo;
    const bool halve = !std::isfinite(span);
    const double range = halve ? hi * 0.5 - lo * 0.5 : span;
    auto rescaled = [&](double v) {
      if (std::isnan(v)) return v;
      if (std::isinf(v)) return v > 0.0 ? 1.0 : 0.0;
      if (!one_finite_score) return halve ? (v * 0.5 - lo * 0.5) / range : (v - lo) / range;
      // One finite score: below a +inf, above a -inf, between both, or (all alike) the part's
      // own similarity.
      if (top || bottom) return top && bottom ? 0.5 : (top ? 0.0 : 1.0);
      return std::clamp(v, 0.0, 1.0);
    };
    // Unlisted agents sit at 0, which is above `lo` only when a part listed negative scores.
    const double unlisted = some_unlisted ? rescaled(0.0) : 0.0;
    if (unlisted > 0.0) {
      for (Slot slot = 0; slot < agents.size(); ++slot) {
        if (live(slot)) fused[slot] += weight * unlisted;
      }
    }
    for (const Slot slot : touched) fused[slot] += weight * (rescaled(value[slot]) - unlisted);
  }

  void add_reciprocal_ranks(double weight, std::vector<Slot> touched,
                            const std::vector<double>& value, std::vector<double>& fused) const {
    std::erase_if(touched, [&](Slot slot) { return !(value[slot] > 0.0); });
    std::sort(touched.begin(), touched.end(), [&](Slot a, Slot b) { return value[a] > value[b]; });
    std::size_t rank = 1;
    for (std::size_t i = 0; i < touched.size(); ++i) {
      if (i > 0 && !same_score(value[touched[i]], value[touched[i - 1]])) rank = i + 1;
      fused[touched[i]] +=
          weight * (kRankConstant + 1.0) / (kRankConstant + static_cast<double>(rank));
    }
  }
};

HybridScorer::HybridScorer(std::vector<HybridPart> parts, Fusion fusion)
    : impl_(std::make_unique<Impl>()) {
  impl_->parts = std::move(parts);
  double total = 0.0;
  for (const HybridPart& part : impl_->parts) total += part.weight;
  for (const HybridPart& part : impl_->parts) impl_->shares.push_back(part.weight / total);
  impl_->fusion = fusion;
}

HybridScorer::~HybridScorer() = default;

std::optional<std::string> hybrid_weights_error(std::span<const double> weights) {
  double total = 0.0;
  for (const double weight : weights) total += weight;
  if (!(total > 0.0)) return "at least one weight must be greater than 0";
  // The fused similarity divides by the sum: an infinite one would make every result NaN.
  if (!std::isfinite(total)) return "the weights must have a finite sum";
  for (const double weight : weights) {
    // A part whose share is 0 or subnormal adds nothing, or nothing exact: answering alone
    // (the others failing) it would answer with nothing, or a ranking rounded flat.
    if (weight > 0.0 && weight / total < std::numeric_limits<double>::min()) {
      return "weight " + format_debug(weight) + " is too small next to the others";
    }
  }
  return std::nullopt;
}

Result<std::unique_ptr<HybridScorer>, std::string> HybridScorer::create(
    std::vector<HybridPart> parts, Fusion fusion) {
  using R = Result<std::unique_ptr<HybridScorer>, std::string>;
  if (parts.empty()) return R::err("a hybrid scorer needs at least one scorer");
  std::vector<double> weights;
  for (const HybridPart& part : parts) {
    if (!(part.weight >= 0.0) || !std::isfinite(part.weight)) {
      return R::err("weights must be finite numbers >= 0, got " + format_shortest(part.weight));
    }
    if (!part.scorer) return R::err("a hybrid scorer part has no scorer");
    weights.push_back(part.weight);
  }
  if (auto error = hybrid_weights_error(weights)) return R::err(std::move(*error));
  return R::ok(std::unique_ptr<HybridScorer>(new HybridScorer(std::move(parts), fusion)));
}

std::span<const HybridPart> HybridScorer::parts() const {
  return impl_->parts;
}
Fusion HybridScorer::fusion() const {
  return impl_->fusion;
}

void HybridScorer::index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) {
  Impl& s = *impl_;
  const Slot slot = s.slot_for(agent_id);
  Impl::Agent& agent = s.agents[slot];
  agent.capabilities.assign(texts.texts.begin(), texts.texts.end());
  agent.remembered.clear();
  agent.key = key;
  for (HybridPart& part : s.parts) part.scorer->index(agent_id, texts, slot + 1);
}

void HybridScorer::remove_agent(std::string_view agent_id) {
  Impl& s = *impl_;
  const auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return;
  for (HybridPart& part : s.parts) part.scorer->remove_agent(agent_id);
  const Slot slot = it->second;
  s.slot_by_name.erase(it);
  s.agents[slot] = Impl::Agent{};
  s.free_slots.push_back(slot);
}

std::optional<std::string> HybridScorer::score_into(const ScoreRequest& request,
                                                    ScoreList& out) const {
  const Impl& s = *impl_;
  auto fused = s.fuse(request.text, request.capabilities_only);
  if (!fused) return std::move(fused).error();
  for (Slot slot = 0; slot < fused.value().size(); ++slot) {
    const double similarity = fused.value()[slot];
    if (!(similarity <= 0.0)) out.add(s.agents[slot].key, s.agents[slot].name, similarity);
  }
  return std::nullopt;
}

std::optional<std::uint64_t> HybridScorer::capability_epoch() const {
  Impl& s = *impl_;
  s.part_epochs.resize(s.parts.size());
  bool moved = s.epoch == 0;
  for (std::size_t p = 0; p < s.parts.size(); ++p) {
    const std::optional<std::uint64_t> epoch = s.parts[p].scorer->capability_epoch();
    if (!epoch) return std::nullopt;
    moved = moved || *epoch != s.part_epochs[p];
    s.part_epochs[p] = *epoch;
  }
  if (moved) s.epoch = fresh_capability_epoch();
  return s.epoch;
}

bool HybridScorer::learn(std::string_view agent_id, std::string_view text) {
  Impl& s = *impl_;
  const auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return true;
  s.agents[it->second].remembered.emplace_back(text);
  for (HybridPart& part : s.parts) {
    if (!part.scorer->learn(agent_id, text)) s.reindex(*part.scorer, it->second);
  }
  return true;
}

bool HybridScorer::forget(std::string_view agent_id, std::string_view text) {
  Impl& s = *impl_;
  const auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return true;
  std::vector<std::string>& remembered = s.agents[it->second].remembered;
  const auto at = std::find(remembered.begin(), remembered.end(), text);
  if (at == remembered.end()) return true;
  remembered.erase(at);
  for (HybridPart& part : s.parts) {
    if (!part.scorer->forget(agent_id, text)) s.reindex(*part.scorer, it->second);
  }
  return true;
}

std::string HybridScorer::settings_json() const {
  nlohmann::ordered_json j;
  j["kind"] = "hybrid";
  j["fusion"] = fusion_name(impl_->fusion);
  nlohmann::ordered_json parts = nlohmann::ordered_json::array();
  for (const HybridPart& part : impl_->parts) {
    const std::string settings = part.scorer->settings_json();
    nlohmann::ordered_json entry;
    entry["weight"] = part.weight;
    entry["scorer"] = settings.empty() ? nlohmann::ordered_json{{"kind", "host"}}
                                       : nlohmann::ordered_json::parse(settings);
    parts.push_back(std::move(entry));
  }
  j["parts"] = std::move(parts);
  return j.dump();
}

}  // namespace kova
