"""The benchmark runner's own logic, as the package ships it: the regression gate's verdicts,
reading callgrind's dumps, the harness's peer columns and the README tables. (The counts
themselves are checked by tools/test.sh perf, not here.)"""

import dataclasses
import importlib.util
import json
import pathlib
import sys

import pytest

import tarvish

BENCH = pathlib.Path(tarvish.__file__).parent / "_benchmarks"


@pytest.fixture(scope="module")
def tools():
    sys.path.insert(0, str(BENCH))
    try:
        import counting
        import gate
        import harness
        import report

        yield harness, gate, counting, report
    finally:
        sys.path.remove(str(BENCH))


def row(harness, name, value, floor=100.0, **kw):
    return harness.Row("m", name, "instructions", value, floor=floor, **kw)


BASE = {"about": "", "date": "2026-01-01", "machine": "test",
        "rows": {"m: a": {"instructions": 1000.0, "floor": 100.0}, "m: cold": {"instructions": 5000.0, "floor": None}}}


class TestGate:
    @pytest.mark.parametrize("kind,base,value,dearer", [
        ("d1_misses", 0.0, 57.0, True),  # a table that outgrew the first level
        ("d1_misses", 10.0, 10.9, False),  # within the slack of one miss
        ("d1_misses", 100.0, 106.0, True),
        ("ll_misses", 2.3, 3.3, False),  # the heap's layout in another checkout
        ("ll_misses", 8127.0, 12188.0, False),
        ("ll_misses", 0.0, 20.0, True),
        ("ll_misses", 100.0, 310.0, True),
    ])
    def test_miss_verdicts(self, tools, kind, base, value, dearer):
        gate = tools[1]
        ratio = value / base if base else float("inf")
        assert gate.Verdict("m: a", value, base, ratio, what=kind).dearer == dearer

    @pytest.mark.parametrize("a,floor,cold,verdict", [
        (1000, 100, 5000, "pass"),
        (1049, 100, 5000, "pass"),  # within 5 %
        (1060, 100, 5000, "dearer"),
        (1060, 106, 5000, "pass"),  # the whole machine runs dearer: the floor rose as much
        (1000, 90, 5000, "pass"),  # a cheaper floor alone is no regression
        (1000, 100, 5300, "dearer"),  # a row without a floor is judged by its count
        (980, 100, 5000, "cheaper"),
        (940, 94, 5000, "pass"),  # cheaper only because the machine is
    ])
    def test_verdicts(self, tools, capsys, a, floor, cold, verdict):
        harness, gate, _, _ = tools
        rc = gate.check([row(harness, "a", a, floor), row(harness, "cold", cold, None)], BASE)
        out = capsys.readouterr().out
        assert rc == (verdict == "dearer")
        dearer = out.split("DEARER than the baseline:")[1].split(":\n")[0] if "DEARER" in out else ""
        cheaper = out.split("cheaper than the baseline:")[1] if "cheaper than the baseline:" in out else ""
        assert ("m: a" in dearer or "m: cold" in dearer) == (verdict == "dearer")
        assert ("m: a" in cheaper) == (verdict == "cheaper")
        largest = max([("m: a", a / 1000 - 1), ("m: cold", cold / 5000 - 1)], key=lambda kv: abs(kv[1]))
        assert f"largest change: {largest[0]} {largest[1]:+.2%}" in out

    @pytest.mark.parametrize("complete", [True, False])
    def test_rows_new_and_missing(self, tools, capsys, complete):
        harness, gate, _, _ = tools
        rc = gate.check([row(harness, "a", 1000), row(harness, "b", 50)], BASE, complete=complete)
        out = capsys.readouterr().out
        assert "not in the baseline:\n  m: b: 50" in out
        assert rc == complete and (("in the baseline but not measured:\n  m: cold" in out) == complete)

    def test_write_and_partial_rewrite(self, tools, tmp_path, capsys):
        harness, gate, _, _ = tools
        path = tmp_path / "baseline.json"
        gate.write(path, [row(harness, "a", 1000.04), row(harness, "cold", 7.0, None)])
        gate.write(path, [row(harness, "a", 900.0, 90.0)], partial=True)
        data = gate.load(path)
        assert data["rows"] == {"m: a": {"instructions": 900.0, "floor": 90.0},
                                "m: cold": {"instructions": 7.0, "floor": None}}
        assert gate.REGENERATE in data["about"]
        with pytest.raises(SystemExit, match="no baseline"):
            gate.load(tmp_path / "absent.json")


class TestCallgrindDumps:
    HEADER = "# callgrind format\nversion: 1\npart: 3\n\ndesc: Trigger: --dump-before=tarvish_bench_mark\n"

    @pytest.mark.parametrize("body,count", [("events: Ir\nsummary: 12345\n\nfn=(1) f\n1 2\ntotals: 12345\n", 12345),
                                            ("events: Ir\ntotals: 77\n", 77)])
    def test_summary(self, tools, tmp_path, body, count):
        path = tmp_path / "cg.1.3"
        path.write_text(self.HEADER + body)
        assert tools[2].read_summary(str(path)) == count

    def test_no_summary(self, tools, tmp_path):
        path = tmp_path / "cg.1.3"
        path.write_text(self.HEADER)
        with pytest.raises(ValueError, match="no summary"):
            tools[2].read_summary(str(path))

    @pytest.mark.parametrize("cost,reps", [(0, 200_000), (1, 200_000), (300, 3334), (999_999, 2), (10**6, 1),
                                           (10**9, 1)])
    def test_repetitions(self, tools, cost, reps):
        assert tools[2].repetitions(cost) == reps

    def test_pinned_environment(self, tools, monkeypatch):
        counting = tools[2]
        monkeypatch.setenv("PYTHONSTARTUP", "/nonexistent")
        env = counting.environment()
        assert env["PYTHONHASHSEED"] == "0" and "PYTHONSTARTUP" not in env
        assert env["GLIBC_TUNABLES"].startswith("glibc.cpu.hwcaps=-AVX,")


class CountingMeasure:
    unit = "instructions"

    def __init__(self):
        self.calls = []

    def per_call(self, fn, args):
        self.calls.append(fn)
        return float(len(self.calls))

    def first_call(self, setup, call):
        return lambda: 42.0


class TestHarness:
    @pytest.mark.parametrize("baselines", [True, False])
    def test_peers(self, tools, baselines):
        harness = tools[0]
        m = CountingMeasure()
        h = harness.Harness("m", measure=m, baselines=baselines)

        def subject(): ...
        def floor(): ...
        def base(): ...
        def other(): ...
        pair = (base, ())
        r = h.bench("op", subject, floor=(floor, ()), baseline=pair,
                    peers={"same": pair, "lib": (other, ()), "absent": None})
        if baselines:
            assert m.calls == [subject, floor, base, other]
            assert r.peers == {"same": 3.0, "lib": 4.0, "absent": None} and r.best_peer == ("same", 3.0)
        else:
            assert m.calls == [subject, floor] and r.baseline is None and r.peers == {}
        h.first_call("cold", "import x", "x.f()", baseline=("import y", "y.f()"))
        harness.resolve(h.rows)
        assert (h.rows[-1].value, h.rows[-1].baseline) == (42.0, 42.0 if baselines else None)

    def test_tables(self, tools):
        harness, _, _, report = tools
        rows = [harness.Row("m", "a", "instructions", 1234.0, floor=100.0, baseline=5000.0,
                            peers={"p": 2468.0, "q": 3000.0}),
                harness.Row("m", "b", "instructions", 10.0, peers={"SortedList": None}),
                harness.Row("m", "c", "instructions", 10.0)]
        text = harness.format_table(rows)
        assert "1,234" in text and "12.34" in text and "4.1x" in text and "0.50" in text
        assert "(SortedList not installed)" in text
        md = report.markdown([harness.Row("m", "a", "ns", 12.5, target_ns=30.0)], rows)
        assert "| m: a | 12.5 | <30 |" in md
        assert "| m: a | 1,234 | - | - | 100 | 12.34 | 5,000 | 4.1x | 2,468 | 0.50 | p |" in md  # no misses counted

    def test_readme_markers(self, tools, tmp_path):
        report = tools[3]
        path = tmp_path / "README.md"
        path.write_text(f"intro\n{report.BEGIN}\nold table\n{report.END}\nrest\n")
        report.update_readme(path, "new table")
        assert path.read_text() == f"intro\n{report.BEGIN}\nnew table\n{report.END}\nrest\n"
        path.write_text("no markers\n")
        with pytest.raises(SystemExit, match="markers"):
            report.update_readme(path, "x")


class TestChart:
    def test_groups(self, tools, tmp_path, capsys):
        harness, report = tools[0], tools[3]
        import plot

        def r(name, value, unit="instructions", **kw):
            return harness.Row("m", name, unit, value, **kw)

        rows = [r("a", 500.0, floor=100.0, baseline=2000.0, peers={"lib": 800.0, "other": 700.0, "gone": None}),
                r("own", 500.0, floor=100.0, baseline=2000.0, peers={"locked py": 2000.0}),  # the baseline itself
                r("alone", 500.0, floor=100.0, peers={"lib": None}),
                r("cold", 9000.0, baseline=8000.0),  # a first call: no floor
                r("timed", 5.0, unit="ns", floor=1.0)]
        assert [(g.name, g.costs, g.peer) for g in plot.groups(rows)] == [
            ("a", (500.0, 100.0, 2000.0, 700.0), "other"),
            ("own", (500.0, 100.0, 2000.0, None), None),
            ("alone", (500.0, 100.0, None, None), None)]
        assert "matplotlib" not in sys.modules  # only drawing needs it
        md = report.markdown([], rows, chart=pathlib.PurePath("benchmarks/chart.svg"))
        assert md.index(f"![{report.CHART_ALT}](benchmarks/chart.svg)") < md.index("**Nanoseconds")
        # --plot --from draws the rows --json printed, as they were.
        import run

        path = tmp_path / "rows.json"
        path.write_text(json.dumps([dataclasses.asdict(x) for x in rows]))
        assert plot.groups(run.load_rows(path)) == plot.groups(rows)
        for argv in (["--from", str(path)], ["--markdown", "--plot", "x.svg", "--from", str(path)]):
            with pytest.raises(SystemExit):
                run.main(argv)
        assert "--from goes with --plot alone" in capsys.readouterr().err


def test_peers_absent_without_their_library(tools, monkeypatch):
    """The runner degrades to "-" where a peer's library is missing (the suite never needs them)."""
    harness = tools[0]
    monkeypatch.setitem(sys.modules, "crcmod", None)
    monkeypatch.setitem(sys.modules, "crcmod.predefined", None)
    loader_spec = importlib.util.spec_from_file_location("bench_quillet_without_crcmod", BENCH / "bench_quillet.py")
    mod = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(mod)
    h = harness.Harness("quillet", measure=CountingMeasure())
    mod.rows(h)
    peers = {r.name: r.peers for r in h.rows if r.peers}
    assert peers == {"FastSlabHeaderOps.pack_header": {"crcmod": None},
                     "FastSlabHeaderOps.unpack_header": {"crcmod": None}}
    assert json.dumps([r.peers for r in h.rows])  # still serialisable for --json
