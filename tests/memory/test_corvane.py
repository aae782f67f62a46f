"""AtomicCounter, AtomicCounterWrapper and the corvane module. The conventions
corvane shares with every module (binding, conversions, pickling, the module
guard) are tested in test_conventions."""

import logging
import sys
import threading

import pytest

from support import IndexOnly, run_python

import tarvish.memory.corvane as corvane
from tarvish.memory.corvane import AtomicCounter, AtomicCounterWrapper

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def run_output(code):
    """stdout and stderr of code run in a fresh interpreter that must succeed."""
    proc = run_python(code, check=True)
    return proc.stdout + proc.stderr


class TestBinding:
    def test_keywords_by_name(self):
        c = AtomicCounter(initial_value=4)
        assert c.compare_and_swap(new_value=9, expected=4) is True
        assert c.increment(delta=2) == 11
        assert c.decrement(delta=1) == 10
        assert c.fetch_and_add(delta=5) == 10
        c.store(value=-1)
        assert c.load() == -1

    @pytest.mark.parametrize("arg", [2**63, -(2**63) - 1, 2**200, float(2**64), "1", None, IndexOnly(), 1j])
    def test_refused_argument_changes_nothing(self, arg):
        c = AtomicCounter(5)
        for call in (c.store, c.increment, c.decrement, c.fetch_and_add, lambda v: c.compare_and_swap(5, v)):
            with pytest.raises((OverflowError, TypeError)):
                call(arg)
        assert c.load() == 5


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

    @pytest.mark.parametrize("name", ["load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"])
    def test_py_aliases_are_the_methods(self, name):
        assert vars(AtomicCounter)["py_" + name] is vars(AtomicCounter)[name]

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

    @pytest.mark.threads
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

    @pytest.mark.threads
    def test_concurrent_mixed_operations_balance(self):
        c = AtomicCounter(0)

        def work():
            for _ in range(2000):
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

    def test_converted_values_reach_the_counter(self):
        assert AtomicCounterWrapper(7.9)._counter.load() == 7
        assert AtomicCounterWrapper(True).load() == 1

    def test_is_an_ordinary_class(self):
        w = AtomicCounterWrapper()
        w.note = "has a dict"
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


class TestTypeAndDocs:
    def test_type_name_and_docs(self):
        assert AtomicCounter.__module__ == "tarvish.memory.corvane"
        assert AtomicCounter.__qualname__ == "AtomicCounter"

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
