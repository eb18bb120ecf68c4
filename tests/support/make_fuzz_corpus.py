"""Regenerates the seed corpus of the bytecode reader's fuzz target.

    PYTHONPATH=tests/support /usr/bin/python3 tests/support/make_fuzz_corpus.py
"""

from pathlib import Path

from velk_writer import Var, VelkWriter

out = Path(__file__).resolve().parents[2] / "fuzz" / "corpus" / "binary"
out.mkdir(parents=True, exist_ok=True)


def every_opcode() -> VelkWriter:
    w = VelkWriter()
    a = w.variable("a", "f64", 1.5)
    s = w.variable("s", "str", "q0")
    w.variable("j", "json", '{"x": [1, 2]}')
    w.variable("u", "u32", 7)
    w.variable("i", "i32", -7)
    w.variable("f", "f32", 0.25)
    w.variable("none")
    re = w.data("f32", [0.0, 0.5, 1.0])
    cx = w.data("complex128", [1 + 2j, 0.5j])
    w.data("f64", [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], dims=[2, 3])
    w.data("complex64", [1.5 - 2j])
    m = w.module("m", settings={"u": ("u32", 1), "i": ("i32", -1), "f": ("f32", 0.5),
                                "d": ("f64", 2.0), "s": ("str", "x"), "j": ("json", "[1, 2]")},
                 defaults=[(1, {"width": 1e-8, "shape": 2}), (2, {"qubit": "q", "idx": -1})])
    m.operands([("const", 1e-9), ("barrier", 3), ("var", a), ("code", 7)])
    b = m.block("b")
    b.shaped(delta=0.0, amp=Var(a), plateau=1e-9, block1=1.0, block2=2.0)
    b.capture(qubit=Var(s), creg="c", idx=Var(3), duration=1e-6, frequency=1.0, phi=0.0,
              threshold=0.5)
    b.capture_iq(qubit="q", creg="c", idx=1, duration=1e-6, frequency=2.0)
    b.capture_trace(creg="c", duration=1e-6)
    b.delay(1e-9).set_frequency(5e9).shift_phase(0.5).reset_phase().barrier(3)
    b.opcode10("note", 1.0).real_waveform(re, 1.0).complex_waveform(cx, Var(a))
    return w


def two_channels() -> VelkWriter:
    w = VelkWriter()
    for name in ("x", "y"):
        m = w.module(name, settings={"sos": ("json", "[[1, 0, 0, 1, -0.5, 0]]")})
        m.block("main").delay(1e-9).shaped(amp=0.5, width=4e-9, shape=4)
    return w


(out / "every_opcode.velk").write_bytes(every_opcode().build())
(out / "two_channels.velk").write_bytes(two_channels().build())
(out / "empty.velk").write_bytes(b"VELK\x00\x03" + bytes(34))
print(f"wrote {out}")


# Seeds of the variables-file binding target: a 2-byte little-endian program
# length, the program, then the variables file.
bindings = out.parent / "bindings"
bindings.mkdir(parents=True, exist_ok=True)


def bindings_seed(program: bytes, vars_text: str) -> bytes:
    return len(program).to_bytes(2, "little") + program + vars_text.encode()


def declared_variables() -> VelkWriter:
    w = VelkWriter()
    w.variable("a", "f64", 1.5)
    w.variable("s", "str", "q0")
    w.variable("j", "json", '{"x": [1, 2]}')
    w.variable("a", "u32", 7)
    w.variable("none")
    return w


seeds = {
    "numbers.bin": '{"a": 4294967301, "s": -0, "j": 1e3, "none": 18446744073709551615}',
    "strings.bin": '{"a": "\\u00e9", "s": "x", "j": "y", "unknown": 1}',
    "skipped.bin": '{"a": null, "s": true, "j": [1], "none": {"a": 1}}',
    "not_object.bin": '[{"a": 1}]',
    "broken.bin": '{"a": 1,',
}
for name, text in seeds.items():
    (bindings / name).write_bytes(bindings_seed(declared_variables().build(), text))
print(f"wrote {bindings}")
