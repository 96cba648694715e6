"""The typed model of what the tool reads: a Debian package as its stanza
gives it, with its relations parsed, and the light header of one that the
index-wide facts need before any package is translated."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Protocol

from .relations import Group, Relation


@dataclass(slots=True)
class Package:
    """One stanza of a Packages index, ready for translation.

    `fields` holds every field as read (the fields not translated among
    them), under Debian's spelling; the attributes are the ones the
    translation reads. `relations` maps each relation field present to its
    groups of alternatives, in field order; `provides` is the Provides
    field's relations. `outline` is the outline name, once the index's
    native architecture settles it."""

    name: str
    version: str
    architecture: str = "all"
    multi_arch_field: str | None = None  # the Multi-Arch field as written, None when absent
    relations: dict[str, list[Group]] = field(default_factory=dict)
    provides: list[Relation] = field(default_factory=list)
    bounds_in_text: int = 0  # the version bounds written in its relation fields
    fields: dict[str, str] = field(default_factory=dict)
    outline: str = ""
    first: bool = True  # from the first index given (whose architecture is the native one)

    @property
    def multi_arch(self) -> str:
        """The Multi-Arch value, lowercased; "no" when the field is absent."""
        return (self.multi_arch_field or "no").lower()

    @property
    def essential(self) -> bool:
        return self.fields.get("Essential") == "yes"

    def get(self, key: str, default: str | None = None) -> str | None:
        """A field as read, by Debian's name."""
        return self.fields.get(key, default)


class Header(Protocol):
    """What the index-wide facts read of each package (a Package has it)."""

    @property
    def name(self) -> str: ...
    @property
    def architecture(self) -> str: ...
    @property
    def multi_arch(self) -> str: ...
    @property
    def provides(self) -> list[Relation]: ...
    @property
    def first(self) -> bool: ...


@dataclass(slots=True, frozen=True)
class StanzaHeader:
    """A stanza's name, architecture, Multi-Arch and Provides, read before
    the rest of the index is translated."""

    name: str
    architecture: str
    multi_arch_field: str | None
    provides: list[Relation]
    first: bool

    @property
    def multi_arch(self) -> str:
        return (self.multi_arch_field or "no").lower()
