# Shared set-up for the README's commands: system packages, an interpreter, a virtual environment
# with the package installed. Sourced, not run.

# Debian packages the C++ tests need (GoogleTest); installed once, as root, when missing.
ensure_system_packages() {
  if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
    else
      echo "GoogleTest is missing: run 'apt-get install libgtest-dev' as root" >&2
      return 1
    fi
  fi
}

# Path of a CPython X.Y interpreter: $PYTHON if set, else pyenv's, else pythonX.Y on PATH.
find_python() {
  local want=$1
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  local root
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  local cand
  for cand in "$root"/versions/"$want".*/bin/python"$want"; do
    if [ -x "$cand" ]; then echo "$cand"; return; fi
  done
  command -v "python$want" || { echo "no Python $want found" >&2; return 1; }
}

# The NumPy requirement when NUMPY is not set, for an interpreter version X.Y: the oldest supported
# series on 3.10, NumPy 2 elsewhere.
default_numpy() {
  if [ "$1" = 3.10 ]; then echo "numpy>=1.26,<2"; else echo "numpy>=2"; fi
}

# What the Python tests need besides NumPy; every script that runs them installs the same.
TEST_EXTRAS="pytest hypothesis scipy mypy defusedxml matplotlib tqdm pyarrow pandas dask[distributed] uproot"

# Runs a command with its output kept back, and shown only if it fails.
quiet() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" != 0 ]; then cat "$log" >&2; fi
  rm -f "$log"
  return "$status"
}

# Creates (or reuses) a virtual environment for one interpreter and NumPy requirement, installs the
# package into it and prints the environment's path.
make_env() {
  local python=$1 numpy_req=$2 extras=$3
  local tag
  tag=$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
  local env=".venv/py$tag-$(echo "$numpy_req" | tr -c 'A-Za-z0-9.' '_')"
  local log
  log=$(mktemp)
  if ! {
    { [ -x "$env/bin/python" ] || "$python" -m venv "$env"; } &&
    "$env/bin/python" -m pip install -q --upgrade pip &&
    "$env/bin/python" -m pip install -q "$numpy_req" $extras &&
    "$env/bin/python" -m pip install -q --force-reinstall --no-deps .
  } >"$log" 2>&1; then
    cat "$log" >&2
    echo "setting up $env failed" >&2
    return 1
  fi
  rm -f "$log"
  echo "$env"
}
