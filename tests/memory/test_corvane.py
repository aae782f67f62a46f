"""AtomicCounter, AtomicCounterWrapper, and the conventions every module shares
(argument binding, integer conversion, pickling, module initialisation),
tested once here through corvane."""

import logging
import pickle
import sys
import threading

import pytest

from support import run_python

import tarvish.memory.corvane as corvane
from tarvish.memory.corvane import AtomicCounter, AtomicCounterWrapper

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def run_output(code):
    """stdout and stderr of code run in a fresh interpreter that must succeed."""
    proc = run_python(code, check=True)
    return proc.stdout + proc.stderr


class Hostile:
    def __int__(self):
        raise ZeroDivisionError("no int today")


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class IndexOnly:
    def __index__(self):
        return 3


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: AtomicCounter(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
            (lambda: AtomicCounter(bogus=1), "__cinit__() got an unexpected keyword argument 'bogus'"),
            (lambda: AtomicCounter(0).load(1), "load() takes exactly 0 positional arguments (1 given)"),
            (lambda: AtomicCounter(0).load(x=1, y=2), "load() got an unexpected keyword argument 'x'"),
            (lambda: AtomicCounter(0).store(), "store() takes exactly 1 positional argument (0 given)"),
            (lambda: AtomicCounter(0).increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
            (lambda: AtomicCounter(0).fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
            (lambda: AtomicCounter(0).compare_and_swap(1),
             "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
            (lambda: AtomicCounter(0).compare_and_swap(new_value=1),
             "compare_and_swap() takes exactly 2 positional arguments (0 given)"),
            (lambda: AtomicCounter(0).compare_and_swap(1, 2, 3),
             "compare_and_swap() takes exactly 2 positional arguments (3 given)"),
            (lambda: AtomicCounter(0).compare_and_swap(1, expected=1),
             "compare_and_swap() got multiple values for keyword argument 'expected'"),
            (lambda: AtomicCounter(0).compare_and_swap(1, 2, wat=3),
             "compare_and_swap() got an unexpected keyword argument 'wat'"),
            (lambda: AtomicCounterWrapper().fetch_and_add(),
             "fetch_and_add() takes exactly 1 positional argument (0 given)"),
            (lambda: AtomicCounterWrapper().load(1), "load() takes exactly 0 positional arguments (1 given)"),
        ],
    )
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keywords_by_name(self):
        c = AtomicCounter(initial_value=4)
        assert c.compare_and_swap(new_value=9, expected=4) is True
        assert c.increment(delta=2) == 11
        assert c.decrement(delta=1) == 10
        assert c.fetch_and_add(delta=5) == 10
        c.store(value=-1)
        assert c.load() == -1

    def test_keyword_equal_but_not_identical(self):
        name = "".join(["del", "ta"])
        assert AtomicCounter(1).increment(**{name: 2}) == 3

    def test_keywords_must_be_strings_message(self):
        # The interpreter refuses non-str keywords before any callee sees them;
        # the binder's own message stays for callers that bypass that check.
        with pytest.raises(TypeError):
            AtomicCounter(0).increment(**{1: 2})


class TestIntegerConversion:
    @pytest.mark.parametrize(
        "arg, expected",
        [(0, 0), (True, 1), (False, 0), (2.9, 2), (-2.9, -2), (IntLike(41), 41), (I64_MAX, I64_MAX), (I64_MIN, I64_MIN)],
    )
    def test_accepted(self, arg, expected):
        assert AtomicCounter(arg).load() == expected
        c = AtomicCounter(0)
        c.store(arg)
        assert c.load() == expected

    @pytest.mark.parametrize("arg", [2**63, -(2**63) - 1, 2**200, float(2**64)])
    def test_out_of_range(self, arg):
        with pytest.raises(OverflowError):
            AtomicCounter(arg)
        c = AtomicCounter(5)
        with pytest.raises(OverflowError):
            c.store(arg)
        assert c.load() == 5

    @pytest.mark.parametrize("arg", ["1", b"1", None, [1], IndexOnly(), 1j])
    def test_not_an_integer(self, arg):
        c = AtomicCounter(5)
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.increment(arg)
        assert c.load() == 5

    def test_conversion_error_passes_through(self):
        with pytest.raises(ZeroDivisionError, match="no int today"):
            AtomicCounter(0).increment(Hostile())

    def test_int_returning_non_int(self):
        with pytest.raises(TypeError, match="__int__ returned non-int"):
            AtomicCounter(0).increment(IntLike("x"))

    def test_nan_and_inf(self):
        with pytest.raises(ValueError):
            AtomicCounter(float("nan"))
        with pytest.raises(OverflowError):
            AtomicCounter(float("inf"))


class TestAtomicCounter:
    def test_basics(self):
        assert AtomicCounter().load() == 0
        assert AtomicCounter(5).increment() == 6
        c = AtomicCounter(5)
        assert c.fetch_and_add(3) == 5
        assert c.load() == 8

    @pytest.mark.parametrize(
        "start, op, arg, result, after",
        [
            (I64_MAX, "increment", 1, I64_MIN, I64_MIN),
            (I64_MIN, "decrement", 1, I64_MAX, I64_MAX),
            (0, "decrement", I64_MIN, I64_MIN, I64_MIN),
            (5, "increment", -3, 2, 2),
            (5, "decrement", -3, 8, 8),
            (5, "increment", 0, 5, 5),
            (I64_MAX, "fetch_and_add", I64_MAX, I64_MAX, -2),
            (-1, "fetch_and_add", I64_MIN, -1, I64_MAX),
        ],
    )
    def test_wraps_modulo_2_64(self, start, op, arg, result, after):
        c = AtomicCounter(start)
        assert getattr(c, op)(arg) == result
        assert c.load() == after

    def test_compare_and_swap(self):
        c = AtomicCounter(0)
        assert c.compare_and_swap(1, 2) is False
        assert c.load() == 0
        assert c.compare_and_swap(0, 2) is True
        assert c.load() == 2

    def test_float_truncates(self):
        c = AtomicCounter(0)
        assert c.increment(2.9) == 2

    @pytest.mark.parametrize("name", ["load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"])
    def test_py_aliases_are_the_methods(self, name):
        assert vars(AtomicCounter)["py_" + name] is vars(AtomicCounter)[name]

    def test_no_instance_attributes(self):
        with pytest.raises(AttributeError):
            AtomicCounter(0).extra = 1

    def test_subclass(self):
        class Sub(AtomicCounter):
            def twice(self):
                self.increment()
                return self.increment()

        s = Sub(3)
        assert s.twice() == 5
        s.tag = "subclasses may have a dict"
        assert s.py_load() == 5

    @pytest.mark.thread_unsafe
    def test_reference_counts(self):
        value = 2**40 + 12345
        before = sys.getrefcount(value)
        c = AtomicCounter(value)
        for _ in range(100):
            c.store(value)
            c.compare_and_swap(value, value)
            with pytest.raises(TypeError):
                c.compare_and_swap(value, "x")
        assert sys.getrefcount(value) == before

    def test_concurrent_increments_are_exact(self):
        threads, n = 8, 5000
        c = AtomicCounter(0)
        results = [[] for _ in range(threads)]
        barrier = threading.Barrier(threads)

        def work(out):
            barrier.wait()
            inc = c.increment
            for _ in range(n):
                out.append(inc())

        ts = [threading.Thread(target=work, args=(r,)) for r in results]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert c.load() == threads * n
        assert sorted(v for r in results for v in r) == list(range(1, threads * n + 1))

    def test_concurrent_mixed_operations_balance(self):
        c = AtomicCounter(0)

        def work():
            for i in range(2000):
                c.fetch_and_add(3)
                c.decrement(2)
                c.increment(-1)
                while True:
                    v = c.load()
                    if c.compare_and_swap(v, v + 1):
                        break

        ts = [threading.Thread(target=work) for _ in range(4)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert c.load() == 4 * 2000


class TestWrapper:
    def test_forwards(self):
        w = AtomicCounterWrapper(7)
        assert w.increment() == 8
        assert AtomicCounterWrapper(7)._counter.load() == 7
        assert w.decrement(3) == 5
        assert w.fetch_and_add(5) == 5
        assert w.load() == 10
        assert w.store(1) is None
        assert w.compare_and_swap(1, 2) is True
        assert w.compare_and_swap(1, 2) is False
        assert type(w._counter) is AtomicCounter

    def test_annotated_int_conversion(self):
        assert AtomicCounterWrapper(7.9)._counter.load() == 7
        assert AtomicCounterWrapper(True).load() == 1
        for bad in ("7", None, b"7"):
            with pytest.raises(TypeError) as info:
                AtomicCounterWrapper(bad)
            assert str(info.value) == (
                f"Argument 'initial_value' has incorrect type (expected int, got {type(bad).__name__})")
        with pytest.raises(TypeError, match=r"^Argument 'new_value' has incorrect type \(expected int, got str\)$"):
            AtomicCounterWrapper().compare_and_swap(0, "1")

    def test_is_an_ordinary_class(self):
        w = AtomicCounterWrapper()
        w.note = "has a dict"
        assert AtomicCounterWrapper.__doc__ == "Python wrapper for Cython AtomicCounter (backward compatibility)."
        assert AtomicCounterWrapper.__module__ == "tarvish.memory.corvane"

    def test_forwarding_follows_the_current_counter(self):
        class Fake:
            def py_load(self):
                return 2.5

            def py_increment(self, delta):
                return "seven"

            def py_decrement(self, delta):
                return None

            def py_fetch_and_add(self, delta):
                return True

            def py_store(self, value):
                return "ignored"

            def py_compare_and_swap(self, expected, new_value):
                return "unchanged"

        w = AtomicCounterWrapper()
        w._counter = Fake()
        assert w.load() == 2 and type(w.load()) is int
        with pytest.raises(TypeError, match="^Expected int, got str$"):
            w.increment()
        assert w.decrement() is None
        assert w.fetch_and_add(1) == 1 and type(w.fetch_and_add(1)) is int
        assert w.store(3) is None
        assert w.compare_and_swap(1, 2) == "unchanged"
        del w._counter
        with pytest.raises(AttributeError):
            w.load()

    def test_forwarded_exceptions_pass_through(self):
        w = AtomicCounterWrapper()
        with pytest.raises(OverflowError):
            w.store(2**63)
        assert w.load() == 0


class TestNativeClassConventions:
    def test_pickling_refused(self):
        c = AtomicCounter(3)
        for call in (lambda: pickle.dumps(c), lambda: c.__reduce__(), lambda: c.__setstate__({})):
            with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
                call()

    def test_type_name_and_docs(self):
        assert AtomicCounter.__module__ == "tarvish.memory.corvane"
        assert AtomicCounter.__qualname__ == "AtomicCounter"
        assert AtomicCounter.load.__doc__ == "Atomically load value."
        assert AtomicCounter.increment.__doc__ == "Atomically increment and return new value."
        assert AtomicCounter.compare_and_swap.__doc__ == "Atomically compare and swap."

    def test_signatures(self):
        import inspect

        assert str(inspect.signature(AtomicCounter.increment)) == "(self, /, delta=1)"
        assert str(inspect.signature(AtomicCounter.compare_and_swap)) == "(self, /, expected, new_value)"


class TestModule:
    def test_namespace(self):
        names = {"AtomicCounter", "AtomicCounterWrapper", "CYTHON_ATOMICS_AVAILABLE", "logger", "logging",
                 "threading", "time", "Optional", "TypeVar", "Generic"}
        assert names <= set(vars(corvane))
        assert corvane.CYTHON_ATOMICS_AVAILABLE is True
        assert corvane.logger.name == "tarvish.memory.corvane"
        assert corvane.logging is logging

    @pytest.mark.no_refleak("the module runs in a child process")
    def test_load_line(self):
        out = run_output("""
            import logging
            logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s %(message)s")
            import tarvish.memory.corvane
        """)
        assert "INFO tarvish.memory.corvane Tarvish Cython Corvane loaded - C11 atomics active (10-20\u00d7 speedup)" in out

    @pytest.mark.no_refleak("the module runs in a child process")
    def test_reimport_gives_the_same_module(self):
        out = run_output("""
            import sys, importlib
            import tarvish.memory.corvane as first
            del sys.modules["tarvish.memory.corvane"]
            second = importlib.import_module("tarvish.memory.corvane")
            print(first is second, first.AtomicCounter is second.AtomicCounter)
        """)
        assert "True True" in out

    @pytest.mark.no_refleak("the module runs in a child process")
    def test_second_module_object_refused(self):
        out = run_output("""
            import ctypes, types
            import tarvish.memory.corvane as m
            api = ctypes.pythonapi
            api.PyModule_GetDef.restype = ctypes.c_void_p
            api.PyModule_GetDef.argtypes = [ctypes.py_object]
            api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
            other = types.ModuleType("tarvish.memory.corvane")
            try:
                api.PyModule_ExecDef(other, api.PyModule_GetDef(m))
            except RuntimeError as e:
                print("refused:", e)
        """)
        assert ("refused: Module 'corvane' has already been imported. "
                "Re-initialisation is not supported.") in out

    @pytest.mark.no_refleak("the module runs in a child process")
    @pytest.mark.parametrize("kind", ["legacy", "isolated"])
    def test_second_interpreter_refused(self, kind):
        out = run_output(f"""
            import tarvish.memory.corvane
            if {kind!r} == "legacy":
                import _interpreters
                interp = _interpreters.create("legacy")
                failure = _interpreters.exec(interp, "import tarvish.memory.corvane")
                print(failure.type.__name__, failure.msg)
                _interpreters.destroy(interp)
            else:
                from concurrent import interpreters
                interp = interpreters.create()
                try:
                    interp.exec("import tarvish.memory.corvane")
                except interpreters.ExecutionFailed as e:
                    print(e.excinfo.type.__name__, e.excinfo.msg)
                interp.close()
        """)
        assert ("ImportError Interpreter change detected - this module can only be loaded "
                "into one interpreter per process.") in out

    @pytest.mark.no_refleak("the module runs in a child process")
    def test_first_import_in_subinterpreter_then_main_refused(self):
        out = run_output("""
            import _interpreters
            interp = _interpreters.create("legacy")
            print("sub:", _interpreters.exec(interp, "import tarvish.memory.corvane"))
            try:
                import tarvish.memory.corvane
            except ImportError as e:
                print("main:", e)
        """)
        assert "sub: None" in out
        assert "main: Interpreter change detected" in out
