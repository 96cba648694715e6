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


def add_verdict_options(parser: argparse.ArgumentParser, noun: str, decide: str, broken_line: str,
                        explain_name: str, report: str) -> None:
    """The options every check shares: --broken, --explain NAME... or
    --explain-all, and --format. NOUN is what is checked ("package"), DECIDE
    what it must be able to be ("installed"), REPORT dose's tool whose YAML
    report --format yaml writes."""
    parser.add_argument("--broken", action="store_true", help=f"list '{broken_line}' of each {noun} that"
                        f" cannot be {decide}, one a line")
    explaining = parser.add_mutually_exclusive_group()
    explaining.add_argument("--explain", metavar="NAME", nargs="+", help=f"say why each {noun} {explain_name}"
                            f" cannot be {decide}, deciding only what it needs")
    explaining.add_argument("--explain-all", action="store_true", help=f"say why each {noun} that cannot be"
                            f" {decide} cannot")
    parser.add_argument("--format", choices=("text", "yaml"), default="text", help="text (default), or"
                        f" {report}'s YAML report")


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
