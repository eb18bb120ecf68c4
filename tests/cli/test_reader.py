"""End-to-end runs on malformed program files: each ends the run with status 1,
one error line, and no output directory."""

import shutil
import struct

import pytest

from velk_writer import Var, VelkWriter

CHANNELS = "[channels.ch]\nsample_rate = 1000000000\n"


def header(version=3, sections=((0, 0),) * 4, magic=b"VELK") -> bytes:
    out = magic + struct.pack(">HH", version, 0)
    for offset, length in sections:
        out += struct.pack(">II", offset, length)
    return out


def good_program() -> bytes:
    w = VelkWriter()
    amp = w.variable("amp", "f64", 0.5)
    w.variable("q", "str", "q0")
    wave = w.data("f64", [0.0, 0.5, 1.0, 0.5])
    m = w.module("ch", settings={"sos": ("json", "[[1, 0, 0, 1, -0.5, 0]]")},
                 defaults=[(1, {"width": 8e-9, "shape": 2})])
    m.operands([("const", 1e-9), ("barrier", 1)])
    b = m.block("main")
    b.delay(1e-9).shaped(amp=Var(amp), delta=0.0).real_waveform(wave, 1.0)
    b.capture(qubit=Var(1), creg="c", idx=0, duration=4e-9, frequency=1e8, phi=0.0,
              threshold=0.0)
    return w.build()


def variables_file(records: bytes) -> bytes:
    """A file whose VARIABLES section is one variable with the given record tail."""
    body = struct.pack(">I", 1) + struct.pack(">I", 0) + records + struct.pack(">I", 0)
    return header(sections=((0, 0), (0, 0), (40, len(body)), (0, 0))) + body


def run_file(run, tmp_path, data: bytes):
    (tmp_path / "p.velk").write_bytes(data)
    (tmp_path / "c.toml").write_text(CHANNELS)
    return run("-i", "p.velk", "-c", "c.toml", "-o", "out")


DATA_BAD_KIND = (header(sections=((0, 0), (40, 6), (0, 0), (0, 0)))
                 + struct.pack(">BBI", 4, 0, 0))
SETTING_BAD_TYPE = header(sections=((0, 0), (0, 0), (0, 0), (40, 37))) + (
    struct.pack(">I", 33)                     # module length
    + struct.pack(">I", 0)                    # name
    + struct.pack(">IIII", 1, 0, 0, 0)        # settings, defaults, operand lists, blocks
    + struct.pack(">I", 0) + b"\x06"          # setting name, value type
    + bytes(8))


@pytest.mark.parametrize("data, message", [
    (b"", "File too small"),
    (b"VELK\x00\x03" + bytes(25), "File too small"),
    (b"VELQ\x00\x03" + bytes(34), "Invalid magic number"),
    (header(version=2), "Unsupported version: 2"),
    (header(version=0x0300), "Unsupported version: 768"),
    (header()[:36], "Truncated header: 36 bytes, need 40"),
    (DATA_BAD_KIND, "Unknown data type: 4"),
    (variables_file(b"\x00\x01\x06"), "Unknown var value type: 6"),
    (SETTING_BAD_TYPE, "Unknown setting value type: 6"),
], ids=["empty", "31-bytes", "magic", "version-2", "version-768", "header-36",
        "data-kind", "var-type", "setting-type"])
def test_malformed_file_is_the_runs_error(run, tmp_path, data, message):
    r = run_file(run, tmp_path, data)
    assert (r.status, r.stderr, r.stdout) == (1, f'Error: "{message}"\n', "")
    assert not (tmp_path / "out").exists()


def test_valid_program_runs(run, tmp_path):
    r = run_file(run, tmp_path, good_program())
    assert r.status == 0, r.stderr
    assert (tmp_path / "out/ch.f64").stat().st_size > 0


def test_every_truncation_ends_in_a_clean_error(run, tmp_path):
    data = good_program()
    # The string pool comes last; a cut there only shortens texts, which read up
    # to the end of the file, so the run goes on. Any earlier cut is an error.
    vars_offset, vars_length = struct.unpack(">II", data[24:32])
    pool_start = vars_offset + vars_length
    messages = set()
    for cut in range(len(data)):
        r = run_file(run, tmp_path, data[:cut])
        if cut >= pool_start:
            assert r.status == 0, (cut, r.stderr)
            shutil.rmtree(tmp_path / "out")
            continue
        lines = r.stderr.splitlines()
        assert r.status == 1 and len(lines) == 1 and lines[0].startswith('Error: "'), \
            (cut, r.status, r.stderr)
        assert not (tmp_path / "out").exists(), cut
        messages.add(lines[0].split(" at offset")[0])
    assert {'Error: "File too small"', 'Error: "Truncated header: 39 bytes, need 40"',
            'Error: "Unexpected end of file reading data elements',
            'Error: "Unexpected end of file reading relocation kind'} <= messages
