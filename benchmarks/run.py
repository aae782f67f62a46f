"""Runs the benchmark files and prints one table.

    python benchmarks/run.py [--quick] [--json] [module ...]
    python benchmarks/run.py --instructions [--json] [module ...]
    python benchmarks/run.py --check | --write-baseline [module ...]
    python benchmarks/run.py --markdown [--update-readme]

Modules are the short names (corvane, brindle, ...); all when none is given.
The first form times each row (ns per operation, best of repeats); the second
counts instructions per operation under callgrind in one valgrind process,
which gives the same counts however loaded the machine is. --check is the
regression gate: it counts the package's operations and their floors (not the
baselines and peers) and fails on any row dearer than benchmarks/baseline.json,
which --write-baseline writes from the same counts. --markdown prints both tables for the
README, with the date and machine they came from; --update-readme writes them
into README.md.
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

from harness import Harness, Measure, Row, format_table, resolve  # noqa: E402

BASELINE = HERE / "baseline.json"
README = HERE.parent / "README.md"


def load(path: pathlib.Path):
    loader_spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(mod)
    return mod


def run(modules: list[str], quick: bool = False, measure: Measure | None = None, baselines: bool = True) -> list[Row]:
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem.removeprefix("bench_")
        if modules and name not in modules:
            continue
        h = Harness(name, quick=quick, measure=measure, baselines=baselines)
        load(path).rows(h)
        rows.extend(h.rows)
    resolve(rows)
    return rows


def count(modules: list[str], baselines: bool = True) -> list[Row]:
    from counting import count_rows

    return count_rows(HERE / "run.py", modules, baselines=baselines)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    ap.add_argument("--json", action="store_true", help="print JSON rows instead of a table")
    ap.add_argument("--instructions", action="store_true", help="instructions per operation under callgrind")
    ap.add_argument("--write-baseline", action="store_true",
                    help=f"count what --check counts and write it to {BASELINE.name}")
    ap.add_argument("--check", action="store_true", help=f"fail on rows dearer than {BASELINE.name}")
    ap.add_argument("--markdown", action="store_true", help="both tables as Markdown, for the README")
    ap.add_argument("--update-readme", action="store_true", help="with --markdown: write the tables into README.md")
    ap.add_argument("--count-worker", metavar="DIR", help=argparse.SUPPRESS)
    ap.add_argument("--no-baselines", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("modules", nargs="*")
    args = ap.parse_args(argv)

    if args.count_worker:
        from counting import worker

        worker(args.count_worker, run, args.modules, baselines=not args.no_baselines)
        return 0

    if args.check or args.write_baseline:
        # The gate's rows: the package's operations and their floors only.
        import gate

        rows = count(args.modules, baselines=False)
        if args.check:
            return gate.check(rows, gate.load(BASELINE), complete=not args.modules)
        gate.write(BASELINE, rows, partial=bool(args.modules))
    elif args.markdown or args.update_readme:
        import report

        text = report.markdown(run(args.modules, args.quick), count(args.modules))
        if args.update_readme:
            report.update_readme(README, text)
        else:
            print(text)
        return 0
    elif args.instructions:
        rows = count(args.modules)
    else:
        rows = run(args.modules, args.quick)
    if args.json:
        print(json.dumps([dataclasses.asdict(r) for r in rows], indent=2))
    else:
        print(format_table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
