"""Measuring helpers shared by the benchmark files.

Each ``benchmarks/bench_<module>.py`` defines ``rows(h)`` and calls ``h.bench``
once per row. A row prints the operation's ns per call beside its stated
target, a same-run floor (a bare C call through the same call boundary doing
the least or the same work, from ``tarvish._bench_floor``) and a pure-Python
baseline, so the ratios mean something on a noisy machine.
"""

from __future__ import annotations

import dataclasses
import timeit
from typing import Any, Callable, Optional, Sequence


@dataclasses.dataclass
class Row:
    module: str
    name: str
    ns: float
    target_ns: Optional[float]
    floor_ns: Optional[float]
    baseline_ns: Optional[float]

    @property
    def vs_floor(self) -> Optional[float]:
        return self.ns / self.floor_ns if self.floor_ns else None

    @property
    def speedup(self) -> Optional[float]:
        return self.baseline_ns / self.ns if self.baseline_ns else None


def ns_per_call(fn: Callable[..., Any], args: Sequence[Any] = (), *, quick: bool = False) -> float:
    """Best-of-repeats time of ``fn(*args)`` in nanoseconds per call."""
    names = [f"a{i}" for i in range(len(args))]
    ns = {"fn": fn, **dict(zip(names, args))}
    timer = timeit.Timer(f"fn({', '.join(names)})", globals=ns)
    # Calibrate: the smallest 1-2-5 count whose batch takes the batch time.
    batch = 0.01 if quick else 0.2
    number = 1
    while True:
        for step in (1, 2, 5):
            n = number * step
            if timer.timeit(n) >= batch:
                best = min(timer.repeat(repeat=3 if quick else 7, number=n))
                return best / n * 1e9
        number *= 10


class Harness:
    def __init__(self, module: str, quick: bool = False):
        self.module = module
        self.quick = quick
        self.rows: list[Row] = []

    def bench(
        self,
        name: str,
        fn: Callable[..., Any],
        args: Sequence[Any] = (),
        *,
        target: Optional[float] = None,
        floor: Optional[tuple[Callable[..., Any], Sequence[Any]]] = None,
        baseline: Optional[tuple[Callable[..., Any], Sequence[Any]]] = None,
    ) -> Row:
        """Times ``fn(*args)``; ``floor`` and ``baseline`` are (callable, args) pairs."""
        ns = ns_per_call(fn, args, quick=self.quick)
        floor_ns = ns_per_call(floor[0], floor[1], quick=self.quick) if floor else None
        base_ns = ns_per_call(baseline[0], baseline[1], quick=self.quick) if baseline else None
        row = Row(self.module, name, ns, target, floor_ns, base_ns)
        self.rows.append(row)
        return row


def format_table(rows: Sequence[Row]) -> str:
    def f(v: Optional[float], fmt: str = "{:.1f}") -> str:
        return "-" if v is None else fmt.format(v)

    head = ("operation", "ns/op", "target", "floor", "x floor", "python", "speedup")
    body = [
        (
            f"{r.module}: {r.name}",
            f(r.ns),
            f(r.target_ns, "<{:.0f}"),
            f(r.floor_ns),
            f(r.vs_floor, "{:.2f}"),
            f(r.baseline_ns),
            f(r.speedup, "{:.1f}x"),
        )
        for r in rows
    ]
    widths = [max(len(x[i]) for x in [head, *body]) for i in range(len(head))]
    lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths)))
             for line in [head, *body]]
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join(lines)
