from typing import Dict, Optional

__all__ = ["FunctionRecord", "TelemetryStore"]

class FunctionRecord:
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    def __init__(
        self,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compiled: float = 0.0,
    ) -> None: ...
    @property
    def last_compile_time(self) -> float: ...
    def copy(self) -> FunctionRecord: ...

class TelemetryStore:
    _records: Dict[Optional[str], FunctionRecord]
    def __init__(self) -> None: ...
    def record_call(self, func_id: Optional[str], execution_time_ms: float = 0.0) -> None: ...
    def record_compile(self, func_id: Optional[str], speedup: float = 1.0, timestamp: Optional[float] = None) -> None: ...
    def get_metrics(self, func_id: Optional[str]) -> FunctionRecord: ...
