"""Lifecycles across the modules: objects destroyed while full, objects that
outlive the policy singleton and garbage collection during use. (Each module's
refusal of a second interpreter is among the conventions, in test_conventions.)"""

import gc
import threading
import weakref

import pytest

import support
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


@pytest.mark.threads
def test_garbage_collection_during_use():
    # Each collection walks what the test makes, not the whole process: what
    # exists already is collected, then frozen (the earlier garbage first, so
    # that none of it is kept).
    gc.collect()
    gc.freeze()
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
        gc.unfreeze()
    assert tree.size() == 2000 and stack.size() == 2000


@pytest.mark.skipif(not support.FREE_THREADED, reason="the GIL can be turned off on the free-threaded build only")
def test_imports_keep_the_gil_off(monkeypatch):
    monkeypatch.delenv("PYTHON_GIL", raising=False)
    proc = support.run_python(f"""
        import importlib, sys
        for name in {support.MODULES!r}:
            importlib.import_module(name)
        print(sys._is_gil_enabled())
    """, check=True)
    assert (proc.stdout, proc.stderr) == ("False\n", "")
