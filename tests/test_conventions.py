"""The conventions every native callable of the nine modules shares, tested once
here for all of them: argument binding and its messages; the native integer,
annotated-int, float, flag and exact-type conversions of parameters, native
fields and values taken from inside arguments; native classes that refuse pickling, attribute deletion and instance
attributes; and the once-per-process module guard.

The callables, their parameters and which are required come from introspection
(as in test_introspection). What introspection cannot tell is kept in tables:
KINDS, how each parameter is converted, and a few short ones beside it. Each
message is written once, in the templates below, so a changed binder or
converter message is one edit here."""

import contextlib
import functools
import inspect
import math
import pickle
import sys
import types

import pytest

from support import (BytesSub, FloatLike, Hostile, IndexOnly, IntLike, IntSub, ListSub, StrSub, TupleSub, hostile,
                     native_callables, run_python)
from tarvish.__main__ import MODULES
from tarvish.gpu.veldra import compute_chunk_shapes, estimate_allocation_bytes
from tarvish.jit.tessaly import FunctionMetrics, PolicyConfig, Tessaly
from tarvish.memory.brindle import FastRedBlackTree
from tarvish.memory.corvane import AtomicCounter
from tarvish.memory.quillet import FastBucketAllocator, FastSlabHeaderOps, FastStatsCollector
from tarvish.plugins.analyzer.halvard import (calculate_performance_trend, detect_performance_degradation,
                                              predict_resource_requirements)

# ---------------------------------------------------------------------------
# The messages.


def count_message(name, how, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes {how} {expected} positional argument{plural} ({given} given)"


UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
DUPLICATE = "{}() got multiple values for keyword argument '{}'"
NOT_STRINGS = "{}() keywords must be strings"
ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
NOT_AN_INTEGER = "an integer is required"
NON_INT_RESULT = "__int__ returned non-int (type {})"
TOO_LARGE = "value too large to convert to {}"
NEGATIVE = "can't convert negative value to {}"
NO_PICKLE = "no default __reduce__ due to non-trivial __cinit__"
NO_DELETE = "__del__"
REINITIALISED = "Module '{}' has already been imported. Re-initialisation is not supported."
OTHER_INTERPRETER = "Interpreter change detected - this module can only be loaded into one interpreter per process."
# The interpreter's own messages, passed through.
BEYOND_64_BITS = "int too big to convert"
NAN_TO_INT = "cannot convert float NaN to integer"
INFINITY_TO_INT = "cannot convert float infinity to integer"
NOT_REAL = "must be real number, not {}"

# ---------------------------------------------------------------------------
# The table: how each parameter is converted, by owner (a module's short name
# for its functions, a class name for its constructor, methods and native
# fields), with "*" for the owner's other parameters. A native integer kind is
# named by the C type its OverflowError names; "annotated" is an int-annotated
# parameter; "str", "tuple", "list" and "bytes" take exactly that type or None;
# "object" is taken as it is.

KINDS = {
    "AtomicCounter": {"*": "int64_t"},
    "AtomicCounterWrapper": {"*": "annotated"},
    "AtomicPointer": {"*": "object"},
    "LockFreeStack": {"item": "object"},
    "LockFreeStatistics": {"is_bucketed": "flag", "*": "annotated"},
    "FastRedBlackTree": {"sample_rate": "uint32_t", "block": "object", "*": "annotated"},
    "FastSlabHeaderOps": {"size_class_index": "int32_t", "objects_per_slab": "int32_t", "data": "bytes",
                          "object_index": "int"},
    "FastBucketAllocator": {"*": "int32_t"},
    "FastStatsCollector": {"is_bucketed": "flag", "*": "int"},
    "quillet": {"bitmap": "uint64_t", "operation": "str", "*": "int"},
    "PolicyConfig": {"learning_rate": "float", "target_speedup": "float", "*": "int"},
    "FunctionMetrics": {"call_count": "uint64_t", "compile_count": "uint32_t", "*": "float"},
    "Tessaly": {"func_id": "str", "*": "object"},
    "tessaly": {"initial_threshold": "annotated", "min_threshold": "annotated", "max_threshold": "annotated",
                "call_count": "annotated", "compile_count": "annotated", "*": "float"},
    "ferrowind": {"code": "str", "framework": "str", "function_name": "str", "compute_capability": "str",
                  "gpu_available": "flag", "cpu_score": "int", "memory_score": "int", "parallel_score": "int",
                  "gpu_op_score": "int", "large_data_score": "int", "sequential_count": "int",
                  "embarrassing_count": "int", "*": "float"},
    "halvard": {"performance_history": "list", "pattern_history": "list", "patterns": "list",
                "allocation_history": "list", "current_pool": "str", "recommended_pool": "str",
                "trigger_code": "int", "window_size": "int", "workload_changed": "flag", "*": "float"},
    "CounterAggregator": {"value": "float", "*": "int"},
    "murrel": {"num_counters": "int"},  # handed on to CounterAggregator
    "veldra": {"shape": "tuple", "element_size": "int", "min_chunks": "int", "max_chunks": "int",
               "is_chunkable": "flag", "error_message": "str", "error_type": "str", "operation": "str",
               "operation_type": "str", "overhead_factor": "float", "headroom_ratio": "float",
               "current_pressure": "float", "base_headroom": "float", "*": "uint64_t"},
}
# Constructors whose messages call them __init__ rather than __cinit__.
INIT_NAMED = {"FastSlabHeaderOps", "FastBucketAllocator", "FastStatsCollector"}
# Classes whose attributes are native values (converted on write, not deletable).
NATIVE_FIELDS = {"PolicyConfig", "FunctionMetrics"}
# The one class that is an ordinary class: it has an instance dict and pickles.
ORDINARY = {"AtomicCounterWrapper"}

# Native integer kinds: (minimum, maximum).
NATIVE_INTS = {
    "int": (-2**31, 2**31 - 1),  # the platform int
    "int32_t": (-2**31, 2**31 - 1),
    "uint32_t": (0, 2**32 - 1),
    "int64_t": (-2**63, 2**63 - 1),
    "uint64_t": (0, 2**64 - 1),
}
EXACT = {"str", "tuple", "list", "bytes"}
HEADER = FastSlabHeaderOps(1, 8).pack_header()  # bytes an unpack_header accepts without a warning


def kind_of(owner, param):
    table = KINDS[owner]
    return table[param] if param in table else table["*"]


def valid(kind, i):
    """A value the conversion of `kind` accepts, different for each position i."""
    if kind in NATIVE_INTS or kind == "annotated":
        return i + 1
    return {"float": (i + 1) / 4, "flag": i % 2 == 0, "str": f"s{i}", "tuple": (i + 1,), "list": [],
            "bytes": HEADER}.get(kind)


# ---------------------------------------------------------------------------
# Every callable, by introspection.


class Target:
    """A module function, a constructor or a method (called on a fresh instance)."""

    def __init__(self, ident, owner, name, signature, make, constructor=False):
        params = list(signature.parameters.values())
        self.id, self.owner, self.name, self.make, self.constructor = ident, owner, name, make, constructor
        self.params = [p.name for p in params]
        self.required = sum(p.default is p.empty for p in params)
        self.defaults = [p.default for p in params if p.default is not p.empty]  # as the text signature shows them

    def __call__(self, /, *args, **kwargs):
        return self.make()(*args, **kwargs)

    def row(self):
        return [valid(kind_of(self.owner, p), i) for i, p in enumerate(self.params)]


def _constructor_signature(cls):
    if "__init__" in vars(cls):  # an ordinary class: its __init__, without self
        sig = inspect.signature(vars(cls)["__init__"])
        return sig.replace(parameters=list(sig.parameters.values())[1:])
    return inspect.signature(cls)


def _class_targets(short, name, cls, methods):
    """The constructor and the methods of a class, and a maker of fresh instances."""
    cname = "__init__" if "__init__" in vars(cls) or name in INIT_NAMED else "__cinit__"
    ctor = Target(f"{short}.{name}()", name, cname, _constructor_signature(cls), lambda: cls, constructor=True)

    def instance():
        return cls(*ctor.row()[:ctor.required])

    out, seen = [ctor], set()
    for attr, member in methods:
        if id(member) in seen:
            continue  # a py_ alias is the very method it names
        seen.add(id(member))
        fn = getattr(cls, attr)
        bound = functools.partial(lambda a: getattr(instance(), a), attr)
        sig = inspect.signature(fn if isinstance(member, staticmethod) else bound())
        out.append(Target(f"{short}.{name}.{attr}", name, fn.__name__, sig, bound))
    return out, instance


def _collect():
    """Every callable, every class and a maker of its instances, module by module."""
    callables, classes, instances = [], [], {}
    found = list(native_callables())
    for n in found:
        short = n.module.rsplit(".", 1)[1]
        if n.kind == "function":
            callables.append(Target(f"{short}.{n.name}", short, n.name, inspect.signature(n.value),
                                    lambda v=n.value: v))
        elif n.kind == "class":
            methods = [(m.name, m.value) for m in found if m.kind == "method" and m.cls is n.cls]
            members, instances[n.cls] = _class_targets(short, n.name, n.cls, methods)
            callables += members
            classes.append((f"{short}.{n.name}", n.cls))
    return callables, classes, instances


TARGETS, CLASSES, INSTANCE = _collect()


def raised(call, /, *args, **kwargs):
    """The exception the call raises (None if it returns): lighter than pytest.raises,
    which the sweeps would call thousands of times."""
    try:
        call(*args, **kwargs)
    except Exception as e:
        return e
    return None


def expect(exc, message, call, /, *args, **kwargs):
    e = raised(call, *args, **kwargs)
    assert type(e) is exc and str(e) == message, (call, args, kwargs, e)


def digest(value, depth=0):
    """A value as plain data, for comparing two calls' results: native objects by
    their type and native attributes."""
    if isinstance(value, (type(None), bool, int, float, str, bytes, tuple, list, dict)) or depth > 2:
        return repr(value)
    fields = [n for n, d in vars(type(value)).items() if isinstance(d, types.GetSetDescriptorType)
              and not n.startswith("__")]
    return type(value).__name__, [(n, digest(getattr(value, n), depth + 1)) for n in fields]


def outcome(call, /, *args, **kwargs):
    try:
        return "result", digest(call(*args, **kwargs))
    except Exception as e:
        return type(e), str(e)


def test_every_parameter_has_one_kind():
    named = {(t.owner, p) for t in TARGETS for p in t.params}
    for owner, p in named:
        assert kind_of(owner, p) in {*NATIVE_INTS, *EXACT, "annotated", "float", "flag", "object"}, (owner, p)
    stale = {(o, p) for o, table in KINDS.items() for p in table if p != "*" and (o, p) not in named}
    assert not stale


# ---------------------------------------------------------------------------


# Each check below runs as its own test for every callable it applies to, once,
# and again in TestLeaks, where one body holds one owner's checks: in the leak
# mode every measured test costs several full collections, so the checks are
# measured there, a few hundred calls at a time.
BINDING = []


def binding_check(applies=lambda target: True):
    def register(check):
        BINDING.append((check, applies))
        return check
    return register


@binding_check()
def too_many_positional(target):
    n = len(target.params)
    message = count_message(target.name, "exactly" if target.required == n else "at most", n, n + 1)
    fn, args = target.make(), [*target.row(), None]
    expect(TypeError, message, fn, *args)
    expect(TypeError, message, fn, *args, zz=1)  # the count is checked before any keyword


@binding_check(lambda t: t.required)
def missing_positional_counts_up_to_the_first_gap(target):
    fn, n, required, row = target.make(), len(target.params), target.required, target.row()
    how = "exactly" if required == n else "at least"
    for given in range(required):
        later = dict(zip(target.params[given + 1:required], row[given + 1:required]))
        expect(TypeError, count_message(target.name, how, required, given), fn, *row[:given], **later)


@binding_check()
def unknown_keyword_named_first(target):
    fn, message = target.make(), UNEXPECTED.format(target.name, "zz")
    expect(TypeError, message, fn, zz=1, aa=2)  # before a missing argument
    expect(TypeError, message, fn, *target.row(), zz=1)


@binding_check(lambda t: t.params)
def keyword_given_twice(target):
    fn, row, first, last = target.make(), target.row(), target.params[0], target.params[-1]
    expect(TypeError, DUPLICATE.format(target.name, first), fn, *row[:1], **{first: row[0]})
    expect(TypeError, DUPLICATE.format(target.name, last), fn, *row, **{last: row[-1]})


@binding_check()
def non_string_keyword(target):
    message = NOT_STRINGS.format(target.name)
    fn = target.make()
    if target.constructor and "__init__" not in vars(fn):
        expect(TypeError, message, lambda: fn(**{1: 2}))  # a constructor gets the keyword dict itself
        return
    with pytest.raises(TypeError):  # the interpreter refuses them before the callee sees them
        fn(**{1: 2})
    if target.constructor:
        fn = object.__new__(fn).__init__
    _testcapi = pytest.importorskip("_testcapi")  # a caller of the C interface can still pass one
    expect(TypeError, message, _testcapi.pyobject_vectorcall, fn, (2,), (1,))


@binding_check(lambda t: t.params)
def keywords_bind_like_positions(target):
    row = target.row()
    keywords = dict(zip(target.params, row))
    expected = outcome(target, *row)
    assert outcome(target, **keywords) == expected
    assert outcome(target, **dict(reversed(keywords.items()))) == expected
    assert outcome(target, row[0], **dict(list(keywords.items())[1:])) == expected
    # names equal to the parameters' but other objects: found by comparison once identity fails
    assert outcome(target, **{"".join(list(k)): v for k, v in keywords.items()}) == expected


@pytest.mark.no_refleak("measured together, per module and class, in TestLeaks")
class TestBinding:
    @pytest.mark.parametrize("check, target", [pytest.param(c, t, id=f"{c.__name__}:{t.id}")
                                               for c, applies in BINDING for t in TARGETS if applies(t)])
    def test_binding(self, check, target):
        check(target)


OPTIONAL = [pytest.param(t, id=t.id) for t in TARGETS if t.defaults]


@pytest.mark.parametrize("target", OPTIONAL)
def test_omitted_arguments_take_the_shown_defaults(target):
    """Leaving the optional arguments out is passing the defaults that the text
    signature shows, by position and by keyword."""
    head = target.row()[:target.required]
    expected = outcome(target, *head)
    assert outcome(target, *head, *target.defaults) == expected
    assert outcome(target, *head, **dict(zip(target.params[target.required:], target.defaults))) == expected


# ---------------------------------------------------------------------------


def overflow_message(kind, v):
    lo, hi = NATIVE_INTS[kind]
    if lo == 0 and v < 0:
        return NEGATIVE.format(kind)
    if not -2**63 <= v < (2**64 if lo == 0 else 2**63):
        return BEYOND_64_BITS
    return TOO_LARGE.format(kind)


# A str subclass that cannot be compared or hashed: refused by its type alone.
RaisingStr = hostile("eq", "hash", base=str, name="RaisingStr")


def refusals(kind, param):
    """(value, exception type, message) for values the conversion of `kind` refuses."""
    if kind in NATIVE_INTS:
        lo, hi = NATIVE_INTS[kind]
        out = [(v, TypeError, NOT_AN_INTEGER) for v in ("1", b"1", None, [1], IndexOnly(), 1j)]
        out += [(Hostile(), ZeroDivisionError, "hostile __int__"),
                (IntLike("x"), TypeError, NON_INT_RESULT.format("str")),
                (math.nan, ValueError, NAN_TO_INT), (math.inf, OverflowError, INFINITY_TO_INT)]
        big = [hi + 1, lo - 1, 2**64, -(2**64), 2**200, float(hi + 1), float(lo - 2**32)]
        return out + [(v, OverflowError, overflow_message(kind, int(v))) for v in big]
    if kind == "annotated":
        return [(v, TypeError, ARG_TYPE.format(param, "int", type(v).__name__)) for v in ("7", None, b"7", [], object())
                ] + [(Hostile(), ZeroDivisionError, "hostile __int__")]
    if kind == "float":
        return [(v, TypeError, NOT_REAL.format(type(v).__name__)) for v in ("x", None, b"1")] + [
            (Hostile(), ZeroDivisionError, "hostile __float__")]
    if kind == "flag":
        return [(Hostile(), ZeroDivisionError, "hostile __bool__")]
    wrong = {"str": [1, 8.6, b"x", StrSub("x"), RaisingStr("x")], "tuple": [[1], TupleSub((1,))],
             "list": [(), ListSub()], "bytes": [bytearray(16), BytesSub(16)]}.get(kind, [])
    return [(v, TypeError, ARG_TYPE.format(param, kind, type(v).__name__)) for v in wrong]


class Site:
    """One converted parameter of a callable, one native field of a class, or one
    value a function takes from inside its arguments (`hand` gives it there)."""

    def __init__(self, ident, owner, param, target=None, cls=None, kind=None, hand=None):
        self.id, self.owner, self.param, self.target, self.cls, self.hand = ident, owner, param, target, cls, hand
        self.kind = kind or kind_of(owner, param)

    def attempts(self):
        """Ways to hand a value to the conversion: by position and by keyword, or
        by a write, after which the field must still hold its old value."""
        if self.hand is not None:
            return [self.hand]
        if self.cls is not None:
            def write(value):
                obj = self.cls()
                before = getattr(obj, self.param)
                try:
                    setattr(obj, self.param, value)
                finally:
                    assert repr(getattr(obj, self.param)) == repr(before)
            return [write]
        t, i = self.target, self.target.params.index(self.param)
        fn, row = t.make(), t.row()  # one instance: a refused argument changes nothing
        later = dict(zip(t.params[i + 1:], row[i + 1:]))
        return [lambda v: fn(*row[:i], v, *row[i + 1:]), lambda v: fn(*row[:i], **{self.param: v}, **later)]


SITES = [Site(f"{t.id}:{p}", t.owner, p, target=t) for t in TARGETS for p in t.params]
SITES += [Site(f"{ident}.{n}=", cls.__name__, n, cls=cls) for ident, cls in CLASSES if cls.__name__ in NATIVE_FIELDS
          for n, d in vars(cls).items() if isinstance(d, types.GetSetDescriptorType)]
FIELDS = [pytest.param(s, id=s.id) for s in SITES if s.cls is not None]


def _store(**fields):
    """A telemetry store that has these metrics for every function."""
    metrics = types.SimpleNamespace(**{"call_count": 500, "compile_count": 1, "avg_speedup": 3.0,
                                       "last_compiled": 0.0, **fields})
    return types.SimpleNamespace(get_metrics=lambda func_id: metrics)


# Values taken from inside the arguments and converted as parameters are: the
# dimensions of a shape, the fields of a store's metrics, the entries of a history.
INNER = [
    ("veldra", "estimate_allocation_bytes:shape[0]", "int", lambda v: estimate_allocation_bytes((v,), 1)),
    ("veldra", "compute_chunk_shapes:shape[0]", "int", lambda v: compute_chunk_shapes((v, 1), 4, 1)),
    ("veldra", "compute_chunk_shapes:shape[1]", "uint64_t", lambda v: compute_chunk_shapes((2, v), 4, 1)),
    ("Tessaly", "should_compile:call_count", "uint64_t", lambda v: Tessaly().should_compile("f", _store(call_count=v))),
    ("Tessaly", "should_compile:compile_count", "uint32_t",
     lambda v: Tessaly().should_compile("f", _store(compile_count=v))),
    ("Tessaly", "should_compile:last_compiled", "float",
     lambda v: Tessaly().should_compile("f", _store(last_compiled=v))),
    ("Tessaly", "update:compile_count", "uint32_t", lambda v: Tessaly().update("f", _store(compile_count=v))),
    ("Tessaly", "update:avg_speedup", "float", lambda v: Tessaly().update("f", _store(avg_speedup=v))),
    ("halvard", "detect_performance_degradation:history[][1]", "float",
     lambda v: detect_performance_degradation([(0, v)] * 5, 1, 0, 9)),
    ("halvard", "calculate_performance_trend:history[][1]", "float",
     lambda v: calculate_performance_trend([(0, 1)] * 3 + [(0, v)], 9)),
    ("halvard", "predict_resource_requirements:history[][0]", "float",
     lambda v: predict_resource_requirements([(v, 1)] + [(t, 10) for t in range(10)], 1)),
]
SITES += [Site(f"{owner}.{where}", owner, where, kind=kind, hand=hand) for owner, where, kind, hand in INNER]


def _bucket_echo(v):
    a = FastBucketAllocator()
    assert a.add_to_bucket(v, 8)
    return a.remove_from_bucket(8)


def _field_echo(v):
    c = PolicyConfig()
    c.initial_threshold = v  # converted, not validated
    return c.initial_threshold


def _flag_echo(v):
    s = FastStatsCollector()
    s.py_record_allocation(1, 0, v)
    return s.get_stats()["bucketed_allocations"] == 1


def _store_echo(v):
    c = AtomicCounter(5)
    c.store(v)
    return c.load()


# Where each conversion's result can be read back.
ECHO = {
    "int": [_field_echo],
    "int32_t": [_bucket_echo],
    "uint32_t": [lambda v: FunctionMetrics(compile_count=v).compile_count],
    "int64_t": [lambda v: AtomicCounter(v).load(), _store_echo],
    "uint64_t": [lambda v: FunctionMetrics(call_count=v).call_count],
    "annotated": [FastRedBlackTree._sanitize_size],
    "float": [lambda v: FunctionMetrics(avg_speedup=v).avg_speedup],
    "flag": [_flag_echo],
}


def accepted(kind):
    if kind in NATIVE_INTS:
        lo, hi = NATIVE_INTS[kind]
        out = [(0, 0), (True, 1), (False, 0), (2.9, 2), (-0.9, 0), (IntLike(41), 41), (IntSub(7), 7), (lo, lo),
               (hi, hi)]
        return out + ([(-2.9, -2), (IntLike(-5), -5)] if lo else [])
    return {
        "annotated": [(7, 7), (7.9, 7), (True, 1), (IntSub(5), 5), (IndexOnly(), 3), (IntLike(4), 4), (2**70, 2**70)],
        "float": [(1, 1.0), (True, 1.0), (FloatLike(2.5), 2.5), (IndexOnly(), 3.0), (2**53 + 1, 2.0**53),
                  (-0.0, -0.0), (math.inf, math.inf), (math.nan, math.nan)],
        "flag": [([], False), ([0], True), ("", False), ("x", True), (None, False), (2, True), (0.0, False)],
    }[kind]


def refused(site):
    attempts = site.attempts()
    for value, exc, message in refusals(site.kind, site.param):
        for attempt in attempts:
            expect(exc, message, attempt, value)


def accepted_as(kind, value, expected):
    for echo in ECHO[kind]:
        result = echo(value)
        assert repr(result) == repr(expected) and type(result) is type(expected), echo


ACCEPTED = [(k, v, e) for k in ECHO for v, e in accepted(k)]


@pytest.mark.no_refleak("measured together, per module and class, in TestLeaks")
class TestConversion:
    @pytest.mark.parametrize("site", [pytest.param(s, id=s.id) for s in SITES if refusals(s.kind, s.param)])
    def test_refused(self, site):
        refused(site)

    @pytest.mark.parametrize("kind, value, expected", [pytest.param(k, v, e, id=f"{k}-{i}")
                                                       for i, (k, v, e) in enumerate(ACCEPTED)])
    def test_accepted(self, kind, value, expected):
        accepted_as(kind, value, expected)


# ---------------------------------------------------------------------------


def no_instance_dict(cls):
    obj = INSTANCE[cls]()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.undeclared_attribute = 1


def pickling_refused(cls):
    obj = INSTANCE[cls]()
    calls = [functools.partial(pickle.dumps, obj, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    for call in calls + [obj.__reduce__, lambda: obj.__setstate__({}), lambda: obj.__setstate__(None)]:
        expect(TypeError, NO_PICKLE, call)
    for method, args in ((obj.__reduce__, (1,)), (obj.__setstate__, ())):  # misused: the binder's own errors
        with pytest.raises(TypeError) as e:
            method(*args)
        assert str(e.value) != NO_PICKLE


def field_deletion_refused(site):
    obj = site.cls()
    before = repr(getattr(obj, site.param))
    expect(NotImplementedError, NO_DELETE, delattr, obj, site.param)
    assert repr(getattr(obj, site.param)) == before


NATIVE_CLASSES = [(i, c) for i, c in CLASSES if c.__name__ not in ORDINARY]
OWNERS = sorted({t.owner for t in TARGETS})


@pytest.mark.no_refleak("measured together, per module and class, in TestLeaks")
class TestNativeClasses:
    @pytest.mark.parametrize("check", [no_instance_dict, pickling_refused])
    @pytest.mark.parametrize("cls", [pytest.param(c, id=i) for i, c in NATIVE_CLASSES])
    def test_refusals(self, check, cls):
        check(cls)

    @pytest.mark.parametrize("site", FIELDS)
    def test_field_deletion_refused(self, site):
        field_deletion_refused(site)


class TestLeaks:
    """The checks above, measured together in the leak mode: for each module's
    functions and for each class, one body of binding checks and one of
    refusals, each short enough to be measured, and one of accepted values."""

    @pytest.mark.parametrize("owner", OWNERS)
    def test_binding_leaks_nothing(self, owner):
        for check, applies in BINDING:
            for target in TARGETS:
                if target.owner == owner and applies(target):
                    with contextlib.suppress(pytest.skip.Exception):
                        check(target)

    @pytest.mark.parametrize("owner", OWNERS)
    def test_refusals_leak_nothing(self, owner):
        for site in SITES:
            if site.owner == owner:
                refused(site)
                if site.cls is not None:
                    field_deletion_refused(site)
        for _, cls in NATIVE_CLASSES:
            if cls.__name__ == owner:
                no_instance_dict(cls)
                pickling_refused(cls)

    def test_accepted_values_leak_nothing(self):
        for kind, value, expected in ACCEPTED:
            accepted_as(kind, value, expected)


# ---------------------------------------------------------------------------


def _lines(out):
    return dict(line.split(" | ", 1) for line in out.strip().splitlines())


@pytest.mark.no_refleak("the modules run in child processes")
class TestModuleGuard:
    def test_second_module_object_and_other_interpreters_refused(self):
        out = run_python(f"""
            import ctypes, importlib, sys, types, _interpreters
            from concurrent import interpreters
            api = ctypes.pythonapi
            api.PyModule_GetDef.restype = ctypes.c_void_p
            api.PyModule_GetDef.argtypes = [ctypes.py_object]
            api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
            legacy, isolated = _interpreters.create("legacy"), interpreters.create()
            for name in {MODULES!r}:
                first = importlib.import_module(name)
                try:
                    api.PyModule_ExecDef(types.ModuleType(name), api.PyModule_GetDef(first))
                    print(name, "exec | accepted")
                except RuntimeError as e:
                    print(name, "exec |", e)
                del sys.modules[name]
                again = importlib.import_module(name)
                print(name, "reimport |", again is first)
                failure = _interpreters.exec(legacy, "import " + name)
                print(name, "legacy |", failure and f"{{failure.type.__name__}}: {{failure.msg}}")
                try:
                    isolated.exec("import " + name)
                    print(name, "isolated | accepted")
                except interpreters.ExecutionFailed as e:
                    print(name, "isolated |", f"{{e.excinfo.type.__name__}}: {{e.excinfo.msg}}")
            _interpreters.destroy(legacy)
            isolated.close()
        """, check=True).stdout
        seen = _lines(out)
        for name in MODULES:
            short = name.rsplit(".", 1)[1]
            assert seen[f"{name} exec"] == REINITIALISED.format(short)
            assert seen[f"{name} reimport"] == "True"
            assert seen[f"{name} legacy"] == seen[f"{name} isolated"] == f"ImportError: {OTHER_INTERPRETER}"

    def test_import_on_the_version_built_for_warns_nothing(self):
        # Each module compares the minor version it was built for with the one it runs on.
        out = run_python(f"""
            import importlib, sys, warnings
            warnings.simplefilter("error")
            for name in {MODULES!r}:
                importlib.import_module(name)
            print(sys.version_info[:2])
        """, check=True).stdout
        assert out.strip() == str(sys.version_info[:2])

    def test_first_import_in_a_subinterpreter_keeps_the_module(self):
        out = run_python(f"""
            import importlib, _interpreters
            interp = _interpreters.create("legacy")
            for name in {MODULES!r}:
                print(name, "sub |", _interpreters.exec(interp, "import " + name))
            for name in {MODULES!r}:
                try:
                    importlib.import_module(name)
                    print(name, "main | accepted")
                except ImportError as e:
                    print(name, "main |", e)
        """, check=True).stdout
        seen = _lines(out)
        for name in MODULES:
            assert (seen[f"{name} sub"], seen[f"{name} main"]) == ("None", OTHER_INTERPRETER)
