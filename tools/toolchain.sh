#!/usr/bin/env bash
# Runs a command with a Python 3.14 build environment (and Python 3.15 beside it).
#
#   tools/toolchain.sh <command> [args...]
#
# When python3.14 and its headers are installed on this machine, the command
# runs here directly. Otherwise a minimal Debian root carrying Python 3.14 and
# 3.15 and the build and test tools is bootstrapped once into a cache directory
# (TARVISH_TOOLCHAIN_CACHE, default ~/.cache/tarvish-toolchain) and the command
# runs inside it, with the checkout bound at the same path. The root's suite is
# the first of testing and unstable that carries every package below for
# Python 3.14; the root is reused while its suite and package list are
# unchanged. Set TARVISH_USE_ROOT=1 to use the root even where a host Python
# 3.14 exists.
#
# The other scripts source this file and call `toolchain_enter "$0" "$@"` first:
# it returns where the command can run here, and re-executes the script in the
# root otherwise, so that one function decides host or root for all of them. A
# script that needs more interpreters than python3.14 adds them to
# `toolchain_pythons` before that call (tools/test.sh does for its py315 mode).

packages=(
  python3.14 python3.14-dev python3.14-dbg python3.14-venv libpython3.14-testsuite
  python3-pytest python3-hypothesis python3-pytest-xdist python3-pytest-timeout
  python3-pytest-run-parallel python3-scikit-build-core python3-pip python3-venv
  python3-mypy python3-build python3-sortedcontainers python3-crcmod
  g++ clang cmake ninja-build make ca-certificates valgrind
  python3.15 python3.15-dev python3.15-venv
  gcovr clang-format clang-tidy ruff
  python3-matplotlib python3-ahocorasick-rs python3-ahocorasick python3-re2 python3-regex
  zlib1g-dev libffi-dev libbz2-dev liblzma-dev pkgconf xz-utils libclang-rt-dev
)
suites=(testing unstable)

toolchain_die() { printf 'toolchain: %s\n' "$*" >&2; exit 1; }

# The interpreters the calling script needs, each with its headers.
toolchain_pythons=(python3.14)

# True where this machine's own interpreters (those named, `toolchain_pythons`
# by default), each with its headers, run the project.
toolchain_host_ok() {
  [ "${TARVISH_USE_ROOT:-0}" = 1 ] && return 1
  [ $# -gt 0 ] || set -- "${toolchain_pythons[@]}"
  local python
  for python in "$@"; do
    command -v "$python" >/dev/null 2>&1 || return 1
    "$python" - <<'PY' >/dev/null 2>&1 || return 1
import os, sysconfig, sys
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")) else 1)
PY
  done
}

# The one decision, host or root, for every script: returns when the script
# can go on here (inside the root, or on a usable host), re-executes it in the
# root otherwise.
toolchain_enter() {
  local script=$1; shift
  [ "${TARVISH_IN_ROOT:-0}" = 1 ] && return 0
  toolchain_host_ok && return 0
  exec "$(toolchain_here)/tools/toolchain.sh" "$script" "$@"
}

toolchain_here() { (cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P); }

# The first Debian archive this machine's own apt sources name (never the
# security archive), so no package host is written into the project.
archive_address() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '
      BEGIN { RS=""; FS="\n" }
      {
        u=""; s=""; en=1
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { u=$i; sub(/^URIs:[ \t]*/, "", u); sub(/[ \t].*/, "", u) }
          if ($i ~ /^Suites:/) { s=$i }
          if ($i ~ /^Enabled:[ \t]*no/) { en=0 }
        }
        if (en && u ~ /debian/ && s !~ /security/ && u !~ /security/) { print u; exit }
      }' "$f")
    [ -n "$uri" ] && { printf '%s\n' "$uri"; return 0; }
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { if ($i ~ /debian/ && $i !~ /security/) { print $i; exit } else break } }' "$f")
    [ -n "$uri" ] && { printf '%s\n' "$uri"; return 0; }
  done
  return 1
}

# Prints the packages of the list that `suite` lacks for Python 3.14 (nothing
# when it carries them all): every package must be there, and the suite's
# default python3 must be 3.14, so that its python3-* modules are built for it.
suite_missing() {
  local mirror=$1 suite=$2 index
  index=$(mktemp)
  if ! curl -fsSL --retry 3 "$mirror/dists/$suite/main/binary-amd64/Packages.xz" 2>/dev/null | xz -dc >"$index" 2>/dev/null \
      || [ ! -s "$index" ]; then
    rm -f "$index"; echo "(no package index)"; return 0
  fi
  awk -v want="${packages[*]}" '
    BEGIN { n = split(want, w, " "); for (i = 1; i <= n; i++) need[w[i]] = 1 }
    /^Package: / { pkg = $2; if (pkg in need) have[pkg] = 1 }
    /^Depends: / && pkg == "python3" && !py { py = 1; if ($0 ~ /python3\.14 /) default14 = 1 }
    END {
      for (i = 1; i <= n; i++) if (!(w[i] in have)) printf "%s ", w[i]
      if (!default14) printf "python3 (default 3.14)"
    }' "$index"
  rm -f "$index"
}

ensure_root() {
  local cache="${TARVISH_TOOLCHAIN_CACHE:-${HOME:-/root}/.cache/tarvish-toolchain}"
  local want suite
  want=$(printf '%s\n' "${packages[@]}" | sha256sum | cut -c1-16)
  # A root already made for this package list, from the first suite that has one.
  for suite in "${suites[@]}"; do
    if [ -f "$cache/$suite-$want/.tarvish-ready" ]; then ROOT="$cache/$suite-$want"; return 0; fi
  done

  [ "$(id -u)" = 0 ] || toolchain_die "no python3.14 with headers here, and bootstrapping a Debian root needs root"
  local tool
  for tool in debootstrap curl xz; do
    command -v "$tool" >/dev/null 2>&1 && continue
    local pkg=$tool; [ "$tool" = xz ] && pkg=xz-utils
    echo "toolchain: installing $pkg" >&2
    apt-get install -y "$pkg" >/dev/null 2>&1 \
      || { apt-get -o Acquire::Check-Valid-Until=false update >/dev/null 2>&1 && apt-get install -y "$pkg" >/dev/null 2>&1; } \
      || toolchain_die "could not install $pkg with apt-get"
  done
  local mirror
  mirror=$(archive_address) || toolchain_die "no Debian archive found in this machine's apt sources"

  local chosen="" report="" missing
  for suite in "${suites[@]}"; do
    missing=$(suite_missing "$mirror" "$suite")
    if [ -z "$missing" ]; then chosen=$suite; break; fi
    report+="  $suite lacks: $missing"$'\n'
  done
  [ -n "$chosen" ] || toolchain_die "no Debian suite carries every package needed for Python 3.14:"$'\n'"$report"
  suite=$chosen
  local root="$cache/$suite-$want"
  mkdir -p "$cache"
  rm -rf "$root.tmp"
  echo "toolchain: bootstrapping a Debian $suite root in $root (a few minutes, once)" >&2
  local inc
  inc=$(IFS=,; echo "${packages[*]}")
  if ! debootstrap --variant=minbase --include="$inc" "$suite" "$root.tmp" "$mirror" >"$cache/debootstrap.log" 2>&1; then
    tail -n 25 "$cache/debootstrap.log" >&2
    toolchain_die "debootstrap of Debian $suite failed (full log: $cache/debootstrap.log)"
  fi
  chroot "$root.tmp" python3.14 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(sysconfig.get_path("include") + "/Python.h"))' \
    || toolchain_die "the bootstrapped root has no usable python3.14 with headers"
  # The archive's Release files may be past their Valid-Until date: any apt-get
  # run inside the root must not refuse them.
  echo 'Acquire::Check-Valid-Until "false";' >"$root.tmp/etc/apt/apt.conf.d/99tarvish-valid-until"
  # Older roots for another package list or suite are dropped.
  find "$cache" -maxdepth 1 -mindepth 1 -type d ! -name "$suite-$want" ! -name "$suite-$want.tmp" -exec rm -rf {} + 2>/dev/null || true
  rm -rf "$root"
  mv "$root.tmp" "$root"
  touch "$root/.tarvish-ready"
  ROOT="$root"
}

run_in_root() {
  local root="$ROOT" here cwd
  here=$(toolchain_here)
  cwd=$(pwd -P)
  case "$cwd/" in "$here"/*) ;; *) cwd=$here ;; esac
  # The free-threaded interpreter's builds live beside the root (linked against
  # its libraries, dropped with it) and are seen inside at /opt/tarvish-ft; the
  # CPython source to build from, when there is one, at /opt/tarvish-ft-source.
  local ft_cache="$root.ft" ft_src ft_env=""
  mkdir -p "$ft_cache"
  ft_src=$(ft_source_host)
  if [ -n "$ft_src" ] && [ -f "$ft_src" ]; then
    ft_env="TARVISH_FT_SOURCE=/opt/tarvish-ft-source/$(basename "$ft_src")"
  elif [ -n "$ft_src" ]; then
    ft_src=""
    ft_env="TARVISH_FT_SOURCE_ERROR=TARVISH_CPYTHON_SOURCE names $ft_src, which is no file"
  fi
  # Inside a private mount namespace: a fresh /tmp first, then the checkout at
  # its own path (so a checkout under /tmp is not hidden by it), /proc and /dev,
  # then the command in the chroot, from the directory it was started in when
  # that lies inside the checkout (from the checkout otherwise).
  exec unshare -m -- /bin/bash -c '
    set -e
    root=$1; here=$2; cwd=$3; ft_cache=$4; ft_src=$5; ft_env=$6; shift 6
    mount --make-rprivate / 2>/dev/null || true
    mkdir -p "$root/tmp"
    mount -t tmpfs tmpfs "$root/tmp" 2>/dev/null || true
    mkdir -p "$root$here"
    mount --bind "$here" "$root$here"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    [ -e /dev/shm ] && mkdir -p "$root/dev/shm"
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    mkdir -p "$root/opt/tarvish-ft"
    mount --bind "$ft_cache" "$root/opt/tarvish-ft"
    if [ -n "$ft_src" ]; then
      mkdir -p "$root/opt/tarvish-ft-source"
      target="$root/opt/tarvish-ft-source/$(basename "$ft_src")"
      touch "$target"
      mount --bind -o ro "$ft_src" "$target"
    fi
    exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 TERM="${TERM:-dumb}" TARVISH_IN_ROOT=1 TARVISH_FT_CACHE=/opt/tarvish-ft ${CI:+CI=$CI} \
      ${ft_env:+"$ft_env"} ${TARVISH_PASS_ENV:-} /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
  ' bash "$root" "$here" "$cwd" "$ft_cache" "$ft_src" "$ft_env" "$@"
}

# ---------------------------------------------------------------------------
# The free-threaded interpreter (python3.14t), for the ft mode and dev.sh --ft.
# Taken in this order: a python3.14t on PATH with its headers (a distribution's,
# or the user's own build); otherwise CPython's source tarball named by
# TARVISH_CPYTHON_SOURCE; otherwise ../shared/cpython/Python-3.14.7.tar.xz beside
# the checkout. A source is built once (--disable-gil, no PGO) into the
# toolchain cache beside the root, inside the root, and reused while the
# source is unchanged (its builds are keyed by its checksum).

toolchain_cache() { printf '%s\n' "${TARVISH_TOOLCHAIN_CACHE:-${HOME:-/root}/.cache/tarvish-toolchain}"; }

# The source tarball as the host sees it (named, or found beside the
# checkout); nothing when there is none.
ft_source_host() {
  if [ -n "${TARVISH_CPYTHON_SOURCE:-}" ]; then
    printf '%s\n' "$(realpath -m "$TARVISH_CPYTHON_SOURCE")"
    return 0
  fi
  local shared
  shared="$(toolchain_here)/../shared/cpython/Python-3.14.7.tar.xz"
  [ -f "$shared" ] && realpath "$shared"
  return 0
}

# True when the interpreter named is a free-threaded CPython 3.14 with its headers.
ft_usable() {
  "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
ok = (sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED")
      and os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))
sys.exit(0 if ok else 1)
PY
}

ft_missing="no free-threaded CPython 3.14 here: put a python3.14t with its headers on PATH (a distribution's package, or CPython built with ./configure --disable-gil), or name CPython's 3.14 source tarball in TARVISH_CPYTHON_SOURCE to have it built once into the toolchain cache"

# Sets FT_PYTHON to the path of the free-threaded interpreter, building it
# first when it comes from a source not built yet; otherwise sets FT_REASON to
# what to provide, says it, and fails. `ft_python tsan` asks for the same
# interpreter built with ThreadSanitizer (by clang, as CPython's own TSan CI
# builds it), always from the source.
ft_python() {
  local flavour=${1:-} found src cache
  FT_PYTHON="" FT_REASON=""
  if [ -z "$flavour" ] && found=$(command -v python3.14t 2>/dev/null) && ft_usable "$found"; then
    FT_PYTHON=$found
    return 0
  fi
  if [ "${TARVISH_IN_ROOT:-0}" = 1 ]; then
    src=${TARVISH_FT_SOURCE:-} cache=${TARVISH_FT_CACHE:-/opt/tarvish-ft}
    [ -z "${TARVISH_FT_SOURCE_ERROR:-}" ] || FT_REASON=$TARVISH_FT_SOURCE_ERROR
  else
    src=$(ft_source_host) cache="$(toolchain_cache)/host.ft"
    [ -z "$src" ] || [ -f "$src" ] || FT_REASON="TARVISH_CPYTHON_SOURCE names $src, which is no file"
  fi
  [ -n "$src" ] || [ -n "$FT_REASON" ] || FT_REASON=$ft_missing
  if [ -n "$FT_REASON" ]; then
    echo "ft: $FT_REASON" >&2
    return 1
  fi
  local prefix
  prefix="$cache/$(sha256sum "$src" | cut -c1-16)${flavour:+-$flavour}"
  mkdir -p "$cache"
  if ! (
    flock 9
    [ -f "$prefix/.tarvish-ready" ] || ft_build "$src" "$prefix" "$flavour"
  ) 9>"$cache/.lock"; then
    FT_REASON="the build of $(basename "$src") failed (log: $prefix.log)"
    return 1
  fi
  FT_PYTHON="$prefix/bin/python3.14t"
}

# Builds CPython from the tarball `src` with the GIL disabled into `prefix`
# (with ThreadSanitizer for the flavour tsan).
ft_build() {
  local src=$1 prefix=$2 flavour=${3:-} work log=$2.log start=$SECONDS how=(--disable-gil) install=() plain=""
  if [ "$flavour" = tsan ]; then
    how=(--disable-gil --with-thread-sanitizer CC=clang CXX=clang++)
    # The standard library is byte-compiled at install by the interpreter just
    # built: under ThreadSanitizer that takes ten minutes. The uninstrumented
    # build of the same source, where there is one, writes the same files: the
    # install's own step is then handed an option it refuses (the Makefile goes
    # on past it), and that build compiles them afterwards.
    plain=${prefix%-tsan}/bin/python3.14t
    if [ -f "${prefix%-tsan}/.tarvish-ready" ]; then install=(COMPILEALL_OPTS=--compiled-after-install); else plain=""; fi
  fi
  work=$(mktemp -d "${TMPDIR:-/tmp}/tarvish-ft.XXXXXX")
  echo "ft: building a free-threaded CPython${flavour:+ ($flavour)} from $(basename "$src") into $prefix (once; about ${flavour:+1}5 minutes on 2 cores; log: $log)" >&2
  rm -rf "$prefix"
  # Chained: an `if` runs its condition with `set -e` off.
  if ! (
    tar -xf "$src" -C "$work" --strip-components=1 && cd "$work" &&
      ./configure "${how[@]}" --prefix="$prefix" --without-ensurepip && make -j"$(nproc)" && make install "${install[@]}" &&
      { [ -z "$plain" ] || "$plain" -I -m compileall -q -j0 -x 'bad_coding|badsyntax' "$prefix/lib/python3.14t" || true; } &&
      cp Tools/tsan/suppressions_free_threading.txt "$prefix/"
  ) >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    rm -rf "$work"
    echo "ft: the build of $(basename "$src") failed (log: $log)" >&2
    return 1
  fi
  rm -rf "$work"
  ft_usable "$prefix/bin/python3.14t" || { echo "ft: $prefix holds no free-threaded CPython 3.14" >&2; return 1; }
  touch "$prefix/.tarvish-ready"
  echo "ft: built in $((SECONDS - start)) s" >&2
}

# A virtual environment of the free-threaded interpreter at `dir`, which sees
# the pure-Python test and build tools of the toolchain's python3.14 (linked
# into its site directory, each with what it requires): there is no package
# index to fill it from. Only those: a package whose compiled part is built for
# python3.14 alone would fail its importers there with an ImportError.
ft_venv() {
  local python=$1 dir=$2 site
  rm -rf "$dir"
  "$python" -m venv --without-pip "$dir"
  site=$("$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  python3.14 - "$site" <<'PY'
import importlib.metadata as md, os, pathlib, re, sys
from packaging.requirements import Requirement

target = pathlib.Path(sys.argv[1])
wanted = ["pytest", "hypothesis", "pytest-run-parallel", "pytest-timeout", "pytest-xdist", "scikit-build-core",
          "build", "pip", "sortedcontainers", "crcmod", "mypy"]
seen = set()
while wanted:
    name = re.sub(r"[-_.]+", "-", wanted.pop()).lower()
    if name in seen:
        continue
    seen.add(name)
    try:
        dist = md.distribution(name)
    except md.PackageNotFoundError:
        continue
    for text in dist.requires or []:
        req = Requirement(text)
        if req.marker is None or req.marker.evaluate({"extra": ""}):
            wanted.append(req.name)
    info = pathlib.Path(dist._path)
    tops = (dist.read_text("top_level.txt") or "").split() or [name.replace("-", "_")]
    for entry in [info] + [info.parent / t for t in tops] + [info.parent / f"{t}.py" for t in tops]:
        if entry.exists() and not (target / entry.name).exists():
            os.symlink(entry, target / entry.name)
PY
}

# ---------------------------------------------------------------------------
# The aarch64 layer, for the aarch64 mode and dev.sh --aarch64: installed into
# the root on demand, once per root and layer list (a marker keyed by the
# lists below, under a lock), so that the root's own package list, and what is
# built beside it, stay as they are. The cross compiler and user-mode qemu are
# installed into the root with apt-get; the arm64 interpreter, its headers and
# the libraries they need are unpacked into a sysroot of their own (a private
# apt state resolves them for arm64 from the root's own sources), so that no
# arm64 package sits beside the root's amd64 ones (multiarch would have to move
# the root's interpreter to the archive's newest version with them).

arm64_host_packages=(g++-aarch64-linux-gnu qemu-user)
arm64_target_packages=(python3.14-minimal libpython3.14-stdlib libpython3.14-dev libstdc++6)

# Sets ARM64_SYSROOT and ARM64_PYTHON (a script that runs the arm64 python3.14
# under qemu-aarch64), installing the layer first when this root lacks it.
# Inside the root only.
arm64_layer() {
  local key dir
  [ "${TARVISH_IN_ROOT:-0}" = 1 ] || { echo "aarch64: the layer is installed into the toolchain root (TARVISH_USE_ROOT=1)" >&2; return 1; }
  key=$(printf '%s\n' "${arm64_host_packages[@]}" -- "${arm64_target_packages[@]}" | sha256sum | cut -c1-16)
  dir=/opt/tarvish-arm64/$key
  ARM64_SYSROOT=$dir/sysroot ARM64_PYTHON=$dir/sysroot/usr/bin/python3.14-qemu
  mkdir -p /opt/tarvish-arm64
  (
    flock 9
    [ -f "$dir/.tarvish-ready" ] || arm64_install "$dir"
  ) 9>/opt/tarvish-arm64/.lock
}

arm64_install() {
  local dir=$1 start=$SECONDS log=$1.log
  echo "aarch64: installing the cross compiler, qemu-user and an arm64 Python 3.14 into the root (once; log: $log)" >&2
  rm -rf "$dir"
  mkdir -p "$dir/apt/state/lists/partial" "$dir/apt/cache/archives/partial" "$dir/sysroot"
  : >"$dir/apt/state/status"
  local apt=(-o APT::Architecture=arm64 -o APT::Architectures=arm64 -o Dir::State="$dir/apt/state"
             -o Dir::State::status="$dir/apt/state/status" -o Dir::Cache="$dir/apt/cache" -o Debug::NoLocking=1)
  # Chained: an `if` runs its condition with `set -e` off. The root's package
  # lists may be older than the archive: refreshed when an install from them fails.
  if ! (
    export DEBIAN_FRONTEND=noninteractive
    # Another apt-get in this root (another layer's) is waited for.
    lockwait=(-o DPkg::Lock::Timeout=600)
    { apt-get "${lockwait[@]}" install -y --no-install-recommends "${arm64_host_packages[@]}" ||
        { apt-get "${lockwait[@]}" update && apt-get "${lockwait[@]}" install -y --no-install-recommends "${arm64_host_packages[@]}"; }; } &&
      apt-get "${apt[@]}" update &&
      apt-get "${apt[@]}" install -y --download-only --no-install-recommends "${arm64_target_packages[@]}" &&
      for deb in "$dir"/apt/cache/archives/*.deb; do dpkg-deb -x "$deb" "$dir/sysroot" || exit 1; done
  ) >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "aarch64: the layer's install failed (log: $log)" >&2
    return 1
  fi
  rm -rf "$dir/apt"
  ln -s usr/lib "$dir/sysroot/lib"  # the merged /usr that base-files would make (the loader's path)
  # No binfmt_misc here: the interpreter is run through qemu-aarch64 by name,
  # and told (-0) the path it was started as, so that a virtual environment
  # whose bin/python links to this script is found as one, and sys.executable
  # starts the same way again.
  cat >"$dir/sysroot/usr/bin/python3.14-qemu" <<SH
#!/bin/sh
QEMU_LD_PREFIX=$dir/sysroot exec qemu-aarch64 -0 "\$0" $dir/sysroot/usr/bin/python3.14 "\$@"
SH
  chmod +x "$dir/sysroot/usr/bin/python3.14-qemu"
  "$dir/sysroot/usr/bin/python3.14-qemu" -c 'import platform, sys; assert platform.machine() == "aarch64"; print(sys.version)' >&2 \
    || { echo "aarch64: the arm64 interpreter does not run under qemu-aarch64" >&2; return 1; }
  touch "$dir/.tarvish-ready"
  # Sysroots of other layer lists are dropped (the packages they installed into the root stay).
  find /opt/tarvish-arm64 -mindepth 1 -maxdepth 1 ! -name "$(basename "$dir")*" ! -name .lock -exec rm -rf {} +
  echo "aarch64: installed in $((SECONDS - start)) s" >&2
}

# Sourced by another script: only the functions above.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

set -euo pipefail
[ $# -gt 0 ] || set -- python3.14 --version
if [ "${TARVISH_IN_ROOT:-0}" = 1 ] || toolchain_host_ok; then
  exec "$@"
fi
ensure_root
run_in_root "$@"
