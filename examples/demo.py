"""`kelto-debian describe` from a source checkout, without installing the
tool's wheel: python examples/demo.py [INDEX...] [--limit N] [--show NAME]."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "kelto-debian"))

from kelto_debian.cli import entry  # noqa: E402

sys.argv[1:1] = ["describe"]
entry()
