#!/usr/bin/python3
r"""Writes a large two-channel program for the benchmarks.

    bench/make_large_program.py OUT_DIR \
        [--pulses N] [--pulse-samples S] [--wave-samples W]

OUT_DIR receives large.velk and channels.toml. Each channel runs at 1 GS/s and
holds N pulses of S samples back to back (defaults 10^4 x 10^3: 10^7 samples):
"drive" alternates DRAG Gaussian and cosine-edged shaped pulses with a virtual
phase shift after each; "readout" waits at a barrier for an operand thread, then
plays a square readout pulse with a capture per slot, every tenth slot a sampled
complex waveform instead (W samples, S by default), through a "function" map and
"sos" sections (enabled). A longer channel with the same program size: raise S and
keep W.
"""

import argparse
import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))

from bench_options import Parser, fail, positive  # noqa: E402
from velk_writer import Var, VelkWriter  # noqa: E402

FS = 1_000_000_000


def build(pulses: int, pulse_samples: int, wave_samples: int | None = None) -> VelkWriter:
    slot = pulse_samples / FS
    w = VelkWriter()
    amp = w.variable("amp", "f64", 0.3)
    drag = w.variable("drag", "f64", -1.5e8)
    n = wave_samples or pulse_samples
    wave = w.data("complex128", [complex(math.sin(math.pi * k / n) ** 2,
                                         0.1 * math.sin(2 * math.pi * k / n))
                                 for k in range(n)])

    drive = w.module("drive", settings={"amp": ("f64", 0.3)},
                     defaults=[(1, {"width": slot, "shape": 2})])
    b = drive.block("pulses").set_frequency(5.3e7)
    for k in range(pulses):
        if k % 2 == 0:
            b.shaped(amp=Var(amp), block1=Var(drag), delta=1e5)
        else:
            b.shaped(amp=Var(amp), width=slot / 2, plateau=slot / 2, shape=0)
        b.delay(slot).shift_phase(0.01)

    readout = w.module("readout", settings={
        "function": ("json", "[[-1, -0.5, 0, 0.5, 1], [-0.8, -0.45, 0, 0.45, 0.8]]"),
        "sos": ("json", "[[0.2, 0.2, 0, 1, -0.6, 0], [1, 0, 0, 1, -0.1, 0]]"),
    })
    readout.operands([("const", slot), ("barrier", 1)])
    r = readout.block("measure").set_frequency(7.1e7).barrier(1)
    for k in range(pulses - 1):
        if k % 10 == 0:
            r.complex_waveform(wave, 0.5)
        else:
            r.shaped(amp=0.5, width=slot, shape=3)
        r.capture(qubit="q0", creg="c", idx=k, duration=slot, frequency=7.1e7, phi=0.0,
                  threshold=0.0)
        r.delay(slot)
    r.capture_trace(creg="trace", idx=0, duration=slot)
    r.complex_waveform(wave, 0.5)
    return w


def write_channels(path: Path):
    path.write_text(f"[channels.drive]\nsample_rate = {FS}\n\n"
                    f"[channels.readout]\nsample_rate = {FS}\nenable_iir = true\n")


def main():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=Path, help="the directory that receives the two files")
    parser.add_argument("--pulses", type=positive(int), default=10_000, help="pulses per channel")
    parser.add_argument("--pulse-samples", type=positive(int), default=1_000, help="samples per pulse")
    parser.add_argument("--wave-samples", type=positive(int), default=None,
                        help="samples of the complex waveform (default: --pulse-samples)")
    args = parser.parse_args()
    try:
        args.out.mkdir(parents=True, exist_ok=True)
        build(args.pulses, args.pulse_samples, args.wave_samples).write(args.out / "large.velk")
        write_channels(args.out / "channels.toml")
    except OSError as e:
        fail(f"{e.filename or args.out}: {e.strerror}")


if __name__ == "__main__":
    main()
