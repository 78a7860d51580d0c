"""End-to-end benchmark: two processes on loopback, Python to Python.

Every run starts a receiver process and a sender process; both run their
handlers on an asyncio loop (the stdlib's, or uvloop with --loop uvloop).

  stream     the sender sends --messages JSON messages of about 100 bytes;
             the receiver's handler counts them and acknowledges every
             ACK_EVERY (and the last); the sender keeps at most WINDOW
             messages unacknowledged. WINDOW is the same for every system and
             never more than an actor mailbox holds (256), so vardimont drops
             nothing. Reported: messages per second from the first send to
             the last acknowledgement, and the CPU time (user + sys, all
             threads) that each process spent over the stream divided by the
             messages, sender and receiver separately.
  ping-pong  --pings round trips of one small message answered at once;
             reported: the 50th, 90th and 99th percentile of the round trip.
             With --notify each request is preceded at once by a
             notification that gets no reply (two small sends, then the wait).

Systems:
  vardimont   Node.send_data to actors; delivery through the node's runtime
              into asyncio with call_soon_threadsafe.
  asyncio     one TCP connection with asyncio streams, 4-byte little-endian
              length prefix + JSON with the stdlib; the handlers run in the
              reading coroutine (asyncio sets TCP_NODELAY itself).
  pyzmq       zmq.asyncio sockets (libzmq sets TCP_NODELAY itself): PUSH/PULL
              for the stream, DEALER/ROUTER for acknowledgements and pings;
              JSON with the stdlib.

Each system runs as shipped and with nodelay_shim.c preloaded into both
processes (TCP_NODELAY on every TCP socket: measurement only, compiled here on
demand). The runs are interleaved, round after round, and each figure is given
as min / median / max over the rounds. --vardimont-path DIR (repeatable) runs
each given build side by side in the same rounds, to show a change before and
after: DIR holds a `vardimont` package with its _core module and goes first on
PYTHONPATH in both processes (build one with
`python3 -m pip install --no-build-isolation --target DIR .`).

Usage: python3 benchmarks/e2e_bench.py [--quick] [--rounds N] [--messages N] [--pings N]
           [--impl vardimont asyncio pyzmq] [--loop asyncio] [--loop uvloop]
           [--variant shipped shim] [--vardimont-path A --vardimont-path B]
"""
import argparse
import asyncio
import json
import os
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_support as bs  # noqa: E402

MAILBOX_CAPACITY = 256
WINDOW = 256
ACK_EVERY = 64
assert WINDOW <= MAILBOX_CAPACITY and WINDOW % ACK_EVERY == 0
FAST = dict(heartbeat_interval=0.5, peer_timeout=5.0, reconnect_interval=0.1)
WAIT = 30  # seconds without progress before a run counts as stalled


def dumps(obj):
    return json.dumps(obj, separators=(",", ":")).encode()


def stream_message(seq, last):
    message = {"seq": seq, "kind": "tick", "data": "x" * 60}
    if last:
        message["last"] = True
    return message


class Failure(Exception):
    pass


# --- the two roles, independent of the system -----------------------------------

class Receiver:
    """Counts stream messages and notifications, acknowledges, answers pings.
    A ping whose payload holds "cpu" is answered with this process's CPU time
    and the messages it lost so far; one that holds "quit" is answered and
    ends the run (the sender stops once it has the answer, so nothing that
    the receiver still has to send is lost)."""

    def __init__(self, loop):
        self.count = 0
        self.notes = 0
        self.dropped = 0  # set by a system that can drop (vardimont's mailbox_full)
        self.done = loop.create_future()
        self.tx = None  # set by the system: ack(count), pong(payload, cid)

    def on_data(self, message):
        self.count += 1
        if self.count % ACK_EVERY == 0 or message.get("last"):
            self.tx.ack(self.count)

    def on_note(self):
        self.notes += 1

    def on_ping(self, payload, cid):
        if isinstance(payload, dict) and "cpu" in payload:
            payload = {"cpu": time.process_time(), "dropped": self.dropped, "notes": self.notes}
        self.tx.pong(payload, cid)
        if isinstance(payload, dict) and "quit" in payload:
            self.on_quit()

    def on_quit(self):
        if not self.done.done():
            self.done.set_result(None)


class Sender:
    """Runs both workloads through `tx`: send_data(obj), send_note(),
    send_ping(obj, cid)."""

    def __init__(self, loop):
        self.loop = loop
        self.acked = 0
        self.ack_seen = asyncio.Event()
        self.pending = {}
        self.failure = None
        self.tx = None

    def fail(self, text):
        """A system reports what went wrong (a dropped message, an error
        reply): every wait ends with it."""
        self.failure = self.failure or text
        self.ack_seen.set()
        for future in self.pending.values():
            if not future.done():
                future.set_exception(Failure(text))

    def on_ack(self, count):
        self.acked = count
        self.ack_seen.set()

    def on_pong(self, cid, payload):
        future = self.pending.pop(cid, None)
        if future is not None and not future.done():
            future.set_result(payload)

    async def wait_acked(self, at_least):
        while self.acked < at_least:
            if self.failure:
                raise Failure(self.failure)
            self.ack_seen.clear()
            try:
                await asyncio.wait_for(self.ack_seen.wait(), WAIT)
            except asyncio.TimeoutError:
                raise Failure(f"stream stalled: {self.acked} acknowledged, waiting for {at_least}") from None

    async def ping(self, cid, payload):
        if self.failure:
            raise Failure(self.failure)
        future = self.pending[cid] = self.loop.create_future()
        self.tx.send_ping(payload, cid)
        try:
            return await asyncio.wait_for(future, WAIT)
        except asyncio.TimeoutError:
            raise Failure(f"no answer to ping {cid}") from None

    async def run(self, messages, pings, notify):
        for cid in range(1, 51):  # warm-up
            await self.ping(cid, {"ping": cid})
        result = {}
        if messages:
            mark = await self.ping(100, {"cpu": True})
            rx_cpu0, cpu0, t0 = mark["cpu"], time.process_time(), time.perf_counter()
            for seq in range(messages):
                if seq - self.acked >= WINDOW:
                    await self.wait_acked(seq - WINDOW + 1)
                self.tx.send_data(stream_message(seq, seq == messages - 1))
            await self.wait_acked(messages)
            t1, cpu1 = time.perf_counter(), time.process_time()
            mark = await self.ping(101, {"cpu": True})
            if mark["dropped"]:
                raise Failure(f"the receiver dropped {mark['dropped']} messages")
            result.update(rate=messages / (t1 - t0), tx_cpu=(cpu1 - cpu0) / messages,
                          rx_cpu=(mark["cpu"] - rx_cpu0) / messages)
        rtts = []
        for cid in range(1000, 1000 + pings):
            t0 = time.perf_counter()
            if notify:
                self.tx.send_note()
            await self.ping(cid, {"ping": cid})
            rtts.append(time.perf_counter() - t0)
        if notify:
            mark = await self.ping(102, {"cpu": True})
            if mark["notes"] != pings:
                raise Failure(f"the receiver got {mark['notes']} of {pings} notifications")
        if rtts:
            rtts.sort()
            result.update(p50=bs.percentile(rtts, 0.5), p90=bs.percentile(rtts, 0.9),
                          p99=bs.percentile(rtts, 0.99))
        await self.ping(103, {"quit": True})
        return result


# --- vardimont -------------------------------------------------------------------

async def vardimont_receiver(ready):
    from vardimont._core import Node
    loop = asyncio.get_running_loop()
    node = Node("receiver@127.0.0.1:0", **FAST)
    node.start()
    rx = Receiver(loop)
    sender_id = None

    gone = loop.create_future()

    def on_event(event):
        if event["kind"] == "mailbox_full":
            rx.dropped += 1
        elif event["kind"] == "peer_disconnected" and rx.done.done() and not gone.done():
            gone.set_result(None)

    class Tx:
        def ack(self, count):
            node.send_data(sender_id, "ack", {"count": count}, None, None)

        def pong(self, payload, cid):
            node.send_data(sender_id, "pong", payload, None, cid)

    rx.tx = Tx()

    def on_data(payload, meta):
        rx.on_data(payload)

    def on_ping(payload, meta):
        nonlocal sender_id
        sender_id = meta["src"]
        rx.on_ping(payload, meta["correlation_id"])

    node.set_event_handler(loop, on_event)
    node.register_actor("data", loop, on_data)
    node.register_actor("note", loop, lambda payload, meta: rx.on_note())
    node.register_actor("ping", loop, on_ping)
    ready(node.local_id())
    await rx.done
    try:  # the answer to quit leaves before the node stops
        await asyncio.wait_for(gone, 10)
    finally:
        node.stop()


async def vardimont_sender(ready, messages, pings, notify):
    from vardimont._core import Node
    loop = asyncio.get_running_loop()
    receiver_id = ready[0]
    node = Node("sender@127.0.0.1:0", **FAST)
    node.start()
    s = Sender(loop)

    class Tx:
        def send_data(self, obj):
            node.send_data(receiver_id, "data", obj, None, None)

        def send_note(self):
            node.send_data(receiver_id, "note", None, None, None)

        def send_ping(self, obj, cid):
            node.send_data(receiver_id, "ping", obj, None, cid)

    def on_event(event):
        if event["kind"] in ("error", "peer_disconnected"):
            s.fail(f"{event['kind']}: {event.get('detail', event.get('peer'))}")

    s.tx = Tx()
    node.set_event_handler(loop, on_event)
    node.register_actor("ack", loop, lambda payload, meta: s.on_ack(payload["count"]))
    node.register_actor("pong", loop, lambda payload, meta: s.on_pong(meta["correlation_id"], payload))
    node.connect_peer(receiver_id)
    deadline = time.monotonic() + 10
    while not node.has_peer(receiver_id):
        if time.monotonic() > deadline:
            raise Failure("no connection to the receiver")
        await asyncio.sleep(0.005)
    try:
        return await s.run(messages, pings, notify)
    finally:
        node.stop()


# --- pyzmq -------------------------------------------------------------------------

async def zmq_receiver(ready):
    import zmq
    import zmq.asyncio
    ctx = zmq.asyncio.Context()
    pull = ctx.socket(zmq.PULL)
    pull_port = pull.bind_to_random_port("tcp://127.0.0.1")
    router = ctx.socket(zmq.ROUTER)
    router_port = router.bind_to_random_port("tcp://127.0.0.1")
    rx = Receiver(asyncio.get_running_loop())
    peer = []

    class Tx:
        def ack(self, count):
            router.send_multipart([*peer, dumps({"type": "ack", "count": count})])

        def pong(self, payload, cid):
            router.send_multipart([*peer, dumps({"type": "pong", "cid": cid, "payload": payload})])

    rx.tx = Tx()

    async def read_pull():
        while True:
            rx.on_data(json.loads(await pull.recv()))

    async def read_router():
        while not rx.done.done():
            *envelope, body = await router.recv_multipart()
            peer[:] = envelope
            message = json.loads(body)
            kind = message["type"]
            if kind == "ping":
                rx.on_ping(message["payload"], message["cid"])
            elif kind == "note":
                rx.on_note()
            elif kind == "hello":
                router.send_multipart([*envelope, dumps({"type": "hello"})])

    tasks = [asyncio.ensure_future(read_pull()), asyncio.ensure_future(read_router())]
    ready(pull_port, router_port)
    await rx.done
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    pull.close(linger=0)
    router.close(linger=1000)
    ctx.term()


async def zmq_sender(ready, messages, pings, notify):
    import zmq
    import zmq.asyncio
    loop = asyncio.get_running_loop()
    pull_port, router_port = ready
    ctx = zmq.asyncio.Context()
    push = ctx.socket(zmq.PUSH)
    push.connect(f"tcp://127.0.0.1:{pull_port}")
    dealer = ctx.socket(zmq.DEALER)
    dealer.connect(f"tcp://127.0.0.1:{router_port}")
    s = Sender(loop)
    hello = loop.create_future()

    async def read_dealer():
        while True:
            message = json.loads(await dealer.recv())
            kind = message["type"]
            if kind == "ack":
                s.on_ack(message["count"])
            elif kind == "pong":
                s.on_pong(message["cid"], message["payload"])
            elif kind == "hello" and not hello.done():
                hello.set_result(None)

    class Tx:
        def send_data(self, obj):
            push.send(dumps(obj))

        def send_note(self):
            dealer.send(dumps({"type": "note"}))

        def send_ping(self, obj, cid):
            dealer.send(dumps({"type": "ping", "cid": cid, "payload": obj}))

    s.tx = Tx()
    reading = asyncio.ensure_future(read_dealer())
    try:
        await dealer.send(dumps({"type": "hello"}))
        await asyncio.wait_for(hello, 10)
        return await s.run(messages, pings, notify)
    finally:
        reading.cancel()
        await asyncio.gather(reading, return_exceptions=True)
        push.close(linger=1000)
        dealer.close(linger=0)
        ctx.term()


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


async def asyncio_receiver(ready):
    rx = Receiver(asyncio.get_running_loop())

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
            elif kind == "n":
                rx.on_note()
            elif kind == "p":
                rx.on_ping(message["p"], message["c"])
            return rx.done.done()

        await read_frames(reader, handle)
        writer.close()
        await writer.wait_closed()

    server = await asyncio.start_server(on_connection, "127.0.0.1", 0)
    ready(server.sockets[0].getsockname()[1])
    await rx.done
    server.close()
    await server.wait_closed()


async def asyncio_sender(ready, messages, pings, notify):
    reader, writer = await asyncio.open_connection("127.0.0.1", int(ready[0]))
    s = Sender(asyncio.get_running_loop())

    class Tx:
        def send_data(self, obj):
            writer.write(frame({"t": "d", "p": obj}))

        def send_note(self):
            writer.write(frame({"t": "n"}))

        def send_ping(self, obj, cid):
            writer.write(frame({"t": "p", "c": cid, "p": obj}))

    s.tx = Tx()

    def handle(message):
        if message["t"] == "a":
            s.on_ack(message["n"])
        elif message["t"] == "o":
            s.on_pong(message["c"], message["p"])

    reading = asyncio.ensure_future(read_frames(reader, handle))
    result = await s.run(messages, pings, notify)
    await writer.drain()
    writer.close()
    await reading
    return result


SYSTEMS = {
    "vardimont": (vardimont_receiver, vardimont_sender),
    "asyncio": (asyncio_receiver, asyncio_sender),
    "pyzmq": (zmq_receiver, zmq_sender),
}


# --- child processes -------------------------------------------------------------

def child_main(args):
    """One side of one run. The receiver prints READY and its address; the
    sender prints RESULT and a JSON object."""
    system = args.child_system

    def facts():
        out = {"nodelay": bs.nodelay_default(), "pid": os.getpid()}
        if system == "vardimont":
            out["core"] = bs.core_file()
        return out

    if args.child == "receiver":
        def ready(*address):
            print("READY", json.dumps(facts(), separators=(",", ":")), *address, flush=True)
        bs.run_loop(SYSTEMS[system][0](ready), args.loop[0])
        return
    try:
        result = bs.run_loop(SYSTEMS[system][1](args.ready, args.messages, args.pings, args.notify), args.loop[0])
    except Failure as e:
        print("FAILED", e, flush=True)
        sys.exit(1)
    print("RESULT", json.dumps({**result, **facts()}), flush=True)


def run_once(system, loop, build_path, shim, messages, pings, notify=False, timeout=180, profile=None):
    """Runs one receiver and one sender; returns (sender's result dict, the
    receiver's facts) or raises Failure with what the children said.
    `profile` is a file name prefix: both children then run under py-spy
    (native frames too), which writes PREFIX-receiver.txt and
    PREFIX-sender.txt as collapsed stacks."""
    env = bs.child_env(build_path, shim)
    base = [sys.executable, os.path.abspath(__file__), "--child-system", system, "--loop", loop]

    def wrap(role):
        if not profile:
            return []
        return ["py-spy", "record", "--native", "--rate", "250", "--format", "raw", "--output",
                f"{profile}-{role}.txt", "--"]

    receiver = subprocess.Popen([*wrap("receiver"), *base, "--child", "receiver"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for text in receiver.stdout:  # py-spy prints lines of its own first
            if text.startswith("READY "):
                break
        else:
            receiver.kill()
            raise Failure(f"{system} receiver did not start: {receiver.communicate(timeout=10)[1][-2000:]}")
        line = text.split(maxsplit=2)
        rx_facts = json.loads(line[1])
        address = line[2].split() if len(line) > 2 else []
        workload = ["--messages", str(messages), "--pings", str(pings), *(["--notify"] if notify else [])]
        sender = subprocess.run([*wrap("sender"), *base, "--child", "sender", *workload, "--ready", *address],
                                env=env, capture_output=True, text=True, timeout=timeout)
        out = [l for l in sender.stdout.splitlines() if l.startswith(("RESULT", "FAILED"))]
        if sender.returncode != 0 or not out or not out[-1].startswith("RESULT"):
            raise Failure(f"{system} sender failed (rc {sender.returncode}): {' '.join(out)} {sender.stderr[-2000:]}".strip())
        return json.loads(out[-1].split(maxsplit=1)[1]), rx_facts
    except subprocess.TimeoutExpired:
        raise Failure(f"{system} sender still running after {timeout} s") from None
    finally:
        try:
            receiver.wait(10)
        except subprocess.TimeoutExpired:
            receiver.kill()
            receiver.wait()
        receiver.stdout.close()
        receiver.stderr.close()


# --- the interleaved run ---------------------------------------------------------

def contestants(args):
    builds = bs.build_labels(args.vardimont_path)
    out = []
    for loop in args.loop:
        suffix = "" if loop == "asyncio" else "/uvloop"
        for system in args.impl:
            for label, path in (builds if system == "vardimont" else [(system, None)]):
                for variant in args.variant:
                    out.append(dict(name=label + suffix, system=system, loop=loop, path=path, variant=variant))
    return out


def check_facts(run, facts, where):
    """The shim must be in force exactly where it is meant to be."""
    want = 1 if run["variant"] == "shim" else 0
    if facts["nodelay"] != want:
        raise Failure(f"{where}: TCP_NODELAY {facts['nodelay']} on a fresh socket, expected {want}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--quick", action="store_true",
                        help="fewer messages, pings and rounds (under a minute per build and loop)")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--messages", type=int)
    parser.add_argument("--pings", type=int)
    parser.add_argument("--notify", action="store_true", help="a notification before each ping")
    parser.add_argument("--impl", nargs="+", choices=list(SYSTEMS), default=list(SYSTEMS))
    parser.add_argument("--loop", action="append", choices=["asyncio", "uvloop"],
                        help="event loop of both processes; repeat to run each system on both")
    parser.add_argument("--variant", nargs="+", choices=bs.VARIANTS, default=list(bs.VARIANTS))
    parser.add_argument("--vardimont-path", action="append", metavar="DIR",
                        help="a directory holding a vardimont package; repeat to compare builds")
    parser.add_argument("--shim-dir", help="where to compile the shim (default: a temporary directory)")
    parser.add_argument("--profile", metavar="DIR",
                        help="run both processes under py-spy --native; collapsed stacks go to DIR")
    parser.add_argument("--child", choices=["receiver", "sender"], help=argparse.SUPPRESS)
    parser.add_argument("--child-system", choices=list(SYSTEMS), help=argparse.SUPPRESS)
    parser.add_argument("--ready", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.loop = args.loop or ["asyncio"]
    if args.child:
        args.messages = args.messages or 0
        args.pings = args.pings or 0
        child_main(args)
        return
    args.rounds = args.rounds or (5 if args.quick else 7)
    args.messages = args.messages if args.messages is not None else (20_000 if args.quick else 100_000)
    args.pings = args.pings if args.pings is not None else (1_000 if args.quick else 3_000)
    if args.messages < 0 or args.pings < 0 or args.rounds < 1:
        parser.error("--messages and --pings must be at least 0, --rounds at least 1")
    if "pyzmq" in args.impl:
        try:
            import zmq  # noqa: F401
        except ImportError:
            print("pyzmq not installed: skipped")
            args.impl.remove("pyzmq")
    if "vardimont" in args.impl and not args.vardimont_path:
        try:
            bs.core_file()
        except ImportError as e:
            sys.exit(f"error: vardimont is not importable ({e}): install it or give --vardimont-path DIR")
    if "uvloop" in args.loop:
        try:
            import uvloop  # noqa: F401
        except ImportError:
            sys.exit("error: --loop uvloop needs uvloop (python3 -m pip install uvloop)")
    shim = bs.build_shim(args.shim_dir) if "shim" in args.variant else None
    runs = contestants(args)
    results = run_rounds(args, runs, shim)
    report(args, runs, results)
    if any(r.get("failed") for r in results.values()):
        sys.exit(1)


def key(run):
    return (run["name"], run["variant"])


def run_rounds(args, runs, shim):
    print(f"stream: {args.messages:,} messages of about 100 bytes, window {WINDOW}, an ack every {ACK_EVERY}; "
          f"ping-pong: {args.pings:,} round trips{' each after a notification' if args.notify else ''}; "
          f"two processes on 127.0.0.1; {len(runs)} runs per round, {args.rounds} rounds, interleaved",
          flush=True)
    results = {key(r): {"rate": [], "p50": [], "p90": [], "p99": [], "tx_cpu": [], "rx_cpu": [], "core": set()}
               for r in runs}
    for round_no in range(args.rounds):
        shift = round_no % len(runs)  # each round starts with another contestant
        for run in runs[shift:] + runs[:shift]:
            cell = results[key(run)]
            try:
                profile = None
                if args.profile:
                    os.makedirs(args.profile, exist_ok=True)
                    tag = run["name"].replace("/", "-").replace("[", "-").replace("]", "")
                    profile = os.path.join(args.profile, f"{tag}-{run['variant']}-{round_no + 1}")
                res, rx_facts = run_once(run["system"], run["loop"], run["path"],
                                         shim if run["variant"] == "shim" else None,
                                         args.messages, args.pings, args.notify, profile=profile)
                check_facts(run, res, "sender")
                check_facts(run, rx_facts, "receiver")
            except Failure as e:
                print(f"  round {round_no + 1}: {run['name']} {run['variant']}: FAILED: {e}", flush=True)
                cell["failed"] = True
                continue
            for name in ("rate", "p50", "p90", "p99", "tx_cpu", "rx_cpu"):
                if name in res:
                    cell[name].append(res[name])
            for facts in (res, rx_facts):
                if "core" in facts:
                    cell["core"].add(facts["core"])
        print(f"  round {round_no + 1} of {args.rounds} done", flush=True)
    return results


def report(args, runs, results):
    names = sorted({r["name"] for r in runs if r["system"] == "vardimont"})
    for name in names:
        cores = set().union(*(results[key(r)]["core"] for r in runs if r["name"] == name))
        print(f"{name} loaded {', '.join(sorted(cores)) or '-'}")
    print()
    print("min / median / max over the rounds; CPU = user + sys time of the whole process over the stream, "
          "divided by the messages")
    head = f"{'system':<22} {'variant':<8}"
    if args.messages:
        head += f" {'stream msg/s':^30} {'CPU us/msg sender':^24} {'CPU us/msg receiver':^24}"
    if args.pings:
        head += f" {'round trip p50 us':^30} {'p90 us':>7} {'p99 us':>7}"
    print(head)
    for run in runs:
        cell = results[key(run)]
        line = f"{run['name']:<22} {run['variant']:<8}"
        if args.messages:
            line += (f" {bs.fmt_spread(cell['rate'])} {bs.fmt_spread(cell['tx_cpu'], 1e6, 1, 6)}"
                     f" {bs.fmt_spread(cell['rx_cpu'], 1e6, 1, 6)}")
        if args.pings:
            p90, p99 = bs.median(cell["p90"]), bs.median(cell["p99"])
            line += (f" {bs.fmt_spread(cell['p50'], 1e6, 0)}"
                     f" {p90 * 1e6 if p90 else 0:>7,.0f} {p99 * 1e6 if p99 else 0:>7,.0f}")
        print(line)

    def med(name, variant, metric):
        cell = results.get((name, variant))
        return bs.median(cell[metric]) if cell else None

    def compare(a, b, variant_a, variant_b):
        parts = []
        if args.messages:
            parts.append(f"throughput {bs.ratio(med(a, variant_a, 'rate'), med(b, variant_b, 'rate'))}")
            parts.append(f"CPU/msg sender {bs.ratio(med(a, variant_a, 'tx_cpu'), med(b, variant_b, 'tx_cpu'))}")
            parts.append(f"receiver {bs.ratio(med(a, variant_a, 'rx_cpu'), med(b, variant_b, 'rx_cpu'))}")
        if args.pings:
            parts.append(f"round trip p50 {bs.ratio(med(a, variant_a, 'p50'), med(b, variant_b, 'p50'))}")
        return ", ".join(parts)

    # asyncio streams and libzmq set TCP_NODELAY themselves, so the shim
    # changes nothing for them: their shipped figures (on the stdlib loop, and
    # on the same loop as ours) are the comparison for both of our variants.
    print("\nratios of the medians (asyncio streams and pyzmq as shipped: they set TCP_NODELAY themselves)")
    loop_of = {r["name"]: r["loop"] for r in runs}
    ours = list(dict.fromkeys(r["name"] for r in runs if r["system"] == "vardimont"))
    for name in ours:
        others = [r["name"] for r in runs if r["system"] != "vardimont" and r["variant"] == "shipped"
                  and loop_of[r["name"]] in ("asyncio", loop_of[name])]
        for variant in args.variant:
            for other in dict.fromkeys(others):
                print(f"  {name} {variant} / {other}: {compare(name, other, variant, 'shipped')}")
        if "shim" in args.variant and "shipped" in args.variant:
            print(f"  {name} shim / shipped: {compare(name, name, 'shim', 'shipped')}")
    for loop in args.loop:  # builds side by side: each against the first, on the same loop
        same_loop = [n for n in ours if loop_of[n] == loop]
        for later in same_loop[1:]:
            for variant in args.variant:
                print(f"  {later} / {same_loop[0]} ({variant}): {compare(later, same_loop[0], variant, variant)}")


if __name__ == "__main__":
    main()
