"""The interpreter exits cleanly around started nodes: scripts that end, raise
or call sys.exit while messages and events flow, with and without stop(),
end with their own status, promptly, without a crash."""
import pytest

from conftest import run_script

PRELUDE = """
import asyncio, socket, sys, threading, time
from support import FAST, in_use, wait_until
from vardimont._core import Node

a = Node("a@127.0.0.1:0", **FAST)
b = Node("b@127.0.0.1:0", **FAST)
a.start()
b.start()
"""

# Deliveries flow from b to a's actor, whose loop runs on the main thread
# until enough have arrived; a daemon thread keeps sending until the end.
FLOWING = PRELUDE + """
loop = asyncio.new_event_loop()
got = []
a.register_actor("sink", loop, lambda payload, meta: got.append(payload))
a.set_event_handler(loop, lambda event: None)
b.set_event_handler(loop, lambda event: None)
b.connect_peer(a.local_id())
assert wait_until(lambda: b.has_peer(a.local_id()), timeout=10)
running = True

def send():
    i = 0
    while running:
        try:
            b.send_data(a.local_id(), "sink", {"i": i}, None, i)
        except (ValueError, RuntimeError):
            pass
        i += 1

sender = threading.Thread(target=send, daemon=True)
sender.start()

async def enough():
    while len(got) < 200:
        await asyncio.sleep(0.005)

loop.run_until_complete(enough())
"""

STOP = """
running = False
sender.join()
a.stop()
b.stop()
"""

ENDINGS = {
    "end": ("print('done')", 0),
    "raise": ("raise RuntimeError('boom')", 1),
    "sys.exit": ("sys.exit(3)", 3),
}


def check(proc, status):
    assert proc.returncode == status, proc.stderr
    for crash in ("Fatal Python error", "terminate called", "Segmentation fault", "Aborted", "AddressSanitizer"):
        assert crash not in proc.stderr


@pytest.mark.parametrize("stop", [False, True], ids=["started", "stopped"])
@pytest.mark.parametrize("ending", ENDINGS)
def test_exit_while_messages_flow(ending, stop):
    code, status = ENDINGS[ending]
    proc = run_script(FLOWING + (STOP if stop else "") + code, timeout=30)
    check(proc, status)
    if ending == "raise":
        assert "RuntimeError: boom" in proc.stderr


def test_exit_with_deliveries_into_a_loop_that_runs_on_another_thread():
    proc = run_script(PRELUDE + """
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
count = [0]
def on_message(payload, meta):
    count[0] += 1
a.register_actor("sink", loop, on_message)
b.connect_peer(a.local_id())
assert wait_until(lambda: b.has_peer(a.local_id()), timeout=10)
for i in range(500):
    b.send_data(a.local_id(), "sink", i, None, None)
assert wait_until(lambda: count[0] > 0, timeout=10)
""", timeout=30)
    check(proc, 0)


def test_exit_while_a_daemon_thread_waits_in_send_data():
    # The sink never reads: the sender waits for room, with the GIL released,
    # when the interpreter shuts down.
    proc = run_script(PRELUDE + """
sink = socket.socket()
sink.bind(("127.0.0.1", 0))
sink.listen()
sink_id = "sink@127.0.0.1:%d" % sink.getsockname()[1]
c = Node("c@127.0.0.1:0", peer_timeout=30.0, peer_queue_capacity=1)
c.start()
c.connect_peer(sink_id)
assert wait_until(lambda: c.has_peer(sink_id), timeout=10)
def flood():
    while True:
        try:
            c.send_data(sink_id, "x", "y" * 1_000_000, None, None)
        except RuntimeError as e:  # sent while the probe below was inside c
            assert str(e) == "Already borrowed"
threading.Thread(target=flood, daemon=True).start()
# c is in use while this thread runs only when a send waits with the GIL
# released (one that finds room never lets it go); the sink reads nothing, so
# the sends come to wait for room for good.
assert wait_until(lambda: in_use(c, sink_id), timeout=10)
print("exiting")
""", timeout=30)
    check(proc, 0)
    assert proc.stdout.strip() == "exiting"


def test_exit_after_dropping_started_nodes():
    proc = run_script(PRELUDE + """
loop = asyncio.new_event_loop()
a.register_actor("sink", loop, print)
b.connect_peer(a.local_id())
assert wait_until(lambda: b.has_peer(a.local_id()), timeout=10)
b.send_data(a.local_id(), "sink", 1, None, None)
del a, b
import gc; gc.collect()
""", timeout=30)
    check(proc, 0)
