"""Reference counting and memory on every path of the codec and of the Node
constructor: the objects a call is given keep their reference counts, and
repeating a call, successful or failing, does not make memory grow."""
import gc
import sys
import tracemalloc

import pytest

from vardimont._core import Node, decode_payload, encode_payload

SHARED_TEXT = "".join(["shared ", "text"])  # not interned: counts only our references
SHARED_FLOAT = float("1.5")
SHARED_BIG = 2**64 - 1
SHARED_KEY = "".join(["sha", "red-key"])


def shared_refcounts():
    return [sys.getrefcount(o) for o in (SHARED_TEXT, SHARED_FLOAT, SHARED_BIG, SHARED_KEY)]


def payload():
    inner = [SHARED_TEXT, SHARED_FLOAT, SHARED_BIG, None, True]
    return {SHARED_KEY: inner * 20, "t": (SHARED_TEXT, {"k": inner}), "n": [[inner]]}


def deep(value, depth):
    for _ in range(depth):
        value = [value]
    return value


FAILING_PAYLOADS = [
    [SHARED_TEXT, SHARED_FLOAT, {1: SHARED_TEXT}],
    {SHARED_KEY: [SHARED_BIG, set()]},
    [SHARED_TEXT, SHARED_BIG + 1],
    [SHARED_FLOAT, float("nan")],
    [SHARED_TEXT, "\ud800"],
    {SHARED_KEY: 1, "\udc00": SHARED_TEXT},
    deep([SHARED_TEXT, SHARED_KEY], 130),
]


def test_encoding_keeps_every_reference_count():
    value = payload()
    before = shared_refcounts()
    whole = sys.getrefcount(value)
    for _ in range(200):
        encode_payload(value)
        encode_payload(obj=value)
    assert shared_refcounts() == before
    assert sys.getrefcount(value) == whole


@pytest.mark.parametrize("value", FAILING_PAYLOADS, ids=range(len(FAILING_PAYLOADS)))
def test_a_failing_encoding_keeps_every_reference_count(value):
    before = shared_refcounts()
    whole = sys.getrefcount(value)
    for _ in range(100):
        with pytest.raises((TypeError, ValueError)):
            encode_payload(value)
    assert shared_refcounts() == before
    assert sys.getrefcount(value) == whole


def test_node_calls_keep_the_reference_counts_of_their_arguments():
    node = Node("a@h:1")
    value, loop, callback = payload(), object(), object()
    counts = shared_refcounts(), sys.getrefcount(value), sys.getrefcount(loop), sys.getrefcount(callback)
    for _ in range(100):
        for call in (
            lambda: node.send_data("p@h:2", SHARED_TEXT, value, SHARED_KEY, SHARED_BIG),
            lambda: node.send_data("p@h:2", SHARED_TEXT, FAILING_PAYLOADS[0], None, None),
            lambda: node.register_actor(SHARED_TEXT, loop, callback),
            lambda: node.set_event_handler(event_loop=loop, callback=callback),
            lambda: Node(SHARED_TEXT, cluster_secret=SHARED_KEY),
            lambda: Node("a@h:1", reconnect_interval=SHARED_FLOAT, peer_queue_capacity=SHARED_BIG),
            lambda: Node("a@h:1", SHARED_FLOAT, 3, SHARED_KEY, -SHARED_FLOAT),
        ):
            try:
                call()
            except BaseException:  # noqa: BLE001 - every outcome is fine here, only the counts matter
                pass
    assert (shared_refcounts(), sys.getrefcount(value), sys.getrefcount(loop), sys.getrefcount(callback)) == counts


def traced_growth(action, rounds):
    """Bytes still allocated by the interpreter after `rounds` more calls of
    `action`, measured after a warm-up."""
    for _ in range(20):
        action()
    gc.collect()
    tracemalloc.start()
    try:
        base, _ = tracemalloc.get_traced_memory()
        for _ in range(rounds):
            action()
        gc.collect()
        now, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return now - base


def expect_error(call, *args, **kwargs):
    def action():
        try:
            call(*args, **kwargs)
        except BaseException:  # noqa: BLE001
            pass
    return action


ENCODED = encode_payload(payload())
PARTIAL_DOCUMENTS = [
    b'{"a":[1,"two",{"k":[3.5,null,' + b"x",
    b'[{"a":1},{"b":"' + "\u00e9".encode() + b'"},' + b"]",
    b'{"a":1,"b":2,"a":' + b"[" * 200,
    b'["\\ud83d\\ude00", "\\ud800"]',
    ENCODED[:-1],
]


LEAK_CASES = [
    pytest.param(lambda: decode_payload(ENCODED), id="decode"),
    pytest.param(lambda: encode_payload(payload()), id="encode"),
    *(pytest.param(expect_error(decode_payload, doc), id=f"decode-failing-{i}")
      for i, doc in enumerate(PARTIAL_DOCUMENTS)),
    *(pytest.param(expect_error(encode_payload, value), id=f"encode-failing-{i}")
      for i, value in enumerate(FAILING_PAYLOADS)),
    pytest.param(expect_error(decode_payload, bytearray(b"1")), id="decode-not-bytes"),
    pytest.param(expect_error(encode_payload), id="encode-binding"),
    pytest.param(expect_error(Node, "a@h:1", 1, 2, "s", 3, 4, 5), id="node"),
    pytest.param(expect_error(Node, "a@h:1", heartbeat_interval=float("nan")), id="node-panic"),
    pytest.param(expect_error(Node, 5, foo=1), id="node-binding"),
    pytest.param(expect_error(Node, "nohost"), id="node-invalid-id"),
    pytest.param(expect_error(Node("a@h:1").send_data, "p@h:2", "x", [1] * 50, None, 2**65), id="send-data"),
]


@pytest.mark.parametrize("action", LEAK_CASES)
def test_repeated_calls_leave_nothing_behind(action):
    # A reference leaked per call is at least 32 bytes a call, in every
    # window of calls. What the interpreter allocates once on its own (a
    # cache or table growing, up to ~16 KB seen) lands in one window only, so
    # the growth is compared over windows of 1,000 and 3,000 calls: a leak
    # adds at least 64 KB between them.
    short, long = traced_growth(action, 1000), traced_growth(action, 3000)
    assert long - short < 16 * 2000, (short, long)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_a_large_payload_encoded_and_decoded_many_times_does_not_grow_memory():
    value = {"items": [{"id": i, "name": f"item {i} \u00e9", "score": i / 7, "tags": ["a", "b"]}
                       for i in range(10_000)]}
    for _ in range(3):
        assert decode_payload(encode_payload(value)) == value
    gc.collect()
    before = rss_bytes()
    for _ in range(10):
        decode_payload(encode_payload(value))
    gc.collect()
    assert rss_bytes() - before < 32 << 20
