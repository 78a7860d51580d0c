"""Payload codec speed: encode_payload / decode_payload against the standard
library's compact json and orjson, on a small message and a ~1 MB one.

Run with the package installed:  python benchmarks/codec_bench.py
Prints ns/op for each codec and the ratios against ours (above 1: ours is
faster). orjson is optional; without it its columns are left out.
"""
import json
import random
import time

from vardimont._core import decode_payload, encode_payload

try:
    import orjson
except ImportError:  # pragma: no cover
    orjson = None


def small_message():
    return {
        "kind": "order",
        "id": 1234567,
        "price": 101.25,
        "qty": -3,
        "ok": True,
        "note": None,
        "tags": ["fast", "red"],
        "who": "caf\u00e9 \u2014 \"quoted\"",
        "ts": 1733822729.123456,
        "meta": {"a": 1, "b": [1, 2, 3]},
    }


def large_message(target_bytes=1_000_000):
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "\u00e9t\u00e9", "line\nbreak", "tab\tbed"]
    items = []
    size = 0
    while size < target_bytes:
        item = {
            "id": rng.randrange(1 << 40),
            "name": " ".join(rng.choice(words) for _ in range(4)),
            "score": rng.random() * 1000,
            "delta": rng.randrange(-1000, 1000),
            "flags": [rng.random() < 0.5 for _ in range(3)],
            "child": {"x": rng.random(), "y": None, "label": rng.choice(words)},
        }
        items.append(item)
        size += len(json.dumps(item, separators=(",", ":")))
    return {"items": items, "count": len(items)}


def time_op(fn, arg, min_seconds=0.3):
    """ns per call: the best of 5 rounds, each of enough calls to last min_seconds / 5."""
    n = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn(arg)
        elapsed = time.perf_counter_ns() - t0
        if elapsed > min_seconds * 1e9 / 5:
            break
        n *= 2
    best = elapsed / n
    for _ in range(4):
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn(arg)
        best = min(best, (time.perf_counter_ns() - t0) / n)
    return best


def json_dumps(v):
    # Bytes, as ours gives: the payload is what goes on the wire.
    return json.dumps(v, separators=(",", ":")).encode()


def main():
    cases = [("small", small_message()), ("large", large_message())]
    header = f"{'case':<6} {'op':<7} {'ours':>12} {'json':>12} {'json/ours':>10}"
    if orjson is not None:
        header += f" {'orjson':>12} {'ours/orjson':>12}"
    print(header)
    for name, value in cases:
        encoded = encode_payload(value)
        assert decode_payload(encoded) == json.loads(encoded)
        rows = [
            ("encode", encode_payload, json_dumps, orjson.dumps if orjson else None, value),
            ("decode", decode_payload, json.loads, orjson.loads if orjson else None, encoded),
        ]
        for op, ours_fn, std_fn, orjson_fn, arg in rows:
            ours = time_op(ours_fn, arg)
            std = time_op(std_fn, arg)
            line = f"{name:<6} {op:<7} {ours:>10.0f}ns {std:>10.0f}ns {std / ours:>10.2f}"
            if orjson_fn is not None:
                other = time_op(orjson_fn, arg)
                line += f" {other:>10.0f}ns {ours / other:>12.2f}"
            print(line)
    print(f"large message: {len(encode_payload(cases[1][1])):,} bytes")


if __name__ == "__main__":
    main()
