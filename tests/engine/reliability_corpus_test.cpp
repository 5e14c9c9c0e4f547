// Replays every fuzz target over its corpus (the seeds and each input that once broke the
// engine) and over a fixed set of pseudo-random inputs, so that what fuzzing found stays fixed
// without clang or a fuzzing run.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

int fuzz_cards(const std::uint8_t* data, std::size_t size);
int fuzz_engine_ops(const std::uint8_t* data, std::size_t size);
int fuzz_filter(const std::uint8_t* data, std::size_t size);
int fuzz_query(const std::uint8_t* data, std::size_t size);
int fuzz_state_load(const std::uint8_t* data, std::size_t size);
int fuzz_text(const std::uint8_t* data, std::size_t size);

namespace {

using Target = int (*)(const std::uint8_t*, std::size_t);

struct Case {
  const char* name;
  Target target;
  int random_inputs;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::vector<char> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void run(Target target, const std::vector<char>& bytes, const std::string& label) {
  try {
    target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  } catch (const std::exception& e) {
    ADD_FAILURE() << label << ": " << e.what();
  }
}

class ReliabilityCorpus : public ::testing::TestWithParam<Case> {};

TEST_P(ReliabilityCorpus, ReplaysCorpusAndRandomInputs) {
  const Case& c = GetParam();
  const std::filesystem::path dir = std::filesystem::path(KOVA_FUZZ_CORPUS_DIR) / c.name;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    run(c.target, read_bytes(entry.path()), entry.path().filename().string());
    ++files;
  }
  EXPECT_GT(files, 0u);

  std::mt19937_64 rng(0x6b6f7661);
  for (int i = 0; i < c.random_inputs; ++i) {
    std::vector<char> bytes(rng() % 512);
    for (char& b : bytes) b = static_cast<char>(rng());
    run(c.target, bytes, "random input " + std::to_string(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, ReliabilityCorpus,
                         ::testing::Values(Case{"fuzz_cards", fuzz_cards, 300},
                                           Case{"fuzz_engine_ops", fuzz_engine_ops, 150},
                                           Case{"fuzz_filter", fuzz_filter, 1000},
                                           Case{"fuzz_query", fuzz_query, 300},
                                           Case{"fuzz_state_load", fuzz_state_load, 100},
                                           Case{"fuzz_text", fuzz_text, 300}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
