// The one argument binder of the module: the constructor of Node, every method
// with parameters and both module functions bind their arguments here, with
// the same rules and texts. Every parameter may be given by position or by
// keyword; none is positional-only or keyword-only and no function takes
// further arguments. The positional arguments fill the parameters in order,
// then each keyword, in the order given, fills the parameter of its name, then
// every required parameter must have a value. Binding runs no Python code of
// the caller's and adds no note to its errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "py/python.h"
#include "py/ref.h"

namespace vardimont::py {

struct Signature {
  const char* full_name;                // "Node.has_peer()", "encode_payload()"
  std::span<const char* const> params;  // the parameters' names, in order
  std::size_t required;                 // the leading parameters without a default
};

// Binds vectorcall-style arguments (METH_FASTCALL | METH_KEYWORDS):
// args[0, nargs) by position, then args[nargs + i] named by kwnames[i].
// out[i] receives the borrowed value of parameter i, or nullptr when it was
// not given (only a parameter with a default). False with TypeError set on a
// binding error; out is then unspecified.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) noexcept;

// The same for a tuple and an optional dict of keywords (tp_new). The values
// taken from the dict are also held in keep[i], since converting one argument
// can run Python code that changes the caller's dict; the tuple cannot change.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                    Ref* keep) noexcept;

// Argument conversions. Each converts one bound argument; on failure the
// exception keeps its type and message and gets the note
// "while processing '{param}'", and the function returns false. A null
// `obj` (an omitted optional parameter) counts as None.

// A str or subclass as its UTF-8 text, which lives as long as `obj`. Anything
// else is a TypeError ("'{}' object is not an instance of 'str'", or
// "'None' is not an instance of 'str'"); lone surrogates raise the
// interpreter's UnicodeEncodeError.
bool to_text(PyObject* obj, const char* param, std::string_view& out) noexcept;
// None gives nullopt, anything else as to_text.
bool to_optional_text(PyObject* obj, const char* param, std::optional<std::string_view>& out) noexcept;

// None gives nullopt; an int or subclass is read with PyLong_AsUnsignedLongLong,
// any other object first goes through PyNumber_Index (the interpreter's
// TypeError and OverflowError).
bool to_optional_u64(PyObject* obj, const char* param, std::optional<std::uint64_t>& out) noexcept;

// None gives nullopt; anything else through PyLong_AsLong, then refused with
// OverflowError "out of range integral type conversion attempted" outside
// 0..4,294,967,295.
bool to_optional_u32(PyObject* obj, const char* param, std::optional<std::uint32_t>& out) noexcept;

// None gives nullopt; anything else through PyFloat_AsDouble (a float, an
// int, or an object with __float__ or __index__).
bool to_optional_f64(PyObject* obj, const char* param, std::optional<double>& out) noexcept;

}  // namespace vardimont::py
