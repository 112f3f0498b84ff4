#!/usr/bin/env bash
# Sets up everything on a fresh machine (system packages, Python 3.10 environment, the package) and
# runs the main job, the spectrum pipeline. Arguments are passed to it (try --help); relative paths in
# them are taken from the directory this script is started in.
set -euo pipefail
shopt -s inherit_errexit
caller=$PWD
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_system_packages
PY_VERSION=${PY_VERSION:-3.10}
python=$(find_python "$PY_VERSION")
env=$(make_env "$python" "${NUMPY:-$(default_numpy "$PY_VERSION")}" "scipy matplotlib defusedxml")
root=$PWD
cd "$caller" && "$root/$env/bin/python" "$root/examples/spectrum_pipeline.py" "$@"
