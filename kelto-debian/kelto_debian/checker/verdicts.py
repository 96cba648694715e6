"""Every package's verdict: first the packages that a dependency no
installable package meets rules out (no solver needed, and a chain to
show); then, package by package, the solver on the package's cone."""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable
from typing import Any

from .cone import Cones
from .encoding import LARGE, Encoding, Universe

try:
    import pycosat  # type: ignore[import-not-found, unused-ignore]
except ImportError:  # reported by the command, which is the only user of the solver
    pycosat = None

ESSENTIAL = -1  # the reason of every package when an essential package cannot be installed


__all__ = ["ESSENTIAL", "Checker", "have_solver", "pycosat", "solver"]


def have_solver() -> bool:
    return pycosat is not None


def solver() -> Any:
    """The SAT solver's module (have_solver says whether there is one)."""
    return pycosat


class Checker:
    """Every package's verdict. A solution proves every package in it
    installable, so most packages are settled by another's solution, or
    by joining the solutions of their dependencies."""

    def __init__(self, universe: Universe) -> None:
        self.universe = universe
        self.encoding = encoding = Encoding(universe)
        self.clauses, self.dependencies, self.wanting = encoding.clauses, encoding.dependencies, encoding.wanting
        self.reaches, self.conflicts, self.shared = encoding.reaches, encoding.conflicts, encoding.shared
        self.forbidding, self.parts = encoding.forbidding, encoding.parts
        count = len(universe)
        self.reason: dict[int, int] = {}  # package ruled out -> index of the clause no installable package meets
        self.unsolvable: set[int] = set()
        self.cones = Cones(encoding, self.reason, self.unsolvable)
        self.cone, self.problem = self.cones.cone, self.cones.problem
        self.solved = bytearray(count + 1)
        self.solver_calls = 0
        self.homes: list[int] | None = None  # per package, its architecture's number (cone_at_home)
        self.near: dict[Any, tuple[int, ...]] = {}  # what a package reaches at home (cone_at_home)
        # A solution known to hold the package: a set of packages that meets
        # every rule of each of its members, together with the base. Shared
        # by all its members. The base is the solution of the essential
        # packages, once known, which every solution holds: kept once, and
        # not in each of the others, which are mostly the base.
        # Per package, a solution holding it (beyond the base), as a tuple:
        # a frozenset of the same members takes four times the memory, and
        # most packages keep one.
        self.solutions: dict[int, tuple[int, ...]] = {}
        self.unneeded: dict[int, frozenset[int]] = {}  # whole solutions that hold the package, with the base
        self.missing_ruled_out = False

    @property
    def essential(self) -> list[tuple[int, ...]]:
        """Of each essential package, its versions (of every architecture,
        or of the native one while the base is solved)."""
        return self.cones.essential

    @essential.setter
    def essential(self, value: list[tuple[int, ...]]) -> None:
        self.cones.essential = value

    @property
    def base(self) -> frozenset[int]:
        return self.cones.base

    @base.setter
    def base(self, value: frozenset[int]) -> None:
        self.cones.base = value

    def forget_rules(self, keep_sources: bool = False) -> None:
        self.encoding.forget_rules(keep_sources)

    def rule_out_missing(self) -> None:
        """Packages a dependency clause of which no installable package meets,
        found from the packages with an unmet dependency outwards."""
        self.missing_ruled_out = True
        count = len(self.universe)
        clauses, dependencies, reason = self.clauses, self.dependencies, self.reason
        # Who names each package in a dependency clause, each once, in order.
        named_by: list[list[int]] = [[] for _ in range(count + 1)]
        queue: deque[int] = deque()
        # A large clause held by many packages (one name met in every
        # architecture) is counted down once, not scanned by each holder:
        # by its id, how many of its packages are left, and who holds it.
        left: dict[int, int] = {}
        holders: dict[int, list[tuple[int, int]]] = {}
        large_named_by: dict[int, list[int]] = {}
        for number in range(1, count + 1):
            mine = clauses[number]
            for index in range(dependencies[number]):
                clause = mine[index]
                if not clause and number not in reason:
                    reason[number] = index
                    queue.append(number)
                if len(clause) >= LARGE:
                    key = id(clause)
                    if key not in holders:
                        holders[key] = []
                        left[key] = len(clause)
                        for literal in clause:
                            large_named_by.setdefault(literal, []).append(key)
                    holders[key].append((number, index))
                    continue
                for literal in clause:
                    namers = named_by[literal]
                    if not namers or namers[-1] != number:
                        namers.append(number)
        # A clause is unmet once every package in it has left the queue.
        gone = bytearray(count + 1)
        while queue:
            leaving = queue.popleft()
            gone[leaving] = 1
            for key in large_named_by.get(leaving, ()):
                left[key] -= 1
                if left[key] == 0:
                    for number, index in holders[key]:
                        if number not in reason:
                            reason[number] = index
                            queue.append(number)
            for number in named_by[leaving]:
                if number in reason:
                    continue
                mine = clauses[number]
                for index in range(dependencies[number]):
                    clause = mine[index]
                    if len(clause) < LARGE and leaving in clause and all(gone[literal] for literal in clause):
                        reason[number] = index
                        queue.append(number)
                        break
        for numbers in self.essential:
            if all(number in self.reason for number in numbers):  # then nothing can be installed
                for number in range(1, len(self.universe) + 1):
                    self.reason.setdefault(number, ESSENTIAL)

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
        found_beyond, needed_beyond = found - base, tuple(needed - base)
        unneeded = self.unneeded
        for member in found:
            solved[member] = 1
            if member in needed:
                solutions.setdefault(member, needed_beyond)
            elif member not in solutions:
                unneeded.setdefault(member, found)
        return True

    def known(self, number: int) -> tuple[int, ...] | None:
        """A solution known to hold the package, beyond the base. One found
        beside another package's is cut to what this one needs: the solver
        also installs what nothing needs, opensysusers where systemd would
        do, and that would spoil every solution joined to it."""
        found = self.solutions.get(number)
        if found is None:
            whole = self.unneeded.pop(number, None)
            if whole is not None:
                found = self.solutions[number] = tuple(self.needed_in(whole, number) - self.base)
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
                        members.update(found)
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

    def order(self, roots: Iterable[int] | None = None) -> list[int]:
        """Every package (or the roots and what they reach) after what it
        reaches, as far as cycles allow."""
        done = bytearray(len(self.universe) + 1)
        order: list[int] = []
        reaches = self.reaches
        for root in range(1, len(self.universe) + 1) if roots is None else roots:
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

    def run(self, progress: Callable[[int, int], None] | None = None, roots: Iterable[int] | None = None) -> None:
        """Dependencies before what needs them: most packages are settled by
        joining solutions of their dependencies, the rest by the solver.
        progress(done, total) is told of each package decided. Given roots,
        only they and what they reach are decided."""
        self.rule_out_missing()
        reason, unsolvable, solved = self.reason, self.unsolvable, self.solved
        base: frozenset[int] = frozenset()
        if self.essential:
            first = next((n for numbers in self.essential for n in numbers if n not in reason), None)
            if first is None or not self.solve_base(first):
                return  # nothing can be installed
            base = self.base = frozenset(self.solutions[first])
            self.solutions = {member: tuple(n for n in found if n not in base)
                              for member, found in self.solutions.items()}
        needed = bytearray(len(self.universe) + 1)  # reached by another package
        for targets in self.reaches:
            for target in targets:
                needed[target] = 1
        order = self.order(roots)
        total = len(order)
        for done, number in enumerate(order, 1):
            if progress is not None:
                progress(done, total)
            if solved[number] or number in reason or number in unsolvable:
                continue
            if self.doomed(number):
                unsolvable.add(number)
                continue
            union = self.combine(number)
            if union is None:
                # The solutions of its dependencies do not fit together: first
                # the solver on them and their alternatives' (a small problem),
                # then on the whole cone.
                # With many architectures, first the cone at home: the
                # alternatives' solutions may span every architecture.
                home = self.cone_at_home(number)
                if home is None or not self.solve(number, home):
                    within = self.nearby(number, base)
                    if within is None or not self.solve(number, within):
                        self.solve(number)
            else:
                solved[number] = 1
                if needed[number]:
                    self.solutions[number] = tuple(union)

    def cone_at_home(self, number: int) -> list[int] | None:
        """The package's cone through packages of its own architecture and
        the native one only (None when that is the whole cone). With many
        architectures, a package's whole cone spans all of them ("foreign"
        and ":any" reach across), while a solution is almost always found at
        home: a problem of a size that does not grow with the number of
        architectures."""
        homes = self.homes
        if homes is None:
            homes = self.homes = self.architecture_numbers()
        if len(set(homes)) <= 2:
            return None  # one or two architectures: home is everywhere
        mine = homes[number]
        reason, unsolvable, reaches, near = self.reason, self.unsolvable, self.reaches, self.near
        order = [number] + [n for numbers in self.essential for n in numbers
                            if n != number and n not in reason and n not in unsolvable]
        seen = set(order)
        left_out = False
        for current in order:
            # What it reaches at home, once per package (and per home, for a
            # native one): a package may reach one name of every architecture.
            key = (current, mine) if homes[current] == 0 else current
            found = near.get(key)
            if found is None:
                everywhere = reaches[current]
                found = near[key] = tuple(o for o in everywhere if homes[o] == 0 or homes[o] == mine)
                if len(found) < len(everywhere):
                    near[key, "cut"] = ()
            if not left_out and (key, "cut") in near:
                left_out = True
            for other in found:
                if other not in seen and other not in reason and other not in unsolvable:
                    seen.add(other)
                    order.append(other)
        return order if left_out else None

    def architecture_numbers(self) -> list[int]:
        """Per package, a number for its outline's architecture: 0 for the
        native one (and "all"), from 1 for the others."""
        numbers: dict[str, int] = {"": 0}
        return [numbers.setdefault(name.partition(":")[2], len(numbers)) for name in self.universe.names]

    def doomed(self, number: int) -> bool:
        """Whether a dependency clause of the package holds only packages
        already found uninstallable: then no solver call is needed to rule
        it out (most unbuildable sources of a cross check are so)."""
        reason, unsolvable, clauses = self.reason, self.unsolvable, self.clauses[number]
        for index in range(self.dependencies[number]):
            if all(literal in unsolvable or literal in reason for literal in clauses[index]):
                return True
        return False

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
