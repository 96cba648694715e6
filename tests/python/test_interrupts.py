"""A conversion tries several readings of a value and drops the errors of the
ones that fail; an interrupt raised by user code in one of them is not such an
error: it ends the call."""

import pytest

from kelto.package.constraint import Cmp, CmpType, Depends, NumOf, SpecOption
from kelto.package.outline import PackageOutline


class Interrupting:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __index__(self):
        raise self.exc_type("stop")


def value_object():
    return Cmp(SpecOption("p", "o"), 1, CmpType.Equal).rhs


CALLS = {
    "value setter": lambda v: setattr(value_object(), "value", v),
    "constructor": lambda v: Cmp(v, 1, CmpType.Equal),
    "sequence item": lambda v: NumOf([Depends("a"), v]),
    "comparison operand": lambda v: NumOf([]) < v,
    "option map value": lambda v: PackageOutline("p", set_options={"x": v}),
}


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_interrupts_are_not_swallowed(call, exc_type):
    with pytest.raises(exc_type, match="stop"):
        call(Interrupting(exc_type))


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_ordinary_errors_still_fall_through_to_the_refusal(call):
    # MemoryError is an Exception: the reading that raised it just fails.
    with pytest.raises(TypeError):
        call(Interrupting(MemoryError))
