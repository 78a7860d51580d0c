#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz_corpus/<target>/.

The seeds are the documented examples and edge cases of each input format.
Files named regress-* in those directories are reproducers of past findings
and are kept as they are; every other file is rewritten by this script.

    python3 fuzz/make_seeds.py
"""
import os
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "fuzz_corpus"

HANDSHAKE, DATA, HEARTBEAT, ERROR = range(4)


def varint(v):
    if v <= 250:
        return bytes([v])
    if v <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", v)
    if v <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", v)
    return b"\xfd" + struct.pack("<Q", v)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return varint(len(b)) + b


def body(kind, msg_id=1, src="a@h:1", dst="", payload=b"", reply_to=None, corr=None, version=1):
    out = bytes([version]) + varint(msg_id) + text(src) + text(dst) + varint(kind) + text(payload)
    out += b"\x00" if reply_to is None else b"\x01" + text(reply_to)
    out += b"\x00" if corr is None else b"\x01" + varint(corr)
    return out


def frame(b):
    return struct.pack("<I", len(b)) + b


def write(target, seeds):
    d = ROOT / target
    d.mkdir(parents=True, exist_ok=True)
    for f in d.iterdir():
        if not f.name.startswith("regress-"):
            f.unlink()
    for name, data in seeds.items():
        (d / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def node_id_seeds():
    texts = [
        "n@h:1", "n:x@h:1", "n@a@b:1", "n@h:1:2", "n@::1:9000", "n@[::1]:9000",
        "", "name-only", "n@h", "@h", "@:1", "@:", "n@:1", "n@:x",
        "n@h:", "n@h:+", "n@h:-", "n@h:-1", "n@h:-0", "n@h:++1", "n@h:1a", "n@h: 1", "n@h:1 ",
        "n@h:65536", "n@h:65535", "n@h:0", "n@h:+0", "n@h:00000000080", " n@h:1", "n@h:1\n",
        "n\u00f6d\u00e9@h\u00f4st:1", "n@h:\u0661\u0662", "n@h:080", "N@h:80", "n@h:99999999999999999999",
    ]
    return {f"seed-{i:02d}": t for i, t in enumerate(texts)}


HEARTBEAT_7 = bytes.fromhex("01 07 05 61 40 68 3A 31 00 02 00 00 00")
DATA_300 = bytes.fromhex("01 FB 2C 01 05 61 40 68 3A 31 01 77 01 01 31 01 01 72 01 2A")


def body_seeds():
    s = {
        "heartbeat": HEARTBEAT_7,
        "data": DATA_300,
        "empty": b"",
        "surplus": HEARTBEAT_7 + b"\x00\xff\x10",
        "src-len-huge": b"\x01\x07\xfd" + b"\xff" * 8 + b"a@h:1",
        "kind-fb-data": b"\x01\x07\x05a@h:1\x00\xfb\x01\x00\x00\x00\x00",
        "kind-4": b"\x01\x07\x05a@h:1\x00\x04\x00\x00\x00",
        "kind-fb-4": b"\x01\x07\x05a@h:1\x00\xfb\x04\x00\x00\x00\x00",
        "kind-fd": b"\x01\x07\x05a@h:1\x00\xfd" + b"\x01" + b"\x00" * 7 + b"\x00\x00\x00",
        "msg-id-fc": b"\x01\xfc\x07\x00\x00\x00\x05a@h:1\x00\x02\x00\x00\x00",
        "msg-id-fe": b"\x01\xfe" + b"\x00" * 16,
        "reply-tag-2": b"\x01\x07\x05a@h:1\x00\x01\x00\x02",
        "corr-cut": b"\x01\x07\x05a@h:1\x00\x01\x00\x00\x01",
        "version-2": body(HEARTBEAT, msg_id=7, version=2),
        "src-bad-utf8": b"\x01\x07\x01\xff\x00\x02\x00\x00\x00",
        "src-surrogate": b"\x01\x07\x03\xed\xa0\x80\x00\x02\x00\x00\x00",
        "payload-len-short": b"\x01\x07\x05a@h:1\x00\x01\xfc\x00\x00\x00\x01abc",
        "handshake-proof": body(HANDSHAKE, src="b@127.0.0.1:9000", payload=bytes(range(48))),
        "error": body(ERROR, msg_id=9, payload=b'{"error":"actor_not_found:w"}', corr=7),
        "data-all-fields": body(DATA, msg_id=2**40, dst="w\u00e9", payload=b"[1,2]", reply_to="", corr=2**64 - 1),
    }
    for v in (250, 251, 65535, 65536, 2**32 - 1, 2**32):
        s[f"msg-id-{v}"] = body(HEARTBEAT, msg_id=v)
    return s


def frame_seeds():
    hb = frame(HEARTBEAT_7)
    data = frame(DATA_300)
    return {
        "heartbeat": hb,
        "data": data,
        "empty": b"",
        "header-1": b"\x0d",
        "header-3": b"\x0d\x00\x00",
        "two-and-a-half": hb + data + data[:9],
        "limit-exact": b"\x00\x00\x00\x01" + HEARTBEAT_7,
        "limit-over": b"\x01\x00\x00\x01",
        "ffffffff": b"\xff\xff\xff\xff",
        "surplus-in-frame": frame(HEARTBEAT_7 + b"xyz") + hb,
        "good-then-bad": hb + frame(b"\x01\x07\x05a@h:1\x00\x04\x00\x00\x00") + hb,
        "zero-length": b"\x00\x00\x00\x00" + hb,
        "many-small": hb * 12,
    }


def nested(n, open_, close):
    return open_ * n + close * n


def json_seeds():
    docs = {
        "empty": "",
        "space": " ",
        "object": '{"b":1,"a":[1.0,null,"x"]}',
        "repeat-key": '{"a":1,"b":2,"a":3}',
        "u64-max": "18446744073709551615",
        "u64-over": "18446744073709551616",
        "i64-min": "-9223372036854775808",
        "i64-under": "-9223372036854775809",
        "minus-zero": "-0",
        "exp": "1e2",
        "one-point-oh": "1.0",
        "huge": "1e400",
        "tiny": "1e-400",
        "subnormal": "4.9e-324",
        "double-max": "1.7976931348623157e308",
        "fraction": "-123.456e-7",
        "long-digits": "3.14159265358979323846264338327950288419716939937510e-3",
        "nested-127": nested(127, "[", "]"),
        "nested-128": nested(128, "[", "]"),
        "nested-objects-128": '{"a":' * 128 + "1" + "}" * 128,
        "two-values": "1 2",
        "extra-bracket": "[1]]",
        "nullx": "nullx",
        "and-more": "{} and more",
        "trailing-comma": "[1,]",
        "leading-zero": "01",
        "nan": "NaN",
        "surrogate-pair": '"\\ud83d\\ude00"',
        "lone-high": '"\\ud83d"',
        "lone-low": '"\\ude00"',
        "high-then-other": '"\\ud83d\\u0041"',
        "error-payload": '{"error":"actor_not_found:w"}',
        "spaced": ' { "b" : 1 ,\t"a" :\r\n2 } ',
        "escapes": '"\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\\u00e9"',
        "raw-utf8": '"\u00e9\u4e2d\U0001f600"',
        "control-char": '"a\x01b"',
        "abc": "abc",
        "literals": "[null,true,false]",
        "misspelt": "tru",
        "missing-colon": '{"a" 1}',
        "key-not-string": "{1:2}",
        "missing-comma": "[1 2]",
        "deep-mixed": '{"z":[{"y":[],"x":{}}],"a":{"c":1,"b":[{"k":1,"k":2}]}}',
        "unicode-keys": '{"\u00e9":1,"e":2,"\\u0000":3,"":4}',
    }
    seeds = {k: v.encode() for k, v in docs.items()}
    seeds["bad-utf8"] = b'"\xff"'
    seeds["overlong"] = b'"\xc0\xaf"'
    return seeds


def inbound_seeds():
    # First byte: bit 0 picks the listener (0: no secret, 1: with a secret),
    # bits 1-2 the size of the writes (all at once, 1, 3 or 61 bytes).
    hs = frame(body(HANDSHAKE, msg_id=1, src="x@127.0.0.1:1"))
    def data(dst, corr=None, payload=b"1"):
        return frame(body(DATA, msg_id=2, src="x@127.0.0.1:1", dst=dst, payload=payload, corr=corr))
    err = frame(body(ERROR, msg_id=3, src="x@127.0.0.1:1", payload=b'{"b":[1,2],"a":"q","b":null}', corr=5))
    session = hs + data("sink", 1) + data("nobody", 2) + err + frame(HEARTBEAT_7)
    return {
        "open-nothing": b"\x00",
        "open-session": b"\x00" + session,
        "open-session-bytewise": b"\x02" + session,
        "open-session-61": b"\x06" + session,
        "open-fill-mailbox": b"\x00" + hs + data("sink") * 260,
        "open-data-first": b"\x00" + data("sink") + hs,
        "open-version-2": b"\x00" + frame(body(HANDSHAKE, src="x@127.0.0.1:1", version=2)),
        "open-too-large": b"\x00" + b"\x01\x00\x00\x01",
        "open-garbage": b"\x00GET / HTTP/1.1\r\nHost: x\r\n\r\n",
        "open-bad-src": b"\x00" + frame(body(HANDSHAKE, src="nope")),
        "open-two-handshakes": b"\x00" + hs + frame(body(HANDSHAKE, src="y@127.0.0.1:2")) + data("sink"),
        "open-error-empty": b"\x00" + hs + frame(body(ERROR, src="x@127.0.0.1:1")),
        "open-error-deep": b"\x00" + hs + frame(body(ERROR, src="x@127.0.0.1:1", payload=nested(130, "[", "]").encode())),
        "open-self-id": b"\x00" + frame(body(HANDSHAKE, src="z-open@127.0.0.1:0")) + data("sink"),
        "open-partial": b"\x00" + hs + data("sink")[:7],
        "authed-no-proof": b"\x01" + hs + data("sink"),
        "authed-wrong-proof": b"\x01" + frame(body(HANDSHAKE, src="x@127.0.0.1:1", payload=bytes(48))) + data("sink"),
        "authed-wrong-proof-3": b"\x05" + frame(body(HANDSHAKE, src="x@127.0.0.1:1", payload=bytes(48))) + data("sink"),
    }


def main():
    write("node_id", node_id_seeds())
    write("body", body_seeds())
    write("frame", frame_seeds())
    write("json", json_seeds())
    write("inbound", inbound_seeds())
    for d in sorted(ROOT.iterdir()):
        print(f"{d.name}: {len(os.listdir(d))} files")


if __name__ == "__main__":
    main()
