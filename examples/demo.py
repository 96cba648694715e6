"""kelto's main job: describe every package of a Debian package index.

Reads a Debian Packages index (plain, .gz or .xz): the one given, else the
machine's own apt index, else the sample under examples/data. Each package
becomes a PackageOutline whose constraints say what its relation fields say:

- Depends and Pre-Depends: "p" is Depends(p); "p (>= v)" adds
  Cmp(SpecOption(p, "version"), v, CmpType.GreaterOrEqual) (likewise <<, <=,
  = and >>); "a (>= 1) | b" is NumOf([...]) >= 1 over one constraint per
  alternative, a bounded one being NumOf([Depends(a), bound]) == 2;
- Conflicts and Breaks: "p" is Depends(p) == False; "p (<< v)" is
  (Depends(p) == True).if_then(bound == False);
- Recommends: one goal, Maximize(NumOf([...])), over its groups.

Priority, section, essential, installed size and version become option
values, multi-arch an option default. A version kelto's grammar refuses (an
epoch "1:2.3", a tilde "1.0~rc1") or would print differently ("1.02" prints
as "1.2") is kept as its text, a Str value: nothing is lost.

    python examples/demo.py [PACKAGES_FILE] [--limit N] [--show NAME]
"""

from __future__ import annotations

import argparse
import gzip
import lzma
import os
import re
import resource
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import IO, Any

import kelto
from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "Packages")

# The relation fields translated, in the order a package's rules are shown.
REQUIRED = ("Pre-Depends", "Depends")
NEGATED = ("Conflicts", "Breaks")
RELATION_FIELDS = (*REQUIRED, *NEGATED, "Recommends")
LEFT_OUT = ("Provides", "Suggests", "Enhances", "Replaces")

# Debian's relation operators and the CmpType member each one becomes. The
# obsolete "<" and ">" mean "<=" and ">=".
OPERATORS = {"<<": "Less", "<=": "LessOrEqual", "=": "Equal", ">=": "GreaterOrEqual", ">>": "Greater",
             "<": "LessOrEqual", ">": "GreaterOrEqual"}
DEBIAN_OPERATOR = {0: "<<", 1: "<=", 3: "=", 4: ">=", 5: ">>"}  # by int(CmpType)

# "libc6 (>= 2.36)", "python3:any", "perl:any (>= 5.10)": name, operator, version.
RELATION = re.compile(r"\s*([^\s()|,]+)\s*(?:\(\s*(<<|<=|>=|>>|=|<|>)\s*([^\s()]+)\s*\))?\s*")

Relation = tuple[str, str | None, str | None]  # name, Debian operator, version text
Group = list[Relation]  # alternatives: one of them must hold


class BadIndex(Exception):
    """The index cannot be read; the message is one line naming the file."""


# ------------------------------------------------------------------ reading

def find_index(path: str | None) -> str:
    if path:
        return path
    for pattern in ("_Packages", "_Packages.xz", "_Packages.gz"):
        lists = "/var/lib/apt/lists"
        names = sorted(n for n in os.listdir(lists) if n.endswith(pattern)) if os.path.isdir(lists) else []
        if names:
            return os.path.join(lists, names[0])
    return SAMPLE


def open_index(path: str) -> IO[bytes]:
    """The file's bytes, decompressed when it starts with a gzip or xz header."""
    raw = open(path, "rb")
    try:
        magic = raw.read(6)
        raw.seek(0)
    except OSError:
        raw.close()
        raise
    if magic[:2] == b"\x1f\x8b":
        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if magic == b"\xfd7zXZ\x00":
        return lzma.LZMAFile(raw, "rb")
    return raw


def read_stanzas(path: str) -> Iterator[tuple[int, dict[str, str]]]:
    """Each stanza's first line number and fields; continuation lines are
    joined. Raises BadIndex for what cannot be read."""
    fields: dict[str, str] = {}
    last: str | None = None
    start = 0
    number = 0
    try:
        with open_index(path) as index:
            for number, raw in enumerate(index, 1):
                try:
                    line = raw.decode("utf-8").rstrip("\r\n")
                except UnicodeDecodeError:
                    raise BadIndex(f"{path}:{number}: not UTF-8 text") from None
                if not line.strip():
                    if fields:
                        yield start, fields
                    fields, last = {}, None
                elif line[0] in " \t":
                    if last is None:
                        raise BadIndex(f"{path}:{number}: continuation line outside a field")
                    fields[last] += "\n" + line.strip()
                else:
                    key, colon, value = line.partition(":")
                    if not colon or not key.strip():
                        raise BadIndex(f"{path}:{number}: not a 'Field: value' line: {line[:60]!r}")
                    if not fields:
                        start = number
                    last = key
                    fields[key] = value.strip()
    except BadIndex:
        raise
    except (OSError, EOFError, lzma.LZMAError) as error:
        where = f"{path}:{number}" if number else path
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
        raise BadIndex(f"{where}: {reason}") from None
    if fields:
        yield start, fields


def parse_relations(text: str) -> list[Group]:
    """A relation field's groups of alternatives; ValueError names the part
    that is not a relation."""
    groups: list[Group] = []
    for group_text in text.split(","):
        if not group_text.strip():
            continue
        group: Group = []
        for alternative in group_text.split("|"):
            match = RELATION.fullmatch(alternative)
            if match is None:
                raise ValueError(f"not a package relation: {alternative.strip()!r}")
            group.append((match[1], match[2], match[3]))
        groups.append(group)
    return groups


def prepare(path: str, line: int, fields: dict[str, str]) -> dict[str, Any]:
    """The stanza's fields plus its parsed relations under "relations", and
    the number of bounds its text holds under "bounds_in_text"."""
    for key in ("Package", "Version"):
        if not fields.get(key):
            raise BadIndex(f"{path}:{line}: stanza without a {key} field")
    relations: dict[str, list[Group]] = {}
    bounds = 0
    for key in RELATION_FIELDS:
        text = fields.get(key)
        if text:
            try:
                relations[key] = parse_relations(text)
            except ValueError as error:
                raise BadIndex(f"{path}:{line}: {fields['Package']}: {key}: {error}") from None
            bounds += text.count("(")
    return {**fields, "relations": relations, "bounds_in_text": bounds}


def read_packages(path: str, limit: int = 0) -> list[dict[str, Any]]:
    packages = []
    for line, fields in read_stanzas(path):
        packages.append(prepare(path, line, fields))
        if limit and len(packages) >= limit:
            break
    return packages


# ----------------------------------------------------------------- building

@dataclass
class Tally:
    """What a Builder has built, and which versions it kept as text."""

    bounds: int = 0
    bounds_as_text: int = 0
    versions_as_text: int = 0
    reasons: Counter[str] = field(default_factory=Counter)
    examples: list[str] = field(default_factory=list)


def text_reason(text: str, error: str | None) -> str:
    if ":" in text:
        return "epoch"
    if "~" in text:
        return "tilde"
    return error.split("(")[0] if error else "prints differently"


class Builder:
    """Turns prepared packages into outlines, over a given set of classes
    (kelto's, or the benchmark's plain-Python peer)."""

    def __init__(self, classes: SimpleNamespace | None = None) -> None:
        k = classes or kelto_classes()
        self.Cmp, self.Depends, self.IfThen = k.Cmp, k.Depends, k.IfThen
        self.Maximize, self.NumOf, self.SpecOption = k.Maximize, k.NumOf, k.SpecOption
        self.PackageOutline, self.Version = k.PackageOutline, k.Version
        self.ops = {symbol: getattr(k.CmpType, name) for symbol, name in OPERATORS.items()}
        self.tally = Tally()

    def version_value(self, text: str, package: str, bound: bool) -> Any:
        """A Version when the text parses and prints back unchanged, else the text."""
        error = None
        try:
            version = self.Version(text)
            if str(version) == text:
                return version
        except ValueError as refused:
            error = str(refused)
        tally = self.tally
        if bound:
            tally.bounds_as_text += 1
        else:
            tally.versions_as_text += 1
        reason = text_reason(text, error)
        tally.reasons[reason] += 1
        if tally.reasons[reason] == 1:
            tally.examples.append(f"{package} {'bound' if bound else 'version'} {text!r}: {reason}"
                                  + (f" ({error})" if error else ""))
        return text

    def bound(self, name: str, op: str, text: str) -> Any:
        self.tally.bounds += 1
        return self.Cmp(self.SpecOption(name, "version"), self.version_value(text, name, True), self.ops[op])

    def holds(self, relation: Relation) -> Any:
        """One constraint that holds when the relation does."""
        name, op, text = relation
        if op is None or text is None:
            return self.Depends(name)
        return self.NumOf([self.Depends(name), self.bound(name, op, text)]) == 2

    def group(self, group: Group) -> Any:
        if len(group) == 1:
            return self.holds(group[0])
        return self.NumOf([self.holds(alternative) for alternative in group]) >= 1

    def required(self, groups: list[Group]) -> list[Any]:
        rules = []
        for group in groups:
            name, op, text = group[0]
            if len(group) > 1:
                rules.append(self.group(group))
            elif op is None or text is None:
                rules.append(self.Depends(name))
            else:  # both must hold, and an outline's rules all hold: two rules
                rules.append(self.Depends(name))
                rules.append(self.bound(name, op, text))
        return rules

    def negated(self, groups: list[Group]) -> list[Any]:
        rules = []
        for group in groups:
            for name, op, text in group:
                if op is None or text is None:
                    rules.append(self.Depends(name) == False)  # noqa: E712 (builds a rule)
                else:
                    rules.append((self.Depends(name) == True).if_then(self.bound(name, op, text) == False))  # noqa: E712
        return rules

    def rules(self, package: dict[str, Any]) -> dict[str, list[Any]]:
        """The rules of each translated relation field, in field order."""
        relations: dict[str, list[Group]] = package["relations"]
        rules = {}
        for key, groups in relations.items():
            if key in REQUIRED:
                rules[key] = self.required(groups)
            elif key in NEGATED:
                rules[key] = self.negated(groups)
            else:
                rules[key] = [self.Maximize(self.NumOf([self.group(group) for group in groups]))]
        return rules

    def options(self, package: dict[str, Any]) -> dict[str, Any]:
        options: dict[str, Any] = {
            "priority": package.get("Priority", "optional"),
            "section": package.get("Section", "misc"),
            "essential": package.get("Essential") == "yes",
            "version": self.version_value(package["Version"], package["Package"], False),
        }
        if package.get("Installed-Size", "").isdigit():
            options["installed_size"] = int(package["Installed-Size"])
        return options

    def outline(self, package: dict[str, Any], rules: dict[str, list[Any]] | None = None) -> Any:
        if rules is None:
            rules = self.rules(package)
        constraints = [rule for key in RELATION_FIELDS for rule in rules.get(key, ())]
        defaults = {"multi_arch": package.get("Multi-Arch")}
        return self.PackageOutline(package["Package"], constraints, self.options(package), defaults)


def kelto_classes() -> SimpleNamespace:
    return SimpleNamespace(Cmp=Cmp, CmpType=CmpType, Depends=Depends, IfThen=IfThen, Maximize=Maximize,
                           NumOf=NumOf, SpecOption=SpecOption, PackageOutline=PackageOutline, Version=Version)


# ---------------------------------------------------------------- rendering
# Read back through the constraints' own properties, never from the index.

def bound_text(bound: Any) -> tuple[str, str]:
    """(package, " (op version)") of Cmp(SpecOption(p, "version"), v, op)."""
    lhs = bound.lhs if isinstance(bound, Cmp) else None
    if not isinstance(lhs, SpecOption) or lhs.option_name != "version":
        raise ValueError(f"not a version bound: {bound!r}")
    return lhs.package_name, f" ({DEBIAN_OPERATOR[int(bound.op)]} {bound.rhs.value})"


def is_value(c: Any, value: object) -> bool:
    return isinstance(c, Value) and type(c.value) is type(value) and c.value == value


def render_holds(c: Any) -> str:
    if isinstance(c, Depends):
        return c.on
    if isinstance(c, Cmp) and int(c.op) == 3 and is_value(c.rhs, 2) and isinstance(c.lhs, NumOf):
        dependency, bound = c.lhs.of
        name, bound_part = bound_text(bound)
        if not isinstance(dependency, Depends):
            raise ValueError(f"bound on {name} paired with {dependency!r}")
        if dependency.on != name:
            raise ValueError(f"bound on {name} paired with Depends({dependency.on})")
        return name + bound_part
    raise ValueError(f"not a relation: {c!r}")


def render_group(c: Any) -> str:
    if isinstance(c, Cmp) and int(c.op) == 4 and is_value(c.rhs, 1) and isinstance(c.lhs, NumOf):
        return " | ".join(render_holds(alternative) for alternative in c.lhs.of)
    return render_holds(c)


def render_required(rules: list[Any]) -> list[str]:
    groups: list[str] = []
    last: str | None = None  # the package of a Depends a bound may follow
    for rule in rules:
        if isinstance(rule, Cmp) and isinstance(rule.lhs, SpecOption):
            name, bound_part = bound_text(rule)
            if name != last:
                raise ValueError(f"bound on {name} without its Depends")
            groups[-1] += bound_part
            last = None
        else:
            groups.append(render_group(rule))
            last = rule.on if isinstance(rule, Depends) else None
    return groups


def render_negated(rules: list[Any]) -> list[str]:
    groups = []
    for rule in rules:
        if isinstance(rule, Cmp) and isinstance(rule.lhs, Depends) and int(rule.op) == 3 and is_value(rule.rhs, False):
            groups.append(rule.lhs.on)
        elif isinstance(rule, IfThen) and isinstance(rule.cond, Cmp) and isinstance(rule.then, Cmp):
            present, excluded = rule.cond.lhs, rule.then
            if not (isinstance(present, Depends) and is_value(rule.cond.rhs, True) and is_value(excluded.rhs, False)):
                raise ValueError(f"not a negated relation: {rule!r}")
            name, bound_part = bound_text(excluded.lhs)
            if name != present.on:
                raise ValueError(f"bound on {name} under Depends({present.on})")
            groups.append(name + bound_part)
        else:
            raise ValueError(f"not a negated relation: {rule!r}")
    return groups


def render_field(key: str, rules: list[Any]) -> str:
    """The field's relations in Debian's notation, from its constraint objects."""
    if key in REQUIRED:
        groups = render_required(rules)
    elif key in NEGATED:
        groups = render_negated(rules)
    else:
        (goal,) = rules
        groups = [render_group(c) for c in goal.item.of]
    return ", ".join(groups)


def show(builder: Builder, package: dict[str, Any]) -> list[str]:
    rules = builder.rules(package)
    builder.outline(package, rules)  # the same objects the outline is built from
    lines = [f"Package: {package['Package']}"]
    for key in RELATION_FIELDS:
        if key in rules:
            lines.append(f"{key}: {render_field(key, rules[key])}")
    for key, value in builder.options(package).items():
        kind = "Version" if isinstance(value, Version) else type(value).__name__
        lines.append(f"  option {key} = {value} ({kind})")
    lines.append(f"  default multi_arch = {package.get('Multi-Arch')}")
    for key in LEFT_OUT:
        if key in package:
            lines.append(f"  (not translated) {key}: {package[key]}")
    return lines


# ----------------------------------------------------------------- the job

@dataclass
class Description:
    """What describing an index built, refused and cost."""

    stanzas: int = 0
    outlines: list[Any] = field(default_factory=list)
    constraints: int = 0
    relations: Counter[str] = field(default_factory=Counter)
    bounds_in_text: int = 0
    left_out: Counter[str] = field(default_factory=Counter)
    tally: Tally = field(default_factory=Tally)
    seconds: float = 0.0


def describe_index(path: str, limit: int = 0, keep: Callable[[dict[str, Any]], None] | None = None) -> Description:
    result = Description()
    builder = Builder()
    result.tally = builder.tally
    started = time.perf_counter()
    for line, fields in read_stanzas(path):
        package = prepare(path, line, fields)
        result.stanzas += 1
        rules = builder.rules(package)
        result.outlines.append(builder.outline(package, rules))
        result.constraints += sum(map(len, rules.values()))
        for key, groups in package["relations"].items():
            result.relations[key] += sum(map(len, groups))
        result.bounds_in_text += package["bounds_in_text"]
        result.left_out.update(key for key in LEFT_OUT if key in fields)
        if keep is not None:
            keep(package)
        if limit and result.stanzas >= limit:
            break
    result.seconds = time.perf_counter() - started
    if not result.stanzas:
        raise BadIndex(f"{path}: no package stanza in this file")
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
        Depends("libc6") < 2  # type: ignore[operator]  # refused on purpose, by the stubs too
    except NotImplementedError as error:
        print(f"  Depends('libc6') < 2 -> NotImplementedError: {error}")


def summary(path: str, result: Description) -> None:
    count, tally = len(result.outlines), result.tally
    print(f"\nDescribed {path}:")
    print(f"  packages:           {count} built of {result.stanzas} read ({result.stanzas - count} dropped)")
    print(f"  relations read:     {sum(result.relations.values())} ("
          + ", ".join(f"{key} {result.relations[key]}" for key in RELATION_FIELDS) + ")")
    print(f"  constraints:        {result.constraints}")
    lost = result.bounds_in_text - tally.bounds
    print(f"  version bounds:     {tally.bounds} built of {result.bounds_in_text} bounded relations read"
          f" ({lost} lost)")
    print(f"  kept as text:       {tally.versions_as_text} package versions, {tally.bounds_as_text} bounds ("
          + ", ".join(f"{reason}: {n}" for reason, n in tally.reasons.most_common()) + ")")
    for example in tally.examples:
        print(f"    e.g. {example}")
    if result.left_out:
        print("  not translated:     " + ", ".join(f"{key} ({n} packages)" for key, n in result.left_out.items()))
    print(f"  time:               {result.seconds:.3f} s ({result.seconds / max(count, 1) * 1e6:.1f} us per package)")
    print(f"  peak memory:        {peak_rss_mib():.0f} MiB (whole process)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("index", nargs="?", help="a Debian Packages file, plain, .gz or .xz "
                        "(default: apt's own, else the sample)")
    parser.add_argument("--limit", type=int, default=0, help="describe at most N packages")
    parser.add_argument("--show", metavar="NAME", help="print the rules built for package NAME")
    args = parser.parse_args(argv)

    path = find_index(args.index)
    shown: list[dict[str, Any]] = []
    keep = (lambda package: shown.append(package) if package["Package"] == args.show else None) if args.show else None
    try:
        result = describe_index(path, args.limit, keep)
    except BadIndex as error:
        print(f"demo.py: {error}", file=sys.stderr)
        return 1
    if args.show:
        if not shown:
            print(f"demo.py: {path}: no package named {args.show!r}", file=sys.stderr)
            return 1
        builder = Builder()
        print("\n\n".join("\n".join(show(builder, package)) for package in shown))
        return 0

    kelto.main_entry()    # "kelto entrypoint", on the process's own standard output
    kelto.init_tracing()  # " WARN kelto: tracing activated"
    sys.stdout.flush()
    tour()
    summary(path, result)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader went away (`demo.py ... | head`): not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
