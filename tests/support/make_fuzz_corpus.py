"""Regenerates the seed corpora of the bytecode reader's and the channel run's fuzz
targets. A channel seed is three bytes that choose the channel (sample rate
10^(b0 % 10), sample count (b1 & 0x7f) * 37 when b1 & 0x80, the filter when
b1 & 0x40) and the chunk size (1 + b2 % 64), then a program.

    PYTHONPATH=tests/support /usr/bin/python3 tests/support/make_fuzz_corpus.py
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from bench_options import Parser  # noqa: E402
from velk_writer import Var, VelkWriter  # noqa: E402

Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter).parse_args()
corpus = Path(__file__).resolve().parents[2] / "fuzz" / "corpus"
out = corpus / "binary"
out.mkdir(parents=True, exist_ok=True)
channel_out = corpus / "channel"
channel_out.mkdir(parents=True, exist_ok=True)


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


def overlapping() -> VelkWriter:
    """Overlapping DRAG pulses and waveforms at a few samples per pulse, mapped and
    filtered, so that small chunks cut through pulses and derivatives."""
    w = VelkWriter()
    cx = w.data("complex128", [0.5 + 0.25j, -1 + 0.5j, 0.75 - 0.5j])
    m = w.module("o", settings={"function": ("json", "[[-1, 0, 1], [-0.5, 0.1, 0.9]]"),
                                "sos": ("json", "[[0.2, 0.3, 0.1, 1, -0.5, 0.2]]")})
    a = m.block("a").set_frequency(0.1)
    a.shaped(amp=0.6, width=9.0, plateau=2.0, shape=2, block1=0.1, block2=-0.03, delta=0.001)
    a.delay(4.0).shaped(amp=0.4, width=6.0, shape=0, block1=0.2)
    m.block("b").delay(2.4).complex_waveform(cx, 2.0).shift_phase(0.5).shaped(amp=1.0, width=3.0,
                                                                                shape=4)
    return w


programs = {"every_opcode": every_opcode().build(), "two_channels": two_channels().build(),
            "overlapping": overlapping().build(), "empty": b"VELK\x00\x03" + bytes(34)}
for name in ("every_opcode", "two_channels", "empty"):
    (out / f"{name}.velk").write_bytes(programs[name])
# (rate 10^9, count 185, filter on, chunk 5), (10^9, chunk 1), (1 S/s, filter on, chunk 3)
for name, program in programs.items():
    for suffix, prefix in (("ns", bytes([9, 0xC5, 4])), ("ns1", bytes([9, 0, 0])),
                           ("s", bytes([0, 0x40, 2]))):
        (channel_out / f"{name}_{suffix}.velk").write_bytes(prefix + program)
print(f"wrote {out} and {channel_out}")


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
