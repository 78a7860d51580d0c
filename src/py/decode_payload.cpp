// The decoding half of the payload codec (py/convert.h): JSON bytes to
// Python values, built while json::parse reads the text, and the module
// function decode_payload.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "json/reader.h"
#include "py/binder.h"
#include "py/convert.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/method.h"
#include "py/ref.h"

namespace vardimont::py {
namespace {

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

constexpr const char* DECODE_PARAMS[] = {"data"};
constexpr Signature DECODE_SIGNATURE{"decode_payload()", DECODE_PARAMS, 1};

PyObject* decode_payload(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_with_argument(DECODE_SIGNATURE, args, nargs, kwnames, [](PyObject* data) -> PyObject* {
    if (!PyBytes_Check(data)) {
      raise_not_instance(data, "bytes");
      add_processing_note("data");
      return nullptr;
    }
    char* bytes = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(data, &bytes, &len) != 0) return nullptr;
    return bytes_to_py(std::span(reinterpret_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(len)));
  });
}

}  // namespace

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

PyMethodDef DECODE_PAYLOAD_DEF = {
    "decode_payload", as_cfunction(decode_payload), METH_FASTCALL | METH_KEYWORDS,
    "decode_payload(data)\n--\n\nDeserializes wire payload bytes into a Python object."};

}  // namespace vardimont::py
