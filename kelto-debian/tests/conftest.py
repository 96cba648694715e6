"""The Debian tool's tests: run by their own step against the installed
wheels (kelto and kelto-debian), or from a checkout with the tool's folder
put on the path here when it is not installed."""

import os
import sys

import pytest

import kelto

try:
    import kelto_debian
except ImportError:  # a checkout: the tool's source folder, in this one place
    sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir)))
    import kelto_debian

# The folders that hold the kelto and the tool this process imported, so a
# child finds the same ones (build tree, wheel install) and not others.
KELTO_DIR = os.path.dirname(os.path.abspath(kelto.__file__))
TOOL_DIR = os.path.dirname(os.path.dirname(os.path.abspath(kelto_debian.__file__)))
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([KELTO_DIR, TOOL_DIR, os.environ.get("PYTHONPATH", "")]))


def command(subcommand, *args):
    """The argv of `kelto-debian SUBCOMMAND ARGS` run by this interpreter."""
    return [sys.executable, "-m", "kelto_debian", subcommand, *args]


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", help="also run the tests marked slow")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--slow"):
        return
    skip = pytest.mark.skip(reason="slow: runs with --slow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: minutes-long runs over whole indexes, only with --slow")
    config.addinivalue_line("markers", "external: compares with outside tools (dose-distcheck, dpkg)")
    config.addinivalue_line("markers", "no_refhunt: not repeated by kelto's leak hunter")
