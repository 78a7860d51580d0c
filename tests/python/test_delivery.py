"""Delivery to Python: what an actor's callback and an event handler's callback
receive on their asyncio loops, in what order, and what a failed delivery
leaves behind."""
import asyncio
import sys
import threading

import pytest

from conftest import (KIND_DATA, KIND_ERROR, LOOP_KINDS, GatedLoop, LoopThread, Recorder, connect, run_script,
                      wait_until)

META_KEYS = ["src", "reply_to", "correlation_id", "msg_id"]


@pytest.fixture(params=LOOP_KINDS)
def loop_thread(request):
    """Every delivery test runs on the stdlib's loop and on uvloop."""
    lt = LoopThread(request.param)
    yield lt
    lt.close()


@pytest.fixture
def pair(make_node, loop_thread):
    """b connected to a; a has the actor 'x' recorded on the loop thread."""
    a, b = make_node("a"), make_node("b")
    actor = Recorder()
    a.register_actor("x", loop_thread.loop, actor)
    connect(b, a)
    return a, b, actor


@pytest.mark.parametrize("reply_to, correlation_id, expected_cid", [
    (None, None, None),
    ("b.inbox", 7, 7),
    ("", 0, 0),
    (None, True, 1),
    ("r", 2**64 - 1, 2**64 - 1),
])
def test_meta_dict_carries_what_the_sender_gave(pair, reply_to, correlation_id, expected_cid):
    a, b, actor = pair
    payload = {"text": "héllo", "n": [1, 2.5, None, True], "big": 2**64 - 1}
    b.send_data(a.local_id(), "x", payload, reply_to, correlation_id)
    (got, meta), = actor.wait_for(1)
    assert got == payload
    assert list(meta) == META_KEYS
    assert meta["src"] == b.local_id()
    assert meta["reply_to"] == reply_to
    assert meta["correlation_id"] == expected_cid
    assert type(meta["msg_id"]) is int and meta["msg_id"] > 0


def test_callbacks_run_on_the_actors_loop_in_message_order(pair, loop_thread):
    a, b, _ = pair
    threads = []
    got = []

    def callback(payload, meta):
        threads.append(threading.current_thread())
        got.append((payload, meta["msg_id"]))

    a.register_actor("ordered", loop_thread.loop, callback)
    for i in range(100):
        b.send_data(a.local_id(), "ordered", i, None, None)
    assert wait_until(lambda: len(got) == 100)
    assert [p for p, _ in got] == list(range(100))
    ids = [m for _, m in got]
    assert ids == sorted(ids) and len(set(ids)) == 100
    assert set(threads) == {loop_thread.thread}


def test_raw_payloads_empty_gives_none_and_invalid_json_is_dropped(make_node, loop_thread, raw_peer):
    a = make_node("a")
    actor = Recorder()
    a.register_actor("x", loop_thread.loop, actor)
    raw = raw_peer(a)
    raw.send(KIND_DATA, dst_actor="x", payload=b"")
    raw.send(KIND_DATA, dst_actor="x", payload=b"{not json")
    raw.send(KIND_DATA, dst_actor="x", payload=b'[1] trailing bytes are not examined', reply_to="r",
             correlation_id=5)
    calls = actor.wait_for(2)
    assert calls[0] == (None, {"src": raw.src, "reply_to": None, "correlation_id": None, "msg_id": 2})
    # The second message never reached the callback; the third did.
    assert calls[1] == ([1], {"src": raw.src, "reply_to": "r", "correlation_id": 5, "msg_id": 4})


class Failing:
    """An event loop object whose call_soon_threadsafe fails for the first two
    items (as a closed asyncio loop does, then as an object without the
    method would) and then works."""

    def __init__(self, good):
        self.good = good
        self.lookups = 0
        self.closed = asyncio.new_event_loop()
        self.closed.close()

    def __getattr__(self, name):
        if name != "call_soon_threadsafe":
            raise AttributeError(name)
        self.lookups += 1
        if self.lookups == 1:
            return self.closed.call_soon_threadsafe
        if self.lookups == 2:
            raise AttributeError(name)
        return self.good.call_soon_threadsafe


def test_a_failed_delivery_loses_that_item_only(pair, loop_thread):
    a, b, _ = pair
    actor = Recorder()
    failing = Failing(loop_thread.loop)
    a.register_actor("f", failing, actor)
    for i in range(4):
        b.send_data(a.local_id(), "f", i, None, None)
    # call_soon_threadsafe is looked up anew for every message.
    assert [c[0] for c in actor.wait_for(2)] == [2, 3]
    assert failing.lookups == 4


def test_error_events_from_unknown_actor_and_from_notify(pair, loop_thread):
    a, b, _ = pair
    b_events = Recorder()
    b.set_event_handler(loop_thread.loop, b_events)
    a_events = Recorder()
    a.set_event_handler(loop_thread.loop, a_events)
    b.send_data(a.local_id(), "nope", 1, None, 7)
    b.send_data(a.local_id(), "nope", 1, None, None)
    a.notify_peer_error(b.local_id(), 'full "q"\n\u0001é', 2**64 - 1)
    events = [e[0] for e in b_events.wait_for(3)]
    refusals = [e for e in events if e["detail"].startswith('{"error":"actor_not_found')]
    assert refusals == [
        {"kind": "error", "peer": a.local_id(), "detail": '{"error":"actor_not_found:nope"}', "correlation_id": 7},
        {"kind": "error", "peer": a.local_id(), "detail": '{"error":"actor_not_found:nope"}',
         "correlation_id": None},
    ]
    assert all(list(e) == ["kind", "peer", "detail", "correlation_id"] for e in events)
    notified = [e for e in events if e not in refusals]
    assert notified == [{"kind": "error", "peer": a.local_id(), "detail": '{"error":"full \\"q\\"\\n\\u0001é"}',
                         "correlation_id": 2**64 - 1}]
    assert a_events.calls == []  # an unknown actor is told to the sender only


def test_error_message_payloads_are_rendered_into_the_detail(make_node, loop_thread, raw_peer):
    a = make_node("a")
    events = Recorder()
    a.set_event_handler(loop_thread.loop, events)
    raw = raw_peer(a)
    payloads = [b"", b'{ "b": 1, "a": [true, null] }', b"abc"]
    for i, payload in enumerate(payloads):
        raw.send(KIND_ERROR, payload=payload, correlation_id=i)
    assert wait_until(lambda: events.kinds().count("error") == 3)
    details = [(e[0]["detail"], e[0]["correlation_id"]) for e in events.calls if e[0]["kind"] == "error"]
    assert details == [("null", 0), ('{"a":[true,null],"b":1}', 1), ("", 2)]


def test_every_event_kind_reaches_the_handler_as_its_dictionary(make_node, loop_thread):
    a = make_node("a", reconnect_max_attempts=0)
    b = make_node("b")
    events = Recorder()
    a.set_event_handler(loop_thread.loop, events)
    connect(a, b)
    peer = b.local_id()
    b.stop()  # a dialled b: it wants b and tries once more, in vain
    assert events.wait_for(3) == [
        ({"kind": "peer_connected", "peer": peer},),
        ({"kind": "peer_disconnected", "peer": peer},),
        ({"kind": "reconnect_gave_up", "peer": peer},),
    ]


def test_a_handler_that_falls_behind_loses_the_oldest_events(pair, loop_thread):
    a, b, _ = pair
    gated, keeping_up = GatedLoop(), Recorder()
    a.set_event_handler(gated, "cb")
    a.set_event_handler(loop_thread.loop, keeping_up)
    b.notify_peer_error(a.local_id(), "d", 0)
    assert gated.entered.wait(5)
    # In chunks well below the broadcast's 64, so that the second handler
    # keeps up however slowly its deliveries run.
    for start in range(1, 150, 30):
        for i in range(start, min(start + 30, 150)):
            b.notify_peer_error(a.local_id(), "d", i)
        keeping_up.wait_for(min(start + 30, 150))
    assert [e[0]["correlation_id"] for e in keeping_up.calls] == list(range(150))
    gated.release()
    # Event 0 was in delivery when the others came; of those the broadcast
    # held the 64 newest.
    assert wait_until(lambda: gated.recorder.calls and gated.recorder.calls[-1][0]["correlation_id"] == 149)
    got = [e[0]["correlation_id"] for e in gated.recorder.calls]
    assert got == [0] + list(range(150 - 64, 150))
    assert all(set(e[0]) == {"kind", "peer", "detail", "correlation_id"} for e in gated.recorder.calls)


def test_a_handler_that_falls_behind_is_told_how_many_events_it_missed():
    # Logging is set up once per process, so the WARN line is looked for in a
    # process of its own.
    done = run_script("""
        import threading
        from support import FAST, wait_until
        from vardimont._core import Node

        class Gated:
            entered, gate, got = threading.Event(), threading.Event(), []
            def call_soon_threadsafe(self, callback, event):
                self.entered.set()
                self.gate.wait(10)
                self.got.append(event.get("correlation_id"))

        class Sink:  # keeps up: tells when every event has been published
            got = []
            def call_soon_threadsafe(self, callback, event):
                self.got.append(event)

        slow_timeout = dict(FAST, peer_timeout=5.0)
        a, b = Node("a@127.0.0.1:0", **slow_timeout), Node("b@127.0.0.1:0", **slow_timeout)
        a.start(); b.start()
        gated = Gated()
        a.set_event_handler(gated, print)
        a.set_event_handler(Sink(), print)
        b.connect_peer(a.local_id())
        assert gated.entered.wait(10)  # peer_connected is in delivery
        for start in range(0, 100, 25):  # in chunks the sink keeps up with
            for i in range(start, start + 25):
                b.notify_peer_error(a.local_id(), "d", i)
            assert wait_until(lambda: len(Sink.got) == start + 26, timeout=10)
        gated.gate.set()
        assert wait_until(lambda: gated.got and gated.got[-1] == 99, timeout=10)
        print(len(gated.got))
        a.stop(); b.stop()
    """, env={"RUST_LOG": "_core::py::node=warn", "NO_COLOR": "1"})
    assert done.returncode == 0, done.stderr
    # The connection event in delivery, then the 64 newest of the 100 errors.
    assert done.stdout == "65\n"
    lines = [l for l in done.stderr.splitlines() if "fell behind" in l]
    assert len(lines) == 1, done.stderr
    assert " WARN _core::py::node: event handler fell behind, events skipped missed=36" in lines[0]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads thread names from /proc")
def test_worker_threads_give_their_interpreter_state_back_when_they_end():
    # Each worker keeps the thread state of its first delivery; once a node's
    # runtime is gone, its threads must have released those states again.
    # The states are counted only once no native thread is left, so that none
    # is created or deleted while the list is walked.
    done = run_script("""
        import ctypes
        from support import FAST, thread_names, wait_until
        from vardimont._core import Node

        api = ctypes.pythonapi
        api.PyInterpreterState_Get.restype = ctypes.c_void_p
        api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
        api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
        api.PyThreadState_Next.restype = ctypes.c_void_p
        api.PyThreadState_Next.argtypes = [ctypes.c_void_p]

        def thread_states():
            n, t = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())
            while t:
                n, t = n + 1, api.PyThreadState_Next(t)
            return n

        def native_threads():
            return sum(name.startswith("vardimont") for name in thread_names())

        class Sink:
            got = []
            def call_soon_threadsafe(self, callback, *args):
                self.got.append(args)

        base = thread_states()
        for cycle in range(10):
            a = Node("a@127.0.0.1:0", **FAST)
            b = Node("b@127.0.0.1:0", **FAST)
            a.start(); b.start()
            Sink.got.clear()
            a.register_actor("x", Sink(), print)
            b.connect_peer(a.local_id())
            assert wait_until(lambda: b.has_peer(a.local_id()), timeout=10)
            for i in range(20):
                b.send_data(a.local_id(), "x", i, None, None)
            assert wait_until(lambda: len(Sink.got) >= 20, timeout=10), len(Sink.got)
            a.stop(); b.stop()
        assert wait_until(lambda: not native_threads(), timeout=20), "native threads still running"
        assert thread_states() == base, (thread_states(), base)
        print("ok")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


def test_nothing_is_scheduled_after_stop_returns():
    # Five messages in one segment reach the actor's mailbox together; the
    # first delivery stops the node. The delivery under way completes; the
    # four messages behind it are never handed to the loop, although they were
    # already taken from the mailbox or waiting in it.
    done = run_script("""
        import socket
        from conftest import KIND_DATA, KIND_HANDSHAKE, port_of, wire_frame
        from support import thread_names, wait_until
        from vardimont._core import Node

        def workers():
            return thread_names().count("vardimont-work")

        a = Node("a@127.0.0.1:0")
        a.start()
        got = []

        class StoppingLoop:
            def call_soon_threadsafe(self, callback, *args):
                got.append(args)
                if len(got) == 1:
                    a.stop()

        a.register_actor("x", StoppingLoop(), print)
        src = "raw@127.0.0.1:1"
        sock = socket.create_connection(("127.0.0.1", port_of(a)), timeout=5)
        sock.sendall(wire_frame(KIND_HANDSHAKE, 1, src))
        assert wait_until(lambda: a.has_peer(src), timeout=10)
        sock.sendall(b"".join(wire_frame(KIND_DATA, 2 + i, src, "x", payload=b"[1]") for i in range(5)))
        # The stopped node's workers end after the delivery under way.
        assert wait_until(lambda: got and not workers(), timeout=10), (len(got), workers())
        print(len(got))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "1\n"
