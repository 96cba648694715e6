"""Faults of the process around the module: a standard output that refuses writes
in ways other than a closed pipe, and interpreters other than the first one."""

import errno
import os

import pytest

# fd 1 becomes: /dev/full (ENOSPC), a read-only descriptor (EBADF), or a
# non-blocking pipe filled to the last byte that nobody reads (EAGAIN).
STDOUTS = {
    "full device": ("os.dup2(os.open('/dev/full', os.O_WRONLY), 1)", errno.ENOSPC),
    "read-only descriptor": ("os.dup2(os.open('/dev/null', os.O_RDONLY), 1)", errno.EBADF),
    "full pipe": ("r, w = os.pipe(); os.set_blocking(w, False)\n"
                  "while True:\n"
                  "    try: os.write(w, b'x' * 4096)\n"
                  "    except BlockingIOError: break\n"
                  "while True:\n"
                  "    try: os.write(w, b'x')\n"
                  "    except BlockingIOError: break\n"
                  "os.dup2(w, 1)", errno.EAGAIN),
}


@pytest.mark.parametrize("stdout", sorted(STDOUTS))
def test_stdout_that_refuses_writes(run_python, stdout):
    setup, code = STDOUTS[stdout]
    script = f"""import os, sys
sys.stdout = open(os.devnull, "w")
{setup}
import kelto
from kelto.package.outline import PackageOutline
kelto.init_tracing()
try:
    PackageOutline("p", x=1)
except ValueError as e:
    sys.stderr.write("logged call: ValueError\\n")
try:
    kelto.main_entry()
except BaseException as e:
    sys.stderr.write(f"main_entry: {{type(e).__module__}}.{{type(e).__name__}}: {{e}}\\n")
else:
    sys.stderr.write("main_entry: returned\\n")
"""
    rc, out, err = run_python(script)
    assert (rc, out) == (0, b"")
    lines = err.decode().splitlines()
    assert "logged call: ValueError" in lines
    (result,) = [line for line in lines if line.startswith("main_entry: ")]
    if code == errno.EBADF:
        # A descriptor that cannot be written is no standard-output handle.
        assert result == "main_entry: returned"
        return
    assert result.startswith("main_entry: pyo3_runtime.PanicException: failed printing to stdout: ")
    assert os.strerror(code) in result


def test_isolated_interpreter_is_refused_by_the_interpreter(run_python):
    code = """
import kelto
from concurrent import interpreters
interp = interpreters.create()
try:
    interp.exec("import kelto")
except interpreters.ExecutionFailed as e:
    print(e.excinfo.type.__name__)
interp.close()
print(kelto.package.version.Version("1.2"))
"""
    rc, out, err = run_python(code)
    assert (rc, err) == (0, b"")
    assert out == b"ImportError\n1.2\n"


def test_first_import_in_a_subinterpreter(run_python):
    # The interpreter runs a single-phase module's entry in the main interpreter
    # even when a subinterpreter asks first, so the main interpreter owns kelto
    # and the subinterpreter is the one refused.
    code = """
import _interpreters
interp = _interpreters.create("legacy")
result = _interpreters.exec(interp, 'import kelto')
print(result.type.__name__ if result else "imported", flush=True)
_interpreters.destroy(interp)
import kelto
print(kelto.package.version.Version("1.2"), flush=True)
"""
    rc, out, err = run_python(code)
    assert (rc, err) == (0, b"")
    assert out == b"ImportError\n1.2\n"


def test_threads_logging_and_printing_never_interleave(run_python):
    code = """
import threading, kelto
from kelto.package.constraint import Maximize
kelto.init_tracing()

def work():
    for _ in range(300):
        try:
            Maximize(object())
        except TypeError:
            pass
        kelto.main_entry()

threads = [threading.Thread(target=work) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
"""
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert (rc, err) == (0, b"")
    lines = out.decode().splitlines()
    event = "ERROR kelto::package::constraint: cannot convert '<class 'object'>' to Constraint"
    assert lines[0] == " WARN kelto: tracing activated"
    assert sorted(set(lines[1:])) == sorted({"kelto entrypoint", event})
    assert len(lines) == 1 + 2 * 4 * 300
