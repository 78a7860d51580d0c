"""A process that forks while its nodes run: the child finds every inherited
node stopped, holds none of its sockets, can start nodes of its own and exits
normally; the parent goes on as if nothing happened. Each case runs in a
script of its own, which forks; every wait in it is bounded."""
import json

import pytest

from conftest import run_script

# Two started nodes: s sends to a's actor "sink" without pause from a daemon
# thread (the only one that calls s), and a's loop runs on a thread of its own, so that deliveries are in
# progress whenever the script forks. in_child(check, parent) forks; the child
# runs check(), writes what it returned (or raised) to a pipe as JSON and
# leaves through sys.exit(0), as a program's child would; the parent runs
# parent() meanwhile, waits for the child with a deadline (killing it then)
# and returns (exit status or "hung", what the child wrote).
PRELUDE = """
import asyncio, json, os, re, select, signal, sys, threading, time, warnings
from support import FAST, wait_until
from vardimont._core import Node

# Python 3.12+ warns that forking a multi-threaded process may deadlock the
# child: that is what these scripts check does not happen.
warnings.filterwarnings("ignore", category=DeprecationWarning)

a = Node("a@127.0.0.1:0", **FAST)
s = Node("s@127.0.0.1:0", **FAST)
a.start()
s.start()
a_id, s_id = a.local_id(), s.local_id()
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
got = []
a.register_actor("sink", loop, lambda payload, meta: got.append(payload))
a.set_event_handler(loop, lambda event: None)
s.connect_peer(a_id)
assert wait_until(lambda: s.has_peer(a_id) and a.has_peer(s_id), timeout=10)

def flood():
    i = 0
    while True:
        try:
            s.send_data(a_id, "sink", i, None, None)
        except (ValueError, RuntimeError):
            pass
        i += 1

threading.Thread(target=flood, daemon=True).start()
assert wait_until(lambda: len(got) > 100, timeout=10)

def in_child(check, parent=None, timeout=20):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            result = check()
        except BaseException as e:
            result = {"raised": "%s: %s" % (type(e).__name__, e)}
        os.write(w, json.dumps(result).encode())
        os.close(w)
        sys.exit(0)
    os.close(w)
    status = None
    try:
        if parent is not None:
            parent()
        deadline = time.monotonic() + timeout
        while status is None and time.monotonic() < deadline:
            done, raw = os.waitpid(pid, os.WNOHANG)
            if done:
                status = os.waitstatus_to_exitcode(raw)
            else:
                time.sleep(0.005)
    finally:
        if status is None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            status = "hung"
    data = b""
    while chunk := os.read(r, 65536):
        data += chunk
    os.close(r)
    return status, json.loads(data) if data else None

def tcp_sockets_held():
    # The inodes of the TCP sockets (IPv4 and IPv6) that this process holds.
    tcp = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                tcp.add(line.split()[9])
    held = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            continue
        m = re.fullmatch(r"socket:\\[(\\d+)\\]", target)
        if m and m.group(1) in tcp:
            held.add(m.group(1))
    return held

def parent_goes_on():
    # The parent's deliveries and connection carry on after the fork.
    before = len(got)
    assert wait_until(lambda: len(got) > before + 100, timeout=10)
    assert a.has_peer(s_id)
"""


def check(proc):
    assert proc.returncode == 0, proc.stdout + proc.stderr
    for crash in ("Fatal Python error", "terminate called", "Segmentation fault", "Aborted", "AddressSanitizer"):
        assert crash not in proc.stderr
    return proc.stdout.strip()


def test_a_child_forked_during_a_delivery_exits_normally():
    # One delivery is held inside call_soon_threadsafe (the worker thread is
    # inside the interpreter) when the script forks: the child's exit must
    # not wait for that worker, which the child does not have.
    proc = run_script(PRELUDE + """
entered, release = threading.Event(), threading.Event()
class HeldLoop:
    def call_soon_threadsafe(self, callback, *args):
        entered.set()
        release.wait(20)
a.register_actor("held", HeldLoop(), print)
c = Node("c@127.0.0.1:0", **FAST)
c.start()
c.connect_peer(a_id)
assert wait_until(lambda: c.has_peer(a_id), timeout=10)
c.send_data(a_id, "held", 1, None, None)
assert entered.wait(10)
results = [in_child(lambda: None, timeout=10) for _ in range(3)]
release.set()
parent_goes_on()
print(json.dumps(results))
""", timeout=90)
    assert check(proc) == '[[0, null], [0, null], [0, null]]'


# Each call of a method that needs a started node, with valid arguments.
CALLS = """
calls = {
    "connect_peer": lambda n: n.connect_peer(a_id),
    "forget_peer": lambda n: n.forget_peer(a_id),
    "has_peer": lambda n: n.has_peer(a_id),
    "peer_count": lambda n: n.peer_count(),
    "register_actor": lambda n: n.register_actor("x", loop, print),
    "unregister_actor": lambda n: n.unregister_actor("sink"),
    "set_event_handler": lambda n: n.set_event_handler(loop, print),
    "send_data": lambda n: n.send_data(a_id, "sink", 1, None, None),
    "notify_peer_error": lambda n: n.notify_peer_error(a_id, "d", None),
}

def attempt(call):
    try:
        return ["returned", call()]
    except Exception as e:
        return [type(e).__name__, str(e)]

def outcomes(node):
    return {name: attempt(lambda: call(node)) for name, call in calls.items()}
"""


def test_inherited_nodes_are_stopped_in_the_child_and_the_parent_goes_on():
    # c is in a call from another thread of the parent at the fork: its
    # correlation id's __index__ waits, holding c's exclusive use.
    proc = run_script(PRELUDE + CALLS + """
c = Node("c@127.0.0.1:0", **FAST)
c.start()
ids = {"a": a_id, "s": s_id, "c": c.local_id()}
in_index, leave_index = threading.Event(), threading.Event()
class SlowIndex:
    def __index__(self):
        in_index.set()
        leave_index.wait(20)
        return 1
def busy_call():
    try:
        c.send_data(a_id, "sink", 1, None, SlowIndex())
    except ValueError:  # c has no peer: the parent's call fails once __index__ returns
        pass
busy = threading.Thread(target=busy_call)
busy.start()
assert in_index.wait(10)

def child():
    return {name: {"local_id": attempt(lambda: node.local_id() == ids[name]), "calls": outcomes(node),
                   "stop": attempt(node.stop)}
            for name, node in (("a", a), ("s", s), ("c", c))}

status, seen = in_child(child)
leave_index.set()
busy.join(10)
parent_goes_on()
assert c.peer_count() == 0 and a.peer_count() == 1
print(json.dumps([status, seen, list(calls)]))
""", timeout=60)
    status, seen, names = json.loads(check(proc))
    assert status == 0
    not_started = {name: ["RuntimeError", "node has not been started"] for name in names}
    assert seen == {node: {"local_id": ["returned", True], "calls": not_started, "stop": ["returned", None]}
                    for node in "asc"}


def test_the_child_holds_no_socket_of_the_parents_nodes():
    # The parent's listener is free for a new start as soon as the parent has
    # stopped its node, while the child still runs.
    proc = run_script(PRELUDE + """
port = a.local_id().rsplit(":", 1)[1]
parent_done_r, parent_done_w = os.pipe()
assert tcp_sockets_held()  # the listeners and both ends of the connection

def child():
    held = sorted(tcp_sockets_held())
    ready, _, _ = select.select([parent_done_r], [], [], 20)  # the child lives on meanwhile
    return {"held": held, "parent_done": bool(ready)}

def parent():
    a.stop()
    deadline = time.monotonic() + 10
    while True:
        try:
            a.start()
            break
        except RuntimeError as e:  # until the old runtime has closed the listener
            assert str(e).startswith("failed to bind ") and time.monotonic() < deadline, e
            time.sleep(0.02)
    assert a.local_id().endswith(":" + port)
    a.register_actor("sink", loop, lambda payload, meta: got.append(payload))
    assert wait_until(lambda: a.has_peer(s_id), timeout=10)  # s reconnects
    parent_goes_on()
    os.write(parent_done_w, b"x")

print(json.dumps(in_child(child, parent)))
""", timeout=60)
    assert check(proc) == '[0, {"held": [], "parent_done": true}]'


def test_nodes_started_in_the_child_work():
    # In the child: a node inherited from the parent starts again with a new
    # runtime once the parent has stopped it, a node made in the child starts,
    # and the two exchange a message; the child then exits normally.
    proc = run_script(PRELUDE + """
e = Node("e@127.0.0.1:0", **FAST)
e.start()
stopped_r, stopped_w = os.pipe()

def child():
    assert select.select([stopped_r], [], [], 20)[0], "the parent did not stop e"
    deadline = time.monotonic() + 10
    while True:
        try:
            e.start()
            break
        except RuntimeError as err:  # until the parent's runtime has closed e's listener
            assert str(err).startswith("failed to bind ") and time.monotonic() < deadline, err
            time.sleep(0.02)
    f = Node("f@127.0.0.1:0", **FAST)
    f.start()
    child_loop = asyncio.new_event_loop()
    threading.Thread(target=child_loop.run_forever, daemon=True).start()
    received = []
    f.register_actor("inbox", child_loop, lambda payload, meta: received.append([payload, meta["src"]]))
    e.connect_peer(f.local_id())
    assert wait_until(lambda: e.has_peer(f.local_id()), timeout=10)
    e.send_data(f.local_id(), "inbox", {"hello": "child"}, None, None)
    assert wait_until(lambda: received, timeout=10)
    result = [received, e.local_id(), e.peer_count()]
    e.stop()
    f.stop()
    return result

def parent():
    e.stop()
    os.write(stopped_w, b"x")

status, seen = in_child(child, parent)
parent_goes_on()
print(json.dumps([status, seen, e.local_id()]))
""", timeout=60)
    status, seen, e_id = json.loads(check(proc))
    assert status == 0
    assert seen == [[[{"hello": "child"}, e_id]], e_id, 1]
