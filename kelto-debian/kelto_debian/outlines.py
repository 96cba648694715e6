"""Each package of an index as a kelto PackageOutline: its relation fields
as constraints, its other fields as option values."""

from __future__ import annotations

import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, NamedTuple

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

from .index import BadIndex, read_stanzas
from .model import Header, Package, StanzaHeader
from .packages import prepare
from .relations import LEFT_OUT, NEGATED, OPERATORS, RELATION_FIELDS, REQUIRED, Group, Relation, \
    forget_parsed, parse_relations, split_qualifier


@dataclass
class Tally:
    """What a Builder has built, and which versions it kept as text."""

    bounds: int = 0
    bounds_as_text: int = 0
    versions_as_text: int = 0
    # The counts below are plain dicts: a Counter's item assignment goes
    # through Python (Counter defines __delitem__), about twice the cost of
    # a dict's, and they are counted once per text kept or relation qualified.
    reasons: dict[str, int] = field(default_factory=dict)  # why versions were kept as text
    examples: list[str] = field(default_factory=list)
    provider_rules: int = 0  # alternatives and conflicts built for providers
    # Relations qualified ":any" and ":ARCH", by "any" and "architecture".
    qualifiers: dict[str, int] = field(default_factory=lambda: {"any": 0, "architecture": 0})
    own_conflicts: int = 0


def text_reason(text: str, error: str | None) -> str:
    if ":" in text:
        return "epoch"
    if "~" in text:
        return "tilde"
    return error.split("(")[0] if error else "prints differently"


class IndexFacts:
    """What translating one package needs from the whole index: who provides
    each name (in index order, with the most versioned Provides of that name
    any version of the provider has), the outlines each package name has (one
    per architecture) with the Multi-Arch values of their versions, and the
    native architecture."""

    def __init__(self, packages: Iterable[Header] = (), native: str | None = None) -> None:
        self.provided = 0  # Provides entries read
        architectures: Counter[str] = Counter()
        # By (name, architecture) until the native architecture is known.
        provided: dict[str, dict[tuple[str, str], int]] = {}
        kinds: dict[tuple[str, str], frozenset[str]] = {}
        # A few distinct sets of Multi-Arch values, shared: one per name would cost megabytes.
        shared: dict[frozenset[str], frozenset[str]] = {}
        for package in packages:
            name, provides, architecture = package.name, package.provides, package.architecture
            if architecture != "all" and package.first:  # the first index's architecture is native
                architectures[architecture] += 1
            values = kinds.get((name, architecture), frozenset()) | {package.multi_arch}
            kinds[name, architecture] = shared.setdefault(values, values)
            self.provided += len(provides)
            for virtual, slots in provided_slots(provides).items():
                by_provider = provided.setdefault(virtual, {})
                by_provider[name, architecture] = max(by_provider.get((name, architecture), 0), slots)
        self.native = native or (architectures.most_common(1)[0][0] if architectures else "amd64")
        self.kinds: dict[str, frozenset[str]] = {}  # outline name -> Multi-Arch values of its versions
        self.outlines: dict[str, list[str]] = {}  # package name -> its outline names, native first
        for (name, architecture), values in kinds.items():
            outline = self.outline_name(name, architecture)
            merged = self.kinds.get(outline, frozenset()) | values
            self.kinds[outline] = shared.setdefault(merged, merged)
            names = self.outlines.setdefault(name, [])
            if outline == name and outline not in names:
                names.insert(0, outline)
            elif outline not in names:
                names.append(outline)
        self.providers: dict[str, dict[str, int]] = {}
        for virtual, by_provider in provided.items():
            mine = self.providers[virtual] = {}
            for (name, architecture), slots in by_provider.items():
                outline = self.outline_name(name, architecture)
                mine[outline] = max(mine.get(outline, 0), slots)

    def outline_name(self, name: str, architecture: str) -> str:
        """A package's outline name: its own name for the native architecture
        (and for "all", which counts as native), "name:ARCH" for another."""
        return name if architecture in ("all", self.native) else f"{name}:{architecture}"

    def architecture(self, outline: str) -> str:
        """The architecture an outline's packages are of ("all" counts as native)."""
        return outline.partition(":")[2] or self.native


# The Multi-Arch values that meet a ":any" relation: "allowed" by policy,
# and "foreign" as well, as dpkg decides.
ANY_MET_BY = ("allowed", "foreign")
# From this many providers of a name on, the providers that conflict with it
# share one rule (Builder.one_provider); below, a rule per pair of providers
# is small, and quicker to check.
SHARED_FROM = 32
# The rules of one name installed for several architectures, after the fields'.
SAME_NAME = "Multi-Arch"

# What a relation's head outline needs beside being installed: nothing, a
# Multi-Arch value that meets ":any", or the architecture written.
HEAD_PLAIN, HEAD_ANY, HEAD_ARCHITECTURE = range(3)


class Plan(NamedTuple):
    """What a relation on a name builds for a depender's architecture,
    whatever its bound: each outline and option name, and the Multi-Arch
    values each alternative is checked against (() for none)."""

    counted: str | None  # the Tally.qualifiers key the qualifier counts under
    head: str  # the outline the relation names
    package: str  # its package name
    check: int  # HEAD_*
    architecture: str  # the architecture the relation names
    others: tuple[tuple[str, tuple[str, ...]], ...]  # (outline, values): its other outlines that meet it
    # (provider, option, values or None when it cannot meet the relation):
    # for each provider, and for each of its versioned Provides of the name.
    unversioned: tuple[tuple[str, str, tuple[str, ...] | None], ...]
    versioned: tuple[tuple[str, str, tuple[str, ...] | None], ...]


def base_name(outline: str) -> str:
    """The package name of an outline name ("libc6" of "libc6:i386")."""
    return outline.partition(":")[0]


def provided_slots(provides: list[Relation]) -> dict[str, int]:
    """Each name provided, with the number of versions it is provided at."""
    slots: dict[str, int] = {}
    for name, _, text in provides:
        slots[name] = slots.get(name, 0) + (text is not None)
    return slots


class DecisionTables(dict[str, dict[str, "str | Plan"]]):
    """A depender architecture's table of decisions (Builder.decide) on
    first use; "all" shares the native architecture's, as it depends as
    that one."""

    def __init__(self, native: str) -> None:
        super().__init__()
        self.native = native

    def __missing__(self, depender: str) -> dict[str, str | Plan]:
        architecture = self.native if depender == "all" else depender
        table = self.get(architecture)
        if table is None:
            table = self[architecture] = {}
        self[depender] = table
        return table


class Builder:
    """Turns prepared packages into outlines, over a given set of classes
    (kelto's, or the benchmark's plain-Python peer). The index's facts
    (IndexFacts) say who provides what; without them no name is provided."""

    def __init__(self, classes: SimpleNamespace | None = None, facts: IndexFacts | None = None) -> None:
        k = classes or kelto_classes()
        self.Cmp, self.Depends, self.IfThen = k.Cmp, k.Depends, k.IfThen
        self.Maximize, self.NumOf, self.SpecOption = k.Maximize, k.NumOf, k.SpecOption
        self.PackageOutline, self.Version = k.PackageOutline, k.Version
        self.ops = {symbol: getattr(k.CmpType, name) for symbol, name in OPERATORS.items()}
        self.equal, self.not_equal = k.CmpType.Equal, k.CmpType.NotEqual
        self.facts = facts or IndexFacts()
        self.tally = Tally()
        self.one_providers: dict[str, Any] = {}  # virtual name -> the rule one_provider shares
        # What each version text gave: one that parses and prints back
        # unchanged, or why it is kept as text (the parser's error, None
        # when it parses but prints differently, and the reason counted).
        # Texts recur across an index, and each verdict costs a parse, a
        # print and maybe an exception.
        self.printable: set[str] = set()
        self.refused: dict[str, tuple[str | None, str]] = {}  # text -> (error or None, reason)
        # By the depender's architecture, what a relation on each name
        # written builds (decide): the lone outline it names, or its Plan.
        # Both follow from the facts alone, which never change after
        # construction, so each is worked out once per Builder and holds
        # names and flags only, never an object built from the classes.
        self.decisions = DecisionTables(self.facts.native)

    def version_value(self, text: str, package: str, bound: bool, count: bool = True) -> Any:
        """A Version when the text parses and prints back unchanged, else the text."""
        if text in self.printable:
            return self.Version(text)
        verdict = self.refused.get(text)
        if verdict is None:  # a text not seen before
            error = None
            try:
                version = self.Version(text)
                if str(version) == text:
                    self.printable.add(text)
                    return version
            except ValueError as refused:
                error = str(refused)
            verdict = self.refused[text] = (error, text_reason(text, error))
        if not count:
            return text
        error, reason = verdict
        tally = self.tally
        if bound:
            tally.bounds_as_text += 1
        else:
            tally.versions_as_text += 1
        seen = tally.reasons[reason] = tally.reasons.get(reason, 0) + 1
        if seen == 1:
            tally.examples.append(f"{package} {'bound' if bound else 'version'} {text!r}: {reason}"
                                  + (f" ({error})" if error else ""))
        return text

    def bound(self, name: str, op: str, text: str) -> Any:
        """Cmp(SpecOption(name, "version"), version, op)."""
        self.tally.bounds += 1
        version = self.version_value(text, base_name(name), True)
        return self.Cmp(self.SpecOption(name, "version"), version, self.ops[op])

    # -- architectures and Multi-Arch

    def is_multi_arch(self, outline: str, values: tuple[str, ...]) -> Any:
        """The condition that the installed version of `outline` has one of
        these Multi-Arch values."""
        tests = [self.Cmp(self.SpecOption(outline, "multi_arch"), value, self.equal) for value in values]
        return tests[0] if len(tests) == 1 else self.NumOf(tests) >= 1

    def architecture_condition(self, outline: str, architecture: str) -> Any:
        """What an explicit ":ARCH" says of `outline`, whose name already
        settles it: kept so that the relation reads back as written."""
        exact = self.Cmp(self.SpecOption(outline, "architecture"), architecture, self.equal)
        if architecture != self.facts.native:
            return exact
        return self.NumOf([exact, self.Cmp(self.SpecOption(outline, "architecture"), "all", self.equal)]) >= 1

    def wanted_architecture(self, qualifier: str | None, depender: str) -> str:
        """The architecture a relation names: the depender's own for an
        unqualified one ("all" counts as native)."""
        if qualifier is None or qualifier == "any":
            return self.facts.native if depender == "all" else depender
        return self.facts.native if qualifier == "native" else qualifier

    def all_of(self, parts: list[Any]) -> Any:
        return parts[0] if len(parts) == 1 else self.NumOf(parts) == len(parts)

    def bounded(self, outline: str, op: str | None, version: Any) -> list[Any]:
        """The bound a relation's version puts on one more outline (counted once, with the first)."""
        return [] if op is None or version is None else [self.Cmp(self.SpecOption(outline, "version"), version,
                                                                   self.ops[op])]

    def providers(self, name: str, op: str | None, version: Any,
                  skip: str | None = None) -> Iterator[tuple[str, list[Any]]]:
        """(provider, conditions) for each way another package provides `name`
        so that the relation holds (none of the package named `skip`): the
        conditions are on the provider's own options, "provides:NAME" for
        any Provides of the name, "provides:NAME#K" for its K-th versioned
        one."""
        for provider, slots in self.facts.providers.get(name, {}).items():
            if skip is not None and base_name(provider) == skip:
                continue
            if op is None:
                conditions = [self.Cmp(self.SpecOption(provider, f"provides:{name}"), True, self.equal)]
            else:
                conditions = [self.Cmp(self.SpecOption(provider, f"provides:{name}#{slot}"), version, self.ops[op])
                              for slot in range(1, slots + 1)]
            for condition in conditions:
                self.tally.provider_rules += 1
                yield provider, [condition]

    def plan(self, written: str, architecture: str) -> Plan:
        """What a relation on `written` from a package of `architecture`
        builds, worked out from the facts alone: the outline it names, the
        other outlines and providers that meet it, and what each needs."""
        name, qualifier = split_qualifier(written)
        wanted = self.wanted_architecture(qualifier, architecture)
        head = name if qualifier == "any" else self.facts.outline_name(name, wanted)
        check = HEAD_ANY if qualifier == "any" else HEAD_PLAIN if qualifier is None else HEAD_ARCHITECTURE
        others = []
        for outline in self.facts.outlines.get(name, ()):
            reached = None if outline == head else self.reach_values(outline, qualifier, wanted)
            if reached is not None:
                others.append((outline, reached))
        unversioned, versioned = [], []
        for provider, slots in self.facts.providers.get(name, {}).items():
            reached = self.reach_values(provider, qualifier, wanted)
            unversioned.append((provider, f"provides:{name}", reached))
            versioned += [(provider, f"provides:{name}#{slot}", reached) for slot in range(1, slots + 1)]
        counted = None if qualifier is None else "any" if qualifier == "any" else "architecture"
        return Plan(counted, head, base_name(head), check, wanted, tuple(others), tuple(unversioned), tuple(versioned))

    def reach_values(self, outline: str, qualifier: str | None, architecture: str) -> tuple[str, ...] | None:
        """The Multi-Arch values under which a package of `outline` meets a
        dependency with this qualifier from a package of `architecture` (()
        when it needs none), or None when none of its versions can: its own
        architecture meets an unqualified or ":ARCH" relation, "Multi-Arch:
        foreign" meets any, and ":any" is met by "allowed" as well."""
        kinds = self.facts.kinds.get(outline, frozenset())
        if qualifier == "any":
            return ANY_MET_BY if kinds & set(ANY_MET_BY) else None
        if self.facts.architecture(outline) == architecture:
            return ()
        return ("foreign",) if "foreign" in kinds else None

    def decide(self, known: dict[str, str | Plan], written: str, depender: str) -> str | Plan:
        """What a relation on `written` from a package of architecture
        `depender` builds, kept in `known`: the one outline it names when
        that is all it needs (no qualifier, no provider, no other
        architecture), else its Plan."""
        facts = self.facts
        architecture = facts.native if depender == "all" else depender
        outline = written if architecture == facts.native else f"{written}:{architecture}"  # outline_name
        outlines = facts.outlines.get(written)
        if ":" in written or written in facts.providers or (outlines is not None and outlines != [outline]):
            decided = known[written] = self.plan(written, architecture)
            return decided
        known[written] = outline
        return outline

    def alternatives(self, decided: str | Plan, op: str | None, text: str | None) -> list[Any]:
        """One constraint per way the relation can hold: the package named
        (its outline of the architecture the relation names, or the native
        one for ":any"), its outlines of other architectures that meet it,
        then each provider, which passes its architecture and Multi-Arch on
        to the name it provides. A version bound stays on each."""
        if isinstance(decided, str):
            depends = self.Depends(decided)
            return [depends if op is None or text is None else
                    self.NumOf([depends, self.bound(decided, op, text)]) == 2]
        counted, head, package, check, architecture, others, unversioned, versioned = decided
        Cmp, Depends, NumOf, SpecOption = self.Cmp, self.Depends, self.NumOf, self.SpecOption
        if counted is not None:
            self.tally.qualifiers[counted] += 1
        parts = [Depends(head)]
        if check == HEAD_ANY:
            parts.append(self.is_multi_arch(head, ANY_MET_BY))
        elif check == HEAD_ARCHITECTURE:
            parts.append(self.architecture_condition(head, architecture))
        version = None
        compare = None if op is None else self.ops[op]
        if compare is not None and text is not None:
            self.tally.bounds += 1
            version = self.version_value(text, package, True)
            parts.append(Cmp(SpecOption(head, "version"), version, compare))
        found = [parts[0] if len(parts) == 1 else NumOf(parts) == len(parts)]
        for outline, reached in others:
            parts = [Depends(outline)]
            if reached:
                parts.append(self.is_multi_arch(outline, reached))
            if version is not None:
                parts.append(Cmp(SpecOption(outline, "version"), version, compare))
            found.append(parts[0] if len(parts) == 1 else NumOf(parts) == len(parts))
        provided, value, test = (unversioned, True, self.equal) if op is None else (versioned, version, compare)
        self.tally.provider_rules += len(provided)
        for provider, option, meets in provided:
            condition = Cmp(SpecOption(provider, option), value, test)
            if meets is not None:
                found.append(NumOf([Depends(provider), condition, self.is_multi_arch(provider, meets)]) == 3
                             if meets else NumOf([Depends(provider), condition]) == 2)
        return found

    def group(self, group: Group, depender: str) -> Any:
        """The rule of one group of alternatives from a package of architecture `depender`."""
        known = self.decisions[depender]
        if len(group) == 1:
            written, op, text = group[0]
            decided = known.get(written) or self.decide(known, written, depender)
            if isinstance(decided, str):  # a relation on one outline needs none of what alternatives works out
                depends = self.Depends(decided)
                if op is None or text is None:
                    return depends
                return self.NumOf([depends, self.bound(decided, op, text)]) == 2
            alternatives = self.alternatives(decided, op, text)
        else:
            alternatives = [c for written, op, text in group for c in self.alternatives(
                known.get(written) or self.decide(known, written, depender), op, text)]
        return alternatives[0] if len(alternatives) == 1 else self.NumOf(alternatives) >= 1

    def recommended(self, groups: list[Group], depender: str) -> Any:
        """The rule of a Recommends field: as many of its groups met as can be."""
        known = self.decisions[depender]
        Depends = self.Depends
        met = []
        for group in groups:
            written, op, text = group[0]
            outline = known.get(written)
            if op is None and len(group) == 1 and outline.__class__ is str:  # most: one outline, no bound
                met.append(Depends(outline))
            else:
                met.append(self.group(group, depender))
        return self.Maximize(self.NumOf(met))

    def required(self, groups: list[Group], depender: str, rules: list[Any]) -> list[Any]:
        """Appends to `rules` those of a Depends or Pre-Depends field."""
        known = self.decisions[depender]
        # Most relations name one outline, most with a bound whose version
        # was seen before: that path runs once per relation of the index,
        # so it works from locals and counts its bounds once at the end.
        Depends, Cmp, NumOf, SpecOption, Version, ops, printable = \
            self.Depends, self.Cmp, self.NumOf, self.SpecOption, self.Version, self.ops, self.printable
        append = rules.append
        bounds = 0
        for group in groups:
            written, op, text = group[0]
            outline = known.get(written) or self.decide(known, written, depender)
            if len(group) > 1:
                append(self.group(group, depender))
                continue
            if outline.__class__ is not str:  # a Plan: one rule, met by any of its alternatives
                found = self.alternatives(outline, op, text)
                append(found[0] if len(found) == 1 else NumOf(found) >= 1)
                continue
            append(Depends(outline))
            if op is None or text is None:
                continue
            # Both must hold, and an outline's rules all hold: two rules.
            bounds += 1
            version = Version(text) if text in printable else self.version_value(text, written, True)
            append(Cmp(SpecOption(outline, "version"), version, ops[op]))
        self.tally.bounds += bounds
        return rules

    def forbid(self, outline: str, parts: list[Any], own: str, version: Any) -> Any:
        """The rule that no package of `outline` meeting `parts` is installed
        beside this one; on its own outline, no other version of it."""
        if outline == own:
            self.tally.own_conflicts += 1
            me = self.Cmp(self.SpecOption(own, "version"), version, self.equal)
            return (self.Depends(outline) == True).if_then(  # noqa: E712 (builds a rule)
                me if not parts else self.NumOf([me, self.all_of(parts) == False]) >= 1)  # noqa: E712
        if not parts:
            return self.Depends(outline) == False  # noqa: E712
        return (self.Depends(outline) == True).if_then(self.all_of(parts) == False)  # noqa: E712

    def negated(self, groups: list[Group], package: Package, own: str) -> list[Any]:
        """Rules that forbid what each relation names, other than the package
        itself: a conflict on its own name forbids its other versions only,
        and one on a name it provides the other providers only, never a
        package of its own name (as dpkg has it: "Multi-Arch: same" packages
        that provide and conflict with one name are installed for several
        architectures; what one name allows across architectures is
        same_name's). Multi-Arch
        has no effect here: an unqualified or ":any" conflict applies to the
        name's outlines of every architecture, ":ARCH" to that one."""
        text = package.version
        mine = self.Version(text) if text in self.printable \
            else self.version_value(text, package.name, False, count=False)
        provided = {name for name, _, _ in package.provides}
        rules = []
        for group in groups:
            for written, op, text in group:
                name, qualified, qualifier = written.partition(":")
                if qualified:
                    self.tally.qualifiers[qualifier if qualifier == "any" else "architecture"] += 1
                version = None
                if op is not None and text is not None:
                    self.tally.bounds += 1
                    version = self.version_value(text, name, True)
                if (not qualified or qualifier == "any") and name == package.name:
                    architecture, outlines = None, [own]  # its other architectures: see same_name
                elif not qualified or qualifier == "any":
                    architecture = None
                    outlines = [name, *[o for o in self.facts.outlines.get(name, ()) if o != name]]
                else:
                    architecture = self.wanted_architecture(qualifier, "all")
                    outlines = [self.facts.outline_name(name, architecture)]
                if qualifier == "any":
                    rules.append(self.none_of(outlines, op, version, own, mine))
                else:
                    compare = None if op is None or version is None else self.ops[op]
                    for outline in outlines:
                        parts = [] if architecture is None else [self.architecture_condition(outline, architecture)]
                        if compare is not None:  # the bound, on each outline
                            parts.append(self.Cmp(self.SpecOption(outline, "version"), version, compare))
                        rules.append(self.forbid(outline, parts, own, mine))
                if op is None and architecture is None and name != package.name and name in provided \
                        and len(self.facts.providers.get(name, ())) >= SHARED_FROM:
                    rules.append(self.one_provider(name))
                    continue
                if name not in self.facts.providers:
                    continue
                for provider, conditions in self.providers(name, op, version, skip=package.name):
                    if architecture is None or self.facts.architecture(provider) == architecture:
                        rules.append((self.Depends(provider) == True).if_then(self.all_of(conditions) == False))  # noqa: E712
        return rules

    def one_provider(self, name: str) -> Any:
        """The rule of a package that provides `name` and conflicts with it:
        at most one package name providing it is installed, its own being
        one. One rule object per name, shared by every such provider, so
        that n providers cost n references and not n rules of n parts each;
        a package's outlines of several architectures count as one."""
        rule = self.one_providers.get(name)
        if rule is None:
            by_name: dict[str, list[Any]] = {}
            for provider in self.facts.providers.get(name, {}):
                by_name.setdefault(base_name(provider), []).append(self.all_of([
                    self.Depends(provider), self.Cmp(self.SpecOption(provider, f"provides:{name}"), True, self.equal)]))
            parts = [found[0] if len(found) == 1 else self.NumOf(found) >= 1 for found in by_name.values()]
            rule = self.one_providers[name] = self.NumOf(parts) <= 1
        self.tally.provider_rules += 1
        return rule

    def none_of(self, outlines: list[str], op: str | None, version: Any, own: str, mine: Any) -> Any:
        """A ":any" conflict: none of the outlines installed (within the
        bound); on its own outline, at another version than this one."""
        alternatives = []
        for outline in outlines:
            parts = [self.Depends(outline)]
            if outline == own:
                self.tally.own_conflicts += 1
                parts.append(self.Cmp(self.SpecOption(own, "version"), mine, self.not_equal))
            alternatives.append(self.all_of(parts + self.bounded(outline, op, version)))
        return (self.NumOf(alternatives) >= 1) == False  # noqa: E712

    def same_name(self, package: Package, own: str) -> list[Any]:
        """One name is installed for two architectures only when both are
        "Multi-Arch: same" at the same version: a rule on each other
        architecture's outline of the name."""
        others = [o for o in self.facts.outlines.get(package.name, ()) if o != own]
        if not others:
            return []
        if package.multi_arch != "same":
            return [self.Depends(other) == False for other in others]  # noqa: E712
        mine = self.version_value(package.version, package.name, False, count=False)
        return [(self.Depends(other) == True).if_then(  # noqa: E712
                    self.all_of([self.is_multi_arch(other, ("same",)),
                                 self.Cmp(self.SpecOption(other, "version"), mine, self.equal)]))
                for other in others]

    def outline_name(self, package: Package) -> str:
        return self.facts.outline_name(package.name, package.architecture)

    def rules(self, package: Package, own: str | None = None) -> dict[str, list[Any]]:
        """The rules of each translated relation field, in field order (the
        order prepare gives the relations), then those of sharing the name
        with other architectures. `own` is the package's outline name."""
        depender = package.architecture
        if own is None:
            own = self.outline_name(package)
        rules = {key: self.field_rules(key, groups, package, own, depender, [])
                 for key, groups in package.relations.items()}
        shared = self.same_name(package, own)
        if shared:
            rules[SAME_NAME] = shared
        return rules

    def field_rules(self, key: str, groups: list[Group], package: Package, own: str, depender: str,
                    rules: list[Any]) -> list[Any]:
        """Appends to `rules` those of one relation field."""
        if key in REQUIRED:
            return self.required(groups, depender, rules)
        if key in NEGATED:
            rules += self.negated(groups, package, own)
        else:
            rules.append(self.recommended(groups, depender))
        return rules

    def options(self, package: Package) -> dict[str, Any]:
        get = package.fields.get
        text = package.version
        options: dict[str, Any] = {
            "priority": get("Priority", "optional"),
            "section": get("Section", "misc"),
            "essential": get("Essential") == "yes",
            "version": self.Version(text) if text in self.printable
            else self.version_value(text, package.name, False),
            "architecture": package.architecture,
        }
        size = get("Installed-Size")
        if size is not None and size.isdigit():
            options["installed_size"] = int(size)
        provides = package.provides
        if provides:
            printable = self.printable
            slots: dict[str, int] = {}
            for name, _, text in provides:
                options[f"provides:{name}"] = True
                if text is not None:
                    slot = slots[name] = slots.get(name, 0) + 1
                    options[f"provides:{name}#{slot}"] = self.Version(text) if text in printable \
                        else self.version_value(text, name, True, count=False)
        return options

    def outline(self, package: Package, rules: dict[str, list[Any]] | None = None,
                options: dict[str, Any] | None = None) -> Any:
        """The package's outline, from its rules and options as rules() and
        options() give them (made here when not given)."""
        name = package.name
        depender = package.architecture
        own = name if depender == "all" or depender == self.facts.native else f"{name}:{depender}"  # outline_name
        constraints: list[Any] = []
        if rules is None:  # the fields' rules straight into one list, in the order rules() gives them
            for key, groups in package.relations.items():
                if key == "Depends":  # most packages' one field
                    self.required(groups, depender, constraints)
                else:
                    self.field_rules(key, groups, package, own, depender, constraints)
            outlines = self.facts.outlines.get(name)
            if outlines is not None and (len(outlines) > 1 or outlines[0] != own):
                constraints += self.same_name(package, own)
        else:
            for found in rules.values():
                constraints += found
        return self.PackageOutline(own, constraints,
                                   self.options(package) if options is None else options,
                                   {"multi_arch": package.multi_arch_field})


def kelto_classes() -> SimpleNamespace:
    return SimpleNamespace(Cmp=Cmp, CmpType=CmpType, Depends=Depends, IfThen=IfThen, Maximize=Maximize,
                           NumOf=NumOf, SpecOption=SpecOption, PackageOutline=PackageOutline, Version=Version)


@dataclass
class Description:
    """What describing an index built, refused and cost."""

    stanzas: int = 0
    outlines: list[Any] = field(default_factory=list)
    constraints: int = 0
    relations: Counter[str] = field(default_factory=Counter)
    bounds_in_text: int = 0
    left_out: Counter[str] = field(default_factory=Counter)
    tally: Tally = field(default_factory=Tally)
    facts: IndexFacts = field(default_factory=IndexFacts)
    seconds: float = 0.0


# keep(package, rules, options): what a caller wants of each package besides its outline.
Keep = Callable[[Package, dict[str, list[Any]], dict[str, Any]], None]


Paths = str | list[str]


def as_paths(paths: Paths) -> list[str]:
    return [paths] if isinstance(paths, str) else list(paths)


def stanzas(paths: Paths, limit: int = 0) -> Iterator[tuple[str, int, dict[str, str]]]:
    """(path, line, fields) of each stanza of the indexes in turn, at most
    `limit` in all when it is not 0."""
    count = 0
    for path in as_paths(paths):
        for line, fields in read_stanzas(path):
            yield path, line, fields
            count += 1
            if limit and count >= limit:
                return


# The fields a description reads, kept from the one reading of the indexes;
# of the fields left out of the translation only their presence is kept.
KEPT = ("Package", "Version", "Architecture", "Multi-Arch", "Essential", "Priority", "Section", "Installed-Size",
        *RELATION_FIELDS, "Provides", "Binary")
# Values that repeat across an index (a few dozen distinct ones): held once.
INTERNED = ("Architecture", "Multi-Arch", "Essential", "Priority", "Section")
Record = tuple[str, int, tuple[str | None, ...] | dict[str, str]]


def kept_fields(record: Record) -> dict[str, str]:
    """The fields a Record holds, as read."""
    values = record[2]
    if isinstance(values, dict):
        return values
    return {key: value for key, value in zip((*KEPT, *LEFT_OUT), values) if value is not None}


def read_once(paths: Paths, limit: int = 0, native: str | None = None,
              whole: str | None = None) -> tuple[list[Record], IndexFacts]:
    """One reading of the indexes: who provides what and which architectures
    each name has (needed before any package is translated), and of each
    stanza what translating it needs, (path, line, values): the kept
    fields' values in KEPT order, then "" for each LEFT_OUT field there.
    The stanzas of the package named `whole` are kept whole, as a dict. The
    native architecture is the first index's, unless given."""
    first_path = as_paths(paths)[0] if as_paths(paths) else None
    forget_parsed()
    records: list[Record] = []
    intern = sys.intern
    # Each architecture's index repeats its "Architecture: all" packages: one
    # package, as apt counts it. By name and version: the first index that
    # has it, and a hash of its fields (the same fields: the same package).
    shared: dict[tuple[str, str], tuple[str, int]] = {}

    headers: list[StanzaHeader] = []
    for path, line, fields in stanzas(paths, limit):
        get = fields.get
        if get("Architecture") == "all":
            contents = hash((*fields, *fields.values()))
            where, first = shared.setdefault((get("Package", ""), get("Version", "")), (path, contents))
            if where != path and first == contents:
                continue
        provides: list[Relation] = []
        if "Provides" in fields:
            try:
                provides = [group[0] for group in parse_relations(fields["Provides"], "Provides")]
            except ValueError as error:
                raise BadIndex(f"{path}:{line}: {fields.get('Package')}: Provides: {error}") from None
        for key in INTERNED:
            if key in fields:
                fields[key] = intern(fields[key])
        if whole is not None and get("Package") == whole:
            records.append((path, line, fields))
        else:
            records.append((path, line, (*map(get, KEPT), *("" if key in fields else None for key in LEFT_OUT))))
        headers.append(StanzaHeader(get("Package", ""), get("Architecture", "all"), get("Multi-Arch"), provides,
                                    path == first_path))
    return records, IndexFacts(headers, native)


def gather_facts(paths: Paths, limit: int = 0, native: str | None = None) -> IndexFacts:
    """Who provides what and which architectures each name has."""
    return read_once(paths, limit, native)[1]


def describe_index(paths: Paths, limit: int = 0, keep: Keep | None = None, native: str | None = None,
                   keep_outlines: bool = True, progress: Callable[[int, int], None] | None = None) -> Description:
    """Reads the indexes once, keeping of each stanza what its translation
    needs (read_once), then translates stanza by stanza, letting go of what
    it kept. Without keep_outlines each outline is built and let go (a
    caller that reads the rules through `keep` needs no second copy of
    them). progress(done, total) is told of each package translated."""
    result = Description()
    started = time.perf_counter()
    records, result.facts = read_once(paths, limit, native)
    builder = Builder(facts=result.facts)
    result.tally = builder.tally
    records.reverse()
    total = len(records)
    while records:
        record = records.pop()  # let go once translated
        path, line, _ = record
        fields = kept_fields(record)
        package = prepare(path, line, fields)
        package.outline = builder.outline_name(package)
        result.stanzas += 1
        if progress is not None:
            progress(result.stanzas, total)
        rules = builder.rules(package)
        options = builder.options(package)
        outline = builder.outline(package, rules, options)
        if keep_outlines:
            result.outlines.append(outline)
        result.constraints += sum(map(len, rules.values()))
        for key, groups in package.relations.items():
            result.relations[key] += sum(map(len, groups))
        result.bounds_in_text += package.bounds_in_text
        result.left_out.update(key for key in LEFT_OUT if key in fields)
        if keep is not None:
            keep(package, rules, options)
    result.seconds = time.perf_counter() - started
    return result
