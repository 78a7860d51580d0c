// Helpers for method tables: the interpreter stores every C function as a
// PyCFunction and calls it with the signature its flags name.
#pragma once

#include "py/python.h"

namespace vardimont::py {

// METH_FASTCALL | METH_KEYWORDS: the vectorcall layout.
using FastcallKeywords = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// METH_NOARGS: `unused` is always null.
using NoArgs = PyObject* (*)(PyObject* self, PyObject* unused);

inline PyCFunction as_cfunction(FastcallKeywords f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline PyCFunction as_cfunction(NoArgs f) noexcept { return f; }

}  // namespace vardimont::py
