"""Decision arithmetic of the pool orchestrator."""

import logging
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

_Float = SupportsFloat | SupportsIndex
_Int = SupportsInt | SupportsIndex

logger: logging.Logger

def detect_performance_degradation(
    performance_history: list[Any] | None,
    baseline_performance: _Float,
    threshold: _Float,
    window_start_time: _Float,
) -> bool: ...
def calculate_performance_trend(performance_history: list[Any] | None, window_start_time: _Float) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: list[dict[str, Any]] | None, change_threshold: _Float = 0.3
) -> tuple[bool, float, float, float]: ...
def detect_dominant_pattern(patterns: list[str] | None, window_size: _Int = 5) -> str: ...
def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: _Float,
    recommendation_confidence: _Float,
    current_performance_estimate: _Float,
    trigger_code: _Int,
    min_improvement_ratio: _Float = 1.1,
    min_confidence: _Float = 0.6,
) -> bool: ...
def should_skip_adaptation(last_adaptation_time: _Float, current_time: _Float, min_interval: _Float) -> bool: ...
def detect_memory_pressure(current_usage: _Float, peak_usage: _Float, pressure_threshold: _Float = 0.8) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: _Float, threshold: _Float = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: _Float, memory_pressure: _Float, fragmentation_ratio: _Float, workload_changed: object
) -> float: ...
def score_pool_recommendation(
    workload_fit: _Float, memory_fit: _Float, thread_count_fit: _Float, historical_success_rate: _Float
) -> float: ...
def predict_resource_requirements(
    allocation_history: list[Any] | None, prediction_horizon_seconds: _Float
) -> tuple[int, int, float]: ...
