#include "py/delivery.h"

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "log/log.h"
#include "py/convert.h"
#include "py/deferred.h"
#include "py/interpreter_guard.h"

namespace vardimont::py {
namespace {

using transport::Event;
using wire::WireMessage;

// Interned strings used for every item; created on first use with the GIL
// held (the GIL serialises that first use) and never freed.
struct Names {
  PyObject* call_soon_threadsafe;
  PyObject* src;
  PyObject* reply_to;
  PyObject* correlation_id;
  PyObject* msg_id;
  PyObject* kind;
  PyObject* peer;
  PyObject* detail;
  PyObject* actor;
};

const Names* names() {
  static Names* made = nullptr;
  if (made != nullptr) return made;
  Names n{};
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&n.call_soon_threadsafe, "call_soon_threadsafe"},
      {&n.src, "src"},
      {&n.reply_to, "reply_to"},
      {&n.correlation_id, "correlation_id"},
      {&n.msg_id, "msg_id"},
      {&n.kind, "kind"},
      {&n.peer, "peer"},
      {&n.detail, "detail"},
      {&n.actor, "actor"},
  };
  for (const Entry& e : entries) {
    *e.slot = PyUnicode_InternFromString(e.text);
    if (*e.slot == nullptr) {
      for (const Entry& d : entries) Py_XDECREF(*d.slot);
      return nullptr;
    }
  }
  made = new Names(n);
  return made;
}

// Sets `key` to a new value; steals `value` (nullptr: an error is pending).
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* optional_text(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return text(*s);
}

PyObject* optional_u64(const std::optional<std::uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

// Text of an object's str(), or nullopt (error cleared) when str() fails.
std::optional<std::string> str_of(PyObject* obj) {
  PyObject* s = PyObject_Str(obj);
  if (s == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, &len);
  std::optional<std::string> out;
  if (utf8 != nullptr) {
    out.emplace(utf8, static_cast<std::size_t>(len));
  } else {
    // Lone surrogates: show them replaced rather than lose the whole text.
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(s, "utf-8", "replace");
    if (bytes != nullptr) {
      char* data = nullptr;
      if (PyBytes_AsStringAndSize(bytes, &data, &len) == 0) out.emplace(data, static_cast<std::size_t>(len));
      Py_DECREF(bytes);
    }
    PyErr_Clear();
  }
  Py_DECREF(s);
  return out;
}

// Outcome of one delivery attempt.
enum class Outcome { Delivered, Failed, Detached };

// Runs `deliver` with the GIL held (it returns false with a Python exception
// pending on failure) and logs `what` + the error text when it fails and the
// filter lets the warning through. The error is rendered while the GIL is
// still held from the failed attempt, so a failure costs no second attach.
template <class Deliver>
Outcome attempt(std::string_view what, Deliver&& deliver) {
  std::string failure;
  {
    PythonAttach attach;
    if (!attach.attached()) return Outcome::Detached;
    drain_deferred();
    if (deliver()) return Outcome::Delivered;
    if (!log::enabled(log::Level::Warn, log::PY_NODE)) {
      PyErr_Clear();
      return Outcome::Failed;
    }
    failure = take_error_text();
  }
  // Written without the GIL: the line may wait for a slow standard error.
  std::string message(what);
  message += failure;
  log::event(log::Level::Warn, log::PY_NODE, message);
  return Outcome::Failed;
}

bool schedule(const Delivery& delivery, const Names& n, PyObject* arg1, PyObject* arg2) {
  PyObject* result = PyObject_CallMethodObjArgs(delivery.event_loop(), n.call_soon_threadsafe,
                                                delivery.callback(), arg1, arg2, nullptr);
  if (result == nullptr) return false;
  Py_DECREF(result);
  return true;
}

bool deliver_message(const Delivery& delivery, const WireMessage& message) {
  const Names* n = names();
  if (n == nullptr) return false;
  PyObject* payload = bytes_to_py(message.payload);
  if (payload == nullptr) return false;
  PyObject* meta = meta_dict(message);
  if (meta == nullptr) {
    Py_DECREF(payload);
    return false;
  }
  const bool ok = schedule(delivery, *n, payload, meta);
  Py_DECREF(meta);
  Py_DECREF(payload);
  return ok;
}

bool deliver_event(const Delivery& delivery, const Event& event) {
  const Names* n = names();
  if (n == nullptr) return false;
  PyObject* dict = event_dict(event);
  if (dict == nullptr) return false;
  const bool ok = schedule(delivery, *n, dict, nullptr);
  Py_DECREF(dict);
  return ok;
}

}  // namespace

Delivery::Delivery(PyObject* event_loop, PyObject* callback) noexcept
    : event_loop_(event_loop), callback_(callback) {
  Py_INCREF(event_loop_);
  Py_INCREF(callback_);
}

Delivery::Delivery(Delivery&& other) noexcept
    : event_loop_(std::exchange(other.event_loop_, nullptr)), callback_(std::exchange(other.callback_, nullptr)) {}

Delivery::~Delivery() {
  if (event_loop_ != nullptr) defer_release(event_loop_);
  if (callback_ != nullptr) defer_release(callback_);
}

PyObject* meta_dict(const WireMessage& message) {
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  if (set_item(dict, n->src, text(message.src)) && set_item(dict, n->reply_to, optional_text(message.reply_to)) &&
      set_item(dict, n->correlation_id, optional_u64(message.correlation_id)) &&
      set_item(dict, n->msg_id, PyLong_FromUnsignedLongLong(message.msg_id))) {
    return dict;
  }
  Py_DECREF(dict);
  return nullptr;
}

PyObject* event_dict(const Event& event) {
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool ok = std::visit(
      [&](const auto& e) -> bool {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, transport::PeerConnected>) {
          return set_item(dict, n->kind, text("peer_connected")) && set_item(dict, n->peer, text(e.peer.to_full()));
        } else if constexpr (std::is_same_v<E, transport::PeerDisconnected>) {
          return set_item(dict, n->kind, text("peer_disconnected")) &&
                 set_item(dict, n->peer, text(e.peer.to_full()));
        } else if constexpr (std::is_same_v<E, transport::PeerError>) {
          return set_item(dict, n->kind, text("error")) && set_item(dict, n->peer, text(e.peer.to_full())) &&
                 set_item(dict, n->detail, text(e.detail)) &&
                 set_item(dict, n->correlation_id, optional_u64(e.correlation_id));
        } else if constexpr (std::is_same_v<E, transport::ReconnectGaveUp>) {
          return set_item(dict, n->kind, text("reconnect_gave_up")) &&
                 set_item(dict, n->peer, text(e.peer.to_full()));
        } else {
          static_assert(std::is_same_v<E, transport::MailboxFull>);
          return set_item(dict, n->kind, text("mailbox_full")) && set_item(dict, n->actor, text(e.actor));
        }
      },
      event);
  if (ok) return dict;
  Py_DECREF(dict);
  return nullptr;
}

std::string take_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string out;
  PyObject* shown_type = value != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : type;
  if (shown_type != nullptr && PyType_Check(shown_type)) {
    PyObject* qualname = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(shown_type));
    std::optional<std::string> name = qualname != nullptr ? str_of(qualname) : std::nullopt;
    Py_XDECREF(qualname);
    PyErr_Clear();
    out = name.value_or("<unknown>");
  } else {
    out = "<unknown>";
  }
  std::optional<std::string> shown = value != nullptr ? str_of(value) : std::nullopt;
  out += shown ? ": " + *shown : std::string(": <exception str() failed>");
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Clear();
  return out;
}

async::awaitable<void> drain_loop(async::Receiver<WireMessage> mailbox, Delivery delivery) {
  try {
    for (;;) {
      std::optional<WireMessage> message = co_await mailbox.recv();
      if (!message) break;
      if (attempt("undeliverable payload, dropping: ", [&] { return deliver_message(delivery, *message); }) ==
          Outcome::Detached) {
        break;
      }
    }
  } catch (const std::exception&) {
    // A task never ends by an exception; the mailbox closes as the frame goes.
  }
}

async::awaitable<void> event_drain_loop(transport::EventReceiver events, Delivery delivery) {
  try {
    for (;;) {
      auto item = co_await events.recv();
      if (std::holds_alternative<async::Closed>(item)) break;
      // Lagged: the receiver goes on with the oldest event it still holds,
      // and says how many its handler will never see.
      if (const auto* lagged = std::get_if<async::Lagged>(&item)) {
        log::event(log::Level::Warn, log::PY_NODE, "event handler fell behind, events skipped",
                   {{"missed", std::to_string(lagged->missed)}});
        continue;
      }
      const Event& event = std::get<Event>(item);
      if (attempt("failed to deliver event to python: ", [&] { return deliver_event(delivery, event); }) ==
          Outcome::Detached) {
        break;
      }
    }
  } catch (const std::exception&) {
  }
}

}  // namespace vardimont::py
