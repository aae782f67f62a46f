import logging
import threading
import time

from tarvish import _bench_floor as floor
from tarvish.jit.tessaly import FunctionMetrics, Tessaly

logger = logging.getLogger("bench.tessaly")


class PyPolicy:
    """The same policy in pure Python: a dict of thresholds under threading.Lock."""

    def __init__(self, initial=100, lo=10, hi=10000, rate=0.1, target=2.0):
        self.initial, self.lo, self.hi, self.rate, self.target = initial, lo, hi, rate, target
        self.thresholds = {}
        self.lock = threading.Lock()

    def get_threshold(self, func_id):
        with self.lock:
            return self.thresholds.get(func_id, self.initial)

    def should_compile(self, func_id, store):
        now = time.time()
        with self.lock:
            threshold = self.thresholds.get(func_id, self.initial)
            m = store.get_metrics(func_id)
            calls, compiles = m.call_count, m.compile_count
            last = getattr(m, "last_compiled", 0.0)
        if calls < threshold:
            return False
        return compiles == 0 or now - last >= 600.0

    def update(self, func_id, store):
        with self.lock:
            m = store.get_metrics(func_id)
            if m.compile_count == 0:
                return
            current = self.thresholds.get(func_id, self.initial)
            speedup = float(m.avg_speedup)
            target = self.target if self.target > 0 else 1.0
            step = self.rate * (1.0 - min(m.compile_count * 0.1, 1.0))
            cand = current - step * current if speedup / target > 1.0 else current + step * current
            new = self.lo if cand != cand or cand < self.lo else self.hi if cand > self.hi else int(cand)
            self.thresholds[func_id] = new
        logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {speedup:.2f}x)")


class TrivialStore:
    def __init__(self, metrics):
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


def rows(h):
    native, python = Tessaly(), PyPolicy()
    # Compiled once, long ago: should_compile reads the clock and all three figures.
    ready = TrivialStore(FunctionMetrics(call_count=500, compile_count=1, last_compiled=0.0))
    # The tenth compilation: update runs the whole rule, builds the log line, and the threshold stays put.
    steady = TrivialStore(FunctionMetrics(call_count=500, compile_count=10, avg_speedup=3.0))
    for policy in (native, python):
        policy.update("learned", steady)
    h.bench("Tessaly.get_threshold", native.get_threshold, ("learned",), target=100,
            floor=(floor.int_call, (100,)), baseline=(python.get_threshold, ("learned",)))
    h.bench("Tessaly.should_compile", native.should_compile, ("learned", ready), target=1000,
            floor=(floor.call, ("learned", ready)), baseline=(python.should_compile, ("learned", ready)))
    h.bench("Tessaly.update", native.update, ("learned", steady), target=1000,
            floor=(floor.call, ("learned", steady)), baseline=(python.update, ("learned", steady)))
