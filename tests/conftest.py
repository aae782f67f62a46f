"""Shared test configuration, and the reference-leak mode.

``--refleak`` (for a debug interpreter, which has ``sys.gettotalrefcount``)
runs every test body several times in a row and fails a test whose total
reference count or count of allocated memory blocks grows with the number of
runs, the way the interpreter's own test runner hunts leaks: the interpreter's
and the standard library's caches are cleared before every measurement, so
that what they keep (compiled patterns, parsed signatures, source lines, type
and ABC caches) is not taken for a leak. A test that cannot be repeated
meaningfully carries ``@pytest.mark.no_refleak("why")`` and runs once,
unchecked; the session ends with the list of such tests and their reasons.
"""

import contextlib
import gc
import inspect
import os
import sys
import threading
import time
import types
import warnings

import pytest

import support

# The interpreter specialises and caches during the first runs of a body.
WARMUPS = 2
# Then a block of n runs and a block of 2n runs are measured. A leak of one
# reference per run shows in both and grows with the block; noise does not. A
# suspected leak is measured again with larger blocks (the earlier runs serving
# as further warm-up) before it counts.
BLOCKS = (3, 10, 30)
# A test whose first run takes longer runs once, unchecked (reported as such):
# repeating it 40 times would cost minutes.
SLOW_SECONDS = 1.0


def _caplog_run(caplog, item):
    caplog.clear()
    # The logging plugin's handler for the test report keeps every record too.
    plugin = item.config.pluginmanager.get_plugin("logging-plugin")
    if plugin is not None:
        plugin.report_handler.reset()
    return contextlib.nullcontext(caplog)


def _capture_run(cap, item):
    cap.readouterr()
    return contextlib.nullcontext(cap)


def _recwarn_run(rec, item):
    rec.clear()
    return contextlib.nullcontext(rec)


# Fixtures that keep state across runs of one body, and how each further run
# gets them without that state (it would otherwise grow with every run): a
# context manager per run that gives the value to pass. The body's patches go
# to a fresh MonkeyPatch undone after each run (fixtures that patched through
# the test's own one keep their patches).
PER_RUN = {
    "monkeypatch": lambda mp, item: pytest.MonkeyPatch.context(),
    "caplog": _caplog_run,
    "capsys": _capture_run,
    "capfd": _capture_run,
    "recwarn": _recwarn_run,
}

# What a test's report says of a run once, unchecked (carried from the
# workers of a distributed run to the session's summary).
UNCHECKED = "run once, unchecked for leaks"


def pytest_addoption(parser):
    parser.addoption("--refleak", action="store_true", help="check each test for reference and memory-block leaks")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_refleak(reason): run once in reference-leak mode, unchecked, for this reason")
    config.addinivalue_line("markers", "threads: starts threads of its own (the ThreadSanitizer mode runs these)")
    if _parallel_threads(config) == 1 and not isinstance(threading.Thread.start, _CountedStart):
        threading.Thread.start = _CountedStart(threading.Thread.start)
    if not config.pluginmanager.hasplugin("run-parallel"):
        config.addinivalue_line("markers", "thread_unsafe: run on one thread in the threads mode")
    if config.getoption("--refleak"):
        if not hasattr(sys, "gettotalrefcount"):
            v = sys.version_info
            raise pytest.UsageError(f"--refleak needs a debug interpreter (python{v.major}.{v.minor}d)")
        # A release-build extension loaded into the debug interpreter counts
        # none of its own reference changes, so the totals drift with every
        # call into it; numpy is the one a plugin may pull in (the thread
        # plugin's comparator imports it when installed).
        if "numpy" in sys.modules:
            raise pytest.UsageError("--refleak: numpy is loaded (a release build: every run would seem to leak "
                                    "references); run without the thread plugin: -p no:run-parallel")
        _warm_caches()
        # Every run of a property test draws the same examples, so that the
        # runs are repetitions.
        from hypothesis import settings
        settings.register_profile("refleak", derandomize=True, database=None)
        settings.load_profile("refleak")


def _parallel_threads(config):
    try:
        return int(config.getoption("--parallel-threads"))
    except (ValueError, TypeError):  # "auto", or the thread plugin absent
        return 1 if not config.pluginmanager.hasplugin("run-parallel") else 0


class _CountedStart:
    """Thread.start, counting the threads started, so that a test that starts
    threads without the ``threads`` marker fails (the marker selects what the
    ThreadSanitizer mode runs, and must not miss a test)."""

    def __init__(self, start):
        self.start, self.count = start, 0

    def __get__(self, thread, owner=None):
        return self if thread is None else types.MethodType(self, thread)

    def __call__(self, thread, *args, **kwargs):
        self.count += 1
        return self.start(thread, *args, **kwargs)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    start = threading.Thread.start
    if not isinstance(start, _CountedStart) or item.get_closest_marker("threads"):
        return (yield)
    before = start.count
    result = yield
    if start.count != before:
        pytest.fail(f"{item.nodeid} starts threads: mark it @pytest.mark.threads", pytrace=False)
    return result


def _warm_caches():
    # The interpreter's one-character, small-int and byte caches are filled on
    # first use; fill them now so that no run pays for it.
    s = bytes(range(256))
    for i in range(256):
        s[i:i + 1]
    [chr(i) for i in range(256)]
    list(range(-5, 257))


def _each_module(name):
    mod = sys.modules.get(name)
    return [mod] if isinstance(mod, types.ModuleType) else []


# Caches that fill with repeated calls without leaking, and how each is
# emptied (the interpreter's own leak hunter empties the same). A test may have
# put a stand-in in place of any of these modules: whatever fails is skipped.
CACHE_CLEARS = (
    ("re", lambda m: m.purge()),                                   # compiled patterns
    ("linecache", lambda m: m.clearcache()),                       # source lines of tracebacks
    ("struct", lambda m: m._clearcache()),                         # compiled formats
    ("_strptime", lambda m: m._regex_cache.clear()),
    ("fractions", lambda m: m._hash_algorithm.cache_clear()),
    ("ctypes", lambda m: m._reset_cache()),
    ("urllib.parse", lambda m: m.clear_cache()),
    ("filecmp", lambda m: m._cache.clear()),
    ("typing", lambda m: [f() for f in m._cleanups]),              # parametrised generics
    ("inspect", lambda m: (m._filesbymodname.clear(), m.modulesbyfile.clear(),
                           m._shadowed_dict_from_weakref_mro_tuple.cache_clear())),
    ("importlib.metadata", lambda m: m.FastPath.__new__.cache_clear()),
)


def _clear_caches():
    """Empties the interpreter's and the standard library's caches."""
    for mod in list(sys.modules.values()):
        if isinstance(mod, types.ModuleType) and "__warningregistry__" in vars(mod):
            del mod.__warningregistry__
    for name, clear in CACHE_CLEARS:
        for mod in _each_module(name):
            try:
                clear(mod)
            except Exception:
                pass
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    import collections.abc
    for name in collections.abc.__all__:
        abc = getattr(collections.abc, name)
        if inspect.isabstract(abc):
            for cls in abc.__subclasses__() + [abc]:
                cls._abc_caches_clear()
    sys._clear_internal_caches()  # the type attribute cache and the interpreter's own


def _counts():
    _clear_caches()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _measure(run, n):
    before = _counts()
    for _ in range(n):
        run()
    middle = _counts()
    for _ in range(2 * n):
        run()
    after = _counts()
    leaks = []
    for i, what in enumerate(("references", "memory blocks")):
        first, second = middle[i] - before[i], after[i] - middle[i]
        if first >= n and second >= 2 * n and second - first >= n:
            leaks.append(f"{what} (+{first} over {n} runs, +{second} over {2 * n})")
    return leaks


def _unchecked_reason(item):
    marker = item.get_closest_marker("no_refleak")
    if marker is None:
        return None
    reason = marker.args[0] if marker.args else marker.kwargs.get("reason")
    if not reason:
        raise pytest.UsageError(f"{item.nodeid}: no_refleak needs a reason")
    return reason


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    if not pyfuncitem.config.getoption("--refleak"):
        return (yield)
    reason = _unchecked_reason(pyfuncitem)
    if reason is not None:
        pyfuncitem.user_properties.append((UNCHECKED, reason))
        return (yield)
    testfunction = pyfuncitem.obj
    names = inspect.signature(testfunction).parameters
    funcargs = {name: pyfuncitem.funcargs[name] for name in names}
    per_run = [(name, PER_RUN[name], value) for name, value in funcargs.items() if name in PER_RUN]

    def run():
        with contextlib.ExitStack() as stack, warnings.catch_warnings():
            args = dict(funcargs)
            for name, fresh, value in per_run:
                args[name] = stack.enter_context(fresh(value, pyfuncitem))
            testfunction(**args)

    # The first run, through pytest's own call, gets a fresh MonkeyPatch too,
    # so that every run starts from the same state.
    first_mp = None
    if "monkeypatch" in funcargs:
        first_mp = pyfuncitem.funcargs["monkeypatch"] = pytest.MonkeyPatch()
    support.completed = {}  # the child processes of the first run, for the later runs
    start = time.perf_counter()
    try:
        try:
            result = yield
        finally:
            if first_mp is not None:
                first_mp.undo()
                pyfuncitem.funcargs["monkeypatch"] = funcargs["monkeypatch"]
        if time.perf_counter() - start > SLOW_SECONDS:
            pyfuncitem.user_properties.append((UNCHECKED, f"slow (first run over {SLOW_SECONDS:g} s)"))
            return result
        for _ in range(WARMUPS - 1):
            run()
        # What exists now is no concern of this test: frozen, the collector skips
        # it, so that each measurement collects only what the runs made.
        gc.freeze()
        try:
            for n in BLOCKS:
                leaks = _measure(run, n)
                if not leaks:
                    return result
        finally:
            gc.unfreeze()  # back in the collector's care (and visible to gc.get_referrers) between tests
    finally:
        support.completed = None
    pytest.fail(f"{pyfuncitem.nodeid} leaked " + " and ".join(leaks), pytrace=False)
    return result


def pytest_terminal_summary(terminalreporter, config):
    unchecked = {r.nodeid: value for r in terminalreporter.getreports("passed") + terminalreporter.getreports("failed")
                 if r.when == "call" for name, value in r.user_properties if name == UNCHECKED}
    if not config.getoption("--refleak") or not unchecked:
        return
    # One line per test function (its parameter sets counted) and reason.
    groups = {}
    for nodeid, reason in unchecked.items():
        key = (nodeid.split("[", 1)[0], reason)
        groups[key] = groups.get(key, 0) + 1
    terminalreporter.section(f"{UNCHECKED} ({len(unchecked)})")
    for (test, reason), n in sorted(groups.items()):
        terminalreporter.line(f"{test}{f' (x{n})' if n > 1 else ''}: {reason}")


def pytest_sessionfinish(session, exitstatus):
    # On the free-threaded build the GIL stays off: importing a module that
    # does not declare that it runs without it turns it on for the whole process.
    if support.FREE_THREADED and "PYTHON_GIL" not in os.environ and sys._is_gil_enabled():
        print("\nthe GIL was turned on by an import; every module must run without it", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
