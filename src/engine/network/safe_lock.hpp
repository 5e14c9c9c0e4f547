#pragma once
// A mutex that remembers that a holder left by an exception ("poisoned"); later locks warn
// with their context and go on with the protected value.

#include <exception>
#include <mutex>
#include <string_view>
#include <utility>

namespace kova {

namespace detail {
void warn_poisoned(std::string_view context);
}

template <class T>
class PoisonableMutex {
 public:
  PoisonableMutex() = default;
  explicit PoisonableMutex(T value) : value_(std::move(value)) {}

  bool poisoned() const { return poisoned_; }

  class Guard {
   public:
    Guard(PoisonableMutex& owner)
        : owner_(&owner), lock_(owner.mutex_), exceptions_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          lock_(std::move(other.lock_)),
          exceptions_(other.exceptions_) {}
    ~Guard() {
      if (owner_ && std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

   private:
    PoisonableMutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  // Direct access without locking, for single-owner phases (construction, load).
  T& unsafe_value() { return value_; }

 private:
  std::mutex mutex_;
  T value_{};
  bool poisoned_ = false;
};

// Locks (blocking); on a poisoned mutex emits WARN "Mutex poisoned, recovering inner value"
// with field `context` and hands out the value unchanged. The poison mark stays.
template <class T>
typename PoisonableMutex<T>::Guard safe_lock(PoisonableMutex<T>& mutex, std::string_view context) {
  typename PoisonableMutex<T>::Guard guard(mutex);
  if (mutex.poisoned()) detail::warn_poisoned(context);
  return guard;
}

}  // namespace kova
