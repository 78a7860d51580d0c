// Raising the binding's exceptions. Every function that fails at the Python
// boundary sets exactly one exception and returns its error marker; these
// helpers set the fixed texts and return nullptr so that a caller can write
// `return raise_...(...)`.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "py/python.h"

namespace vardimont::py {

// Sets `type` with `text`; returns nullptr.
std::nullptr_t raise(PyObject* type, const char* text) noexcept;
std::nullptr_t raise(PyObject* type, std::string_view text) noexcept;

// TypeError "'{}' object is not an instance of '{}'" with the qualified name
// of obj's type, or "'None' is not an instance of '{}'" for None.
std::nullptr_t raise_not_instance(PyObject* obj, const char* expected) noexcept;

// Adds the note "while processing '{param}'" to the exception being raised
// (through the exception's add_note), leaving its type, message and traceback
// as they were. Should add_note itself fail, the exception stays without the
// note. An exception must be set.
void add_processing_note(const char* param) noexcept;

// The class pyo3_runtime.PanicException (derived from BaseException), created
// the first time it is needed and kept for the life of the process. Borrowed;
// null with an exception set if it could not be created.
PyObject* panic_exception_type() noexcept;

// Raises PanicException with `text` as its single argument; returns nullptr.
std::nullptr_t raise_panic(std::string_view text) noexcept;

// Takes the exception being raised and returns its str(), or
// "<exception str() failed>"; no exception is set afterwards.
std::string take_exception_message() noexcept;

// Takes the pending Python exception and renders it as "{type qualname}: {str}"
// (": <exception str() failed>" when str() raises). Clears every error it
// meets. Needs a pending exception.
std::string take_error_text();

// Runs `body`, turning a C++ exception that escapes it into a Python one
// (MemoryError for std::bad_alloc, PanicException for anything else) and the
// result into `failure`. Every entry point from the interpreter goes through
// it, so that no C++ exception ever unwinds into the interpreter.
template <class F, class R = std::invoke_result_t<F&>>
R guarded(F&& body, R failure) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown native exception");
  }
  return failure;
}

}  // namespace vardimont::py
