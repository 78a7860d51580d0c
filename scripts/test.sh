#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the C++ tests in a plain
# build (warnings as errors), under AddressSanitizer with UndefinedBehavior-
# Sanitizer and under ThreadSanitizer; the wheel, built, repaired and checked
# (scripts/wheel.sh); the Python tests against that wheel installed, on the
# project's Python and on every later CPython found on the machine; the stubs
# (stubtest) and the examples' types (mypy --strict); and the Python tests
# against a sanitizer build of the module.
#
#   scripts/test.sh [PART...]
#
# Named parts run alone, in the order above, and skip the set-up (run the
# script once without parts first): plain, asan, tsan, wheel, python (the
# wheel built last, installed), stubs, pythons (the other CPythons), asan-py.
# TESTS=REGEX narrows every part to the tests it names (ctest -R, pytest -k):
#   TESTS=Reader bash scripts/test.sh plain
#   TESTS=fork bash scripts/test.sh wheel python
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/python-env.sh

all_parts=(plain asan tsan wheel python stubs pythons asan-py)
if (($#)); then
  parts=" $* "
  for part in "$@"; do
    [[ " ${all_parts[*]} " == *" $part "* ]] || { echo "unknown part: $part (parts: ${all_parts[*]})" >&2; exit 2; }
  done
  export VARDIMONT_SKIP_DEPS=1
else
  parts=" ${all_parts[*]} "
  bash scripts/install-deps.sh
fi
use_python_scripts
wants() { [[ $parts == *" $1 "* ]]; }
ctest_filter=(${TESTS:+-R "$TESTS"})
pytest_filter=(${TESTS:+-k "$TESTS"})

jobs=${JOBS:-2}
build() {  # name, extra cmake args...
  local dir=build/$1; shift
  cmake -S . -B "$dir" -G Ninja -DVARDIMONT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
run_ctest() {  # name, timeout
  (cd "build/$1" && ctest --output-on-failure -j "$jobs" --timeout "$2" "${ctest_filter[@]}")
}

if wants plain; then
  echo "== C++ tests (plain build)"
  build plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
  run_ctest plain 300
fi

if wants asan; then
  echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  build asan -DCMAKE_BUILD_TYPE=Debug -DVARDIMONT_SANITIZE=address
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest asan 300
fi

if wants tsan; then
  echo "== C++ tests (ThreadSanitizer)"
  build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDIMONT_SANITIZE=thread
  # Some kernels map memory where this TSan runtime refuses to run; without
  # address randomisation it always can.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" setarch "$(uname -m)" -R \
    bash -c 'cd build/tsan && ctest --output-on-failure -j "$1" --timeout 240 ${2:+-R "$2"}' _ "$jobs" "${TESTS:-}"
fi

if wants wheel; then
  echo "== Wheel"
  bash scripts/wheel.sh
fi
wheel=$(echo "$root"/build/wheelhouse/vardimont-*.whl)

version_of() {  # python -> major.minor
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}
main_version=$(version_of "$PY")

if wants python || wants stubs || wants pythons; then
  [ -f "$wheel" ] || { echo "error: no wheel in build/wheelhouse: run the wheel part first" >&2; exit 1; }
fi

if wants python; then
  echo "== Python tests (CPython $main_version, the wheel installed)"
  "$PY" -m pip install -q --force-reinstall --no-deps "$wheel"
  (cd tests/python && "$PY" -m pytest "${pytest_filter[@]}")
fi

if wants stubs; then
  echo "== Stubs and the examples' types"
  export MYPY_CACHE_DIR=$root/build/mypy-cache
  # stubtest checks the package and vardimont._core; it keeps its cache in the
  # working directory whatever MYPY_CACHE_DIR says.
  (cd build && "$PY" -m mypy.stubtest vardimont)
  "$PY" -m mypy --strict examples
fi

# Every other CPython from 3.11 on that the machine has, on PATH or under
# pyenv, with the GIL (the stable ABI has no free-threaded form), one per
# version: each gets a virtual environment in build/ with the same wheel.
other_pythons() {
  local candidates=() seen=" $main_version " p v n
  for n in $(seq 11 40); do
    if p=$(command -v "python3.$n"); then candidates+=("$p"); fi
  done
  if command -v pyenv >/dev/null; then
    candidates+=("$(pyenv root)"/versions/*/bin/python3)
  fi
  for p in "${candidates[@]}"; do
    v=$("$p" -c 'import sys, sysconfig
ok = (sys.implementation.name == "cpython" and sys.version_info >= (3, 11)
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print("%d.%d" % sys.version_info[:2] if ok else "")' 2>/dev/null) || continue
    [ -n "$v" ] && [[ $seen != *" $v "* ]] || continue
    seen+="$v "
    echo "$v $p"
  done | sort -V
}
ran=("$main_version")
if wants pythons; then
  while read -r v p; do
    echo "== Python tests (CPython $v, $p, the wheel installed)"
    env=$root/build/venv-$v
    "$env/bin/python" -m pip --version >/dev/null 2>&1 || { rm -rf "$env"; "$p" -m venv "$env"; }
    "$env/bin/python" -m pip install -q pytest hypothesis uvloop
    "$env/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    (cd tests/python && "$env/bin/python" -m pytest -p no:cacheprovider "${pytest_filter[@]}")
    ran+=("$v")
  done < <(other_pythons)
fi
if wants python && wants pythons; then echo "== The Python tests ran on CPython ${ran[*]}"; fi

if wants asan-py; then
  echo "== Python tests against the module built with AddressSanitizer + UndefinedBehaviorSanitizer"
  # The package's own build (scikit-build-core, as for the wheel) with the
  # sanitizers on and the symbols kept, installed into a folder of its own. The
  # interpreter is not instrumented, so the runtimes are preloaded; its own
  # allocations are never freed at exit, so leak checking stays off.
  pkg=$root/build/py-asan/pkg
  rm -rf "$pkg"
  "$PY" -m pip install -q --no-build-isolation --no-deps --target "$pkg" \
    --config-settings=build-dir=build/py-asan/{wheel_tag} --config-settings=cmake.build-type=Debug \
    --config-settings=install.strip=false --config-settings=cmake.define.VARDIMONT_SANITIZE=address \
    --config-settings=cmake.define.VARDIMONT_WERROR=ON .
  (cd tests/python &&
    PYTHONPATH="$pkg" LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$PY" -m pytest -p no:cacheprovider "${pytest_filter[@]}")
fi
