"""Sources reading, dpkg's architecture wildcards, build profiles and the
buildable subcommand's report (the dpkg-checkbuilddeps agreement is in
test_buildable_dpkg.py)."""

from __future__ import annotations

import gzip
import lzma
import subprocess

import pytest
import yaml

from conftest import CHILD_ENV, command
from kelto_debian.index import BadIndex
from kelto_debian.restrictions import architectures, profiles_hold
from kelto_debian.sources import BuildContext, Source, parse_build_relations, read_sources

pytestmark = pytest.mark.skipif(not __import__("os").path.exists("/usr/share/dpkg/tupletable"),
                                reason="needs dpkg's architecture tables")


@pytest.mark.parametrize("host, alias, expected", [
    ("amd64", "linux-any", True), ("amd64", "any-amd64", True), ("arm64", "any-amd64", False),
    ("hurd-amd64", "any-amd64", True), ("hurd-amd64", "linux-any", False), ("hurd-i386", "hurd-any", True),
    ("armhf", "any-arm", True), ("armel", "gnueabihf-any-any-any", False), ("armhf", "eabihf-any-any-any", True),
    ("x32", "any-amd64", True), ("musl-linux-arm64", "musl-linux-any", True), ("arm64", "musl-linux-any", False),
    ("arm64", "gnu-linux-any", True), ("amd64", "linux-amd64", True), ("amd64", "any", True),
    ("nosuch", "linux-any", False), ("amd64", "nosuch", False),
])
def test_wildcards_come_from_dpkgs_tables(host, alias, expected):
    assert architectures().matches(host, alias) is expected


@pytest.mark.parametrize("host, arches, expected", [
    ("amd64", ["!amd64", "!i386"], False), ("arm64", ["!amd64", "!i386"], True),
    ("amd64", ["i386", "!amd64"], False), ("arm64", ["!arm64", "amd64"], False),
    ("amd64", ["!arm64", "amd64"], True), ("AMD64", ["amd64"], True),
])
def test_architecture_lists_read_in_order(host, arches, expected):
    assert architectures().concerned(host.lower(), arches) is expected


@pytest.mark.parametrize("formula, active, expected", [
    ((("!nocheck",),), set(), True), ((("!nocheck",),), {"nocheck"}, False),
    ((("stage1", "!nocheck"),), {"stage1"}, True), ((("stage1", "!nocheck"),), {"stage1", "nocheck"}, False),
    ((("stage1",), ("nocheck",)), {"nocheck"}, True), ((("cross",),), set(), False),
])
def test_profile_formulas(formula, active, expected):
    assert profiles_hold(formula, frozenset(active)) is expected


def test_relations_keep_their_restrictions_and_reduce_per_context():
    groups = parse_build_relations("a:native (>= 1) [linux-any] <!nocheck> <stage1 cross>, b [!amd64] | c,"
                                   " d [hurd-any], e <nocheck>,")
    assert groups[0][0].text() == "a:native (>= 1) [linux-any] <!nocheck> <stage1 cross>"
    source = Source("s", "1", ("any",), {"Build-Depends": groups})
    arches = architectures()
    reduce = lambda host, profiles=(): source.reduced(arches, BuildContext("amd64", host, frozenset(profiles)),
                                                      ("Build-Depends",))
    assert reduce("amd64") == [[("a:native", ">=", "1")], [("c", None, None)]]
    assert reduce("arm64", ["nocheck"]) == [[("b", None, None), ("c", None, None)], [("e", None, None)]]
    assert reduce("hurd-i386", ["nocheck", "stage1", "cross"]) == [
        [("b", None, None), ("c", None, None)], [("d", None, None)], [("e", None, None)]]
    with pytest.raises(ValueError, match="not a build relation"):
        parse_build_relations("a [amd64")


SOURCES = """Package: ok
Version: 1
Architecture: any
Build-Depends: pa, pb:native [linux-any]

Package: gone
Version: 2
Architecture: any all
Build-Depends-Indep: nothere <!nodoc>
Build-Depends-Arch: pa

Package: clash
Version: 1:3
Architecture: linux-any
Build-Depends: pa
Build-Conflicts: pa (>= 1)

Package: other
Version: 1
Architecture: hurd-any
Build-Depends: nothere
"""
PACKAGES = """Package: build-essential
Version: 1
Architecture: amd64

Package: pa
Version: 1
Architecture: all

Package: pb
Version: 1
Architecture: amd64
"""


@pytest.mark.parametrize("opener", [open, gzip.open, lzma.open])
def test_sources_are_read_plain_or_compressed(tmp_path, opener):
    path = tmp_path / "Sources"
    with opener(path, "wt") as file:
        file.write(SOURCES)
    assert [(s.name, s.version, s.architecture) for s in read_sources(str(path))] == [
        ("ok", "1", ("any",)), ("gone", "2", ("any", "all")), ("clash", "1:3", ("linux-any",)),
        ("other", "1", ("hurd-any",))]
    path.write_text("Package: x\nVersion: 1\nBuild-Depends: a (>= \n")
    with pytest.raises(BadIndex, match=r"Sources:1: x: Build-Depends: not a build relation"):
        list(read_sources(str(path)))


def test_report_and_exit_status(tmp_path):
    (tmp_path / "Sources").write_text(SOURCES)
    (tmp_path / "Packages").write_text(PACKAGES)
    run = lambda *args: subprocess.run(command("buildable", str(tmp_path / "Sources"), str(tmp_path / "Packages"),
                                               *args), capture_output=True, text=True, env=CHILD_ENV)
    done = run("--broken")
    assert (done.returncode, done.stdout) == (1, "gone 2\nclash 1:3\n")
    done = run("--profiles", "nodoc", "--broken")
    assert (done.returncode, done.stdout) == (1, "clash 1:3\n")
    done = run("--explain", "clash")
    assert done.stdout.splitlines()[0] == "src:clash 1:3 cannot be built: a conflict"
    assert "conflicts with pa (>= 1)" in done.stdout
    report = yaml.safe_load(run("--format", "yaml", "--explain-all").stdout)
    assert report["host-architecture"] == "amd64"
    assert (report["source-packages"], report["broken-packages"]) == (3, 2)
    gone = report["report"][0]
    assert {k: gone[k] for k in ("package", "version", "architecture", "type", "status")} == {
        "package": "gone", "version": "2", "architecture": "any all", "type": "src", "status": "broken"}
    assert gone["reasons"][0]["missing"]["pkg"]["unsat-dependency"] == "nothere"
    done = run("--host-arch", "nosuch")
    assert (done.returncode, done.stderr) == (2, "kelto-debian buildable: unknown architecture 'nosuch'"
                                                 " (not in dpkg's tables)\n")
    done = run("--explain", "other")
    assert done.returncode == 2 and "no source named 'other' built for amd64" in done.stderr


def test_one_reading_of_the_binaries_serves_a_native_and_a_cross_check(tmp_path):
    from kelto_debian.buildable import Binaries, check_sources

    (tmp_path / "Sources").write_text(SOURCES + "\nPackage: cross\nVersion: 1\nArchitecture: any\n"
                                      "Build-Depends: pb, pc:native\n")
    (tmp_path / "Packages.amd64").write_text(PACKAGES + "\nPackage: pc\nVersion: 1\nArchitecture: amd64\n"
                                             "Depends: pb\n\nPackage: crossbuild-essential-arm64\nVersion: 1\n"
                                             "Architecture: all\n")
    (tmp_path / "Packages.arm64").write_text("Package: pb\nVersion: 1\nArchitecture: arm64\n\n"
                                             "Package: pa\nVersion: 1\nArchitecture: all\n")
    paths = [str(tmp_path / "Packages.amd64"), str(tmp_path / "Packages.arm64")]
    binaries = Binaries(paths)
    for host, indexes in (("amd64", paths[:1]), ("arm64", paths)):
        context = BuildContext("amd64", host)
        alone = check_sources(str(tmp_path / "Sources"), indexes, context)
        shared = check_sources(str(tmp_path / "Sources"), binaries, context, paths=indexes)
        verdicts = [{s.name: r.checker.installable(n) for n, s in r.sources} for r in (alone, shared)]
        assert verdicts[0] == verdicts[1]
        # pc:native needs pb of the build architecture, the host's pb is the
        # other: two architectures of a name that is not Multi-Arch: same.
        assert verdicts[0]["cross"] is (host == "amd64")
