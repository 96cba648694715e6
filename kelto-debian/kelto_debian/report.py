"""Verdicts as dose-distcheck's YAML report: `output-version`,
`native-architecture`, `foreign-architecture` (when there are others),
`report` with an entry per package listed (`package`, `version`,
`architecture`, `status`, and `reasons` when explained), then
`total-packages` and `broken-packages`.

A scalar is written plain when YAML reads it back as the same string, and
double-quoted otherwise (a version "1.10" plain would read as a number)."""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterable, Iterator
from typing import TextIO

from .checker import Checker, Explainer
from .checker.explanation import Conflict, Link, Missing
from .outlines import base_name

OUTPUT_VERSION = "1.2"

# Plain scalars a YAML reader takes for strings: a letter first, then no
# character that starts or ends a YAML construct, and no word YAML 1.1 reads
# as a boolean or null.
PLAIN = re.compile(r"[A-Za-z][A-Za-z0-9.+~_-]*")
RESERVED = {"y", "n", "yes", "no", "true", "false", "on", "off", "null"}


def scalar(text: str) -> str:
    if PLAIN.fullmatch(text) and text.lower() not in RESERVED:
        return text
    return json.dumps(text)  # a JSON string is a YAML double-quoted scalar


class Report:
    """The lines of a report over one checker's verdicts."""

    def __init__(self, checker: Checker, explainer: Explainer | None, native: str, foreign: Iterable[str]) -> None:
        self.checker, self.explainer = checker, explainer
        self.native, self.foreign = native, sorted(set(foreign))
        universe = checker.universe
        self.names, self.versions, self.architectures = universe.names, universe.versions, universe.architectures

    def package(self, number: int, indent: str) -> Iterator[str]:
        yield f"{indent}package: {scalar(base_name(self.names[number]))}"
        yield f"{indent}version: {scalar(self.versions[number])}"
        yield f"{indent}architecture: {scalar(self.architectures[number])}"

    def chain(self, key: str, links: list[Link], indent: str) -> Iterator[str]:
        if not links:
            return
        yield f"{indent}{key}:"
        yield f"{indent} -"
        yield f"{indent}  depchain:"
        for link in links:
            yield f"{indent}   -"
            yield from self.package(link.package, indent + "    ")
            yield f"{indent}    depends: {scalar(link.depends)}"

    def reason(self, reason: Missing | Conflict) -> Iterator[str]:
        yield "   -"
        if isinstance(reason, Missing):
            yield "    missing:"
            yield "     pkg:"
            yield from self.package(reason.package, "      ")
            yield f"      unsat-dependency: {scalar(reason.dependency)}"
            yield from self.chain("depchains", reason.chain, "     ")
        else:
            yield "    conflict:"
            yield "     pkg1:"
            yield from self.package(reason.first, "      ")
            yield f"      unsat-conflict: {scalar(reason.conflict)}"
            yield "     pkg2:"
            yield from self.package(reason.second, "      ")
            yield from self.chain("depchain1", reason.chain1, "     ")
            yield from self.chain("depchain2", reason.chain2, "     ")

    def lines(self, numbers: Iterable[int], progress: Callable[[int, int], None] | None = None) -> Iterator[str]:
        """The report on the packages `numbers`, with reasons for each one
        broken when there is an explainer; progress(done, total) is told of
        each package reported."""
        checker = self.checker
        yield f"output-version: {OUTPUT_VERSION}"
        yield f"native-architecture: {scalar(self.native)}"
        if self.foreign:
            yield "foreign-architecture: " + ",".join(self.foreign)
        listed = list(numbers)
        broken = 0
        yield "report:" if listed else "report: []"
        for done, number in enumerate(listed, 1):
            if progress is not None:
                progress(done, len(listed))
            ok = checker.installable(number)
            broken += not ok
            yield " -"
            yield from self.package(number, "  ")
            yield f"  status: {'ok' if ok else 'broken'}"
            if not ok and self.explainer is not None:
                reasons = self.explainer.reasons(number)
                if reasons:
                    yield "  reasons:"
                    for reason in reasons:
                        yield from self.reason(reason)
        yield f"total-packages: {len(checker.universe)}"
        yield f"broken-packages: {sum(1 for n in range(1, len(checker.universe) + 1) if not checker.installable(n))}"

    def write(self, numbers: Iterable[int], stream: TextIO,
              progress: Callable[[int, int], None] | None = None) -> None:
        for line in self.lines(numbers, progress):
            stream.write(line + "\n")
