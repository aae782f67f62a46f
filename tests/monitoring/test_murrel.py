"""CounterAggregator and create_aggregator: running statistics per counter id.
Stats dicts are compared by repr, which tells key order, int from float,
0.0 from -0.0 and matches NaN with NaN."""

import inspect
import math
import sys
import threading

import pytest

import tarvish.monitoring.murrel as murrel
from tarvish.monitoring.murrel import CounterAggregator, create_aggregator

EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": math.inf, "max": -math.inf}


def expected(samples):
    """Computed independently: sums in sample order, the variance fused with math.fma.
    A NaN sample is counted and summed but deliberately never becomes min or max."""
    total = squares = 0.0
    for v in samples:
        total, squares = total + v, squares + v * v
    mean = total / len(samples)
    try:
        variance = math.fma(-mean, mean, squares / len(samples))
    except ValueError:  # inf - inf, NaN in IEEE arithmetic
        variance = math.nan
    ordered = [float(v) for v in samples if v == v]
    return {"count": len(samples), "mean": mean, "variance": variance,
            "std": 0.0 if variance < 0 else variance**0.5,
            "min": min(ordered, default=math.inf), "max": max(ordered, default=-math.inf)}


class TestBinding:
    def test_surface_and_docs(self):
        assert {"CounterAggregator", "create_aggregator", "threading"} <= set(dir(murrel))
        assert not hasattr(murrel, "logger")
        assert CounterAggregator.__doc__ == ("Fast counter aggregation in compiled code.\n"
                                             "Uses atomic operations for thread-safe updates without GIL overhead.")
        assert CounterAggregator.update.__doc__ == ("Update counter with new value.\n"
                                                    "Thread-safe via lock (correctness over performance).")
        assert CounterAggregator.get_stats.__doc__ == ("Get statistics for a counter.\n"
                                                       "Returns dict with count, mean, variance, min, max.")
        assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
        assert str(inspect.signature(CounterAggregator.update)) == "(self, /, counter_id, value)"

    def test_keywords(self):
        a = CounterAggregator(num_counters=4)
        a.update(counter_id=3, value=2.5)
        assert a.get_stats(counter_id=3)["count"] == 1


class TestSemantics:
    @pytest.mark.parametrize("samples", [
        [2.0, 4.0], [5.0], [0.1], [1.1], [0.1, 0.2, 0.3], [1e308, 1e308], [-3.5, 7.25, 1e-300, 2.0**60],
        [0.1 * k for k in range(1, 50)], [1.0, math.inf], [math.nan], [math.nan, 3.0, math.nan, -2.0], [-0.0, 0.0], [7],
    ])
    def test_stats_match_independent_computation(self, samples):
        a = CounterAggregator(8)
        for v in samples:
            a.update(6, v)
        assert repr(a.get_stats(6)) == repr(expected(samples))

    def test_documented_values(self):
        a = CounterAggregator()
        assert repr(a.get_stats(999)) == repr(EMPTY)
        a.update(0, 2.0), a.update(0, 4.0), a.update(3, 5.0), a.update(4, 0.1), a.update(5, 1.1)
        assert a.get_stats(0) == {"count": 2, "mean": 3.0, "variance": 1.0, "std": 1.0, "min": 2.0, "max": 4.0}
        assert a.get_stats(3) == {"count": 1, "mean": 5.0, "variance": 0.0, "std": 0.0, "min": 5.0, "max": 5.0}
        assert a.get_stats(4)["variance"] == 8.326672684688674e-19
        # A negative rounding residue stays in "variance"; "std" is then 0.0, never complex.
        assert (a.get_stats(5)["variance"], a.get_stats(5)["std"]) == (-8.88178419700126e-18, 0.0)

    def test_all_stats_reset_and_zero_counters(self):
        a = CounterAggregator(10)
        assert a.get_all_stats() == []
        a.update(5, 1.0), a.update(1, 2.0)
        assert a.get_all_stats() == [(1, a.get_stats(1)), (5, a.get_stats(5))]
        a.reset(1)
        assert repr(a.get_stats(1)) == repr(EMPTY) and [i for i, _ in a.get_all_stats()] == [5]
        a.reset_all()
        assert a.get_all_stats() == [] and repr(a.get_stats(5)) == repr(EMPTY)
        z = CounterAggregator(0)
        assert z.get_all_stats() == [] and z.reset_all() is None
        assert type(create_aggregator()) is CounterAggregator and create_aggregator().get_stats(999)["count"] == 0


class TestSubclass:
    def test_get_all_stats_reaches_override(self):
        class Tagged(CounterAggregator):
            def get_stats(self, counter_id):
                return ("tagged", super().get_stats(counter_id)["count"])

        t = Tagged(6)
        t.update(4, 1.5), t.update(2, 3.0), t.update(2, 3.0)
        assert t.get_all_stats() == [(2, ("tagged", 2)), (4, ("tagged", 1))]

    def test_plain_subclass_and_instance_attribute(self):
        class Plain(CounterAggregator):
            pass

        p = Plain(3)
        p.update(1, 2.0)
        assert p.get_all_stats() == [(1, p.get_stats(1))]
        p.get_stats = lambda i: "patched"
        assert p.get_all_stats() == [(1, "patched")]

        class Broken(CounterAggregator):
            def get_stats(self, counter_id):
                raise KeyError(counter_id)

        b = Broken(2)
        b.update(1, 1.0)
        with pytest.raises(KeyError):
            b.get_all_stats()


ERRORS = [
    (lambda: CounterAggregator(-5), MemoryError, "Failed to allocate counter storage"),
    (lambda: CounterAggregator(2**31 - 1), MemoryError, "Failed to allocate counter storage"),
    (lambda: create_aggregator(-1), MemoryError, "Failed to allocate counter storage"),
    (lambda: CounterAggregator(1000).get_stats(1000), IndexError, "Counter ID 1000 out of range"),
    (lambda: CounterAggregator(3).update(-1, 1.0), IndexError, "Counter ID -1 out of range"),
    (lambda: CounterAggregator(3).reset(-(2**31)), IndexError, "Counter ID -2147483648 out of range"),
    (lambda: CounterAggregator(0).get_stats(0), IndexError, "Counter ID 0 out of range"),
    (lambda: create_aggregator(num_counters=10).get_stats(10), IndexError, "Counter ID 10 out of range"),
]


class TestErrors:
    @pytest.mark.parametrize("call, exc, message", ERRORS)
    def test_messages(self, call, exc, message):
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message

    @pytest.mark.thread_unsafe
    def test_refcounts_and_failed_update_changes_nothing(self):
        a, value, key = CounterAggregator(4), 12345.5, 2**40
        a.update(1, value)
        before = sys.getrefcount(a), sys.getrefcount(value), sys.getrefcount(key)
        for _ in range(50):
            a.update(1, value), a.get_stats(1), a.get_all_stats(), a.reset(3)
            for bad in (lambda: a.get_stats(key), lambda: a.update(1, "v"), lambda: a.update(9, value)):
                with pytest.raises((OverflowError, TypeError, IndexError)):
                    bad()
        assert (sys.getrefcount(a), sys.getrefcount(value), sys.getrefcount(key)) == before
        assert a.get_stats(1) == expected([value] * 51)


class TestConcurrency:
    def test_concurrent_updates_lose_nothing(self):
        a, threads, per = CounterAggregator(4), 8, 2000
        start = threading.Barrier(threads)

        def work(t):
            start.wait()
            for i in range(per):
                a.update(2, float(t + 1))
                if i % 97 == 0:
                    a.get_all_stats()

        pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
        for th in pool:
            th.start()
        for th in pool:
            th.join()
        s = a.get_stats(2)  # integer-valued sums are exact, so any lost sample shows
        assert s["count"] == threads * per and s["mean"] == per * sum(range(1, threads + 1)) / (threads * per)
        assert (s["min"], s["max"]) == (1.0, float(threads))
