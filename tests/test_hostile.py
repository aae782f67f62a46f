"""Every public function and method of the nine native modules, called with
arguments drawn from a hostile pool: wrong types, subclasses of builtins, huge
and negative ints, NaN and infinities, objects whose conversions or comparisons
raise, and objects whose conversions call back into the object under test (so a
conversion made under the object's lock would deadlock). The only outcomes
allowed are a result or an ordinary exception: never a crash, never SystemError
(a native function returning without a result and without an error, or the
reverse), and the object must still answer correctly afterwards."""

import importlib
import math

import pytest

from support import IntSub, StrSub, TupleSub, hostile, native_callables

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

# Calls that reach outside the process (they probe the machine) are swept only for binding.
SLOW = {"detect_capabilities", "detect_gpu_backends", "detect_python_version", "detect_numa_nodes",
        "detect_physical_cores"}


class Boom(Exception):
    pass


RaisingNumber = hostile("index", "int", "float", "bool", "eq", "len", "iter", exc=Boom, name="RaisingNumber",
                        __hash__=object.__hash__)


class Reentrant:
    """Converts to 1, but first calls back into the current target."""

    target = None

    def _poke(self):
        t = Reentrant.target
        if t is not None:
            for name in ("load", "size", "get_stats", "get_threshold", "get_snapshot", "is_empty"):
                m = getattr(t, name, None)
                if m is not None:
                    try:
                        m() if name != "get_threshold" else m("f")
                    except Exception:
                        pass
                    break

    def __index__(self):
        self._poke()
        return 1

    __int__ = __index__

    def __float__(self):
        self._poke()
        return 1.0

    def __bool__(self):
        self._poke()
        return True

    def __eq__(self, other):
        self._poke()
        return False

    __hash__ = object.__hash__


class LyingLen(list):
    def __len__(self):
        return 10**6


POOL = [
    None, True, 0, 1, -1, 7, 2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 2**64, 2**200, -(2**200),
    0.0, -0.0, 1.5, -2.5, math.nan, math.inf, -math.inf, 1e308,
    "", "x", "numpy torch pandas", StrSub("cuda"), "8.6", "9" * 40 + ".0", b"\x00" * 16, b"x",
    IntSub(3), TupleSub((1, 2)), (), (1.0, 2.0), (1, 2, 3), [], [(1.0, 2.0)] * 3, [("a", "b")], [None], LyingLen([1]),
    {}, {"cpu_intensive": 1.0}, {"a": RaisingNumber()},
    RaisingNumber(), Reentrant(), object(), 1j, Boom(),
]


def method_names(cls):
    return sorted(n for n in dir(cls) if (not n.startswith("__") or n in ("__len__", "__bool__", "__repr__"))
                  and callable(getattr(cls, n, None)) and not isinstance(getattr(cls, n), type))


def check_outcome(fn, args):
    try:
        fn(*args)
    except SystemError as e:  # a broken native error convention
        raise AssertionError(f"{fn!r}{args!r} raised SystemError: {e}") from e
    except (Exception, Boom):
        pass


FUNCTIONS = sorted((n.module, n.name) for n in native_callables() if n.kind == "function")
CLASSES = sorted((n.module, n.name) for n in native_callables() if n.kind == "class")

args_strategy = st.lists(st.sampled_from(POOL), max_size=6)
HOSTILE = settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck), database=None)


@pytest.mark.timeout(300)
@pytest.mark.no_refleak("a sweep of hundreds of calls that mostly fail (seconds a run); each module's own tests leak-check its error paths")
@pytest.mark.thread_unsafe
@pytest.mark.parametrize("module, name", FUNCTIONS)
@HOSTILE
@given(args=args_strategy)
def test_module_functions(module, name, args):
    fn = getattr(importlib.import_module(module), name)
    if name in SLOW and args == []:
        return
    check_outcome(fn, args)


# A probe per stateful class: it must still answer correctly after the sweep.
def _probe_counter(o):
    o.store(41)
    assert o.increment() == 42


def _probe_stack(o):
    o.push("probe")
    assert o.pop() == "probe"


def _probe_pointer(o):
    o.store("probe")
    assert o.load() == "probe"


def _probe_tree(o):
    marker = object()
    assert o.insert(987654, marker) is True
    assert marker in o.find_all_exact(987654)
    assert o.delete(987654, marker) is True


def _probe_aggregator(o):
    o.update(0, 2.0)
    assert o.get_stats(0)["count"] >= 1


PROBES = {
    "AtomicCounter": _probe_counter,
    "LockFreeStack": _probe_stack,
    "AtomicPointer": _probe_pointer,
    "FastRedBlackTree": _probe_tree,
    "CounterAggregator": _probe_aggregator,
}


def construct(cls):
    for args in ((), (4,), (4, 4)):
        try:
            return cls(*args)
        except Exception:
            continue
    return None


@pytest.mark.timeout(300)
@pytest.mark.no_refleak("a sweep of hundreds of calls that mostly fail (seconds a run); each module's own tests leak-check its error paths")
@pytest.mark.thread_unsafe
@pytest.mark.parametrize("module, name", CLASSES)
@HOSTILE
@given(ctor_args=args_strategy, calls=st.lists(st.tuples(st.integers(0, 10**6), args_strategy), max_size=4))
def test_classes(module, name, ctor_args, calls):
    cls = getattr(importlib.import_module(module), name)
    check_outcome(cls, ctor_args)
    obj = construct(cls)
    if obj is None:
        return
    names = method_names(cls)
    Reentrant.target = obj
    try:
        for pick, args in calls:
            if not names:
                break
            check_outcome(getattr(obj, names[pick % len(names)]), args)
        repr(obj)
        probe = PROBES.get(name)
        if probe is not None:
            probe(obj)
    finally:
        Reentrant.target = None
