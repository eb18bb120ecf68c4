"""What zaradu.macro knows of a dictionary between its changes (whether an environment or a
rule table has only str keys) belongs to that dictionary: generators over different
dictionaries, drawn in turn, each see every change of their own, whatever the kind of
change, a dictionary freed and another made at its address, or an interpreter without a
dictionary watcher left for the module. The expansions are compared with the module
written in Python (tests/support/macro_reference.py), drawn the same way."""

import gc
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import zaradu.macro as macro
from test_macro_expansion import IntEq  # a str key that a lookup of the int 4 finds
from test_module_names import Key  # a rule-table key for "K" that counts its comparisons

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import macro_reference  # noqa: E402


class Lib:
    """A gate library with one macro, "M": a definition of an int name, then a statement
    on it."""

    def getGate(self, name):
        if name == "M":
            return lambda q: [("define", 6, "m6"), ("H", 6)]
        return None


def env_of(k):
    return {f"n{k}_{i}": i for i in range(64)}


def program(k):
    # int targets, which a dict of str keys never has, and names of the environment
    stream = [("H", 4), ("CZ", (5, f"n{k}_3")), ("H", 6), ("M", 0), ("H", 6), ("H", 4)]
    return stream * 3


# Every kind of change of a dictionary, made to the first environment between two draws.
CHANGES = {
    "str key assigned": lambda env: env.__setitem__("x", 1),
    "str key reassigned": lambda env: env.__setitem__("n0_3", "three"),
    "int key assigned": lambda env: env.__setitem__(4, "four"),
    "str subclass key assigned": lambda env: env.__setitem__(IntEq("y"), "hit"),
    "set by default": lambda env: env.setdefault(5, "five"),
    "updated by keyword": lambda env: env.update(n0_3="kw"),
    "key deleted": lambda env: env.pop("n0_3", None),
    "item popped": lambda env: env.popitem(),
    "cleared": lambda env: env.clear(),
    "cleared and cloned": lambda env: (env.clear(), env.update({4: "four", "n0_3": 3})),
    "int key deleted": lambda env: (env.__setitem__(4, "four"), env.pop(4)),
}


def draw_in_turn(extend_macro, change):
    """Two expansions over environments of their own, drawn in turn; `change` is made to
    the first environment after every third draw. Gives both outputs and environments."""
    envs = [env_of(0), env_of(1)]
    gens = [extend_macro(program(k), Lib(), envs[k]) for k in range(2)]
    outs = [[], []]
    draws = 0
    live = [0, 1]
    while live:
        for k in list(live):
            try:
                outs[k].append(next(gens[k]))
            except StopIteration:
                live.remove(k)
            draws += 1
            if draws % 3 == 0:
                change(envs[0])
    return outs, envs


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_generators_drawn_in_turn_see_every_change_of_their_environment(change):
    got = draw_in_turn(macro.extend_macro, change)
    want = draw_in_turn(macro_reference.extend_macro, change)
    assert got == want


def test_an_environment_made_where_a_freed_one_was_is_learnt_afresh():
    # An environment of str keys is learnt by an expansion that is then dropped with it,
    # while another expansion goes on; an environment with an int key is made at its
    # address.
    other = macro.extend_macro([("H", 4)] * 4, Lib(), env_of(1))
    assert next(other) == ("H", 4)
    first = env_of(0)
    g = macro.extend_macro([("H", 4), ("H", 4)], Lib(), first)
    assert next(g) == ("H", 4)
    address = id(first)
    del g, first
    second = made_at(address, lambda: {4: "four"})
    assert list(macro.extend_macro([("H", 4)], Lib(), second)) == [("H", "four")]
    assert list(other) == [("H", 4)] * 3


def made_at(address, make):
    """A new object of `make` at `address`, where a freed one was (the interpreter reuses
    freed dicts first), or a skip."""
    made = [make() for _ in range(20)]
    for obj in made:
        if id(obj) == address:
            return obj
    pytest.skip("no dict was made at the address of the freed one")


def test_a_rule_table_made_where_a_freed_one_was_is_consulted_as_written(monkeypatch):
    # Two reductions drawn in turn learn a table of str keys; it is freed, and a table
    # with a key of another type is made at its address.
    gens = [macro.reduceVirtualZ([("CZ", k), ("K", k), ("K", k)], None) for k in range(2)]
    table = {"CZ": macro._VZ_exchangable}
    monkeypatch.setattr(macro, "_VZ_rules", table)
    assert [next(g) for g in gens] == [("CZ", 0), ("CZ", 1)]
    address = id(table)
    key = Key()
    macro._VZ_rules = {}  # the fixture keeps only the module's own table, to restore it
    del table
    replacement = made_at(address, lambda: {key: macro._VZ_exchangable})
    macro._VZ_rules = replacement
    assert [next(g) for g in gens] == [("K", 0), ("K", 1)]
    assert key.eqs == 4  # `name in _VZ_rules`, then `_VZ_rules[name]`, for each
    replacement["CZ"] = macro._VZ_exchangable
    assert [next(g) for g in gens] == [("K", 0), ("K", 1)]
    assert key.eqs == 8


def test_the_namespace_as_environment_stays_watched(namespace, monkeypatch):
    # The module namespace is an environment too; when the expansion over it ends, a
    # replaced name of the module is still seen.
    g = macro.extend_macro([("define", "qq", 3), ("H", "qq"), ("H", 4)], Lib(), namespace)
    assert list(g) == [("H", 3), ("H", 4)]
    del g
    gc.collect()
    assert namespace["qq"] == 3
    assert list(macro.extend_macro([("H", 0)], Lib())) == [("H", 0)]
    monkeypatch.setattr(macro, "lookup", lambda st, env: (st[0], "replaced"))
    assert list(macro.extend_macro([("H", 0)], Lib())) == [("H", "replaced")]


WATCHERS_EXHAUSTED = """
    import ctypes, sys
    sys.path.insert(0, {support!r})
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p)(lambda *args: 0)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes = [ctypes.c_void_p]
    taken = 0
    for _ in range(64):
        try:
            add(ctypes.cast(callback, ctypes.c_void_p))
        except RuntimeError:
            break
        taken += 1
    import test_known_keys as t
    import zaradu.macro as macro
    from macro_reference import extend_macro, reduceVirtualZ
    for change in t.CHANGES.values():
        assert t.draw_in_turn(macro.extend_macro, change) == t.draw_in_turn(extend_macro, change)
    key = t.Key()
    macro.add_VZ_rule(key, macro._VZ_exchangable)
    prog = [("CZ", 0), ("K", 0), (("P", 1.0), 0), ("X", 0)]
    assert list(macro.reduceVirtualZ(prog, None)) == list(reduceVirtualZ(prog, None))
    assert key.eqs == 2
    assert list(macro.extend_macro([("H", 0)], t.Lib())) == [("H", 0)]
    macro.lookup = lambda st, env: (st[0], "replaced")
    assert list(macro.extend_macro([("H", 0)], t.Lib())) == [("H", "replaced")]
    print(taken > 0)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers come with 3.12")
def test_without_a_dictionary_watcher_left_nothing_is_kept_and_all_is_seen():
    here = Path(__file__).resolve().parent
    code = textwrap.dedent(WATCHERS_EXHAUSTED.format(support=str(here.parent / "support")))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(here)] + [p for p in sys.path if p]))
    env.pop("PYTHON_GIL", None)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True"]
