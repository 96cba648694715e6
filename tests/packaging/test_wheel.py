"""The repaired wheel on systems older than the build machine, and the sdist
built offline. The wheel's C library floor is held by auditwheel when it
repairs the wheel (tools/inside.sh); here it meets older C++ runtimes."""

import base64
import hashlib
import importlib.metadata
import lzma
import os
import re
import shutil
import struct
import subprocess
import tarfile
import urllib.error
import urllib.request
import zipfile
from pathlib import Path

import pytest

from artefacts import DIST, REPO, only, run

EXERCISE = Path(__file__).with_name("exercise.py")
ARCHIVE = "http://deb.debian.org/debian"
CACHE = REPO / "build" / "old-runtimes"

# The C++ runtime (libstdc++ and libgcc_s) of Debian 12 (GCC 12) and 13
# (GCC 14), as the archive ships them. A point release replaces a file in the
# pool; the suite's Packages index then names its successor.
RUNTIMES = {
    "bookworm": [
        ("libstdc++6", "pool/main/g/gcc-12/libstdc++6_12.2.0-14+deb12u1_amd64.deb",
         "5cd3171216d4ab0fc911cfe9c35509bf2dd8f47761c43b7f6a4296701551a24d"),
        ("libgcc-s1", "pool/main/g/gcc-12/libgcc-s1_12.2.0-14+deb12u1_amd64.deb",
         "3016e62cb4b7cd8038822870601f5ed131befe942774d0f745622cc77d8a88f7"),
    ],
    "trixie": [
        ("libstdc++6", "pool/main/g/gcc-14/libstdc++6_14.2.0-19_amd64.deb",
         "ab1fa05837aa7a92aae748fd07a18a35f7d18bb4a71c4724fe2bbf0e32089de0"),
        ("libgcc-s1", "pool/main/g/gcc-14/libgcc-s1_14.2.0-19_amd64.deb",
         "3c71917b490d1a17aed43196a2787a256ecf060526cdb20216a74bedc061b150"),
    ],
}


def fetch(path):
    with urllib.request.urlopen(f"{ARCHIVE}/{path}", timeout=60) as response:
        return response.read()


def from_index(suite, package):
    """The pool file and its SHA256 that the suite's Packages index names now."""
    index = lzma.decompress(fetch(f"dists/{suite}/main/binary-amd64/Packages.xz")).decode()
    for stanza in index.split("\n\n"):
        fields = dict(line.split(": ", 1) for line in stanza.splitlines() if ": " in line and line[0] != " ")
        if fields.get("Package") == package:
            return fields["Filename"], fields["SHA256"]
    pytest.fail(f"{package} is not in {suite}'s Packages index")


def runtime(suite):
    """The suite's C++ runtime unpacked under build/ (downloaded once);
    returns its library folders."""
    root = CACHE / suite
    if not (root / ".complete").exists():
        subprocess.run(["rm", "-rf", str(root)], check=True)
        root.mkdir(parents=True)
        for package, path, sha256 in RUNTIMES[suite]:
            try:
                data = fetch(path)
            except urllib.error.HTTPError as error:
                if error.code != 404:
                    raise
                path, sha256 = from_index(suite, package)
                data = fetch(path)
            assert hashlib.sha256(data).hexdigest() == sha256, f"{path}: checksum differs"
            deb = root / Path(path).name
            deb.write_bytes(data)
            run("dpkg-deb", "-x", str(deb), str(root / "tree"))
        (root / ".complete").touch()
    folders = [p.parent for p in (root / "tree").rglob("libstdc++.so.6")]
    folders += [p.parent for p in (root / "tree").rglob("libgcc_s.so.1")]
    assert folders, f"no libstdc++ in {root}"
    return sorted(set(folders))


@pytest.mark.parametrize("suite", sorted(RUNTIMES))
def test_repaired_wheel_works_with_an_older_cpp_runtime(suite, fresh_venv, tmp_path):
    folders = runtime(suite)
    run(str(fresh_venv), "-m", "pip", "install", "--no-index", "--no-deps", "-q",
        str(only("kelto-*manylinux*_x86_64.whl")))
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(map(str, folders)))
    mapped = run(str(fresh_venv), str(EXERCISE), env=env, cwd=tmp_path).split()
    # Whatever C++ runtime the process loads is the old one, not the root's.
    assert all(any(lib.startswith(str(f)) for f in folders) for lib in mapped), mapped


def wheel_of_installed(distribution, package, folder):
    """A wheel of a pure-Python distribution the root has installed (Debian
    keeps no RECORD, so the files are the package's folder): what `pip
    download` would have fetched, for an offline test."""
    dist = importlib.metadata.distribution(distribution)
    name = f"{package}-{dist.version}"
    info = Path(dist.locate_file(f"{name}.dist-info"))
    files = {f"{name}.dist-info/{p.name}": p.read_bytes() for p in info.iterdir() if p.name != "INSTALLER"}
    files[f"{name}.dist-info/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: kelto-tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    root = info.parent / package
    for path in root.rglob("*"):
        if path.is_file() and "__pycache__" not in path.parts:
            files[str(path.relative_to(info.parent))] = path.read_bytes()
    record = [f"{n},sha256={base64.urlsafe_b64encode(hashlib.sha256(d).digest()).rstrip(b'=').decode()},{len(d)}"
              for n, d in files.items()]
    files[f"{name}.dist-info/RECORD"] = ("\n".join(record) + f"\n{name}.dist-info/RECORD,,\n").encode()
    with zipfile.ZipFile(folder / f"{name}-py3-none-any.whl", "w") as wheel:
        for n, d in files.items():
            wheel.writestr(n, d)


def readme_block(needle):
    text = (REPO / "README.md").read_text(encoding="utf-8")
    blocks = [b for b in re.findall(r"^```sh\n(.*?)^```", text, re.MULTILINE | re.DOTALL) if needle in b]
    assert len(blocks) == 1, f"expected one sh block of README.md with {needle!r}"
    return blocks[0]


def dynamic_entries(data):
    """(tag, value) of each entry of an ELF64 little-endian object's dynamic
    section, and the bytes of the string table it names."""
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, _entsize in sections:
        if kind == 6:  # SHT_DYNAMIC
            strings = sections[link]
            table = data[strings[4]:strings[4] + strings[5]]
            return [struct.unpack_from("<qQ", data, at) for at in range(offset, offset + size, 16)], table
    raise AssertionError("no dynamic section")


# e_machine of the module in each wheel: a cross build that silently used the
# build machine's compiler, or named the module for the wrong target, fails here.
@pytest.mark.parametrize(("arch", "machine"), [("x86_64", 62), ("aarch64", 183)])
def test_wheel_holds_a_module_for_its_tag(arch, machine):
    wheels = sorted(DIST.glob(f"kelto-*_{arch}.whl"))
    if not wheels:
        pytest.skip(f"no {arch} wheel in dist/ (tools/dev wheel makes it)")
    wheel, = wheels
    # name-version-python-abi-platform.whl; the platform tag is set in tools/inside.sh.
    tag = wheel.name.removesuffix(".whl").split("-", 2)[2]
    assert tag.startswith("cp314-cp314-manylinux_") and tag.endswith(f"_{arch}"), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        modules = [n for n in names if n.endswith(".so") and "/" not in n]
        assert modules == [f"kelto.cpython-314-{arch}-linux-gnu.so"], names
        data = archive.read(modules[0])
        metadata, = (n for n in names if n.endswith(".dist-info/WHEEL"))
        tags = [line for line in archive.read(metadata).decode().splitlines() if line.startswith("Tag:")]
    assert tags == [f"Tag: {tag}"]
    assert data[:6] == b"\x7fELF\x02\x01" and struct.unpack_from("<H", data, 18)[0] == machine
    # libstdc++ is linked in; the system's copy may be older than the build's.
    entries, strings = dynamic_entries(data)
    needed = {strings[value:strings.index(b"\0", value)].decode() for tag, value in entries if tag == 1}
    assert "libstdc++.so.6" not in needed and "libc.so.6" in needed, needed


@pytest.mark.sdist
def test_sdist_installs_offline_as_the_readme_says(tmp_path):
    """The README's offline commands, as written, with the build backend's
    wheels (and its dependencies') where it says `pip download` puts them."""
    wheels = tmp_path / "wheels"
    wheels.mkdir()
    for distribution, package in [("scikit-build-core", "scikit_build_core"), ("packaging", "packaging"),
                                  ("pathspec", "pathspec")]:
        wheel_of_installed(distribution, package, wheels)
    sdist = only("kelto-*.tar.gz")
    shutil.copy(sdist, tmp_path / sdist.name)
    run("bash", "-e", "-c", readme_block("--find-links"), cwd=tmp_path)
    run(str(tmp_path / "venv" / "bin" / "python"), str(EXERCISE), cwd=tmp_path)


def test_both_wheels_give_a_fresh_venv_a_working_kelto_debian(fresh_venv, tmp_path):
    """kelto's wheel and the Debian tool's, as the README installs them: the
    console script runs, reads the sample the tool carries, and ends with
    the status its verdicts call for; kelto's sdist carries none of the tool."""
    tool = only("kelto_debian-*-py3-none-any.whl")
    run(str(fresh_venv), "-m", "pip", "install", "--no-index", "--no-deps", "-q",
        str(only("kelto-*manylinux*_x86_64.whl")), str(tool))
    script = fresh_venv.parent / "kelto-debian"
    sample = run(str(fresh_venv), "-c", "import kelto_debian.index as i; print(i.SAMPLE)", cwd=tmp_path).strip()
    assert "/venv/" in sample
    done = subprocess.run([str(script), "installable", sample, "--broken"], capture_output=True, text=True,
                          cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "") and len(done.stdout.splitlines()) == 8, done
    assert all(len(line.split()) == 3 for line in done.stdout.splitlines())
    report = run(str(fresh_venv), "-m", "kelto_debian", "installable", sample, "--explain", "mailutils",
                 "--format", "yaml", cwd=tmp_path)
    assert "  status: ok\n" in report and report.startswith("output-version: 1.2\n")
    with zipfile.ZipFile(tool) as wheel:
        assert "kelto_debian/data/closed/Packages" in wheel.namelist()
    with tarfile.open(only("kelto-*.tar.gz")) as sdist:
        assert not [name for name in sdist.getnames() if "/kelto-debian/" in name]
