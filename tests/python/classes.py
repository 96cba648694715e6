"""kelto's classes as the module lists them, for the tests that go over every
class: a new class shows up here without anyone keeping a second list."""

import kelto.package.constraint as _constraint
from kelto.package.constraint import CmpType
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

# kelto.package.constraint's classes, in the order the module adds them.
CONSTRAINT_MODULE_CLASSES = tuple(getattr(_constraint, name) for name in _constraint.__all__)
# One class per kind of constraint: all of those but the operator type.
CONSTRAINT_CLASSES = tuple(cls for cls in CONSTRAINT_MODULE_CLASSES if cls is not CmpType)
# Every class of the module.
ALL_CLASSES = CONSTRAINT_MODULE_CLASSES + (PackageOutline, Version)


def fields(cls):
    """The names of `cls`'s properties, in the order the class declares them."""
    return tuple(name for name, attr in vars(cls).items() if type(attr).__name__ == "getset_descriptor")
