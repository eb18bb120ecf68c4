#!/usr/bin/python3
"""End-to-end benchmark of velk_vm: time beside a bare sin+cos loop, and peak memory.

    bench/velk_bench.py [--build build] [--runs 5] [--cpu N] [--compare OTHER_VELK_VM]
        [--overlap-seconds 60] [--quick]

Every process is pinned to one CPU (taskset -c CPU; by default the highest-numbered
CPU this process may use) and every velk_vm run writes into a fresh output
directory; dirty pages are flushed (sync) before every timed run, so that no run
pays for the writeback of the one before. Peak resident memory is the process's
own, as /usr/bin/time reports it (the process is started from that small program,
never forked from this Python one). Reports, in one run:
  - for the program of make_large_program.py at two channel lengths (2 channels of
    10^7 samples, then 2 channels of 10^8 samples with the same number of pulses
    and the same waveform data): velk_vm's median wall time over --runs
    whole-process runs, the median of as many runs of a bare loop of one std::sin
    and one std::cos call per output sample (sin_cos_floor), their ratio, and the
    median of velk_vm's peak resident memory;
  - for the 40-overlapping-pulse program of make_overlap_program.py: the medians of
    peak resident memory and time over --runs runs, each stopped after
    --overlap-seconds;
  - for the 64 MB programs of make_sampled_program.py (one waveform of 4*10^6
    complex128 samples, one of 8*10^6 f64 samples): the median of peak resident
    memory over --runs runs;
  - from pipeline_bench on the 2x10^7 program (median of --runs fresh processes):
    the share of reading, running the threads, rendering and writing, and the
    render loop against as many sin+cos calls alone.
With --compare, the other build runs beside this one, alternating, on the same
programs (for before/after figures); --quick skips the 10^8-sample program.
The figures are printed with their goals, never asserted.
"""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))
sys.path.insert(0, str(ROOT / "bench"))

import make_large_program  # noqa: E402
import make_overlap_program  # noqa: E402
import make_sampled_program  # noqa: E402
from bench_options import Parser, add_cpu_option, fail, pinned, positive  # noqa: E402

MIB = 2**20
# GNU time (Debian package "time"): its -f %M is the peak resident memory, in KiB,
# of the process it starts.
TIME = "/usr/bin/time"


def kill_children(pid: int):
    """Kills the processes that `pid` started (the program that /usr/bin/time runs)."""
    try:
        children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return
    for child in children:
        try:
            os.kill(int(child), signal.SIGKILL)
        except ProcessLookupError:
            pass


def timed_run(command: list[str], cpu: int, limit: float | None = None) -> tuple[float, int, bool]:
    """Wall seconds, the command's peak resident bytes and whether it finished.
    Past `limit` seconds the command is killed and its peak so far is reported."""
    with tempfile.NamedTemporaryFile(prefix="velk-bench-peak-") as report:
        start = time.perf_counter()
        proc = subprocess.Popen(pinned(cpu) + [TIME, "-f", "%M", "-o", report.name] + command,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        finished = True
        try:
            _, stderr = proc.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            finished = False
            kill_children(proc.pid)
            _, stderr = proc.communicate()
        elapsed = time.perf_counter() - start
        if finished and proc.returncode != 0:
            fail(f"{command[0]} failed: {stderr.decode(errors='replace').strip()}")
        # The last line; a line before it tells an exit status or signal.
        peak_kib = int(Path(report.name).read_text().split()[-1])
    return elapsed, peak_kib * 1024, finished


def velk_vm_run(binary: Path, work: Path, program: str, cpu: int, limit=None):
    out = work / "out"
    shutil.rmtree(out, ignore_errors=True)
    os.sync()
    result = timed_run([str(binary), "-i", str(work / program), "-c",
                        str(work / "channels.toml"), "-o", str(out)], cpu, limit)
    samples = sum(f.stat().st_size // 8 for f in out.glob("*.f64")) if out.exists() else 0
    shutil.rmtree(out, ignore_errors=True)
    return result, samples


def length_case(label, work, builds, floor, runs, cpu):
    """Median wall time and peak memory of each build beside the sin+cos floor."""
    walls = {name: [] for name in builds}
    peaks = {name: [] for name in builds}
    floors = []
    samples = 0
    for _ in range(runs):
        for name, binary in builds.items():
            (wall, peak, _), samples = velk_vm_run(binary, work, "large.velk", cpu)
            walls[name].append(wall)
            peaks[name].append(peak)
        os.sync()
        floors.append(timed_run([str(floor), str(samples)], cpu)[0])
    floor_median = statistics.median(floors)
    print(f"{label}: {samples} samples; sin+cos floor {floor_median:.3f} s "
          f"(medians of {runs} runs)")
    for name in builds:
        wall = statistics.median(walls[name])
        print(f"  {name:<8} {wall:7.3f} s = {wall / floor_median:.2f} x the floor (goal <= 1.3), "
              f"peak memory {statistics.median(peaks[name]) / MIB:.1f} MiB")
    return {name: statistics.median(peaks[name]) for name in builds}


def run_pipeline(binary: Path, work: Path, cpu: int) -> dict[str, float]:
    out = work / "pipeline-out"
    shutil.rmtree(out, ignore_errors=True)
    os.sync()
    proc = subprocess.run(pinned(cpu) + [str(binary), str(work / "large.velk"),
                                         str(work / "channels.toml"), str(out)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        fail(f"{binary} failed: {proc.stderr.strip()}")
    text = proc.stdout
    shutil.rmtree(out, ignore_errors=True)
    return {name: float(value) for name, value in (line.split() for line in text.splitlines())}


def main():
    parser = Parser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build",
                        help="the build directory measured (default: build/)")
    parser.add_argument("--runs", type=positive(int), default=5,
                        help="whole-process runs per figure, of which the median is printed")
    add_cpu_option(parser, "every process is pinned to")
    parser.add_argument("--compare", type=Path, default=None, metavar="OTHER_VELK_VM",
                        help="another velk_vm to measure beside this build")
    parser.add_argument("--overlap-seconds", type=positive(float), default=60.0,
                        help="when the run of the overlapping pulses is stopped")
    parser.add_argument("--quick", action="store_true", help="skip the 10^8-sample program")
    args = parser.parse_args()
    velk_vm = args.build / "velk_vm"
    pipeline = args.build / "bench" / "pipeline_bench"
    floor = args.build / "bench" / "sin_cos_floor"
    for binary in (velk_vm, pipeline, floor):
        if not binary.is_file():
            fail(f"{binary} is missing: scripts/demo or scripts/test builds it in build/")
    if not os.access(TIME, os.X_OK):
        fail(f"{TIME} is missing: install the Debian package time (scripts/bootstrap does)")
    builds = {"velk_vm": velk_vm}
    if args.compare:
        if not (args.compare.is_file() and os.access(args.compare, os.X_OK)):
            fail(f"--compare {args.compare}: not an executable file")
        builds["compare"] = args.compare
    runs = args.runs
    print(f"pinned to CPU {args.cpu}; " + ", ".join(f"{k} = {v}" for k, v in builds.items()))

    with tempfile.TemporaryDirectory(prefix="velk-bench-") as tmp:
        cases = [("2 x 10^7", 1_000, None)]
        if not args.quick:
            cases.append(("2 x 10^8", 10_000, 1_000))
        peaks = []
        for label, pulse_samples, wave_samples in cases:
            work = Path(tmp) / f"large-{pulse_samples}"
            work.mkdir()
            make_large_program.build(10_000, pulse_samples, wave_samples).write(work / "large.velk")
            make_large_program.write_channels(work / "channels.toml")
            peaks.append(length_case(label, work, builds, floor, runs, args.cpu))
        if len(peaks) == 2:
            ratio = peaks[1]["velk_vm"] / peaks[0]["velk_vm"]
            print(f"peak memory, 10^8 against 10^7 samples per channel: {ratio:.2f} "
                  f"(goal: at most 64 MiB, within 10 %)")

        work = Path(tmp) / "overlap"
        work.mkdir()
        make_overlap_program.build(40, 1 << 23).write(work / "overlap.velk")
        make_overlap_program.write_channels(work / "channels.toml")
        size = (work / "overlap.velk").stat().st_size
        print(f"40 overlapping pulses of 2^23 samples ({size} byte program), each run "
              f"stopped after {args.overlap_seconds:.0f} s (medians of {runs} runs):")
        results = {name: [] for name in builds}
        for _ in range(runs):
            for name, binary in builds.items():
                results[name].append(velk_vm_run(binary, work, "overlap.velk", args.cpu,
                                                 args.overlap_seconds)[0])
        for name, runs_of_build in results.items():
            wall = statistics.median(r[0] for r in runs_of_build)
            peak = statistics.median(r[1] for r in runs_of_build)
            stopped = sum(not r[2] for r in runs_of_build)
            state = f"{wall:.1f} s" + (f", {stopped} of {runs} runs stopped" if stopped else "")
            print(f"  {name:<8} peak memory {peak / MIB:.1f} MiB (goal < 512), {state}")

        print(f"64 MB programs of one sampled waveform (peak memory, medians of {runs} runs):")
        for kind, count in (("complex128", 4_000_000), ("f64", 8_000_000)):
            work = Path(tmp) / f"sampled-{kind}"
            work.mkdir()
            make_sampled_program.build(kind, count).write(work / "sampled.velk")
            make_sampled_program.write_channels(work / "channels.toml")
            sampled_peaks = {name: [] for name in builds}
            for _ in range(runs):
                for name, binary in builds.items():
                    run = velk_vm_run(binary, work, "sampled.velk", args.cpu)
                    sampled_peaks[name].append(run[0][1])
            shutil.rmtree(work)
            for name, peaks_of_build in sampled_peaks.items():
                print(f"  {kind:<10} {name:<8} {statistics.median(peaks_of_build) / MIB:6.1f} MiB "
                      f"(goal < 140)")

        work = Path(tmp) / "large-1000"
        samples = [run_pipeline(pipeline, work, args.cpu) for _ in range(runs)]
        steps = {k: statistics.median(s[k] for s in samples) for k in samples[0]}

    timed = ["read", "threads", "render", "write"]
    whole = sum(steps[k] for k in timed)
    print(f"steps of the 2 x 10^7 program (pipeline_bench, median of {len(samples)} fresh "
          f"processes; {int(steps['pulses'])} pulses):")
    for k in timed:
        print(f"  {k:<9} {steps[k]:8.3f} s  {100 * steps[k] / whole:5.1f} %")
    print(f"render / sin+cos:        {steps['render'] / steps['sin_cos']:.3f} "
          f"({int(steps['mixed_samples'])} mixed samples, sin+cos alone {steps['sin_cos']:.3f} s; "
          f"rendering includes the envelopes, the map and the filter)")


if __name__ == "__main__":
    main()
