#!/usr/bin/python3
"""Writes a program that is mostly sampled data, for the memory benchmark.

    bench/make_sampled_program.py OUT_DIR [--kind complex128] [--samples 4000000]

OUT_DIR receives sampled.velk and channels.toml. One channel at 1 GS/s plays one
sampled waveform of S samples of the given DATA kind (complex128 or complex64 for
a complex waveform, f64 or f32 for a real one), so that the file is little more
than its samples: 64 MB for the defaults, and for 8000000 f64 samples. A run needs
about the file while it is read and one copy of its samples.
"""

import argparse
import math
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))

from velk_writer import VelkWriter  # noqa: E402

FS = 1_000_000_000
# The payload repeats one period of this many samples.
PERIOD = 1000
ELEMENTS = {"f32": "<f", "f64": "<d", "complex64": "<ff", "complex128": "<dd"}


def payload(kind: str, samples: int) -> bytes:
    element = struct.Struct(ELEMENTS[kind])
    period = b"".join(
        element.pack(*((math.sin(math.pi * k / PERIOD) ** 2,
                        0.1 * math.sin(2 * math.pi * k / PERIOD))[:len(ELEMENTS[kind]) - 1]))
        for k in range(PERIOD))
    whole, rest = divmod(samples, PERIOD)
    return period * whole + period[:rest * element.size]


def build(kind: str = "complex128", samples: int = 4_000_000) -> VelkWriter:
    w = VelkWriter()
    wave = w.data(kind, payload(kind, samples))
    b = w.module("sampled").block("main").set_frequency(5e7)
    if kind.startswith("complex"):
        b.complex_waveform(wave, 0.5)
    else:
        b.real_waveform(wave, 0.5)
    return w


def write_channels(path: Path):
    path.write_text(f"[channels.sampled]\nsample_rate = {FS}\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out", type=Path)
    parser.add_argument("--kind", choices=sorted(ELEMENTS), default="complex128")
    parser.add_argument("--samples", type=int, default=4_000_000)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    build(args.kind, args.samples).write(args.out / "sampled.velk")
    write_channels(args.out / "channels.toml")


if __name__ == "__main__":
    main()
