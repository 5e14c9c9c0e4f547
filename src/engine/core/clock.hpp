#pragma once
// The engine's time source, injectable so that tests can move time without sleeping.

#include <atomic>
#include <chrono>
#include <memory>

namespace kova {

// A monotonic instant: nanoseconds since an arbitrary, fixed origin.
using MonoTime = std::chrono::nanoseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual MonoTime monotonic_now() const = 0;
  virtual std::chrono::system_clock::time_point wall_now() const = 0;
};

// The real clocks (steady_clock and system_clock); one shared instance.
std::shared_ptr<const Clock> system_clock();

// A clock that moves only when told; for tests.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(MonoTime start = MonoTime{1'000'000'000'000},
                       std::chrono::system_clock::time_point wall =
                           std::chrono::system_clock::time_point{
                               std::chrono::seconds{1'700'000'000}})
      : mono_(start.count()), wall_(wall.time_since_epoch().count()) {}
  MonoTime monotonic_now() const override { return MonoTime{mono_.load()}; }
  std::chrono::system_clock::time_point wall_now() const override {
    return std::chrono::system_clock::time_point{std::chrono::system_clock::duration{wall_.load()}};
  }
  void advance(std::chrono::nanoseconds d) {
    mono_ += d.count();
    wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(d).count();
  }
  void set_wall(std::chrono::system_clock::time_point t) { wall_ = t.time_since_epoch().count(); }

 private:
  std::atomic<std::int64_t> mono_;
  std::atomic<std::chrono::system_clock::rep> wall_;
};

}  // namespace kova
