#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the C++ tests in a plain
# build (warnings as errors), under AddressSanitizer with UndefinedBehavior-
# Sanitizer and under ThreadSanitizer, then the Python tests against the
# installed package and against a sanitizer build of the module.
set -euo pipefail
export PIP_ROOT_USER_ACTION=ignore  # CI runs pip as root; the warning says nothing new
cd "$(dirname "$0")/.."
root=$PWD
PY=${PYTHON:-python3}

bash scripts/install-deps.sh
export PATH="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

jobs=${JOBS:-2}
build() {  # name, extra cmake args...
  local dir=build/$1; shift
  cmake -S . -B "$dir" -G Ninja -DVARDIMONT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
run_ctest() {
  (cd "build/$1" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

echo "== C++ tests (plain build)"
build plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest plain

echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
build asan -DCMAKE_BUILD_TYPE=Debug -DVARDIMONT_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest asan

echo "== C++ tests (ThreadSanitizer)"
build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDIMONT_SANITIZE=thread
# Some kernels map memory where this TSan runtime refuses to run; without
# address randomisation it always can.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" setarch "$(uname -m)" -R \
  bash -c "cd build/tsan && ctest --output-on-failure -j $jobs --timeout 240"

echo "== Python package and tests"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation "$root"
(cd tests/python && "$PY" -m pytest)

echo "== Python tests against the module built with AddressSanitizer + UndefinedBehaviorSanitizer"
# The interpreter is not instrumented, so the runtimes are preloaded; its own
# allocations are never freed at exit, so leak checking stays off.
cmake -S . -B build/py-asan -G Ninja -DVARDIMONT_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DVARDIMONT_SANITIZE=address -DVARDIMONT_PYTHON=ON -DVARDIMONT_TESTS=OFF >/dev/null
cmake --build build/py-asan -j "$jobs" --target _core
pkg=$root/build/py-asan/pkg
rm -rf "$pkg" && mkdir -p "$pkg/vardimont"
cp python/vardimont/* "$pkg/vardimont/" && cp build/py-asan/_core*.so "$pkg/vardimont/"
(cd tests/python &&
  PYTHONPATH="$pkg" LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$PY" -m pytest -p no:cacheprovider)
