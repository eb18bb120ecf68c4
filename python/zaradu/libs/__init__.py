"""The standard gate library: everything expressed in the native gates
"rfUnitary" (rotation about an axis in the XY plane), "P" (phase, handled
virtually) and "CZ"."""

from __future__ import annotations

from numpy import pi

from ..library import Library

std = Library("std")


def _phase(angle):
    return lambda q: [(("P", angle), q)]


for _name, _angle in [("Z", pi), ("S", pi / 2), ("-S", -pi / 2),
                      ("T", pi / 4), ("-T", -pi / 4)]:
    std.define(_name, _phase(_angle))

std.define("X", lambda q: [(("rfUnitary", pi, 0), q)])
std.define("Y", lambda q: [(("rfUnitary", pi, pi / 2), q)])
std.define("Rx", lambda q, a: [(("rfUnitary", a, 0), q)])
std.define("Ry", lambda q, a: [(("rfUnitary", a, pi / 2), q)])
std.define("Rz", lambda q, a: [(("P", a), q)])


@std.macro("H")
def _h(q):
    # H = Ry(pi/2) Z
    return [(("P", pi), q), (("rfUnitary", pi / 2, pi / 2), q)]


@std.macro("u3")
def _u3(q, theta, phi, lam):
    # equal to the u3 matrix up to a global phase
    return [(("P", lam), q), (("rfUnitary", theta, pi / 2), q), (("P", phi), q)]


@std.macro("Cnot")
def _cnot(qubits):
    c, t = qubits
    # the H statements are macros themselves and expand further
    return [("H", t), ("CZ", (c, t)), ("H", t)]


std.define("CX", _cnot)

__all__ = ["std"]
