"""A bounded run of the boundary fuzzer (boundary_fuzz.py) in a child process,
so a crash or a hang is a failed test and not a dead test run. Longer runs:
`python boundary_fuzz.py --seconds N` (tools/dev check runs it for 30 minutes
under AddressSanitizer and under the debug interpreter)."""

import os

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "boundary_fuzz.py")


@pytest.mark.no_leakhunt
def test_boundary_fuzz(run_python):
    seconds = os.environ.get("KELTO_BOUNDARY_FUZZ_SECONDS", "15")
    code = f"import sys; sys.argv = [{SCRIPT!r}, '--seconds', {seconds!r}]; exec(open({SCRIPT!r}).read())"
    rc, _, err = run_python(code, timeout=float(seconds) + 600)
    tail = err.decode(errors="replace")[-4000:]
    assert rc == 0, tail
    assert "no finding" in tail
