import math
import threading

from tarvish import _bench_floor as floor
from tarvish.monitoring.murrel import CounterAggregator


class LockedStats:
    """The same work in pure Python: per-counter running sums (of the samples, and of
    their deviations from the first sample and its squares) under threading.Lock."""

    def __init__(self, num_counters=1000):
        self.lock = threading.Lock()
        self.records = [[0, 0.0, 0.0, 0.0, 0.0, math.inf, -math.inf] for _ in range(num_counters)]

    def update(self, counter_id, value):
        if not 0 <= counter_id < len(self.records):
            raise IndexError(f"Counter ID {counter_id} out of range")
        value = float(value)
        with self.lock:
            r = self.records[counter_id]
            if r[0] == 0:
                r[2] = value
            r[0] += 1
            r[1] += value
            dev = value - r[2]
            r[3] += dev
            r[4] += dev * dev
            if value < r[5]:
                r[5] = value
            if value > r[6]:
                r[6] = value

    def get_stats(self, counter_id):
        if not 0 <= counter_id < len(self.records):
            raise IndexError(f"Counter ID {counter_id} out of range")
        with self.lock:
            count, total, _, devs, squares, lo, hi = self.records[counter_id]
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": lo, "max": hi}
        dev_mean = devs / count
        variance = max(math.fma(-dev_mean, dev_mean, squares / count), 0.0)
        return {"count": count, "mean": total / count, "variance": variance, "std": variance**0.5, "min": lo,
                "max": hi}


def rows(h):
    a, p = CounterAggregator(), LockedStats()
    for v in (1.0, 2.5, 4.0):
        a.update(7, v)
        p.update(7, v)
    # update: two converted arguments, one lock round trip and six field updates.
    # The locked pure-Python accumulator is also what a user would write instead.
    locked_update = (p.update, (7, 3.25))
    h.bench("CounterAggregator.update", a.update, (7, 3.25), floor=(floor.call, (7, 3.25)),
            baseline=locked_update, peers={"locked py": locked_update})
    # get_stats: one lock round trip and a six-entry dict.
    h.bench("CounterAggregator.get_stats", a.get_stats, (7,), floor=(floor.float_call, (7,)),
            baseline=(p.get_stats, (7,)))
