#pragma once
// A value or an error, for engine operations that report failure as a returned value.

#include <cassert>
#include <utility>
#include <variant>

namespace kova {

template <class T, class E>
class Result {
 public:
  static Result ok(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result err(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  template <std::size_t I, class U>
  Result(std::in_place_index_t<I> tag, U&& u) : v_(tag, std::forward<U>(u)) {}
  std::variant<T, E> v_;
};

}  // namespace kova
