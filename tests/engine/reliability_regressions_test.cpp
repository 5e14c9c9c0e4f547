// Faults found by fuzzing and hostile-input testing, each pinned by the smallest case that
// showed it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "network/network.hpp"

namespace {

class ReliabilityRegressions : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("kova_regressions_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

// A NUL inside a path used to end the name early at the system call: saving "x\0y" wrote
// the file "x", and loading read it.
TEST_F(ReliabilityRegressions, PathWithNulIsRefusedNotTruncated) {
  auto net = kova::LocalNetwork::create_default();
  ASSERT_FALSE(net->register_agent("a", std::vector<std::string>{"translate"}, std::nullopt, {}));
  const std::string truncated = (dir_ / "x").string();
  const std::string with_nul = truncated + std::string("\0y.json", 7);

  const auto saved = net->save(with_nul);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->display(), "I/O error: file name contained an unexpected NUL byte");
  EXPECT_TRUE(std::filesystem::is_empty(dir_));

  ASSERT_FALSE(net->save(truncated).has_value());
  const auto loaded = kova::LocalNetwork::load(with_nul);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().display(), "I/O error: file name contained an unexpected NUL byte");
}

// The parser's message quotes the bytes of the token it stopped at, which could end inside a
// multi-byte character; the host then failed to decode the error text and raised a
// UnicodeDecodeError instead of the load error.
TEST_F(ReliabilityRegressions, ParseErrorInsideACharacterIsValidText) {
  const auto path = dir_ / "split.json";
  {
    std::ofstream out(path, std::ios::binary);
    out << "{\"version\": 3, \"agents\": [\xc3\xa9]}";
  }
  const auto loaded = kova::LocalNetwork::load(path.string());
  ASSERT_FALSE(loaded.has_value());
  const std::string message = loaded.error().display();
  EXPECT_EQ(message.rfind("serialization error: ", 0), 0u) << message;
  EXPECT_NE(message.find("\xEF\xBF\xBD"), std::string::npos) << message;
  EXPECT_EQ(message.find("\xc3'"), std::string::npos) << message;
}

}  // namespace
