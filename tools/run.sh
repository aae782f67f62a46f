#!/usr/bin/env bash
# The project's main job: provisions the toolchain, builds and installs the
# package into a fresh virtual environment (as tools/test.sh's wheel mode does,
# without running the suite; TARVISH_NO_REBUILD=1 reuses the last install) and runs `python -m tarvish`, which reports this machine
# and the native core. Arguments go to `python -m tarvish` (--json, --no-bench, --full).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${TARVISH_IN_ROOT:-0}" != 1 ] && ! command -v python3.14 >/dev/null 2>&1; then
  exec "$here/tools/toolchain.sh" "$here/tools/run.sh" "$@"
fi
cd "$here"
mkdir -p build
venv="$here/build/venv"
if [ -z "${TARVISH_NO_REBUILD:-}" ] || ! [ -x "$venv/bin/python" ]; then
  rm -rf build/dist "$venv"
  python3.14 -m build --no-isolation --wheel --outdir build/dist . >build/dist.log 2>&1 || { tail -40 build/dist.log; exit 1; }
  python3.14 -m venv --system-site-packages "$venv"
  "$venv/bin/python" -m pip install --no-index --no-deps --quiet build/dist/*.whl
fi
cd build
exec "$venv/bin/python" -m tarvish "$@"
