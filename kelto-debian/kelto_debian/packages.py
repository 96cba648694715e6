"""A stanza's fields made ready for translation: its relation fields parsed."""

from __future__ import annotations

from .index import BadIndex, read_stanzas
from .model import Package
from .relations import RELATION_FIELDS, Group, parse_relations


def prepare(path: str, line: int, fields: dict[str, str]) -> Package:
    """The stanza as a Package: its fields, its parsed relations and the
    number of bounds its text holds."""
    for key in ("Package", "Version"):
        if not fields.get(key):
            raise BadIndex(f"{path}:{line}: stanza without a {key} field")
    if "Binary" in fields:
        raise BadIndex(f"{path}:{line}: a Sources index, not a Packages index"
                       f" (the stanza of {fields['Package']} has a Binary field)")
    relations: dict[str, list[Group]] = {}
    bounds = 0
    for key in (*RELATION_FIELDS, "Provides"):
        text = fields.get(key)
        if text:
            try:
                relations[key] = parse_relations(text, key)
            except ValueError as error:
                raise BadIndex(f"{path}:{line}: {fields['Package']}: {key}: {error}") from None
            if key != "Provides":
                bounds += text.count("(")
    provides = relations.pop("Provides", [])
    return Package(fields["Package"], fields["Version"], fields.get("Architecture", "all"), fields.get("Multi-Arch"),
                   relations, [group[0] for group in provides], bounds, fields)


def read_packages(path: str, limit: int = 0) -> list[Package]:
    packages = []
    for line, fields in read_stanzas(path):
        packages.append(prepare(path, line, fields))
        if limit and len(packages) >= limit:
            break
    return packages
