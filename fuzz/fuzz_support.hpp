#pragma once
// Shared by the fuzz targets. Each target is built twice: as a libFuzzer executable (clang,
// `make fuzz`) and, with KOVA_FUZZ_REPLAY defined, into the engine test executable, which
// replays the seed and regression corpora under fuzz/corpus/ on every test run.

#include <unicode/utf8.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#ifdef KOVA_FUZZ_REPLAY
// The entry point of target `name`, called by the replaying test.
#define KOVA_FUZZ_TARGET(name) int name(const std::uint8_t* data, std::size_t size)
#else
#define KOVA_FUZZ_TARGET(name) \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
#endif

namespace kova::fuzz {

// A broken property. Under libFuzzer an abort, so the input is saved as a crash; when
// replayed in the tests an exception naming the line, so the test reports it.
[[noreturn]] inline void property_failed(const char* file, int line) {
#ifdef KOVA_FUZZ_REPLAY
  throw std::logic_error(std::string("fuzz property failed at ") + file + ":" +
                         std::to_string(line));
#else
  (void)file;
  (void)line;
  std::abort();
#endif
}

#define KOVA_FUZZ_CHECK(condition) \
  ((condition) ? void() : ::kova::fuzz::property_failed(__FILE__, __LINE__))

// A file of this process under TMPDIR, removed when the process ends: the tests replay every
// corpus on each run and must not leave files behind.
class ScratchFile {
 public:
  explicit ScratchFile(const char* tag) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr ? dir : "/tmp") + "/kova_fuzz_" + tag + "_" +
            std::to_string(getpid()) + ".json";
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { std::remove(path_.c_str()); }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Texts handed to the host (error messages above all) must decode as UTF-8.
inline bool is_valid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  for (std::int64_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

// Reads typed values off the front of the input; past the end every read gives zeros and
// empty strings, so any input is a complete program.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t remaining() const { return size_ - pos_; }

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool boolean() { return (byte() & 1) != 0; }

  // Uniform enough for steering: the value of up to eight bytes folded into [lo, hi].
  template <class T>
  T in_range(T lo, T hi) {
    static_assert(std::is_integral_v<T>);
    using U = std::make_unsigned_t<T>;
    const auto span = static_cast<std::uint64_t>(static_cast<U>(hi) - static_cast<U>(lo));
    std::uint64_t raw = 0;
    for (std::uint64_t left = span; left != 0 && remaining() > 0; left >>= 8) {
      raw = (raw << 8) | byte();
    }
    const std::uint64_t offset = span == UINT64_MAX ? raw : raw % (span + 1);
    return static_cast<T>(static_cast<U>(lo) + static_cast<U>(offset));
  }

  // Any bit pattern: NaNs, infinities and subnormals included.
  double any_double() {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | byte();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  template <class T, std::size_t N>
  const T& pick(const T (&items)[N]) {
    return items[in_range<std::size_t>(0, N - 1)];
  }
  template <class C>
  const auto& pick(const C& items) {
    return items[in_range<std::size_t>(0, items.size() - 1)];
  }

  // Up to `max_len` bytes, ended early by a backslash not followed by another (the scheme of
  // libFuzzer's own helper, so mutations of one string do not shift everything after it).
  std::string string(std::size_t max_len) {
    std::string out;
    while (out.size() < max_len && pos_ < size_) {
      char c = static_cast<char>(data_[pos_++]);
      if (c == '\\' && pos_ < size_) {
        c = static_cast<char>(data_[pos_++]);
        if (c != '\\') break;
      }
      out.push_back(c);
    }
    return out;
  }

  std::string rest() {
    std::string out(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
    pos_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace kova::fuzz
