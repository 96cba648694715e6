"""init_tracing() and its log line (the panic of a second call, and every other
panic, has its home in test_faults.py). The subscriber is process-wide and
installed at most once, so every test runs a fresh interpreter."""

import pytest

ESC = b"\x1b"
WARN_COLOUR = (
    ESC + b"[33m WARN" + ESC + b"[0m " + ESC + b"[2mkelto" + ESC + b"[0m" + ESC + b"[2m:" + ESC + b"[0m"
    b" tracing activated\n"
)
WARN_PLAIN = b" WARN kelto: tracing activated\n"


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
