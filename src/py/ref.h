// Ref: the owner of one strong reference to a Python object (or of none).
// Destroying, resetting or assigning a Ref releases what it held, so the
// caller must hold the GIL for all of these; a reference that has to be
// dropped without the GIL is taken out with release() and goes to
// defer_release() instead (deferred.h). An empty Ref (moved from, released)
// touches no object and is destroyed without the GIL.
#pragma once

#include <utility>

#include "py/python.h"

namespace vardimont::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference, such as a C API call's result (null allowed).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object (null allowed).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives the reference to the caller; the Ref is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vardimont::py
