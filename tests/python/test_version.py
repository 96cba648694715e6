"""Version: parsing, the two text forms, argument handling and identity semantics."""

import re

import pytest

from kelto.package.version import Version

try:
    from hypothesis import given, strategies as st
except ImportError:
    given = None

U64_MAX = 2**64 - 1

# text, plain text, repr
ACCEPTED = [
    ("1", "1", "Version { parts: [Int(1)] }"),
    ("0", "0", "Version { parts: [Int(0)] }"),
    ("000", "0", "Version { parts: [Int(0)] }"),
    ("007", "7", "Version { parts: [Int(7)] }"),
    ("01.002", "1.2", "Version { parts: [Int(1), Sep('.'), Int(2)] }"),
    ("1.2.3", "1.2.3", "Version { parts: [Int(1), Sep('.'), Int(2), Sep('.'), Int(3)] }"),
    ("1.2-rc1", "1.2-rc1", """Version { parts: [Int(1), Sep('.'), Int(2), Sep('-'), Str("rc1")] }"""),
    ("2.*", "2.*", "Version { parts: [Int(2), Sep('.'), Wildcard(Single)] }"),
    ("1.*.3", "1.*.3", "Version { parts: [Int(1), Sep('.'), Wildcard(Single), Sep('.'), Int(3)] }"),
    ("*", "*", "Version { parts: [Wildcard(Single)] }"),
    (">", ">", "Version { parts: [Wildcard(Rest)] }"),
    ("1.>", "1.>", "Version { parts: [Int(1), Sep('.'), Wildcard(Rest)] }"),
    ("*+>", "*+>", "Version { parts: [Wildcard(Single), Sep('+'), Wildcard(Rest)] }"),
    ("1.0rc1", "1.0rc1", """Version { parts: [Int(1), Sep('.'), Str("0rc1")] }"""),
    ("1.0-rc.1+b2", "1.0-rc.1+b2", "Version { parts: [Int(1), Sep('.'), Int(0), Sep('-'), "
     """Str("rc"), Sep('.'), Int(1), Sep('+'), Str("b2")] }"""),
    ("RC", "RC", """Version { parts: [Str("RC")] }"""),
    ("0x1F", "0x1F", """Version { parts: [Str("0x1F")] }"""),
    (str(U64_MAX), str(U64_MAX), f"Version {{ parts: [Int({U64_MAX})] }}"),
    # Leading zeros do not count towards the range.
    ("000" + str(U64_MAX), str(U64_MAX), f"Version {{ parts: [Int({U64_MAX})] }}"),
    (str(U64_MAX + 1), str(U64_MAX + 1), f'Version {{ parts: [Str("{U64_MAX + 1}")] }}'),
    ("0" + str(U64_MAX + 1), "0" + str(U64_MAX + 1), f'Version {{ parts: [Str("0{U64_MAX + 1}")] }}'),
    ("9" * 40, "9" * 40, f'Version {{ parts: [Str("{"9" * 40}")] }}'),
]

# text, exact ValueError message
REJECTED = [
    ("", "TrailingSeparator"),
    ("1.", "TrailingSeparator"),
    ("1.2-", "TrailingSeparator"),
    ("1+", "TrailingSeparator"),
    ("1.>.", "TrailingSeparator"),  # the trailing test comes before the last segment
    ("a_b.", 'InvalidPart("a_b")'),  # an earlier failing segment wins
    (".", "EmptyPart"),
    (".1", "EmptyPart"),
    ("1..", "EmptyPart"),
    ("1..2", "EmptyPart"),
    ("1.-2", "EmptyPart"),
    ("-", "EmptyPart"),
    ("1.>.2", "PartAfterRest"),
    (">.>", "PartAfterRest"),
    (">..", "PartAfterRest"),  # the rest flag is checked before emptiness
    (">.a_b", "PartAfterRest"),
    ("1.a_b.2", 'InvalidPart("a_b")'),
    ("1.a_b", 'InvalidPart("a_b")'),
    ("a_b..", 'InvalidPart("a_b")'),
    ("1.**", 'InvalidPart("**")'),
    ("1>", 'InvalidPart("1>")'),
    ("*1", 'InvalidPart("*1")'),
    ("1. 2", 'InvalidPart(" 2")'),
    (" ", 'InvalidPart(" ")'),
    ("1.é", 'InvalidPart("é")'),
    ("1.x2.a/b", 'InvalidPart("a/b")'),
    ("1.2..a_b", "EmptyPart"),
    ("v1,2", 'InvalidPart("v1,2")'),
    ("1.it's", """InvalidPart("it's")"""),
    ("1.中", 'InvalidPart("中")'),
    ("1.\U0001f600", 'InvalidPart("\U0001f600")'),
    # Escapes of the quoted form.
    ('1.a"b', r'InvalidPart("a\"b")'),
    ("1.a\\b", r'InvalidPart("a\\b")'),
    ("a\tb", r'InvalidPart("a\tb")'),
    ("a\nb\r", r'InvalidPart("a\nb\r")'),
    ("\x00", r'InvalidPart("\0")'),
    ("\x01\x1b", r'InvalidPart("\u{1}\u{1b}")'),
    ("x\x7f", r'InvalidPart("x\u{7f}")'),
    ("\x85", r'InvalidPart("\u{85}")'),  # C1 control
    ("a\u00a0b", r'InvalidPart("a\u{a0}b")'),  # a space separator other than " "
    ("a\u2028", r'InvalidPart("a\u{2028}")'),  # line separator
    ("\u200b", r'InvalidPart("\u{200b}")'),  # format character
    ("\ue000", r'InvalidPart("\u{e000}")'),  # private use
    ("e\u0301", r'InvalidPart("e\u{301}")'),  # combining mark: Grapheme_Extend
]


class TestParsing:
    @pytest.mark.parametrize("text, plain, debug", ACCEPTED)
    def test_text_forms(self, text, plain, debug):
        v = Version(text)
        assert type(v) is Version
        assert str(v) == plain
        assert repr(v) == debug
        again = Version(str(v))
        assert (str(again), repr(again)) == (plain, debug)

    @pytest.mark.parametrize("text, message", REJECTED)
    def test_rejected_with_exact_message(self, text, message):
        with pytest.raises(ValueError) as exc:
            Version(text)
        assert type(exc.value) is ValueError
        assert exc.value.args == (message,)
        assert exc.value.__cause__ is None

    def test_long_version(self):
        text = ".".join(str(i) for i in range(10_000)) + "-rc1"
        v = Version(text)
        assert str(v) == text
        assert repr(v).count("Sep(") == 10_000


class TestArguments:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: Version(ver="2.*"),
            lambda: Version(**{"".join(["v", "e", "r"]): "2.*"}),  # a keyword that is not interned
            lambda: Version(*["2.*"]),
            lambda: Version.__new__(Version, "2.*"),
        ],
    )
    def test_ways_of_passing_ver(self, call):
        v = call()
        assert type(v) is Version
        assert (str(v), repr(v)) == ("2.*", "Version { parts: [Int(2), Sep('.'), Wildcard(Single)] }")

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "Version.__new__() missing 1 required positional argument: 'ver'"),
            (("1", "2"), {}, "Version.__new__() takes 1 positional arguments but 2 were given"),
            (("1", "2", "3"), {}, "Version.__new__() takes 1 positional arguments but 3 were given"),
            (("1", "2"), {"ver": "3"}, "Version.__new__() takes 1 positional arguments but 2 were given"),
            (("1",), {"ver": "2"}, "Version.__new__() got multiple values for argument 'ver'"),
            ((), {"x": "1"}, "Version.__new__() got an unexpected keyword argument 'x'"),
            (("1",), {"x": "1"}, "Version.__new__() got an unexpected keyword argument 'x'"),
            ((), {"ver": "1", "Ver": "1"}, "Version.__new__() got an unexpected keyword argument 'Ver'"),
            ((), {"vers": 1}, "Version.__new__() got an unexpected keyword argument 'vers'"),
            # Binding comes before conversion and parsing.
            ((3, 4), {}, "Version.__new__() takes 1 positional arguments but 2 were given"),
            (("",), {"ver": ""}, "Version.__new__() got multiple values for argument 'ver'"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            Version(*args, **kwargs)
        assert type(exc.value) is TypeError
        assert str(exc.value) == message

    @pytest.mark.parametrize(
        "value, typename",
        [
            (3, "int"),
            (1.5, "float"),
            (None, "NoneType"),
            (b"1.2", "bytes"),
            (bytearray(b"1"), "bytearray"),
            (["1"], "list"),
            (True, "bool"),
        ],
    )
    def test_non_str_is_refused_before_parsing(self, value, typename):
        with pytest.raises(TypeError) as exc:
            Version(value)
        assert type(exc.value) is TypeError
        assert str(exc.value) == f"argument 'ver': '{typename}' object cannot be cast as 'str'"
        assert exc.value.__cause__ is None

    def test_message_uses_qualified_type_name(self):
        class Text:
            def __str__(self):
                return "1.2"

        with pytest.raises(TypeError) as exc:
            Version(ver=Text())
        assert str(exc.value) == (
            "argument 'ver': 'TestArguments.test_message_uses_qualified_type_name.<locals>.Text' "
            "object cannot be cast as 'str'"
        )
        with pytest.raises(TypeError, match=r"^argument 'ver': 'Version' object cannot be cast as 'str'$"):
            Version(Version("1"))

    def test_str_subclass_is_read_as_its_text(self):
        class Tricky(str):
            def __str__(self):
                raise AssertionError("__str__ must not be called")

            def encode(self, *args, **kwargs):
                raise AssertionError("encode must not be called")

        v = Version(Tricky("01.2"))
        assert (str(v), repr(v)) == ("1.2", "Version { parts: [Int(1), Sep('.'), Int(2)] }")
        with pytest.raises(ValueError, match="^EmptyPart$"):
            Version(Tricky("1..2"))

    @pytest.mark.parametrize("text", ["\ud800", "1.\udfff", "1.2-a\udc80b", "\ud800."])
    def test_lone_surrogate_gets_the_encoding_error_unprefixed(self, text):
        with pytest.raises(UnicodeEncodeError) as expected:
            text.encode("utf-8")
        with pytest.raises(UnicodeEncodeError) as exc:
            Version(text)
        assert type(exc.value) is UnicodeEncodeError
        assert str(exc.value) == str(expected.value)
        assert not str(exc.value).startswith("argument")


class TestIdentity:
    def test_equal_only_to_itself(self):
        a, b = Version("1.2"), Version("1.2")
        assert a == a and not a != a
        assert a != b and not a == b
        assert a != "1.2" and a is not None

    def test_hash_is_by_identity(self):
        a, b = Version("1.2"), Version("1.2")
        assert hash(a) == object.__hash__(a)
        assert len({a, b, a}) == 2
        assert {a: 1, b: 2}[a] == 1

    @pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
    def test_not_ordered(self, op):
        a, b = Version("1"), Version("2")
        with pytest.raises(TypeError):
            eval(f"a {op} b")

    def test_truthy(self):
        assert bool(Version("0"))


# A reference model of the parser, written from the description of the
# algorithm, for texts whose invalid segments need no escaping.
def model(text):
    pieces = re.split(r"([.+-])", text)
    plain, debug, rest = [], [], False

    def segment(seg):
        nonlocal rest
        if rest:
            raise ValueError("PartAfterRest")
        if not seg:
            raise ValueError("EmptyPart")
        if seg == "*":
            return "*", "Wildcard(Single)"
        if seg == ">":
            rest = True
            return ">", "Wildcard(Rest)"
        if seg.isascii() and seg.isdigit() and int(seg) <= U64_MAX:
            return str(int(seg)), f"Int({int(seg)})"
        if seg.isascii() and seg.isalnum():
            return seg, f'Str("{seg}")'
        raise ValueError(f'InvalidPart("{seg}")')

    for seg, sep in zip(pieces[0:-1:2], pieces[1::2]):
        p, d = segment(seg)
        plain += [p, sep]
        debug += [d, f"Sep('{sep}')"]
    if not pieces[-1]:
        raise ValueError("TrailingSeparator")
    p, d = segment(pieces[-1])
    plain.append(p)
    debug.append(d)
    return "".join(plain), "Version { parts: [" + ", ".join(debug) + "] }"


MESSAGE_SHAPES = re.compile(r'TrailingSeparator|EmptyPart|PartAfterRest|InvalidPart\("[^"\\]+"\)')

if given is not None:
    SEGMENTS = st.sampled_from(
        ["0", "1", "007", "42", "rc1", "A", "*", ">", "", "a_b", "é", " ", "**",
         str(U64_MAX), str(U64_MAX + 1), "00" + str(U64_MAX)]
    )
    TEXTS = st.one_of(
        st.text(alphabet="019aZ.-+*>_ é", max_size=14),
        st.lists(st.tuples(SEGMENTS, st.sampled_from(".-+")), max_size=6).map(
            lambda pairs: "".join(s + sep for s, sep in pairs)
        ),
        st.tuples(st.lists(SEGMENTS, min_size=1, max_size=6), st.sampled_from(".-+")).map(
            lambda t: t[1].join(t[0])
        ),
    )

    class TestProperties:
        @given(TEXTS)
        def test_plain_text_parses_back_to_the_same_version(self, text):
            try:
                v = Version(text)
            except ValueError as e:
                assert MESSAGE_SHAPES.fullmatch(str(e)), str(e)
                return
            again = Version(str(v))
            assert repr(again) == repr(v)
            assert str(again) == str(v)

        @given(TEXTS)
        def test_agrees_with_the_reference_model(self, text):
            try:
                expected = model(text)
            except ValueError as e:
                with pytest.raises(ValueError) as exc:
                    Version(text)
                assert str(exc.value) == str(e)
            else:
                v = Version(text)
                assert (str(v), repr(v)) == expected
