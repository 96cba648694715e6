"""Python objects that fight the conversions, the one home of conversion hooks
(__index__, __float__ and the like) that raise or re-enter: type texts that fail
or lie, number hooks that raise, re-enter or touch the object being built,
interrupts and resource errors raised by hooks (they end the call), sequences
whose protocol methods misbehave, and comparison hooks that mutate the objects
being compared. A hook that changes an option map has its home in
test_outline.py, IfThen on a foreign thread in test_threads.py, very deep and
very long trees in test_scale.py. Each case ends in a stated exception or in
success, never in a crash; the leak hunter repeats all of them, and
test_no_leak checks the references of the common paths."""

import gc

import pytest

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from kelto.package.outline import PackageOutline
from sequences import Lying, Number, raise_


def hostile_type(str_result):
    """A class whose metaclass __str__ returns `str_result()` (or raises from it)."""

    class Meta(type):
        def __str__(cls):
            return str_result()

    return Meta("Hostile", (), {})


def converting_calls(obj):
    value = Maximize(1).item
    return {
        "constraint argument": lambda: Maximize(obj),
        "sequence element": lambda: NumOf([Depends("a"), obj]),
        "option value": lambda: setattr(value, "value", obj),
        "outline option": lambda: PackageOutline("p", set_options={"k": obj}),
    }


PARAMS = {
    "constraint argument": ("item", "cannot convert '{}' to Constraint"),
    "sequence element": ("of", "cannot convert '{}' to Constraint"),
    "option value": ("value", "cannot cast Python type '{}' to SpecOptionValue"),
    "outline option": ("set_options", "cannot cast Python type '{}' to SpecOptionValue"),
}


class TestTypeTextInRefusals:
    @pytest.mark.parametrize("call", sorted(PARAMS))
    @pytest.mark.parametrize("type_text", ["<odd>", "", "ü" * 3, "x" * 100_000, "'quoted' \\ text"])
    def test_message_carries_whatever_str_gives(self, call, type_text):
        obj = hostile_type(lambda: type_text)()
        name, template = PARAMS[call]
        with pytest.raises(TypeError) as exc:
            converting_calls(obj)[call]()
        assert str(exc.value) == f"argument '{name}': " + template.format(type_text)

    @pytest.mark.parametrize("call", sorted(PARAMS))
    @pytest.mark.parametrize("failure", [
        raise_(ValueError("no text")), raise_(MemoryError()), raise_(KeyboardInterrupt()),
        lambda: 5, lambda: None, lambda: "\ud800",
    ], ids=["ValueError", "MemoryError", "KeyboardInterrupt", "int", "None", "lone surrogate"])
    def test_failing_type_text_ends_in_an_exception(self, call, failure):
        # Nothing fixes the message when the type has no text; the call must still
        # end in an ordinary exception and leave the receiver as it was.
        obj = hostile_type(failure)()
        with pytest.raises(BaseException) as exc:
            converting_calls(obj)[call]()
        assert type(exc.value).__name__ != "PanicException"
        assert isinstance(exc.value, (TypeError, ValueError, MemoryError, KeyboardInterrupt, UnicodeError))

    def test_type_text_that_reenters_the_conversion(self, constraint_text):
        # str(type) converts another instance of the same class, which asks for the
        # text again, until the recursion limit; each level fails with its own error.
        depth = []

        def again():
            depth.append(1)
            Maximize(obj)
            return "unreachable"

        obj = hostile_type(again)()
        with pytest.raises((RecursionError, TypeError)):
            Maximize(obj)
        assert len(depth) > 10

    def test_type_text_that_assigns_the_receiver(self, constraint_text):
        n = NumOf([1])

        def assign():
            n.of = [Depends("inside")]
            return "<hostile>"

        obj = hostile_type(assign)()
        with pytest.raises(TypeError, match="^argument 'of': cannot convert '<hostile>' to Constraint$"):
            n.of = [obj]
        assert constraint_text(n) == "NumOf( Depends( inside ) )"


class TestNumberHooks:
    @pytest.mark.parametrize("number, expected", [
        (Number(float_=lambda: 2.5), 2.5),
        (Number(index=raise_(LookupError()), float_=lambda: 0.5), 0.5),
        (Number(index=lambda: "not an int", float_=lambda: -1.0), -1.0),
        (Number(index=lambda: -1), -1),
    ])
    def test_accepted(self, number, expected):
        read = Maximize(number).item.value
        assert (type(read), read) == (type(expected), expected)

    @pytest.mark.parametrize("number", [
        Number(float_=raise_(ValueError("x"))),
        Number(float_=raise_(LookupError())),
        Number(float_=lambda: "2.5"),
        Number(float_=lambda: 10),
        Number(index=lambda: 10 ** 400, float_=raise_(OverflowError())),
    ])
    def test_refused_with_the_conversion_message(self, number):
        with pytest.raises(TypeError) as exc:
            Cmp(1, number, CmpType.Less)
        assert str(exc.value) == f"argument 'rhs': cannot convert '{Number}' to Constraint"
        assert exc.value.__context__ is None or not isinstance(exc.value.__context__, MemoryError)

    def test_float_hook_assigns_the_receiver(self, constraint_text):
        v = Maximize("old").item
        v.value = Number(float_=lambda: setattr(v, "value", "inner") or 1.5)
        assert v.value == 1.5

    def test_operand_that_reenters_the_comparison(self):
        # Each level converts the operand again inside its __index__, until the
        # recursion limit, whose RecursionError ends the outermost comparison.
        n = NumOf([])
        hook = Number(index=lambda: (n < hook) and 1)
        with pytest.raises(RecursionError):
            n < hook  # noqa: B015


def value_object():
    return Maximize(1).item


ENDING_CALLS = {
    "constructor": lambda v: Cmp(v, 1, CmpType.Equal),
    "value setter": lambda v: setattr(value_object(), "value", v),
    "sequence item": lambda v: NumOf([Depends("a"), v]),
    "operator": lambda v: NumOf([]) == v,
    "comparison operand": lambda v: NumOf([]) < v,
    "reflected operator": lambda v: v < SpecOption("p", "o"),
    "option map value": lambda v: PackageOutline("p", set_options={"x": v}),
}
# == answers False for an operand it cannot convert; the others refuse it.
REFUSING_CALLS = {name: call for name, call in ENDING_CALLS.items() if name != "operator"}


class TestHooksThatEndTheCall:
    """A conversion tries several readings of a value and drops the errors of
    the ones that fail; an interrupt or a resource error raised by user code in
    one of them is not such an error: it ends the call."""

    @pytest.mark.parametrize("hook", ["__index__", "__float__"])
    @pytest.mark.parametrize("error", [
        KeyboardInterrupt("stop"), SystemExit("stop"),
        MemoryError("hook"), RecursionError("hook"), SystemError("hook"),
    ], ids=lambda e: type(e).__name__)
    @pytest.mark.parametrize("call", ENDING_CALLS.values(), ids=ENDING_CALLS.keys())
    def test_interrupts_and_resource_errors_end_the_call(self, call, error, hook):
        number = Number(index=raise_(error)) if hook == "__index__" else Number(float_=raise_(error))
        with pytest.raises(type(error)) as raised:
            call(number)
        assert raised.value is error

    @pytest.mark.parametrize("call", REFUSING_CALLS.values(), ids=REFUSING_CALLS.keys())
    def test_ordinary_errors_still_fall_through_to_the_refusal(self, call):
        # An ordinary error (not a resource error): the reading that raised it just fails.
        with pytest.raises(TypeError):
            call(Number(index=raise_(LookupError("stop"))))

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_prefixing_a_type_error_keeps_interrupts(self, error):
        # The argument-name prefix needs str() of the TypeError; when that raises
        # something that is not an ordinary error, it must not become a TypeError.
        class Unprintable:
            def __str__(self):
                raise error()

        with pytest.raises(error) as exc:
            NumOf(Lying([1], iterate=raise_(TypeError(Unprintable()))))
        assert type(exc.value) is error

    @pytest.mark.parametrize(("index", "expected"), [(TypeError, None), (2**70, float(2**70))])
    def test_each_hook_runs_once_per_conversion(self, index, expected):
        calls = []

        class Counted:
            def __index__(self):
                calls.append(1)
                if index is TypeError:
                    raise TypeError("no")
                return index

        if expected is None:
            with pytest.raises(TypeError, match="cannot convert"):
                Maximize(Counted())
        else:
            assert Maximize(Counted()).item.value == expected
        assert len(calls) == 1


@pytest.mark.parametrize("call", ["IfThen", "Cmp", "PackageOutline"])
def test_new_keeps_arguments_alive_when_a_hook_empties_their_dict(call):
    # Cls.__new__(Cls, **kw) binds from a dict; a conversion hook that finds
    # that dict and clears it must not free the arguments still to convert.
    class Emptier:
        def __index__(self):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and referrer.keys() & {"then", "rhs", "set_options"}:
                    referrer.clear()
            return 1

    name = "".join(chr(0x41 + i % 26) for i in range(64))  # not interned, freed with the dict
    if call == "IfThen":
        made = IfThen.__new__(IfThen, **{"cond": Emptier(), "then": Depends(name)})
        assert made.then.on == name
    elif call == "Cmp":
        made = Cmp.__new__(Cmp, **{"lhs": Emptier(), "rhs": Depends(name), "op": CmpType.Equal})
        assert made.rhs.on == name and repr(made.op) == "CmpType.Equal"
    else:
        made = PackageOutline.__new__(PackageOutline, name, **{"constraints": [Emptier()], "set_options": {name: 1}})
        assert isinstance(made, PackageOutline)


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
        # A value with __index__ and no __float__: the index itself becomes a float.
        read = Maximize(Hook(lambda: None, result)).item.value
        assert (type(read), read) == (type(expected), expected)


class TestComparisonHooks:
    def test_eq_of_an_unconvertible_operand_may_mutate_the_constraint(self, constraint_text):
        n = NumOf([1])

        class Meddler:
            def __eq__(self, other):
                other.of = []
                return "meddled"

        assert (n == Meddler()) == "meddled"
        assert Meddler() == n
        assert constraint_text(n) == "NumOf(  )"

    def test_eq_that_returns_not_implemented_falls_back_to_the_constraint(self, constraint_text):
        n = NumOf([1])

        class Index:
            def __eq__(self, other):
                other.of = [Depends("x")]
                return NotImplemented

            def __index__(self):
                return 3

        c = Index() == n  # reflected: n == 3, after __eq__ changed n
        assert type(c) is Cmp
        assert constraint_text(c) == "[ NumOf( Depends( x ) ) ] == [ 3 ]"


def assigned(seq):
    n = NumOf([0])
    n.of = seq
    return [x.value for x in n.of]


def outlined(seq):
    PackageOutline("p", seq)  # keeps nothing readable: accepting is the check
    return seq.items


BUILDS = {"NumOf": lambda seq: [x.value for x in NumOf(seq).of], "of setter": assigned, "outline": outlined}


class TestSequenceProtocol:
    """A sequence's length is only a hint for the room to reserve; its
    iteration decides, and an iteration error passes on unchanged."""

    @pytest.mark.parametrize("length", [2 ** 62, 2 ** 63 - 1, 2 ** 64, 2 ** 100, -1, 0, 1, "x",
                                        ValueError("len"), TypeError("len"), LookupError()])
    @pytest.mark.parametrize("items", [[], [1, "x"]])
    @pytest.mark.parametrize("build", BUILDS.values(), ids=BUILDS.keys())
    def test_length_is_only_a_hint(self, build, items, length):
        assert build(Lying(items, length)) == items

    @pytest.mark.parametrize("build", BUILDS.values(), ids=BUILDS.keys())
    def test_interrupt_in_length(self, build):
        # Discarded like any failed hint, or passed on untouched: never a crash.
        interrupt = KeyboardInterrupt()
        try:
            build(Lying([Depends("a")], interrupt))
        except KeyboardInterrupt as e:
            assert e is interrupt

    @pytest.mark.parametrize("after", [None, 0, 2], ids=["from iter", "after 0 items", "after 2 items"])
    @pytest.mark.parametrize("error", [KeyError("boom"), MemoryError(), RuntimeError("boom"), ZeroDivisionError()])
    def test_iteration_error_passes_unchanged(self, constraint_text, after, error):
        def lying():
            if after is None:
                return Lying([1], iterate=raise_(error))
            return Lying([Depends(str(i)) for i in range(after)], after + 1, error)

        with pytest.raises(type(error)) as exc:
            NumOf(lying())
        assert exc.value is error
        n = NumOf([1])
        with pytest.raises(type(error)) as exc:
            n.of = lying()
        assert exc.value is error
        assert constraint_text(n) == "NumOf( 1 )"

    @pytest.mark.parametrize("returned", [5, None])
    def test_iter_returning_a_non_iterator(self, constraint_text, returned):
        n = NumOf([1])
        with pytest.raises(TypeError) as exc:
            n.of = Lying([1], iterate=lambda: returned)
        assert str(exc.value) == f"argument 'of': iter() returned non-iterator of type '{type(returned).__name__}'"
        assert constraint_text(n) == "NumOf( 1 )"

    def test_iteration_type_error_is_prefixed_and_keeps_its_cause(self):
        cause = KeyError("inner")
        error = TypeError("boom")
        error.__cause__ = cause
        with pytest.raises(TypeError) as exc:
            NumOf(Lying([Depends("0")], error=error))
        assert str(exc.value) == "argument 'of': boom"
        assert exc.value.__cause__ is cause

    def test_unprintable_type_error(self):
        class Unprintable:
            def __str__(self):
                raise ValueError("no text")

        with pytest.raises(TypeError) as exc:
            NumOf(Lying(error=TypeError(Unprintable())))
        assert str(exc.value) == "argument 'of': <unprintable TypeError object>"

    def test_iteration_that_assigns_the_receiver(self, constraint_text):
        n = NumOf([1])

        def items():
            n.of = [Depends("inner")]
            yield Depends("outer")
            n.of = []
            yield n

        n.of = Lying(length=2, iterate=items)
        assert constraint_text(n) == "NumOf( Depends( outer ), NumOf(  ) )"

    def test_items_that_drop_the_sequence(self, constraint_text):
        # The only reference to each item is the list's; the hook clears the list.
        items = []
        items.extend([Number(index=lambda: items.clear() or 4), Depends("b")])
        holder = PackageOutline("p", items)
        assert items == [] and type(holder) is PackageOutline
        assert constraint_text(NumOf(items)) == "NumOf(  )"

    def test_list_growing_while_iterated(self):
        def grower(k):
            return Number(index=lambda: grow() or k)

        def grow():
            if len(items) < 4:
                items.append(grower(len(items) + 1))

        items = [grower(1)]
        assert [x.value for x in NumOf(items).of] == [1, 2, 3, 4]

    def test_list_cleared_while_iterated(self):
        items = [Number(index=lambda: items.clear() or 9), Depends("gone"), 3]
        assert [x.value for x in NumOf(items).of] == [9]


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
