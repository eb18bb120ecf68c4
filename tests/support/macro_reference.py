"""zaradu.macro written in Python: the behaviour that the compiled module's functions and
generators match, name for name. The benchmark times it beside the compiled module, and
the semantics tests run it beside the compiled functions.

The top level is that of the compiled module, in its order. `bound_to(namespace)` gives
the same functions looking their module-level names up in another namespace (the compiled
module's, so that a test replacing an attribute there reaches both)."""

import types
from collections import defaultdict

from numpy import cos, mod, pi

from zaradu.base import RavexError, head


# ---------------------------------------------------------------- macro expansion

def _lookup(name, env):
    try:
        return env.get(name, name)
    except BaseException:
        return name


def lookup(st, env):
    if isinstance(st[1], tuple):
        return (st[0], tuple(_lookup(q, env) for q in st[1]))
    if isinstance(st[1], (str, int)):
        return (st[0], _lookup(st[1], env))
    return st


def define_macro(name, value, env):
    env[name] = value


def call_macro(gate, st):
    qubits = st[1]
    args = () if isinstance(st[0], str) else st[0][1:]
    try:
        yield from gate(qubits, *tuple(args))
    except BaseException:
        raise RavexError(f"extend macro {st} error.")


def extend_control_gate(st, scope):
    from ravex import seq2mat
    from ravex.matricies import U, Unitary2Angles  # noqa: F401

    (_, gate), qubits = st
    if isinstance(gate, str):
        if gate == "Z":
            return [("CZ", qubits)]
        if gate == "X":
            return [("Cnot", qubits)]
    c, t = qubits
    theta, phi, lam, delta = Unitary2Angles(seq2mat([(gate, 0)]))
    if abs(cos(phi + lam) + 1) < 1e-15:
        return [(("u3", pi / 2 - theta / 2, 0, -phi), t), ("Cnot", (c, t)),
                (("u3", theta / 2 - pi / 2, phi, 0), t), (("Rz", delta - pi / 2), t)]
    return [(("u3", theta / 2, 0, lam), t), ("Cnot", (c, t)),
            (("u3", -theta / 2, -(phi + lam) / 2, 0), t), ("Cnot", (c, t)),
            (("u3", 0, 0, (phi - lam) / 2), t), (("Rz", delta), c)]


def extend_macro(ravex, lib, env=None):
    if env is None:
        env = {}
    for st in ravex:
        if head(st) == "define":
            define_macro(st[1], st[2], env)
        elif head(st) == "C":
            st = lookup(st, env)
            yield from extend_control_gate(st, lib)
        else:
            st = lookup(st, env)
            gate = lib.getGate(head(st))
            if gate is None:
                yield st
            else:
                for s in call_macro(gate, st):
                    yield from extend_macro([s], lib, env)


# ---------------------------------------------------------------- virtual-Z reduction

_VZ_rules = {}


def add_VZ_rule(gateName, rule):
    _VZ_rules[gateName] = rule


def remove_VZ_rule(gateName, rule):
    del _VZ_rules[gateName]


def _VZ_P(st, phaseList):
    return [], [mod(phaseList[0] + st[0][1], 2 * pi)]


def _VZ_rfUnitary(st, phaseList):
    (_, theta, phi, *with_params), qubit = st
    return [(("rfUnitary", theta, phi - phaseList[0], *with_params), qubit)], phaseList


def _VZ_clear(st, phaseList):
    return [st], [0] * len(phaseList)


def _VZ_exchangable(st, phaseList):
    return [st], phaseList


def _VZ_swap(st, phaseList):
    return [st], phaseList[::-1]


add_VZ_rule("P", _VZ_P)
add_VZ_rule("rfUnitary", _VZ_rfUnitary)
add_VZ_rule("Reset", _VZ_clear)
add_VZ_rule("Measure", _VZ_clear)
add_VZ_rule("CZ", _VZ_exchangable)
add_VZ_rule("I", _VZ_exchangable)
add_VZ_rule("Barrier", _VZ_exchangable)
add_VZ_rule("Delay", _VZ_exchangable)
add_VZ_rule("iSWAP", _VZ_swap)
add_VZ_rule("SWAP", _VZ_swap)


def _exchange_VZ_and_gate(st, phaseList, lib):
    gate = head(st)
    if gate in _VZ_rules:
        return _VZ_rules[gate](st, phaseList)
    raise Exception("Unknow VZ exchange rule.")


def reduceVirtualZ(ravex, lib):
    hold = defaultdict(lambda: 0)
    for st in ravex:
        target = st[1]
        if isinstance(target, (int, str)):
            target = (target,)
        try:
            phases = [hold[q] for q in target]
            stList, phaseList = _exchange_VZ_and_gate(st, phases, lib)
            yield from stList
            for q, p in zip(target, phaseList):
                hold[q] = mod(p, 2 * pi)
        except BaseException:
            for q in target:
                if hold[q] != 0:
                    yield (("P", hold[q]), q)
                    hold[q] = 0
            yield st
    for q in hold:
        if hold[q] != 0:
            yield (("P", hold[q]), q)


__test__ = {}


# ---------------------------------------------------------------- other namespaces

def bound_to(namespace):
    """The functions above as if defined in `namespace` (a module's dict): each looks its
    module-level names up there at each use. Returns a namespace of them by name."""
    out = types.SimpleNamespace()
    for name, f in list(globals().items()):
        if isinstance(f, types.FunctionType) and f.__module__ == __name__ and f is not bound_to:
            setattr(out, name, types.FunctionType(f.__code__, namespace, name, f.__defaults__, f.__closure__))
    return out


def standalone(namespace):
    """The functions above in a copy of `namespace` (a module's dict) of their own: the copy
    binds them under their names, so that they call one another, and its `_VZ_rules` holds
    the same gate names with the rules above in place of the module's own. Returns the
    functions (as `bound_to` does) and the copy."""
    ns = dict(namespace)
    functions = bound_to(ns)
    ns.update(vars(functions))

    def counterpart(rule):
        name = getattr(rule, "__name__", None)
        own = isinstance(name, str) and namespace.get(name) is rule and hasattr(functions, name)
        return getattr(functions, name) if own else rule

    ns["_VZ_rules"] = {gate: counterpart(rule) for gate, rule in namespace["_VZ_rules"].items()}
    return functions, ns
