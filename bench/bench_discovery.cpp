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

#include "core/kernels.hpp"
#include "core/name_hash.hpp"
#include "network/network.hpp"

namespace {

// CPU time of this thread: the machine is shared, and time spent descheduled is not the
// engine's.
double thread_cpu_us() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

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

// A small deterministic generator so that every run sees the same agents.
struct Lcg {
  std::uint64_t state = 0x2545F4914F6CDD1Dull;
  std::uint64_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
};

const char* const kFamilies[] = {
    "translate legal contracts between languages",
    "summarise long technical reports",
    "answer customer billing questions",
    "generate python code from specifications",
    "review pull requests for security issues",
    "classify incoming support tickets",
    "extract fields from scanned invoices",
    "schedule meetings across time zones",
    "search the product catalog by description",
    "monitor server logs for anomalies",
    "draft marketing emails for campaigns",
    "convert currencies at live rates",
    "transcribe audio recordings to text",
    "detect fraud in card payments",
    "recommend movies from viewing history",
    "plan delivery routes for vans",
    "forecast weekly sales per store",
    "tag images with detected objects",
    "moderate user comments for abuse",
    "book flights and hotel rooms",
    "write unit tests for java services",
    "optimise sql queries for postgres",
    "compose music loops for videos",
    "grade student essays with rubrics",
    "track parcels across carriers",
    "analyse sentiment of product reviews",
    "manage kubernetes cluster deployments",
    "answer medical dosage questions",
    "prepare tax returns for freelancers",
    "design logos from short briefs",
    "reconcile bank statements monthly",
    "summarise court rulings for lawyers",
    "localise mobile apps into spanish",
    "generate weather reports for farms",
    "calculate insurance premiums for cars",
    "screen job applicants by skills",
    "index research papers by topic",
    "control smart home lighting scenes",
    "estimate renovation costs from photos",
    "answer questions about hr policies",
};

std::unique_ptr<kova::LocalNetwork> build_network(int agents) {
  auto net = kova::LocalNetwork::create_default();
  Lcg rng;
  constexpr std::size_t kCount = sizeof kFamilies / sizeof kFamilies[0];
  for (int i = 0; i < agents; ++i) {
    std::vector<std::string> caps;
    for (int c = 0; c < 3; ++c) {
      caps.push_back(std::string(kFamilies[rng.next() % kCount]) + " tier " +
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
