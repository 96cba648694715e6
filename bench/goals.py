"""The performance goals, judged on ratios measured in the same run. A missed
goal is reported, never an error."""

from __future__ import annotations

import statistics

import constraints as c
import installability as i
import versions as v
from harness import Group, paired_ratio

# (group, description, numerator, denominator, comparison, target):
# the ratio is numerator time / denominator time per item, paired per round.
TIME_GOALS = [
    ("version", "Version <= 1.25x str.split", v.KELTO_PARSE, v.FLOOR, "<=", 1.25),
    ("version", "Version >= 5x faster than packaging", v.PACKAGING_PARSE, v.KELTO_PARSE, ">=", 5.0),
    ("depends", "Depends <= 1.0x floor", c.KELTO_DEPENDS, c.FLOOR_DEPENDS, "<=", 1.0),
    ("numof", "NumOf shape <= 1.1x floor shape", c.KELTO_NUMOF, c.FLOOR_NUMOF, "<=", 1.1),
    ("numof", "NumOf shape >= 5x faster than plain", c.PLAIN_NUMOF, c.KELTO_NUMOF, ">=", 5.0),
    ("deepcopy", "deep copy <= 2x floor per node", c.KELTO_DEEP, c.FLOOR_DEEP, "<=", 2.0),
    ("deepcopy", "deep copy >= 10x faster than plain", c.PLAIN_DEEP, c.KELTO_DEEP, ">=", 10.0),
    ("debian", "Debian outlines >= 5x faster than plain", c.PLAIN_OUTLINE, c.KELTO_OUTLINE, ">=", 5.0),
    ("installable", "installability >= 2x faster than dose-distcheck", i.DOSE_CHECK, i.KELTO_CHECK, ">=", 2.0),
    ("installable", "amd64 with i386 <= 3x dose-distcheck on amd64 alone", i.KELTO_WITH_I386, i.DOSE_CHECK, "<=", 3.0),
] + [
    ("crossing", f"{op} big <= 5x small", c.crossing_name(op, "big"), c.crossing_name(op, "small"), "<=", 5.0)
    for op in c.KELTO_CROSSINGS
]

GROWTH_LIMIT = 64 * 2**20


def _met(value: float, comparison: str, target: float) -> bool:
    return value <= target if comparison == "<=" else value >= target


def evaluate(groups: list[Group], memory: dict | None, growth: dict | None = None) -> list[dict]:
    by_key = {g.key: g for g in groups}
    verdicts = []
    for key, description, numerator, denominator, comparison, target in TIME_GOALS:
        group = by_key.get(key)
        try:
            top, bottom = group.by_name(numerator), group.by_name(denominator)
        except (AttributeError, KeyError):
            continue  # group not run, or peer not installed
        value = paired_ratio(top, bottom)
        verdicts.append({"goal": description, "group": key, "value": value,
                         "median_ratio": top.median_per_item / bottom.median_per_item,
                         "target": f"{comparison} {target}", "met": _met(value, comparison, target),
                         "measure": f"{numerator} / {denominator}, paired"})
    ours, theirs = i.PEAKS.get(i.KELTO_CHECK), i.PEAKS.get(i.DOSE_CHECK)
    mine = statistics.median(ours) if ours else 0
    checker = statistics.median(theirs) if theirs else 0
    if mine and checker:  # a run over before its first sample has no peak (the tiny counts of test)
        verdicts.append({"goal": "installability peak memory <= dose-distcheck's", "group": "installable",
                         "value": mine / checker, "target": "<= 1.0", "met": mine <= checker,
                         "measure": "peak resident memory, median of the runs",
                         "detail": f"ours {mine / 2**20:.0f} MiB, the checker's {checker / 2**20:.0f} MiB"
                         + "".join(f"; {name} {statistics.median(peaks) / 2**20:.0f} MiB"
                                   for name, peaks in i.PEAKS.items() if name not in (i.KELTO_CHECK, i.DOSE_CHECK))})
    if growth is not None:
        grown = growth["growth_bytes"]
        verdicts.append({"goal": f"NumOf([n] * {growth['copies']}) grows < 64 MiB", "group": "crossing",
                         "value": grown / 2**20, "target": "< 64", "met": grown < GROWTH_LIMIT,
                         "measure": f"resident set growth in MiB, n of {growth['items']} items"})
    if memory is not None:
        kelto = memory["per_object"]["kelto"]
        # The resident figure also counts the tree node, which tracemalloc cannot see.
        # To a tenth of a byte: per object, the measurement's own few bytes
        # (the interpreter's bookkeeping while it counts) show as a fraction.
        size = round(max(kelto["traced_bytes_per_object"], kelto["getsizeof"], kelto["resident_bytes_per_object"]), 1)
        verdicts.append({"goal": "Depends <= 64 bytes per object", "group": "memory", "value": size,
                         "target": "<= 64", "met": size <= 64,
                         "measure": "max(tracemalloc bytes, sys.getsizeof, resident bytes per object)"})
        verdicts.append({"goal": "Depends not GC-tracked", "group": "memory",
                         "value": kelto["gc_tracked"], "target": "False", "met": not kelto["gc_tracked"],
                         "measure": "gc.is_tracked(Depends('libc6'))"})
        per_package = memory["per_package"]
        k = per_package["kelto_rss"]["peak_growth_per_package"]
        p = per_package["plain_rss"]["peak_growth_per_package"]
        verdicts.append({"goal": "Debian peak memory per package <= plain's", "group": "memory",
                         "value": k / p if p > 0 else float("inf"), "target": "<= 1.0",
                         "met": k <= p, "measure": f"peak RSS growth per package, kelto {k:.0f} B / plain {p:.0f} B"})
        k = per_package["kelto_held"]["held_per_package"]
        p = per_package["plain_held"]["held_per_package"]
        verdicts.append({"goal": "Debian memory held per package <= 0.7x plain's", "group": "memory",
                         "value": k / p if p > 0 else float("inf"), "target": "<= 0.7",
                         "met": k <= 0.7 * p, "measure": f"RSS held per package, kelto {k:.0f} B / plain {p:.0f} B"})
    return verdicts


def print_table(verdicts: list[dict]) -> None:
    if not verdicts:
        return
    print("\n== goals (judged on paired ratios of this run; reported, never enforced)")
    print(f"{'goal':<44} {'measured':>9} {'target':>8}  verdict")
    for row in verdicts:
        value = row["value"]
        shown = f"{value:.2f}" if isinstance(value, float) else str(value)
        print(f"{row['goal']:<44} {shown:>9} {row['target']:>8}  {'met' if row['met'] else 'NOT MET'}")
        if "detail" in row:
            print(f"  ({row['detail']})")
    missed = [row["goal"] for row in verdicts if not row["met"]]
    print(f"{len(verdicts) - len(missed)} of {len(verdicts)} goals met"
          + (f"; missed: {'; '.join(missed)}" if missed else ""))
