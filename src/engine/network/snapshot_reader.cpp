// Reading the state file's document: a SAX reader that builds the snapshot member by member
// and words its errors the way earlier versions of the format's reader did, since hosts match
// on them.

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "network/snapshot.hpp"

namespace kova {

namespace {

// Our own files nest six levels deep; anything far deeper is hostile or broken.
constexpr std::size_t kMaxDepth = 128;

// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD. The parser quotes the bytes
// of the token it stopped at, which may end inside a multi-byte character; error texts must be
// valid text all the same (the host decodes them).
std::string valid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  std::string out;
  out.reserve(text.size());
  for (std::int64_t i = 0; i < length;) {
    const std::int64_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return out;
}

}  // namespace

// The library's exception text without its "[json.exception.kind.nnn] " tag.
std::string library_message(std::string_view what) {
  if (!what.empty() && what.front() == '[') {
    const auto close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  return valid_utf8(what);
}

namespace {

// A token as error texts quote it: its first kExcerptChars characters, then an ellipsis. A
// corrupt file can hold a token of any size (a number of millions of digits, a string that is
// never closed); quoting it whole would make the message as large as the file.
constexpr std::size_t kExcerptChars = 40;

std::string excerpt(std::string_view token) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < token.size(); ++i) {
    // Counting lead bytes only keeps a multi-byte character whole.
    if ((static_cast<unsigned char>(token[i]) & 0xC0) != 0x80 && chars++ == kExcerptChars) {
      return std::string(token.substr(0, i)) + "\u2026";
    }
  }
  return std::string(token);
}

// The parser's message with the token it quotes (the last one it read) shortened.
std::string parser_message(std::string_view what, const std::string& token) {
  std::string text(what);
  if (token.size() > kExcerptChars) {
    const auto at = text.rfind(token);
    if (at != std::string::npos) text.replace(at, token.size(), excerpt(token));
  }
  return library_message(text);
}

// Where a JSON value lands.
enum class Slot : std::uint8_t {
  Skip,
  Extra,  // an unknown top-level member: kept if a string or an integer, else skipped
  Root,
  Version,
  Agents,
  FeedbackCount,
  Epoch,
  EpochSecs,
  EpochNanos,
  Matrix,
  MatrixValue,
  Agent,
  Name,
  Capabilities,
  Capability,
  Endpoint,
  Metadata,
  MetadataValue,
  Diameter,
  Tau,
  Sigma,
  UnusedFloat,
  ForwardsCount,
  PulseTimeouts,
  Feedbacks,
  Duration,
  DurationSecs,
  DurationNanos,
  Feedback,
  QueryMinhash,
  MinhashByte,
  Outcome,
  QueryMemory,
  QueryExpansion,
  ScorerSettings,
  RememberedTexts,
  RememberedText,
};

struct Member {
  std::string_view name;
  Slot slot;
  bool required;
};

constexpr std::array kRootMembers{
    Member{"version", Slot::Version, true},
    Member{"agents", Slot::Agents, true},
    Member{"network_epoch", Slot::Epoch, false},
    Member{"cooccurrence_matrix", Slot::Matrix, false},
    Member{"cooccurrence_feedback_count", Slot::FeedbackCount, false},
    Member{"query_memory", Slot::QueryMemory, false},
    Member{"query_expansion", Slot::QueryExpansion, false},
    Member{"scorer", Slot::ScorerSettings, false},
};
constexpr std::array kAgentMembers{
    Member{"name", Slot::Name, true},
    Member{"capabilities", Slot::Capabilities, true},
    Member{"endpoint", Slot::Endpoint, false},
    Member{"metadata", Slot::Metadata, true},
    Member{"diameter", Slot::Diameter, true},
    Member{"tau", Slot::Tau, true},
    Member{"sigma", Slot::Sigma, true},
    Member{"omega", Slot::UnusedFloat, false},
    Member{"forwards_count", Slot::ForwardsCount, true},
    Member{"consecutive_pulse_timeouts", Slot::PulseTimeouts, true},
    Member{"feedback", Slot::Feedbacks, true},
    Member{"conductance", Slot::UnusedFloat, false},
    Member{"last_activity_duration", Slot::Duration, false},
    Member{"remembered", Slot::RememberedTexts, false},
};
constexpr std::array kFeedbackMembers{
    Member{"query_minhash", Slot::QueryMinhash, true},
    Member{"outcome", Slot::Outcome, true},
};
constexpr std::array kEpochMembers{
    Member{"secs_since_epoch", Slot::EpochSecs, true},
    Member{"nanos_since_epoch", Slot::EpochNanos, true},
};
constexpr std::array kDurationMembers{
    Member{"secs", Slot::DurationSecs, true},
    Member{"nanos", Slot::DurationNanos, true},
};

// One open object or array. Structs know their members; maps and arrays only their slot.
struct Frame {
  Slot slot;                        // the container's own slot
  std::span<const Member> members;  // empty unless a struct
  Slot pending = Slot::Skip;        // where the next value of a struct goes
  std::uint32_t seen = 0;           // struct members met so far
  std::size_t count = 0;            // elements of an array
};

struct Scalar {
  enum class Type { Null, Boolean, Integer, Unsigned, Float, String };
  explicit Scalar(Type t) : type(t) {}
  Type type;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsigned_value = 0;
  double floating = 0.0;
  std::string_view raw;  // float token or string contents
  std::string* string = nullptr;
};

std::string describe(const Scalar& s) {
  switch (s.type) {
    case Scalar::Type::Null:
      return "null";
    case Scalar::Type::Boolean:
      return std::string("boolean `") + (s.boolean ? "true" : "false") + "`";
    case Scalar::Type::Integer:
      return "integer `" + std::to_string(s.integer) + "`";
    case Scalar::Type::Unsigned:
      return "integer `" + std::to_string(s.unsigned_value) + "`";
    case Scalar::Type::Float:
      return "floating point `" + excerpt(s.raw) + "`";
    case Scalar::Type::String:
      return "string \"" + excerpt(s.raw) + "\"";
  }
  return "value";
}

const char* expected_text(Slot slot) {
  switch (slot) {
    case Slot::Root:
      return "struct NetworkSnapshot";
    case Slot::Agent:
      return "struct AgentSnapshot";
    case Slot::Feedback:
      return "struct FeedbackSnapshot";
    case Slot::Epoch:
      return "struct SystemTime";
    case Slot::Duration:
      return "struct Duration";
    case Slot::Agents:
    case Slot::Capabilities:
    case Slot::Feedbacks:
    case Slot::RememberedTexts:
      return "a sequence";
    case Slot::QueryMinhash:
      return "an array of length 64";
    case Slot::Metadata:
    case Slot::Matrix:
    case Slot::ScorerSettings:
      return "a map";
    case Slot::Name:
    case Slot::Capability:
    case Slot::MetadataValue:
    case Slot::RememberedText:
      return "a string";
    case Slot::QueryExpansion:
      return "a boolean";
    case Slot::Endpoint:
      return "a string or null";
    case Slot::Diameter:
    case Slot::Tau:
    case Slot::Sigma:
    case Slot::UnusedFloat:
    case Slot::Outcome:
      return "f64";
    case Slot::PulseTimeouts:
    case Slot::MinhashByte:
      return "u8";
    case Slot::Version:
    case Slot::EpochNanos:
    case Slot::DurationNanos:
    case Slot::MatrixValue:
      return "u32";
    case Slot::FeedbackCount:
    case Slot::QueryMemory:
    case Slot::EpochSecs:
    case Slot::DurationSecs:
    case Slot::ForwardsCount:
      return "u64";
    case Slot::Skip:
    case Slot::Extra:
      break;
  }
  return "a value";
}

// Builds a NetworkSnapshot straight from parser events: no document tree is kept, members
// given twice are caught (the library's own tree would keep the last silently), and nesting is
// bounded so hostile input cannot exhaust memory or the stack of later walks.
class SnapshotReader {
 public:
  using number_integer_t = std::int64_t;
  using number_unsigned_t = std::uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = nlohmann::json::binary_t;

  NetworkSnapshot snapshot;
  std::string error;

  bool null() {
    if (capture_.active()) return capture_.value(nullptr);
    return scalar(Scalar(Scalar::Type::Null));
  }
  bool boolean(bool value) {
    if (capture_.active()) return capture_.value(value);
    Scalar s(Scalar::Type::Boolean);
    s.boolean = value;
    return scalar(s);
  }
  bool number_integer(std::int64_t value) {
    if (capture_.active()) return capture_.value(value);
    // The library reports only negative integers here, but -0 arrives as 0.
    Scalar s(Scalar::Type::Integer);
    s.integer = value;
    if (value >= 0) {
      s.type = Scalar::Type::Unsigned;
      s.unsigned_value = static_cast<std::uint64_t>(value);
    }
    return scalar(s);
  }
  bool number_unsigned(std::uint64_t value) {
    if (capture_.active()) return capture_.value(value);
    Scalar s(Scalar::Type::Unsigned);
    s.unsigned_value = value;
    return scalar(s);
  }
  bool number_float(double value, const std::string& raw) {
    if (capture_.active()) return capture_.value(value);
    Scalar s(Scalar::Type::Float);
    s.floating = value;
    s.raw = raw;
    return scalar(s);
  }
  bool string(std::string& value) {
    if (capture_.active()) return capture_.value(std::move(value));
    Scalar s(Scalar::Type::String);
    s.raw = value;
    s.string = &value;
    return scalar(s);
  }
  bool binary(binary_t&) { return fail("invalid type: byte array"); }

  bool start_object(std::size_t) {
    if (stack_.size() + capture_.depth() >= kMaxDepth) return fail("recursion limit exceeded");
    if (capture_.active()) return capture_.open(Capture::Doc::object());
    const Slot slot = next_slot();
    switch (slot) {
      case Slot::ScorerSettings:
        return capture_.open(Capture::Doc::object());
      case Slot::Skip:
      case Slot::Metadata:
      case Slot::Matrix:
        stack_.push_back({slot, {}});
        return true;
      case Slot::Extra:
        stack_.push_back({Slot::Skip, {}});
        return true;
      case Slot::Root:
        stack_.push_back({slot, kRootMembers});
        return true;
      case Slot::Agent:
        snapshot.agents.emplace_back();
        stack_.push_back({slot, kAgentMembers});
        return true;
      case Slot::Feedback:
        agent().feedback.emplace_back();
        stack_.push_back({slot, kFeedbackMembers});
        return true;
      case Slot::Epoch:
        secs_ = 0;
        nanos_ = 0;
        stack_.push_back({slot, kEpochMembers});
        return true;
      case Slot::Duration:
        secs_ = 0;
        nanos_ = 0;
        stack_.push_back({slot, kDurationMembers});
        return true;
      default:
        return invalid_type("map", slot);
    }
  }

  bool key(std::string& name) {
    if (capture_.active()) {
      // The scorer's settings are read as a document, where a repeated key would silently
      // replace the first.
      if (capture_.path.back()->contains(name)) return fail("duplicate field `" + name + "`");
      capture_.key = std::move(name);
      return true;
    }
    Frame& top = stack_.back();
    if (top.slot == Slot::Metadata || top.slot == Slot::Matrix) {
      key_ = std::move(name);
      return true;
    }
    if (top.members.empty()) return true;
    top.pending = top.slot == Slot::Root ? Slot::Extra : Slot::Skip;
    if (top.slot == Slot::Root) key_ = name;
    for (std::size_t i = 0; i < top.members.size(); ++i) {
      if (top.members[i].name != name) continue;
      if ((top.seen >> i) & 1u) return fail("duplicate field `" + name + "`");
      top.seen |= 1u << i;
      top.pending = top.members[i].slot;
      break;
    }
    return true;
  }

  bool end_object() {
    if (capture_.active()) {
      if (capture_.close()) snapshot.scorer_settings = capture_.root.dump();
      return true;
    }
    const Frame& top = stack_.back();
    for (std::size_t i = 0; i < top.members.size(); ++i) {
      if (top.members[i].required && !((top.seen >> i) & 1u)) {
        return fail("missing field `" + std::string(top.members[i].name) + "`");
      }
    }
    if (top.slot == Slot::Epoch) {
      // A wall-clock instant must fit the platform's time type (signed 64-bit seconds).
      const std::uint64_t carry = nanos_ / kNanosPerSec;
      if (secs_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - carry) {
        return fail("overflow deserializing SystemTime");
      }
    } else if (top.slot == Slot::Duration) {
      if (secs_ > std::numeric_limits<std::uint64_t>::max() - nanos_ / kNanosPerSec) {
        return fail("overflow deserializing Duration");
      }
    }
    stack_.pop_back();
    return true;
  }

  bool start_array(std::size_t) {
    if (stack_.size() + capture_.depth() >= kMaxDepth) return fail("recursion limit exceeded");
    if (capture_.active()) return capture_.open(Capture::Doc::array());
    const Slot slot = next_slot();
    switch (slot) {
      case Slot::Extra:
        stack_.push_back({Slot::Skip, {}});
        return true;
      case Slot::Skip:
      case Slot::Agents:
      case Slot::Capabilities:
      case Slot::Feedbacks:
      case Slot::QueryMinhash:
      case Slot::RememberedTexts:
        stack_.push_back({slot, {}});
        return true;
      default:
        return invalid_type("sequence", slot);
    }
  }

  bool end_array() {
    if (capture_.active()) {
      capture_.close();
      return true;
    }
    const Frame& top = stack_.back();
    if (top.slot == Slot::QueryMinhash && top.count != kSignatureBytes) {
      return fail("invalid length " + std::to_string(top.count) +
                  ", expected an array of length 64");
    }
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t, const std::string& token, const nlohmann::json::exception& ex) {
    return fail(parser_message(ex.what(), token));
  }

 private:
  bool fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }

  bool invalid_type(const std::string& found, Slot slot) {
    return fail("invalid type: " + found + ", expected " + expected_text(slot));
  }

  bool invalid_value(const Scalar& s, Slot slot) {
    return fail("invalid value: " + describe(s) + ", expected " + expected_text(slot));
  }

  AgentSnapshot& agent() { return snapshot.agents.back(); }

  // The slot of the value about to arrive; counts array elements.
  Slot next_slot() {
    if (stack_.empty()) return Slot::Root;
    Frame& top = stack_.back();
    switch (top.slot) {
      case Slot::Skip:
        return Slot::Skip;
      case Slot::Agents:
        ++top.count;
        return Slot::Agent;
      case Slot::Capabilities:
        ++top.count;
        return Slot::Capability;
      case Slot::Feedbacks:
        ++top.count;
        return Slot::Feedback;
      case Slot::QueryMinhash:
        ++top.count;
        return Slot::MinhashByte;
      case Slot::RememberedTexts:
        return Slot::RememberedText;
      case Slot::Metadata:
        return Slot::MetadataValue;
      case Slot::Matrix:
        return Slot::MatrixValue;
      default:
        return top.pending;
    }
  }

  bool unsigned_value(const Scalar& s, Slot slot, std::uint64_t max, std::uint64_t& out) {
    if (s.type == Scalar::Type::Integer) return invalid_value(s, slot);
    if (s.type != Scalar::Type::Unsigned) return invalid_type(describe(s), slot);
    if (s.unsigned_value > max) return invalid_value(s, slot);
    out = s.unsigned_value;
    return true;
  }

  bool float_value(const Scalar& s, Slot slot, double& out) {
    switch (s.type) {
      case Scalar::Type::Null:
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
      case Scalar::Type::Integer:
        out = static_cast<double>(s.integer);
        return true;
      case Scalar::Type::Unsigned:
        out = static_cast<double>(s.unsigned_value);
        return true;
      case Scalar::Type::Float:
        out = s.floating;
        return true;
      default:
        return invalid_type(describe(s), slot);
    }
  }

  bool string_value(const Scalar& s, Slot slot, std::string& out) {
    if (s.type != Scalar::Type::String) return invalid_type(describe(s), slot);
    out = std::move(*s.string);
    return true;
  }

  bool scalar(const Scalar& s) {
    const Slot slot = next_slot();
    std::uint64_t u = 0;
    switch (slot) {
      case Slot::Skip:
        return true;
      case Slot::Extra:
        if (s.type == Scalar::Type::String) {
          snapshot.extra.emplace_back(std::move(key_), std::move(*s.string));
        } else if (s.type == Scalar::Type::Integer) {
          snapshot.extra.emplace_back(std::move(key_), s.integer);
        } else if (s.type == Scalar::Type::Unsigned &&
                   s.unsigned_value <= static_cast<std::uint64_t>(INT64_MAX)) {
          snapshot.extra.emplace_back(std::move(key_), static_cast<std::int64_t>(s.unsigned_value));
        }
        return true;
      case Slot::Version:
        if (!unsigned_value(s, slot, UINT32_MAX, u)) return false;
        snapshot.version = static_cast<std::uint32_t>(u);
        return true;
      case Slot::FeedbackCount:
        return unsigned_value(s, slot, UINT64_MAX, snapshot.feedback_count);
      case Slot::QueryMemory:
        return unsigned_value(s, slot, UINT64_MAX, snapshot.query_memory.emplace());
      case Slot::QueryExpansion:
        if (s.type != Scalar::Type::Boolean) return invalid_type(describe(s), slot);
        snapshot.query_expansion = s.boolean;
        return true;
      case Slot::RememberedText:
        return string_value(s, slot, agent().remembered.emplace_back());
      case Slot::EpochSecs:
      case Slot::DurationSecs:
        return unsigned_value(s, slot, UINT64_MAX, secs_);
      case Slot::EpochNanos:
      case Slot::DurationNanos:
        return unsigned_value(s, slot, UINT32_MAX, nanos_);
      case Slot::MatrixValue: {
        if (!unsigned_value(s, slot, UINT32_MAX, u)) return false;
        // "query,capability": the first comma splits, so capability terms may hold commas.
        const auto comma = key_.find(',');
        if (comma != std::string::npos) {
          snapshot.matrix.push_back(
              {key_.substr(0, comma), key_.substr(comma + 1), static_cast<std::uint32_t>(u)});
        }
        return true;
      }
      case Slot::Name:
        return string_value(s, slot, agent().name);
      case Slot::Capability: {
        std::string text;
        if (!string_value(s, slot, text)) return false;
        agent().capabilities.push_back(std::move(text));
        return true;
      }
      case Slot::Endpoint:
        if (s.type == Scalar::Type::Null) {
          agent().endpoint.reset();
          return true;
        }
        return string_value(s, slot, agent().endpoint.emplace());
      case Slot::MetadataValue: {
        std::string text;
        if (!string_value(s, slot, text)) return false;
        agent().metadata.insert_or_assign(std::move(key_), std::move(text));
        return true;
      }
      case Slot::Diameter:
        return float_value(s, slot, agent().diameter);
      case Slot::Tau:
        return float_value(s, slot, agent().tau);
      case Slot::Sigma:
        return float_value(s, slot, agent().sigma);
      case Slot::UnusedFloat: {
        double ignored = 0.0;
        return float_value(s, slot, ignored);
      }
      case Slot::ForwardsCount:
        return unsigned_value(s, slot, UINT64_MAX, agent().forwards_count);
      case Slot::PulseTimeouts:
        if (!unsigned_value(s, slot, UINT8_MAX, u)) return false;
        agent().consecutive_pulse_timeouts = static_cast<std::uint8_t>(u);
        return true;
      case Slot::MinhashByte: {
        if (!unsigned_value(s, slot, UINT8_MAX, u)) return false;
        const std::size_t index = stack_.back().count - 1;
        if (index < kSignatureBytes) {
          agent().feedback.back().query_signature[index] = static_cast<std::uint8_t>(u);
        }
        return true;
      }
      case Slot::Outcome:
        return float_value(s, slot, agent().feedback.back().outcome);
      default:
        return invalid_type(describe(s), slot);
    }
  }

  // The "scorer" member, kept as a document for the scorer's own factory to read.
  struct Capture {
    // Sorted members: a file may hold many, and an ordered document finds a key by walking
    // them all. The factory reads members by name, so their order carries nothing.
    using Doc = nlohmann::json;
    Doc root;
    std::vector<Doc*> path;  // open containers, innermost last
    std::string key;          // the pending key of the innermost object

    bool active() const { return !path.empty(); }
    std::size_t depth() const { return path.size(); }
    bool value(Doc v) {
      Doc& top = *path.back();
      if (top.is_object()) {
        top[key] = std::move(v);
      } else {
        top.push_back(std::move(v));
      }
      return true;
    }
    // Only the innermost container gains members, so pointers along the path stay valid.
    bool open(Doc container) {
      if (path.empty()) {
        root = std::move(container);
        path.push_back(&root);
        return true;
      }
      Doc& top = *path.back();
      if (top.is_object()) {
        path.push_back(&(top[key] = std::move(container)));
      } else {
        top.push_back(std::move(container));
        path.push_back(&top.back());
      }
      return true;
    }
    // True when the outermost container closed.
    bool close() {
      path.pop_back();
      return path.empty();
    }
  };

  std::vector<Frame> stack_;
  Capture capture_;
  std::string key_;  // the pending key of a map
  std::uint64_t secs_ = 0;
  std::uint64_t nanos_ = 0;
};

}  // namespace

bool is_state_member(std::string_view name) {
  return std::any_of(kRootMembers.begin(), kRootMembers.end(),
                     [&](const Member& m) { return m.name == name; });
}

Result<NetworkSnapshot, std::string> read_snapshot(const std::string& text) {
  using Out = Result<NetworkSnapshot, std::string>;
  SnapshotReader reader;
  try {
    if (!nlohmann::json::sax_parse(text, &reader) && reader.error.empty()) {
      reader.error = "parse error";
    }
  } catch (const std::exception& e) {
    reader.error = library_message(e.what());
  }
  if (!reader.error.empty()) return Out::err(std::move(reader.error));
  return Out::ok(std::move(reader.snapshot));
}

}  // namespace kova
