"""The published artefacts in dist/ (tools/dev wheel) and the committed
generated sources. These tests run with the root's interpreter, not kelto's."""

import venv

import pytest

def pytest_configure(config):
    config.addinivalue_line("markers", "sdist: builds the sdist into a fresh environment (minutes)")


@pytest.fixture
def fresh_venv(tmp_path):
    """A new virtual environment; returns its python. It sees the root's
    packages (scikit-build-core for the sdist), never a kelto."""
    venv.create(tmp_path / "venv", system_site_packages=True, with_pip=True)
    return tmp_path / "venv" / "bin" / "python"
