"""What the subcommands share: the index arguments and how an input error ends them."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from contextlib import contextmanager

from ..index import BadIndex
from ..machine import default_indexes


class UsageError(Exception):
    """A usage or input error: one line on standard error, exit status 2."""


def add_indexes(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("index", nargs="*", help="Debian Packages files, plain, .gz or .xz, the native"
                        " architecture's first (default: apt's of each of the machine's architectures,"
                        " else the sample)")


def indexes(args: argparse.Namespace) -> tuple[list[str], str | None]:
    """The indexes to read, and the native architecture when the machine's are read."""
    return (args.index, None) if args.index else default_indexes()


@contextmanager
def input_errors() -> Iterator[None]:
    """An index that cannot be read becomes a UsageError (its message names the file and line)."""
    try:
        yield
    except BadIndex as error:
        raise UsageError(str(error)) from None
