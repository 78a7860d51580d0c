"""What Nagle's algorithm costs vardimont: as shipped against TCP_NODELAY forced.

The product sets no socket option, so Nagle's algorithm stays on: a small
segment waits while an earlier one is unacknowledged, and the peer may delay
its acknowledgement when it has nothing to send back. Two patterns, both
between two processes on 127.0.0.1 (the machinery of e2e_bench.py):

  (a) stream                  a credit-windowed stream of ~100-byte JSON
                              messages (window 256, an ack every 64): msg/s
  (b) notification + request  a message that gets no reply, followed at once
                              by a request (two small sends, then the wait for
                              the reply), against the request alone: round
                              trip p50 and p90

each as shipped and with nodelay_shim.c preloaded into both processes
(TCP_NODELAY on every TCP socket: measurement only, compiled here on demand).
The runs are interleaved, round after round; figures are min / median / max
over the rounds.

Usage: python3 benchmarks/nagle_bench.py [--quick] [--rounds N] [--messages N] [--requests N]
           [--vardimont-path DIR]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_support as bs  # noqa: E402
import e2e_bench  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer messages and requests")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--messages", type=int, help="stream messages per run")
    parser.add_argument("--requests", type=int, help="round trips per run, for each request pattern")
    parser.add_argument("--vardimont-path", metavar="DIR", help="a directory holding the vardimont package to measure")
    parser.add_argument("--shim-dir", help="where to compile the shim (default: a temporary directory)")
    args = parser.parse_args()
    rounds = args.rounds or (3 if args.quick else 5)
    messages = args.messages or (20_000 if args.quick else 50_000)
    requests = args.requests or (100 if args.quick else 300)
    if rounds < 1 or messages < 1 or requests < 1:
        parser.error("--rounds, --messages and --requests must be at least 1")
    if args.vardimont_path:
        bs.check_build_path(args.vardimont_path)
    else:
        try:
            bs.core_file()
        except ImportError as e:
            sys.exit(f"error: vardimont is not importable ({e}): install it or give --vardimont-path DIR")
    shim = bs.build_shim(args.shim_dir)

    print(f"vardimont, two processes on 127.0.0.1: (a) {messages:,} stream messages of about 100 bytes, window "
          f"{e2e_bench.WINDOW}, an ack every {e2e_bench.ACK_EVERY}, and {requests} requests alone; (b) {requests} "
          f"notifications each followed at once by a request; {rounds} rounds, interleaved", flush=True)
    # (variant, pattern): pattern "alone" runs the stream and the requests
    # alone in one pair of processes, "notify" the notification + request.
    runs = [(variant, pattern) for variant in bs.VARIANTS for pattern in ("alone", "notify")]
    cells = {run: {"rate": [], "p50": [], "p90": []} for run in runs}
    cores = set()
    failed = False
    for r in range(rounds):
        shift = r % len(runs)
        for variant, pattern in runs[shift:] + runs[:shift]:
            notify = pattern == "notify"
            try:
                res, rx = e2e_bench.run_once("vardimont", "asyncio", args.vardimont_path,
                                             shim if variant == "shim" else None,
                                             0 if notify else messages, requests, notify)
                run = {"variant": variant}
                e2e_bench.check_facts(run, res, "sender")
                e2e_bench.check_facts(run, rx, "receiver")
            except e2e_bench.Failure as e:
                print(f"  round {r + 1}: {variant} {pattern}: FAILED: {e}", flush=True)
                failed = True
                continue
            cores.add(res["core"])
            for name in ("rate", "p50", "p90"):
                if name in res:
                    cells[(variant, pattern)][name].append(res[name])
        print(f"  round {r + 1} of {rounds} done", flush=True)
    print(f"vardimont loaded {', '.join(sorted(cores)) or '-'}\n")

    label = {"shipped": "as shipped", "shim": "TCP_NODELAY shim"}
    print("round trips in microseconds: p50 is the median over the rounds of each run's p50; "
          "p90 is each run's p90, min / median / max over the rounds")
    print(f"{'':<17} {'(a) stream msg/s':^30} | {'request alone':^34} | {'(b) notification + request':^34}")
    print(f"{'':<17} {'':^30} | {'p50':>7} {'p90':^26} | {'p50':>7} {'p90':^26}")
    for variant in bs.VARIANTS:
        alone, notify = cells[(variant, "alone")], cells[(variant, "notify")]
        line = f"{label[variant]:<17} {bs.fmt_spread(alone['rate'])}"
        for cell in (alone, notify):
            p50 = bs.median(cell["p50"])
            line += f" | {p50 * 1e6 if p50 else 0:>7,.0f} {bs.fmt_spread(cell['p90'], 1e6, 0, 6)}"
        print(line)

    def med(variant, pattern, name):
        return bs.median(cells[(variant, pattern)][name])

    print("\nratios of the medians")
    stream = bs.ratio(med("shim", "alone", "rate"), med("shipped", "alone", "rate"))
    print(f"  (a) stream, shim / as shipped: throughput {stream}")
    for variant in bs.VARIANTS:
        print(f"  (b) {label[variant]}, notification + request / request alone: "
              f"p50 {bs.ratio(med(variant, 'notify', 'p50'), med(variant, 'alone', 'p50'))}, "
              f"p90 {bs.ratio(med(variant, 'notify', 'p90'), med(variant, 'alone', 'p90'))}")
    if failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
