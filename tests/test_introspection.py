"""Every native callable has a signature for inspect, while its __doc__ stays
the documentation text alone, the specified docstrings in one table, and
help() on every module renders."""

import importlib
import inspect
import pydoc

import pytest

from support import native_callables
from tarvish.__main__ import MODULES


def callables():
    for n in native_callables():
        if n.kind == "function":
            yield f"{n.module}.{n.name}", n.value
        elif n.kind == "method":
            yield f"{n.module}.{n.cls.__name__}.{n.name}", getattr(n.cls, n.name)


CALLABLES = sorted(callables())


@pytest.mark.parametrize("name, fn", CALLABLES, ids=[n for n, _ in CALLABLES])
def test_signature_and_doc(name, fn):
    sig = inspect.signature(fn)
    assert all(p.kind is not p.VAR_POSITIONAL for p in sig.parameters.values()), sig
    doc = fn.__doc__
    assert doc is None or "\n--\n" not in doc


# The specified docstrings, exactly; "text..." gives the start of one, "...text" its end.
DOCS = {
    "corvane.AtomicCounterWrapper": "Python wrapper for Cython AtomicCounter (backward compatibility).",
    "corvane.AtomicCounter.load": "Atomically load value.",
    "corvane.AtomicCounter.increment": "Atomically increment and return new value.",
    "corvane.AtomicCounter.compare_and_swap": "Atomically compare and swap.",
    "brindle.FastRedBlackTree.insert": "Insert block into tree....",
    "brindle.FastRedBlackTree.find_best_fit": "Find best-fit block (LOCK-FREE read)....",
    "brindle.FastRedBlackTree.find_all_exact": "Find all blocks of exact size (lock-free read)....",
    "brindle.FastRedBlackTree.delete": "Delete specific block....",
    "brindle.FastRedBlackTree.remove_ge": "Remove and return best-fit block >= size....",
    "brindle.FastRedBlackTree.get_stats": "Get tree statistics....",
    "brindle.FastRedBlackTree.size": "Get total block count....",
    "brindle.FastRedBlackTree.clear": "Clear all blocks....",
    "brindle.FastRedBlackTree.get_size_distribution": "Get size distribution....",
    "brindle.FastRedBlackTree.reset_circuit_breaker": "Reset circuit breaker stats....",
    "brindle.FastRedBlackTree.get_statistics": "Get timing statistics (empty for sampling mode)....",
    "brindle.FastRedBlackTree._sanitize_size": "Validate size....",
    "quillet.fast_align_size": "Fast alignment calculation (Python interface).",
    "quillet.FastSlabHeaderOps.unpack_header": "Unpack header from bytes.",
    "quillet.FastStatsCollector.py_record_allocation": "Record allocation statistics (Python interface).",
    "tessaly.create_policy_config": ("Factory function to create PolicyConfig.\n\n"
                                     "Provides a Python-friendly interface for creating config objects."),
    "tessaly.create_function_metrics": "Factory function to create FunctionMetrics....",
    "tessaly.Tessaly": "Adaptive JIT threshold policy....",
    "tessaly.Tessaly.config": "Get policy configuration.",
    "tessaly.FunctionMetrics.last_compiled": "Timestamp of last compilation (matches TelemetryStore interface).",
    "tessaly.FunctionMetrics.last_compile_time": "Alias for last_compiled for backward compatibility.",
    "tessaly.reset_tessaly": "...Useful for testing.",
    "halvard.detect_performance_degradation": "Detect if performance has degraded significantly.",
    "halvard.calculate_performance_trend": "Calculate performance trend over a time window.",
    "halvard.detect_workload_characteristics_change": "Detect significant changes in workload characteristics.",
    "halvard.detect_dominant_pattern": "Detect the dominant pattern in a list of pattern names.",
    "halvard.is_adaptation_beneficial": "Determine if pool adaptation would be beneficial.",
    "halvard.should_skip_adaptation": "Check if adaptation should be skipped due to timing.",
    "halvard.detect_memory_pressure": "Detect memory pressure conditions.",
    "halvard.detect_fragmentation_threshold": "Check if fragmentation exceeds threshold.",
    "halvard.calculate_adaptation_urgency": "Calculate urgency score for adaptation.",
    "halvard.score_pool_recommendation": "Score a pool recommendation based on multiple factors.",
    "halvard.predict_resource_requirements": "Predict future resource requirements based on allocation history.",
    "murrel.CounterAggregator": ("Fast counter aggregation in compiled code.\n"
                                 "Uses atomic operations for thread-safe updates without GIL overhead."),
    "murrel.CounterAggregator.update": ("Update counter with new value.\n"
                                        "Thread-safe via lock (correctness over performance)."),
    "murrel.CounterAggregator.get_stats": ("Get statistics for a counter.\n"
                                           "Returns dict with count, mean, variance, min, max."),
    "murrel.create_aggregator": "Create a new CounterAggregator instance.",
}


def resolve(path):
    short, *attrs = path.split(".")
    obj = importlib.import_module(next(m for m in MODULES if m.rsplit(".", 1)[1] == short))
    for a in attrs:
        obj = getattr(obj, a)
    return obj


@pytest.mark.parametrize("path", DOCS)
def test_docstring(path):
    doc, expected = resolve(path).__doc__, DOCS[path]
    if expected.endswith("..."):
        assert doc.startswith(expected[:-3])
    elif expected.startswith("..."):
        assert doc.endswith(expected[3:])
    else:
        assert doc == expected


@pytest.mark.parametrize("modname", MODULES)
def test_help_renders(modname):
    text = pydoc.render_doc(importlib.import_module(modname), renderer=pydoc.plaintext)
    assert modname.rsplit(".", 1)[1] in text
