"""Why a package cannot be installed: the chain of dependencies down to the
one no package meets, or the conflicts without which it could be installed,
each with the chains that bring its packages in. Read from the clauses and
the rules they came from, on the package's cone only."""

from __future__ import annotations

import itertools
from collections import deque
from dataclasses import dataclass

from kelto.package.constraint import Cmp, SpecOption

from .. import notation
from ..outlines import SAME_NAME, base_name
from ..relations import NEGATED
from .encoding import ONE_VERSION, Source
from .verdicts import ESSENTIAL, Checker, pycosat


class Explainer:
    """Explanations of one Checker's verdicts; the checker must have kept
    its rules (Checker.forget_rules lets them go)."""

    def __init__(self, checker: Checker) -> None:
        self.checker = checker
        self.encoding = checker.encoding

    # -- explanations

    def rule_text(self, source: Source) -> str:
        """The rule as its field has it, bound and alternatives included."""
        key, rule = source
        if key == ONE_VERSION:
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
        parts = self.checker.parts(group)
        mine = parts.get(package)
        return sorted(member for member in members if parts.get(member, mine) != mine)

    def path(self, start: int, goal: int, cone: set[int]) -> list[int]:
        """A shortest chain of dependencies to goal inside cone, from start,
        else from an essential package (which every solution holds)."""
        starts = [start] + [n for numbers in self.checker.essential for n in numbers if n in cone and n != start]
        previous = {}
        for first in starts:
            previous[first] = first
            queue = deque([first])
            while queue and goal not in previous:
                current = queue.popleft()
                for other in self.checker.reaches[current]:
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
        label = self.checker.universe.label
        lines = []
        for here, there in itertools.pairwise(chain):
            index = next(i for i, clause in enumerate(self.checker.clauses[here]) if there in clause)
            lines.append(f"  {label(here)} {self.rule_text(self.encoding.sources[here][index])} ({label(there)})")
        return lines

    def explain(self, number: int) -> list[str]:
        """Why the package cannot be installed, as a chain of packages from it."""
        label = self.checker.universe.label
        if self.checker.solved[number]:
            return [f"{label(number)} can be installed"]
        if self.checker.reason.get(number) == ESSENTIAL:
            numbers = next(numbers for numbers in self.checker.essential if all(n in self.checker.reason for n in numbers))
            return [f"{label(number)} cannot be installed: the essential package {label(numbers[0])} cannot"]
        if number in self.checker.reason:
            lines = [f"{label(number)} cannot be installed: a dependency is missing"]
            seen = set()
            while number not in seen and self.checker.reason.get(number, ESSENTIAL) != ESSENTIAL:
                seen.add(number)
                index = self.checker.reason[number]
                clause = self.checker.clauses[number][index]
                text = self.rule_text(self.encoding.sources[number][index])
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
        universe = self.checker.universe
        source = self.encoding.sources[number][index]
        text = self.rule_text(source).removeprefix("depends on ")
        written = {part.strip().split(" ")[0].split(":")[0] for part in text.replace(" | ", ",").split(",")}
        names = sorted({name for name in notation.rule_names(source[1])
                        if name in universe.by_name and base_name(name) in written})
        if not names:
            return "which no package provides"
        return "which no version meets: there are " + "; ".join(
            f"{name} {', '.join(universe.versions[n] for n in universe.by_name[name])}" for name in names)

    def culprits(self, number: int) -> tuple[set[int], list[tuple[int, int, str, list[int]]]]:
        """The package's cone, and the conflicts without which the package
        could be installed, each kept only if the problem becomes solvable
        without it: (package, index of its clause or -1 - position of its
        shared rule, the rule's text, the packages of the cone it forbids)."""
        checker = self.checker
        cone = checker.cone(number, whole=True)
        members = set(cone)
        clauses, shared = checker.clauses, checker.shared
        # A clause that forbids only packages outside the cone holds there
        # anyway: trying it costs a solver call and changes nothing.
        candidates = [(package, index) for package in cone
                      for index in range(checker.dependencies[package], len(clauses[package]))
                      if any(literal < 0 and -literal in members for literal in clauses[package][index])]
        candidates += [(package, -1 - position) for package in cone
                       for position, (group, _) in enumerate(shared.get(package, ()))
                       if self.sharing(package, group, members)]
        dropped: set[tuple[int, int]] = set()
        for candidate in candidates:
            dropped.add(candidate)
            if pycosat.solve(checker.problem(cone, frozenset(dropped))) != "UNSAT":
                dropped.discard(candidate)
        found = []
        for package, index in candidates:
            if (package, index) in dropped:
                continue
            if index < 0:
                group, source = shared[package][-1 - index]
                others = self.sharing(package, group, members)
                text = self.rule_text(source)
            else:
                others = [-literal for literal in clauses[package][index] if literal < 0 and -literal in members]
                text = self.rule_text(self.encoding.sources[package][index])
            found.append((package, index, text, others))
        return members, found

    def explain_conflict(self, number: int) -> list[str]:
        """The conflicts without which the package could be installed, with
        the chains that bring their packages in."""
        members, found = self.culprits(number)
        universe = self.checker.universe
        label = universe.label
        lines = [f"{label(number)} cannot be installed: a conflict"]
        for package, index, text, others in found:
            if index < 0:
                names = ", ".join(dict.fromkeys(universe.names[other] for other in others))
                text = f"{text} (provided by {names})"
            lines.append(f"  {label(package)} {text} ({', '.join(label(other) for other in others)})")
            for end in (package, *others):
                if end != number:
                    lines += ["  " + line for line in self.chain_lines(self.path(number, end, members))]
        return lines

    # -- the same, as data (the YAML report)

    def links(self, chain: list[int]) -> list[Link]:
        """A chain of packages as links: each package and the dependency of it
        that the next one meets."""
        clauses, sources = self.checker.clauses, self.encoding.sources
        found = []
        for here, there in itertools.pairwise(chain):
            index = next(i for i, clause in enumerate(clauses[here]) if there in clause)
            found.append(Link(here, relation_text(self.rule_text(sources[here][index]))))
        return found

    def reasons(self, number: int) -> list[Missing | Conflict]:
        """Why the package cannot be installed ([] when it can): the
        dependency that nothing meets at the end of a chain of them from the
        package, or each conflict that keeps it out with the chains that
        bring in both its sides."""
        checker = self.checker
        if checker.solved[number]:
            return []
        if checker.reason.get(number) == ESSENTIAL:
            numbers = next(numbers for numbers in checker.essential if all(n in checker.reason for n in numbers))
            if numbers[0] == number or checker.reason.get(numbers[0]) == ESSENTIAL:
                return []
            return self.reasons(numbers[0])
        if number in checker.reason:
            chain: list[int] = []
            seen = set()
            while number not in seen:
                seen.add(number)
                chain.append(number)
                index = checker.reason[number]
                clause = checker.clauses[number][index]
                if not clause:
                    text = relation_text(self.rule_text(self.encoding.sources[number][index]))
                    return [Missing(number, text, self.links(chain))]
                number = min(clause)
                if checker.reason.get(number, ESSENTIAL) == ESSENTIAL:
                    break
            return []  # a cycle of packages each missing the next: no chain ends in a missing one
        members, found = self.culprits(number)
        reasons: list[Missing | Conflict] = []
        for package, _, text, others in found:
            first = self.links(self.path(number, package, members)) if package != number else []
            for other in others:
                second = self.links(self.path(number, other, members)) if other != number else []
                reasons.append(Conflict(package, relation_text(text), other, first, second))
        return reasons


def relation_text(rule_text: str) -> str:
    """The relation of a rule's text, as the field writes it."""
    for prefix in ("depends on ", "conflicts with "):
        if rule_text.startswith(prefix):
            return rule_text[len(prefix):]
    return rule_text


@dataclass(frozen=True, slots=True)
class Link:
    """A package of a chain, and its dependency that the next one meets."""

    package: int
    depends: str


@dataclass(frozen=True, slots=True)
class Missing:
    """`package` has a dependency that no installable package meets;
    `chain` leads from the package checked to it (the last link's package
    depends on `package`; empty when it is the package checked)."""

    package: int
    dependency: str
    chain: list[Link]


@dataclass(frozen=True, slots=True)
class Conflict:
    """`first` conflicts with `second` (or shares a rule of at most one
    with it), both needed by the package checked: the chains lead to each."""

    first: int
    conflict: str
    second: int
    chain1: list[Link]
    chain2: list[Link]
