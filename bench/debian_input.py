"""The main job's input and its two implementations: one outline per package
of a Debian Packages index, built with kelto's classes or with the plain
Python peer's, by the same code (the demo's Builder, parametrised by the
classes).

Reading the index and parsing its relation fields into groups of
(name, operator, version) is done once, before any timing: that text
handling is the same Python code for both sides and says nothing about the
classes. What is timed is turning each package into an outline, as
examples/demo.py does: the rules of Pre-Depends, Depends, Conflicts, Breaks
and Recommends with every version bound (each bound's version parsed, or
kept as its text), five option values and one default.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace

REPO = Path(__file__).resolve().parent.parent
# The benchmarks reach the Debian tool's package, kelto-debian/kelto_debian, this way only:
# every bench module that needs it imports this one first.
sys.path.insert(0, str(REPO / "kelto-debian"))
# The benchmark measures the main job: it reads indexes with its own reader.
from kelto_debian.index import SAMPLE, open_index, read_stanzas  # noqa: E402,F401
from kelto_debian.index import find_index as _find_index  # noqa: E402
from kelto_debian.outlines import Builder, IndexFacts, gather_facts, kelto_classes  # noqa: E402,F401  (re-exported)
from kelto_debian.model import Package  # noqa: E402
from kelto_debian.packages import prepare, read_packages  # noqa: E402,F401


def find_index(path: str | Path | None = None) -> Path:
    """The given file, else apt's own index, else the sample."""
    return Path(_find_index(str(path) if path else None))


def load_packages(path: Path | str, limit: int | None) -> list[Package]:
    """Each package of the index, its relations parsed."""
    return read_packages(str(path), limit or 0)


def plain_classes() -> SimpleNamespace:
    from peers import plain
    return SimpleNamespace(Cmp=plain.Cmp, CmpType=plain.CmpType, Depends=plain.Depends, IfThen=plain.IfThen,
                           Maximize=plain.Maximize, NumOf=plain.NumOf, SpecOption=plain.SpecOption,
                           PackageOutline=plain.PackageOutline, Version=plain.Version)


def outline_builder(classes: SimpleNamespace, packages: list[Package]) -> Callable[[Package], object]:
    """outline_for(package) over the given classes; the same code for both.
    Who provides what is gathered from `packages` first, untimed, as the
    demo does before building."""
    return Builder(classes, IndexFacts(packages)).outline


def outlines_run(classes: SimpleNamespace, packages: list[Package]) -> Callable[[], list[object]]:
    """A run that describes `packages` once, as the demo does, from a new
    Builder each time: what a Builder learns over an index (the verdict on
    each version text, which names need only their own outline) is learnt
    again in every run, never carried over from the one before."""
    facts = IndexFacts(packages)

    def run() -> list[object]:
        build = Builder(classes, facts).outline
        return [build(p) for p in packages]

    return run


def dependency_names(packages: list[Package], count: int) -> list[str]:
    """Real package names to feed Depends(name): those the index depends on,
    in index order, cycled up to `count`."""
    names: list[str] = []
    for package in packages:
        for group in package.relations.get("Depends", ()):
            names += [name for name, _, _ in group]
        if len(names) >= count:
            break
    if not names:
        names = [package.name for package in packages] or ["libc6"]
    while len(names) < count:
        names += names[: count - len(names)]
    return names[:count]


def package_names(packages: list[Package], count: int) -> list[str]:
    """The index's own package names, each once, in index order, cycled up to
    `count`: what a program describing an index makes a Depends of, with
    the index's spread of lengths."""
    names = list(dict.fromkeys(package.name for package in packages)) or ["libc6"]
    while len(names) < count:
        names += names[: count - len(names)]
    return names[:count]


def index_package_names(path: Path | str, count: int) -> list[str]:
    """package_names of the index at `path`, read without parsing the rest
    of each stanza (the profiler reads it under valgrind)."""
    names: list[str] = []
    with open_index(str(path)) as stream:
        for line in stream:
            if line.startswith(b"Package: "):
                names.append(line[9:].strip().decode())
    return package_names([Package(name, "") for name in names], count)
