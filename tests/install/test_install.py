"""`cmake --install` of a build: velk_vm into <prefix>/bin, the two compiled modules into
the zaradu package directory, and nothing else; what was installed runs."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

BUILD = Path(os.environ.get("VELK_BUILD_DIR", ""))
SOURCE = Path(os.environ.get("VELK_SOURCE_DIR", ""))
ZARADU_DIR = os.environ.get("VELK_ZARADU_INSTALL_DIR", "")


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    if not (BUILD.name and SOURCE.name and ZARADU_DIR):
        pytest.skip("VELK_BUILD_DIR, VELK_SOURCE_DIR or VELK_ZARADU_INSTALL_DIR is not set (run through ctest)")
    p = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(p)], check=True, capture_output=True)
    return p


def zaradu_dir(prefix):
    return prefix / ZARADU_DIR   # a relative directory is under the prefix; an absolute one stays


def test_installs_velk_vm_and_the_two_modules_only(prefix):
    files = sorted(str(f.relative_to(prefix)) for f in prefix.rglob("*") if not f.is_dir())
    modules = sorted(f.name.split(".")[0] for f in zaradu_dir(prefix).iterdir())
    assert modules == ["compiler", "macro"]
    assert files == sorted(["bin/velk_vm"] + [str((zaradu_dir(prefix) / f).relative_to(prefix))
                                              for f in os.listdir(zaradu_dir(prefix))])
    assert all(f.endswith(".so") for f in files if f != "bin/velk_vm")
    assert os.access(prefix / "bin/velk_vm", os.X_OK)


def test_installed_velk_vm_runs_the_example_as_the_build_does(prefix, tmp_path):
    examples = SOURCE / "examples"
    outputs = []
    for name, vm in (("installed", prefix / "bin/velk_vm"), ("built", BUILD / "velk_vm")):
        out = tmp_path / name
        r = subprocess.run([str(vm), "-i", str(examples / "demo.velk"), "-c", str(examples / "channels.toml"),
                            "-o", str(out), "--vars", str(examples / "vars.json")],
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        outputs.append({f.name: f.read_bytes() for f in sorted(out.iterdir())})
    assert outputs[0] and outputs[0] == outputs[1]


def test_installed_modules_import_beside_the_standins(prefix):
    # The stand-ins of the rest of the zaradu package come from the source tree; the
    # compiled modules are taken from the installed directory.
    code = f"""if 1:
        import zaradu
        zaradu.__path__.insert(0, {str(zaradu_dir(prefix))!r})
        import zaradu.macro, zaradu.compiler
        print(zaradu.macro.__file__)
        print(zaradu.compiler.__file__)
        print(list(zaradu.macro.extend_macro([], None)), callable(zaradu.compiler.compile))
    """
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    macro_file, compiler_file, result = r.stdout.splitlines()
    assert Path(macro_file).parent == zaradu_dir(prefix) and Path(compiler_file).parent == zaradu_dir(prefix)
    assert result == "[] True"
