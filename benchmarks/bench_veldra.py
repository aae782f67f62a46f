import math

from tarvish import _bench_floor as floor
from tarvish.gpu.veldra import compute_chunk_shapes, decide_allocation_strategy, estimate_allocation_bytes

CAP = 2**63 - 1


# The same arithmetic in pure Python.
def py_estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    elements = 1
    for dim in shape:
        d = int(dim)
        if d < 1:
            return 0
        if elements > CAP // d:
            return CAP
        elements *= d
    if element_size >= 1 and elements > CAP // element_size:
        return CAP
    size = elements * element_size
    if overhead_factor > 1.0:
        return min(int(size * overhead_factor), 2**64 - 1)
    return size


def py_safe_limit(available, headroom):
    h = 0.0 if headroom < 0 or headroom != headroom else min(headroom, 0.99)
    a = float(available)
    return min(int(math.fma(-h, a, a)), 2**64 - 1)


def py_decide_allocation_strategy(requested, available, headroom, is_chunkable):
    s = py_safe_limit(available, headroom)
    if s == 0:
        return (2, 0, 1, "No GPU memory available")
    if requested <= s:
        return (0, 0, 1, "Allocation fits in GPU memory")
    if not is_chunkable:
        return (2, 0, 1, "Operation not chunkable, falling back to CPU")
    count = math.ceil(requested / s)
    return (1, s, count, f"Chunking into {count} GPU passes")


def py_compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size < 1:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    rest = shape[1:]
    row = element_size
    for d in rest:
        row = min(row * d, 2**64 - 1)
    per = max_chunk_bytes // row if 0 < row <= max_chunk_bytes else (1 if row else 2**64 - 1)
    rows, out = shape[0], []
    while rows > 0:
        take = min(rows, per)
        out.append((take, *rest))
        rows -= take
    return out


def rows(h):
    shape = (1024, 768, 3)
    h.bench("estimate_allocation_bytes", estimate_allocation_bytes, (shape, 4, 1.2), floor=(floor.int_call, (4,)),
            baseline=(py_estimate_allocation_bytes, (shape, 4, 1.2)))
    args = (12_000_000_000, 8_000_000_000, 0.2, True)
    h.bench("decide_allocation_strategy (chunked)", decide_allocation_strategy, args, floor=(floor.call, args),
            baseline=(py_decide_allocation_strategy, args))
    args = (1_000, 8_000_000_000, 0.2, True)
    h.bench("decide_allocation_strategy (fits)", decide_allocation_strategy, args, floor=(floor.call, args),
            baseline=(py_decide_allocation_strategy, args))
    args = ((10_000, 512), 4, 2**20)  # 20 chunks
    h.bench("compute_chunk_shapes (20 chunks)", compute_chunk_shapes, args, floor=(floor.call, args),
            baseline=(py_compute_chunk_shapes, args))
