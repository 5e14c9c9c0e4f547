// The network state file: a network's state written as a snapshot and replaced atomically, and
// an engine built from a snapshot read back.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "network/atomic_file.hpp"
#include "network/network.hpp"
#include "network/snapshot.hpp"
#include "scorer/settings.hpp"

namespace kova {

namespace {

constexpr double kLoadedTauFloor = 0.001;

}  // namespace

std::optional<NetworkError> LocalNetwork::save(const std::string& path,
                                               const ExtraMembers& extra) const {
  for (const auto& member : extra) {
    if (is_state_member(member.first)) {
      return NetworkError::serialization("extra member `" + member.first +
                                         "` is a member of the state");
    }
  }

  // Held to the end, so the statistics written are the ones of one moment and recording waits.
  auto expander = safe_lock(cooccurrence_, "cooccurrence save");

  const MonoTime now = clock_->monotonic_now();
  const auto since_epoch = clock_->wall_now().time_since_epoch();

  std::string text;
  try {
    if (since_epoch.count() < 0) {
      return NetworkError::serialization("SystemTime must be later than UNIX_EPOCH");
    }
    const auto wall_nanos = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
    text = write_snapshot({agents_, now, wall_nanos, *expander, learning_, *scorer_.scorer, extra});
  } catch (const std::exception& e) {
    // Invalid UTF-8 in a name or capability; allocation failure.
    return NetworkError::serialization(library_message(e.what()));
  }
  return write_atomically(path, text);
}

Result<std::unique_ptr<LocalNetwork>, NetworkError> LocalNetwork::load(
    const std::string& path, std::shared_ptr<const Clock> clock, std::unique_ptr<Scorer> scorer) {
  using Out = Result<std::unique_ptr<LocalNetwork>, NetworkError>;

  auto text = read_text_file(path);
  if (!text) return Out::err(std::move(text).error());

  auto read = read_snapshot(text.value());
  if (!read) return Out::err(NetworkError::serialization(std::move(read).error()));
  text.value() = std::string();  // release the text before the engine grows

  NetworkSnapshot& snapshot = read.value();
  if (snapshot.version > kSnapshotVersion) {
    return Out::err(NetworkError::unsupported_version(snapshot.version, kSnapshotVersion));
  }

  // Only the newest records survive in an index, so older ones need not be inserted at all.
  std::vector<FeedbackIndex> memories(snapshot.agents.size());
  for (std::size_t i = 0; i < snapshot.agents.size(); ++i) {
    const auto& records = snapshot.agents[i].feedback;
    const std::size_t skip =
        records.size() > FeedbackIndex::kCapacity ? records.size() - FeedbackIndex::kCapacity : 0;
    for (std::size_t r = skip; r < records.size(); ++r) memories[i].insert(records[r]);
  }

  if (!scorer && !snapshot.scorer_settings.empty()) {
    auto rebuilt = scorer_from_settings(snapshot.scorer_settings);
    if (!rebuilt) return Out::err(NetworkError::scorer(std::move(rebuilt).error()));
    scorer = std::move(rebuilt).value();
  }
  std::unique_ptr<LocalNetwork> network =
      scorer ? with_scorer(std::move(scorer), std::move(clock)) : create_default(std::move(clock));
  // A file without the member keeps what its bound recommends.
  LearningSettings learning =
      LearningSettings::recommended(static_cast<std::size_t>(std::min<std::uint64_t>(
          snapshot.query_memory.value_or(0), std::numeric_limits<std::size_t>::max())));
  if (snapshot.query_expansion) learning.query_expansion = *snapshot.query_expansion;
  network->set_learning(learning);
  {
    auto expander = safe_lock(network->cooccurrence_, "cooccurrence load");
    expander->replace(snapshot.matrix, snapshot.feedback_count);
  }

  for (std::size_t i = 0; i < snapshot.agents.size(); ++i) {
    AgentSnapshot& stored = snapshot.agents[i];
    if (auto error =
            network->register_agent(stored.name, stored.capabilities, std::move(stored.endpoint),
                                    std::move(stored.metadata))) {
      return Out::err(
          NetworkError::serialization("Failed to register agent during load: " + error->display()));
    }
    AgentRecord* agent = network->find_mut(stored.name);
    agent->diameter = stored.diameter;
    agent->tau = std::fmax(stored.tau, kLoadedTauFloor);
    agent->sigma = stored.sigma;
    agent->forwards_count.store(stored.forwards_count);
    agent->consecutive_pulse_timeouts = stored.consecutive_pulse_timeouts;
    agent->feedback = std::move(memories[i]);
    network->restore_remembered(stored.name, *agent, std::move(stored.remembered));
  }
  network->loaded_extra_ = std::move(snapshot.extra);
  return Out::ok(std::move(network));
}

}  // namespace kova
