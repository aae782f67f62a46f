"""Orchestrator decisions: the history walks beside the same work in pure Python."""

from tarvish import _bench_floor as floor
from tarvish.plugins.analyzer.halvard import (
    calculate_performance_trend,
    detect_performance_degradation,
    predict_resource_requirements,
)


def py_degradation(history, baseline, threshold, window_start):
    if not history or baseline <= 0 or len(history) < 5:
        return False
    total, count = 0.0, 0
    for timestamp, metric in history:
        timestamp, metric = float(timestamp), float(metric)
        if timestamp >= window_start:
            total += metric
            count += 1
    if count < 5:
        return False
    return (baseline - total / count) / baseline > threshold


def py_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    kept = [(float(t), float(m)) for t, m in history]
    kept = [(t, m) for t, m in kept if t >= window_start]
    n = len(kept)
    if n < 3:
        return 0.0
    t0 = kept[0][0]
    sx = sy = sxy = sxx = 0.0
    for t, y in kept:
        x = t - t0
        sx += x
        sy += y
        sxy += x * y
        sxx += x * x
    mx, my = sx / n, sy / n
    var_x, cov = sxx - n * (mx * mx), sxy - n * mx * my
    if not abs(var_x) >= 1e-10 or not abs(my) >= 1e-10:
        return 0.0
    return max(-1.0, min(1.0, cov / (my * var_x)))


def py_predict(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    span = float(history[-1][0]) - float(history[0][0])
    if not span > 0:
        return (0, 0, 0.0)
    total = 0.0
    for timestamp, size in history:
        float(timestamp)
        total += float(size)
    count = int(max(-(2**31), min(2**31 - 1, horizon * n / span)))
    size = int(max(-(2**31), min(2**31 - 1, total * count / n)))
    return (count, size, 0.8 if n * 0.01 >= 1.0 else n * 0.008)


def history(n):
    """Timestamps 0.1 s apart with integer metrics, as the orchestrator records them."""
    return [(i * 0.1, 100 - i % 17) for i in range(n)]


def rows(h):
    for n in (100, 10_000):
        hist = history(n)
        h.bench(f"calculate_performance_trend[{n}]", calculate_performance_trend, (hist, 0.0),
                floor=(floor.call, (hist, 0.0)), baseline=(py_trend, (hist, 0.0)))
        args = (hist, 120.0, 0.15, 0.0)
        h.bench(f"detect_performance_degradation[{n}]", detect_performance_degradation, args,
                floor=(floor.call, args), baseline=(py_degradation, args))
        h.bench(f"predict_resource_requirements[{n}]", predict_resource_requirements, (hist, 60.0),
                floor=(floor.call, (hist, 60.0)), baseline=(py_predict, (hist, 60.0)))
