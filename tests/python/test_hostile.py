"""Python objects that fight the conversions: type texts that fail or lie, number
hooks that raise or re-enter, sequences whose protocol methods misbehave, and
comparison hooks that mutate the objects being compared (interrupts raised inside
a conversion have their home in test_fork_signals.py). Each case ends in a stated
exception or in success; the leak hunter repeats all of them."""

import pytest

from kelto.package.constraint import Cmp, CmpType, Depends, Maximize, NumOf
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


def panic_text(call):
    """The message of the panic exception `call` ends with, or None when it returns."""
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the panic exception is no Exception
        assert type(e).__name__ == "PanicException", e
        return str(e)
    return None


KEYS_CHANGED = "dictionary keys changed during iteration"
SIZE_CHANGED = "dictionary changed size during iteration"


class TestOutlineDictionaries:
    """A dict that a value's conversion changes: whatever the entries around
    the changing value hold, plain values or not."""

    @pytest.mark.parametrize("keys, change, expected", [
        ("abc", lambda d: d.__setitem__("z", 1), SIZE_CHANGED),
        ("abc", lambda d: d.pop("c"), SIZE_CHANGED),
        ("abc", lambda d: (d.pop("a"), d.__setitem__("z", 1)), KEYS_CHANGED),
        # Five keys fill the smallest table: the key added rebuilds it and
        # moves the later entries down.
        ("abcde", lambda d: (d.pop("a"), d.__setitem__("z", 1)), KEYS_CHANGED),
        ("abc", lambda d: (d.pop("b"), d.__setitem__("b", 2)), KEYS_CHANGED),
        ("ab", lambda d: (d.pop("a"), d.__setitem__("c", 3)), KEYS_CHANGED),
        # A later key taken out and put back is met once, at its new place.
        ("abc", lambda d: (d.pop("c"), d.__setitem__("c", 2)), None),
        ("abc", lambda d: d.__setitem__("b", "replaced"), None),
        ("abc", lambda d: d.update(a=2, c=4), None),
    ], ids=["grow", "shrink", "other key", "other key, table rebuilt", "own key moved", "other key last",
            "later key moved", "value replaced", "values replaced"])
    @pytest.mark.parametrize("parameter", ["set_options", "set_defaults"])
    @pytest.mark.parametrize("plain", [True, False], ids=["plain values", "values with hooks"])
    def test_changes_while_a_value_converts(self, parameter, keys, change, expected, plain):
        options = {}

        class Mutating:
            done = False

            def __index__(self):
                if not self.done:
                    self.done = True
                    change(options)
                return 1

        for k in keys:
            options[k] = Mutating() if k == "b" else (1 if plain else Number(index=lambda: 1))
        assert panic_text(lambda: PackageOutline("pkg", **{parameter: options})) == expected
