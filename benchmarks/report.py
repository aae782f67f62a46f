"""The README's benchmark tables: time and instructions, with where they came from."""

from __future__ import annotations

import datetime
import pathlib
import shutil
import subprocess
from typing import Optional, Sequence

from harness import Row, format_markdown, machine

BEGIN = "<!-- benchmark tables: written by python benchmarks/run.py --markdown --update-readme -->"
END = "<!-- end of benchmark tables -->"


def valgrind_version() -> str:
    exe = shutil.which("valgrind")
    if not exe:
        return "valgrind"
    return subprocess.run([exe, "--version"], capture_output=True, text=True).stdout.strip() or "valgrind"


# The chart's alternative text.
CHART_ALT = "Instructions per operation of each module's operations, its floor, pure Python and the best peer"


def markdown(timed: Sequence[Row], counted: Sequence[Row], chart: Optional[pathlib.PurePath] = None) -> str:
    """Both tables, and above them the chart at ``chart`` (a path relative to the README)."""
    today = datetime.date.today().isoformat()
    return "\n".join([
        f"Measured on {today} on {machine()}, release build.",
        "",
        *([f"![{CHART_ALT}]({chart.as_posix()})", ""] if chart else []),
        "**Nanoseconds per operation** (best of 7 repeats; these move by tens of per cent with the machine's "
        "load, so read the ratios):",
        "",
        format_markdown(timed),
        "",
        "A row that reads a whole text also shows its one-pass floor: `str.count` of a character the text "
        "lacks, which reads it once at memory speed.",
        "",
        f"**Instructions and data-cache misses per operation** (callgrind, {valgrind_version()}, its cache "
        "simulator set to a 48 KiB 48-way first level and a 1 MiB 16-way last level; the same counts on every run):",
        "",
        format_markdown(counted),
    ])


def update_readme(path: pathlib.Path, text: str) -> None:
    """Replaces what stands between the markers in ``path`` by ``text``."""
    readme = path.read_text()
    start, end = readme.find(BEGIN), readme.find(END)
    if start < 0 or end < start:
        raise SystemExit(f"{path}: no benchmark table markers ({BEGIN!r} ... {END!r})")
    path.write_text(readme[: start + len(BEGIN)] + "\n" + text + "\n" + readme[end:])
