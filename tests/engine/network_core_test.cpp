#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/lsh.hpp"
#include "core/name_hash.hpp"
#include "log/log.hpp"
#include "network/network.hpp"

namespace kova {
namespace {

using Caps = std::vector<std::string>;

// Remembers what the engine told it: "presigned:<name>:<texts>:<key>" / "remove:<name>", and
// the signatures registration handed over with the last texts.
class RecordingScorer final : public Scorer {
 public:
  void index(std::string_view id, const AgentTexts& texts, std::uint32_t key) override {
    calls.push_back("presigned:" + std::string(id) + ":" + std::to_string(texts.texts.size()) +
                    ":" + std::to_string(key));
    last_signatures.assign(texts.signatures.begin(), texts.signatures.end());
  }
  void remove_agent(std::string_view id) override { calls.push_back("remove:" + std::string(id)); }
  std::optional<std::string> score_into(const ScoreRequest&, ScoreList&) const override {
    return std::nullopt;
  }
  std::vector<std::string> calls;
  std::vector<MinHashSignature> last_signatures;
};

struct Fixture {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  RecordingScorer* scorer_log = new RecordingScorer;
  std::unique_ptr<LocalNetwork> net =
      LocalNetwork::with_scorer(std::unique_ptr<Scorer>(scorer_log), clock);
  std::optional<DiscoveryError> reg(std::string_view name, const Caps& caps,
                                    std::optional<std::string> endpoint = std::nullopt,
                                    Metadata md = {}) {
    return net->register_agent(name, caps, std::move(endpoint), std::move(md));
  }
};

std::string config_text(const std::optional<DiscoveryError>& e) {
  if (!e) return "<ok>";
  EXPECT_EQ(e->kind, DiscoveryError::Kind::Config);
  return e->text;
}

TEST(NetworkCore, ValidationOrderAndByteLengths) {
  Fixture f;
  EXPECT_EQ(f.net->lsh_config().similarity_threshold, 0.1);
  EXPECT_EQ(f.net->enzyme_mutex().unsafe_value().max_split(), 3u);
  LshConfig lsh;
  lsh.similarity_threshold = 0.4;
  auto configured = LocalNetwork::with_config(lsh, 5);
  EXPECT_EQ(configured->lsh_config().similarity_threshold, 0.4);
  EXPECT_EQ(configured->enzyme_mutex().unsafe_value().max_split(), 5u);
  EXPECT_EQ(config_text(f.reg("", {})), "Agent name cannot be empty");
  EXPECT_EQ(config_text(f.reg("", {"x"})), "Agent name cannot be empty");
  EXPECT_EQ(config_text(f.reg(std::string(300, 'a'), {})), "Capabilities list cannot be empty");
  EXPECT_EQ(config_text(f.reg(std::string(257, 'a'), {"x"})),
            "Agent name exceeds 256 characters (got 257)");
  // 129 two-byte characters: 129 characters, 258 bytes.
  std::string two_byte;
  for (int i = 0; i < 129; ++i) two_byte += "\xc3\xa9";
  EXPECT_EQ(config_text(f.reg(two_byte, {"x"})), "Agent name exceeds 256 characters (got 258)");
  // Failures leave registry and scorer alone.
  EXPECT_EQ(f.net->agent_count(), 0u);
  EXPECT_TRUE(f.scorer_log->calls.empty());
  EXPECT_EQ(config_text(f.reg(std::string(256, 'a'), {"x"})), "<ok>");
  EXPECT_EQ(config_text(f.reg(two_byte.substr(0, 256), {"x"})), "<ok>");  // 128 characters
  EXPECT_EQ(config_text(f.reg("empty-capability", {""})), "<ok>");
  EXPECT_EQ(f.net->agent_count(), 3u);
}

TEST(NetworkCore, EachRegistrationBuildsAFreshRecord) {
  Fixture f;
  const Caps caps{"translate legal documents", "summarise contracts"};
  ASSERT_FALSE(f.reg("lawyer", caps, "http://x", Metadata{{"protocol", "mcp"}}));
  AgentRecord* rec = f.net->find_mut("lawyer");
  EXPECT_EQ(rec->capabilities, caps);
  EXPECT_EQ(rec->address, "local://lawyer");
  EXPECT_EQ(rec->last_activity, f.clock->monotonic_now());
  EXPECT_EQ(rec->circuit.kind, CircuitState::Kind::Closed);
  EXPECT_EQ(rec->name_hash, compute_name_hash("lawyer"));
  EXPECT_EQ(rec->capability_count, 2u);
  EXPECT_EQ(rec->endpoint, "http://x");
  EXPECT_EQ(rec->metadata, (Metadata{{"protocol", "mcp"}}));
  EXPECT_EQ(f.net->find("Lawyer"), nullptr);
  // The scorer receives the very signatures the merged one is built from.
  ASSERT_EQ(f.scorer_log->calls, (std::vector<std::string>{"presigned:lawyer:2:1"}));
  ASSERT_EQ(f.scorer_log->last_signatures.size(), 2u);
  EXPECT_EQ(f.scorer_log->last_signatures[0], compute_signature(caps[0], LshConfig{}));
  EXPECT_EQ(f.scorer_log->last_signatures[1], compute_signature(caps[1], LshConfig{}));
  EXPECT_EQ(rec->capability_signature, signature_union(f.scorer_log->last_signatures));
  std::tie(rec->diameter, rec->tau, rec->consecutive_pulse_timeouts, rec->forwards_count) =
      std::make_tuple(0.3, 0.9, std::uint8_t{7}, std::uint64_t{11});
  rec->circuit = {CircuitState::Kind::Open, f.clock->monotonic_now()};
  rec->feedback.insert(FeedbackRecord{{}, 1.0});
  f.clock->advance(std::chrono::seconds(5));
  ASSERT_FALSE(f.reg("lawyer", {"second"}));
  EXPECT_EQ(f.net->agent_count(), 1u);
  rec = f.net->find_mut("lawyer");
  EXPECT_EQ(
      std::tie(rec->diameter, rec->tau, rec->consecutive_pulse_timeouts, rec->capability_count),
      std::make_tuple(1.0, 0.01, std::uint8_t{0}, std::uint64_t{1}));
  EXPECT_EQ(rec->forwards(), 0u);
  EXPECT_EQ(rec->circuit.kind, CircuitState::Kind::Closed);
  EXPECT_TRUE(rec->feedback.empty());
  EXPECT_EQ(rec->endpoint, std::nullopt);
  EXPECT_TRUE(rec->metadata.empty());
  EXPECT_EQ(rec->last_activity, f.clock->monotonic_now());
}

TEST(NetworkCore, OrderingListingAndRemoval) {
  Fixture f;
  for (const char* name : {"b", "a", "B", "\xc3\xa9", "aa"}) ASSERT_FALSE(f.reg(name, {"x"}));
  EXPECT_EQ(f.net->agents(), (std::vector<std::string>{"B", "a", "aa", "b", "\xc3\xa9"}));
  f.scorer_log->calls.clear();
  EXPECT_FALSE(f.net->deregister("never"));
  EXPECT_TRUE(f.net->deregister("a"));
  EXPECT_FALSE(f.net->deregister("a"));
  // The scorer is asked every time, known name or not.
  EXPECT_EQ(f.scorer_log->calls,
            (std::vector<std::string>{"remove:never", "remove:a", "remove:a"}));
  EXPECT_EQ(f.net->agents(), (std::vector<std::string>{"B", "aa", "b", "\xc3\xa9"}));
  EXPECT_EQ(f.net->find("a"), nullptr);
  // Scorer keys stay with a name through re-registration and pass on once it is removed.
  const std::uint32_t key_of_b = f.net->find("b")->key;
  f.scorer_log->calls.clear();
  ASSERT_FALSE(f.reg("b", {"y"}));
  ASSERT_FALSE(f.reg("c", {"z"}));
  ASSERT_FALSE(f.reg("d", {"z"}));
  EXPECT_EQ(f.scorer_log->calls,
            (std::vector<std::string>{"presigned:b:1:" + std::to_string(key_of_b),
                                      "presigned:c:1:2", "presigned:d:1:6"}));
}

// Takes and releases the lock from a destructor, i.e. possibly while an exception unwinds.
struct LocksWhenDestroyed {
  PoisonableMutex<std::vector<int>>& m;
  ~LocksWhenDestroyed() { safe_lock(m, "unwind")->push_back(0); }
};

TEST(PoisonedMutex, OnlyAnExceptionLeavingTheHolderPoisonsAndEveryLaterLockWarns) {
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Warn);
  log::ScopedSink guard(sink);
  PoisonableMutex<std::vector<int>> m;
  // A holder whose whole life falls inside an unwinding exits normally, and so does one that
  // handles an exception while holding the guard.
  EXPECT_THROW(
      {
        LocksWhenDestroyed l{m};
        throw std::runtime_error("outer");
      },
      std::runtime_error);
  {
    auto g = safe_lock(m, "x");
    try {
      throw std::runtime_error("handled");
    } catch (const std::exception&) {
    }
  }
  EXPECT_FALSE(m.poisoned());
  EXPECT_TRUE(sink->entries.empty());
  EXPECT_THROW(
      {
        auto g = safe_lock(m, "holder");
        g->push_back(2);
        throw std::runtime_error("boom");
      },
      std::runtime_error);
  EXPECT_TRUE(m.poisoned());
  safe_lock(m, "first")->push_back(3);
  EXPECT_EQ(*safe_lock(m, "second"), (std::vector<int>{0, 2, 3}));  // value kept as left
  const auto warnings = sink->events_with("Mutex poisoned, recovering inner value");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].level, log::Level::Warn);
  EXPECT_EQ(warnings[0].target, "kova_discovery_native::network");
  EXPECT_EQ(*warnings[0].field("context"), "first");
  EXPECT_EQ(*warnings[1].field("context"), "second");
}

TEST(NetworkCore, ASecondReplayEnableStartsAfresh) {
  Fixture f;
  f.net->enable_replay(4);
  f.net->with_replay_log_mut(
      [](ReplayLog& log) { log.record({EventKind::TickApplied{}}, MonoTime{1}); });
  f.net->enable_replay(10);
  f.net->with_replay_log([](const ReplayLog& log) {
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(log.max_events(), 10u);
  });
}

// Records q<from> .. q<to - 1> and returns the query texts held afterwards, oldest first.
std::vector<std::string> record(ReplayLog& log, int from, int to) {
  for (int i = from; i < to; ++i)
    log.record({EventKind::QuerySubmitted{"q" + std::to_string(i)}}, MonoTime{i});
  std::vector<std::string> out;
  for (const auto& entry : log.events()) out.push_back(std::get<0>(entry.event.value).query);
  return out;
}

using Texts = std::vector<std::string>;

TEST(ReplayLogTest, EvictionHalvesAtTheBoundAndTinyBoundsKeepTheNewest) {
  ReplayLog log(4);
  EXPECT_EQ(record(log, 0, 4).size(), 4u);
  EXPECT_EQ(record(log, 4, 5), (Texts{"q2", "q3", "q4"}));
  EXPECT_EQ(record(log, 5, 7), (Texts{"q4", "q5", "q6"}));
  EXPECT_EQ(log.events().back().recorded_at, MonoTime{6});
  ReplayLog big(10000);
  EXPECT_EQ(record(big, 0, 10000).size(), 10000u);
  const Texts after = record(big, 10000, 10001);
  ASSERT_EQ(after.size(), 5001u);
  EXPECT_EQ(after.front(), "q5000");
  big.clear();
  EXPECT_TRUE(big.enabled());
  EXPECT_EQ(big.max_events(), 10000u);
  EXPECT_EQ(record(big, 0, 1).size(), 1u);
  ReplayLog disabled, zero(0), one(1), two(2);
  EXPECT_TRUE(record(disabled, 0, 5).empty());
  EXPECT_EQ(record(zero, 0, 3), (Texts{"q2"}));
  EXPECT_EQ(record(one, 0, 3), (Texts{"q2"}));
  EXPECT_EQ(record(two, 0, 5), (Texts{"q3", "q4"}));
  EXPECT_STREQ(EventKind{EventKind::QuerySubmitted{"x"}}.type_name(), "query_submitted");
  EXPECT_STREQ((EventKind{EventKind::AgentScored{"x", "a", 0, 0, 0, 0}}.type_name()),
               "agent_scored");
  EXPECT_STREQ((EventKind{EventKind::FeedbackRecorded{"a", {}, 1.0}}.type_name()),
               "feedback_recorded");
  EXPECT_STREQ(EventKind{EventKind::TickApplied{}}.type_name(), "tick_applied");
}

}  // namespace

namespace log {
namespace {

TEST(Log, NothingIsBuiltWithoutASinkAndASinkSeesUpToItsLevel) {
  bool built = false;
  const auto fields = [&] {
    built = true;
    return std::vector<Field>{{"max_tokens", "50"}};
  };
  event(Level::Error, kTargetNetwork, "x", fields);
  EXPECT_FALSE(built);
  EXPECT_FALSE(enabled(Level::Error));
  auto sink = std::make_shared<CapturingSink>(Level::Warn);
  ScopedSink guard(sink);
  event(Level::Info, kTargetScorer, "too verbose", fields);
  EXPECT_FALSE(built);
  event(Level::Warn, kTargetScorer, "truncating", fields);
  { Span span(Level::Warn, kTargetNetwork, "register"); }
  ASSERT_EQ(sink->entries.size(), 3u);
  EXPECT_EQ(sink->entries[0].target, kTargetScorer);
  EXPECT_EQ(*sink->entries[0].field("max_tokens"), "50");
  EXPECT_EQ(sink->entries[1].kind, CapturingSink::Entry::Kind::SpanEnter);
  EXPECT_EQ(sink->entries[2].kind, CapturingSink::Entry::Kind::SpanExit);
  EXPECT_EQ(sink->events_with("truncating").size(), 1u);
}

}  // namespace
}  // namespace log
}  // namespace kova
