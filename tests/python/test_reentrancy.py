"""Hostile input to the constraint classes: Python code that runs in the middle of a
conversion and touches the object being built, and the reference-leak check over all
of it (lying sequences have their home in test_hostile.py, IfThen on a foreign thread
in test_threads.py, very deep and very long trees in test_scale.py). Each case ends
in a stated exception or in success, never in a crash."""


import pytest

from kelto.package.constraint import (Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf,
                                      SpecOption)
from sequences import Lying


class Hook:
    """An integer-like object whose `__index__` first runs `action`."""

    def __init__(self, action, result=7):
        self.action, self.result, self.seen = action, result, []

    def __index__(self):
        try:
            self.seen.append(self.action())
        except BaseException as e:
            self.seen.append(e)
            raise
        return self.result


class TestCallbacksDuringConversion:
    def test_reading_the_target_inside_its_own_assignment(self, constraint_text):
        n = NumOf([Depends("a")])
        hook = Hook(lambda: constraint_text(n))
        n.of = [hook]
        assert hook.seen == ["NumOf( Depends( a ) )"]
        assert constraint_text(n) == "NumOf( 7 )"

    @pytest.mark.parametrize("make, prop, inner, text", [
        (lambda: NumOf([1]), "of", ("of", [Depends("inner")]), "NumOf( 7 )"),
        (lambda: Cmp(1, 2, CmpType.Less), "lhs", ("lhs", "inner"), "[ 7 ] < [ 2 ]"),
        (lambda: Cmp(1, 2, CmpType.Less), "lhs", ("rhs", "inner"), "[ 7 ] < [ inner ]"),
        (lambda: Cmp(1, 2, CmpType.Less), "rhs", ("op", CmpType.Greater), "[ 1 ] > [ 7 ]"),
        (lambda: IfThen(1, 2), "then", ("cond", "inner"), "If( inner ) Then [ 7 ]"),
        (lambda: Maximize(1), "item", ("item", "inner"), "Maximize( 7 )"),
        (lambda: Maximize(1).item, "value", ("value", "inner"), "7"),
    ])
    def test_assigning_the_target_inside_its_own_assignment(self, constraint_text, make, prop, inner, text):
        # The value is converted before the exclusive borrow is taken, so the inner
        # assignment succeeds and the outer one lands last.
        obj = make()
        hook = Hook(lambda: setattr(obj, *inner))
        setattr(obj, prop, [hook] if prop == "of" else hook)
        assert hook.seen == [None]
        assert constraint_text(obj) == text

    def test_constructor_copies_earlier_arguments_before_converting_later_ones(self, constraint_text):
        n = NumOf([1])
        c = Cmp(n, Hook(lambda: setattr(n, "of", [])), CmpType.Equal)
        assert constraint_text(c) == "[ NumOf( 1 ) ] == [ 7 ]"
        assert constraint_text(n) == "NumOf(  )"

    def test_comparison_operand_may_read_the_left_side(self, constraint_text):
        n = NumOf([Depends("a")])
        hook = Hook(lambda: constraint_text(n.of[0]))
        c = n < hook
        assert hook.seen == ["Depends( a )"]
        assert constraint_text(c) == "[ NumOf( Depends( a ) ) ] < [ 7 ]"

    @pytest.mark.parametrize("make, prop, new", [
        (lambda: NumOf([1]), "of", []),
        (lambda: Maximize(1).item, "value", 2),
        (lambda: SpecOption("p", "o"), "option_name", "x"),
    ])
    def test_comparison_operand_cannot_change_the_left_side(self, constraint_text, make, prop, new):
        # The left side is borrowed shared while the operand converts: the assignment
        # fails inside __index__, the operand does not convert, and Python gets
        # NotImplemented from the handler.
        obj = make()
        before = constraint_text(obj)
        hook = Hook(lambda: setattr(obj, prop, new))
        assert (obj == hook) is False
        with pytest.raises(TypeError, match="not supported between"):
            obj < hook  # noqa: B015
        assert {type(e) for e in hook.seen} == {RuntimeError}
        assert {str(e) for e in hook.seen} == {"Already borrowed"}
        assert constraint_text(obj) == before

    def test_if_then_argument_cannot_change_the_receiver(self, constraint_text):
        c = Cmp(1, 2, CmpType.Less)
        hook = Hook(lambda: setattr(c, "op", CmpType.Equal))
        with pytest.raises(TypeError) as exc:
            c.if_then(hook)
        assert str(exc.value) == f"argument 'then': cannot convert '{Hook}' to Constraint"
        assert str(hook.seen[0]) == "Already borrowed"
        assert constraint_text(c.if_then(Hook(lambda: constraint_text(c)))) == "If( [ 1 ] < [ 2 ] ) Then [ 7 ]"

    @pytest.mark.parametrize("error", [ValueError("no"), TypeError("no"), LookupError(), OverflowError()])
    def test_index_raising_is_discarded(self, error):
        def fail():
            raise error

        v = Maximize(1).item
        with pytest.raises(TypeError) as exc:
            v.value = Hook(fail)
        assert str(exc.value) == f"argument 'value': cannot cast Python type '{Hook}' to SpecOptionValue"
        assert exc.value.__cause__ is None and v.value == 1
        with pytest.raises(TypeError, match=f"^argument 'item': cannot convert '{Hook}' to Constraint$"):
            Maximize(Hook(fail))

    @pytest.mark.parametrize("result, expected", [(2 ** 63, 2.0 ** 63), (-2 ** 70, -2.0 ** 70), (-1, -1)])
    def test_index_result_outside_the_integer_range_falls_to_float(self, result, expected):
        read = Maximize(Hook(lambda: None, result)).item.value
        assert (type(read), read) == (type(expected), expected)


def refused(exc_type, fn):
    """A callable that runs fn and insists that it raises exactly exc_type."""
    def call():
        try:
            fn()
        except exc_type as e:
            assert type(e) is exc_type
        else:
            raise AssertionError("no exception")
    return call


def assign(obj, prop, new):
    return lambda: setattr(obj, prop, new)


_cmp = Cmp(NumOf([Depends("a"), 1.5, "s"]), IfThen(1, Maximize(2)), CmpType.Less)
_it, _num, _val = IfThen(Depends("a"), Minimize("x")), NumOf([Depends("a"), 2]), Maximize(1).item
_opt = SpecOption("p", "o")


@pytest.mark.leaks
@pytest.mark.parametrize("fn", [
    # constructors and property reads, with a copy of every kind
    lambda: (Cmp(Depends("a"), 5, CmpType.Less), Cmp(lhs=_cmp, rhs=_it, op=CmpType.Equal), Depends("n"),
             IfThen(_cmp, _num), Maximize(_it), Minimize("text"), SpecOption(package_name="p", option_name="o")),
    lambda: NumOf([_cmp, _it, _num, _val, _opt, True, 1, 1.5, "s", 2 ** 63]),
    lambda: (_cmp.if_then(_it), _cmp.lhs, _cmp.rhs, _cmp.op, _it.cond, _it.then, _num.of, _opt.package_name),
    lambda: [Maximize(x).item.value for x in (True, 1, 2 ** 63, 0.5, "s")],
    # property writes
    assign(_cmp, "lhs", _num), assign(_cmp, "rhs", "x"), assign(_cmp, "op", CmpType.Greater),
    assign(_it, "cond", _cmp), assign(_it, "then", _it), assign(_num, "of", (_cmp, _it, 3)),
    assign(_val, "value", "s"), assign(_val, "value", 2 ** 63), assign(_opt, "option_name", "q"),
    # comparisons: accepted, refused, NotImplemented
    lambda: (_num >= 2, 2 <= _num, _opt == _opt, Depends("a") != False),  # noqa: E712
    lambda: (_num == object(), _cmp != None),  # noqa: E711
    refused(NotImplementedError, lambda: _cmp < 1), refused(NotImplementedError, lambda: _it == _it),
    refused(TypeError, lambda: _num < object()),
    # failure paths of construction and assignment
    refused(TypeError, lambda: Cmp(1, 2)), refused(TypeError, lambda: Cmp(_cmp, _it, 3)),
    refused(TypeError, lambda: Cmp(_cmp, None, CmpType.Less)), refused(TypeError, lambda: NumOf([_it, object()])),
    refused(TypeError, lambda: NumOf("ab")), refused(TypeError, lambda: NumOf({1})),
    refused(TypeError, lambda: Maximize(10 ** 400)), refused(UnicodeEncodeError, lambda: Depends("\ud800")),
    refused(TypeError, lambda: SpecOption("p", 1)), refused(TypeError, assign(_val, "value", [1])),
    refused(TypeError, assign(_num, "of", [1, None])), refused(AttributeError, lambda: delattr(_cmp, "lhs")),
    refused(KeyError, lambda: NumOf(Lying([Depends("0"), Depends("1")], 3, KeyError("x")))),
    # callbacks during conversion
    lambda: NumOf(Lying([1, 2], 2 ** 62)),
    lambda: setattr(_num, "of", [Hook(lambda: _num.of)]),
    lambda: _num == Hook(lambda: setattr(_num, "of", [])),
    refused(TypeError, lambda: Maximize(Hook(lambda: 1 / 0))),
])
def test_no_leak(assert_no_leak, fn):
    assert_no_leak(fn, repeat=200)
