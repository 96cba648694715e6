"""Where kelto's time goes, in instruction counts (stable on a noisy machine).

Runs each group's kelto side (and, where one exists, the floor's) once over a
small input under `valgrind --tool=callgrind`, collecting only inside
floor.collect(), so interpreter start-up and input set-up are not counted.
Prints instructions per item (kelto over floor is an instruction-count ratio
to set beside the timed one) and the top functions by inclusive and by self
share of kelto's instructions.

    python3 bench/profile.py                    # every group
    python3 bench/profile.py depends numof --top 20
    python3 bench/profile.py --driver depends:kelto   # the driver alone (used by the above)
    python3 bench/profile.py --check            # fail on a count 5% above bench/counts.json
    python3 bench/profile.py --update           # write the counts measured now there

Output files: build/bench/callgrind/<group>-<side>.out
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from floorbuild import build_floor

build_floor()

import floor  # noqa: E402

BENCH = Path(__file__).resolve().parent
OUT = BENCH.parent / "build" / "bench" / "callgrind"
COUNTS = BENCH / "counts.json"
# Counts barely move between runs (the hash seed is fixed below); a change in
# the code they measure moves them by more than this.
TOLERANCE = 0.05
GROUPS = ("version", "depends", "numof", "deepcopy", "debian")
SIDES = {"version": ("kelto", "split"), "depends": ("kelto", "floor"), "numof": ("kelto", "floor"),
         "deepcopy": ("kelto", "floor"), "debian": ("kelto", "plain")}
SIZES = {"version": 5000, "depends": 5000, "numof": 2000, "deepcopy": 2000, "debian": 2000}
READS = 10


def prepare(group: str, side: str):
    """(callable to profile, items it handles)."""
    import constraints
    import debian_input
    n = SIZES[group]
    if group == "version":
        import versions
        # The texts the timed group parses: those both parsers accept.
        texts, _ = versions.common_subset(versions.load_lines(versions.DEFAULT_VERSIONS, 2 * n))
        texts = texts[:n]
        if side == "kelto":
            from kelto.package.version import Version
            return (lambda: [Version(s) for s in texts]), len(texts)
        return (lambda: [s.split(".") for s in texts]), len(texts)
    if group in ("depends", "numof"):
        names = debian_input.index_package_names(debian_input.find_index(None), 3 * n if group == "numof" else n)
        make = constraints.depends_group if group == "depends" else constraints.numof_group
        g = make(names)
        workload = g.by_name({"kelto": constraints.KELTO_DEPENDS if group == "depends" else constraints.KELTO_NUMOF,
                              "floor": g.floor}[side])
        run = workload.run
        # Built, kept, then dropped inside the window, as the timed run does.
        return (lambda: run() and None), workload.items
    if group == "deepcopy":
        g = constraints.deep_group(n, READS)
        workload = g.by_name(constraints.KELTO_DEEP if side == "kelto" else constraints.FLOOR_DEEP)
        return workload.run, workload.items
    packages = debian_input.load_packages(debian_input.find_index(None), n)
    classes = debian_input.kelto_classes() if side == "kelto" else debian_input.plain_classes()
    return debian_input.outlines_run(classes, packages), len(packages)


def driver(spec: str) -> int:
    group, side = spec.split(":")
    run, items = prepare(group, side)
    run()  # warm: first-use costs stay outside the window
    floor.collect(run)
    print(f"items={items}")
    return 0


LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(\S.*)$")


FILE_PREFIX = re.compile(r"^[^:\s]*:(?!:)")


def annotate(path: Path, inclusive: bool) -> tuple[int, list[tuple[int, float, str]]]:
    """(total, [(count, share, function)]) by function, biggest first; source
    files are dropped (inlined code is reported under several files) and the
    parts of one function are summed. Inclusive rows that hold the whole
    window (the call path into it) are left out."""
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           "--threshold=100", "--auto=no", "--tree=none", str(path)], check=True, capture_output=True, text=True).stdout
    total, merged = 0, {}
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        count, name = int(m.group(1).replace(",", "")), m.group(3)
        if name.startswith(("=>", "<", "*")) or name == "events annotated":
            continue
        if "PROGRAM TOTALS" in name:
            total = count
            continue
        name = FILE_PREFIX.sub("", re.sub(r"\s+\[[^\]]*\]$", "", name)).replace("'2", "")
        merged[name] = merged.get(name, 0) + count
    if total == 0:
        return 0, []
    rows = sorted(((c, 100.0 * c / total, n) for n, c in merged.items()), reverse=True)
    if inclusive:
        rows = [r for r in rows if r[1] < 99.5 or "floor_collect_region" in r[2]]
    return total, rows


def profile(group: str, side: str) -> tuple[int, int]:
    OUT.mkdir(parents=True, exist_ok=True)
    out = OUT / f"{group}-{side}.out"
    # A fixed hash seed: dict and set layouts, and so the counts, repeat.
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                           "--toggle-collect=floor_collect_region", "--dump-instr=no",
                           sys.executable, str(BENCH / "profile.py"), "--driver", f"{group}:{side}"],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-3000:])
        done.check_returncode()
    items = int(re.search(r"items=(\d+)", done.stdout).group(1))
    total, _ = annotate(out, inclusive=False)
    return total, items


def measure_counts(groups: list[str]) -> dict[str, dict[str, float]]:
    """Instructions per item of each group's two sides."""
    counts = {}
    for group in groups:
        counts[group] = {}
        for side in SIDES[group]:
            total, items = profile(group, side)
            counts[group][side] = round(total / items, 1)
    return counts


def check_counts(measured: dict[str, dict[str, float]], committed: dict[str, dict[str, float]]) -> list[str]:
    """The lines that fail the check: a kelto count more than TOLERANCE above
    its committed figure. A peer's count that moved says the interpreter or
    the machine changed, which makes every comparison suspect: that fails too,
    so the figures are measured again rather than trusted."""
    failures = []
    for group, sides in measured.items():
        for side, count in sides.items():
            before = committed.get(group, {}).get(side)
            if before is None:
                failures.append(f"{group} {side}: no committed count (run --update)")
            elif side == "kelto" and count > before * (1 + TOLERANCE):
                failures.append(f"{group} {side}: {count:,.0f} instructions per item, "
                                f"{count / before - 1:+.1%} against {before:,.0f}")
            elif side != "kelto" and abs(count / before - 1) > TOLERANCE:
                failures.append(f"{group} {side} (the peer): {count:,.0f} instructions per item against "
                                f"{before:,.0f}; the interpreter or its build changed, measure anew")
    return failures


def print_counts(measured: dict[str, dict[str, float]], committed: dict[str, dict[str, float]]) -> None:
    print(f"{'group':<10} {'side':<7} {'instr/item':>12} {'committed':>12} {'change':>8} {'x peer':>7}")
    for group, sides in measured.items():
        kelto_side, peer = SIDES[group]
        for side, count in sides.items():
            before = committed.get(group, {}).get(side)
            change = "" if before is None else f"{count / before - 1:+.1%}"
            ratio = f"{count / sides[peer]:.2f}" if side == kelto_side else ""
            print(f"{group:<10} {side:<7} {count:>12,.1f} {'' if before is None else f'{before:,.1f}':>12} "
                  f"{change:>8} {ratio:>7}")


def counts_main(groups: list[str], update: bool) -> int:
    committed = json.loads(COUNTS.read_text(encoding="utf-8")) if COUNTS.exists() else {}
    measured = measure_counts(groups)
    print_counts(measured, committed)
    if update:
        COUNTS.write_text(json.dumps({**committed, **measured}, indent=2, sort_keys=True) + "\n", encoding="utf-8")
        print(f"written to {COUNTS}")
        return 0
    failures = check_counts(measured, committed)
    for line in failures:
        print(f"FAIL {line}", file=sys.stderr)
    return 1 if failures else 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("groups", nargs="*", default=list(GROUPS), choices=[*GROUPS, []])
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("--driver", default=None, help=argparse.SUPPRESS)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true",
                      help=f"only counts; fail when one is {TOLERANCE:.0%} above {COUNTS.name}")
    mode.add_argument("--update", action="store_true", help=f"only counts, written to {COUNTS.name}")
    args = parser.parse_args(argv)
    if args.driver:
        return driver(args.driver)
    if shutil.which("valgrind") is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
    if args.check or args.update:
        return counts_main(args.groups, args.update)
    for group in args.groups:
        kelto_side, other = SIDES[group]
        k_total, k_items = profile(group, kelto_side)
        o_total, o_items = profile(group, other)
        print(f"\n== {group}: kelto {k_total / k_items:,.0f} instructions per item, "
              f"{other} {o_total / o_items:,.0f}; ratio {k_total / k_items / (o_total / o_items):.2f}")
        out = OUT / f"{group}-{kelto_side}.out"
        for inclusive in (True, False):
            _, rows = annotate(out, inclusive)
            print(f"   top by {'inclusive' if inclusive else 'self'} share of kelto's instructions:")
            for count, share, name in rows[: args.top]:
                print(f"   {share:6.2f}%  {count / k_items:>10,.0f}/item  {name[:110]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
