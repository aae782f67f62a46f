"""Storms: six threads mix one stateful object's methods for about a second,
then the invariants its locks and atomics promise are checked. On the
free-threaded build, with the GIL off, the threads really run at once.

Each row makes its objects and returns ``(work, check)``: ``work(i, rng, tally)``
does one random step on thread ``i`` and notes what it did in its own
``tally`` (a Counter); ``check(tallies)`` runs after every thread has ended."""

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

THREADS = 6
SECONDS = 1.0
ROWS = {}


def row(fn):
    ROWS[fn.__name__] = fn
    return fn


def storm(work, seconds=SECONDS):
    """Runs `work` on THREADS threads for `seconds`; returns their tallies.
    Every thread must end within a minute of the deadline (no call hangs)."""
    start = threading.Barrier(THREADS)
    tallies = [Counter() for _ in range(THREADS)]
    errors = []

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
    return tallies


def total(tallies):
    out = Counter()
    for t in tallies:
        out.update(t)  # keeps negative sums, which Counter's + drops
    return out


class Block:
    __slots__ = ("size", "__weakref__")

    def __init__(self, size):
        self.size = size


@row
def counter():
    c = corvane.AtomicCounter(0)
    w = corvane.AtomicCounterWrapper(0)

    def work(i, rng, tally):
        k = rng.randrange(1, 9)
        obj = c if i % 2 else w
        step = rng.randrange(4)
        if step == 0:
            obj.increment(k)
        elif step == 1:
            obj.decrement(k)
            k = -k
        elif step == 2:
            obj.fetch_and_add(k)
        else:
            v = obj.load()
            k = 3 if obj.compare_and_swap(v, v + 3) else 0
        tally[obj is c] += k

    def check(tallies):
        t = total(tallies)
        assert (c.load(), w.load()) == (t[True], t[False])
    return work, check


def ratio_text(snap):
    n = snap["total_allocations"]
    return f"{snap['bucketed_allocations'] / n * 100.0:.1f}%" if n > 0 else "0.0%"


@row
def statistics():
    s, other = corvane.LockFreeStatistics(), corvane.LockFreeStatistics()

    def work(i, rng, tally):
        size = rng.randrange(1, 4096)
        if i < 4:
            step = rng.randrange(4)
            bucketed = rng.random() < 0.5
            if step == 0:
                s.record_allocation(size, bucketed, rng.randrange(3), rng.randrange(3))
                tally.update(allocs=1, bytes=size, bucketed=bucketed, fallback=not bucketed)
            elif step == 1:
                s.py_record_allocation(size, bucketed)
                tally.update(allocs=1, bytes=size)
            elif step == 2:
                s.record_deallocation(size)
                tally.update(deallocs=1, bytes=-size)
            else:
                s.py_record_deallocation(size)
                tally.update(deallocs=1, bytes=-size)
        elif i == 4:
            for obj in (s, other):
                snap = obj.get_snapshot()
                tally["torn"] += snap["bucketed_allocation_ratio"] != ratio_text(snap)
        else:
            step = rng.randrange(4)
            if step == 0:
                name = rng.choice(["total_allocations", "bucketed_allocations", "current_allocations"])
                setattr(other, name, corvane.AtomicCounter(rng.randrange(100)))
            elif step == 1:
                other.reset()
            else:
                other.record_allocation(size, rng.random() < 0.5)
                snap = other.get_snapshot()
                tally["torn"] += snap["bucketed_allocation_ratio"] != ratio_text(snap)

    def check(tallies):
        t = total(tallies)
        snap = s.get_snapshot()
        assert t["torn"] == 0
        assert (snap["total_allocations"], snap["total_deallocations"]) == (t["allocs"], t["deallocs"])
        assert snap["current_allocations"] == t["allocs"] - t["deallocs"]
        assert snap["bytes_allocated"] == t["bytes"]
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

    def check(tallies):
        assert p.get_version() == total(tallies)["changes"]
    return work, check


@row
def stack():
    s = corvane.LockFreeStack()
    pushed, popped = [Counter() for _ in range(THREADS)], [Counter() for _ in range(THREADS)]

    def work(i, rng, tally):
        if rng.random() < 0.55:
            tally["n"] += 1
            item = (i, tally["n"])
            s.push(item)
            pushed[i][item] += 1
        else:
            item = s.pop()
            if item is not None:
                popped[i][item] += 1
        assert s.size() >= 0

    def check(tallies):
        rest = Counter()
        while (item := s.pop()) is not None:
            rest[item] += 1
        assert total(popped) + rest == total(pushed)
        assert s.size() == 0 and s.is_empty()
    return work, check


@row
def timer():
    t = corvane.PerformanceTimer()

    def work(i, rng, tally):
        if rng.random() < 0.3:
            t.start()
        else:
            assert isinstance(t.elapsed_ns(), int) and isinstance(t.elapsed_ms(), float)

    return work, lambda tallies: None


@row
def tree():
    t, churned = brindle.FastRedBlackTree(sample_rate=3), brindle.FastRedBlackTree(sample_rate=1)
    inserted, removed = set(), [Counter() for _ in range(THREADS)]
    kept = [[] for _ in range(THREADS)]  # every block stays alive, so that its id stays its own
    sizes = [8 << k for k in range(10)]

    def seen(block, size):
        assert block is None or (id(block) in inserted and block.size >= size)

    def work(i, rng, tally):
        size = rng.choice(sizes)
        if i < 3:
            step = rng.randrange(3)
            if step == 0:
                b = Block(size + rng.randrange(8))
                inserted.add(id(b))
                t.insert(b.size, b)
                tally["blocks"] += 1
                kept[i].append(b)
            elif step == 1:
                got_size, b = t.remove_ge(size)
                if b is not None:
                    assert got_size == b.size >= size
                    removed[i][id(b)] += 1
            else:
                b = t.find_best_fit(size)
                if b is not None and t.delete(b.size, b):
                    removed[i][id(b)] += 1
        elif i < 5:
            seen(t.find_best_fit(size, rng.choice([1, 8, 64])), size)
            for b in t.find_all_exact(size):
                seen(b, size)
        else:
            step = rng.randrange(4)
            if step == 0:
                assert t.get_stats()["total_blocks"] >= 0
            elif step == 1:
                churned.clear()
            else:
                churned.insert(size, Block(size))
                churned.find_best_fit(size)

    def check(tallies):
        rest = Counter()
        left = t.size()
        while (b := t.remove_ge(1)[1]) is not None:
            rest[id(b)] += 1
        assert left == sum(rest.values())
        done = total(removed) + rest
        assert set(done.values()) == {1} and len(done) == total(tallies)["blocks"]
        assert t.size() == 0 and t.get_stats()["total_blocks"] == 0
    return work, check


@row
def buckets():
    a, other = quillet.FastBucketAllocator(), quillet.FastBucketAllocator()
    added, taken = [Counter() for _ in range(THREADS)], [Counter() for _ in range(THREADS)]
    sizes = [8, 16, 64, 256, 264, 1024, 4096]

    def work(i, rng, tally):
        size = rng.choice(sizes)
        if i < 5:
            step = rng.randrange(3)
            if step == 0:
                tally["n"] += 1
                offset = (tally["n"] * THREADS + i) * 64
                assert a.add_to_bucket(offset, size)
                added[i][offset] += 1
            else:
                got = a.remove_from_bucket(size) if step == 1 else a.find_best_fit_bucket(size, 64)
                if got is not None:
                    taken[i][got] += 1
        else:
            step = rng.randrange(3)
            if step == 0:
                other._init_buckets()
            elif step == 1:
                other.add_to_bucket(64 * rng.randrange(100), size)
            else:
                got = other.find_best_fit_bucket(size, 8)
                assert got is None or got % 64 == 0

    def check(tallies):
        rest = Counter()
        for size in sizes:
            while (got := a.remove_from_bucket(size)) is not None:
                rest[got] += 1
        assert total(taken) + rest == total(added)
    return work, check


@row
def stats_collector():
    c = quillet.FastStatsCollector()

    def work(i, rng, tally):
        if rng.random() < 0.7:
            bucketed = rng.random() < 0.5
            padding = rng.randrange(4)
            c.py_record_allocation(rng.randrange(1, 100), padding, bucketed)
            tally.update(allocs=1, bucketed=bucketed, padding=padding)
        elif rng.random() < 0.5:
            c.py_record_deallocation()
            tally["deallocs"] += 1
        else:
            assert c.get_stats()["total_allocations"] >= 0

    def check(tallies):
        t, stats = total(tallies), c.get_stats()
        assert (stats["total_allocations"], stats["total_deallocations"]) == (t["allocs"], t["deallocs"])
        assert (stats["bucketed_allocations"], stats["fallback_allocations"]) == (t["bucketed"], t["allocs"] - t["bucketed"])
        assert stats["alignment_padding_bytes"] == t["padding"]
    return work, check


@row
def slab_header():
    h = quillet.FastSlabHeaderOps(3, 64)
    packed = [h.pack_header()]

    def work(i, rng, tally):
        k = rng.randrange(64)
        step = rng.randrange(5)
        if step == 0:
            h.py_allocate_object_at(k)
        elif step == 1:
            h.py_deallocate_object_at(k)
        elif step == 2:
            assert -1 <= h.py_find_free_object() < 64 and h.py_is_object_free(k) in (True, False)
        elif step == 3:
            data = h.pack_header()
            assert len(data) == 16
            packed.append(data)
        else:
            h.unpack_header(packed[-1])

    return work, lambda tallies: None


@row
def aggregator():
    agg = CounterAggregator(64)

    def work(i, rng, tally):
        if i < 5:
            cid, value = rng.randrange(32), float(rng.randrange(-50, 50))
            agg.update(cid, value)
            tally[cid, "n"] += 1
            tally[cid, "sum"] += value
            tally[cid, "min"] = min(tally.get((cid, "min"), value), value)
            tally[cid, "max"] = max(tally.get((cid, "max"), value), value)
            assert agg.get_stats(cid)["count"] >= 1
        else:
            cid = 32 + rng.randrange(32)
            agg.update(cid, 1.0) if rng.random() < 0.6 else agg.reset(cid)
            if rng.random() < 0.05:
                assert len(agg.get_all_stats()) <= 64

    def check(tallies):
        for cid in range(32):
            parts = [t for t in tallies if (cid, "n") in t]
            n = sum(t[cid, "n"] for t in parts)
            stats = agg.get_stats(cid)
            assert stats["count"] == n
            if n:
                assert stats["min"] == min(t[cid, "min"] for t in parts)
                assert stats["max"] == max(t[cid, "max"] for t in parts)
                assert math.isclose(stats["mean"], sum(t[cid, "sum"] for t in parts) / n, abs_tol=1e-9)
    return work, check


@row
def policy():
    config = tessaly.PolicyConfig(initial_threshold=50, min_threshold=10, max_threshold=500)
    policy = tessaly.Tessaly(config)
    stores = [TelemetryStore() for _ in range(THREADS)]
    names = [f"f{k}" for k in range(16)]

    def work(i, rng, tally):
        name, store = rng.choice(names), stores[i]
        step = rng.randrange(5)
        if step == 0:
            store.record_call(name)
            policy.should_compile(name, store)
        elif step == 1:
            store.record_compile(name, speedup=rng.choice([0.5, 1.0, 3.0, 5.0]))
            policy.update(name, store)
        elif step == 2:
            assert 10 <= policy.get_threshold(name) <= 500
        elif step == 3:
            # A shared config is written while the policies read it: the bounds stay as they were.
            config.learning_rate = rng.choice([0.05, 0.1, 0.2])
            config.target_speedup = rng.choice([1.5, 2.0])
        else:
            stats = policy.get_statistics()
            assert stats["min_threshold"] <= stats["avg_threshold"] <= stats["max_threshold"]

    def check(tallies):
        assert policy.get_statistics()["tracked_functions"] <= len(names)
        assert all(10 <= policy.get_threshold(n) <= 500 for n in names)
    return work, check


@row
def singleton():
    made = [set() for _ in range(THREADS)]

    def work(i, rng, tally):
        if i == 0 and rng.random() < 0.02:
            tessaly.reset_tessaly()
            tally["resets"] += 1
        p = tessaly.get_tessaly()
        assert isinstance(p, tessaly.Tessaly)
        made[i].add(p)

    def check(tallies):
        # At most one policy per reset, and one before the first.
        assert len(set().union(*made)) <= total(tallies)["resets"] + 1
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
            metrics.call_count = rng.randrange(10)
            metrics.avg_speedup = rng.choice([1.0, 2.5])
        else:
            assert getattr(config, name) in written[name]
            assert metrics.call_count in range(10) and metrics.avg_speedup in (1.0, 2.5)
            assert isinstance(tessaly.Tessaly(config).get_threshold("f"), int)

    return work, lambda tallies: None


@row
def shared_lists():
    history = [(k * 0.1, 100 - k % 17) for k in range(200)]
    patterns = [{"parallelization_potential": 0.5, "cpu_intensity": 0.4, "memory_intensity": 0.1}] * 12
    names = ["cpu", "io", "mixed"] * 10

    def work(i, rng, tally):
        if i == 0:  # the one thread that changes the lists' lengths
            for lst, item in ((history, (rng.random(), 99)), (patterns, {}), (names, "io")):
                if rng.random() < 0.5 and len(lst) > 4:
                    lst.pop(rng.randrange(len(lst)))
                else:
                    lst.insert(rng.randrange(len(lst) + 1), item)
                if len(lst) > 4:
                    lst[rng.randrange(len(lst))] = item
        else:
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

    return work, lambda tallies: None


@pytest.mark.thread_unsafe  # a storm runs its own threads
@pytest.mark.no_refleak("a storm's threads interleave at random; the plain runs check it")
@pytest.mark.parametrize("name", ROWS)
def test_storm(name):
    work, check = ROWS[name]()
    check(storm(work))
