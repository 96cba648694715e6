"""kelto-debian buildable: which source packages' build dependencies can be met.

Each source of SOURCES is described with kelto's objects as a binary package
is, its build relations reduced under the build context (the build
architecture, that of the first index; the host architecture; the active
build profiles), and joins the binary packages of the indexes in one
check: a source can be built when some set of binary packages holds it and
meets every rule of every member. For a cross check give the build
architecture's index, then the host architecture's, and --host-arch.

Exit status: 0 when every source checked can be built, 1 when some cannot,
2 for a usage or input error.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator

from ..buildable import SOURCE_PREFIX, BuildCheck, check_sources, first_architecture, is_source
from ..checker import Unsupported, have_solver
from ..report import Report, scalar
from ..restrictions import UnknownTables, architectures
from ..sources import BuildContext
from .common import UsageError, input_errors


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:  # type: ignore[type-arg]
    parser = subparsers.add_parser("buildable", help="which source packages can be built, and why not",
                                   description=(__doc__ or "").splitlines()[0].partition(": ")[2])
    parser.add_argument("sources", metavar="SOURCES", help="a Debian Sources index, plain, .gz or .xz")
    parser.add_argument("index", metavar="INDEX", nargs="+", help="Debian Packages files: the build"
                        " architecture's first, then for a cross check the host architecture's")
    parser.add_argument("--host-arch", metavar="ARCH", help="the architecture built for (default: the build"
                        " architecture)")
    parser.add_argument("--profiles", metavar="P,...", default="", help="the active build profiles, comma"
                        " separated (none by default; a cross check adds none, as dpkg adds none)")
    parser.add_argument("--broken", action="store_true", help="list 'name version' of each source that"
                        " cannot be built, one a line")
    explaining = parser.add_mutually_exclusive_group()
    explaining.add_argument("--explain", metavar="NAME", nargs="+", help="say why each source NAME cannot be"
                            " built, deciding only what it needs")
    explaining.add_argument("--explain-all", action="store_true", help="say why each source that cannot be"
                            " built cannot")
    parser.add_argument("--format", choices=("text", "yaml"), default="text", help="text (default), or"
                        " dose-builddebcheck's YAML report")
    return parser


class SourceReport(Report):
    """dose-builddebcheck's report: a source is of type src, and the
    figures are of source packages."""

    def __init__(self, result: BuildCheck, explainer: object) -> None:
        context = result.context
        super().__init__(result.checker, explainer, context.build, ())  # type: ignore[arg-type]
        self.result = result

    def package(self, number: int, indent: str) -> Iterator[str]:
        name = self.names[number]
        if not is_source(name):
            yield from super().package(number, indent)
            return
        yield f"{indent}package: {scalar(name[len(SOURCE_PREFIX):])}"
        yield f"{indent}version: {scalar(self.versions[number])}"
        yield f"{indent}architecture: {scalar(self.architectures[number])}"
        yield f"{indent}type: src"

    def lines(self, numbers, progress=None):  # type: ignore[no-untyped-def]
        for line in super().lines(numbers, progress):
            if line.startswith("total-packages:"):
                yield f"source-packages: {len(self.result.sources)}"
            elif line.startswith("broken-packages:"):
                checker = self.checker
                yield f"broken-packages: {sum(not checker.installable(n) for n, _ in self.result.sources)}"
            else:
                yield line
                if line.startswith("native-architecture:"):
                    yield f"host-architecture: {scalar(self.result.context.host)}"


def run(args: argparse.Namespace) -> int:
    if not have_solver():
        raise UsageError("no SAT solver: install python3-pycosat (Debian) or pycosat (pip)")
    try:
        arches = architectures()
    except UnknownTables as error:
        raise UsageError(f"dpkg's architecture tables: {error}") from None
    with input_errors():
        build = first_architecture(args.index) or "amd64"
    host = args.host_arch or build
    for arch in dict.fromkeys((build, host)):
        if not arches.known(arch):
            raise UsageError(f"unknown architecture {arch!r} (not in dpkg's tables)")
    context = BuildContext(build, host, frozenset(p.strip() for p in args.profiles.split(",") if p.strip()))
    explaining = bool(args.explain or args.explain_all)
    try:
        with input_errors():
            result = check_sources(args.sources, args.index, context, every=not args.explain,
                                   explained=args.explain_all)
    except Unsupported as error:
        raise UsageError(str(error)) from None
    checker, universe = result.checker, result.checker.universe
    if args.explain:
        wanted = set(args.explain)
        numbers = [number for number, source in result.sources if source.name in wanted]
        unknown = wanted - {source.name for _, source in result.sources}
        if unknown:
            raise UsageError(f"{args.sources}: no source named {', '.join(map(repr, sorted(unknown)))}"
                             f" built for {host}")
        for number in numbers:
            checker.decide(number)
    else:
        numbers = [number for number, _ in result.sources if not checker.installable(number)]
    explainer = result.explainer() if explaining else None
    if args.format == "yaml":
        SourceReport(result, explainer).write(numbers, sys.stdout)
    elif explainer is not None:
        for done, number in enumerate(numbers, 1):
            lines = explainer.explain(number)
            lines[0] = lines[0].replace("can be installed", "can be built").replace("cannot be installed",
                                                                                    "cannot be built")
            print(("\n" if done > 1 else "") + "\n".join(lines))
    elif args.broken:
        for number in numbers:
            print(f"{universe.names[number][len(SOURCE_PREFIX):]} {universe.versions[number]}")
    else:
        how = f"cross from {build} to {host}" if context.cross else f"natively on {host}"
        print(f"Checked {args.sources} {how}:")
        print(f"  source packages: {len(result.sources)}"
              + (f" (and {result.skipped} built for other architectures only)" if result.skipped else ""))
        print(f"  buildable:       {len(result.sources) - len(numbers)}")
        print(f"  not buildable:   {len(numbers)}")
        print(f"  time:            {sum(result.times.values()):.2f} s")
    return 0 if all(checker.installable(number) for number in numbers) else 1
