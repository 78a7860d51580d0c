// Result<T, E>: the value of an operation that can fail with a typed error.
// Success costs nothing beyond the value itself; no exceptions are used for
// expected failures anywhere in the native core.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace vardimont {

template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
  return Err<std::decay_t<E>>{std::forward<E>(e)};
}

struct Ok {};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT(implicit)

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation with no value on success.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Ok) {}  // NOLINT(implicit)
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT(implicit)

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<std::monostate, E> v_;
};

}  // namespace vardimont
