"""Instructions and data-cache misses per operation under callgrind, with process
start-up cancelled out.

The runner starts one valgrind process for the whole table (``count_rows``): the
interpreter runs the benchmark rows in worker mode, and callgrind is told to dump
and zero its counters each time the floor module's marker function is entered
(``--dump-before=tarvish_bench_mark``), so every ``mark()`` call closes one
counted window, written as one numbered file. An operation is counted as the
difference of two windows that run the same ``timeit`` loop 0 and n times,
divided by n: the loop's set-up, the marker calls and everything else outside
the loop cancel out. n is chosen from a first count of one repetition so that
the difference is about a million instructions; an operation dearer than that
is counted once.

The data-cache misses come from valgrind's cache simulator (the one cachegrind
runs, here inside callgrind so that the same windows count them): first-level
data misses (reads and writes) and last-level data misses, per operation. The
simulated caches are fixed, not read from the processor, so that every machine
counts the same misses: a 48 KiB first level (the size of these processors'
first-level data cache) and a 1 MiB 16-way last level, 64-byte lines. The first
level is 48-way (16 sets), so that what it counts is what an operation's data
outgrows, not conflicts between addresses, which move with the heap's layout:
with a 32 KiB 8-way first level, a 2 KB scoring row missed 62 times a call in a
run of every module and 77 times in a run of its module alone (64-way, its
non-ASCII row 27 and 55 times); with this one, it misses in neither run, and
the 1 MB rows agree within 2 %.

What makes the count move between runs and machines is pinned: the hash seed,
the environment, address-space randomisation, and the C library's choice of
its string and memory function variants and copy strategies (which it makes by
CPU features and cache sizes).
"""

from __future__ import annotations

import json
import math
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import tempfile
import textwrap
from typing import Any, Callable, Sequence

from harness import Row, make_timer

MARKER, ZERO = "tarvish_bench_mark", "tarvish_bench_zero"

# Every variant choice of the C library pinned to the plain x86-64 one, and its
# cache-size derived copy thresholds fixed, so that two processors of the same
# kind run the same instructions.
_DISABLED_FEATURES = (
    "AVX", "AVX2", "AVX512F", "AVX512BW", "AVX512VL", "AVX512DQ", "AVX_Fast_Unaligned_Load", "FMA", "FMA4",
    "BMI1", "BMI2", "LZCNT", "MOVBE", "POPCNT", "SSSE3", "SSE4_1", "SSE4_2", "ERMS", "FSRM", "RTM",
    "Fast_Unaligned_Copy", "Fast_Rep_String", "Prefer_ERMS", "Prefer_FSRM",
)
GLIBC_TUNABLES = ":".join([
    "glibc.cpu.hwcaps=" + ",".join("-" + f for f in _DISABLED_FEATURES),
    "glibc.cpu.x86_data_cache_size=0x8000",
    "glibc.cpu.x86_shared_cache_size=0x100000",
    "glibc.cpu.x86_non_temporal_threshold=0xc0000",
    "glibc.cpu.x86_rep_movsb_threshold=0x100000",
    "glibc.cpu.x86_rep_stosb_threshold=0x100000",
])

# The simulated caches (size, associativity, line size) and the events counted
# as each kind of data-cache miss.
CACHES = ("--I1=32768,8,64", "--D1=49152,48,64", "--LL=1048576,16,64")
MISSES = {"d1": ("D1mr", "D1mw"), "ll": ("DLmr", "DLmw")}

# The work of one counted difference: enough that a one-off event (a free list
# refilled, an arena mapped) weighs under 0.1 % of it.
TARGET_WORK = 1_000_000


def environment() -> dict[str, str]:
    """The pinned environment of the counted process: only what it needs."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        "PYTHONHASHSEED": "0",
        "PYTHONDONTWRITEBYTECODE": "1",
        "GLIBC_TUNABLES": GLIBC_TUNABLES,
    }
    if os.environ.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.environ["PYTHONPATH"]
    return env


def no_aslr_prefix() -> list[str]:
    """``setarch -R`` where it works here (a container may refuse the personality change)."""
    setarch = shutil.which("setarch")
    if setarch and subprocess.run([setarch, platform.machine(), "-R", "true"], capture_output=True).returncode == 0:
        return [setarch, platform.machine(), "-R"]
    return []


def valgrind_command(outdir: str) -> list[str]:
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        raise SystemExit("counting instructions needs valgrind (callgrind) on PATH")
    return [*no_aslr_prefix(), valgrind, "--tool=callgrind", f"--dump-before={MARKER}", f"--zero-before={ZERO}",
            "--trace-children=yes", "--cache-sim=yes", *CACHES,
            f"--callgrind-out-file={outdir}/cg.%p", f"--log-file={outdir}/valgrind.%p.log",
            "--dump-line=no", "--dump-instr=no"]


def read_events(path: str) -> dict[str, int]:
    """The event totals of one callgrind dump (its header's events and summary lines)."""
    names: list[str] = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("events:"):
                names = line.split()[1:]
            elif line.startswith(("summary:", "totals:")):
                values = [int(v) for v in line.split()[1:]]
                names = names or ["Ir"]
                # Trailing events that counted nothing are left out of the line.
                return dict(zip(names, values + [0] * (len(names) - len(values))))
    raise ValueError(f"{path}: no summary line")


def read_summary(path: str) -> int:
    """The total instruction count of one callgrind dump."""
    return read_events(path)["Ir"]


def misses_of(events: dict[str, int]) -> dict[str, int]:
    """The data-cache misses of a window, by kind (none where no cache was simulated)."""
    if not all(e in events for kinds in MISSES.values() for e in kinds):
        return {}
    return {kind: sum(events[e] for e in kinds) for kind, kinds in MISSES.items()}


def repetitions(cost: float, work: int = TARGET_WORK) -> int:
    """How many repetitions make one counted difference of about ``work`` instructions."""
    return max(1, min(200_000, math.ceil(work / max(cost, 1.0))))


class Callgrind:
    """Instructions per call, counted between marker calls in this process (run
    under callgrind with ``--dump-before`` of the marker); the data-cache misses
    per call of the last call counted are in ``last_misses``."""

    unit = "instructions"
    last_misses: dict[str, float] = {}

    def __init__(self, outdir: str):
        from tarvish import _bench_floor

        self.mark, self.zero = _bench_floor.mark, _bench_floor.zero
        self.outdir = outdir
        self.prefix = os.path.join(outdir, f"cg.{os.getpid()}")
        self.part = 0
        self._close()
        if not os.path.exists(self._path(self.part)):
            raise SystemExit("not running under callgrind with --dump-before of the marker: "
                             "use benchmarks/run.py --instructions")

    def _path(self, part: int) -> str:
        return f"{self.prefix}.{part}"

    def _close(self) -> int:
        """Closes the current window; returns its number."""
        self.mark()
        self.part += 1
        return self.part

    def _events(self, part: int) -> dict[str, int]:
        return read_events(self._path(part))

    def per_call(self, fn: Callable[..., Any], args: Sequence[Any] = ()) -> float:
        timer = make_timer(fn, args)
        timer.timeit(2)  # compiled, specialised, caches filled
        self.zero()
        timer.timeit(0)
        empty = self._close()
        timer.timeit(1)
        once = self._close()
        base, first = self._events(empty), self._events(once)
        n = repetitions(first["Ir"] - base["Ir"])
        if n > 1:
            timer.timeit(n // 4)
            self.zero()
            timer.timeit(n)
            first = self._events(self._close())
        base_misses, misses = misses_of(base), misses_of(first)
        self.last_misses = {k: max(0.0, (v - base_misses[k]) / n) for k, v in misses.items()}
        return (first["Ir"] - base["Ir"]) / n

    def first_call(self, setup: str, call: str) -> Callable[[], float]:
        """Instructions of ``call`` run first in a fresh interpreter after ``setup``,
        less those of an empty window. The child runs under callgrind as well, beside
        this process; the returned function waits for it."""
        code = "\n".join([textwrap.dedent(setup), "from tarvish._bench_floor import mark", "mark()", "mark()",
                          textwrap.dedent(call), "mark()"])
        child = subprocess.Popen([sys.executable, "-c", code], cwd="/")
        prefix = os.path.join(self.outdir, f"cg.{child.pid}")

        def result() -> float:
            if child.wait() != 0:
                raise RuntimeError(f"the fresh interpreter running {call!r} failed")
            return float(read_summary(f"{prefix}.3") - read_summary(f"{prefix}.2"))

        return result


def worker(outdir: str, run_rows: Callable[..., list[Row]], modules: list[str], baselines: bool) -> None:
    """The counted process's side: measures the rows and writes them as JSON."""
    import dataclasses

    rows = run_rows(modules, measure=Callgrind(outdir), baselines=baselines)
    pathlib.Path(outdir, "rows.json").write_text(json.dumps([dataclasses.asdict(r) for r in rows]))


def count_rows(runner: pathlib.Path, modules: Sequence[str], baselines: bool = True) -> list[Row]:
    """Runs the rows of ``modules`` (all when empty) in one valgrind process and
    returns them with instructions per call."""
    with tempfile.TemporaryDirectory(prefix="tarvish-callgrind-") as outdir:
        cmd = [*valgrind_command(outdir), sys.executable, "-s", str(runner), "--count-worker", outdir]
        if not baselines:
            cmd.append("--no-baselines")
        proc = subprocess.run([*cmd, *modules], env=environment(), cwd="/")
        if proc.returncode != 0:
            for log in sorted(pathlib.Path(outdir).glob("valgrind.*.log")):
                sys.stderr.write(log.read_text(errors="replace")[-3000:])
            raise SystemExit(f"the counted run failed (exit status {proc.returncode})")
        data = json.loads(pathlib.Path(outdir, "rows.json").read_text())
    return [Row(**d) for d in data]
