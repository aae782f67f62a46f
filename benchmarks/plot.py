"""The README's benchmark chart: instructions per operation, one group of bars per
operation (this package, its floor, pure Python and the best peer) on a
logarithmic axis, one panel per module; below them, where benchmarks/threads.json
holds recorded builds, a panel of what a second thread buys in each.

Only ``draw`` needs matplotlib (Debian's ``python3-matplotlib``); the rest of the
runner, and the test suite, never import it.
"""

from __future__ import annotations

import dataclasses
import pathlib
from typing import Optional, Sequence

from harness import Row

# (label, colour) of the four bars of a group, top to bottom.
SERIES = (
    ("tarvish", "#1f5fa8"),
    ("floor: a bare C call", "#a6a6a6"),
    ("pure Python", "#e07b28"),
    ("best peer", "#3a9a4a"),
)


@dataclasses.dataclass
class Group:
    module: str
    name: str
    costs: tuple[Optional[float], ...]  # one per series; None where not measured
    peer: Optional[str]  # the best peer's name


def groups(rows: Sequence[Row]) -> list[Group]:
    """The chart's operations: every counted row that has a floor, which leaves
    out a first call in a fresh interpreter (it has no same-run floor to stand
    beside), in the rows' order."""
    out = []
    for r in rows:
        if r.unit != "instructions" or r.value is None or r.floor is None:
            continue
        best = r.best_peer
        # A peer that is the pure-Python baseline itself is not drawn twice.
        peer = best if best and best[1] != r.baseline else None
        out.append(Group(r.module, r.name, (r.value, r.floor, r.baseline, peer and peer[1]), peer and peer[0]))
    return out


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise SystemExit("drawing the chart needs matplotlib (Debian's python3-matplotlib)") from None


# (build, which two-thread column, label, colour) of the threads panel's bars.
THREAD_SERIES = (
    ("3.14", "2", "3.14 (GIL), own objects", "#e07b28"),
    ("3.14", "2 shared", "3.14 (GIL), one shared", "#f2b98a"),
    ("3.14t", "2", "3.14t (GIL off), own objects", "#1f5fa8"),
    ("3.14t", "2 shared", "3.14t (GIL off), one shared", "#8fb3dc"),
)


def draw_threads(fig, data: dict) -> None:
    """What two threads do against one, per operation and build: each bar is the
    two threads' operations per second over one thread's in the same build."""
    import matplotlib.patches

    names = list(dict.fromkeys(r["row"] for b in data.values() for r in b["rows"]))
    per = {(b, r["row"]): r for b, entry in data.items() for r in entry["rows"]}
    series = [s for s in THREAD_SERIES if s[0] in data]
    ax = fig.subplots()
    bar = 0.8 / len(series)
    for i, name in enumerate(names):
        for k, (build, column, _, colour) in enumerate(series):
            r = per.get((build, name))
            if r:
                ax.barh(i + (k - (len(series) - 1) / 2) * bar, r[column] / r["1"], height=bar * 0.92, color=colour)
    ax.set_yticks(range(len(names)), names)
    ax.set_ylim(len(names) - 0.5, -0.5)
    ax.tick_params(axis="y", length=0)
    for x in (1, 2):
        ax.axvline(x, color="#888888", linewidth=0.6, linestyle="--" if x == 2 else "-")
    ax.set_title("two threads against one (2 cores)")
    ax.set_xlabel("operations per second, 2 threads over 1 (same build; more is better, 2 is the limit of 2 cores)")
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    handles = [matplotlib.patches.Rectangle((0, 0), 1, 1, color=c) for *_, c in series]
    fig.legend(handles, [label for _, _, label, _ in series], loc="outside upper center", ncols=2, frameon=False)


def draw(rows: Sequence[Row], path: pathlib.Path, threads: Optional[dict] = None) -> None:
    """Draws the chart of ``rows`` into ``path`` (SVG, or any format matplotlib
    knows by the suffix), with the threads panel of ``threads`` (by default
    what benchmarks/threads.json holds). The SVG is the same for the same rows."""
    require_matplotlib()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import LogLocator

    import threads as threads_table

    chart = groups(rows)
    if not chart:
        raise SystemExit("no counted rows with a floor to draw")
    data = threads_table.load() if threads is None else threads
    modules = list(dict.fromkeys(g.module for g in chart))
    per_module = [[g for g in chart if g.module == m] for m in modules]
    bar, gap = 0.19, 0.24  # in units of one group's height
    heights = [len(gs) for gs in per_module]
    matplotlib.rcParams.update({
        "svg.hashsalt": "tarvish", "svg.fonttype": "path", "font.size": 9, "axes.titlesize": 10,
        "axes.titleweight": "bold", "axes.titlelocation": "left",
    })
    height = 0.8 + 0.25 * sum(heights) + 0.3 * len(modules)
    panel = 1.2 + 0.3 * len({r["row"] for b in data.values() for r in b["rows"]}) if data else 0
    fig = plt.figure(figsize=(8.5, height + panel), layout="constrained")
    top = fig
    if data:
        top, bottom = fig.subfigures(2, 1, height_ratios=[height, panel])
        draw_threads(bottom, data)
    axes = top.subplots(len(modules), 1, sharex=True, gridspec_kw={"height_ratios": heights}, squeeze=False)
    lo = min(c for g in chart for c in g.costs if c)
    hi = max(c for g in chart for c in g.costs if c)
    for ax, module, gs in zip(axes[:, 0], modules, per_module):
        for i, g in enumerate(gs):
            for k, (cost, (_, colour)) in enumerate(zip(g.costs, SERIES)):
                if not cost:
                    continue
                y = i + (k - 1.5) * bar
                ax.barh(y, cost, height=bar * 0.92, color=colour)
                if k == 3 and g.peer:  # named past the group's longest bar
                    ax.text(max(c for c in g.costs if c) * 1.15, y, g.peer, va="center", fontsize=7,
                            color="#2c6e37")
        ax.set_yticks(range(len(gs)), [g.name for g in gs])
        ax.set_ylim(len(gs) - 1 + 0.5 + gap / 2, -0.5 - gap / 2)
        ax.tick_params(axis="y", length=0)
        ax.set_title(module)
        ax.set_xscale("log")
        ax.set_xlim(lo / 1.6, hi * 2.5)
        ax.xaxis.set_major_locator(LogLocator(base=10))
        ax.grid(axis="x", color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        for side in ("top", "right", "bottom"):
            ax.spines[side].set_visible(False)
        ax.spines["left"].set_color("#888888")
        ax.tick_params(axis="x", which="both", length=0)
    # The scale is read at the top and the bottom; the panels between share it.
    axes[0, 0].tick_params(axis="x", labeltop=True)
    axes[-1, 0].tick_params(axis="x", labelbottom=True)
    axes[-1, 0].set_xlabel("instructions per operation (callgrind; log scale, fewer is better)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for _, c in SERIES]
    top.legend(handles, [label for label, _ in SERIES], loc="outside upper center", ncols=len(SERIES),
               frameon=False)
    fig.savefig(path, facecolor="white", metadata={"Date": None} if str(path).endswith(".svg") else None)
    plt.close(fig)
