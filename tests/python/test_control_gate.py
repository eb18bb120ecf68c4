"""Controlled-gate decomposition of zaradu.macro: shortcuts, the two sequences, and a
numerical check that the output reproduces the controlled unitary."""

import numpy as np
import pytest
from suite_env import require_numpy

require_numpy("the ravex stand-in's matrices")

import ravex
import ravex.matricies
import zaradu.macro as macro
from ravex.matricies import U

CNOT = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], dtype=complex)
CZ = np.diag([1, 1, 1, -1]).astype(complex)
I2 = np.eye(2, dtype=complex)


def single(st):
    """2x2 matrix of a single-qubit statement of the decomposition."""
    gate = st[0]
    if gate[0] == "u3":
        return U(*gate[1:])
    assert gate[0] == "Rz"
    return np.diag([1, np.exp(1j * gate[1])])


def circuit_matrix(sts, control, target):
    """4x4 unitary of a statement list; the control is the high qubit."""
    total = np.eye(4, dtype=complex)
    for st in sts:
        if st[0] == "Cnot":
            assert st[1] == (control, target)
            m = CNOT
        elif st[0] == "CZ":
            m = CZ
        else:
            u = single(st)
            m = np.kron(u, I2) if st[1] == control else np.kron(I2, u)
            assert st[1] in (control, target)
        total = m @ total
    return total


def controlled(inner):
    u = ravex.seq2mat([(inner, 0)])
    out = np.eye(4, dtype=complex)
    out[2:, 2:] = u
    return out


@pytest.mark.parametrize("inner", ["H", "Y", "S", "T", "I", ("X",), ("Rx", 0.3), ("u3", 0.3, 0.4, 0.5),
                                   ("Rz", 1.1), ("Ry", -2.0), ("rfUnitary", 0.7, 0.2)])
def test_decomposition_reproduces_controlled_unitary(inner):
    sts = macro.extend_control_gate((("C", inner), ("c", "t")), None)
    np.testing.assert_allclose(circuit_matrix(sts, "c", "t"), controlled(inner), atol=1e-12)


@pytest.mark.parametrize("inner, two_qubit, matrix", [("Z", "CZ", CZ), ("X", "Cnot", CNOT)])
def test_shortcuts_keep_the_qubits_object_and_skip_seq2mat(monkeypatch, inner, two_qubit, matrix):
    monkeypatch.setattr(ravex, "seq2mat", lambda prog: pytest.fail("seq2mat called"))
    qubits = (3, 4)
    out = macro.extend_control_gate((("C", inner), qubits), None)
    assert out == [(two_qubit, qubits)]
    assert out[0][1] is qubits
    # Three qubits: the shortcut does not unpack the target.
    three = (1, 2, 3)
    assert macro.extend_control_gate(st=(("C", inner), three), scope=object()) == [(two_qubit, three)]


def test_general_case_needs_two_qubits():
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        macro.extend_control_gate((("C", "H"), (1, 2, 3)), None)


def test_sequence_shapes_and_integer_zeros():
    b = macro.extend_control_gate((("C", "S"), (0, 1)), None)
    assert [s[0] if isinstance(s[0], str) else s[0][0] for s in b] == ["u3", "Cnot", "u3", "Cnot", "u3", "Rz"]
    assert b[5][1] == 0 and b[1] == ("Cnot", (0, 1)) and b[3] == ("Cnot", (0, 1))
    assert type(b[0][0][2]) is int and b[0][0][2] == 0
    assert type(b[2][0][3]) is int and type(b[4][0][1]) is int and type(b[4][0][2]) is int
    a = macro.extend_control_gate((("C", "H"), (0, 1)), None)
    assert [s[0] if isinstance(s[0], str) else s[0][0] for s in a] == ["u3", "Cnot", "u3", "Rz"]
    assert a[3][1] == 1  # the Rz acts on the target in sequence A
    assert type(a[0][0][2]) is int and type(a[2][0][3]) is int


class Exact:
    """cos() result whose `+ 1` gives exactly the chosen distance from -1."""

    def __init__(self, dist):
        self.dist = dist

    def __add__(self, other):
        assert other == 1 and type(other) is int
        return self.dist


@pytest.mark.parametrize("dist, length", [(1e-15, 6), (np.nextafter(1e-15, 0), 4), (-2e-16, 4), (0.5, 6)])
def test_threshold_is_strict_and_uses_module_cos(monkeypatch, dist, length):
    seen = []
    monkeypatch.setattr(macro, "cos", lambda x: seen.append(x) or Exact(dist))
    out = macro.extend_control_gate((("C", "H"), (0, 1)), None)
    assert len(out) == length
    assert seen == [0.0 + np.pi]


def test_angles_follow_the_written_arithmetic(monkeypatch):
    monkeypatch.setattr(ravex.matricies, "Unitary2Angles", lambda m: (1.0, 2.0, 3.0, 4.0))
    out = macro.extend_control_gate((("C", "H"), ("c", "t")), None)
    assert out == [
        (("u3", 0.5, 0, 3.0), "t"), ("Cnot", ("c", "t")),
        (("u3", -0.5, -2.5, 0), "t"), ("Cnot", ("c", "t")),
        (("u3", 0, 0, -0.5), "t"), (("Rz", 4.0), "c"),
    ]
    monkeypatch.setattr(macro, "pi", 10)
    monkeypatch.setattr(ravex.matricies, "Unitary2Angles", lambda m: (1.0, np.pi, 0.0, 4.0))
    out = macro.extend_control_gate((("C", "H"), ("c", "t")), None)
    assert out == [(("u3", 4.5, 0, -np.pi), "t"), ("Cnot", ("c", "t")),
                   (("u3", -4.5, np.pi, 0), "t"), (("Rz", -1.0), "t")]


def test_seq2mat_receives_the_one_statement_program(monkeypatch):
    calls = []
    real = ravex.seq2mat
    monkeypatch.setattr(ravex, "seq2mat", lambda prog: calls.append(prog) or real(prog))
    macro.extend_control_gate((("C", ("Rx", 0.5)), (0, 1)), None)
    assert calls == [[(("Rx", 0.5), 0)]]


@pytest.mark.parametrize("st, message", [
    ((("C", "H"), (0, 1), 5), r"too many values to unpack \(expected 2\)"),
    ((("C", "H"),), r"not enough values to unpack \(expected 2, got 1\)"),
    ((("C", "H", 1), (0, 1)), r"too many values to unpack \(expected 2\)"),
    ((("C",), (0, 1)), r"not enough values to unpack \(expected 2, got 1\)"),
    ((("C", "H"), (0,)), r"not enough values to unpack \(expected 2, got 1\)"),
    ((("C", "Z"), (0, 1), 5), r"too many values to unpack \(expected 2\)"),
])
def test_unpacking_errors(st, message):
    with pytest.raises(ValueError, match=message):
        macro.extend_control_gate(st, None)


def test_non_iterable_statement():
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        macro.extend_control_gate(5, None)


def test_angles_result_must_have_four_values(monkeypatch):
    monkeypatch.setattr(ravex.matricies, "Unitary2Angles", lambda m: (1.0, 2.0, 3.0))
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 4, got 3\)"):
        macro.extend_control_gate((("C", "H"), (0, 1)), None)


@pytest.mark.parametrize("name", ["U", "Unitary2Angles"])
def test_missing_import_name_is_import_error(monkeypatch, name):
    monkeypatch.delattr(ravex.matricies, name)
    with pytest.raises(ImportError, match=f"cannot import name '{name}' from 'ravex.matricies'"):
        macro.extend_control_gate((("C", "Z"), (0, 1)), None)


def test_extend_macro_passes_decomposition_unexpanded():
    class Lib:
        def __init__(self):
            self.asked = []

        def getGate(self, name):
            self.asked.append(name)
            return (lambda q: [("boom", q)]) if name in ("Cnot", "CZ", "u3", "C") else None

    lib = Lib()
    env = {"a": 0, "b": 1}
    out = list(macro.extend_macro([(("C", "Z"), ("a", "b")), (("C", "H"), ("a", "b"))], lib, env))
    assert out[0] == ("CZ", (0, 1))
    assert out[1:] == macro.extend_control_gate((("C", "H"), (0, 1)), None)
    assert lib.asked == []
