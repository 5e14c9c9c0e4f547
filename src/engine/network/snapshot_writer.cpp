// Writing the state file's document. The layout (two-space indentation, one element per line,
// members in a fixed order) is part of the format: equal states must give equal files, byte
// for byte, across versions.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "network/snapshot.hpp"

namespace kova {

namespace {

using Json = nlohmann::ordered_json;

// Writes the document with two-space indentation and one element per line, the layout of the
// library's own pretty printer. The library still renders every string and floating-point
// number; only the structure is written here, because building the library's document tree for
// a large network (one node per signature byte) and tearing it down again cost several times
// the writing itself.
class PrettyWriter {
 public:
  explicit PrettyWriter(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // A member name; its value follows.
  void key(std::string_view name) {
    next_item();
    string(name);
    out_.append(": ");
  }
  // An array element that is a scalar; containers start with begin_*.
  void element() { next_item(); }

  void string(std::string_view text) { out_ += Json(text).dump(); }
  void boolean(bool value) { out_.append(value ? "true" : "false"); }
  void null() { out_.append("null"); }
  // A whole document as a value, laid out like the rest at the current depth.
  void document(const Json& value) {
    const std::string text = value.dump(2);
    // Built in place: GCC 12 warns (wrongly, -Wrestrict) about "\n" + std::string(n, ' ').
    std::string indent(1 + 2 * counts_.size(), ' ');
    indent.front() = '\n';
    for (const char c : text) {
      if (c == '\n') {
        out_.append(indent);
      } else {
        out_.push_back(c);
      }
    }
  }
  void number(std::uint64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
  }
  void integer(std::int64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
  }
  // Shortest form that reads back exactly, whole numbers with ".0", non-finite as null.
  void number(double value) {
    if (value == 1.0) {
      out_.append("1.0");
    } else if (value == -1.0) {
      out_.append("-1.0");
    } else {
      out_ += Json(value).dump();
    }
  }
  // A key followed by a scalar value.
  template <class T>
  void member(std::string_view name, const T& value) {
    key(name);
    if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
      string(value);
    } else {
      number(value);
    }
  }

 private:
  void open(char bracket) {
    out_.push_back(bracket);
    counts_.push_back(0);
  }
  void close(char bracket) {
    const bool empty = counts_.back() == 0;
    counts_.pop_back();
    if (!empty) newline();
    out_.push_back(bracket);
  }
  void next_item() {
    if (counts_.back()++ > 0) out_.push_back(',');
    newline();
  }
  void newline() {
    out_.push_back('\n');
    out_.append(2 * counts_.size(), ' ');
  }

  std::string& out_;
  std::vector<std::size_t> counts_;  // items written so far in each open container
};

void write_agent(PrettyWriter& w, const std::string& name, const AgentRecord& agent, MonoTime now) {
  w.begin_object();
  w.member("name", name);
  w.key("capabilities");
  w.begin_array();
  for (const std::string& capability : agent.capabilities) {
    w.element();
    w.string(capability);
  }
  w.end_array();
  w.key("endpoint");
  if (agent.endpoint) {
    w.string(*agent.endpoint);
  } else {
    w.null();
  }
  w.key("metadata");
  w.begin_object();
  for (const auto& [key, value] : agent.metadata) w.member(key, value);
  w.end_object();
  w.member("diameter", agent.diameter);
  w.member("tau", agent.tau);
  w.member("sigma", agent.sigma);
  w.member("omega", 0.0);
  w.member("forwards_count", agent.forwards());
  w.member("consecutive_pulse_timeouts", std::uint64_t{agent.consecutive_pulse_timeouts});

  w.key("feedback");
  w.begin_array();
  for (std::size_t i = 0; i < agent.feedback.size(); ++i) {
    const FeedbackRecord& record = agent.feedback[i];
    w.element();
    w.begin_object();
    w.key("query_minhash");
    w.begin_array();
    for (std::uint8_t byte : record.query_signature) {
      w.element();
      w.number(std::uint64_t{byte});
    }
    w.end_array();
    w.member("outcome", record.outcome);
    w.end_object();
  }
  w.end_array();
  w.member("conductance", agent.conductance);

  const std::int64_t idle = std::max<std::int64_t>((now - agent.last_activity).count(), 0);
  w.key("last_activity_duration");
  w.begin_object();
  w.member("secs", static_cast<std::uint64_t>(idle) / kNanosPerSec);
  w.member("nanos", static_cast<std::uint64_t>(idle) % kNanosPerSec);
  w.end_object();
  // Written only when there are any: files of networks without query memory stay as they were.
  if (!agent.remembered.empty()) {
    w.key("remembered");
    w.begin_array();
    for (const std::string& text : agent.remembered) {
      w.element();
      w.string(text);
    }
    w.end_array();
  }
  w.end_object();
}

}  // namespace

std::string write_snapshot(const SnapshotSource& source) {
  std::string text;
  // Roughly 17 bytes per signature byte; reserving avoids repeated copies of a large text.
  std::size_t estimate = 512;
  for (const auto& entry : source.agents) estimate += 1024 + entry.second.feedback.size() * 1150;
  text.reserve(estimate);

  PrettyWriter w(text);
  w.begin_object();
  w.member("version", std::uint64_t{kSnapshotVersion});
  w.key("agents");
  w.begin_array();
  for (const auto& [name, agent] : source.agents) {
    w.element();
    write_agent(w, name, agent, source.now);
  }
  w.end_array();
  w.key("network_epoch");
  w.begin_object();
  w.member("secs_since_epoch", source.wall_nanos / kNanosPerSec);
  w.member("nanos_since_epoch", source.wall_nanos % kNanosPerSec);
  w.end_object();

  // Sorted so that equal states give equal files.
  std::vector<CoOccurrenceExpander::Pair> pairs = source.expander.pairs();
  std::vector<std::pair<std::string, std::uint32_t>> members;
  members.reserve(pairs.size());
  for (auto& pair : pairs) {
    members.emplace_back(std::move(pair.query_term) + "," + pair.capability_term, pair.count);
  }
  std::sort(members.begin(), members.end());
  w.key("cooccurrence_matrix");
  w.begin_object();
  for (const auto& [key, count] : members) w.member(key, std::uint64_t{count});
  w.end_object();
  w.member("cooccurrence_feedback_count", source.expander.feedback_count());
  // Members a reader that does not know them skips; none of them for a default network.
  if (source.learning != LearningSettings{}) {
    w.member("query_memory", std::uint64_t{source.learning.query_memory});
    w.key("query_expansion");
    w.boolean(source.learning.query_expansion);
  }
  if (const std::string settings = source.scorer.settings_json(); !settings.empty()) {
    w.key("scorer");
    w.document(Json::parse(settings));
  }
  for (const auto& [name, value] : source.extra) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      w.member(name, *text);
    } else {
      w.key(name);
      w.integer(std::get<std::int64_t>(value));
    }
  }
  w.end_object();
  return text;
}

}  // namespace kova
