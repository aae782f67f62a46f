import logging as logging
import re as re
from typing import SupportsFloat, SupportsInt

logger: logging.Logger

def quick_framework_score(code: str | None, framework: str | None) -> float: ...
def calculate_gpu_suitability(
    gpu_operation_score: SupportsFloat,
    gpu_data_size_score: SupportsFloat,
    cpu_intensity: SupportsFloat,
    gpu_available: object,
    compute_capability: str | None,
) -> float: ...
def estimate_gpu_speedup(
    gpu_operation_score: SupportsFloat, gpu_data_size_score: SupportsFloat, gpu_available: object
) -> float: ...
def calculate_parallelization_potential(
    base_parallel_score: SupportsFloat,
    embarrassing_bonus: SupportsFloat,
    sequential_penalty: SupportsFloat,
    loop_chunking_potential: SupportsFloat,
) -> float: ...
def score_indicators(code: str | None, function_name: str | None) -> tuple[int, int, int, int, int, int, int]: ...
def normalize_scores(
    cpu_score: SupportsInt,
    memory_score: SupportsInt,
    parallel_score: SupportsInt,
    gpu_op_score: SupportsInt,
    large_data_score: SupportsInt,
) -> tuple[float, float, float, float, float]: ...
def score_framework_patterns(code: str | None) -> tuple[float, float, float]: ...
def determine_workload_pattern(
    cpu_intensity: SupportsFloat,
    memory_intensity: SupportsFloat,
    parallelization_potential: SupportsFloat,
    gpu_suitability: SupportsFloat,
    gpu_operation_score: SupportsFloat,
    numpy_score: SupportsFloat,
    pandas_score: SupportsFloat,
    sklearn_score: SupportsFloat,
    sequential_count: SupportsInt,
    embarrassing_count: SupportsInt,
    cpu_threshold: SupportsFloat,
    memory_threshold: SupportsFloat,
    gpu_threshold: SupportsFloat,
    numpy_threshold: SupportsFloat,
    pandas_threshold: SupportsFloat,
    sklearn_threshold: SupportsFloat,
    gpu_available: object,
) -> int: ...
def update_adaptive_threshold(
    current_threshold: SupportsFloat,
    success_rate: SupportsFloat,
    learning_rate: SupportsFloat,
    min_threshold: SupportsFloat,
    max_threshold: SupportsFloat,
) -> float: ...
