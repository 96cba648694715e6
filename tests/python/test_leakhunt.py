"""The leak hunter (tests/leakhunt.py) judges what it is told to: a test whose
references alone are exempt still fails on memory blocks, and the exemption
reaches no other test. Runs under the debug interpreter (`-m leaks`)."""

import os
import re
import subprocess
import sys

import pytest

pytestmark = pytest.mark.leaks

TESTS_DIR = os.path.join(os.path.dirname(__file__), os.pardir)

# An extra reference to an object that already exists grows the reference
# total and no memory block, as a release-built extension's dropped references do.
HUNTED = '''
import ctypes
import pytest

held, kept = object(), []

def test_reference_growth():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(held))

@pytest.mark.no_refhunt
def test_reference_growth_exempt():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(held))

@pytest.mark.no_refhunt
def test_block_growth_exempt_from_references_only():
    kept.append(object())
'''


def test_no_refhunt_exempts_references_and_nothing_else(tmp_path):
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug interpreter")
    (tmp_path / "test_hunted.py").write_text(HUNTED)
    # Without third-party plugins, which take seconds to load under the debug interpreter.
    env = dict(os.environ, PYTEST_DISABLE_PLUGIN_AUTOLOAD="1",
               PYTHONPATH=os.pathsep.join([TESTS_DIR, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-m", "pytest", "-p", "leakhunt", "-p", "no:cacheprovider", "-q", "-rA",
                          "--rootdir", str(tmp_path), str(tmp_path / "test_hunted.py")],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
    outcomes = {name: outcome for outcome, name in re.findall(r"^(PASSED|FAILED) \S*::(\w+)", out.stdout, re.M)}
    assert outcomes == {"test_reference_growth": "FAILED", "test_reference_growth_exempt": "PASSED",
                        "test_block_growth_exempt_from_references_only": "FAILED"}, out.stdout
    reports = dict(re.findall(r"^_+ (\w+) _+\nleak: (.*)$", out.stdout, re.M))
    assert reports["test_reference_growth"].startswith("references grew by"), out.stdout
    assert reports["test_block_growth_exempt_from_references_only"].startswith("memory blocks grew by"), out.stdout
