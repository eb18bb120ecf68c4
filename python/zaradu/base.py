"""Base definitions shared by the whole package: the error class, the gate
name of a statement, and the assembly context with its configuration."""

from __future__ import annotations

from typing import Any, Optional


class RavexError(Exception):
    """Error in a ravex program or in its compilation."""


def head(st) -> Any:
    """Gate name of a statement.

    - ("define", name, value)          -> "define"
    - (("C", inner), (control, target)) -> "C"
    - (gate, target)                    -> gate if it is a string, else gate[0]
    """
    gate = st[0]
    if isinstance(gate, str):
        return gate
    return gate[0]


class Context:
    """Assembly context: the configuration plus the bookkeeping the assembly
    keeps while it lays statements out (per-qubit time, collected opaque
    calls)."""

    def __init__(self, cfg=None):
        self.cfg = cfg
        self.time = {}
        self.opaques = []

    @property
    def arch(self) -> str:
        return getattr(self.cfg, "arch", "general")

    def __repr__(self):
        return f"Context(cfg={self.cfg!r})"


_current_config = None


def getConfig():
    """The package's current configuration, created on first use."""
    global _current_config
    if _current_config is None:
        from .config import Config
        _current_config = Config()
    return _current_config


def setConfig(cfg) -> None:
    """Replace the current configuration (None resets to a fresh default)."""
    global _current_config
    _current_config = cfg


def create_context(cfg: Optional[Any] = None) -> Context:
    """A new assembly context for `cfg` (the current configuration if None)."""
    if cfg is None:
        cfg = getConfig()
    return Context(cfg)
