"""What the interpreter running the suites offers: a free-threaded build or not, NumPy or
the free-threaded leg's test-only stand-in (tests/support/numpy_standin)."""

import sysconfig

import numpy
import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
NUMPY_STANDIN = getattr(numpy, "TEST_ONLY_STANDIN", False)


def _reason(what):
    return f"needs {what}; NumPy here is the free-threaded leg's test-only stand-in"


def numpy_only(what):
    """Marks a test that needs what only NumPy itself gives."""
    return pytest.mark.skipif(NUMPY_STANDIN, reason=_reason(what))


def require_numpy(what):
    """Skips the calling test module where NumPy is only the test-only stand-in."""
    if NUMPY_STANDIN:
        pytest.skip(_reason(what), allow_module_level=True)
