"""Writes the type stubs of kelto (a PEP 561 stub-only package, kelto-stubs/)
from the surface description that kelto_introspect derives from the module's
own class and function descriptions (their stub view: the types a checker
should know, where the introspection records say typing.Any).

    python gen_stubs.py SURFACE_JSON OUT_DIR

Every class is final (none can be subclassed) and unhashable when it compares.
A class without a constructor gets a __new__ that no call can satisfy. A
parameter with an "alternative" type makes the signature an overload pair: the
declared types first, then the alternatives (a dict of one value type, say
dict[str, bool], is not a dict[str, bool | int | ...], since dict is invariant).
"""

import json
import os
import re
import sys

HEADER = "# Generated from kelto's class and function descriptions. Do not edit.\n"
COMPARISONS = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"}

# The unions the descriptions name: what a constraint field reads as, what the
# conversions accept for a constraint, the option values. Defined in the
# module of the constraint classes; the others import what they use. The
# conversions also take numpy booleans and any object with __index__ or
# __float__, but the unions name the builtin types only: those are what scripts
# pass and what reads back, and the errors a checker prints stay readable.
# Other numbers go through int(), float() or bool() first.
ALIASES = {
    "_OptionValue": "bool | int | float | str | Version",
    "_Constraint": "Cmp | Depends | IfThen | Maximize | Minimize | NumOf | SpecOption | Value",
    "_ConstraintLike": "_Constraint | _OptionValue",
}
ALIAS_HOME = "constraint"
TYPE_VARS = {"_O": "_OptionValue", "_D": "_OptionValue | None"}


def used(name, text):
    return re.search(rf"(?<![\w.]){re.escape(name)}\b", text) is not None


def parameters(arguments, receiver=True, alternative=False):
    names = [a["name"] for a in arguments.get("posonlyargs", [])] if receiver else []
    text = names + (["/"] if names and arguments.get("args") else [])
    for arg in arguments.get("args", []):
        annotation = arg.get("alternative", arg["annotation"]) if alternative else arg["annotation"]
        piece = f"{arg['name']}: {annotation}"
        if "default" in arg:
            piece += f" = {arg['default']}"
        text.append(piece)
    return ", ".join(text)


def member_lines(record):
    name, arguments = record["name"], record["arguments"]
    decorators = record.get("decorators", [])
    returns = "typing.Self" if name == "__new__" else record["returns"]
    # object.__eq__ takes any object and answers bool; these build constraints.
    ignore = "  # type: ignore[override]" if name in ("__eq__", "__ne__") else ""
    if any("alternative" in a for a in arguments.get("args", [])):
        lines = []
        for alternative in (False, True):
            lines.append("    @typing.overload")
            lines.append(f"    def {name}({parameters(arguments, alternative=alternative)}) -> {returns}: ...")
        return lines
    lines = [f"    @{d}" for d in decorators]
    lines.append(f"    def {name}({parameters(arguments)}) -> {returns}: ...{ignore}")
    return lines


def class_lines(entry):
    name = entry["class"]["name"]
    lines = ["@typing.final", f"class {name}:"]
    for attribute in entry["attributes"]:
        lines.append(f"    {attribute}: typing.ClassVar[{name}]")
    if any(m["name"] in COMPARISONS for m in entry["members"]):
        # Comparisons build constraints instead of answering: not hashable.
        lines.append("    __hash__: typing.ClassVar[None]  # type: ignore[assignment]")
    members = entry["stub_members"]
    if not any(m["name"] == "__new__" for m in members):
        lines.append("    # No constructor: instances come from kelto, and no call type-checks.")
        lines.append("    def __new__(cls, never: typing.Never, /) -> typing.Self: ...")
    for record in members:
        lines += member_lines(record)
    return lines


def imports(body, module, homes):
    """The import lines for the names `body` uses that live elsewhere."""
    lines = ["import typing\n"]
    if used("Sequence", body):
        lines.append("from collections.abc import Sequence\n")
    wanted = {}
    for name, home in homes.items():
        if home != module and used(name, body):
            wanted.setdefault(home, []).append(name)
    for home in sorted(wanted):
        names = ", ".join(sorted(wanted[home]))
        lines.append(f"from .{home} import {names}\n")
    return lines


def definitions(body, module):
    lines = []
    if module == ALIAS_HOME:
        lines += [f"{name}: typing.TypeAlias = {value}\n" for name, value in ALIASES.items()]
    lines += [f'{name} = typing.TypeVar("{name}", bound={bound})\n' for name, bound in TYPE_VARS.items()
              if used(name, body)]
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
    for function in surface["stub_functions"]:
        root.append(f"def {function['name']}({parameters(function['arguments'], False)}) -> {function['returns']}: ...\n")
    write(os.path.join(out_dir, "__init__.pyi"), "".join(root))

    package = [HEADER] + [f"from . import {name} as {name}\n" for name in submodules]
    write(os.path.join(out_dir, "package", "__init__.pyi"), "".join(package))

    homes = {alias: ALIAS_HOME for alias in ALIASES}
    for submodule, name in zip(surface["submodules"], submodules):
        homes.update({entry["class"]["name"]: name for entry in submodule["classes"]})
    for submodule, name in zip(surface["submodules"], submodules):
        body = "".join("\n\n" + "\n".join(class_lines(entry)) + "\n" for entry in submodule["classes"])
        defined = definitions(body, name)
        # The imports serve the class bodies and the definitions above them.
        needed = imports("".join(defined) + body, name, homes)
        text = [HEADER] + needed + (["\n"] + defined if defined else []) + [body]
        write(os.path.join(out_dir, "package", f"{name}.pyi"), "".join(text))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
