"""Indexes and outputs meant to break the main job: each gives the right
answer, or one line on standard error naming the file and line, and exit 1.
Huge files are made as .gz files of repeated deflate blocks, a few MB on disk."""

import os
import signal
import struct
import subprocess
import sys
import zlib

import pytest

from conftest import CHILD_ENV, command as tool_command
from kelto_debian.index import FIELD_LIMIT, SAMPLE, STANZA_LIMIT, BadIndex, Repeats, _read_lines, read_stanzas
from kelto_debian.installability import have_solver
from kelto_debian.outlines import describe_index

MIB = 1 << 20
STANZA = b"Package: p\nVersion: 1\nArchitecture: amd64\n"


def deflated(data, last=False):
    """`data` as raw deflate blocks that forget what came before, so that the
    same data always gives the same bytes and copies of them concatenate."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush(zlib.Z_FINISH if last else zlib.Z_FULL_FLUSH)


def repeated_gzip(path, head, unit, count, tail=b""):
    """A valid .gz of head + unit * count + tail, without compressing the
    repeats one by one."""
    crc = zlib.crc32(head)
    for _ in range(count):
        crc = zlib.crc32(unit, crc)
    crc = zlib.crc32(tail, crc)
    block = deflated(unit)
    with open(path, "wb") as out:
        out.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff" + deflated(head))
        for _ in range(count):
            out.write(block)
        out.write(deflated(tail, last=True))
        out.write(struct.pack("<II", crc, (len(head) + len(unit) * count + len(tail)) & 0xFFFFFFFF))
    return str(path)


def plain(path, content):
    path.write_bytes(content)
    return str(path)


# name -> (how the file is made, the line the message names, what it says)
REFUSED = {
    "line.gz": (lambda p: repeated_gzip(p, STANZA + b"\nDescription: ", b"x" * MIB, 2048),
                5, "a line longer than 1 MiB"),
    "version.gz": (lambda p: repeated_gzip(p, b"Package: p\nVersion: 1", b"1" * MIB, 100, b"\n"),
                   2, "a line longer than 1 MiB"),
    "folded": (lambda p: plain(p, STANZA + b"Description: d\n" + b" more\n" * (FIELD_LIMIT // 6)),
               4 + (FIELD_LIMIT - len("Description: d\n")) // 6 + 1, "the field 'Description' longer than 1 MiB"),
    "wide": (lambda p: plain(p, STANZA + b"".join(b"X-%d: %s\n" % (n, b"y" * (MIB - 16)) for n in range(4))),
             7, "a stanza longer than 4 MiB"),
    "superscript": (lambda p: plain(p, STANZA + "Installed-Size: ²\n".encode()),
                    4, "Installed-Size is not a size in KiB (at most 18 ASCII digits): '²'"),
    "digits": (lambda p: plain(p, STANZA + b"Installed-Size: " + b"9" * 5000 + b"\n"),
               4, "Installed-Size is not a size in KiB (at most 18 ASCII digits): '99999999999999999999..."
               " (5000 characters)'"),
    "negative": (lambda p: plain(p, STANZA + b"Installed-Size: -1\n"), 4, "Installed-Size is not a size"),
    "bom": (lambda p: plain(p, b"\xef\xbb\xbf" + STANZA), 1, "the file starts with a byte-order mark"),
    # Field names match in any case, those no reader needs too.
    "unusual twice": (lambda p: plain(p, STANZA + b"X-Origin: a\nx-ORIGIN: b\n"), 5,
                      "field 'x-ORIGIN' given twice in one stanza"),
    "differing": (lambda p: plain(p, STANZA + b"Depends: a\n\n" + STANZA + b"Depends: b\n"),
                  6, "p 1 (amd64 architecture) again, with other fields than at line 1"),
    # What dpkg-deb refuses to build: a name with an architecture qualifier
    # (which would merge with the real libc6:i386), one not starting with a
    # letter or digit, a Multi-Arch value it does not know.
    "qualified name": (lambda p: plain(p, STANZA + b"\nPackage: libc6:i386\nVersion: 1\n"), 5,
                       "invalid package name 'libc6:i386' in the Package field: character ':' not allowed"),
    "leading plus": (lambda p: plain(p, b"Package: +p\nVersion: 1\n"), 1,
                     "invalid package name '+p' in the Package field: must start with an alphanumeric character"),
    "sometimes": (lambda p: plain(p, STANZA + b"Multi-Arch: sometimes\n"), 4,
                  "the Multi-Arch field has the invalid value 'sometimes' (only no, same, foreign, allowed)"),
    # The lines of a flood of blank lines are counted, and the line after it is read whole.
    "flood.gz": (lambda p: repeated_gzip(p, STANZA, b"\n" * MIB, 64, b"  x\n"),
                 4 + 64 * MIB, "continuation line outside a field"),
    "spaces.gz": (lambda p: repeated_gzip(p, STANZA, b" \t\r\n" * (MIB // 4), 16, b"oops\n"),
                  4 + 16 * MIB // 4, "not a 'Field: value' line: 'oops'"),
}


@pytest.mark.parametrize("name", REFUSED)
def test_hostile_index_is_refused_naming_its_line(tmp_path, name):
    make, line, message = REFUSED[name]
    path = make(tmp_path / name)
    with pytest.raises(BadIndex) as refused:
        describe_index(path)
    assert str(refused.value).startswith(f"{path}:{line}: {message}"), refused.value


@pytest.mark.parametrize("name, content, read", [
    # One package however often it is repeated, as apt counts it.
    ("twice", STANZA + b"Depends: a\n\n" + STANZA + b"Depends: a\n\nPackage: a\nVersion: 1\n", [1, 11]),
    # Another architecture or version is another package.
    ("others", STANZA + b"\n" + STANZA.replace(b"amd64", b"i386") + b"\n" + STANZA.replace(b": 1", b": 2"),
     [1, 5, 9]),
    # Blank lines in any number, of any whitespace, and none at all, are an empty index.
    ("empty", b"", []),
    ("blank", b"\n \n\t\r\n" * 100, []),
    ("separated", b"\n" * 200 + STANZA + b" \n" * 200 + STANZA.replace(b"p\n", b"q\n"), [201, 404]),
])
def test_index_read_as_apt_counts_it(tmp_path, name, content, read):
    path = plain(tmp_path / name, content)
    assert [line for line, _ in read_stanzas(path)] == read


def line_reader(path):
    """What the line reader alone makes of a whole file: stanzas, or the error."""
    with open(path, "rb") as index:
        try:
            return [*_read_lines(str(path), index, Repeats(str(path)), 0)]
        except BadIndex as error:
            return str(error)


QUICK = STANZA + b"Depends: a,\n b\n"  # a stanza the quick reader takes whole


# Each case puts a stanza the quick reader must hand to the line reader
# between stanzas it takes whole; both readings must agree, errors and their
# line numbers included, and so whether the stanza lies across a block edge.
@pytest.mark.parametrize("odd", [
    b"Package: q\nDepends: a,\n \n b\n",  # a blank continuation line ends the stanza
    b"Package: q\nDepends: a,\n \xc2\x85\n b\n",  # one that strips to nothing but is not blank
    b"Package: q\r\nVersion: 1\r\n",
    b"Package: q\n\x0c\nPackage: r\n",
    b"\nPackage: q\n",
    b"Package: q\nX-Odd: 1\nx-odd: 2\n",
    b"Package: q\nVersion: 1,\n 2\n",
    b"Package: q:i386\n",
    b"Package: q\nMulti-Arch: sometimes\n",
    b"Package: q\nInstalled-Size: 1e3\n",
    b"Package: q\nDepends: \xff\n",
    b"Package: q\nno colon\n",
    b" Package: q\n",
    b"Package: q\n\n\n\n\nPackage: r\n\n\nPackage: s\nDepends: \xff\n",  # runs of blank lines before a fault
])
@pytest.mark.parametrize("before", [3, (1 << 20) // len(QUICK)])
def test_quick_and_line_readers_agree(tmp_path, odd, before):
    path = plain(tmp_path / "odd", (QUICK + b"\n") * before + odd + b"\n" + QUICK.replace(b"p\n", b"z\n"))
    try:
        quick = [*read_stanzas(str(path))]
    except BadIndex as error:
        quick = str(error)
    assert quick == line_reader(path)


@pytest.mark.parametrize("mib", [64, pytest.param(1024, marks=pytest.mark.slow)])
def test_flood_of_blank_lines_is_an_empty_index(tmp_path, mib):
    path = repeated_gzip(tmp_path / "blank.gz", b"", b"\n" * MIB, mib)
    assert [*read_stanzas(path)] == []


def run_command(command, path, stdout=subprocess.PIPE, close_stdout=False):
    """(exit status, standard output, standard error) of `kelto-debian
    COMMAND` on the index `path`."""
    env = CHILD_ENV
    argv = tool_command(command, path)
    if close_stdout:
        argv = ["sh", "-c", 'exec "$@" >&-', "sh", *argv]
    done = subprocess.run(argv, stdout=stdout, stderr=subprocess.PIPE, env=env, timeout=120)
    return done.returncode, done.stdout, done.stderr.decode()


needs_solver = pytest.mark.skipif(not have_solver(), reason="no SAT solver (python3-pycosat)")
COMMANDS = [pytest.param("describe"), pytest.param("installable", marks=needs_solver)]


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("name", ["version.gz", "superscript", "sometimes"])
def test_commands_refuse_a_hostile_index_on_one_line(tmp_path, command, name):
    make, line, message = REFUSED[name]
    path = make(tmp_path / name)
    status, out, err = run_command(command, path)
    assert (status, out) == (2, b"")
    assert err == f"kelto-debian {command}: {path}:{line}: {message}\n"


@pytest.mark.parametrize("command", COMMANDS)
def test_reader_gone_ends_quietly_by_sigpipe(command):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        status, _, err = run_command(command, SAMPLE, stdout=write_end)
    finally:
        os.close(write_end)
    assert (status, err) == (-signal.SIGPIPE, "")


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("where, reason", [("full", "No space left on device"), ("closed", "is closed")])
def test_output_that_fails_is_one_line(command, where, reason):
    if where == "full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open(os.devnull if where == "closed" else "/dev/full", "wb") as sink:
        status, _, err = run_command(command, SAMPLE, stdout=sink, close_stdout=where == "closed")
    message = f"kelto-debian: standard output: {reason}\n" if where == "full" else f"kelto-debian: standard output {reason}\n"
    assert (status, err) == (1, message)


def providers_index(path, count):
    """`count` packages that each provide x and conflict with it (at most
    one of them installed), one that needs x, and one that needs two of them."""
    stanzas = [f"Package: p{n}\nVersion: 1\nArchitecture: amd64\nProvides: x\nConflicts: x\n" for n in range(count)]
    stanzas += ["Package: user\nVersion: 1\nDepends: x\n", "Package: both\nVersion: 1\nDepends: p0, p1\n"]
    return plain(path, "\n".join(stanzas).encode())


# Runs a command as a script, and reports its peak resident memory (the
# kernel's high-water mark of this program alone: the resource usage of a
# child would count the parent's pages it was forked with).
PEAK_OF = """
import resource, runpy, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
sys.argv = ["kelto-debian", *sys.argv[1:]]
try:
    runpy.run_module("kelto_debian", run_name="__main__", alter_sys=True)
finally:
    print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:")), file=sys.stderr)
"""


def peak_mib(command, path, *args):
    """(peak resident MiB, exit status, standard output) of `kelto-debian
    COMMAND` on `path`, under an address-space limit that a growth with the square of
    the providers would hit long before the largest case ends."""
    done = subprocess.run([sys.executable, "-c", PEAK_OF, command, path, *args],
                          capture_output=True, env=CHILD_ENV, timeout=120)
    return int(done.stderr.split()[-1]) / 1024, done.returncode, done.stdout.decode()


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit")
@pytest.mark.parametrize("command, args", [("describe", ()), pytest.param("installable", ("--broken",),
                                                                         marks=needs_solver)])
def test_memory_grows_linearly_with_providers_that_conflict(tmp_path, command, args):
    peaks = []
    for count in (3000, 6000, 12000):
        peak, status, out = peak_mib(command, providers_index(tmp_path / f"P{count}", count), *args)
        assert status == (1 if args else 0)  # "both" cannot be installed
        if args:
            assert out == "both 1 all\n"
        peaks.append(peak)
    # Twice the providers cost twice the memory above the smaller case; their square would cost four times.
    small, middle, large = peaks
    assert large - middle < 3 * (middle - small), peaks
