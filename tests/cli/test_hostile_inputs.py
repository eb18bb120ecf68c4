"""velk_vm under hostile input: input files beyond their size limits (FIFOs
stand in for endless files such as /dev/zero), running out of memory under an
address-space limit, a program of sampled data within its memory, channel names
that would leave the output directory, I/O errors that name their file, and an
option whose value is missing."""

import fcntl
import os
import resource
import struct
import threading

import pytest

from conftest import EMPTY_PROGRAM, ONE_CHANNEL, run_velk_vm, write
from velk_writer import VelkWriter

MiB = 1 << 20
PROGRAM_LIMIT = 1 << 30     # kMaxProgramFileBytes
CONFIG_LIMIT = 16 * MiB     # kMaxConfigFileBytes
VARS_LIMIT = 64 * MiB       # kMaxVarsFileBytes

SANITIZED = os.environ.get("VELK_SANITIZED") == "1"
needs_address_limit = pytest.mark.skipif(
    SANITIZED, reason="sanitizer builds reserve more address space than any limit allows")


class Feeder:
    """Writes zeros into a FIFO until `total` bytes are written or the reader
    closes it; a reader that never stops would see the end after `total`."""

    def __init__(self, path, total):
        self.path, self.total, self.written = path, total, 0
        os.mkfifo(path)
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self):
        chunk = bytes(MiB)
        try:
            with open(self.path, "wb", buffering=0) as fifo:
                fcntl.fcntl(fifo, fcntl.F_SETPIPE_SZ, MiB)
                while self.written < self.total:
                    self.written += fifo.write(chunk[: self.total - self.written])
        except OSError:  # the reader closed its end
            pass

    def finish(self):
        self.thread.join(timeout=30)
        if self.thread.is_alive():  # the reader never opened the FIFO
            os.close(os.open(self.path, os.O_RDONLY | os.O_NONBLOCK))
            self.thread.join(timeout=30)


def run_limited(velk_vm, cwd, args, address_limit):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (address_limit, address_limit))

    return run_velk_vm(velk_vm, cwd, args, preexec_fn=limit, timeout=300)


def too_large(path, limit):
    return (f'Error: Custom {{ kind: FileTooLarge, error: "file exceeds the limit of {limit} bytes", '
            f'path: "{path}" }}\n')


# --- size limits -------------------------------------------------------------

ENDLESS = [
    # which file, its limit, the error line
    ("program", PROGRAM_LIMIT, too_large("in.fifo", PROGRAM_LIMIT)),
    ("config", CONFIG_LIMIT, too_large("in.fifo", CONFIG_LIMIT)),
    ("vars", VARS_LIMIT,
     f'Error: "Failed to read vars file: in.fifo: file exceeds the limit of {VARS_LIMIT} bytes"\n'),
]


def arguments(which, name):
    args = {"program": "p.velk", "config": "c.toml", "vars": "v.json"}
    args[which] = name
    return ["-i", args["program"], "-c", args["config"], "-o", "out", "--vars", args["vars"]]


@pytest.fixture
def inputs(tmp_path):
    write(tmp_path / "p.velk", EMPTY_PROGRAM)
    write(tmp_path / "c.toml", ONE_CHANNEL)
    write(tmp_path / "v.json", "{}")
    return tmp_path


@pytest.mark.parametrize("which, limit, line", ENDLESS, ids=[c[0] for c in ENDLESS])
def test_endless_input_stops_at_its_limit(run, inputs, which, limit, line):
    # The FIFO ends 1 MiB past the limit: a reader without a limit would reach
    # its end and fail differently.
    feeder = Feeder(inputs / "in.fifo", limit + MiB)
    r = run(*arguments(which, "in.fifo"))
    feeder.finish()
    assert r.status == 1
    assert r.stderr == line
    assert r.stdout == ""
    assert not (inputs / "out").exists()


@pytest.mark.parametrize("which, limit, line", ENDLESS, ids=[c[0] for c in ENDLESS])
def test_regular_file_one_byte_over_its_limit_is_refused(run, inputs, which, limit, line):
    with open(inputs / "in.fifo", "wb") as f:  # a sparse file under the same name
        f.truncate(limit + 1)
    r = run(*arguments(which, "in.fifo"))
    assert r.status == 1
    assert r.stderr == line


@pytest.mark.parametrize("which, limit, text", [
    ("config", CONFIG_LIMIT, "channels = {}\n"),
    ("vars", VARS_LIMIT, "{}"),
])
def test_file_of_exactly_its_limit_is_read(run, inputs, which, limit, text):
    write(inputs / "big", text + " " * (limit - len(text)))
    r = run(*arguments(which, "big"))
    assert r.status == 0, r.stderr
    assert (inputs / "out").is_dir()


@needs_address_limit
def test_regular_program_is_read_with_one_allocation_of_its_size(velk_vm, inputs):
    # 256 MiB that fail the magic check at byte 0: read in one buffer of the
    # file's size it fits in 448 MiB of address space; grown in steps (a peak of
    # three times the size) it does not.
    with open(inputs / "big.velk", "wb") as f:
        f.truncate(256 * MiB)
    status, _, stderr = run_limited(velk_vm, inputs, ["-i", "big.velk", "-c", "c.toml", "-o", "out"],
                                    448 * MiB)
    assert (status, stderr) == (1, 'Error: "Invalid magic number"\n')


@needs_address_limit
@pytest.mark.parametrize("which, limit, line", [
    ("program", PROGRAM_LIMIT, too_large("/dev/zero", PROGRAM_LIMIT)),
    ("config", CONFIG_LIMIT, too_large("/dev/zero", CONFIG_LIMIT)),
    ("vars", VARS_LIMIT,
     f'Error: "Failed to read vars file: /dev/zero: file exceeds the limit of {VARS_LIMIT} bytes"\n'),
], ids=["program", "config", "vars"])
def test_endless_device_is_refused_within_its_limit_of_memory(velk_vm, inputs, which, limit, line):
    # Read into a buffer that never grows by copying, /dev/zero costs its limit
    # and one step; a buffer that doubles needs half as much again or more.
    status, stdout, stderr = run_limited(velk_vm, inputs, arguments(which, "/dev/zero"),
                                         limit + 96 * MiB)
    assert (status, stderr, stdout) == (1, line, "")
    assert not (inputs / "out").exists()


# --- out of memory -------------------------------------------------------------

def empty_objects(size):
    """A JSON text of about `size` bytes whose tree is the largest per byte."""
    return "[" + "{}," * (size // 3) + "{}]"


@needs_address_limit
@pytest.mark.parametrize("where, line", [
    ("vars", 'Error: "Failed to parse vars JSON: out of memory"\n'),
    ("setting", 'Error: "Out of memory while reading the program"\n'),
])
def test_running_out_of_memory_on_a_large_json_text_is_an_error_line(velk_vm, tmp_path, where, line):
    text = empty_objects(60_000_000)  # a tree of about 1.6 GB
    w = VelkWriter()
    m = w.module("ch0", settings={"big": ("json", text)} if where == "setting" else None)
    m.block("main").delay(1e-9)
    w.write(tmp_path / "p.velk")
    write(tmp_path / "c.toml", ONE_CHANNEL)
    args = ["-i", "p.velk", "-c", "c.toml", "-o", "out"]
    if where == "vars":
        write(tmp_path / "v.json", text)
        args += ["--vars", "v.json"]
    status, stdout, stderr = run_limited(velk_vm, tmp_path, args, 1536 * MiB)
    assert (status, stderr) == (1, line)
    assert stdout == ""
    assert not (tmp_path / "out").exists()


# A JSON setting of 107,300,001 bytes: its tree would be charged 40 bytes per
# byte on top of the text's copy, past the 4 GiB limit of the decoded program.
JSON_TEXT_BYTES = 107_300_001


def padded(text, size):
    return text[:-1] + " " * (size - len(text)) + text[-1]


@needs_address_limit
@pytest.mark.parametrize("text, line", [
    (padded(empty_objects(JSON_TEXT_BYTES - 6), JSON_TEXT_BYTES),
     'Error: "Decoded program exceeds the limit of 4294967296 bytes"\n'),
    # Not JSON (a bracket too many at the end): a string setting like any other.
    (padded(empty_objects(JSON_TEXT_BYTES - 7) + "]", JSON_TEXT_BYTES),
     "Warning: channel 'ch0' not found in VELK\n"),
], ids=["json", "not-json"])
def test_json_text_beyond_the_decode_limit_costs_about_its_text(velk_vm, tmp_path, text, line):
    assert len(text) == JSON_TEXT_BYTES
    w = VelkWriter()
    w.module("other", settings={"big": ("json", text)}).block("main").delay(1e-9)
    w.write(tmp_path / "p.velk")
    write(tmp_path / "c.toml", ONE_CHANNEL)
    # The file and the text's copy fit; a tree of it (about 2 GB) does not.
    status, stdout, stderr = run_limited(velk_vm, tmp_path, ["-i", "p.velk", "-c", "c.toml",
                                                             "-o", "out"], 512 * MiB)
    assert stderr == line
    assert status == (1 if line.startswith("Error") else 0)
    assert stdout == ""


# --- sampled data is held once -------------------------------------------------

SAMPLED = [
    # DATA kind, one element (repeated to 64 MB), the waveform that plays it
    ("complex128", struct.pack("<dd", 0.5, -0.25), "complex"),
    ("complex64", struct.pack("<ff", 0.5, -0.25), "complex"),
    ("f64", struct.pack("<d", 0.5), "real"),
    ("f32", struct.pack("<f", 0.5), "real"),
    ("f64", struct.pack("<d", 0.5), "complex"),
]


@needs_address_limit
@pytest.mark.parametrize("kind, element, waveform", SAMPLED,
                         ids=[f"{c[0]}-{c[2]}" for c in SAMPLED])
def test_program_of_sampled_data_runs_in_its_file_and_one_copy(velk_vm, tmp_path, kind, element,
                                                               waveform):
    # A 64 MB program of one waveform's samples runs in the space of the file, one
    # copy of its samples and 64 MiB more; the file, the decoded array and a
    # waveform's own converted copy of it do not fit.
    count = 64_000_000 // len(element)
    w = VelkWriter()
    wave = w.data(kind, element * count)
    block = w.module("ch0").block("main")
    (block.complex_waveform if waveform == "complex" else block.real_waveform)(wave, 0.5)
    size = len(w.write(tmp_path / "p.velk"))
    write(tmp_path / "c.toml", ONE_CHANNEL)
    status, stdout, stderr = run_limited(velk_vm, tmp_path, ["-i", "p.velk", "-c", "c.toml",
                                                             "-o", "out"], 2 * size + 64 * MiB)
    assert (status, stderr) == (0, "")
    assert stdout == "\tWritten: out/ch0.f64\n\tWritten: out/ch0.json\n"
    assert (tmp_path / "out" / "ch0.f64").stat().st_size == 8 * count


# --- output stays inside the output directory ---------------------------------

def one_module_program(tmp_path, name):
    w = VelkWriter()
    w.module(name, settings={"k": ("u32", 1)}).block("main").delay(2e-9)
    w.write(tmp_path / "p.velk")


def channels_toml(name):
    quoted = name.replace("\\", "\\\\").replace('"', '\\"')
    return f'[channels."{quoted}"]\nsample_rate = 1000000000\n'


@pytest.mark.parametrize("name", ["ABS", "../up", "a/../../up", "./../up", "a/./../../up"])
def test_channel_leaving_the_output_directory_is_refused(run, tmp_path, name):
    name = name.replace("ABS", str(tmp_path / "abs"))
    (tmp_path / "work" / "out" / "a").mkdir(parents=True)
    one_module_program(tmp_path / "work", name)
    write(tmp_path / "work" / "c.toml", channels_toml(name))
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out", cwd=tmp_path / "work")
    assert r.status == 1
    assert r.stderr == f'Error: "Channel \'{name}\' would write its files outside the output directory"\n'
    assert r.stdout == ""
    found = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file())
    assert found == ["work/c.toml", "work/p.velk"]


@pytest.mark.parametrize("name, files", [
    ("a/b", ["out/a/b.f64", "out/a/b.json"]),
    ("a/../b", ["out/b.f64", "out/b.json"]),
    ("./a/./b", ["out/a/b.f64", "out/a/b.json"]),
    ("..", ["out/...f64", "out/...json"]),
    ("a//..//..x", ["out/..x.f64", "out/..x.json"]),
])
def test_channel_names_that_stay_inside_are_written(run, tmp_path, name, files):
    (tmp_path / "out" / "a" / "b").mkdir(parents=True)
    one_module_program(tmp_path, name)
    write(tmp_path / "c.toml", channels_toml(name))
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out")
    assert r.status == 0, r.stderr
    assert r.stdout == "".join(f"\tWritten: out/{name}{suffix}\n" for suffix in (".f64", ".json"))
    for f in files:
        assert (tmp_path / f).is_file(), f
    assert (tmp_path / files[1]).read_text() == '{\n  "k": 1\n}'


# --- I/O errors name their file ------------------------------------------------

@pytest.mark.parametrize("program, config, line", [
    ("nowhere/p.velk", "c.toml",
     'Os { code: 2, kind: NotFound, message: "No such file or directory", path: "nowhere/p.velk" }'),
    ("dir", "c.toml", 'Os { code: 21, kind: IsADirectory, message: "Is a directory", path: "dir" }'),
    ("p.velk", "dir", 'Os { code: 21, kind: IsADirectory, message: "Is a directory", path: "dir" }'),
    ("p.velk", "bad.toml",
     'Custom { kind: InvalidData, error: "stream did not contain valid UTF-8", path: "bad.toml" }'),
])
def test_io_errors_of_program_and_configuration_name_the_path(run, inputs, program, config, line):
    (inputs / "dir").mkdir()
    write(inputs / "bad.toml", b"\xff")
    r = run("-i", program, "-c", config, "-o", "out")
    assert r.status == 1
    assert r.stderr == f"Error: {line}\n"


@pytest.mark.parametrize("vars_path, why", [
    ("dir", "Is a directory (os error 21)"),
    ("nowhere/v.json", "No such file or directory (os error 2)"),
    ("v.json/x", "Not a directory (os error 20)"),
])
def test_vars_io_errors_name_the_path(run, inputs, vars_path, why):
    (inputs / "dir").mkdir()
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out", "--vars", vars_path)
    assert r.status == 1
    assert r.stderr == f'Error: "Failed to read vars file: {vars_path}: {why}"\n'
    assert r.stdout == ""
    assert not (inputs / "out").exists()


# --- an option's value that starts with '-' -------------------------------------

@pytest.mark.parametrize("args, option", [
    (["-i", "-x.velk", "-c", "c.toml", "-o", "out"], "--input"),
    (["--input", "-x.velk", "-c", "c.toml", "-o", "out"], "--input"),
    (["-i", "p.velk", "-c", "-5", "-o", "out"], "--config"),
    (["-i", "p.velk", "-c", "c.toml", "-o", "--", "out"], "--output"),
    (["-i", "p.velk", "-c", "c.toml", "-o", "out", "--vars", "--v.json"], "--vars"),
])
def test_option_followed_by_a_dash_word_is_a_usage_error(run, inputs, args, option):
    r = run(*args)
    assert r.status == 2
    assert r.stdout == ""
    assert r.stderr.startswith(f"error: {option}: a value is required but none was supplied\n\n"
                               "Usage: ")
    assert r.stderr.endswith("For more information, try '--help'.\n")
    assert not (inputs / "out").exists()


@pytest.mark.parametrize("form", [["--input=-x.velk"], ["-i-x.velk"], ["-i=-x.velk"]])
def test_attached_value_may_start_with_a_dash(run, inputs, form):
    write(inputs / "-x.velk", EMPTY_PROGRAM)
    r = run(*form, "-c", "c.toml", "-o", "out")
    assert r.status == 0, r.stderr
    assert r.stderr == "Warning: channel 'ch0' not found in VELK\n"
