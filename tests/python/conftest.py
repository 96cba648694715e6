"""Shared fixtures: fresh interpreters for process-wide behaviour, and the
reference-leak check used under the debug interpreter."""

import gc
import os
import subprocess
import sys

import pytest

import kelto

try:
    from hypothesis import settings
except ImportError:  # the suite still runs; the property tests are skipped
    pass
else:
    # No example database: test runs must not leave files in the work tree.
    settings.register_profile("kelto", database=None, deadline=None, max_examples=400)
    settings.load_profile("kelto")


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", help="also run the tests marked slow (tools/dev check)")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--slow"):
        return
    skip = pytest.mark.skip(reason="slow: runs in tools/dev check (--slow)")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


def pytest_collection_finish(session):
    # Under the debug interpreter the leak checks collect garbage around every
    # measurement. Once every test module is imported, what exists belongs to
    # the interpreter, pytest and the test modules, none of it a test's
    # garbage: frozen, it is left out of those collections, which otherwise
    # walk the whole heap each time (the leak hunt ran 40 times slower).
    # Reference and block counts still see every object.
    if hasattr(sys, "gettotalrefcount"):
        gc.collect()
        gc.freeze()


def pytest_configure(config):
    if hasattr(sys, "gettotalrefcount"):
        # Hypothesis asks gc.get_referrers whether something keeps its own
        # global Random alive; frozen referrers are invisible to it, so it
        # would warn that nothing does.
        config.addinivalue_line(
            "filterwarnings", "ignore:It looks like `register_random`:hypothesis.errors.HypothesisWarning")
    config.addinivalue_line("markers", "slow: minutes-long scale tests, run only with --slow")
    config.addinivalue_line("markers", "no_leakhunt: not repeated by the leak hunter (tests/leakhunt.py)")
    config.addinivalue_line(
        "markers", "no_refhunt: judged by memory blocks only by the leak hunter (tests/leakhunt.py)")
    config.addinivalue_line(
        "markers",
        "external: checks kelto's files with outside tools (type checkers, dpkg, the installability "
        "checker); the sanitizer run skips them, since kelto's memory is not what they test",
    )
    config.addinivalue_line(
        "markers",
        "leaks: reference and memory-block leak checks; they need a debug interpreter "
        "(sys.gettotalrefcount) and skip elsewhere",
    )


# The Debian tool's package, kelto-debian/kelto_debian, is imported from its
# source folder: the tests put it on the path in this one place.
KELTO_DEBIAN = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "kelto-debian"))
sys.path.insert(0, KELTO_DEBIAN)
# The commands over it, run as scripts.
EXAMPLES = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples"))

# The folder that holds the kelto this process imported, so a child finds the
# same build (build tree, wheel install or debug build) and not another one.
KELTO_DIR = os.path.dirname(os.path.abspath(kelto.__file__))


def run_python(code, env=None, stdout_closed=False, timeout=60):
    """Run `code` in a fresh `python -X dev -c` and return (returncode, stdout, stderr)
    as bytes.

    The child inherits this environment without NO_COLOR, with PYTHONPATH naming
    the folder of the imported kelto first. Entries of `env` override it; a value
    of None removes the variable. With `stdout_closed` the child starts with file
    descriptor 1 closed, and the returned stdout is whatever reached the pipe
    before that (always empty).
    """
    child_env = dict(os.environ)
    child_env.pop("NO_COLOR", None)
    paths = [KELTO_DIR] + [p for p in child_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    child_env["PYTHONPATH"] = os.pathsep.join(paths)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value

    def close_stdout():
        os.close(1)

    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-c", code],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        env=child_env,
        timeout=timeout,
        preexec_fn=close_stdout if stdout_closed else None,
    )
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture(name="run_python")
def run_python_fixture():
    return run_python


def _growth(fn, repeat):
    gc.collect()
    refs = sys.gettotalrefcount()
    blocks = sys.getallocatedblocks()
    for _ in range(repeat):
        fn()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def assert_no_leak(fn, repeat=500, rounds=4, tolerance=10):
    """Fail if calling `fn` leaks references or memory blocks.

    After a warm-up (type objects, caches and free lists fill on first use),
    `fn` runs `repeat` times in each of `rounds` rounds. As CPython's -R check,
    only growth in every round counts: the minimum growth over the rounds must
    stay within `tolerance`, far below one leaked object per call.
    """
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug interpreter")
    for _ in range(repeat):
        fn()
    ref_growth, block_growth = zip(*(_growth(fn, repeat) for _ in range(rounds)))
    assert min(ref_growth) <= tolerance, f"references grew by {ref_growth} per {repeat} calls"
    assert min(block_growth) <= tolerance, f"memory blocks grew by {block_growth} per {repeat} calls"


@pytest.fixture(name="assert_no_leak")
def assert_no_leak_fixture():
    return assert_no_leak


# The constraint classes have no text slot of their own; the message of a refused
# comparison carries the complete text form of its left side, so wrapping an object
# in a Maximize (which has no comparison type) and comparing it reads that form.
_TEXT_HEAD = "Cannot compare type None from constraint Maximize( "
_TEXT_TAIL = " ) with type Some(Int) from constraint 0 using operator '=='"


def constraint_text(obj):
    """The text form of what `obj` converts to as a constraint."""
    from kelto.package.constraint import Maximize

    with pytest.raises(NotImplementedError) as exc:
        Maximize(obj) == 0  # noqa: B015
    message = str(exc.value)
    # The traceback holds this frame, which holds `exc`: without the del, `obj`
    # stays in that cycle until some later collection, on whatever thread.
    del exc
    assert message.startswith(_TEXT_HEAD) and message.endswith(_TEXT_TAIL), message
    return message[len(_TEXT_HEAD):-len(_TEXT_TAIL)]


@pytest.fixture(name="constraint_text")
def constraint_text_fixture():
    return constraint_text
