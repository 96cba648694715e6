"""kelto-debian installable, the consumer of the demo's outlines: its verdicts
are those of Debian's own installability checker, and its version order is
dpkg's."""

import glob
import os
import pickle
import random
import shutil
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

from conftest import CHILD_ENV, command
from kelto_debian import outlines
from kelto_debian.index import SAMPLE, read_stanzas
from kelto_debian.installability import broken, check, pycosat
from kelto_debian.packages import read_packages
from kelto_debian.relations import parse_relations
from kelto_debian.version import compare_versions, version_key

needs_solver = pytest.mark.skipif(pycosat is None, reason="needs pycosat")
DOSE = shutil.which("dose-distcheck")
needs_dose = pytest.mark.skipif(DOSE is None, reason="needs dose-distcheck")
APT_INDEXES = sorted(glob.glob("/var/lib/apt/lists/*_Packages"))
needs_apt = pytest.mark.skipif(not APT_INDEXES, reason="needs an apt index")
I386_INDEX = next((path for path in APT_INDEXES if "_binary-i386_" in path), None)
needs_i386 = pytest.mark.skipif(not APT_INDEXES or I386_INDEX is None, reason="needs apt's amd64 and i386 indexes")
pytestmark = pytest.mark.external

# Verdicts where the reference checker is wrong, by package name, with why.
# Only these may differ.
CHECKER_QUIRKS = {
    "erlang-doc": "the checker drops the version bound of an ':any' Conflicts: 'erlang-base:any (<< 1:13.b.4)'"
                  " is taken as a conflict with every erlang-base, and erlang-doc depends on erlang-base",
    "wants-foreign-any": "the checker meets ':any' with 'Multi-Arch: allowed' only; dpkg also with 'foreign',"
                         " here a foreign provider of the name",
    "conf-any-bound": "the checker drops the bound of an ':any' Conflicts: 'b:any (<< 0.5)' against b 1",
    "dep-any-bound": "the checker drops the bound of an ':any' Depends: 'bb:any (>= 2)' is met by bb 1",
    "app-any-plain": "the checker meets ':any' with a package that is neither 'allowed' nor 'foreign'",
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


# The same for two architectures, amd64 native and i386 foreign: what meets
# an unqualified, ":any" or ":i386" relation by Multi-Arch, providers passing
# theirs on, conflicts that ignore it, bounds on qualified relations, and one
# name installed for both architectures.
ARCHITECTURES = {"amd64": """\
Package: app-plain
Depends: libfoo

Package: app-foreign
Depends: tool-f

Package: app-any
Depends: lib-allowed:any

Package: app-any-plain
Depends: lib-plain:any

Package: g-user
Depends: g:any

Package: conf-any-bound
Depends: b
Conflicts: b:any (<< 0.5)

Package: b

Package: dep-any-bound
Depends: bb:any (>= 2)

Package: bb
Multi-Arch: allowed

Package: conf-e
Depends: e:i386
Conflicts: e:any

Package: libs
Multi-Arch: same

Package: both-same
Depends: libs, wants-libs

Package: libm
Multi-Arch: same

Package: both-mixed
Depends: libm, wants-libm

Package: libn

Package: both-plain
Depends: libn, wants-libn

Package: mta-user
Depends: mta

Package: virt-user
Depends: virt-f

Package: doc
Architecture: all
Depends: libfoo

Package: explicit
Depends: libfoo:i386

Package: tool-amd

Package: arch-all
Architecture: all

Package: mailer-x
Provides: mail-x
Conflicts: mail-x

Package: plain-x
Provides: mail-x

Package: both-x
Depends: mailer-x, plain-x

Package: libq
Multi-Arch: same
Provides: q-virt
Conflicts: q-virt

Package: q-both
Depends: libq, libq-user
""", "i386": """\
Package: libfoo

Package: tool-f
Multi-Arch: foreign

Package: lib-allowed
Multi-Arch: allowed

Package: lib-plain

Package: g
Multi-Arch: foreign

Package: e

Package: libs
Multi-Arch: same

Package: wants-libs
Multi-Arch: foreign
Depends: libs

Package: libm
Version: 2
Multi-Arch: same

Package: wants-libm
Multi-Arch: foreign
Depends: libm

Package: libn

Package: wants-libn
Multi-Arch: foreign
Depends: libn

Package: postfix
Provides: mta

Package: exim
Multi-Arch: foreign
Provides: virt-f

Package: i-app
Depends: tool-amd

Package: i-app-all
Depends: arch-all

Package: arch-all
Architecture: all

Package: libq
Multi-Arch: same
Provides: q-virt
Conflicts: q-virt

Package: libq-user
Multi-Arch: foreign
Depends: libq
"""}

# What dpkg and policy decide of ARCHITECTURES: the packages that cannot be
# installed, with why.
CANNOT = {
    "app-plain": "libfoo is i386 only, and not foreign",
    "app-any-plain": "':any' needs 'Multi-Arch: allowed' (or foreign); lib-plain has neither",
    "dep-any-bound": "bb:any (>= 2): the bound stays, and bb is at 1",
    "conf-e": "a ':any' conflict applies to every architecture, allowed or not",
    "both-mixed": "libm for both architectures, 'same' but at two versions",
    "both-plain": "libn for both architectures, neither 'same'",
    "mta-user": "the provider passes on its architecture (i386) and its Multi-Arch (none)",
    "doc": "'Architecture: all' counts as native: libfoo:i386 does not meet it",
    "i-app:i386": "tool-amd is amd64 only, and not foreign",
    "i-app-all:i386": "arch-all is native, and not foreign",
    "both-x": "mailer-x conflicts with mail-x, which plain-x provides without conflicting",
}


def shapes_index(tmp_path, text=SHAPES, architecture="amd64", name="Packages"):
    stanzas = []
    for stanza in text.strip().split("\n\n"):
        if "Version:" not in stanza:
            stanza = stanza.replace("\n", "\nVersion: 1\n", 1) if "\n" in stanza else stanza + "\nVersion: 1"
        if "Architecture:" not in stanza:
            stanza += f"\nArchitecture: {architecture}"
        stanzas.append(stanza.strip() + "\n")
    path = tmp_path / name
    path.write_text("\n".join(stanzas))
    return str(path)


def architectures_indexes(tmp_path):
    return [shapes_index(tmp_path, text, architecture, architecture) for architecture, text in ARCHITECTURES.items()]


@needs_solver
@pytest.mark.no_refhunt  # it solves in this process: see the note on pycosat below
@pytest.mark.parametrize("shared_from", [None, 1], ids=["pairs", "shared"])
def test_architectures_as_dpkg_and_policy_decide(tmp_path, shared_from):
    # the rule many providers that conflict with their name share, on the few here; a patch undone
    # within the call, so that a repeated call (the leak hunter's) piles up no records of what to undo
    with pytest.MonkeyPatch.context() as patch:
        if shared_from:
            patch.setattr(outlines, "SHARED_FROM", shared_from)
        checker, _ = check(architectures_indexes(tmp_path))
    universe = checker.universe
    assert sorted(universe.names[n] for n in broken(checker)) == sorted(CANNOT)
    # "Architecture: all" packages are in every architecture's index: each is one package
    labels = [universe.label(n) for n in range(1, len(universe) + 1)]
    assert len(labels) == len(set(labels))


def apt_slice(tmp_path, every, indexes=APT_INDEXES[:1]):
    """Every `every`-th package of the first apt index, the same names in the
    others, and what the essential packages depend on (the essential
    packages are part of every solution: without them nothing could be
    installed): one file per index."""
    per_index = [[fields for _, fields in read_stanzas(index)] for index in indexes]
    stanzas = [fields for fields_of_one in per_index for fields in fields_of_one]
    by_name = {}
    for fields in stanzas:
        by_name.setdefault(fields["Package"], []).append(fields)
        for group in parse_relations(fields.get("Provides", "")):
            by_name.setdefault(group[0][0], []).append(fields)
    wanted = [name for name, versions in by_name.items() if any(f.get("Essential") == "yes" for f in versions)]
    kept = set(wanted)
    for name in wanted:
        for fields in by_name.get(name, ()):
            for key in ("Pre-Depends", "Depends"):
                for group in parse_relations(fields.get(key, "")):
                    for other in {versions["Package"] for name, _, _ in group
                                  for versions in by_name.get(name.partition(":")[0], ())}:
                        if other not in kept:
                            kept.add(other)
                            wanted.append(other)
    kept.update(fields["Package"] for fields in per_index[0][::every])
    paths = []
    for number, fields_of_one in enumerate(per_index):
        lines = ["".join(f"{key}: {value.replace(chr(10), chr(10) + ' ')}\n" for key, value in fields.items())
                 for fields in fields_of_one if fields["Package"] in kept]
        path = tmp_path / f"Packages-{number}"
        path.write_text("\n".join(lines))
        paths.append(str(path))
    return paths if len(paths) > 1 else paths[0]


def dose_broken(paths, foreign=(), native="amd64"):
    """(name, version) of what the checker finds broken, the name being
    NAME:ARCH for a foreign architecture, as ours are."""
    paths = [paths] if isinstance(paths, str) else paths
    command = [DOSE, f"--deb-native-arch={native}", "-f", *(f"deb://{path}" for path in paths)]
    if foreign:
        command.insert(2, f"--deb-foreign-archs={','.join(foreign)}")
    out = subprocess.run(command, capture_output=True, text=True, timeout=900).stdout
    found, fields = set(), {}
    for line in out.splitlines():
        key, _, value = line.strip().partition(": ")
        if line.startswith("  ") and not line.startswith("   ") and key in ("package", "version", "architecture"):
            fields[key] = value
            if key == "architecture":
                suffix = "" if value in (native, "all") else f":{value}"
                found.add((fields["package"] + suffix, fields["version"]))
    return found


def assert_agrees(paths, foreign=(), native="amd64"):
    checker, _ = check(paths, native)
    universe = checker.universe
    ours = {(universe.names[n], universe.versions[n]) for n in broken(checker)}
    theirs = dose_broken(paths, foreign, native)
    differ = theirs ^ ours
    assert sorted(package for package in differ if package[0] not in CHECKER_QUIRKS) == []
    return len(universe), len(ours)


# pycosat is built for the release interpreter: under the debug one, each
# clause it reads adds to the reference total for good, as if leaked, so the
# leak hunter counts memory blocks only in the tests that solve in this process.
@needs_solver
@needs_dose
@pytest.mark.no_refhunt
@pytest.mark.parametrize("which", ["sample", "shapes", "architectures", pytest.param("apt slice", marks=needs_apt),
                                   pytest.param("apt slice, amd64 with i386", marks=needs_i386)])
def test_verdicts_agree_with_the_reference_checker(tmp_path, which):
    foreign = ("i386",) if "i386" in which or which == "architectures" else ()
    paths = {"sample": lambda: SAMPLE, "shapes": lambda: shapes_index(tmp_path),
             "architectures": lambda: architectures_indexes(tmp_path),
             "apt slice": lambda: apt_slice(tmp_path, 13),
             "apt slice, amd64 with i386": lambda: apt_slice(tmp_path, 61, [APT_INDEXES[0], I386_INDEX])}[which]()
    count, bad = assert_agrees(paths, foreign)
    assert 0 < bad < count


ARM64_INDEX = next((path for path in APT_INDEXES if "_binary-arm64_" in path), None)
ARCHIVE = "http://deb.debian.org/debian"
TRIXIE = Path(__file__).resolve().parents[2] / "build" / "debian-indexes" / "trixie-main-amd64-Packages.xz"


def trixie_index():
    """Debian 13's amd64 index, downloaded once from the archive into build/;
    the test is skipped when the archive cannot be reached."""
    if not TRIXIE.exists():
        try:
            with urllib.request.urlopen(f"{ARCHIVE}/dists/trixie/main/binary-amd64/Packages.xz", timeout=60) as got:
                data = got.read()
        except OSError as error:
            pytest.skip(f"the Debian archive cannot be reached: {error}")
        TRIXIE.parent.mkdir(parents=True, exist_ok=True)
        partial = TRIXIE.with_suffix(".part")
        partial.write_bytes(data)
        partial.rename(TRIXIE)
    return str(TRIXIE)


@pytest.mark.slow
@needs_solver
@needs_dose
@pytest.mark.no_refhunt
@pytest.mark.parametrize("which", [
    pytest.param("sid amd64", marks=needs_apt),
    pytest.param("sid arm64", marks=pytest.mark.skipif(ARM64_INDEX is None, reason="needs apt's arm64 index")),
    "trixie amd64",
    pytest.param("sid amd64 with i386, a larger slice", marks=needs_i386),
])
def test_verdicts_agree_on_whole_indexes(tmp_path, which):
    native, foreign = "amd64", ()
    if which == "sid amd64":
        paths = APT_INDEXES[0]
    elif which == "sid arm64":
        paths, native = ARM64_INDEX, "arm64"
    elif which == "trixie amd64":
        paths = trixie_index()
    else:
        paths, foreign = apt_slice(tmp_path, 7, [APT_INDEXES[0], I386_INDEX]), ("i386",)
    count, bad = assert_agrees(paths, foreign, native)
    assert count > 10000 and bad > 0


def dpkg_disagreements(checks):
    """The (a, op, b) of checks that `dpkg --compare-versions` refuses."""
    script = 'while read -r a op b; do dpkg --compare-versions "$a" "$op" "$b" || echo "$a $op $b"; done'
    out = subprocess.run(["sh", "-c", script], input="".join(f"{a} {op} {b}\n" for a, op, b in checks),
                         capture_output=True, text=True, timeout=600)
    return out.stdout.splitlines()


def chain_checks(texts):
    """Sorted by our order, each text against the next: when dpkg agrees on
    every neighbour, it agrees on every pair, its order being total."""
    ordered = sorted(set(texts), key=version_key)
    return [(a, "eq" if compare_versions(a, b) == 0 else "lt", b) for a, b in zip(ordered, ordered[1:])]


def index_versions(path, every=1):
    texts = []
    for index, package in enumerate(read_packages(path)):
        if index % every == 0:
            texts.append(package.version)
            texts += [text for groups in package.relations.values() for group in groups
                      for _, _, text in group if text]
    return texts


@pytest.mark.skipif(shutil.which("dpkg") is None, reason="needs dpkg")
@pytest.mark.parametrize("source", ["sample", pytest.param("apt index", marks=needs_apt)])
def test_version_order_is_dpkgs(source):
    if source == "sample":
        checks = chain_checks(index_versions(SAMPLE) + ["1.0~rc1", "1.0", "1.0+b1", "1:0.1", "1.0-0", "1.0a"])
    else:
        texts = sorted(set(index_versions(APT_INDEXES[0], every=7)))
        rng = random.Random(21)
        sample = rng.sample(texts, min(300, len(texts)))
        pairs = [(a, b) for a, b in zip(sample, rng.sample(texts, len(sample)))]
        checks = chain_checks(sample) + [(a, {-1: "lt", 0: "eq", 1: "gt"}[compare_versions(a, b)], b)
                                         for a, b in pairs]
    assert len(checks) > 150
    assert dpkg_disagreements(checks) == []


def run_installable(*args, solver=True):
    argv = command("installable", *args)
    if not solver:  # as if pycosat were not installed
        argv = [sys.executable, "-c", "import runpy, sys; sys.modules['pycosat'] = None; "
                f"sys.argv = {['kelto-debian', *argv[3:]]!r}; "
                "runpy.run_module('kelto_debian', run_name='__main__', alter_sys=True)"]
    return subprocess.run(argv, capture_output=True, text=True, env=CHILD_ENV, timeout=300)


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

Package: suite
Version: 1
Depends: slice (= 1)

Package: slice
Version: 2

Package: slice
Version: 1
Depends: gone (>= 1) | gone-too

Package: mta-a
Version: 1
Provides: mta
Conflicts: mta

Package: mta-b
Version: 1
Provides: mta
Conflicts: mta

Package: mailer
Version: 1
Depends: mta-a, mta-b
"""


@needs_solver
def test_summary_broken_and_explanations(tmp_path):
    index = tmp_path / "Packages"
    index.write_text(EXPLAINED)
    out = run_installable(str(index))
    assert out.returncode == 1, out.stderr
    assert "installable:     7" in out.stdout and "not installable: 5" in out.stdout
    assert run_installable(str(index), "--broken").stdout.splitlines() == [
        "app 1 all", "game 2 all", "suite 1 all", "slice 1 all", "mailer 1 all"]
    explained = {name: run_installable(str(index), "--explain", name) for name in ("app", "game", "suite", "mailer")}
    assert {name: out.returncode for name, out in explained.items()} == dict.fromkeys(explained, 1)
    assert {name: out.stdout.splitlines() for name, out in explained.items()} == {
        "app": ["app 1 cannot be installed: a dependency is missing",
                "  app 1 depends on lib (>= 2), which no version meets: there are lib 1"],
        "game": ["game 2 cannot be installed: a conflict",
                 "  helper 4 conflicts with game (<< 3) (game 2)",
                 "    game 2 depends on engine (engine 3)",
                 "    engine 3 depends on helper (helper 4)"],
        # through the version the bound allows, not the other one
        "suite": ["suite 1 cannot be installed: a dependency is missing",
                  "  suite 1 depends on slice (= 1), and none of slice 1 can be installed",
                  "  slice 1 depends on gone (>= 1) | gone-too, which no package provides"],
        "mailer": ["mailer 1 cannot be installed: a conflict",
                   "  mta-b 1 conflicts with mta (provided by mta-a) (mta-a 1)",
                   "    mailer 1 depends on mta-b (mta-b 1)",
                   "    mailer 1 depends on mta-a (mta-a 1)"],
    }
    installable = run_installable(str(index), "--explain", "tool")
    assert (installable.returncode, installable.stdout) == (0, "tool 1 can be installed\n")


@pytest.mark.parametrize("args, message", [
    (["{index}"], "kelto-debian installable: {index}:1: p: Conflicts: alternatives"),
    (["{index}", "--explain", ""], "kelto-debian installable: --explain needs package names"),
    (["{index}", "--explain", "nobody"], "kelto-debian installable: {index}: no package named 'nobody'"),
    (["{index}", "--explain"], "kelto-debian installable: argument --explain: expected at least one argument"),
    (["{index}", "--explain", "p", "--explain-all"], "kelto-debian installable: argument --explain-all: not allowed"),
    (["{index}", "--format", "xml"], "kelto-debian installable: argument --format: invalid choice"),
    ([SAMPLE, "solver"], "kelto-debian installable: no SAT solver"),
])
def test_usage_and_input_errors_are_one_line_and_status_2(tmp_path, args, message):
    index = tmp_path / "Packages"
    index.write_text("Package: p\nVersion: 1\nConflicts: a | b\n" if "--explain" not in args else "Package: p\nVersion: 1\n")
    argv = [arg.format(index=index) for arg in args if arg != "solver"]
    out = run_installable(*argv, solver="solver" not in args)
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr.count("\n") == 1 and out.stderr.startswith(message.format(index=index)), out.stderr


@needs_solver
@pytest.mark.no_refhunt
def test_joined_solutions_take_the_alternative_named_first(tmp_path):
    """Twenty libraries each need "real | virt", where virt's providers come
    first in the index and conflict with real; each app needs a library and
    real. Taking the alternative named first, every app is settled by
    joining known solutions, with no solver call; a provider taken instead
    would clash with real in every app."""
    stanzas = [f"Package: alt-{k}\nVersion: 1\nProvides: virt\nConflicts: real\n" for k in range(3)]
    stanzas += ["Package: real\nVersion: 1\n", "Package: needs-real\nVersion: 1\nDepends: real\n"]
    stanzas += [f"Package: lib-{k}\nVersion: 1\nDepends: real | virt\n" for k in range(20)]
    stanzas += [f"Package: app-{k}\nVersion: 1\nDepends: lib-{k}, needs-real\n" for k in range(20)]
    stanzas.append("Package: wants-alt\nVersion: 1\nDepends: alt-0, lib-0\n")
    index = tmp_path / "Packages"
    index.write_text("\n".join(stanzas))
    checker, _ = check(str(index))
    assert list(broken(checker)) == []
    assert checker.solver_calls == 1  # wants-alt: alt-0 and lib-0 as known, with real, clash


@pytest.mark.parametrize("order", ["index", "reversed"])
def test_one_builder_builds_what_a_fresh_one_builds(tmp_path, order):
    # A builder works out once per depender architecture and name what a
    # relation builds: whichever package, architecture or bound met a name
    # first, every later package gets the outline a builder of its own gives.
    records, facts = outlines.read_once(architectures_indexes(tmp_path))
    packages = [outlines.prepare(path, line, outlines.kept_fields((path, line, values)))
                for path, line, values in records]
    if order == "reversed":
        packages.reverse()
    shared = outlines.Builder(facts=facts)
    for package in packages:
        alone = outlines.Builder(facts=facts).outline(package)
        assert pickle.dumps(shared.outline(package)) == pickle.dumps(alone), package.name


REPORTED = """\
Package: a
Version: 1
Architecture: amd64
Depends: b (>= 2), c

Package: b
Version: 1.10
Architecture: amd64

Package: c
Version: 1:1.0-1
Architecture: all
Depends: d | e
Conflicts: f

Package: d
Version: 1
Architecture: amd64
Depends: f

Package: f
Version: 1
Architecture: amd64

Package: g
Version: 1
Architecture: amd64
Depends: c, f

Package: top
Version: 1
Architecture: amd64
Depends: middle

Package: middle
Version: 1
Architecture: amd64
Depends: gone

Package: mta-a
Version: 1
Architecture: amd64
Provides: mta
Conflicts: mta

Package: mta-b
Version: 1
Architecture: amd64
Provides: mta
Conflicts: mta

Package: mailer
Version: 1
Architecture: amd64
Depends: mta-a, mta-b

Package: ok
Version: 1
Architecture: amd64
Depends: b, d | ok
"""


def report_fields(text):
    """What a dose-distcheck report says, field by field: the header, and per
    package its status and each reason's kind with the packages it names."""
    yaml = pytest.importorskip("yaml")
    report = yaml.load(text, Loader=yaml.BaseLoader)  # every scalar a string, as written

    def who(entry):
        return (entry["package"], entry["version"], entry["architecture"])

    def reason(item):
        (kind, body), = item.items()
        if kind == "missing":
            return kind, who(body["pkg"])
        return kind, frozenset((who(body["pkg1"]), who(body["pkg2"])))

    entries = {who(entry): (entry["status"], sorted(map(reason, entry.get("reasons", [])), key=repr))
               for entry in report["report"]}
    header = {key: report.get(key) for key in ("output-version", "native-architecture", "foreign-architecture",
                                               "total-packages", "broken-packages")}
    return header, entries


@needs_solver
@needs_dose
def test_yaml_report_is_doses_field_by_field(tmp_path):
    index = tmp_path / "Packages"
    index.write_text(REPORTED)
    ours = run_installable(str(index), "--explain-all", "--format", "yaml")
    dose = subprocess.run([DOSE, "--deb-native-arch=amd64", "-e", "-f", f"deb://{index}"], capture_output=True,
                          text=True, timeout=120)
    assert (ours.returncode, dose.returncode) == (1, 1), ours.stderr + dose.stderr
    header, entries = report_fields(ours.stdout)
    assert (header, entries) == report_fields(dose.stdout)
    assert set(entries) == {("a", "1", "amd64"), ("c", "1:1.0-1", "all"), ("g", "1", "amd64"),
                            ("top", "1", "amd64"), ("middle", "1", "amd64"), ("mailer", "1", "amd64")}
    # --explain NAME reports the names asked for, installable or not, on their cones alone.
    named = report_fields(run_installable(str(index), "--explain", "top", "ok", "--format", "yaml").stdout)[1]
    assert named == {("top", "1", "amd64"): entries["top", "1", "amd64"], ("ok", "1", "amd64"): ("ok", [])}


@needs_solver
def test_exit_status_and_broken_lines(tmp_path):
    index = tmp_path / "Packages"
    index.write_text(REPORTED)
    fine = tmp_path / "Fine"
    fine.write_text(REPORTED.split("\n\n")[-1])  # ok alone, without b: "ok" cannot be installed
    whole = tmp_path / "Whole"
    whole.write_text("Package: b\nVersion: 1\nArchitecture: amd64\n\nPackage: ok\nVersion: 1\nArchitecture: amd64\n"
                     "Depends: b, d | ok\n")
    assert [run_installable(str(path), "--broken").returncode for path in (index, fine, whole)] == [1, 1, 0]
    assert run_installable(str(whole), "--broken").stdout == ""
    assert run_installable(str(index), "--explain", "ok").returncode == 0
    assert run_installable(str(index), "--broken").stdout.splitlines()[:2] == ["a 1 amd64", "c 1:1.0-1 all"]
    # Progress is for a terminal only: nothing on standard error in a pipe.
    assert run_installable(str(index), "--explain-all").stderr == ""
