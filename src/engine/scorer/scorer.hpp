#pragma once
// The pluggable similarity component.
//
// A scorer implements three operations: `index` an agent's texts under the engine's key for
// it, `remove_agent`, and `score_into`, which reports the agents a text matches. Reports go
// by key, so that the engine places similarities without hashing or comparing names; a
// scorer that knows no keys (a host object) reports by name. `learn`, `forget` and
// `settings_json` are the seam for query memory and state files; their defaults suit a
// scorer that keeps neither.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/config.hpp"
#include "core/lsh.hpp"
#include "core/result.hpp"

namespace kova {

// An agent's texts as the engine hands them to a scorer: its capabilities, followed by the
// texts it remembers when the scorer does not follow those itself. Registration has already
// signed each capability for the agent's record; a scorer signing texts the same way takes
// those signatures instead of signing again, which is most of what registration costs.
struct AgentTexts {
  std::span<const std::string> texts;
  // Empty, or one per text, made with `*signed_with`.
  std::span<const MinHashSignature> signatures = {};
  const LshConfig* signed_with = nullptr;

  AgentTexts(std::span<const std::string> texts,  // NOLINT(google-explicit-constructor)
             std::span<const MinHashSignature> signatures = {},
             const LshConfig* signed_with = nullptr)
      : texts(texts), signatures(signatures), signed_with(signed_with) {}
  AgentTexts(const std::vector<std::string>& texts)  // NOLINT(google-explicit-constructor)
      : texts(texts) {}

  // The signature of texts[i] under `config`: the one registration made when it made it alike.
  MinHashSignature signature(std::size_t i, const LshConfig& config) const;
};

// What a scorer is asked about one text. Beyond the text, the fields are hints that a scorer
// may use to do less and may ignore.
struct ScoreRequest {
  std::string_view text;
  // Agents below this similarity may be left out: the caller ignores them.
  double min_similarity = 0.0;
  // Propagation spreads a success by what agents offer rather than by what they were asked:
  // a scorer keeping remembered texts apart from capabilities may leave them out.
  bool capabilities_only = false;
  // Where the caller keeps the text's signature between requests for the same text (an
  // agent's capabilities, asked about on each of its successes). It belongs to the one
  // scorer the caller asks, which fills it with its own settings on first use.
  std::optional<MinHashSignature>* signature_cache = nullptr;

  // The text's signature under `config`, from the cache when the caller keeps one.
  MinHashSignature signature(const LshConfig& config) const;
};

// One text's similarities as a scorer reports them: each agent it matches at most once,
// agents it does not report counting as 0. The owner may lend a dense array by key: agents
// reported with a key inside it are written there (the owner zeroes it beforehand) and not
// listed; everything else is listed in report order. Listed names are views: into the
// scorer's own storage (valid until the scorer next changes) or into `storage`.
struct ScoreList {
  ScoreList() = default;
  explicit ScoreList(std::span<double> by_key) : by_key(by_key) {}

  // An agent indexed as `name` with `key` (0 when it was given none).
  void add(std::uint32_t key, std::string_view name, double similarity) {
    if (key != 0 && key < by_key.size()) {
      by_key[key] = similarity;
      wrote_by_key = true;
      return;
    }
    pairs.emplace_back(name, similarity);
    keys.push_back(key);
  }
  // Room for `n` more reports, which go to the listing unless a dense array is lent.
  void reserve(std::size_t n) {
    if (!by_key.empty()) return;
    pairs.reserve(pairs.size() + n);
    keys.reserve(keys.size() + n);
  }
  // A name the scorer made itself: kept here. A host's names may repeat or name agents that
  // are not registered; of a repeated name the later report counts.
  void add_owned(std::string name, double similarity) {
    storage.push_back(std::move(name));
    pairs.emplace_back(storage.back(), similarity);
    keys.push_back(0);
    may_repeat = true;
  }

  std::vector<std::pair<std::string_view, double>> pairs;
  std::vector<std::uint32_t> keys;  // one per pair: the agent's key, 0 for none
  std::deque<std::string> storage;  // a deque keeps earlier strings in place as it grows
  std::span<double> by_key;
  bool wrote_by_key = false;  // some report went to `by_key`
  bool may_repeat = false;    // some name may be listed twice
};

// A failure of `score` is a plain error text.
using ScoreResult = Result<ScoreList, std::string>;

class Scorer {
 public:
  virtual ~Scorer() = default;

  // Makes the entry for `agent_id` reflect exactly these texts, replacing any earlier one.
  // `key` is the engine's non-zero handle for the agent (0 when it has none), which the
  // scorer reports the agent by.
  virtual void index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) = 0;
  // Forgets the agent; unknown names are ignored.
  virtual void remove_agent(std::string_view agent_id) = 0;
  // Reports every indexed agent that `request.text` matches into `out`, in no particular
  // order; an error text when it cannot score (the caller then discards what was reported).
  virtual std::optional<std::string> score_into(const ScoreRequest& request,
                                                ScoreList& out) const = 0;

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
  // While this returns the same value, a `capabilities_only` request about the same text
  // reports the same similarities, so the caller may keep what it was told. Each change of
  // what such requests see moves it to a value no scorer has returned before (see
  // `fresh_capability_epoch`). nullopt, the default, promises nothing.
  virtual std::optional<std::uint64_t> capability_epoch() const { return std::nullopt; }

  // For callers outside the engine: `index` without a key, and `score_into` a listing.
  void index_capabilities(std::string_view agent_id, std::span<const std::string> capabilities) {
    index(agent_id, capabilities, 0);
  }
  ScoreResult score(std::string_view text) const;
};

// A value never handed out before in this process: scorers share one sequence, so that an
// epoch kept from a scorer since replaced can never match its successor's.
std::uint64_t fresh_capability_epoch();

// Pairs the active scorer with the signature parameters the engine uses for its own queries.
struct ScorerAdapter {
  LshConfig config;
  std::unique_ptr<Scorer> scorer;

  // A new, empty MinHashScorer (max_tokens 50) over `config`.
  explicit ScorerAdapter(const LshConfig& config);
  ScorerAdapter(const LshConfig& config, std::unique_ptr<Scorer> scorer);
};

}  // namespace kova
