#pragma once
// Tuning records. Only LshConfig and max_disagreement_split reach the engine; the learning
// rules use fixed constants (see network/feedback.cpp).

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/errors.hpp"

namespace kova {

struct ShingleMode {
  enum class Kind { Characters, Words, Hybrid };
  Kind kind = Kind::Hybrid;
  std::size_t width = 3;  // byte window width of the character part; always >= 1

  // Throws std::invalid_argument for a width of 0: such a mode has no meaning.
  static ShingleMode characters(std::size_t width);
  static ShingleMode words() { return {Kind::Words, 0}; }
  static ShingleMode hybrid(std::size_t width);
  bool operator==(const ShingleMode&) const = default;
};

struct LshConfig {
  ShingleMode shingle_mode{};        // Hybrid(3)
  double similarity_threshold = 0.1;
  std::size_t num_hashes = 64;
  bool operator==(const LshConfig&) const = default;
};

struct DiscoveryConfig {
  LshConfig lsh{};  // carries similarity_threshold
  double feedback_relevance_threshold = 0.3;
  double tie_epsilon = 1e-4;
  double tau_floor = 0.001;
  std::uint64_t max_feedback_records = 100;
  double diameter_initial = 0.5;
  double diameter_min = 0.01;
  double diameter_max = 2.0;
  double epsilon_initial = 0.8;
  double epsilon_floor = 0.05;
  double epsilon_decay_rate = 0.99;
  std::uint64_t max_disagreement_split = 3;

  double similarity_threshold() const { return lsh.similarity_threshold; }

  // First failing rule as DiscoveryError::Config; nullopt when valid. Pure.
  std::optional<DiscoveryError> validate() const;
};

struct CircuitBreakerConfig {
  std::uint8_t failure_threshold = 5;
  std::uint64_t recovery_timeout_secs = 60;  // any u64 number of seconds
};

struct MycorrhizalPropagator {
  double propagation_attenuation = 0.3;
  double propagation_threshold = 0.3;
};

}  // namespace kova
