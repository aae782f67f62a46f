"""The reference-leak mode itself: it must catch a real leak and pass clean code."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")

SAMPLE = """
    import ctypes
    from tarvish.memory.corvane import AtomicCounter

    def test_leaks_a_reference_per_run():
        obj = AtomicCounter(3)
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))

    def test_clean():
        c = AtomicCounter(3)
        assert c.increment() == 4
"""


@pytest.mark.no_refleak("runs the leak mode itself in a child process")
@pytest.mark.thread_unsafe
def test_leak_mode_catches_a_leak(tmp_path):
    (tmp_path / "test_sample.py").write_text(textwrap.dedent(SAMPLE))
    for name in ("conftest.py", "support.py"):
        (tmp_path / name).write_text(pathlib.Path(__file__).with_name(name).read_text())
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:run-parallel", "--refleak",
         str(tmp_path)],
        capture_output=True, text=True, timeout=300,
    )
    out = proc.stdout + proc.stderr
    assert "test_leaks_a_reference_per_run leaked references" in out, out
    assert "1 failed, 1 passed" in out, out
