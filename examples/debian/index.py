"""Reading a Debian Packages index into stanzas: decompression, the strict
field reader, and BadIndex, whose message names the file and line."""

from __future__ import annotations

import gzip
import lzma
import os
from collections.abc import Iterator
from typing import IO

from .relations import LEFT_OUT, RELATION_FIELDS

SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data", "Packages")

# Fields whose value is one line; a continuation line there is refused.
SINGLE_LINE = ("Package", "Version", "Architecture", "Multi-Arch", "Essential", "Priority", "Section",
               "Installed-Size", "Source")
# Field names match case-insensitively; these are stored under their usual spelling.
CANONICAL = {name.lower(): name for name in (*RELATION_FIELDS, *LEFT_OUT, *SINGLE_LINE, "Provides", "Binary")}


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


def read_stanzas(path: str) -> Iterator[tuple[int, dict[str, str]]]:
    """Each stanza's first line number and fields; continuation lines are
    joined. Raises BadIndex for what cannot be read."""
    fields: dict[str, str] = {}
    seen: set[str] = set()  # the stanza's field names, lowercased
    last: str | None = None
    start = 0
    number = 0
    try:
        with open_index(path) as index:
            for number, raw in enumerate(index, 1):
                try:
                    line = raw.decode("utf-8").rstrip("\r\n")
                except UnicodeDecodeError:
                    raise BadIndex(f"{path}:{number}: not UTF-8 text") from None
                if not line.strip():
                    if fields:
                        yield start, fields
                    fields, last = {}, None
                    seen = set()
                elif line[0] in " \t":
                    if last is None:
                        raise BadIndex(f"{path}:{number}: continuation line outside a field")
                    if last in SINGLE_LINE:
                        raise BadIndex(f"{path}:{number}: continuation line in the one-line field {last!r}")
                    fields[last] += "\n" + line.strip()
                else:
                    key, colon, value = line.partition(":")
                    if not colon or not key.strip():
                        raise BadIndex(f"{path}:{number}: not a 'Field: value' line: {line[:60]!r}")
                    if not fields:
                        start = number
                    lowered = key.lower()
                    if lowered in seen:
                        raise BadIndex(f"{path}:{number}: field {key!r} given twice in one stanza")
                    seen.add(lowered)
                    last = key = CANONICAL.get(lowered, key)
                    fields[key] = value.strip()
    except BadIndex:
        raise
    except (OSError, EOFError, lzma.LZMAError) as error:
        where = f"{path}:{number}" if number else path
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
        raise BadIndex(f"{where}: {reason}") from None
    if fields:
        yield start, fields
