"""The installability check of a whole Debian index: examples/installable.py
(building every outline with kelto, reading the rules back through the
constraints' properties, solving) beside Debian's own checker,
dose-distcheck, and libsolv's installcheck, on the same file in the same
run, each a process of its own, as a user runs them. The ratio is the checker's time over ours: at
least 1 means no slower than the checker. Each run's peak resident memory
is recorded too (PEAKS), for the memory goal.
"""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import debian_input  # noqa: F401  (puts the main job's package on the path)
from kelto_debian import installability as installable
from kelto_debian.index import read_stanzas
from harness import Group, Workload, measured_command

KELTO_CHECK = "installable.py check"
KELTO_WITH_I386 = "installable.py check, with i386"
DOSE_CHECK = "dose-distcheck"
LIBSOLV_CHECK = "installcheck"
CANNOT = "can't install "  # how installcheck starts each broken package's lines (capitalised on a terminal)
INSTALLABLE = debian_input.REPO / "examples" / "installable.py"

# Workload name -> the peak resident bytes of each of its runs.
PEAKS: dict[str, list[int]] = {}


def measured(name: str, command: list[str], env: dict[str, str] | None = None) -> str:
    """The command's standard output; its peak memory is added to PEAKS[name]."""
    out, _, peak, status = measured_command(command, env)
    if status not in (0, 1):  # 1: the checker found a broken package
        raise RuntimeError(f"{command[0]} exited with {status}")
    PEAKS.setdefault(name, []).append(peak)
    return out


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
    count = sum(1 for _ in read_stanzas(str(index)))
    import kelto
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(kelto.__file__).resolve().parent),
                                                        os.environ.get("PYTHONPATH", "")]))

    def ours(name: str, paths: list[str]):
        return lambda: measured(name, [sys.executable, str(INSTALLABLE), "--broken", *paths], env).count("\n")

    def theirs():
        out = measured(DOSE_CHECK, [dose, "--deb-native-arch=amd64", "-f", f"deb://{index}"])
        return out.count("status: broken")

    workloads = [Workload(KELTO_CHECK, ours(KELTO_CHECK, [str(index)]), count, side="kelto"),
                 Workload(DOSE_CHECK, theirs, count, side="dose")]
    solv = shutil.which(LIBSOLV_CHECK)
    if solv is not None:
        workloads.append(Workload(LIBSOLV_CHECK, lambda: measured(LIBSOLV_CHECK, [solv, "amd64", str(index)])
                                  .lower().count(CANNOT), count, side="libsolv"))
    notes = [f"{index}: {count} packages; each check is a process of its own that reads the file; ours"
             f" builds the outlines, reads the rules back and solves"]
    i386 = i386_beside(index)
    if i386 is not None:
        # Timed per package of the amd64 index, so that its ratio to the checker's
        # amd64 time is the ratio of the whole runs.
        workloads.append(Workload(KELTO_WITH_I386, ours(KELTO_WITH_I386, [str(index), str(i386)]), count,
                                  side="kelto"))
        notes.append(f"{KELTO_WITH_I386}: the whole universe of {index.name} and {i386.name}, per amd64 package")
    return Group("installable", "installability of every package of a Debian index", "package", KELTO_CHECK,
                 workloads, notes)


def broken_sets(index: Path | str) -> dict[str, set[str]]:
    """What each checker finds broken in an amd64 index, as NAME-VERSION."""
    import kelto
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(kelto.__file__).resolve().parent),
                                                        os.environ.get("PYTHONPATH", "")]))
    found = {"kelto": {"-".join(line.split()[:2]) for line in measured(
        KELTO_CHECK, [sys.executable, str(INSTALLABLE), "--broken", str(index)], env).splitlines()}}
    dose = shutil.which(DOSE_CHECK)
    if dose is not None:
        package, broken = "", set()
        for line in measured(DOSE_CHECK, [dose, "--deb-native-arch=amd64", "-f", f"deb://{index}"]).splitlines():
            key, _, value = line.strip().partition(": ")
            if line.startswith("  ") and not line.startswith("   "):
                if key == "package":
                    package = value
                elif key == "version":
                    broken.add(f"{package}-{value}")
        found["dose"] = broken
    solv = shutil.which(LIBSOLV_CHECK)
    if solv is not None:
        found["libsolv"] = {line[len(CANNOT):-1].rpartition(".")[0]
                            for line in measured(LIBSOLV_CHECK, [solv, "amd64", str(index)]).splitlines()
                            if line.lower().startswith(CANNOT)}
    return found


if __name__ == "__main__":
    # python bench/installability.py INDEX: which packages each checker finds
    # broken, and where they differ from ours.
    sets = broken_sets(sys.argv[1])
    for name, broken in sets.items():
        extra = sorted(broken - sets["kelto"])
        missing = sorted(sets["kelto"] - broken)
        print(f"{name}: {len(broken)} broken; only theirs {len(extra)} {extra[:5]}; only ours {len(missing)}"
              f" {missing[:5]}; peak {PEAKS.get(KELTO_CHECK if name == 'kelto' else DOSE_CHECK if name == 'dose' else LIBSOLV_CHECK, [0])[-1] >> 20} MiB")
