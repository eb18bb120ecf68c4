#!/usr/bin/python3
"""Regenerates examples/demo.velk, a small two-channel program.

    examples/make_example.py

"drive": a DRAG-corrected Gaussian pi/2 pulse and a Cosine pulse on a 5 GHz
carrier with a virtual phase shift between them, then a sampled flat-top
waveform after a barrier that only this block takes part in.
"readout": an operand thread holds barrier 1 until 40 ns, so the measure block
starts there with a square readout pulse and its captures; a "function" map compresses large amplitudes
and "sos" sections (applied, as channels.toml enables them) smooth the edges.
"""

import argparse
import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

from bench_options import Parser  # noqa: E402
from velk_writer import Var, VelkWriter  # noqa: E402

Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter).parse_args()
here = Path(__file__).resolve().parent
w = VelkWriter()

drive_amp = w.variable("drive_amp", "f64", 0.4)
drag = w.variable("drag", "f64", -2.5e8)
qubit = w.variable("qubit", "str", "q0")
ramp = w.data("f32", [math.sin(math.pi * k / 40) ** 2 for k in range(20)] + [1.0] * 20 +
              [math.cos(math.pi * k / 40) ** 2 for k in range(20)])

drive = w.module("drive", settings={"amp": ("f64", 0.4), "carrier_hz": ("f64", 5.0e9)},
                 defaults=[(1, {"width": 24e-9, "shape": 2})])
main = drive.block("main")
main.set_frequency(5.0e9)
main.shaped(amp=Var(drive_amp), block1=Var(drag))
main.delay(24e-9).shift_phase(math.pi / 2)
main.shaped(amp=Var(drive_amp), width=16e-9, plateau=8e-9, shape=1)
main.delay(24e-9).barrier(1)
main.real_waveform(ramp, 0.2)

readout = w.module("readout", settings={
    "function": ("json", "[[-1, -0.5, 0, 0.5, 1], [-0.8, -0.45, 0, 0.45, 0.8]]"),
    "sos": ("json", "[[0.2, 0.2, 0, 1, -0.6, 0]]"),
})
readout.operands([("const", 40e-9), ("barrier", 1)])
ro = readout.block("measure")
ro.set_frequency(7.1e9).barrier(1)
ro.capture(qubit=Var(qubit), creg="c0", idx=0, duration=200e-9, frequency=7.1e9,
           phi=0.0, threshold=0.02)
ro.shaped(amp=0.3, width=200e-9, shape=3)
ro.delay(200e-9).capture_trace(creg="trace", idx=1, duration=200e-9)

w.write(here / "demo.velk")
print(f"wrote {here / 'demo.velk'}")
