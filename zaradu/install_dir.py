"""Where `cmake --install` puts zaradu.macro and zaradu.compiler for the interpreter that
runs this script (the configure step runs it with -E, so that PYTHONPATH does not count).

    PYTHON -E zaradu/install_dir.py PREFIX [NOT_HERE...]

Prints two lines, how the place was found and the directory:
  package   the directory of the zaradu package that the interpreter imports (absolute);
  prefix    when it imports none: the zaradu directory inside a directory under PREFIX
            that the interpreter searches, a scheme's platlib for PREFIX first
            (relative to PREFIX);
  unsearched  when it searches no directory under PREFIX: the zaradu directory of the
            platlib of the posix_prefix scheme for PREFIX (relative to PREFIX).
Nothing under a NOT_HERE directory counts: the checkout and its build, whose stand-in
package is not the one to install into.
"""

import argparse
import importlib.util
import os
import site
import sys
import sysconfig


def inside(path, directory):
    path, directory = os.path.abspath(path), os.path.abspath(directory)
    return os.path.commonpath([path, directory]) == directory


def imported_package(not_here):
    """The directory of the zaradu package that `import zaradu` finds, or None."""
    sys.path[:] = [p for p in sys.path if p and not any(inside(p, d) for d in not_here)]
    spec = importlib.util.find_spec("zaradu")
    if spec is None or not spec.submodule_search_locations:
        return None
    return next((p for p in spec.submodule_search_locations
                 if not any(inside(p, d) for d in not_here)), None)


def searched_dirs():
    """The directories the interpreter takes packages from."""
    dirs = [*site.getsitepackages(), *sys.path]
    if site.ENABLE_USER_SITE:
        dirs.append(site.getusersitepackages())
    return {os.path.abspath(d) for d in dirs if d}


def candidates(prefix):
    """Where the modules may go, best first: each scheme's platlib for PREFIX (the
    default scheme's first), then the interpreter's own platlib and purelib (Debian's
    default scheme puts /usr/local/lib/pythonX.Y/dist-packages there, whatever PREFIX),
    then every directory it takes packages from."""
    prefix_vars = {"base": prefix, "platbase": prefix}
    for scheme in (sysconfig.get_default_scheme(), *sysconfig.get_scheme_names()):
        yield sysconfig.get_path("platlib", scheme, prefix_vars)
    yield sysconfig.get_path("platlib")
    yield sysconfig.get_path("purelib")
    yield from sorted(searched_dirs())


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("prefix")
    parser.add_argument("not_here", nargs="*")
    args = parser.parse_args()
    not_here = args.not_here

    package = imported_package(not_here)
    if package:
        print("package", os.path.abspath(package), sep="\n")
        return
    prefix = os.path.abspath(args.prefix)
    searched = searched_dirs()
    for d in map(os.path.abspath, candidates(prefix)):
        if d in searched and inside(d, prefix) and not any(inside(d, n) for n in not_here):
            print("prefix", os.path.join(os.path.relpath(d, prefix), "zaradu"), sep="\n")
            return
    scheme = "posix_prefix" if "posix_prefix" in sysconfig.get_scheme_names() else None
    platlib = sysconfig.get_path("platlib", scheme, {"base": prefix, "platbase": prefix})
    print("unsearched", os.path.join(os.path.relpath(platlib, prefix), "zaradu"), sep="\n")


if __name__ == "__main__":
    main()
