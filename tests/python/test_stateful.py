"""A random walk over the constraint classes: build, read, assign, compare and drop
objects, and after every step compare each live object with a pure-Python model of
its tree. Reading a property must hand out an independent copy, refusals must carry
the exact texts of what was built, and nothing may raise outside the stated
exceptions."""

import math
import os
import operator
from decimal import Decimal

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule  # noqa: E402

from kelto.package.constraint import (Cmp, CmpType, Depends, IfThen, Maximize, Minimize,  # noqa: E402
                                      NumOf, SpecOption, Value)
from kelto.package.version import Version  # noqa: E402

from classes import CONSTRAINT_CLASSES, covering, field_kinds, fields, sample  # noqa: E402
from conftest import constraint_text  # noqa: E402

# Texts whose plain form is the text itself, so the model can print them.
VERSIONS = ["1.2.3", "2.*", "1.0-rc.1+b2", "7", "1.>"]
OPS = {"<": "Less", "<=": "LessOrEqual", "!=": "NotEqual", "==": "Equal", ">=": "GreaterOrEqual", ">": "Greater"}
REFLECTED = {"<": ">", "<=": ">=", "!=": "!=", "==": "==", ">=": "<=", ">": "<"}
FUNCS = {"<": operator.lt, "<=": operator.le, "!=": operator.ne, "==": operator.eq, ">=": operator.ge,
         ">": operator.gt}
MAX_NODES = 60
MAX_OBJECTS = 10


# The model: ("Value", python value), ("Depends", name), ("SpecOption", package, option),
# ("Cmp", lhs, rhs, symbol), ("IfThen", cond, then), ("Maximize", item), ("Minimize", item),
# ("NumOf", [items]). A version value is held as its text in a one-element list.

def float_text(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "-inf" if x < 0 else "inf"
    return format(Decimal(repr(x)).normalize(), "f")


def value_text(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, list):
        return v[0]
    return str(v)


# The text form of each kind's model: every class must have one, so a new
# class stops the suite here until the model knows it.
TEXT = covering({
    Value: lambda m: value_text(m[1]),
    Depends: lambda m: f"Depends( {m[1]} )",
    SpecOption: lambda m: f"Package '{m[1]}' -> Option '{m[2]}'",
    Cmp: lambda m: f"[ {text(m[1])} ] {m[3]} [ {text(m[2])} ]",
    IfThen: lambda m: f"If( {text(m[1])} ) Then [ {text(m[2])} ]",
    Maximize: lambda m: f"Maximize( {text(m[1])} )",
    Minimize: lambda m: f"Minimize( {text(m[1])} )",
    NumOf: lambda m: "NumOf( " + ", ".join(text(x) for x in m[1]) + " )",
}, CONSTRAINT_CLASSES, "the model's text forms")
CLASS_NAMED = {cls.__name__: cls for cls in CONSTRAINT_CLASSES}
# The kinds whose reads, assignments and refusals the model spells out; any
# other is read and assigned through its fields (model_of).
HAND_MODELLED = {"Value", "Depends", "SpecOption", "Cmp", "IfThen", "Maximize", "Minimize", "NumOf"}


def text(m):
    return TEXT[CLASS_NAMED[m[0]]](m)


def nodes(m):
    kind = m[0]
    if kind == "Cmp" or kind == "IfThen":
        return 1 + nodes(m[1]) + nodes(m[2])
    if kind in ("Maximize", "Minimize"):
        return 1 + nodes(m[1])
    if kind == "NumOf":
        return 1 + sum(nodes(x) for x in m[1])
    return 1


# The value type of each kind's model (None: it compares with nothing). Every
# class must have one, as its text form.
VALUE_TYPE = covering({
    Cmp: lambda m: "Bool",
    Depends: lambda m: "Bool",
    IfThen: lambda m: None,
    Maximize: lambda m: None,
    Minimize: lambda m: None,
    NumOf: lambda m: "Int",
    SpecOption: lambda m: "Unknown",
    Value: lambda m: {bool: "Bool", int: "Int", float: "Float", str: "Str", list: "Version"}[type(m[1])],
}, CONSTRAINT_CLASSES, "the model's value types")


def value_type(m):
    return VALUE_TYPE[CLASS_NAMED[m[0]]](m)


def describe(t):
    return "None" if t is None else f"Some({t})"


def plain_model(v):
    """The model of a plain Python value converted to a constraint (None: refused)."""
    if isinstance(v, Version):
        return ("Value", [str(v)])
    if isinstance(v, int) and not isinstance(v, bool) and not -2 ** 63 <= v < 2 ** 63:
        return ("Value", float(v))
    return ("Value", v)


SYMBOL_OF = {name: symbol for symbol, name in OPS.items()}


def model_of(obj):
    """The model of any constraint object, read through its fields: a model is
    its class's name, then its fields in order (a constraint as its model, a
    list as theirs, an operator as its symbol, a text or value as itself)."""
    if type(obj) is Value:
        return ("Value", [str(obj.value)] if type(obj.value) is Version else obj.value)
    read = {"text": lambda v: v, "value": lambda v: v, "constraint": model_of,
            "list": lambda v: [model_of(x) for x in v], "operator": lambda v: SYMBOL_OF[repr(v).split(".")[1]]}
    kinds = field_kinds(type(obj))
    return (type(obj).__name__, *(read[kinds[field]](getattr(obj, field)) for field in fields(type(obj))))


def same_value(read, v):
    if isinstance(v, list):
        return type(read) is Version and str(read) == v[0]
    if isinstance(v, float):
        return type(read) is float and (repr(read) == repr(v) or math.isnan(read) and math.isnan(v))
    return type(read) is type(v) and read == v


PLAIN = st.one_of(
    st.booleans(),
    st.integers(min_value=-2 ** 70, max_value=2 ** 70),
    st.floats(),
    st.text(max_size=6),
    st.sampled_from(VERSIONS).map(Version),
)
NAMES = st.text(max_size=5)
REJECTED = st.sampled_from([None, object(), [1], {"a": 1}, CmpType.Less, 10 ** 400, "\ud800"])


class ConstraintMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.objects = []  # [obj, model] pairs

    def add(self, obj, model):
        if nodes(model) <= MAX_NODES:
            assert type(obj).__name__ == model[0]
            self.objects.append([obj, model])

    def pick(self, data):
        return self.objects[data.draw(st.integers(0, len(self.objects) - 1))]

    def remove(self, pair):
        # By identity: == on constraint objects builds comparisons.
        self.objects = [p for p in self.objects if p is not pair]

    def operand(self, data):
        """An object of the pool or a plain value, with its model."""
        if self.objects and data.draw(st.booleans()):
            obj, model = self.pick(data)
            return obj, model
        v = data.draw(PLAIN)
        return v, plain_model(v)

    # building

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(cls=st.sampled_from(CONSTRAINT_CLASSES), tag=NAMES)
    def any_class(self, cls, tag):
        # Every class, a new one too: its model is read through its fields.
        obj = sample(cls, tag)
        self.add(obj, model_of(obj))

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(name=NAMES)
    def depends(self, name):
        self.add(Depends(name), ("Depends", name))

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(package=NAMES, option=NAMES)
    def spec_option(self, package, option):
        self.add(SpecOption(package, option), ("SpecOption", package, option))

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data(), cls=st.sampled_from([Maximize, Minimize]))
    def goal(self, data, cls):
        obj, model = self.operand(data)
        self.add(cls(obj), (cls.__name__, model))

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data())
    def if_then(self, data):
        (a, ma), (b, mb) = self.operand(data), self.operand(data)
        self.add(IfThen(a, b), ("IfThen", ma, mb))

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data(), count=st.integers(0, 4), as_tuple=st.booleans())
    def num_of(self, data, count, as_tuple):
        items = [self.operand(data) for _ in range(count)]
        seq = tuple(x for x, _ in items) if as_tuple else [x for x, _ in items]
        self.add(NumOf(seq), ("NumOf", [m for _, m in items]))

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data(), symbol=st.sampled_from(sorted(OPS)))
    def cmp(self, data, symbol):
        (a, ma), (b, mb) = self.operand(data), self.operand(data)
        self.add(Cmp(a, b, getattr(CmpType, OPS[symbol])), ("Cmp", ma, mb, symbol))

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def cmp_if_then(self, data):
        cmps = [pair for pair in self.objects if pair[1][0] == "Cmp"]
        if cmps and len(self.objects) < MAX_OBJECTS:
            obj, model = cmps[data.draw(st.integers(0, len(cmps) - 1))]
            then, mt = self.operand(data)
            self.add(obj.if_then(then), ("IfThen", model, mt))

    # comparing

    @precondition(lambda self: self.objects and len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data(), symbol=st.sampled_from(sorted(OPS)), reflected=st.booleans())
    def compare(self, data, symbol, reflected):
        obj, model = self.pick(data)
        if reflected:
            # A plain value on the left: the interpreter asks the object with the
            # reflected operator, and the object becomes the left side.
            other = data.draw(PLAIN)
            mo, op = plain_model(other), REFLECTED[symbol]
            call = lambda: FUNCS[symbol](other, obj)  # noqa: E731
        else:
            other, mo = self.operand(data)
            op = symbol
            call = lambda: FUNCS[symbol](obj, other)  # noqa: E731
        left, right = value_type(model), value_type(mo)
        accepted = left is not None and left == right and (left != "Bool" or op in ("==", "!="))
        if accepted:
            result = call()
            assert type(result) is Cmp and int(result.op) == int(getattr(CmpType, OPS[op]))
            self.add(result, ("Cmp", model, mo, op))
        else:
            with pytest.raises(NotImplementedError) as exc:
                call()
            assert str(exc.value) == (
                f"Cannot compare type {describe(left)} from constraint {text(model)} with type "
                f"{describe(right)} from constraint {text(mo)} using operator '{op}'")

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), symbol=st.sampled_from(sorted(OPS)))
    def compare_unconvertible(self, data, symbol):
        obj, _ = self.pick(data)
        other = object()
        if symbol in ("==", "!="):
            assert FUNCS[symbol](obj, other) is (symbol == "!=")
        else:
            with pytest.raises(TypeError, match="not supported between instances"):
                FUNCS[symbol](obj, other)

    # reading: every read is a copy, and changing it leaves the owner alone

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def read(self, data):
        obj, model = self.pick(data)
        kind = model[0]
        before = text(model)
        if kind not in HAND_MODELLED:
            assert model_of(obj) == model
            return
        if kind == "Cmp":
            field = data.draw(st.sampled_from(["lhs", "rhs", "op"]))
            if field == "op":
                op = obj.op
                assert int(op) == int(getattr(CmpType, OPS[model[3]]))
                return
            read, sub = getattr(obj, field), model[1 if field == "lhs" else 2]
        elif kind == "IfThen":
            field = data.draw(st.sampled_from(["cond", "then"]))
            read, sub = getattr(obj, field), model[1 if field == "cond" else 2]
        elif kind in ("Maximize", "Minimize"):
            read, sub = obj.item, model[1]
        elif kind == "NumOf":
            items = obj.of
            assert type(items) is list and len(items) == len(model[1])
            for item, sub in zip(items, model[1]):
                assert constraint_text(item) == text(sub)
            items.clear()
            assert constraint_text(obj) == before
            return
        elif kind == "Value":
            first, second = obj.value, obj.value
            assert same_value(first, model[1]) and same_value(second, model[1])
            if isinstance(model[1], list):
                assert first is not second
            return
        elif kind == "Depends":
            assert obj.on == model[1]
            return
        else:
            assert (obj.package_name, obj.option_name) == model[1:]
            return
        assert constraint_text(read) == text(sub)
        self.add(read, sub)
        # Scribble on the copy: the owner keeps its tree.
        self.scribble(read, sub)
        assert constraint_text(obj) == before

    def scribble(self, obj, model):
        kind = model[0]
        if kind not in HAND_MODELLED:
            return
        if kind == "Value":
            obj.value = "scribbled"
        elif kind == "Depends":
            obj.on = "scribbled"
        elif kind == "SpecOption":
            obj.option_name = "scribbled"
        elif kind == "Cmp":
            obj.op = CmpType.Less
        elif kind == "IfThen":
            obj.then = "scribbled"
        elif kind == "NumOf":
            obj.of = []
        else:
            obj.item = "scribbled"
        # The pool keeps what the object now holds.
        for pair in self.objects:
            if pair[0] is obj:
                pair[1] = self.after_scribble(model)

    @staticmethod
    def after_scribble(model):
        kind = model[0]
        if kind == "Value":
            return ("Value", "scribbled")
        if kind == "Depends":
            return ("Depends", "scribbled")
        if kind == "SpecOption":
            return ("SpecOption", model[1], "scribbled")
        if kind == "Cmp":
            return ("Cmp", model[1], model[2], "<")
        if kind == "IfThen":
            return ("IfThen", model[1], ("Value", "scribbled"))
        if kind == "NumOf":
            return ("NumOf", [])
        return (kind, ("Value", "scribbled"))

    # assigning

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def assign(self, data):
        pair = self.pick(data)
        obj, model = pair
        kind = model[0]
        if kind not in HAND_MODELLED:
            # A field of a class the model reads through its fields.
            field = data.draw(st.sampled_from(fields(type(obj))))
            given = {"text": lambda: data.draw(NAMES), "value": lambda: data.draw(PLAIN),
                     "constraint": lambda: self.operand(data)[0], "operator": lambda: getattr(CmpType, OPS[data.draw(
                         st.sampled_from(sorted(OPS)))]),
                     "list": lambda: [self.operand(data)[0] for _ in range(data.draw(st.integers(0, 3)))]}
            setattr(obj, field, given[field_kinds(type(obj))[field]]())
            new = model_of(obj)
        elif kind == "Value":
            v = data.draw(PLAIN)
            obj.value = v
            new = plain_model(v)
        elif kind == "Depends":
            name = data.draw(NAMES)
            obj.on = name
            new = ("Depends", name)
        elif kind == "SpecOption":
            name = data.draw(NAMES)
            if data.draw(st.booleans()):
                obj.package_name = name
                new = ("SpecOption", name, model[2])
            else:
                obj.option_name = name
                new = ("SpecOption", model[1], name)
        elif kind == "NumOf":
            items = [self.operand(data) for _ in range(data.draw(st.integers(0, 3)))]
            obj.of = [x for x, _ in items]  # may hold obj itself: a copy of it as it was
            new = ("NumOf", [m for _, m in items])
        else:
            names = {"Cmp": ["lhs", "rhs", "op"], "IfThen": ["cond", "then"]}.get(kind, ["item"])
            field = data.draw(st.sampled_from(names))
            if field == "op":
                symbol = data.draw(st.sampled_from(sorted(OPS)))
                obj.op = getattr(CmpType, OPS[symbol])
                new = ("Cmp", model[1], model[2], symbol)
            else:
                value, mv = self.operand(data)
                setattr(obj, field, value)
                position = names.index(field) + 1
                new = model[:position] + (mv,) + model[position + 1:]
        if nodes(new) > MAX_NODES:
            self.remove(pair)
        else:
            pair[1] = new

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), bad=REJECTED)
    def assign_rejected(self, data, bad):
        obj, model = self.pick(data)
        kind = model[0]
        before = text(model)
        if kind not in HAND_MODELLED:
            return
        if kind == "Value":
            field, message = "value", f"cannot cast Python type '{type(bad)}' to SpecOptionValue"
        elif kind in ("Depends", "SpecOption"):
            if isinstance(bad, str):
                return
            field = {"Depends": "on", "SpecOption": "option_name"}[kind]
            message = f"'{type(bad).__name__}' object cannot be cast as 'str'"
        elif kind == "NumOf":
            field, bad = "of", [Depends("ok"), bad]
            message = f"cannot convert '{type(bad[1])}' to Constraint"
        else:
            field = {"Cmp": "rhs", "IfThen": "then"}.get(kind, "item")
            message = f"cannot convert '{type(bad)}' to Constraint"
        with pytest.raises(TypeError) as exc:
            setattr(obj, field, bad)
        assert str(exc.value) == f"argument '{field}': {message}"
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(obj, field)
        assert constraint_text(obj) == before

    # dropping

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def drop(self, data):
        self.remove(self.pick(data))

    @invariant()
    def every_object_matches_its_model(self):
        for obj, model in self.objects:
            assert constraint_text(obj) == text(model)


# tools/dev check walks much further (KELTO_STATEFUL_EXAMPLES).
ConstraintMachine.TestCase.settings = hypothesis.settings(
    max_examples=int(os.environ.get("KELTO_STATEFUL_EXAMPLES", "100")), stateful_step_count=30)
TestConstraintMachine = ConstraintMachine.TestCase
