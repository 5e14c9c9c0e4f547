// Random sequences of engine calls against one network, with the default, the TF-IDF or a
// misbehaving scorer (failures, NaN and infinite scores, negatives, duplicates, names of
// agents that do not exist, reads of the network from inside a scoring call). After every
// step the registry matches a plain model and the counters and logs stay within bounds.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "network/network.hpp"
#include "scorer/tfidf.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::array kScores{0.0,  0.05, 0.5,  0.9,   1.0,   1.0000000000000002,
                             -0.5, kNaN, kInf, -kInf, 1e300, 5e-324};
constexpr std::array kNames{"alpha", "beta", "gamma", "delta", "", "a,b", "\xff\xfe", "zeta"};

class MoodyScorer final : public kova::Scorer {
 public:
  void index(std::string_view, const kova::AgentTexts&, std::uint32_t) override {}
  void remove_agent(std::string_view) override {}
  std::optional<std::string> score_into(const kova::ScoreRequest& request,
                                        kova::ScoreList& list) const override {
    const std::string_view query = request.text;
    if (network != nullptr) {
      // A read of the network from inside a call: shared access only.
      (void)network->agent_count();
      for (const std::string& name : network->agents()) (void)network->find(name);
    }
    if (fail) return "moody scorer failed on '" + std::string(query) + "'";
    for (const auto& [name, score] : plan) list.add_owned(name, score);
    return std::nullopt;
  }
  const kova::LocalNetwork* network = nullptr;
  bool fail = false;
  std::vector<std::pair<std::string, double>> plan;
};

std::string pick_name(kova::fuzz::Input& in) {
  if (in.boolean()) return kNames[in.in_range<std::size_t>(0, kNames.size() - 1)];
  return in.string(300);
}

std::vector<std::string> pick_capabilities(kova::fuzz::Input& in) {
  std::vector<std::string> caps;
  const auto n = in.in_range<int>(0, 3);
  for (int i = 0; i < n; ++i) caps.push_back(in.string(60));
  return caps;
}

}  // namespace

KOVA_FUZZ_TARGET(fuzz_engine_ops) {
  kova::fuzz::Input in(data, size);
  auto clock = std::make_shared<kova::ManualClock>();
  const int scorer_kind = in.in_range<int>(0, 2);
  MoodyScorer* moody = nullptr;
  std::unique_ptr<kova::LocalNetwork> net;
  if (scorer_kind == 0) {
    kova::LshConfig lsh;
    lsh.similarity_threshold =
        in.boolean() ? kScores[in.in_range<std::size_t>(0, kScores.size() - 1)] : 0.1;
    net = kova::LocalNetwork::with_config(lsh, in.in_range<std::size_t>(0, 8), clock);
  } else if (scorer_kind == 1) {
    net = kova::LocalNetwork::with_scorer(std::make_unique<kova::TfIdfScorer>(), clock);
  } else {
    auto scorer = std::make_unique<MoodyScorer>();
    moody = scorer.get();
    net = kova::LocalNetwork::with_scorer(std::move(scorer), clock);
    moody->network = net.get();
  }

  std::set<std::string> model;
  std::map<std::string, std::uint64_t> forwards;
  std::size_t replay_bound = 0;
  int steps = 0;
  while (in.remaining() > 0 && steps++ < 200) {
    if (moody != nullptr) {
      moody->fail = in.in_range<int>(0, 5) == 0;
      moody->plan.clear();
      const auto n = in.in_range<int>(0, 6);
      for (int i = 0; i < n; ++i) {
        moody->plan.emplace_back(pick_name(in),
                                 kScores[in.in_range<std::size_t>(0, kScores.size() - 1)]);
      }
    }
    const std::string name = pick_name(in);
    std::optional<std::string> query;
    if (in.boolean()) query = in.string(40);
    kova::FilterMap filters;
    const bool filtered = in.in_range<int>(0, 3) == 0;
    if (filtered) {
      filters.emplace("k", kova::FilterValue{kova::FilterValue::GreaterThan{
                               kScores[in.in_range<std::size_t>(0, 5)]}});
    }
    const kova::FilterMap* filter_ptr = filtered ? &filters : nullptr;

    switch (in.in_range<int>(0, 12)) {
      case 0:
      case 1: {
        const auto caps = pick_capabilities(in);
        kova::Metadata metadata;
        if (in.boolean()) metadata.emplace("k", in.string(8));
        std::optional<std::string> endpoint;
        if (in.boolean()) endpoint = in.string(20);
        const auto before = net->agents();
        if (net->register_agent(name, caps, endpoint, metadata)) {
          KOVA_FUZZ_CHECK(net->agents() == before);
        } else {
          model.insert(name);
          forwards[name] = 0;
        }
        break;
      }
      case 2:
        KOVA_FUZZ_CHECK(net->deregister(name) == (model.erase(name) == 1));
        forwards.erase(name);
        break;
      case 3:
      case 4: {
        const auto results = net->discover_filtered(query.value_or(name), filter_ptr);
        std::set<std::string> seen;
        for (const auto& r : results) {
          KOVA_FUZZ_CHECK(model.count(r.agent_name) == 1 && seen.insert(r.agent_name).second);
          KOVA_FUZZ_CHECK(kova::passes_filters(filter_ptr, r.metadata));
        }
        break;
      }
      case 5: {
        const auto results = net->discover_explained(query.value_or(name), filter_ptr);
        for (const auto& r : results) KOVA_FUZZ_CHECK(model.count(r.agent_name) == 1);
        break;
      }
      case 6: {
        const auto response =
            net->discover_with_confidence_filtered(query.value_or(name), filter_ptr);
        KOVA_FUZZ_CHECK(response.recommended_parallelism >= 1 || response.results.empty());
        for (const auto& r : response.results) KOVA_FUZZ_CHECK(model.count(r.agent_name) == 1);
        break;
      }
      case 7: {
        std::vector<kova::Query> parts;
        parts.push_back(kova::Query::text(name));
        if (query)
          parts.push_back(kova::Query::exclude(kova::Query::text(*query), kova::Query::text(name)));
        const kova::Query q =
            in.boolean() ? kova::Query::all(std::move(parts)) : kova::Query::any(std::move(parts));
        for (const auto& r : net->discover_query(q, filter_ptr))
          KOVA_FUZZ_CHECK(model.count(r.agent_name) == 1);
        (void)net->discover_query_explained(q, filter_ptr);
        (void)net->discover_query_with_confidence(q, filter_ptr);
        break;
      }
      case 8:
        if (in.boolean()) {
          net->record_success(name, query);
        } else {
          net->record_failure(name, query);
        }
        break;
      case 9:
        clock->advance(std::chrono::nanoseconds(in.in_range<std::int64_t>(0, 1ll << 40)));
        net->tick();
        break;
      case 10:
        replay_bound = in.in_range<std::size_t>(1, 40);
        net->enable_replay(replay_bound);
        break;
      case 11:
        if (in.boolean()) {
          net->clear_replay();
        } else {
          for (const auto& report :
               net->detect_drift(in.in_range<std::size_t>(0, 3),
                                 kScores[in.in_range<std::size_t>(0, kScores.size() - 1)])) {
            KOVA_FUZZ_CHECK(model.count(report.agent_name) == 1);
          }
        }
        break;
      default: {
        // Names that are not valid UTF-8 cannot be written; everything else must come back.
        static const kova::fuzz::ScratchFile scratch("ops");
        const std::string& path = scratch.path();
        if (net->save(path)) break;
        auto loaded = kova::LocalNetwork::load(path);
        KOVA_FUZZ_CHECK(loaded.has_value());
        KOVA_FUZZ_CHECK(loaded.value()->agents() == net->agents());
        break;
      }
    }

    KOVA_FUZZ_CHECK(net->agents() == std::vector<std::string>(model.begin(), model.end()));
    KOVA_FUZZ_CHECK(net->agent_count() == model.size());
    const double epsilon = net->exploration_epsilon();
    KOVA_FUZZ_CHECK(epsilon >= kova::LocalNetwork::kEpsilonFloor &&
                    epsilon <= kova::LocalNetwork::kEpsilonInitial);
    for (auto& [agent, count] : forwards) {
      const std::uint64_t now = net->find(agent)->forwards();
      KOVA_FUZZ_CHECK(now >= count);
      count = now;
    }
    if (replay_bound > 0) {
      const std::size_t events =
          net->with_replay_log([](const kova::ReplayLog& log) { return log.size(); });
      KOVA_FUZZ_CHECK(events <= replay_bound);
    }
  }
  return 0;
}
