"""Top costs of a profile in collapsed-stack form (py-spy record --format raw,
or perf script | stackcollapse-perf.pl): the functions where the samples
land (self) and the functions that the samples pass through (inclusive),
each as a share of the busy samples. Line numbers are dropped, so that one
function is one entry.

py-spy --native counts a native thread that blocks in the kernel as running.
A sample whose stack holds a blocking call (WAITS below) counts as waiting:
the waits are listed apart, as a share of all samples, and the costs are
shares of the remaining, busy samples.

Usage: python3 benchmarks/profile_top.py FILE [--top N] [--match TEXT]
  --match TEXT   count only the samples whose stack has a frame containing TEXT
"""
import argparse
import collections
import re
import sys

LINE = re.compile(r":\d+\)$")
WAITS = ("epoll_wait", "epoll_pwait", "pthread_cond_wait", "pthread_cond_timedwait", "pthread_cond_clockwait",
         "__lll_lock_wait", "__lll_lock_wait_private", "sem_wait", "sem_timedwait", "nanosleep", "clock_nanosleep",
         "poll", "select", "EpollSelector.select", "syscall")


def frame_name(frame):
    frame = LINE.sub(")", frame.strip())
    if frame.startswith("0x"):  # an address without a symbol: keep its library
        return "?? " + frame.split(" ", 1)[-1]
    return frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], epilog=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--top", type=int, default=20)
    parser.add_argument("--match")
    args = parser.parse_args()
    self_counts, inclusive, waits, total, all_samples = (collections.Counter(), collections.Counter(),
                                                         collections.Counter(), 0, 0)
    with open(args.file) as f:
        for line in f:
            stack, _, count = line.rstrip("\n").rpartition(" ")
            if not stack or not count.isdigit():
                continue
            if args.match and args.match not in stack:
                continue
            frames = [frame_name(x) for x in stack.split(";")]
            n = int(count)
            all_samples += n
            wait = next((f for f in reversed(frames) if f.split(" (")[0] in WAITS), None)
            if wait:
                waits[wait] += n
                continue
            total += n
            self_counts[frames[-1]] += n
            for name in set(frames):
                inclusive[name] += n
    if not total:
        sys.exit("no samples")
    print(f"{args.file}: {all_samples} samples, {total} busy")
    print("\nwaiting (share of all samples):")
    for name, n in waits.most_common(8):
        print(f"  {100 * n / all_samples:5.1f} %  {name[:150]}")
    for title, counter in (("self", self_counts), ("inclusive", inclusive)):
        print(f"\n{title}:")
        for name, n in counter.most_common(args.top):
            print(f"  {100 * n / total:5.1f} %  {name[:150]}")


if __name__ == "__main__":
    main()
