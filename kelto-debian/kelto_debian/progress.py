"""Progress on standard error, shown only when it is a terminal: the phase,
and how many packages of all are done, on one line rewritten in place and
cleared when the work ends."""

from __future__ import annotations

import sys
import time
from typing import TextIO

# Redrawn at most this often: a line per package would cost more than the work.
INTERVAL = 0.1


class Progress:
    """`phase(name, total)` starts a phase, `step(done)` reports on it,
    `close()` clears the line. Does nothing unless the stream is a terminal."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self.stream = sys.stderr if stream is None else stream
        try:
            self.shown = self.stream.isatty()
        except (AttributeError, ValueError):
            self.shown = False
        self.name, self.total, self.next_draw, self.drawn = "", 0, 0.0, False

    def phase(self, name: str, total: int = 0) -> None:
        self.name, self.total, self.next_draw = name, total, 0.0
        self.step(0)

    def step(self, done: int, total: int | None = None) -> None:
        if not self.shown:
            return
        now = time.monotonic()
        if now < self.next_draw:
            return
        self.next_draw = now + INTERVAL
        if total is not None:
            self.total = total
        count = f": {done} of {self.total} packages" if self.total else ""
        self.stream.write(f"\r\x1b[K{self.name}{count}")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False
