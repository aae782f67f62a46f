"""Per-function call and compilation figures for the just-in-time compiler.

The compiler records each call and each compilation here; the compilation
policy (``tarvish.jit.tessaly.Tessaly``) reads them back through
``get_metrics(func_id)``.
"""

from __future__ import annotations

import threading
import time
from typing import Dict, Optional

__all__ = ["FunctionRecord", "TelemetryStore"]


class FunctionRecord:
    """One function's figures, as the policy reads them."""

    __slots__ = ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled")

    def __init__(
        self,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compiled: float = 0.0,
    ) -> None:
        self.call_count = call_count
        self.compile_count = compile_count
        self.avg_speedup = avg_speedup
        self.total_execution_time_ms = total_execution_time_ms
        self.last_compiled = last_compiled

    @property
    def last_compile_time(self) -> float:
        """Alias for last_compiled."""
        return self.last_compiled

    def copy(self) -> FunctionRecord:
        return FunctionRecord(
            self.call_count, self.compile_count, self.avg_speedup, self.total_execution_time_ms, self.last_compiled
        )

    def __repr__(self) -> str:
        return (
            f"FunctionRecord(call_count={self.call_count}, compile_count={self.compile_count}, "
            f"avg_speedup={self.avg_speedup!r}, total_execution_time_ms={self.total_execution_time_ms!r}, "
            f"last_compiled={self.last_compiled!r})"
        )


class TelemetryStore:
    """Thread-safe store of per-function records, keyed by function id."""

    def __init__(self) -> None:
        self._records: Dict[Optional[str], FunctionRecord] = {}
        self._lock = threading.Lock()

    def _record(self, func_id: Optional[str]) -> FunctionRecord:
        record = self._records.get(func_id)
        if record is None:
            record = self._records[func_id] = FunctionRecord()
        return record

    def record_call(self, func_id: Optional[str], execution_time_ms: float = 0.0) -> None:
        """Counts one call of the function and adds its execution time."""
        with self._lock:
            record = self._record(func_id)
            record.call_count += 1
            record.total_execution_time_ms += float(execution_time_ms)

    def record_compile(self, func_id: Optional[str], speedup: float = 1.0, timestamp: Optional[float] = None) -> None:
        """Counts one compilation, folds its speedup into the running mean and stamps it
        (with ``time.time()`` unless a timestamp is given)."""
        when = time.time() if timestamp is None else float(timestamp)
        with self._lock:
            record = self._record(func_id)
            record.compile_count += 1
            if record.compile_count == 1:
                record.avg_speedup = float(speedup)
            else:
                record.avg_speedup += (float(speedup) - record.avg_speedup) / record.compile_count
            record.last_compiled = when

    def get_metrics(self, func_id: Optional[str]) -> FunctionRecord:
        """A snapshot of the function's figures (all zero for a function never seen)."""
        with self._lock:
            record = self._records.get(func_id)
            return record.copy() if record is not None else FunctionRecord()
