"""How the commands write to standard output and end.

A reader that goes away (`demo.py | head`) ends a command the way it ends
GNU tools: the next write raises SIGPIPE and the process dies of it, quietly
(status 141 in the shell, as `seq 100000 | head -1` gives seq). Any other
failed write (a full disk, a closed standard output) is one line on standard
error and exit status 1.

kelto writes its banner and log lines to descriptor 1 itself, and a write
that fails there is a panic for `main_entry()` and a line of its own on
standard error for a log line. The commands therefore let kelto write into
memory (`kelto_lines`) and pass what it wrote on through sys.stdout, so
that every failed write ends the same way.
"""

from __future__ import annotations

import io
import os
import signal
import sys
from collections.abc import Buffer, Callable, Iterator
from contextlib import contextmanager
from typing import NoReturn


class OutputError(OSError):
    """A write to standard output failed."""


class StandardOutput(io.RawIOBase):
    """Descriptor 1, whose failed writes raise OutputError, so that they are
    told apart from any other OSError of a command."""

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        return 1

    def isatty(self) -> bool:
        return os.isatty(1)

    def write(self, data: Buffer, /) -> int:
        try:
            return os.write(1, data)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(error.errno, error.strerror) from None


def watched_stdout(stdout: io.TextIOWrapper) -> io.TextIOWrapper:
    """sys.stdout as it was (encoding, errors, buffering), over StandardOutput."""
    raw = StandardOutput()
    buffered = io.BufferedWriter(raw)
    return io.TextIOWrapper(buffered, encoding=stdout.encoding, errors=stdout.errors,
                            line_buffering=stdout.line_buffering)


@contextmanager
def kelto_lines() -> Iterator[None]:
    """kelto's writes to descriptor 1 within the block go to a file in memory,
    and through sys.stdout after it, so that they cannot fail inside kelto."""
    sys.stdout.flush()
    memory = os.memfd_create("kelto-lines")
    saved = os.dup(1)
    try:
        os.dup2(memory, 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
        with os.fdopen(memory, "rb", closefd=False) as written:
            written.seek(0)
            lines = written.read()
    finally:
        os.close(saved)
        os.close(memory)
    sys.stdout.flush()
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.buffer.write(lines)
    else:  # a text stream put in its place (a test's)
        sys.stdout.write(lines.decode(errors="replace"))


def program() -> str:
    return "kelto-debian"


def run(entry: Callable[[], int]) -> NoReturn:
    """Exits with what `entry` returns, once what it wrote is out."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    if sys.stdout is None:  # descriptor 1 was closed when the interpreter started
        print(f"{program()}: standard output is closed", file=sys.stderr)
        sys.exit(1)
    sys.stdout = watched_stdout(sys.stdout)  # type: ignore[arg-type]
    try:
        status = entry()
        sys.stdout.flush()
    except BrokenPipeError:  # SIGPIPE blocked by whoever started us: as quiet, exit 1 as Python's docs advise
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        sys.exit(1)
    except OutputError as error:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # what is left in the buffer is dropped at exit
        print(f"{program()}: standard output: {error.strerror}", file=sys.stderr)
        sys.exit(1)
    sys.exit(status)
