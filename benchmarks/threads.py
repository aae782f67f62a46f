"""What threads buy: operations per second on 1 and 2 threads, each thread on an
object of its own and both on one shared object, in this interpreter (on the
free-threaded build the GIL stays off, so the threads run at once).

    python benchmarks/run.py --threads [--quick] [--json | --record]
    python benchmarks/run.py --threads --update-readme

Each measurement starts the threads together and times them from the first
start to the last end, each doing the same number of operations (about 0.2 s'
worth on one thread) on an object
made on its own thread (or on the one shared object); the best of three is kept.
--record keeps this interpreter's rows in benchmarks/threads.json, one entry
per kind of build (default, free-threaded); --update-readme writes the table of
every recorded build into README.md, and the chart draws a panel of it.
"""

from __future__ import annotations

import datetime
import json
import os
import pathlib
import platform
import sys
import sysconfig
import threading
import time
from collections import deque

import bench_ferrowind
import bench_tessaly
from bench_corvane import LockedInt
from harness import optional_import
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


sortedcontainers = optional_import("sortedcontainers")


class LockedSortedList:
    """The tree's peer: a SortedList of (size, key) under threading.Lock, its
    reads under the lock as well (a SortedList is not safe for concurrent use)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.items = sortedcontainers.SortedList((16 + 8 * k, k) for k in range(1000))

    def find_best_fit(self, size):
        with self.lock:
            i = self.items.bisect_left((size,))
            return self.items[i] if i < len(self.items) else None

    def insert(self, size, block):
        with self.lock:
            self.items.add((size, id(block)))

    def remove_ge(self, size):
        with self.lock:
            i = self.items.bisect_left((size,))
            return self.items.pop(i) if i < len(self.items) else None


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
    ("score_indicators 2 KB", 1, lambda: bench_ferrowind.SOURCE.encode().decode(),  # a text of the thread's own
     lambda s, i: ferrowind.score_indicators(s, "train_and_score")),
    ("compute_chunk_shapes (20 chunks)", 1, lambda: None,
     lambda _, i: veldra.compute_chunk_shapes((10_000, 512), 4, 2**20)),
]
# The peers a user would pick instead, measured alike.
PEERS = [
    ("peer: int under threading.Lock, += 1", 1, LockedInt, lambda c, i: c.increment()),
    ("peer: collections.deque append+pop", 2, deque, lambda d, i: (d.append(i), d.pop())),
] + ([("peer: SortedList under threading.Lock, one writer", 1, LockedSortedList,
       lambda t, i: t.find_best_fit(2000), _tree_writer)] if sortedcontainers else [])

RECORD = pathlib.Path(__file__).resolve().parent / "threads.json"
BEGIN = "<!-- threads table: written by python benchmarks/run.py --threads --update-readme -->"
END = "<!-- end of threads table -->"
COLUMNS = (("1", "1 thread"), ("2", "2 threads, own objects"), ("2 shared", "2 threads, one shared"))


def _time(op, make, threads, shared, n, beside=None):
    # An object of a thread's own is made on that thread, as a program's would
    # be: made on another, it would share the maker's memory pages and its
    # reference counts would be updated as another thread's.
    made, start, stop = threading.Barrier(threads + 1), threading.Barrier(threads + 1), threading.Event()
    one = make() if shared else None
    objects = [one] * threads

    spans = [None] * threads

    def work(i):
        obj = objects[i] = one if shared else make()
        made.wait()
        start.wait()
        began = time.perf_counter()
        for _ in range(n):
            op(obj, i)
        spans[i] = (began, time.perf_counter())

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    made.wait()
    others = [threading.Thread(target=beside, args=(o, stop)) for o in {id(o): o for o in objects}.values()] if beside else []
    for t in others:
        t.start()
    start.wait()
    for t in pool:
        t.join()
    stop.set()
    for t in others:
        t.join()
    # From the first thread's start to the last one's end, each timed on its own
    # thread (the starting thread may not run again before they end).
    return max(end for _, end in spans) - min(began for began, _ in spans)


def measure(quick: bool = False) -> list[dict]:
    # Each thread runs for about this long, so that the threads' uneven starts
    # (a wake-up each) are a small part of the span timed.
    seconds = 0.03 if quick else 0.2
    out = []
    for name, calls, make, op, *beside in ROWS + PEERS:
        row = {"row": name}
        n = max(1000, int(1000 * seconds / _time(op, make, 1, False, 1000, *beside)))
        for threads, shared in ((1, False), (2, False), (2, True)):
            best = min(_time(op, make, threads, shared, n, *beside) for _ in range(3))
            row[f"{threads}{' shared' if shared else ''}"] = threads * n * calls / best
        out.append(row)
    return out


def kind() -> str:
    return "3.14t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "3.14"


def build() -> str:
    gil = "GIL off" if not sys._is_gil_enabled() else "GIL on"
    built = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default"
    return f"CPython {sys.version.split()[0]} ({built} build, {gil})"


def record(rows: list[dict], path: pathlib.Path = RECORD) -> None:
    """Keeps ``rows`` as this kind of build's entry in ``path``."""
    data = json.loads(path.read_text()) if path.exists() else {}
    data[kind()] = {"build": build(), "date": datetime.date.today().isoformat(),
                    "machine": f"{platform.machine()}, {len(os.sched_getaffinity(0))} cores", "rows": rows}
    path.write_text(json.dumps(dict(sorted(data.items())), indent=1) + "\n")


def load(path: pathlib.Path = RECORD) -> dict:
    return json.loads(path.read_text()) if path.exists() else {}


def readme_table(data: dict) -> str:
    """One table of every recorded build: operations per second, and what two
    threads give over one."""
    builds = list(data)
    head = ["operation"] + [f"{b}: {label}" for b in builds for _, label in COLUMNS] + [f"{b}: 2 own / 1" for b in builds]
    by_row = {}
    for b in builds:
        for r in data[b]["rows"]:
            by_row.setdefault(r["row"], {})[b] = r
    lines = ["| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 1)]
    for name, per in by_row.items():
        cells = [name]
        cells += [f"{per[b][key] / 1e6:.2f} M" if b in per else "-" for b in builds for key, _ in COLUMNS]
        cells += [f"{per[b]['2'] / per[b]['1']:.2f}x" if b in per else "-" for b in builds]
        lines.append("| " + " | ".join(cells) + " |")
    sources = "; ".join(f"{b}: {data[b]['build']}, {data[b]['date']}, {data[b]['machine']}" for b in builds)
    return f"Operations per second (M = million; {sources}):\n\n" + "\n".join(lines)


def update_readme(readme: pathlib.Path, data: dict) -> None:
    text = readme.read_text()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        raise SystemExit(f"{readme}: no threads table markers ({BEGIN!r} ... {END!r})")
    readme.write_text(text[: start + len(BEGIN)] + "\n" + readme_table(data) + "\n" + text[end:])


def format_table(rows: list[dict]) -> str:
    head = ["operation", "1 thread", "2 threads, own objects", "2 threads, one shared", "2 own / 1"]
    body = [[r["row"], f"{r['1']:,.0f}", f"{r['2']:,.0f}", f"{r['2 shared']:,.0f}", f"{r['2'] / r['1']:.2f}x"]
            for r in rows]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(cells) + " |" for cells in body]
    return f"{build()}, operations per second:\n\n" + "\n".join(lines)
