"""Generated sources committed to the repository match their generator."""

import subprocess
import sys

from artefacts import REPO


def test_unicode_tables_match_the_unicode_data(tmp_path):
    # Regenerated from the root's Unicode Character Database (unicode-data);
    # a difference means the generator or the database changed: commit the result.
    fresh = tmp_path / "unicode_tables.cpp"
    subprocess.run([sys.executable, str(REPO / "tools/gen_unicode_tables.py"), "/usr/share/unicode", str(fresh)],
                   check=True)
    committed = REPO / "src/package/version/unicode_tables.cpp"
    assert fresh.read_text() == committed.read_text(), \
        f"{committed} is stale: tools/gen_unicode_tables.py /usr/share/unicode {committed}"
