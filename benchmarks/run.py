"""Runs the benchmark files and prints one table.

    python benchmarks/run.py [--quick] [--json] [module ...]
    python benchmarks/run.py --instructions [--json] [module ...]
    python benchmarks/run.py --check | --write-baseline [module ...]
    python benchmarks/run.py --markdown [--update-readme] [--plot FILE]
    python benchmarks/run.py --plot FILE [--from ROWS.json] [module ...]
    python benchmarks/run.py --threads [--quick] [--json] [--record]
    python benchmarks/run.py --threads --update-readme

Modules are the short names (corvane, brindle, ...); all when none is given.
The first form times each row (ns per operation, best of repeats); the second
counts instructions per operation under callgrind in one valgrind process,
which gives the same counts however loaded the machine is. --check is the
regression gate: it counts the package's operations and their floors (not the
baselines and peers) and fails on any row dearer than benchmarks/baseline.json,
which --write-baseline writes from the same counts. --markdown prints both tables for the
README, with the date and machine they came from; --update-readme writes them
into README.md and draws the chart above them (benchmarks/chart.svg) from the
same counts. --plot draws the chart into FILE: from the rows that --instructions
--json printed when --from names them, from a fresh count otherwise (with
--markdown, from its count). Only drawing needs matplotlib. --threads gives
operations per second on 1 and 2 threads in this interpreter (threads.py);
with --record it keeps them in threads.json, per kind of build, whose table
--threads --update-readme writes into README.md.
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
CHART = HERE / "chart.svg"


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


def load_rows(path: pathlib.Path) -> list[Row]:
    """Rows as --json printed them."""
    return [Row(**d) for d in json.loads(path.read_text())]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    ap.add_argument("--json", action="store_true", help="print JSON rows instead of a table")
    ap.add_argument("--instructions", action="store_true", help="instructions per operation under callgrind")
    ap.add_argument("--write-baseline", action="store_true",
                    help=f"count what --check counts and write it to {BASELINE.name}")
    ap.add_argument("--check", action="store_true", help=f"fail on rows dearer than {BASELINE.name}")
    ap.add_argument("--markdown", action="store_true", help="both tables as Markdown, for the README")
    ap.add_argument("--update-readme", action="store_true",
                    help=f"write the tables into README.md and draw {CHART.name} above them")
    ap.add_argument("--plot", metavar="FILE", type=pathlib.Path,
                    help="draw instructions per operation into FILE (SVG; needs matplotlib)")
    ap.add_argument("--from", dest="from_rows", metavar="ROWS", type=pathlib.Path,
                    help="with --plot: draw the rows that --instructions --json wrote to ROWS instead of counting")
    ap.add_argument("--threads", action="store_true", help="operations per second on 1 and 2 threads")
    ap.add_argument("--record", action="store_true",
                    help="with --threads: keep this build's rows in threads.json (--update-readme writes their table)")
    ap.add_argument("--count-worker", metavar="DIR", help=argparse.SUPPRESS)
    ap.add_argument("--no-baselines", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("modules", nargs="*")
    args = ap.parse_args(argv)
    if args.from_rows and (not args.plot or args.markdown or args.update_readme):
        ap.error("--from goes with --plot alone")

    if args.threads:
        import threads

        if args.update_readme:
            threads.update_readme(README, threads.load())
            return 0
        rows = threads.measure(args.quick)
        if args.record:
            threads.record(rows)
        print(json.dumps({"build": threads.build(), "rows": rows}, indent=2) if args.json else threads.format_table(rows))
        return 0

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
        import plot
        import report

        charts = ([CHART] if args.update_readme else []) + ([args.plot] if args.plot else [])
        if charts:
            plot.require_matplotlib()  # before measuring, not after
        timed, counted = run(args.modules, args.quick), count(args.modules)
        text = report.markdown(timed, counted, chart=CHART.relative_to(README.parent) if args.update_readme else None)
        for path in charts:
            plot.draw(counted, path)
        if args.update_readme:
            report.update_readme(README, text)
        else:
            print(text)
        return 0
    elif args.plot:
        import plot

        plot.require_matplotlib()
        plot.draw(load_rows(args.from_rows) if args.from_rows else count(args.modules), args.plot)
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
