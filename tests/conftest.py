"""Shared test configuration, and the reference-leak mode.

``--refleak`` (for a debug interpreter, which has ``sys.gettotalrefcount``)
runs every test body several times in a row and fails a test whose total
reference count or count of allocated memory blocks grows with the number of
runs, the way the interpreter's own test runner hunts leaks. Tests
whose single run takes long (stress tests, subprocesses) run once, unchecked.
"""

import gc
import sys
import time

import pytest

# The interpreter specialises and caches during the first runs of a body.
WARMUPS = 2
# Then a block of n runs and a block of 2n runs are measured. A leak of one
# reference per run shows in both and grows with the block; the bounded growth
# of the interpreter's caches does not. A suspected leak is measured again with
# larger blocks (the earlier runs serving as further warm-up) before it counts.
BLOCKS = (3, 10, 30)
SLOW_SECONDS = 0.15
# Fixtures that keep state across runs of one body (undo records, captured log
# records): a test that uses one runs once in leak mode, unchecked.
STATEFUL_FIXTURES = {"monkeypatch", "caplog", "capsys", "capfd", "recwarn", "tmp_path", "tmpdir"}


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


def _measure(testfunction, funcargs, n):
    before = _counts()
    for _ in range(n):
        testfunction(**funcargs)
    middle = _counts()
    for _ in range(2 * n):
        testfunction(**funcargs)
    after = _counts()
    leaks = []
    for i, what in enumerate(("references", "memory blocks")):
        first, second = middle[i] - before[i], after[i] - middle[i]
        if first >= n and second >= 2 * n and second - first >= n:
            leaks.append(f"{what} (+{first} over {n} runs, +{second} over {2 * n})")
    return leaks


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    if (not pyfuncitem.config.getoption("--refleak") or pyfuncitem.get_closest_marker("no_refleak")
            or STATEFUL_FIXTURES.intersection(pyfuncitem.fixturenames)):
        return (yield)
    testfunction = pyfuncitem.obj
    funcargs = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    start = time.perf_counter()
    result = yield  # the first run, through pytest's own call
    if time.perf_counter() - start > SLOW_SECONDS:
        return result
    for _ in range(WARMUPS - 1):
        testfunction(**funcargs)
    for n in BLOCKS:
        leaks = _measure(testfunction, funcargs, n)
        if not leaks:
            return result
    pytest.fail(f"{pyfuncitem.nodeid} leaked " + " and ".join(leaks), pytrace=False)
    return result
