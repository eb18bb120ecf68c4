"""`cmake --install` of a build: velk_vm into <prefix>/bin, the two compiled modules where
the configured interpreter imports them from (the zaradu package it imports, else a
directory under the prefix that it searches), and nothing else; what was installed runs,
and the interpreter imports the modules with nothing added to its search path."""

import os
import shutil
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


# --- where the modules go: configured for an interpreter of our own ---------------------
#
# A virtual environment of this interpreter that sees its packages (NumPy) and takes
# packages from a directory of its own, so that a zaradu package can be installed into
# it, or not, without touching the system.

@pytest.fixture
def venv(tmp_path):
    """The interpreter of a fresh virtual environment and the directory it takes
    packages from."""
    root = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(root)],
                   check=True, capture_output=True)
    python = root / "bin" / "python"
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          check=True, capture_output=True, text=True).stdout.strip()
    return python, Path(site)


def install_zaradu_package(site: Path):
    """The stand-ins of the zaradu and ravex packages, installed as packages are."""
    for name in ("zaradu", "ravex"):
        shutil.copytree(SOURCE / "python" / name, site / name)


@pytest.fixture(scope="module")
def modules_build(tmp_path_factory):
    """A build directory of the modules alone, configured anew by each test."""
    if not SOURCE.name:
        pytest.skip("VELK_SOURCE_DIR is not set (run through ctest)")
    return tmp_path_factory.mktemp("modules-build")


def without_pythonpath():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "DESTDIR")}


def configure_build_install(build: Path, python, prefix: Path, *options, env=None, cwd=None,
                            destdir=None):
    """Configures `build` for `python` and `prefix`, builds the modules and installs
    them; gives the configure step's line on where they go and the files installed
    (without the DESTDIR)."""
    configured = subprocess.run(
        ["cmake", "-S", str(SOURCE), "-B", str(build), "-G", "Ninja", "-DVELK_VM=OFF", "-DVELK_BENCH=OFF",
         f"-DPython3_EXECUTABLE={python}", f"-DCMAKE_INSTALL_PREFIX={prefix}", "-DVELK_ZARADU_INSTALL_DIR=",
         *options],
        check=True, capture_output=True, text=True, env=env or without_pythonpath(), cwd=cwd)
    line = [x for x in configured.stdout.splitlines() if "zaradu.compiler install into" in x]
    subprocess.run(["ninja", "-C", str(build), "-j4", "macro", "compiler"], check=True, capture_output=True)
    install_env = without_pythonpath() | ({"DESTDIR": str(destdir)} if destdir else {})
    subprocess.run(["cmake", "--install", str(build)], check=True, capture_output=True, env=install_env)
    files = (build / "install_manifest.txt").read_text().split()
    return line, [Path(f) for f in files]


def found_by(python, module, cwd):
    """Where `python` finds `module`, with nothing added to its search path."""
    code = f"import importlib.util; print(importlib.util.find_spec({module!r}).origin)"
    r = subprocess.run([str(python), "-c", code], capture_output=True, text=True, cwd=cwd,
                       env=without_pythonpath(), timeout=60)
    assert r.returncode == 0, r.stderr
    return Path(r.stdout.strip())


def checkout_on_every_path():
    """The environment and directory of a configure step that sees this checkout's
    stand-in packages on PYTHONPATH and in its current directory: they do not count."""
    env = dict(without_pythonpath(), PYTHONPATH=f"{BUILD / 'python'}:{SOURCE / 'python'}")
    return env, SOURCE / "python"


CASES = [
    # id, a zaradu package installed in the environment, the install prefix, more
    # configure options, whether the checkout's stand-ins are on every path, where the
    # modules go, whether the environment's interpreter finds them
    ("into the zaradu package the interpreter imports",
     True, lambda tmp, site: tmp / "prefix", [], True,
     lambda tmp, site: site / "zaradu", True),
    ("without a zaradu package: where the interpreter looks, under the prefix",
     False, lambda tmp, site: tmp / "venv", [], True,
     lambda tmp, site: site / "zaradu", True),
    ("VELK_ZARADU_INSTALL_DIR before the zaradu package",
     True, lambda tmp, site: tmp / "prefix", ["-DVELK_ZARADU_INSTALL_DIR=custom/zaradu"], False,
     lambda tmp, site: tmp / "prefix" / "custom" / "zaradu", False),
]


@pytest.mark.parametrize("what, package, prefix, options, checkout_on_path, where, found", CASES,
                         ids=[c[0] for c in CASES])
def test_modules_install_where_the_interpreter_imports_them(modules_build, venv, tmp_path, what, package,
                                                           prefix, options, checkout_on_path, where,
                                                           found):
    python, site = venv
    if package:
        install_zaradu_package(site)
    env, cwd = checkout_on_every_path() if checkout_on_path else (None, None)
    line, files = configure_build_install(modules_build, python, prefix(tmp_path, site), *options,
                                          env=env, cwd=cwd)
    directory = where(tmp_path, site)
    assert len(line) == 1 and f"install into {directory}" in line[0]
    assert sorted(f.parent for f in files) == [directory, directory]
    assert sorted(f.name.split(".")[0] for f in files) == ["compiler", "macro"]
    if found:
        for f in files:
            assert found_by(python, "zaradu." + f.name.split(".")[0], tmp_path) == f


def test_by_default_the_modules_go_where_the_interpreter_looks_under_the_prefix(modules_build, tmp_path):
    # The interpreter itself, for the default prefix: on Debian the directory of its
    # default scheme, /usr/local/lib/python3.X/dist-packages, not posix_prefix's
    # site-packages, which it does not search. Installed below a DESTDIR.
    looks = subprocess.run([sys.executable, "-E", "-c", "import site, sys; print(*site.getsitepackages(), "
                            "*sys.path[1:], sep='\\n'); import importlib.util; "
                            "print(importlib.util.find_spec('zaradu') is not None)"],
                           check=True, capture_output=True, text=True, cwd=tmp_path).stdout.split("\n")
    if looks[-2] == "True":
        pytest.skip(f"{sys.executable} imports a zaradu package of its own")
    prefix = Path("/usr/local")
    root = tmp_path / "destdir"
    line, files = configure_build_install(modules_build, sys.executable, prefix, destdir=root)
    directories = {f.parent for f in files}   # the manifest leaves DESTDIR out
    assert len(directories) == 1
    directory = directories.pop()
    assert all((root / f.relative_to("/")).is_file() for f in files)
    assert directory.name == "zaradu" and directory.parent.is_relative_to(prefix)
    assert str(directory.parent) in looks
    assert len(line) == 1 and f"install into {directory}" in line[0]


def test_installed_modules_import_with_nothing_added(modules_build, venv, tmp_path):
    # The compiled modules in the installed zaradu package, beside its other modules.
    python, site = venv
    install_zaradu_package(site)
    configure_build_install(modules_build, python, tmp_path / "prefix")
    code = """if 1:
        import zaradu.macro, zaradu.compiler
        print(zaradu.macro.__file__)
        print(zaradu.compiler.__file__)
        print(list(zaradu.macro.extend_macro([], None)), callable(zaradu.compiler.compile))
    """
    r = subprocess.run([str(python), "-c", code], capture_output=True, text=True, cwd=tmp_path,
                       env=without_pythonpath(), timeout=60)
    assert r.returncode == 0, r.stderr
    macro_file, compiler_file, result = r.stdout.splitlines()
    assert Path(macro_file).parent == site / "zaradu" and Path(compiler_file).parent == site / "zaradu"
    assert result == "[] True"
