// The network state file: a network's state written as a snapshot and replaced atomically, and
// an engine built from a snapshot read back.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/string_hash.hpp"
#include "network/atomic_file.hpp"
#include "network/network.hpp"
#include "network/snapshot.hpp"
#include "scorer/settings.hpp"
#include "text/unicode.hpp"

namespace kova {

namespace {

constexpr double kLoadedTauFloor = 0.001;

// A polynomial hash that extends to the left in constant time, so that every suffix of a text
// is hashed in one pass from its end.
struct SuffixHash {
  static constexpr std::uint64_t kBase = 0x100000001b3;
  std::uint64_t value = 0;
  std::uint64_t power = 1;
  void prepend(char c) {
    value += static_cast<unsigned char>(c) * power;
    power *= kBase;
  }
};

std::uint64_t suffix_hash(std::string_view word) {
  SuffixHash h;
  for (auto it = word.rbegin(); it != word.rend(); ++it) h.prepend(*it);
  return h.value;
}

// A learned pair is stored under "query,capability" and read back split at the first comma, so
// a pair whose query word holds a comma ("hi," from "hi, send email", or "en,fr") came back as
// another pair and its counts were lost. Such a pair is split instead at the first comma that
// leaves a capability word of a stored agent; a name with no such comma keeps the first. (A
// capability word holding a comma whose agent is gone can still be split wrongly: the name
// alone cannot tell.)
void resplit_comma_pairs(NetworkSnapshot& snapshot) {
  const auto ambiguous = [](const CoOccurrenceExpander::Pair& p) {
    return p.capability_term.find(',') != std::string::npos;
  };
  if (std::none_of(snapshot.matrix.begin(), snapshot.matrix.end(), ambiguous)) return;
  std::unordered_set<std::string, StringHash, std::equal_to<>> capability_words;
  std::unordered_set<std::uint64_t> hashes;  // of the words, by SuffixHash
  for (const AgentSnapshot& agent : snapshot.agents) {
    for (const std::string& capability : agent.capabilities) {
      for (std::string& word : text::split_whitespace_lower(capability)) {
        hashes.insert(suffix_hash(word));
        capability_words.insert(std::move(word));
      }
    }
  }
  std::vector<std::size_t> commas;  // whose suffix hashes like a capability word, last first
  for (CoOccurrenceExpander::Pair& pair : snapshot.matrix) {
    if (!ambiguous(pair) || capability_words.contains(pair.capability_term)) continue;
    const std::string_view rest = pair.capability_term;
    commas.clear();
    SuffixHash h;
    for (std::size_t i = rest.size(); i-- > 0;) {
      if (rest[i] == ',' && hashes.contains(h.value)) commas.push_back(i);
      h.prepend(rest[i]);
    }
    // Leftmost first; a hash that matches by chance costs one exact lookup.
    for (auto it = commas.rbegin(); it != commas.rend(); ++it) {
      if (capability_words.contains(rest.substr(*it + 1))) {
        pair.query_term += ',';
        pair.query_term.append(rest.substr(0, *it));
        pair.capability_term.erase(0, *it + 1);
        break;
      }
    }
  }
}

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
  resplit_comma_pairs(snapshot);
  {
    auto expander = safe_lock(network->cooccurrence_, "cooccurrence load");
    expander->replace(snapshot.matrix, snapshot.feedback_count);
  }

  // A scorer passed in belongs to the caller and outlives a failed load: the agents indexed
  // in it so far are taken out again, or it would keep serving names no network holds.
  const auto fail = [&](std::size_t registered, std::string message) {
    for (std::size_t j = 0; j < registered; ++j) network->deregister(snapshot.agents[j].name);
    return Out::err(NetworkError::serialization(std::move(message)));
  };
  for (std::size_t i = 0; i < snapshot.agents.size(); ++i) {
    AgentSnapshot& stored = snapshot.agents[i];
    // Registering a name again would replace the first record, and what it held would be lost
    // without a word; no save writes a name twice.
    if (network->find(stored.name) != nullptr) {
      return fail(i, "duplicate agent `" + stored.name + "`");
    }
    if (auto error =
            network->register_agent(stored.name, stored.capabilities, std::move(stored.endpoint),
                                    std::move(stored.metadata))) {
      return fail(i, "Failed to register agent during load: " + error->display());
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
