#!/usr/bin/env bash
# Sets everything up and runs the main job: two nodes in two processes
# exchange messages through actors and report what arrived, the events, and
# the throughput and round-trip latency they measured.
set -euo pipefail
export PIP_ROOT_USER_ACTION=ignore  # CI runs pip as root; the warning says nothing new
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
bash scripts/install-deps.sh
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
exec "$PY" examples/demo.py
