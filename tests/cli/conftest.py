"""Shared fixtures and helpers of the end-to-end tests: the velk_vm binary, the
one way it is run, and the writing of input files."""

import os
import subprocess
from pathlib import Path

import pytest

EMPTY_PROGRAM = b"VELK\x00\x03" + bytes(34)  # valid header, no sections
ONE_CHANNEL = '[channels.ch0]\nsample_rate = 1000000000\n'


@pytest.fixture(scope="session")
def velk_vm() -> str:
    path = os.environ.get("VELK_VM")
    if not path:
        pytest.skip("VELK_VM is not set (run through ctest)")
    return path


def write(path, data):
    """Writes `data` (text or bytes) to `path`, making its directory."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return path


def run_velk_vm(velk_vm, cwd, args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                preexec_fn=None, timeout=120, errors="strict"):
    """Runs velk_vm with `args` in `cwd`, standard input closed. Gives the status
    and the captured standard output and error as text (None for a stream that is
    not captured)."""
    proc = subprocess.run([velk_vm, *map(str, args)], cwd=cwd, stdout=stdout, stderr=stderr,
                          stdin=subprocess.DEVNULL, preexec_fn=preexec_fn, timeout=timeout)
    decode = lambda data: None if data is None else data.decode("utf-8", errors)
    return proc.returncode, decode(proc.stdout), decode(proc.stderr)


class Run:
    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr


@pytest.fixture
def run(velk_vm, tmp_path):
    """run(*args) runs velk_vm in tmp_path and returns status, stdout and stderr."""

    def _run(*args, cwd: Path = tmp_path) -> Run:
        return Run(*run_velk_vm(velk_vm, cwd, args, errors="replace"))

    return _run
