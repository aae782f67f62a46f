"""The native operations tables the objects' states begin with, called as a
native caller calls them: through ctypes, the GIL held, an error raised when
one is set."""

import ctypes

import pytest

from support import outcome, overriding
from tarvish.jit import tessaly
from tarvish.memory import corvane
from tarvish.monitoring import murrel

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
