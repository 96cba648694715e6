"""Writes the type stubs of kelto (a PEP 561 stub-only package, kelto-stubs/)
from the surface description that kelto_introspect derives from the module's
own class and function descriptions.

    python gen_stubs.py SURFACE_JSON OUT_DIR
"""

import json
import os
import sys

HEADER = "# Generated from kelto's class and function descriptions. Do not edit.\n"
COMPARISONS = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"}


def parameters(arguments, receiver=True):
    names = [a["name"] for a in arguments.get("posonlyargs", [])] if receiver else []
    text = names + (["/"] if names and arguments.get("args") else [])
    for arg in arguments.get("args", []):
        piece = f"{arg['name']}: {arg['annotation']}"
        if "default" in arg:
            piece += f" = {arg['default']}"
        text.append(piece)
    if "kwarg" in arguments:
        text.append(f"**{arguments['kwarg']['name']}: typing.Any")
    return ", ".join(text)


def member_lines(record):
    name, arguments = record["name"], record["arguments"]
    decorators = record.get("decorators", [])
    returns = "typing.Self" if name == "__new__" else record["returns"]
    lines = [f"    @{d}" for d in decorators]
    ignore = "  # type: ignore[override]" if name in COMPARISONS else ""
    lines.append(f"    def {name}({parameters(arguments)}) -> {returns}: ...{ignore}")
    return lines


def class_lines(entry):
    lines = [f"class {entry['class']['name']}:"]
    for attribute in entry["attributes"]:
        lines.append(f"    {attribute}: typing.ClassVar[{entry['class']['name']}]")
    names = {m["name"] for m in entry["members"]}
    if names & COMPARISONS:
        # Comparisons build constraints instead of answering: not hashable.
        lines.append("    __hash__: typing.ClassVar[None]  # type: ignore[assignment]")
    for record in entry["members"]:
        lines += member_lines(record)
    if len(lines) == 1:
        lines.append("    ...")
    return lines


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def main(surface_path, out_dir):
    with open(surface_path, encoding="utf-8") as f:
        surface = json.load(f)
    submodules = [s["key"].rsplit(".", 1)[1] for s in surface["submodules"]]

    root = [HEADER, "from . import package as package\n"]
    for function in surface["functions"]:
        root.append(f"def {function['name']}({parameters(function['arguments'], False)}) -> {function['returns']}: ...\n")
    write(os.path.join(out_dir, "__init__.pyi"), "".join(root))

    package = [HEADER] + [f"from . import {name} as {name}\n" for name in submodules]
    write(os.path.join(out_dir, "package", "__init__.pyi"), "".join(package))

    for submodule, name in zip(surface["submodules"], submodules):
        body = [HEADER, "import typing\n"]
        for entry in submodule["classes"]:
            body.append("\n\n" + "\n".join(class_lines(entry)) + "\n")
        write(os.path.join(out_dir, "package", f"{name}.pyi"), "".join(body))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
