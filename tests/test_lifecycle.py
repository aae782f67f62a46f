"""Lifecycles across the modules: objects destroyed while full, objects that
outlive the policy singleton, garbage collection during use, and every module
imported in a fresh process and refused in a second interpreter."""

import gc
import threading
import weakref

import pytest

from tarvish.__main__ import MODULES
from support import run_python

from tarvish.jit import tessaly
from tarvish.memory.brindle import FastRedBlackTree
from tarvish.memory.corvane import AtomicPointer, LockFreeStack
from tarvish.monitoring.murrel import CounterAggregator



class Block:
    def __init__(self, size):
        self.size = size


@pytest.mark.parametrize("fill", [
    lambda items: [t := FastRedBlackTree(), [t.insert(8 + i % 5, b) for i, b in enumerate(items)]][0],
    lambda items: [s := LockFreeStack(), [s.push(b) for b in items]][0],
    lambda items: [p := AtomicPointer(items[0]), [p.store(b) for b in items]][0],
])
def test_destroyed_while_full_releases_every_item(fill):
    items = [Block(i) for i in range(200)]
    refs = [weakref.ref(b) for b in items]
    holder = fill(items)
    del items
    alive_while_held = sum(r() is not None for r in refs)
    del holder
    gc.collect()
    assert alive_while_held >= 1
    assert all(r() is None for r in refs)


def test_aggregator_destroyed_with_samples():
    agg = CounterAggregator(10_000)
    for i in range(10_000):
        agg.update(i, float(i))
    assert agg.get_stats(9_999)["count"] == 1
    del agg
    gc.collect()


@pytest.mark.thread_unsafe
def test_policy_outlives_reset():
    first = tessaly.get_tessaly()
    config = first.config
    tessaly.reset_tessaly()
    second = tessaly.get_tessaly()
    assert second is not first
    assert first.config is config
    assert first.get_threshold("f") == config.initial_threshold
    tessaly.reset_tessaly()


def test_garbage_collection_during_use():
    tree, stack = FastRedBlackTree(), LockFreeStack()
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            gc.collect()

    t = threading.Thread(target=churn)
    t.start()
    try:
        for i in range(3000):
            cyclic = []
            cyclic.append(cyclic)
            tree.insert(16 + i % 7, cyclic)
            stack.push(cyclic)
            if i % 3 == 0:
                tree.remove_ge(16)
                stack.pop()
    finally:
        stop.set()
        t.join()
    assert tree.size() == 2000 and stack.size() == 2000


@pytest.mark.no_refleak("the modules run in a child process")
def test_every_module_imports_fresh_and_is_refused_in_a_subinterpreter():
    out = run_python(f"""
        import importlib, _interpreters
        names = {MODULES!r}
        for n in names:
            importlib.import_module(n)
        interp = _interpreters.create("legacy")
        for n in names:
            failure = _interpreters.exec(interp, "import " + n)
            print(n, failure.type.__name__ if failure else None, failure.msg if failure else "")
    """, check=True).stdout
    lines = out.strip().splitlines()
    assert len(lines) == len(MODULES)
    for line in lines:
        assert "ImportError Interpreter change detected" in line, line
