"""Reading a Debian Packages index into stanzas: decompression, the strict
field reader, and BadIndex, whose message names the file and line.

What the reader holds is bounded before it is held: a line is read at most
FIELD_LIMIT bytes at a time, a field and a stanza are refused once they grow
past their limits. Blank lines between stanzas may come in any number; a long
run of them is skipped a buffer at a time, so a flood of them costs time in
proportion to its size and no memory. An index without a stanza is an empty
index, as apt and dose-distcheck take it: no package, no error.

A stanza repeated with the same package, version and architecture is one
package, as apt counts it, in one index or across several read together
(Repeats). The same three with different contents have no one reading (apt
keeps both as two versions of one version string, dose-distcheck keeps the
last), so that index is refused, naming both lines.

What dpkg refuses in a field is refused here too: a package name with a
character other than ASCII letters, digits and "-+._" or not starting with a
letter or digit ("libc6:i386" is a name with an architecture qualifier, not a
name), and a Multi-Arch value other than no, same, foreign and allowed (in any
case: dpkg reads "FOREIGN" as "foreign").
"""

from __future__ import annotations

import gzip
import io
import lzma
import os
import re
from collections.abc import Iterator
from typing import IO, Any, AnyStr

from .relations import LEFT_OUT, RELATION_FIELDS

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
# The index a command reads when given none and the machine has none: a
# closed one (every name it relates to is in it), most of it installable,
# with alternatives, conflicts, Provides, version bounds and Multi-Arch for
# the solver to weigh.
SAMPLE = os.path.join(DATA, "closed", "Packages")
# 160 packages cut from sid's amd64 index: a real index's variety of fields
# and versions, most of their dependencies left outside it.
SID_SLICE = os.path.join(DATA, "Packages")

# Fields whose value is one line; a continuation line there is refused.
SINGLE_LINE = ("Package", "Version", "Architecture", "Multi-Arch", "Essential", "Priority", "Section",
               "Installed-Size", "Source")
# Field names match case-insensitively; these are stored under their usual spelling.
CANONICAL = {name.lower(): name for name in (*RELATION_FIELDS, *LEFT_OUT, *SINGLE_LINE, "Provides", "Binary")}

# In sid's amd64, arm64 and i386 indexes the largest field is 20 KB (the
# Provides of node-lodash-packages), the largest stanza 24 KB (mono-libraries)
# and no stanza has more than 29 fields. A field may be fifty times the
# largest one, and no more: a Version field becomes a parsed kelto Version,
# about forty times the size of its text, so 1 MiB of it costs some 40 MiB.
# A stanza may hold four such fields.
FIELD_LIMIT = 1 << 20
STANZA_LIMIT = 4 << 20

# Installed-Size is a number of KiB in ASCII digits; eighteen of them stay
# below 2**63, the largest integer an option value holds.
SIZE_DIGITS = 18

# After this many blank lines in a row the rest of the run is skipped a
# buffer at a time (a real index has one between stanzas).
BLANK_RUN = 64
WHITESPACE = b" \t\r\n\x0b\x0c"
BYTE_ORDER_MARK = b"\xef\xbb\xbf"

# What a package name may hold beside ASCII letters and digits, which start it.
NAME_PUNCTUATION = "-+._"
MULTI_ARCH_VALUES = ("no", "same", "foreign", "allowed")


class BadIndex(Exception):
    """The index cannot be read; the message is one line naming the file."""


def find_index(path: str | None) -> str:
    if path:
        return path
    for pattern in ("_Packages", "_Packages.xz", "_Packages.gz"):
        lists = "/var/lib/apt/lists"
        names = sorted(n for n in os.listdir(lists) if n.endswith(pattern)) if os.path.isdir(lists) else []
        if names:
            return os.path.join(lists, names[0])
    return SAMPLE


def open_index(path: str) -> IO[bytes]:
    """The file's bytes, decompressed when it starts with a gzip or xz header."""
    raw = open(path, "rb")
    try:
        magic = raw.read(6)
        raw.seek(0)
    except OSError:
        raw.close()
        raise
    # A decompressing reader given a file object never closes it: they open
    # the file again by name, so that closing the reader (on a corrupt stream
    # too) closes the file.
    if magic[:2] == b"\x1f\x8b":
        raw.close()
        return gzip.open(path, "rb")  # type: ignore[return-value]
    if magic == b"\xfd7zXZ\x00":
        raw.close()
        return lzma.open(path, "rb")
    return raw


def skip_blank_lines(index: IO[bytes]) -> int:
    """Consumes the whole blank lines that come next, a buffer at a time, and
    returns how many there were. A line that is not blank is left whole."""
    skipped = 0
    scratch = memoryview(bytearray(0))  # what is skipped is read into it, not into new objects
    while ahead := index.peek(FIELD_LIMIT):  # type: ignore[attr-defined]  # buffered readers all peek
        if ahead[:1] not in WHITESPACE:
            break
        newlines = ahead.count(b"\n")
        end = len(ahead)
        if newlines != end:  # more than line feeds: up to the last blank line seen whole
            blank = end - len(ahead.lstrip(WHITESPACE))
            end = ahead.rfind(b"\n", 0, blank) + 1
            if end == 0:
                break
            newlines = ahead.count(b"\n", 0, end)
        if len(scratch) < end:
            scratch = memoryview(bytearray(end))
        index.readinto(scratch[:end])  # type: ignore[attr-defined]
        skipped += newlines
    return skipped


def too_long(path: str, number: int, what: str, limit: int) -> BadIndex:
    return BadIndex(f"{path}:{number}: {what} longer than {limit >> 20} MiB")


def size_in_kib(path: str, number: int, value: str) -> None:
    if not (value.isascii() and value.isdigit() and len(value) <= SIZE_DIGITS):
        shown = value if len(value) <= 40 else f"{value[:20]}... ({len(value)} characters)"
        raise BadIndex(f"{path}:{number}: Installed-Size is not a size in KiB"
                       f" (at most {SIZE_DIGITS} ASCII digits): {shown!r}")


def package_name(path: str, number: int, value: str) -> None:
    """Refuses a Package value that dpkg refuses as a package name."""
    if not value:
        return  # refused later, as a stanza without a Package field
    if not (value[0].isascii() and value[0].isalnum()):
        problem = "must start with an alphanumeric character"
    else:
        bad = next((c for c in value if not (c.isascii() and c.isalnum()) and c not in NAME_PUNCTUATION), None)
        if bad is None:
            return
        problem = f"character {bad!r} not allowed (only letters, digits and characters {NAME_PUNCTUATION!r})"
    shown = value if len(value) <= 60 else f"{value[:40]}... ({len(value)} characters)"
    raise BadIndex(f"{path}:{number}: invalid package name {shown!r} in the Package field: {problem}")


def multi_arch_value(path: str, number: int, value: str) -> None:
    if value.lower() not in MULTI_ARCH_VALUES:
        shown = value if len(value) <= 40 else f"{value[:20]}... ({len(value)} characters)"
        raise BadIndex(f"{path}:{number}: the Multi-Arch field has the invalid value {shown!r}"
                       f" (only {', '.join(MULTI_ARCH_VALUES)})")


class Repeats:
    """The stanzas seen, by package, version and architecture, to tell a
    repeated stanza from a second one that differs. One Repeats may serve
    several indexes read in turn (set `path` before each): a package in two
    of them is one package when its stanzas are the same."""

    def __init__(self, path: str = "") -> None:
        self.path = path
        self.contents: dict[str, int] = {}  # identity -> a hash of the first stanza's fields
        self.lines: dict[str, tuple[str, int]] = {}  # identity -> the first stanza's path and line

    def is_repeat(self, start: int, fields: dict[str, str]) -> bool:
        get = fields.get
        # One-line fields: a line feed is in none of them. Two stanzas whose
        # fields hash alike are taken as the same (a 64-bit hash: a chance of
        # 2**-64 for each repeated package).
        identity = f"{get('Package')}\n{get('Version')}\n{get('Architecture', '')}"
        contents = hash((*fields, *fields.values()))
        where = self.path, start
        first = self.lines.setdefault(identity, where)
        if first is where:
            self.contents[identity] = contents
            return False
        if self.contents[identity] == contents:
            return True
        if not get("Package") or not get("Version"):
            return False  # refused later, as a stanza without them
        there = f"line {first[1]}" if first[0] == self.path else f"{first[0]}:{first[1]}"
        raise BadIndex(f"{self.path}:{start}: {get('Package')} {get('Version')} ({get('Architecture') or 'no'}"
                       f" architecture) again, with other fields than at {there}")


class _FieldNames(dict[str, str | None]):
    """A field name as written -> the name it is stored under; None for one
    the quick reader leaves to the line reader (empty, or a second spelling
    of a name outside CANONICAL, which a stanza may give twice)."""

    def __init__(self) -> None:
        super().__init__()
        self.lowered: set[str] = set()

    def __missing__(self, key: str) -> str | None:
        lowered = key.lower()
        name: str | None = CANONICAL.get(lowered)
        if name is None:
            name = key if key.strip() and lowered not in self.lowered else None
            self.lowered.add(lowered)
        self[key] = name
        return name


# A "Field: value" line and its continuation lines; a stanza is read
# quickly when it is made of these alone.
_FIELD = re.compile(r"([^:\n]*):([^\n]*(?:\n[ \t][^\n]*)*)")
# A package name dpkg takes; another goes to package_name(), which names the fault.
_PACKAGE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9+._-]*")
# Two line feeds or more: the end of a line and blank lines after it.
_BLANK_RUN = re.compile("\n\n+")
_BLANK_RUN_BYTES = re.compile(b"\n\n+")
# Bytes read from the file at a time by the quick reader.
_BLOCK = 1 << 20
# A stanza piece this long (in characters, up to four bytes each) goes to the
# line reader, which bounds lines, fields and stanzas in bytes.
_QUICK_PIECE = FIELD_LIMIT // 4


def read_stanzas(path: str, repeats: Repeats | None = None) -> Iterator[tuple[int, dict[str, str]]]:
    """Each stanza's first line number and fields; continuation lines are
    joined. Raises BadIndex for what cannot be read. A stanza seen before
    (in this index, or in another read with the same `repeats`) is skipped.

    The file is read a block at a time and cut at blank lines; a stanza of
    plain one-line fields is read whole, with a few calls into C. Anything
    else (a continuation line, a stray blank-looking line, a field the
    checks refuse, text that is not UTF-8, a piece past the limits) goes to
    the line reader, which reads it as if it had read the whole file: same
    fields, same errors on the same line numbers."""
    if repeats is None:
        repeats = Repeats(path)
    repeats.path = path
    names = _FieldNames()
    number = 0  # lines consumed so far
    try:
        with open_index(path) as index:
            carry = b""
            while block := index.read(_BLOCK):
                data = carry + block if carry else block
                cut = data.rfind(b"\n\n")
                if cut < 0:
                    carry = data
                    if len(carry) > STANZA_LIMIT + FIELD_LIMIT:
                        # No blank line in sight: what follows is past any limit or a
                        # run of blank-looking lines; the line reader takes the rest.
                        rest = io.BufferedReader(_Chained(carry, index), FIELD_LIMIT + 1)
                        yield from _read_lines(path, rest, repeats, number)
                        return
                    continue
                carry = data[cut + 2:]
                region = data[:cut]
                try:
                    pieces: Iterator[tuple[str, int]] | Iterator[tuple[bytes, int]] = _pieces(
                        region.decode("utf-8"), _BLANK_RUN)
                except UnicodeDecodeError:  # the line reader names the line
                    pieces = _pieces(region, _BLANK_RUN_BYTES)
                del data
                for piece, ending in pieces:
                    # `ending` line feeds end the piece's last line and make the blank lines after it.
                    if isinstance(piece, str):
                        lines = piece.count("\n") + 1
                        fields = _quick(piece, lines, names, number) if piece else None
                        if fields is not None:
                            if not repeats.is_repeat(number + 1, fields):
                                yield number + 1, fields
                            number += lines - 1 + ending
                            continue
                        text = piece.encode("utf-8")
                    else:
                        lines, text = piece.count(b"\n") + 1, piece
                    if text:
                        yield from _read_lines(path, io.BufferedReader(io.BytesIO(text + b"\n\n")), repeats, number)
                    number += lines - 1 + ending
                del region
            if carry:
                yield from _read_lines(path, io.BufferedReader(io.BytesIO(carry)), repeats, number)
    except BadIndex:
        raise
    except (OSError, EOFError, lzma.LZMAError) as error:
        raise unreadable(path, number, error) from None


def unreadable(path: str, number: int, error: Exception) -> BadIndex:
    """The refusal of an index that could not be read at line `number`
    (0: before its first line)."""
    where = f"{path}:{number}" if number else path
    reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
    return BadIndex(f"{where}: {reason}")


def _pieces(text: AnyStr, blank_run: re.Pattern[AnyStr]) -> Iterator[tuple[AnyStr, int]]:
    """The text between runs of line feeds, each with the length of the run
    after it (a run of two for the end: the text was cut before two). Runs
    are found in C, so a flood of blank lines costs no Python step per line."""
    start = 0
    for run in blank_run.finditer(text):
        yield text[start:run.start()], run.end() - run.start()
        start = run.end()
    yield text[start:], 2


def _quick(piece: str, lines: int, names: _FieldNames, number: int) -> dict[str, str] | None:
    """The fields of a stanza of "Field: value" lines and continuation lines,
    or None to leave it to the line reader (which then reads or refuses it,
    naming the line): a piece starting blank or with a continuation, a
    carriage return or another byte bytes.isspace() takes as blank, a
    continuation line that may be a blank one, a field given twice, a
    continued one-line field, a value the checks refuse."""
    if len(piece) > _QUICK_PIECE or piece[0] in " \t\n" or "\r" in piece or "\x0b" in piece or "\x0c" in piece:
        return None
    if number == 0 and piece.startswith("\ufeff"):
        return None
    continued = piece.count("\n ") + piece.count("\n\t")
    pairs = _FIELD.findall(piece)
    if len(pairs) != lines - continued:
        return None
    fields = {names[key]: value.strip() if continued == 0 or "\n" not in value else _joined(value)
              for key, value in pairs}
    if len(fields) != len(pairs) or None in fields:
        return None
    get = fields.get
    if continued and any(value is None for value in fields.values()):
        return None
    if continued and any("\n" in value for name in SINGLE_LINE if (value := get(name)) is not None):
        return None
    try:
        if (size := get("Installed-Size")) is not None:
            size_in_kib("", 0, size)
        if (package := get("Package")) is not None and _PACKAGE_NAME.fullmatch(package) is None:
            package_name("", 0, package)
        if (multi_arch := get("Multi-Arch")) is not None:
            multi_arch_value("", 0, multi_arch)
    except BadIndex:
        return None
    return fields  # type: ignore[return-value]  # neither None keys nor None values, checked above


def _joined(value: str) -> str | None:
    """A continued field's value as the line reader joins it; None when a
    continuation line strips to nothing (it may be a blank line, which the
    line reader takes as the end of the stanza)."""
    first, *rest = value.split("\n")
    parts = [line.strip() for line in rest]
    if "" in parts:
        return None
    return "\n".join((first.strip(), *parts))


class _Chained(io.RawIOBase):
    """Bytes already read, then the rest of a stream."""

    def __init__(self, head: bytes, tail: IO[bytes]) -> None:
        self.head = memoryview(head)
        self.tail = tail

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.head:
            size = min(len(buffer), len(self.head))
            buffer[:size] = self.head[:size]
            self.head = self.head[size:]
            return size
        read: int = self.tail.readinto(buffer)  # type: ignore[attr-defined]  # buffered readers all have it
        return read


def _read_lines(path: str, index: IO[bytes], repeats: Repeats, number: int) -> Iterator[tuple[int, dict[str, str]]]:
    """The line reader: the stanzas of what is left of `index`, whose first
    line is line number + 1 of the file."""
    fields: dict[str, str] = {}
    seen: set[str] = set()  # the stanza's field names, lowercased
    last = ""  # the field being read ("" between fields: no key is empty)
    parts: list[str] | None = None  # its lines, once it has more than one
    field_size = stanza_size = blank_run = start = 0
    try:
        readline = index.readline
        while raw := readline(FIELD_LIMIT + 1):
            number += 1
            size = len(raw)
            if size > FIELD_LIMIT:
                raise too_long(path, number, "a line", FIELD_LIMIT)
            if raw.isspace():
                if parts is not None:
                    fields[last] = "\n".join(parts)
                if fields and not repeats.is_repeat(start, fields):
                    yield start, fields
                fields, seen, last, parts = {}, set(), "", None
                stanza_size = 0
                blank_run += 1
                if blank_run >= BLANK_RUN:
                    number += skip_blank_lines(index)
                continue
            blank_run = 0
            if number == 1 and raw.startswith(BYTE_ORDER_MARK):
                raise BadIndex(f"{path}:1: the file starts with a byte-order mark; an index is UTF-8"
                               " text without one, as dpkg and apt read it")
            try:
                line = raw.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError:
                raise BadIndex(f"{path}:{number}: not UTF-8 text") from None
            stanza_size += size
            if stanza_size > STANZA_LIMIT:
                raise too_long(path, number, "a stanza", STANZA_LIMIT)
            if line[0] in " \t":
                if not last:
                    raise BadIndex(f"{path}:{number}: continuation line outside a field")
                if last in SINGLE_LINE:
                    raise BadIndex(f"{path}:{number}: continuation line in the one-line field {last!r}")
                field_size += size
                if field_size > FIELD_LIMIT:
                    raise too_long(path, number, f"the field {last!r}", FIELD_LIMIT)
                if parts is None:
                    parts = [fields[last]]
                parts.append(line.strip())
                continue
            key, colon, value = line.partition(":")
            if not colon or not key.strip():
                raise BadIndex(f"{path}:{number}: not a 'Field: value' line: {line[:60]!r}")
            if parts is not None:
                fields[last] = "\n".join(parts)
                parts = None
            if not fields:
                start = number
            lowered = key.lower()
            if lowered in seen:
                raise BadIndex(f"{path}:{number}: field {key!r} given twice in one stanza")
            seen.add(lowered)
            last = key = CANONICAL.get(lowered, key)
            value = value.strip()
            if key == "Installed-Size":
                size_in_kib(path, number, value)
            elif key == "Package":
                package_name(path, number, value)
            elif key == "Multi-Arch":
                multi_arch_value(path, number, value)
            fields[key] = value
            field_size = size
    except BadIndex:
        raise
    except (OSError, EOFError, lzma.LZMAError) as error:
        raise unreadable(path, number, error) from None
    if parts is not None:
        fields[last] = "\n".join(parts)
    if fields and not repeats.is_repeat(start, fields):
        yield start, fields
