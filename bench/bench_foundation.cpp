// Foundation benchmarks: signatures, the MinHash scorer and the feedback index.
// Prints the median of several runs of each measurement.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/lsh.hpp"
#include "network/feedback_index.hpp"
#include "scorer/minhash.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

double thread_cpu_us() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Medians over `runs` of the mean wall time and the mean thread CPU time of `iters` calls, in
// microseconds. On a shared machine the CPU time is the steadier figure.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

template <class F>
Timing median_us(int runs, int iters, F&& f) {
  std::vector<double> wall, cpu;
  for (int r = 0; r < runs; ++r) {
    const double c0 = thread_cpu_us();
    const auto t0 = Clock::now();
    for (int i = 0; i < iters; ++i) f(i);
    const auto t1 = Clock::now();
    const double c1 = thread_cpu_us();
    wall.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / iters);
    cpu.push_back((c1 - c0) / iters);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

std::string text_of(std::size_t bytes, std::mt19937_64& rng) {
  static const char* words[] = {"translate", "legal", "contract", "summarise", "pdf",
                                "report",    "image", "classify", "search",    "web",
                                "SQL",       "query", "agent",    "schedule",  "meeting",
                                "email",     "code",  "review",   "python"};
  std::string out;
  while (out.size() < bytes) {
    if (!out.empty()) out.push_back(' ');
    out += words[rng() % (sizeof words / sizeof *words)];
  }
  out.resize(bytes);
  return out;
}

void row(const char* name, Timing t, const char* unit, const char* target) {
  std::printf("%-46s %10.3f %10.3f %-4s %s\n", name, t.wall, t.cpu, unit, target);
}

}  // namespace

int main() {
  using namespace kova;
  std::mt19937_64 rng(42);
  const LshConfig cfg;
  std::printf("%-46s %10s %10s %-4s %s\n", "measurement", "wall", "cpu", "unit", "target");

  for (std::size_t bytes : {std::size_t{50}, std::size_t{500}}) {
    std::vector<std::string> texts;
    for (int i = 0; i < 64; ++i) texts.push_back(text_of(bytes, rng));
    const Timing us = median_us(15, bytes < 100 ? 4000 : 400, [&](int i) {
      keep(compute_signature(texts[static_cast<std::size_t>(i) & 63], cfg));
    });
    const std::string name = "compute_signature " + std::to_string(bytes) + " B";
    row(name.c_str(), us, "us", bytes < 100 ? "<= 10" : "<= 100");
  }

  {
    MinHashScorer scorer(cfg);
    for (int a = 0; a < 10000; ++a) {
      std::vector<std::string> caps;
      for (int c = 0; c < 3; ++c) caps.push_back(text_of(40 + rng() % 60, rng));
      scorer.index_capabilities("agent-" + std::to_string(a), caps);
    }
    std::vector<std::string> queries;
    for (int i = 0; i < 16; ++i) queries.push_back(text_of(30, rng));
    const Timing us = median_us(
        15, 50, [&](int i) { keep(scorer.score(queries[static_cast<std::size_t>(i) & 15])); });
    row("MinHashScorer::score, 10000 agents x 3 caps", us, "us", "<= 300");
  }

  {
    FeedbackIndex index;
    std::vector<MinHashSignature> sigs;
    for (int i = 0; i < 150; ++i) sigs.push_back(compute_signature(text_of(40, rng), cfg));
    for (int i = 0; i < 150; ++i) index.insert({sigs[static_cast<std::size_t>(i)], 1.0});
    const double bytes = static_cast<double>(sizeof(FeedbackIndex) + index.heap_bytes());
    row("FeedbackIndex full (100 records) memory", {bytes / 1024.0, bytes / 1024.0}, "KiB",
        "<= 24");
    std::vector<MinHashSignature> probes;
    for (int i = 0; i < 16; ++i) probes.push_back(compute_signature(text_of(40, rng), cfg));
    for (int i = 0; i < 16; ++i) probes.push_back(sigs[140 - static_cast<std::size_t>(i)]);
    const Timing us = median_us(15, 20000, [&](int i) {
      keep(index.candidates(probes[static_cast<std::size_t>(i) & 31]));
    });
    row("FeedbackIndex::candidates on a full index", us, "us", "<= 1");
    const Timing ins = median_us(
        15, 2000, [&](int i) { index.insert({sigs[static_cast<std::size_t>(i) % 150], -1.0}); });
    row("FeedbackIndex::insert on a full index", ins, "us", "");
  }
  return 0;
}
