"""Multi-Arch and Provides as dpkg itself matches them: each case is built
into packages with dpkg-deb, installed with dpkg into an empty root, and the
same stanzas read as indexes by the checker; both verdicts must be the
expected one. What dpkg-deb refuses to build, the index reader refuses."""

import shutil
import subprocess

import pytest

from kelto_debian.index import BadIndex
from kelto_debian.installability import broken, check, pycosat
from kelto_debian.outlines import describe_index

DPKG = shutil.which("dpkg")
needs_dpkg = pytest.mark.skipif(DPKG is None or shutil.which("dpkg-deb") is None, reason="needs dpkg and dpkg-deb")
needs_solver = pytest.mark.skipif(pycosat is None, reason="needs pycosat")
pytestmark = pytest.mark.external

# name -> (stanzas as "Package ARCH: field; field", the package judged, whether it installs)
CASES = {
    # ":any" is met by "Multi-Arch: allowed" only, not by "foreign", of the
    # package itself or of a provider of the name.
    "any, foreign": (["b amd64: Multi-Arch: foreign", "want amd64: Depends: b:any"], "want", False),
    "any, allowed": (["b amd64: Multi-Arch: allowed", "want amd64: Depends: b:any"], "want", True),
    "any, foreign of another architecture": (["b i386: Multi-Arch: foreign", "want amd64: Depends: b:any"],
                                             "want", False),
    "any, foreign provider": (["p amd64: Multi-Arch: foreign; Provides: v", "want amd64: Depends: v:any"],
                              "want", False),
    # "foreign" meets an unqualified relation from any architecture, never
    # one naming an architecture.
    "plain, foreign of another architecture": (["b i386: Multi-Arch: foreign", "want amd64: Depends: b"],
                                               "want", True),
    "named architecture, foreign of another": (["b amd64: Multi-Arch: foreign", "want amd64: Depends: b:i386"],
                                               "want", False),
    # A Provides naming an architecture provides the name for that one,
    # whatever the provider's own.
    "provided for amd64, named": (["p amd64: Provides: v:amd64", "want amd64: Depends: v:amd64"], "want", True),
    "provided for amd64, unqualified": (["p amd64: Provides: v:amd64 (= 2)", "want amd64: Depends: v (>= 2)"],
                                        "want", True),
    "provided for i386 by amd64, unqualified": (["p amd64: Provides: v:i386", "want amd64: Depends: v"],
                                                "want", False),
    "provided for i386 by amd64, named": (["p amd64: Provides: v:i386", "want amd64: Depends: v:i386"],
                                          "want", True),
    "provided for amd64 by i386": (["p i386: Provides: v:amd64", "want amd64: Depends: v"], "want", True),
    "provided for any, any": (["p amd64: Provides: v:any", "want amd64: Depends: v:any"], "want", True),
    "provided for any, unqualified": (["p amd64: Provides: v:any", "want amd64: Depends: v"], "want", False),
    # Multi-Arch values are read in any case.
    "upper case": (["b amd64: Multi-Arch: FOREIGN", "want i386: Depends: b"], "want:i386", True),
}


def parse_case(stanzas):
    """(name, architecture, [(field, value)...]) of each stanza."""
    found = []
    for stanza in stanzas:
        head, _, rest = stanza.partition(": ")
        name, architecture = head.split()
        fields = [tuple(field.split(": ", 1)) for field in rest.split("; ")] if rest else []
        found.append((name, architecture, fields))
    return found


def control(name, architecture, fields):
    lines = [f"Package: {name}", "Version: 1", f"Architecture: {architecture}", *(f"{k}: {v}" for k, v in fields)]
    return "\n".join(lines) + "\n"


def dpkg_installs(tmp_path, packages, judged):
    """Whether dpkg installs and configures `judged` (NAME or NAME:ARCH)
    with every package of the case given to one `dpkg -i`."""
    root = tmp_path / "root"
    (root / "var/lib/dpkg/info").mkdir(parents=True)
    (root / "var/lib/dpkg/updates").mkdir()
    (root / "var/lib/dpkg/status").touch()
    dpkg = [DPKG, f"--root={root}", "--force-not-root", "--force-script-chrootless"]
    subprocess.run([*dpkg, "--add-architecture", "i386"], check=True)
    debs = []
    for name, architecture, fields in packages:
        source = tmp_path / f"{name}-{architecture}"
        (source / "DEBIAN").mkdir(parents=True)
        (source / "DEBIAN/control").write_text(
            control(name, architecture, [*fields, ("Maintainer", "m <m@example.org>"), ("Description", "d")]))
        subprocess.run(["dpkg-deb", "-b", str(source), f"{source}.deb"], check=True, capture_output=True)
        debs.append(f"{source}.deb")
    subprocess.run([*dpkg, "-i", *debs], capture_output=True)
    name, _, architecture = judged.partition(":")
    status = subprocess.run([*dpkg, "-s", f"{name}:{architecture or 'amd64'}"], capture_output=True, text=True)
    return "Status: install ok installed" in status.stdout


def indexes(tmp_path, packages):
    """One index per architecture, amd64 (the native one) first."""
    by_architecture = {"amd64": []}
    for name, architecture, fields in packages:
        by_architecture.setdefault(architecture, []).append(control(name, architecture, fields))
    paths = []
    for architecture, stanzas in by_architecture.items():
        path = tmp_path / f"Packages-{architecture}"
        path.write_text("\n".join(stanzas))
        paths.append(str(path))
    return paths


@needs_dpkg
@needs_solver
@pytest.mark.no_refhunt  # it solves in this process (see test_installable.py)
@pytest.mark.parametrize("case", CASES)
def test_multi_arch_and_provides_as_dpkg_installs(tmp_path, case):
    stanzas, judged, installs = CASES[case]
    packages = parse_case(stanzas)
    assert dpkg_installs(tmp_path, packages, judged) is installs
    checker, _ = check(indexes(tmp_path, packages), "amd64")
    universe = checker.universe
    assert (judged not in {universe.names[n] for n in broken(checker)}) is installs


@needs_dpkg
@pytest.mark.parametrize("field, message", [
    ("Package: libc6:i386", "invalid package name 'libc6:i386' in the Package field: character ':' not allowed"),
    ("Multi-Arch: sometimes", "the Multi-Arch field has the invalid value 'sometimes'"),
])
def test_what_dpkg_deb_refuses_the_reader_refuses(tmp_path, field, message):
    key = field.partition(":")[0]
    fields = {"Package": "p", "Version": "1", "Architecture": "amd64", "Maintainer": "m <m@example.org>",
              "Description": "d", key: field.partition(": ")[2]}
    text = "".join(f"{k}: {v}\n" for k, v in fields.items())
    source = tmp_path / "p"
    (source / "DEBIAN").mkdir(parents=True)
    (source / "DEBIAN/control").write_text(text)
    built = subprocess.run(["dpkg-deb", "-b", str(source), str(tmp_path / "p.deb")], capture_output=True)
    assert built.returncode != 0
    path = tmp_path / "Packages"
    path.write_text(text)
    line = list(fields).index(key) + 1
    with pytest.raises(BadIndex, match=f"^{path}:{line}: {message}"):
        describe_index(str(path))


def test_one_package_in_two_indexes(tmp_path):
    """The same name, version and architecture in two indexes: the same
    stanza is one package, another stanza is refused as within one file."""
    stanza = "Package: doc\nVersion: 1\nArchitecture: all\n"
    first, same, other = tmp_path / "amd64", tmp_path / "i386", tmp_path / "i386-other"
    first.write_text("Package: a\nVersion: 1\nArchitecture: amd64\n\n" + stanza)
    same.write_text(stanza)
    other.write_text("Package: b\nVersion: 1\nArchitecture: i386\n\n" + stanza + "Depends: a\n")
    assert describe_index([str(first), str(same)]).stanzas == 2
    with pytest.raises(BadIndex, match=f"^{other}:5: doc 1 \\(all architecture\\) again, with other fields than"
                                       f" at {first}:5$"):
        describe_index([str(first), str(other)])
