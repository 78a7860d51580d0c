// The one include of the interpreter's headers for the binding: the Limited
// API of CPython 3.11, so that one abi3 module serves every later version.
#pragma once

#ifndef Py_LIMITED_API
#error "the binding is built against the Limited API only (Py_LIMITED_API=0x030B0000)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
