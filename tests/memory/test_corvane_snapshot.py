"""LockFreeStatistics.get_snapshot: every snapshot a fresh dict of the current values, and the
ratio text exactly as the interpreter formats f"{q * 100.0:.1f}%" (the conventions layer's
formatter, which corvane's counters can drive with any counts)."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarvish.memory.corvane import LockFreeStatistics

COUNTERS = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
            "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
            "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"]
I64 = st.integers(-(2**63), 2**63 - 1)


def expected_snapshot(values):
    """The snapshot of counters holding ``values`` (name -> int), computed here."""
    def quotient(num, den):
        return values[num] / values[den] if values[den] > 0 else 0.0

    snap = {k: values[k] for k in COUNTERS[:9]}
    snap["bucketed_allocation_ratio"] = f"{quotient('bucketed_allocations', 'total_allocations') * 100.0:.1f}%"
    snap["alignment_padding_bytes"] = values["alignment_padding_bytes"]
    snap["average_allocation_time_ns"] = quotient("total_allocation_time_ns", "total_allocations")
    snap["average_deallocation_time_ns"] = quotient("total_deallocation_time_ns", "total_deallocations")
    snap["allocation_mode"] = "lock-free C11 atomics"
    return snap


def stats_with(values):
    s = LockFreeStatistics()
    for name, v in values.items():
        getattr(s, name).store(v)
    return s


def ratio_text(part, total):
    return stats_with({"bucketed_allocations": part, "total_allocations": total}).get_snapshot()[
        "bucketed_allocation_ratio"]


class Loads:
    """A replaced counter: anything with a load()."""

    def __init__(self, value):
        self.value = value

    def load(self):
        return self.value


class TestFreshDicts:
    VALUES = {name: 3 * i + 1 for i, name in enumerate(COUNTERS)}

    @pytest.mark.parametrize("mutate", [
        lambda d: d.clear(),
        lambda d: d.update(total_allocations=-5, extra=1),
        lambda d: d.pop("allocation_mode"),
        lambda d: d.__setitem__("bucketed_allocation_ratio", None),
    ], ids=["clear", "update", "pop", "setitem"])
    def test_a_changed_snapshot_leaves_the_next_alone(self, mutate):
        fresh, busy = LockFreeStatistics(), stats_with(self.VALUES)
        for s in (fresh, busy):
            mutate(s.get_snapshot())
        assert fresh.get_snapshot() == expected_snapshot(dict.fromkeys(COUNTERS, 0))
        snap = busy.get_snapshot()
        assert snap == expected_snapshot(self.VALUES) and list(snap) == list(expected_snapshot(self.VALUES))

    @pytest.mark.parametrize("name", COUNTERS)
    def test_one_replaced_counter_among_native_ones(self, name):
        s = stats_with(self.VALUES)
        setattr(s, name, Loads(1000))
        assert s.get_snapshot() == expected_snapshot({**self.VALUES, name: 1000})
        setattr(s, name, Loads(0))
        assert s.get_snapshot() == expected_snapshot({**self.VALUES, name: 0})

    def test_zero_from_a_replaced_counter_is_its_own_object(self):
        s = LockFreeStatistics()
        zero = 0.0
        s.bytes_reserved = Loads(zero)
        assert s.get_snapshot()["bytes_reserved"] is zero

    @given(st.dictionaries(st.sampled_from(COUNTERS), I64))
    def test_any_values(self, values):
        assert stats_with(values).get_snapshot() == expected_snapshot({**dict.fromkeys(COUNTERS, 0), **values})


class TestRatioText:
    @pytest.mark.parametrize("part,total", [
        (1, 16), (3, 16), (5, 16), (17, 16), (99, 400), (1, 4), (3, 4),  # exact ties go to even
        (1, 2000), (3, 2000), (13, 2000), (19, 2000),  # one step off a tie either way
        (1, 3), (2, 3), (0, 7), (7, 0), (-1, 3), (1, -3),
        (10**12, 1), (10**12 + 1, 1), (2**63 - 1, 1), (1, 2**63 - 1), (2**62 + 1, 2**62 + 3),
    ])
    def test_as_the_interpreter_formats_it(self, part, total):
        assert ratio_text(part, total) == f"{(part / total * 100.0 if total > 0 else 0.0):.1f}%"

    @given(I64, I64)
    def test_any_counts(self, part, total):
        assert ratio_text(part, total) == f"{(part / total * 100.0 if total > 0 else 0.0):.1f}%"

    def test_alternating_ratios(self):
        a, b = stats_with({"bucketed_allocations": 1, "total_allocations": 3}), LockFreeStatistics()
        b.record_allocation(8)
        texts = [s.get_snapshot()["bucketed_allocation_ratio"] for s in (a, b, a, a, b)]
        a.bucketed_allocations.store(2)
        assert texts + [a.get_snapshot()["bucketed_allocation_ratio"]] == [
            "33.3%", "100.0%", "33.3%", "33.3%", "100.0%", "66.7%"]
