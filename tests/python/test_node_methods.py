"""The Node methods for peers, messages, actors and event handlers: their
argument checks and the order of those checks, their results on a started
node, and what each leaves behind."""
import socket
import threading

import pytest

from conftest import GatedLoop, ImmediateLoop, Recorder, connect, port_of, wait_until
from support import in_use
from vardimont._core import Node

PEER = "p@127.0.0.1:1"

# Every method that needs the transport, with arguments that pass every check
# before the started check.
VALID_CALLS = [
    ("connect_peer", (PEER,)),
    ("forget_peer", (PEER,)),
    ("has_peer", (PEER,)),
    ("peer_count", ()),
    ("register_actor", ("x", None, None)),
    ("unregister_actor", ("x",)),
    ("set_event_handler", (None, None)),
    ("send_data", (PEER, "x", {"k": 1}, None, None)),
    ("notify_peer_error", (PEER, "d", None)),
]


@pytest.mark.parametrize("method, args", VALID_CALLS, ids=[c[0] for c in VALID_CALLS])
def test_methods_of_a_node_that_is_not_started_raise_after_their_checks(make_node, method, args):
    never = Node("a@127.0.0.1:0")
    stopped = make_node("b")
    stopped.stop()
    for node in (never, stopped):
        with pytest.raises(RuntimeError, match="^node has not been started$"):
            getattr(node, method)(*args)


@pytest.mark.parametrize("method, args, kwargs, message", [
    ("has_peer", (), {}, "Node.has_peer() missing 1 required positional argument: 'peer_id'"),
    ("send_data", (PEER, "x", 1), {},
     "Node.send_data() missing 2 required positional arguments: 'reply_to' and 'correlation_id'"),
    ("notify_peer_error", (), {}, "Node.notify_peer_error() missing 3 required positional arguments: "
                                  "'peer_id', 'detail', and 'correlation_id'"),
    ("has_peer", (PEER, PEER), {}, "Node.has_peer() takes 1 positional arguments but 2 were given"),
    ("has_peer", (), {"peer": PEER}, "Node.has_peer() got an unexpected keyword argument 'peer'"),
    ("has_peer", (PEER,), {"peer_id": PEER}, "Node.has_peer() got multiple values for argument 'peer_id'"),
    ("register_actor", ("a", None), {}, "Node.register_actor() missing 1 required positional argument: 'callback'"),
    ("set_event_handler", (None,), {"callback": None, "loop": None},
     "Node.set_event_handler() got an unexpected keyword argument 'loop'"),
])
def test_binding_errors(method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(Node("a@h:0"), method)(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_methods_without_parameters_refuse_arguments():
    with pytest.raises(TypeError):
        Node("a@h:0").peer_count(1)


def test_every_parameter_may_be_given_by_keyword(make_node):
    node = make_node("a")
    assert node.has_peer(peer_id=PEER) is False
    with pytest.raises(ValueError, match="^send failed: peer not connected$"):
        node.send_data(correlation_id=None, reply_to=None, payload=1, dst_actor="x", peer_id=PEER)


@pytest.mark.parametrize("method, args, error, message, param", [
    ("has_peer", (5,), TypeError, "'int' object is not an instance of 'str'", "peer_id"),
    ("has_peer", (None,), TypeError, "'None' is not an instance of 'str'", "peer_id"),
    ("has_peer", (b"a@h:1",), TypeError, "'bytes' object is not an instance of 'str'", "peer_id"),
    ("has_peer", ("a@h:1\ud800",), UnicodeEncodeError, None, "peer_id"),
    ("send_data", (PEER, None, 1, None, None), TypeError, "'None' is not an instance of 'str'", "dst_actor"),
    ("send_data", (PEER, "x", 1, 5, None), TypeError, "'int' object is not an instance of 'str'", "reply_to"),
    ("send_data", (PEER, "x", 1, None, -1), OverflowError, None, "correlation_id"),
    ("send_data", (PEER, "x", 1, None, 2**64), OverflowError, None, "correlation_id"),
    ("send_data", (PEER, "x", 1, None, 1.5), TypeError, None, "correlation_id"),
    ("notify_peer_error", (PEER, 5, None), TypeError, "'int' object is not an instance of 'str'", "detail"),
    ("notify_peer_error", (PEER, "d", "7"), TypeError, None, "correlation_id"),
    ("register_actor", (5, None, None), TypeError, "'int' object is not an instance of 'str'", "name"),
    ("unregister_actor", (None,), TypeError, "'None' is not an instance of 'str'", "name"),
    # The first parameter that fails decides, whatever comes later.
    ("send_data", ("nohost", "x", object(), None, 1.5), TypeError, None, "correlation_id"),
])
def test_conversion_errors_carry_the_parameter_in_a_note(method, args, error, message, param):
    with pytest.raises(error) as info:
        getattr(Node("a@h:0"), method)(*args)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("method, args, error, pattern", [
    ("has_peer", ("nohost",), ValueError, r"^invalid peer id: expected 'name@host:port'$"),
    ("connect_peer", ("a@h:x",), ValueError, r"^invalid peer id: port must be a number$"),
    ("forget_peer", ("@h:1",), ValueError, r"^invalid peer id: "),
    ("notify_peer_error", ("a@:1", "d", None), ValueError, r"^invalid peer id: "),
    ("send_data", ("nohost", "x", object(), None, None), ValueError, r"^invalid peer id: "),
    ("send_data", (PEER, "x", object(), None, None), TypeError, None),
    ("send_data", (PEER, "x", float("nan"), None, None), ValueError, None),
    ("send_data", (PEER, "x", {1: 2}, None, None), TypeError, None),
])
def test_peer_id_and_payload_are_checked_before_the_node_is(method, args, error, pattern):
    with pytest.raises(error, match=pattern) as info:
        getattr(Node("a@h:0"), method)(*args)
    assert "node has not been started" not in str(info.value)


def test_a_started_node_without_connections(make_node):
    node = make_node("a")
    assert node.peer_count() == 0
    assert node.has_peer(PEER) is False
    assert node.forget_peer(PEER) is None
    assert node.notify_peer_error(PEER, "nobody hears this", 3) is None
    with pytest.raises(ValueError, match="^send failed: peer not connected$"):
        node.send_data(PEER, "x", "hi", "r", 1)


def test_a_payload_above_the_limit_is_refused_before_the_peer_is_looked_up(make_node):
    node = make_node("a")
    text = "x" * 16_777_215  # its JSON form has two quotes more
    with pytest.raises(ValueError, match=r"^send failed: payload too large \(16777217 bytes\)$"):
        node.send_data(PEER, "x", text, None, None)


def dead_address():
    """A loopback port where nothing listens (connections are refused)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# The witness that a node's reconnection has had its turns: the node gives up
# on a peer where nothing listens only after RECONNECT_TURNS attempts, each a
# reconnect interval after the last; a reconnection due in that time has come.
RECONNECT_TURNS = 5


def dial_a_dead_peer(node):
    peer = f"gone@127.0.0.1:{dead_address()}"
    node.connect_peer(peer)
    return peer


def gave_up(events, peer):
    return ({"kind": "reconnect_gave_up", "peer": peer},) in events.calls


def test_connect_and_forget(make_node, loop_thread):
    a = make_node("a", reconnect_max_attempts=RECONNECT_TURNS)
    b = make_node("b", reconnect_max_attempts=RECONNECT_TURNS)
    a_events, b_events = Recorder(), Recorder()
    a.set_event_handler(loop_thread.loop, a_events)
    b.set_event_handler(loop_thread.loop, b_events)
    assert a.connect_peer(b.local_id()) is None
    assert wait_until(lambda: a.has_peer(b.local_id()) and b.has_peer(a.local_id()))
    assert a.peer_count() == b.peer_count() == 1
    # The same peer under another host text is another id.
    assert not a.has_peer(b.local_id().replace("127.0.0.1", "localhost"))

    assert a.forget_peer(b.local_id()) is None
    assert not a.has_peer(b.local_id())
    assert wait_until(lambda: not b.has_peer(a.local_id()))
    assert a_events.wait_for(2)[:2] == [({"kind": "peer_connected", "peer": b.local_id()},),
                                        ({"kind": "peer_disconnected", "peer": b.local_id()},)]
    assert b_events.wait_for(2)[:2] == [({"kind": "peer_connected", "peer": a.local_id()},),
                                        ({"kind": "peer_disconnected", "peer": a.local_id()},)]
    # Forgotten: no reconnection, and b did not dial, so it does not either.
    a_gone, b_gone = dial_a_dead_peer(a), dial_a_dead_peer(b)
    assert wait_until(lambda: gave_up(a_events, a_gone) and gave_up(b_events, b_gone))
    assert a.peer_count() == b.peer_count() == 0
    assert a_events.kinds()[2:] == b_events.kinds()[2:] == ["reconnect_gave_up"]


def test_a_failed_connect_shows_only_as_the_give_up(make_node, loop_thread):
    a = make_node("a", reconnect_max_attempts=2)
    events = Recorder()
    a.set_event_handler(loop_thread.loop, events)
    peer = f"gone@127.0.0.1:{dead_address()}"
    assert a.connect_peer(peer) is None
    assert events.wait_for(1)[0] == ({"kind": "reconnect_gave_up", "peer": peer},)
    assert not a.has_peer(peer) and a.peer_count() == 0


def test_connect_peer_to_a_peer_that_dialled_us_changes_nothing(make_node):
    a, b = make_node("a", reconnect_max_attempts=RECONNECT_TURNS), make_node("b")
    a_events = Recorder()
    a.set_event_handler(ImmediateLoop(), a_events)
    connect(b, a)
    a.connect_peer(b.local_id())  # already in the peer table: not marked as wanted
    assert a.peer_count() == 1
    b.forget_peer(a.local_id())
    assert wait_until(lambda: not a.has_peer(b.local_id()))
    # a does not dial b again (b still listens and would accept).
    gone = dial_a_dead_peer(a)
    assert wait_until(lambda: gave_up(a_events, gone))
    assert not a.has_peer(b.local_id())
    assert a_events.kinds() == ["peer_connected", "peer_disconnected", "reconnect_gave_up"]


def connected_to_a_sink(make_node, sink, peer_timeout):
    """Node "a" (a one-slot peer queue, no reconnection) connected to `sink`, a
    listening socket that accepts and then neither reads nor sends; returns a,
    the sink's peer id and the accepted connection."""
    sink.bind(("127.0.0.1", 0))
    sink.listen()
    sink_id = f"sink@127.0.0.1:{sink.getsockname()[1]}"
    a = make_node("a", peer_timeout=peer_timeout, peer_queue_capacity=1, reconnect_max_attempts=0)
    a.connect_peer(sink_id)
    assert wait_until(lambda: a.has_peer(sink_id))
    conn, _ = sink.accept()
    return a, sink_id, conn


def test_a_call_while_another_thread_waits_in_send_data_is_refused_at_once(make_node):
    # The sink accepts connections and never reads: once the socket buffers
    # and the one-slot peer queue are full, send_data waits (GIL released).
    with socket.socket() as sink:
        a, sink_id, conn = connected_to_a_sink(make_node, sink, peer_timeout=10.0)
        other = make_node("o")
        outcome = []

        def flood():
            try:
                sent = 0
                while sent < 200:  # far more than any socket buffer holds
                    try:
                        a.send_data(sink_id, "x", "y" * 1_000_000, None, None)
                        sent += 1
                    except RuntimeError as e:
                        # A send that finds room never releases the GIL, so
                        # the probe below can be inside has_peer between two
                        # sends: this send was refused, not the probe's.
                        assert str(e) == "Already borrowed"
                outcome.append("all sent")
            except ValueError as e:
                outcome.append(str(e))

        sender = threading.Thread(target=flood)
        sender.start()

        assert wait_until(lambda: in_use(a, sink_id))
        assert other.peer_count() == 0  # other nodes are not held up
        sink.close()  # no reconnection can succeed ...
        conn.close()  # ... and the blocked send fails
        sender.join(10)
        assert not sender.is_alive()
        assert outcome and outcome[0].startswith("send failed: ")
    assert wait_until(lambda: not a.has_peer(sink_id))


def test_a_send_waiting_on_a_peer_that_reads_nothing_fails_once_the_connection_ends(make_node):
    # The sink never reads and never sends: the node's reader times out, and
    # after one more read time-out of grace for the writer the socket closes
    # and the send waiting for room gives up.
    with socket.socket() as sink:
        a, sink_id, conn = connected_to_a_sink(make_node, sink, peer_timeout=0.5)
        outcome = []

        def flood():
            try:
                for _ in range(200):
                    a.send_data(sink_id, "x", "y" * 1_000_000, None, None)
                outcome.append("all sent")
            except ValueError as e:
                outcome.append(str(e))

        sender = threading.Thread(target=flood)
        sender.start()
        sender.join(5)
        stuck = sender.is_alive()
        conn.close()  # lets a stuck sender go, so that the test can end
        sender.join(10)
        assert not stuck, "send_data still waits after the connection ended"
        assert outcome == ["send failed: peer connection is closed"]


# --- actors and event handlers

def test_register_actor_accepts_any_loop_and_callback(make_node):
    node = make_node("a")
    assert node.register_actor("", None, None) is None
    assert node.register_actor("a", object(), 42) is None
    assert node.unregister_actor("never registered") is None


def test_a_message_sent_right_after_register_actor_returns_is_delivered(make_node, loop_thread):
    a, b = make_node("a"), make_node("b")
    b_events = Recorder()
    b.set_event_handler(loop_thread.loop, b_events)
    connect(b, a)
    actors = [Recorder() for _ in range(5)]
    for i, actor in enumerate(actors):
        a.register_actor(f"actor{i}", loop_thread.loop, actor)
        b.send_data(a.local_id(), f"actor{i}", i, None, i)
    for i, actor in enumerate(actors):
        assert actor.wait_for(1)[0][0] == i
    assert "error" not in b_events.kinds()


def test_registering_a_name_again_sends_later_messages_to_the_new_callback(make_node, loop_thread):
    a, b = make_node("a"), make_node("b")
    connect(b, a)
    first, second = Recorder(), Recorder()
    a.register_actor("x", loop_thread.loop, first)
    b.send_data(a.local_id(), "x", 1, None, None)
    first.wait_for(1)
    a.register_actor("x", loop_thread.loop, second)
    b.send_data(a.local_id(), "x", 2, None, None)
    assert second.wait_for(1)[0][0] == 2
    assert first.firsts() == [1]


def test_unregister_delivers_what_the_mailbox_holds_and_then_refuses(make_node, loop_thread):
    a, b = make_node("a"), make_node("b")
    b_events = Recorder()
    b.set_event_handler(loop_thread.loop, b_events)
    connect(b, a)
    gated = GatedLoop()
    a.register_actor("x", gated, "cb")
    b.send_data(a.local_id(), "x", 0, None, None)
    assert gated.entered.wait(5)  # the drain loop holds message 0
    for i in range(1, 4):
        b.send_data(a.local_id(), "x", i, None, None)
    # One connection is read in order: once the reply for this one is back,
    # messages 1 to 3 are in the mailbox.
    b.send_data(a.local_id(), "probe", None, None, 100)
    assert wait_until(lambda: 100 in [e[0].get("correlation_id") for e in b_events.calls])
    a.unregister_actor("x")
    b.send_data(a.local_id(), "x", 4, None, 101)
    assert wait_until(lambda: 101 in [e[0].get("correlation_id") for e in b_events.calls])
    refusal = next(e[0] for e in b_events.calls if e[0].get("correlation_id") == 101)
    assert refusal["detail"] == '{"error":"actor_not_found:x"}'
    gated.release()
    gated.recorder.wait_for(4)
    assert [c[0] for c in gated.recorder.calls] == [0, 1, 2, 3]


def test_unregister_then_register_at_once_leaves_the_new_mailbox(make_node, loop_thread):
    a, b = make_node("a"), make_node("b")
    connect(b, a)
    old, new = Recorder(), Recorder()
    a.register_actor("x", loop_thread.loop, old)
    a.unregister_actor("x")
    a.register_actor("x", loop_thread.loop, new)
    b.send_data(a.local_id(), "x", "hello", None, None)
    assert new.wait_for(1)[0][0] == "hello"
    assert old.calls == []


def test_a_full_mailbox_drops_the_message_and_tells_both_sides(make_node, loop_thread):
    a, b = make_node("a"), make_node("b")
    a_events, b_events = Recorder(), Recorder()
    a.set_event_handler(loop_thread.loop, a_events)
    b.set_event_handler(loop_thread.loop, b_events)
    connect(b, a)
    gated = GatedLoop()
    a.register_actor("x", gated, "cb")
    b.send_data(a.local_id(), "x", -1, None, None)
    assert gated.entered.wait(5)  # taken out of the mailbox, held in delivery
    for i in range(257):  # the mailbox holds 256
        b.send_data(a.local_id(), "x", i, None, i)
    assert wait_until(lambda: "mailbox_full" in a_events.kinds())
    assert [c for c in a_events.calls if c[0]["kind"] == "mailbox_full"] == [
        ({"kind": "mailbox_full", "actor": "x"},)]
    assert wait_until(lambda: "error" in b_events.kinds())
    assert [c[0] for c in b_events.calls if c[0]["kind"] == "error"] == [
        {"kind": "error", "peer": a.local_id(), "detail": '{"error":"mailbox_full:x"}', "correlation_id": 256}]
    gated.release()
    gated.recorder.wait_for(257)
    assert [c[0] for c in gated.recorder.calls] == list(range(-1, 256))


def test_event_handlers_accumulate_and_see_only_later_events(make_node, loop_thread):
    a, b, c = make_node("a"), make_node("b"), make_node("c")
    early = Recorder()
    a.set_event_handler(loop_thread.loop, early)
    connect(b, a)
    late = Recorder()
    a.set_event_handler(loop_thread.loop, late)
    a.set_event_handler(loop_thread.loop, late)
    connect(c, a)
    expected = ({"kind": "peer_connected", "peer": c.local_id()},)
    assert late.wait_for(2) == [expected, expected]
    assert early.wait_for(2) == [({"kind": "peer_connected", "peer": b.local_id()},), expected]


def test_blocking_methods_refuse_to_run_on_a_runtime_worker(make_node):
    """An event loop whose call_soon_threadsafe runs the callback at once puts
    the callback on a worker thread: blocking calls there raise at once."""
    a, b, other = make_node("a"), make_node("b"), make_node("o")
    connect(b, a)
    # The callback may run while the main thread is still inside b.send_data,
    # which holds b: it touches neither b nor anything that the main thread uses.
    b_id = b.local_id()
    outcomes = []
    calls = {
        "start": lambda: a.start(),
        "has_peer": lambda: a.has_peer(b_id),
        "peer_count": lambda: a.peer_count(),
        "forget_peer": lambda: a.forget_peer("z@127.0.0.1:1"),
        "send_data": lambda: a.send_data(b_id, "x", 1, None, None),
        "notify_peer_error": lambda: a.notify_peer_error(b_id, "d", None),
        "register_actor": lambda: a.register_actor("y", None, None),
        "unregister_actor": lambda: a.unregister_actor("y"),
        "other node": lambda: other.peer_count(),
    }

    def callback(payload, meta):
        for name, call in calls.items():
            try:
                call()
                outcomes.append((name, "returned"))
            except RuntimeError as e:
                outcomes.append((name, str(e)))
        outcomes.append(("local_id", a.local_id()))

    a.register_actor("x", ImmediateLoop(), callback)
    b.send_data(a.local_id(), "x", 1, None, None)
    assert wait_until(lambda: len(outcomes) == len(calls) + 1)
    assert outcomes[:-1] == [(name, "blocking call refused on a runtime worker thread") for name in calls]
    assert outcomes[-1] == ("local_id", a.local_id())
    # The worker was not held up: the node still works, and delivers.
    b.send_data(a.local_id(), "x", 2, None, None)
    assert wait_until(lambda: len(outcomes) == 2 * (len(calls) + 1))
    assert a.peer_count() == 1
