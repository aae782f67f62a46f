import threading

from tarvish import _bench_floor as floor
from tarvish.memory.corvane import AtomicCounter, AtomicCounterWrapper


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


def rows(h):
    c, p, w = AtomicCounter(0), LockedInt(0), AtomicCounterWrapper(0)
    h.bench("AtomicCounter.load", c.load, target=10, floor=(floor.atomic_load, ()), baseline=(p.load, ()))
    h.bench("AtomicCounter.increment", c.increment, target=30, floor=(floor.atomic_add, ()),
            baseline=(p.increment, ()))
    h.bench("AtomicCounter.compare_and_swap", c.compare_and_swap, (5, 5), target=50,
            floor=(floor.atomic_cas, (5, 5)), baseline=(p.compare_and_swap, (5, 5)))
    h.bench("AtomicCounterWrapper.increment", w.increment, target=30, floor=(floor.atomic_add, ()),
            baseline=(p.increment, ()))
