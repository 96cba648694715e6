"""Faults of the process around the module, and faults that ordinary but hostile
Python code could once cause: a standard output that refuses or stalls writes,
interpreters and imports other than one plain first import, class objects and
names that code tampers with, the panic exception with its report, and exhausted
memory. Each class of fault has one home; process-wide ones run in a fresh
interpreter. Three classes live beside the objects they concern: an IfThen used
on a thread that does not own it (a panic) in test_threads.py, an option map
that a value's conversion changes (a panic) in test_outline.py, and conversion
hooks (__index__, __float__ and the like) that raise or re-enter in
test_hostile.py."""

import errno
import json
import os
import re
import threading

import pytest

from kelto.package.constraint import CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

from classes import ALL_CLASSES
from sequences import Lying, raise_

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

WARN_COLOUR = b"\x1b[33m WARN\x1b[0m \x1b[2mkelto\x1b[0m\x1b[2m:\x1b[0m tracing activated\n"
WARN_PLAIN = b" WARN kelto: tracing activated\n"
SECOND_CALL = (
    'Failed to set subscriber: SetGlobalDefaultError("a global default trace dispatcher '
    'has already been set")'
)

# Prints the outcome of `expr` as one JSON line on stderr: the exception's type
# (name, module, bases) and args, or the value; keeps stdout for the module.
REPORT = """
import json, os
def report(tag, fn):
    try:
        value = fn()
    except BaseException as e:
        t = type(e)
        line = [tag, t.__module__, t.__name__, [b.__name__ for b in t.__bases__], list(e.args),
                isinstance(e, Exception)]
    else:
        line = [tag, "ok", repr(value)]
    os.write(2, (json.dumps(line) + "\\n").encode())
"""


def report_lines(stderr):
    """The JSON lines written by `report`, and the other lines of stderr."""
    lines = stderr.decode().splitlines()
    return [json.loads(l) for l in lines if l.startswith("[")], [l for l in lines if not l.startswith("[")]


def assert_panic_report(lines, message):
    # The thread and the location of the fault, the message, a note on backtraces.
    assert len(lines) == 3, lines
    assert re.search(r"thread\b.*\S+:\d+", lines[0]), lines[0]
    assert lines[1] == message


# ---------------------------------------------------------------------------
# Standard output

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


def test_write_failure_is_reported_on_stderr_and_swallowed(run_python):
    # fd 1 is a pipe without a reader: every write fails with EPIPE
    # (the interpreter ignores SIGPIPE).
    code = REPORT + """
r, w = os.pipe(); os.dup2(w, 1); os.close(w); os.close(r)
import kelto
report("init", kelto.init_tracing)
report("main", kelto.main_entry)
"""
    rc, out, err = run_python(code)
    assert (rc, out) == (0, b"")
    reports, others = report_lines(err)
    assert reports[0] == ["init", "ok", "None"]
    expected_text = "failed printing to stdout: "
    assert reports[1][:4] == ["main", "pyo3_runtime", "PanicException", ["BaseException"]]
    (message,) = reports[1][4]
    assert message.startswith(expected_text)
    assert os.strerror(errno.EPIPE) in message
    # One diagnostic line for the lost event, then the panic report.
    assert len(others) == 4, others
    assert_panic_report(others[1:], message)


@pytest.mark.parametrize("writer", ["main_entry", "log lines"])
def test_output_to_a_pipe_drained_by_a_thread_of_the_same_process(run_python, writer):
    # In-process output capture: fd 1 is a pipe that another thread reads.
    # Writing must let that thread run, or the full pipe blocks for ever.
    work = "kelto.main_entry()" if writer == "main_entry" else "Maximize(object()) if False else refuse()"
    code = f"""
import os, threading, kelto
from kelto.package.constraint import Maximize
def refuse():
    try:
        Maximize(object())
    except TypeError:
        pass
read_end, write_end = os.pipe()
os.dup2(write_end, 1)
received = []
def drain():
    while chunk := os.read(read_end, 65536):
        received.append(len(chunk))
reader = threading.Thread(target=drain, daemon=True)
reader.start()
kelto.init_tracing()
for _ in range(20000):
    {work}
os.close(1); os.close(write_end)
reader.join()
os.write(2, str(sum(received)).encode())
"""
    rc, _, err = run_python(code, env={"NO_COLOR": "1"}, timeout=120)
    assert rc == 0, err
    assert int(err) > 20000 * 16


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


# ---------------------------------------------------------------------------
# Interpreters and imports

# Each script ends by using kelto in the main interpreter.
SECOND_INTERPRETERS = {
    "isolated": ("""
import kelto
from concurrent import interpreters
interp = interpreters.create()
try:
    interp.exec("import kelto")
except interpreters.ExecutionFailed as e:
    print(e.excinfo.type.__name__)
interp.close()
print(kelto.package.version.Version("1.2"))
""", b"ImportError\n1.2\n"),
    # The interpreter runs a single-phase module's entry in the main interpreter
    # even when a subinterpreter asks first, so the main interpreter owns kelto
    # and the subinterpreter is the one refused.
    "legacy, asking first": ("""
import _interpreters
interp = _interpreters.create("legacy")
result = _interpreters.exec(interp, 'import kelto')
print(result.type.__name__ if result else "imported", flush=True)
_interpreters.destroy(interp)
import kelto
print(kelto.package.version.Version("1.2"), flush=True)
""", b"ImportError\n1.2\n"),
    # Refused with a message that says why, and again on a second try.
    "legacy, asking twice": ("""
import _interpreters, kelto
interp = _interpreters.create("legacy")
_interpreters.exec(interp, '''
try:
    import kelto
except ImportError as e:
    print(type(e).__name__, "subinterpreters" in str(e).lower(), flush=True)
else:
    print("imported", flush=True)
''')
_interpreters.exec(interp, '''
try:
    import kelto
except ImportError as e:
    print(type(e).__name__, flush=True)
''')
_interpreters.destroy(interp)
print(str(kelto.package.version.Version("1.2")))
""", b"ImportError True\nImportError\n1.2\n"),
}


@pytest.mark.parametrize("interpreter", sorted(SECOND_INTERPRETERS))
def test_a_second_interpreter_is_refused(run_python, interpreter):
    code, expected = SECOND_INTERPRETERS[interpreter]
    rc, out, err = run_python(code)
    assert (rc, err) == (0, b"")
    assert out == expected


def test_import_that_reenters_itself_fails_at_once(run_python):
    code = """
import builtins, sys
real_import = builtins.__import__
seen = []
def hook(name, *args, **kwargs):
    if name == "sys" and "kelto" not in sys.modules and not seen:
        seen.append(name)
        try:
            real_import("kelto")
        except ImportError as error:
            seen.append(str(error))
    return real_import(name, *args, **kwargs)
builtins.__import__ = hook
import kelto
builtins.__import__ = real_import
print(seen[1])
print(kelto.package.version.Version("1.2"))
"""
    rc, out, err = run_python(code, timeout=30)
    assert rc == 0, err
    first, second = out.decode().splitlines()
    assert first.startswith("kelto was imported again while its first import was still building")
    assert second == "1.2"


# ---------------------------------------------------------------------------
# Class objects and names that code tampers with

@pytest.mark.parametrize("module", [None, 5, 1.5, b"numpy", "numpy"])
def test_class_module_that_is_not_a_str(module):
    # numpy booleans are recognised by their class's module and name, which a
    # class body may set to anything.
    Plain = type("bool", (), {"__module__": module})
    obj = Plain()
    assert (Depends("a") == obj) is False  # not a constraint: identity decides
    calls = [
        lambda: Depends("a") < obj, lambda: Maximize(obj), lambda: NumOf([obj]),
        lambda: setattr(Maximize(1).item, "value", obj), lambda: PackageOutline("p", set_options={"k": obj}),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_classes_are_immutable(cls):
    # A replaced __new__ would let object.__new__ hand out an instance whose
    # payload no constructor built; a moved __class__ would reinterpret one.
    with pytest.raises(TypeError, match="immutable type"):
        cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
    with pytest.raises(TypeError, match="immutable type"):
        cls.__repr__ = lambda self: "x"
    with pytest.raises(TypeError):
        object.__new__(cls)
    if cls is not CmpType:
        with pytest.raises(TypeError):
            Maximize(1).__class__ = cls
    assert CmpType.Less == CmpType.Less and repr(CmpType.Greater) == "CmpType.Greater"


def test_keyword_names_with_lone_surrogates():
    with pytest.raises(TypeError) as exc:
        Depends(**{"\ud800": 1})
    assert str(exc.value) == "Depends.__new__() got an unexpected keyword argument '\\ud800'"
    with pytest.raises(ValueError) as exc:
        PackageOutline("p", **{"\ud800": 1})
    assert str(exc.value) == "PyPackageOutline unexpected keyword argument '\\ud800'"
    with pytest.raises(TypeError) as exc:
        NumOf([type("X", (), {"__qualname__": "\ud800"})()])
    assert "\ud800" in str(exc.value)


# ---------------------------------------------------------------------------
# The panic exception and its report

class TestSecondCall:
    def test_panics_and_first_subscriber_stays(self, run_python):
        code = REPORT + """
import kelto
kelto.init_tracing()
def second():
    try:
        kelto.init_tracing()
    except Exception:
        return "caught by except Exception"
report("second", second)
report("third", second)
"""
        rc, out, err = run_python(code, env={"NO_COLOR": "1"})
        assert (rc, out) == (0, WARN_PLAIN)
        reports, others = report_lines(err)
        panic = ["pyo3_runtime", "PanicException", ["BaseException"], [SECOND_CALL], False]
        assert reports == [["second"] + panic, ["third"] + panic]
        assert_panic_report(others[:3], SECOND_CALL)
        assert_panic_report(others[3:], SECOND_CALL)

    def test_panic_exception_type(self, run_python):
        code = """
import kelto
caught = []
for _ in range(3):  # the first call installs the subscriber
    try:
        kelto.init_tracing()
    except BaseException as e:
        caught.append(e)
t = type(caught[1])
print(type(caught[0]) is t, t.__module__, t.__name__, t.__qualname__, t.__bases__ == (BaseException,),
      issubclass(t, Exception), bool(t.__doc__), str(caught[1]) == caught[1].args[0])
"""
        rc, out, _ = run_python(code, env={"NO_COLOR": "1"})
        assert (rc, out) == (0, WARN_PLAIN + b"True pyo3_runtime PanicException PanicException True False True True\n")

    def test_uncaught_panic_ends_the_interpreter(self, run_python):
        code = "import kelto\nkelto.init_tracing()\nkelto.init_tracing()\nprint('unreachable')\n"
        rc, out, err = run_python(code)
        assert (rc, out) == (1, WARN_COLOUR)
        lines = err.decode().splitlines()
        assert_panic_report(lines[:3], SECOND_CALL)
        assert lines[3] == "Traceback (most recent call last):"
        assert lines[-1] == "pyo3_runtime.PanicException: " + SECOND_CALL

    def test_panics_after_reimport(self, run_python):
        code = REPORT + """
import sys, kelto
kelto.init_tracing()
del sys.modules["kelto"]
import kelto
report("again", kelto.init_tracing)
"""
        rc, out, err = run_python(code, env={"NO_COLOR": "1"})
        assert (rc, out) == (0, WARN_PLAIN)
        reports, others = report_lines(err)
        assert reports == [["again", "pyo3_runtime", "PanicException", ["BaseException"], [SECOND_CALL], False]]
        assert_panic_report(others, SECOND_CALL)

    def test_panic_in_another_thread(self, run_python):
        code = REPORT + """
import threading, kelto
kelto.init_tracing()
t = threading.Thread(target=report, args=("thread", kelto.init_tracing))
t.start(); t.join()
"""
        rc, out, err = run_python(code, env={"NO_COLOR": "1"})
        assert (rc, out) == (0, WARN_PLAIN)
        reports, others = report_lines(err)
        assert reports == [["thread", "pyo3_runtime", "PanicException", ["BaseException"], [SECOND_CALL], False]]
        assert_panic_report(others, SECOND_CALL)



def test_panic_coming_back_through_python_code(run_python):
    code = """
import kelto
from kelto.package.constraint import Maximize
kelto.init_tracing()
class Hook:
    def __index__(self):
        kelto.init_tracing()
try:
    Maximize(Hook())
except BaseException as error:
    print(type(error).__name__, error, sep=": ")
"""
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert rc == 0, err
    assert out.decode().splitlines()[-1] == (
        'PanicException: Failed to set subscriber: SetGlobalDefaultError("a global default trace dispatcher '
        'has already been set")')
    report = err.decode()
    assert "panicked at init_tracing (" in report
    assert "a panic raised by native code came back through Python code" in report
    assert "panicked at Maximize.__new__:\n" in report


def test_a_panic_while_a_type_error_is_prefixed_passes_unchanged(foreign_if_then):
    # The argument-name prefix needs str() of the TypeError; a panic raised
    # there must not become a TypeError.
    class Unprintable:
        def __str__(self):
            foreign_if_then()  # panics: another thread's object
            raise AssertionError("unreachable")

    with pytest.raises(BaseException) as exc:
        NumOf(Lying([1], iterate=raise_(TypeError(Unprintable()))))
    assert type(exc.value).__name__ == "PanicException"


@pytest.fixture(name="foreign_if_then")
def foreign_if_then_fixture():
    """Reads an IfThen that another thread owns (a panic); the object is
    dropped on its owner thread afterwards, so nothing is reported."""
    made, ready, done = [], threading.Event(), threading.Event()

    def own():
        made.append(IfThen(Depends("a"), Depends("b")))
        ready.set()
        done.wait()
        made.clear()

    worker = threading.Thread(target=own)
    worker.start()
    ready.wait()
    yield lambda: made[0].cond
    done.set()
    worker.join()


# ---------------------------------------------------------------------------
# Exhausted memory

@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit")
def test_exhausted_memory_aborts_with_the_line(run_python):
    code = """
import resource
from kelto.package.constraint import Depends
name = "x" * (256 << 20)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), hard))
Depends(name)
"""
    rc, _, err = run_python(code)
    assert rc < 0
    assert re.match(rb"memory allocation of (\d+) bytes failed\n", err)
    assert int(err.split()[3]) > 256 << 20


def test_text_past_a_gigabyte_is_a_memory_error():
    # Forty doublings share their nodes, so the tree is built at once; its
    # text would take terabytes.
    tree = Depends("a")
    for _ in range(40):
        tree = NumOf([tree, tree])
    with pytest.raises(MemoryError, match="^the text form of a constraint is longer than 1 GiB$"):
        tree == 1.5
    assert (NumOf([tree]) >= 1) is not None  # a well-typed comparison writes no text


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit")
@pytest.mark.parametrize("compare", ["huge < 1.5", "Depends('a') < huge"], ids=["left", "right"])
def test_a_refusal_too_long_to_write_is_measured_first(run_python, compare):
    # Forty doublings of shared nodes: the text would take terabytes. Its
    # length is known from the tree, so the refusal takes no memory for it.
    code = f"""
import resource
from kelto.package.constraint import Depends, NumOf
huge = Depends("a")
for _ in range(40):
    huge = NumOf([huge, huge])
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (1500 << 20, hard))
try:
    {compare}
except MemoryError as error:
    print(error)
"""
    rc, out, err = run_python(code)
    assert (rc, out) == (0, b"the text form of a constraint is longer than 1 GiB\n"), err.decode()


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit")
def test_reading_a_value_without_memory_raises_memory_error(run_python):
    code = """
import resource
from kelto.package.constraint import Maximize
value = Maximize("x" * (64 << 20)).item
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), hard))
try:
    value.value
except MemoryError:
    print("MemoryError")
"""
    rc, out, err = run_python(code)
    assert (rc, out) == (0, b"MemoryError\n"), err.decode()
