"""The same packages in many architectures: what a relation may be met by,
a conflict on a name and one name across architectures are each described
once and shared, so that time and memory grow about linearly with the
number of architectures; the verdicts are those of the rules spelt out per
architecture."""

import os
import subprocess
import sys

import pytest

from conftest import CHILD_ENV, TOOL_DIR
from kelto_debian import outlines
from kelto_debian.installability import broken, check, pycosat

needs_solver = pytest.mark.skipif(pycosat is None, reason="needs pycosat")
pytestmark = pytest.mark.external

KINDS = ("same", "foreign", "allowed", "no")


def shape(folder, count, broken_ones=False):
    """`count` indexes of the same 20 packages, one per architecture (amd64
    first): each of one Multi-Arch kind, depending on the next plainly and
    on an "allowed" one as ":any", providing a name and breaking another.
    With broken_ones, the "same" ones at another version in one
    architecture, and in each two more that dpkg would not install: one
    depending on a "foreign" package as ":any", one broken by a Breaks."""
    paths = []
    for number in range(count):
        architecture = "amd64" if number == 0 else f"arch{number}"
        stanzas = []
        for index in range(20):
            kind = KINDS[index % 4]
            allowed = index // 4 * 4 + 2
            fields = [f"Package: p{index}", f"Version: {2 if broken_ones and kind == 'same' and number == 1 else 1}",
                      f"Architecture: {architecture}"]
            if kind != "no":
                fields.append(f"Multi-Arch: {kind}")
            depends = [f"p{(index + 1) % 20}"] + ([f"p{allowed}:any"] if index != allowed else [])
            fields += [f"Depends: {', '.join(depends)}", f"Provides: v{index} (= 1)",
                       f"Breaks: v{(index + 7) % 20} (<< 1)"]
            stanzas.append("\n".join(fields) + "\n")
        if broken_ones:
            stanzas += [f"Package: qa\nVersion: 1\nArchitecture: {architecture}\nDepends: p1:any\n",
                        f"Package: qb\nVersion: 1\nArchitecture: {architecture}\nDepends: p3\nBreaks: v3 (<< 2)\n"]
        path = os.path.join(folder, f"Packages-{architecture}")
        with open(path, "w") as out:
            out.write("\n".join(stanzas))
        paths.append(path)
    return paths


@needs_solver
@pytest.mark.no_refhunt  # it solves in this process (see test_installable.py)
def test_shared_rules_give_the_verdicts_of_rules_per_architecture(tmp_path):
    paths = shape(str(tmp_path), 12, broken_ones=True)
    verdicts = []
    for share_from in (1, 10 ** 9):
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(outlines, "SHARE_ACROSS_FROM", share_from)
            checker, _ = check(paths, "amd64")
        verdicts.append(sorted(checker.universe.names[n] for n in broken(checker)))
    assert verdicts[0] == verdicts[1]
    assert set(verdicts[0]) == {f"{name}{'' if number == 0 else f':arch{number}'}"
                                for name in ("qa", "qb") for number in range(12)}


MEASURE = """
import resource, sys, time
sys.path[:0] = [{tool!r}, {here!r}]
from test_many_architectures import shape
from kelto_debian.installability import broken, check
paths = shape(sys.argv[1], int(sys.argv[2]))
started = time.process_time()
checker, _ = check(paths, "amd64")
assert not any(broken(checker))
print(time.process_time() - started, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def measure(folder, count):
    """(CPU seconds, peak KiB) of checking the shape in a process of its own."""
    os.makedirs(folder)
    script = MEASURE.format(tool=TOOL_DIR, here=os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", script, folder, str(count)], capture_output=True, text=True,
                          env=CHILD_ENV, timeout=600, check=True)
    seconds, peak = done.stdout.split()
    return float(seconds), int(peak)


@needs_solver
def test_time_and_memory_grow_about_linearly_with_architectures(tmp_path):
    small_time, small_peak = measure(str(tmp_path / "small"), 30)
    large_time, large_peak = measure(str(tmp_path / "large"), 120)
    # four times the architectures: at most a little over four times the cost
    # (the interpreter's own memory, some 20 MiB, counted in both)
    assert large_peak < 5.2 * small_peak
    assert large_time < 6.5 * max(small_time, 0.05)



def test_running_out_of_memory_in_python_is_one_line_and_exit_2(capsys):
    """A MemoryError anywhere in the check ends the command with one line
    and exit status 2, not a traceback. (kelto itself aborts when its own
    allocation fails, and so does the SAT solver's C library: those cannot
    be caught in the process.)"""
    from kelto_debian import cli

    def run(args):
        raise MemoryError

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr("kelto_debian.cli.installable.run", run)
        status = cli.main(["installable", "--broken", "whatever"])
    assert (status, capsys.readouterr()) == (2, ("", "kelto-debian installable: out of memory\n"))
