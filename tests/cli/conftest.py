"""Shared fixtures of the end-to-end tests: the velk_vm binary and a runner."""

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


class Run:
    def __init__(self, proc: subprocess.CompletedProcess):
        self.status = proc.returncode
        self.stdout = proc.stdout.decode("utf-8", "replace")
        self.stderr = proc.stderr.decode("utf-8", "replace")


@pytest.fixture
def run(velk_vm, tmp_path):
    """run(*args) runs velk_vm in tmp_path and returns status, stdout and stderr."""

    def _run(*args, cwd: Path = tmp_path) -> Run:
        proc = subprocess.run([velk_vm, *map(str, args)], cwd=cwd, capture_output=True,
                              timeout=120, stdin=subprocess.DEVNULL)
        return Run(proc)

    return _run
