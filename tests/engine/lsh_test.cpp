#include "core/lsh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "core/name_hash.hpp"

namespace kova {
namespace {

std::string to_hex(const MinHashSignature& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : s) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

struct FixtureRow {
  LshConfig config;
  std::string text;
  std::string hex;
};

std::vector<FixtureRow> read_rows(const std::filesystem::path& path) {
  std::vector<FixtureRow> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const auto j = nlohmann::json::parse(line);
    FixtureRow row;
    const std::string mode = j.value("mode", std::string("hybrid"));
    const std::size_t width = j.value("width", std::size_t{3});
    row.config.shingle_mode = mode == "characters" ? ShingleMode::characters(width)
                              : mode == "words"    ? ShingleMode::words()
                                                   : ShingleMode::hybrid(width);
    row.text = j.at("text").get<std::string>();
    row.hex = j.at("signature_hex").get<std::string>();
    rows.push_back(std::move(row));
  }
  return rows;
}

// Signatures computed independently with xxhash, and those other implementations share.
TEST(LshFixtures, AgreesWithSharedFixtures) {
  const std::filesystem::path ours(KOVA_TEST_DATA_DIR "/signature_fixtures.jsonl");
  const std::filesystem::path shared(KOVA_SHARED_DIR "/fixtures/signatures.jsonl");
  ASSERT_GE(read_rows(ours).size(), 50u);
  for (const auto& path : {ours, shared}) {
    if (!std::filesystem::exists(path)) continue;
    for (const FixtureRow& row : read_rows(path)) {
      EXPECT_EQ(to_hex(compute_signature(row.text, row.config)), row.hex)
          << "text of " << row.text.size() << " bytes: " << row.text.substr(0, 60);
      EXPECT_EQ(to_hex(detail::compute_signature_baseline(row.text, row.config)), row.hex);
    }
  }
}

TEST(LshSignature, AsciiOnlyCaseFoldingEmptyTextAndZeroWidth) {
  const LshConfig cfg;
  EXPECT_EQ(compute_signature("Legal Translation", cfg),
            compute_signature("legal translation", cfg));
  // A with diaeresis, upper and lower case: different bytes, different shingles.
  EXPECT_NE(compute_signature("\xC3\x84", cfg), compute_signature("\xC3\xA4", cfg));
  // Empty texts have a definite signature of their own.
  EXPECT_EQ(signature_similarity(compute_signature("", cfg), compute_signature("", cfg)), 1.0);
  EXPECT_LT(signature_similarity(compute_signature("", cfg), compute_signature("a", cfg)), 1.0);
  EXPECT_THROW(ShingleMode::hybrid(0), std::invalid_argument);
  EXPECT_THROW(ShingleMode::characters(0), std::invalid_argument);
}

TEST(LshSignature, LineFeedJoinsWordsOtherDelimitersSplit) {
  LshConfig words;
  words.shingle_mode = ShingleMode::words();
  const MinHashSignature split = compute_signature("translate legal", words);
  for (const char* t : {"translate\tlegal", "translate,legal", "translate.legal", "translate-legal",
                        "translate_legal", "translate , legal"}) {
    EXPECT_EQ(compute_signature(t, words), split) << t;
  }
  EXPECT_NE(compute_signature("translate\nlegal", words), split);
  EXPECT_NE(compute_signature("translate\rlegal", words), split);
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
