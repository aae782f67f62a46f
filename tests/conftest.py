"""Shared test configuration, and the reference-leak mode.

``--refleak`` (for a debug interpreter, which has ``sys.gettotalrefcount``)
runs every test body several times in a row and fails a test whose total
reference count or count of allocated memory blocks grows on each of the
checked repeats, the way the interpreter's own test runner hunts leaks. Tests
whose single run takes long (stress tests, subprocesses) run once, unchecked.
"""

import gc
import sys
import time

import pytest

# The interpreter specialises and caches during the first runs of a body.
WARMUPS = 4
CHECKED = 6
SLOW_SECONDS = 0.5


def pytest_addoption(parser):
    parser.addoption("--refleak", action="store_true", help="check each test for reference and memory-block leaks")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_refleak: run once in reference-leak mode, unchecked")
    if config.getoption("--refleak") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs a debug interpreter (python3.14d)")


def _counts():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    if not pyfuncitem.config.getoption("--refleak") or pyfuncitem.get_closest_marker("no_refleak"):
        return (yield)
    testfunction = pyfuncitem.obj
    funcargs = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    start = time.perf_counter()
    result = yield  # the first run, through pytest's own call
    if time.perf_counter() - start > SLOW_SECONDS:
        return result
    for _ in range(WARMUPS - 1):
        testfunction(**funcargs)
    # Preallocated, so that the bookkeeping itself allocates nothing in the loop.
    deltas_refs, deltas_blocks = [0] * CHECKED, [0] * CHECKED
    refs, blocks = _counts()
    for i in range(CHECKED):
        testfunction(**funcargs)
        r, b = _counts()
        deltas_refs[i] = r - refs
        deltas_blocks[i] = b - blocks
        refs, blocks = r, b
    leaks = []
    if all(d >= 1 for d in deltas_refs):
        leaks.append(f"references {deltas_refs}")
    if all(d >= 1 for d in deltas_blocks):
        leaks.append(f"memory blocks {deltas_blocks}")
    if leaks:
        pytest.fail(f"{pyfuncitem.nodeid} leaked " + " and ".join(leaks) + f" over {CHECKED} repeats", pytrace=False)
    return result
