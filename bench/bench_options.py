"""Command-line options shared by the benchmark scripts (and the scripts of tests/support/
and examples/): a parser whose errors are one line, the CPU that every process is pinned
to, and counts that must be positive."""

import argparse
import os
import sys


class Parser(argparse.ArgumentParser):
    """An argument parser that reports a bad option in one line and exits with 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def fail(message: str):
    """Ends the benchmark with one line on standard error and status 1."""
    sys.exit(f"{os.path.basename(sys.argv[0])}: {message}")


def usable_cpus() -> list[int]:
    return sorted(os.sched_getaffinity(0))


def cpu(text: str) -> int:
    """A CPU this process may run on (the type of a --cpu option)."""
    cpus = usable_cpus()
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a CPU number: {text!r}") from None
    if n not in cpus:
        raise argparse.ArgumentTypeError(
            f"CPU {n} is not one this process may run on ({', '.join(map(str, cpus))})")
    return n


def add_cpu_option(parser: argparse.ArgumentParser, what: str):
    """--cpu, by default the highest-numbered CPU this process may run on."""
    parser.add_argument("--cpu", type=cpu, default=usable_cpus()[-1],
                        help=f"the CPU {what} (default: the highest-numbered one "
                             f"this process may use, here {usable_cpus()[-1]})")


def positive(kind):
    """The type of an option that must be a positive number of `kind` (int or float)."""

    def convert(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be positive: {text}")
        return value

    convert.__name__ = f"positive {kind.__name__}"
    return convert


def pinned(cpu_number: int) -> list[str]:
    """The command prefix that pins a process to `cpu_number`."""
    return ["taskset", "-c", str(cpu_number)]
