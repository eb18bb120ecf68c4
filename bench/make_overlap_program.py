#!/usr/bin/python3
r"""Writes a small program of many long overlapping pulses for the memory benchmark.

    bench/make_overlap_program.py OUT_DIR \
        [--pulses 40] [--pulse-samples 8388608]

OUT_DIR receives overlap.velk (about 1 KB) and channels.toml. One channel at 1 GS/s
plays N DRAG Gaussian pulses of S samples each, every one starting 1/N of a pulse
after the previous one, in four blocks, so that up to N pulses overlap at every
sample. Rendered whole, each pulse's envelope alone would take 16 bytes per sample
(5.4 GB for the defaults); rendered in chunks the run needs a few MiB.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))

from bench_options import Parser, fail, positive  # noqa: E402
from velk_writer import VelkWriter  # noqa: E402

FS = 1_000_000_000


def build(pulses: int, pulse_samples: int) -> VelkWriter:
    width = pulse_samples / FS
    step = width / pulses
    w = VelkWriter()
    m = w.module("overlap", defaults=[(1, {"width": width, "shape": 2, "block1": -1.5e8})])
    blocks = [m.block(f"b{k}").set_frequency(4.7e7 + 1e6 * k) for k in range(4)]
    for p in range(pulses):
        b = blocks[p % len(blocks)]
        if p >= len(blocks):
            b.delay(step * len(blocks))
        elif p > 0:
            b.delay(step * p)
        b.shaped(amp=0.02, delta=1e3 * p)
        b.shift_phase(0.1)
    return w


def write_channels(path: Path):
    path.write_text(f"[channels.overlap]\nsample_rate = {FS}\n")


def main():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=Path, help="the directory that receives the two files")
    parser.add_argument("--pulses", type=positive(int), default=40, help="overlapping pulses")
    parser.add_argument("--pulse-samples", type=positive(int), default=1 << 23, help="samples per pulse")
    args = parser.parse_args()
    try:
        args.out.mkdir(parents=True, exist_ok=True)
        build(args.pulses, args.pulse_samples).write(args.out / "overlap.velk")
        write_channels(args.out / "channels.toml")
    except OSError as e:
        fail(f"{e.filename or args.out}: {e.strerror}")


if __name__ == "__main__":
    main()
