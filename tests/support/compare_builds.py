#!/usr/bin/python3
"""Runs two velk_vm builds on random programs and compares their files byte for byte.

    /usr/bin/python3 tests/support/compare_builds.py OLD_VELK_VM NEW_VELK_VM [--programs 40]
        [--seed 1]

Each program has one to three channels of up to about 10^6 samples at 1 GS/s, with
shaped pulses of every shape (with and without DRAG terms) long enough to cross
many render chunks, sampled real and complex waveforms on DATA arrays of every
kind (now and then with an amplitude of zero, infinity or NaN), barriers,
captures, phase and frequency changes, a random sample_count, "function" maps and
"sos" cascades.
Every output file and the printed lines must be the same for both builds.
"""

import argparse
import filecmp
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from bench_options import Parser, fail, positive  # noqa: E402
from velk_writer import Var, VelkWriter  # noqa: E402

FS = 1_000_000_000


def random_program(rng: random.Random):
    w = VelkWriter()
    amp = w.variable("amp", "f64", rng.uniform(0.1, 1.0))
    drag = w.variable("drag", "f64", rng.uniform(-3e8, 3e8))
    real = w.data("f64", [rng.uniform(-1, 1) for _ in range(rng.randint(1, 3000))])
    cplx = w.data("complex128", [complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
                                 for _ in range(rng.randint(1, 3000))])
    arrays = [real, cplx,
              w.data("f32", [rng.uniform(-1, 1) for _ in range(rng.randint(1, 3000))]),
              w.data("complex64", [complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
                                   for _ in range(rng.randint(1, 3000))])]

    def amplitude():
        if rng.random() < 0.1:
            return rng.choice([0.0, -0.0, float("inf"), float("-inf"), float("nan")])
        return rng.uniform(-1, 1)
    channels = []
    for c in range(rng.randint(1, 3)):
        settings = {}
        if rng.random() < 0.5:
            xs = sorted(rng.uniform(-1.5, 1.5) for _ in range(rng.randint(2, 6)))
            ys = [rng.uniform(-1, 1) for _ in xs]
            settings["function"] = ("json", f"[{xs}, {ys}]")
        if rng.random() < 0.5:
            sections = [[rng.uniform(-0.5, 0.5) for _ in range(3)] + [1.0, rng.uniform(-0.6, 0.6),
                                                                      rng.uniform(-0.3, 0.3)]
                        for _ in range(rng.randint(1, 3))]
            settings["sos"] = ("json", str(sections))
        m = w.module(f"ch{c}", settings=settings)
        use_barrier = rng.random() < 0.5
        if use_barrier:
            m.operands([("const", rng.uniform(0, 5e-5)), ("barrier", 1)])
        for k in range(rng.randint(1, 3)):
            b = m.block(f"b{k}").set_frequency(rng.uniform(0, 3e8))
            if use_barrier and k == 0:
                b.barrier(1)
            for _ in range(rng.randint(1, 25)):
                r = rng.random()
                if r < 0.45:
                    fields = {"amp": Var(amp) if rng.random() < 0.3 else rng.uniform(-1, 1),
                              "width": rng.choice([rng.uniform(1e-9, 5e-7), rng.uniform(1e-6, 3e-4)]),
                              "shape": rng.choice([0, 1, 2, 3, 4])}
                    if rng.random() < 0.5:
                        fields["plateau"] = rng.uniform(0, 1e-4)
                    if rng.random() < 0.5:
                        fields["block1"] = Var(drag) if rng.random() < 0.3 else rng.uniform(-3e8, 3e8)
                    if rng.random() < 0.4:
                        fields["block2"] = rng.uniform(-3e8, 3e8)
                    if rng.random() < 0.5:
                        fields["delta"] = rng.uniform(-1e6, 1e6)
                    b.shaped(**fields)
                elif r < 0.55:
                    b.real_waveform(real if rng.random() < 0.5 else rng.choice(arrays), amplitude())
                elif r < 0.65:
                    b.complex_waveform(cplx if rng.random() < 0.5 else rng.choice(arrays),
                                       amplitude())
                elif r < 0.75:
                    b.capture(qubit="q0", creg="c", idx=rng.randint(0, 9), duration=1e-6,
                              frequency=1e8, phi=0.0, threshold=0.0)
                elif r < 0.85:
                    b.shift_phase(rng.uniform(-3, 3))
                else:
                    b.delay(rng.uniform(-2e-5, 2e-4))
        channels.append((f"ch{c}", rng.random() < 0.5,
                         rng.choice([None, rng.randint(0, 800_000)])))
    return w, channels


def write_config(path: Path, channels):
    lines = []
    for name, iir, count in channels:
        lines.append(f"[channels.{name}]\nsample_rate = {FS}")
        if count is not None:
            lines.append(f"sample_count = {count}")
        if iir:
            lines.append("enable_iir = true")
        lines.append("")
    path.write_text("\n".join(lines))


def run(binary: str, work: Path, out: Path):
    proc = subprocess.run([binary, "-i", str(work / "p.velk"), "-c", str(work / "c.toml"),
                           "-o", str(out)], capture_output=True, text=True)
    return proc.returncode, proc.stdout.replace(str(out), "OUT"), proc.stderr


def main():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", help="the velk_vm of one build")
    parser.add_argument("new", help="the velk_vm of the other build")
    parser.add_argument("--programs", type=positive(int), default=40, help="random programs run (default 40)")
    parser.add_argument("--seed", type=int, default=1, help="the seed they are made from (default 1)")
    args = parser.parse_args()
    for binary in (args.old, args.new):
        if not (os.path.isfile(binary) and os.access(binary, os.X_OK)):
            fail(f"{binary}: not an executable file")
    rng = random.Random(args.seed)
    failures = 0
    samples = 0
    with tempfile.TemporaryDirectory(prefix="velk-compare-") as tmp:
        for i in range(args.programs):
            work = Path(tmp) / str(i)
            work.mkdir()
            writer, channels = random_program(rng)
            writer.write(work / "p.velk")
            write_config(work / "c.toml", channels)
            old = run(args.old, work, work / "old")
            new = run(args.new, work, work / "new")
            same = old == new
            if same and old[0] == 0:
                names = sorted(p.name for p in (work / "old").iterdir())
                same = names == sorted(p.name for p in (work / "new").iterdir())
                same = same and all(filecmp.cmp(work / "old" / n, work / "new" / n, shallow=False)
                                    for n in names)
                samples += sum((work / "new" / n).stat().st_size // 8 for n in names
                               if n.endswith(".f64"))
            if not same:
                failures += 1
                print(f"program {i}: outputs differ (exit {old[0]} vs {new[0]})")
            for d in ("old", "new"):
                for f in (work / d).glob("*") if (work / d).exists() else []:
                    f.unlink()
    print(f"{args.programs - failures} of {args.programs} programs identical "
          f"({samples} samples compared)")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
