"""Fixtures shared by the zaradu.macro suites."""

import pytest

import zaradu.macro


@pytest.fixture
def rules():
    """The module's VZ exchange rules, restored after the test."""
    saved = dict(zaradu.macro._VZ_rules)
    yield zaradu.macro._VZ_rules
    zaradu.macro._VZ_rules.clear()
    zaradu.macro._VZ_rules.update(saved)
