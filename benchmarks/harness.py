"""Measuring helpers shared by the benchmark files.

Each ``benchmarks/bench_<module>.py`` defines ``rows(h)`` and calls ``h.bench``
once per row. A row gives the operation's cost beside its stated target, a
same-run floor (a bare C call through the same call boundary doing the least or
the same work, from ``tarvish._bench_floor``), for a row that reads a whole text
its one-pass floor (the text read once at memory speed: ``str.count`` of a
character it lacks), a pure-Python baseline doing the same work, and peers: what
a user would pick instead (a library or a standard idiom), shown as "-" where
the library is not installed.

The harness's ``measure`` decides what a cost is: ``Timing`` gives nanoseconds
per call (best of repeats, which moves with the machine's load), and
``counting.Callgrind`` gives instructions per call under callgrind (which does
not), and with them the data-cache misses per call (``Row.misses``). Both run the same statement, ``fn(a0, a1, ...)`` in a ``timeit`` loop.
"""

from __future__ import annotations

import dataclasses
import importlib
import os
import pathlib
import platform
import subprocess
import sys
import textwrap
import timeit
from typing import Any, Callable, Optional, Protocol, Sequence

Pair = tuple[Callable[..., Any], Sequence[Any]]


@dataclasses.dataclass
class Row:
    module: str
    name: str
    unit: str  # "ns" or "instructions"
    value: Optional[float]
    target_ns: Optional[float] = None
    floor: Optional[float] = None
    baseline: Optional[float] = None
    # Peer name -> cost; None where the peer's library is not installed.
    peers: dict[str, Optional[float]] = dataclasses.field(default_factory=dict)
    # The one-pass floor: the same text read once at memory speed.
    one_pass: Optional[float] = None
    # Data-cache misses per operation by kind ("d1", "ll"), where the measure counts them.
    misses: Optional[dict[str, float]] = None

    @property
    def key(self) -> str:
        return f"{self.module}: {self.name}"

    @property
    def vs_floor(self) -> Optional[float]:
        return self.value / self.floor if self.value is not None and self.floor else None

    @property
    def vs_one_pass(self) -> Optional[float]:
        return self.value / self.one_pass if self.value is not None and self.one_pass else None

    @property
    def speedup(self) -> Optional[float]:
        return self.baseline / self.value if self.baseline and self.value else None

    @property
    def best_peer(self) -> Optional[tuple[str, float]]:
        """The cheapest peer that was measured, as (name, cost)."""
        measured = [(v, k) for k, v in self.peers.items() if v is not None]
        return (min(measured)[1], min(measured)[0]) if measured else None

    @property
    def vs_peer(self) -> Optional[float]:
        best = self.best_peer
        return self.value / best[1] if best and best[1] and self.value is not None else None


def optional_import(name: str):
    """The module, or None where it is not installed (peers are optional)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def machine() -> str:
    """The processor, core count, interpreter and C library, as the README and the baseline name them."""
    model = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    libc = " ".join(platform.libc_ver()).strip()
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}" + (f", {libc}" if libc else "")


def make_timer(fn: Callable[..., Any], args: Sequence[Any] = ()) -> timeit.Timer:
    names = [f"a{i}" for i in range(len(args))]
    ns = {"fn": fn, **dict(zip(names, args))}
    return timeit.Timer(f"fn({', '.join(names)})", globals=ns)


FIRST_CALL = """
import time
t0 = time.perf_counter_ns()
{setup}
t1 = time.perf_counter_ns()
{call}
print(time.perf_counter_ns() - t1)
"""


class Measure(Protocol):
    unit: str

    def per_call(self, fn: Callable[..., Any], args: Sequence[Any]) -> float: ...

    def first_call(self, setup: str, call: str) -> float | Callable[[], float]: ...


class Timing:
    """Nanoseconds per call: the best of several repeats of a calibrated batch."""

    unit = "ns"

    def __init__(self, quick: bool = False):
        self.quick = quick

    def per_call(self, fn: Callable[..., Any], args: Sequence[Any] = ()) -> float:
        timer = make_timer(fn, args)
        # Calibrate: the smallest 1-2-5 count whose batch takes the batch time.
        batch = 0.01 if self.quick else 0.2
        number = 1
        while True:
            for step in (1, 2, 5):
                n = number * step
                if timer.timeit(n) >= batch:
                    best = min(timer.repeat(repeat=3 if self.quick else 7, number=n))
                    return best / n * 1e9
            number *= 10

    def first_call(self, setup: str, call: str) -> float:
        """Best time of ``call`` run first in a fresh interpreter, after ``setup``."""
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
        code = textwrap.dedent(FIRST_CALL.format(setup=setup, call=call))
        runs = 3 if self.quick else 10
        return min(float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                                        env=env).stdout) for _ in range(runs))


def ns_per_call(fn: Callable[..., Any], args: Sequence[Any] = (), *, quick: bool = False) -> float:
    """Best-of-repeats time of ``fn(*args)`` in nanoseconds per call."""
    return Timing(quick).per_call(fn, args)


class Harness:
    """Collects one module's rows. ``baselines=False`` measures only the package's
    operations and their floors (what the regression gate compares)."""

    def __init__(self, module: str, quick: bool = False, measure: Optional[Measure] = None, baselines: bool = True):
        self.module = module
        self.quick = quick
        self.measure: Measure = measure or Timing(quick)
        self.baselines = baselines
        self.rows: list[Row] = []

    def bench(
        self,
        name: str,
        fn: Callable[..., Any],
        args: Sequence[Any] = (),
        *,
        target: Optional[float] = None,
        floor: Optional[Pair] = None,
        baseline: Optional[Pair] = None,
        peers: Optional[dict[str, Optional[Pair]]] = None,
        one_pass: Optional[Pair] = None,
    ) -> Row:
        """Measures ``fn(*args)``; ``floor``, ``one_pass``, ``baseline`` and each peer are
        (callable, args) pairs. A peer that is the baseline itself is measured once."""
        m = self.measure.per_call

        def misses() -> Optional[dict[str, float]]:
            return dict(getattr(self.measure, "last_misses", None) or {}) or None

        value = m(fn, args)
        value_misses = misses()
        floor_v = m(*floor) if floor else None
        pass_v = m(*one_pass) if one_pass and self.baselines else None
        base_v = m(*baseline) if baseline and self.baselines else None
        peer_v: dict[str, Optional[float]] = {}
        for label, pair in (peers or {}).items() if self.baselines else ():
            if pair is None:
                peer_v[label] = None
            elif baseline and pair[0] is baseline[0] and tuple(pair[1]) == tuple(baseline[1]):
                peer_v[label] = base_v
            else:
                peer_v[label] = m(*pair)
        row = Row(self.module, name, self.measure.unit, value, target, floor_v, base_v, peer_v, pass_v, value_misses)
        self.rows.append(row)
        return row

    def first_call(self, name: str, setup: str, call: str, *, target: Optional[float] = None,
                   baseline: Optional[tuple[str, str]] = None) -> Row:
        """The cost of ``call`` run first in a fresh interpreter after ``setup`` (its
        imports); ``baseline`` is a (setup, call) pair of the same. A measure may
        hand back a function that waits for the result (``resolve`` calls it)."""
        value = self.measure.first_call(setup, call)
        base = self.measure.first_call(*baseline) if baseline and self.baselines else None
        row = Row(self.module, name, self.measure.unit, value, target, None, base)
        self.rows.append(row)
        return row


def resolve(rows: Sequence[Row]) -> None:
    """Replaces the results still pending (fresh-interpreter runs) by their values."""
    for r in rows:
        if callable(r.value):
            r.value = r.value()
        if callable(r.baseline):
            r.baseline = r.baseline()


def _f(v: Optional[float], fmt: str = "{:.1f}") -> str:
    return "-" if v is None else fmt.format(v)


def _count(v: Optional[float]) -> str:
    return "-" if v is None else f"{v:,.0f}"


def _peer(r: Row, fmt: Callable[[Optional[float]], str]) -> tuple[str, str, str]:
    best = r.best_peer
    if best is None:
        names = ", ".join(r.peers)
        return ("-", "-", f"({names} not installed)" if names else "")
    return (fmt(best[1]), _f(r.vs_peer, "{:.2f}"), best[0])


def _miss(r: Row, kind: str) -> str:
    v = (r.misses or {}).get(kind)
    return "-" if v is None else f"{v:,.1f}" if v < 100 else f"{v:,.0f}"


def table_cells(rows: Sequence[Row]) -> tuple[tuple[str, ...], list[tuple[str, ...]]]:
    """The head and body cells of one table: ns rows with their stated target,
    instruction rows with thousands separators and their data-cache misses; the
    one-pass floor where a row has one."""
    passes = any(r.one_pass is not None for r in rows)
    fmt: Callable[[Optional[float]], str]
    if rows and rows[0].unit == "instructions":
        fmt = _count
        head: tuple[str, ...] = ("operation", "instr/op", "D1 miss/op", "LL miss/op", "floor", "x floor")
        body = [(r.key, _count(r.value), _miss(r, "d1"), _miss(r, "ll"), _count(r.floor), _f(r.vs_floor, "{:.2f}"))
                for r in rows]
    else:
        fmt = _f
        head = ("operation", "ns/op", "target", "floor", "x floor")
        body = [(r.key, _f(r.value), _f(r.target_ns, "<{:.0f}"), _f(r.floor), _f(r.vs_floor, "{:.2f}")) for r in rows]
    if passes:
        head += ("one pass", "x pass")
        body = [(*cells, fmt(r.one_pass), _f(r.vs_one_pass, "{:.2f}")) for cells, r in zip(body, rows)]
    head += ("python", "speedup", "peer", "x peer", "peer name")
    body = [(*cells, fmt(r.baseline), _f(r.speedup, "{:.1f}x"), *_peer(r, fmt)) for cells, r in zip(body, rows)]
    return head, body


def format_table(rows: Sequence[Row]) -> str:
    head, body = table_cells(rows)
    widths = [max(len(x[i]) for x in [head, *body]) for i in range(len(head))]
    last = len(head) - 1
    lines = ["  ".join(c.ljust(w) if i in (0, last) else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths)))
             .rstrip() for line in [head, *body]]
    lines.insert(1, "-" * max(len(line) for line in lines))
    return "\n".join(lines)


def format_markdown(rows: Sequence[Row]) -> str:
    head, body = table_cells(rows)
    align = ["---", *["---:"] * (len(head) - 2), "---"]
    out = ["| " + " | ".join(head) + " |", "| " + " | ".join(align) + " |"]
    out += ["| " + " | ".join(c.replace("|", "\\|") for c in line) + " |" for line in body]
    return "\n".join(out)
