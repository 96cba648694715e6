"""The indexes a command reads when given none: those of the machine's own
architectures (dpkg's native one, then its foreign ones) in apt's lists."""

from __future__ import annotations

import glob
import os
import subprocess

from .index import find_index

APT_LISTS = "/var/lib/apt/lists"


def dpkg_architectures() -> list[str]:
    """The native architecture, then the foreign ones; empty without dpkg."""
    found: list[str] = []
    for option in ("--print-architecture", "--print-foreign-architectures"):
        try:
            done = subprocess.run(["dpkg", option], capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.SubprocessError):
            return []
        if done.returncode != 0:
            return []
        found += [word for word in done.stdout.split() if word not in found]
    return found


def apt_index(architecture: str) -> str | None:
    """apt's index of one architecture (the first of its lists, plain or compressed)."""
    for suffix in ("Packages", "Packages.xz", "Packages.gz"):
        names = sorted(glob.glob(os.path.join(APT_LISTS, f"*_binary-{architecture}_{suffix}")))
        if names:
            return names[0]
    return None


def default_indexes() -> tuple[list[str], str | None]:
    """The indexes of the machine's architectures that apt has, and the
    native architecture; else apt's first index or the sample, whose own
    architecture is then the native one."""
    architectures = dpkg_architectures()
    paths = [path for path in map(apt_index, architectures) if path is not None]
    if architectures and apt_index(architectures[0]) is not None:
        return paths, architectures[0]
    return [find_index(None)], None
