"""Blocks of the memory pool: a free block is a span of bytes in one pool arena."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Plinth:
    """A block record: where it starts, how many bytes it spans, which arena holds it.

    Two records are equal when all three fields are equal.
    """

    offset: int
    size: int
    arena: int = 0
