"""Comparison operators on constraint objects: they build typed Cmp objects or refuse
with the full text of both sides; they never answer a question."""

import operator

import pytest

from kelto.package.constraint import (Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf,
                                      SpecOption, Value)
from kelto.package.version import Version

from classes import CONSTRAINT_MODULE_CLASSES

# (operator, symbol, CmpType value, the operator Python tries when it reflects it)
OPERATORS = [
    (operator.lt, "<", 0, operator.gt), (operator.le, "<=", 1, operator.ge),
    (operator.eq, "==", 3, operator.eq), (operator.ne, "!=", 2, operator.ne),
    (operator.gt, ">", 5, operator.lt), (operator.ge, ">=", 4, operator.le),
]
OPERATOR_IDS = [symbol for _, symbol, _, _ in OPERATORS]
CODE = {symbol: code for _, symbol, code, _ in OPERATORS}
SYMBOL = {fn: symbol for fn, symbol, _, _ in OPERATORS}


def value(x):
    return Maximize(x).item


# Left operands: factory and comparison type (None for the goals and IfThen).
LEFT = {
    "Cmp": (lambda: Cmp(Depends("a"), True, CmpType.Equal), "Bool"),
    "Depends": (lambda: Depends("a"), "Bool"),
    "IfThen": (lambda: IfThen(Depends("a"), 1), None),
    "Maximize": (lambda: Maximize(1), None),
    "Minimize": (lambda: Minimize(NumOf([])), None),
    "NumOf": (lambda: NumOf([Depends("a"), Depends("b")]), "Int"),
    "SpecOption": (lambda: SpecOption("p", "o"), "Unknown"),
    "Value(bool)": (lambda: value(False), "Bool"),
    "Value(int)": (lambda: value(3), "Int"),
    "Value(float)": (lambda: value(2.5), "Float"),
    "Value(str)": (lambda: value("s"), "Str"),
    "Value(Version)": (lambda: value(Version("1.0")), "Version"),
}
# Right operands: plain values and constraint objects.
RIGHT = {
    "True": (lambda: True, "Bool"),
    "int": (lambda: 7, "Int"),
    "float": (lambda: 0.5, "Float"),
    "str": (lambda: "t", "Str"),
    "Version": (lambda: Version("2"), "Version"),
    "Depends": (lambda: Depends("b"), "Bool"),
    "Cmp": (lambda: Cmp(1, 2, CmpType.Less), "Bool"),
    "NumOf": (lambda: NumOf([]), "Int"),
    "SpecOption": (lambda: SpecOption("q", "r"), "Unknown"),
    "IfThen": (lambda: IfThen(1, 2), None),
    "Minimize": (lambda: Minimize(1), None),
    "Value(int)": (lambda: value(-4), "Int"),
    "Value(str)": (lambda: value(""), "Str"),
}


PLAIN = {"True", "int", "float", "str", "Version"}


KELTO_CLASSES = set(CONSTRAINT_MODULE_CLASSES)


def type_name(obj):
    """The type's name as the interpreter writes it in its own messages (its tp_name)."""
    cls = type(obj)
    return f"builtins.{cls.__name__}" if cls in KELTO_CLASSES else cls.__name__


def describe(kind):
    return "None" if kind is None else f"Some({kind})"


def accepted(left, right, symbol):
    if left is None or left != right:
        return False
    return left != "Bool" or symbol in ("==", "!=")


class TestTypedComparison:
    @pytest.mark.parametrize("fn, symbol, code, _", OPERATORS, ids=OPERATOR_IDS)
    @pytest.mark.parametrize("right", RIGHT)
    @pytest.mark.parametrize("left", LEFT)
    def test_accept_or_refuse(self, constraint_text, left, right, fn, symbol, code, _):
        make_left, left_type = LEFT[left]
        make_right, right_type = RIGHT[right]
        lhs, rhs = make_left(), make_right()
        lhs_text, rhs_text = constraint_text(lhs), constraint_text(rhs)
        if accepted(left_type, right_type, symbol):
            c = fn(lhs, rhs)
            assert type(c) is Cmp
            assert int(c.op) == code
            assert type(c.lhs) is type(lhs)
            assert type(c.rhs) is (Value if right in PLAIN else type(rhs))
            assert constraint_text(c) == f"[ {lhs_text} ] {symbol} [ {rhs_text} ]"
        else:
            with pytest.raises(NotImplementedError) as exc:
                fn(lhs, rhs)
            assert str(exc.value) == (
                f"Cannot compare type {describe(left_type)} from constraint {lhs_text} with type "
                f"{describe(right_type)} from constraint {rhs_text} using operator '{symbol}'")
        # Either way both operands are left as they were.
        assert (constraint_text(lhs), constraint_text(rhs)) == (lhs_text, rhs_text)

    @pytest.mark.parametrize("fn, symbol, code, reflected", OPERATORS, ids=OPERATOR_IDS)
    @pytest.mark.parametrize("plain, make", [(2, lambda: NumOf([])), (2.0, lambda: value(1.0)),
                                             ("2", lambda: value("1"))])
    def test_reflected_operator_keeps_the_constraint_on_the_left(self, plain, make, fn, symbol, code, reflected):
        right = make()
        c = fn(plain, right)  # e.g. `2 <= n` is `n >= 2`
        assert type(c) is Cmp and type(c.lhs) is type(right) and type(c.rhs) is Value
        assert int(c.op) == CODE[SYMBOL[reflected]]
        assert (type(c.rhs.value), c.rhs.value) == (type(plain), plain)

    def test_reflected_refusal_names_the_reflected_operator(self):
        with pytest.raises(NotImplementedError) as exc:
            5 < Maximize(1)  # noqa: B015
        assert str(exc.value) == ("Cannot compare type None from constraint Maximize( 1 ) with type "
                                  "Some(Int) from constraint 5 using operator '>'")

    @pytest.mark.parametrize("make", [lambda: Depends("a"), lambda: Cmp(1, 2, CmpType.Less),
                                      lambda: NumOf([1]), lambda: SpecOption("p", "o"), lambda: value(1)])
    def test_object_compared_with_itself(self, constraint_text, make):
        obj = make()
        c = obj == obj
        assert type(c) is Cmp
        assert c.lhs is not c.rhs
        text = constraint_text(obj)
        assert constraint_text(c) == f"[ {text} ] == [ {text} ]"

    def test_value_type_follows_the_held_kind(self):
        v = Cmp(SpecOption("p", "a"), 5, CmpType.Equal).rhs
        assert int((v < 7).op) == 0
        for refused in (lambda: v == "x", lambda: v < 7.5, lambda: v == True):  # noqa: E712
            with pytest.raises(NotImplementedError):
                refused()
        v.value = "x"
        assert type(v == "y") is Cmp
        with pytest.raises(NotImplementedError, match=r"Some\(Str\) from constraint x with type Some\(Int\)"):
            v < 7  # noqa: B015



class TestMessages:
    @pytest.mark.parametrize("call, message", [
        (lambda: Depends("a") < True,
         "Cannot compare type Some(Bool) from constraint Depends( a ) with type Some(Bool) from constraint true "
         "using operator '<'"),
        (lambda: SpecOption("pkg", "opt") == 3,
         "Cannot compare type Some(Unknown) from constraint Package 'pkg' -> Option 'opt' with type Some(Int) "
         "from constraint 3 using operator '=='"),
        (lambda: Maximize(NumOf([Depends("a"), Depends("b")])) >= 1,
         "Cannot compare type None from constraint Maximize( NumOf( Depends( a ), Depends( b ) ) ) with type "
         "Some(Int) from constraint 1 using operator '>='"),
        (lambda: NumOf([Depends("a")]) < IfThen(1, "x"),
         "Cannot compare type Some(Int) from constraint NumOf( Depends( a ) ) with type None from constraint "
         "If( 1 ) Then [ x ] using operator '<'"),
        (lambda: Cmp(Cmp(Depends("a"), True, CmpType.Equal), False, CmpType.NotEqual) > 1,
         "Cannot compare type Some(Bool) from constraint [ [ Depends( a ) ] == [ true ] ] != [ false ] with "
         "type Some(Int) from constraint 1 using operator '>'"),
        (lambda: NumOf([]) != 2.0,
         "Cannot compare type Some(Int) from constraint NumOf(  ) with type Some(Float) from constraint 2 "
         "using operator '!='"),
        (lambda: value('a "b"') <= Version("1.2.3-rc1+b2"),
         "Cannot compare type Some(Str) from constraint a \"b\" with type Some(Version) from constraint "
         f"{Version('1.2.3-rc1+b2')} using operator '<='"),
    ])
    def test_exact_text(self, call, message):
        with pytest.raises(NotImplementedError) as exc:
            call()
        assert str(exc.value) == message

    @pytest.mark.parametrize("x, text", [
        (3.0, "3"), (1e20, "1" + "0" * 20), (0.1, "0.1"), (1e-7, "0.0000001"), (-0.0, "-0"), (2.5, "2.5"),
        (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"), (-42, "-42"),
        (-2 ** 63, "-9223372036854775808"), (False, "false"), ("a b", "a b"), ("", ""),
    ])
    def test_value_text(self, constraint_text, x, text):
        assert constraint_text(x) == text

    def test_deep_operands_are_written_out_completely(self):
        m = 1
        for _ in range(300):
            m = Maximize(m)
        n = NumOf([m, m])
        with pytest.raises(NotImplementedError) as exc:
            n < m  # noqa: B015
        inner = "Maximize( " * 300 + "1" + " )" * 300
        assert str(exc.value) == (f"Cannot compare type Some(Int) from constraint NumOf( {inner}, {inner} ) "
                                  f"with type None from constraint {inner} using operator '<'")


UNCONVERTIBLE = [object(), None, [1], (), {}, b"x", CmpType.Less, 10 ** 400, "\ud800", Cmp]


class TestProtocol:
    @pytest.mark.parametrize("other", UNCONVERTIBLE, ids=repr)
    @pytest.mark.parametrize("left", LEFT)
    def test_unconvertible_operand_is_not_implemented(self, left, other):
        obj = LEFT[left][0]()
        assert (obj == other, obj != other, other == obj) == (False, True, False)
        with pytest.raises(TypeError) as exc:
            obj < other  # noqa: B015
        assert str(exc.value) == f"'<' not supported between instances of '{type_name(obj)}' and '{type_name(other)}'"
        with pytest.raises(TypeError):
            other >= obj  # noqa: B015

    @pytest.mark.parametrize("left", LEFT)
    def test_unhashable_and_truthy(self, left):
        obj = LEFT[left][0]()
        with pytest.raises(TypeError, match=f"^unhashable type: '{type_name(obj)}'$"):
            hash(obj)
        assert bool(obj) is True

    def test_a_false_looking_comparison_is_truthy(self):
        assert bool(Depends("a") == False) is True  # noqa: E712
        assert (Depends("a") == False) is not False  # noqa: E712
