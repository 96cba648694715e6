"""kelto-debian describe: every package of a Debian package index as kelto objects.

Reads Debian Packages indexes (plain, .gz or .xz): those given, the native
architecture's first, else apt's index of each of the machine's architectures
(dpkg's native and foreign ones), else the sample the tool carries. Each
package becomes a PackageOutline, named "NAME" for the native architecture
and for "all", "NAME:ARCH" for another, whose constraints say what its
relation fields say:

- Depends and Pre-Depends: "p" is Depends(p); "p (>= v)" adds
  Cmp(SpecOption(p, "version"), v, CmpType.GreaterOrEqual) (likewise <<, <=,
  = and >>); "a (>= 1) | b" is NumOf([...]) >= 1 over one constraint per
  alternative, a bounded one being NumOf([Depends(a), bound]) == 2;
- Conflicts and Breaks: "p" is Depends(p) == False; "p (<< v)" is
  (Depends(p) == True).if_then(bound == False);
- Recommends: one goal, Maximize(NumOf([...])), over its groups;
- Provides, translated index-wide: a relation on a name is also met by each
  package that provides it, so the relation becomes a group over the named
  package and its providers, each provider checked through the option
  "provides:NAME" (or, against a version bound, "provides:NAME#K") that its
  own outline sets. A conflict applies to the other providers only, and a
  package's conflict on its own name to its other versions only;
- architectures: an unqualified relation names the depender's own
  architecture's outline, and is also met by the name's outlines of other
  architectures whose multi_arch is "foreign"; "p:any" is met by any of p's
  outlines whose multi_arch is "allowed" or "foreign"; "p:i386" names that
  architecture's outline. A provider passes its architecture and Multi-Arch
  on to the name it provides. An unqualified or ":any" conflict applies to
  every architecture; a version bound stays on each. One name is installed
  for two architectures only when both are "Multi-Arch: same" at one version.

Priority, section, essential, installed size and version become option
values, multi-arch an option default. A version kelto's grammar refuses (an
epoch "1:2.3", a tilde "1.0~rc1") or would print differently ("1.02" prints
as "1.2") is kept as its text, a Str value: nothing is lost.

    kelto-debian describe [PACKAGES_FILE...] [--limit N] [--show NAME]
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
from operator import itemgetter

import kelto
from kelto.package.constraint import Depends, NumOf
from kelto.package.version import Version

from ..notation import providers_of, show
from ..outlines import Builder, Description, describe_index, kept_fields, read_once
from ..output import kelto_lines
from ..packages import prepare
from ..relations import RELATION_FIELDS
from .common import UsageError, add_indexes, indexes, input_errors


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
    # Most frequent first; the sort is stable, so ties keep the order first seen.
    reasons = sorted(tally.reasons.items(), key=itemgetter(1), reverse=True)
    print(f"  kept as text:       {tally.versions_as_text} package versions, {tally.bounds_as_text} bounds ("
          + ", ".join(f"{reason}: {n}" for reason, n in reasons) + ")")
    for example in tally.examples:
        print(f"    e.g. {example}")
    facts = result.facts
    print(f"  provides:           {facts.provided} translated ({len(facts.providers)} names provided;"
          f" {tally.provider_rules} alternatives and conflicts built for providers)")
    print(f"  qualifiers:         {tally.qualifiers['any']} ':any', {tally.qualifiers['architecture']} naming an"
          f" architecture; {tally.own_conflicts} conflicts on the package's own name")
    foreign = sum(1 for outline in facts.kinds if ":" in outline)
    print(f"  architectures:      {facts.native} native, {foreign} outline names of other architectures")
    if result.left_out:
        print("  not translated:     " + ", ".join(f"{key} ({n} packages)" for key, n in result.left_out.items()))
    print(f"  time:               {result.seconds:.3f} s ({result.seconds / max(count, 1) * 1e6:.1f} us per package)")
    print(f"  peak memory:        {peak_rss_mib():.0f} MiB (whole process)")


def show_package(paths: list[str], native: str | None, name: str, limit: int) -> int:
    """--show: the package's rules (of each of its architectures and
    versions), built from the index's facts without building the outlines
    of every other package; a name only provided lists its providers."""
    records, facts = read_once(paths, limit, native, whole=name)
    builder = Builder(facts=facts)
    # Every stanza is still read strictly: a malformed one is refused as the description refuses it.
    shown = [package for package in (prepare(path, line, kept_fields((path, line, values)))
                                     for path, line, values in records) if package.name == name]
    if not shown and name in facts.providers:
        print("\n".join(providers_of(builder, name)))
        return 0
    if not shown:
        raise UsageError(f"{', '.join(paths)}: no package named {name!r}")
    print("\n\n".join("\n".join(show(builder, package)) for package in shown))
    return 0


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:  # type: ignore[type-arg]
    parser = subparsers.add_parser("describe", help="describe every package as kelto objects",
                                   description=(__doc__ or "").splitlines()[0].partition(": ")[2])
    add_indexes(parser)
    parser.add_argument("--limit", type=int, default=0, help="describe at most N packages")
    parser.add_argument("--show", metavar="NAME", help="print the rules built for package NAME")
    return parser


def run(args: argparse.Namespace) -> int:
    if args.show == "":
        raise UsageError("--show needs a package name")
    paths, native = indexes(args)
    where = ", ".join(paths)
    with input_errors():
        if args.show:
            return show_package(paths, native, args.show, args.limit)
        result = describe_index(paths, args.limit, native=native)

    if not sys.stdout.isatty():
        os.environ["NO_COLOR"] = "1"  # no colour escapes in a pipe or a file
    with kelto_lines():
        kelto.main_entry()    # "kelto entrypoint", on the process's own standard output
        kelto.init_tracing()  # " WARN kelto: tracing activated"
    sys.stdout.flush()
    tour()
    summary(where, result)
    return 0
