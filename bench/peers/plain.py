"""What a user would write instead of the extension: the same classes in plain
Python with __slots__, and the same copy-in/copy-out rules.

- Every value that enters an object is converted into a fresh tree: constraint
  objects are deep-copied, plain values (bool, int, float, str, Version)
  become Value nodes.
- Every constraint-valued property returns a fresh deep copy.
- Comparison operators build a Cmp after the same type check (both sides of
  one value type; booleans only under == and !=), or raise.
- Deep copies are iterative, so chains of any depth copy without recursion.

Objects are built in two ways: through the public constructors (which copy,
as the extension's do) and through `_adopt` class methods that take already
owned children without copying (what the extension does internally when it
turns a copied tree back into an object).
"""

from __future__ import annotations

import enum
import re

__all__ = [
    "Cmp", "CmpType", "Depends", "IfThen", "Maximize", "Minimize", "NumOf",
    "PackageOutline", "SpecOption", "Value", "Version", "clone",
    "constraint_from_py", "constraints_from_sequence", "option_value_from_py",
]

_U64_MAX = 2**64 - 1
_I64_MIN, _I64_MAX = -(2**63), 2**63 - 1


# ---------------------------------------------------------------- versions

class Wildcard(enum.Enum):
    Single = "*"
    Rest = ">"


_SEPARATORS = re.compile(r"([.+-])")


class Version:
    """A version split on '.', '-' and '+' into Int, Str and Wildcard parts
    with the separators kept between them, refused with ValueError carrying
    the same error names as the extension."""

    __slots__ = ("_parts",)

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError("argument 'version': expected str")
        pieces = _SEPARATORS.split(text)
        parts: list = []
        rest_seen = False
        last = len(pieces) - 1
        for index in range(0, last, 2):
            part, rest_seen = _segment(pieces[index], rest_seen)
            parts.append(part)
            parts.append(pieces[index + 1])
        if pieces[last] == "":
            raise ValueError("TrailingSeparator")
        part, rest_seen = _segment(pieces[last], rest_seen)
        parts.append(part)
        self._parts = parts

    @classmethod
    def _adopt(cls, parts: list) -> Version:
        self = cls.__new__(cls)
        self._parts = parts
        return self

    def copy(self) -> Version:
        # Parts are ints, strs and enum members: immutable, so a list copy is deep.
        return Version._adopt(self._parts.copy())

    def __str__(self) -> str:
        return "".join(p.value if isinstance(p, Wildcard) else str(p) for p in self._parts)

    def __repr__(self) -> str:
        return f"Version({str(self)!r})"


def _segment(segment: str, rest_seen: bool):
    if rest_seen:
        raise ValueError("PartAfterRest")
    if not segment:
        raise ValueError("EmptyPart")
    if segment == "*":
        return Wildcard.Single, rest_seen
    if segment == ">":
        return Wildcard.Rest, True
    if segment.isascii():
        if segment.isdigit():
            value = int(segment)
            if value <= _U64_MAX:
                return value, rest_seen
            return segment, rest_seen
        if segment.isalnum():
            return segment, rest_seen
    quoted = segment.replace("\\", "\\\\").replace('"', '\\"')
    raise ValueError(f'InvalidPart("{quoted}")')


# ------------------------------------------------------------ option values

def option_value_from_py(obj) -> tuple:
    """The typed option value (kind, payload), copied; TypeError otherwise."""
    if obj is True or obj is False:
        return ("Bool", obj)
    if isinstance(obj, int) and not isinstance(obj, bool):
        if _I64_MIN <= obj <= _I64_MAX:
            return ("Int", int(obj))
        return ("Float", float(obj))
    if isinstance(obj, float):
        return ("Float", float(obj))
    if isinstance(obj, str):
        return ("Str", str(obj))
    if isinstance(obj, Version):
        return ("Version", obj.copy())
    raise TypeError(f"cannot cast Python type '{type(obj)}' to SpecOptionValue")


def _option_value_copy(value: tuple) -> tuple:
    kind, payload = value
    return (kind, payload.copy()) if kind == "Version" else value


# ------------------------------------------------------------- constraints

class CmpType(enum.IntEnum):
    Less = 0
    LessOrEqual = 1
    NotEqual = 2
    Equal = 3
    GreaterOrEqual = 4
    Greater = 5


_SYMBOLS = ("<", "<=", "!=", "==", ">=", ">")


class _Constraint:
    __slots__ = ()
    __hash__ = None  # unhashable, like the extension's classes

    # The operator protocol: the object is always the left side.
    def __lt__(self, rhs):
        return _compare(self, rhs, CmpType.Less)

    def __le__(self, rhs):
        return _compare(self, rhs, CmpType.LessOrEqual)

    def __eq__(self, rhs):
        return _compare(self, rhs, CmpType.Equal)

    def __ne__(self, rhs):
        return _compare(self, rhs, CmpType.NotEqual)

    def __ge__(self, rhs):
        return _compare(self, rhs, CmpType.GreaterOrEqual)

    def __gt__(self, rhs):
        return _compare(self, rhs, CmpType.Greater)


class Cmp(_Constraint):
    __slots__ = ("_lhs", "_rhs", "_op")

    def __init__(self, lhs, rhs, op: CmpType) -> None:
        lhs = constraint_from_py(lhs)
        rhs = constraint_from_py(rhs)
        if not isinstance(op, CmpType):
            raise TypeError("argument 'op': 'object' cannot be cast as 'CmpType'")
        self._lhs, self._rhs, self._op = lhs, rhs, op

    @classmethod
    def _adopt(cls, lhs, rhs, op) -> Cmp:
        self = cls.__new__(cls)
        self._lhs, self._rhs, self._op = lhs, rhs, op
        return self

    @property
    def lhs(self):
        return clone(self._lhs)

    @lhs.setter
    def lhs(self, value):
        self._lhs = constraint_from_py(value)

    @property
    def rhs(self):
        return clone(self._rhs)

    @rhs.setter
    def rhs(self, value):
        self._rhs = constraint_from_py(value)

    @property
    def op(self) -> CmpType:
        return self._op

    def if_then(self, then) -> IfThen:
        return IfThen._adopt(clone(self), constraint_from_py(then))


class Depends(_Constraint):
    __slots__ = ("_on",)

    def __init__(self, name: str) -> None:
        if not isinstance(name, str):
            raise TypeError(f"argument 'name': '{type(name).__name__}' object cannot be cast as 'str'")
        self._on = name  # str is immutable: sharing it is copying it

    @classmethod
    def _adopt(cls, on: str) -> Depends:
        self = cls.__new__(cls)
        self._on = on
        return self

    @property
    def on(self) -> str:
        return self._on


class IfThen(_Constraint):
    __slots__ = ("_cond", "_then")

    def __init__(self, cond, then) -> None:
        self._cond = constraint_from_py(cond)
        self._then = constraint_from_py(then)

    @classmethod
    def _adopt(cls, cond, then) -> IfThen:
        self = cls.__new__(cls)
        self._cond, self._then = cond, then
        return self

    @property
    def cond(self):
        return clone(self._cond)

    @property
    def then(self):
        return clone(self._then)


class Maximize(_Constraint):
    __slots__ = ("_item",)

    def __init__(self, item) -> None:
        self._item = constraint_from_py(item)

    @classmethod
    def _adopt(cls, item) -> Maximize:
        self = cls.__new__(cls)
        self._item = item
        return self

    @property
    def item(self):
        return clone(self._item)

    @item.setter
    def item(self, value):
        self._item = constraint_from_py(value)


class Minimize(Maximize):
    __slots__ = ()


class NumOf(_Constraint):
    __slots__ = ("_of",)

    def __init__(self, of) -> None:
        self._of = constraints_from_sequence(of)

    @classmethod
    def _adopt(cls, of: list) -> NumOf:
        self = cls.__new__(cls)
        self._of = of
        return self

    @property
    def of(self) -> list:
        return [clone(c) for c in self._of]

    @of.setter
    def of(self, value):
        self._of = constraints_from_sequence(value)


class SpecOption(_Constraint):
    __slots__ = ("_package_name", "_option_name")

    def __init__(self, package_name: str, option_name: str) -> None:
        if not isinstance(package_name, str) or not isinstance(option_name, str):
            raise TypeError("SpecOption names must be str")
        self._package_name, self._option_name = package_name, option_name

    @classmethod
    def _adopt(cls, package_name: str, option_name: str) -> SpecOption:
        self = cls.__new__(cls)
        self._package_name, self._option_name = package_name, option_name
        return self


class Value(_Constraint):
    __slots__ = ("_value",)

    def __init__(self, *args, **kwargs) -> None:
        raise TypeError("cannot create 'Value' instances")

    @classmethod
    def _adopt(cls, value: tuple) -> Value:
        self = cls.__new__(cls)
        self._value = value
        return self

    @property
    def value(self):
        kind, payload = self._value
        return payload.copy() if kind == "Version" else payload


# ---------------------------------------------------------------- copying

_LEAVES = (Depends, SpecOption, Value)


def _shell(node):
    """A copy of a leaf, or an empty object of a branch's class (its
    children are filled in by clone)."""
    cls = type(node)
    if cls is Depends:
        return Depends._adopt(node._on)
    if cls is Value:
        return Value._adopt(_option_value_copy(node._value))
    if cls is SpecOption:
        return SpecOption._adopt(node._package_name, node._option_name)
    return cls.__new__(cls)


def clone(node):
    """A deep copy; iterative, so that no chain is too deep for it."""
    root = _shell(node)
    if isinstance(node, _LEAVES):
        return root
    pending = [(node, root)]
    pop, push = pending.pop, pending.append
    while pending:
        source, copy = pop()
        cls = type(source)
        if cls is Maximize or cls is Minimize:
            child = source._item
            copy._item = new = _shell(child)
            if type(child) not in _LEAVES:
                push((child, new))
        elif cls is NumOf:
            copy._of = news = [_shell(c) for c in source._of]
            for child, new in zip(source._of, news):
                if type(child) not in _LEAVES:
                    push((child, new))
        elif cls is Cmp:
            copy._op = source._op
            copy._lhs = lhs = _shell(source._lhs)
            copy._rhs = rhs = _shell(source._rhs)
            push((source._lhs, lhs))
            push((source._rhs, rhs))
        elif cls is IfThen:
            copy._cond = cond = _shell(source._cond)
            copy._then = then = _shell(source._then)
            push((source._cond, cond))
            push((source._then, then))
        # Leaves were copied whole by _shell.
    return root


# ------------------------------------------------------------- conversion

# The exported classes but the operator type, the outline and the version: one per kind.
_CONSTRAINT_CLASSES = frozenset(globals()[name] for name in __all__
                                if name[0].isupper() and name not in ("CmpType", "PackageOutline", "Version"))


def constraint_from_py(obj):
    """A fresh constraint tree from a constraint object or a plain value."""
    if type(obj) in _CONSTRAINT_CLASSES or isinstance(obj, _Constraint):
        return clone(obj)
    try:
        return Value._adopt(option_value_from_py(obj))
    except TypeError:
        raise TypeError(f"cannot convert '{type(obj)}' to Constraint") from None


def constraints_from_sequence(obj) -> list:
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise TypeError(f"'{type(obj).__name__}' object cannot be cast as 'Sequence'")
    return [constraint_from_py(item) for item in obj]


# ------------------------------------------------------- comparison types

def _value_type(node):
    cls = type(node)
    if cls is Cmp or cls is Depends:
        return "Bool"
    if cls is NumOf:
        return "Int"
    if cls is SpecOption:
        return "Unknown"
    if cls is Value:
        return node._value[0]
    return None


def _compare(self, rhs, op: CmpType):
    try:
        right = constraint_from_py(rhs)
    except TypeError:
        return NotImplemented
    left_type, right_type = _value_type(self), _value_type(right)
    if (left_type is None or right_type != left_type
            or (left_type == "Bool" and op not in (CmpType.Equal, CmpType.NotEqual))):
        raise NotImplementedError(
            f"Cannot compare type {_describe(left_type)} with type {_describe(right_type)} "
            f"using operator '{_SYMBOLS[op]}'")
    return Cmp._adopt(clone(self), right, op)


def _describe(value_type) -> str:
    return "None" if value_type is None else f"Some({value_type})"


# --------------------------------------------------------------- outlines

class PackageOutline:
    __slots__ = ("_name", "_constraints", "_set_options", "_set_defaults")

    def __init__(self, name, constraints=None, set_options=None, set_defaults=None, **kwargs) -> None:
        if not isinstance(name, str):
            raise TypeError("argument 'name': expected str")
        converted = [] if constraints is None else constraints_from_sequence(constraints)
        options = {} if set_options is None else _option_map(set_options, "set_options", False)
        defaults = {} if set_defaults is None else _option_map(set_defaults, "set_defaults", True)
        if kwargs:
            raise ValueError(f"PyPackageOutline unexpected keyword argument '{next(iter(kwargs))}'")
        self._name = name
        self._constraints = converted
        self._set_options = options
        self._set_defaults = defaults


def _option_map(values, argument: str, none_allowed: bool) -> dict:
    if not isinstance(values, dict):
        raise TypeError(f"argument '{argument}': cannot be cast as 'dict'")
    result = {}
    for key, value in values.items():
        if not isinstance(key, str):
            raise TypeError(f"argument '{argument}': key cannot be cast as 'str'")
        result[key] = None if (none_allowed and value is None) else option_value_from_py(value)
    return result
