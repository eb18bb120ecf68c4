"""Assembly: lay a statement stream out in time.

Every statement gets a start time; a statement starts once all its qubits are
free (left alignment, as early as possible), or as late as possible before
the end of the program (right alignment).  Durations come from the
configuration of the context.
"""

from __future__ import annotations

from .base import head


class Code:
    """An assembled program; attributes may be set freely."""

    def __init__(self, schedule, total_time, arch="general", shots=1024):
        self.schedule = schedule  # list of (start time, statement)
        self.total_time = total_time
        self.arch = arch
        self.shots = shots
        self.signal = "state"

    @property
    def statements(self):
        return [st for _, st in self.schedule]

    def __repr__(self):
        return (f"Code(arch={self.arch!r}, {len(self.schedule)} statements, "
                f"total_time={self.total_time})")


def _qubits(target):
    if isinstance(target, (int, str)):
        return (target,)
    if isinstance(target, (tuple, list)):
        return tuple(target)
    return (target,)


def _duration(ctx, st):
    cfg = getattr(ctx, "cfg", None)
    if cfg is None or not hasattr(cfg, "duration"):
        return 1.0
    return cfg.duration(head(st))


def _asap(stream, ctx):
    free = {}
    placed = []
    for st in stream:
        qs = _qubits(st[1])
        start = max((free.get(q, 0.0) for q in qs), default=0.0)
        end = start + _duration(ctx, st)
        for q in qs:
            free[q] = end
        placed.append((start, end, st))
    total = max((end for _, end, _ in placed), default=0.0)
    return placed, total


def _code(schedule, total, ctx):
    cfg = getattr(ctx, "cfg", None)
    return Code(schedule, total,
                arch=getattr(cfg, "arch", "general"),
                shots=getattr(cfg, "shots", 1024))


def assembly_align_left(ravex, ctx, lib):
    placed, total = _asap(ravex, ctx)
    return _code([(start, st) for start, _, st in placed], total, ctx)


def assembly_align_right(ravex, ctx, lib):
    # as late as possible: schedule the reversed program as early as
    # possible and mirror the times
    placed, total = _asap(reversed(list(ravex)), ctx)
    schedule = [(total - end, st) for _, end, st in reversed(placed)]
    return _code(schedule, total, ctx)


def call_opaque(st, ctx, lib):
    """Record a statement the assembly passes through untouched (a gate the
    architecture implements itself)."""
    getattr(ctx, "opaques", []).append(st)
    return st
