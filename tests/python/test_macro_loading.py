"""Loading of zaradu.macro: module object, attributes, re-import, failures and the
one-interpreter rule."""

import builtins
import importlib
import os
import subprocess
import sys
import textwrap

import numpy
import pytest

import zaradu.base
import zaradu.macro as macro
from suite_env import FREE_THREADED

ATTRIBUTES = ["defaultdict", "cos", "mod", "pi", "RavexError", "head", "_lookup", "lookup", "define_macro",
              "call_macro", "extend_control_gate", "extend_macro", "_VZ_rules", "add_VZ_rule", "remove_VZ_rule",
              "_VZ_P", "_VZ_rfUnitary", "_VZ_clear", "_VZ_exchangable", "_VZ_swap", "_exchange_VZ_and_gate",
              "reduceVirtualZ", "__test__"]
FUNCTIONS = [n for n in ATTRIBUTES if n not in
             ("defaultdict", "cos", "mod", "pi", "RavexError", "head", "_VZ_rules", "__test__")]


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=60)


def test_attributes_in_binding_order():
    names = [n for n in vars(macro) if n in ATTRIBUTES]
    assert names == ATTRIBUTES
    import collections
    assert macro.defaultdict is collections.defaultdict
    assert (macro.cos, macro.mod, macro.pi) == (numpy.cos, numpy.mod, numpy.pi)
    assert macro.RavexError is zaradu.base.RavexError and macro.head is zaradu.base.head
    assert macro.__test__ == {} and macro.__builtins__ is builtins
    assert macro.__doc__ is None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions(name):
    fn = getattr(macro, name)
    assert callable(fn) and fn.__module__ == "zaradu.macro" and fn.__doc__ is None
    assert fn.__name__ == name and fn.__qualname__ == name


def test_spec_attributes():
    assert macro.__name__ == "zaradu.macro" and macro.__package__ == "zaradu"
    assert macro.__file__ == macro.__spec__.origin and macro.__loader__ is macro.__spec__.loader
    assert not hasattr(macro, "__path__")


def test_rule_table_after_load():
    assert len(macro._VZ_rules) == 10
    assert list(macro._VZ_rules.items())[:2] == [("P", macro._VZ_P), ("rfUnitary", macro._VZ_rfUnitary)]


def test_reimport_returns_the_same_module_without_rerunning_top_level():
    assert importlib.import_module("zaradu.macro") is macro
    macro._VZ_rules["extra"] = macro._VZ_exchangable
    try:
        del sys.modules["zaradu.macro"]
        again = importlib.import_module("zaradu.macro")
        assert again is macro
        assert "extra" in again._VZ_rules and len(again._VZ_rules) == 11
    finally:
        sys.modules["zaradu.macro"] = macro
        del macro._VZ_rules["extra"]


@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build warns that the GIL is turned on "
                                         "(test_free_threading.py)")
def test_no_version_warning_on_the_interpreter_it_was_built_for():
    r = run_python("""
        import warnings
        warnings.simplefilter("error")
        import zaradu.macro
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_failed_load_can_be_retried():
    r = run_python("""
        import sys, traceback
        sys.modules["numpy"] = None
        try:
            import zaradu.macro
        except ImportError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print("failed", "init zaradu.macro" in names, "zaradu.macro" in sys.modules)
        del sys.modules["numpy"]
        import zaradu.macro as m
        print("loaded", len(m._VZ_rules), m.__test__, m.mod.__name__)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[:2] == ["failed True False", "loaded 10 {} remainder"]


def test_missing_base_name_fails_the_load():
    r = run_python("""
        import zaradu.base
        del zaradu.base.head
        try:
            import zaradu.macro
        except ImportError as e:
            print(e)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("cannot import name 'head' from 'zaradu.base'")


def test_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    sub = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(sub, "import zaradu.macro")
    finally:
        interpreters.destroy(sub)
    assert "ImportError" in str(info.value)
    assert ("Interpreter change detected - this module can only be loaded into one interpreter per process."
            in str(info.value))
