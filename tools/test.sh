#!/usr/bin/env bash
# The project's test command: toolchain, build, and every test mode.
#
#   tools/test.sh [mode ...]
#
# Modes (all by default, in this order):
#   lint      fail on a formatting difference (clang-format), a ruff finding
#             or a clang-tidy finding; tools/format.sh applies the formatting
#   wheel     build the sdist and wheel, install the wheel into a fresh virtual
#             environment and run the suite against it
#   stubs     check the type stubs against the installed modules (stubtest)
#   py315     the same on Python 3.15: the wheel built from the sdist, installed
#             into a fresh 3.15 virtual environment, the suite and stubtest
#   ft        the same on the free-threaded build (python3.14t, found or built
#             once by tools/toolchain.sh): the cp314t wheel from the sdist in a
#             fresh 3.14t virtual environment, the suite with PYTHON_GIL unset
#             (it fails if an import turns the GIL back on), the suite with every
#             test body on 4 threads, and stubtest where mypy runs there; skipped
#             in the default list (failing when named) without such a python
#   tsan      the tests that start threads of their own (the storm table among
#             them) on the free-threaded build with ThreadSanitizer (interpreter
#             and modules instrumented; built once by tools/toolchain.sh),
#             failing on any report; skipped like ft without a source
#   threads   run the suite with every test body on 4 threads at once
#   sanitize  build with AddressSanitizer + UndefinedBehaviorSanitizer (and
#             -Werror) and run the suite, then again on 2 threads at once
#   portable  build the generic code paths only (TARVISH_GENERIC: no inline asm,
#             no SSE2), plain char unsigned as on aarch64, with -Werror, and run
#             the suite
#   refleak   build against the debug interpreter and run each test repeatedly,
#             failing on growing reference or memory-block counts
#   coverage  build with gcov instrumentation, run the suite, print the line and
#             branch coverage of src/ and include/ per file, and fail when a
#             total is below tools/coverage-floors.txt (after refleak in the
#             same run, from the counts the refleak run made)
#   perf      count the instructions per operation of every benchmark row under
#             callgrind (the installed wheel) and fail on a row more than 5 %
#             dearer than benchmarks/baseline.json; regenerate the baseline with
#             tools/test.sh baseline
# and, by name only:
#   aarch64   cross-build for aarch64 (-Werror, a build log free of warnings)
#             against the arm64 Python 3.14 of the toolchain's aarch64 layer
#             (installed into the root on first use) and run the suite on that
#             interpreter under qemu-aarch64; too slow for the default list,
#             .ci/run runs it after the default modes
#   install   build and install the wheel into build/venv when any source is
#             newer than the installed one (what the other modes start from)
#   baseline  write benchmarks/baseline.json from the installed wheel (for a
#             commit that makes a row dearer on purpose, or a new row)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
. "$here/tools/toolchain.sh"
modes=("$@")
named=${#modes[@]}
[ ${#modes[@]} -gt 0 ] || modes=(lint wheel stubs py315 ft tsan perf threads sanitize portable refleak coverage)
# The py315 mode needs python3.15 with its headers beside python3.14.
for m in "${modes[@]}"; do [ "$m" = py315 ] && toolchain_pythons+=(python3.15); done
toolchain_enter "$here/tools/test.sh" "$@"
cd "$here"
mkdir -p build
export PYTHONDONTWRITEBYTECODE=1
venv="$here/build/venv"
py="$venv/bin/python"

step() { printf '\n=== %s ===\n' "$*"; }

# True when no input is newer than the file named.
newer_than_inputs() {
  [ -z "$(wheel_inputs | while IFS= read -r f; do [ "$f" -nt "$1" ] && { echo "$f"; break; }; done)" ]
}

# Everything the wheel is built from (the gate's baseline is not part of it).
wheel_inputs() {
  find src include benchmarks CMakeLists.txt pyproject.toml README.md -type f ! -name baseline.json 2>/dev/null
}

# The installed wheel is current when it imports and no input is newer than it.
wheel_current() {
  local whl
  whl=$(ls build/dist/*.whl 2>/dev/null | head -n 1)
  [ -n "$whl" ] && [ -x "$py" ] && "$py" -c 'import tarvish.memory.corvane' 2>/dev/null || return 1
  newer_than_inputs "$whl"
}

build_wheel() {
  step "build sdist and wheel"
  rm -rf build/dist "$venv"
  python3.14 -m build --no-isolation --outdir build/dist . >build/dist.log 2>&1 || { tail -40 build/dist.log; exit 1; }
  ls build/dist
  step "install the wheel into a fresh virtual environment"
  python3.14 -m venv --system-site-packages "$venv"
  "$py" -m pip install --no-index --no-deps --quiet build/dist/*.whl
}

ensure_wheel() {
  wheel_current || build_wheel
}

mode_install() { ensure_wheel; }

# The C++ sources and headers, and the sources clang-tidy compiles.
cxx_files() { find src include benchmarks \( -name '*.cpp' -o -name '*.hpp' \) | sort; }

mode_lint() {
  step "clang-format (.clang-format): every C++ source and header as formatted"
  cxx_files | xargs clang-format --dry-run --Werror
  step "ruff (pyproject.toml [tool.ruff])"
  ruff check --no-cache --quiet .
  step "clang-tidy (.clang-tidy), $(nproc) at once"
  local gen=()
  command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
  cmake -S . -B build/lint "${gen[@]}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$(command -v python3.14)" \
    >build/lint.cmake.log 2>&1 || { cat build/lint.cmake.log >&2; exit 1; }
  cxx_files | grep '\.cpp$' | xargs -P "$(nproc)" -n 1 clang-tidy -p build/lint --quiet >build/lint.tidy.log 2>&1 \
    || { grep -v 'warnings generated' build/lint.tidy.log >&2; exit 1; }
}

mode_wheel() {
  build_wheel
  step "test suite against the installed wheel"
  "$py" -m pytest -q tests
  plain_suite_ran=1
}

# stubtest with the interpreter given, against the package installed there.
stubtest() {
  local python=$1 mods config=()
  mods=$("$python" - <<'PY'
import pathlib, tarvish
root = pathlib.Path(tarvish.__file__).parent
names = sorted({".".join(p.relative_to(root.parent).with_suffix("").parts) for p in root.rglob("*.pyi")})
print(" ".join(names))
PY
)
  # mypy's native parser is a compiled extension that may exist for another
  # Python only; its pure-Python parser reads the stubs the same.
  if ! "$python" -c 'import ast_serialize' 2>/dev/null; then
    printf '[mypy]\nnative_parser = False\n' >build/mypy-pure-parser.ini
    config=(--mypy-config-file build/mypy-pure-parser.ini)
  fi
  "$python" -m mypy.stubtest "${config[@]}" --allowlist tools/stubtest-allowlist.txt $mods
}

mode_stubs() {
  ensure_wheel
  step "type stubs against the installed modules"
  stubtest "$py"
}

# The sdist the wheel mode made, when it is current; a fresh one in `out` otherwise.
current_sdist() {
  local out=$1 python=$2 sdist
  sdist=$(ls build/dist/*.tar.gz 2>/dev/null | head -n 1 || true)
  if [ -z "$sdist" ] || ! newer_than_inputs "$sdist"; then
    step "build the sdist" >&2
    "$python" -m build --no-isolation --sdist --outdir "$out/dist" . >"$out/sdist.log" 2>&1 || { tail -40 "$out/sdist.log" >&2; exit 1; }
    sdist=$(ls "$out/dist"/*.tar.gz)
  fi
  printf '%s\n' "$sdist"
}

# Builds the wheel for `python` (which runs the build tools) from the current
# sdist (made by `python`, or the fourth argument) into `out`/dist and
# installs it into the virtual environment `venv`.
wheel_from_sdist() {
  local python=$1 out=$2 venv=$3 sdist
  sdist=$(current_sdist "$out" "${4:-$python}")
  step "build the wheel for $("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))') from $(basename "$sdist")"
  mkdir -p "$out/src"
  tar -xzf "$sdist" -C "$out/src"
  "$python" -m build --no-isolation --wheel --outdir "$out/dist" "$out/src"/*/ >"$out/wheel.log" 2>&1 \
    || { tail -40 "$out/wheel.log"; exit 1; }
  ls "$out/dist"
  step "install the wheel into a fresh virtual environment ($venv)"
  "$venv/bin/python" -m pip install --no-index --no-deps --quiet "$out/dist"/*.whl
}

# Python 3.15: the wheel is built from the sdist (the wheel mode's, when it is
# current), installed into a fresh 3.15 virtual environment, and the suite and
# stubtest run there.
mode_py315() {
  local out=build/py315 py315="$here/build/py315/venv/bin/python"
  rm -rf "$out"
  mkdir -p "$out/dist"
  python3.15 -m venv --system-site-packages "$out/venv"
  wheel_from_sdist python3.15 "$out" "$out/venv"
  step "test suite on Python 3.15"
  "$py315" -m pytest -q -rs tests
  step "type stubs against the modules on Python 3.15"
  stubtest "$py315"
}

# The free-threaded interpreter, when there is one (found or built before the
# modes start, so that its one build does not share the cores with them).
ft_interpreter="" ft_unavailable=""

mode_ft() {
  local out=build/ft ftpy="$here/build/ft/venv/bin/python"
  if [ -z "$ft_interpreter" ]; then
    [ "$named" -gt 0 ] && { printf 'test: mode ft: %s\n' "$ft_unavailable" >&2; exit 1; }
    step "free-threaded build: skipped ($ft_unavailable)"
    return 0
  fi
  rm -rf "$out"
  mkdir -p "$out/dist"
  ft_venv "$ft_interpreter" "$out/venv"
  wheel_from_sdist "$ftpy" "$out" "$out/venv" python3.14
  step "test suite on the free-threaded build ($("$ftpy" -c 'import sys; print(sys.version.split()[0])'), PYTHON_GIL unset)"
  env -u PYTHON_GIL "$ftpy" -m pytest -q -rs tests
  step "test suite on the free-threaded build, each test on 4 threads at once"
  env -u PYTHON_GIL "$ftpy" -m pytest -q --parallel-threads=4 --skip-thread-unsafe=1 tests
  if "$ftpy" -c 'import mypy.stubtest' 2>"$out/mypy.log"; then
    step "type stubs against the modules on the free-threaded build"
    stubtest "$ftpy"
  else
    step "type stubs on the free-threaded build: not checked (mypy does not import there: $(tail -n 1 "$out/mypy.log"))"
  fi
}

# The ThreadSanitizer interpreter, when there is one (built before the modes
# start, as the free-threaded one is).
tsan_interpreter="" tsan_unavailable=""

# The modules built with -fsanitize=thread (asserts on) against the free-threaded
# interpreter built with ThreadSanitizer; the tests that start threads of their
# own (the storm table among them) run there, and any report fails the mode.
# Reports inside the interpreter are suppressed only by its own suppressions
# file for its free-threaded TSan CI; every report goes to a file of its own.
mode_tsan() {
  if [ -z "$tsan_interpreter" ]; then
    [ "$named" -gt 0 ] && { printf 'test: mode tsan: %s\n' "$tsan_unavailable" >&2; exit 1; }
    step "ThreadSanitizer: skipped ($tsan_unavailable)"
    return 0
  fi
  local reports="$here/build/tsan-reports" status=0 start=$SECONDS
  rm -rf "$reports"
  mkdir -p "$reports"
  step "ThreadSanitizer (free-threaded build, GIL off): the tests that start threads, the storms among them"
  TSAN_OPTIONS="log_path='$reports/report'" tools/dev.sh --tag tsan --tsan --werror -p no:cacheprovider -m threads \
    -o junit_family=xunit2 --junit-xml="$reports/junit.xml" tests || status=$?
  local tests storms
  if [ -n "$(find "$reports" -name 'report.*')" ]; then
    find "$reports" -name 'report.*' -exec cat {} + >&2
    echo "tsan: $(find "$reports" -name 'report.*' -exec cat {} + | grep -c '^WARNING: ThreadSanitizer') report(s) (above; files in $reports)" >&2
    exit 1
  fi
  [ "$status" = 0 ] || { echo "tsan: the tests failed (status $status)" >&2; exit "$status"; }
  tests=$(grep -o 'tests="[0-9]*"' "$reports/junit.xml" | head -n 1 | tr -dc 0-9)
  storms=$(grep -o 'name="test_storm\[' "$reports/junit.xml" | wc -l)
  echo "tsan: 0 reports; $tests tests ($storms of them storms) in $((SECONDS - start)) s"
}

# Tests that run on one thread only (marked so, or found so by the thread
# plugin) are skipped by a threaded run that follows a plain run of the same
# build: they would run there exactly as before.
plain_suite_ran=0

mode_threads() {
  ensure_wheel
  local once=()
  [ "$plain_suite_ran" = 1 ] && once=(--skip-thread-unsafe=1)
  step "test suite, each test on 4 threads at once"
  "$py" -m pytest -q --parallel-threads=4 "${once[@]}" tests
}

mode_sanitize() {
  step "AddressSanitizer + UndefinedBehaviorSanitizer (-Werror)"
  tools/dev.sh --tag asan --sanitize --werror tests
  step "AddressSanitizer + UndefinedBehaviorSanitizer, 2 threads at once"
  tools/dev.sh --tag asan --sanitize --werror --parallel-threads=2 --skip-thread-unsafe=1 tests
}

mode_portable() {
  step "generic code paths (TARVISH_GENERIC, -funsigned-char, -Werror)"
  tools/dev.sh --tag portable --portable --werror tests
}

mode_aarch64() {
  step "aarch64: cross-built (-Werror), the suite on the arm64 interpreter under qemu-aarch64"
  tools/dev.sh --tag arm64 --aarch64 --werror -rs tests
  if grep -i 'warning' build/arm64.build.log; then
    echo "aarch64: the cross build warned (build/arm64.build.log)" >&2
    exit 1
  fi
}

mode_perf() {
  ensure_wheel
  step "instructions per operation against benchmarks/baseline.json (callgrind)"
  "$py" benchmarks/run.py --check
}

mode_baseline() {
  ensure_wheel
  step "instructions per operation into benchmarks/baseline.json (callgrind)"
  "$py" benchmarks/run.py --write-baseline
}

# The refleak build is unoptimised with asserts on, as the coverage mode wants
# it, so it is instrumented too: run before the coverage mode in the same
# invocation, it saves the coverage mode its own build and suite run.
counted=""
mode_refleak() {
  step "reference leaks (debug interpreter; coverage counted on the way)"
  tools/dev.sh --tag dbg --debug-python --coverage tests --refleak
  counted=build/dbg
}

mode_coverage() {
  local out=$counted
  if [ -n "$out" ]; then
    step "native line and branch coverage (gcov), as the refleak run counted it"
  else
    step "native line and branch coverage (gcov)"
    tools/dev.sh --tag cov --coverage tests
    out=build/cov
  fi
  local floors=() what value
  while read -r what value; do
    case "$what" in lines) floors+=(--fail-under-line "$value") ;; branches) floors+=(--fail-under-branch "$value") ;; esac
  done < tools/coverage-floors.txt
  [ ${#floors[@]} = 4 ] || { echo "coverage: tools/coverage-floors.txt must give lines and branches" >&2; exit 1; }
  # Throw branches and branches the compiler proved unreachable are not the code's own, nor is
  # the failing side of an assert (a checked build stops there). A line of a template counts
  # once, as run when any instance runs it, each of its branches as taken when any instance
  # takes it. The counts are searched in this build only (other builds keep counts of their own).
  gcovr --root . --object-directory "$out/cmake" --filter src/ --filter include/ \
    --exclude-unreachable-branches --exclude-throw-branches --exclude-branches-by-pattern '\s*assert\(' \
    --merge-lines --txt-metric line --txt-metric branch \
    --print-summary "${floors[@]}" "$out/cmake" || { echo "coverage: below the floors in tools/coverage-floors.txt" >&2; exit 1; }
}

for m in "${modes[@]}"; do
  declare -F "mode_$m" >/dev/null || { echo "test: no mode '$m' (see tools/test.sh)" >&2; exit 2; }
done
if [[ " ${modes[*]} " == *" ft "* ]]; then
  if ft_python; then ft_interpreter=$FT_PYTHON; else ft_unavailable=$FT_REASON; fi
fi
if [[ " ${modes[*]} " == *" tsan "* ]]; then
  if ft_python tsan; then tsan_interpreter=$FT_PYTHON; else tsan_unavailable=$FT_REASON; fi
fi
# The leak mode keeps one core busy for minutes (the suite runs in one process:
# its fault injection fails every thread's allocations), and the ThreadSanitizer
# and generic-path modes build and run apart from the others. With a second
# core and other modes, those among them run one after another beside the rest,
# from the start, in a process group of their own (stopped when this script ends
# first); each one's output is shown, and its status taken, where it stands in
# the order.
beside=() beside_pid=""
if [ "$(nproc)" -gt 1 ] && [ ${#modes[@]} -gt 1 ]; then
  for m in tsan portable refleak; do
    [[ " ${modes[*]} " == *" $m "* ]] && [ "${modes[0]}" != "$m" ] && beside+=("$m")
  done
fi
if [ ${#beside[@]} -gt 0 ]; then
  rm -f build/beside-*
  set -m
  (
    for m in "${beside[@]}"; do
      start=$SECONDS status=0
      ("mode_$m") </dev/null >"build/beside-$m.log" 2>&1 || status=$?
      echo "$((SECONDS - start)) $status" >"build/beside-$m.done"
    done
  ) &
  beside_pid=$!
  set +m
  trap '[ -z "$beside_pid" ] || kill -- "-$beside_pid" 2>/dev/null || true' EXIT
fi
times=()
total_start=$SECONDS
for m in "${modes[@]}"; do
  start=$SECONDS
  if [[ " ${beside[*]} " == *" $m "* ]]; then
    while [ ! -f "build/beside-$m.done" ]; do
      kill -0 "$beside_pid" 2>/dev/null || [ -f "build/beside-$m.done" ] \
        || { echo "test: the modes run beside the others stopped before $m ended" >&2; exit 1; }
      sleep 1
    done
    read -r took status <"build/beside-$m.done"
    cat "build/beside-$m.log"
    [ "$status" = 0 ] || { echo "test: mode $m failed (run beside the other modes)" >&2; exit "$status"; }
    [ "$m" != refleak ] || counted=build/dbg
    times+=("$(printf '%-9s %4d s, beside the other modes (%d s waited for)' "$m" "$took" $((SECONDS - start)))")
    continue
  fi
  "mode_$m"
  times+=("$(printf '%-9s %4d s' "$m" $((SECONDS - start)))")
done
step "all modes passed: ${modes[*]}"
printf '%s\n' "${times[@]}" "$(printf '%-9s %4d s' total $((SECONDS - total_start)))"
