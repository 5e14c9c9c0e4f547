#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "core/name_hash.hpp"
#include "log/log.hpp"
#include "network/network.hpp"
#include "test_support.hpp"
#include "text/unicode.hpp"

namespace kova {
namespace {

using test_support::ChosenScorer;
using test_support::poison;

struct Engine {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  ChosenScorer* scorer = new ChosenScorer;
  std::unique_ptr<LocalNetwork> net =
      LocalNetwork::with_scorer(std::unique_ptr<Scorer>(scorer), clock);
  explicit Engine(const std::vector<std::string>& names) {
    const std::vector<std::string> caps{"does things"};
    for (const auto& n : names)
      EXPECT_FALSE(net->register_agent(n, caps, "ep-" + n, {{"k", n}}).has_value());
  }
  std::uint64_t forwards(const std::string& name) const { return net->find(name)->forwards(); }
  std::uint64_t process_count() const { return net->enzyme_mutex().unsafe_value().process_count(); }
};

template <class Results>
std::vector<std::string> names_of(const Results& results) {
  std::vector<std::string> names;
  for (const auto& r : results) names.push_back(r.agent_name);
  return names;
}

TEST(DiscoveryReplay, OnlyThePlainTextOperationRecords) {
  Engine e({"a", "b", "c"});
  e.scorer->set_fallback({{"a", 0.9}, {"b", 0.5}, {"c", 0.05}});
  e.scorer->answer("nothing", {{"c", 0.05}});
  e.net->enable_replay(100);
  const auto results = e.net->discover_filtered("Find Agents", nullptr);
  ASSERT_EQ(names_of(results), (std::vector<std::string>{"a", "b"}));
  e.net->with_replay_log([&](const ReplayLog& log) {
    const auto& events = log.events();
    ASSERT_EQ(events.size(), 3u);
    const auto& submitted = std::get<EventKind::QuerySubmitted>(events[0].event.value).query;
    EXPECT_EQ(submitted, "Find Agents");
    for (std::size_t i = 0; i < 2; ++i) {
      const auto& scored = std::get<EventKind::AgentScored>(events[i + 1].event.value);
      EXPECT_EQ(&scored.query.str(), &submitted.str());  // one copy of the text for the discovery
      EXPECT_EQ(scored.agent_name, results[i].agent_name);
      EXPECT_EQ(scored.raw_similarity, results[i].similarity);
      EXPECT_EQ(scored.final_score, results[i].score);
      EXPECT_EQ(scored.feedback_factor, 0.0);
      EXPECT_GT(scored.enzyme_score, 0.0);
    }
  });
  e.net->clear_replay();
  EXPECT_TRUE(e.net->discover_filtered("nothing", nullptr).empty());
  EXPECT_EQ(e.net->with_replay_log([](const ReplayLog& log) { return log.size(); }), 1u);
  e.net->clear_replay();
  e.net->discover_explained("Find Agents", nullptr);
  e.net->discover_with_confidence_filtered("Find Agents", nullptr);
  e.net->discover_query(Query::text("x"), nullptr);
  e.net->discover_query_explained(Query::text("x"), nullptr);
  e.net->discover_query_with_confidence(Query::text("x"), nullptr);
  EXPECT_EQ(e.net->with_replay_log([](const ReplayLog& log) { return log.size(); }), 0u);
  e.net->discover_filtered("Find Agents", nullptr);
  e.net->enable_replay(10);  // a second enable starts afresh
  e.net->with_replay_log([](const ReplayLog& log) {
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(log.max_events(), 10u);
  });
}

TEST(DiscoveryOperations, QueryOperationsScoreTheQueryAndUseItsPrimaryText) {
  Engine e({"a", "b"});
  e.scorer->answer("base", {{"a", 0.8}, {"b", 0.6}});
  e.scorer->answer("minus", {{"b", 0.5}});
  e.net->cooccurrence_mutex().unsafe_value().replace({{"base", "extra", 3}}, 10);
  e.net->find_mut("a")->feedback.insert({compute_signature("base", e.net->lsh_config()), 1.0});
  e.net->discover_explained("BASE", nullptr);
  EXPECT_EQ(e.scorer->calls.back(), "base extra");  // text operations expand
  const auto results = e.net->discover_query_explained(
      Query::exclude(Query::text("base"), Query::text("minus")), nullptr);
  EXPECT_EQ(e.scorer->calls, (std::vector<std::string>{"base extra", "base", "minus"}));
  ASSERT_EQ(names_of(results), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(results[0].feedback_factor, 1.0);  // looked up under the primary text
  EXPECT_EQ(results[1].raw_similarity, 0.3);
  // No primary text: the pipeline still runs, over the empty text.
  const std::uint64_t runs = e.process_count();
  EXPECT_TRUE(e.net->discover_query(Query::all({}), nullptr).empty());
  EXPECT_EQ(e.process_count(), runs + 1);
}

// A failing text discovery has no viable agents; a failing composed query yields the empty
// outcome without drawing or routing, and each says why in the log.
TEST(DiscoveryOperations, ConfidenceResponsesAndFailingQueries) {
  Engine e({"a", "b"});
  e.scorer->answer("good", {{"a", 0.9}, {"b", 0.2}});
  e.scorer->answer("weak", {{"a", 0.06}, {"b", 0.05}, {"ghost", 0.08}});
  e.scorer->fail_on("bad");
  const Query failing = Query::all({Query::text("good"), Query::text("bad"), Query::text("never")});
  auto sink = std::make_shared<log::CapturingSink>();
  log::ScopedSink scoped(sink);
  const std::uint64_t draws = TIE_BREAK_COUNTER.load();
  EXPECT_TRUE(e.net->discover_query(failing, nullptr).empty());
  EXPECT_TRUE(e.net->discover_query_explained(failing, nullptr).empty());
  ConfidenceResponse r = e.net->discover_query_with_confidence(failing, nullptr);
  EXPECT_TRUE(r.results.empty());
  EXPECT_FALSE(r.best_below_threshold.has_value());
  EXPECT_FALSE(r.confidence.has_value());
  EXPECT_EQ(r.recommended_parallelism, 1u);
  EXPECT_EQ(e.forwards("a"), 0u);
  EXPECT_EQ(e.process_count(), 0u);
  EXPECT_EQ(TIE_BREAK_COUNTER.load(), draws);
  EXPECT_EQ(std::count(e.scorer->calls.begin(), e.scorer->calls.end(), "never"), 0);
  const auto events = sink->events_with("Query evaluation failed");
  ASSERT_EQ(events.size(), 3u);
  for (const auto& event : events) {
    EXPECT_EQ(event.level, log::Level::Error);
    EXPECT_EQ(event.target, "kova_discovery_native::network");
    EXPECT_EQ(*event.field("error"), "no answer for bad");
  }
  EXPECT_EQ(events[0].callsite, "event src/network/mod.rs:442");
  EXPECT_EQ(events[1].callsite, "event src/network/mod.rs:469");
  EXPECT_EQ(events[2].callsite, "event src/network/mod.rs:496");
  r = e.net->discover_with_confidence_filtered("bad", nullptr);
  EXPECT_EQ(r.confidence.value().kind, DiscoveryConfidence::Kind::NoViableAgents);
  EXPECT_EQ(r.recommended_parallelism, 0u);
  EXPECT_TRUE(r.results.empty());
  // Fresh agents: all four kernels favour a.
  r = e.net->discover_with_confidence_filtered("good", nullptr);
  EXPECT_EQ(r.confidence.value().kind, DiscoveryConfidence::Kind::Unanimous);
  EXPECT_EQ(r.recommended_parallelism, 1u);
  EXPECT_EQ(names_of(r.results), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(r.best_below_threshold.has_value());
  // a has a forward now, so load balancing prefers b: 3-1.
  r = e.net->discover_query_with_confidence(Query::text("weak"), nullptr);
  EXPECT_EQ(r.confidence.value().kind, DiscoveryConfidence::Kind::Majority);
  EXPECT_EQ(r.confidence->dissenting_kernel, KernelType::LoadBalancing);
  EXPECT_TRUE(r.results.empty());
  EXPECT_EQ(r.best_below_threshold.value().first, "ghost");
}

TEST(DiscoveryLocks, EachOperationTakesItsLocksInOrderAndSurvivesPoison) {
  Engine e({"a"});
  e.scorer->set_fallback({{"a", 0.9}});
  e.net->enable_replay(10);
  poison(e.net->replay_mutex());
  poison(e.net->cooccurrence_mutex());
  poison(e.net->enzyme_mutex());
  auto sink = std::make_shared<log::CapturingSink>();
  log::ScopedSink scoped(sink);
  using V = std::vector<std::string>;
  const auto contexts = [&](std::size_t results) {
    V out{std::to_string(results)};
    for (const auto& ev : sink->events_with("Mutex poisoned, recovering inner value"))
      out.push_back(*ev.field("context"));
    sink->entries.clear();
    return out;
  };
  const Query q = Query::text("q");
  EXPECT_EQ(contexts(e.net->discover_filtered("q", nullptr).size()),
            (V{"1", "replay submit", "cooccurrence", "enzyme", "replay discover"}));
  EXPECT_EQ(contexts(e.net->discover_explained("q", nullptr).size()),
            (V{"1", "cooccurrence", "enzyme"}));
  EXPECT_EQ(contexts(e.net->discover_with_confidence_filtered("q", nullptr).results.size()),
            (V{"1", "cooccurrence", "enzyme discover"}));
  EXPECT_EQ(contexts(e.net->discover_query(q, nullptr).size()), (V{"1", "enzyme"}));
  EXPECT_EQ(contexts(e.net->discover_query_explained(q, nullptr).size()), (V{"1", "enzyme"}));
  EXPECT_EQ(contexts(e.net->discover_query_with_confidence(q, nullptr).results.size()),
            (V{"1", "enzyme discover"}));
  e.net->tick();
  EXPECT_EQ(contexts(1), (V{"1", "replay tick"}));
  const std::string path = std::filesystem::temp_directory_path() /
                           ("kova_locks_" + std::to_string(::getpid()) + ".json");
  ASSERT_FALSE(e.net->save(path));
  std::filesystem::remove(path);
  EXPECT_EQ(contexts(1), (V{"1", "cooccurrence save"}));
}

// Queries read a copy of each agent's routing state kept beside the registry. Whatever
// changes the registry or a record between queries, the kernels must see the records as
// they are: here against the kernels run straight over the records.
TEST(DiscoveryRegistryOrder, QueriesSeeEveryChangeBetweenThem) {
  auto clock = std::make_shared<ManualClock>();
  auto net = LocalNetwork::create_default(clock);
  const char* words[] = {"translate", "legal", "contracts", "summarise", "reports", "invoices"};
  std::mt19937_64 rng(7);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const auto name = [&] { return "agent-" + std::to_string(pick(12)); };
  const std::string query = "translate legal contracts";
  const auto maybe_query = [&] { return pick(2) ? std::optional(query) : std::nullopt; };
  for (int step = 0; step < 300; ++step) {
    const std::size_t op = pick(8);  // 7: queries alone, whose forwards change between them
    if (op < 2) {
      const std::string cap =
          std::string(words[pick(6)]) + " " + words[pick(6)] + " " + words[pick(6)];
      ASSERT_FALSE(net->register_agent(name(), std::vector{cap}, "ep", {}).has_value());
    } else if (op == 2) {
      net->deregister(name());
    } else if (op == 3) {
      net->record_success(name(), maybe_query());
    } else if (op == 4) {
      const std::string n = name();
      for (int i = 0; i < 5; ++i) net->record_failure(n, maybe_query());
    } else if (op == 5) {
      clock->advance(std::chrono::seconds(40));
      net->tick();
    } else if (AgentRecord* r = op == 6 ? net->find_mut(name()) : nullptr) {
      r->sigma += 0.5;
    }
    // The expected enzyme scores, from the records before the query counts forwards; the
    // engine scores the query with the terms feedback taught it to add.
    std::string expanded;
    for (const std::string& term :
         net->cooccurrence_mutex().unsafe_value().expand_query(text::split_whitespace_lower(query)))
      expanded += (expanded.empty() ? "" : " ") + term;
    const ScoreResult scored = net->scorer_adapter().scorer->score(expanded);
    ASSERT_TRUE(scored);
    std::map<std::string, double> similarity;
    for (const auto& [agent, sim] : scored.value().pairs) similarity[std::string(agent)] = sim;
    std::vector<KernelInput> eligible;
    std::vector<std::string> names;
    std::vector<std::uint32_t> every;
    for (const auto& [agent, r] : net->agent_table()) {
      if (r.circuit.kind == CircuitState::Kind::Open) continue;
      every.push_back(static_cast<std::uint32_t>(eligible.size()));
      eligible.push_back(
          {similarity[agent], r.diameter, r.tau, r.sigma, r.forwards(), r.last_activity});
      names.push_back(agent);
    }
    const KernelEvaluation expected = net->enzyme_mutex().unsafe_value().evaluate_selected(
        eligible, [](std::size_t) { return NameHash{}; }, every, clock->monotonic_now());
    for (const ExplainedResult& r : net->discover_explained(query, nullptr)) {
      SCOPED_TRACE(r.agent_name + " at step " + std::to_string(step));
      const auto at = std::find(names.begin(), names.end(), r.agent_name);
      ASSERT_NE(at, names.end());
      EXPECT_EQ(r.enzyme_score, expected.scores[static_cast<std::size_t>(at - names.begin())]);
      // Every feedback record was for this very query, so each weighs fully.
      const FeedbackIndex& feedback = net->find(r.agent_name)->feedback;
      double weighted = 0.0;
      for (std::size_t i = 0; i < feedback.size(); ++i) weighted += feedback[i].outcome;
      EXPECT_DOUBLE_EQ(r.feedback_factor,
                       feedback.empty() ? 0.0 : weighted / static_cast<double>(feedback.size()));
    }
  }
}

std::pair<double, double> scores_of(const DiscoveryResult& r) {
  return {r.score, r.similarity};
}
std::pair<double, double> scores_of(const ExplainedResult& r) {
  return {r.final_score, r.raw_similarity};
}

// A limited call returns exactly the start of what the same call without a limit returns
// from the same state and the same tie-break counter, in all six operations, and the short
// and explained forms rank and score alike; votes, forwards, confidence and the draws taken
// stay those of the whole ranking. Similarities cluster on a few levels so that exact ties,
// overlapping bands and exploration all come up.
TEST(DiscoveryLimit, LimitedCallsAreThePrefixOfTheFullRanking) {
  using Ranked = std::vector<std::tuple<std::string, std::string, std::pair<double, double>>>;
  struct Seen {  // what one call returned, in comparable form
    Ranked ranked;
    std::vector<std::string> confidence;  // kind, parallelism, alternatives, best below
  };
  const auto seen = [](const auto& results) {
    Seen s;
    for (const auto& r : results)
      s.ranked.emplace_back(r.agent_name, r.endpoint.value() + r.metadata.at("tier"), scores_of(r));
    return s;
  };
  const auto seen_response = [&](const ConfidenceResponse& r) {
    Seen s = seen(r.results);
    s.confidence = {r.confidence ? r.confidence->text() : "-",
                    std::to_string(r.recommended_parallelism),
                    r.best_below_threshold ? r.best_below_threshold->first : "-"};
    if (r.confidence) {
      for (const auto& a : r.confidence->alternative_agents) s.confidence.push_back(a);
    }
    return s;
  };
  const Query composed = Query::any({Query::text("q"), Query::text("r")});
  const FilterMap tiers{{"tier", FilterValue{FilterValue::OneOf{{"0", "1"}}}}};
  const std::function<Seen(LocalNetwork&, const FilterMap*, std::size_t)> operations[] = {
      [&](auto& n, auto f, auto l) { return seen(n.discover_filtered("q", f, l)); },
      [&](auto& n, auto f, auto l) { return seen(n.discover_explained("q", f, l)); },
      [&](auto& n, auto f, auto l) {
        return seen_response(n.discover_with_confidence_filtered("q", f, l));
      },
      [&](auto& n, auto f, auto l) { return seen(n.discover_query(composed, f, l)); },
      [&](auto& n, auto f, auto l) { return seen(n.discover_query_explained(composed, f, l)); },
      [&](auto& n, auto f, auto l) {
        return seen_response(n.discover_query_with_confidence(composed, f, l));
      },
  };
  std::mt19937_64 rng(20240519);
  const double levels[] = {0.05, 0.3, 0.5, 0.50004, 0.52, 0.6, 0.6, 0.9};
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t n = 1 + rng() % 120;
    std::vector<std::string> names;
    ChosenScorer::Pairs sims;
    for (std::size_t i = 0; i < n; ++i) {
      names.push_back("a" + std::to_string(1000 + i));
      const double jitter = rng() % 4 == 0 ? 1e-6 * static_cast<double>(rng() % 50) : 0.0;
      sims.emplace_back(names.back(), levels[rng() % 8] + jitter);
    }
    Engine full(names), limited(names);
    const std::size_t feedback = rng() % 300;  // exploration from 0.8 down to its floor
    for (Engine* e : {&full, &limited}) {
      e->scorer->set_fallback(sims);
      for (const auto& name : names)
        e->net->find_mut(name)->metadata = Metadata{{"tier", std::to_string(name[4] % 3)}};
      for (std::size_t f = 0; f < feedback; ++f)
        e->net->record_success(names[f % n], std::optional<std::string_view>("q"));
    }
    for (int round = 0; round < 6; ++round) {
      const std::size_t op = rng() % 6;
      // The other form of the same operation: short for explained and back.
      const std::size_t other = op % 3 == 2 || rng() % 2 ? op : op ^ (op < 2 ? 1 : 7);
      const std::size_t limit = 1 + rng() % (n + 2);
      const FilterMap* filters = rng() % 3 == 0 ? &tiers : nullptr;
      const std::uint64_t start = rng();
      TIE_BREAK_COUNTER.store(start);
      Seen all = operations[op](*full.net, filters, kAllResults);
      const std::uint64_t drawn = TIE_BREAK_COUNTER.load();
      TIE_BREAK_COUNTER.store(start);
      const Seen some = operations[other](*limited.net, filters, limit);
      EXPECT_EQ(TIE_BREAK_COUNTER.load(), drawn);
      all.ranked.resize(std::min(limit, all.ranked.size()));
      ASSERT_EQ(some.ranked, all.ranked) << "trial " << trial << ", round " << round;
      EXPECT_EQ(some.confidence, all.confidence);
      for (const auto& name : names) ASSERT_EQ(full.forwards(name), limited.forwards(name));
    }
  }
}

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
  const auto expect_fresh = [&](const AgentRecord& r, std::uint64_t capabilities) {
    EXPECT_EQ(std::tuple(r.diameter, r.tau, r.consecutive_pulse_timeouts, r.forwards(),
                         r.circuit.kind, r.feedback.size(), r.last_activity, r.capability_count),
              std::tuple(1.0, 0.01, std::uint8_t{0}, std::uint64_t{0}, CircuitState::Kind::Closed,
                         std::size_t{0}, f.clock->monotonic_now(), capabilities));
  };
  const Caps caps{"translate legal documents", "summarise contracts"};
  ASSERT_FALSE(f.reg("lawyer", caps, "http://x", Metadata{{"protocol", "mcp"}}));
  AgentRecord* rec = f.net->find_mut("lawyer");
  expect_fresh(*rec, 2);
  EXPECT_EQ(rec->capabilities, caps);
  EXPECT_EQ(rec->address, "local://lawyer");
  EXPECT_EQ(rec->name_hash, compute_name_hash("lawyer"));
  EXPECT_EQ(rec->endpoint, "http://x");
  EXPECT_EQ(rec->metadata, (Metadata{{"protocol", "mcp"}}));
  EXPECT_EQ(f.net->find("Lawyer"), nullptr);
  // The scorer receives the very signatures the merged one is built from.
  ASSERT_EQ(f.scorer_log->calls, (std::vector<std::string>{"presigned:lawyer:2:1"}));
  EXPECT_EQ(f.scorer_log->last_signatures, (std::vector{compute_signature(caps[0], LshConfig{}),
                                                        compute_signature(caps[1], LshConfig{})}));
  EXPECT_EQ(rec->capability_signature, signature_union(f.scorer_log->last_signatures));
  std::tie(rec->diameter, rec->tau, rec->consecutive_pulse_timeouts, rec->forwards_count) =
      std::make_tuple(0.3, 0.9, std::uint8_t{7}, std::uint64_t{11});
  rec->circuit = {CircuitState::Kind::Open, f.clock->monotonic_now()};
  rec->feedback.insert(FeedbackRecord{{}, 1.0});
  f.clock->advance(std::chrono::seconds(5));
  ASSERT_FALSE(f.reg("lawyer", {"second"}));
  expect_fresh(*f.net->find("lawyer"), 1);
  EXPECT_EQ(f.net->find("lawyer")->endpoint, std::nullopt);
  EXPECT_TRUE(f.net->find("lawyer")->metadata.empty());
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
  poison(m);
  EXPECT_TRUE(m.poisoned());
  EXPECT_EQ(*safe_lock(m, "after"), std::vector<int>{0});  // the value is kept as left
  const auto warnings = sink->events_with("Mutex poisoned, recovering inner value");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].target, "kova_discovery_native::network");
}

// Records q<from> .. q<to - 1> and returns the query texts held afterwards, oldest first.
std::vector<std::string> record(ReplayLog& log, int from, int to) {
  for (int i = from; i < to; ++i)
    log.record({EventKind::QuerySubmitted{"q" + std::to_string(i)}}, MonoTime{i});
  std::vector<std::string> out;
  for (const auto& entry : log.events()) out.push_back(std::get<0>(entry.event.value).query);
  return out;
}

TEST(ReplayLogTest, EvictionHalvesAtTheBoundAndTinyBoundsKeepTheNewest) {
  ReplayLog log(4);
  EXPECT_EQ(record(log, 0, 4).size(), 4u);
  EXPECT_EQ(record(log, 4, 5), (Caps{"q2", "q3", "q4"}));
  EXPECT_EQ(record(log, 5, 7), (Caps{"q4", "q5", "q6"}));
  EXPECT_EQ(log.events().back().recorded_at, MonoTime{6});
  log.clear();
  EXPECT_EQ(log.max_events(), 4u);
  EXPECT_EQ(record(log, 0, 1), Caps{"q0"});
  ReplayLog disabled, zero(0), one(1), two(2);
  EXPECT_TRUE(record(disabled, 0, 5).empty());
  EXPECT_EQ(record(zero, 0, 3), (Caps{"q2"}));
  EXPECT_EQ(record(one, 0, 3), (Caps{"q2"}));
  EXPECT_EQ(record(two, 0, 5), (Caps{"q3", "q4"}));
}

}  // namespace
}  // namespace kova
