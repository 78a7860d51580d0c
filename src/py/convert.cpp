#include "py/convert.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "json/escape.h"
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
    std::string& scratch = scratch_text();
    json::write_string(scratch, text);
    out_->append(scratch.data(), scratch.size());
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

  // Plain decimal: digits, '-' for negative values, no '+' and no exponent.
  template <class Int>
  void write_digits(Int v) {
    char* w = reinterpret_cast<char*>(out_->reserve(20));
    out_->commit(static_cast<std::size_t>(std::to_chars(w, w + 20, v).ptr - w));
  }

  bool number(PyObject* v) {
    // Reads the stored value of a float or subclass; no __float__ is called.
    const double d = PyFloat_AsDouble(v);
    if (!std::isfinite(d)) return fail(PyExc_ValueError, "non-finite floats are not supported");
    if constexpr (Write) {
      std::string& scratch = scratch_text();
      json::write_double(scratch, d, json::ExponentSign::PlusAndMinus);
      out_->append(scratch.data(), scratch.size());
    }
    return true;
  }

  // Room for the writer's float and escaped-string forms; cleared for each
  // use, which ends before any other can begin (GIL held, no Python code).
  static std::string& scratch_text() {
    static std::string text;
    text.clear();
    return text;
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

// ---------------------------------------------------------------------------
// Decoding

// A stack of trivially copyable items that lives on the C++ stack while it
// is small: decoding a small payload allocates nothing but its objects.
template <class T, std::size_t N>
class SmallStack {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallStack() = default;
  SmallStack(const SmallStack&) = delete;
  SmallStack& operator=(const SmallStack&) = delete;
  ~SmallStack() {
    if (data_ != inline_) std::free(data_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  void pop_back() noexcept { --size_; }
  void shrink_to(std::size_t n) noexcept { size_ = n; }

  // False when no memory is left; nothing changes then.
  [[nodiscard]] bool push_back(const T& item) noexcept {
    if (size_ == capacity_ && !grow()) [[unlikely]] return false;
    data_[size_++] = item;
    return true;
  }

 private:
  [[gnu::noinline]] bool grow() noexcept {
    const std::size_t capacity = capacity_ * 2;
    void* grown = data_ == inline_ ? std::malloc(capacity * sizeof(T)) : std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) return false;
    if (data_ == inline_) std::memcpy(grown, inline_, size_ * sizeof(T));
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    return true;
  }

  T inline_[N];
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

// Object keys repeat from one payload to the next: the str objects of short
// keys are kept in a small direct-mapped table (process-wide, used only with
// the GIL held), already hashed, so that a repeated key costs no allocation,
// no UTF-8 decoding and no hashing. Bounded: each slot holds one key, and a
// new key takes over its slot.
class KeyCache {
 public:
  static constexpr std::size_t SLOTS = 1024;
  static constexpr std::size_t MAX_KEY_LEN = 64;

  // A new reference to a str of `key`, or nullptr with an exception set.
  PyObject* get(std::string_view key) {
    if (key.size() > MAX_KEY_LEN) return new_str(key);
    Slot& slot = slots_[hash(key) & (SLOTS - 1)];
    if (slot.str != nullptr && slot.len == key.size() && std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
      return Py_NewRef(slot.str);
    }
    PyObject* str = new_str(key);
    if (str == nullptr) return nullptr;
    if (PyObject_Hash(str) == -1) {  // cannot fail for a str; if it did, just don't keep it
      PyErr_Clear();
      return str;
    }
    Py_XDECREF(slot.str);
    slot.str = Py_NewRef(str);
    slot.len = static_cast<std::uint8_t>(key.size());
    std::memcpy(slot.bytes, key.data(), key.size());
    return str;
  }

  static PyObject* new_str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  }

 private:
  struct Slot {
    PyObject* str;
    std::uint8_t len;
    char bytes[MAX_KEY_LEN];
  };

  static std::size_t hash(std::string_view key) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15u ^ key.size();
    for (unsigned char c : key) h = (h ^ c) * 0x100000001B3u;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }

  Slot slots_[SLOTS]{};
};

KeyCache& key_cache() {
  static KeyCache* cache = new KeyCache;  // never destroyed: its str objects outlive no interpreter check
  return *cache;
}

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
  bool string_value(std::string_view s) { return push(KeyCache::new_str(s)); }

  bool begin_array() { return open(nullptr); }
  bool end_array() {
    const std::size_t start = frames_.back().start;
    frames_.pop_back();
    const std::size_t n = values_.size() - start;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return python_failed();
    for (std::size_t i = 0; i < n; ++i) PyList_SetItem(list, static_cast<Py_ssize_t>(i), values_[start + i]);
    values_.shrink_to(start);
    return push(list);
  }

  bool begin_object() {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return python_failed();
    return open(dict);
  }
  bool key(std::string_view k) {
    PyObject* key = key_cache().get(k);
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
    std::size_t start;  // arrays: where the items begin on values_
    PyObject* dict;     // objects: the dict being filled, else null
    PyObject* key;      // objects: the key of the entry being read
  };

  bool open(PyObject* dict) {
    if (frames_.push_back(Frame{values_.size(), dict, nullptr})) return true;
    Py_XDECREF(dict);
    PyErr_NoMemory();
    return python_failed();
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
    if (values_.push_back(v)) return true;
    Py_DECREF(v);
    PyErr_NoMemory();
    return python_failed();
  }

  // The interpreter refused to build a value: its exception's text becomes
  // the parse error's message, and the exception itself is discarded.
  bool python_failed() {
    error_ = take_exception_message();
    return false;
  }

  SmallStack<PyObject*, 32> values_;  // owned
  SmallStack<Frame, 16> frames_;      // owned dicts and keys
  PyObject* result_ = nullptr;        // owned
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
        return write_json(obj, [](std::span<const std::uint8_t> text) {
          return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(text.data()),
                                           static_cast<Py_ssize_t>(text.size()));
        });
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
  return write_json(value, [](std::span<const std::uint8_t> text) {
    return std::optional<std::vector<std::uint8_t>>(std::in_place, text.begin(), text.end());
  });
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
