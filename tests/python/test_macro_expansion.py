"""Macro expansion of zaradu.macro: name resolution, definitions, library macros, error
conversion and the generator protocol of call_macro and extend_macro."""

import gc
import inspect
import sys
import tracemalloc

import pytest

import zaradu.macro as macro
from zaradu.base import RavexError
from suite_env import numpy_only


class Lib:
    """A fake gate library: a dict of macros, recording every getGate call."""

    def __init__(self, **macros):
        self.macros = macros
        self.asked = []

    def getGate(self, name):
        self.asked.append(name)
        return self.macros.get(name)


def expand(prog, lib=None, env=None):
    return list(macro.extend_macro(prog, lib or Lib(), env))


class NoGet:
    pass


class BadGet:
    def get(self, k, d):
        raise RuntimeError("get failed")


@pytest.mark.parametrize("name, env, want", [
    ("a", {"a": 1}, 1),
    ("b", {"a": 1}, "b"),
    ([1], {"a": 1}, [1]),       # unhashable: the name comes back
    ("a", NoGet(), "a"),
    ("a", BadGet(), "a"),
    (3, {3: "q3"}, "q3"),
])
def test__lookup(name, env, want):
    assert macro._lookup(name, env) == want
    assert macro._lookup(env=env, name=name) == want


class Tup(tuple):
    pass


class Str(str):
    pass


def test_lookup_shapes():
    env = {"a": 0, "b": 1, True: "t"}
    assert macro.lookup(("H", "a"), env) == ("H", 0)
    assert macro.lookup(("H", ("a", "b", "c")), env) == ("H", (0, 1, "c"))
    assert macro.lookup(("H", Tup(("a",))), env) == ("H", (0,))
    assert type(macro.lookup(("H", Tup(("a",))), env)[1]) is tuple
    assert macro.lookup(("H", Str("a")), env) == ("H", 0)
    assert macro.lookup(("H", True), env) == ("H", "t")
    assert macro.lookup(("H", "a", "extra"), env) == ("H", 0)  # only two items are kept
    st = ("H", ["a", "b"])
    assert macro.lookup(st, env) is st
    st = ("H", 1.5, "x")
    assert macro.lookup(st, env) is st
    with pytest.raises(IndexError):
        macro.lookup(("H",), env)


def test_define_macro():
    env = {}
    assert macro.define_macro("q", 5, env) is None
    assert macro.define_macro(env=env, value=6, name="r") is None
    assert env == {"q": 5, "r": 6}


def test_definitions_apply_to_later_statements_only():
    prog = [("H", "q"), ("define", "q", 7), ("H", "q"), ("CZ", ("q", "r")), ("X", ["q"])]
    assert expand(prog) == [("H", "q"), ("H", 7), ("CZ", (7, "r")), ("X", ["q"])]


def test_unknown_gates_pass_with_resolved_target():
    lib = Lib()
    assert expand([(("u3", 1, 2, 3), "a", "junk")], lib, {"a": 0}) == [(("u3", 1, 2, 3), 0)]
    assert lib.asked == ["u3"]


def test_macros_expand_depth_first_with_one_environment():
    lib = Lib(
        Bell=lambda q: [("define", "tmp", q[0]), ("H", q[0]), ("Pair", q)],
        Pair=lambda q: [("CZ", q), ("define", "late", 9)],
        Rot=lambda q, angle, axis: [((axis, angle), q)],
    )
    env = {"x": 0}
    prog = [("Bell", ("x", "y")), ("H", "tmp"), (("Rot", 0.5, "Rx"), "late"), ("Z", "late")]
    assert expand(prog, lib, env) == [("H", 0), ("CZ", (0, "y")), ("H", 0), (("Rx", 0.5), 9), ("Z", 9)]
    assert env == {"x": 0, "tmp": 0, "late": 9}
    assert lib.asked == ["Bell", "H", "Pair", "CZ", "H", "Rot", "Rx", "Z"]


class IntEq(str):
    """A str key that a dict lookup of the int 4 finds."""

    def __hash__(self):
        return hash(4)

    def __eq__(self, other):
        return other == 4 or str.__eq__(self, other)


def _define_int(env):
    env[5] = "q5"


def _replace_key(env):
    del env["a"]
    env[IntEq("x")] = "hit"


def _rebind(env):
    env.clear()
    env.update({"a": 1, 4: "four"})


@pytest.mark.parametrize("env, prog, between, want", [
    # a definition of an int name inside the stream
    ({"a": 0}, [("H", 3), ("define", 3, "q3"), ("H", 3), ("CZ", (3, "a"))], None,
     [("H", 3), ("H", "q3"), ("CZ", ("q3", 0))]),
    # keys that are not all exact str from the start
    ({IntEq("x"): "hit"}, [("H", 4), ("H", "x")], None, [("H", "hit"), ("H", "x")]),
    ({"a": 0, 4: "four"}, [("H", 4), ("CZ", (4, 5))], None, [("H", "four"), ("CZ", ("four", 5))]),
    # the environment changed by the consumer between two draws
    ({"a": 0}, [("H", 5), ("H", 5)], _define_int, [("H", 5), ("H", "q5")]),
    ({"a": 0}, [("H", 4), ("CZ", (4, "a"))], _replace_key, [("H", 4), ("CZ", ("hit", "a"))]),
    ({"a": 0}, [("H", 4), ("CZ", (4, "a"))], _rebind, [("H", 4), ("CZ", ("four", 1))]),
])
def test_int_targets_see_every_change_of_the_environment(env, prog, between, want):
    g = macro.extend_macro(prog, Lib(), env)
    out = [next(g)]
    if between:
        between(env)
    out.extend(g)
    assert out == want


@numpy_only("the ravex stand-in's matrices (controlled gates)")
def test_head_calls_per_statement(monkeypatch):
    seen = []
    real = macro.head
    monkeypatch.setattr(macro, "head", lambda st: seen.append(st) or real(st))
    lib = Lib()
    g = macro.extend_macro([("define", "q", 1), (("C", "Z"), ("q", 2)), ("H", "q")], lib)
    assert seen == []
    assert list(g) == [("CZ", (1, 2)), ("H", 1)]
    assert seen == [("define", "q", 1),
                    (("C", "Z"), ("q", 2)), (("C", "Z"), ("q", 2)),
                    ("H", "q"), ("H", "q"), ("H", 1)]


def test_empty_program_calls_nothing(monkeypatch):
    monkeypatch.setattr(macro, "head", lambda st: pytest.fail("head called"))
    lib = Lib()
    assert expand([], lib) == [] and lib.asked == []


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    calls = []
    monkeypatch.setattr(macro, "lookup", lambda st, env: calls.append("lookup") or (st[0], "L"))
    monkeypatch.setattr(macro, "define_macro", lambda n, v, e: calls.append(("define", n, v)))
    monkeypatch.setattr(macro, "extend_control_gate", lambda st, scope: calls.append(("ecg", scope)) or [("E", 1)])
    lib = Lib(M=lambda q: [("N", q)])
    monkeypatch.setattr(macro, "call_macro", lambda gate, st: calls.append("cm") or iter([("K", 0)]))
    out = expand([("define", "a", 1), (("C", "H"), 0), ("M", 0)], lib)
    assert out == [("E", 1), ("K", "L")]
    assert calls == [("define", "a", 1), "lookup", ("ecg", lib), "lookup", "cm", "lookup"]


def test_replaced_lookup_helper_and_extend_macro(monkeypatch):
    monkeypatch.setattr(macro, "_lookup", lambda name, env: f"<{name}>")
    assert macro.lookup(("H", ("a", "b")), {}) == ("H", ("<a>", "<b>"))
    monkeypatch.undo()
    inner = []
    real = macro.extend_macro
    monkeypatch.setattr(macro, "extend_macro", lambda r, l, e: inner.append(r) or real(r, l, e))
    lib = Lib(M=lambda q: [("A", q), ("B", q)])
    assert list(real([("M", 0)], lib)) == [("A", 0), ("B", 0)]
    assert inner == [[("A", 0)], [("B", 0)]]


def test_call_macro_arguments():
    got = []
    gate = lambda *a: got.append(a) or [("X", 0)]
    assert list(macro.call_macro(gate, ("M", (0, 1)))) == [("X", 0)]
    assert list(macro.call_macro(st=(("M", 1, 2), "q"), gate=gate)) == [("X", 0)]
    assert list(macro.call_macro(gate, (["M", 3], "q"))) == [("X", 0)]
    assert got == [((0, 1),), ("q", 1, 2), ("q", 3)]


def failing_iter():
    yield ("ok", 0)
    raise KeyError("inside")


@pytest.mark.parametrize("gate, st, context", [
    (lambda q: 1 / 0, ("M", 0), ZeroDivisionError),
    (lambda q: 5, ("M", 0), TypeError),
    (lambda q, x: failing_iter(), (("M", 1.5), ("a", 1)), KeyError),
    (lambda q, x: [], (("M",), 0), TypeError),
])
def test_errors_become_ravex_error(gate, st, context):
    g = macro.call_macro(gate, st)
    with pytest.raises(RavexError) as info:
        list(g)
    assert str(info.value) == f"extend macro {st} error."
    assert type(info.value.__context__) is context
    assert list(g) == []


def test_extend_macro_conversion_and_passthrough_of_other_errors():
    lib = Lib(M=lambda q: 1 / 0)
    g = macro.extend_macro([("H", 0), ("M", "a")], lib, {"a": 3})
    assert next(g) == ("H", 0)
    with pytest.raises(RavexError, match=r"^extend macro \('M', 3\) error\.$"):
        next(g)
    with pytest.raises(StopIteration):
        next(g)

    class BadLib:
        def getGate(self, name):
            raise LookupError("lib")
    with pytest.raises(LookupError, match="lib"):
        expand([("H", 0)], BadLib())
    with pytest.raises(IndexError):
        expand([("define", "a")])
    with pytest.raises(IndexError):
        expand([("H",)])


def test_step_one_and_two_errors_are_not_converted():
    with pytest.raises(IndexError):
        list(macro.call_macro(lambda q: [], ("M",)))
    with pytest.raises(TypeError):
        list(macro.call_macro(lambda q: [], (5, 0)))


def test_ravex_error_is_looked_up_when_raised(monkeypatch):
    class Mine(Exception):
        pass
    monkeypatch.setattr(macro, "RavexError", Mine)
    with pytest.raises(Mine, match="extend macro"):
        list(macro.call_macro(lambda q: None, ("M", 0)))


def test_call_macro_delegates_send_and_throw():
    log = []

    def gen_macro(q):
        log.append((yield ("a", q)))
        try:
            yield ("b", q)
        except ValueError as e:
            log.append(e)
            yield ("c", q)

    g = macro.call_macro(gen_macro, ("M", 0))
    assert next(g) == ("a", 0)
    assert g.send("sent") == ("b", 0)
    assert g.throw(ValueError("v")) == ("c", 0)
    with pytest.raises(StopIteration):
        next(g)
    assert log[0] == "sent" and isinstance(log[1], ValueError)


def test_throw_that_the_macro_does_not_handle_is_converted():
    g = macro.call_macro(lambda q: iter([("a", q), ("b", q)]), ("M", 0))
    next(g)
    with pytest.raises(RavexError) as info:
        g.throw(KeyError("k"))
    assert type(info.value.__context__) is KeyError


def test_close_while_suspended_in_macro_output_raises_ravex_error():
    g = macro.call_macro(lambda q: [("a", q), ("b", q)], ("M", 0))
    assert next(g) == ("a", 0)
    with pytest.raises(RavexError, match=r"extend macro \('M', 0\) error\.") as info:
        g.close()
    assert type(info.value.__context__) is GeneratorExit
    assert g.close() is None
    # Not started or finished: close is quiet.
    macro.call_macro(None, None).close()


def test_generator_objects():
    g = macro.extend_macro([("H", 0)], Lib())
    assert g.__name__ == "extend_macro" and g.__qualname__ == "extend_macro"
    assert "generator object extend_macro" in repr(g)
    assert iter(g) is g
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        g.send(1)
    assert next(g) == ("H", 0)
    c = macro.call_macro(None, None)
    assert c.__name__ == "call_macro" and c.__qualname__ == "call_macro"
    with pytest.raises(KeyError):
        c.throw(KeyError)  # thrown before start: raised at once, the generator ends
    with pytest.raises(StopIteration):
        next(c)


def test_reentry_raises_value_error():
    holder = {}

    def gate(q):
        yield ("a", q)
        next(holder["g"])

    holder["g"] = g = macro.call_macro(gate, ("M", 0))
    next(g)
    with pytest.raises(RavexError) as info:
        next(g)
    assert isinstance(info.value.__context__, ValueError)
    assert str(info.value.__context__) == "generator already executing"


def test_laziness():
    class Boom:
        def __iter__(self):
            raise AssertionError("read early")
    g = macro.extend_macro(Boom(), None)
    with pytest.raises(AssertionError):
        next(g)
    macro.call_macro(lambda q: pytest.fail("called early"), ("M", 0))


def test_default_environment_is_fresh_per_generator():
    prog = [("define", "a", 1), ("H", "a")]
    assert expand(prog) == [("H", 1)]
    assert list(macro.extend_macro([("H", "a")], Lib())) == [("H", "a")]


# Unwinding drops the call_macro generators that are suspended in their macro's output;
# closing each raises its RavexError, which the collector reports as unraisable.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_unbounded_macro_ends_with_an_orderly_error():
    lib = Lib(Loop=lambda q: [("Loop", q)])
    with pytest.raises((RecursionError, RavexError)) as info:
        expand([("Loop", 0)], lib)
    chain, e = [], info.value
    while e is not None:
        chain.append(type(e))
        e = e.__context__
    assert RecursionError in chain
    gc.collect()


@pytest.mark.parametrize("fn, args, kwargs, message", [
    (macro.extend_macro, (), {}, r"extend_macro\(\) missing 2 required positional arguments: 'ravex' and 'lib'"),
    (macro.extend_macro, ([],), {}, r"extend_macro\(\) missing 1 required positional argument: 'lib'"),
    (macro.extend_macro, (1, 2, 3, 4), {}, r"extend_macro\(\) takes from 2 to 3 positional arguments but 4 were given"),
    (macro.extend_macro, (1, 2), {"ravex": 1}, r"extend_macro\(\) got multiple values for argument 'ravex'"),
    (macro.extend_macro, (1, 2), {"envv": 1}, r"extend_macro\(\) got an unexpected keyword argument 'envv'"),
    (macro.define_macro, (), {}, r"define_macro\(\) missing 3 required positional arguments: 'name', 'value', and 'env'"),
    (macro._lookup, (1,), {}, r"_lookup\(\) missing 1 required positional argument: 'env'"),
    (macro.lookup, (1, 2, 3), {}, r"lookup\(\) takes 2 positional arguments but 3 were given"),
    (macro.call_macro, (1,), {"gate": 2}, r"call_macro\(\) got multiple values for argument 'gate'"),
    (macro.extend_control_gate, (1,), {}, r"extend_control_gate\(\) missing 1 required positional argument: 'scope'"),
])
def test_argument_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        fn(*args, **kwargs)


@pytest.mark.parametrize("name, params", [
    ("_lookup", ["name", "env"]), ("lookup", ["st", "env"]), ("define_macro", ["name", "value", "env"]),
    ("call_macro", ["gate", "st"]), ("extend_control_gate", ["st", "scope"]), ("extend_macro", ["ravex", "lib", "env"]),
])
def test_function_presentation(name, params):
    fn = getattr(macro, name)
    assert fn.__name__ == name and fn.__qualname__ == name
    assert fn.__module__ == "zaradu.macro" and fn.__doc__ is None
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    if name == "extend_macro":
        assert sig.parameters["env"].default is None


@numpy_only("the ravex stand-in's matrices (controlled gates)")
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_no_leaks(monkeypatch):
    # What is counted is the module's: the test runner may keep each unraisable exception it
    # is shown until the test ends (pytest 8.4 and later do), so here they are dropped.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    lib = Lib(M=lambda q, a: [(("Rz", a), q), ("N", q)], N=lambda q: [("H", q), ("define", "z", q)],
              Bad=lambda q: 1 / 0, G=lambda q: failing_iter())

    def work():
        for i in range(200):
            prog = [("define", "a", i), (("M", 0.5), ("a", "b")), (("C", "Z"), ("a", "z")), (("C", "H"), (0, 1))]
            list(macro.extend_macro(prog, lib))
            for bad in ("Bad", "G"):
                with pytest.raises(RavexError):
                    list(macro.extend_macro([(bad, 0)], lib))
            g = macro.extend_macro(prog, lib)
            next(g)
            g.close()
            c = macro.call_macro(lib.macros["N"], ("N", 0))
            next(c)
            with pytest.raises(RavexError):
                c.close()
    work()
    gc.collect()
    before = len(gc.get_objects())
    work()
    gc.collect()
    assert len(gc.get_objects()) - before < 50
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    work()
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert sum(s.size_diff for s in snap2.compare_to(snap1, "filename")) < 100_000


class Output:
    """A macro's output: an iterator with a `close` that is logged and may fail."""

    def __init__(self, log, q, close_error=None):
        self.log, self.items, self.close_error = log, [("a", q), ("b", q)], close_error

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration
        return self.items.pop(0)

    def close(self):
        self.log.append("close")
        if self.close_error:
            raise self.close_error


def generator_output(log, q):
    try:
        yield ("a", q)
        yield ("b", q)
    finally:
        log.append("finally")


# Ending an expansion while it is suspended inside macro output drops the call_macro
# generators of the levels in progress, innermost first: each closes its macro's output,
# and its RavexError (with the close's error, or GeneratorExit, as context) is reported as
# unraisable, for the generator object.
@pytest.mark.parametrize("how", ["close", "throw", "collect"])
@pytest.mark.parametrize("output, log_want, context", [
    (lambda log, q: [("a", q), ("b", q)], [], GeneratorExit),
    (lambda log, q: Output(log, q), ["close"], GeneratorExit),
    (lambda log, q: Output(log, q, KeyError("close")), ["close"], KeyError),
    (generator_output, ["finally"], GeneratorExit),
])
def test_dropped_expansion_levels_are_closed(monkeypatch, how, output, log_want, context):
    log, reports = [], []

    def hook(u):
        reports.append((type(u.exc_value), str(u.exc_value), type(u.exc_value.__context__),
                        repr(u.object).startswith("<generator object call_macro at ")))
    monkeypatch.setattr("sys.unraisablehook", hook)
    lib = Lib(Outer=lambda q: [("Inner", q), ("after", q)], Inner=lambda q: output(log, q))
    g = macro.extend_macro([("Outer", 0), ("end", 0)], lib)
    assert next(g) == ("a", 0)
    if how == "close":
        assert g.close() is None
    elif how == "throw":
        with pytest.raises(ValueError, match="thrown"):
            g.throw(ValueError("thrown"))
    else:
        del g
        gc.collect()
    assert log == log_want
    assert reports == [(RavexError, "extend macro ('Inner', 0) error.", context, True),
                       (RavexError, "extend macro ('Outer', 0) error.", GeneratorExit, True)]


class Gate:
    """A gate item whose parameter slice raises `error`."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, key):
        raise self.error


# The statement's own parts are read outside the conversion to RavexError; a StopIteration
# from them must not end the expansion quietly. The macro's own errors are converted.
def stop_iteration(q):
    raise StopIteration("m")


class Statement(tuple):
    """("M", [0]) whose gate item is "M" for the three reads through head, a Gate after."""

    def __new__(cls, error):
        self = super().__new__(cls, ("M", [0]))
        self.error, self.reads = error, 0
        return self

    def __getitem__(self, i):
        if i == 0:
            self.reads += 1
            return "M" if self.reads <= 3 else Gate(self.error)
        return super().__getitem__(i)


# A list target leaves the statement as it is, so call_macro reads its parts itself. Those
# reads are outside the conversion to RavexError, yet a StopIteration from them must not
# end the expansion quietly; the macro's own errors are converted.
@pytest.mark.parametrize("error, macro_fn, exc, context, cause", [
    (KeyError("k"), lambda q: [("x", q)], KeyError, None, None),
    (StopIteration("s"), lambda q: [("x", q)], RuntimeError, None, StopIteration),
    (None, stop_iteration, RavexError, StopIteration, None),
])
def test_errors_from_statement_parts(error, macro_fn, exc, context, cause):
    st = Statement(error) if error is not None else ("M", [0])
    with pytest.raises(exc) as info:
        expand([st], Lib(M=macro_fn))
    if context is not None:
        assert type(info.value.__context__) is context
    if cause is not None:
        assert type(info.value.__cause__) is cause
    if error is not None:
        assert st.reads == 5  # three through head, two by call_macro (the test, then the slice)
