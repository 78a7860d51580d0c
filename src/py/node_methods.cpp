// The methods of Node, in declaration order. Each runs, in this order: binding
// of its arguments, exclusive use of the node, conversion of the arguments in
// parameter order, parsing of peer ids, encoding of the payload (send_data),
// then the started check; only a started node reaches its transport.
#include <string>
#include <string_view>
#include <utility>

#include "py/binder.h"
#include "py/convert.h"
#include "py/deferred.h"
#include "py/errors.h"
#include "py/method.h"
#include "py/node.h"
#include "py/ref.h"

namespace vardimont::py {

// Holds nothing yet: start() does not build a runtime in this module, so no
// node is ever started and every transport method ends at the started check.
struct NodeRuntime {};

NodeRecord::NodeRecord() = default;
NodeRecord::NodeRecord(NodeRecord&&) noexcept = default;
NodeRecord& NodeRecord::operator=(NodeRecord&&) noexcept = default;
NodeRecord::~NodeRecord() = default;

namespace {

PyObject* raise_not_started() { return raise(PyExc_RuntimeError, "node has not been started"); }

// The started check: the node's runtime, or nullptr with RuntimeError
// "node has not been started" set.
NodeRuntime* started_or_raise(const NodeRecord& record) {
  if (record.started == nullptr) raise_not_started();
  return record.started.get();
}

// A peer id, or nullopt with ValueError "invalid peer id: {}" set.
std::optional<runtime::NodeId> parse_peer_id(std::string_view text) {
  Result<runtime::NodeId, runtime::NodeIdError> id = runtime::NodeId::parse(text);
  if (!id) {
    raise(PyExc_ValueError, "invalid peer id: " + std::string(runtime::to_string(id.error())));
    return std::nullopt;
  }
  return std::move(id.value());
}

template <class Body>
PyObject* entry(Body&& body) noexcept {
  return guarded(
      [&]() -> PyObject* {
        drain_deferred();
        return body();
      },
      static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------
// Lifecycle

PyObject* node_start(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    ExclusiveUse use(self);
    if (!use) return nullptr;
    return raise_not_started();
  });
}

PyObject* node_stop(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    ExclusiveUse use(self);
    if (!use) return nullptr;
    use.record().started.reset();
    Py_RETURN_NONE;
  });
}

PyObject* node_local_id(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    ExclusiveUse use(self);
    if (!use) return nullptr;
    const std::string full = use.record().node_id.to_full();
    return PyUnicode_FromStringAndSize(full.data(), static_cast<Py_ssize_t>(full.size()));
  });
}

// ---------------------------------------------------------------------------
// Peers and messages

constexpr const char* PEER_ID_PARAMS[] = {"peer_id"};
constexpr Signature CONNECT_PEER_SIGNATURE{"Node.connect_peer()", PEER_ID_PARAMS, 1};
constexpr Signature FORGET_PEER_SIGNATURE{"Node.forget_peer()", PEER_ID_PARAMS, 1};
constexpr Signature HAS_PEER_SIGNATURE{"Node.has_peer()", PEER_ID_PARAMS, 1};

// The common steps of the three methods that take only a peer id.
template <class Started>
PyObject* with_peer_id(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Started&& started) {
  return entry([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_arguments(sig, args, nargs, kwnames, a)) return nullptr;
    ExclusiveUse use(self);
    if (!use) return nullptr;
    std::string_view peer_text;
    if (!to_text(a[0], "peer_id", peer_text)) return nullptr;
    std::optional<runtime::NodeId> peer = parse_peer_id(peer_text);
    if (!peer) return nullptr;
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return started(*running, std::move(*peer));
  });
}

PyObject* node_connect_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_peer_id(CONNECT_PEER_SIGNATURE, self, args, nargs, kwnames,
                      [](NodeRuntime&, runtime::NodeId) { return raise_not_started(); });
}

PyObject* node_forget_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_peer_id(FORGET_PEER_SIGNATURE, self, args, nargs, kwnames,
                      [](NodeRuntime&, runtime::NodeId) { return raise_not_started(); });
}

PyObject* node_has_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_peer_id(HAS_PEER_SIGNATURE, self, args, nargs, kwnames,
                      [](NodeRuntime&, runtime::NodeId) { return raise_not_started(); });
}

PyObject* node_peer_count(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    ExclusiveUse use(self);
    if (!use) return nullptr;
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return raise_not_started();
  });
}

constexpr const char* SEND_DATA_PARAMS[] = {"peer_id", "dst_actor", "payload", "reply_to", "correlation_id"};
constexpr Signature SEND_DATA_SIGNATURE{"Node.send_data()", SEND_DATA_PARAMS, 5};

PyObject* node_send_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* a[5];
    if (!bind_arguments(SEND_DATA_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
    ExclusiveUse use(self);
    if (!use) return nullptr;
    std::string_view peer_text;
    std::string_view dst_actor;
    std::optional<std::string_view> reply_to;
    std::optional<std::uint64_t> correlation_id;
    if (!to_text(a[0], "peer_id", peer_text)) return nullptr;
    if (!to_text(a[1], "dst_actor", dst_actor)) return nullptr;
    if (!to_optional_text(a[3], "reply_to", reply_to)) return nullptr;
    if (!to_optional_u64(a[4], "correlation_id", correlation_id)) return nullptr;
    std::optional<runtime::NodeId> peer = parse_peer_id(peer_text);
    if (!peer) return nullptr;
    std::optional<std::vector<std::uint8_t>> payload = py_to_json_bytes(a[2]);
    if (!payload) return nullptr;
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return raise_not_started();
  });
}

constexpr const char* NOTIFY_PEER_ERROR_PARAMS[] = {"peer_id", "detail", "correlation_id"};
constexpr Signature NOTIFY_PEER_ERROR_SIGNATURE{"Node.notify_peer_error()", NOTIFY_PEER_ERROR_PARAMS, 3};

PyObject* node_notify_peer_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_arguments(NOTIFY_PEER_ERROR_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
    ExclusiveUse use(self);
    if (!use) return nullptr;
    std::string_view peer_text;
    std::string_view detail;
    std::optional<std::uint64_t> correlation_id;
    if (!to_text(a[0], "peer_id", peer_text)) return nullptr;
    if (!to_text(a[1], "detail", detail)) return nullptr;
    if (!to_optional_u64(a[2], "correlation_id", correlation_id)) return nullptr;
    std::optional<runtime::NodeId> peer = parse_peer_id(peer_text);
    if (!peer) return nullptr;
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return raise_not_started();
  });
}

// ---------------------------------------------------------------------------
// Actors and event handlers

constexpr const char* REGISTER_ACTOR_PARAMS[] = {"name", "event_loop", "callback"};
constexpr Signature REGISTER_ACTOR_SIGNATURE{"Node.register_actor()", REGISTER_ACTOR_PARAMS, 3};

PyObject* node_register_actor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_arguments(REGISTER_ACTOR_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
    ExclusiveUse use(self);
    if (!use) return nullptr;
    std::string_view name;
    if (!to_text(a[0], "name", name)) return nullptr;
    // The Delivery's references; released on every path that does not hand
    // them to a drain loop.
    Ref event_loop = Ref::borrow(a[1]);
    Ref callback = Ref::borrow(a[2]);
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return raise_not_started();
  });
}

constexpr const char* NAME_PARAMS[] = {"name"};
constexpr Signature UNREGISTER_ACTOR_SIGNATURE{"Node.unregister_actor()", NAME_PARAMS, 1};

PyObject* node_unregister_actor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_arguments(UNREGISTER_ACTOR_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
    ExclusiveUse use(self);
    if (!use) return nullptr;
    std::string_view name;
    if (!to_text(a[0], "name", name)) return nullptr;
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return raise_not_started();
  });
}

constexpr const char* SET_EVENT_HANDLER_PARAMS[] = {"event_loop", "callback"};
constexpr Signature SET_EVENT_HANDLER_SIGNATURE{"Node.set_event_handler()", SET_EVENT_HANDLER_PARAMS, 2};

PyObject* node_set_event_handler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_arguments(SET_EVENT_HANDLER_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
    ExclusiveUse use(self);
    if (!use) return nullptr;
    Ref event_loop = Ref::borrow(a[0]);
    Ref callback = Ref::borrow(a[1]);
    NodeRuntime* running = started_or_raise(use.record());
    if (running == nullptr) return nullptr;
    return raise_not_started();
  });
}

}  // namespace

PyMethodDef NODE_METHODS[] = {
    {"start", as_cfunction(node_start), METH_NOARGS,
     "start($self)\n--\n\nStarts the background runtime and binds the listener."},
    {"stop", as_cfunction(node_stop), METH_NOARGS, "stop($self)\n--\n\nShuts down the background runtime."},
    {"local_id", as_cfunction(node_local_id), METH_NOARGS,
     "local_id($self)\n--\n\nActual node id, with the resolved port."},
    {"connect_peer", as_cfunction(node_connect_peer), METH_FASTCALL | METH_KEYWORDS,
     "connect_peer($self, peer_id)\n--\n\n"
     "Asynchronously connects to a peer; returns before the connection is\n"
     "established. Poll `has_peer` to wait for it."},
    {"forget_peer", as_cfunction(node_forget_peer), METH_FASTCALL | METH_KEYWORDS,
     "forget_peer($self, peer_id)\n--\n\n"
     "Stops treating `peer_id` as desired (no further auto-reconnect\n"
     "attempts) and drops the connection now if one is currently open.\n"
     "Use this once you know you're done with a peer, instead of waiting\n"
     "for the automatic give-up after repeated failed reconnects."},
    {"has_peer", as_cfunction(node_has_peer), METH_FASTCALL | METH_KEYWORDS,
     "has_peer($self, peer_id)\n--\n\nWhether a peer is currently connected."},
    {"peer_count", as_cfunction(node_peer_count), METH_NOARGS,
     "peer_count($self)\n--\n\nNumber of connected peers."},
    {"register_actor", as_cfunction(node_register_actor), METH_FASTCALL | METH_KEYWORDS,
     "register_actor($self, name, event_loop, callback)\n--\n\n"
     "Registers a local actor mailbox. Inbound messages for `name` are\n"
     "scheduled as `callback(payload, meta_dict)` on `event_loop` via\n"
     "`call_soon_threadsafe`. `meta_dict` has `\"src\"` (sender node id),\n"
     "`\"reply_to\"`, `\"correlation_id\"` and `\"msg_id\"` \u2014 whatever the\n"
     "sender passed to `send_data`, or `None`.\n\n"
     "Blocks (off the GIL) until the routing table update lands, so that by\n"
     "the time this call returns, remote sends to `name` are guaranteed to\n"
     "find the mailbox rather than racing a fire-and-forget task \u2014 this\n"
     "also fixes the reorder hazard between a rapid unregister/register pair\n"
     "(e.g. `Supervisor` restarting a crashed actor)."},
    {"unregister_actor", as_cfunction(node_unregister_actor), METH_FASTCALL | METH_KEYWORDS,
     "unregister_actor($self, name)\n--\n\n"
     "Removes a local actor mailbox. See `register_actor` for why this\n"
     "blocks until the removal is applied."},
    {"set_event_handler", as_cfunction(node_set_event_handler), METH_FASTCALL | METH_KEYWORDS,
     "set_event_handler($self, event_loop, callback)\n--\n\n"
     "Registers a handler for system events: peer connected/disconnected and\n"
     "errors reported by a peer (e.g. a send to an unknown remote actor).\n"
     "`callback(event_dict)` is scheduled on `event_loop` via\n"
     "`call_soon_threadsafe`, same delivery mechanism as actor messages.\n\n"
     "`event_dict` has a `\"kind\"` key (`\"peer_connected\"`,\n"
     "`\"peer_disconnected\"` or `\"error\"`), a `\"peer\"` key with the peer's\n"
     "full id, and \u2014 for `\"error\"` \u2014 a `\"detail\"` key."},
    {"send_data", as_cfunction(node_send_data), METH_FASTCALL | METH_KEYWORDS,
     "send_data($self, peer_id, dst_actor, payload, reply_to, correlation_id)\n--\n\n"
     "Sends a `Data` message to an actor on a connected peer."},
    {"notify_peer_error", as_cfunction(node_notify_peer_error), METH_FASTCALL | METH_KEYWORDS,
     "notify_peer_error($self, peer_id, detail, correlation_id)\n--\n\n"
     "Tells `peer_id` that a send of theirs failed, the same way an\n"
     "unknown-actor send does \u2014 used by the Python side to report a\n"
     "message dropped by a full `asyncio.Queue` mailbox, which happens\n"
     "downstream of anything this transport itself can see. Best-effort:\n"
     "silently does nothing if `peer_id` isn't connected."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vardimont::py
