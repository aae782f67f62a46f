"""Capability detection with the platform faked through the module's own
os/sys/time bindings, the GPU registry through sys.modules and the GPU tool
through an executable on PATH."""

import collections
import enum
import inspect
import math
import os
import sys
import threading
import time
import types
from types import SimpleNamespace as NS

import pytest

from support import Env, EnvFault, each_step_failing, hostile, outcome
import tarvish.native.pellucor as pellucor

FUNCS = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
         "detect_capabilities"]
GPU = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False, "rocm_available": False,
       "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
CAPS_KEYS = ["physical_cores", "numa_nodes", *GPU, "python_version", "subinterpreter_support", "platform",
             "detected_at", "detector", "detection_time_ms"]
NODE_DIR = "/sys/devices/system/node"
VI = collections.namedtuple("VI", "major minor micro releaselevel serial")
Kind = enum.Enum("Kind", {"CUDA": "cuda", "ROCm": "rocm", "oneAPI": "oneapi", "CPU": "cpu"})


HostileNe, HostileInt = hostile("ne", name="HostileNe"), hostile("int", name="HostileInt")


class Unprintable(Exception):
    def __str__(self):
        raise LookupError("no text")


UNPACK = [lambda: (1, 2, 3), lambda: [1], lambda: iter([1, 2, 3]), lambda: 5, lambda: {1: 1, 2: 2, 3: 3},
          lambda: "abc", lambda: ()]


def unpack_message(make):
    """The interpreter's own message for `a, b = make()`."""
    try:
        a, b = make()
    except (TypeError, ValueError) as e:
        return str(e)


def raiser(exc):
    def f(*a, **k):
        raise exc.with_traceback(None)  # a traceback kept from the last raise would grow with every run
    return f


def fake_os(affinity=None, cpu_count=None, exists=True, entries=(), listdir=None):
    ns = NS(cpu_count=lambda: cpu_count, path=NS(exists=lambda p: p == NODE_DIR and exists),
            listdir=listdir or (lambda p: list(entries) if p == NODE_DIR else []))
    if affinity is not None:
        ns.sched_getaffinity = affinity if callable(affinity) else (lambda pid: set(affinity) if pid == 0 else None)
    return ns


def registry(mp, available=(Kind.CPU,), best=Kind.CPU, version="12.4", memory_gb=0.5, best_obj=None, **methods):
    backends = {k: NS(device_count=2, memory_gb=memory_gb) for k in available}
    best_obj = best_obj or NS(info=NS(kind=best, version=version))
    methods = {"detect_available_backends": lambda c: backends, "get_best_available": lambda c: best_obj, **methods}
    mod = types.ModuleType("tarvish.gpu.sorrel")
    mod.GPUBackendKind, mod.GPUSorrel = Kind, type("GPUSorrel", (), {k: classmethod(f) for k, f in methods.items()})
    mp.setitem(sys.modules, "tarvish.gpu.sorrel", mod)
    return mod


def windows(mp, ok=1, fail=None):
    """A Windows platform: sys.platform "win32" and a ctypes whose kernel call
    gives `ok` (highest node 3), or whose WinDLL raises `fail`. Returns what
    the call saw."""
    seen = {}
    seen["fn"] = fn = type("Fn", (), {"__call__": lambda self, ref: seen.setdefault("ref", ref) and ok})()
    c_ulong = type("c_ulong", (), {"__init__": lambda self: setattr(self, "value", 3)})
    wintypes = types.ModuleType("ctypes.wintypes")
    wintypes.BOOL = "BOOL"
    ctypes = types.ModuleType("ctypes")
    ctypes.__dict__.update(c_ulong=c_ulong, POINTER=lambda t: ("ptr", t), byref=lambda o: ("ref", o),
                           WinDLL=lambda *a, **k: raiser(fail)() if fail else seen.setdefault(
                               "dll", (a, k)) and NS(GetNumaHighestNodeNumber=fn))
    mp.setitem(sys.modules, "ctypes", ctypes)
    mp.setitem(sys.modules, "ctypes.wintypes", wintypes)
    mp.setattr(pellucor, "sys", NS(platform="win32", version_info=sys.version_info))
    return seen


@pytest.fixture
def tool(monkeypatch, tmp_path):
    """Only tmp_path on PATH; tool(body) writes an nvidia-smi shell script there."""
    monkeypatch.setenv("PATH", str(tmp_path))

    def write(body):
        (tmp_path / "nvidia-smi").write_text("#!/bin/sh\n" + body + "\n")
        (tmp_path / "nvidia-smi").chmod(0o755)
    return write


class TestBinding:
    def test_module_frame(self):
        names = list(vars(pellucor))
        assert names[names.index("sys"):] == ["sys", "os", "time", *FUNCS]
        assert (pellucor.sys, pellucor.os, pellucor.time) == (sys, os, time) and not hasattr(pellucor, "logger")
        assert all(inspect.signature(getattr(pellucor, n)) == inspect.Signature() for n in FUNCS)


@pytest.mark.thread_unsafe
class TestSemantics:
    @pytest.mark.parametrize("os_kw, expected", [
        ({"affinity": {0}, "cpu_count": 64}, 1), ({"affinity": set(), "cpu_count": 64}, 1),
        ({"affinity": range(8)}, 8), ({"cpu_count": None}, 1), ({"cpu_count": 0}, 1), ({"cpu_count": 6}, 6),
        ({"cpu_count": -3}, 1), ({"cpu_count": 3.9}, 3), ({"cpu_count": True}, 1), ({"cpu_count": math.nan}, 1),
        ({"affinity": raiser(OSError()), "cpu_count": 4}, 4), ({"affinity": raiser(OSError()), "cpu_count": None}, 1),
        ({"affinity": raiser(OSError()), "cpu_count": -2}, -2),  # the fallback has no max(1, ...)
    ])
    def test_physical_cores(self, monkeypatch, os_kw, expected):
        monkeypatch.setattr(pellucor, "os", fake_os(**os_kw))
        assert pellucor.detect_physical_cores() == expected

    @pytest.mark.parametrize("platform, os_ns, expected", [
        ("linux", fake_os(entries=["node0", "node1", "possible", "online", "has_cpu"]), 2),
        ("linux", fake_os(entries=[f"node{i}" for i in range(13)] + ["node", "nodeX", "node1a", "Node3", "nXde1",
                                                                     "noXe1", "nodX1", "node-1"]), 13),
        # Entries that are no str answer through their own methods, and may fail there.
        ("linux", fake_os(entries=["node0", hostile("getitem", base=str, __hash__=str.__hash__)("node1")]), 1),
        ("linux", fake_os(entries=["node0", type("Short", (str,), {"__getitem__": lambda self, i: ""})("node1")]), 1),
        ("linux", fake_os(entries=["node\u0663", "node\u00b2", "node\u00bd", type("S", (str,), {})("node7")]), 3),
        ("linux", fake_os(entries=["possible", "online"]), 1),
        ("linux", fake_os(exists=False, entries=["node0", "node1"]), 1),
        ("linux", fake_os(listdir=raiser(PermissionError())), 1),
        ("linux", fake_os(entries=[b"node0", b"node1"]), 1),
        ("darwin", None, 1), ("Linux", None, 1), ("freebsd", None, 1),
    ])
    def test_numa_nodes(self, monkeypatch, platform, os_ns, expected):
        monkeypatch.setattr(pellucor, "sys", NS(platform=platform))
        monkeypatch.setattr(pellucor, "os", os_ns)
        assert pellucor.detect_numa_nodes() == expected

    @pytest.mark.parametrize("ok, fail, expected", [(1, None, 4), (0, None, 1), (1, OSError("no dll"), 1)])
    def test_numa_nodes_windows(self, monkeypatch, ok, fail, expected):
        seen = windows(monkeypatch, ok, fail)
        assert pellucor.detect_numa_nodes() == expected
        if not fail:
            fn, c_ulong = seen["fn"], sys.modules["ctypes"].c_ulong
            assert seen["dll"] == (("kernel32",), {"use_last_error": True}) and fn.restype == "BOOL"
            assert fn.argtypes == [("ptr", c_ulong)] and type(seen["ref"][1]) is c_ulong

    def test_stand_in_registry(self, tool):
        assert list(pellucor.detect_gpu_backends().items()) == list(GPU.items())

    @pytest.mark.parametrize("available, best, memory_gb, changed", [
        ([Kind.CUDA, Kind.oneAPI, Kind.CPU], Kind.CUDA, 0.5, {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 512,
         "cuda_available": True, "oneapi_available": True, "active_backend": "cuda", "backend_version": "12.4"}),
        ([Kind.ROCm], Kind.ROCm, 0.3, {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 307,
         "rocm_available": True, "active_backend": "rocm", "backend_version": "12.4"}),
        ([Kind.CUDA, Kind.ROCm], Kind.CPU, 0.5, {"cuda_available": True, "rocm_available": True,
                                                 "backend_version": "12.4"}),
        ([Kind.CPU], Kind.oneAPI, 0.5, {"has_gpu": True, "active_backend": "oneapi", "backend_version": "12.4"}),
    ])
    def test_gpu_registry(self, monkeypatch, tool, available, best, memory_gb, changed):
        registry(monkeypatch, available, best, memory_gb=memory_gb)
        assert list(pellucor.detect_gpu_backends().items()) == list({**GPU, **changed}.items())

    @pytest.mark.parametrize("setup, kept", [
        (lambda mp: mp.setitem(sys.modules, "tarvish.gpu.sorrel", None), {}),
        (lambda mp: delattr(registry(mp), "GPUSorrel"), {}),
        (lambda mp: registry(mp, detect_available_backends=raiser(OSError())), {}),
        (lambda mp: registry(mp, [Kind.CUDA], get_best_available=raiser(ValueError())), {"cuda_available": True}),
        (lambda mp: registry(mp, [Kind.CUDA], best_obj=NS(info=NS(kind=Kind.CUDA))),
         {"cuda_available": True, "active_backend": "cuda"}),
        (lambda mp: registry(mp, [Kind.CUDA], best_obj=NS(info=NS(kind=NS(value=HostileNe()), version=1))),
         {"cuda_available": True, "active_backend": HostileNe, "backend_version": 1}),
        (lambda mp: registry(mp, [Kind.CUDA], Kind.CUDA, memory_gb=math.nan), {"has_gpu": True, "gpu_count": 2,
         "cuda_available": True, "active_backend": "cuda", "backend_version": "12.4"}),
    ])
    def test_gpu_registry_failures_keep_partial_values(self, monkeypatch, tool, setup, kept):
        setup(monkeypatch)
        info = pellucor.detect_gpu_backends()
        expected = {**GPU, **kept}
        if kept.get("active_backend") is HostileNe:
            expected["active_backend"] = info["active_backend"]
        assert list(info.items()) == list(expected.items())

    @pytest.mark.parametrize("script, has_gpu, count", [
        ("printf 'GPU A\\nGPU B\\n\\n'", True, 2), ("printf 'GPU A\\n   \\n\\377\\376GPU B\\n'", True, 2),
        ("printf 'GPU A\\n'; exit 3", False, 0), ("exit 0", False, 0), ("exec /bin/sleep 5", False, 0),
    ])
    def test_gpu_tool_fallback(self, monkeypatch, tool, script, has_gpu, count):
        monkeypatch.setitem(sys.modules, "tarvish.gpu.sorrel", None)
        tool(script)
        assert pellucor.detect_gpu_backends() == {**GPU, "has_gpu": has_gpu, "gpu_count": count}

    def test_gpu_tool_invocation_and_registry_import_per_call(self, monkeypatch):
        seen = []
        run = lambda *a, **k: seen.append((a, list(k.items()))) or NS(returncode=0, stdout=b"x\n")  # noqa: E731
        monkeypatch.setitem(sys.modules, "subprocess", NS(run=run))
        monkeypatch.setitem(sys.modules, "tarvish.gpu.sorrel", None)
        assert pellucor.detect_gpu_backends()["gpu_count"] == 1
        assert seen == [((["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],),
                         [("capture_output", True), ("timeout", 0.5), ("check", False)])]
        registry(monkeypatch, [Kind.CUDA], Kind.CUDA)
        assert pellucor.detect_gpu_backends()["gpu_memory_mb"] == 512 and len(seen) == 1

    @pytest.mark.parametrize("vi, module, expected", [
        (VI(3, 11, 9, "final", 0), types.ModuleType("_xxsubinterpreters"), ("3.11.9", False)),
        (VI(3, 12, 0, "final", 0), types.ModuleType("_xxsubinterpreters"), ("3.12.0", True)),
        (VI(3, 13, 1, "final", 0), None, ("3.13.1", False)),
        (sys.version_info, "absent", (".".join(map(str, sys.version_info[:3])), False)),
    ])
    def test_python_version(self, monkeypatch, vi, module, expected):
        monkeypatch.setattr(pellucor, "sys", NS(version_info=vi))
        if module != "absent":
            monkeypatch.setitem(sys.modules, "_xxsubinterpreters", module)
        assert pellucor.detect_python_version() == expected

    def test_capabilities(self):
        before, caps = time.time(), pellucor.detect_capabilities()
        assert list(caps) == CAPS_KEYS and [type(v) for v in caps.values()] == [
            int, int, bool, int, int, bool, bool, bool, str, str, str, bool, str, float, str, float]
        assert [caps[k] for k in CAPS_KEYS[:-3]] == [
            pellucor.detect_physical_cores(), pellucor.detect_numa_nodes(), *pellucor.detect_gpu_backends().values(),
            *pellucor.detect_python_version(), sys.platform]
        assert caps["detector"] == "native" and before <= caps["detected_at"] <= time.time()

    def test_capabilities_rebound_detectors_and_clock(self, monkeypatch):
        clock = iter([10.0, 10.25])
        monkeypatch.setattr(pellucor, "time", NS(perf_counter=lambda: next(clock), time=lambda: 123.5))
        for name, value in [("detect_physical_cores", 42), ("detect_numa_nodes", 7),
                            ("detect_gpu_backends", {**GPU, "gpu_count": 9, "x": 1}),
                            ("detect_python_version", ["9.9.9", "yes"]), ("sys", NS(platform="plan9"))]:
            monkeypatch.setattr(pellucor, name, (lambda v=value: v) if name != "sys" else value)
        assert list(pellucor.detect_capabilities().items()) == list({
            "physical_cores": 42, "numa_nodes": 7, **GPU, "gpu_count": 9, "python_version": "9.9.9",
            "subinterpreter_support": "yes", "platform": "plan9", "detected_at": 123.5, "detector": "native",
            "detection_time_ms": 250.0}.items())

    @pytest.mark.parametrize("cpu_count, cores", [(None, 1), (0, 1), (12, 12)])
    def test_capabilities_fallback(self, monkeypatch, cpu_count, cores):
        clock = iter([1.0, 1.5])
        monkeypatch.setattr(pellucor, "time", NS(perf_counter=lambda: next(clock), time=lambda: 77.0))
        monkeypatch.setattr(pellucor, "os", NS(cpu_count=lambda: cpu_count))
        monkeypatch.setattr(pellucor, "sys", NS(platform="linux", version_info=VI(3, 14, 2, "final", 0)))
        monkeypatch.setattr(pellucor, "detect_physical_cores", raiser(RuntimeError("cores broke")))
        assert list(pellucor.detect_capabilities().items()) == list({
            "physical_cores": cores, "numa_nodes": 1, **GPU, "python_version": "3.14",
            "subinterpreter_support": False, "platform": "linux", "detected_at": 77.0,
            "detector": "native_fallback", "error": "cores broke", "detection_time_ms": 500.0}.items())

    @pytest.mark.parametrize("name, value, expected", [
        *[("detect_python_version", m, unpack_message(m)) for m in UNPACK],
        ("detect_gpu_backends", lambda: {"has_gpu": False}, "'gpu_count'"),
        ("detect_gpu_backends", lambda: None, "'NoneType' object is not subscriptable"),
        ("detect_numa_nodes", None, "name 'detect_numa_nodes' is not defined"),
    ])
    def test_capabilities_error_text(self, monkeypatch, name, value, expected):
        (monkeypatch.setattr(pellucor, name, value) if value else monkeypatch.delattr(pellucor, name))
        caps = pellucor.detect_capabilities()
        assert (caps["detector"], caps["error"]) == ("native_fallback", expected)


@pytest.mark.thread_unsafe
class TestErrors:
    # `chained`: a handler's own failure carries the exception it was handling as __context__
    @pytest.mark.parametrize("fn, patch, exc, message, chained", [
        ("detect_physical_cores", {"os": fake_os(affinity=raiser(OSError()), cpu_count=HostileInt())},
         ZeroDivisionError, "hostile __int__", True),
        ("detect_physical_cores", {"os": fake_os(cpu_count=2**40)}, OverflowError,
         "value too large to convert to int", True),
        ("detect_physical_cores", {"os": fake_os(cpu_count="4")}, TypeError, "an integer is required", True),
        ("detect_physical_cores", {"os": fake_os(affinity=raiser(KeyboardInterrupt()))}, KeyboardInterrupt, "",
         False),
        ("detect_numa_nodes", {"sys": NS(platform="linux"), "os": fake_os(listdir=raiser(KeyboardInterrupt()))},
         KeyboardInterrupt, "", False),
        ("detect_gpu_backends", {"subprocess": NS(run=raiser(KeyboardInterrupt()))}, KeyboardInterrupt, "", True),
        ("detect_capabilities", {"detect_physical_cores": raiser(KeyboardInterrupt())}, KeyboardInterrupt, "",
         False),
        ("detect_capabilities", {"time": NS(perf_counter=raiser(RuntimeError("clock")))}, RuntimeError, "clock",
         False),
        ("detect_capabilities", {"detect_physical_cores": lambda: 1, "detect_numa_nodes": raiser(ValueError()),
                                 "os": NS(cpu_count=raiser(OSError("count")))}, OSError, "count", True),
        ("detect_capabilities", {"detect_numa_nodes": raiser(Unprintable())}, LookupError, "no text", True),
        ("detect_capabilities", {"sys": NS(version_info=sys.version_info)}, AttributeError, "platform", True),
    ])
    def test_propagation(self, monkeypatch, fn, patch, exc, message, chained):
        for name, value in patch.items():
            if name == "subprocess":
                monkeypatch.setitem(sys.modules, "tarvish.gpu.sorrel", None)
                monkeypatch.setitem(sys.modules, "subprocess", value)
            else:
                monkeypatch.setattr(pellucor, name, value)
        with pytest.raises(exc) as info:
            getattr(pellucor, fn)()
        assert message in str(info.value) and (info.value.__context__ is not None) == chained

    def test_registry_interrupt_skips_the_tool(self, monkeypatch):
        registry(monkeypatch, detect_available_backends=raiser(KeyboardInterrupt()))
        monkeypatch.setitem(sys.modules, "subprocess", None)
        with pytest.raises(KeyboardInterrupt):
            pellucor.detect_gpu_backends()

    def test_probe_errors_other_than_import_propagate(self, monkeypatch):
        finder = NS(find_spec=lambda n, *a: raiser(RuntimeError("finder"))() if n == "_xxsubinterpreters" else None)
        monkeypatch.setattr(sys, "meta_path", [finder, *sys.meta_path])
        with pytest.raises(RuntimeError, match="finder"):
            pellucor.detect_python_version()
        assert pellucor.detect_capabilities()["error"] == "finder"

    @pytest.mark.parametrize("fn, fail", [("detect_gpu_backends", False), ("detect_gpu_backends", True),
                                          ("detect_capabilities", False), ("detect_capabilities", True)])
    def test_refcounts(self, monkeypatch, tool, fn, fail):
        token = object()
        registry(monkeypatch, [Kind.CUDA], Kind.CUDA, version=token, memory_gb="bad" if fail else 1)
        if fail:
            monkeypatch.setattr(pellucor, "detect_numa_nodes", raiser(ValueError()))
        getattr(pellucor, fn)()
        before = sys.getrefcount(token)
        for _ in range(20):
            assert (getattr(pellucor, fn)().get("backend_version") is token) != (fail and fn != "detect_gpu_backends")
        assert sys.getrefcount(token) == before


# Platforms for the step sweep, each put in place through a monkeypatch.
PLATFORMS = {
    "linux": lambda mp: (mp.setattr(pellucor, "os", fake_os({0, 1}, 2, entries=["node0", "node1", "online"])),
                         mp.setattr(pellucor, "sys", NS(platform="linux", version_info=sys.version_info))),
    "windows": windows,
    "registry": lambda mp: registry(mp, [Kind.CUDA, Kind.oneAPI], Kind.CUDA),
    "tool": lambda mp: (mp.setitem(sys.modules, "tarvish.gpu.sorrel", None), mp.setitem(
        sys.modules, "subprocess", NS(run=lambda *a, **k: NS(returncode=0, stdout=b"GPU A\nGPU B\n")))),
}
ENVIRONMENT = ("ctypes", "ctypes.wintypes", "tarvish.gpu.sorrel", "subprocess")


@pytest.mark.thread_unsafe
@pytest.mark.parametrize("platform", PLATFORMS)
def test_each_step_on_the_platform_failing(monkeypatch, platform):
    """Every attribute read and call the detectors make on their platform (the
    module's os, sys and time, the modules they import, what those give out),
    raising in turn, then hostile: each detector ends in a result or in the
    error raised, never a crash or a SystemError."""
    def run(steps):
        with monkeypatch.context() as mp:
            PLATFORMS[platform](mp)
            for name in ("os", "sys", "time"):
                mp.setattr(pellucor, name, Env(getattr(pellucor, name), name, steps))
            for name in ENVIRONMENT:
                if sys.modules.get(name) is not None:
                    mp.setitem(sys.modules, name, Env(sys.modules[name], name, steps))
            detect_all()

    def detect_all():
        for f in FUNCS:
            e = outcome(getattr(pellucor, f))
            assert not isinstance(e, Exception) or isinstance(
                e, (EnvFault, ZeroDivisionError, TypeError, ValueError, AttributeError, NameError)), (f, e)

    each_step_failing(run)
    for name in ("os", "sys", "time"):  # and each of the module's own bindings gone
        with monkeypatch.context() as mp:
            PLATFORMS[platform](mp)
            mp.delattr(pellucor, name)
            detect_all()


@pytest.mark.threads
class TestConcurrency:
    def test_threads_detect_independently(self):
        results = []
        threads = [threading.Thread(target=lambda: results.extend(pellucor.detect_capabilities() for _ in range(25)))
                   for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(results) == 100 and all(list(r) == CAPS_KEYS and r["detector"] == "native" for r in results)
