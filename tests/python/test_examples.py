"""The examples run as a user would run them: each ends by itself, with
status 0, and prints what it promises."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(name, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("RUST_LOG", "NO_COLOR")}
    proc = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True,
                          timeout=60, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_request_reply():
    out = run("request_reply.py")
    assert "sum(1, 2, 3) = 6" in out
    assert "max(4, 9, 2) = 9" in out
    assert "five requests in flight at once: [0, 2, 4, 6, 8]" in out


def test_events():
    out = run("events.py")
    kinds = [line.split("'kind': '")[1].split("'")[0] for line in out.splitlines() if "event:" in line]
    assert kinds == ["peer_connected", "error", "error", "peer_disconnected", "reconnect_gave_up"]
    assert "actor_not_found:nobody" in out and "your request was dropped" in out
    assert out.rstrip().endswith("done")


def test_demo_in_two_processes():
    out = run("demo.py", "--messages", "2000", "--pings", "50")
    assert "[driver] greeter replied 'hello, Ada!'" in out
    assert "[worker] counted 2000 stream messages; stopping" in out
    assert "messages/s" in out and "ping-pong: 50 round trips" in out
    assert "worker exited with status 0; done" in out


def test_typed_payloads():
    out = run("typed_payloads.py")
    assert out.splitlines() == [
        "dict[str, int] -> {'apples': 3, 'pears': 0}",
        "list[float] -> [21.5, 22.0, 19.75]",
        "Reading -> {'sensor': 't1', 'values': [21.5, 22.0, 19.75], 'calibrated': True}",
        "dict[str, list[float]] -> {'kitchen': [21.5], 'hall': []}",
        "tuple[int, int] -> [3, 4]",
        '{"sensor":"t1","values":[21.5,22.0,19.75],"calibrated":true} True',
    ]
