# ---------------------------------------------------------------------------
# A node under the faults of its peers and strangers, seen from Python: a
# mesh that dials both ways at once, connections that never complete their
# handshake, and errors of megabytes. Every node that a descriptor limit or a
# hostile peer could hang or crash runs in a child process with bounded waits.
# ---------------------------------------------------------------------------
import json
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

from conftest import KIND_DATA, KIND_ERROR, RawPeer, Recorder, wait_until


def test_a_mesh_that_dials_both_ways_at_once_loses_no_message(make_node, loop_thread):
    # Both nodes dial each other at once, as every pair of a full mesh does at
    # start-up; the one whose id sorts later sends as soon as it may. Every
    # message that send_data accepted reaches the actor, whichever of the two
    # connections carried it.
    for trial in range(30):
        a = make_node(f"a{trial:02}")
        b = make_node(f"b{trial:02}")
        got = Recorder()
        a.register_actor("sink", loop_thread.loop, got)
        a.connect_peer(b.local_id())
        b.connect_peer(a.local_id())
        sent = 0
        deadline = time.monotonic() + 5
        while sent < 50 and time.monotonic() < deadline:
            try:
                b.send_data(a.local_id(), "sink", sent, None, None)
                sent += 1
            except ValueError as e:  # "send failed: peer not connected" until a connection is up
                assert "not connected" in str(e) or "closed" in str(e), e
        assert sent == 50, f"trial {trial}: only {sent} sends were accepted"
        assert wait_until(lambda: len(got.calls) >= 50, 5), (
            f"trial {trial}: {50 - len(got.calls)} of 50 accepted messages were lost")
        assert sorted(got.firsts()) == list(range(50))
        a.stop()
        b.stop()


VICTIM = """
    import json, resource, sys, time
    from vardimont._core import Node

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(128, hard), hard))
    victim = Node("victim@127.0.0.1:0", peer_timeout=1.0, heartbeat_interval=0.2,
                  reconnect_interval=0.2, reconnect_max_attempts=30)
    victim.start()
    print(victim.local_id(), flush=True)
    peer = sys.stdin.readline().strip()  # once the attack is under way
    victim.connect_peer(peer)
    deadline = time.monotonic() + 5
    while not victim.has_peer(peer) and time.monotonic() < deadline:
        time.sleep(0.02)
    connected = victim.has_peer(peer)
    # Then it must stay connected for as long as the attack goes on.
    samples = lost = 0
    end = time.monotonic() + 2.5
    while connected and time.monotonic() < end:
        samples += 1
        lost += not victim.has_peer(peer)
        time.sleep(0.05)
    print(json.dumps({"connected": connected, "samples": samples, "lost": lost}), flush=True)
    victim.stop()
"""


class SlowStrangers:
    """`count` connections to `port` that each announce a first frame of
    65,536 bytes and then send one byte every 0.6 s; with `reopen`, each one
    that the node closes is opened again at once."""

    def __init__(self, port, count=200, reopen=False):
        self.port, self.reopen = port, reopen
        self.stop = threading.Event()
        self.socks = []
        for _ in range(count):
            self._open()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _open(self):
        try:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=2)
        except OSError:
            return
        try:
            s.sendall((65_536).to_bytes(4, "little"))
            s.setblocking(False)
            self.socks.append(s)
        except OSError:  # the node closed it at once (beyond its bound)
            s.close()

    def _run(self):
        while not self.stop.wait(0.6 if not self.reopen else 0.01):
            alive = []
            for s in self.socks:
                try:
                    s.send(b"\0")
                    alive.append(s)
                except OSError:
                    s.close()
            reopened = len(self.socks) - len(alive) if self.reopen else 0
            self.socks = alive
            for _ in range(reopened):
                self._open()

    def close(self):
        self.stop.set()
        self.thread.join(5)
        for s in self.socks:
            s.close()


def test_strangers_that_never_complete_a_handshake_cannot_cut_a_node_off(make_node):
    # The victim has 128 descriptors. Two hundred strangers trickle the bytes
    # of a first frame, or keep reopening what the node closes: the victim
    # still dials the peer it wants and stays connected to it.
    peer = make_node("peer", peer_timeout=1.0, heartbeat_interval=0.2)
    for reopen in (False, True):
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(VICTIM)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        strangers = None
        try:
            victim_id = proc.stdout.readline().strip()
            assert victim_id, proc.stderr.read()
            strangers = SlowStrangers(int(victim_id.rsplit(":", 1)[1]), reopen=reopen)
            proc.stdin.write(peer.local_id() + "\n")
            proc.stdin.flush()
            out, err = proc.communicate(timeout=30)
        finally:
            if strangers:
                strangers.close()
            proc.kill()
        report = json.loads(out.strip().splitlines()[-1])
        form = "reopening" if reopen else "trickling"
        assert report["connected"], f"{form}: the victim never reached its peer; its log: {err[-2000:]}"
        assert report["lost"] == 0, f"{form}: the victim lost its peer in {report['lost']} of {report['samples']}"


ERRORS = """
    import threading, time
    from vardimont._core import Node

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    class Loop:  # runs the actor at once: the message only marks the end
        def __init__(self):
            self.done = threading.Event()
        def call_soon_threadsafe(self, callback, *args):
            self.done.set()

    loop = Loop()
    node = Node("n@127.0.0.1:0", peer_timeout=5.0)
    node.start()
    node.register_actor("done", loop, print)
    print(node.local_id(), flush=True)
    base = rss()
    # The message for "done" comes behind every error on one connection: once
    # it is delivered, every error has been read and published.
    assert loop.done.wait(60)
    for _ in range(40):  # two seconds at most
        if rss() - base <= 200 * 2**20:
            break
        time.sleep(0.05)
    print(base, rss(), flush=True)
    node.stop()
"""


def test_an_error_of_megabytes_is_not_held_once_every_receiver_has_taken_it():
    # With no event handler, the events of 16 errors of 15 MB each are taken
    # by the node's own subscriber and then released, not held until newer
    # events overwrite their slots: memory returns near where it was.
    # Under AddressSanitizer (the sanitizer run of the suite) freed blocks
    # wait in a quarantine of 256 MB by default, still resident: the child's
    # is kept well below the bound, so that what it measures is what is held.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(o for o in (env.get("ASAN_OPTIONS"), "quarantine_size_mb=16") if o)
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(ERRORS)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        node_id = proc.stdout.readline().strip()
        assert node_id, proc.stderr.read()

        class Target:
            def local_id(self):
                return node_id

        peer = RawPeer(Target(), "raw@127.0.0.1:1")
        detail = b'{"error":"' + b"e" * (15 * 2**20) + b'"}'
        for _ in range(16):
            peer.send(KIND_ERROR, payload=detail)
        peer.send(KIND_DATA, dst_actor="done", payload=b"null")
        out, err = proc.communicate(timeout=90)
        peer.close()
    finally:
        proc.kill()
    assert proc.returncode == 0, err[-2000:]
    base, after = map(int, out.split())
    assert after - base <= 200 * 2**20, f"{(after - base) >> 20} MB still held after the errors"
