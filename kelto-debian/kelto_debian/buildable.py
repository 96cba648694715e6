"""Whether each source package's build dependencies can be met, natively or
cross, decided from kelto's objects.

A source package is described as a binary one is: a PackageOutline whose
rules are its build relations, reduced under an explicit BuildContext
(build and host architectures, active build profiles). Its outline name is
"src/NAME": "/" is in no Debian package name and no architecture, and an
outline name's ":" is taken for its architecture, so "src:NAME" would read
as package "src" of architecture "NAME".

The sources join the binary packages in one Universe, and the installability
checker decides them all: a source can be built when some set of binary
packages holds it and meets every rule of every member.

Relations are met as dpkg-checkbuilddeps meets them, the host architecture
being the one built for:
- an unqualified relation by a package of the host architecture, an
  "Architecture: all" package, or a "Multi-Arch: foreign" package of any;
- ":native" by a package of the build architecture (or "all") that is not
  "Multi-Arch: foreign";
- ":any" by a "Multi-Arch: allowed" package;
- ":ARCH" by a package of that architecture.
Build conflicts forbid what the same rules match. A provided name passes on
its provider's architecture and Multi-Arch, as dpkg and dose take Provides.
Every source build-depends on build-essential:native, and a cross build on
crossbuild-essential-HOST:native as well.
"""

from __future__ import annotations

import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from .checker import Checker, Explainer, Universe
from .checker.encoding import Source as RuleSource
from .model import Package, StanzaHeader
from .outlines import Builder, Description, IndexFacts, Keep, Paths, Record, as_paths, describe_index, kept_fields, \
    read_once, stanzas
from .packages import prepare, provided_names
from .relations import Group, parse_relations
from .restrictions import Architectures, architectures
from .sources import BuildContext, Source, read_sources

SOURCE_PREFIX = "src/"
BUILD_DEPENDS, BUILD_CONFLICTS = "Depends", "Conflicts"  # the checker's keys for what a source needs and forbids


def source_outline(name: str) -> str:
    return SOURCE_PREFIX + name


def is_source(outline: str) -> bool:
    return outline.startswith(SOURCE_PREFIX)


def builtin_relations(context: BuildContext) -> list[Group]:
    """What every build needs beside its fields: dpkg's vendor hook adds
    build-essential:native; a cross build also needs the cross toolchain."""
    found: list[Group] = [[("build-essential:native", None, None)]]
    if context.cross:
        found.append([(f"crossbuild-essential-{context.host}:native", None, None)])
    return found


class SourceBuilder:
    """Turns reduced build relations into rules over a binary index's
    outlines, under one build context; the facts say which outlines a name
    has and who provides it."""

    def __init__(self, builder: Builder, context: BuildContext) -> None:
        self.builder = builder
        self.facts: IndexFacts = builder.facts
        self.context = context
        if self.facts.native != context.build:
            raise ValueError(f"the binary index's native architecture is {self.facts.native},"
                             f" the build architecture {context.build}")
        self.texts: dict[int, str] = {}  # id(rule) -> the relation it was built from, for explanations
        self.kept: list[Any] = []  # the rules whose ids texts holds

    # -- matching one installed outline

    def conditions(self, outline: str, qualifier: str | None, arch: str) -> list[Any] | None:
        """What the installed version of `outline` (whose packages are of
        architecture `arch`) must have to meet a relation with this
        qualifier: [] for nothing, None when no version can."""
        b = self.builder
        Cmp, SpecOption = b.Cmp, b.SpecOption
        build, host = self.context.build, self.context.host
        kinds = self.facts.kinds.get(outline, frozenset())

        def multi_arch(value: str, op: Any = None) -> Any:
            return Cmp(SpecOption(outline, "multi_arch"), value, b.equal if op is None else op)

        if qualifier is None:
            if arch == host:
                return []
            found = [multi_arch("foreign")] if "foreign" in kinds else []
            if arch == build:
                found.append(Cmp(SpecOption(outline, "architecture"), "all", b.equal))
            if not found:
                return None
            return [found[0] if len(found) == 1 else b.NumOf(found) >= 1]
        if qualifier == "any":
            return [multi_arch("allowed")] if "allowed" in kinds else None
        if qualifier == "native":
            if arch != build or kinds == {"foreign"}:
                return None
            return [multi_arch("foreign", b.not_equal)] if "foreign" in kinds else []
        if qualifier == "all":  # the packages of "Architecture: all", which the build architecture's outline holds
            return [Cmp(SpecOption(outline, "architecture"), "all", b.equal)] if arch == build else None
        if arch != qualifier:
            return None
        if arch == build:  # the native outline holds "all" packages too, which ":ARCH" does not name
            return [Cmp(SpecOption(outline, "architecture"), arch, b.equal)]
        return []

    def head(self, name: str, qualifier: str | None) -> str:
        """An outline no package has, named after a relation nothing meets:
        "name:any", "name:native" and "name:all" read as architectures no
        package is of; otherwise the outline of the architecture it names,
        whose packages would all meet it."""
        if qualifier in ("any", "native", "all"):
            return f"{name}:{qualifier}"
        return self.facts.outline_name(name, self.context.host if qualifier is None else qualifier)

    def alternatives(self, written: str, op: str | None, text: str | None) -> list[Any]:
        """One constraint per outline or provider that can meet the relation."""
        b = self.builder
        name, colon, qualifier = written.partition(":")
        q = qualifier if colon else None
        found = []
        version = None if op is None or text is None else b.version_value(text, name, True)
        compare = None if version is None else b.ops[op]
        for outline in self.facts.outlines.get(name, ()):
            conditions = self.conditions(outline, q, self.facts.architecture(outline))
            if conditions is None:
                continue
            parts = [b.Depends(outline), *conditions]
            if compare is not None:
                parts.append(b.Cmp(b.SpecOption(outline, "version"), version, compare))
            found.append(parts[0] if len(parts) == 1 else b.NumOf(parts) == len(parts))
        for provider, slots in self.facts.providers.get(name, {}).items():
            conditions = self.conditions(provider, q, self.facts.architecture(provider))
            if conditions is None:
                continue
            if compare is None:
                provided = [b.Cmp(b.SpecOption(provider, f"provides:{name}"), True, b.equal)]
            else:
                provided = [b.Cmp(b.SpecOption(provider, f"provides:{name}#{slot}"), version, compare)
                            for slot in range(1, slots + 1)]
            for condition in provided:
                parts = [b.Depends(provider), condition, *conditions]
                found.append(b.NumOf(parts) == len(parts))
        return found

    def requirement(self, group: Group) -> Any:
        """The rule of one group of build dependencies: any of its alternatives."""
        found = [c for written, op, text in group for c in self.alternatives(written, op, text)]
        if not found:  # nothing meets it: a dependency on the outline it names, which has no package
            written, op, text = group[0]
            name, colon, qualifier = written.partition(":")
            return self.builder.Depends(self.head(name, qualifier if colon else None))
        return found[0] if len(found) == 1 else self.builder.NumOf(found) >= 1

    def conflict(self, group: Group) -> Any | None:
        """The rule of one build conflict: none of what it matches installed."""
        found = [c for written, op, text in group for c in self.alternatives(written, op, text)]
        if not found:
            return None
        return (found[0] if len(found) == 1 else self.builder.NumOf(found) >= 1) == False  # noqa: E712

    def rules(self, source: Source, arches: Architectures) -> dict[str, list[Any]]:
        context = self.context
        text = self.texts
        depends = []
        for group in builtin_relations(context) + source.reduced(arches, context, context.depends_fields()):
            rule = self.requirement(group)
            depends.append(rule)
            text[id(rule)] = group_text(group)
        conflicts = []
        for group in source.reduced(arches, context, context.conflicts_fields()):
            rule = self.conflict(group)
            if rule is not None:
                conflicts.append(rule)
                text[id(rule)] = group_text(group)
        self.kept += depends + conflicts
        return {BUILD_DEPENDS: depends, BUILD_CONFLICTS: conflicts}

    def outline(self, source: Source, rules: dict[str, list[Any]], options: dict[str, Any]) -> Any:
        b = self.builder
        return b.PackageOutline(source_outline(source.name), [*rules[BUILD_DEPENDS], *rules[BUILD_CONFLICTS]],
                                options)

    def options(self, source: Source) -> dict[str, Any]:
        return {"version": self.builder.version_value(source.version, source.name, False, count=False),
                "architecture": " ".join(source.architecture), "type": "src"}


def group_text(group: Group) -> str:
    return " | ".join(written + ("" if op is None else f" ({op} {text})") for written, op, text in group)


class BuildUniverse(Universe):
    """The universe of a build check, which labels a source "src:NAME VERSION"."""

    def label(self, number: int) -> str:
        name = self.names[number]
        if is_source(name):
            name = "src:" + name[len(SOURCE_PREFIX):]
        return f"{name} {self.versions[number]}"


class BuildExplainer(Explainer):
    """Explanations over binaries and sources, which show each source rule
    as its relation was written."""

    def __init__(self, checker: Checker, texts: dict[int, str]) -> None:
        super().__init__(checker)
        self.texts = texts

    def rule_text(self, source: RuleSource) -> str:
        key, rule = source
        written = self.texts.get(id(rule))
        if written is not None:
            return ("conflicts with " if key == BUILD_CONFLICTS else "depends on ") + written
        return super().rule_text(source)


@dataclass
class BuildCheck:
    checker: Checker
    context: BuildContext
    sources: list[tuple[int, Source]]  # (universe number, source) of each source checked
    times: dict[str, float]
    skipped: int = 0  # sources built for other architectures only
    texts: dict[int, str] = field(default_factory=dict)  # id(rule) -> its relation, for explanations
    kept: list[Any] = field(default_factory=list)  # the rules texts names, kept alive

    def explainer(self) -> BuildExplainer:
        return BuildExplainer(self.checker, self.texts)


class Binaries:
    """Binary indexes read once (their stanzas' kept fields), to describe
    for several build contexts: a native and a cross check in one process
    share the reading, which is most of a description's time."""

    def __init__(self, paths: Paths) -> None:
        self.paths = as_paths(paths)
        started = time.perf_counter()
        self.records: list[Record] = read_once(self.paths)[0]
        self.seconds = time.perf_counter() - started

    def facts(self, paths: list[str], native: str) -> IndexFacts:
        first = paths[0]

        def light() -> Iterable[StanzaHeader]:
            for path, line, _ in self.records:
                if path not in paths:
                    continue
                fields = kept_fields((path, line, _))
                provides, provided_for = provided_names(parse_relations(fields["Provides"], "Provides")) \
                    if "Provides" in fields else ([], {})
                yield StanzaHeader(fields.get("Package", ""), fields.get("Architecture", "all"), fields.get("Multi-Arch"),
                                   provides, path == first, provided_for)

        return IndexFacts(light(), native)

    def describe(self, paths: list[str], native: str, keep: Keep) -> Description:
        """What describe_index gives for `paths` (some of those read, in
        the order read), without reading them again."""
        unknown = [path for path in paths if path not in self.paths]
        if unknown:
            raise ValueError(f"not among the indexes read: {', '.join(unknown)}")
        result = Description()
        started = time.perf_counter()
        result.facts = self.facts(paths, native)
        builder = Builder(facts=result.facts)
        result.tally = builder.tally
        for record in self.records:
            path, line, _ = record
            if path not in paths:
                continue
            package = prepare(path, line, dict(kept_fields(record)))
            package.outline = builder.outline_name(package)
            result.stanzas += 1
            keep(package, builder.rules(package), builder.options(package))
        result.seconds = time.perf_counter() - started
        return result


def first_architecture(paths: Paths) -> str | None:
    """The architecture of the first index's first package not of "all"."""
    for _, _, fields in stanzas(as_paths(paths)[:1]):
        arch = fields.get("Architecture", "all")
        if arch != "all":
            return arch
    return None


def check_sources(sources: Iterable[Source] | str, binaries: Paths | Binaries, context: BuildContext,
                  every: bool = True, paths: list[str] | None = None, explained: bool = False) -> BuildCheck:
    """Describes the binary packages (the build architecture's index first;
    from indexes read before when given Binaries, of which `paths`, default
    all) and the sources' outlines under `context`, then decides every
    source (or none yet with every=False: see Checker.decide)."""
    times: dict[str, float] = {}
    started = time.perf_counter()
    universe = BuildUniverse()
    arches = architectures()
    if isinstance(sources, str):
        sources = read_sources(sources)
    if isinstance(binaries, Binaries):
        description = binaries.describe(paths or binaries.paths, context.build, universe.add)
    else:
        description = describe_index(as_paths(binaries), keep=universe.add, native=context.build,
                                     keep_outlines=False)
    times["binaries"] = time.perf_counter() - started
    started = time.perf_counter()
    builder = Builder(facts=description.facts)
    maker = SourceBuilder(builder, context)
    checked = []
    skipped = 0
    for source in sources:
        if not source.built_on(arches, context):
            skipped += 1
            continue
        rules = maker.rules(source, arches)
        outline = source_outline(source.name)
        universe.add(Package(outline, source.version, " ".join(source.architecture), outline=outline), rules,
                     maker.options(source))
        checked.append((len(universe), source))
    times["sources"] = time.perf_counter() - started
    del description
    started = time.perf_counter()
    universe.native = context.build
    checker = Checker(universe)
    times["read"] = time.perf_counter() - started
    started = time.perf_counter()
    if every:
        checker.forget_rules(keep_sources=explained)
        checker.run(roots=[number for number, _ in checked])  # the binary packages no source reaches need no verdict
    times["solve"] = time.perf_counter() - started
    return BuildCheck(checker, context, checked, times, skipped, maker.texts, maker.kept)
