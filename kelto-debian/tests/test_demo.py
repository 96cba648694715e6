"""The main job (kelto-debian describe): relations read back from the constraint
objects match the index they came from, versions and bounds are never lost,
and every index a user points at is read or refused on one line."""

import glob
import gzip
import lzma
import os
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from conftest import CHILD_ENV, command
from kelto_debian.index import SAMPLE, read_stanzas
from kelto_debian.notation import show
from kelto_debian.outlines import Builder, describe_index, gather_facts
from kelto_debian.packages import prepare
from kelto_debian.relations import RELATION_FIELDS
from kelto.package.version import Version

APT_INDEXES = sorted(glob.glob("/var/lib/apt/lists/*_Packages"))


def normalised(text):
    return re.sub(r"\s+", " ", text).strip()


I386_INDEX = next((path for path in APT_INDEXES if "_binary-i386_" in path), None)
SHOWN = ("Pre-Depends", "Depends", "Conflicts", "Breaks", "Recommends", "Provides", "Architecture", "Multi-Arch")


@pytest.mark.parametrize("paths, every", [([SAMPLE], 1)] + [([p], 41) for p in APT_INDEXES[:1]]
                         + [([p, I386_INDEX], 83) for p in APT_INDEXES[:1] if I386_INDEX],
                         ids=lambda v: "+".join(os.path.basename(str(p)) for p in v) if isinstance(v, list) else str(v))
def test_rules_read_back_give_the_fields_they_came_from(paths, every):
    builder = Builder(facts=gather_facts(paths))
    checked = 0
    for path in paths:
        for package in (prepare(path, line, fields)
                        for index, (line, fields) in enumerate(read_stanzas(path)) if index % every == 0):
            shown = dict(line.split(": ", 1) for line in show(builder, package) if not line.startswith(" "))
            for key in SHOWN:
                written = package.fields.get(key)
                assert shown.get(key) == (normalised(written) if written is not None else None), package.name
                checked += written is not None
    assert checked > 100


def test_show_prints_bounds_and_versions_as_written(tmp_path):
    index = tmp_path / "Packages"
    index.write_text(
        "Package: pd-scaf\nVersion: 1:0.14.1+darcs-6\nInstalled-Size: 12\n"
        "Pre-Depends: dpkg (>= 1.15.6~)\n"
        "Depends: libc6 (>= 2.36), python3:any, libx (>> 1.02) | liby | libz (= 3.1.5+~cs0), vv:any (>= 2),"
        " gcc:amd64 | gcc:i386, scaf\n"
        "Conflicts: old (<< 2:1.0), gone, pd-scaf, scaf, vv (<< 3)\nBreaks: br (<= 1.0), pd-scaf:any (<< 1:0.1)\n"
        "Recommends: r1 (>= 2), r2 | vv | r3\nProvides: scaf, vv (= 1), vv (= 4)\nSuggests: s\n\n"
        "Package: other\nVersion: 1\nProvides: scaf, libx (= 2), vv (= 2)\n\n")
    out = run_demo(str(index), "--show", "pd-scaf")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[:7] == [
        "Package: pd-scaf",
        "Pre-Depends: dpkg (>= 1.15.6~)",
        "Depends: libc6 (>= 2.36), python3:any, libx (>> 1.02) | liby | libz (= 3.1.5+~cs0), vv:any (>= 2),"
        " gcc:amd64 | gcc:i386, scaf",
        "Conflicts: old (<< 2:1.0), gone, pd-scaf, scaf, vv (<< 3)",
        "Breaks: br (<= 1.0), pd-scaf:any (<< 1:0.1)",
        "Recommends: r1 (>= 2), r2 | vv | r3",
        "Provides: scaf, vv (= 1), vv (= 4)",
    ]
    assert "  option version = 1:0.14.1+darcs-6 (str)" in out.stdout
    assert "  option provides:vv#2 = 4 (Version)" in out.stdout
    assert "  (not translated) Suggests: s" in out.stdout
    virtual = run_demo(str(index), "--show", "scaf")
    assert (virtual.returncode, virtual.stdout) == (0, "scaf: a virtual package, provided by\n  pd-scaf\n  other\n")


@pytest.mark.parametrize("text, kept", [
    ("2.36", None), ("1.0-rc.1+b2", None),
    ("1:0.14-1", "epoch"), ("3.1.5+~cs0", "tilde"), ("1.02", "prints differently"), ("1.0+", "TrailingSeparator"),
])
def test_version_is_parsed_or_kept_as_its_text(text, kept):
    builder = Builder()
    # A Builder judges a text once: met first uncounted (a provided version),
    # it is still counted, with one example, each later time it is met.
    builder.version_value(text, "p", bound=True, count=False)
    for _ in range(2):
        value = builder.version_value(text, "p", bound=True)
        if kept is None:
            assert isinstance(value, Version) and str(value) == text
        else:
            assert value == text
    if kept is not None:
        tally = builder.tally
        assert (tally.reasons, tally.bounds_as_text, len(tally.examples)) == ({kept: 2}, 2, 1)


@pytest.mark.parametrize("path", [SAMPLE] + APT_INDEXES[:1], ids=os.path.basename)
def test_no_package_and_no_bound_is_lost(path):
    result = describe_index(path)
    assert len(result.outlines) == result.stanzas > 0
    assert result.tally.bounds == result.bounds_in_text > 0


def test_compressed_indexes_read_like_the_plain_one(tmp_path):
    data = Path(SAMPLE).read_bytes()
    plain = describe_index(SAMPLE)
    for name, compress in (("Packages.gz", gzip.compress), ("Packages.xz", lzma.compress)):
        (tmp_path / name).write_bytes(compress(data))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            result = describe_index(str(tmp_path / name))
        assert (result.stanzas, result.constraints, result.tally) == (plain.stanzas, plain.constraints, plain.tally)
        assert [str(w.message) for w in caught if w.category is ResourceWarning] == []  # the file closed with its reader


def run_demo(*args):
    """The demo in a child with development mode on, so that a warning it
    causes (a file left for the collector to close) shows on its stderr."""
    argv = command("describe", *args)
    return subprocess.run([argv[0], "-X", "dev", *argv[1:]], capture_output=True, text=True, env=CHILD_ENV,
                          timeout=120)


SAMPLE_START = Path(SAMPLE).read_bytes()[:6000].rsplit(b"\n\n", 1)[0] + b"\n\n"


@pytest.mark.parametrize("name, content, message", [
    ("missing", None, "missing: No such file or directory"),
    ("folder", "dir", "folder: Is a directory"),
    ("cut.gz", gzip.compress(SAMPLE_START)[:400], "cut.gz:"),
    ("bad.xz", b"\xfd7zXZ\x00garbage", "bad.xz: "),
    ("noversion", SAMPLE_START + b"Package: p\nDepends: a\n", "noversion:%d: stanza without a Version field"),
    ("noname", SAMPLE_START + b"Version: 1\n", "noname:%d: stanza without a Package field"),
    ("noise", SAMPLE_START + b"Package: p\nVersion: 1\nnonsense\n", "noise:%d: not a 'Field: value' line"),
    ("relation", SAMPLE_START + b"Package: p\nVersion: 1\nDepends: a (>= 1) b\n",
     "relation:%d: p: Depends: not a package relation: 'a (>= 1) b'"),
    ("qualifiers", SAMPLE_START + b"Package: p\nVersion: 1\nDepends: b:, c:any:any, :any\n",
     "qualifiers:%d: p: Depends: not a package relation: 'b:'"),
    ("nobound", SAMPLE_START + b"Package: p\nVersion: 1\nDepends: libc6 (<< )\n",
     "nobound:%d: p: Depends: not a package relation: 'libc6 (<< )'"),
    ("twice", SAMPLE_START + b"Package: p\nVersion: 1\nDepends: a\ndepends: b\n",
     "twice:%d: field 'depends' given twice in one stanza"),
    ("folded", SAMPLE_START + b"Package: p\nVersion: 1\n 2\n", "folded:%d: continuation line in the one-line field"),
    ("either", SAMPLE_START + b"Package: p\nVersion: 1\nConflicts: x | y\n",
     "either:%d: p: Conflicts: alternatives are not allowed here: 'x | y'"),
    ("provides", SAMPLE_START + b"Package: p\nVersion: 1\nProvides: x (>= 1)\n",
     "provides:%d: p: Provides: a provided version takes '=' only"),
    ("sources", b"Package: src\nBinary: src-bin, src-doc\nVersion: 1\nFormat: 3.0 (quilt)\n",
     "sources:1: a Sources index, not a Packages index"),
    ("latin1", SAMPLE_START + b"Package: p\nVersion: 1\nDescription: caf\xe9\n", "latin1:%d: not UTF-8 text"),
])
def test_unreadable_index_is_one_line_and_a_failure(tmp_path, name, content, message):
    path = tmp_path / name
    if content == "dir":
        path.mkdir(exist_ok=True)
    elif content is not None:
        path.write_bytes(content)
    if "%d" in message:  # the line of the stanza (or of the bad line) after the sample's stanzas
        stanza = SAMPLE_START.count(b"\n") + 1
        message %= stanza + {"noise": 2, "latin1": 2, "twice": 3, "folded": 2}.get(name, 0)
    out = run_demo(str(path))
    assert out.returncode == 2
    assert out.stdout == ""  # nothing printed before the failure
    assert out.stderr.count("\n") == 1 and out.stderr.startswith(f"kelto-debian describe: {path}"), out.stderr
    assert message in out.stderr


def test_summary_counts_reasons_most_frequent_first_and_qualifiers_from_zero(tmp_path):
    # "prints differently" is met before "epoch" and sorts after it by name:
    # tied counts must keep the order they were first met in.
    index = tmp_path / "Packages"
    index.write_text("Package: a\nVersion: 1.02\n\n"
                     "Package: b\nVersion: 1:1.0\nDepends: a (>= 1.0~rc1), c (>= 2.0~b1)\n\n"
                     "Package: c\nVersion: 2\n\n")
    out = run_demo(str(index))
    assert out.returncode == 0, out.stderr
    lines = {line.split(":", 1)[0].strip(): normalised(line) for line in out.stdout.splitlines() if ":" in line}
    assert lines["kept as text"] == ("kept as text: 2 package versions, 2 bounds"
                                     " (tilde: 2, prints differently: 1, epoch: 1)")
    assert lines["qualifiers"] == ("qualifiers: 0 ':any', 0 naming an architecture;"
                                   " 0 conflicts on the package's own name")


def test_field_names_match_whatever_their_case(tmp_path):
    index = tmp_path / "Packages"
    index.write_text("package: p\nVERSION: 1\ndepends: a (>= 2)\nPROVIDES: v\n\nPackage: a\nVersion: 2\n")
    result = describe_index(str(index))
    assert (result.stanzas, result.relations["Depends"], result.tally.bounds, result.facts.provided) == (2, 1, 1, 1)


def test_no_colour_escapes_into_a_pipe():
    out = run_demo(SAMPLE)
    assert out.returncode == 0, out.stderr
    assert "tracing activated" in out.stdout and "\x1b[" not in out.stdout
