// Learning and state benchmarks: record_success on a large registry, and saving and loading a
// large network. Prints the median of several runs of each measurement.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "network/network.hpp"

namespace {

using Steady = std::chrono::steady_clock;

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::string words_of(std::size_t count, std::mt19937_64& rng) {
  static const char* words[] = {"translate", "legal", "contract", "summarise", "pdf",
                                "report",    "image", "classify", "search",    "web",
                                "SQL",       "query", "agent",    "schedule",  "meeting",
                                "email",     "code",  "review",   "python",    "invoice"};
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out.push_back(' ');
    out += words[rng() % (sizeof words / sizeof *words)];
  }
  return out;
}

std::unique_ptr<kova::LocalNetwork> build(std::size_t agents, std::size_t records,
                                          std::mt19937_64& rng) {
  auto net = kova::LocalNetwork::create_default();
  for (std::size_t i = 0; i < agents; ++i) {
    const std::vector<std::string> caps{words_of(4, rng), words_of(5, rng), words_of(3, rng)};
    const std::string name = "agent-" + std::to_string(i);
    net->register_agent(name, caps, "http://localhost/" + name,
                        {{"protocol", "mcp"}, {"version", "1"}});
    kova::AgentRecord& record = *net->find_mut(name);
    for (std::size_t r = 0; r < records; ++r) {
      kova::FeedbackRecord feedback;
      for (auto& byte : feedback.query_signature) byte = static_cast<std::uint8_t>(rng());
      feedback.outcome = rng() % 2 ? 1.0 : -1.0;
      record.feedback.insert(feedback);
    }
  }
  return net;
}

void row(const char* name, double value, const char* unit, const char* target) {
  std::printf("%-52s %12.3f %-4s %s\n", name, value, unit, target);
}

// CPU time of this process, which the other processes on a busy machine do not inflate.
double cpu_ms() {
  return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

// Arguments: "success", "state" or nothing for both.
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  std::mt19937_64 rng(7);

  if (only.empty() || only == "success") {
    auto net = build(1000, 0, rng);
    std::vector<std::string> queries;
    for (int i = 0; i < 256; ++i) queries.push_back(words_of(5, rng));
    const int iters = 2000;
    std::vector<double> samples;
    std::vector<double> cpu;
    for (int run = 0; run < 7; ++run) {
      const auto t0 = Steady::now();
      const double c0 = cpu_ms();
      for (int i = 0; i < iters; ++i) {
        net->record_success("agent-" + std::to_string(i % 1000), queries[i % queries.size()]);
      }
      cpu.push_back((cpu_ms() - c0) * 1000.0 / iters);
      samples.push_back(std::chrono::duration<double, std::micro>(Steady::now() - t0).count() /
                        iters);
    }
    // Agents whose feedback memory is full: every insert now evicts the oldest record.
    auto full = build(1000, kova::FeedbackIndex::kCapacity, rng);
    std::vector<double> full_cpu;
    for (int run = 0; run < 7; ++run) {
      const double c0 = cpu_ms();
      for (int i = 0; i < iters; ++i) {
        full->record_success("agent-" + std::to_string(i % 1000), queries[i % queries.size()]);
      }
      full_cpu.push_back((cpu_ms() - c0) * 1000.0 / iters);
    }
    // The floors under record_success: signing the query, and scoring the whole registry with
    // the source's signature, which propagation keeps once computed.
    std::vector<double> signing;
    std::uint64_t signed_bytes = 0;  // keeps the signatures observable
    std::vector<double> scoring;
    const kova::Scorer& scorer = *net->scorer_adapter().scorer;
    const kova::MinHashSignature signature =
        kova::compute_signature(words_of(12, rng), net->lsh_config());
    for (int run = 0; run < 7; ++run) {
      double c0 = cpu_ms();
      for (int i = 0; i < iters; ++i) {
        signed_bytes += kova::compute_signature(queries[i % queries.size()], net->lsh_config())[0];
      }
      signing.push_back((cpu_ms() - c0) * 1000.0 / iters);
      c0 = cpu_ms();
      for (int i = 0; i < iters; ++i) {
        std::optional<kova::MinHashSignature> cached = signature;
        kova::ScoreRequest request{"", net->propagator().propagation_threshold};
        request.signature_cache = &cached;
        kova::ScoreList scores;
        if (scorer.score_into(request, scores)) return 1;
      }
      scoring.push_back((cpu_ms() - c0) * 1000.0 / iters);
    }
    row("record_success with query, 1000 agents (wall)", median(samples), "us",
        "(target <= 15 us)");
    row("record_success with query, 1000 agents (cpu)", median(cpu), "us", "");
    row("  same, every agent holding 100 records (cpu)", median(full_cpu), "us", "");
    // Measured alone: propagation keeps its neighbours, so most successes skip the scoring.
    row("  alone: signing a query (cpu)", median(signing), "us", "");
    row("  alone: scoring 1000 agents at the threshold, paid once per source (cpu)",
        median(scoring), "us", "");
    if (signed_bytes == 1) std::printf("\n");
  }

  if (only.empty() || only == "state") {
    auto net = build(1000, 100, rng);
    const std::string dir = std::filesystem::temp_directory_path() / "kova_bench_state";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/state.json";
    std::vector<double> saves, save_cpu, loads, load_cpu;
    for (int run = 0; run < 5; ++run) {
      auto t0 = Steady::now();
      double c0 = cpu_ms();
      if (auto error = net->save(path)) {
        std::fprintf(stderr, "save failed: %s\n", error->display().c_str());
        return 1;
      }
      saves.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t0).count());
      save_cpu.push_back(cpu_ms() - c0);
      t0 = Steady::now();
      c0 = cpu_ms();
      auto loaded = kova::LocalNetwork::load(path);
      loads.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t0).count());
      load_cpu.push_back(cpu_ms() - c0);
      if (!loaded) {
        std::fprintf(stderr, "load failed: %s\n", loaded.error().display().c_str());
        return 1;
      }
    }
    row("save, 1000 agents x 100 feedback records (wall)", median(saves), "ms",
        "(target <= 2000 ms)");
    row("save, 1000 agents x 100 feedback records (cpu)", median(save_cpu), "ms", "");
    row("load, 1000 agents x 100 feedback records (wall)", median(loads), "ms",
        "(target <= 2000 ms)");
    row("load, 1000 agents x 100 feedback records (cpu)", median(load_cpu), "ms", "");
    row("state file size", static_cast<double>(std::filesystem::file_size(path)) / 1e6, "MB", "");
    std::filesystem::remove_all(dir);
  }
  return 0;
}
