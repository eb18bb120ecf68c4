"""zaradu.macro run beside its rendering in Python (macro_reference.py) on the same inputs:
the two implementations as namespaces of the same functions, what drawing from a
generator gives (its items, then the exception with its context chain), and a canonical
form of results that keeps the type of every value."""

import types

import macro_reference
import zaradu.macro

FUNCTIONS = ("_lookup", "lookup", "define_macro", "call_macro", "extend_control_gate", "extend_macro",
             "add_VZ_rule", "remove_VZ_rule", "_VZ_P", "_VZ_rfUnitary", "_VZ_clear", "_VZ_exchangable",
             "_VZ_swap", "_exchange_VZ_and_gate", "reduceVirtualZ")


def compiled():
    """The compiled module's functions; `ns` is its namespace, in which they look names up."""
    impl = types.SimpleNamespace(**{n: getattr(zaradu.macro, n) for n in FUNCTIONS})
    impl.ns = vars(zaradu.macro)
    impl.name = "compiled"
    return impl


def python():
    """The module written in Python, in a new copy of the compiled module's namespace (`ns`)
    in which its functions call one another and its own rules fill `_VZ_rules`."""
    functions, ns = macro_reference.standalone(vars(zaradu.macro))
    impl = types.SimpleNamespace(**{n: getattr(functions, n) for n in FUNCTIONS})
    impl.ns = ns
    impl.name = "python"
    return impl


def chain(e):
    """An exception and its contexts, as (type name, text) pairs."""
    out = []
    while e is not None:
        out.append((type(e).__name__, str(e)))
        e = e.__context__
    return out


def outcome(gen_fn):
    """What drawing everything from `gen_fn()` gives: the items, then the exception chain (or
    None)."""
    items = []
    try:
        for x in gen_fn():
            items.append(x)
    except BaseException as e:  # noqa: B902
        return items, chain(e)
    return items, None


def canonical(value):
    """`value` with the type of every part kept: containers by kind, numbers by type and exact
    value, anything else by its type and repr. Types are told and parts read as the built-in
    types do it, so that no code of a subclass runs (not even a `__class__` of its own)."""
    tp = type(value)
    kind = tp.__name__
    if issubclass(tp, tuple):
        return kind, [canonical(v) for v in tuple.__iter__(value)]
    if issubclass(tp, list):
        return kind, [canonical(v) for v in list.__iter__(value)]
    if issubclass(tp, dict):
        return kind, [(canonical(k), canonical(v)) for k, v in dict.items(value)]
    if issubclass(tp, float):
        return kind, float.hex(value)
    if issubclass(tp, int):
        return kind, int.__int__(value)
    if issubclass(tp, str):
        return kind, str.__getitem__(value, slice(None))
    if value is None:
        return kind, None
    return kind, repr(value)
