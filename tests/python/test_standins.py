"""The pure-Python package modules the compiled modules call into."""

import cmath

import numpy as np
import pytest
from suite_env import require_numpy

require_numpy("NumPy's own numerics and the ravex stand-in's matrices")

from ravex import seq2mat
from ravex.matricies import U, Unitary2Angles
from zaradu.arch import get_arch
from zaradu.assembly import assembly_align_left, assembly_align_right
from zaradu.base import Context, RavexError, create_context, getConfig, head
from zaradu.config import Config
from zaradu.library import Library, libraries
from zaradu.libs import std
from zaradu.utils import mapping_qubits

pi = np.pi
I2 = np.eye(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)


def phase_gate(a):
    return np.diag([1, cmath.exp(1j * a)])


# ---------------------------------------------------------------- base

@pytest.mark.parametrize("st, name", [
    (("define", "q", 3), "define"),
    ((("C", "X"), (0, 1)), "C"),
    ((("C", ("Rz", 0.5)), (0, 1)), "C"),
    (("X", 0), "X"),
    ((("rfUnitary", 1.0, 0.5), "q1"), "rfUnitary"),
    ((("P", 0.2),), "P"),
])
def test_head(st, name):
    assert head(st) == name


def test_ravex_error_and_context():
    assert issubclass(RavexError, Exception)
    cfg = Config(arch="text")
    ctx = create_context(cfg=cfg)
    assert isinstance(ctx, Context) and ctx.cfg is cfg and ctx.arch == "text"
    assert getConfig() is getConfig()
    assert create_context().cfg is getConfig()


# ---------------------------------------------------------------- ravex

S2 = 1 / np.sqrt(2)


@pytest.mark.parametrize("gate, matrix", [
    ("I", I2),
    ("X", X),
    ("Y", [[0, -1j], [1j, 0]]),
    ("Z", [[1, 0], [0, -1]]),
    ("H", [[S2, S2], [S2, -S2]]),
    ("S", [[1, 0], [0, 1j]]),
    ("T", phase_gate(pi / 4)),
    (("P", 0.3), phase_gate(0.3)),
    (("Rz", 0.3), phase_gate(0.3)),
    (("Rx", pi), [[0, -1j], [-1j, 0]]),
    (("Ry", pi), [[0, -1], [1, 0]]),
    (("rfUnitary", pi, 0), [[0, -1j], [-1j, 0]]),
    (("rfUnitary", pi, pi / 2), [[0, -1], [1, 0]]),
    (("u3", pi, 0, pi), [[0, -1j], [-1j, 0]]),
])
def test_seq2mat_single_gates(gate, matrix):
    np.testing.assert_allclose(seq2mat([(gate, 0)]), matrix, atol=1e-12)


def test_seq2mat_applies_in_program_order():
    h, s = seq2mat([("H", 0)]), seq2mat([("S", 0)])
    np.testing.assert_allclose(seq2mat([("H", 0), ("S", (0,))]), s @ h)
    np.testing.assert_allclose(seq2mat([]), I2)


@pytest.mark.parametrize("prog", [[("Foo", 0)], [(("X", 1), 0)], [("X", 1)], [(("Rz",), 0)]])
def test_seq2mat_rejects(prog):
    with pytest.raises(ValueError):
        seq2mat(prog)


def _unitaries():
    rng = np.random.default_rng(7)
    out = [I2, -I2, X, 1j * X, seq2mat([("H", 0)]), seq2mat([("Y", 0)]),
           phase_gate(2.0), np.diag([1j, -1j]), np.diag([-1, 1j])]
    for _ in range(20):
        q, r = np.linalg.qr(rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2)))
        out.append(q @ np.diag(np.diag(r) / abs(np.diag(r))))
    return out


@pytest.mark.parametrize("unitary", _unitaries())
def test_unitary2angles_round_trip(unitary):
    theta, phi, lam, delta = Unitary2Angles(unitary)
    np.testing.assert_allclose(U(theta, phi, lam, delta), unitary, atol=1e-12)
    assert 0 <= theta <= pi + 1e-12
    assert -pi / 2 < delta <= pi / 2 + 1e-12


@pytest.mark.parametrize("m", [np.ones((2, 2)), np.eye(3), [[1, 0], [0, 2]]])
def test_unitary2angles_rejects_non_unitaries(m):
    with pytest.raises(ValueError):
        Unitary2Angles(m)


# The controlled-gate decomposition built by zaradu.macro, rendered in numpy:
# two qubits, control first; statements apply in program order.

P0, P1 = np.diag([1, 0]), np.diag([0, 1])
CNOT = np.kron(P0, I2) + np.kron(P1, X)


def controlled(u):
    return np.kron(P0, I2) + np.kron(P1, u)


def render(seq):
    m = np.eye(4, dtype=complex)
    for gate, qubit in seq:
        if gate == "Cnot":
            g = CNOT
        else:
            one = seq2mat([(gate, 0)])
            g = np.kron(I2, one) if qubit == "t" else np.kron(one, I2)
        m = g @ m
    return m


def decomposition(theta, phi, lam, delta):
    if abs(np.cos(phi + lam) + 1) < 1e-15:
        return "A", [(("u3", pi / 2 - theta / 2, 0, -phi), "t"), ("Cnot", None),
                     (("u3", theta / 2 - pi / 2, phi, 0), "t"), (("Rz", delta - pi / 2), "t")]
    return "B", [(("u3", theta / 2, 0, lam), "t"), ("Cnot", None),
                 (("u3", -theta / 2, -(phi + lam) / 2, 0), "t"), ("Cnot", None),
                 (("u3", 0, 0, (phi - lam) / 2), "t"), (("Rz", delta), "c")]


@pytest.mark.parametrize("prog, sequence", [
    # reflections (U @ U == I) with a non-zero diagonal take the short sequence
    ([("H", 0)], "A"), ([(("Z",), 0)], "A"), ([("Z", 0), (("Ry", 1.2), 0)], "A"),
    ([("Y", 0)], "B"), ([(("X",), 0)], "B"), ([("S", 0)], "B"), ([("T", 0)], "B"),
    ([("I", 0)], "B"), ([(("Rx", 0.3), 0)], "B"), ([(("Ry", 1.2), 0)], "B"),
    ([(("Rz", 0.7), 0)], "B"), ([(("P", -2.5), 0)], "B"), ([(("Rx", pi), 0)], "B"),
    ([(("u3", 0.4, 1.1, -0.5), 0)], "B"), ([(("rfUnitary", 1.0, 0.4), 0)], "B"),
    ([(("rfUnitary", pi, 0.4), 0)], "B"), ([("H", 0), ("T", 0)], "B"),
])
def test_controlled_decomposition_reproduces_controlled_unitary(prog, sequence):
    u = seq2mat(prog)
    kind, seq = decomposition(*Unitary2Angles(u))
    assert kind == sequence
    np.testing.assert_allclose(render(seq), controlled(u), atol=1e-12)


@pytest.mark.parametrize("theta, phi", [(0.7, 0.2), (pi, -1.0), (2.0, 5.5)])
@pytest.mark.parametrize("a", [0.3, pi, 4.0])
def test_phase_passes_rf_unitary(theta, phi, a):
    # P(a) then rfUnitary(theta, phi) == rfUnitary(theta, phi - a) then P(a)
    before = seq2mat([(("P", a), 0), (("rfUnitary", theta, phi), 0)])
    after = seq2mat([(("rfUnitary", theta, phi - a), 0), (("P", a), 0)])
    np.testing.assert_allclose(before, after, atol=1e-12)


# ---------------------------------------------------------------- libraries

def same_up_to_phase(a, b):
    k = np.argmax(abs(b))
    ratio = a.flat[k] / b.flat[k]
    return abs(abs(ratio) - 1) < 1e-12 and np.allclose(a, ratio * b, atol=1e-12)


@pytest.mark.parametrize("gate", ["X", "Y", "Z", "H", "S", "-S", "T", "-T", ("Rx", 0.4),
                                  ("Ry", 1.3), ("Rz", 2.2), ("u3", 0.4, 1.1, -0.5)])
def test_std_single_qubit_macros_match_their_gate(gate):
    name, params = (gate, ()) if isinstance(gate, str) else (gate[0], gate[1:])
    out = list(std.getGate(name)(0, *params))
    assert all(head(st) in ("P", "rfUnitary") for st in out)
    assert same_up_to_phase(seq2mat(out), seq2mat([(gate, 0)]))


def test_std_cnot_expands_into_nested_macros():
    assert list(std.getGate("Cnot")((0, 1))) == [("H", 1), ("CZ", (0, 1)), ("H", 1)]
    assert std.getGate("CZ") is None and std.getGate(["unhashable"]) is None


def test_libraries_later_wins_and_is_a_library():
    a, b = Library("a"), Library("b")
    a.define("G", lambda q: [("A", q)])
    b.define("G", lambda q: [("B", q)])
    a.define("OnlyA", lambda q: [])
    both = libraries(a, b)
    assert isinstance(both, Library)
    assert list(both.getGate("G")(0)) == [("B", 0)]
    assert both.getGate("OnlyA") is not None and both.getGate("nothing") is None
    with pytest.raises(TypeError):
        libraries(a, 3)


# ---------------------------------------------------------------- assembly, arch, utils

PROG = [("X", 0), ("CZ", (0, 1)), ("X", 0), ("X", 0)]


@pytest.mark.parametrize("assemble, times", [
    (assembly_align_left, [0, 1, 2, 3]),
    (assembly_align_right, [0, 1, 2, 3]),
])
def test_assembly_schedules(assemble, times):
    code = assemble(iter(PROG), create_context(cfg=Config()), std)
    assert code.statements == PROG and [t for t, _ in code.schedule] == times
    assert code.arch == "general" and code.total_time == 4


def test_assembly_alignment_differs_on_idle_qubits():
    prog = [("X", 0), ("X", 0), ("X", 1)]
    left = assembly_align_left(prog, create_context(cfg=Config()), std)
    right = assembly_align_right(prog, create_context(cfg=Config()), std)
    assert left.schedule[2] == (0, ("X", 1)) and right.schedule[2] == (1, ("X", 1))


def test_code_attributes_and_architectures():
    code = assembly_align_left(PROG, create_context(cfg=Config(arch="text", shots=7)), std)
    assert code.arch == "text" and code.shots == 7
    code.signal = "iq"
    assert get_arch("general").assembly_code(code, {}) is code
    text = get_arch("text").assembly_code(code, {"run": 1})
    assert text.splitlines()[:3] == ["# run = 1", "# shots = 7", "0 X 0"]
    with pytest.raises(ValueError, match="unknown architecture 'nope'"):
        get_arch("nope")


def test_mapping_qubits():
    out = list(mapping_qubits([("X", 0), ("CZ", (0, 1)), ("Y", [0])], {0: "Q0"}))
    assert out == [("X", "Q0"), ("CZ", ("Q0", 1)), ("Y", [0])]
