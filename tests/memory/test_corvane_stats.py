import fractions
import sys
import threading
import time
import types

import pytest

from support import Hostile
from tarvish.memory import corvane
from tarvish.memory.corvane import AtomicCounter, LockFreeStatistics, PerformanceTimer

KEYS = [
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
    "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
    "bucketed_allocation_ratio", "alignment_padding_bytes", "average_allocation_time_ns",
    "average_deallocation_time_ns", "allocation_mode",
]
COUNTERS = KEYS[:9] + ["alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"]


def values(stats):
    return {name: getattr(stats, name).load() for name in COUNTERS}


class CallLog:
    """A counter stand-in that logs every call made on it."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __getattr__(self, method):
        return lambda *args: self.log.append((self.name, method, *args)) or 7


class TestSnapshot:
    def test_fresh_object(self):
        snap = LockFreeStatistics().get_snapshot()
        assert list(snap) == KEYS and snap["allocation_mode"] == "lock-free C11 atomics"
        assert snap["bucketed_allocation_ratio"] == "0.0%" and type(snap["average_allocation_time_ns"]) is float
        assert [snap[k] for k in KEYS[:9] + KEYS[10:13]] == [0] * 12

    @pytest.mark.parametrize("part,total", [(1, 3), (2, 3), (5, 8), (2**60 + 1, 3 * 2**59 + 7), (7, -1),
                                            (2**63 - 1, 2**63 - 1), (-(2**63), 2**53 + 1)])
    def test_ratio_and_average_match_true_division(self, part, total):
        s = LockFreeStatistics()
        s.bucketed_allocations.store(part)
        s.total_allocation_time_ns.store(part)
        s.total_allocations.store(total)
        quotient = part / total if total > 0 else 0.0
        snap = s.get_snapshot()
        assert snap["bucketed_allocation_ratio"] == f"{(quotient * 100.0 if total > 0 else 0.0):.1f}%"
        assert snap["average_allocation_time_ns"] == quotient

    def test_replaced_counters_are_used_as_they_are(self):
        s = LockFreeStatistics()
        s.total_allocations = types.SimpleNamespace(load=lambda: fractions.Fraction(3))
        s.bytes_reserved.increment(4096)
        s.bucketed_allocations.increment()
        snap = s.get_snapshot()
        assert snap["bucketed_allocation_ratio"] == "33.3%" and snap["bytes_reserved"] == 4096


class TestRecording:
    def test_worked_example(self):
        s = LockFreeStatistics()
        s.record_allocation(100)
        s.record_allocation(50, False, 8, 200)
        s.record_deallocation(100, 40)
        snap = s.get_snapshot()
        assert [snap[k] for k in KEYS[:11]] == [2, 1, 1, 50, 0, 2, 150, 1, 1, "50.0%", 8]
        assert (snap["average_allocation_time_ns"], snap["average_deallocation_time_ns"]) == (100.0, 40.0)

    @pytest.mark.parametrize("padding,time_ns", [(-5, 0), (0, -1), (-(2**63), -(2**70))])
    def test_non_positive_padding_and_time_are_ignored(self, padding, time_ns):
        s = LockFreeStatistics()
        s.record_allocation(10, True, padding, time_ns)
        s.record_deallocation(10, time_ns)
        assert values(s)["alignment_padding_bytes"] == values(s)["total_deallocation_time_ns"] == 0

    @pytest.mark.parametrize("size,stored", [(2.9, 2), (True, 1), (-7, -7), (2**63 - 1, 2**63 - 1)])
    def test_sizes_use_the_int_conversion(self, size, stored):
        s = LockFreeStatistics()
        s.record_allocation(size, is_bucketed=[], time_ns=3.5)
        assert (s.bytes_allocated.load(), s.fallback_allocations.load(), s.total_allocation_time_ns.load()) == (
            stored, 1, 3)

    def test_update_peaks_only_rises(self):
        s = LockFreeStatistics()
        s._update_peaks(5, 10)
        s._update_peaks(current_allocs=3, current_bytes=20)
        s._update_peaks(5.7, -(2**70))
        assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 20)

    def test_py_methods_touch_only_three_public_counters(self):
        s = LockFreeStatistics()
        s.py_record_allocation(64, True, 8, 100)
        s.py_record_allocation(size=36, is_bucketed=0)
        s.py_record_deallocation(90, 5)
        changed = {"total_allocations": 2, "current_allocations": 1, "bytes_allocated": 10, "total_deallocations": 1}
        assert values(s) == {k: changed.get(k, 0) for k in COUNTERS}

    def test_reset_zeroes_everything(self):
        s = LockFreeStatistics()
        s.record_allocation(100, False, 3, 4)
        s.py_record_deallocation(7, 9)
        s.bytes_reserved.store(-1)
        s.reset()
        assert set(values(s).values()) == {0} and s.get_snapshot()["bucketed_allocation_ratio"] == "0.0%"

    def test_steps_call_whatever_the_attributes_hold_in_order(self):
        s, log = LockFreeStatistics(), []
        for name in COUNTERS:
            setattr(s, name, CallLog(name, log))
        s.record_allocation(100, True, 8, 9)
        assert log == [
            ("total_allocations", "increment"), ("current_allocations", "increment"),
            ("bytes_allocated", "increment", 100), ("bucketed_allocations", "increment"),
            ("alignment_padding_bytes", "increment", 8), ("total_allocation_time_ns", "increment", 9),
            ("current_allocations", "load"), ("bytes_allocated", "load"),
            ("peak_allocations", "load"), ("peak_bytes_allocated", "load"),
        ]
        log.clear()
        s.record_deallocation(5)
        s.reset()
        assert log == [("total_deallocations", "increment"), ("current_allocations", "decrement"),
                       ("bytes_allocated", "decrement", 5)] + [(name, "store", 0) for name in COUNTERS]

    def test_subclass_override_of_update_peaks_is_called(self):
        class Spy(LockFreeStatistics):
            def _update_peaks(self, a, b):
                self.seen = (a, b)

        s = Spy()
        s.record_allocation(30)
        assert s.seen == (1, 30) and s.peak_allocations.load() == 0

    @pytest.mark.thread_unsafe
    def test_a_patched_counter_class_is_honoured(self, monkeypatch):
        s = LockFreeStatistics()
        with monkeypatch.context() as patch:
            patch.setattr(AtomicCounter, "increment", lambda self, delta=1: self.store(-delta))
            s.record_allocation(100)
        assert s.total_allocations.load() == -1 and s.bytes_allocated.load() == -100
        s.record_allocation(100)
        assert s.total_allocations.load() == 0 and s.peak_bytes_allocated.load() == 0

    @pytest.mark.thread_unsafe
    def test_a_counter_replaced_while_its_class_is_looked_at_again(self, monkeypatch):
        """The class check runs Python code; the step uses the counter the attribute holds after it."""
        s, original = LockFreeStatistics(), AtomicCounter.__dict__["increment"]

        class Replacing:
            def __get__(self, obj, owner=None):
                if obj is None and s.total_allocations.load() == 0:
                    s.total_allocations = AtomicCounter(100)  # drops the counter's only other reference
                return original.__get__(obj, owner)

        with monkeypatch.context() as patch:
            patch.setattr(AtomicCounter, "increment", Replacing())
            s.record_allocation(8)
        assert s.total_allocations.load() == 101 and s.bytes_allocated.load() == 8


class TestErrors:
    @pytest.mark.parametrize("call", [
        lambda s: s.record_allocation("7"), lambda s: s.record_allocation(1, True, None),
        lambda s: s.record_deallocation(1, b""), lambda s: s.py_record_allocation(1, 1, 0, []),
        lambda s: s._update_peaks(1, "2"), lambda s: s.py_record_allocation(1),
    ])
    def test_refused_arguments_change_nothing(self, call):
        s = LockFreeStatistics()
        with pytest.raises(TypeError):
            call(s)
        assert set(values(s).values()) == {0}

    @pytest.mark.parametrize("bad", range(4))
    def test_hostile_or_oversized_arguments_change_nothing(self, bad):
        s, args = LockFreeStatistics(), [1, True, 0, 0]
        for value, exc in ((Hostile(), ZeroDivisionError), (2**63, OverflowError)):
            args[bad] = value
            for method in (s.record_allocation, s.py_record_allocation):
                if exc is ZeroDivisionError or method == s.py_record_allocation and bad != 1:
                    with pytest.raises(exc):
                        method(*args)
        assert set(values(s).values()) == {0}

    @pytest.mark.thread_unsafe
    def test_overflow_from_the_counter_after_earlier_steps(self):
        s, big = LockFreeStatistics(), 2**63
        base = sys.getrefcount(big)
        for call in (s.record_allocation, s.record_deallocation):
            with pytest.raises(OverflowError):
                call(big)
        v = values(s)
        assert (v["total_allocations"], v["total_deallocations"], v["current_allocations"]) == (1, 1, 0)
        assert v["bytes_allocated"] == v["fallback_allocations"] == v["bucketed_allocations"] == 0
        assert sys.getrefcount(big) == base

    def test_deleted_attribute_holds_none(self):
        s = LockFreeStatistics()
        del s.bytes_allocated
        assert s.bytes_allocated is None
        for call in (lambda: s.record_allocation(1), s.get_snapshot, s.reset):
            with pytest.raises(AttributeError):
                call()
        assert s.total_allocations.load() == 0 and s.current_allocations.load() == 0

    @pytest.mark.thread_unsafe
    def test_reset_lock_exit_sees_the_error_and_may_suppress_it(self, monkeypatch):
        log = []

        class Lock:
            def __enter__(self):
                log.append("enter")

            def __exit__(self, t, v, tb):
                log.append(t)
                return t is AttributeError

        monkeypatch.setattr(corvane, "threading", types.SimpleNamespace(Lock=Lock))
        s = LockFreeStatistics()
        s.peak_allocations = object()
        s.bytes_reserved.store(5)
        s.total_deallocation_time_ns.store(5)
        assert s.reset() is None and log == ["enter", AttributeError]
        assert (s.bytes_reserved.load(), s.total_deallocation_time_ns.load()) == (0, 5)

    @pytest.mark.thread_unsafe
    def test_attributes_hold_one_reference(self):
        s, counter = LockFreeStatistics(), AtomicCounter(3)
        base = sys.getrefcount(counter)
        s.bytes_reserved = counter
        for _ in range(3):
            s.get_snapshot(), s.reset(), s.record_allocation(2**40, False, 2**40, 2**40)
        assert sys.getrefcount(counter) == base + 1
        del s.bytes_reserved
        assert sys.getrefcount(counter) == base


@pytest.mark.threads
class TestConcurrency:
    THREADS, N = 8, 3000

    def run(self, target):
        threads = [threading.Thread(target=target, args=(t,)) for t in range(self.THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def test_recording_threads_lose_nothing_and_keep_the_highest_peak(self):
        s = LockFreeStatistics()
        self.run(lambda t: [s.record_allocation(t + 1, i % 2, 1, 2) for i in range(self.N)])
        total = self.THREADS * self.N
        v = values(s)
        assert v["total_allocations"] == v["current_allocations"] == v["peak_allocations"] == total
        assert v["bytes_allocated"] == v["peak_bytes_allocated"] == self.N * sum(range(1, self.THREADS + 1))
        assert v["bucketed_allocations"] == v["fallback_allocations"] == total // 2
        assert v["alignment_padding_bytes"] == total and v["total_allocation_time_ns"] == 2 * total

    def test_py_recording_threads_lose_nothing(self):
        s = LockFreeStatistics()
        self.run(lambda t: [(s.py_record_allocation(t, True), s.py_record_deallocation(t, 1)) for _ in range(self.N)])
        v = values(s)
        assert v["total_allocations"] == v["total_deallocations"] == self.THREADS * self.N
        assert v["current_allocations"] == v["bytes_allocated"] == 0


class TestTimer:
    def test_elapsed_is_bounded_by_the_clock(self):
        t = PerformanceTimer()
        before = time.perf_counter_ns()
        assert before <= t.elapsed_ns() <= time.perf_counter_ns()
        t.start()
        elapsed = t.elapsed_ns()
        assert type(elapsed) is int and 0 <= elapsed <= time.perf_counter_ns() - before

    def test_units_go_through_elapsed_ns(self):
        class Fixed(PerformanceTimer):
            def elapsed_ns(self):
                return 1500

        assert Fixed().elapsed_us() == 1500 / 1000.0 and Fixed().elapsed_ms() == 1500 / 1000000.0

    @pytest.mark.thread_unsafe
    def test_clock_values_beyond_64_bits(self, monkeypatch):
        t = PerformanceTimer()
        monkeypatch.setattr(time, "perf_counter_ns", lambda: 2**70)
        assert t.elapsed_ns() == 2**70
        with pytest.raises(OverflowError):
            t.start()
        monkeypatch.setattr(time, "perf_counter_ns", lambda: -(2**63))
        t.start()
        monkeypatch.setattr(time, "perf_counter_ns", lambda: 2**63)
        assert t.elapsed_ns() == 2**64 and t.elapsed_ms() == 2**64 / 1000000.0
