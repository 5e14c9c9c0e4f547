#pragma once
// What several engine benchmarks share: the clock they read and the registry they grow.

#include <time.h>

#include <cstddef>
#include <cstdint>

namespace bench {

// CPU time of this thread: the machine is shared, and time spent descheduled is not the
// engine's.
inline double thread_cpu_us() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// A small deterministic generator so that every run sees the same agents.
struct Lcg {
  std::uint64_t state = 0x2545F4914F6CDD1Dull;
  std::uint64_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
};

// Forty task families; an agent's capabilities are drawn from them, so that agents of a
// family share their words as real registries of similar tools do.
inline const char* const kFamilies[] = {
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
inline constexpr std::size_t kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];

}  // namespace bench
