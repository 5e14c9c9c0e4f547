#pragma once
// The engine's error values. Engine operations return these; none is thrown.

#include <cstdint>
#include <string>

namespace kova {

// A registration or configuration the engine refuses.
struct DiscoveryError {
  enum class Kind { Config };
  Kind kind = Kind::Config;
  std::string text;

  static DiscoveryError config(std::string message) { return {Kind::Config, std::move(message)}; }

  std::string display() const;  // "Configuration error: {}"
};

struct NetworkError {
  // Scorer: the file records a scorer that cannot be rebuilt from it (a host scorer, or
  // settings this build does not know); the caller has to supply one.
  enum class Kind { Serialization, Io, UnsupportedVersion, Scorer };
  Kind kind = Kind::Io;
  std::string message;  // Serialization / Io / Scorer payload text
  std::uint32_t found_version = 0;
  std::uint64_t supported_version = 0;
  // The system's errno behind an Io failure, 0 when the failure is not the system's (a file
  // that is not valid UTF-8, a path holding NUL). The host turns it into the matching
  // exception class.
  int os_errno = 0;

  static NetworkError serialization(std::string m) {
    return {Kind::Serialization, std::move(m), 0, 0, 0};
  }
  static NetworkError io(std::string m, int os_errno = 0) {
    return {Kind::Io, std::move(m), 0, 0, os_errno};
  }
  static NetworkError scorer(std::string m) { return {Kind::Scorer, std::move(m), 0, 0, 0}; }
  static NetworkError unsupported_version(std::uint32_t found, std::uint64_t supported) {
    return {Kind::UnsupportedVersion, {}, found, supported, 0};
  }

  // "serialization error: {}", "I/O error: {}",
  // "unsupported snapshot version {} (supported up to {})", "scorer error: {}"
  std::string display() const;
};

}  // namespace kova
