"""End-to-end benchmark: two processes on loopback, Python to Python.

For each implementation the benchmark process is the sender and spawns a
receiver process; both run their handlers on an asyncio loop.

  stream     the sender sends --messages JSON messages of about 100 bytes;
             the receiver's handler counts them and acknowledges every
             ACK_EVERY (and the last); the sender keeps at most WINDOW
             messages unacknowledged, so nothing is dropped anywhere (the
             window is below an actor mailbox's 256 slots). Reported:
             messages delivered per second, from the first send to the last
             acknowledgement.
  ping-pong  --pings round trips of one small message answered at once;
             reported: median and 99th percentile of the round-trip time.

Implementations:
  vardimont   Node.send_data to actors; delivery through the node's runtime
              into asyncio with call_soon_threadsafe.
  pyzmq       PUSH/PULL for the stream, DEALER/ROUTER for replies and
              ping-pong; JSON with the stdlib; one I/O thread per process owns
              the sockets and delivers into asyncio with call_soon_threadsafe
              (the same hop as vardimont's); sends from the loop are handed to
              it through a queue.
  asyncio     one TCP connection with asyncio streams, 4-byte little-endian
              length prefix + JSON with the stdlib; handlers run in the
              reading coroutine (no thread hop at all).

Prints one line per implementation and the ratios of vardimont to the others.
Usage: python benchmarks/e2e_bench.py [--messages N] [--pings N] [--impl NAME ...]
"""
import argparse
import asyncio
import collections
import json
import statistics
import struct
import subprocess
import sys
import threading
import time

WINDOW = 192
ACK_EVERY = 32
FAST = dict(heartbeat_interval=0.5, peer_timeout=5.0, reconnect_interval=0.1)


def dumps(obj):
    return json.dumps(obj, separators=(",", ":")).encode()


def stream_message(seq, last):
    message = {"seq": seq, "kind": "tick", "data": "x" * 60}
    if last:
        message["last"] = True
    return message


# --- the two roles, independent of the implementation ---------------------------

class Receiver:
    """Counts stream messages, acknowledges, answers pings, ends on quit."""

    def __init__(self, loop):
        self.count = 0
        self.done = loop.create_future()
        self.tx = None  # set by the implementation: ack(count), pong(payload, cid)

    def on_data(self, message):
        self.count += 1
        if self.count % ACK_EVERY == 0 or message.get("last"):
            self.tx.ack(self.count)

    def on_ping(self, payload, cid):
        self.tx.pong(payload, cid)

    def on_quit(self):
        if not self.done.done():
            self.done.set_result(None)


class Sender:
    """Runs both workloads through `tx`: send_data(obj), send_ping(obj, cid), quit()."""

    def __init__(self, loop):
        self.loop = loop
        self.acked = 0
        self.ack_seen = asyncio.Event()
        self.pending = {}
        self.tx = None

    def on_ack(self, count):
        self.acked = count
        self.ack_seen.set()

    def on_pong(self, cid):
        future = self.pending.pop(cid, None)
        if future is not None:
            future.set_result(None)

    async def wait_acked(self, at_least):
        while self.acked < at_least:
            self.ack_seen.clear()
            await asyncio.wait_for(self.ack_seen.wait(), 30)

    async def ping(self, cid):
        future = self.pending[cid] = self.loop.create_future()
        self.tx.send_ping({"ping": cid}, cid)
        await asyncio.wait_for(future, 30)

    async def run(self, messages, pings):
        for cid in range(1, 51):  # warm-up
            await self.ping(cid)
        started = time.perf_counter()
        for seq in range(messages):
            if seq - self.acked >= WINDOW:
                await self.wait_acked(seq - WINDOW + 1)
            self.tx.send_data(stream_message(seq, seq == messages - 1))
        await self.wait_acked(messages)
        rate = messages / (time.perf_counter() - started)
        rtts = []
        for cid in range(1000, 1000 + pings):
            t0 = time.perf_counter()
            await self.ping(cid)
            rtts.append(time.perf_counter() - t0)
        rtts.sort()
        self.tx.quit()
        return rate, statistics.median(rtts), rtts[max(0, int(len(rtts) * 0.99) - 1)]


# --- vardimont -------------------------------------------------------------------

async def vardimont_receiver():
    from vardimont._core import Node
    loop = asyncio.get_running_loop()
    node = Node("receiver@127.0.0.1:0", **FAST)
    node.start()
    rx = Receiver(loop)
    sender_id = None

    class Tx:
        def ack(self, count):
            node.send_data(sender_id, "ack", {"count": count}, None, None)

        def pong(self, payload, cid):
            node.send_data(sender_id, "pong", payload, None, cid)

    rx.tx = Tx()

    def on_data(payload, meta):
        nonlocal sender_id
        sender_id = meta["src"]
        rx.on_data(payload)

    def on_ping(payload, meta):
        nonlocal sender_id
        sender_id = meta["src"]
        rx.on_ping(payload, meta["correlation_id"])

    node.register_actor("data", loop, on_data)
    node.register_actor("ping", loop, on_ping)
    node.register_actor("quit", loop, lambda payload, meta: rx.on_quit())
    print("READY", node.local_id(), flush=True)
    await rx.done
    node.stop()


async def vardimont_sender(ready, messages, pings):
    from vardimont._core import Node
    loop = asyncio.get_running_loop()
    receiver_id = ready[0]
    node = Node("sender@127.0.0.1:0", **FAST)
    node.start()
    s = Sender(loop)

    class Tx:
        def send_data(self, obj):
            node.send_data(receiver_id, "data", obj, None, None)

        def send_ping(self, obj, cid):
            node.send_data(receiver_id, "ping", obj, None, cid)

        def quit(self):
            node.send_data(receiver_id, "quit", None, None, None)

    s.tx = Tx()
    node.register_actor("ack", loop, lambda payload, meta: s.on_ack(payload["count"]))
    node.register_actor("pong", loop, lambda payload, meta: s.on_pong(meta["correlation_id"]))
    node.connect_peer(receiver_id)
    deadline = time.monotonic() + 10
    while not node.has_peer(receiver_id):
        assert time.monotonic() < deadline, "no connection to the receiver"
        await asyncio.sleep(0.005)
    try:
        return await s.run(messages, pings)
    finally:
        node.stop()


# --- pyzmq ---------------------------------------------------------------------

class ZmqIO(threading.Thread):
    """Owns a process's zmq sockets on one thread. Inbound messages are
    decoded there and handed to the loop with call_soon_threadsafe; the loop
    hands outbound ones over with send(), which queues them and wakes the
    thread through an inproc pair (touched by the loop thread only)."""

    def __init__(self, zmq, ctx, loop, inbound, outbound):
        super().__init__(daemon=True)
        self.zmq, self.loop = zmq, loop
        self.inbound = inbound    # {socket: handler(frames) called on the loop}
        self.outbound = outbound  # {name: socket}
        self.queue = collections.deque()
        self.lock = threading.Lock()
        self.wake_rx = ctx.socket(zmq.PULL)
        self.wake_rx.bind(f"inproc://wake-{id(self)}")
        self.wake_tx = ctx.socket(zmq.PUSH)
        self.wake_tx.connect(f"inproc://wake-{id(self)}")
        self.stopping = False

    def stop(self):
        """From the loop thread: ends the I/O thread and closes every socket."""
        self.stopping = True
        self.wake_tx.send(b"")
        self.join(5)
        for sock in [*self.inbound, *self.outbound.values(), self.wake_rx, self.wake_tx]:
            sock.close(linger=0)

    def send(self, name, frames):
        with self.lock:
            was_empty = not self.queue
            self.queue.append((name, frames))
        if was_empty:
            self.wake_tx.send(b"")

    def run(self):
        zmq = self.zmq
        poller = zmq.Poller()
        poller.register(self.wake_rx, zmq.POLLIN)
        for sock in self.inbound:
            poller.register(sock, zmq.POLLIN)
        while not self.stopping:
            for sock, _ in poller.poll():
                if sock is self.wake_rx:
                    while True:
                        try:
                            self.wake_rx.recv(zmq.NOBLOCK)
                        except zmq.Again:
                            break
                    with self.lock:
                        items = list(self.queue)
                        self.queue.clear()
                    for name, frames in items:
                        self.outbound[name].send_multipart(frames)
                    if self.stopping:
                        return
                    continue
                handler = self.inbound[sock]
                while True:
                    try:
                        frames = sock.recv_multipart(zmq.NOBLOCK)
                    except zmq.Again:
                        break
                    self.loop.call_soon_threadsafe(handler, frames[:-1], json.loads(frames[-1]))


async def zmq_receiver():
    import zmq
    loop = asyncio.get_running_loop()
    ctx = zmq.Context()
    pull = ctx.socket(zmq.PULL)
    pull_port = pull.bind_to_random_port("tcp://127.0.0.1")
    router = ctx.socket(zmq.ROUTER)
    router_port = router.bind_to_random_port("tcp://127.0.0.1")
    rx = Receiver(loop)
    peer = []

    def on_data(_, message):
        rx.on_data(message)

    def on_router(envelope, message):
        peer[:] = envelope
        kind = message["type"]
        if kind == "ping":
            rx.on_ping(message["payload"], message["cid"])
        elif kind == "hello":
            io.send("router", [*envelope, dumps({"type": "hello"})])
        elif kind == "quit":
            rx.on_quit()

    io = ZmqIO(zmq, ctx, loop, {pull: on_data, router: on_router}, {"router": router})

    class Tx:
        def ack(self, count):
            io.send("router", [*peer, dumps({"type": "ack", "count": count})])

        def pong(self, payload, cid):
            io.send("router", [*peer, dumps({"type": "pong", "cid": cid, "payload": payload})])

    rx.tx = Tx()
    io.start()
    print("READY", pull_port, router_port, flush=True)
    await rx.done
    io.stop()
    ctx.term()


async def zmq_sender(ready, messages, pings):
    import zmq
    loop = asyncio.get_running_loop()
    pull_port, router_port = ready
    ctx = zmq.Context()
    push = ctx.socket(zmq.PUSH)
    push.connect(f"tcp://127.0.0.1:{pull_port}")
    dealer = ctx.socket(zmq.DEALER)
    dealer.connect(f"tcp://127.0.0.1:{router_port}")
    s = Sender(loop)
    hello = loop.create_future()

    def on_dealer(_, message):
        kind = message["type"]
        if kind == "ack":
            s.on_ack(message["count"])
        elif kind == "pong":
            s.on_pong(message["cid"])
        elif kind == "hello" and not hello.done():
            hello.set_result(None)

    io = ZmqIO(zmq, ctx, loop, {dealer: on_dealer}, {"push": push, "dealer": dealer})

    class Tx:
        def send_data(self, obj):
            io.send("push", [dumps(obj)])

        def send_ping(self, obj, cid):
            io.send("dealer", [dumps({"type": "ping", "cid": cid, "payload": obj})])

        def quit(self):
            io.send("dealer", [dumps({"type": "quit"})])

    s.tx = Tx()
    io.start()
    io.send("dealer", [dumps({"type": "hello"})])
    await asyncio.wait_for(hello, 10)
    result = await s.run(messages, pings)
    await asyncio.sleep(0.1)  # the quit message leaves through the I/O thread
    io.stop()
    ctx.term()
    return result


# --- asyncio streams -----------------------------------------------------------

def frame(obj):
    body = dumps(obj)
    return struct.pack("<I", len(body)) + body


async def read_frames(reader, handle):
    """Hands each frame's message to `handle` until it returns True or the
    stream ends."""
    try:
        while True:
            (n,) = struct.unpack("<I", await reader.readexactly(4))
            if handle(json.loads(await reader.readexactly(n))):
                return
    except asyncio.IncompleteReadError:
        pass


async def asyncio_receiver():
    loop = asyncio.get_running_loop()
    rx = Receiver(loop)

    async def on_connection(reader, writer):
        class Tx:
            def ack(self, count):
                writer.write(frame({"t": "a", "n": count}))

            def pong(self, payload, cid):
                writer.write(frame({"t": "o", "c": cid, "p": payload}))

        rx.tx = Tx()

        def handle(message):
            kind = message["t"]
            if kind == "d":
                rx.on_data(message["p"])
            elif kind == "p":
                rx.on_ping(message["p"], message["c"])
            elif kind == "q":
                rx.on_quit()
                return True
            return False

        await read_frames(reader, handle)
        writer.close()
        await writer.wait_closed()

    server = await asyncio.start_server(on_connection, "127.0.0.1", 0)
    print("READY", server.sockets[0].getsockname()[1], flush=True)
    await rx.done
    server.close()
    await server.wait_closed()


async def asyncio_sender(ready, messages, pings):
    loop = asyncio.get_running_loop()
    reader, writer = await asyncio.open_connection("127.0.0.1", int(ready[0]))
    s = Sender(loop)

    class Tx:
        def send_data(self, obj):
            writer.write(frame({"t": "d", "p": obj}))

        def send_ping(self, obj, cid):
            writer.write(frame({"t": "p", "c": cid, "p": obj}))

        def quit(self):
            writer.write(frame({"t": "q"}))

    s.tx = Tx()

    def handle(message):
        if message["t"] == "a":
            s.on_ack(message["n"])
        elif message["t"] == "o":
            s.on_pong(message["c"])

    reading = asyncio.ensure_future(read_frames(reader, handle))
    result = await s.run(messages, pings)
    await writer.drain()
    writer.close()
    await reading
    return result


IMPLS = {
    "vardimont": (vardimont_receiver, vardimont_sender),
    "pyzmq": (zmq_receiver, zmq_sender),
    "asyncio": (asyncio_receiver, asyncio_sender),
}


def run_impl(name, messages, pings):
    child = subprocess.Popen([sys.executable, __file__, "--receiver", name], stdout=subprocess.PIPE, text=True)
    try:
        line = child.stdout.readline().split()
        if not line or line[0] != "READY":
            raise RuntimeError(f"{name} receiver did not start")
        return asyncio.run(IMPLS[name][1](line[1:], messages, pings))
    finally:
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=50_000)
    parser.add_argument("--pings", type=int, default=2_000)
    parser.add_argument("--impl", nargs="+", choices=list(IMPLS), default=list(IMPLS))
    parser.add_argument("--receiver", choices=list(IMPLS), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.receiver:
        asyncio.run(IMPLS[args.receiver][0]())
        return

    print(f"{args.messages} stream messages of about 100 bytes (window {WINDOW}, ack every {ACK_EVERY}); "
          f"{args.pings} ping-pongs; two processes on 127.0.0.1")
    results = {}
    for name in args.impl:
        if name == "pyzmq":
            try:
                import zmq  # noqa: F401
            except ImportError:
                print("pyzmq            not installed, skipped")
                continue
        rate, median, p99 = results[name] = run_impl(name, args.messages, args.pings)
        print(f"{name:<16} {rate:>10,.0f} messages/s   round trip median {median * 1e6:7.1f} us"
              f"   p99 {p99 * 1e6:7.1f} us", flush=True)
    if "vardimont" in results:
        v_rate, v_median, v_p99 = results["vardimont"]
        for name, (rate, median, p99) in results.items():
            if name == "vardimont":
                continue
            print(f"vardimont / {name:<8} throughput x{v_rate / rate:.2f}, median round trip x{v_median / median:.2f}, "
                  f"p99 round trip x{v_p99 / p99:.2f}")


if __name__ == "__main__":
    main()
