import kelto
from elf_symbols import defined_dynamic_symbols


def test_only_the_module_entry_is_exported():
    # Hidden visibility and the export map keep every other symbol inside,
    # including our operator new, which must never replace the process's.
    exported = {s.name for s in defined_dynamic_symbols(kelto.__file__)}
    assert exported == {"PyInit_kelto"}
