"""Scale: one node that many idle peers connect to, against a plain asyncio
streams server doing the same work.

Each run is a fresh server process: a node (read time-out 120 s, heartbeat
60 s, the rest as shipped), or an asyncio streams server that reads 4-byte
length-prefixed frames with one task per connection (the code a user would
write by hand). This process opens M connections to it, each sending one
frame (for the node, a Handshake under an id of its own), and waits until the
server has taken every first frame (the node counts M peers). It reports, for
the server process:

  CPU/conn   the CPU time (user + sys, all threads) that the server spent
             while the M connections came, per connection
  mem/conn   its resident memory once they are all there, minus before, per
             connection
  fds        its open descriptors, threads: its threads

A second table floods an actor whose mailbox is full (the actor's loop never
lets its first delivery go), from one more connection, with FLOOD messages:
the node's CPU per dropped message (each publishes MailboxFull and is answered
with an error) with 10 and with 1,000 idle connections beside it.

The connection counts and the two servers run interleaved, round after round;
each figure is min / median / max over the rounds, and the ratios compare the
medians. --vardimont-path DIR (repeatable) runs each given build side by side.
The benchmark raises its descriptor limit (and its servers') as far as the
hard limit allows, and says so when a step cannot be reached.

Usage: python3 benchmarks/scale_bench.py [--quick] [--conns 250 1000 4000] [--rounds N]
           [--vardimont-path A --vardimont-path B]
"""
import argparse
import json
import os
import resource
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_support as bs  # noqa: E402

CONNECT_LIMIT = 120.0  # seconds; a step whose connections are not all served by then is a failure
SPARE_FDS = 64
FLOOD_IDLE = (10, 1000)

# The server: prints its port, then answers each line on stdin with its
# figures as JSON; "quit" ends it.
SERVER = r"""
import asyncio, json, os, resource, sys

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

def figures(conns):
    usage = resource.getrusage(resource.RUSAGE_SELF)
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return {"cpu": usage.ru_utime + usage.ru_stime, "rss": rss, "conns": conns(),
            "fds": len(os.listdir("/proc/self/fd")), "threads": len(os.listdir("/proc/self/task"))}

def serve(conns):
    for line in sys.stdin:
        if line.strip() == "quit":
            return
        print(json.dumps(figures(conns)), flush=True)

if sys.argv[1] == "node":
    import threading
    from vardimont._core import Node

    class Stuck:  # an event loop that never lets its first delivery go: the mailbox fills
        def call_soon_threadsafe(self, *args):
            threading.Event().wait()

    node = Node("hub@127.0.0.1:0", peer_timeout=120.0, heartbeat_interval=60.0)
    node.start()
    node.register_actor("full", Stuck(), print)
    print(node.local_id().rsplit(":", 1)[1], flush=True)
    serve(node.peer_count)
    node.stop()
else:
    served = 0
    async def handle(reader, writer):
        global served
        try:
            first = True
            while True:
                n = int.from_bytes(await reader.readexactly(4), "little")
                await reader.readexactly(n)
                if first:
                    served += 1
                    first = False
        except (asyncio.IncompleteReadError, ConnectionError):
            writer.close()
    async def main():
        server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=1024)
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.get_running_loop().run_in_executor(None, serve, lambda: served)
        server.close()
    asyncio.run(main())
"""


def varint(n):
    if n < 251:
        return bytes([n])
    if n < 1 << 16:
        return b"\xfb" + struct.pack("<H", n)
    return b"\xfc" + struct.pack("<I", n)


def handshake(i):
    """A Handshake frame from peer number `i` (no cluster secret)."""
    src = f"peer{i}@127.0.0.1:1".encode()
    body = b"\x01" + varint(i + 1) + varint(len(src)) + src + b"\x00" + b"\x00" + b"\x00" + b"\x00\x00"
    return struct.pack("<I", len(body)) + body


def data_frame(i, src=b"flood@127.0.0.1:1", actor=b"full"):
    body = (b"\x01" + varint(i) + varint(len(src)) + src + varint(len(actor)) + actor + b"\x01"
            + b"\x04null" + b"\x00" + b"\x00")
    return struct.pack("<I", len(body)) + body


FLOOD = 20_000


def one_flood(env, idle):
    """A node with `idle` idle connections; FLOOD messages for its full
    mailbox from one more; the node's CPU per dropped message."""
    server = Server("node", env)
    socks = []
    try:
        for i in range(idle):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            s.sendall(handshake(i))
            socks.append(s)
        flooder = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        socks.append(flooder)
        src = b"flood@127.0.0.1:1"
        flooder.sendall(handshake_from(src))
        deadline = time.monotonic() + CONNECT_LIMIT
        while server.figures()["conns"] < idle + 1:
            if time.monotonic() > deadline:
                raise RuntimeError("the flood's connection was not served")
            time.sleep(0.01)
        before = server.figures()
        payload = b"".join(data_frame(i + 2) for i in range(FLOOD))
        sender = threading.Thread(target=flooder.sendall, args=(payload,))
        sender.start()
        # Every message past the mailbox's 256 (and the batch held in delivery)
        # is answered with an error: count the replies' frames.
        replies, pending = 0, b""
        while replies < FLOOD - 1000:
            chunk = flooder.recv(1 << 16)
            if not chunk:
                raise RuntimeError("the node closed the flood's connection")
            pending += chunk
            while len(pending) >= 4 and len(pending) >= 4 + int.from_bytes(pending[:4], "little"):
                pending = pending[4 + int.from_bytes(pending[:4], "little"):]
                replies += 1
        sender.join()
        after = server.figures()
        return (after["cpu"] - before["cpu"]) / replies * 1e6
    finally:
        for s in socks:
            s.close()
        server.close()


def handshake_from(src):
    body = b"\x01" + varint(1) + varint(len(src)) + src + b"\x00" + b"\x00" + b"\x00" + b"\x00\x00"
    return struct.pack("<I", len(body)) + body


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


class Server:
    def __init__(self, kind, env):
        self.proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SERVER), kind], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    def figures(self):
        self.proc.stdin.write("stats\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(30)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()


def one_run(kind, env, conns):
    """One server, `conns` connections; the figures of that run."""
    server = Server("node" if kind != "asyncio" else "asyncio", env)
    socks = []
    try:
        before = server.figures()
        for i in range(conns):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            s.sendall(handshake(i))
            socks.append(s)
        deadline = time.monotonic() + CONNECT_LIMIT
        while True:
            after = server.figures()
            if after["conns"] >= conns:
                break
            if time.monotonic() > deadline:
                raise RuntimeError(f"{kind}: {after['conns']} of {conns} connections served in {CONNECT_LIMIT} s")
            time.sleep(0.01)
        return {"cpu_us": (after["cpu"] - before["cpu"]) / conns * 1e6,
                "kib": (after["rss"] - before["rss"]) / conns / 1024,
                "fds": after["fds"], "threads": after["threads"]}
    finally:
        for s in socks:
            s.close()
        server.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--conns", type=int, nargs="+", default=[250, 1000, 4000])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="250 and 1000 connections, 2 rounds")
    ap.add_argument("--vardimont-path", action="append", default=[])
    args = ap.parse_args()
    if args.quick:
        args.conns, args.rounds = [250, 1000], 2
    for path in args.vardimont_path:
        bs.check_build_path(path)

    hard = raise_fd_limit()
    steps = []
    for m in args.conns:
        if m + SPARE_FDS > hard:
            print(f"note: {m} connections need {m + SPARE_FDS} descriptors; the hard limit is {hard}: step skipped")
        else:
            steps.append(m)
    contestants = [(label, bs.child_env(path)) for label, path in bs.build_labels(args.vardimont_path)]
    contestants.append(("asyncio", bs.child_env()))

    results = {(name, m): [] for name, _ in contestants for m in steps}
    floods = {(name, idle): [] for name, _ in contestants[:-1] for idle in FLOOD_IDLE}
    for r in range(args.rounds):
        for m in steps:
            for name, env in contestants:
                results[(name, m)].append(one_run("asyncio" if name == "asyncio" else "node", env, m))
        for idle in FLOOD_IDLE:
            for name, env in contestants[:-1]:
                floods[(name, idle)].append(one_flood(env, idle))
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr)

    def med(name, m, key):
        return bs.median([x[key] for x in results[(name, m)]])

    print("min / median / max over the rounds")
    print(f"{'server':<14} {'conns':>6} {'CPU/conn us':>26} {'mem/conn KiB':>26} {'fds':>6} {'threads':>8}")
    for m in steps:
        for name, _ in contestants:
            runs = results[(name, m)]
            print(f"{name:<14} {m:>6} {bs.fmt_spread([x['cpu_us'] for x in runs]):>26} "
                  f"{bs.fmt_spread([x['kib'] for x in runs], digits=1):>26} {runs[-1]['fds']:>6} {runs[-1]['threads']:>8}")
    print()
    print(f"ratios of the medians: to asyncio at the same count, and to the same server at {steps[0]} connections")
    for name, _ in contestants:
        for m in steps:
            print(f"{name:<14} {m:>6}  CPU {bs.ratio(med(name, m, 'cpu_us'), med('asyncio', m, 'cpu_us'))}"
                  f"  mem {bs.ratio(med(name, m, 'kib'), med('asyncio', m, 'kib'))}"
                  f"  CPU vs {steps[0]}: {bs.ratio(med(name, m, 'cpu_us'), med(name, steps[0], 'cpu_us'))}")

    print()
    print(f"a flood of {FLOOD} messages at a full mailbox: the node's CPU per dropped message, us")
    for name, _ in contestants[:-1]:
        for idle in FLOOD_IDLE:
            print(f"{name:<14} {idle:>5} idle connections  {bs.fmt_spread(floods[(name, idle)], digits=1):>26}")
        print(f"{name:<14} 1000 against 10: {bs.ratio(bs.median(floods[(name, 1000)]), bs.median(floods[(name, 10)]))}")


if __name__ == "__main__":
    main()
