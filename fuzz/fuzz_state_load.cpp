// State-file loader: arbitrary bytes as a file. Whatever loads must save and load again to an
// engine with the same agents.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "network/network.hpp"

namespace {

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  KOVA_FUZZ_CHECK(f != nullptr);
  KOVA_FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
  std::fclose(f);
}

}  // namespace

KOVA_FUZZ_TARGET(fuzz_state_load) {
  static const kova::fuzz::ScratchFile input_file("in");
  static const kova::fuzz::ScratchFile output_file("out");
  const std::string& input = input_file.path();
  const std::string& output = output_file.path();
  write_file(input, data, size);

  auto loaded = kova::LocalNetwork::load(input);
  if (!loaded) {
    const std::string message = loaded.error().display();
    KOVA_FUZZ_CHECK(!message.empty() && kova::fuzz::is_valid_utf8(message));
    return 0;
  }
  const kova::LocalNetwork& first = *loaded.value();
  KOVA_FUZZ_CHECK(!first.save(output).has_value());
  auto again = kova::LocalNetwork::load(output);
  KOVA_FUZZ_CHECK(again.has_value());
  KOVA_FUZZ_CHECK(again.value()->agents() == first.agents());
  for (const std::string& name : first.agents()) {
    const kova::AgentRecord* a = first.find(name);
    const kova::AgentRecord* b = again.value()->find(name);
    KOVA_FUZZ_CHECK(a->capabilities == b->capabilities && a->metadata == b->metadata &&
                    a->endpoint == b->endpoint && a->forwards() == b->forwards() &&
                    a->feedback.size() == b->feedback.size());
  }
  return 0;
}
