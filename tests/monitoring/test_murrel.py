"""CounterAggregator and create_aggregator: running statistics per counter id.
Stats dicts are compared by repr, which tells key order, int from float,
0.0 from -0.0 and matches NaN with NaN; variances against exact rational
arithmetic."""

import inspect
import math
import random
import sys
import threading
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import tarvish.monitoring.murrel as murrel
from tarvish.monitoring.murrel import CounterAggregator, create_aggregator

EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": math.inf, "max": -math.inf}


def exact_variance(samples):
    xs = [Fraction(v) for v in samples]
    mean = sum(xs) / len(xs)
    return sum((x - mean) ** 2 for x in xs) / len(xs)


def expected(samples):
    """Computed independently: "mean" is the sum in sample order over the count, "variance"
    the exact population variance rounded once (NaN once a sample is not finite). A NaN
    sample is counted and summed but deliberately never becomes min or max."""
    total = 0.0
    for v in samples:
        total += v
    variance = math.nan
    if all(map(math.isfinite, samples)):
        try:
            variance = float(exact_variance(samples))
        except OverflowError:
            variance = math.inf
    ordered = [float(v) for v in samples if v == v]
    return {"count": len(samples), "mean": total / len(samples), "variance": variance, "std": variance**0.5,
            "min": min(ordered, default=math.inf), "max": max(ordered, default=-math.inf)}


class TestBinding:
    def test_surface_and_docs(self):
        assert {"CounterAggregator", "create_aggregator", "threading"} <= set(dir(murrel))
        assert not hasattr(murrel, "logger")
        assert str(inspect.signature(CounterAggregator.update)) == "(self, /, counter_id, value)"

    def test_keywords(self):
        a = CounterAggregator(num_counters=4)
        a.update(counter_id=3, value=2.5)
        assert a.get_stats(counter_id=3)["count"] == 1


def assert_sound(stats, samples):
    """Count, mean, min and max exactly as expected; the variance exactly 0.0 (or inf) where
    the exact one rounds to that, else within a relative 1e-9 of it, and NaN or inf for
    non-finite samples; "std" exactly its power 0.5."""
    want = expected(samples)
    assert list(stats) == list(want)
    variance, exact = stats["variance"], want["variance"]
    assert repr(stats["std"]) == repr(variance**0.5)
    exact_keys = ("count", "mean", "min", "max")
    assert repr([stats[k] for k in exact_keys]) == repr([want[k] for k in exact_keys])
    if math.isnan(exact):
        assert math.isnan(variance) or variance == math.inf
    elif exact in (0.0, math.inf):
        assert repr(variance) == repr(exact)
    else:
        assert abs(variance - exact) <= 1e-9 * exact


def fed(samples, counter_id=0):
    a = CounterAggregator(counter_id + 1)
    for v in samples:
        a.update(counter_id, v)
    return a


RNG = random.Random(18)
# Large means against small spreads, where E[x^2] - mean^2 cancels (giving negative, zero
# or visibly wrong variances for all but the outlier row); a first sample far out is the
# hard case for sums shifted by it.
TELEMETRY = {
    "1e9 + 0..2": [1e9, 1e9 + 1, 1e9 + 2],
    "1.7e9 + 0, 10": [1.7e9, 1.7e9 + 10],
    "1.7e9 + -10..10": [1.7e9 - 10, 1.7e9, 1.7e9 + 10],
    "N(1.7e9, 10) x 1000": [RNG.gauss(1.7e9, 10) for _ in range(1000)],
    "N(5e6, 1e3) x 1000": [RNG.gauss(5e6, 1e3) for _ in range(1000)],
    "5e6 + 0.37k x 200": [5e6 + k * 0.37 for k in range(200)],
    "outlier first": [0.0] + [RNG.gauss(1.7e9, 10) for _ in range(999)],
    "one 1.1": [1.1],
    "one 0.1": [0.1],
    "1e12 x 50": [1e12] * 50,
}


class TestSemantics:
    @pytest.mark.parametrize("samples", [
        [2.0, 4.0], [5.0], [0.1], [1.1], [0.1, 0.2, 0.3], [1e308, 1e308], [-3.5, 7.25, 1e-300, 2.0**60],
        [0.1 * k for k in range(1, 50)], [1.0, math.inf], [math.inf], [-math.inf, 1.0, 2.0], [math.inf, -math.inf],
        [math.nan], [math.nan, 3.0, math.nan, -2.0], [4.0, math.nan], [-0.0, 0.0], [7], [0.0, 1e200], [3.0, -1e-300],
    ])
    def test_stats_match_independent_computation(self, samples):
        assert_sound(fed(samples, 6).get_stats(6), samples)

    @pytest.mark.parametrize("samples", TELEMETRY.values(), ids=TELEMETRY.keys())
    def test_large_means_small_spreads(self, samples):
        a = fed(samples, 2)
        assert_sound(a.get_stats(2), samples)
        assert repr(a.get_all_stats()) == repr([(2, a.get_stats(2))])

    @settings(max_examples=200, deadline=None)
    @given(st.floats(-1e12, 1e12), st.floats(1e-3, 1e6), st.lists(st.integers(-2**20, 2**20), min_size=1, max_size=80))
    def test_shifted_and_scaled_data(self, c, s, steps):
        samples = [c + s * (u / 2**20) for u in steps]
        assert_sound(fed(samples).get_stats(0), samples)

    @pytest.mark.parametrize("clear", [lambda a: a.reset(1), lambda a: a.reset_all()], ids=["reset", "reset_all"])
    def test_reset_starts_afresh(self, clear):
        # Deviations from a stale first sample of 1e15 would lose the spread of 1 and 2.
        a = fed([1e15, 1e15 + 8, math.nan, math.inf], 1)
        clear(a)
        a.update(1, 1.0), a.update(1, 2.0)
        assert a.get_stats(1) == {"count": 2, "mean": 1.5, "variance": 0.25, "std": 0.5, "min": 1.0, "max": 2.0}

    def test_documented_values(self):
        a = CounterAggregator()
        assert repr(a.get_stats(999)) == repr(EMPTY)
        a.update(0, 2.0), a.update(0, 4.0), a.update(3, 5.0), a.update(4, 0.1), a.update(5, 1.1)
        assert a.get_stats(0) == {"count": 2, "mean": 3.0, "variance": 1.0, "std": 1.0, "min": 2.0, "max": 4.0}
        assert a.get_stats(3) == {"count": 1, "mean": 5.0, "variance": 0.0, "std": 0.0, "min": 5.0, "max": 5.0}
        # One sample has no spread, whether or not its square is exact in double precision.
        assert [(a.get_stats(i)["variance"], a.get_stats(i)["std"]) for i in (4, 5)] == [(0.0, 0.0)] * 2

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


@pytest.mark.threads
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
        assert abs(s["variance"] - (threads**2 - 1) / 12) <= 1e-12
        assert (s["min"], s["max"]) == (1.0, float(threads))
