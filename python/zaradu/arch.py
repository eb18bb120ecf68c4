"""Target architectures: turn an assembled `Code` into what the hardware
toolchain takes."""

from __future__ import annotations

from .base import head


class Architecture:
    name = "general"

    def assembly_code(self, code, context):
        """The general architecture hands the code object back."""
        return code


class TextArchitecture(Architecture):
    """A line-oriented listing: one "time gate qubits" line per statement,
    preceded by the entries of `context` as "# key = value" lines."""

    name = "text"

    def assembly_code(self, code, context):
        lines = [f"# {k} = {v}" for k, v in context.items()]
        lines.append(f"# shots = {getattr(code, 'shots', None)}")
        for start, st in code.schedule:
            gate = st[0]
            params = "" if isinstance(gate, str) else "(" + ", ".join(map(str, gate[1:])) + ")"
            lines.append(f"{start:g} {head(st)}{params} {st[1]}")
        return "\n".join(lines)


_ARCHS = {a.name: a() for a in (Architecture, TextArchitecture)}


def register_arch(name, arch) -> None:
    _ARCHS[name] = arch


def get_arch(name):
    try:
        return _ARCHS[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown architecture {name!r}") from None
