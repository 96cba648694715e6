"""Hostile input to the constraint classes: Python code that runs in the middle of a
conversion and touches the object being built, objects used or dropped on a foreign
thread, very deep and very long trees, and the reference-leak check over all of it
(lying sequences have their home in test_hostile.py). Each case ends in a stated exception or in
success, never in a crash."""

import gc
import hashlib
import threading

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


UNSENDABLE = "kelto::package::constraint::if_then::IfThen is unsendable"


def on_other_thread(fn):
    """Run fn on a new thread; return what it returned or raised."""
    box = []

    def run():
        try:
            box.append(fn())
        except BaseException as e:  # the panic exception is no Exception
            box.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return box[0]


class TestIfThenThreads:
    @pytest.fixture(autouse=True)
    def collect_on_this_thread(self):
        # A panic's traceback keeps the test's IfThen in a reference cycle; the
        # collector would otherwise free it later on whichever thread it runs,
        # perhaps the next test's worker, which reports a foreign drop.
        yield
        gc.collect()

    @pytest.mark.parametrize("use", [
        lambda it: it.cond,
        lambda it: it.then,
        lambda it: setattr(it, "then", 1),
        lambda it: it == 1,
        lambda it: NumOf([it]),
        lambda it: Cmp(it, 1, CmpType.Equal),
        lambda it: Depends("a") == it,
    ], ids=["cond", "then", "set then", "compare", "NumOf", "Cmp", "operand"])
    def test_use_on_another_thread_panics(self, constraint_text, use):
        it = IfThen(Depends("a"), 1)
        result = on_other_thread(lambda: use(it))
        assert type(result).__name__ == "PanicException"
        assert type(result).__module__ == "pyo3_runtime"
        assert not isinstance(result, Exception)
        assert f"{UNSENDABLE}, but sent to another thread" in str(result)
        assert constraint_text(it) == "If( Depends( a ) ) Then [ 1 ]"

    @pytest.mark.parametrize("make", [
        lambda: IfThen(1, 2),
        lambda: Cmp(1, 2, CmpType.Less).if_then(3),
        lambda: Maximize(IfThen(1, 2)).item,
    ], ids=["constructor", "if_then", "copy"])
    @pytest.mark.no_leakhunt  # each repetition adds to the monkeypatch fixture's undo list
    def test_owner_is_the_creating_thread(self, monkeypatch, make):
        it = on_other_thread(make)
        assert type(it) is IfThen
        with pytest.raises(BaseException, match=f"{UNSENDABLE}, but sent to another thread") as exc:
            it.cond  # noqa: B018
        assert type(exc.value).__name__ == "PanicException"
        # Its owner has ended, so this thread drops it as a foreign one.
        reports = []
        monkeypatch.setattr("sys.unraisablehook", reports.append)
        del it
        assert [(type(r.exc_value), str(r.exc_value)) for r in reports] == [
            (RuntimeError, f"{UNSENDABLE}, but is being dropped on another thread")]

    def test_other_classes_are_free_to_travel(self, constraint_text):
        n = NumOf([IfThen(1, 2)])
        assert constraint_text(on_other_thread(lambda: n.of[0].then)) == "2"

    def test_drop_on_another_thread(self, run_python):
        code = """if True:
            import sys, threading
            from kelto.package.constraint import IfThen, NumOf
            seen = []
            sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))
            box = [IfThen(NumOf([1] * 1000), "then")]
            t = threading.Thread(target=box.clear)
            t.start(); t.join()
            print(seen)
            it = IfThen(1, 2)  # the owner thread still works
            print(it.then.value)
        """
        rc, out, err = run_python(code)
        assert rc == 0, err
        assert out.decode().splitlines() == [
            f"[('RuntimeError', '{UNSENDABLE}, but is being dropped on another thread')]", "2"]


# Every wrapping copies the whole chain, so building a chain costs its depth squared:
# 20,000 levels take a few seconds. The work runs on a thread with a 512 KiB stack,
# where code that recursed once per level would overflow far sooner than a
# 100,000-level chain on the main thread would.
DEEP = """if True:
    import hashlib, threading
    from kelto.package.constraint import Depends, Maximize, NumOf

    def work():
        BUILD
        inner = m.item if type(m) is Maximize else m.of
        try:
            m == 1.5
        except NotImplementedError as e:
            message = str(e)
        print(len(message), hashlib.sha256(message.encode()).hexdigest(), message[-60:], sep="|")
        del inner, m
        print("done")

    threading.stack_size(512 * 1024)
    t = threading.Thread(target=work)
    t.start()
    t.join()
"""


class TestDeepData:
    @pytest.mark.parametrize("build, kind, text", [
        ("m = 1\n        for _ in range(20_000):\n            m = Maximize(m)",
         "None", "Maximize( " * 20_000 + "1" + " )" * 20_000),
        ("m = NumOf([Depends(str(i)) for i in range(100_000)])",
         "Some(Int)", "NumOf( " + ", ".join(f"Depends( {i} )" for i in range(100_000)) + " )"),
    ], ids=["deep Maximize", "long NumOf"])
    def test_copy_compare_and_drop(self, run_python, build, kind, text):
        message = (f"Cannot compare type {kind} from constraint {text} with type Some(Float) from "
                   f"constraint 1.5 using operator '=='")
        rc, out, err = run_python(DEEP.replace("BUILD", build), timeout=300)
        assert (rc, err) == (0, b"")
        assert out.decode().splitlines() == [
            f"{len(message)}|{hashlib.sha256(message.encode()).hexdigest()}|{message[-60:]}", "done"]


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
