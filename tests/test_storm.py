"""Storms: six threads mix one stateful object's methods for about a second,
then the invariants its locks and atomics promise are checked. On the
free-threaded build, with the GIL off, the threads really run at once.

Each row makes its objects and returns ``(work, check)``: ``work(i, rng, tally)``
does one random step on thread ``i`` and notes what it did in its own
``tally`` (a Counter); ``check(t)`` gets the tallies added up once every thread
has ended. Items put in are noted as ("in", item), taken out as ("out", item)."""

import math
import random
import threading
import time
from collections import Counter

import pytest

from tarvish.jit import tessaly
from tarvish.jit.telemetry import TelemetryStore
from tarvish.memory import brindle, corvane, quillet
from tarvish.monitoring.murrel import CounterAggregator
from tarvish.plugins.analyzer import halvard

pytestmark = pytest.mark.threads

THREADS = 6
SECONDS = 1.0
ROWS = {}


def row(fn):
    ROWS[fn.__name__] = fn
    return fn


def storm(work, seconds=SECONDS):
    """Runs `work` on THREADS threads for `seconds`; returns their tallies added
    up. Every thread must end within a minute of the deadline (no call hangs)."""
    start, errors = threading.Barrier(THREADS), []
    tallies = [Counter() for _ in range(THREADS)]

    def run(i):
        rng = random.Random(i)
        try:
            start.wait()
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                for _ in range(20):
                    work(i, rng, tallies[i])
        except BaseException as e:  # handed to the test's thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + 60)
    assert not any(t.is_alive() for t in threads), "a call did not finish"
    if errors:
        raise errors[0]
    out = Counter()
    for t in tallies:
        out.update(t)  # keeps negative sums, which Counter's + drops
    return out


def conserved(t, rest):
    """Nothing lost or duplicated: what was taken out and what is left are what was put in."""
    put, out = ({k[1]: v for k, v in t.items() if k[0] == side} for side in ("in", "out"))
    assert Counter(out) + Counter(rest) == Counter(put)


def drained(take):
    rest = []
    while (item := take()) is not None:
        rest.append(item)
    return rest


class Block:
    __slots__ = ("size", "__weakref__")

    def __init__(self, size):
        self.size = size


@row
def counter():
    objs = corvane.AtomicCounter(0), corvane.AtomicCounterWrapper(0)

    def work(i, rng, tally):
        obj, k, step = objs[i % 2], rng.randrange(1, 9), rng.randrange(4)
        if step == 3:
            v = obj.load()
            k = 3 * obj.compare_and_swap(v, v + 3)
        else:
            (obj.increment, obj.decrement, obj.fetch_and_add)[step](k)
        tally[i % 2] += -k if step == 1 else k

    def check(t):
        assert [o.load() for o in objs] == [t[0], t[1]]
    return work, check


def torn(snap):
    """Whether a snapshot's ratio text is not that of its own two figures."""
    n = snap["total_allocations"]
    return snap["bucketed_allocation_ratio"] != (f"{snap['bucketed_allocations'] / n * 100.0:.1f}%" if n else "0.0%")


@row
def statistics():
    s, other = corvane.LockFreeStatistics(), corvane.LockFreeStatistics()

    def work(i, rng, tally):
        size, bucketed, step = rng.randrange(1, 4096), rng.random() < 0.5, rng.randrange(4)
        if i < 4:  # record on s: each step's effect is tallied
            if step < 2:
                s.record_allocation(size, bucketed, 2, 2) if step == 0 else s.py_record_allocation(size, bucketed)
                tally.update(allocs=1, bytes=size, bucketed=bucketed * (step == 0), fallback=(not bucketed) * (step == 0))
            else:
                (s.record_deallocation, s.py_record_deallocation)[step - 2](size)
                tally.update(deallocs=1, bytes=-size)
        elif i == 4:
            tally["torn"] += torn(s.get_snapshot()) + torn(other.get_snapshot())
        elif step == 0:  # counters replaced, reset and recorded on the other object
            setattr(other, rng.choice(["total_allocations", "bucketed_allocations"]), corvane.AtomicCounter(7))
        else:
            other.reset() if step == 1 else other.record_allocation(size, bucketed)

    def check(t):
        snap = s.get_snapshot()
        assert t["torn"] == 0
        assert [snap[k] for k in ("total_allocations", "total_deallocations", "bytes_allocated")] == [
            t["allocs"], t["deallocs"], t["bytes"]]
        assert snap["current_allocations"] == t["allocs"] - t["deallocs"]
        assert (snap["bucketed_allocations"], snap["fallback_allocations"]) == (t["bucketed"], t["fallback"])
    return work, check


@row
def pointer():
    values = [object() for _ in range(8)]
    p = corvane.AtomicPointer(values[0])

    def work(i, rng, tally):
        step = rng.randrange(3)
        if step == 0:
            p.store(rng.choice(values))
            tally["changes"] += 1
        elif step == 1:
            tally["changes"] += p.compare_and_swap(p.load(), rng.choice(values))
        else:
            got = p.load()
            assert any(got is v for v in values)

    def check(t):
        assert p.get_version() == t["changes"]
    return work, check


@row
def stack():
    s = corvane.LockFreeStack()

    def work(i, rng, tally):
        if rng.random() < 0.55:
            tally["n"] += 1
            s.push((i, tally["n"]))
            tally["in", (i, tally["n"])] += 1
        elif (item := s.pop()) is not None:
            tally["out", item] += 1
        assert s.size() >= 0

    def check(t):
        conserved(t, drained(s.pop))
        assert s.size() == 0 and s.is_empty()
    return work, check


@row
def timer():
    t = corvane.PerformanceTimer()

    def work(i, rng, tally):
        t.start() if rng.random() < 0.3 else t.elapsed_ns() + t.elapsed_ms()

    return work, lambda t: None


@row
def tree():
    t, churned = brindle.FastRedBlackTree(sample_rate=3), brindle.FastRedBlackTree(sample_rate=1)
    made = {}  # every block stays alive, so that its id stays its own
    sizes = [8 << k for k in range(10)]

    def seen(block, size):
        assert block is None or (made.get(id(block)) is block and block.size >= size)

    def work(i, rng, tally):
        size, step = rng.choice(sizes), rng.randrange(4)
        if i >= 3:  # readers, and a thread that reads the statistics and churns a tree of its own
            if i < 5:
                seen(t.find_best_fit(size, rng.choice([1, 8, 64])), size)
                [seen(b, size) for b in t.find_all_exact(size)]
            elif step == 0:
                assert t.get_stats()["total_blocks"] >= 0
            else:
                churned.clear() if step == 1 else churned.insert(size, Block(size))
        elif step < 2:
            b = Block(size + rng.randrange(8))
            made[id(b)] = b
            t.insert(b.size, b)
            tally["in", id(b)] += 1
        elif step == 2:
            got_size, b = t.remove_ge(size)
            assert b is None or got_size == b.size >= size
            tally["out", id(b)] += b is not None
        elif (b := t.find_best_fit(size)) is not None and t.delete(b.size, b):
            tally["out", id(b)] += 1

    def check(tallies):
        left = t.size()
        rest = [id(b) for b in drained(lambda: t.remove_ge(1)[1])]
        assert left == len(rest)
        conserved(+tallies, rest)
        assert t.size() == 0 and t.get_stats()["total_blocks"] == 0
    return work, check


@row
def buckets():
    a, other = quillet.FastBucketAllocator(), quillet.FastBucketAllocator()
    sizes = [8, 16, 64, 256, 264, 1024, 4096]

    def work(i, rng, tally):
        size, step = rng.choice(sizes), rng.randrange(3)
        if i == 5:  # the other allocator's buckets made anew beside its own use
            other._init_buckets() if step == 0 else other.add_to_bucket(64 * rng.randrange(100), size)
            assert (got := other.find_best_fit_bucket(size, 8)) is None or got % 64 == 0
        elif step == 0:
            tally["n"] += 1
            offset = (tally["n"] * THREADS + i) * 64
            assert a.add_to_bucket(offset, size)
            tally["in", offset] += 1
        elif (got := a.remove_from_bucket(size) if step == 1 else a.find_best_fit_bucket(size, 64)) is not None:
            tally["out", got] += 1

    def check(t):
        conserved(t, [got for size in sizes for got in drained(lambda size=size: a.remove_from_bucket(size))])
    return work, check


@row
def stats_collector():
    c = quillet.FastStatsCollector()

    def work(i, rng, tally):
        bucketed, padding = rng.random() < 0.5, rng.randrange(4)
        if rng.random() < 0.7:
            c.py_record_allocation(rng.randrange(1, 100), padding, bucketed)
            tally.update(allocs=1, bucketed=bucketed, padding=padding)
        elif bucketed:
            c.py_record_deallocation()
            tally["deallocs"] += 1
        else:
            assert c.get_stats()["total_allocations"] >= 0

    def check(t):
        stats = c.get_stats()
        assert [stats[k] for k in ("total_allocations", "total_deallocations", "bucketed_allocations",
                                   "fallback_allocations", "alignment_padding_bytes")] == [
            t["allocs"], t["deallocs"], t["bucketed"], t["allocs"] - t["bucketed"], t["padding"]]
    return work, check


@row
def slab_header():
    h = quillet.FastSlabHeaderOps(3, 64)
    packed = [h.pack_header()]

    def work(i, rng, tally):
        k, step = rng.randrange(64), rng.randrange(5)
        if step < 2:
            (h.py_allocate_object_at, h.py_deallocate_object_at)[step](k)
        elif step == 2:
            assert -1 <= h.py_find_free_object() < 64 and h.py_is_object_free(k) in (True, False)
        elif step == 3:
            packed.append(h.pack_header())
            assert len(packed[-1]) == 16
        else:
            h.unpack_header(packed[-1])

    return work, lambda t: None


@row
def aggregator():
    agg = CounterAggregator(64)

    def work(i, rng, tally):
        cid, value = rng.randrange(32), float(rng.randrange(-50, 50))
        if i < 5:
            agg.update(cid, value)
            tally.update({(cid, "n"): 1, (cid, "sum"): value, (cid, value): 1})
            assert agg.get_stats(cid)["count"] >= 1
        else:  # counters of its own, updated and reset
            agg.update(32 + cid, 1.0) if rng.random() < 0.6 else agg.reset(32 + cid)
            assert len(agg.get_all_stats()) <= 64

    def check(t):
        for cid in range(32):
            stats, seen = agg.get_stats(cid), [v for (c, v), n in t.items() if c == cid and n and isinstance(v, float)]
            assert stats["count"] == t[cid, "n"]
            if seen:
                assert (stats["min"], stats["max"]) == (min(seen), max(seen))
                assert math.isclose(stats["mean"], t[cid, "sum"] / t[cid, "n"], abs_tol=1e-9)
    return work, check


@row
def policy():
    config = tessaly.PolicyConfig(initial_threshold=50, min_threshold=10, max_threshold=500)
    policy, names = tessaly.Tessaly(config), [f"f{k}" for k in range(16)]
    stores = [TelemetryStore() for _ in range(THREADS)]

    def work(i, rng, tally):
        name, store, step = rng.choice(names), stores[i], rng.randrange(5)
        if step == 0:
            store.record_call(name)
            policy.should_compile(name, store)
        elif step == 1:
            store.record_compile(name, speedup=rng.choice([0.5, 1.0, 3.0, 5.0]))
            policy.update(name, store)
        elif step == 2:  # a shared config written while the policy reads it; its bounds stay
            config.learning_rate, config.target_speedup = rng.choice([0.05, 0.2]), rng.choice([1.5, 2.0])
        stats = policy.get_statistics()
        assert stats["min_threshold"] <= stats["avg_threshold"] <= stats["max_threshold"]
        assert 10 <= policy.get_threshold(name) <= 500

    def check(t):
        assert policy.get_statistics()["tracked_functions"] <= len(names)
    return work, check


@row
def singleton():
    made = set()

    def work(i, rng, tally):
        if i == 0 and rng.random() < 0.02:
            tessaly.reset_tessaly()
            tally["resets"] += 1
        p = tessaly.get_tessaly()
        assert isinstance(p, tessaly.Tessaly)
        made.add(p)

    def check(t):
        assert len(made) <= t["resets"] + 1  # one policy before the first reset, at most one after each
        tessaly.reset_tessaly()
    return work, check


@row
def config_fields():
    config, metrics = tessaly.PolicyConfig(), tessaly.FunctionMetrics()
    written = {"min_threshold": {10, 20, 30}, "max_threshold": {10000, 2000}, "learning_rate": {0.1, 0.25}}

    def work(i, rng, tally):
        name = rng.choice(list(written))
        if i < 3:
            setattr(config, name, rng.choice(sorted(written[name])))
            metrics.call_count, metrics.avg_speedup = rng.randrange(10), rng.choice([1.0, 2.5])
        else:
            assert getattr(config, name) in written[name]
            assert metrics.call_count in range(10) and metrics.avg_speedup in (1.0, 2.5)
            assert isinstance(tessaly.Tessaly(config).get_threshold("f"), int)

    return work, lambda t: None


@row
def shared_lists():
    history = [(k * 0.1, 100 - k % 17) for k in range(200)]
    patterns = [{"parallelization_potential": 0.5, "cpu_intensity": 0.4, "memory_intensity": 0.1}] * 12
    names = ["cpu", "io", "mixed"] * 10

    def work(i, rng, tally):
        if i == 0:  # the one thread that changes the lists' lengths
            for lst, item in ((history, (rng.random(), 99)), (patterns, {}), (names, "io")):
                lst.pop(rng.randrange(len(lst))) if rng.random() < 0.5 and len(lst) > 4 else lst.append(item)
                lst[rng.randrange(len(lst))] = item
            return
        assert -1.0 <= halvard.calculate_performance_trend(history, 0.0) <= 1.0
        assert halvard.detect_performance_degradation(history, 120.0, 0.15, 0.0) in (True, False)
        assert halvard.detect_dominant_pattern(names, 5) in ("cpu", "io", "mixed")
        # These two read an entry by its place after reading the length, as
        # Python code would: a list shortened in between raises IndexError.
        for call, args, size in ((halvard.predict_resource_requirements, (history, 60.0), 3),
                                 (halvard.detect_workload_characteristics_change, (patterns,), 4)):
            try:
                assert len(call(*args)) == size
            except IndexError:
                tally["shortened"] += 1

    return work, lambda t: None


@pytest.mark.thread_unsafe  # a storm runs its own threads
@pytest.mark.no_refleak("a storm's threads interleave at random; the plain runs check it")
@pytest.mark.parametrize("name", ROWS)
def test_storm(name):
    work, check = ROWS[name]()
    check(storm(work))
