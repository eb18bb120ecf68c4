"""Small helpers over statement streams."""

from __future__ import annotations


def mapping_qubits(ravex, mapping):
    """Rename the qubits of a statement stream through `mapping` (a dict, or
    a callable); qubits it does not name stay as they are."""
    get = mapping if callable(mapping) else (lambda q: mapping.get(q, q))
    for st in ravex:
        target = st[1]
        if isinstance(target, tuple):
            target = tuple(get(q) for q in target)
        elif isinstance(target, (int, str)):
            target = get(target)
        yield (st[0], target, *st[2:])
