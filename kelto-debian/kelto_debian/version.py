"""Debian's order of version texts, as `dpkg --compare-versions` has it."""

from __future__ import annotations

import itertools
from typing import Any


def _segments(text: str) -> tuple[Any, ...]:
    """The sort key of an upstream version or a revision: its non-digit and
    digit runs in turn, a non-digit run as the order of its characters (a
    tilde before the end, the end before a letter, a letter before any other
    character) and a digit run as its number. A missing run counts as an
    empty one, and so as the end: trailing empty pairs are dropped, then one
    closes every key, so that a version that goes on with a tilde sorts
    before one that stops and "1.0" equals "1.0-0"."""
    pairs: list[tuple[tuple[int, ...], int]] = []
    i, n = 0, len(text)
    while i < n:
        start = i
        while i < n and not text[i].isdigit():
            i += 1
        letters = tuple([-1 if c == "~" else ord(c) if c.isalpha() else ord(c) + 256 for c in text[start:i]] + [0])
        start = i
        while i < n and text[i].isdigit():
            i += 1
        pairs.append((letters, int(text[start:i] or 0)))
    while len(pairs) > 1 and pairs[-1] == _END:
        pairs.pop()
    return tuple(itertools.chain.from_iterable(pairs or [_END])) + _END


_END = ((0,), 0)  # an empty run of each kind: the end of a version
_KEYS: dict[str, tuple[Any, ...]] = {}


def version_key(text: str) -> tuple[Any, ...]:
    """A key whose order is Debian's order of version texts."""
    key = _KEYS.get(text)
    if key is None:
        epoch, colon, rest = text.partition(":")
        if not colon:
            epoch, rest = "0", text
        upstream, dash, revision = rest.rpartition("-")
        if not dash:
            upstream, revision = rest, ""
        key = _KEYS[text] = (int(epoch) if epoch.isdigit() else 0, _segments(upstream), _segments(revision))
    return key


def compare_versions(a: str, b: str) -> int:
    """-1, 0 or 1, as `dpkg --compare-versions` orders a and b."""
    ka, kb = version_key(a), version_key(b)
    return (ka > kb) - (ka < kb)
