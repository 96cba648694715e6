"""Many threads at once: shared objects read, assigned and compared stay whole,
the module imports once however many threads ask for it together, and an IfThen
belongs to the thread that made it: used elsewhere it panics, dropped elsewhere
it is reported and leaked."""

import copy
import gc
import pickle
import re
import sys
import threading

import pytest

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf

THREADS = 8
ROUNDS = 200


@pytest.fixture
def switch_often():
    # The interpreter hands the lock over every microsecond instead of every
    # five milliseconds, so the threads interleave between almost every call.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def names(k):
    """What a writer stores: k constraints that all name k. A list mixing two
    writers' values would have names that disagree with its length."""
    return [Depends(str(k)) for _ in range(k)]


def assert_whole(names_seen):
    assert names_seen and set(names_seen) == {str(len(names_seen))}, names_seen


def test_shared_objects_stay_whole(switch_often):
    num_of = NumOf(names(1))
    value = Cmp(1, 1, CmpType.Equal).rhs
    cmp = Cmp(NumOf(names(1)), 1, CmpType.Equal)
    start = threading.Barrier(THREADS)
    failures = []

    def work(seed):
        start.wait()
        try:
            for i in range(ROUNDS):
                k = (seed + i) % 7 + 1
                num_of.of = names(k)
                assert_whole([d.on for d in num_of.of])
                value.value = str(k) * k
                text = value.value
                assert text == text[0] * int(text[0]), text
                cmp.lhs = NumOf(names(k))
                assert_whole([d.on for d in cmp.lhs.of])
                cmp.rhs = value
                text = cmp.rhs.value
                assert text == text[0] * int(text[0]), text
                accepted = num_of >= k
                assert_whole([d.on for d in accepted.lhs.of])
                with pytest.raises(NotImplementedError) as refused:
                    num_of == 1.5
                assert_whole(re.findall(r"Depends\( (\d) \)", str(refused.value)))
        except BaseException as e:  # reported on the main thread, not lost
            failures.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    # Earlier tests may leave an IfThen in a reference cycle; a collection
    # started by a worker's allocation would drop it on the wrong thread.
    # Cycles are collected here, on the thread that made them, instead.
    gc.collect()
    gc.disable()
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        gc.enable()
    assert failures == []


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_importing_at_once_share_one_module(run_python, threads):
    rc, out, err = run_python(f"""if True:
        import sys, threading
        start = threading.Barrier({threads})
        seen = []
        def load():
            start.wait()
            import kelto.package.constraint
            seen.append((sys.modules["kelto"], kelto.package.constraint.NumOf))
        workers = [threading.Thread(target=load) for _ in range({threads})]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert len(seen) == {threads} and len(set(seen)) == 1, seen
        print(type(seen[0][1]([]) >= 1).__name__)
    """)
    assert (rc, out, err) == (0, b"Cmp\n", b"")


UNSENDABLE = "kelto::package::constraint::if_then::IfThen is unsendable"
# Every way to copy an object.
COPIES = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle{p}": (lambda obj, p=p: pickle.loads(pickle.dumps(obj, protocol=p)))
       for p in range(2, pickle.HIGHEST_PROTOCOL + 1)},
}


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

    @pytest.mark.parametrize("route", COPIES.values(), ids=COPIES.keys())
    def test_an_if_then_copies_on_a_thread_that_does_not_own_it(self, route, constraint_text):
        # Copying reads nothing but nodes that never change: any thread may.
        # The copy is the copying thread's; the original stays its owner's.
        it = IfThen(Depends("a"), Depends("b"))
        box = []

        def use():
            box.append(constraint_text(route(it)))
            try:
                it.cond  # noqa: B018
            except BaseException as e:  # the panic exception is no Exception
                # Not the exception itself: its traceback would keep `it` in a
                # cycle that a collection on some other thread ends.
                box.append((type(e).__name__, str(e)))

        worker = threading.Thread(target=use)
        worker.start()
        worker.join()
        assert box[0] == constraint_text(it)
        assert box[1][0] == "PanicException"
        assert "IfThen is unsendable, but sent to another thread" in box[1][1]

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


def test_an_if_then_of_an_ended_thread_belongs_to_no_later_one(run_python):
    # A thread that has ended leaves its system id to the next one; the
    # IfThen it made must still refuse every other thread, and the forked
    # child's thread, which is its parent's, keeps its own.
    rc, out, err = run_python("""if True:
        import os, threading
        from kelto.package.constraint import Depends, IfThen
        def on_new_thread(fn):
            worker = threading.Thread(target=fn)
            worker.start()
            worker.join()
        def read(it, seen):
            try:
                it.cond
                seen.append("read")
            except BaseException as error:
                seen.append(type(error).__name__)
        made, seen = [], []
        on_new_thread(lambda: made.append(IfThen(Depends("a"), 1)))
        for _ in range(3):
            on_new_thread(lambda: read(made[0], seen))
        read(made[0], seen)
        mine = IfThen(Depends("b"), 2)
        if os.fork() == 0:
            read(mine, seen)
            os._exit(0 if seen[-1] == "read" else 5)
        print(*seen, os.waitstatus_to_exitcode(os.wait()[1]))
    """)
    assert out.decode().split() == ["PanicException"] * 4 + ["0"], err.decode()
