// Discovery cost.
//
// 1. The kernel committee alone: every score and the routing over 10,000 eligible agents
//    with varied routing state.
// 2. A whole text discovery (discover_filtered, replay off) with the default MinHash scorer
//    over 1,000, 10,000 and 100,000 agents of three capabilities each, drawn from forty task
//    families so that a query reaches a realistic share of the agents.
//
// Figures are medians of the thread's CPU time per call.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "core/kernels.hpp"
#include "core/name_hash.hpp"
#include "network/network.hpp"

namespace {

using bench::kFamilies;
using bench::kFamilyCount;
using bench::Lcg;
using bench::thread_cpu_us;

template <class F>
double median_us(int runs, F&& f) {
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(runs));
  for (int i = 0; i < runs; ++i) {
    const double start = thread_cpu_us();
    f();
    samples.push_back(thread_cpu_us() - start);
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::unique_ptr<kova::LocalNetwork> build_network(int agents) {
  auto net = kova::LocalNetwork::create_default();
  Lcg rng;
  for (int i = 0; i < agents; ++i) {
    std::vector<std::string> caps;
    for (int c = 0; c < 3; ++c) {
      caps.push_back(std::string(kFamilies[rng.next() % kFamilyCount]) + " tier " +
                     std::to_string(rng.next() % 50));
    }
    char name[32];
    std::snprintf(name, sizeof name, "agent-%06d", i);
    net->register_agent(name, caps, std::nullopt, {{"region", i % 2 ? "eu" : "us"}});
  }
  return net;
}

void bench_kernels() {
  constexpr int kAgents = 10'000;
  kova::AgentTable table;
  Lcg rng;
  const kova::MonoTime now{1'000'000'000'000'000};
  for (int i = 0; i < kAgents; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "agent-%06d", i);
    kova::AgentRecord& r = table.try_emplace(name).first->second;
    r.name_hash = kova::compute_name_hash(name);
    r.diameter = 0.5 + static_cast<double>(rng.next() % 1000) / 1000.0;
    r.tau = static_cast<double>(rng.next() % 1000) / 500.0;
    r.sigma = static_cast<double>(rng.next() % 100) / 100.0;
    r.forwards_count = rng.next() % 20;
    r.last_activity = now - std::chrono::milliseconds(rng.next() % 600'000);
  }
  std::vector<kova::KernelInput> inputs;
  std::vector<kova::NameHash> hashes;
  std::vector<std::uint32_t> every;
  for (const auto& [name, r] : table) {
    every.push_back(static_cast<std::uint32_t>(inputs.size()));
    inputs.push_back({static_cast<double>(rng.next() % 1000) / 1000.0, r.diameter, r.tau, r.sigma,
                      r.forwards(), r.last_activity});
    hashes.push_back(r.name_hash);
  }
  kova::SLNEnzyme enzyme;
  std::size_t sink = 0;
  const auto hash_of = [&](std::size_t i) { return hashes[i]; };
  const double reused = median_us(301, [&] {
    const kova::KernelEvaluation ev = enzyme.evaluate_selected(inputs, hash_of, every, now);
    sink += enzyme.process_votes(ev.votes).agents.size();
  });
  std::printf("%-58s %10.1f us\n", "evaluate_selected (every score) + process_votes", reused);
  if (sink == 0) std::printf("(no votes)\n");
}

void bench_text_discovery() {
  const std::string query = "translate legal contract";
  // Networks stay alive until the end so that each is laid out in memory the way a freshly
  // filled registry is, not in the holes a destroyed one left behind.
  std::vector<std::unique_ptr<kova::LocalNetwork>> keep;
  for (const int agents : {1'000, 10'000, 100'000}) {
    keep.push_back(build_network(agents));
    kova::LocalNetwork& net = *keep.back();
    const std::size_t results = net.discover_filtered(query, nullptr).size();
    const int runs = agents >= 100'000 ? 31 : agents >= 10'000 ? 101 : 501;
    const double us = median_us(runs, [&] { net.discover_filtered(query, nullptr); });
    char label[96];
    std::snprintf(label, sizeof label, "text discovery, %d agents (%zu results)", agents, results);
    std::printf("%-58s %10.1f us\n", label, us);
  }
}

}  // namespace

int main() {
  std::printf("%-58s %13s\n", "benchmark", "median");
  bench_text_discovery();
  bench_kernels();
  return 0;
}
