"""What the Python benchmarks share: the TCP_NODELAY measurement shim, the
environment of their child processes, and the min / median / max summary.

Every benchmark runs each contestant in fresh child processes, so that two
builds of vardimont (each a directory holding a `vardimont` package with its
_core module, put first on PYTHONPATH) and the shim (LD_PRELOAD) apply to one
contestant only and the parent process measures nothing of its own.
"""
import atexit
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SHIM_SOURCE = os.path.join(HERE, "nodelay_shim.c")
VARIANTS = ("shipped", "shim")


def build_shim(out_dir=None):
    """Compiles nodelay_shim.c with the system compiler ($CC, else cc) into
    `out_dir` (a temporary directory removed at exit when None) and returns
    the path of the shared object."""
    if out_dir is None:
        out_dir = tempfile.mkdtemp(prefix="vardimont-shim-")
        atexit.register(shutil.rmtree, out_dir, True)
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "nodelay_shim.so")
    compiler = os.environ.get("CC", "cc")
    command = [compiler, "-O2", "-Wall", "-shared", "-fPIC", "-o", target, SHIM_SOURCE, "-ldl"]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"error: could not compile the TCP_NODELAY shim ({' '.join(command)}):\n{result.stderr}")
    return target


def child_env(vardimont_path=None, shim=None):
    """The environment of a child process: `vardimont_path` first on
    PYTHONPATH, `shim` first in LD_PRELOAD."""
    env = dict(os.environ)
    if vardimont_path:
        rest = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(vardimont_path), *rest])
    if shim:
        rest = env.get("LD_PRELOAD", "")
        env["LD_PRELOAD"] = f"{shim} {rest}".strip()
    return env


def check_build_path(path):
    """Exits with a clear message unless `path` holds a vardimont package
    with its _core module."""
    package = os.path.join(path, "vardimont")
    if not os.path.isdir(package) or not any(n.startswith("_core") and n.endswith(".so") for n in os.listdir(package)):
        sys.exit(f"error: --vardimont-path {path}: no vardimont/_core*.so there "
                 f"(build one with: python3 -m pip install --no-build-isolation --target DIR .)")


def build_labels(paths):
    """Labels for the vardimont builds: 'vardimont' for the one importable
    when no path is given, else 'vardimont[A]', 'vardimont[B]', ..."""
    if not paths:
        return [("vardimont", None)]
    for path in paths:
        check_build_path(path)
    return [(f"vardimont[{chr(ord('A') + i)}]", path) for i, path in enumerate(paths)]


def nodelay_default():
    """TCP_NODELAY on a fresh TCP socket of this process: 1 under the shim."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        return s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)


def core_file():
    import vardimont._core
    return vardimont._core.__file__


def run_loop(coro, loop_name):
    """Runs `coro` to completion on a new loop of the stdlib ('asyncio') or
    uvloop ('uvloop')."""
    import asyncio
    factory = None
    if loop_name == "uvloop":
        import uvloop
        factory = uvloop.new_event_loop
    with asyncio.Runner(loop_factory=factory) as runner:
        return runner.run(coro)


def spread(values):
    """(min, median, max) of a non-empty list, or None."""
    return (min(values), statistics.median(values), max(values)) if values else None


def fmt_spread(values, scale=1.0, digits=0, width=8):
    s = spread(values)
    if s is None:
        return "-".center(3 * width + 6)
    return " / ".join(f"{v * scale:>{width},.{digits}f}" for v in s)


def median(values):
    return statistics.median(values) if values else None


def ratio(a, b):
    return f"x{a / b:.2f}" if a is not None and b else "  -"


def percentile(sorted_values, q):
    """The q-quantile (0 < q <= 1) of an ascending list, nearest rank."""
    index = max(0, min(len(sorted_values) - 1, int(round(q * len(sorted_values))) - 1))
    return sorted_values[index]
