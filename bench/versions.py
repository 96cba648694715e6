"""Workload 1: Version(s) over real version texts, against packaging's
Version and str.split('.') (the floor no parser can beat), plus a bare loop
as the cost of the list comprehension itself, and str()/repr() over pre-built
objects. Every row runs over the texts both parsers accept, so that no parser
is charged for (or spared) an error path."""

from __future__ import annotations

from pathlib import Path

from harness import Group, Workload

from kelto.package.version import Version as KeltoVersion

try:
    import packaging
    from packaging.version import InvalidVersion, Version as PackagingVersion
except ImportError:  # the kelto rows still run; the comparison is skipped
    packaging = None

DEFAULT_VERSIONS = Path(__file__).resolve().parent / "data" / "versions-sample.txt"
EXAMPLES_SHOWN = 3

FLOOR = "str.split('.')"
KELTO_PARSE = "kelto Version(s)"
PACKAGING_PARSE = "packaging Version(s)"


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
    packaging_ok = [True] * len(lines) if packaging is None else [packaging_accepts(s) for s in lines]
    subset = [s for s, k, p in zip(lines, kelto_ok, packaging_ok) if k and p]
    only_kelto = [s for s, k, p in zip(lines, kelto_ok, packaging_ok) if not k and p]
    only_packaging = [s for s, k, p in zip(lines, kelto_ok, packaging_ok) if k and not p]
    return subset, {
        "lines": len(lines),
        "measured": len(subset),
        "refused_by_kelto": kelto_ok.count(False),
        "refused_by_packaging": packaging_ok.count(False),
        "refused_by_kelto_only": len(only_kelto),
        "refused_by_packaging_only": len(only_packaging),
        "examples_refused_by_kelto_only": only_kelto[:EXAMPLES_SHOWN],
        "examples_refused_by_packaging_only": only_packaging[:EXAMPLES_SHOWN],
        "packaging": getattr(packaging, "__version__", None),
    }


def build_group(path: Path, limit: int | None) -> Group:
    """Each workload binds what it calls as a default argument, so that every
    comprehension pays the same local-variable lookup and nothing else."""
    texts, account = common_subset(load_lines(path, limit))
    if not texts:
        raise ValueError(f"no version text of {path} is accepted by both parsers")
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
        Workload("loop [str(s)]", loop, n, side="python"),
        Workload(FLOOR, split, n, side="floor"),
        Workload(KELTO_PARSE, kelto_parse, n, side="kelto"),
        Workload("kelto str(v)", kelto_str, n, side="kelto"),
        Workload("kelto repr(v)", kelto_repr, n, side="kelto"),
    ]
    if packaging is not None:
        packaging_objects = [PackagingVersion(s) for s in texts]

        def packaging_parse(texts=texts, Version=PackagingVersion):
            return [Version(s) for s in texts]

        def packaging_str(objects=packaging_objects, str=str):
            return [str(v) for v in objects]

        workloads.insert(3, Workload(PACKAGING_PARSE, packaging_parse, n, side="packaging"))
        workloads.append(Workload("packaging str(v)", packaging_str, n, side="packaging"))

    notes = [f"{path}" + (f" (first {limit} lines)" if limit else "")
             + f": {account['lines']} lines, refused by kelto {account['refused_by_kelto']}, "
             f"by packaging {account['refused_by_packaging']}; rows run over the {n} both accept"]
    for who in ("kelto", "packaging"):
        examples = account[f"examples_refused_by_{who}_only"]
        if examples:
            notes.append(f"refused by {who} only: {account[f'refused_by_{who}_only']}, e.g. "
                         + ", ".join(repr(s) for s in examples))
    group = Group("version", "Version(s) over real version texts", "version", FLOOR, workloads, notes)
    group.account = account  # type: ignore[attr-defined]
    return group
