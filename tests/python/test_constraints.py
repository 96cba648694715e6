"""Constructors and properties of the constraint classes: what goes in is converted
and copied, what comes out is a new object, and refusals carry their exact text."""

from decimal import Decimal
from fractions import Fraction

import pytest

from kelto.package.constraint import (Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf,
                                      SpecOption, Value)
from kelto.package.version import Version

try:
    import numpy
except ImportError:  # the debug interpreter has no numpy build
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="needs numpy")


class Name(str):
    pass


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class OnlyFloat:
    def __float__(self):
        return 0.75


def value(x):
    """A Value object holding what `x` converts to."""
    return Maximize(x).item


class TestConstruction:
    @pytest.mark.parametrize("make, text", [
        (lambda: Cmp(Depends("a"), 5, CmpType.Less), "[ Depends( a ) ] < [ 5 ]"),
        (lambda: Cmp(op=CmpType.Greater, rhs="x y", lhs=SpecOption("p", "o")),
         "[ Package 'p' -> Option 'o' ] > [ x y ]"),
        (lambda: Cmp(Cmp(Depends("a"), True, CmpType.Equal), False, CmpType.NotEqual),
         "[ [ Depends( a ) ] == [ true ] ] != [ false ]"),
        (lambda: Depends("a b"), "Depends( a b )"),
        (lambda: Depends(name=Name("sub")), "Depends( sub )"),
        # A NUL inside a name is kept, whether the str is ASCII or not.
        (lambda: Depends("a\x00b"), "Depends( a\x00b )"),
        (lambda: Depends("\xe9\x00"), "Depends( \xe9\x00 )"),
        (lambda: IfThen(5, "x"), "If( 5 ) Then [ x ]"),
        (lambda: IfThen(then=Depends("b"), cond=True), "If( true ) Then [ Depends( b ) ]"),
        (lambda: Maximize(True), "Maximize( true )"),
        (lambda: Minimize(Minimize(-1.5)), "Minimize( Minimize( -1.5 ) )"),
        (lambda: NumOf([]), "NumOf(  )"),
        (lambda: NumOf([1.5]), "NumOf( 1.5 )"),
        (lambda: NumOf((Depends("a"), Depends("b"))), "NumOf( Depends( a ), Depends( b ) )"),
        (lambda: NumOf(range(3)), "NumOf( 0, 1, 2 )"),
        (lambda: NumOf(["s", False, Version("1.2"), Index(-1), OnlyFloat()]),
         "NumOf( s, false, 1.2, -1, 0.75 )"),
        (lambda: SpecOption("", ""), "Package '' -> Option ''"),
        (lambda: SpecOption(option_name="o.x", package_name=Name("p q")), "Package 'p q' -> Option 'o.x'"),
    ])
    def test_content(self, constraint_text, make, text):
        assert constraint_text(make()) == text

    def test_same_object_twice_gives_independent_copies(self, constraint_text):
        d = Depends("a")
        it = IfThen(d, d)
        it.cond.on = "changed"
        d.on = "later"
        assert constraint_text(it) == "If( Depends( a ) ) Then [ Depends( a ) ]"

    # A fresh leaf keeps its value in the object until something else holds
    # it too; a name too long to keep inline checks that the value moves whole.
    @pytest.mark.parametrize("make, prop", [
        (lambda v: Depends(v), "on"),
        (lambda v: SpecOption("p", v), "option_name"),
    ], ids=["Depends", "SpecOption"])
    @pytest.mark.parametrize("share", [
        lambda o: NumOf([o, o]),
        lambda o: Maximize(o),
        lambda o: o == o,
        lambda o: Cmp(o, 1, CmpType.Less).if_then(o),
    ], ids=["NumOf", "Maximize", "operator", "if_then"])
    def test_a_leaf_edited_before_and_after_it_is_first_shared(self, constraint_text, make, prop, share):
        long_name = "a-name-longer-than-thirty-bytes-" * 2
        obj = make("first")
        setattr(obj, prop, long_name)
        held, again = share(obj), share(obj)
        setattr(obj, prop, "x")
        assert constraint_text(held) == constraint_text(again) == constraint_text(share(make(long_name)))
        assert getattr(obj, prop) == "x"

    @pytest.mark.parametrize("make, prop, wrap, text", [
        (lambda: Maximize(Depends("a")), "item", lambda m: m, "Maximize( Maximize( Depends( a ) ) )"),
        (lambda: IfThen(1, 2), "then", lambda i: i, "If( 1 ) Then [ If( 1 ) Then [ 2 ] ]"),
        (lambda: NumOf([1]), "of", lambda n: [n, n], "NumOf( NumOf( 1 ), NumOf( 1 ) )"),
        (lambda: Cmp(1, 2, CmpType.Less), "lhs", lambda c: c, "[ [ 1 ] < [ 2 ] ] < [ 2 ]"),
    ])
    def test_assigning_an_object_into_itself_nests_its_old_value(self, constraint_text, make, prop, wrap, text):
        obj = make()
        setattr(obj, prop, wrap(obj))
        assert constraint_text(obj) == text
        inner = getattr(obj, prop)
        setattr(obj, prop, [] if prop == "of" else 0)  # what was read keeps the old value
        assert constraint_text(inner[0] if prop == "of" else inner) == constraint_text(make())

    def test_if_then_wraps_a_copy_of_the_comparison(self, constraint_text):
        c = Cmp(Depends("a"), 1, CmpType.Less)
        it = c.if_then(then=IfThen(1, 2))  # no type check on either side
        assert type(it) is IfThen
        assert (constraint_text(it.cond), constraint_text(it.then)) == ("[ Depends( a ) ] < [ 1 ]",
                                                                        "If( 1 ) Then [ 2 ]")
        c.op = CmpType.Equal
        assert constraint_text(it) == "If( [ Depends( a ) ] < [ 1 ] ) Then [ If( 1 ) Then [ 2 ] ]"


# (factory, property, type read back); the factories build objects whose fields are all
# of a different kind, so a getter reading the wrong field shows.
PROPERTIES = [
    (lambda: Cmp(Depends("a"), 5, CmpType.Less), "lhs", Depends),
    (lambda: Cmp(Depends("a"), 5, CmpType.Less), "rhs", Value),
    (lambda: Cmp(Depends("a"), 5, CmpType.Less), "op", CmpType),
    (lambda: Depends("a"), "on", str),
    (lambda: IfThen(Cmp(1, 2, CmpType.Less), NumOf([])), "cond", Cmp),
    (lambda: IfThen(Cmp(1, 2, CmpType.Less), NumOf([])), "then", NumOf),
    (lambda: Maximize(SpecOption("p", "o")), "item", SpecOption),
    (lambda: Minimize(IfThen(1, 2)), "item", IfThen),
    (lambda: NumOf([Depends("a"), 1]), "of", list),
    (lambda: SpecOption("p", "o"), "package_name", str),
    (lambda: SpecOption("p", "o"), "option_name", str),
    (lambda: value(Version("1.2")), "value", Version),
]
PROPERTY_IDS = [f"{cls.__name__}.{prop}" for _, prop, cls in PROPERTIES]
# Properties whose value is a Python object made by the module on every read.
FRESH = ["lhs", "rhs", "op", "cond", "then", "item", "of", "value"]


class TestProperties:
    @pytest.mark.parametrize("make, prop, cls", PROPERTIES, ids=PROPERTY_IDS)
    def test_every_read_is_a_new_object(self, make, prop, cls):
        obj = make()
        first, second = getattr(obj, prop), getattr(obj, prop)
        assert type(first) is cls and type(second) is cls
        if prop in FRESH:
            assert first is not second
        if prop == "of":
            assert [type(x) for x in first] == [Depends, Value]
            assert all(x is not y for x, y in zip(first, second))

    def test_op_is_not_the_class_member(self):
        op = Cmp(1, 2, CmpType.Less).op
        assert int(op) == 0
        assert op is not CmpType.Less and op != CmpType.Less

    @pytest.mark.parametrize("make, read, change", [
        (lambda: Cmp(Cmp(1, 2, CmpType.Less), 3, CmpType.Equal), lambda o: o.lhs,
         lambda r: setattr(r, "op", CmpType.Greater)),
        (lambda: Cmp(1, Depends("a"), CmpType.Equal), lambda o: o.rhs, lambda r: setattr(r, "on", "z")),
        (lambda: IfThen(Depends("a"), 1), lambda o: o.cond, lambda r: setattr(r, "on", "z")),
        (lambda: IfThen(1, NumOf([1])), lambda o: o.then, lambda r: setattr(r, "of", [])),
        (lambda: Maximize(Maximize(1)), lambda o: o.item, lambda r: setattr(r, "item", 2)),
        (lambda: Minimize(value(3)), lambda o: o.item, lambda r: setattr(r, "value", "x")),
        (lambda: NumOf([Depends("a")]), lambda o: o.of, lambda r: r.append(Depends("b"))),
        (lambda: NumOf([Depends("a")]), lambda o: o.of, lambda r: setattr(r[0], "on", "z")),
        (lambda: NumOf([Depends("a")]), lambda o: o.of, lambda r: r.clear()),
    ])
    def test_changing_a_read_value_leaves_the_owner(self, constraint_text, make, read, change):
        obj = make()
        before = constraint_text(obj)
        change(read(obj))
        assert constraint_text(obj) == before

    @pytest.mark.parametrize("make, assign, text", [
        (lambda: Cmp(Depends("a"), True, CmpType.Equal), lambda c: setattr(c, "lhs", c),
         "[ [ Depends( a ) ] == [ true ] ] == [ true ]"),
        (lambda: Cmp(Depends("a"), True, CmpType.Equal), lambda c: setattr(c, "rhs", c),
         "[ Depends( a ) ] == [ [ Depends( a ) ] == [ true ] ]"),
        (lambda: IfThen(1, 2), lambda c: setattr(c, "cond", c), "If( If( 1 ) Then [ 2 ] ) Then [ 2 ]"),
        (lambda: Maximize(1), lambda c: setattr(c, "item", c), "Maximize( Maximize( 1 ) )"),
        (lambda: NumOf([1]), lambda c: setattr(c, "of", [c]), "NumOf( NumOf( 1 ) )"),
        (lambda: NumOf([1]), lambda c: setattr(c, "of", [c, c]), "NumOf( NumOf( 1 ), NumOf( 1 ) )"),
        (lambda: NumOf([1, 2]), lambda c: setattr(c, "of", c.of[::-1]), "NumOf( 2, 1 )"),
    ])
    def test_assigning_an_object_to_itself_stores_it_as_it_was(self, constraint_text, make, assign, text):
        obj = make()
        assign(obj)
        assert constraint_text(obj) == text

    @pytest.mark.parametrize("make, prop, new, text", [
        (lambda: Cmp(1, 2, CmpType.Less), "lhs", SpecOption("p", "o"), "[ Package 'p' -> Option 'o' ] < [ 2 ]"),
        (lambda: Cmp(1, 2, CmpType.Less), "rhs", "two", "[ 1 ] < [ two ]"),
        (lambda: Cmp(1, 2, CmpType.Less), "op", CmpType.GreaterOrEqual, "[ 1 ] >= [ 2 ]"),
        (lambda: Depends("a"), "on", Name("b"), "Depends( b )"),
        (lambda: IfThen(1, 2), "cond", Depends("c"), "If( Depends( c ) ) Then [ 2 ]"),
        (lambda: IfThen(1, 2), "then", Depends("c"), "If( 1 ) Then [ Depends( c ) ]"),
        (lambda: Maximize(1), "item", NumOf([]), "Maximize( NumOf(  ) )"),
        (lambda: Minimize(1), "item", 2 ** 63, "Minimize( 9223372036854776000 )"),
        (lambda: NumOf([1]), "of", (2, 3), "NumOf( 2, 3 )"),
        (lambda: NumOf([1]), "of", [], "NumOf(  )"),
        (lambda: SpecOption("p", "o"), "package_name", "q", "Package 'q' -> Option 'o'"),
        (lambda: SpecOption("p", "o"), "option_name", "", "Package 'p' -> Option ''"),
        (lambda: value(1), "value", "x", "x"),
        (lambda: value("x"), "value", Version("2.0"), "2.0"),
    ])
    def test_assignment_replaces_one_field(self, constraint_text, make, prop, new, text):
        obj = make()
        setattr(obj, prop, new)
        assert constraint_text(obj) == text

    @pytest.mark.parametrize("make, prop, cls", PROPERTIES, ids=PROPERTY_IDS)
    def test_delete_is_refused(self, constraint_text, make, prop, cls):
        obj = make()
        before = constraint_text(obj)
        with pytest.raises(AttributeError) as exc:
            delattr(obj, prop)
        assert str(exc.value) == "can't delete attribute"
        assert constraint_text(obj) == before



NONE = "cannot convert '<class 'NoneType'>' to Constraint"


class TestBindingAndConversionErrors:
    @pytest.mark.parametrize("call, message", [
        (lambda: Cmp(), "Cmp.__new__() missing 3 required positional arguments: 'lhs', 'rhs', and 'op'"),
        (lambda: Cmp(1, 2), "Cmp.__new__() missing 1 required positional argument: 'op'"),
        (lambda: Cmp(1, op=CmpType.Less), "Cmp.__new__() missing 1 required positional argument: 'rhs'"),
        (lambda: Cmp(1, 2, 3, 4), "Cmp.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Cmp(1, 2, CmpType.Less, lhs=1), "Cmp.__new__() got multiple values for argument 'lhs'"),
        (lambda: IfThen(), "IfThen.__new__() missing 2 required positional arguments: 'cond' and 'then'"),
        (lambda: Depends("a", "b"), "Depends.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: Depends("a", name="b"), "Depends.__new__() got multiple values for argument 'name'"),
        (lambda: Depends(on="a"), "Depends.__new__() got an unexpected keyword argument 'on'"),
        (lambda: Maximize(), "Maximize.__new__() missing 1 required positional argument: 'item'"),
        (lambda: Minimize(1, 2), "Minimize.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: NumOf(), "NumOf.__new__() missing 1 required positional argument: 'of'"),
        (lambda: SpecOption("p"), "SpecOption.__new__() missing 1 required positional argument: 'option_name'"),
        (lambda: Cmp(1, 2, CmpType.Less).if_then(), "Cmp.if_then() missing 1 required positional argument: 'then'"),
        (lambda: Cmp(1, 2, CmpType.Less).if_then(1, 2), "Cmp.if_then() takes 1 positional arguments but 2 were given"),
        (lambda: Cmp(1, 2, CmpType.Less).if_then(then=1, x=2), "Cmp.if_then() got an unexpected keyword argument 'x'"),
        # Conversions, in parameter order: the first failing parameter is named.
        (lambda: Cmp(None, [1], 3), f"argument 'lhs': {NONE}"),
        (lambda: Cmp(1, [1], 3), "argument 'rhs': cannot convert '<class 'list'>' to Constraint"),
        (lambda: Cmp(1, 2, 3), "argument 'op': 'int' object cannot be cast as 'CmpType'"),
        (lambda: Cmp(1, 2, CmpType), "argument 'op': 'type' object cannot be cast as 'CmpType'"),
        (lambda: Cmp(CmpType.Less, 1, CmpType.Less),
         "argument 'lhs': cannot convert '<class 'builtins.CmpType'>' to Constraint"),
        (lambda: Cmp(1, 2, CmpType.Less).if_then(None), f"argument 'then': {NONE}"),
        (lambda: Depends(5), "argument 'name': 'int' object cannot be cast as 'str'"),
        (lambda: Depends(b"a"), "argument 'name': 'bytes' object cannot be cast as 'str'"),
        (lambda: IfThen((), 1), "argument 'cond': cannot convert '<class 'tuple'>' to Constraint"),
        (lambda: IfThen(1, object()), "argument 'then': cannot convert '<class 'object'>' to Constraint"),
        (lambda: Maximize({}), "argument 'item': cannot convert '<class 'dict'>' to Constraint"),
        (lambda: Minimize("\ud800"), "argument 'item': cannot convert '<class 'str'>' to Constraint"),
        (lambda: Maximize(10 ** 400), "argument 'item': cannot convert '<class 'int'>' to Constraint"),
        (lambda: NumOf("ab"), "argument 'of': Can't extract `str` to `Vec`"),
        (lambda: NumOf(Name("")), "argument 'of': Can't extract `str` to `Vec`"),
        (lambda: NumOf({1}), "argument 'of': 'set' object cannot be cast as 'Sequence'"),
        (lambda: NumOf({}), "argument 'of': 'dict' object cannot be cast as 'Sequence'"),
        (lambda: NumOf(5), "argument 'of': 'int' object cannot be cast as 'Sequence'"),
        (lambda: NumOf(x for x in ()), "argument 'of': 'generator' object cannot be cast as 'Sequence'"),
        (lambda: NumOf([Depends("a"), object()]), "argument 'of': cannot convert '<class 'object'>' to Constraint"),
        (lambda: NumOf([[1]]), "argument 'of': cannot convert '<class 'list'>' to Constraint"),
        (lambda: SpecOption(1, 2), "argument 'package_name': 'int' object cannot be cast as 'str'"),
        (lambda: SpecOption("p", None), "argument 'option_name': 'NoneType' object cannot be cast as 'str'"),
    ])
    def test_message(self, call, message):
        with pytest.raises(TypeError) as exc:
            call()
        assert type(exc.value) is TypeError
        assert str(exc.value) == message

    @pytest.mark.parametrize("call", [lambda: Depends("\ud800"), lambda: SpecOption("p", "a\udfff")])
    def test_unencodable_name_gets_the_encoding_error(self, call):
        with pytest.raises(UnicodeEncodeError):
            call()

    @pytest.mark.parametrize("make, prop, new, message", [
        (lambda: Cmp(1, 2, CmpType.Less), "lhs", None, f"argument 'lhs': {NONE}"),
        (lambda: Cmp(1, 2, CmpType.Less), "rhs", CmpType.Less,
         "argument 'rhs': cannot convert '<class 'builtins.CmpType'>' to Constraint"),
        (lambda: Cmp(1, 2, CmpType.Less), "op", 3, "argument 'op': 'int' object cannot be cast as 'CmpType'"),
        (lambda: Depends("a"), "on", 1.5, "argument 'on': 'float' object cannot be cast as 'str'"),
        (lambda: IfThen(1, 2), "cond", None, f"argument 'cond': {NONE}"),
        (lambda: IfThen(1, 2), "then", None, f"argument 'then': {NONE}"),
        (lambda: Maximize(1), "item", [2], "argument 'item': cannot convert '<class 'list'>' to Constraint"),
        (lambda: Minimize(1), "item", None, f"argument 'item': {NONE}"),
        (lambda: NumOf([1]), "of", "2", "argument 'of': Can't extract `str` to `Vec`"),
        (lambda: NumOf([1]), "of", {2}, "argument 'of': 'set' object cannot be cast as 'Sequence'"),
        (lambda: NumOf([1]), "of", [2, None], f"argument 'of': {NONE}"),
        (lambda: SpecOption("p", "o"), "package_name", None,
         "argument 'package_name': 'NoneType' object cannot be cast as 'str'"),
        (lambda: SpecOption("p", "o"), "option_name", 1, "argument 'option_name': 'int' object cannot be cast as 'str'"),
        (lambda: value(1), "value", [1], "argument 'value': cannot cast Python type '<class 'list'>' to SpecOptionValue"),
        (lambda: value(1), "value", Depends("a"),
         "argument 'value': cannot cast Python type '<class 'builtins.Depends'>' to SpecOptionValue"),
    ])
    def test_failed_assignment_keeps_the_old_value(self, constraint_text, make, prop, new, message):
        obj = make()
        before = constraint_text(obj)
        with pytest.raises(TypeError) as exc:
            setattr(obj, prop, new)
        assert str(exc.value) == message
        assert constraint_text(obj) == before


# (input, type read back, value read back): the same cast serves the `value` setter
# and the conversion of a plain value into a Value constraint.
CASTS = [
    (True, bool, True), (False, bool, False),
    (1, int, 1), (0, int, 0), (-1, int, -1), (-2 ** 63, int, -2 ** 63), (2 ** 63 - 1, int, 2 ** 63 - 1),
    (Index(-1), int, -1), (2 ** 63, float, 9223372036854775808.0), (-2 ** 64, float, -18446744073709551616.0),
    (Index(2 ** 70), float, 2.0 ** 70), (1.0, float, 1.0), (-0.0, float, -0.0),
    (Fraction(1, 4), float, 0.25), (Decimal("2.5"), float, 2.5), (OnlyFloat(), float, 0.75),
    ("1.5", str, "1.5"), (Name("sub"), str, "sub"), ("", str, ""), ("é\u2603\U0001f600", str, "é\u2603\U0001f600"),
]
REFUSED_CASTS = [
    (10 ** 400, "<class 'int'>"), (None, "<class 'NoneType'>"), ([1], "<class 'list'>"),
    ({}, "<class 'dict'>"), ("\ud800", "<class 'str'>"), (b"1", "<class 'bytes'>"), (object(), "<class 'object'>"),
    (Cmp(1, 2, CmpType.Less), "<class 'builtins.Cmp'>"), (CmpType.Equal, "<class 'builtins.CmpType'>"),
]


def assigned(x):
    v = value(0)
    v.value = x
    return v


ROUTES = {"setter": assigned, "conversion": value}


class TestValueCasts:
    @pytest.mark.parametrize("route", ROUTES)
    @pytest.mark.parametrize("x, cls, expected", CASTS)
    def test_kind(self, route, x, cls, expected):
        read = ROUTES[route](x).value
        assert type(read) is cls
        assert read == expected
        if cls is float:
            assert str(read) == str(expected)  # keeps the sign of zero

    @needs_numpy
    @pytest.mark.parametrize("route", ROUTES)
    @pytest.mark.parametrize("make, cls, expected", [
        (lambda: numpy.True_, bool, True), (lambda: numpy.bool_(False), bool, False),
        (lambda: numpy.int64(7), int, 7), (lambda: numpy.uint8(255), int, 255),
        (lambda: numpy.float64(1.5), float, 1.5), (lambda: numpy.float32(0.5), float, 0.5),
    ])
    # numpy.int64(7) alone raises the debug interpreter's total reference count by
    # two per call (no memory blocks), so the leak hunter would blame this test.
    @pytest.mark.no_leakhunt
    def test_numpy_scalars(self, route, make, cls, expected):
        read = ROUTES[route](make()).value
        assert (type(read), read) == (cls, expected)

    @pytest.mark.parametrize("route", ROUTES)
    def test_version_is_copied(self, route):
        source = Version("1.2.3")
        v = ROUTES[route](source)
        first, second = v.value, v.value
        assert first is not second and first is not source
        assert str(first) == str(second) == "1.2.3"

    @pytest.mark.parametrize("x, type_text", REFUSED_CASTS)
    def test_refused_by_the_setter(self, x, type_text):
        v = value("kept")
        with pytest.raises(TypeError) as exc:
            v.value = x
        assert str(exc.value) == f"argument 'value': cannot cast Python type '{type_text}' to SpecOptionValue"
        assert v.value == "kept"
