"""python -m kelto_debian: the command kelto-debian."""

from .cli import entry

entry()
