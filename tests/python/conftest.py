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


@pytest.fixture
def namespace():
    """The namespace of zaradu.macro, restored with its order of names afterwards."""
    ns = zaradu.macro.__dict__
    saved = dict(ns)
    yield ns
    ns.clear()
    ns.update(saved)
