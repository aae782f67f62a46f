"""GPU memory planning: sizes, safe limits, strategies, chunking, scores."""

import math
import sys

import pytest
from support import run_python

import tarvish.gpu.veldra as veldra
from tarvish.gpu.veldra import (calculate_memory_pressure, calculate_optimal_chunks, calculate_safe_limit,
                                compute_chunk_shapes, decide_allocation_strategy, estimate_allocation_bytes,
                                is_chunkable_operation, is_oom_error, recommend_headroom, score_gpu_suitability)

CAP, U64_MAX, I32_MAX = 2**63 - 1, 2**64 - 1, 2**31 - 1
CHUNKABLE = ["zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
             "random.standard_normal", "random.uniform", "arange", "linspace"]
NON_CHUNKABLE = ["matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort",
                 "argsort"]


def limit(available, h):
    """The safe limit computed independently: clamp, one fused rounding, truncate, saturate,
    never above the available bytes."""
    h = 0.0 if h < 0 or h != h else min(h, 0.99)
    return min(int(math.fma(-h, float(available), float(available))), U64_MAX, available)


def saturate(x):
    return 0 if not x > 0 else min(int(x), U64_MAX)


class TestBinding:
    def test_module_surface_and_load_line(self):
        names = {n for n in dir(veldra) if not n.startswith("__")}
        assert names == {"estimate_allocation_bytes", "calculate_safe_limit", "decide_allocation_strategy",
                         "compute_chunk_shapes", "calculate_optimal_chunks", "is_oom_error", "is_chunkable_operation",
                         "score_gpu_suitability", "calculate_memory_pressure", "recommend_headroom", "logging",
                         "logger"}
        assert veldra.logger.name == "tarvish.gpu.veldra"
        out = run_python("import logging; logging.basicConfig(level=logging.INFO, "
                         "format='%(name)s %(levelname)s %(message)s'); import tarvish.gpu.veldra")
        assert out.stderr == "tarvish.gpu.veldra INFO Tarvish Veldra Cython module loaded - IP protected\n"

    def test_keywords_and_defaults(self):
        assert estimate_allocation_bytes(shape=(2, 3), element_size=4, overhead_factor=2.0) == 48
        assert calculate_optimal_chunks(total_bytes=10**6, available_bytes=1000, headroom_ratio=0.2) == 1000
        assert recommend_headroom(current_pressure=0.5) == 0.5


class TestSemantics:
    @pytest.mark.parametrize("available, h", [(1000, 0.2), (1000, -1.0), (1000, 5.0), (0, 0.1), (1000, 0.9),  # 99; 100 unfused
                                              (10, 0.9), (2**53 + 2, 0.1), (2**63 + 12345, 0.33), (U64_MAX, 0.0),
                                              (U64_MAX, 0.5), (1000, math.nan), (1000, math.inf), (7, -0.0)])
    def test_safe_limit_is_fused(self, available, h):
        assert calculate_safe_limit(available, h) == limit(available, h)

    @pytest.mark.parametrize("available", [2**64 - 2, 2**64 - 1000, 2**64 - 1024, 2**63 + 1025, 2**53 + 3])
    @pytest.mark.parametrize("h", [0.0, 1e-17, math.nan])
    def test_safe_limit_never_exceeds_available(self, available, h):
        # Each size rounds up when it becomes a double (the first three to 2^64), and a
        # headroom too small to show would otherwise leave the limit above the size.
        assert float(available) > available and calculate_safe_limit(available, h) == available
        assert calculate_safe_limit(available, 0.5) == int(float(available) * 0.5)
        assert decide_allocation_strategy(available + 1, available, h, False)[0] == 2

    @pytest.mark.parametrize("shape, size, factor, want", [
        ((10, 10), 4, 1.0, 400), ((10, 10), 4, 1.5, 600), ((10, 10), 4, 0.5, 400), ((), 4, 1.0, 4),
        ((10, 0), 4, 1.0, 0), ((5, -3, "never converted"), 4, 1.0, 0), ((10, 10), 0, 9.0, 0),
        ((2147483647, 2147483647, 4), 8, 1.0, CAP), ((2147483647, 2147483647), 2, 1.0, 2 * (2**31 - 1) ** 2),
        ((2147483647, 2147483647), 3, 1.0, CAP), ((2.9, 3), 1, 1.0, 6), ((True, 7), 1, 1.0, 7),
        ((2**31 - 1,) * 2, 2, 3.0, U64_MAX), ((1000,), 8, math.inf, U64_MAX), ((0,), 8, math.inf, 0),
        ((10,), 1, math.nan, 10), ((3, 7), 1, 1.1, saturate(21 * 1.1)), ((2**31 - 1,) * 2, 1, 1.7, saturate(float((2**31 - 1) ** 2) * 1.7)),
    ])
    def test_estimate(self, shape, size, factor, want):
        assert estimate_allocation_bytes(shape, size, factor) == want

    def test_decisions(self):
        assert [calculate_safe_limit(1000, h) for h in (0.2, -1.0, 5.0, 0.9)] == [800, 1000, 10, 99]
        fits = decide_allocation_strategy(500, 1000, 0.2, False)
        assert fits == (0, 0, 1, "Allocation fits in GPU memory") and decide_allocation_strategy(800, 1000, 0.2, 0) is fits
        assert decide_allocation_strategy(2000, 1000, 0.2, True) == (1, 800, 3, "Chunking into 3 GPU passes")
        assert decide_allocation_strategy(2000, 1000, 0.2, []) == (2, 0, 1, "Operation not chunkable, falling back to CPU")
        assert decide_allocation_strategy(0, 0, 0.5, True) == (2, 0, 1, "No GPU memory available")
        assert decide_allocation_strategy(1, 10, 0.9, True)[3] == "No GPU memory available"  # fused limit is 0
        assert decide_allocation_strategy(U64_MAX, 1, 0.0, "yes") == (1, 1, U64_MAX, f"Chunking into {U64_MAX} GPU passes")
        assert decide_allocation_strategy(U64_MAX, U64_MAX, 0.0, False)[0] == 0

    def test_chunk_shapes(self):
        assert compute_chunk_shapes((10, 4), 8, 100) == [(3, 4), (3, 4), (3, 4), (1, 4)]
        assert compute_chunk_shapes((5,), 4, 8) == [(2,), (2,), (1,)]
        assert compute_chunk_shapes((3, 100), 8, 10) == [(1, 100)] * 3
        empty = ()
        assert compute_chunk_shapes(empty, 8, 10)[0] is empty and compute_chunk_shapes((0, 5), 8, 100) == []
        assert compute_chunk_shapes((-4,), 8, 100) == [] and compute_chunk_shapes((10**9,), 4, 16 * 2**30) == [(10**9,)]
        assert compute_chunk_shapes((I32_MAX,), 1, U64_MAX) == [(I32_MAX,)]
        dim = int("1" * 9)  # later dimensions are the very objects of the shape
        assert all(c[1] is dim for c in compute_chunk_shapes((4, dim), 1, 1))

    def test_chunk_row_size_zero_is_one_chunk_and_product_saturates(self):
        assert compute_chunk_shapes((10, 0), 8, 1) == [(10, 0)]
        assert compute_chunk_shapes((2, 3, 0, 5), 8, 1) == [(2, 3, 0, 5)]
        # A row of 2^64 bytes or more (wrapping would call it 0 or 2^32) makes one-row chunks.
        assert compute_chunk_shapes((3, 2**32, 2**32), 1, 100) == [(1, 2**32, 2**32)] * 3
        assert compute_chunk_shapes((2, 2**32, 2**32 + 1), 1, 2**33) == [(1, 2**32, 2**32 + 1)] * 2

    @pytest.mark.parametrize("args, want", [
        ((10000, 1000, 0.2), 13), ((10000, 1000, 0.2, 1, 10), 10), ((10000, 1000, 0.2, 20), 20),
        ((10000, 0, 0.2), 1000), ((0, 1000, 0.2), 1), ((10000, 0, 0.2, 1, -7), -7), ((5, 1000, 0.2, 9, 3), 9),
        ((U64_MAX, 1, 0.0, 1, I32_MAX), I32_MAX), ((2**40, 1, 0.0, -5, 2**31 - 1), I32_MAX), ((801, 1000, 0.2), 2),
    ])
    def test_optimal_chunks(self, args, want):
        assert calculate_optimal_chunks(*args) == want

    def test_names_and_scores(self):
        assert all(is_chunkable_operation(n) for n in CHUNKABLE)
        assert not any(is_chunkable_operation(n) for n in NON_CHUNKABLE + ["Zeros", "zeros ", None, ""])
        assert score_gpu_suitability(800, "zeros", 1000, 0.2) == 0.9
        assert score_gpu_suitability(400, "matmul", 1000, 0.2) == 0.4375
        assert score_gpu_suitability(1600, "unknown", 1000, 0.2) == 0.25
        assert score_gpu_suitability(0, "fft", 1000, 0.2) == 0.0 == score_gpu_suitability(5, None, 0, 0.2)
        s = limit(12345, 0.3)
        assert score_gpu_suitability(6000, "sort", 12345, 0.3) == 0.7 * (6000 / (s * 0.8))
        assert score_gpu_suitability(9999, None, 12345, 0.3) == 0.5 * (s / 9999)

    @pytest.mark.parametrize("p, b, want", [
        (0.9, 0.5, 0.8), (0.8, 0.5, 0.65), (0.7, 0.5, 0.6), (0.6, 0.5, 0.5), (0.3, 0.5, 0.4), (0.2, 0.35, 0.3),
        (0.5, 0.9, 0.8), (0.5, 0.1, 0.3), (0.61, 0.5, (0.61 * 0.5 - 0.25) + 0.5), (math.nan, 0.6, 0.5),
        (0.5, math.nan, 0.8), (0.1, math.nan, 0.8), (math.inf, 0.0, 0.8), (-math.inf, 0.7, 0.6),
    ])
    def test_headroom_and_pressure(self, p, b, want):
        assert recommend_headroom(p, b) == want
        assert [calculate_memory_pressure(*a) for a in ((50, 200), (300, 200), (0, 0), (1, U64_MAX))] == [
            0.25, 1.0, 1.0, 1 / 2**64]

    @pytest.mark.parametrize("message, kind, want", [
        ("anything", "torch.cuda.OutOfMemoryError", True), ("CUDA OUT OF MEMORY", "", True),
        ("Failed to allocate 2 GiB", "RuntimeError", True), ("GPU memory exhausted", "", True),
        ("cuda error: memory", "", True), ("Insufficient memory on device", "", True),
        ("cudaMalloc failed: error 2", "RuntimeError", False), ("driver error", "RuntimeError", False),
        ("allocation ok", "", False), ("gpu busy", "MemoryWarning", False),
    ])
    def test_oom(self, message, kind, want):
        assert is_oom_error(message, kind) is want


ERRORS = [
    (lambda: estimate_allocation_bytes(None, 4), TypeError, "object of type 'NoneType' has no len()"),
    (lambda: estimate_allocation_bytes((1,), -1), ValueError, "element_size must not be negative"),
    (lambda: compute_chunk_shapes(None, 0, 0), ValueError, "element_size must be positive"),
    (lambda: compute_chunk_shapes(None, 4, 0), ValueError, "max_chunk_bytes must be positive"),
    (lambda: compute_chunk_shapes(None, 4, 1), TypeError, "object of type 'NoneType' has no len()"),
    (lambda: compute_chunk_shapes((2**31, -1), 4, 1), OverflowError, "can't convert negative value to uint64_t"),
    (lambda: is_oom_error(None, "x"), TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"),
    (lambda: is_oom_error("out of memory", None), TypeError,
     "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"),
]


class TestErrors:
    @pytest.mark.parametrize("call, exc, message", ERRORS)
    def test_messages(self, call, exc, message):
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message

    @pytest.mark.thread_unsafe
    def test_refcounts(self):
        shape = (6, int("1" * 9))
        dim, bad = shape[1], (6, shape[1], -1)
        before = sys.getrefcount(dim), sys.getrefcount(shape)
        chunks = compute_chunk_shapes(shape, 1, 1)
        assert sys.getrefcount(dim) == before[0] + 6
        del chunks
        for _ in range(50):
            with pytest.raises(OverflowError):
                compute_chunk_shapes(bad, 1, 1)
            estimate_allocation_bytes(shape, 8), decide_allocation_strategy(dim, 100, 0.1, True)
        assert (sys.getrefcount(dim), sys.getrefcount(shape)) == before
