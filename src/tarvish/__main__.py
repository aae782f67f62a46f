"""python -m tarvish: a report of this machine and of tarvish's native core.

Prints which native modules loaded, the capability dictionary of this machine,
and a short benchmark table (ns per operation beside the stated target, a bare
C call floor, a pure-Python baseline and the best peer a user would pick
instead). ``--json`` prints the same as JSON.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import importlib.util
import json
import pathlib
import sys

# The nine native modules, in the order of the report (the tests sweep the same list).
MODULES = (
    "tarvish.memory.corvane",
    "tarvish.memory.brindle",
    "tarvish.memory.quillet",
    "tarvish.jit.tessaly",
    "tarvish.plugins.analyzer.ferrowind",
    "tarvish.native.pellucor",
    "tarvish.plugins.analyzer.halvard",
    "tarvish.monitoring.murrel",
    "tarvish.gpu.veldra",
)


def module_report() -> list[dict]:
    out = []
    for name in MODULES:
        try:
            mod = importlib.import_module(name)
        except Exception as exc:  # a module that fails to load is reported, not fatal
            out.append({"module": name, "loaded": False, "file": None, "error": f"{type(exc).__name__}: {exc}"})
        else:
            out.append({"module": name, "loaded": True, "file": getattr(mod, "__file__", None), "error": None})
    return out


def capabilities() -> dict:
    try:
        from tarvish.native import pellucor
    except ImportError as exc:
        return {"error": str(exc)}
    return pellucor.detect_capabilities()


def benchmark_rows(quick: bool = True):
    runner = pathlib.Path(__file__).resolve().parent / "_benchmarks" / "run.py"
    if not runner.exists():
        return [], None
    loader_spec = importlib.util.spec_from_file_location("tarvish_bench_run", runner)
    mod = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(mod)
    return mod.run([], quick=quick), mod.format_table


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m tarvish", description=__doc__.splitlines()[0])
    ap.add_argument("--json", action="store_true", help="print the report as JSON")
    ap.add_argument("--no-bench", action="store_true", help="skip the benchmark table")
    ap.add_argument("--full", action="store_true", help="full benchmark repeats instead of the quick mode")
    args = ap.parse_args(argv)

    modules = module_report()
    caps = capabilities()
    rows, fmt = ([], None) if args.no_bench else benchmark_rows(quick=not args.full)

    if args.json:
        report = {
            "python": sys.version,
            "modules": modules,
            "capabilities": caps,
            "benchmarks": [dataclasses.asdict(r) for r in rows],
        }
        print(json.dumps(report, indent=2, default=repr))
        return 0 if all(m["loaded"] for m in modules) else 1

    print(f"tarvish native core on Python {sys.version.split()[0]}")
    print("\nModules")
    for m in modules:
        state = "loaded" if m["loaded"] else f"FAILED ({m['error']})"
        print(f"  {m['module']:<38} {state}")
    print("\nCapabilities")
    for key, value in caps.items():
        print(f"  {key:<28} {value!r}")
    if rows:
        print("\nBenchmarks (ns per operation; quick mode)" if not args.full else "\nBenchmarks (ns per operation)")
        print("\n".join("  " + line for line in fmt(rows).splitlines()))
    return 0 if all(m["loaded"] for m in modules) else 1


if __name__ == "__main__":
    sys.exit(main())
