"""The ravex circuit language: gate matrices of single-qubit programs."""

from __future__ import annotations

import numpy as np

from .matricies import U, Unitary2Angles

__all__ = ["seq2mat", "gate_matrix", "U", "Unitary2Angles"]

_S2 = 1 / np.sqrt(2)

_FIXED = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
    "H": np.array([[_S2, _S2], [_S2, -_S2]], dtype=complex),
    "S": np.diag([1, 1j]).astype(complex),
    "-S": np.diag([1, -1j]).astype(complex),
    "T": np.diag([1, np.exp(1j * np.pi / 4)]),
    "-T": np.diag([1, np.exp(-1j * np.pi / 4)]),
}


def _rotation(pauli, angle):
    return np.cos(angle / 2) * np.eye(2) - 1j * np.sin(angle / 2) * pauli


def _phase(angle):
    return np.diag([1, np.exp(1j * angle)]).astype(complex)


def _rf_unitary(theta, phi):
    # rotation by theta about the axis cos(phi) X + sin(phi) Y
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -1j * np.exp(-1j * phi) * s],
                     [-1j * np.exp(1j * phi) * s, c]], dtype=complex)


_PARAMETRIC = {
    "Rx": lambda a: _rotation(_FIXED["X"], a),
    "Ry": lambda a: _rotation(_FIXED["Y"], a),
    "Rz": _phase,
    "P": _phase,
    "u3": lambda theta, phi, lam: U(theta, phi, lam),
    "U": U,
    "rfUnitary": _rf_unitary,
}


def gate_matrix(gate):
    """The 2x2 matrix of a gate item: a name, or (name, *params)."""
    if isinstance(gate, str):
        name, params = gate, ()
    else:
        name, params = gate[0], tuple(gate[1:])
    if name in _FIXED and not params:
        return _FIXED[name].copy()
    if name in _FIXED:
        raise ValueError(f"gate {name!r} takes no parameters")
    try:
        make = _PARAMETRIC[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown single-qubit gate {gate!r}") from None
    try:
        return np.asarray(make(*params), dtype=complex)
    except TypeError:
        raise ValueError(f"wrong parameters for gate {gate!r}") from None


def seq2mat(prog):
    """Unitary of a program of single-qubit statements (gate, 0).

    Statements apply in program order, so the result is M_n @ ... @ M_1.
    """
    m = np.eye(2, dtype=complex)
    for st in prog:
        gate, target = st[0], st[1]
        if isinstance(target, tuple) and len(target) == 1:
            target = target[0]
        if target != 0:
            raise ValueError(f"seq2mat handles qubit 0 only, got {target!r}")
        m = gate_matrix(gate) @ m
    return m
