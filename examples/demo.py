"""kelto's main job: describe every package of a Debian package index.

Reads the machine's own apt index (/var/lib/apt/lists/*_Packages) when there
is an uncompressed one, otherwise the sample under examples/data, and turns
each package into a PackageOutline:

- each plain dependency becomes Depends(name);
- each group of alternatives ("a | b") becomes NumOf([Depends(a), Depends(b)]) >= 1;
- priority, section, essential, installed size and version become option values,
  and multi-arch an option default (None when the package declares none).

Then it prints what it built, what it refused and how long it took.

    python examples/demo.py [PACKAGES_FILE] [--limit N]
"""

import argparse
import glob
import os
import re
import resource
import sys
import time
from collections import Counter
from collections.abc import Iterator
from typing import Any

import kelto
from kelto.package.constraint import Depends, NumOf
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "Packages")
# "libc6 (>= 2.36) [amd64] <!nocheck>" -> "libc6"; "python3:any" -> "python3"
DEPENDENCY_NAME = re.compile(r"^\s*([^\s:(\[<]+)")


def find_index(path: str | None) -> str:
    if path:
        return path
    for candidate in sorted(glob.glob("/var/lib/apt/lists/*_Packages")):
        return candidate
    return SAMPLE


def read_stanzas(path: str) -> Iterator[dict[str, str]]:
    """Yields each package's fields as a dict; continuation lines are joined."""
    fields: dict[str, str] = {}
    last: str | None = None
    with open(path, encoding="utf-8", errors="replace") as index:
        for line in index:
            line = line.rstrip("\n")
            if not line:
                if fields:
                    yield fields
                fields, last = {}, None
            elif line[0] in " \t":
                if last is not None:
                    fields[last] += "\n" + line.strip()
            else:
                key, _, value = line.partition(":")
                last = key
                fields[key] = value.strip()
    if fields:
        yield fields


def dependency_constraints(field: str) -> list[Any]:
    """A Depends per plain dependency, NumOf(...) >= 1 per group of alternatives."""
    constraints: list[Any] = []
    for group in filter(None, (g.strip() for g in field.split(","))):
        names = [m.group(1) for m in map(DEPENDENCY_NAME.match, group.split("|")) if m]
        if len(names) == 1:
            constraints.append(Depends(names[0]))
        elif names:
            constraints.append(NumOf([Depends(name) for name in names]) >= 1)
    return constraints


def outline_for(fields: dict[str, str], refused: Counter[str], examples: list[str]) -> tuple[PackageOutline, int]:
    constraints: list[Any] = []
    for key in ("Pre-Depends", "Depends"):
        if key in fields:
            constraints += dependency_constraints(fields[key])
    options: dict[str, Any] = {
        "priority": fields.get("Priority", "optional"),
        "section": fields.get("Section", "misc"),
        "essential": fields.get("Essential") == "yes",
    }
    if fields.get("Installed-Size", "").isdigit():
        options["installed_size"] = int(fields["Installed-Size"])
    text = fields.get("Version", "")
    try:
        options["version"] = Version(text)
    except ValueError as error:
        # Debian versions may carry an epoch ("1:2.3") or a tilde ("1.0~rc1"),
        # which kelto's generic versions do not take.
        refused[str(error).split("(")[0]] += 1
        examples.append(f"{fields.get('Package')} {text!r}: {error}")
    defaults = {"multi_arch": fields.get("Multi-Arch")}
    return PackageOutline(fields["Package"], constraints, options, defaults), len(constraints)


class Description:
    """What describing an index built, refused and cost."""

    def __init__(self) -> None:
        self.outlines: list[PackageOutline] = []
        self.constraints = 0
        self.with_alternatives = 0
        self.refused: Counter[str] = Counter()
        self.examples: list[str] = []
        self.seconds = 0.0


def describe_index(path: str, limit: int) -> Description:
    result = Description()
    started = time.perf_counter()
    for fields in read_stanzas(path):
        if "Package" not in fields:
            continue
        outline, count = outline_for(fields, result.refused, result.examples)
        result.outlines.append(outline)
        result.constraints += count
        result.with_alternatives += "|" in fields.get("Depends", "")
        if limit and len(result.outlines) >= limit:
            break
    result.seconds = time.perf_counter() - started
    return result


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def tour() -> None:
    print("A few versions, as printed (str) and as parsed (repr):")
    for text in ["1.2.3", "01.002", "2.*", "1.0-rc.1+b2", "3.>"]:
        version = Version(text)
        print(f"  {text!r:14} -> {str(version)!r:14} {version!r}")
    print("A typed comparison, and one that is refused:")
    rule = NumOf([Depends("libssl3"), Depends("libssl1.1")]) >= 1
    print(f"  NumOf([...]) >= 1 builds {type(rule).__name__} with op {rule.op!r}")
    try:
        Depends("libc6") < 2
    except NotImplementedError as error:
        print(f"  Depends('libc6') < 2 -> NotImplementedError: {error}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("index", nargs="?", help="a Debian Packages file (default: apt's own, else the sample)")
    parser.add_argument("--limit", type=int, default=0, help="describe at most N packages")
    args = parser.parse_args(argv)

    kelto.main_entry()    # "kelto entrypoint", on the process's own standard output
    kelto.init_tracing()  # " WARN kelto: tracing activated"
    sys.stdout.flush()
    tour()

    path = find_index(args.index)
    result = describe_index(path, args.limit)
    count = len(result.outlines)
    print(f"\nDescribed {path}:")
    print(f"  packages:         {count}")
    print(f"  constraints:      {result.constraints} ({result.with_alternatives} packages with alternatives)")
    kinds = ", ".join(f"{kind}: {n}" for kind, n in result.refused.most_common())
    print(f"  refused versions: {sum(result.refused.values())}" + (f" ({kinds})" if kinds else ""))
    for example in result.examples[:3]:
        print(f"    e.g. {example}")
    print(f"  time:             {result.seconds:.3f} s ({result.seconds / max(count, 1) * 1e6:.1f} us per package)")
    print(f"  peak memory:      {peak_rss_mib():.0f} MiB (whole process)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
