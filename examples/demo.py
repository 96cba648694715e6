"""kelto's main job: describe every package of a Debian package index.

Reads a Debian Packages index (plain, .gz or .xz): the one given, else the
machine's own apt index, else the sample under examples/data. Each package
becomes a PackageOutline whose constraints say what its relation fields say:

- Depends and Pre-Depends: "p" is Depends(p); "p (>= v)" adds
  Cmp(SpecOption(p, "version"), v, CmpType.GreaterOrEqual) (likewise <<, <=,
  = and >>); "a (>= 1) | b" is NumOf([...]) >= 1 over one constraint per
  alternative, a bounded one being NumOf([Depends(a), bound]) == 2;
- Conflicts and Breaks: "p" is Depends(p) == False; "p (<< v)" is
  (Depends(p) == True).if_then(bound == False);
- Recommends: one goal, Maximize(NumOf([...])), over its groups;
- Provides, translated index-wide: a relation on a name is also met by each
  package that provides it, so the relation becomes a group over the named
  package and its providers, each provider checked through the option
  "provides:NAME" (or, against a version bound, "provides:NAME#K") that its
  own outline sets. A conflict applies to the other providers only, and a
  package's conflict on its own name to its other versions only;
- architecture qualifiers: "p:any" requires p's multi_arch option to be
  "allowed"; "p:amd64" (the index's own architecture, or "native") requires
  its architecture option to be amd64 or all, which no package of another
  architecture meets.

Priority, section, essential, installed size and version become option
values, multi-arch an option default. A version kelto's grammar refuses (an
epoch "1:2.3", a tilde "1.0~rc1") or would print differently ("1.02" prints
as "1.2") is kept as its text, a Str value: nothing is lost.

    python examples/demo.py [PACKAGES_FILE] [--limit N] [--show NAME]
"""

from __future__ import annotations

import argparse
import gzip
import lzma
import os
import re
import resource
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import IO, Any, NoReturn

import kelto
from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "Packages")

# The relation fields translated, in the order a package's rules are shown.
REQUIRED = ("Pre-Depends", "Depends")
NEGATED = ("Conflicts", "Breaks")
RELATION_FIELDS = (*REQUIRED, *NEGATED, "Recommends")
LEFT_OUT = ("Suggests", "Enhances", "Replaces")
SINGLE_ALTERNATIVE = (*NEGATED, "Provides")
# Fields whose value is one line; a continuation line there is refused.
SINGLE_LINE = ("Package", "Version", "Architecture", "Multi-Arch", "Essential", "Priority", "Section",
               "Installed-Size", "Source")
# Field names match case-insensitively; these are stored under their usual spelling.
CANONICAL = {name.lower(): name for name in (*RELATION_FIELDS, *LEFT_OUT, *SINGLE_LINE, "Provides", "Binary")}

# Debian's relation operators and the CmpType member each one becomes. The
# obsolete "<" and ">" mean "<=" and ">=".
OPERATORS = {"<<": "Less", "<=": "LessOrEqual", "=": "Equal", ">=": "GreaterOrEqual", ">>": "Greater",
             "<": "LessOrEqual", ">": "GreaterOrEqual"}
DEBIAN_OPERATOR = {0: "<<", 1: "<=", 3: "=", 4: ">=", 5: ">>"}  # by int(CmpType)

# "libc6 (>= 2.36)", "python3:any", "perl:any (>= 5.10)": name, operator, version.
# A version starts with neither a parenthesis nor an operator's character, so
# "(<< )" is refused rather than read as "(< <)".
RELATION = re.compile(r"\s*([^\s()|,]+)\s*(?:\(\s*(<<|<=|>=|>>|=|<|>)\s*([^\s()<>=][^\s()]*)\s*\))?\s*")

Relation = tuple[str, str | None, str | None]  # name, Debian operator, version text
Group = list[Relation]  # alternatives: one of them must hold


class BadIndex(Exception):
    """The index cannot be read; the message is one line naming the file."""


# ------------------------------------------------------------------ reading

def find_index(path: str | None) -> str:
    if path:
        return path
    for pattern in ("_Packages", "_Packages.xz", "_Packages.gz"):
        lists = "/var/lib/apt/lists"
        names = sorted(n for n in os.listdir(lists) if n.endswith(pattern)) if os.path.isdir(lists) else []
        if names:
            return os.path.join(lists, names[0])
    return SAMPLE


def open_index(path: str) -> IO[bytes]:
    """The file's bytes, decompressed when it starts with a gzip or xz header."""
    raw = open(path, "rb")
    try:
        magic = raw.read(6)
        raw.seek(0)
    except OSError:
        raw.close()
        raise
    # A decompressing reader given a file object never closes it: they open
    # the file again by name, so that closing the reader (on a corrupt stream
    # too) closes the file.
    if magic[:2] == b"\x1f\x8b":
        raw.close()
        return gzip.open(path, "rb")  # type: ignore[return-value]
    if magic == b"\xfd7zXZ\x00":
        raw.close()
        return lzma.open(path, "rb")
    return raw


def read_stanzas(path: str) -> Iterator[tuple[int, dict[str, str]]]:
    """Each stanza's first line number and fields; continuation lines are
    joined. Raises BadIndex for what cannot be read."""
    fields: dict[str, str] = {}
    seen: set[str] = set()  # the stanza's field names, lowercased
    last: str | None = None
    start = 0
    number = 0
    try:
        with open_index(path) as index:
            for number, raw in enumerate(index, 1):
                try:
                    line = raw.decode("utf-8").rstrip("\r\n")
                except UnicodeDecodeError:
                    raise BadIndex(f"{path}:{number}: not UTF-8 text") from None
                if not line.strip():
                    if fields:
                        yield start, fields
                    fields, last = {}, None
                    seen = set()
                elif line[0] in " \t":
                    if last is None:
                        raise BadIndex(f"{path}:{number}: continuation line outside a field")
                    if last in SINGLE_LINE:
                        raise BadIndex(f"{path}:{number}: continuation line in the one-line field {last!r}")
                    fields[last] += "\n" + line.strip()
                else:
                    key, colon, value = line.partition(":")
                    if not colon or not key.strip():
                        raise BadIndex(f"{path}:{number}: not a 'Field: value' line: {line[:60]!r}")
                    if not fields:
                        start = number
                    lowered = key.lower()
                    if lowered in seen:
                        raise BadIndex(f"{path}:{number}: field {key!r} given twice in one stanza")
                    seen.add(lowered)
                    last = key = CANONICAL.get(lowered, key)
                    fields[key] = value.strip()
    except BadIndex:
        raise
    except (OSError, EOFError, lzma.LZMAError) as error:
        where = f"{path}:{number}" if number else path
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
        raise BadIndex(f"{where}: {reason}") from None
    if fields:
        yield start, fields


def parse_relations(text: str, key: str = "Depends") -> list[Group]:
    """A relation field's groups of alternatives; ValueError names the part
    that is not a relation. Conflicts, Breaks and Provides take no
    alternatives, and Provides no operator but "="."""
    groups: list[Group] = []
    for group_text in text.split(","):
        if not group_text.strip():
            continue
        group: Group = []
        for alternative in group_text.split("|"):
            match = RELATION.fullmatch(alternative)
            if match is None:
                raise ValueError(f"not a package relation: {alternative.strip()!r}")
            group.append((match[1], match[2], match[3]))
        if len(group) > 1 and key in SINGLE_ALTERNATIVE:
            raise ValueError(f"alternatives are not allowed here: {group_text.strip()!r}")
        if key == "Provides" and group[0][1] not in (None, "="):
            raise ValueError(f"a provided version takes '=' only: {group_text.strip()!r}")
        groups.append(group)
    return groups


def prepare(path: str, line: int, fields: dict[str, str]) -> dict[str, Any]:
    """The stanza's fields plus its parsed relations under "relations", and
    the number of bounds its text holds under "bounds_in_text"."""
    for key in ("Package", "Version"):
        if not fields.get(key):
            raise BadIndex(f"{path}:{line}: stanza without a {key} field")
    if "Binary" in fields:
        raise BadIndex(f"{path}:{line}: a Sources index, not a Packages index"
                       f" (the stanza of {fields['Package']} has a Binary field)")
    relations: dict[str, list[Group]] = {}
    bounds = 0
    for key in (*RELATION_FIELDS, "Provides"):
        text = fields.get(key)
        if text:
            try:
                relations[key] = parse_relations(text, key)
            except ValueError as error:
                raise BadIndex(f"{path}:{line}: {fields['Package']}: {key}: {error}") from None
            if key != "Provides":
                bounds += text.count("(")
    provides = relations.pop("Provides", [])
    return {**fields, "relations": relations, "provides": [group[0] for group in provides],
            "bounds_in_text": bounds}


def read_packages(path: str, limit: int = 0) -> list[dict[str, Any]]:
    packages = []
    for line, fields in read_stanzas(path):
        packages.append(prepare(path, line, fields))
        if limit and len(packages) >= limit:
            break
    return packages


# ----------------------------------------------------------------- building

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


def split_qualifier(name: str) -> tuple[str, str | None]:
    """("perl", "any") of "perl:any"; (name, None) without a qualifier."""
    package, colon, qualifier = name.partition(":")
    return (package, qualifier) if colon else (name, None)


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


# ---------------------------------------------------------------- rendering
# Read back through the constraints' own properties, never from the index.

def bound_text(bound: Any) -> tuple[str, str]:
    """(package, " (op version)") of Cmp(SpecOption(p, "version"), v, op)."""
    lhs = bound.lhs if isinstance(bound, Cmp) else None
    if not isinstance(lhs, SpecOption) or lhs.option_name != "version":
        raise ValueError(f"not a version bound: {bound!r}")
    return lhs.package_name, f" ({DEBIAN_OPERATOR[int(bound.op)]} {bound.rhs.value})"


def is_value(c: Any, value: object) -> bool:
    return isinstance(c, Value) and type(c.value) is type(value) and c.value == value


def all_of(c: Any) -> list[Any] | None:
    """The parts of NumOf(parts) == len(parts), else None."""
    if isinstance(c, Cmp) and int(c.op) == 3 and isinstance(c.lhs, NumOf):
        parts = c.lhs.of
        if is_value(c.rhs, len(parts)):
            return parts
    return None


def any_of(c: Any) -> list[Any] | None:
    """The parts of NumOf(parts) >= 1, else None."""
    if isinstance(c, Cmp) and int(c.op) == 4 and isinstance(c.lhs, NumOf) and is_value(c.rhs, 1):
        return c.lhs.of
    return None


def option_condition(c: Any) -> tuple[str, str] | None:
    """(package, option) of Cmp(SpecOption(package, option), value, op)."""
    if isinstance(c, Cmp) and isinstance(c.lhs, SpecOption):
        return c.lhs.package_name, c.lhs.option_name
    return None


def condition_text(name: str, c: Any) -> str:
    """":any", ":amd64" or " (op version)": one condition on package `name`."""
    architectures = any_of(c)
    if architectures:  # the native architecture, or all
        c = architectures[0]
    found = option_condition(c)
    if found is None or found[0] != name:
        raise ValueError(f"not a condition on {name}: {c!r}")
    option = found[1]
    if option == "version":
        return bound_text(c)[1]
    if int(c.op) == 3 and option == "multi_arch" and is_value(c.rhs, "allowed"):
        return ":any"
    if int(c.op) == 3 and option == "architecture":
        return f":{c.rhs.value}"
    raise ValueError(f"not a condition on {name}: {c!r}")


def provided_name(conditions: list[Any]) -> str | None:
    """NAME when the first condition is on a provider's "provides:NAME[#K]"."""
    found = option_condition(conditions[0]) if conditions else None
    if found is None or not found[1].startswith("provides:"):
        return None
    return found[1][len("provides:"):].partition("#")[0]


def relation_text(name: str, conditions: list[Any]) -> str:
    return name + "".join(condition_text(name, c) for c in conditions)


def written_text(name: str, conditions: list[Any], last: str | None) -> str | None:
    """The relation as written in the field, or None when the conditions are
    a provider's, which follow the relation (on `last`) they meet."""
    provided = provided_name(conditions)
    if provided is None:
        return relation_text(name, conditions)
    if provided != last:
        raise ValueError(f"provider {name} of {provided} after a relation on {last}")
    return None


def render_alternatives(items: list[Any]) -> list[str]:
    """The written relations among a group's alternatives; the providers'
    alternatives each follow the relation they meet."""
    written: list[str] = []
    last: str | None = None  # the name the last written relation is on
    for item in items:
        parts = [item] if isinstance(item, Depends) else all_of(item)
        if not parts or not isinstance(parts[0], Depends):
            raise ValueError(f"not a relation: {item!r}")
        name = parts[0].on
        text = written_text(name, parts[1:], last)
        if text is not None:
            written.append(text)
            last = name
    return written


def render_group(c: Any) -> str:
    return " | ".join(render_alternatives(any_of(c) or [c]))


def render_required(rules: list[Any]) -> list[str]:
    groups: list[str] = []
    last: str | None = None  # the package of a Depends a bound may follow
    for rule in rules:
        if isinstance(rule, Cmp) and isinstance(rule.lhs, SpecOption):
            name, bound_part = bound_text(rule)
            if name != last:
                raise ValueError(f"bound on {name} without its Depends")
            groups[-1] += bound_part
            last = None
        else:
            groups.append(render_group(rule))
            last = rule.on if isinstance(rule, Depends) else None
    return groups


def excluded(c: Any) -> list[Any]:
    """The conditions of `cond == False`: what a conflict excludes."""
    if not (isinstance(c, Cmp) and int(c.op) == 3 and is_value(c.rhs, False)):
        raise ValueError(f"not an exclusion: {c!r}")
    return all_of(c.lhs) or [c.lhs]


def render_negated(rules: list[Any]) -> list[str]:
    groups: list[str] = []
    last: str | None = None
    for rule in rules:
        if isinstance(rule, Cmp) and isinstance(rule.lhs, Depends) and int(rule.op) == 3 and is_value(rule.rhs, False):
            groups.append(last := rule.lhs.on)
            continue
        present = rule.cond.lhs if isinstance(rule, IfThen) and isinstance(rule.cond, Cmp) else None
        if not (isinstance(present, Depends) and is_value(rule.cond.rhs, True)):
            raise ValueError(f"not a negated relation: {rule!r}")
        name, then = present.on, rule.then
        either = any_of(then)
        if option_condition(then) == (name, "version") and int(then.op) == 3:  # other versions of itself
            groups.append(last := name)
        elif either and option_condition(either[0]) == (name, "version"):
            groups.append(relation_text(name, excluded(either[1])))
            last = name
        else:
            text = written_text(name, excluded(then), last)
            if text is not None:
                groups.append(text)
                last = name
    return groups


def render_field(key: str, rules: list[Any]) -> str:
    """The field's relations in Debian's notation, from its constraint objects."""
    if key in REQUIRED:
        groups = render_required(rules)
    elif key in NEGATED:
        groups = render_negated(rules)
    else:
        (goal,) = rules
        groups = [render_group(c) for c in goal.item.of]
    return ", ".join(groups)


def render_provides(options: dict[str, Any]) -> str:
    """The Provides field, from the options a provider's outline sets."""
    provided: list[str] = []
    for key, value in options.items():
        if key.startswith("provides:"):
            name, slot, _ = key[len("provides:"):].partition("#")
            if not slot:
                provided.append(name)
            else:  # a version of the name: in place of the bare name just before it
                if provided and provided[-1] == name:
                    provided.pop()
                provided.append(f"{name} (= {value})")
    return ", ".join(provided)


def show(builder: Builder, package: dict[str, Any]) -> list[str]:
    rules = builder.rules(package)
    builder.outline(package, rules)  # the same objects the outline is built from
    lines = [f"Package: {package['Package']}"]
    for key in RELATION_FIELDS:
        if key in rules:
            lines.append(f"{key}: {render_field(key, rules[key])}")
    options = builder.options(package)
    if package["provides"]:
        lines.append(f"Provides: {render_provides(options)}")
    for key, value in options.items():
        kind = "Version" if isinstance(value, Version) else type(value).__name__
        lines.append(f"  option {key} = {value} ({kind})")
    lines.append(f"  default multi_arch = {package.get('Multi-Arch')}")
    provided = {split_qualifier(name)[0] for groups in package["relations"].values()
                for group in groups for name, _, _ in group}
    spelled = []
    for name in sorted(provided & builder.facts.providers.keys()):
        providers = [p for p in builder.facts.providers[name] if p != package["Package"]]
        if providers:
            spelled.append(f"{name} ({', '.join(providers) if len(providers) <= 4 else f'{len(providers)} packages'})")
    if spelled:
        lines.append(f"  providers spelled out: {', '.join(spelled)}")
    for key in LEFT_OUT:
        if key in package:
            lines.append(f"  (not translated) {key}: {package[key]}")
    return lines


# ----------------------------------------------------------------- the job

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


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def tour() -> None:
    print("A few versions, as printed (str) and as parsed (repr):")
    for text in ["1.2.3", "01.002", "2.*", "1.0-rc.1+b2", "3.>"]:
        version = Version(text)
        print(f"  {text!r:14} -> {str(version)!r:14} {version!r}")
    print("A typed comparison, and one that is refused:")
    rule = NumOf([Depends("libssl3"), Depends("libssl1.1")]) >= 1
    print(f"  NumOf([...]) >= 1 builds {type(rule).__name__} with op {rule.op!r}")
    try:
        Depends("libc6") < 2  # type: ignore[operator]  # refused on purpose, by the stubs too
    except NotImplementedError as error:
        print(f"  Depends('libc6') < 2 -> NotImplementedError: {error}")


def summary(path: str, result: Description) -> None:
    count, tally = len(result.outlines), result.tally
    print(f"\nDescribed {path}:")
    print(f"  packages:           {count} built of {result.stanzas} read ({result.stanzas - count} dropped)")
    print(f"  relations read:     {sum(result.relations.values())} ("
          + ", ".join(f"{key} {result.relations[key]}" for key in RELATION_FIELDS) + ")")
    print(f"  constraints:        {result.constraints}")
    lost = result.bounds_in_text - tally.bounds
    print(f"  version bounds:     {tally.bounds} built of {result.bounds_in_text} bounded relations read"
          f" ({lost} lost)")
    print(f"  kept as text:       {tally.versions_as_text} package versions, {tally.bounds_as_text} bounds ("
          + ", ".join(f"{reason}: {n}" for reason, n in tally.reasons.most_common()) + ")")
    for example in tally.examples:
        print(f"    e.g. {example}")
    facts = result.facts
    print(f"  provides:           {facts.provided} translated ({len(facts.providers)} names provided;"
          f" {tally.provider_rules} alternatives and conflicts built for providers)")
    print(f"  qualifiers:         {tally.qualifiers['any']} ':any', {tally.qualifiers['architecture']} naming an"
          f" architecture (this index's: {facts.native}); {tally.own_conflicts} conflicts on the package's own name")
    if result.left_out:
        print("  not translated:     " + ", ".join(f"{key} ({n} packages)" for key, n in result.left_out.items()))
    print(f"  time:               {result.seconds:.3f} s ({result.seconds / max(count, 1) * 1e6:.1f} us per package)")
    print(f"  peak memory:        {peak_rss_mib():.0f} MiB (whole process)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("index", nargs="?", help="a Debian Packages file, plain, .gz or .xz "
                        "(default: apt's own, else the sample)")
    parser.add_argument("--limit", type=int, default=0, help="describe at most N packages")
    parser.add_argument("--show", metavar="NAME", help="print the rules built for package NAME")
    args = parser.parse_args(argv)

    path = find_index(args.index)
    shown: list[dict[str, Any]] = []

    def keep(package: dict[str, Any], rules: dict[str, list[Any]], options: dict[str, Any]) -> None:
        if package["Package"] == args.show:
            shown.append(package)

    try:
        result = describe_index(path, args.limit, keep if args.show else None)
    except BadIndex as error:
        print(f"demo.py: {error}", file=sys.stderr)
        return 1
    if args.show:
        if not shown:
            print(f"demo.py: {path}: no package named {args.show!r}", file=sys.stderr)
            return 1
        builder = Builder(facts=result.facts)
        print("\n\n".join("\n".join(show(builder, package)) for package in shown))
        return 0

    if not sys.stdout.isatty():
        os.environ["NO_COLOR"] = "1"  # no colour escapes in a pipe or a file
    kelto.main_entry()    # "kelto entrypoint", on the process's own standard output
    kelto.init_tracing()  # " WARN kelto: tracing activated"
    sys.stdout.flush()
    tour()
    summary(path, result)
    return 0


def run(entry: Callable[[], int]) -> NoReturn:
    """Exits with what `entry` returns; a reader that went away
    (`demo.py ... | head`) is not an error of ours."""
    try:
        sys.exit(entry())
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)


if __name__ == "__main__":
    run(main)
