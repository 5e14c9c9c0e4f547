#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "core/lsh.hpp"
#include "log/log.hpp"
#include "network/network.hpp"
#include "network/pipeline.hpp"
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
      EXPECT_EQ(scored.query, "Find Agents");
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
}

TEST(DiscoveryOperations, QueryOperationsScoreTheQueryAndUseItsPrimaryText) {
  Engine e({"a", "b"});
  e.scorer->answer("base", {{"a", 0.8}, {"b", 0.6}});
  e.scorer->answer("minus", {{"b", 0.5}});
  e.net->cooccurrence_mutex().unsafe_value().replace({{"base", "extra", 3}}, 10);
  e.net->find_mut("a")->feedback.insert({compute_signature("base", e.net->lsh_config()), 1.0});
  const auto text = e.net->discover_explained("BASE", nullptr);
  EXPECT_EQ(e.scorer->calls.back(), "base extra");  // text operations expand
  EXPECT_TRUE(text.empty());                        // "base extra" has no answer
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
  const auto events = [&] { return e.net->with_replay_log([](auto& log) { return log.size(); }); };
  const std::size_t before = events();
  (void)contexts(0);
  e.net->tick();
  EXPECT_EQ(contexts(1), (V{"1", "replay tick"}));
  EXPECT_EQ(events(), before + 1);
  (void)contexts(0);
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

}  // namespace
}  // namespace kova
