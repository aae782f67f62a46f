#!/usr/bin/env bash
# The project's main job: provisions the toolchain, builds and installs the
# package into build/venv (tools/test.sh's install mode: rebuilt when a source is
# newer than the installed wheel; TARVISH_NO_REBUILD=1 reuses the last install)
# and runs `python -m tarvish`, which reports this machine and the native core.
# Arguments go to `python -m tarvish` (--json, --no-bench, --full).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
. "$here/tools/toolchain.sh"
toolchain_enter "$here/tools/run.sh" "$@"
cd "$here"
[ -n "${TARVISH_NO_REBUILD:-}" ] && [ -x build/venv/bin/python ] || tools/test.sh install >&2
cd build
exec "$here/build/venv/bin/python" -m tarvish "$@"
