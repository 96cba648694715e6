"""Reading a Debian Sources index: each source package's build relations
with their restrictions, and the reduction of those relations under a build
context (host architecture, active build profiles) to plain relations.

Sources may be plain, gzip or xz (the stanza reader of `index` opens them)."""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, field

from .index import BadIndex, read_stanzas
from .relations import Group
from .restrictions import Architectures, Formula, profiles_hold

DEPENDS_FIELDS = ("Build-Depends", "Build-Depends-Arch", "Build-Depends-Indep")
CONFLICTS_FIELDS = ("Build-Conflicts", "Build-Conflicts-Arch", "Build-Conflicts-Indep")
BUILD_FIELDS = (*DEPENDS_FIELDS, *CONFLICTS_FIELDS)
_LOWERED = {name.lower(): name for name in (*BUILD_FIELDS, "Architecture", "Extra-Source-Only", "Package", "Version")}

# One alternative as dpkg reads it: name, optional ":qualifier", optional
# version bound, optional architecture list, optional profile formula.
ALTERNATIVE = re.compile(
    r"\s*([a-z0-9][a-z0-9+.-]*)(?::([a-zA-Z0-9][a-zA-Z0-9-]*))?"
    r"(?:\s*\(\s*(<<|<=|=|>=|>>|<|>)\s*([^)\s]+)\s*\))?"
    r"(?:\s*\[\s*([^\]]+?)\s*\])?"
    r"((?:\s*<\s*[^>]+?\s*>)+)?\s*")
PROFILE_LIST = re.compile(r"<\s*([^>]+?)\s*>")


@dataclass(frozen=True, slots=True)
class BuildRelation:
    """One alternative of a build relation, restrictions included."""

    name: str
    qualifier: str | None
    op: str | None
    version: str | None
    arches: tuple[str, ...] = ()  # empty: every architecture
    profiles: Formula = ()  # empty: every profile set

    @property
    def written(self) -> str:
        return self.name if self.qualifier is None else f"{self.name}:{self.qualifier}"

    def text(self) -> str:
        bound = "" if self.op is None else f" ({self.op} {self.version})"
        arches = f" [{' '.join(self.arches)}]" if self.arches else ""
        profiles = "".join(f" <{' '.join(terms)}>" for terms in self.profiles)
        return f"{self.written}{bound}{arches}{profiles}"


BuildGroup = tuple[BuildRelation, ...]


def parse_build_relations(text: str) -> list[BuildGroup]:
    """A build relation field's groups of alternatives; ValueError names
    the part that is not one."""
    groups = []
    for group_text in text.split(","):
        if not group_text.strip():
            continue
        alternatives = []
        for alternative in group_text.split("|"):
            match = ALTERNATIVE.fullmatch(alternative)
            if match is None:
                raise ValueError(f"not a build relation: {alternative.strip()!r}")
            name, qualifier, op, version, arches, profiles = match.groups()
            alternatives.append(BuildRelation(
                name, qualifier, op, version, tuple(arches.split()) if arches else (),
                tuple(tuple(terms.split()) for terms in PROFILE_LIST.findall(profiles)) if profiles else ()))
        groups.append(tuple(alternatives))
    return groups


@dataclass(frozen=True)
class BuildContext:
    """What a build check is made for: the build architecture (whose
    packages run during the build), the host architecture (the one built
    for) and the active build profiles. Arch-indep sources ("all") are
    built when `indep` holds, as dpkg-checkbuilddeps and dose check them
    by default."""

    build: str
    host: str
    profiles: frozenset[str] = frozenset()
    indep: bool = True
    arch: bool = True

    @property
    def cross(self) -> bool:
        return self.build != self.host

    def depends_fields(self) -> tuple[str, ...]:
        return ("Build-Depends",) + (("Build-Depends-Arch",) if self.arch else ()) \
            + (("Build-Depends-Indep",) if self.indep else ())

    def conflicts_fields(self) -> tuple[str, ...]:
        return ("Build-Conflicts",) + (("Build-Conflicts-Arch",) if self.arch else ()) \
            + (("Build-Conflicts-Indep",) if self.indep else ())


@dataclass
class Source:
    """A source package as read: its relations with restrictions."""

    name: str
    version: str
    architecture: tuple[str, ...]
    relations: dict[str, list[BuildGroup]] = field(default_factory=dict)
    extra_source_only: bool = False
    line: int = 0

    def built_on(self, arches: Architectures, context: BuildContext) -> bool:
        """Whether the source builds anything for the context's host: an
        architecture of its list matches the host, or it lists "all"."""
        return any(arch == "all" or arches.matches(context.host, arch) for arch in self.architecture)

    def reduced(self, arches: Architectures, context: BuildContext, fields: tuple[str, ...]) -> list[Group]:
        """The groups of `fields` that apply in the context, each cut to its
        alternatives that apply, as plain (name, op, version) relations; a
        group none of whose alternatives applies is dropped."""
        found: list[Group] = []
        host, active = context.host, context.profiles
        for key in fields:
            for group in self.relations.get(key, ()):
                kept = [(relation.written, relation.op, relation.version) for relation in group
                        if (not relation.arches or arches.concerned(host, relation.arches))
                        and (not relation.profiles or profiles_hold(relation.profiles, active))]
                if kept:
                    found.append(kept)
        return found


def read_sources(path: str, include_extra: bool = True) -> Iterator[Source]:
    """Each source of a Sources index, in index order; those marked
    "Extra-Source-Only: yes" (kept only because a binary package was
    built from them) are left out unless asked for, as dose leaves them."""
    for line, raw in read_stanzas(path):
        fields = {_LOWERED.get(key.lower(), key): value for key, value in raw.items()}
        name, version = fields.get("Package"), fields.get("Version")
        if not name or not version:
            raise BadIndex(f"{path}:{line}: stanza without a {'Package' if not name else 'Version'} field")
        extra = fields.get("Extra-Source-Only", "").strip().lower() == "yes"
        if extra and not include_extra:
            continue
        relations = {}
        for key in BUILD_FIELDS:
            text = fields.get(key)
            if text:
                try:
                    relations[key] = parse_build_relations(text)
                except ValueError as error:
                    raise BadIndex(f"{path}:{line}: {name}: {key}: {error}") from None
        yield Source(name, version, tuple(fields.get("Architecture", "any").split()), relations, extra, line)
