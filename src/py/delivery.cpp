#include "py/delivery.h"

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "log/log.h"
#include "py/convert.h"
#include "py/deferred.h"
#include "py/errors.h"
#include "py/interpreter_guard.h"
#include "py/ref.h"

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
  Ref made_names[std::size(entries)];  // handed to the table once all exist
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    made_names[i] = Ref::steal(PyUnicode_InternFromString(entries[i].text));
    if (!made_names[i]) return nullptr;
  }
  for (std::size_t i = 0; i < std::size(entries); ++i) *entries[i].slot = made_names[i].release();
  made = new Names(n);
  return made;
}

// Sets `key` to a new value; steals `value` (empty: an error is pending).
bool set_item(PyObject* dict, PyObject* key, Ref value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

Ref text(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref optional_text(const std::optional<std::string>& s) {
  if (!s) return Ref::borrow(Py_None);
  return text(*s);
}

Ref optional_u64(const std::optional<std::uint64_t>& v) {
  if (!v) return Ref::borrow(Py_None);
  return Ref::steal(PyLong_FromUnsignedLongLong(*v));
}

bool schedule(const Delivery& delivery, const Names& n, PyObject* arg1, PyObject* arg2) {
  return static_cast<bool>(Ref::steal(PyObject_CallMethodObjArgs(delivery.event_loop(), n.call_soon_threadsafe,
                                                                 delivery.callback(), arg1, arg2, nullptr)));
}

bool deliver_message(const Delivery& delivery, const WireMessage& message) {
  const Names* n = names();
  if (n == nullptr) return false;
  Ref payload = Ref::steal(bytes_to_py(message.payload));
  if (!payload) return false;
  Ref meta = Ref::steal(meta_dict(message));
  return meta && schedule(delivery, *n, payload.get(), meta.get());
}

bool deliver_event(const Delivery& delivery, const Event& event) {
  const Names* n = names();
  if (n == nullptr) return false;
  Ref dict = Ref::steal(event_dict(event));
  return dict && schedule(delivery, *n, dict.get(), nullptr);
}

// How much one attach delivers at most: the GIL is held across the batch,
// which holds back the loop threads for as long. A message batch also stops
// taking messages once their payloads reach MAX_DELIVERY_BATCH_BYTES (it
// always takes one), so that large payloads are decoded one hold at a time.
constexpr std::size_t MAX_DELIVERY_BATCH = 64;
constexpr std::size_t MAX_DELIVERY_BATCH_BYTES = 64 * 1024;

// Delivers `batch` in order under one GIL hold: `deliver(item)` returns false
// with a Python exception pending when an item fails. A failed item is
// rendered while the GIL is still held and logged as `what` + its error text
// once the GIL is given back (a log line may wait for a slow standard error).
// Nothing more is delivered once the node is stopped: a node stopped while a
// batch waits for the GIL, or by the code that one delivery runs, schedules
// no callback after stop() has returned. False when the interpreter can no
// longer be entered or the node is stopped: the task ends.
template <class Item, class Deliver>
bool deliver_all(std::string_view what, const Delivery& delivery, const std::vector<Item>& batch,
                 Deliver&& deliver) {
  std::vector<std::string> failures;
  bool go_on = true;
  {
    PythonAttach attach;
    if (!attach.attached()) return false;
    drain_deferred();
    const bool log_failures = log::enabled(log::Level::Warn, log::PY_NODE);
    for (const Item& item : batch) {
      // Looked at under the GIL, which stop() holds: a stop either came
      // before this item, or comes after it has been handed over.
      if (delivery.node_stopped()) {
        go_on = false;
        break;
      }
      if (deliver(item)) continue;
      if (log_failures) {
        failures.push_back(take_error_text());
      } else {
        PyErr_Clear();
      }
    }
  }
  for (const std::string& failure : failures) {
    std::string message(what);
    message += failure;
    log::event(log::Level::Warn, log::PY_NODE, message);
  }
  return go_on;
}

}  // namespace

Delivery::Delivery(PyObject* event_loop, PyObject* callback,
                   std::shared_ptr<const std::atomic<bool>> node_stopped) noexcept
    : event_loop_(Ref::borrow(event_loop)), callback_(Ref::borrow(callback)), node_stopped_(std::move(node_stopped)) {}

Delivery::~Delivery() {
  // Handed over before the members go, which then hold nothing and need no GIL.
  defer_release(std::move(event_loop_));
  defer_release(std::move(callback_));
}

PyObject* meta_dict(const WireMessage& message) {
  const Names* n = names();
  if (n == nullptr) return nullptr;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  const bool ok = set_item(dict.get(), n->src, text(message.src)) &&
                  set_item(dict.get(), n->reply_to, optional_text(message.reply_to)) &&
                  set_item(dict.get(), n->correlation_id, optional_u64(message.correlation_id)) &&
                  set_item(dict.get(), n->msg_id, Ref::steal(PyLong_FromUnsignedLongLong(message.msg_id)));
  return ok ? dict.release() : nullptr;
}

PyObject* event_dict(const Event& event) {
  const Names* n = names();
  if (n == nullptr) return nullptr;
  Ref owned = Ref::steal(PyDict_New());
  if (!owned) return nullptr;
  PyObject* const dict = owned.get();
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
  return ok ? owned.release() : nullptr;
}

async::awaitable<void> drain_loop(async::Receiver<WireMessage> mailbox, Delivery delivery) {
  try {
    std::vector<WireMessage> batch;
    for (;;) {
      std::optional<WireMessage> first = co_await mailbox.recv();
      if (!first) break;
      std::size_t bytes = first->payload.size();
      batch.push_back(std::move(*first));
      while (batch.size() < MAX_DELIVERY_BATCH && bytes < MAX_DELIVERY_BATCH_BYTES) {
        std::optional<WireMessage> next = mailbox.try_recv();
        if (!next) break;
        bytes += next->payload.size();
        batch.push_back(std::move(*next));
      }
      const bool delivered = deliver_all("undeliverable payload, dropping: ", delivery, batch,
                                         [&](const WireMessage& m) { return deliver_message(delivery, m); });
      batch.clear();  // the payloads are not held while the task waits
      if (!delivered) break;
    }
  } catch (const std::exception&) {
    // A task never ends by an exception; the mailbox closes as the frame goes.
  }
}

async::awaitable<void> event_drain_loop(transport::EventReceiver events, Delivery delivery) {
  try {
    std::vector<Event> batch;
    bool open = true;
    while (open) {
      auto item = co_await events.recv();
      batch.clear();
      // What is already published joins the batch. A lag notice says how
      // many events the handler will never see; the receiver goes on with the
      // oldest event it still holds.
      for (;;) {
        if (std::holds_alternative<async::Closed>(item)) {
          open = false;
        } else if (const auto* lagged = std::get_if<async::Lagged>(&item)) {
          log::event(log::Level::Warn, log::PY_NODE, "event handler fell behind, events skipped",
                     {{"missed", std::to_string(lagged->missed)}});
        } else {
          batch.push_back(std::move(std::get<Event>(item)));
        }
        if (!open || batch.size() >= MAX_DELIVERY_BATCH) break;
        std::optional<transport::EventReceiver::Item> next = events.try_recv();
        if (!next) break;
        item = std::move(*next);
      }
      if (batch.empty()) continue;
      if (!deliver_all("failed to deliver event to python: ", delivery, batch,
                       [&](const Event& e) { return deliver_event(delivery, e); })) {
        break;
      }
    }
  } catch (const std::exception&) {
  }
}

}  // namespace vardimont::py
