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
#include "network/replay.hpp"
#include "network/safe_lock.hpp"

namespace kova {
namespace {

using Caps = std::vector<std::string>;

// A scorer that remembers what the engine told it.
struct ScorerLog {
  std::vector<std::string> calls;  // "index:<name>:<n>" / "remove:<name>"
  std::vector<MinHashSignature> last_signatures;
};

class RecordingScorer final : public Scorer {
 public:
  explicit RecordingScorer(std::shared_ptr<ScorerLog> log) : log_(std::move(log)) {}
  // Calls with a key come from registration, which hands over the signatures it made.
  void index(std::string_view id, const AgentTexts& texts, std::uint32_t key) override {
    const std::string n = std::to_string(texts.texts.size());
    if (key == 0) {
      log_->calls.push_back("index:" + std::string(id) + ":" + n);
      return;
    }
    log_->calls.push_back("presigned:" + std::string(id) + ":" + n + ":" + std::to_string(key));
    log_->last_signatures.assign(texts.signatures.begin(), texts.signatures.end());
  }
  void remove_agent(std::string_view id) override {
    log_->calls.push_back("remove:" + std::string(id));
  }
  std::optional<std::string> score_into(const ScoreRequest&, ScoreList&) const override {
    return std::nullopt;
  }

 private:
  std::shared_ptr<ScorerLog> log_;
};

struct Fixture {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::shared_ptr<ScorerLog> scorer_log = std::make_shared<ScorerLog>();
  std::unique_ptr<LocalNetwork> net =
      LocalNetwork::with_scorer(std::make_unique<RecordingScorer>(scorer_log), clock);

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

TEST(NetworkCore, ConstructorsTakeTheirSettings) {
  LshConfig lsh;
  lsh.similarity_threshold = 0.4;
  auto configured = LocalNetwork::with_config(lsh, 5);
  EXPECT_EQ(configured->lsh_config().similarity_threshold, 0.4);
  EXPECT_EQ(configured->enzyme_mutex().unsafe_value().max_split(), 5u);
  Fixture f;
  EXPECT_EQ(f.net->lsh_config().similarity_threshold, 0.1);
  EXPECT_EQ(f.net->enzyme_mutex().unsafe_value().max_split(), 3u);
  EXPECT_FALSE(f.net->with_replay_log([](const ReplayLog& log) { return log.enabled(); }));
}

TEST(NetworkCore, ValidationOrderAndByteLengths) {
  Fixture f;
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

TEST(NetworkCore, RecordIsBuiltFromTheRegistration) {
  Fixture f;
  const Caps caps{"translate legal documents", "summarise contracts"};
  ASSERT_FALSE(f.reg("lawyer", caps, "http://x", Metadata{{"protocol", "mcp"}}));
  const AgentRecord* rec = f.net->find("lawyer");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->capabilities, caps);
  EXPECT_EQ(rec->address, "local://lawyer");
  EXPECT_EQ(rec->last_activity, f.clock->monotonic_now());
  EXPECT_EQ(rec->circuit.kind, CircuitState::Kind::Closed);
  EXPECT_EQ(rec->name_hash, compute_name_hash("lawyer"));
  EXPECT_EQ(rec->capability_count, 2u);
  EXPECT_EQ(rec->endpoint, "http://x");
  EXPECT_EQ(rec->metadata, (Metadata{{"protocol", "mcp"}}));

  // The scorer receives the very signatures the merged one is built from.
  ASSERT_EQ(f.scorer_log->calls, (std::vector<std::string>{"presigned:lawyer:2:1"}));
  ASSERT_EQ(f.scorer_log->last_signatures.size(), 2u);
  const LshConfig lsh;
  EXPECT_EQ(f.scorer_log->last_signatures[0], compute_signature(caps[0], lsh));
  EXPECT_EQ(f.scorer_log->last_signatures[1], compute_signature(caps[1], lsh));
  EXPECT_EQ(rec->capability_signature, signature_union(f.scorer_log->last_signatures));

  EXPECT_EQ(f.net->find("Lawyer"), nullptr);
}

TEST(NetworkCore, ReRegistrationStartsAfresh) {
  Fixture f;
  ASSERT_FALSE(f.reg("a", {"first"}, "e1", Metadata{{"k", "v"}}));
  AgentRecord* rec = f.net->find_mut("a");
  ASSERT_NE(rec, nullptr);
  rec->diameter = 0.3;
  rec->tau = 0.9;
  rec->consecutive_pulse_timeouts = 7;
  rec->forwards_count = 11;
  rec->circuit = {CircuitState::Kind::Open, f.clock->monotonic_now()};
  rec->feedback.insert(FeedbackRecord{{}, 1.0});

  f.clock->advance(std::chrono::seconds(5));
  ASSERT_FALSE(f.reg("a", {"second", "third"}));
  EXPECT_EQ(f.net->agent_count(), 1u);
  rec = f.net->find_mut("a");
  EXPECT_EQ(rec->diameter, 1.0);
  EXPECT_EQ(rec->tau, 0.01);
  EXPECT_EQ(rec->consecutive_pulse_timeouts, 0);
  EXPECT_EQ(rec->forwards(), 0u);
  EXPECT_EQ(rec->circuit.kind, CircuitState::Kind::Closed);
  EXPECT_TRUE(rec->feedback.empty());
  EXPECT_EQ(rec->endpoint, std::nullopt);
  EXPECT_TRUE(rec->metadata.empty());
  EXPECT_EQ(rec->capability_count, 2u);
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

TEST(NetworkCore, RegisterSpanCarriesItsFields) {
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Info);
  log::ScopedSink guard(sink);
  Fixture f;
  ASSERT_FALSE(f.reg("agent", {"one", "two"}, "ep"));
  ASSERT_EQ(sink->entries.size(), 2u);  // enter and exit
  const auto& enter = sink->entries[0];
  EXPECT_EQ(enter.kind, log::CapturingSink::Entry::Kind::SpanEnter);
  EXPECT_EQ(enter.level, log::Level::Info);
  EXPECT_EQ(enter.target, "kova_discovery_native::network");
  EXPECT_EQ(enter.message, "register");
  for (const char* field : {"name", "capabilities", "endpoint", "agent_name", "capability_count"}) {
    EXPECT_NE(enter.field(field), nullptr) << field;
  }
  EXPECT_EQ(*enter.field("capability_count"), "2");
}

TEST(PoisonedMutex, ExceptionPoisonsAndEveryLaterLockWarns) {
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Warn);
  log::ScopedSink guard(sink);
  PoisonableMutex<std::vector<int>> m;
  safe_lock(m, "clean")->push_back(1);
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
  EXPECT_EQ(*safe_lock(m, "second"), (std::vector<int>{1, 2, 3}));  // value kept as left
  const auto warnings = sink->events_with("Mutex poisoned, recovering inner value");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].level, log::Level::Warn);
  EXPECT_EQ(warnings[0].target, "kova_discovery_native::network");
  EXPECT_EQ(*warnings[0].field("context"), "first");
  EXPECT_EQ(*warnings[1].field("context"), "second");
}

// Takes and releases the lock from a destructor, i.e. possibly while an exception unwinds.
struct LocksWhenDestroyed {
  PoisonableMutex<int>& m;
  ~LocksWhenDestroyed() { *safe_lock(m, "unwind") += 1; }
};

TEST(PoisonedMutex, OnlyAnExceptionLeavingTheHolderPoisons) {
  PoisonableMutex<int> m;
  // A holder whose whole life falls inside an unwinding exits normally.
  EXPECT_THROW(
      {
        LocksWhenDestroyed l{m};
        throw std::runtime_error("outer");
      },
      std::runtime_error);
  // An exception thrown and handled while the guard is held does not leave the holder.
  {
    auto g = safe_lock(m, "x");
    try {
      throw std::runtime_error("handled");
    } catch (const std::exception&) {
    }
  }
  EXPECT_FALSE(m.poisoned());
  EXPECT_EQ(*safe_lock(m, "y"), 1);
}

TEST(PoisonedMutex, EngineReplayLogEnableClearAndRecoveryContexts) {
  Fixture f;
  const auto size = [&] {
    return f.net->with_replay_log([](const ReplayLog& log) { return log.size(); });
  };
  const auto tick = [&] {
    f.net->with_replay_log_mut(
        [](ReplayLog& log) { log.record({EventKind::TickApplied{}}, MonoTime{1}); });
  };
  f.net->enable_replay(4);
  tick();
  f.net->clear_replay();  // keeps recording on
  tick();
  EXPECT_EQ(size(), 1u);
  f.net->enable_replay(10);  // a second enable starts afresh
  EXPECT_EQ(size(), 0u);
  EXPECT_EQ(f.net->with_replay_log([](const ReplayLog& log) { return log.max_events(); }), 10u);

  auto sink = std::make_shared<log::CapturingSink>(log::Level::Warn);
  log::ScopedSink guard(sink);
  EXPECT_THROW(f.net->with_replay_log_mut([](ReplayLog&) -> int { throw std::runtime_error("x"); }),
               std::runtime_error);
  tick();
  EXPECT_EQ(size(), 1u);
  f.net->enable_replay(2);
  const auto warnings = sink->events_with("Mutex poisoned, recovering inner value");
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(*warnings[0].field("context"), "replay mut");
  EXPECT_EQ(*warnings[1].field("context"), "replay query");
  EXPECT_EQ(*warnings[2].field("context"), "replay mut");
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

TEST(ReplayLogTest, EvictionHalvesAtTheBound) {
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
}

TEST(ReplayLogTest, DisabledOrTinyBounds) {
  ReplayLog disabled;
  EXPECT_TRUE(record(disabled, 0, 5).empty());
  for (std::size_t bound : {std::size_t{0}, std::size_t{1}}) {
    ReplayLog log(bound);
    EXPECT_EQ(record(log, 0, 3), (Texts{"q2"})) << "bound " << bound;
  }
  ReplayLog two(2);
  EXPECT_EQ(record(two, 0, 5), (Texts{"q3", "q4"}));
}

TEST(ReplayLogTest, TypeNames) {
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

TEST(Log, NothingIsBuiltWithoutASink) {
  bool built = false;
  event(Level::Error, kTargetNetwork, "x", [&] {
    built = true;
    return std::vector<Field>{};
  });
  EXPECT_FALSE(built);
  EXPECT_FALSE(enabled(Level::Error));
}

TEST(Log, CapturingSinkSeesEventsAndSpansUpToItsLevel) {
  auto sink = std::make_shared<CapturingSink>(Level::Warn);
  ScopedSink guard(sink);
  event(Level::Warn, kTargetScorer, "truncating", [] {
    return std::vector<Field>{{"max_tokens", "50"}};
  });
  event(Level::Info, kTargetScorer, "too verbose");
  { Span span(Level::Warn, kTargetNetwork, "register"); }
  ASSERT_EQ(sink->entries.size(), 3u);
  EXPECT_EQ(sink->entries[0].target, kTargetScorer);
  ASSERT_NE(sink->entries[0].field("max_tokens"), nullptr);
  EXPECT_EQ(*sink->entries[0].field("max_tokens"), "50");
  EXPECT_EQ(sink->entries[1].kind, CapturingSink::Entry::Kind::SpanEnter);
  EXPECT_EQ(sink->entries[2].kind, CapturingSink::Entry::Kind::SpanExit);
  EXPECT_EQ(sink->events_with("truncating").size(), 1u);
}

}  // namespace
}  // namespace log
}  // namespace kova
