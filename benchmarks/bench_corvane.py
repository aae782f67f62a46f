import collections
import threading

from tarvish import _bench_floor as floor
from tarvish.memory.corvane import (AtomicCounter, AtomicCounterWrapper, AtomicPointer, LockFreeStack,
                                    LockFreeStatistics)


class LockedInt:
    """The same work in pure Python: an int guarded by threading.Lock."""

    def __init__(self, value=0):
        self.value = value
        self.lock = threading.Lock()

    def load(self):
        with self.lock:
            return self.value

    def increment(self, delta=1):
        with self.lock:
            self.value += delta
            return self.value

    def compare_and_swap(self, expected, new_value):
        with self.lock:
            if self.value == expected:
                self.value = new_value
                return True
            return False


class LockedStatistics:
    """Allocation statistics in pure Python: plain ints under one threading.Lock."""

    def __init__(self):
        self.lock = threading.Lock()
        self.total = self.current = self.bytes = self.peak = self.peak_bytes = 0
        self.bucketed = self.fallback = self.padding = self.time_ns = 0

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        with self.lock:
            self.total += 1
            self.current += 1
            self.bytes += size
            if is_bucketed:
                self.bucketed += 1
            else:
                self.fallback += 1
            if padding > 0:
                self.padding += padding
            if time_ns > 0:
                self.time_ns += time_ns
            self.peak = max(self.peak, self.current)
            self.peak_bytes = max(self.peak_bytes, self.bytes)

    def get_snapshot(self):
        with self.lock:
            total = self.total
            return {
                "total_allocations": total, "current_allocations": self.current, "bytes_allocated": self.bytes,
                "peak_allocations": self.peak, "peak_bytes_allocated": self.peak_bytes,
                "bucketed_allocations": self.bucketed, "fallback_allocations": self.fallback,
                "bucketed_allocation_ratio": f"{(self.bucketed / total * 100.0 if total > 0 else 0.0):.1f}%",
                "alignment_padding_bytes": self.padding,
                "average_allocation_time_ns": self.time_ns / total if total > 0 else 0.0,
            }


class LockedSlot:
    """An object slot with a version number under threading.Lock."""

    def __init__(self, value=None):
        self.value, self.version, self.lock = value, 0, threading.Lock()

    def load(self):
        with self.lock:
            return self.value

    def store(self, value):
        with self.lock:
            self.value = value
            self.version += 1

    def compare_and_swap(self, expected, new_value):
        with self.lock:
            if self.value is expected:
                self.value = new_value
                self.version += 1
                return True
            return False


class LockedStack:
    """A stack in pure Python: a list under threading.Lock."""

    def __init__(self):
        self.items, self.lock = [], threading.Lock()

    def push(self, value):
        with self.lock:
            self.items.append(value)

    def pop(self):
        with self.lock:
            return self.items.pop() if self.items else None

    def size(self):
        return len(self.items)


def rows(h):
    # What a user would write instead of the counter is the pure-Python baseline
    # itself, an int under threading.Lock: it is both columns.
    c, p, w = AtomicCounter(0), LockedInt(0), AtomicCounterWrapper(0)
    for name, fn, args, floor_fn, target, base in [
        ("AtomicCounter.load", c.load, (), floor.atomic_load, 10, p.load),
        ("AtomicCounter.increment", c.increment, (), floor.atomic_add, 30, p.increment),
        ("AtomicCounter.compare_and_swap", c.compare_and_swap, (5, 5), floor.atomic_cas, 50, p.compare_and_swap),
        ("AtomicCounterWrapper.increment", w.increment, (), floor.atomic_add, 30, p.increment),
    ]:
        h.bench(name, fn, args, target=target, floor=(floor_fn, args), baseline=(base, args),
                peers={"int+Lock": (base, args)})

    stats, locked = LockFreeStatistics(), LockedStatistics()
    h.bench("LockFreeStatistics.record_allocation", stats.record_allocation, (64,), target=100,
            floor=(floor.call, (64,)), baseline=(locked.record_allocation, (64,)))
    h.bench("LockFreeStatistics.py_record_allocation", stats.py_record_allocation, (64, True), target=None,
            floor=(floor.call, (64, True)), baseline=(locked.record_allocation, (64, True)))
    h.bench("LockFreeStatistics.get_snapshot", stats.get_snapshot, target=500, floor=(floor.call, ()),
            baseline=(locked.get_snapshot, ()))

    x = object()
    ptr, slot = AtomicPointer(x), LockedSlot(x)
    h.bench("AtomicPointer.load", ptr.load, target=100, floor=(floor.call, ()), baseline=(slot.load, ()))
    h.bench("AtomicPointer.store", ptr.store, (x,), target=100, floor=(floor.call, (x,)),
            baseline=(slot.store, (x,)))
    h.bench("AtomicPointer.compare_and_swap", ptr.compare_and_swap, (x, x), target=150,
            floor=(floor.call, (x, x)), baseline=(slot.compare_and_swap, (x, x)))

    # A push alone would grow the stack by millions of nodes, so it is timed as a
    # push followed by a pop (stated 100-200 ns plus 150-250 ns); the floor, the
    # baseline and the deque peer go through the same Python-level pair.
    stack, locked, deque = LockFreeStack(), LockedStack(), collections.deque()

    def pair(push, pop):
        def run(push=push, pop=pop):
            push(x)
            pop()
        return run

    h.bench("LockFreeStack.push+pop", pair(stack.push, stack.pop), target=450,
            floor=(pair(floor.call, floor.call), ()), baseline=(pair(locked.push, locked.pop), ()),
            peers={"deque": (pair(deque.append, deque.pop), ())})
    h.bench("LockFreeStack.pop (empty)", stack.pop, target=250, floor=(floor.call, ()), baseline=(locked.pop, ()),
            peers={"deque": (lambda: deque.pop() if deque else None, ())})
    h.bench("LockFreeStack.size", stack.size, target=20, floor=(floor.atomic_load, ()), baseline=(locked.size, ()),
            peers={"deque": (deque.__len__, ())})
