"""Memory per object and per package.

Per object: bytes per Depends with a short name as tracemalloc counts them
over many objects, sys.getsizeof, and whether the cyclic collector tracks the
object (in process); and the resident memory each of many Depends adds, in a
fresh process, which also counts what tracemalloc cannot see.

Per package (one fresh subprocess per implementation and per measure, so
that no peak carries over): building an outline for every package of the
index, after the index is read,
- rss: growth of the peak resident set over the resident set before building;
- trace: growth of tracemalloc's traced memory, and its peak. tracemalloc
  sees only the interpreter's allocators, not C++ operator new, so for kelto
  it undercounts; the RSS figure is the verdict.
- held: the resident memory the outlines hold after the whole index was read
  and built package by package (as the demo does) and dropped, over the
  resident set before reading. What a program that keeps the outlines pays.

    python3 bench/memory.py outline --impl kelto --mode rss [--index P] [--limit N]
"""

from __future__ import annotations

import argparse
import gc
import json
import resource
import subprocess
import sys
import tracemalloc
from pathlib import Path

BENCH = Path(__file__).resolve().parent


def per_object(factories: dict[str, object], name: str, count: int) -> dict[str, dict]:
    results = {}
    for side, make in factories.items():
        sample = make(name)
        holder = [None] * count
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for i in range(count):
            holder[i] = make(name)
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        results[side] = {
            "traced_bytes_per_object": (after - before) / count,
            "getsizeof": sys.getsizeof(sample),
            "gc_tracked": gc.is_tracked(sample),
        }
        del holder
    return results


def resident_per_object(impl: str, name: str, count: int) -> float:
    """Resident memory per Depends, over `count` of them made in this fresh
    process and kept: everything an object costs, wherever it is allocated
    (kelto's tree nodes come from C++ operator new, which tracemalloc does
    not see). The list that keeps them is made first and not counted."""
    if impl == "kelto":
        from kelto.package.constraint import Depends
    else:
        sys.path.insert(0, str(BENCH))
        from peers.plain import Depends
    holder = [None] * count
    holder[0] = Depends(name)  # first use: type caches, pools
    gc.collect()
    before = current_rss_bytes()
    for i in range(count):
        holder[i] = Depends(name)
    return (current_rss_bytes() - before) / count


def resident_per_object_in_subprocess(impl: str, name: str, count: int) -> float:
    command = [sys.executable, str(BENCH / "memory.py"), "depends", "--impl", impl,
               "--name", name, "--count", str(count)]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return float(json.loads(done.stdout.strip().splitlines()[-1]))


def current_rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def status_bytes(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak_rss() -> bool:
    """Lowers the recorded peak (VmHWM) to the current resident set, so that
    reading the index does not set the peak that building is judged on."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def held_by_outlines(impl: str, index: str | None, limit: int | None) -> dict:
    """The resident memory the outlines hold once the index is gone: read and
    build package by package as the demo does, keep only the outlines, then
    compare the resident set with the one before reading."""
    import debian_input
    path = str(debian_input.find_index(index))
    classes = debian_input.kelto_classes() if impl == "kelto" else debian_input.plain_classes()
    # Who provides what, from a first reading that keeps only that, as the demo does.
    build = debian_input.Builder(classes, debian_input.gather_facts(path, limit or 0)).outline
    build(debian_input.load_packages(path, 1)[0])  # first-use costs are not per package
    gc.collect()
    rss_before = current_rss_bytes()
    outlines = []
    for line, fields in debian_input.read_stanzas(path):
        outlines.append(build(debian_input.prepare(path, line, fields)))
        if limit and len(outlines) >= limit:
            break
    gc.collect()
    held = current_rss_bytes() - rss_before
    return {"impl": impl, "mode": "held", "packages": len(outlines), "held_per_package": held / len(outlines)}


def probe_outlines(impl: str, mode: str, index: str | None, limit: int | None) -> dict:
    if mode == "held":
        return held_by_outlines(impl, index, limit)
    import debian_input
    packages = debian_input.load_packages(debian_input.find_index(index), limit)
    classes = debian_input.kelto_classes() if impl == "kelto" else debian_input.plain_classes()
    build = debian_input.outline_builder(classes, packages)
    build(packages[0])  # first-use costs (class set-up, regex) are not per package
    gc.collect()
    result = {"impl": impl, "mode": mode, "packages": len(packages)}
    if mode == "rss":
        peak_reset = reset_peak_rss()
        rss_before = current_rss_bytes()
        outlines = [build(fields) for fields in packages]
        peak = status_bytes("VmHWM") if peak_reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        result["peak_reset"] = peak_reset
        result["rss_before"] = rss_before
        result["peak_rss"] = peak
        result["peak_growth_per_package"] = (peak - rss_before) / len(packages)
        result["rss_growth_per_package"] = (current_rss_bytes() - rss_before) / len(packages)
    else:
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        outlines = [build(fields) for fields in packages]
        current, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        result["traced_per_package"] = (current - before) / len(packages)
        result["traced_peak_per_package"] = (peak - before) / len(packages)
    del outlines
    return result


def outlines_in_subprocess(impl: str, mode: str, index: str | None, limit: int | None) -> dict:
    command = [sys.executable, str(BENCH / "memory.py"), "outline", "--impl", impl, "--mode", mode]
    if index:
        command += ["--index", str(index)]
    if limit:
        command += ["--limit", str(limit)]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="memory per Depends or per package, in this process")
    parser.add_argument("what", choices=["outline", "depends"])
    parser.add_argument("--impl", choices=["kelto", "plain"], required=True)
    parser.add_argument("--mode", choices=["rss", "trace", "held"], help="what to measure of outlines")
    parser.add_argument("--index", default=None)
    parser.add_argument("--limit", type=int, default=None)
    parser.add_argument("--name", default="libc6", help="the name of each Depends")
    parser.add_argument("--count", type=int, default=200000, help="how many Depends")
    args = parser.parse_args(argv)
    if args.what == "depends":
        print(json.dumps(resident_per_object(args.impl, args.name, args.count)))
    elif args.mode is None:
        parser.error("outline needs --mode")
    else:
        print(json.dumps(probe_outlines(args.impl, args.mode, args.index, args.limit)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
