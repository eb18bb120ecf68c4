"""The generators of zaradu.macro (and those zaradu.compiler makes) as the interpreter's own:
cycles through them are collected, `throw` reaches a sub-iterator as `yield from` sends it,
exceptions raised while another is handled carry it as their context, and names, calls and
draws happen in the order the Python functions they replace would make them.

Where the interpreter's behaviour is the reference, a pure-Python rendering of the function
runs beside the compiled one and the two are compared."""

import ctypes
import gc
import sys
import weakref
from pathlib import Path

import pytest
from suite_env import require_numpy

require_numpy("the ravex stand-in's matrices")

import ravex
import ravex.matricies
import zaradu.compiler as comp
import zaradu.macro as M
from zaradu.library import libraries
from zaradu.libs import std


# ---------------------------------------------------------------- pure-Python renderings
# The module written in Python (tests/support/macro_reference.py), looking the module's
# names up on zaradu.macro at each use, as the compiled functions do.

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import macro_reference  # noqa: E402
from reference_runs import chain, outcome  # noqa: E402

_reference = macro_reference.bound_to(vars(M))
py_call_macro = _reference.call_macro
py_extend_control_gate = _reference.extend_control_gate
py_reduceVirtualZ = _reference.reduceVirtualZ


# ---------------------------------------------------------------- cycles

class Holder:
    pass


def _extend_macro_cycle():
    h = Holder()
    g = M.extend_macro([("define", "x", h), ("A", "x"), ("B", 0)], std)
    h.g = g
    next(g)
    return weakref.ref(h)


def _extend_macro_in_macro_cycle():
    # Suspended inside a macro's output: the macro level holds the cycle.
    h = Holder()

    class Lib:
        def getGate(self, name):
            return (lambda q: iter([("A", q), ("B", q), h])) if name == "G" else None

    g = M.extend_macro([("G", 0)], Lib())
    h.g = g
    next(g)
    return weakref.ref(h)


def _call_macro_cycle():
    h = Holder()
    g = M.call_macro(lambda q, *a: iter([("A", q), ("B", q)]), ("G", h))
    h.g = g
    next(g)
    return weakref.ref(h)


def _reduce_cycle():
    # The program's iterator and the current statement hold the cycle.
    h = Holder()
    g = M.reduceVirtualZ(iter([("CZ", (0, 1), h), ("CZ", (0, 1))]), None)
    h.g = g
    next(g)
    return weakref.ref(h)


def _reduce_in_handler_cycle():
    # Suspended at a flush in the handler: the handled exception holds the cycle.
    h = Holder()

    def rule(st, phases):
        raise ValueError(h)

    M._VZ_rules["W"] = rule
    try:
        g = M.reduceVirtualZ([(("P", 0.5), 0), ("W", 0), ("W", 0)], None)
        h.g = g
        assert next(g) == (("P", 0.5), 0)
    finally:
        del M._VZ_rules["W"]
    return weakref.ref(h)


def _compile_cycle():
    # compile's expansion and reduction generators, kept by the assembled code object.
    h = Holder()
    prog = [("define", "x", h), ("CZ", ("x", 1)), ("CZ", (0, 1))]
    saved = comp.assembly_align_left

    def assemble(stream, ctx, lib):
        next(stream)
        code = Holder()
        code.arch = "general"
        h.stream = stream
        h.code = code
        return code

    comp.assembly_align_left = assemble
    try:
        comp.compile(prog, lib=std)
    finally:
        comp.assembly_align_left = saved
    return weakref.ref(h)


@pytest.mark.parametrize("make_cycle", [_extend_macro_cycle, _extend_macro_in_macro_cycle, _call_macro_cycle,
                                        _reduce_cycle, _reduce_in_handler_cycle, _compile_cycle])
def test_cycles_through_suspended_generators_are_collected(make_cycle, recwarn):
    refs = [make_cycle() for _ in range(20)]
    gc.collect()
    assert [r() for r in refs] == [None] * 20


def test_cycle_garbage_stays_flat():
    # 10,000 dropped cycles leave nothing of theirs behind.
    gc.collect()
    for _ in range(10_000):
        h = Holder()
        h.pad = bytearray(1000)
        g = M.extend_macro([("define", "x", h), ("A", 0), ("B", 0)], std)
        h.g = g
        next(g)
        del g, h
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o) is Holder]


_tp_clear = ctypes.pythonapi.PyType_GetSlot
_tp_clear.restype = ctypes.c_void_p
_tp_clear.argtypes = [ctypes.py_object, ctypes.c_int]
Py_tp_clear = 51


def clear(obj):
    fn = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(_tp_clear(type(obj), Py_tp_clear))
    assert fn(obj) == 0


@pytest.mark.parametrize("make", [
    lambda: M.extend_macro([("A", 0), ("B", 0)], std),
    lambda: M.call_macro(lambda q: iter([1, 2]), ("G", 0)),
    lambda: M.reduceVirtualZ([("CZ", 0), ("CZ", 1)], None),
])
def test_a_cleared_generator_has_finished(make):
    g = make()
    next(g)
    clear(g)
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(KeyError):
        g.throw(KeyError("k"))
    assert g.close() is None
    assert list(g) == []


# ---------------------------------------------------------------- throw into a sub-iterator

class Sub:
    """An iterator with `throw`, recording the arguments each throw receives."""

    def __init__(self, item):
        self.item = item
        self.thrown = []

    def __iter__(self):
        return self

    def __next__(self):
        return self.item

    def throw(self, *args):
        self.thrown.append(args)
        return self.item


def _thrown_args(make_gen):
    sub = Sub(("CZ", (0, 1)))
    g = make_gen(sub)
    next(g)
    exc = KeyError("k")
    assert g.throw(exc) == ("CZ", (0, 1))
    return sub.thrown, exc


@pytest.mark.parametrize("make_gen", [
    lambda sub: M.call_macro(lambda q: sub, ("G", 0)),
    lambda sub: M.reduceVirtualZ([("Q", 0)], None),
    lambda sub: M.extend_macro([("C", 0)], None),
])
def test_throw_reaches_a_sub_iterator_as_yield_from_sends_it(rules, monkeypatch, make_gen, recwarn):
    def reference(sub):
        yield from sub

    rules["Q"] = lambda st, phases: (current[0], phases)
    current = [None]
    monkeypatch.setattr(M, "extend_control_gate", lambda st, scope: current[0])

    def with_sub(sub):
        current[0] = sub
        return make_gen(sub)

    want, _ = _thrown_args(reference)
    got, exc = _thrown_args(with_sub)
    assert len(got) == len(want) == 1
    assert got[0][0] is exc


# ---------------------------------------------------------------- implicit context

class Unhashable:
    __hash__ = None

    def __repr__(self):
        return "U"


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


def _failing_macro(q, *a):
    raise ArithmeticError("macro failed")


REDUCE_CASES = {
    "non-iterable target": [("Foo", 1.5)],
    "unhashable qubit": [("Foo", (Unhashable(),))],
    "unhashable qubit with a rule": [("CZ", (0, Unhashable()))],
    "failing rule, then an unhashable qubit": [(("P", 0.5), 0), ("R3", (0, Unhashable()))],
}


@pytest.mark.parametrize("case", sorted(REDUCE_CASES))
@pytest.mark.parametrize("outer", [False, True])
def test_errors_raised_in_the_reduction_handler_carry_its_exception(rules, case, outer):
    rules["R3"] = lambda st, phases: 1 / 0
    prog = REDUCE_CASES[case]

    def run(fn):
        if not outer:
            return outcome(lambda: fn(prog, None))
        try:
            raise LookupError("caller's")
        except LookupError:
            return outcome(lambda: fn(prog, None))

    want = run(py_reduceVirtualZ)
    assert want[1] is not None and len(want[1]) >= 2
    assert run(M.reduceVirtualZ) == want


def test_exception_thrown_at_a_handler_yield_has_the_handled_one_as_context():
    prog = [(("P", 0.5), 0), ("Foo", 0), ("Bar", 1)]

    def run(fn):
        g = fn(prog, None)
        assert next(g) == (("P", 0.5), 0)
        with pytest.raises(KeyError) as info:
            g.throw(KeyError("k"))
        return chain(info.value)

    want = run(py_reduceVirtualZ)
    assert want == [("KeyError", "'k'"), ("Exception", "Unknow VZ exchange rule.")]
    assert run(M.reduceVirtualZ) == want


def test_code_called_in_the_handler_sees_the_handled_exception(monkeypatch):
    seen = []

    class Phase(float):
        def __ne__(self, other):
            seen.append(repr(sys.exc_info()[1]))
            return float(self) != other

    monkeypatch.setattr(M, "mod", lambda x, y: Phase(x % y))
    prog = [(("P", 0.5), 0), ("Foo", 0), (("P", 0.25), 1)]
    list(py_reduceVirtualZ(prog, None))
    want, seen[:] = list(seen), []
    list(M.reduceVirtualZ(prog, None))
    assert seen == want == ["Exception('Unknow VZ exchange rule.')", "None"]


@pytest.mark.parametrize("gate, st", [
    (_failing_macro, ("G", 0)),
    (_failing_macro, ("G", BadRepr())),
    (lambda q: 5, ("G", 0)),
])
def test_call_macro_error_contexts(gate, st):
    want = outcome(lambda: py_call_macro(gate, st))
    assert want[1] is not None
    assert outcome(lambda: M.call_macro(gate, st)) == want
    assert outcome(lambda: M.extend_macro([st], type("L", (), {"getGate": lambda s, n: gate})())) == want


# ---------------------------------------------------------------- evaluation order

def test_getGate_is_looked_up_before_head_is_called(monkeypatch):
    log = []

    class Lib:
        def __getattribute__(self, name):
            log.append(("attr", name))
            return object.__getattribute__(self, name)

        def getGate(self, name):
            log.append(("getGate", name))

    def head(st):
        log.append(("head", st))
        return st[0]

    monkeypatch.setattr(M, "head", head)
    assert list(M.extend_macro([("X", "a")], Lib(), {"a": 1})) == [("X", 1)]
    assert log == [("head", ("X", "a")), ("head", ("X", "a")), ("attr", "getGate"), ("head", ("X", 1)),
                   ("getGate", "X")]


def test__lookup_is_looked_up_only_when_called(namespace):
    del namespace["_lookup"]
    assert M.lookup(("g", ()), {}) == ("g", ())
    assert M.lookup(("g", [1]), {}) == ("g", [1])
    with pytest.raises(NameError):
        M.lookup(("g", "q"), {})
    calls = []
    namespace["_lookup"] = lambda q, env: calls.append(q) or q
    assert M.lookup(("g", (1, 2)), {}) == ("g", (1, 2))
    assert calls == [1, 2]


class Num:
    """A number that logs every operation made on it, in order."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def _op(self, sym, other, swap=False):
        text = f"({other}{sym}{self})" if swap else f"({self}{sym}{other})"
        self.log.append(text)
        return Num(text, self.log)

    def __add__(self, o): return self._op("+", o)
    def __radd__(self, o): return self._op("+", o, True)
    def __sub__(self, o): return self._op("-", o)
    def __rsub__(self, o): return self._op("-", o, True)
    def __truediv__(self, o): return self._op("/", o)
    def __rtruediv__(self, o): return self._op("/", o, True)

    def __neg__(self):
        self.log.append(f"-{self}")
        return Num(f"-{self}", self.log)

    def __repr__(self):
        return self.name

    def __eq__(self, other):
        return isinstance(other, Num) and other.name == self.name

    __hash__ = None


@pytest.mark.parametrize("cos_value", [-1.0, 0.0])  # sequence A, sequence B
def test_controlled_gate_angles_are_evaluated_as_written(monkeypatch, cos_value):
    log = []
    angles = [Num(n, log) for n in ("theta", "phi", "lam", "delta")]
    monkeypatch.setattr(ravex, "seq2mat", lambda prog: "U")
    monkeypatch.setattr(ravex.matricies, "Unitary2Angles", lambda u: list(angles))
    monkeypatch.setattr(M, "cos", lambda x: log.append(f"cos{x}") or cos_value)
    monkeypatch.setattr(M, "pi", Num("pi", log))
    st = (("C", "H"), ("c", "t"))
    want = py_extend_control_gate(st, None)
    want_log, log[:] = list(log), []
    got = M.extend_control_gate(st, None)
    assert got == want
    assert log == want_log


class Target:
    """An iterable target whose iterators log every draw."""

    def __init__(self, qubits, log):
        self.qubits, self.log = qubits, log

    def __iter__(self):
        def draws():
            for q in self.qubits:
                self.log.append(q)
                yield q
            self.log.append("end")
        return draws()


@pytest.mark.parametrize("gate", ["P", "CZ", "SWAP", "Measure", "rfUnitary", "Mine", "Short"])
def test_phase_update_draws_from_the_target_as_zip_does(rules, gate):
    rules["Mine"] = lambda st, phases: ([st], list(phases))
    rules["Short"] = lambda st, phases: ([st], phases[:1])
    log = []
    g = (gate, 0.5, 0.25) if gate in ("P", "rfUnitary") else gate
    prog = [(("P", 0.5), 0), (("P", 0.25), 1), (g, Target((0, 1, 2), log)), ("Foo", (0, 1, 2))]
    want = list(py_reduceVirtualZ(prog, None))
    want_log, log[:] = list(log), []
    assert list(M.reduceVirtualZ(prog, None)) == want
    assert log == want_log


# ---------------------------------------------------------------- compile

@pytest.mark.parametrize("lib", [7, None, 2.5])
def test_compile_with_a_non_iterable_lib_raises_the_interpreters_error(lib):
    def reference(lib):
        return libraries(*lib)

    with pytest.raises(TypeError) as want:
        reference(lib)
    with pytest.raises(TypeError) as got:
        comp.compile([], lib=lib)
    assert str(got.value) == str(want.value)
    assert "argument after * must be an iterable" in str(got.value)
