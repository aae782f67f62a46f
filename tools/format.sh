#!/usr/bin/env bash
# Applies the formatter and the fixable linter findings to the tree, inside the
# toolchain: clang-format (.clang-format) to every C++ source and header, and
# ruff's fixes (pyproject.toml's [tool.ruff]) to every Python file.
# `tools/test.sh lint` checks what this applies, and clang-tidy besides.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
. "$here/tools/toolchain.sh"
toolchain_enter "$here/tools/format.sh" "$@"
cd "$here"
find src include benchmarks \( -name '*.cpp' -o -name '*.hpp' \) -print0 | xargs -0 clang-format -i
ruff check --no-cache --fix --quiet . || true  # what remains is reported by the lint mode
