"""Python code that runs under an object's lock (a block's __eq__, a store's
get_metrics, a metrics attribute, a counter's store) and calls back into the
same object: a RuntimeError naming the method that holds the section, never a
hang, and never a walk over records another writer is changing, whatever
threading.Lock turns out to be."""

import random
import sys
import threading
import time
import types

import pytest
from support import run_python

from tarvish.jit import tessaly
from tarvish.memory import brindle, corvane
from tarvish.memory.brindle import FastRedBlackTree
from tarvish.memory.corvane import AtomicCounter, AtomicPointer, LockFreeStatistics
from tarvish.memory.quillet import FastBucketAllocator, FastStatsCollector
from tarvish.monitoring.murrel import CounterAggregator

pytestmark = pytest.mark.threads

HANG = 5.0  # seconds; a call that takes longer is taken to hang


def bounded(fn):
    """fn() on its own thread, joined with a timeout, so a hang fails the test
    instead of stopping the suite: ("ok", result) or ("raised", type, message)."""
    outcome = []

    def run():
        try:
            outcome.append(("ok", fn()))
        except BaseException as e:  # handed to the test's thread
            outcome.append(("raised", type(e), str(e)))

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(HANG)
    if worker.is_alive():
        pytest.fail(f"no answer within {HANG} s: the call hangs")
    return outcome[0]


def reentrant(method):
    return ("raised", RuntimeError, f"reentrant call inside {method}")


def concurrent(method):
    return ("raised", RuntimeError, f"concurrent call inside {method}: its lock let a second thread in")


class Callback:
    """Calls target(obj) when fired (not recursively), recording each outcome;
    re-raises the target's exception when `propagate`."""

    def __init__(self, target=None, propagate=False):
        self.target, self.propagate, self.seen, self.obj, self.busy = target, propagate, [], None, False

    def __call__(self):
        if self.target is None or self.obj is None or self.busy:
            return
        self.busy = True
        try:
            self.seen.append(("ok", self.target(self.obj)))
        except RuntimeError as e:
            self.seen.append(("raised", RuntimeError, str(e)))
            if self.propagate:
                raise
        finally:
            self.busy = False


class Hook:
    """A number whose conversions (kind "int"/"float") or == test (kind "eq") fire first."""

    def __init__(self, value, fire, kind):
        self.value, self.fire, self.kind = value, fire, kind

    def _convert(self, kind, as_type):
        if kind == self.kind:
            self.fire()
        return as_type(self.value)

    def __index__(self):
        return self._convert("int", int)

    __int__ = __index__

    def __float__(self):
        return self._convert("float", float)

    def __bool__(self):
        return self._convert("int", bool)

    def __eq__(self, other):
        if self.kind == "eq":
            self.fire()
        return self.value == other

    __hash__ = None


class Block:
    """A tree block whose == fires first and then compares identity."""

    def __init__(self, fire=None):
        self.fire = fire

    def __eq__(self, other):
        if self.fire:
            self.fire()
        return self is other

    __hash__ = object.__hash__


# ---------------------------------------------------------------------------
# The tree: a block's __eq__ runs under the writer lock in delete.

def tree_targets():
    victim = Block()
    return {
        "insert": lambda t: t.insert(1000, "x"),
        "delete": lambda t: t.delete(16, victim),
        "remove_ge": lambda t: t.remove_ge(0),
        "clear": lambda t: t.clear(),
        "get_size_distribution": lambda t: t.get_size_distribution(),
    }, victim


@pytest.mark.parametrize("propagate", [False, True], ids=["swallowed", "propagated"])
@pytest.mark.parametrize("target", list(tree_targets()[0]))
def test_tree_writer_reentered_from_eq(target, propagate):
    targets, victim = tree_targets()
    cb = Callback(targets[target], propagate)
    head, chained, other = Block(cb), Block(cb), Block()
    tree = cb.obj = FastRedBlackTree(sample_rate=2)
    for size, block in ((8, head), (8, chained), (16, victim), (24, other)):
        tree.insert(size, block)
    keep = [head, chained, victim, other]
    before = [sys.getrefcount(o) for o in keep]
    sampled = tree.get_stats()["sampled_operations"]

    outcome = bounded(lambda: tree.delete(8, chained))

    assert cb.seen and set(cb.seen) == {reentrant("FastRedBlackTree.delete")}
    assert outcome == (reentrant("FastRedBlackTree.delete") if propagate else ("ok", True))
    assert tree.find_all_exact(8) == ([head, chained] if propagate else [head])
    assert tree.get_size_distribution() == {8: 2 if propagate else 1, 16: 1, 24: 1}
    assert tree.find_all_exact(16) == [victim] and len(tree) == (4 if propagate else 3)
    # The refused insert left the sampling clock alone: the fifth insert is not sampled.
    tree.insert(32, "y")
    assert tree.get_stats()["sampled_operations"] == sampled
    if not propagate:
        before[1] -= 1  # the tree's reference to the deleted block
    assert [sys.getrefcount(o) for o in keep] == before


@pytest.mark.parametrize("call, result", [
    (lambda t: t.find_best_fit(0), None),          # readers find a write in progress and give up
    (lambda t: t.find_all_exact(8), []),
    (lambda t: t.get_stats()["node_count"], 2),    # the statistics lock guards another section
    (lambda t: t.reset_circuit_breaker(), None),
    (lambda t: t.size(), 2),
], ids=["find_best_fit", "find_all_exact", "get_stats", "reset_circuit_breaker", "size"])
def test_tree_readers_and_statistics_answer_inside_a_writer(call, result):
    cb = Callback(call)
    a, b = Block(cb), Block()
    tree = cb.obj = FastRedBlackTree()
    tree.insert(8, a), tree.insert(8, b)
    assert bounded(lambda: tree.delete(8, b)) == ("ok", True)
    assert cb.seen == [("ok", result)]


class PyCounter:
    """An AtomicCounter of the caller's. With `when` = (event, callback) the
    callback fires at "init", at "load", or at "increment" of the second
    counter made (a tree's sampled counter)."""

    made, when = [], None

    def __init__(self, value=0):
        self.value = value
        PyCounter.made.append(self)
        self.fire("init")

    def fire(self, event):
        if self.when and self.when[0] == event and (event != "increment" or self is self.made[1]):
            self.when[1]()

    def increment(self, delta=1):
        self.value += delta
        self.fire("increment")
        return self.value

    def load(self):
        self.fire("load")
        return self.value


@pytest.fixture
def py_counters(monkeypatch):
    monkeypatch.setattr(brindle, "AtomicCounter", PyCounter)
    PyCounter.made, PyCounter.when = [], None
    yield PyCounter
    PyCounter.made, PyCounter.when = [], None


# Sections that run a counter's code: insert (the sampled counter's increment)
# and clear (new counters made) under the writer lock; get_stats (the sampled
# counter's load) under the statistics lock.
COUNTER_SITES = {
    "insert": (lambda t: t.insert(8, "z"), "increment"),
    "clear": (lambda t: t.clear(), "init"),
    "get_stats": (lambda t: t.get_stats()["node_count"], "load"),
}
STATISTICS = {"get_stats": lambda t: t.get_stats()["node_count"],
              "reset_circuit_breaker": lambda t: t.reset_circuit_breaker()}


@pytest.mark.thread_unsafe  # replaces the module's AtomicCounter
@pytest.mark.parametrize("site", list(COUNTER_SITES))
@pytest.mark.parametrize("target", list(tree_targets()[0]) + list(STATISTICS))
def test_tree_reentered_from_a_counter(py_counters, site, target):
    # Each run counts its own counters (made[1] is this tree's sampled one), also when the leak mode repeats it.
    py_counters.made, py_counters.when = [], None
    targets, victim = tree_targets()
    targets.update(STATISTICS)
    tree = FastRedBlackTree(sample_rate=1)
    tree.insert(16, victim)
    outer, event = COUNTER_SITES[site]
    cb = Callback(targets[target])
    cb.obj = tree
    py_counters.when = (event, cb)
    outcome = bounded(lambda: outer(tree))
    py_counters.when = None

    assert outcome[0] == "ok"
    if (target in STATISTICS) == (site == "get_stats"):
        assert cb.seen and set(cb.seen) == {reentrant(f"FastRedBlackTree.{site}")}
    else:  # a section of the other lock: it runs
        assert cb.seen and all(o[0] == "ok" for o in cb.seen)
    if site == "insert":
        expected = {8: 1, 16: 1}
    elif site == "clear":
        expected = {}
    else:  # the writers ran inside get_stats
        expected = {"insert": {16: 1, 1000: 1}, "delete": {}, "remove_ge": {}, "clear": {}}.get(target, {16: 1})
    assert tree.get_size_distribution() == expected and len(tree) == len(expected)


@pytest.mark.parametrize("drop", [lambda t: t.clear(), lambda t: t.delete(8, "anything")], ids=["clear", "delete"])
def test_blocks_are_released_outside_the_writer_lock(drop):
    tree = FastRedBlackTree()
    seen = []

    class Dropped:
        def __eq__(self, other):
            return True

        __hash__ = object.__hash__

        def __del__(self):
            seen.append(tree.insert(64, "again"))

    tree.insert(8, Dropped())
    assert bounded(lambda: drop(tree))[0] == "ok"
    assert seen == [True] and tree.find_all_exact(64) == ["again"] and len(tree) == 1


# ---------------------------------------------------------------------------
# The policy: the store's get_metrics and the metrics' attributes and
# conversions run under its lock.

class Store:
    """Metrics call_count 500, compile_count 1, avg_speedup 3.0, last_compiled 0.0;
    the code at `site` ("get_metrics", "attr:<name>", "<kind>:<name>") fires."""

    VALUES = dict(call_count=500, compile_count=1, avg_speedup=3.0, last_compiled=0.0)

    def __init__(self, site=None, fire=None):
        self.site, self.fire = site, fire

    def get_metrics(self, func_id):
        if self.site == "get_metrics":
            self.fire()
        return Metrics(self)


class Metrics:
    def __init__(self, store):
        self.store = store

    def __getattr__(self, name):
        if name not in Store.VALUES:
            raise AttributeError(name)
        kind, _, field = (self.store.site or "").partition(":")
        if field != name:
            return Store.VALUES[name]
        if kind == "attr":
            self.store.fire()
            return Store.VALUES[name]
        return Hook(Store.VALUES[name], self.store.fire, kind)


POLICY_TARGETS = {
    "get_threshold": lambda p: p.get_threshold("f"),
    "should_compile": lambda p: p.should_compile("f", Store()),
    "update": lambda p: p.update("f", Store()),
    "get_statistics": lambda p: p.get_statistics(),
}
POLICY_SITES = [("should_compile", s) for s in ("get_metrics", "attr:call_count", "int:call_count",
                                                   "attr:compile_count", "int:compile_count",
                                                   "attr:last_compiled", "float:last_compiled")]
POLICY_SITES += [("update", s) for s in ("get_metrics", "attr:compile_count", "eq:compile_count",
                                           "int:compile_count", "attr:avg_speedup", "float:avg_speedup")]


@pytest.mark.parametrize("propagate", [False, True], ids=["swallowed", "propagated"])
@pytest.mark.parametrize("target", list(POLICY_TARGETS))
@pytest.mark.parametrize("outer, site", POLICY_SITES)
def test_policy_reentered_from_the_store(outer, site, target, propagate):
    policy = tessaly.Tessaly()
    cb = Callback(POLICY_TARGETS[target], propagate)
    cb.obj = policy
    store = Store(site, cb)
    before = sys.getrefcount(store)
    outcome = bounded(lambda: getattr(policy, outer)("f", store))

    assert cb.seen and set(cb.seen) == {reentrant(f"Tessaly.{outer}")}
    learned = outer == "update" and not propagate
    if propagate:
        assert outcome == reentrant(f"Tessaly.{outer}")
    else:
        assert outcome == ("ok", None if outer == "update" else True)
    assert policy.get_threshold("f") == (91 if learned else 100)
    assert policy.get_statistics()["tracked_functions"] == (1 if learned else 0)
    assert sys.getrefcount(store) == before


@pytest.mark.thread_unsafe  # empties the process-wide policy
@pytest.mark.parametrize("propagate", [False, True], ids=["swallowed", "propagated"])
def test_process_policy_reentered_from_its_construction(monkeypatch, propagate):
    cb = Callback(lambda _: tessaly.get_tessaly(), propagate)

    def lock():
        cb()
        return threading.Lock()

    tessaly.reset_tessaly()
    monkeypatch.setattr(tessaly, "threading", types.SimpleNamespace(Lock=lock))
    try:
        cb.obj = True
        outcome = bounded(tessaly.get_tessaly)
        cb.obj = None
        assert cb.seen == [reentrant("get_tessaly")]
        if propagate:
            assert outcome == reentrant("get_tessaly")
        else:
            assert isinstance(outcome[1], tessaly.Tessaly)
        assert bounded(tessaly.get_tessaly)[1] is bounded(tessaly.get_tessaly)[1]
    finally:
        tessaly.reset_tessaly()


# ---------------------------------------------------------------------------
# Allocation statistics: reset calls store(0) on whatever the attributes hold.

COUNTERS = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
            "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
            "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"]


class StoreCalls:
    """A counter attribute whose store fires first, then stores into a real counter."""

    def __init__(self, fire, value):
        self.fire, self.inner = fire, AtomicCounter(value)

    def store(self, value):
        self.fire()
        self.inner.store(value)

    def __getattr__(self, name):
        return getattr(self.inner, name)


@pytest.mark.parametrize("propagate", [False, True], ids=["swallowed", "propagated"])
@pytest.mark.parametrize("target, result", [
    (lambda s: s.reset(), reentrant("LockFreeStatistics.reset")),
    (lambda s: len(s.get_snapshot()), ("ok", 14)),  # takes no lock
], ids=["reset", "get_snapshot"])
@pytest.mark.parametrize("attribute", ["total_allocations", "bytes_reserved", "total_deallocation_time_ns"])
def test_statistics_reset_reentered_from_a_counter(attribute, target, result, propagate):
    stats = LockFreeStatistics()
    stats.record_allocation(100, True, 8, 50)
    stats.record_allocation(200, False, 0, 70)
    stats.record_deallocation(100, 30)
    cb = Callback(target, propagate)
    cb.obj = stats
    evil = StoreCalls(cb, 7)
    setattr(stats, attribute, evil)
    values = [getattr(stats, name).load() for name in COUNTERS]
    before = sys.getrefcount(evil)

    outcome = bounded(stats.reset)

    assert cb.seen == [result]
    after = [getattr(stats, name).load() for name in COUNTERS]
    if propagate and result[0] == "raised":
        assert outcome == result
        i = COUNTERS.index(attribute)  # the counters before it were reset, the others keep their values
        assert after == [0] * i + values[i:]
    else:
        assert outcome == ("ok", None) and after == [0] * len(COUNTERS)
    assert sys.getrefcount(evil) == before


# ---------------------------------------------------------------------------
# Callbacks that run before the lock is taken or after it is left: they may
# call any method of the object.

AGGREGATOR = [lambda a: a.update(1, 1.0), lambda a: a.get_stats(1), lambda a: a.reset(2), lambda a: a.reset_all(),
              lambda a: a.get_all_stats()]
COLLECTOR = [lambda s: s.py_record_allocation(8, 0, True), lambda s: s.py_record_deallocation(),
             lambda s: s.get_stats(), lambda s: s.reset_stats()]
ALLOCATOR = [lambda a: a.add_to_bucket(64, 16), lambda a: a.remove_from_bucket(16),
             lambda a: a.find_best_fit_bucket(8, 8)]
POINTER = [lambda p: p.load(), lambda p: p.get_version(), lambda p: p.compare_and_swap(None, None)]


class FiresWhenDropped:
    def __init__(self, fire):
        self.fire = fire

    def __del__(self):
        self.fire()


@pytest.mark.parametrize("make, outer, targets", [
    (CounterAggregator, lambda a, cb: a.update(Hook(0, cb, "int"), 2.0), AGGREGATOR),
    (CounterAggregator, lambda a, cb: a.update(0, Hook(2.0, cb, "float")), AGGREGATOR),
    (FastStatsCollector, lambda s, cb: s.py_record_allocation(Hook(8, cb, "int"), 0, True), COLLECTOR),
    (FastStatsCollector, lambda s, cb: s.py_record_allocation(8, 0, Hook(1, cb, "int")), COLLECTOR),
    (FastBucketAllocator, lambda a, cb: a.add_to_bucket(Hook(0, cb, "int"), 16), ALLOCATOR),
    (FastBucketAllocator, lambda a, cb: a.find_best_fit_bucket(8, Hook(8, cb, "int")), ALLOCATOR),
    (lambda: AtomicPointer(1), lambda p, cb: p.store(FiresWhenDropped(cb)) or p.store(2), POINTER),
    (lambda: AtomicPointer(1), lambda p, cb: p.store(FiresWhenDropped(cb)) or p.compare_and_swap(p.load(), 2), POINTER),
], ids=["aggregator-id", "aggregator-value", "collector-size", "collector-flag", "allocator-offset",
        "allocator-alignment", "pointer-store", "pointer-cas"])
def test_callbacks_outside_the_lock_may_call_anything(make, outer, targets):
    obj = make()
    cb = Callback(lambda o: [t(o) for t in targets])
    cb.obj = obj
    outcome = bounded(lambda: outer(obj, cb))
    assert outcome[0] == "ok", outcome
    assert cb.seen and all(o[0] == "ok" for o in cb.seen), cb.seen


# ---------------------------------------------------------------------------
# Memory safety whatever the lock object is.

class NoLock:
    """A stand-in for threading.Lock that locks nothing."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def acquire(self, *args):
        return True

    def release(self):
        pass


def while_inside(start, others):
    """Runs start(wait) on a second thread; wait() blocks its callback until
    `others` (called on this thread meanwhile) are done. Returns both outcomes."""
    inside, done = threading.Event(), threading.Event()

    def wait():
        inside.set()
        done.wait(HANG)

    holder = []
    worker = threading.Thread(target=lambda: holder.append(bounded(lambda: start(wait))), daemon=True)
    worker.start()
    assert inside.wait(HANG), "the first call never got inside"
    try:
        results = [bounded(call) for call in others]
    finally:
        done.set()
    worker.join(2 * HANG)
    return holder[0], results


@pytest.fixture
def no_locks(monkeypatch):
    fake = types.SimpleNamespace(Lock=NoLock)
    for mod in (brindle, tessaly, corvane):
        monkeypatch.setattr(mod, "threading", fake)


@pytest.mark.thread_unsafe  # replaces the modules' threading
def test_a_lock_that_excludes_nothing_lets_no_second_thread_in(no_locks):
    tree = FastRedBlackTree()
    a, b = Block(), Block()
    tree.insert(8, a), tree.insert(8, b), tree.insert(16, "c")

    def start(wait):
        a.fire = wait
        return tree.delete(8, b)

    first, others = while_inside(start, [lambda f=f: f(tree) for f in tree_targets()[0].values()])
    assert first == ("ok", True)
    assert others == [concurrent("FastRedBlackTree.delete")] * 5
    assert tree.get_size_distribution() == {8: 1, 16: 1} and tree.find_all_exact(8) == [a]

    policy = tessaly.Tessaly()
    first, others = while_inside(lambda wait: policy.should_compile("f", Store("get_metrics", wait)),
                                 [lambda f=f: f(policy) for f in POLICY_TARGETS.values()])
    assert first == ("ok", True)
    assert others == [concurrent("Tessaly.should_compile")] * 4
    assert policy.get_statistics()["tracked_functions"] == 0

    stats = LockFreeStatistics()
    stats.record_allocation(64)
    first, others = while_inside(lambda wait: (setattr(stats, "bytes_reserved", StoreCalls(wait, 5)), stats.reset()),
                                 [stats.reset])
    assert first == ("ok", (None, None)) and others == [concurrent("LockFreeStatistics.reset")]
    assert set(stats.get_snapshot().values()) == {0, "0.0%", "lock-free C11 atomics"}


@pytest.mark.thread_unsafe  # replaces the module's threading
def test_writers_racing_through_a_lock_that_excludes_nothing(no_locks):
    tree = FastRedBlackTree()
    refused = []

    class Yielding:
        def __eq__(self, other):
            time.sleep(0)  # lets the other thread run inside the comparison
            return self is other

        __hash__ = object.__hash__

    def writer(seed):
        rng = random.Random(seed)
        mine = []
        for _ in range(300):
            try:
                op = rng.random()
                if op < 0.5 or not mine:
                    block = Yielding()
                    tree.insert(rng.choice((8, 16, 24)), block)
                    mine.append(block)
                elif op < 0.9:
                    block = mine.pop(rng.randrange(len(mine)))
                    for size in (8, 16, 24):
                        tree.delete(size, block)
                elif op < 0.97:
                    tree.remove_ge(rng.choice((0, 16)))
                else:
                    tree.clear()
            except RuntimeError as e:
                refused.append(str(e))

    threads = [threading.Thread(target=writer, args=(seed,), daemon=True) for seed in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10 * HANG)
    assert not any(t.is_alive() for t in threads), "a writer hangs"
    assert refused and all(m.startswith("concurrent call inside FastRedBlackTree.") for m in refused)
    distribution = tree.get_size_distribution()
    assert sum(distribution.values()) == len(tree) == sum(len(tree.find_all_exact(s)) for s in (8, 16, 24))


RLOCK_SCRIPT = """
import threading, _thread
threading.Lock = {lock}
from tarvish.memory.brindle import FastRedBlackTree

class Block:
    def __init__(self, action=None):
        self.action = action
    def __eq__(self, other):
        if self.action:
            action, self.action = self.action, None
            try:
                action(self)
            except RuntimeError as e:
                print(e)
        return self is other
    __hash__ = object.__hash__

tree = FastRedBlackTree()
others = [Block() for _ in range(20)]
for i, b in enumerate(others):
    tree.insert(8 * (i % 5), b)
target = Block({action})
tree.insert(8, target)  # right behind the head of 8: compared first, more entries after it
print(tree.delete(8, target), len(tree), sorted(tree.get_size_distribution().items()))
"""


# threading.RLock is a factory function, _thread.RLock the lock type itself.
@pytest.mark.parametrize("lock", ["threading.RLock", "_thread.RLock"])
@pytest.mark.parametrize("action", ["lambda self: tree.clear()", "lambda self: tree.delete(8, self)"])
def test_reentrant_lock_objects_cannot_free_what_delete_walks(lock, action):
    proc = run_python(RLOCK_SCRIPT.format(lock=lock, action=action))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["reentrant call inside FastRedBlackTree.delete",
                                        "True 20 [(0, 4), (8, 4), (16, 4), (24, 4), (32, 4)]"]
