"""kelto's benchmark suite: every workload against its peers, side by side.

Each group of workloads runs in this one process, interleaved round by round
after a warm-up, and reports per item the median, the minimum, and the ratio
to the group's floor measured in the same run (median over median, and the
median of per-round ratios, "paired"). Then memory per object and per package,
and a table of goals with the ratios they are judged on.

Groups: version (Version(s) vs packaging vs str.split), depends (Depends(name)
vs the floor extension vs plain Python), numof (NumOf([...]) >= 2), deepcopy
(reading .item of a deep Maximize chain), debian (one PackageOutline per
package of a Debian index vs a plain Python outline), installable (the
installability check of the whole index vs dose-distcheck; skipped when the
checker or pycosat is missing), crossing (handing a NumOf of 10^6 items to a
constructor or reading it back, against one of 10, and the memory
NumOf([n] * 200) takes), pickle (pickling and deep-copying the debian group's
outlines vs plain Python's).

    python3 bench/run.py                          # defaults: sample versions, apt's index
    python3 bench/run.py --versions /work/shared/data/versions-pypi.txt --limit 300000
    python3 bench/run.py --quick                  # well under a minute; for CI
    python3 bench/run.py --only depends,numof --json out.json

The exit status is non-zero only when a workload raises (or an input gives
nothing to measure), never because of a ratio or a missed goal.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import traceback
from collections.abc import Iterator
from pathlib import Path

# The script's own folder is first on sys.path, so the modules beside it import.
from floorbuild import build_floor

build_floor()

import constraints  # noqa: E402  (needs the floor module on sys.path)
import debian_input  # noqa: E402
import goals  # noqa: E402
import installability  # noqa: E402
import memory  # noqa: E402
import pickling  # noqa: E402
import versions  # noqa: E402
from harness import Group, WorkloadError, run_rounds  # noqa: E402

GROUPS = ("version", "depends", "numof", "deepcopy", "debian", "installable", "crossing", "pickle")
MEMORY_NAME = "libc6"  # a short name: no heap block of its own anywhere


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--versions", type=Path, default=versions.DEFAULT_VERSIONS,
                        help="version texts, one a line (default: the committed sample)")
    parser.add_argument("--limit", type=int, default=None, help="use only the first N version texts")
    parser.add_argument("--index", type=Path, default=None,
                        help="a Debian Packages file (default: apt's own, else kelto-debian's slice of sid)")
    parser.add_argument("--packages", type=int, default=None, help="use only the first N packages")
    parser.add_argument("--objects", type=int, default=None, help="names per Depends round (default 30000)")
    parser.add_argument("--depth", type=int, default=None, help="Maximize chain depth (default 10000)")
    parser.add_argument("--reads", type=int, default=None, help="chain reads per round (default 20)")
    parser.add_argument("--big", type=int, default=None, help="items of the big NumOf (default 1000000)")
    parser.add_argument("--calls", type=int, default=None, help="calls per crossing round (default 2000)")
    parser.add_argument("--repeat", type=int, default=None, help="timed rounds per group (default 11; debian and pickle 5, installable 3)")
    parser.add_argument("--warmup", type=int, default=None, help="untimed rounds first (default 2)")
    parser.add_argument("--only", default=",".join(GROUPS),
                        help=f"comma-separated groups to run (default all: {','.join(GROUPS)}), or 'none'")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: one round each over small inputs, unless given otherwise")
    parser.add_argument("--json", type=Path, default=None, metavar="PATH", help="also write the results to PATH")
    args = parser.parse_args(argv)
    quick = args.quick
    defaults = {"repeat": 1 if quick else 11, "warmup": 1 if quick else 2,
                "limit": 500 if quick else None, "packages": 300 if quick else None,
                "objects": 600 if quick else 30000, "depth": 300 if quick else 10000,
                "reads": 2 if quick else 20,
                "big": 10000 if quick else 1000000, "calls": 20 if quick else 2000}
    for key, value in defaults.items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    args.only = [] if args.only == "none" else [g.strip() for g in args.only.split(",") if g.strip()]
    for group in args.only:
        if group not in GROUPS:
            parser.error(f"unknown group {group!r}; choose from {', '.join(GROUPS)}")
    for key in ("repeat", "objects", "depth", "reads", "big", "calls"):
        if getattr(args, key) < 1:
            parser.error(f"--{key} must be at least 1")
    for key in ("limit", "packages"):
        if getattr(args, key) is not None and getattr(args, key) < 1:
            parser.error(f"--{key} must be at least 1")
    if args.warmup < 0:
        parser.error("--warmup must not be negative")
    return args


def build_groups(args: argparse.Namespace, packages: list[dict[str, str]],
                 index: Path) -> Iterator[Group | None]:
    """Each group in turn, its input made only when it is about to be timed
    (None for a group that cannot run here). The caller releases a group
    once measured: one group's input (the pickle group holds every outline
    of the index, twice) would otherwise fill the heap that the groups
    before it allocate in, and slow some object sizes more than others."""
    names = debian_input.package_names(packages, args.objects)
    for key in args.only:
        if key == "version":
            yield versions.build_group(args.versions, args.limit)
        elif key == "depends":
            yield constraints.depends_group(names)
        elif key == "numof":
            yield constraints.numof_group(names)
        elif key == "deepcopy":
            yield constraints.deep_group(args.depth, args.reads)
        elif key == "debian":
            yield constraints.debian_group(packages, str(index))
        elif key == "installable":
            # The whole index (a sample one with --quick): a check reads its file itself.
            group = installability.build_group(debian_input.SAMPLE if args.quick else index)
            if group is None:
                print("installable: skipped (needs dose-distcheck and pycosat)")
            yield group
        elif key == "crossing":
            yield constraints.crossing_group(args.big, args.calls)
        elif key == "pickle":
            yield pickling.pickle_group(packages, str(index))


def group_repeat(group: Group, args: argparse.Namespace) -> int:
    # The main job's rounds, and copying all its outlines, are the slowest by
    # far (half a minute a round for pickle); fewer rounds keep the run short.
    if group.key in ("debian", "pickle") and not args.quick and "--repeat" not in sys.argv:
        return max(3, args.repeat // 2)
    if group.key == "installable" and not args.quick and "--repeat" not in sys.argv:
        return 3  # tens of seconds a round
    return args.repeat


def measure_memory(args: argparse.Namespace, index: Path) -> dict:
    from kelto.package.constraint import Depends
    import floor
    from peers import plain
    count = 2000 if args.quick else 100000
    objects = memory.per_object({"kelto": Depends, "floor": floor.Str, "plain": plain.Depends},
                                MEMORY_NAME, count)
    for impl in ("kelto", "plain"):
        objects[impl]["resident_bytes_per_object"] = memory.resident_per_object_in_subprocess(impl, MEMORY_NAME, count)
    outlines = {}
    for impl in ("kelto", "plain"):
        for mode in ("rss", "trace", "held"):
            outlines[f"{impl}_{mode}"] = memory.outlines_in_subprocess(impl, mode, str(index), args.packages)
    return {"depends_name": MEMORY_NAME, "objects": count, "per_object": objects, "per_package": outlines}


def print_group(group: Group) -> None:
    print(f"\n== {group.key}: {group.title}")
    for note in group.notes:
        print(f"   {note}")
    header = (f"{'workload':<28} {'median ns/' + group.unit:>16} {'min ns/' + group.unit:>14} "
              f"{'x ' + ('floor' if group.by_name(group.floor).side == 'floor' else 'ref'):>8} {'paired':>8}")
    print(header)
    print("-" * len(header))
    for row in group.rows():
        print(f"{row['name']:<28} {row['median_ns_per_item']:>16.1f} {row['min_ns_per_item']:>14.1f} "
              f"{row['median_over_floor']:>8.2f} {row['paired_over_floor']:>8.2f}")


GROUPS_FOOTER = ("\nx floor (x ref): median over the median of the group's first-named reference "
                 "(floor, or kelto where none exists); paired: median of per-round ratios")


def print_memory(results: dict) -> None:
    print(f"\n== memory per object: Depends({results['depends_name']!r}), "
          f"{results['objects']} objects")
    print(f"{'who':<8} {'traced B/object':>16} {'getsizeof':>10} {'gc tracked':>11} {'resident B/object':>18}")
    for side, row in results["per_object"].items():
        resident = row.get("resident_bytes_per_object")
        print(f"{side:<8} {row['traced_bytes_per_object']:>16.1f} {row['getsizeof']:>10} "
              f"{str(row['gc_tracked']):>11} {'' if resident is None else f'{resident:.1f}':>18}")
    p = results["per_package"]
    count = p["kelto_rss"]["packages"]
    print(f"\n== memory per package: all outlines of {count} packages, each in a fresh process")
    print(f"{'who':<8} {'peak RSS growth B/pkg':>22} {'RSS growth B/pkg':>17} {'held B/pkg':>11} "
          f"{'traced B/pkg':>13} {'traced peak B/pkg':>18}")
    for impl in ("kelto", "plain"):
        rss, trace, held = p[f"{impl}_rss"], p[f"{impl}_trace"], p[f"{impl}_held"]
        print(f"{impl:<8} {rss['peak_growth_per_package']:>22.0f} {rss['rss_growth_per_package']:>17.0f} "
              f"{held['held_per_package']:>11.0f} "
              f"{trace['traced_per_package']:>13.0f} {trace['traced_peak_per_package']:>18.0f}")
    print("(held: resident memory kept by the outlines after reading and building package by package,"
          " with the index dropped)")
    if not all(p[f"{impl}_rss"].get("peak_reset") for impl in ("kelto", "plain")):
        print("(the peak RSS could not be reset after reading the index: the peaks may be the reading's)")
    print("(tracemalloc does not see C++ allocations: kelto's traced bytes undercount; RSS is the verdict)")


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    index = debian_input.find_index(args.index)
    packages = debian_input.load_packages(index, args.packages)
    if not packages:
        print(f"no package in {index}", file=sys.stderr)
        return 2
    print(f"Python {sys.version.split()[0]} ({platform.python_implementation()}, {platform.machine()}); "
          f"packaging {versions.packaging.__version__ if versions.packaging else 'not installed'}")
    print(f"{args.warmup} warm-up and {args.repeat} timed rounds per group "
          "(workloads interleaved, order rotating, gc off while timing)")
    groups: list[Group] = []
    try:
        for group in build_groups(args, packages, index):
            if group is None:
                continue
            warmup = min(args.warmup, 1) if group.key == "installable" else args.warmup
            run_rounds(group.workloads, repeat=group_repeat(group, args), warmup=warmup)
            group.release()
            groups.append(group)
            # Each group's table as soon as it is measured: a long run shows
            # what it has so far, and a stopped one keeps it.
            print_group(group)
            sys.stdout.flush()
    except ValueError as error:  # a group's input cannot be read (run_rounds wraps the workloads' errors)
        print(error, file=sys.stderr)
        return 2
    except WorkloadError as error:
        traceback.print_exception(error)
        return 1
    if groups:
        print(GROUPS_FOOTER)
    memory_results = None
    if not args.no_memory:
        memory_results = measure_memory(args, index)
        print_memory(memory_results)
    growth = None
    if "crossing" in args.only:
        growth = constraints.numof_growth(args.big, 200)
        print(f"\n== NumOf([n] * {growth['copies']}) for a NumOf n of {growth['items']} items: "
              f"the process grows by {growth['growth_bytes'] / 2**20:.1f} MiB")
    verdicts = goals.evaluate(groups, memory_results, growth)
    goals.print_table(verdicts)
    if args.json is not None:
        results = {
            "python": sys.version,
            "machine": platform.machine(),
            "arguments": {k: (str(v) if isinstance(v, Path) else v) for k, v in vars(args).items()},
            "index": str(index),
            "groups": {g.key: {"title": g.title, "unit": g.unit, "floor": g.floor, "notes": g.notes,
                               "rows": g.rows()} for g in groups},
            "memory": memory_results,
            "growth": growth,
            "goals": verdicts,
        }
        args.json.write_text(json.dumps(results, indent=2) + "\n", encoding="utf-8")
        print(f"\nresults written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
