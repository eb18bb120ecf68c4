"""zaradu.macro while its generators run: module attributes replaced in the middle of a
stream (also by a callback within one statement) take effect at their next use, the rule
table is consulted as the dispatcher's two lookups would consult it, the gate library's
getGate is looked up as a method call for every statement, a macro's list is read as its
iterator would read it, and statements passed on can still be collected in cycles."""

import builtins
import functools
import gc
import sys
import types
import weakref
from pathlib import Path

import pytest

import zaradu.macro as macro
from zaradu.base import head as base_head
from suite_env import numpy_only

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import macro_reference as reference  # noqa: E402

a = 0.5


class Lib:
    """A fake gate library: a dict of macros."""

    def __init__(self, **macros):
        self.macros = macros

    def getGate(self, name):
        return self.macros.get(name)


# ---- extend_macro ------------------------------------------------------------------------

EXPAND_PROG = [("X", 0), ("M", 1), (("C", "Z"), (0, 1)), ("define", "a", 5), ("Y", "a")]


@numpy_only("the ravex stand-in's matrices (controlled gates)")
@pytest.mark.parametrize("name, replacement, want", [
    (None, None, [("A", 1), ("B", 1), ("CZ", (0, 1)), ("Y", 5)]),
    ("lookup", lambda st, env: (st[0], "L"), [("A", "L"), ("B", "L"), ("CZ", "L"), ("Y", "L")]),
    ("_lookup", lambda name, env: f"<{name}>", [("A", "<<1>>"), ("B", "<<1>>"), ("CZ", ("<0>", "<1>")), ("Y", "<a>")]),
    ("extend_control_gate", lambda st, scope: [("E", st[1])], [("A", 1), ("B", 1), ("E", (0, 1)), ("Y", 5)]),
    ("call_macro", lambda gate, st: iter([("K", st[1])]), [("K", 1), ("CZ", (0, 1)), ("Y", 5)]),
    ("define_macro", lambda n, v, env: env.__setitem__(n, v * 2), [("A", 1), ("B", 1), ("CZ", (0, 1)), ("Y", 10)]),
    ("head", lambda st: "N" if base_head(st) == "M" else base_head(st), [("M", 1), ("CZ", (0, 1)), ("Y", 5)]),
    ("extend_macro", lambda r, lib, env: iter([("W", r[0][1])]), [("W", 1), ("W", 1), ("CZ", (0, 1)), ("Y", 5)]),
], ids=lambda v: v if isinstance(v, str) or v is None else "")
def test_expansion_sees_a_name_replaced_between_two_draws(monkeypatch, name, replacement, want):
    g = macro.extend_macro(EXPAND_PROG, Lib(M=lambda q: [("A", q), ("B", q)]))
    assert next(g) == ("X", 0)
    if name:
        monkeypatch.setattr(macro, name, replacement)
    assert list(g) == want


def test_head_replaced_by_head_takes_effect_at_its_next_call(monkeypatch):
    calls = []

    def second(st):
        calls.append("second")
        return base_head(st)

    def first(st):
        calls.append("first")
        monkeypatch.setattr(macro, "head", second)
        return base_head(st)

    monkeypatch.setattr(macro, "head", first)
    assert list(macro.extend_macro([("H", 0), ("G", 1)], Lib())) == [("H", 0), ("G", 1)]
    assert calls == ["first", "second", "second", "second", "second", "second"]


class CallableHead:
    def __init__(self, fn):
        self.fn = fn

    def __call__(self, st):
        return self.fn(st)


@pytest.mark.parametrize("wrap", [functools.partial, CallableHead], ids=["partial", "instance"])
def test_head_that_takes_itself_off_the_module_while_it_runs(monkeypatch, wrap):
    # The module's attribute holds the only reference to the callable, which the call drops.
    calls = []

    def off(st):
        calls.append("off")
        macro.head = base_head
        return base_head(st)

    monkeypatch.setattr(macro, "head", wrap(off))
    assert list(macro.extend_macro([("H", 0), ("G", 1)], Lib())) == [("H", 0), ("G", 1)]
    assert calls == ["off"]
    monkeypatch.setattr(macro, "head", wrap(off))
    assert list(macro.reduceVirtualZ([("CZ", 0), ("CZ", 1)], Lib())) == [("CZ", 0), ("CZ", 1)]
    assert calls == ["off", "off"]


def test_names_replaced_and_restored_by_a_macro(monkeypatch):
    # The macro swaps `lookup` while the statement that called it is being expanded; the
    # statements it produces, and the ones after, see each version at the time of use.
    real = macro.lookup

    def m(q):
        monkeypatch.setattr(macro, "lookup", lambda st, env: (st[0], "L"))
        yield ("A", q)
        monkeypatch.setattr(macro, "lookup", real)
        yield ("B", q)

    out = list(macro.extend_macro([("M", "x"), ("Z", "x")], Lib(M=m), {"x": 1}))
    assert out == [("A", "L"), ("B", 1), ("Z", 1)]


# ---- reduceVirtualZ ------------------------------------------------------------------------

REDUCE_PROG = [("CZ", 0), (("P", 5.0), 0), ("CZ", 0), (("rfUnitary", 1.0, 2.0), 0)]


def plus_100(x, y):
    return x + 100


@pytest.mark.parametrize("name, replacement, want", [
    (None, None, [("CZ", 0), (("rfUnitary", 1.0, 2.0 - 5.0), 0), (("P", 5.0), 0)]),
    ("_VZ_rules", {"CZ": macro._VZ_exchangable},
     [(("P", 5.0), 0), ("CZ", 0), (("rfUnitary", 1.0, 2.0), 0)]),
    ("_exchange_VZ_and_gate", lambda st, pl, lib: ([("D", st[1])], pl), [("D", 0), ("D", 0), ("D", 0)]),
    # The first statement's phase update comes after its yield, with the new `mod`.
    ("mod", plus_100, [("CZ", 0), (("rfUnitary", 1.0, 2.0 - 405.0), 0), (("P", 505.0), 0)]),
    ("pi", 1.0, [("CZ", 0), (("rfUnitary", 1.0, 1.0), 0), (("P", 1.0), 0)]),
    ("head", lambda st: "CZ", [(("P", 5.0), 0), ("CZ", 0), (("rfUnitary", 1.0, 2.0), 0)]),
], ids=lambda v: v if isinstance(v, str) or v is None else "")
def test_reduction_sees_a_name_replaced_between_two_draws(monkeypatch, name, replacement, want):
    g = macro.reduceVirtualZ(REDUCE_PROG, None)
    assert next(g) == ("CZ", 0)
    if name:
        monkeypatch.setattr(macro, name, replacement)
    assert list(g) == want


def cz(st):
    return "CZ"


# Every kind of change of the namespace, made between two draws.
NAMESPACE_CHANGES = {
    "assigned": lambda ns: ns.__setitem__("head", cz),
    "updated": lambda ns: ns.update(head=cz),
    "deleted and added": lambda ns: (ns.pop("head"), ns.__setitem__("head", cz)),
    "popped and set by default": lambda ns: (ns.pop("head"), ns.setdefault("head", cz)),
    "cleared and refilled": lambda ns: (lambda saved: (ns.clear(), ns.update(saved)))(dict(ns, head=cz)),
}


@pytest.mark.parametrize("change", NAMESPACE_CHANGES.values(), ids=NAMESPACE_CHANGES.keys())
def test_reduction_sees_every_kind_of_namespace_change(namespace, change):
    g = macro.reduceVirtualZ(REDUCE_PROG, None)
    assert next(g) == ("CZ", 0)
    change(namespace)
    assert list(g) == [(("P", 5.0), 0), ("CZ", 0), (("rfUnitary", 1.0, 2.0), 0)]


def test_a_deleted_name_is_found_among_the_builtins_or_missed(namespace, monkeypatch):
    g = macro.extend_macro([("X", 0), ("Y", 1), ("Z", 2)], Lib())
    assert next(g) == ("X", 0)
    del namespace["lookup"]
    monkeypatch.setattr(builtins, "lookup", lambda st, env: (st[0], "B"), raising=False)
    assert next(g) == ("Y", "B")
    monkeypatch.delattr(builtins, "lookup")
    with pytest.raises(NameError, match="name 'lookup' is not defined"):
        next(g)


def test_names_replaced_by_a_rule_take_effect_within_its_statement(monkeypatch, rules):
    # The rule replaces `mod` and `pi`; the phase update of the same statement uses both.
    calls = []

    def my_mod(x, y):
        calls.append((x, y))
        return x

    def rule(st, pl):
        monkeypatch.setattr(macro, "mod", my_mod)
        monkeypatch.setattr(macro, "pi", 3)
        return [st], [0.25]

    macro.add_VZ_rule("G", rule)
    out = list(macro.reduceVirtualZ([("CZ", 0), ("G", 0)], None))
    assert out == [("CZ", 0), ("G", 0), (("P", 0.25), 0)]
    assert calls == [(0.25, 6)]


def test_rule_added_by_a_rule_applies_to_the_next_statement(rules):
    def adder(st, pl):
        macro.add_VZ_rule("H", lambda st, pl: ([("H!", st[1])], pl))
        return [st], pl

    macro.add_VZ_rule("G", adder)
    assert list(macro.reduceVirtualZ([("H", 0), ("G", 0), ("H", 0)], None)) == [("H", 0), ("G", 0), ("H!", 0)]


class Key:
    """A rule-table key that stands for the gate name "K" and counts its comparisons."""

    def __init__(self):
        self.eqs = 0

    def __hash__(self):
        return hash("K")

    def __eq__(self, other):
        self.eqs += 1
        return other == "K"


@pytest.mark.parametrize("added_after_first", [False, True])
def test_table_with_keys_of_other_types_is_consulted_twice(rules, added_after_first):
    key = Key()
    g = macro.reduceVirtualZ([("CZ", 0), ("K", 0), ("K", 1)], None)
    if not added_after_first:
        macro.add_VZ_rule(key, macro._VZ_exchangable)
    assert next(g) == ("CZ", 0)
    if added_after_first:
        macro.add_VZ_rule(key, macro._VZ_exchangable)
    assert key.eqs == 0
    assert next(g) == ("K", 0)
    assert key.eqs == 2  # `name in _VZ_rules`, then `_VZ_rules[name]`
    assert list(g) == [("K", 1)]
    assert key.eqs == 4


def test_key_kinds_of_a_replaced_table_are_learnt_afresh(monkeypatch):
    # The first table is known to have only str keys; the second one gets another kind of
    # key after a statement has been dispatched through it.
    key = Key()
    table = {"CZ": macro._VZ_exchangable}
    g = macro.reduceVirtualZ([("CZ", 0), ("CZ", 0), ("K", 1), ("K", 1)], None)
    assert next(g) == ("CZ", 0)
    monkeypatch.setattr(macro, "_VZ_rules", table)
    assert next(g) == ("CZ", 0)
    table[key] = macro._VZ_exchangable
    assert next(g) == ("K", 1)
    assert key.eqs == 2
    macro.__dict__["_VZ_rules"].clear()
    assert next(g) == ("K", 1)  # no rule: emitted as it is
    assert key.eqs == 2


# ---- getGate -------------------------------------------------------------------------------

class PropertyLib:
    """getGate is a property: every look-up is recorded."""

    def __init__(self, log):
        self.log = log

    @property
    def getGate(self):
        self.log.append("lookup")
        return lambda name: self.log.append(("getGate", name))


class GetattrLib:
    def __init__(self, log):
        self.log = log

    def __getattr__(self, attr):
        self.log.append("lookup")
        return lambda name: self.log.append((attr, name))


class SlotsLib:
    __slots__ = ("log",)

    def __init__(self, log):
        self.log = log

    def getGate(self, name):
        self.log.append(("getGate", name))


def instance_attribute(log):
    lib = Lib()  # its instance attribute hides the class's method
    lib.getGate = lambda name: log.append(("instance", name))
    return lib


@pytest.mark.parametrize("make, per_statement", [
    (PropertyLib, ["head", "head", "lookup", "head", ("getGate", "H")]),
    (GetattrLib, ["head", "head", "lookup", "head", ("getGate", "H")]),
    (SlotsLib, ["head", "head", "head", ("getGate", "H")]),
    (instance_attribute, ["head", "head", "head", ("instance", "H")]),
], ids=["property", "getattr", "slots", "instance"])
def test_getGate_is_looked_up_before_the_third_head_call_of_each_statement(monkeypatch, make, per_statement):
    log = []
    monkeypatch.setattr(macro, "head", lambda st: log.append("head") or base_head(st))
    lib = make(log)
    assert list(macro.extend_macro([("H", 0), ("H", 1)], lib)) == [("H", 0), ("H", 1)]
    assert log == per_statement * 2


@pytest.mark.parametrize("where", ["class", "instance"])
def test_getGate_replaced_between_two_statements(monkeypatch, where):
    class MyLib(Lib):
        pass

    lib = MyLib()
    g = macro.extend_macro([("H", 0), ("H", 1)], lib)
    assert next(g) == ("H", 0)
    replacement = lambda *args: (lambda q: [("R", q)]) if args[-1] == "H" else None  # noqa: E731
    if where == "class":
        monkeypatch.setattr(MyLib, "getGate", replacement)
    else:
        lib.getGate = replacement
    assert list(g) == [("R", 1)]


def test_getGate_of_other_callables():
    lib = types.SimpleNamespace(getGate={"H": lambda q: [("h", q)]}.get)
    assert list(macro.extend_macro([("H", 0), ("X", 1)], lib)) == [("h", 0), ("X", 1)]
    with pytest.raises(AttributeError, match="getGate"):
        list(macro.extend_macro([("H", 0)], object()))


class Gates:
    """The callable that getGate gives in the libraries below: a macro for "H" only."""

    def __call__(self, name):
        return (lambda q: [("h", q)]) if name == "H" else None


class ClassMethodLib:
    @classmethod
    def getGate(cls, name):
        return Gates()(name)


class GetattributeLib:
    def __getattribute__(self, attr):
        if attr != "getGate":
            raise AttributeError(attr)
        return Gates()


class FailingPropertyLib:
    @property
    def getGate(self):
        raise LookupError("no getGate today")


# getGate as every kind of attribute, and missing: the statements, or the error, as the
# Python's method call gives them, whether the module looks methods up with the
# interpreter's own lookup or as attributes (builds on the public API alone).
GETGATE_KINDS = {
    "static method": type("StaticLib", (), {"getGate": staticmethod(Gates())})(),
    "class method": ClassMethodLib(),
    "callable class attribute": type("CallableLib", (), {"getGate": Gates()})(),
    "__getattribute__": GetattributeLib(),
    "builtin method": types.SimpleNamespace(getGate={"H": lambda q: [("h", q)]}.get),
    "failing property": FailingPropertyLib(),
    "missing": type("NoGetGate", (), {"__slots__": ()})(),
}


@pytest.mark.parametrize("lib", GETGATE_KINDS.values(), ids=GETGATE_KINDS.keys())
def test_getGate_of_every_kind_of_attribute_as_the_python_calls_it(lib):
    def outcome(extend_macro):
        out = []
        try:
            out.extend(extend_macro([("H", 0), ("X", 1)], lib))
        except Exception as e:  # noqa: B902
            return out, type(e), str(e)
        return out, None, None

    assert outcome(macro.extend_macro) == outcome(reference.extend_macro)


# ---- a macro's output ------------------------------------------------------------------------

@pytest.mark.parametrize("change, want", [
    (lambda out: None, [("A", 0), ("B", 0), ("Z", 1)]),
    (lambda out: out.append(("D", 0)), [("A", 0), ("B", 0), ("D", 0), ("Z", 1)]),
    (lambda out: out.clear(), [("A", 0), ("Z", 1)]),
    (lambda out: out.__setitem__(1, ("b", 0)), [("A", 0), ("b", 0), ("Z", 1)]),
], ids=["unchanged", "grown", "emptied", "replaced"])
def test_macro_list_changed_while_it_is_drawn(change, want):
    produced = []

    def m(q):
        produced[:] = [("A", q), ("B", q)]
        return produced

    g = macro.extend_macro([("M", 0), ("Z", 1)], Lib(M=m))
    first = next(g)
    change(produced)
    assert [first] + list(g) == want


# ---- statements passed on ----------------------------------------------------------------

class Node:
    pass


NODE = Node()


@pytest.mark.parametrize("st, want, tracked", [
    (("H", "a"), ("H", 7), False),
    (("H", ("a", 1)), ("H", (7, 1)), False),
    ((("rz", 0.5), ("a",)), (("rz", 0.5), (7,)), False),
    ((["H"], 0), (["H"], 0), True),
    ((("H", NODE), "a"), (("H", NODE), 7), True),
    (("H", (NODE, "a")), ("H", (NODE, 7)), True),
])
def test_resolved_statements_are_tracked_only_when_they_hold_containers(st, want, tracked):
    out = macro.lookup(st, {"a": 7})
    assert out == want
    assert gc.is_tracked(out) is tracked


@numpy_only("NumPy's float64, a type the cycle collector does not track")
@pytest.mark.parametrize("prog, want", [
    ([(("P", a), 0), (("rfUnitary", 1.0, 2.0), 0)], [(("rfUnitary", 1.0, 2.0 - a), 0), (("P", a), 0)]),
    ([(("P", a), 0), ("X", 0)], [(("P", a), 0)]),
])
def test_reduced_statements_of_atomic_items_are_not_tracked(prog, want):
    made = [st for st in macro.reduceVirtualZ(prog, None) if all(st is not p for p in prog)]
    assert made == want
    for st in made:
        assert not gc.is_tracked(st) and not gc.is_tracked(st[0])


@pytest.mark.parametrize("make", [
    lambda n: macro.lookup(((n,), "a"), {}),
    lambda n: macro.lookup(("H", (n, "a")), {}),
    lambda n: next(macro.extend_macro([("H", ("q", n))], Lib(), {"q": 1})),
    lambda n: next(macro.reduceVirtualZ([(("rfUnitary", 1.0, 2.0, n), 0)], None)),
], ids=["gate item", "target", "expansion", "reduction"])
def test_cycles_through_passed_on_statements_are_collected(make):
    n = Node()
    alive = weakref.ref(n)
    n.st = make(n)
    assert gc.is_tracked(n.st)
    del n
    gc.collect()
    assert alive() is None
