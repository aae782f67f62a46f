from dataclasses import dataclass

@dataclass(frozen=True, slots=True)
class Plinth:
    offset: int
    size: int
    arena: int = 0
