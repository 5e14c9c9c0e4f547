// TfIdfScorer::score over 10,000 agents with 3 capabilities of 10 words, 6-word queries.
// Prints, for several vocabularies, the time of the first query after indexing and the median
// time per query warm (norms cached) and cold (right after one re-registration, which makes
// every cached norm stale).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "scorer/tfidf.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAgents = 10'000;
constexpr int kCapabilities = 3;
constexpr int kWordsPerCapability = 10;
constexpr int kQueryWords = 6;
constexpr int kQueries = 200;

std::string word(std::size_t i) {
  std::string w = "w";
  do {
    w += static_cast<char>('a' + i % 26);
    i /= 26;
  } while (i > 0);
  return w;
}

// Draws word indices; Zipf with exponent 1 when `zipf`, else uniform.
class WordSource {
 public:
  WordSource(std::size_t vocabulary, bool zipf) : uniform_(0, vocabulary - 1) {
    if (zipf) {
      std::vector<double> weights(vocabulary);
      for (std::size_t i = 0; i < vocabulary; ++i) weights[i] = 1.0 / static_cast<double>(i + 1);
      zipf_.emplace(weights.begin(), weights.end());
    }
  }
  std::size_t operator()(std::mt19937_64& rng) { return zipf_ ? (*zipf_)(rng) : uniform_(rng); }

 private:
  std::uniform_int_distribution<std::size_t> uniform_;
  std::optional<std::discrete_distribution<std::size_t>> zipf_;
};

std::string text_of(WordSource& words, std::mt19937_64& rng, int count, const char* extra) {
  std::string text = extra;
  for (int i = 0; i < count; ++i) {
    if (!text.empty()) text += ' ';
    text += word(words(rng));
  }
  return text;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Row {
  const char* name;
  std::size_t vocabulary;
  bool zipf;
  const char* shared_word;  // a word every capability starts with, or ""
};

void run(const Row& row) {
  std::mt19937_64 rng(42);
  WordSource words(row.vocabulary, row.zipf);
  kova::TfIdfScorer scorer;
  const auto index_start = Clock::now();
  for (int a = 0; a < kAgents; ++a) {
    std::vector<std::string> caps;
    for (int c = 0; c < kCapabilities; ++c) {
      caps.push_back(text_of(words, rng, kWordsPerCapability - (*row.shared_word ? 1 : 0),
                             row.shared_word));
    }
    scorer.index_capabilities("agent-" + std::to_string(a), caps);
  }
  const double index_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - index_start).count();

  std::vector<std::string> queries;
  for (int q = 0; q < kQueries; ++q) {
    queries.push_back(text_of(words, rng, kQueryWords - (*row.shared_word ? 1 : 0),
                              row.shared_word));
  }

  // The first query after bulk indexing computes every norm.
  auto t_first = Clock::now();
  (void)scorer.score(queries[0]);
  const double first_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - t_first).count();

  std::vector<double> warm, cold;
  std::size_t listed = 0;
  for (int round = 0; round < 5; ++round) {
    for (const std::string& q : queries) {
      auto t0 = Clock::now();
      auto result = scorer.score(q);
      auto t1 = Clock::now();
      listed += result.value().pairs.size();
      warm.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
  }
  for (int i = 0; i < 20; ++i) {
    const std::vector<std::string> caps{text_of(words, rng, kWordsPerCapability, "")};
    scorer.index_capabilities("agent-0", caps);
    auto t0 = Clock::now();
    auto result = scorer.score(queries[i]);
    auto t1 = Clock::now();
    cold.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::printf("%-28s %10.1f %10.3f %12.3f %12.3f %10zu\n", row.name, index_ms, first_ms,
              median(warm), median(cold), listed / warm.size());
}

}  // namespace

int main() {
  std::printf("TfIdfScorer::score, %d agents x %d capabilities x %d words, %d-word queries\n",
              kAgents, kCapabilities, kWordsPerCapability, kQueryWords);
  std::printf("%-28s %10s %10s %12s %12s %10s\n", "vocabulary", "index ms", "first ms",
              "warm med ms", "cold med ms", "listed");
  const Row rows[] = {
      {"uniform 2,000 words", 2000, false, ""},
      {"uniform 20,000 words", 20000, false, ""},
      {"zipf 5,000 words", 5000, true, ""},
      {"uniform 2,000 + shared word", 2000, false, "agent"},
  };
  for (const Row& row : rows) run(row);
  return 0;
}
