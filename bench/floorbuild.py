"""Builds the floor extension (bench/floor/floor.c) under build/bench/floor
with one direct compiler call, when the source is newer than the module."""

from __future__ import annotations

import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

BENCH = Path(__file__).resolve().parent
SOURCE = BENCH / "floor" / "floor.c"
OUTPUT_DIR = BENCH.parent / "build" / "bench" / "floor"


def build_floor(quiet: bool = True) -> Path:
    """Compiles the module if needed and puts its folder first on sys.path."""
    OUTPUT_DIR.mkdir(parents=True, exist_ok=True)
    target = OUTPUT_DIR / ("floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < SOURCE.stat().st_mtime:
        compiler = os.environ.get("CC", "gcc")
        command = [compiler, "-O2", "-g", "-fPIC", "-shared", "-std=c11", "-Wall", "-Wextra",
                   "-I" + sysconfig.get_paths()["include"], str(SOURCE), "-o", str(target)]
        if not quiet:
            print("$ " + shlex.join(command))
        subprocess.run(command, check=True)
    if str(OUTPUT_DIR) not in sys.path:
        sys.path.insert(0, str(OUTPUT_DIR))
    return target


if __name__ == "__main__":
    print(build_floor(quiet=False))
