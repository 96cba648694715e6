"""The introspection records in the built file, read without importing it: the
rules they keep, their agreement with the live module, and the whole surface
against its checked-in copy (tests/python/surface.json; surface.py says how to
write it anew); and the type stubs generated beside them."""

import difflib
import inspect
import os
import re
import sys

import pytest

import kelto
import kelto.package.constraint
import kelto.package.outline
import kelto.package.version
from surface import GOLDEN, load_records, surface_text

SUBMODULES = [kelto.package.outline, kelto.package.constraint, kelto.package.version]
COMPARISONS = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"}


RECORDS = load_records()
if not RECORDS and hasattr(sys, "gettotalrefcount"):
    # The leak hunt's build for the debug interpreter is made without them.
    pytest.skip("this debug build of kelto carries no introspection records", allow_module_level=True)
CLASSES = {r["id"]: r["name"] for r in RECORDS if r["type"] == "class"}
# Described for tools that expect the record format's awaitable support, but
# not attributes of the module.
NOT_ATTRIBUTES = {"Coroutine", "release_waiter"}


def live_class(name):
    owners = [m for m in SUBMODULES if name in m.__all__]
    assert len(owners) == 1, name
    return getattr(owners[0], name)


def described_parameters(record):
    arguments = record["arguments"]
    names = [a["name"] for a in arguments.get("posonlyargs", [])][1:]  # without self/cls
    names += [a["name"] + ("=" + a["default"] if "default" in a else "") for a in arguments.get("args", [])]
    if "kwarg" in arguments:
        names.append("**" + arguments["kwarg"]["name"])
    return names


def live_parameters(signature):
    out = []
    for p in list(signature.parameters.values()):
        if p.kind is p.VAR_KEYWORD:
            out.append("**" + p.name)
        else:
            out.append(p.name + ("" if p.default is p.empty else "=" + repr(p.default)))
    return out


def test_records_are_well_formed():
    assert RECORDS, "no introspection records exported"
    ids = [r["id"] for r in RECORDS if "id" in r]
    assert len(ids) == len(set(ids))
    for record in RECORDS:
        if "parent" in record:
            assert record["parent"] in CLASSES, record
            assert "id" not in record
    assert [r["type"] for r in RECORDS].count("module") == 1


def test_surface_matches_the_checked_in_copy():
    with open(GOLDEN, encoding="utf-8") as f:
        expected = f.read()
    actual = surface_text(RECORDS)
    if actual != expected:
        diff = "".join(difflib.unified_diff(expected.splitlines(True), actual.splitlines(True),
                                            "tests/python/surface.json", "this build"))
        pytest.fail("the Python surface differs from its checked-in copy; if the change is meant, "
                    "write the copy anew as tests/python/surface.py says\n" + diff, pytrace=False)


def test_every_class_and_member_exists_as_described():
    for record in RECORDS:
        if record["type"] == "class":
            if record["name"] not in NOT_ATTRIBUTES:
                live_class(record["name"])
            continue
        if record["type"] != "function" or record["name"] in NOT_ATTRIBUTES:
            continue
        if CLASSES.get(record.get("parent")) in NOT_ATTRIBUTES:
            continue
        if "parent" not in record:
            function = getattr(kelto, record["name"])
            assert described_parameters(record) == live_parameters(inspect.signature(function))
            continue
        cls = live_class(CLASSES[record["parent"]])
        name = record["name"]
        assert name in vars(cls), (cls, name)
        if record.get("decorators"):  # a property's getter or setter
            assert type(vars(cls)[name]).__name__ == "getset_descriptor"
        elif name == "__new__":
            assert described_parameters(record) == live_parameters(inspect.signature(cls))
        elif name not in COMPARISONS and not name.startswith("__"):
            assert described_parameters(record) == live_parameters(inspect.signature(getattr(cls, name)))[1:]


def test_nothing_callable_is_undescribed():
    described = {(CLASSES[r["parent"]], r["name"]) for r in RECORDS if "parent" in r}
    for module in SUBMODULES:
        for name in module.__all__:
            cls = getattr(module, name)
            for attribute, value in vars(cls).items():
                if attribute in ("__doc__", "__module__", "__hash__") or isinstance(value, cls):
                    continue
                if attribute == "__class_getitem__":  # run-time generics, kept out of the fixed records
                    continue
                if name == "CmpType":  # described by its class record alone
                    continue
                assert (name, attribute) in described, (name, attribute)
    functions = {r["name"] for r in RECORDS if r["type"] == "function" and "parent" not in r}
    assert functions - NOT_ATTRIBUTES == {n for n in kelto.__all__ if callable(getattr(kelto, n))}


def test_setters_follow_their_getters():
    for record in RECORDS:
        decorators = record.get("decorators", [])
        if decorators and decorators[0].endswith(".setter"):
            assert decorators == [record["name"] + ".setter"]
            assert [a["name"] for a in record["arguments"]["args"]] == ["value"]
            assert record["returns"] == "None"


STUBS = os.path.join(os.path.dirname(kelto.__file__), "kelto-stubs")
needs_stubs = pytest.mark.skipif(not os.path.isdir(STUBS), reason="needs the stubs installed beside the module")


@needs_stubs
def test_stubs_list_every_class():
    stubs = STUBS
    with open(os.path.join(stubs, "package", "constraint.pyi")) as f:
        text = f.read()
    compile(text, "constraint.pyi", "exec")
    for name in kelto.package.constraint.__all__:
        assert re.search(rf"\nclass {name}[(:]", text), name
