"""Allocation failure at every allocation of every native callable, and the
error exits no allocation failure reaches.

The sweep: each call of CALLS (realistic arguments, objects holding data) runs
once plainly, then again with the k-th allocation made during the call failing,
for k = 0, 1, 2, ... until the call returns what the plain run returned. Every
faulted run ends in MemoryError (or, where a guard catches exceptions, in a
result); it never crashes and never raises SystemError or anything else; the
object called keeps the state it had, and the arguments keep their reference
counts. HOSTILE drives the exits that need a caller's object to misbehave: a
lock whose __exit__ raises or swallows, a conversion that raises half-way
through a list, a method overridden on a subclass."""

import gc
import json
import sys
import types

import pytest

from calls import CALLS, CODE, PATTERNS, policy, stack, statistics, statistics_of_subclasses, timer, tree
from support import ALONE, FREE_THREADED, Env, EnvFault, Hostile, each_step_failing, outcome, overriding, run_python
from tarvish.__main__ import MODULES
from test_conventions import TARGETS, digest, kind_of
from tarvish.gpu import veldra
from tarvish.jit import tessaly
from tarvish.memory import brindle, corvane, quillet
from tarvish.monitoring import murrel
from tarvish.native import pellucor
from tarvish.plugins.analyzer import ferrowind, halvard

_testcapi = pytest.importorskip("_testcapi")

# Calls that end in a fallback result when anything inside them raises.
GUARDED = {"pellucor"}
# Calls whose last step, a log line, follows their change: a failure there
# leaves the change made.
LOGS_AFTER_CHANGE = {"tessaly.Tessaly.update"}
# The free-threaded 3.14 interpreter's PyList_New, when the allocation of a
# new list's items fails, releases the list before it has set its items, and
# crashes there (the default build sets them first). These rows run the
# interpreter's own code that makes lists while memory fails (the header's
# warning line, the version and capability detectors): on that build they are
# left out, and run on the default build.
LIST_NEW_CRASH = "3.14t's PyList_New crashes when the allocation of a new list's items fails"
MAKES_LISTS_WHILE_FAILING = {("quillet.FastSlabHeaderOps.unpack_header", 1), ("pellucor.detect_python_version", 0),
                             ("pellucor.detect_capabilities", 0)}
LIST_NEW_CRASHES = FREE_THREADED and sys.version_info[:2] == (3, 14)
# More injected faults than any call here makes: a sweep that reaches it loops.
MAX_FAULTS = 5000


# Objects whose calls are steps on other objects, each applied as it is made:
# a failure half-way leaves the earlier steps applied.
STEPWISE = {statistics_of_subclasses}

# What a failed call must leave as it was, by class (a class not named has no
# state a failed call could half-change, or none that can be read).
SNAPSHOT = {
    corvane.AtomicCounter: lambda o: o.load(),
    corvane.AtomicCounterWrapper: lambda o: o.load(),
    corvane.AtomicPointer: lambda o: (id(o.load()), o.get_version()),
    corvane.LockFreeStack: lambda o: o.size(),
    corvane.LockFreeStatistics: lambda o: o.get_snapshot(),
    brindle.FastRedBlackTree: lambda o: (o.get_size_distribution(), [o.find_all_exact(s) for s in range(0, 400, 64)]),
    quillet.FastSlabHeaderOps: lambda o: o.pack_header(),
    quillet.FastStatsCollector: lambda o: o.get_stats(),
    tessaly.Tessaly: lambda o: o.get_statistics(),
    murrel.CounterAggregator: lambda o: o.get_all_stats(),
}


def test_every_callable_is_swept():
    assert sorted(CALLS) == sorted(t.id for t in TARGETS)


def steady(value):
    """A result without its measured times (float values of a dict)."""
    if isinstance(value, dict):
        return {k: steady(v) for k, v in value.items()}
    return float if isinstance(value, float) else value


def held(args):
    """The arguments and what they hold, one level down."""
    out = list(args)
    for a in args:
        if isinstance(a, (list, tuple)):
            out += a
        elif isinstance(a, dict):
            out += a.values()
    return out


def faulted(call, args, k, collect=True):
    """Calls with the k-th allocation failing: (result, exception, whether the
    call met the fault). A fault the call did not meet fails one of the k + 1
    objects made after it."""
    stop = k + 1  # made before the collection, and kept: a freed int would sit on the free list
    if collect:
        gc.collect()  # empties the free lists, so that the call's objects come from the allocator
    # Every attribute lookup misses the type cache, where a checked build asserts
    # that no error is set: a lookup made after a failure is caught.
    sys._clear_internal_caches()
    _testcapi.set_nomemory(k, stop)
    try:
        result, error = call(*args), None
    except BaseException as e:
        result, error = None, e.with_traceback(None)  # not kept alive by this frame's cycle
    try:
        for _ in range(k + 1):
            object()
        met = True
    except MemoryError:
        met = False
    _testcapi.remove_mem_hooks()
    return result, error, met


def bound(make, what):
    """A row's object, made now (None for a function or constructor), and what the row calls."""
    obj = make() if make else None
    return obj, getattr(obj, what) if obj is not None else what


def sweep(make, what, args, guarded, logs_after):
    """Faults every allocation of one call in turn; returns the faults injected."""
    def same(a, b):
        if make is timer:
            return type(a) is type(b)
        return steady(a) == steady(b) if guarded else digest(a) == digest(b)

    expected = None
    for k in range(-1, MAX_FAULTS):  # -1: no fault, the expected result
        obj, call = bound(make, what)
        snapshot = None if make in STEPWISE else next((SNAPSHOT[c] for c in type(obj).__mro__ if c in SNAPSHOT), None)
        before = snapshot(obj) if snapshot else None
        counts = [sys.getrefcount(a) for a in held(args)]
        result, error, met = faulted(call, args, k) if k >= 0 else (call(*args), None, True)
        if k < 0:
            expected, changed = result, snapshot(obj) if snapshot else None
            continue
        if not met:  # the call makes fewer than k + 1 allocations: each has failed in turn
            assert error is None and same(result, expected), (result, error)
            return k
        if error is None:
            # A guard may swallow a fault, giving its fallback result; elsewhere a
            # fault swallowed on the way must leave the result as it was.
            assert guarded or same(result, expected), f"fault {k} was swallowed: {result!r} instead of {expected!r}"
            continue
        assert type(error) is MemoryError, f"fault {k}: {type(error).__name__}: {error}"
        del error
        if snapshot:
            assert snapshot(obj) in ((before, changed) if logs_after else (before,)), f"fault {k} changed the state"
        assert [sys.getrefcount(a) for a in held(args)] == counts, f"fault {k} changed reference counts"
    pytest.fail(f"still failing after {MAX_FAULTS} faults")


@pytest.mark.thread_unsafe  # the failing allocator is the process's
@ALONE
@pytest.mark.parametrize("ident, case", [
    pytest.param(i, n, marks=pytest.mark.skipif(LIST_NEW_CRASHES and (i, n) in MAKES_LISTS_WHILE_FAILING,
                                                reason=LIST_NEW_CRASH))
    for i in CALLS for n in range(len(CALLS[i]))])
def test_allocation_failure(ident, case, caplog):  # caplog: the log records of one run, not of all
    make, what, args = CALLS[ident][case]
    enabled, callbacks = gc.isenabled(), gc.callbacks[:]
    gc.disable()  # a collection inside the call would move which allocation fails
    gc.freeze()  # and the sweep's own collections need not walk what exists already
    gc.callbacks.clear()  # nor leave a callback's info dict on the free list
    try:
        sweep(make, what, args, ident.split(".")[0] in GUARDED, ident in LOGS_AFTER_CHANGE)
    finally:
        gc.callbacks[:] = callbacks
        gc.unfreeze()
        if enabled:
            gc.enable()


# Objects whose traversal can be cut short: gc.get_referents fails when its
# list cannot grow, and the traversal stops at that visit.
TRAVERSED = [tree, stack, statistics, lambda: corvane.AtomicPointer([1]), policy]


@pytest.mark.thread_unsafe  # the failing allocator is the process's
@ALONE
@pytest.mark.parametrize("make", TRAVERSED)
def test_traversal_cut_short(make):
    obj = make()
    expected = gc.get_referents(obj)
    # The list grows at its 1st, 5th, 9th, 17th ... item: referents of a tuple
    # of m items first put each of the object's visits at a growth in turn.
    for m in range(8):
        first = tuple(range(m))
        for k in range(MAX_FAULTS):
            result, error, _ = faulted(gc.get_referents, (first, obj), k, collect=False)  # grows from the allocator
            if error is None:
                assert result[m:] == expected
                break
            assert type(error) is MemoryError, f"fault {k}: {error!r}"


# A fresh interpreter imports a module with every allocation from the k-th on
# failing (so that no handler on the way can swallow the first), for k = 0, 1,
# ... until the import succeeds, each failed import retried in the same
# process: each ends in MemoryError, and the module the last one makes is whole.
IMPORT_FAULTS = """
    import gc, importlib, json, sys, _testcapi
    for name in %(imported)r:
        importlib.import_module(name)
    for name in %(blocked)r:
        sys.modules[name] = None
    gc.disable()
    for k in range(%(limit)d):
        gc.collect()  # empties the free lists, so that the import's objects come from the allocator
        _testcapi.set_nomemory(k)
        try:
            module = importlib.import_module("%(name)s")
        except MemoryError:
            module = None
        _testcapi.remove_mem_hooks()
        if module is not None:
            break
    print(json.dumps({"faults": k, "names": sorted(vars(module)), "scores": %(scores)s}))
"""
# What the modules import as they execute, imported first: the failures are
# the modules' own. (A Python module whose import failed a few thousand times
# can crash the interpreter's own type set-up: __future__ did.)
IMPORTED = ("__future__", "logging", "math", "os", "re", "struct", "threading", "time", "typing",
            "tarvish.memory.plinth", "tarvish.memory.corvane")


SCORES = ("[module.score_indicators(%(code)r, 'parallel_map'), module.score_framework_patterns(%(code)r),"
          " module.quick_framework_score(%(code)r, 'numpy')]" % {"code": CODE})


# Python 3.15.0's collector can crash on what a Python-level import leaves
# behind when it fails for lack of memory (a retried `import fractions` does
# too, the standard library alone): the sweeps that import while memory fails
# are skipped there. 3.15.2 survives them all, as 3.14 does.
IMPORTS_SURVIVE_FAILURE = sys.version_info[:3] != (3, 15, 0)
IMPORT_CRASH = "3.15.0's collector can crash after a failed Python-level import"


# Each module, and the tree's without the counters' module (its fallback).
@pytest.mark.skipif(not IMPORTS_SURVIVE_FAILURE, reason=IMPORT_CRASH)
@pytest.mark.no_refleak("the module is imported in a child process")
@pytest.mark.thread_unsafe(reason="a child process's sweep: run on more threads, it only repeats itself")
@pytest.mark.parametrize("name, blocked", [(m, ()) for m in MODULES] + [("tarvish.memory.brindle",
                                                                          ("tarvish.memory.corvane",))])
def test_import_under_allocation_failure(name, blocked):
    imported = tuple(n for n in IMPORTED if n != name and n not in blocked) + (name.rpartition(".")[0],)
    scores = SCORES if name.endswith("ferrowind") else "None"  # the tables it builds, at work
    proc = run_python(IMPORT_FAULTS % {"name": name, "imported": imported, "blocked": blocked, "limit": MAX_FAULTS,
                                       "scores": scores})
    assert proc.returncode == 0, proc.stderr[-3000:]
    found = json.loads(proc.stdout)
    assert 0 < found["faults"] < MAX_FAULTS
    assert found["names"] == sorted(vars(sys.modules[name]))
    assert found["scores"] == json.loads(json.dumps(eval(scores, {"module": sys.modules[name]})))


# A fresh interpreter makes each call of a module's rows (its object made as
# part of it) with the k-th allocation failing, k = 0, 1, ... until the call
# makes fewer: the names and tables a module makes at its first use fail in
# turn, each failure ends in MemoryError (or a guard's result), and every call
# runs again afterwards.
FIRST_CALLS = """
    import functools, gc, json, logging, sys
    sys.path[:0] = %(path)r
    import test_faults as tf
    logging.disable(logging.CRITICAL)
    gc.disable()
    rows = [row for ident, rows in tf.CALLS.items() if ident.split(".")[0] == %(short)r for row in rows]
    faults = 0
    # Only the call itself is faulted: Python code failing for memory can trip
    # the debug interpreter's own checks (a comprehension's frame did).
    for make, what, args in rows:
        for k in range(tf.MAX_FAULTS):
            result, error, met = tf.faulted(tf.bound(make, what)[1], args, k, collect=False)
            if not met:
                break
            assert error is None or type(error) is MemoryError, repr(error)
            faults += 1
    # Then each callable by keyword, its parameter names made at first use.
    for target in [t for t in tf.TARGETS if t.id.split(".")[0] == %(short)r]:
        keywords = dict(zip(target.params, target.row()))
        seen = set()
        for k in range(tf.MAX_FAULTS):
            by_keyword = functools.partial(target.make(), **keywords)
            result, error, met = tf.faulted(by_keyword, (), k, collect=False)
            if not met:  # the call's own outcome, unfaulted
                assert seen <= {MemoryError, type(error)}, (target.id, seen, error)
                break
            faults += 1
            seen.add(type(error))
    for make, what, args in rows:  # each runs, after all that
        tf.bound(make, what)[1](*args)
    print(json.dumps({"faults": faults, "rows": len(rows)}))
"""


@pytest.mark.no_refleak("the calls run in a child process")
@pytest.mark.thread_unsafe(reason="a child process's sweep: run on more threads, it only repeats itself")
@pytest.mark.parametrize("short", [m.rpartition(".")[2] for m in MODULES])
def test_first_calls_under_allocation_failure(short):
    if short == "pellucor" and not IMPORTS_SURVIVE_FAILURE:  # its calls import modules
        pytest.skip(IMPORT_CRASH)
    path = [p for p in sys.path if p]
    proc = run_python(FIRST_CALLS % {"path": path, "short": short})
    assert proc.returncode == 0, proc.stderr[-3000:]
    found = json.loads(proc.stdout)
    assert found["faults"] > 0 and found["rows"] == sum(len(c) for i, c in CALLS.items() if i.split(".")[0] == short)


# ---------------------------------------------------------------------------
# Hostile callers.


class Boom(Exception):
    pass


class Lock:
    """A stand-in for threading.Lock whose __exit__ raises, returns a truthy
    value, or whose __enter__ raises, as `mode` says."""

    mode = "calm"  # while the objects called are made

    def __enter__(self):
        if Lock.mode == "enter raises":
            raise Boom("enter")
        return self

    def __exit__(self, *exc):
        if Lock.mode == "exit raises":
            raise Boom("exit")
        return Lock.mode == "exit swallows"

    acquire, release = __enter__, __exit__


LOCKED = (brindle, corvane, quillet, murrel, tessaly)


class RaisingEq:
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = object.__hash__


class RaisingStore:
    def get_metrics(self, func_id):
        raise Boom("get_metrics")


# Calls whose section fails under the lock, so that its __exit__ sees the error.
FAILING_INSIDE = [(tree, "delete", (64, RaisingEq())), (tessaly.Tessaly, "should_compile", ("f", RaisingStore())),
                  (tessaly.Tessaly, "update", ("f", RaisingStore()))]


@pytest.mark.thread_unsafe  # replaces the modules' threading
@pytest.mark.parametrize("mode", ["exit raises", "exit swallows", "enter raises", "no protocol"])
def test_hostile_locks(monkeypatch, caplog, mode):
    for mod in LOCKED:
        monkeypatch.setattr(mod, "threading", types.SimpleNamespace(Lock=Lock, RLock=Lock))
    monkeypatch.setattr(tessaly, "_policy_lock", Lock())
    allowed = (Boom, RuntimeError, *((TypeError, AttributeError) if mode == "no protocol" else ()))
    for ident, calls in [*CALLS.items(), ("failing inside", FAILING_INSIDE)]:
        for make, what, args in calls:
            _, call = bound(make, what)  # its data put in place under a lock that works
            with monkeypatch.context() as m:
                if mode == "no protocol":  # the lock's methods gone since it was made
                    for name in ("__enter__", "__exit__", "acquire", "release"):
                        m.delattr(Lock, name)
                m.setattr(Lock, "mode", mode)
                e = outcome(call, *args)
            assert not isinstance(e, Exception) or type(e) in allowed, (ident, mode, e)


NATIVE_MODULES = {m.__name__.rpartition(".")[2]: m for m in (corvane, brindle, quillet, tessaly, ferrowind, pellucor,
                                                               halvard, murrel, veldra)}


# The host modules a module imports at each call rather than holding.
IMPORTED_AT_CALL = {"quillet": ("struct",), "corvane": ("time",)}


@pytest.mark.thread_unsafe  # replaces the modules' globals
@pytest.mark.parametrize("short", NATIVE_MODULES)
def test_host_modules_failing(monkeypatch, caplog, short):
    """Each attribute read and call a module's calls make on the host modules
    it holds (os, sys, time, threading, ...) and on what they give out,
    raising in turn, then hostile: every call ends in a result or in the error
    raised, never a crash or a SystemError."""
    module = NATIVE_MODULES[short]
    hosts = {name: value for name, value in vars(module).items() if isinstance(value, types.ModuleType)}

    def runner(make, what, args):
        def run(steps):
            _, call = bound(make, what)
            with monkeypatch.context() as m:
                for name, real in hosts.items():
                    m.setattr(module, name, Env(real, name, steps))
                for name in IMPORTED_AT_CALL.get(short, ()):
                    m.setitem(sys.modules, name, Env(sys.modules[name], name, steps))
                e = outcome(call, *args)
            assert not isinstance(e, Exception) or type(e) in (EnvFault, ZeroDivisionError, TypeError,
                                                               AttributeError), (steps.bad, e)
        return run

    names = [n for n in vars(module) if not n.startswith("__")]
    for ident, calls in CALLS.items():
        if ident.split(".")[0] == short:
            for make, what, args in calls:
                each_step_failing(runner(make, what, args))
                for name in names:  # and each of the module's globals gone in turn
                    _, call = bound(make, what)
                    with monkeypatch.context() as m:
                        m.delattr(module, name)
                        outcome(call, *args)


def faulty_row(target, i):
    """The target's valid arguments, the i-th replaced by one whose every conversion raises."""
    row = target.row()
    row[i] = Hostile()
    return row


@pytest.mark.parametrize("target", [t for t in TARGETS if any(kind_of(t.owner, p) != "object" for p in t.params)],
                         ids=lambda t: t.id)
def test_each_parameter_failing_to_convert(target):
    for i, p in enumerate(target.params):
        if kind_of(target.owner, p) != "object":
            e = outcome(target, *faulty_row(target, i))
            assert type(e) in (ZeroDivisionError, TypeError), (p, e)


H = Hostile()


class Shortening(str):
    """A key equal to "cpu_intensity" whose comparison empties the history."""

    def __eq__(self, other):
        self.history.clear()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def shortened():
    key = Shortening("cpu_intensity")
    key.history = [{key: 0.5, "parallelization_potential": 0.5, "memory_intensity": 0.5}] * 10
    return (key.history,)


class Broken:
    """An iterable pair whose iteration raises after `at` items."""

    def __init__(self, at):
        self.at = at

    def __iter__(self):
        yield from (float(i) for i in range(self.at))
        raise ZeroDivisionError("half-way")


# Callers' objects that misbehave inside the call: an item failing half-way
# through a loop over the caller's data, and an override on a subclass that
# the native code must find and call, raising or giving the wrong type. Rows as
# in CALLS; arguments given by a function are made for the call, which changes them.
HOSTILE = [
    *((None, halvard.calculate_performance_trend, ([(0.0, 1.0), Broken(at), (2.0, 3.0)], 0.0)) for at in (0, 1, 2)),
    (None, halvard.calculate_performance_trend, ([(0.0, 1.0), (1.0, H), (2.0, 3.0)], 0.0)),
    (None, halvard.calculate_performance_trend, ([(0.0, 1.0), (H, 2.0), (2.0, 3.0)], 0.0)),
    (None, halvard.detect_performance_degradation, ([(0.0, 1.0)] * 3 + [(1.0, H)] + [(2.0, 1.0)] * 3, 1.0, 0.1, 0.0)),
    (None, halvard.predict_resource_requirements, ([(float(t), 1.0) for t in range(6)] + [(7.0, H)] * 6, 5.0)),
    (None, halvard.predict_resource_requirements, ([(H, 1.0)] + [(float(t), 1.0) for t in range(11)], 5.0)),
    *((None, halvard.detect_workload_characteristics_change, (PATTERNS[:5] + [{**PATTERNS[0], k: v}] + PATTERNS[:4],))
      for k, v in (("cpu_intensity", H), ("memory_intensity", "x"))),
    (None, halvard.detect_workload_characteristics_change, shortened),
    (None, halvard.detect_dominant_pattern, (["cpu", "io", 3, "cpu"], 4)),
    (None, veldra.estimate_allocation_bytes, ((4, H, 2), 4)),
    (None, veldra.compute_chunk_shapes, ((4096, H, 2), 4, 2**20)),
    (None, veldra.compute_chunk_shapes, ((H, 1024), 4, 2**20)),
    # The subclasses are made when the row runs, not when the table is built.
    *((lambda m=m: overriding(murrel.CounterAggregator, get_stats=m)(4), "get_all_stats", ())
      for m in (lambda self, i: {"id": i}, lambda self, i: 1 / 0)),
    (lambda: overriding(corvane.LockFreeStatistics, _update_peaks=lambda self, a, b: 1 / 0)(),  # noqa: PLW0108
     "record_allocation", (64,)),
    *((lambda check=check: overriding(brindle.FastRedBlackTree, _sanitize_size=check)(), what, args)
      for check in (lambda self, s: 1 / 0, lambda self, s: int("x"), lambda self, s: "x")
      for what, args in (("insert", (8, "b")), ("find_best_fit", (8,)), ("find_all_exact", (8,)),
                         ("delete", (8, "b")), ("remove_ge", (8,)))),
    *((lambda: overriding(brindle.FastRedBlackTree, size=lambda self: 1 / 0)(), what, ())  # noqa: PLW0108
      for what in ("__len__", "__bool__")),
]


@pytest.mark.thread_unsafe(reason="counts the references to arguments that the threads would share")
@pytest.mark.parametrize("make, what, args", HOSTILE)
def test_hostile_callers(make, what, args):
    obj, call = bound(make, what)
    fresh = callable(args)
    args = args() if fresh else args
    counts = [sys.getrefcount(a) for a in held(args)]
    e = outcome(call, *args)
    # The item's error is raised; an override may give a result.
    assert type(e) in (ZeroDivisionError, TypeError, ValueError, IndexError) or obj is not None and not isinstance(e, Exception), e
    assert fresh or [sys.getrefcount(a) for a in held(args)] == counts
