"""Macro expansion followed by virtual-Z reduction: zaradu.macro against a
straightforward pure-Python rendering of the same two generators.

    PYTHONPATH=build/python /usr/bin/python3 bench/macro_bench.py [statements] [repeats]

The statement stream mixes phase gates, rfUnitary, two-qubit gates with and
without an exchange rule, gates without any rule, definitions, controlled
gates with a shortcut and macros that expand into further macros.  Results
are printed, never checked against a limit; the goal for the compiled module
is at most a third of the pure-Python time.
"""

import random
import sys
import time
from collections import defaultdict

from numpy import cos, mod, pi

from zaradu.base import RavexError, head
from zaradu.libs import std


# ---------------------------------------------------------------- pure Python

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


_VZ_rules = {"P": _VZ_P, "rfUnitary": _VZ_rfUnitary, "Reset": _VZ_clear, "Measure": _VZ_clear,
             "CZ": _VZ_exchangable, "I": _VZ_exchangable, "Barrier": _VZ_exchangable,
             "Delay": _VZ_exchangable, "iSWAP": _VZ_swap, "SWAP": _VZ_swap}


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


# ---------------------------------------------------------------- workload

def workload(n, seed=1):
    rng = random.Random(seed)
    nq = 16
    prog = [("define", f"a{i}", i) for i in range(nq)]

    def q():
        i = rng.randrange(nq)
        return f"a{i}" if rng.random() < 0.3 else i

    def pair():
        a, b = rng.sample(range(nq), 2)
        return (a, f"a{b}") if rng.random() < 0.3 else (a, b)

    kinds = [
        (22, lambda: (("P", rng.uniform(-4, 4)), q())),
        (14, lambda: (("rfUnitary", rng.uniform(0, pi), rng.uniform(0, 2 * pi)), q())),
        (8, lambda: ("H", q())),                       # macro: P + rfUnitary
        (5, lambda: ("Cnot", pair())),                 # macro of macros: H, CZ, H
        (4, lambda: (("Rz", rng.uniform(0, 2)), q())), # macro: P
        (4, lambda: ("X", q())),                       # macro: rfUnitary
        (10, lambda: ("CZ", pair())),
        (4, lambda: ("SWAP", pair())),
        (3, lambda: ("Measure", q())),
        (2, lambda: ("Barrier", tuple(range(nq)))),
        (6, lambda: ("Foo", q())),                     # no macro, no rule: flush
        (3, lambda: ("CR", pair())),                   # two-qubit, no rule
        (2, lambda: (("C", "Z"), pair())),            # controlled, shortcut
        (2, lambda: ("define", f"a{rng.randrange(nq)}", rng.randrange(nq))),
    ]
    weights = [w for w, _ in kinds]
    makers = [m for _, m in kinds]
    prog.extend(make() for make in rng.choices(makers, weights, k=n - len(prog)))
    return prog


def run(ext, red, prog):
    return list(red(ext(prog, std), std))


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    prog = workload(n)
    print(f"statements in: {len(prog)}")

    t_py, out_py = best_time(lambda: run(extend_macro, reduceVirtualZ, prog), repeats)
    print(f"pure Python:   {t_py * 1e3:9.1f} ms  ({len(out_py)} statements out, "
          f"{t_py / len(prog) * 1e9:.0f} ns per input statement)")
    try:
        import zaradu.macro as macro
    except ImportError as e:
        print(f"zaradu.macro:  not available ({e})")
        return
    t_c, out_c = best_time(lambda: run(macro.extend_macro, macro.reduceVirtualZ, prog), repeats)
    print(f"zaradu.macro:  {t_c * 1e3:9.1f} ms  ({len(out_c)} statements out, "
          f"{t_c / len(prog) * 1e9:.0f} ns per input statement)")
    same = out_c == out_py and all(type(a[0][1]) is type(b[0][1])
                                   for a, b in zip(out_c, out_py) if head(a) == "P")
    print(f"outputs identical: {same}")
    print(f"ratio compiled / pure Python: {t_c / t_py:.3f}  (goal <= 0.333)")


if __name__ == "__main__":
    main()
