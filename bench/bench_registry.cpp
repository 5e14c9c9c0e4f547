// Registration cost and per-agent memory of the registry.
//
// Time: an agent with three 50-byte capabilities registered into an engine with the default
// MinHash scorer. Memory: live heap bytes per registered agent (record, map node, scorer
// entry), counted by a replaced global allocator, with the bytes of the record's own strings
// reported separately.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "live_heap.hpp"
#include "network/network.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Three distinct 50-byte capability texts for agent i.
std::vector<std::string> capabilities_for(int i) {
  std::vector<std::string> caps;
  const char* stems[] = {"translate legal contracts between german and english",
                         "summarise long technical reports into short bullets",
                         "answer customer billing questions with policy lookup"};
  for (const char* stem : stems) {
    std::string text = std::to_string(i) + " " + stem;
    text.resize(50, 'x');
    caps.push_back(std::move(text));
  }
  return caps;
}

std::string agent_name(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "agent-%05d", i);
  return buf;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::size_t heap_of(const std::string& s) {
  // Short strings live inside the object; longer ones own a heap block.
  if (s.capacity() <= 15) return 0;
  return malloc_usable_size(const_cast<char*>(s.data()));
}

}  // namespace

int main() {
  constexpr int kAgents = 2000;
  constexpr int kRuns = 7;
  std::vector<std::vector<std::string>> caps;
  std::vector<std::string> names;
  for (int i = 0; i < kAgents; ++i) {
    caps.push_back(capabilities_for(i));
    names.push_back(agent_name(i));
  }

  std::vector<double> per_agent_us;
  std::vector<double> per_agent_bytes;
  std::vector<double> per_agent_string_bytes;
  for (int run = 0; run < kRuns; ++run) {
    auto net = kova::LocalNetwork::create_default();
    const long long before = g_live_bytes.load();
    const auto start = Clock::now();
    for (int i = 0; i < kAgents; ++i) {
      if (net->register_agent(names[i], caps[i], std::nullopt, {})) return 1;
    }
    const auto elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const long long after = g_live_bytes.load();
    per_agent_us.push_back(elapsed / kAgents);
    per_agent_bytes.push_back(static_cast<double>(after - before) / kAgents);

    std::size_t strings = 0;
    for (const auto& [name, record] : net->agent_table()) {
      strings += heap_of(name) + heap_of(record.address);
      for (const auto& c : record.capabilities) strings += heap_of(c);
    }
    per_agent_string_bytes.push_back(static_cast<double>(strings) / kAgents);
  }

  const double total = median(per_agent_bytes);
  const double strings = median(per_agent_string_bytes);
  std::printf("%-48s %12s %10s\n", "measure (median of 7 runs, 2000 agents)", "value", "target");
  std::printf("%-48s %9.2f us %7s us\n", "register, 3 capabilities of 50 bytes",
              median(per_agent_us), "40");
  std::printf("%-48s %10.0f B\n", "live heap per agent, all", total);
  std::printf("%-48s %10.0f B\n", "  of which the record's string buffers", strings);
  std::printf("%-48s %10.0f B %8s B\n", "per agent beyond its strings", total - strings, "1024");
  std::printf("%-48s %10zu B\n", "  sizeof(AgentRecord)", sizeof(kova::AgentRecord));
  std::printf("%-48s %10zu B\n", "  sizeof(map value: name + record)",
              sizeof(kova::AgentTable::value_type));
  return 0;
}
