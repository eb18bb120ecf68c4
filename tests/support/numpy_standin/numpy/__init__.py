"""TEST-ONLY stand-in for NumPy, for the interpreter that has none (free-threaded CPython).

It is not NumPy and is never installed: scripts/leg puts it on the path of the free-threaded
leg alone, so that zaradu.macro's import of ``cos``, ``mod`` and ``pi`` (and its use of
``float64``) can be tested there. It answers those names for scalars only:

- ``float64`` is a float whose arithmetic with a float or int keeps NumPy's rule: an
  operation with a float64 operand gives a float64;
- ``mod`` (named ``remainder``, as NumPy's is) takes the sign of the divisor, as NumPy's;
- ``cos`` returns a float64; ``pi`` is the float NumPy gives.

Tests that need NumPy's own numerics, or the ravex stand-in's matrices, skip when
``TEST_ONLY_STANDIN`` is set.
"""

import math

TEST_ONLY_STANDIN = True
__version__ = "0+test-only-standin"

pi = math.pi


def _binary(op):
    def method(self, other):
        if not isinstance(other, (int, float)):
            return NotImplemented
        return float64(op(float(self), float(other)))
    return method


def _reflected(op):
    return _binary(lambda a, b: op(b, a))


def _remainder(a, b):
    if b == 0.0 or math.isinf(a) or math.isnan(a) or math.isnan(b):
        return math.nan
    return a % b   # float's remainder: fmod moved into the divisor's sign, as NumPy's


class float64(float):
    """A float for which arithmetic with a float64 operand stays float64."""

    __slots__ = ()

    __add__ = _binary(float.__add__)
    __radd__ = _reflected(float.__add__)
    __sub__ = _binary(float.__sub__)
    __rsub__ = _reflected(float.__sub__)
    __mul__ = _binary(float.__mul__)
    __rmul__ = _reflected(float.__mul__)
    __truediv__ = _binary(float.__truediv__)
    __rtruediv__ = _reflected(float.__truediv__)
    __mod__ = _binary(_remainder)
    __rmod__ = _reflected(_remainder)
    __pow__ = _binary(float.__pow__)
    __rpow__ = _reflected(float.__pow__)

    def __neg__(self):
        return float64(-float(self))

    def __pos__(self):
        return self

    def __abs__(self):
        return float64(abs(float(self)))


def cos(x):
    return float64(math.cos(x))


def remainder(x1, x2):
    return float64(_remainder(float(x1), float(x2)))


mod = remainder
