"""Gate libraries: named macros that expand one statement into several.

A macro gate is called as ``gate(target, *params)`` with the statement's
target (one qubit, or a tuple of qubits) and the gate parameters, and returns
an iterable of statements.
"""

from __future__ import annotations

from typing import Callable, Dict, Iterable, Optional

MacroGate = Callable[..., Iterable[tuple]]


class Library:
    def __init__(self, name: str = "", macros: Optional[Dict[str, MacroGate]] = None):
        self.name = name
        self._macros: Dict[str, MacroGate] = dict(macros or {})

    def define(self, gate_name, func: MacroGate) -> MacroGate:
        """Register `func` as the macro of `gate_name` (replacing any)."""
        if not callable(func):
            raise TypeError(f"macro for {gate_name!r} must be callable")
        self._macros[gate_name] = func
        return func

    def macro(self, gate_name) -> Callable[[MacroGate], MacroGate]:
        """Decorator form of `define`."""
        return lambda func: self.define(gate_name, func)

    def undefine(self, gate_name) -> None:
        self._macros.pop(gate_name, None)

    def getGate(self, gate_name) -> Optional[MacroGate]:
        """The macro of `gate_name`, or None if this library has none."""
        try:
            return self._macros.get(gate_name)
        except TypeError:  # unhashable gate name
            return None

    def gate_names(self):
        return list(self._macros)

    def __repr__(self):
        return f"Library({self.name!r}, {len(self._macros)} macros)"


class _Chain(Library):
    """Several libraries seen as one; a later library wins over an earlier."""

    def __init__(self, libs):
        super().__init__("+".join(getattr(l, "name", "?") for l in libs))
        self.libs = tuple(libs)

    def getGate(self, gate_name):
        gate = super().getGate(gate_name)  # macros defined on the chain itself
        if gate is not None:
            return gate
        for lib in reversed(self.libs):
            gate = lib.getGate(gate_name)
            if gate is not None:
                return gate
        return None

    def gate_names(self):
        names = dict.fromkeys(super().gate_names())
        for lib in self.libs:
            names.update(dict.fromkeys(lib.gate_names()))
        return list(names)


def libraries(*libs) -> Library:
    """Combine libraries into one; for a gate defined in several, the last
    library given wins."""
    for lib in libs:
        if not hasattr(lib, "getGate"):
            raise TypeError(f"not a gate library: {lib!r}")
    return _Chain(libs)
