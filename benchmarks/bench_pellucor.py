import os
import sys
import time

from tarvish import _bench_floor as floor
from tarvish.native import pellucor

NODE_DIR = "/sys/devices/system/node"


def py_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            return max(1, len(os.sched_getaffinity(0)))
        n = os.cpu_count()
        return max(1, int(n)) if n else 1
    except Exception:
        n = os.cpu_count()
        return int(n) if n else 1


def py_numa_nodes():
    try:
        if sys.platform == "linux":
            if os.path.exists(NODE_DIR):
                n = sum(1 for e in os.listdir(NODE_DIR) if e.startswith("node") and e[4:] and e[4:].isdigit())
                return n or 1
        return 1
    except Exception:
        return 1


def py_gpu_backends():
    info = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False, "rocm_available": False,
            "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
    try:
        from tarvish.gpu.sorrel import GPUBackendKind, GPUSorrel
        backends = GPUSorrel.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUSorrel.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            b = backends[best.info.kind]
            info["gpu_count"] = b.device_count
            info["gpu_memory_mb"] = int(b.memory_gb * 1024)
    except Exception:
        pass
    return info


def py_python_version():
    v = sys.version_info
    supported = False
    if v >= (3, 12):
        try:
            import _xxsubinterpreters  # noqa: F401
            supported = True
        except ImportError:
            pass
    return f"{v.major}.{v.minor}.{v.micro}", supported


def py_capabilities():
    caps = {}
    start = time.perf_counter()
    caps["physical_cores"] = py_physical_cores()
    caps["numa_nodes"] = py_numa_nodes()
    caps.update(py_gpu_backends())
    caps["python_version"], caps["subinterpreter_support"] = py_python_version()
    caps["platform"] = sys.platform
    caps["detected_at"] = time.time()
    caps["detector"] = "native"
    caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return caps


def rows(h):
    h.bench("detect_capabilities.warm", pellucor.detect_capabilities, target=3e6, floor=(floor.call, ()),
            baseline=(py_capabilities, ()))
    h.bench("detect_python_version", pellucor.detect_python_version, floor=(floor.call, ()),
            baseline=(py_python_version, ()))
    h.bench("detect_gpu_backends", pellucor.detect_gpu_backends, floor=(floor.call, ()),
            baseline=(py_gpu_backends, ()))
    here = os.path.dirname(os.path.abspath(__file__))
    h.first_call("detect_capabilities.cold", "from tarvish.native import pellucor", "pellucor.detect_capabilities()",
                 target=5e6, baseline=(f"import sys; sys.path.insert(0, {here!r}); import bench_pellucor as b",
                                       "b.py_capabilities()"))
