#include "py/binder.h"

#include <string>

#include "py/errors.h"

namespace vardimont::py {
namespace {

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  const auto count = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs <= count) return true;
  const auto required = static_cast<Py_ssize_t>(sig.required);
  if (required == count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.full_name, count,
                 nargs, was_or_were(nargs));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.full_name, required, count, nargs, was_or_were(nargs));
  }
  return false;
}

// Fills the parameter named `name` with `value`.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  if (PyUnicode_Check(name)) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) continue;
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, sig.params[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const Signature& sig, PyObject** out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
  std::string list;
  std::size_t written = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (written > 0) {
      if (missing > 2) list += ',';
      list += written + 1 == missing ? " and " : " ";
    }
    list += '\'';
    list += sig.params[i];
    list += '\'';
    ++written;
  }
  return list;
}

bool check_required(const Signature& sig, PyObject** out) {
  Py_ssize_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  try {
    const std::string list = quoted_list(sig, out);
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.full_name, missing,
                 missing == 1 ? "argument" : "arguments", list.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) noexcept {
  if (!check_positional_count(sig, nargs)) return false;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr || !bind_keyword(sig, name, args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                    Ref* keep) noexcept {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (!check_positional_count(sig, nargs)) return false;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(sig, name, value, out)) return false;
    }
    for (std::size_t i = static_cast<std::size_t>(nargs); i < sig.params.size(); ++i) {
      keep[i] = Ref::borrow(out[i]);
    }
  }
  return check_required(sig, out);
}

namespace {

bool failed(const char* param) {
  add_processing_note(param);
  return false;
}

}  // namespace

bool to_text(PyObject* obj, const char* param, std::string_view& out) noexcept {
  if (obj == nullptr || !PyUnicode_Check(obj)) {
    raise_not_instance(obj == nullptr ? Py_None : obj, "str");
    return failed(param);
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
  if (text == nullptr) return failed(param);
  out = std::string_view(text, static_cast<std::size_t>(len));
  return true;
}

bool to_optional_text(PyObject* obj, const char* param, std::optional<std::string_view>& out) noexcept {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!to_text(obj, param, text)) return false;
  out = text;
  return true;
}

bool to_optional_u64(PyObject* obj, const char* param, std::optional<std::uint64_t>& out) noexcept {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
  if (!index) return failed(param);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return failed(param);
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool to_optional_u32(PyObject* obj, const char* param, std::optional<std::uint32_t>& out) noexcept {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred() != nullptr) return failed(param);
  if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return failed(param);
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_optional_f64(PyObject* obj, const char* param, std::optional<double>& out) noexcept {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return failed(param);
  out = value;
  return true;
}

}  // namespace vardimont::py
