import gc
import sys
import threading
import types
import weakref

import pytest

from support import ALONE
from tarvish.memory import corvane
from tarvish.memory.corvane import AtomicPointer, LockFreeStack


class Thing:
    """A weak-referenceable object; its identity is what the pointer compares."""


def released(ref):
    gc.collect()
    return ref() is None


class TestPointerSemantics:
    def test_store_load_and_version(self):
        p, x = AtomicPointer(), Thing()
        assert p.load() is None and p.get_version() == 0
        p.store(x)
        assert p.load() is x and p.get_version() == 1
        p.store(None)
        p.store(None)
        assert p.load() is None and p.get_version() == 3

    def test_compare_and_swap_by_identity(self):
        a, b, c = Thing(), Thing(), Thing()
        p = AtomicPointer(initial_value=a)
        assert p.compare_and_swap(b, c) is False and p.load() is a and p.get_version() == 0
        assert p.compare_and_swap(expected=a, new_value=c) is True and p.load() is c and p.get_version() == 1
        assert AtomicPointer([1]).compare_and_swap([1], 5) is False

    def test_none_matches_an_empty_slot(self):
        p, x = AtomicPointer(), Thing()
        assert p.compare_and_swap(None, x) is True and p.load() is x
        assert p.compare_and_swap(x, None) is True and p.load() is None
        assert p.compare_and_swap(x, x) is False and p.get_version() == 2


class TestPointerReferences:
    @pytest.mark.thread_unsafe
    def test_slot_owns_exactly_one_reference(self):
        a, b = Thing(), Thing()
        base_a, base_b = sys.getrefcount(a), sys.getrefcount(b)
        p = AtomicPointer(a)
        assert p.compare_and_swap(a, a) is True and p.get_version() == 1
        assert p.compare_and_swap(b, b) is False
        assert (sys.getrefcount(a), sys.getrefcount(b)) == (base_a + 1, base_b)
        with pytest.raises(TypeError):
            p.compare_and_swap(b, b, b)
        p.store(b)
        p.load()
        assert (sys.getrefcount(a), sys.getrefcount(b)) == (base_a, base_b + 1)
        del p
        assert sys.getrefcount(b) == base_b

    def test_swapped_out_and_held_objects_are_released(self):
        a, b = Thing(), Thing()
        wa, wb = weakref.ref(a), weakref.ref(b)
        p = AtomicPointer(a)
        assert p.compare_and_swap(a, b)
        del a, b
        assert released(wa) and not released(wb)
        del p
        assert released(wb)


class TestStack:
    def test_last_in_first_out(self):
        s = LockFreeStack()
        assert s.pop() is None and s.is_empty() and s.size() == 0
        s.push(1)
        s.push(item=2)
        assert s.size() == 2 and not s.is_empty()
        assert [s.pop(), s.pop(), s.pop()] == [2, 1, None]
        assert s.is_empty() and s.size() == 0

    def test_none_is_an_item(self):
        s = LockFreeStack()
        s.push(None)
        assert not s.is_empty() and s.size() == 1
        assert s.pop() is None and s.size() == 0 and s.is_empty()

    @pytest.mark.thread_unsafe
    def test_push_takes_one_reference_and_pop_hands_it_on(self):
        s, x = LockFreeStack(), Thing()
        base = sys.getrefcount(x)
        s.push(x)
        s.push(x)
        assert sys.getrefcount(x) == base + 2
        s.pop()
        with pytest.raises(TypeError):
            s.push()
        s.pop()
        assert sys.getrefcount(x) == base and s.is_empty()

    def test_popped_and_destroyed_items_are_released(self):
        s, items = LockFreeStack(), [Thing() for _ in range(50)]
        refs = [weakref.ref(i) for i in items]
        for item in items:
            s.push(item)
        del items, item
        s.pop()
        assert released(refs[-1]) and not released(refs[-2])
        del s
        assert all(released(r) for r in refs)

    @pytest.mark.thread_unsafe
    @ALONE
    def test_node_allocation_failure_changes_nothing(self):
        _testcapi = pytest.importorskip("_testcapi")
        s, x = LockFreeStack(), Thing()
        s.push(1)
        base = sys.getrefcount(x)
        try:
            with pytest.raises(MemoryError) as info:
                _testcapi.set_nomemory(0, 1)
                s.push(x)
        finally:
            _testcapi.remove_mem_hooks()
        assert str(info.value) == "Failed to allocate stack node"
        assert sys.getrefcount(x) == base and s.size() == 1 and s.pop() == 1


class RecordingLock:
    def __init__(self, log, fail):
        self.log, self.fail = log, fail

    def __enter__(self):
        self.log.append("enter")
        if self.fail == "enter":
            raise RuntimeError("enter")

    def __exit__(self, *exc):
        self.log.append("exit")
        if self.fail == "exit":
            raise RuntimeError("exit")


@pytest.mark.thread_unsafe
class TestLockProtocol:
    def make(self, monkeypatch, cls, fail=None):
        log = []
        monkeypatch.setattr(corvane, "threading", types.SimpleNamespace(Lock=lambda: RecordingLock(log, fail)))
        return cls(), log

    def test_every_locked_operation_enters_and_exits(self, monkeypatch):
        p, log = self.make(monkeypatch, AtomicPointer)
        p.store(1), p.load(), p.compare_and_swap(1, 2), p.get_version()
        assert log == ["enter", "exit"] * 4
        s, log = self.make(monkeypatch, LockFreeStack)
        s.push(1), s.is_empty(), s.size(), s.pop()
        assert log == ["enter", "exit"] * 3

    def test_failing_enter_changes_nothing(self, monkeypatch):
        x = Thing()
        base = sys.getrefcount(x)
        p, _ = self.make(monkeypatch, AtomicPointer, "enter")
        s, _ = self.make(monkeypatch, LockFreeStack, "enter")
        for call in (lambda: p.store(x), lambda: p.compare_and_swap(None, x), lambda: s.push(x)):
            with pytest.raises(RuntimeError, match="enter"):
                call()
        assert sys.getrefcount(x) == base and s.size() == 0

    def test_failing_exit_keeps_the_change_and_leaks_nothing(self, monkeypatch):
        a, b = Thing(), Thing()
        base_a, base_b = sys.getrefcount(a), sys.getrefcount(b)
        p, _ = self.make(monkeypatch, AtomicPointer, "exit")
        s, _ = self.make(monkeypatch, LockFreeStack, "exit")
        for call in (lambda: p.store(a), lambda: p.store(b), lambda: s.push(a)):
            with pytest.raises(RuntimeError, match="exit"):
                call()
        assert (sys.getrefcount(a), sys.getrefcount(b), s.size()) == (base_a + 1, base_b + 1, 1)
        with pytest.raises(RuntimeError, match="exit"):
            s.pop()
        assert s.size() == 0 and sys.getrefcount(a) == base_a


@pytest.mark.threads
class TestConcurrency:
    THREADS, N = 8, 2000

    def run(self, target):
        threads = [threading.Thread(target=target, args=(t,)) for t in range(self.THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def test_pushes_and_pops_lose_and_duplicate_nothing(self):
        s, popped = LockFreeStack(), []

        def worker(t):
            got = []
            for i in range(self.N):
                s.push((t, i))
                if i % 2:
                    got.append(s.pop())
            popped.extend(got)

        self.run(worker)
        assert s.size() == self.THREADS * self.N // 2
        while not s.is_empty():
            popped.append(s.pop())
        assert s.size() == 0
        assert sorted(popped) == [(t, i) for t in range(self.THREADS) for i in range(self.N)]

    def test_compare_and_swap_increments_are_never_lost(self):
        p = AtomicPointer((0,))

        def worker(t):
            for _ in range(self.N // 4):
                while True:
                    current = p.load()
                    if p.compare_and_swap(current, (current[0] + 1,)):
                        break

        self.run(worker)
        total = self.THREADS * (self.N // 4)
        assert p.load() == (total,) and p.get_version() == total
