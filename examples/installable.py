"""`kelto-debian installable` from a source checkout, without installing the
tool's wheel: python examples/installable.py [INDEX...] [--broken]
[--explain NAME... | --explain-all] [--format text|yaml]."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "kelto-debian"))

from kelto_debian.cli import entry  # noqa: E402

sys.argv[1:1] = ["installable"]
entry()
