#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

#include "log/log.hpp"
#include "network/network.hpp"
#include "scorer/bm25.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/minhash.hpp"
#include "scorer/tfidf.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;
using Kind = CircuitState::Kind;

struct FeedbackFixture : ::testing::Test {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::unique_ptr<LocalNetwork> net = LocalNetwork::create_default(clock);
  void reg(const std::string& name, const Texts& caps) {
    ASSERT_FALSE(net->register_agent(name, caps, std::nullopt, {}).has_value());
  }
  const AgentRecord& agent(const std::string& name) { return *net->find(name); }
};

TEST_F(FeedbackFixture, OneSuccessMovesEveryRoutingValueAndRemembersTheQuery) {
  reg("a", {"translate legal documents"});
  clock->advance(7s);
  net->record_success("a", std::nullopt);
  const AgentRecord& a = agent("a");
  EXPECT_EQ(std::tie(a.diameter, a.sigma, a.last_activity),
            std::tuple(1.0, 0.01, clock->monotonic_now()));
  EXPECT_TRUE(a.feedback.empty());
  net->record_success("a", "translate contract");
  net->record_failure("a", "summarise");
  ASSERT_EQ(a.feedback.size(), 2u);
  EXPECT_EQ(a.feedback[0].query_signature,
            compute_signature("translate contract", net->lsh_config()));
  EXPECT_EQ(a.feedback[0].outcome, 1.0);
  EXPECT_EQ(a.feedback[1].query_signature, compute_signature("summarise", net->lsh_config()));
  EXPECT_EQ(a.feedback[1].outcome, -1.0);
}

TEST_F(FeedbackFixture, FailuresFloorDiameterAndTheCircuitOpensRecoversAndCloses) {
  reg("a", {"x"});
  const MonoTime registered = agent("a").last_activity;
  for (int i = 1; i <= 18; ++i) {
    clock->advance(1s);
    net->record_failure("a", std::nullopt);
    EXPECT_EQ(agent("a").circuit.kind, i < 5 ? Kind::Closed : Kind::Open) << i;
  }
  EXPECT_NEAR(agent("a").diameter, 0.1, 1e-12);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 18);
  EXPECT_EQ(agent("a").last_activity, registered);
  for (int i = 0; i < 300; ++i) net->record_failure("a", std::nullopt);
  const MonoTime opened = clock->monotonic_now();
  // The count saturates; the diameter is exactly the floor once it is reached.
  EXPECT_EQ(std::tie(agent("a").consecutive_pulse_timeouts, agent("a").diameter,
                     agent("a").circuit.opened_at),
            std::tuple(std::uint8_t{255}, 0.1, opened));
  clock->advance(60s);  // exactly the timeout is not enough
  net->tick();
  EXPECT_EQ(agent("a").circuit.kind, Kind::Open);
  EXPECT_EQ(agent("a").circuit.opened_at, opened);
  clock->advance(1ns);
  net->tick();
  EXPECT_EQ(agent("a").circuit.kind, Kind::HalfOpen);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 255);  // half-open keeps the count
  net->record_failure("a", std::nullopt);
  EXPECT_EQ(agent("a").circuit.kind, Kind::Open);
  EXPECT_EQ(agent("a").circuit.opened_at, clock->monotonic_now());
  clock->advance(50s);  // every failure while open restarts the timer
  net->record_failure("a", std::nullopt);
  clock->advance(20s);
  net->tick();
  EXPECT_EQ(agent("a").circuit.kind, Kind::Open);
  net->record_success("a", std::nullopt);
  EXPECT_EQ(agent("a").circuit.kind, Kind::Closed);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 0);
}

// Feedback for names nobody registered changes no agent, but is logged and decays the
// exploration rate all the same; ticks decay routing values, never the exploration rate.
TEST_F(FeedbackFixture, UnknownNamesChangeNoAgentButAreLoggedAndTicksDecayToTheFloor) {
  reg("a", {"x"});
  reg("b", {"y"});
  net->find_mut("b")->tau = std::numeric_limits<double>::quiet_NaN();
  net->find_mut("a")->diameter = 0.5;
  net->enable_replay(100);
  EXPECT_EQ(net->exploration_epsilon(), 0.8);
  net->record_success("ghost", "q");
  EXPECT_DOUBLE_EQ(net->exploration_epsilon(), 0.792);
  net->record_failure("ghost", std::nullopt);
  net->tick();
  EXPECT_EQ(agent("b").tau, 0.001);  // NaN never wins against the floor
  EXPECT_DOUBLE_EQ(agent("a").tau, 0.01 * 0.995);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 0);
  EXPECT_EQ(net->cooccurrence_mutex().unsafe_value().feedback_count(), 0u);
  net->with_replay_log([](const ReplayLog& log) {
    const auto& events = log.events();
    ASSERT_EQ(events.size(), 3u);
    const auto& success = std::get<EventKind::FeedbackRecorded>(events[0].event.value);
    EXPECT_EQ(success.agent_name, "ghost");
    EXPECT_EQ(success.query, std::optional<std::string>("q"));
    EXPECT_EQ(success.outcome, 1.0);
    const auto& failure = std::get<EventKind::FeedbackRecorded>(events[1].event.value);
    EXPECT_EQ(failure.query, std::nullopt);
    EXPECT_EQ(failure.outcome, -1.0);
    EXPECT_TRUE(std::holds_alternative<EventKind::TickApplied>(events[2].event.value));
  });
  const double epsilon = net->exploration_epsilon();
  for (int i = 0; i < 999; ++i) net->tick();
  EXPECT_EQ(agent("a").tau, 0.001);
  EXPECT_EQ(agent("a").diameter, 0.5);
  EXPECT_EQ(net->exploration_epsilon(), epsilon);
  net->find_mut("a")->sigma = 1.0;
  net->tick();
  EXPECT_DOUBLE_EQ(agent("a").sigma, 0.99);
  for (int i = 2; i < 275; ++i) net->record_failure("nobody", std::nullopt);
  EXPECT_GT(net->exploration_epsilon(), 0.05);
  net->record_failure("nobody", std::nullopt);
  EXPECT_EQ(net->feedback_epoch(), 276u);
  EXPECT_EQ(net->exploration_epsilon(), 0.05);
}

TEST_F(FeedbackFixture, OnlySuccessesWithQueriesFeedCoOccurrenceWithTheCurrentCapabilities) {
  reg("a", {"legal translation"});
  reg("blank", {"   "});
  auto& expander = net->cooccurrence_mutex().unsafe_value();
  net->record_success("a", std::nullopt);
  net->record_failure("a", "Translate Legal");
  EXPECT_EQ(expander.feedback_count(), 0u);
  net->record_success("a", "Translate \u00dcBER");
  EXPECT_EQ(expander.feedback_count(), 1u);
  for (const char* q : {"translate", "\u00fcber"})
    for (const char* c : {"legal", "translation"}) EXPECT_EQ(expander.count(q, c), 1u);
  EXPECT_EQ(expander.size(), 4u);
  net->record_success("blank", "words");  // no capability terms: counted, no pair
  EXPECT_EQ(expander.feedback_count(), 2u);
  EXPECT_EQ(expander.size(), 4u);
  reg("a", {"Python code"});
  net->record_success("a", "contracts");
  EXPECT_EQ(expander.count("contracts", "legal"), 0u);
  EXPECT_EQ(expander.count("contracts", "python"), 1u);
  EXPECT_EQ(expander.count("contracts", "code"), 1u);
  EXPECT_EQ(expander.size(), 6u);
}

TEST_F(FeedbackFixture, SpansCarryTheirFieldsOnTheNetworkTarget) {
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Info);
  {
    log::ScopedSink guard(sink);
    ASSERT_FALSE(net->register_agent("a", Texts{"one", "two"}, "ep", {}));
    net->record_success("a", "q \"1\"");
    net->record_failure("a", std::nullopt);
    net->tick();
  }
  std::vector<const log::CapturingSink::Entry*> enters;
  for (const auto& e : sink->entries) {
    if (e.kind == log::CapturingSink::Entry::Kind::SpanEnter) enters.push_back(&e);
  }
  ASSERT_EQ(enters.size(), 4u);
  EXPECT_EQ(enters[0]->message, "register");
  EXPECT_EQ(*enters[0]->field("capability_count"), "2");
  EXPECT_EQ(enters[1]->message, "record_success");
  EXPECT_EQ(enters[1]->target, log::kTargetNetwork);
  EXPECT_EQ(*enters[1]->field("query"), "Some(\"q \\\"1\\\"\")");
  EXPECT_EQ(*enters[1]->field("agent_name"), "a");
  EXPECT_EQ(*enters[1]->field("query_provided"), "true");
  EXPECT_EQ(enters[2]->message, "record_failure");
  EXPECT_EQ(*enters[2]->field("query"), "None");
  EXPECT_EQ(*enters[2]->field("query_provided"), "false");
  EXPECT_EQ(enters[3]->message, "tick");
  EXPECT_TRUE(enters[3]->fields.empty());
}

TEST(PropagationFixture, ThresholdIsInclusiveAndSourceAndStrangersAreSkipped) {
  auto* scorer = new test_support::ChosenScorer;
  auto net = LocalNetwork::with_scorer(std::unique_ptr<Scorer>(scorer));
  for (const char* n : {"source", "below", "at", "high", "unscored"})
    ASSERT_FALSE(net->register_agent(n, Texts{"legal translation", "contracts"}, {}, {}));
  const auto tau = [&](const char* name) { return net->find(name)->tau; };
  scorer->set_fallback(
      {{"source", 1.0}, {"below", 0.29}, {"at", 0.3}, {"ghost", 0.9}, {"high", 1.0}});
  net->record_success("source", std::nullopt);
  EXPECT_EQ(scorer->calls, std::vector<std::string>{"legal translation contracts"});
  EXPECT_DOUBLE_EQ(tau("source"), 0.06);  // its own success only
  EXPECT_EQ(tau("below"), 0.01);
  EXPECT_DOUBLE_EQ(tau("at"), 0.01 + 0.09);
  EXPECT_DOUBLE_EQ(tau("high"), 0.01 + 0.3);
  EXPECT_EQ(tau("unscored"), 0.01);
  EXPECT_EQ(net->find("ghost"), nullptr);
  // A failing scorer spreads nothing; the success itself still counts.
  scorer->fail_on("legal translation contracts");
  net->record_success("source", "query");
  EXPECT_EQ(scorer->calls.size(), 2u);
  EXPECT_DOUBLE_EQ(tau("source"), 0.11);
  EXPECT_DOUBLE_EQ(tau("high"), 0.01 + 0.3);
  EXPECT_EQ(net->find("source")->feedback.size(), 1u);
  EXPECT_DOUBLE_EQ(net->exploration_epsilon(), 0.8 * 0.99 * 0.99);
}

// Texts over a small vocabulary, so that many agents resemble each other and similarities
// fall on both sides of the thresholds.
std::string random_words(std::mt19937_64& rng, std::size_t count) {
  static const char* const kWords[] = {"translate", "legal", "contract", "pdf", "report", "image",
                                       "search",    "sql",   "code",     "the", "a",      "émigré"};
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += (i ? " " : "") + std::string(kWords[rng() % 12]);
  return out;
}

using Make = std::function<std::unique_ptr<Scorer>()>;
const Make kMinHash = [] { return std::make_unique<MinHashScorer>(LshConfig{}); };
const Make kBm25 = [] { return std::unique_ptr<Scorer>(Bm25Scorer::create({}).value().release()); };
const Make kTfIdf = [] { return std::make_unique<TfIdfScorer>(); };
const Make kHybrid = [] {
  std::vector<HybridPart> parts;
  parts.push_back({kBm25(), 0.7});
  parts.push_back({kTfIdf(), 0.3});
  return std::unique_ptr<Scorer>(
      HybridScorer::create(std::move(parts), Fusion::MinMax).value().release());
};

// A success adds 0.05 to its source and similarity * 0.3 to every other agent whose
// capabilities score at least 0.3 against the source's joined capabilities (remembered texts
// left out). Whatever the engine keeps between successes (derived signatures, neighbour
// lists) must give exactly that through re-registration, removal, learning and failures,
// which open circuits but neither stop nor cap what spreads. The scorer's view leaving out
// remembered texts is checked against a fresh index of the capabilities alone.
TEST(PropagateFeedback, EngineAgreesWithScoringTheJoinedCapabilities) {
  for (const Make& make : {kMinHash, kBm25, kTfIdf, kHybrid}) {
    std::mt19937_64 rng(5);
    auto net = LocalNetwork::with_scorer(make());
    net->set_learning(LearningSettings::recommended(3));
    std::map<std::string, Texts> caps;
    std::map<std::string, double> expected;
    std::size_t open = 0, above_one = 0;
    for (int step = 0; step < 1500; ++step) {
      const std::string name = "agent-" + std::to_string(step < 40 ? step : rng() % 40);
      const unsigned op = step < 40 ? 0 : rng() % 12;
      if (op == 0) {
        caps[name] = {random_words(rng, 1 + rng() % 4), random_words(rng, 1 + rng() % 3)};
        caps[name].resize(1 + rng() % 2);
        ASSERT_FALSE(net->register_agent(name, caps[name], std::nullopt, {}));
        expected[name] = 0.01;
      } else if (op == 1) {
        net->deregister(name);
        caps.erase(name);
        expected.erase(name);
      } else if (op == 2) {
        for (int i = 0; i < 5; ++i) net->record_failure(name, random_words(rng, 2));
      } else {
        if (caps.count(name)) {
          std::string joined = caps[name][0];
          for (std::size_t i = 1; i < caps[name].size(); ++i) joined += " " + caps[name][i];
          ScoreList scores;
          ASSERT_FALSE(net->scorer_adapter().scorer->score_into({joined, 0.3, true}, scores));
          std::unique_ptr<Scorer> fresh = make();
          for (const auto& [agent, texts] : caps) fresh->index_capabilities(agent, texts);
          std::map<std::string, double> want, got;
          const ScoreList alone = fresh->score(joined).value();
          for (const auto& [other, similarity] : alone.pairs) {
            if (similarity >= 0.3) want[std::string(other)] = similarity;
          }
          for (const auto& [other, similarity] : scores.pairs) {
            if (similarity >= 0.3) got[std::string(other)] = similarity;
          }
          ASSERT_EQ(got.size(), want.size()) << "step " << step;
          for (const auto& [other, similarity] : got) ASSERT_NEAR(similarity, want[other], 1e-12);
          expected[name] = std::fmax(expected[name] + 0.05, 0.001);
          for (const auto& [other, similarity] : scores.pairs) {
            if (similarity >= 0.3 && other != name)
              expected[std::string(other)] += similarity * 0.3;
          }
        }
        net->record_success(name, op % 3 ? std::optional(random_words(rng, 3)) : std::nullopt);
      }
      ASSERT_EQ(net->agent_count(), expected.size());
      for (const auto& [agent, record] : net->agent_table()) {
        ASSERT_EQ(record.tau, expected[agent]) << agent << " at step " << step;
        open += record.circuit.kind == Kind::Open;
        above_one += record.tau > 1.0;
      }
    }
    EXPECT_GT(open, 0u);
    EXPECT_GT(above_one, 0u);
  }
}

// Random agents and feedback (stored directly, so that only drift detection is under test)
// against the definition: an agent with at least `min` successes (outcome above 0) is
// reported, in name order; its alignment is the mean over successes of the best match between
// the query's signature and each whole capability string's (NaN without successes); it has
// drifted when that falls strictly below the threshold. Asking changes nothing.
TEST(DriftTest, ReportsFollowTheDefinition) {
  std::mt19937_64 rng(17);
  const auto text = [&](std::size_t n) { return random_words(rng, n); };
  std::string long_text;  // 80 words: matches only if signed whole, not cut short
  for (int i = 0; i < 80; ++i) long_text += "word" + std::to_string(i) + " ";
  for (int round = 0; round < 30; ++round) {
    auto net = LocalNetwork::create_default(std::make_shared<ManualClock>());
    const auto sign = [&](const std::string& t) { return compute_signature(t, net->lsh_config()); };
    std::map<std::string, std::vector<std::string>> caps, successes;
    for (std::size_t a = rng() % 6; a > 0; --a) {
      const std::string name = std::string(rng() % 2 ? "B" : "a") + std::to_string(rng() % 20);
      caps[name] = {text(1 + rng() % 3), rng() % 4 ? text(2) : long_text};
      ASSERT_FALSE(net->register_agent(name, caps[name], std::nullopt, {}));
    }
    for (auto& [name, own] : caps) {
      for (std::size_t f = rng() % 7; f > 0; --f) {
        const std::string query = rng() % 3 ? text(1 + rng() % 3) : own[rng() % own.size()];
        const double outcome = rng() % 4 == 0 ? -1.0 : rng() % 5 == 0 ? 0.0 : 1.0;
        net->find_mut(name)->feedback.insert({sign(query), outcome});
        if (outcome > 0) successes[name].push_back(query);
      }
    }
    for (const std::size_t min : {0, 1, 3}) {
      for (const double threshold : {0.0, 0.5, 1.0, 1.5}) {
        std::vector<std::tuple<std::string, std::size_t, bool>> expected, got;
        std::map<std::string, double> alignment;
        for (const auto& [name, own] : caps) {
          const auto& queries = successes[name];
          if (queries.size() < min) continue;
          double sum = 0.0;
          for (const auto& q : queries) {
            double best = 0.0;
            for (const auto& c : own) best = std::max(best, signature_similarity(sign(q), sign(c)));
            sum += best;
          }
          alignment[name] = sum / static_cast<double>(queries.size());
          expected.emplace_back(name, queries.size(), alignment[name] < threshold);
        }
        for (const DriftReport& r : net->detect_drift(min, threshold)) {
          got.emplace_back(r.agent_name, r.sample_count, r.drifted);
          const double want = alignment[r.agent_name];
          EXPECT_TRUE(std::isnan(want) ? std::isnan(r.alignment)
                                       : std::abs(r.alignment - want) < 1e-12)
              << r.agent_name << ": " << r.alignment << " against " << want;
        }
        ASSERT_EQ(got, expected) << "round " << round << ", threshold " << threshold;
      }
    }
  }
}

// Positions sharing at least one band key, by brute force over a plain queue.
std::vector<std::size_t> naive_candidates(const std::deque<FeedbackRecord>& records,
                                          const MinHashSignature& q) {
  std::vector<std::size_t> out;
  for (std::size_t p = 0; p < records.size(); ++p) {
    for (std::size_t b = 0; b < FeedbackIndex::kBands; ++b) {
      if (FeedbackIndex::band_key(records[p].query_signature, b) == FeedbackIndex::band_key(q, b)) {
        out.push_back(p);
        break;
      }
    }
  }
  return out;
}

TEST(FeedbackIndexTest, AgreesWithBruteForce) {
  // Bytes mostly 0 make many records share bands, so chains grow long; bytes of 8 values give
  // far more keys than a table keeps, so keys keep leaving the tables and the probe clusters
  // behind them must stay reachable.
  struct Shape {
    unsigned values;
    int inserts;
  };
  for (const Shape shape : {Shape{2, 260}, Shape{8, 3000}}) {
    std::mt19937_64 rng(shape.values);
    auto random_sig = [&] {
      MinHashSignature s{};
      for (auto& byte : s) {
        byte = static_cast<std::uint8_t>(shape.values == 2 ? rng() % 4 == 0 : rng() % 8);
      }
      return s;
    };
    FeedbackIndex index;
    EXPECT_EQ(index.heap_bytes(), 0u);
    EXPECT_TRUE(index.candidates(random_sig()).empty());
    std::deque<FeedbackRecord> model;
    for (int i = 0; i < shape.inserts; ++i) {
      const FeedbackRecord r{random_sig(), i % 3 ? 1.0 : -1.0};
      index.insert(r);
      model.push_back(r);
      if (model.size() > FeedbackIndex::kCapacity) model.pop_front();
      ASSERT_EQ(index.size(), model.size());
      if (shape.values == 8 && i % 7 != 0) continue;
      const MinHashSignature q = random_sig();
      const MinHashSignature& old = model[rng() % model.size()].query_signature;
      for (const MinHashSignature* probe : {&q, &old, &r.query_signature}) {
        ASSERT_EQ(index.candidates(*probe), naive_candidates(model, *probe)) << "insert " << i;
      }
    }
    for (std::size_t p = 0; p < model.size(); ++p) {
      EXPECT_EQ(index[p].query_signature, model[p].query_signature);
      EXPECT_EQ(index[p].outcome, model[p].outcome);
    }
    EXPECT_LE(sizeof(FeedbackIndex) + index.heap_bytes(), 24u * 1024u);
  }
}

// Derived values need a record, and never travel with a move: the index may end up with
// another agent, whose capabilities differ.
TEST(FeedbackIndexTest, DerivedValuesNeedARecordAndNeverTravel) {
  FeedbackIndex index;
  EXPECT_EQ(index.derived(), nullptr);  // an agent without feedback stays one pointer
  index.insert({{}, 1.0});
  index.derived()->capability_text_signature = MinHashSignature{};
  index.derived()->capability_terms = std::vector<std::string>{"legal"};
  FeedbackIndex moved;
  moved = std::move(index);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_FALSE(moved.derived()->capability_text_signature.has_value());
  EXPECT_FALSE(moved.derived()->capability_terms.has_value());
}

void feed(CoOccurrenceExpander& e, int times, const Texts& q, const Texts& c) {
  for (int i = 0; i < times; ++i) e.record_feedback(q, c);
}

TEST(CoOccurrence, ExpansionStartsAtTheTenthFeedbackPerTermAndLoadsReplaceAll) {
  CoOccurrenceExpander e;
  feed(e, 9, {"translate"}, {"legal"});
  EXPECT_EQ(e.expand_query({"translate", "x"}), (Texts{"translate", "x"}));
  feed(e, 1, {"translate"}, {"legal"});
  EXPECT_EQ(e.expand_query({"translate", "x"}), (Texts{"translate", "x", "legal"}));
  // Each query term expands on its own; duplicates stay.
  feed(e, 2, {"law"}, {"legal"});
  EXPECT_EQ(e.expand_query({"law", "law", "unknown"}),
            (Texts{"law", "law", "unknown", "legal", "legal"}));
  Texts long_query, expected;  // past 32 terms repeats are found another way
  for (int i = 0; i < 40; ++i) long_query.push_back(i % 3 ? "law" : "translate");
  expected = long_query;
  expected.resize(80, "legal");
  EXPECT_EQ(e.expand_query(long_query), expected);
  // A load replaces everything; a pair listed twice keeps its last count.
  e.replace({{"a", "b", 5}, {"a", "c", 2}, {"a", "b", 7}}, 42);
  EXPECT_EQ(e.feedback_count(), 42u);
  EXPECT_EQ(e.pairs().size(), 2u);
  EXPECT_EQ(e.count("a", "b"), 7u);
  EXPECT_EQ(e.count("translate", "legal"), 0u);
  EXPECT_EQ(e.expand_query({"a"}), (Texts{"a", "b", "c"}));
  // A loaded count at the top saturates: wrapped to 0 it would switch expansion off.
  e.replace({{"a", "b", 10}}, std::numeric_limits<std::uint64_t>::max());
  feed(e, 1, {"a"}, {"b"});
  EXPECT_EQ(e.expand_query({"a"}), (Texts{"a", "b"}));
}

TEST(CoOccurrence, DistinctTermBoundAgreesWithANaiveCount) {
  // A kept pair counts occurrences of q times occurrences of c: repeated terms count
  // repeatedly. Small vocabularies make repeats common; some lists are empty.
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const std::size_t bound = round % 2 ? 50 : 1 + rng() % 8;
    Texts lists[2];
    std::map<std::string, std::uint32_t> kept[2];  // occurrences of the first `bound` distinct
    for (int side = 0; side < 2; ++side) {
      const std::size_t vocabulary = 1 + rng() % 70;
      for (std::size_t i = rng() % 120; i > 0; --i) {
        lists[side].push_back("t" + std::to_string(rng() % vocabulary));
        if (kept[side].count(lists[side].back()) || kept[side].size() < bound)
          ++kept[side][lists[side].back()];
      }
    }
    CoOccurrenceExpander e;
    e.record_feedback(lists[0], lists[1], bound);
    EXPECT_EQ(e.feedback_count(), 1u);  // every call counts, empty lists too
    ASSERT_EQ(e.size(), kept[0].size() * kept[1].size()) << round;
    for (const auto& [q, m] : kept[0]) {
      for (const auto& [c, n] : kept[1]) ASSERT_EQ(e.count(q, c), m * n) << round;
    }
  }
}

// A matrix held near its limit prunes after nearly every success; loads install counts the
// expander did not make itself, ones included. A term expands to its three strongest pairs,
// equal counts in the row's order, which pairs() exposes.
TEST(CoOccurrence, RepeatedPruningAgreesWithANaiveMatrix) {
  std::mt19937 rng(11);
  CoOccurrenceExpander e;
  std::map<std::pair<std::string, std::string>, std::uint64_t> naive;
  auto load = [&](bool demote) {
    std::vector<CoOccurrenceExpander::Pair> pairs;
    for (auto& [key, n] : naive) {
      n = demote && n == 2 ? 1 : n;
      pairs.push_back({key.first, key.second, static_cast<std::uint32_t>(n)});
    }
    e.replace(pairs, e.feedback_count());
  };
  for (int i = 0; i < 49'900; ++i)
    naive[{"b" + std::to_string(i % 97), std::to_string(i)}] = 3 + i % 5;
  load(false);
  int prunes = 0;
  auto draw = [&](char side, int vocabulary, int n) {
    Texts terms;
    for (int i = 0; i < n; ++i) terms.push_back(side + std::to_string(rng() % vocabulary));
    return terms;
  };
  for (int call = 0; call < 400; ++call) {
    if (call == 200) load(true);
    const Texts q = draw('q', 200, 1 + rng() % 8), c = draw('c', 200, 1 + rng() % 12);
    e.record_feedback(q, c);
    for (const auto& a : q)
      for (const auto& b : c) ++naive[{a, b}];
    prunes += naive.size() >= CoOccurrenceExpander::kMaxEntries;
    for (std::uint64_t t = 2; naive.size() >= CoOccurrenceExpander::kMaxEntries; ++t)
      std::erase_if(naive, [t](const auto& entry) { return entry.second < t; });
    ASSERT_EQ(e.size(), naive.size()) << call;
  }
  EXPECT_GT(prunes, 150);
  for (const auto& [key, n] : naive) ASSERT_EQ(e.count(key.first, key.second), n);
  std::map<std::string, std::vector<CoOccurrenceExpander::Pair>> rows;
  for (auto& p : e.pairs()) rows[p.query_term].push_back(p);
  for (auto& [term, row] : rows) {
    // Ties go by term, so that a loaded matrix expands as the one it was saved from.
    std::sort(row.begin(), row.end(), [](auto& a, auto& b) {
      return a.count != b.count ? a.count > b.count : a.capability_term < b.capability_term;
    });
    Texts expected{term};
    for (std::size_t i = 0; i < std::min<std::size_t>(3, row.size()); ++i)
      expected.push_back(row[i].capability_term);
    ASSERT_EQ(e.expand_query({term}), expected);
  }
  // All counts high: only the pass t = 31 removes the one new pair.
  Texts caps;
  for (int i = 0; i < 49999; ++i) caps.push_back("hi" + std::to_string(i));
  e.replace({}, 0);
  feed(e, 40, {"hi"}, caps);
  e.record_feedback(Texts(30, "low"), {"low0"});
  EXPECT_EQ(e.size(), 49999u);
  EXPECT_EQ(e.count("low", "low0"), 0u);
  EXPECT_EQ(e.count("hi", "hi0"), 40u);
}

std::map<std::string, double> scores_of(const Scorer& scorer, std::string_view query,
                                        bool capabilities_only = false) {
  std::map<std::string, double> out;
  ScoreList list;
  EXPECT_FALSE(scorer.score_into({query, 0.0, capabilities_only}, list));
  for (const auto& [name, sim] : list.pairs) out[std::string(name)] = sim;
  return out;
}

// Random learning and forgetting must leave a scorer scoring as a fresh one taught each
// agent's capabilities and the texts it still remembers: indexed with all of them together
// (`together`), or with its capabilities and then learning each text.
void check_against_fresh_teaching(const Make& make, bool together, double tolerance) {
  std::mt19937_64 rng(7);
  std::map<std::string, Texts> caps, held;
  std::unique_ptr<Scorer> learning = make();
  for (int a = 0; a < 6; ++a) {
    const std::string name = "agent" + std::to_string(a);
    caps[name] = {random_words(rng, 3), random_words(rng, 1 + a % 3)};
    learning->index_capabilities(name, caps[name]);
  }
  for (int step = 0; step < 400; ++step) {
    const std::string name = "agent" + std::to_string(rng() % 6);
    Texts& texts = held[name];
    if (!texts.empty() && rng() % 3 == 0) {
      const auto at = texts.begin() + static_cast<std::ptrdiff_t>(rng() % texts.size());
      ASSERT_TRUE(learning->forget(name, *at));
      texts.erase(at);
    } else {
      texts.push_back(random_words(rng, 1 + rng() % 5));
      ASSERT_TRUE(learning->learn(name, texts.back()));
    }
    if (step % 40 != 39) continue;
    std::unique_ptr<Scorer> fresh = make();
    for (const auto& [agent, own] : caps) {
      Texts all = own;
      all.insert(all.end(), held[agent].begin(), held[agent].end());
      fresh->index_capabilities(agent, together ? all : own);
      for (const std::string& t : together ? Texts{} : held[agent]) fresh->learn(agent, t);
    }
    for (int q = 0; q < 5; ++q) {
      const std::string query = random_words(rng, 3);
      const auto want = scores_of(*fresh, query);
      const auto got = scores_of(*learning, query);
      ASSERT_EQ(got.size(), want.size()) << query;
      for (const auto& [agent, sim] : want) EXPECT_NEAR(got.at(agent), sim, tolerance) << query;
    }
  }
  EXPECT_FALSE(learning->forget("agent0", "never learned words")) << "asks for re-indexing";
}

TEST(QueryMemoryScorers, LearnAndForgetMatchAFreshTeaching) {
  check_against_fresh_teaching([] { return std::make_unique<TfIdfScorer>(); }, true, 1e-12);
  check_against_fresh_teaching(kMinHash, false, 0.0);
  // Remembered texts count less than capabilities: the same text matches fully only as one.
  MinHashScorer scorer{LshConfig{}};
  scorer.index_capabilities("cap", Texts{"book a table for two"});
  scorer.index_capabilities("mem", Texts{"weather"});
  scorer.learn("mem", "book a table for two");
  const auto scores = scores_of(scorer, "book a table for two");
  EXPECT_EQ(scores.at("cap"), 1.0);
  EXPECT_EQ(scores.at("mem"), 40.0 / 64.0);
  // Signed as queries reach scorers (lower case, single spaces), forgotten as written.
  scorer.learn("mem", "WETTER IN\nM\xC3\x9CNCHEN");
  EXPECT_EQ(scores_of(scorer, "wetter in m\xC3\xBCnchen").at("mem"), 40.0 / 64.0);
  EXPECT_TRUE(scorer.forget("mem", "WETTER IN\nM\xC3\x9CNCHEN"));
}

TEST(QueryMemoryEngine, BoundRepeatsFailuresAndRegistration) {
  auto* scorer = new test_support::Reindexed;  // the engine must re-index it with every text
  auto net = LocalNetwork::with_scorer(std::unique_ptr<Scorer>(scorer));
  auto& seen = scorer->indexed;
  ASSERT_FALSE(net->register_agent("a", Texts{"cap"}, {}, {}));
  const std::uint32_t key = seen["a"].second;
  net->record_success("a", "q1");
  EXPECT_TRUE(net->remembered("a")->empty()) << "memory is off by default";
  net->set_learning(LearningSettings::recommended(2));
  EXPECT_FALSE(net->learning().query_expansion);
  for (const char* q : {"q1", "q2", "q1", "q3"}) net->record_success("a", std::string_view(q));
  EXPECT_EQ(*net->remembered("a"), (Texts{"q1", "q3"})) << "a repeat is newest; q2 evicted";
  EXPECT_EQ(seen["a"], std::make_pair(Texts{"cap", "q1", "q3"}, key));
  EXPECT_EQ(net->find("a")->capabilities, Texts{"cap"});
  EXPECT_EQ(safe_lock(net->cooccurrence_mutex(), "t")->feedback_count(), 1u) << "none since";
  net->record_failure("a", "q3");
  net->record_failure("a", "not remembered");
  EXPECT_EQ(seen["a"].first, (Texts{"cap", "q1"}));
  net->record_success("a", "q5");
  net->set_learning({1, true});  // a smaller bound keeps the newest
  net->record_success("a", std::nullopt);
  EXPECT_EQ(*net->remembered("a"), Texts{"q5"});
  net->record_success("a", "q4");
  EXPECT_EQ(*net->remembered("a"), Texts{"q4"});
  EXPECT_EQ(safe_lock(net->cooccurrence_mutex(), "t")->feedback_count(), 2u);
  ASSERT_FALSE(net->register_agent("a", Texts{"new"}, {}, {}));
  EXPECT_EQ(seen["a"].first, Texts{"new"}) << "re-registration starts with an empty memory";
  net->deregister("a");
  EXPECT_EQ(net->remembered("a"), nullptr);
}

TEST(QueryMemoryEngine, StateFilesKeepSettingsScorerAndTexts) {
  const std::string path = std::filesystem::temp_directory_path() /
                           ("kova_memory_" + std::to_string(getpid()) + ".json");
  auto net = LocalNetwork::with_scorer(std::make_unique<TfIdfScorer>());
  net->set_learning({3, true});
  ASSERT_FALSE(net->register_agent("a", Texts{"legal contract"}, {}, {}));
  ASSERT_FALSE(net->register_agent("b", Texts{"weather report"}, {}, {}));
  for (const char* q : {"translate a lease", "draft my will", "sign here"})
    net->record_success("a", std::string_view(q));
  ASSERT_FALSE(net->save(path));
  auto loaded = LocalNetwork::load(path).value();
  EXPECT_EQ(loaded->learning(), (LearningSettings{3, true}));
  EXPECT_EQ(*loaded->remembered("a"), *net->remembered("a"));
  EXPECT_EQ(loaded->scorer_adapter().scorer->settings_json(), R"({"kind":"tfidf"})");
  EXPECT_EQ(scores_of(*loaded->scorer_adapter().scorer, "will lease"),
            scores_of(*net->scorer_adapter().scorer, "will lease"));
  // Edited by hand: a repeat counts once, as the newest, and a smaller bound keeps the newest.
  std::string text;
  std::getline(std::ifstream(path), text, '\0');
  text.replace(text.find("\"query_memory\": 3"), 17, "\"query_memory\": 2");
  text.replace(text.find("\"sign here\""), 11, "\"sign here\", \"translate a lease\"");
  std::ofstream(path) << text;
  EXPECT_EQ(*LocalNetwork::load(path).value()->remembered("a"),
            (Texts{"sign here", "translate a lease"}));
  std::filesystem::remove(path);
}

TEST(NeighbourCache, CapabilitiesOnlyScoresIgnoreRememberedTexts) {
  auto remembering = kBm25(), plain = kBm25();
  std::mt19937_64 rng(3);
  for (int i = 0; i < 30; ++i) {
    const Texts caps = {random_words(rng, 3), random_words(rng, 2)};
    remembering->index_capabilities("a" + std::to_string(i), caps);
    plain->index_capabilities("a" + std::to_string(i), caps);
    for (int t = 0; t < 5; ++t) remembering->learn("a" + std::to_string(i), random_words(rng, 4));
  }
  for (int q = 0; q < 50; ++q) {
    const std::string text = random_words(rng, 3);
    EXPECT_EQ(scores_of(*remembering, text, true), scores_of(*plain, text, true)) << text;
  }
}

}  // namespace
}  // namespace kova
