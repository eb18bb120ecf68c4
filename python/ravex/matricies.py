"""Single-qubit unitaries and their Euler angles.

Convention (used by every gate of this package):

    U(theta, phi, lam, delta) = e^{i delta} Rz'(phi) Ry(theta) Rz'(lam)

    = e^{i delta} [[e^{-i(phi+lam)/2} cos(theta/2), -e^{-i(phi-lam)/2} sin(theta/2)],
                   [e^{+i(phi-lam)/2} sin(theta/2),  e^{+i(phi+lam)/2} cos(theta/2)]]

with Rz'(a) = diag(e^{-ia/2}, e^{ia/2}) and Ry(t) = exp(-i t Y / 2).  The
gate "u3" is U(theta, phi, lam) (delta = 0, determinant 1), and the gates "P"
and "Rz" are the phase gate diag(1, e^{ia}).

With this convention the controlled-gate decomposition of ``zaradu.macro``
reproduces C-U = |0><0| (x) I + |1><1| (x) U exactly (not only up to a global
phase): the general sequence (u3, Cnot, u3, Cnot, u3 on the target, Rz(delta)
on the control) needs the three u3 to be determinant-one and the global phase
to sit entirely in delta; the short sequence used when cos(phi + lam) == -1
is exact for the reflections (U @ U == I, U != +-I), for which
`Unitary2Angles` returns delta == pi/2.
"""

from __future__ import annotations

import numpy as np

# Below this magnitude a matrix entry counts as zero when angles are read off.
_EPS = 1e-12


def U(theta, phi, lam, delta=0):
    """The 2x2 unitary of the angles (theta, phi, lam, delta), see module doc."""
    c = np.cos(theta / 2)
    s = np.sin(theta / 2)
    sigma = (phi + lam) / 2
    rho = (phi - lam) / 2
    g = np.exp(1j * delta)
    return g * np.array([[np.exp(-1j * sigma) * c, -np.exp(-1j * rho) * s],
                         [np.exp(1j * rho) * s, np.exp(1j * sigma) * c]],
                        dtype=complex)


def Unitary2Angles(unitary):
    """Angles (theta, phi, lam, delta) with U(theta, phi, lam, delta) == unitary.

    theta lies in [0, pi], delta in (-pi/2, pi/2]; when cos(theta/2) or
    sin(theta/2) vanishes, the undetermined half-sum or half-difference of
    phi and lam is taken as 0.  Raises ValueError for anything that is not a
    2x2 unitary.
    """
    m = np.asarray(unitary, dtype=complex)
    if m.shape != (2, 2):
        raise ValueError(f"expected a 2x2 matrix, got shape {m.shape}")
    if not np.allclose(m.conj().T @ m, np.eye(2), atol=1e-9):
        raise ValueError("matrix is not unitary")
    det = np.linalg.det(m)
    delta = float(np.angle(det)) / 2
    # Keep delta in (-pi/2, pi/2]: the other root of the determinant is
    # absorbed into the sign of the special-unitary part.
    if delta <= -np.pi / 2 + _EPS:
        delta += np.pi
    v = m * np.exp(-1j * delta)  # determinant 1: [[a, -conj(b)], [b, conj(a)]]
    a, b = v[0, 0], v[1, 0]
    theta = 2 * float(np.arctan2(abs(b), abs(a)))
    sigma = -float(np.angle(a)) if abs(a) > _EPS else 0.0
    rho = float(np.angle(b)) if abs(b) > _EPS else 0.0
    return theta, sigma + rho, sigma - rho, delta
