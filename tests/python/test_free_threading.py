"""Both modules on a free-threaded interpreter: they declare that they need the GIL, so the
import turns it on with the interpreter's warning; with that warning an error the import
fails cleanly and a later one succeeds. Importing from many threads at once gives one
module object (on every interpreter)."""

import os
import subprocess
import sys
import textwrap

import pytest

from suite_env import FREE_THREADED

MODULES = ["zaradu.macro", "zaradu.compiler"]
GIL_WARNING = ("The global interpreter lock (GIL) has been enabled to load module '{}', which has not declared "
               "that it can run safely without the GIL. To override this behavior and keep the GIL disabled "
               "(at your own risk), run with PYTHON_GIL=0 or -Xgil=0.")
free_threaded_only = pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded interpreter only")


def run_fresh(code, *options):
    """Runs `code` in a fresh interpreter (the GIL is a process's) and gives its output lines."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("PYTHON_GIL", None)
    r = subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines()


@free_threaded_only
@pytest.mark.parametrize("module", MODULES)
def test_import_turns_the_gil_on_with_the_interpreters_warning(module):
    out = run_fresh(f"""
        import sys, warnings
        print(sys._is_gil_enabled())
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            import {module}
        for w in seen:
            print(w.category.__name__, w.message)
        print(sys._is_gil_enabled())
    """)
    assert out == ["False", "RuntimeWarning " + GIL_WARNING.format(module), "True"]


@free_threaded_only
@pytest.mark.parametrize("module", MODULES)
def test_import_with_the_warning_an_error_fails_cleanly_and_a_later_import_works(module):
    out = run_fresh(f"""
        import importlib, sys, warnings
        try:
            import {module}
        except RuntimeWarning as e:
            print(type(e).__name__, e)
        print(sorted(n for n in sys.modules if n in ("zaradu.macro", "zaradu.compiler")))
        warnings.resetwarnings()
        m = importlib.import_module("{module}")
        print(m is importlib.import_module("{module}"), sys._is_gil_enabled())
        import zaradu.macro
        print(len(zaradu.macro._VZ_rules), list(zaradu.macro.reduceVirtualZ([("X", 0)], None)))
    """, "-W", "error::RuntimeWarning")
    assert out == ["RuntimeWarning " + GIL_WARNING.format(module), "[]", "True True", "10 [('X', 0)]"]


@pytest.mark.parametrize("module", MODULES)
def test_import_from_many_threads_gives_one_module(module):
    out = run_fresh(f"""
        import importlib, threading
        barrier = threading.Barrier(8)
        got = []
        def load():
            barrier.wait()
            got.append(importlib.import_module("{module}"))
        threads = [threading.Thread(target=load) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        import {module} as m
        print(len(got), all(g is m for g in got))
    """, "-W", "ignore::RuntimeWarning")
    assert out == ["8 True"]
