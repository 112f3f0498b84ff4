#!/usr/bin/env bash
# Runs the Python tests against modules built with AddressSanitizer and UndefinedBehaviorSanitizer
# (the interpreter itself is not instrumented: the ASan runtime is preloaded and leak detection, which
# would report the interpreter's own allocations, is off; impossible allocations fail as they would
# without ASan, so MemoryError paths are tested too), then the C++ tests under valgrind memcheck.
# Usage: PY_VERSION=3.10 bash scripts/test_sanitizers.sh [pytest args]
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_system_packages
command -v valgrind >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; }

PY_VERSION=${PY_VERSION:-3.10}
python=$(find_python "$PY_VERSION")
env=$(make_env "$python" "${NUMPY:-$(default_numpy "$PY_VERSION")}" "$TEST_EXTRAS")
py="$PWD/$env/bin/python"

echo "== Python tests, modules under ASan + UBSan"
build=build/asan-$PY_VERSION
quiet cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUODEX_SANITIZE=ON -DQUODEX_PYTHON=ON \
  -DPython_EXECUTABLE="$py" -DPython_NumPy_INCLUDE_DIR="$("$py" -c 'import numpy; print(numpy.get_include())')"
quiet cmake --build "$build" -j2
stage=$(mktemp -d)
cp -r quodex "$stage/"
find "$stage" -name '*.so' -delete
cp "$build"/*.so "$stage/quodex/utils/numerics/kernels/"
(
  cd tests
  export PYTHONPATH="$stage" ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 QUODEX_SANITIZED=1
  # libstdc++ is preloaded too, so ASan's interceptor of C++ throws finds the real one.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" "$py" -m pytest -q -p no:cacheprovider python "$@"
)
rm -rf "$stage"

echo "== C++ tests under valgrind memcheck"
quiet cmake -S . -B build/cpp-valgrind -DQUODEX_PYTHON=OFF -DQUODEX_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
quiet cmake --build build/cpp-valgrind -j2
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite -q build/cpp-valgrind/tests/cpp/numerics_tests --gtest_brief=1
