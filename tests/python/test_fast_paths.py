"""The conversions' fast paths against the paths they skip. A fast path takes
the common input a shorter way (an exact str, bool, int or float option value
straight into an outline's map, an exact list read by index, a compact ASCII
str read in place, a constructor given every argument by position) and must
keep every guard of the way it skips. Each hostile input the boundary tests
know runs twice: as written, and with every plain str, int, float and list in
it swapped for a subclass of its type, which only the full way takes (and
arguments by keyword). Both runs must end alike: in objects that pack the
same, or in the same error with the same message. A new fast path adds the
inputs it takes here."""

import copyreg

import pytest

from kelto.package.constraint import Cmp, CmpType, Depends, Maximize, NumOf, SpecOption
from kelto.package.outline import PackageOutline
from kelto.package.version import Version
from sequences import Number, raise_


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class List(list):
    pass


SLOW = {str: Str, int: Int, float: Float, list: List}


def slow(value):
    """`value` as the full way takes it: a subclass of its type, with the same value."""
    return SLOW[type(value)](value) if type(value) in SLOW else value


def fast(value):
    return value


def outcome(call):
    """What a call ends in: an object by its packed form, or an exception by
    its type and text (where a refusal names the subclass, its type's)."""
    try:
        made = call()
    except BaseException as e:  # noqa: BLE001 - the panic exception is no Exception
        text = str(e)
        for plain, sub in SLOW.items():
            text = text.replace(str(sub), str(plain)).replace(f"'{sub.__qualname__}'", f"'{plain.__qualname__}'")
        return ("raised", type(e).__name__, text)
    return ("made", type(made).__name__, copyreg.dispatch_table[type(made)](made)[1][0])


# --- texts ---------------------------------------------------------------------

TEXTS = ["libc6", "", "a\x00b", "é", "x" * 300, "a\ud800", "\udfff"]


def by_keyword(w, cls, **kwargs):
    """The call with every argument by position on the fast run, by keyword on the slow one."""
    values = {k: w(v) for k, v in kwargs.items()}
    return cls(**values) if w is slow else cls(*values.values())


TEXT_CALLS = {
    "Depends": lambda w, t: by_keyword(w, Depends, name=t),
    "SpecOption": lambda w, t: by_keyword(w, SpecOption, package_name="p", option_name=t),
    "Version": lambda w, t: by_keyword(w, Version, ver=t),
    "outline name": lambda w, t: PackageOutline(w(t)),
    "option name": lambda w, t: PackageOutline("p", set_options={w(t): w(1)}),
    "option value": lambda w, t: PackageOutline("p", set_options={"k": w(t)}),
    "default value": lambda w, t: PackageOutline("p", set_defaults={"k": w(t), "n": None}),
}


# --- plain values where a constraint or an option value is wanted ---------------

VALUES = [0, -2 ** 63, 2 ** 63, 2 ** 70, 2.5, float("nan"), "x", "a\ud800", True]


def value_set(w, v):
    value = Maximize(0).item
    value.value = w(v)
    return value


VALUE_CALLS = {
    "Maximize": lambda w, v: by_keyword(w, Maximize, item=v),
    "Cmp": lambda w, v: by_keyword(w, Cmp, lhs=v, rhs=v, op=CmpType.Equal),
    "comparison": lambda w, v: NumOf([Depends("a")]) >= w(v),
    "Value setter": value_set,
}


# --- option maps ---------------------------------------------------------------

class Hooked:
    """An option value whose conversion runs `change(options)` once, then reads as 1."""

    def __init__(self, options, change):
        self.options, self.change = options, change

    def __index__(self):
        change, self.change = self.change, None
        if change is not None:
            change(self.options)
        return 1


def with_hook(w, keys, change, parameter):
    """An outline whose option map has `keys`, plain values but at "b", whose
    conversion runs `change(options, w)`."""
    options = {}
    for k in keys:
        options[w(k)] = Hooked(options, lambda d: change(d, w)) if k == "b" else w(len(k) * 2)
    return PackageOutline("p", **{parameter: options})


CHANGES = {
    "grow": lambda d, w: d.__setitem__(w("z"), w(1)),
    "shrink": lambda d, w: d.pop("c"),
    "other key": lambda d, w: (d.pop("a"), d.__setitem__(w("z"), w(1))),
    "own key moved": lambda d, w: (d.pop("b"), d.__setitem__(w("b"), w(2))),
    "later key moved": lambda d, w: (d.pop("c"), d.__setitem__(w("c"), w(2))),
    "value replaced": lambda d, w: d.__setitem__("c", w("replaced")),
    "cleared": lambda d, w: d.clear(),
    "same again": lambda d, w: (d.clear(), d.update({w(k): w(1) for k in "abc"})),
    "re-entered": lambda d, w: PackageOutline("q", set_options=d),
}

MAPS = {
    "plain values": lambda w: PackageOutline("p", None, {w("a"): w(1), w("b"): w("x"), w("c"): w(2.5),
                                                         w("d"): True, w("e"): w(2 ** 70), w("f"): w(-2 ** 63)},
                                             {w("g"): None, w("h"): w(0)}),
    "refused value": lambda w: PackageOutline("p", set_options={w("a"): w(1), w("b"): None, w("c"): w(2)}),
    "key not a str": lambda w: PackageOutline("p", set_options={w("a"): w(1), 5: w(2)}),
    "int subclass of its own": lambda w: PackageOutline(
        "p", set_options={w("a"): w(1), w("b"): type("Odd", (int,), {"__index__": lambda self: 7})(3), w("c"): w(2)}),
    "index raises": lambda w: PackageOutline(
        "p", set_options={w("a"): w(1), w("b"): Number(index=raise_(LookupError("no"))), w("c"): w(2)}),
    "index is not an int": lambda w: PackageOutline(
        "p", set_defaults={w("a"): w(1), w("b"): Number(index=lambda: "7", float_=lambda: 0.5), w("c"): w(2)}),
}
for _parameter in ("set_options", "set_defaults"):
    for _name, _change in CHANGES.items():
        for _keys in ("abc", "abcde"):
            MAPS[f"{_parameter}, {_name}, {len(_keys)} keys"] = (
                lambda w, k=_keys, c=_change, p=_parameter: with_hook(w, k, c, p))


# --- lists ---------------------------------------------------------------------

def growing(w):
    def grower(k):
        return Number(index=lambda: grow() or k)

    def grow():
        if len(items) < 4:
            items.append(grower(len(items) + 1))

    items = w([grower(1)])
    return NumOf(items)


def shrinking(w):
    items = w([])
    items.extend([Depends("a"), Number(index=lambda: items.clear() or 9), Depends("gone"), w(3)])
    return NumOf(items)


def replacing(w):
    items = w([])
    items.extend([Number(index=lambda: items.__setitem__(1, Depends("new")) or 1), Depends("old"), w("x")])
    return NumOf(items)


def reentering(w):
    items = w([])
    inner = []
    items.extend([Depends("a"), Number(index=lambda: inner.append(NumOf(items[:1])) or 2), w(2.5)])
    return NumOf(items)


def dropping(w):
    # The only reference to each item is the list's; the hook empties the list.
    items = w([])
    items.extend([Number(index=lambda: items.clear() or 4), Depends("b")])
    return PackageOutline("p", items)


LISTS = {
    "items": lambda w: NumOf(w([Depends("a"), w(1), w("x"), w(2.5), True, w(2 ** 70)])),
    "nested": lambda w: NumOf(w([NumOf(w([Depends("a")])), w([])])),
    "outline constraints": lambda w: PackageOutline("p", w([Depends("a") == True, NumOf(w([]))])),  # noqa: E712
    "item refused": lambda w: NumOf(w([Depends("a"), None, w(1)])),
    "index raises": lambda w: NumOf(w([Depends("a"), Number(index=raise_(ValueError("x"))), w(1)])),
    "grows": growing,
    "shrinks": shrinking,
    "item replaced": replacing,
    "re-entered": reentering,
    "items dropped": dropping,
}


CASES = {
    **{f"{call}: {text!r}"[:60]: (lambda w, c=make, t=text: c(w, t))
       for call, make in TEXT_CALLS.items() for text in TEXTS},
    **{f"{call}: {value!r}": (lambda w, c=make, v=value: c(w, v))
       for call, make in VALUE_CALLS.items() for value in VALUES},
    **{f"map: {name}": make for name, make in MAPS.items()},
    **{f"list: {name}": make for name, make in LISTS.items()},
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_fast_and_slow_paths_end_alike(case):
    assert outcome(lambda: case(fast)) == outcome(lambda: case(slow))
