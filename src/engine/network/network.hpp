#pragma once
// The engine object: owns the agents, the scorer, the kernels, the replay log, the
// co-occurrence statistics and the fixed learning settings.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/clock.hpp"
#include "core/config.hpp"
#include "core/errors.hpp"
#include "core/kernels.hpp"
#include "core/result.hpp"
#include "core/string_hash.hpp"
#include "network/agent_record.hpp"
#include "network/cooccurrence.hpp"
#include "network/filter.hpp"
#include "network/pipeline.hpp"
#include "network/registry_cache.hpp"
#include "network/replay.hpp"
#include "network/results.hpp"
#include "network/safe_lock.hpp"
#include "query/query.hpp"
#include "scorer/scorer.hpp"

namespace kova {

// How feedback carrying a query teaches the engine beyond the agent's routing state.
struct LearningSettings {
  // Success query texts remembered per agent for the scorer to match; 0 keeps none.
  std::size_t query_memory = 0;
  // Whether queries are widened by capability words that co-occurred with their words in
  // earlier successes (and successes record such co-occurrences).
  bool query_expansion = true;

  // What a given memory bound recommends: expansion pulls words shared by every capability
  // into each query and undoes what remembered texts give, so it goes with the memory on.
  static LearningSettings recommended(std::size_t query_memory) {
    return {query_memory, query_memory == 0};
  }
  friend bool operator==(const LearningSettings&, const LearningSettings&) = default;
};

// A top-level member of a state file that the engine does not use itself: written after its
// own members on request and handed back by load, so that callers can keep a few values of
// their own (a replication position, say) in the same atomic file.
using ExtraMember = std::pair<std::string, std::variant<std::string, std::int64_t>>;
using ExtraMembers = std::vector<ExtraMember>;
// Whether `name` is one of the engine's own top-level members of a state file.
bool is_state_member(std::string_view name);

struct DriftReport {
  std::string agent_name;
  double alignment = 0.0;
  std::size_t sample_count = 0;
  bool drifted = false;
};

class LocalNetwork {
 public:
  // MinHash scorer over `lsh`; kernels with `max_disagreement_split`.
  static std::unique_ptr<LocalNetwork> with_config(
      const LshConfig& lsh, std::size_t max_disagreement_split,
      std::shared_ptr<const Clock> clock = system_clock());
  // The given scorer, default LshConfig, split 3.
  static std::unique_ptr<LocalNetwork> with_scorer(
      std::unique_ptr<Scorer> scorer, std::shared_ptr<const Clock> clock = system_clock());
  // with_config of the default DiscoveryConfig.
  static std::unique_ptr<LocalNetwork> create_default(
      std::shared_ptr<const Clock> clock = system_clock());

  LocalNetwork(const LocalNetwork&) = delete;
  LocalNetwork& operator=(const LocalNetwork&) = delete;
  ~LocalNetwork();

  // --- registry (exclusive access) ---
  // "register" in the host API; a C++ keyword here.
  std::optional<DiscoveryError> register_agent(std::string_view name,
                                               std::span<const std::string> capabilities,
                                               std::optional<std::string> endpoint,
                                               Metadata metadata);
  bool deregister(std::string_view name);
  std::vector<std::string> agents() const;
  std::size_t agent_count() const { return agents_.size(); }
  const AgentRecord* find(std::string_view name) const;
  const AgentTable& agent_table() const { return agents_; }

  // --- feedback (exclusive access) ---
  void record_success(std::string_view agent_name, std::optional<std::string_view> query);
  void record_failure(std::string_view agent_name, std::optional<std::string_view> query);
  void tick();
  double exploration_epsilon() const;

  // --- query memory (exclusive access) ---
  const LearningSettings& learning() const { return learning_; }
  // A smaller bound makes every agent forget its oldest texts beyond it at once.
  void set_learning(const LearningSettings& settings);
  // The texts `name` remembers, oldest first; nullptr when no such agent is registered.
  const std::vector<std::string>* remembered(std::string_view name) const;
  std::uint64_t feedback_epoch() const { return feedback_epoch_.load(); }

  // --- discovery (shared access) ---
  // `limit` bounds the results to the best that many (kAllResults keeps all; 0 is not a
  // limit callers pass): the first `limit` of the full ranking, drawn alike. Only the returned
  // results are copied and, for the plain text operation, recorded in the replay log.
  std::vector<DiscoveryResult> discover_filtered(std::string_view query, const FilterMap* filters,
                                                 std::size_t limit = kAllResults) const;
  std::vector<ExplainedResult> discover_explained(std::string_view query, const FilterMap* filters,
                                                  std::size_t limit = kAllResults) const;
  ConfidenceResponse discover_with_confidence_filtered(std::string_view query,
                                                       const FilterMap* filters,
                                                       std::size_t limit = kAllResults) const;
  std::vector<DiscoveryResult> discover_query(const Query& query, const FilterMap* filters,
                                              std::size_t limit = kAllResults) const;
  std::vector<ExplainedResult> discover_query_explained(const Query& query,
                                                        const FilterMap* filters,
                                                        std::size_t limit = kAllResults) const;
  ConfidenceResponse discover_query_with_confidence(const Query& query, const FilterMap* filters,
                                                    std::size_t limit = kAllResults) const;

  // --- analysis (shared access) ---
  std::vector<DriftReport> detect_drift(std::size_t min_samples, double threshold) const;

  // --- replay log ---
  template <class F>
  auto with_replay_log(F&& f) const {
    auto guard = safe_lock(replay_, "replay query");
    return f(static_cast<const ReplayLog&>(*guard));
  }
  template <class F>
  auto with_replay_log_mut(F&& f) {
    auto guard = safe_lock(replay_, "replay mut");
    return f(*guard);
  }
  // Starts a fresh, enabled log; the caller rejects a bound of 0.
  void enable_replay(std::size_t max_events);
  void clear_replay();

  // --- persistence ---
  // `extra` members go after the engine's own, in the order given; a name the engine uses
  // itself is refused (Serialization).
  std::optional<NetworkError> save(const std::string& path, const ExtraMembers& extra = {}) const;
  // The scorer is `scorer` when given; else the one the file's recorded settings rebuild
  // (an error of kind Scorer when they cannot be, as for a host scorer); else the default.
  static Result<std::unique_ptr<LocalNetwork>, NetworkError> load(
      const std::string& path, std::shared_ptr<const Clock> clock = system_clock(),
      std::unique_ptr<Scorer> scorer = nullptr);
  // The top-level members with a string or integer value that load met but does not use, in
  // file order; empty for a network not built by load.
  const ExtraMembers& loaded_extra() const { return loaded_extra_; }

  // --- components (engine-internal and tests) ---
  const ScorerAdapter& scorer_adapter() const { return scorer_; }
  const LshConfig& lsh_config() const { return scorer_.config; }
  const CircuitBreakerConfig& circuit_breaker() const { return circuit_breaker_; }
  const MycorrhizalPropagator& propagator() const { return propagator_; }
  const Clock& clock() const { return *clock_; }
  PoisonableMutex<SLNEnzyme>& enzyme_mutex() const { return enzyme_; }
  PoisonableMutex<ReplayLog>& replay_mutex() const { return replay_; }
  PoisonableMutex<CoOccurrenceExpander>& cooccurrence_mutex() const { return cooccurrence_; }
  // Mutable record access for load and tests (exclusive access). Queries see what is changed
  // through it before the next query; after a query, fetch the record again.
  AgentRecord* find_mut(std::string_view name);

  static constexpr double kEpsilonInitial = 0.8;
  static constexpr double kEpsilonFloor = 0.05;
  static constexpr double kEpsilonDecayRate = 0.99;

 private:
  LocalNetwork(const LshConfig& lsh, std::unique_ptr<Scorer> scorer,
               std::size_t max_disagreement_split, std::shared_ptr<const Clock> clock);
  // Appends `event` stamped with the clock's time, under the replay lock taken with `context`
  // (the label a poisoned-lock warning shows). A disabled log drops the event.
  void record_replay(EventKind event, std::string_view context = "replay record") const;

  // Ranks the registry with a composed query's scores under the kernels' lock, taken with
  // `lock_label` and held while `finish` runs; `brief` asks for the short form of results. A
  // query that fails to evaluate is reported (with the operation's `callsite` name) and
  // `finish` is not called.
  void run_query_pipeline(const Query& query, const FilterMap* filters, bool brief,
                          std::size_t limit, std::string_view lock_label, std::string_view callsite,
                          const std::function<void(PipelineOutput&&, SLNEnzyme&)>& finish) const;
  // A key for a new agent's scorer entry: a released one first, else the next unused.
  std::uint32_t take_key();
  // Query memory: `record` (registered as `name`) now also remembers `text`, or no longer.
  void remember(std::string_view name, AgentRecord& record, std::string_view text);
  void forget_remembered(std::string_view name, AgentRecord& record, std::string_view text);
  // A loaded agent's texts, oldest first, taught to the scorer within the engine's bound.
  void restore_remembered(std::string_view name, AgentRecord& record,
                          std::vector<std::string> texts);
  // The fallback for scorers that do not follow texts themselves: the agent indexed anew with
  // its capabilities followed by its remembered texts, under its own key.
  void reindex_remembered(std::string_view name, const AgentRecord& record);
  // Spreads a success of `source` (registered as `name`) to the agents whose capabilities
  // resemble its own; the rows of those that gained are marked changed.
  void propagate_success(std::string_view name, AgentRecord& source);
  // Asks the scorer for those agents: into `gains` with their similarities, and into `gained`
  // those it reported by key. False when the scorer failed.
  bool find_neighbours(std::string_view name, AgentRecord& source,
                       std::vector<std::pair<AgentRecord*, double>>& gains,
                       std::vector<const AgentRecord*>& gained);
  // What every query needs of the network besides its own options.
  PipelineContext pipeline_context(SLNEnzyme& enzyme, bool brief, std::size_t limit) const;

  ScorerAdapter scorer_;
  CircuitBreakerConfig circuit_breaker_{};
  AgentTable agents_;
  // Name lookups without walking the ordered table; keys view the table's own node keys,
  // which stay in place until their node is erased.
  std::unordered_map<std::string_view, AgentRecord*, StringHash, std::equal_to<>> index_;
  std::uint32_t next_key_ = 1;
  std::vector<std::uint32_t> free_keys_;
  // The registry as queries read it. Queries bring it up to date and count forwards through
  // it, which is why it is reachable from const queries.
  mutable RegistryCache cache_{agents_};
  mutable PoisonableMutex<SLNEnzyme> enzyme_;
  double epsilon_initial_ = kEpsilonInitial;
  double epsilon_floor_ = kEpsilonFloor;
  double epsilon_decay_rate_ = kEpsilonDecayRate;
  std::atomic<std::uint64_t> feedback_epoch_{0};
  mutable PoisonableMutex<ReplayLog> replay_;
  mutable PoisonableMutex<CoOccurrenceExpander> cooccurrence_;
  MycorrhizalPropagator propagator_{};
  LearningSettings learning_{};
  std::shared_ptr<const Clock> clock_;
  ExtraMembers loaded_extra_;
};

}  // namespace kova
