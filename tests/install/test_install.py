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


PREFIX = "/opt/velk"


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    """The installation under a temporary DESTDIR, so that even an absolute zaradu
    directory stays inside it."""
    if not (BUILD.name and SOURCE.name and ZARADU_DIR):
        pytest.skip("VELK_BUILD_DIR, VELK_SOURCE_DIR or VELK_ZARADU_INSTALL_DIR is not set (run through ctest)")
    root = tmp_path_factory.mktemp("destdir")
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", PREFIX], check=True, capture_output=True,
                   env=dict(os.environ, DESTDIR=str(root)))
    return root


def velk_vm(staged):
    return staged / PREFIX.lstrip("/") / "bin/velk_vm"


def zaradu_dir(staged):
    # A relative directory is under the prefix; an absolute one stays as it is.
    return staged / (Path(PREFIX) / ZARADU_DIR).relative_to("/")


def test_installs_velk_vm_and_the_two_modules_only(staged):
    files = sorted(f for f in staged.rglob("*") if not f.is_dir())
    modules = sorted(zaradu_dir(staged).iterdir())
    assert [f.name.split(".")[0] for f in modules] == ["compiler", "macro"]
    assert all(f.name.endswith(".so") for f in modules)
    assert files == sorted([velk_vm(staged)] + modules)
    assert os.access(velk_vm(staged), os.X_OK)


def test_installed_velk_vm_runs_the_example_as_the_build_does(staged, tmp_path):
    examples = SOURCE / "examples"
    outputs = []
    for name, vm in (("installed", velk_vm(staged)), ("built", BUILD / "velk_vm")):
        out = tmp_path / name
        r = subprocess.run([str(vm), "-i", str(examples / "demo.velk"), "-c", str(examples / "channels.toml"),
                            "-o", str(out), "--vars", str(examples / "vars.json")],
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        outputs.append({f.name: f.read_bytes() for f in sorted(out.iterdir())})
    assert outputs[0] and outputs[0] == outputs[1]


def test_installed_modules_import_beside_the_standins(staged):
    # The stand-ins of the rest of the zaradu package come from the source tree; the
    # compiled modules are taken from the installed directory.
    code = f"""if 1:
        import zaradu
        zaradu.__path__.insert(0, {str(zaradu_dir(staged))!r})
        import zaradu.macro, zaradu.compiler
        print(zaradu.macro.__file__)
        print(zaradu.compiler.__file__)
        print(list(zaradu.macro.extend_macro([], None)), callable(zaradu.compiler.compile))
    """
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    macro_file, compiler_file, result = r.stdout.splitlines()
    assert Path(macro_file).parent == zaradu_dir(staged) and Path(compiler_file).parent == zaradu_dir(staged)
    assert result == "[] True"
