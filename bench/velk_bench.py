"""End-to-end benchmark of velk_vm on a large generated program.

    /usr/bin/python3 bench/velk_bench.py [--build build] [--pulses 10000]
        [--pulse-samples 1000] [--runs 3]

Generates the program of make_large_program.py (two channels, each of
pulses x pulse-samples samples), then reports in one run:
  - velk_vm's samples per second end to end (best of --runs whole-process runs),
  - its peak resident memory per output sample of the largest channel,
  - from pipeline_bench (the same steps timed one by one, median of --runs
    fresh processes): the share of reading, running the threads and writing in
    the run, and the ratio of the render loop's time to as many std::sin +
    std::cos calls alone.
The figures are printed with their goals, never asserted.
"""

import argparse
import os
import subprocess
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))
sys.path.insert(0, str(ROOT / "bench"))

import make_large_program  # noqa: E402


def run_velk_vm(binary: Path, work: Path) -> tuple[float, int]:
    """Wall seconds and peak resident bytes of one velk_vm run."""
    out = work / "out"
    start = time.perf_counter()
    proc = subprocess.Popen([str(binary), "-i", str(work / "large.velk"),
                             "-c", str(work / "channels.toml"), "-o", str(out)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    stderr = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"velk_vm failed ({code}): {stderr.decode(errors='replace')}")
    return elapsed, usage.ru_maxrss * 1024


def run_pipeline(binary: Path, work: Path) -> dict[str, float]:
    text = subprocess.run([str(binary), str(work / "large.velk"), str(work / "channels.toml"),
                           str(work / "pipeline-out")],
                          check=True, capture_output=True, text=True).stdout
    return {name: float(value) for name, value in (line.split() for line in text.splitlines())}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    parser.add_argument("--pulses", type=int, default=10_000)
    parser.add_argument("--pulse-samples", type=int, default=1_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    velk_vm = args.build / "velk_vm"
    pipeline = args.build / "bench" / "pipeline_bench"
    for binary in (velk_vm, pipeline):
        if not binary.exists():
            sys.exit(f"{binary} is missing: build the project first")

    with tempfile.TemporaryDirectory(prefix="velk-bench-") as tmp:
        work = Path(tmp)
        writer = make_large_program.build(args.pulses, args.pulse_samples)
        writer.write(work / "large.velk")
        make_large_program.write_channels(work / "channels.toml")

        # The steps first, before the whole runs have left their files for the
        # kernel to write back.
        samples = [run_pipeline(pipeline, work) for _ in range(max(1, args.runs))]
        steps = {k: statistics.median(s[k] for s in samples) for k in samples[0]}
        runs = [run_velk_vm(velk_vm, work) for _ in range(max(1, args.runs))]
        wall = min(t for t, _ in runs)
        peak = max(rss for _, rss in runs)
        channel_samples = {f.stem: f.stat().st_size // 8 for f in (work / "out").glob("*.f64")}
        total = sum(channel_samples.values())
        largest = max(channel_samples.values())

    timed = ["read", "threads", "buffer", "render", "settings", "write"]
    whole = sum(steps[k] for k in timed)
    overhead = steps["read"] + steps["threads"] + steps["write"]
    ratio = steps["render"] / steps["sin_cos"]

    print(f"program: {len(channel_samples)} channels, {total} samples, "
          f"{int(steps['pulses'])} pulses")
    print(f"velk_vm end to end:      {wall:.3f} s, {total / wall / 1e6:.1f} M samples/s "
          f"(best of {len(runs)})")
    print(f"peak memory:             {peak / 2**20:.1f} MiB, {peak / largest:.1f} bytes per "
          f"output sample of the largest channel (goal <= 40)")
    print(f"steps (pipeline_bench, median of {len(samples)} fresh processes):")
    for k in timed:
        print(f"  {k:<9} {steps[k]:8.3f} s  {100 * steps[k] / whole:5.1f} %")
    print(f"reading + threads + writing: {100 * overhead / whole:.1f} % of the run (goal < 15)")
    print(f"render / sin+cos:        {ratio:.3f} (goal <= 1.3; {int(steps['mixed_samples'])} "
          f"mixed samples, sin+cos alone {steps['sin_cos']:.3f} s)")


if __name__ == "__main__":
    main()
