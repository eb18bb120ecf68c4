"""Compiler configuration: target architecture and the gate parameters the
assembly reads (durations per gate name)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict


@dataclass
class Config:
    arch: str = "general"
    shots: int = 1024
    # gate name -> duration in the time unit of the architecture; a gate not
    # listed takes `default_duration`
    durations: Dict[str, float] = field(default_factory=dict)
    default_duration: float = 1.0

    def duration(self, gate_name) -> float:
        return self.durations.get(gate_name, self.default_duration)
