#!/usr/bin/env bash
# Builds the package's wheel and repairs it into one that a package index
# accepts: auditwheel gives it the most widely usable manylinux tag that its
# symbol versions allow and copies in libcrypto, the one library it links that
# no manylinux policy lets a wheel take from the system. Then abi3audit checks
# that the module uses only CPython 3.11's stable ABI, and auditwheel shows
# what the repaired wheel needs. The wheel is left in build/wheelhouse/ and
# its path printed last.
#
#   scripts/wheel.sh
#
# VARDIMONT_SKIP_DEPS=1 skips the set-up (scripts/test.sh sets it for the
# parts it is asked to run alone).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python-env.sh
[ -n "${VARDIMONT_SKIP_DEPS:-}" ] || bash scripts/install-deps.sh --wheel
use_python_scripts

rm -rf build/dist build/wheelhouse
"$PY" -m pip wheel -q --no-build-isolation --no-deps --config-settings=build-dir=build/{wheel_tag} \
  -w build/dist .
auditwheel repair -w build/wheelhouse build/dist/vardimont-*.whl 2>&1 | { grep -v '^INFO:' || true; }
wheel=$(echo build/wheelhouse/vardimont-*.whl)
case $wheel in
  *-cp311-abi3-manylinux_*.whl) ;;
  *) echo "error: $wheel is not an abi3 wheel with a manylinux tag" >&2; exit 1 ;;
esac
auditwheel show "$wheel" 2>&1 | { grep -v '^INFO:' || true; }
abi3audit --strict --summary "$wheel"
echo "$wheel"
