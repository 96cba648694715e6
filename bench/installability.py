"""The installability check of a whole Debian index: examples/installable.py
(building every outline with kelto, reading the rules back through the
constraints' properties, solving) beside Debian's own checker,
dose-distcheck, on the same file in the same run. The ratio is the
checker's time over ours: at least 1 means no slower than the checker.
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import debian_input  # noqa: F401  (puts the main job's package on the path)
from debian import installability as installable
from debian.index import read_stanzas
from harness import Group, Workload

KELTO_CHECK = "installable.py check"
KELTO_WITH_I386 = "installable.py check, with i386"
DOSE_CHECK = "dose-distcheck"


def i386_beside(index: Path | str) -> Path | None:
    """apt's i386 index beside an amd64 one, for the two-architecture check."""
    index = Path(index)
    name = index.name.replace("_binary-amd64_", "_binary-i386_")
    other = index.with_name(name)
    return other if name != index.name and other.exists() else None


def build_group(index: Path) -> Group | None:
    """None when the checker or the solver is not installed."""
    dose = shutil.which(DOSE_CHECK)
    if dose is None or installable.pycosat is None:
        return None
    command = [dose, "--deb-native-arch=amd64", "-f", f"deb://{index}"]
    count = sum(1 for _ in read_stanzas(str(index)))

    def ours(path=str(index)):
        checker, _ = installable.check(path)
        return sum(1 for _ in installable.broken(checker))

    def theirs():
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if done.returncode not in (0, 1):  # 1: some package is broken
            raise RuntimeError(f"{DOSE_CHECK} exited with {done.returncode}")
        return done.stdout.count("status: broken")

    workloads = [Workload(KELTO_CHECK, ours, count, side="kelto"), Workload(DOSE_CHECK, theirs, count, side="dose")]
    notes = [f"{index}: {count} packages; ours builds the outlines, reads the rules back and solves;"
             f" the checker reads the file and solves (a process of its own)"]
    i386 = i386_beside(index)
    if i386 is not None:
        # Timed per package of the amd64 index, so that its ratio to the checker's
        # amd64 time is the ratio of the whole runs.
        def both(paths=[str(index), str(i386)]):
            checker, _ = installable.check(paths)
            return sum(1 for _ in installable.broken(checker))

        workloads.append(Workload(KELTO_WITH_I386, both, count, side="kelto"))
        notes.append(f"{KELTO_WITH_I386}: the whole universe of {index.name} and {i386.name}, per amd64 package")
    return Group("installable", "installability of every package of a Debian index", "package", KELTO_CHECK,
                 workloads, notes)
