"""The class objects of kelto.package.constraint and the CmpType members."""

import weakref

import pytest

import kelto.package.constraint as constraint
from kelto.package.constraint import CmpType

CLASSES = ["Cmp", "Depends", "IfThen", "Maximize", "Minimize", "NumOf", "SpecOption", "Value"]
SIGNATURES = {
    "Cmp": "(lhs, rhs, op)",
    "Depends": "(name)",
    "IfThen": "(cond, then)",
    "Maximize": "(item)",
    "Minimize": "(item)",
    "NumOf": "(of)",
    "SpecOption": "(package_name, option_name)",
}
MEMBERS = [("Less", 0), ("LessOrEqual", 1), ("NotEqual", 2), ("Equal", 3), ("GreaterOrEqual", 4), ("Greater", 5)]


def test_module_lists_the_nine_names_in_order():
    assert constraint.__all__ == ["Cmp", "CmpType", "Depends", "IfThen", "Maximize", "Minimize",
                                  "NumOf", "SpecOption", "Value"]


@pytest.mark.parametrize("name", CLASSES + ["CmpType"])
class TestClassShape:
    def test_names(self, name):
        cls = getattr(constraint, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
        assert str(cls) == f"<class 'builtins.{name}'>"

    def test_cannot_be_subclassed(self, name):
        with pytest.raises(TypeError):
            type("Sub", (getattr(constraint, name),), {})

    def test_documentation(self, name):
        cls = getattr(constraint, name)
        if name in SIGNATURES:
            assert (cls.__doc__, cls.__text_signature__) == ("", SIGNATURES[name])
        else:
            assert cls.__doc__ is None


@pytest.mark.parametrize("name", CLASSES)
def test_constraint_classes_are_unhashable(name):
    assert getattr(constraint, name).__hash__ is None


@pytest.mark.parametrize("name", ["Value", "CmpType"])
def test_classes_without_constructor_cannot_be_instantiated(name):
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{name}' instances"):
        getattr(constraint, name)()


class TestCmpType:
    @pytest.mark.parametrize("name, value", MEMBERS)
    def test_member(self, name, value):
        member = getattr(CmpType, name)
        assert type(member) is CmpType
        assert int(member) == value
        assert repr(member) == str(member) == f"CmpType.{name}"

    def test_members_are_made_once(self):
        assert CmpType.Less is CmpType.Less
        assert CmpType.__dict__["Equal"] is CmpType.Equal

    def test_identity_equality_and_hash(self):
        assert CmpType.Less == CmpType.Less
        assert CmpType.Less != CmpType.Greater
        assert {CmpType.Less: 1}[CmpType.Less] == 1
        with pytest.raises(TypeError):
            CmpType.Less < CmpType.Greater

    def test_instances_have_no_dict_or_weakrefs(self):
        with pytest.raises(AttributeError):
            CmpType.Less.x = 1
        with pytest.raises(TypeError):
            weakref.ref(CmpType.Less)
