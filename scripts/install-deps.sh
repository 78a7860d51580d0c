#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine. Idempotent:
# packages already present are left alone. With --fuzz it also installs clang
# and its fuzzer/sanitizer runtimes, which only scripts/fuzz.sh needs.
set -euo pipefail
export PIP_ROOT_USER_ACTION=ignore  # CI runs pip as root; the warning says nothing new

debs=(g++ make libasio-dev libssl-dev libgtest-dev libgmock-dev libzmq3-dev python3-dev)
[ "${1:-}" = --fuzz ] && debs+=(clang-14 libclang-rt-14-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check \
  "cmake>=3.26" ninja "scikit-build-core>=0.10" pytest hypothesis orjson pyzmq
