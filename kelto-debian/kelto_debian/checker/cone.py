"""A package's cone, the packages it can reach through the dependencies of
what it reaches (with the essential packages, which every solution holds),
and the cone as a problem for the SAT solver."""

from __future__ import annotations

import itertools

from .encoding import Clause, Encoding


class Cones:
    """Cones and their problems over one Encoding. The packages ruled out
    (`reason`, `unsolvable`, shared with the Checker, which fills them)
    are left out of every cone; `essential` and `base` are what every
    solution must hold."""

    def __init__(self, encoding: Encoding, reason: dict[int, int], unsolvable: set[int]) -> None:
        self.encoding = encoding
        self.reason, self.unsolvable = reason, unsolvable
        self.essential = encoding.essential
        self.base: frozenset[int] = frozenset()
        self.clauses, self.dependencies, self.reaches = encoding.clauses, encoding.dependencies, encoding.reaches
        self.shared, self.holders, self.parts = encoding.shared, encoding.holders, encoding.parts
        # Solver numbers while a problem is built, by literal: local[n] for
        # package n, and local[-n], from the list's end, its negation.
        count = len(encoding.universe)
        self.local = [1] * (count + 1) + [-1] * (count + 1)

    def cone(self, number: int, whole: bool = False) -> list[int]:
        """The package, the essential packages, and what they reach, but
        for the packages ruled out. Those ruled out by a conflict stay in a
        whole cone: an explanation goes through them to the conflict."""
        excluded, reason, reaches = (() if whole else self.unsolvable), self.reason, self.reaches
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
                avoided = self.encoding.avoided.intersection(cone)
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
