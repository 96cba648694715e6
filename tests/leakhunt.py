"""A pytest plugin that hunts reference and memory-block leaks in every test, the
way CPython's `regrtest -R` does.

Load it with `-p leakhunt` (tests/ on sys.path) under a debug interpreter. Each
test function that passed is called again with the same fixture values: first
`--leakhunt-warmup` times to fill caches and free lists, then `--leakhunt-rounds`
times, measuring sys.gettotalrefcount() and sys.getallocatedblocks() around each
call. A test leaks when every measured call grew a count by at least one; jitter
that goes up and down is not a leak.

Not hunted: tests marked `no_leakhunt` (process-wide state that a second call
changes, such as init_tracing), tests that run their subject in a child process
(the `run_python` fixture: nothing of theirs lives in this process), tests marked
`leaks` (they measure their own calls) and Hypothesis tests (Hypothesis keeps
growing caches of its own).

Judged by memory blocks only: tests marked `no_refhunt`, which call an extension
built for the release interpreter. Its Py_DECREF does not update the debug
interpreter's reference total, so every reference it is handed and drops (each
item it iterates over, each iterator it makes) adds one to the total for good,
with no object left behind; the memory blocks still show a real leak.
"""

import gc
import re
import sys

import pytest


def pytest_addoption(parser):
    group = parser.getgroup("leakhunt")
    group.addoption("--leakhunt-warmup", type=int, default=2, help="unmeasured extra calls per test")
    group.addoption("--leakhunt-rounds", type=int, default=3, help="measured extra calls per test")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_leakhunt: the leak hunter does not repeat this test (it changes process-wide state)")
    config.addinivalue_line(
        "markers", "no_refhunt: the leak hunter judges this test by memory blocks only (it calls an extension "
                   "built for the release interpreter, whose dropped references the debug one never counts down)")
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("the leak hunter needs a debug interpreter (sys.gettotalrefcount)")


def _skipped(item):
    if any(any(item.iter_markers(name)) for name in ("no_leakhunt", "leaks")):
        return True
    if "run_python" in getattr(item, "fixturenames", ()):
        return True
    return getattr(getattr(item, "obj", None), "is_hypothesis_test", False)


def _forget_raises(value, depth=0):
    """Raising one exception instance again chains a new traceback onto its old
    one (and sets its __context__): a test whose parameters hold exception
    instances, or callbacks that raise them, grows on every repetition by the
    interpreter's own rules. Reset those before each call."""
    if depth > 2:
        return
    if isinstance(value, BaseException):
        value.__traceback__ = None
        value.__context__ = None
    elif isinstance(value, (tuple, list)):
        for item in value:
            _forget_raises(item, depth + 1)
    elif not isinstance(value, type):
        for cell in getattr(value, "__closure__", None) or ():
            try:
                _forget_raises(cell.cell_contents, depth + 1)
            except ValueError:  # an empty cell
                pass
        attributes = getattr(value, "__dict__", None)
        if isinstance(attributes, dict):
            for attribute in list(attributes.values()):
                _forget_raises(attribute, depth + 1)


def _counts():
    re.purge()
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    result = yield
    if _skipped(pyfuncitem):
        return result
    config = pyfuncitem.config
    args = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}

    def call():
        for value in args.values():
            _forget_raises(value)
        pyfuncitem.obj(**args)

    for _ in range(config.getoption("leakhunt_warmup")):
        call()
    ref_deltas, block_deltas = [], []
    for _ in range(config.getoption("leakhunt_rounds")):
        refs, blocks = _counts()
        call()
        refs_after, blocks_after = _counts()
        ref_deltas.append(refs_after - refs)
        block_deltas.append(blocks_after - blocks)
    judged = [("memory blocks", block_deltas)]
    if not any(pyfuncitem.iter_markers("no_refhunt")):
        judged.insert(0, ("references", ref_deltas))
    leaks = [f"{what} grew by {deltas} per call" for what, deltas in judged if min(deltas) >= 1]
    if leaks:
        pytest.fail("leak: " + "; ".join(leaks), pytrace=False)
    return result
