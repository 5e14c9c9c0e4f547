// The BM25 scorer inside the engine.
//
// 1. Registration rate of agents with three capabilities (the MinHash signing registration
//    always does included).
// 2. A whole text discovery (discover_filtered) over 1,000 and 10,000 agents of three
//    capabilities each, drawn from forty task families, then the same after every agent has
//    learned 100 remembered query texts (real queries of the labelled set, sampled per agent,
//    so most query words reach most agents: the costly case).
// 3. learn + forget of one text, and the scorer's heap growth per remembered text against the
//    text's own size.
// 4. record_success with query memory on, once every agent remembers 100 texts.
// 5. The same discovery through a hybrid of BM25 and TF-IDF.
//
// Figures are medians of the thread's CPU time per call over several rounds; the spread is
// the range of the round medians. Usage: bench_bm25 [data-dir]

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "network/network.hpp"
#include "scorer/bm25.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/tfidf.hpp"

namespace {

using bench::kFamilies;
using bench::kFamilyCount;
using bench::Lcg;
using bench::thread_cpu_us;

struct Figure {
  double median;
  double low;
  double high;
};

// Median over `rounds` of the per-call median of `runs` calls.
template <class F>
Figure measure(int rounds, int runs, F&& f) {
  std::vector<double> medians;
  for (int r = 0; r < rounds; ++r) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
      const double start = thread_cpu_us();
      f(i);
      samples.push_back(thread_cpu_us() - start);
    }
    std::sort(samples.begin(), samples.end());
    medians.push_back(samples[samples.size() / 2]);
  }
  std::sort(medians.begin(), medians.end());
  return {medians[medians.size() / 2], medians.front(), medians.back()};
}

void row(const char* label, const Figure& f, const char* unit = "us") {
  std::printf("%-58s %10.1f %s  (%.1f-%.1f)\n", label, f.median, unit, f.low, f.high);
}

std::vector<std::vector<std::string>> capability_lists(int agents) {
  Lcg rng;
  std::vector<std::vector<std::string>> out;
  for (int i = 0; i < agents; ++i) {
    std::vector<std::string> caps;
    for (int c = 0; c < 3; ++c) {
      caps.push_back(std::string(kFamilies[rng.next() % kFamilyCount]) + " tier " +
                     std::to_string(rng.next() % 50));
    }
    out.push_back(std::move(caps));
  }
  return out;
}

std::string agent_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "agent-%06d", i);
  return name;
}

// Real query texts when the data is there; otherwise family phrases with varied words.
std::vector<std::string> remembered_pool(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  std::ifstream in(dir / "retrieval" / "queries_dev.jsonl");
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(nlohmann::json::parse(line)["query"]);
  }
  if (out.empty()) {
    Lcg rng;
    for (int i = 0; i < 2000; ++i) {
      out.push_back(std::string("could you please ") + kFamilies[rng.next() % kFamilyCount] +
                    " for my team number " + std::to_string(rng.next() % 1000));
    }
    std::printf("(real queries not found under %s: synthetic remembered texts)\n", dir.c_str());
  }
  return out;
}

std::unique_ptr<kova::Scorer> bm25() {
  return std::unique_ptr<kova::Scorer>(kova::Bm25Scorer::create({}).value().release());
}

struct Built {
  std::unique_ptr<kova::LocalNetwork> net;
  kova::Scorer* scorer;
};

Built build(int agents, std::unique_ptr<kova::Scorer> scorer) {
  kova::Scorer* raw = scorer.get();
  auto net = kova::LocalNetwork::with_scorer(std::move(scorer));
  const auto caps = capability_lists(agents);
  for (int i = 0; i < agents; ++i) {
    net->register_agent(agent_name(i), caps[static_cast<std::size_t>(i)], std::nullopt,
                        {{"region", i % 2 ? "eu" : "us"}});
  }
  return {std::move(net), raw};
}

void bench_registration() {
  for (const int agents : {1'000, 10'000}) {
    const auto caps = capability_lists(agents);
    const Figure f = measure(5, 1, [&](int) {
      auto net = kova::LocalNetwork::with_scorer(bm25());
      for (int i = 0; i < agents; ++i) {
        net->register_agent(agent_name(i), caps[static_cast<std::size_t>(i)], std::nullopt, {});
      }
    });
    const double per_second = agents / (f.median / 1e6);
    char label[96];
    std::snprintf(label, sizeof label, "registration, %d agents: %.0f agents/s", agents,
                  per_second);
    row(label, {f.median / agents, f.low / agents, f.high / agents}, "us/agent");
  }
}

void bench_discovery(const std::vector<std::string>& pool) {
  const std::string query = "translate legal contract";
  std::vector<Built> keep;
  for (const int agents : {1'000, 10'000}) {
    keep.push_back(build(agents, bm25()));
    kova::LocalNetwork& net = *keep.back().net;
    const int runs = agents >= 10'000 ? 101 : 501;
    char label[96];
    std::snprintf(label, sizeof label, "discover, %d agents (%zu results)", agents,
                  net.discover_filtered(query, nullptr).size());
    row(label, measure(5, runs, [&](int) { net.discover_filtered(query, nullptr); }));
  }
  for (std::size_t k = 0; k < keep.size(); ++k) {
    kova::LocalNetwork& net = *keep[k].net;
    Lcg rng;
    const int agents = static_cast<int>(net.agent_count());
    for (int i = 0; i < agents; ++i) {
      for (int t = 0; t < 100; ++t)
        keep[k].scorer->learn(agent_name(i), pool[rng.next() % pool.size()]);
    }
    const int runs = agents >= 10'000 ? 101 : 501;
    char label[96];
    std::snprintf(label, sizeof label, "discover, %d agents x 100 remembered (%zu results)", agents,
                  net.discover_filtered(query, nullptr).size());
    row(label, measure(5, runs, [&](int) { net.discover_filtered(query, nullptr); }));
    std::vector<double> by_key(static_cast<std::size_t>(agents) + 1);
    std::snprintf(label, sizeof label, "  of which the scorer (by key)");
    row(label, measure(5, runs, [&](int) {
          std::fill(by_key.begin(), by_key.end(), 0.0);
          kova::ScoreList list(by_key);
          (void)keep[k].scorer->score_into({query}, list);
        }));
  }
}

void bench_learning(const std::vector<std::string>& pool) {
  Built b = build(1'000, bm25());
  Lcg rng;
  for (int i = 0; i < 1'000; ++i) {
    for (int t = 0; t < 99; ++t) b.scorer->learn(agent_name(i), pool[rng.next() % pool.size()]);
  }
  row("learn + forget one text, 1,000 agents x 99 remembered", measure(5, 1001, [&](int i) {
        const std::string& text = pool[static_cast<std::size_t>(i) % pool.size()];
        const std::string name = agent_name(i % 1'000);
        b.scorer->learn(name, text);
        b.scorer->forget(name, text);
      }));

  // Heap growth of a scorer (no network around it) per remembered text.
  auto scorer = bm25();
  const auto caps = capability_lists(1'000);
  for (int i = 0; i < 1'000; ++i) scorer->index_capabilities(agent_name(i), caps[i]);
  malloc_trim(0);
  const std::size_t before = mallinfo2().uordblks;
  std::size_t bytes = 0;
  std::size_t texts = 0;
  for (int i = 0; i < 1'000; ++i) {
    for (int t = 0; t < 100; ++t) {
      const std::string& text = pool[rng.next() % pool.size()];
      scorer->learn(agent_name(i), text);
      bytes += text.size();
      ++texts;
    }
  }
  const double grown = static_cast<double>(mallinfo2().uordblks - before);
  const double mean_text = static_cast<double>(bytes) / static_cast<double>(texts);
  std::printf("%-58s %10.1f B    (text %.1f B; bound 2 x text + 64 = %.1f B)\n",
              "scorer heap per remembered text, 1,000 agents x 100", grown / texts, mean_text,
              2 * mean_text + 64);
}

// A success in the recommended learning set-up once every agent remembers 100 real queries:
// each further one learns a text and, mostly, forgets the oldest.
void bench_record_success(const std::vector<std::string>& pool) {
  auto net = kova::LocalNetwork::with_scorer(bm25());
  net->set_learning(kova::LearningSettings::recommended(100));
  const auto caps = capability_lists(1'000);
  for (int i = 0; i < 1'000; ++i) {
    net->register_agent(agent_name(i), caps[static_cast<std::size_t>(i)], std::nullopt, {});
  }
  Lcg rng;
  for (int t = 0; t < 100; ++t) {
    for (int i = 0; i < 1'000; ++i) {
      net->record_success(agent_name(i), pool[rng.next() % pool.size()]);
    }
  }
  std::vector<std::string> names;
  for (int i = 0; i < 1'000; ++i) names.push_back(agent_name(i));
  row("record_success, query memory 100, 1,000 agents", measure(5, 2001, [&](int i) {
        net->record_success(names[static_cast<std::size_t>(i) % 1'000],
                            pool[rng.next() % pool.size()]);
      }));
}

void bench_hybrid() {
  const std::string query = "translate legal contract";
  for (const int agents : {1'000, 10'000}) {
    std::vector<kova::HybridPart> parts;
    parts.push_back({bm25(), 0.5});
    parts.push_back({std::make_unique<kova::TfIdfScorer>(), 0.5});
    Built b =
        build(agents, kova::HybridScorer::create(std::move(parts), kova::Fusion::MinMax).value());
    const int runs = agents >= 10'000 ? 51 : 301;
    char label[96];
    std::snprintf(label, sizeof label, "discover, hybrid BM25 + TF-IDF, %d agents", agents);
    row(label, measure(5, runs, [&](int) { b.net->discover_filtered(query, nullptr); }));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir =
      argc > 1
          ? std::filesystem::path(argv[1])
          : std::filesystem::path(__FILE__).parent_path().parent_path() / ".." / "shared" / "data";
  const std::vector<std::string> pool = remembered_pool(dir);
  std::printf("%-58s %13s  (range of 5 round medians)\n", "benchmark", "median");
  bench_registration();
  bench_discovery(pool);
  bench_learning(pool);
  bench_record_success(pool);
  bench_hybrid();
  return 0;
}
