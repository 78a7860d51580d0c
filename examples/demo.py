"""Two nodes in two processes exchange messages through actors.

Run it as `python examples/demo.py [--messages N] [--pings N]`. The driver process starts its node and
spawns a worker process, which starts its own node and dials the driver. The
driver then
  1. asks the worker's "greeter" actor for greetings (request and reply),
  2. streams messages to the worker's "counter" actor with a flow-control
     window (the counter acknowledges every ACK_EVERY messages) and reports
     the throughput,
  3. plays ping-pong with the worker's "echo" actor and reports the median and
     99th-percentile round-trip latency,
  4. tells the worker to quit; the worker stops its node and exits, and the
     driver sees it disconnect.
Both processes print the events their nodes report. It ends by itself after a
few seconds.
"""
import argparse
import asyncio
import statistics
import subprocess
import sys
import time
from typing import Any

from vardimont import Node

WINDOW = 256       # at most this many stream messages not yet acknowledged
ACK_EVERY = 64


def make_node(node_id: str) -> Node:
    return Node(node_id, heartbeat_interval=0.2, peer_timeout=2.0, reconnect_interval=0.1,
                reconnect_max_attempts=3)


def say(role: str, text: str) -> None:
    print(f"[{role}] {text}", flush=True)


# --- the worker process -----------------------------------------------------

async def worker(driver_id: str) -> None:
    loop = asyncio.get_running_loop()
    node = make_node("worker@127.0.0.1:0")
    node.start()
    say("worker", f"node {node.local_id()} started")
    done: asyncio.Future[None] = loop.create_future()

    def on_event(event: dict[str, Any]) -> None:
        say("worker", f"event {event}")

    node.set_event_handler(loop, on_event)

    def greeter(request: Any, meta: dict[str, Any]) -> None:
        say("worker", f"greeter got {request!r} from {meta['src']}")
        node.send_data(meta["src"], meta["reply_to"], f"hello, {request['name']}!", None, meta["correlation_id"])

    counted = 0

    def counter(message: Any, meta: dict[str, Any]) -> None:
        nonlocal counted
        counted += 1
        if counted % ACK_EVERY == 0 or message.get("last"):
            node.send_data(meta["src"], meta["reply_to"], {"count": counted}, None, None)

    def echo(message: Any, meta: dict[str, Any]) -> None:
        node.send_data(meta["src"], meta["reply_to"], message, None, meta["correlation_id"])

    def control(message: Any, meta: dict[str, Any]) -> None:
        say("worker", f"control got {message!r}")
        if message == "quit" and not done.done():
            done.set_result(None)

    for name, actor in (("greeter", greeter), ("counter", counter), ("echo", echo), ("control", control)):
        node.register_actor(name, loop, actor)
    node.connect_peer(driver_id)
    try:
        await asyncio.wait_for(done, 60)
    finally:
        say("worker", f"counted {counted} stream messages; stopping")
        node.stop()


# --- the driver process -------------------------------------------------------

async def driver(stream_messages: int, pings: int) -> int:
    loop = asyncio.get_running_loop()
    node = make_node("driver@127.0.0.1:0")
    node.start()
    say("driver", f"node {node.local_id()} started")
    events: asyncio.Queue[dict[str, Any]] = asyncio.Queue()

    def on_event(event: dict[str, Any]) -> None:
        say("driver", f"event {event}")
        events.put_nowait(event)

    node.set_event_handler(loop, on_event)

    # One inbox for every reply: requests with a correlation id resolve their
    # future; stream acknowledgements (no correlation id) go to `on_ack`.
    pending: dict[int, asyncio.Future[Any]] = {}
    acked = 0
    ack_seen = asyncio.Event()

    def inbox(message: Any, meta: dict[str, Any]) -> None:
        nonlocal acked
        cid = meta["correlation_id"]
        if cid is None:
            acked = message["count"]
            ack_seen.set()
            return
        future = pending.pop(cid, None)
        if future is not None and not future.done():
            future.set_result(message)

    node.register_actor("driver.inbox", loop, inbox)

    child = subprocess.Popen([sys.executable, __file__, "--worker", node.local_id()])
    try:
        event = await asyncio.wait_for(events.get(), 15)
        assert event["kind"] == "peer_connected", event
        worker_id = event["peer"]

        next_id = iter(range(1, 1 << 62))

        async def request(actor: str, message: dict[str, str | int]) -> Any:
            cid = next(next_id)
            pending[cid] = loop.create_future()
            node.send_data(worker_id, actor, message, "driver.inbox", cid)
            return await asyncio.wait_for(pending[cid], 10)

        # 1. request and reply
        for name in ("Ada", "Grace"):
            reply = await request("greeter", {"name": name})
            say("driver", f"greeter replied {reply!r}")

        # 2. a stream under a flow-control window
        body: dict[str, int | str | bool] = {"seq": 0, "kind": "tick", "data": "x" * 60}
        started = time.perf_counter()
        for seq in range(stream_messages):
            while seq - acked >= WINDOW:
                ack_seen.clear()
                await asyncio.wait_for(ack_seen.wait(), 10)
            body["seq"] = seq
            if seq == stream_messages - 1:
                body["last"] = True
            node.send_data(worker_id, "counter", body, "driver.inbox", None)
        while acked < stream_messages:
            ack_seen.clear()
            await asyncio.wait_for(ack_seen.wait(), 10)
        elapsed = time.perf_counter() - started
        say("driver", f"stream: {stream_messages} messages delivered and counted in {elapsed:.2f} s, "
                      f"{stream_messages / elapsed:,.0f} messages/s")

        # 3. ping-pong
        rtts = []
        for i in range(pings):
            t0 = time.perf_counter()
            await request("echo", {"ping": i})
            rtts.append(time.perf_counter() - t0)
        rtts.sort()
        say("driver", f"ping-pong: {pings} round trips, median {statistics.median(rtts) * 1e6:.0f} us, "
                      f"p99 {rtts[int(len(rtts) * 0.99) - 1] * 1e6:.0f} us")

        # 4. quit
        node.send_data(worker_id, "control", "quit", None, None)
        while True:
            event = await asyncio.wait_for(events.get(), 10)
            if event["kind"] == "peer_disconnected":
                break
    finally:
        try:
            child.wait(15)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
        node.stop()
    say("driver", f"worker exited with status {child.returncode}; done")
    return child.returncode


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        asyncio.run(worker(sys.argv[2]))
    else:
        parser = argparse.ArgumentParser(description="Two nodes in two processes exchange messages.")
        parser.add_argument("--messages", type=int, default=20_000, help="stream messages to send")
        parser.add_argument("--pings", type=int, default=1_000, help="ping-pong round trips")
        args = parser.parse_args()
        sys.exit(asyncio.run(driver(max(1, args.messages), max(1, args.pings))))
