"""init_tracing(), its log line, and the panic exception. The subscriber is
process-wide and installed at most once, so every test runs a fresh interpreter."""

import errno
import json
import os
import re

import pytest

ESC = b"\x1b"
WARN_COLOUR = (
    ESC + b"[33m WARN" + ESC + b"[0m " + ESC + b"[2mkelto" + ESC + b"[0m" + ESC + b"[2m:" + ESC + b"[0m"
    b" tracing activated\n"
)
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


class TestLogLine:
    @pytest.mark.parametrize(
        "no_color, expected",
        [
            (None, WARN_COLOUR),
            ("", WARN_COLOUR),
            (b"\xff\xfe", WARN_COLOUR),  # not valid Unicode: treated as absent
            ("1", WARN_PLAIN),
            ("0", WARN_PLAIN),
            ("false", WARN_PLAIN),
            (" ", WARN_PLAIN),
        ],
    )
    def test_tracing_activated_line(self, run_python, no_color, expected):
        code = "import kelto\nassert kelto.init_tracing() is None\n"
        assert run_python(code, env={"NO_COLOR": no_color}) == (0, expected, b"")

    def test_nothing_logged_before_or_by_version_errors(self, run_python):
        code = """
import kelto
from kelto.package.version import Version
def refuse(*args, **kwargs):
    try:
        Version(*args, **kwargs)
    except (TypeError, ValueError):
        pass
    else:
        raise AssertionError(args)
def refuse_all():
    for bad in ["", "1..2", "1.>.2", "a_b", "\\ud800"]:
        refuse(bad)
    refuse(3)
    refuse("1", "2")
    refuse(x=1)
    print("--", flush=True)
refuse_all()
kelto.init_tracing()
refuse_all()
"""
        rc, out, err = run_python(code, env={"NO_COLOR": "1"})
        assert (rc, out, err) == (0, b"--\n" + WARN_PLAIN + b"--\n", b"")

    def test_order_with_python_output_and_banner(self, run_python):
        code = """
import kelto
print("a", flush=True)
kelto.main_entry()
kelto.init_tracing()
print("b", flush=True)
kelto.main_entry()
"""
        rc, out, err = run_python(code, env={"NO_COLOR": "1"})
        assert (rc, err) == (0, b"")
        assert out == b"a\nkelto entrypoint\n" + WARN_PLAIN + b"b\nkelto entrypoint\n"

    def test_never_reaches_a_replaced_sys_stdout(self, run_python):
        code = """
import io, sys, kelto
sys.stdout = buf = io.StringIO()
kelto.init_tracing()
kelto.main_entry()
sys.stdout = sys.__stdout__
print(repr(buf.getvalue()))
"""
        assert run_python(code) == (0, WARN_COLOUR + b"kelto entrypoint\n''\n", b"")

    def test_no_stdout_handle(self, run_python):
        code = """
import sys, kelto
assert sys.stdout is None
assert kelto.init_tracing() is None
assert kelto.main_entry() is None
sys.stderr.write("done\\n")
"""
        assert run_python(code, stdout_closed=True) == (0, b"", b"done\n")

    def test_write_failure_is_reported_on_stderr_and_swallowed(self, run_python):
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
