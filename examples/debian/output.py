"""How the commands end: their exit status, and a reader that went away."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import NoReturn


def run(entry: Callable[[], int]) -> NoReturn:
    """Exits with what `entry` returns; a reader that went away
    (`demo.py ... | head`) is not an error of ours."""
    try:
        sys.exit(entry())
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
