"""Virtual-Z reduction of zaradu.macro: rule table, rules, dispatcher and reduceVirtualZ."""

import gc
import math
import tracemalloc
import warnings

import numpy as np
import pytest
from suite_env import require_numpy

require_numpy("NumPy's own numerics (float32, int64, errstate)")

import zaradu.macro as macro

TWO_PI = 2 * np.pi
a, b = 0.5, 1.25


def run(prog, lib=None):
    return list(macro.reduceVirtualZ(prog, lib))


def same(got, want):
    """Statements equal, and every phase a numpy float64 like numpy.mod returns."""
    assert got == want
    for st in got:
        if isinstance(st[0], tuple) and st[0][0] == "P":
            assert type(st[0][1]) is np.float64


@pytest.mark.parametrize("prog, want", [
    ([], []),
    ([(("P", 0.5), 0), (("P", 0.25), 0)], [(("P", 0.75), 0)]),
    ([(("P", TWO_PI), "q")], []),
    ([(("P", -0.5), "q")], [(("P", np.mod(-0.5, TWO_PI)), "q")]),
    ([(("P", a), 0), ("Measure", 0)], [("Measure", 0)]),
    ([(("P", a), 0), ("Reset", (0,))], [("Reset", (0,))]),
    ([(("P", a), 0), (("rfUnitary", 1.0, 2.0), 0)], [(("rfUnitary", 1.0, 2.0 - a), 0), (("P", a), 0)]),
    ([(("P", a), 0), (("rfUnitary", 1.0, 2.0, "x", 7), 0)], [(("rfUnitary", 1.0, 2.0 - a, "x", 7), 0), (("P", a), 0)]),
    ([(("P", a), 0), ("SWAP", (0, 1))], [("SWAP", (0, 1)), (("P", a), 1)]),
    ([(("P", a), 0), ("iSWAP", (0, 1))], [("iSWAP", (0, 1)), (("P", a), 1)]),
    ([(("P", a), "q"), ("X", "q")], [(("P", a), "q"), ("X", "q")]),
    ([(("P", a), 0), (("P", b), 1), ("XY", (1, 0))], [(("P", b), 1), (("P", a), 0), ("XY", (1, 0))]),
    ([(("P", a), "q"), ("X", ("q",)), (("P", b), ("q",)), ("Y", "q")],
     [(("P", a), "q"), ("X", ("q",)), (("P", b), "q"), ("Y", "q")]),
    ([(("P", a), (0, 1)), ("CZ", (0, 1))], [("CZ", (0, 1)), (("P", a), 0)]),
    ([("CZ", (1, 0)), (("P", a), 0), (("P", b), 1)], [("CZ", (1, 0)), (("P", b), 1), (("P", a), 0)]),
    ([(("P", a), "q"), ("P", "q")], [(("P", a), "q"), ("P", "q")]),
    ([(("P", a), 0), ("I", 0), ("Barrier", (0, 1)), ("Delay", 0)],
     [("I", 0), ("Barrier", (0, 1)), ("Delay", 0), (("P", a), 0)]),
    # Failing rules take the flush path without a message.
    ([(("P", a), 0), (("rfUnitary", 1.0), 0)], [(("P", a), 0), (("rfUnitary", 1.0), 0)]),
    ([(("P", a), 0), (("rfUnitary", 1.0, 2.0), 0, "extra")], [(("P", a), 0), (("rfUnitary", 1.0, 2.0), 0, "extra")]),
    ([(("P", a), True), ("X", True)], [(("P", a), True), ("X", True)]),
])
def test_reduction(prog, want):
    same(run(prog), want)


def test_pending_phase_is_reduced_by_numpy_mod():
    out = run([(("P", 5.0), 0), (("P", 4.0), 0)])
    assert out == [(("P", np.mod(np.mod(0 + 5.0, TWO_PI) + 4.0, TWO_PI)), 0)]


@pytest.mark.parametrize("x", [0, 1, -1, 7, 2**52, -(2**52), 0.0, -0.0, 1e-300, -1e-300, 0.1, -0.1, 3.0, -3.0,
                               6.283185307179586, -6.283185307179586, 6.283185307179587, 12.566370614359172,
                               1e16, -1e16, 1e300, -1e300, 5e-324, np.float64(2.5), np.float64(-7.25),
                               math.inf, -math.inf, math.nan, 2**60, True, np.float32(1.5), np.int64(-3)])
def test_native_mod_matches_numpy(x):
    with np.errstate(all="ignore"):
        want = np.mod(x + 0.0 if not isinstance(x, np.generic) else x, TWO_PI)
        got = macro._VZ_P((("P", x), 0), [0])[1][0]
    assert type(got) is type(want)
    assert np.array_equal(got, want, equal_nan=True)
    assert math.copysign(1, got) == math.copysign(1, want) or math.isnan(want)


@pytest.mark.parametrize("phi", [2.0, -0.0, 0.0, 1e-320, 1e308, -1e308, math.inf, math.nan, np.float64(2.5),
                                 np.float64(-1e308), 3, np.float32(1.5), True])
@pytest.mark.parametrize("pending", [np.float64(0.5), np.float64(0.0), np.float64(-0.0), np.float64(1e-320),
                                     np.float64(1e308), np.float64(-1e308), np.float64(math.inf), 0, 0.5])
def test_rfUnitary_phase_matches_the_interpreters_subtraction(phi, pending):
    with warnings.catch_warnings(record=True) as want_warnings:
        warnings.simplefilter("always")
        want = phi - pending
    with warnings.catch_warnings(record=True) as got_warnings:
        warnings.simplefilter("always")
        (st,), phases = macro._VZ_rfUnitary((("rfUnitary", 1.0, phi, "x"), 0), [pending])
    got = st[0][2]
    assert st == (("rfUnitary", 1.0, got, "x"), 0)
    assert type(got) is type(want)
    assert np.array_equal(got, want, equal_nan=True)
    assert math.copysign(1, got) == math.copysign(1, want)
    assert [str(w.message) for w in got_warnings] == [str(w.message) for w in want_warnings]


def test_replaced_mod_and_pi_are_called(monkeypatch):
    calls = []
    monkeypatch.setattr(macro, "mod", lambda x, y: calls.append((x, y)) or x)
    monkeypatch.setattr(macro, "pi", 5)
    assert run([(("P", 1.5), 0), ("CZ", 0)]) == [("CZ", 0), (("P", 1.5), 0)]
    assert calls == [(0 + 1.5, 10), (1.5, 10), (1.5, 10)]  # _VZ_P, then two updates


def test_rules_direct():
    st = (("P", 0.5), 0)
    emitted, phases = macro._VZ_P(st=st, phaseList=[1.0, 9.0])
    assert emitted == [] and phases == [1.5] and type(phases[0]) is np.float64
    pl = [0.25]
    emitted, phases = macro._VZ_rfUnitary((("rfX", 1, 2.0, 3), "q"), pl)
    assert emitted == [(("rfUnitary", 1, 1.75, 3), "q")] and phases is pl
    emitted, phases = macro._VZ_clear(("M", (0, 1)), [0.5, 0.25])
    assert emitted == [("M", (0, 1))] and phases == [0, 0] and all(type(p) is int for p in phases)
    pl = [1, 2]
    assert macro._VZ_exchangable("s", pl)[1] is pl
    assert macro._VZ_swap("s", [1, 2, 3]) == (["s"], [3, 2, 1])


@pytest.mark.parametrize("fn, args, exc, message", [
    (macro._VZ_P, (("P",), 0), IndexError, None),
    (macro._VZ_rfUnitary, ((("rf", 1), 0), [0]), ValueError, r"expected at least 3, got 2"),
    (macro._VZ_rfUnitary, ((("rf", 1, 2), 0, 1), [0]), ValueError, r"too many values to unpack \(expected 2\)"),
    (macro._exchange_VZ_and_gate, (("X", 0), [0], None), Exception, "Unknow VZ exchange rule."),
])
def test_rule_errors(fn, args, exc, message):
    with pytest.raises(exc, match=message) as info:
        fn(*args) if fn is not macro._VZ_P else fn(args, [0])
    if exc is Exception:
        assert type(info.value) is Exception


def test_table_after_loading():
    assert list(macro._VZ_rules) == ["P", "rfUnitary", "Reset", "Measure", "CZ", "I", "Barrier", "Delay",
                                     "iSWAP", "SWAP"]
    assert macro._VZ_rules["Reset"] is macro._VZ_clear and macro._VZ_rules["SWAP"] is macro._VZ_swap


def test_add_and_remove_rules(rules):
    assert macro.remove_VZ_rule("CZ", None) is None
    assert run([(("P", a), 0), ("CZ", (0, 1))]) == [(("P", a), 0), ("CZ", (0, 1))]
    assert macro.add_VZ_rule(gateName="X", rule=macro._VZ_exchangable) is None
    assert run([(("P", a), 0), ("X", 0)]) == [("X", 0), (("P", a), 0)]
    with pytest.raises(KeyError):
        macro.remove_VZ_rule("nope", None)


def test_rule_changes_apply_inside_a_running_generator(rules):
    g = macro.reduceVirtualZ([(("P", a), 0), ("H", 0), ("X", 0), ("CZ", 0)], None)
    assert next(g) == (("P", a), 0)
    macro.add_VZ_rule("X", lambda st, pl: ([("X!", st[1])], [pl[0] + 1.0]))
    macro.remove_VZ_rule("CZ", None)
    assert list(g) == [("H", 0), ("X!", 0), (("P", 1.0), 0), ("CZ", 0)]


def test_module_table_is_looked_up_at_each_call(monkeypatch):
    table = {"G": macro._VZ_swap}
    monkeypatch.setattr(macro, "_VZ_rules", table)
    macro.add_VZ_rule("H", macro._VZ_exchangable)
    assert set(table) == {"G", "H"}
    # "P" has no rule in this table: it passes unchanged.
    assert run([(("P", a), 0), ("G", (0, 1)), ("CZ", 1)]) == [(("P", a), 0), ("G", (0, 1)), ("CZ", 1)]
    macro.remove_VZ_rule("G", 1)
    assert table == {"H": macro._VZ_exchangable}


def test_head_and_dispatcher_are_module_names(monkeypatch):
    heads = []
    monkeypatch.setattr(macro, "head", lambda st: heads.append(st) or "CZ")
    assert run([(("P", a), 0), ("anything", 0)]) == [(("P", a), 0), ("anything", 0)]
    assert heads == [(("P", a), 0), ("anything", 0)]
    seen = []
    monkeypatch.setattr(macro, "_exchange_VZ_and_gate", lambda st, pl, lib: seen.append(lib) or ([st], pl))
    assert run([("Q", 0)], lib="L") == [("Q", 0)] and seen == ["L"]


def test_lambda_factory_and_defaultdict_are_fresh(monkeypatch):
    made = []

    class Recorder(dict):
        def __init__(self, factory):
            made.append(factory)
            self.factory = factory

        def __missing__(self, key):
            self[key] = v = self.factory()
            return v

    monkeypatch.setattr(macro, "defaultdict", Recorder)
    g1, g2 = macro.reduceVirtualZ([("CZ", 0)], None), macro.reduceVirtualZ([("CZ", 0)], None)
    assert made == []  # nothing runs before the first draw
    list(g1), list(g2)
    assert len(made) == 2 and made[0] is not made[1] and made[0]() == 0 and type(made[0]()) is int


def test_failing_stlist_keeps_items_already_yielded(rules):
    def rule(st, pl):
        def items():
            yield ("first", st[1])
            raise RuntimeError("mid-way")
        return items(), [pl[0] + 1.0]
    macro.add_VZ_rule("G", rule)
    assert run([(("P", a), 0), ("G", 0)]) == [("first", 0), (("P", a), 0), ("G", 0)]


def test_rule_result_must_be_a_pair(rules):
    macro.add_VZ_rule("G", lambda st, pl: ([st],))
    assert run([(("P", a), 0), ("G", 0)]) == [(("P", a), 0), ("G", 0)]


def test_zip_stops_at_the_shorter(rules):
    macro.add_VZ_rule("G", lambda st, pl: ([st], [1.0]))
    assert run([(("P", a), 1), ("G", (0, 1))]) == [("G", (0, 1)), (("P", a), 1), (("P", 1.0), 0)]


def test_errors_outside_the_protected_section_propagate():
    with pytest.raises(TypeError, match="unhashable"):
        run([("X", ([1],))])
    with pytest.raises(IndexError):
        run([("X",)])
    with pytest.raises(TypeError):
        run([("X", 1.5)])  # a float target is not iterable: the flush fails too

    def source():
        yield (("P", a), 0)
        raise KeyError("source")
    with pytest.raises(KeyError, match="source"):
        run(source())


def test_thrown_exception_is_handled_like_a_failed_rule(rules):
    def rule(st, pl):
        def items():
            yield ("one", 0)
            yield ("two", 0)
        return items(), pl
    macro.add_VZ_rule("G", rule)
    g = macro.reduceVirtualZ([(("P", a), 0), ("G", 0), ("CZ", 0)], None)
    assert next(g) == ("one", 0)
    assert g.throw(ValueError("x")) == (("P", a), 0)
    assert list(g) == [("G", 0), ("CZ", 0)]


def test_send_and_throw_reach_a_generator_stlist(rules):
    got = []

    def rule(st, pl):
        def items():
            got.append((yield ("one", 0)))
            try:
                yield ("two", 0)
            except KeyError:
                yield ("caught", 0)
        return items(), pl
    macro.add_VZ_rule("G", rule)
    g = macro.reduceVirtualZ([("G", 0)], None)
    assert next(g) == ("one", 0)
    assert g.send("hello") == ("two", 0)
    assert g.throw(KeyError) == ("caught", 0)
    assert list(g) == []
    assert got == ["hello"]


def test_close_while_suspended_in_rule_output_ends_quietly(rules, recwarn):
    closed = []

    def rule(st, pl):
        def items():
            try:
                yield ("one", 0)
                yield ("two", 0)
            finally:
                closed.append(True)
        return items(), pl
    macro.add_VZ_rule("G", rule)
    g = macro.reduceVirtualZ([(("P", a), 0), ("G", 0)], None)
    assert next(g) == ("one", 0)
    assert g.close() is None
    assert closed == [True] and list(g) == []
    # Collected while suspended: no "ignored GeneratorExit" error either.
    g = macro.reduceVirtualZ([(("P", a), 0), ("G", 0)], None)
    next(g)
    del g
    gc.collect()
    assert closed == [True, True]
    assert not [w for w in recwarn if "Unraisable" in type(w.message).__name__]


def test_close_at_a_flush_yield(rules):
    g = macro.reduceVirtualZ([(("P", a), 0), ("X", 0), ("X", 0)], None)
    assert next(g) == (("P", a), 0)
    g.close()
    with pytest.raises(StopIteration):
        next(g)


def test_generator_protocol():
    g = macro.reduceVirtualZ(iter([("CZ", 0)]), None)
    assert g.__name__ == "reduceVirtualZ" and g.__qualname__ == "reduceVirtualZ"
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        g.send(1)
    assert g.send(None) == ("CZ", 0)
    with pytest.raises(StopIteration):
        next(g)


def test_nothing_is_read_before_the_first_draw():
    class Boom:
        def __iter__(self):
            raise AssertionError("read early")
    g = macro.reduceVirtualZ(Boom(), None)
    with pytest.raises(AssertionError):
        next(g)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, r"reduceVirtualZ\(\) missing 2 required positional arguments: 'ravex' and 'lib'"),
    (([], None, 1), {}, r"reduceVirtualZ\(\) takes 2 positional arguments but 3 were given"),
    (([],), {"lib": 1, "x": 2}, r"reduceVirtualZ\(\) got an unexpected keyword argument 'x'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        macro.reduceVirtualZ(*args, **kwargs)


@pytest.mark.parametrize("fn, n", [(macro._exchange_VZ_and_gate, 3), (macro._VZ_swap, 2), (macro.add_VZ_rule, 2)])
def test_rule_function_arity(fn, n):
    with pytest.raises(TypeError, match=f"takes {n} positional arguments but {n + 1} were given"):
        fn(*range(n + 1))


def test_no_leaks(rules):
    def rule(st, pl):
        def items():
            yield ("one", 0)
            raise RuntimeError
        return items(), pl
    macro.add_VZ_rule("G", rule)
    prog = [(("P", 0.1 * i), i % 3) for i in range(20)] + [("G", 0), ("X", (0, 1)), ("SWAP", (1, 2)),
                                                           (("rfUnitary", 1.0, 2.0), 1), ("Measure", 2)]

    def work():
        for _ in range(200):
            run(prog)
            g = macro.reduceVirtualZ(prog, None)
            next(g)
            g.close()
            with pytest.raises(TypeError):
                run([("X", ([1],))])
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
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert grown < 100_000


# A value sent in while the generator passes on a rule's statements fails like `send` on
# the iterator of the rule's list: the protected section fails, the pending phases are
# flushed and the statement passes unchanged. The module's own rules and a Python rule
# returning the same list behave alike.
@pytest.mark.parametrize("wrapped", [False, True])
@pytest.mark.parametrize("st, first, otherwise", [
    (("CZ", (0, 1)), ("CZ", (0, 1)), [(("P", a), 0), ("X", 0)]),
    (("Measure", 0), ("Measure", 0), [("X", 0)]),
    (("SWAP", (1, 0)), ("SWAP", (1, 0)), [("X", 0), (("P", a), 1)]),
    ((("rfUnitary", 1.0, 2.0), 0), (("rfUnitary", 1.0, 2.0 - a), 0), [(("P", a), 0), ("X", 0)]),
])
def test_value_sent_into_rule_output(rules, st, first, otherwise, wrapped):
    if wrapped:
        name = st[0] if isinstance(st[0], str) else st[0][0]
        own = macro._VZ_rules[name]
        macro.add_VZ_rule(name, lambda s, pl: own(s, pl))
    g = macro.reduceVirtualZ([(("P", a), 0), st, ("X", 0)], None)
    assert next(g) == first
    assert g.send("value") == (("P", a), 0)
    assert list(g) == [st, ("X", 0)]
    g = macro.reduceVirtualZ([(("P", a), 0), st, ("X", 0)], None)
    assert next(g) == first
    assert [g.send(None)] + list(g) == otherwise


def test_the_phase_list_is_made_before_the_dispatcher_is_looked_up(monkeypatch):
    # `[hold[q] for q in target]` runs before `_exchange_VZ_and_gate` is looked up: a qubit
    # whose hashing replaces the dispatcher has the replacement called for its statement.
    calls = []

    def dispatcher(st, phaseList, lib):
        calls.append(st)
        return [st], phaseList

    class Qubit:
        def __hash__(self):
            monkeypatch.setattr(macro, "_exchange_VZ_and_gate", dispatcher)
            return 7

    st = ("CZ", (Qubit(),))
    assert list(macro.reduceVirtualZ([st], None)) == [st]
    assert calls == [st]
