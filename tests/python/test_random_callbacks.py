"""Random programs run through extend_macro and reduceVirtualZ with callbacks at every point
where the module hands control to the program: `head`, `getGate`, the macros and their
outputs, the rules and their statement lists, `env.get`, `_lookup` and `mod` when replaced,
and the `__eq__`, `__hash__` and `__getitem__` of gate names, qubits and statements. Each
callback is logged and then, drawn from a seeded random source, does nothing, collects,
walks the collector's young objects touching every item of every tuple, changes a list of
the program, the environment or the rule table, runs a small program through the module
again, draws from the generator that is running, or raises. Finalizers of garbage cycles in
the programs walk the collector's objects too, while collections are made due every few
allocations.

The compiled module and the module written in Python (tests/support/macro_reference.py)
run every program with the same seed, driven by the same `next`, `send`, `throw` and
`close` calls, and must give the same items, the same exceptions, the same log of calls and
the same final environment. A second run, of the compiled module alone, lets finalizers
change the programs at whatever moment the collector runs them: no result is compared
there, but nothing may crash (the suites also run under AddressSanitizer)."""

import gc
import random
import sys
from pathlib import Path

import pytest
from suite_env import FREE_THREADED, NUMPY_STANDIN

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import reference_runs  # noqa: E402
from reference_runs import canonical, chain  # noqa: E402

import zaradu.base  # noqa: E402

# The free-threaded interpreter has no young generation: each collection, and each walk of
# the collector's objects, takes the whole heap. There collections are made due less often,
# and fewer programs are run.
SEEDS = range(300 if FREE_THREADED else 3000)
CHAOS_SEEDS = range(200 if FREE_THREADED else 2000)
THRESHOLDS = [300, 3000] if FREE_THREADED else [1, 3, 10, 100]


class Raised(Exception):
    """What a callback raises when its action is to raise."""


class World:
    """What the callbacks of one run share: the implementation and its namespace, the random
    source of their actions, the log, the program's lists that they may change, the
    environment and the generator being driven."""

    def __init__(self, impl, seed, chaos=False):
        self.impl, self.ns = impl, impl.ns
        self.rng = random.Random(seed)
        self.chaos = chaos
        self.walks = impl.name == "compiled"  # CPython 3.11's own tuple(generator) is not walked
        self.log = []
        self.depth = 0
        self.lists = []
        self.env = None
        self.running = None
        self.quiet = False

    def callback(self, where, *what):
        if self.quiet:
            return
        self.log.append((where,) + tuple(canonical(w) for w in what))
        if self.depth >= 2:
            return
        self.depth += 1
        try:
            self.act(self.rng.random())
        finally:
            self.depth -= 1

    def act(self, r):
        rng = self.rng
        if r < 0.45:
            return
        if r < 0.52:
            gc.collect(0 if r < 0.51 else 1)
        elif r < 0.64:
            self.walk()
        elif r < 0.74:
            self.change_a_list()
        elif r < 0.80:
            self.change_the_environment()
        elif r < 0.86:
            self.change_the_rules()
        elif r < 0.93:
            self.log.append(("again", self.run_again()))
        elif r < 0.985:
            if self.running is not None:
                try:
                    next(self.running)
                except BaseException as e:  # noqa: B902
                    self.log.append(("running", type(e).__name__))
        else:
            raise rng.choice([Raised("callback"), KeyError("callback"), GeneratorExit(), StopIteration("callback")])

    def walk(self):
        if self.walks:
            for o in gc.get_objects(0):
                if type(o) is tuple:
                    [type(x) for x in o]

    def change_a_list(self):
        if not self.lists:
            return
        rng = self.rng
        lst = rng.choice(self.lists)
        how = rng.randrange(5)
        if how == 0:
            lst.clear()
        elif how == 1 and lst:
            lst.pop(rng.randrange(len(lst)))
        elif how == 2:
            lst.append(rng.choice([0, 1, "a", 2.5]))
        elif how == 3:
            lst.reverse()
        elif lst:
            lst[rng.randrange(len(lst))] = rng.choice([0, "b", 1.5])

    def change_the_environment(self):
        env = self.env
        if env is None:
            return
        key = self.rng.choice(["a", "b", 1, 2])
        value = self.rng.choice([0, 3, "a", "x"])
        if isinstance(env, dict):
            env[key] = value
        else:
            env.data[key] = value

    def change_the_rules(self):
        rng = self.rng
        how = rng.randrange(3)
        rules = self.ns["_VZ_rules"]
        name = rng.choice(["CZ", "X", "R1", "SWAP", "H"])
        if how == 0:
            rules.pop(name, None)
        elif how == 1:
            rules[name] = make_rule(self, name, rng.randrange(4))
        else:
            self.ns["_VZ_rules"] = dict(rules)

    def run_again(self):
        impl, rng = self.impl, self.rng
        prog = [("CZ", (0, "a")), (("P", 0.5), 1), ("X", (1, "b"))]
        how = rng.randrange(3)
        try:
            if how == 0:
                return canonical(impl.lookup(("G", (0, "a", 2)), self.env))
            if how == 1:
                return canonical(list(impl.extend_macro(prog, Lib(self, {}), self.env)))
            return canonical(list(impl.reduceVirtualZ(prog, None)))
        except BaseException as e:  # noqa: B902
            return type(e).__name__


# ---------------------------------------------------------------- the program's objects

def calling(base):
    """A subclass of `base` whose comparisons and hashes are callbacks."""

    class Calling(base):
        def __new__(cls, value, world):
            self = super().__new__(cls, value)
            self.world = world
            return self

        def __eq__(self, other):
            self.world.callback("eq", self, other)
            return base.__eq__(self, other)

        def __hash__(self):
            self.world.callback("hash", self)
            return base.__hash__(self)

    return Calling


class Name(calling(str)):
    """A gate name whose comparisons and hashes are callbacks."""


class Qubit(calling(int)):
    """A qubit whose comparisons and hashes are callbacks."""

    def __repr__(self):
        return f"Q{int(self)}"


class Statement(tuple):
    """A statement whose item reads are callbacks."""

    def __new__(cls, items, world):
        self = super().__new__(cls, items)
        self.world = world
        return self

    def __getitem__(self, i):
        self.world.callback("getitem", i)
        return tuple.__getitem__(self, i)


class Env:
    """An environment whose `get` is a callback."""

    def __init__(self, world, data):
        self.world, self.data = world, data

    def get(self, name, default):
        self.world.callback("env.get", name)
        return self.data.get(name, default)

    def __setitem__(self, name, value):
        self.world.callback("env.set", name)
        self.data[name] = value


class Garbage:
    """Part of a cycle; its finalizer walks the young objects, or in a chaos run changes a list
    of the program."""

    def __init__(self, world):
        self.world, self.me = world, self

    def __del__(self):
        w = self.world
        w.walk()
        if w.chaos and w.lists:
            lst = w.lists[id(self) % len(w.lists)]
            del lst[len(lst) // 2:]

    def __repr__(self):
        return "Garbage"


class Lib:
    """A gate library whose `getGate` is a callback."""

    def __init__(self, world, macros):
        self.world, self.macros = world, macros

    def getGate(self, name):
        self.world.callback("getGate", name)
        return self.macros.get(str.__getitem__(name, slice(None))) if isinstance(name, str) else None


def make_output(world, name, kind, statements):
    """The output of macro `name`: its statements as a list, tuple or generator (one draw a
    callback), an object that is not iterable, or an exception."""
    def macro(q, *params):
        world.callback("macro", name, q, params)
        if kind == "list":
            out = list(statements)
            world.lists.append(out)
            return out
        if kind == "tuple":
            return tuple(statements)
        if kind == "generator":
            def draws():
                for s in statements:
                    world.callback("draw", name)
                    yield s
            return draws()
        if kind == "raise":
            raise Raised(name)
        return 5
    return macro


def make_rule(world, name, kind):
    """A rule named `name` of one of four kinds: statements as a list, as a generator, a
    rule that raises, a rule that swaps the phases."""
    def rule(st, phaseList):
        world.callback("rule", name, st, phaseList)
        if kind == 0:
            return [st], phaseList
        if kind == 1:
            def draws():
                world.callback("draw", name)
                yield st
                world.callback("draw", name)
            return draws(), phaseList
        if kind == 2:
            raise world.rng.choice([Raised(name), GeneratorExit()])
        return [st, ("after", name)], list(phaseList)[::-1]
    return rule


def make_program(world, rng):
    """A random program of 4 to 14 statements for the world's callbacks, with its library and
    environment."""
    qubits = [0, 1, "a", "b", Qubit(2, world), Qubit(3, world)]

    def qubit():
        return rng.choice(qubits)

    def target():
        kind = rng.randrange(5)
        if kind < 2:
            return qubit()
        if kind < 4:
            return tuple(qubit() for _ in range(rng.randrange(1, 4)))
        lst = [qubit() for _ in range(rng.randrange(1, 3))]
        world.lists.append(lst)
        return lst

    def name(text):
        return Name(text, world) if rng.random() < 0.3 else text

    def gate(macros=True):
        kind = rng.randrange(8)
        if kind == 0:
            return (name("P"), rng.choice([0.5, -1.25, 7, 6.283185307179586]))
        if kind == 1:
            params = [name("rfUnitary"), 1.5, rng.choice([0.25, 2])] + [2.0] * rng.randrange(2)
            if rng.random() < 0.3:
                world.lists.append(params)
                return params
            return tuple(params)
        if kind == 2 and macros:
            return (name(rng.choice(["M1", "M2"])), rng.choice([0.5, 3]))
        if kind == 3 and macros:
            return name(rng.choice(["M1", "M2", "M3"]))
        return name(rng.choice(["X", "H", "CZ", "SWAP", "Measure", "I", "R1", "R2"]))

    def statement(macros=True):
        kind = rng.randrange(12)
        if kind == 0:
            st = (name("define"), rng.choice(["a", "b", 1]), qubit())
        elif kind == 1:
            inner = rng.choice(["X", "Z"] if NUMPY_STANDIN else ["X", "Z", ("Rx", 0.5), "H"])
            st = ((name("C"), inner), (qubit(), qubit()))
        else:
            st = (gate(macros), target())
        if rng.random() < 0.1:
            st = st + (Garbage(world),)
        shape = rng.randrange(10)
        if shape < 2:
            return Statement(st, world)
        if shape == 2:
            lst = list(st)
            world.lists.append(lst)
            return lst
        return st

    kinds = ["list", "tuple", "generator", "generator", "raise", "not iterable"]
    macros = {"M3": make_output(world, "M3", rng.choice(kinds), [statement(False) for _ in range(2)])}
    macros["M2"] = make_output(world, "M2", rng.choice(kinds),
                               [statement(False), (name("M3"), qubit()), statement(False)])
    macros["M1"] = make_output(world, "M1", rng.choice(kinds), [(name("M2"), target()), statement(False)])
    env_kind = rng.randrange(3)
    env = None if env_kind == 0 else {"a": 1, 1: "b"} if env_kind == 1 else Env(world, {"b": 0})
    prog = [statement() for _ in range(rng.randrange(4, 15))]
    return prog, Lib(world, macros), env


def replace_names(world, rng):
    """Module names of the world's namespace replaced by callbacks (the others left as the
    module's own)."""
    ns = world.ns
    real_head, real_lookup, real_mod = zaradu.base.head, ns["_lookup"], ns["mod"]
    if rng.random() < 0.6:
        def head(st):
            world.callback("head", st)
            return real_head(st)
        ns["head"] = head
    if rng.random() < 0.2:
        def _lookup(name, env):
            world.callback("_lookup", name)
            return real_lookup(name, env)
        ns["_lookup"] = _lookup
    if rng.random() < 0.2:
        def mod(x, y):
            world.callback("mod", x)
            return real_mod(x, y)
        ns["mod"] = mod
    rules = ns["_VZ_rules"]
    rules["R1"] = make_rule(world, "R1", rng.randrange(4))
    rules["R2"] = make_rule(world, "R2", rng.randrange(4))


# ---------------------------------------------------------------- driving a run

def drive(world, gen, may_close):
    """Draws from `gen` with random `next`, `send`, `throw` and `close` calls until it ends;
    gives what each call returned or raised."""
    rng = world.rng
    out = []
    world.running = gen
    try:
        for _ in range(400):
            r = rng.random()
            try:
                if r < 0.88:
                    item = next(gen)
                elif r < 0.93:
                    item = gen.send(None)
                elif r < 0.94:
                    item = gen.send("sent")
                elif r < 0.98:
                    item = gen.throw(rng.choice([Raised("thrown"), KeyError("thrown"), GeneratorExit()]))
                elif may_close:
                    out.append(("closed", canonical(gen.close())))
                    continue
                else:
                    continue
            except StopIteration:
                out.append("end")
                break
            except BaseException as e:  # noqa: B902
                out.append(("raised", chain(e)))
                break
            out.append(canonical(item))
    finally:
        world.running = None
    return out


def run(impl, seed, chaos=False):
    """One seed's program on `impl`: what the run gave, the log, the final environment."""
    world = World(impl, seed, chaos)
    rng = world.rng
    ns = impl.ns
    saved_ns, saved_rules = dict(ns), dict(ns["_VZ_rules"])
    saved_threshold = gc.get_threshold()
    saved_hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    gens = []
    try:
        replace_names(world, rng)
        prog, lib, env = make_program(world, rng)
        world.env = env
        mode = rng.randrange(3)
        gc.set_threshold(rng.choice(THRESHOLDS))
        if mode == 0:
            gens.append(impl.extend_macro(prog, lib, env))
            got = drive(world, gens[-1], True)
        elif mode == 1:
            flat = [s for s in prog if not isinstance(s, (tuple, list)) or len(s) != 3]
            gens.append(impl.reduceVirtualZ(flat, lib))
            got = drive(world, gens[-1], False)
        else:
            gens.append(impl.extend_macro(prog, lib, env))
            gens.append(impl.reduceVirtualZ(gens[-1], lib))
            got = drive(world, gens[-1], False)
        final_env = canonical(env.data if isinstance(env, Env) else env)
        return got, world.log, final_env
    finally:
        world.quiet = True
        world.walks = world.chaos = False  # for the garbage of this run that is collected later
        for g in reversed(gens):
            try:
                g.close()
            except BaseException:  # noqa: B902  (the Python's reduction refuses a close in its handler)
                pass
        del gens
        gc.set_threshold(*saved_threshold)
        sys.unraisablehook = saved_hook
        ns.clear()
        ns.update(saved_ns)
        ns["_VZ_rules"].clear()
        ns["_VZ_rules"].update(saved_rules)


@pytest.mark.parametrize("block", range(0, len(SEEDS), 100), ids=lambda b: f"seeds{b}")
def test_compiled_and_python_agree_under_random_callbacks(block):
    for seed in SEEDS[block:block + 100]:
        want = run(reference_runs.python(), seed)
        got = run(reference_runs.compiled(), seed)
        assert got == want, f"seed {seed}"


def test_finalizers_that_change_the_program_never_crash():
    for seed in CHAOS_SEEDS:
        got, log, env = run(reference_runs.compiled(), seed, chaos=True)
        assert got and log is not None
