"""examples/installable.py, the consumer of the demo's outlines: its verdicts
are those of Debian's own installability checker, and its version order is
dpkg's."""

import glob
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import KELTO_DIR

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
sys.path.insert(0, EXAMPLES)
import demo  # noqa: E402
import installable  # noqa: E402

needs_solver = pytest.mark.skipif(installable.pycosat is None, reason="needs pycosat")
DOSE = shutil.which("dose-distcheck")
needs_dose = pytest.mark.skipif(DOSE is None, reason="needs dose-distcheck")
APT_INDEXES = sorted(glob.glob("/var/lib/apt/lists/*_Packages"))
needs_apt = pytest.mark.skipif(not APT_INDEXES, reason="needs an apt index")
pytestmark = pytest.mark.external

# Verdicts where the reference checker is wrong, by package name, with why.
# Only these may differ, and only in the direction given (the checker says
# broken, installable.py installable).
CHECKER_QUIRKS = {
    "erlang-doc": "the checker drops the version bound of an ':any' Conflicts: 'erlang-base:any (<< 1:13.b.4)'"
                  " is taken as a conflict with every erlang-base, and erlang-doc depends on erlang-base",
}

# Each shape the translation has to get right, as a small index: virtual
# names (versioned or not, at several versions, provided by only one of two
# versions of a package), qualifiers, conflicts on one's own name and on a
# name one provides.
SHAPES = """\
Package: wants-virtual
Depends: v-any:any, v-plain

Package: allowed-provider
Multi-Arch: allowed
Provides: v-any

Package: foreign-provider
Multi-Arch: foreign
Provides: v-any-foreign

Package: wants-foreign-any
Depends: v-any-foreign:any

Package: plain-provider
Version: 2
Provides: v-plain

Package: plain-provider
Version: 3

Package: wants-versioned
Depends: v-ver (>= 2)

Package: unversioned-provider
Provides: v-ver

Package: wants-slot
Depends: multi, v-slot (>= 2)
Conflicts: v-slot (>= 4)

Package: multi
Provides: v-slot (= 1), v-slot (= 3)

Package: wants-slot-too-high
Depends: multi
Conflicts: v-slot (>= 3)

Package: self-conflict
Version: 1
Conflicts: self-conflict, self-conflict (<< 5)

Package: only-one-a
Provides: only-one
Conflicts: only-one

Package: only-one-b
Provides: only-one
Conflicts: only-one

Package: wants-both
Depends: only-one-a, only-one-b

Package: wants-native
Depends: arch-all:amd64, gone:i386 | arch-all:native

Package: arch-all
Architecture: all

Package: wants-i386
Depends: arch-all:i386

Package: breaks-provider
Depends: ok-provider
Breaks: v-broken (<< 2)

Package: ok-provider
Provides: v-broken (= 1)
"""


def shapes_index(tmp_path):
    stanzas = []
    for stanza in SHAPES.strip().split("\n\n"):
        if "Version:" not in stanza:
            stanza = stanza.replace("\n", "\nVersion: 1\n", 1)
        if "Architecture:" not in stanza:
            stanza += "\nArchitecture: amd64"
        stanzas.append(stanza.strip() + "\n")
    path = tmp_path / "Packages"
    path.write_text("\n".join(stanzas))
    return str(path)


def apt_slice(tmp_path, every):
    """Every `every`-th package of the apt index, and what the essential
    packages depend on (the essential packages are part of every solution:
    without them nothing could be installed)."""
    stanzas = [fields for _, fields in demo.read_stanzas(APT_INDEXES[0])]
    by_name = {}
    for fields in stanzas:
        by_name.setdefault(fields["Package"], []).append(fields)
        for group in demo.parse_relations(fields.get("Provides", "")):
            by_name.setdefault(group[0][0], []).append(fields)
    wanted = [name for name, versions in by_name.items() if any(f.get("Essential") == "yes" for f in versions)]
    kept = set(wanted)
    for name in wanted:
        for fields in by_name.get(name, ()):
            for key in ("Pre-Depends", "Depends"):
                for group in demo.parse_relations(fields.get(key, "")):
                    for other in {versions["Package"] for name, _, _ in group
                                  for versions in by_name.get(name.partition(":")[0], ())}:
                        if other not in kept:
                            kept.add(other)
                            wanted.append(other)
    lines = ["".join(f"{key}: {value.replace(chr(10), chr(10) + ' ')}\n" for key, value in fields.items())
             for index, fields in enumerate(stanzas) if index % every == 0 or fields["Package"] in kept]
    path = tmp_path / "Packages"
    path.write_text("\n".join(lines))
    return str(path)


def dose_broken(path):
    out = subprocess.run([DOSE, "--deb-native-arch=amd64", "-f", f"deb://{path}"],
                         capture_output=True, text=True, timeout=900).stdout
    found, name = set(), None
    for line in out.splitlines():
        if line.startswith("  package: "):
            name = line[len("  package: "):]
        elif line.startswith("  version: ") and name is not None:
            found.add((name, line[len("  version: "):]))
            name = None
    return found


def assert_agrees(path):
    checker, _ = installable.check(path)
    universe = checker.universe
    ours = {(universe.names[n], universe.versions[n]) for n in installable.broken(checker)}
    theirs = dose_broken(path)
    quirks = {package for package in theirs - ours if package[0] in CHECKER_QUIRKS}
    assert (sorted(theirs - ours - quirks), sorted(ours - theirs)) == ([], [])
    return len(universe), len(ours)


# pycosat is built for the release interpreter: under the debug one, each
# clause it reads adds to the reference total for good, as if leaked, so the
# leak hunter counts memory blocks only in the tests that solve in this process.
@needs_solver
@needs_dose
@pytest.mark.no_refhunt
@pytest.mark.parametrize("which", ["sample", "shapes", pytest.param("apt slice", marks=needs_apt)])
def test_verdicts_agree_with_the_reference_checker(tmp_path, which):
    path = {"sample": lambda: demo.SAMPLE, "shapes": lambda: shapes_index(tmp_path),
            "apt slice": lambda: apt_slice(tmp_path, 13)}[which]()
    count, bad = assert_agrees(path)
    assert 0 < bad < count


@pytest.mark.slow
@needs_solver
@needs_dose
@needs_apt
@pytest.mark.no_refhunt
def test_verdicts_agree_on_the_whole_apt_index():
    count, bad = assert_agrees(APT_INDEXES[0])
    assert count > 50000 and bad > 0


def dpkg_disagreements(checks):
    """The (a, op, b) of checks that `dpkg --compare-versions` refuses."""
    script = 'while read -r a op b; do dpkg --compare-versions "$a" "$op" "$b" || echo "$a $op $b"; done'
    out = subprocess.run(["sh", "-c", script], input="".join(f"{a} {op} {b}\n" for a, op, b in checks),
                         capture_output=True, text=True, timeout=600)
    return out.stdout.splitlines()


def chain_checks(texts):
    """Sorted by our order, each text against the next: when dpkg agrees on
    every neighbour, it agrees on every pair, its order being total."""
    ordered = sorted(set(texts), key=installable.version_key)
    return [(a, "eq" if installable.compare_versions(a, b) == 0 else "lt", b) for a, b in zip(ordered, ordered[1:])]


def index_versions(path, every=1):
    texts = []
    for index, package in enumerate(demo.read_packages(path)):
        if index % every == 0:
            texts.append(package["Version"])
            texts += [text for groups in package["relations"].values() for group in groups
                      for _, _, text in group if text]
    return texts


@pytest.mark.skipif(shutil.which("dpkg") is None, reason="needs dpkg")
@pytest.mark.parametrize("source", ["sample", pytest.param("apt index", marks=needs_apt)])
def test_version_order_is_dpkgs(source):
    if source == "sample":
        checks = chain_checks(index_versions(demo.SAMPLE) + ["1.0~rc1", "1.0", "1.0+b1", "1:0.1", "1.0-0", "1.0a"])
    else:
        texts = sorted(set(index_versions(APT_INDEXES[0], every=7)))
        rng = random.Random(21)
        sample = rng.sample(texts, min(300, len(texts)))
        pairs = [(a, b) for a, b in zip(sample, rng.sample(texts, len(sample)))]
        checks = chain_checks(sample) + [(a, {-1: "lt", 0: "eq", 1: "gt"}[installable.compare_versions(a, b)], b)
                                         for a, b in pairs]
    assert len(checks) > 150
    assert dpkg_disagreements(checks) == []


def run_installable(*args, solver=True):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([KELTO_DIR, os.environ.get("PYTHONPATH", "")]))
    script = os.path.join(EXAMPLES, "installable.py")
    command = [sys.executable, script, *args]
    if not solver:  # as if pycosat were not installed
        command = [sys.executable, "-c", "import runpy, sys; sys.modules['pycosat'] = None; "
                   f"sys.argv = {[script, *args]!r}; runpy.run_path({script!r}, run_name='__main__')"]
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)


EXPLAINED = """\
Package: app
Version: 1
Depends: tool, lib (>= 2)

Package: lib
Version: 1

Package: tool
Version: 1

Package: game
Version: 2
Depends: engine

Package: engine
Version: 3
Depends: helper

Package: helper
Version: 4
Conflicts: game (<< 3)
"""


@needs_solver
def test_summary_broken_and_explanations(tmp_path):
    index = tmp_path / "Packages"
    index.write_text(EXPLAINED)
    out = run_installable(str(index))
    assert out.returncode == 0, out.stderr
    assert "installable:     4" in out.stdout and "not installable: 2" in out.stdout
    assert run_installable(str(index), "--broken").stdout.splitlines() == ["app 1", "game 2"]
    assert run_installable(str(index), "--explain", "app").stdout.splitlines() == [
        "app 1 cannot be installed: a dependency is missing",
        "  app 1 depends on lib (>= 2), which no package provides",
    ]
    assert run_installable(str(index), "--explain", "game").stdout.splitlines() == [
        "game 2 cannot be installed: a conflict",
        "  helper 4 conflicts with game (<< 3) (game 2)",
        "    game 2 depends on engine (engine 3)",
        "    engine 3 depends on helper (helper 4)",
    ]


def test_input_errors_and_a_missing_solver_are_one_line(tmp_path):
    index = tmp_path / "Packages"
    index.write_text("Package: p\nVersion: 1\nConflicts: a | b\n")
    for out, message in [(run_installable(str(index)), f"installable.py: {index}:1: p: Conflicts: alternatives"),
                         (run_installable(demo.SAMPLE, solver=False), "installable.py: no SAT solver")]:
        assert out.returncode != 0 and out.stdout == ""
        assert out.stderr.count("\n") == 1 and out.stderr.startswith(message), out.stderr
