"""Which packages of a Debian index can be installed, decided from kelto's
objects: each package's rules read back through the constraints' own
properties, and a SAT solver on each package's cone."""

from __future__ import annotations

import itertools
import time
from collections import deque
from collections.abc import Callable, Iterator
from typing import Any

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption, Value

from . import notation
from .outlines import SAME_NAME, Paths, base_name, describe_index, multi_arch
from .relations import NEGATED, REQUIRED
from .version import compare_versions, version_key

try:
    import pycosat  # type: ignore[import-not-found, unused-ignore]
except ImportError:  # reported by the command, which is the only user of the solver
    pycosat = None


def have_solver() -> bool:
    return pycosat is not None

# The operators as int(op) reads them: a Cmp's op is a new CmpType object on every read.
LESS, LESS_EQUAL, NOT_EQUAL = int(CmpType.Less), int(CmpType.LessOrEqual), int(CmpType.NotEqual)
EQUAL, GREATER_EQUAL, GREATER = int(CmpType.Equal), int(CmpType.GreaterOrEqual), int(CmpType.Greater)
HOLDS: dict[int, Callable[[int], bool]] = {LESS: lambda c: c < 0, LESS_EQUAL: lambda c: c <= 0, NOT_EQUAL: lambda c: c != 0,
         EQUAL: lambda c: c == 0, GREATER_EQUAL: lambda c: c >= 0, GREATER: lambda c: c > 0}


class Unsupported(ValueError):
    """A constraint whose meaning this checker does not know."""


# A formula over installed packages: ("S", name, ids) holds when one of the
# ids is installed (all of them versions of `name`, or name None), ("N", f)
# is not f, ("A", [f...]) all of, ("O", [f...]) any of.
Formula = tuple[Any, ...]
Clause = tuple[int, ...]


class Universe:
    """The packages as the checker sees them: id (from 1, index order),
    name, version text and option values, with the ids of each name."""

    def __init__(self) -> None:
        self.names: list[str] = [""]
        self.versions: list[str] = [""]
        self.options: list[dict[str, Any]] = [{}]
        self.rules: list[list[tuple[str, Any]]] = [[]]
        self.by_name: dict[str, list[int]] = {}
        self._atoms: dict[tuple[Any, ...], frozenset[int]] = {}
        self._named: dict[str, Clause] = {}
        self._bounded: dict[frozenset[int], Clause] = {}
        # The rules "at most one of these sets has an installed member", by
        # the id of the rule object, which the packages that hold it share
        # (and which self.rules keeps alive): each is read once.
        self.at_most_one: dict[int, int] = {}
        self.groups: list[tuple[frozenset[int], ...]] = []

    def add(self, package: dict[str, Any], rules: dict[str, list[Any]], options: dict[str, Any]) -> None:
        number = len(self.names)
        outline = package.get("Outline", package["Package"])
        self.names.append(outline)
        self.versions.append(package["Version"])
        self.options.append({"multi_arch": multi_arch(package), **options})
        self.rules.append([(key, rule) for key in (*REQUIRED, *NEGATED, SAME_NAME) for rule in rules.get(key, ())])
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
        ordered = option == "version" or (option.startswith("provides:") and "#" in option)
        key = (name, option, op, str(value) if ordered else value, type(value))
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
                elif ordered:
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
        if any(part[0] != "S" for part in parts):
            raise Unsupported(f"no meaning known for {rule!r}")
        self.groups.append(tuple(part[2] for part in parts))
        found = self.at_most_one[id(rule)] = len(self.groups) - 1
        return found

    def formula(self, c: Any) -> Formula:
        """The rule c as a formula, read through its properties only."""
        kind = type(c)
        if kind is Depends:
            name = c.on
            return ("S", name, self.having(name))
        if kind is IfThen:
            return either([("N", self.formula(c.cond)), self.formula(c.then)])
        if kind is Cmp:
            lhs, rhs, op = c.lhs, c.rhs, int(c.op)
            if type(lhs) is SpecOption:
                name = lhs.package_name
                return ("S", name, self.matching(name, lhs.option_name, op, rhs.value))
            if type(rhs) is Value:
                value = rhs.value
                if type(value) is bool and op in (EQUAL, NOT_EQUAL):
                    inner = self.formula(lhs)
                    return inner if value == (op == EQUAL) else ("N", inner)
                if type(lhs) is NumOf and type(value) is int:
                    parts = [self.formula(part) for part in lhs.of]
                    if op == GREATER_EQUAL and value == 1:
                        return either(parts)
                    if op == EQUAL and value == len(parts):
                        return every(parts)
        raise Unsupported(f"no meaning known for {c!r}")


def either(parts: list[Formula]) -> Formula:
    if all(part[0] == "S" for part in parts):
        names = {part[1] for part in parts}
        return ("S", names.pop() if len(names) == 1 else None, frozenset().union(*(part[2] for part in parts)))
    return ("O", parts)


def every(parts: list[Formula]) -> Formula:
    """All of parts. Sets of one package's versions meet in their common
    versions, since only one version of a package is ever installed."""
    if all(part[0] == "S" for part in parts) and len({part[1] for part in parts}) == 1 and parts[0][1]:
        return ("S", parts[0][1], frozenset.intersection(*(part[2] for part in parts)))
    return ("A", parts)


def clauses(f: Formula) -> list[Clause]:
    """f in conjunctive normal form: every clause must hold."""
    kind = f[0]
    if kind == "S":
        return [tuple(sorted(f[2]))]
    if kind == "N":
        return negated(f[1])
    if kind == "A":
        return [clause for part in f[1] for clause in clauses(part)]
    return distribute([clauses(part) for part in f[1]])


def negated(f: Formula) -> list[Clause]:
    kind = f[0]
    if kind == "S":
        return [(-number,) for number in sorted(f[2])]
    if kind == "N":
        return clauses(f[1])
    if kind == "A":
        return distribute([negated(part) for part in f[1]])
    return [clause for part in f[1] for clause in negated(part)]


def distribute(choices: list[list[Clause]]) -> list[Clause]:
    """The clauses of an "any of" whose parts are each a list of clauses."""
    found = []
    for picked in itertools.product(*choices):
        literals = set(itertools.chain.from_iterable(picked))
        if not any(-literal in literals for literal in literals):
            found.append(tuple(sorted(literals)))
    return found


# ------------------------------------------------------------------ solving

ESSENTIAL = -1  # the reason of every package when an essential package cannot be installed

class Checker:
    """Every package's verdict. First the packages that a dependency no
    installable package meets rules out (no solver needed, and a chain to
    show); then, package by package, the solver on the package's cone: the
    packages it can reach through the dependencies of what it reaches. A
    solution proves every package in it installable, so most packages are
    settled by another's solution."""

    def __init__(self, universe: Universe) -> None:
        self.universe = universe
        count = len(universe)
        # Per package: its clauses without its own literal (which guards
        # every one), the dependency clauses (positive literals only) first.
        self.clauses: list[list[Clause]] = [[] for _ in range(count + 1)]
        self.sources: list[list[tuple[str, Any]]] = [[] for _ in range(count + 1)]  # the rule of each clause
        self.dependencies: list[int] = [0] * (count + 1)  # how many of the clauses are dependency clauses
        self.wanting: list[int] = [0] * (count + 1)  # how many of the clauses may need a package
        self.reaches: list[tuple[int, ...]] = [()] * (count + 1)
        # Per package with clauses that forbid: the packages it excludes
        # outright, its other such clauses, and the groups (Universe.groups)
        # at most one part of which may be installed beside it.
        self.conflicts: dict[int, tuple[frozenset[int], list[Clause], tuple[int, ...]]] = {}
        # Per package holding shared at-most-one rules: (group, rule) of each.
        self.shared: dict[int, list[tuple[int, tuple[str, Any]]]] = {}
        self._parts: dict[int, dict[int, int]] = {}  # group -> package -> index of its part
        self.first = [0] * (count + 1)
        for number in range(1, count + 1):
            self._read(number)
        # Essential packages are always installed: one version of each is in every solution.
        essential: dict[str, list[int]] = {}
        for number in range(1, count + 1):
            if universe.options[number].get("essential") is True:
                essential.setdefault(base_name(universe.names[number]), []).append(number)  # of either architecture
        self.essential = [tuple(numbers) for numbers in essential.values()]
        self.reason: dict[int, int] = {}  # package ruled out -> index of the clause no installable package meets
        self.unsolvable: set[int] = set()
        # Solver numbers while a problem is built, by literal: local[n] for
        # package n, and local[-n], from the list's end, its negation.
        self.local = [1] * (count + 1) + [-1] * (count + 1)
        self.solved = bytearray(count + 1)
        self.solver_calls = 0
        # A solution known to hold the package: a set of packages that meets
        # every rule of each of its members, together with the base. Shared
        # by all its members. The base is the solution of the essential
        # packages, once known, which every solution holds: kept once, and
        # not in each of the others, which are mostly the base.
        self.solutions: dict[int, frozenset[int]] = {}
        self.unneeded: dict[int, frozenset[int]] = {}  # whole solutions that hold the package, with the base
        self.base: frozenset[int] = frozenset()
        self.forbidding = frozenset(self.conflicts)
        self.holders = frozenset(self.shared)
        self.missing_ruled_out = False
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
        for number in range(1, count + 1):
            mine = clauses[number]
            for index in range(dependencies[number]):
                if len(mine[index]) > 1:
                    mine[index] = tuple(sorted(mine[index], key=key))
        self.first = []
        avoided = set()
        for number, (excluded, _, _) in self.conflicts.items():
            for other in excluded:
                avoided.add(number if rank[other] < rank[number] else other)
        return frozenset(avoided)

    def _read(self, number: int) -> None:
        universe = self.universe
        depending: list[tuple[Clause, tuple[str, Any]]] = []
        other: list[tuple[Clause, tuple[str, Any]]] = []
        shared: list[tuple[int, tuple[str, Any]]] = []
        named, bounded = universe.named, universe.bounded
        for source in universe.rules[number]:
            rule = source[1]
            kind = type(rule)
            # The two commonest shapes, "p" and "p (>= 2)", read straight into
            # their clause of one or more versions of p.
            if kind is Depends:
                clause = named(rule.on)
                if number not in clause:
                    depending.append((clause, source))
                continue
            if kind is Cmp:
                lhs = rule.lhs
                if type(lhs) is SpecOption:
                    name = lhs.package_name
                    if depending and type(depending[-1][1][1]) is Depends and depending[-1][1][1].on == name:
                        # "p (>= 2)" is Depends(p) and its bound, two rules: the
                        # bound's clause, a part of the other, stands for both,
                        # so that an explanation goes through a version that meets it.
                        depending.pop()
                    clause = bounded(name, lhs.option_name, int(rule.op), rule.rhs.value)
                    if number not in clause:
                        depending.append((clause, source))
                    continue
            group = universe.group(rule)
            if group is not None:
                shared.append((group, source))
                continue
            for clause in clauses(universe.formula(rule)):
                if number in clause:
                    continue  # met by the package itself
                clause = tuple(literal for literal in clause if literal != -number)
                (other if any(literal < 0 for literal in clause) else depending).append((clause, source))
        first = self.first
        for clause, (_, rule) in depending:
            if len(clause) > 1 and type(rule) is Cmp and type(rule.lhs) is NumOf:
                head = universe.formula(rule.lhs.of[0])
                if head[0] == "S":
                    for literal in head[2]:
                        first[literal] += 1
            else:
                for literal in clause:
                    first[literal] += 1
        for sibling in universe.by_name[universe.names[number]]:
            if sibling != number:
                other.append(((-sibling,), ("one version", universe.names[number])))
        # Of the clauses that forbid, those that may also need a package first:
        # the clauses before wanting[number] are all that can need one.
        other.sort(key=lambda item: max(item[0], default=0) < 0)
        both = depending + other
        self.clauses[number] = [clause for clause, _ in both]
        self.sources[number] = [source for _, source in both]
        self.dependencies[number] = len(depending)
        self.wanting[number] = len(both) - sum(1 for clause, _ in other if max(clause, default=0) < 0)
        self.reaches[number] = tuple({literal for clause, _ in both for literal in clause if literal > 0})
        if shared:
            self.shared[number] = shared
        if other or shared:
            excluded = frozenset(-clause[0] for clause, _ in other if len(clause) == 1)
            rest = [clause for clause, _ in other if len(clause) > 1]
            self.conflicts[number] = (excluded, rest, tuple(group for group, _ in shared))

    def parts(self, group: int) -> dict[int, int]:
        """Each package of a group's parts, with the index of its part."""
        found = self._parts.get(group)
        if found is None:
            found = self._parts[group] = {member: index for index, part in enumerate(self.universe.groups[group])
                                          for member in part}
        return found

    def forget_rules(self) -> None:
        """Lets go of the rules and option values, read into clauses: the
        verdicts need only the clauses, and explanations can no longer be
        given."""
        universe = self.universe
        universe.rules, universe.options, universe._atoms = [], [], {}
        universe._named, universe._bounded = {}, {}
        self.sources = []

    def rule_out_missing(self) -> None:
        """Packages a dependency clause of which no installable package meets,
        found from the packages with an unmet dependency outwards."""
        self.missing_ruled_out = True
        count = len(self.universe)
        clauses, dependencies, reason = self.clauses, self.dependencies, self.reason
        # Who names each package in a dependency clause, each once, in order.
        named_by: list[list[int]] = [[] for _ in range(count + 1)]
        queue: deque[int] = deque()
        for number in range(1, count + 1):
            mine = clauses[number]
            for index in range(dependencies[number]):
                clause = mine[index]
                if not clause and number not in reason:
                    reason[number] = index
                    queue.append(number)
                for literal in clause:
                    namers = named_by[literal]
                    if not namers or namers[-1] != number:
                        namers.append(number)
        # A clause is unmet once every package in it has left the queue.
        gone = bytearray(count + 1)
        while queue:
            leaving = queue.popleft()
            gone[leaving] = 1
            for number in named_by[leaving]:
                if number in reason:
                    continue
                mine = clauses[number]
                for index in range(dependencies[number]):
                    clause = mine[index]
                    if leaving in clause and all(gone[literal] for literal in clause):
                        reason[number] = index
                        queue.append(number)
                        break
        for numbers in self.essential:
            if all(number in self.reason for number in numbers):  # then nothing can be installed
                for number in range(1, len(self.universe) + 1):
                    self.reason.setdefault(number, ESSENTIAL)

    def cone(self, number: int) -> list[int]:
        """The package, the essential packages, and what they reach."""
        excluded, reason, reaches = self.unsolvable, self.reason, self.reaches
        order = [number] + [n for numbers in self.essential for n in numbers
                            if n != number and n not in reason and n not in excluded]
        seen = set(order)
        for current in order:
            for other in reaches[current]:
                if other not in seen and other not in reason and other not in excluded:
                    seen.add(other)
                    order.append(other)
        return order

    def problem(self, cone: list[int], without: frozenset[tuple[int, int]] = frozenset(),
                with_base: bool = False, preferred: bool = False) -> list[list[int]]:
        """The clauses of the packages of `cone` for the solver, numbered from
        2 in cone order, the first package required (and with_base, the
        base's packages in the cone too). 1 stands for every package outside
        the cone, never installed: a clause that needs one to be absent
        holds, one that needs it present looks elsewhere."""
        local, clauses = self.local, self.clauses
        for position, number in enumerate(cone, 2):
            local[number] = position
            local[-number] = -position
        try:
            found: list[list[int]] = [[-1], [2]]
            found += [[local[n] for n in numbers] for numbers in self.essential]
            solver_number = local.__getitem__
            for number in cone:
                guard = -local[number]
                if without:
                    found += [[guard, *map(solver_number, clause)] for index, clause in enumerate(clauses[number])
                              if (number, index) not in without]
                else:
                    found += [[guard, *map(solver_number, clause)] for clause in clauses[number]]
            found += self.at_most_one_clauses(cone, without)
            if with_base:
                found += [[local[member]] for member in self.base if local[member] > 1]
            if preferred:
                avoided = self.avoided.intersection(cone)
                if avoided:
                    avoided -= self.forced(cone)
                found += [[-local[member]] for member in avoided]
        finally:
            for number in cone:
                local[number] = 1
                local[-number] = -1
        return found

    def forced(self, cone: list[int]) -> set[int]:
        """The first package of cone and what it needs with no alternative
        in the cone."""
        within = self.local
        forced = {cone[0]}
        queue = [cone[0]]
        clauses, dependencies = self.clauses, self.dependencies
        for member in queue:
            for clause in itertools.islice(clauses[member], dependencies[member]):
                inside = [literal for literal in clause if within[literal] > 1]
                if len(inside) == 1 and inside[0] not in forced:
                    forced.add(inside[0])
                    queue.append(inside[0])
        return forced

    def at_most_one_clauses(self, cone: list[int], without: frozenset[tuple[int, int]]) -> list[list[int]]:
        """The shared at-most-one rules the cone's packages hold, in solver
        numbers (the cone's must be set): per group, a guard that each
        holder installed sets, and a sequential counter over the group's
        parts in the cone, whose auxiliary variables follow the cone's. Its
        size is linear in the parts, where a clause per pair of them grows
        with their square. A held rule left out of the problem is one in
        `without`, as (holder, -1 - its position among the holder's)."""
        found: list[list[int]] = []
        if not self.shared:
            return found
        holders: dict[int, list[int]] = {}
        for number in self.holders.intersection(cone):
            for position, (group, _) in enumerate(self.shared[number]):
                if not without or (number, -1 - position) not in without:
                    holders.setdefault(group, []).append(number)
        variable = len(cone) + 2
        local = self.local
        for group, numbers in holders.items():
            by_part: dict[int, list[int]] = {}
            parts = self.parts(group)
            if len(parts) < len(cone):
                for number, part in parts.items():
                    if local[number] > 1:
                        by_part.setdefault(part, []).append(local[number])
            else:
                for number in cone:
                    found_part = parts.get(number)
                    if found_part is not None:
                        by_part.setdefault(found_part, []).append(local[number])
            if len(by_part) < 2:
                continue
            guard, variable = variable, variable + 1
            found += [[-local[number], guard] for number in numbers]
            last = len(by_part) - 1
            before = 0  # "some part before this one is installed", 0 before the first
            for index, members in enumerate(by_part.values()):
                if before:
                    found += [[-guard, -before, -member] for member in members]
                if index < last:
                    seen, variable = variable, variable + 1
                    found += [[-member, seen] for member in members]
                    if before:
                        found.append([-before, seen])
                    before = seen
        return found

    def solve(self, number: int, within: list[int] | None = None) -> bool:
        """Whether the package can be installed with packages of `within`
        only (default: its whole cone, and then the answer is final)."""
        cone = self.cone(number) if within is None else within
        # Numbered from the cone's far end inwards: measured on sid, the
        # solver then picks the alternatives that fit with other solutions
        # more often, and a third fewer calls follow.
        cone = [cone[0], *cone[:0:-1]]
        solution: list[int] | str = "UNSAT"
        if self.base:
            # The base first: a solution with another architecture's or
            # version's essential package would not fit with any other.
            self.solver_calls += 1
            solution = pycosat.solve(self.problem(cone, with_base=True, preferred=True))
        if isinstance(solution, str):  # "UNSAT"
            self.solver_calls += 1
            solution = pycosat.solve(self.problem(cone))
        if isinstance(solution, str):
            if within is None:
                self.unsolvable.add(number)
            return False
        solved, solutions = self.solved, self.solutions
        end = len(cone) + 2  # the auxiliary variables come after the cone's
        found = frozenset(cone[literal - 2] for literal in solution if 1 < literal < end)
        needed = self.needed_in(found, number)
        base = self.base
        found_beyond, needed_beyond = found - base, needed - base
        unneeded = self.unneeded
        for member in found:
            solved[member] = 1
            if member in needed:
                solutions.setdefault(member, needed_beyond)
            elif member not in solutions:
                unneeded.setdefault(member, found)
        return True

    def known(self, number: int) -> frozenset[int] | None:
        """A solution known to hold the package, beyond the base. One found
        beside another package's is cut to what this one needs: the solver
        also installs what nothing needs, opensysusers where systemd would
        do, and that would spoil every solution joined to it."""
        found = self.solutions.get(number)
        if found is None:
            whole = self.unneeded.pop(number, None)
            if whole is not None:
                found = self.solutions[number] = self.needed_in(whole, number) - self.base
        return found

    def needed_in(self, solution: frozenset[int], number: int) -> frozenset[int]:
        """The part of a solution the package and the essential packages
        need: the solver also installs what nothing needs, and a smaller
        solution fits better with others."""
        kept = {number}
        kept.update(n for numbers in self.essential for n in numbers if n in solution)
        queue = list(kept)
        clauses, dependencies, wanting = self.clauses, self.dependencies, self.wanting
        for member in queue:
            mine, plain = clauses[member], dependencies[member]
            for index in range(wanting[member]):
                clause = mine[index]
                if not kept.isdisjoint(clause):
                    continue
                if index >= plain and any(literal < 0 and -literal not in solution for literal in clause):
                    continue  # held by a package the solution leaves out
                chosen = next(literal for literal in clause if literal in solution)
                kept.add(chosen)
                queue.append(chosen)
        return frozenset(kept)

    def holds(self, members: frozenset[int]) -> bool:
        """Whether no rule of a member forbids what the set holds (its
        dependencies are met: it is a union of solutions and one package
        whose dependencies each have a member)."""
        conflicts = self.conflicts
        for member in members & self.forbidding:
            excluded, rest, groups = conflicts[member]
            if not members.isdisjoint(excluded):
                return False
            for clause in rest:
                if not any((literal in members) if literal > 0 else (-literal not in members) for literal in clause):
                    return False
            for group in groups:
                parts = self.parts(group)
                if len(parts) < len(members):
                    hit = {part for n, part in parts.items() if n in members}
                else:
                    hit = {parts[n] for n in members if n in parts}
                if len(hit) > 1:
                    return False
        return True

    def combine(self, number: int) -> frozenset[int] | None:
        """A solution holding the package made of solutions of its
        dependencies (what it holds beyond the base), or None when one is
        unknown or they do not fit."""
        base = self.base
        members: set[int] = {number}
        clauses, known = self.clauses[number], self.known
        for index in range(self.dependencies[number]):
            clause = clauses[index]
            for literal in clause:
                if literal in members or literal in base:
                    break
            else:
                for literal in clause:
                    found = known(literal)
                    if found is not None:
                        members |= found
                        break
                else:
                    return None
        return frozenset(members) if self.holds(base.union(members)) else None

    def nearby(self, number: int, base: frozenset[int]) -> list[int] | None:
        """The package and every known solution of each alternative of its
        dependencies, or None when one of them has none."""
        members: set[int] = set(base)
        for index in range(self.dependencies[number]):
            known = [found for found in map(self.known, self.clauses[number][index]) if found is not None]
            if not known:
                return None
            members.update(*known)
        members.discard(number)
        return [number, *members]

    def order(self) -> list[int]:
        """Every package after what it reaches, as far as cycles allow."""
        done = bytearray(len(self.universe) + 1)
        order: list[int] = []
        reaches = self.reaches
        for root in range(1, len(self.universe) + 1):
            if done[root]:
                continue
            done[root] = 1
            stack = [(root, iter(reaches[root]))]
            while stack:
                node, children = stack[-1]
                for child in children:
                    if not done[child]:
                        done[child] = 1
                        stack.append((child, iter(reaches[child])))
                        break
                else:
                    stack.pop()
                    order.append(node)
        return order

    def run(self) -> None:
        """Dependencies before what needs them: most packages are settled by
        joining solutions of their dependencies, the rest by the solver."""
        self.rule_out_missing()
        reason, unsolvable, solved = self.reason, self.unsolvable, self.solved
        base: frozenset[int] = frozenset()
        if self.essential:
            first = next((n for numbers in self.essential for n in numbers if n not in reason), None)
            if first is None or not self.solve_base(first):
                return  # nothing can be installed
            base = self.base = self.solutions[first]
            self.solutions = {member: found - base for member, found in self.solutions.items()}
        needed = bytearray(len(self.universe) + 1)  # reached by another package
        for targets in self.reaches:
            for target in targets:
                needed[target] = 1
        for number in self.order():
            if solved[number] or number in reason or number in unsolvable:
                continue
            union = self.combine(number)
            if union is None:
                # The solutions of its dependencies do not fit together: first
                # the solver on them and their alternatives' (a small problem),
                # then on the whole cone.
                within = self.nearby(number, base)
                if within is None or not self.solve(number, within):
                    self.solve(number)
            else:
                solved[number] = 1
                if needed[number]:
                    self.solutions[number] = union

    def solve_base(self, first: int) -> bool:
        """Solves the essential packages, of the native architecture where
        they can be: most packages need those, and a base of another
        architecture's would conflict with every solution that does."""
        names, every = self.universe.names, self.essential
        native = [tuple(n for n in numbers if ":" not in names[n]) or numbers for numbers in every]
        if native != every and first in (n for numbers in native for n in numbers):
            self.essential = native
            try:
                if self.solve(first, self.cone(first)):  # within a cone: no verdict when it fails
                    return True
            finally:
                self.essential = every
        return self.solve(first)

    def decide(self, number: int) -> None:
        """One package's verdict, from its cone alone (what --explain needs,
        without deciding every other package)."""
        if not self.missing_ruled_out:
            self.rule_out_missing()
        if not self.solved[number] and number not in self.reason and number not in self.unsolvable:
            self.solve(number)

    def installable(self, number: int) -> bool:
        return bool(self.solved[number])

    # -- explanations

    def rule_text(self, source: tuple[str, Any]) -> str:
        """The rule as its field has it, bound and alternatives included."""
        key, rule = source
        if key == "one version":
            return f"another version of {rule}"
        if key == SAME_NAME:
            return f"shares its name with {notation.render_same_name([rule])[0]}"
        try:
            if key in NEGATED:
                return f"conflicts with {notation.conflict_text(rule)}"
            if isinstance(rule, Cmp) and isinstance(rule.lhs, SpecOption):
                name, bound = notation.bound_text(rule)
                return f"depends on {base_name(name)}{bound}"
            return f"depends on {notation.render_group(rule)}"
        except ValueError:
            return f"{key}: {rule!r}"

    def sharing(self, package: int, group: int, members: set[int]) -> list[int]:
        """The members in the group's other parts than the package's own."""
        parts = self.parts(group)
        mine = parts.get(package)
        return sorted(member for member in members if parts.get(member, mine) != mine)

    def path(self, start: int, goal: int, cone: set[int]) -> list[int]:
        """A shortest chain of dependencies to goal inside cone, from start,
        else from an essential package (which every solution holds)."""
        starts = [start] + [n for numbers in self.essential for n in numbers if n in cone and n != start]
        previous = {}
        for first in starts:
            previous[first] = first
            queue = deque([first])
            while queue and goal not in previous:
                current = queue.popleft()
                for other in self.reaches[current]:
                    if other in cone and other not in previous:
                        previous[other] = current
                        queue.append(other)
            if goal in previous:
                break
        chain = [goal]
        while previous[chain[-1]] != chain[-1]:
            chain.append(previous[chain[-1]])
        return chain[::-1]

    def chain_lines(self, chain: list[int]) -> list[str]:
        label = self.universe.label
        lines = []
        for here, there in itertools.pairwise(chain):
            index = next(i for i, clause in enumerate(self.clauses[here]) if there in clause)
            lines.append(f"  {label(here)} {self.rule_text(self.sources[here][index])} ({label(there)})")
        return lines

    def explain(self, number: int) -> list[str]:
        """Why the package cannot be installed, as a chain of packages from it."""
        label = self.universe.label
        if self.solved[number]:
            return [f"{label(number)} can be installed"]
        if self.reason.get(number) == ESSENTIAL:
            numbers = next(numbers for numbers in self.essential if all(n in self.reason for n in numbers))
            return [f"{label(number)} cannot be installed: the essential package {label(numbers[0])} cannot"]
        if number in self.reason:
            lines = [f"{label(number)} cannot be installed: a dependency is missing"]
            seen = set()
            while number not in seen and self.reason.get(number, ESSENTIAL) != ESSENTIAL:
                seen.add(number)
                index = self.reason[number]
                clause = self.clauses[number][index]
                text = self.rule_text(self.sources[number][index])
                if not clause:
                    lines.append(f"  {label(number)} {text}, {self.missing_text(number, index)}")
                    break
                lines.append(f"  {label(number)} {text}, and none of {', '.join(label(n) for n in sorted(clause))} "
                             "can be installed")
                number = min(clause)
            return lines
        return self.explain_conflict(number)

    def missing_text(self, number: int, index: int) -> str:
        """Why no package meets a dependency: none has the names, or which
        versions of them there are."""
        universe = self.universe
        source = self.sources[number][index]
        text = self.rule_text(source).removeprefix("depends on ")
        written = {part.strip().split(" ")[0].split(":")[0] for part in text.replace(" | ", ",").split(",")}
        names = sorted({name for name in notation.rule_names(source[1])
                        if name in universe.by_name and base_name(name) in written})
        if not names:
            return "which no package provides"
        return "which no version meets: there are " + "; ".join(
            f"{name} {', '.join(universe.versions[n] for n in universe.by_name[name])}" for name in names)

    def explain_conflict(self, number: int) -> list[str]:
        """The conflicts without which the package could be installed: each
        one kept only if the problem becomes solvable without it."""
        cone = self.cone(number)
        members = set(cone)
        # A clause that forbids only packages outside the cone holds there
        # anyway: trying it costs a solver call and changes nothing.
        candidates = [(package, index) for package in cone
                      for index in range(self.dependencies[package], len(self.clauses[package]))
                      if any(literal < 0 and -literal in members for literal in self.clauses[package][index])]
        candidates += [(package, -1 - position) for package in cone
                       for position, (group, _) in enumerate(self.shared.get(package, ()))
                       if self.sharing(package, group, members)]
        dropped: set[tuple[int, int]] = set()
        for candidate in candidates:
            dropped.add(candidate)
            if pycosat.solve(self.problem(cone, frozenset(dropped))) != "UNSAT":
                dropped.discard(candidate)
        kept = [candidate for candidate in candidates if candidate not in dropped]
        label = self.universe.label
        lines = [f"{label(number)} cannot be installed: a conflict"]
        for package, index in kept:
            if index < 0:
                others = self.sharing(package, self.shared[package][-1 - index][0], members)
                names = ", ".join(dict.fromkeys(self.universe.names[other] for other in others))
                text = f"{self.rule_text(self.shared[package][-1 - index][1])} (provided by {names})"
            else:
                clause = self.clauses[package][index]
                others = [-literal for literal in clause if literal < 0 and -literal in members]
                text = self.rule_text(self.sources[package][index])
            lines.append(f"  {label(package)} {text} ({', '.join(label(other) for other in others)})")
            for end in (package, *others):
                if end != number:
                    lines += ["  " + line for line in self.chain_lines(self.path(number, end, members))]
        return lines


# ------------------------------------------------------------------- the job

def check(paths: Paths, native: str | None = None, every: bool = True) -> tuple[Checker, dict[str, float]]:
    """Builds, reads back and decides (every package, or none yet: see
    Checker.decide); the seconds each step took. Deciding every package
    lets go of the rules first: what explains a verdict is not needed."""
    times = {}
    started = time.perf_counter()
    universe = Universe()
    description = describe_index(paths, keep=universe.add, native=native, keep_outlines=False)
    times["build"] = time.perf_counter() - started
    del description
    started = time.perf_counter()
    checker = Checker(universe)
    times["read"] = time.perf_counter() - started
    started = time.perf_counter()
    if every:
        checker.forget_rules()
        checker.run()
    times["solve"] = time.perf_counter() - started
    return checker, times


def broken(checker: Checker) -> Iterator[int]:
    for number in range(1, len(checker.universe) + 1):
        if not checker.installable(number):
            yield number
