"""What threads buy: operations per second on 1 and 2 threads, each thread on an
object of its own and both on one shared object, in this interpreter (on the
free-threaded build the GIL stays off, so the threads run at once).

    python benchmarks/run.py --threads [--json]

Each measurement starts the threads together and times them until the last
ends, each doing the same number of operations; the best of three is kept.
"""

from __future__ import annotations

import sys
import sysconfig
import threading
import time

import bench_ferrowind
import bench_tessaly
from tarvish.gpu import veldra
from tarvish.jit import tessaly
from tarvish.memory import brindle, corvane, quillet
from tarvish.monitoring.murrel import CounterAggregator
from tarvish.plugins.analyzer import ferrowind


def _tree():
    t = brindle.FastRedBlackTree()
    for k in range(1000):
        t.insert(16 + 8 * k, object())
    return t


def _policy():
    # Compiled once, long ago, as the single-thread row has it.
    store = bench_tessaly.TrivialStore(tessaly.FunctionMetrics(call_count=500, compile_count=1, last_compiled=0.0))
    return tessaly.Tessaly(), store


def _tree_writer(t, stop):
    # Beside the readers, one writer: an insert and a removal every millisecond.
    while not stop.wait(0.001):
        t.insert(4104, t)
        t.remove_ge(4104)


# name, how many calls one operation makes, the object's maker, the operation
# (object, thread index), and what runs beside the counted threads on each object.
ROWS = [
    ("AtomicCounter.increment", 1, corvane.AtomicCounter, lambda c, i: c.increment()),
    ("LockFreeStack push+pop", 2, corvane.LockFreeStack, lambda s, i: (s.push(i), s.pop())),
    ("LockFreeStatistics.record_allocation", 1, corvane.LockFreeStatistics,
     lambda s, i: s.record_allocation(64, True, 8, 100)),
    ("CounterAggregator.update", 1, lambda: CounterAggregator(64), lambda a, i: a.update(i, 1.5)),
    ("FastRedBlackTree.find_best_fit, one writer", 1, _tree, lambda t, i: t.find_best_fit(2000), _tree_writer),
    ("FastBucketAllocator add+remove", 2, quillet.FastBucketAllocator,
     lambda a, i: (a.add_to_bucket(64 * i, 64), a.remove_from_bucket(64))),
    ("Tessaly.should_compile", 1, _policy, lambda p, i: p[0].should_compile("f", p[1])),
    ("score_indicators 2 KB", 1, lambda: bench_ferrowind.SOURCE,
     lambda s, i: ferrowind.score_indicators(s, "train_and_score")),
    ("compute_chunk_shapes (20 chunks)", 1, lambda: None,
     lambda _, i: veldra.compute_chunk_shapes((10_000, 512), 4, 2**20)),
]


def _time(op, objects, threads, n, beside=None):
    start, stop = threading.Barrier(threads + 1), threading.Event()
    others = [threading.Thread(target=beside, args=(o, stop)) for o in {id(o): o for o in objects}.values()] if beside else []
    for t in others:
        t.start()

    def work(i):
        obj = objects[i]
        start.wait()
        for _ in range(n):
            op(obj, i)

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in pool:
        t.join()
    took = time.perf_counter() - began
    stop.set()
    for t in others:
        t.join()
    return took


def measure(quick: bool = False) -> list[dict]:
    n = 20_000 if quick else 100_000
    out = []
    for name, calls, make, op, *beside in ROWS:
        row = {"row": name}
        for threads, shared in ((1, False), (2, False), (2, True)):
            one = make()
            objects = [one] * threads if shared else [make() for _ in range(threads)]
            best = min(_time(op, objects, threads, n, *beside) for _ in range(3))
            row[f"{threads}{' shared' if shared else ''}"] = threads * n * calls / best
        out.append(row)
    return out


def build() -> str:
    gil = "GIL off" if not sys._is_gil_enabled() else "GIL on"
    kind = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default"
    return f"CPython {sys.version.split()[0]} ({kind} build, {gil})"


def format_table(rows: list[dict]) -> str:
    head = ["operation", "1 thread", "2 threads, own objects", "2 threads, one shared", "2 own / 1"]
    body = [[r["row"], f"{r['1']:,.0f}", f"{r['2']:,.0f}", f"{r['2 shared']:,.0f}", f"{r['2'] / r['1']:.2f}x"]
            for r in rows]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(cells) + " |" for cells in body]
    return f"{build()}, operations per second:\n\n" + "\n".join(lines)
