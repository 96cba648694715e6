import kelto
from elf_symbols import defined_dynamic_symbols


def test_only_the_entry_and_the_records_are_exported():
    # Hidden visibility and the export map keep every other symbol inside,
    # including our operator new, which must never replace the process's.
    exported = {s.name for s in defined_dynamic_symbols(kelto.__file__)}
    assert "PyInit_kelto" in exported
    others = exported - {"PyInit_kelto"}
    assert all(name.startswith("PYO3_INTROSPECTION_1_") for name in others), others
