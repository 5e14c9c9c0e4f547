#pragma once
// The state file's document as the engine writes and reads it, apart from the files that hold
// it (atomic_file) and from turning it into an engine (LocalNetwork::save and load).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "network/network.hpp"

namespace kova {

constexpr std::uint32_t kSnapshotVersion = 3;
constexpr std::uint64_t kNanosPerSec = 1'000'000'000;

// What a network is written from, all of one moment: the caller holds the statistics' lock.
struct SnapshotSource {
  const AgentTable& agents;
  MonoTime now;              // idle times are measured up to it
  std::uint64_t wall_nanos;  // the wall clock at `now`, since the Unix epoch
  const CoOccurrenceExpander& expander;
  const LearningSettings& learning;
  const Scorer& scorer;
  const ExtraMembers& extra;
};

// The document's text. Throws what the JSON library throws (invalid UTF-8 in a name or
// capability) and on allocation failure.
std::string write_snapshot(const SnapshotSource& source);

struct AgentSnapshot {
  std::string name;
  std::vector<std::string> capabilities;
  std::optional<std::string> endpoint;
  Metadata metadata;
  double diameter = 0.0;
  double tau = 0.0;
  double sigma = 0.0;
  std::uint64_t forwards_count = 0;
  std::uint8_t consecutive_pulse_timeouts = 0;
  std::vector<FeedbackRecord> feedback;
  std::vector<std::string> remembered;
};

struct NetworkSnapshot {
  std::uint32_t version = 0;
  std::vector<AgentSnapshot> agents;
  std::vector<CoOccurrenceExpander::Pair> matrix;
  std::uint64_t feedback_count = 0;
  std::optional<std::uint64_t> query_memory;
  std::optional<bool> query_expansion;
  std::string scorer_settings;  // JSON object text; empty when the file records none
  ExtraMembers extra;
};
// The document in `text`, checked member by member; the error is the text a Serialization
// error carries.
Result<NetworkSnapshot, std::string> read_snapshot(const std::string& text);

// The JSON library's exception text without its "[json.exception.kind.nnn] " tag, as valid
// UTF-8.
std::string library_message(std::string_view what);

}  // namespace kova
