"""kelto's classes as the module lists them, for the tests that go over every
class: a new class shows up here without anyone keeping a second list."""

import inspect

import kelto.package.constraint as _constraint
from kelto.package.constraint import CmpType, Depends, NumOf
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


def constructor_params(cls):
    """The names of the parameters `cls(...)` takes, in order (not a
    **kwargs); None for a class Python cannot instantiate."""
    if cls.__flags__ & (1 << 7):  # Py_TPFLAGS_DISALLOW_INSTANTIATION
        return None
    return tuple(name for name, param in inspect.signature(cls).parameters.items()
                 if param.kind is not inspect.Parameter.VAR_KEYWORD)


def converted(value):
    """The constraint object a plain value becomes where a constraint is expected."""
    return NumOf([value]).of[0]


# What each Python type of field is given as, tried in this order: a name
# refuses a constraint, an operator anything else, and a constraint a list.
_CANDIDATES = (
    lambda tag: CmpType.Equal,
    lambda tag: [Depends(f"{tag}-item")],
    lambda tag: Depends(tag),
    lambda tag: tag,
)


def sample(cls, tag="x"):
    """An instance of the constraint class `cls` built from its constructor,
    each field given something of its own type that tells it from the other
    fields (its name and `tag`); a class with no constructor is made by
    conversion (a plain float becomes a Value, which reads back as no other
    field type does)."""
    params = constructor_params(cls)
    if params is None:
        made = converted(len(tag) + 0.5)
        assert type(made) is cls, f"no way to make a {cls.__name__}"
        return made
    choice = _choices.setdefault(cls, dict.fromkeys(params, 0))
    while True:
        args = {name: _CANDIDATES[choice[name]](f"{tag}-{name}") for name in params}
        try:
            return cls(**args)
        except TypeError as refused:
            name = str(refused).partition("argument '")[2].partition("'")[0]
            if name not in choice or choice[name] + 1 == len(_CANDIDATES):
                raise
            choice[name] += 1


_choices = {}  # the candidate each class's parameters took, found once


def field_kind(value):
    """The Python type a field holds, from what it reads back: "text",
    "operator", "list", "constraint" or "value"."""
    if type(value) is str:
        return "text"
    if type(value) is CmpType:
        return "operator"
    if type(value) is list:
        return "list"
    if type(value) in CONSTRAINT_CLASSES:
        return "constraint"
    return "value"


def field_kinds(cls):
    """{field: its Python type} of the constraint class `cls`, in field order."""
    obj = sample(cls)
    return {name: field_kind(getattr(obj, name)) for name in fields(cls)}


def covering(table, classes, what):
    """`table` (keyed by class), checked to hold every class of `classes` and
    nothing else: a class the table does not know fails the test using it."""
    missing = [cls.__name__ for cls in classes if cls not in table]
    extra = [getattr(cls, "__name__", cls) for cls in table if cls not in classes]
    assert not missing and not extra, f"{what}: missing {missing}, unknown {extra}"
    return table
