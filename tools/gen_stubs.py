"""Writes the type stubs of kelto (a PEP 561 stub-only package, kelto-stubs/)
from the surface description that kelto_introspect derives from the module's
own class and function descriptions (their stub view: the types a checker
should know, where the introspection records say typing.Any), with the
docstrings of docs/reference-prose.md, the prose docs/reference.md is made of.

    python gen_stubs.py SURFACE_JSON PROSE_MD OUT_DIR

Every class is final (none can be subclassed) and unhashable when it compares.
A class without a constructor gets a __new__ that no call can satisfy. A
parameter with an "alternative" type makes the signature an overload pair: the
declared types first, then the alternatives (a dict of one value type, say
dict[str, bool], is not a dict[str, bool | int | ...], since dict is invariant).

What the stubs add to the descriptions, so that a rule reads back as what it
was built from (the classes stay as they are at run time):

- The constraint classes are the classes that compare (their records list
  __eq__). In the stubs they share a base, so that a list of mixed ones joins
  to it rather than to object.
- A constraint class with fields that hold one constraint is generic in them:
  Cmp[Lhs, Rhs], IfThen[Cond, Then], Maximize[Item]. Its constructor, and a
  method that returns such a class from parameters named as its fields, give
  the field the type of the argument, or Value for a plain value; a field the
  parameters leave out is the receiver itself (Cmp.if_then gives
  IfThen[Self, Then]). A bare Cmp means Cmp[AnyConstraint, AnyConstraint]:
  each type parameter defaults to any constraint.
- AnyConstraint, the union of the constraint classes, is the name users write
  for "any constraint". It exists only in the stubs: a script imports it under
  typing.TYPE_CHECKING (stubtest's allowlist names it).
- A comparison gives Cmp[Self, R], where R is what the operand becomes: a
  constraint stays what it is, a plain value becomes a Value.
- An equality that the type check refuses (the operand converts, but its value
  type does not meet the class's) raises NotImplementedError at run time. Left
  out of the stubs, the checkers would hand it to the operand's own __eq__ and
  call it a bool; so it gets an overload of its own that never returns, marked
  deprecated with the reason, which pyright's strict mode reports and mypy
  with its deprecated error code. A Value, typed by the value it holds, may
  meet any operand and refuses none. Orderings need no such overload: an
  operand's own ordering refuses a constraint, and the checkers report that.
- Where a description takes Sequence[X], the module wants a list or a tuple;
  a str is a sequence too but is refused at run time, so the stubs take any
  sequence whose __contains__ accepts any object, which a str's does not.
- A list field (NumOf.of) counts the constraints that hold. A text in it
  converts to a Str value, which neither holds nor fails, so the stubs leave
  str out of what such a list takes: NumOf(["libssl3"]) is a mistake for
  NumOf([Depends("libssl3")]), which both checkers then report.
"""

import itertools
import json
import os
import re
import sys

from gen_reference import parse_prose

HEADER = "# Generated from kelto's class and function descriptions. Do not edit.\n"
COMPARISONS = ["__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"]
OPERATORS = {"__eq__": "==", "__ne__": "!=", "__lt__": "<", "__le__": "<=", "__gt__": ">", "__ge__": ">="}

# The unions the descriptions name: what a constraint field reads as, what the
# conversions accept for a constraint, the option values. Defined in the
# module of the constraint classes; the others import what they use. The
# conversions also take numpy booleans and any object with __index__ or
# __float__, but the unions name the builtin types only: those are what scripts
# pass and what reads back, and the errors a checker prints stay readable.
# Other numbers go through int(), float() or bool() first.
OPTION_VALUE = "bool | int | float | str | Version"
BASE = "_ConstraintBase"
ANY_CONSTRAINT = "AnyConstraint"
ANY_CONSTRAINT_DOC = ('"""Any constraint object: the union of the eight constraint classes, which '
                      "isinstance and match narrow. For the type checkers only: import it under "
                      'typing.TYPE_CHECKING."""')
# What a list field (a count) takes: constraints and the plain values but str.
COUNTED = "_Counted"
COUNTED_VALUE = "_CountedValue"
LIST_LIKE = "_ListLike"
ALIAS_HOME = "constraint"
# What a field reads as when it holds a constraint, or a list of them.
CONSTRAINT_READ = "_Constraint"
LIST_READ = "list[_Constraint]"
# The class a plain value becomes where a constraint is expected.
VALUE_CLASS = "Value"
TYPE_VARS = {"_O": "_OptionValue", "_D": "_OptionValue | None"}
# What a class's comparisons meet as (its "compares_as" in the surface): a value
# type, or ANY_VALUE_TYPE for a class typed by the value it holds (Value).
ANY_VALUE_TYPE = "any"
# The plain operand types that the checkers let stand for a narrower one: a
# bool is an int, and an int or a bool passes for a float.
WIDER_THAN = {"int": ("bool",), "float": ("int", "bool")}
# The Python type of a plain operand of each value type; Unknown has none.
PLAIN_OPERANDS = {"Bool": "bool", "Int": "int", "Float": "float", "Str": "str", "Version": "Version"}

# Only what every sequence has, and a __contains__ that takes any object, which
# a str's does not. (Overloads of __getitem__, or index and count, would make
# mypy infer Any from a list display, and turn away a range.)
LIST_LIKE_PROTOCOL = f'''
_T_co = typing.TypeVar("_T_co", covariant=True)


class {LIST_LIKE}(typing.Protocol[_T_co]):
    """A sequence that is not a str: a list, a tuple or any other sequence."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __iter__(self) -> Iterator[_T_co]: ...
'''


def used(name, text):
    """Whether the code of `text` (not its docstrings) names `name`."""
    code = re.sub(r'"""(?:[^\\]|\\.)*?"""', "", text, flags=re.DOTALL)
    return re.search(rf"(?<![\w.]){re.escape(name)}\b", code) is not None


def docstring(text, indent):
    """A docstring statement for `text` at `indent`, or nothing for no text."""
    if not text:
        return []
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    # A quote next to the delimiters would lengthen them.
    text = re.sub(r'^"|"$', r'\\"', text)
    pad = " " * indent
    lines = text.splitlines()
    if len(lines) == 1:
        return [f'{pad}"""{lines[0]}"""']
    body = [f"{pad}{line}" if line else "" for line in lines[1:]]
    return [f'{pad}"""{lines[0]}'] + body + [f'{pad}"""']


def comparison_operands(cls, compares_as):
    """What a comparison whose left side is `cls` lets through, as the type
    check has it, and whether the orderings take it too: the plain values and
    the classes of the same value type (a class typed by its value meets every
    type an option value can have); booleans take no ordering. `compares_as`
    maps each class to what it compares as, in the module's order."""
    mine = compares_as[cls]
    if mine == ANY_VALUE_TYPE:
        return ["_OptionValue"] + [c for c, theirs in compares_as.items() if theirs == ANY_VALUE_TYPE], True
    plain = PLAIN_OPERANDS.get(mine)
    names = [plain] if plain else []
    names += [c for c, theirs in compares_as.items() if theirs == mine or (plain and theirs == ANY_VALUE_TYPE)]
    return names, mine != "Bool"


def comparison_records(cls, compares_as):
    """The stub view's comparison records of `cls`: only those the type check
    can accept; a class that compares with nothing gets an equality that
    accepts nothing, which its refusals fill (Surface.comparison)."""
    if not compares_as.get(cls):
        return [{"type": "function", "name": name, "arguments": {"posonlyargs": [{"name": "self"}],
                                                                   "args": [{"name": "rhs", "annotation": ""}]},
                 "returns": "Cmp"} for name in ("__eq__", "__ne__")]
    operands, ordering = comparison_operands(cls, compares_as)
    return [{"type": "function", "name": name, "arguments": {"posonlyargs": [{"name": "self"}],
                                                               "args": [{"name": "rhs", "annotation": " | ".join(operands)}]},
             "returns": "Cmp"}
            for name in COMPARISONS if ordering or name in ("__eq__", "__ne__")]


def def_lines(head, doc, decorators=(), comment="", decorator_comment=""):
    """A def with its decorators; its body is its docstring or `...`. mypy
    reports a bad override of an overloaded def on its first decorator, an
    overlap of overloads on the def."""
    lines = [f"    @{d}" for d in decorators]
    if lines:
        lines[0] += decorator_comment
    else:
        comment += decorator_comment
    body = docstring(doc, 8)
    if body:
        lines.append(f"    {head}:{comment}")
        lines += body
    else:
        lines.append(f"    {head}: ...{comment}")
    return lines


class Surface:
    """The stub view of the module, and what the stubs derive from it."""

    def __init__(self, surface, prose):
        self.surface = surface
        self.prose = prose
        self.submodules = [s["key"].rsplit(".", 1)[1] for s in surface["submodules"]]
        entries = [entry for s in surface["submodules"] for entry in s["classes"]]
        self.entries = {entry["class"]["name"]: entry for entry in entries}
        compares_as = {name: entry.get("compares_as", "") for name, entry in self.entries.items()}
        self.constraints = [entry["class"]["name"] for entry in entries
                            if any(m["name"] == "__eq__" for m in entry["members"])]
        self.compares_as = {name: compares_as[name] for name in self.constraints}
        for name in self.constraints:
            self.entries[name]["stub_members"] += comparison_records(name, compares_as)
        # The fields that hold one constraint or a list of them, per class:
        # its type parameters (field name -> whether it holds a list).
        self.fields = {}
        for name in self.constraints:
            getters = {m["name"]: m["returns"] == LIST_READ for m in self.entries[name]["stub_members"]
                       if m.get("decorators") == ["property"] and m["returns"] in (CONSTRAINT_READ, LIST_READ)}
            if getters:
                self.fields[name] = getters
        self.aliases = {
            "_OptionValue": OPTION_VALUE,
            # Recursive, with every type parameter given: a bare class in
            # it would take its defaults, which are this union again, and
            # pyright leaves such a default unsolved (Cmp[_Lhs, _Rhs]).
            ANY_CONSTRAINT: " | ".join(self.generic(c, [ANY_CONSTRAINT] * len(self.fields[c])) if c in self.fields
                                       else c for c in self.constraints),
            CONSTRAINT_READ: ANY_CONSTRAINT,
            "_ConstraintLike": f"{BASE} | _OptionValue",
            COUNTED_VALUE: " | ".join(t for t in OPTION_VALUE.split(" | ") if t != "str"),
            COUNTED: f"{BASE} | {COUNTED_VALUE}",
        }
        self.operand_vars = {}  # name -> bound, for operands of a generic class
        self.argument_vars = set()  # for the constraint arguments of methods

    @staticmethod
    def parameter_var(field):
        return "_" + field.capitalize()

    def generic(self, name, arguments):
        return f"{name}[{', '.join(arguments)}]"

    def argument_var(self, index):
        name = f"_Arg{index}"
        self.argument_vars.add(name)
        return name

    def operand_var(self, cls):
        name = f"_{cls}Operand"
        self.operand_vars[name] = cls
        return name

    def doc(self, key):
        return self.prose.get(key, "")

    # --- members ------------------------------------------------------------

    def annotation(self, text):
        """A parameter's annotation as the stubs spell it."""
        return re.sub(r"(?<![\w.])Sequence\[", f"{LIST_LIKE}[", text)

    def parameters(self, arguments, receiver=True, alternative=False, overrides=None):
        names = [a["name"] for a in arguments.get("posonlyargs", [])] if receiver else []
        text = names + (["/"] if names and arguments.get("args") else [])
        for arg in arguments.get("args", []):
            if overrides and arg["name"] in overrides:
                annotation = overrides[arg["name"]]
            else:
                annotation = arg.get("alternative", arg["annotation"]) if alternative else arg["annotation"]
                annotation = self.annotation(annotation)
            piece = f"{arg['name']}: {annotation}"
            if "default" in arg:
                piece += f" = {arg['default']}"
            text.append(piece)
        return ", ".join(text)

    def filled(self, target, arguments, rest, constructor):
        """Overloads for a call that builds the generic class `target`: the
        parameters named as its fields give each field its argument's type
        or, for a plain value, Value; a field left out is `rest`. A
        constructor binds the class's own type variables; a method, type
        variables of its own (the class's are covariant)."""
        fields = self.fields[target]
        given = [a["name"] for a in arguments.get("args", []) if a["name"] in fields]
        out, choices = [], []
        for index, field in enumerate(given):
            var = self.parameter_var(field) if constructor else self.argument_var(index)
            if fields[field]:
                # A list of one kind of constraint, of plain values, or mixed.
                choices.append([(f"{LIST_LIKE}[{var}]", var), (f"{LIST_LIKE}[{COUNTED_VALUE}]", VALUE_CLASS),
                                (f"{LIST_LIKE}[{COUNTED}]", CONSTRAINT_READ)])
            else:
                choices.append([(var, var), ("_OptionValue", VALUE_CLASS)])
        for choice in itertools.product(*choices):
            overrides = {field: accepted for field, (accepted, _) in zip(given, choice)}
            types = {field: held for field, (_, held) in zip(given, choice)}
            out.append((overrides, self.generic(target, [types.get(f, rest) for f in fields])))
        return out

    def refused(self, cls, accepted):
        """The operands an equality of `cls` refuses at run time although they
        convert (NotImplementedError), as (before, after): those to try before
        the accepted overloads and those after them. A plain type that takes
        an accepted one (an int takes a bool, a float both, to the checkers)
        comes after, so that the accepted one still matches first. None for a
        class typed by the value it holds, which may meet any of them."""
        if self.compares_as[cls] == ANY_VALUE_TYPE:
            return None
        plain = [t for t in OPTION_VALUE.split(" | ") if t not in accepted]
        classes = [c for c in self.constraints if c not in accepted]
        after = [t for t in plain if any(a in accepted for a in WIDER_THAN.get(t, ()))]
        return [t for t in plain if t not in after] + classes, after

    def refusal(self, cls, record, refused):
        """The overload of an equality that a refused operand matches: it
        never returns, and both checkers report its use as deprecated."""
        op = OPERATORS[record["name"]]
        mine = self.compares_as[cls]
        article = "an" if cls[0] in "AEIOU" else "a"
        if not mine:
            reason = f"{article} {cls} has no value to compare"
        elif mine == "Unknown":
            reason = f"{article} {cls} compares only with another {cls}"
        else:
            reason = f"{article} {cls} compares as {mine}"
        message = (f"kelto refuses this comparison: {reason}, and {op} with this operand raises "
                   f"NotImplementedError")
        head = f"def {record['name']}(self, rhs: {' | '.join(refused)}, /) -> typing.Never"
        doc = f"Raises NotImplementedError: {reason}, and `{op}` with this operand is refused."
        return head, doc, [f'warnings.deprecated("{message}")'], ""

    def comparison(self, cls, record):
        """Overloads of one comparison: the operand, grouped by what it becomes.
        An equality also has overloads for the operands it refuses, which the
        checkers would otherwise pass to the operand's own __eq__ (a bool)."""
        operand = record["arguments"]["args"][0]["annotation"]
        names = []
        for name in filter(None, operand.split(" | ")):
            names += self.aliases[name].split(" | ") if name == "_OptionValue" else [name]
        groups = {}
        for name in names:
            if name in self.fields:
                var = self.operand_var(name)
                groups.setdefault(var, []).append(var)
            elif name in self.constraints:
                groups.setdefault(name, []).append(name)
            else:
                groups.setdefault(VALUE_CLASS, []).append(name)
        op = OPERATORS[record["name"]]
        doc = (f"Builds the constraint `self {op} rhs`: a `Cmp` with a copy of this object on the left and "
               f"`rhs`, converted, on the right. Raises NotImplementedError when the value types do not "
               f"compare under `{op}`.")
        # object.__eq__ takes any object and answers bool; these build constraints.
        equality = record["name"] in ("__eq__", "__ne__")
        ignore = "  # type: ignore[override]" if equality else ""
        refused = self.refused(cls, names) if equality else None
        before, after = refused if refused else ([], [])
        overloads = len(groups) + bool(before) + bool(after) > 1
        if not overloads:
            groups = {result: [operand] for result in groups}
        # (head, docstring, decorators, comment) of each overload, in order.
        defs = []
        if before:
            defs.append(self.refusal(cls, record, before))
        for result, accepted in groups.items():
            head = f"def {record['name']}(self, rhs: {' | '.join(accepted)}, /) -> Cmp[typing.Self, {result}]"
            # An accepted operand that a later refusal takes too (a bool,
            # which is an int) matches here first: mypy calls that an unsafe
            # overlap.
            overlap = any(a in WIDER_THAN.get(t, ()) for t in after for a in accepted)
            defs.append((head, doc, [], "  # type: ignore[overload-overlap]" if overlap else ""))
        if after:
            defs.append(self.refusal(cls, record, after))
        lines = []
        for index, (head, text, decorators, comment) in enumerate(defs):
            if overloads:
                lines += def_lines(head, text, ["typing.overload"] + decorators, comment, ignore if index == 0 else "")
            else:  # mypy reports a bad override of a lone def on the def, decorated or not
                lines += def_lines(head, text, decorators, comment + ignore)
        return lines

    def member_lines(self, cls, record):
        name, arguments = record["name"], record["arguments"]
        decorators = record.get("decorators", [])
        returns = "typing.Self" if name == "__new__" else record["returns"]
        doc = self.doc(f"{cls}.{name}")
        if name in OPERATORS:
            return self.comparison(cls, record)
        if "property" in decorators and cls in self.fields and name in self.fields[cls]:
            var = self.parameter_var(name)
            returns = f"list[{var}]" if self.fields[cls][name] else var
        target = cls if name == "__new__" else returns
        if target in self.fields and (name == "__new__" or decorators == []):
            lines = []
            # A list of a type the last overload also takes (the common base)
            # matches the first: mypy calls that an unsafe overlap.
            overlap = any(self.fields[target].values())
            for index, (overrides, result) in enumerate(self.filled(target, arguments, "typing.Self", name == "__new__")):
                head = f"def {name}({self.parameters(arguments, overrides=overrides)}) -> {result}"
                comment = "  # type: ignore[overload-overlap]" if overlap and index == 0 else ""
                lines += def_lines(head, doc, ["typing.overload"], comment)
            return lines
        if any("alternative" in a for a in arguments.get("args", [])):
            lines = []
            for alternative in (False, True):
                head = f"def {name}({self.parameters(arguments, alternative=alternative)}) -> {returns}"
                lines += def_lines(head, doc, ["typing.overload"])
            return lines
        if any(d.endswith(".setter") for d in decorators):
            # The getter carries the text. pyright checks no assignment to a
            # property whose setter marks its receiver positional-only.
            value = self.annotation(arguments["args"][0]["annotation"])
            if self.fields.get(cls, {}).get(name):
                value = f"{LIST_LIKE}[{COUNTED}]"
            return def_lines(f"def {name}(self, value: {value}) -> None", "", decorators)
        return def_lines(f"def {name}({self.parameters(arguments)}) -> {returns}", doc, decorators)

    def class_lines(self, entry):
        name = entry["class"]["name"]
        bases = []
        if name in self.constraints:
            bases.append(BASE)
        if name in self.fields:
            bases.append(self.generic("typing.Generic", [self.parameter_var(f) for f in self.fields[name]]))
        lines = ["@typing.final", f"class {name}{'(' + ', '.join(bases) + ')' if bases else ''}:"]
        lines += docstring(self.doc(name), 4)
        for attribute in entry["attributes"]:
            lines.append(f"    {attribute}: typing.ClassVar[{name}]")
        if any(m["name"] in OPERATORS for m in entry["members"]):
            # Comparisons build constraints instead of answering: not hashable.
            lines.append("    __hash__: typing.ClassVar[None]  # type: ignore[assignment]")
        members = entry["stub_members"]
        if not any(m["name"] == "__new__" for m in members):
            lines.append("    # No constructor: instances come from kelto, and no call type-checks.")
            lines.append("    def __new__(cls, never: typing.Never, /) -> typing.Self: ...")
        for record in members:
            lines += self.member_lines(name, record)
        return lines

    # --- modules ------------------------------------------------------------

    def definitions(self, body):
        """The aliases, type variables and base class the constraint module defines."""
        lines = []
        for name, value in self.aliases.items():
            lines.append(f"{name}: typing.TypeAlias = {value}\n")
            if name == ANY_CONSTRAINT:
                lines.append(ANY_CONSTRAINT_DOC + "\n")
        # The default is what a bare annotation (Cmp, TypeIs[Cmp]) and the
        # narrowing of an AnyConstraint give a parameter. Narrowing an object
        # with isinstance takes no default: pyright gives Unknown, mypy Any.
        for field in dict.fromkeys(f for fields in self.fields.values() for f in fields):
            lines.append(f'{self.parameter_var(field)} = typing.TypeVar("{self.parameter_var(field)}", '
                         f"bound={BASE}, covariant=True, default={ANY_CONSTRAINT})\n")
        for var in sorted(self.argument_vars):
            lines.append(f'{var} = typing.TypeVar("{var}", bound={BASE})\n')
        for var, cls in self.operand_vars.items():
            lines.append(f'{var} = typing.TypeVar("{var}", bound={cls})\n')
        lines += self.local_definitions(body)
        lines.append(LIST_LIKE_PROTOCOL)
        lines.append(f'\n\nclass {BASE}:\n    """What every constraint class is: a type for the checkers only '
                     f'(at run time the classes share no base)."""\n')
        return lines

    @staticmethod
    def local_definitions(body):
        """The type variables of the overloads with alternatives that `body` has."""
        return [f'{name} = typing.TypeVar("{name}", bound={bound})\n' for name, bound in TYPE_VARS.items()
                if used(name, body)]

    def imports(self, body, module, homes):
        """The import lines for the names `body` uses that live elsewhere."""
        lines = ["import typing\n"]
        if used("warnings", body):
            lines.append("import warnings\n")
        abc = [n for n in ("Iterator", "Sequence") if used(n, body)]
        if abc:
            lines.append(f"from collections.abc import {', '.join(abc)}\n")
        wanted = {}
        for name, home in homes.items():
            if home != module and used(name, body):
                wanted.setdefault(home, []).append(name)
        for home in sorted(wanted):
            names = ", ".join(sorted(wanted[home]))
            lines.append(f"from .{home} import {names}\n")
        return lines


def module_head(doc, names):
    lines = [HEADER]
    lines += [line + "\n" for line in docstring(doc, 0)]
    return lines, f"__all__ = [{', '.join(repr(n) for n in names)}]\n"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def main(surface_path, prose_path, out_dir):
    with open(surface_path, encoding="utf-8") as f:
        surface = json.load(f)
    with open(prose_path, encoding="utf-8") as f:
        _, prose = parse_prose(f.read())
    stubs = Surface(surface, prose)

    functions = surface["stub_functions"]
    head, names = module_head(prose.get("kelto", ""), ["package"] + [f["name"] for f in functions])
    root = head + ["from . import package as package\n\n", names]
    for function in functions:
        signature = f"def {function['name']}({stubs.parameters(function['arguments'], False)}) -> {function['returns']}"
        body = docstring(prose.get(f"kelto.{function['name']}", ""), 4)
        root.append("\n\n" + (signature + ":\n" + "\n".join(body) if body else signature + ": ...") + "\n")
    write(os.path.join(out_dir, "__init__.pyi"), "".join(root))

    head, names = module_head(prose.get("kelto.package", ""), stubs.submodules)
    package = head + [f"from . import {name} as {name}\n" for name in stubs.submodules] + ["\n", names]
    write(os.path.join(out_dir, "package", "__init__.pyi"), "".join(package))

    homes = {alias: ALIAS_HOME for alias in list(stubs.aliases) + [BASE, LIST_LIKE]}
    for submodule, name in zip(surface["submodules"], stubs.submodules):
        homes.update({entry["class"]["name"]: name for entry in submodule["classes"]})
    for submodule, name in zip(surface["submodules"], stubs.submodules):
        classes = [entry["class"]["name"] for entry in submodule["classes"]]
        body = "".join("\n\n" + "\n".join(stubs.class_lines(entry)) + "\n" for entry in submodule["classes"])
        defined = stubs.definitions(body) if name == ALIAS_HOME else stubs.local_definitions(body)
        # The imports serve the class bodies and the definitions above them.
        needed = stubs.imports("".join(defined) + body, name, homes)
        head, names = module_head(prose.get(submodule["key"], ""), classes)
        text = head + needed + ["\n", names] + (["\n"] + defined if defined else []) + [body]
        write(os.path.join(out_dir, "package", f"{name}.pyi"), "".join(text))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
