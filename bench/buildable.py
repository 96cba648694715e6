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
from pathlib import Path

from harness import measured_command

REPO = Path(__file__).resolve().parent.parent
LISTS = "/var/lib/apt/lists/deb.debian.org_debian_dists_sid_main_binary-{}_Packages"


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
    out, ours_seconds, ours_peak, _ = measured_command(ours_command, env)
    ours = set(out.splitlines())
    out, theirs_seconds, theirs_peak, _ = measured_command(theirs_command)
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


def stanzas_of(indexes: list[str], wanted: set[tuple[str, str, str]]) -> dict[tuple[str, str, str], str]:
    """The stanza text of each (name, version, architecture) wanted."""
    from kelto_debian.index import read_stanzas

    found = {}
    for path in indexes:
        for _, fields in read_stanzas(path):
            key = (fields.get("Package", ""), fields.get("Version", ""), fields.get("Architecture", "all"))
            if key in wanted and key not in found:
                found[key] = "".join(f"{k}: {v}\n" for k, v in fields.items()
                                     if k in ("Package", "Version", "Architecture", "Multi-Arch", "Provides",
                                              "Essential"))
    return found


def dpkg_says(status: list[str], host: str, control: str, work: Path) -> str:
    """dpkg-checkbuilddeps' verdict on a control file with these installed: "" when met, else its complaint."""
    admin = work / "admin"
    admin.mkdir(parents=True, exist_ok=True)
    (admin / "status").write_text("\n".join(stanza.replace("\n", "\nStatus: install ok installed\n", 1)
                                            for stanza in status))
    (work / "control").write_text(control)
    done = subprocess.run(["dpkg-checkbuilddeps", f"--admindir={admin}", "-a", host, str(work / "control")],
                          capture_output=True, text=True, env={**os.environ, "LC_ALL": "C", "DEB_BUILD_PROFILES": ""})
    return "" if done.returncode == 0 else " ".join(done.stderr.split()).replace("dpkg-checkbuilddeps: error: ", "")


def dpkg_verdicts(result: dict[str, object], sources_path: str, indexes: list[str], host: str, build: str,
                  work: Path, sample: int = 0) -> list[dict[str, str]]:
    """dpkg-checkbuilddeps' verdict on each source kelto and dose disagree on.
    Built by kelto only: kelto's set of packages installed, and the
    source's fields. Broken by kelto only: the relation kelto finds unmet,
    with every package of each name it names (and each provider) installed."""
    from kelto_debian.buildable import check_sources
    from kelto_debian.sources import BuildContext, read_sources

    kelto_only, dose_only = set(result["broken by kelto only"]), set(result["broken by dose only"])  # type: ignore[arg-type]
    if sample:  # every n-th of each, when the differences are too many to ask dpkg about each
        kelto_only = set(sorted(kelto_only)[::max(1, len(kelto_only) // sample)][:sample])
        dose_only = set(sorted(dose_only)[::max(1, len(dose_only) // sample)][:sample])
    if not kelto_only and not dose_only:
        return []
    check = check_sources(sources_path, indexes, BuildContext(build, host), explained=True)
    checker, universe = check.checker, check.checker.universe
    explainer = check.explainer()
    by_label = {f"{source.name} {source.version}": (number, source) for number, source in check.sources}
    raw = {}
    for line, fields in __import__("kelto_debian.index", fromlist=["read_stanzas"]).read_stanzas(sources_path):
        label = f"{fields.get('Package')} {fields.get('Version')}"
        if label in kelto_only | dose_only:
            raw[label] = "Source: s\n" + "".join(f"{k}: {' '.join(v.split())}\n" for k, v in fields.items()
                                                  if k.startswith("Build-"))
    wanted: dict[str, set[tuple[str, str, str]]] = {}
    texts: dict[str, str] = {}
    for label in sorted(dose_only):
        number, _ = by_label[label]
        members = checker.combine(number)
        if members is None:
            checker.solve(number)
            members = checker.known(number) or frozenset()
        members = (frozenset(members) | checker.base) - {number}
        wanted[label] = {(universe.names[n].partition(":")[0], universe.versions[n], universe.architectures[n])
                         for n in members}
        texts[label] = raw[label]
    for label in sorted(kelto_only):
        number, _ = by_label[label]
        reasons = explainer.reasons(number)
        relation = getattr(reasons[0], "dependency", None) if reasons else None
        if relation is None:
            continue
        names = {part.strip().split()[0].split(":")[0] for part in relation.split("|")}
        wanted[label] = {(universe.names[n].partition(":")[0], universe.versions[n], universe.architectures[n])
                         for outline, numbers in universe.by_name.items() if outline.partition(":")[0] in names
                         for n in numbers[-1:]}
        texts[label] = f"Source: s\nBuild-Depends: {relation}\n"
    found = stanzas_of(indexes, set().union(*wanted.values()))
    verdicts = []
    for label, members in wanted.items():
        said = dpkg_says([found[m] for m in sorted(members) if m in found], host, texts[label], work)
        verdicts.append({"source": label, "kelto": "broken" if label in kelto_only else "ok",
                         "dose": "ok" if label in kelto_only else "broken",
                         "tried": texts[label].strip().replace("\n", "; "), "dpkg": said or "met"})
    return verdicts


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("sources")
    parser.add_argument("--build-arch", default="amd64")
    parser.add_argument("--host-arch", default="arm64")
    parser.add_argument("--only", choices=("native", "cross"))
    parser.add_argument("--differences", help="write the figures and every difference to this JSON file")
    parser.add_argument("--dpkg", action="store_true", help="ask dpkg-checkbuilddeps about each difference")
    parser.add_argument("--sample", type=int, default=0, metavar="N", help="with --dpkg, ask about N spread"
                        " differences of each side only")
    parser.add_argument("--again", metavar="FILE", help="take the figures and differences of an earlier run's"
                        " --differences file instead of measuring")
    parser.add_argument("--check", action="store_true", help="fail unless kelto is at least 4x faster than"
                        " dose, with no higher peak, and dpkg sides with kelto on every difference")
    parser.add_argument("--check-agreement", action="store_true", help="fail when dpkg-checkbuilddeps sides"
                        " with dose on a difference it was asked about (the speed and memory goals only print)")
    args = parser.parse_args()
    build_index, host_index = LISTS.format(args.build_arch), LISTS.format(args.host_arch)
    results = []
    if args.again:
        results = [r for r in json.loads(Path(args.again).read_text()) if args.only in (None, r["check"])]
    elif args.only != "cross":
        results.append(compare("native", args.sources, [build_index], args.build_arch, args.build_arch))
    if not args.again and args.only != "native":
        results.append(compare("cross", args.sources, [build_index, host_index], args.host_arch, args.build_arch))
    if args.dpkg:
        sys.path.insert(0, str(REPO / "kelto-debian"))
        for result in results:
            indexes = [build_index] + ([host_index] if result["check"] == "cross" else [])
            host = args.host_arch if result["check"] == "cross" else args.build_arch
            result["dpkg"] = dpkg_verdicts(result, args.sources, indexes, host, args.build_arch,
                                           REPO / "build" / "buildable-dpkg" / str(result["check"]), args.sample)
            agreeing = sum(1 for v in result["dpkg"] if (v["dpkg"] == "met") == (v["kelto"] == "ok"))
            print(f"{result['check']}: dpkg-checkbuilddeps sides with kelto on {agreeing} of"
                  f" {len(result['dpkg'])} differences", flush=True)
    if args.differences:
        Path(args.differences).write_text(json.dumps(results, indent=1) + "\n")
    if args.check or args.check_agreement:
        goals = args.check
        failed = [f"{r['check']}: {problem}" for r in results for problem in (
            [f"{r['speed-up']}x faster than dose, not 4x"] if goals and r["speed-up"] < 4 else []) + (
            [f"peak {r['kelto peak MB']} MB above dose's {r['dose peak MB']} MB"]
            if goals and r["kelto peak MB"] > r["dose peak MB"] else []) + (
            [f"dpkg-checkbuilddeps sides with dose on {v['source']}: {v['dpkg']}" for v in r.get("dpkg", [])
             if (v["dpkg"] == "met") != (v["kelto"] == "ok")])]
        for problem in failed:
            print(problem, file=sys.stderr)
        return 1 if failed else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
