"""Helpers shared by the test files."""

import os
import subprocess
import sys
import textwrap


def run_python(code, *, check=False, timeout=300):
    """Runs `code` (dedented) in a fresh interpreter with this one's import path
    and environment (so a sanitizer runtime preload carries over); returns the
    completed process. With `check`, a non-zero exit fails with its stderr."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, encoding="utf-8", timeout=timeout,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc
