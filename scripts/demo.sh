#!/usr/bin/env bash
# Sets everything up and runs the main job: two nodes in two processes
# exchange messages through actors and report what arrived, the events, and
# the throughput and round-trip latency they measured.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python-env.sh
bash scripts/install-deps.sh --demo
use_python_scripts
# The build tree is kept in build/ (ignored by git) so that a second run only
# rebuilds what changed.
"$PY" -m pip install -q --no-build-isolation --config-settings=build-dir=build/{wheel_tag} .
exec "$PY" examples/demo.py
