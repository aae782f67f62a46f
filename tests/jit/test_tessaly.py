import gc
import inspect
import logging
import math
import random
import sys
import threading
import time
import types
import weakref

import pytest
from support import StrSub, hostile, run_python

from tarvish.jit import tessaly as T
from tarvish.jit.telemetry import TelemetryStore

NAN, INF = float("nan"), float("inf")
LOG = "tarvish.jit.tessaly"


class Store:
    """A store that hands out one metrics object for every function."""

    def __init__(self, m):
        self.metrics = m

    def get_metrics(self, func_id):
        return self.metrics


def metrics(call_count=0, compile_count=0, avg_speedup=1.0, **extra):
    return Store(types.SimpleNamespace(call_count=call_count, compile_count=compile_count, avg_speedup=avg_speedup,
                                       **extra))


def learned(cur, compiles, speedup, lr=0.1, target=2.0, lo=10, hi=10000):
    """The learning rule worked out in Python doubles (each operation rounded once)."""
    target = target if target > 0 else 1.0
    step = lr * (1.0 - min(compiles * 0.1, 1.0))
    cand = cur - step * cur if speedup / target > 1.0 else cur + step * cur
    if math.isnan(cand) or cand < lo:
        return lo
    return hi if cand > hi else int(cand)


def assert_unlocked(policy):
    t = threading.Thread(target=policy.get_threshold, args=("probe",))
    t.start()
    t.join(5)
    assert not t.is_alive(), "policy lock left held"


Raises = hostile("index", "int", "float", "eq")  # and, with its __eq__, unhashable


def fields(c):
    return c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup


class TestBinding:
    def test_module(self):
        assert {"PolicyConfig", "FunctionMetrics", "create_policy_config", "create_function_metrics", "Tessaly",
                "get_tessaly", "reset_tessaly", "logger", "Dict", "Optional", "time", "threading"} <= set(vars(T))
        assert not hasattr(T, "_policy_instance")
        assert T.logger.name == LOG and type(T._policy_lock) is type(threading.Lock())

    @pytest.mark.no_refleak("the module runs in a child process")
    def test_load_message(self):
        code = f"import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(message)s'); import {LOG}"
        err = run_python(code).stderr
        assert f"{LOG}|Tarvish Tessaly Cython module loaded - IP protected" in err.splitlines()

    def test_signatures_and_docs(self):
        assert str(inspect.signature(T.PolicyConfig)) == (
            "(initial_threshold=100, min_threshold=10, max_threshold=10000, learning_rate=0.1, target_speedup=2.0)")
        assert str(inspect.signature(T.Tessaly)) == "(config=None)"
        assert str(inspect.signature(T.Tessaly.should_compile)) == "(self, /, func_id, telemetry_store)"

    def test_keywords_and_read_only_config(self):
        p = T.Tessaly(config=T.PolicyConfig(initial_threshold=20))
        assert p.get_threshold(func_id="f") == 20
        assert p.should_compile(func_id="f", telemetry_store=metrics(20))
        with pytest.raises(AttributeError):
            p.config = T.PolicyConfig()


class TestPolicyConfig:
    def test_conversion(self):
        assert fields(T.PolicyConfig()) == (100, 10, 10000, 0.1, 2.0)
        assert fields(T.PolicyConfig(50.9, 5, 60, 1, True)) == (50, 5, 60, 1.0, 1.0)
        assert fields(T.create_policy_config(50.7, True, 60.2, learning_rate=1)) == (50, 1, 60, 1.0, 2.0)
        assert type(T.PolicyConfig().learning_rate) is float

    @pytest.mark.parametrize("kwargs, message", [
        ({"min_threshold": 0, "max_threshold": -5, "learning_rate": 7.0, "initial_threshold": 1},
         "min_threshold must be positive"),
        ({"min_threshold": 10, "max_threshold": 10}, "max_threshold must be greater than min_threshold"),
        ({"learning_rate": 0.0}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": NAN}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": 1.0000000000000002, "target_speedup": 0.0}, "learning_rate must be in (0, 1]"),
        ({"target_speedup": 0.0, "initial_threshold": 1}, "target_speedup must be positive"),
        ({"target_speedup": NAN}, "target_speedup must be positive"),
        ({"initial_threshold": 9}, "initial_threshold must be within bounds"),
        ({"initial_threshold": 10001}, "initial_threshold must be within bounds"),
    ])
    def test_validation_order(self, kwargs, message):
        for make in (T.PolicyConfig, T.create_policy_config):
            with pytest.raises(ValueError) as e:
                make(**kwargs)
            assert str(e.value) == message

    @pytest.mark.parametrize("kwargs", [
        {"initial_threshold": 10}, {"initial_threshold": 10000}, {"learning_rate": 1.0}, {"learning_rate": 5e-324},
        {"min_threshold": 1, "max_threshold": 2, "initial_threshold": 2}, {"max_threshold": 2**31 - 1,
                                                                            "target_speedup": INF},
    ])
    def test_accepted_bounds(self, kwargs):
        c = T.PolicyConfig(**kwargs)
        assert {k: getattr(c, k) for k in kwargs} == kwargs

    def test_writes_convert_without_validating(self):
        c = T.PolicyConfig()
        c.learning_rate, c.min_threshold, c.initial_threshold = 5, 20000, 7.9
        assert (c.learning_rate, c.min_threshold, c.initial_threshold) == (5.0, 20000, 7)


class TestFunctionMetrics:
    @pytest.mark.parametrize("kwargs, stamp", [
        ({}, 0.0), ({"last_compile_time": 5.0}, 5.0), ({"last_compile_time": 5.0, "last_compiled": 7.0}, 7.0),
        ({"last_compiled": 0.0, "last_compile_time": 9.0}, 0.0), ({"last_compiled": -0.0, "last_compile_time": 9.0}, 0.0),
        ({"last_compiled": NAN, "last_compile_time": 9.0}, 9.0), ({"last_compiled": -1e-300, "last_compile_time": 9.0}, 9.0),
    ])
    def test_timestamp_rule(self, kwargs, stamp):
        m = T.FunctionMetrics(**kwargs)
        assert m.last_compiled == m.last_compile_time == stamp

    def test_one_slot_two_names(self):
        m = T.FunctionMetrics(2**64 - 1, 2**32 - 1, 3.5, 4.5, 6.0)
        assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms) == (2**64 - 1, 2**32 - 1,
                                                                                             3.5, 4.5)
        m.last_compile_time = 3.5
        assert m.last_compiled == 3.5
        m.last_compiled = -1.0
        assert m.last_compile_time == -1.0

    def test_factory(self):
        m = T.create_function_metrics(3, 1, 1.5)
        assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compiled) == (
            3, 1, 1.5, 0.0, 0.0)
        m = T.create_function_metrics(last_compile_time=4.0, call_count=2.9)
        assert (m.last_compiled, m.call_count) == (4.0, 2)


class TestShouldCompile:
    @pytest.mark.thread_unsafe
    @pytest.mark.parametrize("calls, compiles, age, expected", [
        (99, 0, None, False), (100, 0, None, True), (500, 1, 599.0, False), (500, 1, 600.0, True),
        (99, 1, 1e9, False), (500, 2, NAN, False), (500, 2, -INF, False), (2**64 - 1, 2**32 - 1, 600.0, True),
    ])
    def test_decision(self, monkeypatch, calls, compiles, age, expected):
        now = 1_000_000.0
        monkeypatch.setattr(T, "time", types.SimpleNamespace(time=lambda: now))
        extra = {} if age is None else {"last_compiled": now - age}
        assert T.Tessaly().should_compile("f", metrics(calls, compiles, **extra)) is expected

    def test_real_clock_and_contract(self):
        p = T.Tessaly()
        assert p.should_compile(None, Store(T.FunctionMetrics(500, 1, last_compiled=time.time() - 600)))
        assert not p.should_compile(None, Store(T.FunctionMetrics(500, 1, last_compiled=time.time() - 590)))
        assert p.should_compile("f", metrics(100, 2))  # no last_compiled: counts as 0.0

    def test_learned_threshold_applies(self):
        p = T.Tessaly()
        p.update("f", metrics(compile_count=1, avg_speedup=3.0))
        assert (p.get_threshold("f"), p.get_threshold("g"), p.get_threshold(None)) == (91, 100, 100)
        assert p.should_compile("f", metrics(91)) and not p.should_compile("f", metrics(90))

    def test_non_positive_threshold_lets_every_count_through(self):
        c = T.PolicyConfig()
        p = T.Tessaly(c)
        c.initial_threshold = -5
        assert p.get_threshold("f") == -5 and p.should_compile("f", metrics(0))


class TestUpdate:
    @pytest.mark.parametrize("current, compiles, speedup, new", [
        (100, 1, 3.0, 91), (100, 1, 1.0, 109), (100, 2, 2.0, 108), (100, 5, 3.0, 95), (100, 10, 3.0, 100),
        (50, 1, 3.0, 45), (10, 1, 5.0, 10), (10000, 1, 1.0, 10000), (100, 1, NAN, 109), (100, 11, 0.0, 100),
    ])
    def test_worked_values(self, current, compiles, speedup, new):
        assert learned(current, compiles, speedup) == new
        p = T.Tessaly(T.PolicyConfig(initial_threshold=current))
        p.update("f", metrics(compile_count=compiles, avg_speedup=speedup))
        assert p.get_threshold("f") == new

    def test_rule_against_independent_doubles(self):
        rng = random.Random(1234)
        for _ in range(300):
            lo = rng.randint(1, 500)
            hi = rng.randint(lo + 1, 2**31 - 1)
            cur, lr, target = rng.randint(lo, hi), rng.uniform(1e-9, 1.0), rng.choice([rng.uniform(0.01, 9), 2.0])
            compiles, speedup = rng.randint(1, 12), rng.choice([rng.uniform(0.0, 8.0), target])
            p = T.Tessaly(T.PolicyConfig(cur, lo, hi, lr, target))
            p.update("f", metrics(compile_count=compiles, avg_speedup=speedup))
            assert p.get_threshold("f") == learned(cur, compiles, speedup, lr, target, lo, hi)

    @pytest.mark.parametrize("method, reads, threshold", [
        ("should_compile", ["call_count", "compile_count", "last_compiled"], 100),
        # the zero test reads compile_count 1, the rule reads it again and gets 10: no step
        ("update", ["compile_count", "compile_count", "avg_speedup"], 100),
    ])
    def test_metric_reads(self, method, reads, threshold):
        seen, compiles = [], iter([1, 10])
        values = {"call_count": 500, "avg_speedup": 3.0, "last_compiled": 0.0}

        class Reads:
            def __getattr__(self, name):
                seen.append(name)
                return next(compiles) if name == "compile_count" else values[name]

        p = T.Tessaly()
        getattr(p, method)("f", Store(Reads()))
        assert seen == reads and p.get_threshold("f") == threshold

    @pytest.mark.thread_unsafe
    def test_no_compilation_changes_nothing(self, caplog):
        p = T.Tessaly()
        with caplog.at_level(logging.DEBUG, logger=LOG):
            p.update("f", metrics(compile_count=0, avg_speedup="never read"))
            p.update("f", metrics(compile_count=0.0))
        assert caplog.records == []
        assert p.get_statistics() == {"tracked_functions": 0, "avg_threshold": 100, "min_threshold": 10,
                                      "max_threshold": 10000}

    @pytest.mark.parametrize("change, speedup, expected", [
        ({"target_speedup": 0.0}, 1.0, 109), ({"target_speedup": -3.0}, 1.5, 91), ({"target_speedup": NAN}, 1.5, 91),
        ({"learning_rate": 5.0}, 3.0, 10), ({"learning_rate": 5.0}, 1.0, 550), ({"learning_rate": NAN}, 3.0, 10),
        ({"learning_rate": INF}, 1.0, 10000), ({"min_threshold": 200}, 3.0, 200), ({"max_threshold": 50}, 1.0, 50),
        ({"min_threshold": 300, "max_threshold": 50}, 1.0, 300), ({"min_threshold": 100, "max_threshold": 50}, 1.0, 50),
    ])
    def test_config_changed_after_construction(self, change, speedup, expected):
        c = T.PolicyConfig()
        p = T.Tessaly(c)
        for k, v in change.items():
            setattr(c, k, v)
        p.update("f", metrics(compile_count=1, avg_speedup=speedup))
        assert p.get_threshold("f") == expected

    @pytest.mark.thread_unsafe
    def test_log_lines(self, caplog):
        rng = random.Random(99)
        values = [3.0, 0.125, 0.375, 2.675, 1.005, 0.015, 1e22, 1.7976931348623157e308, 5e-324, -0.0, NAN, -NAN, -INF,
                  INF, 123456789.995] + [rng.uniform(-1e6, 1e6) for _ in range(100)]
        values += [rng.randint(0, 10**6) / 1000 for _ in range(100)]  # many ties at the third decimal
        p = T.Tessaly()
        with caplog.at_level(logging.DEBUG, logger=LOG):
            p.update("f", metrics(compile_count=1, avg_speedup=3.0))
            p.update(None, metrics(compile_count=10, avg_speedup=3.0))
            p.update("\u00e9", metrics(compile_count=1, avg_speedup=1.0))
            for v in values:
                p.update("g", metrics(compile_count=10, avg_speedup=v))
        assert {(r.name, r.levelno) for r in caplog.records} == {(LOG, logging.DEBUG)}
        assert [r.getMessage() for r in caplog.records] == [
            "Updated threshold for f: 100 -> 91 (speedup: 3.00x)",
            "Updated threshold for None: 100 -> 100 (speedup: 3.00x)",
            "Updated threshold for \u00e9: 100 -> 109 (speedup: 1.00x)",
        ] + [f"Updated threshold for g: 100 -> 100 (speedup: {v:.2f}x)" for v in values]

    @pytest.mark.thread_unsafe
    def test_logging_error_propagates_after_store(self, monkeypatch):
        monkeypatch.setattr(T, "logger", types.SimpleNamespace(debug=lambda m: 1 / 0))
        p = T.Tessaly()
        with pytest.raises(ZeroDivisionError):
            p.update("f", metrics(compile_count=1, avg_speedup=3.0))
        assert p.get_threshold("f") == 91

    def test_statistics(self):
        p = T.Tessaly()
        p.update("a", metrics(compile_count=1, avg_speedup=3.0))
        p.update("b", metrics(compile_count=1, avg_speedup=1.0))
        stats = p.get_statistics()
        assert stats == {"tracked_functions": 2, "avg_threshold": 100.0, "min_threshold": 91, "max_threshold": 109}
        assert list(stats) == ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"]
        assert type(stats["avg_threshold"]) is float
        p.update(None, metrics(compile_count=1, avg_speedup=1.0))
        assert p.get_statistics()["avg_threshold"] == (91 + 109 + 109) / 3


class TestConstruction:
    def test_shares_config_and_subclass(self):
        class Sub(T.PolicyConfig):
            pass

        c = Sub(initial_threshold=20)
        p = T.Tessaly(c)
        c.initial_threshold = 30
        assert p.config is c and p.get_threshold("x") == 30
        assert T.Tessaly(None).config is not T.Tessaly(None).config

    def test_plain_object(self):
        assert fields(T.Tessaly(types.SimpleNamespace(learning_rate=0.5, x=1)).config) == (100, 10, 10000, 0.5, 2.0)
        with pytest.raises(ValueError, match=r"^min_threshold must be positive$"):
            T.Tessaly(types.SimpleNamespace(min_threshold=0))
        with pytest.raises(ZeroDivisionError):  # only AttributeError means absent
            T.Tessaly(type("Odd", (), {"max_threshold": property(lambda self: 1 / 0)})())

    def test_cycle_through_config_is_collected(self):
        class Sub(T.PolicyConfig):
            pass

        c, marker = Sub(), Sub()
        c.policy, c.marker = T.Tessaly(c), marker
        ref = weakref.ref(marker)
        del c, marker
        gc.collect()
        assert ref() is None


@pytest.mark.threads
class TestErrors:
    @pytest.mark.parametrize("call", [
        lambda p: p.get_threshold(), lambda p: p.should_compile("f"), lambda p: p.update("f", 1, 2),
        lambda p: p.get_statistics(x=1), lambda p: p.get_threshold(1), lambda p: p.update(StrSub("f"), None),
        lambda p: p.should_compile("f", metrics(-1)), lambda p: p.should_compile("f", metrics(1, -1)),
        lambda p: p.update("f", metrics(1, 2**32)), lambda p: p.update("f", metrics(1, 1, "x")),
        lambda p: p.should_compile("f", metrics(100, 1, last_compiled="x")),
    ])
    def test_refused_arguments_and_metrics_leave_the_policy_as_it_was(self, call):
        p = T.Tessaly()
        with pytest.raises((TypeError, OverflowError)):
            call(p)
        assert p.get_statistics()["tracked_functions"] == 0
        assert_unlocked(p)

    @pytest.mark.parametrize("call, error, message", [
        (lambda p: p.should_compile("f", Store(types.SimpleNamespace(compile_count=1))), AttributeError,
         "'types.SimpleNamespace' object has no attribute 'call_count'"),
        (lambda p: p.update("f", object()), AttributeError, "'object' object has no attribute 'get_metrics'"),
    ])
    def test_messages(self, call, error, message):
        p = T.Tessaly()
        with pytest.raises(error) as e:
            call(p)
        assert str(e.value) == message
        assert p.get_statistics()["tracked_functions"] == 0
        assert_unlocked(p)

    @pytest.mark.parametrize("method, unread", [("should_compile", {"avg_speedup"}),
                                                ("update", {"call_count", "last_compiled"})])
    @pytest.mark.parametrize("field", ["call_count", "compile_count", "avg_speedup", "last_compiled"])
    def test_hostile_metrics(self, method, unread, field):
        store = metrics(500, 1, 3.0, last_compiled=0.0)
        setattr(store.metrics, field, Raises())  # its __int__, __float__ and __eq__ raise
        p = T.Tessaly()
        if field in unread:
            getattr(p, method)("f", store)
        else:
            with pytest.raises(ZeroDivisionError):
                getattr(p, method)("f", store)
        assert p.get_threshold("f") == (91 if method == "update" and field in unread else 100)
        assert_unlocked(p)

    @pytest.mark.parametrize("method", ["should_compile", "update"])
    def test_store_raises(self, method):
        failing = types.SimpleNamespace(get_metrics=lambda func_id: {}[func_id])
        p = T.Tessaly()
        with pytest.raises(KeyError, match="^'g'$"):
            getattr(p, method)("g", failing)
        assert_unlocked(p)
        assert p.get_statistics()["tracked_functions"] == 0

    @pytest.mark.thread_unsafe
    def test_reference_counts(self):
        p, func_id = T.Tessaly(), "".join(["ref", "count"])
        good, bad = metrics(500, 1, 3.0, last_compiled=0.0), metrics(-1, -1, "x")
        objs = (p, p.config, func_id, good, good.metrics, bad, bad.metrics)
        p.should_compile(func_id, good)
        before = [sys.getrefcount(o) for o in objs]
        for _ in range(50):
            p.should_compile(func_id, good)
            p.get_threshold(func_id)
            p.get_statistics()
            for call in (p.should_compile, p.update):
                with pytest.raises(OverflowError):
                    call(func_id, bad)
        del call
        assert [sys.getrefcount(o) for o in objs] == before
        p.update(func_id, good)
        p.update(func_id, good)
        before[2] += 1  # now held once as a key of the learned thresholds
        assert [sys.getrefcount(o) for o in objs] == before


class TestSingleton:
    @pytest.mark.thread_unsafe
    def test_get_and_reset(self):
        T.reset_tessaly()
        a = T.get_tessaly()
        assert a is T.get_tessaly() and type(a) is T.Tessaly
        a.update("f", metrics(compile_count=1, avg_speedup=3.0))
        assert T.reset_tessaly() is None
        b = T.get_tessaly()
        assert b is not a and b.get_statistics()["tracked_functions"] == 0
        assert a.get_threshold("f") == 91  # a held policy keeps working

    @pytest.mark.threads
    @pytest.mark.thread_unsafe
    def test_waits_for_policy_lock_and_releases_it_on_error(self, monkeypatch):
        got = []
        with T._policy_lock:
            t = threading.Thread(target=lambda: got.append(T.get_tessaly()))
            t.start()
            t.join(0.2)
            assert t.is_alive() and not got
        t.join(5)
        assert got == [T.get_tessaly()]
        T.reset_tessaly()
        monkeypatch.setattr(T, "threading", types.SimpleNamespace(Lock=lambda: 1 / 0))
        with pytest.raises(ZeroDivisionError):
            T.get_tessaly()
        assert not T._policy_lock.locked()

    @pytest.mark.thread_unsafe
    @pytest.mark.parametrize("made_before", [False, True], ids=["made", "found"])
    def test_reset_while_leaving_the_lock(self, monkeypatch, made_before):
        T.reset_tessaly()
        if made_before:
            T.get_tessaly()

        class ResettingLock:
            """Leaving get_tessaly's section runs a reset (whose own leaving does not)."""
            resets = 0

            def __enter__(self):
                return self

            def __exit__(self, *exc):
                if not ResettingLock.resets:
                    ResettingLock.resets += 1
                    T.reset_tessaly()

        monkeypatch.setattr(T, "_policy_lock", ResettingLock())
        p = T.get_tessaly()
        assert type(p) is T.Tessaly and ResettingLock.resets == 1
        monkeypatch.undo()
        assert T.get_tessaly() is not p
        T.reset_tessaly()


@pytest.mark.threads
class TestConcurrency:
    def test_updates_apply_one_after_another(self):
        p, n_threads, per_thread = T.Tessaly(), 8, 6
        barrier = threading.Barrier(n_threads)

        def work(seed):
            barrier.wait()
            for i in range(per_thread):
                p.update("shared", metrics(compile_count=1, avg_speedup=1.0))
                p.update(f"own{seed}", metrics(compile_count=1 + i % 3, avg_speedup=(1.0, 3.0)[(seed + i) % 2]))
                assert p.should_compile("shared", metrics(10**6, 0)) and p.get_threshold("x") == 100

        threads = [threading.Thread(target=work, args=(s,)) for s in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        shared = 100
        for _ in range(n_threads * per_thread):  # 48 steps of +9 %, each truncated: a lost update shows
            shared = learned(shared, 1, 1.0)
        assert p.get_threshold("shared") == shared < 10000
        for seed in range(n_threads):
            own = 100
            for i in range(per_thread):
                own = learned(own, 1 + i % 3, (1.0, 3.0)[(seed + i) % 2])
            assert p.get_threshold(f"own{seed}") == own


class TestTelemetryStore:
    def test_round_trip(self):
        store, p = TelemetryStore(), T.Tessaly()
        fresh = store.get_metrics("f")
        assert (fresh.call_count, fresh.compile_count, fresh.avg_speedup, fresh.last_compiled) == (0, 0, 1.0, 0.0)
        for _ in range(99):
            store.record_call("f", 2.0)
        assert not p.should_compile("f", store)
        store.record_call("f", 1.0)
        assert p.should_compile("f", store)
        store.record_compile("f", 3.0)
        store.record_compile("f", 4.0)
        m = store.get_metrics("f")
        assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms) == (100, 2, 3.5, 199.0)
        assert m.last_compile_time == m.last_compiled and time.time() - m.last_compiled < 60
        assert not p.should_compile("f", store)  # compiled just now
        p.update("f", store)
        assert p.get_threshold("f") == learned(100, 2, 3.5)
        store.record_compile(None, 0.1, timestamp=5.0)
        assert (store.get_metrics(None).avg_speedup, store.get_metrics(None).last_compiled) == (0.1, 5.0)
