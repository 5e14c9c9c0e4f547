#pragma once
// The pluggable similarity component.

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/config.hpp"
#include "core/lsh.hpp"
#include "core/result.hpp"

namespace kova {

// (agent name, similarity) pairs. Names are views: into the scorer's own keys (valid until
// the scorer next changes) or into `storage` when the scorer had to make them.
struct ScoreList {
  std::vector<std::pair<std::string_view, double>> pairs;
  std::deque<std::string> storage;  // a deque keeps earlier strings in place as it grows
  // Either empty or one entry per pair: the key the engine gave the agent when indexing it
  // (0 for none), so that the engine can match results to its agents without comparing names.
  std::vector<std::uint32_t> keys;

  void add_owned(std::string name, double similarity) {
    storage.push_back(std::move(name));
    pairs.emplace_back(storage.back(), similarity);
  }
};

// A failure of `score` is a plain error text.
using ScoreResult = Result<ScoreList, std::string>;

class Scorer {
 public:
  virtual ~Scorer() = default;
  // Makes the entry for `agent_id` reflect exactly these capabilities (replacing any earlier).
  virtual void index_capabilities(std::string_view agent_id,
                                  std::span<const std::string> capabilities) = 0;
  // Forgets the agent; unknown names are ignored.
  virtual void remove_agent(std::string_view agent_id) = 0;
  // Each indexed agent at most once, in no particular order; absent means 0.
  virtual ScoreResult score(std::string_view query) const = 0;

  // Registration already computed one signature per capability with `config`; a scorer that
  // signs capabilities the same way may reuse them. `key` is the engine's non-zero handle for
  // the agent, which a scorer may report back in ScoreList::keys. The default ignores both.
  virtual void index_capabilities_presigned(std::string_view agent_id,
                                            std::span<const std::string> capabilities,
                                            std::span<const MinHashSignature> /*signatures*/,
                                            const LshConfig& /*config*/, std::uint32_t /*key*/) {
    index_capabilities(agent_id, capabilities);
  }

  // The settings this scorer signs texts with, when `score(text)` is exactly
  // `score_signature(compute_signature(text, *settings), 0.0)`; nullptr for scorers that work
  // otherwise. A caller holding a text's signature may then skip signing it again.
  virtual const LshConfig* signature_config() const { return nullptr; }
  // Only for scorers with a signature_config: `score` of the text so signed, except that agents
  // below `min_similarity` may be left out.
  virtual ScoreResult score_signature(const MinHashSignature& /*signature*/,
                                      double /*min_similarity*/) const {
    return ScoreResult::err("this scorer does not score signatures");
  }
  // `score_signature` with remembered texts left out, for propagation, which spreads a
  // success by what agents offer rather than by what they were asked (and so costs what it
  // did before the memory). Scorers keeping no texts apart from capabilities need not
  // override it.
  virtual ScoreResult score_capability_signature(const MinHashSignature& signature,
                                                 double min_similarity) const {
    return score_signature(signature, min_similarity);
  }
  // `score(query)`, except that agents below `min_similarity` may be left out: propagation
  // only acts on neighbours at or above its threshold.
  virtual ScoreResult score_at_least(std::string_view query, double /*min_similarity*/) const {
    return score(query);
  }
  // `score(query)` written straight into `by_key`: each agent indexed with a key below its
  // size gets its similarity at that key (0 where `score` would list nothing); other entries
  // are left alone. False, with nothing written, for scorers that cannot.
  virtual bool score_keyed(std::string_view /*query*/, std::span<double> /*by_key*/) const {
    return false;
  }

  // Query memory: an indexed agent now also remembers `text` (learn) or no longer does
  // (forget); its entry should then match its capabilities together with every text it
  // remembers. A scorer that follows such changes incrementally does so and returns true.
  // False means it does not: the engine then re-indexes the agent with its capabilities
  // followed by its remembered texts.
  virtual bool learn(std::string_view /*agent_id*/, std::string_view /*text*/) { return false; }
  virtual bool forget(std::string_view /*agent_id*/, std::string_view /*text*/) { return false; }

  // What a state file records so that a load can rebuild an empty scorer of the same kind and
  // settings: a JSON object with a "kind" member, as text. Empty for the default scorer and
  // for scorers a file cannot rebuild (host scorers).
  virtual std::string settings_json() const { return {}; }
};

// Pairs the active scorer with the signature parameters the engine uses for its own queries.
struct ScorerAdapter {
  LshConfig config;
  std::unique_ptr<Scorer> scorer;

  // A new, empty MinHashScorer (max_tokens 50) over `config`.
  explicit ScorerAdapter(const LshConfig& config);
  ScorerAdapter(const LshConfig& config, std::unique_ptr<Scorer> scorer);
};

}  // namespace kova
