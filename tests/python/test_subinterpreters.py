"""The one-interpreter rule of both modules, through the subinterpreters of CPython 3.13 and
later (`_interpreters`): a legacy subinterpreter meets the module's own refusal, an isolated
one the interpreter's. The tests of CPython 3.11 and 3.12 (`_xxsubinterpreters`) live beside
each module's loading tests."""

import os
import textwrap

import pytest

import zaradu.compiler  # noqa: F401  (loaded into this, the first, interpreter)
import zaradu.macro  # noqa: F401

MODULES = ["zaradu.macro", "zaradu.compiler"]
REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def import_in_subinterpreter(config, module):
    """Imports `module` in a new subinterpreter of `config`; gives the ImportError it met."""
    interpreters = pytest.importorskip("_interpreters", reason="subinterpreters of CPython 3.13 and later")
    r, w = os.pipe()
    code = textwrap.dedent(f"""\
        import os
        try:
            import {module}
            msg = "loaded"
        except ImportError as e:
            msg = type(e).__name__ + ": " + str(e)
        os.write({w}, msg.encode())
    """)
    interp = interpreters.create(config)
    try:
        failure = interpreters.exec(interp, code)
    finally:
        interpreters.destroy(interp)
        os.close(w)
    with os.fdopen(r) as f:
        message = f.read()
    assert failure is None
    return message


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("config, expected", [
    ("legacy", "ImportError: " + REFUSAL),
    ("isolated", "ImportError: module {module} does not support loading in subinterpreters"),
])
def test_subinterpreter_import_is_refused(config, expected, module):
    assert import_in_subinterpreter(config, module) == expected.format(module=module)
