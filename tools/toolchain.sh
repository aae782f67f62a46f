#!/usr/bin/env bash
# Runs a command with a Python 3.14 build environment.
#
#   tools/toolchain.sh <command> [args...]
#
# When python3.14 and its headers are installed on this machine, the command
# runs here directly. Otherwise a minimal Debian sid root carrying Python 3.14
# and the build and test tools is bootstrapped once into a cache directory
# (TARVISH_TOOLCHAIN_CACHE, default ~/.cache/tarvish-toolchain) and the command
# runs inside it, with the checkout bound at the same path. The root is reused
# while its package list is unchanged. Set TARVISH_USE_ROOT=1 to use the root
# even where a host Python 3.14 exists.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  python3.14 python3.14-dev python3.14-dbg python3.14-venv
  python3-pytest python3-hypothesis python3-pytest-xdist python3-pytest-timeout
  python3-pytest-run-parallel python3-scikit-build-core python3-pip python3-venv
  python3-mypy python3-build
  g++ clang cmake ninja-build make ca-certificates
)

die() { printf 'toolchain: %s\n' "$*" >&2; exit 1; }

host_has_python() {
  [ "${TARVISH_USE_ROOT:-0}" = 1 ] && return 1
  command -v python3.14 >/dev/null 2>&1 || return 1
  python3.14 - <<'PY' >/dev/null 2>&1
import os, sysconfig, sys
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")) else 1)
PY
}

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

ensure_root() {
  local cache="${TARVISH_TOOLCHAIN_CACHE:-${HOME:-/root}/.cache/tarvish-toolchain}"
  local want root stamp
  want=$(printf '%s\n' "${packages[@]}" | sha256sum | cut -c1-16)
  root="$cache/sid-$want"
  stamp="$root/.tarvish-ready"
  ROOT="$root"
  [ -f "$stamp" ] && return 0

  [ "$(id -u)" = 0 ] || die "no python3.14 with headers here, and bootstrapping a Debian sid root needs root"
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "toolchain: installing debootstrap" >&2
    apt-get install -y debootstrap >/dev/null 2>&1 \
      || { apt-get update >/dev/null 2>&1 && apt-get install -y debootstrap >/dev/null 2>&1; } \
      || die "could not install debootstrap with apt-get"
  fi
  local mirror
  mirror=$(archive_address) || die "no Debian archive found in this machine's apt sources"

  mkdir -p "$cache"
  rm -rf "$root.tmp"
  echo "toolchain: bootstrapping a Debian sid root in $root (a few minutes, once)" >&2
  local inc
  inc=$(IFS=,; echo "${packages[*]}")
  if ! debootstrap --variant=minbase --include="$inc" sid "$root.tmp" "$mirror" >"$cache/debootstrap.log" 2>&1; then
    tail -n 25 "$cache/debootstrap.log" >&2
    die "debootstrap of Debian sid failed (full log: $cache/debootstrap.log)"
  fi
  chroot "$root.tmp" python3.14 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(sysconfig.get_path("include") + "/Python.h"))' \
    || die "the bootstrapped root has no usable python3.14 with headers"
  # Older roots for another package list are dropped.
  find "$cache" -maxdepth 1 -name 'sid-*' ! -name "sid-$want" ! -name "sid-$want.tmp" -exec rm -rf {} + 2>/dev/null || true
  rm -rf "$root"
  mv "$root.tmp" "$root"
  touch "$stamp"
}

run_in_root() {
  local root="$ROOT"
  mkdir -p "$root$here" "$root/tmp"
  # Inside a private mount namespace: the checkout at its own path, /proc, /dev
  # and a fresh /tmp, then the command in the chroot.
  exec unshare -m -- /bin/bash -c '
    set -e
    root=$1; here=$2; shift 2
    mount --make-rprivate / 2>/dev/null || true
    mount --bind "$here" "$root$here"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp" 2>/dev/null || true
    [ -e /dev/shm ] && mkdir -p "$root/dev/shm"
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 TERM="${TERM:-dumb}" TARVISH_IN_ROOT=1 \
      ${TARVISH_PASS_ENV:-} /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$here" "$@"
  ' bash "$root" "$here" "$@"
}

[ $# -gt 0 ] || set -- python3.14 --version

if [ "${TARVISH_IN_ROOT:-0}" = 1 ] || host_has_python; then
  exec "$@"
fi
ensure_root
run_in_root "$@"
