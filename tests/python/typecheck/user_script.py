"""A package description as a user writes it. The suite type-checks it with
mypy --strict (no error allowed) and runs it."""

from collections.abc import Sequence

import kelto
from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

OptionValue = bool | int | float | str | Version


def at_least_one(*names: str) -> Cmp:
    return NumOf([Depends(n) for n in names]) >= 1


def exactly_one(names: Sequence[str]) -> Cmp:
    deps = [Depends(n) for n in names]
    return NumOf(deps) == 1


def conflicts(name: str) -> Cmp:
    return Depends(name) == False  # noqa: E712 (builds a constraint)


def option_is(package: str, option: str, value: OptionValue) -> Cmp:
    return Cmp(SpecOption(package, option), value, CmpType.Equal)


def versioned(name: str, minimum: str) -> IfThen:
    newer = Cmp(SpecOption(name, "version"), Version(minimum), CmpType.GreaterOrEqual)
    return (Depends(name) == True).if_then(newer)  # noqa: E712


def dependency_names(rule: Cmp) -> list[str]:
    """Reads a rule back: the fields are unions, narrowed with isinstance."""
    side = rule.lhs
    if isinstance(side, NumOf):
        return [d.on for d in side.of if isinstance(d, Depends)]
    if isinstance(side, Depends):
        return [side.on]
    return []


def bump(rule: Cmp) -> None:
    right = rule.rhs  # a copy: change it, then store it back
    if isinstance(right, Value) and isinstance(right.value, int):
        right.value = right.value + 1
        rule.rhs = right


two_of = 2 <= NumOf([Depends("libwebp7"), Depends("libavif16"), Depends("libheif1")])
same_linkage = SpecOption("app", "shared") == SpecOption("zlib", "shared")
newer_than_zlib = SpecOption("app", "version") >= SpecOption("zlib", "version")
gui = option_is("app", "gui", True).if_then(NumOf([Depends("libgtk-4-1"), True, 1.5]) <= 1)
goals: list[Maximize | Minimize] = [Maximize(NumOf([Depends("libwebp7")])), Minimize(SpecOption("app", "installed_size"))]
options = {"shared": True, "static": False}
defaults: dict[str, int] = {"jobs": 4}

app = PackageOutline(
    "app",
    [at_least_one("libssl3", "libgnutls30"), exactly_one(["a", "b"]), conflicts("libssl1.1"), two_of,
     same_linkage, newer_than_zlib, gui, *goals, Depends("libc6"), versioned("libpng16", "1.6.40"), True],
    set_options=options,
    set_defaults=defaults,
)
mixed = PackageOutline(
    "tool",
    (Depends("libc6"),),
    {"version": Version("2.4.1"), "shared": True, "jobs": 4, "ratio": 0.5, "tls": "openssl"},
    {"proxy": None, "theme": "light"},
)

assert dependency_names(two_of) == ["libwebp7", "libavif16", "libheif1"]
bump(two_of)
assert isinstance(two_of.rhs, Value) and two_of.rhs.value == 3
code: int = int(two_of.op)
assert code == int(CmpType.GreaterOrEqual) and repr(two_of.op) == "CmpType.GreaterOrEqual"
two_of.op = CmpType.Greater
two_of.lhs = Depends("libc6")
counted = NumOf([])
counted.of = [Depends("a"), 1, False, Version("1.0")]
counted.of = (True,)
first = counted.of[0]
assert isinstance(first, Value) and first.value is True
assert isinstance(gui.then, Cmp) and dependency_names(gui.then) == ["libgtk-4-1"]
rule: IfThen = exactly_one(["a"]).if_then(Depends("b"))
whole = IfThen(Depends("a") != False, Minimize(1.5))  # noqa: E712


def announce() -> None:
    kelto.init_tracing()
    kelto.main_entry()
