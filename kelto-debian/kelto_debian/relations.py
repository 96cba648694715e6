"""The relation fields of a Debian package and their grammar: groups of
alternatives, each a name (with an optional architecture qualifier) and an
optional version bound."""

from __future__ import annotations

import re

from kelto.package.constraint import CmpType

# The relation fields translated, in the order a package's rules are shown.
REQUIRED = ("Pre-Depends", "Depends")
NEGATED = ("Conflicts", "Breaks")
RELATION_FIELDS = (*REQUIRED, *NEGATED, "Recommends")
LEFT_OUT = ("Suggests", "Enhances", "Replaces")
SINGLE_ALTERNATIVE = (*NEGATED, "Provides")

# Debian's relation operators and the CmpType member each one becomes. The
# obsolete "<" and ">" mean "<=" and ">=".
OPERATORS = {"<<": "Less", "<=": "LessOrEqual", "=": "Equal", ">=": "GreaterOrEqual", ">>": "Greater",
             "<": "LessOrEqual", ">": "GreaterOrEqual"}
DEBIAN_OPERATOR = {int(CmpType.Less): "<<", int(CmpType.LessOrEqual): "<=", int(CmpType.Equal): "=",
                   int(CmpType.GreaterOrEqual): ">=", int(CmpType.Greater): ">>"}  # by int(op)

# "libc6 (>= 2.36)", "python3:any", "perl:any (>= 5.10)": name, operator, version.
# A version starts with neither a parenthesis nor an operator's character, so
# "(<< )" is refused rather than read as "(< <)". A name carries at most one
# qualifier, and neither side of its colon is empty ("b:", ":any" and
# "c:any:any" are refused).
RELATION = re.compile(r"\s*([^\s()|,:]+(?::[^\s()|,:]+)?)\s*(?:\(\s*(<<|<=|>=|>>|=|<|>)\s*([^\s()<>=][^\s()]*)\s*\))?\s*")

Relation = tuple[str, str | None, str | None]  # name, Debian operator, version text
Group = list[Relation]  # alternatives: one of them must hold


def parse_relations(text: str, key: str = "Depends") -> list[Group]:
    """A relation field's groups of alternatives; ValueError names the part
    that is not a relation. Conflicts, Breaks and Provides take no
    alternatives, and Provides no operator but "="."""
    groups: list[Group] = []
    for group_text in text.split(","):
        group = _PARSED.get(group_text)
        if group is None:
            if not group_text.strip():
                continue
            group = parse_group(group_text)
        groups.append(group)
        if len(group) > 1 and key in SINGLE_ALTERNATIVE:
            raise ValueError(f"alternatives are not allowed here: {group_text.strip()!r}")
        if key == "Provides" and group[0][1] not in (None, "="):
            raise ValueError(f"a provided version takes '=' only: {group_text.strip()!r}")
    return groups


# Groups already parsed, by their text: an index repeats a few thousand of
# them ("libc6 (>= 2.34)") across most of its packages, and each is then
# parsed once and held once. The groups are shared: nobody changes one.
# Short texts only, and emptied when full: no index grows it without bound.
# Each reading of indexes starts it empty (forget_parsed), so that reading
# the same indexes again ends with the same groups held, not a drifting share.
_PARSED: dict[str, Group] = {}
_PARSED_LIMIT = 1 << 15
_PARSED_LENGTH = 160


def forget_parsed() -> None:
    """Empties the groups kept from earlier readings."""
    _PARSED.clear()


def parse_group(text: str) -> Group:
    """One group of alternatives; ValueError names the part that is not a relation."""
    group: Group = []
    for alternative in text.split("|"):
        match = RELATION.fullmatch(alternative)
        if match is None:
            raise ValueError(f"not a package relation: {alternative.strip()!r}")
        group.append((match[1], match[2], match[3]))
    if len(text) <= _PARSED_LENGTH:
        if len(_PARSED) >= _PARSED_LIMIT:
            _PARSED.clear()
        _PARSED[text] = group
    return group


def split_qualifier(name: str) -> tuple[str, str | None]:
    """("perl", "any") of "perl:any"; (name, None) without a qualifier."""
    package, colon, qualifier = name.partition(":")
    return (package, qualifier) if colon else (name, None)
