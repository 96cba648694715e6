"""`kelto-debian buildable`: whether each source package's build
dependencies can be met, natively or cross, as a subcommand of the
`kelto-debian` command (add_parser, run)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .buildable import SOURCE_PREFIX, BuildCheck, check_sources
from .index import BadIndex
from .installability import Unsupported, have_solver
from .outlines import base_name
from .restrictions import UnknownTables, architectures
from .sources import BuildContext
from .buildable import first_architecture

NAME = "buildable"
HELP = "which source packages' build dependencies can be met, natively or cross"


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(NAME, help=HELP, description=HELP[0].upper() + HELP[1:] + ".")
    parser.add_argument("sources", metavar="SOURCES", help="a Debian Sources index, plain, .gz or .xz")
    parser.add_argument("indexes", metavar="INDEX", nargs="+",
                        help="Packages indexes: the build architecture's first, then for a cross check the host's")
    parser.add_argument("--host-arch", metavar="ARCH",
                        help="the architecture built for (default: the build architecture, the first index's)")
    parser.add_argument("--profiles", metavar="P,...", default="",
                        help="the active build profiles, comma-separated (a cross build adds none by itself,"
                             " as dpkg adds none)")
    parser.add_argument("--broken", action="store_true",
                        help="list 'NAME VERSION' of each source that cannot be built, one a line")
    explained = parser.add_mutually_exclusive_group()
    explained.add_argument("--explain", metavar="NAME", nargs="+", help="say why these sources cannot be built")
    explained.add_argument("--explain-all", action="store_true", help="say why each broken source cannot be built")
    parser.add_argument("--format", choices=("text", "yaml"), default="text", help="the report's form")
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    """0 when every source checked can be built, 1 when one cannot, 2 when
    the input cannot be read."""
    program = f"kelto-debian {NAME}"
    if not have_solver():
        print(f"{program}: no SAT solver: install python3-pycosat (Debian) or pycosat (pip)", file=sys.stderr)
        return 2
    try:
        arches = architectures()
        build = first_architecture(args.indexes) or "amd64"
        host = args.host_arch or build
        for arch in {build, host}:
            if not arches.known(arch):
                print(f"{program}: unknown architecture {arch!r} (not in dpkg's tables)", file=sys.stderr)
                return 2
        context = BuildContext(build, host, frozenset(p for p in args.profiles.split(",") if p.strip()))
        explaining = bool(args.explain or args.explain_all)
        result = check_sources(args.sources, args.indexes, context, every=not args.explain)
    except (BadIndex, UnknownTables, Unsupported) as error:
        print(f"{program}: {error}", file=sys.stderr)
        return 2
    checker = result.checker
    if args.explain:
        wanted = set(args.explain)
        numbers = [number for number, source in result.sources if source.name in wanted]
        missing = wanted - {source.name for _, source in result.sources}
        for name in sorted(missing):
            print(f"{program}: no source {name!r} built for {host}", file=sys.stderr)
        for number in numbers:
            checker.decide(number)
    else:
        numbers = [number for number, _ in result.sources if not checker.installable(number)]
    broken = [number for number, _ in result.sources if not checker.installable(number)
              and (not args.explain or number in numbers)]
    if args.format == "yaml":
        write_yaml(result, broken, explaining)
    else:
        write_text(result, broken, args.broken, numbers if explaining else [])
    return 1 if broken else 0


def write_text(result: BuildCheck, broken: list[int], listing: bool, explained: list[int]) -> None:
    checker, context = result.checker, result.context
    universe = checker.universe
    what = f"cross from {context.build} to {context.host}" if context.cross else f"natively on {context.host}"
    if listing:
        for number in broken:
            print(f"{universe.names[number][len(SOURCE_PREFIX):]} {universe.versions[number]}")
    for number in explained:
        for line in checker.explain(number):
            print(line.replace(" can be installed", " can be built").replace(" cannot be installed", " cannot be built"))
    if not listing and not explained:
        print(f"{len(result.sources)} source packages checked {what}; {len(broken)} cannot be built"
              + (f"; {result.skipped} built for other architectures only" if result.skipped else ""))


def pkg(checker: Any, number: int, sources: dict[int, Any]) -> dict[str, Any]:
    """A package as dose's reports name it."""
    universe = checker.universe
    name = universe.names[number]
    if number in sources:
        return {"package": name[len(SOURCE_PREFIX):], "version": universe.versions[number],
                "architecture": " ".join(sources[number].architecture), "type": "src"}
    arch = universe.options[number].get("architecture") if universe.options else None
    return {"package": base_name(name), "version": universe.versions[number],
            "architecture": arch or (name.partition(":")[2] or "all")}


def reasons(checker: Any, number: int, sources: dict[int, Any]) -> list[dict[str, Any]]:
    """Why the package cannot be installed, in dose's terms: a missing
    dependency (at the end of the chain from it) or the conflicts."""
    if number in checker.reason:
        seen = set()
        chain = []
        while number not in seen and checker.reason.get(number, -1) >= 0:
            seen.add(number)
            index = checker.reason[number]
            clause = checker.clauses[number][index]
            chain.append((number, index))
            if not clause:
                break
            number = min(clause)
        last, index = chain[-1]
        text = checker.rule_text(checker.sources[last][index]).split(" on ", 1)[-1]
        found: dict[str, Any] = {"pkg": {**pkg(checker, last, sources), "unsat-dependency": text}}
        if len(chain) > 1:
            found["depchains"] = [{"depchain": [
                {**pkg(checker, here, sources), "depends": checker.rule_text(checker.sources[here][i]).split(" on ", 1)[-1]}
                for here, i in chain[:-1]]}]
        return [{"missing": found}]
    return [{"conflict": {"explanation": checker.explain(number)[1:]}}]


def write_yaml(result: BuildCheck, broken: list[int], explaining: bool) -> None:
    import yaml  # type: ignore[import-untyped, unused-ignore]

    checker, context = result.checker, result.context
    sources = dict(result.sources)
    report = []
    for number in broken:
        entry = {**pkg(checker, number, sources), "status": "broken"}
        if explaining:
            entry["reasons"] = reasons(checker, number, sources)
        report.append(entry)
    document = {"output-version": "1.2", "native-architecture": context.build,
                "host-architecture": context.host}
    if report:
        document["report"] = report
    document["source-packages"] = len(result.sources)
    document["broken-packages"] = len(broken)
    sys.stdout.write(yaml.safe_dump(document, sort_keys=False, default_flow_style=False))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="kelto-debian")
    add_parser(parser.add_subparsers(required=True))
    args = parser.parse_args(argv)
    return int(args.run(args))


if __name__ == "__main__":
    sys.exit(main())
