"""Rules read back into Debian's notation, through the constraints' own
properties, never from the index."""

from __future__ import annotations

from typing import Any

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption, Value
from kelto.package.version import Version

from .model import Package
from .outlines import SAME_NAME, Builder, base_name
from .relations import DEBIAN_OPERATOR, LEFT_OUT, NEGATED, RELATION_FIELDS, REQUIRED, split_qualifier

NOT_EQUAL = int(CmpType.NotEqual)
EQUAL = int(CmpType.Equal)
GREATER_EQUAL = int(CmpType.GreaterOrEqual)
LESS_EQUAL = int(CmpType.LessOrEqual)


def bound_text(bound: Any) -> tuple[str, str]:
    """(package, " (op version)") of Cmp(SpecOption(p, "version"), v, op)."""
    lhs = bound.lhs if isinstance(bound, Cmp) else None
    if not isinstance(lhs, SpecOption) or lhs.option_name != "version":
        raise ValueError(f"not a version bound: {bound!r}")
    return lhs.package_name, f" ({DEBIAN_OPERATOR[int(bound.op)]} {bound.rhs.value})"


def is_value(c: Any, value: object) -> bool:
    return isinstance(c, Value) and type(c.value) is type(value) and c.value == value


def all_of(c: Any) -> list[Any] | None:
    """The parts of NumOf(parts) == len(parts), else None."""
    if isinstance(c, Cmp) and int(c.op) == EQUAL and isinstance(c.lhs, NumOf):
        parts = c.lhs.of
        if is_value(c.rhs, len(parts)):
            return parts
    return None


def any_of(c: Any) -> list[Any] | None:
    """The parts of NumOf(parts) >= 1, else None."""
    if isinstance(c, Cmp) and int(c.op) == GREATER_EQUAL and isinstance(c.lhs, NumOf) and is_value(c.rhs, 1):
        return c.lhs.of
    return None


def option_condition(c: Any) -> tuple[str, str] | None:
    """(package, option) of Cmp(SpecOption(package, option), value, op)."""
    if isinstance(c, Cmp) and isinstance(c.lhs, SpecOption):
        return c.lhs.package_name, c.lhs.option_name
    return None


def condition_text(name: str, c: Any) -> str:
    """":any", ":amd64" or " (op version)": one condition on outline `name`;
    "" for the one that leaves a package's own version out of its conflict."""
    alternatives = any_of(c)
    if alternatives:  # the native architecture or all; "allowed" or "foreign"
        c = alternatives[0]
    found = option_condition(c)
    if found is None or found[0] != name:
        raise ValueError(f"not a condition on {name}: {c!r}")
    option = found[1]
    if option == "version":
        return "" if int(c.op) == NOT_EQUAL else bound_text(c)[1]
    if int(c.op) == EQUAL and option == "multi_arch" and is_value(c.rhs, "allowed"):
        return ":any"
    if int(c.op) == EQUAL and option == "architecture":
        return f":{c.rhs.value}"
    raise ValueError(f"not a condition on {name}: {c!r}")


def provided_name(conditions: list[Any]) -> str | None:
    """NAME when the first condition is on a provider's "provides:NAME[#K]"."""
    found = option_condition(conditions[0]) if conditions else None
    if found is None or not found[1].startswith("provides:"):
        return None
    return found[1][len("provides:"):].partition("#")[0]


def relation_text(name: str, conditions: list[Any]) -> str:
    return base_name(name) + "".join(condition_text(name, c) for c in conditions)


def first_option(conditions: list[Any]) -> str | None:
    """The option the first condition (or its first alternative) is on."""
    if not conditions:
        return None
    found = option_condition((any_of(conditions[0]) or conditions)[0])
    return found[1] if found else None


def is_expansion(name: str, conditions: list[Any], last: str | None, negated: bool = False) -> bool:
    """Whether a rule on outline `name` is one the translation adds for
    another architecture's outline of the relation just written (on
    `last`). A written conflict names the native outline or carries its
    architecture condition; an added one on "NAME:ARCH" carries none. An
    added alternative starts with its Multi-Arch condition: "foreign" alone,
    or for ":any" the same as the written one, whose outline is the native."""
    if base_name(name) != last:
        return False
    if negated:
        return ":" in name and first_option(conditions) != "architecture"
    if first_option(conditions) != "multi_arch":
        return False
    return ":" in name or any_of(conditions[0]) is None


def written_text(name: str, conditions: list[Any], last: str | None) -> str | None:
    """The relation as written in the field, or None when the conditions are
    a provider's or another architecture's, which follow the relation (on
    `last`) they meet."""
    provided = provided_name(conditions)
    if provided is None:
        return None if is_expansion(name, conditions, last) else relation_text(name, conditions)
    if provided != last:
        raise ValueError(f"provider {name} of {provided} after a relation on {last}")
    return None


def render_alternatives(items: list[Any]) -> list[str]:
    """The written relations among a group's alternatives; the providers'
    alternatives each follow the relation they meet."""
    written: list[str] = []
    last: str | None = None  # the package name the last written relation is on
    for item in items:
        parts = [item] if isinstance(item, Depends) else all_of(item)
        if not parts or not isinstance(parts[0], Depends):
            raise ValueError(f"not a relation: {item!r}")
        name = parts[0].on
        text = written_text(name, parts[1:], last)
        if text is not None:
            written.append(text)
            last = base_name(name)
    return written


def render_group(c: Any) -> str:
    return " | ".join(render_alternatives(any_of(c) or [c]))


def render_required(rules: list[Any]) -> list[str]:
    groups: list[str] = []
    last: str | None = None  # the outline of a Depends a bound may follow
    for rule in rules:
        if isinstance(rule, Cmp) and isinstance(rule.lhs, SpecOption):
            name, bound_part = bound_text(rule)
            if name != last:
                raise ValueError(f"bound on {name} without its Depends")
            groups[-1] += bound_part
            last = None
        else:
            groups.append(render_group(rule))
            last = rule.on if isinstance(rule, Depends) else None
    return groups


def excluded(c: Any) -> list[Any]:
    """The conditions of `cond == False`: what a conflict excludes."""
    if not (isinstance(c, Cmp) and int(c.op) == EQUAL and is_value(c.rhs, False)):
        raise ValueError(f"not an exclusion: {c!r}")
    return all_of(c.lhs) or [c.lhs]


def one_provider_name(rule: Any) -> str | None:
    """NAME of the rule that at most one package providing NAME is
    installed (NumOf(parts) <= 1, each part on "provides:NAME"), else None."""
    if not (isinstance(rule, Cmp) and int(rule.op) == LESS_EQUAL and isinstance(rule.lhs, NumOf)
            and is_value(rule.rhs, 1)):
        return None
    first = rule.lhs.of[0]
    parts = all_of((any_of(first) or [first])[0])
    return provided_name(parts[1:]) if parts else None


def negated_text(rule: Any, last: str | None) -> str | None:
    """One conflict rule as written, or None when it follows the written one
    (on `last`): another architecture's outline, or a provider."""
    provided = one_provider_name(rule)
    if provided is not None:
        if provided != last:
            raise ValueError(f"the providers of {provided} after a relation on {last}")
        return None
    if isinstance(rule, Cmp) and int(rule.op) == EQUAL and is_value(rule.rhs, False):
        if isinstance(rule.lhs, Depends):
            name = rule.lhs.on
            return None if is_expansion(name, [], last, negated=True) else base_name(name)
        alternatives = any_of(rule.lhs)
        if alternatives:  # none of the name's architectures: ":any"
            parts = all_of(alternatives[0]) or [alternatives[0]]
            if not isinstance(parts[0], Depends):
                raise ValueError(f"not a negated relation: {rule!r}")
            name = parts[0].on
            return base_name(name) + ":any" + "".join(condition_text(name, c) for c in parts[1:])
    present = rule.cond.lhs if isinstance(rule, IfThen) and isinstance(rule.cond, Cmp) else None
    if not (isinstance(present, Depends) and is_value(rule.cond.rhs, True)):
        raise ValueError(f"not a negated relation: {rule!r}")
    name, then = present.on, rule.then
    either = any_of(then)
    if option_condition(then) == (name, "version") and int(then.op) == EQUAL:  # other versions of itself
        return None if is_expansion(name, [], last, negated=True) else base_name(name)
    if either and option_condition(either[0]) == (name, "version"):
        conditions = excluded(either[1])
        return None if is_expansion(name, conditions, last, negated=True) else relation_text(name, conditions)
    conditions = excluded(then)
    if is_expansion(name, conditions, last, negated=True):
        return None
    return written_text(name, conditions, last)


def conflict_text(rule: Any) -> str:
    """One conflict rule on its own: as written, or for a provider the
    name it provides (with the bound) and who provides it."""
    provided = one_provider_name(rule)
    if provided is not None:
        return provided
    try:
        text = negated_text(rule, None)
    except ValueError:
        conditions = excluded(rule.then) if isinstance(rule, IfThen) else []
        provided = provided_name(conditions)
        if provided is None:
            raise
        bound = conditions[0]
        bound_part = f" ({DEBIAN_OPERATOR[int(bound.op)]} {bound.rhs.value})" if "#" in bound.lhs.option_name else ""
        return f"{provided}{bound_part} (provided by {rule.cond.lhs.on})"
    if text is None:
        raise ValueError(f"not a negated relation: {rule!r}")
    return text


def rule_names(rule: Any) -> list[str]:
    """The outlines a rule's Depends name, in order."""
    names: list[str] = []
    stack = [rule]
    while stack:
        c = stack.pop()
        if isinstance(c, Depends):
            names.append(c.on)
        elif isinstance(c, NumOf):
            stack.extend(reversed(c.of))
        elif isinstance(c, Cmp):
            stack.extend([c.rhs, c.lhs])
            if isinstance(c.lhs, SpecOption) and c.lhs.option_name == "version":
                names.append(c.lhs.package_name)
        elif isinstance(c, IfThen):
            stack.extend([c.then, c.cond])
    return names


def render_negated(rules: list[Any]) -> list[str]:
    groups: list[str] = []
    last: str | None = None
    for rule in rules:
        text = negated_text(rule, last)
        if text is not None:
            groups.append(text)
            last = text.partition(" ")[0].partition(":")[0]
    return groups


def render_field(key: str, rules: list[Any]) -> str:
    """The field's relations in Debian's notation, from its constraint objects."""
    if key in REQUIRED:
        groups = render_required(rules)
    elif key in NEGATED:
        groups = render_negated(rules)
    else:
        (goal,) = rules
        groups = [render_group(c) for c in goal.item.of]
    return ", ".join(groups)


def render_provides(options: dict[str, Any]) -> str:
    """The Provides field, from the options a provider's outline sets."""
    provided: list[str] = []
    for key, value in options.items():
        if key.startswith("provides:"):
            name, slot, _ = key[len("provides:"):].partition("#")
            if not slot:
                provided.append(name)
            else:  # a version of the name: in place of the bare name just before it
                if provided and provided[-1] == name:
                    provided.pop()
                provided.append(f"{name} (= {value})")
    return ", ".join(provided)


def render_same_name(rules: list[Any]) -> list[str]:
    """What sharing the package's name with other architectures allows."""
    lines = []
    for rule in rules:
        if isinstance(rule, IfThen):
            other = rule.cond.lhs.on
            version = next(part.rhs.value for part in all_of(rule.then) or [] if first_option([part]) == "version")
            lines.append(f"beside {other} only when both are Multi-Arch: same, at version {version}")
        else:
            lines.append(f"never beside {rule.lhs.on}")
    return lines


def providers_of(builder: Builder, name: str) -> list[str]:
    """What `--show` prints of a name only provided: who provides it."""
    return [f"{name}: a virtual package, provided by", *(f"  {p}" for p in builder.facts.providers[name])]


def show(builder: Builder, package: Package) -> list[str]:
    rules = builder.rules(package)
    builder.outline(package, rules)  # the same objects the outline is built from
    lines = [f"Package: {package.name}"]
    for key in RELATION_FIELDS:
        if key in rules:
            lines.append(f"{key}: {render_field(key, rules[key])}")
    options = builder.options(package)
    if package.provides:
        lines.append(f"Provides: {render_provides(options)}")
    lines.append(f"Architecture: {options['architecture']}")
    if package.multi_arch_field:
        lines.append(f"Multi-Arch: {package.multi_arch_field}")
    lines += [f"  {text}" for text in render_same_name(rules.get(SAME_NAME, []))]
    for key, value in options.items():
        kind = "Version" if isinstance(value, Version) else type(value).__name__
        lines.append(f"  option {key} = {value} ({kind})")
    lines.append(f"  default multi_arch = {package.multi_arch_field}")
    provided = {split_qualifier(name)[0] for groups in package.relations.values()
                for group in groups for name, _, _ in group}
    spelled = []
    for name in sorted(provided & builder.facts.providers.keys()):
        providers = [p for p in builder.facts.providers[name] if p != builder.outline_name(package)]
        if providers:
            spelled.append(f"{name} ({', '.join(providers) if len(providers) <= 4 else f'{len(providers)} packages'})")
    if spelled:
        lines.append(f"  providers spelled out: {', '.join(spelled)}")
    for key in LEFT_OUT:
        if key in package.fields:
            lines.append(f"  (not translated) {key}: {package.fields[key]}")
    return lines
