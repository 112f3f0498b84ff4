#!/usr/bin/env bash
# Builds and runs every test: the C++ tests of the numerics, then the Python tests against the
# installed package. Interpreter and NumPy are chosen with PY_VERSION (default 3.10) and NUMPY
# (a pip requirement, default from default_numpy in scripts/common.sh).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_system_packages

PY_VERSION=${PY_VERSION:-3.10}
python=$(find_python "$PY_VERSION")
NUMPY=${NUMPY:-$(default_numpy "$PY_VERSION")}

echo "== C++ tests"
quiet cmake -S . -B build/cpp -DQUODEX_PYTHON=OFF -DQUODEX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
quiet cmake --build build/cpp -j2
# The whole output: a failing test's own lines are what the log is for.
ctest --test-dir build/cpp --output-on-failure -j2

echo "== Python tests ($("$python" --version), $NUMPY)"
env=$(make_env "$python" "$NUMPY" "$TEST_EXTRAS")
"$env/bin/python" -c 'import numpy; print("numpy", numpy.__version__)'
# Run from tests/ so the source tree's package (without the built modules) does not shadow the install.
cd tests
"../$env/bin/python" -m pytest -q -p no:cacheprovider python "$@"

echo "== Type stubs against the built modules"
"../$env/bin/python" -m mypy.stubtest quodex.utils.numerics.kernels.deconvolution quodex.utils.numerics.kernels.tarvel \
  quodex.utils.numerics.kernels.mariscotti quodex.utils.numerics.kernels.gaussian
