"""Reference and memory leaks of every path through Version and the module
functions' binding. They run under the debug interpreter (`-m leaks`) and skip
elsewhere."""

import pytest

import kelto
from kelto.package.version import Version

pytestmark = pytest.mark.leaks


class Text(str):
    pass


def refused(exc_type, fn, *args, **kwargs):
    """A callable that calls fn and insists that it raises exactly exc_type."""

    def call():
        try:
            fn(*args, **kwargs)
        except exc_type as e:
            assert type(e) is exc_type
        else:
            raise AssertionError("no exception")

    return call


@pytest.mark.parametrize(
    "text",
    ["1", "1.2.3-rc1+b2", "2.*", "1.>", "18446744073709551616", "a" * 200, ".".join(["7"] * 100)],
)
def test_construction(assert_no_leak, text):
    assert_no_leak(lambda: Version(text))
    assert_no_leak(lambda: Version(ver=text))
    assert_no_leak(lambda: Version(Text(text)))


@pytest.mark.parametrize("text", ["1.2.3-rc1+b2", "2.*", "007", "x" * 300])
def test_text_forms(assert_no_leak, text):
    v = Version(text)
    assert_no_leak(lambda: (str(v), repr(v)))


@pytest.mark.parametrize(
    "text",
    ["", "1.", "1..2", ".", "1.>.2", ">..", "1.a_b.2", "a_b." * 50, "1.é", 'a"b\\c', "1.\x00"],
)
def test_parse_errors(assert_no_leak, text):
    assert_no_leak(refused(ValueError, Version, text))


@pytest.mark.parametrize(
    "args, kwargs, exc_type",
    [
        ((3,), {}, TypeError),
        ((None,), {}, TypeError),
        ((b"1",), {}, TypeError),
        (("\ud800",), {}, UnicodeEncodeError),
        (("1.\udfff.2",), {}, UnicodeEncodeError),
        ((), {}, TypeError),
        (("1", "2"), {}, TypeError),
        (("1",), {"ver": "1"}, TypeError),
        ((), {"x": "1"}, TypeError),
        ((), {"ver": "1", "x": "1"}, TypeError),
    ],
)
def test_argument_errors(assert_no_leak, args, kwargs, exc_type):
    assert_no_leak(refused(exc_type, Version, *args, **kwargs))


@pytest.mark.parametrize("name", ["init_tracing", "main_entry"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_module_function_binding_errors(assert_no_leak, name, args, kwargs):
    assert_no_leak(refused(TypeError, getattr(kelto, name), *args, **kwargs))


def test_main_entry(assert_no_leak, capfd):
    assert_no_leak(kelto.main_entry, repeat=100)
    assert set(capfd.readouterr().out.splitlines()) == {"kelto entrypoint"}


@pytest.mark.parametrize("call", ['Version("\\ud800")', "Version(3)", 'Version("1", x=1)', "Version()"])
def test_first_failure_of_a_process(run_python, call):
    # A fresh process has not created its panic class yet; the first error path
    # must not call into the interpreter with the exception pending, which a
    # debug interpreter aborts on.
    code = f"from kelto.package.version import Version\ntry:\n    {call}\nexcept Exception as e:\n    print(type(e).__name__)\n"
    rc, out, err = run_python(code)
    assert (rc, err) == (0, b"")
    assert out in (b"UnicodeEncodeError\n", b"TypeError\n")
