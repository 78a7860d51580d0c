"""What the tests share with the scripts they run in child processes: the
short intervals of their nodes, polling with a deadline, a probe for a node
in use and the names of the process's threads. It imports neither
pytest nor the module under test, so that a child script (run_script puts this
folder on its path) can take it in as it is."""
import os
import time

# Intervals short enough that connection changes show within tens of ms.
FAST = dict(heartbeat_interval=0.05, peer_timeout=0.5, reconnect_interval=0.05)


def wait_until(pred, timeout=5.0, interval=0.005):
    """Polls `pred` until it is true or `timeout` seconds have passed; returns
    its last value, so that `assert wait_until(...)` reads naturally."""
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def in_use(node, peer_id):
    """Whether a call of another thread holds `node` at this moment: has_peer
    is then refused as "Already borrowed". Only a call that waits with the GIL
    released, such as a send waiting for room, can be seen so."""
    try:
        node.has_peer(peer_id)
        return False
    except RuntimeError as e:
        assert str(e) == "Already borrowed"
        return True


def thread_names():
    """The names of this process's threads (Linux: /proc/self/task/*/comm)."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except OSError:  # the thread ended after the listing
            pass
    return names
