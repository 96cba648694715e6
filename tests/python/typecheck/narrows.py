# mypy: disallow-any-expr
"""Rules that arrive untyped (from a cache, a plugin, a queue) and are narrowed
back to what they are, as the guide advises: a value typed AnyConstraint
narrows with isinstance or match, and a value typed object narrows through a
TypeIs helper. The suite type-checks it with mypy --strict, refusing every
expression typed Any (the file's own mypy setting), and pyright strict, which
refuses Unknown; then runs it."""

from typing import TYPE_CHECKING, TypeIs

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value

if TYPE_CHECKING:
    from kelto.package.constraint import AnyConstraint


def is_rule(x: object) -> TypeIs[Cmp]:
    return isinstance(x, Cmp)


def is_implication(x: object) -> TypeIs[IfThen]:
    return isinstance(x, IfThen)


def depended_on(node: AnyConstraint) -> list[str]:
    """Every package a rule names, however deep."""
    if isinstance(node, Depends):
        return [node.on]
    if isinstance(node, NumOf):
        return [name for child in node.of for name in depended_on(child)]
    if isinstance(node, Cmp):
        return depended_on(node.lhs) + depended_on(node.rhs)
    if isinstance(node, IfThen):
        return depended_on(node.cond) + depended_on(node.then)
    if isinstance(node, (Maximize, Minimize)):
        return depended_on(node.item)
    return []


def lower_bound(node: AnyConstraint) -> int | None:
    """The n of `NumOf(...) >= n`, read through two levels of narrowing."""
    match node:
        case Cmp() if isinstance(node.lhs, NumOf) and isinstance(node.rhs, Value):
            value = node.rhs.value
            return value if isinstance(value, int) and int(node.op) == int(CmpType.GreaterOrEqual) else None
        case _:
            return None


def from_storage(items: list[object]) -> list[str]:
    names: list[str] = []
    for item in items:
        if is_rule(item):
            names += depended_on(item.lhs)
        elif is_implication(item):
            names += depended_on(item.then)
    return names


stored: list[object] = [NumOf([Depends("libssl3"), Depends("libgnutls30")]) >= 1,
                        (Depends("libgtk-4-1") == True).if_then(Depends("libgl1")),  # noqa: E712
                        "not a rule"]
assert from_storage(stored) == ["libssl3", "libgnutls30", "libgl1"]

rules: list[AnyConstraint] = [Depends("libc6"), Depends("libc6") == True, Maximize(SpecOption("app", "jobs"))]  # noqa: E712
assert [name for rule in rules for name in depended_on(rule)] == ["libc6", "libc6"]
assert lower_bound(NumOf([Depends("a"), Depends("b")]) >= 2) == 2 and lower_bound(rules[0]) is None
