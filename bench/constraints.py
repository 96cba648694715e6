"""Workloads 2 to 5: the constraint classes and the main job, each against
the floor extension (bench/floor/floor.c) and the plain Python peer
(bench/peers/plain.py)."""

from __future__ import annotations

import floor
from harness import Group, Workload
from peers import plain

from kelto.package.constraint import Depends, IfThen, Maximize, NumOf

import debian_input

KELTO_DEPENDS = "kelto Depends(name)"
FLOOR_DEPENDS = "floor Str(name)"
PLAIN_DEPENDS = "plain Depends(name)"
KELTO_NUMOF = "kelto NumOf([D,D,D]) >= 2"
FLOOR_NUMOF = "floor List([S,S,S]) >= 2"
PLAIN_NUMOF = "plain NumOf([D,D,D]) >= 2"
KELTO_DEEP = "kelto chain.item"
FLOOR_DEEP = "floor chain.clone()"
PLAIN_DEEP = "plain chain.item"
KELTO_OUTLINE = "kelto outline_for(p)"
PLAIN_OUTLINE = "plain outline_for(p)"


def depends_group(names: list[str]) -> Group:
    def kelto(names=names, Depends=Depends):
        return [Depends(n) for n in names]

    def floor_(names=names, Str=floor.Str):
        return [Str(n) for n in names]

    def plain_(names=names, Depends=plain.Depends):
        return [Depends(n) for n in names]

    n = len(names)
    return Group("depends", "Depends(name) over real package names", "object", FLOOR_DEPENDS, [
        Workload(FLOOR_DEPENDS, floor_, n, side="floor", charge_drop=True),
        Workload(KELTO_DEPENDS, kelto, n, side="kelto", charge_drop=True),
        Workload(PLAIN_DEPENDS, plain_, n, side="plain", charge_drop=True),
    ], [f"{n} of the index's package names, mean length {sum(map(len, names)) / n:.1f}, "
        f"{sum(len(x) > 30 for x in names)} longer than 30 bytes; built, kept, then dropped (the drop is timed)"])


def numof_group(names: list[str]) -> Group:
    triples = list(zip(names[0::3], names[1::3], names[2::3]))

    def kelto(triples=triples, Depends=Depends, NumOf=NumOf):
        return [NumOf([Depends(a), Depends(b), Depends(c)]) >= 2 for a, b, c in triples]

    def floor_(triples=triples, Str=floor.Str, List=floor.List):
        return [List([Str(a), Str(b), Str(c)]) >= 2 for a, b, c in triples]

    def plain_(triples=triples, Depends=plain.Depends, NumOf=plain.NumOf):
        return [NumOf([Depends(a), Depends(b), Depends(c)]) >= 2 for a, b, c in triples]

    n = len(triples)
    return Group("numof", "NumOf([Depends(a), Depends(b), Depends(c)]) >= 2", "rule", FLOOR_NUMOF, [
        Workload(FLOOR_NUMOF, floor_, n, side="floor", charge_drop=True),
        Workload(KELTO_NUMOF, kelto, n, side="kelto", charge_drop=True),
        Workload(PLAIN_NUMOF, plain_, n, side="plain", charge_drop=True),
    ], [f"{n} rules of three real names each; the comparison builds a Cmp; built, kept, then dropped"])


def kelto_chain(depth: int):
    """Maximize(...(Maximize(Depends("leaf")))) with `depth` nodes in all.
    Each wrapping shares the chain below it, so building is linear."""
    chain = Depends("leaf")
    for _ in range(depth - 1):
        chain = Maximize(chain)
    return chain


def plain_chain(depth: int):
    chain = plain.Depends("leaf")
    for _ in range(depth - 1):
        chain = plain.Maximize._adopt(chain)  # linked without copying: same shape, less set-up
    return chain


def deep_group(depth: int, reads: int) -> Group:
    k_chain, p_chain, f_chain = kelto_chain(depth), plain_chain(depth), floor.Node(depth)

    def kelto(chain=k_chain, reads=range(reads)):
        return [chain.item for _ in reads]

    def floor_(chain=f_chain, reads=range(reads)):
        return [chain.clone() for _ in reads]

    def plain_(chain=p_chain, reads=range(reads)):
        return [chain.item for _ in reads]

    n = depth * reads
    return Group("deepcopy", f"reading .item of a {depth}-deep Maximize chain", "node", FLOOR_DEEP, [
        Workload(FLOOR_DEEP, floor_, n, side="floor"),
        Workload(KELTO_DEEP, kelto, n, side="kelto"),
        Workload(PLAIN_DEEP, plain_, n, side="plain"),
    ], [f"{reads} reads per round of a {depth}-node chain; time per node copied",
        "kelto's read shares the nodes below instead of copying them, so its cost does not grow with depth"])


def debian_group(packages: list[dict[str, str]], source: str) -> Group:
    kelto = debian_input.outlines_run(debian_input.kelto_classes(), packages)
    plain_ = debian_input.outlines_run(debian_input.plain_classes(), packages)
    n = len(packages)
    return Group("debian", "one PackageOutline per package of a Debian index", "package", KELTO_OUTLINE, [
        Workload(KELTO_OUTLINE, kelto, n, side="kelto"),
        Workload(PLAIN_OUTLINE, plain_, n, side="plain"),
    ], [f"{source}: {n} packages (read before timing); no floor: ratios are to kelto"])


KELTO_CROSSINGS = ("Maximize(n)", "IfThen(n, n)", "NumOf([n, n])", 'PackageOutline("p", [n])', "m.item")


def crossing_name(operation: str, size: str) -> str:
    return f"{operation} {size}"


def crossing_group(big_items: int, calls: int) -> Group:
    """Handing a constraint object to another, or reading one back, for a
    NumOf of `big_items` items against one of 10: each call shares the node,
    so the two should cost about the same."""
    from kelto.package.outline import PackageOutline

    workloads = []
    for size, items in (("small", 10), ("big", big_items)):
        n = NumOf([Depends("leaf")] * items)
        m = Maximize(n)
        operations = {
            "Maximize(n)": lambda n=n, r=range(calls): [Maximize(n) for _ in r],
            "IfThen(n, n)": lambda n=n, r=range(calls), IfThen=IfThen: [IfThen(n, n) for _ in r],
            "NumOf([n, n])": lambda n=n, r=range(calls): [NumOf([n, n]) for _ in r],
            'PackageOutline("p", [n])': lambda n=n, r=range(calls), P=PackageOutline: [P("p", [n]) for _ in r],
            "m.item": lambda m=m, r=range(calls): [m.item for _ in r],
        }
        for operation, run in operations.items():
            workloads.append(Workload(crossing_name(operation, size), run, calls, side="kelto"))
    return Group("crossing", f"handing over or reading back a NumOf of {big_items} items (big) or 10 (small)",
                 "call", crossing_name(KELTO_CROSSINGS[0], "small"), workloads,
                 [f"{calls} calls per round; goals compare each big row with its own small row"])


def numof_growth(big_items: int, copies: int) -> dict:
    """The resident set growth of NumOf([n] * copies) for a NumOf `n` of
    `big_items` items, kept alive: each entry shares n's node."""
    import memory

    n = NumOf([Depends("leaf")] * big_items)
    entries = [n] * copies
    before = memory.current_rss_bytes()
    kept = NumOf(entries)
    growth = memory.current_rss_bytes() - before
    del kept
    return {"items": big_items, "copies": copies, "growth_bytes": growth}
