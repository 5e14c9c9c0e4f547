#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/lsh.hpp"
#include "network/network.hpp"

namespace kova {
namespace {

class DriftTest : public ::testing::Test {
 protected:
  void SetUp() override { net_ = LocalNetwork::create_default(std::make_shared<ManualClock>()); }

  void add(const std::string& name, std::vector<std::string> capabilities) {
    ASSERT_FALSE(net_->register_agent(name, capabilities, std::nullopt, {}).has_value()) << name;
  }
  // Stores feedback directly, so that only drift detection is under test here.
  void feedback(const std::string& name, const std::string& query, double outcome) {
    AgentRecord* agent = net_->find_mut(name);
    ASSERT_NE(agent, nullptr);
    agent->feedback.insert({compute_signature(query, net_->lsh_config()), outcome});
  }

  std::unique_ptr<LocalNetwork> net_;
};

std::string long_capability(std::size_t words) {
  std::string text;
  for (std::size_t i = 0; i < words; ++i) text += "word" + std::to_string(i) + " ";
  return text + "end";
}

TEST_F(DriftTest, OnlySuccessesCountTowardsMinSamples) {
  add("worker", {"translate legal documents"});
  for (int i = 0; i < 10; ++i) feedback("worker", "translate legal documents", -1.0);
  for (int i = 0; i < 4; ++i) feedback("worker", "translate legal documents", 1.0);
  feedback("worker", "translate legal documents", 0.0);  // not greater than 0: not a success
  EXPECT_TRUE(net_->detect_drift(5, 0.3).empty());

  feedback("worker", "translate legal documents", 1.0);
  const auto reports = net_->detect_drift(5, 0.3);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].agent_name, "worker");
  EXPECT_EQ(reports[0].sample_count, 5u);
  EXPECT_DOUBLE_EQ(reports[0].alignment, 1.0);
  EXPECT_FALSE(reports[0].drifted);
}

TEST_F(DriftTest, BestMatchOverWholeCapabilityStrings) {
  // 80 words: identical queries match only if the capability is signed whole, not cut short.
  const std::string long_text = long_capability(80);
  add("long", {"summarise news", long_text});
  feedback("long", long_text, 1.0);
  feedback("long", "summarise news", 1.0);
  auto reports = net_->detect_drift(2, 0.3);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_DOUBLE_EQ(reports[0].alignment, 1.0);

  // Unrelated successes: each best match is a whole number of positions out of 64.
  add("drifter", {"translate legal documents"});
  feedback("drifter", "bake sourdough bread at home", 1.0);
  feedback("drifter", "repair bicycle chains quickly", 1.0);
  feedback("drifter", "translate legal documents", 1.0);
  reports = net_->detect_drift(3, 0.5);
  ASSERT_EQ(reports.size(), 1u);
  const DriftReport& d = reports[0];
  EXPECT_EQ(d.agent_name, "drifter");
  EXPECT_EQ(d.sample_count, 3u);
  EXPECT_LT(d.alignment, 0.5);
  EXPECT_GE(d.alignment, 1.0 / 3.0);
  const double positions = d.alignment * 3 * 64;
  EXPECT_NEAR(positions, std::round(positions), 1e-9);
  EXPECT_TRUE(d.drifted);
}

TEST_F(DriftTest, ThresholdBoundsAndAgentsWithoutSuccesses) {
  add("aligned", {"translate legal documents"});
  add("drifter", {"translate legal documents"});
  for (int i = 0; i < 5; ++i) {
    feedback("aligned", "translate legal documents", 1.0);
    feedback("drifter", "bake sourdough bread " + std::to_string(i), 1.0);
  }
  for (const auto& r : net_->detect_drift(5, 0.0)) EXPECT_FALSE(r.drifted) << r.agent_name;
  const auto above = net_->detect_drift(5, 1.5);
  ASSERT_EQ(above.size(), 2u);
  for (const auto& r : above) EXPECT_TRUE(r.drifted) << r.agent_name;
  // Strictly below: an alignment equal to the threshold is not drift.
  const auto equal = net_->detect_drift(5, 1.0);
  ASSERT_EQ(equal.size(), 2u);
  EXPECT_EQ(equal[0].agent_name, "aligned");
  EXPECT_FALSE(equal[0].drifted);
  EXPECT_TRUE(equal[1].drifted);

  // With no minimum, an agent without successes is reported, never as drifted.
  add("idle", {"translate legal documents"});
  feedback("idle", "translate legal documents", -1.0);
  for (double threshold : {0.3, 2.0}) {
    const auto reports = net_->detect_drift(0, threshold);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].agent_name, "idle");
    EXPECT_EQ(reports[2].sample_count, 0u);
    EXPECT_TRUE(std::isnan(reports[2].alignment));
    EXPECT_FALSE(reports[2].drifted);
  }
}

TEST_F(DriftTest, NameOrderAndNoStateChange) {
  for (const char* name : {"beta", "alpha", "Beta"}) add(name, {"index web pages"});
  for (const char* name : {"beta", "alpha", "Beta"}) feedback(name, "index web pages", 1.0);
  feedback("alpha", "cook pasta", 1.0);
  const auto first = net_->detect_drift(1, 0.9);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].agent_name, "Beta");
  EXPECT_EQ(first[1].agent_name, "alpha");
  EXPECT_EQ(first[2].agent_name, "beta");
  EXPECT_EQ(net_->find("alpha")->feedback.size(), 2u);

  const auto second = net_->detect_drift(1, 0.9);
  ASSERT_EQ(second.size(), first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(std::tie(second[i].agent_name, second[i].alignment, second[i].sample_count),
              std::tie(first[i].agent_name, first[i].alignment, first[i].sample_count));
  }
}

TEST_F(DriftTest, FeedbackRecordedThroughTheEngine) {
  add("solo", {"translate legal documents"});
  for (int i = 0; i < 3; ++i) net_->record_failure("solo", "translate legal documents");
  for (int i = 0; i < 5; ++i) net_->record_success("solo", "translate legal documents");
  net_->record_success("solo", std::nullopt);  // no query: nothing to compare
  const auto reports = net_->detect_drift(5, 0.3);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].sample_count, 5u);
  EXPECT_DOUBLE_EQ(reports[0].alignment, 1.0);
}

}  // namespace
}  // namespace kova
