"""The regression gate: instructions and data-cache misses per operation against
a committed baseline.

``benchmarks/baseline.json`` holds, per row, the instructions per operation of
the package's operation and of its same-run floor, and the operation's
first-level and last-level data-cache misses per operation (counting.py). A row
fails when it costs more than TOLERANCE over its baseline both in absolute
instructions and in its ratio to its floor: a machine whose C library or
interpreter runs every call a little dearer moves the floor as well, and then
only the absolute count rises. It fails as well when either kind of miss rises
more than TOLERANCE over its baseline and by more than MISS_SLACK misses per
operation (a call's floor misses next to nothing, so the misses have no floor to
be judged against; the slack keeps a row that misses about once per call from
failing on one miss more), so that a table that outgrows the cache fails the
gate even where it runs fewer instructions; last-level misses, which move with
the heap's layout, only past LL_FACTOR times their baseline. A row that got cheaper is printed
(so the baseline can be lowered with it).
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import pathlib
import sys
from typing import Optional, Sequence

from harness import Row, machine

TOLERANCE = 0.05
MISS_SLACK = 1.0
# What stays in the last level depends on where the heap happens to lie: in a
# checkout at another path, a row over data larger than the level (a 1 MB text,
# a 10,000-entry history) or one that misses a few times per call misses up to
# half again as often, or half as often. So the last-level misses fail a row
# only above LL_FACTOR times its baseline and by more than LL_SLACK per
# operation: a table that outgrows the level multiplies them.
LL_FACTOR = 3.0
LL_SLACK = 4.0
# The misses judged, by their key in a row's misses and their name in the baseline.
MISS_KINDS = {"d1": "d1_misses", "ll": "ll_misses"}
# Runs of the same build agree within 0.5 %: a change of more than this is real.
NOTICEABLE = 0.01
REGENERATE = "tools/test.sh baseline"


@dataclasses.dataclass
class Verdict:
    key: str
    value: float
    base: Optional[float]
    ratio: Optional[float] = None  # value / base
    floor_ratio: Optional[float] = None  # (value / floor) / (base / base floor)
    what: str = "instructions"  # or the kind of miss: "d1_misses", "ll_misses"

    @property
    def slack(self) -> float:
        return {"instructions": 0.0, "ll_misses": LL_SLACK}.get(self.what, MISS_SLACK)

    @property
    def limit(self) -> float:
        return LL_FACTOR if self.what == "ll_misses" else 1 + TOLERANCE

    @property
    def dearer(self) -> bool:
        return (self.ratio is not None and self.ratio > self.limit
                and (self.floor_ratio is None or self.floor_ratio > 1 + TOLERANCE)
                and self.value - self.base > self.slack)

    @property
    def cheaper(self) -> bool:
        low = 1 / LL_FACTOR if self.what == "ll_misses" else 1 - NOTICEABLE
        return (self.ratio is not None and self.ratio < low
                and (self.floor_ratio is None or self.floor_ratio < 1 - NOTICEABLE)
                and self.base - self.value > self.slack)

    def describe(self) -> str:
        unit, fmt = self.what.replace("_", " "), "{:,.0f}" if self.what == "instructions" else "{:,.1f}"
        text = (f"{self.key}: {fmt.format(self.value)} {unit}/op, baseline {fmt.format(self.base)} "
                f"({self.ratio - 1:+.1%})")
        if self.floor_ratio is not None:
            text += f", against its floor {self.floor_ratio - 1:+.1%}"
        return text


def judge(rows: Sequence[Row], baseline: dict[str, dict]) -> list[Verdict]:
    """The verdicts on each measured row, in the rows' order: its instructions,
    then each kind of miss that both the row and its baseline have."""
    out = []
    for r in rows:
        if r.value is None:
            continue
        b = baseline.get(r.key)
        if not b:
            out.append(Verdict(r.key, r.value, None))
            continue
        v = Verdict(r.key, r.value, b["instructions"], r.value / b["instructions"])
        if r.floor and b.get("floor"):
            v.floor_ratio = (r.value / r.floor) / (b["instructions"] / b["floor"])
        out.append(v)
        for kind, name in MISS_KINDS.items():
            value, base = (r.misses or {}).get(kind), b.get(name)
            if value is None or base is None:
                continue
            ratio = value / base if base else (1.0 if value == 0 else float("inf"))
            out.append(Verdict(r.key, value, base, ratio, what=name))
    return out


def check(rows: Sequence[Row], baseline: dict, complete: bool = True, out=None) -> int:
    """Prints the gate's findings; 1 when a row is dearer than its baseline or a
    baselined row was not measured (with ``complete``, a run of every module)."""
    out = out or sys.stdout
    base_rows = baseline.get("rows", {})
    verdicts = judge(rows, base_rows)
    dearer = [v for v in verdicts if v.dearer]
    cheaper = [v for v in verdicts if v.cheaper]
    new = [v for v in verdicts if v.base is None]
    measured = {r.key for r in rows}
    missing = sorted(k for k in base_rows if k not in measured) if complete else []
    print(f"{len(measured)} rows counted against the baseline of {baseline.get('date', '?')} "
          f"({baseline.get('machine', '?')}); a row fails above +{TOLERANCE:.0%}", file=out)
    for title, items in [("DEARER than the baseline", [v.describe() for v in dearer]),
                         ("cheaper than the baseline", [v.describe() for v in cheaper]),
                         ("not in the baseline", [f"{v.key}: {v.value:,.0f} instructions/op" for v in new]),
                         ("in the baseline but not measured", missing)]:
        if items:
            print(f"{title}:", file=out)
            for line in items:
                print(f"  {line}", file=out)
    compared = [v for v in verdicts if v.ratio is not None and v.what == "instructions"]
    if compared:
        moved = max(compared, key=lambda v: abs(v.ratio - 1))
        print(f"largest change: {moved.key} {moved.ratio - 1:+.2%}", file=out)
    if dearer or missing:
        print(f"FAILED: {len(dearer)} dearer, {len(missing)} missing. A change that makes a row dearer on purpose "
              f"regenerates the baseline in the same commit ({REGENERATE}) and says why.", file=out)
        return 1
    print("passed: no row dearer than its baseline in instructions or data-cache misses", file=out)
    return 0


def load(path: pathlib.Path) -> dict:
    if not path.exists():
        raise SystemExit(f"no baseline at {path}: write one with {REGENERATE}")
    return json.loads(path.read_text())


def write(path: pathlib.Path, rows: Sequence[Row], partial: bool = False) -> None:
    """Writes the rows' counts; a ``partial`` run (some modules) keeps the other rows."""
    old = json.loads(path.read_text()).get("rows", {}) if partial and path.exists() else {}
    new = {r.key: {"instructions": round(r.value, 1), "floor": round(r.floor, 1) if r.floor else None,
                   **{name: round(r.misses[kind], 2) for kind, name in MISS_KINDS.items()
                      if r.misses and kind in r.misses}}
           for r in rows if r.value is not None}
    data = {
        "about": "Instructions per operation under callgrind (subject and same-run floor) and the subject's "
                 "first-level and last-level data-cache misses per operation (valgrind's cache simulator), the "
                 f"regression gate's baseline. Regenerate with: {REGENERATE}",
        "date": datetime.date.today().isoformat(),
        "machine": machine(),
        "rows": {**old, **new},
    }
    path.write_text(json.dumps(data, indent=1) + "\n")
    print(f"wrote {len(new)} rows to {path}", file=sys.stderr)
