#include "network/network.hpp"

#include <tuple>
#include <utility>

#include "core/format.hpp"
#include "log/log.hpp"
#include "scorer/minhash.hpp"

namespace kova {

namespace {

constexpr std::size_t kMaxNameBytes = 256;

std::shared_ptr<const Clock> or_system_clock(std::shared_ptr<const Clock> clock) {
  return clock ? std::move(clock) : system_clock();
}

ScorerAdapter make_adapter(const LshConfig& lsh, std::unique_ptr<Scorer> scorer) {
  if (scorer) return ScorerAdapter(lsh, std::move(scorer));
  return ScorerAdapter(lsh);
}

std::string capabilities_text(std::span<const std::string> capabilities) {
  std::string out = "[";
  for (std::size_t i = 0; i < capabilities.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_quote(capabilities[i]);
  }
  out += ']';
  return out;
}

std::string endpoint_text(const std::optional<std::string>& endpoint) {
  return endpoint ? "Some(" + debug_quote(*endpoint) + ")" : std::string("None");
}

}  // namespace

LocalNetwork::LocalNetwork(const LshConfig& lsh, std::unique_ptr<Scorer> scorer,
                           std::size_t max_disagreement_split, std::shared_ptr<const Clock> clock)
    : scorer_(make_adapter(lsh, std::move(scorer))),
      enzyme_(SLNEnzyme(max_disagreement_split)),
      clock_(or_system_clock(std::move(clock))) {}

LocalNetwork::~LocalNetwork() = default;

std::unique_ptr<LocalNetwork> LocalNetwork::with_config(const LshConfig& lsh,
                                                        std::size_t max_disagreement_split,
                                                        std::shared_ptr<const Clock> clock) {
  return std::unique_ptr<LocalNetwork>(
      new LocalNetwork(lsh, nullptr, max_disagreement_split, std::move(clock)));
}

std::unique_ptr<LocalNetwork> LocalNetwork::with_scorer(std::unique_ptr<Scorer> scorer,
                                                        std::shared_ptr<const Clock> clock) {
  return std::unique_ptr<LocalNetwork>(new LocalNetwork(
      LshConfig{}, std::move(scorer), DiscoveryConfig{}.max_disagreement_split, std::move(clock)));
}

std::unique_ptr<LocalNetwork> LocalNetwork::create_default(std::shared_ptr<const Clock> clock) {
  const DiscoveryConfig config;
  return with_config(config.lsh, config.max_disagreement_split, std::move(clock));
}

std::optional<DiscoveryError> LocalNetwork::register_agent(
    std::string_view name, std::span<const std::string> capabilities,
    std::optional<std::string> endpoint, Metadata metadata) {
  const log::Span span(log::Level::Info, log::kTargetNetwork, "register", [&] {
    return std::vector<log::Field>{
        {"name", std::string(name)},
        {"capabilities", capabilities_text(capabilities)},
        {"endpoint", endpoint_text(endpoint)},
        {"agent_name", std::string(name)},
        {"capability_count", std::to_string(capabilities.size())},
    };
  });

  if (name.empty()) return DiscoveryError::config("Agent name cannot be empty");
  if (capabilities.empty()) return DiscoveryError::config("Capabilities list cannot be empty");
  if (name.size() > kMaxNameBytes) {
    return DiscoveryError::config("Agent name exceeds 256 characters (got " +
                                  std::to_string(name.size()) + ")");
  }

  const NameHash name_hash = compute_name_hash(name);
  // The record's merged signature and the scorer's per-capability entries come from the same
  // signatures; signing is the dominant cost of registration, so each is computed once.
  std::vector<MinHashSignature> signatures;
  signatures.reserve(capabilities.size());
  for (const std::string& capability : capabilities) {
    signatures.push_back(compute_signature(capability, scorer_.config));
  }
  const MinHashSignature merged = signature_union(signatures);

  // AgentRecord holds an atomic and cannot be assigned, so a re-registration drops the old
  // node and builds the new record in a fresh one: nothing of the old state survives but the
  // key, which the scorer already knows the agent by.
  auto it = agents_.lower_bound(name);
  const bool replacing = it != agents_.end() && it->first == name;
  const std::uint32_t key = replacing ? it->second.key : take_key();
  scorer_.scorer->index(name, {capabilities, signatures, &scorer_.config}, key);
  if (replacing) {
    index_.erase(std::string_view(it->first));
    it = agents_.erase(it);
  }
  cache_.membership_changed();
  it = agents_.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(name),
                            std::forward_as_tuple());
  AgentRecord& record = it->second;
  record.key = key;
  index_.emplace(std::string_view(it->first), &record);
  record.capabilities.assign(capabilities.begin(), capabilities.end());
  record.address.reserve(8 + name.size());
  record.address.append("local://").append(name);
  record.last_activity = clock_->monotonic_now();
  record.name_hash = name_hash;
  record.capability_signature = merged;
  record.capability_count = capabilities.size();
  record.endpoint = std::move(endpoint);
  record.metadata = std::move(metadata);
  return std::nullopt;
}

bool LocalNetwork::deregister(std::string_view name) {
  scorer_.scorer->remove_agent(name);
  const auto it = agents_.find(name);
  if (it == agents_.end()) return false;
  if (it->second.key != 0) free_keys_.push_back(it->second.key);
  index_.erase(std::string_view(it->first));
  agents_.erase(it);
  cache_.membership_changed();
  return true;
}

std::uint32_t LocalNetwork::take_key() {
  if (!free_keys_.empty()) {
    const std::uint32_t key = free_keys_.back();
    free_keys_.pop_back();
    return key;
  }
  // Past four billion distinct agents the newest go without a key and are matched by name.
  if (next_key_ == RegistryOrder::kNoPosition - 1) return 0;
  return next_key_++;
}

std::vector<std::string> LocalNetwork::agents() const {
  std::vector<std::string> names;
  names.reserve(agents_.size());
  for (const auto& entry : agents_) names.push_back(entry.first);
  return names;
}

const AgentRecord* LocalNetwork::find(std::string_view name) const {
  const auto it = index_.find(name);
  return it == index_.end() ? nullptr : it->second;
}

AgentRecord* LocalNetwork::find_mut(std::string_view name) {
  const auto it = index_.find(name);
  if (it == index_.end()) return nullptr;
  cache_.record_changed(*it->second);
  return it->second;
}

void LocalNetwork::enable_replay(std::size_t max_events) {
  with_replay_log_mut([max_events](ReplayLog& log) { log = ReplayLog(max_events); });
}

void LocalNetwork::clear_replay() {
  with_replay_log_mut([](ReplayLog& log) { log.clear(); });
}

void LocalNetwork::record_replay(EventKind event, std::string_view context) const {
  auto guard = safe_lock(replay_, context);
  if (!guard->enabled()) return;
  guard->record(std::move(event), clock_->monotonic_now());
}

}  // namespace kova
