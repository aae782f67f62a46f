"""Realistic calls of every public native callable of the nine modules: the
objects called hold data (a tree of a dozen blocks, statistics with records,
a policy that has seen a hot function), lists and dicts of several items go
in and results with many keys come out. The fault and hostile sweeps drive
them, in this process and in fresh interpreters."""

import fractions
import types

from tarvish.gpu import veldra
from tarvish.jit import tessaly
from tarvish.jit.telemetry import TelemetryStore
from tarvish.memory import brindle, corvane, quillet
from tarvish.memory.plinth import Plinth
from tarvish.monitoring import murrel
from tarvish.native import pellucor
from tarvish.plugins.analyzer import ferrowind, halvard


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


def sampling_tree():
    """A tree sampling every other operation, with counters of the caller's."""
    saved, brindle.AtomicCounter = brindle.AtomicCounter, BigCounter
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
    **{f"corvane.LockFreeStatistics.{m}": [(make, m, args) for make in (statistics, statistics_of_subclasses)]
       for m, args in (("record_allocation", (2**20, False, 16, 2**35)), ("record_deallocation", (128, 2**35)),
                       ("_update_peaks", (2**35, 2**36)), ("reset", ()), ("py_record_allocation", (512, True, 8, 9)),
                       ("py_record_deallocation", (64, 2**35)))},
    "corvane.LockFreeStatistics.get_snapshot": [(make, "get_snapshot", ()) for make in (
        statistics, statistics_of_subclasses, statistics_of_fractions)],
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
