#!/usr/bin/env bash
# Developer loop: builds the extension modules with CMake for one interpreter and copies them into the
# source tree, so `PYTHONPATH=$PWD pytest tests/python` runs against them without an install.
#   PYTHON=/path/to/python [BUILD_DIR=build/x] scripts/dev_build.sh [module ...]
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
tag=$("$PYTHON" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
build=${BUILD_DIR:-build/dev$tag}
numpy_inc=$("$PYTHON" -c 'import numpy; print(numpy.get_include())')
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$("$PYTHON" -c 'import sys; print(sys.executable)')" \
  -DPython_NumPy_INCLUDE_DIR="$numpy_inc" ${CMAKE_ARGS:-} >/dev/null
if [ $# -gt 0 ]; then cmake --build "$build" --target "$@"; else cmake --build "$build"; fi
for so in "$build"/*.so; do
  name=$(basename "$so"); mod=${name%%.*}
  if [ $# -eq 0 ] || [[ " $* " == *" $mod "* ]]; then
    # A new file renamed into place: a running interpreter keeps its mapping of the old one.
    cp -f "$so" "quodex/utils/numerics/kernels/.$name.tmp" && mv -f "quodex/utils/numerics/kernels/.$name.tmp" "quodex/utils/numerics/kernels/$name"
  fi
done
