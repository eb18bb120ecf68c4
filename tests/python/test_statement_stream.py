"""A statement stream through extend_macro and reduceVirtualZ gives, on every interpreter,
the results recorded in data/statement_stream.json (values and their types exactly), and
the same results in eight threads at once.

    PYTHONPATH=build/python /usr/bin/python3 tests/python/test_statement_stream.py

records them anew (only when the module's behaviour is meant to change)."""

import json
import random
import threading
from pathlib import Path

import zaradu.macro as macro
from zaradu.libs import std

RECORDED = Path(__file__).with_name("data") / "statement_stream.json"


def stream(n=300, seed=7):
    rnd = random.Random(seed)
    one = ["H", "X", "Y", "S", "-S", "T", "-T", "Measure"]
    angled = ["Rx", "Ry", "Rz"]
    prog = []
    for _ in range(n):
        q = rnd.randrange(5)
        angle = rnd.choice([rnd.uniform(-7.0, 7.0), rnd.randrange(-3, 4), rnd.uniform(-1e3, 1e3)])
        kind = rnd.randrange(6)
        if kind == 0:
            prog.append((rnd.choice(one), q))
        elif kind == 1:
            prog.append(((rnd.choice(angled), angle), q))
        elif kind == 2:
            prog.append((("u3", angle, rnd.uniform(-4.0, 4.0), rnd.uniform(-4.0, 4.0)), q))
        elif kind == 3:
            prog.append((rnd.choice(["Cnot", "CZ"]), (q, (q + 1 + rnd.randrange(4)) % 5)))
        elif kind == 4:
            prog.append((("P", angle), q))
        else:
            prog.append((("rfUnitary", angle, rnd.uniform(-4.0, 4.0)), q))
    return prog


def canonical(value):
    """A JSON form that keeps every number's type and exact value."""
    if isinstance(value, (tuple, list)):
        return [canonical(v) for v in value]
    if isinstance(value, float):
        return [type(value).__name__, value.hex()]
    if isinstance(value, int) and not isinstance(value, bool):
        return ["int", value]
    return value


def results():
    return canonical(list(macro.reduceVirtualZ(macro.extend_macro(stream(), std), std)))


def test_results_are_the_recorded_ones():
    assert results() == json.loads(RECORDED.read_text())


def test_results_in_eight_threads_are_the_single_threaded_ones():
    want = results()
    got = [None] * 8
    barrier = threading.Barrier(8)

    def run(i):
        barrier.wait()
        got[i] = results()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [want] * 8


if __name__ == "__main__":
    RECORDED.write_text(json.dumps(results(), separators=(",", ":")) + "\n")
