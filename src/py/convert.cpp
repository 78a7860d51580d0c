#include "py/convert.h"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "json/reader.h"
#include "json/writer.h"
#include "py/binder.h"
#include "py/deferred.h"
#include "py/errors.h"
#include "py/method.h"
#include "py/ref.h"

namespace vardimont::py {
namespace {

// ---------------------------------------------------------------------------
// Encoding

// PyJson: one walk over a borrowed value, shared by the two passes. The
// writing pass (Write = true) appends the JSON text to `out` and, at the first
// value it cannot encode, only reports failure; the checking pass makes the
// same walk in the same order without writing and raises that value's
// exception. Neither runs Python code, so both stop at the same value.
template <bool Write>
class PyJson {
 public:
  explicit PyJson(std::vector<std::uint8_t>* out) : out_(out) {}

  bool value(PyObject* v, int depth) {
    PyTypeObject* type = Py_TYPE(v);
    // Exact types first: the common payload is made of nothing else.
    if (type == &PyUnicode_Type) return string(v);
    if (type == &PyLong_Type) return integer(v);
    if (type == &PyFloat_Type) return number(v);
    if (type == &PyDict_Type) return object(v, depth);
    if (type == &PyList_Type) return list(v, depth);
    if (v == Py_None) return literal("null");
    if (type == &PyBool_Type) return literal(v == Py_True ? "true" : "false");
    if (type == &PyTuple_Type) return tuple(v, depth);
    // Subclasses, in the order of the value mapping (bool has none).
    if (PyUnicode_Check(v)) return string(v);
    if (PyLong_Check(v)) return integer(v);
    if (PyFloat_Check(v)) return number(v);
    if (PyList_Check(v)) return list(v, depth);
    if (PyTuple_Check(v)) return tuple(v, depth);
    if (PyDict_Check(v)) return object(v, depth);
    return not_compatible(v);
  }

 private:
  void put(char c) {
    if constexpr (Write) out_->push_back(static_cast<std::uint8_t>(c));
  }

  bool literal(std::string_view text) {
    if constexpr (Write) out_->insert(out_->end(), text.begin(), text.end());
    return true;
  }

  // The UTF-8 text of a str (or subclass), or nullptr for one holding lone
  // surrogates, whose encoding error is discarded.
  static const char* utf8(PyObject* s, Py_ssize_t* len) {
    const char* text = PyUnicode_AsUTF8AndSize(s, len);
    if (text == nullptr) PyErr_Clear();
    return text;
  }

  bool string(PyObject* v) {
    Py_ssize_t len = 0;
    const char* text = utf8(v, &len);
    if (text == nullptr) return not_compatible(v);
    if constexpr (Write) json::write_string(*out_, std::string_view(text, static_cast<std::size_t>(len)));
    return true;
  }

  bool integer(PyObject* v) {
    int overflow = 0;
    const long long signed_value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      if constexpr (Write) json::write_int(*out_, signed_value);
      return true;
    }
    if (overflow > 0) {
      const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(v);
      if (unsigned_value != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) {
        if constexpr (Write) json::write_uint(*out_, unsigned_value);
        return true;
      }
      PyErr_Clear();
    }
    return fail(PyExc_TypeError, "integer out of range: must fit in i64 or u64");
  }

  bool number(PyObject* v) {
    // Reads the stored value of a float or subclass; no __float__ is called.
    const double d = PyFloat_AsDouble(v);
    if (!std::isfinite(d)) return fail(PyExc_ValueError, "non-finite floats are not supported");
    if constexpr (Write) json::write_double(*out_, d, json::ExponentSign::PlusAndMinus);
    return true;
  }

  bool enter(int depth) {
    if (depth < MAX_PAYLOAD_DEPTH) return true;
    return fail(PyExc_ValueError, "payload nested too deeply (more than 127 levels)");
  }

  bool list(PyObject* v, int depth) {
    if (!enter(depth)) return false;
    put('[');
    const Py_ssize_t n = PyList_Size(v);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i > 0) put(',');
      if (!value(PyList_GetItem(v, i), depth + 1)) return false;
    }
    put(']');
    return true;
  }

  bool tuple(PyObject* v, int depth) {
    if (!enter(depth)) return false;
    put('[');
    const Py_ssize_t n = PyTuple_Size(v);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i > 0) put(',');
      if (!value(PyTuple_GetItem(v, i), depth + 1)) return false;
    }
    put(']');
    return true;
  }

  bool object(PyObject* v, int depth) {
    if (!enter(depth)) return false;
    put('{');
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    bool first = true;
    while (PyDict_Next(v, &pos, &key, &item)) {
      if (!first) put(',');
      first = false;
      Py_ssize_t len = 0;
      const char* text = PyUnicode_Check(key) ? utf8(key, &len) : nullptr;
      if (text == nullptr) return fail(PyExc_TypeError, "payload dict keys must be strings");
      if constexpr (Write) json::write_string(*out_, std::string_view(text, static_cast<std::size_t>(len)));
      put(':');
      if (!value(item, depth + 1)) return false;
    }
    put('}');
    return true;
  }

  bool fail(PyObject* type, const char* text) {
    if constexpr (!Write) raise(type, text);
    return false;
  }

  bool not_compatible(PyObject* v) {
    if constexpr (!Write) {
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(v)));
      if (name) PyErr_Format(PyExc_TypeError, "value of type %U is not JSON-compatible", name.get());
    }
    return false;
  }

  std::vector<std::uint8_t>* out_;
};

// ---------------------------------------------------------------------------
// Decoding

// PyJsonVisitor: the reader's sink that builds the Python value while the
// text is parsed. Finished values wait on a stack until their array closes
// (the list is then made at its final size); an object's dict exists from its
// '{' and takes each entry as soon as its value is complete, so a repeated key
// keeps its first position and its last value. Everything still held when a
// parse fails is released with the visitor.
class PyJsonVisitor {
 public:
  PyJsonVisitor() = default;
  PyJsonVisitor(const PyJsonVisitor&) = delete;
  PyJsonVisitor& operator=(const PyJsonVisitor&) = delete;
  ~PyJsonVisitor() {
    for (PyObject* v : values_) Py_DECREF(v);
    for (Frame& f : frames_) {
      Py_XDECREF(f.dict);
      Py_XDECREF(f.key);
    }
    Py_XDECREF(result_);
  }

  bool null_value() { return push(Py_NewRef(Py_None)); }
  bool bool_value(bool b) { return push(Py_NewRef(b ? Py_True : Py_False)); }
  bool int_value(std::int64_t v) { return push(PyLong_FromLongLong(v)); }
  bool uint_value(std::uint64_t v) { return push(PyLong_FromUnsignedLongLong(v)); }
  bool double_value(double v) { return push(PyFloat_FromDouble(v)); }
  bool string_value(std::string_view s) { return push(new_str(s)); }

  bool begin_array() { return open(nullptr); }
  bool end_array() {
    const std::size_t start = frames_.back().start;
    frames_.pop_back();
    const std::size_t n = values_.size() - start;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return python_failed();
    for (std::size_t i = 0; i < n; ++i) PyList_SetItem(list, static_cast<Py_ssize_t>(i), values_[start + i]);
    values_.resize(start);
    return push(list);
  }

  bool begin_object() {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return python_failed();
    return open(dict);
  }
  bool key(std::string_view k) {
    PyObject* key = new_str(k);
    if (key == nullptr) return python_failed();
    Frame& top = frames_.back();
    Py_XDECREF(top.key);
    top.key = key;
    return true;
  }
  bool end_object() {
    PyObject* dict = frames_.back().dict;
    Py_XDECREF(frames_.back().key);
    frames_.pop_back();
    return push(dict);
  }

  std::string error_message() { return error_; }

  // The finished value (a new reference); the visitor holds nothing after.
  PyObject* take_result() noexcept { return std::exchange(result_, nullptr); }

 private:
  struct Frame {
    std::size_t start;     // arrays: where the items begin on values_
    PyObject* dict;        // objects: the dict being filled, else null
    PyObject* key;         // objects: the key of the entry being read
  };

  static PyObject* new_str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  }

  bool open(PyObject* dict) {
    try {
      frames_.push_back(Frame{values_.size(), dict, nullptr});
    } catch (const std::bad_alloc&) {
      Py_XDECREF(dict);
      PyErr_NoMemory();
      return python_failed();
    }
    return true;
  }

  // Takes over `v` (a new reference, or null after a failed C API call).
  bool push(PyObject* v) {
    if (v == nullptr) return python_failed();
    if (frames_.empty()) {
      result_ = v;
      return true;
    }
    Frame& top = frames_.back();
    if (top.dict != nullptr) {
      const int rc = PyDict_SetItem(top.dict, top.key, v);
      Py_DECREF(v);
      Py_CLEAR(top.key);
      return rc == 0 || python_failed();
    }
    try {
      values_.push_back(v);
    } catch (const std::bad_alloc&) {
      Py_DECREF(v);
      PyErr_NoMemory();
      return python_failed();
    }
    return true;
  }

  // The interpreter refused to build a value: its exception's text becomes
  // the parse error's message, and the exception itself is discarded.
  bool python_failed() {
    error_ = take_exception_message();
    return false;
  }

  std::vector<PyObject*> values_;  // owned
  std::vector<Frame> frames_;      // owned dicts and keys
  PyObject* result_ = nullptr;     // owned
  std::string error_;
};

// ---------------------------------------------------------------------------
// Module functions

constexpr const char* ENCODE_PARAMS[] = {"obj"};
constexpr Signature ENCODE_SIGNATURE{"encode_payload()", ENCODE_PARAMS, 1};
constexpr const char* DECODE_PARAMS[] = {"data"};
constexpr Signature DECODE_SIGNATURE{"decode_payload()", DECODE_PARAMS, 1};

PyObject* encode_payload(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(
      [&]() -> PyObject* {
        drain_deferred();
        PyObject* obj = nullptr;
        if (!bind_arguments(ENCODE_SIGNATURE, args, nargs, kwnames, &obj)) return nullptr;
        std::optional<std::vector<std::uint8_t>> text = py_to_json_bytes(obj);
        if (!text) return nullptr;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(text->data()),
                                         static_cast<Py_ssize_t>(text->size()));
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* decode_payload(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(
      [&]() -> PyObject* {
        drain_deferred();
        PyObject* data = nullptr;
        if (!bind_arguments(DECODE_SIGNATURE, args, nargs, kwnames, &data)) return nullptr;
        if (!PyBytes_Check(data)) {
          raise_not_instance(data, "bytes");
          add_processing_note("data");
          return nullptr;
        }
        char* bytes = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(data, &bytes, &len) != 0) return nullptr;
        return bytes_to_py(std::span(reinterpret_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(len)));
      },
      static_cast<PyObject*>(nullptr));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> py_to_json_bytes(PyObject* value) {
  std::vector<std::uint8_t> out;
  out.reserve(128);
  if (PyJson<true>(&out).value(value, 0)) return out;
  out = {};
  if (py_to_json(value)) {
    // Only a finaliser run by the interpreter between the passes could have
    // changed the value; refuse it rather than guess.
    raise(PyExc_ValueError, "payload changed while it was being encoded");
  }
  return std::nullopt;
}

bool py_to_json(PyObject* value) { return PyJson<false>(nullptr).value(value, 0); }

PyObject* bytes_to_py(std::span<const std::uint8_t> data) {
  if (data.empty()) Py_RETURN_NONE;
  PyJsonVisitor visitor;
  Result<void, json::ParseError> parsed = json::parse(data, visitor, json::Trailing::Ignore);
  if (!parsed) {
    const std::string text = parsed.error().to_string();
    PyErr_Format(PyExc_ValueError, "payload deserialization failed: %s", text.c_str());
    return nullptr;
  }
  return visitor.take_result();
}

PyMethodDef ENCODE_PAYLOAD_DEF = {
    "encode_payload", as_cfunction(encode_payload), METH_FASTCALL | METH_KEYWORDS,
    "encode_payload(obj)\n--\n\nSerializes a JSON-compatible Python object into wire payload bytes."};

PyMethodDef DECODE_PAYLOAD_DEF = {
    "decode_payload", as_cfunction(decode_payload), METH_FASTCALL | METH_KEYWORDS,
    "decode_payload(data)\n--\n\nDeserializes wire payload bytes into a Python object."};

}  // namespace vardimont::py
