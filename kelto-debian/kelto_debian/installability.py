"""Which packages of a Debian index can be installed, decided from kelto's
objects: each package's rules read back through the constraints' own
properties, and a SAT solver on each package's cone (the checker package
holds the encoding, the cones, the verdicts and the explanations)."""

from __future__ import annotations

import gc
import time
from collections.abc import Iterator
from contextlib import contextmanager

from .checker import ESSENTIAL, Checker, Explainer, Unsupported, Universe, have_solver, pycosat
from .outlines import Paths, describe_index
from .progress import Progress

__all__ = ["ESSENTIAL", "Checker", "Explainer", "Unsupported", "Universe", "broken", "check", "have_solver",
           "pycosat"]


@contextmanager
def collector_paused() -> Iterator[None]:
    """The cyclic garbage collector off, as it was again at the end. Building
    and reading an index makes millions of objects that live until the check
    ends and form no cycles: the collector's passes over them took a third of
    a whole index's check (sid amd64: 10.3 s with it, 7.4 s without, the same
    peak memory)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def check(paths: Paths, native: str | None = None, every: bool = True, explained: bool = False,
          progress: Progress | None = None) -> tuple[Checker, dict[str, float]]:
    """Builds, reads back and decides (every package, or none yet: see
    Checker.decide); the seconds each step took. Deciding every package
    lets go of the rules first, but for the rule of each clause when the
    verdicts are to be explained."""
    with collector_paused():
        return _check(paths, native, every, explained, progress)


def _check(paths: Paths, native: str | None, every: bool, explained: bool,
           progress: Progress | None) -> tuple[Checker, dict[str, float]]:
    times = {}
    started = time.perf_counter()
    universe = Universe()
    universe.forget_as_read = every and not explained
    if progress is not None:
        progress.phase("building the outlines")
    description = describe_index(paths, keep=universe.add, native=native, keep_outlines=False,
                                 progress=None if progress is None else progress.step)
    times["build"] = time.perf_counter() - started
    universe.native = description.facts.native
    del description
    started = time.perf_counter()
    if progress is not None:
        progress.phase("reading the rules back")
    checker = Checker(universe)
    times["read"] = time.perf_counter() - started
    started = time.perf_counter()
    if every:
        checker.forget_rules(keep_sources=explained)
        if progress is not None:
            progress.phase("solving")
        checker.run(None if progress is None else progress.step)
    times["solve"] = time.perf_counter() - started
    return checker, times


def broken(checker: Checker) -> Iterator[int]:
    for number in range(1, len(checker.universe) + 1):
        if not checker.installable(number):
            yield number
