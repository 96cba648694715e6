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

Output files: build/bench/callgrind/<group>-<side>.out
"""

from __future__ import annotations

import argparse
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
        texts = versions.load_lines(versions.DEFAULT_VERSIONS, n)
        if side == "kelto":
            from kelto.package.version import Version
            return (lambda: [Version(s) for s in texts]), len(texts)
        return (lambda: [s.split(".") for s in texts]), len(texts)
    if group in ("depends", "numof"):
        packages = debian_input.load_packages(debian_input.find_index(None), 3000)
        names = debian_input.dependency_names(packages, 3 * n if group == "numof" else n)
        make = constraints.depends_group if group == "depends" else constraints.numof_group
        g = make(names)
        workload = g.by_name({"kelto": constraints.KELTO_DEPENDS if group == "depends" else constraints.KELTO_NUMOF,
                              "floor": g.floor}[side])
        return workload.run, workload.items
    if group == "deepcopy":
        g = constraints.deep_group(n, READS)
        workload = g.by_name(constraints.KELTO_DEEP if side == "kelto" else constraints.FLOOR_DEEP)
        return workload.run, workload.items
    packages = debian_input.load_packages(debian_input.find_index(None), n)
    classes = debian_input.kelto_classes() if side == "kelto" else debian_input.plain_classes()
    build = debian_input.outline_builder(classes, packages)
    build(packages[0])
    return (lambda: [build(p) for p in packages]), len(packages)


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
    done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                           "--toggle-collect=floor_collect_region", "--dump-instr=no",
                           sys.executable, str(BENCH / "profile.py"), "--driver", f"{group}:{side}"],
                          check=True, capture_output=True, text=True)
    items = int(re.search(r"items=(\d+)", done.stdout).group(1))
    total, _ = annotate(out, inclusive=False)
    return total, items


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("groups", nargs="*", default=list(GROUPS), choices=[*GROUPS, []])
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("--driver", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.driver:
        return driver(args.driver)
    if shutil.which("valgrind") is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
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
