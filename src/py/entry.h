// How every call from the interpreter into the module begins: the references
// that other threads had to drop without the GIL are released first (with the
// GIL the call holds), and the body runs guarded, so that no C++ exception
// unwinds into the interpreter.
#pragma once

#include "py/binder.h"
#include "py/deferred.h"
#include "py/errors.h"
#include "py/python.h"

namespace vardimont::py {

// body() as the result of a call from the interpreter: a new reference, or
// nullptr with an exception set.
template <class Body>
PyObject* entry(Body&& body) noexcept {
  return guarded(
      [&]() -> PyObject* {
        drain_deferred();
        return body();
      },
      static_cast<PyObject*>(nullptr));
}

// The same for a function of one parameter (METH_FASTCALL | METH_KEYWORDS):
// body(argument), the argument bound by `sig` and borrowed.
template <class Body>
PyObject* entry_with_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              Body&& body) noexcept {
  return entry([&]() -> PyObject* {
    PyObject* argument = nullptr;
    if (!bind_arguments(sig, args, nargs, kwnames, &argument)) return nullptr;
    return body(argument);
  });
}

}  // namespace vardimont::py
