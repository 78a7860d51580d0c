#include "py/node.h"

#include <new>
#include <string>
#include <utility>

#include "py/binder.h"
#include "py/duration.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/ref.h"
#include "py/register.h"

namespace vardimont::py {
namespace {

// An interval to a duration, or PanicException. (The refusal is raised only;
// nothing is written to standard error.)
bool to_duration(std::optional<double> seconds, std::optional<transport::Duration>& out) {
  if (!seconds) return true;
  const ConvertedSeconds c = duration_from_secs_f64(*seconds);
  switch (c.error) {
    case SecondsError::None:
      out = c.duration;
      return true;
    case SecondsError::Negative:
      raise_panic("cannot convert float seconds to Duration: value is negative");
      return false;
    case SecondsError::TooBigOrNaN:
      raise_panic("cannot convert float seconds to Duration: value is either too big or NaN");
      return false;
  }
  return false;
}

// Every live Node object of the process, for the forked child; changed and
// walked only with the GIL held.
NodeObject* live_nodes = nullptr;

void link_live(NodeObject* node) noexcept {
  node->live_prev = nullptr;
  node->live_next = live_nodes;
  if (live_nodes != nullptr) live_nodes->live_prev = node;
  live_nodes = node;
}

void unlink_live(NodeObject* node) noexcept {
  if (node->live_prev != nullptr) {
    node->live_prev->live_next = node->live_next;
  } else {
    live_nodes = node->live_next;
  }
  if (node->live_next != nullptr) node->live_next->live_prev = node->live_prev;
}

// os.register_at_fork's after_in_child: runs in the child, with the GIL, once
// the interpreter is set up there again.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
  for (NodeObject* node = live_nodes; node != nullptr; node = node->live_next) {
    (void)node->record.started.release();  // left behind, never destroyed
    node->in_use.store(false, std::memory_order_release);
  }
  Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child_def = {"_vardimont_after_fork_in_child", after_fork_in_child, METH_NOARGS,
                                       "Makes the nodes inherited from the parent process stopped."};

constexpr const char* NEW_PARAMS[] = {"node_id",      "reconnect_interval", "reconnect_max_attempts",
                                      "cluster_secret", "heartbeat_interval", "peer_timeout",
                                      "peer_queue_capacity"};
constexpr Signature NEW_SIGNATURE{"Node.__new__()", NEW_PARAMS, 1};
constexpr std::uint32_t DEFAULT_RECONNECT_MAX_ATTEMPTS = 30;

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    PyObject* a[std::size(NEW_PARAMS)];
    Ref keep[std::size(NEW_PARAMS)];
    if (!bind_arguments(NEW_SIGNATURE, args, kwargs, a, keep)) return nullptr;

    std::string_view node_id;
    std::optional<double> reconnect_interval;
    std::optional<std::uint32_t> reconnect_max_attempts = DEFAULT_RECONNECT_MAX_ATTEMPTS;
    std::optional<std::string_view> cluster_secret;
    std::optional<double> heartbeat_interval;
    std::optional<double> peer_timeout;
    std::optional<std::uint64_t> peer_queue_capacity;
    if (!to_text(a[0], "node_id", node_id)) return nullptr;
    if (!to_optional_f64(a[1], "reconnect_interval", reconnect_interval)) return nullptr;
    // The one parameter that tells omission (30) from None (no limit).
    if (a[2] != nullptr && !to_optional_u32(a[2], "reconnect_max_attempts", reconnect_max_attempts)) {
      return nullptr;
    }
    if (!to_optional_text(a[3], "cluster_secret", cluster_secret)) return nullptr;
    if (!to_optional_f64(a[4], "heartbeat_interval", heartbeat_interval)) return nullptr;
    if (!to_optional_f64(a[5], "peer_timeout", peer_timeout)) return nullptr;
    if (!to_optional_u64(a[6], "peer_queue_capacity", peer_queue_capacity)) return nullptr;

    std::optional<NodeRecord> record =
        new_node_record(node_id, reconnect_interval, reconnect_max_attempts, cluster_secret,
                        heartbeat_interval, peer_timeout, peer_queue_capacity);
    if (!record) return nullptr;

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the record is dropped with the scope
    auto* node = reinterpret_cast<NodeObject*>(self);
    new (&node->in_use) std::atomic<bool>(false);
    new (&node->record) NodeRecord(std::move(*record));
    link_live(node);
    return self;
  });
}

void node_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* node = reinterpret_cast<NodeObject*>(self);
  unlink_live(node);
  // The record's destructor is the node's: a running runtime is shut down in
  // the background, never waited for (a worker may be waiting for the GIL).
  node->record.~NodeRecord();
  node->in_use.~atomic();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// A node holds no Python object; only its (heap) type is visited.
int node_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

constexpr const char NODE_DOC[] =
    "Node(node_id, reconnect_interval=None, reconnect_max_attempts=30, cluster_secret=None, "
    "heartbeat_interval=None, peer_timeout=None, peer_queue_capacity=None)\n--\n\n"
    "A distributed node owned by Python, backed by a background runtime thread.\n\n"
    "Every method takes exclusive use of the node for the length of the call: the\n"
    "node's runtime must not be used by two threads at once, so a call made while\n"
    "another is running raises RuntimeError instead of waiting.";

PyType_Slot NODE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(NODE_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_methods, NODE_METHODS},
    {0, nullptr},
};

// "builtins." makes the interpreter store "builtins" as __module__ and "Node"
// as the name; a name without a module part would have no __module__ at all
// (and the interpreter warns about that when the class is made).
PyType_Spec NODE_SPEC = {
    "builtins.Node",
    static_cast<int>(sizeof(NodeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    NODE_SLOTS,
};

}  // namespace

NodeRuntime::~NodeRuntime() {
  stopped->store(true, std::memory_order_release);
  runtime->shutdown_in_background();
}

ExclusiveUse::ExclusiveUse(PyObject* self) noexcept : node_(reinterpret_cast<NodeObject*>(self)) {
  bool expected = false;
  held_ = node_->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                                std::memory_order_relaxed);
  if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}

ExclusiveUse::~ExclusiveUse() {
  if (held_) node_->in_use.store(false, std::memory_order_release);
}

std::optional<NodeRecord> new_node_record(std::string_view node_id, std::optional<double> reconnect_interval,
                                          std::optional<std::uint32_t> reconnect_max_attempts,
                                          std::optional<std::string_view> cluster_secret,
                                          std::optional<double> heartbeat_interval,
                                          std::optional<double> peer_timeout,
                                          std::optional<std::uint64_t> peer_queue_capacity) {
  Result<runtime::NodeId, runtime::NodeIdError> id = runtime::NodeId::parse(node_id);
  if (!id) {
    const std::string text = "invalid node id: " + std::string(runtime::to_string(id.error()));
    raise(PyExc_ValueError, text);
    return std::nullopt;
  }
  NodeRecord record;
  record.node_id = std::move(id.value());
  if (!to_duration(reconnect_interval, record.reconnect_interval)) return std::nullopt;
  if (cluster_secret) record.cluster_secret.emplace(cluster_secret->begin(), cluster_secret->end());
  if (!to_duration(heartbeat_interval, record.heartbeat_interval)) return std::nullopt;
  if (!to_duration(peer_timeout, record.peer_timeout)) return std::nullopt;
  record.reconnect_max_attempts = reconnect_max_attempts;
  record.peer_queue_capacity = peer_queue_capacity;
  return record;
}

int install_fork_handler(PyObject* module) {
  static bool installed = false;  // touched only with the GIL held
  if (installed) return 0;
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  if (!os) return -1;
  Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) return -1;
  Ref handler = module_function(&after_fork_in_child_def, nullptr, module);
  if (!handler) return -1;
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return -1;
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "after_in_child", handler.get()));
  if (!kwargs) return -1;
  Ref result = Ref::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
  if (!result) return -1;
  installed = true;
  return 0;
}

PyObject* node_type() noexcept {
  // Created once per process, with the GIL held, and never released: every
  // module object of the process adds this same class.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&NODE_SPEC);
  return type;
}

}  // namespace vardimont::py
