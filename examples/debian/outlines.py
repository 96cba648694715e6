"""Each package of an index as a kelto PackageOutline: its relation fields
as constraints, its other fields as option values."""

from __future__ import annotations

import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

from .index import BadIndex, read_stanzas
from .packages import prepare
from .relations import LEFT_OUT, NEGATED, OPERATORS, RELATION_FIELDS, REQUIRED, Group, Relation, \
    parse_relations, split_qualifier


@dataclass
class Tally:
    """What a Builder has built, and which versions it kept as text."""

    bounds: int = 0
    bounds_as_text: int = 0
    versions_as_text: int = 0
    reasons: Counter[str] = field(default_factory=Counter)
    examples: list[str] = field(default_factory=list)
    provider_rules: int = 0  # alternatives and conflicts built for providers
    qualifiers: Counter[str] = field(default_factory=Counter)
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
    any version of the provider has) and the index's own architecture."""

    def __init__(self, packages: Iterable[dict[str, Any]] = ()) -> None:
        self.providers: dict[str, dict[str, int]] = {}
        self.provided = 0  # Provides entries read
        architectures: Counter[str] = Counter()
        for package in packages:
            name, provides = package["Package"], package["provides"]
            architecture = package.get("Architecture", "all")
            if architecture != "all":
                architectures[architecture] += 1
            self.provided += len(provides)
            for virtual, slots in provided_slots(provides).items():
                by_provider = self.providers.setdefault(virtual, {})
                by_provider[name] = max(by_provider.get(name, 0), slots)
        self.native = architectures.most_common(1)[0][0] if architectures else "amd64"


def provided_slots(provides: list[Relation]) -> dict[str, int]:
    """Each name provided, with the number of versions it is provided at."""
    slots: dict[str, int] = {}
    for name, _, text in provides:
        slots[name] = slots.get(name, 0) + (text is not None)
    return slots


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
        self.equal = k.CmpType.Equal
        self.facts = facts or IndexFacts()
        self.tally = Tally()

    def version_value(self, text: str, package: str, bound: bool, count: bool = True) -> Any:
        """A Version when the text parses and prints back unchanged, else the text."""
        error = None
        try:
            version = self.Version(text)
            if str(version) == text:
                return version
        except ValueError as refused:
            error = str(refused)
        if not count:
            return text
        tally = self.tally
        if bound:
            tally.bounds_as_text += 1
        else:
            tally.versions_as_text += 1
        reason = text_reason(text, error)
        tally.reasons[reason] += 1
        if tally.reasons[reason] == 1:
            tally.examples.append(f"{package} {'bound' if bound else 'version'} {text!r}: {reason}"
                                  + (f" ({error})" if error else ""))
        return text

    def bound(self, name: str, op: str, text: str) -> Any:
        return self.bound_and_value(name, op, text)[0]

    def bound_and_value(self, name: str, op: str, text: str) -> tuple[Any, Any]:
        """Cmp(SpecOption(name, "version"), version, op), and the version."""
        self.tally.bounds += 1
        version = self.version_value(text, name, True)
        return self.Cmp(self.SpecOption(name, "version"), version, self.ops[op]), version

    def qualifier(self, name: str, qualifier: str | None) -> list[Any]:
        """The conditions an architecture qualifier puts on package `name`."""
        if qualifier is None:
            return []
        if qualifier == "any":
            return [self.Cmp(self.SpecOption(name, "multi_arch"), "allowed", self.equal)]
        architecture = self.facts.native if qualifier == "native" else qualifier
        exact = self.Cmp(self.SpecOption(name, "architecture"), architecture, self.equal)
        if architecture != self.facts.native:
            return [exact]  # no package of this index is of that architecture
        return [self.NumOf([exact, self.Cmp(self.SpecOption(name, "architecture"), "all", self.equal)]) >= 1]

    def all_of(self, parts: list[Any]) -> Any:
        return parts[0] if len(parts) == 1 else self.NumOf(parts) == len(parts)

    def providers(self, name: str, qualifier: str | None, op: str | None, version: Any,
                  skip: str | None = None) -> Iterator[tuple[str, list[Any]]]:
        """(provider, conditions) for each way another package provides `name`
        so that the relation holds: the conditions are on the provider's own
        options, "provides:NAME" for any Provides of the name, "provides:NAME#K"
        for its K-th versioned one."""
        for provider, slots in self.facts.providers.get(name, {}).items():
            if provider == skip:
                continue
            if op is None:
                conditions = [self.Cmp(self.SpecOption(provider, f"provides:{name}"), True, self.equal)]
            else:
                conditions = [self.Cmp(self.SpecOption(provider, f"provides:{name}#{slot}"), version, self.ops[op])
                              for slot in range(1, slots + 1)]
            for condition in conditions:
                self.tally.provider_rules += 1
                yield provider, [condition, *self.qualifier(provider, qualifier)]

    def alternatives(self, relation: Relation) -> list[Any]:
        """One constraint per way the relation can hold: the named package,
        then each provider."""
        written, op, text = relation
        name, qualifier = split_qualifier(written)
        if qualifier is not None:
            self.tally.qualifiers[qualifier if qualifier == "any" else "architecture"] += 1
        parts = [self.Depends(name), *self.qualifier(name, qualifier)]
        version = None
        if op is not None and text is not None:
            bound, version = self.bound_and_value(name, op, text)
            parts.append(bound)
        found = [self.all_of(parts)]
        for provider, conditions in self.providers(name, qualifier, op, version):
            found.append(self.all_of([self.Depends(provider), *conditions]))
        return found

    def group(self, group: Group) -> Any:
        alternatives = [c for relation in group for c in self.alternatives(relation)]
        return alternatives[0] if len(alternatives) == 1 else self.NumOf(alternatives) >= 1

    def required(self, groups: list[Group]) -> list[Any]:
        rules = []
        for group in groups:
            written, op, text = group[0]
            if len(group) > 1 or ":" in written or written in self.facts.providers:
                rules.append(self.group(group))
            elif op is None or text is None:
                rules.append(self.Depends(written))
            else:  # both must hold, and an outline's rules all hold: two rules
                rules.append(self.Depends(written))
                rules.append(self.bound(written, op, text))
        return rules

    def negated(self, groups: list[Group], package: dict[str, Any]) -> list[Any]:
        """Rules that forbid what each relation names, other than the package
        itself: a conflict on its own name forbids its other versions only,
        and one on a name it provides the other providers only."""
        own = package["Package"]
        rules = []
        for group in groups:
            for written, op, text in group:
                name, qualifier = split_qualifier(written)
                if qualifier is not None:
                    self.tally.qualifiers[qualifier if qualifier == "any" else "architecture"] += 1
                parts = self.qualifier(name, qualifier)
                version = None
                if op is not None and text is not None:
                    bound, version = self.bound_and_value(name, op, text)
                    parts.append(bound)
                present = self.Depends(name) == True  # noqa: E712 (builds a rule)
                if name == own:
                    self.tally.own_conflicts += 1
                    me = self.Cmp(self.SpecOption(own, "version"),
                                  self.version_value(package["Version"], own, False, count=False), self.equal)
                    rules.append(present.if_then(me if not parts else self.NumOf([me, self.all_of(parts) == False]) >= 1))  # noqa: E712
                elif not parts:
                    rules.append(self.Depends(name) == False)  # noqa: E712
                else:
                    rules.append(present.if_then(self.all_of(parts) == False))  # noqa: E712
                for provider, conditions in self.providers(name, qualifier, op, version, skip=own):
                    rules.append((self.Depends(provider) == True).if_then(self.all_of(conditions) == False))  # noqa: E712
        return rules

    def rules(self, package: dict[str, Any]) -> dict[str, list[Any]]:
        """The rules of each translated relation field, in field order."""
        relations: dict[str, list[Group]] = package["relations"]
        rules = {}
        for key, groups in relations.items():
            if key in REQUIRED:
                rules[key] = self.required(groups)
            elif key in NEGATED:
                rules[key] = self.negated(groups, package)
            else:
                rules[key] = [self.Maximize(self.NumOf([self.group(group) for group in groups]))]
        return rules

    def options(self, package: dict[str, Any]) -> dict[str, Any]:
        options: dict[str, Any] = {
            "priority": package.get("Priority", "optional"),
            "section": package.get("Section", "misc"),
            "essential": package.get("Essential") == "yes",
            "version": self.version_value(package["Version"], package["Package"], False),
            "architecture": package.get("Architecture", "all"),
        }
        if package.get("Installed-Size", "").isdigit():
            options["installed_size"] = int(package["Installed-Size"])
        slots: Counter[str] = Counter()
        for name, _, text in package["provides"]:
            options[f"provides:{name}"] = True
            if text is not None:
                slots[name] += 1
                options[f"provides:{name}#{slots[name]}"] = self.version_value(text, name, True, count=False)
        return options

    def outline(self, package: dict[str, Any], rules: dict[str, list[Any]] | None = None,
                options: dict[str, Any] | None = None) -> Any:
        if rules is None:
            rules = self.rules(package)
        constraints = [rule for key in RELATION_FIELDS for rule in rules.get(key, ())]
        defaults = {"multi_arch": package.get("Multi-Arch")}
        return self.PackageOutline(package["Package"], constraints,
                                   self.options(package) if options is None else options, defaults)


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
Keep = Callable[[dict[str, Any], dict[str, list[Any]], dict[str, Any]], None]


def gather_facts(path: str, limit: int = 0) -> IndexFacts:
    """Who provides what, from a first reading of the index that keeps only
    the fields the facts need (the second reading builds, stanza by stanza)."""
    def light() -> Iterator[dict[str, Any]]:
        for count, (line, fields) in enumerate(read_stanzas(path), 1):
            provides: list[Relation] = []
            if "Provides" in fields:
                try:
                    provides = [group[0] for group in parse_relations(fields["Provides"], "Provides")]
                except ValueError as error:
                    raise BadIndex(f"{path}:{line}: {fields.get('Package')}: Provides: {error}") from None
            yield {"Package": fields.get("Package", ""), "Architecture": fields.get("Architecture", "all"),
                   "provides": provides}
            if limit and count >= limit:
                break
    return IndexFacts(light())


def describe_index(path: str, limit: int = 0, keep: Keep | None = None) -> Description:
    """Reads the index twice: who provides what is needed before any package
    is translated, and holding every stanza in between would cost more than
    the outlines."""
    result = Description()
    started = time.perf_counter()
    result.facts = gather_facts(path, limit)
    builder = Builder(facts=result.facts)
    result.tally = builder.tally
    for line, fields in read_stanzas(path):
        package = prepare(path, line, fields)
        result.stanzas += 1
        rules = builder.rules(package)
        options = builder.options(package)
        result.outlines.append(builder.outline(package, rules, options))
        result.constraints += sum(map(len, rules.values()))
        for key, groups in package["relations"].items():
            result.relations[key] += sum(map(len, groups))
        result.bounds_in_text += package["bounds_in_text"]
        result.left_out.update(key for key in LEFT_OUT if key in fields)
        if keep is not None:
            keep(package, rules, options)
        if limit and result.stanzas >= limit:
            break
    result.seconds = time.perf_counter() - started
    if not result.stanzas:
        raise BadIndex(f"{path}: no package stanza in this file")
    return result
