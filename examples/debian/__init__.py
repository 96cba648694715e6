"""Debian's rules, once: reading a Packages index, the relation grammar,
the version order, and the translation of each package into kelto's
objects, then the installability check over those objects.

`examples/demo.py` and `examples/installable.py` are thin commands over this
package. It is imported as `debian`, with `examples/` on the module path:
a command in `examples/` has its own folder there; the tests
(`tests/python/conftest.py`) and the benchmarks (`bench/debian_input.py`)
put it there, each in one place.
"""
