#!/usr/bin/env bash
# Builds the package into build/<tag>/site and runs pytest against it, inside the
# Python 3.14 toolchain. Meant for the edit-build-test loop; several loops with
# different tags can run side by side.
#
#   tools/dev.sh [--tag T] [--ft] [--tsan] [--sanitize] [--debug-python] [--werror] [--coverage] [--portable] [--aarch64] [--modules "a;b"] [--no-test] [pytest args...]
#
# --ft builds against and runs the free-threaded python3.14t (found or built
# once by tools/toolchain.sh), in a virtual environment at build/<tag>/venv that
# sees the toolchain's pure-Python test tools; --tsan does the same with the
# free-threaded interpreter built with ThreadSanitizer, the modules built with
# clang's -fsanitize=thread, and CPython's own suppressions for its
# free-threaded TSan CI (and only those) in TSAN_OPTIONS;
# --sanitize builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the interpreter with the runtime preloaded; --debug-python builds against and
# runs python3.14-dbg; --werror turns every compiler warning into an error;
# --coverage instruments the modules for gcov (a Debug build; the counts of
# earlier runs are removed before the tests run); --portable builds the generic
# code paths only (TARVISH_GENERIC: no inline asm, no SSE2) with plain char
# unsigned, as on aarch64; --aarch64 cross-compiles for aarch64 against the arm64
# Python 3.14 of the toolchain's aarch64 layer (installed into the root on first
# use) and runs the suite on that interpreter under qemu-aarch64, in a virtual
# environment at build/<tag>/venv that sees the toolchain's pure-Python test
# tools. The build's output is kept in build/<tag>.build.log.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
. "$here/tools/toolchain.sh"
# The aarch64 layer lives in the toolchain root, whatever this machine has.
[[ " $* " != *" --aarch64 "* ]] || export TARVISH_USE_ROOT=1
toolchain_enter "$here/tools/dev.sh" "$@"
cd "$here"

tag=dev sanitize=OFF werror=OFF coverage=OFF modules="" test=1 py=python3.14 buildtype=Release ft=0 tsan=OFF
generic=OFF cxxflags="" aarch64=0 cmake_python=""
while [ $# -gt 0 ]; do
  case "$1" in
    --tag) tag=$2; shift 2 ;;
    --ft) ft=1; shift ;;
    --tsan) ft=1 tsan=ON; shift ;;
    --sanitize) sanitize=ON; shift ;;
    --debug-python) py=python3.14d; buildtype=Debug; shift ;;
    --werror) werror=ON; shift ;;
    --coverage) coverage=ON buildtype=Debug; shift ;;
    --portable) generic=ON cxxflags=-funsigned-char; shift ;;
    --aarch64) aarch64=1; shift ;;
    --modules) modules=$2; shift 2 ;;
    --no-test) test=0; shift ;;
    *) break ;;
  esac
done
if [ "$py" = python3.14d ] && ! command -v python3.14d >/dev/null 2>&1; then
  py=python3.14-dbg
fi
out="$here/build/$tag"
mkdir -p "$out"
if [ "$ft" = 1 ]; then
  if [ "$tsan" = ON ]; then ft_python tsan || exit 1; else ft_python || exit 1; fi
  py=$FT_PYTHON
  [ -x "$out/venv/bin/python" ] && [ "$(readlink -f "$out/venv/bin/python")" = "$(readlink -f "$py")" ] \
    || ft_venv "$py" "$out/venv"
fi
compiler=()
if [ "$aarch64" = 1 ]; then
  arm64_layer || exit 1
  py=$ARM64_PYTHON
  [ -x "$out/venv/bin/python" ] && [ "$(readlink -f "$out/venv/bin/python")" = "$(readlink -f "$py")" ] \
    || ft_venv "$py" "$out/venv"
  # CMake asks the arm64 interpreter itself, through qemu, for its headers and
  # suffix. Its own pyconfig.h includes its architecture's from the sysroot's
  # include directory, searched after the cross compiler's own.
  compiler=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
            "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64;-L;$ARM64_SYSROOT" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW)
  cmake_python=$ARM64_SYSROOT/usr/bin/python3.14
  cxxflags="$cxxflags -idirafter $ARM64_SYSROOT/usr/include"
fi
command -v "$py" >/dev/null 2>&1 || { echo "dev: $py not found" >&2; exit 1; }
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
[ "$tsan" = OFF ] || compiler=(-DCMAKE_CXX_COMPILER=clang++)  # the runtime the interpreter was built with
cmake -S . -B "$out/cmake" "${gen[@]}" "${compiler[@]}" -DCMAKE_BUILD_TYPE="$buildtype" -DTARVISH_SANITIZE="$sanitize" -DTARVISH_WERROR="$werror" -DTARVISH_COVERAGE="$coverage" -DTARVISH_TSAN="$tsan" \
  -DTARVISH_GENERIC="$generic" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DTARVISH_MODULES="$modules" -DPython_EXECUTABLE="${cmake_python:-$(command -v "$py")}" >"$out.cmake.log" 2>&1 \
  || { cat "$out.cmake.log" >&2; exit 1; }
# The build's status, not the filter's: PIPESTATUS is read straight after the pipeline.
cmake --build "$out/cmake" -j "$(nproc)" 2>&1 | tee "$out.build.log" | { grep -v '^\[' || true; }
[ "${PIPESTATUS[0]}" = 0 ] || { echo "dev: build failed" >&2; exit 1; }
rm -rf "$out/site"
mkdir -p "$out/site"
cp -r src/tarvish "$out/site/"
[ "$coverage" = OFF ] || find "$out/cmake" -name '*.gcda' -delete
cmake --install "$out/cmake" --prefix "$out/site" >/dev/null

[ "$test" = 1 ] || exit 0
export PYTHONPATH="$out/site" PYTHONDONTWRITEBYTECODE=1
if [ "$sanitize" = ON ]; then
  cxx=$(command -v g++)
  export LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  # The free-threaded build refuses PYTHONMALLOC=malloc ("unknown allocator"):
  # there ASan checks the modules' own memory only.
  [ "$ft" = 1 ] || export PYTHONMALLOC=malloc
  export TARVISH_SANITIZED=1
fi
if [ "$tsan" = ON ]; then
  # Reports inside the interpreter are suppressed only as its own TSan CI does.
  export TSAN_OPTIONS="suppressions=$(dirname "$(dirname "$FT_PYTHON")")/suppressions_free_threading.txt handle_segv=0 ${TSAN_OPTIONS:-}"
fi
[ "$ft" = 1 ] || [ "$aarch64" = 1 ] && py="$out/venv/bin/python"
# The debug interpreter runs without the thread plugin (unless threads are
# asked for): it imports numpy where installed, a release-build extension whose
# reference changes the debug interpreter's totals cannot see.
extra=()
if [[ "$py" == python3.14d || "$py" == python3.14-dbg ]] && [[ " $* " != *" --parallel-threads"* ]]; then
  extra=(-p no:run-parallel)
fi
exec "$py" -m pytest -q "${extra[@]}" "$@"
