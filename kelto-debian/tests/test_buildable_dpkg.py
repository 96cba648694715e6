"""Build relations of every restriction and cross shape, decided by
dpkg-checkbuilddeps on a made-up status file and by the buildable check on
the same packages as an index: the two agree, natively, cross and with
build profiles.

dpkg-checkbuilddeps asks whether what is installed meets each relation. The
index holds the installed packages, none with a relation of its own, so a
source whose only relation is R can be built exactly when an installed
package meets R. A build conflict needs the package installed: its source
build-depends on every package, each by its own architecture, and conflicts
with R."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import pytest

from kelto_debian.buildable import check_sources
from kelto_debian.sources import BuildContext, read_sources

pytestmark = pytest.mark.skipif(shutil.which("dpkg-checkbuilddeps") is None, reason="needs dpkg-dev")

# (name, version, architecture, Multi-Arch, Provides) of each installed package.
INSTALLED = [
    ("build-essential", "1", "amd64", None, None),
    ("crossbuild-essential-arm64", "1", "all", None, None),
    ("pa", "1", "all", None, None),  # plain "all"
    ("paf", "1", "all", "foreign", None),
    ("pf", "1", "amd64", "foreign", "virtf"),
    ("pp", "2", "amd64", None, "virt1, virt2 (= 2)"),
    ("pal", "1", "amd64", "allowed", None),
    ("qh", "1", "arm64", None, None),
    ("qs", "1", "arm64", "same", None),
    ("qal", "1", "arm64", "allowed", None),
    ("qf", "1", "arm64", "foreign", None),
]

# Relations met or not by the packages above (each given a unique missing
# alternative, z<N>, by which dpkg's report names it).
MET = """pa, paf, pf, pp, pal, qh, qs, qal, qf, nothere,
pa:native, paf:native, pf:native, pp:native, qh:native, qf:native,
pa:any, pf:any, pp:any, pal:any, qal:any, qf:any, qs:any,
pp:amd64, pa:amd64, qh:arm64, pf:arm64, qf:arm64,
pp (>= 2), pp (>> 2), pp (<< 3), pp (= 2), pa (<= 1),
virt1, virt1:any, virt2 (>= 2), virt2 (>> 2), virtf, virtf (>= 1)""".replace("\n", " ").split(", ")

# Restrictions, each on a package of its own that nothing provides: the
# relation is unmet exactly when it applies.
RESTRICTED = """[amd64], [arm64], [!amd64], [!arm64], [linux-any], [!linux-any], [any-arm64], [any-amd64],
[!hurd-any], [hurd-any], [amd64 i386], [!amd64 !i386], [gnu-linux-any], [linux-amd64], [musl-linux-any],
[any-any-linux-any], [!kfreebsd-any], [armhf arm64], [any-i386 !arm64], [!arm64 amd64], [i386 !amd64],
<!nocheck>, <nocheck>, <cross>, <!cross>, <stage1 !nocheck>, <stage1> <nocheck>, <!stage1 !nocheck>,
[arm64] <!nocheck>, [!arm64] <cross>""".replace("\n", " ").split(", ")

CONFLICTS = """pa, paf, pf, pp, pal, qh, qs, qf, pp:native, pa:native, qh:native, pp:any, pal:any, qal:any,
pp:amd64, qh:arm64, virt1, virtf, pp (>= 2), pp (<< 2), nothere""".replace("\n", " ").split(", ")

CONTEXTS = [("amd64", ""), ("arm64", ""), ("amd64", "nocheck"), ("arm64", "cross,nocheck"), ("arm64", "stage1")]


def stanza(name, version, arch, multi_arch, provides, status=False):
    lines = [f"Package: {name}"] + (["Status: install ok installed"] if status else []) + \
        [f"Version: {version}", f"Architecture: {arch}"]
    lines += [f"Multi-Arch: {multi_arch}"] if multi_arch else []
    lines += [f"Provides: {provides}"] if provides else []
    return "\n".join(lines) + "\n"


def dpkg_unmet(tmp_path, host, profiles, depends, conflicts):
    """The texts dpkg-checkbuilddeps names as unmet dependencies and as conflicts."""
    (tmp_path / "admin").mkdir(exist_ok=True)
    (tmp_path / "admin" / "status").write_text("\n".join(stanza(*p, status=True) for p in INSTALLED))
    control = tmp_path / "control"
    control.write_text(f"Source: s\nBuild-Depends: {', '.join(depends)}\nBuild-Conflicts: {', '.join(conflicts)}\n")
    command = ["dpkg-checkbuilddeps", f"--admindir={tmp_path / 'admin'}", "-a", host]
    if profiles:
        command += ["-P", profiles]
    done = subprocess.run(command + [str(control)], capture_output=True, text=True,
                          env={**os.environ, "DEB_BUILD_PROFILES": "", "LC_ALL": "C"})
    unmet = re.search(r"unmet build dependencies: (.*)", done.stderr)
    clash = re.search(r"unmet build conflicts: (.*)", done.stderr)
    return (unmet[1] if unmet else ""), " " + (clash[1] if clash else "") + " "


def qualified(name, arch):
    return f"{name}:{arch}"


@pytest.mark.parametrize("host, profiles", CONTEXTS)
def test_build_relations_agree_with_dpkg_checkbuilddeps(tmp_path, host, profiles):
    depends = [f"{relation} | z{n}" for n, relation in enumerate(MET)]
    depends += [f"r{n} {restriction}" for n, restriction in enumerate(RESTRICTED)]
    unmet, clashes = dpkg_unmet(tmp_path, host, profiles, depends, CONFLICTS)
    names = set(re.findall(r"[a-z0-9][a-z0-9+.-]*", unmet))
    by_dpkg = {relation: f"z{n}" not in names for n, relation in enumerate(MET)}
    by_dpkg |= {restriction: f"r{n}" not in names for n, restriction in enumerate(RESTRICTED)}
    by_dpkg |= {f"conflict {relation}": f" {relation} " not in clashes for relation in CONFLICTS}

    # The same as an index (amd64 packages and "all" first, then arm64) and sources.
    native = [p for p in INSTALLED if p[2] != "arm64"]
    (tmp_path / "Packages.amd64").write_text("\n".join(stanza(*p) for p in native))
    (tmp_path / "Packages.arm64").write_text("\n".join(stanza(*p) for p in INSTALLED if p[2] == "arm64"))
    every = ", ".join(qualified(p[0], p[2]) for p in INSTALLED)
    sources = [(relation, f"Build-Depends: {relation}") for relation in MET]
    sources += [(restriction, f"Build-Depends: r{n} {restriction}") for n, restriction in enumerate(RESTRICTED)]
    sources += [(f"conflict {relation}", f"Build-Depends: {every}\nBuild-Conflicts: {relation}")
                for relation in CONFLICTS]
    (tmp_path / "Sources").write_text("\n".join(f"Package: s{n}\nVersion: 1\nArchitecture: any\n{fields}\n"
                                                for n, (_, fields) in enumerate(sources)))
    context = BuildContext("amd64", host, frozenset(filter(None, profiles.split(","))))
    result = check_sources(read_sources(str(tmp_path / "Sources")),
                           [str(tmp_path / "Packages.amd64"), str(tmp_path / "Packages.arm64")], context)
    ours = {sources[n][0]: result.checker.installable(number) for n, (number, _) in enumerate(result.sources)}
    assert len(ours) == len(sources)
    differences = {k: v for k, v in ours.items() if v != by_dpkg[k]}
    assert {k: v for k, v in differences.items() if k not in PROVIDERS_BY_ARCHITECTURE} == {}


# dpkg-checkbuilddeps reads Provides without the provider's architecture and
# Multi-Arch: any provider meets the name, also one that dpkg itself, dose
# and apt would not let meet it (a build-architecture provider for a host
# relation, one not "Multi-Arch: allowed" for ":any"). The check takes a
# provided name with its provider's architecture and Multi-Arch.
PROVIDERS_BY_ARCHITECTURE = {"virt1:any", "virt1", "virt2 (>= 2)", "conflict virt1"}
