"""Where the artefacts are, and a checked subprocess call."""

import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
DIST = REPO / "dist"


def only(pattern):
    found = sorted(DIST.glob(pattern))
    if len(found) != 1:
        pytest.fail(f"expected one {pattern} in {DIST} (tools/dev wheel makes them), found {found}")
    return found[0]


def run(*command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{command} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done.stdout
