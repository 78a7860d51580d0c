# ---------------------------------------------------------------------------
# Helpers for the node tests (lifecycle, peer and message methods, delivery,
# process exit): started nodes with short intervals on 127.0.0.1, asyncio
# loops on their own threads, recorders for callbacks, polling with a
# deadline (both from support.py, which child scripts import too), a raw peer
# speaking the wire protocol, and subprocess scripts.
# ---------------------------------------------------------------------------
import asyncio
import os
import socket
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

from support import FAST, wait_until
from vardimont._core import Node

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import uvloop
except ImportError:  # the delivery tests then run on the stdlib loop only
    uvloop = None

# The event loops that delivery is tested on: the stdlib's and uvloop.
LOOP_KINDS = [
    "asyncio",
    pytest.param("uvloop", marks=pytest.mark.skipif(uvloop is None, reason="uvloop is not installed")),
]


class LoopThread:
    """An asyncio event loop (the stdlib's, or uvloop's) running on a daemon thread."""

    def __init__(self, kind="asyncio"):
        self.loop = uvloop.new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def close(self):
        if not self.loop.is_closed():
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(timeout=5)
            self.loop.close()


class Recorder:
    """A callback that records the arguments of every call, in order."""

    def __init__(self):
        self._lock = threading.Lock()
        self._calls = []

    def __call__(self, *args):
        with self._lock:
            self._calls.append(args)

    @property
    def calls(self):
        with self._lock:
            return list(self._calls)

    def firsts(self):
        return [c[0] for c in self.calls]

    def wait_for(self, n, timeout=5.0):
        assert wait_until(lambda: len(self.calls) >= n, timeout), (
            f"expected {n} calls, got {len(self.calls)}: {self.calls[:5]}")
        return self.calls

    def kinds(self):
        return [c[0]["kind"] for c in self.calls]


class ImmediateLoop:
    """An 'event loop' whose call_soon_threadsafe runs the callback at once,
    on the calling thread (a runtime worker, inside a delivery)."""

    def call_soon_threadsafe(self, callback, *args):
        callback(*args)


class GatedLoop:
    """An 'event loop' whose call_soon_threadsafe waits until `release()`
    (holding the delivering worker thread), then records what it was given."""

    def __init__(self):
        self.gate = threading.Event()
        self.entered = threading.Event()
        self.recorder = Recorder()

    def call_soon_threadsafe(self, callback, *args):
        self.entered.set()
        self.gate.wait(10)
        self.recorder(*args)

    def release(self):
        self.gate.set()


@pytest.fixture
def loop_thread():
    lt = LoopThread()
    yield lt
    lt.close()


@pytest.fixture
def event_loop_obj(loop_thread):
    return loop_thread.loop


@pytest.fixture
def make_node():
    """make_node(name, start=True, **settings): a node on 127.0.0.1 port 0 with
    short intervals; every node made is stopped at teardown."""
    made = []

    def make(name="n", start=True, host="127.0.0.1", port=0, **settings):
        kw = dict(FAST)
        kw.update(settings)
        node = Node(f"{name}@{host}:{port}", **kw)
        made.append(node)
        if start:
            node.start()
        return node

    yield make
    for node in made:
        node.stop()


def connect(a, b, timeout=5.0):
    """Makes `a` dial `b` and waits until both see the connection."""
    a.connect_peer(b.local_id())
    assert wait_until(lambda: a.has_peer(b.local_id()) and b.has_peer(a.local_id()), timeout)


def port_of(node):
    return int(node.local_id().rsplit(":", 1)[1])


# --- the wire protocol, for a raw peer that sends what a node never would

KIND_HANDSHAKE, KIND_DATA, KIND_HEARTBEAT, KIND_ERROR = 0, 1, 2, 3


def _varint(n):
    if n < 251:
        return bytes([n])
    if n < 1 << 16:
        return b"\xfb" + struct.pack("<H", n)
    if n < 1 << 32:
        return b"\xfc" + struct.pack("<I", n)
    return b"\xfd" + struct.pack("<Q", n)


def _text(b):
    return _varint(len(b)) + b


def wire_frame(kind, msg_id, src, dst_actor="", payload=b"", reply_to=None, correlation_id=None):
    body = bytes([1]) + _varint(msg_id) + _text(src.encode()) + _text(dst_actor.encode())
    body += _varint(kind) + _text(payload)
    body += b"\x00" if reply_to is None else b"\x01" + _text(reply_to.encode())
    body += b"\x00" if correlation_id is None else b"\x01" + _varint(correlation_id)
    return struct.pack("<I", len(body)) + body


class RawPeer:
    """A TCP client that dials a node as `src` (no cluster secret), sends its
    handshake, keeps the connection alive with heartbeats, and then sends
    frames built by hand. It never reads."""

    def __init__(self, node, src="raw@127.0.0.1:1"):
        self.src = src
        self.msg_id = 0
        self.lock = threading.Lock()
        self.closed = threading.Event()
        self.sock = socket.create_connection(("127.0.0.1", port_of(node)), timeout=5)
        self.send(KIND_HANDSHAKE)
        self.beat = threading.Thread(target=self._heartbeats, daemon=True)
        self.beat.start()

    def _heartbeats(self):
        while not self.closed.wait(0.05):
            try:
                with self.lock:  # heartbeats use no message id of the test's
                    self.sock.sendall(wire_frame(KIND_HEARTBEAT, 0, self.src))
            except OSError:
                return

    def send(self, kind, **fields):
        """Sends one frame; message ids count 1, 2, ... from the handshake."""
        with self.lock:
            self.msg_id += 1
            self.sock.sendall(wire_frame(kind, self.msg_id, self.src, **fields))

    def close(self):
        self.closed.set()
        self.beat.join(5)
        self.sock.close()


@pytest.fixture
def raw_peer():
    made = []

    def make(node, src="raw@127.0.0.1:1"):
        peer = RawPeer(node, src)
        made.append(peer)
        assert wait_until(lambda: node.has_peer(src))
        return peer

    yield make
    for peer in made:
        peer.close()


def run_script(code, env=None, timeout=60):
    """Runs `code` in a fresh interpreter that finds this folder's modules
    (support, conftest) on its path; returns the CompletedProcess (text)."""
    full_env = dict(os.environ)
    for name in ("RUST_LOG", "NO_COLOR"):
        full_env.pop(name, None)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, full_env.get("PYTHONPATH")) if p)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout)
