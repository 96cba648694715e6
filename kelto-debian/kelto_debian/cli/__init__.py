"""The command `kelto-debian` (also `python -m kelto_debian`): one
subcommand per job, each a module of this package with
`add_parser(subparsers)` and `run(args) -> int`.

Exit status: what the subcommand returns (0 when every checked package
passes, 1 when some do not), 2 for a usage or input error, told in one
line on standard error."""

from __future__ import annotations

import argparse
import importlib
import sys
from typing import NoReturn

from ..output import run as run_to_end
from .common import UsageError

# The subcommands, in the order the help lists them: registering one is
# adding its module's name here.
SUBCOMMANDS = ("describe", "installable", "buildable")

PROGRAM = "kelto-debian"


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on standard error (the
    usage is what --help prints), with exit status 2."""

    def error(self, message: str) -> NoReturn:
        print(f"{self.prog}: {message}", file=sys.stderr)
        sys.exit(2)


def parser() -> Parser:
    top = Parser(prog=PROGRAM, description="Debian package indexes checked with kelto's objects.")
    subparsers = top.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)
    for name in SUBCOMMANDS:
        module = importlib.import_module(f".{name}", __name__)
        sub = module.add_parser(subparsers)
        sub.set_defaults(run=module.run)
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as error:
        print(f"{PROGRAM} {args.command}: {error}", file=sys.stderr)
        return 2
    except MemoryError:
        # What was built is let go with the frames that held it, before the line is written.
        print(f"{PROGRAM} {args.command}: out of memory", file=sys.stderr)
        return 2


def entry() -> NoReturn:
    """The console script."""
    run_to_end(main)
