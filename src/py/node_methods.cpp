// The methods of Node, in declaration order. Each runs, in this order: binding
// of its arguments, exclusive use of the node, conversion of the arguments in
// parameter order, parsing of peer ids, encoding of the payload (send_data),
// then the started check; only a started node reaches its transport. The
// methods that reach it share that path (call_started), so that each one's
// body holds only its own work.
//
// The methods that may wait (start, has_peer, peer_count, forget_peer,
// register_actor, unregister_actor, send_data, notify_peer_error) run their
// operation on the calling thread and release the GIL for whatever may wait;
// send_data queues its message with the GIL still held when the peer table's
// lock is free and the peer queue has room, and releases it only to wait.
// Called on a worker thread of any node's runtime (possible only from an
// event loop object whose call_soon_threadsafe runs code at once, inside a
// delivery), they raise RuntimeError "blocking call refused on a runtime
// worker thread" instead: the worker must never park on work that it may
// itself have to run. connect_peer, set_event_handler, stop and local_id wait
// for nothing and work there too.
//
// A call works on the node's own Transport and runtime executor rather than on
// copies: exclusive use keeps start() and stop() from changing them while
// the call runs, and the call's reference to the node keeps it alive.
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>

#include "async/queue.h"
#include "async/runtime.h"
#include "py/binder.h"
#include "py/convert.h"
#include "py/deferred.h"
#include "py/delivery.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/interpreter_guard.h"
#include "py/logging_setup.h"
#include "py/method.h"
#include "py/node.h"
#include "py/ref.h"

namespace vardimont::py {
namespace {

// True, with RuntimeError set, when the calling thread is a runtime worker and
// so must not block; its text is the runtime's own.
bool refuse_on_worker() {
  if (!async::Runtime::on_worker_thread()) return false;
  raise(PyExc_RuntimeError, async::BlockingOnWorker().what());
  return true;
}

// Exclusive use of the node for the length of `body(record)`.
template <class Body>
PyObject* with_exclusive_use(PyObject* self, Body&& body) {
  ExclusiveUse use(self);
  if (!use) return nullptr;
  return body(use.record());
}

// ---------------------------------------------------------------------------
// The call path of the methods that reach a started node's transport

// The kinds of parameter. Each argument's convert() runs in parameter order,
// then each one's finish() in parameter order, so that a peer id is parsed and
// a payload encoded only once every argument has converted; a method's body
// receives each parameter's `value`.
struct Text {
  std::string_view value;
  bool convert(PyObject* obj, const char* name) { return to_text(obj, name, value); }
};

struct OptionalText {
  std::optional<std::string_view> value;
  bool convert(PyObject* obj, const char* name) { return to_optional_text(obj, name, value); }
};

struct OptionalU64 {
  std::optional<std::uint64_t> value;
  bool convert(PyObject* obj, const char* name) { return to_optional_u64(obj, name, value); }
};

// Any object (an event loop, a callback), held for the call.
struct Object {
  PyObject* value = nullptr;
  Ref held;
  bool convert(PyObject* obj, const char*) {
    held = Ref::borrow(obj);
    value = obj;
    return true;
  }
};

// A str that names a peer: ValueError "invalid peer id: {}" when it does not parse.
struct PeerId {
  std::string_view text;
  runtime::NodeId value;
  bool convert(PyObject* obj, const char* name) { return to_text(obj, name, text); }
  bool finish() {
    Result<runtime::NodeId, runtime::NodeIdError> id = runtime::NodeId::parse(text);
    if (!id) {
      raise(PyExc_ValueError, "invalid peer id: " + std::string(runtime::to_string(id.error())));
      return false;
    }
    value = std::move(id.value());
    return true;
  }
};

// A payload, encoded as JSON (the encoder's own errors).
struct Payload {
  PyObject* object = nullptr;
  std::vector<std::uint8_t> value;
  bool convert(PyObject* obj, const char*) {
    object = obj;
    return true;
  }
  bool finish() {
    std::optional<std::vector<std::uint8_t>> encoded = py_to_json_bytes(object);
    if (!encoded) return false;
    value = std::move(*encoded);
    return true;
  }
};

template <class Param>
bool finish(Param& param) {
  if constexpr (requires { param.finish(); }) {
    return param.finish();
  } else {
    return true;
  }
}

// Whether a method may run on a runtime worker thread: only one that never waits.
enum class OnWorker : bool { Runs, Refused };

// The steps after binding: exclusive use, conversion, the started check, the
// worker refusal, then `body(node, values...)`.
template <class... Params, class Body>
PyObject* run_started(PyObject* self, const Signature* sig, PyObject* const* bound, OnWorker on_worker,
                      Body& body) {
  return with_exclusive_use(self, [&](NodeRecord& record) -> PyObject* {
    std::tuple<Params...> params;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (std::get<I>(params).convert(bound[I], sig->params[I]) && ...) && (finish(std::get<I>(params)) && ...);
    }(std::index_sequence_for<Params...>{});
    if (!converted) return nullptr;
    if (record.started == nullptr) return raise(PyExc_RuntimeError, "node has not been started");
    if (on_worker == OnWorker::Refused && refuse_on_worker()) return nullptr;
    return std::apply([&](Params&... param) { return body(*record.started, param.value...); }, params);
  });
}

// A method with parameters (METH_FASTCALL | METH_KEYWORDS) that reaches a
// started node: binds its arguments, then runs the steps above.
template <class... Params, class Body>
PyObject* call_started(const Signature& sig, OnWorker on_worker, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  static_assert(sizeof...(Params) > 0);
  return entry([&]() -> PyObject* {
    std::array<PyObject*, sizeof...(Params)> bound{};
    if (!bind_arguments(sig, args, nargs, kwnames, bound.data())) return nullptr;
    return run_started<Params...>(self, &sig, bound.data(), on_worker, body);
  });
}

// The same for a method without parameters (METH_NOARGS).
template <class Body>
PyObject* call_started(OnWorker on_worker, PyObject* self, Body&& body) {
  return entry([&]() -> PyObject* { return run_started<>(self, nullptr, nullptr, on_worker, body); });
}

// ---------------------------------------------------------------------------
// Lifecycle

// The settings given to the constructor; those left out keep TransportConfig's
// defaults, which are start()'s.
transport::TransportConfig transport_config(const NodeRecord& r) {
  transport::TransportConfig config;
  config.cluster_secret = r.cluster_secret;
  config.reconnect_max_attempts = r.reconnect_max_attempts;
  config.heartbeat_interval = r.heartbeat_interval.value_or(config.heartbeat_interval);
  config.peer_timeout = r.peer_timeout.value_or(config.peer_timeout);
  config.reconnect_interval = r.reconnect_interval.value_or(config.reconnect_interval);
  config.peer_queue_capacity = r.peer_queue_capacity.value_or(config.peer_queue_capacity);
  config.auto_reconnect = true;
  return config;
}

PyObject* node_start(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    return with_exclusive_use(self, [&](NodeRecord& record) -> PyObject* {
      setup_logging();
      // Workers exist only once a node has started: from here on the
      // interpreter's exit must keep them out.
      if (install_exit_guard(nullptr) != 0) return nullptr;
      if (refuse_on_worker()) return nullptr;

      // A configuration that no transport accepts (zero intervals, a peer
      // queue capacity of 0 or above 2^61-1) is refused here, as the
      // ValueError of a bad setting, before any runtime exists; the
      // constructor stores such settings unchecked.
      transport::TransportConfig config = transport_config(record);
      if (std::optional<std::string> problem = transport::config_problem(config)) {
        return raise(PyExc_ValueError, *problem);
      }

      Result<std::shared_ptr<async::Runtime>, std::string> built = async::Runtime::create();
      if (!built) return raise(PyExc_RuntimeError, "failed to start runtime: " + built.error());
      std::shared_ptr<async::Runtime> rt = std::move(built.value());

      runtime::NodeId id = record.node_id;
      Result<transport::Transport, transport::IoError> listened = without_gil(
          [&] { return rt->block_on(transport::Transport::listen(id, std::move(config))); });
      if (!listened) {
        // This runtime has run no task, so none of its threads can be waiting
        // for the GIL: it may be joined here (with the GIL released all the
        // same, so that other Python threads go on meanwhile).
        without_gil([&] { rt->shutdown_and_wait(); });
        return raise(PyExc_RuntimeError, "failed to bind " + id.to_full() + ": " + listened.error().message);
      }

      async::Executor executor = rt->executor();
      auto started = std::unique_ptr<NodeRuntime>(
          new NodeRuntime{std::move(listened.value()), std::move(rt), std::move(executor)});
      record.node_id = started->transport.local_id();
      // A runtime held before is shut down in the background as this replaces it.
      record.started = std::move(started);
      Py_RETURN_NONE;
    });
  });
}

PyObject* node_stop(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    return with_exclusive_use(self, [](NodeRecord& record) -> PyObject* {
      record.started.reset();
      Py_RETURN_NONE;
    });
  });
}

PyObject* node_local_id(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    return with_exclusive_use(self, [](NodeRecord& record) -> PyObject* {
      const std::string full = record.node_id.to_full();
      return PyUnicode_FromStringAndSize(full.data(), static_cast<Py_ssize_t>(full.size()));
    });
  });
}

// ---------------------------------------------------------------------------
// Peers and messages

constexpr const char* PEER_ID_PARAMS[] = {"peer_id"};
constexpr Signature CONNECT_PEER_SIGNATURE{"Node.connect_peer()", PEER_ID_PARAMS, 1};
constexpr Signature FORGET_PEER_SIGNATURE{"Node.forget_peer()", PEER_ID_PARAMS, 1};
constexpr Signature HAS_PEER_SIGNATURE{"Node.has_peer()", PEER_ID_PARAMS, 1};

PyObject* node_connect_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<PeerId>(CONNECT_PEER_SIGNATURE, OnWorker::Runs, self, args, nargs, kwnames,
                              [](NodeRuntime& node, runtime::NodeId& peer) -> PyObject* {
                                // Fire and forget: the task owns its Transport copy and the id.
                                node.transport.spawn(transport::Transport::connect(node.transport, std::move(peer)));
                                Py_RETURN_NONE;
                              });
}

PyObject* node_forget_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<PeerId>(FORGET_PEER_SIGNATURE, OnWorker::Refused, self, args, nargs, kwnames,
                              [](NodeRuntime& node, const runtime::NodeId& peer) -> PyObject* {
                                without_gil([&] { node.transport.forget_peer(peer); });
                                Py_RETURN_NONE;
                              });
}

PyObject* node_has_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<PeerId>(HAS_PEER_SIGNATURE, OnWorker::Refused, self, args, nargs, kwnames,
                              [](NodeRuntime& node, const runtime::NodeId& peer) -> PyObject* {
                                const bool connected = without_gil([&] { return node.transport.has_peer(peer); });
                                return PyBool_FromLong(connected ? 1 : 0);
                              });
}

PyObject* node_peer_count(PyObject* self, PyObject*) {
  return call_started(OnWorker::Refused, self, [](NodeRuntime& node) -> PyObject* {
    const std::size_t count = without_gil([&] { return node.transport.peer_count(); });
    return PyLong_FromSize_t(count);
  });
}

constexpr const char* SEND_DATA_PARAMS[] = {"peer_id", "dst_actor", "payload", "reply_to", "correlation_id"};
constexpr Signature SEND_DATA_SIGNATURE{"Node.send_data()", SEND_DATA_PARAMS, 5};

PyObject* node_send_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<PeerId, Text, Payload, OptionalText, OptionalU64>(
      SEND_DATA_SIGNATURE, OnWorker::Refused, self, args, nargs, kwnames,
      [](NodeRuntime& node, const runtime::NodeId& peer, std::string_view dst_actor,
         std::vector<std::uint8_t>& payload, std::optional<std::string_view> reply_to,
         std::optional<std::uint64_t> correlation_id) -> PyObject* {
        using transport::Transport;
        // The texts are views of the argument objects, which the caller keeps
        // alive for the call; their UTF-8 buffers never change.
        Transport::FirstAttempt first =
            node.transport.try_send_data_bytes(peer, dst_actor, std::move(payload), reply_to, correlation_id);
        if (auto* pending = std::get_if<Transport::PendingSend>(&first)) {
          // It has to wait: a full peer queue, or a peer table locked elsewhere.
          first = without_gil([&] { return node.transport.send_pending(std::move(*pending)); });
        }
        const auto& sent = std::get<Result<void, transport::SendError>>(first);
        if (!sent) return raise(PyExc_ValueError, "send failed: " + sent.error().to_string());
        Py_RETURN_NONE;
      });
}

constexpr const char* NOTIFY_PEER_ERROR_PARAMS[] = {"peer_id", "detail", "correlation_id"};
constexpr Signature NOTIFY_PEER_ERROR_SIGNATURE{"Node.notify_peer_error()", NOTIFY_PEER_ERROR_PARAMS, 3};

PyObject* node_notify_peer_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<PeerId, Text, OptionalU64>(
      NOTIFY_PEER_ERROR_SIGNATURE, OnWorker::Refused, self, args, nargs, kwnames,
      [](NodeRuntime& node, const runtime::NodeId& peer, std::string_view detail,
         std::optional<std::uint64_t> correlation_id) -> PyObject* {
        std::string owned_detail(detail);
        without_gil([&] { node.transport.send_error_blocking(peer, std::move(owned_detail), correlation_id); });
        Py_RETURN_NONE;
      });
}

// ---------------------------------------------------------------------------
// Actors and event handlers

constexpr const char* REGISTER_ACTOR_PARAMS[] = {"name", "event_loop", "callback"};
constexpr Signature REGISTER_ACTOR_SIGNATURE{"Node.register_actor()", REGISTER_ACTOR_PARAMS, 3};

PyObject* node_register_actor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<Text, Object, Object>(
      REGISTER_ACTOR_SIGNATURE, OnWorker::Refused, self, args, nargs, kwnames,
      [](NodeRuntime& node, std::string_view name, PyObject* event_loop, PyObject* callback) -> PyObject* {
        auto [mailbox_tx, mailbox_rx] = async::make_queue<wire::WireMessage>(transport::MAILBOX_CAPACITY);
        std::string owned_name(name);
        // When this returns the routing table holds the new mailbox: a message
        // routed from now on finds it (and waits there for the drain loop).
        without_gil([&] { node.transport.register_actor(std::move(owned_name), std::move(mailbox_tx)); });
        Delivery delivery(event_loop, callback, node.stopped);
        asio::co_spawn(node.executor, drain_loop(std::move(mailbox_rx), std::move(delivery)), asio::detached);
        Py_RETURN_NONE;
      });
}

constexpr const char* NAME_PARAMS[] = {"name"};
constexpr Signature UNREGISTER_ACTOR_SIGNATURE{"Node.unregister_actor()", NAME_PARAMS, 1};

PyObject* node_unregister_actor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<Text>(UNREGISTER_ACTOR_SIGNATURE, OnWorker::Refused, self, args, nargs, kwnames,
                            [](NodeRuntime& node, std::string_view name) -> PyObject* {
                              without_gil([&] { node.transport.unregister_actor(name); });
                              Py_RETURN_NONE;
                            });
}

constexpr const char* SET_EVENT_HANDLER_PARAMS[] = {"event_loop", "callback"};
constexpr Signature SET_EVENT_HANDLER_SIGNATURE{"Node.set_event_handler()", SET_EVENT_HANDLER_PARAMS, 2};

PyObject* node_set_event_handler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_started<Object, Object>(
      SET_EVENT_HANDLER_SIGNATURE, OnWorker::Runs, self, args, nargs, kwnames,
      [](NodeRuntime& node, PyObject* event_loop, PyObject* callback) -> PyObject* {
        // Subscribed before the task exists: every event published after this
        // line reaches the handler, however late its task first runs.
        transport::EventReceiver events = node.transport.subscribe_events();
        Delivery delivery(event_loop, callback, node.stopped);
        asio::co_spawn(node.executor, event_drain_loop(std::move(events), std::move(delivery)), asio::detached);
        Py_RETURN_NONE;
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
