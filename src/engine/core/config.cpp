#include "core/config.hpp"

#include <stdexcept>
#include <string>

#include "core/format.hpp"

namespace kova {

ShingleMode ShingleMode::characters(std::size_t width) {
  if (width == 0) throw std::invalid_argument("shingle window width must be at least 1");
  return {Kind::Characters, width};
}

ShingleMode ShingleMode::hybrid(std::size_t width) {
  if (width == 0) throw std::invalid_argument("shingle window width must be at least 1");
  return {Kind::Hybrid, width};
}

// Every rule is written as the failing comparison so that a NaN, which makes every
// comparison false, passes them all.
std::optional<DiscoveryError> DiscoveryConfig::validate() const {
  auto fail = [](std::string message) { return DiscoveryError::config(std::move(message)); };
  const auto f = [](double v) { return format_shortest(v); };

  if (epsilon_floor <= 0.0) return fail("epsilon_floor must be > 0");
  if (epsilon_floor > epsilon_initial) {
    return fail("epsilon_initial (" + f(epsilon_initial) + ") must be >= epsilon_floor (" +
                f(epsilon_floor) + ")");
  }
  if (epsilon_decay_rate <= 0.0 || epsilon_decay_rate > 1.0) {
    return fail("epsilon_decay_rate must be in (0, 1], got " + f(epsilon_decay_rate));
  }
  if (feedback_relevance_threshold < 0.0 || feedback_relevance_threshold > 1.0) {
    return fail("feedback_relevance_threshold must be in [0, 1], got " +
                f(feedback_relevance_threshold));
  }
  if (tie_epsilon <= 0.0) return fail("tie_epsilon must be > 0, got " + f(tie_epsilon));
  if (tau_floor <= 0.0) return fail("tau_floor must be > 0, got " + f(tau_floor));
  if (diameter_min <= 0.0) return fail("diameter_min must be > 0, got " + f(diameter_min));
  if (diameter_min >= diameter_max) {
    return fail("diameter_max (" + f(diameter_max) + ") must be > diameter_min (" +
                f(diameter_min) + ")");
  }
  if (diameter_initial < diameter_min || diameter_initial > diameter_max) {
    return fail("diameter_initial (" + f(diameter_initial) + ") must be in [" + f(diameter_min) +
                ", " + f(diameter_max) + "]");
  }
  return std::nullopt;
}

}  // namespace kova
