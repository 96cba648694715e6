"""A fuzzer for every entry from Python into kelto, driven by Hypothesis.

It builds hostile objects from drawn recipes: classes with odd __module__,
__qualname__ and __name__, and conversion hooks (__index__, __float__,
__bool__, __len__, __iter__/__next__, __getitem__, __str__, the type's own
__str__) that return wrong types, raise any exception kind (BaseException
subclasses and kelto's panic included), re-enter kelto, empty or refill the
containers of the call's arguments or the dict a `Cls.__new__(Cls, **kw)`
call binds from, reassign fields of the object being built, collect garbage,
start threads, or fork (from the hook itself or from a second thread, while a
third one logs) a child that must log, print and build at once, its lines
reaching its own output whatever the parent held back. Each example
calls one entry with them and checks that the call returns or raises, that a
panic appears only when a hook caused one, that an interrupt or a resource
error (MemoryError, RecursionError, SystemError) a hook raised ends the call,
and that whatever came back reads whole: every field, text and comparison.

Run it as a script for a time budget (`--seconds`); tests/python/
test_boundary_fuzz.py runs a short one in a child process. A crash ends the
process: faulthandler prints the Python stack of the hook that was running.
"""

import argparse
import faulthandler
import gc
import os
import sys
import threading
import time
import warnings

from hypothesis import HealthCheck, given, note, settings, strategies as st

WATCHDOG_SECONDS = 300  # a call that takes this long is a hang


def import_kelto_through_a_reentering_hook():
    """The first import runs the module body, which imports sys; a hook that
    imports kelto again from there must be refused at once, not wait for itself."""
    import builtins
    real_import = builtins.__import__

    def hook(name, *args, **kwargs):
        if name == "sys" and "kelto" not in sys.modules:
            try:
                real_import("kelto")
            except ImportError:
                pass
        return real_import(name, *args, **kwargs)

    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    builtins.__import__ = hook
    try:
        import kelto  # noqa: F401
    finally:
        builtins.__import__ = real_import
        faulthandler.cancel_dump_traceback_later()


faulthandler.enable()
import_kelto_through_a_reentering_hook()

import kelto  # noqa: E402
from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf  # noqa: E402
from kelto.package.outline import PackageOutline  # noqa: E402
from kelto.package.version import Version  # noqa: E402

# The suite's list of classes sits beside this script (run directly, or read and
# run by test_boundary_fuzz.py, where sys.argv[0] still names it).
sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[0])))
from classes import ALL_CLASSES, CONSTRAINT_CLASSES, constructor_params, fields, sample  # noqa: E402

FIELDS = {cls: fields(cls) for cls in CONSTRAINT_CLASSES}


def _foreign_if_then():
    """An IfThen owned by another thread: using it here panics."""
    made = []
    worker = threading.Thread(target=lambda: made.append(IfThen(Depends("a"), Depends("b"))))
    worker.start()
    worker.join()
    return made[0]


FOREIGN = _foreign_if_then()
try:
    FOREIGN.cond
except BaseException as error:  # noqa: B036 - the panic is what we want
    PanicException = type(error)


class Custom(BaseException):
    pass


class State:
    """What the example in progress has done: whether a panic may come back,
    which interrupts (BaseExceptions that are not Exceptions) and resource
    errors hooks raised that nothing of ours caught: those must end the call;
    whether it forked, and how its children ended."""
    panic_possible = False
    depth = 0
    interrupts = []
    forked = False
    child_faults = []


def raise_panic():
    State.panic_possible = True
    State.interrupts.append("panic")
    FOREIGN.cond  # noqa: B018 - panics: the object belongs to another thread


RESOURCE_ERRORS = (MemoryError, RecursionError, SystemError)


def raise_error(name):
    error = ERRORS[name]()
    if not isinstance(error, Exception) or isinstance(error, RESOURCE_ERRORS):
        State.interrupts.append(error)
    raise error


class Unprintable:
    """Its str() (so the str() of a TypeError holding it) raises an interrupt."""

    def __init__(self, name):
        self.name = name

    def __str__(self):
        if self.name == "panic":
            raise_panic()
        raise_error(self.name)


ERRORS = {
    "ValueError": lambda: ValueError("hook"), "TypeError": lambda: TypeError("hook"),
    "TypeErrorSub": lambda: type("TypeErrorSub", (TypeError,), {})("hook"),
    "OverflowError": lambda: OverflowError("hook"), "MemoryError": MemoryError,
    "RecursionError": lambda: RecursionError("hook"), "SystemError": lambda: SystemError("hook"),
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": lambda: SystemExit(3), "Custom": Custom,
    "TypeError/unprintable": lambda: TypeError(Unprintable("KeyboardInterrupt")),
    "TypeError/unprintable-panic": lambda: TypeError(Unprintable("panic")),
}
# Exceptions kelto itself raises; anything else must have come from a hook.
KELTO_ERRORS = (TypeError, ValueError, NotImplementedError, RuntimeError, AttributeError, MemoryError)

# Plain values a hook may return, right or wrong for the protocol that asked.
RETURNS = st.sampled_from([0, 1, -1, 2**63, -(2**63) - 1, 10**30, True, 1.5, float("nan"), "s", "\ud800",
                           b"b", None, (), [], object(), Version("1.2")])


def behaviour():
    return st.one_of(
        st.tuples(st.just("return"), RETURNS),
        st.tuples(st.just("raise"), st.sampled_from(sorted(ERRORS) + ["panic"])),
        st.tuples(st.just("reenter"), st.integers(0, 7)),
        st.tuples(st.just("mutate"), st.integers(0, 5)),
        st.tuples(st.just("gc"), RETURNS),
        st.tuples(st.just("thread"), RETURNS),
        st.tuples(st.just("fork"), st.sampled_from(["hook", "thread"])),
    )


CHILD_SECONDS = 20  # a forked child that takes this long has hung


def fork_and_wait():
    """Forks a child that logs, prints and builds, waits for it a bounded time,
    and checks that its lines came out, whatever this thread held back."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        pid = os.fork()
    if pid == 0:
        try:
            os.dup2(write_end, 1)
            kelto.main_entry()
            try:
                NumOf([Depends("child"), object()])
            except TypeError:
                pass
            assert IfThen(Depends("a"), NumOf([Depends("b")]) >= 1).cond.on == "a"
        except BaseException:  # noqa: B036 - whatever failed, the child reports it by its status
            os._exit(3)
        os._exit(0)
    os.close(write_end)
    try:
        deadline = time.monotonic() + CHILD_SECONDS
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                State.child_faults.append("a forked child hung")
                return
            time.sleep(0.002)
        if os.waitstatus_to_exitcode(done[1]) != 0:
            State.child_faults.append(f"a forked child ended with status {os.waitstatus_to_exitcode(done[1])}")
        written = os.read(read_end, 1 << 16)  # a few lines: all there once the child has ended
        if not (written.startswith(b"kelto entrypoint\n") and written.count(b"\n") == 2
                and b"cannot convert '<class 'object'>' to Constraint" in written):
            State.child_faults.append(f"a forked child wrote {written!r}")
    finally:
        os.close(read_end)


def fork_while_logging(where):
    """Forks (once per example) while another thread writes log lines, from
    this thread or from a second one."""
    if State.forked:
        return 4
    State.forked = True
    stop = threading.Event()

    def chatter():
        while not stop.is_set():
            try:
                NumOf([object()])
            except TypeError:
                pass

    logger = threading.Thread(target=chatter)
    logger.start()
    try:
        if where == "hook":
            try:  # a line this thread holds back if the hook runs inside a borrow
                NumOf([object()])
            except TypeError:
                pass
            fork_and_wait()
        else:
            forker = threading.Thread(target=fork_and_wait)
            forker.start()
            forker.join()
    finally:
        stop.set()
        logger.join()
    return 4


class Context:
    """The containers and target of the call in progress, for hooks to attack."""

    def __init__(self):
        self.containers = []
        self.target = None
        self.hostiles = []
        self.expected = {}


def run_behaviour(how, self, ctx):
    kind, arg = how
    if kind == "return":
        return arg
    if kind == "raise":
        if arg == "panic":
            raise_panic()
        raise_error(arg)
    if kind == "gc":
        gc.collect()
        return arg
    if kind == "fork":
        return fork_while_logging(arg)
    if kind == "thread":
        worker = threading.Thread(target=lambda: NumOf([Depends("t"), Maximize(1)]) >= 1)
        worker.start()
        worker.join()
        return arg
    if kind == "mutate":
        for container in ctx.containers:
            if arg == 0:
                container.clear()
            elif arg == 1 and isinstance(container, list):
                container[:] = [self, 1] * 3
            elif arg == 2 and isinstance(container, dict):
                container.update({f"k{n}": self for n in range(8)})
                State.panic_possible = True  # an option dict that changes size mid-walk panics
        if arg == 3:
            # The dict a `Cls.__new__(Cls, **kw)` call binds from, found the hard way.
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and referrer is not self.__dict__:
                    referrer.clear()
        if arg == 4 and ctx.target is not None:
            for field in FIELDS.get(type(ctx.target), ())[:1]:
                try:
                    setattr(ctx.target, field, 7 if field != "op" else CmpType.Less)
                except (TypeError, RuntimeError):
                    pass
        if arg == 5:
            ctx.hostiles.clear()
            ctx.target = None
        for container in ctx.containers:
            if isinstance(container, dict):
                State.panic_possible = True
        return 1
    # Re-enter kelto, through the hostile object itself, a bounded number of levels.
    if State.depth > 3:
        return 2
    State.depth += 1
    try:
        target = ctx.target
        ops = [
            lambda: Depends("a") < self, lambda: NumOf([self, 1]), lambda: Maximize(self),
            lambda: repr(target), lambda: setattr(target, FIELDS[type(target)][0], self),
            lambda: PackageOutline("p", [self], {"k": self}), lambda: Version(self), lambda: kelto.main_entry(),
        ]
        raised = len(State.interrupts)
        try:
            ops[arg]()
        except PanicException:
            State.panic_possible = True
            raise
        except BaseException:  # noqa: B036 - whatever the inner call raised is fine
            del State.interrupts[raised:]  # caught here, by us
    finally:
        State.depth -= 1
    return 3


HOOKS = ("__index__", "__float__", "__bool__", "__len__", "__iter__", "__getitem__", "__str__", "__repr__",
         "__eq__", "__lt__", "__ge__")


@st.composite
def hostile_recipe(draw):
    return {
        "module": draw(st.sampled_from([None, 5, 1.5, b"numpy", "numpy", "\ud800", "", "builtins", "x" * 5000])),
        "name": draw(st.sampled_from(["Plain", "bool", "bool_", "x" * 5000])),
        "qualname": draw(st.sampled_from([None, "", "\ud800", "a.b", "<odd>"])),
        "hooks": draw(st.dictionaries(st.sampled_from(HOOKS), behaviour(), max_size=4)),
        "meta_str": draw(st.none() | behaviour()),
        "base": draw(st.sampled_from([object, int, float, str, list])),
    }


def make_hostile(recipe, ctx):
    namespace = {"__module__": recipe["module"]}
    if recipe["qualname"] is not None:
        namespace["__qualname__"] = recipe["qualname"]
    for hook, how in recipe["hooks"].items():
        if hook == "__getitem__":
            def hook_fn(self, index, how=how):
                # Iteration by index ends at the first IndexError: keep sequences finite.
                if isinstance(index, int) and index >= 4:
                    raise IndexError(index)
                return run_behaviour(how, self, ctx)
        elif hook == "__iter__":
            def hook_fn(self, how=how):
                items = run_behaviour(how, self, ctx)
                return iter([self, 1] if not isinstance(items, (list, tuple)) else items)
        else:
            def hook_fn(self, *args, how=how):
                return run_behaviour(how, self, ctx)
        namespace[hook] = hook_fn
    meta = type
    if recipe["meta_str"] is not None:
        how = recipe["meta_str"]
        meta = type("Meta", (type,), {"__str__": lambda cls: run_behaviour(how, cls, ctx),
                                      "__repr__": lambda cls: run_behaviour(how, cls, ctx)})
    try:
        cls = meta(recipe["name"], (recipe["base"],), namespace)
        obj = cls() if recipe["base"] is object else cls(1 if recipe["base"] in (int, float) else ())
    except BaseException:  # noqa: B036 - a recipe the interpreter refuses: plain object instead
        return object()
    ctx.hostiles.append(obj)
    return obj


BENIGN = st.sampled_from([True, 3, 2.5, "text", Version("1.0")]) | st.builds(
    lambda n: Depends(n), st.sampled_from(["a", "b"])) | st.just(None)


def argument(ctx):
    leaf = st.one_of(BENIGN, hostile_recipe().map(lambda r: make_hostile(r, ctx)))

    def container(items, kind):
        value = list(items) if kind == "list" else tuple(items) if kind == "tuple" else dict(
            (f"k{i}", v) for i, v in enumerate(items))
        ctx.containers.append(value)
        return value

    return st.one_of(leaf, st.builds(container, st.lists(leaf, max_size=4),
                                     st.sampled_from(["list", "tuple", "dict"])))


CONSTRUCTORS = {cls: params for cls in ALL_CLASSES if (params := constructor_params(cls)) is not None}
OPERATORS = ("<", "<=", "==", "!=", ">", ">=")


def fresh_target(cls):
    return sample(cls)


def call_entry(data, ctx):
    entry = data.draw(st.sampled_from(["construct", "new", "set", "get", "compare", "if_then", "text", "abuse"]))
    if entry in ("construct", "new"):
        cls = data.draw(st.sampled_from(sorted(CONSTRUCTORS, key=lambda c: c.__name__)))
        names = CONSTRUCTORS[cls]
        args = [data.draw(argument(ctx)) for _ in names]
        if cls is Cmp and data.draw(st.booleans()):
            args[2] = data.draw(st.sampled_from([CmpType.Less, CmpType.Equal]))
        split = data.draw(st.integers(0, len(names)))
        extra = data.draw(st.dictionaries(st.sampled_from(["\ud800", "zz", "a\x00b"]), argument(ctx), max_size=1))
        # What a field must read back when its argument was a plain Depends.
        ctx.expected = {name: arg.on for name, arg in zip(names, args) if type(arg) is Depends}
        positional = tuple(args[:split])
        kwargs = dict(zip(names[split:], args[split:]))
        if cls is PackageOutline:
            kwargs.update(extra)
        ctx.containers.append(kwargs)
        note(f"{entry} {cls.__name__} positional={positional!r:.200} keywords={sorted(kwargs)}")
        args.clear()  # from here on only the call's own tuple and dict hold the arguments
        if entry == "new":
            return cls.__new__(cls, *positional, **kwargs)
        return cls(*positional, **kwargs)
    if entry == "abuse":
        return abuse(data)
    cls = data.draw(st.sampled_from(CONSTRAINT_CLASSES))
    target = ctx.target = fresh_target(cls)
    arg = data.draw(argument(ctx))
    note(f"{entry} on {cls.__name__} with {arg!r:.200}")
    if entry == "set":
        setattr(target, data.draw(st.sampled_from(FIELDS[cls])), arg)
        return target
    if entry == "get":
        return getattr(target, data.draw(st.sampled_from(FIELDS[cls])))
    if entry == "compare":
        op = data.draw(st.sampled_from(OPERATORS))
        left, right = (target, arg) if data.draw(st.booleans()) else (arg, target)
        return eval(f"left {op} right", {"left": left, "right": right})  # noqa: S307 - a fixed operator
    if entry == "if_then":
        return (Depends("a") == True).if_then(arg)  # noqa: E712
    return repr(target), str(target)


def abuse(data):
    """Ways to get an instance no constructor built; each must be refused, and
    whatever does come back must still read whole."""
    cls = data.draw(st.sampled_from(ALL_CLASSES))
    how = data.draw(st.sampled_from(["replace __new__", "object.__new__", "__class__", "replace slot"]))
    note(f"abuse {cls.__name__}: {how}")
    if how == "replace __new__":
        cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
        return cls()
    if how == "object.__new__":
        return object.__new__(cls)
    if how == "__class__":
        victim = Maximize(1)
        victim.__class__ = cls
        return victim
    cls.__repr__ = lambda self: "replaced"
    return cls


def read_whole(result):
    """Reads every field and text of what came back, without recursion."""
    pending = [result]
    while pending:
        item = pending.pop()
        if isinstance(item, (list, tuple)):
            pending.extend(item)
            continue
        if isinstance(item, CONSTRAINT_CLASSES):
            assert isinstance(repr(item), str) and isinstance(str(item), str)
            for field in FIELDS[type(item)]:
                pending.append(getattr(item, field))
            try:
                assert isinstance(item == 1, (Cmp, bool))
            except NotImplementedError:
                pass  # a typed comparison the type check refuses
        elif isinstance(item, (Version, CmpType)):
            assert isinstance(repr(item), str)
        elif isinstance(item, str):
            item.encode("utf-8", "surrogatepass")


def raised_in_python(error):
    """True when the error's innermost frame is Python code below the entry
    (a hook), not the entry's own call site."""
    tb = error.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_name not in ("call_entry", "abuse")


@settings(deadline=None, database=None, suppress_health_check=list(HealthCheck), max_examples=200)
@given(st.data())
def fuzz_one(data):
    ctx = Context()
    State.panic_possible = False
    State.depth = 0
    State.interrupts = []
    State.forked = False
    State.child_faults = []
    judge(data, ctx)
    assert not State.child_faults, State.child_faults


def judge(data, ctx):
    try:
        result = call_entry(data, ctx)
    except PanicException:
        assert State.panic_possible, "a panic that no hook caused"
        return
    except BaseException as error:  # noqa: B036 - judged below
        raised_by_hook = any(error is i or type(error) is type(i) for i in State.interrupts)
        if State.interrupts:
            assert raised_by_hook, f"{State.interrupts!r} became {error!r}"
        else:
            assert isinstance(error, Exception), f"{error!r} that no hook raised"
            assert type(error) in KELTO_ERRORS or raised_in_python(error), f"{type(error).__name__}: {error}"
        return
    assert not State.interrupts, f"{State.interrupts!r} were swallowed"
    for field, name in ctx.expected.items():
        if field in FIELDS.get(type(result), ()):
            assert getattr(result, field).on == name, f"{field} came back changed"
    read_whole(result)


def capture_stdout_in_process():
    """Sends file descriptor 1 into a pipe that a thread of this process drains,
    as in-process output capture does: a write that holds the interpreter
    while the pipe is full would wait for ever."""
    read_end, write_end = os.pipe()
    os.dup2(write_end, 1)
    os.close(write_end)

    def drain():
        while os.read(read_end, 1 << 16):
            pass

    threading.Thread(target=drain, daemon=True).start()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args(argv)
    capture_stdout_in_process()
    try:
        kelto.init_tracing()  # refusals log too, names and all (stdout may go nowhere)
    except BaseException:  # noqa: B036 - tracing was on already
        pass
    started = time.monotonic()
    rounds = 0
    while time.monotonic() - started < args.seconds:
        faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
        fuzz_one()
        rounds += 1
    faulthandler.cancel_dump_traceback_later()
    elapsed = time.monotonic() - started
    print(f"boundary fuzz: {rounds * 200} examples in {elapsed:.0f} s, no finding", file=sys.stderr)


if __name__ == "__main__":
    main()
