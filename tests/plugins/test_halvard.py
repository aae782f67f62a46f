"""The orchestrator's decision functions: history walks, trend, workload change,
dominant pattern, gating, urgency, pool score and resource prediction."""

import inspect
import math
import random
import sys
from collections import Counter
from decimal import Decimal
from fractions import Fraction

import pytest
from support import DictSub, StrSub, run_python

import tarvish.plugins.analyzer.halvard as h

NAN, INF = math.nan, math.inf
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


# Independent references, summing in the same order as the module.
def ref_trend(hist, start):
    if hist is None or len(hist) < 3:
        return 0.0
    kept = [(t, m) for t, m in ((float(t), float(m)) for t, m in hist) if t >= start]
    if len(kept) < 3:
        return 0.0
    n, t0 = len(kept), kept[0][0]
    sx = sy = sxy = sxx = 0.0
    for t, y in kept:
        x = t - t0
        sx, sy, sxy, sxx = sx + x, sy + y, sxy + x * y, sxx + x * x
    mx, my = sx / n, sy / n
    vx, cxy = sxx - n * (mx * mx), sxy - n * mx * my
    if not abs(vx) >= 1e-10 or not abs(my) >= 1e-10:
        return 0.0
    r = cxy / (my * vx)
    return 0.0 if r != r else max(-1.0, min(1.0, r))


def ref_change(hist, thr=0.3):
    def total(window, k):
        s = 0.0
        for e in window:
            s = s + e[k]
        return s
    ch = [abs((total(hist[-3:], k) - total(hist[-6:-3], k)) * 0.3333333333333333) for k in KEYS]
    return (any(c > thr for c in ch), *ch)


def term(v):
    v = min(v, 1.0)
    return v if v > 0 else 0.0


def sat32(v):
    return 0 if v != v else int(max(-(2**31), min(2**31 - 1, v)))


def ref_predict(hist, horizon):
    n = len(hist)
    if n < 10 or not float(hist[-1][0]) - float(hist[0][0]) > 0:
        return (0, 0, 0.0)
    span, total = float(hist[-1][0]) - float(hist[0][0]), 0.0
    for t, s in hist:
        float(t)
        total += float(s)
    count = sat32(horizon * n / span)
    return (count, sat32(total * count / n), 0.8 if n * 0.01 >= 1.0 else n * 0.008)


def pat(p=0.5, c=0.5, m=0.5):
    return dict(zip(KEYS, (p, c, m)))


class Pair:
    """A two-item iterable that is neither a tuple nor a list."""
    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class Clearing:
    """Empties `victim` while being converted to float."""
    def __init__(self, victim):
        self.victim = victim

    def __float__(self):
        self.victim.clear()
        return 1.0


TEN = [(i, 10) for i in range(10)]
CALLS = {  # name: arguments
    "detect_performance_degradation": ([(i, 80) for i in range(5)], 100, 0.15, 0),
    "calculate_performance_trend": ([(0, 10), (1, 11), (2, 12)], 0),
    "detect_workload_characteristics_change": ([pat(c=0.2)] * 3 + [pat(c=0.8)] * 3, 0.3),
    "detect_dominant_pattern": (["a", "b", "b", "a"], 2),
    "is_adaptation_beneficial": ("a", "b", 0.9, 0.7, 0.5, 1, 1.1, 0.6),
    "should_skip_adaptation": (100.0, 150.0, 60.0),
    "detect_memory_pressure": (900, 1000, 0.8),
    "detect_fragmentation_threshold": (0.31, 0.3),
    "calculate_adaptation_urgency": (0.5, 0.9, 0.2, True),
    "score_pool_recommendation": (0.5, 0.5, 0.5, 0.5),
    "predict_resource_requirements": (TEN, 60),
}


class TestBinding:
    @pytest.mark.parametrize("name", CALLS)
    def test_keywords(self, name):
        fn, args = getattr(h, name), CALLS[name]
        assert fn(**dict(zip(inspect.signature(fn).parameters, args))) == fn(*args)

    def test_load_line(self):
        code = ("import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(message)s');"
                "import tarvish.plugins.analyzer.halvard as m; print(m.logger.name)")
        out = run_python(code, check=True)
        assert out.stderr == ("tarvish.plugins.analyzer.halvard|Tarvish Halvard Cython module loaded"
                              " - IP protected\n") and out.stdout == "tarvish.plugins.analyzer.halvard\n"


class TestSemantics:
    @pytest.mark.parametrize("call, expected", [
        (lambda: h.detect_performance_degradation([(i, 80) for i in range(5)], 100, 0.15, 0), True),
        (lambda: h.detect_performance_degradation([(i, 85) for i in range(5)], 100, 0.15, 0), False),
        (lambda: h.detect_performance_degradation([(i, 50) for i in range(10)], 100, 0.15, 6), False),
        (lambda: h.detect_performance_degradation([(i, 50) for i in range(10)], 100, 0.15, 5), True),
        (lambda: h.detect_performance_degradation(None, 100, 0.15, 0), False),
        (lambda: h.detect_performance_degradation([], 100, 0.15, 0), False),
        (lambda: h.detect_performance_degradation([1, 2, 3, 4, 5], 0, 0.15, 0), False),  # list never read
        (lambda: h.detect_performance_degradation([1, 2, 3, 4, 5], NAN, 0.15, 0), False),
        (lambda: h.detect_performance_degradation([(NAN, 0)] * 9, 100, 0.15, 0), False),
        (lambda: h.detect_performance_degradation([(i, 50) for i in range(5)], 100, NAN, 0), False),
        (lambda: h.calculate_performance_trend([(0, 10), (1, 11), (2, 12)], 0), 1 / 11),
        (lambda: h.calculate_performance_trend([(0, 1), (1, 1), (2, 10)], 0), 1.0),
        (lambda: h.calculate_performance_trend([(0, 10), (1, 1), (2, 1)], 0), -1.0),
        (lambda: h.calculate_performance_trend([(5, 1), (5, 2), (5, 3)], 0), 0.0),
        (lambda: h.calculate_performance_trend([(0, -1), (1, 0), (2, 1)], 0), 0.0),
        (lambda: h.calculate_performance_trend([(0, 1), (1, 2), (2, 3), (3, 4)], 2), 0.0),
        (lambda: h.calculate_performance_trend([(0, INF), (1, 1), (2, 2)], 0), 0.0),
        (lambda: h.calculate_performance_trend([(0, 1e308), (1, 1e308), (2, 1e308)], 0), 0.0),  # flat; sums overflow
        (lambda: h.calculate_performance_trend([(0, -1e308), (1, -1e308), (2, -1e308)], 0), 0.0),
        (lambda: h.calculate_performance_trend(None, 0), 0.0),
        (lambda: h.detect_workload_characteristics_change([pat()] * 5), (False, 0.0, 0.0, 0.0)),
        (lambda: h.detect_workload_characteristics_change([pat(c=0.2)] * 3 + [pat(c=0.8)] * 3), (True, 0.0, 0.6, 0.0)),
        (lambda: h.detect_workload_characteristics_change([pat()] * 5 + [{}]), (False, 0.0, 0.0, 0.0)),
        (lambda: h.detect_workload_characteristics_change([None, pat(p=0)] + [pat(p=1)] * 5), (True, 1 / 3, 0.0, 0.0)),
        (lambda: h.detect_workload_characteristics_change([pat(m=0)] * 3 + [pat(m=0.9)] * 3, NAN), (False, 0.0, 0.0, 0.9)),
        (lambda: h.detect_dominant_pattern(["a", "b", "b", "a"]), "a"),
        (lambda: h.detect_dominant_pattern(["a", "b", "b", "a"], 2), "b"),
        (lambda: h.detect_dominant_pattern(["z", "a", "b", "b", "a", "c"], 5), "a"),
        (lambda: h.detect_dominant_pattern([], 5), "mixed"),
        (lambda: h.detect_dominant_pattern(["a"], 0), "mixed"),
        (lambda: h.detect_dominant_pattern(["a"], -(2**31)), "mixed"),
        (lambda: h.detect_dominant_pattern([1, "a"], 1), "a"),
        (lambda: h.detect_dominant_pattern(["x", "y"] * 30 + ["y"], 2**31 - 1), "y"),
        (lambda: h.detect_dominant_pattern(["x", "y"] * 30, 60), "x"),
    ])
    def test_history_cases(self, call, expected):
        got = call()
        if isinstance(expected, tuple):
            assert got[0] is expected[0] and got[1:] == pytest.approx(expected[1:], abs=1e-15)
        else:
            assert got == expected and type(got) is type(expected)

    def test_references_agree_exactly(self):
        rng = random.Random(7)
        for _ in range(300):
            n = rng.randrange(0, 40)
            hist = [(rng.uniform(0, 50), rng.choice([rng.uniform(-5, 100), rng.randrange(200)])) for _ in range(n)]
            hist.sort()
            start, base, thr = rng.uniform(0, 40), rng.uniform(1, 100), rng.uniform(-0.5, 0.5)
            assert h.calculate_performance_trend(hist, start) == ref_trend(hist, start)
            assert h.predict_resource_requirements(hist, base) == ref_predict(hist, base)
            pats = [pat(rng.random(), rng.random(), rng.randrange(3)) for _ in range(6 + n % 3)]
            assert h.detect_workload_characteristics_change(pats, thr) == ref_change(pats, thr)
            names = [rng.choice("abcde") for _ in range(n)]
            w = rng.randrange(-2, 45)
            window = names[max(0, n - w):] if w > 0 else []
            assert h.detect_dominant_pattern(names, w) == (max(Counter(window).items(), key=lambda kv: kv[1])[0]
                                                           if window else "mixed")
            a, b, c, d = (rng.uniform(-0.5, 1.5) for _ in range(4))
            assert h.calculate_adaptation_urgency(a, b, c, n % 2) == max(0.0, min(1.0, 0.3 * term(b) + 0.4 * term(a)
                                                                        + 0.15 * term(c) + (0.15 if n % 2 else 0)))
            assert h.score_pool_recommendation(a, b, c, d) == max(0.0, min(1.0, (0.3 * term(b) + 0.2 * term(c))
                                                                  + (0.35 * term(a) + 0.15 * term(d))))

    @pytest.mark.parametrize("args, expected", [
        (("a", "b", 0.9, 0.7, 0.5, 1), True), (("a", "b", 0.55, 0.7, 0.5, 1), False),
        (("a", "b", 0.5, 0.7, 9.0, 0), False), (("a", "b", 0.51, 0.7, 9.0, 0), True),
        (("a", "b", 0.6, 0.7, 0.0, 1), False), (("a", "b", 0.61, 0.7, NAN, -5), True),
        (("a", "a", 9.0, 1.0, 0.5, 1), False), ((None, None, 9.0, 1.0, 0.5, 1), False),
        (("a", None, 9.0, 1.0, 0.5, 1), True), (("ab", "".join(["a", "b"]), 9.0, 1.0, 0.5, 1), False),
        (("a", "b", 9.0, 0.59, 0.5, 1), False), (("a", "b", 9.0, NAN, 0.5, 1), False),
        (("a", "b", 9.0, 0.7, 0.5, 1, 1.1, NAN), False), (("a", "b", NAN, 0.7, 0.5, 0), False),
    ])
    def test_adaptation_gate(self, args, expected):
        assert h.is_adaptation_beneficial(*args) is expected

    @pytest.mark.parametrize("fn, args, expected", [
        (h.should_skip_adaptation, (100.0, 150.0, 60.0), True), (h.should_skip_adaptation, (100.0, 160.0, 60.0), False),
        (h.should_skip_adaptation, (NAN, 160.0, 60.0), True), (h.should_skip_adaptation, (0, INF, INF), False),
        (h.detect_memory_pressure, (900, 1000), True), (h.detect_memory_pressure, (800, 1000), False),
        (h.detect_memory_pressure, (5, 0), False), (h.detect_memory_pressure, (-1, 1000, -5), False),
        (h.detect_memory_pressure, (NAN, 1000), False), (h.detect_memory_pressure, (1, INF, -1), True),
        (h.detect_fragmentation_threshold, (0.31,), True), (h.detect_fragmentation_threshold, (0.3,), False),
        (h.detect_fragmentation_threshold, (-0.1, -1.0), False), (h.detect_fragmentation_threshold, (NAN, -1), False),
        (h.detect_fragmentation_threshold, (0.0, NAN), False),
        (h.calculate_adaptation_urgency, (0.5, 0.9, 0.2, True), 0.3 * 0.9 + 0.4 * 0.5 + 0.15 * 0.2 + 0.15),
        (h.calculate_adaptation_urgency, (2.0, 2.0, 2.0, True), 1.0),
        (h.calculate_adaptation_urgency, (-1, -2, -3, 0), 0.0), (h.calculate_adaptation_urgency, (NAN, NAN, INF, []), 0.15),
        (h.score_pool_recommendation, (1, 1, 1, 1), 1.0), (h.score_pool_recommendation, (0.5,) * 4, 0.5),
        (h.score_pool_recommendation, (-1, 1, 0, 0), 0.3), (h.score_pool_recommendation, (NAN, -INF, INF, 0), 0.2),
    ])
    def test_gates_and_scores(self, fn, args, expected):
        got = fn(*args)
        assert got == expected and type(got) is type(expected)

    @pytest.mark.parametrize("hist, horizon, expected", [
        (TEN, 60, (66, 660, 0.08)), (TEN[:9], 60, (0, 0, 0.0)), ([(3, 10)] * 10, 60, (0, 0, 0.0)),
        ([(9 - t, s) for t, s in TEN], 60, (0, 0, 0.0)), ([(NAN, 1)] * 10, 60, (0, 0, 0.0)),
        ([(t, 10) for t in range(99)], 98, (99, 990, 99 * 0.008)), ([(t, 10) for t in range(100)], 99, (100, 1000, 0.8)),
        (TEN, 1e12, (2**31 - 1, 2**31 - 1, 0.08)), (TEN, -1e12, (-(2**31), -(2**31), 0.08)),
        ([(t, 1e9) for t in range(10)], 9, (10, 2**31 - 1, 0.08)), ([(t, -1e9) for t in range(10)], 9, (10, -(2**31), 0.08)),
        (TEN, INF, (2**31 - 1, 2**31 - 1, 0.08)), (TEN, NAN, (0, 0, 0.08)), ([(t, NAN) for t in range(10)], 9, (10, 0, 0.08)),
        (TEN, 0.99, (1, 10, 0.08)), (TEN, -0.99, (-1, -10, 0.08)), (TEN, -0.5, (0, 0, 0.08)),
    ])
    def test_prediction_saturates(self, hist, horizon, expected):
        got = h.predict_resource_requirements(hist, horizon)
        assert got == expected and [type(x) for x in got] == [int, int, float]


class TestConversion:
    @pytest.mark.parametrize("make", [tuple, list, lambda p: Pair(*p), iter, lambda p: (x for x in p)])
    def test_entry_kinds(self, make):
        hist = [(t, t % 7 + 1) for t in range(12)]
        assert h.predict_resource_requirements([make(p) if 0 < i < 11 else p for i, p in enumerate(hist)], 30) == \
            ref_predict(hist, 30)
        assert h.calculate_performance_trend([make(p) for p in hist], 2) == ref_trend(hist, 2)
        assert h.detect_performance_degradation([make((t, 5)) for t in range(5)], 9, 0.4, 0) is True

    def test_item_conversions(self):
        hist = [(Fraction(t, 3), Decimal(t) / 4) for t in range(12)]
        assert h.calculate_performance_trend(hist, 1) == ref_trend(hist, 1)
        assert h.predict_resource_requirements([(True, 2**70)] + hist[1:], 5) == ref_predict([(1, 2**70)] + hist[1:], 5)
        assert h.detect_workload_characteristics_change([pat(Fraction(1, 3), True, 1)] * 6) == (False, 0.0, 0.0, 0.0)

    def test_predict_subscripts_the_end_entries(self):
        hist = [{0: 0.0}] + [(t, 5) for t in range(1, 10)]
        with pytest.raises(ValueError, match="need more than 1 value to unpack"):  # the dict yields its one key
            h.predict_resource_requirements(hist, 9)


BAD = [(1, 2, 3)] + [(i, 1) for i in range(9)]
ERRORS = [
    (TypeError, "object of type 'NoneType' has no len()", h.detect_workload_characteristics_change, (None,)),
    (TypeError, "object of type 'NoneType' has no len()", h.predict_resource_requirements, (None, 1)),
    (TypeError, "'NoneType' object is not iterable", h.detect_workload_characteristics_change, ([pat(), None] * 3,)),
    (TypeError, "Expected dict, got list", h.detect_workload_characteristics_change, ([pat()] * 5 + [[]],)),
    (TypeError, "Expected dict, got DictSub", h.detect_workload_characteristics_change, ([DictSub(pat())] * 6,)),
    (TypeError, "Expected str, got NoneType", h.detect_dominant_pattern, (["a", None],)),
    (TypeError, "Expected str, got StrSub", h.detect_dominant_pattern, ([StrSub("a")] * 40, 40)),
    (TypeError, "unsupported operand type(s) for +: 'float' and 'str'", h.detect_workload_characteristics_change, ([pat(c="x")] * 6,)),
    (ValueError, "too many values to unpack (expected 2)", h.predict_resource_requirements, (BAD, 1)),
    (ValueError, "too many values to unpack (expected 2)", h.calculate_performance_trend, ([(0, 1)] * 3 + [Pair(1, 2, 3)], 0)),
    (ValueError, "need more than 1 value to unpack", h.detect_performance_degradation, ([(0, 1)] * 4 + [[5]], 1, 0, 0)),
    (ValueError, "need more than 0 values to unpack", h.calculate_performance_trend, ([(0, 1)] * 3 + [Pair()], 0)),
    (TypeError, "'int' object is not iterable", h.calculate_performance_trend, ([(0, 1)] * 3 + [7], 0)),
]


class TestErrors:
    @pytest.mark.parametrize("exc, message, fn, args", ERRORS)
    def test_messages(self, exc, message, fn, args):
        with pytest.raises(exc) as info:
            fn(*args)
        assert str(info.value) == message

    def test_list_shortened_by_a_conversion(self):
        hist = [(0, 1)] * 9
        hist[2] = (Clearing(hist), 1)
        assert h.detect_performance_degradation(hist, 100, 0.1, 0) is False and hist == []
        hist = [(0, 1)] * 10
        hist[0] = (Clearing(hist), 1)  # the last entry is gone before it is read
        with pytest.raises(IndexError, match="list index out of range"):
            h.predict_resource_requirements(hist, 1)

    def test_hostile_key_comparison(self):
        class Key(str):
            def __hash__(self):
                return hash("cpu_intensity")

            def __eq__(self, other):
                raise ZeroDivisionError("no eq today")
        with pytest.raises(ZeroDivisionError, match="no eq today"):
            h.detect_workload_characteristics_change([{Key("q"): 0, **pat()}] * 6)


@pytest.mark.thread_unsafe
class TestRefcounts:
    def test_success_and_error_paths(self):
        entry, name, metric = (1.5, 2.0), "steady", 3.25
        hist, names = [entry, Pair(2.0, metric), [1.0, metric]] * 4, [name] * 40
        pats = [pat(metric)] * 6
        before = [sys.getrefcount(o) for o in (entry, name, metric, hist, names, pats[0])]
        for _ in range(50):
            h.calculate_performance_trend(hist, 0)
            h.predict_resource_requirements(hist, 10)
            assert h.detect_dominant_pattern(names, 40) is name
            h.detect_workload_characteristics_change(pats)
            with pytest.raises(ValueError):
                h.detect_performance_degradation(hist + [(1, 2, metric)], 1, 0, 0)
            with pytest.raises(TypeError):
                h.detect_dominant_pattern(names + [None], 3)
            with pytest.raises(TypeError):
                h.detect_workload_characteristics_change(pats + [(metric,)])
        assert [sys.getrefcount(o) for o in (entry, name, metric, hist, names, pats[0])] == before
