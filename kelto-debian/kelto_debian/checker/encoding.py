"""The rules read back into clauses: every package's rules, taken through
the constraints' own properties, become formulas over installed packages and
then clauses a SAT solver reads, with what explains each clause."""

from __future__ import annotations

import itertools
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, NamedTuple

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption, Value

from ..model import Package
from ..outlines import SAME_NAME, base_name
from ..relations import NEGATED, REQUIRED
from ..version import compare_versions, version_key

# The operators as int(op) reads them: a Cmp's op is a new CmpType object on every read.
LESS, LESS_EQUAL, NOT_EQUAL = int(CmpType.Less), int(CmpType.LessOrEqual), int(CmpType.NotEqual)
EQUAL, GREATER_EQUAL, GREATER = int(CmpType.Equal), int(CmpType.GreaterOrEqual), int(CmpType.Greater)
HOLDS: dict[int, Callable[[int], bool]] = {LESS: lambda c: c < 0, LESS_EQUAL: lambda c: c <= 0, NOT_EQUAL: lambda c: c != 0,
         EQUAL: lambda c: c == 0, GREATER_EQUAL: lambda c: c >= 0, GREATER: lambda c: c > 0}

# The field of the clause that keeps two versions of one package apart.
ONE_VERSION = "one version"


class Unsupported(ValueError):
    """A constraint whose meaning this checker does not know."""


# A formula over installed packages.
# Plain slotted classes, not frozen ones: a frozen dataclass sets each
# field through object.__setattr__, three times the cost of a plain one, and
# reading an index back builds millions of these. Nobody changes one.
@dataclass(slots=True)
class Some:
    """Holds when one of `ids` is installed: versions of `name`, or of
    several names (name None)."""

    name: str | None
    ids: frozenset[int]


@dataclass(slots=True)
class Not:
    inner: Formula


@dataclass(slots=True)
class AllOf:
    parts: list[Formula]


@dataclass(slots=True)
class AnyOf:
    parts: list[Formula]


Formula = Some | Not | AllOf | AnyOf
Clause = tuple[int, ...]


class Source(NamedTuple):
    """What a clause was read from: the field and the rule (for the clause
    that keeps versions apart, ONE_VERSION and the package's name)."""

    field: str
    rule: Any

class Units(tuple[int, ...]):
    """A clause of one package that must be absent, of a large conflict
    (Universe.rule_clauses)."""

    __slots__ = ()


UNITS = Units

# The fields whose rules the checker reads, in the order it reads them.
READ = (*REQUIRED, *NEGATED, SAME_NAME)

# From this many clauses or literals on, a rule's clauses are kept by the
# rule's id while the rules are read (Universe.rule_clauses).
LARGE = 8


class Universe:
    """The packages as the checker sees them: id (from 1, index order),
    name, version text and option values, with the ids of each name."""

    def __init__(self) -> None:
        self.names: list[str] = [""]
        self.versions: list[str] = [""]
        self.architectures: list[str] = [""]  # as the stanza has it ("all" too)
        self.options: list[dict[str, Any]] = [{}]
        # Per package, (field, its rules) in the order they are read, the
        # fields the checker reads only.
        self.rules: list[list[tuple[str, list[Any]]]] = [[]]
        self.by_name: dict[str, list[int]] = {}
        self.native = ""  # the native architecture, once the index's facts say it
        # Let go of each package's rules once they are read into clauses, and
        # keep no rule for the clauses: for a check that gives no explanation.
        self.forget_as_read = False
        self._atoms: dict[tuple[Any, ...], frozenset[int]] = {}
        self._named: dict[str, Clause] = {}
        self._bounded: dict[frozenset[int], Clause] = {}
        # The rules "at most one of these sets has an installed member", by
        # the id of the rule object, which the packages that hold it share
        # (and which self.rules keeps alive): each is read once.
        self.at_most_one: dict[int, int] = {}
        self.groups: list[tuple[frozenset[int], ...]] = []
        # The clauses of the rules with many parts, by the id of the rule
        # object (which self.rules keeps alive): one that many packages hold
        # (a conflict on a name of many architectures) is read once, and its
        # clauses are held once. A part read through a property is a new
        # object on every read: only a rule as held is known by its id.
        self._large_clauses: dict[int, list[Clause]] = {}
        # The rules known by their id above, alive while their ids are keys
        # (so that none is reused) when the packages' rules are let go as read.
        self._by_id: list[Any] = []

    def add(self, package: Package, rules: dict[str, list[Any]], options: dict[str, Any]) -> None:
        number = len(self.names)
        outline = package.outline or package.name
        self.names.append(outline)
        self.versions.append(package.version)
        self.architectures.append(package.architecture)
        self.options.append({"multi_arch": package.multi_arch, **options})
        if self.forget_as_read:
            # Read now what the clauses need of the two commonest rules and let
            # the objects go: held to the end of the build, they were a third
            # of the peak memory. The rest are few, or shared and known by id.
            self.rules.append([(key, [compact(rule) for rule in found]) for key in READ if (found := rules.get(key))])
            options = {key: str(value) if ordered(key) else value for key, value in options.items()}
        else:
            self.rules.append([(key, found) for key in READ if (found := rules.get(key))])
        self.by_name.setdefault(outline, []).append(number)

    def __len__(self) -> int:
        return len(self.names) - 1

    def label(self, number: int) -> str:
        return f"{self.names[number]} {self.versions[number]}"

    # -- atoms

    def named(self, name: str) -> Clause:
        """The clause "some version of name is installed"."""
        found = self._named.get(name)
        if found is None:
            found = self._named[name] = tuple(self.by_name.get(name, ()))
        return found

    def bounded(self, name: str, option: str, op: int, value: Any) -> Clause:
        """The clause "a version of name whose option compares with value
        by op is installed"."""
        ids = self.matching(name, option, op, value)
        found = self._bounded.get(ids)
        if found is None:
            found = self._bounded[ids] = tuple(sorted(ids))
        return found

    def having(self, name: str) -> frozenset[int]:
        key = (name,)
        found = self._atoms.get(key)
        if found is None:
            found = self._atoms[key] = frozenset(self.by_name.get(name, ()))
        return found

    def matching(self, name: str, option: str, op: int, value: Any) -> frozenset[int]:
        """The versions of `name` whose option compares with value by op."""
        in_order = ordered(option)
        key = (name, option, op, str(value) if in_order else value, type(value))
        found = self._atoms.get(key)
        if found is None:
            holds = HOLDS[op]
            ids = []
            for number in self.by_name.get(name, ()):
                mine = self.options[number].get(option)
                if mine is None or isinstance(mine, bool) != isinstance(value, bool):
                    continue
                if isinstance(value, bool):
                    if op in (EQUAL, NOT_EQUAL) and holds(0 if mine == value else 1):
                        ids.append(number)
                elif in_order:
                    if holds(compare_versions(str(mine), str(value))):
                        ids.append(number)
                elif holds((mine > value) - (mine < value)):
                    ids.append(number)
            found = self._atoms[key] = frozenset(ids)
        return found

    # -- formulas

    def group(self, rule: Any) -> int | None:
        """The index in self.groups of NumOf(parts) <= 1, its parts each a
        set of packages; None for any other rule."""
        found = self.at_most_one.get(id(rule))
        if found is not None:
            return found
        if not (type(rule) is Cmp and int(rule.op) == LESS_EQUAL and type(rule.lhs) is NumOf
                and type(rule.rhs) is Value and type(rule.rhs.value) is int and rule.rhs.value == 1):
            return None
        parts = [self.formula(part) for part in rule.lhs.of]
        sets = []
        for part in parts:
            if type(part) is not Some:
                raise Unsupported(f"no meaning known for {rule!r}")
            sets.append(part.ids)
        self.groups.append(tuple(sets))
        found = self.at_most_one[id(rule)] = len(self.groups) - 1
        self._by_id.append(rule)
        return found

    def rule_clauses(self, rule: Any) -> list[Clause]:
        """The rule's clauses; those of a rule with many parts once."""
        found = self._large_clauses.get(id(rule))
        if found is None:
            found = clauses(self.formula(rule))
            if not found or len(found) >= LARGE or len(found[0]) >= LARGE:
                if len(found) >= LARGE and all(len(clause) == 1 and clause[0] < 0 for clause in found):
                    found = [Units(clause) for clause in found]  # marked: _read takes them as they are
                self._large_clauses[id(rule)] = found
                self._by_id.append(rule)
        return found

    def formula(self, c: Any) -> Formula:
        """The rule c as a formula, read through its properties only."""
        kind = type(c)
        if kind is Depends:
            name = c.on
            return Some(name, self.having(name))
        if kind is IfThen:
            return either([Not(self.formula(c.cond)), self.formula(c.then)])
        if kind is Cmp:
            lhs, rhs, op = c.lhs, c.rhs, int(c.op)
            if type(lhs) is SpecOption:
                name = lhs.package_name
                return Some(name, self.matching(name, lhs.option_name, op, rhs.value))
            if type(rhs) is Value:
                value = rhs.value
                if type(value) is bool and op in (EQUAL, NOT_EQUAL):
                    inner = self.formula(lhs)
                    return inner if value == (op == EQUAL) else Not(inner)
                if type(lhs) is NumOf and type(value) is int:
                    parts = [self.formula(part) for part in lhs.of]
                    if op == GREATER_EQUAL and value == 1:
                        found = either(parts)
                    elif op == EQUAL and value == len(parts):
                        found = every(parts)
                    else:
                        raise Unsupported(f"no meaning known for {c!r}")
                    return found
        raise Unsupported(f"no meaning known for {c!r}")



def ordered(option: str) -> bool:
    """Whether an option's values are versions, compared as Debian orders them."""
    return option == "version" or (option.startswith("provides:") and "#" in option)


def compact(rule: Any) -> Any:
    """Depends(p) as the name p, and a bound Cmp(SpecOption(p, option), op,
    value) as (p, option, op, value), a version as its text; any other rule
    as it is. What _read takes from these is what it takes from the rules."""
    kind = type(rule)
    if kind is Depends:
        return rule.on
    if kind is Cmp:
        lhs = rule.lhs
        if type(lhs) is SpecOption:
            option = lhs.option_name
            value = rule.rhs.value
            return lhs.package_name, option, int(rule.op), str(value) if ordered(option) else value
    return rule


def either(parts: list[Formula]) -> Formula:
    if all(type(part) is Some for part in parts):
        some: list[Some] = parts  # type: ignore[assignment]
        names = {part.name for part in some}
        return Some(names.pop() if len(names) == 1 else None, frozenset().union(*(part.ids for part in some)))
    return AnyOf(parts)


def every(parts: list[Formula]) -> Formula:
    """All of parts. Sets of one package's versions meet in their common
    versions, since only one version of a package is ever installed."""
    if all(type(part) is Some for part in parts):
        some: list[Some] = parts  # type: ignore[assignment]
        if len({part.name for part in some}) == 1 and some[0].name:
            return Some(some[0].name, frozenset.intersection(*(part.ids for part in some)))
    return AllOf(parts)


def clauses(f: Formula) -> list[Clause]:
    """f in conjunctive normal form: every clause must hold."""
    if type(f) is Some:
        return [tuple(sorted(f.ids))]
    if type(f) is Not:
        return negated(f.inner)
    if type(f) is AllOf:
        return [clause for part in f.parts for clause in clauses(part)]
    assert type(f) is AnyOf
    return distribute([clauses(part) for part in f.parts])


def negated(f: Formula) -> list[Clause]:
    if type(f) is Some:
        return [(-number,) for number in sorted(f.ids)]
    if type(f) is Not:
        return clauses(f.inner)
    if type(f) is AllOf:
        return distribute([negated(part) for part in f.parts])
    assert type(f) is AnyOf
    return [clause for part in f.parts for clause in negated(part)]


def distribute(choices: list[list[Clause]]) -> list[Clause]:
    """The clauses of an "any of" whose parts are each a list of clauses."""
    found = []
    for picked in itertools.product(*choices):
        literals = set(itertools.chain.from_iterable(picked))
        if not any(-literal in literals for literal in literals):
            found.append(tuple(sorted(literals)))
    return found


class Encoding:
    """Every package's rules as clauses, and what the solving needs of
    them: per package, its clauses without its own literal (which guards
    every one), the dependency clauses (positive literals only) first, the
    rule each was read from, and the packages they reach; the packages
    that forbid others; the essential packages; the alternatives preferred."""

    def __init__(self, universe: Universe) -> None:
        self.universe = universe
        count = len(universe)
        self.clauses: list[list[Clause]] = [[] for _ in range(count + 1)]
        self.sources: list[list[Source]] = [[] for _ in range(count + 1)]  # the rule of each clause
        self.dependencies: list[int] = [0] * (count + 1)  # how many of the clauses are dependency clauses
        self.wanting: list[int] = [0] * (count + 1)  # how many of the clauses may need a package
        self.reaches: list[tuple[int, ...] | frozenset[int]] = [()] * (count + 1)
        # Where each package's clauses of one package that must be absent
        # (its conflicts' `excluded`) start: they come last.
        self.units_from: list[int] = [0] * (count + 1)
        self._pool: dict[frozenset[int], frozenset[int]] = {}  # large sets of packages, each held once
        self.long_dependencies: list[int] = [0] * (count + 1)  # per package, its longest dependency clause
        # Per package with clauses that forbid: the packages it excludes
        # outright, its other such clauses, and the groups (Universe.groups)
        # at most one part of which may be installed beside it.
        self.conflicts: dict[int, tuple[frozenset[int], list[Clause], tuple[int, ...]]] = {}
        # Per package holding shared at-most-one rules: (group, rule) of each.
        self.shared: dict[int, list[tuple[int, Source]]] = {}
        self._parts: dict[int, dict[int, int]] = {}  # group -> package -> index of its part
        self.first = [0] * (count + 1)
        forget = universe.forget_as_read
        rules = universe.rules
        for number in range(1, count + 1):
            self._read(number)
            if forget:
                rules[number] = []
        # Essential packages are always installed: one version of each is in every solution.
        essential: dict[str, list[int]] = {}
        for number in range(1, count + 1):
            if universe.options[number].get("essential") is True:
                essential.setdefault(base_name(universe.names[number]), []).append(number)  # of either architecture
        self.essential = [tuple(numbers) for numbers in essential.values()]
        self.forbidding = frozenset(self.conflicts)
        self.holders = frozenset(self.shared)
        self.avoided = self.prefer()

    def prefer(self) -> frozenset[int]:
        """Orders the alternatives of each dependency clause, the preferred
        first, and returns the packages a solution should do without where
        it can. The solver picks among alternatives at random: a solution
        holding opensysusers where systemd would do conflicts with every
        solution holding systemd, and each such clash costs a solver call
        later. Preferred: the package most often named first in a relation
        (systemd in "systemd | systemd-sysusers"), then the one most named
        at all, then the newest version. Of two packages that conflict, the
        one less preferred is avoided."""
        count = len(self.universe)
        wanted = [0.0] * (count + 1)  # each dependency clause shared among its alternatives
        clauses, dependencies, first = self.clauses, self.dependencies, self.first
        for number in range(1, count + 1):
            for clause in itertools.islice(clauses[number], dependencies[number]):
                if clause:
                    share = 1.0 / len(clause)
                    for literal in clause:
                        wanted[literal] += share
        older = [0] * (count + 1)
        versions = self.universe.versions
        for numbers in self.universe.by_name.values():
            if len(numbers) > 1:
                newest_first = sorted(numbers, key=lambda n: version_key(versions[n]), reverse=True)
                for position, number in enumerate(newest_first):
                    older[number] = position
        rank = [(-first[n], -wanted[n], older[n], n) for n in range(count + 1)]
        key = rank.__getitem__
        ordered: dict[int, tuple[Clause, Clause]] = {}  # a large clause many packages hold, ordered once
        for number in range(1, count + 1):
            mine = clauses[number]
            for index in range(dependencies[number]):
                clause = mine[index]
                if len(clause) >= LARGE:
                    found = ordered.get(id(clause))
                    if found is None:
                        found = ordered[id(clause)] = (clause, tuple(sorted(clause, key=key)))
                    mine[index] = found[1]
                elif len(clause) > 1:
                    mine[index] = tuple(sorted(clause, key=key))
        self.first = []
        avoided = set()
        for number, (excluded, _, _) in self.conflicts.items():
            for other in excluded:
                avoided.add(number if rank[other] < rank[number] else other)
        return frozenset(avoided)

    def _read(self, number: int) -> None:
        universe = self.universe
        # (clause, field, rule): the Source of each clause is made only when kept.
        depending: list[tuple[Clause, str, Any]] = []
        other: list[tuple[Clause, str, Any]] = []
        shared: list[tuple[int, Source]] = []
        named, bounded = universe.named, universe.bounded
        for key, listed in universe.rules[number]:
            for rule in listed:
                kind = type(rule)
                # The two commonest shapes, "p" and "p (>= 2)", read straight into
                # their clause of one or more versions of p (as compact() gives
                # them, or as they are).
                if kind is str:
                    clause = named(rule)
                    if number not in clause:
                        depending.append((clause, key, rule))
                    continue
                if kind is tuple:
                    name, option, op, value = rule
                    if depending and depending[-1][2] == name:  # as for a Cmp below
                        depending.pop()
                    clause = bounded(name, option, op, value)
                    if number not in clause:
                        depending.append((clause, key, rule))
                    continue
                if kind is Depends:
                    clause = named(rule.on)
                    if number not in clause:
                        depending.append((clause, key, rule))
                    continue
                if kind is Cmp:
                    lhs = rule.lhs
                    if type(lhs) is SpecOption:
                        name = lhs.package_name
                        if depending and type(depending[-1][2]) is Depends and depending[-1][2].on == name:
                            # "p (>= 2)" is Depends(p) and its bound, two rules: the
                            # bound's clause, a part of the other, stands for both,
                            # so that an explanation goes through a version that meets it.
                            depending.pop()
                        clause = bounded(name, lhs.option_name, int(rule.op), rule.rhs.value)
                        if number not in clause:
                            depending.append((clause, key, rule))
                        continue
                group = universe.group(rule)
                if group is not None:
                    shared.append((group, Source(key, rule)))
                    continue
                found = universe.rule_clauses(rule)
                if found and found[0].__class__ is UNITS:  # a large conflict, read once
                    kept = [(clause, key, rule) for clause in found if clause[0] != -number]
                    if len(kept) < len(found):
                        depending.append(((), key, rule))  # it forbids the package itself
                    other += kept
                    continue
                for clause in found:
                    if number in clause:
                        continue  # met by the package itself
                    if -number in clause:
                        clause = tuple(literal for literal in clause if literal != -number)
                    (other if any(literal < 0 for literal in clause) else depending).append((clause, key, rule))
        first = self.first
        for clause, _, rule in depending:
            if len(clause) > 1 and type(rule) is Cmp and type(rule.lhs) is NumOf:
                head = universe.formula(rule.lhs.of[0])
                if type(head) is Some:
                    for literal in head.ids:
                        first[literal] += 1
            else:
                for literal in clause:
                    first[literal] += 1
        for sibling in universe.by_name[universe.names[number]]:
            if sibling != number:
                other.append(((-sibling,), ONE_VERSION, universe.names[number]))
        # Of the clauses that forbid, those that may also need a package first:
        # the clauses before wanting[number] are all that can need one.
        other.sort(key=lambda item: (max(item[0], default=0) < 0, len(item[0]) == 1))
        both = depending + other
        self.clauses[number] = [clause for clause, _, _ in both]
        if not universe.forget_as_read:
            self.sources[number] = [Source(key, rule) for _, key, rule in both]
        self.dependencies[number] = len(depending)
        self.long_dependencies[number] = max((len(clause) for clause, _, _ in depending), default=0)
        self.units_from[number] = len(both) - sum(1 for clause, _, _ in other if len(clause) == 1)
        self.wanting[number] = len(both) - sum(1 for clause, _, _ in other if max(clause, default=0) < 0)
        reaches = {literal for clause, _, _ in both for literal in clause if literal > 0}
        # Large sets are held once however many packages have them (a
        # package of each architecture reaching one name of every one).
        pool = self._pool
        self.reaches[number] = tuple(reaches) if len(reaches) < LARGE else pool.setdefault(
            frozenset(reaches), frozenset(reaches))
        if shared:
            self.shared[number] = shared
        if other or shared:
            excluded = frozenset(-clause[0] for clause, _, _ in other if len(clause) == 1)
            if len(excluded) >= LARGE:
                excluded = pool.setdefault(excluded, excluded)
            rest = [clause for clause, _, _ in other if len(clause) > 1]
            self.conflicts[number] = (excluded, rest, tuple(group for group, _ in shared))

    def parts(self, group: int) -> dict[int, int]:
        """Each package of a group's parts, with the index of its part."""
        found = self._parts.get(group)
        if found is None:
            found = self._parts[group] = {member: index for index, part in enumerate(self.universe.groups[group])
                                          for member in part}
        return found

    def forget_rules(self, keep_sources: bool = False) -> None:
        """Lets go of the rules and option values, read into clauses: the
        verdicts need only the clauses. Explanations need the rule of each
        clause too (keep_sources); without it they can no longer be given."""
        universe = self.universe
        universe.rules, universe.options, universe._atoms = [], [], {}
        universe._named, universe._bounded = {}, {}
        universe._large_clauses, universe._by_id = {}, []
        if not keep_sources:
            self.sources = []
