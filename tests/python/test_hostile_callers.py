"""Callers that try to break zaradu.macro and zaradu.compiler from Python: callbacks that walk
the collector's objects, finalizers that change what the module has read, comparisons that
replace what is being bound, and objects that count how often they are read, hashed or
asked for their class. None of them may crash the interpreter, and each case gives what the
module written in Python (tests/support/macro_reference.py) gives on the same inputs: the
same results, the same calls in the same order and number. For `compile` and `assembly` the
reference is a Python function of the same signature."""

import builtins
import gc
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import reference_runs  # noqa: E402
from reference_runs import canonical, outcome  # noqa: E402

import zaradu.compiler as comp  # noqa: E402
import zaradu.macro as M  # noqa: E402
from zaradu.library import Library  # noqa: E402
from zaradu.libs import std  # noqa: E402


def both(case):
    """The case run on the module written in Python, then on the compiled module."""
    return case(reference_runs.python()), case(reference_runs.compiled())


class Lib:
    """A gate library of the given macros."""

    def __init__(self, **macros):
        self.macros = macros

    def getGate(self, name):
        return self.macros.get(name) if isinstance(name, str) else None


def walk_tuples(generation=None):
    """Touches every item of every tuple the collector tracks (of one generation, if given)."""
    for o in gc.get_objects() if generation is None else gc.get_objects(generation):
        if type(o) is tuple:
            [type(x) for x in o]


class WalkingEnv:
    """An environment whose `get` walks the collector's tuples first."""

    def __init__(self, values=()):
        self.values = dict(values)
        self.asked = []

    def get(self, name, default):
        self.asked.append(name)
        walk_tuples()
        return self.values.get(name, default)


class Counted(tuple):
    """A statement that logs the position of every item read from it."""

    def __new__(cls, items, log):
        self = super().__new__(cls, items)
        self.log = log
        return self

    def __getitem__(self, i):
        self.log.append(i)
        return tuple.__getitem__(self, i)


class ClaimsClass:
    """An iterable target that claims another class, logging every time it is asked."""

    def __init__(self, cls, items, log):
        self.cls, self.items, self.log = cls, items, log

    @property
    def __class__(self):
        self.log.append("__class__")
        return self.cls

    def __iter__(self):
        return iter(self.items)

    def __hash__(self):
        self.log.append("hash")
        return 99

    def __repr__(self):
        return f"Claims({self.cls.__name__})"


class Qubit(int):
    """A qubit that logs every hash and comparison made of it."""

    def __new__(cls, v, log):
        self = super().__new__(cls, v)
        self.log = log
        return self

    def __hash__(self):
        self.log.append(("hash", int(self)))
        return int.__hash__(self)

    def __eq__(self, other):
        self.log.append(("eq", int(self)))
        return int.__eq__(self, other)

    def __repr__(self):
        return f"Q{int(self)}"


class SwapsTable(str):
    """A gate name whose first hash replaces the rule table of `ns` by `table`."""

    def __new__(cls, text, ns, table):
        self = super().__new__(cls, text)
        self.ns, self.table = ns, table
        return self

    def __hash__(self):
        if self.ns is not None:
            ns, self.ns = self.ns, None
            ns["_VZ_rules"] = self.table
        return str.__hash__(self)


class Gate:
    """A gate item named "G" whose parameter slice is not iterable."""

    def __getitem__(self, key):
        return "G" if key == 0 else 5

    def __repr__(self):
        return "Gate()"


# ---------------------------------------------------------------- the cases, run on both

def statement_reads_by_lookup(impl):
    log = []
    results = []
    for target in [(0, "a"), "a", 3, [0, 1], 2.5, ClaimsClass(tuple, ["a", 1], log), ClaimsClass(int, [], log)]:
        st = Counted(("G", target), log)
        results.append(canonical(impl.lookup(st, {"a": 7})))
        log.append("|")
    return results, log


def statement_reads_by_call_macro(impl):
    log = []
    got = []
    for gate_item in ["G", ("G", 0.5, 2), Gate()]:
        st = Counted((gate_item, 0), log)
        got.append(outcome(lambda: impl.call_macro(lambda q, *a: [("x", q, a)], st)))
        log.append("|")
    return got, log


def statement_reads_by_extend_macro(impl):
    log = []
    lib = Lib(G=lambda q, *a: [("x", q)])
    prog = [Counted(("define", "a", 5), log), Counted(("G", "a"), log), Counted((("G", 1), ("a", 2)), log),
            Counted((("C", "X"), ("a", 1)), log), Counted(("H", [0]), log)]
    return outcome(lambda: impl.extend_macro(prog, lib)), log


def parameters_that_are_not_iterable(impl):
    gate = lambda q, *a: [("x", q)]  # noqa: E731
    st = (Gate(), 0)
    return outcome(lambda: impl.call_macro(gate, st)), outcome(lambda: impl.extend_macro([st], Lib(G=gate)))


def ravex_error_replaced_by_a_class(impl):
    impl.ns["RavexError"] = lambda message: KeyError

    def gate(q):
        raise ArithmeticError(q)
    return outcome(lambda: impl.call_macro(gate, ("G", 0)))


def rules_raising_generator_exit(impl):
    def rule(st, phases):
        raise GeneratorExit

    def rule_items(st, phases):
        def items():
            yield ("first", st[1])
            raise GeneratorExit
        return items(), phases

    impl.ns["_VZ_rules"].update(GE=rule, GI=rule_items)
    prog = [(("P", 0.5), 0), ("GE", 0), (("P", 0.25), 1), ("GI", 1), ("CZ", (0, 1))]
    return canonical(outcome(lambda: impl.reduceVirtualZ(prog, None)))


def rule_table_replaced_between_its_two_reads(impl):
    other = dict(impl.ns["_VZ_rules"], CZ=lambda st, phases: ([("replaced", st[1])], phases))
    prog = [(("P", 0.5), 0), (SwapsTable("CZ", impl.ns, other), (0, 1)), ("CZ", (0, 1))]
    return canonical(outcome(lambda: impl.reduceVirtualZ(prog, None)))


def qubit_hashes_in_the_store(impl):
    log = []
    a, b = Qubit(0, log), Qubit(1, log)
    prog = [(("P", 0.5), a), ("CZ", (a, b)), ("X", b), (("rfUnitary", 1.0, 0.5), a), ("Measure", (b, a)),
            (("P", 0.25), b), (ClaimsClass(int, [], log), 7)]
    return canonical(outcome(lambda: impl.reduceVirtualZ(prog, None))), log


def single_qubit_targets_that_claim_a_class(impl):
    log = []
    prog = [(("P", 0.5), ClaimsClass(int, [], log)), ("X", ClaimsClass(str, [], log)),
            ("CZ", ClaimsClass(tuple, [0, 1], log))]
    return canonical(outcome(lambda: impl.reduceVirtualZ(prog, None))), log


def missing_names_go_to_the_modules_builtins(impl):
    del impl.ns["head"]
    got = []
    run = "list(extend_macro([('X', 0)], Lib()))"
    try:
        exec(run, {"__builtins__": {"list": list, "head": lambda st: "X"}, "extend_macro": impl.extend_macro,
                   "Lib": Lib})
    except NameError as e:
        got.append(str(e))
    builtins.head = lambda st: st[0]
    try:
        got.append(list(impl.extend_macro([("X", 0)], Lib())))
    finally:
        del builtins.head
    return got


CASES = [statement_reads_by_lookup, statement_reads_by_call_macro,
         statement_reads_by_extend_macro, parameters_that_are_not_iterable, ravex_error_replaced_by_a_class,
         rules_raising_generator_exit, rule_table_replaced_between_its_two_reads, qubit_hashes_in_the_store,
         single_qubit_targets_that_claim_a_class, missing_names_go_to_the_modules_builtins]


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_hostile_caller_gets_what_the_python_gives(case, namespace, rules):
    want, got = both(case)
    assert got == want


def test_env_walking_the_collectors_tuples():
    # The Python's result, as documented: CPython 3.11's own tuple(generator) shows such a walk
    # a tuple it is still filling, so the Python is not run here.
    env = WalkingEnv({3: "q3"})
    assert list(M.extend_macro([("CZ", (0, 1, 2, 3, 4))], Lib(), env)) == [("CZ", (0, 1, 2, "q3", 4))]
    assert env.asked == [0, 1, 2, 3, 4]
    assert M.lookup(("CZ", (0, 1, 2, 3, 4)), env) == ("CZ", (0, 1, 2, "q3", 4))


# ---------------------------------------------------------------- finalizers during allocations

class Shrinks:
    """Garbage (a cycle) whose finalizer empties the list `items` from position `keep` on."""

    def __init__(self, items, keep):
        self.items, self.keep, self.me = items, keep, self

    def __del__(self):
        del self.items[self.keep:]


def collected_during_the_call(call, make_garbage, thresholds=range(1, 12), rounds=20):
    """`call()` again and again, each time just after `make_garbage()` with a collection due
    within the next few allocations, so that the garbage's finalizer runs inside the call."""
    results = []
    saved = gc.get_threshold()
    try:
        for t in thresholds:
            for k in range(rounds):
                gc.collect(0)
                make_garbage()
                gc.set_threshold(t)
                for _ in range(k):
                    [].append(None)
                results.append(call())
                gc.set_threshold(*saved)
    finally:
        gc.set_threshold(*saved)
    return results


def test_a_list_gate_shrunk_while_its_rest_is_unpacked(rules):
    gate = []
    tail = [float(i) + 0.5 for i in range(40)]

    def fill():
        gate[:] = ["rfUnitary", 1.0, 0.75] + tail
        Shrinks(gate, 3)

    results = collected_during_the_call(lambda: M._VZ_rfUnitary((gate, 0), [0.25]), fill)
    for (emitted, phases) in results:
        (name, theta, phi, *rest), qubit = emitted[0]
        # What the list held at one moment: the rest as it was, or as the finalizer left it.
        assert (name, theta, phi, qubit) == ("rfUnitary", 1.0, 0.5, 0) and rest in (tail, [])


def test_a_signature_made_while_the_defaults_are_replaced():
    saved = comp.compile.__defaults__
    full = str(inspect.signature(comp.compile))

    class Replaces:
        def __init__(self):
            self.me = self

        def __del__(self):
            comp.compile.__defaults__ = ()

    try:
        comp.compile.__defaults__ = ()
        empty = str(inspect.signature(comp.compile))

        def call():
            s = str(inspect.signature(comp.compile))
            comp.compile.__defaults__ = saved
            return s
        results = collected_during_the_call(call, Replaces, thresholds=range(1, 20), rounds=3)
    finally:
        comp.compile.__defaults__ = saved
    # Made from one reading of the defaults, as inspect reads a Python function's.
    assert set(results) <= {full, empty} and empty != full


# ---------------------------------------------------------------- binding compile's arguments

def python_function(name):
    """A Python function with the parameters and defaults of `compile` or `assembly`, whose
    body gives what it was called with."""
    if name == "compile":
        def fn(prog, cfg=None, lib=std, context=None, **options):
            if context is not None and type(context) is not dict:
                raise TypeError(f"Argument 'context' has incorrect type (expected dict, got {type(context).__name__})")
            return list(M.extend_macro(prog, lib))
    else:
        def fn(ravex, cfg=None, lib=std, ctx=None, align="left"):
            return [ravex, cfg, lib, ctx, align]
    fn.__qualname__ = fn.__name__ = name
    return fn


class Keyword(str):
    """A keyword whose comparison with a parameter name first sets an attribute of `fn`."""

    def __new__(cls, text, fn, attr, value):
        self = super().__new__(cls, text)
        self.fn, self.attr, self.value = fn, attr, value
        return self

    def __eq__(self, other):
        setattr(self.fn, self.attr, self.value)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class Defaults(tuple):
    pass


LIB = Library("hostile", {"M": lambda q: [("expanded", q)]})
NEW_DEFAULTS = [None, (), (LIB,), ("x", "y", None, LIB, None), Defaults((None, LIB, None))]
REPLACEMENTS = [("__defaults__", d) for d in NEW_DEFAULTS] + [("__qualname__", "renamed")]


def bound(fn, call):
    try:
        return "result", call(fn)
    except Exception as e:
        return type(e).__name__, str(e)


@pytest.mark.parametrize("attr, value", REPLACEMENTS, ids=repr)
@pytest.mark.parametrize("keywords", [{"prog": [("M", 0)], "no_virtual_z": 1}, {"zz": 1}], ids=["prog", "zz"])
def test_compile_binding_while_a_keyword_replaces_the_function(attr, value, keywords):
    results = []
    for fn in (python_function("compile"), comp.compile):
        saved = fn.__defaults__, fn.__qualname__
        first, *rest = keywords
        try:
            results.append(bound(fn, lambda f: f(**{Keyword(first, f, attr, value): keywords[first]},
                                                 **{k: keywords[k] for k in rest})))
        finally:
            fn.__defaults__, fn.__qualname__ = saved
    assert results[1] == results[0]


@pytest.mark.parametrize("defaults", NEW_DEFAULTS, ids=repr)
@pytest.mark.parametrize("name", ["compile", "assembly"])
def test_replaced_defaults_are_used_as_a_python_functions(name, defaults):
    calls = {"compile": [lambda f: f([("M", 0)], no_virtual_z=1), lambda f: f(1, 2, 3, 4, 5)],
             "assembly": [lambda f: f(1, 2, 3, 4, 5, 6), lambda f: f(**{Keyword("zz", f, "__qualname__", "x"): 1})]}
    results = []
    for fn in (python_function(name), getattr(comp, name)):
        saved = fn.__defaults__
        try:
            fn.__defaults__ = defaults
            results.append([bound(fn, c) for c in calls[name]])
        finally:
            fn.__defaults__, fn.__qualname__ = saved, name
    assert results[1] == results[0]


def test_a_longer_defaults_tuple_gives_its_last_values(monkeypatch):
    monkeypatch.setattr(comp, "assembly_align_left", lambda ravex, ctx, lib: ("left", list(ravex), lib))
    fn = comp.assembly
    saved = fn.__defaults__
    try:
        fn.__defaults__ = ("x", "ignored", None, LIB, "ctx", "left")
        assert fn(iter([("A", 0)])) == ("left", [("A", 0)], LIB)
    finally:
        fn.__defaults__ = saved


# ---------------------------------------------------------------- NumPy whose float64 is no float

FAKE_NUMPY = '''
"""A NumPy stand-in whose float64 is not laid out as a float."""
import math
pi = math.pi


class float64:
    __slots__ = ("v",)

    def __init__(self, v):
        self.v = float(v)

    def _other(self, o):
        return o.v if isinstance(o, float64) else o

    def __add__(self, o): return float64(self.v + self._other(o))
    def __radd__(self, o): return float64(self._other(o) + self.v)
    def __sub__(self, o): return float64(self.v - self._other(o))
    def __rsub__(self, o): return float64(self._other(o) - self.v)
    def __ne__(self, o): return self.v != self._other(o)
    def __eq__(self, o): return self.v == self._other(o)
    def __repr__(self): return f"f64({self.v!r})"


def mod(x, y):
    return float64((x.v if isinstance(x, float64) else x) % y)


def cos(x):
    return float64(math.cos(x.v if isinstance(x, float64) else x))
'''


def test_a_float64_not_laid_out_as_a_float_is_never_read_as_one(tmp_path):
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text(FAKE_NUMPY)
    support = Path(__file__).resolve().parents[1] / "support"
    code = textwrap.dedent("""
        import numpy, reference_runs
        assert not isinstance(numpy.float64(0), float)
        prog = [(("P", 2 * numpy.pi), 0), (("P", numpy.float64(0.5)), 1), (("rfUnitary", 1.0, numpy.float64(2.0)), 1),
                ("X", 0), ("CZ", (0, 1))]
        for impl in (reference_runs.python(), reference_runs.compiled()):
            print(repr(list(impl.reduceVirtualZ(prog, None))))
    """)
    path = os.pathsep.join([str(tmp_path), str(support)] + [p for p in sys.path if p])
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=path))
    assert r.returncode == 0, r.stderr
    want, got = r.stdout.splitlines()
    assert got == want
