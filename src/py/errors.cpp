#include "py/errors.h"

#include <optional>
#include <string>
#include <utility>

#include "py/ref.h"

// PyErr_Fetch and PyErr_NormalizeException are the only way the 3.11 Limited
// API offers to take an exception apart; newer headers mark them deprecated.
#define VARDIMONT_ALLOW_DEPRECATED_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define VARDIMONT_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")

namespace vardimont::py {
namespace {

// A fetched exception, normalised: type, instance, traceback.
struct FetchedException {
  Ref type;
  Ref value;
  Ref traceback;

  static FetchedException fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    VARDIMONT_ALLOW_DEPRECATED_BEGIN
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    VARDIMONT_ALLOW_DEPRECATED_END
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    return FetchedException{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
  }
  // Sets it as the current exception again; ownership goes with it.
  void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace

std::nullptr_t raise(PyObject* type, const char* text) noexcept {
  PyErr_SetString(type, text);
  return nullptr;
}

std::nullptr_t raise(PyObject* type, std::string_view text) noexcept {
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

std::nullptr_t raise_not_instance(PyObject* obj, const char* expected) noexcept {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return nullptr;
  }
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
  return nullptr;
}

void add_processing_note(const char* param) noexcept {
  FetchedException e = FetchedException::fetch();
  if (e.value) {
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
    Ref add_note = note ? Ref::steal(PyObject_GetAttrString(e.value.get(), "add_note")) : Ref();
    Ref result = add_note ? Ref::steal(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr)) : Ref();
    if (!result) PyErr_Clear();
  }
  e.restore();
}

PyObject* panic_exception_type() noexcept {
  // Created and read only with the GIL held.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the native core refuses to go on with an operation, such as\n"
        "converting an interval that no duration can hold. It derives from\n"
        "BaseException, so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

std::nullptr_t raise_panic(std::string_view text) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  return raise(type, text);
}

std::string take_exception_message() noexcept {
  FetchedException e = FetchedException::fetch();
  std::string text = "<exception str() failed>";
  if (e.value) {
    Ref str = Ref::steal(PyObject_Str(e.value.get()));
    Py_ssize_t len = 0;
    const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &len) : nullptr;
    if (utf8 != nullptr) {
      try {
        text.assign(utf8, static_cast<std::size_t>(len));
      } catch (...) {
      }
    }
  }
  PyErr_Clear();
  return text;
}

namespace {

// Text of an object's str(), or nullopt (error cleared) when str() fails.
std::optional<std::string> str_of(PyObject* obj) {
  Ref s = Ref::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &len)) return std::string(utf8, static_cast<std::size_t>(len));
  // Lone surrogates: show them replaced rather than lose the whole text.
  PyErr_Clear();
  std::optional<std::string> out;
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "replace"));
  char* data = nullptr;
  if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &len) == 0) out.emplace(data, static_cast<std::size_t>(len));
  PyErr_Clear();
  return out;
}

}  // namespace

std::string take_error_text() {
  FetchedException e = FetchedException::fetch();
  std::string out = "<unknown>";
  PyObject* shown_type = e.value ? reinterpret_cast<PyObject*>(Py_TYPE(e.value.get())) : e.type.get();
  if (shown_type != nullptr && PyType_Check(shown_type)) {
    Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(shown_type)));
    std::optional<std::string> name = qualname ? str_of(qualname.get()) : std::nullopt;
    PyErr_Clear();
    if (name) out = std::move(*name);
  }
  std::optional<std::string> shown = e.value ? str_of(e.value.get()) : std::nullopt;
  out += shown ? ": " + *shown : std::string(": <exception str() failed>");
  PyErr_Clear();
  return out;
}

}  // namespace vardimont::py
