"""kelto-debian installable: which packages of a Debian index can be installed.

Builds the outlines of every package, reads each package's rules back
through the constraints' own properties (`on`, `lhs`, `rhs`, `op`, `of`,
`cond`, `then`, `package_name`, `option_name`, `value`) and asks a SAT
solver, on each package's cone, whether some set of packages holds it and
meets every rule of every package in it. Versions compare with Debian's
ordering, on the texts the options keep.

How a rule reads: Depends(p) holds when some version of p is installed;
Cmp(SpecOption(p, option), value, op) when an installed version of p has the
option and its value compares so (versions by Debian's ordering, other values
as themselves); `c == True` and `c == False` are c and its negation;
NumOf(parts) >= 1 is "any of", NumOf(parts) == len(parts) "all of", and
IfThen(cond, then) "not cond, or then". Two versions of one package are never
installed together.

Exit status: 0 when every package checked can be installed, 1 when some
cannot, 2 for a usage or input error.
"""

from __future__ import annotations

import argparse
import sys

from ..checker import Checker, Explainer, Unsupported, have_solver
from ..installability import broken, check
from ..outlines import base_name
from ..progress import Progress
from ..report import Report
from .common import UsageError, add_indexes, add_verdict_options, indexes, input_errors


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:  # type: ignore[type-arg]
    parser: argparse.ArgumentParser = subparsers.add_parser("installable", help="which packages can be installed, and why not",
                                   description=(__doc__ or "").splitlines()[0].partition(": ")[2])
    add_indexes(parser)
    add_verdict_options(parser, "package", "installed", "name version architecture", "NAME (or NAME:ARCH)",
                        "dose-distcheck")
    return parser


def named(checker: Checker, names: list[str], where: str) -> list[int]:
    """The packages of each name (NAME for every architecture's, NAME:ARCH for one's)."""
    found: list[int] = []
    for name in names:
        if not name.strip():
            raise UsageError("--explain needs package names")
        numbers = [number for outline, numbers in checker.universe.by_name.items()
                   if name in (outline, base_name(outline)) for number in numbers]
        if not numbers:
            raise UsageError(f"{where}: no package named {name!r}")
        found += numbers
    return list(dict.fromkeys(found))


def summary(checker: Checker, where: str, times: dict[str, float]) -> None:
    count = len(checker.universe)
    bad = sum(1 for _ in broken(checker))
    print(f"Checked {where}:")
    print(f"  packages:        {count}")
    print(f"  installable:     {count - bad}")
    print(f"  not installable: {bad} ({len(checker.reason)} for a missing dependency,"
          f" {len(checker.unsolvable)} for a conflict)")
    print(f"  time:            {sum(times.values()):.2f} s (building the outlines {times['build']:.2f} s, reading"
          f" the rules back {times['read']:.2f} s, solving {times['solve']:.2f} s in {checker.solver_calls}"
          " solver calls)")


def run(args: argparse.Namespace) -> int:
    if not have_solver():
        raise UsageError("no SAT solver: install python3-pycosat (Debian) or pycosat (pip)")
    paths, native = indexes(args)
    where = ", ".join(paths)
    progress = Progress()
    try:
        with input_errors():
            checker, times = check(paths, native, every=not args.explain, explained=args.explain_all,
                                   progress=progress)
    except Unsupported as error:
        raise UsageError(f"{where}: {error}") from None
    finally:
        progress.close()
    universe = checker.universe
    explainer = Explainer(checker) if args.explain or args.explain_all else None
    if args.explain:
        numbers = named(checker, args.explain, where)
        progress.phase("deciding", len(numbers))
        for done, number in enumerate(numbers, 1):
            checker.decide(number)
            progress.step(done)
    else:
        numbers = list(broken(checker))
    try:
        if args.format == "yaml":
            foreign = {a for a in universe.architectures[1:] if a not in ("all", universe.native)}
            progress.phase("explaining" if explainer else "reporting", len(numbers))
            Report(checker, explainer, universe.native, foreign).write(numbers, sys.stdout, progress.step)
        elif explainer is not None:
            progress.phase("explaining", len(numbers))
            for done, number in enumerate(numbers, 1):
                progress.step(done)
                print(("\n" if done > 1 else "") + "\n".join(explainer.explain(number)))
        elif args.broken:
            names, versions, architectures = universe.names, universe.versions, universe.architectures
            for number in numbers:
                print(f"{base_name(names[number])} {versions[number]} {architectures[number]}")
        else:
            summary(checker, where, times)
    finally:
        progress.close()
    return 0 if all(checker.installable(number) for number in numbers) else 1
