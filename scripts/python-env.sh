# Sourced by the other scripts: the Python interpreter they install into and
# run with, as PY. A PYTHON given by the user is used as it is (for example the
# python of a virtual environment of their own); otherwise it is the project's
# virtual environment .venv, which install-deps.sh creates from the python3
# found on PATH and every later run reuses.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$project_root/.venv
if [ -n "${PYTHON:-}" ]; then
  PY=$PYTHON
else
  PY=$venv/bin/python
fi
export PIP_ROOT_USER_ACTION=ignore  # pip as root outside a venv: the warning says nothing new
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Package builds through pip use no more parallel jobs than the scripts' own builds.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-${JOBS:-2}}

# Puts PY's scripts (cmake, ninja, pytest, ...) first on PATH.
use_python_scripts() {
  PATH="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
  export PATH
}
