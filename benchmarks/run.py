"""Runs the benchmark files and prints one table.

    python benchmarks/run.py [--quick] [--json] [module ...]

Modules are the short names (corvane, brindle, ...); all when none is given.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Harness, format_table  # noqa: E402


def load(path: pathlib.Path):
    loader_spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(mod)
    return mod


def run(modules: list[str], quick: bool) -> list:
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem.removeprefix("bench_")
        if modules and name not in modules:
            continue
        h = Harness(name, quick=quick)
        load(path).rows(h)
        rows.extend(h.rows)
    return rows


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    ap.add_argument("--json", action="store_true", help="print JSON rows instead of a table")
    ap.add_argument("modules", nargs="*")
    args = ap.parse_args(argv)
    rows = run(args.modules, args.quick)
    if args.json:
        print(json.dumps([dataclasses.asdict(r) for r in rows], indent=2))
    else:
        print(format_table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
