"""Failures on the output side of velk_vm: every I/O error names the file or
directory it is about, standard output that cannot be written ends the run, and
a warning that cannot be written does not. Each failure is one `Error: ` line,
status 1, and what was written before it stays."""

import os
import pwd
import resource
import shutil
import stat
import tempfile
from pathlib import Path

import pytest

from conftest import run_velk_vm
from velk_writer import VelkWriter

SAMPLES = 1000                 # of every channel: 8000 bytes of samples
DESCRIPTION = '{\n  "k": 1\n}'


def os_error(code, kind, message, path):
    return f'Error: Os {{ code: {code}, kind: {kind}, message: "{message}", path: "{path}" }}\n'


def stdout_error(reason):
    return f'Error: "Failed to write standard output: {reason}"\n'


def prepare(workdir: Path, modules=("ch",), without_module=()):
    """A program with the given modules, a configuration naming them and the
    channels without a module, and an empty variables file."""
    w = VelkWriter()
    for name in modules:
        w.module(name, settings={"k": ("u32", 1)}).block("main").delay(1e-9)
    w.write(workdir / "p.velk")
    channels = "".join(f"[channels.{name}]\nsample_rate = 1000000000\nsample_count = {SAMPLES}\n"
                       for name in (*modules, *without_module))
    (workdir / "c.toml").write_text(channels)
    (workdir / "v.json").write_text("{}")


def run_velk(velk_vm, cwd, args, **how):
    return run_velk_vm(velk_vm, cwd, ["-i", "p.velk", "-c", "c.toml", *args], **how)


def files_in(root: Path):
    """The channel files under `root` and their sizes."""
    return {str(p.relative_to(root)): p.stat().st_size for p in root.rglob("*")
            if p.is_file() and p.suffix in (".f64", ".json") and p.name != "v.json"}


# --- the output directory and the channel files ---------------------------------

def file_size_limit(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def others_may_enter(path: Path) -> bool:
    """Whether every directory from / down to `path` lets any user pass."""
    return all(d.stat().st_mode & stat.S_IXOTH for d in (path, *path.parents))


def as_unprivileged(velk_vm, workdir):
    """A run under which permission bits apply: as root, the user nobody runs a copy
    of velk_vm in the work directory (the build's own may lie below a directory only
    its owner may enter, such as a checkout in /root); otherwise the run stays as it
    is."""
    if os.geteuid() != 0:
        return velk_vm, None
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("running as root and there is no user nobody to drop to")
    if not others_may_enter(workdir):
        pytest.skip(f"the user nobody may not enter the temporary directory {workdir.parent}")
    copy = workdir / "velk_vm"
    shutil.copyfile(velk_vm, copy)
    copy.chmod(0o755)

    def drop():
        os.setgroups([])
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
    return copy, drop


def mkdir(path, mode=0o755):
    path.mkdir(parents=True)
    path.chmod(mode)


def as_is(velk_vm, workdir):
    return velk_vm, None


def small_disk(velk_vm, workdir):
    return velk_vm, file_size_limit(4096)


CASES = [
    # id, preparation of the work directory, -o, how velk_vm runs (a maker of the
    # program and its preexec_fn), the error line, standard output, files left
    ("output below a regular file",
     lambda d: (d / "file").write_text("x"), "file/sub", as_is,
     os_error(20, "NotADirectory", "Not a directory", "file/sub"), "", {}),
    ("output two levels below a regular file",
     lambda d: (d / "file").write_text("x"), "file/sub/deeper", as_is,
     os_error(20, "NotADirectory", "Not a directory", "file/sub"), "", {}),
    ("output is a regular file",
     lambda d: (d / "file").write_text("x"), "file", as_is,
     os_error(17, "AlreadyExists", "File exists", "file"), "", {}),
    ("output in a directory the user may not write",
     lambda d: mkdir(d / "locked", 0o555), "locked/out/deeper", as_unprivileged,
     os_error(13, "PermissionDenied", "Permission denied", "locked/out"), "", {}),
    ("a directory named like the sample file",
     lambda d: mkdir(d / "out/ch.f64"), "out", as_is,
     os_error(21, "IsADirectory", "Is a directory", "out/ch.f64"), "", {}),
    ("a directory named like the description after a good sample file",
     lambda d: mkdir(d / "out/ch.json"), "out", as_is,
     os_error(21, "IsADirectory", "Is a directory", "out/ch.json"),
     "\tWritten: out/ch.f64\n", {"out/ch.f64": 8 * SAMPLES}),
    ("a full disk: the file-size limit",
     lambda d: None, "out", small_disk,
     os_error(27, "FileTooLarge", "File too large", "out/ch.f64"), "", {"out/ch.f64": 4096}),
]


@pytest.fixture
def workdir():
    """A work directory that the user nobody can enter and read (pytest's own
    temporary directories are private to their owner)."""
    path = Path(tempfile.mkdtemp(prefix="velk_output_errors."))
    path.chmod(0o755)
    yield path
    for p in path.rglob("*"):
        if p.is_dir():
            p.chmod(0o755)
    shutil.rmtree(path)


@pytest.mark.parametrize("what, setup, output, how, line, stdout, files", CASES,
                         ids=[c[0] for c in CASES])
def test_output_failure_names_its_file(velk_vm, workdir, what, setup, output, how, line, stdout,
                                       files):
    prepare(workdir)
    setup(workdir)
    program, limits = how(velk_vm, workdir)
    status, out, err = run_velk(program, workdir, ["-o", output], preexec_fn=limits)
    assert (status, err) == (1, line)
    assert out == stdout
    assert files_in(workdir) == files


def test_files_within_the_size_limit_are_written(velk_vm, workdir):
    prepare(workdir)
    status, out, err = run_velk(velk_vm, workdir, ["-o", "out"],
                                preexec_fn=file_size_limit(8 * SAMPLES))
    assert (status, err) == (0, "")
    assert out == "\tWritten: out/ch.f64\n\tWritten: out/ch.json\n"
    assert files_in(workdir) == {"out/ch.f64": 8 * SAMPLES, "out/ch.json": len(DESCRIPTION)}


# --- standard output and standard error -----------------------------------------

def closed_pipe():
    """The writing end of a pipe whose reader has gone."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    return open(write_end, "wb")


def full_device():
    return open("/dev/full", "wb")


STREAMS = [
    ("/dev/full", full_device, "No space left on device (os error 28)"),
    ("closed pipe", closed_pipe, "Broken pipe (os error 32)"),
]


@pytest.mark.parametrize("with_vars", [False, True], ids=["written line", "bindings line"])
@pytest.mark.parametrize("name, make, reason", STREAMS, ids=[s[0] for s in STREAMS])
def test_standard_output_that_cannot_be_written_ends_the_run(velk_vm, tmp_path, name, make,
                                                             reason, with_vars):
    prepare(tmp_path, modules=("ch", "other"))
    args = ["-o", "out"] + (["--vars", "v.json"] if with_vars else [])
    with make() as stream:
        status, out, err = run_velk(velk_vm, tmp_path, args, stdout=stream)
    assert (status, err) == (1, stdout_error(reason))
    if with_vars:
        # The bindings line comes before the output directory is made.
        assert not (tmp_path / "out").exists()
    else:
        # The first line is lost as soon as it is printed: its file (of
        # whichever channel came first) stays and nothing more is written.
        left = files_in(tmp_path)
        assert list(left.values()) == [8 * SAMPLES]
        assert list(left)[0] in ("out/ch.f64", "out/other.f64")


@pytest.mark.parametrize("name, make, reason", STREAMS, ids=[s[0] for s in STREAMS])
def test_warning_that_cannot_be_written_does_not_end_the_run(velk_vm, tmp_path, name, make,
                                                             reason):
    prepare(tmp_path, without_module=["ghost1", "ghost2", "ghost3"])
    with make() as stream:
        status, out, err = run_velk(velk_vm, tmp_path, ["-o", "out"], stderr=stream)
    assert status == 0
    assert out == "\tWritten: out/ch.f64\n\tWritten: out/ch.json\n"
    assert files_in(tmp_path) == {"out/ch.f64": 8 * SAMPLES, "out/ch.json": len(DESCRIPTION)}
