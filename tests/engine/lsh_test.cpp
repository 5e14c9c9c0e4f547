#include "core/lsh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "core/name_hash.hpp"

namespace kova {
namespace {

// Signatures computed independently with xxhash, and those other implementations share: case
// folding (ASCII only), empty texts, delimiters and every shingle mode.
TEST(LshFixtures, AgreesWithSharedFixtures) {
  std::size_t rows = 0;
  for (const char* path : {KOVA_TEST_DATA_DIR "/signature_fixtures.jsonl",
                           KOVA_SHARED_DIR "/fixtures/signatures.jsonl"}) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line); ++rows) {
      const auto j = nlohmann::json::parse(line);
      const std::string mode = j.value("mode", "hybrid"), text = j.at("text"),
                        hex = j.at("signature_hex");
      const std::size_t width = j.value("width", std::size_t{3});
      LshConfig config;
      config.shingle_mode = mode == "characters" ? ShingleMode::characters(width)
                            : mode == "words"    ? ShingleMode::words()
                                                 : ShingleMode::hybrid(width);
      MinHashSignature want;
      for (std::size_t i = 0; i < want.size(); ++i)
        want[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
      EXPECT_EQ(compute_signature(text, config), want) << path << ": " << text.substr(0, 60);
      EXPECT_EQ(detail::compute_signature_baseline(text, config), want) << text.substr(0, 60);
      EXPECT_EQ(detail::compute_signature_avx2(text, config), want) << text.substr(0, 60);
    }
  }
  EXPECT_GE(rows, 50u);
  EXPECT_THROW(ShingleMode::hybrid(0), std::invalid_argument);
  EXPECT_THROW(ShingleMode::characters(0), std::invalid_argument);
}

// Byte values cluster so that lanes often tie, and 0xFF appears in every lane.
TEST(LshCompare, MatchesSimilarityAndUnionAgreeWithBruteForce) {
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    std::array<MinHashSignature, 3> s;
    for (auto& sig : s) {
      for (auto& b : sig)
        b = static_cast<std::uint8_t>(rng() % 4 ? rng() % (round % 2 ? 256 : 3) : 255);
    }
    if (round % 5 == 0) s[1] = s[0];
    unsigned equal = 0;
    MinHashSignature lowest;
    for (std::size_t i = 0; i < kSignatureBytes; ++i) {
      equal += s[0][i] == s[1][i];
      lowest[i] = std::min({s[0][i], s[1][i], s[2][i]});
    }
    EXPECT_EQ(signature_matches(s[0], s[1]), equal);
    EXPECT_EQ(signature_similarity(s[0], s[1]), equal / 64.0);
    EXPECT_EQ(signature_union(s), lowest);
  }
  MinHashSignature all_ff;
  all_ff.fill(0xFF);
  EXPECT_EQ(signature_union({}), all_ff);
}

TEST(NameHashTest, FourSeedsLittleEndian) {
  // Published XXH3-64 result for empty input, seed 0.
  EXPECT_EQ(xxhash_with_seed("", 0), 0x2D06800538D394C2ULL);
  const NameHash h = compute_name_hash("agent");
  for (std::uint64_t seed = 0; seed < 4; ++seed) {
    const std::uint64_t v = xxhash_with_seed("agent", seed);
    for (std::size_t b = 0; b < 8; ++b) {
      EXPECT_EQ(h[8 * seed + b], static_cast<std::uint8_t>(v >> (8 * b)));
    }
  }
  EXPECT_NE(compute_name_hash("agent"), compute_name_hash("Agent"));
}

}  // namespace
}  // namespace kova
