"""The restrictions of a build relation, evaluated as dpkg evaluates them:
architecture lists (`[amd64 !hurd-any]`), whose wildcards come from dpkg's
own architecture tables, and build-profile formulas (`<!nocheck> <cross>`).

An architecture is a tuple (abi, libc, os, cpu) read from dpkg's tupletable,
whose `<cpu>` lines stand for every cpu of the cputable. A wildcard names
some of the four parts and "any" for the others: "linux-any" is
(any, any, linux, any), "any-arm64" (any, any, any, arm64)."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence

DPKG_TABLES = "/usr/share/dpkg"


class UnknownTables(OSError):
    """dpkg's architecture tables cannot be read."""


def table_rows(path: str) -> Iterable[list[str]]:
    try:
        with open(path, encoding="utf-8") as table:
            for line in table:
                if line.strip() and not line.startswith("#"):
                    yield line.split()
    except OSError as error:
        raise UnknownTables(f"{path}: {error.strerror or error}") from None


class Architectures:
    """dpkg's architecture names and their tuples, and its matching of an
    architecture against a name or wildcard (Dpkg::Arch's debarch_is)."""

    def __init__(self, tables: str = DPKG_TABLES) -> None:
        cpus = [row[0] for row in table_rows(os.path.join(tables, "cputable"))]
        self.tuples: dict[str, tuple[str, ...]] = {}
        taken: set[tuple[str, ...]] = set()
        for row in table_rows(os.path.join(tables, "tupletable")):
            if len(row) < 2:
                continue
            tuple_text, name = row[0], row[1]
            if "<cpu>" in tuple_text:
                # A generic line gives way to an architecture or tuple an earlier line named.
                for cpu in cpus:
                    expanded = tuple(tuple_text.replace("<cpu>", cpu).split("-", 3))
                    arch = name.replace("<cpu>", cpu)
                    if arch not in self.tuples and expanded not in taken:
                        self.tuples[arch] = expanded
                        taken.add(expanded)
            else:
                expanded = tuple(tuple_text.split("-", 3))
                self.tuples[name] = expanded
                taken.add(expanded)
        self._is: dict[tuple[str, str], bool] = {}

    def tuple_of(self, arch: str) -> tuple[str, ...] | None:
        if arch.startswith("linux-"):  # dpkg still reads "linux-CPU" as CPU
            arch = arch[6:].partition("-")[0]
        return self.tuples.get(arch)

    def wildcard(self, alias: str) -> tuple[str, ...] | None:
        parts = alias.split("-", 3)
        if "any" not in parts:
            return self.tuple_of(alias)
        return tuple(["any"] * (4 - len(parts)) + parts) if len(parts) > 1 else ("any",) * 4

    def matches(self, real: str, alias: str) -> bool:
        """Whether the architecture `real` is `alias`, a name or a wildcard."""
        if alias == real or alias == "any":
            return True
        key = (real, alias)
        found = self._is.get(key)
        if found is None:
            mine, wanted = self.tuple_of(real), self.wildcard(alias)
            found = mine is not None and wanted is not None and len(mine) == len(wanted) and all(
                want == "any" or want == part for part, want in zip(mine, wanted))
            self._is[key] = found
        return found

    def concerned(self, host: str, arches: Sequence[str]) -> bool:
        """Whether a relation restricted to `arches` applies on `host`,
        read in order as dpkg reads it: a name that matches settles it, a
        "!name" that matches rules it out, one that does not lets every
        other architecture in."""
        seen = False
        for arch in arches:
            arch = arch.lower()
            if arch.startswith("!"):
                if self.matches(host, arch[1:]):
                    return False
                seen = True
            elif self.matches(host, arch):
                return True
        return seen

    def known(self, arch: str) -> bool:
        return self.tuple_of(arch) is not None


_SHARED: dict[str, Architectures] = {}


def architectures(tables: str = DPKG_TABLES) -> Architectures:
    """The tables of `tables`, read once per process."""
    found = _SHARED.get(tables)
    if found is None:
        found = _SHARED[tables] = Architectures(tables)
    return found


Formula = tuple[tuple[str, ...], ...]  # lists of terms ("nocheck", "!cross"): any list whose terms all hold


def profiles_hold(formula: Formula, active: frozenset[str]) -> bool:
    """Whether a build-profile formula holds for the active profiles: some
    list all of whose terms hold, "name" when the profile is active and
    "!name" when it is not."""
    for terms in formula:
        if all((term[1:] not in active) if term.startswith("!") else (term in active) for term in terms):
            return True
    return False
