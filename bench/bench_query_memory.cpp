// Query memory: what a success costs when agents remember their queries, and what each
// remembered text costs in memory.
//
// 1,000 agents with three capabilities, each already remembering 100 distinct queries,
// so that every further success with a new query forgets the oldest and learns the new one
// (the steady state). Time is the calling thread's CPU time per record_success, median of
// seven passes of 2,000; the default network without memory is measured alongside. Memory: live
// heap bytes added by the remembered texts (the engine's copies plus what the scorer keeps for
// them), per text, by a replaced global allocator.

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "live_heap.hpp"
#include "network/network.hpp"
#include "scorer/bm25.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/tfidf.hpp"

namespace {

constexpr int kAgents = 1000;
constexpr std::size_t kMemory = 100;
constexpr int kRuns = 7;
constexpr int kSuccesses = 2000;

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Queries as users type them: a frame of common words around a few rarer ones, 40-80 bytes.
class Queries {
 public:
  explicit Queries(unsigned seed) : rng_(seed) {}
  std::string next() {
    static const char* frames[] = {"could you help me find", "please show the latest",
                                   "what is the best way to get", "i need a quick summary of"};
    std::string text = frames[rng_() % 4];
    for (int i = 0, n = 3 + static_cast<int>(rng_() % 4); i < n; ++i) {
      text += ' ';
      text += word(rng_() % 20000);
    }
    return text;
  }

 private:
  static std::string word(unsigned k) {
    static const char* parts[] = {"tra", "le", "con", "mar", "ket", "lo", "gis", "ti", "ca", "ro"};
    std::string w;
    do {
      w += parts[k % 10];
      k /= 10;
    } while (k > 0);
    return w;
  }
  std::mt19937 rng_;
};

// Capabilities drawn as the learning benchmark draws them: a few words each from a small
// vocabulary, so that agents overlap as real registries do.
std::vector<std::string> capabilities_for(int i) {
  static const char* words[] = {"translate", "legal", "contract", "summarise", "pdf",
                                "report",    "image", "classify", "search",    "web",
                                "SQL",       "query", "agent",    "schedule",  "meeting",
                                "email",     "code",  "review",   "python",    "invoice"};
  std::mt19937 rng(static_cast<unsigned>(i));
  std::vector<std::string> caps;
  for (const int count : {4, 5, 3}) {
    std::string text;
    for (int w = 0; w < count; ++w) {
      if (w > 0) text += ' ';
      text += words[rng() % 20];
    }
    caps.push_back(std::move(text));
  }
  return caps;
}

std::string name_of(int i) {
  return "agent-" + std::to_string(10000 + i);
}

struct Figures {
  double us_per_success;
  double bytes_per_text;
  double own_bytes_per_text;  // of which the records' copies of the texts
  double text_bytes;          // mean length of a remembered text
};

std::size_t heap_of(const std::string& s) {
  // Short strings live inside the object; longer ones own a heap block.
  if (s.capacity() <= 15) return 0;
  return malloc_usable_size(const_cast<char*>(s.data()));
}

// Filling every memory takes 100,000 successes, so one network per scorer serves every pass.
template <class MakeNetwork>
Figures measure(MakeNetwork make, std::size_t memory) {
  std::unique_ptr<kova::LocalNetwork> net = make();
  net->set_learning(kova::LearningSettings::recommended(memory));
  for (int i = 0; i < kAgents; ++i) {
    if (net->register_agent(name_of(i), capabilities_for(i), std::nullopt, {})) std::abort();
  }
  Queries queries(1);
  const long long before = g_live_bytes.load();
  std::size_t bytes = 0;
  for (std::size_t k = 0; k < memory; ++k) {
    for (int i = 0; i < kAgents; ++i) {
      const std::string q = queries.next();
      bytes += q.size();
      net->record_success(name_of(i), q);
    }
  }
  const double texts = static_cast<double>(memory) * kAgents;
  std::size_t own = 0;
  for (const auto& [name, record] : net->agent_table()) {
    own += record.remembered.capacity() * sizeof(std::string);
    for (const std::string& text : record.remembered) own += heap_of(text);
  }
  Figures figures{0.0, memory ? static_cast<double>(g_live_bytes.load() - before) / texts : 0.0,
                  memory ? static_cast<double>(own) / texts : 0.0,
                  memory ? static_cast<double>(bytes) / texts : 0.0};
  std::vector<double> times;
  for (int run = 0; run < kRuns; ++run) {
    std::vector<std::string> names, pending;
    for (int k = 0; k < kSuccesses; ++k) {
      names.push_back(name_of(k % kAgents));
      pending.push_back(queries.next());
    }
    const double start = thread_seconds();
    for (int k = 0; k < kSuccesses; ++k) net->record_success(names[k], pending[k]);
    times.push_back((thread_seconds() - start) / kSuccesses * 1e6);
  }
  figures.us_per_success = median(times);
  return figures;
}

}  // namespace

int main() {
  const auto minhash = [] { return kova::LocalNetwork::create_default(); };
  const auto tfidf = [] {
    return kova::LocalNetwork::with_scorer(std::make_unique<kova::TfIdfScorer>());
  };
  std::printf("%-58s %10s %10s\n", "measure (1,000 agents, median of 7 runs)", "value", "target");
  const auto bm25 = [] {
    return kova::LocalNetwork::with_scorer(
        std::unique_ptr<kova::Scorer>(kova::Bm25Scorer::create({}).value().release()));
  };
  const auto hybrid = [] {
    std::vector<kova::HybridPart> parts;
    parts.push_back(
        {std::unique_ptr<kova::Scorer>(kova::Bm25Scorer::create({}).value().release()), 0.7});
    parts.push_back({std::make_unique<kova::TfIdfScorer>(), 0.3});
    return kova::LocalNetwork::with_scorer(std::unique_ptr<kova::Scorer>(
        kova::HybridScorer::create(std::move(parts), kova::Fusion::MinMax).value().release()));
  };
  for (const auto& [label, make] :
       {std::pair{"MinHash", +minhash}, std::pair{"TF-IDF", +tfidf}, std::pair{"BM25", +bm25},
        std::pair{"hybrid BM25+TF-IDF", +hybrid}}) {
    std::printf("record_success, no memory, %-31s %7.2f us\n", label,
                measure(make, 0).us_per_success);
    const Figures f = measure(make, kMemory);
    std::printf("record_success, query memory 100, %-23s %7.2f us %7s us\n", label,
                f.us_per_success, "20");
    std::printf("heap per remembered text, %-32s %8.0f B\n", label, f.bytes_per_text);
    std::printf("  of which the engine's own copy of the text %14.0f B %8.0f B\n",
                f.own_bytes_per_text, 2 * f.text_bytes + 64);
  }
  return 0;
}
