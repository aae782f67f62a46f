import logging as logging
import threading as threading
import time as time
from typing import Any, Dict as Dict, Optional as Optional, Protocol

from typing_extensions import disjoint_base

logger: logging.Logger
_policy_lock: threading.Lock

class _Metrics(Protocol):
    @property
    def call_count(self) -> int: ...
    @property
    def compile_count(self) -> int: ...
    @property
    def avg_speedup(self) -> float: ...

class _Store(Protocol):
    def get_metrics(self, func_id: str | None, /) -> _Metrics: ...

@disjoint_base
class PolicyConfig:
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __new__(
        cls,
        initial_threshold: int = 100,
        min_threshold: int = 10,
        max_threshold: int = 10000,
        learning_rate: float = 0.1,
        target_speedup: float = 2.0,
    ) -> PolicyConfig: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, __pyx_state: Any, /) -> None: ...

@disjoint_base
class FunctionMetrics:
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float
    def __new__(
        cls,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compile_time: float = 0.0,
        last_compiled: float = -1.0,
    ) -> FunctionMetrics: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, __pyx_state: Any, /) -> None: ...

@disjoint_base
class Tessaly:
    def __new__(cls, config: object = None) -> Tessaly: ...
    @property
    def config(self) -> PolicyConfig: ...
    def get_threshold(self, func_id: str | None) -> int: ...
    def should_compile(self, func_id: str | None, telemetry_store: _Store) -> bool: ...
    def update(self, func_id: str | None, telemetry_store: _Store) -> None: ...
    def get_statistics(self) -> dict[str, int | float]: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, __pyx_state: Any, /) -> None: ...

def create_policy_config(
    initial_threshold: int = 100,
    min_threshold: int = 10,
    max_threshold: int = 10000,
    learning_rate: float = 0.1,
    target_speedup: float = 2.0,
) -> PolicyConfig: ...
def create_function_metrics(
    call_count: int = 0,
    compile_count: int = 0,
    avg_speedup: float = 1.0,
    total_execution_time_ms: float = 0.0,
    last_compile_time: float = 0.0,
) -> FunctionMetrics: ...
def get_tessaly() -> Tessaly: ...
def reset_tessaly() -> None: ...
