"""End-to-end runs of real programs: the samples and descriptions written per channel.

Expected samples are computed here from the rendering rules with Python floats
(IEEE doubles and the same libm), independently of the program's own code.
"""

import json
import math
import struct

import pytest

from velk_writer import Var, VelkWriter

TWO_PI = 6.283185307179586


def prepare(tmp_path, writer, channels, vars_json=None):
    writer.write(tmp_path / "p.velk")
    (tmp_path / "c.toml").write_text(channels)
    args = ["-i", "p.velk", "-c", "c.toml", "-o", "out"]
    if vars_json is not None:
        (tmp_path / "v.json").write_text(vars_json)
        args += ["--vars", "v.json"]
    return args


def samples(path):
    data = path.read_bytes()
    assert len(data) % 8 == 0
    return list(struct.unpack(f"<{len(data) // 8}d", data))


def carrier(env, t0, freq, phase, fs, delta=0.0):
    dt = 1.0 / fs
    out = []
    for i, (re, im) in enumerate(env):
        tau = float(i) * dt
        theta = (((tau + t0) * freq) + (delta * tau)) * TWO_PI + phase
        out.append(re * math.cos(theta) - im * math.sin(theta))
    return out


def test_sampled_waveform_with_carrier_and_written_lines(run, tmp_path):
    w = VelkWriter()
    wave = w.data("f64", [1.0, 2.0, 3.0, -1.0])
    m = w.module("ch0", settings={"gain": ("f64", 2.0), "name": ("str", "drive")})
    b = m.block("main")
    b.set_frequency(1.25e8).shift_phase(0.5).delay(2e-9).real_waveform(wave, 0.5)
    r = run(*prepare(tmp_path, w, "[channels.ch0]\nsample_rate = 1000000000\n"))
    assert r.status == 0, r.stderr
    assert r.stdout == "\tWritten: out/ch0.f64\n\tWritten: out/ch0.json\n"
    env = [(v * 0.5, 0.0) for v in (1.0, 2.0, 3.0, -1.0)]
    assert samples(tmp_path / "out/ch0.f64") == [0.0, 0.0] + carrier(env, 2e-9, 1.25e8, 0.5, 1e9)
    assert (tmp_path / "out/ch0.json").read_text() == (
        '{\n  "gain": 2.0,\n  "name": "drive"\n}')


def test_barrier_aligns_blocks_and_captures_are_sorted(run, tmp_path):
    w = VelkWriter()
    m = w.module("ro")
    m.operands([("const", 3e-9), ("barrier", 7)])
    drive = m.block("drive")
    drive.delay(1e-9).barrier(7).capture_trace(creg="c1", idx=4294967295, duration=2e-6)
    readout = m.block("readout")
    readout.barrier(7).capture_iq(qubit="q0", creg="c0", idx=1, duration=1e-6, frequency=0.0)
    readout.delay(1e-9).shaped(amp=1.0, width=2e-9, shape=3)
    r = run(*prepare(tmp_path, w, "[channels]\nro = [1000000000, 8]\n"))
    assert r.status == 0, r.stderr
    # The square pulse starts at 3e-9 + 1e-9 and covers two samples; the buffer
    # is padded to sample_count.
    assert samples(tmp_path / "out/ro.f64") == [0.0] * 4 + [1.0, 1.0] + [0.0] * 2
    assert (tmp_path / "out/ro.json").read_text() == """{
  "captures": [
    [
      3e-9,
      [
        "capture_trace",
        {
          "creg": "c1",
          "duration": 2e-6,
          "idx": -1
        }
      ]
    ],
    [
      3e-9,
      [
        "capture_iq",
        {
          "creg": "c0",
          "duration": 1e-6,
          "frequency": 0.0,
          "idx": 1,
          "qubit": "q0"
        }
      ]
    ]
  ]
}"""


def test_variables_file_rebinds_before_the_run(run, tmp_path):
    w = VelkWriter()
    wait = w.variable("wait", "f64", 1e-9)
    amp = w.variable("amp", "f64", 1.0)
    m = w.module("ch")
    m.block("b").delay(Var(wait)).shaped(amp=Var(amp), width=1e-9, plateau=0.0, shape=3)
    args = prepare(tmp_path, w, "[channels.ch]\nsample_rate = 1000000000\n",
                 vars_json='{"wait": 3e-9, "amp": 2}')
    r = run(*args)
    assert r.status == 0, r.stderr
    assert r.stdout.startswith("Loaded variable bindings from: v.json\n")
    # "amp" = 2 binds a 32-bit integer, which resolves to 2.0.
    assert samples(tmp_path / "out/ch.f64") == [0.0, 0.0, 0.0, 2.0]


def test_sample_map_then_filter_only_where_enabled(run, tmp_path):
    w = VelkWriter()
    wave = w.data("f32", [0.5, 0.25, 0.0])
    settings = {
        "function": ("json", "[[0, 1], [0, 2]]"),
        "sos": ("json", "[[1, 0, 0, 1, -0.5, 0]]"),
    }
    for name in ("a", "b"):
        w.module(name, settings=settings).block("main").real_waveform(wave, 1.0)
    channels = ("[channels.a]\nsample_rate = 1000000000\nenable_iir = true\n"
                "[channels.b]\nsample_rate = 1000000000\n")
    r = run(*prepare(tmp_path, w, channels))
    assert r.status == 0, r.stderr
    mapped = [1.0, 0.5, 0.0]  # 2v through the cubic map
    assert samples(tmp_path / "out/b.f64") == mapped
    assert samples(tmp_path / "out/a.f64") == [1.0, 1.0, 0.5]  # one-pole y = x + 0.5 y[-1]
    desc = json.loads((tmp_path / "out/a.json").read_text())
    assert desc == {"function": [[0, 1], [0, 2]], "sos": [[1, 0, 0, 1, -0.5, 0]]}


def test_barrier_deadlock_ends_the_run(run, tmp_path):
    w = VelkWriter()
    m = w.module("ch")
    m.block("x").barrier(1).barrier(2)
    m.block("y").barrier(2).barrier(1)
    r = run(*prepare(tmp_path, w, "[channels.ch]\nsample_rate = 1\n"))
    assert r.status == 1
    assert r.stderr.startswith('Error: "Barrier deadlock')
    assert not (tmp_path / "out/ch.f64").exists()


@pytest.mark.parametrize("sample_count", ["1", "100"])
def test_module_without_threads_writes_zeros(run, tmp_path, sample_count):
    w = VelkWriter()
    w.module("ch", settings={"function": ("json", "[[0, 1], [5, 5]]")})
    r = run(*prepare(tmp_path, w, f"[channels.ch]\nsample_rate = 10\nsample_count = {sample_count}\n"))
    assert r.status == 0, r.stderr
    assert samples(tmp_path / "out/ch.f64") == [0.0] * int(sample_count)


def test_reader_errors_are_reported_before_any_output(run, tmp_path):
    w = VelkWriter()
    w.module("ch").block("b").raw(b"\x0d")
    r = run(*prepare(tmp_path, w, "[channels.ch]\nsample_rate = 1\n"))
    assert r.status == 1
    assert r.stderr == 'Error: "Unknown instruction type: 13"\n'
    assert not (tmp_path / "out").exists()
