"""Node.start(), stop(), local_id() and the log output that start() sets up."""
import errno
import json
import os
import re
import socket

import pytest

from conftest import FAST, Recorder, connect, port_of, run_script, wait_until
from vardimont._core import Node


def test_port_zero_is_replaced_by_the_bound_port_which_stop_keeps(make_node):
    node = make_node("a", start=False)
    assert node.local_id() == "a@127.0.0.1:0"
    node.start()
    bound = node.local_id()
    assert re.fullmatch(r"a@127\.0\.0\.1:\d+", bound) and port_of(node) != 0
    node.stop()
    assert node.local_id() == bound


def test_stop_on_a_node_that_never_started_changes_nothing():
    node = Node("a@h:0")
    assert node.stop() is None
    assert node.stop() is None
    assert node.local_id() == "a@h:0"
    with pytest.raises(RuntimeError, match="^node has not been started$"):
        node.peer_count()


def test_a_second_stop_does_nothing(make_node):
    node = make_node("a")
    assert node.stop() is None
    assert node.stop() is None
    with pytest.raises(RuntimeError, match="^node has not been started$"):
        node.peer_count()


def test_start_on_an_address_that_cannot_be_bound_leaves_the_node_not_started():
    # 192.0.2.1 is reserved for documentation: never a local address, and
    # binding to it sends nothing anywhere.
    node = Node("a@192.0.2.1:0", **FAST)
    for _ in range(2):  # start() may be tried again
        with pytest.raises(RuntimeError, match=r"^failed to bind a@192\.0\.2\.1:0: \S.*"):
            node.start()
        assert node.local_id() == "a@192.0.2.1:0"
        with pytest.raises(RuntimeError, match="^node has not been started$"):
            node.has_peer("b@h:1")


@pytest.mark.parametrize("setting, value, message", [
    ("peer_queue_capacity", 0, "peer_queue_capacity must be from 1 to 2305843009213693951"),
    ("peer_queue_capacity", 2**61, "peer_queue_capacity must be from 1 to 2305843009213693951"),
    ("heartbeat_interval", 0, "heartbeat_interval must be greater than zero"),
    ("peer_timeout", 0.0, "peer_timeout must be greater than zero"),
    ("reconnect_interval", 1e-10, "reconnect_interval must be greater than zero"),
])
def test_settings_that_no_transport_accepts_are_refused_by_start(setting, value, message):
    node = Node("a@127.0.0.1:0", **{setting: value})  # the constructor stores them as given
    with pytest.raises(ValueError) as info:
        node.start()
    assert str(info.value) == message
    with pytest.raises(RuntimeError, match="^node has not been started$"):
        node.peer_count()


def test_start_on_a_port_in_use_names_the_port_and_the_system_error(make_node):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        node = make_node("a", start=False, port=port)
        with pytest.raises(RuntimeError, match=rf"^failed to bind a@127\.0\.0\.1:{port}: Address already in use"):
            node.start()
        with pytest.raises(RuntimeError, match="^node has not been started$"):
            node.peer_count()


def test_a_second_start_fails_to_bind_and_the_node_keeps_running(make_node):
    a = make_node("a")
    b = make_node("b")
    bound = a.local_id()
    with pytest.raises(RuntimeError, match=rf"^failed to bind {re.escape(bound)}: Address already in use"):
        a.start()
    assert a.local_id() == bound
    connect(b, a)
    assert a.peer_count() == 1


@pytest.mark.skipif("libubsan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers' vptr check probes memory through a pipe: with no descriptor left it "
                           "reports every object as invalid")
def test_start_without_free_descriptors_raises_and_a_later_start_works():
    # In a child process: it lowers its descriptor limit and fills every free
    # number, then frees `free` of them before each start(), until one start
    # succeeds. Each point where start() needs a descriptor (the runtime's
    # reactor and its interrupter, then the listener) fails with the
    # RuntimeError of that point, never with a PanicException, and leaves the
    # node not started, so that the start with enough descriptors works.
    proc = run_script("""
import json, os, resource
from vardimont._core import Node

node = Node("a@127.0.0.1:0")
_, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 16, hard))
filler = []
try:
    while True:
        filler.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    pass
outcomes = []
for free in range(8):
    for fd in filler[:free]:
        os.close(fd)
    try:
        node.start()
        outcomes.append((free, "started", node.peer_count()))
        del filler[:free]  # closed: their numbers are the runtime's now
        break
    except BaseException as e:
        try:
            node.has_peer("b@127.0.0.1:1")
            state = "started"
        except RuntimeError as s:
            state = str(s)
        outcomes.append((free, type(e).__name__, str(e), state, node.local_id()))
    for i in range(free):
        filler[i] = os.open("/dev/null", os.O_RDONLY)
for fd in filler:
    os.close(fd)
node.stop()
print(json.dumps(outcomes))
""", timeout=60)
    assert proc.returncode == 0, proc.stderr
    outcomes = json.loads(proc.stdout)
    emfile = os.strerror(errno.EMFILE)
    no_runtime = ["RuntimeError", f"failed to start runtime: {emfile}", "node has not been started",
                  "a@127.0.0.1:0"]
    no_listener = ["RuntimeError", f"failed to bind a@127.0.0.1:0: {emfile}", "node has not been started",
                   "a@127.0.0.1:0"]
    # The runtime needs its interrupter and its epoll descriptor (0 and 1
    # free); then only the listener's socket can be missing.
    assert outcomes[0] == [0, *no_runtime], outcomes
    assert outcomes[1] == [1, *no_runtime], outcomes
    assert all(o[1:] in (no_runtime, no_listener) for o in outcomes[2:-1]), outcomes
    assert outcomes[-1][1:] == ["started", 0], outcomes


def start_when_port_is_free(node, timeout=5.0):
    """After stop() the old listener closes in the background: retry the bind."""
    def attempt():
        try:
            node.start()
            return True
        except RuntimeError as e:
            assert str(e).startswith("failed to bind "), e
            return False
    assert wait_until(attempt, timeout, interval=0.02)


def test_a_restarted_node_has_a_fresh_transport_on_the_same_port(make_node, loop_thread):
    a = make_node("a")
    b = make_node("b")
    old_actor, old_events, b_events = Recorder(), Recorder(), Recorder()
    a.register_actor("x", loop_thread.loop, old_actor)
    a.set_event_handler(loop_thread.loop, old_events)
    b.set_event_handler(loop_thread.loop, b_events)
    connect(b, a)
    old_events.wait_for(1)
    bound = a.local_id()

    a.stop()
    start_when_port_is_free(a)
    assert a.local_id() == bound
    assert a.peer_count() == 0
    new_events = Recorder()
    a.set_event_handler(loop_thread.loop, new_events)

    # b noticed the end of the old connection and reconnects (it wants a).
    assert wait_until(lambda: a.has_peer(b.local_id()) and b.has_peer(a.local_id()))
    assert wait_until(lambda: "peer_connected" in new_events.kinds())
    b.send_data(a.local_id(), "x", "after restart", None, 9)
    assert wait_until(lambda: any(e[0].get("correlation_id") == 9 for e in b_events.calls))
    error = next(e[0] for e in b_events.calls if e[0].get("correlation_id") == 9)
    assert error == {"kind": "error", "peer": a.local_id(),
                     "detail": '{"error":"actor_not_found:x"}', "correlation_id": 9}
    assert old_actor.calls == []
    assert old_events.kinds() == ["peer_connected"]


# --- logging: each case runs in its own process, since only the first start
# in a process installs the log subscriber.

FAILING_DELIVERY = """
import os, sys
from support import FAST, wait_until
from vardimont._core import Node

calls = []
class Failing:
    def call_soon_threadsafe(self, *args):
        calls.append(args)
        raise ValueError("boom")

a = Node("a@127.0.0.1:0", **FAST)
a.start()
os.environ.update({later_env!r})
for name in {later_unset!r}:
    os.environ.pop(name, None)
b = Node("b@127.0.0.1:0", **FAST)
b.start()
a.register_actor("x", Failing(), print)
b.connect_peer(a.local_id())
assert wait_until(lambda: b.has_peer(a.local_id()), timeout=10)
for i in range(2):
    b.send_data(a.local_id(), "x", i, None, None)
# One drain loop handles its messages in turn: once the second delivery has
# been tried, the warning of the first has been written.
assert wait_until(lambda: len(calls) == 2, timeout=10)
"""

WARN_LINE = re.compile(
    r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z  WARN _core::py::node: "
    r"undeliverable payload, dropping: ValueError: boom$", re.M)


@pytest.mark.parametrize("env, later_env, later_unset, warned, colour, ignored", [
    pytest.param({}, {}, [], False, None, 0, id="unset: errors only"),
    pytest.param({"RUST_LOG": ""}, {}, [], False, None, 0, id="empty: errors only"),
    pytest.param({"RUST_LOG": "_core::transport=debug"}, {}, [], False, None, 0,
                 id="another target"),
    pytest.param({"RUST_LOG": "_core=debug", "NO_COLOR": "1"}, {}, [], True, False, 0,
                 id="debug for _core, no colour"),
    pytest.param({"RUST_LOG": "_core::py::node=warn", "NO_COLOR": ""}, {}, [], True, True, 0,
                 id="empty NO_COLOR keeps colours"),
    pytest.param({"RUST_LOG": "_core=warn"}, {}, [], True, True, 0, id="colours by default"),
    pytest.param({"RUST_LOG": "_core=loud,_core=warn", "NO_COLOR": "1"}, {}, [], True, False, 2,
                 id="invalid piece reported at every start"),
    pytest.param({}, {"RUST_LOG": "_core=warn"}, [], False, None, 0,
                 id="second start's RUST_LOG has no effect"),
    pytest.param({"RUST_LOG": "_core=warn", "NO_COLOR": "1"}, {}, ["NO_COLOR"], True, False, 0,
                 id="second start's NO_COLOR has no effect"),
])
def test_log_output_follows_the_environment_of_the_first_start(env, later_env, later_unset, warned,
                                                               colour, ignored):
    proc = run_script(FAILING_DELIVERY.format(later_env=later_env, later_unset=later_unset), env=env)
    assert proc.returncode == 0, proc.stderr
    err = proc.stderr
    plain = re.sub(r"\x1b\[[0-9;]*m", "", err)
    assert bool(WARN_LINE.search(plain)) == warned, err
    if colour is not None:
        assert ("\x1b[" in err) == colour, err
    assert len(re.findall(r"^ignoring `_core=loud`: \S.*$", err, re.M)) == ignored, err
    if not warned:
        assert "WARN" not in err
