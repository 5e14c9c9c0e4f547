// Drift: how far the queries an agent actually succeeded on lie from its declared capabilities.

#include <cmath>
#include <utility>
#include <vector>

#include "core/lsh.hpp"
#include "network/network.hpp"

namespace kova {

std::vector<DriftReport> LocalNetwork::detect_drift(std::size_t min_samples,
                                                    double threshold) const {
  std::vector<DriftReport> reports;
  const LshConfig& config = lsh_config();
  std::vector<const MinHashSignature*> successes;
  std::vector<MinHashSignature> capabilities;
  for (const auto& [name, record] : agents_) {
    if (record.capabilities.empty()) continue;

    successes.clear();
    for (std::size_t i = 0; i < record.feedback.size(); ++i) {
      const FeedbackRecord& entry = record.feedback[i];
      if (entry.outcome > 0.0) successes.push_back(&entry.query_signature);
    }
    // Signing is the costly step, and a skipped agent would not use it.
    if (successes.size() < min_samples) continue;

    // Whole strings: a long capability is not cut down to its first tokens here.
    capabilities.clear();
    for (const std::string& capability : record.capabilities) {
      capabilities.push_back(compute_signature(capability, config));
    }

    double sum = 0.0;
    for (const MinHashSignature* query : successes) {
      double best = 0.0;
      for (const MinHashSignature& capability : capabilities) {
        best = std::fmax(best, signature_similarity(*query, capability));
      }
      sum += best;
    }
    DriftReport report;
    report.agent_name = name;
    report.sample_count = successes.size();
    // With no samples (only when min_samples is 0) this is 0/0 = NaN, which is never drifted.
    report.alignment = sum / static_cast<double>(successes.size());
    report.drifted = report.alignment < threshold;
    reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace kova
