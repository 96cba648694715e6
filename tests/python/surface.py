"""kelto's Python surface as one document: the introspection records that the
built file exports (read without importing it), then what the live module shows
of each module, class and function: names, documentation, text signatures, own
members and flags. tests/python/surface.json is the checked-in copy that
test_introspection.py compares with this build's. After an intended change of
the surface, write the copy anew and review its diff:

    tools/dev build
    tools/dev run env PYTHONPATH=build/main python3 tests/python/surface.py --update
"""

import json
import os
import struct
import sys

import kelto
import kelto.package.constraint
import kelto.package.outline
import kelto.package.version
from elf_symbols import defined_dynamic_symbols, read_symbol

PREFIX = "PYO3_INTROSPECTION_1_"
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "surface.json")
MODULES = ["kelto", "kelto.package", "kelto.package.outline", "kelto.package.constraint", "kelto.package.version"]
# The type flags worth seeing: Py_TPFLAGS_DISALLOW_INSTANTIATION, _IMMUTABLETYPE, _BASETYPE.
FLAGS = {"no instantiation": 1 << 7, "immutable": 1 << 8, "subclassable": 1 << 10}


def load_records():
    """The exported records in symbol order, each as its JSON text; checks the
    layout of each (4-byte aligned, a u32 length, compact JSON)."""
    records = []
    for symbol in defined_dynamic_symbols(kelto.__file__):
        if not symbol.name.startswith(PREFIX):
            continue
        data = read_symbol(kelto.__file__, symbol)
        assert symbol.value % 4 == 0, symbol.name
        length, = struct.unpack_from("<I", data)
        assert length == len(data) - 4, symbol.name
        text = data[4:].decode()
        assert ": " not in text and ", " not in text, "JSON must be compact"
        records.append(json.loads(text))
    return records


def _record_order(classes):
    def key(record):
        owner = classes.get(record.get("parent"), record["name"] if record["type"] == "class" else "")
        return owner, record["type"] == "function", record["name"], record.get("decorators", [])
    return key


def _class(cls):
    described = {
        "name": cls.__name__, "qualname": cls.__qualname__, "module": cls.__module__, "str": str(cls),
        "bases": [base.__name__ for base in cls.__bases__],
        "doc": cls.__doc__, "text_signature": cls.__text_signature__,
        "flags": [name for name, bit in FLAGS.items() if cls.__flags__ & bit],
        "hashable": cls.__hash__ is not None,
        "members": {name: type(value).__name__ for name, value in sorted(vars(cls).items())
                    if name not in ("__doc__", "__module__") and not isinstance(value, cls)},
    }
    instances = {name: [int(value), repr(value), str(value)] for name, value in vars(cls).items()
                 if isinstance(value, cls)}
    if instances:
        described["instances"] = instances
    return described


def _function(fn):
    return {"type": type(fn).__name__, "name": fn.__name__, "qualname": fn.__qualname__, "module": fn.__module__,
            "self": fn.__self__.__name__, "doc": fn.__doc__, "text_signature": fn.__text_signature__}


def _module(name):
    module = sys.modules[name]
    described = {"name": module.__name__, "doc": module.__doc__, "all": module.__all__,
                 "attributes": sorted(n for n in vars(module) if not n.startswith("__"))}
    for attribute in module.__all__:
        value = getattr(module, attribute)
        if isinstance(value, type):
            described.setdefault("classes", {})[attribute] = _class(value)
        elif callable(value):
            described.setdefault("functions", {})[attribute] = _function(value)
    return described


def surface_text(records):
    """The document: records one to a line, sorted by owner, then the modules."""
    classes = {r["id"]: r["name"] for r in records if r["type"] == "class"}
    lines = [json.dumps(r, separators=(",", ":")) for r in sorted(records, key=_record_order(classes))]
    modules = json.dumps({name: _module(name) for name in MODULES}, indent=1)
    return '{"records": [\n' + ",\n".join(lines) + '\n],\n"modules": ' + modules + "}\n"


if __name__ == "__main__":
    if sys.argv[1:] != ["--update"]:
        sys.exit(f"usage: {sys.argv[0]} --update  (writes {GOLDEN})")
    records = load_records()
    if not records:
        sys.exit(f"{kelto.__file__} carries no introspection records: use the main build")
    with open(GOLDEN, "w", encoding="utf-8") as f:
        f.write(surface_text(records))
    print(f"wrote {GOLDEN}")
