#include "core/clock.hpp"

namespace kova {

namespace {

class SystemClock final : public Clock {
 public:
  MonoTime monotonic_now() const override {
    return std::chrono::duration_cast<MonoTime>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  std::chrono::system_clock::time_point wall_now() const override {
    return std::chrono::system_clock::now();
  }
};

}  // namespace

std::shared_ptr<const Clock> system_clock() {
  static const std::shared_ptr<const Clock> instance = std::make_shared<SystemClock>();
  return instance;
}

}  // namespace kova
