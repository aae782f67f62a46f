"""Registry of GPU backends.

This build finds no GPU runtime: it reports the CPU backend alone, which is
what the capability detection expects when no accelerator is present.
"""

from __future__ import annotations

import enum

__all__ = ["BackendInfo", "GPUBackend", "GPUBackendKind", "GPUSorrel"]


class GPUBackendKind(enum.Enum):
    """The kinds of compute backend; each value is the backend's short name."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


class BackendInfo:
    """What is known about one backend."""

    __slots__ = ("kind", "version", "device_count", "memory_gb")

    def __init__(self, kind: GPUBackendKind, version: str = "", device_count: int = 0, memory_gb: float = 0.0):
        self.kind = kind
        self.version = version
        self.device_count = device_count
        self.memory_gb = memory_gb

    def __repr__(self) -> str:
        return (f"BackendInfo(kind={self.kind}, version={self.version!r}, device_count={self.device_count}, "
                f"memory_gb={self.memory_gb})")


class GPUBackend:
    """A usable backend, described by its ``info``."""

    __slots__ = ("info",)

    def __init__(self, info: BackendInfo):
        self.info = info

    def __repr__(self) -> str:
        return f"GPUBackend(info={self.info!r})"


_CPU = BackendInfo(GPUBackendKind.CPU, "", 1, 0.0)


class GPUSorrel:
    """Finds the backends this process can use."""

    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, BackendInfo]:
        """Every available backend, keyed by kind."""
        return {GPUBackendKind.CPU: _CPU}

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        """The most capable available backend."""
        return GPUBackend(_CPU)
