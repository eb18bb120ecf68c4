"""The loading rules that zaradu.macro and zaradu.compiler share: each case runs for both
modules, in a fresh interpreter where it changes what a load sees."""

import builtins
import os
import subprocess
import sys
import textwrap

import pytest

import zaradu.compiler
import zaradu.macro

# Per module: a name one of its `from ... import` statements takes, the module it comes
# from, and a call that looks `lookup_name` up in the module namespace.
MODULES = {
    "zaradu.macro": dict(imported=("zaradu.base", "head"), lookup_name="head",
                         call="list(m.extend_macro([('X', 0)], std))"),
    "zaradu.compiler": dict(imported=("zaradu.utils", "mapping_qubits"), lookup_name="getConfig",
                            call="m.assembly([])"),
}


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines()


@pytest.mark.parametrize("module", [zaradu.macro, zaradu.compiler], ids=lambda m: m.__name__)
def test_builtins_is_the_builtins_module(module):
    assert vars(module)["__builtins__"] is builtins


@pytest.mark.parametrize("name", MODULES)
def test_a_missing_name_raises_the_interpreters_import_error(name):
    source, attr = MODULES[name]["imported"]
    out = run_python(f"""
        import importlib, importlib.util, sys, traceback
        src = importlib.import_module({source!r})
        delattr(src, {attr!r})
        try:
            import {name}
        except ImportError as e:
            print(type(e).__name__)
            print(str(e))
            print(e.name, e.path == src.__file__)
            tb = traceback.extract_tb(e.__traceback__)[-1]
            print(tb.name, tb.filename == importlib.util.find_spec({name!r}).origin)
            print({name!r} in sys.modules)
    """)
    assert out == [
        "ImportError",
        f"cannot import name {attr!r} from {source!r} ({sys.modules[source].__file__})",
        f"{source} True",
        f"init {name} True",
        "False",
    ]


@pytest.mark.parametrize("name", MODULES)
def test_a_name_missing_on_the_module_is_taken_from_its_submodule_in_the_registry(name):
    # `from package import name` finds a loaded submodule that the package does not bind.
    source, attr = MODULES[name]["imported"]
    out = run_python(f"""
        import importlib, sys
        src = importlib.import_module({source!r})
        stand_in = object()
        delattr(src, {attr!r})
        sys.modules[{source!r} + "." + {attr!r}] = stand_in
        m = importlib.import_module({name!r})
        print(getattr(m, {attr!r}) is stand_in)
    """)
    assert out == ["True"]


LOOKUP = """
    import importlib, sys
    from zaradu.libs import std
    m = importlib.import_module({name!r})
    ns = vars(m)

    class Clash:
        def __hash__(self):
            return hash({lookup_name!r})

        def __eq__(self, other):
            raise LookupError("compared")

    del ns[{lookup_name!r}]
    for key in (Clash(), None):
        # A key that hashes like the name and fails to compare, then no key at all.
        if key is not None:
            ns[key] = None
        try:
            {call}
        except Exception as e:
            print(type(e).__name__, e)
        if key is not None:
            del ns[key]
"""


@pytest.mark.parametrize("name", MODULES)
def test_errors_of_a_module_level_lookup_propagate(name):
    # The lookup fails as the interpreter's own global lookup does; a name in neither the
    # namespace nor the builtins raises NameError.
    out = run_python(LOOKUP.format(name=name, **{k: MODULES[name][k] for k in ("lookup_name", "call")}))
    assert out == ["LookupError compared", f"NameError name {MODULES[name]['lookup_name']!r} is not defined"]


@pytest.mark.parametrize("name", MODULES)
def test_no_version_warning_on_the_interpreter_it_was_built_for(name):
    out = run_python(f"""
        import warnings
        warnings.filterwarnings("error", message="compile time Python version")
        import {name}
        print(sorted(k for k in vars({name}) if k in ("__builtins__", "__test__")))
    """)
    assert out == ["['__builtins__', '__test__']"]
