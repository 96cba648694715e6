"""Version parsing throughput against the Python alternatives, side by side.

Builds a list from every version text of a file with kelto's Version, with
packaging's Version, and with str.split('.') as the floor that no parser can
beat, plus a bare loop as the cost of the list comprehension itself; then
str() and repr() over pre-built kelto objects. All workloads run in one
process, interleaved round by round, and the verdicts are ratios measured in
the same run.

Every workload runs over the same texts: those that both kelto and packaging
accept, so that no parser is charged for (or spared) an error path.

    python3 bench/run.py                       # the committed sample
    python3 bench/run.py --versions FILE --limit 300000 --json out.json
    python3 bench/run.py --quick               # a few seconds; for CI

The exit status is non-zero only when a workload raises (or the input gives
nothing to measure), never because of a ratio.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import traceback
from pathlib import Path

# The script's own folder is first on sys.path, so the harness beside it imports.
from harness import Workload, WorkloadError, paired_ratio, run_rounds

from kelto.package.version import Version as KeltoVersion

try:
    import packaging
    from packaging.version import InvalidVersion, Version as PackagingVersion
except ImportError:  # the kelto rows still run; the comparison is skipped
    packaging = None

DEFAULT_VERSIONS = Path(__file__).resolve().parent / "data" / "versions-sample.txt"
QUICK_LIMIT = 500
EXAMPLES_SHOWN = 3

FLOOR = "str.split('.')"
KELTO_PARSE = "kelto Version(s)"
PACKAGING_PARSE = "packaging Version(s)"
KELTO_STR = "kelto str(v)"
PACKAGING_STR = "packaging str(v)"


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--versions", type=Path, default=DEFAULT_VERSIONS,
                        help="version texts, one a line (default: the committed sample)")
    parser.add_argument("--limit", type=int, default=None,
                        help="use only the first N lines")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timed rounds per workload (default 15)")
    parser.add_argument("--warmup", type=int, default=None,
                        help="untimed rounds first (default 2)")
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: --repeat 1 --warmup 1 --limit {QUICK_LIMIT}, "
                             "unless given otherwise")
    parser.add_argument("--json", type=Path, default=None, metavar="PATH",
                        help="also write the results to PATH")
    args = parser.parse_args(argv)
    if args.repeat is None:
        args.repeat = 1 if args.quick else 15
    if args.warmup is None:
        args.warmup = 1 if args.quick else 2
    if args.limit is None and args.quick:
        args.limit = QUICK_LIMIT
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if args.warmup < 0:
        parser.error("--warmup must not be negative")
    if args.limit is not None and args.limit < 1:
        parser.error("--limit must be at least 1")
    return args


def load_lines(path: Path, limit: int | None) -> list[str]:
    """Non-empty lines, as written (no stripping: the parsers see them raw)."""
    lines = [line for line in path.read_text(encoding="utf-8").splitlines() if line]
    return lines[:limit] if limit is not None else lines


def kelto_accepts(text: str) -> bool:
    # Only the documented refusal counts as "not accepted"; anything else
    # (a panic, a TypeError) is a fault and ends the run.
    try:
        KeltoVersion(text)
    except ValueError:
        return False
    return True


def packaging_accepts(text: str) -> bool:
    try:
        PackagingVersion(text)
    except InvalidVersion:
        return False
    return True


def common_subset(lines: list[str]) -> tuple[list[str], dict]:
    """The texts both parsers accept, and an account of the rest."""
    kelto_ok = [kelto_accepts(s) for s in lines]
    if packaging is None:
        packaging_ok = [True] * len(lines)
    else:
        packaging_ok = [packaging_accepts(s) for s in lines]
    subset = [s for s, k, p in zip(lines, kelto_ok, packaging_ok) if k and p]
    only_kelto_refuses = [s for s, k, p in zip(lines, kelto_ok, packaging_ok) if not k and p]
    only_packaging_refuses = [s for s, k, p in zip(lines, kelto_ok, packaging_ok) if k and not p]
    account = {
        "lines": len(lines),
        "measured": len(subset),
        "refused_by_kelto": kelto_ok.count(False),
        "refused_by_packaging": packaging_ok.count(False),
        "refused_by_kelto_only": len(only_kelto_refuses),
        "refused_by_packaging_only": len(only_packaging_refuses),
        "examples_refused_by_kelto_only": only_kelto_refuses[:EXAMPLES_SHOWN],
        "examples_refused_by_packaging_only": only_packaging_refuses[:EXAMPLES_SHOWN],
    }
    return subset, account


def build_workloads(texts: list[str]) -> list[Workload]:
    """Each workload binds what it calls as a default argument, so that every
    comprehension pays the same local-variable lookup and nothing else."""
    n = len(texts)
    kelto_objects = [KeltoVersion(s) for s in texts]

    def loop(texts=texts, str=str):
        return [str(s) for s in texts]

    def split(texts=texts):
        return [s.split(".") for s in texts]

    def kelto_parse(texts=texts, Version=KeltoVersion):
        return [Version(s) for s in texts]

    def kelto_str(objects=kelto_objects, str=str):
        return [str(v) for v in objects]

    def kelto_repr(objects=kelto_objects, repr=repr):
        return [repr(v) for v in objects]

    workloads = [
        Workload("loop [str(s)]", loop, n),
        Workload(FLOOR, split, n),
        Workload(KELTO_PARSE, kelto_parse, n),
        Workload(KELTO_STR, kelto_str, n),
        Workload("kelto repr(v)", kelto_repr, n),
    ]
    if packaging is not None:
        packaging_objects = [PackagingVersion(s) for s in texts]

        def packaging_parse(texts=texts, Version=PackagingVersion):
            return [Version(s) for s in texts]

        def packaging_str(objects=packaging_objects, str=str):
            return [str(v) for v in objects]

        workloads.insert(3, Workload(PACKAGING_PARSE, packaging_parse, n))
        workloads.append(Workload(PACKAGING_STR, packaging_str, n))
    return workloads


def report(workloads: list[Workload], args: argparse.Namespace, account: dict) -> dict:
    by_name = {w.name: w for w in workloads}
    floor = by_name[FLOOR]
    rows = []
    for w in workloads:
        rows.append({
            "name": w.name,
            "versions": w.items,
            "median_ns_per_version": w.median_per_item,
            "min_ns_per_version": w.min_per_item,
            "median_over_floor": w.median_per_item / floor.median_per_item,
            "paired_over_floor": paired_ratio(w, floor),
            "samples_ns": w.samples_ns,
        })

    comparisons = []
    for slow, fast in ((PACKAGING_PARSE, KELTO_PARSE), (PACKAGING_STR, KELTO_STR)):
        if slow in by_name and fast in by_name:
            comparisons.append({
                "name": f"{slow} / {fast}",
                "median_ratio": by_name[slow].median_per_item / by_name[fast].median_per_item,
                "paired_ratio": paired_ratio(by_name[slow], by_name[fast]),
            })

    results = {
        "python": sys.version,
        "implementation": platform.python_implementation(),
        "machine": platform.machine(),
        "packaging": getattr(packaging, "__version__", None),
        "versions_file": str(args.versions),
        "limit": args.limit,
        "repeat": args.repeat,
        "warmup": args.warmup,
        "input": account,
        "workloads": rows,
        "comparisons": comparisons,
    }
    print_report(results)
    return results


def print_report(results: dict) -> None:
    account = results["input"]
    print(f"Python {results['python'].split()[0]} ({results['implementation']}, "
          f"{results['machine']}); packaging {results['packaging'] or 'not installed'}")
    print(f"versions: {results['versions_file']}"
          + (f" (first {results['limit']} lines)" if results["limit"] else ""))
    print(f"  {account['lines']} non-empty lines; refused by kelto {account['refused_by_kelto']}, "
          f"by packaging {account['refused_by_packaging']}")
    print(f"  every row runs over the {account['measured']} texts that both accept")
    for who in ("kelto", "packaging"):
        examples = account[f"examples_refused_by_{who}_only"]
        if examples:
            print(f"  refused by {who} only: {account[f'refused_by_{who}_only']}, e.g. "
                  + ", ".join(repr(s) for s in examples))
    print(f"  {results['warmup']} warm-up and {results['repeat']} timed rounds, "
          "workloads interleaved, gc off while timing")
    print()
    header = f"{'workload':<22} {'median ns/v':>12} {'min ns/v':>10} {'x floor':>8} {'paired':>8}"
    print(header)
    print("-" * len(header))
    for row in results["workloads"]:
        print(f"{row['name']:<22} {row['median_ns_per_version']:>12.1f} "
              f"{row['min_ns_per_version']:>10.1f} {row['median_over_floor']:>8.2f} "
              f"{row['paired_over_floor']:>8.2f}")
    print("-" * len(header))
    print(f"x floor: median over the median of {FLOOR}; paired: median of per-round ratios")
    if results["comparisons"]:
        print()
        for c in results["comparisons"]:
            print(f"{c['name']:<40} {c['median_ratio']:>6.2f}x  (paired {c['paired_ratio']:.2f}x)")


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    lines = load_lines(args.versions, args.limit)
    texts, account = common_subset(lines)
    if not texts:
        print(f"no version text of {args.versions} is accepted by both parsers", file=sys.stderr)
        return 2
    workloads = build_workloads(texts)
    try:
        run_rounds(workloads, repeat=args.repeat, warmup=args.warmup)
    except WorkloadError as error:
        traceback.print_exception(error)
        return 1
    results = report(workloads, args, account)
    if args.json is not None:
        args.json.write_text(json.dumps(results, indent=2) + "\n", encoding="utf-8")
        print(f"\nresults written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
