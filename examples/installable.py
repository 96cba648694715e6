"""Which packages of a Debian index can be installed, decided from kelto's objects.

Builds the outlines of every package with the demo's builder (examples/debian/),
then reads each package's rules back through the constraints' own properties
(`on`, `lhs`, `rhs`, `op`, `of`, `cond`, `then`, `package_name`,
`option_name`, `value`) and asks a SAT solver, package by package, whether
some set of packages holds it and meets every rule of every package in it.
Versions compare with Debian's ordering, on the texts the options keep.

    python examples/installable.py [PACKAGES_FILE...] [--broken] [--explain NAME]

How a rule reads: Depends(p) holds when some version of p is installed;
Cmp(SpecOption(p, option), value, op) when an installed version of p has the
option and its value compares so (versions by Debian's ordering, other values
as themselves); `c == True` and `c == False` are c and its negation;
NumOf(parts) >= 1 is "any of", NumOf(parts) == len(parts) "all of", and
IfThen(cond, then) "not cond, or then". Two versions of one package are never
installed together.
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "kelto-debian"))

from kelto_debian.index import BadIndex
from kelto_debian.installability import Unsupported, broken, check, have_solver
from kelto_debian.machine import default_indexes
from kelto_debian.outlines import base_name
from kelto_debian.output import run

PROGRAM = "installable.py"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("index", nargs="*", help="Debian Packages files, plain, .gz or .xz, the native"
                        " architecture's first (default: apt's of each of the machine's architectures,"
                        " else the sample)")
    parser.add_argument("--broken", action="store_true", help="list 'name version' of each package that "
                        "cannot be installed, one a line (NAME:ARCH for a foreign architecture)")
    parser.add_argument("--explain", metavar="NAME", help="say why package NAME (or NAME:ARCH) cannot be"
                        " installed; exit status 1 when it cannot")
    args = parser.parse_args(argv)
    if args.explain is not None and not args.explain.strip():
        parser.error("--explain needs a package name")
    if not have_solver():
        print(f"{PROGRAM}: no SAT solver: install python3-pycosat (Debian) or pycosat (pip)", file=sys.stderr)
        return 2
    paths, native = (args.index, None) if args.index else default_indexes()
    where = ", ".join(paths)
    try:
        checker, times = check(paths, native, every=not args.explain)
    except BadIndex as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    except Unsupported as error:
        print(f"{PROGRAM}: {where}: {error}", file=sys.stderr)
        return 1
    universe = checker.universe
    if args.explain:
        numbers = [number for outline, found in universe.by_name.items()
                   if args.explain in (outline, base_name(outline)) for number in found]
        if not numbers:
            print(f"{PROGRAM}: {where}: no package named {args.explain!r}", file=sys.stderr)
            return 1
        for number in numbers:
            checker.decide(number)
        print("\n\n".join("\n".join(checker.explain(number)) for number in numbers))
        return 0 if all(checker.installable(number) for number in numbers) else 1
    if args.broken:
        print("\n".join(universe.label(number) for number in broken(checker)))
        return 0
    count = len(universe)
    bad = sum(1 for _ in broken(checker))
    total = sum(times.values())
    print(f"Checked {where}:")
    print(f"  packages:        {count}")
    print(f"  installable:     {count - bad}")
    print(f"  not installable: {bad} ({len(checker.reason)} for a missing dependency,"
          f" {len(checker.unsolvable)} for a conflict)")
    print(f"  time:            {total:.2f} s (building the outlines {times['build']:.2f} s, reading the rules"
          f" back {times['read']:.2f} s, solving {times['solve']:.2f} s in {checker.solver_calls} solver calls)")
    return 0


if __name__ == "__main__":
    run(main)
