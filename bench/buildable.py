"""The build-dependency check of a whole Sources index beside Debian's own,
dose-builddebcheck, natively and cross, each a process of its own as a user
runs them: wall time, peak resident memory, and the sources each finds
broken, with every difference listed.

    python3 bench/buildable.py SOURCES [--build-index FILE] [--host-index FILE] [--host-arch ARCH]
                               [--only native|cross] [--differences FILE]

Defaults: apt's sid Packages of amd64 (build) and arm64 (host) in the root.
apt in the root has no Sources; give sid's Sources of the same date as the
Packages (its hash is in apt's InRelease).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
LISTS = "/var/lib/apt/lists/deb.debian.org_debian_dists_sid_main_binary-{}_Packages"


def high_water(pid: int) -> int | None:
    """A live process's peak resident bytes so far."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def measured(command: list[str], env: dict[str, str] | None = None) -> tuple[str, float, int, int]:
    """The command's standard output, seconds, peak bytes (sampled every
    20 ms until it ends) and exit status."""
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    peak = 0
    done = threading.Event()

    def watch() -> None:
        nonlocal peak
        while not done.wait(0.02):
            found = high_water(child.pid)
            if found is not None:
                peak = max(peak, found)

    watcher = threading.Thread(target=watch)
    watcher.start()
    out, _ = child.communicate()
    seconds = time.perf_counter() - started
    done.set()
    watcher.join()
    return out, seconds, peak, child.returncode


def dose_broken(text: str) -> set[str]:
    """'NAME VERSION' of each source a dose report lists."""
    found, name = set(), None
    for line in text.splitlines():
        if line.startswith("  package: "):
            name = line.split(": ", 1)[1]
        elif line.startswith("  version: ") and name is not None:
            found.add(f"{name} {line.split(': ', 1)[1]}")
            name = None
    return found


def compare(label: str, sources: str, indexes: list[str], host: str, build: str) -> dict[str, object]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(REPO / "kelto-debian"), os.environ.get("PYTHONPATH", "")])}
    theirs_command = ["dose-builddebcheck", "-f", f"--deb-native-arch={build}", f"--deb-host-arch={host}",
                      *indexes, sources]
    ours_command = [sys.executable, "-m", "kelto_debian", "buildable", sources, *indexes,
                    "--host-arch", host, "--broken"]
    out, ours_seconds, ours_peak, _ = measured(ours_command, env)
    ours = set(out.splitlines())
    out, theirs_seconds, theirs_peak, _ = measured(theirs_command)
    theirs = dose_broken(out)
    result = {
        "check": label, "kelto seconds": round(ours_seconds, 1), "kelto peak MB": ours_peak >> 20,
        "dose seconds": round(theirs_seconds, 1), "dose peak MB": theirs_peak >> 20,
        "speed-up": round(theirs_seconds / ours_seconds, 2), "kelto broken": len(ours), "dose broken": len(theirs),
        "broken by kelto only": sorted(ours - theirs), "broken by dose only": sorted(theirs - ours),
    }
    print(f"{label}: kelto {ours_seconds:.1f} s, {ours_peak >> 20} MB; dose {theirs_seconds:.1f} s,"
          f" {theirs_peak >> 20} MB ({theirs_seconds / ours_seconds:.2f}x); broken: kelto {len(ours)},"
          f" dose {len(theirs)}; differ: {len(ours - theirs)} kelto only, {len(theirs - ours)} dose only",
          flush=True)
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("sources")
    parser.add_argument("--build-arch", default="amd64")
    parser.add_argument("--host-arch", default="arm64")
    parser.add_argument("--only", choices=("native", "cross"))
    parser.add_argument("--differences", help="write the figures and every difference to this JSON file")
    args = parser.parse_args()
    build_index, host_index = LISTS.format(args.build_arch), LISTS.format(args.host_arch)
    results = []
    if args.only != "cross":
        results.append(compare("native", args.sources, [build_index], args.build_arch, args.build_arch))
    if args.only != "native":
        results.append(compare("cross", args.sources, [build_index, host_index], args.host_arch, args.build_arch))
    if args.differences:
        Path(args.differences).write_text(json.dumps(results, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
