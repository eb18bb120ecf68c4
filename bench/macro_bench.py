#!/usr/bin/python3
r"""Macro expansion followed by virtual-Z reduction: zaradu.macro against the pure-Python
rendering of the same two generators (tests/support/macro_reference.py).

    PYTHONPATH=build/python bench/macro_bench.py [statements] [repeats]
    PYTHONPATH=build/python bench/macro_bench.py [statements] \
        --compare OTHER_BUILD/python [--runs 5] [--cpu N]
    PYTHONPATH=build/python bench/macro_bench.py --interleaved [--compare ...]
    sudo bench/macro_bench_root.sh ROOT [OTHER_CHECKOUT] [-- arguments as above]

The last form runs the same on the CPython 3.14 of a Debian testing root ROOT: it builds
this checkout (and OTHER_CHECKOUT) there and passes the arguments on, `--compare-other`
standing for `--compare` with the other checkout's build (see its --help).

The statement stream mixes phase gates, rfUnitary, two-qubit gates with and
without an exchange rule, gates without any rule, definitions, controlled
gates with a shortcut and macros that expand into further macros.  Results
are printed, never checked against a limit; the goal for the compiled module
is at most a third of the pure-Python time.

With --compare, every timing runs in a fresh process pinned to one CPU
(taskset -c CPU; by default the highest-numbered CPU this process may use): the
compiled module of this build (the PYTHONPATH given),
the compiled module of the other build (its staged python/ directory) and the
pure-Python rendering, one after the other in each of --runs rounds.  Each
process builds the same stream, expands and reduces it once to warm up and
then times one more pass.  Printed are the medians over the rounds, the
compiled / pure-Python ratio of each build and the ratio of this build to the
other; the outputs of the three are checked to be identical.

With --interleaved, the stream is two programs of 20000 statements, each expanded by an
extend_macro generator of its own over an environment of its own of 20000 names, the two
generators drawn in turn (the statement count is not used).
Printed beside it is the same pair run one after the other; the pure-Python rendering is
drawn in turn. Here too --compare times each in fresh processes, pinned, as medians.
"""

import argparse
import gc
import hashlib
import json
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

from bench_options import Parser, add_cpu_option, fail, pinned, positive

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))

try:
    from numpy import pi

    from macro_reference import extend_macro, reduceVirtualZ  # the pure-Python rendering
    from zaradu.base import head
    from zaradu.libs import std
except ImportError as e:
    missing = str(e)   # reported once the options are read: --help needs no build
else:
    missing = None


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


# Two programs, each over an environment of its own: its qubits are ints, and names of the
# environment that stand for them.
INTERLEAVED_NAMES = 20_000


def interleaved_workload():
    pairs = []
    for k in range(2):
        env = {f"q{k}_{i}": i % 16 for i in range(INTERLEAVED_NAMES)}
        prog = [("CZ", (i % 16, f"q{k}_{i}")) if i % 2 else ("X", i % 16) for i in range(INTERLEAVED_NAMES)]
        pairs.append((prog, env))
    return pairs


def draw(gens, in_turn):
    """Every statement of each generator: drawn in turn, or one generator after the other
    by the same loop."""
    outs = [[] for _ in gens]
    pending = list(zip(gens, outs))
    i = 0
    while pending:
        g, out = pending[i]
        st = next(g, None)
        if st is None:
            del pending[i]
            i = i % len(pending) if pending and in_turn else 0
            continue
        out.append(st)
        if in_turn:
            i = (i + 1) % len(pending)
    return outs


def interleaved_passes(ext, pairs):
    """The two expansions drawn in turn, then one after the other: (seconds, outputs) each."""
    passes = {}
    for in_turn in (True, False):
        gc.collect()  # neither pass pays for the garbage of an earlier one
        t0 = time.perf_counter()
        outs = draw([ext(prog, std, env) for prog, env in pairs], in_turn)
        passes[in_turn] = (time.perf_counter() - t0, outs)
    return passes[True], passes[False]


def run(ext, red, prog):
    return list(red(ext(prog, std), std))


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def digest(out):
    """What two runs must agree on: every statement, and the type of each phase."""
    kinds = [type(st[0][1]).__name__ for st in out if head(st) == "P"]
    return hashlib.sha256(repr((out, kinds)).encode()).hexdigest()


def worker(side, n, interleaved=False):
    """One timed pass in this process, after a warm-up pass; prints a JSON line."""
    if side == "pure":
        ext, red = extend_macro, reduceVirtualZ
    else:
        import zaradu.macro as macro
        ext, red = macro.extend_macro, macro.reduceVirtualZ
    if interleaved:
        pairs = interleaved_workload()
        interleaved_passes(ext, pairs)
        (t_turn, drawn), (t_seq, seq) = interleaved_passes(ext, pairs)
        same = drawn == seq
        print(json.dumps({"seconds": t_turn, "one after the other": t_seq, "same": same,
                          "statements": sum(map(len, drawn)), "digest": digest(drawn[0] + drawn[1])}))
        return
    prog = workload(n)
    run(ext, red, prog)
    t0 = time.perf_counter()
    out = run(ext, red, prog)
    elapsed = time.perf_counter() - t0
    print(json.dumps({"seconds": elapsed, "statements": len(out), "digest": digest(out)}))


def compare(n, other, runs, cpu, interleaved=False):
    here = os.environ.get("PYTHONPATH", "")
    sides = {"this build": ("compiled", here), "other build": ("compiled", other),
             "pure Python": ("pure", here)}
    times = {name: [] for name in sides}
    sequential = {name: [] for name in sides}
    digests = set()
    same = True
    for _ in range(runs):
        for name, (side, path) in sides.items():
            env = dict(os.environ, PYTHONPATH=path)
            cmd = pinned(cpu) + [sys.executable, os.path.abspath(__file__), str(n), "--worker", side]
            res = subprocess.run(cmd + ["--interleaved"] * interleaved, env=env, capture_output=True, text=True)
            if res.returncode != 0:
                last = (res.stderr.strip().splitlines() or ["no message"])[-1]
                fail(f"the {name} pass failed: {last}")
            r = json.loads(res.stdout.splitlines()[-1])
            times[name].append(r["seconds"])
            digests.add(r["digest"])
            if interleaved:
                sequential[name].append(r["one after the other"])
                same = same and r["same"]
    med = {name: statistics.median(ts) for name, ts in times.items()}
    if interleaved:
        print(f"two generators over two environments of {INTERLEAVED_NAMES} names, {INTERLEAVED_NAMES} "
              f"statements each, drawn in turn; medians of {runs} runs, each in a fresh process on CPU {cpu}")
    else:
        print(f"statements in: {n}, medians of {runs} runs, each in a fresh process on CPU {cpu}")
    for name in sides:
        spread = f"{min(times[name]) * 1e3:.1f}..{max(times[name]) * 1e3:.1f}"
        line = f"{name + ':':13s} {med[name] * 1e3:9.1f} ms  (runs {spread} ms)"
        if interleaved:
            line += f"; one after the other {statistics.median(sequential[name]) * 1e3:.1f} ms"
        print(line)
    print(f"outputs identical: {len(digests) == 1 and same}")
    for name in ("this build", "other build"):
        print(f"ratio compiled / pure Python, {name}: {med[name] / med['pure Python']:.3f}")
    print(f"ratio this build / other build: {med['this build'] / med['other build']:.3f}  (goal <= 0.80)")


def interleaved(repeats):
    """The interleaved case without --compare: the best of `repeats` passes of each."""
    import zaradu.macro as macro
    pairs = interleaved_workload()
    best = {}
    for name, ext in (("zaradu.macro", macro.extend_macro), ("pure Python", extend_macro)):
        turns, seqs = [], []
        for _ in range(repeats):
            (t_turn, drawn), (t_seq, seq) = interleaved_passes(ext, pairs)
            turns.append(t_turn)
            seqs.append(t_seq)
        best[name] = (min(turns), min(seqs), drawn, seq)
    print(f"two generators over two environments of {INTERLEAVED_NAMES} names, drawn in turn "
          f"(best of {repeats})")
    for name, (t_turn, t_seq, _, _) in best.items():
        print(f"{name + ':':14s} {t_turn * 1e3:9.1f} ms  (one after the other {t_seq * 1e3:.1f} ms)")
    outs = [b[2] for b in best.values()] + [b[3] for b in best.values()]
    print(f"outputs identical: {all(o == outs[0] for o in outs)}")


def main():
    ap = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("statements", nargs="?", type=positive(int), default=200_000,
                    help="statements in the stream (default 200000)")
    ap.add_argument("repeats", nargs="?", type=positive(int), default=5,
                    help="passes of each side without --compare, of which the best is printed")
    ap.add_argument("--compare", metavar="OTHER_PYTHON_DIR",
                    help="the staged python/ directory of another build, timed beside this one")
    ap.add_argument("--runs", type=positive(int), default=5,
                    help="rounds of fresh processes (with --compare)")
    add_cpu_option(ap, "the processes are pinned to (with --compare)")
    ap.add_argument("--interleaved", action="store_true",
                    help="two generators over two environments of 20000 names, drawn in turn")
    ap.add_argument("--worker", choices=("pure", "compiled"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if missing:
        fail(f"{missing}: run with PYTHONPATH=build/python after scripts/demo or scripts/test has built it")
    n = args.statements
    if args.worker:
        worker(args.worker, n, args.interleaved)
        return
    if args.compare:
        other = os.path.abspath(args.compare)
        if not os.path.isdir(os.path.join(other, "zaradu")):
            fail(f"--compare {args.compare}: not the staged python/ directory of a build "
                 "(it has no zaradu/)")
        compare(n, other, args.runs, args.cpu, args.interleaved)
        return
    repeats = args.repeats
    if args.interleaved:
        interleaved(repeats)
        return
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
