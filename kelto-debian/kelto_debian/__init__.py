"""Debian's rules, once: reading a Packages index, the relation grammar,
the version order, and the translation of each package into kelto's
objects, then the installability check over those objects.

`examples/demo.py` and `examples/installable.py` are thin commands over this
package, which lives in `kelto-debian/`; the commands, the tests
(`tests/python/conftest.py`) and the benchmarks (`bench/debian_input.py`)
put that folder on the module path, each in one place.
"""
