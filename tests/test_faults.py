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

import ctypes
import fractions
import gc
import json
import sys
import types

import pytest

from support import Env, EnvFault, Hostile, each_step_failing, run_python
from tarvish.__main__ import MODULES
from test_conventions import TARGETS, digest, kind_of
from tarvish.gpu import veldra
from tarvish.jit import tessaly
from tarvish.jit.telemetry import TelemetryStore
from tarvish.memory import brindle, corvane, quillet
from tarvish.memory.plinth import Plinth
from tarvish.monitoring import murrel
from tarvish.native import pellucor
from tarvish.plugins.analyzer import ferrowind, halvard

_testcapi = pytest.importorskip("_testcapi")

# Calls that end in a fallback result when anything inside them raises.
GUARDED = {"pellucor"}
# Calls whose last step, a log line, follows their change: a failure there
# leaves the change made.
LOGS_AFTER_CHANGE = {"tessaly.Tessaly.update"}
# More injected faults than any call here makes: a sweep that reaches it loops.
MAX_FAULTS = 5000


def tree():
    t = brindle.FastRedBlackTree(1)
    for i in range(12):
        t.insert(64 * (i % 5 + 1), Plinth(4096 * i, 64 * (i % 5 + 1)))
    return t


class BigCounter:
    """A counter class of the caller's whose values lie beyond 64 bits."""

    def __init__(self, value):
        self.value = value + 2**64

    def increment(self):
        self.value += 1
        return self.value

    def load(self):
        return self.value


def sampling_tree(counter=BigCounter):
    """A tree sampling every other operation, with counters of class `counter`."""
    saved, brindle.AtomicCounter = brindle.AtomicCounter, counter
    try:
        t = brindle.FastRedBlackTree(2)
    finally:
        brindle.AtomicCounter = saved
    for i in range(6):
        t.insert(64 * (i % 3 + 1), Plinth(4096 * i, 64))
    return t


def stack():
    s = corvane.LockFreeStack()
    for item in ("a", 2, (3,), [4]):
        s.push(item)
    return s


def statistics():
    s = corvane.LockFreeStatistics()
    for size in (64, 128, 4096):
        s.record_allocation(size, True, 8, 100)
    s.record_deallocation(64, 50)
    return s


COUNTER_FIELDS = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                  "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
                  "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
                  "total_deallocation_time_ns")
CounterSub = type("CounterSub", (corvane.AtomicCounter,), {})
StatisticsSub = type("StatisticsSub", (corvane.LockFreeStatistics,), {})


def statistics_of_subclasses():
    """Statistics of a subclass, counting with counters of a subclass: every
    step goes through method calls, whose results are large enough to be made
    anew (a small int is the interpreter's own)."""
    s = StatisticsSub()
    for name in COUNTER_FIELDS:
        setattr(s, name, CounterSub(2**40 + getattr(statistics(), name).load()))
    return s


class FractionCounter(BigCounter):
    """A counter of the caller's that reads as a fraction."""

    def load(self):
        return fractions.Fraction(self.value, 3)


def statistics_of_fractions():
    """Statistics whose counters read as fractions: its ratios are no floats."""
    s = StatisticsSub()
    for name in COUNTER_FIELDS:
        setattr(s, name, FractionCounter(getattr(statistics(), name).load()))
    return s


# Objects whose calls are steps on other objects, each applied as it is made:
# a failure half-way leaves the earlier steps applied.
STEPWISE = {statistics_of_subclasses}


def slab():
    h = quillet.FastSlabHeaderOps(3, 64)
    for i in (0, 1, 5, 63):
        h.py_allocate_object_at(i)
    return h


def buckets():
    a = quillet.FastBucketAllocator()
    for offset, size in ((0, 64), (64, 64), (4096, 1024), (8192, 8192)):
        a.add_to_bucket(offset, size)
    return a


def collector():
    c = quillet.FastStatsCollector()
    c.py_record_allocation(64, 8, True), c.py_record_allocation(128, 0, False)
    return c


def aggregator():
    a = murrel.CounterAggregator(8)
    for i, v in enumerate((1.0, 2.5, -3.0, 1e9, 7.0)):
        a.update(i % 3, v)
    return a


def store():
    s = TelemetryStore()
    for _ in range(150):
        s.record_call("hot", 0.5)
    s.record_compile("hot", speedup=3.0, timestamp=1.0)
    s.record_call("cold")
    return s


class Store:
    """A telemetry store without a lock (a Python with-statement can leave its
    lock held when the call of __exit__ cannot be allocated)."""

    def __init__(self):
        self.records = {"hot": tessaly.FunctionMetrics(150, 1, 3.0, 75.0, 1.0, 1.0), "cold": tessaly.FunctionMetrics(1)}

    def get_metrics(self, func_id):
        return self.records[func_id]


def policy():
    p = tessaly.Tessaly()
    s = store()
    p.should_compile("hot", s), p.update("hot", s), p.get_threshold("warm")
    return p


def timer():
    t = corvane.PerformanceTimer()
    t.start()
    return t


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

HISTORY = [(float(t), 100.0 - 2.5 * t) for t in range(12)]
PATTERNS = [{"parallelization_potential": 0.1 * i, "cpu_intensity": 0.5, "memory_intensity": 1.0 - 0.1 * i}
            for i in range(8)]
CODE = ("import numpy as np\nimport pandas as pd\nfrom sklearn import svm\n"
        "for i in range(n):\n    x = np.dot(a, b) @ c\n    df.groupby('k').apply(f)\n") * 3
ROW = (0.5, 0.4, 0.6, 0.7, 0.3, 0.2, 0.1, 0.0, 2, 5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)

# Target id -> calls: (a maker of the object called, or None for a plain
# function or constructor, the callable or method name, the arguments).
CALLS = {
    **{f"corvane.{cls.__name__}{name}": calls for cls in (corvane.AtomicCounter, corvane.AtomicCounterWrapper)
       for name, calls in (("()", [(None, cls, (2**40,))]),
                           (".load", [(lambda cls=cls: cls(2**40), "load", ())]),
                           *((f".{m}", [(cls, m, (2**40,))]) for m in ("store", "increment", "decrement")),
                           (".compare_and_swap", [(cls, "compare_and_swap", (0, 2**40))]),
                           (".fetch_and_add", [(cls, "fetch_and_add", (2**40,))]))},
    "corvane.AtomicPointer()": [(None, corvane.AtomicPointer, ([1, 2],))],
    "corvane.AtomicPointer.load": [(lambda: corvane.AtomicPointer([1]), "load", ())],
    "corvane.AtomicPointer.store": [(lambda: corvane.AtomicPointer([1]), "store", ({"k": 2},))],
    "corvane.AtomicPointer.compare_and_swap": [(lambda: corvane.AtomicPointer(None), "compare_and_swap",
                                                (None, [3]))],
    "corvane.AtomicPointer.get_version": [(lambda: corvane.AtomicPointer(1), "get_version", ())],
    "corvane.LockFreeStack()": [(None, corvane.LockFreeStack, ())],
    "corvane.LockFreeStack.push": [(stack, "push", ({"x": 1},))],
    "corvane.LockFreeStack.pop": [(stack, "pop", ()), (corvane.LockFreeStack, "pop", ())],
    "corvane.LockFreeStack.is_empty": [(stack, "is_empty", ())],
    "corvane.LockFreeStack.size": [(stack, "size", ())],
    "corvane.LockFreeStatistics()": [(None, corvane.LockFreeStatistics, ())],
    "corvane.LockFreeStatistics.record_allocation": [(statistics, "record_allocation", (2**20, False, 16, 2**35)), (statistics_of_subclasses, "record_allocation", (2**20, False, 16, 2**35))],
    "corvane.LockFreeStatistics.record_deallocation": [(statistics, "record_deallocation", (128, 2**35)), (statistics_of_subclasses, "record_deallocation", (128, 2**35))],
    "corvane.LockFreeStatistics._update_peaks": [(statistics, "_update_peaks", (2**35, 2**36)), (statistics_of_subclasses, "_update_peaks", (2**35, 2**36))],
    "corvane.LockFreeStatistics.get_snapshot": [(statistics, "get_snapshot", ()), (statistics_of_subclasses, "get_snapshot", ()),
                                                (statistics_of_fractions, "get_snapshot", ())],
    "corvane.LockFreeStatistics.reset": [(statistics, "reset", ()), (statistics_of_subclasses, "reset", ())],
    "corvane.LockFreeStatistics.py_record_allocation": [(statistics, "py_record_allocation", (512, True, 8, 9)), (statistics_of_subclasses, "py_record_allocation", (512, True, 8, 9))],
    "corvane.LockFreeStatistics.py_record_deallocation": [(statistics, "py_record_deallocation", (64, 2**35)), (statistics_of_subclasses, "py_record_deallocation", (64, 2**35))],
    "corvane.PerformanceTimer()": [(None, corvane.PerformanceTimer, ())],
    "corvane.PerformanceTimer.start": [(timer, "start", ())],
    "corvane.PerformanceTimer.elapsed_ns": [(timer, "elapsed_ns", ())],
    "corvane.PerformanceTimer.elapsed_us": [(timer, "elapsed_us", ())],
    "corvane.PerformanceTimer.elapsed_ms": [(timer, "elapsed_ms", ())],
    "brindle.FastRedBlackTree()": [(None, brindle.FastRedBlackTree, (7,))],
    "brindle.FastRedBlackTree._sanitize_size": [(None, brindle.FastRedBlackTree._sanitize_size, (2**40,))],
    "brindle.FastRedBlackTree.insert": [(tree, "insert", (192, Plinth(2**20, 192))),
                                        (tree, "insert", (1000, Plinth(2**21, 1000))),
                                        (sampling_tree, "insert", (192, Plinth(2**20, 192)))],
    "brindle.FastRedBlackTree.find_best_fit": [(tree, "find_best_fit", (100, 64)), (tree, "find_best_fit", (999,))],
    "brindle.FastRedBlackTree.find_all_exact": [(tree, "find_all_exact", (64,))],
    "brindle.FastRedBlackTree.delete": [(tree, "delete", (128, Plinth(4096, 128))),
                                        (tree, "delete", (128, Plinth(1, 1)))],
    "brindle.FastRedBlackTree.remove_ge": [(tree, "remove_ge", (100,)), (tree, "remove_ge", (10**6,))],
    "brindle.FastRedBlackTree.get_stats": [(tree, "get_stats", ()), (sampling_tree, "get_stats", ())],
    "brindle.FastRedBlackTree.size": [(tree, "size", ())],
    "brindle.FastRedBlackTree.clear": [(tree, "clear", ())],
    "brindle.FastRedBlackTree.get_size_distribution": [(tree, "get_size_distribution", ())],
    "brindle.FastRedBlackTree.reset_circuit_breaker": [(tree, "reset_circuit_breaker", ())],
    "brindle.FastRedBlackTree.get_statistics": [(tree, "get_statistics", ())],
    "quillet.FastSlabHeaderOps()": [(None, quillet.FastSlabHeaderOps, (3, 64))],
    "quillet.FastSlabHeaderOps.pack_header": [(slab, "pack_header", ())],
    "quillet.FastSlabHeaderOps.unpack_header": [(slab, "unpack_header", (quillet.FastSlabHeaderOps(5, 32).pack_header(),)),
                                                (slab, "unpack_header", (bytes(16),))],
    "quillet.FastSlabHeaderOps.py_is_object_free": [(slab, "py_is_object_free", (5,))],
    "quillet.FastSlabHeaderOps.py_find_free_object": [(slab, "py_find_free_object", ())],
    "quillet.FastSlabHeaderOps.py_allocate_object_at": [(slab, "py_allocate_object_at", (7,))],
    "quillet.FastSlabHeaderOps.py_deallocate_object_at": [(slab, "py_deallocate_object_at", (5,))],
    "quillet.FastBucketAllocator()": [(None, quillet.FastBucketAllocator, (16, 512, 8192)),
                                      (None, quillet.FastBucketAllocator, (64, 32, 80))],
    "quillet.FastBucketAllocator._init_buckets": [(buckets, "_init_buckets", ())],
    "quillet.FastBucketAllocator.add_to_bucket": [(buckets, "add_to_bucket", (2**20, 64)),
                                                  (buckets, "add_to_bucket", (2**21, 2**16))],
    "quillet.FastBucketAllocator.remove_from_bucket": [(buckets, "remove_from_bucket", (64,)),
                                                       (buckets, "remove_from_bucket", (8192,))],
    "quillet.FastBucketAllocator.find_best_fit_bucket": [(buckets, "find_best_fit_bucket", (60, 8)),
                                                         (buckets, "find_best_fit_bucket", (5000, 64))],
    "quillet.FastStatsCollector()": [(None, quillet.FastStatsCollector, ())],
    "quillet.FastStatsCollector.py_record_allocation": [(collector, "py_record_allocation", (4096, 64, True))],
    "quillet.FastStatsCollector.py_record_deallocation": [(collector, "py_record_deallocation", ())],
    "quillet.FastStatsCollector.get_stats": [(collector, "get_stats", ())],
    "quillet.FastStatsCollector.reset_stats": [(collector, "reset_stats", ())],
    "quillet.fast_align_size": [(None, quillet.fast_align_size, (2**30 + 3, 64))],
    "quillet.fast_get_bucket_size": [(None, quillet.fast_get_bucket_size, (2**30 + 3, 16))],
    "quillet.fast_bitmap_operations": [(None, quillet.fast_bitmap_operations, (2**63 + 5, 2, op))
                                       for op in ("is_set", "set", "clear", "find_first")],
    "quillet.fast_can_fit_aligned": [(None, quillet.fast_can_fit_aligned, (2**30 + 8, 2**20, 2**19, 4096))],
    "tessaly.PolicyConfig()": [(None, tessaly.PolicyConfig, (50, 5, 500, 0.2, 3.0))],
    "tessaly.FunctionMetrics()": [(None, tessaly.FunctionMetrics, (2**40, 3, 2.0, 1.5, 2.5, 3.5))],
    "tessaly.Tessaly()": [(None, tessaly.Tessaly, (tessaly.PolicyConfig(50, 5, 500, 0.2, 3.0),)),
                          (None, tessaly.Tessaly, ()),
                          (None, tessaly.Tessaly, (types.SimpleNamespace(min_threshold=7, learning_rate=0.25),))],
    "tessaly.Tessaly.get_threshold": [(policy, "get_threshold", ("hot",)), (policy, "get_threshold", ("new",))],
    "tessaly.Tessaly.should_compile": [(policy, "should_compile", ("hot", Store())),
                                       (policy, "should_compile", ("cold", Store()))],
    "tessaly.Tessaly.update": [(policy, "update", ("hot", Store())), (policy, "update", ("cold", Store()))],
    "tessaly.Tessaly.get_statistics": [(policy, "get_statistics", ())],
    "tessaly.create_policy_config": [(None, tessaly.create_policy_config, (50, 5, 500, 0.2, 3.0))],
    "tessaly.create_function_metrics": [(None, tessaly.create_function_metrics, (2**40, 3, 2.0, 1.5, 2.5))],
    "tessaly.get_tessaly": [(None, tessaly.get_tessaly, ())],
    "tessaly.reset_tessaly": [(None, tessaly.reset_tessaly, ())],
    "ferrowind.quick_framework_score": [(None, ferrowind.quick_framework_score, (CODE, fw))
                                        for fw in ("numpy", "pandas", "sklearn", "torch", "unknown")],
    "ferrowind.calculate_gpu_suitability": [(None, ferrowind.calculate_gpu_suitability, (0.8, 0.7, 0.2, True, cc))
                                            for cc in ("8.6", "7.0", "x.y")],
    "ferrowind.estimate_gpu_speedup": [(None, ferrowind.estimate_gpu_speedup, (0.8, 0.7, True))],
    "ferrowind.calculate_parallelization_potential": [(None, ferrowind.calculate_parallelization_potential,
                                                       (0.5, 0.3, 0.1, 0.2))],
    "ferrowind.score_indicators": [(None, ferrowind.score_indicators, (CODE, fn))
                                   for fn in ("matmul_loop", "load_frame")],
    "ferrowind.normalize_scores": [(None, ferrowind.normalize_scores, (30, 20, 10, 5, 2))],
    "ferrowind.score_framework_patterns": [(None, ferrowind.score_framework_patterns, (CODE,))],
    "ferrowind.determine_workload_pattern": [(None, ferrowind.determine_workload_pattern, ROW)],
    "ferrowind.update_adaptive_threshold": [(None, ferrowind.update_adaptive_threshold, (0.5, 0.9, 0.1, 0.1, 0.9))],
    "pellucor.detect_physical_cores": [(None, pellucor.detect_physical_cores, ())],
    "pellucor.detect_numa_nodes": [(None, pellucor.detect_numa_nodes, ())],
    "pellucor.detect_gpu_backends": [(None, pellucor.detect_gpu_backends, ())],
    "pellucor.detect_python_version": [(None, pellucor.detect_python_version, ())],
    "pellucor.detect_capabilities": [(None, pellucor.detect_capabilities, ())],
    "halvard.detect_performance_degradation": [(None, halvard.detect_performance_degradation, (HISTORY, 100.0, 0.1, 2.0))],
    "halvard.calculate_performance_trend": [(None, halvard.calculate_performance_trend, (HISTORY, 1.0))],
    "halvard.detect_workload_characteristics_change": [(None, halvard.detect_workload_characteristics_change,
                                                        (PATTERNS, 0.1))],
    "halvard.detect_dominant_pattern": [(None, halvard.detect_dominant_pattern,
                                         (["cpu", "io", "cpu", "memory", "io", "cpu"], 5))],
    "halvard.is_adaptation_beneficial": [(None, halvard.is_adaptation_beneficial, ("a", "b", 0.9, 0.8, 0.5, 1, 1.1, 0.6)),
                                         (None, halvard.is_adaptation_beneficial, (None, "b", 0.9, 0.8, 0.5, 1, 1.1, 0.6))],
    "halvard.should_skip_adaptation": [(None, halvard.should_skip_adaptation, (1.0, 100.0, 10.0))],
    "halvard.detect_memory_pressure": [(None, halvard.detect_memory_pressure, (0.9, 1.0, 0.8))],
    "halvard.detect_fragmentation_threshold": [(None, halvard.detect_fragmentation_threshold, (0.4, 0.3))],
    "halvard.calculate_adaptation_urgency": [(None, halvard.calculate_adaptation_urgency, (0.5, 0.6, 0.4, True))],
    "halvard.score_pool_recommendation": [(None, halvard.score_pool_recommendation, (0.5, 0.6, 0.7, 0.8))],
    "halvard.predict_resource_requirements": [(None, halvard.predict_resource_requirements,
                                               ([(float(t), 64.0 * t) for t in range(12)], 30.0))],
    "murrel.CounterAggregator()": [(None, murrel.CounterAggregator, (64,))],
    "murrel.CounterAggregator.update": [(aggregator, "update", (1, 2.5)), (aggregator, "update", (7, 2.5))],
    "murrel.CounterAggregator.get_stats": [(aggregator, "get_stats", (0,))],
    "murrel.CounterAggregator.reset": [(aggregator, "reset", (0,))],
    "murrel.CounterAggregator.reset_all": [(aggregator, "reset_all", ())],
    "murrel.CounterAggregator.get_all_stats": [(aggregator, "get_all_stats", ())],
    "murrel.create_aggregator": [(None, murrel.create_aggregator, (16,))],
    "veldra.estimate_allocation_bytes": [(None, veldra.estimate_allocation_bytes, ((1024, 768, 3), 4, 1.25))],
    "veldra.calculate_safe_limit": [(None, veldra.calculate_safe_limit, (2**33, 0.2))],
    "veldra.decide_allocation_strategy": [(None, veldra.decide_allocation_strategy, (2**34, 2**33, 0.2, c))
                                          for c in (True, False)],
    "veldra.compute_chunk_shapes": [(None, veldra.compute_chunk_shapes, ((4096, 1024, 2), 4, 2**22))],
    "veldra.calculate_optimal_chunks": [(None, veldra.calculate_optimal_chunks, (2**34, 2**33, 0.2, 1, 1000))],
    "veldra.is_oom_error": [(None, veldra.is_oom_error, ("CUDA out of memory. Tried to allocate", "RuntimeError"))],
    "veldra.is_chunkable_operation": [(None, veldra.is_chunkable_operation, ("matmul",))],
    "veldra.score_gpu_suitability": [(None, veldra.score_gpu_suitability, (2**30, "matmul", 2**33, 0.2))],
    "veldra.calculate_memory_pressure": [(None, veldra.calculate_memory_pressure, (2**32, 2**33))],
    "veldra.recommend_headroom": [(None, veldra.recommend_headroom, (0.7, 0.5))],
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


def sweep(make, what, args, guarded, logs_after):
    """Faults every allocation of one call in turn; returns the faults injected."""
    def fresh():
        obj = make() if make else None
        return obj, (getattr(obj, what) if obj is not None else what)

    def same(a, b):
        if make is timer:
            return type(a) is type(b)
        return steady(a) == steady(b) if guarded else digest(a) == digest(b)

    expected = None
    for k in range(-1, MAX_FAULTS):  # -1: no fault, the expected result
        obj, call = fresh()
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
@pytest.mark.parametrize("ident, case", [(i, n) for i in CALLS for n in range(len(CALLS[i]))])
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
# too): the sweeps that import while memory fails run on 3.14.
IMPORTS_SURVIVE_FAILURE = sys.version_info < (3, 15)
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
    def run(make, what, args):
        obj = make() if make else None
        return (getattr(obj, what) if obj is not None else what)(*args)
    # Only the call itself is faulted: Python code failing for memory can trip
    # the debug interpreter's own checks (a comprehension's frame did).
    for make, what, args in rows:
        for k in range(tf.MAX_FAULTS):
            obj = make() if make else None
            call = getattr(obj, what) if obj is not None else what
            result, error, met = tf.faulted(call, args, k, collect=False)
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
    for row in rows:  # each runs, after all that
        run(*row)
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


@pytest.mark.no_refleak("the module is imported in a child process")
@pytest.mark.thread_unsafe(reason="a child process: run on more threads, it only repeats itself")
def test_import_missing_a_name():
    proc = run_python("""
        import tarvish.memory.plinth as plinth
        del plinth.Plinth
        try:
            import tarvish.memory.brindle
        except ImportError as e:
            print(e)
    """, check=True)
    assert proc.stdout == "cannot import name 'Plinth' from 'tarvish.memory.plinth'\n"


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
SOUND = (SystemError, AssertionError)  # what no call may raise


def outcome(call, *args):
    try:
        return call(*args)
    except SOUND:
        raise
    except Exception as e:
        return e


@pytest.mark.thread_unsafe  # replaces the modules' threading
@pytest.mark.parametrize("mode", ["exit raises", "exit swallows", "enter raises", "no protocol"])
def test_hostile_locks(monkeypatch, caplog, mode):
    for mod in LOCKED:
        monkeypatch.setattr(mod, "threading", types.SimpleNamespace(Lock=Lock, RLock=Lock))
    monkeypatch.setattr(tessaly, "_policy_lock", Lock())
    allowed = (Boom, RuntimeError, *((TypeError, AttributeError) if mode == "no protocol" else ()))
    for ident, calls in [*CALLS.items(), ("failing inside", FAILING_INSIDE)]:
        for make, what, args in calls:
            obj = make() if make else None  # its data put in place under a lock that works
            with monkeypatch.context() as m:
                if mode == "no protocol":  # the lock's methods gone since it was made
                    for name in ("__enter__", "__exit__", "acquire", "release"):
                        m.delattr(Lock, name)
                m.setattr(Lock, "mode", mode)
                e = outcome(getattr(obj, what) if obj is not None else what, *args)
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
            obj = make() if make else None
            with monkeypatch.context() as m:
                for name, real in hosts.items():
                    m.setattr(module, name, Env(real, name, steps))
                for name in IMPORTED_AT_CALL.get(short, ()):
                    m.setitem(sys.modules, name, Env(sys.modules[name], name, steps))
                e = outcome(getattr(obj, what) if obj is not None else what, *args)
            assert not isinstance(e, Exception) or type(e) in (EnvFault, ZeroDivisionError, TypeError,
                                                               AttributeError), (steps.bad, e)
        return run

    names = [n for n in vars(module) if not n.startswith("__")]
    for ident, calls in CALLS.items():
        if ident.split(".")[0] == short:
            for make, what, args in calls:
                each_step_failing(runner(make, what, args))
                for name in names:  # and each of the module's globals gone in turn
                    obj = make() if make else None
                    with monkeypatch.context() as m:
                        m.delattr(module, name)
                        outcome(getattr(obj, what) if obj is not None else what, *args)


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


# Items that fail half-way through a loop over a caller's data.
HALF_WAY = [
    *((halvard.calculate_performance_trend, ([(0.0, 1.0), Broken(at), (2.0, 3.0)], 0.0)) for at in (0, 1, 2)),
    (halvard.calculate_performance_trend, ([(0.0, 1.0), (1.0, H), (2.0, 3.0)], 0.0)),
    (halvard.calculate_performance_trend, ([(0.0, 1.0), (H, 2.0), (2.0, 3.0)], 0.0)),
    (halvard.detect_performance_degradation, ([(0.0, 1.0)] * 3 + [(1.0, H)] + [(2.0, 1.0)] * 3, 1.0, 0.1, 0.0)),
    (halvard.predict_resource_requirements, ([(float(t), 1.0) for t in range(6)] + [(7.0, H)] * 6, 5.0)),
    (halvard.predict_resource_requirements, ([(H, 1.0)] + [(float(t), 1.0) for t in range(11)], 5.0)),
    (halvard.detect_workload_characteristics_change, (PATTERNS[:5] + [{**PATTERNS[0], "cpu_intensity": H}] + PATTERNS[:4],)),
    (halvard.detect_workload_characteristics_change, (PATTERNS[:5] + [{**PATTERNS[0], "memory_intensity": "x"}] + PATTERNS[:4],)),
    (halvard.detect_workload_characteristics_change, shortened),
    (halvard.detect_dominant_pattern, (["cpu", "io", 3, "cpu"], 4)),
    (veldra.estimate_allocation_bytes, ((4, H, 2), 4)),
    (veldra.compute_chunk_shapes, ((4096, H, 2), 4, 2**20)),
    (veldra.compute_chunk_shapes, ((H, 1024), 4, 2**20)),
]


@pytest.mark.parametrize("call, args", HALF_WAY)
def test_item_failing_half_way(call, args):
    fresh = callable(args)  # made for the call, which changes them
    args = args() if fresh else args
    counts = [sys.getrefcount(a) for a in held(args)]
    assert type(outcome(call, *args)) in (ZeroDivisionError, TypeError, IndexError)
    assert fresh or [sys.getrefcount(a) for a in held(args)] == counts


def overriding(cls, **methods):
    return type(f"{cls.__name__}Sub", (cls,), methods)


# Subclasses whose overrides the native code must find and call.
OVERRIDES = [
    (lambda: overriding(murrel.CounterAggregator, get_stats=lambda self, i: {"id": i})(4), "get_all_stats", ()),
    (lambda: overriding(murrel.CounterAggregator, get_stats=lambda self, i: 1 / 0)(4), "get_all_stats", ()),
    # The subclass is made when the row runs, not when the table is built.
    (lambda: overriding(corvane.LockFreeStatistics, _update_peaks=lambda self, a, b: 1 / 0)(),  # noqa: PLW0108
     "record_allocation", (64,)),
] + [(lambda check=check: overriding(brindle.FastRedBlackTree, _sanitize_size=check)(), what, args)
      for check in (lambda self, s: 1 / 0, lambda self, s: int("x"), lambda self, s: "x")
      for what, args in (("insert", (8, "b")), ("find_best_fit", (8,)), ("find_all_exact", (8,)),
                         ("delete", (8, "b")), ("remove_ge", (8,)))] + [
    (lambda: overriding(brindle.FastRedBlackTree, size=lambda self: 1 / 0)(), what, ())  # noqa: PLW0108
    for what in ("__len__", "__bool__")]


@pytest.mark.parametrize("make, what, args", OVERRIDES)
def test_overrides_on_subclasses(make, what, args):
    obj = make()
    e = outcome(getattr(obj, what), *args)
    assert not isinstance(e, Exception) or type(e) in (ZeroDivisionError, TypeError, ValueError), e


# The native operations tables the objects' states begin with, called as a
# native caller calls them (the GIL held, an error raised when one is set).
I32, I64, U32, U64, F64, B, OBJ = (ctypes.c_int32, ctypes.c_int64, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_double,
                                 ctypes.c_bool, ctypes.py_object)
TABLES = {
    murrel.CounterAggregator: [(ctypes.c_int, OBJ, I32, F64, B), (OBJ, OBJ, I32, B), (ctypes.c_int, OBJ, I32, B),
                               (ctypes.c_int, OBJ, B), (OBJ, OBJ, B)],
    tessaly.FunctionMetrics: [(U64, OBJ), (U32, OBJ), (F64, OBJ), (F64, OBJ)],
    tessaly.PolicyConfig: [(I32, OBJ), (I32, OBJ), (I32, OBJ), (F64, OBJ), (F64, OBJ)],
    corvane.AtomicCounter: [(I64, OBJ), (None, OBJ, I64), (I64, OBJ, ctypes.POINTER(I64)), (I64, OBJ, ctypes.POINTER(I64)),
                            (B, OBJ, I64, I64), (I64, OBJ, I64)],
}


def native_table(obj):
    signatures = next(TABLES[c] for c in type(obj).__mro__ if c in TABLES)
    ops = ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value
    entries = (ctypes.c_void_p * len(signatures)).from_address(ops)
    return [ctypes.PYFUNCTYPE(*sig)(entries[i]) for i, sig in enumerate(signatures)]


def test_native_tables_read_and_write_the_state():
    m = tessaly.FunctionMetrics(7, 3, 2.5, 10.0, 4.25)
    assert [f(m) for f in native_table(m)] == [7, 3, 2.5, 4.25]
    c = tessaly.PolicyConfig(50, 5, 500, 0.25, 1.5)
    assert [f(c) for f in native_table(c)] == [c.initial_threshold, c.min_threshold, c.max_threshold,
                                                c.learning_rate, c.target_speedup]
    n = corvane.AtomicCounter(5)
    load, store, increment, decrement, cas, fetch_and_add = native_table(n)
    store(n, 40)
    assert (increment(n, None), increment(n, ctypes.byref(I64(10))), decrement(n, None)) == (41, 51, 50)
    assert decrement(n, ctypes.byref(I64(2**62))) == 50 - 2**62
    assert (cas(n, 0, 1), cas(n, 50 - 2**62, 3), fetch_and_add(n, 4), load(n), n.load()) == (False, True, 3, 7, 7)


def aggregator_ops(a, skip):
    update, get_stats, reset, reset_all, get_all_stats = native_table(a)
    return [outcome(f, a, *args, skip) for f, args in ((update, (1, 2.5)), (update, (2, -1.0)), (get_stats, (1,)),
                                                         (get_all_stats, ()), (reset, (1,)), (get_all_stats, ()),
                                                         (reset_all, ()), (get_all_stats, ()), (update, (9, 1.0)))]


def digest_outcomes(results):
    return [(type(r), str(r)) if isinstance(r, Exception) else r for r in results]


@pytest.mark.parametrize("skip", [True, False])
def test_native_aggregator_table_dispatches_to_overrides(skip):
    """With dispatch on, each entry of a subclass runs the Python override
    (whose error it passes on); with it off, or with no override, the native
    operation, as the methods of a plain aggregator do."""
    log = []
    plain = digest_outcomes(aggregator_ops(murrel.CounterAggregator(4), True))
    Logging = overriding(murrel.CounterAggregator, update=lambda self, i, v: log.append(("update", i, v)),
                         get_stats=lambda self, i: ("stats", i), reset=lambda self, i: log.append(("reset", i)),
                         reset_all=lambda self: log.append("reset_all"), get_all_stats=lambda self: 1 / 0)
    assert digest_outcomes(aggregator_ops(overriding(murrel.CounterAggregator)(4), skip)) == plain
    found = digest_outcomes(aggregator_ops(Logging(4), skip))
    if skip:  # get_all_stats still takes each counter's figures from get_stats, overridden
        assert found == [*plain[:3], [(1, ("stats", 1)), (2, ("stats", 2))], 0, [(2, ("stats", 2))], 0, [], plain[8]]
        assert not log
    else:
        error = (ZeroDivisionError, "division by zero")
        assert found == [0, 0, ("stats", 1), error, 0, error, 0, error, 0]
        assert log == [("update", 1, 2.5), ("update", 2, -1.0), ("reset", 1), "reset_all", ("update", 9, 1.0)]


@pytest.mark.thread_unsafe  # replaces the tree module's AtomicCounter while a tree is made
@pytest.mark.parametrize("value, error", [(2**70, None), (3.0, None), (H, TypeError)])
def test_sampling_counter_values(value, error):
    """The sampling test takes the counter's value as the counter gives it: an
    int of any size, or anything with a remainder by the rate."""
    counter = type("Counter", (BigCounter,), {})
    t = sampling_tree(counter)
    counter.increment = lambda self: value
    before = SNAPSHOT[brindle.FastRedBlackTree](t)
    e = outcome(t.insert, 8, Plinth(0, 8))
    assert type(e) is error if error else e is True
    assert error is None or SNAPSHOT[brindle.FastRedBlackTree](t) == before


class Struct:
    """A stand-in for the struct module whose unpack gives `values`."""

    def __init__(self, values):
        self.unpack = lambda fmt, data: values


@pytest.mark.thread_unsafe  # replaces sys.modules["struct"]
@pytest.mark.parametrize("values, error", [((1, 2, 3, 4), ValueError), ((1, 2, 3, 4, -1), OverflowError),
                                           ((256, 0, 0, 0, 0), OverflowError), (None, None)])
def test_header_decoded_by_another_struct(monkeypatch, values, error):
    h = slab()
    before = h.pack_header()
    if values is None:  # not imported yet: imported at the call
        monkeypatch.delitem(sys.modules, "struct")
        assert h.unpack_header(before) is None
    else:
        monkeypatch.setitem(sys.modules, "struct", Struct(values))
        assert type(outcome(h.unpack_header, before)) is error
    monkeypatch.undo()
    assert h.pack_header() == before
