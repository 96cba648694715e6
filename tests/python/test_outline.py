"""PackageOutline: binding, conversion order, option maps (and the panic when a
value's conversion changes its map) and the unexpected keyword."""

import copyreg

import pytest

from conftest import run_python
from kelto.package.constraint import Depends, NumOf
from kelto.package.outline import PackageOutline
from kelto.package.version import Version
from sequences import Number

REFUSED = [
    # args, kwargs, exception, message
    (("a", None, None, None, None), {}, TypeError,
     "PackageOutline.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    ((), {}, TypeError, "PackageOutline.__new__() missing 1 required positional argument: 'name'"),
    (("a",), {"name": "b"}, TypeError, "PackageOutline.__new__() got multiple values for argument 'name'"),
    ((1,), {}, TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
    (("a", ""), {}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
    (("a", {1, 2}), {}, TypeError, "argument 'constraints': 'set' object cannot be cast as 'Sequence'"),
    (("a", (d for d in [])), {}, TypeError,
     "argument 'constraints': 'generator' object cannot be cast as 'Sequence'"),
    (("a", [Depends("x"), None]), {}, TypeError,
     "argument 'constraints': cannot convert '<class 'NoneType'>' to Constraint"),
    (("a", None, []), {}, TypeError, "argument 'set_options': 'list' object cannot be cast as 'dict'"),
    (("a", None, {1: True}), {}, TypeError, "argument 'set_options': 'int' object cannot be cast as 'str'"),
    (("a", None, {"x": None}), {}, TypeError,
     "argument 'set_options': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue"),
    # An option value or name without a UTF-8 form is refused, as a key
    # that is no str is.
    (("a", None, {"x": "v\ud800"}), {}, TypeError,
     "argument 'set_options': cannot cast Python type '<class 'str'>' to SpecOptionValue"),
    (("a", None, {"x\ud800": 1}), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    (("a", None, None, {"x": [1]}), {}, TypeError,
     "argument 'set_defaults': cannot cast Python type '<class 'list'>' to SpecOptionValue"),
    (("a",), {"version": "1.0"}, ValueError, "PyPackageOutline unexpected keyword argument 'version'"),
    (("a",), {"kwargs": 1}, ValueError, "PyPackageOutline unexpected keyword argument 'kwargs'"),
    (("a",), {"first": 1, "second": 2}, ValueError, "PyPackageOutline unexpected keyword argument 'first'"),
    # A bad named argument is reported before an unexpected keyword.
    (("a", "x"), {"version": "1.0"}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize("args, kwargs, exc_type, message", REFUSED)
def test_refused_calls(args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as exc:
        PackageOutline(*args, **kwargs)
    assert type(exc.value) is exc_type
    assert str(exc.value) == message


@pytest.mark.parametrize("args, kwargs", [
    (("pkg",), {}),
    (("pkg", None, None, None), {}),
    (("pkg", [], {}, {}), {}),
    (("pkg", ()), {}),
    ((), {"name": "pkg", "constraints": (Depends("a"),), "set_options": {"shared": True, "n": 3, "v": Version("1.2")},
          "set_defaults": {"opt": None, "level": 2.5}}),
    (("pkg", [NumOf([Depends("a"), Depends("b")]) >= 1, True, "x"], {"a": 1, "a2": "s"}, {"a": None}), {}),
    # An int beyond 64 bits is kept as a float.
    (("pkg", None, {"big": 2 ** 70, "low": -2 ** 63, "flag": False}, {"big": -2 ** 64}), {}),
])
def test_accepted_calls(args, kwargs):
    assert type(PackageOutline(*args, **kwargs)) is PackageOutline


def test_the_class_offers_nothing_but_construction():
    outline = PackageOutline("pkg")
    assert not [name for name in dir(outline) if not name.startswith("__")]
    assert outline == outline and outline != PackageOutline("pkg")


def packed(outline):
    """What the reducer packs: the only view of an outline's fields."""
    return copyreg.dispatch_table[PackageOutline](outline)[1][0]


def test_dict_subclass_is_read_as_its_items():
    class Options(dict):
        pass

    assert packed(PackageOutline("pkg", set_options=Options(a=1))) == packed(
        PackageOutline("pkg", set_options={"a": 1}))


def test_values_replaced_during_conversion_are_kept_alive():
    # The value being converted drops itself from the dict: we hold our own reference.
    options = {}

    class Dropper:
        def __index__(self):
            options["x"] = 0  # same size, different value object
            return 7

    options["x"] = Dropper()
    # What the conversion gave is kept, not what the dict holds afterwards.
    assert packed(PackageOutline("pkg", set_options=options)) == packed(PackageOutline("pkg", set_options={"x": 7}))


def panic_text(call):
    """The message of the panic exception `call` ends with, or None when it returns."""
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the panic exception is no Exception
        assert type(e).__name__ == "PanicException", e
        return str(e)
    return None


KEYS_CHANGED = "dictionary keys changed during iteration"
SIZE_CHANGED = "dictionary changed size during iteration"


class TestOutlineDictionaries:
    """A dict that a value's conversion changes: whatever the entries around
    the changing value hold, plain values or not."""

    @pytest.mark.parametrize("keys, change, expected", [
        ("abc", lambda d: d.__setitem__("z", 1), SIZE_CHANGED),
        ("abc", lambda d: d.pop("c"), SIZE_CHANGED),
        ("abc", lambda d: d.pop("b"), SIZE_CHANGED),
        ("abc", lambda d: d.clear(), SIZE_CHANGED),
        ("abc", lambda d: (d.pop("a"), d.__setitem__("z", 1)), KEYS_CHANGED),
        # Five keys fill the smallest table: the key added rebuilds it and
        # moves the later entries down.
        ("abcde", lambda d: (d.pop("a"), d.__setitem__("z", 1)), KEYS_CHANGED),
        ("abc", lambda d: (d.pop("b"), d.__setitem__("b", 2)), KEYS_CHANGED),
        ("ab", lambda d: (d.pop("a"), d.__setitem__("c", 3)), KEYS_CHANGED),
        # A later key taken out and put back is met once, at its new place.
        ("abc", lambda d: (d.pop("c"), d.__setitem__("c", 2)), None),
        ("abc", lambda d: d.__setitem__("b", "replaced"), None),
        ("abc", lambda d: d.update(a=2, c=4), None),
    ], ids=["grow", "shrink", "own key dropped", "cleared", "other key", "other key, table rebuilt", "own key moved",
            "other key last", "later key moved", "value replaced", "values replaced"])
    @pytest.mark.parametrize("parameter", ["set_options", "set_defaults"])
    @pytest.mark.parametrize("plain", [True, False], ids=["plain values", "values with hooks"])
    def test_changes_while_a_value_converts(self, parameter, keys, change, expected, plain):
        options = {}

        class ChangesOnce:
            done = False

            def __index__(self):
                if not self.done:
                    self.done = True
                    change(options)
                return 1

        for k in keys:
            options[k] = ChangesOnce() if k == "b" else (1 if plain else Number(index=lambda: 1))
        assert panic_text(lambda: PackageOutline("pkg", **{parameter: options})) == expected


def test_unexpected_keyword_is_logged_after_init_tracing():
    code = (
        "import kelto\n"
        "from kelto.package.outline import PackageOutline\n"
        "def call(**kw):\n"
        "    try: PackageOutline('p', **kw)\n"
        "    except (TypeError, ValueError): pass\n"
        "call(x=1)\n"  # before init_tracing: nothing is printed
        "kelto.init_tracing()\n"
        "call(x=1)\n"
        "call(constraints='s', y=1)\n"  # fails on constraints: no keyword event
    )
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert rc == 0, err
    assert out == (b" WARN kelto: tracing activated\n"
                   b"ERROR kelto::package::outline: PyPackageOutline unexpected keyword argument 'x'\n")


@pytest.mark.leaks
@pytest.mark.parametrize("args, kwargs, exc_type, message", REFUSED)
def test_refused_calls_leak_nothing(assert_no_leak, args, kwargs, exc_type, message):
    def call():
        with pytest.raises(exc_type):
            PackageOutline(*args, **kwargs)

    assert_no_leak(call)


@pytest.mark.leaks
def test_accepted_call_leaks_nothing(assert_no_leak):
    constraints = [NumOf([Depends("a"), Depends("b")]) >= 1, Depends("c"), 3, "x"]
    options = {"shared": True, "n": 2**63, "v": Version("1.2"), "f": 1.5}
    assert_no_leak(lambda: PackageOutline("pkg", constraints, options, {"a": None, "b": "x"}))


class Mutating:
    """An option value whose conversion changes the dictionary it came from."""

    def __init__(self, options, change):
        self.options, self.change = options, change

    def __index__(self):
        self.change(self.options)
        return 1


@pytest.mark.leaks
def test_dictionary_panic_leaks_nothing(assert_no_leak):
    def call():
        options = {"a": 1}
        options["b"] = Mutating(options, lambda d: d.__setitem__("new", 1))
        try:
            PackageOutline("pkg", set_options=options)
        except BaseException as e:
            assert type(e).__name__ == "PanicException"

    assert_no_leak(call, repeat=50)
