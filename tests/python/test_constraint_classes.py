"""The class objects of kelto.package.constraint and the CmpType members, as they
behave; their names, documentation, signatures, members and flags are in the
checked-in surface (tests/python/surface.json)."""

import weakref

import pytest

import kelto.package.constraint as constraint
from kelto.package.constraint import CmpType

from classes import CONSTRAINT_CLASSES, constructor_params, fields, sample


@pytest.mark.parametrize("name", ["Value", "CmpType"])
def test_classes_without_constructor_cannot_be_instantiated(name):
    with pytest.raises(TypeError, match=f"^cannot create 'builtins.{name}' instances$"):
        getattr(constraint, name)(1)


class TestCmpType:
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


@pytest.mark.parametrize("cls", [cls for cls in CONSTRAINT_CLASSES if constructor_params(cls) is not None],
                         ids=lambda cls: cls.__name__)
def test_a_constructor_takes_the_fields_in_the_order_the_class_reads_them(cls, constraint_text):
    made = sample(cls)
    assert len(constructor_params(cls)) == len(fields(cls))
    again = cls(*(getattr(made, field) for field in fields(cls)))
    assert constraint_text(again) == constraint_text(made)
