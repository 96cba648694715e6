"""Faults that ordinary but hostile Python code could once cause: each class of
fault has one grouped test. Process-wide ones (output, import, panics) run in
a fresh interpreter."""

import gc
import os
import re

import pytest

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

CLASSES = [Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value, PackageOutline, Version]
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


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


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
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


@pytest.mark.parametrize("call", ["IfThen", "Cmp", "PackageOutline"])
def test_new_keeps_arguments_alive_when_a_hook_empties_their_dict(call):
    # Cls.__new__(Cls, **kw) binds from a dict; a conversion hook that finds
    # that dict and clears it must not free the arguments still to convert.
    class Emptier:
        def __index__(self):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and referrer.keys() & {"then", "rhs", "set_options"}:
                    referrer.clear()
            return 1

    name = "".join(chr(0x41 + i % 26) for i in range(64))  # not interned, freed with the dict
    if call == "IfThen":
        made = IfThen.__new__(IfThen, **{"cond": Emptier(), "then": Depends(name)})
        assert made.then.on == name
    elif call == "Cmp":
        made = Cmp.__new__(Cmp, **{"lhs": Emptier(), "rhs": Depends(name), "op": CmpType.Equal})
        assert made.rhs.on == name and repr(made.op) == "CmpType.Equal"
    else:
        made = PackageOutline.__new__(PackageOutline, name, **{"constraints": [Emptier()], "set_options": {name: 1}})
        assert isinstance(made, PackageOutline)


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


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, "panic"])
def test_prefixing_a_type_error_keeps_interrupts_and_panics(error, foreign_if_then):
    # The argument-name prefix needs str() of the TypeError; when that raises
    # something that is not an ordinary error, it must not become a TypeError.
    class Unprintable:
        def __str__(self):
            if error == "panic":
                foreign_if_then()  # panics: another thread's object
            raise error()

    class Sequence:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            return 1

        def __iter__(self):
            raise TypeError(Unprintable())

    with pytest.raises(BaseException) as exc:
        NumOf(Sequence())
    expected = "PanicException" if error == "panic" else error.__name__
    assert type(exc.value).__name__ == expected


@pytest.fixture(name="foreign_if_then")
def foreign_if_then_fixture():
    """Reads an IfThen that another thread owns (a panic); the object is
    dropped on its owner thread afterwards, so nothing is reported."""
    import threading
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
