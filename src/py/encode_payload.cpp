// The encoding half of the payload codec (py/convert.h): Python values to
// compact JSON bytes, and the module function encode_payload. Two passes walk
// a value the same way: the writing pass, which only reports failure, and the
// checking pass, which runs only after a failure and raises its exception.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "json/escape.h"
#include "json/writer.h"
#include "py/binder.h"
#include "py/convert.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/method.h"
#include "py/ref.h"

namespace vardimont::py {
namespace {

// The output of the writing pass: one growable byte buffer whose appends are
// inline and whose growth is out of line (realloc, which moves a large block
// without copying it). One buffer is kept between calls, up to
// RETAINED_CAPACITY, so that a steady stream of payloads writes into memory
// that is already mapped; the text is then copied once, into its result.
class JsonBuffer {
 public:
  static constexpr std::size_t INITIAL_CAPACITY = 128;
  static constexpr std::size_t RETAINED_CAPACITY = std::size_t{4} << 20;

  JsonBuffer() = default;
  JsonBuffer(const JsonBuffer&) = delete;
  JsonBuffer& operator=(const JsonBuffer&) = delete;
  ~JsonBuffer() { std::free(data_); }

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

  // Forgets the text; keeps the memory unless it is above RETAINED_CAPACITY.
  void reset() noexcept {
    size_ = 0;
    if (capacity_ > RETAINED_CAPACITY) {
      std::free(data_);
      data_ = nullptr;
      capacity_ = 0;
    }
  }

  // Room for n more bytes after the text; throws std::bad_alloc. Bytes written
  // there become part of the text with commit().
  std::uint8_t* reserve(std::size_t n) {
    if (capacity_ - size_ < n) [[unlikely]] grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }

  void put(char c) {
    *reserve(1) = static_cast<std::uint8_t>(c);
    ++size_;
  }
  void append(const char* p, std::size_t n) {
    std::memcpy(reserve(n), p, n);
    size_ += n;
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    std::size_t capacity = capacity_ == 0 ? INITIAL_CAPACITY : capacity_;
    while (capacity - size_ < n) capacity *= 2;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The kept buffer, empty, for the length of one writing pass. Every pass runs
// with the GIL held and never lets it go, so the GIL guards the kept buffer; a
// pass that starts while another one is in progress (a finaliser that
// encodes, run by a garbage collection during a failure) gets a buffer of its
// own.
class ScratchBuffer {
 public:
  ScratchBuffer() : buffer_(in_use_ ? new JsonBuffer : &kept_) { in_use_ = true; }
  ~ScratchBuffer() {
    buffer_->reset();
    if (buffer_ == &kept_) {
      in_use_ = false;
    } else {
      delete buffer_;
    }
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  JsonBuffer& operator*() const noexcept { return *buffer_; }

 private:
  static inline JsonBuffer kept_;
  static inline bool in_use_ = false;
  JsonBuffer* buffer_;
};

// PyJson: one walk over a borrowed value, shared by the two passes. The
// writing pass (Write = true) appends the JSON text to its buffer and, at the
// first value it cannot encode, only reports failure; the checking pass makes
// the same walk in the same order without writing and raises that value's
// exception. Neither calls any method of the value's classes, so both stop
// at the same value. (The one way Python code can run meanwhile is a garbage
// collection started by an exception object that a failure creates; the walk
// stops at that failure, and write_json copes with a value changed by it.)
template <bool Write>
class PyJson {
 public:
  explicit PyJson(JsonBuffer* out) : out_(out) {}

  bool value(PyObject* v, int depth) {
    PyTypeObject* type = Py_TYPE(v);
    // Exact types first: the common payload is made of nothing else.
    if (type == &PyUnicode_Type) return string(v);
    if (type == &PyLong_Type) return integer(v);
    if (type == &PyFloat_Type) return number(v);
    if (type == &PyDict_Type) return object(v, depth);
    if (type == &PyList_Type) return list(v, depth);
    if (v == Py_None) return literal("null", 4);
    if (type == &PyBool_Type) return v == Py_True ? literal("true", 4) : literal("false", 5);
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
    if constexpr (Write) out_->put(c);
  }

  bool literal(const char* text, std::size_t n) {
    if constexpr (Write) out_->append(text, n);
    return true;
  }

  // The UTF-8 text of a str (or subclass), or nullptr for one holding lone
  // surrogates, whose encoding error is discarded.
  static const char* utf8(PyObject* s, Py_ssize_t* len) {
    const char* text = PyUnicode_AsUTF8AndSize(s, len);
    if (text == nullptr) PyErr_Clear();
    return text;
  }

  // Reserves `room` bytes, lets `lay_out` write at most that many there (it
  // returns the end, as the json::write_* functions do) and keeps them.
  template <class LayOut>
  void write_at_most(std::size_t room, LayOut lay_out) {
    char* const first = reinterpret_cast<char*>(out_->reserve(room));
    out_->commit(static_cast<std::size_t>(lay_out(first) - first));
  }

  void write_text(const char* text, Py_ssize_t len) {
    const auto n = static_cast<std::size_t>(len);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    // Text with no byte to escape is copied in one piece; the rest goes
    // through json::write_string, which owns the escape forms.
    while (i < n && json::ESCAPE.v[bytes[i]] == 0) ++i;
    if (i == n) [[likely]] {
      std::uint8_t* w = out_->reserve(n + 2);
      w[0] = '"';
      std::memcpy(w + 1, text, n);
      w[n + 1] = '"';
      out_->commit(n + 2);
      return;
    }
    write_escaped(std::string_view(text, n));
  }

  [[gnu::noinline]] void write_escaped(std::string_view text) {
    write_at_most(json::string_len(text), [text](char* w) { return json::write_string(w, text); });
  }

  bool string(PyObject* v) {
    // The failed encoding of a lone surrogate creates an exception object,
    // and with it possibly a garbage collection whose finalisers could drop
    // the last reference to `v`; the checking pass still names v's type then.
    [[maybe_unused]] Ref keep;
    if constexpr (!Write) keep = Ref::borrow(v);
    Py_ssize_t len = 0;
    const char* text = utf8(v, &len);
    if (text == nullptr) return not_compatible(v);
    if constexpr (Write) write_text(text, len);
    return true;
  }

  bool integer(PyObject* v) {
    int overflow = 0;
    const long long signed_value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      if constexpr (Write) write_digits(static_cast<std::int64_t>(signed_value));
      return true;
    }
    if (overflow > 0) {
      const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(v);
      if (unsigned_value != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) {
        if constexpr (Write) write_digits(static_cast<std::uint64_t>(unsigned_value));
        return true;
      }
      PyErr_Clear();
    }
    return fail(PyExc_TypeError, "integer out of range: must fit in i64 or u64");
  }

  void write_digits(std::int64_t v) {
    write_at_most(json::MAX_INT_LENGTH, [v](char* w) { return json::write_int(w, v); });
  }
  void write_digits(std::uint64_t v) {
    write_at_most(json::MAX_INT_LENGTH, [v](char* w) { return json::write_uint(w, v); });
  }

  bool number(PyObject* v) {
    // Reads the stored value of a float or subclass; no __float__ is called.
    const double d = PyFloat_AsDouble(v);
    if (!std::isfinite(d)) return fail(PyExc_ValueError, "non-finite floats are not supported");
    if constexpr (Write) {
      write_at_most(json::MAX_DOUBLE_LENGTH,
                    [d](char* w) { return json::write_double(w, d, json::ExponentSign::PlusAndMinus); });
    }
    return true;
  }

  bool enter(int depth) {
    if (depth < MAX_PAYLOAD_DEPTH) return true;
    return fail(PyExc_ValueError, "payload nested too deeply (more than 127 levels)");
  }

  bool list(PyObject* v, int depth) { return array<PyList_Size, PyList_GetItem>(v, depth); }
  bool tuple(PyObject* v, int depth) { return array<PyTuple_Size, PyTuple_GetItem>(v, depth); }

  // A list or a tuple, read through its type's size and item accessors.
  template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
  bool array(PyObject* v, int depth) {
    if (!enter(depth)) return false;
    put('[');
    const Py_ssize_t n = Size(v);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i > 0) put(',');
      if (!value(Item(v, i), depth + 1)) return false;
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
      const bool is_str = PyUnicode_CheckExact(key) || PyUnicode_Check(key);
      const char* text = is_str ? utf8(key, &len) : nullptr;
      if (text == nullptr) return fail(PyExc_TypeError, "payload dict keys must be strings");
      if constexpr (Write) write_text(text, len);
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

  JsonBuffer* out_;
};

// The writing pass into the thread's buffer, then `finish` on the text; on
// failure the checking pass raises. The result of `finish`, or an empty one.
template <class Finish>
auto write_json(PyObject* value, Finish&& finish) -> decltype(finish(std::span<const std::uint8_t>())) {
  {
    ScratchBuffer buffer;
    if (PyJson<true>(&*buffer).value(value, 0)) {
      return finish(std::span<const std::uint8_t>((*buffer).data(), (*buffer).size()));
    }
  }
  if (py_to_json(value)) {
    // Only a finaliser run by the interpreter between the passes could have
    // changed the value; refuse it rather than guess.
    raise(PyExc_ValueError, "payload changed while it was being encoded");
  }
  return {};
}

constexpr const char* ENCODE_PARAMS[] = {"obj"};
constexpr Signature ENCODE_SIGNATURE{"encode_payload()", ENCODE_PARAMS, 1};

PyObject* encode_payload(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_with_argument(ENCODE_SIGNATURE, args, nargs, kwnames, [](PyObject* obj) {
    return write_json(obj, [](std::span<const std::uint8_t> text) {
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(text.data()),
                                       static_cast<Py_ssize_t>(text.size()));
    });
  });
}

}  // namespace

std::optional<std::vector<std::uint8_t>> py_to_json_bytes(PyObject* value) {
  return write_json(value, [](std::span<const std::uint8_t> text) {
    return std::optional<std::vector<std::uint8_t>>(std::in_place, text.begin(), text.end());
  });
}

bool py_to_json(PyObject* value) { return PyJson<false>(nullptr).value(value, 0); }

PyMethodDef ENCODE_PAYLOAD_DEF = {
    "encode_payload", as_cfunction(encode_payload), METH_FASTCALL | METH_KEYWORDS,
    "encode_payload(obj)\n--\n\nSerializes a JSON-compatible Python object into wire payload bytes."};

}  // namespace vardimont::py
