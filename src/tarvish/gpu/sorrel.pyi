import enum

__all__ = ["BackendInfo", "GPUBackend", "GPUBackendKind", "GPUSorrel"]

class GPUBackendKind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"

class BackendInfo:
    __slots__ = ("kind", "version", "device_count", "memory_gb")
    kind: GPUBackendKind
    version: str
    device_count: int
    memory_gb: float
    def __init__(
        self, kind: GPUBackendKind, version: str = "", device_count: int = 0, memory_gb: float = 0.0
    ) -> None: ...

class GPUBackend:
    __slots__ = ("info",)
    info: BackendInfo
    def __init__(self, info: BackendInfo) -> None: ...

class GPUSorrel:
    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, BackendInfo]: ...
    @classmethod
    def get_best_available(cls) -> GPUBackend: ...
