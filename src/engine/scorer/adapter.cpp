#include "scorer/minhash.hpp"
#include "scorer/scorer.hpp"

namespace kova {

ScorerAdapter::ScorerAdapter(const LshConfig& config)
    : config(config), scorer(std::make_unique<MinHashScorer>(config)) {}

ScorerAdapter::ScorerAdapter(const LshConfig& config, std::unique_ptr<Scorer> scorer)
    : config(config), scorer(std::move(scorer)) {}

}  // namespace kova
