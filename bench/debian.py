"""The main job's input and its two implementations: one outline per package
of a Debian Packages index, built with kelto's classes or with the plain
Python peer's, by the same code (the builder is parametrised by the classes).

Reading the index and splitting its dependency fields into groups of names
is done once, before any timing: that text handling is the same Python code
for both sides and says nothing about the classes. What is timed is turning
each package into an outline, as examples/demo.py does: a Depends per plain
dependency, NumOf([...]) >= 1 per group of alternatives, five option values
(one a version parsed from its text) and one default.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "examples"))
# The benchmark measures the main job: it reads indexes with the demo's own reader.
from demo import DEPENDENCY_NAME, SAMPLE, read_stanzas  # noqa: E402
from demo import find_index as _find_index  # noqa: E402


def find_index(path: str | Path | None = None) -> Path:
    """The given file, else apt's own uncompressed index, else the sample."""
    return Path(_find_index(str(path) if path else None))


def dependency_groups(fields: dict[str, str]) -> list[list[str]]:
    """The names of each dependency group ("a | b" is one group of two)."""
    groups = []
    for key in ("Pre-Depends", "Depends"):
        for group in filter(None, (g.strip() for g in fields.get(key, "").split(","))):
            names = [m.group(1) for m in map(DEPENDENCY_NAME.match, group.split("|")) if m]
            if names:
                groups.append(names)
    return groups


def load_packages(path: Path, limit: int | None) -> list[dict]:
    """Each package's fields, plus its dependency groups under "groups"."""
    packages = []
    for fields in read_stanzas(path):
        if "Package" in fields:
            packages.append({**fields, "groups": dependency_groups(fields)})
            if limit and len(packages) >= limit:
                break
    return packages


def kelto_classes() -> SimpleNamespace:
    from kelto.package.constraint import Depends, NumOf
    from kelto.package.outline import PackageOutline
    from kelto.package.version import Version
    return SimpleNamespace(Depends=Depends, NumOf=NumOf, PackageOutline=PackageOutline, Version=Version)


def plain_classes() -> SimpleNamespace:
    from peers import plain
    return SimpleNamespace(Depends=plain.Depends, NumOf=plain.NumOf,
                           PackageOutline=plain.PackageOutline, Version=plain.Version)


def outline_builder(classes: SimpleNamespace) -> Callable[[dict[str, str]], object]:
    """outline_for(fields) over the given classes; the same code for both."""
    Depends, NumOf = classes.Depends, classes.NumOf
    PackageOutline, Version = classes.PackageOutline, classes.Version

    def outline_for(fields: dict):
        constraints = [Depends(names[0]) if len(names) == 1 else NumOf([Depends(n) for n in names]) >= 1
                       for names in fields["groups"]]
        options = {
            "priority": fields.get("Priority", "optional"),
            "section": fields.get("Section", "misc"),
            "essential": fields.get("Essential") == "yes",
        }
        if fields.get("Installed-Size", "").isdigit():
            options["installed_size"] = int(fields["Installed-Size"])
        try:
            options["version"] = Version(fields.get("Version", ""))
        except ValueError:
            pass  # an epoch or a tilde: refused alike by both implementations
        defaults = {"multi_arch": fields.get("Multi-Arch")}
        return PackageOutline(fields["Package"], constraints, options, defaults)

    return outline_for


def dependency_names(packages: list[dict[str, str]], count: int) -> list[str]:
    """Real package names to feed Depends(name): those the index depends on,
    in index order, cycled up to `count`."""
    names: list[str] = []
    for fields in packages:
        for group in fields.get("Depends", "").split(","):
            for alternative in group.split("|"):
                m = DEPENDENCY_NAME.match(alternative)
                if m:
                    names.append(m.group(1))
        if len(names) >= count:
            break
    if not names:
        names = [fields["Package"] for fields in packages] or ["libc6"]
    while len(names) < count:
        names += names[: count - len(names)]
    return names[:count]
