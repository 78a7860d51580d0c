// The Python class Node: one distributed node owned by Python. The object
// holds the node's record and its exclusive-use flag; the class is created
// once per process (node_type) and shared by every module object.
//
// Every method call takes exclusive use of the node right after binding its
// arguments and keeps it until it returns, on every path and also while it
// has released the GIL; a call that finds it taken raises RuntimeError
// "Already borrowed" at once. Nobody ever waits for the flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "py/python.h"

#include "async/asio.h"
#include "async/runtime.h"
#include "runtime/node_id.h"
#include "transport/transport.h"

namespace vardimont::py {

// What a started node holds: its Transport, its runtime and the runtime's
// executor, where the node's delivery tasks run. Present from a successful
// start() until stop(). Destroying it (stop(), a new start(), the node's
// destructor) shuts the runtime down in the background: never a join here,
// where the GIL is held and a worker may be waiting for it inside a delivery.
struct NodeRuntime {
  transport::Transport transport;
  std::shared_ptr<async::Runtime> runtime;
  async::Executor executor;
  // Set, with the GIL held, as the runtime is shut down; the deliveries look
  // at it under the GIL before each item they hand over.
  std::shared_ptr<std::atomic<bool>> stopped = std::make_shared<std::atomic<bool>>(false);

  ~NodeRuntime();
};

struct NodeRecord {
  // As parsed by the constructor; after each successful start() the
  // transport's local id, which carries the port actually bound.
  runtime::NodeId node_id;
  // The node is started exactly while this is present.
  std::unique_ptr<NodeRuntime> started;
  // The settings, fixed by the constructor; absent ones take start()'s defaults.
  std::optional<transport::Duration> reconnect_interval;
  std::optional<std::uint32_t> reconnect_max_attempts;  // absent: no limit
  std::optional<std::vector<std::uint8_t>> cluster_secret;  // absent: no authentication
  std::optional<transport::Duration> heartbeat_interval;
  std::optional<transport::Duration> peer_timeout;
  std::optional<std::uint64_t> peer_queue_capacity;
};

struct NodeObject {
  PyObject_HEAD
  std::atomic<bool> in_use;  // the exclusive-use flag
  NodeRecord record;
  // The list of every live node of the process (changed with the GIL held).
  NodeObject* live_prev;
  NodeObject* live_next;
};

// Holds a node's exclusive-use flag for the length of a scope. Test it right
// after construction: false means RuntimeError "Already borrowed" is set.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(PyObject* self) noexcept;
  ~ExclusiveUse();
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  explicit operator bool() const noexcept { return held_; }
  NodeRecord& record() const noexcept { return node_->record; }

 private:
  NodeObject* node_;
  bool held_;
};

// Node::new: the record for the converted constructor arguments, or nullopt
// with ValueError "invalid node id: {}" or PanicException (an interval that
// no duration can hold) set.
std::optional<NodeRecord> new_node_record(std::string_view node_id, std::optional<double> reconnect_interval,
                                          std::optional<std::uint32_t> reconnect_max_attempts,
                                          std::optional<std::string_view> cluster_secret,
                                          std::optional<double> heartbeat_interval,
                                          std::optional<double> peer_timeout,
                                          std::optional<std::uint64_t> peer_queue_capacity);

// The class Node (borrowed), created on the first call; null with an
// exception set if it cannot be created. GIL held.
PyObject* node_type() noexcept;

// fork(): registers, once per process, the handler that os.fork() runs in
// the child (os.register_at_fork), which makes every node inherited from the
// parent stopped: its record lets go of its runtime without destroying it
// (the runtime's descriptors were closed in the child by fork() itself, and
// its locks may be held by threads that the child does not have), and its
// exclusive-use flag is cleared (a call of another thread of the parent held
// it). Such a node starts again with a new runtime. `module` (may be null)
// only names the handler's __module__. GIL held; 0, or -1 with an exception set.
int install_fork_handler(PyObject* module);

// The method table, in declaration order (node_methods.cpp).
extern PyMethodDef NODE_METHODS[];

}  // namespace vardimont::py
