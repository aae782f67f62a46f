#!/usr/bin/env bash
# The project's test command: toolchain, build, and every test mode.
#
#   tools/test.sh [mode ...]
#
# Modes (all by default, in this order):
#   wheel     build the sdist and wheel, install the wheel into a fresh virtual
#             environment and run the suite against it
#   stubs     check the type stubs against the installed modules (stubtest)
#   threads   run the suite with every test body on 4 threads at once
#   sanitize  build with AddressSanitizer + UndefinedBehaviorSanitizer and run
#             the suite, then again on 2 threads at once
#   refleak   build against the debug interpreter and run each test repeatedly,
#             failing on growing reference or memory-block counts
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${TARVISH_IN_ROOT:-0}" != 1 ] && ! command -v python3.14 >/dev/null 2>&1; then
  exec "$here/tools/toolchain.sh" "$here/tools/test.sh" "$@"
fi
cd "$here"
mkdir -p build
modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(wheel stubs threads sanitize refleak)
export PYTHONDONTWRITEBYTECODE=1
venv="$here/build/venv"
py="$venv/bin/python"

step() { printf '\n=== %s ===\n' "$*"; }

ensure_wheel() {
  [ -x "$py" ] && "$py" -c 'import tarvish.memory.corvane' 2>/dev/null && return 0
  mode_wheel
}

mode_wheel() {
  step "build sdist and wheel"
  rm -rf build/dist "$venv"
  python3.14 -m build --no-isolation --outdir build/dist . >build/dist.log 2>&1 || { tail -40 build/dist.log; exit 1; }
  ls build/dist
  step "install the wheel into a fresh virtual environment"
  python3.14 -m venv --system-site-packages "$venv"
  "$py" -m pip install --no-index --no-deps --quiet build/dist/*.whl
  step "test suite against the installed wheel"
  "$py" -m pytest -q tests
}

mode_stubs() {
  ensure_wheel
  step "type stubs against the installed modules"
  mods=$("$py" - <<'PY'
import pathlib, tarvish
root = pathlib.Path(tarvish.__file__).parent
names = sorted({".".join(p.relative_to(root.parent).with_suffix("").parts) for p in root.rglob("*.pyi")})
print(" ".join(names))
PY
)
  "$py" -m mypy.stubtest --allowlist tools/stubtest-allowlist.txt $mods
}

mode_threads() {
  ensure_wheel
  step "test suite, each test on 4 threads at once"
  "$py" -m pytest -q --parallel-threads=4 tests
}

mode_sanitize() {
  step "AddressSanitizer + UndefinedBehaviorSanitizer"
  tools/dev.sh --tag asan --sanitize tests
  step "AddressSanitizer + UndefinedBehaviorSanitizer, 2 threads at once"
  tools/dev.sh --tag asan --sanitize --parallel-threads=2 tests
}

mode_refleak() {
  step "reference leaks (debug interpreter)"
  tools/dev.sh --tag dbg --debug-python tests --refleak
}

for m in "${modes[@]}"; do
  "mode_$m"
done
step "all modes passed: ${modes[*]}"
