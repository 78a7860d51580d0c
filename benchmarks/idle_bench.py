"""Idle cost: N nodes in one process, fully meshed, doing nothing but heartbeats.

Each run is a fresh child process that starts N nodes on 127.0.0.1 (heartbeat
every second, the other settings as shipped), has node i dial every node j > i
(N*(N-1)/2 connections), and reports:

  settle     seconds from the first connect_peer until every node counts its
             N-1 peers
  idle CPU   after one more heartbeat interval, the CPU time (user + sys, all
             threads) of the process over --idle seconds of doing nothing, as
             a fraction of one core, and per heartbeat sent or received (every
             connection carries one heartbeat each way per interval, each sent
             once and received once: 2*N*(N-1) per interval), with the context
             switches per heartbeat beside it

The node counts run interleaved, round after round, and each figure is given
as min / median / max over the rounds. --vardimont-path DIR (repeatable) runs
each given build side by side in the same rounds.

Usage: python3 benchmarks/idle_bench.py [--quick] [--nodes 10 30 60] [--rounds N] [--idle S]
           [--vardimont-path A --vardimont-path B]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_support as bs  # noqa: E402

HEARTBEAT = 1.0
SETTLE_LIMIT = 60.0  # seconds; a mesh that has not formed by then is a failure


def raise_fd_limit(needed):
    """Raises the soft limit on open files to the hard limit; exits when even
    that is below `needed`."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < needed:
        sys.exit(f"error: {needed} file descriptors needed, the hard limit is {hard} (raise it: ulimit -Hn)")
    if soft != resource.RLIM_INFINITY and soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def switches():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


def child(n, idle):
    from vardimont._core import Node
    # A listener per node, two sockets per connection, and each runtime's own
    # descriptors (epoll, wake-ups): a generous margin on top.
    raise_fd_limit(n + n * (n - 1) + 16 * n + 64)
    nodes = [Node(f"idle{i}@127.0.0.1:0", heartbeat_interval=HEARTBEAT) for i in range(n)]
    for node in nodes:
        node.start()
    try:
        ids = [node.local_id() for node in nodes]
        t0 = time.perf_counter()
        for i, node in enumerate(nodes):
            for j in range(i + 1, n):
                node.connect_peer(ids[j])
        while not all(node.peer_count() == n - 1 for node in nodes):
            if time.perf_counter() - t0 > SETTLE_LIMIT:
                counts = sorted(node.peer_count() for node in nodes)
                return {"error": f"no full mesh after {SETTLE_LIMIT:.0f} s (peer counts {counts[0]}..{counts[-1]})"}
            time.sleep(0.002)
        settle = time.perf_counter() - t0
        time.sleep(HEARTBEAT)  # the connects' own work ends; every heartbeat loop ticks once
        cpu0, sw0, w0 = time.process_time(), switches(), time.perf_counter()
        time.sleep(idle)
        cpu1, sw1, w1 = time.process_time(), switches(), time.perf_counter()
        lost = sum(n - 1 - node.peer_count() for node in nodes)
        heartbeats = 2 * n * (n - 1) * (w1 - w0) / HEARTBEAT
        return {"settle": settle, "core": (cpu1 - cpu0) / (w1 - w0), "cpu_per_hb": (cpu1 - cpu0) / heartbeats,
                "sw_per_hb": (sw1 - sw0) / heartbeats, "lost": lost, "file": bs.core_file()}
    finally:
        for node in nodes:
            node.stop()


def run_child(n, idle, path):
    command = [sys.executable, os.path.abspath(__file__), "--child", str(n), "--idle", str(idle)]
    try:
        done = subprocess.run(command, env=bs.child_env(path), capture_output=True, text=True,
                              timeout=SETTLE_LIMIT + idle + 120)
    except subprocess.TimeoutExpired:
        return {"error": "still running after its time-out"}
    lines = [l for l in done.stdout.splitlines() if l.startswith("RESULT ")]
    if done.returncode != 0 or not lines:
        return {"error": f"exit {done.returncode}: {done.stderr.strip()[-1500:]}"}
    return json.loads(lines[-1][len("RESULT "):])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--quick", action="store_true", help="two rounds of 3 idle seconds")
    parser.add_argument("--nodes", type=int, nargs="+", default=[10, 30, 60])
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--idle", type=float, help="seconds of idle time measured per run")
    parser.add_argument("--vardimont-path", action="append", metavar="DIR",
                        help="a directory holding a vardimont package; repeat to compare builds")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print("RESULT", json.dumps(child(args.child, args.idle)), flush=True)
        return
    rounds = args.rounds or (2 if args.quick else 3)
    idle = args.idle or (3.0 if args.quick else 5.0)
    if rounds < 1 or idle <= 0 or min(args.nodes) < 2:
        parser.error("--rounds at least 1, --idle above 0, --nodes at least 2")
    builds = bs.build_labels(args.vardimont_path)
    if not args.vardimont_path:
        try:
            bs.core_file()
        except ImportError as e:
            sys.exit(f"error: vardimont is not importable ({e}): install it or give --vardimont-path DIR")
    runs = [(label, path, n) for n in args.nodes for label, path in builds]
    print(f"N nodes in one process, fully meshed on 127.0.0.1, heartbeat {HEARTBEAT:g} s; idle CPU over {idle:g} s "
          f"after one more interval; {rounds} rounds, interleaved, each run in a fresh process", flush=True)
    results = {(label, n): [] for label, _, n in runs}
    files = {}
    failed = False
    for r in range(rounds):
        shift = r % len(runs)
        for label, path, n in runs[shift:] + runs[:shift]:
            res = run_child(n, idle, path)
            if "error" in res:
                print(f"  round {r + 1}: {label} N={n}: FAILED: {res['error']}", flush=True)
                failed = True
                continue
            if res["lost"]:
                print(f"  round {r + 1}: {label} N={n}: {res['lost']} peer registrations lost while idle", flush=True)
            files.setdefault(label, set()).add(res["file"])
            results[(label, n)].append(res)
        print(f"  round {r + 1} of {rounds} done", flush=True)
    for label, found in files.items():
        print(f"{label} loaded {', '.join(sorted(found))}")
    print("\nmin / median / max over the rounds")
    print(f"{'build':<14} {'N':>3} {'conns':>5} {'heartbeats/s':>12}  {'settle s':^24}  {'idle CPU, % of a core':^24}"
          f"  {'CPU us per heartbeat':^24}  {'switches/heartbeat':^24}")
    for label, _, n in runs:
        cell = results[(label, n)]
        pick = lambda name: [c[name] for c in cell]  # noqa: E731
        print(f"{label:<14} {n:>3} {n * (n - 1) // 2:>5} {2 * n * (n - 1) / HEARTBEAT:>12,.0f}  "
              f"{bs.fmt_spread(pick('settle'), 1, 3, 6)}  {bs.fmt_spread(pick('core'), 100, 1, 6)}  "
              f"{bs.fmt_spread(pick('cpu_per_hb'), 1e6, 1, 6)}  {bs.fmt_spread(pick('sw_per_hb'), 1, 2, 6)}")
    if len(builds) > 1:
        print("\nratios of the medians, each build against the first")
        first = builds[0][0]
        for label, _ in builds[1:]:
            for n in args.nodes:
                def compare(name):
                    return bs.ratio(bs.median([c[name] for c in results[(label, n)]]),
                                    bs.median([c[name] for c in results[(first, n)]]))
                print(f"  {label} / {first}, N={n}: settle {compare('settle')}, idle CPU {compare('core')}")
    if failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
