"""Rules read back as a user's tools do: a feature matrix, version bounds and
conflicts built by helpers, then walked. Where construction fixes a field's
type, no isinstance is needed; where it does not (a bare `Cmp`, the elements of
`NumOf.of`), isinstance and match narrow. The suite type-checks it with
mypy --strict and pyright strict (no error allowed) and runs it."""

from collections.abc import Iterable

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version


# Helpers whose return types say what they built (3.14 evaluates annotations
# lazily, so the stub-only subscripts never run).
def all_of(window: list[Depends]) -> Cmp[NumOf, Value]:
    return NumOf(window) == len(window)


def at_least(bound: int, names: Iterable[str]) -> Cmp[NumOf, Value]:
    return NumOf([Depends(n) for n in names]) >= bound


def conflict(name: str) -> Cmp[Depends, Value]:
    return Depends(name) == False  # noqa: E712 (builds a constraint)


def minimum(package: str, version: str) -> Cmp[SpecOption, Value]:
    return Cmp(SpecOption(package, "version"), Version(version), CmpType.GreaterOrEqual)


def same_option(option: str, a: str, b: str) -> Cmp[SpecOption, SpecOption]:
    return SpecOption(a, option) == SpecOption(b, option)


window = [Depends("libx11-6"), Depends("libxext6")]
every = all_of(window)
count: int | bool | float | str | Version = every.rhs.value
assert count == 2 and [d.on for d in every.lhs.of if isinstance(d, Depends)] == ["libx11-6", "libxext6"]

tls = same_option("tls", "app", "curl")
assert (tls.lhs.package_name, tls.rhs.package_name, tls.lhs.option_name) == ("app", "curl", "tls")

old = conflict("libssl1.1")
assert old.lhs.on == "libssl1.1" and old.rhs.value is False

png = minimum("libpng16", "1.6.40")
assert png.lhs.package_name == "libpng16" and str(png.rhs.value) == "1.6.40"

# Implications and goals keep what they hold.
gated = (Depends("libgtk-4-1") == True).if_then(png)  # noqa: E712
assert gated.cond.lhs.on == "libgtk-4-1" and gated.then.lhs.option_name == "version"
codecs = Maximize(NumOf([Depends("libwebp7"), Depends("libavif16")]))
assert len(codecs.item.of) == 2
size = Minimize(SpecOption("app", "installed_size"))
assert size.item.option_name == "installed_size"
direct = IfThen(SpecOption("app", "gui") == SpecOption("app", "x11"), 3)
assert direct.cond.rhs.option_name == "x11" and direct.then.value == 3

# A feature matrix: mixed constraints in one list, and one list of rules.
features = {"gui": ["libgtk-4-1", "libgl1"], "tls": ["libssl3"]}
rules: list[Cmp | IfThen] = []
for feature, packages in features.items():
    on = Cmp(SpecOption("app", feature), True, CmpType.Equal)
    rules.append(on.if_then(at_least(len(packages), packages)))
required = [Depends("libc6"), Depends("libc6") == True]  # noqa: E712 (joins to the constraints' common type)
either = NumOf(required) >= 1
outline = PackageOutline("app", [*required, either, old, png, codecs, size, *rules, True, 2],
                         {"version": Version("2.0"), "jobs": 4}, {"proxy": None})


# A walker over what reads back as any constraint: the union narrows.
def names(node: Cmp | Depends | IfThen | Maximize | Minimize | NumOf | SpecOption | Value) -> list[str]:
    match node:
        case Depends():
            return [node.on]
        case NumOf():
            return [n for child in node.of for n in names(child)]
        case Cmp():
            return names(node.lhs) + names(node.rhs)
        case IfThen():
            return names(node.cond) + names(node.then)
        case Maximize() | Minimize():
            return names(node.item)
        case SpecOption():
            return [f"{node.package_name}:{node.option_name}"]
        case Value():
            return []


assert names(rules[0]) == ["app:gui", "libgtk-4-1", "libgl1"]
assert names(codecs) == ["libwebp7", "libavif16"]


def bump(rule: Cmp) -> None:
    """A bare Cmp knows nothing of its sides: narrow, change, store back."""
    right = rule.rhs
    if isinstance(right, Value) and isinstance(right.value, int):
        right.value += 1
        rule.rhs = right


bump(every)
assert every.rhs.value == 3
